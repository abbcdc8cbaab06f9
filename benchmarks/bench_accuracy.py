#!/usr/bin/env python3
"""COCO accuracy and detection time of the catalogue models through the
package, side by side with other model files (the previous catalogue,
candidates) and, on request, the upstream networks with their native
pipelines.

    python benchmarks/bench_accuracy.py DATASET [--baseline DIR] [--extra LABEL=FILE ...]
                                        [--raw] [--reference] [--bootstrap N] [--cache DIR]
                                        [--compare A,B ...] [--models ...]

DATASET is a COCO-format folder: an annotation file (*.json, standard COCO
instances) and the images in DATASET/images/ (or beside the file). Each
model file runs as

- package: the detector engine `zv_robj_d` on the file's bytes with
  conf_thres 0 and iou_thres 0.6, scored with what the user gets, the
  detection records (confidence = ltrb_conf / 100, boxes as given);
- raw (--raw): the same file run directly by ONNX Runtime on the engine's
  canvas feed, scored with its raw float scores.

With --reference, each upstream network also runs with its native
preprocessing and decoding (see _pipelines.ReferenceDetector).

Scores, over the eight road categories (COCO's matching by pycocotools,
100 detections per image and class): mAP@0.5:0.95, mAP@0.5, AP_small
(mAP@0.5:0.95 on objects under 32 x 32 pixels) and the AP of each class.
Intervals are 95%, from a paired bootstrap over images: the same resamples
(with replacement) for every pipeline, so the interval of a difference is
that of the differences. AP is accumulated per resample from pycocotools'
per-image matches with image weights (`FastAP`); on the full set this
gives pycocotools' own figures, which the script checks on every run.

Time: the package pipelines run in turn on each image (the order rotating
from image to image), and the median wall time of `detect_objects` per
image is reported, with each comparison's ratio of medians. --cache DIR
keeps each model file's detections (keyed by the file's and the
annotations' SHA-256), so a rerun only times.

Compared (paired): each tier with the tier below it (small < medium <
large) in each set, each model with the baseline's of the same name, and
any --compare A,B pair of labels (as printed).

Prints the tables and writes benchmarks/results/accuracy.json.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import io
import json
import sys
import time
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import _pipelines as P  # noqa: E402

CLASS_NAMES = ("person", "bicycle", "car", "motorcycle", "bus", "truck", "traffic_light", "stop_sign")
# ROAD_CATEGORY_IDS (ascending COCO ids 1, 2, 3, 4, 6, 8, 10, 13) in that order.
AREAS = {"all": [0.0, 1e10], "small": [0.0, 32.0 ** 2]}


def _find_dataset(root: Path) -> tuple[Path, Path]:
    anns = sorted(root.glob("*.json")) or sorted(root.glob("annotations/*.json"))
    if not anns:
        raise SystemExit(f"no COCO annotation file (*.json) in {root}")
    images = root / "images" if (root / "images").is_dir() else root
    if not images.is_dir():
        raise SystemExit(f"no image folder {images}")
    return anns[0], images


def _cocoeval(gt, dets: list[dict], img_ids: list[int]):
    """pycocotools' per-image evaluation (all areas and small, 100
    detections) of one detection set."""
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    with contextlib.redirect_stdout(io.StringIO()):
        if dets:
            dt = gt.loadRes(dets)
        else:
            dt = COCO()
            dt.dataset = {"images": [], "annotations": [], "categories": gt.dataset["categories"]}
            dt.createIndex()
        ev = COCOeval(gt, dt, "bbox")
        ev.params.catIds = P.ROAD_CATEGORY_IDS
        ev.params.imgIds = list(img_ids)
        ev.params.areaRng = list(AREAS.values())
        ev.params.areaRngLbl = list(AREAS)
        ev.params.maxDets = [100]
        ev.evaluate()
    return ev


class FastAP:
    """COCO AP from one pycocotools evaluation, accumulated again for any
    weighting of the images (a bootstrap resample is a vector of counts).

    Per category and area range the detections of all images are sorted
    once, by score, in the order pycocotools sorts them; a resample weighs
    each detection and each ground-truth box by its image's count, and the
    precision envelope is sampled at COCO's 101 recall points as
    pycocotools' `accumulate` does."""

    def __init__(self, ev):
        p = ev.params
        self.n_img = len(p.imgIds)
        self.rec_thrs = np.asarray(p.recThrs)
        self.n_iou = len(p.iouThrs)
        n_area = len(p.areaRng)
        self.groups = {}    # (k, a) -> (image index per det, tp [T, D], fp [T, D], npig per image)
        for k in range(len(p.catIds)):
            for a in range(n_area):
                base = (k * n_area + a) * self.n_img
                self.groups[k, a] = self._group(ev.evalImgs[base:base + self.n_img])

    def _group(self, evals):
        img, scores, dtm, dtig, npig = [], [], [], [], np.zeros(self.n_img)
        for i, e in enumerate(evals):
            if e is None:
                continue
            img.append(np.full(len(e["dtScores"]), i))
            scores.append(np.asarray(e["dtScores"], float))
            dtm.append(e["dtMatches"])
            dtig.append(e["dtIgnore"])
            npig[i] = np.count_nonzero(e["gtIgnore"] == 0)
        if not img:
            return None
        order = np.argsort(-np.concatenate(scores), kind="mergesort")
        dtm = np.concatenate(dtm, axis=1)[:, order]
        dtig = np.concatenate(dtig, axis=1)[:, order]
        tp = np.logical_and(dtm, ~dtig).astype(float)
        fp = np.logical_and(~dtm.astype(bool), ~dtig).astype(float)
        return np.concatenate(img)[order], tp, fp, npig

    def _precision(self, group, w: np.ndarray) -> np.ndarray | None:
        """[T, R] precision at the recall points, None without ground truth."""
        img, tp, fp, npig = group
        n_gt = float(npig @ w)
        if n_gt == 0:
            return None
        q = np.zeros((self.n_iou, len(self.rec_thrs)))
        if not len(img):
            return q
        wd = w[img]
        tp_sum = np.cumsum(tp * wd, axis=1)
        fp_sum = np.cumsum(fp * wd, axis=1)
        rc = tp_sum / n_gt
        pr = tp_sum / (tp_sum + fp_sum + np.spacing(1))
        pr = np.maximum.accumulate(pr[:, ::-1], axis=1)[:, ::-1]
        for t in range(self.n_iou):
            idx = np.searchsorted(rc[t], self.rec_thrs, side="left")
            ok = idx < pr.shape[1]
            q[t, ok] = pr[t, idx[ok]]
        return q

    def stats(self, weights: np.ndarray | None = None) -> dict:
        """mAP, mAP50, AP_small and per-class AP (NaN where the class has no
        ground truth under this weighting)."""
        w = np.ones(self.n_img) if weights is None else np.asarray(weights, float)
        out = {}
        for a, area in enumerate(AREAS):
            per_class = []
            for k in range(len(CLASS_NAMES)):
                g = self.groups[k, a]
                q = None if g is None else self._precision(g, w)
                per_class.append(q)
            valid = [q for q in per_class if q is not None]
            out[area] = (float(np.mean(valid)) if valid else 0.0,
                         float(np.mean([q[0] for q in valid])) if valid else 0.0,
                         np.array([np.nan if q is None else q.mean() for q in per_class]))
        return {"mAP": out["all"][0], "mAP50": out["all"][1], "AP_small": out["small"][0],
                "per_class": out["all"][2]}


def check_against_pycocotools(ev, fast: FastAP) -> None:
    """FastAP on the full set must give pycocotools' own figures."""
    with contextlib.redirect_stdout(io.StringIO()):
        ev.accumulate()
    prec = ev.eval["precision"][:, :, :, :, 0]                          # T x R x K x A
    mine = fast.stats()
    for a, key in ((0, "mAP"), (1, "AP_small")):
        valid = prec[:, :, :, a] > -1
        ref = float(prec[:, :, :, a][valid].mean()) if valid.any() else 0.0
        if abs(ref - mine[key]) > 1e-12:
            raise SystemExit(f"FastAP {key} {mine[key]!r} differs from pycocotools' {ref!r}")


class Pipeline:
    """One model file (or upstream reference) and its detections."""

    def __init__(self, label: str, kind: str, source=None, data: bytes | None = None):
        self.label, self.kind, self.source, self.data = label, kind, source, data
        self.dets: list[dict] | None = None
        self.times: list[float] = []
        self.runner = None

    def start(self):
        from zorvane_road_objects.zorvane_robj_d import zv_robj_d

        if self.kind == "package":
            self.runner = zv_robj_d(self.data, 0.0, 0.6, self.label.split("/")[-1], "cpu")
        elif self.kind == "raw":
            self.runner = P.session(self.data, threads=1)
        else:
            self.runner = P.ReferenceDetector(self.source, threads=1)

    def detect(self, iid: int, img: np.ndarray) -> list[dict]:
        t = time.perf_counter()
        if self.kind == "package":
            records = self.runner.detect_objects(img)["results"]
            self.times.append(time.perf_counter() - t)
            return [P.coco_record(iid, r["ltrb"], r["ltrb_conf"] / 100.0, P.CLASS_ID_TO_COCO[r["class_id"]])
                    for r in records]
        if self.kind == "raw":
            rows = self.runner.run(None, P.canvas_inputs(img))[0]
            self.times.append(time.perf_counter() - t)
            rows = [(r[2:6], r[1], int(r[0])) for r in rows]
        else:
            rows = list(zip(*self.runner.detect(img)))
            self.times.append(time.perf_counter() - t)
        return [P.coco_record(iid, box, score, P.MODEL_INDEX_TO_COCO[int(c)])
                for box, score, c in rows if int(c) in P.MODEL_INDEX_TO_COCO]


def _cache_path(cache: Path | None, pipe: Pipeline, ann_sha: str) -> Path | None:
    if cache is None or pipe.data is None:
        return None
    key = hashlib.sha256(pipe.data + pipe.kind.encode() + ann_sha.encode()).hexdigest()[:24]
    return cache / f"{key}.json"


def run_pipelines(pipes: list[Pipeline], images, cache: Path | None, ann_sha: str) -> None:
    """Detections of every pipeline (from the cache where there), the
    package pipelines timed in turn on each image."""
    todo = []
    for pipe in pipes:
        path = _cache_path(cache, pipe, ann_sha)
        if path is not None and path.is_file():
            pipe.dets = json.loads(path.read_text())
        if pipe.dets is None or pipe.kind == "package":
            pipe.start()
            todo.append(pipe)
    fresh = {id(p): [] for p in todo if p.dets is None}
    for n, (iid, img) in enumerate(images):
        for j in range(len(todo)):
            pipe = todo[(j + n) % len(todo)]
            dets = pipe.detect(iid, img)
            if id(pipe) in fresh:
                fresh[id(pipe)].extend(dets)
    for pipe in todo:
        if id(pipe) in fresh:
            pipe.dets = fresh[id(pipe)]
            path = _cache_path(cache, pipe, ann_sha)
            if path is not None:
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(json.dumps(pipe.dets))
        pipe.runner = None


def _interval(values: np.ndarray) -> list[float]:
    return [float(np.percentile(values, 2.5)), float(np.percentile(values, 97.5))]


def _text(full: float, boot: np.ndarray | None, signed: bool = False) -> str:
    fmt = "{:+.4f}" if signed else "{:.4f}"
    if boot is None or not len(boot):
        return fmt.format(full)
    lo, hi = _interval(boot)
    return f"{fmt.format(full)} [{fmt.format(lo)}, {fmt.format(hi)}]"


def _load(dataset: Path):
    from pycocotools.coco import COCO

    ann_path, image_dir = _find_dataset(dataset)
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(str(ann_path))
    img_ids = sorted(gt.getImgIds())
    images = []
    for iid in img_ids:
        info = gt.loadImgs(iid)[0]
        img = cv2.imread(str(image_dir / info["file_name"]), cv2.IMREAD_COLOR)
        if img is None:
            raise SystemExit(f"cannot read {image_dir / info['file_name']}")
        images.append((iid, img))
    return ann_path, gt, img_ids, images


def _pipelines(args) -> list[Pipeline]:
    names = args.models.split(",")
    sets = {"new": args.models_dir}
    if args.baseline:
        sets["baseline"] = args.baseline
    pipes = []
    for label, folder in sets.items():
        for name in names:
            path = folder / f"zorvane_robj_d_{name}.dat"
            if not path.is_file():
                raise SystemExit(f"no model file {path}")
            data = path.read_bytes()
            pipes.append(Pipeline(f"{label}/{name}", "package", path, data))
            if args.raw:
                pipes.append(Pipeline(f"{label}/{name}/raw", "raw", path, data))
    for item in args.extra:
        label, _, file = item.partition("=")
        if not file or not Path(file).is_file():
            raise SystemExit(f"--extra wants LABEL=FILE with an existing file, got {item!r}")
        pipes.append(Pipeline(label, "package", Path(file), Path(file).read_bytes()))
    if args.reference:
        for key, (fname, _, _) in P.CATALOGUE.items():
            pipes.append(Pipeline(f"reference/{fname.split('.')[0]}", "reference", key))
    return pipes


def _comparisons(args, labels: list[str]) -> list[tuple[str, str]]:
    names = args.models.split(",")
    pairs = []
    for label in ("new", "baseline") if args.baseline else ("new",):
        pairs += [(f"{label}/{cur}", f"{label}/{prev}") for prev, cur in zip(names, names[1:])]
    if args.baseline:
        pairs += [(f"new/{n}", f"baseline/{n}") for n in names]
    for item in args.compare:
        a, _, b = item.partition(",")
        if a not in labels or b not in labels:
            raise SystemExit(f"--compare {item!r}: labels are {', '.join(labels)}")
        pairs.append((a, b))
    return pairs


def score(pipes: list[Pipeline], gt, img_ids: list[int], n_boot: int, seed: int):
    """Full-set stats and bootstrap stats (same resamples for all) per label."""
    rng = np.random.default_rng(seed)
    weights = [np.bincount(rng.integers(0, len(img_ids), len(img_ids)), minlength=len(img_ids))
               for _ in range(n_boot)]
    full, boot = {}, {}
    for pipe in pipes:
        ev = _cocoeval(gt, pipe.dets, img_ids)
        fast = FastAP(ev)
        check_against_pycocotools(ev, fast)
        full[pipe.label] = fast.stats()
        boot[pipe.label] = [fast.stats(w) for w in weights]
    return full, boot


def _series(boot: list[dict], key: str) -> np.ndarray:
    return np.array([b[key] for b in boot])


def report(pipes, full, boot, pairs, n_boot: int) -> dict:
    ms = {p.label: 1e3 * float(np.median(p.times)) if p.times else float("nan") for p in pipes}
    print(f"\n{'pipeline':28s} {'mAP [95% CI]':>26s} {'mAP50':>7s} {'AP_small [95% CI]':>26s} {'ms':>6s}")
    rows = []
    for p in pipes:
        f, b = full[p.label], boot[p.label]
        print(f"{p.label:28s} {_text(f['mAP'], _series(b, 'mAP')):>26s} {f['mAP50']:7.4f} "
              f"{_text(f['AP_small'], _series(b, 'AP_small')):>26s} {ms[p.label]:6.1f}")
        rows.append({"label": p.label, "kind": p.kind, "file": str(p.source), "detections": len(p.dets),
                     "mAP": f["mAP"], "mAP_ci95": _interval(_series(b, "mAP")) if n_boot else None,
                     "mAP50": f["mAP50"], "AP_small": f["AP_small"],
                     "AP_small_ci95": _interval(_series(b, "AP_small")) if n_boot else None,
                     "per_class_AP": dict(zip(CLASS_NAMES, map(float, f["per_class"]))),
                     "median_ms": ms[p.label]})
    print(f"\nper-class AP@0.5:0.95\n{'pipeline':28s} " + " ".join(f"{c[:8]:>8s}" for c in CLASS_NAMES))
    for p in pipes:
        print(f"{p.label:28s} " + " ".join(f"{v:8.4f}" for v in full[p.label]["per_class"]))
    print("\npaired differences (A - B) [95% CI], time A / B (ratio of median ms)")
    comps = []
    for a, b in pairs:
        entry = {"a": a, "b": b, "time_ratio": ms[a] / ms[b] if ms[b] > 0 else None}
        shown = []
        for key in ("mAP", "AP_small"):
            diff = full[a][key] - full[b][key]
            d_boot = _series(boot[a], key) - _series(boot[b], key) if n_boot else None
            entry[key] = diff
            entry[f"{key}_ci95"] = _interval(d_boot) if n_boot else None
            shown.append(f"{key} {_text(diff, d_boot, signed=True)}")
        print(f"  {a} - {b}: {'; '.join(shown)}; time x{entry['time_ratio'] or float('nan'):.2f}")
        comps.append(entry)
    return {"results": rows, "comparisons": comps}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dataset", type=Path, help="COCO-format folder (annotation *.json, images/)")
    ap.add_argument("--models", default="small_fp32,medium_fp32,large_fp32",
                    help="comma-separated catalogue names, lowest tier first")
    ap.add_argument("--models-dir", type=Path, default=P.MODELS_DIR)
    ap.add_argument("--baseline", type=Path, help="folder of other model files of the same names "
                                                  "(e.g. the previous catalogue) to compare with")
    ap.add_argument("--extra", action="append", default=[], metavar="LABEL=FILE",
                    help="another model file to run through the package (repeatable)")
    ap.add_argument("--compare", action="append", default=[], metavar="A,B",
                    help="also report the paired difference A - B of two labels (repeatable)")
    ap.add_argument("--raw", action="store_true", help="also run each catalogue file directly in ONNX Runtime")
    ap.add_argument("--reference", action="store_true",
                    help="also run the upstream networks with their native pipelines")
    ap.add_argument("--bootstrap", type=int, default=1000, help="bootstrap resamples (0: none)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--cache", type=Path, help="folder to keep and reuse each model file's detections")
    ap.add_argument("--out", type=Path, default=P.REPO / "benchmarks" / "results" / "accuracy.json")
    args = ap.parse_args(argv)

    ann_path, gt, img_ids, images = _load(args.dataset)
    pipes = _pipelines(args)
    pairs = _comparisons(args, [p.label for p in pipes])
    print(f"{ann_path.name}: {len(images)} images, road categories {P.ROAD_CATEGORY_IDS}, "
          f"{args.bootstrap} paired bootstrap resamples, 95% intervals", flush=True)
    run_pipelines(pipes, images, args.cache, hashlib.sha256(ann_path.read_bytes()).hexdigest())
    full, boot = score(pipes, gt, img_ids, args.bootstrap, args.seed)
    out = report(pipes, full, boot, pairs, args.bootstrap)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({
        "dataset": str(args.dataset), "annotations": ann_path.name, "images": len(images),
        "categories": P.ROAD_CATEGORY_IDS, "classes": CLASS_NAMES, "bootstrap": args.bootstrap,
        "seed": args.seed, "engine": {"conf_thres": 0.0, "iou_thres": 0.6}, **out}, indent=2) + "\n")
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
