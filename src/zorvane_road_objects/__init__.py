"""Road-object detection for Python hosts.

Submodules:

- ``zorvane_road_objects.zorvane_robj_d``: the detector ``zv_road_object_detector``;
- ``zorvane_road_objects.zorvane_robj_p``: model provisioning, ``download_robj_model``;
- ``zorvane_road_objects.secret``: the security toolkit (``SecurityEngine``, ``KeyVault``,
  ``TokenEngine``);
- ``zorvane_road_objects.utils``: ``nms``.

Importing the package itself loads none of the native modules.
"""

__version__ = "0.1.0"
