// halvexctl's command table: every command with its help, arguments and
// options, the routine that runs it, and the fields its listing has. The
// parser, the shell completions and the man page (from --help) all come from
// it, so a new command or option appears in each by itself.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace halvexctl {

struct Command {
  const char* path;  // "scan", "profile add"
  const char* help;
  // Adds the command's own arguments and options.
  void (*define)(CLI::App& command, Invocation& in);
  int (*run)(Session* session, Invocation& in, Output& out);  // null: a group
  bool needsAdapter;
  // The fields of its listing or record, for -f and -t; empty: none.
  std::vector<const char*> fields;
};

std::span<const Command> Commands();
const Command* FindCommand(const std::vector<std::string>& path);

// The parser for `in`: global options (taken before or after the command),
// the command table's commands and --version.
std::unique_ptr<CLI::App> BuildParser(Invocation& in);

// The help of the program and of every command, one after the other (for
// --help-all, and so for the man page).
std::string AllHelp(const CLI::App& app);

// A completion script for bash or zsh, from the parser itself.
std::string CompletionScript(const CLI::App& app, const std::string& shell);

}  // namespace halvexctl
