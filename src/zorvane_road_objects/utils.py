"""Pure-Python helpers of the package."""

from __future__ import annotations

import numpy as np

__all__ = ["nms"]

# Pairs whose IoU is computed in one go (bounds the temporary arrays).
_PAIR_CHUNK = 1 << 17
# Rough costs, in seconds, used to choose between resolving the overlap graph
# (cost per candidate pair) and plain greedy steps (cost per step and per box
# still open).
_COST_PAIR = 45e-9
_COST_STEP = 25e-6
_COST_STEP_BOX = 4e-9
# Plain greedy steps taken before the choice is revisited.
_GREEDY_STEPS = 24
# Strip queries allowed per box before the strips are made coarser.
_QUERIES_PER_BOX = 3
# Margins that keep the candidate bounds loose enough that rounding in the
# IoU never loses a pair (the IoU itself is computed exactly as in the
# plain loop; extra candidates are only wasted work).
_REL = 1e-9
_ABS = 1e-12


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

    The result is exactly that of the plain greedy loop (take the best box
    left, drop every box whose IoU with it exceeds the threshold, repeat);
    the work is done on candidate pairs found by a sweep over strips, so
    layouts with little overlap do not cost one loop step per kept box.
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

    # From here on boxes are addressed by rank (position in `order`), so a
    # higher-ranked box is simply a smaller number.
    x1, y1, x2, y2 = np.ascontiguousarray(b[order].T)
    w = np.maximum(x2 - x1, 0.0)
    h = np.maximum(y2 - y1, 0.0)
    with np.errstate(invalid="ignore", over="ignore"):
        area = w * h
    # Only boxes of finite, positive area can have an IoU above 0.
    alive = np.flatnonzero(np.isfinite(area) & (area > 0.0))
    if alive.size < 2:
        return order
    geo = (x1, y1, x2, y2, w, h, area)
    dropped = np.zeros(n, dtype=np.uint8)
    # Boxes still undecided; pairs of a plan made for an earlier, larger set
    # are filtered through it.
    undecided = np.zeros(n, dtype=bool)
    undecided[alive] = True
    plan = _plan(geo, alive, thr)
    planned = alive.size
    # Boxes dropped per plain greedy step: guessed from the candidate pairs
    # at first, then measured.
    per_step = plan[0] / planned
    while alive.size > 1:
        m = alive.size
        graph_cost = plan[0] * _COST_PAIR
        greedy_cost = m / (1.0 + per_step) * (_COST_STEP + _COST_STEP_BOX * m)
        if graph_cost <= greedy_cost:
            _suppress_by_graph(geo, thr, plan, undecided, dropped)
            break
        # Heavy overlap: plain steps, each dropping many boxes.
        count = 0
        for _ in range(_GREEDY_STEPS):
            if alive.size < 2:
                break
            rest = alive[1:]
            over = _iou(geo, alive[0], rest) > thr
            gone = rest[over]
            dropped[gone] = 1
            undecided[gone] = False
            undecided[alive[0]] = False
            count += gone.size
            alive = rest[~over]
        per_step = count / _GREEDY_STEPS
        if 1 < alive.size <= 0.7 * planned:
            plan = _plan(geo, alive, thr)
            planned = alive.size
    return order[dropped == 0]


def _iou(geo, i, j):
    """IoU of the rank pairs (i, j), bit for bit the same for (j, i)."""
    x1, y1, x2, y2, _, _, area = geo
    iw = np.minimum(x2[i], x2[j])
    iw -= np.maximum(x1[i], x1[j])
    np.maximum(iw, 0.0, out=iw)
    ih = np.minimum(y2[i], y2[j])
    ih -= np.maximum(y1[i], y1[j])
    np.maximum(ih, 0.0, out=ih)
    inter = iw
    inter *= ih
    with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
        union = area[i] + area[j]
        union -= inter
        iou = inter / union
    iou[~(union > 0.0)] = 0.0
    return iou


def _strip_of(v, v0, height, cap):
    """Strip number of each coordinate: monotone, clamped to [-1, cap]."""
    with np.errstate(over="ignore", invalid="ignore"):
        k = (v - v0) / height
    k[np.isnan(k)] = cap
    np.clip(k, -1.0, float(cap), out=k)
    return np.floor(k).astype(np.int64)


def _plan(geo, alive, thr):
    """Candidate pairs of `alive`, for the cheaper of the two sweep axes."""
    a = _plan_axis(geo, alive, thr, 0)
    if a[0] <= alive.size:
        return a
    b = _plan_axis(geo, alive, thr, 1)
    return a if a[0] <= b[0] else b


def _plan_axis(geo, alive, thr, axis):
    """Count candidate pairs: strips across `axis`, a sweep along it.

    For any pair, the IoU is at most the overlap along one axis divided by
    either box's extent on that axis.  So a box reaches IoU > thr only with
    boxes that start (on each axis) before its far edge minus thr times its
    extent, and that start after its near edge minus (1 - thr) times their
    own extent (which is below its extent / thr).  Boxes are binned into
    strips by their near edge across the sweep axis; each box pairs with the
    boxes of its own strip that come later in sweep order, and with the boxes
    of the later strips within its reach, inside the window above.

    Returns (pair count, sorted boxes, query sources, query starts, query
    counts); positions refer to the sorted boxes.
    """
    x1, y1, x2, y2, w, h, _ = geo
    if axis == 0:
        ulo, uhi, usz, vlo, vhi, vsz = x1, x2, w, y1, y2, h
    else:
        ulo, uhi, usz, vlo, vhi, vsz = y1, y2, h, x1, x2, w
    m = alive.size
    ua, ub, uw = ulo[alive], uhi[alive], usz[alive]
    va, vb, vh = vlo[alive], vhi[alive], vsz[alive]
    frac = thr * (1.0 - _REL)
    with np.errstate(over="ignore", invalid="ignore"):
        ulim = ub - uw * frac + _ABS * (np.abs(ua) + np.abs(ub))
        vlim = vb - vh * frac + _ABS * (np.abs(va) + np.abs(vb))
    # Limits that overflowed to NaN become unbounded.
    ulim[np.isnan(ulim)] = np.inf
    vlim[np.isnan(vlim)] = np.inf

    # Sweep keys: rank of the near edge (exact, integer).
    edges = np.unique(ua)
    ru = np.searchsorted(edges, ua)
    stride = edges.size + 1
    cap = min(1 << 40, (1 << 62) // stride - 2)

    # Strip height: about one strip per box reach, coarser if the queries
    # across strips grow too many.
    v0 = float(va.min())
    reach = vlim - va
    with np.errstate(over="ignore", invalid="ignore"):
        height = float(np.mean(np.maximum(reach, 0.0)))
        if not (height > 0.0 and np.isfinite(height)):
            height = float(np.mean(vh))
    if not (height > 0.0 and np.isfinite(height)):
        height = np.inf
    budget = _QUERIES_PER_BOX * m + 64
    while True:
        if not np.isfinite(height):
            home = np.zeros(m, dtype=np.int64)
            span = np.zeros(m, dtype=np.int64)
            nq = 0
            break
        home = _strip_of(va, v0, height, cap)
        span = _strip_of(vlim, v0, height, cap) - home
        np.maximum(span, 0, out=span)
        nq = int(span.sum())
        if nq <= budget:
            break
        height *= max(4.0, nq / budget)

    key = home * stride + ru
    perm = np.argsort(key, kind="stable")
    key = key[perm]
    sel = alive[perm]
    home = home[perm]
    ua, ub, uw, ulim, span = ua[perm], ub[perm], uw[perm], ulim[perm], span[perm]
    end_rank = np.searchsorted(edges, ulim, side="left")

    # Own strip: later boxes of the same strip whose near edge is in reach.
    pos = np.arange(m)
    ends = np.searchsorted(key, home * stride + end_rank, side="left")
    counts = ends - pos - 1
    np.maximum(counts, 0, out=counts)
    src, starts = [pos], [pos + 1]
    cnts = [counts]

    if nq:
        # Later strips within reach, one query per (box, strip).
        qp = np.repeat(pos, span)
        qs = np.repeat(home, span) + 1
        qs += np.arange(nq) - np.repeat(np.cumsum(span) - span, span)
        strips, first = np.unique(home, return_index=True)
        k = np.searchsorted(strips, qs)
        k[k == strips.size] = 0
        hit = strips[k] == qs
        qp, qs, k = qp[hit], qs[hit], k[hit]
        widest = np.maximum.reduceat(uw, first)[k]
        own = uw[qp]
        if thr > 0.0:
            with np.errstate(over="ignore"):
                np.minimum(widest, own / frac, out=widest)
        back = widest * ((1.0 - frac) * (1.0 + _REL) + _REL)
        back += _ABS * (np.abs(ua[qp]) + np.abs(ub[qp]) + widest)
        lo_rank = np.searchsorted(edges, ua[qp] - back, side="right")
        qbase = qs * stride
        qstart = np.searchsorted(key, qbase + lo_rank, side="left")
        qend = np.searchsorted(key, qbase + end_rank[qp], side="left")
        qcnt = qend - qstart
        np.maximum(qcnt, 0, out=qcnt)
        src.append(qp)
        starts.append(qstart)
        cnts.append(qcnt)

    src = np.concatenate(src)
    starts = np.concatenate(starts)
    cnts = np.concatenate(cnts)
    nz = cnts > 0
    src, starts, cnts = src[nz], starts[nz], cnts[nz]
    return int(cnts.sum()), sel, src, starts, cnts


def _suppress_by_graph(geo, thr, plan, undecided, dropped):
    """Greedy suppression over the graph of pairs with IoU > thr."""
    total, sel, src, starts, cnts = plan
    if total == 0:
        return
    # Pairs are formed in sweep order, where the coordinates of both ends
    # sit close together in memory; only the pairs that hit go to ranks.
    geo = tuple(a[sel] for a in geo)
    undecided = undecided[sel]
    heads, tails = [], []
    csum = np.cumsum(cnts)
    lo = 0
    while lo < src.size:
        base = int(csum[lo - 1]) if lo else 0
        hi = int(np.searchsorted(csum, base + _PAIR_CHUNK, side="right"))
        hi = max(hi, lo + 1)
        c = cnts[lo:hi]
        offs = np.arange(int(csum[hi - 1]) - base) - np.repeat(np.cumsum(c) - c, c)
        i = np.repeat(src[lo:hi], c)
        j = np.repeat(starts[lo:hi], c) + offs
        both = undecided[i] & undecided[j]
        if not both.all():
            i = i[both]
            j = j[both]
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
    uniq, first = np.unique(head, return_index=True)
    last = np.append(first[1:], head.size)
    # Walk the heads in rank order; a head still standing is kept and drops
    # its lower-ranked neighbours.  The flags are a bytearray (cheap scalar
    # access); long neighbour lists go through a NumPy view of it.
    flags = bytearray(dropped.size)
    view = np.frombuffer(flags, dtype=np.uint8)
    tail_list = tail.tolist()
    for u, f, e in zip(uniq.tolist(), first.tolist(), last.tolist()):
        if flags[u]:
            continue
        if e - f > 32:
            view[tail[f:e]] = 1
        else:
            for v in tail_list[f:e]:
                flags[v] = 1
    dropped |= view
