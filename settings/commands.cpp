// Vendor commands sent as a single 32-bit value.
#include "frame/channel.h"
#include "frame/oids.h"

int HalvexSetFswCCXConfiguration(void* adapter, ULONG config) {
  return hx::SetOid(adapter, hx::OID_HALVEX_CCX_CONFIGURATION, &config, sizeof config);
}
