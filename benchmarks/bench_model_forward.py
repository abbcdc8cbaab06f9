#!/usr/bin/env python3
"""Forward time of each catalogue model against its upstream model.

    python benchmarks/bench_model_forward.py [--image IMG] [--runs N]

On the same image, the upstream network runs on its own input tensor (made
outside the graph by its native preprocessing) and the catalogue model runs
on the detector's canvas feed. The catalogue model's run holds everything the
graph adds: finding the content extent, the crop and resize to the network's
input, the input convention, box decoding, suppression and the top-k cap.

Three sessions per model, run in turn so that all see the same machine load:
the upstream file as it is, the upstream file with its weights removed from
the graph inputs (the form the catalogue model is built from: ONNX Runtime
only folds and fuses weights that are not inputs, so this is the fair
baseline for the cost of the added graph) and the catalogue model.

Two measurements:
- cpu: one intra-op thread, CPU time of the calling thread (ONNX Runtime runs
  a one-thread session on the caller), which other processes on the machine
  hardly disturb; this is the figure for the added cost;
- wall: ONNX Runtime's default threads, wall-clock time.

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

KINDS = ("upstream", "upstream_clean", "catalogue")


def _clean_upstream(path: Path) -> bytes:
    model = onnx.load_model_from_string(path.read_bytes())
    weights = {t.name for t in model.graph.initializer}
    keep = [i for i in model.graph.input if i.name not in weights]
    del model.graph.input[:]
    model.graph.input.extend(keep)
    return model.SerializeToString()


def _sessions(name: str, models_dir: Path, threads: int):
    fname = P.CATALOGUE[name][0]
    return {"upstream": P.session(P.UPSTREAM_DIR / fname, threads, quiet=True),
            "upstream_clean": P.session(_clean_upstream(P.UPSTREAM_DIR / fname), threads, quiet=True),
            "catalogue": P.session(models_dir / f"zorvane_robj_d_{name}.dat", threads)}


def _measure(sessions, feeds, runs: int, clock) -> dict[str, np.ndarray]:
    for _ in range(5):
        for k in KINDS:
            sessions[k].run(None, feeds[k])
    times = {k: [] for k in KINDS}
    for _ in range(runs):
        for k in KINDS:
            t = clock()
            sessions[k].run(None, feeds[k])
            times[k].append(clock() - t)
    return {k: np.array(v) / 1e6 for k, v in times.items()}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--image", type=Path, default=P.REPO / "samples" / "street_bus_cc-by.jpg")
    ap.add_argument("--runs", type=int, default=100)
    ap.add_argument("--models", default=",".join(P.CATALOGUE), help="comma-separated catalogue names")
    ap.add_argument("--models-dir", type=Path, default=P.MODELS_DIR)
    ap.add_argument("--out", type=Path, default=P.REPO / "benchmarks" / "results" / "model_forward.json")
    args = ap.parse_args(argv)

    img = cv2.imread(str(args.image), cv2.IMREAD_COLOR)
    if img is None:
        raise SystemExit(f"cannot read {args.image}")
    # Contiguous, like the upstream model's input: copying the engine's
    # transposed view into ONNX Runtime is the engine's cost, not the graph's.
    canvas_feed = {k: np.ascontiguousarray(v) for k, v in P.canvas_inputs(img).items()}
    print(f"image {args.image.name} ({img.shape[1]}x{img.shape[0]}), {args.runs} runs per session, "
          f"onnxruntime {ort.__version__}, {os.cpu_count()} CPUs")
    head = (f"{'model':12s} {'measure':22s} {'upstream':>9s} {'up. clean':>9s} {'catalogue':>9s}"
            f" {'added vs clean':>15s} {'vs upstream':>12s}")
    print(head)
    rows = []
    for name in args.models.split(","):
        ref = P.ReferenceDetector(name)
        up_x, _ = ref.preprocess(img)
        feeds = {"upstream": {ref.input_name: up_x}, "upstream_clean": {ref.input_name: up_x},
                 "catalogue": canvas_feed}
        row = {"model": name, "upstream": P.CATALOGUE[name][0], "input_size": P.CATALOGUE[name][2]}
        for label, threads, clock in (("cpu ms, 1 thread", 1, time.thread_time_ns),
                                      ("wall ms, default", 0, time.perf_counter_ns)):
            t = _measure(_sessions(name, args.models_dir, threads), feeds, args.runs, clock)
            med = {k: float(np.median(v)) for k, v in t.items()}
            added = 100.0 * (med["catalogue"] / med["upstream_clean"] - 1.0)
            vs_up = 100.0 * (med["catalogue"] / med["upstream"] - 1.0)
            key = "cpu_1thread" if threads == 1 else "wall_default_threads"
            row[key] = {"median_ms": med, "min_ms": {k: float(v.min()) for k, v in t.items()},
                        "added_percent_vs_clean": added, "percent_vs_upstream_file": vs_up}
            print(f"{name:12s} {label + ' (median)':22s} {med['upstream']:9.2f} {med['upstream_clean']:9.2f}"
                  f" {med['catalogue']:9.2f} {added:+14.1f}% {vs_up:+11.1f}%")
        rows.append(row)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({
        "image": args.image.name, "runs": args.runs, "onnxruntime": ort.__version__,
        "cpus": os.cpu_count(), "machine": platform.machine(), "models": rows}, indent=2) + "\n")
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
