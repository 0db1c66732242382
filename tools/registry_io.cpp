// registry export and import: the adapter's key and its subkeys as a .reg
// file. An export leaves the WEP keys out unless asked (and is then readable
// by its owner alone); an import touches the adapter's own keys only unless
// asked, stores numbers in the form the library reads, and can say what it
// would change first.
#include <fmt/format.h>
#include <algorithm>
#include <cctype>

#include "platform/reg_file.h"
#include "tools/files.h"
#include "tools/output.h"
#include "tools/parameters.h"
#include "tools/stored.h"
#include "tools/text.h"

namespace halvexctl {
namespace {

using hx::platform::RegChange;
using nlohmann::json;

bool IsKeyValue(const std::string& name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.size() == 7 && lower.rfind("wepkey", 0) == 0 && lower[6] >= '1' && lower[6] <= '4';
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The change's key is the adapter's key or one below it.
bool InsideAdapterKey(const RegChange& c, const std::string& adapterKey) {
  if (c.root != HKEY_LOCAL_MACHINE) return false;
  const std::string path = Lower(c.path), key = Lower(adapterKey);
  return path == key ||
         (path.size() > key.size() && path.compare(0, key.size(), key) == 0 && path[key.size()] == '\\');
}

std::string KeyName(const RegChange& c) {
  const char* root = hx::platform::RootName(c.root);
  return std::string(root != nullptr ? root : "?") + (c.path.empty() ? "" : "\\" + c.path);
}

std::string DataText(uint32_t type, const std::vector<unsigned char>& data) {
  StoredValue value{type, data};
  if (const auto text = value.Text()) return "\"" + *text + "\"";
  if (type == REG_DWORD && data.size() == 4)
    return fmt::format("dword:{:08x}",
                       data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
  std::string hex = fmt::format("hex({:x}):", type);
  for (size_t i = 0; i < data.size(); ++i) hex += fmt::format("{}{:02x}", i == 0 ? "" : ",", data[i]);
  return hex;
}

}  // namespace

int RegistryExport(Session* session, Invocation& in, Output& out) {
  const auto key = AdapterKeyPath(session->adapter());
  if (!key) return Refused(out, "the adapter's registry key is unknown");
  out.data["key"] = "HKEY_LOCAL_MACHINE\\" + *key;
  out.data["file"] = in.file;
  bool complete = true;
  const std::string text = hx::platform::ExportRegText(HKEY_LOCAL_MACHINE, key->c_str(), &complete);
  std::vector<RegChange> changes;
  std::string error;
  if (text.empty() || !hx::platform::ParseRegText(text, &changes, &error))
    return Refused(out, "HKEY_LOCAL_MACHINE\\" + *key + ": cannot be read");
  size_t omitted = 0;
  if (!in.withKeys) {
    omitted = static_cast<size_t>(std::count_if(changes.begin(), changes.end(), [](const RegChange& c) {
      return c.kind == RegChange::Kind::kSetValue && IsKeyValue(c.name);
    }));
    std::erase_if(changes, [](const RegChange& c) {
      return c.kind == RegChange::Kind::kSetValue && IsKeyValue(c.name);
    });
  }
  std::string file = hx::platform::FormatRegText(changes);
  if (omitted != 0) {
    // After the header line: a note the importer skips.
    const size_t header = file.find("\r\n");
    file.insert(header + 2, "; WEP keys left out (" + std::to_string(omitted) +
                                "): export with --with-keys to keep them\r\n");
  }
  for (auto& c : changes) std::fill(c.data.begin(), c.data.end(), 0);
  const bool written =
      WriteFileAtomically(in.file, file, in.withKeys ? Privacy::kPrivate : Privacy::kShared, &error);
  std::fill(file.begin(), file.end(), '\0');
  if (!written) return Refused(out, error);
  out.data["keysOmitted"] = omitted;
  out.data["complete"] = complete;
  Say(out, "Exported HKEY_LOCAL_MACHINE\\{} to {}{}\n", Escape(*key), Escape(in.file),
      omitted != 0  ? " (the WEP keys left out: --with-keys keeps them)"
      : in.withKeys ? " (with its WEP keys: readable by you alone)"
                    : "");
  if (!complete)
    return Refused(out, "some keys could not be read or written in the .reg form; the file lacks them");
  return 0;
}

int RegistryImport(Session* session, Invocation& in, Output& out) {
  const auto key = AdapterKeyPath(session->adapter());
  if (!key) return Refused(out, "the adapter's registry key is unknown");
  out.data["file"] = in.file;
  std::string error;
  const auto text = ReadRegularFile(in.file, &error);
  if (!text) return Refused(out, error);
  std::vector<RegChange> changes;
  if (!hx::platform::ParseRegText(*text, &changes, &error)) return Refused(out, in.file + ": " + error);

  // Foreign keys first: an import that reaches beyond the adapter is refused whole.
  std::vector<std::string> foreign;
  for (const RegChange& c : changes) {
    const bool ownKeyDeleted =
        c.kind == RegChange::Kind::kDeleteKey && c.root == HKEY_LOCAL_MACHINE && Lower(c.path) == Lower(*key);
    if ((!InsideAdapterKey(c, *key) || ownKeyDeleted) &&
        std::find(foreign.begin(), foreign.end(), KeyName(c)) == foreign.end())
      foreign.push_back(KeyName(c));
  }
  out.data["foreignKeys"] = foreign;
  if (!foreign.empty() && !in.anyKey) {
    std::string list;
    for (const std::string& k : foreign) list += "\n  " + Escape(k);
    if (!out.json)
      fmt::print(stderr, "halvexctl: {} changes keys outside the adapter's own:{}\n", Escape(in.file), list);
    return Refused(out,
                   in.file + ": refused: it changes keys outside the adapter's own (--any-key applies them)");
  }

  // Numbers the library stores as text, given as dword: become that text.
  json plan = json::array();
  for (RegChange& c : changes) {
    json step = {{"key", KeyName(c)}};
    if (c.kind == RegChange::Kind::kCreateKey) continue;
    if (c.kind == RegChange::Kind::kDeleteKey) {
      step["action"] = "delete key";
    } else {
      step["value"] = c.name;
      const std::optional<StoredValue> before =
          c.root == HKEY_LOCAL_MACHINE ? ReadStoredValue(c.path, c.name) : std::nullopt;
      if (before) step["before"] = DataText(before->type, before->data);
      if (c.kind == RegChange::Kind::kDeleteValue) {
        step["action"] = before ? "delete" : "unchanged";
      } else {
        const std::optional<Form> form = InsideAdapterKey(c, *key) ? StoredFormOf(c.name) : std::nullopt;
        if (form && c.type == REG_DWORD && c.data.size() == 4) {
          const uint32_t number =
              c.data[0] | c.data[1] << 8 | c.data[2] << 16 | static_cast<uint32_t>(c.data[3]) << 24;
          const std::string stored = StoredText(number, *form);
          step["converted"] = DataText(c.type, c.data) + " stored as text, the form the library reads";
          c.type = REG_SZ;
          c.data.assign(stored.begin(), stored.end());
          c.data.push_back(0);  // as the library's own writes leave it
        }
        const bool same = before && before->type == c.type && before->data == c.data;
        step["action"] = same ? "unchanged" : before ? "change" : "add";
        step["after"] = IsKeyValue(c.name) ? json("(a WEP key)") : json(DataText(c.type, c.data));
        if (IsKeyValue(c.name) && before) step["before"] = "(a WEP key)";
      }
    }
    plan.push_back(step);
  }
  out.data["changes"] = plan;
  out.data["applied"] = !in.dryRun;
  for (const json& step : plan) {
    if (step["action"] == "unchanged") continue;
    std::string line = fmt::format(
        "{} {}", in.dryRun ? "would " + step["action"].get<std::string>() : step["action"].get<std::string>(),
        Escape(step["key"].get<std::string>()));
    if (step.contains("value")) line += fmt::format(" \"{}\"", Escape(step["value"].get<std::string>()));
    if (step.contains("before")) line += " from " + Escape(step["before"].get<std::string>());
    if (step.contains("after")) line += " to " + Escape(step["after"].get<std::string>());
    if (step.contains("converted")) line += " (" + Escape(step["converted"].get<std::string>()) + ")";
    Say(out, "{}\n", line);
  }
  if (in.dryRun) {
    Say(out, "Nothing was changed (--dry-run)\n");
    return 0;
  }
  const LONG applied = hx::platform::ApplyRegChanges(changes, &error);
  for (auto& c : changes) std::fill(c.data.begin(), c.data.end(), 0);
  if (applied != ERROR_SUCCESS) return Refused(out, in.file + ": " + error);
  Say(out, "Imported {}\n", Escape(in.file));
  return 0;
}

}  // namespace halvexctl
