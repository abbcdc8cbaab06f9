"""Benchmark of the detection pipeline, stage by stage.

Measures, through the public engine ``zv_robj_d.detect_objects`` (its
internal steps are not reachable from Python):

1. Preprocessing: the engine on a tiny model that ignores its input and
   returns no rows costs preprocessing plus a near-empty ``session.run``
   (timed separately on the same feed and subtracted).  Beside it, the
   NumPy/OpenCV chain that the engine must match bit for bit (resize, paste
   on a zeroed canvas, BGR to RGB, /255, channel-first).
2. Decoding: the engine on a tiny model returning a fixed 10,000 x 6 float32
   array, minus the engine on the empty model (each minus its own
   ``session.run``), for rows that all fail the confidence threshold and for
   a realistic mix that passes it and goes through ``nms``.
3. The real detector: the catalogue model ``models/zorvane_robj_d_small_fp32.dat``
   when it exists, else YOLOX-Nano wrapped to the model interface here.
   Its ``session.run`` is timed on the engine's feed.  The time outside
   ``session.run`` is measured on a constant model that replays the
   detector's own output for that image: the engine then does everything
   it does with the real model (preprocessing, decoding those rows, ``nms``)
   except the forward pass, whose near-zero replay is timed and subtracted.
   Measuring the small remainder directly, rather than as the difference
   of two large, noisy forward passes, keeps it stable; that difference is
   kept in the JSON as a cross-check.

Image sizes 640x480, 1280x720, 1920x1080 and 3840x2160 (a street photo
resized, or noise if the sample is missing).  Each call is
repeated in blocks that take turns over several rounds and reported as a
median; a table is printed and the
figures go to ``benchmarks/results/pipeline.json``.

    python benchmarks/bench_pipeline.py [--repeat R] [--model PATH]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import statistics
import time
from pathlib import Path

import cv2
import numpy as np
import onnx
import onnxruntime as ort
from onnx import TensorProto, helper, numpy_helper

from _pipelines import canvas_inputs
from _models import _inputs as _interface_inputs
from zorvane_road_objects.utils import nms
from zorvane_road_objects.zorvane_robj_d import zv_robj_d

REPO = Path(__file__).resolve().parent.parent
RESULTS = REPO / "benchmarks" / "results"
CATALOGUE_MODEL = REPO / "models" / "zorvane_robj_d_small_fp32.dat"
UPSTREAM_YOLOX = [
    REPO / "third_party" / "upstream_models" / "yolox_nano_416.onnx",
    REPO.parent / "shared" / "data" / "models" / "yolox_nano_416.onnx",
]
SAMPLES = [REPO / "samples" / "street_bus_cc-by.jpg",
           REPO.parent / "shared" / "data" / "samples" / "street_bus_cc-by.jpg"]
SIZES = [(640, 480), (1280, 720), (1920, 1080), (3840, 2160)]  # width x height
CANVAS = 640
DECODE_ROWS = 10_000


# --------------------------------------------------------------------------
# Models


def constant_model(rows: np.ndarray) -> bytes:
    """A model that ignores its inputs and returns `rows` as "detections"."""
    rows = np.ascontiguousarray(rows, dtype=np.float32)
    node = helper.make_node("Constant", [], ["detections"], value=numpy_helper.from_array(rows))
    out = helper.make_tensor_value_info("detections", TensorProto.FLOAT, list(rows.shape))
    graph = helper.make_graph([node], "constant_rows", _interface_inputs(), [out])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model.SerializeToString()


def wrapped_yolox(path: Path) -> bytes:
    """YOLOX-Nano behind the detector's model interface, minimally.

    The canvas is resized to the network's 416 x 416 input (so the image
    keeps the canvas's top-left placement, black padding instead of the
    network's grey), turned back into BGR 0-255, and the raw output is
    decoded to rows [class, score, left, top, right, bottom] in the
    caller's pixels: one row per anchor, no suppression inside the graph
    (the engine's confidence threshold and ``nms`` do that).
    """
    net = onnx.load(str(path))
    side = 416
    n_in = net.graph.input[0].name
    n_out = net.graph.output[0].name
    grid, stride = [], []
    for s in (8, 16, 32):
        g = side // s
        yy, xx = np.meshgrid(np.arange(g), np.arange(g), indexing="ij")
        grid.append(np.stack([xx.ravel(), yy.ravel()], 1))
        stride.append(np.full((g * g, 1), s))
    grid = np.concatenate(grid).astype(np.float32)
    stride = np.concatenate(stride).astype(np.float32)

    def const(name, value):
        return numpy_helper.from_array(np.asarray(value), name)

    inits = [
        const("zv_roi", np.zeros(0, np.float32)),
        const("zv_scales", np.zeros(0, np.float32)),
        const("zv_sizes", np.array([1, 3, side, side], np.int64)),
        const("zv_bgr", np.array([2, 1, 0], np.int64)),
        const("zv_255", np.array(255.0, np.float32)),
        const("zv_grid", grid),
        const("zv_stride", stride),
        const("zv_half", np.array(0.5, np.float32)),
        const("zv_back", np.array(CANVAS / side, np.float32)),
        const("zv_c0", np.array([0], np.int64)),
        const("zv_c2", np.array([2], np.int64)),
        const("zv_c4", np.array([4], np.int64)),
        const("zv_c5", np.array([5], np.int64)),
        const("zv_c85", np.array([85], np.int64)),
        const("zv_ax1", np.array([1], np.int64)),
    ]
    mk = helper.make_node
    pre = [
        mk("Resize", ["image", "zv_roi", "zv_scales", "zv_sizes"], ["zv_small"], mode="linear"),
        mk("Gather", ["zv_small", "zv_bgr"], ["zv_bgr_small"], axis=1),
        mk("Mul", ["zv_bgr_small", "zv_255"], [n_in]),
    ]
    post = [
        mk("Squeeze", [n_out], ["zv_raw"], axes=[0]),
        mk("Slice", ["zv_raw", "zv_c0", "zv_c2", "zv_ax1"], ["zv_xy"]),
        mk("Slice", ["zv_raw", "zv_c2", "zv_c4", "zv_ax1"], ["zv_wh"]),
        mk("Slice", ["zv_raw", "zv_c4", "zv_c5", "zv_ax1"], ["zv_obj"]),
        mk("Slice", ["zv_raw", "zv_c5", "zv_c85", "zv_ax1"], ["zv_cls"]),
        mk("Add", ["zv_xy", "zv_grid"], ["zv_xy_g"]),
        mk("Mul", ["zv_xy_g", "zv_stride"], ["zv_centre"]),
        mk("Exp", ["zv_wh"], ["zv_wh_e"]),
        mk("Mul", ["zv_wh_e", "zv_stride"], ["zv_size"]),
        mk("Mul", ["zv_size", "zv_half"], ["zv_halfsize"]),
        mk("Sub", ["zv_centre", "zv_halfsize"], ["zv_lt416"]),
        mk("Add", ["zv_centre", "zv_halfsize"], ["zv_rb416"]),
        mk("Mul", ["zv_lt416", "zv_back"], ["zv_lt640"]),
        mk("Mul", ["zv_rb416", "zv_back"], ["zv_rb640"]),
        mk("Div", ["zv_lt640", "scale_factor"], ["zv_lt"]),
        mk("Div", ["zv_rb640", "scale_factor"], ["zv_rb"]),
        mk("ReduceMax", ["zv_cls"], ["zv_best"], axes=[1], keepdims=1),
        mk("ArgMax", ["zv_cls"], ["zv_label_i"], axis=1, keepdims=1),
        mk("Cast", ["zv_label_i"], ["zv_label"], to=TensorProto.FLOAT),
        mk("Mul", ["zv_obj", "zv_best"], ["zv_score"]),
        mk("Concat", ["zv_label", "zv_score", "zv_lt", "zv_rb"], ["detections"], axis=1),
    ]
    # "im_shape" is part of the interface but not needed here.
    mk_id = mk("Identity", ["im_shape"], ["zv_unused"])
    graph = helper.make_graph(
        pre + list(net.graph.node) + post + [mk_id],
        "yolox_nano_interface",
        _interface_inputs(),
        [helper.make_tensor_value_info("detections", TensorProto.FLOAT, [None, 6])],
        initializer=list(net.graph.initializer) + inits,
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    return model.SerializeToString()


def decode_rows(rng, passing: bool) -> np.ndarray:
    """10,000 rows [class, score, left, top, right, bottom].

    passing=False: every score is at most 0.5 (dropped by the threshold, so
    the rows are only read).  passing=True: scores spread over [0, 1) and
    classes over 0-15, so about a quarter of the rows become detection
    records, in clusters of overlapping boxes that ``nms`` thins out.
    """
    n = DECODE_ROWS
    cls = rng.integers(0, 16, n).astype(np.float32)
    score = rng.random(n).astype(np.float32)
    if not passing:
        score *= 0.5
    centre = (rng.random((n // 25, 2)) * [1920, 1080])[rng.integers(0, n // 25, n)]
    centre += rng.normal(0, 6, (n, 2))
    size = rng.uniform(20, 200, (n, 2))
    boxes = np.concatenate([centre - size / 2, centre + size / 2], 1)
    return np.concatenate([cls[:, None], score[:, None], boxes], 1).astype(np.float32)


# The engine's class table: model class id -> detection class id.
CLASS_TABLE = {0: 0, 1: 1, 3: 2, 2: 3, 5: 4, 7: 5, 9: 6, 11: 7}


def nms_groups(rows: np.ndarray, conf: float = 0.5) -> list:
    """The (boxes, scores) of the ``nms`` calls the engine makes for `rows`
    (one per class group, scores the truncated percents / 100), to time the
    suppression apart from the rest of the decoding."""
    score = rows[:, 1].astype(np.float32)
    groups: dict[int, list[int]] = {}
    for i in np.flatnonzero(score > np.float32(conf)).tolist():
        cid = CLASS_TABLE.get(int(rows[i, 0]))
        if cid is not None:
            groups.setdefault(cid, []).append(i)
    out = []
    for idx in groups.values():
        boxes = np.array([[float(v) for v in rows[i, 2:6]] for i in idx], dtype=np.float32)
        pct = [math.trunc(float(score[i]) * 100.0) / 100.0 for i in idx]
        out.append((boxes, np.array(pct, dtype=np.float32)))
    return out


# --------------------------------------------------------------------------
# Feeds and timing


def numpy_chain(bgr: np.ndarray) -> dict:
    """The preprocessing chain as the engine's contract describes it."""
    return canvas_inputs(bgr)


def session(model: bytes) -> ort.InferenceSession:
    """A session like the engine's on the CPU back end (default options)."""
    return ort.InferenceSession(model, providers=["CPUExecutionProvider"])


def run_feed(sess, feed):
    return sess.run(None, feed)


def resize_only(bgr: np.ndarray) -> np.ndarray:
    """The resize step alone, which both paths share (both call OpenCV)."""
    h, w = bgr.shape[0], bgr.shape[1]
    s = np.float32(CANVAS) / np.float32(max(h, w))
    size = (int(np.float32(w) * s), int(np.float32(h) * s))
    return cv2.resize(bgr, size, interpolation=cv2.INTER_LINEAR)


def contiguous(feed: dict) -> dict:
    """The feed as the engine hands it over: its native preprocessing makes
    a fresh contiguous tensor (the NumPy chain's channel-first view would
    make ONNX Runtime copy it first)."""
    return {k: np.ascontiguousarray(v) for k, v in feed.items()}


class Timings(dict):
    """Median seconds per name; the minimums ride along in `.low`."""

    low: dict


def timed(fns: dict, repeat: int, rounds: int = 5) -> Timings:
    """Time each callable `repeat` times in all.

    The calls of one callable run back to back (after a pause and a warm-up
    call), so that none is timed right after a different kind of call: ONNX
    Runtime's and OpenCV's worker threads keep spinning for a while after a
    parallel call and would slow down whatever ran next.  The callables take
    turns over several rounds, so a slow spell of the machine hits them all.
    """
    times = {k: [] for k in fns}
    clock = time.perf_counter
    per_round = max(1, -(-repeat // rounds))
    for _ in range(rounds):
        for k, f in fns.items():
            time.sleep(0.05)
            f()
            for _ in range(per_round):
                t0 = clock()
                f()
                times[k].append(clock() - t0)
    out = Timings((k, statistics.median(v)) for k, v in times.items())
    out.low = {k: min(v) for k, v in times.items()}
    return out


def frame(width: int, height: int) -> np.ndarray:
    for path in SAMPLES:
        img = cv2.imread(str(path), cv2.IMREAD_COLOR)
        if img is not None:
            return cv2.resize(img, (width, height), interpolation=cv2.INTER_AREA)
    return np.random.default_rng(0).integers(0, 256, (height, width, 3), dtype=np.uint8)


def real_model(arg: str | None) -> tuple[bytes, str]:
    if arg:
        return Path(arg).read_bytes(), arg
    if CATALOGUE_MODEL.is_file():
        return CATALOGUE_MODEL.read_bytes(), str(CATALOGUE_MODEL.relative_to(REPO))
    for path in UPSTREAM_YOLOX:
        if path.is_file():
            return wrapped_yolox(path), f"{path.name} wrapped by the benchmark"
    raise SystemExit("no detector model found (models/ or the upstream YOLOX-Nano file)")


# --------------------------------------------------------------------------


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=25)
    ap.add_argument("--model", help="detector model file (default: catalogue or wrapped YOLOX)")
    args = ap.parse_args(argv)
    ms = 1e3

    model, model_label = real_model(args.model)
    empty_model = constant_model(np.zeros((0, 6), np.float32))
    engines = {
        "empty": zv_robj_d(empty_model, 0.5, 0.5, "bench", "cpu"),
        "real": zv_robj_d(model, 0.5, 0.5, "bench", "cpu"),
    }
    sessions = {"empty": session(empty_model), "real": session(model)}

    print(f"detector: {model_label}; onnxruntime {ort.__version__}, "
          f"{os.cpu_count()} CPUs, median of {args.repeat}")
    print()
    sizes = []
    head = (f"{'image':>10} {'preproc':>8} {'numpy':>8} {'x':>5} {'run':>8} "
            f"{'decode':>7} {'total':>8} {'outside':>8} {'share':>6} {'dets':>4}")
    print("per image (ms): preproc = native preprocessing, numpy = the NumPy/OpenCV chain,")
    print("run = session.run, decode = decode + nms, outside = preproc + decode + engine")
    print("overhead, total = run + outside; dets = detections reported")
    print(head)
    print("-" * len(head))
    for width, height in SIZES:
        img = frame(width, height)
        feed = contiguous(numpy_chain(img))
        # The detector's own rows for this image, replayed by a constant
        # model: the engine on it does everything but the real forward pass.
        rows = sessions["real"].run(None, feed)[0]
        replay = constant_model(rows)
        engines["replay"] = zv_robj_d(replay, 0.5, 0.5, "bench", "cpu")
        sessions["replay"] = session(replay)
        dets = len(engines["real"].detect_objects(img)["results"])
        t = timed({
            "engine_empty": lambda: engines["empty"].detect_objects(img),
            "run_empty": lambda: run_feed(sessions["empty"], feed),
            "numpy_chain": lambda: numpy_chain(img),
            "resize_only": lambda: resize_only(img),
            "engine_replay": lambda: engines["replay"].detect_objects(img),
            "run_replay": lambda: run_feed(sessions["replay"], feed),
            "engine_real": lambda: engines["real"].detect_objects(img),
            "run_real": lambda: run_feed(sessions["real"], feed),
        }, args.repeat)
        pre = t["engine_empty"] - t["run_empty"]
        outside = t["engine_replay"] - t["run_replay"]
        decode = outside - pre
        run = t["run_real"]
        total = run + outside
        row = {
            "width": width, "height": height, "detections": dets,
            "model_rows": int(rows.shape[0]),
            "preprocess_native_ms": pre * ms,
            "preprocess_numpy_ms": t["numpy_chain"] * ms,
            "preprocess_speedup": t["numpy_chain"] / pre if pre > 0 else None,
            "resize_only_ms": t["resize_only"] * ms,
            "session_run_ms": run * ms,
            "decode_nms_ms": decode * ms,
            "outside_run_ms": outside * ms,
            "detect_total_ms": total * ms,
            "outside_run_share": outside / total,
            # Cross-check: the engine on the real model, minus its run.
            "engine_real_ms": t["engine_real"] * ms,
            "engine_real_minus_run_ms": (t["engine_real"] - run) * ms,
            "raw_medians_ms": {k: v * ms for k, v in t.items()},
            "raw_minimums_ms": {k: v * ms for k, v in t.low.items()},
        }
        sizes.append(row)
        print(f"{width:>5}x{height:<4} {pre * ms:8.2f} {t['numpy_chain'] * ms:8.2f} "
              f"{row['preprocess_speedup'] or 0:5.1f} {run * ms:8.2f} {decode * ms:7.2f} "
              f"{total * ms:8.2f} {outside * ms:8.2f} {outside / total:6.1%} {dets:4d}")

    # Decoding a 10,000-row float32 output.
    rng = np.random.default_rng(1)
    img = frame(640, 480)
    feed = contiguous(numpy_chain(img))
    decode = {}
    fns = {"engine_empty": lambda: engines["empty"].detect_objects(img),
           "run_empty": lambda: run_feed(sessions["empty"], feed)}
    kinds = {"below_threshold": False, "passing": True}
    counts = {}
    for kind, passing in kinds.items():
        rows = decode_rows(rng, passing)
        if passing:
            passing_rows = rows
        rows_model = constant_model(rows)
        eng = zv_robj_d(rows_model, 0.5, 0.5, "bench", "cpu")
        sess = session(rows_model)
        counts[kind] = len(eng.detect_objects(img)["results"])
        fns[f"engine_{kind}"] = (lambda e: lambda: e.detect_objects(img))(eng)
        fns[f"run_{kind}"] = (lambda s_: lambda: run_feed(s_, feed))(sess)
    t = timed(fns, args.repeat * 2)
    base = t["engine_empty"] - t["run_empty"]
    groups = nms_groups(passing_rows)
    nms_only = timed({"nms": lambda: [nms(b, s, 0.5) for b, s in groups]}, args.repeat * 2)["nms"]
    print()
    print(f"decode + nms of a {DECODE_ROWS}-row float32 output (ms):")
    for kind in kinds:
        cost = t[f"engine_{kind}"] - t[f"run_{kind}"] - base
        decode[kind] = {"decode_nms_ms": cost * ms, "detections": counts[kind],
                        "engine_ms": t[f"engine_{kind}"] * ms, "run_ms": t[f"run_{kind}"] * ms}
        print(f"  {kind:16} {cost * ms:7.2f}   ({counts[kind]} detections kept)")
    decode["passing"]["of_which_nms_ms"] = nms_only * ms
    print(f"  of which the nms calls on the passing rows: {nms_only * ms:.2f}")

    target = next(r for r in sizes if r["width"] == 1920)
    print()
    print(f"1920x1080: outside session.run {target['outside_run_share']:.1%} "
          f"(target < 5%), native preprocessing {target['preprocess_speedup'] or 0:.1f}x "
          f"the NumPy chain (target >= 3x)")

    RESULTS.mkdir(parents=True, exist_ok=True)
    out = RESULTS / "pipeline.json"
    out.write_text(json.dumps({
        "benchmark": "pipeline",
        "model": model_label,
        "repeat": args.repeat,
        "statistic": "median (raw minimums beside)",
        "onnxruntime": ort.__version__,
        "numpy": np.__version__,
        "opencv": cv2.__version__,
        "python": platform.python_version(),
        "cpus": os.cpu_count(),
        "sizes": sizes,
        "decode_10000_rows": decode,
    }, indent=2) + "\n")
    print(f"results: {out}")


if __name__ == "__main__":
    main()
