"""The installed package carries what a new user needs: the catalogue model
files (identical to the checkout's), their licence texts, and its own code
rather than the checkout's sources."""

import hashlib
import json
from pathlib import Path

import pytest

import zorvane_road_objects

REPO = Path(__file__).resolve().parents[1]
MANIFEST = json.loads((REPO / "models" / "MANIFEST.json").read_text())


def test_suite_runs_against_the_installed_package():
    pkg = Path(zorvane_road_objects.__file__).resolve().parent
    assert REPO / "src" not in pkg.parents, f"tests imported the checkout's sources from {pkg}"


@pytest.mark.parametrize("name", ["small_fp32", "medium_fp32", "large_fp32"])
def test_bundled_model_matches_the_catalogue_build(name):
    folder = zorvane_road_objects.bundled_models()
    file = folder / f"zorvane_robj_d_{name}.dat"
    assert file.is_file()
    entry = next(m for m in MANIFEST["models"] if m["file"] == file.name)
    assert hashlib.sha256(file.read_bytes()).hexdigest() == entry["sha256"]


@pytest.mark.parametrize("text, needle", [("NOTICE", "Megvii"), ("NOTICE", "PaddlePaddle"),
                                          ("Apache-2.0.txt", "Apache License")])
def test_licence_texts_travel_with_the_models(text, needle):
    assert needle in (zorvane_road_objects.bundled_models() / text).read_text()
