"""The parallel detection pipeline: order with several workers, bounded
read-ahead, closing mid-way, errors in place, and the catalogue model
end to end through a loopback model server with tracking."""

from __future__ import annotations

import threading
import time

import cv2
import pytest

from _httpd import Resource, TestServer
from _media import REPO, SAMPLES, block_level, engine_factory, frame_image, mean_box_model, write_video
from _serving import model_server
from zorvane_road_objects.detection.pipeline import detect_stream
from zorvane_road_objects.detection.records import as_detections
from zorvane_road_objects.media.sources import StreamError

N = 40


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    return write_video(tmp_path_factory.mktemp("clip") / "clip.mp4", N)


@pytest.fixture(scope="module")
def model():
    return mean_box_model()


def pipeline_threads():
    return [t for t in threading.enumerate() if t.name.startswith("zv-")]


@pytest.fixture(autouse=True)
def no_threads_left():
    yield
    deadline = time.monotonic() + 5
    while pipeline_threads() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert pipeline_threads() == []


class Uneven:
    """The real engine, made slower on some frames so that workers finish out of order."""

    def __init__(self, make, fail_level=None):
        self.det = make()
        self.fail_level = fail_level

    def __call__(self, img):
        level = round(block_level(img) / 7)
        if level == self.fail_level:
            raise ValueError("Processing error")
        time.sleep(0.02 if level % 3 == 0 else 0.0)
        return self.det(img)


def reference(clip, model):
    det = engine_factory(model)()
    from zorvane_road_objects.media.sources import open_source

    return [as_detections(det(f.image)) for f in open_source(clip)]


@pytest.mark.parametrize("workers", [1, 2, 4])
def test_results_match_their_frames_in_order(clip, model, workers):
    expected = reference(clip, model)
    assert len({str(r) for r in expected}) > N // 2  # the model tells frames apart
    make = engine_factory(model)
    out = list(detect_stream(clip, workers=workers, detector_factory=lambda: Uneven(make)))
    assert [r.index for r in out] == list(range(N))
    assert [r.detections for r in out] == expected
    assert [r.timestamp for r in out] == pytest.approx([i / 10 for i in range(N)])


def test_every_and_max_frames_and_images(clip, model):
    s = detect_stream(clip, workers=2, every=4, max_frames=5, keep_images=True,
                      detector_factory=engine_factory(model))
    out = list(s)
    assert [r.index for r in out] == [0, 4, 8, 12, 16]
    assert [round(block_level(r.image) / 7) for r in out] == [0, 4, 8, 12, 16]


def test_read_ahead_is_bounded_while_the_consumer_waits(clip, model):
    calls = []
    make = engine_factory(model)

    def factory():
        det = make()
        return lambda img: calls.append(1) or det(img)

    with detect_stream(clip, workers=2, queue_size=3, detector_factory=factory) as s:
        first = next(s)
        time.sleep(1.0)
        # the frame handed out, plus workers + queue_size in flight
        assert len(calls) <= 1 + 2 + 3
        assert first.index == 0


@pytest.mark.parametrize("how", ["close", "with", "interrupt"])
def test_stopping_mid_way(tmp_path, model, how):
    long_clip = write_video(tmp_path / "long.avi", 120, fourcc="MJPG")
    got = []
    s = detect_stream(long_clip, workers=2, detector_factory=engine_factory(model))
    def consume():
        for r in s:
            got.append(r)
            if len(got) == 5:
                if how == "interrupt":
                    raise KeyboardInterrupt
                return

    if how == "close":
        consume()
        s.close()
    elif how == "with":
        with s:
            consume()
    else:
        with pytest.raises(KeyboardInterrupt), s:
            consume()
    assert [r.index for r in got] == [0, 1, 2, 3, 4]
    assert all(r.error is None and len(r.detections) == 1 for r in got)
    assert list(s) == []


def test_errors_come_back_at_their_frame(tmp_path, model):
    folder = tmp_path / "imgs"
    folder.mkdir()
    for i in range(6):
        cv2.imwrite(str(folder / f"{i}.png"), frame_image(i))
    (folder / "2.png").write_bytes(b"not a png")
    make = engine_factory(model)
    out = list(detect_stream(folder, workers=3, detector_factory=lambda: Uneven(make, fail_level=4)))
    assert [r.source.rsplit("/", 1)[-1] for r in out] == [f"{i}.png" for i in range(6)]
    errors = [r.error and r.error.split(":")[0] for r in out]
    assert errors == [None, None, "cannot read image", None, "detection failed", None]
    assert [r.seconds is None for r in out] == [False, False, True, False, True, False]


def test_a_detector_that_cannot_be_created_raises_its_error(clip):
    made = []

    def factory():
        made.append(1)
        raise ValueError("Model access denied")

    s = detect_stream(clip, workers=3, detector_factory=factory)
    with pytest.raises(ValueError, match="Model access denied"):
        next(s)
    assert made == [1]  # the others did not try once the first failed


def test_a_dropped_stream_raises_after_the_frames_before_it(tmp_path, model):
    body = write_video(tmp_path / "c.avi", 30, fourcc="MJPG").read_bytes()
    got = []
    with TestServer({"live": Resource(body=body, cut_after=len(body) // 2)}) as srv:  # a stream, not a file
        with pytest.raises(StreamError):
            for r in detect_stream(srv.url + "live", workers=2, backoff=0.01,
                                   detector_factory=engine_factory(model)):
                got.append(r)
    assert 0 < len(got) < 30 and [r.index for r in got] == list(range(len(got)))


@pytest.fixture
def catalogue_server(tmp_path, monkeypatch):
    """The checkout's small catalogue model served by the package's model server."""
    real = REPO / "models" / "zorvane_robj_d_small_fp32.dat"
    if not real.is_file():
        pytest.skip("catalogue model not in the checkout")
    root = tmp_path / "models"
    root.mkdir()
    (root / real.name).write_bytes(real.read_bytes())
    home = tmp_path / "home"
    home.mkdir()
    with model_server(root, home, monkeypatch) as server:
        yield server


def test_catalogue_model_with_tracking(catalogue_server, tmp_path):
    img = cv2.imread(str(SAMPLES[1]))
    img = cv2.resize(img, (480, int(480 * img.shape[0] / img.shape[1])))
    h, w = img.shape[:2]
    path = tmp_path / "pan.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (w - 40, h))
    for i in range(8):  # the scene slides 5 px a frame
        writer.write(img[:, 5 * i: 5 * i + w - 40].copy())
    writer.release()
    out = list(detect_stream(path, "small_fp32", workers=2, track=True, conf=0.5))
    assert [r.index for r in out] == list(range(8))
    # The stream's first frame shows its confident objects at once.
    first = {d.track_id for d in out[0].detections}
    assert first and all(d.track_id is not None for r in out for d in r.detections)
    # Objects seen in the first frame are still followed under the same ids at the end.
    assert len(first & {d.track_id for d in out[-1].detections}) >= len(first) - 1


def test_annotated_video_keeps_size_rate_and_frame_count(clip, model, tmp_path):
    from zorvane_road_objects.detection.linecount import LineCounter
    from zorvane_road_objects.detection.draw import annotate_frame
    from zorvane_road_objects.media.video import VideoSink

    counter = LineCounter((0, 120, 320, 120))
    out_path = tmp_path / "out" / "annotated.mp4"
    with detect_stream(clip, workers=2, track=True, keep_images=True,
                       detector_factory=engine_factory(model)) as s, VideoSink(out_path, s.fps) as sink:
        for r in s:
            counter.update(r.detections)
            drawn = annotate_frame(r.image, r.detections, counter)
            assert drawn.shape == r.image.shape and not (drawn == r.image).all()
            sink.write(drawn)
    cap = cv2.VideoCapture(str(out_path))
    assert cap.get(cv2.CAP_PROP_FRAME_COUNT) == N and cap.get(cv2.CAP_PROP_FPS) == 10.0
    assert (cap.get(cv2.CAP_PROP_FRAME_WIDTH), cap.get(cv2.CAP_PROP_FRAME_HEIGHT)) == (320, 240)
    cap.release()


def test_video_sink_errors(tmp_path):
    from zorvane_road_objects.media.video import VideoSink

    sink = VideoSink(tmp_path / "x.mp4", 5)
    with pytest.raises(ValueError, match="uint8 BGR"):
        sink.write(frame_image(0)[:, :, 0])
    (tmp_path / "dir.mp4").mkdir()
    with pytest.raises(OSError, match="cannot write video"):
        VideoSink(tmp_path / "dir.mp4", 5).write(frame_image(0))


@pytest.mark.parametrize("kwargs, message", [({"threads": 0}, "threads"), ({"workers": 0}, "workers"),
                                             ({"queue_size": 0}, "queue_size")])
def test_bad_settings_are_refused_before_any_detector(clip, kwargs, message):
    with pytest.raises(ValueError, match=message):
        detect_stream(clip, **kwargs)


def test_no_more_detectors_than_frames(tmp_path, model):
    cv2.imwrite(str(tmp_path / "one.png"), frame_image(0))
    make = engine_factory(model)
    made = []

    def factory():
        made.append(1)
        return make()

    out = list(detect_stream(tmp_path / "one.png", workers=16, detector_factory=factory))
    assert len(out) == 1 and out[0].error is None and made == [1]
