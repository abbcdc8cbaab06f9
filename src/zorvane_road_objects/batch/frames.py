"""The work of a batch run on one machine, shared by the in-process run and
the Ray actors: a frame source over a list of paths, the detectors, and
the detection of a list of paths through the parallel pipeline.

Both paths run ``detection.pipeline.detect_stream`` over ``PathSource``
with one-thread detectors, so a row is the same whichever runs it: the
pipeline decodes in its workers, refuses what the detector's size rules
refuse, and turns every failure into the frame's error.
"""

from __future__ import annotations

import contextlib
import io
import os
import threading
from collections.abc import Callable, Sequence

from zorvane_road_objects.batch.inputs import is_uri
from zorvane_road_objects.detection import diagnose
from zorvane_road_objects.detection.detector import open_catalogue_model
from zorvane_road_objects.detection.pipeline import FrameRefused, detect_stream
from zorvane_road_objects.media.images import decode_image, read_image
from zorvane_road_objects.media.sources import Frame, FrameSource

__all__ = ["DetectorSet", "PathSource", "detect_paths", "read_input", "result_rows"]


def read_input(path: str):
    """The decoded image at a local path or a URI (OSError or ValueError)."""
    if not is_uri(path):
        return read_image(path)
    import pyarrow.fs as pafs

    fs, inner = pafs.FileSystem.from_uri(path)
    with fs.open_input_stream(inner) as fh:
        return decode_image(fh.read())


class PathSource(FrameSource):
    """Image frames for exactly these paths, one per path and in order,
    undecoded (each frame's ``load`` reads it); nothing is expanded,
    deduplicated or checked up front."""

    def __init__(self, paths: Sequence[str]):
        super().__init__([])
        self.paths = paths

    def __iter__(self):
        for i, path in enumerate(self.paths):
            if self.stop.is_set():
                return
            yield Frame(i, None, None, path, load=lambda p=path: read_input(p))

    def expected_frames(self) -> int:
        return len(self.paths)


class DetectorSet:
    """``count`` one-thread detectors of a catalogue model, made as the
    ``detect`` command makes them: provisioned from the model server, or
    from the model files bundled with the package when no server can
    provide the model (``bundled`` then says so, in a sentence)."""

    # Processes of one machine take turns: a model is provisioned once.
    _lock = threading.Lock()

    def __init__(self, model: str, backend: str, conf: float, iou: float, count: int,
                 quiet_download: bool = True):
        self.bundled: str | None = None
        output = (lambda: contextlib.redirect_stderr(io.StringIO())) if quiet_download else contextlib.nullcontext

        def notice(text: str) -> None:
            self.bundled = text

        with self._lock, _machine_lock():
            ready = open_catalogue_model(model, backend, conf, iou, notice=notice, output=output, threads=1)
            try:
                self.detectors = [ready.detect] + [ready.spawn() for _ in range(count - 1)]
            finally:
                ready.close()  # the model is in the cache now; a stand-in server stops

    def factory(self) -> Callable[[], Callable]:
        """A factory for one pipeline run: each call hands out the next detector."""
        pool = iter(list(self.detectors))
        lock = threading.Lock()

        def make():
            with lock:
                detect = next(pool)

            def call(image):
                problem = diagnose.image_size_problem(*image.shape[:2])
                if problem is not None:
                    raise FrameRefused(problem)
                return detect(image)

            return call

        return make


@contextlib.contextmanager
def _machine_lock():
    """An exclusive lock on the data directory, so that processes of one
    machine (Ray actors) never provision the same model at once. Without
    fcntl (Windows) or file locks, provisioning's own per-file lock still
    lets only one of them download a model file."""
    from zorvane_road_objects import facts

    fd = None
    try:
        import fcntl

        os.makedirs(facts.data_dir(), exist_ok=True)
        fd = os.open(facts.data_dir(), os.O_RDONLY)
        fcntl.flock(fd, fcntl.LOCK_EX)
    except (ImportError, OSError):
        pass
    try:
        yield
    finally:
        if fd is not None:
            os.close(fd)


def result_rows(frames, classes: Sequence[str] | None) -> list[dict]:
    """Rows for ``FrameResult`` objects; ``classes`` keeps only those classes."""
    rows = []
    for fr in frames:
        if classes is not None and fr.error is None:
            fr.detections = [d for d in fr.detections if d.class_name in classes]
        rows.append(fr.to_row())
    return rows


def detect_paths(paths: Sequence[str], detectors: DetectorSet, *, stop: threading.Event | None = None):
    """``FrameResult`` for each path, in order, on one pipeline worker per detector."""
    src = PathSource(paths)
    with detect_stream(src, workers=len(detectors.detectors), detector_factory=detectors.factory()) as stream:
        for fr in stream:
            yield fr
            if stop is not None and stop.is_set():
                return

