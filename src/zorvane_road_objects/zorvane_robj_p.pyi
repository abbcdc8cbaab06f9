def download_robj_model(model_name: object) -> str:
    """Local path of the model file for ``model_name`` ("small_fp32",
    "medium_fp32" or "large_fp32"), downloaded or refreshed from the model
    server when needed; ValueError("Operation failed (drm)") when no usable
    file can be provided."""
    ...
