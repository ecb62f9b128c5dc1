"""Writes holding registers of a Modbus RTU device and reads them back, round
after round. Every value is made of the bytes 0x0A, 0x08 and 0x0D (line
feed, backspace, carriage return), which a text path would edit or cut at.
Prints "ok ROUNDS" when every value came back exact; else exits with the
round that failed. Usage: modbus_rounds.py PORT ROUNDS"""
import sys

from pymodbus.client import ModbusSerialClient
from pymodbus.transaction import ModbusRtuFramer

port, rounds = sys.argv[1], int(sys.argv[2])
client = ModbusSerialClient(port, framer=ModbusRtuFramer, baudrate=9600, timeout=10, retries=0)
if not client.connect():
    sys.exit("cannot open " + port)
edited = (0x0A, 0x08, 0x0D)
for n in range(rounds):
    values = [edited[(n + i) % 3] << 8 | edited[(n + 2 * i + 1) % 3] for i in range(6)]
    wrote = client.write_registers(n % 10, values, slave=1)
    read = client.read_holding_registers(n % 10, len(values), slave=1)
    if wrote.isError() or read.isError() or read.registers != values:
        sys.exit(f"round {n}: wrote {values} ({wrote}), read {read}")
print("ok", rounds)
