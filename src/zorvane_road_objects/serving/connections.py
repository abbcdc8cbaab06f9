"""Connections of the model server: reading request heads and sending
responses without holding a worker.

A ``Dispatcher`` owns one selector over every open connection. A connection
gets a worker of the server only once its whole request head has arrived;
the worker prepares the response (its head in memory, the file open) and
hands the connection back, and the selector loop sends the body with
non-blocking sends (``os.sendfile`` where there is one) as the socket takes
it, a turn at a time, within the server's send deadline and stall time-out.
Past the server's connection limit the dispatcher closes idle connections,
unfinished heads and stalled readers first (``reclaim``).
"""

from __future__ import annotations

import collections
import errno
import heapq
import os
import queue
import re
import selectors
import socket
import struct
import threading
import time
from http.server import HTTPServer

__all__ = ["CHUNK_SIZE", "MAX_HEAD", "BodyCut", "Connection", "Dispatcher"]

# A request head (request line and header fields) larger than this is refused.
MAX_HEAD = 64 * 1024
CHUNK_SIZE = 64 * 1024
_sendfile = getattr(os, "sendfile", None)  # not on Windows
# Bytes written to one connection before the others get their turn.
SEND_TURN = 1024 * 1024
# After answering with "Connection: close", unread bytes from the client are
# read and dropped for up to this long (and this much) before the socket is
# closed, so that the close does not turn into a reset that destroys the
# answer before the client has read it.
LINGER_TIMEOUT = 2.0
LINGER_BYTES = 1024 * 1024
_SWEEP_INTERVAL = 0.25
_NO_SENDFILE = {errno.EINVAL, errno.ENOSYS, errno.ENOTSOCK, errno.EOPNOTSUPP}
_LINGER_RESET = struct.pack("HH" if os.name == "nt" else "ii", 1, 0)  # close with a reset
_HEAD_END = re.compile(rb"\n\r?\n")
# Past the connection limit, connections that have waited at least this long
# for a request are closed to make room (a newer one may just not have been
# read yet), and so are responses whose client has read nothing for
# _RECLAIM_MIN_STALL seconds.
_RECLAIM_MIN_IDLE = 0.25
_RECLAIM_MIN_STALL = 1.0


class BodyCut(OSError):
    """The file ended before the announced Content-Length."""


class Connection:
    """An accepted connection, the bytes read from it so far and the
    response that is going out on it."""

    __slots__ = ("sock", "address", "buffer", "fresh", "head_too_large", "deadline",
                 "since", "draining", "drained", "closed", "out", "body", "offset", "left",
                 "keep", "events", "send_deadline", "stall", "progress_at")

    def __init__(self, sock: socket.socket, address, header_timeout: float) -> None:
        self.sock = sock
        self.address = address
        self.buffer = bytearray()
        self.fresh = True  # no request answered yet
        self.head_too_large = False
        self.since = time.monotonic()
        self.deadline = self.since + header_timeout
        self.draining = False
        self.drained = 0
        self.closed = False
        self.out = bytearray()  # response bytes not sent yet
        self.body = None  # the file whose bytes follow ``out``
        self.offset = 0
        self.left = 0
        self.keep = False  # whether another request may follow the response
        self.events = 0  # what the selector watches for
        self.send_deadline = self.progress_at = self.stall = 0.0

    def head_ready(self) -> bool:
        """Whether the buffer holds a whole request head, or more bytes than
        a head may have (``head_too_large`` then tells)."""
        buf = self.buffer
        # Empty lines before a request line are ignored.
        skip = len(buf) - len(buf.lstrip(b"\r\n"))
        if skip:
            del buf[:skip]
        end = _HEAD_END.search(buf, 0, MAX_HEAD + 2)
        self.head_too_large = end is None and len(buf) > MAX_HEAD
        return end is not None or self.head_too_large

    def sending(self) -> bool:
        return bool(self.out) or self.left > 0

    def start_sending(self, timeout: float, min_rate: float, stall: float) -> None:
        now = time.monotonic()
        self.send_deadline = now + timeout + (len(self.out) + self.left) / min_rate
        self.stall = stall
        self._progress(now)

    def _progress(self, now: float) -> None:
        self.progress_at = now
        self.deadline = min(self.send_deadline, now + self.stall)

    def write(self) -> bool:
        """Send what the socket takes now, up to ``SEND_TURN`` bytes; True
        once the whole response has gone out. Raises OSError when the client
        is gone or the file came up short."""
        sent = 0
        try:
            while sent < SEND_TURN and self.sending():
                if self.out:
                    n = self.sock.send(self.out)
                    del self.out[:n]
                else:
                    n = self._send_file(SEND_TURN - sent)
                sent += n
        except (BlockingIOError, InterruptedError):
            pass
        if sent:
            self._progress(time.monotonic())
        return not self.sending()

    def _send_file(self, most: int) -> int:
        count = min(self.left, most)
        if _sendfile is not None:
            try:
                n = _sendfile(self.sock.fileno(), self.body.fileno(), self.offset, count)
            except OSError as exc:
                if exc.errno not in _NO_SENDFILE:
                    raise
                n = self._send_read(count)  # not a file sendfile can take
        else:
            n = self._send_read(count)
        if n == 0:
            raise BodyCut("the file is shorter than announced")
        self.offset += n
        self.left -= n
        if self.left == 0:
            self.drop_body()
        return n

    def _send_read(self, count: int) -> int:
        self.body.seek(self.offset)
        chunk = self.body.read(min(count, CHUNK_SIZE))
        return self.sock.send(chunk) if chunk else 0

    def attach_body(self, f, size: int) -> None:
        """Send ``size`` bytes of the open file ``f`` after ``out``."""
        self.body, self.offset, self.left = f, 0, size

    def drop_body(self) -> None:
        body, self.body, self.left = self.body, None, 0
        if body is not None:
            body.close()


class Dispatcher:
    """Waits on the connections that have no complete request head yet or a
    response to send, writes responses without blocking, and hands complete
    request heads to a fixed pool of worker threads."""

    def __init__(self, server: HTTPServer, workers: int) -> None:
        # ``server``: the package's ModelServer (its handler, time-outs and
        # limits; serve_connection runs a request on a worker).
        self.server = server
        self._selector = selectors.DefaultSelector()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        self._selector.register(self._wake_r, selectors.EVENT_READ, None)
        self._lock = threading.Lock()
        self._incoming: collections.deque[Connection] = collections.deque()
        self._waiting: dict[int, Connection] = {}  # every connection the selector watches
        self._reclaim = 0
        self._stopped = False
        self._ready: queue.SimpleQueue[Connection | None] = queue.SimpleQueue()
        self._loop = threading.Thread(target=self._run, name="model-server-io", daemon=True)
        self._workers = [threading.Thread(target=self._work, name=f"model-server-{i}", daemon=True)
                         for i in range(workers)]
        self._loop.start()
        for t in self._workers:
            t.start()

    # Called from other threads.
    def add(self, conn: Connection) -> None:
        with self._lock:
            if self._stopped:
                raise OSError("the model server is closed")
            self._incoming.append(conn)
        self._wake()

    def reclaim(self, count: int) -> None:
        """Close up to ``count`` connections that wait longest for a request
        or whose client has stopped reading."""
        with self._lock:
            self._reclaim = max(self._reclaim, count)
        self._wake()

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
        self._wake()
        for _ in self._workers:
            self._ready.put(None)
        if threading.current_thread() is not self._loop:
            self._loop.join(5)

    def _wake(self) -> None:
        try:
            self._wake_w.send(b"\0")
        except OSError:
            pass  # already full (a wake-up is pending) or closed

    # Worker threads.
    def _work(self) -> None:
        while True:
            conn = self._ready.get()
            if conn is None:
                return
            try:
                conn.keep = self.server.serve_connection(conn)
                srv = self.server
                conn.start_sending(srv.send_timeout, srv.min_send_rate, srv.send_stall_timeout)
                # Most answers fit in the socket's buffer at once; the rest
                # go out from the selector as the client reads.
                if conn.write():
                    self._after_response(conn)
            except OSError:
                self._release(conn)  # the client went away
                continue
            except Exception:
                self.server.handle_error(conn.sock, conn.address)
                self._release(conn)
                continue
            try:
                self.add(conn)
            except OSError:
                self._release(conn)

    def _after_response(self, conn: Connection) -> None:
        if conn.keep:
            conn.fresh = False
            conn.deadline = time.monotonic() + (
                self.server.header_timeout if conn.buffer else self.server.keep_alive_timeout)
        else:
            self._start_drain(conn)

    def _start_drain(self, conn: Connection) -> None:
        conn.draining = True
        conn.buffer = bytearray()
        conn.deadline = time.monotonic() + LINGER_TIMEOUT
        try:
            conn.sock.shutdown(socket.SHUT_WR)
        except OSError:
            conn.deadline = 0.0  # nothing left to protect: close at once

    # The selector thread.
    def _run(self) -> None:
        next_sweep = 0.0
        try:
            while True:
                for key, events in self._selector.select(_SWEEP_INTERVAL):
                    if key.data is None:
                        self._drain_wake()
                    elif events & selectors.EVENT_WRITE:
                        self._on_writable(key.data)
                    else:
                        self._on_readable(key.data)
                with self._lock:
                    incoming, self._incoming = self._incoming, collections.deque()
                    reclaim, self._reclaim = self._reclaim, 0
                    stopped = self._stopped
                if stopped:
                    for conn in incoming:
                        self._release(conn)
                    break
                for conn in incoming:
                    self._settle(conn)
                now = time.monotonic()
                if reclaim:
                    self._close_some(reclaim, now)
                if now >= next_sweep:
                    self._expire(now)
                    next_sweep = now + _SWEEP_INTERVAL
        finally:
            for conn in list(self._waiting.values()):
                self._close(conn)
            self._drop_ready()
            self._selector.close()
            self._wake_r.close()
            self._wake_w.close()

    def _drop_ready(self) -> None:
        """Close the connections no worker will take any more."""
        stops = 0
        while True:
            try:
                conn = self._ready.get_nowait()
            except queue.Empty:
                break
            if conn is None:
                stops += 1
            else:
                self._release(conn)
        for _ in range(stops):
            self._ready.put(None)

    def _drain_wake(self) -> None:
        try:
            while self._wake_r.recv(4096):
                pass
        except OSError:
            pass

    def _settle(self, conn: Connection) -> None:
        """Watch ``conn`` for what it waits for next, or hand its request
        to a worker."""
        if conn.closed:
            return
        if conn.sending():
            events = selectors.EVENT_WRITE
        elif conn.draining:
            if conn.deadline <= time.monotonic():
                self._close(conn)
                return
            events = selectors.EVENT_READ
        elif conn.head_ready():
            self._unregister(conn)
            self._ready.put(conn)
            return
        else:
            events = selectors.EVENT_READ
            if conn.events != events:
                conn.since = time.monotonic()
        try:
            if not conn.events:
                conn.sock.setblocking(False)
                self._selector.register(conn.sock, events, conn)
            elif conn.events != events:
                self._selector.modify(conn.sock, events, conn)
        except (OSError, ValueError):
            self._close(conn)
            return
        conn.events = events
        self._waiting[id(conn)] = conn

    def _on_writable(self, conn: Connection) -> None:
        try:
            done = conn.write()
        except OSError:
            self._close(conn)  # the client went away, or the file shrank
            return
        if done:
            self._after_response(conn)
            self._settle(conn)

    def _on_readable(self, conn: Connection) -> None:
        try:
            data = conn.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self._close(conn)
            return
        if conn.draining:
            conn.drained += len(data)
            if conn.drained > LINGER_BYTES:
                self._close(conn)
            return
        if not conn.buffer and not conn.fresh:
            # The first byte of a request on a kept-alive connection.
            conn.deadline = time.monotonic() + self.server.header_timeout
        conn.buffer += data
        if conn.head_ready():
            self._unregister(conn)
            self._ready.put(conn)

    def _unregister(self, conn: Connection) -> None:
        self._waiting.pop(id(conn), None)
        if conn.events:
            conn.events = 0
            try:
                self._selector.unregister(conn.sock)
            except (KeyError, ValueError, OSError):
                pass

    def _expire(self, now: float) -> None:
        for conn in [c for c in self._waiting.values() if c.deadline <= now]:
            self._close(conn, abort=conn.sending())

    def _close_some(self, count: int, now: float) -> None:
        """Make room: close lingering connections first, then those that
        wait longest for a request, then responses whose client has read
        nothing longest."""
        def rank(conn: Connection):
            if conn.draining:
                return (0, conn.since)
            if conn.sending():
                if now - conn.progress_at >= _RECLAIM_MIN_STALL:
                    return (2, conn.progress_at)
            elif now - conn.since >= _RECLAIM_MIN_IDLE:
                return (1, conn.since)
            return None

        ranked = [(r, id(c), c) for c in self._waiting.values() if (r := rank(c)) is not None]
        for _, _, conn in heapq.nsmallest(count, ranked):
            self._close(conn, abort=conn.sending())

    def _close(self, conn: Connection, abort: bool = False) -> None:
        """Stop watching ``conn`` and close it; with ``abort``, reset it, so
        that what is still queued for its client is dropped at once."""
        self._unregister(conn)
        if abort:
            try:
                conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, _LINGER_RESET)
            except OSError:
                pass
        self._release(conn)

    def _release(self, conn: Connection) -> None:
        """Close the socket of a connection that no selector watches."""
        if not conn.closed:
            conn.closed = True
            conn.drop_body()
            self.server.shutdown_request(conn.sock)
