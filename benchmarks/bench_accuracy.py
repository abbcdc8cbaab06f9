#!/usr/bin/env python3
"""COCO accuracy of each catalogue model through the package, against the
upstream model with its native pipeline.

    python benchmarks/bench_accuracy.py DATASET [--bootstrap N] [--models ...]

DATASET is a COCO-format folder: an annotation file (*.json, standard COCO
instances) and the images in DATASET/images/ (or beside the file). For every
catalogue model three pipelines run on every image:

- package: the detector engine `zv_robj_d` on the model file's bytes with
  conf_thres 0 and iou_thres 0.6, scored with what the user gets, the
  detection records (confidence = ltrb_conf / 100, boxes as given);
- raw: the same model file run directly by ONNX Runtime on the engine's
  canvas feed, scored with its raw float scores (shows what the integer
  percentages and the engine's own suppression change);
- reference: the upstream ONNX model with its native preprocessing and
  decoding (see _pipelines.ReferenceDetector), class-aware NMS at IoU 0.6,
  scores > 0.001, the best 100.

COCO mAP@0.5:0.95 and mAP@0.5 over the eight road categories (pycocotools,
params.catIds restricted to them). The figures of a few dozen images are
noisy, so the difference package - reference is paired: the same bootstrap
resamples of images (with replacement) for both, and the 2.5 and 97.5
percentiles of the resampled differences form the 95% interval.

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

PIPELINES = ("package", "raw", "reference")


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


def _detect_all(name: str, images: list[tuple[int, np.ndarray]], models_dir: Path):
    from zorvane_road_objects.zorvane_robj_d import zv_robj_d

    data = (models_dir / f"zorvane_robj_d_{name}.dat").read_bytes()
    engine = zv_robj_d(data, 0.0, 0.6, name, "cpu")
    raw = P.session(data)
    ref = P.ReferenceDetector(name)
    dets = {k: [] for k in PIPELINES}
    secs = {k: 0.0 for k in PIPELINES}
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
        t = time.perf_counter()
        boxes, scores, classes = ref.detect(img)
        secs["reference"] += time.perf_counter() - t
        for box, score, cls in zip(boxes, scores, classes):
            cat = P.MODEL_INDEX_TO_COCO.get(int(cls))
            if cat is not None:
                dets["reference"].append(P.coco_record(iid, box, score, cat))
    return dets, secs


def _interval(values: np.ndarray) -> list[float]:
    return [float(np.percentile(values, 2.5)), float(np.percentile(values, 97.5))]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dataset", type=Path, help="COCO-format folder (annotation *.json, images/)")
    ap.add_argument("--models", default=",".join(P.CATALOGUE), help="comma-separated catalogue names")
    ap.add_argument("--models-dir", type=Path, default=P.MODELS_DIR)
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

    print(f"{ann_path.name}: {len(images)} images, road categories {P.ROAD_CATEGORY_IDS}, "
          f"{args.bootstrap} paired bootstrap resamples")
    print(f"{'model':12s} {'pipeline':10s} {'mAP':>7s} {'mAP50':>7s}  {'mAP - ref [95% CI]':>30s}"
          f"  {'mAP50 - ref [95% CI]':>30s} {'ms/img':>7s}")
    results = []
    package_boot, package_full = {}, {}
    names = args.models.split(",")
    for name in names:
        dets, secs = _detect_all(name, images, args.models_dir)
        evals = {k: Evaluation(gt, dets[k], img_ids) for k in PIPELINES}
        full = {k: evals[k].ap() for k in PIPELINES}
        boot = {k: np.array([evals[k].ap(s) for s in samples]) if samples else np.zeros((0, 2))
                for k in PIPELINES}
        row = {"model": name, "upstream": P.CATALOGUE[name][0], "images": len(images), "pipelines": {}}
        for k in PIPELINES:
            entry = {"mAP": full[k][0], "mAP50": full[k][1], "detections": len(dets[k]),
                     "ms_per_image": 1e3 * secs[k] / len(images)}
            text = ["", ""]
            if k != "reference":
                for j, key in enumerate(("mAP", "mAP50")):
                    diff = full[k][j] - full["reference"][j]
                    d = {"diff": diff}
                    if samples:
                        d["ci95"] = _interval(boot[k][:, j] - boot["reference"][:, j])
                        text[j] = f"{diff:+.4f} [{d['ci95'][0]:+.4f}, {d['ci95'][1]:+.4f}]"
                    else:
                        text[j] = f"{diff:+.4f}"
                    entry[f"{key}_minus_reference"] = d
            row["pipelines"][k] = entry
            print(f"{name:12s} {k:10s} {full[k][0]:7.4f} {full[k][1]:7.4f}  {text[0]:>30s}  {text[1]:>30s}"
                  f" {entry['ms_per_image']:7.1f}")
        results.append(row)
        package_boot[name], package_full[name] = boot["package"], full["package"]

    # The catalogue order (small, medium, large) against the figures: each
    # model's package mAP minus the previous one's, paired over the same
    # resamples.
    order = []
    if len(names) > 1:
        print("catalogue order, package mAP of each model minus the previous one:")
    for prev, cur in zip(names, names[1:]):
        diff = package_full[cur][0] - package_full[prev][0]
        entry = {"model": cur, "minus": prev, "mAP_diff": diff}
        text = f"{diff:+.4f}"
        if samples:
            entry["ci95"] = _interval(package_boot[cur][:, 0] - package_boot[prev][:, 0])
            text += f" [{entry['ci95'][0]:+.4f}, {entry['ci95'][1]:+.4f}]"
        order.append(entry)
        print(f"  {cur} - {prev}: {text}")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({
        "dataset": str(args.dataset), "annotations": ann_path.name, "images": len(images),
        "categories": P.ROAD_CATEGORY_IDS, "bootstrap": args.bootstrap, "seed": args.seed,
        "engine": {"conf_thres": 0.0, "iou_thres": 0.6}, "models": results,
        "catalogue_order": order}, indent=2) + "\n")
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
