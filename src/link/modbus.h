#pragma once
#include "link/exchange_health.h"

// One MODBUS ASCII request/reply exchange. Register and coil numbers are
// 1-based. Its code is 0 on success, -1 on a failed exchange (time-out,
// malformed or mismatched reply), or the exception code of an exception
// reply; its kind tells how the exchange went.
ExchangeResult modbusTransaction(int functionCode, int registerNumber, int count, int* values);

constexpr int kModbusTimeoutMs = 3000;
