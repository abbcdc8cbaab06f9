"""The package's model server (`zorvane_road_objects.model_server`)."""

from __future__ import annotations

import email.utils
import http.client
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import requests

import zorvane_road_objects
from zorvane_road_objects import model_server
from zorvane_road_objects.zorvane_robj_p import download_robj_model

from _httpd import wait_for_port

FILE = "zorvane_robj_d_small_fp32.dat"


@pytest.fixture
def root(tmp_path):
    r = tmp_path / "models"
    r.mkdir()
    (r / FILE).write_bytes(b"model bytes")
    (r / "sub").mkdir()
    (r / "sub" / "inner.dat").write_bytes(b"inner")
    (tmp_path / "secret.txt").write_text("outside")
    return r


@pytest.fixture
def served(root):
    srv = model_server.make_server(root, port=0)
    t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    t.start()
    try:
        yield srv
    finally:
        srv.shutdown()
        srv.server_close()
        t.join(5)


def raw_request(srv, method: str, path: str) -> tuple[int, dict[str, str], bytes]:
    """A request with the path sent exactly as given."""
    host, port = srv.server_address[:2]
    conn = http.client.HTTPConnection(host, port, timeout=10)
    try:
        conn.putrequest(method, path, skip_accept_encoding=True)
        conn.endheaders()
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


def test_binds_loopback_by_default(root):
    srv = model_server.make_server(root, port=0)
    try:
        assert srv.server_address[0] == "127.0.0.1"
        assert srv.url == f"http://127.0.0.1:{srv.server_address[1]}/"
    finally:
        srv.server_close()


@pytest.mark.parametrize("method", ["HEAD", "GET"])
def test_file_headers(served, root, method):
    mtime = 1_600_000_000.75
    os.utime(root / FILE, (mtime, mtime))
    status, headers, payload = raw_request(served, method, "/" + FILE)
    assert status == 200
    assert headers["content-length"] == str(len(b"model bytes"))
    assert headers["last-modified"] == email.utils.formatdate(mtime, usegmt=True)
    assert headers["last-modified"] == "Sun, 13 Sep 2020 12:26:40 GMT"
    assert payload == (b"model bytes" if method == "GET" else b"")


def test_large_file_streams_whole(served, root):
    data = os.urandom(3 * 1024 * 1024 + 123)
    (root / "big.dat").write_bytes(data)
    r = requests.get(served.url + "big.dat", stream=True, timeout=10)
    got = b"".join(r.iter_content(65536))
    assert r.status_code == 200
    assert got == data


def test_file_below_root(served):
    status, _, payload = raw_request(served, "GET", "/sub/inner.dat")
    assert (status, payload) == (200, b"inner")


def test_symlink_inside_root_is_served(served, root):
    (root / "link.dat").symlink_to(root / FILE)
    assert raw_request(served, "GET", "/link.dat")[0] == 200


NOT_FOUND = {
    "missing": "/nothing.dat",
    "root": "/",
    "directory": "/sub",
    "directory slash": "/sub/",
    "parent": "/../secret.txt",
    "parent inside": "/sub/../../secret.txt",
    "encoded parent": "/%2e%2e/secret.txt",
    "encoded slash": "/..%2Fsecret.txt",
    "backslash": "/..%5Csecret.txt",
    "absolute": "//etc/passwd",
    "encoded absolute": "/%2Fetc%2Fpasswd",
    "nul": "/" + FILE + "%00",
    "dot": "/./" + FILE,
    "bad utf-8": "/%ff%fe",
    "symlink out": "/escape.txt",
    "symlinked dir out": "/outdir/secret.txt",
}


@pytest.mark.parametrize("path", NOT_FOUND.values(), ids=NOT_FOUND.keys())
@pytest.mark.parametrize("method", ["HEAD", "GET"])
def test_not_found(served, root, method, path):
    (root / "escape.txt").symlink_to(root.parent / "secret.txt")
    (root / "outdir").symlink_to(root.parent, target_is_directory=True)
    status, _, payload = raw_request(served, method, path)
    assert status == 404
    assert b"outside" not in payload


def test_query_string_ignored(served):
    assert raw_request(served, "GET", "/" + FILE + "?v=2")[0] == 200


def test_other_methods_refused(served):
    assert raw_request(served, "POST", "/" + FILE)[0] == 501


def test_missing_root(tmp_path):
    with pytest.raises(NotADirectoryError):
        model_server.make_server(tmp_path / "absent", port=0)
    assert model_server.main(["--root", str(tmp_path / "absent"), "--port", "0"]) == 1


def test_usage_error():
    with pytest.raises(SystemExit) as info:
        model_server.main(["--port", "0"])
    assert info.value.code == 2


def test_provisioning_from_the_model_server(served, root, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", served.url)
    monkeypatch.delenv("ZORVANE_ROBJ_SKIP_UPDATE", raising=False)
    path = download_robj_model("small_fp32")
    assert Path(path).read_bytes() == b"model bytes"
    stamp = Path(path + ".last_modified").read_text()
    # Unchanged on the server: the stamp confirms the copy.
    os.remove(root / FILE)
    (root / FILE).write_bytes(b"changed but same mtime")
    os.utime(root / FILE, (0, email.utils.parsedate_to_datetime(stamp).timestamp()))
    assert Path(download_robj_model("small_fp32")).read_bytes() == b"model bytes"
    # A new modification time: downloaded again.
    os.utime(root / FILE, (0, time.time() + 5))
    assert Path(download_robj_model("small_fp32")).read_bytes() == b"changed but same mtime"


def _start_cli(root: Path, extra=()) -> tuple[subprocess.Popen, str]:
    pkg_parent = str(Path(zorvane_road_objects.__file__).resolve().parent.parent)
    env = dict(os.environ,
               PYTHONPATH=os.pathsep.join([pkg_parent, os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen(
        [sys.executable, "-m", "zorvane_road_objects.model_server", "--root", str(root),
         "--port", "0", *extra],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    line = proc.stderr.readline()
    m = re.search(r" on (http://127\.0\.0\.1:(\d+)/) ", line)
    assert m, line
    assert wait_for_port("127.0.0.1", int(m.group(2)))
    return proc, m.group(1)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "term"])
def test_cli_logs_each_request_and_stops_cleanly(root, sig):
    proc, url = _start_cli(root)
    try:
        assert requests.head(url + FILE, timeout=5).status_code == 200
        assert requests.get(url + FILE, timeout=5).content == b"model bytes"
        assert requests.get(url + "missing", timeout=5).status_code == 404
        time.sleep(0.2)
        proc.send_signal(sig)
        _, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0
    lines = [ln for ln in err.splitlines() if ln.strip()]
    requests_logged = [ln for ln in lines if '"' in ln]
    assert len(requests_logged) == 3
    assert '"HEAD /' + FILE + ' HTTP/1.1" 200' in requests_logged[0]
    assert '"GET /' + FILE + ' HTTP/1.1" 200' in requests_logged[1]
    assert '"GET /missing HTTP/1.1" 404' in requests_logged[2]
    assert lines[-1] == "Stopped."
    assert "Traceback" not in err
