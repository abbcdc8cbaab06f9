"""Helpers of the package's public API: ``nms``, greedy non-maximum suppression
(implemented in ``zorvane_road_objects.suppression``)."""

from zorvane_road_objects.suppression import nms

__all__ = ["nms"]
