// The connection snapshot: the stored settings of the last good connection,
// taken after every successful join and written back after a failed one.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "frame/channel.h"
#include "frame/state.h"
#include "platform/wipe.h"
#include "registry/store.h"

namespace hx {
namespace {

// Names and keys are read through a 100-byte window, wider than any field.
constexpr ULONG kReadCapacity = 100;

struct NumberField {
  const char* name;
  ULONG CONNECTIONINFO::*field;
};
// In the order they are read and (but for the key size) written back.
constexpr NumberField kNumbers[] = {
    {"Wireless Mode", &CONNECTIONINFO::WirelessMode}, {"NetworkMode", &CONNECTIONINFO::NetworkMode},
    {"AuthMode", &CONNECTIONINFO::AuthMode},          {"WepStatus", &CONNECTIONINFO::WepStatus},
    {"TxWepKey", &CONNECTIONINFO::TxWepKey},          {"WepKeySize", &CONNECTIONINFO::WepKeySize},
};

struct KeyField {
  const char* name;
  size_t offset;
};
constexpr size_t kKeyWidth = sizeof(CONNECTIONINFO::WepKey1);
constexpr KeyField kKeys[] = {
    {"WepKey1", offsetof(CONNECTIONINFO, WepKey1)},
    {"WepKey2", offsetof(CONNECTIONINFO, WepKey2)},
    {"WepKey3", offsetof(CONNECTIONINFO, WepKey3)},
    {"WepKey4", offsetof(CONNECTIONINFO, WepKey4)},
};

unsigned char* FieldAt(CONNECTIONINFO& record, size_t offset) {
  return reinterpret_cast<unsigned char*>(&record) + offset;
}

// Copies a stored value into a field, cut to the field's width: the platform
// stores a NUL after text written without one, so a full-width SSID reads
// back one byte longer than its field. A name that is empty or starts with a
// NUL leaves the field empty.
void ReadInto(const AdapterKeyReader& reader, const char* name, unsigned char* field, size_t width,
              bool isName) {
  unsigned char stored[kReadCapacity] = {};
  const WipeOnExit wipeStored(stored, sizeof stored);  // may be a key
  ULONG size = kReadCapacity;
  if (reader.ReadString(name, stored, &size) != kSuccess) return;
  if (isName && (size == 0 || stored[0] == 0)) return;
  std::memcpy(field, stored, std::min<size_t>(size, width));
}

ULONG TextLength(const void* field, size_t width) {
  const auto* bytes = static_cast<const unsigned char*>(field);
  return static_cast<ULONG>(std::find(bytes, bytes + width, 0) - bytes);
}

}  // namespace
}  // namespace hx

using namespace hx;

int HalvexRegisterConnInfo(void* adapter) {
  // Built aside and published whole, so no registry access runs under the lock.
  CONNECTIONINFO fresh{};
  const WipeOnExit wipeFresh(&fresh, sizeof fresh);  // holds the keys
  {
    const AdapterKeyReader reader;
    ReadInto(reader, "ProfileName", reinterpret_cast<unsigned char*>(fresh.ProfileName),
             sizeof fresh.ProfileName, true);
    ReadInto(reader, "DesiredSSID", fresh.DesiredSSID, sizeof fresh.DesiredSSID, true);
    for (const NumberField& number : kNumbers) {
      ULONG value = 0;
      if (reader.ReadNumber(number.name, value) == kSuccess) fresh.*number.field = value;
    }
    for (const KeyField& key : kKeys)
      ReadInto(reader, key.name, FieldAt(fresh, key.offset), kKeyWidth, false);
  }
  ULONG channel = 0;
  if (HalvexQueryChannel(adapter, channel) == kSuccess) {
    fresh.Channel = channel;
    WriteAdapterNumber(adapter, "Channel", channel, 0);
  }
  LibraryState& s = State();
  std::lock_guard lock(s.SnapshotLock);
  s.ConnSnapshot = fresh;
  s.SnapshotTaken.store(1);
  return kSuccess;
}

int HalvexRevertConnInfo(void* adapter) {
  LibraryState& s = State();
  // Before the first snapshot there is nothing to go back to: writing the
  // empty record would wipe the user's stored settings.
  if (s.SnapshotTaken.load() == 0) return kSuccess;
  CONNECTIONINFO snapshot;
  const WipeOnExit wipeSnapshot(&snapshot, sizeof snapshot);  // holds the keys
  {
    std::lock_guard lock(s.SnapshotLock);
    snapshot = s.ConnSnapshot;
  }
  auto writeNumber = [&](const char* name, ULONG value) {
    return WriteAdapterNumber(adapter, name, value, 0);
  };
  if (WriteAdapterString(adapter, "ProfileName", snapshot.ProfileName,
                         TextLength(snapshot.ProfileName, sizeof snapshot.ProfileName)) != kSuccess ||
      WriteAdapterString(adapter, "DesiredSSID", snapshot.DesiredSSID,
                         TextLength(snapshot.DesiredSSID, sizeof snapshot.DesiredSSID)) != kSuccess ||
      writeNumber("Wireless Mode", snapshot.WirelessMode) != kSuccess ||
      writeNumber("NetworkMode", snapshot.NetworkMode) != kSuccess) {
    return kFailure;
  }
  // An infrastructure network chooses its own channel: don't pin the old one.
  if (snapshot.NetworkMode == Ndis802_11Infrastructure) {
    snapshot.Channel = 0;
    std::lock_guard lock(s.SnapshotLock);
    s.ConnSnapshot.Channel = 0;
  }
  if (writeNumber("Channel", snapshot.Channel) != kSuccess ||
      writeNumber("AuthMode", snapshot.AuthMode) != kSuccess ||
      writeNumber("WepStatus", snapshot.WepStatus) != kSuccess ||
      writeNumber("TxWepKey", snapshot.TxWepKey) != kSuccess) {
    return kFailure;
  }
  // The key size was stored by the settings since, and may exceed a field.
  const ULONG keyLength = std::min<ULONG>(snapshot.WepKeySize, kKeyWidth);
  for (const KeyField& key : kKeys) {
    if (WriteAdapterString(adapter, key.name, FieldAt(snapshot, key.offset), keyLength) != kSuccess)
      return kFailure;
  }
  return kSuccess;
}

int HalvexQueryLastConn(void* adapter, CONNECTIONINFO* record) {
  if (IsBadWritePtr(record, sizeof(CONNECTIONINFO))) return kBadBuffer;
  if (HalvexRegisterConnInfo(adapter) != kSuccess) return kFailure;
  LibraryState& s = State();
  std::lock_guard lock(s.SnapshotLock);
  std::memcpy(record, &s.ConnSnapshot, sizeof(CONNECTIONINFO));
  return kSuccess;
}
