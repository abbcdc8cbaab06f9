"""Frame sources: video files, folders, globs, stream URLs over a loopback
HTTP server (well-behaved, cut mid-body, stalled) and sources that fail."""

from __future__ import annotations

import time

import cv2
import numpy as np
import pytest

from _httpd import Resource, TestServer, refused_url
from _media import block_level, frame_image, write_video
from zorvane_road_objects.media.sources import SourceError, StreamError, classify, open_source

N = 24


@pytest.fixture(scope="module")
def videos(tmp_path_factory):
    root = tmp_path_factory.mktemp("videos")
    return {
        "mp4": write_video(root / "clip.mp4", N),
        "avi": write_video(root / "clip.avi", N, fourcc="MJPG"),
    }


def levels(frames):
    return [round(block_level(f.image) / 7) for f in frames]


@pytest.mark.parametrize("kind", ["mp4", "avi"])
def test_video_file_frames_in_order_with_timestamps(videos, kind):
    with open_source(videos[kind]) as src:
        assert (src.fps, src.size) == (10.0, (320, 240))
        frames = list(src)
    assert [f.index for f in frames] == list(range(N))
    assert levels(frames) == list(range(N))  # the frames themselves, in order
    assert [f.timestamp for f in frames] == pytest.approx([i / 10 for i in range(N)])
    assert {f.name for f in frames} == {str(videos[kind])}
    assert frames[3].rel == "clip_000003.jpg"
    assert all(f.error is None and f.image.shape == (240, 320, 3) for f in frames)


@pytest.mark.parametrize("every, max_frames, expected", [
    (3, None, list(range(0, N, 3))),
    (1, 5, [0, 1, 2, 3, 4]),
    (5, 2, [0, 5]),
    (1, 0, []),
])
def test_every_and_max_frames(videos, every, max_frames, expected):
    frames = list(open_source(videos["mp4"], every=every, max_frames=max_frames))
    assert [f.index for f in frames] == expected
    assert levels(frames) == expected
    assert [f.timestamp for f in frames] == pytest.approx([i / 10 for i in expected])


@pytest.fixture
def image_folder(tmp_path):
    root = tmp_path / "imgs"
    (root / "b").mkdir(parents=True)
    for name, i in (("a1.jpg", 1), ("b/c.png", 2), ("z.bmp", 3)):
        cv2.imwrite(str(root / name), frame_image(i))
    (root / "broken.jpg").write_bytes(b"\xff\xd8 not a jpeg")
    return root


def test_folder_reports_unreadable_images_in_place(image_folder):
    frames = list(open_source(image_folder))
    names = [f.name.replace(str(image_folder), "") for f in frames]
    assert names == ["/a1.jpg", "/b/c.png", "/broken.jpg", "/z.bmp"]
    assert [f.index for f in frames] == [0, 1, 2, 3]
    assert frames[2].image is None and "cannot read image" in frames[2].error
    assert [round(block_level(f.image) / 7) for f in frames if f.error is None] == [1, 2, 3]
    assert all(f.timestamp is None for f in frames)


def test_glob_and_a_list_of_sources(image_folder, videos):
    # Each glob is one source, the video another; max_frames counts per source.
    src = open_source([str(image_folder / "*.jpg"), str(image_folder / "**" / "*.png"), videos["avi"]],
                      max_frames=6)
    assert src.expected_frames() == 2 + 1 + 6
    frames = list(src)
    assert [f.name.rsplit("/", 1)[-1] for f in frames] == ["a1.jpg", "broken.jpg", "c.png"] + ["clip.avi"] * 6
    assert [f.source for f in frames] == [0, 0, 1] + [2] * 6
    assert [f.index for f in frames] == [0, 1, 0, *range(6)]
    assert levels(frames[3:]) == list(range(6))


def test_missing_arguments_are_listed_and_the_rest_read(image_folder):
    src = open_source([image_folder / "a1.jpg", image_folder / "nope.jpg", str(image_folder / "*.gif")])
    assert [m for _, m in src.errors] == ["no such file or folder", "no files match the pattern"]
    assert len(list(src)) == 1


@pytest.mark.parametrize("source", ["7", 7, "http://x", "rtsp://cam/1", "clip.mp4", "a.jpg"])
def test_classify(source, videos, tmp_path):
    expected = {"7": "camera", 7: "camera", "http://x": "url", "rtsp://cam/1": "url",
                "clip.mp4": "video", "a.jpg": "images"}[source]
    arg = videos["mp4"] if source == "clip.mp4" else source
    assert classify(arg) == expected


def test_live_stream_url_has_wall_clock_timestamps(videos):
    # No video extension in the path: a live stream, stamped with the wall clock.
    with TestServer({"live": Resource(body=videos["avi"].read_bytes())}) as srv:
        frames = list(open_source(srv.url + "live"))
    assert levels(frames) == list(range(N))
    stamps = [f.timestamp for f in frames]
    assert stamps == sorted(stamps) and abs(stamps[0] - time.time()) < 60


def in_order_across_a_cut(got, requests):
    """Every frame is the one at its position, but the last one of the first
    connection: the reset can cut that frame's data short (where depends on
    when the reset overtakes the bytes in flight), and FFmpeg's MJPEG decoder
    may then hand back the picture before it. Frames of later connections
    must neither repeat nor skip any."""
    lv = levels(got)
    cut = max(i for i, r in enumerate(requests) if r == requests[0])
    assert [v for i, v in enumerate(lv) if i != cut] == [i for i in range(len(lv)) if i != cut], lv
    assert lv[cut] in (cut, cut - 1), lv


def test_stream_cut_mid_way_gives_the_frames_read_then_an_error(videos):
    body = videos["avi"].read_bytes()
    with TestServer({"cut": Resource(body=body, cut_after=len(body) // 2)}) as srv:
        got, requests = [], []
        t0 = time.monotonic()
        with pytest.raises(StreamError, match="gave up after 3 reconnect tries"):
            for f in open_source(srv.url + "cut", backoff=0.01):
                got.append(f)
                requests.append(srv.methods().count("GET"))
        # The reconnects were real new requests.
        assert srv.methods().count("GET") >= 4
    assert time.monotonic() - t0 < 30
    assert 0 < len(got) < N
    in_order_across_a_cut(got, requests)


def test_stream_that_comes_back_continues_where_it_was(videos):
    body = videos["avi"].read_bytes()
    with TestServer({"c": Resource(body=body, cut_after=len(body) // 2)}) as srv:
        got, requests = [], []
        for f in open_source(srv.url + "c", backoff=0.01):
            if not got:  # the server recovers for the next connection
                with srv.lock:
                    srv.resources["c"] = Resource(body=body)
            got.append(f)
            requests.append(srv.methods().count("GET"))
        assert srv.methods().count("GET") >= 2  # it did reconnect
    in_order_across_a_cut(got, requests)
    assert [f.index for f in got] == list(range(N))


def _failing_source(kind, tmp_path):
    if kind == "missing file":
        return str(tmp_path / "nothing.mp4"), "no such file or folder"
    if kind == "not a video":
        p = tmp_path / "fake.mp4"
        p.write_bytes(b"\x00\x00\x00\x18ftypmp42" + b"garbage" * 100)
        return str(p), "cannot open video file"
    if kind == "empty folder":
        (tmp_path / "empty").mkdir()
        return str(tmp_path / "empty"), "no image files found"
    if kind == "camera":
        return "97", "cannot open camera"
    if kind == "scheme":
        return "ftp://127.0.0.1/x.mp4", "unsupported URL scheme"
    if kind == "404 file":
        return "missing.mp4", "cannot open video file: the server answered HTTP 404"
    if kind == "404 stream":
        return "missing", "cannot open stream"
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["missing file", "not a video", "empty folder", "camera", "scheme",
                                  "404 file", "404 stream"])
def test_sources_that_cannot_be_opened(kind, tmp_path):
    source, message = _failing_source(kind, tmp_path)
    t0 = time.monotonic()
    if kind.startswith("404"):
        with TestServer({}) as srv, pytest.raises(SourceError, match=message):
            open_source(srv.url + source)
    else:
        with pytest.raises(SourceError, match=message):
            open_source(source)
    assert time.monotonic() - t0 < 30


@pytest.mark.parametrize("name, message", [("clip.avi", "cannot open video file"), ("live", "cannot open stream")])
def test_refused_and_stalled_urls_fail_instead_of_hanging(videos, name, message):
    url, sock = refused_url()
    try:
        with pytest.raises(SourceError, match=message):
            open_source(url + name)
    finally:
        sock.close()
    body = videos["avi"].read_bytes()
    with TestServer({name: Resource(body=body, chunk_delay=60)}) as srv:
        t0 = time.monotonic()
        with pytest.raises((SourceError, StreamError)):
            list(open_source(srv.url + name, open_timeout=1, read_timeout=1, backoff=0.01))
        assert time.monotonic() - t0 < 40


@pytest.mark.parametrize("kwargs", [{"every": 0}, {"every": 1.5}, {"max_frames": -1}])
def test_bad_options(videos, kwargs):
    with pytest.raises(ValueError):
        open_source(videos["mp4"], **kwargs)


def test_grey_video_frames_come_as_bgr(tmp_path):
    path = tmp_path / "grey.avi"
    w = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 5.0, (64, 48), False)
    for i in range(3):
        w.write(np.full((48, 64), 40 * i, np.uint8))
    w.release()
    frames = list(open_source(path))
    assert [f.image.shape for f in frames] == [(48, 64, 3)] * 3
