#pragma once

// One MODBUS ASCII request/reply exchange. Register and coil numbers are
// 1-based. Returns 0 on success, -1 on a failed exchange (time-out, malformed
// or mismatched reply), or the exception code of an exception reply.
int modbusTransaction(int functionCode, int registerNumber, int count, int* values);

// Single-coil writes used by the transfer procedures; only under MODBUS.
void writeCoil316(int value);
void writeCoil314(int value);

constexpr int kModbusTimeoutMs = 3000;
