"""Road-object detector: `zv_road_object_detector` turns BGR uint8 images into
detection records for eight road classes."""

import os as os
import sys as sys
import time as time
from types import TracebackType
from typing import Literal, SupportsFloat, SupportsIndex, TypedDict

from typing_extensions import disjoint_base

import cv2 as cv2
import numpy as np
import numpy.typing as npt
import onnxruntime as onnxruntime

from zorvane_road_objects.utils import nms as nms
from zorvane_road_objects.zorvane_robj_p import download_robj_model as download_robj_model

__all__ = ["zv_road_object_detector"]

_Float = SupportsFloat | SupportsIndex
_Image = npt.NDArray[np.uint8]

_DetectionRecord = TypedDict(
    "_DetectionRecord",
    {
        "ltrb": list[float],  # left, top, right, bottom in the caller's pixels
        "ltrb_conf": int,  # whole percent, truncated
        "class_id": int,  # 0 to 7
        "class": Literal[
            "person", "bicycle", "motorcycle", "car", "bus", "truck", "traffic_light", "stop_sign"
        ],
    },
)

class _DetectionResult(TypedDict):
    results: list[_DetectionRecord]
    ltrb_proc_sec: float  # seconds, rounded to three decimals

@disjoint_base
class zv_road_object_detector:
    def __init__(
        self,
        model_name: str | None,
        backend: str | None = "auto",
        conf_thres: _Float = 0.5,
        iou_thres: _Float = 0.5,
        *,
        threads: SupportsIndex | None = None,
    ) -> None:
        """Provision the model `model_name` ("small_fp32", "medium_fp32",
        "large_fp32") and build its engine on `backend` ("auto", "cuda",
        "directml", "cpu"). `threads` is passed to the engine; a value that is
        not a positive int raises TypeError or ValueError before the model is
        fetched. Raises ValueError "Model access denied", "Access denied" or
        "Model initialization failed"."""
    def __call__(self, img: _Image | None, /) -> _DetectionResult:
        """Detect road objects in a height x width x 3 BGR uint8 image (any
        strides, sides up to 8192, aspect ratio up to 100). Raises
        ValueError "Invalid input" or "Processing error"."""

@disjoint_base
class zv_robj_d:
    def __init__(
        self,
        model_path_byte: str | bytes | bytearray | None,
        conf_thres: _Float = 0.5,
        iou_thres: _Float = 0.5,
        model_name: str | None = "small",
        backend: str | None = "auto",
        *,
        threads: SupportsIndex | None = None,
    ) -> None:
        """The detection engine on a model file path or serialized model.
        `threads` (or, when None, the environment variable
        ZORVANE_ROBJ_THREADS) sets the session's intra-op threads, with one
        inter-op thread; unset, ONNX Runtime's defaults apply. Raises Exception("INVALID_DATA"), Exception("MODEL_LOAD_FAILED") or
        Exception("MODEL_DETAILS_FAILED")."""
    def detect_objects(self, image: _Image | None, /) -> _DetectionResult:
        """Raises Exception("INVALID_INPUT_IMAGE") for None and
        Exception("PROCESSING_FAILED") when the pipeline fails."""
    @property
    def conf_threshold(self) -> float: ...
    @conf_threshold.setter
    def conf_threshold(self, value: _Float) -> None: ...
    @property
    def iou_threshold(self) -> float: ...
    @iou_threshold.setter
    def iou_threshold(self, value: _Float) -> None: ...

@disjoint_base
class SuppressStderr:
    """Points the standard-error descriptor at the null device for a `with` block."""

    def __enter__(self) -> SuppressStderr: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]: ...
