"""``zorvane-robj detect`` output formats (text, jsonl, csv, coco, mot),
written to standard output or a file and read back by the standard readers
of each format; the class filter, --max-det, the summary and --quiet."""

from __future__ import annotations

import csv
import json

import pytest
from _cli import (  # noqa: F401  (fixtures)
    BUS,
    CAR,
    cli_env,
    home,
    json_lines,
    noise_image,
    run_cli,
    served,
    write_image,
)
from _media import write_video

from zorvane_road_objects.detection.formats import CSV_FIELDS


@pytest.fixture
def images(tmp_path):
    """A COCO-named image and another, in sorted order."""
    folder = tmp_path / "imgs"
    coco = write_image(folder / "000000000042.png", noise_image(240, 320, 1))
    other = write_image(folder / "street.png", noise_image(240, 320, 2))
    return folder, coco, other


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    return write_video(tmp_path_factory.mktemp("media") / "clip.mp4", 12, fps=12.0)


def test_csv_rows_read_back_with_the_csv_module(served, home, images, tmp_path):
    folder, coco, other = images
    out = tmp_path / "out.csv"
    proc = run_cli(["detect", folder, "--format", "csv", "-o", out], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""  # the results went into the file
    with open(out, newline="", encoding="utf-8") as fh:
        reader = csv.DictReader(fh)
        assert tuple(reader.fieldnames) == CSV_FIELDS
        rows = list(reader)
    assert [(r["source"], r["class"]) for r in rows] == [
        (str(coco), "car"), (str(coco), "bus"), (str(other), "car"), (str(other), "bus")]
    car = rows[0]
    assert float(car["score"]) == pytest.approx(0.89)
    assert [float(car[k]) for k in ("left", "top", "right", "bottom")] == CAR["ltrb"]
    assert (car["class_id"], car["frame"], car["timestamp"], car["track_id"]) == ("3", "", "", "")


def test_coco_results_load_with_pycocotools(served, home, images, tmp_path):
    from pycocotools.coco import COCO

    folder, coco, other = images
    out = tmp_path / "results.json"
    proc = run_cli(["detect", folder, "--format", "coco", "-o", out], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    results = json.loads(out.read_text())
    # image_id: the number of a COCO-named file; otherwise the frame's running index (1).
    assert sorted({(r["image_id"], r["file_name"]) for r in results}) == [(1, "street.png"),
                                                                          (42, "000000000042.png")]
    car = next(r for r in results if r["category_id"] == 3)
    assert car["bbox"] == [10.0, 20.0, 100.0, 200.0] and car["score"] == pytest.approx(0.89)
    assert {r["category_id"] for r in results} == {3, 6}  # COCO's ids of car and bus
    gt = COCO()
    gt.dataset = {"images": [{"id": 42}, {"id": 1}], "annotations": [],
                  "categories": [{"id": 3, "name": "car"}, {"id": 6, "name": "bus"}]}
    gt.createIndex()
    dt = gt.loadRes(str(out))
    assert len(dt.getAnnIds()) == 4
    assert dt.loadAnns(dt.getAnnIds(imgIds=[42], catIds=[6]))[0]["area"] == pytest.approx(180 * 170)


def test_json_alias_and_score(served, home, images):
    folder, _, _ = images
    env = cli_env(home, served.url)
    jsonl, alias = (run_cli(["detect", folder, flag, *extra], env)
                    for flag, *extra in (["--format", "jsonl"], ["--json"]))
    assert jsonl.returncode == alias.returncode == 0
    assert [{k: v for k, v in r.items() if k != "ltrb_proc_sec"} for r in json_lines(jsonl.stdout)] == \
        [{k: v for k, v in r.items() if k != "ltrb_proc_sec"} for r in json_lines(alias.stdout)]
    first = json_lines(jsonl.stdout)[0]["results"]
    assert [(r["ltrb_conf"], r["score"]) for r in first] == [(89, 0.89), (80, 0.8)]


def test_mot_lines_of_a_tracked_video(served, home, clip, tmp_path):
    out = tmp_path / "clip.txt"
    proc = run_cli(["detect", clip, "--track", "--format", "mot", "-o", out], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    rows = [line.split(",") for line in out.read_text().splitlines()]
    assert rows and all(len(r) == 10 and r[7:] == ["-1", "-1", "-1"] for r in rows)
    frames = [int(r[0]) for r in rows]
    assert min(frames) >= 1 and max(frames) == 12 and frames == sorted(frames)  # 1-based
    boxes = {(r[1], *map(float, r[2:6])) for r in rows}
    assert {b[1:] for b in boxes} == {(10.0, 20.0, 100.0, 200.0), (120.0, 30.0, 180.0, 170.0)}
    assert len({b[0] for b in boxes}) == 2  # one track each


@pytest.mark.parametrize("args", [["x.jpg", "--format", "mot"], ["x.jpg", "a.jpg", "--format", "mot", "--track"]])
def test_mot_needs_tracking_and_one_source(home, args):
    proc = run_cli(["detect", *args], cli_env(home, None))
    assert proc.returncode == 2
    assert proc.stderr.startswith("usage: zorvane-robj detect")
    assert "--format mot writes one tracked sequence" in proc.stderr


@pytest.mark.parametrize("extra, classes", [
    (["--classes", "bus"], ["bus"]),
    (["--classes", "Bus, traffic light"], ["bus"]),
    (["--max-det", "1"], ["car"]),  # the surest
    (["--classes", "bus,car", "--max-det", "1"], ["car"]),
    (["--classes", "stop_sign"], []),
])
def test_classes_and_max_det(served, home, images, extra, classes):
    folder, coco, _ = images
    proc = run_cli(["detect", coco, "--json", *extra], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    (record,) = json_lines(proc.stdout)
    assert [r["class"] for r in record["results"]] == classes


def test_unknown_class_is_a_usage_error(home):
    proc = run_cli(["detect", "x.jpg", "--classes", "car,tram"], cli_env(home, None))
    assert proc.returncode == 2
    assert "unknown class 'tram'" in proc.stderr and "traffic light" in proc.stderr


def test_summary_names_model_thresholds_and_frames(served, home, clip, images):
    folder, coco, _ = images
    proc = run_cli(["detect", coco, clip, "--conf", "0.4"], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    summary = proc.stderr.splitlines()[-1]
    assert summary.startswith("zorvane-robj: 1 image, 12 frames, 26 objects (13 car, 13 bus), 0 failed, ")
    assert summary.endswith(" frames/s; model small_fp32, conf 0.4, iou 0.5")


def test_a_run_with_nothing_detected_shows_no_rate(served, home, tmp_path):
    bad = tmp_path / "bad.jpg"
    bad.write_bytes(b"not an image")
    proc = run_cli(["detect", bad], cli_env(home, served.url))
    assert proc.returncode == 1
    assert proc.stderr.splitlines()[-1].startswith("zorvane-robj: 1 image, no objects, 1 failed, - images/s")


def test_quiet_keeps_the_line_counts(served, home, clip):
    proc = run_cli(["detect", clip, "--count-line", "0,0,5,0", "-q", "--format", "csv"],
                   cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.splitlines() == ["zorvane-robj: line1 (0,0)-(5,0): in 0; out 0"]
    assert next(csv.reader(proc.stdout.splitlines())) == list(CSV_FIELDS)


def test_text_shows_class_names_with_spaces(home, tmp_path):
    from _cli import tiny_model_bytes

    model = tmp_path / "lights.onnx"
    model.write_bytes(tiny_model_bytes([[9, 0.9, 10, 20, 30, 60]]))  # COCO 9: traffic light
    img = write_image(tmp_path / "a.png", noise_image(100, 100))
    proc = run_cli(["detect", img, "--model-file", model], cli_env(home, None))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[1].split("  ")[1].strip() == "traffic light"
    assert "(1 traffic light)" in proc.stderr
