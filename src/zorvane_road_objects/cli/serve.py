"""The ``serve`` command: the package's model server over the bundled model
files or a folder."""

from __future__ import annotations

import errno
import ipaddress
import os

from zorvane_road_objects import facts
from zorvane_road_objects.cli.report import ExitStatus, error, warning

__all__ = ["cmd_serve"]


def _is_loopback(host: str) -> bool:
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


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

    host = facts.DEFAULT_HOST if args.host is None else args.host
    port = facts.DEFAULT_PORT if args.port is None else args.port
    if not _is_loopback(host):
        warning(f"--host {host} makes the model files reachable from other machines "
                "(the server has no authentication)")
    try:  # bind once here, to say what to do when the port is taken
        model_server.make_server(root, host, port).server_close()
    except OSError as exc:
        hint = ("; another program uses it: choose another with --port, or --port 0 for any free one"
                if exc.errno == errno.EADDRINUSE else "")
        error(f"cannot serve on {host}:{port}: {exc.strerror or exc}{hint}")
        return ExitStatus.USAGE
    return model_server.main(["--root", root, "--host", host, "--port", str(port)])
