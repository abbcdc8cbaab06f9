"""The converter's graph rewrites (tools/convert_passes.py) give the same
results as the graphs they replace: on tiny graphs built with onnx.helper,
and on the real upstream networks."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
import onnxruntime as ort  # noqa: E402
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
import convert_passes as passes  # noqa: E402

UPSTREAM = REPO / "third_party" / "upstream_models"


def _const(name, value, dtype=np.float32):
    return numpy_helper.from_array(np.asarray(value, dtype), name)


def _model(nodes, inits, shape, out_shape=None, opset=passes.OPSET):
    graph = helper.make_graph(
        nodes, "t", [helper.make_tensor_value_info("x", TensorProto.FLOAT, shape)],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, out_shape)], initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])
    model.ir_version = 7
    return model


def _free_shapes(model):
    """Input and output of any shape (as a rewritten network is fed)."""
    for vi in (model.graph.input[0], model.graph.output[0]):
        vi.CopyFrom(helper.make_tensor_value_info(vi.name, TensorProto.FLOAT, None))


def _run(model, x):
    sess = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    return sess.run(None, {"x": x})[0]


def _hard_swish_graph(mul_order: str, divisor: float = 6.0, shift: float = 3.0, leak: bool = False):
    """x -> split hard-swish -> (optionally the clipped value also added)."""
    mul_in = ["x", "c"] if mul_order == "x_first" else ["c", "x"]
    nodes = [helper.make_node("Add", ["x", "three"], ["a"]),
             helper.make_node("Clip", ["a", "zero", "six"], ["c"]),
             helper.make_node("Mul", mul_in, ["m"]),
             helper.make_node("Div", ["m", "div"], ["h" if leak else "y"])]
    if leak:  # the clip's output is read elsewhere: nothing may be fused
        nodes.append(helper.make_node("Add", ["h", "c"], ["y"]))
    inits = [_const("three", shift), _const("zero", 0.0), _const("six", 6.0), _const("div", divisor)]
    return _model(nodes, inits, [2, 3, 4, 5])


@pytest.mark.parametrize("mul_order", ["x_first", "clip_first"])
def test_hard_swish_fused_with_identical_output(mul_order):
    model = _hard_swish_graph(mul_order)
    x = np.linspace(-8, 8, 120, dtype=np.float32).reshape(2, 3, 4, 5)
    before = _run(model, x)
    assert passes.fuse_hard_swish(model.graph) == 1
    assert [n.op_type for n in model.graph.node] == ["HardSwish"]
    assert not model.graph.initializer  # the pattern's constants went with it
    np.testing.assert_allclose(_run(model, x), before, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("kwargs", [{"divisor": 5.0}, {"shift": 2.0}, {"leak": True}])
def test_lookalike_patterns_are_left_alone(kwargs):
    model = _hard_swish_graph("x_first", **kwargs)
    ops = [n.op_type for n in model.graph.node]
    assert passes.fuse_hard_swish(model.graph) == 0
    assert [n.op_type for n in model.graph.node] == ops


def _shuffle_graph(c: int, h: int, w: int):
    nodes = [helper.make_node("Reshape", ["x", "s5"], ["r"]),
             helper.make_node("Transpose", ["r"], ["t"], perm=[0, 2, 1, 3, 4]),
             helper.make_node("Reshape", ["t", "s4"], ["y"])]
    inits = [_const("s5", [1, 2, c // 2, h, w], np.int64), _const("s4", [1, c, h, w], np.int64)]
    return _model(nodes, inits, [1, c, h, w])


def test_channel_shuffle_becomes_a_size_free_gather():
    model = _shuffle_graph(6, 4, 5)
    x = np.arange(6 * 4 * 5, dtype=np.float32).reshape(1, 6, 4, 5)
    before = _run(model, x)
    assert passes.shuffle_to_gather(model.graph) == 1
    assert [n.op_type for n in model.graph.node] == ["Gather"]
    np.testing.assert_array_equal(_run(model, x), before)
    # The exported shapes fixed batch 1 and 4 x 5; the Gather runs on any.
    _free_shapes(model)
    big = np.random.default_rng(0).random((2, 6, 7, 3), np.float32)
    expect = big.reshape(2, 2, 3, 7, 3).transpose(0, 2, 1, 3, 4).reshape(2, 6, 7, 3)
    np.testing.assert_array_equal(_run(model, big), expect)


def test_batch_free_reshape_and_opset_upgrade():
    nodes = [helper.make_node("Split", ["x"], ["p", "q"], axis=1, split=[2, 4]),
             helper.make_node("Reshape", ["q", "shape"], ["y"])]
    model = _model(nodes, [_const("shape", [1, 4, -1], np.int64)], [1, 6, 2, 3], opset=11)
    x = np.arange(36, dtype=np.float32).reshape(1, 6, 2, 3)
    before = _run(model, x)
    assert passes.batch_free_reshapes(model.graph) == 1
    passes.upgrade_opset(model.graph, 11)
    del model.opset_import[:]
    model.opset_import.extend([helper.make_opsetid("", passes.OPSET)])
    np.testing.assert_array_equal(_run(model, x), before)
    _free_shapes(model)
    x3 = np.concatenate([x, x + 1, x + 2])
    np.testing.assert_array_equal(_run(model, x3), x3[:, 2:].reshape(3, 4, 6))


@pytest.mark.parametrize("upstream", ["picodet_s_320_coco.onnx", "yolox_nano_416.onnx"])
def test_real_network_unchanged_by_the_rewrites(upstream):
    model = onnx.load(str(UPSTREAM / upstream))
    weights = {t.name for t in model.graph.initializer}
    keep = [i for i in model.graph.input if i.name not in weights]
    del model.graph.input[:]
    model.graph.input.extend(keep)
    name = keep[0].name
    size = keep[0].type.tensor_type.shape.dim[2].dim_value
    x = np.random.default_rng(1).normal(0, 1, (1, 3, size, size)).astype(np.float32)
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = 1
    before = ort.InferenceSession(model.SerializeToString(), opts, providers=["CPUExecutionProvider"]) \
        .run(None, {name: x})
    g = model.graph
    fused = passes.fuse_hard_swish(g)
    shuffles = passes.shuffle_to_gather(g)
    passes.batch_free_reshapes(g)
    passes.upgrade_opset(g, 11)
    del model.opset_import[:]
    model.opset_import.extend([helper.make_opsetid("", passes.OPSET)])
    if upstream.startswith("picodet"):
        # Every activation and every shuffle: only the eight output
        # transposes are left of those operators.
        assert fused == 87 and shuffles == 10
        assert [n.op_type for n in g.node if n.op_type in ("Clip", "Div", "Transpose")] == \
            ["Transpose"] * 8
    after = ort.InferenceSession(model.SerializeToString(), opts, providers=["CPUExecutionProvider"]) \
        .run(None, {name: x})
    for a, b in zip(after, before):
        np.testing.assert_allclose(a, b, rtol=1e-4, atol=1e-4)
