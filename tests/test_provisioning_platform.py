"""Provisioning where operating systems differ: a data directory under a
home whose name is not ASCII, a model file that the system refuses to
replace because another process has it open (Windows), and console output
in an encoding without the messages' symbols (a redirected standard output
on Windows gets the ANSI code page). Real HTTP servers on 127.0.0.1, HOME
pointed at a temporary directory."""

from __future__ import annotations

import io
import os
import sys
import threading
import time
from pathlib import Path

import pytest

from zorvane_road_objects import zorvane_robj_p
from zorvane_road_objects.zorvane_robj_p import download_robj_model

from _httpd import LAST_MODIFIED, Resource, TestServer
from test_provisioning import data_dir, home, server  # noqa: F401  (fixtures)

MODEL = "small_fp32"
FILE = "zorvane_robj_d_small_fp32.dat"
FAIL = "Operation failed (drm)"
OLD_STAMP = "Mon, 01 Jan 2001 00:00:00 GMT"
# How long the download retries a refused replace (replace_wait in the
# provisioning module).
REPLACE_WAIT = 2.0


def seed(home: Path, content: bytes) -> Path:
    d = data_dir(home)
    d.mkdir(parents=True, exist_ok=True)
    (d / FILE).write_bytes(content)
    (d / (FILE + ".last_modified")).write_text(OLD_STAMP)
    return d / FILE


def leftovers(home: Path) -> list[str]:
    return sorted(p.name for p in data_dir(home).glob("*.tmp"))


# --------------------------------------------------------------------------
# A home whose name is not ASCII


def test_home_with_letters_outside_ascii(tmp_path, monkeypatch):
    # The data directory, the lock file and the download under a user
    # profile such as C:\Users\Zoë: threads still take turns on the lock.
    home = tmp_path / "Zoë Åström 用户"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("USERPROFILE", str(home))
    monkeypatch.delenv("ZORVANE_VERBOSE", raising=False)
    content = os.urandom(200_000)
    with TestServer({FILE: Resource(content, chunk_delay=0.01)}) as srv:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", srv.url)
        results: list = []
        threads = [threading.Thread(target=lambda: results.append(download_robj_model(MODEL)))
                   for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        expected = str(data_dir(home) / FILE)
        assert results == [expected] * 3
        assert Path(expected).read_bytes() == content
        assert (data_dir(home) / (FILE + ".lock")).exists()
        assert srv.methods().count("GET") == 1


# --------------------------------------------------------------------------
# A model file that the system refuses to replace


class RefusingOS:
    """The real os module, except that replace() fails the first `refusals`
    times with `error` (None: never), as Windows fails it while another
    process has the target open."""

    def __init__(self, error, refusals: int) -> None:
        self._error, self._refusals = error, refusals
        self.replace_calls = 0

    def __getattr__(self, name):
        return getattr(os, name)

    def replace(self, src, dst):
        self.replace_calls += 1
        if self._error is not None and self.replace_calls <= self._refusals:
            raise self._error(src, dst)
        return os.replace(src, dst)


def in_use(winerror: int | None, kind=PermissionError):
    """An error as os.replace raises it on Windows (with `winerror`) or
    elsewhere (without)."""

    def make(src, dst):
        exc = kind(13, "The process cannot access the file because it is being used by "
                       "another process", src, None, dst)
        if winerror is not None:
            exc.winerror = winerror  # only Windows builds set the attribute
        return exc

    return make


@pytest.fixture
def refusing(monkeypatch):
    def install(error, refusals: int) -> RefusingOS:
        shim = RefusingOS(error, refusals)
        monkeypatch.setattr(zorvane_robj_p, "os", shim)
        return shim

    return install


@pytest.mark.parametrize("winerror", [5, 32, 33])
def test_replace_refused_for_a_moment_is_retried(server, home, refusing, winerror):
    new = os.urandom(5000)
    server.resources[FILE] = Resource(new)
    seed(home, b"old copy")
    shim = refusing(in_use(winerror), refusals=3)
    assert download_robj_model(MODEL) == str(data_dir(home) / FILE)
    assert shim.replace_calls == 4
    assert (data_dir(home) / FILE).read_bytes() == new
    assert (data_dir(home) / (FILE + ".last_modified")).read_text() == LAST_MODIFIED
    assert leftovers(home) == []


def test_replace_refused_throughout_keeps_the_old_copy(server, home, refusing, monkeypatch,
                                                       capsys):
    monkeypatch.setenv("ZORVANE_VERBOSE", "1")
    server.resources[FILE] = Resource(os.urandom(5000))
    seed(home, b"old copy")
    shim = refusing(in_use(32), refusals=10**9)
    start = time.monotonic()
    assert download_robj_model(MODEL) == str(data_dir(home) / FILE)
    took = time.monotonic() - start
    assert REPLACE_WAIT <= took < REPLACE_WAIT + 10
    assert shim.replace_calls > 2
    assert (data_dir(home) / FILE).read_bytes() == b"old copy"
    assert (data_dir(home) / (FILE + ".last_modified")).read_text() == OLD_STAMP
    assert leftovers(home) == []
    out = capsys.readouterr().out.splitlines()
    assert "Download error: [Errno 13] The process cannot access the file" in out[-2]
    assert out[-1].endswith("Using cached file instead\x1b[0m")


def test_replace_refused_throughout_without_a_copy(server, home, refusing):
    server.resources[FILE] = Resource(os.urandom(5000))
    refusing(in_use(32), refusals=10**9)
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$"):
        download_robj_model(MODEL)
    assert not (data_dir(home) / FILE).exists()
    assert leftovers(home) == []


ONCE = {
    "no winerror (POSIX)": in_use(None),
    "another Windows error": in_use(2),
    "not a PermissionError": in_use(32, kind=FileNotFoundError),
}


@pytest.mark.parametrize("error", ONCE.values(), ids=ONCE.keys())
def test_other_replace_errors_are_not_retried(server, home, refusing, error):
    server.resources[FILE] = Resource(os.urandom(5000))
    seed(home, b"old copy")
    shim = refusing(error, refusals=1)
    assert download_robj_model(MODEL) == str(data_dir(home) / FILE)
    assert shim.replace_calls == 1
    assert (data_dir(home) / FILE).read_bytes() == b"old copy"
    assert leftovers(home) == []


# --------------------------------------------------------------------------
# Console output in an encoding without the messages' symbols


@pytest.mark.parametrize("encoding", ["cp1252", "ascii"])
def test_messages_on_a_narrow_console_encoding(server, home, monkeypatch, encoding):
    content = os.urandom(5000)
    server.resources[FILE] = Resource(content)
    monkeypatch.setenv("ZORVANE_VERBOSE", "1")
    raw = io.BytesIO()
    console = io.TextIOWrapper(raw, encoding=encoding, newline="\n", write_through=True)
    monkeypatch.setattr(sys, "stdout", console)
    assert download_robj_model(MODEL) == str(data_dir(home) / FILE)
    assert download_robj_model(MODEL) == str(data_dir(home) / FILE)
    out = raw.getvalue().decode(encoding)
    assert "[DOWNLOAD] ? Download complete: 0.0 MB in " in out
    assert "[DOWNLOAD] ? File is up to date, using cached version" in out
    assert (data_dir(home) / FILE).read_bytes() == content
