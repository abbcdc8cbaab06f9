"""The command-line tool serves its bundled models itself when the model
server cannot provide one, and the in-process server behind that."""

from __future__ import annotations

import http.client
import socket

import pytest
from _cli import (  # noqa: F401  (fixtures)
    SAMPLE,
    cli_env,
    home,
    json_lines,
    noise_image,
    run_cli,
    served,
    write_image,
)

from zorvane_road_objects import bundled_models
from zorvane_road_objects import facts
from zorvane_road_objects.serving.inprocess import serve_in_process


def port_open(port: int) -> bool:
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def notices(stderr: str) -> list[str]:
    return [ln for ln in stderr.splitlines() if "serving the bundled models" in ln]


def test_detect_works_with_no_server_and_an_empty_home(home):
    if port_open(8470):
        pytest.skip("something listens on the default model server address 127.0.0.1:8470")
    proc = run_cli(["detect", SAMPLE], cli_env(home, None))
    assert proc.returncode == 0, proc.stderr
    classes = {ln.split()[0] for ln in proc.stdout.splitlines()[1:]}
    assert {"bus", "car"} <= classes
    (notice,) = notices(proc.stderr)
    assert notice.startswith("zorvane-robj: cannot get small_fp32 from http://127.0.0.1:8470/; "
                             f"serving the bundled models from {bundled_models()} on http://127.0.0.1:")
    assert notice.endswith(" for this run")
    # The model is cached now: the next run needs no server at all.
    again = run_cli(["detect", SAMPLE], cli_env(home, None))
    assert again.returncode == 0
    assert notices(again.stderr) == []
    assert again.stdout.splitlines()[1:] == proc.stdout.splitlines()[1:]


def test_a_server_without_the_model_is_stood_in_for(served, home, tmp_path):
    img = write_image(tmp_path / "a.png", noise_image(120, 160))
    proc = run_cli(["detect", img, "--model", "large_fp32", "--json"], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    (d,) = json_lines(proc.stdout)
    assert set(d) == {"path", "results", "ltrb_proc_sec"}
    (notice,) = notices(proc.stderr)
    assert f"cannot get large_fp32 from {served.url}; " in notice
    cached = home / ".zorvane" / "zorvane_robj_data" / facts.model_file_name("large_fp32")
    assert cached.read_bytes() == (bundled_models() / cached.name).read_bytes()


def head(url_base: str, name: str) -> int:
    host, port = url_base.removeprefix("http://").rstrip("/").split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=5)
    try:
        conn.request("HEAD", "/" + name)
        return conn.getresponse().status
    finally:
        conn.close()


def test_in_process_server_answers_quietly_and_stops(tmp_path, capfd):
    (tmp_path / "m.dat").write_bytes(b"model bytes")
    with serve_in_process(tmp_path) as server:
        assert server.url.startswith("http://127.0.0.1:")
        assert head(server.url, "m.dat") == 200
        assert head(server.url, "missing.dat") == 404
        url = server.url
    assert capfd.readouterr().err == ""  # no request log lines
    with pytest.raises(OSError):
        head(url, "m.dat")


def test_in_process_server_refuses_a_missing_folder(tmp_path):
    with pytest.raises(OSError):
        serve_in_process(tmp_path / "nope")


# ---------------------------------------------------------------------------
# The Python API's Detector, out of the box

_DETECTOR_SCRIPT = r"""
import json, os, sys, warnings
import cv2
import zorvane_road_objects as z
before = dict(os.environ)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    det = z.Detector("small_fp32", classes=["bus", "traffic light"], max_det=1)
    found = det(cv2.imread(str(z.sample_image())))
print(json.dumps({"bundled": det.bundled, "classes": [d.class_name for d in found],
                  "warnings": [f"{w.category.__name__}: {w.message}" for w in caught],
                  "env_same": dict(os.environ) == before}))
"""


def run_detector_script(env):
    import json
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, "-c", _DETECTOR_SCRIPT], env=env, capture_output=True, text=True,
                          timeout=180)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def test_detector_works_with_no_server_and_an_empty_home_and_warns_once(home):
    refused = "http://127.0.0.1:9/"
    got = run_detector_script(cli_env(home, refused))
    assert got["bundled"] is True and got["env_same"] is True
    assert got["classes"] == ["bus"]  # the class filter and max_det applied
    (warning,) = got["warnings"]
    assert warning.startswith(f"RuntimeWarning: cannot get small_fp32 from {refused}; using the model file "
                              f"bundled with the package ({bundled_models()}")
    assert not (home / ".zorvane" / "zorvane_robj_data" / facts.model_file_name("small_fp32")).exists()


def test_detector_provisions_a_served_model(served, home):
    got = run_detector_script(cli_env(home, served.url))
    assert got == {"bundled": False, "classes": ["bus"], "warnings": [], "env_same": True}
    cached = home / ".zorvane" / "zorvane_robj_data" / facts.model_file_name("small_fp32")
    assert cached.read_bytes() == (served.root / cached.name).read_bytes()


def test_the_native_detector_still_refuses_without_a_server(home):
    import subprocess
    import sys

    code = ("from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector\n"
            "try:\n    zv_road_object_detector('small_fp32')\nexcept ValueError as e:\n    print(e)\n")
    proc = subprocess.run([sys.executable, "-c", code], env=cli_env(home, "http://127.0.0.1:9/"),
                          capture_output=True, text=True, timeout=120)
    assert proc.stdout.strip() == "Model access denied"
