"""Batch runs in this process (no Ray): input expansion, the Parquet rows
against the single-process detector, output names, refusing and resuming
outputs, classes, the bundled model when no server has it, bad folder
entries as error rows, and the command's messages.

The catalogue model comes from the package's model server on 127.0.0.1;
HOME is the per-session temporary folder that conftest.py sets up. The Ray
paths are in test_batch_ray.py and test_batch_cluster.py, the killed driver
in test_batch_resume.py.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import cv2
import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pads = pytest.importorskip("pyarrow.dataset")

from zorvane_road_objects.batch.inputs import expand_inputs  # noqa: E402
from zorvane_road_objects.batch.runner import SCHEMA, BatchError, detect_dataset  # noqa: E402
from zorvane_road_objects.batch.store import METADATA_KEY, open_store  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
SAMPLES = sorted((REPO / "samples").glob("*.jpg"))
CORRUPT = b"\xff\xd8\xff\xe0 not really a jpeg" + bytes(range(256))


@pytest.fixture(scope="module")
def model_server():
    from zorvane_road_objects.serving.server import make_server

    server = make_server(str(REPO / "models"), "127.0.0.1", 0)
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
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
def reference(model_server):
    """The single-process detector, one inference thread."""
    from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector

    det = zv_road_object_detector("small_fp32", "auto", 0.5, 0.5, threads=1)

    def detect(path: Path):
        image = cv2.imdecode(np.fromfile(str(path), dtype=np.uint8), cv2.IMREAD_COLOR)
        return [{"class": r["class"], "class_id": r["class_id"], "score": r["ltrb_conf"],
                 **{k: float(np.float32(v)) for k, v in zip(("left", "top", "right", "bottom"), r["ltrb"])}}
                for r in det(image)["results"]], image.shape[:2]

    return detect


def road_images(folder: Path, count: int) -> list[Path]:
    """The samples, then crops, scalings and flips of them in several formats."""
    folder.mkdir(parents=True, exist_ok=True)
    out = [Path(shutil.copy(src, folder / src.name)) for src in SAMPLES]
    bases = [cv2.imread(str(p)) for p in SAMPLES]
    exts = (".png", ".jpg", ".bmp")
    i = 0
    while len(out) < count:
        img = bases[i % len(bases)]
        h, w = img.shape[:2]
        frac = 0.55 + 0.4 * ((i * 7) % 10) / 10
        crop = img[: int(h * frac), int(w * (1 - frac)):]
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
    """The rows of a file or dataset folder by path; each input exactly once."""
    table = pads.dataset(str(path), format="parquet").to_table()
    assert table.schema.remove_metadata().equals(SCHEMA)
    rows = table.to_pylist()
    paths = [r["path"] for r in rows]
    assert len(paths) == len(set(paths)), "an input came out more than once"
    return {r["path"]: r for r in rows}


def run(tmp_path, *args, env=None):
    return subprocess.run([sys.executable, "-m", "zorvane_road_objects", "batch", *map(str, args), "--no-progress"],
                          capture_output=True, text=True, timeout=240, env=env)


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


@pytest.mark.parametrize("classes", [None, ("car", "bus")])
def test_rows_equal_the_single_process_detector(reference, tmp_path, classes):
    images = road_images(tmp_path / "imgs", 7)
    noise = tmp_path / "imgs" / "noise.png"
    cv2.imwrite(str(noise), np.random.default_rng(1).integers(0, 256, (90, 120, 3), dtype=np.uint8))
    (tmp_path / "imgs" / "corrupt.jpg").write_bytes(CORRUPT)
    out = tmp_path / "res" / "det.parquet"
    progress = []
    summary = detect_dataset([tmp_path / "imgs", tmp_path / "gone.jpg"], out, workers=2, classes=classes,
                             progress=lambda done, total: progress.append((done, total)))
    assert out.is_file() and not Path(f"{out}.parts").exists()
    rows = read_rows(out)
    corrupt = str(tmp_path / "imgs" / "corrupt.jpg")
    assert set(rows) == {str(p) for p in images} | {str(noise), corrupt, str(tmp_path / "gone.jpg")}
    assert (summary.rows, summary.errors, summary.detected, summary.skipped) == (10, 2, 10, 0)
    assert progress[-1] == (10, 10)
    assert rows[corrupt] == {"path": corrupt, "width": None, "height": None, "detections": None,
                             "error": "cannot read image: unsupported or corrupt image file"}
    assert rows[str(tmp_path / "gone.jpg")]["error"] == "no such file or folder"
    found_any = 0
    for path in [*images, noise]:
        row = rows[str(path)]
        dets, (h, w) = reference(path)
        want = [d for d in dets if classes is None or d["class"] in classes]
        assert row["error"] is None and (row["width"], row["height"]) == (w, h)
        assert row["detections"] == want, path.name
        found_any += len(want)
    assert found_any > 3  # the road images do hold objects
    meta = pq.read_schema(out).metadata[METADATA_KEY].decode()
    assert '"model": "small_fp32"' in meta and (classes is None or '"classes": ["car", "bus"]' in meta)


def test_dataset_folder_is_one_table_and_other_names_are_refused(model_server, tmp_path):
    road_images(tmp_path / "imgs", 5)
    out = tmp_path / "dataset"
    summary = detect_dataset([tmp_path / "imgs"], out, part_rows=2, progress=False)
    parts = sorted(p.name for p in out.iterdir())
    assert len(parts) == 3 and all(p.startswith("part-") and p.endswith(".parquet") for p in parts)
    assert summary.rows == 5 and len(read_rows(out)) == 5
    import pandas

    assert len(pandas.read_parquet(out)) == 5
    for bad in ("det.csv", "det.json"):
        with pytest.raises(BatchError, match="name a Parquet file"):
            detect_dataset([tmp_path / "imgs"], tmp_path / bad, progress=False)
    (tmp_path / "file").write_text("x")
    with pytest.raises(BatchError, match="is a file"):
        detect_dataset([tmp_path / "imgs"], tmp_path / "file", progress=False)


@pytest.mark.parametrize("name", ["det.parquet", "det"])
def test_existing_output_is_refused_resumed_or_overwritten(model_server, tmp_path, name):
    images = road_images(tmp_path / "imgs", 4)
    (tmp_path / "imgs" / "late.jpg").write_bytes(CORRUPT)
    out = tmp_path / name
    first = detect_dataset([tmp_path / "imgs"], out, progress=False)
    assert (first.rows, first.errors) == (5, 1)
    with pytest.raises(BatchError, match="exists; add --resume .* or --overwrite"):
        detect_dataset([tmp_path / "imgs"], out, progress=False)
    for change, match in (({"conf": 0.3}, r"conf 0\.5 \(now 0\.3\)"),
                          ({"classes": ["car"]}, r"classes None \(now \['car'\]\)"),
                          ({"model": "medium_fp32"}, "model 'small_fp32'")):
        with pytest.raises(BatchError, match=match):
            detect_dataset([tmp_path / "imgs"], out, progress=False, resume=True, **change)
    # Resumed: nothing to do, the error row stays.
    again = detect_dataset([tmp_path / "imgs"], out, progress=False, resume=True)
    assert (again.detected, again.skipped, again.rows, again.errors) == (0, 5, 5, 1)
    # The bad file is fixed: only --retry-errors detects it again.
    shutil.copy(images[0], tmp_path / "imgs" / "late.jpg")
    more = road_images(tmp_path / "more", 1)
    retried = detect_dataset([tmp_path / "imgs", more[0]], out, progress=False, resume=True,
                             retry_errors=True)
    assert (retried.detected, retried.rows, retried.errors) == (2, 6, 0)
    rows = read_rows(out)
    assert rows[str(tmp_path / "imgs" / "late.jpg")]["detections"] == rows[str(images[0])]["detections"]
    fresh = detect_dataset([tmp_path / "imgs"], out, progress=False, overwrite=True)
    assert (fresh.rows, fresh.detected) == (5, 5) and len(read_rows(out)) == 5


def test_overwrite_leaves_a_folder_with_other_files_alone(model_server, tmp_path):
    road_images(tmp_path / "imgs", 1)
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "thesis.tex").write_text("keep me")
    with pytest.raises(BatchError, match="holds files no batch run wrote"):
        detect_dataset([tmp_path / "imgs"], tmp_path / "mine", progress=False, overwrite=True)
    assert (tmp_path / "mine" / "thesis.tex").read_text() == "keep me"


def test_manifest_parts_count_only_once_listed(tmp_path):
    """Object-storage mode (no renames): a part the manifest does not name,
    as a run killed between the two writes leaves it, is dropped on resume."""
    import pyarrow.fs as pafs

    from zorvane_road_objects.batch.store import PartStore

    def rows(*names):
        return pa.Table.from_pylist([{"path": n, "width": 1, "height": 1, "detections": [], "error": None}
                                     for n in names], schema=SCHEMA)

    settings = {"model": "small_fp32", "conf": 0.5, "iou": 0.5, "classes": None}
    store = PartStore(pafs.LocalFileSystem(), str(tmp_path / "ds"), None, True, "ds", settings)
    store.write(rows("a", "b"))
    store.write(rows("c"))
    pq.write_table(rows("d"), tmp_path / "ds" / "part-unlisted.parquet")  # killed before the manifest
    resumed = PartStore(pafs.LocalFileSystem(), str(tmp_path / "ds"), None, True, "ds", settings)
    resumed.tidy()
    resumed.check_settings()
    done, count, _ = resumed.done(False)
    assert done == {"a", "b", "c"} and count == 3
    assert not (tmp_path / "ds" / "part-unlisted.parquet").exists()


def test_tidy_drops_temporary_files_and_replaced_parts(tmp_path):
    store = open_store(str(tmp_path / "ds"), {"model": "m"})
    store.write(pa.Table.from_pylist([{"path": "a", "error": "bad"}, {"path": "b", "error": None}],
                                     schema=SCHEMA))
    (part,) = os.listdir(tmp_path / "ds")
    # A kill after the replacement was renamed in, before the original went.
    shutil.copy(tmp_path / "ds" / part, tmp_path / "ds" / part.replace(".parquet", "-ok.parquet"))
    (tmp_path / "ds" / ".part-x.parquet.tmp").write_bytes(b"half")
    store.tidy()
    assert os.listdir(tmp_path / "ds") == [part.replace(".parquet", "-ok.parquet")]


def test_no_server_uses_the_bundled_model_and_says_so_once(tmp_path, monkeypatch, reference):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))  # nothing cached
    monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", "http://127.0.0.1:9/")
    images = road_images(tmp_path / "imgs", 3)
    notices = []
    summary = detect_dataset([tmp_path / "imgs"], tmp_path / "o.parquet", workers=2, progress=False,
                             notice=notices.append)
    assert summary.errors == 0
    bundled = [n for n in notices if "bundled" in n]
    assert len(bundled) == 1 and "127.0.0.1:9" in bundled[0], notices
    rows = read_rows(tmp_path / "o.parquet")
    assert all(rows[str(p)]["detections"] == reference(p)[0] for p in images)


def test_empty_input_fails_before_any_output(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "readme.txt").write_text("no images here")
    with pytest.raises(ValueError, match="no input images found"):
        detect_dataset([tmp_path / "in"], tmp_path / "out.parquet")
    assert not (tmp_path / "out.parquet").exists() and not (tmp_path / "out.parquet.parts").exists()


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs and symbolic links")
def test_command_turns_bad_folder_entries_into_error_rows(model_server, tmp_path):
    folder = tmp_path / "imgs"
    images = road_images(folder, 2)
    (folder / "broken.png").write_bytes(b"")
    os.symlink(tmp_path / "nowhere.jpg", folder / "dangling.jpg")
    if not hasattr(os, "mkfifo"):
        pytest.skip("no FIFOs here")
    os.mkfifo(folder / "pipe.jpg")
    out = tmp_path / "out.parquet"
    proc = run(tmp_path, folder, "-o", out, "--workers", "2")
    assert proc.returncode == 1, proc.stderr
    rows = read_rows(out)
    bad = {str(folder / n) for n in ("broken.png", "dangling.jpg", "pipe.jpg")}
    assert set(rows) == {str(p) for p in images} | bad
    assert all(rows[p]["error"] and rows[p]["detections"] is None for p in bad)
    assert rows[str(folder / "broken.png")]["error"] == "cannot read image: empty file"
    lines = proc.stderr.strip().splitlines()
    assert {line.split(": ")[2] for line in lines if ": error: " in line} == bad
    assert lines[-1].startswith("zorvane-robj: detected 5 input(s), 3 with an error, in ")
    assert lines[-1].endswith(f"{out} holds 5 row(s), 3 with an error")
    assert "Ray" not in proc.stderr


def test_command_lists_the_first_errors_then_a_count(model_server, tmp_path):
    folder = tmp_path / "imgs"
    folder.mkdir()
    for i in range(8):
        (folder / f"bad{i}.jpg").write_bytes(CORRUPT)
    proc = run(tmp_path, folder, "-o", tmp_path / "out", "--classes", "car,bus")
    assert proc.returncode == 1
    errors = [line for line in proc.stderr.splitlines() if ": error: " in line]
    assert len(errors) == 5 and errors[0].endswith("bad0.jpg: cannot read image: unsupported or corrupt image file")
    assert "... and 3 more error row(s)" in proc.stderr
    again = run(tmp_path, folder, "-o", tmp_path / "out", "--classes", "car")
    assert again.returncode == 1 and "exists; add --resume" in again.stderr
