"""Soak test of one detector shared by many threads: N threads call
`detector(img)` for a fixed time while the main thread re-initialises the
detector now and then. Reports calls, errors, resident memory and open
descriptors at the start and the end (and halfway, after warm-up, which is
the fairer baseline for growth), prints a table and writes JSON under
benchmarks/results/.

    PYTHONPATH=src python -P benchmarks/bench_soak_detector.py [--seconds 60]
        [--threads 8] [--reinit-every 2.0]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from _models import fixed_rows_model  # noqa: E402

from zorvane_road_objects import zorvane_robj_d as zd  # noqa: E402

ROWS = [[2, 0.57, 10, 20, 110, 220], [0, 0.9, 1, 2, 3, 4], [0, 0.8, 1, 2, 3, 5], [9, 0.7, 0, 0, 5, 5]]


def rss_mib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def snapshot(label, calls):
    return {"at": label, "calls": calls, "rss_mib": round(rss_mib(), 1), "fds": open_fds()}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--threads", type=int, default=8)
    ap.add_argument("--reinit-every", type=float, default=2.0, help="seconds between re-inits")
    args = ap.parse_args(argv)

    path = os.path.join(tempfile.mkdtemp(prefix="zv-soak-"), "model.dat")
    with open(path, "wb") as f:
        f.write(fixed_rows_model(ROWS))
    zd.download_robj_model = lambda name: path
    detector = zd.zv_road_object_detector("soak")
    rng = np.random.default_rng(0)
    images = [rng.integers(0, 256, s, dtype=np.uint8) for s in ((480, 640, 3), (720, 1280, 3))]
    images.append(images[1][::2, ::2])  # a strided view

    calls = [0] * args.threads
    errors = [0] * args.threads
    samples = []
    stop = threading.Event()

    def work(i):
        k = 0
        while not stop.is_set():
            try:
                out = detector(images[k % len(images)])
                if len(out["results"]) != 3:
                    errors[i] += 1
            except Exception:
                errors[i] += 1
            calls[i] += 1
            k += 1

    samples.append(snapshot("start", 0))
    workers = [threading.Thread(target=work, args=(i,)) for i in range(args.threads)]
    t0 = time.monotonic()
    for t in workers:
        t.start()
    reinits = 0
    halfway_taken = False
    while (elapsed := time.monotonic() - t0) < args.seconds:
        time.sleep(min(args.reinit_every, max(args.seconds - elapsed, 0)))
        if time.monotonic() - t0 >= args.seconds:
            break
        detector.__init__("soak")
        reinits += 1
        if not halfway_taken and time.monotonic() - t0 >= args.seconds / 2:
            samples.append(snapshot("halfway", sum(calls)))
            halfway_taken = True
    stop.set()
    for t in workers:
        t.join()
    wall = time.monotonic() - t0
    samples.append(snapshot("end", sum(calls)))

    total, failed = sum(calls), sum(errors)
    print(f"soak: {args.threads} threads, {wall:.1f} s, {reinits} re-initialisations")
    print(f"{'at':8} {'calls':>8} {'RSS MiB':>9} {'fds':>5}")
    for s in samples:
        print(f"{s['at']:8} {s['calls']:8d} {s['rss_mib']:9.1f} {s['fds']:5d}")
    base = samples[1] if len(samples) == 3 else samples[0]
    growth = samples[-1]["rss_mib"] / base["rss_mib"]
    print(f"calls {total} ({total / wall:.0f}/s), errors {failed}, "
          f"RSS end/{base['at']} {growth:.3f}, fds end-start {samples[-1]['fds'] - samples[0]['fds']}")

    out_dir = HERE / "results"
    out_dir.mkdir(exist_ok=True)
    record = {
        "benchmark": "soak_detector",
        "threads": args.threads,
        "seconds": round(wall, 2),
        "reinits": reinits,
        "calls": total,
        "calls_per_second": round(total / wall, 1),
        "errors": failed,
        "samples": samples,
        "rss_growth_ratio": round(growth, 4),
        "machine": {"python": sys.version.split()[0], "platform": platform.platform(),
                    "cpus": os.cpu_count()},
    }
    (out_dir / "soak_detector.json").write_text(json.dumps(record, indent=2) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
