"""A small static HTTP server for model files.

    python -m zorvane_road_objects.model_server --root DIR [--host 127.0.0.1] [--port 8470]

It answers HEAD and GET for the plain files in DIR (and below it) with
Content-Length and Last-Modified, streams bodies in chunks, answers 404 for
anything else (missing files, directories, paths that leave DIR), listens on
the loopback interface unless told otherwise, writes one log line per request
to standard error and stops cleanly on Ctrl-C.

Model provisioning asks it for ``<base address><model file name>``; point
``ZORVANE_ROBJ_MODEL_SERVER`` at ``http://HOST:PORT/`` when it does not run on
the default address ``http://127.0.0.1:8470/``.
"""

from __future__ import annotations

import argparse
import email.utils
import os
import signal
import socket
import stat
import sys
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit

__all__ = ["ModelServer", "make_server", "main"]

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8470
CHUNK_SIZE = 64 * 1024


class ModelRequestHandler(BaseHTTPRequestHandler):
    server: ModelServer
    protocol_version = "HTTP/1.1"
    server_version = "zorvane-model-server"
    sys_version = ""
    # An idle or stuck client gives up its thread after this many seconds.
    timeout = 60

    def do_HEAD(self) -> None:
        self._serve(body=False)

    def do_GET(self) -> None:
        self._serve(body=True)

    def _serve(self, body: bool) -> None:
        path = self.server.resolve(self.path)
        f = None
        if path is not None:
            try:
                f = open(path, "rb")
            except OSError:
                f = None
        if f is None:
            self.send_error(HTTPStatus.NOT_FOUND)
            return
        with f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode):
                self.send_error(HTTPStatus.NOT_FOUND)
                return
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(st.st_size))
            self.send_header("Last-Modified", email.utils.formatdate(st.st_mtime, usegmt=True))
            self.end_headers()
            if not body:
                return
            remaining = st.st_size
            try:
                while remaining > 0:
                    chunk = f.read(min(CHUNK_SIZE, remaining))
                    if not chunk:
                        break
                    self.wfile.write(chunk)
                    remaining -= len(chunk)
            except (ConnectionError, TimeoutError):
                remaining = -1
            if remaining != 0:
                # The file shrank or the client went away: the body cannot
                # match its Content-Length, so drop the connection.
                self.close_connection = True

    def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
        if isinstance(code, HTTPStatus):
            code = code.value
        self.log_message('"%s" %s %s', self.requestline, str(code), str(size))

    def log_error(self, format: str, *args) -> None:  # noqa: A002
        # Every answered request is logged once by log_request.
        pass


class ModelServer(ThreadingHTTPServer):
    """Threaded HTTP server for the model files under ``root``."""

    daemon_threads = True

    def __init__(self, root: str | os.PathLike, host: str = DEFAULT_HOST,
                 port: int = DEFAULT_PORT) -> None:
        real = os.path.realpath(os.fspath(root))
        if not os.path.isdir(real):
            raise NotADirectoryError(f"model root is not a directory: {os.fspath(root)}")
        self.root = real
        if ":" in host:
            self.address_family = socket.AF_INET6
        super().__init__((host, port), ModelRequestHandler)

    @property
    def url(self) -> str:
        """Base address of the server, ending in "/"."""
        host, port = self.server_address[:2]
        if ":" in host:
            host = f"[{host}]"
        return f"http://{host}:{port}/"

    def resolve(self, request_path: str) -> str | None:
        """The file that ``request_path`` names under the root, or None."""
        raw = urlsplit(request_path).path
        if not raw.startswith("/"):
            return None
        try:
            parts = unquote(raw[1:], errors="strict").split("/")
        except UnicodeDecodeError:
            return None
        for part in parts:
            if part in ("", ".", "..") or "\\" in part or "\x00" in part:
                return None
            if os.path.isabs(part) or os.path.splitdrive(part)[0]:
                return None
        candidate = os.path.realpath(os.path.join(self.root, *parts))
        try:
            if os.path.commonpath([self.root, candidate]) != self.root:
                return None
        except ValueError:
            return None
        if candidate == self.root or not os.path.isfile(candidate):
            return None
        return candidate


def make_server(root: str | os.PathLike, host: str = DEFAULT_HOST,
                port: int = DEFAULT_PORT) -> ModelServer:
    """A bound, listening server for the files under ``root``.

    The caller runs ``serve_forever()`` and later ``shutdown()`` and
    ``server_close()``. Port 0 lets the system choose a free port; the
    chosen address is in ``server_address`` and ``url``.
    """
    return ModelServer(root, host, port)


def _raise_interrupt(signum, frame):  # noqa: ARG001
    raise KeyboardInterrupt


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m zorvane_road_objects.model_server",
        description="Serve model files over HTTP (HEAD and GET).")
    parser.add_argument("--root", required=True, help="directory that holds the model files")
    parser.add_argument("--host", default=DEFAULT_HOST,
                        help=f"address to listen on (default {DEFAULT_HOST})")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help=f"port to listen on (default {DEFAULT_PORT}, 0: any free port)")
    args = parser.parse_args(argv)
    try:
        server = make_server(args.root, args.host, args.port)
    except OSError as exc:
        print(f"model_server: {exc}", file=sys.stderr)
        return 1
    # SIGTERM stops the server like Ctrl-C.
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _raise_interrupt)
    try:
        print(f"Serving {server.root} on {server.url} (Ctrl-C to stop)",
              file=sys.stderr, flush=True)
        server.serve_forever()
    except KeyboardInterrupt:
        print("Stopped.", file=sys.stderr, flush=True)
    finally:
        server.server_close()
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    return 0


if __name__ == "__main__":
    sys.exit(main())
