// halvexctl: the command-line utility for Halvex adapters. It drives the
// adapter through the library's exports, as any caller of Halvex.dll (or
// libHalvex.so) would; off Windows, and with --sim on Windows, against the
// simulated adapter, whose state persists between runs.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "tools/cli.h"
#include "tools/interrupt.h"
#include "tools/parameters.h"
#include "tools/text.h"
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

using namespace halvexctl;

// Every argument is checked before the adapter is touched; the exit code of
// a usage error, or 0.
int Check(const Command& command, Invocation& in, const Output& out) {
  const std::string path = command.path;
  if (!out.fields.empty() || in.terse) {
    if (command.fields.empty() && !out.fields.empty())
      return Usage(out, "-f: " + path + " shows no listing or record");
    for (const std::string& f : out.fields) {
      if (std::find(command.fields.begin(), command.fields.end(), f) == command.fields.end()) {
        std::string known;
        for (const char* k : command.fields) known += std::string(known.empty() ? "" : ", ") + k;
        return Usage(out, "-f: " + path + " has no field \"" + f + "\" (fields: " + known + ")");
      }
    }
  }
  if (path == "join" || path == "profile add") {
    std::string why;
    if (!ResolveCredentials(in, &why)) return Usage(out, why);
  }
  if ((path == "get" && !in.parameter.empty()) || path == "set") {
    const Parameter* parameter = FindParameter(in.parameter);
    if (parameter == nullptr) return Usage(out, "no radio parameter \"" + in.parameter + "\" (see --help)");
    if (path == "set") in.settings = {in.parameter + "=" + in.value};
  }
#ifdef _WIN32
  // Without --sim the registry is this machine's own: the user must say so.
  if (path.rfind("registry ", 0) == 0 && !in.global.sim && !in.system)
    return Usage(out,
                 "registry export and import without --sim work on this machine's registry: "
                 "give --system to mean that (it needs administrator rights)");
#endif
  for (const std::string& setting : in.settings) {
    const size_t equals = setting.find('=');
    const Parameter* parameter = FindParameter(setting.substr(0, std::min(equals, setting.size())));
    if (parameter == nullptr)
      return Usage(out, "no radio parameter \"" + setting.substr(0, equals) + "\" (see --help)");
    std::string why;
    const auto value =
        equals == std::string::npos ? std::nullopt : ParseValue(*parameter, setting.substr(equals + 1), &why);
    if (!value)
      return Usage(out, std::string(parameter->name) + ": " + (why.empty() ? "give NAME=VALUE" : why));
    in.parsedSettings.emplace_back(parameter->name, *value);
  }
  if (path.rfind("profile ", 0) == 0 && path != "profile list" && path != "profile snapshot" &&
      path != "profile revert") {
    const bool control =
        std::any_of(in.name.begin(), in.name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
    if (in.name.empty() || in.name.size() > 39 || control)
      return Usage(out, "a profile's name has 1 to 39 characters, none of them control characters");
  }
  return 0;
}

std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields;
  for (size_t at = 0; at <= text.size() && !text.empty();) {
    const size_t comma = std::min(text.find(',', at), text.size());
    std::string f = text.substr(at, comma - at);
    std::transform(f.begin(), f.end(), f.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!f.empty()) fields.push_back(f);
    at = comma + 1;
  }
  return fields;
}

int Run(int argc, char** argv) {
  Invocation in;
  std::unique_ptr<CLI::App> app = BuildParser(in);
  Output out;
  // Known before the parse, so that its own errors are JSON too.
  out.json = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::strcmp(a, "--json") == 0; });
  try {
    app->parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app->exit(e);
  } catch (const CLI::CallForAllHelp&) {
    std::cout << AllHelp(*app);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    return app->exit(e);
  } catch (const CLI::ParseError& e) {
    return Usage(out, e.what());
  }
  if (!in.completion.empty()) {
    std::cout << CompletionScript(*app, in.completion);
    return 0;
  }
  for (CLI::App* at = app.get(); !at->get_subcommands().empty();) {
    at = at->get_subcommands().front();
    in.command.push_back(at->get_name());
  }
  if (in.command.empty()) return Usage(out, "a command is required");
  const Command* command = FindCommand(in.command);
  out.terse = in.terse;
  out.fields = Fields(in.fields);
  out.terminal = isatty(fileno(stdout)) != 0;
  if (const int usage = Check(*command, in, out); usage != 0) return usage;

  std::unique_ptr<Session> session;
  if (command->needsAdapter) {
    session = Session::Open(in.global);
    if (!session) return kFailure;
  }
  int status = kFailure;
  try {
    status = command->run(session.get(), in, out);
  } catch (const std::exception& e) {
    Warn(e.what());
    status = kFailure;
  }
  if (status != kUsage && interrupt::Requested() && status < 128) {
    // The command finished before it looked: say so, and exit as interrupted.
    Warn(std::string("interrupted (") + interrupt::Name() + ") after the command had finished");
    status = interrupt::ExitCode();
  }
  if (session && !session->Close()) {
    Warn("the adapter's state could not be saved");
    if (status == 0) status = kFailure;
  }
  if (status != kUsage) Finish(out);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // First: an interrupt from now on is taken, not fatal.
  interrupt::Start();
  const int status = Run(argc, argv);
  std::fflush(stdout);
  interrupt::Stop();
  return status;
}
