"""Batch inputs that media decides about: folders holding FIFOs and bad
links become error entries, and @LIST files written with a byte-order mark."""

from __future__ import annotations

import os

import cv2
import pytest

from _media import frame_image
from zorvane_road_objects.batch.inputs import expand_inputs


def test_bad_entries_in_a_folder_become_error_entries(tmp_path):
    for name in ("a.jpg", "z.jpg"):
        cv2.imwrite(str(tmp_path / name), frame_image(1))
    if not hasattr(os, "mkfifo"):
        pytest.skip("no FIFOs here")
    os.mkfifo(tmp_path / "fifo.jpg")
    (tmp_path / "dangling.png").symlink_to(tmp_path / "gone.png")
    (tmp_path / "loop.png").symlink_to(tmp_path / "loop.png")
    got = expand_inputs([str(tmp_path), str(tmp_path / "fifo.jpg")])
    assert [os.path.basename(f) for f in got.files] == ["a.jpg", "z.jpg"]
    assert sorted((os.path.basename(p), m.split(" (")[0].split(":")[0]) for p, m in got.missing) == [
        ("dangling.png", "cannot read file"), ("fifo.jpg", "not a regular file"),
        ("loop.png", "cannot read file")]


def test_a_list_file_with_a_byte_order_mark_keeps_its_first_entry(tmp_path):
    for name in ("one.jpg", "two.jpg"):
        cv2.imwrite(str(tmp_path / name), frame_image(2))
    (tmp_path / "list.txt").write_text("one.jpg\r\ntwo.jpg\r\n", encoding="utf-8-sig")
    got = expand_inputs(["@" + str(tmp_path / "list.txt")])
    assert [os.path.basename(f) for f in got.files] == ["one.jpg", "two.jpg"] and got.missing == []
