"""The ``zorvane-robj`` command-line tool (also ``python -m zorvane_road_objects``)."""

from zorvane_road_objects.cli.app import main

__all__ = ["main"]
