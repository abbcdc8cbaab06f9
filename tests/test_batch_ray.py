"""Batch runs on a local Ray instance: the same rows as the in-process run,
an actor killed mid-run, and actors that no model server can serve.

The tests share one real local Ray instance (two CPUs, no dashboard), which
``detect_dataset`` uses as it is.
"""

from __future__ import annotations

import os
import signal
import sys

import pytest

pytest.importorskip("ray.data")
pytest.importorskip("pyarrow")

from test_batch import CORRUPT, model_server, read_rows, reference, road_images  # noqa: E402,F401

from zorvane_road_objects.batch.runner import detect_dataset  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture(scope="module")
def ray_local(model_server):
    import logging

    import ray

    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False,
             logging_level=logging.ERROR)
    yield ray
    ray.shutdown()


@pytest.mark.parametrize("classes", [None, ("car", "bus", "truck")])
def test_ray_rows_equal_the_in_process_rows(ray_local, tmp_path, classes):
    images = road_images(tmp_path / "imgs", 9)
    (tmp_path / "imgs" / "corrupt.jpg").write_bytes(CORRUPT)
    inputs = [tmp_path / "imgs", tmp_path / "gone.jpg"]
    here = detect_dataset(inputs, tmp_path / "here.parquet", workers=2, classes=classes, progress=False)
    on_ray = detect_dataset(inputs, tmp_path / "ray", use_ray=True, workers=2, batch_size=4, classes=classes,
                            progress=False)
    assert (on_ray.mode, on_ray.rows, on_ray.errors) == ("local Ray", 11, 2)
    assert (here.rows, here.errors) == (11, 2)
    assert read_rows(tmp_path / "ray") == read_rows(tmp_path / "here.parquet")
    assert len(read_rows(tmp_path / "ray")) == len(images) + 2


def _descendants_running(word: bytes) -> list[int]:
    """This process's descendants whose command line holds ``word``."""
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as fh:
                    parents[int(name)] = int(fh.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    found, todo = [], [os.getpid()]
    while todo:
        pid = todo.pop()
        for child in (c for c, p in parents.items() if p == pid):
            todo.append(child)
            try:
                with open(f"/proc/{child}/cmdline", "rb") as fh:
                    if word in fh.read():
                        found.append(child)
            except OSError:
                pass
    return found


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="finds the actor in /proc")
def test_killed_actor_is_restarted_and_every_input_comes_out_once(ray_local, tmp_path):
    images = road_images(tmp_path / "imgs", 24)
    killed: list[int] = []

    def kill_one_mid_run(done: int, total: int) -> None:
        if killed or done >= total - 4:
            return
        pids = _descendants_running(b"DetectActor")
        if pids:
            os.kill(pids[0], signal.SIGKILL)
            killed.append(pids[0])

    out = tmp_path / "det.parquet"
    summary = detect_dataset([tmp_path / "imgs"], out, use_ray=True, workers=2, batch_size=2,
                             progress=kill_one_mid_run)
    assert killed, "no actor process was found to kill"
    rows = read_rows(out)
    assert set(rows) == {str(p) for p in images}
    assert all(r["error"] is None and r["detections"] is not None for r in rows.values())
    assert (summary.rows, summary.errors) == (24, 0)


def test_actors_without_a_server_use_the_bundled_model(ray_local, reference, tmp_path):
    # The actors get an empty HOME and a server that refuses connections.
    images = road_images(tmp_path / "imgs", 3)
    notices = []
    summary = detect_dataset([tmp_path / "imgs"], tmp_path / "det", use_ray=True, workers=1, progress=False,
                             notice=notices.append, worker_env={
                                 "HOME": str(tmp_path / "empty_home"),
                                 "ZORVANE_ROBJ_MODEL_SERVER": "http://127.0.0.1:9/"})
    assert summary.errors == 0
    bundled = [n for n in notices if "bundled" in n]
    assert len(bundled) == 1 and "127.0.0.1:9" in bundled[0], notices
    assert (tmp_path / "empty_home" / ".zorvane" / "zorvane_robj_data").is_dir()
    rows = read_rows(tmp_path / "det")
    assert all(rows[str(p)]["detections"] == reference(p)[0] for p in images)
