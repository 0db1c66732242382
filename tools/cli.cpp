#include "tools/cli.h"

#include <fmt/format.h>
#include <algorithm>
#include <map>
#include <set>

#include "tools/parameters.h"

#ifndef HALVEX_VERSION
#define HALVEX_VERSION "0"
#endif

namespace halvexctl {
namespace {

// The 802.1X methods a join can name, each an option taking the user.
struct Method {
  const char* name;
  const char* help;
};
constexpr Method kMethods[] = {
    {"peap", "802.1X with PEAP as USER[@DOMAIN]"},
    {"tls", "802.1X with TLS as USER"},
    {"ttls", "802.1X with TTLS as USER[@DOMAIN]"},
    {"leap", "802.1X with LEAP as USER[@DOMAIN]"},
};

// The credentials of a join, for `join` and `profile add` alike.
void AddCredentials(CLI::App& c, Invocation& in) {
  std::vector<CLI::Option*> exclusive;
  auto* wep = c.add_option("--wep-key", in.wepKeyText, "WEP key: 5 or 13 characters, 10 or 26 hex digits");
  exclusive.push_back(wep);
  c.add_option("--key-index", in.join.keyIndex, "WEP key index (1 to 4)")
      ->check(CLI::Range(1u, 4u))
      ->needs(wep);
  auto* psk = c.add_option("--psk", in.pskText,
                           "WPA/WPA2 pass phrase (8 to 63 characters) or pre-shared key (64 hex digits); "
                           "- reads it from the terminal or standard input");
  auto* pskFile = c.add_option("--psk-file", in.pskFile, "read the pass phrase from a file's first line");
  psk->excludes(pskFile);
  exclusive.push_back(psk);
  exclusive.push_back(pskFile);
  std::map<std::string, CLI::Option*> methods;
  for (const Method& m : kMethods) {
    methods[m.name] = c.add_option(std::string("--") + m.name, in.methodUsers[m.name], m.help);
    exclusive.push_back(methods[m.name]);
  }
  c.add_option("--password-file", in.passwordFile, "read the 802.1X password from a file (else a prompt)");
  auto* cert = c.add_option("--cert", in.join.certificate, "the client certificate, a PEM file (TLS)")
                   ->needs(methods["tls"]);
  auto* key = c.add_option("--key", in.join.key, "the client certificate's unencrypted key, a PEM file (TLS)")
                  ->needs(methods["tls"]);
  methods["tls"]->needs(cert)->needs(key);
  c.add_option("--inner", in.join.inner, "the method inside PEAP (mschapv2, gtc) or TTLS (pap, mschapv2)")
      ->check(CLI::IsMember({"mschapv2", "gtc", "pap"}));
  c.add_option("--ca", in.join.ca,
               "the CA certificate (PEM) the server's must chain to (default: the simulated machine's "
               "RADIUS server's)");
  c.add_option("--anonymous", in.join.anonymous, "the outer identity (TTLS)")->needs(methods["ttls"]);
  for (auto* a : exclusive) {
    for (auto* b : exclusive) {
      // The two ways of giving a pass phrase exclude each other already.
      if (a != b && !(a == psk && b == pskFile) && !(a == pskFile && b == psk)) a->excludes(b);
    }
  }
}

void DefineJoin(CLI::App& c, Invocation& in) {
  c.add_option("SSID", in.join.ssid, "the network's name (1 to 32 bytes)")->required();
  AddCredentials(c, in);
  c.add_option("--wait", in.wait, "wait this long for the join to complete (default: the join's own 8 s)")
      ->check(CLI::Range(0.1, 600.0));
}

void DefineScan(CLI::App& c, Invocation& in) {
  c.add_option("--ssid", in.scanSsid,
               "look for this network by name (found even when it hides) and list it alone");
}

void DefineGet(CLI::App& c, Invocation& in) {
  c.add_option("NAME", in.parameter, "the parameter (none: every one)");
}

void DefineSet(CLI::App& c, Invocation& in) {
  c.add_option("NAME", in.parameter, "the parameter")->required();
  c.add_option("VALUE", in.value, "a number (0x for hex) or a named value")->required();
}

void DefineStats(CLI::App& c, Invocation& in) {
  c.add_flag("--reset", in.reset, "zero the counters first");
}

void DefineEvents(CLI::App& c, Invocation& in) {
  c.add_option("--trace", in.trace, "the supplicant's trace level (0 to 4)")->check(CLI::Range(0u, 4u));
  c.add_option("--count", in.count, "stop after this many messages");
  c.add_option("--seconds", in.seconds, "stop after this many seconds");
}

void DefineWatch(CLI::App& c, Invocation& in) {
  c.add_option("--interval", in.interval, "seconds between readings")
      ->check(CLI::Range(0.05, 60.0))
      ->capture_default_str();
  c.add_option("--count", in.count, "stop after this many readings");
}

void DefineName(CLI::App& c, Invocation& in) {
  c.add_option("NAME", in.name, "the profile's name")->required();
}

void DefineProfileShow(CLI::App& c, Invocation& in) {
  DefineName(c, in);
  c.add_flag("--show-secrets", in.showSecrets, "show keys, pass phrases and passwords");
}

void DefineProfileAdd(CLI::App& c, Invocation& in) {
  DefineName(c, in);
  c.add_option("SSID", in.join.ssid, "the network's name (1 to 32 bytes)")->required();
  AddCredentials(c, in);
  c.add_option("--set", in.settings, "a radio setting applied before the join, as NAME=VALUE (repeatable)");
}

void DefineProfileUp(CLI::App& c, Invocation& in) {
  DefineName(c, in);
  c.add_option("--wait", in.wait, "wait this long for the join to complete (default: the join's own 8 s)")
      ->check(CLI::Range(0.1, 600.0));
}

void DefineSnapshot(CLI::App& c, Invocation& in) {
  c.add_flag("--show-secrets", in.showSecrets, "show the WEP keys");
}

void AddSystem(CLI::App& c, Invocation& in) {
  c.add_flag("--system", in.system,
             "on Windows without --sim: work on this machine's registry (needs administrator rights)");
}

void DefineExport(CLI::App& c, Invocation& in) {
  c.add_option("FILE", in.file, "the .reg file to write")->required();
  c.add_flag("--with-keys", in.withKeys, "include the WEP keys (the file is then readable by you alone)");
  AddSystem(c, in);
}

void DefineImport(CLI::App& c, Invocation& in) {
  c.add_option("FILE", in.file, "the .reg file to apply")->required();
  c.add_flag("--dry-run", in.dryRun, "say what would change, change nothing");
  c.add_flag("--any-key", in.anyKey, "also apply keys outside the adapter's own");
  AddSystem(c, in);
}

const std::vector<Command>& Table() {
  static const std::vector<Command> table = {
      {"info",
       "identity, driver version and date, MAC address, registry key, profile",
       nullptr,
       Info,
       true,
       {"description", "driver-version", "driver-date", "mac", "adapter-name", "registry-key", "profile",
        "chip-version", "firmware", "windows-wireless"}},
      {"status",
       "connection, SSID, BSSID, channel, signal, link speed, supplicant state",
       nullptr,
       Status,
       true,
       {"connection", "ssid", "bssid", "channel", "frequency", "signal", "bars", "link-speed", "supplicant"}},
      {"scan",
       "list the networks in range, strongest first",
       DefineScan,
       Scan,
       true,
       {"ssid", "bssid", "channel", "frequency", "signal", "bars", "security"}},
      {"join", "join a network", DefineJoin, Join, true, {}},
      {"disconnect", "leave the network", nullptr, Disconnect, true, {}},
      {"get",
       "read a radio parameter (list below), or all: the adapter's answer and the stored value",
       DefineGet,
       Get,
       true,
       {"name", "value", "stored"}},
      {"set",
       "change a radio parameter; the library also stores it in the registry",
       DefineSet,
       Set,
       true,
       {}},
      {"stats", "counters, RSSI and beacon statistics", DefineStats, Stats, true, {}},
      {"events", "follow the window messages and trace lines until Ctrl-C", DefineEvents, Events, true, {}},
      {"watch",
       "a live view of the link: signal with its last minute, speed, supplicant, events",
       DefineWatch,
       Watch,
       true,
       {}},
      {"profile",
       "named profiles: SSID, security, credentials, radio settings (default: list)",
       nullptr,
       ProfileList,
       false,
       {"name", "ssid", "security", "settings"}},
      {"profile list",
       "list the profiles",
       nullptr,
       ProfileList,
       false,
       {"name", "ssid", "security", "settings"}},
      {"profile show",
       "show a profile (secrets hidden unless --show-secrets)",
       DefineProfileShow,
       ProfileShow,
       false,
       {}},
      {"profile add",
       "add a profile: NAME SSID, the join's credential options and --set NAME=VALUE",
       DefineProfileAdd,
       ProfileAdd,
       false,
       {}},
      {"profile delete", "delete a profile", DefineName, ProfileDelete, false, {}},
      {"profile up",
       "apply a profile: its radio settings, then the join",
       DefineProfileUp,
       ProfileUp,
       true,
       {}},
      {"profile snapshot",
       "show the library's connection snapshot: the stored settings of the last successful join, which the "
       "library puts back after a failed one",
       DefineSnapshot,
       ProfileSnapshot,
       false,
       {}},
      {"profile revert",
       "write the connection snapshot back to the adapter's registry key",
       nullptr,
       ProfileRevert,
       true,
       {}},
      {"registry", "export or import the adapter's registry key (.reg)", nullptr, nullptr, true, {}},
      {"registry export",
       "write the adapter's key and its subkeys to a .reg file (without the WEP keys)",
       DefineExport,
       RegistryExport,
       true,
       {}},
      {"registry import",
       "apply a .reg file to the adapter's key and its subkeys",
       DefineImport,
       RegistryImport,
       true,
       {}},
      {"demo", "a walk-through: scan, join open, WEP and 802.1X networks, leave", nullptr, Demo, true, {}},
      {"sim",
       "the simulated machine's service of the state directory, which the first command starts (default: "
       "status)",
       nullptr,
       SimStatus,
       false,
       {"running", "pid", "uptime", "clients", "handles", "state-dir"}},
      {"sim status",
       "whether it runs: its pid, uptime, clients and open adapter handles, its state directory",
       nullptr,
       SimStatus,
       false,
       {"running", "pid", "uptime", "clients", "handles", "state-dir"}},
      {"sim stop",
       "save the machine and end its service (the next command starts it again)",
       nullptr,
       SimStop,
       false,
       {}},
      {"sim restart", "end the service and start it again", nullptr, SimRestart, false, {}},
  };
  return table;
}

std::vector<std::string> Words(const std::string& path) {
  std::vector<std::string> words;
  for (size_t at = 0; at < path.size();) {
    const size_t space = path.find(' ', at);
    words.push_back(path.substr(at, space == std::string::npos ? std::string::npos : space - at));
    at = space == std::string::npos ? path.size() : space + 1;
  }
  return words;
}

// ---- completions -------------------------------------------------------------

struct Node {
  std::string path;                                           // "" for the program
  std::vector<std::pair<std::string, std::string>> words;     // candidate, description
  std::vector<std::pair<std::string, std::string>> children;  // subcommand name, its path
};

std::vector<const CLI::App*> Children(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

// Every option and subcommand of the parser, by command path, and the
// options that take a value.
std::vector<Node> Walk(const CLI::App& root, std::set<std::string>* valued) {
  std::vector<Node> nodes;
  std::vector<std::pair<std::string, std::string>> global;
  std::function<void(const CLI::App&, const std::string&)> visit;
  visit = [&](const CLI::App& app, const std::string& path) {
    Node node{path, {}, {}};
    const std::vector<const CLI::App*> subs = Children(app);
    for (const CLI::App* sub : subs) {
      node.words.emplace_back(sub->get_name(), sub->get_description());
      node.children.emplace_back(sub->get_name(),
                                 path.empty() ? sub->get_name() : path + " " + sub->get_name());
    }
    std::vector<std::pair<std::string, std::string>> own;
    for (const CLI::Option* o : app.get_options()) {
      if (!o->nonpositional() || o->get_group().empty()) continue;
      for (const std::string& n : o->get_lnames()) own.emplace_back("--" + n, o->get_description());
      for (const std::string& n : o->get_snames()) own.emplace_back("-" + n, o->get_description());
      if (o->get_type_size() != 0) {
        for (const std::string& n : o->get_lnames()) valued->insert("--" + n);
        for (const std::string& n : o->get_snames()) valued->insert("-" + n);
      }
    }
    if (path.empty()) global = own;
    node.words.insert(node.words.end(), own.begin(), own.end());
    if (!path.empty()) node.words.insert(node.words.end(), global.begin(), global.end());
    nodes.push_back(node);
    for (size_t i = 0; i < subs.size(); ++i) visit(*subs[i], node.children[i].second);
  };
  visit(root, "");
  return nodes;
}

std::string Joined(const std::set<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& w : words) text += (text.empty() ? "" : separator) + w;
  return text;
}

// A word inside single quotes, for either shell.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string BashScript(const std::vector<Node>& nodes, const std::set<std::string>& valued) {
  std::string descend, candidates;
  for (const Node& n : nodes) {
    for (const auto& [name, path] : n.children)
      descend += fmt::format("      {}) cmdpath={} ;;\n", Quoted(n.path + "/" + name), Quoted(path));
    std::set<std::string> words;
    for (const auto& w : n.words) words.insert(w.first);
    candidates += fmt::format("    {}) words={} ;;\n", Quoted(n.path), Quoted(Joined(words, " ")));
  }
  return fmt::format(
      "# bash completion for halvexctl, generated from its parser by halvexctl --completion bash\n"
      "_halvexctl() {{\n"
      "  local cur=${{COMP_WORDS[COMP_CWORD]}} prev=${{COMP_WORDS[COMP_CWORD-1]}} cmdpath= words= w i "
      "skip=0\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    w=${{COMP_WORDS[i]}}\n"
      "    if ((skip)); then skip=0; continue; fi\n"
      "    case \"$w\" in\n"
      "      {}) skip=1; continue ;;\n"
      "    esac\n"
      "    case \"$cmdpath/$w\" in\n"
      "{}"
      "    esac\n"
      "  done\n"
      "  case \"$prev\" in\n"
      "    {}) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
      "  esac\n"
      "  case \"$cmdpath\" in\n"
      "{}"
      "  esac\n"
      "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      "}}\n"
      "complete -F _halvexctl halvexctl\n",
      Joined(valued, "|"), descend, Joined(valued, "|"), candidates);
}

std::string ZshScript(const std::vector<Node>& nodes, const std::set<std::string>& valued) {
  std::string descend, candidates;
  for (const Node& n : nodes) {
    for (const auto& [name, path] : n.children)
      descend += fmt::format("      ({}) cmdpath={} ;;\n", Quoted(n.path + "/" + name), Quoted(path));
    std::string list;
    std::set<std::string> seen;
    for (const auto& [word, help] : n.words) {
      if (!seen.insert(word).second) continue;
      std::string entry;
      for (char c : word) entry += c == ':' ? std::string("\\:") : std::string(1, c);
      list += " " + Quoted(entry + ":" + help);
    }
    candidates += fmt::format("    ({}) candidates=({} ) ;;\n", Quoted(n.path), list);
  }
  return fmt::format(
      "#compdef halvexctl\n"
      "# zsh completion for halvexctl, generated from its parser by halvexctl --completion zsh\n"
      "_halvexctl() {{\n"
      "  local cmdpath= w i skip=0\n"
      "  local -a candidates\n"
      "  for ((i = 2; i < CURRENT; i++)); do\n"
      "    w=${{words[i]}}\n"
      "    if ((skip)); then skip=0; continue; fi\n"
      "    case \"$w\" in\n"
      "      ({}) skip=1; continue ;;\n"
      "    esac\n"
      "    case \"$cmdpath/$w\" in\n"
      "{}"
      "    esac\n"
      "  done\n"
      "  case \"${{words[CURRENT-1]}}\" in\n"
      "    ({}) _files; return ;;\n"
      "  esac\n"
      "  case \"$cmdpath\" in\n"
      "{}"
      "  esac\n"
      "  _describe -t commands 'halvexctl' candidates\n"
      "}}\n"
      "_halvexctl \"$@\"\n",
      Joined(valued, "|"), descend, Joined(valued, "|"), candidates);
}

}  // namespace

std::span<const Command> Commands() {
  return Table();
}

const Command* FindCommand(const std::vector<std::string>& path) {
  for (const Command& c : Table()) {
    if (Words(c.path) == path) return &c;
  }
  return nullptr;
}

std::unique_ptr<CLI::App> BuildParser(Invocation& in) {
  auto app = std::make_unique<CLI::App>(
      "halvexctl: show and change a Halvex wireless adapter, scan and join networks, keep profiles.",
      "halvexctl");
  app->footer(
      ParameterHelp() +
      "\nGlobal options may come before or after the command.\n"
      "Exit codes: 0 success, 1 the operation failed (the library's result is shown), 2 bad usage,\n"
      "130 and 143 interrupted (SIGINT, SIGTERM) after putting back what the command had begun.\n"
      "The simulated adapter keeps its state in HALVEX_STATE_DIR (default: $XDG_STATE_HOME/halvex,\n"
      "~/.local/state/halvex, or %LOCALAPPDATA%\\Halvex); its networks are in access-points.json there,\n"
      "the profiles in profiles.json.");
  app->fallthrough();
  app->require_subcommand(0, 1);
  app->set_version_flag("--version", std::string("halvexctl ") + HALVEX_VERSION);
  app->set_help_all_flag("--help-all", "print the help of every command");
  app->add_flag("--sim", in.global.sim, "use the simulated adapter (always so off Windows)");
  app->add_option("--state-dir", in.global.stateDir, "where the simulated adapter keeps its state")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app->add_flag("--json", in.global.json, "report as JSON (usage errors too, on stderr)");
  app->add_flag("-v,--verbose", in.global.verbose, "show the driver requests on stderr (simulated adapter)");
  app->add_option("--capture", in.global.capture,
                  "write the frames the simulated adapter carries to a pcap file")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app->add_flag("-t,--terse", in.terse,
                "listings as colon-separated fields without headers (\\: and \\\\ escaped)");
  app->add_option("-f,--fields", in.fields,
                  "the fields a listing shows, comma-separated (see the command's fields)")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app->add_option("--completion", in.completion, "print the bash or zsh completion script")
      ->check(CLI::IsMember({"bash", "zsh"}))
      ->group("");
  std::map<std::string, CLI::App*> made{{"", app.get()}};
  for (const Command& c : Table()) {
    const std::vector<std::string> words = Words(c.path);
    std::string parentPath;
    for (size_t i = 0; i + 1 < words.size(); ++i) parentPath += (i == 0 ? "" : " ") + words[i];
    CLI::App* sub = made.at(parentPath)->add_subcommand(words.back(), c.help);
    // The program's long footer is for the program and for get and set.
    std::string footer = words[0] == "get" || words[0] == "set" ? ParameterHelp() : "";
    if (!c.fields.empty()) {
      std::string list;
      for (const char* f : c.fields) list += std::string(list.empty() ? "" : ",") + f;
      footer += "Fields (-f): " + list;
    }
    sub->footer(footer);
    if (c.define != nullptr) c.define(*sub, in);
    if (c.run == nullptr) sub->require_subcommand(1);
    made[c.path] = sub;
  }
  return app;
}

std::string AllHelp(const CLI::App& app) {
  std::string text = app.help();
  std::function<void(const CLI::App&, const std::string&)> visit = [&](const CLI::App& at,
                                                                       const std::string& path) {
    for (const CLI::App* sub : Children(at)) {
      const std::string name = path + " " + sub->get_name();
      text += "\n" + sub->help(name.substr(1));
      visit(*sub, name);
    }
  };
  visit(app, "halvexctl");
  return text;
}

std::string CompletionScript(const CLI::App& app, const std::string& shell) {
  std::set<std::string> valued;
  const std::vector<Node> nodes = Walk(app, &valued);
  return shell == "zsh" ? ZshScript(nodes, valued) : BashScript(nodes, valued);
}

}  // namespace halvexctl
