// The DLL's entry point: process attach and detach.
#include "frame/state.h"
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return hx::ProcessAttach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      hx::ProcessDetach();
      return TRUE;
    default:
      return TRUE;
  }
}
