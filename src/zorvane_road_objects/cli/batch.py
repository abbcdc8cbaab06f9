"""The ``batch`` command: detection over many images with Ray, into Parquet.

    zorvane-robj batch INPUT... -o OUTPUT.parquet [--model M] [--address ADDR] [--workers N]

Ray is imported only when the command runs, so the rest of the tool works
without the ``cluster`` extra.

Exit status: 0 when every input was processed, 1 when some rows hold an
error or the run could not be done, 2 for usage errors.
"""

from __future__ import annotations

import sys

from zorvane_road_objects.cli.report import PROG, ExitStatus, error, stderr_is_terminal

__all__ = ["cmd_batch"]


def cmd_batch(args) -> int:
    try:
        from zorvane_road_objects.batch import BatchError, detect_dataset
    except ImportError as exc:
        error(f"the batch command needs Ray Data and pyarrow; install "
              f"'zorvane_road_objects[cluster]' ({exc})")
        return ExitStatus.FAILED
    try:
        summary = detect_dataset(
            args.inputs, args.output, args.model, address=args.address, workers=args.workers,
            conf=args.conf, iou=args.iou, backend=args.backend,
            progress=not args.no_progress and stderr_is_terminal(), batch_size=args.batch_size)
    except (ValueError, BatchError, OSError) as exc:
        error(str(exc))
        return ExitStatus.FAILED
    print(f"{PROG}: wrote {summary.rows} row(s), {summary.errors} with an error, to "
          f"{summary.output} in {summary.seconds:.1f} s with {summary.workers} worker(s)",
          file=sys.stderr)
    return ExitStatus.FAILED if summary.errors else ExitStatus.OK
