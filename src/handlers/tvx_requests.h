#pragma once
// The TVX Standard back-end's requests, shared by its files: the value
// buffer of one request, and the request as the exchange rules send it.
#include "handlers/exchange_rules.h"

namespace tvx_handler {

constexpr int kValueCount = 8;

struct Values {
    int v[kValueCount] = {};
};

// One exchange. Every request the handler sends carries its own index or
// sets an absolute value, and is repeated after a lost or spoiled reply;
// adding a setpoint and resetting the controller are sent once (see there).
// What was not recovered goes to `faults`.
ExchangeResult transact(BlockFaults& faults, int command, const char* sendFormat, const char* receiveFormat,
                        Values& values);

// The first request of a block that falls back to another layout when the
// controller refuses it (or, after repeats, ignores it).
FirstLayout transactOrFallBack(BlockFaults& faults, int command, const char* sendFormat, const char* receiveFormat,
                               Values& values);

// 49: the setpoints (tvx_setpoints.cpp).
ExchangeResult setpointsBlock(BlockFaults& faults, int mode);

}  // namespace tvx_handler
