"""Frame sources: image files, folders and globs, video files, cameras and
stream URLs, read as one ordered sequence of frames.

``open_source(source)`` opens a source (or a list of them, read one after
the other) and returns a ``FrameSource``; iterating it yields ``Frame``
objects in order:

- ``index``: the position of the frame in the whole sequence, from 0;
- ``timestamp``: seconds: the frame's presentation time for a video file
  (``index / fps`` where the container has none), wall-clock time (seconds
  since the epoch) for cameras and stream URLs, ``None`` for still images;
- ``image``: the 8-bit BGR image, or ``None`` when the frame has an error;
- ``name``: the image path, the video path, the URL or ``camera:N``;
- ``rel``: a relative path to save an annotated copy under;
- ``error``: why an image file could not be read (the sequence goes on).

What each source is:

- an ``int`` or a string of digits: a camera index;
- a string with a scheme ``rtsp``, ``rtsps``, ``rtmp``, ``http``, ``https``:
  a stream URL, read through OpenCV's FFmpeg back end with open and read
  time-outs; a stream that drops is reopened a few times with a growing
  pause, then ``StreamError`` is raised;
- an existing file whose extension is a video one (``VIDEO_EXTENSIONS``):
  a video file;
- anything else: image files and folders as the ``detect`` command takes
  them (folders searched recursively, sorted), and glob patterns
  (``*``, ``?``, ``[...]``, ``**``) expanded in sorted order.

A source that cannot be opened raises ``SourceError`` from ``open_source``.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import os
import re
import threading
import time
from collections.abc import Callable, Iterator, Sequence

import numpy as np

from zorvane_road_objects.media.images import collect_images, expand_pattern, read_failure, read_image

__all__ = [
    "Frame",
    "FrameSource",
    "SourceError",
    "StreamError",
    "VIDEO_EXTENSIONS",
    "classify",
    "open_source",
]

VIDEO_EXTENSIONS = frozenset({
    ".mp4", ".m4v", ".mov", ".avi", ".mkv", ".webm", ".mpg", ".mpeg", ".ts", ".mts",
    ".m2ts", ".wmv", ".flv", ".3gp", ".ogv", ".mjpeg", ".mjpg", ".y4m",
})
URL_SCHEMES = ("rtsp", "rtsps", "rtmp", "http", "https")
_URL_RE = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")

# Stream defaults: how long opening and one read may block, how many times a
# dropped stream is reopened and the first pause between tries (doubled each try).
OPEN_TIMEOUT_S = 10.0
READ_TIMEOUT_S = 10.0
RECONNECT_TRIES = 3
RECONNECT_BACKOFF_S = 0.5


class SourceError(Exception):
    """A source that cannot be opened (missing file, unreadable video, bad URL...)."""


class StreamError(Exception):
    """A camera or stream that stopped delivering frames and could not be reopened."""


@dataclasses.dataclass
class Frame:
    index: int
    timestamp: float | None
    image: np.ndarray | None
    name: str
    rel: str = ""
    error: str | None = None
    source: int = 0  # which of the sources given to open_source the frame comes from
    # With FrameSource.lazy_images, an image file's frame comes undecoded:
    # image is None and load() decodes it (raising OSError or ValueError).
    load: Callable[[], np.ndarray] | None = None


def classify(source) -> str:
    """``"camera"``, ``"url"``, ``"video"`` or ``"images"`` for one source argument."""
    if isinstance(source, bool):
        raise TypeError("a source is a path, a URL or a camera index, not a bool")
    if isinstance(source, int):
        return "camera"
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"a source is a path, a URL or a camera index, not {type(source).__name__}")
    text = os.fspath(source)
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    if text.isdigit():
        return "camera"
    m = _URL_RE.match(text)
    if m:
        if m.group(1).lower() in URL_SCHEMES:
            return "url"
        raise SourceError(f"{text}: unsupported URL scheme {m.group(1)!r} "
                          f"(use one of {', '.join(URL_SCHEMES)})")
    if os.path.isfile(text) and os.path.splitext(text)[1].lower() in VIDEO_EXTENSIONS:
        return "video"
    return "images"


def _expand_globs(paths: Sequence[str]) -> tuple[list[str], list[tuple[str, str]]]:
    out: list[str] = []
    errors: list[tuple[str, str]] = []
    for p in paths:
        found = expand_pattern(p)
        if found is None:
            out.append(p)
            continue
        if not found:
            errors.append((p, "no files match the pattern"))
        out.extend(found)
    return out, errors


# ---------------------------------------------------------------------------
# Readers: each is an iterator of (timestamp, image, name, rel, error) tuples
# with skip() to pass over one frame cheaply and close().


class _ImageReader:
    def __init__(self, paths: Sequence[str]):
        expanded, glob_errors = _expand_globs(paths)
        items, errors = collect_images(expanded)
        self.errors = glob_errors + errors
        if not items:
            detail = "; ".join(f"{p}: {m}" for p, m in self.errors) or "no images"
            raise SourceError(detail)
        self.items = items
        self.pos = 0
        self.lazy = False
        self.fps = None
        self.size = None

    def __next__(self):
        if self.pos >= len(self.items):
            raise StopIteration
        path, rel = self.items[self.pos]
        self.pos += 1
        if self.lazy:
            return None, None, path, rel, None, functools.partial(read_image, path)
        try:
            return None, read_image(path), path, rel, None
        except (OSError, ValueError) as exc:
            return None, None, path, rel, read_failure(exc)

    def skip(self) -> bool:
        if self.pos >= len(self.items):
            return False
        self.pos += 1
        return True

    def close(self) -> None:
        pass


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


class _CaptureReader:
    """Frames of a video file, a camera or a stream URL through cv2.VideoCapture."""

    def __init__(self, kind: str, target, *, open_timeout: float, read_timeout: float,
                 reconnect: int, backoff: float, stop: threading.Event | None):
        import cv2

        self.kind = kind
        self.target = target
        self.api = cv2.CAP_FFMPEG if kind in ("url", "video") else cv2.CAP_ANY
        self.timeouts = kind == "url"
        self.open_timeout, self.read_timeout = open_timeout, read_timeout
        self.reconnect, self.backoff = reconnect, backoff
        self.stop = stop or threading.Event()
        self.name = f"camera:{target}" if kind == "camera" else str(target)
        base = os.path.basename(str(target).rstrip("/")) if kind != "camera" else self.name
        self.rel_stem = os.path.splitext(base)[0] or "stream"
        self.cap = self._open()
        if self.cap is None:
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
        self.pos = 0  # frames delivered or skipped
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
                raise StopIteration  # the end of a file
            if self.reconnect <= 0:
                raise StreamError(f"{self.name}: the stream stopped delivering frames")
            self._reopen("the stream stopped delivering frames")

    def __next__(self):
        img = self._grab_or_reconnect(decode=True)
        ts = self._timestamp()
        self.pos += 1
        self.failures = 0
        rel = f"{self.rel_stem}_{self.pos - 1:06d}.jpg"
        return ts, img, self.name, rel, None

    def skip(self) -> bool:
        try:
            self._grab_or_reconnect(decode=False)
        except StopIteration:
            return False
        self.pos += 1
        self.failures = 0
        return True

    def close(self) -> None:
        if self.cap is not None:
            self.cap.release()
            self.cap = None


class FrameSource:
    """An opened source: iterate it for ``Frame`` objects; ``close()`` it (or
    use it as a context manager) to release files, cameras and connections.

    ``every``: deliver every Nth frame of each source (the others are grabbed
    without decoding where the source allows); ``max_frames``: stop after
    that many frames in all. ``errors`` lists (path, message) pairs for
    arguments that gave no images (missing files, empty folders...).
    ``fps`` and ``size`` are those of the first video source, if any.
    """

    def __init__(self, readers_args: list, *, every: int = 1, max_frames: int | None = None,
                 stop: threading.Event | None = None):
        self.every = int(every)
        self.max_frames = max_frames
        self.stop = stop or threading.Event()
        self._delivered = 0
        self.errors: list[tuple[str, str]] = []
        self.fps: float | None = None
        self.size: tuple[int, int] | None = None
        self.kind = readers_args[0][0] if readers_args else "images"
        self._readers = []
        try:
            for args in readers_args:  # open everything now: errors show up front
                reader = self._make(*args)
                self._readers.append(reader)
                self.errors.extend(getattr(reader, "errors", ()))
                if self.fps is None and getattr(reader, "fps", None):
                    self.fps, self.size = reader.fps, reader.size
        except BaseException:
            self.close()
            raise

    def _make(self, kind, target, opts):
        if kind == "images":
            return _ImageReader(target)
        return _CaptureReader(kind, target, stop=self.stop, **opts)

    def __iter__(self) -> Iterator[Frame]:
        return self._frames()

    def _frames(self) -> Iterator[Frame]:
        index = 0
        try:
            for no, reader in enumerate(self._readers):
                n = 0
                while not self.stop.is_set():
                    if self.max_frames is not None and self._delivered >= self.max_frames:
                        return
                    if n % self.every:
                        if not reader.skip():
                            break
                        n += 1
                        index += 1
                        continue
                    try:
                        ts, img, name, rel, err, *load = next(reader)
                    except StopIteration:
                        break
                    yield Frame(index, ts, img, name, rel, err, no, *load)
                    self._delivered += 1
                    n += 1
                    index += 1
                reader.close()
        finally:
            self.close()

    def describe(self, no: int) -> tuple[str, float | None, str]:
        """(kind, frames per second or None, file stem) of source number ``no``."""
        reader = self._readers[no]
        if isinstance(reader, _ImageReader):
            return "images", None, ""
        return reader.kind, reader.fps, reader.rel_stem

    def expected_frames(self) -> int | None:
        """How many frames the iteration will deliver, where that is known
        (image files, and video files that report their length)."""
        total = 0
        for reader in self._readers:
            n = len(reader.items) if isinstance(reader, _ImageReader) else (
                reader.count if reader.kind == "video" else None)
            if n is None:
                return None
            total += -(-n // self.every)
        return total if self.max_frames is None else min(total, self.max_frames)

    @property
    def lazy_images(self) -> bool:
        """Deliver image files undecoded (``Frame.load`` decodes), so that
        the consumer's threads decode them in parallel."""
        return any(getattr(r, "lazy", False) for r in self._readers)

    @lazy_images.setter
    def lazy_images(self, value: bool) -> None:
        for reader in self._readers:
            if isinstance(reader, _ImageReader):
                reader.lazy = bool(value)

    def bind_stop(self, stop: threading.Event) -> None:
        """Use ``stop`` to end the iteration and cut reconnect pauses short."""
        self.stop = stop
        for reader in self._readers:
            if isinstance(reader, _CaptureReader):
                reader.stop = stop

    def close(self) -> None:
        for reader in self._readers:
            reader.close()

    def __enter__(self) -> FrameSource:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def open_source(source, *, every: int = 1, max_frames: int | None = None,
                open_timeout: float = OPEN_TIMEOUT_S, read_timeout: float = READ_TIMEOUT_S,
                reconnect: int = RECONNECT_TRIES, backoff: float = RECONNECT_BACKOFF_S,
                stop: threading.Event | None = None) -> FrameSource:
    """Open a source or a list of sources (read in turn) as a ``FrameSource``.

    Consecutive image paths, folders and globs make one image source. ``stop``
    (an event) interrupts reconnect pauses and ends the iteration when set.
    Raises ``SourceError`` when a source cannot be opened and ``ValueError``
    for bad ``every`` / ``max_frames`` values.
    """
    if isinstance(every, bool) or not isinstance(every, int) or every < 1:
        raise ValueError(f"every must be a whole number of frames, at least 1, not {every!r}")
    if max_frames is not None and (isinstance(max_frames, bool) or not isinstance(max_frames, int)
                                   or max_frames < 0):
        raise ValueError(f"max_frames must be None or a whole number >= 0, not {max_frames!r}")
    sources = list(source) if isinstance(source, (list, tuple)) else [source]
    if not sources:
        raise SourceError("no source given")
    opts = {"open_timeout": open_timeout, "read_timeout": read_timeout,
            "reconnect": int(reconnect), "backoff": float(backoff)}
    groups: list = []
    for s in sources:
        kind = classify(s)
        if kind == "images":
            path = os.fsdecode(os.fspath(s))
            if groups and groups[-1][0] == "images":
                groups[-1][1].append(path)
            else:
                groups.append(("images", [path], opts))
        elif kind == "camera":
            groups.append(("camera", int(s), opts))
        else:
            groups.append((kind, os.fsdecode(os.fspath(s)), opts))
    return FrameSource(groups, every=every, max_frames=max_frames, stop=stop)
