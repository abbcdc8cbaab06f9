"""The detector under hostile use: images too large for OpenCV, detectors
re-initialised while other threads detect, standard-error suppression from
several threads at once, and the session's thread setting. Cases that could
crash the interpreter run in a child interpreter."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import onnxruntime
import pytest

from _models import fixed_rows_model

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")

TESTS = Path(__file__).resolve().parent
CAR = [[2, 0.57, 10, 20, 110, 220]]

CHILD_PRELUDE = """
import json, os, sys, tempfile, threading, time
import numpy as np
sys.path.insert(0, {tests!r})
from _models import fixed_rows_model
from zorvane_road_objects import zorvane_robj_d as zd
MODEL = fixed_rows_model({rows!r})
PATH = os.path.join(tempfile.mkdtemp(), "m.dat")
with open(PATH, "wb") as f:
    f.write(MODEL)
zd.download_robj_model = lambda name: PATH
def outcome(fn, *args):
    try:
        out = fn(*args)
        return ["ok", [r["class"] for r in out["results"]]]
    except BaseException as e:
        return [type(e).__name__, str(e), type(e.__context__).__name__]
"""


def run_child(body: str, timeout: int = 120) -> list:
    """Runs `body` after the prelude in a fresh interpreter; every line the
    child prints is JSON. A crash fails the test with the child's output."""
    code = CHILD_PRELUDE.format(tests=str(TESTS), rows=CAR) + textwrap.dedent(body)
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env,
                          timeout=timeout)
    assert proc.returncode == 0, (proc.returncode, proc.stdout[-2000:], proc.stderr[-4000:])
    return [json.loads(line) for line in proc.stdout.decode().splitlines()]


# ---------------------------------------------------------------------------
# Sides and rows beyond what OpenCV indexes. Broadcast views: nothing big is
# allocated unless the code under test copies them.

BIG = {
    # shape: (facade outcome, engine outcome)
    (2**32 + 5, 5, 3): (["ValueError", "Invalid input"], ["Exception", "INVALID_INPUT_IMAGE"]),
    (5, 2**32 + 5, 3): (["ValueError", "Invalid input"], ["Exception", "INVALID_INPUT_IMAGE"]),
    (2**31, 5, 3): (["ValueError", "Invalid input"], ["Exception", "INVALID_INPUT_IMAGE"]),
    (5, 2**31, 3): (["ValueError", "Invalid input"], ["Exception", "INVALID_INPUT_IMAGE"]),
    # a row of more than 2**31 - 1 bytes
    (2**20, 2**30, 3): (["ValueError", "Invalid input"], ["Exception", "INVALID_INPUT_IMAGE"]),
    (4000, 4000, 2**20): (["ValueError", "Processing error"], ["Exception", "INVALID_INPUT_IMAGE"]),
    # within OpenCV's limits, but a copy no machine can hold
    (2**31 - 1, 700_000_000, 3): (["ValueError", "Invalid input"],
                                  ["Exception", "PROCESSING_FAILED", "MemoryError"]),
}


def test_images_beyond_opencv_limits_are_refused_without_a_crash():
    lines = run_child(
        f"""
        det = zd.zv_road_object_detector("x")
        engine = zd.zv_robj_d(MODEL)
        for shape in {sorted(BIG)!r}:
            img = np.broadcast_to(np.zeros((1, 1, 1), np.uint8), shape)
            print(json.dumps([outcome(det, img), outcome(engine.detect_objects, img)]))
        """
    )
    got = dict(zip(sorted(BIG), lines))
    for shape, (facade, engine) in BIG.items():
        assert got[shape][0][: len(facade)] == facade, shape
        assert got[shape][1][: len(engine)] == engine, shape


@pytest.mark.parametrize(
    "view",
    [
        lambda px: np.broadcast_to(px[:1, :1], (300, 400, 3)),
        lambda px: np.broadcast_to(px[:1], (300, 700, 3))[::-1, ::-2],
        # each row starts one pixel further along the same memory
        lambda px: np.lib.stride_tricks.as_strided(px, (300, 400, 3), (3, 3, 1)),
    ],
    ids=["broadcast", "broadcast-reversed", "overlapping-rows"],
)
def test_layouts_opencv_cannot_wrap_detect_like_their_copy(view, monkeypatch):
    from _models import decode_echo, echo_model

    monkeypatch.setattr(zd, "nms", lambda boxes, scores, iou: range(len(boxes)))
    engine = zd.zv_robj_d(echo_model())
    rng = np.random.default_rng(7)
    img = view(rng.integers(0, 256, (1, 700, 3), dtype=np.uint8))
    got = decode_echo(engine.detect_objects(img)["results"])
    want = decode_echo(engine.detect_objects(np.ascontiguousarray(img))["results"])
    for a, b in zip(got, want):
        assert np.array_equal(a, b)


# ---------------------------------------------------------------------------
# Re-initialisation while other threads detect.

REINIT = """
which = {which!r}
img = np.zeros((64, 64, 3), np.uint8)
det = zd.zv_road_object_detector("x") if which == "facade" else zd.zv_robj_d(MODEL)
call = det if which == "facade" else det.detect_objects
stop = time.monotonic() + 1.5
bad = []
def work():
    while time.monotonic() < stop:
        r = outcome(call, img)
        if r != ["ok", ["car"]]:
            bad.append(r)
threads = [threading.Thread(target=work) for _ in range(3)]
for t in threads:
    t.start()
rounds = 0
while time.monotonic() < stop:
    if which == "facade":
        det.__init__("x")
    else:
        det.__init__(MODEL, 0.1)
        det.conf_threshold = 0.2
        det.iou_threshold = 0.4
    rounds += 1
for t in threads:
    t.join()
print(json.dumps([rounds, bad[:3], len(bad)]))
"""


@pytest.mark.parametrize("which", ["facade", "engine"])
def test_reinitialising_while_other_threads_detect(which):
    [[rounds, sample, failures]] = run_child(REINIT.format(which=which))
    assert rounds > 0
    assert failures == 0, sample


# ---------------------------------------------------------------------------
# Standard error shared by many blocks.

STDERR = """
fd2 = os.readlink("/proc/self/fd/2")
fds = sorted(os.listdir("/proc/self/fd"))
def check(label):
    print(json.dumps([label, os.readlink("/proc/self/fd/2") == fd2,
                      sorted(os.listdir("/proc/self/fd")) == fds]))
def build():
    for _ in range(15):
        zd.zv_robj_d(MODEL)
threads = [threading.Thread(target=build) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
check("engines built on four threads")
s = zd.SuppressStderr()
with s:
    with s:
        pass
check("one object entered twice")
a, b = zd.SuppressStderr(), zd.SuppressStderr()
a.__enter__(); b.__enter__(); a.__exit__(None, None, None)
silenced = os.readlink("/proc/self/fd/2") == os.devnull
b.__exit__(None, None, None)
check("blocks left in the order entered")
print(json.dumps(["still silenced while one block is open", silenced, True]))
c = zd.SuppressStderr()
before = len(os.listdir("/proc/self/fd"))
for _ in range(20):
    c.__enter__()
print(json.dumps(["no descriptors per extra entry",
                  len(os.listdir("/proc/self/fd")) - before == 2, True]))
for _ in range(20):
    c.__exit__(None, None, None)
c.__exit__(None, None, None)  # one exit too many changes nothing
check("twenty entries, twenty-one exits")
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="descriptors read from /proc")
def test_overlapping_and_reentrant_blocks_leave_stderr_as_it_was():
    for label, fd2_back, fds_back in run_child(STDERR):
        assert fd2_back and fds_back, label


# ---------------------------------------------------------------------------
# The session's thread setting.


@pytest.fixture
def sessions(monkeypatch):
    """InferenceSession replaced by a subclass that keeps every real session
    it creates (with all the arguments it was given)."""
    made = []

    class Kept(onnxruntime.InferenceSession):
        def __init__(self, model, **kwargs):
            super().__init__(model, **kwargs)
            self.kwargs = kwargs
            made.append(self)

    monkeypatch.setattr(onnxruntime, "InferenceSession", Kept)
    monkeypatch.delenv("ZORVANE_ROBJ_THREADS", raising=False)
    return made


def threads_of(session):
    opts = session.get_session_options()
    return opts.intra_op_num_threads, opts.inter_op_num_threads


@pytest.mark.parametrize(
    "arg, env, expected",
    [
        (None, None, None),
        (None, "", None),
        (2, None, (2, 1)),
        (None, " 3 ", (3, 1)),
        (1, "4", (1, 1)),
        (np.int64(5), None, (5, 1)),
    ],
)
def test_thread_setting_reaches_the_session(arg, env, expected, sessions, monkeypatch):
    if env is not None:
        monkeypatch.setenv("ZORVANE_ROBJ_THREADS", env)
    engine = zd.zv_robj_d(fixed_rows_model(CAR), threads=arg)
    [session] = sessions
    if expected is None:
        assert set(session.kwargs) == {"providers"}
    else:
        assert threads_of(session) == expected
    assert engine.detect_objects(np.zeros((8, 8, 3), np.uint8))["results"][0]["class"] == "car"


def test_facade_passes_the_thread_setting_on(sessions, tmp_path, monkeypatch):
    path = tmp_path / "m.dat"
    path.write_bytes(fixed_rows_model(CAR))
    monkeypatch.setattr(zd, "download_robj_model", lambda name: str(path))
    zd.zv_road_object_detector("small_fp32", "cpu", 0.4, 0.5, threads=3)
    zd.zv_road_object_detector("small_fp32")
    assert threads_of(sessions[0]) == (3, 1)
    assert set(sessions[1].kwargs) == {"providers"}


BAD_THREADS = [(True, TypeError), ("2", TypeError), (1.0, TypeError), (0, ValueError),
               (-3, ValueError), (2**31, ValueError)]


@pytest.mark.parametrize("value, error", BAD_THREADS)
def test_bad_thread_argument_is_an_argument_error(value, error, monkeypatch):
    fetched = []
    monkeypatch.setattr(zd, "download_robj_model", lambda name: fetched.append(name))
    with pytest.raises(error, match="threads must be a positive int"):
        zd.zv_robj_d(fixed_rows_model(CAR), threads=value)
    with pytest.raises(error, match="threads must be a positive int"):
        zd.zv_road_object_detector("small_fp32", threads=value)
    assert fetched == []  # refused before the model is fetched


@pytest.mark.parametrize("value", ["abc", "0", "-2", "1.5"])
def test_bad_environment_value_warns_once_and_is_ignored(value, sessions, monkeypatch):
    monkeypatch.setenv("ZORVANE_ROBJ_THREADS", value)
    model = fixed_rows_model(CAR)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        zd.zv_robj_d(model)
        zd.zv_robj_d(model)
    assert len(caught) <= 1  # at most once per process for one value
    if caught:
        assert caught[0].category is RuntimeWarning
        assert "ZORVANE_ROBJ_THREADS" in str(caught[0].message) and repr(value) in str(
            caught[0].message)
    assert all(set(s.kwargs) == {"providers"} for s in sessions)


def test_bad_environment_value_warning_names_variable_and_value():
    [[text, category]] = run_child(
        """
        import warnings
        os.environ["ZORVANE_ROBJ_THREADS"] = "many"
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            zd.zv_robj_d(MODEL); zd.zv_robj_d(MODEL)
        print(json.dumps([[str(w.message) for w in caught], caught[0].category.__name__]))
        """
    )
    assert text == ["ignoring ZORVANE_ROBJ_THREADS='many': not a positive integer"]
    assert category == "RuntimeWarning"
