// A caller built as an MSVC toolchain builds it (i686-pc-windows-msvc, MSVC
// name decoration, no CRT): links Halvex.dll through Halvex.lib and calls the
// exports that need no adapter. Prints one line per check; exits 1 on any
// mismatch.
#include "Halvex.h"
#include "HalvexSeam.h"
#include "exports_present.h"

extern "C" {
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long length,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) long __stdcall RegCreateKeyExA(void* key, const char* subKey, unsigned long reserved,
                                                     char* className, unsigned long options,
                                                     unsigned long access, void* security, void** result,
                                                     unsigned long* disposition);
__declspec(dllimport) long __stdcall RegDeleteKeyA(void* key, const char* subKey);
__declspec(dllimport) long __stdcall RegCloseKey(void* key);
}

namespace {

int failures = 0;

unsigned long Length(const char* text) {
  unsigned long n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

void Write(const char* text) {
  unsigned long written = 0;
  WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), text, Length(text), &written, nullptr);
}

void WriteNumber(long value) {
  char digits[16];
  char* p = digits + sizeof digits;
  *--p = '\0';
  const bool negative = value < 0;
  unsigned long v = negative ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (negative) *--p = '-';
  Write(p);
}

void Check(const char* what, long got, long want) {
  Write(got == want ? "ok   " : "FAIL ");
  Write(what);
  Write(": ");
  WriteNumber(got);
  if (got != want) {
    Write(", expected ");
    WriteNumber(want);
    ++failures;
  }
  Write("\r\n");
}

#if defined(HALVEX_EXPORTED_HalvexSetRegistry_1) && defined(HALVEX_EXPORTED_HalvexQueryRegistry_1)
// The generic registry exports, on a key of the caller's own under
// HKEY_LOCAL_MACHINE, removed again afterwards.
void CheckRegistry() {
  void* const kLocalMachine = reinterpret_cast<void*>(static_cast<long>(0x80000002));
  const char* const path = "SOFTWARE\\HalvexMsvcCaller";
  void* key = nullptr;
  if (RegCreateKeyExA(kLocalMachine, path, 0, nullptr, 0, 0xF003F, nullptr, &key, nullptr) != 0) {
    Check("RegCreateKeyExA of the caller's own key", 1, 0);
    return;
  }
  RegCloseKey(key);
  Check("HalvexSetRegistry(path, name, 0x12345678)", HalvexSetRegistry(path, "Number", 0x12345678ul), 0);
  ULONG value = 0;
  Check("HalvexQueryRegistry(path, name, value&)", HalvexQueryRegistry(path, "Number", value), 0);
  Check("  value read back", static_cast<long>(value), 0x12345678);
  ULONG absent = 7;
  Check("HalvexQueryRegistry of an absent value", HalvexQueryRegistry(path, "Absent", absent), 1);
  Check("  value left alone", static_cast<long>(absent), 7);
  RegDeleteKeyA(kLocalMachine, path);
}
#else
// The generic registry exports are not in the DLL yet: once both overloads
// exist, CheckRegistry above is compiled in by itself.
void CheckRegistry() {
  Write("skip HalvexSetRegistry/HalvexQueryRegistry: not exported yet\r\n");
}
#endif

int RefuseEverything(void*, uint32_t, void*, uint32_t, void*, uint32_t, uint32_t* returned, uint32_t* error) {
  *returned = 0;
  *error = 1;  // ERROR_INVALID_FUNCTION
  return 0;
}

// The seam's C calls, imported by their cdecl names through Halvex.lib.
void CheckSeam() {
  const char* const path = "\\\\.\\HalvexMsvcCaller";
  Check("HalvexSeamUnregisterDevice of a device never registered", HalvexSeamUnregisterDevice(path), 1);
  Check("HalvexSeamRegisterDevice", HalvexSeamRegisterDevice(path, RefuseEverything, nullptr), 0);
  Check("HalvexSeamUnregisterDevice of the registered device", HalvexSeamUnregisterDevice(path), 0);
  Check("HalvexSeamUnregisterDevice again", HalvexSeamUnregisterDevice(path), 1);
}

}  // namespace

extern "C" void __stdcall CallerMain() {
  Check("HalvexInitialize(null window)", HalvexInitialize(nullptr), 1);
  void* adapter = reinterpret_cast<void*>(1);
  Check("HalvexOpenAdapter without the device", HalvexOpenAdapter(adapter), 1);
  Check("  adapter left null", adapter == nullptr ? 0 : 1, 0);
  Check("HalvexCloseAdapter(null)", HalvexCloseAdapter(adapter), 0);
  Check("HalvexUnlockPages(null)", HalvexUnlockPages(nullptr), 0);
  CheckRegistry();
  CheckSeam();
  // The supplicant bridge, through the stand-in toolkit the DLL imports.
  Check("HalvexGetWPASuppStatus(7) before any link event", HalvexGetWPASuppStatus(7), 0);
  Check("HalvexSetWPAInformation(mode 4): port down only",
        HalvexSetWPAInformation(nullptr, 4, 0, nullptr, nullptr), 0);
  char user[] = "alice";
  char domain[] = "CORP";
  char password[] = "secret";
  Check("HalvexWPACreateIdentityPEAP(CORP\\alice)", HalvexWPACreateIdentityPEAP(user, domain, password), 0);
  HalvexWPATrace(0);
  Write(failures == 0 ? "msvc caller: all checks passed\r\n" : "msvc caller: FAILED\r\n");
  ExitProcess(failures == 0 ? 0 : 1);
}
