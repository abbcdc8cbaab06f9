"""Tracking inside the parallel pipeline: the same records whatever the
worker count, and the lost window taken from the frames' timestamps."""

from __future__ import annotations

import cv2
import pytest

from _media import REPO, SAMPLES
from zorvane_road_objects.detection.pipeline import detect_stream
from zorvane_road_objects.detection.track import Tracker

MODEL = REPO / "models" / "zorvane_robj_d_small_fp32.dat"


@pytest.fixture(scope="module")
def pan(tmp_path_factory):
    """A clip sliding across a street photo, 4 px a frame, at 10 frames a second."""
    img = cv2.imread(str(SAMPLES[0]))
    img = cv2.resize(img, (480, int(480 * img.shape[0] / img.shape[1])))
    h, w = img.shape[:2]
    path = tmp_path_factory.mktemp("pan") / "pan.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (w - 100, h))
    for i in range(16):
        writer.write(img[:, 4 * i: 4 * i + w - 100].copy())
    writer.release()
    return path


def engine():
    from zorvane_road_objects.zorvane_robj_d import zv_robj_d

    return zv_robj_d(str(MODEL), 0.1, 0.5, "small", "cpu").detect_objects


def run(pan, workers, **kw):
    with detect_stream(pan, workers=workers, detector_factory=engine, **kw) as stream:
        return [(r.index, r.timestamp, r.detections) for r in stream]


def test_same_records_whatever_the_worker_count(pan):
    one = run(pan, 1, track=True)
    assert sum(len(d) for _, _, d in one) > 16  # several objects followed
    assert all(d.track_id is not None and d.ltrb_conf >= 50 for _, _, ds in one for d in ds)
    assert run(pan, 3, track=True) == one


class TimedTracker(Tracker):
    """The tracker, noting the timestamp and the frame's size each update gets."""

    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.times = []
        self.sizes = []

    def update(self, detections, timestamp=None, frame=None):
        self.times.append(timestamp)
        self.sizes.append(None if frame is None else frame.size)
        return super().update(detections, timestamp, frame)


@pytest.mark.parametrize("keep_images", [False, True])
def test_the_tracker_gets_the_frames_timestamps_and_pixels(pan, keep_images):
    tracker = TimedTracker(0.5)
    with detect_stream(pan, workers=2, detector_factory=engine, track=tracker, every=3,
                       keep_images=keep_images) as stream:
        out = [(r.timestamp, r.image) for r in stream]
    assert tracker.times == pytest.approx([i * 0.3 for i in range(6)])
    assert [t for t, _ in out] == tracker.times
    # The workers take what the tracker needs from the frames (camera
    # motion, looks); the frames are kept only when asked for.
    height, width = cv2.VideoCapture(str(pan)).read()[1].shape[:2]
    assert tracker.sizes == [(width, height)] * 6
    assert all((img is not None) == keep_images for _, img in out)


def test_a_tracker_on_boxes_alone_never_holds_the_frames(pan):
    tracker = TimedTracker(0.5, camera_motion=False, appearance=0)
    run(pan, 2, track=tracker)
    assert tracker.sizes == [None] * 16
