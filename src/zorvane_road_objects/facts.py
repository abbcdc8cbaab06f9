"""Facts that the Python side shares with the native modules.

The model catalogue (names, file names, the default model server, the data
directory), the detection classes (names by class id, the model's class ids,
drawing colours, the vehicle classes that tracking associates as one), the
execution back ends with their providers and the names of the environment
variables the package reads. Their one
home is ``facts.json`` beside this module: the build compiles the same file
into the native modules (tools/gen_facts.py), so a model, a class or a
provider is added there and nowhere else.
"""

from __future__ import annotations

import json
import os
from pathlib import Path

__all__ = [
    "BACKENDS",
    "BACKEND_PROVIDERS",
    "CATALOGUE",
    "CLASS_COLOURS",
    "CLASS_NAMES",
    "DEFAULT_BACKEND",
    "DEFAULT_HOST",
    "DEFAULT_MODEL",
    "DEFAULT_MODEL_SERVER",
    "DEFAULT_PORT",
    "ENV_DOWNLOAD_TIMEOUT",
    "ENV_MODEL_SERVER",
    "ENV_SKIP_UPDATE",
    "ENV_THREADS",
    "ENV_VERBOSE",
    "GPU_BACKENDS",
    "MODEL_CLASS_IDS",
    "STAMP_SUFFIX",
    "VEHICLE_CLASS_IDS",
    "data_dir",
    "model_file_name",
]

FACTS_FILE = Path(__file__).with_name("facts.json")
_FACTS = json.loads(FACTS_FILE.read_text(encoding="utf-8"))
_CAT = _FACTS["catalogue"]

# The model catalogue.
CATALOGUE: tuple[str, ...] = tuple(_CAT["models"])
DEFAULT_MODEL: str = _CAT["default_model"]
DEFAULT_HOST: str = _CAT["server_host"]
DEFAULT_PORT: int = _CAT["server_port"]
DEFAULT_MODEL_SERVER = f"http://{DEFAULT_HOST}:{DEFAULT_PORT}/"
# Beside each cached model file: its server's Last-Modified stamp.
STAMP_SUFFIX: str = _CAT["stamp_suffix"]
_DATA_DIR: tuple[str, ...] = tuple(_CAT["data_dir"])

# The detection classes by class id.
CLASS_NAMES: tuple[str, ...] = tuple(c["name"] for c in _FACTS["classes"])
# The model output's class id of each detection class.
MODEL_CLASS_IDS: tuple[int, ...] = tuple(c["model_id"] for c in _FACTS["classes"])
# Classes that tracking associates as one (a car seen now as a truck, now as
# a bus), by class id.
VEHICLE_CLASS_IDS: tuple[int, ...] = tuple(CLASS_NAMES.index(n) for n in _FACTS["vehicle_classes"])
# BGR drawing colour of each class.
CLASS_COLOURS: tuple[tuple[int, int, int], ...] = tuple(tuple(c["bgr"]) for c in _FACTS["classes"])

# The execution back ends, in the order the command line lists them, and the
# providers each asks ONNX Runtime for, in order of preference.
_PROVIDER_NAMES: dict[str, str] = _FACTS["providers"]
BACKENDS: tuple[str, ...] = tuple(b["name"] for b in _FACTS["backends"])
DEFAULT_BACKEND: str = _FACTS["default_backend"]
BACKEND_PROVIDERS: dict[str, tuple[str, ...]] = {
    b["name"]: tuple(_PROVIDER_NAMES[p] for p in b["providers"]) for b in _FACTS["backends"]}
# Back ends that run off the CPU: their own providers (those of the back end
# that unknown names get, the CPU, left out), their name in messages and what
# to install for them.
_CPU_PROVIDERS = BACKEND_PROVIDERS[_FACTS["unknown_backend"]]
GPU_BACKENDS: dict[str, tuple[tuple[str, ...], str, str]] = {
    b["name"]: (tuple(p for p in BACKEND_PROVIDERS[b["name"]] if p not in _CPU_PROVIDERS),
                b["label"], b["package"])
    for b in _FACTS["backends"] if "label" in b}


# The environment variables the package reads: the model server's address,
# skipping the update check, verbose provisioning, the session's threads and
# the download time limit.
_ENV: dict[str, str] = _FACTS["environment"]
ENV_MODEL_SERVER: str = _ENV["model_server"]
ENV_SKIP_UPDATE: str = _ENV["skip_update"]
ENV_VERBOSE: str = _ENV["verbose"]
ENV_THREADS: str = _ENV["threads"]
ENV_DOWNLOAD_TIMEOUT: str = _ENV["download_timeout"]


def model_file_name(model_name: str) -> str:
    """The file name of a catalogue model, on the model server and in the data directory."""
    return f"{_CAT['file_prefix']}{model_name}{_CAT['file_suffix']}"


def data_dir() -> str:
    """The per-user data directory that provisioning caches model files in."""
    return os.path.join(os.path.expanduser("~"), *_DATA_DIR)
