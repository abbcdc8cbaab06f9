"""A small static HTTP server for model files.

    python -m zorvane_road_objects.serving.server [--root DIR] [--host 127.0.0.1] [--port 8470]

It answers HEAD and GET for the plain files in DIR (and below it) with
Content-Length, Last-Modified and Repr-Digest (SHA-256 of the file), answers
404 for anything else (missing files, directories, paths that leave DIR),
listens on the loopback interface unless told otherwise, writes one log line
per request to standard error and stops cleanly on Ctrl-C. Without ``--root``
it serves the model files that ship with the package.

Requests never carry a body here: one that announces a body (a Content-Length
above 0, any Transfer-Encoding) or frames its length ambiguously is refused
with 400 and its connection closed, so that bytes after the head can never
be taken for another request.

Connections wait in one selector while a request head arrives and while a
response goes out; a small pool of worker threads only reads the head,
opens the file and puts the response together, so a client that reads
slowly or not at all holds no worker. A connection is closed when its head
does not arrive in time (``HEADER_TIMEOUT``), when it stays idle between
requests (``KEEP_ALIVE_TIMEOUT``), when its client reads nothing for
``SEND_STALL_TIMEOUT`` or when a response of n bytes is not gone within
``SEND_TIMEOUT + n / MIN_SEND_RATE`` seconds. The number of open connections
is bounded by ``MAX_CONNECTIONS`` and by the process's descriptor limit
(each connection may hold a socket and a file); past it new connections wait
in the listen backlog, and the connections that wait longest for a request,
or whose client has stopped reading, are closed to make room.

Model provisioning asks it for ``<base address><model file name>``; point
``ZORVANE_ROBJ_MODEL_SERVER`` at ``http://HOST:PORT/`` when it does not run on
the default address ``http://127.0.0.1:8470/``.
"""

from __future__ import annotations

import argparse
import base64
import email.utils
import errno
import hashlib
import io
import os
import re
import selectors
import signal
import socket
import stat
import sys
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, HTTPServer
from urllib.parse import unquote, urlsplit

from zorvane_road_objects import facts
from zorvane_road_objects.serving.connections import MAX_HEAD, Connection, Dispatcher

try:
    import resource
except ImportError:  # not on Windows
    resource = None

__all__ = ["ModelServer", "make_server", "main"]

DEFAULT_HOST = facts.DEFAULT_HOST
DEFAULT_PORT = facts.DEFAULT_PORT
HASH_CHUNK = 1024 * 1024

LISTEN_BACKLOG = 1024
WORKERS = 32
MAX_CONNECTIONS = 4096
# Seconds a connection may take to send a whole request head, counted from
# its first byte (or from the accept for a new connection).
HEADER_TIMEOUT = 5.0
# Seconds a kept-alive connection may wait for its next request.
KEEP_ALIVE_TIMEOUT = 5.0
# A response of n bytes must be gone within SEND_TIMEOUT + n / MIN_SEND_RATE
# seconds, and its client may read nothing for at most SEND_STALL_TIMEOUT.
SEND_TIMEOUT = 30.0
MIN_SEND_RATE = 32 * 1024
SEND_STALL_TIMEOUT = 30.0
# Past the connection limit, this many idle or stalled connections at a time
# are closed to make room (see connections.Dispatcher.reclaim).
_RECLAIM_BATCH = 32
# Descriptors kept for the server's own use besides the connections.
_FD_RESERVE = 64

_DIGITS = re.compile(r"[0-9]+")


class _HeadReader:
    """The ``rfile`` of a request: lines from the connection's buffer, which
    already holds the whole request head."""

    def __init__(self, buffer: bytearray) -> None:
        self._buffer = buffer

    def readline(self, limit: int = -1) -> bytes:
        buf = self._buffer
        end = len(buf) if limit < 0 else min(limit, len(buf))
        nl = buf.find(b"\n", 0, end)
        n = end if nl < 0 else nl + 1
        line = bytes(buf[:n])
        del buf[:n]
        return line

    def close(self) -> None:
        pass


class ModelRequestHandler(BaseHTTPRequestHandler):
    """Answers one request whose head the server has already read.

    ``request`` is the server's connection record; the handler leaves the
    response head in its output buffer and the body file open on it, and tells through ``close_connection``
    whether the connection may carry another request.
    """

    server: ModelServer
    protocol_version = "HTTP/1.1"
    server_version = "zorvane-model-server"
    sys_version = ""

    def version_string(self) -> str:
        return self.server_version

    def setup(self) -> None:
        self.record = conn = self.request
        self.request = self.connection = conn.sock
        self.head_too_large = conn.head_too_large
        self.rfile = _HeadReader(conn.buffer)
        self.wfile = io.BytesIO()

    def handle(self) -> None:
        self.close_connection = True
        if self.head_too_large:
            self.requestline = self.command = ""
            self.request_version = "HTTP/1.1"
            self.send_error(HTTPStatus.REQUEST_HEADER_FIELDS_TOO_LARGE,
                            explain=f"The request head exceeds {MAX_HEAD} bytes.")
            return
        self.handle_one_request()

    def finish(self) -> None:
        # The selector sends the response as the client takes it.
        self.record.out += self.wfile.getvalue()

    def handle_expect_100(self) -> bool:
        # Nothing here takes a body, so never invite one: a request that
        # announces a body is refused once its head has been checked.
        return True

    def parse_request(self) -> bool:
        if not super().parse_request():
            return False
        problem = self._framing_problem()
        if problem:
            self.send_error(HTTPStatus.BAD_REQUEST, explain=problem)
            return False
        return True

    def _framing_problem(self) -> str | None:
        """Why the head cannot be taken as a request without a body, if so."""
        headers = self.headers
        if headers.defects or headers.get_payload():
            return "Malformed header field line."
        if any("\n" in v or "\r" in v for v in headers.values()):
            return "Folded header field lines are not accepted."
        if headers.get_all("Transfer-Encoding"):
            return "Requests with a body (Transfer-Encoding) are not accepted."
        lengths = set()
        for field in headers.get_all("Content-Length") or ():
            for value in field.split(","):
                value = value.strip(" \t")
                if not _DIGITS.fullmatch(value):
                    return "Invalid Content-Length."
                lengths.add(int(value))
        if len(lengths) > 1:
            return "Conflicting Content-Length values."
        if lengths and lengths.pop() > 0:
            return "Requests with a body are not accepted."
        return None

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
        handed_over = False
        try:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode):
                self.send_error(HTTPStatus.NOT_FOUND)
                return
            digest = self.server.digest(path, f.fileno(), st)
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(st.st_size))
            self.send_header("Last-Modified", email.utils.formatdate(st.st_mtime, usegmt=True))
            if digest is not None:
                self.send_header("Repr-Digest", f"sha-256=:{digest}:")
            self.end_headers()
            if body and st.st_size > 0:
                self.record.attach_body(f, st.st_size)
                handed_over = True
        finally:
            if not handed_over:
                f.close()

    def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
        if isinstance(code, HTTPStatus):
            code = code.value
        self.log_message('"%s" %s %s', self.requestline, str(code), str(size))

    def log_error(self, format: str, *args) -> None:  # noqa: A002
        # Every answered request is logged once by log_request.
        pass


class _DigestCache:
    """SHA-256 of files, computed once per version of each file."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._digests: dict[str, tuple[tuple, str]] = {}
        self._computing: dict[tuple, threading.Lock] = {}

    @staticmethod
    def _version(st: os.stat_result) -> tuple:
        return (st.st_size, st.st_mtime_ns, st.st_ino, st.st_ctime_ns)

    def get(self, path: str, fd: int, st: os.stat_result) -> str | None:
        """The base64 digest of the open file ``fd`` (the file ``path``, as
        ``st`` describes it), or None when it changed while being read."""
        version = self._version(st)
        with self._lock:
            known = self._digests.get(path)
            if known is not None and known[0] == version:
                return known[1]
            computing = self._computing.setdefault((path, version), threading.Lock())
        # One thread reads a given version; the others wait for its result,
        # while requests for other files go on.
        with computing:
            with self._lock:
                known = self._digests.get(path)
                if known is not None and known[0] == version:
                    return known[1]
            digest = self._hash(fd, st.st_size)
            unchanged = self._version(os.fstat(fd)) == version
            with self._lock:
                self._computing.pop((path, version), None)
                if unchanged:
                    self._digests[path] = (version, digest)
        return digest if unchanged else None

    @staticmethod
    def _hash(fd: int, size: int) -> str:
        h = hashlib.sha256()
        offset = 0
        while offset < size:
            chunk = os.pread(fd, min(HASH_CHUNK, size - offset), offset)
            if not chunk:
                break
            h.update(chunk)
            offset += len(chunk)
        return base64.b64encode(h.digest()).decode("ascii")


# select(), the only selector on Windows, takes at most this many sockets
# there (FD_SETSIZE of the interpreter's Windows build); the dispatcher's
# wake-up socket is one of them.
_SELECT_SOCKETS = 512


def _connection_limit(workers: int) -> int:
    if issubclass(selectors.DefaultSelector, selectors.SelectSelector):
        return min(MAX_CONNECTIONS, _SELECT_SOCKETS - 1)
    if resource is None:
        return MAX_CONNECTIONS
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return MAX_CONNECTIONS
    # A connection holds its socket and, while it sends a body, the file;
    # the rest is kept for the files the workers open and the server's own.
    return max(8, min(MAX_CONNECTIONS, (soft - workers - _FD_RESERVE) // 2))


class ModelServer(HTTPServer):
    """HTTP server for the model files under ``root``."""

    request_queue_size = LISTEN_BACKLOG
    # SO_REUSEADDR lets a new server take a port whose old connections are
    # still closing; on Windows it would also let a second server bind a port
    # that one is listening on, so there the port is claimed exclusively
    # instead (see server_bind), and a second server fails as elsewhere.
    allow_reuse_address = os.name != "nt"
    header_timeout = HEADER_TIMEOUT
    keep_alive_timeout = KEEP_ALIVE_TIMEOUT
    send_timeout = SEND_TIMEOUT
    min_send_rate = MIN_SEND_RATE
    send_stall_timeout = SEND_STALL_TIMEOUT

    def __init__(self, root: str | os.PathLike, host: str = DEFAULT_HOST,
                 port: int = DEFAULT_PORT, workers: int = WORKERS) -> None:
        real = os.path.realpath(os.fspath(root))
        if not os.path.isdir(real):
            raise NotADirectoryError(f"model root is not a directory: {os.fspath(root)}")
        self.root = real
        self.workers = workers
        self._digests = _DigestCache()
        self._slots = threading.Semaphore(_connection_limit(workers))
        self._stopping = threading.Event()
        self._dispatcher: Dispatcher | None = None
        self._dispatcher_lock = threading.Lock()
        if ":" in host:
            self.address_family = socket.AF_INET6
        super().__init__((host, port), ModelRequestHandler)

    def server_bind(self) -> None:
        exclusive = getattr(socket, "SO_EXCLUSIVEADDRUSE", None)  # Windows only
        if exclusive is not None:
            self.socket.setsockopt(socket.SOL_SOCKET, exclusive, 1)
        super().server_bind()

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

    def digest(self, path: str, fd: int, st: os.stat_result) -> str | None:
        """Base64 SHA-256 of the open file ``fd``; None if it is changing."""
        return self._digests.get(path, fd, st)

    def serve_forever(self, poll_interval: float = 0.5) -> None:
        self._stopping.clear()
        super().serve_forever(poll_interval)

    def shutdown(self) -> None:
        self._stopping.set()
        super().shutdown()

    def get_request(self):
        # Past the connection limit, leave new connections in the listen
        # backlog and make room by closing connections that wait for a
        # request or whose client has stopped reading.
        while not self._slots.acquire(blocking=False):
            if self._stopping.is_set():
                raise OSError("the model server is stopping")
            self._running_dispatcher().reclaim(_RECLAIM_BATCH)
            if self._slots.acquire(timeout=0.05):
                break
        try:
            return super().get_request()
        except OSError as exc:
            self._slots.release()
            if exc.errno in (errno.EMFILE, errno.ENFILE):
                # Out of descriptors all the same (others in this process
                # use them too): make room rather than retry at once.
                self._running_dispatcher().reclaim(_RECLAIM_BATCH)
                self._stopping.wait(0.05)
            raise
        except BaseException:
            self._slots.release()
            raise

    def process_request(self, request, client_address) -> None:
        request.setblocking(False)
        self._running_dispatcher().add(Connection(request, client_address, self.header_timeout))

    def serve_connection(self, conn: Connection) -> bool:
        """Answer the request at the head of ``conn``; True to keep it open."""
        handler = self.RequestHandlerClass(conn, conn.address, self)
        return not handler.close_connection

    def shutdown_request(self, request) -> None:
        try:
            super().shutdown_request(request)
        finally:
            self._slots.release()

    def server_close(self) -> None:
        super().server_close()
        with self._dispatcher_lock:
            dispatcher, self._dispatcher = self._dispatcher, None
        if dispatcher is not None:
            dispatcher.stop()

    def _running_dispatcher(self) -> Dispatcher:
        with self._dispatcher_lock:
            if self._dispatcher is None:
                self._dispatcher = Dispatcher(self, self.workers)
            return self._dispatcher


def make_server(root: str | os.PathLike | None = None, host: str = DEFAULT_HOST,
                port: int = DEFAULT_PORT) -> ModelServer:
    """A bound, listening server for the files under ``root`` (by default
    the model files that ship with the package).

    The caller runs ``serve_forever()`` and later ``shutdown()`` and
    ``server_close()``. Port 0 lets the system choose a free port; the
    chosen address is in ``server_address`` and ``url``.
    """
    if root is None:
        from zorvane_road_objects import bundled_models
        root = bundled_models()
    return ModelServer(root, host, port)


def _raise_interrupt(signum, frame):  # noqa: ARG001
    raise KeyboardInterrupt


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m zorvane_road_objects.serving.server",
        description="Serve model files over HTTP (HEAD and GET).")
    parser.add_argument("--root", help="directory that holds the model files "
                        "(default: the model files that ship with the package)")
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
    # SIGTERM stops the server like Ctrl-C. Windows delivers no SIGTERM from
    # another process; there Ctrl-Break (SIGBREAK, also what
    # os.kill(pid, signal.CTRL_BREAK_EVENT) sends to a server started in its
    # own process group) does.
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for name in ("SIGTERM", "SIGBREAK"):
            if hasattr(signal, name):
                previous[name] = signal.signal(getattr(signal, name), _raise_interrupt)
    try:
        print(f"Serving {server.root} on {server.url} (Ctrl-C to stop)",
              file=sys.stderr, flush=True)
        server.serve_forever()
    except KeyboardInterrupt:
        print("Stopped.", file=sys.stderr, flush=True)
    finally:
        server.server_close()
        for name, handler in previous.items():
            if handler is not None:  # None: not set from Python, left as it is
                signal.signal(getattr(signal, name), handler)
    return 0


if __name__ == "__main__":
    sys.exit(main())
