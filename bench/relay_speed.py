#!/usr/bin/env python3
"""Speed of the relay against a plain socat relay of the same kind of line.

Each relay links a socat pseudo-terminal pair (the device writes and reads the
far end) to one TCP client on 127.0.0.1:
  this relay: build/tandro-zv-service, COM3 mapped to the pty, mode
              "1", autoconnect, a free port, a temporary XDG_CONFIG_HOME;
  socat:      socat FILE:<pty>,raw,echo=0 TCP-LISTEN:<port>,reuseaddr,nodelay.
Rows, every byte checked after the clock stopped:
  device -> client throughput: printable bytes written to the pty as fast as
      it takes them, until the client has them all (envelopes split where each
      begins and opened by envelope_tool);
  client -> device throughput: 64 KiB messages sent back to back (envelopes
      made before the clock starts) until the device has every byte;
  small client messages per second: 32-byte messages, one send each;
  device -> client median latency, 8 bytes (7 digits and CR) a sample, samples
      5 ms apart, 4 blocks of 50, the relays in turn: idle, and while two busy
      processes hold both cores; and the 99th percentile of the idle samples;
  the service's resident memory, idle after start-up.
Both relays run side by side; the throughput rows run --runs times, the two
relays in turn, and each figure is the median of its runs. And one derivation
of the relay's own (envelope_tool time) for scale. Goals are the ratios
printed beside the figures.
Usage: bench/relay_speed.py [--build DIR] [--mib N] [--runs N]
"""
import argparse, os, select, shutil, socket, statistics, subprocess, sys, tempfile, threading, time, tty

from bench_support import PASS, Tool, connect, free_port, pty_pair, start_server, stop, wait_for

HEADER = b"U2FsdGVkX1"  # the Base64 of "Salted__" that starts every envelope
PRINTABLE = bytes(0x20 + i % 95 for i in range(256))


def printable(n):
    return os.urandom(n).translate(PRINTABLE)










class Collector(threading.Thread):
    """Reads a socket or descriptor into (time, bytes) chunks until stopped."""

    def __init__(self, src):
        super().__init__(daemon=True)
        self.src, self.chunks, self.size, self.done = src, [], 0, threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set():
            if select.select([self.src], [], [], 0.02)[0]:
                try:
                    data = self.src.recv(1 << 20) if isinstance(self.src, socket.socket) \
                        else os.read(self.src, 1 << 20)
                except BlockingIOError:
                    continue
                if not data:
                    return
                self.chunks.append((time.perf_counter(), data))
                self.size += len(data)

    def stop(self, quiet=0.5, limit=60.0):
        """Waits until nothing came for `quiet` seconds (or `limit` in all)."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            last = self.chunks[-1][0] if self.chunks else 0
            if self.chunks and time.perf_counter() - last >= quiet:
                break
            time.sleep(0.05)
        self.done.set()
        self.join()
        return b"".join(c for _, c in self.chunks), (self.chunks[-1][0] if self.chunks else None)


def opened(stream, dec):
    """The clear bytes of a stream of envelopes without delimiters."""
    if dec is None:
        return stream
    starts = [i for i in range(0, len(stream), 4) if stream.startswith(HEADER, i)]
    ends = starts[1:] + [len(stream)]
    return b"".join(dec(stream[s:e]) for s, e in zip(starts, ends))


def drain(fd, quiet=0.3):
    while select.select([fd], [], [], quiet)[0]:
        if isinstance(fd, socket.socket):
            if not fd.recv(1 << 20):
                return
        else:
            os.read(fd, 1 << 20)


def device_to_client(dev, sock, dec, total, limit=20.0):
    """MB/s from the first write to the last byte at the client."""
    col = Collector(sock)
    data = printable(total)
    t0 = time.perf_counter()
    sent = 0
    while sent < total and time.perf_counter() - t0 < limit:
        sent += os.write(dev, data[sent:sent + 4096])
    stream, last = col.stop()
    if opened(stream, dec) != data[:sent]:
        raise AssertionError(f"device -> client: {sent} bytes written, not all came back in order")
    return sent / (last - t0) / 1e6


def client_to_device(dev, sock, wires, want):
    """(seconds from the first send to the last device byte), checked."""
    col = Collector(dev)
    t0 = time.perf_counter()
    sender = threading.Thread(target=lambda: [sock.sendall(w) for w in wires])
    sender.start()
    wait_for(lambda: col.size >= len(want), timeout=60.0)
    sender.join()
    got, last = col.stop(quiet=0.3)
    if got != want:
        raise AssertionError(f"client -> device: {len(got)} of {len(want)} bytes, or garbled")
    return last - t0


def latency(dev, sock, dec, n, gap=0.005):
    """Ms from 8 bytes on the device to their whole envelope (or bytes), n samples."""
    want = 32 if dec else 8
    ms, got = [], []
    for i in range(n):
        msg = b"%07d\r" % i
        buf = b""
        t0 = time.perf_counter()
        os.write(dev, msg)
        while len(buf) < want:
            if not select.select([sock], [], [], 10.0)[0]:
                raise TimeoutError(f"latency sample {i}: {len(buf)} of {want} bytes")
            buf += sock.recv(want - len(buf))
        ms.append((time.perf_counter() - t0) * 1e3)
        got.append((msg, buf))
        time.sleep(gap)
    for msg, buf in got:
        if (dec(buf) if dec else buf) != msg:
            raise AssertionError(f"latency: client got {buf!r} for {msg!r}")
    return ms


def p99(samples):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def resident_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def busy_cores(count=2):
    return [subprocess.Popen([sys.executable, "-c", "while 1: pass"]) for _ in range(count)]


class Relay:
    """One relay under test: its device end, its client socket, and the codec
    (None for the plain relay)."""

    def __init__(self, dev, sock, enc, dec):
        self.dev, self.sock, self.enc, self.dec = dev, sock, enc, dec
        self.runs = {}

    def record(self, key, value):
        self.runs.setdefault(key, []).append(value)

    def median(self, key):
        return statistics.median(self.runs[key])


def throughput_rows(relay, mib):
    """One run of each throughput row, recorded in relay.runs."""
    drain(relay.sock)
    relay.record("d2c", device_to_client(relay.dev, relay.sock, relay.dec, mib << 20))
    drain(relay.dev)
    big = [printable(64 << 10) for _ in range(max(1, mib * 16))]
    wires = [relay.enc(m) for m in big] if relay.enc else big
    seconds = client_to_device(relay.dev, relay.sock, wires, b"".join(big))
    relay.record("c2d", len(big) * len(big[0]) / seconds / 1e6)
    small = [(b"m%031d" % i)[:32] for i in range(1000 if relay.enc else 10000)]
    wires = [relay.enc(m) for m in small] if relay.enc else small
    relay.record("small", len(small) / client_to_device(relay.dev, relay.sock, wires,
                                                        b"".join(small)))


def latency_rows(relays, procs, blocks=4, samples=50):
    """Both latency rows for every relay, idle and then under the same two
    hogs: blocks of samples, the relays in turn; a row is the median of all
    of a relay's samples."""
    def sample(key):
        for _ in range(blocks):
            for r in relays:
                for ms in latency(r.dev, r.sock, r.dec, samples):
                    r.record(key, ms)

    for r in relays:
        drain(r.sock)
    time.sleep(0.5)  # keys made ahead again after the throughput rows used them
    sample("idle")
    hogs = busy_cores()
    procs.extend(hogs)
    try:
        time.sleep(0.5)
        sample("busy")
    finally:
        for h in hogs:
            h.kill()
            h.wait()
            procs.remove(h)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--mib", type=int, default=8, help="MiB each way per throughput row")
    ap.add_argument("--runs", type=int, default=3, help="runs of the throughput rows, alternating")
    a = ap.parse_args()
    server = os.path.join(a.build, "tandro-zv-service")
    tool = os.path.join(a.build, "bench", "envelope_tool")
    tmp = tempfile.mkdtemp(prefix="zv-speed-")
    procs = []
    try:
        derive_ms = float(subprocess.check_output([tool, "time", PASS, "100"])) / 1e3
        load = os.getloadavg()

        # This relay and the plain one, each on a pty pair of its own, both
        # running for the whole measurement.
        pa, dev = pty_pair(tmp, "ours", procs)
        port = free_port()
        srv = start_server(server, tmp, pa, port, procs)
        enc, dec = Tool(tool, "enc"), Tool(tool, "dec")
        mine = Relay(dev, connect(port), enc, dec)
        pa, dev = pty_pair(tmp, "socat", procs)
        rport = free_port()
        procs.append(subprocess.Popen(["socat", f"FILE:{pa},raw,echo=0",
                                       f"TCP-LISTEN:{rport},reuseaddr,nodelay"]))
        socat = Relay(dev, connect(rport), None, None)
        time.sleep(0.3)  # accepted, pool filled
        rss_mib = resident_mib(srv.pid)

        # Throughput runs alternate, so a burst of load elsewhere costs both.
        for _ in range(a.runs):
            for r in (mine, socat):
                throughput_rows(r, a.mib)
        latency_rows((mine, socat), procs)
        enc.close(); dec.close()
        for r in (mine, socat):
            r.sock.close()
            os.close(r.dev)
        for key in ("d2c", "c2d", "small"):
            print(f"runs of {key}: this relay {' '.join('%.0f' % v for v in mine.runs[key])}; "
                  f"socat {' '.join('%.0f' % v for v in socat.runs[key])}")
        ours = {k: mine.median(k) for k in mine.runs}
        plain = {k: socat.median(k) for k in socat.runs}
        ours["p99"], plain["p99"] = p99(mine.runs["idle"]), p99(socat.runs["idle"])

        per_derivation = 1e3 / derive_ms  # envelopes per second, one derivation each
        rows = [
            ("device -> client throughput (MB/s)", "d2c", "%.2f", ">= 1.0 x socat", 1.0, False),
            ("client -> device throughput, 64 KiB messages (MB/s)", "c2d", "%.2f", ">= 0.8 x socat",
             0.8, False),
            ("client -> device, 32-byte messages per second", "small", "%.0f",
             f">= 1.6 / derivation ({1.6 * per_derivation:.0f}/s)", None, False),
            ("device -> client median latency, idle (ms)", "idle", "%.3f", "<= 1.3 x socat", 1.3, True),
            ("device -> client 99th percentile latency, idle (ms)", "p99", "%.3f",
             f"<= 0.3 x derivation ({0.3 * derive_ms:.3f} ms)", None, True),
            ("device -> client median latency, both cores busy (ms)", "busy", "%.3f",
             f"<= 0.3 x derivation ({0.3 * derive_ms:.3f} ms)", None, True),
        ]
        print(f"load average before the run: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
              f"{os.cpu_count()} cores; {a.mib} MiB per throughput row, median of {a.runs} "
              f"alternating runs")
        print(f"one derivation of the relay's own (envelope_tool time, median of 100): "
              f"{derive_ms:.3f} ms = {per_derivation:.0f} per second")
        print(f"| {'row':54s} | {'socat':>10s} | {'this relay':>10s} | {'ratio':>6s} | goal")
        print(f"|{'-' * 56}|{'-' * 12}|{'-' * 12}|{'-' * 8}|------")
        for label, key, fmt, goal, factor, lower in rows:
            mine, theirs = ours[key], plain[key]
            ratio = mine / theirs
            if key == "small":
                met = mine >= 1.6 * per_derivation
            elif key in ("busy", "p99"):
                met = mine <= 0.3 * derive_ms
            else:
                met = ratio <= factor if lower else ratio >= factor
            print(f"| {label:54s} | {fmt % theirs:>10s} | {fmt % mine:>10s} | {ratio:6.2f} | "
                  f"{goal}: {'met' if met else 'NOT met'}")
        print(f"resident memory of the idle service after start-up: {rss_mib:.1f} MiB (goal "
              f"<= 20 MiB: {'met' if rss_mib <= 20 else 'NOT met'})")
    finally:
        stop(procs)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
