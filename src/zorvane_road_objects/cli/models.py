"""The ``models`` command: the catalogue models, what ships with the package
(input size, accuracy), what the data directory holds and what the model
server offers."""

from __future__ import annotations

import http.client
import json
import os
import urllib.parse

from zorvane_road_objects import facts
from zorvane_road_objects.cli.report import redact
from zorvane_road_objects.detection.detector import model_server_address

__all__ = ["bundled_facts", "cmd_models", "model_states", "served_states"]

_HEAD_TIMEOUT_S = 2.0


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


def _accuracy_text(value) -> str | None:
    """An accuracy entry of the manifest as text: a number (COCO mAP, as a
    0-1 fraction or in percent), a text, or a mapping of such."""
    if isinstance(value, bool) or value is None:
        return None
    if isinstance(value, (int, float)):
        return f"{value * 100 if value <= 1 else value:.1f}"
    if isinstance(value, str):
        return value
    if isinstance(value, dict):
        parts = [f"{key} {_accuracy_text(v)}" for key, v in value.items() if _accuracy_text(v)]
        return ", ".join(parts) or None
    return None


def bundled_facts() -> tuple[str | None, dict[str, dict]]:
    """(folder, {model: {"input": text or None, "accuracy": text or None,
    "size": bytes or None, "about": text or None}}) of the bundled model
    files, read from their manifest; fields it lacks stay None."""
    from zorvane_road_objects import bundled_models

    try:
        folder = bundled_models()
        manifest = json.loads((folder / "MANIFEST.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None, {}
    out = {}
    entries = manifest.get("models") if isinstance(manifest, dict) else None
    for entry in entries if isinstance(entries, list) else []:
        if not isinstance(entry, dict) or not isinstance(entry.get("name"), str):
            continue
        sizes = [n.get("input_size") for n in entry.get("networks") or [] if isinstance(n, dict)]
        sizes = [s for s in sizes + [entry.get("input_size")] if isinstance(s, (int, str)) and s]
        file = folder / str(entry.get("file") or facts.model_file_name(entry["name"]))
        accuracy = next((entry[k] for k in ("accuracy", "mAP", "map", "coco_map") if k in entry), None)
        out[entry["name"]] = {
            "input": " + ".join(dict.fromkeys(str(s) for s in sizes)) or None,
            "accuracy": _accuracy_text(accuracy),
            "size": file.stat().st_size if file.is_file() else None,
            "about": entry.get("model") if isinstance(entry.get("model"), str) else None,
        }
    return str(folder), out


def served_states(base: str, timeout: float = _HEAD_TIMEOUT_S) -> dict[str, bool] | str:
    """{model: whether the server has its file}, or why the server cannot be asked."""
    url = urllib.parse.urlsplit(base)
    if url.scheme not in ("http", "https") or not url.hostname:
        return f"not an http(s) address: {redact(base)}"
    conn_class = http.client.HTTPSConnection if url.scheme == "https" else http.client.HTTPConnection
    states = {}
    for name in facts.CATALOGUE:
        conn = conn_class(url.hostname, url.port, timeout=timeout)
        try:
            conn.request("HEAD", url.path.rstrip("/") + "/" + facts.model_file_name(name))
            states[name] = conn.getresponse().status == 200
        except (OSError, http.client.HTTPException) as exc:
            return f"not reachable ({getattr(exc, 'strerror', None) or exc})"
        finally:
            conn.close()
    return states


def cmd_models(args) -> int:
    directory = facts.data_dir()
    note = "" if os.path.isdir(directory) else " (not created yet)"
    base = model_server_address()
    served = served_states(base)
    folder, bundled = bundled_facts()
    print(f"data directory: {directory}{note}")
    print(f"model server:   {redact(base)}" + (f" ({served})" if isinstance(served, str) else ""))
    print(f"bundled models: {folder or 'missing (reinstall the package)'}")
    width = max(len(n) for n in facts.CATALOGUE)
    print(f"{'MODEL':<{width}}  {'INPUT':<9}  {'MAP':<12}  {'BUNDLED':<9}  {'SERVED':<6}  CACHED")
    for st in model_states(directory):
        name = st["model"]
        info = bundled.get(name, {})
        size = info.get("size")
        on_server = "?" if isinstance(served, str) else ("yes" if served.get(name) else "no")
        if st["size"] is None:
            cached = "no"
        elif not st["cached"]:
            cached = f"empty file (downloaded again on next use)  {st['path']}"
        else:
            stamp = st["last_modified"] or "no Last-Modified stamp"
            cached = f"{_human_size(st['size'])} ({st['size']} bytes)  {stamp}  {st['path']}"
        print(f"{name:<{width}}  {info.get('input') or '?':<9}  {info.get('accuracy') or '?':<12}  "
              f"{_human_size(size) if size else 'no':<9}  {on_server:<6}  {cached}")
    print("MAP: road-class mAP@0.5:0.95 in percent, as measured in the README beside the bundled models")
    return 0
