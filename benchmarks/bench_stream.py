"""Throughput of the streaming pipeline against a plain sequential loop.

On a folder of real JPEGs (default: the COCO dev subset under
``shared/data/eval``, else ``samples/``) and on an MPEG-4 video made from
them (640 x 480), side by side in one run:

- ``sequential``: read, detect, in order, one detector with its default
  session (ONNX Runtime's own thread count);
- ``pipeline w=1``: ``detect_stream`` with one worker, one session thread;
- ``pipeline w=N``: ``detect_stream`` with N workers, one session thread each.

Every pipeline run is checked for frame order and for giving the same
records as the sequential loop. With ``--memory-frames`` it also runs the
pipeline over a long synthetic video (a tiny constant ONNX model, so the
figure is the pipeline's own) and samples the resident set size every 1,000
frames: memory must stay flat whatever the length.

The catalogue model is provisioned from the checkout's ``models/`` through
the package's model server on 127.0.0.1 into a temporary HOME.
A table is printed and the figures go to ``benchmarks/results/stream.json``.

    python benchmarks/bench_stream.py [--folder DIR] [--workers N] [--rounds R]
                                      [--memory-frames 10000]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import tempfile
import threading
import time
from pathlib import Path

import cv2
import numpy as np

REPO = Path(__file__).resolve().parent.parent
RESULTS = REPO / "benchmarks" / "results"
COCO = REPO.parent / "shared" / "data" / "eval" / "coco_val2017_dev50" / "images"
VIDEO_SIZE = (640, 480)


def rss_mib() -> float:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def provision(tmp: Path):
    """Serve models/ on 127.0.0.1 and point HOME and provisioning at it."""
    from zorvane_road_objects.serving.server import make_server

    os.environ["HOME"] = str(tmp / "home")
    os.makedirs(os.environ["HOME"], exist_ok=True)
    server = make_server(REPO / "models", "127.0.0.1", 0)
    threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True).start()
    os.environ["ZORVANE_ROBJ_MODEL_SERVER"] = server.url
    return server


def make_video(images: list[Path], path: Path, repeat: int) -> Path:
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), 25.0, VIDEO_SIZE)
    for _ in range(repeat):
        for p in images:
            img = cv2.imread(str(p))
            if img is not None:
                writer.write(cv2.resize(img, VIDEO_SIZE, interpolation=cv2.INTER_AREA))
    writer.release()
    return path


def sequential(source, model: str) -> tuple[float, list]:
    """Read, detect, in order, in the calling thread."""
    from zorvane_road_objects.media.sources import open_source
    from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector

    det = zv_road_object_detector(model)
    det(np.zeros((480, 640, 3), np.uint8))  # warm the session
    t0 = time.perf_counter()
    out = []
    for f in open_source(source):
        out.append((f.index, det(f.image)["results"] if f.error is None else None))
    return time.perf_counter() - t0, out


def pipelined(source, model: str, workers: int) -> tuple[float, list]:
    from zorvane_road_objects.detection.pipeline import detect_stream

    with detect_stream(source, model, workers=workers, threads=1) as s:
        s.start()  # detectors built and warmed outside the timing
        t0 = time.perf_counter()
        out = [(r.index, None if r.error else [d.to_dict() for d in r.detections]) for r in s]
    return time.perf_counter() - t0, out


def same(a: list, b: list) -> bool:
    if [i for i, _ in a] != [i for i, _ in b]:
        return False
    for (_, ra), (_, rb) in zip(a, b):
        if (ra is None) != (rb is None):
            return False
        if ra is None:
            continue
        if [r["class_id"] for r in ra] != [r["class_id"] for r in rb]:
            return False
        if ra and not np.allclose([r["ltrb"] for r in ra], [r["ltrb"] for r in rb], atol=0.5):
            return False
    return True


def throughput(sources: dict, model: str, workers: int, rounds: int) -> list[dict]:
    rows = []
    for label, (source, frames) in sources.items():
        runs = {"sequential": lambda: sequential(source, model)}
        runs["pipeline w=1"] = lambda: pipelined(source, model, 1)
        runs[f"pipeline w={workers}"] = lambda: pipelined(source, model, workers)
        times: dict[str, list[float]] = {k: [] for k in runs}
        outputs: dict[str, list] = {}
        for _ in range(rounds):  # the variants take turns, round after round
            for name, fn in runs.items():
                sec, out = fn()
                times[name].append(sec)
                outputs[name] = out
        base = statistics.median(times["sequential"])
        for name in runs:
            sec = statistics.median(times[name])
            out = outputs[name]
            rows.append({
                "source": label, "variant": name, "frames": len(out), "seconds": sec,
                "images_per_s": len(out) / sec, "speedup_vs_sequential": base / sec,
                "in_order": [i for i, _ in out] == sorted(i for i, _ in out) and len(out) == frames,
                "same_records_as_sequential": same(out, outputs["sequential"]),
            })
    return rows


def tiny_model() -> bytes:
    from onnx import TensorProto, helper, numpy_helper

    rows = numpy_helper.from_array(np.array([[2, 0.9, 10, 20, 110, 220]], np.float32), "rows")
    graph = helper.make_graph(
        [helper.make_node("Identity", ["rows"], ["det"])], "tiny",
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 640, 640]),
         helper.make_tensor_value_info("im_shape", TensorProto.FLOAT, [1, 2]),
         helper.make_tensor_value_info("scale_factor", TensorProto.FLOAT, [1, 2])],
        [helper.make_tensor_value_info("det", TensorProto.FLOAT, [1, 6])], initializer=[rows])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    return model.SerializeToString()


def memory(tmp: Path, frames: int, workers: int) -> dict:
    from zorvane_road_objects.detection.pipeline import detect_stream
    from zorvane_road_objects.zorvane_robj_d import zv_robj_d

    path = tmp / "long.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 25.0, (320, 240))
    rng = np.random.default_rng(0)
    noise = [rng.integers(0, 256, (240, 320, 3), dtype=np.uint8) for _ in range(16)]
    for i in range(frames):
        writer.write(noise[i % 16])
    writer.release()
    model = tiny_model()
    samples = []
    t0 = time.perf_counter()
    n = 0
    with detect_stream(path, workers=workers, track=True,
                       detector_factory=lambda: zv_robj_d(model, 0.1, 0.5, "small", "cpu").detect_objects) as s:
        for r in s:
            assert r.index == n
            n += 1
            if n % 1000 == 0:
                samples.append(round(rss_mib(), 1))
    sec = time.perf_counter() - t0
    return {"frames": n, "seconds": sec, "rss_mib_every_1000": samples,
            "rss_growth_mib_after_first_1000": round(samples[-1] - samples[0], 1) if samples else None}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--folder", type=Path, default=COCO if COCO.is_dir() else REPO / "samples")
    ap.add_argument("--model", default="small_fp32")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--limit", type=int, default=50, help="images taken from the folder")
    ap.add_argument("--memory-frames", type=int, default=0)
    args = ap.parse_args()

    images = sorted(p for p in args.folder.iterdir() if p.suffix.lower() in (".jpg", ".jpeg", ".png"))
    images = images[: args.limit]
    if not images:
        raise SystemExit(f"no images in {args.folder}")
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="zv-bench-stream-") as td:
        tmp = Path(td)
        server = provision(tmp)
        try:
            folder = tmp / "images"
            folder.mkdir()
            for p in images:
                os.symlink(p, folder / p.name)
            video = make_video(images, tmp / "clip.mp4", repeat=max(1, 50 // len(images)))
            n_video = int(cv2.VideoCapture(str(video)).get(cv2.CAP_PROP_FRAME_COUNT))
            rows = throughput({"folder": (str(folder), len(images)), "video": (str(video), n_video)},
                              args.model, args.workers, args.rounds)
            mem = memory(tmp, args.memory_frames, args.workers) if args.memory_frames else None
        finally:
            server.shutdown()
            server.server_close()
    load_after = os.getloadavg()

    print(f"{'source':<7} {'variant':<14} {'frames':>6} {'img/s':>7} {'x seq':>6}  order  same")
    for r in rows:
        print(f"{r['source']:<7} {r['variant']:<14} {r['frames']:>6} {r['images_per_s']:>7.2f} "
              f"{r['speedup_vs_sequential']:>6.2f}  {'ok' if r['in_order'] else 'BAD':<5}  "
              f"{'yes' if r['same_records_as_sequential'] else 'no'}")
    if mem:
        print(f"memory: {mem['frames']} frames in {mem['seconds']:.1f} s, RSS every 1000 frames (MiB): "
              f"{mem['rss_mib_every_1000']}")
    print(f"load average before/after: {load_before[0]:.2f} / {load_after[0]:.2f} on {os.cpu_count()} CPUs")
    RESULTS.mkdir(parents=True, exist_ok=True)
    out = {
        "machine": {"cpus": os.cpu_count(), "platform": platform.platform(),
                    "load_before": load_before, "load_after": load_after},
        "folder": str(args.folder), "model": args.model, "workers": args.workers,
        "rounds": args.rounds, "throughput": rows, "memory": mem,
    }
    (RESULTS / "stream.json").write_text(json.dumps(out, indent=2) + "\n")
    print(f"wrote {RESULTS / 'stream.json'}")


if __name__ == "__main__":
    main()
