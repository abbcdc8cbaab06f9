"""Batch detection over many images into Parquet, in this process or on a Ray cluster.

    from zorvane_road_objects.batch import detect_dataset
"""

from zorvane_road_objects.batch.runner import BatchError, BatchSummary, detect_dataset

__all__ = ["BatchError", "BatchSummary", "detect_dataset"]
