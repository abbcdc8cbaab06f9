"""The ``zorvane-robj`` command-line tool (also ``python -m zorvane_road_objects``).

Commands:

- ``detect SOURCE...``: run a catalogue model (or any model file with the
  catalogue interface) over images, folders, globs, video files, cameras and
  stream URLs, on parallel workers, with optional tracking and line counts;
- ``batch INPUT... -o OUT``: detection over many images with Ray, into Parquet;
- ``serve``: the package's model server, over the bundled model files or a folder;
- ``models``: the catalogue and what the data directory holds for it.

``detect`` works straight after installation: when model provisioning cannot
get a catalogue model (nothing cached, and the configured model server cannot
be reached or does not have it), the tool serves its bundled model files in
its own process for the run and says so in one line on standard error.

Exit status (``ExitStatus``): 0 on success; 1 when some work failed (an image
that could not be read or processed, a source that could not be opened or
dropped, a model that could not be provided or loaded); 2 for usage and
set-up errors (bad options, an unknown model name, a --model-file that does
not exist or is not a model, a serve port that is taken, a --root that is
not a folder); 129, 130 and 143 when interrupted by SIGHUP, SIGINT (Ctrl-C)
or SIGTERM, after writing out what was done.
"""

from __future__ import annotations

import contextlib
import os
import sys

from zorvane_road_objects.cli.batch import cmd_batch
from zorvane_road_objects.cli.detect import cmd_detect
from zorvane_road_objects.cli.models import cmd_models
from zorvane_road_objects.cli.parser import build_parser, parse_args
from zorvane_road_objects.cli.report import ExitStatus, escape_output_streams
from zorvane_road_objects.cli.serve import cmd_serve

__all__ = ["ExitStatus", "build_parser", "main"]

_COMMANDS = {"detect": cmd_detect, "serve": cmd_serve, "batch": cmd_batch, "models": cmd_models}


def main(argv=None) -> int:
    escape_output_streams()
    parser = build_parser()
    try:
        args = parse_args(parser, argv)
        return int(_COMMANDS[args.command](args))
    except SystemExit as exc:  # argparse: usage errors (2), --help and --version (0)
        code = exc.code
        if code is None:
            return 0
        return code if isinstance(code, int) else ExitStatus.FAILED
    except KeyboardInterrupt:
        return ExitStatus.INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. piped into head): stop quietly.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return ExitStatus.FAILED
