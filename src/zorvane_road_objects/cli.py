"""The ``zorvane-robj`` command-line tool (also ``python -m zorvane_road_objects``).

Commands:

- ``detect PATH...``: run a catalogue model over images and folders;
- ``serve``: the package's model server over a folder of catalogue files;
- ``models``: the catalogue and what the data directory holds for it.

Exit status: 0 on success, 1 when some work failed (an image that could not
be read or processed, a model that could not be loaded), 2 for usage errors.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
from pathlib import Path

PROG = "zorvane-robj"

CATALOGUE = ("small_fp32", "medium_fp32", "large_fp32")
BACKENDS = ("auto", "cpu", "cuda", "directml")
DEFAULT_MODEL_SERVER = "http://127.0.0.1:8470/"
IMAGE_EXTENSIONS = frozenset({".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp"})
# Extensions the annotated copies keep; anything else is written as PNG.
_WRITABLE_EXTENSIONS = IMAGE_EXTENSIONS


def model_file_name(model_name: str) -> str:
    return f"zorvane_robj_d_{model_name}.dat"


def data_dir() -> str:
    """The per-user data directory that provisioning caches model files in."""
    return os.path.join(os.path.expanduser("~"), ".zorvane", "zorvane_robj_data")


def model_server_address() -> str:
    return os.environ.get("ZORVANE_ROBJ_MODEL_SERVER") or DEFAULT_MODEL_SERVER


def source_checkout_models(package_file: str | os.PathLike | None = None) -> Path | None:
    """The ``models/`` folder of the source checkout the package runs from, if any.

    The package runs from a checkout when its directory is ``<root>/src/<package>``
    and ``<root>`` holds ``pyproject.toml`` and a ``models`` folder.
    """
    pkg_dir = Path(package_file if package_file is not None else __file__).resolve().parent
    if pkg_dir.parent.name != "src":
        return None
    root = pkg_dir.parent.parent
    models = root / "models"
    if (root / "pyproject.toml").is_file() and models.is_dir():
        return models
    return None


# ---------------------------------------------------------------------------
# argument parsing


def _unit_interval(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (0.0 <= value <= 1.0):
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port out of range: {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Road-object detection with the zorvane_road_objects catalogue models.",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser(
        "detect",
        help="detect road objects in images and folders",
        description=(
            "Detect road objects in images. Folders are searched recursively for "
            + ", ".join(sorted(IMAGE_EXTENSIONS))
            + " files, processed in sorted order. Files that cannot be read are "
            "reported on standard error and skipped."
        ),
    )
    p.add_argument("paths", nargs="+", metavar="PATH", help="image file or folder")
    p.add_argument("--model", default="small_fp32", choices=CATALOGUE, help="catalogue model (default: %(default)s)")
    p.add_argument(
        "--backend",
        default="auto",
        type=str.lower,
        choices=BACKENDS,
        help="execution back end (default: %(default)s)",
    )
    p.add_argument("--conf", default=0.5, type=_unit_interval, metavar="X", help="confidence threshold, 0-1 (default: %(default)s)")
    p.add_argument("--iou", default=0.5, type=_unit_interval, metavar="X", help="overlap threshold of the suppression, 0-1 (default: %(default)s)")
    p.add_argument("--save", metavar="DIR", help="write annotated copies of the images into DIR")
    p.add_argument("--json", action="store_true", help="print one JSON object per image and line")

    p = sub.add_parser(
        "serve",
        help="serve catalogue model files over HTTP",
        description=(
            "Run the package's model server over a folder holding the catalogue files. "
            "Provisioning uses it when ZORVANE_ROBJ_MODEL_SERVER points at it "
            f"(default address {DEFAULT_MODEL_SERVER})."
        ),
    )
    p.add_argument("--root", metavar="DIR", help="folder with the model files (default: models/ of the source checkout)")
    p.add_argument("--host", metavar="H", help="address to bind (default: 127.0.0.1)")
    p.add_argument("--port", type=_port, metavar="P", help="port to bind (default: 8470; 0 picks a free one)")
    p.set_defaults(subparser=p)

    sub.add_parser(
        "models",
        help="list the catalogue models and their cache state",
        description="List the catalogue models with what the data directory holds for each.",
    )
    return parser


# ---------------------------------------------------------------------------
# detect


def _is_image_name(name: str) -> bool:
    return os.path.splitext(name)[1].lower() in IMAGE_EXTENSIONS


def collect_images(paths):
    """Expand the PATH arguments into (image path, path for --save) pairs and errors.

    Folders are walked recursively; their image files come in sorted order of
    their path components and keep their path relative to the folder for
    --save. Files named directly are taken whatever their extension.
    Returns (items, errors) where errors are (path, message) pairs.
    """
    items: list[tuple[str, str]] = []
    errors: list[tuple[str, str]] = []
    seen: set[str] = set()

    def add(path: str, rel: str) -> None:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            items.append((path, rel))

    for arg in paths:
        if os.path.isdir(arg):
            found = []
            walk_errors = []
            for dirpath, dirnames, filenames in os.walk(arg, onerror=walk_errors.append):
                dirnames.sort()
                for name in filenames:
                    if _is_image_name(name):
                        full = os.path.join(dirpath, name)
                        rel = os.path.relpath(full, arg)
                        found.append((Path(rel).parts, full, rel))
            for err in walk_errors:
                errors.append((getattr(err, "filename", None) or arg, f"cannot list folder: {err.strerror or err}"))
            found.sort(key=lambda f: f[0])
            if not found and not walk_errors:
                errors.append((arg, "no image files found in folder"))
            for _, full, rel in found:
                add(full, rel)
        elif os.path.exists(arg):
            add(arg, os.path.basename(arg))
        else:
            errors.append((arg, "no such file or folder"))
    return items, errors


def read_image(path: str):
    """Read an image as an 8-bit BGR array; raise OSError or ValueError when that fails."""
    import cv2
    import numpy as np

    data = np.fromfile(path, dtype=np.uint8)
    if data.size == 0:
        raise ValueError("empty file")
    try:
        img = cv2.imdecode(data, cv2.IMREAD_COLOR)
    except cv2.error:
        img = None
    if img is None:
        raise ValueError("unsupported or corrupt image file")
    return img


def _finite_or_none(v):
    return v if not isinstance(v, float) or math.isfinite(v) else None


def _json_safe(result: dict) -> dict:
    """The detection result with non-finite floats (never valid JSON) turned into null."""
    out = []
    for rec in result.get("results", []):
        rec = dict(rec)
        if isinstance(rec.get("ltrb"), list):
            rec["ltrb"] = [_finite_or_none(v) for v in rec["ltrb"]]
        out.append(rec)
    return {"results": out, "ltrb_proc_sec": _finite_or_none(result.get("ltrb_proc_sec"))}


def format_seconds(sec) -> str:
    try:
        sec = float(sec)
    except (TypeError, ValueError):
        return "?"
    if not math.isfinite(sec):
        return "?"
    if sec < 1.0:
        return f"{sec * 1000.0:.1f} ms"
    return f"{sec:.2f} s"


def format_detections(result: dict) -> list[str]:
    """Human-readable lines for the records of one detection result."""
    lines = []
    for rec in result.get("results", []):
        l, t, r, b = rec["ltrb"]
        lines.append(
            f"  {rec['class']:<13} {rec['ltrb_conf']:>3}%  "
            f"ltrb=({l:.1f}, {t:.1f}, {r:.1f}, {b:.1f})"
        )
    return lines


def summary_line(path: str, result: dict, shape) -> str:
    n = len(result.get("results", []))
    what = "no objects" if n == 0 else f"{n} object{'s' if n != 1 else ''}"
    h, w = shape[:2]
    return f"{path} ({w}x{h}): {what} in {format_seconds(result.get('ltrb_proc_sec'))}"


def _save_path(save_dir: str, rel: str, taken: set) -> str:
    stem, ext = os.path.splitext(rel)
    if ext.lower() not in _WRITABLE_EXTENSIONS:
        ext = ".png"
    candidate = os.path.join(save_dir, stem + ext)
    n = 1
    while os.path.normcase(os.path.abspath(candidate)) in taken:
        candidate = os.path.join(save_dir, f"{stem}_{n}{ext}")
        n += 1
    taken.add(os.path.normcase(os.path.abspath(candidate)))
    return candidate


def write_image(path: str, src_path: str, image) -> None:
    import cv2

    if os.path.exists(path) and os.path.samefile(path, src_path):
        raise ValueError("refusing to overwrite the input image")
    parent = os.path.dirname(path)
    if parent:
        os.makedirs(parent, exist_ok=True)
    ext = os.path.splitext(path)[1].lower()
    params = [cv2.IMWRITE_JPEG_QUALITY, 92] if ext in (".jpg", ".jpeg") else []
    ok, buf = cv2.imencode(ext, image, params)
    if not ok:
        raise ValueError(f"cannot encode {ext} image")
    buf.tofile(path)


class _Output:
    """Writes result lines to stdout and messages to stderr around the progress bar."""

    def __init__(self, bar):
        self.bar = bar

    def out(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stdout)
        else:
            print(line, file=sys.stdout)
        sys.stdout.flush()

    def err(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr)


def _error(msg: str) -> None:
    print(f"{PROG}: error: {msg}", file=sys.stderr)


class _ImageError(Exception):
    """One image could not be processed; the batch goes on."""


def cmd_detect(args) -> int:
    items, path_errors = collect_images(args.paths)
    for path, msg in path_errors:
        if args.json:
            print(json.dumps({"path": path, "error": msg}), flush=True)
        _error(f"{path}: {msg}")
    if not items:
        return 1

    try:
        from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector
    except ImportError as exc:
        _error(f"cannot load the detector module: {exc}")
        return 1

    # Provisioning reports on stdout when ZORVANE_VERBOSE asks for it; keep
    # stdout for the JSON lines alone.
    redirect = contextlib.redirect_stdout(sys.stderr) if args.json else contextlib.nullcontext()
    try:
        with redirect:
            detector = zv_road_object_detector(args.model, args.backend, args.conf, args.iou)
    except Exception as exc:
        _error(f"cannot load model {args.model!r}: {exc} (model server: {model_server_address()})")
        return 1

    failed = len(path_errors)
    annotate = None
    if args.save:
        from zorvane_road_objects.annotate import draw_detections as annotate

    from tqdm import tqdm

    taken: set[str] = set()
    bar = tqdm(total=len(items), unit="img", file=sys.stderr, disable=len(items) <= 1, leave=True)
    output = _Output(None if bar.disable else bar)
    try:
        for path, rel in items:
            try:
                try:
                    image = read_image(path)
                except (OSError, ValueError) as exc:
                    raise _ImageError(f"cannot read image: {getattr(exc, 'strerror', None) or exc}") from None
                try:
                    result = detector(image)
                except Exception as exc:
                    raise _ImageError(f"detection failed: {exc}") from None
                saved = None
                if annotate is not None:
                    saved = _save_path(args.save, rel, taken)
                    try:
                        write_image(saved, path, annotate(image, result))
                    except (OSError, ValueError) as exc:
                        raise _ImageError(
                            f"cannot write {saved}: {getattr(exc, 'strerror', None) or exc}"
                        ) from None
            except _ImageError as exc:
                failed += 1
                if args.json:
                    output.out(json.dumps({"path": path, "error": str(exc)}))
                output.err(f"{PROG}: error: {path}: {exc}")
            else:
                if args.json:
                    record = {"path": path, **_json_safe(result)}
                    if saved is not None:
                        record["saved"] = saved
                    output.out(json.dumps(record, allow_nan=False))
                else:
                    lines = [summary_line(path, result, image.shape), *format_detections(result)]
                    if saved is not None:
                        lines.append(f"  saved {saved}")
                    output.out("\n".join(lines))
            bar.update(1)
    finally:
        bar.close()
    if failed and not args.json:
        total = len(items) + len(path_errors)
        print(f"{PROG}: {failed} of {total} input(s) not processed", file=sys.stderr)
    return 1 if failed else 0


# ---------------------------------------------------------------------------
# serve


def cmd_serve(args) -> int:
    parser = args.subparser
    root = args.root
    if root is None:
        models = source_checkout_models()
        if models is None:
            parser.error("--root DIR is required (no models/ folder of a source checkout found)")
        root = str(models)
    if not os.path.isdir(root):
        parser.error(f"--root {root!r} is not a folder")
    from zorvane_road_objects import model_server

    argv = ["--root", root]
    if args.host is not None:
        argv += ["--host", args.host]
    if args.port is not None:
        argv += ["--port", str(args.port)]
    return model_server.main(argv)


# ---------------------------------------------------------------------------
# models


def _human_size(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    for unit in ("KiB", "MiB", "GiB"):
        n /= 1024.0
        if n < 1024.0 or unit == "GiB":
            return f"{n:.1f} {unit}"
    return f"{n:.1f} GiB"


def model_states(directory: str | None = None) -> list[dict]:
    """Cache state of every catalogue model in the data directory (nothing is created)."""
    directory = data_dir() if directory is None else directory
    states = []
    for name in CATALOGUE:
        path = os.path.join(directory, model_file_name(name))
        state = {"model": name, "path": path, "cached": False, "size": None, "last_modified": None}
        try:
            size = os.path.getsize(path)
        except OSError:
            size = None
        if size is not None:
            state["size"] = size
            state["cached"] = size > 0
            try:
                with open(path + ".last_modified", encoding="utf-8", errors="replace") as fh:
                    state["last_modified"] = fh.read().strip() or None
            except OSError:
                pass
        states.append(state)
    return states


def cmd_models(args) -> int:
    directory = data_dir()
    note = "" if os.path.isdir(directory) else " (not created yet)"
    print(f"data directory: {directory}{note}")
    print(f"model server:   {model_server_address()}")
    width = max(len(n) for n in CATALOGUE)
    for st in model_states(directory):
        if st["size"] is None:
            print(f"{st['model']:<{width}}  not cached")
            continue
        if not st["cached"]:
            print(f"{st['model']:<{width}}  empty file (downloaded again on next use)  {st['path']}")
            continue
        stamp = st["last_modified"] or "no Last-Modified stamp"
        print(
            f"{st['model']:<{width}}  {_human_size(st['size'])} ({st['size']} bytes)  "
            f"{stamp}  {st['path']}"
        )
    return 0


# ---------------------------------------------------------------------------


def main(argv=None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command == "detect":
            return cmd_detect(args)
        if args.command == "serve":
            return cmd_serve(args)
        return cmd_models(args)
    except SystemExit as exc:  # argparse: usage errors (2) and --help (0)
        code = exc.code
        if code is None:
            return 0
        return code if isinstance(code, int) else 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. piped into head): stop quietly.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
