"""Tiled networks built by tools/convert_models.py (tools/convert_tiles.py):
the tile layout, boxes mapped back into the caller's pixels, objects cut
by a tile border, the whole-content branch next to the tiles, and the
weights shared between the two."""

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
import convert_tiles as T  # noqa: E402
from _models import iou  # noqa: E402

BUS = REPO / "samples" / "street_bus_cc-by.jpg"
# Hand-checked boxes (left, top, right, bottom) in street_bus_cc-by.jpg
# (640 high, 480 wide).
CAR_BOX = (4, 198, 134, 276)
PICO416, PICO320, YOLOX = "picodet_s_416_coco.onnx", "picodet_s_320_coco.onnx", "yolox_nano_416.onnx"
FULL = C.Network(PICO416, 480)
TILES = C.Network(PICO416, 416, tiles=(2, 2))
CAR = 2  # COCO-80 index

_P = runpy.run_path(str(REPO / "benchmarks" / "_pipelines.py"))
_sessions: dict = {}


def outputs(networks, img, margin: float = T.CUT_MARGIN) -> dict[str, np.ndarray]:
    """All outputs (the detections and each network's candidates) of the
    model of these networks on img."""
    key = (tuple(networks), margin)
    if key not in _sessions:
        saved, T.CUT_MARGIN = T.CUT_MARGIN, margin
        try:
            upstream = {n.upstream: (C.UPSTREAM_DIR / n.upstream).read_bytes() for n in networks}
            data = C.convert(C.CatalogueEntry("t", tuple(networks), "t", 2500), upstream, branch_outputs=True)
        finally:
            T.CUT_MARGIN = saved
        opts = ort.SessionOptions()
        opts.intra_op_num_threads = 1
        _sessions[key] = ort.InferenceSession(data, opts, providers=["CPUExecutionProvider"])
    sess = _sessions[key]
    return dict(zip([o.name for o in sess.get_outputs()], sess.run(None, _P["canvas_inputs"](img))))


@pytest.mark.parametrize("n, overlap", [(1, 0.0), (2, 0.25), (3, 0.2), (4, 0.5)])
def test_tiles_span_the_axis_and_overlap_as_asked(n, overlap):
    spans = T.tile_fractions(n, overlap)
    assert spans[0][0] == 0.0 and spans[-1][1] == 1.0
    sizes = [b - a for a, b in spans]
    assert np.allclose(sizes, sizes[0])
    for (a0, b0), (a1, _) in zip(spans, spans[1:]):
        assert (b0 - a1) == pytest.approx(overlap * sizes[0])


@pytest.mark.parametrize("factor", [1.5, 0.75])
@pytest.mark.parametrize("mirror", [False, True], ids=["left", "right"])
def test_tile_boxes_are_in_the_callers_pixels(factor, mirror):
    """The tiles alone find the car where it is in the caller's image,
    whatever the scale from image to canvas, in the left tiles and (image
    mirrored) in the right ones."""
    img = cv2.imread(str(BUS))
    car = (img.shape[1] - CAR_BOX[2], CAR_BOX[1], img.shape[1] - CAR_BOX[0], CAR_BOX[3]) if mirror else CAR_BOX
    img = np.ascontiguousarray(img[:, ::-1]) if mirror else img
    img = cv2.resize(img, None, fx=factor, fy=factor, interpolation=cv2.INTER_LINEAR)
    out = outputs((FULL, TILES), img)
    boxes, scores = out["candidates_1_boxes"][0], out["candidates_1_scores"][0][C.ROAD_CLASSES.index(CAR)]
    best = boxes[np.argmax(scores)]
    assert scores.max() > 0.5
    assert iou(best / factor, car) > 0.8
    h, w = img.shape[:2]
    rows = out["detections"]
    assert np.all(rows[:, 2:] >= 0) and np.all(rows[:, [4, 5]] <= [w, h])


def _straddling_car():
    """The sample's left part with a grey strip before it: the car then
    crosses the borders between the left and the right tiles."""
    img = cv2.imread(str(BUS))[:, :230]
    img = np.hstack([np.full((img.shape[0], 60, 3), 114, np.uint8), img])
    car = (CAR_BOX[0] + 60, CAR_BOX[1], CAR_BOX[2] + 60, CAR_BOX[3])
    w = img.shape[1]
    (_, left_end), (right_start, _) = T.tile_fractions(2, TILES.overlap)
    assert car[0] < right_start * w and car[2] > left_end * w   # cut by both tiles
    return img, car


def _strong_cars(rows, car):
    def share(r):   # how much of the row's box lies on the car
        ix = max(0.0, min(r[4], car[2]) - max(r[2], car[0]))
        iy = max(0.0, min(r[5], car[3]) - max(r[3], car[1]))
        return ix * iy / max((r[4] - r[2]) * (r[5] - r[3]), 1e-6)
    return [r for r in rows if int(r[0]) == CAR and r[1] > 0.5 and share(r) > 0.5]


def test_object_across_a_tile_border_gives_one_box():
    img, car = _straddling_car()
    found = _strong_cars(outputs((FULL, TILES), img)["detections"], car)
    assert len(found) == 1 and iou(found[0][2:], car) > 0.8


def test_without_dropping_cut_boxes_the_tiles_split_the_object():
    """The check above is not vacuous: the tiles do propose the car's cut
    halves, with higher scores than the whole car."""
    img, car = _straddling_car()
    found = _strong_cars(outputs((FULL, TILES), img, margin=-1e9)["detections"], car)
    assert len(found) >= 2 and iou(found[0][2:], car) < 0.8   # the best is a cut half


def test_whole_content_branch_equals_the_untiled_network():
    img = cv2.imread(str(BUS))
    alone = outputs((FULL,), img)
    tiled = outputs((FULL, TILES), img)
    for what in ("boxes", "scores"):
        np.testing.assert_array_equal(tiled[f"candidates_0_{what}"], alone[f"candidates_0_{what}"])
    # The tiles' candidates follow: four tiles' worth of the network's.
    assert tiled["candidates_1_boxes"].shape[1] == 4 * C.candidates(C.Network(PICO416, 416))


def test_two_networks_of_one_file_store_its_weights_once():
    upstream = {PICO416: (C.UPSTREAM_DIR / PICO416).read_bytes()}
    one = C.convert(C.CatalogueEntry("t", (FULL,), "t", 500), upstream)
    two = C.convert(C.CatalogueEntry("t", (FULL, TILES), "t", 2500), upstream)
    assert len(two) < 1.15 * len(one)


@pytest.mark.parametrize("net", [C.Network(YOLOX, 416, tiles=(2, 2)),
                                 C.Network(PICO320, 320, flip=True, tiles=(2, 2))], ids=["yolox", "flip"])
def test_tiles_other_than_plain_picodet_are_refused(net):
    with pytest.raises(SystemExit, match="tiles"):
        C.build(C.CatalogueEntry("x", (net,), "x", None))


def test_black_canvas_gives_no_rows_with_tiles():
    feed = {"image": np.zeros((1, 3, 640, 640), np.float32), "im_shape": np.array([[640, 640]], np.float32),
            "scale_factor": np.array([[1, 1]], np.float32)}
    upstream = {PICO416: (C.UPSTREAM_DIR / PICO416).read_bytes()}
    sess = ort.InferenceSession(C.convert(C.CatalogueEntry("t", (FULL, TILES), "t", 2500), upstream),
                                providers=["CPUExecutionProvider"])
    assert sess.run(None, feed)[0].shape == (0, 6)
