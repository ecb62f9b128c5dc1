#!/usr/bin/env python3
"""Modbus RTU round trip through the bridge, against one key derivation.

A socat pseudo-terminal pair is the serial line, and a pymodbus RTU device
(tests/modbus_device.py) serves its far end. First a pymodbus RTU client on
the near end reads holding registers directly: what the two Modbus peers and
socat cost alone. Then the server (--headless, transparent mode) opens the
near end, the client program links a pseudo-terminal with --pty, and the
same pymodbus client reads through that link. Requests go one at a time,
20 ms apart (pymodbus waits out 3.5 character times between frames); each
sample is one request and its answer, and every answer is checked.

Printed: median / p90 / max of both, one PBKDF2-HMAC-SHA-512 of 10000
iterations timed in the same run (the server's own EncryptText by
envelope_tool: the derivation both ends of the bridge pay; and Python's
hashlib), and the median through the bridge as a ratio to one derivation.
Two derivations are the floor: the server deciphers the request, the client
the answer (keys for what each side sends are derived ahead). Goal: at most 3.

Needs socat and Debian's python3-pymodbus: run it with /usr/bin/python3.
Usage: bench/modbus_latency.py [--build DIR] [-n N]
"""
import argparse, hashlib, os, shutil, statistics, subprocess, sys, tempfile, time

from bench_support import PASS, free_port, pty_pair, start_server, stop, wait_for
from pymodbus.client import ModbusSerialClient
from pymodbus.transaction import ModbusRtuFramer

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
VALUES = [0x0A08, 0x0D0A, 0x080D, 0x0A0D]  # bytes a text path would edit


def listening(port):
    """Whether something listens on TCP `port`, without taking the listener's
    one client place."""
    local = f":{port:04X} "
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            if any(local in line and line.split()[3] == "0A" for line in f):
                return True
    return False


def round_trips(port, n):
    """Milliseconds of n register reads by a pymodbus RTU client on `port`,
    after 10 that warm up."""
    client = ModbusSerialClient(port, framer=ModbusRtuFramer, baudrate=9600, timeout=10,
                                retries=0)
    if not client.connect() or client.write_registers(0, VALUES, slave=1).isError():
        sys.exit("no answer on " + port)
    ms = []
    for i in range(n + 10):
        time.sleep(0.02)
        t0 = time.perf_counter()
        r = client.read_holding_registers(0, len(VALUES), slave=1)
        t1 = time.perf_counter()
        if r.isError() or r.registers != VALUES:
            sys.exit(f"round {i} on {port}: {r}")
        if i >= 10:
            ms.append((t1 - t0) * 1e3)
    client.close()
    return sorted(ms)


def summary(label, ms):
    return (f"{label:44s} median {statistics.median(ms):7.3f} ms   "
            f"p90 {ms[int(0.9 * len(ms))]:7.3f} ms   max {ms[-1]:7.3f} ms")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("-n", type=int, default=300)
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="zv-modbus-")
    procs = []
    try:
        pa, dev = pty_pair(tmp, "", procs)
        os.close(dev)  # the pymodbus device opens it
        unit = subprocess.Popen([sys.executable, os.path.join(TESTS, "modbus_device.py"),
                                 os.path.join(tmp, "b")], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        procs.append(unit)
        if unit.stdout.readline() != b"ready\n":
            sys.exit("the pymodbus device did not start")
        direct = round_trips(pa, a.n)

        port = free_port()
        start_server(os.path.join(a.build, "tandro-zv-server"), tmp, pa, port, procs,
                     args=("--headless",), settings="transparent=1\n")
        if not wait_for(lambda: listening(port)):
            sys.exit("the server does not listen")
        link = os.path.join(tmp, "ttyZV")
        procs.insert(0, subprocess.Popen([os.path.join(a.build, "tandro-zv-client"), "connect",
                                          "127.0.0.1", str(port), "--pty", link,
                                          "-pass", "pass:" + PASS]))  # stopped first
        if not wait_for(lambda: os.path.islink(link)):
            sys.exit("the client made no link")
        bridged = round_trips(link, a.n)

        derive_server = float(subprocess.check_output(
            [os.path.join(a.build, "bench", "envelope_tool"), "time", PASS, "100"])) / 1e3
        ts = []
        for _ in range(50):
            t0 = time.perf_counter()
            hashlib.pbkdf2_hmac("sha512", PASS.encode(), os.urandom(8), 10000, 48)
            ts.append((time.perf_counter() - t0) * 1e3)
        derive_py = statistics.median(ts)

        print(f"Modbus RTU read of {len(VALUES)} holding registers, {a.n} round trips each:")
        print(summary("direct (socat pair and the two peers alone)", direct))
        print(summary("through the bridge (--pty, transparent)", bridged))
        print(f"one derivation, server's EncryptText (median of 100): {derive_server:.3f} ms")
        print(f"one derivation, Python hashlib PBKDF2 (median of 50): {derive_py:.3f} ms")
        median = statistics.median(bridged)
        ratio = median / derive_server
        print(f"bridge median / one derivation: {ratio:.2f}  goal <= 3: "
              f"{'met' if ratio <= 3 else 'NOT met'} (floor 2); the peers alone "
              f"{statistics.median(direct) / derive_server:.2f}; "
              f"/ one hashlib PBKDF2: {median / derive_py:.2f}")
        print(f"load average: {os.getloadavg()[0]:.2f}")
    finally:
        stop(procs)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
