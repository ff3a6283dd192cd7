#!/usr/bin/env python3
"""zn-http-serve against nginx on the same files, in one run: server CPU time per request
(utime+stime), peak resident memory, ratios and goals. Started by run.sh, which builds the
program and passes it in; see run.sh for the cases and the environment."""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "http"))
import httpbench as hb  # noqa: E402  (servers, wrk, tables: shared with the HTTP benchmark)

GOAL_CPU_SMALL_VS_NGINX = 1.2
GOAL_CPU_TLS_NEW_VS_NGINX = 1.3
GOAL_HUGE_RSS_GROWTH_MIB = 16.0
GOAL_HUGE_TIME_VS_NGINX = 2.0

KIB, MIB = 1024, 1024 * 1024


def reset_peak(server):
    """Starts VmHWM afresh (Linux: 5 into clear_refs), so that each case shows its own peak."""
    try:
        with open("/proc/%d/clear_refs" % server.stats_pid(), "w") as f:
            f.write("5")
    except OSError:
        pass


def peak_mib(server):
    with open("/proc/%d/status" % server.stats_pid()) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return None


def full_handshakes(server, path, seconds):
    """New TLS connections without resumption, each fetching `path` (openssl s_time -new)."""
    cmd = ["taskset", "-c", hb.CLIENT_CORE, "openssl", "s_time", "-connect", "127.0.0.1:%d" % server.port,
           "-new", "-time", str(seconds), "-www", path]
    before = server.cpu_ticks()
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60).stdout
    after = server.cpu_ticks()
    # s_time reports its own user time first, then the real time.
    m = re.search(r"(\d+) connections in (\d+) real seconds", out)
    count = int(m.group(1)) if m else 0
    if not count:
        hb.log("s_time output for %s:\n%s" % (server.name, out))
    return {"requests": count, "rps": count / max(int(m.group(2)), 1) if m else 0.0,
            "p50": None, "p99": None, "errors": 0, "non2xx": 0,
            "cpu_us": (after - before) * 1e6 / hb.CLK_TCK / count if count else None}


def downloads(server, path, count, size):
    """`count` downloads one after the other with curl; wall time per download, every byte checked."""
    before = server.cpu_ticks()
    baseline = server.rss_kib() / 1024.0
    start = time.monotonic()
    errors = 0
    for _ in range(count):
        out = subprocess.run(["taskset", "-c", hb.CLIENT_CORE, "curl", "-s", "-k", "-o", "/dev/null", "-w",
                              "%{http_code} %{size_download}", server.url(path)],
                             capture_output=True, text=True, timeout=600).stdout.split()
        if out != ["200", str(size)]:
            errors += 1
    took = time.monotonic() - start
    after = server.cpu_ticks()
    return {"requests": count, "rps": count / took, "p50": took / count * 1e6, "p99": None, "errors": errors,
            "non2xx": 0, "cpu_us": (after - before) * 1e6 / hb.CLK_TCK / count,
            "growth_mib": peak_mib(server) - baseline}


CLIENT = r"""
import http.client, socket, ssl, sys
scheme, port, path, count, resume = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5] == "1"
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
session = None
for _ in range(count):
    sock = socket.create_connection(("127.0.0.1", port))
    if scheme == "https":
        sock = context.wrap_socket(sock, session=session)
    sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % path).encode())
    while sock.recv(1 << 16):
        pass
    if scheme == "https" and resume:
        session = sock.session
    sock.close()
"""


def instructions(work, argv, port, scheme, path, count, resume, stop_signal):
    """Instructions per request of a server under callgrind, each request on a new connection: the
    difference of two runs that differ only in their number of requests, so that start-up drops out."""
    totals = []
    out = os.path.join(work, "callgrind.out")
    for n in (count // 5, count):
        proc = subprocess.Popen(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True, env=dict(os.environ, QT_LOGGING_RULES="*.debug=false;*.info=false"))
        hb.started.append(proc)
        hb.write_pidfile()
        try:
            if not hb.wait_for_port(port, proc, 120):
                raise RuntimeError("%s did not start under valgrind" % argv[0])
            subprocess.run(["python3", "-c", CLIENT, scheme, str(port), path, str(n), "1" if resume else "0"],
                           check=True, timeout=600)
            os.killpg(proc.pid, stop_signal)
            proc.wait(timeout=120)
        finally:
            hb.stop_server(proc)
        with open(out) as f:
            totals.append(next(int(line.split()[1]) for line in f if line.startswith(("totals:", "summary:"))))
        os.unlink(out)
    return (totals[1] - totals[0]) / (count - count // 5)


def write_file(path, size, sparse=False):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    with open(path, "wb") as f:
        if sparse:
            f.truncate(size)
            return
        for _ in range(size // MIB):
            f.write(os.urandom(MIB))
        f.write(os.urandom(size % MIB))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--serve", required=True)
    ap.add_argument("--nginx-template", required=True)
    ap.add_argument("--pidfile", required=True)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--runs", type=int, default=0)
    ap.add_argument("--only", default="small,large,tls,instructions",
                    help="comma-separated: small, large, tls, instructions, huge")
    args = ap.parse_args()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, hb.on_signal)

    parts = set(args.only.split(","))
    seconds = 3 if args.quick else 10
    rounds = args.runs or (1 if args.quick else 3)
    work = args.work
    www = os.path.join(work, "www")
    prefix = os.path.join(work, "nginx")
    os.makedirs(www, exist_ok=True)
    os.makedirs(os.path.join(prefix, "tmp"), exist_ok=True)
    write_file(os.path.join(www, "1k.bin"), KIB)
    write_file(os.path.join(www, "100k.bin"), 100 * KIB)
    if "large" in parts:
        write_file(os.path.join(www, "100m.bin"), 100 * MIB)
    if "huge" in parts:
        write_file(os.path.join(www, "1g.bin"), 1024 * MIB, sparse=True)
        # Read once, so that the first server does not pay for filling the page cache.
        with open(os.path.join(www, "1g.bin"), "rb") as f:
            while f.read(16 * MIB):
                pass

    # The same certificates for both servers, made fresh for every run.
    for name, key in (("rsa", ["-newkey", "rsa:2048"]),
                      ("ec", ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"])):
        subprocess.run(["openssl", "req", "-x509", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1"] + key +
                       ["-keyout", os.path.join(work, name + ".key"), "-out", os.path.join(work, name + ".pem")],
                       check=True, capture_output=True)

    ports = hb.free_ports(6)
    with open(args.nginx_template) as f:
        conf = f.read()
    for name, value in {"PREFIX": prefix, "WORK": work, "WWW": www, "HTTP_PORT": str(ports[0]),
                        "RSA_PORT": str(ports[1]), "EC_PORT": str(ports[2])}.items():
        conf = conf.replace("@%s@" % name, value)
    with open(os.path.join(prefix, "nginx.conf"), "w") as f:
        f.write(conf)
    with open(os.path.join(prefix, "nginx-alone.conf"), "w") as f:
        f.write(conf.replace("worker_processes 1;", "worker_processes 1;\nmaster_process off;"))

    hb.PIDFILE = args.pidfile
    mk = lambda name, argv, port, scheme="http": hb.Server(name, argv, port, work, args.pidfile, scheme)
    serve = lambda port, tls=(): [args.serve, "--bind", "127.0.0.1", "--port", str(port)] + list(tls) + [www]
    tls = lambda name: ["--cert", os.path.join(work, name + ".pem"), "--key", os.path.join(work, name + ".key")]
    zn = mk("zn-http-serve", serve(ports[3]), ports[3])
    zn_rsa = mk("zn-http-serve RSA", serve(ports[4], tls("rsa")), ports[4], "https")
    zn_ec = mk("zn-http-serve EC", serve(ports[5], tls("ec")), ports[5], "https")
    nginx = mk("nginx", ["nginx", "-p", prefix, "-c", os.path.join(prefix, "nginx.conf"), "-e", "stderr"], ports[0])
    nginx_rsa = hb.Server("nginx RSA", [], ports[1], work, args.pidfile, "https")
    nginx_ec = hb.Server("nginx EC", [], ports[2], work, args.pidfile, "https")

    # name, zn-http-serve, nginx, measure(server) -> result
    cases = []
    if "small" in parts:
        cases += [("100 KiB, keep-alive", zn, nginx, lambda s: hb.run_wrk(s, 50, seconds, path="/100k.bin")),
                  ("100 KiB, new connection", zn, nginx,
                   lambda s: hb.run_wrk(s, 50, seconds, close=True, path="/100k.bin"))]
    if "large" in parts:
        cases.append(("100 MiB", zn, nginx, lambda s: downloads(s, "/100m.bin", 3 if args.quick else 8, 100 * MIB)))
    if "tls" in parts:
        for label, z, n in (("RSA", zn_rsa, nginx_rsa), ("EC P-256", zn_ec, nginx_ec)):
            cases += [("HTTPS %s, new connection" % label, z, n, lambda s: full_handshakes(s, "/1k.bin", seconds)),
                      ("HTTPS %s, resumed" % label, z, n,
                       lambda s: hb.run_wrk(s, 50, seconds, close=True, path="/1k.bin"))]
    if "huge" in parts:
        # The goals of streaming: memory that does not grow with the file, nginx's pace.
        cases.append(("1 GiB", zn, nginx, lambda s: downloads(s, "/1g.bin", 2, 1024 * MIB)))
        cases.append(("1 GiB, HTTPS", zn_ec, nginx_ec, lambda s: downloads(s, "/1g.bin", 2, 1024 * MIB)))

    print("Static files: server on core %s, clients on core %s, %d s per run, %d round(s)%s; load average %s"
          % (hb.SERVER_CORE, hb.CLIENT_CORE, seconds, rounds, " (quick mode)" if args.quick else "",
             hb.load_average()), flush=True)
    runs, peaks = {}, {}
    try:
        for srv in (zn, zn_rsa, zn_ec, nginx):
            srv.start()
        nginx_rsa.proc = nginx_ec.proc = nginx.proc
        for name, z, n, measure in cases:
            for srv in (z, n):  # warm-up: caches, lazily built tables
                hb.run_wrk(srv, 4, 1, path="/1k.bin")
        for round_no in range(rounds):
            for name, z, n, measure in cases:
                for srv in (z, n):
                    hb.log("files: round %d, %s, %s" % (round_no + 1, name, srv.name))
                    reset_peak(srv)
                    runs.setdefault((name, srv.name), []).append(measure(srv))
                    peak = peak_mib(srv)
                    peaks[(name, srv.name)] = max(peak, peaks.get((name, srv.name), 0.0))
    finally:
        hb.stop_all()

    # Instruction counts hold steady where CPU time swings with the machine's load.
    counted, instruction_goals = [], []
    if "instructions" in parts:
        alone = ["nginx", "-p", prefix, "-c", os.path.join(prefix, "nginx-alone.conf"), "-e", "stderr"]
        n = 40 if args.quick else 200
        for name, znserver, port, scheme, path, resume in (
                ("100 KiB, new connection", zn, ports[0], "http", "/100k.bin", False),
                ("HTTPS RSA, new connection", zn_rsa, ports[1], "https", "/1k.bin", False),
                ("HTTPS EC P-256, new connection", zn_ec, ports[2], "https", "/1k.bin", False),
                ("HTTPS EC P-256, resumed", zn_ec, ports[2], "https", "/1k.bin", True)):
            hb.log("files: instructions, %s" % name)
            z = instructions(work, znserver.argv, znserver.port, scheme, path, n, resume, signal.SIGTERM)
            g = instructions(work, alone, port, scheme, path, n, resume, signal.SIGQUIT)
            counted.append([name, hb.fmt_num(z), hb.fmt_num(g), hb.fmt_num(hb.ratio(z, g), 2)])
            if name.endswith("new connection"):
                limit = GOAL_CPU_TLS_NEW_VS_NGINX if scheme == "https" else GOAL_CPU_SMALL_VS_NGINX
                instruction_goals.append(hb.goal_row("instructions per request, %s, zn / nginx" % name,
                                                     hb.ratio(z, g), limit, False))

    figures = {key: hb.combine(results) for key, results in runs.items()}
    for key, results in runs.items():
        growth = [r["growth_mib"] for r in results if "growth_mib" in r]
        if growth:
            figures[key]["growth_mib"] = max(growth)
            figures[key]["seconds"] = hb.median([r["p50"] for r in results]) / 1e6
    rows, goals = [], []
    for name, z, n, _ in cases:
        fz, fn = figures[(name, z.name)], figures[(name, n.name)]
        cpu_ratio = hb.ratio(fz["cpu_us"], fn["cpu_us"])
        rows.append([name, hb.fmt_num(fz["cpu_us"], 1), hb.fmt_num(fn["cpu_us"], 1), hb.fmt_num(cpu_ratio, 2),
                     "%.1f" % peaks[(name, z.name)], "%.1f" % peaks[(name, n.name)],
                     hb.fmt_num(fz["rps"]), hb.fmt_num(fn["rps"]), hb.fmt_num(fz["errors"] + fz["non2xx"]),
                     hb.fmt_num(fn["errors"] + fn["non2xx"])])
        if name.startswith("100 KiB"):
            goals.append(hb.goal_row("CPU per request, %s, zn / nginx" % name, cpu_ratio, GOAL_CPU_SMALL_VS_NGINX, False))
        if name.startswith("HTTPS") and name.endswith("new connection"):
            goals.append(hb.goal_row("CPU per request, %s, zn / nginx" % name, cpu_ratio, GOAL_CPU_TLS_NEW_VS_NGINX, False))
        if name == "1 GiB":
            goals.append(hb.goal_row("RSS growth MiB, 1 GiB, zn", fz["growth_mib"], GOAL_HUGE_RSS_GROWTH_MIB, False))
            goals.append(hb.goal_row("time, 1 GiB, zn / nginx", hb.ratio(fz["seconds"], fn["seconds"]),
                                     GOAL_HUGE_TIME_VS_NGINX, False))
    goals += instruction_goals

    print()
    print("Server CPU per request (utime+stime, median of the rounds), peak resident memory (VmHWM) and"
          " requests per second (best round)")
    print(hb.table(["case", "zn CPU µs/req", "nginx CPU µs/req", "zn / nginx", "zn peak MiB", "nginx peak MiB",
                    "zn req/s", "nginx req/s", "zn errors", "nginx errors"], rows))
    if counted:
        print()
        print("Instructions per request under callgrind (server only, start-up excluded; Python client)")
        print(hb.table(["case", "zn-http-serve", "nginx", "zn / nginx"], counted))
    print()
    print("Goals (ratios from this run)")
    print(hb.table(["goal", "figure", "target", "result"], goals))
    print()
    print("load average %s at the end" % hb.load_average())
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    finally:
        hb.stop_all()
