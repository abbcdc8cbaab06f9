"""``python -m zorvane_road_objects``: the zorvane-robj command-line tool."""

import sys

from zorvane_road_objects.cli import main

sys.exit(main())
