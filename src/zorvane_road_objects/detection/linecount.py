"""Counting tracked objects that cross line segments.

``LineCounter((x1, y1, x2, y2), name="gate")``: call ``update(detections)``
once per frame with that frame's tracked ``Detection`` records (those with a
``track_id``, as ``Tracker.update`` returns them). Each track has an anchor
point (by default the bottom centre of its box, where the object meets the
road; or its centre).

A crossing needs hysteresis, so that a box jittering on the line or an
object idling on it never counts: the anchor must be more than ``margin``
pixels beyond the line (by default a tenth of the box's height) on the
other side from where the track was last seen beyond it, on ``hold``
updates in a row, and the path between the two sides must pass through the
segment itself, not the line's extension. A track counts at most once per
direction on each line.

Direction: "in" is a crossing from the left of the directed line
(x1, y1) -> (x2, y2) to its right as seen on the image (y grows
downwards), "out" the other way; for a line drawn left to right, "in" is
moving down the image. The class counted is the record's class at the
crossing (the tracker's vote over the track's boxes). Tracks not seen for
``forget_after`` updates are forgotten, so memory stays bounded on endless
streams.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

__all__ = ["ANCHORS", "LineCounter", "check_line", "parse_line"]

ANCHORS = ("bottom_center", "center")
HOLD = 3  # updates in a row beyond the line
MARGIN_OF_HEIGHT = 0.1  # the default margin, as a fraction of the box's height
MAX_COORD = 1e6


def parse_line(text: str, default_name: str = "line") -> tuple[str, tuple[float, float, float, float]]:
    """``X1,Y1,X2,Y2`` or ``NAME=X1,Y1,X2,Y2`` (pixels) -> (name, line);
    ValueError with the reason."""
    name, sep, coords = str(text).rpartition("=")
    name = name.strip() if sep else default_name
    if sep and not name:
        raise ValueError(f"the counting line's name before '=' is empty in {text!r}")
    try:
        line = tuple(float(v) for v in coords.split(","))
    except ValueError:
        line = ()
    if len(line) != 4:
        raise ValueError(f"expected X1,Y1,X2,Y2 or NAME=X1,Y1,X2,Y2 (four numbers), got {text!r}")
    return name, check_line(line)


def check_line(line) -> tuple[float, float, float, float]:
    """The line as four floats, or ValueError: coordinates must be finite and
    within +-``MAX_COORD`` pixels, and the line at least a pixel long."""
    try:
        x1, y1, x2, y2 = (float(v) for v in line)
    except (TypeError, ValueError):
        raise ValueError(f"a line is four numbers x1, y1, x2, y2, got {line!r}") from None
    if not all(math.isfinite(v) and abs(v) <= MAX_COORD for v in (x1, y1, x2, y2)):
        raise ValueError(f"the line's coordinates must be pixels within +-{MAX_COORD:g}, got {line!r}")
    if math.hypot(x2 - x1, y2 - y1) < 1.0:
        raise ValueError(f"the line must be at least a pixel long, got {line!r}")
    return (x1, y1, x2, y2)


@dataclass
class _State:
    side: int  # +1 right of the line, -1 left: the side the track was last confirmed on
    point: tuple[float, float]  # its last anchor on that side
    seen: int  # update of the last record
    pending: int = 0  # the other side, while its run lasts
    run: int = 0
    first: tuple[float, float] | None = None  # the run's first anchor
    counted: set = field(default_factory=set)


class LineCounter:
    def __init__(self, line, *, name: str = "line", anchor: str = "bottom_center",
                 margin: float | None = None, hold: int = HOLD, forget_after: int = 300):
        x1, y1, x2, y2 = check_line(line)
        if anchor not in ANCHORS:
            raise ValueError(f"anchor must be one of {ANCHORS}, got {anchor!r}")
        if margin is not None and not (margin >= 0 and math.isfinite(margin)):
            raise ValueError(f"margin must be a number of pixels >= 0, got {margin!r}")
        if not (isinstance(hold, int) and hold >= 1):
            raise ValueError(f"hold must be a whole number >= 1, got {hold!r}")
        self.name = str(name)
        self.line = (x1, y1, x2, y2)
        self.anchor = anchor
        self.margin = margin
        self.hold = hold
        self.forget_after = int(forget_after)
        self._length = math.hypot(x2 - x1, y2 - y1)
        self._tracks: dict[int, _State] = {}
        self._update = 0
        self.counts: dict[str, dict[str, int]] = {}
        self.events: list[dict] = []  # crossings of the last update

    def _point(self, ltrb) -> tuple[float, float]:
        l, t, r, b = (float(v) for v in ltrb)
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

    def _side(self, rec, p) -> int:
        margin = self.margin
        if margin is None:
            margin = MARGIN_OF_HEIGHT * (float(rec.ltrb[3]) - float(rec.ltrb[1]))
        d = self._distance(p)
        return 1 if d > margin else -1 if d < -margin else 0

    def update(self, detections) -> list[dict]:
        """Count the crossings of one frame; returns them as
        ``{"line", "track_id", "class", "direction"}`` dicts."""
        self._update += 1
        events = []
        for rec in detections:
            tid = rec.track_id
            if tid is None:
                continue
            p = self._point(rec.ltrb)
            if not all(math.isfinite(v) for v in p):
                continue
            side = self._side(rec, p)
            st = self._tracks.get(tid)
            if st is None:
                if side:
                    self._tracks[tid] = _State(side, p, self._update)
                continue
            st.seen = self._update
            if side == st.side:
                st.point, st.pending, st.run, st.first = p, 0, 0, None
                continue
            if side == 0:
                continue
            if st.pending != side:
                st.pending, st.run, st.first = side, 0, p
            st.run += 1
            if st.run < self.hold:
                continue
            crossed = self._within_segment(st.point, st.first)
            st.side, st.point, st.pending, st.run, st.first = side, p, 0, 0, None
            direction = "in" if side > 0 else "out"
            if crossed and direction not in st.counted:
                st.counted.add(direction)
                per = self.counts.setdefault(rec.class_name, {"in": 0, "out": 0})
                per[direction] += 1
                events.append({"line": self.name, "track_id": tid, "class": rec.class_name,
                               "direction": direction})
        if self._update % 64 == 0:
            stale = [t for t, s in self._tracks.items() if self._update - s.seen > self.forget_after]
            for t in stale:
                del self._tracks[t]
        self.events = events
        return events

    def summary(self) -> dict:
        """The line's totals and counts per class, ready for JSON."""
        return {
            "name": self.name,
            "line": list(self.line),
            "in": sum(c["in"] for c in self.counts.values()),
            "out": sum(c["out"] for c in self.counts.values()),
            "by_class": {k: dict(v) for k, v in sorted(self.counts.items())},
        }
