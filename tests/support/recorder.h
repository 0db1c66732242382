// The recording window of the tests.
#pragma once

#include "sim/message_recorder.h"

namespace hx::test {

using sim::Message;
using sim::MessageRecorder;

}  // namespace hx::test
