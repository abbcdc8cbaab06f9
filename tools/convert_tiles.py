"""Tiled views of the canvas for tools/convert_models.py.

A tiled network sees, instead of the whole content, a grid of overlapping
tiles of it, each stretched to the network's size, as one batch. Small,
far objects (traffic lights, distant cars and people) then reach the
network enlarged. Its candidates are mapped back into the canvas, and
those that a tile cut off are dropped: a box that reaches a tile border
lying inside the content (not the content's own edge) is only the part of
an object that the tile shows; the neighbouring tile (the tiles overlap)
or the pass over the whole content sees it whole.
"""

from __future__ import annotations

import numpy as np

XYXY = np.array([1, 0, 1, 0], np.int64)   # [y, x] pairs -> [x, y, x, y]
# A tile's box whose side lies within this many network pixels of an inner
# tile border counts as cut off.
CUT_MARGIN = 3.0


def tile_fractions(n: int, overlap: float) -> list[tuple[float, float]]:
    """Start and end of n tiles along an axis of length 1 that overlap by
    `overlap` of a tile and together span the axis exactly."""
    if n < 1 or not 0.0 <= overlap < 1.0:
        raise SystemExit(f"tiles: need at least one tile per axis and an overlap in [0, 1), got {n}, {overlap}")
    size = 1.0 / (n - (n - 1) * overlap)
    step = size * (1.0 - overlap)
    return [(i * step, 1.0 if i == n - 1 else i * step + size) for i in range(n)]


def tile_layout(grid: tuple[int, int], overlap: float):
    """Per tile (row-major): [y0, x0] and [y1, x1] as fractions of the
    content, and which of its sides (left, top, right, bottom) lie inside
    the content."""
    rows, cols = (tile_fractions(n, overlap) for n in grid)
    starts, ends, inner = [], [], []
    for i, (y0, y1) in enumerate(rows):
        for j, (x0, x1) in enumerate(cols):
            starts.append([y0, x0])
            ends.append([y1, x1])
            inner.append([j > 0, i > 0, j < len(cols) - 1, i < len(rows) - 1])
    return np.array(starts), np.array(ends), np.array(inner, np.float32)


def tile_views(b, ext: str, grid: tuple[int, int], overlap: float, size: int):
    """The tiles of the canvas content ([Hc, Wc] = ext) stretched to
    size x size (bilinear, half-pixel centres, as the whole-content view),
    [T, 3, size, size]; with them the tiles' bounds in canvas pixels,
    [T, 2] top-left and [T, 2] bottom-right ([y, x], float)."""
    starts, ends, _ = tile_layout(grid, overlap)
    lo = b.op("Floor", [b.op("Mul", [b.const(starts), ext])])
    # Ends at whole pixels, the last tile at the content's edge; at least one
    # pixel per tile.
    hi = b.op("Ceil", [b.op("Sub", [b.op("Mul", [b.const(ends), ext]), b.const([1e-3])])])
    hi = b.op("Max", [b.op("Min", [hi, ext]), b.op("Add", [lo, b.const([1.0])])])
    lo_i, hi_i = (b.op("Cast", [t], to=7) for t in (lo, hi))                 # 7: INT64
    sizes = b.const([1, 3, size, size], np.int64)
    views = []
    for t in range(len(starts)):
        row = b.const([t], np.int64)
        crop = b.op("Slice", ["image", b.op("Squeeze", [b.op("Gather", [lo_i, row], axis=0)], axes=[0]),
                              b.op("Squeeze", [b.op("Gather", [hi_i, row], axis=0)], axes=[0]),
                              b.const([2, 3], np.int64)], hint="tile")
        views.append(b.op("Resize", [crop, b.const(np.zeros(0), np.float32, "roi"),
                                     b.const(np.zeros(0), np.float32, "scales"), sizes],
                          mode="linear", coordinate_transformation_mode="half_pixel", hint="tile_resize"))
    batch = views[0] if len(views) == 1 else b.op("Concat", views, axis=0)
    return batch, lo, hi


def merge_tiles(b, boxes: str, scores: str, lo: str, hi: str, grid: tuple[int, int], overlap: float,
                size: int):
    """boxes [T, 4, N] (x1 y1 x2 y2 in network pixels) and scores [T, 8, N]
    of the tiles -> [1, 4, T N] in canvas pixels and [1, 8, T N], with the
    scores of boxes cut off by an inner tile border set to 0."""
    _, _, inner = tile_layout(grid, overlap)
    # Cut off: a side within CUT_MARGIN of its tile border, that border inside.
    signs = np.array([1, 1, -1, -1], np.float32).reshape(1, 4, 1)
    limits = np.array([CUT_MARGIN, CUT_MARGIN, CUT_MARGIN - size, CUT_MARGIN - size], np.float32).reshape(1, 4, 1)
    near = b.op("Cast", [b.op("Less", [b.op("Mul", [boxes, b.const(signs)]), b.const(limits)])], to=1)
    cut = b.op("ReduceMax", [b.op("Mul", [near, b.const(inner.reshape(-1, 4, 1))])], axes=[1], keepdims=1)
    scores = b.op("Mul", [scores, b.op("Sub", [b.const([1.0]), cut])])                     # T x 8 x N

    # Network pixels -> canvas pixels: times the tile's size over the
    # network's, plus the tile's top-left corner, per axis.
    scale = b.op("Div", [b.op("Sub", [hi, lo]), b.const([float(size)])])                     # T x 2
    xyxy = b.const(XYXY, np.int64)
    scale4 = b.op("Unsqueeze", [b.op("Gather", [scale, xyxy], axis=1)], axes=[2])            # T x 4 x 1
    offset4 = b.op("Unsqueeze", [b.op("Gather", [lo, xyxy], axis=1)], axes=[2])
    canvas = b.op("Add", [b.op("Mul", [boxes, scale4]), offset4])

    def flatten(x: str, rows: int) -> str:   # [T, rows, N] -> [1, rows, T N]
        return b.op("Reshape", [b.op("Transpose", [x], perm=[1, 0, 2]), b.const([1, rows, -1], np.int64)])

    return flatten(canvas, 4), flatten(scores, 8)
