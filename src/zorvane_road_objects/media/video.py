"""Video output.

``VideoSink(path, fps)`` writes BGR frames into an MP4 file: H.264 in
YUV 4:2:0 through PyAV when it is installed (the ``video`` extra; PyAV's
wheels carry an H.264 encoder), with the index at the front of the file so
that browsers play it while it downloads; otherwise MPEG-4 Part 2
(``mp4v``) through ``cv2.VideoWriter``, with a notice saying how to get
H.264.

The video has the size of the first frame. Both codecs need even sides:
a frame with an odd side gets one more row or column, a copy of its edge,
and a notice says so once. Later frames of another size are resized to the
first one's.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from fractions import Fraction

import numpy as np

__all__ = ["H264_ENCODERS", "VideoSink"]

DEFAULT_FPS = 25.0
# H.264 encoders tried in turn; PyAV's wheels ship libx264 (or OpenH264).
H264_ENCODERS = ("libx264", "h264", "libopenh264")
# Constant-quality level for x264: about the bit rate of typical camera
# footage, so an annotated copy is about the size of its source.
H264_CRF = 23
NO_H264 = ("install zorvane_road_objects[video] for H.264 (browser-playable) video; "
           "writing MPEG-4 Part 2 (mp4v), which browsers do not play")


def _h264_encoder() -> str | None:
    try:
        import av
    except ImportError:
        return None
    for name in H264_ENCODERS:
        try:
            av.codec.Codec(name, "w")
        except Exception:  # noqa: BLE001 - an encoder this build of FFmpeg lacks
            continue
        return name
    return None


class _AvWriter:
    """H.264 through PyAV."""

    def __init__(self, path: str, encoder: str, fps: float, size: tuple[int, int]):
        import av

        rate = Fraction(fps).limit_denominator(1001)
        self._av = av
        # The file is opened here so that a path that cannot be written fails
        # now; read access too, for moving the index to the front at the end.
        self.file = open(path, "w+b")  # noqa: SIM115 - closed in close()
        try:
            self.container = av.open(self.file, "w", format="mp4", options={"movflags": "+faststart"})
        except BaseException:
            self.file.close()
            raise
        try:
            stream = self.container.add_stream(encoder, rate=rate)
            stream.width, stream.height = size
            stream.pix_fmt = "yuv420p"
            if encoder == "libopenh264":
                stream.bit_rate = max(500_000, int(size[0] * size[1] * float(rate) * 0.1))
            else:
                stream.options = {"crf": str(H264_CRF), "preset": "faster"}
            self.stream = stream
        except BaseException:
            self.container.close()
            self.file.close()
            raise
        self.n = 0

    def write(self, image: np.ndarray) -> None:
        frame = self._av.VideoFrame.from_ndarray(image, format="bgr24")
        frame.pts = self.n
        self.n += 1
        self.container.mux(self.stream.encode(frame))

    def close(self) -> None:
        try:
            self.container.mux(self.stream.encode(None))
        finally:
            try:
                self.container.close()
            finally:
                self.file.close()


class _CvWriter:
    """MPEG-4 Part 2 through OpenCV."""

    def __init__(self, path: str, fourcc: str, fps: float, size: tuple[int, int]):
        import cv2

        self.writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*fourcc), fps, size)
        if not self.writer.isOpened():
            self.writer.release()
            raise OSError(f"cannot write video {path} ({fourcc}, {size[0]}x{size[1]})")

    def write(self, image: np.ndarray) -> None:
        self.writer.write(image)

    def close(self) -> None:
        self.writer.release()


class VideoSink:
    """Writes frames to ``path`` at ``fps``.

    ``codec``: "h264" (PyAV; OSError when it is missing), "mp4v" (OpenCV),
    or None: H.264 where PyAV has an encoder for it, else mp4v.
    ``notify(message)`` receives each notice as it arises (the fall-back to
    mp4v, padding to even sides); ``notices`` keeps them. ``codec``,
    ``size`` (the written size) and ``source_size`` (the first frame's size)
    are known once the first frame is written; ``frames`` counts them.
    """

    def __init__(self, path, fps: float | None = None, *, codec: str | None = None,
                 notify: Callable[[str], None] | None = None):
        self.path = os.fspath(path)
        self.fps = float(fps) if fps and fps > 0 else DEFAULT_FPS
        if codec not in (None, "h264", "mp4v"):
            raise ValueError(f"codec must be 'h264', 'mp4v' or None, not {codec!r}")
        self._want = codec
        self.codec: str | None = None
        self.notify = notify
        self.notices: list[str] = []
        self.size: tuple[int, int] | None = None
        self.source_size: tuple[int, int] | None = None
        self.frames = 0
        self._writer = None
        self._closed = False
        self._pad = (0, 0)

    def _notice(self, message: str) -> None:
        self.notices.append(message)
        if self.notify is not None:
            self.notify(message)

    def _open(self, width: int, height: int) -> None:
        parent = os.path.dirname(self.path)
        if parent:
            os.makedirs(parent, exist_ok=True)
        encoder = _h264_encoder() if self._want in (None, "h264") else None
        if encoder is None and self._want == "h264":
            raise OSError(f"cannot write H.264 video {self.path}: PyAV with an H.264 encoder is not installed")
        self._pad = (width % 2, height % 2)
        size = (width + self._pad[0], height + self._pad[1])
        if encoder is not None:
            try:
                self._writer = _AvWriter(self.path, encoder, self.fps, size)
            except OSError as exc:
                raise OSError(f"cannot write video {self.path}: {exc.strerror or exc}") from None
            except Exception as exc:  # noqa: BLE001 - FFmpeg's errors are many kinds
                raise OSError(f"cannot write video {self.path} (H.264, {size[0]}x{size[1]}): {exc}") from None
            self.codec = "h264"
        else:
            self._writer = _CvWriter(self.path, "mp4v", self.fps, size)
            self.codec = "mp4v"
            if self._want is None:
                self._notice(NO_H264)
        self.source_size, self.size = (width, height), size
        if any(self._pad):
            self._notice(f"{self.path}: frames of {width}x{height} are written as {size[0]}x{size[1]} "
                         f"(the {'H.264' if encoder else 'mp4v'} codec needs even sides; the added "
                         "row or column repeats the edge)")

    def write(self, image: np.ndarray) -> None:
        import cv2

        if not isinstance(image, np.ndarray) or image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 3:
            raise ValueError("frames must be H x W x 3 uint8 BGR images")
        if self._closed:
            raise ValueError(f"the video {self.path} is closed")
        h, w = image.shape[:2]
        if self._writer is None:
            self._open(w, h)
        elif (w, h) != self.source_size:
            image = cv2.resize(image, self.source_size, interpolation=cv2.INTER_AREA)
        if any(self._pad):
            image = cv2.copyMakeBorder(image, 0, self._pad[1], 0, self._pad[0], cv2.BORDER_REPLICATE)
        self._writer.write(np.ascontiguousarray(image))
        self.frames += 1

    def close(self) -> None:
        self._closed = True
        if self._writer is not None:
            writer, self._writer = self._writer, None
            writer.close()

    def __enter__(self) -> VideoSink:
        return self

    def __exit__(self, *exc) -> None:
        self.close()
