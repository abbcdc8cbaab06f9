"""What the command-line tool prints besides results: its name, exit
statuses, messages on standard error, human-readable result lines and the
summary line at the end of a run."""

from __future__ import annotations

import enum
import math
import sys
import time
from collections import Counter

from zorvane_road_objects.facts import CLASS_NAMES

__all__ = ["PROG", "ExitStatus", "Output", "RunSummary", "error", "format_detections", "format_seconds",
           "headline", "stderr_is_terminal", "warning"]

PROG = "zorvane-robj"


class ExitStatus(enum.IntEnum):
    """The tool's exit statuses."""

    OK = 0
    FAILED = 1  # some inputs, sources or the model failed
    USAGE = 2  # bad options or set-up
    HANGUP = 129  # SIGHUP
    INTERRUPTED = 130  # SIGINT (Ctrl-C)
    TERMINATED = 143  # SIGTERM


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
        line = f"  {det.class_name:<13} {det.ltrb_conf:>3}%  ltrb=({l:.1f}, {t:.1f}, {r:.1f}, {b:.1f})"
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
    """Counts the images, objects per class and failures of one run.

    The rate counts every image that went through detection (failed ones
    included) over the time from ``start()`` to ``line()``.
    """

    def __init__(self, clock=time.perf_counter) -> None:
        self._clock = clock
        self._start = clock()
        self.images = 0
        self.failed = 0
        self.classes: Counter[str] = Counter()

    def start(self) -> None:
        self._start = self._clock()

    def add_result(self, detections) -> None:
        self.images += 1
        for det in detections:
            self.classes[det.class_name] += 1

    def add_failure(self, attempted: bool = True) -> None:
        """One input failed; ``attempted`` when it took part in the timed loop."""
        self.failed += 1
        if attempted:
            self.images += 1

    def objects(self) -> str:
        total = sum(self.classes.values())
        if not total:
            return "no objects"
        known = [c for c in _CLASS_ORDER if self.classes[c]]
        known += sorted(c for c in self.classes if c not in _CLASS_ORDER)
        return f"{_plural(total, 'object')} (" + ", ".join(f"{self.classes[c]} {c}" for c in known) + ")"

    def line(self, now: float | None = None) -> str:
        elapsed = (self._clock() if now is None else now) - self._start
        rate = f"{self.images / elapsed:.1f} images/s" if elapsed > 0 and self.images else "- images/s"
        return (f"{_plural(self.images, 'image')}, {self.objects()}, "
                f"{self.failed} failed, {rate}")
