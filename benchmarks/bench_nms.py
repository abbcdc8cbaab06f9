"""Benchmark of ``zorvane_road_objects.utils.nms`` on 10,000 boxes.

Runs ``nms`` on several box layouts (realistic detector output, heavy
overlap, no overlap at all, degenerate boxes...), checks every result
against the plain greedy loop, and prints a table of median times; then
runs the crossing layout (long thin boxes across each other) at growing
sizes, 200,000 to 800,000 boxes by default, where the time per box should
stay about flat.  The figures also go to ``benchmarks/results/nms.json``.

    python benchmarks/bench_nms.py [--boxes N] [--repeat R] [--threshold T]
                                   [--scale 200000,400000] [--no-plain]
"""

from __future__ import annotations

import argparse
import json
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

from zorvane_road_objects.utils import nms

RESULTS = Path(__file__).resolve().parent / "results"
sys.path.insert(0, str(RESULTS.parent.parent / "tests"))
from _nms_ref import plain_greedy  # noqa: E402


def _boxes(corner, size):
    return np.concatenate([corner, corner + size], axis=1).astype(np.float32)


def _percent(rng, n):
    """Scores as the engine passes them: whole percent / 100, float32."""
    return (rng.integers(1, 100, n) / 100.0).astype(np.float32)


def layout_detector(rng, n):
    """A detector's raw output for one class: ~100 objects, each with a
    tight cluster of candidate boxes, over a Full HD frame, plus scattered
    low-score boxes."""
    objects = 100
    per = int(n * 0.6) // objects
    background = n - objects * per
    centre = rng.random((objects, 2)) * [1920, 1080]
    size = np.exp(rng.uniform(np.log(20), np.log(400), (objects, 2)))
    k = np.repeat(np.arange(objects), per)
    s = size[k] * np.exp(rng.normal(0, 0.08, (k.size, 2)))
    c = centre[k] + rng.normal(0, 0.06, (k.size, 2)) * size[k] - s / 2
    bs = np.exp(rng.uniform(np.log(10), np.log(200), (background, 2)))
    bc = rng.random((background, 2)) * [1920, 1080]
    boxes = np.concatenate([_boxes(c, s), _boxes(bc, bs)])
    scores = np.concatenate([
        (rng.integers(30, 100, k.size) / 100.0),
        (rng.integers(1, 40, background) / 100.0),
    ]).astype(np.float32)
    return boxes, scores


def layout_dense_clusters(rng, n):
    """500 objects of 20 boxes each, so many that the objects overlap too."""
    objects = 500
    centre = rng.random((objects, 2)) * [1920, 1080]
    size = rng.uniform(20, 300, (objects, 2))
    k = rng.integers(0, objects, n)
    c = centre[k] + rng.normal(0, 0.1, (n, 2)) * size[k]
    s = size[k] * (1 + rng.normal(0, 0.1, (n, 2)))
    return _boxes(c, s), _percent(rng, n)


def layout_uniform(rng, n):
    """Boxes of 5 to 105 pixels a side, uniformly over 1000 x 1000."""
    c = rng.random((n, 2)) * 1000
    s = rng.random((n, 2)) * 100 + 5
    return _boxes(c, s), _percent(rng, n)


def layout_grid(rng, n):
    """A square grid of small disjoint boxes: nothing overlaps, all kept."""
    side = int(np.ceil(np.sqrt(n)))
    g = np.stack(np.meshgrid(np.arange(side), np.arange(side)), -1).reshape(-1, 2)[:n]
    return _boxes(g * 10.0, np.full((n, 2), 8.0)), rng.random(n).astype(np.float32)


def layout_grid_touching(rng, n):
    """A grid whose neighbours share edges (IoU 0 exactly), equal scores."""
    side = int(np.ceil(np.sqrt(n)))
    g = np.stack(np.meshgrid(np.arange(side), np.arange(side)), -1).reshape(-1, 2)[:n]
    return _boxes(g * 10.0, np.full((n, 2), 10.0)), np.full(n, 0.5, np.float32)


def layout_grid_overlap(rng, n):
    """A grid whose neighbours overlap a little (IoU about 0.18)."""
    side = int(np.ceil(np.sqrt(n)))
    g = np.stack(np.meshgrid(np.arange(side), np.arange(side)), -1).reshape(-1, 2)[:n]
    return _boxes(g * 10.0, np.full((n, 2), 13.0)), _percent(rng, n)


def layout_heavy(rng, n):
    """10 piles of 1,000 nearly identical boxes."""
    centre = rng.random((10, 2)) * 500
    k = rng.integers(0, 10, n)
    c = centre[k] + rng.normal(0, 3, (n, 2))
    return _boxes(c, 100 + rng.normal(0, 3, (n, 2))), _percent(rng, n)


def layout_identical(rng, n):
    """One box, 10,000 times, all with the same score."""
    return np.tile(np.float32([[10, 20, 110, 220]]), (n, 1)), np.full(n, 0.5, np.float32)


def layout_chain(rng, n):
    """A diagonal chain: each box overlaps the next with IoU about 0.6."""
    c = np.arange(n, dtype=np.float64)[:, None] * [2.5, 2.5]
    return _boxes(c, np.full((n, 2), 20.0)), np.linspace(1, 0, n).astype(np.float32)


def layout_strips(rng, n):
    """Long thin strips in one direction: every box overlaps every other
    along x, and hardly any along y."""
    y = rng.random(n) * 10000
    x = rng.random(n) * 20
    return _boxes(np.stack([x, y], 1), np.stack([np.full(n, 1000.0), np.full(n, 3.0)], 1)), \
        _percent(rng, n)


def layout_crossing(rng, n):
    """Half horizontal and half vertical strips, every horizontal crossing
    every vertical with a tiny IoU."""
    half = n // 2
    y = rng.random(half) * 1000
    x = rng.random(n - half) * 1000
    h = _boxes(np.stack([np.zeros(half), y], 1), np.tile([1000.0, 2.0], (half, 1)))
    v = _boxes(np.stack([x, np.zeros(n - half)], 1), np.tile([2.0, 1000.0], (n - half, 1)))
    return np.concatenate([h, v]), _percent(rng, n)


def layout_degenerate(rng, n):
    """Detector-like boxes of which a third have zero or negative width or
    height and a few have NaN coordinates."""
    boxes, scores = layout_detector(rng, n)
    k = rng.random(n)
    boxes[k < 0.17, 2] = boxes[k < 0.17, 0] - rng.random(np.count_nonzero(k < 0.17)) * 5
    boxes[(k >= 0.17) & (k < 0.33), 3] = boxes[(k >= 0.17) & (k < 0.33), 1]
    boxes[(k >= 0.33) & (k < 0.35), 0] = np.nan
    return boxes, scores


LAYOUTS = {
    "detector": layout_detector,
    "dense_clusters": layout_dense_clusters,
    "uniform": layout_uniform,
    "grid_disjoint": layout_grid,
    "grid_touching": layout_grid_touching,
    "grid_overlap": layout_grid_overlap,
    "heavy_overlap": layout_heavy,
    "identical": layout_identical,
    "chain": layout_chain,
    "strips": layout_strips,
    "crossing": layout_crossing,
    "degenerate": layout_degenerate,
}


def _time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return times


def scale(sizes, threshold, seed, plain):
    """The crossing layout at each size: one timed run, checked against the
    plain loop unless `plain` is false; time per box relative to the first
    size shows whether the cost grows faster than the number of boxes."""
    rows = []
    if not sizes:
        return rows
    head = (f"{'boxes':>8} {'kept':>6} {'nms':>9} {'us/box':>7} {'vs first':>8} "
            f"{'plain loop':>11} {'speed-up':>8}")
    print(f"\ncrossing layout by size, IoU threshold {threshold}")
    print(head)
    print("-" * len(head))
    for n in sizes:
        boxes, scores = layout_crossing(np.random.default_rng(seed), n)
        t0 = time.perf_counter()
        keep = nms(boxes, scores, threshold)
        took = time.perf_counter() - t0
        row = {"layout": "crossing", "boxes": n, "kept": int(keep.size), "nms_s": took,
               "us_per_box": took / n * 1e6}
        row["per_box_vs_first"] = row["us_per_box"] / (rows[0]["us_per_box"] if rows else row["us_per_box"])
        line = (f"{n:8d} {keep.size:6d} {took:8.2f}s {row['us_per_box']:7.2f} "
                f"{row['per_box_vs_first']:7.2f}x")
        if plain:
            t0 = time.perf_counter()
            expected = plain_greedy(boxes, scores, threshold)
            row["plain_loop_s"] = time.perf_counter() - t0
            row["speedup"] = row["plain_loop_s"] / took
            if not np.array_equal(keep, expected):
                raise SystemExit(f"crossing at {n}: nms differs from the plain greedy loop")
            line += f" {row['plain_loop_s']:10.1f}s {row['speedup']:7.1f}x"
        rows.append(row)
        print(line)
    return rows


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--boxes", type=int, default=10_000)
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--threshold", type=float, default=0.5)
    ap.add_argument("--layouts", default=",".join(LAYOUTS))
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--no-plain", action="store_true",
                    help="skip the plain loop (and the check against it) in the size runs")
    ap.add_argument("--scale", default="200000,400000,600000,800000",
                    help="box counts for the crossing layout by size ('' to skip)")
    args = ap.parse_args(argv)
    sizes = [int(v) for v in args.scale.split(",") if v.strip()]

    rows = []
    head = f"{'layout':16} {'kept':>6} {'nms median':>11} {'nms min':>9} {'plain loop':>11} {'speed-up':>8}"
    print(f"nms on {args.boxes} boxes, IoU threshold {args.threshold}, median of {args.repeat}")
    print(head)
    print("-" * len(head))
    for name in args.layouts.split(","):
        rng = np.random.default_rng(args.seed)
        boxes, scores = LAYOUTS[name](rng, args.boxes)
        nms(boxes, scores, args.threshold)  # warm up
        times = _time(lambda: nms(boxes, scores, args.threshold), args.repeat)
        keep = nms(boxes, scores, args.threshold)
        t0 = time.perf_counter()
        expected = plain_greedy(boxes, scores, args.threshold)
        plain = time.perf_counter() - t0
        if not np.array_equal(keep, expected):
            raise SystemExit(f"{name}: nms differs from the plain greedy loop")
        med = statistics.median(times)
        rows.append({
            "layout": name,
            "boxes": int(boxes.shape[0]),
            "kept": int(keep.size),
            "median_ms": med * 1e3,
            "min_ms": min(times) * 1e3,
            "plain_loop_ms": plain * 1e3,
            "speedup": plain / med,
        })
        print(f"{name:16} {keep.size:6d} {med * 1e3:9.2f}ms {min(times) * 1e3:7.2f}ms "
              f"{plain * 1e3:9.1f}ms {plain / med:7.1f}x")
    scale_rows = scale(sizes, args.threshold, args.seed, not args.no_plain)
    RESULTS.mkdir(parents=True, exist_ok=True)
    out = RESULTS / "nms.json"
    out.write_text(json.dumps({
        "benchmark": "nms",
        "boxes": args.boxes,
        "iou_threshold": args.threshold,
        "repeat": args.repeat,
        "numpy": np.__version__,
        "python": platform.python_version(),
        "machine": platform.machine(),
        "layouts": rows,
        "crossing_by_size": scale_rows,
    }, indent=2) + "\n")
    print(f"results: {out}")


if __name__ == "__main__":
    main()
