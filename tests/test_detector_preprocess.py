"""preprocess_image, observed through the feed that real sessions receive:
canvas and scale values, bit-identity with the NumPy/OpenCV chain for many
sizes and strides, and the failures of odd images."""

from __future__ import annotations

import cv2
import numpy as np
import onnxruntime
import pytest

from _models import (
    SIDE,
    decode_echo,
    echo_model,
    fixed_rows_model,
    recording_session_class,
    reference_preprocess,
)

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")


@pytest.fixture(scope="module")
def rows_model():
    return fixed_rows_model(np.zeros((0, 6)))


@pytest.fixture
def feed_of(rows_model, monkeypatch):
    """detect_objects on an image, returning the feed the session got."""
    cls = recording_session_class()
    monkeypatch.setattr(onnxruntime, "InferenceSession", cls)
    engine = zd.zv_robj_d(rows_model)
    [session] = cls.created

    def run(img):
        engine.detect_objects(img)
        return session.feeds[-1]

    return run


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def check_against_reference(feed, img):
    x, im_shape, scale, _ = reference_preprocess(img)
    assert list(feed) == ["image", "im_shape", "scale_factor"]
    tensor = feed["image"]
    assert tensor.dtype == np.float32 and tensor.shape == (1, 3, SIDE, SIDE)
    assert tensor.flags.c_contiguous
    assert same_bits(tensor, x)
    assert same_bits(feed["im_shape"], im_shape)
    assert same_bits(feed["scale_factor"], scale)


def random_image(rng, h, w):
    return rng.integers(0, 256, size=(h, w, 3), dtype=np.uint8)


# ---------------------------------------------------------------------------
# Worked values


@pytest.mark.parametrize(
    "h, w, scale, paste",
    [
        (480, 640, 1.0, (480, 640)),
        (1080, 1920, np.float32(1) / np.float32(3), (360, 640)),
        (720, 1280, 0.5, (360, 640)),
        (500, 375, 1.2799999713897705, (640, 480)),
        (1, 1, 640.0, (640, 640)),
        (640, 640, 1.0, (640, 640)),
        (2160, 3840, np.float32(640) / np.float32(3840), (360, 640)),
    ],
)
def test_worked_examples(feed_of, h, w, scale, paste):
    img = np.full((h, w, 3), 200, np.uint8)
    feed = feed_of(img)
    assert feed["im_shape"].tolist() == [[640.0, 640.0]]
    assert feed["scale_factor"].dtype == np.float32
    assert feed["scale_factor"].tolist() == [[float(np.float32(scale))] * 2]
    tensor = feed["image"][0]
    ph, pw = paste
    value = np.float32(200) / np.float32(255.0)
    assert np.all(tensor[:, :ph, :pw] == value)
    assert not tensor[:, ph:, :].any() and not tensor[:, :, pw:].any()


@pytest.mark.parametrize("longer", [133, 266, 299, 301, 305, 317, 532, 1064])
@pytest.mark.parametrize("orientation", ["wide", "tall"])
def test_sides_that_come_out_as_639(feed_of, longer, orientation):
    shape = (longer // 2, longer) if orientation == "wide" else (longer, longer // 2)
    img = np.full(shape + (3,), 255, np.uint8)
    _, _, _, (new_h, new_w) = reference_preprocess(img)
    assert max(new_h, new_w) == 639
    tensor = feed_of(img)["image"][0]
    if orientation == "wide":
        assert tensor[:, 0, 638].all() and not tensor[:, :, 639].any()
    else:
        assert tensor[:, 638, 0].all() and not tensor[:, 639, :].any()
    check_against_reference(feed_of(img), img)


def test_blue_pixel_comes_out_in_channel_2(feed_of):
    img = np.zeros((2, 2, 3), np.uint8)
    img[..., 0] = 255  # BGR blue
    tensor = feed_of(img)["image"][0]
    assert np.all(tensor[2] == 1.0) and not tensor[0].any() and not tensor[1].any()


# ---------------------------------------------------------------------------
# Bit-identity with the NumPy/OpenCV chain


def shapes(rng, count):
    fixed = [(1, 1), (1, 7), (7, 1), (2, 3), (3, 640), (640, 3), (479, 641), (1080, 1920), (2000, 20)]
    out = list(fixed)
    while len(out) < count:
        h, w = (int(v) for v in rng.integers(1, 1500, size=2))
        if max(h, w) / min(h, w) <= 100:
            out.append((h, w))
    return out


def test_bit_identical_over_random_shapes(feed_of):
    rng = np.random.default_rng(1234)
    for h, w in shapes(rng, 40):
        img = random_image(rng, h, w)
        check_against_reference(feed_of(img), img)


def views(rng):
    base = random_image(rng, 701, 933)
    four = rng.integers(0, 256, size=(300, 400, 4), dtype=np.uint8)
    ro = random_image(rng, 250, 333)
    ro.flags.writeable = False
    return {
        "every-second-column": base[:, ::2],
        "every-third-row": base[::3],
        "reversed": base[::-1, ::-1],
        "reversed-channels": base[..., ::-1],
        "transposed": base.transpose(1, 0, 2),
        "fortran": np.asfortranarray(base[:300, :500]),
        "channels-of-four": four[..., :3],
        "read-only": ro,
        "read-only-view": np.broadcast_to(ro[:1], (40, 333, 3)),
        "window": base[100:450, 37:701:3],
    }


@pytest.mark.parametrize("name", sorted(views(np.random.default_rng(0))))
def test_bit_identical_for_views(feed_of, name):
    img = views(np.random.default_rng(99))[name]
    check_against_reference(feed_of(img), img)
    check_against_reference(feed_of(np.ascontiguousarray(img)), img)


@pytest.mark.parametrize("shape", [(480, 640), (1080, 1920), (333, 101), (1, 1)])
def test_echo_model_reveals_the_same_feed(shape, monkeypatch):
    """No hook in the session: the model returns its whole feed as rows."""
    rng = np.random.default_rng(shape[0])
    img = random_image(rng, *shape)
    monkeypatch.setattr(zd, "nms", lambda boxes, scores, iou: range(len(scores)))
    engine = zd.zv_robj_d(echo_model(), -1.0)
    x, im_shape, scale = decode_echo(engine.detect_objects(img)["results"])
    rx, rim, rscale, _ = reference_preprocess(img)
    assert same_bits(x, rx) and same_bits(im_shape, rim) and same_bits(scale, rscale)


def test_each_call_gets_fresh_arrays(feed_of):
    img = np.full((10, 10, 3), 9, np.uint8)
    a, b = feed_of(img), feed_of(img)
    assert a["image"] is not b["image"] and not np.shares_memory(a["image"], b["image"])


# ---------------------------------------------------------------------------
# cv2 is called through the module, each call


class RecordingCv2:
    INTER_LINEAR = cv2.INTER_LINEAR

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def resize(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.result is not None:
            return self.result
        return cv2.resize(*args, **kwargs)


def test_resize_call(feed_of, monkeypatch):
    fake = RecordingCv2()
    monkeypatch.setattr(zd, "cv2", fake)
    img = np.zeros((500, 375, 3), np.uint8)
    feed_of(img)
    [(args, kwargs)] = fake.calls
    assert args[0] is img and args[1] == (480, 640)
    assert kwargs == {"interpolation": cv2.INTER_LINEAR}


@pytest.mark.parametrize(
    "result, context",
    [
        (np.zeros((640, 480), np.uint8), "Buffer has wrong number of dimensions (expected 3, got 2)"),
        (np.zeros((640, 480, 3), np.float32), "Buffer dtype mismatch, expected 'uint8_t' but got 'float'"),
        (np.zeros((640, 470, 3), np.uint8), "could not broadcast input array from shape (640,470,3) into shape (640,480,3)"),
    ],
)
def test_resize_results_are_checked(feed_of, monkeypatch, result, context):
    monkeypatch.setattr(zd, "cv2", RecordingCv2(result))
    with pytest.raises(Exception, match="^PROCESSING_FAILED$") as info:
        feed_of(np.zeros((500, 375, 3), np.uint8))
    assert str(info.value.__context__) == context


def test_broadcast_paste_like_numpy(feed_of, monkeypatch):
    # A resize answer of one row is repeated down the pasted region, as a
    # NumPy slice assignment would.
    row = np.arange(480 * 3, dtype=np.uint8).reshape(1, 480, 3)
    monkeypatch.setattr(zd, "cv2", RecordingCv2(row))
    tensor = feed_of(np.zeros((500, 375, 3), np.uint8))["image"][0]
    canvas = np.zeros((640, 640, 3), np.uint8)
    canvas[:640, :480, :] = row
    expected = np.transpose(canvas[..., ::-1].astype(np.float32) / 255.0, (2, 0, 1))
    assert same_bits(tensor, expected)
