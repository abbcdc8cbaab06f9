"""What the command-line tool prints besides results: its name, exit
statuses, messages on standard error, human-readable result lines and the
summary line at the end of a run."""

from __future__ import annotations

import codecs
import enum
import math
import sys
import time
from collections import Counter

from zorvane_road_objects.detection.formats import ResultWriter
from zorvane_road_objects.facts import CLASS_NAMES
from zorvane_road_objects.media.sources import redact as _redact

__all__ = ["ESCAPE_ERRORS", "PROG", "ExitStatus", "Output", "RunSummary", "TextWriter", "error", "escape_output_streams",
           "format_detections", "format_seconds", "headline", "redact", "stderr_is_terminal", "warning"]

PROG = "zorvane-robj"


class ExitStatus(enum.IntEnum):
    """The tool's exit statuses."""

    OK = 0
    FAILED = 1  # some inputs, sources or the model failed
    USAGE = 2  # bad options or set-up
    HANGUP = 129  # SIGHUP
    INTERRUPTED = 130  # SIGINT (Ctrl-C)
    TERMINATED = 143  # SIGTERM


# Text that the output's encoding cannot carry (a file name that is not
# valid UTF-8 arrives as lone surrogates) is written escaped, the bytes of a
# file name as \xNN, anything else as \uNNNN, instead of failing the run.
ESCAPE_ERRORS = "zorvane-escape"


def _escape(exc: UnicodeError):
    if not isinstance(exc, UnicodeEncodeError):
        raise exc
    out = []
    for ch in exc.object[exc.start:exc.end]:
        code = ord(ch)
        out.append(f"\\x{code - 0xDC00:02x}" if 0xDC80 <= code <= 0xDCFF
                   else ch.encode("ascii", "backslashreplace").decode("ascii"))
    return "".join(out), exc.end


codecs.register_error(ESCAPE_ERRORS, _escape)


def escape_output_streams() -> None:
    """Standard output and error write what they cannot encode escaped."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors=ESCAPE_ERRORS)
        except (AttributeError, ValueError, OSError):
            pass


def redact(text) -> str:
    """``text`` with the passwords of the URLs in it hidden (``***``)."""
    return _redact(str(text))


def error(msg: str) -> None:
    print(f"{PROG}: error: {msg}", file=sys.stderr, flush=True)


def warning(msg: str) -> None:
    print(f"{PROG}: warning: {msg}", file=sys.stderr, flush=True)


def stderr_is_terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


class Output:
    """Writes result lines to stdout and messages to stderr around the progress bar."""

    def __init__(self, bar=None, quiet: bool = False):
        self.bar = bar
        self.quiet = quiet
        self.bars = False  # progress bars wanted (stderr is a terminal, not --quiet)

    def out(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stdout)
        else:
            print(line, file=sys.stdout)
        sys.stdout.flush()

    def err(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def notice(self, line: str) -> None:
        if not self.quiet:
            self.err(f"{PROG}: {line}")


def format_seconds(sec) -> str:
    try:
        sec = float(sec)
    except (TypeError, ValueError):
        return "?"
    if not math.isfinite(sec):
        return "?"
    if sec < 1.0:
        return f"{sec * 1000.0:.1f} ms"
    return f"{sec:.2f} s"


def format_detections(detections) -> list[str]:
    """Human-readable lines for ``Detection`` records, with their track ids."""
    lines = []
    for det in detections:
        l, t, r, b = det.ltrb
        line = f"  {det.label:<13} {det.ltrb_conf:>3}%  ltrb=({l:.1f}, {t:.1f}, {r:.1f}, {b:.1f})"
        if det.track_id is not None:
            line += f"  #{det.track_id}"
        lines.append(line)
    return lines


def headline(name: str, fr) -> str:
    """The first line of a frame's report: its name, size, objects and time."""
    n = len(fr.detections)
    what = "no objects" if n == 0 else f"{n} object{'s' if n != 1 else ''}"
    w, h = fr.size or (0, 0)
    return f"{name} ({w}x{h}): {what} in {format_seconds(fr.seconds)}"

# The detector's class table, so that the summary lists classes in its order.
_CLASS_ORDER = CLASS_NAMES


def _plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


class RunSummary:
    """Counts the still images and video frames, objects per class and
    failures of one run.

    The rate counts the images and frames that were detected (failed ones
    not) over the time from ``start()`` to ``line()``. ``about`` (the model
    and thresholds) ends the line.
    """

    def __init__(self, clock=time.perf_counter, about: str = "") -> None:
        self._clock = clock
        self._start = clock()
        self.about = about
        self.images = 0
        self.frames = 0
        self.detected = 0
        self.failed = 0
        self.classes: Counter[str] = Counter()

    def start(self) -> None:
        self._start = self._clock()

    def _count(self, frame: bool) -> None:
        if frame:
            self.frames += 1
        else:
            self.images += 1

    def add_result(self, detections, frame: bool = False) -> None:
        """A detected still image, or with ``frame`` a video or stream frame."""
        self._count(frame)
        self.detected += 1
        for det in detections:
            self.classes[det.label] += 1

    def add_failure(self, attempted: bool = True, frame: bool = False) -> None:
        """One input failed; ``attempted`` when it was an image or frame of the run."""
        self.failed += 1
        if attempted:
            self._count(frame)

    def objects(self) -> str:
        total = sum(self.classes.values())
        if not total:
            return "no objects"
        order = [c.replace("_", " ") for c in _CLASS_ORDER]
        known = [c for c in order if self.classes[c]]
        known += sorted(c for c in self.classes if c not in order)
        return f"{_plural(total, 'object')} (" + ", ".join(f"{self.classes[c]} {c}" for c in known) + ")"

    def line(self, now: float | None = None) -> str:
        elapsed = (self._clock() if now is None else now) - self._start
        unit = "frames/s" if self.frames else "images/s"
        rate = f"{self.detected / elapsed:.1f} {unit}" if elapsed > 0 and self.detected else f"- {unit}"
        counted = [_plural(self.images, "image")] if self.images or not self.frames else []
        if self.frames:
            counted.append(_plural(self.frames, "frame"))
        about = f"; {self.about}" if self.about else ""
        return f"{', '.join(counted)}, {self.objects()}, {self.failed} failed, {rate}{about}"


class TextWriter(ResultWriter):
    """The human-readable report: per frame a headline, the objects, the
    line crossings and where the annotated copy went."""

    def frame(self, fr, *, framed=True, saved=None):
        if fr.error is not None:
            return
        name = redact(fr.source) + (f" frame {fr.index}" if framed else "")
        lines = [headline(name, fr), *format_detections(fr.detections),
                 *(f"  crossed {c.get('line', 'the line')} {c['direction']}: {c['class']} #{c['track_id']}"
                   for c in fr.crossings)]
        if saved is not None and fr.timestamp is None:  # a still image's copy
            lines.append(f"  saved {saved}")
        self.emit("\n".join(lines))
