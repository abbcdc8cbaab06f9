"""Causes of the command-line tool's setup failures, each in one sentence with its fix.

Model provisioning reports a failure only as ValueError("Operation failed (drm)")
(and the detector as "Model access denied"); the tool finds out why by looking
at the data directory and asking the model server itself.
"""

from __future__ import annotations

import difflib
import os

from zorvane_road_objects import facts

__all__ = [
    "CATALOGUE",
    "MAX_SIDE",
    "MAX_ASPECT_RATIO",
    "SERVER_ENV",
    "SKIP_UPDATE_ENV",
    "backend_fallback_warning",
    "cache_problem",
    "image_size_problem",
    "model_file_problem",
    "probe_server",
    "provisioning_problem",
    "unknown_model",
]

CATALOGUE = facts.CATALOGUE
SERVER_ENV = facts.ENV_MODEL_SERVER
SKIP_UPDATE_ENV = facts.ENV_SKIP_UPDATE
MAX_SIDE = 8192
MAX_ASPECT_RATIO = 100.0
PROBE_TIMEOUT = 5.0
START_SERVER_HINT = (
    "start one with `zorvane-robj serve` (it serves the bundled models on "
    f"{facts.DEFAULT_MODEL_SERVER}) or point {facts.ENV_MODEL_SERVER} at a running one"
)

# Execution providers that make a back end run off the CPU, and what to install for them.
_GPU_PROVIDERS = facts.GPU_BACKENDS


def unknown_model(name: str) -> str:
    names = ", ".join(CATALOGUE)
    close = difflib.get_close_matches(name, CATALOGUE, n=1, cutoff=0.5)
    hint = f" (did you mean {close[0]}?)" if close else ""
    return (f"unknown model {name!r}{hint}: use one of {names}, "
            "or run a model file of your own with --model-file PATH")


def image_size_problem(height: int, width: int) -> str | None:
    """Which of the detector's size rules an image breaks, or None.

    The rules and their order are the detector's: a side of zero pixels, a
    side over 8192 pixels, then a ratio of the longer to the shorter side over
    100, computed in 32-bit floats.
    """
    size = f"{width}x{height}"
    if height <= 0 or width <= 0:
        return f"image refused: it is {size} pixels, a side of zero pixels"
    if height > MAX_SIDE or width > MAX_SIDE:
        side = "width" if width > MAX_SIDE else "height"
        return (f"image refused: its {side} is over {MAX_SIDE} pixels ({size}); "
                f"scale it down to at most {MAX_SIDE} pixels a side")
    import numpy as np

    ratio = np.float32(max(height, width)) / np.float32(min(height, width))
    if ratio > np.float32(MAX_ASPECT_RATIO):
        return (f"image refused: its aspect ratio {float(ratio):.4g} is over "
                f"{MAX_ASPECT_RATIO:g} ({size}); crop it into shorter pieces")
    return None


def backend_fallback_warning(backend: str, available) -> str | None:
    """The warning for a GPU back end that this ONNX Runtime cannot offer, or None."""
    entry = _GPU_PROVIDERS.get(backend.lower())
    if entry is None:
        return None
    providers, label, package = entry
    if any(p in available for p in providers):
        return None
    return (f"this ONNX Runtime has no {label} execution provider (it offers "
            f"{', '.join(available) or 'none'}), so the model runs on the CPU; "
            f"install {package} to use {label}")


def _setting(name: str) -> int:
    try:
        return int(os.environ.get(name, "0"))
    except ValueError:
        return 0


def _short_reason(exc: BaseException) -> str:
    import requests

    if isinstance(exc, requests.Timeout):
        return f"no answer within {PROBE_TIMEOUT:g} s"
    text = str(exc)
    for marker, reason in (("refused", "connection refused"),
                           ("Name or service not known", "unknown host name"),
                           ("nodename nor servname", "unknown host name"),
                           ("getaddrinfo failed", "unknown host name"),
                           ("unreachable", "network unreachable"),
                           ("reset", "connection reset")):
        if marker in text:
            return reason
    return type(exc).__name__


def probe_server(base_url: str, file_name: str, timeout: float = PROBE_TIMEOUT):
    """Ask the model server for one file with a HEAD request.

    Returns ("ok", 200), ("status", code), ("unreachable", reason) or
    ("invalid", reason) for an address that is not an HTTP address.
    """
    import requests

    try:
        resp = requests.head(base_url + file_name, timeout=timeout)
    except (requests.exceptions.InvalidURL, requests.exceptions.MissingSchema,
            requests.exceptions.InvalidSchema, ValueError) as exc:
        return "invalid", type(exc).__name__
    except requests.RequestException as exc:
        return "unreachable", _short_reason(exc)
    if resp.status_code == 200:
        return "ok", 200
    return "status", resp.status_code


def _server_sentence(base_url: str, file_name: str) -> str:
    kind, detail = probe_server(base_url, file_name)
    if kind == "invalid":
        return (f"the model server address {base_url!r} is not an http:// address: set "
                f"{SERVER_ENV} to one such as {facts.DEFAULT_MODEL_SERVER}")
    if kind == "unreachable":
        return f"the model server at {base_url} cannot be reached ({detail}): {START_SERVER_HINT}"
    if kind == "status" and detail == 404:
        return (f"the model server at {base_url} has no {file_name} (HTTP 404): serve a folder "
                f"that holds it with `zorvane-robj serve --root DIR`, or point "
                f"{SERVER_ENV} at a server that has it")
    if kind == "status":
        return (f"the model server at {base_url} answered HTTP {detail} for {file_name}: "
                f"check the server's log, or point {SERVER_ENV} at another server")
    return (f"the model server at {base_url} has {file_name} but the download failed: "
            f"run again with {facts.ENV_VERBOSE}=1 to see each step")


def cache_problem(data_dir: str) -> str | None:
    """Why provisioning cannot write the model cache, or None."""
    try:
        os.makedirs(data_dir, exist_ok=True)
    except OSError as exc:
        return (f"the model cache {data_dir} cannot be created ({exc.strerror or exc}): "
                "make the home directory writable or run with HOME set to a writable folder")
    if not os.access(data_dir, os.W_OK | os.X_OK):
        return (f"the model cache {data_dir} is not writable: fix its permissions "
                "or run with HOME set to a writable folder")
    return None


def _cached(path: str) -> bool:
    try:
        return os.path.getsize(path) > 0
    except OSError:
        return False


def provisioning_problem(model_name: str, file_name: str, base_url: str, data_dir: str) -> str:
    """Why no copy of a catalogue model could be provided, with the fix."""
    if model_name not in CATALOGUE:
        return unknown_model(model_name)
    sentence = cache_problem(data_dir)
    if sentence is not None:
        return sentence
    sentence = _server_sentence(base_url, file_name)
    if _setting(SKIP_UPDATE_ENV) != 0 and not _cached(os.path.join(data_dir, file_name)):
        return (f"nothing is cached for {model_name} in {data_dir}, and {SKIP_UPDATE_ENV} "
                "only skips the update check of a cached copy, so the model has to be "
                f"downloaded once; {sentence}")
    return sentence


def model_file_problem(path: str, code: str, cached_from: str | None = None) -> str:
    """Why a model file could not be loaded, with the fix.

    ``code`` is what the detector raised; ``cached_from`` is the model
    server's address when the file is the cached copy of a catalogue model.
    """
    if code == "INVALID_DATA":
        return f"the model file {path} is empty: pass an ONNX model file"
    if code == "Access denied":
        return f"the model file {path} cannot be read: check its permissions"
    if cached_from is not None:
        return (f"the cached model file {path} cannot be loaded as a model: delete it so "
                f"that it is downloaded again, and check that the server at {cached_from} "
                "serves the catalogue file")
    return (f"{path} cannot be loaded as a model ({code}): pass an ONNX model file with the "
            "catalogue interface (inputs image, im_shape and scale_factor, and an N x 6 "
            "first output)")
