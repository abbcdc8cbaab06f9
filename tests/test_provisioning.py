"""Model provisioning (`zorvane_robj_p.download_robj_model`) against real HTTP
servers on 127.0.0.1, with HOME pointed at a temporary directory."""

from __future__ import annotations

import base64
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import tracemalloc
from pathlib import Path

import pytest

import zorvane_road_objects
from zorvane_road_objects import zorvane_robj_p
from zorvane_road_objects.zorvane_robj_p import download_robj_model

from _httpd import LAST_MODIFIED, Resource, TestServer, refused_url, wait_for_port

MODEL = "small_fp32"
FILE = "zorvane_robj_d_small_fp32.dat"
FAIL = "Operation failed (drm)"
CHECK = "\u2713"
WARN = "\u26a0"
OLD_STAMP = "Mon, 01 Jan 2001 00:00:00 GMT"


def body(n: int, seed: int = 1) -> bytes:
    """n bytes of a pattern that differs with the seed."""
    block = bytes((i * 31 + seed * 7 + (i >> 8)) & 0xFF for i in range(4099))
    return (block * (n // len(block) + 1))[:n]


@pytest.fixture
def home(tmp_path, monkeypatch):
    h = tmp_path / "home"
    h.mkdir()
    monkeypatch.setenv("HOME", str(h))
    monkeypatch.setenv("USERPROFILE", str(h))
    for name in ("ZORVANE_VERBOSE", "ZORVANE_ROBJ_SKIP_UPDATE", "ZORVANE_ROBJ_MODEL_SERVER",
                 "ZORVANE_ROBJ_DOWNLOAD_TIMEOUT"):
        monkeypatch.delenv(name, raising=False)
    return h


@pytest.fixture
def verbose(monkeypatch):
    monkeypatch.setenv("ZORVANE_VERBOSE", "1")


@pytest.fixture
def server(home, monkeypatch):
    with TestServer() as srv:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", srv.url)
        yield srv


def data_dir(home: Path) -> Path:
    return home / ".zorvane" / "zorvane_robj_data"


def expected_path(name: str = FILE) -> str:
    return os.path.join(os.path.expanduser("~"), ".zorvane", "zorvane_robj_data", name)


def seed(home: Path, content: bytes, stamp: str | None = None, name: str = FILE) -> Path:
    d = data_dir(home)
    d.mkdir(parents=True, exist_ok=True)
    p = d / name
    p.write_bytes(content)
    if stamp is not None:
        (d / (name + ".last_modified")).write_text(stamp)
    return p


def stamp_of(home: Path, name: str = FILE) -> str | None:
    p = data_dir(home) / (name + ".last_modified")
    return p.read_text() if p.exists() else None


def messages(out: str) -> list[str]:
    """The console messages, checked for their colour and prefix, with
    timings replaced by X."""
    lines = out.splitlines()
    result = []
    for line in lines:
        m = re.fullmatch(r"\x1b\[96m\[DOWNLOAD\] (.*)\x1b\[0m", line)
        assert m, f"not a download message: {line!r}"
        result.append(re.sub(r"\d+\.\d\d seconds$", "X seconds", m.group(1)))
    return result


def no_temp(home: Path) -> bool:
    return not (data_dir(home) / (FILE + ".tmp")).exists()


# --------------------------------------------------------------------------
# Downloads and update checks


def test_first_download(server, home, verbose, capsys):
    content = body(150_000)
    server.resources[FILE] = Resource(content)
    path = download_robj_model(MODEL)
    assert path == expected_path()
    assert type(path) is str
    assert Path(path).read_bytes() == content
    assert stamp_of(home) == LAST_MODIFIED
    assert no_temp(home)
    assert server.log == [("HEAD", FILE), ("GET", FILE)]
    out, err = capsys.readouterr()
    assert messages(out) == [
        f"Processing: {FILE}",
        "File not cached locally",
        "File not found locally, must download",
        "Server file: 0.0 MB",
        "Downloading from server...",
        f"{CHECK} Download complete: 0.1 MB in X seconds",
    ]
    # The progress bar, on tqdm's own stream.
    assert FILE in err and "iB" in err and "100%" in err


@pytest.mark.parametrize("stored", [LAST_MODIFIED, f"  {LAST_MODIFIED}\n", f"\t{LAST_MODIFIED} "])
def test_current_by_stamp(server, home, verbose, capsys, stored):
    server.resources[FILE] = Resource(body(1000, seed=2))
    cached = seed(home, body(1000), stamp=stored)
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == body(1000)
    assert server.methods() == ["HEAD"]
    assert stamp_of(home) == stored
    assert messages(capsys.readouterr().out) == [
        f"Processing: {FILE}",
        f"Found cached file: {FILE} (0.0 MB)",
        "Checking server for updates...",
        "Server check took X seconds",
        "Server: size=0.0 MB",
        f"{CHECK} File is up to date, using cached version",
    ]


@pytest.mark.parametrize("last_modified", [LAST_MODIFIED, None])
def test_current_by_size(server, home, verbose, capsys, last_modified):
    server.resources[FILE] = Resource(body(4096, seed=3), last_modified=last_modified)
    cached = seed(home, body(4096))
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == body(4096)
    assert server.methods() == ["HEAD"]
    # The stamp is recorded when the server sent one.
    assert stamp_of(home) == last_modified
    assert messages(capsys.readouterr().out)[-2:] == [
        "No timestamp file, comparing sizes...",
        f"{CHECK} Size matches, assuming up to date",
    ]


@pytest.mark.parametrize("stored", [OLD_STAMP, "Fri, 01 Jan 2100 00:00:00 GMT"])
def test_different_stamp_downloads(server, home, verbose, capsys, stored):
    # Any difference counts as a newer version, a later date included.
    content = body(2000, seed=4)
    server.resources[FILE] = Resource(content)
    cached = seed(home, body(2000), stamp=stored)
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == content
    assert stamp_of(home) == LAST_MODIFIED
    assert server.methods() == ["HEAD", "GET"]
    assert no_temp(home)
    assert messages(capsys.readouterr().out)[4:] == [
        "Server: size=0.0 MB",
        f"{WARN} Server has newer version, will download",
        "Downloading from server...",
        f"{CHECK} Download complete: 0.0 MB in X seconds",
    ]


def test_size_mismatch_downloads(server, home, verbose, capsys):
    content = body(5000, seed=5)
    server.resources[FILE] = Resource(content)
    cached = seed(home, body(4000))
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == content
    assert stamp_of(home) == LAST_MODIFIED
    assert f"{WARN} Size mismatch" in messages(capsys.readouterr().out)


def test_missing_last_modified_with_old_stamp(server, home):
    # Every check finds the stamps different; the old stamp stays.
    content = body(3000, seed=6)
    server.resources[FILE] = Resource(content, last_modified=None)
    cached = seed(home, body(3000), stamp=OLD_STAMP)
    for _ in range(2):
        assert download_robj_model(MODEL) == expected_path()
        assert cached.read_bytes() == content
        assert stamp_of(home) == OLD_STAMP
    assert server.methods() == ["HEAD", "GET", "HEAD", "GET"]


def test_missing_last_modified_first_download(server, home):
    server.resources[FILE] = Resource(body(3000), last_modified=None)
    assert download_robj_model(MODEL) == expected_path()
    assert stamp_of(home) is None
    # Next time the sizes confirm the copy, still without a stamp file.
    assert download_robj_model(MODEL) == expected_path()
    assert stamp_of(home) is None
    assert server.methods() == ["HEAD", "GET", "HEAD"]


def test_missing_content_length(server, home, verbose, capsys):
    # Size 0 on the server: a copy without stamp differs and is replaced; the
    # bar runs with total 0 and the completion message shows 0.0 MB.
    content = body(300_000, seed=7)
    server.resources[FILE] = Resource(content, content_length=False)
    cached = seed(home, body(1000))
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == content
    out, err = capsys.readouterr()
    msgs = messages(out)
    assert "Server: size=0.0 MB" in msgs
    assert f"{WARN} Size mismatch" in msgs
    assert msgs[-1] == f"{CHECK} Download complete: 0.0 MB in X seconds"
    assert FILE in err and "iB" in err
    assert no_temp(home)


def test_whole_and_fractional_mebibytes(server, home, verbose, capsys):
    size = int(5.7 * 1048576)
    content = body(size, seed=8)
    server.resources[FILE] = Resource(content)
    seed(home, body(size), stamp=OLD_STAMP)
    assert download_robj_model(MODEL) == expected_path()
    msgs = messages(capsys.readouterr().out)
    assert msgs[1] == f"Found cached file: {FILE} (5.0 MB)"
    assert "Server: size=5.0 MB" in msgs
    assert msgs[-1] == f"{CHECK} Download complete: 5.7 MB in X seconds"


def test_empty_local_file_is_downloaded_again(server, home, verbose, capsys):
    content = body(2000)
    server.resources[FILE] = Resource(content)
    cached = seed(home, b"", stamp=LAST_MODIFIED)
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == content
    assert messages(capsys.readouterr().out)[1:3] == [
        "Cached file is empty, will redownload",
        "File not found locally, must download",
    ]


def test_unreadable_local_size_is_downloaded_again(server, home, verbose, capsys):
    # A size that does not fit 32 bits cannot be held: the copy is not usable.
    content = body(2000)
    server.resources[FILE] = Resource(content)
    cached = seed(home, b"")
    with open(cached, "r+b") as f:
        f.truncate(2**31)  # sparse
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == content
    assert messages(capsys.readouterr().out)[1:3] == [
        "Error checking cached file, will redownload",
        "File not found locally, must download",
    ]


def test_leftover_temporary_file_is_overwritten(server, home):
    content = body(2000)
    server.resources[FILE] = Resource(content)
    d = data_dir(home)
    d.mkdir(parents=True)
    (d / (FILE + ".tmp")).write_bytes(b"x" * 50_000)
    assert Path(download_robj_model(MODEL)).read_bytes() == content
    assert no_temp(home)


@pytest.mark.parametrize("name", ["small_fp32", "medium_fp32", "large_fp32"])
def test_catalogue(server, home, name):
    file_name = f"zorvane_robj_d_{name}.dat"
    server.resources[file_name] = Resource(name.encode() * 100)
    path = download_robj_model(model_name=name)
    assert path == expected_path(file_name)
    assert Path(path).read_bytes() == name.encode() * 100


def test_base_address_read_at_each_call(home, monkeypatch):
    with TestServer({FILE: Resource(body(100))}) as one, \
            TestServer({FILE: Resource(body(100), last_modified=OLD_STAMP)}) as two:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", one.url)
        download_robj_model(MODEL)
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", two.url)
        download_robj_model(MODEL)
        assert one.methods() == ["HEAD", "GET"]
        assert two.methods() == ["HEAD", "GET"]
        assert stamp_of(home) == OLD_STAMP


# --------------------------------------------------------------------------
# Failures


@pytest.mark.parametrize("status", [404, 500])
def test_get_error_with_cached_copy(server, home, verbose, capsys, status):
    server.resources[FILE] = Resource(body(2000, seed=9), get_status=status)
    cached = seed(home, body(1000), stamp=OLD_STAMP)
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == body(1000)
    assert stamp_of(home) == OLD_STAMP
    assert no_temp(home)
    assert messages(capsys.readouterr().out)[-3:] == [
        "Downloading from server...",
        f"Download failed: HTTP {status}",
        "Using cached file instead",
    ]


@pytest.mark.parametrize("status", [404, 500])
def test_get_error_without_cached_copy(server, home, verbose, capsys, status):
    # The HEAD status is not examined: a HEAD answered with an error status
    # still leads to the GET.
    server.resources[FILE] = Resource(body(2000), head_status=status, get_status=status)
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$") as info:
        download_robj_model(MODEL)
    assert info.value.__context__ is None
    assert not (data_dir(home) / FILE).exists()
    assert stamp_of(home) is None
    assert no_temp(home)
    assert server.methods() == ["HEAD", "GET"]
    assert messages(capsys.readouterr().out)[2:] == [
        "File not found locally, must download",
        "Server file: 0.0 MB",
        "Downloading from server...",
        f"Download failed: HTTP {status}",
    ]


def test_connection_refused_with_cached_copy(home, verbose, capsys, monkeypatch):
    url, sock = refused_url()
    with sock:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", url)
        cached = seed(home, body(1000), stamp=OLD_STAMP)
        assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == body(1000)
    msgs = messages(capsys.readouterr().out)
    assert msgs[-2].startswith("Server unreachable: ")
    assert len(msgs[-2]) == len("Server unreachable: ") + 50
    assert msgs[-1] == f"{CHECK} Using cached file (offline mode)"


def test_connection_refused_without_cached_copy(home, verbose, capsys, monkeypatch):
    url, sock = refused_url()
    with sock:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", url)
        with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$"):
            download_robj_model(MODEL)
    msgs = messages(capsys.readouterr().out)
    assert msgs[:3] == [f"Processing: {FILE}", "File not cached locally",
                        "File not found locally, must download"]
    assert len(msgs) == 4
    assert msgs[3].startswith("Can't reach server: ")
    assert len(msgs[3]) == len("Can't reach server: ") + 50
    assert not (data_dir(home) / FILE).exists()
    assert no_temp(home)


def test_stalled_server_times_out(server, home, verbose, capsys):
    # The HEAD waits past the 5 s time-out: the copy is used offline.
    server.resources[FILE] = Resource(body(2000), head_stall=8)
    cached = seed(home, body(1000), stamp=OLD_STAMP)
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == body(1000)
    msgs = messages(capsys.readouterr().out)
    assert msgs[-2].startswith("Server unreachable: ")
    assert msgs[-1] == f"{CHECK} Using cached file (offline mode)"


CUTS = {
    "reset mid-body": dict(cut_after=100_000),
    "short body": dict(short_by=1000),
}


@pytest.mark.parametrize("cut", CUTS.values(), ids=CUTS.keys())
def test_broken_download_keeps_cached_copy(server, home, verbose, capsys, cut):
    server.resources[FILE] = Resource(body(400_000, seed=10), **cut)
    cached = seed(home, body(1000), stamp=OLD_STAMP)
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == body(1000)
    assert stamp_of(home) == OLD_STAMP
    assert no_temp(home)
    msgs = messages(capsys.readouterr().out)
    assert msgs[-2].startswith("Download error: ")
    assert len(msgs[-2]) <= len("Download error: ") + 100
    assert msgs[-1] == "Using cached file instead"


@pytest.mark.parametrize("cut", CUTS.values(), ids=CUTS.keys())
def test_broken_download_without_cached_copy(server, home, cut):
    server.resources[FILE] = Resource(body(400_000, seed=10), **cut)
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$"):
        download_robj_model(MODEL)
    assert not (data_dir(home) / FILE).exists()
    assert stamp_of(home) is None
    assert no_temp(home)


def test_stamp_write_failure_after_download(server, home):
    # The new file stays in place, but without a usable copy at the start the
    # call fails.
    content = body(2000)
    server.resources[FILE] = Resource(content)
    d = data_dir(home)
    (d / (FILE + ".last_modified")).mkdir(parents=True)
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$"):
        download_robj_model(MODEL)
    assert (d / FILE).read_bytes() == content
    assert no_temp(home)


def test_data_dir_cannot_be_created(home, monkeypatch):
    blocker = home / "not_a_dir"
    blocker.write_text("")
    monkeypatch.setenv("HOME", str(blocker))
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$") as info:
        download_robj_model(MODEL)
    assert info.value.__context__ is None


def test_data_dir_created_with_parents_and_kept(server, home):
    server.resources[FILE] = Resource(body(100))
    assert not (home / ".zorvane").exists()
    download_robj_model(MODEL)
    d = data_dir(home)
    assert d.is_dir()
    (d / "other.txt").write_text("kept")
    download_robj_model(MODEL)
    assert (d / "other.txt").read_text() == "kept"


# --------------------------------------------------------------------------
# Integrity, time limits, addresses


def b64_digest(data: bytes, algorithm: str) -> str:
    return base64.b64encode(hashlib.new(algorithm, data).digest()).decode()


def expect_refused(home: Path, capsys, cached: bool, call=None) -> None:
    """A refused download: the old copy and stamp stay, no temporary file is
    left, and without a copy the call fails."""
    call = call or (lambda: download_robj_model(MODEL))
    if cached:
        assert call() == expected_path()
        assert (data_dir(home) / FILE).read_bytes() == body(1000)
    else:
        with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$"):
            call()
        assert not (data_dir(home) / FILE).exists()
    assert stamp_of(home) == (OLD_STAMP if cached else None)
    assert no_temp(home)
    msgs = messages(capsys.readouterr().out)
    assert msgs[-2 if cached else -1].startswith("Download error: ")
    if cached:
        assert msgs[-1] == "Using cached file instead"


@pytest.mark.parametrize("cached", [True, False], ids=["cached copy", "no copy"])
def test_body_short_of_the_head_length_is_refused(server, home, verbose, capsys, cached):
    # The HEAD announces the size; the GET announces none and ends halfway.
    content = body(400_000, seed=15)
    server.resources[FILE] = Resource(content, get_content_length=False, short_by=200_000)
    if cached:
        seed(home, body(1000), stamp=OLD_STAMP)
    expect_refused(home, capsys, cached)
    # The whole body, still without a length on the GET, is accepted.
    server.resources[FILE] = Resource(content, get_content_length=False)
    assert Path(download_robj_model(MODEL)).read_bytes() == content
    assert stamp_of(home) == LAST_MODIFIED


@pytest.mark.parametrize("cached_size, server_length, replaced", [
    (200_000, True, True),
    (600_000, True, True),
    (200_000, False, False),  # no size to compare with: the stamp decides
], ids=["shorter", "longer", "server sends no length"])
def test_cached_copy_of_wrong_size(server, home, verbose, capsys, cached_size, server_length,
                                   replaced):
    content = body(400_000, seed=16)
    server.resources[FILE] = Resource(content, content_length=server_length)
    cached = seed(home, body(cached_size, seed=16), stamp=LAST_MODIFIED)
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == (content if replaced else body(cached_size, seed=16))
    msgs = messages(capsys.readouterr().out)
    if replaced:
        assert f"{WARN} Size mismatch" in msgs
        # Healed: the next check finds the copy current.
        download_robj_model(MODEL)
        assert server.methods() == ["HEAD", "GET", "HEAD"]
    else:
        assert msgs[-1] == f"{CHECK} File is up to date, using cached version"
        assert server.methods() == ["HEAD"]


CONTENT = body(300_000, seed=19)
SHA256 = b64_digest(CONTENT, "sha256")
SHA512 = b64_digest(CONTENT, "sha512")
OTHER256 = b64_digest(CONTENT[:-1] + b"?", "sha256")
OTHER512 = b64_digest(CONTENT[:-1] + b"?", "sha512")
DIGESTS = {
    "sha-256 matches": (f"sha-256=:{SHA256}:", True),
    "sha-512 matches": (f"sha-512=:{SHA512}:", True),
    "both match": (f"sha-512=:{SHA512}:, sha-256=:{SHA256}:", True),
    "unpadded, with parameters": (f"sha-256=:{SHA256.rstrip('=')}:;note=1", True),
    "unknown algorithms ignored": (f'md5=:AAAA:, sha-256=:{SHA256}:, x="y"', True),
    "only unknown algorithms": ("unixsum=:AAAA:, id-sha-256=:AAAA:", True),
    "malformed value: no colons": (f"sha-256={SHA256}", True),
    "malformed value: not base64": ("sha-256=:not*base64!:", True),
    "malformed value: wrong length": ("sha-256=:AAAA:", True),
    "sha-256 differs": (f"sha-256=:{OTHER256}:", False),
    "sha-512 differs": (f"sha-512=:{OTHER512}:", False),
    "one of two differs": (f"sha-256=:{SHA256}:, sha-512=:{OTHER512}:", False),
    "differs, malformed one beside": (f"sha-256=:AAAA:, sha-512=:{OTHER512}:", False),
}


@pytest.mark.parametrize("header, accepted", DIGESTS.values(), ids=DIGESTS.keys())
def test_content_digest(server, home, verbose, capsys, header, accepted):
    server.resources[FILE] = Resource(CONTENT, repr_digest=header)
    seed(home, body(1000), stamp=OLD_STAMP)
    if accepted:
        assert Path(download_robj_model(MODEL)).read_bytes() == CONTENT
        assert stamp_of(home) == LAST_MODIFIED
        assert no_temp(home)
    else:
        expect_refused(home, capsys, True)


def test_content_digest_mismatch_without_copy(server, home, verbose, capsys):
    server.resources[FILE] = Resource(CONTENT, repr_digest=f"sha-256=:{OTHER256}:")
    expect_refused(home, capsys, False)


@pytest.mark.parametrize("cached", [True, False], ids=["cached copy", "no copy"])
@pytest.mark.parametrize("length", [True, False], ids=["length", "no length"])
def test_trickling_body_hits_the_time_limit(server, home, verbose, capsys, monkeypatch, cached,
                                            length):
    # A byte every 40 ms: 8 s for the whole body, against a limit of 1.5 s.
    monkeypatch.setenv("ZORVANE_ROBJ_DOWNLOAD_TIMEOUT", "1.5")
    server.resources[FILE] = Resource(body(200, seed=17), content_length=length, byte_delay=0.04)
    if cached:
        seed(home, body(1000), stamp=OLD_STAMP)
    expect_refused(home, capsys, cached)


def hold_lock(home: Path):
    """Takes the model file's lock the way a running download holds it."""
    fcntl = pytest.importorskip("fcntl")
    d = data_dir(home)
    d.mkdir(parents=True, exist_ok=True)
    f = open(d / (FILE + ".lock"), "a+b")
    fcntl.flock(f, fcntl.LOCK_EX)
    return f


@pytest.mark.parametrize("cached", [True, False], ids=["cached copy", "no copy"])
def test_busy_lock(server, home, verbose, capsys, monkeypatch, cached):
    # Another download holds the lock and does not finish: a caller with a
    # usable copy uses it after a short wait, one without gives up at the
    # time limit. Neither waits for the holder.
    monkeypatch.setenv("ZORVANE_ROBJ_DOWNLOAD_TIMEOUT", "2")
    server.resources[FILE] = Resource(body(2000, seed=18))
    if cached:
        seed(home, body(1000), stamp=OLD_STAMP)
    holder = hold_lock(home)
    outcome: list = []

    def call():
        try:
            outcome.append(download_robj_model(MODEL))
        except ValueError as exc:
            outcome.append(exc)

    t = threading.Thread(target=call)
    t.start()
    t.join(20)
    waited_for_holder = t.is_alive()
    holder.close()
    t.join(30)
    assert not waited_for_holder
    assert server.log == []
    msgs = messages(capsys.readouterr().out)
    if cached:
        assert outcome == [expected_path()]
        assert (data_dir(home) / FILE).read_bytes() == body(1000)
        assert msgs[-3] == "Checking server for updates..."
        assert msgs[-2].startswith("Server unreachable: ")
        assert msgs[-1] == f"{CHECK} Using cached file (offline mode)"
    else:
        assert len(outcome) == 1 and str(outcome[0]) == FAIL
        assert msgs[-1].startswith("Download error: ")
        assert not (data_dir(home) / FILE).exists()


@pytest.mark.parametrize("value", ["abc", "0", "-5", "nan", "inf", ""])
def test_time_limit_setting_falls_back_to_default(server, home, monkeypatch, value):
    monkeypatch.setenv("ZORVANE_ROBJ_DOWNLOAD_TIMEOUT", value)
    server.resources[FILE] = Resource(body(20_000))
    assert Path(download_robj_model(MODEL)).read_bytes() == body(20_000)


@pytest.mark.parametrize("stamp", [LAST_MODIFIED + "\xa0", "\xa0" + LAST_MODIFIED + "\xa0"],
                         ids=["trailing", "both ends"])
def test_stamp_with_unicode_whitespace(server, home, stamp):
    server.resources[FILE] = Resource(body(1000), last_modified=stamp)
    for _ in range(3):
        assert download_robj_model(MODEL) == expected_path()
    assert server.methods() == ["HEAD", "GET", "HEAD", "HEAD"]
    assert stamp_of(home) == stamp


@pytest.mark.parametrize("prefix", ["", "/models"], ids=["host only", "with path"])
def test_base_address_without_trailing_slash(home, monkeypatch, prefix):
    name = (prefix.lstrip("/") + "/" + FILE).lstrip("/")
    with TestServer({name: Resource(body(100))}) as srv:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", srv.url.rstrip("/") + prefix)
        assert Path(download_robj_model(MODEL)).read_bytes() == body(100)
        assert srv.log == [("HEAD", name), ("GET", name)]


# --------------------------------------------------------------------------
# Settings


@pytest.mark.parametrize("value", [None, "0", "", "true", "-3", "1.0", "yes"])
def test_quiet_levels_print_nothing_but_show_the_bar(server, home, monkeypatch, capsys, value):
    if value is not None:
        monkeypatch.setenv("ZORVANE_VERBOSE", value)
    server.resources[FILE] = Resource(body(20_000))
    assert download_robj_model(MODEL) == expected_path()
    out, err = capsys.readouterr()
    assert out == ""
    assert FILE in err and "iB" in err


@pytest.mark.parametrize("value", ["1", " 2 ", "+1", "\t7\n", "2147483647"])
def test_verbose_levels_print(server, home, monkeypatch, capsys, value):
    monkeypatch.setenv("ZORVANE_VERBOSE", value)
    server.resources[FILE] = Resource(body(100))
    seed(home, body(100), stamp=LAST_MODIFIED)
    download_robj_model(MODEL)
    assert messages(capsys.readouterr().out)[-1] == \
        f"{CHECK} File is up to date, using cached version"


@pytest.mark.parametrize("name", ["ZORVANE_VERBOSE", "ZORVANE_ROBJ_SKIP_UPDATE"])
@pytest.mark.parametrize("value", ["2147483648", "-2147483649", "99999999999999999999"])
def test_setting_out_of_range(server, home, monkeypatch, capsys, name, value):
    monkeypatch.setenv(name, value)
    server.resources[FILE] = Resource(body(100))
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$") as info:
        download_robj_model(MODEL)
    # The error came out of the cached download and ended there.
    assert info.value.__context__ is None
    assert server.log == []
    assert capsys.readouterr().out == ""
    assert not data_dir(home).exists()


@pytest.mark.parametrize("value", ["1", "-1", " 1 ", "+2"])
def test_skip_update_with_usable_copy(server, home, verbose, monkeypatch, capsys, value):
    monkeypatch.setenv("ZORVANE_ROBJ_SKIP_UPDATE", value)
    server.resources[FILE] = Resource(body(2000, seed=11))
    cached = seed(home, body(1000), stamp=OLD_STAMP)
    assert download_robj_model(MODEL) == expected_path()
    assert cached.read_bytes() == body(1000)
    assert server.log == []
    assert messages(capsys.readouterr().out) == [
        f"Processing: {FILE}",
        f"Found cached file: {FILE} (0.0 MB)",
        "Skip update check enabled, using cached file",
    ]


@pytest.mark.parametrize("value", [None, "0", "no", ""])
def test_skip_update_off(server, home, monkeypatch, value):
    if value is not None:
        monkeypatch.setenv("ZORVANE_ROBJ_SKIP_UPDATE", value)
    server.resources[FILE] = Resource(body(1000))
    seed(home, body(1000), stamp=LAST_MODIFIED)
    download_robj_model(MODEL)
    assert server.methods() == ["HEAD"]


@pytest.mark.parametrize("cached", [None, b""], ids=["missing", "empty"])
def test_skip_update_without_usable_copy(server, home, monkeypatch, cached):
    monkeypatch.setenv("ZORVANE_ROBJ_SKIP_UPDATE", "1")
    server.resources[FILE] = Resource(body(1000))
    if cached is not None:
        seed(home, cached)
    assert Path(download_robj_model(MODEL)).read_bytes() == body(1000)
    assert server.methods() == ["HEAD", "GET"]


# --------------------------------------------------------------------------
# Model names


class StrSub(str):
    pass


class Named:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth")


BAD_NAMES = {
    "upper case": "SMALL_FP32",
    "mixed case": "Small_fp32",
    "leading blank": " small_fp32",
    "trailing blank": "small_fp32 ",
    "cut short": "small",
    "with nul": "small_fp32\x00",
    "file name": FILE,
    "empty": "",
    "None": None,
    "zero": 0,
    "empty list": [],
    "bytes": b"small_fp32",
    "unknown object": Named("tiny_fp32"),
}


@pytest.mark.parametrize("name", BAD_NAMES.values(), ids=BAD_NAMES.keys())
def test_unknown_names(server, home, verbose, capsys, name):
    server.resources[FILE] = Resource(body(100))
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$") as info:
        download_robj_model(name)
    assert info.value.__context__ is None
    assert server.log == []
    assert capsys.readouterr().out == ""
    assert not (home / ".zorvane").exists()


def test_object_whose_str_is_a_catalogue_name(server, home):
    server.resources["zorvane_robj_d_large_fp32.dat"] = Resource(body(100))
    path = download_robj_model(Named("large_fp32"))
    assert path == expected_path("zorvane_robj_d_large_fp32.dat")


@pytest.mark.parametrize("name", [StrSub("small_fp32"), Named(StrSub("small_fp32"))],
                         ids=["str subclass", "str() gives a subclass"])
def test_str_subclass_refused(server, home, name):
    server.resources[FILE] = Resource(body(100))
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$") as info:
        download_robj_model(name)
    assert isinstance(info.value.__context__, TypeError)
    assert str(info.value.__context__) == "Expected str, got StrSub"
    assert info.value.__cause__ is None
    assert server.log == []


def test_numpy_str_refused(server, home):
    np = pytest.importorskip("numpy")
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$") as info:
        download_robj_model(np.str_("small_fp32"))
    assert isinstance(info.value.__context__, TypeError)


def test_failing_truth_test_becomes_the_context(home):
    with pytest.raises(ValueError, match=r"^Operation failed \(drm\)$") as info:
        download_robj_model(BadBool())
    assert isinstance(info.value.__context__, RuntimeError)


def test_context_inside_an_except_block(home):
    # The caught error is the context even when the caller is itself
    # handling an exception.
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(ValueError) as info:
            download_robj_model(StrSub("small_fp32"))
    assert isinstance(info.value.__context__, TypeError)


def test_keyboard_interrupt_passes_through(home):
    class Interrupting:
        def __str__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        download_robj_model(Interrupting())


def test_module_surface():
    public = {n for n in dir(zorvane_robj_p) if not n.startswith("_")}
    # The imported modules are kept as module globals.
    assert public == {"download_robj_model", "os", "requests", "time", "tqdm"}
    import importlib
    import tqdm as tqdm_pkg
    assert zorvane_robj_p.tqdm is tqdm_pkg.tqdm
    assert importlib.import_module("zorvane_road_objects.zorvane_robj_p") is zorvane_robj_p


# --------------------------------------------------------------------------
# Threads and processes


def test_threads_take_turns(server, home):
    content = body(200_000)
    server.resources[FILE] = Resource(content, chunk_delay=0.01)
    results, errors = [], []

    def worker():
        try:
            results.append(download_robj_model(MODEL))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    assert results == [expected_path()] * 4
    assert Path(expected_path()).read_bytes() == content
    assert server.methods().count("GET") == 1


CHILD = """
import sys
from zorvane_road_objects.zorvane_robj_p import download_robj_model
try:
    print(download_robj_model("small_fp32"))
except ValueError as exc:
    print("ERROR", exc)
"""


def run_children(home: Path, url: str, count: int) -> list[str]:
    pkg_parent = str(Path(zorvane_road_objects.__file__).resolve().parent.parent)
    env = dict(os.environ, HOME=str(home), USERPROFILE=str(home),
               ZORVANE_ROBJ_MODEL_SERVER=url,
               PYTHONPATH=os.pathsep.join([pkg_parent, os.environ.get("PYTHONPATH", "")]))
    env.pop("ZORVANE_VERBOSE", None)
    env.pop("ZORVANE_ROBJ_SKIP_UPDATE", None)
    # All children wait at the same start line, then provision at once.
    gate = home / "go"
    script = f"import os, time\nwhile not os.path.exists({str(gate)!r}): time.sleep(0.005)\n" + CHILD
    procs = [subprocess.Popen([sys.executable, "-c", script], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
             for _ in range(count)]
    time.sleep(0.5)
    gate.write_text("")
    outs = []
    for p in procs:
        out, _ = p.communicate(timeout=120)
        assert p.returncode == 0
        outs.append(out.strip())
    return outs


@pytest.mark.parametrize("stale", [False, True], ids=["empty cache", "stale copy"])
def test_concurrent_processes(server, home, stale):
    # Several processes provisioning the same model at once: each ends with
    # the path of a complete file, and no partial file is ever left.
    content = body(1_500_000, seed=12)
    server.resources[FILE] = Resource(content, chunk_delay=0.002)
    if stale:
        seed(home, body(1_000_000), stamp=OLD_STAMP)
    outs = run_children(home, server.url, 5)
    expected = os.path.join(str(home), ".zorvane", "zorvane_robj_data", FILE)
    assert outs == [expected] * 5
    assert Path(expected).read_bytes() == content
    assert stamp_of(home) == LAST_MODIFIED
    assert no_temp(home)
    # One download; the others found the fresh copy current.
    assert server.methods().count("GET") == 1


# --------------------------------------------------------------------------
# Reference counts


def test_no_growth_over_many_calls(server, home, monkeypatch):
    server.resources[FILE] = Resource(body(1000))
    seed(home, body(1000), stamp=LAST_MODIFIED)

    def run(n):
        for _ in range(n):
            download_robj_model(MODEL)
        failures = 0
        for name in ("nope", StrSub("small_fp32")):
            for _ in range(n):
                try:
                    download_robj_model(name)
                except ValueError:
                    failures += 1
        assert failures == 2 * n

    monkeypatch.setenv("ZORVANE_ROBJ_SKIP_UPDATE", "1")
    run(200)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(2000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024
    # The update check path (one HEAD per call) as well.
    monkeypatch.delenv("ZORVANE_ROBJ_SKIP_UPDATE")
    for _ in range(20):
        download_robj_model(MODEL)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(150):
            download_robj_model(MODEL)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 256 * 1024


# --------------------------------------------------------------------------
# A stock static server: nginx


def _nginx() -> str | None:
    return shutil.which("nginx") or next(
        (p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx") if os.access(p, os.X_OK)), None)


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def nginx(tmp_path):
    binary = _nginx()
    if binary is None:
        pytest.skip("no nginx binary installed (Debian: apt-get install nginx-light)")
    root = tmp_path / "www"
    prefix = tmp_path / "nginx"
    root.mkdir()
    prefix.mkdir()
    for attempt in range(5):
        port = _free_port()
        conf = prefix / "nginx.conf"
        conf.write_text(f"""
daemon off;
master_process off;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
events {{ worker_connections 64; }}
http {{
    access_log {prefix}/access.log;
    client_body_temp_path {prefix}/body;
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
""")
        proc = subprocess.Popen([binary, "-p", str(prefix), "-c", str(conf), "-e",
                                 str(prefix / "error.log")],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_for_port("127.0.0.1", port, 5) and proc.poll() is None:
            break
        proc.kill()
        proc.wait()
    else:
        pytest.fail("nginx did not start: " + (prefix / "error.log").read_text())
    try:
        yield root, f"http://127.0.0.1:{port}/", prefix / "access.log"
    finally:
        proc.terminate()
        proc.wait(10)


def test_nginx_serves_models(nginx, home, monkeypatch):
    root, url, access_log = nginx
    monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", url)
    content = body(700_000, seed=13)
    (root / FILE).write_bytes(content)
    assert Path(download_robj_model(MODEL)).read_bytes() == content
    stamp = stamp_of(home)
    assert stamp and stamp.endswith(" GMT")
    # Current by stamp: one more HEAD, no GET.
    assert download_robj_model(MODEL) == expected_path()
    # A newer file on the server is fetched again.
    new = body(700_000, seed=14)
    (root / FILE).write_bytes(new)
    os.utime(root / FILE, (time.time() + 10, time.time() + 10))
    assert Path(download_robj_model(MODEL)).read_bytes() == new
    assert stamp_of(home) != stamp
    methods = [line.split('"')[1].split()[0] for line in access_log.read_text().splitlines()]
    assert methods == ["HEAD", "GET", "HEAD", "HEAD", "GET"]
