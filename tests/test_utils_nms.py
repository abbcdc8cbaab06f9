"""Tests of ``zorvane_road_objects.utils.nms`` (implemented in ``zorvane_road_objects.suppression``).

Every result is compared with the plain greedy loop (_nms_ref.py), index for index:
on many small random cases (ties, degenerate boxes, IoU values that land
exactly on the threshold), on larger layouts that take each of the
function's internal routes, and with those routes forced through the
module's tuning constants.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

from zorvane_road_objects import suppression
from zorvane_road_objects.utils import nms

from _nms_ref import plain_greedy


def check(boxes, scores, thr):
    got = nms(boxes, scores, thr)
    assert isinstance(got, np.ndarray) and got.dtype == np.intp and got.ndim == 1
    np.testing.assert_array_equal(got, plain_greedy(boxes, scores, thr))
    return got


# Settings of the module's tuning constants that force each internal route.
ROUTES = {
    "auto": {},
    # All pairwise IoUs at once, whatever the number of boxes.
    "table": {"_SMALL": 1 << 30},
    # Stop the greedy steps at once and settle everything over the graph,
    # with every sweep tried, coarse strips and tiny IoU chunks.
    "graph": {"_SMALL": 0, "_MIDDLE": 0, "_STEP": 1e9, "_WINDOW": 1, "_HEAVY": 1 << 30,
              "_WORTH_MORE_SWEEPS": -1, "_QUERIES_PER_BOX": 0,
              "_PAIR_CHUNK": 7},
    # Greedy steps to the end.
    "greedy": {"_SMALL": 0, "_MIDDLE": 0, "_STEP": 0.0, "_STEP_BOX": 0.0, "_STEP_CAND": 0.0,
               "_HEAVY": 1 << 30},
    # Greedy steps of one box to the end, every window taken as a slice of
    # the left-edge order.
    "greedy_single": {"_SMALL": 0, "_MIDDLE": 0, "_STEP": 0.0, "_STEP_BOX": 0.0,
                      "_STEP_CAND": 0.0, "_HEAVY": 1 << 30, "_BATCH": 1, "_MAX_STRIPS": 0},
    # The graph refused for its size: greedy steps finish after the plan.
    "fallback": {"_SMALL": 0, "_MIDDLE": 0, "_STEP": 1e9, "_WINDOW": 1, "_HEAVY": 1 << 30, "_MAX_PAIRS": -1},
    # Plain steps against every open box to the end.
    "heavy": {"_SMALL": 0, "_MIDDLE": 0, "_HEAVY": 0},
    # The graph at once for a few hundred boxes.
    "middle": {"_SMALL": 0, "_MIDDLE": 1 << 30, "_WORTH_MORE_SWEEPS": -1, "_PAIR_CHUNK": 64},
}


@pytest.fixture(params=list(ROUTES))
def route(request, monkeypatch):
    for name, value in ROUTES[request.param].items():
        assert hasattr(suppression, name)
        monkeypatch.setattr(suppression, name, value)
    return request.param


def random_case(rng, n):
    """Small integer-grid boxes: many ties, exact IoU fractions such as 1/2
    and 1/3, zero and negative extents; scores with ties."""
    corner = rng.integers(0, 24, size=(n, 2))
    size = rng.integers(-2, 12, size=(n, 2))
    boxes = np.concatenate([corner, corner + size], axis=1).astype(np.float32)
    if rng.random() < 0.3:
        boxes += (rng.random(boxes.shape) * 2).astype(np.float32)
    scores = (rng.integers(0, 8, n) / 8.0).astype(np.float32)
    return boxes, scores


THRESHOLDS = [0.0, 0.5, 1.0, 1 / 3, 0.25, 0.7, 0.9]


def test_random_cases_match_plain_greedy(route):
    rng = np.random.default_rng(7)
    for _ in range(100):
        boxes, scores = random_case(rng, int(rng.integers(0, 70)))
        for thr in THRESHOLDS:
            check(boxes, scores, thr)


def test_random_float_boxes_match_plain_greedy(route):
    rng = np.random.default_rng(11)
    for _ in range(40):
        n = int(rng.integers(2, 300))
        c = rng.random((n, 2)) * rng.choice([10, 100, 1e4])
        s = rng.random((n, 2)) * rng.choice([1, 10, 100]) * rng.choice([1, 10], size=(n, 2))
        boxes = np.concatenate([c, c + s], axis=1).astype(np.float32)
        scores = rng.random(n).astype(np.float32)
        check(boxes, scores, float(rng.choice(THRESHOLDS)))


def layout(name, rng, n):
    if name == "clusters":
        centre = rng.random((n // 20, 2)) * 2000
        k = rng.integers(0, centre.shape[0], n)
        size = rng.uniform(20, 300, (centre.shape[0], 2))[k]
        c = centre[k] + rng.normal(0, 0.1, (n, 2)) * size
        s = size * (1 + rng.normal(0, 0.1, (n, 2)))
    elif name == "uniform":
        c = rng.random((n, 2)) * 600
        s = rng.random((n, 2)) * 60 + 3
    elif name == "grid":
        side = int(math.ceil(math.sqrt(n)))
        c = np.stack(np.meshgrid(np.arange(side), np.arange(side)), -1).reshape(-1, 2)[:n] * 10.0
        s = np.full((n, 2), 13.0)
    elif name == "piles":
        c = (rng.random((5, 2)) * 300)[rng.integers(0, 5, n)] + rng.normal(0, 3, (n, 2))
        s = 100 + rng.normal(0, 3, (n, 2))
    elif name == "crossing":
        half = n // 2
        c = np.concatenate([np.stack([np.zeros(half), rng.random(half) * 300], 1),
                            np.stack([rng.random(n - half) * 300, np.zeros(n - half)], 1)])
        s = np.concatenate([np.tile([300.0, 2.0], (half, 1)), np.tile([2.0, 300.0], (n - half, 1))])
        c += rng.normal(0, 0.5, c.shape)
    elif name == "strips":
        c = np.stack([rng.random(n) * 5, rng.random(n) * 2000], 1)
        s = np.tile([500.0, 3.0], (n, 1))
    elif name == "chain":
        c = np.arange(n)[:, None] * np.array([2.5, 2.5])
        s = np.full((n, 2), 20.0)
    elif name == "mixed_sizes":
        c = rng.random((n, 2)) * 1000
        s = np.exp(rng.uniform(0, 6, (n, 2)))
    else:
        raise KeyError(name)
    boxes = np.concatenate([c, c + s], axis=1).astype(np.float32)
    scores = (rng.integers(1, 100, n) / 100.0).astype(np.float32)
    return boxes, scores


LAYOUTS = ["clusters", "uniform", "grid", "piles", "crossing", "strips", "chain", "mixed_sizes"]


@pytest.mark.parametrize("name", LAYOUTS)
def test_layouts_match_plain_greedy(name, route):
    rng = np.random.default_rng(3)
    boxes, scores = layout(name, rng, 1200)
    for thr in (0.0, 0.5, 0.8):
        check(boxes, scores, thr)


@pytest.mark.parametrize("name", LAYOUTS)
def test_layouts_with_degenerate_and_nan_boxes(name):
    rng = np.random.default_rng(5)
    boxes, scores = layout(name, rng, 1500)
    pick = rng.random(boxes.shape[0])
    boxes[pick < 0.1, 2] = boxes[pick < 0.1, 0]                       # zero width
    boxes[(pick >= 0.1) & (pick < 0.2), 3] -= 400                     # negative height
    boxes[(pick >= 0.2) & (pick < 0.23), 1] = np.nan
    boxes[(pick >= 0.23) & (pick < 0.25), 2] = np.inf
    scores[(pick >= 0.25) & (pick < 0.27)] = np.nan
    check(boxes, scores, 0.5)


def test_exact_threshold_is_kept():
    # IoU exactly 1/2: kept at 0.5, dropped just below.
    boxes = np.float32([[0, 0, 4, 1], [0, 0, 2, 1]])
    scores = np.float32([0.9, 0.8])
    assert nms(boxes, scores, 0.5).tolist() == [0, 1]
    assert nms(boxes, scores, np.nextafter(0.5, 0)).tolist() == [0]
    # IoU exactly 1/3 against the float 1/3.
    boxes = np.float32([[0, 0, 2, 1], [1, 0, 3, 1]])
    assert nms(boxes, scores, 1 / 3).tolist() == [0, 1]
    assert nms(boxes, scores, 0.33).tolist() == [0]


def test_order_by_score_then_index():
    boxes = np.float32([[0, 0, 1, 1], [10, 0, 11, 1], [20, 0, 21, 1], [30, 0, 31, 1]])
    scores = np.float32([0.5, 0.9, 0.5, 0.9])
    assert nms(boxes, scores, 0.5).tolist() == [1, 3, 0, 2]
    # The tie goes to the lower index, which then suppresses the other.
    same = np.tile(np.float32([[5, 5, 15, 15]]), (4, 1))
    assert nms(same, np.float32([0.3, 0.7, 0.7, 0.1]), 0.5).tolist() == [1]


def test_empty_and_single():
    for empty in (np.zeros((0, 4), np.float32), [], np.zeros(0)):
        got = nms(empty, np.zeros(0, np.float32), 0.5)
        assert got.dtype == np.intp and got.shape == (0,)
    got = nms(np.float32([[1, 2, 3, 4]]), np.float32([0.1]), 0.5)
    assert got.dtype == np.intp and got.tolist() == [0]
    # A single box is kept whatever it holds and whatever the threshold.
    assert nms([[np.nan, 0, -5, 0]], [np.nan], -1.0).tolist() == [0]


@pytest.mark.parametrize("thr", [-0.1, -1e-300, -np.inf, np.nan])
def test_negative_or_nan_threshold_keeps_only_the_best(thr):
    rng = np.random.default_rng(1)
    boxes, scores = layout("grid", rng, 50)  # disjoint and touching boxes
    boxes[0] = [np.nan, 0, 1, 1]  # not even a real box survives beside it
    got = check(boxes, scores, thr)
    assert got.tolist() == [int(np.argmax(scores))]


@pytest.mark.parametrize("thr", [1.0, 1.5, np.inf])
def test_threshold_of_one_or_more_keeps_all(thr):
    rng = np.random.default_rng(2)
    boxes, scores = layout("piles", rng, 300)
    boxes[:50] = boxes[50]  # identical boxes: IoU exactly 1
    got = check(boxes, scores, thr)
    np.testing.assert_array_equal(got, np.argsort(-scores.astype(np.float64), kind="stable"))


def test_threshold_zero_drops_any_overlap_but_not_touching():
    boxes = np.float32([[0, 0, 10, 10], [10, 0, 20, 10], [9.5, 9.5, 30, 30], [0, 10, 10, 20]])
    scores = np.float32([0.9, 0.8, 0.7, 0.6])
    assert check(boxes, scores, 0.0).tolist() == [0, 1, 3]


def test_degenerate_boxes_never_suppress_or_get_suppressed():
    boxes = np.float32([
        [0, 0, 10, 10],
        [0, 0, 10, 0],      # zero height, inside box 0
        [0, 0, -10, 10],    # negative width
        [5, 5, 5, 5],       # a point
        [0, 0, 10, 10],     # a copy of box 0: suppressed
        [3, 3, 3, 8],       # zero width
    ])
    scores = np.float32([0.5, 0.9, 0.9, 0.9, 0.4, 0.1])
    assert check(boxes, scores, 0.0).tolist() == [1, 2, 3, 0, 5]


def test_nan_handling():
    boxes = np.float32([
        [0, 0, 10, 10],
        [np.nan, 0, 10, 10],   # NaN coordinate: overlaps nothing
        [1, 1, 10, 10],        # IoU 0.81 with box 0
        [0, 0, np.inf, 10],    # infinite area: overlaps nothing
        [0, 0, 10, 10],        # NaN score: ranks last, suppressed by box 0
    ])
    scores = np.float32([0.5, 0.9, 0.4, 0.8, np.nan])
    assert check(boxes, scores, 0.5).tolist() == [1, 3, 0]
    # NaN scores rank after every number, -inf included, in index order.
    boxes = np.float32([[0, 0, 1, 1], [2, 0, 3, 1], [4, 0, 5, 1], [6, 0, 7, 1]])
    scores = np.float32([np.nan, -np.inf, np.nan, 0.0])
    assert check(boxes, scores, 0.5).tolist() == [3, 1, 0, 2]


def test_huge_and_tiny_coordinates():
    boxes = np.array([
        [0, 0, 1e300, 1e300],
        [0, 0, 1e300, 1e300],          # area overflows: IoU 0
        [1e-300, 1e-300, 3e-300, 3e-300],
        [1e-300, 1e-300, 3e-300, 3e-300],
        [-1e308, 0, 1e308, 1],         # width overflows to inf
        [-1e308, 0, 1e308, 1],
        [1e15, 1e15, 1e15 + 2, 1e15 + 2],
        [1e15 + 1, 1e15, 1e15 + 3, 1e15 + 2],
    ])
    scores = np.linspace(1, 0, boxes.shape[0])
    for thr in (0.0, 0.3, 0.5):
        check(boxes, scores, thr)


def test_large_grid_keeps_everything_in_score_order():
    # 100 x 100 disjoint boxes: the case where one step per kept box costs
    # 10,000 steps; the result is simply the score order.
    rng = np.random.default_rng(4)
    g = np.stack(np.meshgrid(np.arange(100), np.arange(100)), -1).reshape(-1, 2) * 10.0
    boxes = np.concatenate([g, g + 8.0], axis=1).astype(np.float32)
    scores = (rng.integers(1, 100, g.shape[0]) / 100.0).astype(np.float32)
    got = nms(boxes, scores, 0.5)
    np.testing.assert_array_equal(got, np.argsort(-scores.astype(np.float64), kind="stable"))


def test_identical_boxes_keep_the_first_best():
    boxes = np.tile(np.float32([[10, 20, 110, 220]]), (10_000, 1))
    scores = np.full(10_000, 0.5, np.float32)
    scores[7] = scores[4242] = 0.75
    assert nms(boxes, scores, 0.5).tolist() == [7]


def test_accepts_array_likes_and_leaves_inputs_alone():
    boxes = [[0, 0, 10, 10], [1, 1, 10, 10], [20, 20, 30, 30]]
    scores = [0.9, 0.8, 0.7]
    assert nms(boxes, scores, 0.5).tolist() == [0, 2]
    assert nms(np.array(boxes, np.int32), np.array(scores, np.float16), 0.5).tolist() == [0, 2]
    # Read-only, non-contiguous float32 views, as a caller may hold them.
    big = np.zeros((3, 8), np.float32)
    big[:, ::2] = boxes
    view = big[:, ::2]
    view.flags.writeable = False
    s = np.array([0.7, 0.8, 0.9, 0.0], np.float32)[:3]
    s.flags.writeable = False
    before = view.copy()
    assert nms(view, s, 0.5).tolist() == [2, 1]
    np.testing.assert_array_equal(view, before)
    # The threshold may be any real number type.
    assert nms(boxes, scores, np.float32(0.5)).tolist() == [0, 2]
    assert nms(boxes, scores, 1).tolist() == [0, 1, 2]


def test_mismatched_scores_raise():
    with pytest.raises(ValueError):
        nms(np.zeros((3, 4)), np.zeros(2), 0.5)


def test_engine_call_shape():
    # What the detection engine hands over: float32 (n, 4) boxes, float32
    # scores that are whole percents / 100, a Python float; it iterates the
    # result and indexes its group with each item.
    rng = np.random.default_rng(9)
    boxes, _ = layout("clusters", rng, 400)
    conf = rng.integers(50, 100, boxes.shape[0])
    scores = np.array([c / 100.0 for c in conf], dtype=np.float32)
    keep = check(boxes, scores, float(np.float32(0.5)))
    group = list(range(boxes.shape[0]))
    picked = [group[k] for k in keep]
    assert len(set(picked)) == len(picked) and all(isinstance(k, np.integer) for k in keep)


def test_detector_module_binds_this_nms():
    robj_d = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")
    assert robj_d.nms is nms


# ---------------------------------------------------------------------------
# Sub-normal extents, signed zeros, infinities and NaN on every route

U = 5e-324  # the smallest sub-normal double
PAD = np.tile([1e6, 1e6, 1e6 + 5, 1e6 + 5], (130, 1))  # past 128 boxes, one step drops them


def padded(boxes, scores):
    return np.concatenate([np.asarray(boxes, float), PAD]), np.concatenate([scores, np.zeros(130)])


@pytest.mark.parametrize("boxes", [
    # A width of one unit and a sub-normal area: boxes 0 and 2 have IoU 1.
    [[0, 10, U, 15], [10, 10, 15, 15], [-0.0, 10, U, 15]],
    # The same width with a normal area.
    [[0, 10, U, 1e300], [10, 10, 15, 15], [-0.0, 10, U, 1e300]],
    # Along y, and areas that round up (0.6 units -> 1 unit).
    [[10, 0, 15, U], [10, 10, 15, 15], [10, -0.0, 15, U]],
    [[0, 0, U, 0.6], [10, 10, 15, 15], [-0.0, 0, U, 1.3]],
    [[0, 0, 0.6, U], [10, 10, 15, 15], [0, -0.0, 1.3, U]],
    [[0, 0, 0.6, U], [10, 10, 15, 15], [0, 0, 1.3, U]],
], ids=["width", "width_normal_area", "height", "rounded_area", "rounded_area_y", "rounded_area_xy"])
def test_subnormal_extents(route, boxes):
    for thr in (0.0, 0.3, 0.5, 0.7, 0.99):
        check(*padded(boxes, [0.8, 0.9, 0.3]), thr)


EDGES = [0.0, -0.0, U, 2 * U, 1e-310, 1.0, 2.0, np.inf, -np.inf, np.nan]
EDGE_P = [.2, .2, .15, .1, .05, .1, .1, .03, .03, .04]
EXTENTS = [0.0, U, 2 * U, 3 * U, 1e-310, 0.6, 1.3, 1.6, 1e300, np.inf, np.nan]
EXTENT_P = [.05, .2, .15, .1, .1, .1, .1, .05, .09, .03, .03]


def test_fuzz_subnormal_zero_inf_nan(route):
    rng = np.random.default_rng(3)
    with np.errstate(invalid="ignore"):
        for _ in range(60):
            n = int(rng.integers(2, 10))
            lo = rng.choice(EDGES, (n, 2), p=EDGE_P)
            boxes = np.concatenate([lo, lo + rng.choice(EXTENTS, (n, 2), p=EXTENT_P)], 1)
            if rng.random() < 0.5:  # plain heights: only x is odd
                boxes[:, [1, 3]] = rng.choice([10.0, 11.0, 12.0], (n, 1)) + [0.0, 5.0]
            scores = rng.integers(1, 5, n) / 4.0
            for thr in (0.0, U, 1e-30, 0.3, 0.5, 0.6, 0.7, 0.99):
                check(*padded(boxes, scores), thr)


@pytest.mark.parametrize("thr", [0.05, 0.125, 0.5, 0.9])
def test_heights_far_apart_and_across_class_edges(route, thr):
    """Flat and tall boxes across each other, a thin filler of every height
    between them, and pairs whose heights differ by just under 1 / thr (IoU
    just above it), wherever the height classes happen to split."""
    rng = np.random.default_rng(int(thr * 1000))
    n = 600
    c = rng.random((n, 2)) * 100
    size = np.where(rng.random((n, 1)) < 0.5, [[100.0, 1.0]], [[1.0, 100.0]])
    size[:40] = np.exp(rng.uniform(-3, 8, (40, 2)))  # filler
    k = rng.integers(0, n, 200)
    size[-200:] = size[k] * np.stack([np.ones(200), rng.choice([0.999 / thr, 1.001 * thr], 200)], 1)
    c[-200:] = c[k]
    boxes = np.concatenate([c, c + size], 1)
    check(boxes, rng.random(n), thr)


def test_crossing_strips_look_at_few_pairs(monkeypatch):
    """Long thin boxes across each other: each box is compared with a few
    others, not with a share of all of them (the work, not the time, grows
    with the number of boxes)."""
    pairs = []
    real = suppression._iou

    def counted(geo, i, j):
        pairs.append(np.size(j))
        return real(geo, i, j)

    monkeypatch.setattr(suppression, "_iou", counted)
    rng = np.random.default_rng(1)
    n = 20_000
    half = n // 2
    pos = rng.random(n) * 1000
    corner = np.where(np.arange(n)[:, None] < half, np.stack([np.zeros(n), pos], 1),
                      np.stack([pos, np.zeros(n)], 1))
    size = np.where(np.arange(n)[:, None] < half, [[1000.0, 2.0]], [[2.0, 1000.0]])
    boxes = np.concatenate([corner, corner + size], 1).astype(np.float32)
    scores = (rng.integers(1, 100, n) / 100.0).astype(np.float32)
    check(boxes, scores, 0.5)
    assert sum(pairs) < 10 * n
