// The adapter setting store: every access to the adapter's registry key.
#pragma once

#include "Halvex.h"
#include "platform/unique_handle.h"

namespace hx {

int WriteAdapterString(void* adapter, const char* name, const void* data, ULONG length);
int WriteAdapterNumber(void* adapter, const char* name, ULONG value, int hexadecimal);
int ReadAdapterString(void* adapter, const char* name, void* buffer, ULONG* length);
int ReadAdapterNumber(void* adapter, const char* name, ULONG& value);

// The adapter's key opened once for a run of reads, as ReadAdapterString and
// ReadAdapterNumber read: the connection snapshot reads a dozen values, and
// on Windows every open and close is a trip to the system's registry.
class AdapterKeyReader {
 public:
  AdapterKeyReader();
  int ReadString(const char* name, void* buffer, ULONG* length) const;
  int ReadNumber(const char* name, ULONG& value) const;

 private:
  platform::UniqueKey key_;
  bool open_ = false;
};

}  // namespace hx
