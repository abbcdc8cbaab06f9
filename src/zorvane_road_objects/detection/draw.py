"""Drawing detection records onto images.

``draw_detections(image, detections)`` returns an annotated copy of a BGR
image: one box per record in its class colour, and a filled label with the
class name and the confidence in percent. Line widths and text size follow
the image size, so the drawing stays readable on thumbnails and on 4K frames.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping

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


def _records(detections) -> list[Detection]:
    """The drawable records: ``Detection`` objects as they are, detector dicts
    converted, anything malformed left out."""
    if detections is None:
        return []
    if isinstance(detections, Mapping):
        detections = detections.get("results") or []
    if not isinstance(detections, Iterable):
        raise TypeError("detections must be a detection result or a list of records")
    out = []
    for rec in detections:
        if isinstance(rec, Detection):
            out.append(rec)
            continue
        try:
            out.append(as_detections([rec])[0])
        except (KeyError, TypeError, ValueError, AttributeError):
            continue
    return out


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
    """A record's label: its class and confidence, with its track id when tracked."""
    name = det.class_name if det.track_id is None else f"{det.class_name} #{det.track_id}"
    return f"{name} {det.ltrb_conf}%"


def _overlaps(a, b) -> bool:
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def _fits(rect, width: int, height: int) -> bool:
    return rect[0] >= 0 and rect[1] >= 0 and rect[2] <= width and rect[3] <= height


def _free_spot(x, y, lw, lh, width, height, placed):
    """The first spot at or below (x, y) where the label overlaps no placed one."""
    while y + lh <= height:
        rect = (x, y, x + lw, y + lh)
        hits = [p for p in placed if _overlaps(rect, p)]
        if not hits:
            return x, y
        y = max(p[3] for p in hits)
    return None


def _place_label(box, lw, lh, thick, width, height, placed):
    """Top-left corner of a label of lw x lh for a box.

    Tried in order: above the box, inside its top edge, below it (each
    left-aligned with the box and kept inside the image); the first spot that
    overlaps no placed label wins. Otherwise the label moves down from the
    spot above the box until it is free, then the same from the other
    columns of the image, left to right. When the image has no free spot at
    all the label goes above the box, over the others.
    """
    l, t, r, b = box
    half = thick // 2
    x = min(max(l - half, 0), max(width - lw, 0))
    above = t - half - lh
    spots = (above, t + half + 1, b + half + 1)
    for y in spots:
        rect = (x, y, x + lw, y + lh)
        if _fits(rect, width, height) and not any(_overlaps(rect, p) for p in placed):
            return x, y
    start = min(max(above, 0), max(height - lh, 0))
    columns = [x] + [cx for cx in range(0, max(width - lw, 0) + 1, max(lw // 2, 1)) if cx != x]
    for cx in columns:
        spot = _free_spot(cx, start, lw, lh, width, height, placed)
        if spot is None and start > 0:
            spot = _free_spot(cx, 0, lw, lh, width, height, placed)
        if spot is not None:
            return spot
    return x, max(above, 0) if above >= 0 else max(min(t + half, height - lh), 0)


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


def label_layout(items, width: int, height: int, style: dict) -> list[dict]:
    """Where the labels of ``items`` go, placed greedily in the given order.

    ``items`` are (box, text) pairs with integer boxes; each answer has the
    label's rectangle (x0, y0, x1, y1, exclusive end), the height of its text
    and the leader line from label to box, or None when the label sits on its
    box.
    """
    thick, scale, fthick, pad = (style["thickness"], style["font_scale"],
                                 style["font_thickness"], style["pad"])
    placed: list[tuple[int, int, int, int]] = []
    layout = []
    for box, text in items:
        (tw, th), base = cv2.getTextSize(text, _FONT, scale, fthick)
        lw, lh = tw + 2 * pad, th + base + 2 * pad
        x0, y0 = _place_label(box, lw, lh, thick, width, height, placed)
        rect = (x0, y0, x0 + lw, y0 + lh)
        placed.append(rect)
        layout.append({"rect": rect, "text_height": th, "leader": _leader(rect, box, thick)})
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
    for det in _records(detections):
        box = _box(det, width, height)
        if box is not None:
            items.append((det.ltrb_conf, box, class_colour(det.class_id), label(det)))
    # Lowest confidence first, so the surest boxes and labels end up on top.
    items.sort(key=lambda it: it[0])

    st = style_for(height, width)
    thick, scale, fthick, pad = st["thickness"], st["font_scale"], st["font_thickness"], st["pad"]

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
            (x0 + pad, y0 + pad + spot["text_height"]),
            _FONT,
            scale,
            _text_colour(colour),
            fthick,
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
