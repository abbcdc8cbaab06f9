"""Multi-object tracking of detection records across frames (ByteTrack style).

``Tracker(high=0.5, low=0.1)``: call ``update(records)`` once per frame, in
frame order, with that frame's ``Detection`` records. It returns the
records to keep, each a copy with a ``track_id`` (a positive int that stays with the same object):

1. every track's box is predicted by a constant-velocity Kalman filter on
   (centre x, centre y, aspect ratio, height);
2. the confident records (``ltrb_conf`` at or above ``high``) are matched
   to all tracks, the ones being followed and the lost ones, by an optimal
   assignment on 1 - IoU (pairs below ``match_iou`` IoU are not matched);
3. the weak records (between ``low`` and ``high``) are matched to the
   followed tracks left over, with the stricter ``second_iou``: a partly
   hidden object whose score drops keeps its track;
4. followed tracks without a record become lost; a track lost for more
   than ``max_lost`` updates is dropped, and one found again keeps its id;
5. every confident record left over starts a new track.

Weak records that continue no track are left out of the output.
Association is per class (a car is never matched to a person's track)
unless ``per_class=False``. The assignment uses SciPy's
``linear_sum_assignment`` where SciPy is installed, else the small
Hungarian solver ``assign`` below.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from zorvane_road_objects.detection.records import Detection

__all__ = ["KalmanBox", "Tracker", "assign", "iou_matrix"]

_BIG = 1e6


# ---------------------------------------------------------------------------
# Assignment


def _hungarian(cost: np.ndarray) -> np.ndarray:
    """Column of each row for a minimum-cost assignment (rows <= columns),
    by shortest augmenting paths with potentials (O(n^2 m))."""
    n, m = cost.shape
    u = np.zeros(n + 1)
    v = np.zeros(m + 1)
    p = np.zeros(m + 1, dtype=np.int64)  # p[j]: row (1-based) on column j, 0 for none
    way = np.zeros(m + 1, dtype=np.int64)
    for i in range(1, n + 1):
        p[0] = i
        j0 = 0
        minv = np.full(m + 1, np.inf)
        used = np.zeros(m + 1, dtype=bool)
        while True:
            used[j0] = True
            i0 = p[j0]
            free = ~used[1:]
            cur = cost[i0 - 1] - u[i0] - v[1:]
            better = free & (cur < minv[1:])
            minv[1:][better] = cur[better]
            way[1:][better] = j0
            masked = np.where(free, minv[1:], np.inf)
            j1 = int(np.argmin(masked)) + 1
            delta = masked[j1 - 1]
            u[p[used]] += delta
            v[used] -= delta
            minv[~used] -= delta
            j0 = j1
            if p[j0] == 0:
                break
        while j0:
            j1 = way[j0]
            p[j0] = p[j1]
            j0 = j1
    cols = np.full(n, -1, dtype=np.int64)
    for j in range(1, m + 1):
        if p[j]:
            cols[p[j] - 1] = j - 1
    return cols


def _solve(cost: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    try:
        from scipy.optimize import linear_sum_assignment
    except ImportError:
        pass
    else:
        return linear_sum_assignment(cost)
    if cost.shape[0] <= cost.shape[1]:
        cols = _hungarian(cost)
        return np.arange(cost.shape[0]), cols
    rows = _hungarian(cost.T)
    order = np.argsort(rows)
    return rows[order], np.arange(cost.shape[1])[order]


def assign(cost, limit: float) -> list[tuple[int, int]]:
    """Minimum-cost pairs (row, column) of a cost matrix, keeping only pairs
    whose cost is at most ``limit``; entries above it (or not finite) are
    never paired."""
    cost = np.asarray(cost, dtype=np.float64)
    if cost.size == 0:
        return []
    allowed = np.isfinite(cost) & (cost <= limit)
    work = np.where(allowed, cost, _BIG)
    rows, cols = _solve(work)
    return [(int(r), int(c)) for r, c in zip(rows, cols) if allowed[r, c]]


def iou_matrix(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """IoU of every ltrb box in ``a`` (n x 4) with every one in ``b`` (m x 4)."""
    a = np.asarray(a, dtype=np.float64).reshape(-1, 4)
    b = np.asarray(b, dtype=np.float64).reshape(-1, 4)
    lt = np.maximum(a[:, None, :2], b[None, :, :2])
    rb = np.minimum(a[:, None, 2:], b[None, :, 2:])
    inter = np.prod(np.clip(rb - lt, 0, None), axis=2)
    area_a = np.prod(np.clip(a[:, 2:] - a[:, :2], 0, None), axis=1)
    area_b = np.prod(np.clip(b[:, 2:] - b[:, :2], 0, None), axis=1)
    union = area_a[:, None] + area_b[None, :] - inter
    with np.errstate(invalid="ignore", divide="ignore"):
        out = np.where(union > 0, inter / union, 0.0)
    return out


# ---------------------------------------------------------------------------
# Motion


class KalmanBox:
    """Constant-velocity Kalman filter on (cx, cy, aspect, height) and their speeds."""

    _W_POS = 1.0 / 20
    _W_VEL = 1.0 / 160
    _F = np.eye(8)
    _F[:4, 4:] = np.eye(4)
    _H = np.eye(4, 8)

    def __init__(self, ltrb):
        z = self.to_xyah(ltrb)
        h = z[3]
        self.mean = np.concatenate([z, np.zeros(4)])
        std = [2 * self._W_POS * h, 2 * self._W_POS * h, 1e-2, 2 * self._W_POS * h,
               10 * self._W_VEL * h, 10 * self._W_VEL * h, 1e-5, 10 * self._W_VEL * h]
        self.cov = np.diag(np.square(std))

    @staticmethod
    def to_xyah(ltrb) -> np.ndarray:
        l, t, r, b = (float(v) for v in ltrb)
        w, h = max(r - l, 1e-3), max(b - t, 1e-3)
        return np.array([l + w / 2, t + h / 2, w / h, h])

    def ltrb(self) -> list[float]:
        cx, cy, a, h = self.mean[:4]
        h = max(h, 1e-3)
        w = max(a, 1e-6) * h
        return [cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2]

    def predict(self, hold_height: bool = False) -> None:
        if hold_height:
            self.mean[7] = 0.0
        h = self.mean[3]
        q = np.square([self._W_POS * h, self._W_POS * h, 1e-2, self._W_POS * h,
                       self._W_VEL * h, self._W_VEL * h, 1e-5, self._W_VEL * h])
        self.mean = self._F @ self.mean
        self.cov = self._F @ self.cov @ self._F.T + np.diag(q)

    def update(self, ltrb) -> None:
        z = self.to_xyah(ltrb)
        h = self.mean[3]
        r = np.diag(np.square([self._W_POS * h, self._W_POS * h, 1e-1, self._W_POS * h]))
        s = self._H @ self.cov @ self._H.T + r
        k = np.linalg.solve(s, self._H @ self.cov).T  # cov H^T S^-1 (S symmetric)
        self.mean = self.mean + k @ (z - self._H @ self.mean)
        self.cov = self.cov - k @ s @ k.T


# ---------------------------------------------------------------------------
# Tracks


class _Track:
    __slots__ = ("id", "kf", "class_id", "lost", "hits")

    def __init__(self, track_id: int, rec: Detection):
        self.id = track_id
        self.kf = KalmanBox(rec.ltrb)
        self.class_id = rec.class_id
        self.lost = 0  # updates since last matched
        self.hits = 1


def _usable(rec) -> bool:
    try:
        box = [float(v) for v in rec.ltrb]
    except (TypeError, ValueError):
        return False
    return len(box) == 4 and all(math.isfinite(v) for v in box) and box[2] > box[0] and box[3] > box[1]


class Tracker:
    """See the module notes. ``high`` and ``low`` are score thresholds in 0-1
    (records carry whole percents, compared with the threshold's whole
    percent); ``max_lost``: updates a lost track is kept for."""

    def __init__(self, high: float = 0.5, low: float = 0.1, *, max_lost: int = 30,
                 match_iou: float = 0.2, second_iou: float = 0.5, per_class: bool = True):
        if not 0.0 <= low <= high <= 1.0:
            raise ValueError(f"need 0 <= low <= high <= 1, got low={low}, high={high}")
        if max_lost < 0:
            raise ValueError(f"max_lost must be >= 0, got {max_lost}")
        self.low = float(low)  # the weakest score the tracker uses: the detector's threshold
        self.high_pct = math.floor(high * 100 + 1e-9)
        self.low_pct = math.floor(low * 100 + 1e-9)
        self.max_lost = int(max_lost)
        self.match_iou = float(match_iou)
        self.second_iou = float(second_iou)
        self.per_class = per_class
        self.tracks: list[_Track] = []
        self._next_id = 1

    def reset(self) -> None:
        """Forget all tracks (ids keep counting up)."""
        self.tracks = []

    def _match(self, tracks: list[_Track], recs: list[Detection], min_iou: float):
        if not tracks or not recs:
            return [], list(range(len(tracks))), list(range(len(recs)))
        iou = iou_matrix([t.kf.ltrb() for t in tracks], [r.ltrb for r in recs])
        cost = 1.0 - iou
        if self.per_class:
            same = np.array([[t.class_id == r.class_id for r in recs] for t in tracks])
            cost = np.where(same, cost, np.inf)
        pairs = assign(cost, 1.0 - min_iou)
        mt = {i for i, _ in pairs}
        mr = {j for _, j in pairs}
        return (pairs, [i for i in range(len(tracks)) if i not in mt],
                [j for j in range(len(recs)) if j not in mr])

    def update(self, records: list[Detection]) -> list[Detection]:
        """Records of one frame in; the kept ones out, with ``track_id``, in input order."""
        recs = [r for r in records if _usable(r)]
        conf = [r.ltrb_conf for r in recs]
        high = [i for i, c in enumerate(conf) if c >= self.high_pct]
        low = [i for i, c in enumerate(conf) if self.low_pct <= c < self.high_pct]

        for t in self.tracks:
            t.kf.predict(hold_height=t.lost > 0)
        ids: dict[int, int] = {}  # record position -> track id

        def take(track: _Track, pos: int) -> None:
            track.kf.update(recs[pos].ltrb)
            track.lost = 0
            track.hits += 1
            track.class_id = recs[pos].class_id
            ids[pos] = track.id

        # Confident records against every track; a followed track goes first
        # to the assignment on equal terms with a lost one.
        pairs, free_t, free_r = self._match(self.tracks, [recs[i] for i in high], self.match_iou)
        for ti, ri in pairs:
            take(self.tracks[ti], high[ri])
        # Weak records against the followed tracks left over.
        rest = [self.tracks[i] for i in free_t if self.tracks[i].lost == 0]
        pairs2, free_t2, _ = self._match(rest, [recs[i] for i in low], self.second_iou)
        for ti, ri in pairs2:
            take(rest[ti], low[ri])
        matched = set(ids.values())
        kept = []
        for t in self.tracks:
            if t.id not in matched:
                t.lost += 1
                if t.lost > self.max_lost:
                    continue
            kept.append(t)
        self.tracks = kept
        for ri in free_r:
            pos = high[ri]
            t = _Track(self._next_id, recs[pos])
            self._next_id += 1
            self.tracks.append(t)
            ids[pos] = t.id
        return [dataclasses.replace(recs[i], track_id=ids[i]) for i in range(len(recs)) if i in ids]
