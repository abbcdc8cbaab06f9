"""Greedy non-maximum suppression over many boxes, exact to the plain loop."""

from __future__ import annotations

from bisect import bisect_left, bisect_right

import numpy as np

__all__ = ["nms"]

# Rough costs, in microseconds, that decide between greedy steps and
# settling the remaining boxes over their overlap graph: a step costs
# _STEP, plus _STEP_BOX per box it keeps and _STEP_CAND per candidate it
# looks at; over the graph a box costs _GRAPH_BOX plus _GRAPH_PAIR per
# candidate pair.  While the graph is not built yet, a box is guessed to have
# _PAIRS_PER_CAND candidate pairs per candidate in a kept box's window (at
# most _MAX_PAIRS_PER_BOX; a strip looked up counts as two candidates).  The
# steps go on while, over the last _WINDOW steps, they saved more than they
# cost.
_STEP = 60.0
_STEP_BOX = 4.0
_STEP_CAND = 0.03
_GRAPH_BOX = 1.5
_GRAPH_PAIR = 0.05
_PAIRS_PER_CAND = 0.1
_MAX_PAIRS_PER_BOX = 64
_WINDOW = 4
# A window spanning more strips than this is taken as a slice of the
# left-edge order instead, filtered by top edge.
_MAX_STRIPS = 8
# Open boxes taken together by one greedy step (settled among themselves
# first, then the winners drop their neighbours in one go).
_BATCH = 32
# Above this many candidate pairs the graph is not built; plain steps finish.
_MAX_PAIRS = 8_000_000
# Up to this many boxes, all pairwise IoUs are computed at once.
_SMALL = 128
# Up to this many boxes, the graph is built at once (it has at most
# _MIDDLE**2 / 2 pairs); above, greedy steps are tried first.
_MIDDLE = 512
# Pairs whose IoU is computed in one go (bounds the temporary arrays).
_PAIR_CHUNK = 1 << 17
# Strip queries allowed per box before the strips are made coarser.
_QUERIES_PER_BOX = 3
# Candidate pairs per box above which other sweeps are tried as well.
_WORTH_MORE_SWEEPS = 64
# Plain steps against every open box go on while each drops at least this
# many boxes and a sixteenth of those left.
_HEAVY = 64
# Margins that keep the candidate bounds loose enough that rounding never
# loses a pair (extra candidates only cost time: every candidate's IoU is
# computed exactly as the plain loop computes it).
_REL = 1e-9
_ABS = 1e-12
# Absolute margin for sub-normal coordinates and extents, whose rounding
# errors are not relative to their size: far above any such error, far below
# any extent that matters.
_TINY = 1e-318
# The windows that reach IoU > thr rest on the computed IoU being within a
# tiny relative error of the true one.  That fails for areas so small that
# their products are sub-normal (e.g. a width of 5e-324: an area of 0.6 units
# of the smallest sub-normal rounds to 1 unit) and for positive thresholds
# so small that the rounding of a sub-normal intersection matters.  Then the
# windows are taken for a threshold of 0, i.e. every pair that overlaps on
# both axes, which holds whatever the rounding: a computed IoU above any
# threshold needs a positive computed intersection.
_SAFE_AREA = 1e-250
_SAFE_THR = 1e-20


def nms(boxes, scores, iou_threshold):
    """Greedy non-maximum suppression.

    ``boxes`` holds rows ``[left, top, right, bottom]`` (anything that converts
    to an ``(n, 4)`` float array), ``scores`` one number per box.  Boxes are
    taken by descending score, equal scores by lower index; a box is kept
    when its IoU with every box kept before it is at most ``iou_threshold``.
    Returns the kept indices as an ``np.intp`` array, in keep order (the
    ranking order).

    The IoU is computed in double precision: a negative width or height
    counts as zero, and a pair whose union is not a positive number (zero-area
    boxes, NaN or infinite coordinates, areas that overflow) has IoU 0.  Every
    IoU therefore lies in [0, 1], and:

    - a box with zero area or a NaN or infinite coordinate never suppresses
      another box and is never suppressed;
    - a NaN score ranks below every number (such boxes come last, by index);
    - a threshold of 1 or more keeps every box; a negative or NaN threshold
      keeps only the top-ranked box, since no IoU is at most such a value.

    The result is exactly that of the plain greedy loop (keep the best box
    left, drop every box whose IoU with it exceeds the threshold, repeat).
    Each step looks only at the boxes that can reach the threshold with the
    kept box, and once the steps stop paying off (many boxes kept, few
    dropped) the remaining boxes are settled at once over the graph of their
    overlapping pairs, so that 10,000 boxes take milliseconds, not the
    seconds the plain loop spends when it keeps thousands of them.
    """
    b = np.asarray(boxes, dtype=np.float64).reshape(-1, 4)
    s = np.asarray(scores, dtype=np.float64).reshape(-1)
    n = b.shape[0]
    if s.shape[0] != n:
        raise ValueError(f"nms: {n} boxes but {s.shape[0]} scores")
    thr = float(iou_threshold)
    if n == 0:
        return np.empty(0, dtype=np.intp)
    order = np.argsort(-s, kind="stable").astype(np.intp, copy=False)
    if n == 1 or not thr >= 0.0:
        return order[:1]
    if thr >= 1.0:
        return order
    with np.errstate(all="ignore"):
        if n <= _SMALL:
            return order[_greedy_small(b[order], thr)]
        dropped = _suppress(b[order], thr)
    return order if dropped is None else order[~dropped]


def _greedy_small(b, thr):
    """Ranks kept, for a few boxes: the full IoU table, then a bitset walk."""
    x1, y1, x2, y2 = b.T
    w = np.maximum(x2 - x1, 0.0)
    h = np.maximum(y2 - y1, 0.0)
    area = w * h
    # The arithmetic of _iou, broadcast over all pairs.
    iw = np.minimum(x2[:, None], x2)
    iw -= np.maximum(x1[:, None], x1)
    np.maximum(iw, 0.0, out=iw)
    ih = np.minimum(y2[:, None], y2)
    ih -= np.maximum(y1[:, None], y1)
    np.maximum(ih, 0.0, out=ih)
    iw *= ih
    union = area[:, None] + area
    union -= iw
    iw /= union
    n = b.shape[0]
    packed = np.packbits(iw > thr, axis=1, bitorder="little")
    data = packed.tobytes()
    size = packed.shape[1]
    keep = []
    gone = 0
    for i in range(n):
        if not (gone >> i) & 1:
            keep.append(i)
            gone |= int.from_bytes(data[i * size:(i + 1) * size], "little")
    return np.array(keep, dtype=np.intp)


def _suppress(b, thr):
    """Boxes dropped, by rank (row of `b`); None when none can be."""
    n = b.shape[0]
    x1, y1, x2, y2 = np.ascontiguousarray(b.T)
    w = np.maximum(x2 - x1, 0.0)
    h = np.maximum(y2 - y1, 0.0)
    area = w * h
    # Only boxes of finite, positive area can have an IoU above 0.
    alive = np.flatnonzero(np.isfinite(area) & (area > 0.0))
    if alive.size < 2:
        return None
    # The threshold the windows are drawn for (see _SAFE_AREA).
    reach = thr
    if area[alive].min() < _SAFE_AREA or 0.0 < thr < _SAFE_THR:
        reach = 0.0
    geo = (x1, y1, x2, y2, w, h, area)
    # Per rank: 1 while the box takes part and is not settled yet.
    open_ = bytearray(n)
    open_view = np.frombuffer(open_, dtype=np.uint8)
    open_view[alive] = 1
    dropped = np.zeros(n, dtype=bool)
    alive = _sweep_heavy(geo, alive, thr, open_view, dropped)
    if alive.size < 2:
        return dropped
    if alive.size <= _MIDDLE:
        _settle_graph(geo, thr, _plan(geo, alive, reach), dropped)
        return dropped
    stats = _greedy(geo, alive, thr, reach, open_, open_view, dropped, True)
    if stats is None:
        return dropped
    rest = np.flatnonzero(open_view)
    if rest.size < 2:
        return dropped
    plan = _plan(geo, rest, reach)
    # Finish with greedy steps if they promise to be cheaper than the graph:
    # of the boxes they settle, kept / (kept + gone) are kept, each costing
    # a share of a step, its own cost and its window's.
    kept, gone, looked = stats
    m = rest.size
    per_kept = _STEP / _BATCH + _STEP_BOX + _STEP_CAND * looked / kept
    greedy_cost = m * kept / (kept + gone) * per_kept
    graph_cost = m * _GRAPH_BOX + plan[0] * _GRAPH_PAIR
    if plan[0] > _MAX_PAIRS or greedy_cost < graph_cost:
        _greedy(geo, rest, thr, reach, open_, open_view, dropped, False)
    else:
        _settle_graph(geo, thr, plan, dropped)
    return dropped


def _iou(geo, i, j):
    """IoU of the pairs (i, j), bit for bit the same for (j, i).

    NaN where the union is 0 (an IoU of 0 there: NaN compares false).
    """
    x1, y1, x2, y2, _, _, area = geo
    iw = np.minimum(x2[i], x2[j])
    iw -= np.maximum(x1[i], x1[j])
    np.maximum(iw, 0.0, out=iw)
    ih = np.minimum(y2[i], y2[j])
    ih -= np.maximum(y1[i], y1[j])
    np.maximum(ih, 0.0, out=ih)
    iw *= ih
    union = area[i] + area[j]
    union -= iw
    iw /= union
    return iw


def _reach(lo, hi, size, frac):
    """Far bound on the near edge of a partner that starts at or after lo.

    The IoU of a pair is at most the overlap along one axis divided by either
    box's extent on it, so a partner reaching IoU > thr starts before
    ``hi - thr * size``; the margins absorb rounding.
    """
    r = hi - size * frac + _ABS * (np.abs(lo) + np.abs(hi)) + _TINY
    r[np.isnan(r)] = np.inf
    return r


def _back(lo, hi, own, widest, frac):
    """How far before lo a partner's near edge may lie.

    Such a partner overlaps by at most its own extent minus the gap, which
    must exceed thr times its extent; its extent is at most `widest` and,
    for thr > 0, below own / thr.
    """
    if frac > 0.0:
        widest = np.minimum(widest, own / frac)
    d = widest * ((1.0 - frac) * (1.0 + _REL) + _REL)
    d += _ABS * (np.abs(lo) + np.abs(hi) + widest) + _TINY
    d[np.isnan(d)] = np.inf
    return d


def _greedy(geo, alive, thr, reach, open_, open_view, dropped, may_stop):
    """Greedy steps over the open boxes, each against its neighbours.

    A step takes the next _BATCH open boxes in rank order, settles them among
    themselves, and has the ones kept drop the open boxes in their windows
    (see _Windows; drawn for IoU > reach: thr, or 0 where rounding makes thr
    unsafe).  Returns None when every box is settled; when `may_stop` and the
    steps stop paying off, returns (boxes kept, boxes dropped, candidates
    looked at) over the last steps.
    """
    windows = _Windows(geo, alive, reach)
    payoff = _Payoff()
    last = -1
    while True:
        batch, last = _next_batch(open_, last)
        if not batch:
            return None
        if len(batch) > 1:
            batch = _settle_batch(geo, batch, thr, dropped)
        hits, looked = _drop_neighbours(geo, windows, batch, thr, open_view, dropped)
        if may_stop and payoff.stops_paying(len(batch), hits, looked):
            return payoff.kept, payoff.gone, payoff.looked


def _next_batch(open_, last):
    """The next _BATCH open boxes after rank `last`, in rank order, closed.

    Every box ranked before them is settled, so greedy among them alone
    decides their fate.  Returns them and the rank to go on from.
    """
    batch = []
    while len(batch) < _BATCH:
        last = open_.find(1, last + 1)
        if last < 0:
            break
        open_[last] = 0
        batch.append(last)
    return batch, last


def _settle_batch(geo, batch, thr, dropped):
    """Greedy among the boxes of `batch` alone: marks the losers dropped and
    returns the winners."""
    x1, y1, x2, y2 = geo[:4]
    ranks = np.array(batch)
    winners = _greedy_small(np.stack([x1[ranks], y1[ranks], x2[ranks], y2[ranks]], axis=1), thr)
    if winners.size == ranks.size:
        return batch
    lost = np.ones(ranks.size, dtype=bool)
    lost[winners] = False
    dropped[ranks[lost]] = True
    return ranks[winners].tolist()


def _drop_neighbours(geo, windows, winners, thr, open_view, dropped):
    """Each winner drops the open boxes within its window above thr.

    Returns (boxes dropped, candidates and strips looked at).
    """
    parts, owners, looked = windows.gather(winners)
    if not parts:
        return 0, looked
    cand = np.concatenate(parts) if len(parts) > 1 else parts[0]
    several = len(owners) > 1
    if several:
        owner = np.repeat([o for o, _ in owners], [c for _, c in owners])
    else:
        owner = owners[0][0]
    live = open_view[cand] != 0
    if not live.all():
        cand = cand[live]
        owner = owner[live] if several else owner
    if not cand.size:
        return 0, looked
    hit = cand[_iou(geo, owner, cand) > thr]
    if not hit.size:
        return 0, looked
    hit = np.unique(hit)
    open_view[hit] = 0
    dropped[hit] = True
    return hit.size, looked


class _Payoff:
    """Whether greedy steps still pay off against settling over the graph.

    Keeps a running balance over the last _WINDOW batches of the cost the
    graph would have had for the dropped boxes minus the cost of the
    batches, with the boxes kept, dropped and candidates looked at over them.
    """

    def __init__(self):
        self.recent = [(0.0, 0, 0, 0)] * _WINDOW
        self.balance = 0.0
        self.batches = self.kept = self.gone = self.looked = 0

    def stops_paying(self, kept, gone, looked):
        """Counts a batch; true once the last _WINDOW batches cost more than
        they saved."""
        pairs = min(_PAIRS_PER_CAND * looked / kept, _MAX_PAIRS_PER_BOX)
        gain = gone * (_GRAPH_BOX + _GRAPH_PAIR * pairs)
        gain -= _STEP + _STEP_BOX * kept + _STEP_CAND * looked
        slot = self.batches % _WINDOW
        old_gain, old_kept, old_gone, old_looked = self.recent[slot]
        self.recent[slot] = (gain, kept, gone, looked)
        self.balance += gain - old_gain
        self.kept += kept - old_kept
        self.gone += gone - old_gone
        self.looked += looked - old_looked
        self.batches += 1
        return self.batches >= _WINDOW and self.balance < 0.0


class _Windows:
    """Where the partners of each box may lie, for greedy steps.

    The window of a box holds the boxes whose near corner lies where an IoU
    above `reach` allows: from _back (with the widest or tallest box as the
    partner's bound) to _reach, along x and along y.  Boxes are binned into
    horizontal strips by their top edge, about half a window high, and sorted
    by left edge within a strip, so a window is a few slices of that order; a
    window spanning more than _MAX_STRIPS strips is taken as a slice of the
    left-edge order instead, filtered by top edge.

    Boxes of very different heights (long thin boxes across each other) would
    share no good strip height: strips fitted to the tall windows put
    thousands of boxes in each flat window, for every step.  For reach > 0
    the boxes are therefore split into groups by height (_height_groups),
    each with strips of its own, and a box looks only in the groups where a
    partner above reach can be.
    """

    def __init__(self, geo, alive, reach):
        x1, y1, x2, y2, w, h, _ = geo
        frac = reach * (1.0 - _REL)
        left, right, width = x1[alive], x2[alive], w[alive]
        top, bottom, height = y1[alive], y2[alive], h[alive]
        self.y1 = y1
        self.lo_x = (left - _back(left, right, width, float(width.max()), frac)).tolist()
        self.hi_x = _reach(left, right, width, frac).tolist()
        lo_y = top - _back(top, bottom, height, float(height.max()), frac)
        hi_y = _reach(top, bottom, height, frac)
        self.lo_y = lo_y.tolist()
        self.hi_y = hi_y.tolist()
        self.stride = alive.size + 1
        group, ask = _height_groups(height, frac)
        n_groups = int(group.max()) + 1
        strip = self._strips(top, lo_y, hi_y, group, n_groups, ask)
        self._sort(alive, left, group, n_groups, strip)

    def _strips(self, top, lo_y, hi_y, group, n_groups, ask):
        """Strip number of each box, unique over all groups; sets the
        occupied strips and, for each group list in `ask`, the strips each
        box's window spans in that group."""
        # Per group: strips about half the median window high.
        if n_groups == 1:
            origin = np.array([top.min()])
            strip_height = np.array([np.median(hi_y - lo_y)]) / 2.0
        else:
            origin = np.full(n_groups, np.inf)
            np.minimum.at(origin, group, top)
            strip_height = _median_by(hi_y - lo_y, group, n_groups) / 2.0
        strip_height[~((strip_height > 0.0) & np.isfinite(strip_height))] = np.inf
        max_strip = (1 << 62) // (self.stride * (n_groups + 1)) - 2
        group_stride = max_strip + 2
        # The origin and strip height that _strip_of takes, per group.
        frame = ((lambda g: (origin[0], strip_height[0])) if n_groups == 1
                 else (lambda g: (origin[g], strip_height[g])))
        strip = _strip_of(top, *frame(group), max_strip) + 1
        if n_groups > 1:
            strip += group * group_stride
        self.occupied = np.unique(strip).tolist()
        # The strips of each box's window in each group it looks in (the
        # group list left out where it is the box's own one of one group).
        self.ask = []
        for groups in ask:
            base = groups * group_stride + 1
            known = np.maximum(groups, 0)
            self.ask.append((groups.tolist() if n_groups > 1 else None,
                             (base + _strip_of(lo_y, *frame(known), max_strip)).tolist(),
                             (base + _strip_of(hi_y, *frame(known), max_strip)).tolist()))
        return strip

    def _sort(self, alive, left, group, n_groups, strip):
        """The boxes by strip, then left edge; and by group, then left edge."""
        m = alive.size
        by_x = np.argsort(left)
        self.left = left[by_x].tolist()
        rank = np.empty(m, dtype=np.int64)
        rank[by_x] = np.arange(m)
        key = strip * self.stride + rank
        order = np.argsort(key)
        self.keys = key[order].tolist()
        self.by_key = alive[order]
        if n_groups == 1:
            self.group_keys = range(m)
            self.by_group = alive[by_x]
        else:
            key = group * self.stride + rank
            order = np.argsort(key)
            self.group_keys = key[order].tolist()
            self.by_group = alive[order]
        slot_of = np.zeros(self.y1.size, dtype=np.int64)
        slot_of[alive] = np.arange(m)
        self.slot_of = slot_of.tolist()

    def gather(self, batch):
        """The boxes in the windows of `batch`: (index arrays, [(owner,
        count)] per array, candidates and strips looked at)."""
        parts, owners = [], []
        looked = 0
        left, keys, occupied, stride = self.left, self.keys, self.occupied, self.stride
        for owner in batch:
            slot = self.slot_of[owner]
            rank_lo = bisect_right(left, self.lo_x[slot])
            rank_hi = bisect_left(left, self.hi_x[slot])
            if rank_hi <= rank_lo:
                continue
            for groups, strip_lo, strip_hi in self.ask:
                group = groups[slot] if groups is not None else 0
                if group < 0:
                    continue
                first = bisect_left(occupied, strip_lo[slot])
                end = bisect_right(occupied, strip_hi[slot])
                if end - first > _MAX_STRIPS:
                    # A tall window: its slice of the group's left-edge order.
                    base = group * stride
                    lo = bisect_left(self.group_keys, base + rank_lo)
                    hi = bisect_left(self.group_keys, base + rank_hi, lo)
                    looked += hi - lo
                    part = self.by_group[lo:hi]
                    top = self.y1[part]
                    part = part[(top > self.lo_y[slot]) & (top < self.hi_y[slot])]
                    if part.size:
                        parts.append(part)
                        owners.append((owner, part.size))
                    continue
                looked += 2 * (end - first)
                for strip in occupied[first:end]:
                    base = strip * stride
                    lo = bisect_left(keys, base + rank_lo)
                    hi = bisect_left(keys, base + rank_hi, lo)
                    if hi > lo:
                        parts.append(self.by_key[lo:hi])
                        owners.append((owner, hi - lo))
                        looked += hi - lo
        return parts, owners, looked


def _height_groups(h, frac):
    """Group of each height, and for each box the groups that may hold a
    partner above frac: a list of one to three arrays, -1 where none.

    Heights fall into classes a factor F = max(2 / frac, 16) apart; a partner
    above frac lies in the same class or a neighbouring one.  A group is a run
    of neighbouring classes that each hold at least 1/64 of the boxes (or a
    run of classes that each hold fewer), so that heights that mix smoothly
    stay one group and cost nothing extra, while well separated ones (long
    thin boxes across each other) get strips of their own.
    """
    one = np.zeros(h.size, dtype=np.int64)
    if not frac > 0.0 or h.size == 0:
        return one, [one]
    cls = np.floor(np.log(h) / np.log(max(2.0 / frac, 16.0))).astype(np.int64)
    cls -= cls.min()
    top = int(cls.max())
    if top < 2:
        return one, [one]
    count = np.bincount(cls, minlength=top + 1)
    dense = count * 64 >= h.size
    group_of = np.cumsum(np.r_[True, dense[1:] != dense[:-1]]) - 1
    if group_of[-1] == 0:
        return one, [one]
    gid = group_of[cls]
    ask = [gid]
    for side in (cls - 1, cls + 1):
        inside = (side >= 0) & (side <= top)
        side = np.clip(side, 0, top)
        other = group_of[side]
        ask.append(np.where(inside & (count[side] > 0) & (other != gid), other, -1))
    return gid, [a for a in ask if (a >= 0).any()]


def _median_by(v, gid, ng):
    """Median of `v` within each group."""
    order = np.lexsort((v, gid))
    v = v[order]
    first = np.searchsorted(gid[order], np.arange(ng))
    count = np.bincount(gid, minlength=ng)
    return (v[first + (count - 1) // 2] + v[first + count // 2]) / 2.0


def _sweep_heavy(geo, alive, thr, open_view, dropped):
    """Plain greedy steps against every open box, while they drop many.

    Heavy overlap settles in a few such steps, before any index is built.
    Returns the boxes still open, in rank order.
    """
    cur = alive
    while cur.size > 1:
        iou = _iou(geo, cur[1:], cur[0])
        over = iou > thr
        n_over = int(np.count_nonzero(over))
        hit = cur[1:][over]
        dropped[hit] = True
        open_view[hit] = 0
        open_view[cur[0]] = 0
        cur = cur[1:][~over]
        if n_over < max(_HEAVY, cur.size >> 4):
            break
    return cur


def _strip_of(v, v0, height, cap):
    """Strip number of each coordinate: monotone in v, clamped to [-1, cap].

    A group whose strip height is infinite has the single strip 0.
    """
    k = (v - v0) / height
    k[np.isnan(k)] = cap
    np.clip(k, -1.0, float(cap), out=k)
    k[np.isinf(height)] = 0.0
    return np.floor(k).astype(np.int64)


def _plan(geo, alive, thr):
    """Candidate pairs of `alive`: the cheapest of a few sweeps.

    The plain sweep along x comes first.  Only when it leaves very many
    pairs per box (boxes of very different shapes mixed together, long
    strips) are the sweeps with extent classes and the sweep along y tried.
    """
    m = alive.size
    best = _plan_axis(geo, alive, thr, 0, False)
    tries = [(0, True), (1, False), (1, True)] if thr > 0.0 else [(1, False)]
    for axis, grouped in tries:
        if best[0] > _WORTH_MORE_SWEEPS * m:
            other = _plan_axis(geo, alive, thr, axis, grouped)
            if other[0] < best[0]:
                best = other
    return best


def _plan_axis(geo, alive, thr, axis, grouped):
    """Candidate pairs from a sweep along `axis` inside strips across it.

    Boxes are grouped by their extent across the sweep axis, in classes so
    wide that a pair with IoU > thr (whose extents differ by less than a
    factor 1 / thr) lies in the same or in neighbouring classes.  Within a
    group, boxes are binned into strips by their near edge across the sweep
    axis, the strip height following the group's reach.  A box pairs with
    the boxes of its own strip that come later in sweep order, with the
    boxes of its group's later strips within its reach, and with the boxes
    of the next larger group whose near edge lies within the window that
    _back and _reach allow across the sweep axis; along the sweep axis only
    the window that _back and _reach allow is taken.  Every pair is thus met
    once.

    Returns (pair count, boxes in sweep order, [(query sources, query
    starts, query counts)]); positions refer to the boxes in sweep order.
    """
    sweep = _Sweep(geo, alive, thr * (1.0 - _REL), axis, grouped)
    sweep.fit_strips()
    return sweep.plan()


class _Sweep:
    """The boxes of `alive` as one sweep of _plan_axis sees them.

    "Along" is the sweep axis, "across" the other one; each box has a near
    edge, a far edge and a length on both, and the limit (_reach) before
    which a partner above `frac` starts.
    """

    def __init__(self, geo, alive, frac, axis, grouped):
        x1, y1, x2, y2, w, h, _ = geo
        along, across = ((x1, x2, w), (y1, y2, h)) if axis == 0 else ((y1, y2, h), (x1, x2, w))
        self.alive = alive
        self.frac = frac
        m = self.count = alive.size
        self.near, self.far, self.length = (a[alive] for a in along)
        self.across_near, self.across_far, self.across_length = (a[alive] for a in across)
        self.limit = _reach(self.near, self.far, self.length, frac)
        self.across_limit = _reach(self.across_near, self.across_far, self.across_length, frac)
        self._group_by_extent(grouped)
        # Sweep ranks: position in near-edge order (exact integers).
        by_near = np.argsort(self.near)
        self.sorted_near = self.near[by_near]
        self.near_rank = np.empty(m, dtype=np.int64)
        self.near_rank[by_near] = np.arange(m)
        self.stride = m + 1
        self.max_strip = min(1 << 40, (1 << 62) // (self.stride * (self.n_groups + 1)) - 2)
        self.group_stride = self.max_strip + 2
        self._find_next_groups()

    def _group_by_extent(self, grouped):
        """Extent classes across the sweep axis (thr > 0), or one class; a
        group is an occupied class."""
        if grouped:
            extent_class = np.floor(np.log(self.across_length) / -np.log(self.frac))
            extent_class = extent_class.astype(np.int64)
        else:
            extent_class = np.zeros(self.count, dtype=np.int64)
        self.extent_class = extent_class
        self.classes = np.unique(extent_class)
        self.n_groups = self.classes.size
        self.group = np.searchsorted(self.classes, extent_class)

    def _find_next_groups(self):
        """The boxes whose next larger class is a group (`up_boxes`), that
        group, and how far before each such box a partner of that group may
        start across the sweep axis (`up_from`)."""
        group = self.group
        up = np.flatnonzero(group + 1 < self.n_groups)
        up = up[self.classes[group[up] + 1] == self.extent_class[up] + 1]
        self.up_boxes = up
        self.up_group = group[up] + 1
        self.up_from = None
        if up.size:
            tallest = np.zeros(self.n_groups)
            np.maximum.at(tallest, group, self.across_length)
            near = self.across_near[up]
            self.up_from = near - _back(near, self.across_far[up], self.across_length[up],
                                        tallest[self.up_group], self.frac)

    def _strip_heights(self):
        """Per group: origin and strip height (the mean reach across, else
        the mean extent, else infinite: a single strip)."""
        group, n_groups = self.group, self.n_groups
        reach = self.across_limit - self.across_near
        np.maximum(reach, 0.0, out=reach)
        origin = np.full(n_groups, np.inf)
        np.minimum.at(origin, group, self.across_near)
        group_size = np.bincount(group, minlength=n_groups)
        height = np.bincount(group, reach, n_groups) / group_size
        bad = ~((height > 0.0) & np.isfinite(height))
        height[bad] = (np.bincount(group, self.across_length, n_groups) / group_size)[bad]
        height[~((height > 0.0) & np.isfinite(height))] = np.inf
        return origin, height

    def fit_strips(self):
        """Strips about one reach high, made coarser for all groups while the
        queries into further strips exceed _QUERIES_PER_BOX per box."""
        origin, height = self._strip_heights()
        budget = _QUERIES_PER_BOX * self.count + 64
        while True:
            self._place(origin, height)
            n_queries = int(self.later_strips.sum()) + int(self.up_strips.sum())
            if n_queries <= budget or not np.isfinite(height).any():
                return
            height *= max(4.0, n_queries / budget)

    def _place(self, origin, height):
        """Each box's home strip, how many later strips of its group it
        reaches, and the first and number of strips of its next group."""
        group, up_group, max_strip = self.group, self.up_group, self.max_strip
        own_height = height[group]
        self.home = _strip_of(self.across_near, origin[group], own_height, max_strip)
        later = _strip_of(self.across_limit, origin[group], own_height, max_strip) - self.home
        np.maximum(later, 0, out=later)
        self.later_strips = later
        up_height = height[up_group]
        if self.up_boxes.size:
            self.up_first = _strip_of(self.up_from, origin[up_group], up_height, max_strip)
        else:
            self.up_first = self.up_boxes
        up_last = _strip_of(self.across_limit[self.up_boxes], origin[up_group], up_height, max_strip)
        up_strips = up_last - self.up_first + 1
        np.maximum(up_strips, 0, out=up_strips)
        self.up_strips = up_strips

    def _sort_by_strip(self):
        """Puts the boxes in sweep order (by strip, then near edge); returns
        that order and each box's position in it."""
        m = self.count
        strip = self.group * self.group_stride + (self.home + 1)
        key = strip * self.stride + self.near_rank
        order = np.argsort(key)
        position = np.empty(m, dtype=np.int64)
        position[order] = np.arange(m)
        self.key = key[order]
        self.strip = strip[order]
        self.near, self.far, self.length = self.near[order], self.far[order], self.length[order]
        self.end_rank = np.searchsorted(self.sorted_near, self.limit[order], side="left")
        # Occupied strips and the longest box of each.
        first = np.flatnonzero(np.diff(self.strip, prepend=-1))
        self.occupied = self.strip[first]
        self.longest_of = np.maximum.reduceat(self.length, first)
        return order, position

    def plan(self):
        """(pair count, boxes in sweep order, queries), as _plan_axis."""
        order, position = self._sort_by_strip()
        pos = np.arange(self.count)
        # Own strip: later boxes of the strip whose near edge is within reach.
        counts = np.searchsorted(self.key, self.strip * self.stride + self.end_rank, side="left")
        counts -= pos + 1
        np.maximum(counts, 0, out=counts)
        queries = [(pos, pos + 1, counts)]
        later = self.later_strips[order]
        if later.any():
            # Later strips of the own group within reach.
            queries.append(self._strip_query(*_each_strip(pos, self.strip + 1, later)))
        up_strips = self.up_strips
        if up_strips.size and up_strips.any():
            # Strips of the next larger group within reach.
            first = self.up_group * self.group_stride + (self.up_first + 1)
            at = position[self.up_boxes]
            queries.append(self._strip_query(*_each_strip(at, first, up_strips)))
        return _nonempty_queries(queries, self.alive[order])

    def _strip_query(self, at, strip):
        """Query of each box at position `at` into `strip`: the boxes there
        whose near edge is within the window along the sweep axis."""
        k = np.searchsorted(self.occupied, strip)
        np.minimum(k, self.occupied.size - 1, out=k)
        hit = self.occupied[k] == strip
        at, strip, k = at[hit], strip[hit], k[hit]
        near = self.near[at]
        back = _back(near, self.far[at], self.length[at], self.longest_of[k], self.frac)
        lo_rank = np.searchsorted(self.sorted_near, near - back, side="right")
        base = strip * self.stride
        starts = np.searchsorted(self.key, base + lo_rank, side="left")
        counts = np.searchsorted(self.key, base + self.end_rank[at], side="left")
        counts -= starts
        np.maximum(counts, 0, out=counts)
        return at, starts, counts


def _each_strip(at, first, n_strips):
    """(position, strip) for each of the `n_strips` strips from `first` of
    each position in `at`."""
    total = int(n_strips.sum())
    at = np.repeat(at, n_strips)
    strip = np.repeat(first, n_strips)
    strip += np.arange(total) - np.repeat(np.cumsum(n_strips) - n_strips, n_strips)
    return at, strip


def _nonempty_queries(queries, sel):
    """(pair count, `sel`, the queries without their empty entries)."""
    out = []
    total = 0
    for at, starts, counts in queries:
        nz = counts > 0
        if nz.any():
            out.append((at[nz], starts[nz], counts[nz]))
            total += int(counts[nz].sum())
    return total, sel, out


def _settle_graph(geo, thr, plan, dropped):
    """Greedy suppression over the graph of candidate pairs with IoU > thr."""
    total, sel, queries = plan
    if total == 0:
        return
    # Pairs are formed in sweep order, where the coordinates of both ends
    # lie close together in memory; only the pairs that hit go to ranks.
    geo = tuple(a[sel] for a in geo)
    heads, tails = [], []
    for src, starts, cnts in queries:
        csum = np.cumsum(cnts)
        lo = 0
        while lo < src.size:
            base = int(csum[lo - 1]) if lo else 0
            hi = int(np.searchsorted(csum, base + _PAIR_CHUNK, side="right"))
            hi = max(hi, lo + 1)
            c = cnts[lo:hi]
            i = np.repeat(src[lo:hi], c)
            j = np.repeat(starts[lo:hi] - (np.cumsum(c) - c), c)
            j += np.arange(i.size)
            hit = _iou(geo, i, j) > thr
            i = sel[i[hit]]
            j = sel[j[hit]]
            heads.append(np.minimum(i, j))
            tails.append(np.maximum(i, j))
            lo = hi
    head = np.concatenate(heads)
    if head.size == 0:
        return
    tail = np.concatenate(tails)
    by = np.argsort(head, kind="stable")
    head = head[by]
    tail = tail[by]
    first = np.flatnonzero(np.diff(head, prepend=-1))
    last = np.append(first[1:], head.size)
    # Walk the heads in rank order: a head still standing is kept and drops
    # its lower-ranked neighbours.  The flags are a bytearray (cheap scalar
    # access); long neighbour lists go through a NumPy view of it.
    flags = bytearray(dropped.size)
    view = np.frombuffer(flags, dtype=np.uint8)
    tail_list = tail.tolist()
    for u, f, e in zip(head[first].tolist(), first.tolist(), last.tolist()):
        if flags[u]:
            continue
        if e - f > 32:
            view[tail[f:e]] = 1
        else:
            for v in tail_list[f:e]:
                flags[v] = 1
    dropped |= view.view(bool)
