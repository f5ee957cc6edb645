#pragma once
// In-process helpers for the transfer tests: the scripted console and the
// scripted serial line (shared with the link tests), MODBUS frames.
#include <string>

#include "support/modbus_frames.h"
#include "support/scripted_line.h"

namespace transfer_test {

using testing_support::ScriptedConsole;
using testing_support::ScriptedLine;

// A MODBUS ASCII frame (":" hex LRC CR LF) for the given bytes.
using testing_support::modbusFrame;

}  // namespace transfer_test
