#!/usr/bin/env python3
"""Tracking accuracy on real MOTChallenge sequences: the package's tracker
side by side with supervision's ByteTrack and norfair, on the same detections.

The sequences (MOTChallenge layout: img1/, gt/gt.txt, seqinfo.ini) are read
from ``../shared/data/mot/`` beside the checkout (evaluation only, never
copied into the repository). Every frame is run once through the package's
detection engine (``zv_robj_d``, the large tier's model file by default) at
a low threshold, so every tracker sees the same weak boxes; the records are
cached under ``--cache`` keyed by the model file's sha256, the threshold and
the overlap limit (a new model file computes them again).

Trackers, all on those records:

- ``zorvane``: ``zorvane_road_objects.detection.track.Tracker`` as the
  ``detect --track`` command sets it up (``--conf``, default settings),
  fed every class; its person tracks are scored;
- ``bytetrack``: ``supervision.ByteTrack`` (activation 0.5, buffer 30,
  matching 0.8, the sequence's frame rate), fed the person records;
- ``norfair``: ``norfair.Tracker`` with IoU distance (threshold 0.7, person
  records at or above 0.5, the library's other defaults); its active
  objects matched in the frame are scored with their detection's box.

Views (``--views``): every sequence is scored as filmed ("still", the
default) and, on request, made from its real frames, through a synthetic
moving camera that pans, zooms and shakes ("moving", see ``moving_camera``)
and as a crowded wide view of four half-size copies ("crowd", see
``crowd``); the engine runs on those frames too (cached likewise). The package tracker gets each frame's picture, as
``detect --track`` gives it (camera motion, looks); the peers take boxes.

Scores per sequence and over all of a view's sequences ("all still"...):
HOTA (TrackEval's HOTA metric, mean over the IoU thresholds 0.05-0.95),
MOTA, IDF1 and ID switches
(py-motmetrics, IoU 0.5). The MOT devkit's ignore rule applies: ground-truth
rows whose 7th column is 0 are regions to ignore; predicted boxes matched to
them (IoU >= 0.5, optimal assignment over all ground truth of the frame)
are dropped rather than counted as false positives, and the rows are then
removed. A timing row gives the package tracker's update time per frame at
10 and 50 moving objects (synthetic boxes; CPU time, best of three runs),
and at 50 with 1280 x 720 frames: ``update`` given each frame as
``prepare`` took it (the serial part), and ``prepare`` (done by the
pipeline's workers, in parallel).

The peers need the non-headless OpenCV and NumPy 1.x, so the benchmark has
its own environment:

    python3 -m venv /tmp/trackbench-venv
    /tmp/trackbench-venv/bin/pip install "supervision==0.30.*" norfair motmetrics \\
        trackeval opencv-python onnxruntime scipy
    cd /work/main && bash tools/devbuild.sh all
    PYTHONPATH=src /tmp/trackbench-venv/bin/python -P benchmarks/bench_tracking.py \\
        [--conf 0.5] [--model models/zorvane_robj_d_large_fp32.dat] [--label NAME] \\
        [--step N] [--views still,moving,crowd] [--tracker-module FILE] [--set NAME=VALUE]

Prints a table and writes ``benchmarks/results/tracking[-LABEL].json``.
"""

from __future__ import annotations

import argparse
import configparser
import dataclasses
import hashlib
import inspect
import json
import re
import sys
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent
RESULTS = REPO / "benchmarks" / "results"
MOT = REPO.parent / "shared" / "data" / "mot"
DEFAULT_MODEL = REPO / "models" / "zorvane_robj_d_large_fp32.dat"
PERSON = 0
# The package tracker under test: another module file, keyword overrides.
OPTIONS: dict = {"module": None, "set": {}}


# ---------------------------------------------------------------------------
# Data


def load_sequence(folder: Path) -> dict:
    ini = configparser.ConfigParser()
    ini.read(folder / "seqinfo.ini")
    info = ini["Sequence"]
    gt = np.loadtxt(folder / "gt" / "gt.txt", delimiter=",", ndmin=2)
    return {"name": info.get("name", folder.name), "folder": folder,
            "fps": float(info.get("frameRate", 30)), "length": int(info["seqLength"]),
            "ext": info.get("imExt", ".jpg"), "img": info.get("imDir", "img1"), "gt": gt}


def sha256(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def moving_camera(seq: dict, zoom: float = 1.3) -> dict:
    """The sequence as a moving camera would have filmed it: every frame is a
    window of the real one, ``1 / zoom`` of its size, that pans, zooms and
    shakes along a fixed path, scaled back up to the frame's size (no border
    ever shows). Ground truth moves with it; a box less than a third inside
    the window becomes a region to ignore."""
    h, w = read_frame(seq, 0).shape[:2]
    rng = np.random.default_rng(7)
    k = np.arange(seq["length"])
    s = zoom + 0.1 * np.sin(2 * np.pi * k / 90)  # slow zoom in and out
    room_x, room_y = w * (1 - 1 / s.max()) / 2, h * (1 - 1 / s.max()) / 2
    cx = w / 2 + 0.8 * room_x * np.sin(2 * np.pi * k / 70) + rng.uniform(-0.15, 0.15, k.size) * room_x
    cy = h / 2 + 0.5 * room_y * np.sin(2 * np.pi * k / 110 + 1) + rng.uniform(-0.15, 0.15, k.size) * room_y
    x0, y0 = cx - w / (2 * s), cy - h / (2 * s)
    warps = np.stack([x0, y0, s], axis=1)
    gt = seq["gt"].copy()
    f = gt[:, 0].astype(int) - 1
    left = (gt[:, 2] - 1 - x0[f]) * s[f]
    top = (gt[:, 3] - 1 - y0[f]) * s[f]
    right, bottom = left + gt[:, 4] * s[f], top + gt[:, 5] * s[f]
    cl, ct = np.clip(left, 0, w), np.clip(top, 0, h)
    cr, cb = np.clip(right, 0, w), np.clip(bottom, 0, h)
    inside = (cr - cl) * (cb - ct) / np.maximum((right - left) * (bottom - top), 1e-9)
    gt[:, 2], gt[:, 3], gt[:, 4], gt[:, 5] = cl + 1, ct + 1, cr - cl, cb - ct
    gt[inside < 1 / 3, 6] = 0
    gt = gt[(cr - cl > 1) & (cb - ct > 1)]
    return {**seq, "name": seq["name"] + "-moving", "gt": gt, "warps": warps}


def crowd(seq: dict) -> dict:
    """The sequence as a wide view of a crowded place: every frame holds four
    copies of the real one at half size, in a 2 x 2 grid (the frame's size
    kept): four times the people, each half as tall. Ground truth is copied
    into each quarter with identities of its own."""
    h, w = read_frame(seq, 0).shape[:2]
    parts = []
    for q, (dx, dy) in enumerate([(0, 0), (w / 2, 0), (0, h / 2), (w / 2, h / 2)]):
        gt = seq["gt"].copy()
        gt[:, 1] += q * 100000
        gt[:, 2] = (gt[:, 2] - 1) / 2 + dx + 1
        gt[:, 3] = (gt[:, 3] - 1) / 2 + dy + 1
        gt[:, 4:6] /= 2
        # Boxes reaching past their quarter are cut at its edges.
        left, top = np.maximum(gt[:, 2], dx + 1), np.maximum(gt[:, 3], dy + 1)
        right = np.minimum(gt[:, 2] + gt[:, 4], dx + w / 2 + 1)
        bottom = np.minimum(gt[:, 3] + gt[:, 5], dy + h / 2 + 1)
        inside = (right - left) * (bottom - top) / np.maximum(gt[:, 4] * gt[:, 5], 1e-9)
        gt[:, 2], gt[:, 3], gt[:, 4], gt[:, 5] = left, top, right - left, bottom - top
        gt[(inside < 1 / 3) & (gt[:, 6] != 0), 6] = 0
        parts.append(gt[(gt[:, 4] > 1) & (gt[:, 5] > 1)])
    return {**seq, "name": seq["name"] + "-crowd", "gt": np.concatenate(parts), "crowd": True}


def read_frame(seq: dict, i: int) -> np.ndarray:
    """Frame ``i`` (from 0) of the sequence, through its camera path or as
    a crowd when it is one."""
    import cv2

    img = cv2.imread(str(seq["folder"] / seq["img"] / f"{i + 1:06d}{seq['ext']}"))
    if img is None:
        raise SystemExit(f"cannot read frame {i + 1} of {seq['name']}")
    if seq.get("crowd"):
        h, w = img.shape[:2]
        half = cv2.resize(img, (w // 2, h // 2), interpolation=cv2.INTER_AREA)
        return cv2.resize(np.vstack([np.hstack([half, half]), np.hstack([half, half])]), (w, h))
    if seq.get("warps") is None:
        return img
    x0, y0, s = seq["warps"][i]
    m = np.array([[s, 0, -x0 * s], [0, s, -y0 * s]])
    return cv2.warpAffine(img, m, (img.shape[1], img.shape[0]), flags=cv2.INTER_LINEAR)


def detections(seq: dict, model: Path, det_conf: float, iou: float, cache: Path) -> list[list[dict]]:
    """The engine's records of every frame, from the cache when present."""
    key = f"{sha256(model)[:16]}-c{det_conf:g}-i{iou:g}"
    path = cache / key / f"{seq['name']}.json"
    if path.exists():
        return json.loads(path.read_text())
    from zorvane_road_objects.zorvane_robj_d import zv_robj_d

    engine = zv_robj_d(str(model), det_conf, iou, "bench", "cpu")
    frames = [engine.detect_objects(read_frame(seq, i))["results"] for i in range(seq["length"])]
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(frames))
    return frames


# ---------------------------------------------------------------------------
# Trackers: each maps (frames of records, fps) -> per frame [(track id, ltrb)]


def _package_track():
    if OPTIONS["module"]:
        import importlib.util

        found = importlib.util.spec_from_file_location("candidate_track", OPTIONS["module"])
        mod = sys.modules["candidate_track"] = importlib.util.module_from_spec(found)
        found.loader.exec_module(mod)
        return mod
    from zorvane_road_objects.detection import track

    return track


def _records_type():
    try:
        from zorvane_road_objects.detection.records import Detection
    except ImportError:
        @dataclasses.dataclass(frozen=True)
        class Detection:
            ltrb: tuple
            ltrb_conf: int
            class_id: int
            class_name: str
            track_id: int | None = None
    return Detection


def run_zorvane(frames, fps, conf, image=None):
    """``image(k)``: the k-th frame's picture, which the package tracker takes
    as ``detect --track`` gives it (for the camera's motion), when it can."""
    track = _package_track()
    out = []
    if "conf" in inspect.signature(track.Tracker).parameters:  # Detection records, timestamps
        Detection = _records_type()
        tracker = track.Tracker(conf, fps=fps, **OPTIONS["set"])
        with_frame = image is not None and "frame" in inspect.signature(tracker.update).parameters
        for k, recs in enumerate(frames):
            dets = [Detection(ltrb=tuple(r["ltrb"]), ltrb_conf=r["ltrb_conf"], class_id=r["class_id"],
                              class_name=r["class"], track_id=None) for r in recs]
            kept = tracker.update(dets, k / fps, image(k)) if with_frame else tracker.update(dets, k / fps)
            out.append([(d.track_id, list(d.ltrb)) for d in kept if d.class_id == PERSON])
        return out
    tracker = track.Tracker(high=conf, low=min(conf, 0.1), max_lost=30)
    for recs in frames:
        kept = tracker.update(recs)
        out.append([(r["track_id"], r["ltrb"]) for r in kept if r["class_id"] == PERSON])
    return out


def run_bytetrack(frames, fps, conf, image=None):
    import warnings

    import supervision as sv

    warnings.filterwarnings("ignore", category=FutureWarning, module=__name__)

    tracker = sv.ByteTrack(track_activation_threshold=0.5, lost_track_buffer=30,
                           minimum_matching_threshold=0.8, frame_rate=fps)
    out = []
    for recs in frames:
        recs = [r for r in recs if r["class_id"] == PERSON]
        det = sv.Detections(
            xyxy=np.array([r["ltrb"] for r in recs], dtype=np.float32).reshape(-1, 4),
            confidence=np.array([r["ltrb_conf"] / 100 for r in recs], dtype=np.float32),
            class_id=np.zeros(len(recs), dtype=int))
        res = tracker.update_with_detections(det)
        out.append([(int(t), list(map(float, b))) for t, b in zip(res.tracker_id, res.xyxy)])
    return out


def run_norfair(frames, fps, conf, image=None):
    import norfair

    tracker = norfair.Tracker(distance_function="iou", distance_threshold=0.7)
    out = []
    for recs in frames:
        dets = [norfair.Detection(points=np.array([r["ltrb"][:2], r["ltrb"][2:]], dtype=float),
                                  scores=np.full(2, r["ltrb_conf"] / 100))
                for r in recs if r["class_id"] == PERSON and r["ltrb_conf"] >= 50]
        objs = tracker.update(detections=dets)
        # Objects matched in this frame, with their detection's box (as ByteTrack gives).
        seen = {id(d) for d in dets}
        out.append([(o.id, list(o.last_detection.points.reshape(-1))) for o in objs
                    if id(o.last_detection) in seen])
    return out


TRACKERS = {"zorvane": run_zorvane, "bytetrack": run_bytetrack, "norfair": run_norfair}


# ---------------------------------------------------------------------------
# Scoring


def iou_ltrb(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    a, b = a.reshape(-1, 4), b.reshape(-1, 4)
    lt = np.maximum(a[:, None, :2], b[None, :, :2])
    rb = np.minimum(a[:, None, 2:], b[None, :, 2:])
    inter = np.prod(np.clip(rb - lt, 0, None), axis=2)
    area = lambda x: np.prod(np.clip(x[:, 2:] - x[:, :2], 0, None), axis=1)  # noqa: E731
    union = area(a)[:, None] + area(b)[None, :] - inter
    return np.where(union > 0, inter / np.maximum(union, 1e-12), 0.0)


def frame_pairs(seq: dict, tracks: list, step: int = 1) -> list[tuple]:
    """Per frame (gt ids, gt ltrb, pred ids, pred ltrb) after the ignore
    rule; ``tracks`` holds every ``step``-th frame's."""
    from scipy.optimize import linear_sum_assignment

    gt = seq["gt"]
    out = []
    for k, f in enumerate(range(1, seq["length"] + 1, step)):
        rows = gt[gt[:, 0] == f]
        g_box = np.c_[rows[:, 2:4], rows[:, 2:4] + rows[:, 4:6]]
        ignore = rows[:, 6] == 0
        pred = tracks[k]
        p_ids = np.array([p[0] for p in pred], dtype=np.int64)
        # MOT coordinates count from 1.
        p_box = np.array([p[1] for p in pred], dtype=float).reshape(-1, 4) + 1.0
        if ignore.any() and len(pred):
            iou = iou_ltrb(g_box, p_box)
            r, c = linear_sum_assignment(-iou)
            drop = {j for i, j in zip(r, c) if iou[i, j] >= 0.5 and ignore[i]}
            keep = [j for j in range(len(pred)) if j not in drop]
            p_ids, p_box = p_ids[keep], p_box[keep]
        out.append((rows[~ignore, 1].astype(np.int64), g_box[~ignore], p_ids, p_box))
    return out


def hota_data(pairs: list[tuple]) -> dict:
    g_map: dict[int, int] = {}
    p_map: dict[int, int] = {}
    data = {"gt_ids": [], "tracker_ids": [], "similarity_scores": []}
    for g_ids, g_box, p_ids, p_box in pairs:
        data["gt_ids"].append(np.array([g_map.setdefault(int(i), len(g_map)) for i in g_ids], dtype=int))
        data["tracker_ids"].append(np.array([p_map.setdefault(int(i), len(p_map)) for i in p_ids], dtype=int))
        data["similarity_scores"].append(iou_ltrb(g_box, p_box))
    data.update(num_gt_ids=len(g_map), num_tracker_ids=len(p_map),
                num_gt_dets=sum(len(p[0]) for p in pairs), num_tracker_dets=sum(len(p[2]) for p in pairs))
    return data


def score(named_pairs: dict[str, list[tuple]]) -> dict[str, dict]:
    """HOTA, MOTA, IDF1, ID switches per sequence and combined ("all")."""
    import motmetrics as mm
    from trackeval.metrics import HOTA

    hota = HOTA()
    per_seq = {name: hota.eval_sequence(hota_data(p)) for name, p in named_pairs.items()}
    per_seq["all"] = hota.combine_sequences(dict(per_seq))
    accs = []
    for pairs in named_pairs.values():
        acc = mm.MOTAccumulator(auto_id=True)
        for g_ids, g_box, p_ids, p_box in pairs:
            xywh = lambda b: np.c_[b[:, :2], b[:, 2:] - b[:, :2]]  # noqa: E731
            acc.update(g_ids, p_ids, mm.distances.iou_matrix(xywh(g_box), xywh(p_box), max_iou=0.5))
        accs.append(acc)
    summary = mm.metrics.create().compute_many(
        accs, names=list(named_pairs), generate_overall=True,
        metrics=["mota", "idf1", "num_switches", "num_false_positives", "num_misses", "num_unique_objects"])
    out = {}
    for name in [*named_pairs, "all"]:
        row = summary.loc["OVERALL" if name == "all" else name]
        out[name] = {"HOTA": 100 * float(np.mean(per_seq[name]["HOTA"])),
                     "DetA": 100 * float(np.mean(per_seq[name]["DetA"])),
                     "AssA": 100 * float(np.mean(per_seq[name]["AssA"])),
                     "MOTA": 100 * float(row["mota"]), "IDF1": 100 * float(row["idf1"]),
                     "IDSW": int(row["num_switches"]), "FP": int(row["num_false_positives"]),
                     "FN": int(row["num_misses"])}
    return out


def self_check() -> None:
    """A perfect tracker scores 100 everywhere; a swapped identity costs."""
    box = np.array([[10.0, 10, 50, 90], [100, 10, 140, 90]])
    perfect = [(np.array([1, 2]), box, np.array([7, 8]), box) for _ in range(10)]
    s = score({"toy": perfect})["all"]
    assert abs(s["HOTA"] - 100) < 1e-6 and abs(s["MOTA"] - 100) < 1e-6 and s["IDSW"] == 0, s
    swapped = perfect[:5] + [(np.array([1, 2]), box, np.array([8, 7]), box)] * 5
    s = score({"toy": swapped})["all"]
    assert s["IDSW"] == 2 and s["HOTA"] < 80 and s["MOTA"] == 90, s


# ---------------------------------------------------------------------------
# Speed


def timing(conf: float, counts=(10, 50), frames: int = 400) -> dict[str, float]:
    """Milliseconds of CPU time per ``update`` of the package tracker at N
    moving objects (records built beforehand; the best of three runs; CPU
    time, as the machine may be busy with other work): on the boxes alone,
    and at 50 objects also given 1280 x 720 frames (a picture panning by a
    few pixels a frame: camera motion and looks measured)."""
    import cv2

    track = _package_track()
    Detection = _records_type()
    new_api = "conf" in inspect.signature(track.Tracker).parameters
    with_frames = new_api and hasattr(track.Tracker, "prepare")
    rng = np.random.default_rng(0)
    scene = cv2.GaussianBlur(rng.integers(0, 255, (820, 1480, 3), dtype=np.uint8), (5, 5), 0)
    out = {}
    for n, frames_too in [(c, False) for c in counts] + ([(50, True)] if with_frames else []):
        start = rng.uniform(0, 1800, (n, 2))
        speed = rng.uniform(-3, 3, (n, 2))
        clip = []
        for f in range(frames):
            xy = start + f * speed + rng.normal(0, 1, (n, 2))
            score = rng.integers(30, 95, n)
            recs = [{"ltrb": [float(x), float(y), float(x) + 40, float(y) + 80], "ltrb_conf": int(c),
                     "class_id": 0, "class": "person"} for (x, y), c in zip(xy, score)]
            clip.append([Detection(ltrb=tuple(r["ltrb"]), ltrb_conf=r["ltrb_conf"], class_id=0,
                                   class_name="person", track_id=None) for r in recs] if new_api else recs)
        pictures = [scene[50 + (f % 40):770 + (f % 40), 100 + 2 * (f % 50):1380 + 2 * (f % 50)]
                    for f in range(frames)] if frames_too else None
        best = prep = float("inf")
        for _ in range(3):
            if new_api:
                tracker = track.Tracker(conf, fps=30.0, **OPTIONS["set"])
            else:
                tracker = track.Tracker(high=conf, low=min(conf, 0.1), max_lost=30)
            views = None
            if frames_too:  # what the pipeline's workers do, in parallel
                t = time.process_time()
                views = [tracker.prepare(p, d) for p, d in zip(pictures, clip)]
                prep = min(prep, time.process_time() - t)
            t = time.process_time()
            for k, dets in enumerate(clip):
                if frames_too:
                    tracker.update(dets, k / 30.0, views[k])
                elif new_api:
                    tracker.update(dets, k / 30.0)
                else:
                    tracker.update(dets)
            best = min(best, time.process_time() - t)
        out[f"ms_per_frame_{n}{'_with_frames' if frames_too else ''}"] = 1000 * best / frames
        if frames_too:
            out[f"ms_prepare_per_frame_{n}"] = 1000 * prep / frames
    return out


def _timing_label(key: str) -> str:
    """"ms_per_frame_50_with_frames" -> "update at 50 objects with frames"."""
    what = "prepare" if key.startswith("ms_prepare") else "update"
    n = re.search(r"_(\d+)", key).group(1)
    return f"{what} at {n} objects{' with frames' if what == 'prepare' or key.endswith('frames') else ''}"


# ---------------------------------------------------------------------------


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--data", type=Path, default=MOT, help="folder of MOTChallenge sequences")
    ap.add_argument("--model", type=Path, default=DEFAULT_MODEL)
    ap.add_argument("--det-conf", type=float, default=0.1, help="engine threshold (weak boxes included)")
    ap.add_argument("--iou", type=float, default=0.5, help="engine suppression overlap")
    ap.add_argument("--conf", type=float, default=0.5, help="the package tracker's output threshold")
    ap.add_argument("--trackers", default=",".join(TRACKERS))
    ap.add_argument("--cache", type=Path, default=Path("/tmp/zorvane-trackbench"))
    ap.add_argument("--label", default="", help="suffix of the results file")
    ap.add_argument("--tracker-module", type=Path, help="a tracker module file to test instead of the package's")
    ap.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                    help="a keyword of the package tracker (repeatable), e.g. --set lost_s=2")
    ap.add_argument("--step", type=int, default=1,
                    help="track every Nth frame only (a lower frame rate), scored on those frames")
    ap.add_argument("--views", default="still",
                    help="which versions of the sequences: as filmed (still, the default), through a synthetic "
                         "moving camera (moving), as a crowded wide view (crowd); comma-separated")
    ap.add_argument("--no-timing", action="store_true")
    args = ap.parse_args(argv)
    OPTIONS["module"] = args.tracker_module
    OPTIONS["set"] = {k: json.loads(v) for k, v in (o.split("=", 1) for o in args.set)}

    self_check()
    seqs = [load_sequence(p) for p in sorted(args.data.iterdir()) if (p / "seqinfo.ini").exists()]
    if not seqs:
        raise SystemExit(f"no MOTChallenge sequences under {args.data}")
    views = {"still": lambda s: s, "moving": moving_camera, "crowd": crowd}
    try:
        seqs = [{**views[v](s), "view": v} for v in args.views.split(",") for s in seqs]
    except KeyError as exc:
        raise SystemExit(f"unknown view {exc}; choose from {', '.join(views)}") from None
    model_sha = sha256(args.model)
    dets = {s["name"]: detections(s, args.model, args.det_conf, args.iou, args.cache) for s in seqs}
    results = {}
    for name in args.trackers.split(","):
        pairs: dict[str, dict] = {}
        for s in seqs:
            tracks = TRACKERS[name](dets[s["name"]][::args.step], s["fps"] / args.step, args.conf,
                                    lambda k, s=s: read_frame(s, k * args.step))
            pairs.setdefault(s["view"], {})[s["name"]] = frame_pairs(s, tracks, args.step)
        # Each view's sequences, then all of them together ("all <view>").
        results[name] = {}
        for view, per_view in pairs.items():
            results[name].update({k if k != "all" else f"all {view}": v for k, v in score(per_view).items()})
    speed = {} if args.no_timing else timing(args.conf)

    print(f"model {args.model.name} sha256 {model_sha[:16]}, every {args.step} frame(s), engine threshold {args.det_conf}, "
          f"package tracker conf {args.conf} {OPTIONS['set'] or ''}")
    print(f"{'tracker':<10} {'sequence':<22} {'HOTA':>6} {'MOTA':>6} {'IDF1':>6} {'DetA':>6} {'AssA':>6} {'IDSW':>5} {'FP':>5} {'FN':>5}")
    for name, per in results.items():
        for seq, s in per.items():
            print(f"{name:<10} {seq:<22} {s['HOTA']:6.1f} {s['MOTA']:6.1f} {s['IDF1']:6.1f} {s['DetA']:6.1f} {s['AssA']:6.1f} "
                  f"{s['IDSW']:5d} {s['FP']:5d} {s['FN']:5d}")
    print("package tracker, CPU ms per frame: " + ", ".join(f"{_timing_label(k)} {v:.3f}" for k, v in speed.items()))
    RESULTS.mkdir(parents=True, exist_ok=True)
    path = RESULTS / f"tracking{'-' + args.label if args.label else ''}.json"
    path.write_text(json.dumps({"model": args.model.name, "model_sha256": model_sha, "options": OPTIONS["set"],
                                "step": args.step, "engine_conf": args.det_conf, "engine_iou": args.iou, "conf": args.conf,
                                "sequences": [s["name"] for s in seqs], "results": results,
                                "timing": speed}, indent=2))
    print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
