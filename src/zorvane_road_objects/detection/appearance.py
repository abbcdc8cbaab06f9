"""What a box looks like, for telling apart objects that pass close by.

``describe(image, boxes)`` gives each box a unit vector: the hue-saturation
histograms (16 x 4 bins) of the upper and the lower half of the box's inner
part (a fifth of the width off each side and a tenth of the height off top
and bottom, mostly the object rather than what is behind it), square-rooted
so that a dot product of two vectors is their Bhattacharyya coefficient:
1 for the same colours, near 0 for different ones. Clothes keep their colours
from frame to frame, and two people crossing seldom wear the same; lighting
changes slowly, which the tracker's running average of a track's vectors
follows. Boxes too small to describe, and grey images, get no vector.
"""

from __future__ import annotations

import cv2
import numpy as np

__all__ = ["SIZE", "describe"]

_BINS = (16, 4)
SIZE = 2 * _BINS[0] * _BINS[1]
_MIN_SIDE = 4  # pixels of the inner part, in the image described


def describe(image: np.ndarray, boxes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(vectors, described) for the ltrb ``boxes`` in the pixels of ``image``
    (8-bit BGR or BGRA): one row of ``SIZE`` per box, and whether it has one."""
    out = np.zeros((len(boxes), SIZE))
    done = np.zeros(len(boxes), bool)
    if not len(boxes) or image.ndim != 3 or image.shape[2] not in (3, 4):
        return out, done
    hsv = cv2.cvtColor(image[:, :, :3] if image.shape[2] == 4 else image, cv2.COLOR_BGR2HSV)
    h, w = hsv.shape[:2]
    b = np.asarray(boxes, np.float64)
    bw, bh = b[:, 2] - b[:, 0], b[:, 3] - b[:, 1]
    inner = np.stack([b[:, 0] + 0.2 * bw, b[:, 1] + 0.1 * bh, b[:, 2] - 0.2 * bw, b[:, 3] - 0.1 * bh], axis=1)
    inner = np.clip(np.round(inner), 0, [w, h, w, h]).astype(np.int64)
    for i, (left, top, right, bottom) in enumerate(inner.tolist()):
        if right - left < _MIN_SIDE or bottom - top < 2 * _MIN_SIDE:
            continue
        mid = (top + bottom) // 2
        for half, (a, z) in enumerate(((top, mid), (mid, bottom))):
            hist = cv2.calcHist([hsv[a:z, left:right]], [0, 1], None, list(_BINS), [0, 180, 0, 256]).ravel()
            out[i, half * hist.size:(half + 1) * hist.size] = np.sqrt(hist / (2.0 * hist.sum()))
        done[i] = True
    return out, done
