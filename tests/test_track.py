"""The tracker and the line counter on synthetic detection sequences, and the
assignment solver against brute force."""

from __future__ import annotations

import dataclasses
import itertools
import random

import numpy as np
import pytest

from zorvane_road_objects.detection import track as trk
from zorvane_road_objects.detection.linecount import LineCounter
from zorvane_road_objects.detection.records import Detection
from zorvane_road_objects.detection.track import Tracker, assign


@dataclasses.dataclass(frozen=True, slots=True)
class Rec(Detection):
    """A synthetic record that knows the true identity of its object."""

    key: object = None


def rec(l, t, w, h, conf=90, cls=3, name="car", key=None):
    return Rec((float(l), float(t), float(l + w), float(t + h)), conf, cls, name, key=key)


def key_of(r):
    return r.key


def run(tracker, frames, shuffle_seed=0):
    """Feed the frames (lists of records) in turn; {true key: [track ids]}."""
    rng = random.Random(shuffle_seed)
    ids: dict = {}
    outputs = []
    for recs in frames:
        recs = list(recs)
        rng.shuffle(recs)
        out = tracker.update(recs)
        outputs.append(out)
        for r in out:
            ids.setdefault(key_of(r), []).append(r.track_id)
    return ids, outputs


def five_movers(n=100):
    """Five cars at constant, different speeds, some overlapping on the way."""
    starts = [(0, 50, 4, 0), (600, 60, -3, 0), (100, 300, 2, 1), (300, 0, 0, 3), (500, 400, -2, -2)]
    return [[rec(x + vx * f, y + vy * f, 60, 40, key=k) for k, (x, y, vx, vy) in enumerate(starts)]
            for f in range(n)]


def test_five_objects_keep_their_ids_for_100_frames():
    ids, outputs = run(Tracker(), five_movers())
    assert all(len(out) == 5 for out in outputs)
    assert {k: set(v) for k, v in ids.items()} == {k: {v[0]} for k, v in ids.items()}
    assert len({v[0] for v in ids.values()}) == 5


@pytest.mark.parametrize("hidden", [20, 31])
def test_object_hidden_for_a_while(hidden):
    frames = five_movers(80)
    for f in range(30, 30 + hidden):
        frames[f] = [r for r in frames[f] if key_of(r) != 0]
    ids, _ = run(Tracker(max_lost=30), frames)
    if hidden <= 30:
        assert set(ids[0]) == {ids[0][0]}  # back with its id
    else:
        assert len(set(ids[0])) == 2  # lost for too long: a new id
    assert all(len(set(ids[k])) == 1 for k in range(1, 5))


@pytest.mark.parametrize("dy", [0, 8])
def test_crossing_objects_do_not_swap(dy):
    frames = [[rec(5 * f, 100, 50, 80, key="right"), rec(400 - 5 * f, 100 + dy, 50, 80, key="left")]
              for f in range(80)]
    if dy == 0:  # one hides the other while they overlap
        for f in range(36, 45):
            frames[f] = [frames[f][0]]
    ids, _ = run(Tracker(), frames)
    assert len(set(ids["right"])) == 1 and len(set(ids["left"])) == 1
    assert ids["right"][0] != ids["left"][0]


def test_weak_boxes_continue_tracks_but_start_none():
    frames = []
    for f in range(30):
        conf = 30 if 10 <= f < 20 else 80  # partly hidden: the score drops
        frames.append([rec(10 + 3 * f, 50, 40, 40, conf=conf, key="a"),
                       rec(400, 400, 30, 30, conf=20, key="noise")])
    ids, outputs = run(Tracker(high=0.5, low=0.1), frames)
    assert "noise" not in ids  # weak and new: never output
    assert ids["a"] == [ids["a"][0]] * 30  # output in every frame, one id


def test_classes_are_not_mixed():
    frames = [[rec(10 + 2 * f, 50, 40, 80, key="car")] for f in range(10)]
    frames += [[rec(10 + 2 * f, 50, 40, 80, cls=0, name="person", key="person")] for f in range(10, 15)]
    ids, _ = run(Tracker(), frames)
    assert set(ids["car"]).isdisjoint(ids["person"])
    ids2, _ = run(Tracker(per_class=False), frames)
    assert set(ids2["car"]) == set(ids2["person"])


def test_bad_boxes_are_ignored():
    t = Tracker()
    out = t.update([rec(0, 0, 10, 10), Detection((float("nan"), 0.0, 1.0, 1.0), 90, 3, "car"),
                    Detection((5.0, 5.0, 5.0, 9.0), 90, 3, "car")])
    assert [r.track_id for r in out] == [1]


# ---------------------------------------------------------------------------
# Line counts


def count(frames, line, **kw):
    tracker, counter = Tracker(), LineCounter(line, **kw)
    for recs in frames:
        counter.update(tracker.update(recs))
    return counter.summary()


def test_line_counts_on_the_five_movers():
    # A vertical line at x=320 from y=0 to y=300, drawn top to bottom: moving
    # right crosses from its right (as seen) to its left: "out".
    s = count(five_movers(), (320, 0, 320, 300))
    # Car 0 crosses with its bottom centre at y=90; car 2 crosses the line's
    # extension below the segment; the others never reach x=320.
    assert s["by_class"] == {"car": {"in": 0, "out": 1}}
    assert (s["in"], s["out"]) == (0, 1)
    assert s["line"] == [320.0, 0.0, 320.0, 300.0]


def test_crossing_pair_and_directions():
    frames = [[rec(5 * f, 100, 50, 80, key="r"), rec(400 - 5 * f, 108, 50, 80, cls=4, name="bus", key="l")]
              for f in range(80)]
    s = count(frames, (200, 0, 200, 400))
    assert s["by_class"] == {"bus": {"in": 1, "out": 0}, "car": {"in": 0, "out": 1}}
    s = count(frames, (200, 400, 200, 0))  # the line reversed swaps the directions
    assert s["by_class"] == {"bus": {"in": 0, "out": 1}, "car": {"in": 1, "out": 0}}


def test_jitter_counts_each_side_change_once_or_not_at_all_with_a_margin():
    xs = [80, 95, 102, 98, 103, 97, 104, 115, 125]  # centre x around a line at 100
    frames = [[rec(x - 20, 100, 40, 40, key="j")] for x in xs]
    assert count(frames, (100, 0, 100, 500))["out"] == 3
    assert count(frames, (100, 0, 100, 500))["in"] == 2
    s = count(frames, (100, 0, 100, 500), margin=10)
    assert (s["in"], s["out"]) == (0, 1)


def test_crossing_beyond_the_segment_is_not_counted():
    frames = [[rec(5 * f, 300, 40, 40, key="k")] for f in range(60)]  # bottom at y=340
    assert count(frames, (150, 0, 150, 200))["out"] == 0
    assert count(frames, (150, 0, 150, 400))["out"] == 1
    assert count(frames, (150, 0, 150, 400), anchor="center")["out"] == 1


@pytest.mark.parametrize("line", [(0, 0, 0, 0), (1, 2, 3), ("a", 1, 2, 3), (0, 0, float("inf"), 1)])
def test_bad_lines(line):
    with pytest.raises(ValueError):
        LineCounter(line)


# ---------------------------------------------------------------------------
# Assignment


def brute_force(cost):
    n, m = cost.shape
    if n <= m:
        return min(sum(cost[i, p[i]] for i in range(n)) for p in itertools.permutations(range(m), n))
    return brute_force(cost.T)


@pytest.mark.parametrize("shape", [(1, 1), (3, 3), (4, 6), (6, 4), (5, 5), (2, 7)])
def test_hungarian_is_optimal(shape):
    rng = np.random.default_rng(sum(shape))
    for _ in range(20):
        cost = rng.integers(0, 10, shape).astype(float)  # many ties
        if shape[0] <= shape[1]:
            cols = trk._hungarian(cost)
            assert len(set(cols)) == shape[0]
            total = cost[np.arange(shape[0]), cols].sum()
        else:
            rows = trk._hungarian(cost.T)
            total = cost.T[np.arange(shape[1]), rows].sum()
        assert total == pytest.approx(brute_force(cost))


def test_assign_respects_the_limit_and_forbidden_pairs():
    cost = np.array([[0.1, 0.9, np.inf], [0.2, 0.95, 0.3], [np.inf, np.inf, np.inf]])
    assert sorted(assign(cost, 0.5)) == [(0, 0), (1, 2)]
    assert assign(np.zeros((0, 3)), 0.5) == []
    assert assign(np.full((2, 2), 0.9), 0.5) == []
