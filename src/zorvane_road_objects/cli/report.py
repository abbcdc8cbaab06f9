"""The one-line summary at the end of a batch of detections."""

from __future__ import annotations

import time
from collections import Counter

from zorvane_road_objects.facts import CLASS_NAMES

__all__ = ["BatchSummary"]

# The detector's class table, so that the summary lists classes in its order.
_CLASS_ORDER = CLASS_NAMES


def _plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


class BatchSummary:
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

    def add_result(self, result: dict) -> None:
        self.images += 1
        for rec in result.get("results", []):
            self.classes[str(rec.get("class"))] += 1

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
