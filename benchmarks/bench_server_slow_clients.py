"""Benchmark of the model server with slow clients beside a normal one.

Each case starts a fresh server in a child process on a free loopback port
(over a folder with a 4 KiB and an 8 MiB file), opens the slow clients, then
runs one normal client for ``--duration`` seconds that sends HEAD and GET for
the small file in turn, each on a new connection, and records how long each
took (a request not answered within ``--timeout`` seconds counts as failed,
with the time-out as its latency). Cases:

- quiet: no slow clients;
- never-read: ``--slow`` clients GET the 8 MiB file with a 4 KiB receive
  buffer and never read;
- trickle: the same clients read 256 bytes every 2 s;
- slow-heads: the server may hold 1,024 descriptors; ``--heads`` clients send
  part of a request head and one more byte every second.

The current server (``python -m zorvane_road_objects.serving.server``) and the
model server of git revision ``--baseline-rev`` run side by side; the table
shows the median and worst latency of the normal client. Figures go to
``benchmarks/results/server_slow_clients.json``.

    PYTHONPATH=src python benchmarks/bench_server_slow_clients.py [--duration 5]
        [--slow 40] [--heads 1000] [--baseline-rev 3f65b27]
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import platform
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from bench_model_server import resource, start_server, stop_server

RESULTS = Path(__file__).resolve().parent / "results"
REPO = Path(__file__).resolve().parent.parent
BASELINE_PATH = "src/zorvane_road_objects/model_server.py"
BIG_SIZE = 8 * 1024 * 1024


class SlowClients:
    """Slow connections to the server, kept busy by one thread until stopped."""

    def __init__(self, port: int, kind: str, count: int) -> None:
        self.socks: list[socket.socket] = []
        self.kind = kind
        self._stop = threading.Event()
        for _ in range(count):
            s = socket.socket()
            if kind != "slow-heads":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.setblocking(False)
            try:
                s.connect(("127.0.0.1", port))
            except BlockingIOError:
                pass  # completes from the listen backlog
            self.socks.append(s)
        time.sleep(0.2)
        first = (b"GET /big.dat HTTP/1.1\r\nHost: x\r\n\r\n" if kind != "slow-heads"
                 else b"GET /small.dat HTTP/1.1\r\nHost: x\r\n")
        for s in self.socks:
            self._send(s, first)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    @staticmethod
    def _send(s: socket.socket, data: bytes) -> None:
        try:
            s.send(data)
        except OSError:
            pass

    def _run(self) -> None:
        while not self._stop.wait(1.0 if self.kind == "slow-heads" else 2.0):
            for s in self.socks:
                if self.kind == "slow-heads":
                    self._send(s, b"X")
                elif self.kind == "trickle":
                    try:
                        s.recv(256)
                    except OSError:
                        pass

    def close(self) -> None:
        self._stop.set()
        self._thread.join(5)
        for s in self.socks:
            s.close()


def request(port: int, method: str, timeout: float) -> float | None:
    """Seconds for one request on a new connection, or None when it failed."""
    t0 = time.perf_counter()
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, "/small.dat")
        resp = conn.getresponse()
        body = resp.read()
        if resp.status != 200 or len(body) != (0 if method == "HEAD" else 4096):
            return None
    except OSError:
        return None
    finally:
        conn.close()
    return time.perf_counter() - t0


def normal_client(port: int, duration: float, timeout: float) -> dict:
    times, failed = [], 0
    end = time.perf_counter() + duration
    methods = ("HEAD", "GET")
    i = 0
    while time.perf_counter() < end:
        t = request(port, methods[i % 2], timeout)
        i += 1
        if t is None:
            failed += 1
            t = timeout
        times.append(t)
    return {"requests": len(times), "failed": failed,
            "median_s": statistics.median(times), "worst_s": max(times)}


def run_case(script: str | None, root: Path, case: str, args) -> dict:
    nofile = 1024 if case == "slow-heads" else None
    proc, port = start_server(script, root, nofile)
    slow = None
    try:
        if case != "quiet":
            slow = SlowClients(port, case, args.heads if case == "slow-heads" else args.slow)
            time.sleep(0.5)
        return normal_client(port, args.duration, args.timeout)
    finally:
        if slow is not None:
            slow.close()
        stop_server(proc)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--duration", type=float, default=5.0)
    ap.add_argument("--timeout", type=float, default=10.0)
    ap.add_argument("--slow", type=int, default=40)
    ap.add_argument("--heads", type=int, default=1000)
    ap.add_argument("--baseline-rev", default="3f65b27")
    args = ap.parse_args()
    if resource is not None:
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        want = args.heads + 256
        if soft != resource.RLIM_INFINITY and soft < want:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))

    cases = ["quiet", "never-read", "trickle", "slow-heads"]
    runs: dict[str, dict] = {"current": {}, "baseline": {}}
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp) / "models"
        root.mkdir()
        (root / "small.dat").write_bytes(os.urandom(4096))
        (root / "big.dat").write_bytes(os.urandom(BIG_SIZE))
        baseline = Path(tmp) / "baseline_model_server.py"
        baseline.write_bytes(subprocess.run(
            ["git", "show", f"{args.baseline_rev}:{BASELINE_PATH}"], cwd=REPO,
            check=True, capture_output=True).stdout)
        for case in cases:
            # Side by side, case by case, so that a busy spell of the
            # machine weighs on both alike.
            for name, script in (("baseline", str(baseline)), ("current", None)):
                runs[name][case] = run_case(script, root, case, args)
                r = runs[name][case]
                print(f"  {case:<11} {name:<8} {r['requests']:>5} requests  "
                      f"{r['failed']:>3} failed  median {r['median_s']:.3f} s  "
                      f"worst {r['worst_s']:.3f} s", flush=True)

    print(f"\nnormal client beside slow ones: {args.slow} slow readers, {args.heads} slow heads "
          f"(server limited to 1,024 descriptors), {args.duration:g} s per case, "
          f"time-out {args.timeout:g} s, loopback")
    header = ["case", "baseline median", "baseline worst", "current median", "current worst",
              "failed (base/cur)"]
    rows = [[case,
             f"{runs['baseline'][case]['median_s']:.3f}", f"{runs['baseline'][case]['worst_s']:.3f}",
             f"{runs['current'][case]['median_s']:.3f}", f"{runs['current'][case]['worst_s']:.3f}",
             f"{runs['baseline'][case]['failed']}/{runs['current'][case]['failed']}"]
            for case in cases]
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    for r in [header] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)))

    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / "server_slow_clients.json"
    out.write_text(json.dumps({
        "duration_s": args.duration, "timeout_s": args.timeout, "slow": args.slow,
        "heads": args.heads, "baseline_rev": args.baseline_rev,
        "python": platform.python_version(), "machine": platform.machine(),
        "cpus": os.cpu_count(), "runs": runs}, indent=2) + "\n")
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
