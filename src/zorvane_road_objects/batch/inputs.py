"""Expanding the inputs of a batch run into a list of image files.

An input is one of:

- an image file (taken whatever its extension);
- a folder, searched recursively for image files (see ``media.images``);
- a glob pattern (``*``, ``?``, ``[...]``; ``**`` crosses folders), whose
  matches are expanded like the inputs above;
- ``@LIST``: a text file with one input per line (files, folders, globs or
  URIs; blank lines and lines starting with ``#`` are skipped; relative
  paths are taken relative to the folder of the list file);
- a URI that pyarrow's file systems open (``s3://``, ``gs://``, ``hdfs://``,
  ...): a file, or a prefix searched recursively for image files.

Local paths are made absolute. Inputs that name nothing (a missing file, a
glob without matches, an unreadable list) are not fatal: they come back as
(input, message) pairs that the run records as error rows.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field

from zorvane_road_objects.media.images import expand_pattern, file_problem, is_image_name, walk_folder

__all__ = ["Inputs", "expand_inputs", "is_uri"]


@dataclass
class Inputs:
    """The files to process and the inputs that could not be resolved."""

    files: list[str] = field(default_factory=list)
    missing: list[tuple[str, str]] = field(default_factory=list)
    _seen: set[str] = field(default_factory=set, repr=False)

    def add_file(self, path: str) -> None:
        if path not in self._seen:
            self._seen.add(path)
            self.files.append(path)

    def add_missing(self, path: str, message: str) -> None:
        if path not in self._seen:
            self._seen.add(path)
            self.missing.append((path, message))


def is_uri(text: str) -> bool:
    """True for ``scheme://...`` addresses (``file://`` included)."""
    scheme, sep, _ = text.partition("://")
    return bool(sep) and scheme.isidentifier()


def _walk_folder(folder: str, out: Inputs) -> None:
    found, errors = walk_folder(folder)
    for path, message in errors:
        out.add_missing(path, message)
    for path, _ in found:
        out.add_file(path)


def _add_local(path: str, out: Inputs) -> None:
    path = os.path.abspath(path)
    if os.path.isdir(path):
        _walk_folder(path, out)
    elif os.path.lexists(path):
        problem = file_problem(path)  # the same checks as the files of a folder
        if problem:
            out.add_missing(path, problem)
        else:
            out.add_file(path)
    else:
        out.add_missing(path, "no such file or folder")


def _add_uri(uri: str, out: Inputs) -> None:
    import pyarrow.fs as pafs

    try:
        fs, root = pafs.FileSystem.from_uri(uri)
        info = fs.get_file_info(root)
        if info.type == pafs.FileType.File:
            out.add_file(uri)
            return
        if info.type != pafs.FileType.Directory:
            out.add_missing(uri, "no such file or folder")
            return
        infos = fs.get_file_info(pafs.FileSelector(root, recursive=True))
    except (OSError, ValueError) as exc:
        out.add_missing(uri, f"cannot open: {exc}")
        return
    stem = root.rstrip("/")
    base = uri.rstrip("/")
    names = sorted(i.path for i in infos if i.type == pafs.FileType.File and is_image_name(i.path))
    for name in names:
        rel = name[len(stem):].lstrip("/") if name.startswith(stem) else name
        out.add_file(f"{base}/{rel}")


def _add_one(arg: str, out: Inputs, base: str | None = None) -> None:
    if is_uri(arg):
        _add_uri(arg, out)
        return
    path = os.path.expanduser(arg)
    if base is not None and not os.path.isabs(path):
        path = os.path.join(base, path)
    matches = expand_pattern(path)
    if matches is not None:
        if not matches:
            out.add_missing(arg, "no files match the pattern")
        for match in matches:
            _add_local(match, out)
        return
    _add_local(path, out)


def _read_list(list_path: str, out: Inputs) -> None:
    path = os.path.abspath(os.path.expanduser(list_path))
    try:
        with open(path, encoding="utf-8-sig") as fh:  # a byte-order mark is not part of the first entry
            lines = fh.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        out.add_missing("@" + list_path, f"cannot read list file: {getattr(exc, 'strerror', None) or exc}")
        return
    base = os.path.dirname(path)
    for line in lines:
        entry = line.strip()
        if entry and not entry.startswith("#"):
            _add_one(entry, out, base)


def expand_inputs(inputs) -> Inputs:
    """Expand batch inputs (a path, a URI or an iterable of them) into files."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    out = Inputs()
    for arg in inputs:
        arg = os.fspath(arg)
        if arg.startswith("@") and len(arg) > 1:
            _read_list(arg[1:], out)
        else:
            _add_one(arg, out)
    return out
