"""The output formats of detection results: JSON lines, CSV, COCO results
and MOT Challenge text, as writers that take one ``FrameResult`` at a time.

Each writer hands finished lines to ``emit`` (a callable that writes one
line), so the caller decides where they go (standard output around a
progress bar, or a file). Files stay readable by the standard readers of
their format: no comment lines, nothing but records.

Box coordinates are 32-bit floats widened to Python floats; they are written
as the shortest decimal text that reads back as the same 32-bit float
(5.1864858, not 5.186485767364502). Non-finite numbers, which JSON cannot
hold, are written as null.
"""

from __future__ import annotations

import csv
import io
import json
import math
from collections.abc import Callable

import numpy as np

from zorvane_road_objects.facts import MODEL_CLASS_IDS

__all__ = ["CSV_FIELDS", "FORMATS", "CocoWriter", "CsvWriter", "JsonLinesWriter", "MotWriter", "ResultWriter",
           "coco_category_id", "dumps", "float32_text"]

# COCO's category ids (1-90, with gaps) of the 80 classes that detectors
# number 0-79, in that order.
_COCO_IDS_OF_80 = (
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 27, 28,
    31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55,
    56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 67, 70, 72, 73, 74, 75, 76, 77, 78, 79, 80, 81, 82, 84,
    85, 86, 87, 88, 89, 90)


# The columns of the CSV output, one row per detection.
CSV_FIELDS = ("source", "frame", "timestamp", "class", "class_id", "score", "left", "top", "right",
              "bottom", "track_id")


def coco_category_id(class_id: int) -> int:
    """COCO's category id of a detection class ("car": 3, "stop_sign": 13)."""
    return _COCO_IDS_OF_80[MODEL_CLASS_IDS[class_id]]


def float32_text(value: float) -> str:
    """Shortest text of ``value`` as a 32-bit float; whole numbers keep their ".0"."""
    if not math.isfinite(value):
        return "null"
    f = np.float32(value)
    if not np.isfinite(f):  # finite double beyond the float32 range
        return repr(float(value))
    return str(f)


def _encode(obj, floats32: bool, out: list) -> None:
    if isinstance(obj, float):
        if floats32:
            out.append(float32_text(obj))
        else:
            out.append(repr(obj) if math.isfinite(obj) else "null")
    elif isinstance(obj, dict):
        out.append("{")
        for i, (key, value) in enumerate(obj.items()):
            if i:
                out.append(", ")
            out.append(json.dumps(str(key)))
            out.append(": ")
            _encode(value, floats32 or key in ("ltrb", "bbox"), out)
        out.append("}")
    elif isinstance(obj, (list, tuple)):
        out.append("[")
        for i, value in enumerate(obj):
            if i:
                out.append(", ")
            _encode(value, floats32, out)
        out.append("]")
    else:
        out.append(json.dumps(obj))


def dumps(record) -> str:
    """One JSON value on one line; the floats under "ltrb" and "bbox" in their 32-bit form."""
    out: list[str] = []
    _encode(record, False, out)
    return "".join(out)


class ResultWriter:
    """Writes the results of a run in one format; ``emit`` writes one line."""

    def __init__(self, emit: Callable[[str], None]) -> None:
        self.emit = emit

    def frame(self, fr, *, framed: bool = True, saved: str | None = None) -> None:
        """One frame's result (``framed``: the frame number is meaningful)."""

    def error(self, path: str, message: str) -> None:
        """A source or frame that gave no result."""

    def line_counts(self, counts: list | dict) -> None:
        """The totals of the counting line(s)."""

    def close(self) -> None:
        """Write what is still held (the whole file, for formats that are one document)."""


class JsonLinesWriter(ResultWriter):
    """One JSON object per frame and line; failed frames and sources as
    {"path", "error"} records; the line counts as a last record."""

    def frame(self, fr, *, framed=True, saved=None):
        self.emit(fr.to_json(frame=framed, saved=saved))

    def error(self, path, message):
        self.emit(dumps({"path": path, "error": message}))

    def line_counts(self, counts):
        self.emit(dumps({"line_counts": counts}))


def _csv_line(values) -> str:
    buf = io.StringIO()
    csv.writer(buf, lineterminator="").writerow(values)
    return buf.getvalue()


class CsvWriter(ResultWriter):
    """A header, then one row per detection (``CSV_FIELDS``)."""

    def __init__(self, emit):
        super().__init__(emit)
        self.emit(_csv_line(CSV_FIELDS))

    def frame(self, fr, *, framed=True, saved=None):
        if fr.error is not None:
            return
        for row in fr.to_csv_rows(frame=framed):
            row[6:10] = (float32_text(v) for v in row[6:10])
            self.emit(_csv_line(row))


class CocoWriter(ResultWriter):
    """A COCO results file: one JSON list of detections, written at the end."""

    def __init__(self, emit):
        super().__init__(emit)
        self.items: list[dict] = []

    def frame(self, fr, *, framed=True, saved=None):
        if fr.error is None:
            self.items.extend(fr.to_coco())

    def close(self):
        if not self.items:
            self.emit("[]")
            return
        self.emit("[\n" + ",\n".join(dumps(item) for item in self.items) + "\n]")
        self.items = []


class MotWriter(ResultWriter):
    """MOT Challenge results of one sequence, one line per tracked object."""

    def frame(self, fr, *, framed=True, saved=None):
        if fr.error is None:
            for line in fr.to_mot():
                self.emit(line)


# The formats by name (the human-readable text is the command line's own).
FORMATS: dict[str, type[ResultWriter]] = {
    "jsonl": JsonLinesWriter, "csv": CsvWriter, "coco": CocoWriter, "mot": MotWriter}
