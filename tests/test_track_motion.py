"""What the tracker takes from the frames themselves: the camera's own
motion, measured on real pixels and taken out of the tracks so that a
shaking or panning camera keeps its identities; how boxes look, which
decides between rivals and guards lost tracks; and the frames prepared
ahead of time, as the pipeline's workers do."""

from __future__ import annotations

import cv2
import numpy as np
import pytest

from _media import SAMPLES
from zorvane_road_objects import facts
from zorvane_road_objects.detection.motion import CameraMotion, warp_boxes
from zorvane_road_objects.detection.records import Detection
from zorvane_road_objects.detection.track import APPEARANCE, Tracker

PERSON = facts.CLASS_NAMES.index("person")


@pytest.fixture(scope="module")
def street():
    img = cv2.imread(str(SAMPLES[0]))
    return cv2.resize(img, (960, int(960 * img.shape[0] / img.shape[1])))


def similarity(dx, dy, zoom=1.0, turn_deg=0.0, centre=(320, 240)):
    m = cv2.getRotationMatrix2D(centre, turn_deg, zoom)
    m[:, 2] += (dx, dy)
    return m


def corner_error(m, truth, w=640, h=480):
    pts = np.array([[0, 0, 1], [w, 0, 1], [0, h, 1], [w, h, 1]], float)
    return float(np.abs(pts @ m.T - pts @ truth.T).max())


@pytest.mark.parametrize("truth", [similarity(12, -7), similarity(100, -25), similarity(-30, 4, zoom=1.06),
                                   similarity(5, 5, turn_deg=3.0), similarity(0.8, 0)],
                         ids=["shift", "large shift", "zoom", "turn", "subpixel"])
def test_the_motion_of_a_real_picture_is_recovered(street, truth):
    first = np.ascontiguousarray(street[40:520, 100:740])
    second = cv2.warpAffine(first, truth, (640, 480))
    motion = CameraMotion()
    assert motion.update(first) is None  # nothing to compare with yet
    m = motion.update(second)
    assert m is not None and corner_error(m, truth) < 1.0


def test_no_motion_when_it_cannot_be_told(street):
    first = np.ascontiguousarray(street[40:520, 100:740])
    motion = CameraMotion()
    motion.update(first)
    assert motion.update(first.copy()) is None  # a fixed camera
    assert motion.update(np.ascontiguousarray(street[:300, :300])) is None  # another size
    rng = np.random.default_rng(1)
    noise = [cv2.GaussianBlur(rng.integers(0, 255, (480, 640, 3), dtype=np.uint8), (5, 5), 0) for _ in range(2)]
    motion.update(noise[0])
    assert motion.update(noise[1]) is None  # an unrelated picture: a cut
    motion.update(np.zeros((480, 640, 3), np.uint8))
    assert motion.update(np.zeros((480, 640, 3), np.uint8)) is None  # nothing to follow


@pytest.mark.parametrize("frame, message", [([[1, 2]], "NumPy array"), (np.zeros((4, 4), np.float32), "uint8"),
                                            (np.zeros((4, 4, 2), np.uint8), "channels")])
def test_a_frame_that_is_no_image_is_refused_clearly(frame, message):
    with pytest.raises(TypeError, match=message):
        Tracker().update([], 0.0, frame)


def test_warped_boxes_move_with_centre_and_scale():
    boxes = np.array([[100.0, 100, 140, 180]])
    out = warp_boxes(similarity(10, 0, zoom=2.0, centre=(0, 0)), boxes)
    np.testing.assert_allclose(out, [[210, 200, 290, 360]])


def shaking_clip(street, n=40, seed=3):
    """Four people standing still in a scene filmed by a hand that shakes
    by up to 28 pixels a frame: (frame, records) pairs."""
    rng = np.random.default_rng(seed)
    world = [(300, 200), (420, 230), (560, 180), (700, 260)]
    offset = np.array([160.0, 60.0])
    clip = []
    for _ in range(n):
        offset = np.clip(offset + rng.uniform(-28, 28, 2), [100, 20], [220, 100])
        x0, y0 = np.round(offset).astype(int)
        frame = np.ascontiguousarray(street[y0:y0 + 360, x0:x0 + 480])
        recs = [Detection((float(x - x0), float(y - y0), float(x - x0 + 26), float(y - y0 + 70)), 90, PERSON, "person")
                for x, y in world]
        clip.append((frame, recs))
    return clip


@pytest.mark.parametrize("give_frames", [True, False])
def test_a_shaking_camera_keeps_its_tracks_only_with_the_frames(street, give_frames):
    tracker = Tracker()
    ids = set()
    for k, (frame, recs) in enumerate(shaking_clip(street)):
        out = tracker.update(recs, k / 10, frame if give_frames else None)
        ids |= {d.track_id for d in out}
    if give_frames:
        assert ids == {1, 2, 3, 4}
    else:
        assert len(ids) > 4  # the filter alone cannot follow the jumps


def test_turned_off_the_frames_are_ignored(street):
    clip = shaking_clip(street, n=12)
    with_off = Tracker(camera_motion=False)
    without = Tracker()
    for k, (frame, recs) in enumerate(clip):
        ids = [d.track_id for d in with_off.update(recs, k / 10, frame)]
        assert ids == [d.track_id for d in without.update(recs, k / 10)]
    assert not with_off.camera_motion and without.camera_motion


def side_by_side_clip():
    """A red person at x = 100 and a blue one at x = 140 standing side by
    side; then the blue one is hidden and the red one steps right, to where
    its box overlaps the blue one's place more than its own old place."""
    clip = []
    for k in range(14):
        frame = np.full((300, 480, 3), 128, np.uint8)
        people = [(100, (0, 0, 220)), (140, (220, 60, 0))] if k < 10 else [(121, (0, 0, 220))]
        recs = []
        for x, colour in people:
            cv2.rectangle(frame, (x, 100), (x + 40, 200), colour, -1)
            recs.append(Detection((float(x), 100.0, x + 40.0, 200.0), 90, PERSON, "person"))
        clip.append((frame, recs))
    return clip


@pytest.mark.parametrize("weight", [APPEARANCE, 0.0])
def test_the_look_decides_which_track_a_box_continues(weight):
    tracker = Tracker(appearance=weight, camera_motion=False)
    outs = [tracker.update(recs, k / 10, frame) for k, (frame, recs) in enumerate(side_by_side_clip())]
    red = min(outs[5], key=lambda d: d.ltrb[0]).track_id
    # By its box alone the red person's step goes to the blue one's track.
    assert (outs[-1][0].track_id == red) == (weight > 0)


def test_a_lone_object_whose_look_changes_keeps_its_track():
    # A red person walks right; at frame 8 the light turns them blue and the
    # camera drops a frame (a 24 px step). With no rival the look is not asked.
    tracker = Tracker(camera_motion=False)
    ids = set()
    for k in range(14):
        x = 100 + 6 * k + (24 if k >= 8 else 0)
        frame = np.full((300, 480, 3), 128, np.uint8)
        cv2.rectangle(frame, (x, 100), (x + 40, 200), (0, 0, 220) if k < 8 else (220, 60, 0), -1)
        out = tracker.update([Detection((float(x), 100.0, x + 40.0, 200.0), 90, PERSON, "person")], k / 10, frame)
        ids |= {d.track_id for d in out}
    assert ids == {1}


def test_looks_compare_colours_and_skip_what_cannot_be_described(street):
    from zorvane_road_objects.detection.appearance import describe

    frame = np.full((200, 300, 3), 128, np.uint8)
    frame[:, :100] = (0, 0, 220)
    frame[:, 100:200] = (220, 60, 0)
    boxes = np.array([[10, 10, 90, 190], [20, 30, 80, 150], [110, 10, 190, 190], [5, 5, 7, 9], [250, 0, 400, 300]])
    vectors, done = describe(frame, boxes)
    assert done.tolist() == [True, True, True, False, True]  # too small to tell; cut at the edge
    np.testing.assert_allclose(np.linalg.norm(vectors[done], axis=1), 1.0)
    assert vectors[0] @ vectors[1] > 0.99 and vectors[0] @ vectors[2] < 0.1
    assert not describe(frame[:, :, 0], boxes)[1].any()  # grey: no colours


@pytest.mark.parametrize("size", [(1, 1), (50, 30)])
def test_a_frame_smaller_than_the_boxes_never_empties_them(size):
    tracker = Tracker()
    for k in range(4):
        out = tracker.update([Detection((10.0 + 5 * k, 10.0, 50.0 + 5 * k, 90.0), 90, PERSON, "person")], k / 10,
                             np.zeros((*size, 3), np.uint8))
    (d,) = out
    assert d.ltrb[2] - d.ltrb[0] > 30 and d.ltrb[3] - d.ltrb[1] == 80


def test_frames_prepared_beforehand_track_exactly_as_the_pictures(street):
    """What the pipeline's workers do: ``prepare`` each frame on its own (here
    all of them first, in reverse), then ``update`` in order."""
    clip = shaking_clip(street, n=20)
    direct, prepared = Tracker(), Tracker()
    views = [prepared.prepare(frame, recs) for frame, recs in reversed(clip)][::-1]
    for k, ((frame, recs), view) in enumerate(zip(clip, views)):
        assert prepared.update(recs, k / 10, view) == direct.update(recs, k / 10, frame)
    with pytest.raises(ValueError, match="prepared for 4 detections"):
        prepared.update(clip[0][1][:2], 3.0, views[0])
    # Records handed over as an iterator are read once, for both uses.
    tracker = Tracker()
    for k, (frame, recs) in enumerate(clip[:3]):
        out = tracker.update(iter(recs), k / 10, frame)
    assert len(out) == 4


@pytest.mark.parametrize("colour, same_track", [((0, 0, 220), True), ((220, 60, 0), False)], ids=["red", "blue"])
def test_a_lost_track_comes_back_only_to_someone_who_looks_like_it(colour, same_track):
    # A red person walks right and is hidden for five frames; then someone
    # steps out where they were lost: the red person again, or a blue one.
    tracker = Tracker(camera_motion=False)
    first = None
    for k in range(16):
        frame = np.full((300, 480, 3), 128, np.uint8)
        recs = []
        if not 6 <= k < 11:
            x = 100 + 3 * k
            cv2.rectangle(frame, (x, 100), (x + 40, 200), (0, 0, 220) if k < 6 else colour, -1)
            recs = [Detection((float(x), 100.0, x + 40.0, 200.0), 90, PERSON, "person")]
        out = tracker.update(recs, k / 10, frame)
        if k == 3:
            first = out[0].track_id
    assert (out[0].track_id == first) == same_track
