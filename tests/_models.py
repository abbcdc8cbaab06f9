"""Tiny ONNX models for the detector tests, built with onnx.helper.

Every model takes the detector's three inputs ("image" 1x3x640x640,
"im_shape" 1x2 and "scale_factor" 1x2, all float32).
"""

from __future__ import annotations

import contextlib
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
IR_VERSION = 8
SIDE = 640


def _inputs():
    return [
        helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, SIDE, SIDE]),
        helper.make_tensor_value_info("im_shape", TensorProto.FLOAT, [1, 2]),
        helper.make_tensor_value_info("scale_factor", TensorProto.FLOAT, [1, 2]),
    ]


def _model(nodes, outputs, initializers=(), extra_inputs=()):
    graph = helper.make_graph(
        nodes, "zv_test", _inputs() + list(extra_inputs), outputs, initializer=list(initializers)
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = IR_VERSION
    onnx.checker.check_model(model)
    return model.SerializeToString()


def _out(name, array):
    dtype = helper.np_dtype_to_tensor_dtype(array.dtype)
    return helper.make_tensor_value_info(name, dtype, list(array.shape))


def fixed_rows_model(rows, dtype=np.float32, extra_outputs=0) -> bytes:
    """A model whose first output "detections" is the constant `rows` (any
    shape); `extra_outputs` more constant outputs follow it."""
    arr = np.asarray(rows, dtype=dtype)
    nodes = [
        helper.make_node("Constant", [], ["detections"], value=numpy_helper.from_array(arr))
    ]
    outputs = [_out("detections", arr)]
    for i in range(extra_outputs):
        extra = np.full((2, 3), i, dtype=np.float32)
        nodes.append(
            helper.make_node("Constant", [], [f"extra{i}"], value=numpy_helper.from_array(extra))
        )
        outputs.append(_out(f"extra{i}", extra))
    return _model(nodes, outputs)


# Rows of the echo model: the four feed values of "im_shape" and
# "scale_factor" first, then the image tensor in C order, four values a row.
ECHO_ROWS = 1 + 3 * SIDE * SIDE // 4


def echo_model() -> bytes:
    """A model whose first output reveals its whole feed as detection rows:
    row 0 is [0, 1, im_shape[0], im_shape[1], scale[0], scale[1]], then row
    1 + k is [0, 1, image.flat[4k:4k+4]]. Every row is a "person" with score
    1.0, so with a pass-through `nms` all values come back as box floats."""
    lead = np.tile(np.array([[0.0, 1.0]], dtype=np.float32), (ECHO_ROWS, 1))
    shape4 = np.array([ECHO_ROWS - 1, 4], dtype=np.int64)
    shape14 = np.array([1, 4], dtype=np.int64)
    nodes = [
        helper.make_node("Constant", [], ["lead"], value=numpy_helper.from_array(lead)),
        helper.make_node("Constant", [], ["shape4"], value=numpy_helper.from_array(shape4)),
        helper.make_node("Constant", [], ["shape14"], value=numpy_helper.from_array(shape14)),
        helper.make_node("Concat", ["im_shape", "scale_factor"], ["aux"], axis=1),
        helper.make_node("Reshape", ["aux", "shape14"], ["aux_row"]),
        helper.make_node("Reshape", ["image", "shape4"], ["pixels"]),
        helper.make_node("Concat", ["aux_row", "pixels"], ["values"], axis=0),
        helper.make_node("Concat", ["lead", "values"], ["detections"], axis=1),
    ]
    out = helper.make_tensor_value_info("detections", TensorProto.FLOAT, [ECHO_ROWS, 6])
    return _model(nodes, [out])


def decode_echo(results):
    """(image tensor (1, 3, 640, 640), im_shape (1, 2), scale_factor (1, 2))
    from the detection records of the echo model, as float32 arrays."""
    values = np.array([r["ltrb"] for r in results], dtype=np.float64)
    assert values.shape == (ECHO_ROWS, 4)
    as32 = values.astype(np.float32)
    assert np.array_equal(as32.astype(np.float64), values)  # exact float32 values
    image = as32[1:].reshape(1, 3, SIDE, SIDE)
    return image, as32[0, :2].reshape(1, 2), as32[0, 2:].reshape(1, 2)


def noisy_model() -> bytes:
    """A valid model that makes ONNX Runtime warn on standard error while a
    session is created: its weight is listed among the graph inputs too."""
    weight = numpy_helper.from_array(np.zeros((2, 6), dtype=np.float32), "weight")
    weight_input = helper.make_tensor_value_info("weight", TensorProto.FLOAT, [2, 6])
    nodes = [helper.make_node("Identity", ["weight"], ["detections"])]
    out = helper.make_tensor_value_info("detections", TensorProto.FLOAT, [2, 6])
    return _model(nodes, [out], initializers=[weight], extra_inputs=[weight_input])


def reference_preprocess(image: np.ndarray):
    """The NumPy/OpenCV chain that the engine's preprocessing reproduces."""
    import cv2

    s_side = SIDE
    h, w = int(image.shape[0]), int(image.shape[1])
    m = max(h, w)
    s = np.float32(s_side) / np.float32(m)
    new_h = int(np.float32(h) * s)
    new_w = int(np.float32(w) * s)
    resized = cv2.resize(image, (new_w, new_h), interpolation=cv2.INTER_LINEAR)
    canvas = np.zeros((s_side, s_side, 3), dtype=np.uint8)
    canvas[:new_h, :new_w, :] = resized
    rgb = cv2.cvtColor(canvas, cv2.COLOR_BGR2RGB)
    x = rgb.astype(np.float32) / 255.0
    x = np.transpose(x, (2, 0, 1))
    x = np.expand_dims(x, axis=0)
    im_shape = np.array([[s_side, s_side]], dtype=np.float32)
    scale_factor = np.array([[s, s]], dtype=np.float32)
    return x, im_shape, scale_factor, (new_h, new_w)


# ---------------------------------------------------------------------------
# Sessions and streams.

def recording_session_class(transform=None):
    """A subclass of the real onnxruntime.InferenceSession that records the
    model argument and keyword arguments it was created with and every feed
    it runs on. The real session is created with the providers it can have,
    from bytes where it was handed a bytearray (which ONNX Runtime refuses).
    `transform(result)` may replace what `run` returns."""
    import onnxruntime
    from onnxruntime.capi import _pybind_state

    base = onnxruntime.InferenceSession
    # What the installed build really offers, whatever a test made
    # onnxruntime.get_available_providers answer.
    real_available = set(_pybind_state.get_available_providers())

    class RecordingSession(base):
        created: list = []

        def __init__(self, model, **kwargs):
            self.model = model
            self.kwargs = kwargs
            self.feeds = []
            self.output_names_seen = []
            type(self).created.append(self)
            wanted = [p for p in kwargs.get("providers", []) if p in real_available]
            if isinstance(model, bytearray):
                model = bytes(model)
            super().__init__(model, providers=wanted)

        def run(self, output_names, feed, *args, **kwargs):
            self.output_names_seen.append(output_names)
            self.feeds.append(feed)
            result = super().run(output_names, feed, *args, **kwargs)
            return transform(result) if transform else result

    RecordingSession.created = []
    return RecordingSession


@contextlib.contextmanager
def fd2_to(path):
    """Descriptor 2 and sys.stderr pointed at the file `path` for the block
    (native writes to standard error included)."""
    sys.stderr.flush()
    saved_fd, saved_stream = os.dup(2), sys.stderr
    with open(path, "wb") as f:
        os.dup2(f.fileno(), 2)
    sys.stderr = open(2, "w", closefd=False)
    try:
        yield
    finally:
        sys.stderr.flush()
        sys.stderr = saved_stream
        os.dup2(saved_fd, 2)
        os.close(saved_fd)


def iou(a, b) -> float:
    """Plain intersection over union of two [left, top, right, bottom] boxes."""
    iw = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    ih = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    inter = iw * ih
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter
    return inter / union if union > 0 else 0.0
