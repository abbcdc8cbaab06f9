"""A batch command killed mid-run (SIGKILL, nothing cleaned up) and run
again with --resume: every input comes out exactly once, and the second
run detects only what the first had not written."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("pyarrow")

from test_batch import model_server, read_rows, road_images  # noqa: E402,F401

PART_ROWS = 3


def _parts(out) -> int:
    folder = f"{out}.parts"
    return len([n for n in os.listdir(folder) if n.startswith("part-")]) if os.path.isdir(folder) else 0


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")
def test_killed_command_resumes_with_every_input_once(model_server, tmp_path):
    images = road_images(tmp_path / "imgs", 40)
    out = tmp_path / "det.parquet"
    cmd = [sys.executable, "-m", "zorvane_road_objects", "batch", str(tmp_path / "imgs"), "-o", str(out),
           "--workers", "1", "--part-rows", str(PART_ROWS), "--no-progress"]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while _parts(out) < 2 and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    proc.send_signal(signal.SIGKILL)
    proc.communicate(timeout=30)
    assert not out.exists(), "the run finished before it could be killed"
    written = _parts(out) * PART_ROWS
    assert 0 < written < len(images)

    refused = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert refused.returncode == 1 and "add --resume" in refused.stderr

    again = subprocess.run(cmd + ["--resume"], capture_output=True, text=True, timeout=240)
    assert again.returncode == 0, again.stderr
    detected = int(re.search(r"detected (\d+) input", again.stderr).group(1))
    assert detected == len(images) - written, again.stderr  # only what no part holds
    rows = read_rows(out)  # each input exactly once
    assert set(rows) == {str(p) for p in images}
    assert all(r["error"] is None for r in rows.values())
    assert not os.path.exists(f"{out}.parts")
