"""JSON lines for detection results.

Box coordinates are 32-bit floats widened to Python floats; they are written
as the shortest decimal text that reads back as the same 32-bit float
(5.1864858, not 5.186485767364502). Non-finite numbers, which JSON cannot
hold, are written as null.
"""

from __future__ import annotations

import json
import math

import numpy as np

__all__ = ["dumps", "float32_text"]


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
            _encode(value, floats32 or key == "ltrb", out)
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


def dumps(record: dict) -> str:
    """One JSON object on one line; the floats under "ltrb" in their 32-bit form."""
    out: list[str] = []
    _encode(record, False, out)
    return "".join(out)
