def download_robj_model(model_name: object) -> str:
    """Local path of the model file for ``model_name`` ("small_fp32",
    "medium_fp32" or "large_fp32"), downloaded or refreshed from the model
    server when needed; ValueError("Operation failed (drm)") when no usable
    file can be provided.

    A download is kept only when it is whole (the length the GET, else the
    HEAD, announced) and matches the server's Repr-Digest (sha-256 or
    sha-512) when one is sent; otherwise the earlier copy stays. The whole
    call takes at most ZORVANE_ROBJ_DOWNLOAD_TIMEOUT seconds (default 300);
    a caller with a usable copy waits only a few seconds for another
    download of the same file before it uses that copy."""
    ...
