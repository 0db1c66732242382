// Registry texts in the familiar .reg format ("Windows Registry Editor
// Version 5.00" or "REGEDIT4"): parsing, applying through the Win32 registry
// calls (so the same code serves Windows and the POSIX emulation), exporting
// a subtree, and deleting one.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_handle.h"  // UniqueKey
#include "platform/win32.h"

namespace hx::platform {

// One change a .reg text asks for. `path` is below `root`, backslash
// separated, empty for the root itself; an empty value name is the default
// value ('@').
struct RegChange {
  enum class Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = Kind::kCreateKey;
  HKEY root = nullptr;
  std::string path;
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;

  bool operator==(const RegChange&) const = default;
};

// Parses a whole text without touching the registry. Texts in UTF-16LE or
// UTF-8 with a byte-order mark are read as code page 1252. False, with the
// line and the reason in *error, when the text is malformed.
bool ParseRegText(std::string_view text, std::vector<RegChange>* changes, std::string* error = nullptr);

// Applies parsed changes in order; deleting a key that does not exist is not
// an error. Returns the first failing call's code.
LONG ApplyRegChanges(std::span<const RegChange> changes, std::string* error = nullptr);

// Parses, then applies: a malformed text changes nothing and returns
// ERROR_INVALID_DATA.
LONG ImportRegText(std::string_view text, std::string* error = nullptr);

// The subtree at `path` below a predefined root (empty or null: the whole
// root) as a text ImportRegText reads back to the same keys, values, types
// and bytes. Keys whose names hold a line break cannot be written in the
// format: they are left out and *complete is set to false. Empty text if the
// root is not one of the predefined roots or the key cannot be opened.
std::string ExportRegText(HKEY root, const char* path, bool* complete = nullptr);
// Whole roots, one after the other, in one text.
std::string ExportRegText(std::span<const HKEY> roots, bool* complete = nullptr);

// Changes written back as a text ParseRegText reads to the same changes: a
// section for each run of changes to one key, in order.
std::string FormatRegText(std::span<const RegChange> changes);

// Deletes a key and everything below it (RegDeleteKeyA only deletes leaves).
// The path must name a key below the root, not the root itself.
LONG DeleteKeyTree(HKEY root, const char* path);

// The first key on `path` below `root` that does not exist, as a path from
// the root (opening one name at a time, as paths may be longer than one call
// takes); empty if all exist. Deleting it after an import takes back what
// the import added on that path.
std::string FirstMissingKey(HKEY root, std::string_view path);

// "HKEY_LOCAL_MACHINE" and the other predefined roots' names; null for any
// other key.
const char* RootName(HKEY root);

// The character a code page 1252 byte stands for (the five unassigned bytes
// map to the control characters of the same value, as Windows maps them).
char16_t Cp1252ToUnicode(unsigned char byte);

}  // namespace hx::platform
