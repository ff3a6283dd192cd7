#!/usr/bin/env python3
"""Load, slow clients and soak against a zn-http server and against kavo-service.

For each server: 10,000 concurrent keep-alive connections, each served twice; a normal
client's latency (p50/p99) without and with 1,000 clients that send one byte a second;
a soak of one million requests with the server's memory sampled every 100,000. Only
127.0.0.1; every process started here runs in its own session and is killed on exit.
Started by run.sh, which finds the programs; see there for the environment it reads."""

import argparse
import asyncio
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time

MIB = 1024 * 1024
SOAK_GROWTH_GOAL_MIB = 1.0

started = []  # every process started here, for the clean-up
PIDFILE = None  # the same, for run.sh in case this driver is killed outright


def note_started(proc):
    started.append(proc)
    if PIDFILE:
        with open(PIDFILE, "a") as f:
            f.write("%d\n" % proc.pid)


def log(text):
    print(text, file=sys.stderr, flush=True)


def kill_all():
    for proc in started:
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)  # own session: the group id is its pid
            except ProcessLookupError:
                pass
            proc.wait()
    started.clear()


def on_signal(number, _frame):
    kill_all()
    sys.exit(128 + number)


def raise_descriptor_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(wanted, hard), hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


# ---------------------------------------------------------------- servers

class Server:
    def __init__(self, name, argv, path, port_marker, env, work):
        self.name, self.path = name, path
        self.logname = os.path.join(work, name + ".log")
        logfile = open(self.logname, "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=logfile, stderr=logfile,
                                     start_new_session=True, env=env, cwd=work)
        note_started(self.proc)
        logfile.close()
        self.port = None
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and self.port is None:
            if self.proc.poll() is not None:
                raise RuntimeError("%s exited at start:\n%s" % (name, self.log_text()))
            text = self.log_text()
            at = text.find(port_marker)
            if at >= 0:
                rest = text[at + len(port_marker):]
                digits = ""
                for c in rest:
                    if not c.isdigit():
                        break
                    digits += c
                if digits:
                    self.port = int(digits)
            time.sleep(0.05)
        if self.port is None:
            raise RuntimeError("%s did not say its port:\n%s" % (name, self.log_text()))

    def log_text(self):
        with open(self.logname, "r", errors="replace") as f:
            return f.read()

    def alive(self):
        return self.proc.poll() is None

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise RuntimeError("%s: no VmRSS" % self.name)

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        started.remove(self.proc)
        return self.proc.returncode


# ---------------------------------------------------------------- HTTP over asyncio

def request_bytes(path):
    return ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path).encode()


class Responses:
    """Splits a byte stream into HTTP responses (Content-Length bodies only)."""

    def __init__(self):
        self.buffer = bytearray()
        self.statuses = []

    def feed(self, data):
        self.buffer += data
        count = 0
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return count
            head = bytes(self.buffer[:end]).lower()
            at = head.find(b"content-length:")
            length = 0
            if at >= 0:
                line_end = head.find(b"\r\n", at)
                length = int(head[at + 15:line_end if line_end >= 0 else len(head)])
            if len(self.buffer) < end + 4 + length:
                return count
            self.statuses.append(int(head[9:12]))
            del self.buffer[:end + 4 + length]
            count += 1


async def exchange(reader, writer, request, parser, count=1):
    writer.write(request * count)
    got = 0
    while got < count:
        data = await reader.read(65536)
        if not data:
            raise ConnectionError("closed by the server")
        got += parser.feed(data)


async def read_until_closed(reader, parser):
    while True:
        data = await reader.read(65536)
        if not data:
            return
        parser.feed(data)


async def hold_connections(server, path, total, keep_alive, timeout):
    """Opens total connections and holds them (with keep-alive, each served as it opens),
    then sends one request on every one of them at once and reads the answers.
    Returns (opened, served, seconds to open, RSS open, RSS served, links)."""
    request = request_bytes(path)
    gate = asyncio.Semaphore(32)  # connects in flight
    links = []
    failures = []

    async def open_one():
        async with gate:
            try:
                reader, writer = await asyncio.open_connection("127.0.0.1", server.port)
                parser = Responses()
                if keep_alive:
                    # Served as it opens, which also paces the connects to the server's
                    # accepts: the listen backlog is only 50 deep.
                    await exchange(reader, writer, request, parser)
                links.append((reader, writer, parser))
            except OSError as error:
                failures.append(repr(error))

    started_at = time.monotonic()
    await asyncio.wait_for(asyncio.gather(*(open_one() for _ in range(total))), timeout)
    opened = time.monotonic() - started_at
    await asyncio.sleep(0.5)
    idle_rss = server.rss_kib()

    async def serve_all():
        served = 0

        async def one(link):
            nonlocal served
            reader, writer, parser = link
            before = len(parser.statuses)
            try:
                if keep_alive:
                    await exchange(reader, writer, request, parser)
                else:
                    writer.write(request)
                    await read_until_closed(reader, parser)
                if parser.statuses[before:] == [200] and (before == 0 or parser.statuses[0] == 200):
                    served += 1
            except (OSError, ConnectionError) as error:
                failures.append(repr(error))

        await asyncio.wait_for(asyncio.gather(*(one(link) for link in links)), timeout)
        return served

    served = await serve_all()
    held_rss = server.rss_kib()
    if failures:
        log("  %d failures, first: %s" % (len(failures), failures[0]))
    return len(links), served, opened, idle_rss, held_rss, links


async def close_links(links):
    for _reader, writer, _parser in links:
        writer.close()
    await asyncio.sleep(0.5)


async def latencies(port, path, count, keep_alive):
    """Sequential requests, on one connection with keep-alive, else each on a connection
    of its own (connecting included); seconds per request."""
    parser = Responses()
    request = request_bytes(path)
    result = []
    if keep_alive:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
    for _ in range(count):
        t0 = time.perf_counter()
        if keep_alive:
            await exchange(reader, writer, request, parser)
        else:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            writer.write(request)
            answer = Responses()
            await read_until_closed(reader, answer)
            writer.close()
            parser.statuses += answer.statuses
        result.append(time.perf_counter() - t0)
    if keep_alive:
        writer.close()
    if len(parser.statuses) != count:
        raise RuntimeError("%d of %d normal requests answered" % (len(parser.statuses), count))
    if any(s != 200 for s in parser.statuses):
        raise RuntimeError("a normal request was not answered with 200")
    return result


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p))]


class SoakClient(asyncio.Protocol):
    """Pipelines depth requests at a time on one connection until total is reached."""

    def __init__(self, shared, request, depth):
        self.shared, self.request, self.depth = shared, request, depth
        self.parser = Responses()
        self.outstanding = 0

    def connection_made(self, transport):
        self.transport = transport
        self.send()

    def send(self):
        n = min(self.depth - self.outstanding, self.shared["total"] - self.shared["sent"])
        if n > 0:
            self.shared["sent"] += n
            self.outstanding += n
            self.transport.write(self.request * n)
        elif self.outstanding == 0:
            self.transport.close()

    def data_received(self, data):
        got = self.parser.feed(data)
        if got:
            self.outstanding -= got
            self.shared["done"] += got
            self.shared["on_progress"]()
            if len(self.parser.statuses) > 1000:
                self.shared["bad"] += sum(1 for s in self.parser.statuses if s != 200)
                self.parser.statuses.clear()
            self.send()

    def connection_lost(self, exc):
        self.shared["bad"] += sum(1 for s in self.parser.statuses if s != 200)
        self.parser.statuses.clear()
        self.shared["lost"] += 1
        if self.shared["lost"] == self.shared["connections"] and not self.shared["finished"].done():
            self.shared["finished"].set_result(None)


async def soak_closing(server, path, total, every, workers=16):
    """The soak for a server that closes after each answer: workers loops of connect,
    request, read to the close."""
    samples = [(0, server.rss_kib())]
    request = request_bytes(path)
    counts = {"sent": 0, "done": 0, "bad": 0}

    async def worker():
        while counts["sent"] < total:
            counts["sent"] += 1
            parser = Responses()
            try:
                reader, writer = await asyncio.open_connection("127.0.0.1", server.port)
                writer.write(request)
                await read_until_closed(reader, parser)
                writer.close()
            except OSError:
                pass
            counts["done"] += 1
            if parser.statuses != [200]:
                counts["bad"] += 1
            if counts["done"] % every == 0:
                samples.append((counts["done"], server.rss_kib()))

    started_at = time.monotonic()
    await asyncio.wait_for(asyncio.gather(*(worker() for _ in range(workers))), 3600)
    return samples, counts["done"], counts["bad"], time.monotonic() - started_at


async def soak(server, path, total, every, connections=8, depth=16):
    loop = asyncio.get_running_loop()
    samples = [(0, server.rss_kib())]
    shared = {"total": total, "sent": 0, "done": 0, "bad": 0, "lost": 0, "connections": connections,
              "finished": loop.create_future()}

    def on_progress():
        while shared["done"] >= (len(samples)) * every and len(samples) * every <= total:
            samples.append((len(samples) * every, server.rss_kib()))

    shared["on_progress"] = on_progress
    request = request_bytes(path)
    started_at = time.monotonic()
    for _ in range(connections):
        await loop.create_connection(lambda: SoakClient(shared, request, depth), "127.0.0.1", server.port)
    await asyncio.wait_for(shared["finished"], 1800)
    elapsed = time.monotonic() - started_at
    return samples, shared["done"], shared["bad"], elapsed


# ---------------------------------------------------------------- slow clients (own process)

def slow_request(path):
    return ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path).encode()


async def slow_clients(port, count, seconds, path):
    """count connections that send a request one byte a second for seconds; prints how
    many were answered."""
    request = slow_request(path)
    links = []
    gate = asyncio.Semaphore(64)

    async def open_one():
        async with gate:
            try:
                links.append(await asyncio.open_connection("127.0.0.1", port))
            except OSError:
                pass

    await asyncio.gather(*(open_one() for _ in range(count)))
    print("slow-open %d" % len(links), flush=True)
    answered = 0

    async def wait_answer(reader):
        nonlocal answered
        try:
            if await reader.read(65536):
                answered += 1
        except OSError:
            pass

    waiting = [asyncio.ensure_future(wait_answer(reader)) for reader, _writer in links]
    deadline = time.monotonic() + seconds
    position = 0
    while time.monotonic() < deadline:
        if position < len(request):
            for _reader, writer in links:
                writer.write(request[position:position + 1])
            position += 1
        await asyncio.sleep(1)
    print("%d of them answered after %d of %d bytes each" % (answered, position, len(request)), flush=True)
    for task in waiting:
        task.cancel()
    for _reader, writer in links:
        writer.close()


# ---------------------------------------------------------------- driver

def mib(kib):
    return kib / 1024.0


def run_target(args, name, argv, path, marker, env, work, keep_alive):
    print("\n## %s, GET %s (%s)" % (name, path, "keep-alive" if keep_alive else
                                     "the answer closes the connection"), flush=True)
    server = Server(name, argv, path, marker, env, work)
    try:
        idle = server.rss_kib()

        # Many connections held open at once.
        opened, served, elapsed, open_rss, held_rss, links = asyncio.run(
            hold(server, path, args.connections, keep_alive))
        after_close = server.rss_kib()
        print("connections: %d open at once (%.1f s to open%s), %d served %s; server RSS MiB: "
              "%.1f before, %.1f with them open, %.1f after serving them, %.1f after they closed"
              % (opened, elapsed, ", each served once on the way" if keep_alive else "", served,
                 "again while all were open" if keep_alive else "while all were open",
                 mib(idle), mib(open_rss), mib(held_rss), mib(after_close)), flush=True)
        if not server.alive():
            raise RuntimeError("%s died under the connection load" % name)
        if served != args.connections:
            raise RuntimeError("not every connection was served")

        # A normal client alone and beside slow clients.
        quiet = asyncio.run(latencies(server.port, path, args.latency_requests, keep_alive))
        slow = subprocess.Popen([sys.executable, __file__, "--slow-clients", str(args.slow),
                                 "--port", str(server.port), "--path", path, "--seconds", str(args.slow_seconds)],
                                stdout=subprocess.PIPE, start_new_session=True, text=True)
        note_started(slow)
        first = slow.stdout.readline().strip()  # "slow-open N": all of them are connected
        busy = asyncio.run(latencies(server.port, path, args.latency_requests, keep_alive))
        rest = slow.communicate(timeout=args.slow_seconds + 60)[0].strip()
        started.remove(slow)
        if slow.returncode != 0 or not first.startswith("slow-open"):
            raise RuntimeError("the slow clients failed")
        print("normal client, %d sequential requests%s: p50 %.2f ms, p99 %.2f ms alone; "
              "p50 %.2f ms, p99 %.2f ms beside %s slow clients (%s)"
              % (args.latency_requests, "" if keep_alive else " (a connection each)",
                 percentile(quiet, 0.5) * 1e3, percentile(quiet, 0.99) * 1e3,
                 percentile(busy, 0.5) * 1e3, percentile(busy, 0.99) * 1e3, first.split()[-1], rest),
              flush=True)

        # Soak.
        run = soak if keep_alive else soak_closing
        samples, done, bad, elapsed = asyncio.run(run(server, path, args.soak, args.soak_every))
        print("soak: %d requests in %.1f s (%.0f/s), %d not 200; RSS MiB every %d: %s"
              % (done, elapsed, done / elapsed, bad, args.soak_every,
                 " ".join("%.1f" % mib(kib) for _n, kib in samples)), flush=True)
        # The first interval warms up (allocator pools, caches); growth is counted after it.
        base = samples[1][1] if len(samples) > 2 else samples[0][1]
        growth = mib(samples[-1][1] - base)
        print("soak growth after the first %d requests: %.2f MiB (goal <= %.1f MiB: %s)"
              % (args.soak_every, growth, SOAK_GROWTH_GOAL_MIB,
                 "met" if growth <= SOAK_GROWTH_GOAL_MIB else "NOT MET"), flush=True)
        if done != args.soak or bad:
            raise RuntimeError("the soak lost or failed requests")
        if not server.alive():
            raise RuntimeError("%s died in the soak" % name)
    finally:
        server.stop()


async def hold(server, path, total, keep_alive):
    result = await hold_connections(server, path, total, keep_alive, 600)
    await close_links(result[-1])
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--hello", help="zn-http hello server")
    parser.add_argument("--service", help="kavo-service")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--work", default=None)
    parser.add_argument("--slow-clients", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.slow_clients:
        raise_descriptor_limit(args.slow_clients + 64)
        asyncio.run(slow_clients(args.port, args.slow_clients, args.seconds, args.path))
        return 0

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if args.quick:
        args.connections, args.slow, args.slow_seconds = 2000, 200, 8
        args.latency_requests, args.soak, args.soak_every = 1000, 100000, 10000
    else:
        args.connections, args.slow = 10000, 1000
        args.latency_requests, args.soak, args.soak_every = 5000, 1000000, 100000
    limit = raise_descriptor_limit(65536)
    if limit < args.connections + 256:
        log("descriptor limit %d is too low for %d connections" % (limit, args.connections))
        return 1

    work = args.work or tempfile.mkdtemp(prefix="kavo-load-")
    os.makedirs(work, exist_ok=True)
    global PIDFILE
    PIDFILE = os.path.join(work, "started.pid")
    env = dict(os.environ)
    # Per-request debug lines would measure the logging, not the server.
    env["QT_LOGGING_RULES"] = "*.debug=false"
    # A private home for kavo-service and its plug-in: nothing real is read or touched.
    for var, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                     ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "runtime"), ("TMPDIR", "tmp"),
                     ("ALLUSERSPROFILE", "programdata")):
        os.makedirs(os.path.join(work, sub), exist_ok=True)
        env[var] = os.path.join(work, sub)
    env["LC_ALL"] = "C.UTF-8"

    if not args.quick:
        # Long enough for every slow client to finish its request and be answered.
        args.slow_seconds = len(slow_request("/system/info")) + 5
    print("# load: %s mode, %d connections, %d slow clients for %d s, soak of %d requests"
          % ("quick" if args.quick else "full", args.connections, args.slow, args.slow_seconds, args.soak))
    status = 0
    try:
        if args.hello:
            run_target(args, "zn-http-hello", [os.path.abspath(args.hello), "--bind", "127.0.0.1", "--port", "0"], "/",
                       "listening on 127.0.0.1:", env, work, keep_alive=True)
        if args.service:
            # /system/info declares no length, so its answer ends with the connection.
            run_target(args, "kavo-service", [os.path.abspath(args.service), "--listen", "127.0.0.1:0"],
                       "/system/info", "Listening on 127.0.0.1:", env, work, keep_alive=False)
    except Exception as error:  # noqa: BLE001 - reported, and the servers are still killed
        log("load: %s" % error)
        status = 1
    finally:
        kill_all()
    return status


if __name__ == "__main__":
    sys.exit(main())
