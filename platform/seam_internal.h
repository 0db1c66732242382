// Shared by the seam's two implementations (and the POSIX GetVersionExA).
#pragma once

#include "platform/win32.h"

namespace hx::platform {

// Fills `info` as GetVersionExA does: the size field must name
// OSVERSIONINFOA or OSVERSIONINFOEXA (else ERROR_INSUFFICIENT_BUFFER), only that
// many bytes are written, the service-pack text and extended fields are empty.
BOOL FillVersionInfo(OSVERSIONINFOA* info, const ReportedVersion& version);

// DeviceIoControl's contract over a registered device: *returned set, the
// last error set on failure; a device that throws fails the call.
BOOL CallDevice(Device& device, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength,
                DWORD* returned);

// The version a test chose, if any.
std::optional<ReportedVersion> VersionOverride();

}  // namespace hx::platform
