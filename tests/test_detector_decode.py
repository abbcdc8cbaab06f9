"""Decoding of the model's first output: threshold, class table, records,
grouping, the calls of `nms`, element semantics on every array type."""

from __future__ import annotations

import math

import numpy as np
import onnxruntime
import pytest

from _models import fixed_rows_model, recording_session_class

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")

IMG = np.zeros((48, 64, 3), np.uint8)
NAMES = ["person", "bicycle", "motorcycle", "car", "bus", "truck", "traffic_light", "stop_sign"]
TABLE = {0: 0, 1: 1, 3: 2, 2: 3, 5: 4, 7: 5, 9: 6, 11: 7}


def detect(rows, dtype=np.float32, conf=0.5, iou=0.5):
    engine = zd.zv_robj_d(fixed_rows_model(rows, dtype), conf, iou)
    return engine.detect_objects(IMG)["results"]


class NmsRecorder:
    def __init__(self, answer=None):
        self.calls = []
        self.answer = answer

    def __call__(self, boxes, scores, iou):
        self.calls.append((boxes, scores, iou))
        if self.answer is not None:
            return self.answer(len(scores))
        return list(range(len(scores)))


@pytest.fixture
def nms(monkeypatch):
    rec = NmsRecorder()
    monkeypatch.setattr(zd, "nms", rec)
    return rec


def failure_context(rows, dtype=np.float32, conf=0.5):
    engine = zd.zv_robj_d(fixed_rows_model(rows, dtype), conf)
    with pytest.raises(Exception, match="^PROCESSING_FAILED$") as info:
        engine.detect_objects(IMG)
    return info.value.__context__


# ---------------------------------------------------------------------------
# Records


def test_record_of_the_worked_example():
    [rec] = detect([[2, 0.57, 10, 20, 110, 220]])
    assert rec == {"ltrb": [10.0, 20.0, 110.0, 220.0], "ltrb_conf": 56, "class_id": 3, "class": "car"}
    assert list(rec) == ["ltrb", "ltrb_conf", "class_id", "class"]
    assert all(type(v) is float for v in rec["ltrb"]) and type(rec["ltrb_conf"]) is int


@pytest.mark.parametrize(
    "score, percent", [(0.57, 56), (0.29, 28), (0.7, 69), (0.5, 50), (0.3, 30), (1.0, 100), (0.999, 99), (12.5, 1250)]
)
def test_truncated_percent(score, percent):
    [rec] = detect([[0, score, 0, 0, 1, 1]], conf=0.0)
    assert rec["ltrb_conf"] == percent == math.trunc(float(np.float32(score)) * 100.0)


def test_boxes_are_taken_as_given():
    rows = [[0, 0.9, -5.5, 1e6, -7.25, 0.1]]
    [rec] = detect(rows)
    assert rec["ltrb"] == [float(np.float32(v)) for v in rows[0][2:]]
    [rec] = detect(rows, dtype=np.float64)
    assert rec["ltrb"] == [-5.5, 1e6, -7.25, 0.1]


@pytest.mark.parametrize("model_class", range(-2, 14))
def test_class_table(model_class):
    results = detect([[model_class, 0.9, 1, 2, 3, 4]])
    if model_class in TABLE:
        [rec] = results
        assert rec["class_id"] == TABLE[model_class] and rec["class"] == NAMES[TABLE[model_class]]
    else:
        assert results == []


@pytest.mark.parametrize("value, name", [(2.9, "car"), (-0.5, "person"), (3.999, "motorcycle"), (0.99, "person")])
def test_class_value_is_truncated(value, name):
    [rec] = detect([[value, 0.9, 1, 2, 3, 4]], dtype=np.float64)
    assert rec["class"] == name


# ---------------------------------------------------------------------------
# Threshold


@pytest.mark.parametrize(
    "score, dtype, kept",
    [
        (0.5, np.float32, False),
        (0.5000001, np.float32, True),
        (0.5000001, np.float64, True),
        (0.50000000001, np.float64, False),  # float32 of it is exactly 0.5
        (0.49999999999, np.float64, False),
        (float("nan"), np.float32, False),
        (float("inf"), np.float32, None),  # kept, but has no whole percent
    ],
)
def test_threshold_is_strictly_greater_in_float32(score, dtype, kept):
    rows = [[0, score, 1, 2, 3, 4]]
    if kept is None:
        assert type(failure_context(rows, dtype)) is OverflowError
    else:
        assert len(detect(rows, dtype)) == int(kept)


def test_threshold_extremes():
    rows = [[0, 1.0, 0, 0, 1, 1], [2, 0.2, 0, 0, 1, 1], [4, 0.9, 0, 0, 1, 1], [3, float("nan"), 0, 0, 1, 1],
            [1, -3.0, 0, 0, 1, 1]]
    assert detect(rows, conf=1.0) == []
    assert [r["class"] for r in detect(rows, conf=-1.0)] == ["person", "car"]
    assert [r["class"] for r in detect(rows, conf=-10.0)] == ["person", "car", "bicycle"]


# ---------------------------------------------------------------------------
# Groups and nms


def test_groups_follow_first_appearance(nms):
    rows = [[2, 0.9, 0, 0, 1, 1], [0, 0.8, 5, 5, 6, 6], [2, 0.7, 2, 2, 3, 3], [7, 0.6, 9, 9, 9, 9]]
    results = detect(rows)
    assert [(r["class"], r["ltrb"][0]) for r in results] == [("car", 0.0), ("car", 2.0), ("person", 5.0), ("truck", 9.0)]
    assert [len(call[1]) for call in nms.calls] == [2, 1, 1]


def test_nms_arguments(nms):
    detect([[0, 0.9, 1, 2, 3, 4], [0, 0.8, 1.5, 2.5, 3.5, 4.5], [2, 0.571, 0, 0, 9, 9], [2, 0.579, 0, 0, 9, 9]],
           iou=0.3)
    (boxes, scores, iou), (cboxes, cscores, _) = nms.calls
    assert boxes.dtype == np.float32 and boxes.shape == (2, 4) and boxes.flags.c_contiguous
    assert boxes.tolist() == [[1.0, 2.0, 3.0, 4.0], [1.5, 2.5, 3.5, 4.5]]
    assert scores.dtype == np.float32 and scores.shape == (2,)
    assert scores.tolist() == [float(np.float32(0.89)), float(np.float32(0.8))]
    assert type(iou) is float and iou == float(np.float32(0.3))
    assert cscores[0] == cscores[1] == np.float32(0.57)
    assert cboxes.tolist() == [[0, 0, 9, 9]] * 2


@pytest.mark.parametrize(
    "answer, order",
    [
        (lambda n: [1, 0], [1, 0]),
        (lambda n: np.array([1], dtype=np.intp), [1]),
        (lambda n: (i for i in [0]), [0]),
        (lambda n: [], []),
        (lambda n: [np.int64(1), 1], [1, 1]),
        (lambda n: [-1], [1]),  # indexing as a list does
    ],
)
def test_kept_order_comes_from_nms(monkeypatch, answer, order):
    monkeypatch.setattr(zd, "nms", NmsRecorder(answer))
    rows = [[0, 0.9, 0, 0, 1, 1], [0, 0.8, 5, 5, 6, 6]]
    results = detect(rows)
    assert [r["ltrb"][0] for r in results] == [[0.0, 5.0][i] for i in order]


def test_same_record_object_for_repeated_indices(monkeypatch):
    monkeypatch.setattr(zd, "nms", NmsRecorder(lambda n: [0, 0]))
    a, b = detect([[0, 0.9, 0, 0, 1, 1]])
    assert a is b


@pytest.mark.parametrize(
    "answer, error",
    [(lambda n: [2], IndexError), (lambda n: 5, TypeError), (lambda n: [0.0], TypeError), (lambda n: 1 / 0, ZeroDivisionError)],
)
def test_nms_failures(monkeypatch, answer, error):
    monkeypatch.setattr(zd, "nms", NmsRecorder(answer))
    assert type(failure_context([[0, 0.9, 0, 0, 1, 1], [0, 0.8, 5, 5, 6, 6]])) is error


def test_nms_is_looked_up_each_call(monkeypatch):
    engine = zd.zv_robj_d(fixed_rows_model([[0, 0.9, 0, 0, 1, 1], [0, 0.8, 0, 0, 1, 1]]))
    assert len(engine.detect_objects(IMG)["results"]) == 1  # the package's nms
    monkeypatch.setattr(zd, "nms", NmsRecorder())
    assert len(engine.detect_objects(IMG)["results"]) == 2
    monkeypatch.delattr(zd, "nms")
    with pytest.raises(Exception, match="PROCESSING_FAILED") as info:
        engine.detect_objects(IMG)
    assert type(info.value.__context__) is NameError


def test_real_nms_suppresses_within_classes_only():
    rows = [[2, 0.9, 0, 0, 10, 10], [7, 0.8, 0, 0, 10, 10], [2, 0.7, 1, 1, 10, 10], [2, 0.6, 50, 50, 60, 60]]
    results = detect(rows)
    assert [(r["class"], r["ltrb_conf"]) for r in results] == [("car", 89), ("car", 60), ("truck", 80)]


# ---------------------------------------------------------------------------
# Shapes


@pytest.mark.parametrize("shape", [(0, 6), (5, 7), (1, 5, 6), (6,), (3, 0)])
def test_other_shapes_give_nothing(nms, shape):
    assert detect(np.ones(shape, np.float32)) == []
    assert nms.calls == []


# ---------------------------------------------------------------------------
# Class value conversion


@pytest.mark.parametrize(
    "value, dtype, error",
    [
        (float("nan"), np.float32, ValueError),
        (float("nan"), np.float64, ValueError),
        (float("inf"), np.float32, OverflowError),
        (float("-inf"), np.float64, OverflowError),
        (3e9, np.float64, OverflowError),
        (-3e9, np.float32, OverflowError),
        (1e30, np.float64, OverflowError),
        (2**40, np.int64, OverflowError),
        (float("nan"), np.float16, ValueError),
    ],
)
def test_bad_class_values_fail_even_below_the_threshold(value, dtype, error):
    rows = [[0, 0.9, 0, 0, 1, 1], [value, 0.0, 0, 0, 1, 1]]
    ctx = failure_context(rows, dtype)
    assert type(ctx) is error


def test_int32_limits_pass():
    rows = [[2**31 - 1, 0.9, 0, 0, 1, 1], [-(2**31), 0.9, 0, 0, 1, 1], [2, 0.9, 0, 0, 1, 1]]
    assert [r["class"] for r in detect(rows, np.float64)] == ["car"]
    assert [r["class"] for r in detect(rows, np.int64, conf=-1.0)] == ["car"]


# ---------------------------------------------------------------------------
# Element types: the native scan agrees with per-element access


@pytest.mark.parametrize("dtype", [np.float16, np.int32, np.int64, np.uint8, np.int8, np.float64])
def test_other_element_types(dtype):
    rows = np.array([[2, 1, 1, 2, 3, 4], [0, 1, 5, 6, 7, 8], [0, 0, 9, 9, 9, 9]])
    results = detect(rows.astype(dtype), dtype, conf=0.5)
    assert [r["class"] for r in results] == ["car", "person"]
    assert results[0]["ltrb"] == [float(dtype(v)) for v in (1, 2, 3, 4)]


class Detections(np.ndarray):
    """An array subclass: decoded through its own per-element indexing."""


def random_rows(rng, n, odd_values):
    rows = np.empty((n, 6), np.float64)
    rows[:, 0] = rng.integers(-2, 14, n) + rng.choice([0.0, 0.3, 0.99, -0.7], n)
    rows[:, 1] = rng.choice([0.1, 0.5, 0.5000001, 0.57, 0.999, 1.0, 0.29, 0.7, 0.3], n)
    rows[:, 2:] = rng.normal(0, 1000, (n, 4))
    for i, value in odd_values:
        rows[i, 0] = value
    return rows


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("odd_values", [[], [(300, float("nan"))], [(7, 5e9)], [(500, float("-inf"))]])
def test_native_scan_equals_per_element_access(dtype, odd_values, monkeypatch):
    rng = np.random.default_rng(len(odd_values))
    data = random_rows(rng, 1000, odd_values).astype(dtype)
    monkeypatch.setattr(zd, "nms", NmsRecorder())
    outcomes = []
    for wrap in (lambda r: r, lambda r: r.view(Detections), lambda r: r.astype(r.dtype.newbyteorder()),
                 lambda r: np.asfortranarray(r), lambda r: np.repeat(r, 2, axis=1)[:, ::2]):
        cls = recording_session_class(lambda result, wrap=wrap: [wrap(result[0])])
        monkeypatch.setattr(onnxruntime, "InferenceSession", cls)
        engine = zd.zv_robj_d(fixed_rows_model(data, dtype))
        try:
            outcomes.append(("ok", engine.detect_objects(IMG)["results"]))
        except Exception as e:
            ctx = e.__context__
            outcomes.append(("error", type(ctx), str(ctx)))
    assert all(o == outcomes[0] for o in outcomes[1:])
    if not odd_values:
        assert outcomes[0][0] == "ok" and len(outcomes[0][1]) > 100


def test_ten_thousand_rows():
    rng = np.random.default_rng(7)
    rows = random_rows(rng, 10_000, []).astype(np.float32)
    results = detect(rows)
    assert results and all(r["class"] in NAMES for r in results)
