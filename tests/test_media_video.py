"""Video output: H.264 through PyAV with the index at the front, odd sizes
padded (and said once), and mp4v with a notice where PyAV is missing."""

from __future__ import annotations

import subprocess
import sys

import cv2
import numpy as np
import pytest

from _media import block_level, frame_image
from zorvane_road_objects.media.video import NO_H264, VideoSink

av = pytest.importorskip("av")


def read_back(path) -> tuple[str, str, list[np.ndarray], float]:
    with av.open(str(path)) as c:
        stream = c.streams.video[0]
        frames = [f.to_ndarray(format="bgr24") for f in c.decode(stream)]
        return stream.codec_context.name, stream.codec_context.pix_fmt, frames, float(stream.average_rate)


@pytest.mark.parametrize("size", [(320, 240), (321, 241), (320, 241)])
def test_h264_at_the_source_size_padded_to_even_sides(tmp_path, size):
    notes = []
    path = tmp_path / "out" / "a.mp4"
    with VideoSink(path, 12.0, notify=notes.append) as sink:
        for i in range(12):
            sink.write(cv2.resize(frame_image(i), size))
    codec, pix_fmt, frames, rate = read_back(path)
    even = (size[0] + size[0] % 2, size[1] + size[1] % 2)
    assert (codec, pix_fmt, rate, sink.codec, sink.frames) == ("h264", "yuv420p", 12.0, "h264", 12)
    assert [f.shape[1::-1] for f in frames] == [even] * 12 and sink.size == even and sink.source_size == size
    assert [round(block_level(f) / 7) for f in frames] == list(range(12))
    assert len(notes) == (0 if even == size else 1) and notes == sink.notices
    if even != size:
        assert "written as" in notes[0] and "even sides" in notes[0]
        last = frames[5]
        assert np.abs(last[:, -1].astype(int) - last[:, -2]).mean() < 8  # the edge repeated


def test_the_index_comes_before_the_frames(tmp_path):
    with VideoSink(tmp_path / "a.mp4", 10) as sink:
        for i in range(5):
            sink.write(frame_image(i))
    data = (tmp_path / "a.mp4").read_bytes()
    assert 0 < data.find(b"moov") < data.find(b"mdat")


def test_without_pyav_mp4v_with_a_notice(tmp_path):
    code = ("import sys; sys.modules['av'] = None\n"  # as if PyAV were not installed
            "import numpy as np\nfrom zorvane_road_objects.media.video import VideoSink\n"
            f"s = VideoSink({str(tmp_path / 'a.mp4')!r}, 10, notify=print)\n"
            "s.write(np.zeros((241, 321, 3), np.uint8)); s.close(); print(s.codec, s.size)\n"
            f"try:\n    VideoSink({str(tmp_path / 'b.mp4')!r}, 10, codec='h264').write(np.zeros((8, 8, 3), np.uint8))\n"
            "except OSError as e:\n    print('OSError', e)\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    lines = proc.stdout.splitlines()
    assert lines[0] == NO_H264 and "written as 322x242" in lines[1], proc.stderr
    assert lines[2] == "mp4v (322, 242)" and "PyAV with an H.264 encoder is not installed" in lines[3]
    cap = cv2.VideoCapture(str(tmp_path / "a.mp4"))
    assert (cap.get(3), cap.get(4), cap.get(cv2.CAP_PROP_FRAME_COUNT)) == (322, 242, 1)


def test_closed_sinks_and_bad_arguments(tmp_path):
    sink = VideoSink(tmp_path / "a.mp4", 10)
    sink.write(frame_image(0))
    sink.close()
    sink.close()
    with pytest.raises(ValueError, match="closed"):
        sink.write(frame_image(1))
    with pytest.raises(ValueError, match="codec"):
        VideoSink(tmp_path / "b.mp4", codec="vp9")
