"""The record types' output shapes: COCO category and image ids, CSV rows,
MOT lines, class names and the selection of detections."""

from __future__ import annotations

import pytest

from zorvane_road_objects import facts
from zorvane_road_objects.detection.formats import coco_category_id
from zorvane_road_objects.detection.records import Detection, FrameResult, class_names, select

# COCO's own category ids of the road classes.
COCO_IDS = {"person": 1, "bicycle": 2, "car": 3, "motorcycle": 4, "bus": 6, "truck": 8,
            "traffic_light": 10, "stop_sign": 13}


def test_coco_category_ids_of_every_class():
    assert {name: coco_category_id(i) for i, name in enumerate(facts.CLASS_NAMES)} == COCO_IDS


@pytest.mark.parametrize("source, timestamp, index, image_id", [
    ("/d/000000397133.jpg", None, 5, 397133),
    ("/d/42.png", None, 0, 42),
    ("/d/street.png", None, 7, 7),
    ("/d/img_0001.png", None, 3, 3),
    ("/d/123.mp4", 0.5, 9, 9),  # a video frame: its index
])
def test_coco_image_ids(source, timestamp, index, image_id):
    fr = FrameResult(source, index, timestamp, [Detection((1.0, 2.0, 11.0, 22.0), 75, 3, "car")])
    (item,) = fr.to_coco()
    assert item["image_id"] == image_id
    assert item["bbox"] == [1.0, 2.0, 10.0, 20.0] and item["category_id"] == 3 and item["score"] == 0.75


def test_mot_lines_are_one_based_and_skip_untracked_boxes():
    fr = FrameResult("v.mp4", 0, 0.0, [Detection((1.0, 2.0, 11.0, 22.0), 75, 3, "car", 4),
                                       Detection((5.0, 5.0, 6.0, 6.0), 90, 4, "bus")])
    assert fr.to_mot() == ["1,4,1.00,2.00,10.00,20.00,0.75,-1,-1,-1"]


def test_csv_rows():
    fr = FrameResult("v.mp4", 3, 0.25, [Detection((1.0, 2.0, 11.0, 22.0), 75, 6, "traffic_light", 2)])
    assert fr.to_csv_rows() == [["v.mp4", 3, 0.25, "traffic_light", 6, 0.75, 1.0, 2.0, 11.0, 22.0, 2]]
    assert FrameResult("a.png", 0).to_csv_rows() == []


@pytest.mark.parametrize("given, names", [
    ("car,bus", ("car", "bus")),
    (" Traffic Light , traffic_light,STOP sign", ("traffic_light", "stop_sign")),
    (["truck", "car"], ("truck", "car")),
])
def test_class_names(given, names):
    assert class_names(given) == names


def test_unknown_class_names_the_known_ones():
    with pytest.raises(ValueError, match="unknown class 'tram'; the classes are person, .*traffic light"):
        class_names("car,tram")


def test_select_keeps_the_surest_in_their_order():
    dets = [Detection((0.0, 0.0, 1.0, 1.0), conf, cid, facts.CLASS_NAMES[cid])
            for conf, cid in ((50, 3), (90, 4), (70, 3), (95, 0))]
    assert [d.ltrb_conf for d in select(dets, max_det=2)] == [90, 95]
    assert [d.ltrb_conf for d in select(dets, classes={"car"}, max_det=1)] == [70]
    assert select(dets) == dets
