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

import os
import signal
import sys
import threading

from zorvane_road_objects.detection import formats as jsonout
from zorvane_road_objects.detection.diagnose import image_size_problem
from zorvane_road_objects.cli.report import BatchSummary

__all__ = ["parse_line", "run"]

PROG = "zorvane-robj"


def parse_line(text: str) -> tuple[float, float, float, float]:
    """``x1,y1,x2,y2`` (pixels) as a tuple; ValueError with the reason."""
    parts = text.split(",")
    if len(parts) != 4:
        raise ValueError(f"expected x1,y1,x2,y2 (four numbers), got {text!r}")
    try:
        line = tuple(float(p) for p in parts)
    except ValueError:
        raise ValueError(f"expected x1,y1,x2,y2 (four numbers), got {text!r}") from None
    if not all(map(_finite, line)):
        raise ValueError(f"the line's coordinates must be finite, got {text!r}")
    if line[:2] == line[2:]:
        raise ValueError("the line's two end points must differ")
    return line


def _finite(v: float) -> bool:
    return v == v and abs(v) != float("inf")


def _worker_factory(detector):
    """Detection callables for the workers: the opened detector first, then
    new ones with the same model and settings. Each refuses the images the
    detector's size rules refuse, with the rule in the message."""
    from zorvane_road_objects.detection.pipeline import FrameRefused

    pool = [detector.detect]
    lock = threading.Lock()
    hint = getattr(detector, "hint", "")

    def make():
        with lock:
            detect = pool.pop() if pool else None
        if detect is None:
            detect = detector.spawn()

        def call(image):
            problem = image_size_problem(*image.shape[:2])
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

    def __init__(self, save_dir: str, source, counter):
        self.dir = save_dir
        self.source = source
        self.counter = counter
        self.taken: set[str] = set()
        self.sinks: dict[int, object] = {}

    def save(self, fr) -> str | None:
        from zorvane_road_objects.media.video import annotate_frame

        kind, fps, stem = self.source.describe(fr.source)
        if fr.image is None:
            return None
        image = annotate_frame(fr.image, fr.records, self.counter)
        if kind == "images":
            path = save_path(self.dir, fr.rel, self.taken)
            write_image(path, fr.name, image)
            return path
        sink = self.sinks.get(fr.source)
        if sink is None:
            from zorvane_road_objects.media.video import VideoSink

            every = max(1, self.source.every)
            sink = VideoSink(self._video_path(stem, fr.name), (fps or 0) / every or None)
            self.sinks[fr.source] = sink
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

    def __init__(self, args, source, output):
        from zorvane_road_objects.detection.linecount import LineCounter

        self.args = args
        self.source = source
        self.output = output
        self.summary = BatchSummary()
        self.counter = LineCounter(args.count_line) if args.count_line else None
        self.saver = _Saver(args.save, source, self.counter) if args.save else None

    def handle(self, fr) -> None:
        crossings = None
        saved = None
        if fr.error is None:
            if self.counter is not None:
                crossings = self.counter.update(fr.records)
            if self.saver is not None:
                try:
                    saved = self.saver.save(fr)
                except (OSError, ValueError) as exc:
                    fr.error = f"cannot write annotated copy: {getattr(exc, 'strerror', None) or exc}"
        if fr.error is not None:
            self.summary.add_failure()
        else:
            self.summary.add_result(fr.result)
        self.report(fr, saved, crossings)
        fr.image = None

    def report(self, fr, saved, crossings) -> None:
        from zorvane_road_objects.cli.app import headline

        kind = self.source.describe(fr.source)[0]
        framed = kind != "images" or self.args.track
        if self.args.json:
            record = {"path": fr.name}
            if framed:
                record["frame"] = fr.index
            if fr.timestamp is not None:
                record["timestamp"] = fr.timestamp
            if fr.error is not None:
                record["error"] = fr.error
            else:
                record.update(fr.result)
                if saved is not None:
                    record["saved"] = saved
                if crossings:
                    record["crossings"] = crossings
            self.output.out(jsonout.dumps(record))
        name = f"{fr.name} frame {fr.index}" if framed else fr.name
        if fr.error is not None:
            self.output.err(f"{PROG}: error: {name}: {fr.error}")
            return
        if self.args.json:
            return
        lines = [headline(name, fr.result, fr.image.shape if fr.image is not None else (0, 0)),
                 *_track_lines(fr.result), *(f"  crossed the line {c['direction']}: {c['class']} "
                                             f"#{c['track_id']}" for c in crossings or ())]
        if saved is not None and kind == "images":
            lines.append(f"  saved {saved}")
        self.output.out("\n".join(lines))

    def finish(self, interrupted: bool) -> None:
        if self.saver is not None:
            self.saver.close()
            if not self.args.quiet:
                for sink in self.saver.sinks.values():
                    self.output.notice(f"wrote {sink.path} ({sink.frames} frames)")
        if self.counter is not None:
            counts = self.counter.summary()
            if self.args.json:
                self.output.out(jsonout.dumps({"line_counts": counts}))
            if not self.args.quiet:
                self.output.notice(_counts_line(counts))
        if not self.args.quiet:
            tail = " (interrupted)" if interrupted else ""
            print(f"{PROG}: {self.summary.line()}{tail}", file=sys.stderr, flush=True)


def _track_lines(result: dict) -> list[str]:
    from zorvane_road_objects.cli.app import format_detections

    lines = format_detections(result)
    for i, rec in enumerate(result.get("results", [])):
        if rec.get("track_id") is not None:
            lines[i] += f"  #{rec['track_id']}"
    return lines


def _counts_line(counts: dict) -> str:
    x1, y1, x2, y2 = counts["line"]
    parts = []
    for direction in ("in", "out"):
        by_class = ", ".join(f"{v[direction]} {k}" for k, v in counts["by_class"].items() if v[direction])
        parts.append(f"{direction} {counts[direction]}" + (f" ({by_class})" if by_class else ""))
    return f"line ({x1:g},{y1:g})-({x2:g},{y2:g}): " + "; ".join(parts)


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


def run(args, source, detector, output) -> int:
    """Detect over ``source`` (an opened ``stream.FrameSource``) with the
    workers' detectors made from ``detector``; returns the exit status."""
    from tqdm import tqdm

    from zorvane_road_objects.detection.pipeline import detect_stream
    from zorvane_road_objects.media.sources import StreamError

    state = _Run(args, source, output)
    for _ in source.errors:
        state.summary.add_failure(attempted=False)
    stream = detect_stream(source, workers=args.workers, threads=1, track=args.track,
                           conf=args.conf, iou=args.iou, track_low=args.detector_conf,
                           detector_factory=_worker_factory(detector), keep_images=True)
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
        return 130
    return 1 if state.summary.failed or stream_failed else 0
