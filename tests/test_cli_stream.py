"""``zorvane-robj detect`` over videos, globs and stream URLs: frame order,
timestamps, --every/--max-frames, annotated videos, tracking with line counts,
sources that fail, and Ctrl-C in the middle of a run."""

from __future__ import annotations

import signal

import cv2
import pytest
from _cli import (  # noqa: F401  (fixtures)
    cli_env,
    home,
    interrupt_detect,
    json_lines,
    run_cli,
    served,
)
from _media import RangeServer, frame_image, write_video


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    return write_video(tmp_path_factory.mktemp("media") / "clip.mp4", 24, fps=12.0)


def frames_of(path) -> tuple[int, float, int, int]:
    cap = cv2.VideoCapture(str(path))
    try:
        n = 0
        while cap.read()[0]:
            n += 1
        return n, cap.get(cv2.CAP_PROP_FPS), int(cap.get(3)), int(cap.get(4))
    finally:
        cap.release()


@pytest.mark.parametrize("extra, frames", [
    ([], list(range(24))),
    (["--workers", "3"], list(range(24))),
    (["--every", "5"], [0, 5, 10, 15, 20]),
    (["--every", "2", "--max-frames", "3"], [0, 2, 4]),
])
def test_video_frames_come_in_order_with_timestamps(served, home, clip, extra, frames):
    proc = run_cli(["detect", clip, "--json", *extra], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    records = json_lines(proc.stdout)
    assert [r["frame"] for r in records] == frames
    assert [r["timestamp"] for r in records] == pytest.approx([f / 12.0 for f in frames], abs=1e-3)
    assert all(r["path"] == str(clip) and r["results"] for r in records)


def test_annotated_video_keeps_size_rate_and_length(served, home, clip, tmp_path):
    out = tmp_path / "out"
    proc = run_cli(["detect", clip, "--save", out, "--workers", "2"], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    assert frames_of(out / "clip.mp4") == (24, pytest.approx(12.0), 320, 240)
    assert "wrote" in proc.stderr


def test_glob_and_folder_sources_mix_with_a_video(served, home, clip, tmp_path):
    for i in range(3):
        cv2.imwrite(str(tmp_path / f"img{i}.png"), frame_image(i))
    proc = run_cli(["detect", str(tmp_path / "img*.png"), clip, "--json", "--max-frames", "5"],
                   cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    records = json_lines(proc.stdout)
    # --max-frames counts per source: the glob's three images, then five frames of the video.
    assert [r["path"].rsplit("/", 1)[-1] for r in records] == [
        "img0.png", "img1.png", "img2.png"] + ["clip.mp4"] * 5
    assert "frame" not in records[0] and [r["frame"] for r in records[3:]] == list(range(5))


def test_stream_url_over_http(served, home, clip):
    with RangeServer(clip.parent) as media:
        proc = run_cli(["detect", media.url + clip.name, "--json", "--max-frames", "6"],
                       cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    records = json_lines(proc.stdout)
    assert [r["frame"] for r in records] == list(range(6))
    assert all(isinstance(r["timestamp"], float) for r in records)


@pytest.mark.parametrize("make, message", [
    (lambda d: (d / "broken.mp4").write_bytes(b"\0not a video" * 100) and d / "broken.mp4",
     "cannot open video file"),
    (lambda d: "http://127.0.0.1:9/none", "cannot open stream"),
    (lambda d: "http://127.0.0.1:9/none.mp4", "cannot open video file"),
    (lambda d: "ftp://127.0.0.1/x.mp4", "unsupported URL scheme"),
    (lambda d: d / "missing.jpg", "no such file or folder"),
])
def test_sources_that_cannot_be_opened_fail_clearly(served, home, tmp_path, make, message):
    proc = run_cli(["detect", make(tmp_path)], cli_env(home, served.url), timeout=60)
    assert proc.returncode == 1
    assert message in proc.stderr
    assert "Traceback" not in proc.stderr


@pytest.mark.parametrize("camera", [[], ["--fixed-camera"]])
def test_tracking_and_line_counts_reach_json_and_summary(served, home, clip, camera):
    # The tiny model reports the same boxes in every frame: the car and the
    # bus keep one track each, shown from the stream's first frame on, the
    # weak person (30%) never starts one, and nothing crosses the lines
    # beside the boxes.
    proc = run_cli(["detect", clip, "--json", "--count-line", "0,0,5,0", "--count-line", "gate=10,0,10,5",
                    "--workers", "2", *camera], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    lines = json_lines(proc.stdout)
    *frames, counts = lines
    ids = {tuple(sorted((r["class"], r["track_id"]) for r in f["results"])) for f in frames}
    assert ids == {(("bus", 2), ("car", 1))} or ids == {(("bus", 1), ("car", 2))}
    assert counts == {"line_counts": [
        {"name": "line1", "line": [0.0, 0.0, 5.0, 0.0], "in": 0, "out": 0, "by_class": {}},
        {"name": "gate", "line": [10.0, 0.0, 10.0, 5.0], "in": 0, "out": 0, "by_class": {}}]}
    assert "line1 (0,0)-(5,0): in 0; out 0" in proc.stderr
    assert "gate (10,0)-(10,5): in 0; out 0" in proc.stderr


@pytest.mark.parametrize("bad", ["1,2,3", "a,b,c,d", "1,1,1,1", "0,0,nan,1", "0,0,2e6,1", "5,5,5.5,5",
                                 "=0,0,5,0"])
def test_bad_count_line_is_a_usage_error(home, bad):
    proc = run_cli(["detect", "x.jpg", "--count-line", bad], cli_env(home, None))
    assert proc.returncode == 2
    assert "--count-line" in proc.stderr


@pytest.mark.parametrize("bad", ["0", "-5", "fast"])
def test_bad_fps_is_a_usage_error(home, bad):
    proc = run_cli(["detect", "x.jpg", "--track", "--fps", bad], cli_env(home, None))
    assert proc.returncode == 2
    assert "--fps" in proc.stderr


def test_ctrl_c_stops_cleanly_with_output_intact(served, home, tmp_path):
    long_clip = write_video(tmp_path / "long.mp4", 3000, fps=25.0)
    out = tmp_path / "out"
    rc, records, err = interrupt_detect([long_clip, "--save", out, "--workers", "2"],
                                        cli_env(home, served.url), signal.SIGINT)
    assert rc == 130, err
    frames = [r["frame"] for r in records]
    assert 20 <= len(frames) < 3000
    assert frames == list(range(len(frames)))
    assert "(interrupted)" in err
    n, fps, w, h = frames_of(out / "long.mp4")
    assert (n, w, h) == (len(frames), 320, 240)
