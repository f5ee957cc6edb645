#pragma once
#include "link/exchange_health.h"

// One MODBUS ASCII request/reply exchange. Register and coil numbers are
// 1-based. Its code is 0 on success, -1 on a failed exchange (time-out,
// malformed or mismatched reply), or the exception code of an exception
// reply; its kind tells how the exchange went.
ExchangeResult modbusTransaction(int functionCode, int registerNumber, int count, int* values);

// While replies are owed (a wait gave up), at most `tries` resynchronising
// requests (link/resync.h); never loses the line. Answered when the line is
// in step, at once when nothing was owed; silent otherwise. For waits that
// make their own attempts: the probes, the wait for a restart.
ExchangeResult modbusResynchronise(int tries);

constexpr int kModbusTimeoutMs = 3000;
