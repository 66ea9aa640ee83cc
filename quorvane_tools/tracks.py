"""Tracks: the same circle or ellipse from frame to frame, with a stable id, smoothed, lost
while hidden and found again.

    import quorvane_tools as qt
    tracker = qt.Tracker(frame=(1920, 1080))
    for f in result["frames"]:                       # the records of track_video, in order
        step = tracker.update(f["shapes"], f["time"])
        for t in step["tracks"]:
            print(f["index"], t["id"], t["state"], t["x"], t["y"], t["vx"], t["vy"])

Each frame's shapes are matched to the live tracks by a gated cost: the distance from a
track's predicted centre (constant velocity), the change of size, and a change of kind
(circle / ellipse). The matching is exact: gating splits the problem into independent groups,
groups of at most four tracks or shapes are solved by trying every matching, larger ones by
SciPy's ``linear_sum_assignment`` when SciPy is installed (imported the first time a frame needs
it) or by the same algorithm written here. A matched track is smoothed with an alpha-beta
filter (the first few frames are a least-squares line fit, then fixed gains), so it carries a
smoothed centre, size and a velocity in pixels per second from the frames' times.

A track is *tentative* until it has been seen in ``confirm`` frames in a row; then it gets the
next integer id (1, 2, ...) and is *confirmed* (event ``appeared``). A frame without a match
makes it *lost* (event ``lost``): it coasts along its prediction, its gate widening, and a
match makes it confirmed again (event ``found``). After ``max_lost`` frames without a match,
or once its predicted centre has left the frame (given ``frame``), it *ends* (event
``ended``). Tentative tracks have no id and are not reported; one frame without a match drops
them. Lines are not tracked (a line has no centre to follow).
"""

from __future__ import annotations

import math

from ._matching import match_pairs
from ._track_records import CONFIRMED, ELLIPSE, LOST, TENTATIVE, Track, _State, _detections, _record, _theta

# Names of the tracks' parts, importable from here as they always were (those of tracks in
# video on first use: they build on Tracker).
from ._matching import _SMALL, _groups, _hungarian, _lsa, _search, _solve  # noqa: F401
from ._track_records import CIRCLE, _floor  # noqa: F401

__all__ = ["Tracker", "Track", "track_records", "draw_tracks"]

_VIDEO = ("VideoTracking", "parse_options", "PALETTE", "TrackOverlay", "draw_tracks", "phrase")


def __getattr__(name: str):
    if name in _VIDEO:
        from . import _track_video

        return getattr(_track_video, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class Tracker:
    """Follows circles and ellipses from frame to frame.

    Feed it one frame at a time with ``update(shapes, time)``, in order of time. Defaults are
    tuned on ``bench/bench_tracks.py``; distances are in radii of the track, so one setting fits
    small and large objects.

    Parameters
    ----------
    gate : float, optional
        How far a shape may lie from a track's predicted centre, in radii, to be matched to it
        (1.5). Wider follows jerkier motion and noisier fits; narrower keeps a track from taking
        a neighbour's shape when objects pass close.
    first_gate : float, optional
        The same for a track seen in one frame only (no velocity yet; 4.0): new objects moving
        faster than this many radii per frame are not picked up.
    growth : float, optional
        Radii the gate widens by for every frame a track goes unmatched, as its prediction's
        error grows (0.25). More finds objects that turned while hidden; less keeps a lost track
        from taking another object's shape.
    min_gate : float, optional
        The smallest gate in pixels, for small objects and noisy fits (4.0).
    size_change : float, optional
        The largest ratio between a shape's radius and the track's (1.5).
    kind_cost : float, optional
        Added to the cost of matching a circle to an ellipse track or the other way (1.0;
        ``math.inf`` forbids it); the track takes the kind of its last match.
    confirm : int, optional
        Frames in a row a new track must be seen before it gets an id (3). More keeps false
        detections from becoming tracks; fewer reports objects sooner.
    max_lost : int, optional
        Frames a lost track waits for its object before it ends (15). More bridges longer
        occlusions and runs of misses; less frees the object's place sooner, so that another
        object coming there is not taken for it.
    position_gain, velocity_gain, size_gain : float, optional
        How far each match pulls the smoothed centre, velocity and size towards the shape (0.5,
        0.15, 0.3). Lower is smoother but lags behind turns and sudden stops.
    frame : tuple, optional
        (width, height); a lost track whose predicted centre has left the frame ends at once,
        as an object that left (None: no frame).

    Raises
    ------
    ValueError
        For a value out of its range, with a one-line reason.

    Examples
    --------
    >>> tracker = Tracker(confirm=2)
    >>> for k in range(3):   # a circle moving right, 2 px every 40 ms
    ...     step = tracker.update([{"shape": "circle", "x": 10.0 + 2 * k, "y": 20.0, "r": 5.0}], 0.04 * k)
    >>> t = step["tracks"][0]
    >>> t["id"], t["state"], t["x"], t["vx"]
    (1, 'confirmed', 14.0, 50.0)
    """

    def __init__(
        self,
        *,
        gate: float = 1.5,
        first_gate: float = 4.0,
        growth: float = 0.25,
        min_gate: float = 4.0,
        size_change: float = 1.5,
        kind_cost: float = 1.0,
        confirm: int = 3,
        max_lost: int = 15,
        position_gain: float = 0.5,
        velocity_gain: float = 0.15,
        size_gain: float = 0.3,
        frame=None,
    ):
        for name, v in (("gate", gate), ("first_gate", first_gate), ("min_gate", min_gate)):
            if not 0 < v < math.inf:
                raise ValueError(f"{name} must be a positive number, not {v}")
        if not 0 <= growth < math.inf:
            raise ValueError(f"growth must be 0 or more, not {growth}")
        if not 1 < size_change < math.inf:
            raise ValueError(f"size_change must be above 1 (a ratio of radii), not {size_change}")
        if not kind_cost >= 0:
            raise ValueError(f"kind_cost must be 0 or more, not {kind_cost}")
        for name, v in (("position_gain", position_gain), ("velocity_gain", velocity_gain),
                        ("size_gain", size_gain)):
            if not 0 < v <= 1:
                raise ValueError(f"{name} must be in (0, 1], not {v}")
        if isinstance(confirm, bool) or int(confirm) != confirm or confirm < 1:
            raise ValueError(f"confirm must be a whole number of frames, at least 1, not {confirm}")
        if isinstance(max_lost, bool) or int(max_lost) != max_lost or max_lost < 0:
            raise ValueError(f"max_lost must be a whole number of frames, 0 or more, not {max_lost}")
        if frame is not None:
            try:
                fw, fh = (float(v) for v in frame)
            except (TypeError, ValueError):
                raise ValueError(f"frame must be (width, height) in pixels, not {frame!r}") from None
            if not (0 < fw < math.inf and 0 < fh < math.inf):
                raise ValueError(f"frame must be (width, height) in pixels, not {frame!r}")
            frame = (fw, fh)
        self.gate, self.first_gate, self.growth, self.min_gate = gate, first_gate, growth, min_gate
        self.size_change, self.kind_cost = size_change, kind_cost
        self.confirm, self.max_lost = int(confirm), int(max_lost)
        self.position_gain, self.velocity_gain, self.size_gain = position_gain, velocity_gain, size_gain
        self.frame = frame
        self._live = []  # tracks in the order they started (so confirmed ones by id)
        self._time = None
        self._next_id = 1

    @property
    def tracks(self) -> list:
        """The live tracks as ``Track`` values: confirmed and lost ones by id, then the
        tentative ones."""
        out = []
        for s in sorted(self._live, key=lambda s: (s.id is None, s.id or 0)):
            dt = self._time - s.t
            out.append(Track(s.id, s.state, s.kind, s.x + s.vx * dt, s.y + s.vy * dt, s.r, s.a,
                             s.b, _theta(s.c2, s.s2), s.vx, s.vy, s.seen, s.missed))
        return out

    def update(self, shapes, time: float) -> dict:
        """Match this frame's shapes (records as in ``Found.to_dict()["shapes"]``, or ``Shape``
        values; lines are left out) to the tracks, at ``time`` seconds (later than the previous
        frame's).

        Returns ``{"tracks": [...], "events": [...]}``: a record per confirmed or lost track, by
        id: ``{"id", "state", "shape", "x", "y", "r", "vx", "vy", "match"}`` (an ellipse has
        ``"a"``, ``"b"``, ``"theta"`` in place of ``"r"``), where ``match`` is the index in
        ``shapes`` of the shape matched in this frame, or None; and the frame's events,
        ``{"event": "appeared" | "lost" | "found" | "ended", "id": n}``, kind by kind in that
        order, each by id. A track that ends in the frame it is lost in has only ``ended``."""
        time = float(time)
        if not math.isfinite(time):
            raise ValueError(f"frame time {time} is not a finite number of seconds")
        if self._time is not None and not time > self._time:
            raise ValueError(f"frame times must increase: {time} s after {self._time} s")
        self._time = time
        dets = _detections(shapes)
        live = self._live
        pred = []
        for s in live:
            dt = time - s.t
            pred.append((s.x + s.vx * dt, s.y + s.vy * dt, dt))
        chosen, shared = self._match(live, pred, dets) if live and dets else ([], ())

        match_of = [-1] * len(live)
        for k, j in chosen:
            match_of[k] = j
            self._correct(live[k], dets[j], pred[k], time, j in shared)
        appeared, lost, found, ended = [], [], [], []
        keep, ready = [], []
        for k, s in enumerate(live):
            if match_of[k] >= 0:
                if s.state == LOST:
                    s.state = CONFIRMED
                    found.append(s.id)
                elif s.state == TENTATIVE and s.seen >= self.confirm:
                    ready.append(len(keep))
                keep.append((s, match_of[k], s.x, s.y))
                continue
            s.missed += 1
            if s.state == TENTATIVE:
                continue
            px, py = pred[k][0], pred[k][1]
            if s.missed > self.max_lost or self._outside(px, py):
                ended.append(s.id)
                continue
            if s.state == CONFIRMED:
                s.state = LOST
                lost.append(s.id)
            keep.append((s, -1, px, py))
        if ready:
            keep = self._confirm_ready(keep, ready, appeared, lost, found)

        # Shapes left over start tentative tracks, unless they lie within a track matched now
        # (a second fit on the same object).
        if len(chosen) < len(dets):
            used = {j for _, j in chosen}
            near = [(s.x, s.y, s.r * s.r) for s, j, _, _ in keep if j >= 0]
            for j, d in enumerate(dets):
                if j in used:
                    continue
                x, y = d[0], d[1]
                if any((x - a) ** 2 + (y - b) ** 2 < rr for a, b, rr in near):
                    continue
                s = _State(d, time)
                if self.confirm == 1:
                    self._confirm(s, appeared)
                keep.append((s, j, s.x, s.y))
        self._live = [s for s, _, _, _ in keep]

        events = ([{"event": "ended", "id": v} for v in sorted(ended)]
                  + [{"event": "lost", "id": v} for v in sorted(lost)]
                  + [{"event": "found", "id": v} for v in sorted(found)]
                  + [{"event": "appeared", "id": v} for v in appeared])
        shown = [t for t in keep if t[0].state != TENTATIVE]
        shown.sort(key=lambda t: t[0].id)
        where = [d[8] for d in dets]
        return {"tracks": [_record(s, j, x, y, where) for s, j, x, y in shown], "events": events}

    def run(self, records: list) -> list:
        """Add ``"tracks"`` and ``"events"`` to every frame record (dicts with ``"time"`` and
        ``"shapes"``, as ``track_video`` returns them), in order; returns the records."""
        for rec in records:
            rec.update(self.update(rec["shapes"], rec["time"]))
        return records

    # ------------------------------------------------------------------

    def _match(self, live, pred, dets):
        """(track, shape) pairs: confirmed and lost tracks first, the most pairs within the
        gates, then the least total cost; tentative tracks share the shapes left."""
        steady, fresh = [], []
        g, fg, growth, mg = self.gate, self.first_gate, self.growth, self.min_gate
        sc, kind_cost = self.size_change, self.kind_cost
        inv_log = 1 / math.log(sc)
        log = math.log
        for k, s in enumerate(live):
            px, py, _ = pred[k]
            r = s.r
            reach = r * ((g if s.seen >= 2 else fg) + growth * s.missed)
            reach2 = reach * reach if reach > mg else mg * mg
            scale = r * g if r * g > mg else mg
            inv = 1 / (scale * scale)
            lo, hi = r / sc, r * sc
            out = fresh if s.state == TENTATIVE else steady
            for j, d in enumerate(dets):
                dx = d[0] - px
                dx2 = dx * dx
                if dx2 > reach2:
                    continue
                dy = d[1] - py
                d2 = dx2 + dy * dy
                if d2 > reach2 or not lo <= d[2] <= hi:
                    continue
                c = log(d[2] / r) * inv_log
                c = d2 * inv + c * c
                if d[3] != s.kind:
                    if kind_cost == math.inf:
                        continue
                    c += kind_cost
                out.append((k, j, c))
        chosen = match_pairs(steady)
        seen, shared = set(), set()
        for _, j, _ in steady:
            if j in seen:
                shared.add(j)
            seen.add(j)
        if fresh:
            taken = {j for _, j in chosen}
            chosen += match_pairs([p for p in fresh if p[1] not in taken])
        return chosen, shared

    def _correct(self, s, d, pred, time, shared):
        """Alpha-beta update of track ``s`` with shape ``d``: the gains of a least-squares line
        through the first measurements, then the fixed ones. A ``shared`` shape (one that
        other confirmed or lost tracks could have taken too: objects touching or overlapping,
        where fits are pulled between them) moves the centre but leaves the velocity alone, so
        that tracks keep their headings through a crossing."""
        px, py, dt = pred
        n = s.seen + 1
        alpha = max(2 * (2 * n - 1) / (n * (n + 1)), self.position_gain)
        beta = max(6 / (n * (n + 1)), self.velocity_gain)
        gain = max(1 / n, self.size_gain)
        ex, ey = d[0] - px, d[1] - py
        s.x, s.y = px + alpha * ex, py + alpha * ey
        if not shared:
            s.vx += beta * ex / dt
            s.vy += beta * ey / dt
        s.r += gain * (d[2] - s.r)
        s.a += gain * (d[4] - s.a)
        s.b += gain * (d[5] - s.b)
        if d[3] == ELLIPSE:  # the axis's angle, averaged on the doubled angle (period pi)
            c = s.c2 + gain * (d[6] - s.c2)
            sn = s.s2 + gain * (d[7] - s.s2)
            norm = math.hypot(c, sn)
            if norm > 0:
                s.c2, s.s2 = c / norm, sn / norm
        s.t, s.kind, s.seen, s.missed = time, d[3], n, 0

    def _confirm_ready(self, keep, ready, appeared, lost, found):
        """Confirm the tentative tracks seen often enough, except one whose centre lies within
        the radius of a confirmed track matched now (a second fit on its object: dropped). One
        within the gate of a lost track (an object that came out of hiding where its track did
        not expect it, or that the finder fitted too small at first) hands its state to that
        track, which is found again, rather than taking a new id."""
        gone = set()
        for n in ready:
            s, j, _, _ = keep[n]
            if any(oj >= 0 and o.state == CONFIRMED and (s.x - o.x) ** 2 + (s.y - o.y) ** 2 < o.r * o.r
                   for o, oj, _, _ in keep):
                gone.add(n)
                continue
            best, best_d2 = None, math.inf
            for m, (o, oj, px, py) in enumerate(keep):
                if oj >= 0 or o.state != LOST or m in gone:
                    continue
                reach = max(o.r * (self.gate + self.growth * o.missed), self.min_gate)
                d2 = (s.x - px) ** 2 + (s.y - py) ** 2
                sized = o.r / self.size_change <= s.r <= o.r * self.size_change
                if d2 <= reach * reach and sized and d2 < best_d2:
                    best, best_d2 = m, d2
            if best is None:
                self._confirm(s, appeared)
                continue
            o = keep[best][0]
            o.x, o.y, o.vx, o.vy, o.r, o.a, o.b = s.x, s.y, s.vx, s.vy, s.r, s.a, s.b
            o.c2, o.s2, o.t, o.kind = s.c2, s.s2, s.t, s.kind
            o.seen, o.missed, o.state = o.seen + s.seen, 0, CONFIRMED
            if o.id in lost:
                lost.remove(o.id)  # lost and found in one frame: neither
            else:
                found.append(o.id)
            keep[best] = (o, j, o.x, o.y)
            gone.add(n)
        return [t for n, t in enumerate(keep) if n not in gone]

    def _confirm(self, s, appeared):
        s.state, s.id = CONFIRMED, self._next_id
        appeared.append(self._next_id)
        self._next_id += 1

    def _outside(self, x, y) -> bool:
        if self.frame is None:
            return False
        w, h = self.frame
        return x < 0 or y < 0 or x >= w or y >= h


def track_records(records: list, **options) -> list:
    """Run a new ``Tracker(**options)`` over frame records in order; see ``Tracker.run``."""
    return Tracker(**options).run(records)


