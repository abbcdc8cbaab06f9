"""Shared pieces of the command-line tool's tests: the tool run as a real
subprocess (``python -m zorvane_road_objects``) with HOME pointing at a fresh
temporary directory, the package's model server on 127.0.0.1, and a tiny ONNX
model with the catalogue interface and constant detections, so that the
figures are exact.
"""

from __future__ import annotations

import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import cv2
import numpy as np
import pytest
from onnx import TensorProto, helper, numpy_helper

from zorvane_road_objects import facts

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "samples" / "street_bus_cc-by.jpg"
REAL_SMALL = REPO / "models" / "zorvane_robj_d_small_fp32.dat"

# Rows [COCO class, score, l, t, r, b] of the tiny model: a car (COCO 2 -> class 3),
# a bus (5 -> 4), a person below the default threshold, and an airplane
# (COCO 4) that is not a road class.
ROWS = [
    [2, 0.9, 10, 20, 110, 220],
    [5, 0.8, 120, 30, 300, 200],
    [0, 0.3, 40, 40, 60, 90],
    [4, 0.99, 0, 0, 30, 30],
]
CAR = {"ltrb": [10.0, 20.0, 110.0, 220.0], "ltrb_conf": 89, "score": 0.89, "class_id": 3, "class": "car"}
BUS = {"ltrb": [120.0, 30.0, 300.0, 200.0], "ltrb_conf": 80, "score": 0.8, "class_id": 4, "class": "bus"}
PERSON = {"ltrb": [40.0, 40.0, 60.0, 90.0], "ltrb_conf": 30, "score": 0.3, "class_id": 0, "class": "person"}

CLI_TIMEOUT = 180


def tiny_model_bytes(rows=ROWS) -> bytes:
    """An ONNX model with the catalogue inputs whose first output is the constant rows."""
    const = numpy_helper.from_array(np.asarray(rows, dtype=np.float32).reshape(-1, 6), "rows")
    zero = numpy_helper.from_array(np.zeros((), dtype=np.float32), "zero")
    nodes = [
        # Touch every input so that the graph really consumes the feed.
        helper.make_node("ReduceSum", ["image"], ["s_img"], keepdims=0),
        helper.make_node("ReduceSum", ["im_shape"], ["s_shape"], keepdims=0),
        helper.make_node("ReduceSum", ["scale_factor"], ["s_scale"], keepdims=0),
        helper.make_node("Sum", ["s_img", "s_shape", "s_scale"], ["s_all"]),
        helper.make_node("Mul", ["s_all", "zero"], ["nothing"]),
        helper.make_node("Add", ["rows", "nothing"], ["det"]),
    ]
    graph = helper.make_graph(
        nodes,
        "tiny_road_objects",
        [
            helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 640, 640]),
            helper.make_tensor_value_info("im_shape", TensorProto.FLOAT, [1, 2]),
            helper.make_tensor_value_info("scale_factor", TensorProto.FLOAT, [1, 2]),
        ],
        [helper.make_tensor_value_info("det", TensorProto.FLOAT, [len(rows), 6])],
        initializer=[const, zero],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    return model.SerializeToString()


class Served:
    def __init__(self, root: Path, server, thread):
        self.root = root
        self.server = server
        self.thread = thread
        host, port = server.server_address[:2]
        self.host, self.port = host, port
        self.url = f"http://{host}:{port}/"

    def head(self, name: str):
        conn = http.client.HTTPConnection(self.host, self.port, timeout=10)
        try:
            conn.request("HEAD", "/" + name)
            resp = conn.getresponse()
            return resp.status, dict(resp.getheaders())
        finally:
            conn.close()


def start_server(root: Path) -> Served:
    from zorvane_road_objects.serving.server import make_server

    server = make_server(str(root), "127.0.0.1", 0)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return Served(root, server, thread)


def stop_server(s: Served) -> None:
    s.server.shutdown()
    s.server.server_close()
    s.thread.join(timeout=10)


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """Model server with the tiny model as small_fp32 and a broken medium_fp32."""
    root = tmp_path_factory.mktemp("models")
    (root / facts.model_file_name("small_fp32")).write_bytes(tiny_model_bytes())
    (root / facts.model_file_name("medium_fp32")).write_bytes(b"this is not an ONNX model" * 10)
    s = start_server(root)
    yield s
    stop_server(s)


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture
def home(tmp_path):
    h = tmp_path / "home"
    h.mkdir()
    return h


def cli_env(home: Path, server_url: str | None, **extra) -> dict:
    env = dict(os.environ)
    for name in ("ZORVANE_VERBOSE", "ZORVANE_ROBJ_SKIP_UPDATE", "ZORVANE_ROBJ_MODEL_SERVER"):
        env.pop(name, None)
    env["HOME"] = str(home)
    env["USERPROFILE"] = str(home)
    if server_url is not None:
        env["ZORVANE_ROBJ_MODEL_SERVER"] = server_url
    env.update(extra)
    return env


def run_cli(args, env, timeout=CLI_TIMEOUT) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "zorvane_road_objects", *map(str, args)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def noise_image(h: int, w: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


def write_image(path: Path, img: np.ndarray) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    assert cv2.imwrite(str(path), img)
    return path


@pytest.fixture
def image_tree(tmp_path):
    """A folder with three good images in nested folders, a corrupt, an empty and a text file."""
    root = tmp_path / "images"
    write_image(root / "sub" / "deeper" / "c.bmp", noise_image(40, 60, 3))
    write_image(root / "sub" / "b.png", noise_image(48, 64, 2))
    write_image(root / "a.jpg", noise_image(50, 70, 1))
    (root / "corrupt.jpg").write_bytes(b"\xff\xd8\xff\xe0 definitely not a jpeg" + bytes(range(256)))
    (root / "empty.png").write_bytes(b"")
    (root / "notes.txt").write_text("not an image\n")
    good = [root / "a.jpg", root / "sub" / "b.png", root / "sub" / "deeper" / "c.bmp"]
    bad = [root / "corrupt.jpg", root / "empty.png"]
    return root, good, bad


def json_lines(stdout: str) -> list[dict]:
    return [json.loads(line) for line in stdout.splitlines() if line.strip()]


def by_class(records):
    return sorted(records, key=lambda r: r["class_id"])



def wait_for_server(host: str, port: int, name: str, proc, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise AssertionError(f"server exited early: {proc.communicate()}")
        try:
            conn = http.client.HTTPConnection(host, port, timeout=2)
            conn.request("GET", "/" + name)
            resp = conn.getresponse()
            return resp.status, dict(resp.getheaders()), resp.read()
        except OSError:
            time.sleep(0.1)
        finally:
            conn.close()
    raise AssertionError("server did not answer in time")


def head_when_up(host: str, port: int, name: str, proc, timeout=30.0):
    """HEAD one file once the server answers; (status, headers)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise AssertionError(f"server exited early: {proc.communicate()}")
        conn = http.client.HTTPConnection(host, port, timeout=2)
        try:
            conn.request("HEAD", "/" + name)
            resp = conn.getresponse()
            return resp.status, dict(resp.getheaders())
        except OSError:
            time.sleep(0.1)
        finally:
            conn.close()
    raise AssertionError("server did not answer in time")


def run_serve(args, env, name):
    """Start `serve`, GET one file, stop it with Ctrl-C; return (status, headers, body, rc)."""
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, "-m", "zorvane_road_objects", "serve", *args, "--host", "127.0.0.1", "--port", str(port)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        status, headers, body = wait_for_server("127.0.0.1", port, name, proc)
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=30)
        return status, headers, body, proc.returncode
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def interrupt_detect(args, env, signum, after=20):
    """Run ``detect ARGS --json``, send ``signum`` once ``after`` JSON lines
    are out, and wait for it; returns (returncode, JSON records, stderr)."""
    proc = subprocess.Popen([sys.executable, "-m", "zorvane_road_objects", "detect", *map(str, args), "--json"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = []
    deadline = time.monotonic() + 120
    while len(lines) < after and time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        lines.append(line)
    proc.send_signal(signum)
    rest, err = proc.communicate(timeout=60)
    records = [json.loads(ln) for ln in (lines + rest.splitlines()) if ln.strip()]
    return proc.returncode, records, err
