// The adapter setting store: every access to the adapter's registry key.
#pragma once

#include "Halvex.h"

namespace hx {

int WriteAdapterString(void* adapter, const char* name, const void* data, ULONG length);
int WriteAdapterNumber(void* adapter, const char* name, ULONG value, int hexadecimal);
int ReadAdapterString(void* adapter, const char* name, void* buffer, ULONG* length);
int ReadAdapterNumber(void* adapter, const char* name, ULONG& value);

}  // namespace hx
