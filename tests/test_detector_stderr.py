"""SuppressStderr: descriptor-level silencing of standard error."""

from __future__ import annotations

import contextlib
import io
import os
import subprocess
import sys
import textwrap
import types

import pytest

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")

pytestmark = pytest.mark.skipif(
    not os.path.isdir("/proc/self/fd"), reason="descriptors are inspected through /proc"
)


def open_fds():
    return set(os.listdir("/proc/self/fd"))


def target(fd):
    return os.readlink(f"/proc/self/fd/{fd}")


@contextlib.contextmanager
def replaced_stderr(stream):
    """sys.stderr replaced inside the test body (pytest's capture sets it
    again between fixture set-up and the test call)."""
    saved = sys.stderr
    sys.stderr = stream
    try:
        yield stream
    finally:
        sys.stderr = saved


@pytest.fixture
def stderr_file(tmp_path):
    """A file on its own descriptor (not 2) to become sys.stderr."""
    path = tmp_path / "err.txt"
    with open(path, "w", buffering=1) as f:
        yield f, path


def test_silences_the_descriptor_of_sys_stderr_and_restores_it(stderr_file):
    f, path = stderr_file
    fd = f.fileno()
    assert fd != 2
    before_fds, before_target, fd2 = open_fds(), target(fd), target(2)
    os.write(fd, b"before\n")
    with replaced_stderr(f):
        with zd.SuppressStderr() as block:
            assert target(fd) == os.devnull
            assert target(2) == fd2  # only the descriptor of sys.stderr is touched
            os.write(fd, b"inside\n")
            assert len(open_fds()) == len(before_fds) + 2
    os.write(fd, b"after\n")
    assert isinstance(block, zd.SuppressStderr)
    assert target(fd) == before_target
    assert open_fds() == before_fds
    assert path.read_text() == "before\nafter\n"


def test_body_exception_propagates_and_stderr_is_restored(stderr_file):
    f, path = stderr_file
    before = open_fds()
    with replaced_stderr(f), pytest.raises(KeyError):
        with zd.SuppressStderr():
            os.write(f.fileno(), b"lost\n")
            raise KeyError("x")
    os.write(f.fileno(), b"back\n")
    assert open_fds() == before
    assert path.read_text() == "back\n"


@pytest.mark.parametrize("stream", [None, "memory"])
def test_no_usable_descriptor_changes_nothing(stream):
    before, fd2 = open_fds(), target(2)
    with replaced_stderr(None if stream is None else io.StringIO()):
        block = zd.SuppressStderr()
        assert block.__enter__() is block
        assert target(2) == fd2 and open_fds() == before
        assert block.__exit__(None, None, None) is False
    assert target(2) == fd2 and open_fds() == before


def test_nested_blocks(stderr_file):
    f, path = stderr_file
    before = open_fds()
    with replaced_stderr(f):
        with zd.SuppressStderr():
            with zd.SuppressStderr():
                os.write(f.fileno(), b"a\n")
            os.write(f.fileno(), b"b\n")
    os.write(f.fileno(), b"c\n")
    assert open_fds() == before
    assert path.read_text() == "c\n"


def test_exit_never_suppresses():
    # Its argument-count and keyword errors: test_native_arguments.py.
    block = zd.SuppressStderr(1, 2, key="ignored")
    assert block.__exit__(KeyError, KeyError("x"), None) is False
    assert block.__exit__(exc_type=None, exc_val=None, exc_tb=None) is False
    with pytest.raises(TypeError):
        block.__enter__(1)


class FakeOs:
    """The real `os` functions, with chosen ones failing and closes recorded."""

    def __init__(self, fail=()):
        self.fail = set(fail)
        self.closed = []
        self.devnull = os.devnull
        self.O_WRONLY = os.O_WRONLY

    def _call(self, name, *args):
        if name in self.fail:
            raise OSError(f"{name} refused")
        return getattr(os, name)(*args)

    def dup(self, fd):
        return self._call("dup", fd)

    def open(self, path, flags):
        return self._call("open", path, flags)

    def dup2(self, a, b):
        return self._call("dup2", a, b)

    def close(self, fd):
        self.closed.append(fd)
        return self._call("close", fd)


def test_failed_devnull_open_restores_and_closes_only_the_duplicate(stderr_file, monkeypatch):
    f, path = stderr_file
    fake = FakeOs(fail={"open"})
    monkeypatch.setattr(zd, "os", fake)
    before, fd_target = open_fds(), target(f.fileno())
    with replaced_stderr(f), zd.SuppressStderr():
        assert len(open_fds()) == len(before) + 1  # only the duplicate
        os.write(f.fileno(), b"visible\n")
    assert len(fake.closed) == 1
    assert open_fds() == before and target(f.fileno()) == fd_target
    assert path.read_text() == "visible\n"


def test_failed_redirection_still_closes_both_descriptors(stderr_file, monkeypatch):
    f, _ = stderr_file
    fake = FakeOs()
    monkeypatch.setattr(zd, "os", fake)
    before = open_fds()
    block = zd.SuppressStderr()
    fake.fail = {"dup2"}
    with replaced_stderr(f):
        block.__enter__()
        assert len(open_fds()) == len(before) + 2
        fake.fail = set()
        block.__exit__(None, None, None)
    assert len(fake.closed) == 2
    assert open_fds() == before


def test_module_os_and_sys_are_looked_up_at_each_use(stderr_file, monkeypatch):
    f, _ = stderr_file
    monkeypatch.setattr(zd, "sys", types.SimpleNamespace(stderr=None))
    before = target(f.fileno())
    with replaced_stderr(f), zd.SuppressStderr():
        assert target(f.fileno()) == before  # the module's `sys` has no stderr


SCRIPT = textwrap.dedent(
    """
    import os, sys
    from zorvane_road_objects import zorvane_robj_d as zd
    fds = set(os.listdir("/proc/self/fd"))
    os.write(2, b"one\\n")
    {body}
    os.write(2, b"two\\n")
    assert set(os.listdir("/proc/self/fd")) == fds, "descriptors left open"
    print("ok")
    """
)

BODIES = {
    "block": "with zd.SuppressStderr():\n    os.write(2, b'hidden\\n')",
    "raising": (
        "try:\n    with zd.SuppressStderr():\n        os.write(2, b'hidden\\n')\n"
        "        raise RuntimeError('boom')\nexcept RuntimeError:\n    pass"
    ),
    "engine_failure": (
        "try:\n    zd.zv_robj_d(b'not a model')\nexcept Exception as e:\n"
        "    assert str(e) == 'MODEL_LOAD_FAILED'"
    ),
}


@pytest.mark.parametrize("body", sorted(BODIES))
def test_process_standard_error_survives(body):
    env = dict(os.environ)
    proc = subprocess.run(
        [sys.executable, "-c", SCRIPT.format(body=BODIES[body])],
        capture_output=True,
        env=env,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout == b"ok\n"
    assert proc.stderr == b"one\ntwo\n"
