"""Annotated video output.

``VideoSink(path, fps)`` writes BGR frames into an MPEG-4 (``mp4v``) file
with ``cv2.VideoWriter``; the frame size is taken from the first frame and
later frames of another size are resized to it. ``annotate_frame`` draws a
frame's detections (with their track ids) and a counting line.
"""

from __future__ import annotations

import os

import cv2
import numpy as np

from zorvane_road_objects.detection.draw import draw_detections, style_for

__all__ = ["VideoSink", "annotate_frame"]

DEFAULT_FPS = 25.0


def annotate_frame(image: np.ndarray, records, counter=None) -> np.ndarray:
    """A copy of ``image`` with the records drawn (labels "class #id conf%"
    where records carry a ``track_id``) and, given a ``LineCounter``, its line
    and totals."""
    labelled = []
    for rec in records or []:
        tid = rec.get("track_id") if isinstance(rec, dict) else None
        if tid is not None:
            rec = {**rec, "class": f"{rec.get('class', rec.get('class_id'))} #{tid}"}
        labelled.append(rec)
    out = draw_detections(image, labelled)
    if counter is not None:
        st = style_for(*out.shape[:2])
        x1, y1, x2, y2 = (int(round(v)) for v in counter.line)
        cv2.line(out, (x1, y1), (x2, y2), (255, 255, 255), st["thickness"] + 2, cv2.LINE_AA)
        cv2.line(out, (x1, y1), (x2, y2), (0, 0, 255), st["thickness"], cv2.LINE_AA)
        s = counter.summary()
        text = f"in {s['in']}  out {s['out']}"
        (tw, th), base = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, st["font_scale"], st["font_thickness"])
        pad = st["pad"]
        cv2.rectangle(out, (0, 0), (tw + 2 * pad, th + base + 2 * pad), (0, 0, 0), cv2.FILLED)
        cv2.putText(out, text, (pad, pad + th), cv2.FONT_HERSHEY_SIMPLEX, st["font_scale"],
                    (255, 255, 255), st["font_thickness"], cv2.LINE_AA)
    return out


class VideoSink:
    """Writes frames to ``path`` (MPEG-4 part 2, ``mp4v``) at ``fps``."""

    def __init__(self, path, fps: float | None = None, fourcc: str = "mp4v"):
        self.path = os.fspath(path)
        self.fps = float(fps) if fps and fps > 0 else DEFAULT_FPS
        self.fourcc = fourcc
        self.size: tuple[int, int] | None = None
        self.frames = 0
        self._writer = None

    def _open(self, width: int, height: int) -> None:
        parent = os.path.dirname(self.path)
        if parent:
            os.makedirs(parent, exist_ok=True)
        writer = cv2.VideoWriter(self.path, cv2.VideoWriter_fourcc(*self.fourcc), self.fps, (width, height))
        if not writer.isOpened():
            writer.release()
            raise OSError(f"cannot write video {self.path} ({self.fourcc}, {width}x{height})")
        self._writer = writer
        self.size = (width, height)

    def write(self, image: np.ndarray) -> None:
        if not isinstance(image, np.ndarray) or image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 3:
            raise ValueError("frames must be H x W x 3 uint8 BGR images")
        h, w = image.shape[:2]
        if self._writer is None:
            self._open(w, h)
        elif (w, h) != self.size:
            image = cv2.resize(image, self.size, interpolation=cv2.INTER_AREA)
        self._writer.write(np.ascontiguousarray(image))
        self.frames += 1

    def close(self) -> None:
        if self._writer is not None:
            self._writer.release()
            self._writer = None

    def __enter__(self) -> VideoSink:
        return self

    def __exit__(self, *exc) -> None:
        self.close()
