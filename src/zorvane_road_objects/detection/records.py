"""The package's record types: one ``Detection`` per object, one
``FrameResult`` per frame.

The native detector returns its records as dicts ("ltrb", "ltrb_conf",
"class_id", "class"); the pipeline turns them into ``Detection`` once, at
its edge, and everything above it (tracking, counting, drawing, the output
formats, batch rows) works on these two types. ``FrameResult.to_json`` and
``FrameResult.to_row`` are the only places that shape output records.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable, Mapping

import numpy as np

from zorvane_road_objects.detection import formats
from zorvane_road_objects.facts import CLASS_NAMES

__all__ = ["Detection", "FrameResult", "as_detections"]


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
        out = {"ltrb": list(self.ltrb), "ltrb_conf": self.ltrb_conf,
               "class_id": self.class_id, "class": self.class_name}
        if self.track_id is not None:
            out["track_id"] = self.track_id
        return out

    def to_row(self) -> dict:
        """The record as a Parquet row's list item."""
        left, top, right, bottom = self.ltrb
        return {"class": self.class_name, "class_id": self.class_id, "score": self.ltrb_conf,
                "left": left, "top": top, "right": right, "bottom": bottom}


def as_detections(records) -> list[Detection]:
    """``Detection`` objects from a list of them, of native dicts, or from a
    native result dict ({"results": [...], ...})."""
    if records is None:
        return []
    if isinstance(records, Mapping):
        records = records.get("results") or []
    if not isinstance(records, Iterable):
        raise TypeError("detections must be a detection result or a list of records")
    return [r if isinstance(r, Detection) else Detection.from_record(r) for r in records]


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
