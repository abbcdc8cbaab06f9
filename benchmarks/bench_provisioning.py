"""Benchmark of model provisioning (``download_robj_model``) against a file
server on 127.0.0.1, with HOME in a temporary directory.

Three paths side by side: a cached copy with the update check skipped (no
request), a cached copy confirmed by one HEAD request, and a full download
(no Content-Length and no Last-Modified, so every call fetches the file).
For each: the median time per call, the ratio to the skipped check, and the
growth of the process's resident memory and of Python's traced allocations
over the measured calls after a warm-up. Figures also go to
``benchmarks/results/provisioning.json``.

    python benchmarks/bench_provisioning.py [--calls N] [--size BYTES]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import platform
import statistics
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
sys.path.insert(0, str(HERE.parent / "tests"))

from _httpd import Resource, TestServer  # noqa: E402

FILE = "zorvane_robj_d_small_fp32.dat"


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def measure(call, calls: int) -> dict:
    for _ in range(max(calls // 10, 5)):
        call()
    times = []
    for _ in range(calls):
        t = time.perf_counter()
        call()
        times.append(time.perf_counter() - t)
    # Memory in a second run of the same calls, with nothing kept per call.
    rss0 = rss_kib() if os.path.exists("/proc/self/statm") else 0
    tracemalloc.start()
    traced0 = tracemalloc.get_traced_memory()[0]
    for _ in range(calls):
        call()
    traced = tracemalloc.get_traced_memory()[0] - traced0
    tracemalloc.stop()
    rss = (rss_kib() - rss0) if rss0 else None
    return {"calls": calls, "median_ms": statistics.median(times) * 1e3,
            "traced_growth_kib": traced / 1024, "rss_growth_kib": rss}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=3000)
    ap.add_argument("--size", type=int, default=1 << 20)
    args = ap.parse_args()

    home = tempfile.mkdtemp(prefix="bench_prov_")
    os.environ["HOME"] = os.environ["USERPROFILE"] = home
    for name in ("ZORVANE_VERBOSE", "ZORVANE_ROBJ_SKIP_UPDATE", "ZORVANE_ROBJ_DOWNLOAD_TIMEOUT"):
        os.environ.pop(name, None)
    from zorvane_road_objects.zorvane_robj_p import download_robj_model

    content = os.urandom(args.size)
    rows = {}
    with TestServer({FILE: Resource(content)}) as srv:
        os.environ["ZORVANE_ROBJ_MODEL_SERVER"] = srv.url

        def provide():
            download_robj_model("small_fp32")
            srv.log.clear()  # the server's own request log is not the client's memory

        with contextlib.redirect_stderr(io.StringIO()):
            download_robj_model("small_fp32")
        os.environ["ZORVANE_ROBJ_SKIP_UPDATE"] = "1"
        rows["cached, check skipped"] = measure(provide, args.calls)
        os.environ["ZORVANE_ROBJ_SKIP_UPDATE"] = "0"
        rows["cached, one HEAD"] = measure(provide, max(args.calls // 3, 10))
        srv.resources[FILE] = Resource(content, content_length=False, last_modified=None)
        with contextlib.redirect_stderr(io.StringIO()):
            rows["download every call"] = measure(provide, max(args.calls // 30, 10))
    base = rows["cached, check skipped"]["median_ms"]
    print(f"{'path':24} {'calls':>6} {'median ms':>10} {'x skipped':>10} "
          f"{'traced KiB':>11} {'RSS KiB':>8}")
    for name, r in rows.items():
        r["ratio_to_skipped"] = r["median_ms"] / base
        print(f"{name:24} {r['calls']:6d} {r['median_ms']:10.3f} {r['ratio_to_skipped']:10.1f} "
              f"{r['traced_growth_kib']:11.1f} {str(r['rss_growth_kib']):>8}")
    RESULTS.mkdir(exist_ok=True)
    out = {"python": platform.python_version(), "file_size": args.size, "paths": rows}
    (RESULTS / "provisioning.json").write_text(json.dumps(out, indent=2))


if __name__ == "__main__":
    main()
