"""Camera motion between consecutive frames, for the tracker.

A camera on a car, a drone or in a hand moves the whole picture: every box
shifts between frames, and a tracker that predicts boxes from the objects'
own speeds alone loses them. ``CameraMotion.update(frame, boxes)`` estimates
the motion of the background from the previous frame to this one: corners
found on a small grey copy of the previous frame (outside the boxes of the
objects there, which move on their own) are followed into this frame by
pyramidal Lucas-Kanade optical flow, and a similarity transform (shift,
rotation, uniform scale) is fitted to them with RANSAC. It returns the 2 x 3
matrix in full-frame pixels, or None when the motion cannot be told (the
first frame, a frame of another size, too few points that agree, an
implausible fit: a cut or an unrelated image), which the tracker takes as
"no camera motion". A fixed camera gives shifts of well under a pixel,
which are taken as none.
"""

from __future__ import annotations

import dataclasses

import cv2
import numpy as np

__all__ = ["CameraMotion", "Features", "features", "frame_size", "thumbnail", "warp_boxes"]

_WIDTH = 320  # width of the grey copy the motion is measured on
_CORNERS = 120
_WINDOW = 11  # optical flow window, pixels of the grey copy
_LEVELS = 4  # pyramid levels above it: shifts up to about a fifth of the frame
_MIN_POINTS = 12  # agreeing points needed for a fit
_MIN_SHARE = 0.3  # ... and at least this share of the points followed
_MAX_SCALE = 0.25  # |scale - 1| beyond this between two frames is a cut
_MAX_TURN = 0.35  # radians, likewise
_STILL = 0.3 / 640  # a fit moving no pixel by more than this share of the width is no motion


def frame_size(frame) -> tuple[int, int]:
    """(width, height) of an 8-bit BGR, BGRA or grey image; TypeError otherwise."""
    if not isinstance(frame, np.ndarray) or frame.ndim not in (2, 3) or frame.size == 0:
        raise TypeError("frame must be an image: a NumPy array of shape (height, width) or (height, width, 3)")
    if frame.dtype != np.uint8:
        raise TypeError(f"frame must hold 8-bit pixels (uint8), not {frame.dtype}")
    if frame.ndim == 3 and frame.shape[2] not in (1, 3, 4):
        raise TypeError(f"frame must have 1, 3 or 4 channels, not {frame.shape[2]}")
    return frame.shape[1], frame.shape[0]


def thumbnail(frame: np.ndarray, width: int) -> tuple[np.ndarray, float]:
    """The frame at most ``width`` pixels wide (channels kept) and its scale."""
    w, h = frame_size(frame)
    scale = min(1.0, width / w)
    if scale < 1.0:
        size = (max(1, round(w * scale)), max(1, round(h * scale)))
        frame = cv2.resize(frame, size, interpolation=cv2.INTER_LINEAR)
    return frame, scale


def _grey(frame: np.ndarray, width: int) -> tuple[np.ndarray, float]:
    """A small 8-bit grey copy of a BGR (or grey) frame and its scale."""
    frame, scale = thumbnail(frame, width)
    if frame.ndim == 3:
        if frame.shape[2] == 1:
            frame = frame[:, :, 0]
        else:
            frame = cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY if frame.shape[2] == 3 else cv2.COLOR_BGRA2GRAY)
    return np.ascontiguousarray(frame), scale


@dataclasses.dataclass(frozen=True)
class Features:
    """What one frame gives the motion measurement: its small grey copy and
    the corners found on it, away from the moving objects."""

    grey: np.ndarray
    scale: float  # of the grey copy against the frame
    shape: tuple[int, int]  # the frame's height and width
    points: np.ndarray | None


def features(frame: np.ndarray, boxes: np.ndarray | None = None, width: int = _WIDTH) -> Features:
    """The frame's ``Features``; ``boxes``: ltrb boxes of moving objects in
    ``frame``, where no corners are taken. Needs no earlier frame, so frames
    can be prepared in parallel."""
    grey, scale = _grey(frame, width)
    return Features(grey, scale, frame.shape[:2], _corners(grey, boxes, scale))


def _corners(grey: np.ndarray, boxes, scale: float) -> np.ndarray | None:
    mask = None
    if boxes is not None and len(boxes):
        mask = np.full(grey.shape, 255, np.uint8)
        b = np.round(np.asarray(boxes, np.float64).reshape(-1, 4) * scale).astype(np.int64)
        b[:, [0, 2]] = np.clip(b[:, [0, 2]], 0, grey.shape[1])
        b[:, [1, 3]] = np.clip(b[:, [1, 3]], 0, grey.shape[0])
        for left, top, right, bottom in b.tolist():
            mask[top:bottom, left:right] = 0
        if np.count_nonzero(mask) < mask.size // 5:  # objects fill the view: use it all
            mask = None
    points = cv2.goodFeaturesToTrack(grey, _CORNERS, 0.01, 8, mask=mask, blockSize=3)
    return None if points is None or len(points) < _MIN_POINTS else points


class CameraMotion:
    """The background's motion from one frame to the next (see the module notes)."""

    def __init__(self, width: int = _WIDTH):
        self.width = int(width)
        self.reset()

    def reset(self) -> None:
        self._prev: Features | None = None

    def update(self, frame: np.ndarray, boxes: np.ndarray | None = None) -> np.ndarray | None:
        """The 2 x 3 motion from the previous frame to ``frame``, in
        ``frame``'s pixels, or None (see the module notes). ``boxes``: ltrb
        boxes of moving objects in ``frame``, left out of the points the next
        frame's motion is measured on."""
        return self.step(features(frame, boxes, self.width))

    def step(self, now: Features) -> np.ndarray | None:
        """``update`` for a frame whose ``features`` are already taken."""
        prev, self._prev = self._prev, now
        if prev is None or prev.shape != now.shape or prev.points is None or prev.scale != now.scale:
            return None
        return self._fit(prev.grey, now.grey, prev.points, now.scale)

    @staticmethod
    def _fit(prev: np.ndarray, grey: np.ndarray, points: np.ndarray, scale: float) -> np.ndarray | None:
        moved, status, _ = cv2.calcOpticalFlowPyrLK(prev, grey, points, None, winSize=(_WINDOW, _WINDOW),
                                                    maxLevel=_LEVELS)
        if moved is None:
            return None
        ok = status.reshape(-1) == 1
        if ok.sum() < _MIN_POINTS:
            return None
        m, inliers = cv2.estimateAffinePartial2D(points[ok], moved[ok], method=cv2.RANSAC,
                                                 ransacReprojThreshold=1.0, maxIters=500, confidence=0.99)
        if m is None or inliers is None:
            return None
        agree = int(inliers.sum())
        if agree < _MIN_POINTS or agree < _MIN_SHARE * len(points):
            return None
        s = float(np.hypot(m[0, 0], m[1, 0]))
        if abs(s - 1.0) > _MAX_SCALE or abs(np.arctan2(m[1, 0], m[0, 0])) > _MAX_TURN:
            return None
        m = m.astype(np.float64)
        m[:, 2] /= scale  # shift back into full-frame pixels
        # How far the fit moves the frame's corners, in full-frame pixels.
        h, w = prev.shape[0] / scale, prev.shape[1] / scale
        corners = np.array([[0, 0, 1], [w, 0, 1], [0, h, 1], [w, h, 1]], np.float64)
        if np.abs(corners @ m.T - corners[:, :2]).max() <= _STILL * w:
            return None
        return m


def warp_boxes(m: np.ndarray, boxes: np.ndarray) -> np.ndarray:
    """ltrb boxes moved by the 2 x 3 similarity ``m``: centres mapped,
    width and height scaled (boxes stay upright)."""
    c = np.stack([(boxes[:, 0] + boxes[:, 2]) / 2, (boxes[:, 1] + boxes[:, 3]) / 2], axis=1)
    c = c @ m[:, :2].T + m[:, 2]
    s = float(np.hypot(m[0, 0], m[1, 0]))
    half = np.stack([boxes[:, 2] - boxes[:, 0], boxes[:, 3] - boxes[:, 1]], axis=1) * (s / 2)
    return np.concatenate([c - half, c + half], axis=1)
