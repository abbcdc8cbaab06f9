"""Video output.

``VideoSink(path, fps)`` writes BGR frames into an MPEG-4 (``mp4v``) file
with ``cv2.VideoWriter``; the frame size is taken from the first frame and
later frames of another size are resized to it.
"""

from __future__ import annotations

import os

import cv2
import numpy as np

__all__ = ["VideoSink"]

DEFAULT_FPS = 25.0


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
