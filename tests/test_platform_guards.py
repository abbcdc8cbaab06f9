"""The Python side where operating systems differ, with the platform's
modules patched to take the Windows branch where that can be done here: the
model server with select() as the only selector and its bound on the sockets
it can watch, a port that a second server cannot take while the first
listens on it, and the batch actors' model loading without fcntl. Real
servers and sockets on 127.0.0.1, real models from the repository."""

from __future__ import annotations

import http.client
import selectors
import socket
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from zorvane_road_objects.serving import server as model_server


@pytest.fixture
def root(tmp_path):
    r = tmp_path / "models"
    r.mkdir()
    (r / "small.dat").write_bytes(b"model bytes")
    return r


class WatchedSelect(selectors.SelectSelector):
    """select() as Windows has it, remembering the most sockets it watched
    at once."""

    most = 0

    def register(self, fileobj, events, data=None):
        key = super().register(fileobj, events, data)
        WatchedSelect.most = max(WatchedSelect.most, len(self.get_map()))
        return key


@pytest.fixture
def windows_selector(monkeypatch):
    # As on Windows: no descriptor limit to read, select() the only selector.
    monkeypatch.setattr(model_server, "resource", None)
    monkeypatch.setattr(selectors, "DefaultSelector", WatchedSelect)
    WatchedSelect.most = 0


def test_connection_limit_fits_select(windows_selector):
    assert model_server._connection_limit(model_server.WORKERS) == model_server._SELECT_SOCKETS - 1


def test_connection_limit_elsewhere_reads_the_descriptor_limit(monkeypatch):
    monkeypatch.setattr(selectors, "DefaultSelector", selectors.PollSelector)
    monkeypatch.setattr(model_server, "resource", None)
    assert model_server._connection_limit(model_server.WORKERS) == model_server.MAX_CONNECTIONS


def test_select_never_watches_more_than_it_can(root, windows_selector, monkeypatch):
    # A select() bound of 16 sockets, 30 idle clients: the server keeps
    # within the bound and still answers a request.
    monkeypatch.setattr(model_server, "_SELECT_SOCKETS", 16)
    srv = model_server.make_server(root, port=0)
    t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    t.start()
    idle = []
    try:
        for _ in range(30):
            s = socket.create_connection(srv.server_address[:2], timeout=5)
            s.sendall(b"GET /small.dat HTTP/1.1\r\n")  # a head that never ends
            idle.append(s)
        time.sleep(0.5)
        conn = http.client.HTTPConnection(*srv.server_address[:2], timeout=10)
        try:
            conn.request("GET", "/small.dat")
            resp = conn.getresponse()
            assert (resp.status, resp.read()) == (200, b"model bytes")
        finally:
            conn.close()
        assert 1 < WatchedSelect.most <= 16
    finally:
        for s in idle:
            s.close()
        srv.shutdown()
        srv.server_close()
        t.join(5)


def test_second_server_cannot_take_a_listening_port(root):
    first = model_server.make_server(root, port=0)
    try:
        with pytest.raises(OSError):
            model_server.make_server(root, port=first.server_address[1])
    finally:
        first.server_close()


# --------------------------------------------------------------------------
# Batch actors without fcntl


def test_batch_actor_loads_its_detector_without_fcntl(tmp_path, monkeypatch):
    pytest.importorskip("pyarrow")
    from zorvane_road_objects.batch.frames import DetectorSet

    models = Path(__file__).resolve().parent.parent / "models"
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("USERPROFILE", str(tmp_path))
    srv = model_server.make_server(models, port=0)
    t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    t.start()
    try:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", srv.url)
        monkeypatch.setitem(sys.modules, "fcntl", None)  # import fcntl: ImportError, as on Windows
        detector = DetectorSet("small_fp32", "cpu", 0.5, 0.5, 1).detectors[0]
    finally:
        srv.shutdown()
        srv.server_close()
        t.join(5)
    result = detector(np.zeros((64, 64, 3), np.uint8))
    assert set(result) == {"results", "ltrb_proc_sec"}
    assert (tmp_path / ".zorvane" / "zorvane_robj_data" / "zorvane_robj_d_small_fp32.dat").is_file()
