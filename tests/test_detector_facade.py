"""zv_road_object_detector: construction through model provisioning, the
image checks of detector(img) and the fixed, unchained errors."""

from __future__ import annotations

import gc
import os
import weakref
from pathlib import Path

import numpy as np
import onnxruntime
import pytest

from _models import fd2_to, fixed_rows_model, noisy_model, recording_session_class
from _serving import model_server

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")

ROWS = [[2, 0.57, 10, 20, 110, 220], [0, 0.9, 1, 2, 3, 4]]
REPO = Path(__file__).resolve().parent.parent


def unchained(info, message):
    exc = info.value
    assert type(exc) is ValueError and exc.args == (message,)
    assert exc.__cause__ is None and exc.__suppress_context__ is True
    return exc


@pytest.fixture
def model_file(tmp_path):
    path = tmp_path / "model.dat"
    path.write_bytes(fixed_rows_model(ROWS))
    return path


class Download:
    """Stands in for the module's download_robj_model (rebinding the module
    attribute is how the facade finds it)."""

    def __init__(self, answer):
        self.calls = []
        self.answer = answer

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.fixture
def local(model_file, monkeypatch):
    """download_robj_model answering the path of a local tiny model."""
    dl = Download(str(model_file))
    monkeypatch.setattr(zd, "download_robj_model", dl)
    return dl


@pytest.fixture
def detector(local):
    return zd.zv_road_object_detector("small_fp32")


# ---------------------------------------------------------------------------
# End to end through a real model server


@pytest.fixture
def served(tmp_path, monkeypatch):
    root = tmp_path / "models"
    root.mkdir()
    home = tmp_path / "home"
    home.mkdir()
    with model_server(root, home, monkeypatch):
        yield root, home


def test_end_to_end_through_the_model_server(served):
    root, home = served
    (root / "zorvane_robj_d_small_fp32.dat").write_bytes(fixed_rows_model(ROWS))
    det = zd.zv_road_object_detector("small_fp32", "cpu", 0.5, 0.5)
    cached = home / ".zorvane" / "zorvane_robj_data" / "zorvane_robj_d_small_fp32.dat"
    assert cached.read_bytes() == (root / "zorvane_robj_d_small_fp32.dat").read_bytes()
    out = det(np.zeros((480, 640, 3), np.uint8))
    assert list(out) == ["results", "ltrb_proc_sec"]
    assert out["results"] == [
        {"ltrb": [10.0, 20.0, 110.0, 220.0], "ltrb_conf": 56, "class_id": 3, "class": "car"},
        {"ltrb": [1.0, 2.0, 3.0, 4.0], "ltrb_conf": 89, "class_id": 0, "class": "person"},
    ]


@pytest.mark.parametrize("name", ["small", "SMALL_FP32", " small_fp32", "", None])
def test_unknown_model_name_is_model_access_denied(served, name, monkeypatch):
    cls = recording_session_class()
    monkeypatch.setattr(onnxruntime, "InferenceSession", cls)
    with pytest.raises(ValueError) as info:
        zd.zv_road_object_detector(name)
    exc = unchained(info, "Model access denied")
    assert type(exc.__context__) is ValueError  # provisioning's own error, not shown
    assert cls.created == []  # no engine was built


def sample_image():
    for folder in ("samples", "assets", "docs", "data/samples", "examples"):
        path = REPO / folder / "street_bus_cc-by.jpg"
        if path.is_file():
            return path
    return None


def catalogue_model():
    for folder in ("models", "data/models"):
        path = REPO / folder / "zorvane_robj_d_small_fp32.dat"
        if path.is_file():
            return path
    return None


@pytest.mark.skipif(sample_image() is None or catalogue_model() is None,
                    reason="sample image or catalogue model not in the repository")
def test_catalogue_model_on_the_sample_image(served):
    import cv2

    root, _ = served
    (root / "zorvane_robj_d_small_fp32.dat").write_bytes(catalogue_model().read_bytes())
    det = zd.zv_road_object_detector("small_fp32")
    img = cv2.imread(str(sample_image()))
    out = det(img)
    classes = {r["class"] for r in out["results"]}
    assert {"bus"} & classes or {"car"} & classes
    h, w = img.shape[:2]
    for r in out["results"]:
        left, top, right, bottom = r["ltrb"]
        assert -w * 0.05 <= left <= right <= w * 1.05 and -h * 0.05 <= top <= bottom <= h * 1.05


# ---------------------------------------------------------------------------
# Construction


def test_arguments(local):
    zd.zv_road_object_detector("small_fp32")
    zd.zv_road_object_detector(model_name="x", backend="cpu", conf_thres=0.1, iou_thres=1)
    zd.zv_road_object_detector(None, None, np.float32(0.5), 0)
    assert [c[0] for c in local.calls] == [("small_fp32",), ("x",), ("",)]
    assert all(type(c[0][0]) is str and c[1] == {} for c in local.calls)


class Name(str):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"model_name": 5}, "Argument 'model_name' has incorrect type (expected str, got int)"),
        ({"model_name": Name("small_fp32")}, "Argument 'model_name' has incorrect type (expected str, got Name)"),
        ({"model_name": b"small_fp32"}, "Argument 'model_name' has incorrect type (expected str, got bytes)"),
        ({"model_name": "x", "backend": 1}, "Argument 'backend' has incorrect type (expected str, got int)"),
        ({"model_name": "x", "backend": Name("cpu")}, "Argument 'backend' has incorrect type (expected str, got Name)"),
        ({"model_name": 5, "conf_thres": "bad"}, "Argument 'model_name' has incorrect type (expected str, got int)"),
    ],
)
def test_text_arguments_are_checked_before_anything(local, kwargs, message):
    with pytest.raises(TypeError) as info:
        zd.zv_road_object_detector(**kwargs)
    assert str(info.value) == message
    assert local.calls == []


def test_threshold_conversion_errors(local):
    with pytest.raises(TypeError):
        zd.zv_road_object_detector("x", "cpu", "0.5")
    with pytest.raises(TypeError):
        zd.zv_road_object_detector("x", "cpu", 0.5, None)
    assert local.calls == []


@pytest.mark.parametrize("error", [RuntimeError("net"), OSError("disk"), KeyboardInterrupt()])
def test_other_download_errors_propagate(monkeypatch, error):
    monkeypatch.setattr(zd, "download_robj_model", Download(error))
    with pytest.raises(type(error)) as info:
        zd.zv_road_object_detector("small_fp32")
    assert info.value is error


def test_value_error_subclass_from_download_is_access_denied(monkeypatch):
    class Denied(ValueError):
        pass

    monkeypatch.setattr(zd, "download_robj_model", Download(Denied("drm")))
    with pytest.raises(ValueError) as info:
        zd.zv_road_object_detector("small_fp32")
    assert type(unchained(info, "Model access denied").__context__) is Denied


@pytest.mark.parametrize("answer", ["missing", "directory", None, 12.5])
def test_unreadable_model_file_is_access_denied(monkeypatch, tmp_path, answer):
    path = {"missing": str(tmp_path / "nope.dat"), "directory": str(tmp_path)}.get(answer, answer)
    monkeypatch.setattr(zd, "download_robj_model", Download(path))
    with pytest.raises(ValueError) as info:
        zd.zv_road_object_detector("small_fp32")
    unchained(info, "Access denied")


@pytest.mark.parametrize("content", [b"not a model", b"", fixed_rows_model(ROWS)[:40]])
def test_bad_model_file_is_model_initialization_failed(monkeypatch, tmp_path, content):
    path = tmp_path / "bad.dat"
    path.write_bytes(content)
    monkeypatch.setattr(zd, "download_robj_model", Download(str(path)))
    log = tmp_path / "stderr"
    with fd2_to(log):
        with pytest.raises(ValueError) as info:
            zd.zv_road_object_detector("small_fp32")
        os.write(2, b"stderr works\n")
    exc = unchained(info, "Model initialization failed")
    assert str(exc.__context__) in ("MODEL_LOAD_FAILED", "INVALID_DATA")
    assert log.read_bytes() == b"stderr works\n"


def test_model_warnings_are_silenced(monkeypatch, tmp_path):
    path = tmp_path / "noisy.dat"
    path.write_bytes(noisy_model())
    monkeypatch.setattr(zd, "download_robj_model", Download(str(path)))
    log = tmp_path / "stderr"
    with fd2_to(log):
        zd.zv_road_object_detector("small_fp32")
    assert log.read_bytes() == b""


@pytest.mark.parametrize("backend, expected", [(None, "auto"), ("auto", "auto"), ("CPU", "cpu"), ("directml", "directml")])
def test_backend_reaches_the_engine(local, monkeypatch, backend, expected):
    available = ["CUDAExecutionProvider", "DmlExecutionProvider", "CPUExecutionProvider"]
    rows = {
        "auto": ["CUDAExecutionProvider", "DmlExecutionProvider", "CPUExecutionProvider"],
        "cpu": ["CPUExecutionProvider"],
        "directml": ["DmlExecutionProvider", "CPUExecutionProvider"],
    }
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: list(available))
    cls = recording_session_class()
    monkeypatch.setattr(onnxruntime, "InferenceSession", cls)
    zd.zv_road_object_detector("small_fp32", backend)
    [session] = cls.created
    assert session.kwargs == {"providers": rows[expected]}
    assert type(session.model) is bytes


def test_thresholds_reach_the_engine_as_float32(local, monkeypatch):
    seen = []

    def nms(boxes, scores, iou):
        seen.append(iou)
        return range(len(scores))

    monkeypatch.setattr(zd, "nms", nms)
    img = np.zeros((10, 10, 3), np.uint8)
    det = zd.zv_road_object_detector("small_fp32", "cpu", 0.57, 0.3)
    assert [r["class"] for r in det(img)["results"]] == ["person"]  # 0.57 is not above 0.57
    assert seen == [float(np.float32(0.3))]
    det = zd.zv_road_object_detector("small_fp32", "cpu", 0.56)
    assert [r["class"] for r in det(img)["results"]] == ["car", "person"]


# ---------------------------------------------------------------------------
# detector(img)


@pytest.mark.parametrize(
    "shape", [(8192, 8192, 3), (100, 1, 3), (1, 100, 3), (8192, 82, 3), (480, 640, 3), (5, 5, 3)]
)
def test_images_that_pass_the_checks(detector, shape):
    out = detector(np.zeros(shape, np.uint8))
    assert len(out["results"]) == 2


@pytest.mark.parametrize(
    "shape", [(8193, 100, 3), (100, 8193, 3), (101, 1, 3), (1, 101, 3), (0, 640, 3), (640, 0, 3), (8192, 81, 3), (5, 5, 0)]
)
def test_images_that_fail_the_checks(detector, shape):
    with pytest.raises(ValueError) as info:
        detector(np.zeros(shape, np.uint8))
    exc = unchained(info, "Invalid input")
    assert exc.__context__ is None


def test_none_is_invalid_input(detector):
    with pytest.raises(ValueError) as info:
        detector(None)
    unchained(info, "Invalid input")


def test_argument_intake_errors_are_raised_as_they_are(detector):
    with pytest.raises(TypeError) as info:
        detector([[0, 0, 0]])
    assert str(info.value) == "Argument 'img' has incorrect type (expected numpy.ndarray, got list)"
    with pytest.raises(ValueError) as info:
        detector(np.zeros((480, 640), np.uint8))
    assert str(info.value) == "Buffer has wrong number of dimensions (expected 3, got 2)"
    with pytest.raises(ValueError) as info:
        detector(np.zeros((480, 640, 3), np.float32))
    assert str(info.value) == "Buffer dtype mismatch, expected 'uint8_t' but got 'float'"
    with pytest.raises(TypeError):
        detector(img=np.zeros((4, 4, 3), np.uint8))
    with pytest.raises(TypeError):
        detector()
    with pytest.raises(TypeError):
        detector(np.zeros((4, 4, 3), np.uint8), None)


def test_views_are_accepted(detector):
    big = np.zeros((960, 1280, 3), np.uint8)
    ro = np.zeros((480, 640, 3), np.uint8)
    ro.flags.writeable = False
    for img in (big[:, ::2], big[::-1], ro, np.broadcast_to(ro[:1], (100, 640, 3))):
        assert len(detector(img)["results"]) == 2


def test_channels_are_checked_by_the_engine(detector):
    for channels in (1, 2, 4):
        with pytest.raises(ValueError) as info:
            detector(np.zeros((48, 64, channels), np.uint8))
        exc = unchained(info, "Processing error")
        assert str(exc.__context__) == "PROCESSING_FAILED"


def test_interrupts_pass_through(detector, monkeypatch):
    def nms(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(zd, "nms", nms)
    with pytest.raises(KeyboardInterrupt):
        detector(np.zeros((8, 8, 3), np.uint8))


def test_each_call_is_independent(detector):
    img = np.zeros((48, 64, 3), np.uint8)
    first, second = detector(img), detector(img)
    assert first["results"] == second["results"] and first["results"] is not second["results"]


# ---------------------------------------------------------------------------
# Type


def test_type_surface(detector):
    t = zd.zv_road_object_detector
    assert t.__module__ == "zorvane_road_objects.zorvane_robj_d"
    assert t.__doc__ is None
    assert {k for k in dir(t) if not k.startswith("__")} == set()
    assert not hasattr(detector, "__dict__")
    for name in ("engine", "model_name", "conf_threshold"):
        assert not hasattr(detector, name)
    with pytest.raises(AttributeError):
        detector.engine = None


def test_subclass_and_cycle_collection(local):
    class Detector(zd.zv_road_object_detector):
        pass

    det = Detector("small_fp32")
    assert len(det(np.zeros((8, 8, 3), np.uint8))["results"]) == 2
    det.me = det
    ref = weakref.ref(det)
    del det
    gc.collect()
    assert ref() is None


def test_unconstructed_detector_is_processing_error():
    det = zd.zv_road_object_detector.__new__(zd.zv_road_object_detector)
    with pytest.raises(ValueError) as info:
        det(np.zeros((8, 8, 3), np.uint8))
    assert type(unchained(info, "Processing error").__context__) is AttributeError
