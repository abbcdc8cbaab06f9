"""What the command-line tool writes: --version, JSON numbers, the summary
line, the progress bar on a terminal only, and --quiet."""

from __future__ import annotations

import json
import os
import re
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest
from _cli import (  # noqa: F401  (fixtures)
    CLI_TIMEOUT,
    cli_env,
    home,
    image_tree,
    json_lines,
    noise_image,
    run_cli,
    served,
    tiny_model_bytes,
    write_image,
)

from zorvane_road_objects import __version__
from zorvane_road_objects.detection import formats as jsonout


def test_version(home):
    proc = run_cli(["--version"], cli_env(home, None))
    assert proc.returncode == 0
    assert proc.stdout == f"zorvane-robj {__version__}\n"


# ---------------------------------------------------------------------------
# JSON numbers


def test_box_numbers_are_written_in_their_float32_form(home, tmp_path):
    rows = [[2, 0.9, 5.1864858, 195.83792, 135.80457, 275.75497],
            [5, 0.8, 0.1, 1e-3, 300.0, 200.33333]]
    model = tmp_path / "m.onnx"
    model.write_bytes(tiny_model_bytes(rows))
    img = write_image(tmp_path / "a.png", noise_image(400, 400))
    proc = run_cli(["detect", img, "--model-file", model, "--json"], cli_env(home, None))
    assert proc.returncode == 0, proc.stderr
    line = proc.stdout.strip()
    assert "[0.1, 0.001, 300.0, 200.33333]" in line
    boxes = re.findall(r'"ltrb": \[([^\]]*)\]', line)
    assert len(boxes) == 2
    for token in ", ".join(boxes).split(", "):
        # float32 needs at most 9 significant digits; the double form of 5.1864858 has 16.
        assert len(token.replace(".", "").lstrip("0")) <= 9, token
    (d,) = json_lines(proc.stdout)
    for rec, row in zip(sorted(d["results"], key=lambda r: r["class_id"]), rows):
        assert [np.float32(v) for v in rec["ltrb"]] == [np.float32(v) for v in row[2:]]
        assert all(isinstance(v, float) for v in rec["ltrb"])


@pytest.mark.parametrize("value", [5.186485767364502, 0.1, 1e-7, 3.4028234663852886e38, 1e-45,
                                   -0.0, 123456.0, 16777217.0, 2.0 ** -126])
def test_float32_text_is_the_shortest_that_reads_back(value):
    text = jsonout.float32_text(value)
    assert np.float32(json.loads(text)) == np.float32(value)
    digits = len(text.split("e")[0].replace("-", "").replace(".", "").strip("0")) or 1
    if digits > 1:  # one significant digit fewer does not read back the same
        assert np.float32(float(f"{float(text):.{digits - 2}e}")) != np.float32(value)


def test_json_lines_stay_valid_with_non_finite_boxes():
    rec = {"path": 'a "b".png', "results": [{"ltrb": [float("nan"), float("inf"), -float("inf"), 1.5],
                                              "ltrb_conf": 50, "class_id": 3, "class": "car"}],
           "ltrb_proc_sec": 0.012}
    text = jsonout.dumps(rec)
    assert json.loads(text) == {**rec, "results": [{**rec["results"][0], "ltrb": [None, None, None, 1.5]}]}
    assert "\n" not in text


# ---------------------------------------------------------------------------
# progress bar, summary, --quiet


def run_on_terminal(args, env):
    """Run the tool with standard error on a pseudo-terminal; (rc, stdout, stderr)."""
    fcntl = pytest.importorskip("fcntl", reason="pseudo-terminals are POSIX only")
    pty = pytest.importorskip("pty")
    termios = pytest.importorskip("termios")
    master, slave = pty.openpty()
    # A terminal of 24 rows and 100 columns (a fresh pseudo-terminal has none).
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    chunks = []

    def drain():
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:
                return
            if not data:
                return
            chunks.append(data)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    try:
        proc = subprocess.run([sys.executable, "-m", "zorvane_road_objects", *map(str, args)],
                              env=env, stdout=subprocess.PIPE, stderr=slave, text=True,
                              timeout=CLI_TIMEOUT)
    finally:
        os.close(slave)
        reader.join(timeout=10)
        os.close(master)
    return proc.returncode, proc.stdout, b"".join(chunks).decode("utf-8", "replace")


def test_progress_bar_and_summary_on_a_terminal(served, home, image_tree):
    root, good, bad = image_tree
    rc, out, err = run_on_terminal(["detect", root], cli_env(home, served.url))
    assert rc == 1
    assert "5/5" in err and "img/s" in err
    assert out.count("2 objects in ") == 3
    assert "zorvane-robj: 5 images, 6 objects (3 car, 3 bus), 2 failed, " in err
    summary, about = err.splitlines()[-1].split("; ")
    assert summary.startswith("zorvane-robj: 5 images") and summary.endswith(" images/s")
    assert about == "model small_fp32, conf 0.5, iou 0.5"
    float(summary.split(", ")[-1].split()[0])  # the rate is a number


def test_quiet_keeps_results_and_errors_only(served, home, image_tree):
    root, good, bad = image_tree
    loud = run_cli(["detect", root], cli_env(home, served.url))
    rc, out, err = run_on_terminal(["detect", root, "--quiet"], cli_env(home, served.url))
    assert rc == loud.returncode == 1
    # The same results; the per-image times differ from run to run.
    assert [ln.split(" in ")[0] for ln in out.splitlines()] == [ln.split(" in ")[0] for ln in loud.stdout.splitlines()]
    lines = err.splitlines()
    assert len(lines) == 2 and all(": cannot read image" in ln for ln in lines)
    assert "img/s" not in err and "images/s" not in err


def test_quiet_hides_the_self_serve_notice(home, tmp_path):
    from _httpd import refused_url

    url, sock = refused_url()
    try:
        img = write_image(tmp_path / "a.png", noise_image(60, 80))
        proc = run_cli(["detect", img, "-q", "--json"], cli_env(home, url))
    finally:
        sock.close()
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    (d,) = json_lines(proc.stdout)
    assert set(d) == {"path", "results", "ltrb_proc_sec"}
