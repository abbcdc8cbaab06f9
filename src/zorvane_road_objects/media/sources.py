"""Frame sources: image files, folders and globs, video files (local, over
HTTP(S) or on standard input), cameras and stream URLs.

``open_source(source)`` opens a source, or a list of them read one after
the other, and returns a ``FrameSource``; iterating it yields ``Frame``
objects in order:

- ``source``: the number of the source the frame comes from, from 0;
- ``index``: the position of the frame within its source, from 0;
- ``timestamp``: seconds: the frame's presentation time for a video file
  (``index / fps`` where the container has none), wall-clock time (seconds
  since the epoch) for cameras and stream URLs, ``None`` for still images;
- ``image``: the 8-bit BGR image, or ``None`` when the frame has an error;
- ``name``: the image path, the video path, the URL (its password shown as
  ``***``), ``camera:N`` or ``<stdin>``;
- ``rel``: a relative path to save an annotated copy under;
- ``error``: why the frame could not be read (the sequence goes on): an
  image file that does not decode, a video frame that does not decode, or,
  as one more frame at the end of a video, a video that ended clearly short
  of the frames its container announces.

What makes one source:

- an ``int`` or a string of ASCII digits that names no file: a camera;
- ``rtsp``, ``rtsps``, ``rtmp`` URLs, and ``http(s)`` URLs whose path does
  not end in a video file extension (``URL_VIDEO_EXTENSIONS``; ``.m3u8``
  and the like): a live stream, read through OpenCV's FFmpeg back end with
  open and read time-outs; a stream that drops is reopened a few times with
  a growing pause, then ``StreamError`` is raised;
- an ``http(s)`` URL of a video file: read as a file, by byte ranges when
  the server offers them, else downloaded to a temporary file first (up to
  ``download_limit`` bytes); timestamps from the file;
- ``-``: standard input, an image (decoded in memory) or a video (copied to
  a temporary file first, up to ``download_limit`` bytes);
- an existing file with a video extension (``VIDEO_EXTENSIONS``);
- a folder: its image files, searched recursively, in sorted order;
- a glob pattern (``*``, ``?``, ``[...]``, ``**``): its image matches, in
  sorted order, make one source, each video it matches is a source of its own;
- an image file named alone: a source of one frame.

``every`` and ``max_frames`` apply to each source. Only regular files are
read: FIFOs, devices and dangling links are listed in ``errors``, never
opened. A source that cannot be opened raises ``SourceError`` from
``open_source``; arguments that give no frames while others do are listed
in ``FrameSource.errors``.
"""

from __future__ import annotations

import dataclasses
import functools
import os
import re
import sys
import threading
from collections.abc import Callable, Iterator
from urllib.parse import urlsplit

import numpy as np

from zorvane_road_objects.media.capture import CaptureReader, SourceError, StreamError
from zorvane_road_objects.media.images import (
    MAX_PIXELS,
    collect_images,
    decode_image,
    expand_pattern,
    read_failure,
    read_image,
)
from zorvane_road_objects.media.remote import (
    DOWNLOAD_LIMIT,
    DownloadError,
    fetch_video,
    quiet_decoder_logs,
    read_stdin,
    redact,
    remove_file,
)

__all__ = [
    "Frame",
    "FrameSource",
    "SourceError",
    "StreamError",
    "STDIN",
    "URL_VIDEO_EXTENSIONS",
    "VIDEO_EXTENSIONS",
    "classify",
    "open_source",
    "redact",
]

VIDEO_EXTENSIONS = frozenset({
    ".mp4", ".m4v", ".mov", ".avi", ".mkv", ".webm", ".mpg", ".mpeg", ".ts", ".mts",
    ".m2ts", ".wmv", ".flv", ".3gp", ".ogv", ".mjpeg", ".mjpg", ".y4m",
})
# An http(s) URL whose path ends in one of these names a video file.
URL_VIDEO_EXTENSIONS = frozenset({".mp4", ".mov", ".mkv", ".avi", ".webm", ".m4v"})
URL_SCHEMES = ("rtsp", "rtsps", "rtmp", "http", "https")
STDIN = "-"
STDIN_NAME = "<stdin>"
_URL_RE = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")

# Stream defaults: how long opening and one read may block, how many times a
# dropped stream is reopened and the first pause between tries (doubled each try).
OPEN_TIMEOUT_S = 10.0
READ_TIMEOUT_S = 10.0
RECONNECT_TRIES = 3
RECONNECT_BACKOFF_S = 0.5


@dataclasses.dataclass
class Frame:
    index: int  # position within its source
    timestamp: float | None
    image: np.ndarray | None
    name: str
    rel: str = ""
    error: str | None = None
    source: int = 0  # which source the frame comes from (see FrameSource.describe)
    # With FrameSource.lazy_images, an image file's frame comes undecoded:
    # image is None and load() decodes it (raising OSError or ValueError).
    load: Callable[[], np.ndarray] | None = None


def _text(source) -> str:
    text = os.fspath(source)
    return os.fsdecode(text) if isinstance(text, bytes) else text


def classify(source) -> str:
    """``"camera"``, ``"url"`` (a live stream), ``"video"`` (a file, local or
    over HTTP(S)), ``"stdin"`` or ``"images"`` for one source argument."""
    if isinstance(source, bool):
        raise TypeError("a source is a path, a URL or a camera index, not a bool")
    if isinstance(source, int):
        return "camera"
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"a source is a path, a URL or a camera index, not {type(source).__name__}")
    text = _text(source)
    if text == STDIN:
        return "stdin"
    m = _URL_RE.match(text)
    if m:
        scheme = m.group(1).lower()
        if scheme not in URL_SCHEMES:
            raise SourceError(f"{redact(text)}: unsupported URL scheme {m.group(1)!r} "
                              f"(use one of {', '.join(URL_SCHEMES)})")
        ext = os.path.splitext(urlsplit(text).path)[1].lower()
        return "video" if scheme in ("http", "https") and ext in URL_VIDEO_EXTENSIONS else "url"
    if os.path.lexists(text):
        if os.path.isfile(text) and os.path.splitext(text)[1].lower() in VIDEO_EXTENSIONS:
            return "video"
        return "images"
    if text.isascii() and text.isdigit():
        return "camera"
    return "images"


class _ImageReader:
    """Image files (or one image in memory) as the frames of one source;
    ``load(path)`` reads one."""

    kind = "images"
    fps = None
    size = None
    rel_stem = ""

    def __init__(self, items: list[tuple[str, str]], load: Callable[[str], np.ndarray]):
        self.items = items
        self.load = load
        self.pos = 0
        self.lazy = False

    def __next__(self):
        if self.pos >= len(self.items):
            raise StopIteration
        path, rel = self.items[self.pos]
        self.pos += 1
        if self.lazy:
            return None, None, path, rel, None, functools.partial(self.load, path)
        try:
            return None, self.load(path), path, rel, None
        except (OSError, ValueError) as exc:
            return None, None, path, rel, read_failure(exc)

    def skip(self) -> bool:
        if self.pos >= len(self.items):
            return False
        self.pos += 1
        return True

    def end_error(self) -> None:
        return None

    def close(self) -> None:
        pass


class FrameSource:
    """Opened sources: iterate for ``Frame`` objects; ``close()`` (or use as
    a context manager) to release files, cameras, connections and temporary
    copies.

    ``every``: deliver every Nth frame of each source (the others are grabbed
    without decoding where the source allows); ``max_frames``: at most that
    many frames of each source. ``errors`` lists (path, message) pairs for
    arguments that gave no frames (missing files, empty folders, FIFOs...).
    ``fps`` and ``size`` are those of the first video source, if any.
    """

    def __init__(self, readers: list, errors=(), *, every: int = 1, max_frames: int | None = None,
                 stop: threading.Event | None = None):
        self.every = int(every)
        self.max_frames = max_frames
        self.stop = stop or threading.Event()
        self.errors: list[tuple[str, str]] = list(errors)
        self._readers = list(readers)
        self.kind = self._readers[0].kind if self._readers else "images"
        video = next((r for r in self._readers if getattr(r, "fps", None)), None)
        self.fps = video.fps if video else None
        self.size = video.size if video else None
        self.bind_stop(self.stop)

    def __iter__(self) -> Iterator[Frame]:
        return self._frames()

    def _frames(self) -> Iterator[Frame]:
        try:
            for no, reader in enumerate(self._readers):
                yield from self._source_frames(no, reader)
                reader.close()
        finally:
            self.close()

    def _source_frames(self, no: int, reader) -> Iterator[Frame]:
        n = delivered = 0
        while not self.stop.is_set():
            if self.max_frames is not None and delivered >= self.max_frames:
                return
            if n % self.every:
                if not reader.skip():
                    break
                n += 1
                continue
            try:
                ts, img, name, rel, err, *load = next(reader)
            except StopIteration:
                break
            yield Frame(n, ts, img, name, rel, err, no, *load)
            delivered += 1
            n += 1
        else:  # stopped from outside: no verdict on the source's end
            return
        problem = reader.end_error()
        if problem:
            yield Frame(n, None, None, reader.name, "", problem, no)

    def describe(self, no: int) -> tuple[str, float | None, str]:
        """(kind, frames per second or None, file stem) of source number ``no``."""
        reader = self._readers[no]
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
            n = -(-n // self.every)
            total += n if self.max_frames is None else min(n, self.max_frames)
        return total

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
            if isinstance(reader, CaptureReader):
                reader.stop = stop

    def close(self) -> None:
        for reader in self._readers:
            reader.close()

    def __enter__(self) -> FrameSource:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


@dataclasses.dataclass
class _Options:
    capture: dict
    load: Callable[[str], np.ndarray]
    check: Callable | None
    max_pixels: int | None
    download_limit: int
    progress: bool | None
    notify: Callable[[str], None] | None
    stdin: object


def _open_images(args: list[str], opts: _Options, readers: list, errors: list) -> None:
    items, problems = collect_images(args)
    errors.extend(problems)
    if items:
        readers.append(_ImageReader(items, opts.load))


def _open_glob(pattern: str, matches: list[str], opts: _Options, readers: list, errors: list) -> None:
    if not matches:
        errors.append((pattern, "no files match the pattern"))
    run: list[str] = []
    for match in matches:
        if classify(match) == "video":
            _open_images(run, opts, readers, errors)
            run = []
            readers.append(CaptureReader("video", match, **opts.capture))
        else:
            run.append(match)
    _open_images(run, opts, readers, errors)


def _open_remote(url: str, opts: _Options) -> CaptureReader:
    name = redact(url)
    try:
        target, temporary = fetch_video(url, name, limit=opts.download_limit, progress=opts.progress,
                                        notify=opts.notify,
                                        timeouts=(opts.capture["open_timeout"], opts.capture["read_timeout"]))
    except DownloadError as exc:
        raise SourceError(f"{name}: cannot open video file: {exc}") from None
    on_close = functools.partial(remove_file, target) if temporary else None
    return CaptureReader("video", target, name=name, on_close=on_close, **opts.capture)


def _open_stdin(opts: _Options) -> object:
    stream = opts.stdin if opts.stdin is not None else sys.stdin.buffer
    try:
        spooled = read_stdin(stream, limit=opts.download_limit)
    except DownloadError as exc:
        raise SourceError(f"{STDIN_NAME}: {exc}") from None
    except OSError as exc:
        raise SourceError(f"{STDIN_NAME}: cannot read standard input: {exc.strerror or exc}") from None
    if spooled.image is not None:
        data = spooled.image

        def load(_name: str) -> np.ndarray:
            return decode_image(data, check=opts.check, max_pixels=opts.max_pixels)

        return _ImageReader([(STDIN_NAME, "stdin.png")], load)
    try:
        return CaptureReader("video", spooled.path, name=STDIN_NAME, stem="stdin",
                             on_close=functools.partial(remove_file, spooled.path), **opts.capture)
    except SourceError:
        raise SourceError(f"{STDIN_NAME}: neither an image nor a video OpenCV's FFmpeg back end "
                          "can decode") from None


def _open_one(s, opts: _Options, readers: list, errors: list) -> None:
    kind = classify(s)
    if kind == "camera":
        readers.append(CaptureReader("camera", int(s), **opts.capture))
    elif kind == "stdin":
        readers.append(_open_stdin(opts))
    elif kind in ("url", "video"):
        text = _text(s)
        if "://" in text and kind == "video":
            readers.append(_open_remote(text, opts))
        else:
            readers.append(CaptureReader(kind, text, name=redact(text), **opts.capture))
    else:
        path = _text(s)
        matches = expand_pattern(path)
        if matches is None:
            _open_images([path], opts, readers, errors)
        else:
            _open_glob(path, matches, opts, readers, errors)


def _check_counts(every, max_frames) -> None:
    if isinstance(every, bool) or not isinstance(every, int) or every < 1:
        raise ValueError(f"every must be a whole number of frames, at least 1, not {every!r}")
    if max_frames is not None and (isinstance(max_frames, bool) or not isinstance(max_frames, int)
                                   or max_frames < 0):
        raise ValueError(f"max_frames must be None or a whole number >= 0, not {max_frames!r}")


def open_source(source, *, every: int = 1, max_frames: int | None = None,
                open_timeout: float = OPEN_TIMEOUT_S, read_timeout: float = READ_TIMEOUT_S,
                reconnect: int = RECONNECT_TRIES, backoff: float = RECONNECT_BACKOFF_S,
                stop: threading.Event | None = None, image_check: Callable | None = None,
                max_pixels: int | None = MAX_PIXELS, download_limit: int = DOWNLOAD_LIMIT,
                progress: bool | None = None, notify: Callable[[str], None] | None = None,
                verbose: bool = False, stdin=None) -> FrameSource:
    """Open a source or a list of sources (read in turn) as a ``FrameSource``.

    ``stop`` (an event) interrupts reconnect pauses and ends the iteration
    when set. ``image_check(height, width)`` returns why an image of that
    size is refused, or None; it runs on the size an image file declares,
    before decoding, like the ``max_pixels`` limit (the frame gets the
    message as its error). ``download_limit``: the most bytes copied to a
    temporary file (a video over HTTP without byte ranges, standard input).
    ``progress``: show a download progress bar on standard error (None: when
    it is a terminal). ``notify(message)`` receives one-line notes (a
    download that has to happen first). FFmpeg's and OpenCV's log lines are
    hidden unless ``verbose``. ``stdin``: a binary stream read for ``-``
    (standard input by default).

    Raises ``SourceError`` when a source cannot be opened, or when nothing
    at all can be read, and ``ValueError`` for bad ``every`` / ``max_frames``.
    """
    _check_counts(every, max_frames)
    sources = list(source) if isinstance(source, (list, tuple)) else [source]
    if not sources:
        raise SourceError("no source given")
    quiet_decoder_logs(verbose)
    opts = _Options(
        capture={"open_timeout": open_timeout, "read_timeout": read_timeout,
                 "reconnect": int(reconnect), "backoff": float(backoff), "stop": stop},
        load=functools.partial(read_image, check=image_check, max_pixels=max_pixels),
        check=image_check, max_pixels=max_pixels, download_limit=int(download_limit),
        progress=progress, notify=notify, stdin=stdin)
    readers: list = []
    errors: list[tuple[str, str]] = []
    try:
        for s in sources:  # open everything now: errors show up front
            _open_one(s, opts, readers, errors)
        if not readers:
            detail = "; ".join(f"{p}: {m}" for p, m in errors) or "no images"
            raise SourceError(detail)
    except BaseException:
        for reader in readers:
            reader.close()
        raise
    return FrameSource(readers, errors, every=every, max_frames=max_frames, stop=stop)
