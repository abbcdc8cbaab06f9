#!/usr/bin/env python3
"""COCO accuracy of each catalogue model through the package, side by side
with another set of model files (the previous catalogue) and, on request,
the upstream networks with their native pipelines.

    python benchmarks/bench_accuracy.py DATASET [--baseline DIR] [--reference]
                                        [--bootstrap N] [--models ...]

DATASET is a COCO-format folder: an annotation file (*.json, standard COCO
instances) and the images in DATASET/images/ (or beside the file). For every
catalogue model, and for the same names in --baseline DIR:

- package: the detector engine `zv_robj_d` on the model file's bytes with
  conf_thres 0 and iou_thres 0.6, scored with what the user gets, the
  detection records (confidence = ltrb_conf / 100, boxes as given);
- raw: the same model file run directly by ONNX Runtime on the engine's
  canvas feed, scored with its raw float scores (shows what the integer
  percentages and the engine's own suppression change).

With --reference, each upstream network also runs with its native
preprocessing and decoding (see _pipelines.ReferenceDetector), class-aware
NMS at IoU 0.6, scores > 0.001, the best 100.

COCO mAP@0.5:0.95 and mAP@0.5 over the eight road categories (pycocotools,
params.catIds restricted to them). The figures of a few dozen images are
noisy, so every comparison is paired: the same bootstrap resamples of images
(with replacement) for all pipelines, and the 2.5 and 97.5 percentiles of
the resampled values (or differences) form the 95% interval. Compared:
each model with the baseline's model of the same name, and each tier with
the tier below it (small < medium < large), in both sets.

Prints a table and writes benchmarks/results/accuracy.json.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import io
import json
import sys
import time
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import _pipelines as P  # noqa: E402



def _find_dataset(root: Path) -> tuple[Path, Path]:
    anns = sorted(root.glob("*.json")) or sorted(root.glob("annotations/*.json"))
    if not anns:
        raise SystemExit(f"no COCO annotation file (*.json) in {root}")
    images = root / "images" if (root / "images").is_dir() else root
    return anns[0], images


class Evaluation:
    """pycocotools' per-image evaluation of one detection set, kept so that
    AP can be accumulated again over resampled image lists."""

    def __init__(self, gt, dets: list[dict], img_ids: list[int]):
        from pycocotools.coco import COCO
        from pycocotools.cocoeval import COCOeval

        with contextlib.redirect_stdout(io.StringIO()):
            dt = gt.loadRes(dets) if dets else COCO()
            if not dets:
                dt.dataset = {"images": [], "annotations": [], "categories": gt.dataset["categories"]}
                dt.createIndex()
            ev = COCOeval(gt, dt, "bbox")
            ev.params.catIds = P.ROAD_CATEGORY_IDS
            ev.params.imgIds = list(img_ids)
            # Only what mAP@[.5:.95] and mAP@.5 read: all areas, 100 detections.
            ev.params.areaRng = [[0.0, 1e10]]
            ev.params.areaRngLbl = ["all"]
            ev.params.maxDets = [100]
            ev.evaluate()
        self.ev = ev
        self.pos = {iid: n for n, iid in enumerate(ev._paramsEval.imgIds)}

    def ap(self, sample: list[int] | None = None) -> tuple[float, float]:
        ev = self.ev
        if sample is not None:
            n_img = len(ev._paramsEval.imgIds)
            ev = copy.copy(self.ev)
            ev.params = copy.copy(self.ev.params)
            ev.params.imgIds = list(sample)
            ev._paramsEval = copy.copy(ev.params)
            ev.evalImgs = [self.ev.evalImgs[k * n_img + self.pos[i]]
                           for k in range(len(ev.params.catIds)) for i in sample]
        with contextlib.redirect_stdout(io.StringIO()):
            ev.accumulate()
        prec = ev.eval["precision"][:, :, :, 0, 0]                      # T x R x K
        valid = prec > -1
        ap = float(prec[valid].mean()) if valid.any() else 0.0
        ap50 = float(prec[0][valid[0]].mean()) if valid[0].any() else 0.0
        return ap, ap50


def _detect_package(data: bytes, name: str, images):
    """Detections of the engine and of the raw model file, and seconds."""
    from zorvane_road_objects.zorvane_robj_d import zv_robj_d

    engine = zv_robj_d(data, 0.0, 0.6, name, "cpu")
    raw = P.session(data, threads=1)
    dets = {"package": [], "raw": []}
    secs = {"package": 0.0, "raw": 0.0}
    for iid, img in images:
        t = time.perf_counter()
        records = engine.detect_objects(img)["results"]
        secs["package"] += time.perf_counter() - t
        for rec in records:
            dets["package"].append(P.coco_record(iid, rec["ltrb"], rec["ltrb_conf"] / 100.0,
                                                 P.CLASS_ID_TO_COCO[rec["class_id"]]))
        t = time.perf_counter()
        rows = raw.run(None, P.canvas_inputs(img))[0]
        secs["raw"] += time.perf_counter() - t
        for row in rows:
            cat = P.MODEL_INDEX_TO_COCO.get(int(row[0]))
            if cat is not None:
                dets["raw"].append(P.coco_record(iid, row[2:6], row[1], cat))
    return dets, secs


def _detect_reference(key: str, images):
    ref = P.ReferenceDetector(key, threads=1)
    dets, t = [], time.perf_counter()
    for iid, img in images:
        boxes, scores, classes = ref.detect(img)
        for box, score, cls in zip(boxes, scores, classes):
            cat = P.MODEL_INDEX_TO_COCO.get(int(cls))
            if cat is not None:
                dets.append(P.coco_record(iid, box, score, cat))
    return dets, time.perf_counter() - t


def _interval(values: np.ndarray) -> list[float]:
    return [float(np.percentile(values, 2.5)), float(np.percentile(values, 97.5))]


def _ci_text(full: float, boot: np.ndarray | None, signed: bool = False) -> tuple[str, list | None]:
    fmt = "{:+.4f}" if signed else "{:.4f}"
    if boot is None or not len(boot):
        return fmt.format(full), None
    ci = _interval(boot)
    return f"{fmt.format(full)} [{fmt.format(ci[0])}, {fmt.format(ci[1])}]", ci


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dataset", type=Path, help="COCO-format folder (annotation *.json, images/)")
    ap.add_argument("--models", default="small_fp32,medium_fp32,large_fp32",
                    help="comma-separated catalogue names, lowest tier first")
    ap.add_argument("--models-dir", type=Path, default=P.MODELS_DIR)
    ap.add_argument("--baseline", type=Path, help="folder of other model files of the same names "
                                                  "(e.g. the previous catalogue) to compare with")
    ap.add_argument("--reference", action="store_true",
                    help="also run the upstream networks with their native pipelines")
    ap.add_argument("--bootstrap", type=int, default=1000, help="bootstrap resamples (0: none)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--out", type=Path, default=P.REPO / "benchmarks" / "results" / "accuracy.json")
    args = ap.parse_args(argv)

    from pycocotools.coco import COCO

    ann_path, image_dir = _find_dataset(args.dataset)
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
    rng = np.random.default_rng(args.seed)
    samples = [list(rng.choice(img_ids, size=len(img_ids), replace=True)) for _ in range(args.bootstrap)]
    names = args.models.split(",")
    sets = {"new": args.models_dir}
    if args.baseline:
        sets["baseline"] = args.baseline

    print(f"{ann_path.name}: {len(images)} images, road categories {P.ROAD_CATEGORY_IDS}, "
          f"{args.bootstrap} paired bootstrap resamples, 95% intervals")
    print(f"{'set':9s} {'model':12s} {'pipeline':9s} {'mAP [95% CI]':>26s} {'mAP50':>7s} {'ms/img':>7s}")
    rows, boots, fulls = [], {}, {}

    def record(label: str, name: str, pipeline: str, dets: list, secs: float) -> None:
        ev = Evaluation(gt, dets, img_ids)
        full = ev.ap()
        boot = np.array([ev.ap(s) for s in samples]) if samples else np.zeros((0, 2))
        boots[(label, name, pipeline)], fulls[(label, name, pipeline)] = boot[:, 0], full[0]
        text, ci = _ci_text(full[0], boot[:, 0] if samples else None)
        ms = 1e3 * secs / len(images)
        rows.append({"set": label, "model": name, "pipeline": pipeline, "mAP": full[0], "mAP_ci95": ci,
                     "mAP50": full[1], "detections": len(dets), "ms_per_image": ms})
        print(f"{label:9s} {name:12s} {pipeline:9s} {text:>26s} {full[1]:7.4f} {ms:7.1f}", flush=True)

    for label, folder in sets.items():
        for name in names:
            data = (folder / f"zorvane_robj_d_{name}.dat").read_bytes()
            dets, secs = _detect_package(data, name, images)
            for pipeline in ("package", "raw"):
                record(label, name, pipeline, dets[pipeline], secs[pipeline])
    if args.reference:
        for key, (fname, _, size) in P.CATALOGUE.items():
            dets, secs = _detect_reference(key, images)
            record("reference", f"{fname.split('.')[0]}", "native", dets, secs)

    comparisons = []

    def compare(a, b, text: str) -> None:
        diff = fulls[a] - fulls[b]
        shown, ci = _ci_text(diff, boots[a] - boots[b] if samples else None, signed=True)
        comparisons.append({"what": text, "mAP_diff": diff, "ci95": ci})
        print(f"  {text:40s} {shown}")

    print("paired differences, package mAP:")
    for label in sets:
        for prev, cur in zip(names, names[1:]):
            compare((label, cur, "package"), (label, prev, "package"), f"{label}: {cur} - {prev}")
    if "baseline" in sets:
        for name in names:
            compare(("new", name, "package"), ("baseline", name, "package"), f"{name}: new - baseline")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({
        "dataset": str(args.dataset), "annotations": ann_path.name, "images": len(images),
        "categories": P.ROAD_CATEGORY_IDS, "bootstrap": args.bootstrap, "seed": args.seed,
        "engine": {"conf_thres": 0.0, "iou_thres": 0.6},
        "sets": {k: str(v) for k, v in sets.items()}, "results": rows,
        "comparisons": comparisons}, indent=2) + "\n")
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
