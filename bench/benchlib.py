"""Shared pieces of the benchmark scripts: processes pinned to cores, chronyd
configurations on loopback, the load generator, memory readings, the time a
process waited for a core that other work held, and a wait for idle cores."""
import os
import re
import signal
import socket
import statistics
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHRONYD = "/usr/sbin/chronyd"


def build_dir(path=None):
    d = path or os.environ.get("BUILD_DIR") or os.path.join(ROOT, "build")
    for f in ("ntp-quorix", "bench/ntp-load", "bench/udp-echo"):
        if not os.path.exists(os.path.join(d, f)):
            raise SystemExit(f"{os.path.join(d, f)} is missing: build first (cmake --build {d})")
    return d


def free_port(ipv6=False):
    """A UDP port free on IPv4 loopback; with ipv6, free on the IPv6 side too."""
    for _ in range(50):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        if not ipv6:
            return port
        s6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        try:
            s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            s6.bind(("::", port))
            return port
        except OSError:
            pass
        finally:
            s6.close()
    raise SystemExit("no UDP port free on both IPv4 and IPv6")


def pinned(cpu, argv):
    if cpu is None or os.cpu_count() < 2:
        return argv
    return ["taskset", "-c", str(cpu)] + argv


class Proc:
    """A server started by a benchmark; stopped by its PID only."""

    def __init__(self, argv, stdin_text=None, env=None, cpu=None):
        self.tmp = tempfile.TemporaryDirectory(prefix="quorix-bench-")
        self.err_path = os.path.join(self.tmp.name, "stderr")
        e = dict(os.environ)
        e.update(env or {})
        self.p = subprocess.Popen(pinned(cpu, argv), stdin=subprocess.PIPE if stdin_text else None,
                                  stdout=subprocess.DEVNULL, stderr=open(self.err_path, "w"), env=e)
        if stdin_text:
            self.p.stdin.write(stdin_text.encode())
            self.p.stdin.close()

    def status(self, key):
        """A /proc/<pid>/status field in KiB (VmHWM, VmRSS), or None."""
        try:
            with open(f"/proc/{self.p.pid}/status") as f:
                for line in f:
                    if line.startswith(key + ":"):
                        return int(line.split()[1])
        except OSError:
            return None
        return None

    def sched(self):
        """(ran, waited runnable for a core) in ms so far, of its main thread."""
        try:
            with open(f"/proc/{self.p.pid}/schedstat") as f:
                run, wait = f.read().split()[:2]
            return int(run) / 1e6, int(wait) / 1e6
        except (OSError, ValueError):
            return 0.0, 0.0

    def fds(self):
        try:
            return len(os.listdir(f"/proc/{self.p.pid}/fd"))
        except OSError:
            return None

    def stderr(self):
        with open(self.err_path) as f:
            return f.read()

    def stop(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGTERM)
            try:
                self.p.wait(5)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        self.tmp.cleanup()


def quorix_server(build, port, cpu=None, extra=""):
    conf = f"enable_server = yes\nbind_port = {port}\n{extra}"
    return Proc([os.path.join(build, "ntp-quorix"), "--stdin"], stdin_text=conf, cpu=cpu)


def chrony_conf(directory, port, extra=""):
    path = os.path.join(directory, "chrony.conf")
    with open(path, "w") as f:
        f.write(f"port {port}\nbindaddress 127.0.0.1\nlocal stratum 10\nallow 127.0.0.1\n"
                f"cmdport 0\npidfile {directory}/chronyd.pid\n{extra}")
    return path


def chronyd_server(port, cpu=None, extra=""):
    tmp = tempfile.mkdtemp(prefix="quorix-chrony-")
    # -x: never touch the clock.
    proc = Proc([CHRONYD, "-x", "-d", "-u", "root", "-f", chrony_conf(tmp, port, extra)], cpu=cpu)
    proc.chrony_dir = tmp
    return proc


def echo_server(build, port, cpu=None, mode="batch"):
    return Proc([os.path.join(build, "bench", "udp-echo"), str(port), mode], cpu=cpu)


def load(build, port, seconds, window, cpu=None, count=0, rate=0, host=None):
    argv = [os.path.join(build, "bench", "ntp-load"), "--port", str(port), "--seconds", str(seconds),
            "--window", str(window)]
    if host:
        argv += ["--host", host]
    if count:
        argv += ["--count", str(count)]
    if rate:
        argv += ["--rate", str(rate)]
    out = subprocess.run(pinned(cpu, argv), capture_output=True, text=True, timeout=seconds + 60).stdout
    return {k: float(v) for k, v in re.findall(r"(\w+)=([-\d.]+)", out)}


def wait_ready(build, port, timeout=5.0, host=None):
    """Wait until a server on port (of host, by default 127.0.0.1) answers one request."""
    end = time.time() + timeout
    while time.time() < end:
        if load(build, port, 0.3, 1, count=1, host=host).get("replies", 0) > 0:
            return True
        time.sleep(0.05)
    return False


# A measurement where the server or the load generator waited this share of
# it for a core that other work held says more about that work than about the
# server: the benchmarks mark it and measure again.
DISTURBED = 0.10


def idle_share(cores=(0, 1), seconds=1.0):
    """The least idle share of the cores over the next seconds."""
    def ticks():
        out = {}
        with open("/proc/stat") as f:
            for line in f:
                name = line.split()[0]
                if name[3:].isdigit() and int(name[3:]) in cores:
                    t = [int(x) for x in line.split()[1:]]
                    out[int(name[3:])] = (t[3] + t[4], sum(t))
        return out
    t0 = ticks()
    time.sleep(seconds)
    t1 = ticks()
    return min((t1[c][0] - t0[c][0]) / max(1, t1[c][1] - t0[c][1]) for c in t0) if t0 else 1.0


class QuietGate:
    """Before a measurement is done again: wait, up to a budget for the whole
    run, for a second in which other work left both cores mostly idle."""

    def __init__(self, budget=60.0, idle=0.85):
        self.budget, self.idle = budget, idle

    def wait(self):
        while self.budget > 0:
            start = time.monotonic()
            quiet = idle_share() >= self.idle
            self.budget -= time.monotonic() - start
            if quiet:
                return True
        return False


def median(values):
    return statistics.median(values) if values else float("nan")
