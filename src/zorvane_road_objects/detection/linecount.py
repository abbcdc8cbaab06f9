"""Counting tracked objects that cross a line segment.

``LineCounter((x1, y1, x2, y2))``: call ``update(records)`` once per frame
with the tracked ``Detection`` records of that frame (with a ``track_id``,
as ``Tracker.update`` returns them). A crossing is counted when the anchor
point of a track (by default the bottom centre of its box, where the
object meets the road) moves from one side of the line to the other and
its path between the two positions passes through the segment itself.

Direction: "in" is a crossing from the left of the directed line
(x1, y1) -> (x2, y2) to its right as seen on the image (y grows
downwards), "out" the other way; for a line drawn left to right, "in" is
moving down the image.

A track jittering on the line counts once per side change; with
``margin`` (pixels) its side only changes once the anchor is that far
beyond the line. Tracks not seen for ``forget_after`` updates are
forgotten, so memory stays bounded on endless streams.
"""

from __future__ import annotations

import math

__all__ = ["LineCounter"]

ANCHORS = ("bottom_center", "center")


class LineCounter:
    def __init__(self, line, *, anchor: str = "bottom_center", margin: float = 0.0,
                 forget_after: int = 300):
        try:
            x1, y1, x2, y2 = (float(v) for v in line)
        except (TypeError, ValueError):
            raise ValueError(f"line must be four numbers x1, y1, x2, y2, got {line!r}") from None
        if not all(math.isfinite(v) for v in (x1, y1, x2, y2)):
            raise ValueError(f"line coordinates must be finite, got {line!r}")
        if (x1, y1) == (x2, y2):
            raise ValueError("line end points must differ")
        if anchor not in ANCHORS:
            raise ValueError(f"anchor must be one of {ANCHORS}, got {anchor!r}")
        self.line = (x1, y1, x2, y2)
        self.anchor = anchor
        self._length = math.hypot(x2 - x1, y2 - y1)
        self.margin = float(margin)
        self.forget_after = int(forget_after)
        self._tracks: dict[int, tuple[int, tuple[float, float], int]] = {}  # id -> (side, point, last seen)
        self._frame = 0
        self.counts: dict[str, dict[str, int]] = {}
        self.events: list[dict] = []  # crossings of the last update

    def _point(self, rec) -> tuple[float, float]:
        l, t, r, b = (float(v) for v in rec.ltrb)
        return ((l + r) / 2.0, b if self.anchor == "bottom_center" else (t + b) / 2.0)

    def _distance(self, p) -> float:
        """Signed distance of p from the line: positive on its right (as seen on the image)."""
        x1, y1, x2, y2 = self.line
        return ((x2 - x1) * (p[1] - y1) - (y2 - y1) * (p[0] - x1)) / self._length

    def _within_segment(self, p, q) -> bool:
        """Whether the path p -> q meets the segment (not just its line)."""
        x1, y1, x2, y2 = self.line
        dp, dq = self._distance(p), self._distance(q)
        if dp == dq:
            return False
        s = dp / (dp - dq)
        cx, cy = p[0] + s * (q[0] - p[0]), p[1] + s * (q[1] - p[1])
        u = ((cx - x1) * (x2 - x1) + (cy - y1) * (y2 - y1)) / (self._length ** 2)
        return 0.0 <= u <= 1.0

    def update(self, records) -> list[dict]:
        """Count the crossings of one frame; returns them as
        ``{"track_id", "class", "direction"}`` dicts."""
        self._frame += 1
        events = []
        for rec in records:
            tid = rec.track_id
            if tid is None:
                continue
            try:
                p = self._point(rec)
            except (TypeError, ValueError):
                continue
            if not all(math.isfinite(v) for v in p):
                continue
            d = self._distance(p)
            side = 1 if d > self.margin else -1 if d < -self.margin else 0
            prev = self._tracks.get(tid)
            if prev is None or prev[0] == 0:
                self._tracks[tid] = (side, p, self._frame)
                continue
            if side == 0 or side == prev[0]:
                self._tracks[tid] = (prev[0], p if side else prev[1], self._frame)
                continue
            if self._within_segment(prev[1], p):
                direction = "in" if side > 0 else "out"
                cls = rec.class_name
                per = self.counts.setdefault(cls, {"in": 0, "out": 0})
                per[direction] += 1
                events.append({"track_id": tid, "class": cls, "direction": direction})
            self._tracks[tid] = (side, p, self._frame)
        if self._frame % 64 == 0:
            stale = [t for t, v in self._tracks.items() if self._frame - v[2] > self.forget_after]
            for t in stale:
                del self._tracks[t]
        self.events = events
        return events

    def summary(self) -> dict:
        """Totals and per-class counts, ready for JSON."""
        return {
            "line": list(self.line),
            "in": sum(c["in"] for c in self.counts.values()),
            "out": sum(c["out"] for c in self.counts.values()),
            "by_class": {k: dict(v) for k, v in sorted(self.counts.items())},
        }
