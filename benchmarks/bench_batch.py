"""Benchmark of batch detection on Ray Data against in-process detection.

On one folder of images, in one run:

- ``sequential``: the plain loop a user writes (read, decode, detect) with
  one detector at its default threads, and with one inference thread;
- ``detect_stream``: ``pipeline.detect_stream`` with 2 worker threads of one
  inference thread each, when the module exists;
- ``ray``: ``batch.detect_dataset`` with 1 and 2 actors, each run starting
  and stopping its own local Ray instance as the command does.

For the Ray runs the table splits the wall time into the fixed cost
(starting Ray, then starting the actors and loading the model until the
first batch comes back) and the steady rate after the first batch. A bare
``ray.init``/``ray.shutdown`` is timed on its own too. Ratios are against
the sequential loop at default threads. The model comes from the package's
model server on 127.0.0.1 into a temporary HOME.

    python benchmarks/bench_batch.py [--folder DIR] [--limit N] [--model small_fp32]

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


def bench_ray(files, model, workers, batch_size, out_dir):
    from zorvane_road_objects.batch.runner import detect_dataset

    marks = []
    t0 = time.perf_counter()
    summary = detect_dataset(files, out_dir / f"ray_{workers}.parquet", model, workers=workers,
                             batch_size=batch_size, progress=lambda d, t: marks.append((time.perf_counter(), d)))
    t2 = time.perf_counter()
    (t_first, n_first) = marks[0]
    steady = (len(files) - n_first) / (t2 - t_first) if t2 > t_first else float("nan")
    assert summary.rows == len(files), summary
    return {"wall_s": t2 - t0, "fixed_s": t_first - t0, "ray_start_s": summary.ray_start_seconds,
            "steady_img_s": steady, "errors": summary.errors}


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
    ap.add_argument("--batch-size", type=int, default=8, help="images per actor call (default 8, as the command)")
    args = ap.parse_args(argv)
    folder = args.folder or next(f for f in DEFAULT_FOLDERS if f.is_dir())
    out_dir = Path(tempfile.mkdtemp(prefix="zv-bench-batch-out-"))
    files = _files(folder, args.limit, args.repeat, out_dir)
    os.environ["HOME"] = tempfile.mkdtemp(prefix="zv-bench-batch-")
    os.environ["ZORVANE_ROBJ_MODEL_SERVER"] = _serve_models()
    from zorvane_road_objects.zorvane_robj_p import download_robj_model

    download_robj_model(args.model)

    load_before = _load()
    rows = {}
    rows["sequential (default threads)"] = bench_sequential(files, args.model, None)
    rows["sequential (1 thread)"] = bench_sequential(files, args.model, 1)
    stream = bench_stream(files, args.model, 2)
    if stream is not None:
        rows["detect_stream (2 workers x 1 thread)"] = stream
    for w in (1, 2):
        rows[f"ray (local, {w} actor{'s' if w > 1 else ''})"] = bench_ray(
            files, args.model, w, args.batch_size, out_dir)
    ray_start = bench_ray_start()

    base = len(files) / rows["sequential (default threads)"]["wall_s"]
    print(f"{len(files)} images ({args.repeat} x {folder}) on {os.cpu_count()} CPUs, model {args.model}, "
          f"load average before {load_before}")
    print(f"{'method':<40} {'wall s':>7} {'img/s':>7} {'vs seq':>7} {'fixed s':>8} {'steady img/s':>13}")
    for name, r in rows.items():
        r["img_s"] = len(files) / r["wall_s"]
        r["ratio_vs_sequential"] = r["img_s"] / base
        print(f"{name:<40} {r['wall_s']:7.2f} {r['img_s']:7.2f} {r['ratio_vs_sequential']:7.2f} "
              f"{r['fixed_s']:8.2f} {r['steady_img_s']:13.2f}")
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
