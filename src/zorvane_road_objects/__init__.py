"""Road-object detection for Python hosts.

Submodules:

- ``zorvane_road_objects.zorvane_robj_d``: the detector ``zv_road_object_detector``;
- ``zorvane_road_objects.zorvane_robj_p``: model provisioning, ``download_robj_model``;
- ``zorvane_road_objects.secret``: the security toolkit (``SecurityEngine``, ``KeyVault``,
  ``TokenEngine``);
- ``zorvane_road_objects.utils``: ``nms``.

Importing the package itself loads none of the native modules.
"""

from pathlib import Path as _Path

__version__ = "0.1.0"

__all__ = ["__version__", "bundled_models"]


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
