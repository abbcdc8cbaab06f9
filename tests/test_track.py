"""The tracker on synthetic detection sequences: identities, the start,
confirmation and output rules, the lost window in seconds, vehicle classes
associated as one with a voted class, and the assignment and overlap
search against brute force."""

from __future__ import annotations

import dataclasses
import itertools
import random

import numpy as np
import pytest

from zorvane_road_objects import facts
from zorvane_road_objects.detection.records import Detection
from zorvane_road_objects.detection.track import Tracker, assign, iou_pairs, overlap_pairs

CAR, BUS, TRUCK, PERSON = (facts.CLASS_NAMES.index(n) for n in ("car", "bus", "truck", "person"))


@dataclasses.dataclass(frozen=True, slots=True)
class Rec(Detection):
    """A synthetic record that knows the true identity of its object."""

    key: object = None


def rec(l, t, w, h, conf=90, cls=CAR, key=None):
    return Rec((float(l), float(t), float(l + w), float(t + h)), conf, cls, facts.CLASS_NAMES[cls], key=key)


def run(tracker, frames, times=None, shuffle_seed=0, opening=False):
    """Feed the frames (lists of records) in turn, shuffled; returns
    ({true key: [track ids]}, outputs). Unless ``opening``, the frames follow
    an empty first frame of the stream, so that the objects appear in a
    running stream (on a stream's first frame tracks are confirmed at once)."""
    rng = random.Random(shuffle_seed)
    ids: dict = {}
    outputs = []
    if not opening:
        tracker.update([], None if times is None else times[0] - 1.0 / 30)
    for k, recs in enumerate(frames):
        recs = list(recs)
        rng.shuffle(recs)
        out = tracker.update(recs, None if times is None else times[k])
        outputs.append(out)
        for r in out:
            ids.setdefault(r.key, []).append(r.track_id)
    return ids, outputs


def five_movers(n=100):
    """Five cars at constant, different speeds, some overlapping on the way."""
    starts = [(0, 50, 4, 0), (600, 60, -3, 0), (100, 300, 2, 1), (300, 0, 0, 3), (500, 400, -2, -2)]
    return [[rec(x + vx * f, y + vy * f, 60, 40, key=k) for k, (x, y, vx, vy) in enumerate(starts)]
            for f in range(n)]


def test_five_objects_keep_their_ids_and_show_once_confirmed():
    tracker = Tracker()
    ids, outputs = run(tracker, five_movers())
    assert [len(out) for out in outputs[:tracker.confirm]] == [0] * (tracker.confirm - 1) + [5]
    assert all(len(out) == 5 for out in outputs[tracker.confirm - 1:])
    assert {k: set(v) for k, v in ids.items()} == {k: {v[0]} for k, v in ids.items()}
    assert len({v[0] for v in ids.values()}) == 5


def test_on_the_streams_first_frame_tracks_are_confirmed_at_once():
    """The first frame has none before it to confirm against: its confident
    boxes are shown at once (as ByteTrack does); boxes of objects that come
    later wait for their second frame, and weak ones start nothing."""
    frames = [[rec(0, 0, 40, 40, key="early"), rec(300, 0, 40, 40, conf=45, key="weak")]]
    frames += [[rec(2 * f, 0, 40, 40, key="early"), rec(300, 0, 40, 40, conf=45, key="weak")]
               + ([rec(150, 200, 40, 40, key="late")] if f >= 3 else []) for f in range(1, 8)]
    ids, outputs = run(Tracker(), frames, opening=True)
    assert [sorted(r.key for r in out) for out in outputs[:5]] == [
        ["early"], ["early"], ["early"], ["early"], ["early", "late"]]
    assert "weak" not in ids and len(set(ids["early"])) == 1


@pytest.mark.parametrize("dy", [0, 10, 25])
def test_crossing_objects_do_not_swap(dy):
    frames = [[rec(12 + 5 * f, 100, 40, 40, key="a"), rec(400 - 5 * f, 100 + dy, 40, 40, key="b")]
              for f in range(80)]
    ids, _ = run(Tracker(), frames)
    assert len(set(ids["a"])) == 1 and len(set(ids["b"])) == 1 and ids["a"][0] != ids["b"][0]


def test_an_object_passing_in_front_of_a_hidden_one_keeps_its_track():
    """B stands still; A, seen later, walks in front of it and hides it. B's
    lost track sits where A is, a duplicate of A's: B's goes, not A's."""
    frames = []
    for f in range(70):
        a = rec(5 * f - 100, 100, 40, 80, key="A")
        b = rec(200, 104, 40, 84, key="B")
        hidden = abs(5 * f - 100 - 200) < 30
        frames.append([a] if hidden else [a, b])
    ids, _ = run(Tracker(), frames)
    assert len(set(ids["A"])) == 1


def test_confirmation_hides_one_frame_blips():
    """A strong box on a single frame (or on frames too far apart to follow)
    is never shown; a first-frame track would show it."""
    frames = [[rec(100, 100, 50, 50, key="real")] for _ in range(10)]
    for k in (2, 5, 8):
        frames[k].append(rec(400 + 60 * k, 300, 40, 40, conf=95, key="blip"))
    ids, _ = run(Tracker(), frames)
    assert set(ids) == {"real"}
    ids, _ = run(Tracker(confirm=1), frames)
    assert "blip" in ids


def test_activation_separate_from_output():
    """A box between the output threshold and the activation threshold starts
    no track, but keeps a track started by a stronger box and is shown."""
    tracker = Tracker(0.5, activation=0.6)
    steady = [[rec(100 + 2 * f, 100, 50, 50, conf=55, key="faint")] for f in range(20)]
    ids, outputs = run(tracker, steady)
    assert ids == {} and not any(outputs)
    ids, _ = run(Tracker(0.5, activation=0.5), steady)
    assert "faint" in ids  # what starting at the output threshold would do
    fading = [[rec(100 + 2 * f, 100, 50, 50, conf=90 if f < 5 else 55, key="car")] for f in range(20)]
    ids, outputs = run(Tracker(0.5, activation=0.6), fading)
    assert len(ids["car"]) == 19 and len(set(ids["car"])) == 1


@pytest.mark.parametrize("conf", [0.5, 0.7])
def test_weak_boxes_continue_tracks_but_are_not_shown(conf):
    # Strong, then weak (30%) for 10 frames, then strong again: one track,
    # nothing shown below conf.
    frames = [[rec(100 + 3 * f, 100, 50, 50, conf=30 if 10 <= f < 20 else 90, key="c")] for f in range(30)]
    ids, outputs = run(Tracker(conf), frames)
    assert len(set(ids["c"])) == 1 and len(ids["c"]) == 30 - 10 - 1
    assert all(r.ltrb_conf >= conf * 100 for out in outputs for r in out)


@pytest.mark.parametrize("step_s, same", [(1 / 30, True), (0.1, False)])
def test_lost_window_is_in_seconds(step_s, same):
    """Hidden for 20 frames: 0.67 s at 30 frames a second keeps the track
    (window 1 s), 2 s at 10 frames a second does not."""
    frames = [[] if 20 <= f < 40 else [rec(100 + f, 100, 50, 50, key="c")] for f in range(60)]
    ids, _ = run(Tracker(lost_s=1.0), frames, times=[f * step_s for f in range(60)])
    assert (len(set(ids["c"])) == 1) is same


@pytest.mark.parametrize("back_at, same", [(0, True), (20, True), (150, False)])
def test_an_object_that_stops_while_hidden_gets_its_id_back(back_at, same):
    """A walker stops behind a pillar for 12 frames, where its filter still
    carries it on, and comes out ``back_at`` pixels past where it vanished:
    near its last box it gets its own id back; far off it is someone else."""
    frames = [[rec(4 * f, 100, 40, 80, key="w")] for f in range(30)]
    frames += [[] for _ in range(12)]
    frames += [[rec(4 * 29 + back_at, 100, 40, 80, key="w")] for _ in range(10)]
    ids, _ = run(Tracker(), frames)
    assert (len(set(ids["w"])) == 1) is same


def test_lost_window_falls_back_to_the_frame_rate():
    frames = [[] if 20 <= f < 40 else [rec(100 + f, 100, 50, 50, key="c")] for f in range(60)]
    assert len(set(run(Tracker(lost_s=1.0, fps=30), frames)[0]["c"])) == 1
    assert len(set(run(Tracker(lost_s=1.0, fps=10), frames)[0]["c"])) == 2


def test_vehicle_class_flips_keep_one_track_with_the_voted_class():
    flips = [CAR, TRUCK, CAR, BUS, CAR, CAR, TRUCK]
    frames = [[rec(100 + 4 * f, 100, 80, 60, cls=flips[f % len(flips)], key="v")] for f in range(40)]
    ids, outputs = run(Tracker(), frames)
    assert len(set(ids["v"])) == 1
    assert {(r.class_id, r.class_name) for out in outputs for r in out} == {(CAR, "car")}


def test_car_and_truck_boxes_on_one_vehicle_make_one_track():
    # The detector suppresses per class: the same vehicle as a car and a truck.
    frames = [[rec(100 + 4 * f, 100, 80, 60, conf=80, cls=CAR, key="v"),
               rec(102 + 4 * f, 101, 80, 60, conf=70 if f % 3 else 90, cls=TRUCK, key="v")]
              for f in range(30)]
    ids, outputs = run(Tracker(), frames)
    assert len(set(ids["v"])) == 1 and all(len(out) <= 1 for out in outputs)


def test_people_and_vehicles_are_not_mixed():
    frames = [[rec(100, 100, 50, 50, cls=PERSON if f % 2 else CAR, key=f % 2)] for f in range(20)]
    ids, _ = run(Tracker(confirm=1), frames)
    assert set(ids[0]).isdisjoint(ids[1])


def test_bad_boxes_are_ignored():
    bad = [rec(0, 0, 0, 10), rec(0, 0, 10, -5), Rec((float("nan"), 0.0, 5.0, 5.0), 90, CAR, "car"),
           Rec((0.0, 0.0, 5.0, 5.0), 90, 99, "nothing")]
    frames = [[rec(10, 10, 20, 20, key="ok"), *bad] for _ in range(5)]
    ids, outputs = run(Tracker(), frames)
    assert set(ids) == {"ok"} and all(len(o) == 1 for o in outputs[1:])


def test_same_ids_whatever_the_input_order():
    a = run(Tracker(), five_movers(), shuffle_seed=1)[0]
    b = run(Tracker(), five_movers(), shuffle_seed=2)[0]
    assert a == b


@pytest.mark.parametrize("kw", [{"conf": 1.5}, {"activation": -0.1}, {"confirm": 0},
                                {"lost_s": float("nan")}, {"fps": 0},
                                {"recover_buffer": -1}])
def test_bad_settings(kw):
    with pytest.raises(ValueError):
        Tracker(**kw)


# ---------------------------------------------------------------------------
# Assignment and overlaps


def best_gain(rows, cols, cost, limit):
    """The largest total of limit - cost over one-to-one subsets, by brute force."""
    best = 0.0
    pairs = [(r, c, limit - x) for r, c, x in zip(rows, cols, cost) if x < limit]
    for k in range(1, len(pairs) + 1):
        for sub in itertools.combinations(pairs, k):
            if len({p[0] for p in sub}) == k and len({p[1] for p in sub}) == k:
                best = max(best, sum(p[2] for p in sub))
    return best


@pytest.mark.parametrize("seed", range(6))
def test_assign_is_optimal_and_respects_the_limit(seed):
    rng = np.random.default_rng(seed)
    n = 9
    rows, cols = rng.integers(0, 5, n), rng.integers(0, 5, n)
    uniq = sorted(set(zip(rows.tolist(), cols.tolist())))
    rows, cols = np.array([u[0] for u in uniq]), np.array([u[1] for u in uniq])
    cost = rng.uniform(0, 1, len(rows))
    r, c = assign(rows, cols, cost, 0.7)
    assert len(set(r.tolist())) == len(r) and len(set(c.tolist())) == len(c)
    chosen = {(a, b) for a, b in zip(r.tolist(), c.tolist())}
    lookup = dict(zip(zip(rows.tolist(), cols.tolist()), cost))
    assert all(lookup[p] < 0.7 for p in chosen)
    assert sum(0.7 - lookup[p] for p in chosen) == pytest.approx(best_gain(rows, cols, cost, 0.7))


def test_assign_prefers_the_right_pairs_over_more_pairs():
    # Taking (0, 0) alone beats (0, 1) + (1, 0), which a full assignment with
    # a large cost for forbidden pairs would take.
    r, c = assign(np.array([0, 0, 1]), np.array([0, 1, 0]), np.array([0.05, 0.75, 0.75]), 0.8)
    assert list(zip(r.tolist(), c.tolist())) == [(0, 0)]


def test_overlaps_of_many_boxes_match_brute_force():
    rng = np.random.default_rng(3)
    xy = rng.uniform(0, 3000, (2500, 2))
    wh = rng.uniform(5, 120, (2500, 2))
    wh[:5] = 2000  # a few huge boxes
    boxes = np.c_[xy, xy + wh]
    a, b = boxes[:1200], boxes[1200:]
    i, j = overlap_pairs(a, b)
    w = np.minimum(a[:, None, 2], b[None, :, 2]) - np.maximum(a[:, None, 0], b[None, :, 0])
    h = np.minimum(a[:, None, 3], b[None, :, 3]) - np.maximum(a[:, None, 1], b[None, :, 1])
    want = set(zip(*np.nonzero((w > 0) & (h > 0))))
    assert set(zip(i.tolist(), j.tolist())) == {(int(x), int(y)) for x, y in want}
    i, j, iou = iou_pairs(a, b, 0.3)
    assert len(i) and (iou >= 0.3).all()


def test_ten_thousand_boxes_in_a_frame():
    rng = np.random.default_rng(0)
    xy = rng.uniform(0, 20000, (10000, 2))
    tracker = Tracker(confirm=1)
    for k in range(3):
        out = tracker.update([rec(x + k, y, 30, 60, key=i) for i, (x, y) in enumerate(xy)])
    assert len(out) >= 9900
    assert len({r.track_id for r in out}) == len(out)


def test_a_clock_that_restarts_still_ends_lost_tracks():
    # Seen until t = 0.5 s, then gone while the stream's clock restarts at 0:
    # the tracker's own clock goes on at 1 / fps a frame and drops the track.
    frames = [[rec(100 + f, 100, 50, 50, key="c")] if f < 6 else [] for f in range(60)]
    frames.append([rec(106, 100, 50, 50, key="c")])
    times = [f * 0.1 for f in range(6)] + [0.0] * 54 + [0.05]
    tracker = Tracker(lost_s=1.0, fps=30.0)
    run(tracker, frames, times=times)
    assert len(tracker.tracks) == 1 and tracker.tracks.hits[0] == 1  # a new, tentative track


def test_the_detectors_dicts_are_taken_too():
    tracker = Tracker(confirm=1)
    out = tracker.update([{"ltrb": [1, 2, 30, 40], "ltrb_conf": 90, "class_id": CAR, "class": "car"}])
    assert [(d.ltrb, d.track_id, d.class_name) for d in out] == [((1.0, 2.0, 30.0, 40.0), 1, "car")]


def test_shown_boxes_are_smoothed_towards_the_track_and_stay_in_the_frame():
    # A car driving right at 8 px a frame, its boxes jittering by up to
    # 6 px, then out of the picture's right edge (x = 640).
    rng = np.random.default_rng(5)
    truth = [100.0 + 8 * f for f in range(66)]
    noisy = [(x + rng.uniform(-6, 6), 200 + rng.uniform(-6, 6)) for x in truth]
    frames = [[rec(x, y, min(60.0, 640 - x), 40)] for x, y in noisy]
    error = {}
    for smooth in (0.0, 0.3):
        _, outputs = run(Tracker(smooth=smooth), frames)
        shown = np.array([out[0].ltrb for out in outputs[2:]])
        assert shown[:, 2].max() <= 640.0
        inside = np.array(truth[2:]) + 60 < 630
        # Off the truth, and jitter: how much the step from frame to frame varies.
        error[smooth] = (np.abs(shown[inside, 0] - np.array(truth[2:])[inside]).mean(),
                         np.diff(shown[inside, 0]).std())
        if smooth == 0.0:
            assert [o[0].ltrb for o in outputs[2:]] == [f[0].ltrb for f in frames[2:]]
    assert error[0.3][0] < 0.95 * error[0.0][0] and error[0.3][1] < 0.95 * error[0.0][1], error
