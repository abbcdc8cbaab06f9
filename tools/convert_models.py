#!/usr/bin/env python3
"""Build the catalogue model files from the upstream pretrained detectors.

    python tools/convert_models.py            # rebuild models/*.dat and models/MANIFEST.json
    python tools/convert_models.py --check    # rebuild in memory, compare with models/ (exit 1 on a difference)
    python tools/convert_models.py --out DIR  # write the files somewhere else

Needs numpy and onnx (a development dependency, not a runtime one). A
catalogue model runs one or more upstream networks (third_party/
upstream_models/) inside a graph with the detector's model interface:

inputs
    "image"         float32 1x3x640x640: the caller's BGR image scaled by s into
                    the top-left corner of a black canvas, as RGB / 255
    "im_shape"      float32 1x2: the canvas size, [[640, 640]]
    "scale_factor"  float32 1x2: [[s, s]]
output
    "detections"    float32 N x 6 (N may be 0), rows [COCO class index 0-79,
                    score, left, top, right, bottom] in the caller's pixels,
                    best first

Each network is first rewritten (convert_passes.py): the split hard-swish
activations fused into HardSwish, the channel shuffles' fixed-shape reshapes
replaced by a Gather, so that it runs at any input size (a multiple of 32)
and batch, and the opset raised to 14. Around the networks the graph
rebuilds each network's input convention from the canvas and decodes its
raw outputs:

1. The content extent (Hc x Wc canvas pixels) is the last non-zero row and
   column of the canvas. Black rows or columns at the bottom or right of an
   image carry nothing, so cropping them loses nothing as long as the boxes
   are mapped back through the same extent. An all-black canvas has no
   extent and gives no rows.
2. PicoDet: the crop is stretched to S x S (bilinear, half-pixel centres, no
   antialiasing: the sampling of OpenCV's INTER_LINEAR) and normalised with
   the ImageNet mean and deviation. YOLOX: the crop is resized to the
   letterbox size that its reference computes from the image size (recovered
   from s and the extent), padded bottom-right with grey 114 and handed over
   as BGR 0-255. Per-channel factors and the channel order are folded into
   the network's first convolution. With `flip`, the network's input and
   its mirror image go through it as one batch of two. With `tiles`, the
   network sees a grid of overlapping tiles of the content instead, each
   stretched to S x S, as one batch (convert_tiles.py); its boxes that an
   inner tile border cuts off are dropped. Networks of one upstream file
   share its weights.
3. Decoding (distribution focal loss boxes for PicoDet, grid/exp boxes and
   objectness x class score for YOLOX) of the eight road classes, the
   mirrored pass's boxes mirrored back, the candidates of all passes and
   networks joined, boxes mapped to the caller's pixels, ONNX
   NonMaxSuppression per class (IoU 0.6, score > 0.001), the best 100 rows
   overall (a tier may set another cap), boxes clipped to the image.

The output is deterministic: the same upstream bytes give the same model
bytes, whatever the onnx version (no shape inference, no checker rewrite,
fixed IR version and producer fields, deterministic serialisation).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.path.insert(0, str(Path(__file__).resolve().parent))
import convert_passes as passes  # noqa: E402
import convert_tiles as tiles  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
UPSTREAM_DIR = REPO / "third_party" / "upstream_models"
MODELS_DIR = REPO / "models"
MANIFEST = "MANIFEST.json"

CANVAS = 640
UPSTREAM_OPSET = 11
OPSET = passes.OPSET
IR_VERSION = 7
IOU_THRESHOLD = 0.6
SCORE_THRESHOLD = 0.001
MAX_DETECTIONS = 100
OUTPUT_NAME = "detections"

PICODET_MEAN = (123.675, 116.28, 103.53)
PICODET_STD = (58.395, 57.12, 57.375)
PICODET_REG_MAX = 7
DFL_CAP = 60.0
PICODET_STRIDES = (8, 16, 32, 64)
# PicoDet's scores rarely fall under the threshold, so every anchor would
# reach the suppression: only the best 500 candidates (all classes together)
# do. On COCO images this gives the same mAP as all of them in a quarter of
# the time.
PICODET_PRE_NMS_TOP_K = 500
YOLOX_STRIDES = (8, 16, 32)
YOLOX_PAD = 114.0
NUM_CLASSES = 80
# The catalogue's names, file names and classes are the package's shared
# facts; the tiers below say how each catalogue model is built.
FACTS = json.loads((Path(__file__).resolve().parent.parent / "src" / "zorvane_road_objects"
                    / "facts.json").read_text(encoding="utf-8"))
# COCO-80 indices of the detector's classes, ascending.
ROAD_CLASSES = tuple(sorted(c["model_id"] for c in FACTS["classes"]))


@dataclass(frozen=True)
class Network:
    """One upstream network in a catalogue model: run at `size` x `size`,
    and with `flip` a second time on the mirrored image (one batch of two),
    its candidates joining the first pass's before the suppression. With
    `tiles` (rows, cols) it sees, instead of the whole content, that grid of
    tiles of it overlapping by `overlap` of a tile, each at size x size (one
    batch; PicoDet only, see convert_tiles). Two networks of one upstream
    file in a model share its weights."""
    upstream: str
    size: int
    flip: bool = False
    tiles: tuple[int, int] | None = None
    overlap: float = 0.25

    def settings(self) -> dict:
        """The network's entry in the manifest and the model's metadata."""
        out = {"upstream": self.upstream, "input_size": self.size, "flip": self.flip}
        if self.tiles:
            out.update(tiles=list(self.tiles), overlap=self.overlap)
        return out


@dataclass(frozen=True)
class CatalogueEntry:
    name: str
    networks: tuple[Network, ...]
    description: str
    # Only the best k candidates (all classes together) reach the
    # suppression; None: all above the score threshold.
    pre_nms_top_k: int | None
    # At most this many output rows.
    max_detections: int = MAX_DETECTIONS


_PICODET_SOURCE = ("PP-PicoDet weights released by PaddleDetection (PaddlePaddle Authors, "
                   "Apache-2.0), ONNX export from the public repository hpc203/picodet-onnxruntime")
_YOLOX_SOURCE = ("YOLOX weights released by Megvii (Apache-2.0), ONNX export from the public "
                 "repository Bigisland1729/object-detection-models")

# upstream file -> (family, export size, description, source)
UPSTREAM = {
    "yolox_nano_416.onnx": ("yolox", 416, "YOLOX-Nano (Megvii)", _YOLOX_SOURCE),
    "picodet_s_320_coco.onnx": ("picodet", 320, "PP-PicoDet-S 320 weights (PaddleDetection)",
                                _PICODET_SOURCE),
    "picodet_s_416_coco.onnx": ("picodet", 416, "PP-PicoDet-S 416 weights (PaddleDetection)",
                                _PICODET_SOURCE),
}

# The tiers, chosen by measurements on the development set (see
# models/README.md): PicoDet-S 416's weights gain from a larger input than
# their export size; the whole content at 480 with 2 x 2 tiles at 416 beside
# it (one network's weights) gains most on small objects; a mirrored pass,
# a second scale or YOLOX-Nano's candidates gained less.
CATALOGUE = (
    CatalogueEntry("small_fp32", (Network("picodet_s_320_coco.onnx", 320),),
                   "PP-PicoDet-S 320 at 320 x 320, COCO 80 classes", PICODET_PRE_NMS_TOP_K),
    CatalogueEntry("medium_fp32", (Network("picodet_s_416_coco.onnx", 480),),
                   "PP-PicoDet-S 416 at 480 x 480, COCO 80 classes", PICODET_PRE_NMS_TOP_K),
    CatalogueEntry("large_fp32", (Network("picodet_s_416_coco.onnx", 480),
                                  Network("picodet_s_416_coco.onnx", 416, tiles=(2, 2), overlap=0.25)),
                   "PP-PicoDet-S 416 at 480 x 480 and on 2 x 2 overlapping tiles at 416 x 416, "
                   "COCO 80 classes", 5 * PICODET_PRE_NMS_TOP_K),
)
if [e.name for e in CATALOGUE] != FACTS["catalogue"]["models"]:
    raise SystemExit("convert_models: the tiers here do not match the catalogue of facts.json "
                     f"({FACTS['catalogue']['models']}); give each catalogue model one tier")


def describe(networks: tuple[Network, ...]) -> str:
    return " + ".join(f"{UPSTREAM[n.upstream][2]} at {n.size}{' with flip' if n.flip else ''}"
                      f"{f' on {n.tiles[0]} x {n.tiles[1]} tiles' if n.tiles else ''}"
                      for n in networks)


def model_file_name(name: str) -> str:
    return f"{FACTS['catalogue']['file_prefix']}{name}{FACTS['catalogue']['file_suffix']}"


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class Builder:
    """Appends nodes and constants to a graph under a private name prefix."""

    def __init__(self, graph: onnx.GraphProto, prefix: str = "zv/"):
        self.graph = graph
        self.prefix = prefix
        self.nodes: list[onnx.NodeProto] = []
        self.count = 0

    def _name(self, hint: str) -> str:
        self.count += 1
        return f"{self.prefix}{hint}_{self.count}"

    def const(self, value, dtype=np.float32, hint: str = "c") -> str:
        name = self._name(hint)
        arr = np.asarray(value, dtype=dtype)
        self.graph.initializer.append(numpy_helper.from_array(arr, name))
        return name

    def op(self, op_type: str, inputs, n_out: int = 1, hint: str | None = None,
           out: str | None = None, **attrs):
        base = self._name(hint or op_type.lower())
        inputs = list(inputs)
        # Since opset 13 these sizes and axes are inputs, not attributes.
        if op_type == "Split" and "split" in attrs:
            inputs.append(self.const(attrs.pop("split"), np.int64, "split"))
        if op_type in ("Squeeze", "Unsqueeze") and "axes" in attrs:
            inputs.append(self.const(attrs.pop("axes"), np.int64, "axes"))
        outs = [base] if n_out == 1 else [f"{base}:{i}" for i in range(n_out)]
        if out is not None:
            outs[0] = out
        self.nodes.append(helper.make_node(op_type, list(inputs), outs, name=base, **attrs))
        return outs[0] if n_out == 1 else outs


def _initializer(g: onnx.GraphProto, name: str) -> onnx.TensorProto:
    for t in g.initializer:
        if t.name == name:
            return t
    raise SystemExit(f"no initializer {name!r}")


def _set_initializer(g: onnx.GraphProto, name: str, value: np.ndarray) -> None:
    if len(_consumers(g, name)) != 1:
        raise SystemExit(f"weight {name!r} is shared; cannot fold into it")
    t = _initializer(g, name)
    t.CopyFrom(numpy_helper.from_array(value.astype(numpy_helper.to_array(t).dtype), name))


def _consumers(g: onnx.GraphProto, name: str) -> list[onnx.NodeProto]:
    return [n for n in g.node if name in n.input]


def _content_extent(b: Builder):
    """The canvas extent of the pasted image as [Hc, Wc]: float (at least 1)
    and int64, and a [1] flag that is 1 when the canvas holds anything at all
    and 0 when it is entirely black."""
    # Pixels are >= 0: a row or column is black exactly when its maximum or
    # its sum is 0. On the canvas seen as (3 x 640) rows of 640: row maxima
    # reduce the contiguous axis; column sums are one matrix product with a
    # row of ones (a reduction over the leading axis costs several times
    # more).
    flat = b.op("Reshape", ["image", b.const([3 * CANVAS, CANVAS], np.int64)])
    rows = b.op("Reshape", [b.op("ReduceMax", [flat], axes=[1], keepdims=0), b.const([3, CANVAS], np.int64)])
    rows = b.op("ReduceMax", [rows], axes=[0], keepdims=1)                         # 1 x H
    cols = b.op("Gemm", [b.const(np.ones((1, 3 * CANVAS))), flat])                 # 1 x W
    ramp = b.const(np.arange(1, CANVAS + 1), hint="ramp")
    marked = b.op("Mul", [b.op("Sign", [b.op("Concat", [rows, cols], axis=0)]), ramp])
    ext = b.op("ReduceMax", [marked], axes=[1], keepdims=0, hint="extent")      # [Hc, Wc]
    one = b.const([1.0])
    present = b.op("Min", [b.op("ReduceMin", [ext], axes=[0], keepdims=1), one], hint="present")
    ext = b.op("Max", [ext, one], hint="extent1")
    return ext, b.op("Cast", [ext], to=TensorProto.INT64), present


def _crop_resize(b: Builder, ext_i: str, sizes: str) -> str:
    """Bilinear resize of the canvas content to sizes (NCHW), sampled like
    OpenCV's INTER_LINEAR (half-pixel centres, edge pixels repeated, no
    antialiasing)."""
    crop = b.op("Slice", ["image", b.const([0, 0], np.int64), ext_i, b.const([2, 3], np.int64)],
                hint="crop")
    return b.op("Resize", [crop, b.const(np.zeros(0), np.float32, "roi"),
                           b.const(np.zeros(0), np.float32, "scales"), sizes],
                mode="linear", coordinate_transformation_mode="half_pixel", hint="resize")


XYXY = np.array([1, 0, 1, 0], np.int64)   # [y, x] pairs -> [x, y, x, y]


def _to_caller_pixels(b: Builder, boxes: str, factor: str) -> str:
    """boxes [1, 4, N] (rows x1 y1 x2 y2) times factor [1, 2] ([y, x]) ->
    [1, N, 4], the layout of NonMaxSuppression."""
    f4 = b.op("Reshape", [b.op("Gather", [factor, b.const(XYXY, np.int64)], axis=1),
                          b.const([1, 4, 1], np.int64)])
    return b.op("Transpose", [b.op("Mul", [boxes, f4])], perm=[0, 2, 1])


def _suppress_and_emit(b: Builder, boxes: str, scores: str, ext: str, present: str,
                       pre_nms_top_k: int | None, max_detections: int = MAX_DETECTIONS) -> None:
    """boxes [1, N, 4] (x1 y1 x2 y2 in the caller's pixels), scores [1, 8, N]
    of ROAD_CLASSES: NMS per class, the best max_detections overall, boxes
    clipped to the image, written as the output rows."""
    threshold = b.const([SCORE_THRESHOLD])
    if pre_nms_top_k:
        # Only the best pre_nms_top_k candidates (all classes together)
        # reach the suppression: the threshold rises to the k-th best score.
        best = b.op("TopK", [b.op("Reshape", [scores, b.const([-1], np.int64)]),
                             b.const([pre_nms_top_k], np.int64)],
                    n_out=2, axis=0, largest=1, sorted=1)[0]
        kth = b.op("Gather", [best, b.const([pre_nms_top_k - 1], np.int64)], axis=0)
        threshold = b.op("Max", [kth, threshold])
    # A canvas without content lifts the threshold above every score.
    threshold = b.op("Add", [b.op("Mul", [b.op("Sub", [b.const([1.0]), present]), b.const([2.0])]),
                             threshold])
    selected = b.op("NonMaxSuppression",
                    [boxes, scores, b.const([max_detections], np.int64),
                     b.const([IOU_THRESHOLD]), threshold], hint="nms")          # M x (0, c, j)
    sel_scores = b.op("GatherND", [scores, selected])                           # M
    n = b.op("Min", [b.op("Shape", [sel_scores]), b.const([max_detections], np.int64)])
    top_scores, order = b.op("TopK", [sel_scores, n], n_out=2, axis=0, largest=1, sorted=1)
    top = b.op("Gather", [selected, order], axis=0)                            # n x 3
    cls = b.op("Gather", [b.const(np.array(ROAD_CLASSES, np.float32).reshape(-1, 1)),
                          b.op("Gather", [top, b.const(1, np.int64)], axis=1)], axis=0)  # n x 1
    picked = b.op("GatherND", [boxes, b.op("Gather", [top, b.const([0, 2], np.int64)], axis=1)])
    # Clip to the image: its canvas extent (never beyond the canvas) over s,
    # floored: extent <= side * s, so this never exceeds the image's side.
    upper = b.op("Div", [b.op("Min", [ext, "im_shape"]), "scale_factor"])
    upper = b.op("Floor", [b.op("Add", [upper, b.const([1e-3])])])
    upper = b.op("Gather", [upper, b.const(XYXY, np.int64)], axis=1)
    picked = b.op("Min", [b.op("Max", [picked, b.const([0.0])]), upper])
    b.op("Concat", [cls, b.op("Unsqueeze", [top_scores], axes=[1]), picked], axis=1, out=OUTPUT_NAME)


def _channel_major(g: onnx.GraphProto, output: str) -> str:
    """The network output `output` is Transpose(x, [0, 2, 1]) of a
    channel-major x [1, C, N]: drop that transpose and return x."""
    node = next((n for n in g.node if output in n.output), None)
    perm = [helper.get_attribute_value(a) for a in node.attribute if a.name == "perm"] if node else []
    if node is None or node.op_type != "Transpose" or perm != [[0, 2, 1]]:
        raise SystemExit(f"unexpected network output layout at {output!r}")
    g.node.remove(node)
    return node.input[0]


def _picodet_anchors(size: int):
    """Anchor centres and strides, [2, N] (rows x, y) and [N]."""
    centres, strides = [], []
    for stride in PICODET_STRIDES:
        n = -(-size // stride)
        ys, xs = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
        centres.append(np.stack([xs.reshape(-1), ys.reshape(-1)]) * stride + stride / 2)
        strides.append(np.full(n * n, stride))
    return np.concatenate(centres, axis=1), np.concatenate(strides)


def _flip_batch(b: Builder, x: str, out: str | None = None) -> str:
    """x [1, C, H, W] -> [2, C, H, W]: x and x mirrored left to right."""
    mirrored = b.op("Slice", [x, b.const([-1], np.int64), b.const([np.iinfo(np.int64).min], np.int64),
                              b.const([3], np.int64), b.const([-1], np.int64)], hint="mirror")
    return b.op("Concat", [x, mirrored], axis=0, out=out)


def _merge_flip(b: Builder, boxes: str, scores: str, width: str):
    """boxes [2, 4, N] (x1 y1 x2 y2 in network pixels) and scores [2, 8, N]
    of the plain and the mirrored pass -> [1, 4, 2N] and [1, 8, 2N], the
    mirrored boxes mapped back: x1 = width - x2', x2 = width - x1'."""
    plain, mirrored = b.op("Split", [boxes], n_out=2, axis=0, split=[1, 1])
    back = b.op("Mul", [b.op("Gather", [mirrored, b.const([2, 1, 0, 3], np.int64)], axis=1),
                        b.const(np.array([-1, 1, -1, 1]).reshape(1, 4, 1))])
    back = b.op("Add", [back, b.op("Mul", [width, b.const(np.array([1, 0, 1, 0]).reshape(1, 4, 1))])])
    s_plain, s_mirrored = b.op("Split", [scores], n_out=2, axis=0, split=[1, 1])
    return (b.op("Concat", [plain, back], axis=2), b.op("Concat", [s_plain, s_mirrored], axis=2))


def _picodet_network(b: Builder, g: onnx.GraphProto, net: Network, net_in: str, ext: str, ext_i: str):
    """The PicoDet network g fed from the canvas: its candidates, boxes
    [1, N, 4] in the caller's pixels and road-class scores [1, 8, N]."""
    size = net.size
    if len(g.output) != 8:
        raise SystemExit("PicoDet: expected 4 score and 4 box outputs")
    cls_outs = [_channel_major(g, o.name) for o in g.output[:4]]                  # B x 80 x n
    reg_outs = [_channel_major(g, o.name) for o in g.output[4:8]]                 # B x 32 x n

    # The network wants (255 x - mean) / std. Its first layer is a
    # convolution of the input alone, so the per-channel factor 255 / std
    # goes into its weights and only x - mean / 255 is left to compute.
    first = _consumers(g, g.input[0].name)
    if len(first) != 1 or first[0].op_type != "Conv" or list(first[0].input).count(g.input[0].name) != 1 \
            or first[0].input[0] != g.input[0].name:
        raise SystemExit("PicoDet: expected one convolution on the input")
    w = numpy_helper.to_array(_initializer(g, first[0].input[1])).astype(np.float64)
    _set_initializer(g, first[0].input[1], w * (255.0 / np.array(PICODET_STD)).reshape(1, 3, 1, 1))
    first[0].input[0] = net_in

    if net.tiles:
        resized, lo, hi = tiles.tile_views(b, ext, net.tiles, net.overlap, size)
    else:
        resized = _crop_resize(b, ext_i, b.const([1, 3, size, size], np.int64))
    mean = np.array(PICODET_MEAN, np.float32).reshape(1, 3, 1, 1) / np.float32(255.0)
    if net.flip:
        _flip_batch(b, b.op("Sub", [resized, b.const(mean)]), net_in)
    else:
        b.op("Sub", [resized, b.const(mean)], out=net_in)

    road = b.const(list(ROAD_CLASSES), np.int64)
    scores = b.op("Concat", [b.op("Gather", [o, road], axis=1) for o in cls_outs], axis=2)  # B x 8 x N
    # Distribution focal loss: per side a softmax over REG_MAX + 1 bins and
    # its expectation, as two exp-weighted sums; the logits are capped so that
    # exp cannot overflow (trained logits stay far below the cap).
    reg = b.op("Exp", [b.op("Clip", [b.op("Concat", reg_outs, axis=2), b.const(-1e4), b.const(DFL_CAP)])])
    bins = PICODET_REG_MAX + 1
    weights = np.zeros((8, 4 * bins), np.float32)
    for side in range(4):
        weights[side, side * bins:(side + 1) * bins] = np.arange(bins)
        weights[4 + side, side * bins:(side + 1) * bins] = 1.0
    num, den = b.op("Split", [b.op("MatMul", [b.const(weights), reg])], n_out=2, axis=1, split=[4, 4])
    centres, strides = _picodet_anchors(size)
    signs = np.array([-1, -1, 1, 1]).reshape(4, 1)
    boxes = b.op("Add", [b.op("Mul", [b.op("Div", [num, den]), b.const(strides * signs)]),
                         b.const(np.concatenate([centres, centres]))])                 # B x 4 x N
    if net.flip:
        boxes, scores = _merge_flip(b, boxes, scores, b.const([float(size)]))
    if net.tiles:  # tiles -> canvas pixels -> caller's pixels (divide by s)
        boxes, scores = tiles.merge_tiles(b, boxes, scores, lo, hi, net.tiles, net.overlap, size)
        return _to_caller_pixels(b, boxes, b.op("Reciprocal", ["scale_factor"])), scores

    # Network pixels -> canvas pixels (the crop was stretched to size x size)
    # -> caller's pixels (divide by s), per axis.
    factor = b.op("Div", [ext, b.op("Mul", ["scale_factor", b.const([float(size)])])])
    return _to_caller_pixels(b, boxes, factor), scores


def _yolox_grid(size: int):
    """Grid cells and strides, [2, N] (rows x, y) and [N]."""
    grids, strides = [], []
    for stride in YOLOX_STRIDES:
        n = size // stride
        ys, xs = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
        grids.append(np.stack([xs.reshape(-1), ys.reshape(-1)]))
        strides.append(np.full(n * n, stride))
    return np.concatenate(grids, axis=1), np.concatenate(strides)


def _yolox_letterbox_size(b: Builder, ext: str, size: int) -> str:
    """[th, tw], the letterbox size that the reference computes from the
    image's height and width, trunc(side * size / longest), recovered from
    the canvas extent and s.

    In double precision, like the reference. The longest side is 640 / s
    rounded. When the canvas enlarged the image (s >= 1) a side is the one
    integer whose canvas extent is what we see; when it shrank it, the side
    is only known within 1 / s and the middle of that range is taken."""
    dbl = TensorProto.DOUBLE
    s = b.op("Cast", [b.op("Squeeze", ["scale_factor"], axes=[0])], to=dbl)      # [s_y, s_x]
    c = b.op("Cast", [ext], to=dbl)
    longest = b.op("Floor", [b.op("Add", [b.op("Div", [b.const([float(CANVAS)], np.float64), s]),
                                          b.const([0.5], np.float64)])])
    enlarged = b.op("Ceil", [b.op("Sub", [b.op("Div", [c, s]), b.const([1e-4], np.float64)])])
    shrunk = b.op("Div", [b.op("Add", [c, b.const([0.5], np.float64)]), s])
    side = b.op("Where", [b.op("Less", [s, b.const([1.0], np.float64)]), shrunk, enlarged])
    target = b.op("Floor", [b.op("Mul", [side, b.op("Div", [b.const([float(size)], np.float64), longest])])])
    target = b.op("Min", [b.op("Max", [target, b.const([1.0], np.float64)]),
                          b.const([float(size)], np.float64)])
    return b.op("Cast", [target], to=TensorProto.INT64)


def _yolox_network(b: Builder, g: onnx.GraphProto, net: Network, net_in: str, ext: str, ext_i: str):
    """The YOLOX network g fed from the canvas: its candidates, boxes
    [1, N, 4] in the caller's pixels and road-class scores [1, 8, N]."""
    size = net.size
    if len(g.output) != 1:
        raise SystemExit("YOLOX: expected one output")
    raw = _channel_major(g, g.output[0].name)                                         # B x 85 x N

    # The network wants BGR 0-255. Its input only passes through the
    # space-to-depth slices (spatial axes) into one concatenation and one
    # convolution, so the channel order and the factor 255 go into that
    # convolution's weights: concatenated channel 3 g + j reads input
    # channel j of slice g.
    focus = _consumers(g, g.input[0].name)
    concat = None
    for node in focus:
        chain = node
        while chain.op_type == "Slice":
            axes = numpy_helper.to_array(_initializer(g, chain.input[3])).tolist()
            nxt = _consumers(g, chain.output[0])
            if axes not in ([2], [3]) or len(nxt) != 1:
                raise SystemExit("YOLOX: unexpected input layer")
            chain = nxt[0]
        if chain.op_type != "Concat" or (concat is not None and chain is not concat):
            raise SystemExit("YOLOX: unexpected input layer")
        concat = chain
    conv = _consumers(g, concat.output[0])
    if len(conv) != 1 or conv[0].op_type != "Conv" or len(concat.input) * 3 != \
            numpy_helper.to_array(_initializer(g, conv[0].input[1])).shape[1]:
        raise SystemExit("YOLOX: unexpected input layer")
    w = numpy_helper.to_array(_initializer(g, conv[0].input[1])).astype(np.float64)
    perm = [3 * grp + (2 - j) for grp in range(w.shape[1] // 3) for j in range(3)]
    _set_initializer(g, conv[0].input[1], w[:, perm] * 255.0)
    for node in focus:
        node.input[0] = net_in

    target = _yolox_letterbox_size(b, ext, size)                                    # [th, tw]
    resized = _crop_resize(b, ext_i, b.op("Concat", [b.const([1, 3], np.int64), target], axis=0))
    if net.flip:  # the content mirrored, the padding still bottom-right
        resized = _flip_batch(b, resized)
    pads = b.op("Concat", [b.const([0, 0, 0, 0, 0, 0], np.int64),
                           b.op("Sub", [b.const([size, size], np.int64), target])], axis=0)
    b.op("Pad", [resized, pads, b.const(YOLOX_PAD / 255.0)], mode="constant", out=net_in)

    xy, wh, obj, cls = b.op("Split", [raw], n_out=4, axis=1, split=[2, 2, 1, NUM_CLASSES])
    road = b.const(list(ROAD_CLASSES), np.int64)
    scores = b.op("Mul", [b.op("Gather", [cls, road], axis=1), obj])                  # B x 8 x N
    grid, strides = _yolox_grid(size)
    centre = b.op("Add", [b.op("Mul", [xy, b.const(np.stack([strides, strides]))]),
                          b.const(grid * strides)])
    half = b.op("Mul", [b.op("Exp", [wh]), b.const(np.stack([strides, strides]) * 0.5)])
    boxes = b.op("Concat", [b.op("Sub", [centre, half]), b.op("Add", [centre, half])], axis=1)
    tsize = b.op("Cast", [target], to=TensorProto.FLOAT)
    if net.flip:
        width = b.op("Gather", [tsize, b.const([1], np.int64)], axis=0)
        boxes, scores = _merge_flip(b, boxes, scores, width)

    # Network pixels -> canvas pixels (the crop was resized to th x tw) ->
    # caller's pixels, per axis.
    factor = b.op("Div", [ext, b.op("Mul", ["scale_factor", tsize])])
    return _to_caller_pixels(b, boxes, factor), scores


def _network_graph(upstream_bytes: bytes, name: str, prefix: str) -> onnx.GraphProto:
    """The upstream network's graph, rewritten (see convert_passes), its
    names under prefix, its weights no longer among its inputs."""
    model = onnx.load_model_from_string(upstream_bytes)
    if [(o.domain, o.version) for o in model.opset_import] != [("", UPSTREAM_OPSET)]:
        raise SystemExit(f"{name}: expected opset {UPSTREAM_OPSET}")
    g = model.graph
    # Weights listed as graph inputs as well as initializers: drop the inputs
    # (ONNX Runtime warns about each of them otherwise).
    weights = {t.name for t in g.initializer}
    net_inputs = [i for i in g.input if i.name not in weights]
    if len(net_inputs) != 1:
        raise SystemExit(f"{name}: expected one image input")
    del g.input[:]
    g.input.extend(net_inputs)
    del g.value_info[:]
    passes.fuse_hard_swish(g)
    passes.shuffle_to_gather(g)
    passes.batch_free_reshapes(g)
    passes.upgrade_opset(g, UPSTREAM_OPSET)
    passes.prefix_names(g, prefix)
    return g


def _check_network(net: Network) -> None:
    if net.size % 32 or not 32 <= net.size <= CANVAS:
        raise SystemExit(f"{net.upstream}: input size {net.size} is not a multiple of 32 up to {CANVAS}")
    if net.tiles and (UPSTREAM[net.upstream][0] != "picodet" or net.flip):
        raise SystemExit(f"{net.upstream}: tiles are built for PicoDet networks without flip only")


def convert(entry: CatalogueEntry, upstream: dict[str, bytes], branch_outputs: bool = False) -> bytes:
    """The catalogue model of entry; upstream: file name -> bytes. With
    branch_outputs, each network's candidates before the suppression are
    outputs too: "candidates_<k>_boxes" [1, N, 4] in the caller's pixels
    and "candidates_<k>_scores" [1, 8, N]."""
    g = onnx.GraphProto()
    b = Builder(g)
    ext, ext_i, present = _content_extent(b)
    all_boxes, all_scores, shared = [], [], {}
    for k, net in enumerate(entry.networks):
        _check_network(net)
        ng = _network_graph(upstream[net.upstream], net.upstream, f"n{k}/")
        build = _picodet_network if UPSTREAM[net.upstream][0] == "picodet" else _yolox_network
        boxes, scores = build(b, ng, net, f"zv/net_input_{k}", ext, ext_i)
        # A second network of the same file reads the first one's weights.
        passes.share_initializers(ng, shared.setdefault(net.upstream, {}))
        g.node.extend(ng.node)
        g.initializer.extend(ng.initializer)
        all_boxes.append(boxes)
        all_scores.append(scores)
    if len(entry.networks) > 1:
        all_boxes = [b.op("Concat", all_boxes, axis=1)] + all_boxes
        all_scores = [b.op("Concat", all_scores, axis=2)] + all_scores
    _suppress_and_emit(b, all_boxes[0], all_scores[0], ext, present, entry.pre_nms_top_k,
                       entry.max_detections)

    g.input.extend([
        helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, CANVAS, CANVAS]),
        helper.make_tensor_value_info("im_shape", TensorProto.FLOAT, [1, 2]),
        helper.make_tensor_value_info("scale_factor", TensorProto.FLOAT, [1, 2]),
    ])
    g.output.extend([helper.make_tensor_value_info(OUTPUT_NAME, TensorProto.FLOAT, ["N", 6])])
    if branch_outputs:
        for k, (boxes, scores) in enumerate(zip(all_boxes[-len(entry.networks):],
                                                all_scores[-len(entry.networks):])):
            b.op("Identity", [boxes], out=f"candidates_{k}_boxes")
            b.op("Identity", [scores], out=f"candidates_{k}_scores")
            g.output.extend([helper.make_tensor_value_info(f"candidates_{k}_{what}", TensorProto.FLOAT, None)
                             for what in ("boxes", "scores")])
    g.node.extend(b.nodes)
    _toposort(g)
    passes.drop_unused_constants(g)
    g.name = f"zorvane_robj_d_{entry.name}"

    out = onnx.ModelProto()
    out.ir_version = IR_VERSION
    out.producer_name = "zorvane_road_objects/tools/convert_models.py"
    out.producer_version = "2"
    sources = sorted({f"{n.upstream} ({UPSTREAM[n.upstream][3]})" for n in entry.networks})
    out.doc_string = (f"{entry.description}: {describe(entry.networks)}. Modified from "
                      f"{'; '.join(sources)} by zorvane_road_objects tools/convert_models.py: the "
                      f"road-object detector interface (image, im_shape, scale_factor -> {OUTPUT_NAME} "
                      f"N x 6) with the network's input convention, box decoding and suppression added "
                      f"to the graph, activations fused and first convolution's weights rescaled. "
                      f"Apache-2.0, see NOTICE.")
    out.opset_import.extend([helper.make_opsetid("", OPSET)])
    out.graph.CopyFrom(g)
    meta = [("zv_model_name", entry.name),
            ("zv_networks", json.dumps([{**n.settings(), "upstream_sha256": sha256(upstream[n.upstream])}
                                        for n in entry.networks], sort_keys=True))]
    for key, value in meta:
        out.metadata_props.append(onnx.StringStringEntryProto(key=key, value=value))
    return out.SerializeToString(deterministic=True)


def _toposort(g: onnx.GraphProto) -> None:
    """Order the nodes by dependency (our preprocessing, the network, the
    decoding), keeping the given order wherever it already works."""
    available = {i.name for i in g.input} | {t.name for t in g.initializer} | {""}
    pending = list(g.node)
    ordered: list[onnx.NodeProto] = []
    while pending:
        rest = []
        for node in pending:
            if all(name in available for name in node.input):
                ordered.append(node)
                available.update(node.output)
            else:
                rest.append(node)
        if len(rest) == len(pending):
            missing = sorted({n for node in rest for n in node.input if n not in available})
            raise SystemExit(f"graph has unresolved inputs: {missing[:5]}")
        pending = rest
    copies = [onnx.NodeProto() for _ in ordered]
    for dst, src in zip(copies, ordered):
        dst.CopyFrom(src)
    del g.node[:]
    g.node.extend(copies)


def candidates(net: Network) -> int:
    """How many boxes the network proposes (both passes with flip)."""
    family = UPSTREAM[net.upstream][0]
    if family == "picodet":
        n = _picodet_anchors(net.size)[1].size
    else:
        n = _yolox_grid(net.size)[1].size
    return n * (2 if net.flip else 1)


def build(entry: CatalogueEntry, upstream_dir: Path = UPSTREAM_DIR) -> bytes:
    k = entry.pre_nms_top_k
    if k is not None and k > len(ROAD_CLASSES) * sum(candidates(n) for n in entry.networks):
        raise SystemExit(f"{entry.name}: fewer candidates than the pre-NMS cap {k}")
    return convert(entry, {n.upstream: (upstream_dir / n.upstream).read_bytes() for n in entry.networks})


def build_all(upstream_dir: Path = UPSTREAM_DIR) -> dict[str, bytes]:
    return {model_file_name(e.name): build(e, upstream_dir) for e in CATALOGUE}


# Road-class mAP@0.5:0.95 of each tier on the 291 COCO val2017 road images
# (benchmarks/bench_accuracy.py; intervals and the other figures in
# models/README.md). Measured, not computed here: update after a change.
ACCURACY_SET = "road-class mAP@0.5:0.95 on 291 COCO val2017 road images (benchmarks/bench_accuracy.py)"
ACCURACY = {"small_fp32": 0.2274, "medium_fp32": 0.2914, "large_fp32": 0.3310}


def manifest(files: dict[str, bytes], upstream_dir: Path = UPSTREAM_DIR) -> dict:
    models = []
    for entry in CATALOGUE:
        fname = model_file_name(entry.name)
        networks = [{"upstream": f"third_party/upstream_models/{n.upstream}",
                     "upstream_sha256": sha256((upstream_dir / n.upstream).read_bytes()),
                     **{k: v for k, v in n.settings().items() if k != "upstream"}}
                    for n in entry.networks]
        models.append({
            "name": entry.name,
            "file": fname,
            "sha256": sha256(files[fname]),
            "size": len(files[fname]),
            "model": entry.description,
            "networks": networks,
            "pre_nms_top_k": entry.pre_nms_top_k,
            "accuracy": ACCURACY[entry.name],
            "sources": sorted({UPSTREAM[n.upstream][3] for n in entry.networks}),
            "licence": "Apache-2.0 (see NOTICE)",
        })
    return {"generator": "tools/convert_models.py",
            "accuracy": ACCURACY_SET,
            "interface": {"inputs": ["image", "im_shape", "scale_factor"], "output": OUTPUT_NAME,
                          "opset": OPSET, "classes": list(ROAD_CLASSES), "iou_threshold": IOU_THRESHOLD,
                          "score_threshold": SCORE_THRESHOLD, "max_detections": MAX_DETECTIONS},
            "models": models}


def manifest_bytes(files: dict[str, bytes], upstream_dir: Path = UPSTREAM_DIR) -> bytes:
    return (json.dumps(manifest(files, upstream_dir), indent=2) + "\n").encode()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--check", action="store_true",
                    help="rebuild in memory and compare with the files in the output folder")
    ap.add_argument("--upstream", type=Path, default=UPSTREAM_DIR, help="folder of the upstream ONNX files")
    ap.add_argument("--out", type=Path, default=MODELS_DIR, help="output folder (default: models/)")
    args = ap.parse_args(argv)

    files = build_all(args.upstream)
    files[MANIFEST] = manifest_bytes(files, args.upstream)
    if args.check:
        bad = 0
        for fname, data in files.items():
            path = args.out / fname
            have = path.read_bytes() if path.is_file() else None
            same = have == data
            bad += not same
            print(f"{'ok  ' if same else 'DIFF'} {fname} {sha256(data)}")
        return 1 if bad else 0
    args.out.mkdir(parents=True, exist_ok=True)
    for fname, data in files.items():
        (args.out / fname).write_bytes(data)
        print(f"wrote {args.out / fname} {sha256(data)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
