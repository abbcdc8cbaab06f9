"""One run of the ``detect`` command: frames from any source (images,
folders, globs, video files, cameras, stream URLs) through the parallel
pipeline, reported in frame order, with optional tracking, line counts and
annotated copies.

Each worker of the pipeline has its own detector with a one-thread session;
the first one is the detector the command opened (which provisioned the
model, serving the bundled models if it had to), the others are built from
it. Ctrl-C, SIGTERM and SIGHUP stop the run cleanly: the frames reported
so far stay reported, annotated videos are closed so that they play, the
summary and line counts are printed, and the exit status names the signal.
The results go out in the chosen format (``--format``) on standard output
or into ``--output``; messages, errors and the summary go to standard error.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import signal
import sys
import threading

from zorvane_road_objects import facts
from zorvane_road_objects.cli.report import (
    ESCAPE_ERRORS,
    PROG,
    ExitStatus,
    Output,
    RunSummary,
    TextWriter,
    error,
    redact,
    stderr_is_terminal,
    warning,
)
from zorvane_road_objects.detection import detector as setup
from zorvane_road_objects.detection import diagnose
from zorvane_road_objects.detection.draw import annotate_frame
from zorvane_road_objects.detection.formats import FORMATS
from zorvane_road_objects.detection.linecount import LineCounter
from zorvane_road_objects.detection.pipeline import FrameRefused, detect_stream, detector_threshold
from zorvane_road_objects.detection.records import select
from zorvane_road_objects.media.images import save_path, write_image
from zorvane_road_objects.media.sources import SourceError, StreamError, open_source
from zorvane_road_objects.media.video import VideoSink

__all__ = ["DetectConfig", "cmd_detect"]


@dataclasses.dataclass(frozen=True)
class DetectConfig:
    """The settings of one ``detect`` run, taken once from the command line."""

    sources: tuple[str, ...]
    model: str | None = None
    model_file: str | None = None
    backend: str = facts.DEFAULT_BACKEND
    conf: float = 0.5
    iou: float = 0.5
    save: str | None = None
    format: str = "text"
    output: str | None = None
    classes: tuple[str, ...] | None = None
    max_det: int | None = None
    verbose: bool = False
    self_serve: bool = True
    quiet: bool = False
    workers: int = 1
    every: int = 1
    max_frames: int | None = None
    track: bool = False
    # (name, (x1, y1, x2, y2)) of each counting line.
    count_line: tuple[tuple[str, tuple[float, float, float, float]], ...] = ()
    fps: float = 30.0
    fixed_camera: bool = False

    @classmethod
    def from_args(cls, args) -> DetectConfig:
        values = {f.name: getattr(args, f.name) for f in dataclasses.fields(cls) if f.name != "sources"}
        values["count_line"] = tuple((name or f"line{i}", line)
                                     for i, (name, line) in enumerate(args.count_line or (), 1))
        values["track"] = args.track or bool(values["count_line"])
        return cls(sources=tuple(args.paths), **values)

    @property
    def json(self) -> bool:
        return self.format == "jsonl"

    @property
    def about(self) -> str:
        """The model and thresholds, as the summary names them."""
        model = self.model_file or self.model or facts.DEFAULT_MODEL
        about = f"model {model}, conf {self.conf:g}, iou {self.iou:g}"
        if self.track:
            about += f", detector at {self.detector_conf:g} for tracking"
        return about

    @property
    def detector_conf(self) -> float:
        return detector_threshold(self.conf, self.track)

    @property
    def bars(self) -> bool:
        return not self.quiet and stderr_is_terminal()


def _worker_factory(detector):
    """Detection callables for the workers: the opened detector first, then
    new ones with the same model and settings. Each refuses the images the
    detector's size rules refuse, with the rule in the message."""
    pool = [detector.detect]
    lock = threading.Lock()
    hint = getattr(detector, "hint", "")

    def make():
        with lock:
            detect = pool.pop() if pool else None
        if detect is None:
            detect = detector.spawn()

        def call(image):
            problem = diagnose.image_size_problem(*image.shape[:2])
            if problem is not None:
                raise FrameRefused(problem)
            try:
                return detect(image)
            except Exception as exc:
                if hint:
                    raise ValueError(f"{exc}; {hint}") from None
                raise

        return call

    return make


class _Saver:
    """Annotated copies: an image per still image, a video per video source."""

    def __init__(self, save_dir: str, source, counters, notify):
        self.notify = notify
        self.dir = save_dir
        self.source = source
        self.counters = counters
        self.taken: set[str] = set()
        self.sinks: dict[int, object] = {}

    def save(self, fr) -> str | None:
        kind, fps, stem = self.source.describe(fr.source_no)
        if fr.image is None:
            return None
        image = annotate_frame(fr.image, fr.detections, self.counters)
        if kind == "images":
            path = save_path(self.dir, fr.rel, self.taken)
            write_image(path, fr.source, image)
            return path
        sink = self.sinks.get(fr.source_no)
        if sink is None:
            every = max(1, self.source.every)
            sink = VideoSink(self._video_path(stem, fr.source), (fps or 0) / every or None, notify=self.notify)
            self.sinks[fr.source_no] = sink
        sink.write(image)
        return sink.path

    def _video_path(self, stem: str, source_name: str) -> str:
        n = 0
        while True:
            path = os.path.join(self.dir, f"{stem}{'_' + str(n) if n else ''}.mp4")
            key = os.path.normcase(os.path.abspath(path))
            clash = os.path.exists(path) and os.path.exists(source_name) and os.path.samefile(path, source_name)
            if key not in self.taken and not clash:
                self.taken.add(key)
                return path
            n += 1

    def close(self) -> None:
        for sink in self.sinks.values():
            sink.close()


class _Run:
    """The state of one run: what is counted, drawn and reported."""

    def __init__(self, cfg: DetectConfig, source, output, writer=None):
        self.cfg = cfg
        self.source = source
        self.output = output
        self.writer = writer or TextWriter(output.out)
        self.summary = RunSummary(about=cfg.about)
        self.counters = [LineCounter(line, name=name) for name, line in cfg.count_line]
        self.saver = _Saver(cfg.save, source, self.counters, output.notice) if cfg.save else None

    def handle(self, fr) -> None:
        saved = None
        still = self.source.describe(fr.source_no)[0] == "images"
        if fr.error is None:
            fr.detections = select(fr.detections, self.cfg.classes, self.cfg.max_det)
            if self.counters:
                fr.crossings = [c for counter in self.counters for c in counter.update(fr.detections)]
            if self.saver is not None:
                try:
                    saved = self.saver.save(fr)
                except (OSError, ValueError) as exc:
                    fr.error = f"cannot write annotated copy: {getattr(exc, 'strerror', None) or exc}"
        if fr.error is not None:
            self.summary.add_failure(frame=not still)
        else:
            self.summary.add_result(fr.detections, frame=not still)
        self.report(fr, saved, framed=not still or self.cfg.track)
        fr.image = None

    def report(self, fr, saved, framed: bool) -> None:
        if fr.error is not None:
            fr.error = redact(fr.error)
            name = redact(fr.source) + (f" frame {fr.index}" if framed else "")
            self.output.err(f"{PROG}: error: {name}: {fr.error}")
        fr.source = redact(fr.source)
        self.writer.frame(fr, framed=framed, saved=saved)

    def source_failed(self, name: str, message: str) -> None:
        """A source that gave no (more) frames: on standard error, in the
        results where the format has error records, and in the summary."""
        self.summary.add_failure(attempted=False)
        self.output.err(f"{PROG}: error: {redact(message)}")
        self.writer.error(redact(name), redact(message))

    def finish(self, interrupted: bool) -> None:
        if self.saver is not None:
            self.saver.close()
            if not self.cfg.quiet:
                for sink in self.saver.sinks.values():
                    self.output.notice(f"wrote {sink.path} ({sink.frames} frames)")
        if self.counters:
            counts = [c.summary() for c in self.counters]
            self.writer.line_counts(counts)
            for line in counts:  # a result: shown with --quiet too
                self.output.err(f"{PROG}: {_counts_line(line)}")
        self.writer.close()
        if not self.cfg.quiet:
            tail = " (interrupted)" if interrupted else ""
            print(f"{PROG}: {self.summary.line()}{tail}", file=sys.stderr, flush=True)


def _tracker(cfg: DetectConfig):
    """The run's tracker (frames without timestamps timed at ``--fps``), or False."""
    if not cfg.track:
        return False
    from zorvane_road_objects.detection.track import Tracker

    return Tracker(cfg.conf, fps=cfg.fps, camera_motion=not cfg.fixed_camera)


def _counts_line(counts: dict) -> str:
    x1, y1, x2, y2 = counts["line"]
    parts = []
    for direction in ("in", "out"):
        by_class = ", ".join(f"{v[direction]} {k}" for k, v in counts["by_class"].items() if v[direction])
        parts.append(f"{direction} {counts[direction]}" + (f" ({by_class})" if by_class else ""))
    return f"{counts['name']} ({x1:g},{y1:g})-({x2:g},{y2:g}): " + "; ".join(parts)


# The signals that stop a run cleanly, with the exit status of each. SIGHUP
# does not exist on Windows, hence the getattr.
_STOP_SIGNALS = {signal.SIGINT: ExitStatus.INTERRUPTED, signal.SIGTERM: ExitStatus.TERMINATED}
if getattr(signal, "SIGHUP", None) is not None:
    _STOP_SIGNALS[signal.SIGHUP] = ExitStatus.HANGUP


class _Stop:
    """Ctrl-C, SIGTERM (what ``timeout``, systemd and ``docker stop`` send)
    and SIGHUP as KeyboardInterrupt, but never in the middle of one frame's
    handling, so that what is saved and what is reported stay in step;
    ``status`` is the exit status of the signal that came."""

    def __init__(self):
        self.busy = False
        self.pending = False
        self.previous: dict = {}
        self.status = ExitStatus.INTERRUPTED

    def __call__(self, signum, frame):
        self.status = _STOP_SIGNALS.get(signum, ExitStatus.INTERRUPTED)
        if self.busy:
            self.pending = True
        else:
            raise KeyboardInterrupt

    def __enter__(self):
        for signum in _STOP_SIGNALS:
            try:
                self.previous[signum] = signal.signal(signum, self)
            except (ValueError, OSError):  # not the main thread: leave the handlers alone
                break
        return self

    def __exit__(self, *exc):
        for signum, previous in self.previous.items():
            signal.signal(signum, previous if previous is not None else signal.SIG_DFL)

    def handle(self, state, fr, bar) -> None:
        self.busy = True
        try:
            state.handle(fr)
            bar.update(1)
        finally:
            self.busy = False
        if self.pending:
            raise KeyboardInterrupt


def _failed_source(cfg: DetectConfig, message: str, last: str | None) -> str:
    """The name of the source that a stream error is about."""
    for name in cfg.sources:
        if message.startswith(f"{name}: "):
            return name
    return last or " ".join(cfg.sources)


def _run(cfg: DetectConfig, source, detector, output: Output, writer) -> int:
    """Detect over ``source`` (an opened ``FrameSource``) with the workers'
    detectors made from ``detector``; returns the exit status."""
    from tqdm import tqdm

    state = _Run(cfg, source, output, writer)
    for _ in source.errors:
        state.summary.add_failure(attempted=False)
    stream = detect_stream(source, workers=cfg.workers, threads=1, track=_tracker(cfg), conf=cfg.conf,
                           iou=cfg.iou, detector_factory=_worker_factory(detector), keep_images=True)
    total = source.expected_frames()
    bar = tqdm(total=total, unit="frame" if source.kind != "images" else "img", file=sys.stderr,
               leave=True, disable=total == 1 or not output.bars)
    output.bar = None if bar.disable else bar
    interrupted = stream_failed = False
    stop = _Stop()
    last = None
    try:
        with stop, stream:
            stream.start()
            state.summary.start()
            for fr in stream:
                last = fr.source
                stop.handle(state, fr, bar)
    except KeyboardInterrupt:
        interrupted = True
    except StreamError as exc:  # a stream that dropped for good
        state.source_failed(_failed_source(cfg, str(exc), last), str(exc))
    except ValueError as exc:  # a worker's detector could not be built
        stream_failed = True
        output.err(f"{PROG}: error: cannot start the detection workers: {redact(exc)}")
    finally:
        bar.close()
        output.bar = None
        state.finish(interrupted)
    if interrupted:
        return stop.status
    return ExitStatus.FAILED if state.summary.failed or stream_failed else ExitStatus.OK


def _open_detector(cfg: DetectConfig, output: Output) -> setup.ReadyDetector:
    try:
        import onnxruntime

        problem = diagnose.backend_fallback_warning(cfg.backend, onnxruntime.get_available_providers())
    except Exception:  # the detector's own import reports a broken runtime
        problem = None
    if problem is not None:
        warning(problem)
    if cfg.model_file is not None:
        return setup.open_model_file(cfg.model_file, cfg.backend, cfg.detector_conf, cfg.iou, threads=1)
    bars = output.bars
    # Results on standard output in a machine format: provisioning's lines go to standard error.
    keep_stdout = cfg.output is None and cfg.format != "text"
    return setup.open_catalogue_model(
        cfg.model or facts.DEFAULT_MODEL, cfg.backend, cfg.detector_conf, cfg.iou,
        self_serve=cfg.self_serve, notice=output.notice, threads=1,
        output=lambda: setup.provisioning_output(keep_stdout, bars))


def _check_usage(args, cfg: DetectConfig) -> None:
    if args.model is not None and args.model_file is not None:
        args.subparser.error("use either --model or --model-file, not both")
    if cfg.format == "mot" and (not cfg.track or len(cfg.sources) != 1):
        args.subparser.error("--format mot writes one tracked sequence: give --track and one SOURCE")


def _open_source(cfg: DetectConfig, output: Output):
    return open_source(list(cfg.sources), every=cfg.every, max_frames=cfg.max_frames, verbose=cfg.verbose,
                       image_check=diagnose.image_size_problem, notify=output.notice, progress=cfg.bars)


def _writer(cfg: DetectConfig, output: Output, stack: contextlib.ExitStack):
    """The results' writer, on standard output or into ``--output``."""
    if cfg.output is None:
        return FORMATS.get(cfg.format, TextWriter)(output.out)
    fh = stack.enter_context(open(cfg.output, "w", encoding="utf-8", errors=ESCAPE_ERRORS, newline=""))
    return FORMATS.get(cfg.format, TextWriter)(lambda line: fh.write(line + "\n"))


def cmd_detect(args) -> int:
    cfg = DetectConfig.from_args(args)
    _check_usage(args, cfg)
    output = Output(None, quiet=cfg.quiet)
    output.bars = cfg.bars
    with contextlib.ExitStack() as stack:
        try:
            writer = _writer(cfg, output, stack)
        except OSError as exc:
            error(f"cannot write {cfg.output}: {exc.strerror or exc}")
            return ExitStatus.USAGE
        try:
            source = stack.enter_context(_open_source(cfg, output))
        except (SourceError, TypeError) as exc:
            writer.error(redact(" ".join(cfg.sources)), redact(exc))
            writer.close()
            error(redact(exc))
            return ExitStatus.FAILED
        for path, msg in source.errors:
            writer.error(redact(path), redact(msg))
            error(redact(f"{path}: {msg}"))
        try:
            detector = _open_detector(cfg, output)
        except ImportError as exc:
            error(f"cannot load the detector module: {exc}")
            return ExitStatus.FAILED
        except setup.SetupError as exc:
            error(str(exc))
            return exc.exit_code
        try:
            return _run(cfg, source, detector, output, writer)
        finally:
            detector.close()
