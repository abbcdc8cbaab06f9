#!/usr/bin/env python3
"""Forward time of each catalogue model, side by side with another set of
model files (the previous catalogue) and the bare upstream networks.

    python benchmarks/bench_model_forward.py [--baseline DIR] [--image IMG] [--runs N]

All sessions run in turn in one loop, so that all see the same machine
load, and the figures that matter are ratios within the run:

- catalogue: each model file of models/ (or --models-dir) on the detector's
  canvas feed; its run holds everything the graph adds around the networks
  (content extent, resizes, input convention, decoding, suppression);
- baseline: the model files of the same names in --baseline DIR;
- upstream: each upstream network alone on its own input tensor (made
  outside the graph by its native preprocessing), with its weights removed
  from the graph inputs (ONNX Runtime only folds and fuses weights that are
  not inputs).

Two measurements: cpu, one intra-op thread, CPU time of the calling thread
(ONNX Runtime runs a one-thread session on the caller), which other processes
hardly disturb; and wall, ONNX Runtime's default threads, wall-clock time
(noisy on a shared machine).

Prints a table and writes benchmarks/results/model_forward.json.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
from pathlib import Path

import cv2
import numpy as np
import onnx
import onnxruntime as ort

sys.path.insert(0, str(Path(__file__).resolve().parent))
import _pipelines as P  # noqa: E402


def _clean_upstream(path: Path) -> bytes:
    model = onnx.load_model_from_string(path.read_bytes())
    weights = {t.name for t in model.graph.initializer}
    keep = [i for i in model.graph.input if i.name not in weights]
    del model.graph.input[:]
    model.graph.input.extend(keep)
    return model.SerializeToString()


def _measure(runs_of: dict, runs: int, clock) -> dict[str, np.ndarray]:
    for _ in range(3):
        for run in runs_of.values():
            run()
    times = {k: [] for k in runs_of}
    for _ in range(runs):
        for k, run in runs_of.items():
            t = clock()
            run()
            times[k].append(clock() - t)
    return {k: np.array(v) / 1e6 for k, v in times.items()}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--image", type=Path, default=P.REPO / "samples" / "street_bus_cc-by.jpg")
    ap.add_argument("--runs", type=int, default=60)
    ap.add_argument("--models", default="small_fp32,medium_fp32,large_fp32",
                    help="comma-separated catalogue names, lowest tier first")
    ap.add_argument("--models-dir", type=Path, default=P.MODELS_DIR)
    ap.add_argument("--baseline", type=Path, help="folder of other model files of the same names")
    ap.add_argument("--no-wall", action="store_true", help="only the one-thread CPU time")
    ap.add_argument("--out", type=Path, default=P.REPO / "benchmarks" / "results" / "model_forward.json")
    args = ap.parse_args(argv)

    img = cv2.imread(str(args.image), cv2.IMREAD_COLOR)
    if img is None:
        raise SystemExit(f"cannot read {args.image}")
    # Contiguous, like the upstream model's input: copying the engine's
    # transposed view into ONNX Runtime is the engine's cost, not the graph's.
    canvas_feed = {k: np.ascontiguousarray(v) for k, v in P.canvas_inputs(img).items()}
    names = args.models.split(",")
    sets = {"catalogue": args.models_dir}
    if args.baseline:
        sets["baseline"] = args.baseline
    print(f"image {args.image.name} ({img.shape[1]}x{img.shape[0]}), {args.runs} runs per session, "
          f"onnxruntime {ort.__version__}, {os.cpu_count()} CPUs")

    def sessions(threads: int) -> dict:
        runs_of = {}
        for label, folder in sets.items():
            for name in names:
                sess = P.session(folder / f"zorvane_robj_d_{name}.dat", threads)
                runs_of[f"{label}/{name}"] = (lambda s=sess: s.run(None, canvas_feed))
        for key, (fname, _, size) in P.CATALOGUE.items():
            ref = P.ReferenceDetector(key)
            x, _ = ref.preprocess(img)
            sess = P.session(_clean_upstream(P.UPSTREAM_DIR / fname), threads, quiet=True)
            runs_of[f"upstream/{fname.split('.')[0]}"] = (lambda s=sess, i=ref.input_name, x=x: s.run(None, {i: x}))
        return runs_of

    result = {}
    measures = [("cpu_1thread", 1, time.thread_time_ns)]
    if not args.no_wall:
        measures.append(("wall_default_threads", 0, time.perf_counter_ns))
    for key, threads, clock in measures:
        t = _measure(sessions(threads), args.runs, clock)
        med = {k: float(np.median(v)) for k, v in t.items()}
        result[key] = {"median_ms": med, "min_ms": {k: float(v.min()) for k, v in t.items()}}
        print(f"{key}: median ms")
        for k, v in med.items():
            print(f"  {k:36s} {v:8.2f}")
        ratios = {}
        for label in sets:
            for prev, cur in zip(names, names[1:]):
                ratios[f"{label}: {cur} / {prev}"] = med[f"{label}/{cur}"] / med[f"{label}/{prev}"]
        if "baseline" in sets:
            for name in names:
                ratios[f"{name}: catalogue / baseline"] = med[f"catalogue/{name}"] / med[f"baseline/{name}"]
        result[key]["ratios"] = ratios
        for k, v in ratios.items():
            print(f"  {k:36s} x{v:.2f}")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({
        "image": args.image.name, "runs": args.runs, "onnxruntime": ort.__version__,
        "cpus": os.cpu_count(), "machine": platform.machine(),
        "sets": {k: str(v) for k, v in sets.items()}, "models": names, **result}, indent=2) + "\n")
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
