"""Frames through ``cv2.VideoCapture``: video files (local, or over HTTP(S)
by byte ranges), cameras and live streams.

A reader is an iterator of (timestamp, image, name, rel, error) tuples, one
per frame position, with ``skip()`` to pass over one position without
decoding, ``end_error()`` for what went wrong at the end, and ``close()``.

Video files: a frame that does not decode is skipped and comes back as an
error at its position; the reading goes on with the next frame. When the
file ends clearly short of the frame count its container announces (exact
for MP4, MOV, 3GP and AVI; an estimate for the others, so only a large
shortfall counts), ``end_error()`` says so.

Cameras and streams: a stream that drops is reopened a few times with a
growing pause, then ``StreamError`` is raised.
"""

from __future__ import annotations

import collections
import math
import os
import threading
import time
from collections.abc import Callable
from urllib.parse import urlsplit

__all__ = ["CaptureReader", "SourceError", "StreamError", "EXACT_COUNT_EXTENSIONS"]

# Containers whose index gives the exact number of frames.
EXACT_COUNT_EXTENSIONS = frozenset({".mp4", ".m4v", ".mov", ".3gp", ".avi"})
# Reads tried past a failed one before a video file counts as ended, when
# its length is unknown (else up to the frames it still announces).
_LOOKAHEAD = 25
_MAX_LOOKAHEAD = 250


class SourceError(Exception):
    """A source that cannot be opened (missing file, unreadable video, bad URL...)."""


class StreamError(Exception):
    """A camera or stream that stopped delivering frames and could not be reopened."""


def _capture(target, api, timeouts: bool, open_timeout: float, read_timeout: float):
    import cv2

    params = []
    if timeouts:
        params = [cv2.CAP_PROP_OPEN_TIMEOUT_MSEC, int(open_timeout * 1000),
                  cv2.CAP_PROP_READ_TIMEOUT_MSEC, int(read_timeout * 1000)]
    try:
        cap = cv2.VideoCapture(target, api, params)
    except cv2.error:
        return None
    if not cap.isOpened():
        cap.release()
        return None
    return cap


def _extension(target) -> str:
    text = str(target)
    path = urlsplit(text).path if "://" in text else text
    return os.path.splitext(path)[1].lower()


class CaptureReader:
    """Frames of a video file, a camera or a stream URL.

    ``kind``: "video", "camera" or "url"; ``target``: what OpenCV opens;
    ``name``: how the source is shown (a URL without its password);
    ``on_close``: called once when the reader is closed (removes a
    temporary copy)."""

    def __init__(self, kind: str, target, *, name: str | None = None, open_timeout: float,
                 read_timeout: float, reconnect: int, backoff: float,
                 stop: threading.Event | None = None, on_close: Callable[[], None] | None = None,
                 stem: str | None = None):
        import cv2

        self.kind = kind
        self.target = target
        self.on_close = on_close
        self.api = cv2.CAP_FFMPEG if kind in ("url", "video") else cv2.CAP_ANY
        self.timeouts = kind == "url" or "://" in str(target)
        self.open_timeout, self.read_timeout = open_timeout, read_timeout
        self.reconnect, self.backoff = reconnect, backoff
        self.stop = stop or threading.Event()
        self.name = name or (f"camera:{target}" if kind == "camera" else str(target))
        base = os.path.basename(urlsplit(self.name).path.rstrip("/") if "://" in self.name else self.name)
        self.rel_stem = stem or (os.path.splitext(base)[0] if kind != "camera" else self.name) or "stream"
        self.exact = _extension(target) in EXACT_COUNT_EXTENSIONS
        self.pending: collections.deque = collections.deque()
        self.ended = False
        self.cap = self._open()
        if self.cap is None:
            self.close()
            what = {"video": "video file", "camera": "camera", "url": "stream"}[kind]
            hint = " (is it a video OpenCV's FFmpeg back end can decode?)" if kind == "video" else ""
            raise SourceError(f"{self.name}: cannot open {what}{hint}")
        fps = self.cap.get(cv2.CAP_PROP_FPS)
        self.fps = fps if math.isfinite(fps) and 0 < fps < 1000 else None
        count = self.cap.get(cv2.CAP_PROP_FRAME_COUNT)
        # A stream URL with a frame count is a file served over the network:
        # after a reconnect it is read again from the start, so the frames
        # already delivered are skipped.
        self.count = int(count) if kind != "camera" and math.isfinite(count) and count > 0 else None
        self.size = (int(self.cap.get(cv2.CAP_PROP_FRAME_WIDTH)), int(self.cap.get(cv2.CAP_PROP_FRAME_HEIGHT)))
        self.pos = 0  # frame positions delivered, skipped or found damaged
        self.failures = 0  # reconnect tries since the last frame

    def _open(self):
        return _capture(self.target, self.api, self.timeouts, self.open_timeout, self.read_timeout)

    def _timestamp(self) -> float | None:
        import cv2

        if self.kind != "video":
            return time.time()
        ms = self.cap.get(cv2.CAP_PROP_POS_MSEC)
        if math.isfinite(ms) and ms >= 0 and (ms > 0 or self.pos == 0):
            return ms / 1000.0
        return self.pos / self.fps if self.fps else None

    def _frame(self, img):
        ts = self._timestamp()
        self.pos += 1
        self.failures = 0
        return ts, img, self.name, f"{self.rel_stem}_{self.pos - 1:06d}.jpg", None

    # -- video files ---------------------------------------------------------

    def _lookahead(self) -> int:
        if self.count is None:
            return _LOOKAHEAD
        return min(max(self.count - self.pos, 0), _MAX_LOOKAHEAD)

    def _next_video(self):
        ok, img = self.cap.read()
        if ok and img is not None:
            return self._frame(img)
        # A failed read is a damaged frame when a later one decodes, else the end.
        for failed in range(1, self._lookahead() + 1):
            if self.stop.is_set():
                break
            ok, img = self.cap.read()
            if ok and img is not None:
                for _ in range(failed):
                    self.pending.append((None, None, self.name, "", "this frame does not decode; skipped"))
                    self.pos += 1
                self.pending.append(self._frame(img))
                return self.pending.popleft()
        self.ended = True
        raise StopIteration

    def end_error(self) -> str | None:
        """Why a video file ended early (clearly short of the frames its
        container announces), or None."""
        if self.kind != "video" or not self.ended or self.count is None:
            return None
        missing = self.count - self.pos
        tolerance = 1 if self.exact else max(2, self.count // 4)
        if missing <= tolerance:
            return None
        return (f"the video ended after {self.pos} of the {self.count} frames its container announces; "
                "the file is cut short or damaged")

    # -- cameras and streams -------------------------------------------------

    def _reopen(self, why: str) -> None:
        """Reopen a dropped camera or stream and skip to where it was; raise
        StreamError once the tries are spent. The tries count from the last
        frame delivered, so a stream that reopens but delivers nothing new
        still runs out of them."""
        while self.failures < self.reconnect:
            delay = self.backoff * 2 ** self.failures
            self.failures += 1
            if self.stop.wait(delay):
                raise StopIteration
            if self.cap is not None:
                self.cap.release()
            self.cap = self._open()
            if self.cap is None:
                continue
            if self.count is not None and not self._skip_to(self.pos):
                continue
            return
        if self.cap is not None:
            self.cap.release()
        self.cap = None
        raise StreamError(f"{self.name}: {why}; gave up after {self.reconnect} reconnect "
                          f"tr{'y' if self.reconnect == 1 else 'ies'}")

    def _skip_to(self, pos: int) -> bool:
        for _ in range(pos):
            if self.stop.is_set() or not self.cap.grab():
                return False
        return True

    def _grab_or_reconnect(self, decode: bool):
        while True:
            if self.cap is None:
                raise StopIteration
            if decode:
                ok, img = self.cap.read()
            else:
                ok, img = self.cap.grab(), None
            if ok and (img is not None or not decode):
                return img
            if self.kind == "video" or (self.count is not None and self.pos >= self.count):
                self.ended = True
                raise StopIteration  # the end of a file
            if self.reconnect <= 0:
                raise StreamError(f"{self.name}: the stream stopped delivering frames")
            self._reopen("the stream stopped delivering frames")

    # -- the reader protocol -------------------------------------------------

    def __next__(self):
        if self.pending:
            return self.pending.popleft()
        if self.cap is None or self.ended:
            raise StopIteration
        if self.kind == "video":
            return self._next_video()
        return self._frame(self._grab_or_reconnect(decode=True))

    def skip(self) -> bool:
        if self.pending:
            self.pending.popleft()
            return True
        if self.cap is None or self.ended:
            return False
        try:
            self._grab_or_reconnect(decode=False)
        except StopIteration:
            return False
        self.pos += 1
        self.failures = 0
        return True

    def close(self) -> None:
        cap = getattr(self, "cap", None)
        if cap is not None:
            cap.release()
            self.cap = None
        if self.on_close is not None:
            on_close, self.on_close = self.on_close, None
            on_close()
