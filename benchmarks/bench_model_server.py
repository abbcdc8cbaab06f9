"""Benchmark of the model server under bursts and idle connections.

Starts the server in a child process on a free loopback port over a folder
with one small and one 4 MiB model file, then measures

- burst: N clients connect at the same moment and each GETs the small file;
- burst-4m: the same with the 4 MiB file;
- idle: M connections are opened and left silent, then one client GETs the
  small file (how long it waits, whether it is served at all).

With ``--baseline FILE`` (another model_server.py, run as a script) both
servers run in this one process and the table shows them side by side with
ratios. Figures go to ``benchmarks/results/model_server.json``.

    python benchmarks/bench_model_server.py [--clients 200] [--idle 1000]
        [--baseline /tmp/old_model_server.py]
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import platform
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

try:
    import resource
except ImportError:  # not on Windows
    resource = None

RESULTS = Path(__file__).resolve().parent / "results"
CLIENT_TIMEOUT = 30.0


def start_server(script: str | None, root: Path, nofile: int | None = None) -> tuple[subprocess.Popen, int]:
    """The model server (the package's, or the module file ``script``) in a
    process of its own on a free port, with at most ``nofile`` descriptors."""
    cmd = [sys.executable]
    cmd += [script] if script else ["-m", "zorvane_road_objects.serving.server"]
    cmd += ["--root", str(root), "--port", "0"]

    def limit() -> None:
        if nofile and resource is not None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            preexec_fn=limit if os.name == "posix" else None)
    line = proc.stderr.readline()
    m = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
    if not m:
        proc.kill()
        raise RuntimeError(f"server did not start: {line!r}")
    # Keep reading the log so the server never blocks on a full pipe.
    threading.Thread(target=lambda: [None for _ in proc.stderr], daemon=True).start()
    return proc, int(m.group(1))


def stop_server(proc: subprocess.Popen) -> None:
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def fetch(port: int, name: str, size: int) -> float | None:
    """Seconds for one GET on a new connection, or None when it failed."""
    t0 = time.perf_counter()
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=CLIENT_TIMEOUT)
    try:
        conn.request("GET", "/" + name)
        resp = conn.getresponse()
        body = resp.read()
        if resp.status != 200 or len(body) != size:
            return None
    except OSError:
        return None
    finally:
        conn.close()
    return time.perf_counter() - t0


def burst(port: int, name: str, size: int, clients: int) -> dict:
    results: list[float | None] = [None] * clients
    gate = threading.Barrier(clients + 1)

    def client(i: int) -> None:
        gate.wait()
        results[i] = fetch(port, name, size)

    threads = [threading.Thread(target=client, args=(i,), daemon=True) for i in range(clients)]
    for t in threads:
        t.start()
    gate.wait()
    t0 = time.perf_counter()
    deadline = t0 + CLIENT_TIMEOUT * 3
    for t in threads:
        t.join(max(0.0, deadline - time.perf_counter()))
    wall = time.perf_counter() - t0
    ok = [r for r in results if r is not None]
    return {"wall_s": wall, "failed": clients - len(ok),
            "median_s": statistics.median(ok) if ok else None,
            "max_s": max(ok) if ok else None}


def idle(port: int, name: str, size: int, count: int) -> dict:
    socks = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.settimeout(CLIENT_TIMEOUT)
            try:
                s.connect(("127.0.0.1", port))
            except OSError:
                s.close()
                break
            socks.append(s)
        opened = len(socks)
        t = fetch(port, name, size)
    finally:
        for s in socks:
            s.close()
    return {"opened": opened, "served": t is not None, "wait_s": t}


def run_all(script: str | None, root: Path, files: dict, clients: int, idle_count: int) -> dict:
    out = {}
    for case, run in (
        ("burst", lambda p: burst(p, "small.dat", files["small.dat"], clients)),
        ("burst-4m", lambda p: burst(p, "big.dat", files["big.dat"], clients)),
        ("idle", lambda p: idle(p, "small.dat", files["small.dat"], idle_count)),
    ):
        # A fresh server for each case, so that one case's leftovers
        # (threads, lingering connections) do not weigh on the next.
        proc, port = start_server(script, root)
        try:
            out[case] = run(port)
        finally:
            stop_server(proc)
    return out


def fmt(v) -> str:
    if v is None:
        return "-"
    if isinstance(v, bool):
        return "yes" if v else "NO"
    if isinstance(v, float):
        return f"{v:.3f}"
    return str(v)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--clients", type=int, default=200)
    ap.add_argument("--idle", type=int, default=1000)
    ap.add_argument("--baseline", help="another model_server.py to compare against")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        (root / "small.dat").write_bytes(os.urandom(4096))
        (root / "big.dat").write_bytes(os.urandom(4 * 1024 * 1024))
        files = {p.name: p.stat().st_size for p in root.iterdir()}
        runs = {"current": run_all(None, root, files, args.clients, args.idle)}
        if args.baseline:
            runs["baseline"] = run_all(args.baseline, root, files, args.clients, args.idle)

    rows = []
    for case in runs["current"]:
        for metric in runs["current"][case]:
            cur = runs["current"][case][metric]
            row = [case, metric, fmt(cur)]
            if "baseline" in runs:
                base = runs["baseline"][case][metric]
                ratio = (f"{base / cur:.1f}x" if isinstance(cur, float) and isinstance(base, float)
                         and cur > 0 else "")
                row += [fmt(base), ratio]
            rows.append(row)
    header = ["case", "metric", "current"] + (["baseline", "baseline/current"]
                                              if "baseline" in runs else [])
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    print(f"{args.clients} burst clients, {args.idle} idle connections, loopback")
    for r in [header] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)))

    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / "model_server.json"
    out.write_text(json.dumps({
        "clients": args.clients, "idle": args.idle, "baseline": args.baseline,
        "python": platform.python_version(), "machine": platform.machine(),
        "cpus": os.cpu_count(), "runs": runs}, indent=2) + "\n")
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
