"""Test-session isolation: the suite never touches the user's real data
directory or a model server named in the caller's environment."""

import os
import tempfile


def pytest_configure(config):
    home = tempfile.mkdtemp(prefix="zv-test-home-")
    os.environ["HOME"] = home
    os.environ["USERPROFILE"] = home
    for name in ("ZORVANE_VERBOSE", "ZORVANE_ROBJ_SKIP_UPDATE", "ZORVANE_ROBJ_MODEL_SERVER"):
        os.environ.pop(name, None)
