#!/usr/bin/python3
"""A Modbus RTU server on a serial device, for tests to talk to.

Written against Debian's python3-pymodbus (3.0.0rc1). Each unit has 16 coils
(all off) and 8 discrete inputs; the other tables are empty. Units not
listed stay silent, as absent devices on a real line do.

stdin takes one command a line; every command gets exactly one line back:
  coil UNIT N 0|1     -> ok      (N: coil address 0..15)
  input UNIT N 0|1    -> ok      (N: input address 0..7)
  coils UNIT          -> coils UNIT 0xHHHH   (bit N is coil N)
  inputs UNIT         -> inputs UNIT 0xHH
anything else gets "error ...". "ready" comes first, once the device is open.
The server ends when stdin ends.
"""

import argparse
import asyncio
import logging
import sys
import time

from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server.async_io import ModbusSerialServer, ModbusSingleRequestHandler

COILS = 16
INPUTS = 8
# Distinct per unit so that a test can tell which unit answered.
START_INPUTS = {1: 0b00000101, 2: 0b10100000}
COIL_TABLE = 1  # the function codes pymodbus keys its tables by
INPUT_TABLE = 2


class GapHandler(ModbusSingleRequestHandler):
    """Drops an unfinished frame once the line has been quiet for a while.

    pymodbus' RTU framer keeps a partial frame forever, so a truncated
    request would spoil the whole next one.
    """

    gap = 0.05

    def data_received(self, data):
        now = time.monotonic()
        stale = now - getattr(self, "last_data", now) > self.gap
        self.last_data = now
        self.receive_queue.put_nowait((data, stale))

    async def _recv_(self):
        data, stale = await self.receive_queue.get()
        if stale:
            self.framer.resetFrame()
        return data


def unit_context(unit):
    bits = START_INPUTS.get(unit, 0)
    inputs = [bool(bits >> n & 1) for n in range(INPUTS)]
    # zero_mode: without it pymodbus shifts every address by one and the
    # last coil of a 16-long block reads as out of range.
    return ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [False] * COILS),
        di=ModbusSequentialDataBlock(0, inputs),
        hr=ModbusSequentialDataBlock(0, [0]),
        ir=ModbusSequentialDataBlock(0, [0]),
        zero_mode=True,
    )


def pattern(context, table, count):
    values = context.getValues(table, 0, count)
    return sum(1 << n for n, on in enumerate(values) if on)


def run_command(context, words):
    """The answer line to one command."""
    try:
        unit = int(words[1])
        if unit not in context:
            return f"error no unit {unit}"
        store = context[unit]
        if words[0] in ("coil", "input") and len(words) == 4:
            table, size = (COIL_TABLE, COILS) if words[0] == "coil" else (INPUT_TABLE, INPUTS)
            n = int(words[2])
            if not 0 <= n < size or words[3] not in ("0", "1"):
                return "error out of range"
            store.setValues(table, n, [words[3] == "1"])
            return "ok"
        if words[0] == "coils" and len(words) == 2:
            return f"coils {unit} 0x{pattern(store, COIL_TABLE, COILS):04X}"
        if words[0] == "inputs" and len(words) == 2:
            return f"inputs {unit} 0x{pattern(store, INPUT_TABLE, INPUTS):02X}"
    except (IndexError, ValueError) as exc:
        return f"error {type(exc).__name__}"
    return "error unknown command"


async def control(context):
    """Serves stdin's commands until stdin ends."""
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while line := await reader.readline():
        words = line.decode(errors="replace").split()
        if words:
            print(run_command(context, words), flush=True)


async def serve(args):
    context = ModbusServerContext(slaves={u: unit_context(u) for u in args.units}, single=False)
    GapHandler.gap = max(args.gap_ms / 1000.0, 3.5 * 11 / args.baud)
    server = ModbusSerialServer(
        context,
        framer=ModbusRtuFramer,
        handler=GapHandler,
        port=args.device,
        baudrate=args.baud,
        parity=args.parity,
        bytesize=8,
        stopbits=1,
        ignore_missing_slaves=True,
    )
    await server.start()
    if server.transport is None:
        sys.exit(f"modbus_server: cannot open {args.device}")
    print("ready", flush=True)
    try:
        await control(context)
    finally:
        await server.shutdown()


def main():
    global COILS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("device")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--parity", choices="NEO", default="N")
    parser.add_argument(
        "--units", type=lambda s: [int(u) for u in s.split(",")], default=[1, 2]
    )
    parser.add_argument(
        "--gap-ms", type=float, default=50, help="quiet time that ends an unfinished frame"
    )
    parser.add_argument("--coils", type=int, default=16, help="coils of every unit")
    parser.add_argument("--debug", action="store_true", help="pymodbus' own log on stderr")
    args = parser.parse_args()
    COILS = args.coils
    # pymodbus logs every exception answer, and its own ending, as an error;
    # here those are wanted. It configures the root logger when imported.
    logging.getLogger("pymodbus").setLevel(logging.DEBUG if args.debug else logging.CRITICAL)
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
