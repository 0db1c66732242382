// Which adapter and driver the utility talks to: the description from the
// driver, the version, date and profile from the adapter's key, the name and
// key path discovery found, and the 9x family's DHCP question.
#include <cstring>

#include "frame/channel.h"
#include "frame/oids.h"
#include "registry/discovery.h"
#include "registry/store.h"

namespace hx {
namespace {

constexpr ULONG kTextWindow = 100;

// Reads a text value of the adapter's key and hands it to the caller with a
// NUL. A value stored without a NUL that fills the caller's whole length
// leaves no room for one: refused with 3 like any value that does not fit, so
// the copy never passes the caller's length.
int QueryStoredText(void* adapter, const char* name, char* buffer, ULONG length) {
  char text[kTextWindow + 1] = {};
  ULONG size = kTextWindow;
  if (ReadAdapterString(adapter, name, text, &size) != kSuccess) return kFailure;
  const size_t characters = strnlen(text, size);
  if (size > length || characters >= length) return kBadBuffer;
  std::memcpy(buffer, text, characters);
  buffer[characters] = '\0';
  return kSuccess;
}

// The driver's version and date value names differ by family.
const char* VersionValue(int32_t kind) {
  return kind == kOs9x ? "DriverVer" : "DriverVersion";
}
const char* DateValue(int32_t kind) {
  return kind == kOs2000 ? "DriverRel" : "DriverDate";
}

int QueryDriverText(void* adapter, char* buffer, ULONG length, const char* (*valueFor)(int32_t)) {
  if (IsBadWritePtr(buffer, length)) return kBadBuffer;
  const int32_t kind = EnsureOsKind();
  if (kind == kOsUnknown) return kFailure;
  return QueryStoredText(adapter, valueFor(kind), buffer, length);
}

// AdapterName or AdapterKeyPath, discovered first when empty.
int QueryDiscovered(const char (&field)[kPathLength], char* buffer, ULONG length) {
  if (State().AdapterHandle.load() == nullptr) return kFailure;
  if (IsBadWritePtr(buffer, length)) return kBadBuffer;
  PathText text;
  CopyPath(field, text);
  if (text[0] == '\0') {
    if (DiscoverAdapterKey() != kSuccess) return kFailure;
    CopyPath(field, text);
  }
  const size_t characters = std::strlen(text);
  if (characters > length) return kBadBuffer;
  if (length != 0) std::memset(buffer, 0, length);
  std::memcpy(buffer, text, characters);
  return kSuccess;
}

// Reads a text of the TCP/IP binding's key; true when it is "0.0.0.0".
bool TransportValueIsZero(const PathText& transport, const char* name) {
  char text[kTextWindow] = {};
  return HalvexQueryRegistry(transport, name, text, sizeof text) == kSuccess &&
         std::strncmp(text, "0.0.0.0", sizeof text) == 0;
}

}  // namespace
}  // namespace hx

using namespace hx;

int HalvexQueryDeviceDesc(void* adapter, char* buffer, ULONG length) {
  if (IsBadWritePtr(buffer, length)) return kBadBuffer;
  char description[kTextWindow + 1] = {};
  if (QueryOid(adapter, OID_GEN_VENDOR_DESCRIPTION, description, kTextWindow) != kSuccess) return kFailure;
  if (length < kTextWindow) return kBadBuffer;
  // An answer without its NUL is cut at the window's end.
  const size_t characters = strnlen(description, kTextWindow - 1);
  std::memcpy(buffer, description, characters);
  buffer[characters] = '\0';
  return kSuccess;
}

int HalvexQueryDriverVersion(void* adapter, char* buffer, ULONG length) {
  return QueryDriverText(adapter, buffer, length, VersionValue);
}

int HalvexQueryDriverDate(void* adapter, char* buffer, ULONG length) {
  return QueryDriverText(adapter, buffer, length, DateValue);
}

int HalvexQueryProfileInUse(void* adapter, char* buffer, ULONG length) {
  if (IsBadWritePtr(buffer, length)) return kBadBuffer;
  return QueryStoredText(adapter, "ProfileName", buffer, length);
}

int HalvexSetProfileInUse(void* adapter, char* name, ULONG length) {
  // An empty name is stored as one space.
  if (length == 0) return WriteAdapterString(adapter, "ProfileName", " ", 1);
  if (IsBadReadPtr(name, length)) return kBadBuffer;
  return WriteAdapterString(adapter, "ProfileName", name, length);
}

int HalvexQueryAdapterName(void*, char* buffer, ULONG length) {
  return QueryDiscovered(State().AdapterName, buffer, length);
}

int HalvexQueryRegistryPath(void*, char* buffer, ULONG length) {
  return QueryDiscovered(State().AdapterKeyPath, buffer, length);
}

int HalvexQueryDhcp9x(void* adapter) {
  if (!IsOpenAdapter(adapter) || State().OsKind.load() != kOs9x) return kFailure;
  PathText transport;
  CopyPath(State().TransportKeyPath, transport);
  return TransportValueIsZero(transport, "IPAddress") && TransportValueIsZero(transport, "IPMask") ? 1 : 0;
}
