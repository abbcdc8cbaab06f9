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
