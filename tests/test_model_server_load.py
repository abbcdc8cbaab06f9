"""The model server under clients that read slowly, read nothing or never
finish their request head: a normal client is still served at once.

The server's time-outs are shortened per test; every client is a real socket
on 127.0.0.1, and a normal request gets SERVED_WITHIN seconds before it
counts as starved (the slow clients would otherwise hold it for 5 to 30 s).
"""

from __future__ import annotations

import http.client
import os
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from _serving import running
import zorvane_road_objects
from zorvane_road_objects.serving import server as model_server

from _httpd import wait_for_port

SMALL = "small.dat"
BIG = "big.dat"
BIG_SIZE = 8 * 1024 * 1024  # more than the kernel queues for one socket
SERVED_WITHIN = 2.0


@pytest.fixture
def root(tmp_path):
    r = tmp_path / "models"
    r.mkdir()
    (r / SMALL).write_bytes(b"model bytes")
    (r / BIG).write_bytes(os.urandom(BIG_SIZE))
    return r


@pytest.fixture
def served(root):
    with running(root) as srv:
        yield srv


def normal_request(address, method: str) -> tuple[int, bytes]:
    """One request on a new connection; raises when it is not answered
    within SERVED_WITHIN seconds."""
    conn = http.client.HTTPConnection(*address[:2], timeout=SERVED_WITHIN)
    try:
        conn.request(method, "/" + SMALL)
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def slow_reader(address, path: str = BIG) -> socket.socket:
    """A connection that asks for ``path`` with a small receive window and
    reads nothing yet."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.settimeout(10)
    s.connect(address[:2])
    s.sendall(f"GET /{path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
    return s


def test_clients_that_never_read_hold_no_worker(served):
    served.send_stall_timeout = 5.0  # gone soon after the test
    readers = [slow_reader(served.server_address) for _ in range(40)]
    try:
        time.sleep(0.5)  # every request taken up and its body started
        assert normal_request(served.server_address, "HEAD") == (200, b"")
        assert normal_request(served.server_address, "GET") == (200, b"model bytes")
    finally:
        for s in readers:
            s.close()


def test_readers_that_stopped_give_way_past_the_connection_limit(root, monkeypatch):
    monkeypatch.setattr(model_server, "MAX_CONNECTIONS", 8)
    srv = model_server.make_server(root, port=0)
    t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    t.start()
    readers = [slow_reader(srv.server_address) for _ in range(12)]
    try:
        time.sleep(1.5)  # the first 8 have read nothing for a while
        assert normal_request(srv.server_address, "GET") == (200, b"model bytes")
    finally:
        for s in readers:
            s.close()
        srv.shutdown()
        srv.server_close()
        t.join(5)


def _cut_off(s: socket.socket, pause: float, read: int, every: float) -> int | None:
    """Read nothing for ``pause`` seconds, then ``read`` bytes every ``every``
    seconds; the bytes received when the server closed the connection, or
    None when it was still open 4 s after the start."""
    got = 0
    end = time.monotonic() + 4.0
    time.sleep(pause)
    s.settimeout(0.2)
    while time.monotonic() < end:
        try:
            chunk = s.recv(read)
        except TimeoutError:
            continue
        except (ConnectionResetError, BrokenPipeError):
            return got
        if not chunk:
            return got
        got += len(chunk)
        time.sleep(every)
    return None


@pytest.mark.parametrize("case", ["stalled", "trickle"])
def test_slow_readers_are_cut_off(served, case):
    if case == "stalled":
        # Reads nothing for longer than the stall time-out, then all it can.
        served.send_stall_timeout = 0.5
        pause, read, every = 1.5, 65536, 0.0
    else:
        # Reads a little all the time, far below the least average rate:
        # the whole response must be gone within 0.5 s + 8 MiB / 16 MiB/s.
        served.send_timeout = 0.5
        served.min_send_rate = 16 * 1024 * 1024
        pause, read, every = 0.0, 256, 0.05
    with slow_reader(served.server_address) as s:
        got = _cut_off(s, pause, read, every)
    assert got is not None, "the server kept the connection of a slow reader"
    assert got < BIG_SIZE, "the server waited for a slow reader"
    # And the server is still there for others.
    assert normal_request(served.server_address, "GET") == (200, b"model bytes")


def test_kept_alive_connection_serves_after_a_long_body(served):
    """A connection that read a long body whole goes back to waiting for
    its next request."""
    with socket.create_connection(served.server_address[:2], timeout=10) as s:
        for _ in range(2):
            s.sendall(f"GET /{BIG} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            resp = http.client.HTTPResponse(s)
            resp.begin()
            assert resp.status == 200
            assert len(resp.read()) == BIG_SIZE


def _start_limited_server(root: Path, nofile: int) -> tuple[subprocess.Popen, int]:
    """The command-line server in a child process that may hold at most
    ``nofile`` descriptors."""
    pkg_parent = str(Path(zorvane_road_objects.__file__).resolve().parent.parent)
    env = dict(os.environ,
               PYTHONPATH=os.pathsep.join([pkg_parent, os.environ.get("PYTHONPATH", "")]))
    code = ("import resource, sys\n"
            f"resource.setrlimit(resource.RLIMIT_NOFILE, ({nofile}, {nofile}))\n"
            "from zorvane_road_objects.serving import server\n"
            "sys.exit(server.main(sys.argv[1:]))\n")
    proc = subprocess.Popen([sys.executable, "-c", code, "--root", str(root), "--port", "0"],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)
    line = proc.stderr.readline()
    port = int(line.rsplit(":", 1)[1].split("/")[0]) if "http://" in line else 0
    assert port and wait_for_port("127.0.0.1", port), line
    # Keep reading the log so the server never blocks on a full pipe.
    threading.Thread(target=proc.stderr.read, daemon=True).start()
    return proc, port


@pytest.mark.skipif(sys.platform == "win32", reason="descriptor limits are POSIX")
def test_slow_heads_at_the_descriptor_limit_do_not_starve_others(root):
    proc, port = _start_limited_server(root, 256)
    heads = []
    try:
        for _ in range(300):
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            s.sendall(b"GET /" + SMALL.encode() + b" HTTP/1.1\r\nHost: x\r\n")
            heads.append(s)
        time.sleep(0.3)
        assert normal_request(("127.0.0.1", port), "HEAD") == (200, b"")
        assert normal_request(("127.0.0.1", port), "GET") == (200, b"model bytes")
    finally:
        for s in heads:
            s.close()
        proc.terminate()
        proc.wait(10)
