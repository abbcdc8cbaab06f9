"""The package's model server, run inside the current process.

When the command-line tool cannot get a catalogue model from the configured
model server, it serves the model files that ship with the package on a free
loopback port for the rest of the run and points model provisioning at it.

    server = serve_in_process(bundled_models())
    os.environ["ZORVANE_ROBJ_MODEL_SERVER"] = server.url
    ...
    server.stop()
"""

from __future__ import annotations

import os
import threading

from zorvane_road_objects.serving import server as model_server

__all__ = ["InProcessServer", "serve_in_process"]

LOOPBACK = "127.0.0.1"


def _quiet(handler_class: type) -> type:
    """The server's request handler without its per-request log lines."""

    class QuietHandler(handler_class):
        def log_message(self, format, *args):  # noqa: A002
            pass

    QuietHandler.__name__ = QuietHandler.__qualname__ = "Quiet" + handler_class.__name__
    return QuietHandler


class InProcessServer:
    """A model server for ``root`` answering on a loopback port from a daemon thread."""

    def __init__(self, root: str | os.PathLike, host: str = LOOPBACK, port: int = 0) -> None:
        self._server = model_server.make_server(os.fspath(root), host, port)
        # The tool's standard error is for the user: one notice, not one line per request.
        self._server.RequestHandlerClass = _quiet(self._server.RequestHandlerClass)
        self._thread = threading.Thread(
            target=self._server.serve_forever,
            kwargs={"poll_interval": 0.1},
            name="zorvane-robj-model-server",
            daemon=True,
        )
        self._thread.start()

    @property
    def url(self) -> str:
        """Base address, ending in "/"."""
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}/"

    @property
    def root(self) -> str:
        return self._server.root

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)

    def __enter__(self) -> InProcessServer:
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


def serve_in_process(root: str | os.PathLike) -> InProcessServer:
    """Start serving the files under ``root`` on a free loopback port.

    Raises OSError (NotADirectoryError included) when the folder is missing or
    no socket can be bound.
    """
    return InProcessServer(root, LOOPBACK, 0)
