"""What the benchmarks share: loopback sockets, the relay's own cipher as a
line filter, a socat pseudo-terminal pair as the device, and the server
started over a temporary settings folder."""
import os, socket, subprocess, sys, time, tty

PASS = "ResetNow"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.02)
    return False


def connect(port, timeout=10.0):
    end = time.monotonic() + timeout
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", port))
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return s
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


class Tool:
    """bench/envelope_tool as a line filter: the relay's own cipher."""

    def __init__(self, path, mode):
        self.p = subprocess.Popen([path, mode, PASS], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def __call__(self, line: bytes) -> bytes:
        self.p.stdin.write(line + b"\n")
        self.p.stdin.flush()
        return self.p.stdout.readline().rstrip(b"\n")

    def close(self):
        self.p.stdin.close()
        self.p.wait(5)


def stop(procs):
    """Ends every process a benchmark started, killing those that linger."""
    for p in procs:
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def pty_pair(tmp, name, procs):
    """A socat pseudo-terminal pair: (the end the relay opens, the device's
    end opened raw)."""
    pa, pb = os.path.join(tmp, name + "a"), os.path.join(tmp, name + "b")
    procs.append(subprocess.Popen(["socat", f"pty,raw,echo=0,link={pa}", f"pty,raw,echo=0,link={pb}"]))
    if not wait_for(lambda: os.path.exists(pa) and os.path.exists(pb)):
        sys.exit("socat pty pair did not start")
    dev = os.open(pb, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(dev)
    return pa, dev


def start_server(server, tmp, device, port, procs, args=(), settings=""):
    """The server over settings in tmp: COM3 on `device`, mode "1" on `port`,
    listening at start-up, no display; `settings`: more lines of [settings]."""
    conf = os.path.join(tmp, "config", "Tandro ZV Server")
    os.makedirs(conf)
    with open(os.path.join(conf, "Tandro ZV Server.ini"), "w") as f:
        f.write("[settings]\ncom%20port=3\n"
                f"com%20device%203={device}\nnetport=1\nautoconnect=1\n"
                f"TCP%20Port={port}\nTCP%20Port%202={free_port()}\n" + settings)
    # A lock of its own: another server running on this machine (a developer's,
    # another benchmark's) holds the default instance's.
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=os.path.join(tmp, "config"),
               XDG_RUNTIME_DIR=tmp)
    srv = subprocess.Popen([server, *args], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(srv)
    return srv
