"""The package's record types: one ``Detection`` per object, one
``FrameResult`` per frame.

The native detector returns its records as dicts ("ltrb", "ltrb_conf",
"class_id", "class"); the pipeline turns them into ``Detection`` once, at
its edge, and everything above it (tracking, counting, drawing, the output
formats, batch rows) works on these two types. ``FrameResult.to_json`` and
``FrameResult.to_row`` and the ``to_csv_rows`` / ``to_coco`` / ``to_mot``
methods beside them are the only places that shape output records.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Collection, Iterable, Mapping

import numpy as np

from zorvane_road_objects.detection import formats
from zorvane_road_objects.facts import CLASS_NAMES

__all__ = ["Detection", "FrameResult", "as_detections", "class_names", "select"]


@dataclasses.dataclass(frozen=True, slots=True)
class Detection:
    """One detected object.

    ``ltrb``: left, top, right, bottom in the caller's pixels (32-bit floats
    widened to Python floats); ``ltrb_conf``: the confidence in whole percent,
    truncated; ``class_id`` and ``class_name``: the detection class (its JSON
    key is "class"); ``track_id``: the track that follows the object, when
    tracking.
    """

    ltrb: tuple[float, float, float, float]
    ltrb_conf: int
    class_id: int
    class_name: str
    track_id: int | None = None

    @property
    def score(self) -> float:
        """The confidence as a 0-1 number (``ltrb_conf / 100``)."""
        return self.ltrb_conf / 100.0

    @property
    def label(self) -> str:
        """The class name as people write it ("traffic light")."""
        return self.class_name.replace("_", " ")

    @classmethod
    def from_record(cls, rec: Mapping) -> Detection:
        """From the native detector's dict (or this type's own ``to_dict``)."""
        class_id = int(rec["class_id"])
        name = rec.get("class")
        if not isinstance(name, str):
            name = CLASS_NAMES[class_id] if 0 <= class_id < len(CLASS_NAMES) else str(class_id)
        l, t, r, b = (float(v) for v in rec["ltrb"])
        return cls((l, t, r, b), int(rec["ltrb_conf"]), class_id, name, rec.get("track_id"))

    def to_dict(self) -> dict:
        """The record as JSON lines carry it, in the native detector's key order."""
        out = {"ltrb": list(self.ltrb), "ltrb_conf": self.ltrb_conf, "score": self.score,
               "class_id": self.class_id, "class": self.class_name}
        if self.track_id is not None:
            out["track_id"] = self.track_id
        return out

    def to_row(self) -> dict:
        """The record as a Parquet row's list item."""
        left, top, right, bottom = self.ltrb
        return {"class": self.class_name, "class_id": self.class_id, "score": self.ltrb_conf,
                "left": left, "top": top, "right": right, "bottom": bottom}


def class_names(names) -> tuple[str, ...]:
    """Class names as the class table spells them, in the given order, from
    names with spaces or underscores ("traffic light", "Traffic_Light") or
    one comma-separated string; ValueError names an unknown one."""
    if isinstance(names, str):
        names = names.split(",")
    out: list[str] = []
    for part in names:
        name = "_".join(str(part).strip().lower().replace("_", " ").split())
        if not name:
            continue
        if name not in CLASS_NAMES:
            known = ", ".join(n.replace("_", " ") for n in CLASS_NAMES)
            raise ValueError(f"unknown class {str(part).strip()!r}; the classes are {known}")
        if name not in out:
            out.append(name)
    return tuple(out)


def select(detections: list[Detection], classes: Collection[str] | None = None,
           max_det: int | None = None) -> list[Detection]:
    """The detections of the named ``classes`` (class names, all when None),
    at most ``max_det`` of them (the surest; their order is kept)."""
    if classes is not None:
        detections = [d for d in detections if d.class_name in classes]
    if max_det is not None and len(detections) > max_det:
        order = sorted(range(len(detections)), key=lambda i: -detections[i].ltrb_conf)
        keep = set(order[:max(max_det, 0)])
        detections = [d for i, d in enumerate(detections) if i in keep]
    return detections


def as_detections(records, *, skip_malformed: bool = False) -> list[Detection]:
    """``Detection`` objects from a list of them, of native dicts, or from a
    native result dict ({"results": [...], ...}); ``skip_malformed`` leaves
    out records that are not detections instead of raising."""
    if records is None:
        return []
    if isinstance(records, Mapping):
        records = records.get("results") or []
    if not isinstance(records, Iterable):
        raise TypeError("detections must be a detection result or a list of records")
    out = []
    for rec in records:
        if isinstance(rec, Detection):
            out.append(rec)
            continue
        try:
            out.append(Detection.from_record(rec))
        except (KeyError, TypeError, ValueError, AttributeError, IndexError):
            if not skip_malformed:
                raise
    return out


@dataclasses.dataclass
class FrameResult:
    """What one frame gave.

    ``source``: the name of the source the frame came from (an image path, a
    video path, a URL, ``camera:N``); ``index``: the frame's position;
    ``timestamp``: seconds (see ``media.sources``), None for still images;
    ``detections``: the objects found (empty when ``error`` is set);
    ``error``: why the frame has no result; ``seconds``: the detection time;
    ``size``: (width, height) of the image; ``crossings``: the line
    crossings this frame caused; ``image``: the frame itself, when kept.
    """

    source: str
    index: int
    timestamp: float | None = None
    detections: list[Detection] = dataclasses.field(default_factory=list)
    error: str | None = None
    seconds: float | None = None
    size: tuple[int, int] | None = None
    crossings: list[dict] = dataclasses.field(default_factory=list)
    image: np.ndarray | None = None
    rel: str = ""  # a relative path to save an annotated copy under
    source_no: int = 0  # which of the run's sources the frame comes from

    @property
    def ok(self) -> bool:
        return self.error is None

    def to_json(self, *, frame: bool = True, saved: str | None = None) -> str:
        """The frame as one JSON line; ``frame``: include the frame number."""
        record: dict = {"path": self.source}
        if frame:
            record["frame"] = self.index
        if self.timestamp is not None:
            record["timestamp"] = self.timestamp
        if self.error is not None:
            record["error"] = self.error
            return formats.dumps(record)
        record["results"] = [d.to_dict() for d in self.detections]
        record["ltrb_proc_sec"] = self.seconds
        if saved is not None:
            record["saved"] = saved
        if self.crossings:
            record["crossings"] = self.crossings
        return formats.dumps(record)

    def to_row(self) -> dict:
        """The frame as a Parquet row (path, width, height, detections, error)."""
        width, height = self.size if self.size is not None else (None, None)
        detections = None if self.error is not None else [d.to_row() for d in self.detections]
        return {"path": self.source, "width": width, "height": height,
                "detections": detections, "error": self.error}

    def to_csv_rows(self, *, frame: bool = True) -> list[list]:
        """One CSV row per detection, in the order of ``formats.CSV_FIELDS``; the
        score as a 0-1 number, empty cells for what the frame has not."""
        number = self.index if frame else ""
        stamp = "" if self.timestamp is None else self.timestamp
        return [[self.source, number, stamp, d.class_name, d.class_id, d.score, *d.ltrb,
                 "" if d.track_id is None else d.track_id] for d in self.detections]

    def coco_image_id(self) -> int:
        """The image id of COCO results: the number a file is named with
        ("000000397133.jpg": 397133), as in COCO's own files; otherwise the
        frame's index."""
        if self.timestamp is None:  # a still image
            stem = os.path.splitext(os.path.basename(self.source))[0]
            if stem.isascii() and stem.isdigit():
                return int(stem)
        return self.index

    def to_coco(self) -> list[dict]:
        """COCO detection results: image_id, category_id (COCO's ids), bbox
        (x, y, width, height), score and file_name, one per detection."""
        image_id = self.coco_image_id()
        name = os.path.basename(self.source)
        return [{"image_id": image_id, "category_id": formats.coco_category_id(d.class_id),
                 "bbox": [d.ltrb[0], d.ltrb[1], d.ltrb[2] - d.ltrb[0], d.ltrb[3] - d.ltrb[1]],
                 "score": d.score, "file_name": name} for d in self.detections]

    def to_mot(self) -> list[str]:
        """MOT Challenge result lines: frame (from 1), track id, left, top,
        width, height, score, -1, -1, -1; detections without a track left out."""
        lines = []
        for d in self.detections:
            if d.track_id is None:
                continue
            l, t, r, b = d.ltrb
            lines.append(f"{self.index + 1},{d.track_id},{l:.2f},{t:.2f},{r - l:.2f},{b - t:.2f},"
                         f"{d.score:.2f},-1,-1,-1")
        return lines
