"""The plain greedy NMS loop that `utils.nms` must match index for index
(used by the tests and by benchmarks/bench_nms.py)."""

from __future__ import annotations

import numpy as np


def plain_greedy(boxes, scores, iou_threshold):
    """The reference: one vectorised step per kept box."""
    b = np.asarray(boxes, dtype=np.float64).reshape(-1, 4)
    s = np.asarray(scores, dtype=np.float64).reshape(-1)
    order = np.argsort(-s, kind="stable")
    x1, y1, x2, y2 = b.T
    keep = []
    with np.errstate(all="ignore"):
        area = np.maximum(x2 - x1, 0.0) * np.maximum(y2 - y1, 0.0)
        while order.size:
            i = order[0]
            keep.append(i)
            rest = order[1:]
            iw = np.maximum(np.minimum(x2[i], x2[rest]) - np.maximum(x1[i], x1[rest]), 0.0)
            ih = np.maximum(np.minimum(y2[i], y2[rest]) - np.maximum(y1[i], y1[rest]), 0.0)
            inter = iw * ih
            union = area[i] + area[rest] - inter
            iou = np.where(union > 0, inter / union, 0.0)
            order = rest[iou <= iou_threshold]
    return np.asarray(keep, dtype=np.intp)
