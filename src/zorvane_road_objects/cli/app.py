"""The ``zorvane-robj`` command-line tool (also ``python -m zorvane_road_objects``).

Commands:

- ``detect SOURCE...``: run a catalogue model (or any model file with the
  catalogue interface) over images, folders, globs, video files, cameras and
  stream URLs, on parallel workers, with optional tracking and line counts;
- ``batch INPUT... -o OUT``: detection over many machines with Ray, into Parquet;
- ``serve``: the package's model server, over the bundled model files or a folder;
- ``models``: the catalogue and what the data directory holds for it.

``detect`` works straight after installation: when model provisioning cannot
get a catalogue model (nothing cached, and the configured model server cannot
be reached or does not have it), the tool serves its bundled model files in
its own process for the run and says so in one line on standard error.

Exit status: 0 on success; 1 when some work failed (an image that could not
be read or processed, a source that could not be opened or dropped, a model
that could not be provided or loaded); 2 for usage errors (bad options, an
unknown model name, a --model-file that does not exist, a serve --root that
is not a folder); 130 when interrupted (Ctrl-C), after writing out what was
done.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
from pathlib import Path

from zorvane_road_objects import __version__, facts
from zorvane_road_objects.detection import formats as jsonout
from zorvane_road_objects.media.images import IMAGE_EXTENSIONS
from zorvane_road_objects.cli.batch import _positive_int, add_batch_parser, cmd_batch
from zorvane_road_objects.detection.diagnose import CATALOGUE, unknown_model
from zorvane_road_objects.detection.detector import (
    DEFAULT_MODEL_SERVER,
    SetupError,
    data_dir,
    model_file_name,
    model_server_address,
)

PROG = "zorvane-robj"

BACKENDS = facts.BACKENDS

__all__ = ["build_parser", "main"]

_EPILOG = f"""\
exit status: 0 success; 1 some work failed (an image, a source, or a model that
could not be provided or loaded); 2 usage error; 130 interrupted.

environment: ZORVANE_ROBJ_MODEL_SERVER (model server address, default
{DEFAULT_MODEL_SERVER}), ZORVANE_ROBJ_SKIP_UPDATE (1: use a cached model without
asking the server), ZORVANE_VERBOSE (1: report each provisioning step)."""


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


def _count_line(text: str):
    from zorvane_road_objects.cli.detect import parse_line

    try:
        return parse_line(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _model_name(text: str) -> str:
    if text not in CATALOGUE:
        raise argparse.ArgumentTypeError(unknown_model(text))
    return text


def _add_detect_parser(sub) -> None:
    p = sub.add_parser(
        "detect",
        help="detect road objects in images and folders",
        description=(
            "Detect road objects in images. Folders are searched recursively for "
            + ", ".join(sorted(IMAGE_EXTENSIONS))
            + " files, processed in sorted order. Files that cannot be read are "
            "reported on standard error and skipped. When the model server cannot "
            "provide the model, the bundled model files are served for the run."
        ),
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("paths", nargs="+", metavar="SOURCE",
                   help="image file, folder, glob, video file, camera index or rtsp/http(s) URL")
    p.add_argument("--model", type=_model_name, metavar="NAME",
                   help=f"catalogue model: {', '.join(CATALOGUE)} (default: {facts.DEFAULT_MODEL})")
    p.add_argument("--model-file", metavar="PATH",
                   help="run this model file (ONNX, catalogue interface) instead; no download")
    p.add_argument(
        "--backend",
        default=facts.DEFAULT_BACKEND,
        type=str.lower,
        choices=BACKENDS,
        help="execution back end (default: %(default)s)",
    )
    p.add_argument("--conf", default=0.5, type=_unit_interval, metavar="X", help="confidence threshold, 0-1 (default: %(default)s)")
    p.add_argument("--iou", default=0.5, type=_unit_interval, metavar="X", help="overlap threshold of the suppression, 0-1 (default: %(default)s)")
    p.add_argument("--save", metavar="DIR", help="write annotated copies of the images into DIR")
    p.add_argument("--json", action="store_true", help="print one JSON object per image and line")
    p.add_argument("--no-self-serve", dest="self_serve", action="store_false",
                   help="do not fall back to serving the bundled models; report why the model server failed")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bars, notices or summary line; results and errors only")
    p.add_argument("--workers", type=_positive_int, default=os.cpu_count() or 1, metavar="N",
                   help="detector threads, each with its own one-thread session (default: %(default)s, the cores)")
    p.add_argument("--every", type=_positive_int, default=1, metavar="N",
                   help="detect on every Nth frame of a video or stream (default: every frame)")
    p.add_argument("--max-frames", type=_positive_int, metavar="N", help="stop after N frames")
    p.add_argument("--track", action="store_true",
                   help="give each object a track_id that follows it from frame to frame")
    p.add_argument("--count-line", type=_count_line, metavar="X1,Y1,X2,Y2",
                   help="count tracked objects crossing this line, per class and direction (implies --track)")
    p.set_defaults(subparser=p)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Road-object detection with the zorvane_road_objects catalogue models.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    _add_detect_parser(sub)

    p = sub.add_parser(
        "serve",
        help="serve catalogue model files over HTTP",
        description=(
            "Run the package's model server over the bundled model files, or over a "
            "folder of catalogue files. Provisioning uses it when "
            "ZORVANE_ROBJ_MODEL_SERVER points at it "
            f"(default address {DEFAULT_MODEL_SERVER})."
        ),
    )
    p.add_argument("--root", metavar="DIR", help="folder with the model files (default: the bundled models)")
    p.add_argument("--host", metavar="H", help=f"address to bind (default: {facts.DEFAULT_HOST})")
    p.add_argument("--port", type=_port, metavar="P",
                   help=f"port to bind (default: {facts.DEFAULT_PORT}; 0 picks a free one)")
    p.set_defaults(subparser=p)

    add_batch_parser(sub)

    sub.add_parser(
        "models",
        help="list the catalogue models and their cache state",
        description="List the catalogue models with what the data directory holds for each.",
    )
    return parser


# ---------------------------------------------------------------------------
# detect


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


def headline(path: str, result: dict, shape) -> str:
    n = len(result.get("results", []))
    what = "no objects" if n == 0 else f"{n} object{'s' if n != 1 else ''}"
    h, w = shape[:2]
    return f"{path} ({w}x{h}): {what} in {format_seconds(result.get('ltrb_proc_sec'))}"


class _Output:
    """Writes result lines to stdout and messages to stderr around the progress bar."""

    def __init__(self, bar, quiet: bool = False):
        self.bar = bar
        self.quiet = quiet
        self.bars = False  # progress bars wanted (stderr is a terminal, not --quiet)

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
            print(line, file=sys.stderr, flush=True)

    def notice(self, line: str) -> None:
        if not self.quiet:
            self.err(f"{PROG}: {line}")


def _error(msg: str) -> None:
    print(f"{PROG}: error: {msg}", file=sys.stderr, flush=True)


def _warning(msg: str) -> None:
    print(f"{PROG}: warning: {msg}", file=sys.stderr, flush=True)


def _bars_wanted(args) -> bool:
    try:
        return not args.quiet and sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def _open_detector(args, output: _Output):
    from zorvane_road_objects.detection import detector as modelsetup, diagnose

    try:
        import onnxruntime

        warning = diagnose.backend_fallback_warning(args.backend, onnxruntime.get_available_providers())
    except Exception:  # the detector's own import reports a broken runtime
        warning = None
    if warning is not None:
        _warning(warning)
    if args.model_file is not None:
        return modelsetup.open_model_file(args.model_file, args.backend, args.detector_conf, args.iou,
                                          threads=1)
    bar = output.bars
    return modelsetup.open_catalogue_model(
        args.model or facts.DEFAULT_MODEL, args.backend, args.detector_conf, args.iou,
        self_serve=args.self_serve, notice=output.notice, threads=1,
        output=lambda: modelsetup.provisioning_output(args.json, bar))


def cmd_detect(args) -> int:
    from zorvane_road_objects.cli import detect as detect_run
    from zorvane_road_objects.detection.pipeline import TRACK_LOW
    from zorvane_road_objects.media.sources import SourceError, open_source

    if args.model is not None and args.model_file is not None:
        args.subparser.error("use either --model or --model-file, not both")
    args.track = args.track or args.count_line is not None
    # Tracking sees the weak boxes too (its second pass); it reports the
    # ones at or above --conf and the weak ones that continue a track.
    args.detector_conf = min(args.conf, TRACK_LOW) if args.track else args.conf
    try:
        source = open_source(list(args.paths), every=args.every, max_frames=args.max_frames)
    except (SourceError, TypeError) as exc:
        if args.json:
            print(jsonout.dumps({"path": " ".join(args.paths), "error": str(exc)}), flush=True)
        _error(str(exc))
        return 1
    with source:
        for path, msg in source.errors:
            if args.json:
                print(jsonout.dumps({"path": path, "error": msg}), flush=True)
            _error(f"{path}: {msg}")
        output = _Output(None, quiet=args.quiet)
        output.bars = _bars_wanted(args)
        try:
            detector = _open_detector(args, output)
        except ImportError as exc:
            _error(f"cannot load the detector module: {exc}")
            return 1
        except SetupError as exc:
            _error(str(exc))
            return exc.exit_code
        try:
            return detect_run.run(args, source, detector, output)
        finally:
            detector.close()


# ---------------------------------------------------------------------------
# serve


def cmd_serve(args) -> int:
    parser = args.subparser
    root = args.root
    if root is None:
        from zorvane_road_objects import bundled_models

        try:
            root = str(bundled_models())
        except FileNotFoundError as exc:
            _error(f"{exc}, or name a folder of model files with --root DIR")
            return 2
    if not os.path.isdir(root):
        parser.error(f"--root {root!r} is not a folder")
    from zorvane_road_objects.serving import server as model_server

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
                with open(path + facts.STAMP_SUFFIX, encoding="utf-8", errors="replace") as fh:
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
        if args.command == "batch":
            return cmd_batch(args)
        return cmd_models(args)
    except SystemExit as exc:  # argparse: usage errors (2), --help and --version (0)
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
