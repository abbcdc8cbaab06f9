"""Label placement in annotated images: each label stays next to its box
(moved round it, or made smaller, never stacked far away), labels that found
room never cover each other, and placing many labels costs about linear work."""

from __future__ import annotations

import cv2
import numpy as np
import pytest

from zorvane_road_objects.detection.draw import (
    CLASS_COLOURS,
    default_label,
    draw_detections,
    label_layout,
    style_for,
)
from zorvane_road_objects.detection.records import Detection


def overlap(a, b) -> bool:
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def gap(rect, box) -> float:
    """Distance between a label rectangle (exclusive end) and a box (inclusive)."""
    dx = max(box[0] - rect[2], rect[0] - box[2], 0)
    dy = max(box[1] - rect[3], rect[1] - box[3], 0)
    return max(dx, dy)


def record(ltrb, conf, class_id=3, name="car"):
    return {"ltrb": [float(v) for v in ltrb], "ltrb_conf": conf, "class_id": class_id, "class": name}


def assert_apart(rects, width, height):
    for i, a in enumerate(rects):
        assert 0 <= a[0] and 0 <= a[1] and a[2] <= width and a[3] <= height, a
        for b in rects[i + 1:]:
            assert not overlap(a, b), (a, b)


def random_boxes(rng, n, width, height, stacked=0):
    boxes = []
    for _ in range(n):
        l, t = int(rng.integers(0, width - 20)), int(rng.integers(0, height - 20))
        w, h = int(rng.integers(10, 120)), int(rng.integers(10, 120))
        boxes.append((l, t, min(l + w, width - 1), min(t + h, height - 1)))
    # Low-confidence duplicates piled on a few places, as a weak detector gives them.
    boxes += [boxes[i % 5] for i in range(stacked)]
    return boxes


def test_labels_of_one_box_stay_round_it():
    width, height = 400, 200
    box = (300, 150, 330, 180)  # near the bottom right: no room below it
    items = [(box, f"car {90 - i}%") for i in range(4)]
    layout = label_layout(items, width, height, style_for(height, width))
    rects = [s["rect"] for s in layout]
    assert_apart(rects, width, height)
    lh = rects[0][3] - rects[0][1]
    assert layout[0]["leader"] is None and rects[0][3] <= box[1]  # the first sits on the box
    for spot in layout:
        assert not spot["crowded"]
        assert gap(spot["rect"], box) <= 3 * lh, spot


def test_crowded_scene_labels_stay_near_their_boxes_and_apart():
    rng = np.random.default_rng(7)
    width, height = 640, 480
    boxes = random_boxes(rng, 40, width, height, stacked=40)
    st = style_for(height, width)
    layout = label_layout([(b, f"person {50 + i % 50}%") for i, b in enumerate(boxes)], width, height, st)
    lh = max(s["rect"][3] - s["rect"][1] for s in layout)
    for box, spot in zip(boxes, layout):
        assert gap(spot["rect"], box) <= 3 * lh, (box, spot)
    placed = [s for s in layout if not s["crowded"]]
    assert_apart([s["rect"] for s in placed], width, height)
    assert any(s["font_scale"] < st["font_scale"] for s in placed)  # some made smaller to fit
    out = draw_detections(np.zeros((height, width, 3), np.uint8),
                          [record(b, 50 + i % 50, i % 8, "person") for i, b in enumerate(boxes)])
    assert out.shape == (height, width, 3)


def checks_for(n, seed=3):
    rng = np.random.default_rng(seed)
    width, height = 3840, 2160
    boxes = random_boxes(rng, n // 2, width, height, stacked=n - n // 2)
    stats = {}
    layout = label_layout([(b, f"traffic light {i % 100}%") for i, b in enumerate(boxes)], width, height,
                          style_for(height, width), stats)
    assert len(layout) == n
    return stats["checks"]


def test_placing_many_labels_costs_about_linear_work():
    # 2,000 labels, half of them piled on five boxes: the comparisons per
    # label stay bounded (a scan of all placed labels makes millions).
    small, large = checks_for(500), checks_for(2000)
    assert large / 2000 < 400
    assert large / small < 4 * 1.6


def test_more_labels_than_room_still_draws():
    img = np.full((40, 60, 3), 90, np.uint8)
    out = draw_detections(img, [record((5, 5, 30, 30), 50 + i) for i in range(30)])
    assert out.shape == img.shape and (out != 90).any()


def test_a_label_keeps_its_place_on_the_box_when_alone():
    img = np.full((240, 320, 3), 128, np.uint8)
    box = (120, 30, 300, 200)
    (spot,) = label_layout([(box, "bus 80%")], 320, 240, style_for(240, 320))
    assert spot["leader"] is None and spot["rect"][3] <= box[1] + 1
    out = draw_detections(img, [record(box, 80, 4, "bus")])
    x0, y0, x1, y1 = spot["rect"]
    assert tuple(int(v) for v in out[y0, x0]) == CLASS_COLOURS[4]
    assert cv2.absdiff(out, img).any()


@pytest.mark.parametrize("track_id, text", [(None, "traffic light 80%"), (7, "traffic light #7 80%")])
def test_labels_write_class_names_with_spaces(track_id, text):
    det = Detection((0.0, 0.0, 10.0, 10.0), 80, 6, "traffic_light", track_id)
    assert default_label(det) == text
