"""Road-object detection for Python hosts.

    from zorvane_road_objects import Detector
    detections = Detector("medium_fp32")(image)      # a BGR uint8 image

The public API, loaded on first use (importing the package loads no native
module, nor OpenCV, Ray or pyarrow):

- ``Detector``: a catalogue model, provisioned or bundled, returning ``Detection`` records;
- ``Detection``, ``FrameResult``: the record of one object and of one frame;
- ``open_source``: frames from images, folders, globs, videos, cameras and streams;
- ``detect_stream``: parallel detection over a source, results in frame order;
- ``Tracker``, ``LineCounter``: tracking objects across frames and counting line crossings;
- ``draw_detections``: an annotated copy of an image; ``VideoSink``: video output;
- ``detect_dataset``: batch detection into Parquet (needs the ``cluster`` extra);
- ``bundled_models()``: the folder of the model files that ship with the package;
- ``sample_image()``: the path of a road image (CC BY) that ships with it, for trying things out.

The native modules keep their own import paths:
``zorvane_road_objects.zorvane_robj_d`` (the detector ``zv_road_object_detector``),
``zorvane_road_objects.zorvane_robj_p`` (model provisioning, ``download_robj_model``),
``zorvane_road_objects.secret`` (``SecurityEngine``, ``KeyVault``, ``TokenEngine``) and
``zorvane_road_objects.utils`` (``nms``).
"""

from __future__ import annotations

import importlib
from pathlib import Path as _Path

__version__ = "0.1.0"

# Public name -> the module that defines it.
_LAZY = {
    "Detector": "zorvane_road_objects.detection.detector",
    "Detection": "zorvane_road_objects.detection.records",
    "FrameResult": "zorvane_road_objects.detection.records",
    "detect_stream": "zorvane_road_objects.detection.pipeline",
    "Tracker": "zorvane_road_objects.detection.track",
    "LineCounter": "zorvane_road_objects.detection.linecount",
    "draw_detections": "zorvane_road_objects.detection.draw",
    "open_source": "zorvane_road_objects.media.sources",
    "VideoSink": "zorvane_road_objects.media.video",
    "detect_dataset": "zorvane_road_objects.batch",
}

__all__ = ["__version__", "bundled_models", "sample_image", *_LAZY]


def __getattr__(name: str):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))


def bundled_models() -> _Path:
    """The folder of the catalogue model files that ship with the package.

    An installed package carries them in its own ``models/`` folder, with
    their licence texts; a source checkout run with ``PYTHONPATH=src`` finds
    the checkout's ``models/`` folder instead.
    """
    here = _Path(__file__).resolve().parent
    for folder in (here / "models", here.parent.parent / "models"):
        if (folder / "MANIFEST.json").is_file():
            return folder
    raise FileNotFoundError(
        f"the bundled model files are missing from {here / 'models'}; reinstall the package")


def sample_image() -> _Path:
    """The path of the road image that ships with the package (a bus, cars
    and pedestrians; CC BY 2.0, see the README beside it).

        zorvane-robj detect "$(python -c 'import zorvane_road_objects as z; print(z.sample_image())')"
    """
    here = _Path(__file__).resolve().parent
    for folder in (here / "samples", here.parent.parent / "samples"):
        path = folder / "street_bus_cc-by.jpg"
        if path.is_file():
            return path
    raise FileNotFoundError(f"the sample image is missing from {here / 'samples'}; reinstall the package")
