// The Win32 surface the library is written against. On Windows these are the
// real kernel32/advapi32/user32 calls; elsewhere an in-process emulation with
// the same names and semantics.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "platform/posix/winapi.h"
#endif

#include "platform/seam.h"
