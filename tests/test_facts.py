"""The shared facts as the native modules were built with them agree with the
package's Python tables: a module built from an older facts.json (a stale
generated header) fails here."""

from __future__ import annotations

import copy
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import onnxruntime
import pytest

from _models import fixed_rows_model, recording_session_class
from _serving import model_server
from zorvane_road_objects import facts

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")
zp = pytest.importorskip("zorvane_road_objects.zorvane_robj_p")

GEN = Path(__file__).resolve().parents[1] / "tools" / "gen_facts.py"


def test_detector_names_and_maps_every_class_as_the_tables_say():
    not_road = next(i for i in range(64) if i not in facts.MODEL_CLASS_IDS)
    rows = [[mid, 0.9, 10 + 40 * k, 10, 40 + 40 * k, 50] for k, mid in enumerate(facts.MODEL_CLASS_IDS)]
    rows.append([not_road, 0.9, 0, 0, 5, 5])
    engine = zd.zv_robj_d(fixed_rows_model(rows), 0.5, 0.5)
    results = engine.detect_objects(np.zeros((480, 640, 3), np.uint8))["results"]
    got = sorted((r["class_id"], r["class"]) for r in results)
    assert got == list(enumerate(facts.CLASS_NAMES))


@pytest.mark.parametrize("backend", facts.BACKENDS)
def test_detector_asks_for_each_back_ends_providers(backend, monkeypatch):
    everything = sorted({p for row in facts.BACKEND_PROVIDERS.values() for p in row})
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: list(everything))
    recording = recording_session_class()
    monkeypatch.setattr(onnxruntime, "InferenceSession", recording)
    zd.zv_robj_d(fixed_rows_model([[0, 0.9, 1, 1, 5, 5]]), backend=backend.upper())
    assert recording.created[0].kwargs["providers"] == list(facts.BACKEND_PROVIDERS[backend])


def test_provisioning_takes_the_catalogue_from_the_tables(tmp_path, monkeypatch):
    """Each catalogue name is served under its file name into the data
    directory with its stamp file; a name outside the catalogue is refused
    even when the server has a file for it."""
    root = tmp_path / "served"
    root.mkdir()
    outsider = "tiny_fp32"
    assert outsider not in facts.CATALOGUE
    for name in (*facts.CATALOGUE, outsider):
        (root / facts.model_file_name(name)).write_bytes(name.encode())
    with model_server(root, tmp_path / "home", monkeypatch):
        for name in facts.CATALOGUE:
            path = zp.download_robj_model(name)
            assert path == os.path.join(facts.data_dir(), facts.model_file_name(name))
            assert Path(path).read_bytes() == name.encode()
            assert Path(path + facts.STAMP_SUFFIX).is_file()
        with pytest.raises(ValueError, match=r"Operation failed \(drm\)"):
            zp.download_robj_model(outsider)
    assert facts.data_dir().startswith(str(tmp_path / "home"))


def _spoil_provider(f):
    f["backends"][0]["providers"].append("npu")


def _spoil_class_id(f):
    f["classes"][1]["model_id"] = f["classes"][0]["model_id"]


def _spoil_default(f):
    f["catalogue"]["default_model"] = "huge_fp64"


def _spoil_name(f):
    f["classes"][0]["name"] = 'per"son'


@pytest.mark.parametrize("spoil, message", [
    (_spoil_provider, "names unknown providers ['npu']"),
    (_spoil_class_id, "model class id used more than once"),
    (_spoil_default, "default model 'huge_fp64' is not in the catalogue"),
    (_spoil_name, "must be printable ASCII without quotes"),
])
def test_generator_stops_the_build_on_facts_the_native_code_cannot_take(spoil, message, tmp_path):
    data = copy.deepcopy(json.loads(facts.FACTS_FILE.read_text()))
    spoil(data)
    (tmp_path / "facts.json").write_text(json.dumps(data))
    out = tmp_path / "zv_facts.hpp"
    run = subprocess.run([sys.executable, str(GEN), str(tmp_path / "facts.json"), str(out)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 1 and message in run.stderr and not out.exists()
