"""Getting a ready detector.

``Detector`` is the package's detector for Python hosts: a catalogue model
provisioned as the native detector does it, or the model file bundled with
the package when no model server can provide it, returning ``Detection``
records. The rest of this module gets detectors for the command-line tool.

A catalogue model comes through model provisioning, exactly as the Python
API gets it. When provisioning cannot provide it (nothing cached, and the
configured model server cannot be reached or does not have it), the tool
serves the package's bundled model files in its own process, points
provisioning at that server and tries once more. A model file named by the
user is loaded directly, without provisioning.

Failures raise SetupError with one sentence that names the cause and the fix.
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
import threading
import warnings
from collections.abc import Callable

from zorvane_road_objects.detection import diagnose
from zorvane_road_objects.detection.records import Detection, as_detections, class_names, select
from zorvane_road_objects.facts import (
    DEFAULT_BACKEND,
    DEFAULT_MODEL,
    DEFAULT_MODEL_SERVER,
    data_dir,
    model_file_name,
)

__all__ = ["Detector", "ReadyDetector", "SetupError", "model_server_address", "open_catalogue_model",
           "open_model_file"]


class SetupError(Exception):
    """No detector could be made; ``exit_code`` is what the tool exits with."""

    def __init__(self, message: str, exit_code: int = 1) -> None:
        super().__init__(message)
        self.exit_code = exit_code


def model_server_address() -> str:
    return os.environ.get(diagnose.SERVER_ENV) or DEFAULT_MODEL_SERVER


class Detector:
    """Road-object detection with a catalogue model, ready out of the box.

        detector = Detector("medium_fp32")
        for det in detector(image):          # a BGR uint8 image
            print(det.class_name, det.score, det.ltrb)

    The model is provisioned like the native ``zv_road_object_detector``
    does it (the model server, the per-user cache, the update check). When
    that gives "Model access denied" (no server has it and nothing is
    cached), the model file bundled with the package is loaded instead,
    with a ``RuntimeWarning`` saying so; the process's environment is left
    alone. ``conf`` and ``iou``: the thresholds, 0-1; ``threads``: the
    session's intra-op threads (None: the detector's default); ``classes``:
    class names to keep ("car", "traffic light" or "traffic_light"; all
    when None); ``max_det``: keep at most this many objects per image, the
    surest. Detection errors are ValueError ("Invalid input", "Processing
    error").
    """

    def __init__(self, model: str = DEFAULT_MODEL, *, backend: str = DEFAULT_BACKEND,
                 conf: float = 0.5, iou: float = 0.5, threads: int | None = None,
                 classes=None, max_det: int | None = None) -> None:
        from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector, zv_robj_d

        if model not in diagnose.CATALOGUE:
            raise ValueError(diagnose.unknown_model(model))
        extra = {} if threads is None else {"threads": threads}
        self.model = model
        self.bundled = False
        self.classes = None if classes is None else frozenset(class_names(classes))
        if max_det is not None and (isinstance(max_det, bool) or not isinstance(max_det, int) or max_det < 0):
            raise ValueError(f"max_det must be None or a whole number >= 0, not {max_det!r}")
        self.max_det = max_det
        try:
            self._detect = zv_road_object_detector(model, backend, conf, iou, **extra)
            return
        except ValueError as exc:
            if str(exc) != "Model access denied":
                raise
        from zorvane_road_objects import bundled_models

        path = bundled_models() / model_file_name(model)
        warnings.warn(f"cannot get {model} from {model_server_address()}; using the model file "
                      f"bundled with the package ({path})", RuntimeWarning, stacklevel=2)
        self._detect = _engine_call(zv_robj_d(path.read_bytes(), conf, iou, model, backend, **extra))
        self.bundled = True

    def __call__(self, image) -> list[Detection]:
        """The road objects in one BGR image."""
        return select(as_detections(self._detect(image)), self.classes, self.max_det)

    detect = __call__


class ReadyDetector:
    """A callable that detects on one image; ``close()`` stops what it started.

    Errors of a detection are ValueError with a short message ("Processing
    error"); ``hint`` is a sentence to add to them, if any.
    """

    def __init__(self, detect: Callable, description: str, hint: str = "",
                 server=None, restore_env: str | None = None,
                 spawn: Callable[[], Callable] | None = None) -> None:
        self.detect = detect
        self.description = description
        self.hint = hint
        # Builds another detection callable with the same model and settings
        # (one per pipeline worker); the model is already provisioned by then.
        self.spawn = spawn
        self._server = server
        self._restore_env = restore_env

    def __call__(self, image):
        return self.detect(image)

    def close(self) -> None:
        if self._server is not None:
            self._server.stop()
            self._server = None
            if self._restore_env is None:
                os.environ.pop(diagnose.SERVER_ENV, None)
            else:
                os.environ[diagnose.SERVER_ENV] = self._restore_env


@contextlib.contextmanager
def provisioning_output(json_lines: bool, download_bar: bool):
    """Keeps stdout for JSON lines and hides the download bar when asked.

    Provisioning writes its verbose lines on stdout and its download bar on
    stderr; with JSON lines the verbose lines go to stderr instead.
    """
    with contextlib.ExitStack() as stack:
        if json_lines:
            stack.enter_context(contextlib.redirect_stdout(sys.stderr))
        if not download_bar:
            stack.enter_context(contextlib.redirect_stderr(io.StringIO()))
        yield


# The output redirections swap sys.stdout and sys.stderr for the whole
# process, so detectors built on several threads take turns: overlapping
# swaps would leave stdout pointing at stderr.
_BUILD_LOCK = threading.Lock()


def _build(name, backend, conf, iou, output, threads=None):
    from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector

    extra = {} if threads is None else {"threads": threads}
    with _BUILD_LOCK, output():
        return zv_road_object_detector(name, backend, conf, iou, **extra)


def open_catalogue_model(name: str, backend: str, conf: float, iou: float, *,
                         self_serve: bool = True, notice: Callable[[str], None] = print,
                         output=contextlib.nullcontext, threads: int | None = None) -> ReadyDetector:
    """A detector for a catalogue model, serving the bundled models if need be.

    ``threads``: intra-op threads of the session (None: the detector's default).
    """
    if name not in diagnose.CATALOGUE:
        raise SetupError(diagnose.unknown_model(name), 2)
    file_name = model_file_name(name)
    base = model_server_address()

    def spawn():
        return _build(name, backend, conf, iou, output, threads)

    try:
        return ReadyDetector(spawn(), name, spawn=spawn)
    except ValueError as exc:
        code = str(exc)
    if code != "Model access denied":
        cached = os.path.join(data_dir(), file_name)
        raise SetupError(diagnose.model_file_problem(cached, code, cached_from=base))

    def problem() -> str:
        return diagnose.provisioning_problem(name, file_name, base, data_dir())

    cache = diagnose.cache_problem(data_dir())
    if cache is not None:
        raise SetupError(cache)
    if not self_serve:
        raise SetupError(problem() + " (the bundled models were not tried: --no-self-serve)")
    server = _start_bundled_server(file_name, problem)
    previous = os.environ.get(diagnose.SERVER_ENV)
    os.environ[diagnose.SERVER_ENV] = server.url
    detector = ReadyDetector(None, name, server=server, restore_env=previous, spawn=spawn)
    notice(f"cannot get {name} from {base}; serving the bundled models from "
           f"{server.root} on {server.url} for this run")
    try:
        detector.detect = spawn()
    except ValueError as exc:
        detector.close()
        raise SetupError(f"{problem()}; the bundled models did not help either ({exc})") from None
    return detector


def _start_bundled_server(file_name: str, problem: Callable[[], str]):
    from zorvane_road_objects import bundled_models
    from zorvane_road_objects.serving.inprocess import serve_in_process

    try:
        root = bundled_models()
    except FileNotFoundError as exc:
        raise SetupError(f"{problem()}; the bundled models cannot stand in: {exc}") from None
    if not (root / file_name).is_file():
        raise SetupError(f"{problem()}; the bundled models in {root} lack {file_name}") from None
    try:
        return serve_in_process(root)
    except OSError as exc:
        raise SetupError(f"{problem()}; the bundled models cannot be served ({exc})") from None


def _engine_call(engine):
    def detect(image):
        try:
            return engine.detect_objects(image)
        except Exception as exc:  # the engine's codes, as the detector reports them
            text = {"PROCESSING_FAILED": "Processing error",
                    "INVALID_INPUT_IMAGE": "Invalid input"}.get(str(exc), str(exc))
            raise ValueError(text) from None

    return detect


def open_model_file(path: str, backend: str, conf: float, iou: float,
                    threads: int | None = None) -> ReadyDetector:
    """A detector that runs the model file at ``path`` (no provisioning)."""
    if not os.path.exists(path):
        raise SetupError(f"--model-file {path}: no such file", 2)
    if os.path.isdir(path):
        raise SetupError(f"--model-file {path}: is a folder, not a model file", 2)
    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except OSError as exc:
        raise SetupError(f"the model file {path} cannot be read ({exc.strerror or exc}): "
                         "check its permissions", 2) from None
    from zorvane_road_objects.zorvane_robj_d import zv_robj_d

    name = os.path.splitext(os.path.basename(path))[0]
    extra = {} if threads is None else {"threads": threads}

    def spawn():
        return _engine_call(zv_robj_d(data, conf, iou, name, backend, **extra))

    try:
        detect = spawn()
    except Exception as exc:  # not a model (of this interface): set-up, like a missing file
        raise SetupError(diagnose.model_file_problem(path, str(exc)), 2) from None
    hint = (f"check that {path} has the catalogue interface (inputs image, im_shape and "
            "scale_factor, and an N x 6 first output)")
    return ReadyDetector(detect, path, hint=hint, spawn=spawn)
