"""The module zorvane_road_objects.zorvane_robj_d: what it binds, its import
sequence, failed imports and re-initialisation."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")

MODULE = "zorvane_road_objects.zorvane_robj_d"


def run_python(code, timeout=120):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ),
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_module_attributes():
    import cv2
    import onnxruntime
    import time

    from zorvane_road_objects import utils, zorvane_robj_p

    assert zd.__all__ == ["zv_road_object_detector"]
    assert zd.np is np and zd.cv2 is cv2 and zd.onnxruntime is onnxruntime
    assert zd.os is os and zd.sys is sys and zd.time is time
    assert zd.download_robj_model is zorvane_robj_p.download_robj_model
    assert zd.nms is utils.nms
    public = {k for k in vars(zd) if not k.startswith("__")}
    assert public == {"SuppressStderr", "zv_road_object_detector", "zv_robj_d", "np", "cv2",
                      "onnxruntime", "os", "sys", "time", "download_robj_model", "nms"}
    for name in ("SuppressStderr", "zv_road_object_detector", "zv_robj_d"):
        t = getattr(zd, name)
        assert isinstance(t, type) and t.__module__ == MODULE and t.__qualname__ == name
        assert t.__doc__ is None
        assert "__dict__" not in t.__dict__ and "__weakref__" not in t.__dict__
    assert sys.modules[MODULE] is zd


def test_import_sequence():
    order = run_python(
        """
        import builtins, importlib, json, sys
        import zorvane_road_objects  # the package itself loads no native module
        assert "zorvane_road_objects.zorvane_robj_d" not in sys.modules
        seen, depth = [], [0]
        real = builtins.__import__
        def recording(name, *args, **kwargs):
            # Only the imports that the module's initialisation asks for,
            # not those that the imported modules make in turn.
            if depth[0] == 0:
                seen.append(name)
            depth[0] += 1
            try:
                return real(name, *args, **kwargs)
            finally:
                depth[0] -= 1
        builtins.__import__ = recording
        importlib.import_module("zorvane_road_objects.zorvane_robj_d")
        builtins.__import__ = real
        print(json.dumps(seen))
        """
    )
    wanted = ["numpy", "cv2", "onnxruntime", "os", "sys", "time",
              "zorvane_road_objects.zorvane_robj_p", "zorvane_road_objects.utils"]
    first = []
    for name in order:
        if name in wanted and name not in first:
            first.append(name)
    assert first == wanted, order


FAILED_IMPORT = """
    import json, sys, traceback
    {prepare}
    try:
        import zorvane_road_objects.zorvane_robj_d
        outcome = {{"imported": True}}
    except BaseException as e:
        outcome = {{
            "type": type(e).__name__,
            "message": str(e),
            "context": type(e.__context__).__name__ if e.__context__ else None,
            "trace": "".join(traceback.format_exception(e)),
            "left": "zorvane_road_objects.zorvane_robj_d" in sys.modules,
        }}
    {repair}
    import zorvane_road_objects.zorvane_robj_d as d
    outcome["retry"] = d.zv_robj_d.__name__
    print(json.dumps(outcome))
"""

CASES = {
    "cv2": ("sys.modules['cv2'] = None", "del sys.modules['cv2']", "ModuleNotFoundError"),
    "onnxruntime": ("sys.modules['onnxruntime'] = None", "del sys.modules['onnxruntime']", "ModuleNotFoundError"),
    "provisioning": (
        "sys.modules['zorvane_road_objects.zorvane_robj_p'] = None",
        "del sys.modules['zorvane_road_objects.zorvane_robj_p']",
        "ModuleNotFoundError",
    ),
    "utils": (
        "sys.modules['zorvane_road_objects.utils'] = None",
        "del sys.modules['zorvane_road_objects.utils']",
        "ModuleNotFoundError",
    ),
    "nms-name": (
        "import zorvane_road_objects.utils as u; saved = u.nms; del u.nms",
        "u.nms = saved",
        "ImportError",
    ),
    "download-name": (
        "import zorvane_road_objects.zorvane_robj_p as p; saved = p.download_robj_model; del p.download_robj_model",
        "p.download_robj_model = saved",
        "ImportError",
    ),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_failed_import_leaves_no_module(case):
    prepare, repair, error = CASES[case]
    out = run_python(FAILED_IMPORT.format(prepare=prepare, repair=repair))
    assert out.get("imported") is None, out
    assert out["type"] == error
    if case.endswith("-name"):
        name = case.split("-")[0]
        name = "download_robj_model" if name == "download" else name
        assert out["message"] == f"cannot import name {name}"
    assert "init zorvane_road_objects.zorvane_robj_d" in out["trace"]
    assert out["left"] is False
    assert out["retry"] == "zv_robj_d"


def test_numpy_api_failure():
    prepare = (
        "import importlib, numpy\n"
        "    try:\n"
        "        mu = importlib.import_module('numpy._core._multiarray_umath')\n"
        "    except ImportError:  # NumPy before 1.26\n"
        "        mu = importlib.import_module('numpy.core._multiarray_umath')\n"
        "    saved = mu._ARRAY_API; mu._ARRAY_API = 1"
    )
    out = run_python(FAILED_IMPORT.format(prepare=prepare, repair="mu._ARRAY_API = saved"))
    assert out["type"] == "ImportError"
    assert out["message"] == "numpy._core.multiarray failed to import"
    assert out["context"] == "RuntimeError"
    assert "init zorvane_road_objects.zorvane_robj_d" in out["trace"]
    assert out["left"] is False and out["retry"] == "zv_robj_d"


def test_reinitialisation_returns_the_first_module():
    out = run_python(
        """
        import ctypes, importlib, json, sys
        import zorvane_road_objects.zorvane_robj_d as first
        del sys.modules["zorvane_road_objects.zorvane_robj_d"]
        again = importlib.import_module("zorvane_road_objects.zorvane_robj_d")
        init = ctypes.PyDLL(first.__file__).PyInit_zorvane_robj_d
        init.restype = ctypes.py_object
        direct = init()
        print(json.dumps([again is first, direct is first, sys.modules[first.__name__] is first]))
        """
    )
    assert out == [True, True, True]
