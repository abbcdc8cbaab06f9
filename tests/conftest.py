"""Test-session isolation: the suite never touches the user's real data
directory or a model server named in the caller's environment, and Ctrl-C
reaches the tools it starts."""

import os
import signal
import tempfile


def pytest_configure(config):
    # Started in the background (`cmd &` without job control), the suite
    # inherits SIGINT ignored, and so would every tool it starts: the tests
    # that stop a child with Ctrl-C need the default handling back.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    home = tempfile.mkdtemp(prefix="zv-test-home-")
    os.environ["HOME"] = home
    os.environ["USERPROFILE"] = home
    for name in ("ZORVANE_VERBOSE", "ZORVANE_ROBJ_SKIP_UPDATE", "ZORVANE_ROBJ_MODEL_SERVER"):
        os.environ.pop(name, None)
