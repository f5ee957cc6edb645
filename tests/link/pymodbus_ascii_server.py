#!/usr/bin/python3
"""A MODBUS ASCII server on a serial device, for the interoperability test.

Usage: pymodbus_ascii_server.py DEVICE [UNIT]

Serves holding registers 1..400 (1-based numbers as the controller's map
names them) with register n holding (n * 7) & 0xFFFF, except register 100,
which holds 65535. Prints "READY" on standard output once it listens and
runs until it is killed.
"""
import asyncio
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusAsciiFramer


def initial_registers():
    values = [(n * 7) & 0xFFFF for n in range(1, 401)]
    values[99] = 65535
    return values


async def main():
    device = sys.argv[1]
    unit = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    # Requests carry the 0-based address; the slave context adds 1 when it
    # looks a register up, so the block starts at 1 and register n is values[n-1].
    block = ModbusSequentialDataBlock(1, initial_registers())
    slave = ModbusSlaveContext(hr=block, zero_mode=False)
    context = ModbusServerContext(slaves={unit: slave}, single=False)
    server = await StartAsyncSerialServer(
        context=context, framer=ModbusAsciiFramer, port=device, baudrate=9600,
        bytesize=8, parity="N", stopbits=1, timeout=0.1, defer_start=True)
    await server.start()
    print("READY", flush=True)
    await server.serve_forever()


if __name__ == "__main__":
    logging.basicConfig(level=logging.WARNING)
    asyncio.run(main())
