"""zv_robj_d: construction, execution providers, session, thresholds and
the checks and error codes of detect_objects."""

from __future__ import annotations

import gc
import weakref

import numpy as np
import onnxruntime
import pytest

from _models import fd2_to, fixed_rows_model, noisy_model, recording_session_class

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")

CAR = [[2, 0.57, 10, 20, 110, 220]]
CUDA, TRT, DML, CPU = (
    "CUDAExecutionProvider",
    "TensorrtExecutionProvider",
    "DmlExecutionProvider",
    "CPUExecutionProvider",
)


@pytest.fixture(scope="module")
def car_model():
    return fixed_rows_model(CAR)


@pytest.fixture
def recording(monkeypatch):
    cls = recording_session_class()
    monkeypatch.setattr(onnxruntime, "InferenceSession", cls)
    return cls


def image(h=480, w=640, c=3):
    return np.zeros((h, w, c), dtype=np.uint8)


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize("data", [b"", "", None, bytearray(), 0, [], False])
def test_falsy_model_data_is_invalid_before_onnxruntime_is_touched(data, monkeypatch):
    def untouchable():
        raise AssertionError("onnxruntime was asked")

    monkeypatch.setattr(onnxruntime, "get_available_providers", untouchable)
    with pytest.raises(Exception) as info:
        zd.zv_robj_d(data)
    assert type(info.value) is Exception and info.value.args == ("INVALID_DATA",)


@pytest.mark.parametrize("data", [b"not an onnx model", "/nonexistent/model.onnx", bytearray(b"\x00" * 10)])
def test_unloadable_model_is_model_load_failed(data):
    with pytest.raises(Exception) as info:
        zd.zv_robj_d(data)
    assert type(info.value) is Exception and str(info.value) == "MODEL_LOAD_FAILED"
    assert info.value.__context__ is None and info.value.__cause__ is None


def test_model_data_of_another_type_is_model_details_failed():
    with pytest.raises(Exception, match="^MODEL_DETAILS_FAILED$"):
        zd.zv_robj_d([1])


class StrPath(str):
    pass


class Bytes(bytes):
    pass


@pytest.mark.parametrize("kind", ["bytes", "bytearray", "bytes-subclass", "path", "path-subclass"])
def test_model_from_bytes_or_path(kind, car_model, tmp_path, recording):
    path = tmp_path / "m.onnx"
    path.write_bytes(car_model)
    data = {
        "bytes": car_model,
        "bytearray": bytearray(car_model),
        "bytes-subclass": Bytes(car_model),
        "path": str(path),
        "path-subclass": StrPath(str(path)),
    }[kind]
    engine = zd.zv_robj_d(data)
    [session] = recording.created
    if kind == "bytearray":
        assert type(session.model) is bytes and session.model == data
    else:
        assert session.model is data
    assert session.kwargs == {"providers": [CPU]}
    out = engine.detect_objects(image())
    assert out["results"][0]["class"] == "car"


def test_arguments_by_position_and_keyword(car_model):
    e = zd.zv_robj_d(car_model, 0.3)
    assert e.conf_threshold == pytest.approx(0.30000001192092896, abs=0) and e.iou_threshold == 0.5
    e = zd.zv_robj_d(model_path_byte=car_model, iou_thres=0.25, conf_thres=1, model_name="x",
                     backend="cpu")
    assert (e.conf_threshold, e.iou_threshold) == (1.0, 0.25)
    e = zd.zv_robj_d(car_model, np.float64(0.1), np.float32(0.2), None, None)
    assert e.conf_threshold == float(np.float32(0.1))


def test_threshold_conversion_comes_first():
    with pytest.raises(TypeError):
        zd.zv_robj_d(b"", "0.3")  # a str is not a float, even before INVALID_DATA
    with pytest.raises(TypeError):
        zd.zv_robj_d(b"", 0.5, None)


@pytest.mark.parametrize("field", ["model_name", "backend"])
@pytest.mark.parametrize("value, got", [(5, "int"), (StrPath("cpu"), "StrPath"), (b"cpu", "bytes")])
def test_truthy_text_arguments_must_be_exactly_str(field, value, got, car_model):
    with pytest.raises(TypeError, match=f"^Expected str, got {got}$"):
        zd.zv_robj_d(car_model, **{field: value})


@pytest.mark.parametrize("value", [None, "", 0, b""])
def test_falsy_text_arguments_mean_the_default(value, car_model, recording):
    zd.zv_robj_d(car_model, model_name=value, backend=value)
    assert recording.created[0].kwargs["providers"] == [CPU]


# ---------------------------------------------------------------------------
# Execution providers

ALL_GPU = [CUDA, TRT, DML, CPU]


@pytest.mark.parametrize(
    "available, backend, expected",
    [
        ([CPU], "auto", [CPU]),
        ([CPU], "cuda", [CPU]),
        ([CPU, "AzureExecutionProvider"], "directml", [CPU]),
        ([CPU, TRT, CUDA], "auto", [CUDA, TRT, CPU]),
        ([CPU, TRT, CUDA], "cuda", [CUDA, TRT, CPU]),
        ([CPU, TRT, CUDA], "directml", [CPU]),
        (ALL_GPU, "auto", [CUDA, TRT, DML, CPU]),
        (ALL_GPU, "AUTO", [CUDA, TRT, DML, CPU]),
        (ALL_GPU, "CUDA", [CUDA, TRT, CPU]),
        (ALL_GPU, "DirectML", [DML, CPU]),
        (ALL_GPU, "cpu", [CPU]),
        (ALL_GPU, " cuda", [CPU]),
        (ALL_GPU, "cuda ", [CPU]),
        (ALL_GPU, "tensorrt", [CPU]),
        (ALL_GPU, None, [CUDA, TRT, DML, CPU]),
        (ALL_GPU, "", [CUDA, TRT, DML, CPU]),
        ([DML], "auto", [DML]),
        ([TRT, DML], "cuda", [TRT]),
        (["AzureExecutionProvider"], "cpu", []),
        ([], "auto", []),
    ],
)
def test_provider_table(available, backend, expected, car_model, recording, monkeypatch):
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: list(available))
    engine = zd.zv_robj_d(car_model, backend=backend)
    [session] = recording.created
    assert session.kwargs == {"providers": expected}
    assert engine.detect_objects(image())["results"]


class ProviderList(list):
    pass


def test_available_providers_must_be_a_list(car_model, monkeypatch):
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: (CPU,))
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        zd.zv_robj_d(car_model)
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: None)
    with pytest.raises(TypeError, match="^Expected list, got NoneType$"):
        zd.zv_robj_d(car_model)
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: ProviderList([CPU]))
    zd.zv_robj_d(car_model)


def test_provider_query_errors_propagate(car_model, monkeypatch):
    def broken():
        raise RuntimeError("no providers")

    monkeypatch.setattr(onnxruntime, "get_available_providers", broken)
    with pytest.raises(RuntimeError, match="no providers"):
        zd.zv_robj_d(car_model)


# ---------------------------------------------------------------------------
# Session creation and names


def test_session_gets_the_names_and_runs_all_outputs(recording):
    engine = zd.zv_robj_d(fixed_rows_model(CAR, extra_outputs=2))
    engine.detect_objects(image())
    [session] = recording.created
    assert session.output_names_seen == [["detections", "extra0", "extra1"]]
    assert list(session.feeds[0]) == ["image", "im_shape", "scale_factor"]


@pytest.mark.parametrize("failure", ["inputs", "outputs", "nameless"])
def test_unreadable_session_details(failure, car_model, monkeypatch):
    base = recording_session_class()

    class Odd(base):
        def get_inputs(self):
            if failure == "inputs":
                raise RuntimeError("inputs")
            if failure == "nameless":
                return [object()]
            return super().get_inputs()

        def get_outputs(self):
            if failure == "outputs":
                raise KeyboardInterrupt  # swallowed too: the result only says "failed"
            return super().get_outputs()

    monkeypatch.setattr(onnxruntime, "InferenceSession", Odd)
    with pytest.raises(Exception, match="^MODEL_DETAILS_FAILED$"):
        zd.zv_robj_d(car_model)


def test_session_failure_of_any_exception_class_is_model_load_failed(car_model, monkeypatch):
    class Failing(onnxruntime.InferenceSession):
        def __init__(self, *a, **k):
            raise LookupError("cannot")

    monkeypatch.setattr(onnxruntime, "InferenceSession", Failing)
    with pytest.raises(Exception, match="^MODEL_LOAD_FAILED$"):
        zd.zv_robj_d(car_model)


def test_keyboard_interrupt_in_session_creation_propagates_and_restores_stderr(
    car_model, monkeypatch, tmp_path
):
    class Interrupted(onnxruntime.InferenceSession):
        def __init__(self, *a, **k):
            raise KeyboardInterrupt

    monkeypatch.setattr(onnxruntime, "InferenceSession", Interrupted)
    log = tmp_path / "err"
    with fd2_to(log):
        with pytest.raises(KeyboardInterrupt):
            zd.zv_robj_d(car_model)
        import os

        os.write(2, b"still here\n")
    assert log.read_bytes() == b"still here\n"


def test_session_creation_is_silenced(tmp_path):
    model = noisy_model()
    direct, silenced = tmp_path / "direct", tmp_path / "silenced"
    with fd2_to(direct):
        onnxruntime.InferenceSession(model, providers=[CPU])
    assert b"appears in graph inputs" in direct.read_bytes()
    with fd2_to(silenced):
        zd.zv_robj_d(model)
        print("after", file=__import__("sys").stderr)
    assert silenced.read_bytes() == b"after\n"


# ---------------------------------------------------------------------------
# Thresholds


@pytest.mark.parametrize("name", ["conf_threshold", "iou_threshold"])
def test_threshold_property(name, car_model):
    e = zd.zv_robj_d(car_model)
    assert getattr(e, name) == 0.5
    setattr(e, name, 0.3)
    assert getattr(e, name) == 0.30000001192092896
    setattr(e, name, 1)
    assert getattr(e, name) == 1.0 and type(getattr(e, name)) is float

    class Index:
        def __index__(self):
            return 2

    setattr(e, name, Index())
    assert getattr(e, name) == 2.0
    setattr(e, name, np.float64(-1e300))
    assert getattr(e, name) == float("-inf")
    top = float(np.finfo(np.float32).max)
    for value in (top, 2.0**128 - 2.0**103, np.nextafter(2.0**128 - 2.0**103, 0), float("nan")):
        setattr(e, name, value)
        with np.errstate(over="ignore"):
            expected = np.float64(value).astype(np.float32)
        assert np.float32(getattr(e, name)).tobytes() == expected.tobytes()
    setattr(e, name, 0.25)
    for bad in ("0.3", None, [0.3]):
        with pytest.raises(TypeError):
            setattr(e, name, bad)
        assert getattr(e, name) == 0.25
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(e, name)


def test_threshold_changes_apply_to_the_next_call(car_model):
    e = zd.zv_robj_d(car_model)
    assert len(e.detect_objects(image())["results"]) == 1
    e.conf_threshold = 0.57  # float32(0.57) equals the row's float32 score
    assert e.detect_objects(image())["results"] == []


# ---------------------------------------------------------------------------
# detect_objects: checks, result and error codes


def test_result_dict(car_model):
    out = zd.zv_robj_d(car_model).detect_objects(image())
    assert list(out) == ["results", "ltrb_proc_sec"]
    assert out["results"] == [
        {"ltrb": [10.0, 20.0, 110.0, 220.0], "ltrb_conf": 56, "class_id": 3, "class": "car"}
    ]
    t = out["ltrb_proc_sec"]
    assert type(t) is float and t >= 0.0 and round(t, 3) == t


def test_empty_result(monkeypatch):
    e = zd.zv_robj_d(fixed_rows_model(np.zeros((0, 6))))
    monkeypatch.setattr(zd, "time", FakeTime([100.0, 100.0004]))
    assert e.detect_objects(image()) == {"results": [], "ltrb_proc_sec": 0.0}
    monkeypatch.setattr(zd, "time", FakeTime([100.0, 100.1236]))
    assert e.detect_objects(image())["ltrb_proc_sec"] == 0.124


class FakeTime:
    """A `time` module whose time() answers the given values in turn."""

    def __init__(self, values):
        self.values = list(values)

    def time(self):
        return self.values.pop(0)


def test_argument_checks(car_model):
    e = zd.zv_robj_d(car_model)
    with pytest.raises(Exception) as info:
        e.detect_objects(None)
    assert type(info.value) is Exception and str(info.value) == "INVALID_INPUT_IMAGE"
    with pytest.raises(
        TypeError,
        match=r"^Argument 'image' has incorrect type \(expected numpy.ndarray, got list\)$",
    ):
        e.detect_objects([[0]])
    with pytest.raises(TypeError, match="got str"):
        e.detect_objects("img")
    with pytest.raises(TypeError):
        e.detect_objects(image=image())
    with pytest.raises(TypeError):
        e.detect_objects()
    with pytest.raises(
        ValueError, match=r"^Buffer has wrong number of dimensions \(expected 3, got 2\)$"
    ):
        e.detect_objects(np.zeros((480, 640), np.uint8))
    with pytest.raises(ValueError, match=r"^Buffer dtype mismatch, expected 'uint8_t' but got 'float'$"):
        e.detect_objects(np.zeros((480, 640, 3), np.float32))
    for dtype in (np.float64, np.uint16, np.int8):
        with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'uint8_t' but got"):
            e.detect_objects(np.zeros((4, 4, 3), dtype))


class Frame(np.ndarray):
    pass


def test_array_views_and_subclasses_are_accepted(car_model):
    e = zd.zv_robj_d(car_model)
    big = np.zeros((960, 1280, 3), np.uint8)
    ro = image()
    ro.flags.writeable = False
    for img in (big[::2, ::2], big[::-1], ro, image().view(Frame), np.asfortranarray(image())):
        assert e.detect_objects(img)["results"]


def processing_failed(engine, img):
    with pytest.raises(Exception) as info:
        engine.detect_objects(img)
    exc = info.value
    assert type(exc) is Exception and exc.args == ("PROCESSING_FAILED",)
    assert exc.__cause__ is None and not exc.__suppress_context__
    return exc.__context__


def test_pipeline_failures_are_processing_failed(car_model):
    e = zd.zv_robj_d(car_model)
    ctx = processing_failed(e, image(c=1))
    assert type(ctx) is ValueError
    assert str(ctx) == "Buffer has wrong number of dimensions (expected 3, got 2)"
    ctx = processing_failed(e, image(c=4))
    assert "could not broadcast input array from shape (480,640,4) into shape (480,640,3)" == str(ctx)
    import cv2

    assert type(processing_failed(e, image(1, 2000))) is cv2.error
    assert type(processing_failed(e, image(0, 0))) is cv2.error
    assert type(processing_failed(e, image(0, 5))) is cv2.error


def test_unconstructed_engine_is_processing_failed():
    import cv2

    e = zd.zv_robj_d.__new__(zd.zv_robj_d)  # no session, input size still 0
    assert type(processing_failed(e, image())) is cv2.error


@pytest.mark.parametrize(
    "transform, context, message",
    [
        (tuple, TypeError, "Expected list, got tuple"),
        (lambda r: [None], TypeError, "Cannot convert NoneType to numpy.ndarray"),
        (lambda r: [r[0].tolist()], TypeError, "Cannot convert list to numpy.ndarray"),
    ],
)
def test_bad_session_results(transform, context, message, car_model, monkeypatch):
    monkeypatch.setattr(onnxruntime, "InferenceSession", recording_session_class(transform))
    ctx = processing_failed(zd.zv_robj_d(car_model), image())
    assert type(ctx) is context and str(ctx) == message


@pytest.mark.parametrize("result", [None, []])
def test_no_outputs_mean_no_detections(result, car_model, monkeypatch):
    monkeypatch.setattr(onnxruntime, "InferenceSession", recording_session_class(lambda r: result))
    assert zd.zv_robj_d(car_model).detect_objects(image())["results"] == []


def test_interrupts_pass_through(car_model, monkeypatch):
    def interrupted(boxes, scores, iou):
        raise KeyboardInterrupt

    monkeypatch.setattr(zd, "nms", interrupted)
    with pytest.raises(KeyboardInterrupt):
        zd.zv_robj_d(car_model).detect_objects(image())


def test_failure_inside_an_except_block_chains_the_pipeline_error(car_model):
    e = zd.zv_robj_d(car_model)
    try:
        raise OSError("outer")
    except OSError:
        with pytest.raises(Exception) as info:
            e.detect_objects(image(c=1))
    assert type(info.value.__context__) is ValueError
    assert type(info.value.__context__.__context__) is OSError


# ---------------------------------------------------------------------------
# Type


def test_type_surface(car_model):
    t = zd.zv_robj_d
    assert t.__module__ == "zorvane_road_objects.zorvane_robj_d" and t.__name__ == "zv_robj_d"
    assert t.__doc__ is None and t.detect_objects.__doc__ is None
    assert t.conf_threshold.__doc__ is None
    public = {k for k in dir(t) if not k.startswith("__")}
    assert public == {"detect_objects", "conf_threshold", "iou_threshold"}
    e = t(car_model)
    with pytest.raises(AttributeError):
        e.session = None
    assert not hasattr(e, "__dict__")


def test_subclass_and_cycle_collection(car_model):
    class Engine(zd.zv_robj_d):
        pass

    e = Engine(car_model, 0.3)
    assert e.detect_objects(image())["results"][0]["ltrb_conf"] == 56
    e.me = e
    ref = weakref.ref(e)
    del e
    gc.collect()
    assert ref() is None


def test_bytearray_model_loads_without_any_wrapper(car_model):
    engine = zd.zv_robj_d(bytearray(car_model))
    assert engine.detect_objects(image())["results"][0]["class"] == "car"
