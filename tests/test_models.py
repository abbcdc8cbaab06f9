"""The catalogue model files in models/: their interface, their reproducible
build from the upstream detectors, and what they detect through the
package's engine."""

from __future__ import annotations

import hashlib
import json
import runpy
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import cv2
import numpy as np
import onnxruntime as ort
import pytest

from zorvane_road_objects.zorvane_robj_d import zv_robj_d
from _models import iou  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
MODELS = REPO / "models"
NAMES = ("small_fp32", "medium_fp32", "large_fp32")
BUS = REPO / "samples" / "street_bus_cc-by.jpg"
BICYCLE = REPO / "samples" / "street_bicycle_cc-by-nd.jpg"

# Hand-checked boxes (left, top, right, bottom) in street_bus_cc-by.jpg
# (480 x 640): the airport bus on the right with its mirror, the black car
# on the left, and five pedestrians on the crossing.
BUS_BOX = (313, 66, 480, 311)
CAR_BOX = (4, 198, 134, 276)
PERSON_BOXES = (
    (154, 191, 179, 254),  # cyan top, backpack
    (190, 198, 216, 266),  # black top, denim shorts
    (250, 200, 282, 270),  # brown top
    (290, 201, 312, 276),  # beige top, jeans
    (312, 200, 340, 277),  # white shirt, black shorts
)


def model_bytes(name: str) -> bytes:
    return (MODELS / f"zorvane_robj_d_{name}.dat").read_bytes()


def best_iou(results, cls: str, box) -> float:
    return max((iou(r["ltrb"], box) for r in results if r["class"] == cls), default=0.0)


def read(path: Path) -> np.ndarray:
    img = cv2.imread(str(path), cv2.IMREAD_COLOR)
    assert img is not None, path
    return img


@pytest.fixture(scope="module", params=NAMES)
def name(request):
    return request.param


_engines: dict = {}
_sessions: dict = {}


def session(name: str) -> ort.InferenceSession:
    if name not in _sessions:
        _sessions[name] = ort.InferenceSession(model_bytes(name), providers=["CPUExecutionProvider"])
    return _sessions[name]


def engine(name: str, conf: float) -> zv_robj_d:
    key = (name, conf)
    if key not in _engines:
        _engines[key] = zv_robj_d(model_bytes(name), conf, 0.5, name, "cpu")
    return _engines[key]


# -- the files -----------------------------------------------------------------


def test_manifest_hashes_match_files():
    manifest = json.loads((MODELS / "MANIFEST.json").read_text())
    assert [m["name"] for m in manifest["models"]] == list(NAMES)
    for entry in manifest["models"]:
        data = (MODELS / entry["file"]).read_bytes()
        assert hashlib.sha256(data).hexdigest() == entry["sha256"]
        assert len(data) == entry["size"]
        assert entry["networks"]
        for net in entry["networks"]:
            upstream = (REPO / net["upstream"]).read_bytes()
            assert hashlib.sha256(upstream).hexdigest() == net["upstream_sha256"]


def test_converter_rebuilds_identical_files():
    pytest.importorskip("onnx")
    proc = subprocess.run([sys.executable, str(REPO / "tools" / "convert_models.py"), "--check"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.count("ok ") == len(NAMES) + 1  # the models and the manifest


def test_model_interface(name, capfd):
    capfd.readouterr()
    sess = ort.InferenceSession(model_bytes(name), providers=["CPUExecutionProvider"])
    # Loading warns about nothing (no weights among the graph inputs, no
    # unused initializers).
    assert "onnxruntime" not in capfd.readouterr().err
    inputs = [(i.name, i.type, i.shape) for i in sess.get_inputs()]
    assert inputs == [("image", "tensor(float)", [1, 3, 640, 640]),
                      ("im_shape", "tensor(float)", [1, 2]),
                      ("scale_factor", "tensor(float)", [1, 2])]
    outputs = sess.get_outputs()
    assert outputs[0].name == "detections" and outputs[0].type == "tensor(float)"
    assert len(outputs[0].shape) == 2 and outputs[0].shape[1] == 6


def test_black_canvas_gives_no_rows(name):
    out = session(name).run(None, {"image": np.zeros((1, 3, 640, 640), np.float32),
                          "im_shape": np.array([[640, 640]], np.float32),
                          "scale_factor": np.array([[1, 1]], np.float32)})[0]
    assert out.dtype == np.float32 and out.shape == (0, 6)


def test_rows_are_sorted_road_classes_at_most_100(name):
    out = session(name).run(None, _pipelines().canvas_inputs(read(BUS)))[0]
    assert out.ndim == 2 and out.shape[1] == 6 and 0 < len(out) <= 100
    assert set(out[:, 0].astype(int)) <= {0, 1, 2, 3, 5, 7, 9, 11}
    assert np.all(np.diff(out[:, 1]) <= 0) and np.all(out[:, 1] > 0.001)


# -- through the engine -----------------------------------------------------------


def test_street_bus_sample(name):
    results = engine(name, 0.5).detect_objects(read(BUS))["results"]
    assert best_iou(results, "bus", BUS_BOX) > 0.5
    assert best_iou(results, "car", CAR_BOX) > 0.5
    assert max(best_iou(results, "person", box) for box in PERSON_BOXES) > 0.5


@pytest.mark.parametrize("shape, value", [((480, 640, 3), 0), ((1, 1, 3), 0), ((1, 1, 3), 128),
                                          ((1, 1, 3), 255)])
def test_black_and_single_pixel_images(name, shape, value):
    img = np.full(shape, value, np.uint8)
    out = engine(name, 0.5).detect_objects(img)
    assert out["results"] == []
    if value == 0:  # nothing on the canvas: no rows at any threshold
        assert engine(name, 0.0).detect_objects(img)["results"] == []


@pytest.mark.parametrize("layout", ["tall", "wide"])
def test_boxes_inside_tall_and_wide_images(name, layout):
    img = np.vstack([read(BUS)] * 3) if layout == "tall" else np.hstack([read(BICYCLE)] * 3)
    h, w = img.shape[:2]
    results = engine(name, 0.05).detect_objects(img)["results"]
    assert len(results) >= 5
    for r in results:
        left, top, right, bottom = r["ltrb"]
        assert 0.0 <= left <= right <= w and 0.0 <= top <= bottom <= h, r


@pytest.mark.parametrize("factor", [1.0, 2.0, 0.5])
def test_boxes_follow_the_image_scale(name, factor):
    """The best bus box of the image scaled by factor, scaled back, lies on
    the bus. (How far left of the bus it reaches varies with the scale for
    the tiled model: hence 0.7, not more.)"""
    img = read(BUS)
    scaled = cv2.resize(img, None, fx=factor, fy=factor, interpolation=cv2.INTER_LINEAR) if factor != 1 else img
    box = best_box(engine(name, 0.5).detect_objects(scaled)["results"], "bus")
    assert iou([v / factor for v in box], BUS_BOX) > 0.7


def test_black_border_is_cropped_and_boxes_stay(name):
    img = read(BUS)
    bordered = cv2.copyMakeBorder(img, 0, 120, 0, 60, cv2.BORDER_CONSTANT, value=(0, 0, 0))
    base = best_box(engine(name, 0.5).detect_objects(img)["results"], "bus")
    box = best_box(engine(name, 0.5).detect_objects(bordered)["results"], "bus")
    assert iou(box, base) > 0.8


def best_box(results, cls: str):
    found = [r for r in results if r["class"] == cls]
    assert found, f"no {cls}"
    return max(found, key=lambda r: r["ltrb_conf"])["ltrb"]


# -- against the upstream model with its own pipeline --------------------------


def _pipelines():
    """The benchmarks' helper module (the engine's canvas feed in NumPy and
    OpenCV, the upstream models' native pipelines), loaded from the checkout."""
    global _pipelines_ns
    if _pipelines_ns is None:
        _pipelines_ns = SimpleNamespace(**runpy.run_path(str(REPO / "benchmarks" / "_pipelines.py")))
    return _pipelines_ns


_pipelines_ns = None


def _networks(name: str) -> list[dict]:
    manifest = json.loads((MODELS / "MANIFEST.json").read_text())
    return next(m for m in manifest["models"] if m["name"] == name)["networks"]


def _reference(pipelines, net: dict):
    """The upstream network of a manifest entry with its native pipeline,
    at the entry's input size: the exported graph fixes its size in its
    reshapes, so another size runs the converter's size-free rewrite of it
    (which gives the same outputs, see test_convert_passes)."""
    key = next(k for k, (file, _, _) in pipelines.CATALOGUE.items() if net["upstream"].endswith("/" + file))
    ref = pipelines.ReferenceDetector(key)
    if ref.size != net["input_size"]:
        onnx = pytest.importorskip("onnx")
        sys.path.insert(0, str(REPO / "tools"))
        import convert_passes

        model = onnx.load(str(REPO / net["upstream"]))
        weights = {t.name for t in model.graph.initializer}
        keep = [i for i in model.graph.input if i.name not in weights]
        del model.graph.input[:]
        model.graph.input.extend(keep)
        convert_passes.shuffle_to_gather(model.graph)
        del model.graph.input[:]
        model.graph.input.extend([onnx.helper.make_tensor_value_info(keep[0].name, onnx.TensorProto.FLOAT, None)])
        ref.session = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
        ref.size = net["input_size"]
        ref._anchors = ref._picodet_anchors() if ref.family == "picodet" else ref._yolox_grid()
    return ref


def test_matches_upstream_native_pipeline(name):
    """The strongest detections of the model's first network, run as
    upstream with its native preprocessing and decoding, reappear in the
    catalogue model's output with the same class, nearly the same box and
    nearly the same score (at least nearly the same where the model merges
    a mirrored pass or another network, which may have scored higher)."""
    pipelines = _pipelines()
    first = _networks(name)[0]
    merged = len(_networks(name)) > 1 or first["flip"]
    img = read(BUS)
    boxes, scores, classes = _reference(pipelines, first).detect(img)
    rows = session(name).run(None, pipelines.canvas_inputs(img))[0]
    road = [i for i, c in enumerate(classes) if c in pipelines.MODEL_INDEX_TO_COCO and scores[i] > 0.3]
    assert len(road) >= 5
    for i in road:
        same = rows[rows[:, 0] == classes[i]]
        match = max(same, key=lambda r: iou(r[2:], boxes[i]))
        assert iou(match[2:], boxes[i]) > (0.6 if merged else 0.85)
        assert match[1] - scores[i] > -0.1 and (merged or match[1] - scores[i] < 0.1)
