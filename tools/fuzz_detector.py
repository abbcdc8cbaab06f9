"""Fuzzes the detector's image intake: the facade `detector(img)` and the
engine's `detect_objects(img)` get random arrays (views, negative strides,
broadcast and overlapping layouts, huge and empty shapes, wrong element
types and dimensions, non-arrays). Every call must return a detection result
or raise one of the errors the detector promises for bad input; anything
else (another exception, a crash) is a finding.

    PYTHONPATH=src python -P tools/fuzz_detector.py [--count 2000] [--seed 1]

Prints a table of outcomes and exits 1 on any unexpected outcome. Run it
under AddressSanitizer to catch out-of-bounds reads as well.
"""

from __future__ import annotations

import argparse
import collections
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from _models import fixed_rows_model  # noqa: E402

from zorvane_road_objects import zorvane_robj_d as zd  # noqa: E402

ROWS = [[2, 0.57, 10, 20, 110, 220], [0, 0.9, 1, 2, 3, 4], [0, 0.8, 1, 2, 3, 5]]

# What each entry point may raise for bad input: (type, message prefix).
FACADE_ERRORS = {
    (TypeError, "Argument 'img' has incorrect type"),
    (ValueError, "Buffer dtype mismatch"),
    (ValueError, "Buffer has wrong number of dimensions"),
    (ValueError, "Invalid input"),
    (ValueError, "Processing error"),
}
ENGINE_ERRORS = {
    (TypeError, "Argument 'image' has incorrect type"),
    (ValueError, "Buffer dtype mismatch"),
    (ValueError, "Buffer has wrong number of dimensions"),
    (Exception, "INVALID_INPUT_IMAGE"),
    (Exception, "PROCESSING_FAILED"),
}

SIDES = [0, 1, 2, 3, 5, 17, 64, 101, 480, 640, 1000, 8192, 8193, 70000, 2**31 - 1, 2**31,
         2**32 + 5, 2**40]
CHANNELS = [0, 1, 2, 3, 3, 3, 4, 5, 128, 129, 2**20]


def small_image(rng, shape):
    return rng.integers(0, 256, shape, dtype=np.uint8)


def costly(shape):
    """Whether the engine would really copy a broadcast image of `shape`
    (within OpenCV's limits, a non-empty target, and more than 256 MB that a
    machine might well grant): such inputs only measure the machine."""
    h, w, c = shape
    if h > 2**31 - 1 or w > 2**31 - 1 or (c and w > (2**31 - 1) // c) or not h * w * c:
        return False
    s = np.float32(640) / np.float32(max(h, w))
    if int(np.float32(h) * s) == 0 or int(np.float32(w) * s) == 0:
        return False
    return 256 * 2**20 < h * w * c < 2**46


def random_view(rng):
    """A uint8 height x width x channels view of some layout, or None when
    the chosen shape would need real memory beyond a few megabytes."""
    kind = str(rng.choice(["contiguous", "sliced", "reversed", "transposed", "broadcast",
                       "overlapping", "channel-view"]))
    if kind == "broadcast":
        shape = tuple(int(rng.choice(SIDES)) for _ in range(2)) + (int(rng.choice(CHANNELS)),)
        base = small_image(rng, (1, 1, 1) if rng.random() < 0.5 else (1, 1, shape[2]))
        if costly(shape):
            return kind, None
        try:
            return kind, np.broadcast_to(base, shape)
        except ValueError:  # more than NumPy can index
            return kind, None
    h, w = (int(rng.integers(0, 300)) for _ in range(2))
    c = int(rng.choice([0, 1, 2, 3, 3, 3, 4, 7]))
    if kind == "overlapping":
        # each row starts a few pixels further along the same buffer
        step = int(rng.integers(0, 4))
        base = small_image(rng, (h * step + w + 1) * max(c, 1))
        return kind, np.lib.stride_tricks.as_strided(base, (h, w, c),
                                                     (step * max(c, 1), max(c, 1), 1))
    img = small_image(rng, (h, w, c))
    if kind == "sliced":
        img = img[:: int(rng.integers(1, 4)), :: int(rng.integers(1, 4))]
    elif kind == "reversed":
        img = img[::-1, ::-1, ::-1]
    elif kind == "transposed":
        img = img.transpose(1, 0, 2)
    elif kind == "channel-view":
        big = small_image(rng, (h, w, 6))
        img = big[:, :, int(rng.integers(0, 3))::2]
    if rng.random() < 0.2:
        img.flags.writeable = False
    return kind, img


def random_input(rng):
    r = rng.random()
    if r < 0.75:
        return random_view(rng)
    if r < 0.85:
        dtype = rng.choice([np.float32, np.float64, np.int8, np.uint16, np.bool_, np.int64])
        return "dtype", np.zeros((4, 5, 3), dtype=dtype)
    if r < 0.93:
        ndim = int(rng.choice([0, 1, 2, 4, 5]))
        return "ndim", np.zeros((3,) * ndim, np.uint8)
    return "not-array", [None, [[0]], "img", 3, b"\x00" * 9, memoryview(b"abc")][
        int(rng.integers(0, 6))]


def classify(call, img, allowed):
    try:
        out = call(img)
    except (TypeError, ValueError, Exception) as e:  # noqa: B014 - the classes are the result
        for cls, prefix in allowed:
            if type(e) is cls and str(e).startswith(prefix):
                return f"{cls.__name__}: {prefix}"
        return f"UNEXPECTED {type(e).__name__}: {str(e)[:80]}"
    if not (isinstance(out, dict) and list(out) == ["results", "ltrb_proc_sec"]):
        return "UNEXPECTED result " + repr(out)[:80]
    return "result"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=2000, help="inputs (each goes to both)")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)

    model = fixed_rows_model(ROWS)
    path = os.path.join(tempfile.mkdtemp(prefix="zv-fuzz-"), "model.dat")
    with open(path, "wb") as f:
        f.write(model)
    zd.download_robj_model = lambda name: path
    facade = zd.zv_road_object_detector("fuzz")
    engine = zd.zv_robj_d(model)

    rng = np.random.default_rng(args.seed)
    table = collections.Counter()
    kinds = collections.Counter()
    findings = []
    done = 0
    while done < args.count:
        kind, img = random_input(rng)
        if img is None and kind != "not-array":
            continue
        done += 1
        kinds[kind] += 1
        shape = getattr(img, "shape", type(img).__name__)
        for name, call, allowed in (("facade", facade, FACADE_ERRORS),
                                    ("engine", engine.detect_objects, ENGINE_ERRORS)):
            outcome = classify(call, img, allowed)
            table[(name, outcome)] += 1
            if outcome.startswith("UNEXPECTED"):
                findings.append((name, kind, shape, outcome))

    print(f"{'entry':8} {'outcome':58} {'count':>6}")
    for (name, outcome), count in sorted(table.items()):
        print(f"{name:8} {outcome:58} {count:6d}")
    print("inputs by kind:", dict(sorted(kinds.items())))
    print(f"{done} inputs, {2 * done} calls, {len(findings)} unexpected outcomes")
    for f in findings[:20]:
        print("  ", f)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
