// eapol_test (wpa_supplicant's 802.1X test peer) run against a RADIUS server
// with a network block the test writes: its whole output, for SUCCESS or
// FAILURE and its check that the server's MS-MPPE keys match its own MSK.
#pragma once

#include <optional>
#include <string>

namespace hx::test {

// None, and why in *why, when eapol_test is not installed.
std::optional<std::string> RunEapolTest(const std::string& network, const std::string& address,
                                        const std::string& secret, std::string* why);

}  // namespace hx::test
