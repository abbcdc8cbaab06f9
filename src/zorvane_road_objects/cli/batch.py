"""The ``batch`` command: detection over many images with Ray, into Parquet.

    zorvane-robj batch INPUT... -o OUTPUT.parquet [--model M] [--address ADDR] [--workers N]

Hooked into the main tool by ``add_batch_parser(subparsers)`` and
``cmd_batch(args)``; also runs on its own as
``python -m zorvane_road_objects.cli.batch``. Ray is imported only when the
command runs, so the rest of the tool works without the ``cluster`` extra.

Exit status: 0 when every input was processed, 1 when some rows hold an
error or the run could not be done, 2 for usage errors.
"""

from __future__ import annotations

import argparse
import sys

PROG = "zorvane-robj"

_DESCRIPTION = (
    "Detect road objects in many images with a pool of Ray actors and write one Parquet "
    "file with a row per input (path, width, height, detections, error). INPUT is an image "
    "file, a folder (searched recursively for image files), a glob pattern, @LIST (a text "
    "file with one input per line, relative to the list's folder) or a URI that pyarrow "
    "opens (s3://, gs://, ...). Without --address a local Ray instance runs for the "
    "command and stops after it; --address auto or ray://HOST:PORT joins a running cluster."
)


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def add_batch_parser(subparsers) -> argparse.ArgumentParser:
    """Add the ``batch`` command to the tool's subparsers."""
    from zorvane_road_objects import facts
    from zorvane_road_objects.cli import app as cli

    p = subparsers.add_parser("batch", help="detect objects in many images with Ray, into Parquet",
                              description=_DESCRIPTION)
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="image, folder, glob, @LIST or URI")
    p.add_argument("-o", "--output", required=True, metavar="FILE",
                   help="Parquet file to write (replaced when the run completes)")
    p.add_argument("--model", default=facts.DEFAULT_MODEL, choices=cli.CATALOGUE,
                   help="catalogue model (default: %(default)s)")
    p.add_argument("--backend", default=facts.DEFAULT_BACKEND, type=str.lower, choices=cli.BACKENDS,
                   help="execution back end on the workers (default: %(default)s)")
    p.add_argument("--conf", default=0.5, type=cli._unit_interval, metavar="X",
                   help="confidence threshold, 0-1 (default: %(default)s)")
    p.add_argument("--iou", default=0.5, type=cli._unit_interval, metavar="X",
                   help="overlap threshold of the suppression, 0-1 (default: %(default)s)")
    p.add_argument("--address", metavar="ADDR",
                   help="Ray cluster to join: auto, or ray://HOST:PORT (default: a local instance)")
    p.add_argument("--workers", type=_positive_int, metavar="N",
                   help="detector actors (default: one per CPU of the machine or cluster)")
    p.add_argument("--batch-size", type=_positive_int, default=8, metavar="N",
                   help="images per actor call (default: %(default)s)")
    p.add_argument("--no-progress", action="store_true",
                   help="do not show the progress bar (shown only when standard error is a terminal)")
    return p


def cmd_batch(args) -> int:
    try:
        from zorvane_road_objects.batch.runner import BatchError, detect_dataset
    except ImportError as exc:
        print(f"{PROG}: error: the batch command needs Ray Data and pyarrow; install "
              f"'zorvane_road_objects[cluster]' ({exc})", file=sys.stderr)
        return 1
    try:
        summary = detect_dataset(
            args.inputs, args.output, args.model, address=args.address, workers=args.workers,
            conf=args.conf, iou=args.iou, backend=args.backend, progress=not args.no_progress and _stderr_is_terminal(),
            batch_size=args.batch_size)
    except (ValueError, BatchError, OSError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    print(f"{PROG}: wrote {summary.rows} row(s), {summary.errors} with an error, to "
          f"{summary.output} in {summary.seconds:.1f} s with {summary.workers} worker(s)",
          file=sys.stderr)
    return 1 if summary.errors else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog=PROG)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    add_batch_parser(sub)
    try:
        return cmd_batch(parser.parse_args(["batch", *(sys.argv[1:] if argv is None else argv)]))
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
