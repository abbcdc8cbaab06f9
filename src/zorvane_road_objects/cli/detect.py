"""One run of the ``detect`` command: frames from any source (images,
folders, globs, video files, cameras, stream URLs) through the parallel
pipeline, reported in frame order, with optional tracking, line counts and
annotated copies.

Each worker of the pipeline has its own detector with a one-thread session;
the first one is the detector the command opened (which provisioned the
model, serving the bundled models if it had to), the others are built from
it. Ctrl-C stops the run cleanly: the frames reported so far stay reported,
annotated videos are closed so that they play, and the summary is printed.
"""

from __future__ import annotations

import dataclasses
import os
import signal
import sys
import threading

from zorvane_road_objects import facts
from zorvane_road_objects.cli.report import (
    PROG,
    ExitStatus,
    Output,
    RunSummary,
    error,
    format_detections,
    headline,
    stderr_is_terminal,
    warning,
)
from zorvane_road_objects.detection import detector as setup
from zorvane_road_objects.detection import diagnose
from zorvane_road_objects.detection.draw import annotate_frame
from zorvane_road_objects.detection.formats import dumps
from zorvane_road_objects.detection.linecount import LineCounter
from zorvane_road_objects.detection.pipeline import FrameRefused, detect_stream, detector_threshold
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
    json: bool = False
    self_serve: bool = True
    quiet: bool = False
    workers: int = 1
    every: int = 1
    max_frames: int | None = None
    track: bool = False
    # (name, (x1, y1, x2, y2)) of each counting line.
    count_line: tuple[tuple[str, tuple[float, float, float, float]], ...] = ()
    fps: float = 30.0

    @classmethod
    def from_args(cls, args) -> DetectConfig:
        values = {f.name: getattr(args, f.name) for f in dataclasses.fields(cls) if f.name != "sources"}
        values["count_line"] = tuple((name or f"line{i}", line)
                                     for i, (name, line) in enumerate(args.count_line or (), 1))
        values["track"] = args.track or bool(values["count_line"])
        return cls(sources=tuple(args.paths), **values)

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

    def __init__(self, save_dir: str, source, counters):
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
            sink = VideoSink(self._video_path(stem, fr.source), (fps or 0) / every or None)
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

    def __init__(self, cfg: DetectConfig, source, output):
        self.cfg = cfg
        self.source = source
        self.output = output
        self.summary = RunSummary()
        self.counters = [LineCounter(line, name=name) for name, line in cfg.count_line]
        self.saver = _Saver(cfg.save, source, self.counters) if cfg.save else None

    def handle(self, fr) -> None:
        saved = None
        if fr.error is None:
            if self.counters:
                fr.crossings = [c for counter in self.counters for c in counter.update(fr.detections)]
            if self.saver is not None:
                try:
                    saved = self.saver.save(fr)
                except (OSError, ValueError) as exc:
                    fr.error = f"cannot write annotated copy: {getattr(exc, 'strerror', None) or exc}"
        if fr.error is not None:
            self.summary.add_failure()
        else:
            self.summary.add_result(fr.detections)
        self.report(fr, saved)
        fr.image = None

    def report(self, fr, saved) -> None:
        kind = self.source.describe(fr.source_no)[0]
        framed = kind != "images" or self.cfg.track
        if self.cfg.json:
            self.output.out(fr.to_json(frame=framed, saved=saved))
        name = f"{fr.source} frame {fr.index}" if framed else fr.source
        if fr.error is not None:
            self.output.err(f"{PROG}: error: {name}: {fr.error}")
            return
        if self.cfg.json:
            return
        lines = [headline(name, fr), *format_detections(fr.detections),
                 *(f"  crossed {c['line']} {c['direction']}: {c['class']} #{c['track_id']}" for c in fr.crossings)]
        if saved is not None and kind == "images":
            lines.append(f"  saved {saved}")
        self.output.out("\n".join(lines))

    def finish(self, interrupted: bool) -> None:
        if self.saver is not None:
            self.saver.close()
            if not self.cfg.quiet:
                for sink in self.saver.sinks.values():
                    self.output.notice(f"wrote {sink.path} ({sink.frames} frames)")
        if self.counters:
            counts = [c.summary() for c in self.counters]
            if self.cfg.json:
                self.output.out(dumps({"line_counts": counts}))
            if not self.cfg.quiet:
                for line in counts:
                    self.output.notice(_counts_line(line))
        if not self.cfg.quiet:
            tail = " (interrupted)" if interrupted else ""
            print(f"{PROG}: {self.summary.line()}{tail}", file=sys.stderr, flush=True)


def _tracker(cfg: DetectConfig):
    """The run's tracker (frames without timestamps timed at ``--fps``), or False."""
    if not cfg.track:
        return False
    from zorvane_road_objects.detection.track import Tracker

    return Tracker(cfg.conf, fps=cfg.fps)


def _counts_line(counts: dict) -> str:
    x1, y1, x2, y2 = counts["line"]
    parts = []
    for direction in ("in", "out"):
        by_class = ", ".join(f"{v[direction]} {k}" for k, v in counts["by_class"].items() if v[direction])
        parts.append(f"{direction} {counts[direction]}" + (f" ({by_class})" if by_class else ""))
    return f"{counts['name']} ({x1:g},{y1:g})-({x2:g},{y2:g}): " + "; ".join(parts)


class _CtrlC:
    """Ctrl-C as KeyboardInterrupt, but never in the middle of one frame's
    handling, so that what is saved and what is reported stay in step."""

    def __init__(self):
        self.busy = False
        self.pending = False
        self.previous = None

    def __call__(self, signum, frame):
        if self.busy:
            self.pending = True
        else:
            raise KeyboardInterrupt

    def __enter__(self):
        try:
            self.previous = signal.signal(signal.SIGINT, self)
        except ValueError:  # not the main thread: leave the handler alone
            self.previous = None
        return self

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)

    def handle(self, state, fr, bar) -> None:
        self.busy = True
        try:
            state.handle(fr)
            bar.update(1)
        finally:
            self.busy = False
        if self.pending:
            raise KeyboardInterrupt


def _run(cfg: DetectConfig, source, detector, output: Output) -> int:
    """Detect over ``source`` (an opened ``FrameSource``) with the workers'
    detectors made from ``detector``; returns the exit status."""
    from tqdm import tqdm

    state = _Run(cfg, source, output)
    for _ in source.errors:
        state.summary.add_failure(attempted=False)
    stream = detect_stream(source, workers=cfg.workers, threads=1, track=_tracker(cfg), conf=cfg.conf,
                           iou=cfg.iou, detector_factory=_worker_factory(detector), keep_images=True)
    total = source.expected_frames()
    bar = tqdm(total=total, unit="frame" if source.kind != "images" else "img", file=sys.stderr,
               leave=True, disable=total == 1 or not output.bars)
    output.bar = None if bar.disable else bar
    interrupted = stream_failed = False
    try:
        with _CtrlC() as ctrl_c, stream:
            stream.start()
            state.summary.start()
            for fr in stream:
                ctrl_c.handle(state, fr, bar)
    except KeyboardInterrupt:
        interrupted = True
    except StreamError as exc:
        stream_failed = True
        output.err(f"{PROG}: error: {exc}")
    except ValueError as exc:  # a worker's detector could not be built
        stream_failed = True
        output.err(f"{PROG}: error: cannot start the detection workers: {exc}")
    finally:
        bar.close()
        output.bar = None
        state.finish(interrupted)
    if interrupted:
        return ExitStatus.INTERRUPTED
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
    return setup.open_catalogue_model(
        cfg.model or facts.DEFAULT_MODEL, cfg.backend, cfg.detector_conf, cfg.iou,
        self_serve=cfg.self_serve, notice=output.notice, threads=1,
        output=lambda: setup.provisioning_output(cfg.json, bars))


def _source_error(cfg: DetectConfig, path: str, msg: str) -> None:
    if cfg.json:
        print(dumps({"path": path, "error": msg}), flush=True)


def cmd_detect(args) -> int:
    if args.model is not None and args.model_file is not None:
        args.subparser.error("use either --model or --model-file, not both")
    cfg = DetectConfig.from_args(args)
    try:
        source = open_source(list(cfg.sources), every=cfg.every, max_frames=cfg.max_frames)
    except (SourceError, TypeError) as exc:
        _source_error(cfg, " ".join(cfg.sources), str(exc))
        error(str(exc))
        return ExitStatus.FAILED
    with source:
        for path, msg in source.errors:
            _source_error(cfg, path, msg)
            error(f"{path}: {msg}")
        output = Output(None, quiet=cfg.quiet)
        output.bars = cfg.bars
        try:
            detector = _open_detector(cfg, output)
        except ImportError as exc:
            error(f"cannot load the detector module: {exc}")
            return ExitStatus.FAILED
        except setup.SetupError as exc:
            error(str(exc))
            return exc.exit_code
        try:
            return _run(cfg, source, detector, output)
        finally:
            detector.close()
