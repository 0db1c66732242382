// The link's event callback, run by the toolkit on the link thread.
#include "supplicant/bridge.h"

namespace hx {

// Every event gets the toolkit's default handling for now; the event types
// the library acts on itself arrive with the full link callback.
void ODSTK_CALL SupplicantCallback(ULONG /*value*/, void* event) {
  ODSTK_ProcessCallbackA(event);
}

}  // namespace hx
