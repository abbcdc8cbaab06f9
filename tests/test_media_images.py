"""Image files: sizes read from headers, oversized images refused before
they are decoded, and files that are not regular ones."""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

from _media import encode, frame_image
from zorvane_road_objects.media.headers import image_size
from zorvane_road_objects.media.images import (
    ImageRefused,
    collect_images,
    decode_image,
    read_failure,
    read_image,
)



@pytest.mark.parametrize("ext, params", [
    (".png", []), (".jpg", []), (".bmp", []), (".tiff", []), (".webp", []), (".webp", [64, 101]),
])
@pytest.mark.parametrize("size", [(37, 21), (640, 480)])
def test_header_sizes(ext, params, size):
    import cv2

    img = cv2.resize(frame_image(1), size)
    ok, buf = cv2.imencode(ext, img, params)
    assert ok and image_size(buf) == size and image_size(buf.tobytes()) == size


@pytest.mark.parametrize("data", [b"", b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff\xe0\x00", b"RIFF\x00\x00\x00\x00WEBPVP8X",
                                  b"II*\x00\xff\xff\x00\x00", b"not an image at all"])
def test_cut_or_unknown_headers_give_no_size(data):
    assert image_size(data) is None
    with pytest.raises(ValueError):
        decode_image(data)


def big_png(path: Path, width: int, height: int) -> Path:
    """A real grey PNG of width x height black pixels (small on disk)."""
    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    comp = zlib.compressobj(9)
    row = bytes(width + 1)
    data = b"".join(comp.compress(row) for _ in range(height)) + comp.flush()
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
                     + chunk(b"IDAT", data) + chunk(b"IEND", b""))
    return path


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_an_oversized_image_is_refused_before_it_is_decoded(tmp_path):
    path = big_png(tmp_path / "big.png", 20000, 20000)
    assert path.stat().st_size < 2 << 20
    # The peak is read from VmHWM, this process's own high-water mark: ru_maxrss
    # would start from the parent's size at the fork.
    code = ("from zorvane_road_objects.media.images import read_image, read_failure\n"
            f"try:\n    read_image({str(path)!r})\nexcept ValueError as e:\n    print(read_failure(e))\n"
            "hwm = [ln for ln in open('/proc/self/status') if ln.startswith('VmHWM:')][0]\n"
            "print(int(hwm.split()[1]) // 1024)")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    message, peak_mb = proc.stdout.splitlines()
    assert message.startswith("image refused: it is 20000x20000 pixels, over the decoding limit"), proc.stderr
    assert int(peak_mb) < 500  # decoding it would take 1.2 GB


def test_the_callers_size_rule_runs_on_the_header(tmp_path):
    path = tmp_path / "wide.png"
    path.write_bytes(encode(np.zeros((10, 3000, 3), np.uint8), ".png"))
    seen = []

    def rule(height, width):
        seen.append((height, width))
        return f"image refused: {width} is too wide" if width > 2000 else None

    with pytest.raises(ImageRefused) as err:
        read_image(str(path), check=rule)
    assert seen == [(10, 3000)] and read_failure(err.value) == "image refused: 3000 is too wide"
    assert read_image(str(path), max_pixels=30000).shape == (10, 3000, 3)
    with pytest.raises(ImageRefused, match="10 pixels|3000x10"):
        read_image(str(path), max_pixels=29999)


def test_read_image_refuses_a_fifo_without_waiting(tmp_path):
    if not hasattr(os, "mkfifo"):
        pytest.skip("no FIFOs here")
    os.mkfifo(tmp_path / "p.png")
    with pytest.raises(ValueError, match="a FIFO"):
        read_image(str(tmp_path / "p.png"))  # would block on open if it waited for a writer
    items, errors = collect_images([str(tmp_path / "p.png"), str(tmp_path)])
    assert items == [] and [m for _, m in errors] == [
        "not a regular file (a FIFO); only regular files are read"] * 2
