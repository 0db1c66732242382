// Loader entry points of the shared library on POSIX hosts: attach when the
// library is loaded, detach when it is unloaded.
#include "frame/state.h"

namespace {

__attribute__((constructor)) void OnLoad() {
  hx::ProcessAttach();
}
__attribute__((destructor)) void OnUnload() {
  hx::ProcessDetach();
}

}  // namespace
