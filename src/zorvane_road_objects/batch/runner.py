"""Batch detection over many images into Parquet, in this process or on Ray.

    from zorvane_road_objects.batch import detect_dataset
    summary = detect_dataset(["photos/", "@more.txt"], "detections.parquet")

One row per input with the schema ``SCHEMA`` (see ``batch.store``):

- ``path``: the file as read (local paths absolute);
- ``width``, ``height``: the decoded image's size, null when it did not decode;
- ``detections``: list of {class, class_id, score (whole percent), left, top,
  right, bottom}; empty when nothing was found, null when the image was not
  processed;
- ``error``: null when the image was processed, else what went wrong. A file
  that is missing, empty or not an image is such a row, never a failed run.

Where it runs: without ``address`` (and without ``use_ray``) in this
process, on the parallel pipeline (``detection.pipeline``) with one
one-thread detector per core: no Ray needed, only pyarrow. ``use_ray``
starts a private local Ray instance for the run; ``address="auto"`` or
``"ray://host:port"`` joins a running cluster (one actor per node, see
``batch.cluster``). The rows are the same either way.

Output and resuming: see ``batch.store``. The rows are written as part
files while the run goes on, so a run killed at any moment and resumed
(``resume=True``) gives every input exactly once and redoes only the
inputs whose part was not written yet.
"""

from __future__ import annotations

import dataclasses
import os
import sys
import threading
import time
import warnings

import pyarrow as pa

from zorvane_road_objects import __version__, facts
from zorvane_road_objects.batch.frames import DetectorSet, detect_paths, result_rows
from zorvane_road_objects.batch.inputs import expand_inputs
from zorvane_road_objects.batch.store import SCHEMA, BatchError, PartBuffer, open_store
from zorvane_road_objects.detection.detector import SetupError
from zorvane_road_objects.detection.records import FrameResult

__all__ = ["SCHEMA", "BatchError", "BatchSummary", "detect_dataset"]

DEFAULT_BATCH_SIZE = 64
DEFAULT_PART_ROWS = 4096
ERROR_SAMPLES = 5


@dataclasses.dataclass
class BatchSummary:
    output: str
    rows: int  # rows in the output, one per input
    errors: int  # rows with an error in the output
    detected: int  # inputs this run processed (the rest were in the output already)
    skipped: int  # inputs that a resumed output already held
    workers: int  # detector threads (in-process) or actors (Ray)
    seconds: float  # whole run, Ray start-up included
    ray_start_seconds: float  # starting or joining Ray (0 without Ray, or when reused)
    address: str | None  # the cluster joined, None otherwise
    mode: str = "in-process"  # "in-process", "local Ray" or "cluster"
    new_errors: int = 0  # error rows this run wrote
    error_samples: list[tuple[str, str]] = dataclasses.field(default_factory=list)  # the first few


class _Progress:
    """The package's one progress bar, or the caller's callable."""

    def __init__(self, progress, total: int):
        self._call = progress if callable(progress) else None
        self._want_bar = bool(progress) and self._call is None
        self._bar = None
        self.total = total
        self.done = 0

    def open(self) -> None:
        if self._want_bar and self._bar is None:
            from tqdm import tqdm

            self._bar = tqdm(total=self.total, unit="img", file=sys.stderr, leave=True, dynamic_ncols=True)

    def update(self, n: int) -> None:
        self.done += n
        self.open()
        if self._bar is not None:
            self._bar.update(n)
        if self._call is not None:
            self._call(self.done, self.total)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


class _Tally:
    """What this run wrote: rows, error rows and the first few errors."""

    def __init__(self):
        self.rows = 0
        self.errors = 0
        self.samples: list[tuple[str, str]] = []

    def rows_added(self, rows: list[dict]) -> None:
        self.rows += len(rows)
        for row in rows:
            if row["error"] is not None:
                self._error(row["path"], row["error"])

    def table_added(self, table: pa.Table) -> None:
        self.rows += table.num_rows
        errors = table.column("error")
        if errors.null_count < len(errors):
            for path, err in zip(table.column("path").to_pylist(), errors.to_pylist()):
                if err is not None:
                    self._error(path, err)

    def _error(self, path: str, error: str) -> None:
        self.errors += 1
        if len(self.samples) < ERROR_SAMPLES:
            self.samples.append((path, error))


def _check_args(model, conf, iou, workers, batch_size, classes) -> tuple[str, ...] | None:
    if model not in facts.CATALOGUE:
        raise ValueError(f"unknown model {model!r}; choose one of {', '.join(facts.CATALOGUE)}")
    for name, value in (("conf", conf), ("iou", iou)):
        if not (0.0 <= float(value) <= 1.0):
            raise ValueError(f"{name} must be between 0 and 1, got {value}")
    if workers is not None and int(workers) < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if int(batch_size) < 1:
        raise ValueError(f"batch_size must be at least 1, got {batch_size}")
    if classes is None:
        return None
    classes = (classes,) if isinstance(classes, str) else tuple(classes)
    unknown = [c for c in classes if c not in facts.CLASS_NAMES]
    if unknown or not classes:
        raise ValueError(f"unknown classes {unknown}; the classes are {', '.join(facts.CLASS_NAMES)}")
    return tuple(sorted(set(classes), key=facts.CLASS_NAMES.index))


def _open_output(output, settings, *, resume: bool, overwrite: bool, retry_errors: bool):
    """The part store, with the inputs it already holds (empty unless resumed)."""
    store = open_store(os.fspath(output), settings)
    if not store.exists():
        return store, set()
    if overwrite:
        foreign = store.foreign()
        if store.final is None and foreign:
            raise BatchError(f"output folder {store.display} holds files no batch run wrote "
                             f"({', '.join(foreign[:3])}); name a new or empty folder")
        store.clear()
        return store, set()
    if not resume:
        raise BatchError(f"output {store.display} exists; add --resume to continue it (the inputs it "
                         "holds are skipped) or --overwrite to replace it")
    store.tidy()
    store.check_settings()
    done, _, _ = store.done(retry_errors)
    return store, done


def _run_here(paths, sink, progress, *, model, backend, conf, iou, classes, workers, notice, verbose) -> int:
    count = int(workers or os.cpu_count() or 1)
    try:
        detectors = DetectorSet(model, backend, conf, iou, count, quiet_download=not verbose)
    except SetupError as exc:
        raise BatchError(f"cannot provision model {model!r}: {exc}") from None
    if detectors.bundled:
        notice(detectors.bundled)
    stop = threading.Event()
    for fr in detect_paths(paths, detectors, stop=stop):
        sink(result_rows([fr], classes))
        progress.update(1)
    return count


def _detect_all(files, missing, buffer, tally, bar, *, address, use_ray, model, backend, conf, iou, classes,
                workers, batch_size, worker_env, verbose, say, warn) -> tuple[str, int, float]:
    """Write the rows of ``missing`` and detect ``files``, here or on Ray;
    returns (mode, workers, seconds Ray took to start)."""
    mode, n_workers, ray_start = "in-process", 0, 0.0

    def add_rows(rows):
        tally.rows_added(rows)
        buffer.add_rows(rows)

    def add_table(table):
        tally.table_added(table)
        buffer.add_table(table)
        bar.update(table.num_rows)

    noted: set[str] = set()

    def on_note(text: str) -> None:
        if not noted:
            warn(f"some nodes cannot get {model} from their model server and use the model file "
                 f"bundled with the package (first: {text})")
        noted.add(text)

    try:
        if missing:
            add_rows([FrameResult(p, 0, error=m).to_row() for p, m in missing])
            bar.update(len(missing))
        if files and address is None and not use_ray:
            n_workers = _run_here(files, add_rows, bar, model=model, backend=backend, conf=conf, iou=iou,
                                  classes=classes, workers=workers, notice=warn, verbose=verbose)
        elif files:
            from zorvane_road_objects.batch.cluster import ray_session, run_on_ray

            mode = "local Ray" if address is None else "cluster"
            with ray_session(address, int(workers or os.cpu_count() or 1), verbose=verbose,
                             say=say) as ray_start:
                bar.open()
                n_workers = run_on_ray(files, add_table, model=model, backend=backend, conf=conf, iou=iou,
                                       classes=classes, threads=workers, batch_size=int(batch_size),
                                       local=address is None, worker_env=worker_env, verbose=verbose,
                                       on_note=on_note)
    finally:
        bar.close()
        buffer.flush()  # what was detected stays, for a resumed run
    return mode, n_workers, ray_start


def detect_dataset(inputs, output, model: str = facts.DEFAULT_MODEL, *, address: str | None = None,
                   use_ray: bool = False, workers: int | None = None, conf: float = 0.5, iou: float = 0.5,
                   backend: str = facts.DEFAULT_BACKEND, classes=None, progress=True,
                   batch_size: int = DEFAULT_BATCH_SIZE, part_rows: int = DEFAULT_PART_ROWS,
                   resume: bool = False, overwrite: bool = False, retry_errors: bool = False,
                   worker_env: dict | None = None, verbose: bool = False, notice=None) -> BatchSummary:
    """Detect road objects in every image of ``inputs`` and write ``output`` (Parquet).

    inputs: files, folders, glob patterns, ``@list.txt`` files and URIs
    (see ``batch.inputs``). output: ``NAME.parquet`` for one file, any other
    name for a folder holding a Parquet dataset (local path or URI).
    address: a Ray cluster to join (``"auto"``, ``"ray://host:port"``);
    use_ray: start a local Ray instance; neither: run in this process.
    workers: detector threads per machine (default: its cores). classes:
    class names to keep (default all). resume: skip the inputs the output
    holds (their settings must be the same); overwrite: replace an
    existing output; retry_errors: with resume, detect again the inputs
    whose row is an error. progress: True for a progress bar on standard
    error, False for none, or a callable taking (done, total). notice:
    callable for the run's messages (default: a RuntimeWarning for the
    bundled-model notice only). worker_env: extra environment variables for
    Ray actors. Raises ValueError for bad arguments or no inputs at all,
    BatchError when the run cannot be done; images that fail are rows with
    their error.
    """
    classes = _check_args(model, conf, iou, workers, batch_size, classes)
    if resume and overwrite:
        raise ValueError("resume and overwrite exclude each other")
    say = notice or (lambda text: None)
    warn = notice or (lambda text: warnings.warn(text, RuntimeWarning, stacklevel=3))
    t_start = time.perf_counter()
    settings = {"model": model, "conf": float(conf), "iou": float(iou),
                "classes": list(classes) if classes else None, "backend": backend, "version": __version__}
    found = expand_inputs(inputs)
    if not found.files and not found.missing:
        raise ValueError("no input images found")
    store, done = _open_output(output, settings, resume=resume, overwrite=overwrite, retry_errors=retry_errors)
    files = [p for p in found.files if p not in done]
    missing = [(p, m) for p, m in found.missing if p not in done]
    skipped = len(found.files) + len(found.missing) - len(files) - len(missing)
    if skipped:
        say(f"resuming {store.display}: {skipped} input(s) already done, {len(files) + len(missing)} to go")
    tally = _Tally()
    bar = _Progress(progress, len(files) + len(missing))
    mode, n_workers, ray_start = _detect_all(
        files, missing, PartBuffer(store, int(part_rows)), tally, bar, address=address, use_ray=use_ray,
        model=model, backend=backend, conf=conf, iou=iou, classes=classes, workers=workers,
        batch_size=batch_size, worker_env=worker_env, verbose=verbose, say=say, warn=warn)
    store.finish()
    return BatchSummary(output=store.display, rows=store.rows, errors=store.errors, detected=tally.rows,
                        skipped=skipped, workers=n_workers, seconds=time.perf_counter() - t_start,
                        ray_start_seconds=ray_start, address=address, mode=mode, new_errors=tally.errors,
                        error_samples=tally.samples)
