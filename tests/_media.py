"""Videos, an HTTP server with byte ranges and an image-dependent tiny model
for the streaming tests."""

from __future__ import annotations

import os
import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import cv2
import numpy as np
from onnx import TensorProto, helper, numpy_helper

REPO = Path(__file__).resolve().parent.parent
SAMPLES = sorted((REPO / "samples").glob("*.jpg"))
SIZE = (320, 240)  # width, height


def frame_image(i: int) -> np.ndarray:
    """Frame i: a sample photo, with a grey block whose level encodes i."""
    base = cv2.imread(str(SAMPLES[(i // 10) % len(SAMPLES)]))
    img = cv2.resize(base, SIZE, interpolation=cv2.INTER_AREA)
    img[:64, :64] = (i * 7) % 256
    return img


def write_video(path: Path, n: int, fps: float = 10.0, fourcc: str = "mp4v") -> Path:
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*fourcc), fps, SIZE)
    assert writer.isOpened()
    for i in range(n):
        writer.write(frame_image(i))
    writer.release()
    return path


def block_level(img: np.ndarray) -> float:
    return float(img[8:56, 8:56].mean())


def mean_box_model() -> bytes:
    """A model whose one detection (a person, score 1) has a box derived from
    the mean of its input image, so each frame gets its own answer."""
    lead = numpy_helper.from_array(np.array([[0.0, 1.0]], np.float32), "lead")
    k = numpy_helper.from_array(np.array(1000.0, np.float32), "k")
    ten = numpy_helper.from_array(np.array(10.0, np.float32), "ten")
    shape = numpy_helper.from_array(np.array([1, 1], np.int64), "shape")
    nodes = [
        helper.make_node("ReduceMean", ["image"], ["m4"], keepdims=1),
        helper.make_node("Reshape", ["m4", "shape"], ["m"]),
        helper.make_node("Mul", ["m", "k"], ["v"]),
        helper.make_node("Add", ["v", "ten"], ["w"]),
        helper.make_node("Concat", ["lead", "v", "v", "w", "w"], ["detections"], axis=1),
    ]
    graph = helper.make_graph(
        nodes, "mean_box",
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 640, 640]),
         helper.make_tensor_value_info("im_shape", TensorProto.FLOAT, [1, 2]),
         helper.make_tensor_value_info("scale_factor", TensorProto.FLOAT, [1, 2])],
        [helper.make_tensor_value_info("detections", TensorProto.FLOAT, [1, 6])],
        initializer=[lead, k, ten, shape],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    return model.SerializeToString()


def engine_factory(model: bytes):
    """A detector factory over the real engine on ``model``."""
    from zorvane_road_objects.zorvane_robj_d import zv_robj_d

    def make():
        return zv_robj_d(model, 0.5, 0.5, "small", "cpu").detect_objects

    return make


class _RangeHandler(BaseHTTPRequestHandler):
    """Serves files of a folder with single byte ranges, as media players expect."""

    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002
        pass

    def do_GET(self):
        path = os.path.join(self.server.root, self.path.lstrip("/"))
        try:
            data = Path(path).read_bytes()
        except OSError:
            self.send_error(404)
            return
        start, end = 0, len(data) - 1
        m = re.match(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        status = 200
        if m:
            start = int(m.group(1))
            end = min(int(m.group(2)), end) if m.group(2) else end
            status = 206
            if start > end:
                self.send_response(416)
                self.send_header("Content-Range", f"bytes */{len(data)}")
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
        self.send_response(status)
        self.send_header("Content-Type", "video/mp4")
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(end - start + 1))
        if status == 206:
            self.send_header("Content-Range", f"bytes {start}-{end}/{len(data)}")
        self.end_headers()
        try:
            self.wfile.write(data[start:end + 1])
        except (BrokenPipeError, ConnectionResetError):
            pass


class RangeServer(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, root: Path):
        super().__init__(("127.0.0.1", 0), _RangeHandler)
        self.root = str(root)
        self._thread = None

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://{host}:{port}/"

    def __enter__(self):
        self._thread = threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.shutdown()
        self.server_close()
        self._thread.join(5)


def damage_frame(src: Path, dst: Path, frame: int) -> Path:
    """A copy of the video ``src`` whose packet number ``frame`` is garbage
    (its size kept), so that frame alone does not decode."""
    import av

    with av.open(str(src)) as container:
        packets = [(p.pos, p.size) for p in container.demux(video=0) if p.size]
    pos, size = packets[frame]
    data = bytearray(src.read_bytes())
    data[pos:pos + size] = bytes(size)
    data[pos + 5:pos + size:3] = b"\xff" * len(range(pos + 5, pos + size, 3))
    dst.write_bytes(bytes(data))
    return dst


def cut_file(src: Path, dst: Path, fraction: float = 0.5) -> Path:
    data = src.read_bytes()
    dst.write_bytes(data[: int(len(data) * fraction)])
    return dst


def encode(img: np.ndarray, ext: str) -> bytes:
    ok, buf = cv2.imencode(ext, img)
    assert ok
    return buf.tobytes()
