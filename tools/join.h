// Joining a network as one transaction: what the join changes (the radio
// settings a profile applies first, the security, the association, the
// adapter's registry key) is recorded before, and put back when the join
// fails or is interrupted; a successful join's connection snapshot is kept in
// the state directory.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tools/commands.h"
#include "tools/parameters.h"

namespace halvexctl {

using Setting = std::pair<const Parameter*, uint32_t>;

// Joins `r` after applying `settings` (and naming `profile` as the one in
// use, when given); waits `wait` seconds at most for the authentication (0:
// the join's own bound). Returns the exit code.
int RunJoin(Session& session, const JoinRequest& r, double wait, std::span<const Setting> settings,
            const std::string& profile, Output& out);

// A byte string in JSON: text when it is UTF-8, else {"hex": "..."}.
nlohmann::json BytesJson(const std::string& bytes);
std::optional<std::string> BytesFromJson(const nlohmann::json& j);

// Where the connection snapshot of the last successful join is kept.
std::string SnapshotPath(const Options& options);

}  // namespace halvexctl
