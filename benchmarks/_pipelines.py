"""Pipelines shared by the model benchmarks.

- `canvas_inputs`: the detector engine's model feed, built with NumPy and
  OpenCV exactly as the engine builds it (640 x 640 top-left canvas, RGB,
  /255, NCHW, "im_shape", "scale_factor").
- `ReferenceDetector`: the upstream ONNX model with its own native
  preprocessing and decoding (PicoDet: stretch to S x S, ImageNet
  normalisation, distribution-focal boxes; YOLOX: top-left letterbox with grey
  114, BGR 0-255, grid/exp boxes, objectness x class score), then class-aware
  NMS at IoU 0.6, scores > 0.001, the best 100.
- COCO helpers: class tables and the pycocotools evaluation over the eight
  road categories.
"""

from __future__ import annotations

import contextlib
import io
import json
import sys
from pathlib import Path

import cv2
import numpy as np
import onnxruntime as ort

REPO = Path(__file__).resolve().parent.parent
UPSTREAM_DIR = REPO / "third_party" / "upstream_models"
MODELS_DIR = REPO / "models"

sys.path.insert(0, str(REPO / "tests"))
from _models import reference_preprocess  # noqa: E402
IOU_THRESHOLD = 0.6
SCORE_THRESHOLD = 0.001
MAX_DETECTIONS = 100

# name -> (upstream file, family, network input size)
CATALOGUE = {
    "small_fp32": ("yolox_nano_416.onnx", "yolox", 416),
    "medium_fp32": ("picodet_s_320_coco.onnx", "picodet", 320),
    "large_fp32": ("picodet_s_416_coco.onnx", "picodet", 416),
}

# The detector's class_id (0-7) -> COCO category id of the annotation files.
CLASS_ID_TO_COCO = (1, 2, 4, 3, 6, 8, 10, 13)
# COCO-80 model index -> COCO category id, for the eight road classes.
MODEL_INDEX_TO_COCO = {0: 1, 1: 2, 2: 3, 3: 4, 5: 6, 7: 8, 9: 10, 11: 13}
ROAD_CATEGORY_IDS = sorted(CLASS_ID_TO_COCO)


def model_path(name: str) -> Path:
    return MODELS_DIR / f"zorvane_robj_d_{name}.dat"


def session(path_or_bytes, threads: int | None = None, quiet: bool = False) -> ort.InferenceSession:
    opts = ort.SessionOptions()
    if quiet:  # the upstream PicoDet files make ONNX Runtime warn per weight
        opts.log_severity_level = 3
    if threads:
        opts.intra_op_num_threads = threads
    src = str(path_or_bytes) if isinstance(path_or_bytes, Path) else path_or_bytes
    return ort.InferenceSession(src, opts, providers=["CPUExecutionProvider"])


def canvas_inputs(bgr: np.ndarray) -> dict[str, np.ndarray]:
    x, im_shape, scale_factor, _ = reference_preprocess(bgr)
    return {"image": x, "im_shape": im_shape, "scale_factor": scale_factor}


def nms_per_class(boxes: np.ndarray, scores: np.ndarray):
    """boxes N x 4, scores N x C. Greedy per class (suppress IoU > 0.6), scores
    > 0.001, best MAX_DETECTIONS overall. Returns (boxes, scores, classes)."""
    out_b, out_s, out_c = [], [], []
    area = np.maximum(boxes[:, 2] - boxes[:, 0], 0) * np.maximum(boxes[:, 3] - boxes[:, 1], 0)
    # Only the best MAX_DETECTIONS survive overall: once that many are kept,
    # a class stops at a candidate below the lowest of the best kept so far
    # (the result is the same, much faster for PicoDet, whose scores rarely
    # fall under the threshold). Classes with the best candidates go first.
    best_kept = np.full(MAX_DETECTIONS, -np.inf)
    for c in np.argsort(-scores.max(axis=0), kind="stable"):
        idx = np.nonzero(scores[:, c] > SCORE_THRESHOLD)[0]
        if idx.size == 0:
            continue
        order = idx[np.argsort(-scores[idx, c], kind="stable")]
        keep = []
        while order.size and len(keep) < MAX_DETECTIONS:
            if scores[order[0], c] < best_kept[0]:
                break
            i = order[0]
            keep.append(i)
            if scores[i, c] > best_kept[0]:
                best_kept[0] = scores[i, c]
                best_kept.sort()
            rest = order[1:]
            iw = np.maximum(np.minimum(boxes[i, 2], boxes[rest, 2]) - np.maximum(boxes[i, 0], boxes[rest, 0]), 0)
            ih = np.maximum(np.minimum(boxes[i, 3], boxes[rest, 3]) - np.maximum(boxes[i, 1], boxes[rest, 1]), 0)
            inter = iw * ih
            union = area[i] + area[rest] - inter
            iou = np.where(union > 0, inter / np.where(union > 0, union, 1), 0)
            order = rest[iou <= IOU_THRESHOLD]
        out_b.append(boxes[keep])
        out_s.append(scores[keep, c])
        out_c.append(np.full(len(keep), c))
    if not out_b:
        return np.zeros((0, 4), np.float32), np.zeros(0, np.float32), np.zeros(0, np.int64)
    b, s, c = np.concatenate(out_b), np.concatenate(out_s), np.concatenate(out_c)
    top = np.argsort(-s, kind="stable")[:MAX_DETECTIONS]
    return b[top], s[top], c[top]


class ReferenceDetector:
    """An upstream model with its native preprocessing and decoding."""

    PICO_MEAN = np.array([123.675, 116.28, 103.53], np.float32)
    PICO_STD = np.array([58.395, 57.12, 57.375], np.float32)

    def __init__(self, name: str, threads: int | None = None):
        fname, self.family, self.size = CATALOGUE[name]
        self.session = session(UPSTREAM_DIR / fname, threads, quiet=True)
        self.input_name = self.session.get_inputs()[0].name
        self._anchors = self._picodet_anchors() if self.family == "picodet" else self._yolox_grid()

    def _picodet_anchors(self):
        cs, ss = [], []
        for stride in (8, 16, 32, 64):
            n = -(-self.size // stride)
            ys, xs = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
            cs.append(np.stack([(xs.ravel() + 0.5) * stride, (ys.ravel() + 0.5) * stride], 1))
            ss.append(np.full(n * n, stride))
        return np.concatenate(cs).astype(np.float32), np.concatenate(ss).astype(np.float32)

    def _yolox_grid(self):
        gs, ss = [], []
        for stride in (8, 16, 32):
            n = self.size // stride
            ys, xs = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
            gs.append(np.stack([xs.ravel(), ys.ravel()], 1))
            ss.append(np.full(n * n, stride))
        return np.concatenate(gs).astype(np.float32), np.concatenate(ss).astype(np.float32)

    def preprocess(self, bgr: np.ndarray):
        h, w = bgr.shape[:2]
        if self.family == "picodet":
            img = cv2.resize(bgr, (self.size, self.size), interpolation=cv2.INTER_LINEAR)
            img = cv2.cvtColor(img, cv2.COLOR_BGR2RGB).astype(np.float32)
            img = (img - self.PICO_MEAN) / self.PICO_STD
            return img.transpose(2, 0, 1)[None].copy(), (w / self.size, h / self.size)
        r = min(self.size / h, self.size / w)
        img = cv2.resize(bgr, (int(w * r), int(h * r)), interpolation=cv2.INTER_LINEAR)
        padded = np.full((self.size, self.size, 3), 114, dtype=np.uint8)
        padded[:int(h * r), :int(w * r)] = img
        return padded.transpose(2, 0, 1)[None].astype(np.float32), (1 / r, 1 / r)

    def forward(self, x: np.ndarray):
        return self.session.run(None, {self.input_name: x})

    def decode(self, outs):
        if self.family == "picodet":
            scores = np.concatenate(outs[:4], axis=1)[0]
            reg = np.concatenate(outs[4:8], axis=1)[0].reshape(-1, 4, 8)
            e = np.exp(reg - reg.max(-1, keepdims=True))
            dist = (e / e.sum(-1, keepdims=True)) @ np.arange(8, dtype=np.float32)
            centres, strides = self._anchors
            dist = dist * strides[:, None]
            boxes = np.concatenate([centres - dist[:, :2], centres + dist[:, 2:]], axis=1)
            return boxes, scores
        out = outs[0][0]
        grid, strides = self._anchors
        xy = (out[:, :2] + grid) * strides[:, None]
        wh = np.exp(out[:, 2:4]) * strides[:, None]
        boxes = np.concatenate([xy - wh / 2, xy + wh / 2], axis=1)
        return boxes, out[:, 5:] * out[:, 4:5]

    def detect(self, bgr: np.ndarray):
        """Rows (boxes in the image's pixels, scores, COCO-80 indices)."""
        h, w = bgr.shape[:2]
        x, (fx, fy) = self.preprocess(bgr)
        boxes, scores = self.decode(self.forward(x))
        boxes = boxes * np.array([fx, fy, fx, fy], np.float32)
        b, s, c = nms_per_class(boxes, scores)
        if self.family == "picodet":  # PaddleDetection clips to the image
            b = np.clip(b, 0, [w, h, w, h])
        return b, s, c


def load_coco(ann_path: Path) -> dict:
    return json.loads(Path(ann_path).read_text())


def coco_eval(ann_path: Path, dets: list[dict], img_ids=None) -> tuple[float, float]:
    """(mAP@0.5:0.95, mAP@0.5) over the eight road categories (pycocotools)."""
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(str(ann_path))
        if not dets:
            return 0.0, 0.0
        dt = gt.loadRes(dets)
        ev = COCOeval(gt, dt, "bbox")
        ev.params.catIds = ROAD_CATEGORY_IDS
        if img_ids is not None:
            ev.params.imgIds = list(img_ids)
        ev.evaluate()
        ev.accumulate()
        ev.summarize()
    return float(ev.stats[0]), float(ev.stats[1])


def coco_record(image_id: int, ltrb, score: float, category_id: int) -> dict:
    l, t, r, b = (float(v) for v in ltrb)
    return {"image_id": image_id, "category_id": category_id,
            "bbox": [l, t, r - l, b - t], "score": float(score)}
