"""What tools/convert_models.py builds beyond the catalogue's own files:
networks run at sizes other than their export size, the mirrored second
pass and the merging of several networks' candidates."""

from __future__ import annotations

import runpy
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

pytest.importorskip("onnx")
import onnxruntime as ort  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
import convert_models as C  # noqa: E402
from _models import iou  # noqa: E402

BUS = REPO / "samples" / "street_bus_cc-by.jpg"
# Hand-checked boxes (left, top, right, bottom) in street_bus_cc-by.jpg.
BUS_BOX = (313, 66, 480, 311)
CAR_BOX = (4, 198, 134, 276)
PICO320, PICO416, YOLOX = "picodet_s_320_coco.onnx", "picodet_s_416_coco.onnx", "yolox_nano_416.onnx"

_P = runpy.run_path(str(REPO / "benchmarks" / "_pipelines.py"))


def run(networks, img, top_k=None):
    entry = C.CatalogueEntry("test", tuple(networks), "test", top_k)
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = 1
    sess = ort.InferenceSession(C.build(entry), opts, providers=["CPUExecutionProvider"])
    return sess.run(None, _P["canvas_inputs"](img))[0]


def best(rows, cls: int, box) -> float:
    return max((iou(r[2:], box) for r in rows if int(r[0]) == cls and r[1] > 0.3), default=0.0)


@pytest.mark.parametrize("net", [C.Network(PICO320, 384), C.Network(PICO416, 512), C.Network(PICO416, 256),
                                 C.Network(YOLOX, 640), C.Network(YOLOX, 320)],
                         ids=lambda n: f"{n.upstream[:10]}@{n.size}")
def test_network_at_another_size_finds_bus_and_car(net):
    rows = run([net], cv2.imread(str(BUS)))
    assert best(rows, 5, BUS_BOX) > 0.7 and best(rows, 2, CAR_BOX) > 0.8


@pytest.mark.parametrize("net", [C.Network(PICO320, 320, True), C.Network(YOLOX, 416, True)],
                         ids=["picodet", "yolox"])
def test_flip_pass_is_symmetric(net):
    """With the mirrored pass, a mirrored image gives the mirrored rows: a
    box mapped back with the wrong width or sides would break this."""
    img = cv2.imread(str(BUS))
    w = img.shape[1]
    rows = run([net], img, 1000)
    mirrored = run([net], np.ascontiguousarray(img[:, ::-1]), 1000)
    strong = rows[rows[:, 1] > 0.3]
    assert len(strong) >= 5
    for r in strong:
        back = (w - r[4], r[3], w - r[2], r[5])
        same = mirrored[mirrored[:, 0] == r[0]]
        match = max(same, key=lambda m: iou(m[2:], back))
        assert iou(match[2:], back) > 0.9 and abs(match[1] - r[1]) < 0.03


def test_flip_pass_finds_what_one_pass_finds():
    img = cv2.imread(str(BUS))
    one = run([C.Network(PICO320, 320)], img, 500)
    both = run([C.Network(PICO320, 320, True)], img, 1000)
    for r in one[one[:, 1] > 0.5]:
        assert best(both, int(r[0]), r[2:]) > 0.7


def test_merged_networks_keep_each_networks_strong_rows():
    img = cv2.imread(str(BUS))
    pico = run([C.Network(PICO416, 416)], img, 500)
    yolox = run([C.Network(YOLOX, 416)], img)
    merged = run([C.Network(PICO416, 416), C.Network(YOLOX, 416)], img, 1000)
    assert len(merged) <= 100
    for rows in (pico, yolox):
        for r in rows[rows[:, 1] > 0.5]:
            assert best(merged, int(r[0]), r[2:]) > 0.6


@pytest.mark.parametrize("size", [300, 16, 672])
def test_sizes_the_network_cannot_take_are_refused(size):
    with pytest.raises(SystemExit, match="multiple of 32"):
        C.build(C.CatalogueEntry("x", (C.Network(PICO320, size),), "x", None))


def test_pre_nms_cap_above_the_candidates_is_refused():
    with pytest.raises(SystemExit, match="fewer candidates"):
        C.build(C.CatalogueEntry("x", (C.Network(PICO320, 64),), "x", 10_000))
