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
from dataclasses import dataclass

__all__ = ["Tracker", "Track", "track_records", "draw_tracks"]

TENTATIVE, CONFIRMED, LOST = "tentative", "confirmed", "lost"
CIRCLE, ELLIPSE = "circle", "ellipse"
_SMALL = 4  # groups with at most this many tracks (and twice as many shapes) are searched
_lsa = None  # scipy.optimize.linear_sum_assignment once looked up; False: SciPy is missing
_floor = math.floor


@dataclass(frozen=True)
class Track:
    """A track as it stands after the last ``update``: ``state`` is "tentative", "confirmed"
    or "lost"; ``id`` is None while tentative. ``x``, ``y``, ``r`` (equivalent radius: the
    geometric mean of an ellipse's semi-axes), ``a`` >= ``b`` (semi-axes), ``theta`` (the
    major axis's angle, radians) are smoothed; for a lost track ``x`` and ``y`` are where it
    is predicted to be at the last frame's time. ``vx``, ``vy`` are in pixels per second;
    ``seen`` counts the frames it was matched in, ``missed`` the frames since the last."""

    id: int | None
    state: str
    kind: str
    x: float
    y: float
    r: float
    a: float
    b: float
    theta: float
    vx: float
    vy: float
    seen: int
    missed: int


class _State:
    """One live track: the filter's state at the time ``t`` of its last match."""

    __slots__ = ("x", "y", "vx", "vy", "r", "a", "b", "c2", "s2", "t", "kind", "seen",
                 "missed", "state", "id")

    def __init__(self, d, time):
        self.x, self.y, self.r, self.kind, self.a, self.b, self.c2, self.s2 = d[:8]
        self.vx = self.vy = 0.0
        self.t = time
        self.seen, self.missed = 1, 0
        self.state, self.id = TENTATIVE, None


class Tracker:
    """Follows circles and ellipses from frame to frame; feed it one frame at a time with
    ``update(shapes, time)``, in order of time.

    Parameters (defaults tuned on ``bench/bench_tracks.py``; distances are in radii of the
    track, so one setting fits small and large objects):

    ``gate`` (1.5): how far a shape may lie from a track's predicted centre, in radii, to be
        matched to it. Wider follows jerkier motion and noisier fits; narrower keeps a track
        from taking a neighbour's shape when objects pass close.
    ``first_gate`` (4.0): the same for a track seen in one frame only (no velocity yet): new
        objects moving faster than this many radii per frame are not picked up.
    ``growth`` (0.25): radii the gate widens by for every frame a track goes unmatched, as its
        prediction's error grows. More finds objects that turned while hidden; less keeps a
        lost track from taking another object's shape.
    ``min_gate`` (4.0): the smallest gate in pixels, for small objects and noisy fits.
    ``size_change`` (1.5): the largest ratio between a shape's radius and the track's.
    ``kind_cost`` (1.0): added to the cost of matching a circle to an ellipse track or the
        other way (``math.inf`` forbids it); the track takes the kind of its last match.
    ``confirm`` (3): frames in a row a new track must be seen before it gets an id. More
        keeps false detections from becoming tracks; fewer reports objects sooner.
    ``max_lost`` (15): frames a lost track waits for its object before it ends. More bridges
        longer occlusions and runs of misses; less frees the object's place sooner, so that
        another object coming there is not taken for it.
    ``position_gain`` (0.5), ``velocity_gain`` (0.15), ``size_gain`` (0.3): how far each
        match pulls the smoothed centre, velocity and size towards the shape. Lower is smoother
        but lags behind turns and sudden stops.
    ``frame`` (None): (width, height); a lost track whose predicted centre has left the frame
        ends at once, as an object that left.
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


# --------------------------------------------------------------------------
# Tracks in video: the tracker's options checked before the work, and ids with trails drawn on
# the annotated frames


class VideoTracking:
    """Tracking for ``track_video``: ``options`` is True or a dict of ``Tracker`` keywords
    (checked here: TypeError or ValueError), ``frame`` the video's (width, height)."""

    def __init__(self, options, frame, trail: int = 25):
        try:
            self.options = {} if options is True else dict(options)
        except (TypeError, ValueError):
            raise TypeError(f"expected True or a dict of Tracker keywords, not {options!r}") from None
        self.frame = frame
        self.trail = trail
        self.tracker()

    def tracker(self) -> Tracker:
        return Tracker(frame=self.frame, **self.options)

    def run(self, records: list) -> list:
        """Track records of consecutive frames, in order (adds "tracks" and "events")."""
        return self.tracker().run(records)

    def overlay(self) -> TrackOverlay:
        """An overlay that tracks the records as the frames come (in order, one process)."""
        return TrackOverlay(self.tracker(), trail=self.trail)

    def replay(self, records: list, start: int, stop: int) -> TrackOverlay:
        """An overlay for frames start..stop-1 of tracked ``records`` (consecutive frames
        in order), its trails primed with the frames before ``start``."""
        first = records[0]["index"] if records else start
        lo, hi = max(0, start - first - self.trail), max(0, stop - first)
        o = TrackOverlay(None, trail=self.trail)
        part = records[lo:hi]
        o.replay = {rec["index"]: rec["tracks"] for rec in part}
        for rec in part:
            if rec["index"] >= start:
                break
            o._follow(rec["tracks"])
        return o


def parse_options(pairs) -> dict:
    """``Tracker`` keywords from a command line's (KEY, VALUE) texts (``frame`` excepted: that
    is the picture's size): a whole number where the default is one (``confirm``,
    ``max_lost``), else a number. ValueError with a one-line reason for an unknown key or a
    value that is not a number; ``Tracker`` checks the values themselves."""
    defaults = {k: v for k, v in Tracker.__init__.__kwdefaults__.items() if k != "frame"}
    out = {}
    for key, text in pairs:
        if key not in defaults:
            raise ValueError(f"{key}={text}: no such tracker option; expected one of "
                             + ", ".join(defaults))
        whole = isinstance(defaults[key], int)
        try:
            out[key] = int(text) if whole else float(text)
        except ValueError:
            raise ValueError(f"{key}={text}: give {'a whole number' if whole else 'a number'}") from None
    return out


PALETTE = ((255, 64, 64), (64, 160, 255), (255, 210, 0), (0, 220, 120), (255, 96, 255),
           (0, 230, 230), (255, 150, 40), (170, 120, 255), (160, 230, 60), (255, 130, 170))


class TrackOverlay:
    """Draws every listed track's id ("#3", on a colour of its own, below left of the shape)
    and the trail of its last ``trail`` centres on an annotated frame; a lost track as a thin
    circle where it is predicted, its id followed by "?". Called with the picture and the
    frame's record; with a ``tracker`` it first tracks the record (adding "tracks" and
    "events" to it)."""

    def __init__(self, tracker=None, trail: int = 25):
        self.tracker = tracker
        self.trail = trail
        self.replay = None
        self.paths = {}

    def __call__(self, picture, record):
        if self.tracker is not None:
            self.follow(record)
            tracks = record["tracks"]
        else:
            tracks = self.replay[record["index"]]
            self._follow(tracks)
        return draw_tracks(picture, tracks, self.paths)

    def follow(self, record, time=None) -> dict:
        """Track ``record`` at ``time`` (default: its "time"), adding "tracks" and "events" to
        it, and extend the trails, without drawing. Returns the trails, {id: ((x, y), ...)}:
        a new dict each frame, never changed afterwards, so another thread may draw from it."""
        record.update(self.tracker.update(record["shapes"], record["time"] if time is None else time))
        self._follow(record["tracks"])
        return self.paths

    def _follow(self, tracks):
        paths, n = {}, self.trail
        for t in tracks:
            p = self.paths.get(t["id"], ()) + ((t["x"], t["y"]),)
            paths[t["id"]] = p[len(p) - n:] if len(p) > n else p
        self.paths = paths


def draw_tracks(picture, tracks, paths=None):
    """A copy of an RGB picture (or the picture itself, when it is writable) with the tracks'
    ids and trails drawn; only the part of the picture they cover passes through Pillow."""
    import numpy as np
    from PIL import Image, ImageDraw

    from .draw import _font

    if not tracks:
        return picture
    h, w = picture.shape[:2]
    size = max(11, round(min(w, h) / 40))
    width = max(2, round(min(w, h) / 300))
    items, xs, ys = [], [], []
    for t in tracks:
        trail = list((paths or {}).get(t["id"], ())) or [(t["x"], t["y"])]
        r = t.get("r") or math.sqrt(max(t.get("a", 1) * t.get("b", 1), 1))
        items.append((t, trail, r))
        xs += [p[0] for p in trail] + [t["x"] - r - 4 * size, t["x"] + r]
        ys += [p[1] for p in trail] + [t["y"] - r, t["y"] + r + 2 * size]
    x0, x1 = max(int(min(xs)) - width - 2, 0), min(int(max(xs)) + width + 3, w)
    y0, y1 = max(int(min(ys)) - width - 2, 0), min(int(max(ys)) + width + 3, h)
    if x0 >= x1 or y0 >= y1:
        return picture
    out = picture if picture.flags.writeable else np.array(picture)
    crop = Image.fromarray(np.ascontiguousarray(out[y0:y1, x0:x1]))
    draw = ImageDraw.Draw(crop)
    font = _font(size)  # loaded once per size, not on every frame
    for t, trail, r in items:
        colour = PALETTE[(t["id"] - 1) % len(PALETTE)]
        pts = [(x - x0, y - y0) for x, y in trail]
        if len(pts) > 1:
            draw.line(pts, fill=(0, 0, 0), width=width + 2)
            draw.line(pts, fill=colour, width=width)
        cx, cy = t["x"] - x0, t["y"] - y0
        lost = t["state"] == LOST
        if lost:
            draw.ellipse((cx - r, cy - r, cx + r, cy + r), outline=colour, width=1)
        text = f"#{t['id']}?" if lost else f"#{t['id']}"
        l, tp, rt, b = draw.textbbox((0, 0), text, font=font)
        bx, by = cx - 0.72 * r - (rt - l) - 6, cy + 0.72 * r  # lower left: the shape's number is upper right
        draw.rectangle((bx, by, bx + rt - l + 6, by + b - tp + 4), fill=colour)
        draw.text((bx + 3 - l, by + 2 - tp), text, fill=(0, 0, 0), font=font)
    out[y0:y1, x0:x1] = np.asarray(crop)
    return out


def phrase(record) -> str:
    """The tracks and events of a frame record, for a line of text ("" when there are none)."""
    parts = [f"#{t['id']} ({t['x']:.1f}, {t['y']:.1f})" + (" lost" if t["state"] == LOST else "")
             for t in record["tracks"]]
    parts += [f"#{e['id']} {e['event']}" for e in record["events"]]
    return ("  |  tracks " + ", ".join(parts)) if parts else ""


def _record(s, j, x, y, where):
    f = _floor
    rec = {"id": s.id, "state": s.state, "shape": s.kind,
           "x": f(x * 100 + 0.5) / 100, "y": f(y * 100 + 0.5) / 100}
    if s.kind == CIRCLE:
        rec["r"] = f(s.r * 100 + 0.5) / 100
    else:
        rec["a"] = f(s.a * 100 + 0.5) / 100
        rec["b"] = f(s.b * 100 + 0.5) / 100
        rec["theta"] = f(_theta(s.c2, s.s2) * 10000 + 0.5) / 10000
    rec["vx"] = f(s.vx * 100 + 0.5) / 100
    rec["vy"] = f(s.vy * 100 + 0.5) / 100
    rec["match"] = where[j] if j >= 0 else None
    return rec


def _detections(shapes):
    """Tuples (x, y, radius, kind, major, minor, cos 2theta, sin 2theta, index in ``shapes``)
    of the circles and ellipses among ``shapes`` with a finite centre and a positive size
    (None stands for a number that is not finite, as in the JSON of ``quorvane live``)."""
    out = []
    isfinite = math.isfinite

    def num(v):
        return math.nan if v is None else float(v)

    for k, s in enumerate(shapes):
        if not isinstance(s, dict):
            if not getattr(s, "found", True):
                continue
            s = s.to_dict()
        kind = s.get("shape")
        if kind == CIRCLE:
            x, y, r = num(s["x"]), num(s["y"]), num(s["r"])
            if r > 0 and isfinite(x) and isfinite(y) and isfinite(r):
                out.append((x, y, r, CIRCLE, r, r, 1.0, 0.0, k))
        elif kind == ELLIPSE:
            x, y = num(s["x"]), num(s["y"])
            a, b, th = abs(num(s["a"])), abs(num(s["b"])), num(s["theta"])
            if a < b:
                a, b, th = b, a, th + math.pi / 2
            if b > 0 and all(isfinite(v) for v in (x, y, a, th)):
                out.append((x, y, math.sqrt(a * b), ELLIPSE, a, b, math.cos(2 * th),
                            math.sin(2 * th), k))
    return out


def _theta(c2, s2) -> float:
    """The major axis's angle in radians within [-pi/2, pi/2), from its doubled angle."""
    t = 0.5 * math.atan2(s2, c2)
    return t - math.pi if t >= math.pi / 2 else t


# --------------------------------------------------------------------------
# Exact matching


def match_pairs(pairs) -> list:
    """From candidate pairs (row, column, cost), the matching with the most pairs and, among
    those, the least total cost: (row, column) pairs sorted by row. Rows and columns that no
    candidate links are solved apart; a group of at most four rows or columns by trying
    every matching, a larger one as a linear assignment (SciPy's, else the one here)."""
    if not pairs:
        return []
    rows = {p[0] for p in pairs}
    cols = {p[1] for p in pairs}
    if len(rows) == len(cols) == len(pairs):
        return sorted((r, c) for r, c, _ in pairs)  # no row or column wanted twice
    out = []
    for group in _groups(pairs):
        g_rows = {p[0] for p in group}
        g_cols = {p[1] for p in group}
        if len(g_rows) == 1 or len(g_cols) == 1:
            best = min(group, key=lambda p: (p[2], p[0], p[1]))
            out.append((best[0], best[1]))
        elif min(len(g_rows), len(g_cols)) <= _SMALL and max(len(g_rows), len(g_cols)) <= 2 * _SMALL:
            out += _search(group)
        else:
            out += _solve(group)
    return sorted(out)


def _groups(pairs):
    """The candidate pairs split into connected groups (rows and columns linked by pairs)."""
    parent = {}

    def find(n):
        while parent.setdefault(n, n) != n:
            parent[n] = parent[parent[n]]
            n = parent[n]
        return n

    for r, c, _ in pairs:
        a, b = find(2 * r), find(2 * c + 1)
        if a != b:
            parent[a] = b
    groups = {}
    for p in pairs:
        groups.setdefault(find(2 * p[0]), []).append(p)
    return list(groups.values())


def _search(group):
    """Every matching of a small group tried; the best (most pairs, then least cost)."""
    options = {}
    for r, c, cost in group:
        options.setdefault(r, []).append((c, cost))
    rows = sorted(options)
    n = len(rows)
    best = [(-1, 0.0), []]
    chosen = []

    def visit(k, used, count, total):
        if count + (n - k) < best[0][0]:
            return  # cannot reach as many pairs as the best so far
        if k == n:
            if (count, -total) > best[0]:
                best[0], best[1] = (count, -total), list(chosen)
            return
        r = rows[k]
        for c, cost in options[r]:
            if c not in used:
                chosen.append((r, c))
                used.add(c)
                visit(k + 1, used, count + 1, total + cost)
                used.discard(c)
                chosen.pop()
        visit(k + 1, used, count, total)

    visit(0, set(), 0, 0.0)
    return best[1]


def _solve(group):
    """A larger group as a linear assignment, the pairs that are not candidates priced above
    any set of candidates, so that the most pairs come first."""
    global _lsa
    rows = sorted({p[0] for p in group})
    cols = sorted({p[1] for p in group})
    ri = {r: k for k, r in enumerate(rows)}
    ci = {c: k for k, c in enumerate(cols)}
    big = 1.0 + 2 * sum(p[2] for p in group) + len(group)
    m = [[big] * len(cols) for _ in rows]
    for r, c, cost in group:
        m[ri[r]][ci[c]] = cost
    if _lsa is None:
        try:
            from scipy.optimize import linear_sum_assignment as found
        except ImportError:
            found = False
        _lsa = found
    if _lsa:
        import numpy as np

        a, b = _lsa(np.array(m))
        pairs = zip(a.tolist(), b.tolist())
    else:
        pairs = _hungarian(m)
    return [(rows[a], cols[b]) for a, b in pairs if m[a][b] < big]


def _hungarian(cost):
    """Least-cost assignment of a rectangular matrix (a list of rows): shortest augmenting
    paths with potentials, O(n^2 m); (row, column) pairs covering the smaller side."""
    flip = len(cost) > len(cost[0])
    a = [list(col) for col in zip(*cost)] if flip else cost
    n, m = len(a), len(a[0])
    inf = math.inf
    u, v = [0.0] * (n + 1), [0.0] * (m + 1)
    p, way = [0] * (m + 1), [0] * (m + 1)
    for row in range(1, n + 1):
        p[0], j0 = row, 0
        minv, used = [inf] * (m + 1), [False] * (m + 1)
        while True:
            used[j0] = True
            i0, delta, j1 = p[j0], inf, 0
            ai, ui = a[i0 - 1], u[i0]
            for j in range(1, m + 1):
                if not used[j]:
                    cur = ai[j - 1] - ui - v[j]
                    if cur < minv[j]:
                        minv[j], way[j] = cur, j0
                    if minv[j] < delta:
                        delta, j1 = minv[j], j
            for j in range(m + 1):
                if used[j]:
                    u[p[j]] += delta
                    v[j] -= delta
                else:
                    minv[j] -= delta
            j0 = j1
            if p[j0] == 0:
                break
        while j0:
            j1 = way[j0]
            p[j0] = p[j1]
            j0 = j1
    pairs = [(p[j] - 1, j - 1) for j in range(1, m + 1) if p[j]]
    return sorted((c, r) for r, c in pairs) if flip else sorted(pairs)
