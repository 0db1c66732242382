// .reg texts: a line-oriented parser into RegChange records, an applier and
// an exporter over the Win32 registry calls.
#include "platform/reg_file.h"

#include "platform/hex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hx::platform {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;
// Hex data is wrapped after this many bytes, as registry editors wrap it.
constexpr size_t kBytesPerLine = 24;

// Code page 1252's 0x80-0x9F; the rest of the page is Latin-1.
constexpr char16_t kHighControls[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct Root {
  HKEY key;
  std::string_view name;
  std::string_view shortName;
};

const Root kRoots[] = {{HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
                       {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
                       {HKEY_USERS, "HKEY_USERS", "HKU"},
                       {HKEY_DYN_DATA, "HKEY_DYN_DATA", "HKEY_DYN_DATA"}};

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Reads 1 to `maxDigits` hex digits.
bool ReadHex(std::string_view* s, size_t maxDigits, uint32_t* value) {
  size_t n = 0;
  uint32_t v = 0;
  while (n < s->size() && hex::Digit((*s)[n]) >= 0) {
    if (++n > maxDigits) return false;
    v = v << 4 | static_cast<uint32_t>(hex::Digit((*s)[n - 1]));
  }
  if (n == 0) return false;
  s->remove_prefix(n);
  *value = v;
  return true;
}

bool EncodeCp1252(uint32_t codePoint, std::string* out) {
  if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
    out->push_back(static_cast<char>(codePoint));
    return true;
  }
  for (unsigned i = 0; i < 32; ++i) {
    if (kHighControls[i] == codePoint) {
      out->push_back(static_cast<char>(0x80 + i));
      return true;
    }
  }
  return false;
}

// Texts saved as UTF-16LE or UTF-8 (with their byte-order marks) become code
// page 1252 bytes, what the "A" registry calls take.
bool DecodeText(std::string_view in, std::string* out, std::string* why) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(in[i]); };
  if (in.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
    if (in.size() % 2 != 0) return *why = "odd length for UTF-16", false;
    for (size_t i = 2; i < in.size(); i += 2) {
      uint32_t unit = byte(i) | byte(i + 1) << 8;
      if (!EncodeCp1252(unit, out)) return *why = "character outside code page 1252", false;
    }
    return true;
  }
  if (in.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
    for (size_t i = 3; i < in.size();) {
      unsigned char lead = byte(i);
      size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : 3;
      if ((lead & 0xC0) == 0x80 || lead >= 0xF8 || extra > in.size() - i - 1)
        return *why = "malformed UTF-8", false;
      uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
      for (size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return *why = "malformed UTF-8", false;
        code = code << 6 | (byte(i + k) & 0x3F);
      }
      if (!EncodeCp1252(code, out)) return *why = "character outside code page 1252", false;
      i += extra + 1;
    }
    return true;
  }
  out->assign(in);
  return true;
}

const Root* FindRoot(std::string_view name) {
  for (const Root& root : kRoots) {
    if (EqualNoCase(name, root.name) || EqualNoCase(name, root.shortName)) return &root;
  }
  return nullptr;
}

// A quoted string from its opening quote; \\ and \" are the format's
// escapes, \n and \r let names hold line breaks, any other backslash stays.
bool ReadQuoted(std::string_view* s, std::string* out) {
  size_t i = 1;
  while (i < s->size()) {
    char c = (*s)[i++];
    if (c == '"') {
      s->remove_prefix(i);
      return true;
    }
    if (c == '\\' && i < s->size()) {
      char next = (*s)[i];
      if (next == '\\' || next == '"' || next == 'n' || next == 'r') {
        out->push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next);
        ++i;
        continue;
      }
    }
    out->push_back(c);
  }
  return false;
}

bool ReadHexBytes(std::string_view s, std::vector<BYTE>* data) {
  s = TrimLeft(s);
  while (!s.empty()) {
    uint32_t value = 0;
    if (!ReadHex(&s, 2, &value)) return false;
    data->push_back(static_cast<BYTE>(value));
    s = TrimLeft(s);
    if (s.empty()) break;
    if (s.front() != ',') return false;
    s = TrimLeft(s.substr(1));
  }
  return true;
}

// The data after '=': "-", "text", dword:, hex: or hex(N):.
bool ReadData(std::string_view s, RegChange* change, const char** why) {
  s = TrimRight(s);
  if (s == "-") {
    change->kind = RegChange::Kind::kDeleteValue;
    return true;
  }
  change->kind = RegChange::Kind::kSetValue;
  if (!s.empty() && s.front() == '"') {
    std::string text;
    if (!ReadQuoted(&s, &text)) return *why = "unterminated string", false;
    if (!s.empty()) return *why = "text after the string", false;
    change->type = REG_SZ;
    change->data.assign(text.begin(), text.end());
    change->data.push_back(0);
    return true;
  }
  if (StartsNoCase(s, "dword:")) {
    s.remove_prefix(6);
    uint32_t value = 0;
    if (!ReadHex(&s, 8, &value) || !s.empty()) return *why = "bad dword", false;
    change->type = REG_DWORD;
    for (int i = 0; i < 4; ++i) change->data.push_back(static_cast<BYTE>(value >> (8 * i)));
    return true;
  }
  if (StartsNoCase(s, "hex:")) {
    change->type = REG_BINARY;
    s.remove_prefix(4);
  } else if (StartsNoCase(s, "hex(")) {
    s.remove_prefix(4);
    uint32_t type = 0;
    if (!ReadHex(&s, 8, &type) || s.size() < 2 || s.substr(0, 2) != "):") return *why = "bad hex type", false;
    change->type = type;
    s.remove_prefix(2);
  } else {
    return *why = "unknown data form", false;
  }
  if (!ReadHexBytes(s, &change->data)) return *why = "bad hex bytes", false;
  return true;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool Run(std::vector<RegChange>* changes, std::string* error) {
    changes_ = changes;
    const char* why = nullptr;
    bool headerSeen = false;
    std::string_view line;
    while (NextLine(&line)) {
      std::string_view body = TrimLeft(line);
      if (TrimRight(body).empty()) continue;
      if (!headerSeen) {
        body = TrimRight(body);
        if (body != kHeader5 && body != kHeader4) return Fail("missing header", error);
        headerSeen = true;
        continue;
      }
      if (body.front() == ';') continue;
      if (body.front() == '[') {
        if (!Section(TrimRight(body), &why)) return Fail(why, error);
      } else if (body.front() == '"' || body.front() == '@') {
        if (!Value(body, &why)) return Fail(why, error);
      } else {
        return Fail("unexpected line", error);
      }
    }
    if (!headerSeen) return Fail("missing header", error);
    return true;
  }

 private:
  bool NextLine(std::string_view* line) {
    if (position_ >= text_.size()) return false;
    size_t end = text_.find('\n', position_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(position_, end - position_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    position_ = end + 1;
    ++lineNumber_;
    return true;
  }

  bool Fail(const char* why, std::string* error) {
    if (error != nullptr) *error = "line " + std::to_string(lineNumber_) + ": " + why;
    return false;
  }

  bool Section(std::string_view body, const char** why) {
    if (body.size() < 2 || body.back() != ']') return *why = "unterminated key name", false;
    std::string_view inner = body.substr(1, body.size() - 2);
    RegChange change;
    change.kind = RegChange::Kind::kCreateKey;
    if (!inner.empty() && inner.front() == '-') {
      change.kind = RegChange::Kind::kDeleteKey;
      inner.remove_prefix(1);
    }
    size_t split = inner.find('\\');
    const Root* root = FindRoot(inner.substr(0, split));
    if (root == nullptr) return *why = "unknown root", false;
    change.root = root->key;
    if (split != std::string_view::npos) change.path.assign(inner.substr(split + 1));
    if (change.path.find('\0') != std::string::npos) return *why = "NUL in a key name", false;
    if (change.kind == RegChange::Kind::kDeleteKey && change.path.empty())
      return *why = "a root cannot be deleted", false;
    haveKey_ = change.kind == RegChange::Kind::kCreateKey;
    root_ = change.root;
    path_ = change.path;
    changes_->push_back(std::move(change));
    return true;
  }

  bool Value(std::string_view body, const char** why) {
    if (!haveKey_) return *why = "value outside a key", false;
    RegChange change;
    change.root = root_;
    change.path = path_;
    if (body.front() == '@') {
      body.remove_prefix(1);
    } else if (!ReadQuoted(&body, &change.name)) {
      return *why = "unterminated value name", false;
    }
    if (change.name.find('\0') != std::string::npos) return *why = "NUL in a value name", false;
    body = TrimLeft(body);
    if (body.empty() || body.front() != '=') return *why = "missing '='", false;
    body = TrimLeft(body.substr(1));
    // Hex data may go on over lines ending in a backslash.
    std::string joined;
    if (StartsNoCase(body, "hex")) {
      joined.assign(body);
      std::string_view next;
      while (!TrimRight(joined).empty() && TrimRight(joined).back() == '\\') {
        joined.resize(TrimRight(joined).size() - 1);
        if (!NextLine(&next)) break;
        joined.append(TrimLeft(next));
      }
      body = joined;
    }
    if (!ReadData(body, &change, why)) return false;
    changes_->push_back(std::move(change));
    return true;
  }

  std::string_view text_;
  size_t position_ = 0;
  size_t lineNumber_ = 0;
  std::vector<RegChange>* changes_ = nullptr;
  bool haveKey_ = false;
  HKEY root_ = nullptr;
  std::string path_;
};

LONG Failed(LONG code, const char* what, const std::string& path, std::string* error) {
  if (error != nullptr) *error = std::string(what) + " " + path + " failed: " + std::to_string(code);
  return code;
}

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out->push_back('\\');
      out->push_back(c);
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '\r') {
      out->append("\\r");
    } else {
      out->push_back(c);
    }
  }
  out->push_back('"');
}

// A REG_SZ goes out as "text" when that reads back to the same bytes.
bool QuotableString(DWORD type, const std::vector<BYTE>& data) {
  if (type != REG_SZ || data.empty() || data.back() != 0) return false;
  return std::none_of(data.begin(), data.end() - 1, [](BYTE b) { return b == 0 || b == '\n' || b == '\r'; });
}

void AppendValue(std::string_view name, DWORD type, const std::vector<BYTE>& data, std::string* out) {
  if (name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(name, out);
  }
  out->push_back('=');
  char buffer[32];
  if (QuotableString(type, data)) {
    AppendQuoted(std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1), out);
  } else if (type == REG_DWORD && data.size() == 4) {
    uint32_t value = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    std::snprintf(buffer, sizeof buffer, "dword:%08x", value);
    out->append(buffer);
  } else {
    if (type == REG_BINARY) {
      out->append("hex:");
    } else {
      std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(type));
      out->append(buffer);
    }
    for (size_t i = 0; i < data.size(); ++i) {
      std::snprintf(buffer, sizeof buffer, "%02x", data[i]);
      out->append(buffer);
      if (i + 1 == data.size()) break;
      out->push_back(',');
      if ((i + 1) % kBytesPerLine == 0) out->append("\\\r\n  ");
    }
  }
  out->append("\r\n");
}

// Appends one key's section and values; fills `subkeys` with its subkeys'
// names in enumeration order.
LONG AppendKey(HKEY key, const std::string& header, std::string* out, std::vector<std::string>* subkeys) {
  out->append("[").append(header).append("]\r\n");
  std::vector<char> name(256);
  std::vector<BYTE> data(256);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataLength = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    LONG status =
        RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) {
      // Grow whichever buffer was short and ask again for the same index.
      if (dataLength > data.size()) {
        data.resize(dataLength);
      } else if (name.size() < 32768) {
        name.resize(name.size() * 2);
      } else {
        return status;
      }
      --index;
      continue;
    }
    if (status != ERROR_SUCCESS) return status;
    AppendValue(std::string_view(name.data(), nameLength), type,
                std::vector<BYTE>(data.begin(), data.begin() + dataLength), out);
  }
  out->append("\r\n");
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    LONG status = RegEnumKeyExA(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA && name.size() < 32768) {
      name.resize(name.size() * 2);
      --index;
      continue;
    }
    if (status != ERROR_SUCCESS) return status;
    subkeys->emplace_back(name.data(), nameLength);
  }
  return ERROR_SUCCESS;
}

// The non-empty names of a backslash-separated path.
std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> names;
  while (!path.empty()) {
    size_t end = std::min(path.find('\\'), path.size());
    if (end > 0) names.emplace_back(path.substr(0, end));
    path.remove_prefix(std::min(end + 1, path.size()));
  }
  return names;
}

// Opens (or creates) a path one name at a time: the "A" calls refuse paths
// longer than 260 characters, and exported trees may hold longer ones.
LONG OpenPath(HKEY root, const std::vector<std::string>& names, size_t count, bool create, UniqueKey* out) {
  UniqueKey current;
  LONG status = RegOpenKeyExA(root, nullptr, 0, kReadWrite, current.put());
  for (size_t i = 0; i < count && status == ERROR_SUCCESS; ++i) {
    UniqueKey next;
    status = create ? RegCreateKeyExA(current.get(), names[i].c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      kReadWrite, nullptr, next.put(), nullptr)
                    : RegOpenKeyExA(current.get(), names[i].c_str(), 0, kReadWrite, next.put());
    current = std::move(next);
  }
  if (status == ERROR_SUCCESS) *out = std::move(current);
  return status;
}

// A key being walked: its handle, its section name, its subkeys' names.
struct Frame {
  UniqueKey key;
  std::string header;
  std::vector<std::string> subkeys;
  size_t next = 0;
};

// Walks the subtree depth first without recursion (trees may be deep), each
// key opened relative to its parent.
bool AppendTree(HKEY root, std::string_view rootName, const std::string& path, std::string* out,
                bool* complete) {
  std::vector<std::string> names = SplitPath(path);
  Frame top;
  if (OpenPath(root, names, names.size(), false, &top.key) != ERROR_SUCCESS) return false;
  top.header = rootName;
  for (const std::string& name : names) top.header.append("\\").append(name);
  if (AppendKey(top.key.get(), top.header, out, &top.subkeys) != ERROR_SUCCESS) *complete = false;
  std::vector<Frame> stack;
  stack.push_back(std::move(top));
  while (!stack.empty()) {
    Frame& parent = stack.back();
    if (parent.next == parent.subkeys.size()) {
      stack.pop_back();
      continue;
    }
    const std::string& name = parent.subkeys[parent.next++];
    Frame child;
    if (name.find_first_of("\r\n") != std::string::npos ||
        RegOpenKeyExA(parent.key.get(), name.c_str(), 0, KEY_READ, child.key.put()) != ERROR_SUCCESS) {
      *complete = false;  // cannot be written, or went away while we walked
      continue;
    }
    child.header = parent.header + "\\" + name;
    if (AppendKey(child.key.get(), child.header, out, &child.subkeys) != ERROR_SUCCESS) *complete = false;
    stack.push_back(std::move(child));
  }
  return true;
}

std::string ExportTrees(std::span<const HKEY> roots, const std::string& path, bool* complete) {
  bool whole = true;
  std::string out = std::string(kHeader5) + "\r\n\r\n";
  for (HKEY root : roots) {
    const char* name = RootName(root);
    if (name == nullptr || !AppendTree(root, name, path, &out, &whole)) return {};
  }
  if (complete != nullptr) *complete = whole;
  return out;
}

}  // namespace

char16_t Cp1252ToUnicode(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : static_cast<char16_t>(byte);
}

const char* RootName(HKEY root) {
  for (const Root& r : kRoots) {
    if (r.key == root) return r.name.data();
  }
  return nullptr;
}

bool ParseRegText(std::string_view text, std::vector<RegChange>* changes, std::string* error) {
  std::string decoded;
  std::string why;
  if (!DecodeText(text, &decoded, &why)) {
    if (error != nullptr) *error = why;
    return false;
  }
  std::vector<RegChange> parsed;
  if (!Parser(decoded).Run(&parsed, error)) return false;
  *changes = std::move(parsed);
  return true;
}

LONG ApplyRegChanges(std::span<const RegChange> changes, std::string* error) {
  UniqueKey current;
  HKEY currentRoot = nullptr;
  const std::string* currentPath = nullptr;
  for (const RegChange& change : changes) {
    if (change.kind == RegChange::Kind::kDeleteKey) {
      current.reset();
      currentPath = nullptr;
      LONG status = DeleteKeyTree(change.root, change.path.c_str());
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return Failed(status, "deleting", change.path, error);
      continue;
    }
    if (currentPath == nullptr || currentRoot != change.root || *currentPath != change.path) {
      const std::vector<std::string> names = SplitPath(change.path);
      LONG status = OpenPath(change.root, names, names.size(), true, &current);
      if (status != ERROR_SUCCESS) return Failed(status, "creating", change.path, error);
      currentRoot = change.root;
      currentPath = &change.path;
    }
    const char* name = change.name.empty() ? nullptr : change.name.c_str();
    if (change.kind == RegChange::Kind::kSetValue) {
      // NT stores a NUL after string data lacking one when the byte after the
      // data is a NUL; a byte that is not keeps the text's bytes exact.
      std::vector<BYTE> data(change.data);
      data.push_back(0xFF);
      LONG status = RegSetValueExA(current.get(), name, 0, change.type, data.data(),
                                   static_cast<DWORD>(change.data.size()));
      if (status != ERROR_SUCCESS) return Failed(status, "setting a value in", change.path, error);
    } else if (change.kind == RegChange::Kind::kDeleteValue) {
      LONG status = RegDeleteValueA(current.get(), name);
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return Failed(status, "deleting a value in", change.path, error);
    }
  }
  return ERROR_SUCCESS;
}

LONG ImportRegText(std::string_view text, std::string* error) {
  std::vector<RegChange> changes;
  if (!ParseRegText(text, &changes, error)) return ERROR_INVALID_DATA;
  return ApplyRegChanges(changes, error);
}

std::string ExportRegText(HKEY root, const char* path, bool* complete) {
  return ExportTrees(std::span<const HKEY>(&root, 1), path != nullptr ? path : "", complete);
}

std::string ExportRegText(std::span<const HKEY> roots, bool* complete) {
  return ExportTrees(roots, "", complete);
}

std::string FormatRegText(std::span<const RegChange> changes) {
  std::string out = std::string(kHeader5) + "\r\n\r\n";
  const RegChange* section = nullptr;
  for (const RegChange& change : changes) {
    const char* root = RootName(change.root);
    if (root == nullptr) continue;
    std::string header = root;
    if (!change.path.empty()) header.append("\\").append(change.path);
    if (change.kind == RegChange::Kind::kDeleteKey) {
      out.append(section != nullptr ? "\r\n" : "").append("[-").append(header).append("]\r\n");
      section = nullptr;
      continue;
    }
    if (section == nullptr || section->root != change.root || section->path != change.path ||
        section->kind == RegChange::Kind::kDeleteKey) {
      out.append(section != nullptr ? "\r\n" : "").append("[").append(header).append("]\r\n");
      section = &change;
    }
    if (change.kind == RegChange::Kind::kSetValue) {
      AppendValue(change.name, change.type, change.data, &out);
    } else if (change.kind == RegChange::Kind::kDeleteValue) {
      if (change.name.empty()) {
        out.push_back('@');
      } else {
        AppendQuoted(change.name, &out);
      }
      out.append("=-\r\n");
    }
  }
  return out.append("\r\n");
}

std::string FirstMissingKey(HKEY root, std::string_view path) {
  UniqueKey current;
  if (RegOpenKeyExA(root, nullptr, 0, KEY_READ, current.put()) != ERROR_SUCCESS) return {};
  std::string prefix;
  for (const std::string& name : SplitPath(path)) {
    prefix += prefix.empty() ? name : "\\" + name;
    UniqueKey next;
    if (RegOpenKeyExA(current.get(), name.c_str(), 0, KEY_READ, next.put()) != ERROR_SUCCESS) return prefix;
    current = std::move(next);
  }
  return {};
}

LONG DeleteKeyTree(HKEY root, const char* path) {
  const std::vector<std::string> names = SplitPath(path != nullptr ? path : "");
  if (names.empty()) return ERROR_INVALID_PARAMETER;
  UniqueKey parent;
  if (LONG status = OpenPath(root, names, names.size() - 1, false, &parent); status != ERROR_SUCCESS)
    return status;
  // Deepest first without recursion: descend to a leaf, delete it, go on.
  std::vector<Frame> stack(1);
  stack.back().header = names.back();
  LONG status = RegOpenKeyExA(parent.get(), names.back().c_str(), 0, kReadWrite, stack.back().key.put());
  std::vector<char> name(256);
  while (status == ERROR_SUCCESS && !stack.empty()) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    status = RegEnumKeyExA(stack.back().key.get(), 0, name.data(), &nameLength, nullptr, nullptr, nullptr,
                           nullptr);
    if (status == ERROR_MORE_DATA && name.size() < 32768) {
      name.resize(name.size() * 2);
      status = ERROR_SUCCESS;
    } else if (status == ERROR_SUCCESS) {
      Frame child;
      child.header.assign(name.data(), nameLength);
      status = RegOpenKeyExA(stack.back().key.get(), child.header.c_str(), 0, kReadWrite, child.key.put());
      stack.push_back(std::move(child));
    } else if (status == ERROR_NO_MORE_ITEMS) {
      const std::string leaf = std::move(stack.back().header);
      stack.pop_back();
      status = RegDeleteKeyA(stack.empty() ? parent.get() : stack.back().key.get(), leaf.c_str());
    }
  }
  return status;
}

}  // namespace hx::platform
