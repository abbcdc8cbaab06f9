"""The ``serve`` command: the package's model server over the bundled model
files or a folder."""

from __future__ import annotations

import os

from zorvane_road_objects.cli.report import ExitStatus, error

__all__ = ["cmd_serve"]


def cmd_serve(args) -> int:
    parser = args.subparser
    root = args.root
    if root is None:
        from zorvane_road_objects import bundled_models

        try:
            root = str(bundled_models())
        except FileNotFoundError as exc:
            error(f"{exc}, or name a folder of model files with --root DIR")
            return ExitStatus.USAGE
    if not os.path.isdir(root):
        parser.error(f"--root {root!r} is not a folder")
    from zorvane_road_objects.serving import server as model_server

    argv = ["--root", root]
    if args.host is not None:
        argv += ["--host", args.host]
    if args.port is not None:
        argv += ["--port", str(args.port)]
    return model_server.main(argv)
