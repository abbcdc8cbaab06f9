"""Sources that are not local files: video files over HTTP(S), standard
input, and what is shown of their addresses.

- ``redact(text)``: the text with the passwords of the URLs in it replaced
  by ``***``; every name shown to a person goes through it, the real URL
  is only used to open the source.
- ``fetch_video(url, ...)``: a video file over HTTP(S) is read by byte
  ranges when the server offers them (FFmpeg reads the URL itself), else
  downloaded to a temporary file first, within a size limit.
- ``read_stdin(stream, ...)``: an image (kept in memory) or a video
  (spooled to a temporary file), within a size limit.
- ``quiet_decoder_logs(verbose)``: hide FFmpeg's and OpenCV's log lines.
"""

from __future__ import annotations

import os
import re
import sys
import tempfile
from collections.abc import Callable
from urllib.parse import urlsplit

from zorvane_road_objects.media.headers import image_format

__all__ = [
    "DOWNLOAD_LIMIT",
    "DownloadError",
    "Spooled",
    "fetch_video",
    "human_size",
    "quiet_decoder_logs",
    "read_stdin",
    "redact",
    "remove_file",
]

# The most a video without byte ranges (or standard input) may take on disk.
DOWNLOAD_LIMIT = 2 << 30
_CHUNK = 1 << 20
_SNIFF = 64 << 10
_USERINFO = re.compile(r"(?P<scheme>[A-Za-z][A-Za-z0-9+.-]*://)(?P<user>[^/@:\s]*):[^/@\s]*@")


class DownloadError(Exception):
    """A remote file or standard input that could not be read or is too large."""


def redact(text) -> str:
    """``text`` with the password of every ``scheme://user:password@`` in it
    replaced by ``***``."""
    return _USERINFO.sub(lambda m: f"{m['scheme']}{m['user']}:***@", str(text))


def human_size(n: int) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024
    return str(n)


def _too_large(what: str, limit: int) -> str:
    return (f"{what} is over the {human_size(limit)} limit for files that have to be copied "
            "to a temporary file first; raise the download limit or save it to a file")


def quiet_decoder_logs(verbose: bool) -> None:
    """Hide FFmpeg's and OpenCV's log lines unless ``verbose``. FFmpeg's
    level is read when OpenCV opens its first video, so this is called before
    any video is opened; levels the user has set in the environment stay."""
    if verbose:
        return
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")  # AV_LOG_QUIET
    os.environ.setdefault("OPENCV_LOG_LEVEL", "SILENT")
    import cv2

    try:
        cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_SILENT)
    except AttributeError:
        pass


def remove_file(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _temp_file(suffix: str):
    fd, path = tempfile.mkstemp(prefix="zv-media-", suffix=suffix)
    return os.fdopen(fd, "wb"), path


def _progress(total, name: str, show: bool | None):
    from tqdm import tqdm

    if show is None:
        try:
            show = sys.stderr.isatty()
        except (AttributeError, ValueError):
            show = False
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
                desc=f"downloading {name}", leave=False, disable=not show)


def _download(resp, name: str, suffix: str, limit: int, progress: bool | None) -> str:
    """Write the body of ``resp`` (a streamed 200 answer) to a temporary file."""
    import requests

    length = resp.headers.get("Content-Length")
    total = int(length) if length and length.isdigit() else None
    if total is not None and total > limit:
        raise DownloadError(_too_large(f"the file ({human_size(total)})", limit))
    out, path = _temp_file(suffix)
    got = 0
    try:
        with out, _progress(total, name, progress) as bar:
            for chunk in resp.iter_content(_CHUNK):
                got += len(chunk)
                if got > limit:
                    raise DownloadError(_too_large("the file", limit))
                out.write(chunk)
                bar.update(len(chunk))
        if total is not None and got < total:
            raise DownloadError(f"the download ended after {got} of {total} bytes")
    except requests.RequestException as exc:
        remove_file(path)
        raise DownloadError(f"the download broke off ({type(exc).__name__}); try again") from None
    except BaseException:
        remove_file(path)
        raise
    return path


def fetch_video(url: str, name: str, *, limit: int = DOWNLOAD_LIMIT, timeouts: tuple[float, float],
                progress: bool | None = None,
                notify: Callable[[str], None] | None = None) -> tuple[str, bool]:
    """Where to read the video file at ``url`` from: (``url``, False) when
    the server answers byte ranges, else (a temporary file holding the
    download, True); the caller removes the file. ``name`` is the URL as
    shown. Raises DownloadError when the file cannot be had."""
    import requests

    try:
        resp = requests.get(url, headers={"Range": "bytes=0-0", "Accept-Encoding": "identity"},
                            stream=True, timeout=timeouts)
    except requests.RequestException as exc:
        raise DownloadError(f"cannot reach the server: {type(exc).__name__}") from None
    with resp:
        if resp.status_code == 206:
            return url, False
        if resp.status_code != 200:
            raise DownloadError(f"the server answered HTTP {resp.status_code}")
        if notify is not None:
            notify(f"{name}: the server offers no byte ranges; downloading it to a temporary file first")
        suffix = os.path.splitext(urlsplit(url).path)[1]
        return _download(resp, name, suffix, limit, progress), True


class Spooled:
    """Standard input read in: ``image`` (the bytes of an image) or ``path``
    (a temporary file holding anything else, for the video reader)."""

    def __init__(self, image: bytes | None = None, path: str | None = None):
        self.image = image
        self.path = path


def read_stdin(stream, *, limit: int = DOWNLOAD_LIMIT) -> Spooled:
    """Read ``stream`` (a binary file) to its end: an image stays in memory,
    anything else goes to a temporary file. Raises DownloadError when it is
    empty or over ``limit`` bytes."""
    head = stream.read(_SNIFF)
    if not head:
        raise DownloadError("standard input is empty; pipe an image or a video into it")
    if image_format(head[:32]) is not None:
        parts, got = [head], len(head)
        while True:
            chunk = stream.read(_CHUNK)
            if not chunk:
                return Spooled(image=b"".join(parts))
            got += len(chunk)
            if got > limit:
                raise DownloadError(_too_large("the image on standard input", limit))
            parts.append(chunk)
    out, path = _temp_file("")
    try:
        with out:
            out.write(head)
            got = len(head)
            while True:
                chunk = stream.read(_CHUNK)
                if not chunk:
                    break
                got += len(chunk)
                if got > limit:
                    raise DownloadError(_too_large("the video on standard input", limit))
                out.write(chunk)
    except BaseException:
        remove_file(path)
        raise
    return Spooled(path=path)
