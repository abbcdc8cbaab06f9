"""Benchmark of batch detection against the ``detect`` command's pipeline.

On one folder of images, in one run, side by side:

- ``sequential``: the plain loop (read, decode, detect) with one detector of
  one inference thread: the one-thread floor;
- ``detect --workers N``: ``pipeline.detect_stream`` with N worker threads
  of one inference thread each, as the ``detect`` command runs it;
- ``batch (in-process)``: ``batch.detect_dataset`` without Ray (the default);
- ``batch (local Ray)``: ``detect_dataset(use_ray=True)``, one actor of N
  threads on a local Ray instance started for the run.

The in-process methods run ``--rounds`` times, interleaved (the median
round is shown, with the range of steady rates). Each row splits the wall time into the fixed cost (start-up until the first
result) and the steady rate after it; ``vs detect`` is the steady rate over
that of ``detect --workers N``. For the Ray run the CPU seconds of each kind
of process started for it (the actor, Ray's own processes) are read from
/proc at the end of the run, so Ray's own share of the node is shown.

    python benchmarks/bench_batch.py [--folder DIR] [--limit N] [--repeat R] [--model small_fp32]

Results go to ``benchmarks/results/batch.json``.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import platform
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
RESULTS = REPO / "benchmarks" / "results"
DEFAULT_FOLDERS = [REPO.parent / "shared" / "data" / "eval" / "coco_val2017_dev50" / "images",
                   REPO / "samples"]


def _serve_models() -> str:
    from zorvane_road_objects.serving.server import make_server

    server = make_server(str(REPO / "models"), "127.0.0.1", 0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_address[1]}/"


def _files(folder: Path, limit: int | None, repeat: int, work: Path) -> list[str]:
    """The folder's images, ``repeat`` times over (as hard links or copies
    under ``work``, distinct files to every reader) so that the steady phase
    outlasts the start-up."""
    from zorvane_road_objects.batch.inputs import expand_inputs

    files = expand_inputs([folder]).files
    files = files[:limit] if limit else files
    if repeat <= 1:
        return files
    out = []
    (work / "imgs").mkdir()
    for k in range(repeat):
        for i, f in enumerate(files):
            link = work / "imgs" / f"r{k}_{i:05d}{Path(f).suffix}"
            try:
                os.link(f, link)
            except OSError:
                shutil.copyfile(f, link)
            out.append(str(link))
    return out


def bench_sequential(files, model, threads):
    import cv2
    import numpy as np

    from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector

    t0 = time.perf_counter()
    det = (zv_road_object_detector(model) if threads is None
           else zv_road_object_detector(model, threads=threads))
    t1 = time.perf_counter()
    for path in files:
        det(cv2.imdecode(np.fromfile(path, dtype=np.uint8), cv2.IMREAD_COLOR))
    t2 = time.perf_counter()
    return {"wall_s": t2 - t0, "fixed_s": t1 - t0, "steady_img_s": len(files) / (t2 - t1)}


def bench_stream(files, model, workers):
    try:
        from zorvane_road_objects.detection.pipeline import detect_stream
    except ImportError:
        return None
    t0 = time.perf_counter()
    first = None
    n = 0
    with detect_stream(files, model, workers=workers, threads=1) as stream:
        for _ in stream:
            n += 1
            if first is None:
                first = time.perf_counter()
    t2 = time.perf_counter()
    assert n == len(files), (n, len(files))
    steady = (n - 1) / (t2 - first) if n > 1 and t2 > first else float("nan")
    return {"wall_s": t2 - t0, "fixed_s": first - t0, "steady_img_s": steady}


def _cpu_table() -> dict[int, tuple[str, float]]:
    """pid -> (kind, CPU seconds) of this user's processes (Linux)."""
    out = {}
    tick = os.sysconf("SC_CLK_TCK") if hasattr(os, "sysconf") else 100
    for name in os.listdir("/proc") if os.path.isdir("/proc") else ():
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as fh:
                rest = fh.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{name}/cmdline", "rb") as fh:
                cmd = fh.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        out[int(name)] = (cmd, (int(rest[11]) + int(rest[12])) / tick)
    return out


def _kind(cmd: str) -> str:
    if "DetectActor" in cmd or "MapWorker" in cmd:
        return "actor"
    for name in ("raylet", "gcs_server", "DashboardAgent", "RuntimeEnvAgent", "log_monitor", "monitor",
                 "dashboard", "ray::IDLE", "ray::"):
        if name in cmd:
            return f"ray: {name}"
    return "other"


def bench_batch(files, model, workers, batch_size, out_dir, use_ray):
    from zorvane_road_objects.batch.runner import detect_dataset

    marks = []
    before = _cpu_table()
    after = {}

    def progress(done, total):
        marks.append((time.perf_counter(), done))
        if done == total and use_ray:
            after.update(_cpu_table())

    t0 = time.perf_counter()
    name = f"{'ray' if use_ray else 'inproc'}_{workers}"
    summary = detect_dataset(files, out_dir / name, model, workers=workers, use_ray=use_ray,
                             batch_size=batch_size, progress=progress, overwrite=True)
    t2 = time.perf_counter()
    (t_first, n_first) = marks[0]
    steady = (len(files) - n_first) / (t2 - t_first) if t2 > t_first else float("nan")
    assert summary.rows == len(files), summary
    cpu = {}
    for pid, (cmd, sec) in after.items():
        if pid == os.getpid():
            kind, sec = "driver (this process)", sec - before.get(pid, ("", 0.0))[1]
        elif pid in before:
            continue
        else:
            kind = _kind(cmd)
        cpu[kind] = round(cpu.get(kind, 0.0) + sec, 2)
    return {"wall_s": t2 - t0, "fixed_s": t_first - t0, "ray_start_s": summary.ray_start_seconds,
            "steady_img_s": steady, "errors": summary.errors, "cpu_s": cpu}


def bench_ray_start(repeat=2):
    import ray

    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False,
                 logging_level=logging.ERROR)
        t1 = time.perf_counter()
        ray.shutdown()
        times.append({"init_s": t1 - t0, "shutdown_s": time.perf_counter() - t1})
    return times


def _load():
    try:
        return [round(x, 2) for x in os.getloadavg()]
    except OSError:
        return None


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--folder", type=Path)
    ap.add_argument("--limit", type=int)
    ap.add_argument("--model", default="small_fp32")
    ap.add_argument("--repeat", type=int, default=4, help="go over the folder this many times (default 4)")
    ap.add_argument("--batch-size", type=int, default=64, help="images per actor call (default 64, as the command)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="threads per node (default: the cores)")
    ap.add_argument("--no-ray", action="store_true", help="leave out the Ray run")
    ap.add_argument("--rounds", type=int, default=3, help="interleaved runs of the in-process methods (median)")
    args = ap.parse_args(argv)
    folder = args.folder or next(f for f in DEFAULT_FOLDERS if f.is_dir())
    out_dir = Path(tempfile.mkdtemp(prefix="zv-bench-batch-out-"))
    files = _files(folder, args.limit, args.repeat, out_dir)
    os.environ["HOME"] = tempfile.mkdtemp(prefix="zv-bench-batch-")
    os.environ["ZORVANE_ROBJ_MODEL_SERVER"] = _serve_models()
    from zorvane_road_objects.zorvane_robj_p import download_robj_model

    download_robj_model(args.model)

    load_before = _load()
    w = args.workers
    rounds = {"sequential (1 thread)": lambda: bench_sequential(files, args.model, 1),
              f"detect --workers {w}": lambda: bench_stream(files, args.model, w),
              f"batch in-process ({w} threads)": lambda: bench_batch(files, args.model, w, args.batch_size,
                                                                     out_dir, False)}
    runs: dict[str, list] = {name: [] for name in rounds}
    for _ in range(args.rounds):  # interleaved, so that load changes hit every method alike
        for name, fn in rounds.items():
            runs[name].append(fn())
    rows = {}
    for name, results in runs.items():
        results.sort(key=lambda r: r["steady_img_s"])
        rows[name] = {**results[len(results) // 2], "steady_range": [results[0]["steady_img_s"],
                                                                     results[-1]["steady_img_s"]]}
    if not args.no_ray:
        rows[f"batch local Ray (1 actor x {w} threads)"] = bench_batch(
            files, args.model, w, args.batch_size, out_dir, True)
    ray_start = [] if args.no_ray else bench_ray_start()

    base = rows[f"detect --workers {w}"]["steady_img_s"]
    print(f"{len(files)} images ({args.repeat} x {folder}) on {os.cpu_count()} CPUs, model {args.model}, "
          f"load average before {load_before}")
    print(f"{'method':<42} {'wall s':>7} {'img/s':>7} {'fixed s':>8} {'steady img/s':>13} {'range':>13} "
          f"{'vs detect':>10}")
    for name, r in rows.items():
        r["img_s"] = len(files) / r["wall_s"]
        r["steady_vs_detect"] = r["steady_img_s"] / base
        lo, hi = r.get("steady_range", (r["steady_img_s"], r["steady_img_s"]))
        print(f"{name:<42} {r['wall_s']:7.2f} {r['img_s']:7.2f} {r['fixed_s']:8.2f} {r['steady_img_s']:13.2f} "
              f"{lo:6.1f}-{hi:<6.1f} {r['steady_vs_detect']:10.2f}")
    for name, r in rows.items():
        if r.get("cpu_s"):
            print(f"CPU seconds during '{name}': " + ", ".join(f"{k} {v:.2f}" for k, v in sorted(r["cpu_s"].items())))
    for i, t in enumerate(ray_start):
        print(f"bare ray.init (local, 2 CPUs) #{i + 1}: {t['init_s']:.2f} s, shutdown {t['shutdown_s']:.2f} s")
    load = [load_before, _load()]
    RESULTS.mkdir(parents=True, exist_ok=True)
    result = {"images": len(files), "folder": str(folder), "model": args.model,
              "batch_size": args.batch_size, "repeat": args.repeat, "cpus": os.cpu_count(),
              "loadavg_before_after": load,
              "python": sys.version.split()[0], "platform": platform.platform(),
              "methods": rows, "ray_start": ray_start}
    (RESULTS / "batch.json").write_text(json.dumps(result, indent=2))
    print(f"wrote {RESULTS / 'batch.json'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
