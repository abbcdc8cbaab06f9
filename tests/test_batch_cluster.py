"""A real two-node Ray cluster on this machine: two ``ray start`` processes,
each with its own HOME, temporary folder and resources, joined by
``batch --address``.

Node A reaches the test's model server; node B's server address refuses
connections, so node B provisions the bundled model. The rows must equal
the single-process detector's, each node must hold the model once, and the
run must say once that the bundled model is in use. The cluster is shared by
the tests of this module and stopped by the process ids it started.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import zorvane_road_objects

pytest.importorskip("ray.data")
pytest.importorskip("pyarrow")

from test_batch import model_server, read_rows, reference, road_images  # noqa: E402,F401

RAY = Path(sys.executable).with_name("ray")
pytestmark = pytest.mark.skipif(not RAY.is_file() or not sys.platform.startswith("linux"),
                                reason="needs the ray command beside this Python, on Linux")


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _tree(root: int) -> dict[int, str]:
    """pid -> start time of ``root``'s descendants."""
    stats = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as fh:
                    rest = fh.read().rsplit(")", 1)[1].split()
                stats[int(name)] = (int(rest[1]), rest[19])
            except OSError:
                pass
    out, todo = {}, [root]
    while todo:
        pid = todo.pop()
        for child, (ppid, start) in stats.items():
            if ppid == pid and child not in out:
                out[child] = start
                todo.append(child)
    return out


class Node:
    def __init__(self, name: str, args: list[str], env: dict):
        self.home = Path(env["HOME"])
        self.proc = subprocess.Popen([str(RAY), "start", "--block", *args], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, start_new_session=True)
        self.log = []
        deadline = time.monotonic() + 180
        for line in self.proc.stdout:
            self.log.append(line)
            if "Ray runtime started" in line or time.monotonic() > deadline:
                break
        if not any("Ray runtime started" in line for line in self.log):
            self.stop()
            pytest.fail(f"node {name} did not start:\n" + "".join(self.log[-30:]))
        self.started = _tree(self.proc.pid)

    def stop(self) -> None:
        known = {**getattr(self, "started", {}), **_tree(self.proc.pid)}
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
        now = _tree(1)
        for pid, start in known.items():
            if now.get(pid) == start:
                os.kill(pid, signal.SIGKILL)


@pytest.fixture(scope="module")
def cluster(model_server):
    base = Path(tempfile.mkdtemp(prefix="zvray-"))  # short: Ray's socket paths have a length limit
    port = _free_port()
    env = {k: v for k, v in os.environ.items() if not k.startswith(("RAY_", "ZORVANE_"))}
    # The nodes import the package the tests run against (the installed wheel).
    pkg_parent = str(Path(zorvane_road_objects.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([pkg_parent, env.get("PYTHONPATH", "")])
    common = ["--num-cpus", "1", "--disable-usage-stats"]
    env_a = {**env, "HOME": str(base / "home_a"), "ZORVANE_ROBJ_MODEL_SERVER": model_server}
    env_b = {**env, "HOME": str(base / "home_b"), "ZORVANE_ROBJ_MODEL_SERVER": "http://127.0.0.1:9/"}
    nodes = []
    try:
        nodes.append(Node("A", ["--head", "--node-ip-address", "127.0.0.1", "--port", str(port),
                                "--temp-dir", str(base / "tmp_a"), "--include-dashboard", "false",
                                "--resources", json.dumps({"node_a": 1}), *common], env_a))
        token = base / "home_a" / ".ray" / "auth_token"
        if token.is_file():
            env_b["RAY_AUTH_TOKEN_PATH"] = str(token)
        nodes.append(Node("B", ["--address", f"127.0.0.1:{port}", "--node-ip-address", "127.0.0.1",
                                "--temp-dir", str(base / "tmp_b"), "--resources", json.dumps({"node_b": 1}),
                                *common], env_b))
        driver_env = {**env, "HOME": str(base / "home_a")}
        yield f"127.0.0.1:{port}", driver_env, nodes
    finally:
        for node in reversed(nodes):
            node.stop()
        shutil.rmtree(base, ignore_errors=True)


def test_two_nodes_give_the_single_process_rows(cluster, reference, tmp_path):
    address, env, nodes = cluster
    images = road_images(tmp_path / "imgs", 12)
    out = tmp_path / "det"
    proc = subprocess.run([sys.executable, "-m", "zorvane_road_objects", "batch", str(tmp_path / "imgs"),
                           "-o", str(out), "--address", address, "--batch-size", "2", "--no-progress"],
                          capture_output=True, text=True, timeout=400, env=env)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert lines[0] == f"zorvane-robj: joining the Ray cluster at {address}..."
    assert re.match(r"zorvane-robj: joined at \S+ \(2 nodes, 2 CPUs\)", lines[1]), lines
    assert "with 2 actor(s) on " in lines[-1]
    assert len([line for line in lines if "bundled" in line]) == 1, proc.stderr
    assert not [line for line in lines if not line.startswith("zorvane-robj: ")], proc.stderr  # Ray is quiet
    rows = read_rows(out)
    assert set(rows) == {str(p) for p in images}
    for path in images:
        dets, (h, w) = reference(path)
        assert rows[str(path)]["detections"] == dets and (rows[str(path)]["width"], rows[str(path)]["height"]) == (w, h)
    # Node B, which no server serves, provisioned the bundled model once, into its own data directory.
    cached = sorted(nodes[1].home.parent.rglob("zorvane_robj_d_small_fp32.dat"))
    assert (nodes[1].home / ".zorvane" / "zorvane_robj_data" / "zorvane_robj_d_small_fp32.dat") in cached, cached
    assert all(len(list(n.home.rglob("zorvane_robj_d_small_fp32.dat"))) <= 1 for n in nodes)
