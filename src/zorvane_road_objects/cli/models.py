"""The ``models`` command: the catalogue and what the data directory holds for it."""

from __future__ import annotations

import os

from zorvane_road_objects import facts
from zorvane_road_objects.detection.detector import model_server_address

__all__ = ["cmd_models", "model_states"]


def _human_size(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    for unit in ("KiB", "MiB", "GiB"):
        n /= 1024.0
        if n < 1024.0 or unit == "GiB":
            return f"{n:.1f} {unit}"
    return f"{n:.1f} GiB"


def model_states(directory: str | None = None) -> list[dict]:
    """Cache state of every catalogue model in the data directory (nothing is created)."""
    directory = facts.data_dir() if directory is None else directory
    states = []
    for name in facts.CATALOGUE:
        path = os.path.join(directory, facts.model_file_name(name))
        state = {"model": name, "path": path, "cached": False, "size": None, "last_modified": None}
        try:
            size = os.path.getsize(path)
        except OSError:
            size = None
        if size is not None:
            state["size"] = size
            state["cached"] = size > 0
            try:
                with open(path + facts.STAMP_SUFFIX, encoding="utf-8", errors="replace") as fh:
                    state["last_modified"] = fh.read().strip() or None
            except OSError:
                pass
        states.append(state)
    return states


def cmd_models(args) -> int:
    directory = facts.data_dir()
    note = "" if os.path.isdir(directory) else " (not created yet)"
    print(f"data directory: {directory}{note}")
    print(f"model server:   {model_server_address()}")
    width = max(len(n) for n in facts.CATALOGUE)
    for st in model_states(directory):
        if st["size"] is None:
            print(f"{st['model']:<{width}}  not cached")
            continue
        if not st["cached"]:
            print(f"{st['model']:<{width}}  empty file (downloaded again on next use)  {st['path']}")
            continue
        stamp = st["last_modified"] or "no Last-Modified stamp"
        print(
            f"{st['model']:<{width}}  {_human_size(st['size'])} ({st['size']} bytes)  "
            f"{stamp}  {st['path']}"
        )
    return 0
