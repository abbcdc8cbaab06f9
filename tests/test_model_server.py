"""The package's model server (`zorvane_road_objects.serving.server`)."""

from __future__ import annotations

import base64
import email.utils
import hashlib
import http.client
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import requests

from _serving import running
import zorvane_road_objects
from zorvane_road_objects.serving import server as model_server
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
    with running(root) as srv:
        yield srv


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


@pytest.mark.parametrize("argv", [["--port", "x"], ["--bogus"]])
def test_usage_error(argv):
    with pytest.raises(SystemExit) as info:
        model_server.main(argv)
    assert info.value.code == 2


def test_provisioning_from_the_model_server(served, root, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", served.url)
    monkeypatch.delenv("ZORVANE_ROBJ_SKIP_UPDATE", raising=False)
    path = download_robj_model("small_fp32")
    assert Path(path).read_bytes() == b"model bytes"
    stamp = Path(path + ".last_modified").read_text()
    # Same stamp and size on the server: the stamp confirms the copy.
    os.remove(root / FILE)
    (root / FILE).write_bytes(b"changed it!")
    os.utime(root / FILE, (0, email.utils.parsedate_to_datetime(stamp).timestamp()))
    assert Path(download_robj_model("small_fp32")).read_bytes() == b"model bytes"
    # A new modification time: downloaded again.
    os.utime(root / FILE, (0, time.time() + 5))
    assert Path(download_robj_model("small_fp32")).read_bytes() == b"changed it!"


def _start_cli(root: Path | None, extra=()) -> tuple[subprocess.Popen, str]:
    pkg_parent = str(Path(zorvane_road_objects.__file__).resolve().parent.parent)
    env = dict(os.environ,
               PYTHONPATH=os.pathsep.join([pkg_parent, os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen(
        [sys.executable, "-m", "zorvane_road_objects.serving.server",
         *(["--root", str(root)] if root else []), "--port", "0", *extra],
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


def test_default_root_serves_the_bundled_models():
    proc, url = _start_cli(None)
    try:
        for name in ("zorvane_robj_d_small_fp32.dat", "zorvane_robj_d_medium_fp32.dat",
                     "zorvane_robj_d_large_fp32.dat"):
            r = requests.head(url + name, timeout=10)
            assert r.status_code == 200, name
            size = (zorvane_road_objects.bundled_models() / name).stat().st_size
            assert r.headers["Content-Length"] == str(size)
    finally:
        proc.terminate()
        proc.communicate(timeout=10)


def _sha256_header(data: bytes) -> str:
    return "sha-256=:" + base64.b64encode(hashlib.sha256(data).digest()).decode() + ":"


def test_repr_digest_follows_the_file(served, root):
    path = root / FILE
    before = path.stat().st_mtime_ns
    versions = [b"model bytes",
                b"other bytes",  # same size and (restored) time: still noticed
                os.urandom(3 * 1024 * 1024 + 5)]
    for data in versions:
        path.write_bytes(data)
        if len(data) == len(versions[0]):
            os.utime(path, ns=(before, before))
        for method in ("HEAD", "GET", "GET"):
            status, headers, payload = raw_request(served, method, "/" + FILE)
            assert status == 200
            assert headers["repr-digest"] == _sha256_header(data), method
            assert payload == (data if method == "GET" else b"")


def exchange(srv, data: bytes, wait: float = 2.0) -> tuple[bytes, bool]:
    """Everything the server sends back on one connection that carries
    ``data``, and whether the server closed it (rather than went quiet)."""
    with socket.create_connection(srv.server_address[:2], timeout=wait) as s:
        s.sendall(data)
        got = b""
        try:
            while chunk := s.recv(65536):
                got += chunk
        except TimeoutError:
            return got, False
        except ConnectionResetError:
            pass
        return got, True


STATUS_LINE = re.compile(rb"HTTP/1\.[01] (\d{3}) ")
HEAD = b"GET /" + FILE.encode() + b" HTTP/1.1\r\nHost: x\r\n"
SMUGGLED = b"GET /sub/inner.dat HTTP/1.1\r\nHost: x\r\n\r\n"
N = str(len(SMUGGLED)).encode()
REFUSED = {
    "body": (b"Content-Length: " + N, SMUGGLED),
    "chunked": (b"Transfer-Encoding: chunked",
                b"%x\r\n" % len(SMUGGLED) + SMUGGLED + b"\r\n0\r\n\r\n"),
    "length and chunked": (b"Content-Length: 5\r\nTransfer-Encoding: chunked",
                           b"0\r\n\r\n" + SMUGGLED),
    "conflicting lengths": (b"Content-Length: 0\r\nContent-Length: " + N, SMUGGLED),
    "length list": (b"Content-Length: 0, " + N, SMUGGLED),
    "signed length": (b"Content-Length: +0", SMUGGLED),
    "negative length": (b"Content-Length: -1", SMUGGLED),
    "space before colon": (b"Content-Length : " + N, SMUGGLED),
    "folded length": (b"Content-Length: 0\r\n " + N, SMUGGLED),
    "expect 100": (b"Expect: 100-continue\r\nContent-Length: " + N, SMUGGLED),
}


@pytest.mark.parametrize("extra,body", REFUSED.values(), ids=REFUSED.keys())
def test_request_with_a_body_is_refused_and_closed(served, extra, body):
    got, closed = exchange(served, HEAD + extra + b"\r\n\r\n" + body)
    assert STATUS_LINE.findall(got) == [b"400"]
    assert b"inner" not in got
    assert closed


@pytest.mark.parametrize("extra", [b"Content-Length: 0\r\n",
                                   b"Content-Length: 0\r\nContent-Length: 0\r\n"])
def test_empty_body_keeps_the_connection(served, extra):
    second = SMUGGLED.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n")
    got, closed = exchange(served, HEAD + extra + b"\r\n" + second)
    assert STATUS_LINE.findall(got) == [b"200", b"200"]
    assert got.index(b"model bytes") < got.index(b"inner")
    assert closed


def test_oversized_head_is_refused(served):
    pad = b"".join(b"X-Pad-%d: %s\r\n" % (i, b"a" * 1000) for i in range(80))
    got, closed = exchange(served, HEAD + pad + b"\r\n")
    assert STATUS_LINE.findall(got) == [b"431"]
    assert closed


def _get_all(url: str, clients: int) -> list:
    results: list = [None] * clients
    gate = threading.Barrier(clients)

    def client(i):
        gate.wait(30)
        try:
            r = requests.get(url, timeout=5)
            results[i] = (r.status_code, r.content)
        except requests.RequestException as exc:
            results[i] = exc

    threads = [threading.Thread(target=client, args=(i,), daemon=True) for i in range(clients)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 60
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    return results


def test_burst_of_clients_is_served(served):
    results = _get_all(served.url + FILE, 200)
    assert [r for r in results if r != (200, b"model bytes")] == []


def _open_idle(srv, count: int, data: bytes = b"") -> list[socket.socket]:
    socks = []
    for _ in range(count):
        s = socket.create_connection(srv.server_address[:2], timeout=10)
        s.sendall(data)
        socks.append(s)
    return socks


@pytest.mark.parametrize("data", [b"", b"GET /x HTTP/1.1\r\nHost: x\r\n"], ids=["silent", "partial"])
def test_idle_connections_do_not_starve_others(served, data):
    socks = _open_idle(served, 200, data)
    try:
        assert _get_all(served.url + FILE, 3) == [(200, b"model bytes")] * 3
    finally:
        for s in socks:
            s.close()


def test_connections_past_the_limit_wait_and_idle_ones_give_way(root, monkeypatch):
    monkeypatch.setattr(model_server, "MAX_CONNECTIONS", 8, raising=False)
    srv = model_server.make_server(root, port=0)
    t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    t.start()
    socks = _open_idle(srv, 30)
    try:
        assert _get_all(srv.url + FILE, 3) == [(200, b"model bytes")] * 3
    finally:
        for s in socks:
            s.close()
        srv.shutdown()
        srv.server_close()
        t.join(5)


def _closed_by_server(s: socket.socket, pace: bytes = b"") -> bool:
    """Whether the server closes ``s`` within a few seconds; with ``pace``,
    one byte of it is sent every 0.1 s meanwhile."""
    s.settimeout(0.1 if pace else 5)
    for i in range(50 if pace else 1):
        try:
            if pace:
                s.send(pace[i % len(pace):][:1])
            while s.recv(65536):
                pass
            return True
        except (ConnectionResetError, BrokenPipeError):
            return True
        except TimeoutError:
            continue
    return False


@pytest.mark.parametrize("case", ["silent", "partial head", "trickle", "kept alive"])
def test_stalled_connections_are_closed(served, case):
    served.header_timeout = served.keep_alive_timeout = 0.5
    with socket.create_connection(served.server_address[:2], timeout=5) as s:
        if case == "partial head":
            s.sendall(HEAD)
        elif case == "kept alive":
            s.sendall(HEAD + b"\r\n")
            assert s.recv(65536).startswith(b"HTTP/1.1 200")
        pace = HEAD + b"X-Slow: " + b"a" * 100 if case == "trickle" else b""
        assert _closed_by_server(s, pace)
