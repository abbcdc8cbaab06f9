"""What the command line does around the work: examples in every --help,
a command's own usage on a bad option, set-up errors with exit status 2,
``serve`` on a taken port and on a non-loopback address, and the package's
sample image."""

from __future__ import annotations

import socket

import cv2
import pytest
from _cli import cli_env, home, run_cli  # noqa: F401  (fixtures)

import zorvane_road_objects


@pytest.mark.parametrize("command", [[], ["detect"], ["serve"], ["models"]])
def test_help_shows_examples(home, command):
    proc = run_cli([*command, "--help"], cli_env(home, None))
    assert proc.returncode == 0
    examples = proc.stdout.split("examples:\n", 1)[1]
    assert examples.startswith("  zorvane-robj ")


@pytest.mark.parametrize("argv, command", [
    (["detect", "x.jpg", "--bogus"], "detect"),
    (["serve", "--bogus"], "serve"),
    (["models", "--bogus"], "models"),
])
def test_a_bad_option_shows_the_commands_own_usage(home, argv, command):
    proc = run_cli(argv, cli_env(home, None))
    assert proc.returncode == 2
    assert proc.stderr.startswith(f"usage: zorvane-robj {command}")
    assert proc.stderr.rstrip().endswith(f"zorvane-robj {command}: error: unrecognized arguments: --bogus")


def test_a_file_that_is_not_a_model_is_a_set_up_error_like_a_missing_one(home, tmp_path):
    notes = tmp_path / "notes.txt"
    notes.write_text("hello\n")
    env = cli_env(home, None)
    img = zorvane_road_objects.sample_image()
    codes = [run_cli(["detect", img, "--model-file", path], env).returncode
             for path in (tmp_path / "nope.onnx", notes, tmp_path)]
    assert codes == [2, 2, 2]


def test_serve_on_a_taken_port_suggests_port_0_and_warns_about_open_addresses(home):
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen()
        port = taken.getsockname()[1]
        proc = run_cli(["serve", "--host", "0.0.0.0", "--port", port], cli_env(home, None), timeout=60)
    assert proc.returncode == 2
    warning, error = proc.stderr.splitlines()
    assert warning.startswith("zorvane-robj: warning: --host 0.0.0.0 makes the model files reachable")
    assert error.startswith(f"zorvane-robj: error: cannot serve on 0.0.0.0:{port}: ")
    assert "--port 0" in error


def test_the_sample_image_ships_with_the_package():
    path = zorvane_road_objects.sample_image()
    assert path.name == "street_bus_cc-by.jpg"
    assert cv2.imread(str(path)).shape == (640, 480, 3)
    readme = (path.parent / "README.md") if (path.parent / "README.md").is_file() else \
        path.parent / "PACKAGED_README.md"
    assert "CC BY" in readme.read_text() or "Attribution 2.0" in readme.read_text()
