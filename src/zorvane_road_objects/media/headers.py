"""Image sizes read from file headers, before anything is decoded.

``image_size(data)`` reads the width and height that a PNG, JPEG, BMP, GIF,
TIFF or WebP file declares, from its first bytes (JPEG: from the frame
header after the APP segments), so that an oversized image can be refused
without allocating its pixels. It returns None for other formats and for
headers it cannot make sense of; the decoder then has the last word.
"""

from __future__ import annotations

import struct

__all__ = ["image_format", "image_size"]

# JPEG start-of-frame markers: C0-CF except DHT (C4), JPG (C8) and DAC (CC).
_SOF = frozenset(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def image_format(head: bytes) -> str | None:
    """The image format that the first bytes of a file announce, or None."""
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return "png"
    if head.startswith(b"\xff\xd8\xff"):
        return "jpeg"
    if head.startswith(b"BM") and len(head) >= 26:
        return "bmp"
    if head[:6] in (b"GIF87a", b"GIF89a"):
        return "gif"
    if head[:4] in (b"II*\x00", b"MM\x00*"):
        return "tiff"
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "webp"
    return None


def _png(data) -> tuple[int, int] | None:
    if bytes(data[12:16]) != b"IHDR":
        return None
    return struct.unpack(">II", bytes(data[16:24]))


def _jpeg(data) -> tuple[int, int] | None:
    pos, end = 2, len(data)
    while pos + 4 <= end:
        if data[pos] != 0xFF:
            return None
        marker = data[pos + 1]
        if marker == 0xFF:  # fill byte
            pos += 1
            continue
        if marker in (0x01, *range(0xD0, 0xD8)):  # stand-alone markers
            pos += 2
            continue
        length = (data[pos + 2] << 8) | data[pos + 3]
        if marker in _SOF:
            if pos + 9 > end:
                return None
            height, width = struct.unpack(">HH", bytes(data[pos + 5:pos + 9]))
            return width, height
        if marker == 0xDA or length < 2:  # scan data before any frame header
            return None
        pos += 2 + length
    return None


def _bmp(data) -> tuple[int, int] | None:
    header = struct.unpack("<I", bytes(data[14:18]))[0]
    if header == 12:  # OS/2 BITMAPCOREHEADER
        return struct.unpack("<HH", bytes(data[18:22]))
    width, height = struct.unpack("<ii", bytes(data[18:26]))
    return abs(width), abs(height)


def _gif(data) -> tuple[int, int] | None:
    return struct.unpack("<HH", bytes(data[6:10]))


def _tiff(data) -> tuple[int, int] | None:
    order = "<" if bytes(data[:2]) == b"II" else ">"
    (ifd,) = struct.unpack(order + "I", bytes(data[4:8]))
    if ifd + 2 > len(data):
        return None
    (count,) = struct.unpack(order + "H", bytes(data[ifd:ifd + 2]))
    found = {}
    for i in range(count):
        at = ifd + 2 + 12 * i
        if at + 12 > len(data):
            return None
        tag, kind = struct.unpack(order + "HH", bytes(data[at:at + 4]))
        if tag in (256, 257):  # ImageWidth, ImageLength: SHORT or LONG
            fmt = "H" if kind == 3 else "I"
            found[tag] = struct.unpack(order + fmt, bytes(data[at + 8:at + 8 + struct.calcsize(fmt)]))[0]
    if 256 in found and 257 in found:
        return found[256], found[257]
    return None


def _webp(data) -> tuple[int, int] | None:
    chunk = bytes(data[12:16])
    if chunk == b"VP8 " and len(data) >= 30:
        w, h = struct.unpack("<HH", bytes(data[26:30]))
        return w & 0x3FFF, h & 0x3FFF
    if chunk == b"VP8L" and len(data) >= 25:
        bits = int.from_bytes(bytes(data[21:25]), "little")
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
    if chunk == b"VP8X" and len(data) >= 30:
        w = int.from_bytes(bytes(data[24:27]), "little") + 1
        h = int.from_bytes(bytes(data[27:30]), "little") + 1
        return w, h
    return None


_READERS = {"png": _png, "jpeg": _jpeg, "bmp": _bmp, "gif": _gif, "tiff": _tiff, "webp": _webp}


def image_size(data) -> tuple[int, int] | None:
    """(width, height) that an encoded image declares, or None when the
    format is not one of those above or the header is cut short."""
    view = memoryview(data).cast("B")  # indexing gives Python ints, whatever ``data`` is
    kind = image_format(bytes(view[:32]))
    if kind is None:
        return None
    try:
        return _READERS[kind](view)
    except (struct.error, IndexError, ValueError, TypeError):
        return None
