"""Drawing detection records onto images.

``draw_detections(image, detections)`` returns an annotated copy of a BGR
image: one box per record in its class colour, and a filled label with the
class name and the confidence in percent. Line widths and text size follow
the image size, so the drawing stays readable on thumbnails and on 4K frames.
"""

from __future__ import annotations

import math

import cv2
import numpy as np

from zorvane_road_objects.detection.records import Detection, as_detections
from zorvane_road_objects.facts import CLASS_COLOURS, CLASS_NAMES

__all__ = [
    "CLASS_NAMES",
    "CLASS_COLOURS",
    "annotate_frame",
    "class_colour",
    "default_label",
    "draw_detections",
    "label_layout",
    "style_for",
]

# CLASS_COLOURS: BGR, one per class id; strong hues that stay apart from each
# other and from the greys, greens and browns of road scenes.
_FALLBACK_COLOUR = (160, 160, 160)

_FONT = cv2.FONT_HERSHEY_SIMPLEX


def class_colour(class_id) -> tuple[int, int, int]:
    """BGR colour of a class id (grey for ids outside the class table)."""
    try:
        i = int(class_id)
    except (TypeError, ValueError, OverflowError):
        return _FALLBACK_COLOUR
    if 0 <= i < len(CLASS_COLOURS):
        return CLASS_COLOURS[i]
    return _FALLBACK_COLOUR


def _text_colour(bg) -> tuple[int, int, int]:
    b, g, r = bg
    luma = 0.114 * b + 0.587 * g + 0.299 * r
    return (0, 0, 0) if luma > 140 else (255, 255, 255)


def style_for(height: int, width: int) -> dict:
    """Box thickness, font scale, font thickness and label padding for an image size."""
    base = (max(int(height), 1) + max(int(width), 1)) / 2.0
    thickness = max(2, int(round(base / 400.0)))
    font_scale = max(0.45, base / 1100.0)
    font_thickness = max(1, int(round(thickness / 2.0)))
    pad = max(2, int(round(thickness * 1.5)))
    return {
        "thickness": thickness,
        "font_scale": font_scale,
        "font_thickness": font_thickness,
        "pad": pad,
    }


def _box(det: Detection, width: int, height: int):
    """Integer box of a record, clipped a little beyond the image; None if unusable."""
    l, t, r, b = det.ltrb
    if not all(math.isfinite(v) for v in (l, t, r, b)):
        return None
    if r < l:
        l, r = r, l
    if b < t:
        t, b = b, t
    if r < 0 or b < 0 or l > width - 1 or t > height - 1:
        return None

    def clip(v, hi):
        return int(round(min(max(v, -1.0), hi + 1.0)))

    return clip(l, width - 1), clip(t, height - 1), clip(r, width - 1), clip(b, height - 1)


def default_label(det: Detection) -> str:
    """A record's label: its class as people write it ("traffic light") and
    its confidence, with its track id when tracked."""
    name = det.label if det.track_id is None else f"{det.label} #{det.track_id}"
    return f"{name} {det.ltrb_conf}%"


def _overlaps(a, b) -> bool:
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


class _LabelIndex:
    """The placed labels in a grid of cells about a label's size, so that a
    new label is checked against the labels near it only: placing n labels
    takes time about proportional to n, not n squared."""

    def __init__(self, cell_w: int, cell_h: int) -> None:
        self.cw, self.ch = max(int(cell_w), 1), max(int(cell_h), 1)
        self.cells: dict[tuple[int, int], list] = {}
        self.checks = 0  # rectangle comparisons made, for tests of the cost

    def _keys(self, rect):
        for gx in range(rect[0] // self.cw, (rect[2] - 1) // self.cw + 1):
            for gy in range(rect[1] // self.ch, (rect[3] - 1) // self.ch + 1):
                yield gx, gy

    def free(self, rect) -> bool:
        for key in self._keys(rect):
            for other in self.cells.get(key, ()):
                self.checks += 1
                if _overlaps(rect, other):
                    return False
        return True

    def add(self, rect) -> None:
        for key in self._keys(rect):
            self.cells.setdefault(key, []).append(rect)


# Font sizes tried, as fractions of the image's, before a label gives up
# its own spot and is drawn over others, still at its box.
_SHRINK = (1.0, 0.75, 0.55)


def _spots(box, lw, lh, thick, width, height):
    """Top-left corners for a label of lw x lh next to a box, nearest first:
    above the box, inside its top edge, below it (at its left edge, then its
    right edge), inside its bottom edge, beside it, then one and two label
    heights further above and below. Each kept inside the image."""
    l, t, r, b = box
    half = thick // 2
    xl = l - half
    xr = r + half + 1 - lw
    above, top_in, below, bottom_in = t - half - lh, t + half + 1, b + half + 1, b - half - lh
    spots = [(xl, above), (xl, top_in), (xl, below), (xr, above), (xr, top_in), (xr, below),
             (xl, bottom_in), (xr, bottom_in), (l - half - lw, t), (r + half + 1, t)]
    for k in (1, 2):
        spots += [(xl, above - k * lh), (xl, below + k * lh), (xr, above - k * lh), (xr, below + k * lh)]
    seen = set()
    out = []
    for x, y in spots:
        x = min(max(x, 0), max(width - lw, 0))
        y = min(max(y, 0), max(height - lh, 0))
        if (x, y) not in seen:
            seen.add((x, y))
            out.append((x, y))
    return out


def _leader(rect, box, thick):
    """Segment from a label to its box, or None when the label touches the box."""
    x0, y0, x1, y1 = rect
    l, t, r, b = box
    cx, cy = (l + r) / 2.0, (t + b) / 2.0
    # The label's point nearest the box centre, then the box's point nearest to it.
    px = min(max(cx, x0), x1 - 1)
    py = min(max(cy, y0), y1 - 1)
    qx = min(max(px, l), r)
    qy = min(max(py, t), b)
    if max(abs(px - qx), abs(py - qy)) <= thick + 1:
        return None
    return (int(round(px)), int(round(py))), (int(round(qx)), int(round(qy)))


def _label_size(text, style, factor):
    scale = style["font_scale"] * factor
    fthick = max(1, int(round(style["font_thickness"] * factor)))
    pad = max(1, int(round(style["pad"] * factor)))
    (tw, th), base = cv2.getTextSize(text, _FONT, scale, fthick)
    return tw + 2 * pad, th + base + 2 * pad, th, scale, fthick, pad


def label_layout(items, width: int, height: int, style: dict, stats: dict | None = None) -> list[dict]:
    """Where the labels of ``items`` go, placed greedily in the given order.

    ``items`` are (box, text) pairs with integer boxes. Each label takes the
    first spot next to its box (see ``_spots``) that no label placed before
    it covers, at full size, else smaller; when even that fails it sits
    above its box over the others. So a label never wanders away from its
    box. Each answer has the label's rectangle (x0, y0, x1, y1, exclusive
    end), its font scale, font thickness, padding and text height, and the
    leader line from label to box, or None when the label touches its box;
    "crowded" is True for a label that found no free spot. ``stats``, if given, gets "checks": the rectangle comparisons made.
    """
    thick = style["thickness"]
    index = None
    layout = []
    for box, text in items:
        chosen = None
        for factor in _SHRINK:
            lw, lh, th, scale, fthick, pad = _label_size(text, style, factor)
            if index is None:
                index = _LabelIndex(2 * lh, lh)
            for x, y in _spots(box, lw, lh, thick, width, height):
                rect = (x, y, x + lw, y + lh)
                if index.free(rect):
                    chosen = rect, th, scale, fthick, pad
                    index.add(rect)
                    break
            if chosen is not None:
                break
        crowded = chosen is None
        if crowded:  # no room left: over the others, at the box
            lw, lh, th, scale, fthick, pad = _label_size(text, style, 1.0)
            x, y = _spots(box, lw, lh, thick, width, height)[0]
            chosen = (x, y, x + lw, y + lh), th, scale, fthick, pad
        rect, th, scale, fthick, pad = chosen
        layout.append({"rect": rect, "text_height": th, "font_scale": scale, "font_thickness": fthick,
                       "pad": pad, "leader": _leader(rect, box, thick), "crowded": crowded})
    if stats is not None:
        stats["checks"] = stats.get("checks", 0) + (index.checks if index is not None else 0)
    return layout


def draw_detections(image: np.ndarray, detections, label=default_label) -> np.ndarray:
    """Return a copy of ``image`` with the detections drawn on it.

    ``image`` is a uint8 BGR array (H x W x 3; a grey H x W or H x W x 1
    image and a BGRA image are converted to BGR). ``detections``: a list of
    ``Detection`` records, or the native detector's result dict or records.
    ``label``: the text drawn for a record (default ``default_label``:
    "car #3 87%"). Records with missing or non-finite boxes, or boxes wholly
    outside the image, are left out. The input array is not modified.
    """
    if not isinstance(image, np.ndarray) or image.dtype != np.uint8:
        raise TypeError("image must be a uint8 numpy array")
    if image.ndim == 2 or (image.ndim == 3 and image.shape[2] == 1):
        canvas = cv2.cvtColor(np.ascontiguousarray(image), cv2.COLOR_GRAY2BGR)
    elif image.ndim == 3 and image.shape[2] == 4:
        canvas = cv2.cvtColor(np.ascontiguousarray(image), cv2.COLOR_BGRA2BGR)
    elif image.ndim == 3 and image.shape[2] == 3:
        canvas = np.array(image, dtype=np.uint8, order="C", copy=True)
    else:
        raise ValueError(f"unsupported image shape {image.shape}")
    height, width = canvas.shape[:2]
    if height == 0 or width == 0:
        return canvas

    items = []
    for det in as_detections(detections, skip_malformed=True):
        box = _box(det, width, height)
        if box is not None:
            items.append((det.ltrb_conf, box, class_colour(det.class_id), label(det)))
    # Lowest confidence first, so the surest boxes and labels end up on top.
    items.sort(key=lambda it: it[0])

    st = style_for(height, width)
    thick = st["thickness"]

    for _, (l, t, r, b), colour, _ in items:
        cv2.rectangle(canvas, (l, t), (r, b), colour, thick, cv2.LINE_AA)

    # Labels are placed surest first, each where it overlaps no label placed
    # before it; they are drawn in the opposite order so the surest end on top.
    ordered = list(reversed(items))
    layout = label_layout([(box, text) for _, box, _, text in ordered], width, height, st)
    line_thick = max(1, thick // 2)
    for (_, _, colour, _), spot in zip(ordered, layout):
        if spot["leader"] is not None:
            cv2.line(canvas, *spot["leader"], colour, line_thick, cv2.LINE_AA)
    for (_, _, colour, text), spot in reversed(list(zip(ordered, layout))):
        x0, y0, x1, y1 = spot["rect"]
        cv2.rectangle(canvas, (x0, y0), (x1 - 1, y1 - 1), colour, cv2.FILLED)
        cv2.putText(
            canvas,
            text,
            (x0 + spot["pad"], y0 + spot["pad"] + spot["text_height"]),
            _FONT,
            spot["font_scale"],
            _text_colour(colour),
            spot["font_thickness"],
            cv2.LINE_AA,
        )
    return canvas


def _clip_segment(line, w: int, h: int):
    """The part of the segment inside a w x h frame as two integer points, or
    None (clipped in floating point, so far-off ends draw right)."""
    x1, y1, x2, y2 = (float(v) for v in line)
    dx, dy = x2 - x1, y2 - y1
    t0, t1 = 0.0, 1.0
    for p, q in ((-dx, x1), (dx, w - 1 - x1), (-dy, y1), (dy, h - 1 - y1)):
        if p == 0:
            if q < 0:
                return None
            continue
        t = q / p
        if p < 0:
            t0 = max(t0, t)
        else:
            t1 = min(t1, t)
        if t0 > t1:
            return None
    return ((round(x1 + t0 * dx), round(y1 + t0 * dy)), (round(x1 + t1 * dx), round(y1 + t1 * dy)))


def annotate_frame(image: np.ndarray, detections, counters=None) -> np.ndarray:
    """A copy of ``image`` with the detections drawn (labels "class #id conf%"
    where they carry a track id) and, given ``LineCounter`` objects (one or a
    list), each line (the part inside the frame) and its totals, a row each
    at the top left."""
    out = draw_detections(image, detections)
    if counters is None:
        return out
    if not isinstance(counters, (list, tuple)):
        counters = [counters]
    st = style_for(*out.shape[:2])
    h, w = out.shape[:2]
    pad, top = st["pad"], 0
    for counter in counters:
        ends = _clip_segment(counter.line, w, h)
        if ends is not None:
            p, q = ends
            cv2.line(out, p, q, (255, 255, 255), st["thickness"] + 2, cv2.LINE_AA)
            cv2.line(out, p, q, (0, 0, 255), st["thickness"], cv2.LINE_AA)
        s = counter.summary()
        text = f"{s['name']}: in {s['in']}  out {s['out']}" if len(counters) > 1 else f"in {s['in']}  out {s['out']}"
        (tw, th), base = cv2.getTextSize(text, _FONT, st["font_scale"], st["font_thickness"])
        cv2.rectangle(out, (0, top), (tw + 2 * pad, top + th + base + 2 * pad), (0, 0, 0), cv2.FILLED)
        cv2.putText(out, text, (pad, top + pad + th), _FONT, st["font_scale"],
                    (255, 255, 255), st["font_thickness"], cv2.LINE_AA)
        top += th + base + 2 * pad
    return out
