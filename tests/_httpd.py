"""HTTP servers for the provisioning tests: a well-behaved file server and
ones that misbehave on purpose (no Last-Modified, no Content-Length, error
statuses, stalls, connections cut mid-body, short bodies, slow bodies,
bodies trickled a byte at a time, wrong content digests).

Every server binds 127.0.0.1 on a port the system chooses, runs in a daemon
thread and is stopped by leaving its ``with`` block.
"""

from __future__ import annotations

import dataclasses
import socket
import struct
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LAST_MODIFIED = "Wed, 21 Oct 2015 07:28:00 GMT"


@dataclasses.dataclass
class Resource:
    """What the server answers for one path."""

    body: bytes = b""
    last_modified: str | None = LAST_MODIFIED
    content_length: bool = True  # False: no header, body ends when the connection closes
    get_content_length: bool | None = None  # the GET's own choice; None: as content_length
    repr_digest: str | None = None  # Repr-Digest header value, sent with HEAD and GET
    head_status: int = 200
    get_status: int = 200
    head_stall: float = 0.0  # seconds to wait before answering a HEAD
    cut_after: int | None = None  # reset the connection after this many body bytes
    short_by: int = 0  # send this many bytes fewer than announced, then close cleanly
    chunk_delay: float = 0.0  # pause between 16 KiB pieces of the body
    byte_delay: float = 0.0  # send the body one byte at a time, pausing before each


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: TestServer

    def log_message(self, format, *args):  # noqa: A002
        pass

    def do_HEAD(self):
        self._answer(head=True)

    def do_GET(self):
        self._answer(head=False)

    def _answer(self, head: bool) -> None:
        srv = self.server
        name = self.path.lstrip("/")
        with srv.lock:
            srv.log.append((self.command, name))
            res = srv.resources.get(name)
        if res is None:
            self.send_error(404)
            return
        if head and res.head_stall:
            if srv.stopping.wait(res.head_stall):
                self.close_connection = True
                return
        status = res.head_status if head else res.get_status
        body = res.body
        if status != 200:
            payload = f"status {status}".encode()
            self.send_response(status)
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            if not head:
                self.wfile.write(payload)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        with_length = res.content_length
        if not head and res.get_content_length is not None:
            with_length = res.get_content_length
        if with_length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        if res.last_modified is not None:
            self.send_header("Last-Modified", res.last_modified)
        if res.repr_digest is not None:
            self.send_header("Repr-Digest", res.repr_digest)
        self.end_headers()
        if head:
            return
        if res.cut_after is not None:
            self.wfile.write(body[: res.cut_after])
            self.wfile.flush()
            # Abortive close: the client sees a reset, not an orderly end.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
            return
        if res.short_by:
            body = body[: len(body) - res.short_by]
            self.close_connection = True
        if res.byte_delay:
            for i in range(len(body)):
                if srv.stopping.wait(res.byte_delay):
                    break
                try:
                    self.wfile.write(body[i:i + 1])
                    self.wfile.flush()
                except OSError:  # the client gave up
                    break
            self.close_connection = True
            return
        step = 16384
        for i in range(0, len(body), step):
            if res.chunk_delay and i:
                if srv.stopping.wait(res.chunk_delay):
                    self.close_connection = True
                    return
            self.wfile.write(body[i:i + step])


class TestServer(ThreadingHTTPServer):
    """A test file server; ``resources`` maps file names to answers."""

    __test__ = False
    daemon_threads = True
    block_on_close = False

    def __init__(self, resources: dict[str, Resource] | None = None) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        self.resources: dict[str, Resource] = dict(resources or {})
        self.log: list[tuple[str, str]] = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://{host}:{port}/"

    def methods(self) -> list[str]:
        """The request methods received so far, in order."""
        with self.lock:
            return [m for m, _ in self.log]

    def __enter__(self) -> TestServer:
        self._thread = threading.Thread(target=self.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stopping.set()
        self.shutdown()
        self.server_close()
        if self._thread is not None:
            self._thread.join(5)


def refused_url() -> tuple[str, socket.socket]:
    """A base address where connections are refused: the port is bound (so
    nobody else takes it) but not listening. Keep the socket until done."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    return f"http://127.0.0.1:{s.getsockname()[1]}/", s


def wait_for_port(host: str, port: int, timeout: float = 10.0) -> bool:
    """True once something accepts connections on host:port."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False
