"""A Modbus RTU device on a serial line: 100 holding registers from address
0, any unit number. Prints "ready" once the line is open, then serves until
it is killed. Usage: modbus_device.py PORT"""
import asyncio
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


async def serve(port):
    registers = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [0] * 100), zero_mode=True)
    server = await StartAsyncSerialServer(context=ModbusServerContext(slaves=registers, single=True),
                                          framer=ModbusRtuFramer, port=port, baudrate=9600,
                                          defer_start=True)
    await server.start()
    print("ready", flush=True)
    await asyncio.Event().wait()


asyncio.run(serve(sys.argv[1]))
