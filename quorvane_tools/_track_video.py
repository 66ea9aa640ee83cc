"""Tracks in video: the tracker's options checked before the work, and ids with trails drawn on
the annotated frames."""

from __future__ import annotations

import math

from ._track_records import LOST
from .tracks import Tracker


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


