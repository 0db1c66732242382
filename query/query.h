// Helpers the query family shares with the rest of the library.
#pragma once

#include "Halvex.h"

namespace hx {

// The channel number of a DSConfig frequency in kHz (0 when out of range).
ULONG ChannelFromDsConfig(ULONG kilohertz);

}  // namespace hx
