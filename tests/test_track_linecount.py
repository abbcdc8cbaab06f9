"""Line counts on synthetic clips with known crossings: jittering boxes,
objects idling on the line, class flips, several named lines; through the
tracker and on tracked records directly."""

from __future__ import annotations

import numpy as np
import pytest

from zorvane_road_objects import facts
from zorvane_road_objects.detection.linecount import LineCounter, parse_line
from zorvane_road_objects.detection.records import Detection
from zorvane_road_objects.detection.track import Tracker

CAR, TRUCK, PERSON = (facts.CLASS_NAMES.index(n) for n in ("car", "truck", "person"))
LINE = (0.0, 200.0, 640.0, 200.0)  # left to right: "in" is moving down


def box(cx, bottom, w=60, h=80, conf=90, cls=CAR, track_id=None):
    return Detection((cx - w / 2, bottom - h, cx + w / 2, bottom), conf, cls, facts.CLASS_NAMES[cls], track_id)


def count(counter, frames):
    for dets in frames:
        counter.update(dets)
    return counter.summary()


def clip(paths, n, jitter=0.0, seed=0, classes=None):
    """Frames of tracked boxes: paths maps track id -> f(frame) -> (cx, bottom);
    anchors jitter by up to ``jitter`` pixels."""
    rng = np.random.default_rng(seed)
    frames = []
    for f in range(n):
        dets = []
        for tid, path in paths.items():
            cx, bottom = path(f)
            if cx is None:
                continue
            cls = classes(tid, f) if classes else CAR
            dets.append(box(cx + rng.uniform(-jitter, jitter), bottom + rng.uniform(-jitter, jitter),
                            cls=cls, track_id=tid))
        frames.append(dets)
    return frames


def test_jittering_crossings_count_exactly():
    paths = {1: lambda f: (100, 120 + 4 * f),  # down across the line: in
             2: lambda f: (300, 300 - 3 * f),  # up: out
             3: lambda f: (500, 150 + 2 * f)}  # down: in
    s = count(LineCounter(LINE), clip(paths, 80, jitter=6))
    assert (s["in"], s["out"]) == (2, 1)
    assert s["by_class"] == {"car": {"in": 2, "out": 1}}


def test_an_object_idling_on_the_line_is_not_counted():
    # Its anchor hops across the line, never three frames in a row beyond the margin.
    hops = [12, -12, 12, 12, -12, 0, -12, -12, 12, 3]
    paths = {1: lambda f: (300, 120 + 4 * f if f < 20 else 200 + hops[f % len(hops)])}
    s = count(LineCounter(LINE), clip(paths, 100))
    assert (s["in"], s["out"]) == (0, 0)
    # Without hysteresis the hops count as an in and an out.
    s = count(LineCounter(LINE, margin=0, hold=1), clip(paths, 100))
    assert (s["in"], s["out"]) == (1, 1)


def test_a_track_counts_once_per_direction():
    # Down, up, down again: one in, one out.
    def path(f):
        return (300, 150 + 4 * (f % 40 if (f // 40) % 2 == 0 else 40 - f % 40))
    s = count(LineCounter(LINE), clip({1: path}, 120))
    assert (s["in"], s["out"]) == (1, 1)


def test_crossing_beyond_the_segment_is_not_counted():
    short = LineCounter((0.0, 200.0, 200.0, 200.0))
    s = count(short, clip({1: lambda f: (400, 120 + 4 * f), 2: lambda f: (100, 120 + 4 * f)}, 50))
    assert (s["in"], s["out"]) == (1, 0)


def test_the_anchor_point_is_configurable():
    # A box whose bottom crosses the line but whose centre stays above it.
    frames = clip({1: lambda f: (300, 180 + f)}, 40)
    assert count(LineCounter(LINE), frames)["in"] == 1
    assert count(LineCounter(LINE, anchor="center"), frames)["in"] == 0


def test_several_named_lines():
    counters = [LineCounter((0.0, 200.0, 640.0, 200.0), name="gate"),
                LineCounter((320.0, 0.0, 320.0, 480.0), name="centre")]
    frames = clip({1: lambda f: (100 + 6 * f, 100 + 3 * f)}, 80)
    for dets in frames:
        for c in counters:
            c.update(dets)
    got = [(s["name"], s["in"], s["out"]) for s in (c.summary() for c in counters)]
    # Vertical line drawn downwards: its right (as seen) is the left of the image.
    assert got == [("gate", 1, 0), ("centre", 0, 1)]


def test_tracker_and_counter_on_cars_that_flip_class():
    """Three cars each cross once, seen as car or truck by turns, with jitter
    and a 40% box now and then: in 3, all counted as cars."""
    rng = np.random.default_rng(7)
    tracker, counter = Tracker(), LineCounter(LINE)
    for f in range(120):
        dets = []
        for k, (x0, speed) in enumerate([(100, 3), (300, 4), (500, 2)]):
            bottom = 60 + speed * f + rng.uniform(-5, 5)
            cls = TRUCK if (f + k) % 4 == 0 else CAR
            conf = 40 if (f + k) % 7 == 0 else 85
            dets.append(box(x0 + rng.uniform(-4, 4), bottom, w=90, h=70, conf=conf, cls=cls))
            if (f + k) % 5 == 0:  # the same car as a truck too
                dets.append(box(x0 + 3, bottom + 2, w=90, h=70, conf=70, cls=TRUCK))
        counter.update(tracker.update(dets, f / 30))
    s = counter.summary()
    assert (s["in"], s["out"], s["by_class"]) == (3, 0, {"car": {"in": 3, "out": 0}})


def test_panning_past_two_objects():
    """A camera panning one way: two objects drift across a vertical line
    with jittering boxes; each counts once."""
    rng = np.random.default_rng(1)
    tracker, counter = Tracker(), LineCounter((320.0, 0.0, 320.0, 480.0))
    for f in range(90):
        dets = [box(500 - 5 * f + dx + rng.uniform(-6, 6), 300 + rng.uniform(-3, 3), w=70, h=120, cls=PERSON)
                for dx in (0, 150)]
        counter.update(tracker.update(dets, f / 30))
    s = counter.summary()
    assert (s["in"], s["out"]) == (2, 0)


@pytest.mark.parametrize("text, want", [
    ("1,2,3,4", ("line1", (1.0, 2.0, 3.0, 4.0))),
    ("gate=0,10.5,20,10.5", ("gate", (0.0, 10.5, 20.0, 10.5))),
])
def test_parse_line(text, want):
    assert parse_line(text, "line1") == want


@pytest.mark.parametrize("text, why", [("1,2,3", "four numbers"), ("a=1,2,3,x", "four numbers"),
                                       ("=1,2,3,4", "name"), ("", "four numbers"),
                                       ("0,0,2e6,5", "within"), ("0,0,nan,5", "within"),
                                       ("10,10,10.5,10", "a pixel long")])
def test_parse_line_rejects(text, why):
    with pytest.raises(ValueError, match=why):
        parse_line(text, "line1")


@pytest.mark.parametrize("kw", [{"line": (0, 0, 0, 0)}, {"line": (0, 0, 1)}, {"line": (0, 0, float("inf"), 1)},
                                {"line": LINE, "anchor": "top"}, {"line": LINE, "margin": -1},
                                {"line": LINE, "hold": 0}])
def test_bad_lines(kw):
    with pytest.raises(ValueError):
        LineCounter(**kw)


def totals_height(img):
    """Rows of the top left corner with anything drawn."""
    return int((img[:100, :60] != 0).any(axis=(1, 2)).sum())


def test_lines_are_drawn_clipped_to_the_frame_with_a_row_of_totals_each():
    from zorvane_road_objects.detection.draw import annotate_frame

    image = np.zeros((240, 320, 3), np.uint8)
    counters = [LineCounter((-1e6, 120.0, 1e6, 120.0), name="far"), LineCounter((400.0, 0.0, 500.0, 10.0))]
    out = annotate_frame(image, [], counters)
    assert (out[120, 100:300] != 0).any(axis=1).all()  # the far-off line crosses the whole frame
    assert not (out[200:, :] != 0).any()  # nothing else below the totals but the line
    one = annotate_frame(image, [], counters[1:])
    assert totals_height(out) == 2 * totals_height(one) > 0  # a row of totals per line
