"""Batch detection over many images with Ray Data, on one machine or a cluster.

    from zorvane_road_objects.batch.runner import detect_dataset
    summary = detect_dataset(["photos/", "@more.txt"], "detections.parquet", workers=4)

The run reads the image files with ``ray.data.read_binary_files``, hands them
in small batches to a pool of actors that each hold one detector (one ONNX
Runtime thread, the model provisioned once per actor), and streams the rows
back to this process, which writes them to one Parquet file with the schema
``SCHEMA``: one row per input, in the order the batches finish.

- ``path``: the file as read (local paths absolute);
- ``width``, ``height``: the decoded image's size, null when it did not decode;
- ``detections``: list of {class, class_id, score (whole percent), left, top,
  right, bottom}; empty when nothing was found, null when the image was not
  processed;
- ``error``: null when the image was processed, else what went wrong. A file
  that is missing, empty or not an image is such a row, never a failed run.

Without ``address`` a private local Ray instance is started for the run and
stopped after it (a Ray instance this process already runs is used as it is);
``address="auto"`` or ``"ray://host:port"`` joins a running cluster, and
leaving the run only disconnects from it. An actor whose process dies is
restarted and its unfinished batches are retried, so every input still comes
out exactly once. See docs/cluster.md.
"""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import math
import os
import socket
import sys
import time
import warnings

import pyarrow as pa
import pyarrow.parquet as pq

from zorvane_road_objects import facts
from zorvane_road_objects.batch.inputs import expand_inputs, is_uri
from zorvane_road_objects.detection.detector import model_server_address
from zorvane_road_objects.detection.records import FrameResult, as_detections
from zorvane_road_objects.media.images import decode_image, read_failure

__all__ = ["SCHEMA", "DETECTION_TYPE", "BatchError", "BatchSummary", "detect_dataset", "detect_image_bytes"]

DETECTION_TYPE = pa.struct([
    pa.field("class", pa.string(), nullable=False),
    pa.field("class_id", pa.int8(), nullable=False),
    pa.field("score", pa.int32(), nullable=False),
    pa.field("left", pa.float32(), nullable=False),
    pa.field("top", pa.float32(), nullable=False),
    pa.field("right", pa.float32(), nullable=False),
    pa.field("bottom", pa.float32(), nullable=False),
])
SCHEMA = pa.schema([
    pa.field("path", pa.string(), nullable=False),
    pa.field("width", pa.int32()),
    pa.field("height", pa.int32()),
    pa.field("detections", pa.list_(pa.field("item", DETECTION_TYPE, nullable=False))),
    pa.field("error", pa.string()),
])

# CPU shares: an actor runs one inference thread but asks for half a CPU, so
# that on a small machine the read tasks (a tenth each) never wait for CPUs
# that idle actors hold, and the actors never wait for the reads.
ACTOR_CPUS = 0.5
READ_CPUS = 0.1
# A dead actor process is restarted this many times, and the batch it held
# is retried this many times, before the run gives up.
MAX_RESTARTS = 4
MAX_TASK_RETRIES = 4
# Batches queued on one actor beyond the one it runs.
TASKS_IN_FLIGHT = 2
MAX_READ_BLOCKS = 2000
# The run fails, rather than waits on, actors that cannot start in this time.
ACTOR_START_TIMEOUT = 600.0
# Settings that reach the actors from this process's environment.
FORWARDED_ENV = (facts.ENV_MODEL_SERVER, facts.ENV_SKIP_UPDATE, facts.ENV_VERBOSE)


class BatchError(RuntimeError):
    """The run as a whole could not be done (model, cluster or output trouble)."""


@dataclasses.dataclass
class BatchSummary:
    output: str
    rows: int  # one per input
    errors: int  # rows with an error
    workers: int
    seconds: float  # whole run, Ray start-up included
    ray_start_seconds: float  # starting or joining Ray (0 when reused)
    address: str | None  # the cluster joined, None for a local instance


# ---------------------------------------------------------------------------
# the work of one image, run inside the actors


def _load_detector(model: str, backend: str, conf: float, iou: float):
    """The detector with one inference thread; actors on one machine take
    turns so that they never download the same model file at once."""
    from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector

    data_dir = facts.data_dir()
    lock_fd = None
    try:
        import fcntl

        os.makedirs(data_dir, exist_ok=True)
        lock_fd = os.open(data_dir, os.O_RDONLY)
        fcntl.flock(lock_fd, fcntl.LOCK_EX)
    except (ImportError, OSError):
        # No lock here: fcntl is POSIX-only (ImportError on Windows), or the
        # file system has no locks. The actors then load side by side, and
        # provisioning's own lock file per model (flock, or LockFileEx on
        # Windows) still lets only one of them download a model file.
        pass
    try:
        return zv_road_object_detector(model, backend, conf, iou, threads=1)
    finally:
        if lock_fd is not None:
            os.close(lock_fd)  # also releases the lock


def _error_row(path: str, error: str) -> dict:
    return FrameResult(path, 0, error=error).to_row()


def detect_image_bytes(detector, path: str, data: bytes | None) -> dict:
    """The output row for one file's bytes."""
    fr = FrameResult(path, 0)
    try:
        image = decode_image(data)
    except ValueError as exc:
        fr.error = read_failure(exc)
        return fr.to_row()
    height, width = image.shape[:2]
    fr.size = (width, height)
    try:
        fr.detections = as_detections(detector(image))
    except Exception as exc:  # one bad image must not stop the batch
        fr.error = f"detection failed: {exc}"
    return fr.to_row()


class DetectActor:
    """One detector per actor process; called with batches of (path, bytes)."""

    def __init__(self, model: str, backend: str, conf: float, iou: float):
        os.environ.setdefault(facts.ENV_THREADS, "1")
        try:
            self._detector = _load_detector(model, backend, conf, iou)
        except Exception as exc:
            raise BatchError(
                f"cannot load model {model!r} on {socket.gethostname()} (pid {os.getpid()}): "
                f"{exc} (model server: {model_server_address()})") from None

    def __call__(self, batch: pa.Table) -> pa.Table:
        paths = batch.column("path").to_pylist()
        blobs = batch.column("bytes").to_pylist()
        rows = [detect_image_bytes(self._detector, p, b) for p, b in zip(paths, blobs)]
        return pa.Table.from_pylist(rows, schema=SCHEMA)


# ---------------------------------------------------------------------------
# the driver


def _check_args(model, conf, iou, workers, batch_size) -> None:
    if model not in facts.CATALOGUE:
        raise ValueError(f"unknown model {model!r}; choose one of {', '.join(facts.CATALOGUE)}")
    for name, value in (("conf", conf), ("iou", iou)):
        if not (0.0 <= float(value) <= 1.0):
            raise ValueError(f"{name} must be between 0 and 1, got {value}")
    if workers is not None and int(workers) < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if int(batch_size) < 1:
        raise ValueError(f"batch_size must be at least 1, got {batch_size}")


def _worker_env(local: bool, extra: dict | None) -> dict:
    env = {facts.ENV_THREADS: "1"}
    env.update({k: os.environ[k] for k in FORWARDED_ENV if os.environ.get(k)})
    if local:
        # Actors of a local instance share this user's data directory and
        # find the package where this process found it.
        env["HOME"] = os.path.expanduser("~")
        pkg_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        if os.path.basename(pkg_parent) not in ("site-packages", "dist-packages"):
            env["PYTHONPATH"] = os.pathsep.join(p for p in (pkg_parent, os.environ.get("PYTHONPATH")) if p)
    env.update(extra or {})
    token = os.path.join(os.path.expanduser("~"), ".ray", "auth_token")
    if (local and env.get("HOME") != os.path.expanduser("~") and os.path.isfile(token)
            and not ({"RAY_AUTH_TOKEN", "RAY_AUTH_TOKEN_PATH"} & (set(env) | set(os.environ)))):
        # Ray looks for its access token under HOME; actors given another
        # HOME must still be able to join this instance.
        env["RAY_AUTH_TOKEN_PATH"] = token
    return env


@contextlib.contextmanager
def _ray_session(address: str | None, num_cpus: int):
    """Yields the seconds that starting or joining Ray took (0 when this
    process already runs Ray: that instance is used as it is)."""
    import ray

    if ray.is_initialized():
        yield 0.0
        return
    t0 = time.perf_counter()
    common = dict(log_to_driver=False, logging_level=logging.ERROR)
    # The core worker's own log lines (C++) go to standard error otherwise;
    # it reads the level once, when it starts.
    saved_level = os.environ.get("RAY_BACKEND_LOG_LEVEL")
    os.environ.setdefault("RAY_BACKEND_LOG_LEVEL", "fatal")
    try:
        if address is None:
            ray.init(address="local", num_cpus=num_cpus, include_dashboard=False, **common)
        else:
            ray.init(address=address, **common)
    except Exception as exc:
        with contextlib.suppress(Exception):
            ray.shutdown()
        where = "start a local Ray instance" if address is None else f"join the Ray cluster at {address}"
        raise BatchError(f"cannot {where}: {exc}") from exc
    finally:
        if saved_level is None:
            os.environ.pop("RAY_BACKEND_LOG_LEVEL", None)
    try:
        yield time.perf_counter() - t0
    finally:
        # For a joined cluster this only disconnects; the cluster runs on.
        ray.shutdown()


@contextlib.contextmanager
def _quiet_data_context(ray_progress: bool):
    from ray.data import DataContext

    ctx = DataContext.get_current()
    settings = {"enable_progress_bars": ray_progress, "print_on_execution_start": ray_progress,
                "enable_auto_log_stats": False}
    if getattr(ctx, "wait_for_min_actors_s", 0) < 0:  # wait forever by default
        settings["wait_for_min_actors_s"] = ACTOR_START_TIMEOUT
    settings = {k: v for k, v in settings.items() if hasattr(ctx, k)}
    saved = {k: getattr(ctx, k) for k in settings}
    saved_verbose = ctx.execution_options.verbose_progress
    for k, v in settings.items():
        setattr(ctx, k, v)
    ctx.execution_options.verbose_progress = ray_progress
    data_logger = logging.getLogger("ray.data")
    level = data_logger.level
    if not ray_progress:
        data_logger.setLevel(logging.ERROR)
    try:
        yield
    finally:
        for k, v in saved.items():
            setattr(ctx, k, v)
        ctx.execution_options.verbose_progress = saved_verbose
        data_logger.setLevel(level)


class _ParquetOutput:
    """One Parquet file; a local one appears under its name only when complete."""

    def __init__(self, output: str):
        self.output = output
        self._tmp = None
        if is_uri(output):
            import pyarrow.fs as pafs

            fs, path = pafs.FileSystem.from_uri(output)
            self._writer = pq.ParquetWriter(path, SCHEMA, filesystem=fs)
        else:
            self.output = os.path.abspath(output)
            if os.path.isdir(self.output):
                raise BatchError(f"output {output!r} is a folder; give a file name such as detections.parquet")
            os.makedirs(os.path.dirname(self.output), exist_ok=True)
            self._tmp = f"{self.output}.partial"
            self._writer = pq.ParquetWriter(self._tmp, SCHEMA)
        self.rows = 0
        self.errors = 0

    def write(self, table: pa.Table) -> None:
        table = table.select(SCHEMA.names).cast(SCHEMA)
        self._writer.write_table(table)
        self.rows += table.num_rows
        self.errors += table.num_rows - table.column("error").null_count

    def close(self, ok: bool) -> None:
        self._writer.close()
        if self._tmp is not None:
            if ok:
                os.replace(self._tmp, self.output)
            else:
                with contextlib.suppress(OSError):
                    os.remove(self._tmp)


class _Progress:
    """The package's one progress bar, or the caller's callable. The bar opens
    once Ray is up, below whatever Ray prints while it starts."""

    def __init__(self, progress, total: int):
        self._call = progress if callable(progress) else None
        self._want_bar = bool(progress) and self._call is None
        self._bar = None
        self.total = total
        self.done = 0

    def open(self) -> None:
        if self._want_bar and self._bar is None:
            from tqdm import tqdm

            self._bar = tqdm(total=self.total, unit="img", file=sys.stderr, leave=True,
                             dynamic_ncols=True)

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


def _provision_here(model: str) -> None:
    from zorvane_road_objects.zorvane_robj_p import download_robj_model

    try:
        download_robj_model(model)
    except Exception as exc:
        raise BatchError(
            f"cannot provision model {model!r}: {exc} (model server: {model_server_address()})") from None


def _run_pipeline(files, out, bar, *, model, backend, conf, iou, workers, batch_size, env):
    import ray

    # Small blocks, at least two per actor where there are enough files, so
    # that every actor has work and a retried block is little work lost.
    blocks = min(len(files), MAX_READ_BLOCKS, max(math.ceil(len(files) / batch_size), 2 * workers))
    # One read task in flight per actor: enough to keep each fed, and few
    # worker processes to start (each costs a Python start-up).
    ds = ray.data.read_binary_files(files, include_paths=True, override_num_blocks=blocks,
                                    num_cpus=READ_CPUS, concurrency=workers)
    map_args = dict(
        fn_constructor_kwargs=dict(model=model, backend=backend, conf=float(conf), iou=float(iou)),
        batch_size=batch_size,
        batch_format="pyarrow",
        compute=ray.data.ActorPoolStrategy(size=workers, max_tasks_in_flight_per_actor=TASKS_IN_FLIGHT),
        num_cpus=ACTOR_CPUS,
        runtime_env={"env_vars": env},
    )
    # Ray Data restarts dead actors and retries their batches without limit
    # by default; bound both so that an image that kills its process every
    # time fails the run instead of looping. Ray versions that no longer take
    # these remote arguments keep their own defaults.
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            ds = ds.map_batches(DetectActor, max_restarts=MAX_RESTARTS,
                                max_task_retries=MAX_TASK_RETRIES, **map_args)
    except TypeError as exc:
        if "max_restarts" not in str(exc) and "max_task_retries" not in str(exc):
            raise
        ds = ds.map_batches(DetectActor, **map_args)
    for table in ds.iter_batches(batch_size=None, batch_format="pyarrow"):
        out.write(table)
        bar.update(table.num_rows)


def _root_message(exc: BaseException) -> str:
    """The innermost message of a Ray error chain, not its full traceback."""
    text = str(exc)
    marker = "BatchError: "
    if marker in text:
        return text[text.rindex(marker) + len(marker):].strip().splitlines()[0]
    return text.strip().splitlines()[-1] if text.strip() else type(exc).__name__


def detect_dataset(inputs, output, model: str = facts.DEFAULT_MODEL, *, address: str | None = None,
                   workers: int | None = None, conf: float = 0.5, iou: float = 0.5,
                   backend: str = facts.DEFAULT_BACKEND, progress=True, batch_size: int = 8,
                   worker_env: dict | None = None, ray_progress: bool = False) -> BatchSummary:
    """Detect road objects in every image of ``inputs`` and write ``output`` (Parquet).

    inputs: files, folders, glob patterns, ``@list.txt`` files and URIs
    (see ``zorvane_road_objects.batch.inputs``). address: None for a local
    Ray instance, or ``"auto"`` / ``"ray://host:port"`` for a cluster.
    workers: actors, each with one detector (default: the CPUs of the
    machine or cluster, at most one per input file). progress: True for a
    progress bar on standard error, False for none, or a callable taking
    (done, total). worker_env: extra environment variables for the actors.
    Raises ValueError for bad arguments or no inputs at all, BatchError when
    the run cannot be done; images that fail are rows with their error.
    """
    _check_args(model, conf, iou, workers, batch_size)
    t_start = time.perf_counter()
    found = expand_inputs(inputs)
    if not found.files and not found.missing:
        raise ValueError("no input images found")
    local = address is None
    if local and found.files:
        _provision_here(model)  # fail early, and the actors find it cached
    out = _ParquetOutput(os.fspath(output))
    bar = _Progress(progress, len(found.files) + len(found.missing))
    ok = False
    n_workers = 0
    ray_start = 0.0
    try:
        if found.missing:
            out.write(pa.Table.from_pylist([_error_row(p, m) for p, m in found.missing], schema=SCHEMA))
            if not found.files:
                bar.update(len(found.missing))
        if found.files:
            n_workers = min(int(workers or os.cpu_count() or 1), len(found.files))
            with _ray_session(address, n_workers) as ray_start:
                bar.open()
                if found.missing:
                    bar.update(len(found.missing))
                if workers is None and not local:
                    import ray

                    n_workers = min(max(1, int(ray.cluster_resources().get("CPU", 1))), len(found.files))
                with _quiet_data_context(ray_progress):
                    try:
                        _run_pipeline(found.files, out, bar, model=model, backend=backend, conf=conf,
                                      iou=iou, workers=n_workers, batch_size=int(batch_size),
                                      env=_worker_env(local, worker_env))
                    except (KeyboardInterrupt, BatchError):
                        raise
                    except Exception as exc:
                        raise BatchError(f"batch run failed: {_root_message(exc)}") from exc
        ok = True
    finally:
        bar.close()
        out.close(ok)
    return BatchSummary(output=out.output, rows=out.rows, errors=out.errors, workers=n_workers,
                        seconds=time.perf_counter() - t_start, ray_start_seconds=ray_start,
                        address=address)
