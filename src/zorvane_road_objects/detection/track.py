"""Multi-object tracking of detection records across frames.

``Tracker(conf=0.5)``: call ``update(detections, timestamp)`` once per frame,
in frame order, with that frame's ``Detection`` records (the detector run at
a low threshold, so that weak boxes reach the tracker). It returns the
records to show, each a copy with ``track_id`` set and the track's class:

1. Within a frame, a box that overlaps a stronger box of another class of
   its association group (the vehicle classes form one group, every other
   class its own) by ``duplicate_iou`` or more is folded into it: the
   detector suppresses per class, so one vehicle can come as both a car
   and a truck. The folded box votes for the class of the track.
2. Every track's box is predicted by a constant-velocity Kalman filter on
   (centre x, centre y, aspect ratio, height), then moved with the camera
   when the frame itself is given and the camera moved (``motion.py``:
   the background's shift, turn and zoom since the previous frame), so a
   panning, shaking or driving camera keeps its tracks.
3. Boxes at or above ``high`` are matched to the confirmed tracks, followed
   and lost, by an optimal assignment on IoU times the box's score, scaled
   by how alike the box and the track look when the frame is given and the
   track or the box has another candidate (``appearance``;
   ``appearance.py``). Pairs below ``match_iou`` on that
   scale and pairs of different groups are never matched; leaving a track
   or a box unmatched is always allowed, so one good pair is never traded
   for two poor ones.
4. Weak boxes (``low`` up to ``high``) are matched to the followed tracks
   left over, with the stricter ``second_iou``: a partly hidden object whose
   score drops keeps its track.
5. Tentative tracks are matched to the strong boxes left (``tentative_iou``,
   on the same scale as step 3);
   one that misses a frame is dropped, one matched on ``confirm`` frames in
   a row is confirmed.
6. Lost tracks are matched to the strong boxes still left by their last
   seen box, both boxes widened by ``recover_buffer`` of their size on
   every side (IoU ``recover_iou``): an object that comes out from behind
   another seldom keeps the speed its partly hidden boxes gave its filter,
   and it gets its own id back rather than a new one. Here and in step 3 a
   lost track is never matched to a box that looks unlike it.
7. A strong box left over at or above ``activation`` starts a tentative
   track (a confirmed one on a stream's first frame, which has no frame
   before it to confirm against: the rule ByteTrack keeps). A confirmed
   track not matched for more than ``lost_s`` seconds (from the frames'
   timestamps; frame count / ``fps`` when a frame has none) is dropped;
   one found again keeps its id. A lost track in the place of a followed
   one (IoU ``lost_duplicate_iou``) is a duplicate of it and goes (never
   the followed one: an object passing in front of a hidden one keeps its
   track).

Output: the boxes of confirmed tracks matched in this frame whose own score
is at or above ``conf``; weak boxes serve association only, and tentative
tracks are never shown, so tracking shows fewer boxes than plain detection.
A shown box is the detection's moved ``smooth`` of the way towards the
track's filtered box (0 shows the detection's box as it is).
A track's class is the score-weighted vote over all its boxes.

Large frames stay near-linear: candidate pairs come from a grid of box
overlaps, never from a dense tracks x boxes matrix, and the assignment runs
per connected group of candidates.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterable, Sequence

import numpy as np
from scipy.optimize import linear_sum_assignment
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components

from zorvane_road_objects.detection import appearance
from zorvane_road_objects.detection.motion import (CameraMotion, Features, features, frame_size, thumbnail,
                                                   warp_boxes)
from zorvane_road_objects.detection.records import Detection, as_detections
from zorvane_road_objects.facts import CLASS_NAMES, VEHICLE_CLASS_IDS

__all__ = ["ACTIVATION", "APPEARANCE", "CONFIRM", "DEFAULT_FPS", "FrameView", "LOST_S", "LOW", "SMOOTH", "Tracker",
           "assign", "iou_pairs", "overlap_pairs"]

# Defaults, chosen on real pedestrian sequences (benchmarks/bench_tracking.py)
# next to ByteTrack's published settings: a track starts at 0.6, boxes from
# 0.5 are matched first and weak ones down to 0.1 continue followed tracks;
# two frames in a row confirm a track; a lost track waits one second.
ACTIVATION = 0.6
HIGH = 0.5
LOW = 0.1
CONFIRM = 2
LOST_S = 1.0
# A shown box is the detection's moved this share of the way to the track's
# filtered box: less jitter from frame to frame, and closer to the object.
SMOOTH = 0.3
# How much a box's look (appearance.py) weighs in the first matching pass
# where a track or a box has rivals: IoU x score is scaled by 1 - APPEARANCE
# + APPEARANCE x (the track's look . the box's), so that of two people
# crossing each keeps their own track.
APPEARANCE = 0.5
_LOOK_KEEP = 0.9  # a track's look: running average, this share kept each frame
# A lost track comes back only to a box that looks like it, by at least this
# much (when both have a look): someone else stepping into the place where
# it was lost starts a track of their own.
_RECOVER_LOOK = 0.6
_THUMB = 480  # width of the copy of the frame that motion and looks are measured on
DEFAULT_FPS = 30.0
_DENSE = 1 << 12  # box pairs up to which overlaps are found densely
_DENSE_ASSIGN = 1 << 12  # rows x columns up to which one dense assignment runs


# ---------------------------------------------------------------------------
# Overlaps and assignment


def _area(b: np.ndarray) -> np.ndarray:
    return np.clip(b[:, 2] - b[:, 0], 0, None) * np.clip(b[:, 3] - b[:, 1], 0, None)


def _grid_pairs(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Candidate pairs of boxes that share a grid cell (a superset of the
    overlapping pairs), with cells about the size of a typical box."""
    both = np.concatenate([a, b])
    size = float(np.median(np.maximum(both[:, 2] - both[:, 0], both[:, 3] - both[:, 1])))
    size = max(size, 1.0)
    lo = np.floor(both[:, :2] / size).astype(np.int64)
    hi = np.floor(both[:, 2:] / size).astype(np.int64)
    span = hi - lo + 1
    count = span[:, 0] * span[:, 1]
    owner = np.repeat(np.arange(len(both)), count)
    first = np.repeat(np.cumsum(count) - count, count)
    k = np.arange(owner.size) - first
    cx = lo[owner, 0] + k % span[owner, 0]
    cy = lo[owner, 1] + k // span[owner, 0]
    cell = (cx - cx.min()) * (int(cy.max() - cy.min()) + 1) + (cy - cy.min())
    in_a = owner < len(a)
    ca, oa = cell[in_a], owner[in_a]
    cb, ob = cell[~in_a], owner[~in_a] - len(a)
    order = np.argsort(cb, kind="stable")
    cb, ob = cb[order], ob[order]
    start = np.searchsorted(cb, ca, "left")
    stop = np.searchsorted(cb, ca, "right")
    n = stop - start
    i = np.repeat(oa, n)
    j = ob[np.repeat(start, n) + (np.arange(n.sum()) - np.repeat(np.cumsum(n) - n, n))]
    key = np.unique(i * len(b) + j)
    return key // len(b), key % len(b)


def overlap_pairs(a, b) -> tuple[np.ndarray, np.ndarray]:
    """Index pairs (i, j) of the ltrb boxes ``a[i]`` and ``b[j]`` that overlap."""
    a = np.asarray(a, dtype=np.float64).reshape(-1, 4)
    b = np.asarray(b, dtype=np.float64).reshape(-1, 4)
    if not len(a) or not len(b):
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    if len(a) * len(b) <= _DENSE:
        i, j = np.nonzero((np.minimum(a[:, None, 2], b[None, :, 2]) > np.maximum(a[:, None, 0], b[None, :, 0]))
                          & (np.minimum(a[:, None, 3], b[None, :, 3]) > np.maximum(a[:, None, 1], b[None, :, 1])))
        return i, j
    i, j = _grid_pairs(a, b)
    inter = _inter(a[i], b[j])
    return i[inter > 0], j[inter > 0]


def _inter(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    w = np.minimum(a[:, 2], b[:, 2]) - np.maximum(a[:, 0], b[:, 0])
    h = np.minimum(a[:, 3], b[:, 3]) - np.maximum(a[:, 1], b[:, 1])
    return np.clip(w, 0, None) * np.clip(h, 0, None)


def iou_pairs(a, b, min_iou: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Pairs (i, j, iou) of boxes of ``a`` and ``b`` with IoU at or above ``min_iou`` (> 0)."""
    a = np.asarray(a, dtype=np.float64).reshape(-1, 4)
    b = np.asarray(b, dtype=np.float64).reshape(-1, 4)
    gate = max(min_iou, 1e-12)
    if len(a) * len(b) <= _DENSE:
        w = np.minimum(a[:, None, 2], b[None, :, 2]) - np.maximum(a[:, None, 0], b[None, :, 0])
        h = np.minimum(a[:, None, 3], b[None, :, 3]) - np.maximum(a[:, None, 1], b[None, :, 1])
        inter = np.maximum(w, 0) * np.maximum(h, 0)
        union = ((a[:, 2] - a[:, 0]) * (a[:, 3] - a[:, 1]))[:, None] + (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1]) - inter
        iou = inter / np.maximum(union, 1e-12)
        i, j = np.nonzero(iou >= gate)
        return i, j, iou[i, j]
    i, j = overlap_pairs(a, b)
    inter = _inter(a[i], b[j])
    union = _area(a)[i] + _area(b)[j] - inter
    iou = np.where(union > 0, inter / np.where(union > 0, union, 1.0), 0.0)
    keep = iou >= gate
    return i[keep], j[keep], iou[keep]


def assign(rows: np.ndarray, cols: np.ndarray, cost: np.ndarray, limit: float,
           shape: tuple[int, int] | None = None) -> tuple[np.ndarray, np.ndarray]:
    """One-to-one pairs among the allowed (row, column, cost) triples that
    maximise the total of ``limit - cost`` over the pairs taken: a pair
    costing ``limit`` or more is never taken, and leaving a row or a column
    out is always allowed. ``shape``: the number of rows and columns (by
    default one more than the largest index). Returns the rows and columns
    paired. Small problems are solved as one dense matrix, large ones per
    connected group of allowed pairs."""
    rows, cols = np.asarray(rows, np.int64), np.asarray(cols, np.int64)
    keep = np.asarray(cost, np.float64) < limit
    rows, cols, gain = rows[keep], cols[keep], np.asarray(cost, np.float64)[keep] - limit
    if not len(rows):
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    if shape is None:
        shape = (int(rows.max()) + 1, int(cols.max()) + 1)
    if shape[0] * shape[1] <= _DENSE_ASSIGN:
        return _solve_dense(rows, cols, gain, shape)
    # A pair whose row and column have no other pair is taken as it is.
    alone = (np.bincount(rows, minlength=shape[0])[rows] == 1) & (np.bincount(cols, minlength=shape[1])[cols] == 1)
    out_r, out_c = [rows[alone]], [cols[alone]]
    rows, cols, gain = rows[~alone], cols[~alone], gain[~alone]
    ur, ri = np.unique(rows, return_inverse=True)
    uc, ci = np.unique(cols, return_inverse=True)
    if len(ur) * len(uc) <= _DENSE_ASSIGN:
        groups = [np.arange(len(rows))]
    else:
        n = len(ur) + len(uc)
        graph = coo_matrix((np.ones(len(rows)), (ri, ci + len(ur))), shape=(n, n))
        _, label = connected_components(graph, directed=False)
        order = np.argsort(label[ri], kind="stable")
        groups = np.split(order, np.flatnonzero(np.diff(label[ri][order])) + 1)
    for e in groups:
        if not len(e):
            continue
        gr, gri = np.unique(ri[e], return_inverse=True)
        gc, gci = np.unique(ci[e], return_inverse=True)
        r, c = _solve_dense(gri, gci, gain[e], (len(gr), len(gc)))
        out_r.append(ur[gr[r]])
        out_c.append(uc[gc[c]])
    return np.concatenate(out_r), np.concatenate(out_c)


def _solve_dense(rows, cols, gain, shape) -> tuple[np.ndarray, np.ndarray]:
    # Pairs not allowed cost 0, as leaving both out does.
    m = np.zeros(shape)
    m[rows, cols] = gain
    r, c = linear_sum_assignment(m)
    taken = m[r, c] < 0
    return r[taken], c[taken]


# ---------------------------------------------------------------------------
# Motion: a constant-velocity Kalman filter per track on (cx, cy, aspect,
# height) and their speeds. The noises are diagonal, so every coordinate
# with its speed is an independent 2 x 2 filter: all tracks at once, element-wise.

_W_POS = 1.0 / 20
_W_VEL = 1.0 / 160
_Q_POS = np.array([_W_POS, _W_POS, 0.0, _W_POS])
_Q_VEL = np.array([_W_VEL, _W_VEL, 0.0, _W_VEL])
_ASPECT_Q = (1e-2, 1e-5)
_R = np.array([_W_POS, _W_POS, 0.0, _W_POS])
_ASPECT_R = 1e-1


def _widen(b: np.ndarray, k: float) -> np.ndarray:
    """ltrb boxes grown by ``k`` times their width and height on every side."""
    w, h = b[:, 2] - b[:, 0], b[:, 3] - b[:, 1]
    return b + k * np.stack([-w, -h, w, h], axis=1)


def _xyah(b: np.ndarray) -> np.ndarray:
    w = np.maximum(b[:, 2] - b[:, 0], 1e-3)
    h = np.maximum(b[:, 3] - b[:, 1], 1e-3)
    return np.stack([b[:, 0] + w / 2, b[:, 1] + h / 2, w / h, h], axis=1)


def _ltrb(x: np.ndarray) -> np.ndarray:
    half = np.empty((len(x), 2))  # half width, half height
    np.maximum(x[:, 3], 1e-3, out=half[:, 1])
    np.multiply(np.maximum(x[:, 2], 1e-6), half[:, 1], out=half[:, 0])
    half *= 0.5
    return np.concatenate([x[:, :2] - half, x[:, :2] + half], axis=1)


def _noise(h: np.ndarray, w: np.ndarray, aspect: float) -> np.ndarray:
    out = np.square(h[:, None] * w[None, :])
    out[:, 2] = aspect ** 2
    return out


class _Tracks:
    """Every track's state as arrays (one row per track)."""

    def __init__(self, n_classes: int):
        self.n_classes = n_classes
        self.pos = np.zeros((0, 4))
        self.vel = np.zeros((0, 4))
        self.p00 = np.zeros((0, 4))
        self.p01 = np.zeros((0, 4))
        self.p11 = np.zeros((0, 4))
        self.ids = np.zeros(0, np.int64)
        self.hits = np.zeros(0, np.int64)  # frames matched
        self.seen = np.zeros(0)  # timestamp of the last match
        self.confirmed = np.zeros(0, bool)
        self.followed = np.zeros(0, bool)  # matched in the previous frame
        self.group = np.zeros(0, np.int64)
        self.votes = np.zeros((0, n_classes))
        self.last = np.zeros((0, 4))  # the last box matched (ltrb)
        self.look = np.zeros((0, appearance.SIZE))  # unit vectors (appearance.py)
        self.has_look = np.zeros(0, bool)

    def __len__(self) -> int:
        return len(self.ids)

    def boxes(self) -> np.ndarray:
        return _ltrb(self.pos)

    def predict(self) -> None:
        self.vel[~self.followed, 3] = 0.0  # a lost track keeps its size
        h = self.pos[:, 3]
        q_pos = _noise(h, _Q_POS, _ASPECT_Q[0])
        q_vel = _noise(h, _Q_VEL, _ASPECT_Q[1])
        self.pos = self.pos + self.vel
        self.p00 = self.p00 + 2 * self.p01 + self.p11 + q_pos
        self.p01 = self.p01 + self.p11
        self.p11 = self.p11 + q_vel

    def correct(self, idx: np.ndarray, boxes: np.ndarray) -> None:
        z = _xyah(boxes)
        r = _noise(self.pos[idx, 3], _R, _ASPECT_R)
        p00, p01 = self.p00[idx], self.p01[idx]
        s = p00 + r
        k0, k1 = p00 / s, p01 / s
        y = z - self.pos[idx]
        self.pos[idx] += k0 * y
        self.vel[idx] += k1 * y
        self.p11[idx] -= k1 * p01
        self.p01[idx] = (1 - k0) * p01
        self.p00[idx] = (1 - k0) * p00

    def add(self, ids, boxes, groups, classes, scores, now) -> None:
        n = len(ids)
        z = _xyah(boxes)
        h = z[:, 3]
        self.pos = np.concatenate([self.pos, z])
        self.vel = np.concatenate([self.vel, np.zeros((n, 4))])
        self.p00 = np.concatenate([self.p00, _noise(h, 2 * _Q_POS, 1e-2)])
        self.p01 = np.concatenate([self.p01, np.zeros((n, 4))])
        self.p11 = np.concatenate([self.p11, _noise(h, 10 * _Q_VEL, 1e-5)])
        self.ids = np.concatenate([self.ids, ids])
        self.hits = np.concatenate([self.hits, np.ones(n, np.int64)])
        self.seen = np.concatenate([self.seen, np.full(n, now)])
        self.confirmed = np.concatenate([self.confirmed, np.zeros(n, bool)])
        self.followed = np.concatenate([self.followed, np.ones(n, bool)])
        self.group = np.concatenate([self.group, groups])
        votes = np.zeros((n, self.n_classes))
        votes[np.arange(n), classes] = scores
        self.votes = np.concatenate([self.votes, votes])
        self.last = np.concatenate([self.last, boxes])
        self.look = np.concatenate([self.look, np.zeros((n, appearance.SIZE))])
        self.has_look = np.concatenate([self.has_look, np.zeros(n, bool)])

    def warp(self, m: np.ndarray) -> None:
        """Move every track by the camera's motion ``m`` (a 2 x 3 similarity):
        centres mapped, speeds turned and sizes scaled with it."""
        s = float(np.hypot(m[0, 0], m[1, 0]))
        self.pos[:, :2] = self.pos[:, :2] @ m[:, :2].T + m[:, 2]
        self.vel[:, :2] = self.vel[:, :2] @ m[:, :2].T
        self.pos[:, 3] *= s
        self.vel[:, 3] *= s
        grow = np.array([s * s, s * s, 1.0, s * s])
        self.p00 *= grow
        self.p01 *= grow
        self.p11 *= grow
        self.last = warp_boxes(m, self.last)

    def keep(self, mask: np.ndarray) -> None:
        for name in ("pos", "vel", "p00", "p01", "p11", "ids", "hits", "seen",
                     "confirmed", "followed", "group", "votes", "last", "look", "has_look"):
            setattr(self, name, getattr(self, name)[mask])


# ---------------------------------------------------------------------------


@dataclasses.dataclass
class _Frame:
    """One frame's usable records as arrays."""

    recs: list
    boxes: np.ndarray
    scores: np.ndarray  # whole percent
    classes: np.ndarray
    groups: np.ndarray
    index: np.ndarray  # of each record among the ones given
    given: int  # how many records were given


@dataclasses.dataclass(frozen=True)
class FrameView:
    """What the tracker takes from one frame's picture (``Tracker.prepare``):
    the frame's size, the camera-motion features, and the look of every
    record at or above ``high`` (rows in the order the records were given)."""

    size: tuple[int, int]
    records: int
    motion: Features | None
    looks: np.ndarray | None
    described: np.ndarray | None


class Tracker:
    """See the module notes. Thresholds are scores in 0-1 (records carry
    whole percents, compared with the threshold's whole percent): ``conf``
    for what is shown, ``activation`` to start a track, ``high`` and ``low``
    for the two matching passes (``low`` is also what the detector must run
    at: the ``low`` attribute). ``fuse``: weigh the first pass's IoU by the
    box's score. ``recover_buffer``, ``recover_iou``: the search for lost
    tracks by their last boxes (0 turns it off). ``smooth``: how far a shown
    box moves towards its track's filtered box. ``appearance``: the weight
    of how alike a box and a track look, given the frames (0: boxes alone).
    ``camera_motion``: measure the camera's own motion on the frames given
    to ``update`` and take it out (off: the camera is taken to stand
    still). ``vehicle_classes``: class ids associated as one. ``prepare``
    takes what ``update`` needs from a frame's picture ahead of time, on
    any thread."""

    def __init__(self, conf: float = 0.5, *, activation: float = ACTIVATION, high: float = HIGH,
                 low: float = LOW, confirm: int = CONFIRM, lost_s: float = LOST_S,
                 fps: float = DEFAULT_FPS, match_iou: float = 0.2, second_iou: float = 0.5,
                 tentative_iou: float = 0.3, duplicate_iou: float = 0.7, lost_duplicate_iou: float = 0.85,
                 recover_buffer: float = 0.5, recover_iou: float = 0.3, smooth: float = SMOOTH,
                 appearance: float = APPEARANCE, fuse: bool = True, camera_motion: bool = True,
                 vehicle_classes: Iterable[int] = VEHICLE_CLASS_IDS, class_names: Sequence[str] = CLASS_NAMES):
        for name, v in (("conf", conf), ("activation", activation), ("high", high), ("low", low)):
            if not 0.0 <= v <= 1.0:
                raise ValueError(f"{name} must be between 0 and 1, got {v!r}")
        if not (isinstance(confirm, int) and confirm >= 1):
            raise ValueError(f"confirm must be a whole number >= 1, got {confirm!r}")
        if not (lost_s >= 0 and math.isfinite(lost_s)):
            raise ValueError(f"lost_s must be a number of seconds >= 0, got {lost_s!r}")
        if not (fps > 0 and math.isfinite(fps)):
            raise ValueError(f"fps must be a frame rate > 0, got {fps!r}")
        pct = lambda v: math.floor(v * 100 + 1e-9)  # noqa: E731
        self.conf_pct, self.activation_pct = pct(conf), pct(activation)
        self.low_pct = min(pct(low), self.conf_pct)
        # The threshold the detector has to run at for this tracker.
        self.low = self.low_pct / 100.0
        self.high_pct = max(pct(high), self.low_pct)
        self.confirm, self.lost_s, self.fps = confirm, float(lost_s), float(fps)
        self.match_iou, self.second_iou = float(match_iou), float(second_iou)
        self.fuse, self.tentative_iou = bool(fuse), float(tentative_iou)
        self.duplicate_iou, self.lost_duplicate_iou = float(duplicate_iou), float(lost_duplicate_iou)
        if not (recover_buffer >= 0 and math.isfinite(recover_buffer)):
            raise ValueError(f"recover_buffer must be a size factor >= 0, got {recover_buffer!r}")
        self.recover_buffer, self.recover_iou = float(recover_buffer), float(recover_iou)
        if not 0.0 <= smooth <= 1.0:
            raise ValueError(f"smooth must be between 0 and 1, got {smooth!r}")
        self.smooth = float(smooth)
        if not 0.0 <= appearance <= 1.0:
            raise ValueError(f"appearance must be between 0 and 1, got {appearance!r}")
        self.appearance = float(appearance)
        self.class_names = tuple(class_names)
        vehicles = set(vehicle_classes)
        # One association group for the vehicle classes, one per other class.
        self._group = np.array([-1 if c in vehicles else c for c in range(len(self.class_names))], np.int64)
        self._motion = CameraMotion() if camera_motion else None
        self._next_id = 1
        self.reset()

    @property
    def camera_motion(self) -> bool:
        """Whether ``update`` takes the camera's motion out, given the frames."""
        return self._motion is not None

    @property
    def uses_frames(self) -> bool:
        """Whether ``update`` makes use of the frames themselves."""
        return self._motion is not None or self.appearance > 0

    def reset(self) -> None:
        """Forget all tracks (ids keep counting up)."""
        self.tracks = _Tracks(len(self.class_names))
        self._extent = np.zeros(2)  # the frame's width and height, as far as known
        if self._motion is not None:
            self._motion.reset()
        self._now: float | None = None  # the clock of the last update, seconds

    # -- one frame ---------------------------------------------------------

    def _clock(self, timestamp) -> float:
        """Seconds since the first update: the frame's timestamp, or one frame
        (1 / ``fps``) on from the last update when the frame has none or its
        timestamp does not move forward (a stream that restarted its clock)."""
        if self._now is None:
            now = 0.0 if timestamp is None or not math.isfinite(timestamp) else float(timestamp)
        elif timestamp is None or not math.isfinite(timestamp) or timestamp <= self._now:
            now = self._now + 1.0 / self.fps
        else:
            now = float(timestamp)
        self._now = now
        return now

    def _records(self, detections) -> tuple[list, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """The records as given, their boxes, scores and classes as arrays,
        and which of them the tracker can use."""
        recs = as_detections(detections)
        try:
            boxes = np.array([d.ltrb for d in recs], np.float64).reshape(len(recs), 4)
        except ValueError:
            raise ValueError("every detection needs ltrb: four numbers left, top, right, bottom") from None
        scores = np.fromiter((d.ltrb_conf for d in recs), np.float64, len(recs))
        classes = np.fromiter((d.class_id for d in recs), np.int64, len(recs))
        ok = (np.isfinite(boxes).all(axis=1) & (boxes[:, 2] > boxes[:, 0]) & (boxes[:, 3] > boxes[:, 1])
              & (classes >= 0) & (classes < len(self.class_names)) & (scores >= self.low_pct))
        return recs, boxes, scores, classes, ok

    def _frame(self, detections) -> _Frame:
        recs, boxes, scores, classes, ok = self._records(detections)
        given = len(recs)
        index = np.flatnonzero(ok)
        if len(index) < given:
            recs = [recs[i] for i in index.tolist()]
            boxes, scores, classes = boxes[ok], scores[ok], classes[ok]
        return _Frame(recs, boxes, scores, classes, self._group[classes], index, given)

    def prepare(self, frame: np.ndarray, detections=()) -> FrameView:
        """What ``update`` takes from ``frame``'s picture, for these
        ``detections`` of it: give the result to ``update`` as its ``frame``
        with the same records in the same order. It needs no earlier frame
        and reads only the tracker's settings, so worker threads can
        prepare frames side by side."""
        size = frame_size(frame)
        _, boxes, scores, _, ok = self._records(detections)
        strong = np.flatnonzero(ok & (scores >= self.high_pct))
        found = features(frame, boxes[strong]) if self._motion is not None else None
        looks = described = None
        if self.appearance:
            small, scale = thumbnail(frame, _THUMB)
            looks = np.zeros((len(boxes), appearance.SIZE))
            described = np.zeros(len(boxes), bool)
            looks[strong], described[strong] = appearance.describe(small, boxes[strong] * scale)
        return FrameView(size, len(boxes), found, looks, described)

    def _fold_duplicates(self, f: _Frame) -> np.ndarray:
        """Index of the box each box is folded into (itself when kept)."""
        into = np.arange(len(f.recs))
        if len(np.unique(f.classes)) == len(np.unique(f.groups)):
            return into  # one class per group: nothing to fold
        i, j, _ = iou_pairs(f.boxes, f.boxes, self.duplicate_iou)
        same = (i < j) & (f.groups[i] == f.groups[j]) & (f.classes[i] != f.classes[j])
        if not same.any():
            return into
        i, j = i[same], j[same]
        order = np.lexsort((np.arange(len(f.recs)), -f.scores))  # strongest first
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        stronger = np.where(rank[i] < rank[j], i, j)
        weaker = np.where(rank[i] < rank[j], j, i)
        for _, s, w in sorted(zip(rank[stronger].tolist(), stronger.tolist(), weaker.tolist())):
            if into[s] == s and into[w] == w:  # greedy, strongest first
                into[w] = s
        return into

    def update(self, detections, timestamp: float | None = None, frame: np.ndarray | None = None) -> list:
        """One frame's records in (``Detection`` objects or the detector's
        dicts, any order); the shown ones out as ``Detection`` objects, in
        input order, with ``track_id`` and the track's voted class.
        ``timestamp``: the frame's time in seconds (see ``_clock``).
        ``frame``: the image itself (BGR or grey, uint8) or what ``prepare``
        took from it, on which the camera's own motion is measured and taken
        out of the tracks' predictions (``motion.py``) and the boxes' looks
        are compared (``appearance.py``); without it the camera is taken to
        stand still and tracks are matched by their boxes alone."""
        if frame is not None and not isinstance(frame, FrameView):
            detections = as_detections(detections)  # read once: it may be an iterator
            frame = self.prepare(frame, detections)
        opening = self._now is None  # the stream's first frame: nothing to confirm against
        now = self._clock(timestamp)
        f = self._frame(detections)
        into = self._fold_duplicates(f)
        kept = into == np.arange(len(into))
        strong = kept & (f.scores >= self.high_pct)
        self.tracks.predict()
        look = self._see(frame, f, strong)
        t_of_d, free_t = self._associate(f, strong, kept & ~strong, look)
        self._learn(f, into, t_of_d, free_t, now, look)
        self._start(f, strong, t_of_d, now, opening, look)
        return self._output(f, t_of_d)

    def _see(self, view: FrameView | None, f: _Frame, strong: np.ndarray) -> tuple | None:
        """What the frame itself tells: the camera's motion, taken out of the
        tracks at once, and the strong boxes' looks, as (vectors, described)
        per box (None without a frame or with looks off)."""
        if view is None:
            if len(f.boxes):
                self._extent = np.maximum(self._extent, f.boxes[:, 2:].max(axis=0))
            return None
        if view.records != f.given:
            raise ValueError(f"the frame was prepared for {view.records} detections, not these {f.given}: "
                             "give update the records that prepare was given")
        self._extent = np.array(view.size, np.float64)
        if self._motion is not None and view.motion is None:
            self._motion.reset()  # prepared without: measure again from the next frame
        elif self._motion is not None:
            warp = self._motion.step(view.motion)
            if warp is not None and len(self.tracks):
                self.tracks.warp(warp)
        if not self.appearance or view.looks is None:
            return None
        return view.looks[f.index], view.described[f.index] & strong

    def _associate(self, f: _Frame, strong: np.ndarray, weak: np.ndarray, look) -> tuple:
        """Match tracks and boxes (module notes, steps 3 to 6): the track
        row of every box (-1: none) and which tracks are left unmatched."""
        tr = self.tracks
        n = len(tr)
        # Every candidate pair of a track and a box, once.
        ti, di, iou = iou_pairs(tr.boxes(), f.boxes, min(self.match_iou, self.second_iou, self.tentative_iou))
        same = tr.group[ti] == f.groups[di]
        ti, di, iou = ti[same], di[same], iou[same]
        fused = iou * f.scores[di] / 100.0 if self.fuse else iou
        if look is not None:
            fused = self._weigh_looks(ti, di, fused, strong, look)
        t_of_d = np.full(len(f.recs), -1, np.int64)
        free_t = np.ones(n, bool)

        def stage(tracks: np.ndarray, boxes: np.ndarray, sim: np.ndarray, min_iou: float) -> None:
            sel = tracks[ti] & free_t[ti] & boxes[di] & (t_of_d[di] < 0)
            r, c = assign(ti[sel], di[sel], 1.0 - sim[sel], 1.0 - min_iou, (n, len(f.recs)))
            t_of_d[c] = r
            free_t[r] = False

        stage(tr.confirmed, strong, fused, self.match_iou)
        stage(tr.confirmed & tr.followed, weak, iou, self.second_iou)
        stage(~tr.confirmed, strong, fused, self.tentative_iou)
        self._recover(f, strong, t_of_d, free_t, look)
        return t_of_d, free_t

    def _weigh_looks(self, ti: np.ndarray, di: np.ndarray, fused: np.ndarray, strong: np.ndarray,
                     look) -> np.ndarray:
        """The pairs' similarities with the looks taken in: between rivals
        (a pair whose track or box has another candidate) scaled by how
        alike they look; a lone pair keeps its overlap alone, so a change of
        light or pose never splits a track. A lost track is never matched to
        a box that looks unlike it."""
        tr = self.tracks
        described = np.flatnonzero(tr.has_look[ti] & look[1][di])
        alike = np.einsum("ij,ij->i", tr.look[ti[described]], look[0][di[described]])
        rivals = strong[di]
        per_track = np.bincount(ti[rivals], minlength=len(tr))
        per_box = np.bincount(di[rivals], minlength=len(strong))
        contested = (per_track[ti[described]] > 1) | (per_box[di[described]] > 1)
        fused = fused.copy()
        fused[described[contested]] *= 1.0 - self.appearance + self.appearance * alike[contested]
        fused[described[(alike < _RECOVER_LOOK) & ~tr.followed[ti[described]]]] = 0.0
        return fused

    def _learn(self, f: _Frame, into: np.ndarray, t_of_d: np.ndarray, free_t: np.ndarray, now: float,
               look) -> None:
        """Update the matched tracks (filter, last box, class votes, looks),
        then drop the dead ones; renumbers ``t_of_d``."""
        tr = self.tracks
        hit = np.flatnonzero(t_of_d >= 0)
        if len(hit):
            t = t_of_d[hit]
            tr.correct(t, f.boxes[hit])
            tr.last[t] = f.boxes[hit]
            tr.seen[t] = now
            tr.hits[t] += 1
            tr.confirmed[t] |= tr.hits[t] >= self.confirm
            # Every box folded into a matched one votes for the same track.
            voter = np.flatnonzero(t_of_d[into] >= 0)
            np.add.at(tr.votes, (t_of_d[into[voter]], f.classes[voter]), f.scores[voter])
            if look is not None:
                seen = look[1][hit]
                t, d = t[seen], hit[seen]
                mixed = np.where(tr.has_look[t, None], _LOOK_KEEP * tr.look[t] + (1 - _LOOK_KEEP) * look[0][d],
                                 look[0][d])
                tr.look[t] = mixed / np.maximum(np.linalg.norm(mixed, axis=1, keepdims=True), 1e-12)
                tr.has_look[t] = True
        tr.followed = ~free_t
        alive = tr.followed | (tr.confirmed & (now - tr.seen <= self.lost_s))
        self._drop(alive, t_of_d)

    def _start(self, f: _Frame, strong: np.ndarray, t_of_d: np.ndarray, now: float, opening: bool,
               look) -> None:
        """Start tracks from the strong boxes left at or above ``activation``."""
        born = np.flatnonzero(strong & (t_of_d < 0) & (f.scores >= self.activation_pct))
        if len(born):
            # New ids in an order of the boxes themselves, not of the input.
            b = f.boxes[born]
            born = born[np.lexsort((b[:, 3], b[:, 2], b[:, 1], b[:, 0], -f.scores[born]))]
            ids = np.arange(self._next_id, self._next_id + len(born))
            self._next_id += len(born)
            self.tracks.add(ids, f.boxes[born], f.groups[born], f.classes[born], f.scores[born], now)
            if look is not None:
                self.tracks.look[-len(born):] = look[0][born]
                self.tracks.has_look[-len(born):] = look[1][born]
            if self.confirm <= 1 or opening:
                self.tracks.confirmed[-len(born):] = True
            t_of_d[born] = len(self.tracks) - len(born) + np.arange(len(born))

    def _recover(self, f: _Frame, strong: np.ndarray, t_of_d: np.ndarray, free_t: np.ndarray, look) -> None:
        """Match lost tracks to the strong boxes left, by their last boxes
        and the boxes widened (``recover_buffer``), never to a box that looks
        unlike the track (``_RECOVER_LOOK``); updates ``t_of_d`` and
        ``free_t``."""
        tr = self.tracks
        rows = np.flatnonzero(tr.confirmed & ~tr.followed & free_t)
        cols = np.flatnonzero(strong & (t_of_d < 0))
        if not len(rows) or not len(cols) or self.recover_buffer <= 0:
            return
        i, j, iou = iou_pairs(_widen(tr.last[rows], self.recover_buffer),
                              _widen(f.boxes[cols], self.recover_buffer), self.recover_iou)
        same = tr.group[rows[i]] == f.groups[cols[j]]
        if look is not None:
            both = tr.has_look[rows[i]] & look[1][cols[j]]
            alike = np.einsum("ij,ij->i", tr.look[rows[i][both]], look[0][cols[j][both]])
            same[np.flatnonzero(both)[alike < _RECOVER_LOOK]] = False
        r, c = assign(i[same], j[same], 1.0 - iou[same], 1.0 - self.recover_iou, (len(rows), len(cols)))
        t_of_d[cols[c]] = rows[r]
        free_t[rows[r]] = False

    def _drop(self, alive: np.ndarray, t_of_d: np.ndarray) -> None:
        """Drop dead tracks and lost ones in the place of a followed track;
        renumber ``t_of_d`` to the kept rows."""
        tr = self.tracks
        lost = np.flatnonzero(alive & tr.confirmed & ~tr.followed)
        live = np.flatnonzero(tr.followed & tr.confirmed)
        if len(lost) and len(live):
            boxes = tr.boxes()
            i, j, _ = iou_pairs(boxes[lost], boxes[live], self.lost_duplicate_iou)
            alive[lost[i[tr.group[lost[i]] == tr.group[live[j]]]]] = False
        if alive.all():
            return
        row = np.cumsum(alive) - 1
        hit = t_of_d >= 0
        t_of_d[hit] = np.where(alive[t_of_d[hit]], row[t_of_d[hit]], -1)
        tr.keep(alive)

    def _output(self, f: _Frame, t_of_d: np.ndarray) -> list:
        tr = self.tracks
        show = np.flatnonzero(t_of_d >= 0)
        show = show[tr.confirmed[t_of_d[show]] & (f.scores[show] >= self.conf_pct)]
        rows = t_of_d[show]
        voted = tr.votes[rows].argmax(axis=1).tolist()
        names = self.class_names
        ltrbs = self._smoothed(f.boxes[show], rows) if self.smooth > 0 and len(rows) else None
        if ltrbs is None:  # the records' own boxes
            return [_with_track(f.recs[d], f.recs[d].ltrb, tid, c, names[c])
                    for d, tid, c in zip(show.tolist(), tr.ids[rows].tolist(), voted)]
        return [_with_track(f.recs[d], tuple(b), tid, c, names[c])
                for d, b, tid, c in zip(show.tolist(), ltrbs, tr.ids[rows].tolist(), voted)]

    def _smoothed(self, boxes: np.ndarray, rows: np.ndarray) -> list:
        """The shown boxes moved ``smooth`` of the way to their tracks'
        filtered boxes, as lists."""
        out = boxes + self.smooth * (_ltrb(self.tracks.pos[rows]) - boxes)
        # Never past the frame's edges (or, without the frame, past any box
        # the detector gave): an object leaving the picture is cut off there,
        # whatever its filter predicts. Nor past the detection's own box
        # where that is outside.
        lo = np.minimum(boxes[:, :2], 0.0)
        hi = np.maximum(boxes[:, 2:], self._extent)
        if not ((out[:, :2] >= lo).all() and (out[:, 2:] <= hi).all()):
            np.clip(out[:, :2], lo, hi, out=out[:, :2])
            np.clip(out[:, 2:], lo, hi, out=out[:, 2:])
            empty = (out[:, 2] <= out[:, 0]) | (out[:, 3] <= out[:, 1])
            out[empty] = boxes[empty]
        return out.tolist()


def _with_track(rec: Detection, ltrb: tuple, track_id: int, class_id: int, class_name: str) -> Detection:
    """A copy of ``rec`` with the track's box, id and class (built directly
    for the plain record type, which is most of the time per shown box)."""
    if type(rec) is Detection:
        return Detection(ltrb, rec.ltrb_conf, class_id, class_name, track_id)
    return dataclasses.replace(rec, ltrb=ltrb, track_id=track_id, class_id=class_id, class_name=class_name)
