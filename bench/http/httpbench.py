#!/usr/bin/env python3
"""Loads zn-http and its peers (nginx, Node.js, Qt 6 QtHttpServer) with wrk in one run and
prints every figure, every ratio and whether each goal is met. Started by run.sh, which
finds the programs and passes them in; see run.sh for the environment it reads."""

import argparse
import os
import re
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
MIB = 1024 * 1024

# Goals: server CPU per request as ratios taken in the same run, and memory bounds.
GOAL_CPU_KEEPALIVE_VS_NGINX = 1.0   # zn-http / nginx, at most
GOAL_CPU_CLOSE_VS_NGINX = 1.3       # zn-http / nginx, at most
GOAL_CPU_PEER_VS_ZN = 2.0           # Qt 6 / zn-http and Node.js / zn-http, at least
GOAL_IDLE_MIB = 10.0
GOAL_HEADS_MIB = 64.0
GOAL_PIPELINE_MIB = 64.0
GOAL_SOAK_GROWTH_MIB = 1.0

IDLE_CONNECTIONS = 1000
HEAD_CLIENTS = 3000
HEAD_BYTES = 80 * 1000          # below the parser's limit of 81,920 bytes of head
PIPELINE_BYTES = 100 * 1024 * 1024
SERVER_CORE = "0"
CLIENT_CORE = "1"

started = []  # every server process this run started, for the clean-up
PIDFILE = None  # the running ones, for run.sh's trap in case this driver is killed


def write_pidfile():
    if PIDFILE:
        with open(PIDFILE, "w") as f:
            f.write("".join("%d\n" % p.pid for p in started))


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- processes

def stop_server(proc):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)  # own session: the group id is its pid
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait(timeout=5)
    if proc in started:
        started.remove(proc)
        write_pidfile()


def stop_all(*_):
    for proc in list(started):
        stop_server(proc)


def on_signal(signum, _frame):
    stop_all()
    sys.exit(128 + signum)


def free_ports(count):
    socks, ports = [], []
    for _ in range(count):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        socks.append(s)
        ports.append(s.getsockname()[1])
    for s in socks:
        s.close()
    return ports


def wait_for_port(port, proc, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Server:
    """One server under test, pinned to the server core, in its own session."""

    def __init__(self, name, argv, port, workdir, pidfile, scheme="http", cwd=None):
        self.name, self.argv, self.port, self.scheme = name, argv, port, scheme
        self.logpath = os.path.join(workdir, re.sub(r"[^a-z0-9]+", "-", name.lower()) + ".log")
        self.pidfile, self.cwd = pidfile, cwd
        self.proc = None

    def start(self):
        logfile = open(self.logpath, "ab")
        env = dict(os.environ)
        # zn-http-serve logs a line per request; nginx here keeps no access log either.
        env.setdefault("QT_LOGGING_RULES", "*.debug=false;ch.veltor.examples.zn-http-serve.info=false")
        self.proc = subprocess.Popen(["taskset", "-c", SERVER_CORE] + self.argv, stdin=subprocess.DEVNULL,
                                     stdout=logfile, stderr=logfile, start_new_session=True, cwd=self.cwd,
                                     env=env)
        logfile.close()
        started.append(self.proc)
        write_pidfile()
        if not wait_for_port(self.port, self.proc):
            stop_server(self.proc)
            raise RuntimeError("%s did not start; see %s" % (self.name, self.logpath))

    def stop(self):
        if self.proc:
            stop_server(self.proc)

    def url(self, path="/"):
        return "%s://127.0.0.1:%d%s" % (self.scheme, self.port, path)

    def stats_pid(self):
        """The process that serves: nginx's one worker, else the process itself."""
        pid = self.proc.pid
        for _ in range(50):
            try:
                with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                    children = f.read().split()
            except OSError:
                children = []
            if self.name.startswith("nginx"):
                if children:
                    return int(children[0])
                time.sleep(0.1)
                continue
            return pid
        raise RuntimeError("%s: no worker process" % self.name)

    def cpu_ticks(self):
        with open("/proc/%d/stat" % self.stats_pid()) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime, all threads

    def rss_kib(self):
        with open("/proc/%d/status" % self.stats_pid()) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise RuntimeError("%s: no VmRSS" % self.name)


# ---------------------------------------------------------------- wrk

UNITS_US = {"us": 1.0, "ms": 1000.0, "s": 1e6, "m": 60e6, "h": 3600e6}


def to_us(text):
    m = re.match(r"([\d.]+)(us|ms|s|m|h)$", text)
    return float(m.group(1)) * UNITS_US[m.group(2)] if m else None


def run_wrk(server, connections, seconds, close=False, path="/", script=None, script_args=(), bound=None):
    cmd = ["taskset", "-c", CLIENT_CORE, "wrk", "-t1", "-c%d" % connections, "-d%ds" % seconds, "--latency"]
    if close:
        cmd += ["-H", "Connection: close"]
    if script:
        cmd += ["-s", script]
    cmd.append(server.url(path))
    cmd += list(script_args)
    before = server.cpu_ticks()
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=bound or seconds + 30).stdout
    except subprocess.TimeoutExpired:
        raise RuntimeError("wrk against %s did not finish in time" % server.name)
    after = server.cpu_ticks()
    result = {"requests": 0, "rps": 0.0, "p50": None, "p99": None, "errors": 0, "non2xx": 0, "raw": out}
    m = re.search(r"(\d+) requests in ([\d.]+\w+)", out)
    if m:
        result["requests"] = int(m.group(1))
    m = re.search(r"Requests/sec:\s+([\d.]+)", out)
    if m:
        result["rps"] = float(m.group(1))
    for pct in ("50", "99"):
        m = re.search(r"^\s+%s(?:\.000)?%%\s+(\S+)" % pct, out, re.M)
        if m:
            result["p" + pct] = to_us(m.group(1))
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    if m:
        result["errors"] = sum(int(x) for x in m.groups())
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if m:
        result["non2xx"] = int(m.group(1))
    ticks = after - before
    result["cpu_us"] = ticks * 1e6 / CLK_TCK / result["requests"] if result["requests"] else None
    if not result["requests"]:
        log("wrk output for %s:\n%s" % (server.name, out))
    return result


def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2


def combine(results):
    """One figure from several runs. Work elsewhere on the machine only ever lowers throughput and
    raises latency, so the best round counts for those; CPU time per request is the server's own
    and takes the median. Errors are added up."""
    out = {"rps": max(r["rps"] for r in results),
           "p50": min((r["p50"] for r in results if r["p50"] is not None), default=None),
           "p99": min((r["p99"] for r in results if r["p99"] is not None), default=None),
           "cpu_us": median([r["cpu_us"] for r in results])}
    out["requests"] = sum(r["requests"] for r in results)
    out["errors"] = sum(r["errors"] for r in results)
    out["non2xx"] = sum(r["non2xx"] for r in results)
    out["runs"] = len(results)
    out["each_rps"] = [r["rps"] for r in results]
    return out


# ---------------------------------------------------------------- memory

def idle_connections_mib(server, count):
    """RSS growth with `count` connections open and idle, each after one answered request."""
    time.sleep(0.5)
    base = server.rss_kib()
    socks = []
    request = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    try:
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=5)
            s.sendall(request)
            socks.append(s)
        for s in socks:
            data = b""
            while not data.endswith(b"hello\n"):
                chunk = s.recv(4096)
                if not chunk:
                    raise RuntimeError("%s closed an idle connection" % server.name)
                data += chunk
        time.sleep(1.0)
        loaded = server.rss_kib()
    finally:
        for s in socks:
            s.close()
    return (loaded - base) / 1024.0, base / 1024.0, loaded / 1024.0


def soak_run(server, count, script, bound):
    """`count` requests, each on a new connection; wrk's script ends wrk once they are answered."""
    cmd = ["taskset", "-c", CLIENT_CORE, "wrk", "-t1", "-c8", "-d%ds" % bound, "-H", "Connection: close",
           "-s", script, server.url("/"), str(count)]
    start = time.monotonic()
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=bound + 10).stdout
    except subprocess.TimeoutExpired:
        raise RuntimeError("soak against %s did not finish in time" % server.name)
    m = re.search(r"soak: (\d+) responses, (\d+) not 200", out)
    if not m:
        raise RuntimeError("soak against %s ended before %d responses:\n%s" % (server.name, count, out))
    return int(m.group(1)), int(m.group(2)), time.monotonic() - start


def soak(server, total, steps, bound, script):
    """RSS after a warm-up and after each of `steps` slices of `total` short-connection requests."""
    soak_run(server, max(total // 100, 1000), script, bound)
    time.sleep(0.5)
    samples = [(0, server.rss_kib())]
    done, failed, seconds = 0, 0, 0.0
    for _ in range(steps):
        n, bad, took = soak_run(server, total // steps, script, bound)
        done += n
        failed += bad
        seconds += took
        time.sleep(0.5)
        samples.append((done, server.rss_kib()))
    return samples, failed, done / seconds if seconds else None


def push(payloads, stall):
    """Sends each socket its payload without blocking, until everything is sent or no byte
    has moved for `stall` seconds (the server reads no more). Returns the bytes sent."""
    sel = selectors.DefaultSelector()
    left = {}
    for sock, data in payloads:
        sock.setblocking(False)
        left[sock] = memoryview(data)
        sel.register(sock, selectors.EVENT_WRITE)
    sent, moved = 0, time.monotonic()
    while left and time.monotonic() - moved < stall:
        for key, _ in sel.select(0.2):
            sock = key.fileobj
            try:
                n = sock.send(left[sock][:1 << 20])
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                n = len(left[sock])  # closed by the server: nothing more goes
            if n:
                sent += n
                moved = time.monotonic()
                left[sock] = left[sock][n:]
            if not len(left[sock]):
                sel.unregister(sock)
                del left[sock]
    sel.close()
    return sent


def peak_rss_mib(server, seconds):
    peak = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        peak = max(peak, server.rss_kib())
        time.sleep(0.1)
    return peak / 1024.0


def unfinished_heads(server, count, size):
    """`count` clients each send a request head of `size` bytes without its end, and hold it.
    Returns the server's peak RSS while they hold, its RSS before, and the MiB the clients got in."""
    base = server.rss_kib() / 1024.0
    head = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: "
    head += b"a" * (size - len(head))
    socks = []
    try:
        for _ in range(count):
            socks.append(socket.create_connection(("127.0.0.1", server.port), timeout=10))
        sent = push([(s, head) for s in socks], stall=3)
        peak = peak_rss_mib(server, 2)
    finally:
        for s in socks:
            s.close()
    return peak, base, sent / MIB


def pipeline_unread(server, total):
    """One client pipelines `total` bytes of requests and reads no answer."""
    base = server.rss_kib() / 1024.0
    request = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
    try:
        sent = push([(sock, request * (total // len(request)))], stall=3)
        peak = peak_rss_mib(server, 2)
    finally:
        sock.close()
    return peak, base, sent / MIB


# ---------------------------------------------------------------- instructions

def callgrind_total(argv, port, drive):
    """Instructions the server ran (user space, whole process) while `drive()` loaded it."""
    out = tempfile.NamedTemporaryFile(suffix=".callgrind", delete=False).name
    proc = subprocess.Popen(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    started.append(proc)
    write_pidfile()
    try:
        if not wait_for_port(port, proc, 60):
            raise RuntimeError("%s did not start under valgrind" % argv[0])
        drive()
    finally:
        # Valgrind writes its counts on the way out; a signal that comes while the
        # server waits in the kernel can go unseen, so it is repeated.
        for _ in range(12):
            if proc.poll() is not None:
                break
            try:
                os.killpg(proc.pid, signal.SIGTERM)
                proc.wait(timeout=10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        stop_server(proc)
    with open(out) as f:
        totals = [line for line in f if line.startswith(("summary:", "totals:"))]
    os.unlink(out)
    if not totals:
        raise RuntimeError("valgrind left no counts for %s" % argv[0])
    return int(totals[0].split()[1])


def drive_keepalive(port, count):
    request = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        buf = b""
        for _ in range(count):
            s.sendall(request)
            while b"hello\n" not in buf:
                chunk = s.recv(65536)
                if not chunk:
                    raise RuntimeError("keep-alive connection closed")
                buf += chunk
            buf = buf[buf.index(b"hello\n") + 6:]


def drive_close(port, count):
    request = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
    for _ in range(count):
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(request)
            while s.recv(65536):
                pass


def instructions_per_request(argv, port, keepalive, close):
    """Per request, keep-alive and with a new connection each, the start-up subtracted."""
    probe = lambda: socket.create_connection(("127.0.0.1", port), timeout=10).close()
    base = callgrind_total(argv, port, probe)
    ka = callgrind_total(argv, port, lambda: (probe(), drive_keepalive(port, keepalive)))
    cl = callgrind_total(argv, port, lambda: (probe(), drive_close(port, close)))
    return (ka - base) / keepalive, (cl - base) / close


# ---------------------------------------------------------------- report

def fmt_num(v, digits=0):
    if v is None:
        return "-"
    return "{:,.{}f}".format(v, digits)


def fmt_us(v):
    if v is None:
        return "-"
    return "%.0f µs" % v if v < 1000 else "%.2f ms" % (v / 1000)


def table(headers, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    out = [line(headers), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += [line(r) for r in rows]
    return "\n".join(out)


def ratio(a, b):
    if a is None or b is None or not b:
        return None
    return a / b


def goal_row(name, value, limit, at_least):
    if value is None:
        return [name, "-", ("≥ " if at_least else "≤ ") + "%g" % limit, "MISSED (no figure)"]
    ok = value >= limit if at_least else value <= limit
    return [name, "%.2f" % value, ("≥ " if at_least else "≤ ") + "%g" % limit, "met" if ok else "MISSED"]


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True, help="folder for configs, logs, files")
    ap.add_argument("--hello", required=True)
    ap.add_argument("--serve")
    ap.add_argument("--qt6")
    ap.add_argument("--node", default="node")
    ap.add_argument("--node-script")
    ap.add_argument("--nginx-template", required=True)
    ap.add_argument("--soak-script", required=True)
    ap.add_argument("--pidfile", required=True)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--runs", type=int, default=0, help="rounds of wrk runs (default 3, quick 1); see combine()")
    ap.add_argument("--only", default="hello,memory,limits,instructions,static",
                    help="comma-separated: hello, memory, limits, instructions, static")
    args = ap.parse_args()

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    parts = set(args.only.split(","))
    seconds = 3 if args.quick else 10
    rounds = args.runs or (1 if args.quick else 3)
    soak_total = 100_000 if args.quick else 1_000_000
    work = args.work
    www = os.path.join(work, "www")
    os.makedirs(os.path.join(www, "static"), exist_ok=True)
    os.makedirs(os.path.join(work, "nginx", "tmp"), exist_ok=True)
    with open(os.path.join(www, "static", "100k.bin"), "wb") as f:
        f.write(os.urandom(100 * 1024))

    # Self-signed certificate, made fresh for every run.
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)

    ports = free_ports(9)
    nginx_prefix = os.path.join(work, "nginx")
    with open(args.nginx_template) as f:
        conf = f.read()
    for name, value in {"PREFIX": nginx_prefix, "HTTP_PORT": str(ports[1]), "HTTPS_PORT": str(ports[2]),
                        "WWW": www, "CERT": cert, "KEY": key}.items():
        conf = conf.replace("@%s@" % name, value)
    with open(os.path.join(nginx_prefix, "nginx.conf"), "w") as f:
        f.write(conf)

    global PIDFILE
    PIDFILE = pidfile = args.pidfile
    mk = lambda name, argv, port, scheme="http": Server(name, argv, port, work, pidfile, scheme)
    zn = mk("zn-http", [args.hello, "--bind", "127.0.0.1", "--port", str(ports[0])], ports[0])
    nginx = mk("nginx", ["nginx", "-p", nginx_prefix, "-c", os.path.join(nginx_prefix, "nginx.conf"),
                         "-e", "stderr"], ports[1])
    peers = [zn, nginx]
    if args.qt6:
        peers.append(mk("Qt 6 QtHttpServer", [args.qt6, str(ports[3]), www], ports[3]))
    if args.node_script:
        peers.append(mk("Node.js", [args.node, args.node_script, str(ports[4]), www], ports[4]))

    print("HTTP benchmark: server on core %s, wrk on core %s, %d s per wrk run, best of %d round(s)%s;"
          " load average %s at start"
          % (SERVER_CORE, CLIENT_CORE, seconds, rounds, " (quick mode)" if args.quick else "", load_average()),
          flush=True)

    hello, idle = {}, {}
    if "hello" in parts:
        # All servers run at once and take turns, round after round, so that a burst of
        # load from elsewhere on the machine spreads over all of them; see combine().
        try:
            for srv in peers:
                log("hello: starting %s" % srv.name)
                srv.start()
                run_wrk(srv, 50, 1)  # warm-up
                idle[srv.name] = idle_connections_mib(srv, IDLE_CONNECTIONS)
            runs = {}
            for round_no in range(rounds):
                for mode, connections, close in (("keepalive", 50, False), ("single", 1, False),
                                                 ("close", 50, True)):
                    for srv in peers:
                        # QtHttpServer ignores "Connection: close" and keeps every connection
                        # open, so there is nothing to measure there.
                        if close and srv.name.startswith("Qt 6"):
                            continue
                        log("hello: round %d, %s, %s" % (round_no + 1, mode, srv.name))
                        runs.setdefault(srv.name, {}).setdefault(mode, []).append(
                            run_wrk(srv, connections, seconds, close=close))
            hello = {name: {mode: combine(rs) for mode, rs in modes.items()} for name, modes in runs.items()}
        finally:
            for srv in peers:
                srv.stop()

    soak_samples, soak_errors, soak_rate = None, 0, None
    if "memory" in parts:
        log("memory: %d requests on new connections against zn-http" % soak_total)
        zn.start()
        try:
            soak_samples, soak_errors, soak_rate = soak(zn, soak_total, 4, 300, args.soak_script)
        finally:
            zn.stop()

    heads = pipeline = None
    if "limits" in parts:
        log("limits: %d clients holding unfinished %d-byte heads, then %d MiB pipelined unread"
            % (HEAD_CLIENTS, HEAD_BYTES, PIPELINE_BYTES // MIB))
        zn.start()
        try:
            heads = unfinished_heads(zn, HEAD_CLIENTS, HEAD_BYTES)
        finally:
            zn.stop()
        zn.start()
        try:
            pipeline = pipeline_unread(zn, PIPELINE_BYTES)
        finally:
            zn.stop()

    instructions = {}
    if "instructions" in parts:
        if shutil.which("valgrind"):
            n_ka, n_close = (500, 200) if args.quick else (3000, 1000)
            log("instructions: callgrind, %d keep-alive requests and %d new connections per server" % (n_ka, n_close))
            for name, argv, port in (
                    ("zn-http", [args.hello, "--bind", "127.0.0.1", "--port", str(ports[7])], ports[7]),
                    ("nginx", ["nginx", "-p", nginx_prefix, "-c", os.path.join(nginx_prefix, "nginx.conf"),
                               "-e", "stderr", "-g", "master_process off;"], ports[1])):
                try:
                    instructions[name] = instructions_per_request(argv, port, n_ka, n_close)
                except (RuntimeError, OSError) as error:
                    log("instructions: %s left out: %s" % (name, error))
        else:
            log("instructions: valgrind is not installed; left out")

    static = {}
    if "static" in parts and args.serve:
        zs = mk("zn-http-serve", [args.serve, "--bind", "127.0.0.1", "--port", str(ports[5]), www], ports[5])
        zss = mk("zn-http-serve TLS", [args.serve, "--bind", "127.0.0.1", "--port", str(ports[6]),
                                       "--cert", cert, "--key", key, www], ports[6], "https")
        ngs = mk("nginx", ["nginx", "-p", nginx_prefix, "-c", os.path.join(nginx_prefix, "nginx.conf"),
                           "-e", "stderr"], ports[1])
        ngs_tls = Server("nginx TLS", [], ports[2], work, pidfile, "https")
        path = "/static/100k.bin"
        cases = [(zs, "zn-http-serve", "HTTP", False), (zss, "zn-http-serve", "HTTPS", False),
                 (ngs, "nginx", "HTTP", False), (ngs_tls, "nginx", "HTTPS", False),
                 (ngs, "nginx", "HTTP", True), (ngs_tls, "nginx", "HTTPS", True)]
        try:
            for srv in (zs, zss, ngs):
                log("static: starting %s" % srv.name)
                srv.start()
            ngs_tls.proc = ngs.proc
            for srv, _, _, _ in cases[:4]:
                run_wrk(srv, 50, 1, path=path)  # warm-up
            runs = {}
            for round_no in range(rounds):
                for srv, name, scheme, close in cases:
                    log("static: round %d, %s %s%s" % (round_no + 1, name, scheme, ", new conn" if close else ""))
                    runs.setdefault((name, scheme, close), []).append(
                        run_wrk(srv, 50, seconds, path=path, close=close))
            static = {key: combine(rs) for key, rs in runs.items()}
        finally:
            for srv in (zs, zss, ngs):
                srv.stop()

    # ------------------------------------------------------------ tables
    print()
    if hello:
        rows = []
        for srv in peers:
            r = hello.get(srv.name)
            if not r:
                continue
            ka, one, cl = r["keepalive"], r["single"], r.get("close")
            i = idle.get(srv.name)
            rows.append([srv.name, fmt_num(ka["rps"]), fmt_num(ka["cpu_us"], 1),
                         fmt_us(one["p50"]), fmt_us(one["p99"]), fmt_num(one["rps"]),
                         fmt_num(cl["rps"]) if cl else "-", fmt_num(cl["cpu_us"], 1) if cl else "-",
                         "%.1f" % i[0] if i else "-",
                         fmt_num(sum(x["errors"] + x["non2xx"] for x in r.values()))])
        print("Hello (6-byte body): requests per second and latency from the best round, server CPU"
              " per request (utime+stime) the median")
        print(table(["server", "keep-alive req/s", "CPU µs/req", "1 conn p50", "1 conn p99", "1 conn req/s",
                     "new conn req/s", "CPU µs/req (new conn)", "1000 idle conns MiB", "wrk errors"], rows))
        print()
        if rounds > 1:
            each = []
            for srv in peers:
                r = hello.get(srv.name, {})
                each.append([srv.name] + [" / ".join(fmt_num(v) for v in r[m]["each_rps"]) if m in r else "-"
                                          for m in ("keepalive", "single", "close")])
            print("Requests per second in each round (the spread shows how noisy the machine was)")
            print(table(["server", "keep-alive", "1 conn", "new conn"], each))
            print()
        rows = []
        for srv in peers:
            i = idle.get(srv.name)
            if i:
                rows.append([srv.name, "%.1f" % i[1], "%.1f" % i[2], "%.1f" % i[0]])
        print("Resident memory (VmRSS) with %d idle open connections" % IDLE_CONNECTIONS)
        print(table(["server", "before MiB", "with idle conns MiB", "growth MiB"], rows))
        print()

    if soak_samples:
        rows = [[fmt_num(n), "%.1f" % (kib / 1024.0)] for n, kib in soak_samples]
        growth = (soak_samples[-1][1] - soak_samples[0][1]) / 1024.0
        print("zn-http resident memory over %s requests, each on a new connection (after a warm-up)"
              % fmt_num(soak_total))
        print(table(["requests", "VmRSS MiB"], rows))
        print("growth %.2f MiB; %s responses other than 200; %s requests/s"
              % (growth, fmt_num(soak_errors), fmt_num(soak_rate)))
        print()

    if heads or pipeline:
        rows = []
        if heads:
            rows.append(["%d clients, unfinished %s-byte heads" % (HEAD_CLIENTS, fmt_num(HEAD_BYTES)),
                         "%.1f" % heads[1], "%.1f" % heads[0], "%.1f" % heads[2]])
        if pipeline:
            rows.append(["1 client pipelining %d MiB, reading nothing" % (PIPELINE_BYTES // MIB),
                         "%.1f" % pipeline[1], "%.1f" % pipeline[0], "%.1f" % pipeline[2]])
        print("zn-http resident memory (VmRSS) under clients that hold on to it")
        print(table(["case", "before MiB", "peak MiB", "MiB the clients got in"], rows))
        print()

    if instructions:
        rows = [[name, fmt_num(ka), fmt_num(cl)] for name, (ka, cl) in instructions.items()]
        print("Instructions per request in user space (callgrind; one keep-alive connection, or a new"
              " connection per request)")
        print(table(["server", "keep-alive", "new connection"], rows))
        print()

    if static:
        rows = []
        for scheme in ("HTTP", "HTTPS"):
            z = static.get(("zn-http-serve", scheme, False))
            n = static.get(("nginx", scheme, False))
            nc = static.get(("nginx", scheme, True))
            rows.append([scheme, fmt_num(z["rps"]) if z else "-", fmt_num(n["rps"]) if n else "-",
                         fmt_num(nc["rps"]) if nc else "-",
                         "%.2f" % ratio(z["rps"], n["rps"]) if z and n and n["rps"] else "-",
                         "%.2f" % ratio(z["rps"], nc["rps"]) if z and nc and nc["rps"] else "-",
                         fmt_num(z["errors"] + z["non2xx"]) if z else "-"])
        print("Static 100 KiB file, 50 connections (zn-http-serve closes the connection after each file)")
        print(table(["scheme", "zn-http-serve req/s", "nginx keep-alive req/s", "nginx new conn req/s",
                     "ratio to nginx", "ratio to nginx new conn", "zn wrk errors"], rows))
        print()

    get = lambda name, mode, key: hello.get(name, {}).get(mode, {}).get(key)
    cpu = lambda name, mode: get(name, mode, "cpu_us")
    rows = []
    if hello:
        rows += [
            goal_row("CPU per request keep-alive, zn-http / nginx",
                     ratio(cpu("zn-http", "keepalive"), cpu("nginx", "keepalive")), GOAL_CPU_KEEPALIVE_VS_NGINX, False),
            goal_row("CPU per request new conn, zn-http / nginx",
                     ratio(cpu("zn-http", "close"), cpu("nginx", "close")), GOAL_CPU_CLOSE_VS_NGINX, False),
            goal_row("CPU per request keep-alive, Qt 6 QtHttpServer / zn-http",
                     ratio(cpu("Qt 6 QtHttpServer", "keepalive"), cpu("zn-http", "keepalive")), GOAL_CPU_PEER_VS_ZN, True),
            goal_row("CPU per request keep-alive, Node.js / zn-http",
                     ratio(cpu("Node.js", "keepalive"), cpu("zn-http", "keepalive")), GOAL_CPU_PEER_VS_ZN, True),
            goal_row("CPU per request new conn, Node.js / zn-http",
                     ratio(cpu("Node.js", "close"), cpu("zn-http", "close")), GOAL_CPU_PEER_VS_ZN, True),
            goal_row("MiB for %d idle connections, zn-http" % IDLE_CONNECTIONS,
                     idle["zn-http"][0] if "zn-http" in idle else None, GOAL_IDLE_MIB, False),
        ]
    if heads:
        rows.append(goal_row("peak MiB, %d unfinished heads, zn-http" % HEAD_CLIENTS, heads[0], GOAL_HEADS_MIB, False))
    if pipeline:
        rows.append(goal_row("peak MiB, %d MiB pipelined unread, zn-http" % (PIPELINE_BYTES // MIB), pipeline[0],
                             GOAL_PIPELINE_MIB, False))
    if soak_samples:
        rows.append(goal_row("RSS growth MiB over the soak, zn-http",
                             (soak_samples[-1][1] - soak_samples[0][1]) / 1024.0, GOAL_SOAK_GROWTH_MIB, False))
    if rows:
        print("Goals (CPU ratios from this run; the throughput ratios below are no goals, as they swing)")
        print(table(["goal", "figure", "target", "result"], rows))
        print()
    if hello:
        zk = get("zn-http", "keepalive", "rps")
        rows = []
        for name in ("nginx", "Qt 6 QtHttpServer", "Node.js"):
            if name not in hello:
                continue
            rows.append([name,
                         fmt_num(ratio(zk, get(name, "keepalive", "rps")), 2),
                         fmt_num(ratio(cpu(name, "keepalive"), cpu("zn-http", "keepalive")), 2),
                         fmt_num(ratio(get("zn-http", "single", "p99"), get(name, "single", "p99")), 2),
                         fmt_num(ratio(get("zn-http", "close", "rps"), get(name, "close", "rps")), 2),
                         fmt_num(ratio(cpu(name, "close"), cpu("zn-http", "close")), 2)])
        print("Ratios, zn-http to each peer (req/s: higher is better for zn-http; CPU: peer / zn-http,"
              " higher is better for zn-http; p99: zn-http / peer, lower is better)")
        print(table(["peer", "keep-alive req/s", "CPU keep-alive", "1 conn p99", "new conn req/s",
                     "CPU new conn"], rows))
        print()
    if soak_samples is None and "memory" in parts:
        print("(no soak figures)")
    print("load average %s at the end" % load_average())
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    finally:
        stop_all()
