"""The ``batch`` command: detection over many images into Parquet, in this
process or on Ray, resumable.

    zorvane-robj batch INPUT... -o OUTPUT[.parquet] [--resume | --overwrite] [--ray | --address ADDR]

pyarrow is imported only when the command runs, Ray only with --ray or
--address, so the rest of the tool works without the ``cluster`` extra.

Exit status: 0 when every input was processed, 1 when some rows hold an
error or the run could not be done, 2 for usage errors.
"""

from __future__ import annotations

import sys

from zorvane_road_objects.cli.report import PROG, ExitStatus, error, stderr_is_terminal

__all__ = ["cmd_batch", "error_lines"]


def _say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def error_lines(summary) -> list[str]:
    """The run's error rows, the first few with their reasons, then a count."""
    if not summary.new_errors:
        return []
    lines = [f"{PROG}: error: {path}: {reason}" for path, reason in summary.error_samples]
    more = summary.new_errors - len(summary.error_samples)
    if more > 0:
        lines.append(f"{PROG}: ... and {more} more error row(s); find them with the error column "
                     f"(e.g. pyarrow: table.filter(pc.is_valid(table['error'])))")
    return lines


def cmd_batch(args) -> int:
    try:
        from zorvane_road_objects.batch import BatchError, detect_dataset
    except ImportError as exc:
        error(f"the batch command needs pyarrow (and Ray Data for --ray or --address); install "
              f"'zorvane_road_objects[cluster]' ({exc})")
        return ExitStatus.FAILED
    if args.retry_errors and not args.resume:
        error("--retry-errors goes with --resume")
        return ExitStatus.USAGE
    try:
        summary = detect_dataset(
            args.inputs, args.output, args.model, address=args.address, use_ray=args.ray,
            workers=args.workers, conf=args.conf, iou=args.iou, backend=args.backend, classes=args.classes,
            progress=not args.no_progress and stderr_is_terminal(), batch_size=args.batch_size,
            part_rows=args.part_rows, resume=args.resume, overwrite=args.overwrite,
            retry_errors=args.retry_errors, verbose=args.verbose, notice=_say)
    except ImportError as exc:
        error(f"--ray and --address need Ray Data; install 'zorvane_road_objects[cluster]' ({exc})")
        return ExitStatus.FAILED
    except (ValueError, BatchError, OSError) as exc:
        error(str(exc))
        return ExitStatus.FAILED
    for line in error_lines(summary):
        print(line, file=sys.stderr)
    where = {"in-process": f"{summary.workers} thread(s) in this process",
             "local Ray": f"{summary.workers} actor(s) on a local Ray instance",
             "cluster": f"{summary.workers} actor(s) on {summary.address}"}[summary.mode]
    kept = f" ({summary.skipped} already there)" if summary.skipped else ""
    print(f"{PROG}: detected {summary.detected} input(s), {summary.new_errors} with an error, in "
          f"{summary.seconds:.1f} s with {where}; {summary.output} holds {summary.rows} row(s){kept}, "
          f"{summary.errors} with an error", file=sys.stderr)
    return ExitStatus.FAILED if summary.errors else ExitStatus.OK
