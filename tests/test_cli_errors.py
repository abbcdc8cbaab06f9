"""What the command-line tool says when it cannot work: one sentence with
the cause and the fix, and the exit status (1: work failed, 2: usage)."""

from __future__ import annotations

import contextlib

import numpy as np
import onnxruntime
import pytest
from _cli import (  # noqa: F401  (fixtures)
    BUS,
    CAR,
    by_class,
    cli_env,
    home,
    json_lines,
    noise_image,
    run_cli,
    served,
    tiny_model_bytes,
    write_image,
)
from _httpd import Resource, TestServer, refused_url

from zorvane_road_objects import facts
from zorvane_road_objects.detection import diagnose


@contextlib.contextmanager
def refused():
    url, sock = refused_url()
    try:
        yield url
    finally:
        sock.close()


@contextlib.contextmanager
def failing(status):
    name = facts.model_file_name("small_fp32")
    with TestServer({name: Resource(body=b"x" * 100, head_status=status, get_status=status)}) as srv:
        yield srv.url


@pytest.mark.parametrize(
    "make_server, extra_env, expected",
    [
        (refused, {}, "the model server at {url} cannot be reached (connection refused): start one "
                      "with `zorvane-robj serve`"),
        (lambda: failing(503), {}, "the model server at {url} answered HTTP 503 for "
                                   "zorvane_robj_d_small_fp32.dat: check the server's log"),
        (lambda: failing(404), {}, "the model server at {url} has no zorvane_robj_d_small_fp32.dat "
                                   "(HTTP 404): serve a folder that holds it"),
        (refused, {"ZORVANE_ROBJ_SKIP_UPDATE": "1"},
         "nothing is cached for small_fp32 in {data}, and ZORVANE_ROBJ_SKIP_UPDATE only skips the "
         "update check of a cached copy, so the model has to be downloaded once; the model server "
         "at {url} cannot be reached"),
        (lambda: contextlib.nullcontext("nowhere/"), {},
         "the model server address 'nowhere/' is not an http:// address"),
    ],
    ids=["unreachable", "http-503", "http-404", "skip-update-nothing-cached", "bad-address"],
)
def test_provisioning_failures_name_the_cause(make_server, extra_env, expected, home, tmp_path):
    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    with make_server() as url:
        proc = run_cli(["detect", img, "--no-self-serve"], cli_env(home, url, **extra_env))
    data = home / ".zorvane" / "zorvane_robj_data"
    assert proc.returncode == 1, proc.stderr
    assert proc.stdout == ""
    (line,) = proc.stderr.splitlines()
    assert line.startswith("zorvane-robj: error: " + expected.format(url=url, data=data)), line
    assert line.endswith("(the bundled models were not tried: --no-self-serve)")


def test_a_server_without_the_file_is_a_404(served, home, tmp_path):
    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    proc = run_cli(["detect", img, "--model", "large_fp32", "--no-self-serve"], cli_env(home, served.url))
    assert proc.returncode == 1
    assert f"the model server at {served.url} has no zorvane_robj_d_large_fp32.dat (HTTP 404)" in proc.stderr


@pytest.mark.parametrize("name, close", [("small", "small_fp32"), ("Large_FP32", "large_fp32"), ("yolo", None)])
def test_unknown_model_name_lists_the_catalogue(name, close, home):
    proc = run_cli(["detect", "x.jpg", "--model", name], cli_env(home, None))
    assert proc.returncode == 2
    assert f"unknown model {name!r}" in proc.stderr
    assert "use one of small_fp32, medium_fp32, large_fp32" in proc.stderr
    assert (f"did you mean {close}?" in proc.stderr) == (close is not None)


# ---------------------------------------------------------------------------
# --model-file


def test_model_file_runs_without_provisioning(home, tmp_path):
    model = tmp_path / "mine.onnx"
    model.write_bytes(tiny_model_bytes())
    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    # No server at all, and the fallback may not be used: the file is all it takes.
    with refused() as url:
        proc = run_cli(["detect", img, "--model-file", model, "--json", "--no-self-serve"], cli_env(home, url))
    assert proc.returncode == 0, proc.stderr
    (d,) = json_lines(proc.stdout)
    assert by_class(d["results"]) == [CAR, BUS]
    assert not (home / ".zorvane").exists()


@pytest.mark.parametrize(
    "content, rc, expected",
    [
        # Anything that is not a model is a set-up error, like a missing file.
        (b"this is not an ONNX model" * 10, 2,
         "{path} cannot be loaded as a model (MODEL_LOAD_FAILED): pass an ONNX model file with the "
         "catalogue interface"),
        (b"", 2, "the model file {path} is empty"),
        (None, 2, "--model-file {path}: no such file"),
    ],
    ids=["not-onnx", "empty", "missing"],
)
def test_model_file_that_cannot_be_loaded(content, rc, expected, home, tmp_path):
    model = tmp_path / "model.onnx"
    if content is not None:
        model.write_bytes(content)
    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    proc = run_cli(["detect", img, "--model-file", model], cli_env(home, None))
    assert proc.returncode == rc
    (line,) = proc.stderr.splitlines()
    assert line.startswith("zorvane-robj: error: " + expected.format(path=model)), line


def test_model_file_with_another_interface_fails_per_image_with_the_hint(home, tmp_path):
    from onnx import TensorProto, helper

    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1])
    graph = helper.make_graph([helper.make_node("Identity", ["x"], ["y"])], "other",
                              [x], [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1])])
    model = tmp_path / "other.onnx"
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    m.ir_version = 8
    model.write_bytes(m.SerializeToString())
    img = write_image(tmp_path / "a.png", noise_image(30, 40))
    proc = run_cli(["detect", img, "--model-file", model], cli_env(home, None))
    assert proc.returncode == 1
    assert (f"{img}: detection failed: Processing error; check that {model} has the catalogue "
            "interface") in proc.stderr


# ---------------------------------------------------------------------------
# image size rules


SIZES = [
    ((1, 101), "image refused: its aspect ratio 101 is over 100 (101x1)"),
    ((101, 1), "image refused: its aspect ratio 101 is over 100 (1x101)"),
    ((100, 8193), "image refused: its width is over 8192 pixels (8193x100)"),
    ((8193, 100), "image refused: its height is over 8192 pixels (100x8193)"),
    ((1, 100), None),
    ((8192, 100), None),
]


@pytest.mark.parametrize("route", ["catalogue", "model-file"])
def test_both_routes_refuse_images_by_the_same_rules(route, served, home, tmp_path):
    paths = [write_image(tmp_path / f"{h}x{w}.png", np.zeros((h, w, 3), np.uint8)) for (h, w), _ in SIZES]
    args = ["detect", *paths, "--json"]
    if route == "model-file":
        model = tmp_path / "m.onnx"
        model.write_bytes(tiny_model_bytes())
        args += ["--model-file", model]
    proc = run_cli(args, cli_env(home, served.url))
    assert proc.returncode == 1
    errors = {d["path"]: d.get("error") for d in json_lines(proc.stdout)}
    for path, (_, expected) in zip(paths, SIZES):
        if expected is None:
            assert errors[str(path)] is None
        else:
            assert errors[str(path)].startswith(expected)
            assert f"{path}: {expected}" in proc.stderr


def test_size_rules_match_the_detector(served, monkeypatch):
    """The tool's own check refuses exactly what the detector refuses."""
    from zorvane_road_objects.zorvane_robj_d import zv_road_object_detector

    monkeypatch.setenv("ZORVANE_ROBJ_MODEL_SERVER", served.url)
    detector = zv_road_object_detector("small_fp32")
    base = np.zeros((8193, 8193, 3), np.uint8)[:1, :1]
    shapes = [(0, 640), (640, 0), (1, 100), (100, 1), (1, 101), (101, 1), (3, 301), (3, 300),
              (8192, 82), (8193, 100), (100, 8193), (7, 701), (7, 700)]
    for h, w in shapes:
        img = np.broadcast_to(base, (h, w, 3))
        try:
            detector(img)
            refused_by_detector = False
        except ValueError as exc:
            assert str(exc) == "Invalid input"
            refused_by_detector = True
        assert (diagnose.image_size_problem(h, w) is not None) == refused_by_detector, (h, w)
    assert "a side of zero pixels" in diagnose.image_size_problem(0, 640)


# ---------------------------------------------------------------------------
# back ends


@pytest.mark.parametrize("backend, providers, label", [
    ("cuda", ("CUDAExecutionProvider", "TensorrtExecutionProvider"), "CUDA"),
    ("directml", ("DmlExecutionProvider",), "DirectML"),
])
def test_gpu_backend_without_its_provider_warns_once(backend, providers, label, served, home, tmp_path):
    if any(p in onnxruntime.get_available_providers() for p in providers):
        pytest.skip(f"this ONNX Runtime offers {label}")
    imgs = [write_image(tmp_path / f"{i}.png", noise_image(30, 40, i)) for i in range(2)]
    proc = run_cli(["detect", *imgs, "--backend", backend.upper()], cli_env(home, served.url))
    assert proc.returncode == 0, proc.stderr
    warnings = [ln for ln in proc.stderr.splitlines() if "warning" in ln]
    assert warnings == [
        f"zorvane-robj: warning: this ONNX Runtime has no {label} execution provider (it offers "
        f"{', '.join(onnxruntime.get_available_providers())}), so the model runs on the CPU; "
        f"install {diagnose._GPU_PROVIDERS[backend][2]} to use {label}"
    ]
    assert proc.stdout.count("2 objects in ") == 2
