// The DLL's entry point: process attach and detach.
#include "frame/state.h"
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return hx::ProcessAttach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      // At process exit (reserved non-null) every other thread is already
      // gone, possibly holding locks detach would wait for: leave it to the
      // system. FreeLibrary runs the full detach.
      if (reserved == nullptr) hx::ProcessDetach();
      return TRUE;
    default:
      return TRUE;
  }
}
