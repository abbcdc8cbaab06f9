"""Batch detection over many images into Parquet, on one machine or a Ray cluster.

    from zorvane_road_objects.batch import detect_dataset
"""

from zorvane_road_objects.batch.runner import BatchError, detect_dataset

__all__ = ["BatchError", "detect_dataset"]
