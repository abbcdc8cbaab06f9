"""Label placement in annotated images: labels never cover each other, and a
label that cannot sit on its box is tied to it by a leader line."""

from __future__ import annotations

import cv2
import numpy as np

from zorvane_road_objects.detection.draw import CLASS_COLOURS, draw_detections, label_layout, style_for


def overlap(a, b) -> bool:
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def record(ltrb, conf, class_id=3, name="car"):
    return {"ltrb": [float(v) for v in ltrb], "ltrb_conf": conf, "class_id": class_id, "class": name}


def assert_apart(rects, width, height):
    for i, a in enumerate(rects):
        assert 0 <= a[0] and 0 <= a[1] and a[2] <= width and a[3] <= height, a
        for b in rects[i + 1:]:
            assert not overlap(a, b), (a, b)


def test_stacked_boxes_get_separate_labels_and_a_leader_line_when_moved():
    width, height = 400, 200
    box = (300, 150, 330, 180)  # near the bottom: no room below it
    items = [(box, f"car {90 - i}%") for i in range(4)]
    layout = label_layout(items, width, height, style_for(height, width))
    rects = [s["rect"] for s in layout]
    assert_apart(rects, width, height)
    # Above the box, inside its top edge, then pushed down over it: all on the box.
    assert rects[0][3] <= box[1] and box[1] < rects[1][1] < box[3] and rects[2][1] < box[3] < rects[2][3]
    assert [s["leader"] for s in layout[:3]] == [None, None, None]
    # No room left near the box: the last label moved away and points back at it.
    (px, py), (qx, qy) = layout[3]["leader"]
    x0, y0, x1, y1 = rects[3]
    assert x0 <= px < x1 and y0 <= py < y1
    assert box[0] <= qx <= box[2] and box[1] <= qy <= box[3]

    # The drawing shows that line, in the class colour, where no label covers it.
    img = np.zeros((height, width, 3), np.uint8)
    out = draw_detections(img, [record(box, 90 - i) for i in range(4)])
    assert px == qx
    free = [y for y in range(py + 2, qy - 2) if not any(r[1] <= y < r[3] for r in rects)]
    assert len(free) > 50
    for y in free:  # (anti-aliased: close to the colour, not exact)
        assert np.abs(out[y, px].astype(int) - CLASS_COLOURS[3]).max() <= 40, (y, out[y, px])
    # Nothing is drawn beside it.
    assert not out[free, px + 3].any()


def test_crowded_scene_labels_never_overlap():
    rng = np.random.default_rng(7)
    width, height = 640, 480
    records = []
    for i in range(40):
        l, t = rng.integers(0, 600), rng.integers(0, 440)
        w, h = rng.integers(10, 120), rng.integers(10, 120)
        records.append(record((l, t, min(l + w, width - 1), min(t + h, height - 1)), int(rng.integers(50, 100)),
                              int(i % 8), "person"))
    st = style_for(height, width)
    boxes = [tuple(int(v) for v in r["ltrb"]) for r in records]
    layout = label_layout([(b, f"person {r['ltrb_conf']}%") for b, r in zip(boxes, records)], width, height, st)
    assert_apart([s["rect"] for s in layout], width, height)
    moved = [s for s in layout if s["leader"] is not None]
    assert moved  # a scene this crowded moves some labels
    out = draw_detections(np.zeros((height, width, 3), np.uint8), records)
    assert out.shape == (height, width, 3)


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
