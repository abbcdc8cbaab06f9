"""The zorvane-robj command-line tool, the annotation drawing and the demo script.

The CLI runs as a real subprocess (``python -m zorvane_road_objects``) with
HOME pointing at a fresh temporary directory and provisioning pointed at the
package's model server on 127.0.0.1. Most cases serve a tiny ONNX model with
the catalogue interface and constant detections, so the figures are exact;
one case runs the real catalogue model on the sample road image.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest
from _cli import (  # noqa: F401  (fixtures)
    BUS,
    CAR,
    CLI_TIMEOUT,
    PERSON,
    REAL_SMALL,
    REPO,
    SAMPLE,
    by_class,
    cli_env,
    free_port,
    head_when_up,
    home,
    image_tree,
    json_lines,
    noise_image,
    run_cli,
    run_serve,
    served,
    start_server,
    stop_server,
    tiny_model_bytes,
    write_image,
)

from zorvane_road_objects import bundled_models
from zorvane_road_objects import cli, facts
from zorvane_road_objects.detection.draw import CLASS_COLOURS, draw_detections, style_for

# ---------------------------------------------------------------------------
# detect


def test_folder_with_corrupt_files_processes_the_rest_and_exits_1(served, home, image_tree):
    root, good, bad = image_tree
    proc = run_cli(["detect", root], cli_env(home, served.url))
    assert proc.returncode == 1, proc.stderr
    # Every good image is reported, in sorted order, with its detections and time.
    positions = [proc.stdout.index(str(p)) for p in good]
    assert positions == sorted(positions)
    assert proc.stdout.count("2 objects in ") == 3
    classes = [ln.split()[0] for ln in proc.stdout.splitlines() if ln.startswith("  ")]
    assert classes == ["car", "bus"] * 3
    assert " ms" in proc.stdout
    for p in bad:
        assert str(p) not in proc.stdout
        assert f"{p}: cannot read image" in proc.stderr
    assert "notes.txt" not in proc.stdout + proc.stderr
    assert proc.stderr.splitlines()[-1].startswith(
        "zorvane-robj: 5 images, 6 objects (3 car, 3 bus), 2 failed, ")
    # Standard error is not a terminal: no progress bar.
    assert "5/5" not in proc.stderr and "img/s" not in proc.stderr


def test_json_lines_parse_and_carry_the_detections(served, home, image_tree):
    root, good, bad = image_tree
    proc = run_cli(["detect", root, "--json", "--conf", "0.2"], cli_env(home, served.url))
    assert proc.returncode == 1, proc.stderr
    lines = json_lines(proc.stdout)
    assert [d["path"] for d in lines] == [str(p) for p in sorted(good + bad, key=lambda p: p.relative_to(root).parts)]
    for d in lines:
        if Path(d["path"]) in bad:
            assert set(d) == {"path", "error"} and d["error"].startswith("cannot read image")
        else:
            assert set(d) == {"path", "results", "ltrb_proc_sec"}
            assert by_class(d["results"]) == [PERSON, CAR, BUS]
            assert isinstance(d["ltrb_proc_sec"], float) and d["ltrb_proc_sec"] >= 0


def test_json_stdout_stays_clean_with_verbose_provisioning(served, home, tmp_path):
    img = write_image(tmp_path / "one.png", noise_image(30, 40))
    proc = run_cli(["detect", img, "--json"], cli_env(home, served.url, ZORVANE_VERBOSE="1"))
    assert proc.returncode == 0, proc.stderr
    (d,) = json_lines(proc.stdout)
    assert by_class(d["results"]) == [CAR, BUS]
    assert "[DOWNLOAD] " in proc.stderr
    # One image: no progress bar of images (the download has its own bar).
    assert "img/s" not in proc.stderr


def test_single_image_human_output(served, home, tmp_path):
    img = write_image(tmp_path / "road.png", noise_image(30, 40))
    proc = run_cli(["detect", img, "--conf", "0.85"], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith(f"{img} (40x30): 1 object in ")
    assert lines[1].split() == ["car", "89%", "ltrb=(10.0,", "20.0,", "110.0,", "220.0)"]
    assert len(lines) == 2
    assert "img/s" not in proc.stderr


def test_missing_and_unprocessable_inputs_are_skipped(served, home, tmp_path):
    ok = write_image(tmp_path / "ok.png", noise_image(30, 40))
    too_wide = write_image(tmp_path / "too_wide.png", noise_image(1, 101))  # aspect ratio 101
    missing = tmp_path / "missing.jpg"
    empty_dir = tmp_path / "nothing_here"
    empty_dir.mkdir()
    proc = run_cli(["detect", missing, too_wide, empty_dir, ok, "--json"], cli_env(home, served.url))
    assert proc.returncode == 1
    lines = json_lines(proc.stdout)
    assert {d["path"]: d.get("error") for d in lines} == {
        str(missing): "no such file or folder",
        str(empty_dir): "no image files found in folder",
        str(too_wide): "image refused: its aspect ratio 101 is over 100 (101x1); crop it into shorter pieces",
        str(ok): None,
    }
    assert f"{too_wide}: image refused: its aspect ratio 101 is over 100" in proc.stderr
    assert "zorvane-robj: 2 images, 2 objects (1 car, 1 bus), 3 failed, " in proc.stderr


def test_save_writes_readable_annotated_images(served, home, tmp_path):
    src = tmp_path / "in"
    grey = np.full((240, 320, 3), 128, np.uint8)
    write_image(src / "x.png", grey)
    write_image(src / "nested" / "y.jpg", grey)
    odd = src / "z.jfif"  # an explicitly named file with an unusual extension
    write_image(src / "z.jpg", grey).rename(odd)
    out = tmp_path / "annotated"
    proc = run_cli(["detect", src, odd, "--save", out, "--json"], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    saved = {Path(d["path"]).name: d["saved"] for d in json_lines(proc.stdout)}
    assert saved == {
        "x.png": str(out / "x.png"),
        "y.jpg": str(out / "nested" / "y.jpg"),
        "z.jfif": str(out / "z.png"),
    }
    for path in saved.values():
        img = cv2.imread(path, cv2.IMREAD_COLOR)
        assert img is not None and img.shape == grey.shape
        assert np.abs(img.astype(int) - 128).sum(axis=2).max() > 200  # something was drawn
    # PNG is lossless: the car's box edge is exactly in its class colour.
    x = cv2.imread(saved["x.png"])
    assert tuple(int(v) for v in x[120, 10]) == CLASS_COLOURS[3]
    assert tuple(int(v) for v in x[100, 120]) == CLASS_COLOURS[4]


def test_save_never_overwrites_the_input(served, home, tmp_path):
    img = write_image(tmp_path / "self.png", noise_image(30, 40))
    before = img.read_bytes()
    proc = run_cli(["detect", img, "--save", tmp_path], cli_env(home, served.url))
    assert proc.returncode == 1
    assert "refusing to overwrite the input image" in proc.stderr
    assert img.read_bytes() == before


def test_unreachable_server_without_fallback_is_a_load_failure(home, tmp_path):
    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    url = f"http://127.0.0.1:{free_port()}/"
    proc = run_cli(["detect", img, "--no-self-serve"], cli_env(home, url))
    assert proc.returncode == 1
    assert f"error: the model server at {url} cannot be reached (connection refused)" in proc.stderr
    assert "zorvane-robj serve" in proc.stderr
    assert proc.stdout == ""


def test_broken_model_file_is_a_load_failure(served, home, tmp_path):
    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    proc = run_cli(["detect", img, "--model", "medium_fp32"], cli_env(home, served.url))
    assert proc.returncode == 1
    cached = home / ".zorvane" / "zorvane_robj_data" / facts.model_file_name("medium_fp32")
    assert (f"error: the cached model file {cached} cannot be loaded as a model: delete it so "
            f"that it is downloaded again, and check that the server at {served.url}") in proc.stderr
    # A server that answered is not replaced by the bundled models.
    assert "bundled" not in proc.stderr


# ---------------------------------------------------------------------------
# usage errors


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["frobnicate"],
        ["detect"],
        ["detect", "x.jpg", "--conf", "abc"],
        ["detect", "x.jpg", "--conf", "1.5"],
        ["detect", "x.jpg", "--iou", "-0.1"],
        ["detect", "x.jpg", "--conf", "nan"],
        ["detect", "x.jpg", "--model", "small"],
        ["detect", "x.jpg", "--model", "small_fp32", "--model-file", "m.onnx"],
        ["detect", "x.jpg", "--backend", "tpu"],
        ["detect", "x.jpg", "--bogus"],
        ["models", "extra"],
        ["serve", "--port", "70000"],
        ["serve", "--root", "/nonexistent/zv-models"],
    ],
)
def test_usage_errors_exit_2(argv, capsys):
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: zorvane-robj")
    assert "zorvane-robj" in err and "error:" in err


def test_usage_error_exit_status_of_the_process(home):
    proc = run_cli(["detect", "--conf", "2", "a.jpg"], cli_env(home, None))
    assert proc.returncode == 2
    assert "usage: zorvane-robj detect" in proc.stderr
    assert "must be between 0 and 1" in proc.stderr
    assert run_cli(["--help"], cli_env(home, None)).returncode == 0


def test_backend_is_case_insensitive(served, home, tmp_path):
    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    proc = run_cli(["detect", img, "--backend", "CPU", "--json"], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr


# ---------------------------------------------------------------------------
# models


def test_models_lists_the_cache_state(served, home, tmp_path):
    env = cli_env(home, served.url)
    before = run_cli(["models"], env)
    assert before.returncode == 0
    data = home / ".zorvane" / "zorvane_robj_data"
    assert f"data directory: {data} (not created yet)" in before.stdout
    assert f"model server:   {served.url}" in before.stdout
    assert f"bundled models: {bundled_models()}" in before.stdout
    rows = {ln.split()[0]: ln.split() for ln in before.stdout.splitlines()[4:] if ln.split()[0] in facts.CATALOGUE}
    assert before.stdout.splitlines()[3].split() == ["MODEL", "INPUT", "MAP", "BUNDLED", "SERVED", "CACHED"]
    # The served fixture has small and medium, not large; nothing is cached yet.
    assert {name: tuple(row[-2:]) for name, row in rows.items()} == {
        "small_fp32": ("yes", "no"), "medium_fp32": ("yes", "no"), "large_fp32": ("no", "no")}
    assert rows["small_fp32"][1] != "?" and rows["small_fp32"][2] != "?"  # input size and mAP, from the bundled manifest

    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    assert run_cli(["detect", img], env).returncode == 0
    (data / facts.model_file_name("large_fp32")).write_bytes(b"")

    after = run_cli(["models"], env)
    assert after.returncode == 0
    lines = {ln.split()[0]: ln for ln in after.stdout.splitlines()[4:]}
    status, headers = served.head(facts.model_file_name("small_fp32"))
    assert status == 200
    size = len(tiny_model_bytes())
    small = lines["small_fp32"]
    assert f"({size} bytes)" in small
    assert headers["Last-Modified"] in small
    assert small.endswith(str(data / facts.model_file_name("small_fp32")))
    assert lines["medium_fp32"].split()[-1] == "no"
    assert "empty file" in lines["large_fp32"]


# ---------------------------------------------------------------------------
# serve


def test_serve_answers_for_the_root_and_stops_on_ctrl_c(home, tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    payload = os.urandom(20000)
    (root / facts.model_file_name("small_fp32")).write_bytes(payload)
    status, headers, body, rc = run_serve(["--root", root], cli_env(home, None), facts.model_file_name("small_fp32"))
    assert status == 200 and body == payload
    assert int(headers["Content-Length"]) == len(payload)
    assert "Last-Modified" in headers
    assert rc == 0


def test_serve_without_root_serves_every_bundled_catalogue_file(home):
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, "-m", "zorvane_road_objects", "serve", "--host", "127.0.0.1", "--port", str(port)],
        env=cli_env(home, None), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        for name in facts.CATALOGUE:
            file_name = facts.model_file_name(name)
            status, headers = head_when_up("127.0.0.1", port, file_name, proc)
            assert status == 200, file_name
            assert int(headers["Content-Length"]) == (bundled_models() / file_name).stat().st_size
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=30)
        assert proc.returncode == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


# ---------------------------------------------------------------------------
# annotation


def test_draw_detections_marks_boxes_and_labels_without_touching_the_input():
    img = np.full((240, 320, 3), 128, np.uint8)
    keep = img.copy()
    out = draw_detections(img, {"results": [CAR, BUS], "ltrb_proc_sec": 0.01})
    assert np.array_equal(img, keep)
    assert out.shape == img.shape and out.dtype == np.uint8
    assert tuple(int(v) for v in out[120, 10]) == CLASS_COLOURS[3]  # left edge of the car
    assert tuple(int(v) for v in out[100, 300]) == CLASS_COLOURS[4]  # right edge of the bus
    # The bus label sits on a filled background in its colour just above the box,
    # with text in a contrasting colour inside it.
    label = out[:30, 121:200].reshape(-1, 3)
    colours = {tuple(int(v) for v in px) for px in label}
    # (anti-aliased text: OpenCV versions differ in whether any pixel is pure black)
    assert CLASS_COLOURS[4] in colours and any(max(px) < 64 for px in colours)
    # A list of records draws the same.
    assert np.array_equal(out, draw_detections(img, [CAR, BUS]))


@pytest.mark.parametrize(
    "ltrb",
    [
        [float("nan"), 0.0, 10.0, 10.0],
        [0.0, float("inf"), 10.0, 10.0],
        [-500.0, -500.0, -100.0, -100.0],  # wholly outside
        [1e300, 1e300, 2e300, 2e300],
    ],
)
def test_draw_detections_leaves_out_unusable_boxes(ltrb):
    img = np.full((50, 60, 3), 77, np.uint8)
    out = draw_detections(img, [dict(CAR, ltrb=ltrb)])
    assert np.array_equal(out, img)


def test_draw_detections_clips_and_converts():
    grey = np.full((20, 30), 200, np.uint8)
    rec = dict(PERSON, ltrb=[25.0, 15.0, -100.0, 1e9])  # inverted and far beyond the image
    out = draw_detections(grey, [rec])
    assert out.shape == (20, 30, 3)
    assert (out != 200).any()
    assert np.array_equal(draw_detections(grey, []), cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR))


def test_drawing_scales_with_the_image():
    small, large = style_for(480, 640), style_for(2160, 3840)
    assert large["thickness"] > small["thickness"] >= 2
    assert large["font_scale"] > small["font_scale"]


# ---------------------------------------------------------------------------
# the real catalogue model and the demo


needs_catalogue = pytest.mark.skipif(
    not (REAL_SMALL.is_file() and SAMPLE.is_file()),
    reason="the catalogue model files (models/) or the sample image (samples/) are not in this checkout",
)


@needs_catalogue
def test_end_to_end_with_the_catalogue_model(home, tmp_path):
    s = start_server(REPO / "models")
    try:
        out = tmp_path / "out"
        proc = run_cli(["detect", SAMPLE, "--json", "--save", out], cli_env(home, s.url))
    finally:
        stop_server(s)
    assert proc.returncode == 0, proc.stderr
    (d,) = json_lines(proc.stdout)
    classes = [r["class"] for r in d["results"]]
    assert "bus" in classes
    assert all(50 <= r["ltrb_conf"] <= 100 for r in d["results"])
    annotated = cv2.imread(d["saved"])
    assert annotated is not None and annotated.shape == cv2.imread(str(SAMPLE)).shape


@needs_catalogue
def test_demo_script(home, tmp_path):
    out = tmp_path / "out"
    proc = subprocess.run(
        [sys.executable, str(REPO / "tools" / "demo.py"), "--models", "small_fp32", "--runs", "1", "--out", str(out)],
        env=cli_env(home, None),
        capture_output=True,
        text=True,
        timeout=CLI_TIMEOUT,
    )
    assert proc.returncode == 0, proc.stderr
    assert "== small_fp32" in proc.stdout and "bus" in proc.stdout
    assert "model server stopped" in proc.stdout
    img = cv2.imread(str(out / "demo_small_fp32.jpg"))
    assert img is not None and img.shape == cv2.imread(str(SAMPLE)).shape
