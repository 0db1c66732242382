// The utility's own files: written whole or not at all, those holding secrets
// readable by their owner only, and never through a symbolic link.
#pragma once

#include <optional>
#include <string>

namespace halvexctl {

enum class Privacy {
  kShared,   // readable by others, as the user's umask allows
  kPrivate,  // the owner's only (mode 0600): keys, pass phrases, passwords
};

// Writes `text` to a new temporary file beside `path` (created exclusively)
// and renames it over `path`: a link at `path` is replaced, not followed.
// False, with the reason in *error, when the file could not be written.
bool WriteFileAtomically(const std::string& path, const std::string& text, Privacy privacy,
                         std::string* error);

// The text of a regular file, not following a link at `path`; nothing, with
// the reason in *error, otherwise. *missing tells an absent file apart.
std::optional<std::string> ReadRegularFile(const std::string& path, std::string* error,
                                           bool* missing = nullptr);

}  // namespace halvexctl
