"""Batch detection on Ray Data: input expansion, the Parquet rows against the
single-process detector, a worker process killed mid-run, and the command.

The Ray tests share one real local Ray instance (two CPUs, no dashboard);
the catalogue model comes from the package's model server on 127.0.0.1, and
HOME is the per-session temporary folder that conftest.py sets up.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import threading
import uuid
from pathlib import Path

import cv2
import numpy as np
import pytest

pytest.importorskip("ray.data")
pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from zorvane_road_objects.batch.runner import SCHEMA, BatchError, detect_dataset  # noqa: E402
from zorvane_road_objects.batch.inputs import expand_inputs  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:ray.data.context")

SAMPLES = sorted((REPO / "samples").glob("*.jpg"))
CORRUPT = b"\xff\xd8\xff\xe0 not really a jpeg" + bytes(range(256))


@pytest.fixture(scope="module")
def model_server():
    from zorvane_road_objects.serving.server import make_server

    server = make_server(str(REPO / "models"), "127.0.0.1", 0)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    host, port = server.server_address[:2]
    old = os.environ.get("ZORVANE_ROBJ_MODEL_SERVER")
    os.environ["ZORVANE_ROBJ_MODEL_SERVER"] = f"http://{host}:{port}/"
    yield os.environ["ZORVANE_ROBJ_MODEL_SERVER"]
    if old is None:
        os.environ.pop("ZORVANE_ROBJ_MODEL_SERVER", None)
    else:
        os.environ["ZORVANE_ROBJ_MODEL_SERVER"] = old
    server.shutdown()
    server.server_close()
    thread.join(10)


@pytest.fixture(scope="module")
def ray_local(model_server):
    import logging

    import ray

    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False,
             logging_level=logging.ERROR)
    yield ray
    ray.shutdown()


@pytest.fixture(scope="module")
def reference(model_server):
    """The single-process detector, one inference thread like the actors."""
    from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector

    try:
        det = zv_road_object_detector("small_fp32", "auto", 0.5, 0.5, threads=1)
    except TypeError:
        det = zv_road_object_detector("small_fp32", "auto", 0.5, 0.5)

    def detect(path: Path) -> list[dict]:
        image = cv2.imdecode(np.fromfile(str(path), dtype=np.uint8), cv2.IMREAD_COLOR)
        return [{"class": r["class"], "class_id": r["class_id"], "score": r["ltrb_conf"],
                 "left": r["ltrb"][0], "top": r["ltrb"][1], "right": r["ltrb"][2],
                 "bottom": r["ltrb"][3]} for r in det(image)["results"]], image.shape[:2]

    return detect


def road_images(folder: Path, count: int) -> list[Path]:
    """The samples, then crops, scalings and flips of them in several formats."""
    folder.mkdir(parents=True, exist_ok=True)
    out = []
    for src in SAMPLES:
        out.append(Path(shutil.copy(src, folder / src.name)))
    bases = [cv2.imread(str(p)) for p in SAMPLES]
    exts = (".png", ".jpg", ".bmp")
    i = 0
    while len(out) < count:
        img = bases[i % len(bases)]
        h, w = img.shape[:2]
        frac = 0.55 + 0.4 * ((i * 7) % 10) / 10
        crop = img[: int(h * frac), int(w * (1 - frac)) :]
        if i % 3 == 1:
            crop = cv2.flip(crop, 1)
        if i % 4 == 2:
            crop = cv2.resize(crop, None, fx=0.6, fy=0.6, interpolation=cv2.INTER_AREA)
        path = folder / f"variant_{i:02d}{exts[i % 3]}"
        assert cv2.imwrite(str(path), np.ascontiguousarray(crop))
        out.append(path)
        i += 1
    return out[:count]


def read_rows(path) -> dict[str, dict]:
    table = pq.read_table(path)
    assert table.schema.equals(SCHEMA)
    rows = table.to_pylist()
    paths = [r["path"] for r in rows]
    assert len(paths) == len(set(paths)), "an input came out more than once"
    return {r["path"]: r for r in rows}


# ---------------------------------------------------------------------------
# inputs (no Ray)


def test_inputs_expand_folders_globs_and_lists(tmp_path, monkeypatch):
    root = tmp_path / "data"
    for rel in ("a/1.jpg", "a/b/2.PNG", "a/notes.txt", "c/3.webp", "top.bmp"):
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(b"x")
    (root / "lists").mkdir()
    (root / "lists" / "batch.txt").write_text(
        "# inputs\n\n../top.bmp\n" f"{root / 'c'}\n" "../a/*.jpg\n" "../gone.jpg\n")
    monkeypatch.chdir(root)
    found = expand_inputs(["a", "top.bmp", "@lists/batch.txt", "c/*.webp", "nothing*.jpg",
                           "@lists/missing.txt"])
    assert found.files == [str(root / p) for p in ("a/1.jpg", "a/b/2.PNG", "top.bmp", "c/3.webp")]
    assert dict(found.missing) == {
        str(root / "gone.jpg"): "no such file or folder",
        "nothing*.jpg": "no files match the pattern",
        "@lists/missing.txt": "cannot read list file: No such file or directory",
    }


@pytest.mark.parametrize("case", ["empty folder", "server down"])
def test_no_images_or_no_model_fails_before_any_output(tmp_path, monkeypatch, case):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))  # nothing cached
    out = tmp_path / "out.parquet"
    folder = tmp_path / "in"
    folder.mkdir()
    if case == "empty folder":
        (folder / "readme.txt").write_text("no images here")
        with pytest.raises(ValueError, match="no input images found"):
            detect_dataset([folder], out)
    else:
        monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", "http://127.0.0.1:9/")
        cv2.imwrite(str(folder / "x.png"), np.zeros((8, 8, 3), np.uint8))
        with pytest.raises(BatchError, match=r"cannot provision model 'small_fp32'.*127\.0\.0\.1:9"):
            detect_dataset([folder], out)
    assert not out.exists() and not Path(f"{out}.partial").exists()


# ---------------------------------------------------------------------------
# Ray runs


def test_rows_equal_the_single_process_detector(ray_local, reference, tmp_path):
    images = road_images(tmp_path / "imgs", 7)
    noise = tmp_path / "imgs" / "noise.png"
    cv2.imwrite(str(noise), np.random.default_rng(1).integers(0, 256, (90, 120, 3), dtype=np.uint8))
    (tmp_path / "imgs" / "corrupt.jpg").write_bytes(CORRUPT)
    out = tmp_path / "res" / "det.parquet"
    progress = []
    summary = detect_dataset([tmp_path / "imgs", tmp_path / "gone.jpg"], out, workers=2,
                             batch_size=3, progress=lambda done, total: progress.append((done, total)))
    rows = read_rows(out)
    expected_paths = {str(p) for p in images} | {str(noise), str(tmp_path / "imgs" / "corrupt.jpg"),
                                                 str(tmp_path / "gone.jpg")}
    assert set(rows) == expected_paths
    assert (summary.rows, summary.errors) == (10, 2)
    assert progress[-1] == (10, 10)
    assert rows[str(tmp_path / "imgs" / "corrupt.jpg")] == {
        "path": str(tmp_path / "imgs" / "corrupt.jpg"), "width": None, "height": None,
        "detections": None, "error": "cannot read image: unsupported or corrupt image file"}
    assert rows[str(tmp_path / "gone.jpg")]["error"] == "no such file or folder"
    found_any = 0
    for path in [*images, noise]:
        row = rows[str(path)]
        dets, (h, w) = reference(path)
        assert row["error"] is None and (row["width"], row["height"]) == (w, h)
        want = [{**d, **{k: float(np.float32(d[k])) for k in ("left", "top", "right", "bottom")}}
                for d in dets]
        assert row["detections"] == want, path.name
        found_any += len(want)
    assert found_any > 5  # the road images do hold objects


def _actor_pids(marker: str) -> list[int]:
    """Processes of this user whose environment carries the marker and that
    run the detection actor."""
    pids = []
    needle = f"ZV_BATCH_TEST_RUN={marker}".encode()
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/environ", "rb") as fh:
                env = fh.read().split(b"\0")
            with open(f"/proc/{name}/cmdline", "rb") as fh:
                cmd = fh.read()
        except OSError:
            continue
        if needle in env and b"DetectActor" in cmd:
            pids.append(int(name))
    return pids


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="finds actor processes in /proc")
def test_killed_worker_is_restarted_and_every_input_comes_out_once(ray_local, tmp_path):
    images = road_images(tmp_path / "imgs", 24)
    marker = uuid.uuid4().hex
    killed: list[int] = []

    def kill_one_mid_run(done: int, total: int) -> None:
        if killed or done >= total - 4:
            return
        pids = _actor_pids(marker)
        if pids:
            os.kill(pids[0], signal.SIGKILL)
            killed.append(pids[0])

    out = tmp_path / "det.parquet"
    summary = detect_dataset([tmp_path / "imgs"], out, workers=2, batch_size=2,
                             progress=kill_one_mid_run, worker_env={"ZV_BATCH_TEST_RUN": marker})
    assert killed, "no actor process was found to kill"
    rows = read_rows(out)
    assert set(rows) == {str(p) for p in images}
    assert all(r["error"] is None and r["detections"] is not None for r in rows.values())
    assert (summary.rows, summary.errors) == (24, 0)


def test_command_starts_its_own_instance_and_exits_1_on_error_rows(model_server, tmp_path):
    folder = tmp_path / "imgs"
    images = road_images(folder, 3)
    (folder / "broken.png").write_bytes(b"")
    listing = tmp_path / "list.txt"
    listing.write_text("imgs/broken.png\n" + "\n".join(f"imgs/{p.name}" for p in images) + "\n")
    out = tmp_path / "out.parquet"
    proc = subprocess.run(
        [sys.executable, "-m", "zorvane_road_objects", "batch", f"@{listing}", "-o", str(out),
         "--workers", "1", "--no-progress"],
        capture_output=True, text=True, timeout=240)
    assert proc.returncode == 1, proc.stderr
    assert out.is_file(), proc.stderr
    rows = read_rows(out)
    assert set(rows) == {str(p) for p in images} | {str(folder / "broken.png")}
    assert rows[str(folder / "broken.png")]["error"] == "cannot read image: empty file"
    assert proc.stderr.strip().splitlines()[-1].startswith(
        f"zorvane-robj: wrote 4 row(s), 1 with an error, to {out}")


def test_actors_that_cannot_load_the_model_fail_the_run_with_their_reason(ray_local, tmp_path):
    # The actors get an empty HOME and a server that refuses connections,
    # while this process has the model cached.
    folder = tmp_path / "imgs"
    road_images(folder, 2)
    out = tmp_path / "det.parquet"
    with pytest.raises(BatchError, match=r"cannot load model 'small_fp32' on .*127\.0\.0\.1:9/"):
        detect_dataset([folder], out, workers=1, progress=False, worker_env={
            "HOME": str(tmp_path / "empty_home"), "ZORVANE_ROBJ_MODEL_SERVER": "http://127.0.0.1:9/"})
    assert not out.exists() and not Path(f"{out}.partial").exists()
