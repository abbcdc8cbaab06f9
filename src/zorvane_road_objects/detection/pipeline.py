"""Parallel detection over a frame source, results in frame order.

``detect_stream(source, ...)`` reads a source (see ``stream.open_source``)
on a reader thread, runs the detector on ``workers`` threads (each with its
own detector whose session uses ``threads`` intra-op threads; ONNX Runtime
and OpenCV release the GIL, so the threads run in parallel) and yields one
``FrameResult`` per frame, in frame order, whatever order the workers
finish in.

Memory stays bounded whatever the length of the input: at most
``workers + queue_size`` frames are in flight (read but not yet yielded)
at any time, counting the input queue, the frames being detected and the
reorder buffer.

The returned ``DetectionStream`` is an iterator and a context manager.
Closing it (``close()``, leaving the ``with`` block, or an exception such
as ``KeyboardInterrupt`` in the consumer inside the block) stops the reader
and the workers and joins them. Per-frame failures (an unreadable image, a
detection that raised) come back as a ``FrameResult`` with ``error`` set, at
their place in the order; a stream that drops for good raises
``stream.StreamError`` after the frames read before it; a detector that
cannot be created raises its error (e.g. ``ValueError("Model access
denied")``) from ``start()`` or the first ``next()``.

With ``track`` every record gets a ``track_id`` (see ``track.py``): the
detector then runs at the tracker's lower threshold (``Tracker.low``) so
that the tracker sees the weak boxes too.
"""

from __future__ import annotations

import os
import queue
import threading
from collections.abc import Callable


from zorvane_road_objects import facts
from zorvane_road_objects.detection.records import FrameResult, as_detections
from zorvane_road_objects.media.images import read_failure
from zorvane_road_objects.media.sources import Frame, FrameSource, open_source

__all__ = ["DetectionStream", "FrameRefused", "detect_stream", "detector_threshold", "make_detector"]

_JOIN_TIMEOUT_S = 10.0
_POLL_S = 0.1


def make_detector(model: str = facts.DEFAULT_MODEL, backend: str = facts.DEFAULT_BACKEND, conf: float = 0.5,
                  iou: float = 0.5, threads: int | None = None):
    """A ``zv_road_object_detector``; its session uses ``threads`` intra-op
    threads (None: the detector's default)."""
    from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector

    extra = {} if threads is None else {"threads": threads}
    return zv_road_object_detector(model, backend, conf, iou, **extra)


def detector_threshold(conf: float, track: bool) -> float:
    """The threshold the detector runs at: ``conf``, or with tracking the
    tracker's lower one as well (``track.LOW``), so that it sees the weak boxes."""
    if not track:
        return conf
    from zorvane_road_objects.detection.track import LOW

    return min(conf, LOW)


class _Fatal:
    def __init__(self, exc: BaseException):
        self.exc = exc


class _End:
    def __init__(self, count: int, exc: BaseException | None = None):
        self.count = count
        self.exc = exc


_STOP = object()


class _Shared:
    """State the threads share (they hold no reference to the DetectionStream,
    so an abandoned stream is collected and closes itself)."""

    def __init__(self, workers: int, queue_size: int):
        self.stop = threading.Event()
        self.inq: queue.Queue = queue.Queue(maxsize=queue_size)
        self.outq: queue.Queue = queue.Queue()
        self.slots = threading.Semaphore(workers + queue_size)
        self.first_lock = threading.Lock()
        self.first_done = threading.Event()
        self.first_failed = False
        self.ready = threading.Barrier(workers + 1)

    def put_in(self, item) -> bool:
        while not self.stop.is_set():
            try:
                self.inq.put(item, timeout=_POLL_S)
                return True
            except queue.Full:
                continue
        return False


def _reader(sh: _Shared, src: FrameSource, workers: int) -> None:
    seq = 0
    end = None
    try:
        for frame in src:
            while not sh.slots.acquire(timeout=_POLL_S):
                if sh.stop.is_set():
                    return
            if not sh.put_in((seq, frame)):
                return
            seq += 1
        end = _End(seq)
    except BaseException as exc:  # a dropped stream: reported after the frames before it
        end = _End(seq, exc)
    finally:
        src.close()
        if end is not None:
            sh.outq.put(end)
        for _ in range(workers):
            if not sh.put_in(_STOP):
                break


def _make_worker_detector(sh: _Shared, factory: Callable):
    """The first worker builds its detector alone (it may provision the model
    file); the others build theirs once it has succeeded."""
    if sh.first_lock.acquire(blocking=False):
        try:
            return factory()
        except BaseException:
            sh.first_failed = True
            raise
        finally:
            sh.first_done.set()
    while not sh.first_done.wait(_POLL_S):
        if sh.stop.is_set():
            return None
    if sh.first_failed:
        return None
    return factory()


def _worker(sh: _Shared, factory: Callable, keep_images: bool, prepare: Callable | None) -> None:
    try:
        det = _make_worker_detector(sh, factory)
    except BaseException as exc:
        sh.outq.put(_Fatal(exc))
        det = None
    try:
        sh.ready.wait()
    except threading.BrokenBarrierError:
        pass
    if det is None:
        return
    try:
        while not sh.stop.is_set():
            try:
                item = sh.inq.get(timeout=_POLL_S)
            except queue.Empty:
                continue
            if item is _STOP:
                return
            seq, frame = item
            result = _detect(det, frame, keep_images)
            sh.outq.put((seq, result, _prepare(prepare, frame, result)))
    except BaseException as exc:  # never leave the consumer waiting for a frame
        sh.outq.put(_Fatal(exc))


class FrameRefused(Exception):
    """Raised by a detector for a frame it does not take (e.g. a size rule);
    the message becomes the frame's error as it is."""


def _load(frame: Frame) -> None:
    """Decode an image file's frame in the worker (see FrameSource.lazy_images)."""
    if frame.image is None and frame.error is None and frame.load is not None:
        try:
            frame.image = frame.load()
        except (OSError, ValueError) as exc:
            frame.error = read_failure(exc)


def _prepare(prepare: Callable | None, frame: Frame, result: FrameResult):
    """What the tracker takes from the frame's picture, taken here on the
    worker (in parallel) so that the frame itself need not wait in the queue."""
    if prepare is None or result.error is not None or frame.image is None:
        return None
    try:
        return prepare(frame.image, result.detections)
    except (TypeError, ValueError):  # a picture the tracker cannot use: boxes alone
        return None


def _detect(det, frame: Frame, keep_images: bool) -> FrameResult:
    _load(frame)
    out = FrameResult(frame.name, frame.index, frame.timestamp, error=frame.error,
                      image=frame.image if keep_images else None, rel=frame.rel, source_no=frame.source)
    if frame.error is None:
        height, width = frame.image.shape[:2]
        out.size = (width, height)
        try:
            result = det(frame.image)
            out.detections = as_detections(result)
            out.seconds = result.get("ltrb_proc_sec")
        except FrameRefused as exc:
            out.error = str(exc)
        except Exception as exc:
            out.error = f"detection failed: {exc}"
    return out


class DetectionStream:
    """Iterator of ``FrameResult`` in frame order; see the module notes."""

    def __init__(self, src: FrameSource, factory: Callable, workers: int, queue_size: int,
                 keep_images: bool, tracker=None, conf: float = 0.5):
        self.source = src
        self.fps = src.fps
        self.size = src.size
        self.errors = src.errors  # (path, message) of arguments that gave no images
        expected = src.expected_frames()
        # No more detectors than frames: each costs a session and its memory.
        self.workers = workers = max(1, min(workers, expected)) if expected is not None else workers
        self._factory = factory
        self._keep = keep_images
        self._sh = _Shared(workers, queue_size)
        src.bind_stop(self._sh.stop)
        src.lazy_images = True  # the workers decode image files, in parallel
        self._threads: list[threading.Thread] = []
        self._started = False
        self._closed = False
        self._next = 0
        self._pending: dict[int, tuple] = {}  # (FrameResult, the tracker's view of the frame)
        self._end: _End | None = None
        self._tracker = tracker
        self._conf = conf
        self._track_source = None

    # -- life cycle ---------------------------------------------------------

    def start(self) -> DetectionStream:
        """Start the threads and wait until every worker has its detector;
        raise the detector's error if one could not be created."""
        if self._closed:
            raise ValueError("the detection stream is closed")
        if self._started:
            return self
        self._started = True
        sh = self._sh
        for i in range(self.workers):
            # The tracker measures the camera's motion and the objects' looks
            # on the frames themselves, prepared by the workers.
            prepare = self._tracker.prepare if self._tracker is not None and self._tracker.uses_frames else None
            t = threading.Thread(target=_worker, args=(sh, self._factory, self._keep, prepare),
                                 name=f"zv-detect-{i}", daemon=True)
            t.start()
            self._threads.append(t)
        try:
            sh.ready.wait()
        except BaseException:
            sh.ready.abort()
            self.close()
            raise
        fatal = self._take_fatal()
        if fatal is not None:
            self.close()
            raise fatal.exc
        t = threading.Thread(target=_reader, args=(sh, self.source, self.workers),
                             name="zv-read", daemon=True)
        t.start()
        self._threads.append(t)
        return self

    def _take_fatal(self) -> _Fatal | None:
        kept = []
        fatal = None
        while True:
            try:
                item = self._sh.outq.get_nowait()
            except queue.Empty:
                break
            if isinstance(item, _Fatal):
                fatal = fatal or item
            else:
                kept.append(item)
        for item in kept:
            self._sh.outq.put(item)
        return fatal

    def close(self) -> None:
        """Stop the reader and the workers and wait for them (idempotent)."""
        if self._closed:
            return
        self._closed = True
        sh = self._sh
        sh.stop.set()
        sh.ready.abort()
        for t in self._threads:
            if t is not threading.current_thread():
                t.join(_JOIN_TIMEOUT_S)
        if not any(t.name == "zv-read" for t in self._threads):
            self.source.close()  # the reader never ran: nobody else releases it
        self._pending.clear()
        while True:
            try:
                sh.inq.get_nowait()
            except queue.Empty:
                break

    def __enter__(self) -> DetectionStream:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    # -- iteration ----------------------------------------------------------

    def __iter__(self) -> DetectionStream:
        return self

    def __next__(self) -> FrameResult:
        if self._closed:
            raise StopIteration
        if not self._started:
            self.start()
        try:
            pair = self._next_in_order()
        except BaseException:
            self.close()
            raise
        if pair is None:
            self.close()
            raise StopIteration
        self._sh.slots.release()
        item, view = pair
        if self._tracker is not None:
            self._track(item, view)
        return item

    def _next_in_order(self) -> tuple | None:
        """The next frame's (FrameResult, view), None at the end."""
        sh = self._sh
        while self._next not in self._pending:
            if self._end is not None and self._next >= self._end.count:
                if self._end.exc is not None:
                    raise self._end.exc
                return None
            try:
                item = sh.outq.get(timeout=_POLL_S)
            except queue.Empty:
                if not any(t.is_alive() for t in self._threads):
                    raise RuntimeError("the detection threads stopped unexpectedly") from None
                continue
            if isinstance(item, _End):
                self._end = item
            elif isinstance(item, _Fatal):
                raise item.exc
            else:
                self._pending[item[0]] = item[1:]
        self._next += 1
        return self._pending.pop(self._next - 1)

    def _track(self, item: FrameResult, view) -> None:
        if item.source_no != self._track_source:
            self._tracker.reset()
            self._track_source = item.source_no
        if item.error is None:
            # Frames without a timestamp (still images) are timed by the
            # tracker's frame rate.
            item.detections = self._tracker.update(item.detections, item.timestamp, view)


def detect_stream(source, model: str = facts.DEFAULT_MODEL, *, workers: int | None = None,
                  threads: int | None = 1, track=False, backend: str = facts.DEFAULT_BACKEND,
                  conf: float = 0.5, iou: float = 0.5, detector_factory: Callable | None = None,
                  keep_images: bool = False, queue_size: int | None = None,
                  **source_options) -> DetectionStream:
    """Detect road objects in the frames of ``source``.

    ``source``: anything ``media.sources.open_source`` takes (paths, folders,
    globs, a video file, a camera index, a stream URL, or a list of them), or
    an opened ``FrameSource``; ``source_options`` go to ``open_source``
    (``every``, ``max_frames``, time-outs...). ``workers``: detector threads
    (default ``os.cpu_count()``); ``threads``: intra-op threads of each
    detector's session. ``track``: True for a ``Tracker`` with its defaults
    at ``conf``, or a ``Tracker`` of your own. ``detector_factory``: a
    callable with no arguments returning a detector (called with a BGR image,
    returning the native detector's result dict), used instead of the
    catalogue ``model``; each worker calls it once. ``keep_images``: keep
    each frame's image on its result (for annotation). ``queue_size``:
    frames buffered ahead of the workers (default ``2 * workers``).

    The source is opened here (``SourceError`` if it cannot be); the threads
    start with ``start()`` or the first ``next()``.
    """
    if workers is None:
        workers = os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a whole number >= 1, not {workers!r}")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be None or a whole number >= 1, not {threads!r}")
    if queue_size is None:
        queue_size = 2 * workers
    if not isinstance(queue_size, int) or queue_size < 1:
        raise ValueError(f"queue_size must be a whole number >= 1, not {queue_size!r}")
    tracker = _tracker(track, conf)
    if detector_factory is None:
        det_conf = conf if tracker is None else min(conf, tracker.low)

        def detector_factory():
            return make_detector(model, backend, det_conf, iou, threads)
    elif not callable(detector_factory):
        raise TypeError("detector_factory must be a callable returning a detector")
    if isinstance(source, FrameSource):
        src = source
        for name in ("every", "max_frames"):
            if name in source_options:
                setattr(src, name, source_options.pop(name))
        if source_options:
            raise TypeError(f"options for an opened source: {', '.join(source_options)}")
    else:
        src = open_source(source, **source_options)
    return DetectionStream(src, detector_factory, workers, queue_size, keep_images, tracker, conf)


def _tracker(track, conf: float):
    if track is False or track is None:
        return None
    from zorvane_road_objects.detection.track import Tracker

    if track is True:
        return Tracker(conf)
    if not isinstance(track, Tracker):
        raise TypeError(f"track must be True, False or a Tracker, not {type(track).__name__}")
    return track
