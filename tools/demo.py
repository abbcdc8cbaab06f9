#!/usr/bin/env python3
"""Demo: from a model name to annotated detections, over a local model server.

Starts the package's model server on 127.0.0.1 (a free port) over the
repository's models/ folder, points provisioning at it through
ZORVANE_ROBJ_MODEL_SERVER, and runs every catalogue model on the sample road
image: prints the detections and the times, and writes the annotated image of
each model to out/demo_<model>.jpg. Then it makes a short video that pans
across the image (out/street_pan.mp4) and tracks the road objects through it
on parallel workers. The server is stopped at the end.

Provisioning caches the model files in ~/.zorvane/zorvane_robj_data, as it
always does.

    python tools/demo.py [--image PATH] [--out DIR] [--models NAME ...] [--runs N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time
from pathlib import Path

from zorvane_road_objects import facts
from zorvane_road_objects.facts import CATALOGUE

REPO = Path(__file__).resolve().parent.parent


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--image", default=str(REPO / "samples" / "street_bus_cc-by.jpg"), help="road image (default: %(default)s)")
    p.add_argument("--out", default=str(REPO / "out"), help="folder for the annotated images (default: %(default)s)")
    p.add_argument("--models-dir", default=str(REPO / "models"), help="folder the model server serves (default: %(default)s)")
    p.add_argument("--models", nargs="+", default=list(CATALOGUE), choices=CATALOGUE, metavar="NAME", help="catalogue models to run (default: all)")
    p.add_argument("--runs", type=int, default=5, help="timed detections per model after the first (default: %(default)s)")
    return p.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(argv)

    import cv2

    from zorvane_road_objects import Detector, draw_detections
    from zorvane_road_objects.serving import server as model_server

    missing = [m for m in args.models if not (Path(args.models_dir) / facts.model_file_name(m)).is_file()]
    if missing:
        print(f"demo: missing model files in {args.models_dir}: {', '.join(missing)}", file=sys.stderr)
        return 1
    image = cv2.imread(args.image, cv2.IMREAD_COLOR)
    if image is None:
        print(f"demo: cannot read image {args.image}", file=sys.stderr)
        return 1
    os.makedirs(args.out, exist_ok=True)

    server = model_server.make_server(args.models_dir, "127.0.0.1", 0)
    host, port = server.server_address[:2]
    thread = threading.Thread(target=server.serve_forever, name="model-server", daemon=True)
    thread.start()
    os.environ[facts.ENV_MODEL_SERVER] = f"http://{host}:{port}/"
    print(f"model server: http://{host}:{port}/ serving {args.models_dir}")
    print(f"image: {args.image} ({image.shape[1]}x{image.shape[0]})")

    status = 0
    try:
        for name in args.models:
            print(f"\n== {name}")
            t0 = time.perf_counter()
            try:
                detector = Detector(name)
            except ValueError as exc:
                print(f"demo: {name}: {exc}", file=sys.stderr)
                status = 1
                continue
            load_sec = time.perf_counter() - t0
            first_sec, first = timed(detector, image)
            times = [timed(detector, image)[0] for _ in range(max(args.runs, 0))]
            print(f"provisioning + model load: {ms(load_sec)}")
            print(f"first detection: {ms(first_sec)}", end="")
            if times:
                print(f", median of the next {len(times)}: {ms(statistics.median(times))}")
            else:
                print()
            print(f"{len(first)} objects:")
            for det in first:
                l, t, r, b = det.ltrb
                print(f"  {det.label:<13} {det.ltrb_conf:>3}%  ltrb=({l:.1f}, {t:.1f}, {r:.1f}, {b:.1f})")
            out_path = os.path.join(args.out, f"demo_{name}.jpg")
            if not cv2.imwrite(out_path, draw_detections(image, first), [cv2.IMWRITE_JPEG_QUALITY, 92]):
                print(f"demo: cannot write {out_path}", file=sys.stderr)
                status = 1
                continue
            print(f"annotated image: {out_path}")
        status = max(status, track_clip(image, os.path.join(args.out, "street_pan.mp4")))
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)
    print("\nmodel server stopped")
    return status


def timed(detector, image):
    """(seconds, detections) of one detection."""
    t0 = time.perf_counter()
    found = detector(image)
    return time.perf_counter() - t0, found


def ms(sec: float) -> str:
    return f"{sec * 1000.0:.1f} ms" if sec < 1.0 else f"{sec:.2f} s"


def write_pan_clip(image, path: str, frames: int = 48, fps: float = 12.0) -> None:
    """A video that pans a window of three quarters of the image's width across it."""
    import cv2
    import numpy as np

    h, w = image.shape[:2]
    cw = (w * 3 // 4) & ~1
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), fps, (cw, h))
    for i in range(frames):
        x = round((w - cw) * i / (frames - 1))
        writer.write(np.ascontiguousarray(image[:, x:x + cw]))
    writer.release()


def track_clip(image, path: str) -> int:
    """Track the road objects through a panning clip of the image."""
    from zorvane_road_objects import detect_stream

    write_pan_clip(image, path)
    print(f"\n== tracking through {path} (small_fp32, {os.cpu_count()} workers)")
    tracks: dict[int, str] = {}
    frames = 0
    t0 = time.perf_counter()
    with detect_stream(path, "small_fp32", track=True) as stream:
        for frame in stream:
            if frame.error is not None:
                print(f"demo: frame {frame.index}: {frame.error}", file=sys.stderr)
                return 1
            frames += 1
            for det in frame.detections:
                tracks.setdefault(det.track_id, det.label)
    sec = time.perf_counter() - t0
    by_class: dict[str, int] = {}
    for cls in tracks.values():
        by_class[cls] = by_class.get(cls, 0) + 1
    listed = ", ".join(f"{n} {c}" for c, n in sorted(by_class.items()))
    print(f"{frames} frames in {sec:.2f} s; {len(tracks)} tracks ({listed})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
