"""Repeated calls keep memory, objects and descriptors flat."""

from __future__ import annotations

import gc
import os
import sys

import numpy as np
import pytest

from _models import fixed_rows_model

zd = pytest.importorskip("zorvane_road_objects.zorvane_robj_d")

ROWS = [[2, 0.57, 10, 20, 110, 220], [0, 0.9, 1, 2, 3, 4], [0, 0.8, 1, 2, 3, 5], [9, 0.7, 0, 0, 5, 5]]


def footprint():
    gc.collect()
    fds = len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else 0
    return sys.getallocatedblocks(), len(gc.get_objects()), fds


def repeat(fn, times, warmup=50):
    for _ in range(warmup):
        fn()
    before = footprint()
    for _ in range(times):
        fn()
    after = footprint()
    return before, after


def assert_flat(before, after, blocks=300):
    assert after[0] - before[0] < blocks, (before, after)
    assert after[1] - before[1] < 50, (before, after)
    assert after[2] == before[2], (before, after)


def test_detect_objects_calls_stay_flat():
    engine = zd.zv_robj_d(fixed_rows_model(ROWS))
    images = [np.zeros((480, 640, 3), np.uint8), np.zeros((720, 1280, 3), np.uint8)[::2, ::2]]
    calls = [0]

    def call():
        out = engine.detect_objects(images[calls[0] % 2])
        calls[0] += 1
        assert len(out["results"]) == 3

    assert_flat(*repeat(call, 600))


def test_failing_calls_stay_flat():
    engine = zd.zv_robj_d(fixed_rows_model([[float("nan"), 0, 0, 0, 0, 0]]))
    bad_shape = np.zeros((48, 64, 1), np.uint8)

    def call():
        for img, error in ((np.zeros((48, 64, 3), np.uint8), Exception), (bad_shape, Exception),
                           (None, Exception), ([1], TypeError), (np.zeros((4, 4), np.uint8), ValueError)):
            with pytest.raises(error):
                engine.detect_objects(img)

    assert_flat(*repeat(call, 200))


def test_construction_stays_flat(tmp_path, monkeypatch):
    good = fixed_rows_model(ROWS)
    path = tmp_path / "m.dat"
    path.write_bytes(good)
    monkeypatch.setattr(zd, "download_robj_model", lambda name: str(path))

    def build():
        zd.zv_robj_d(good, 0.3, 0.4, "x", "cpu")
        zd.zv_road_object_detector("small_fp32")(np.zeros((8, 8, 3), np.uint8))
        for data in (b"junk", [1], b""):
            with pytest.raises(Exception):
                zd.zv_robj_d(data)
        with zd.SuppressStderr():
            pass

    assert_flat(*repeat(build, 100, warmup=20), blocks=400)
