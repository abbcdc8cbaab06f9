"""The Ray side of a batch run: joining or starting Ray, and one detection
actor per node.

The dataset holds only the paths, in blocks of ``batch_size``. Each actor
takes a whole node (it asks for the CPUs of the smallest node) and runs the
same pipeline as the in-process run on that node: one one-thread detector
per core, images read and decoded in the pipeline's workers, so no image
bytes pass through Ray's object store and each node runs one Python
worker for detection. Rows come back to the driver as small Arrow tables.

A local instance started here is stopped when the run ends; should the
driver die first (SIGKILL, a lost session), a watchdog process it starts
stops the instance's processes, which it has noted as they appeared
(Linux; elsewhere Ray's own clean-up is all there is).
"""

from __future__ import annotations

import contextlib
import logging
import os
import socket
import subprocess
import sys
import time
import warnings

import pyarrow as pa

from zorvane_road_objects import facts
from zorvane_road_objects.batch.frames import DetectorSet, detect_paths, result_rows
from zorvane_road_objects.batch.store import SCHEMA, BatchError
from zorvane_road_objects.detection.detector import model_server_address

__all__ = ["BatchError", "DetectActor", "node_cpus", "ray_session", "run_on_ray"]

# A dead actor process is restarted this many times, and the batch it held
# is retried this many times, before the run gives up.
MAX_RESTARTS = 4
MAX_TASK_RETRIES = 4
# Batches queued on one actor beyond the one it runs.
TASKS_IN_FLIGHT = 2
# The run fails, rather than waits on, actors that cannot start in this time.
ACTOR_START_TIMEOUT = 600.0
# Settings that reach the actors from this process's environment.
FORWARDED_ENV = (facts.ENV_MODEL_SERVER, facts.ENV_SKIP_UPDATE, facts.ENV_VERBOSE)
NOTE = "_note"


class DetectActor:
    """A node's detectors; called with batches of paths, returns their rows
    and, in the ``_note`` column, why the bundled model is in use (if so)."""

    def __init__(self, model: str, backend: str, conf: float, iou: float, threads: int | None,
                 classes: tuple[str, ...] | None):
        os.environ.setdefault(facts.ENV_THREADS, "1")
        count = int(threads or os.cpu_count() or 1)
        try:
            self._detectors = DetectorSet(model, backend, conf, iou, count)
        except Exception as exc:
            raise BatchError(
                f"cannot load model {model!r} on {socket.gethostname()} (pid {os.getpid()}): "
                f"{exc} (model server: {model_server_address()})") from None
        note = self._detectors.bundled
        self._note = f"{socket.gethostname()} ({os.getpid()}): {note}" if note else None
        self._classes = classes

    def __call__(self, batch: pa.Table) -> pa.Table:
        paths = batch.column("path").to_pylist()
        rows = result_rows(detect_paths(paths, self._detectors), self._classes)
        table = pa.Table.from_pylist(rows, schema=SCHEMA)
        return table.append_column(NOTE, pa.array([self._note] * len(rows), pa.string()))


def _worker_env(local: bool, extra: dict | None) -> dict:
    env = {facts.ENV_THREADS: "1"}
    env.update({k: os.environ[k] for k in FORWARDED_ENV if os.environ.get(k)})
    if local:
        # Actors of a local instance share this user's data directory and
        # find the package where this process found it.
        env["HOME"] = os.path.expanduser("~")
        pkg_parent = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
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


_WATCHDOG = r"""
import os, signal, sys, threading
root, me = int(sys.argv[1]), os.getpid()

def table():
    procs = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as fh:
                    data = fh.read()
            except OSError:
                continue
            rest = data[data.rindex(")") + 2:].split()
            procs[int(name)] = (int(rest[1]), rest[19])  # parent, start time
    return procs

def descendants(procs, roots):
    kids = {}
    for pid, (ppid, _) in procs.items():
        kids.setdefault(ppid, []).append(pid)
    out, todo = set(), list(roots)
    while todo:
        for child in kids.get(todo.pop(), ()):
            if child != me and child not in out:
                out.add(child)
                todo.append(child)
    return out

first = table()
before = {p: first[p][1] for p in descendants(first, [root])}
known, done = {}, threading.Event()

def watch():
    while not done.is_set():
        procs = table()
        for pid in descendants(procs, [root]):
            if before.get(pid) != procs[pid][1]:
                known[pid] = procs[pid][1]
        done.wait(0.5)

threading.Thread(target=watch, daemon=True).start()
sys.stdin.buffer.read()  # until the driver closes the pipe, or dies
done.set()
procs = table()
alive = [p for p, start in known.items() if p in procs and procs[p][1] == start]
for pid in alive + sorted(descendants(procs, alive)):
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass
"""


@contextlib.contextmanager
def _watchdog():
    """Stops the processes that this process starts in the block (a local
    Ray instance) once the block is left or this process dies: a separate
    process notes them (Linux /proc) and kills what is left when the pipe
    from this process closes. Elsewhere Ray's own clean-up is all there is."""
    if not os.path.isdir("/proc/self/task"):
        yield
        return
    proc = subprocess.Popen([sys.executable, "-c", _WATCHDOG, str(os.getpid())], stdin=subprocess.PIPE,
                            start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield
    finally:
        proc.stdin.close()  # the watchdog sweeps what shutdown left, then exits
        with contextlib.suppress(subprocess.TimeoutExpired):
            proc.wait(10)


@contextlib.contextmanager
def ray_session(address: str | None, num_cpus: int, *, verbose: bool = False, say=None):
    """Joins ``address`` (``auto``, ``ray://HOST:PORT``) or starts a local
    instance; yields the seconds that took (0 when this process already runs
    Ray: that instance is used as it is). ``say`` gets the progress lines."""
    import ray

    say = say or (lambda text: None)
    if ray.is_initialized():
        yield 0.0
        return
    t0 = time.perf_counter()
    level = logging.INFO if verbose else logging.ERROR
    common = dict(log_to_driver=verbose, logging_level=level)
    with contextlib.ExitStack() as stack:
        stack.enter_context(_quiet_stderr(not verbose))
        if address is None:
            say("starting Ray...")
            stack.enter_context(_watchdog())
        else:
            say(f"joining the Ray cluster at {address}...")
        try:
            if address is None:
                info = ray.init(address="local", num_cpus=num_cpus, include_dashboard=False, **common)
            else:
                info = ray.init(address=address, **common)
        except Exception as exc:
            with contextlib.suppress(Exception):
                ray.shutdown()
            where = "start a local Ray instance" if address is None else f"join the Ray cluster at {address}"
            raise BatchError(f"cannot {where}: {exc}") from exc
        joined = getattr(info, "address_info", {}).get("gcs_address") or address
        nodes = len([n for n in ray.nodes() if n.get("Alive")])
        say(f"{'started a local Ray instance' if address is None else 'joined'} at {joined} "
            f"({nodes} node{'s' if nodes != 1 else ''}, {int(ray.cluster_resources().get('CPU', 0))} CPUs)")
        try:
            yield time.perf_counter() - t0
        finally:
            # For a joined cluster this only disconnects; the cluster runs on.
            ray.shutdown()


@contextlib.contextmanager
def _quiet_stderr(quiet: bool):
    """Ray's C++ core prints its own lines on file descriptor 2 (while it
    starts and stops, and about actors); they go nowhere unless asked for,
    while Python's sys.stderr (messages, the progress bar) still reaches
    the terminal."""
    if not quiet:
        yield
        return
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    old_stderr = sys.stderr
    sys.stderr = os.fdopen(os.dup(saved), "w", buffering=1, encoding=getattr(old_stderr, "encoding", None),
                           errors="backslashreplace")
    os.dup2(devnull, 2)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        sys.stderr.close()
        sys.stderr = old_stderr
        os.close(saved)
        os.close(devnull)


@contextlib.contextmanager
def _quiet_data_context(verbose: bool):
    from ray.data import DataContext

    ctx = DataContext.get_current()
    settings = {"enable_progress_bars": verbose, "print_on_execution_start": verbose,
                "enable_auto_log_stats": False}
    if getattr(ctx, "wait_for_min_actors_s", 0) < 0:  # wait forever by default
        settings["wait_for_min_actors_s"] = ACTOR_START_TIMEOUT
    settings = {k: v for k, v in settings.items() if hasattr(ctx, k)}
    saved = {k: getattr(ctx, k) for k in settings}
    saved_verbose = ctx.execution_options.verbose_progress
    for k, v in settings.items():
        setattr(ctx, k, v)
    ctx.execution_options.verbose_progress = verbose
    data_logger = logging.getLogger("ray.data")
    level = data_logger.level
    if not verbose:
        data_logger.setLevel(logging.ERROR)
    try:
        yield
    finally:
        for k, v in saved.items():
            setattr(ctx, k, v)
        ctx.execution_options.verbose_progress = saved_verbose
        data_logger.setLevel(level)


def node_cpus() -> list[int]:
    """The CPUs of each live node of the cluster this process has joined."""
    import ray

    return [int(n["Resources"].get("CPU", 0)) for n in ray.nodes()
            if n.get("Alive") and n["Resources"].get("CPU", 0) >= 1]


def _root_message(exc: BaseException) -> str:
    """The innermost message of a Ray error chain, not its full traceback."""
    text = str(exc)
    marker = "BatchError: "
    if marker in text:
        return text[text.rindex(marker) + len(marker):].strip().splitlines()[0]
    return text.strip().splitlines()[-1] if text.strip() else type(exc).__name__


def run_on_ray(paths: list[str], sink, *, model, backend, conf, iou, classes, threads, batch_size,
               local: bool, worker_env: dict | None = None, verbose: bool = False,
               on_note=None) -> int:
    """Detect ``paths`` with one actor per node; each finished batch goes to
    ``sink(table)``. Returns the number of actors."""
    import ray

    cpus = node_cpus() or [1]
    actors = min(len(cpus), max(1, -(-len(paths) // batch_size)))
    per_actor = min(cpus)
    blocks = [pa.table({"path": pa.array(paths[i:i + batch_size], pa.string())})
              for i in range(0, len(paths), batch_size)]
    ds = ray.data.from_arrow(blocks)
    map_args = dict(
        fn_constructor_kwargs=dict(model=model, backend=backend, conf=float(conf), iou=float(iou),
                                   threads=threads, classes=classes),
        batch_size=batch_size,
        batch_format="pyarrow",
        zero_copy_batch=True,
        compute=ray.data.ActorPoolStrategy(size=actors, max_tasks_in_flight_per_actor=TASKS_IN_FLIGHT),
        num_cpus=per_actor,
        scheduling_strategy="SPREAD",
        runtime_env={"env_vars": _worker_env(local, worker_env)},
    )
    with _quiet_data_context(verbose):
        try:
            # Ray Data restarts dead actors and retries their batches without
            # limit by default; bound both so that an image that kills its
            # process every time fails the run instead of looping.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                ds = ds.map_batches(DetectActor, max_restarts=MAX_RESTARTS,
                                    max_task_retries=MAX_TASK_RETRIES, **map_args)
            for table in ds.iter_batches(batch_size=None, batch_format="pyarrow"):
                notes = table.column(NOTE)
                if on_note is not None and notes.null_count < len(notes):
                    on_note(next(n for n in notes.to_pylist() if n))
                sink(table.drop_columns([NOTE]))
        except (KeyboardInterrupt, BatchError):
            raise
        except Exception as exc:
            raise BatchError(f"batch run failed: {_root_message(exc)}") from exc
    return actors
