"""Image files: finding them (folders, globs), decoding, reading and writing.

The one list of image extensions (``IMAGE_EXTENSIONS``) and the one way of
walking a folder for images, expanding a glob pattern, decoding image bytes
and writing an annotated copy; the frame sources, the ``detect`` command and
batch runs all use these.
"""

from __future__ import annotations

import errno
import glob
import os
import stat
from pathlib import Path

import numpy as np

from zorvane_road_objects.media.headers import image_size

__all__ = [
    "IMAGE_EXTENSIONS",
    "MAX_PIXELS",
    "ImageRefused",
    "check_size",
    "collect_images",
    "decode_image",
    "expand_pattern",
    "file_problem",
    "is_image_name",
    "read_failure",
    "read_image",
    "save_path",
    "walk_folder",
    "write_image",
]

IMAGE_EXTENSIONS = frozenset({".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp"})
_GLOB_CHARS = frozenset("*?[")
# Images declaring more pixels than this are refused before decoding
# (about 800 MB as 8-bit BGR), whatever rule the caller adds.
MAX_PIXELS = 1 << 28

_KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISDIR, "a folder"))


class ImageRefused(ValueError):
    """An image refused from its header, before decoding (too large, or a
    rule of the caller's); the message says why and is shown as it is."""


def _not_regular(mode: int) -> str | None:
    if stat.S_ISREG(mode):
        return None
    kind = next((name for test, name in _KINDS if test(mode)), "not a regular file")
    return f"not a regular file ({kind}); only regular files are read"


def file_problem(path: str) -> str | None:
    """Why the file at ``path`` cannot be read as an image file (missing,
    a dangling or looping link, not a regular file, not readable), or None.
    Never opens the file, so a FIFO cannot block."""
    try:
        st = os.stat(path)
    except OSError as exc:
        if os.path.islink(path):
            if exc.errno == errno.ELOOP:
                return "cannot read file: the symbolic link loops"
            return "cannot read file: broken symbolic link"
        return f"cannot read file: {exc.strerror or exc}"
    problem = _not_regular(st.st_mode)
    if problem:
        return problem
    if not os.access(path, os.R_OK):
        return "cannot read file: permission denied"
    return None


def is_image_name(name: str) -> bool:
    """Whether a file name has one of the image extensions."""
    return os.path.splitext(name)[1].lower() in IMAGE_EXTENSIONS


def expand_pattern(path: str) -> list[str] | None:
    """The sorted matches of a glob pattern (``**`` crosses folders); None
    when ``path`` is no pattern (it has no glob characters, or a file of
    that very name exists)."""
    if not any(c in _GLOB_CHARS for c in path) or os.path.exists(path):
        return None
    return sorted(glob.glob(path, recursive=True))


def walk_folder(folder: str) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """The image files under ``folder``, searched recursively, as
    (path, path relative to the folder) pairs in the sorted order of their
    path components, and the (path, message) of what could not be listed
    or is no readable regular file (see ``file_problem``), never opened."""
    found = []
    failures: list[OSError] = []
    for dirpath, dirnames, filenames in os.walk(folder, onerror=failures.append):
        dirnames.sort()
        for name in filenames:
            if is_image_name(name):
                full = os.path.join(dirpath, name)
                rel = os.path.relpath(full, folder)
                found.append((Path(rel).parts, full, rel, file_problem(full)))
    found.sort(key=lambda f: f[0])
    errors = [(getattr(err, "filename", None) or folder, f"cannot list folder: {err.strerror or err}")
              for err in failures]
    errors += [(full, problem) for _, full, _, problem in found if problem]
    return [(full, rel) for _, full, rel, problem in found if not problem], errors


def collect_images(paths) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """Expand image paths and folders into (image path, path for annotated
    copies) pairs and errors.

    Folders are walked recursively (see ``walk_folder``) and their images
    keep their path relative to the folder; files named directly are taken
    whatever their extension, each once, if they are readable regular files.
    Returns (items, errors) where errors are (path, message) pairs.
    """
    items: list[tuple[str, str]] = []
    errors: list[tuple[str, str]] = []
    seen: set[str] = set()

    def add(path: str, rel: str) -> None:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            items.append((path, rel))

    for arg in paths:
        if os.path.isdir(arg):
            found, walk_errors = walk_folder(arg)
            errors.extend(walk_errors)
            if not found and not walk_errors:
                errors.append((arg, "no image files found in folder"))
            for full, rel in found:
                add(full, rel)
        elif os.path.lexists(arg):
            problem = file_problem(arg)
            if problem:
                errors.append((arg, problem))
            else:
                add(arg, os.path.basename(arg))
        else:
            errors.append((arg, "no such file or folder"))
    return items, errors


def check_size(data, check=None, max_pixels: int | None = MAX_PIXELS) -> None:
    """Refuse an encoded image from the size its header declares: over
    ``max_pixels`` pixels, or where ``check(height, width)`` returns a
    message. Raises ImageRefused; formats without a known header pass."""
    size = image_size(data)
    if size is None:
        return
    width, height = size
    if check is not None:
        problem = check(height, width)
        if problem:
            raise ImageRefused(problem)
    if max_pixels is not None and width * height > max_pixels:
        raise ImageRefused(f"image refused: it is {width}x{height} pixels, over the decoding limit "
                           f"of {max_pixels} pixels; scale it down")


def decode_image(data, *, check=None, max_pixels: int | None = MAX_PIXELS) -> np.ndarray:
    """An encoded image (bytes or a uint8 array) as an 8-bit BGR array;
    ValueError with the reason when it does not decode. The size its header
    declares is checked first (see ``check_size``)."""
    import cv2

    buf = data if isinstance(data, np.ndarray) else np.frombuffer(data or b"", dtype=np.uint8)
    if buf.size == 0:
        raise ValueError("empty file")
    check_size(buf, check, max_pixels)
    try:
        img = cv2.imdecode(buf, cv2.IMREAD_COLOR)
    except cv2.error:
        img = None
    if img is None:
        raise ValueError("unsupported or corrupt image file")
    return img


def read_image(path: str, *, check=None, max_pixels: int | None = MAX_PIXELS) -> np.ndarray:
    """Read an image file as an 8-bit BGR array; OSError or ValueError when
    that fails. Only regular files are read (a FIFO is refused, never waited
    on); see ``decode_image`` for ``check`` and ``max_pixels``."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    with open(fd, "rb") as fh:
        problem = _not_regular(os.fstat(fd).st_mode)
        if problem:
            raise ValueError(problem)
        data = np.frombuffer(fh.read(), dtype=np.uint8)
    return decode_image(data, check=check, max_pixels=max_pixels)


def read_failure(exc: BaseException) -> str:
    """The error text of an image that could not be read."""
    if isinstance(exc, ImageRefused):
        return str(exc)
    return f"cannot read image: {getattr(exc, 'strerror', None) or exc}"


def save_path(save_dir: str, rel: str, taken: set) -> str:
    """A path under ``save_dir`` for the annotated copy of the image at
    ``rel``, not yet in ``taken`` (which it joins); extensions OpenCV cannot
    write become .png."""
    stem, ext = os.path.splitext(rel)
    if ext.lower() not in IMAGE_EXTENSIONS:
        ext = ".png"
    candidate = os.path.join(save_dir, stem + ext)
    n = 1
    while os.path.normcase(os.path.abspath(candidate)) in taken:
        candidate = os.path.join(save_dir, f"{stem}_{n}{ext}")
        n += 1
    taken.add(os.path.normcase(os.path.abspath(candidate)))
    return candidate


def write_image(path: str, src_path: str, image: np.ndarray) -> None:
    """Write ``image`` to ``path`` in the format of its extension, never over
    the image it was made from (``src_path``)."""
    import cv2

    if os.path.exists(path) and os.path.samefile(path, src_path):
        raise ValueError("refusing to overwrite the input image")
    parent = os.path.dirname(path)
    if parent:
        os.makedirs(parent, exist_ok=True)
    ext = os.path.splitext(path)[1].lower()
    params = [cv2.IMWRITE_JPEG_QUALITY, 92] if ext in (".jpg", ".jpeg") else []
    ok, buf = cv2.imencode(ext, image, params)
    if not ok:
        raise ValueError(f"cannot encode {ext} image")
    buf.tofile(path)
