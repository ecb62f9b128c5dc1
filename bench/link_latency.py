#!/usr/bin/env python3
"""Link latency of the running server against a plain socat relay.

Starts socat (a pseudo-terminal pair: the device), then the real program
(QT_QPA_PLATFORM=offscreen, a temporary XDG_CONFIG_HOME whose settings map COM3
to one end, mode "1", autoconnect "1", a free port), and times over loopback:
  device -> client: a byte string written on the far end of the pty until its
                    whole envelope has arrived at a TCP client;
  client -> device: an envelope sent by the client until its bytes come out of
                    the pty.
Then through the real client program, `tandro-zv-client connect` with
--eol cr, its stdin and stdout pipes:
  device -> client output: bytes written on the pty until the client has
                           written the same bytes to its stdout;
  client input -> device:  a line written to the client's stdin until its text
                           and CR come out of the pty;
and device -> client output once more with 9 bytes, whose envelope ends in "="
padding (8 bytes make one without: both must be equally fast).
The server and the client derive the keys of what they send ahead of time (a
pool of 16 on normal-priority threads), so the run also times:
  device -> client, pool warm: samples spaced two derivations apart, so the
                    pool is full before each; lines of 7 digits and CR, as
                    devices send (the rows above send no line end, so the
                    "Rx from Com:" pane holds one paragraph that grows to 16000
                    characters, and the window's display work after each
                    message grows with it to several ms);
  a burst of 50 device lines 1 ms apart: each envelope's latency and its
                    service time (arrival minus the later of its last write and
                    the envelope before it). An envelope derived on the spot
                    needs a whole derivation of service time, one from the pool
                    a small fraction: served from the pool is counted as service
                    under half a derivation (the server reports nothing itself).
Then the same through `socat <pty> TCP-LISTEN` on the same pty pair, and the
cost of one derivation (the server's EncryptText, and Python's hashlib PBKDF2)
in the same run.  Usage: bench/link_latency.py [--build DIR] [-n N]
"""
import argparse, hashlib, os, select, shutil, socket, statistics, subprocess, sys, tempfile, threading, time, tty

from bench_support import PASS, Tool, connect, free_port, pty_pair, start_server, stop, wait_for

MSG = 8  # bytes per message: an envelope of 32 Base64 characters








def read_exact(fd_or_sock, n, timeout=2.0):
    buf = b""
    end = time.monotonic() + timeout
    while len(buf) < n:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd_or_sock], [], [], left)[0]:
            raise TimeoutError(f"got {len(buf)} of {n} bytes")
        chunk = fd_or_sock.recv(n - len(buf)) if isinstance(fd_or_sock, socket.socket) else os.read(fd_or_sock, n - len(buf))
        if not chunk:
            raise EOFError("closed")
        buf += chunk
    return buf




def measure(dev, sock, n, enc, dec, envelopes, gap=0.003, both=True, lines=False):
    """Returns (device->client ms list, client->device ms list); gap: seconds
    between samples; lines: device messages of 7 digits and CR."""
    up, down, got = [], [], []
    for i in range(n):
        msg = b"%07d\r" % i if lines else b"%08d" % i
        t0 = time.perf_counter()
        os.write(dev, msg)
        env = read_exact(sock, 4 * ((16 + MSG + 2) // 3) if envelopes else MSG)
        up.append((time.perf_counter() - t0) * 1e3)
        got.append((msg, env))
        time.sleep(gap)
    for i in range(n if both else 0):
        msg = b"%08d" % (i + n)
        wire = enc(msg) if envelopes else msg
        t0 = time.perf_counter()
        sock.sendall(wire)
        out = read_exact(dev, MSG)
        down.append((time.perf_counter() - t0) * 1e3)
        if out != msg:
            raise AssertionError(f"device got {out!r}, expected {msg!r}")
        time.sleep(0.003)
    for msg, env in got:  # checked after timing
        clear = dec(env) if envelopes else env
        if clear != msg:
            raise AssertionError(f"client got {clear!r} for {msg!r}")
    return up, down


def burst(dev, sock, dec, count=50, gap=0.001):
    """count device writes of MSG bytes, gap seconds apart, while a thread
    timestamps what the client socket receives. Returns one (latency ms,
    service ms) per envelope, after checking the bytes came whole and in order."""
    chunks, done = [], threading.Event()

    def reader():
        while not done.is_set():
            if select.select([sock], [], [], 0.02)[0]:
                data = sock.recv(65536)
                if not data:
                    return
                chunks.append((time.perf_counter(), data))

    th = threading.Thread(target=reader)
    th.start()
    msgs = [b"B%06d\r" % i for i in range(count)]
    writes = []
    start = time.perf_counter()
    for i, msg in enumerate(msgs):
        pause = start + i * gap - time.perf_counter()
        if pause > 0:
            time.sleep(pause)
        writes.append(time.perf_counter())
        os.write(dev, msg)
    # Quiet for 0.3 s after the last write (or 20 s in all): everything is in.
    end = time.monotonic() + 20
    while time.monotonic() < end and (not chunks or time.perf_counter() - chunks[-1][0] < 0.3):
        time.sleep(0.05)
    done.set()
    th.join()

    # Envelopes have no delimiter; each begins with the Base64 of "Salted__".
    stream = b"".join(c for _, c in chunks)
    starts = [i for i in range(0, len(stream), 4) if stream.startswith(b"U2FsdGVkX1", i)]
    ends, at = [], 0
    for t, c in chunks:
        at += len(c)
        ends.append((at, t))
    rows, clear, prev = [], b"", 0.0
    for k, s in enumerate(starts):
        e = starts[k + 1] if k + 1 < len(starts) else len(stream)
        arrived = next(t for at, t in ends if at >= e)
        clear += dec(stream[s:e])
        last_write = writes[min(len(writes), (len(clear) + MSG - 1) // MSG) - 1]
        rows.append(((arrived - last_write) * 1e3, (arrived - max(last_write, prev)) * 1e3))
        prev = arrived
    if clear != b"".join(msgs):
        raise AssertionError(f"burst: client got {len(clear)} of {count * MSG} bytes, or garbled")
    return rows


def start_client(path, port, timeout=10.0):
    """tandro-zv-client connect on loopback, pipes on both ends; started again
    while the server is not listening yet (it takes one client at a time)."""
    end = time.monotonic() + timeout
    while True:
        p = subprocess.Popen([path, "connect", "127.0.0.1", str(port), "-pass", f"pass:{PASS}",
                              "--eol", "cr"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             bufsize=0)
        try:
            p.wait(0.5)
        except subprocess.TimeoutExpired:
            return p  # still running: connected, or still trying
        if time.monotonic() > end:
            raise RuntimeError(f"tandro-zv-client exited with {p.returncode}")


def measure_client(dev, cli, n, size, check_down=True):
    """Through the client program: (device->client stdout ms, stdin line->device ms).
    Bytes are compared as they arrive (a plain comparison, after the clock)."""
    out, inp = cli.stdout.fileno(), cli.stdin.fileno()
    up, down = [], []
    for i in range(n):
        msg = (b"%0*d" % (size, i))[-size:]
        t0 = time.perf_counter()
        os.write(dev, msg)
        got = read_exact(out, size, timeout=5.0)
        up.append((time.perf_counter() - t0) * 1e3)
        if got != msg:
            raise AssertionError(f"client wrote {got!r}, expected {msg!r}")
        time.sleep(0.003)
    if not check_down:
        return up, down
    for i in range(n):
        msg = (b"%0*d" % (size, i + n))[-size:]
        t0 = time.perf_counter()
        os.write(inp, msg + b"\n")
        got = read_exact(dev, size + 1, timeout=5.0)
        down.append((time.perf_counter() - t0) * 1e3)
        want = msg + b"\r"
        if got != want:
            raise AssertionError(f"device got {got!r}, expected {want!r}")
        time.sleep(0.003)
    return up, down


def p99(xs):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(round(0.99 * (len(xs) - 1))))]


def summary(name, xs):
    return (f"{name:44s} median {statistics.median(xs):7.3f} ms   p99 {p99(xs):7.3f} ms   "
            f"max {max(xs):7.3f} ms")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("-n", type=int, default=300)
    a = ap.parse_args()
    server = os.path.join(a.build, "tandro-zv-server")
    tool = os.path.join(a.build, "bench", "envelope_tool")
    client = os.path.join(a.build, "tandro-zv-client")
    tmp = tempfile.mkdtemp(prefix="zv-bench-")
    procs = []
    try:
        pa, dev = pty_pair(tmp, "", procs)

        # Derivation cost, same run.
        derive_server = float(subprocess.check_output([tool, "time", PASS, "100"])) / 1e3
        ts = []
        for i in range(50):
            t0 = time.perf_counter()
            hashlib.pbkdf2_hmac("sha512", PASS.encode(), os.urandom(8), 10000, 48)
            ts.append((time.perf_counter() - t0) * 1e3)
        derive_py = statistics.median(ts)

        # The server.
        port = free_port()
        srv = start_server(server, tmp, pa, port, procs)
        sock = connect(port)
        time.sleep(0.3)  # the window accepts and turns the lamp green
        enc, dec = Tool(tool, "enc"), Tool(tool, "dec")
        up, down = measure(dev, sock, a.n, enc, dec, True)
        warm, _ = measure(dev, sock, a.n, enc, dec, True, gap=2 * derive_server / 1e3, both=False,
                          lines=True)
        time.sleep(0.5)  # the pool fills again
        bursts = burst(dev, sock, dec)
        enc.close(); dec.close()
        sock.close()

        # The same server through the client program (it takes the freed listener).
        cli = start_client(client, port)
        procs.append(cli)
        cli.stdin.write(b"warm-up\n")  # read once the connection stands
        read_exact(dev, 8, timeout=10.0)
        os.write(dev, b"warm")
        read_exact(cli.stdout.fileno(), 4, timeout=10.0)
        cup, cdown = measure_client(dev, cli, a.n, MSG)
        cup9, _ = measure_client(dev, cli, a.n, MSG + 1, check_down=False)
        cli.stdin.close()
        cli.wait(5)
        procs.remove(cli)
        srv.terminate(); srv.wait(5)
        procs.remove(srv)

        # The plain relay of the same pty.
        rport = free_port()
        relay = subprocess.Popen(["socat", f"FILE:{pa},raw,echo=0", f"TCP-LISTEN:{rport},reuseaddr,nodelay"])
        procs.append(relay)
        rsock = connect(rport)
        time.sleep(0.2)
        rup, rdown = measure(dev, rsock, a.n, None, None, False)
        rsock.close()

        print(f"samples per direction: {a.n}, message {MSG} bytes (envelope 32 characters); "
              f"client rows: {MSG} bytes out, a line of {MSG} + CR in, and {MSG + 1} bytes out")
        print(f"one derivation (server's EncryptText, median of 100):  {derive_server:.3f} ms")
        print(f"one derivation (Python hashlib PBKDF2, median of 50):  {derive_py:.3f} ms")
        print(summary("server device -> client envelope", up))
        print(summary("server device -> client, pool warm", warm))
        print(summary("server client envelope -> device", down))
        pooled = [lat for lat, svc in bursts if svc < 0.5 * derive_server]
        rest = [lat for lat, svc in bursts if svc >= 0.5 * derive_server]
        print(f"burst of 50 device lines 1 ms apart: {len(bursts)} envelopes, "
              f"{len(pooled)} served from the pool, {len(rest)} derived on the spot")
        if pooled:
            print(summary("  burst, served from the pool", pooled))
        if rest:
            print(summary("  burst, the rest", rest))
        print(summary(f"client program device -> stdout ({MSG} B)", cup))
        print(summary(f"client program stdin line -> device ({MSG}+CR)", cdown))
        print(summary(f"client program device -> stdout ({MSG + 1} B)", cup9))
        print(summary("socat relay device -> client", rup))
        print(summary("socat relay client -> device", rdown))

        def verdict(label, rows, goal):
            ok = all(statistics.median(x) <= goal for x in rows)
            stall = any(p99(x) >= 40 for x in rows)
            print(f"{label}: median <= {goal:.3f} ms: {'met' if ok else 'NOT met'}; "
                  f"40 ms stalls at p99: {'yes' if stall else 'none'}")

        verdict("goal, server rows (one derivation + 0.5 ms)", (up, down), derive_server + 0.5)
        verdict("goal, client rows (one derivation + 0.5 ms: the receiving end decrypts)",
                (cup, cdown), derive_server + 0.5)
        verdict(f"goal, client rows with {MSG + 1} B out instead (one derivation + 0.5 ms)",
                (cup9,), derive_server + 0.5)

        def ratio(label, value, goal):
            print(f"  {label:58s} {value:6.3f}  goal <= {goal:5.3f}: "
                  f"{'met' if value <= goal else 'NOT met'}")

        print("keys derived ahead, against one Python hashlib PBKDF2 of this run:")
        ratio("device -> client median, pool warm / PBKDF2", statistics.median(warm) / derive_py,
              0.12)
        ratio("device -> client p99, pool warm / PBKDF2", p99(warm) / derive_py, 0.5)
        print("and against one derivation of the server's own EncryptText:")
        ratio("client program stdin -> device median / derivation",
              statistics.median(cdown) / derive_server, 1 + 0.5 / derive_server)
        ratio("client envelope -> device median / derivation (decryption)",
              statistics.median(down) / derive_server, 1 + 0.5 / derive_server)
        print(f"note: {MSG} bytes make an envelope without '=' padding, {MSG + 1} bytes a padded "
              f"one; receivers hand both on at once")
        os.close(dev)
    finally:
        stop(procs)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
