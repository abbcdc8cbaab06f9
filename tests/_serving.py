"""The package's model server on loopback, for tests that provision models."""

from __future__ import annotations

import contextlib
import threading


@contextlib.contextmanager
def running(root):
    """The package's model server over the folder `root` on a free loopback
    port, serving on a thread until the block ends; yields the server."""
    from zorvane_road_objects.serving.server import make_server

    server = make_server(root, "127.0.0.1", 0)
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join(10)


@contextlib.contextmanager
def model_server(root, home, monkeypatch):
    """Serves the folder `root` on 127.0.0.1 with HOME at `home` and the
    provisioning pointed at the server; yields the server."""
    monkeypatch.setenv("HOME", str(home))
    with running(root) as server:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", server.url)
        yield server
