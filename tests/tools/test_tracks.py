"""Tracker: identities through crossings, occlusions bridged, tracks lost and ended, the exact
matching; and track_video's tracks the same however the video is split."""

import itertools
import json
import math

import numpy as np
import pytest

import quorvane_tools as qt
from quorvane_tools import _matching, tracks

FPS = 25


def circle(x, y, r=10):
    return {"shape": "circle", "x": int(round(x)), "y": int(round(y)), "r": int(r), "inliers": 40,
            "warning": None}


def run(frames, times=None, **options):
    t = qt.Tracker(**options)
    times = [k / FPS for k in range(len(frames))] if times is None else times
    return [t.update(shapes, s) for shapes, s in zip(frames, times)]


def events(steps, kind):
    return [(k, e["id"]) for k, s in enumerate(steps) for e in s["events"] if e["event"] == kind]


def id_of(step, index):
    """The id of the track matched to shape ``index`` in this frame, or None."""
    return next((t["id"] for t in step["tracks"] if t["match"] == index), None)


@pytest.mark.parametrize("angle", [math.pi - 0.05, math.pi / 2, math.pi / 6])
@pytest.mark.parametrize("merged", [0, 4])
def test_identities_survive_a_crossing(angle, merged):
    # Two balls through one point; for `merged` frames there the finder sees one blob (one of
    # them, in turn); the shapes come in any order.
    rng = np.random.default_rng(3)
    n, kc, v = 40, 20, 6.0
    u = [(1.0, 0.0), (math.cos(angle), math.sin(angle))]
    frames, order = [], []
    for k in range(n):
        balls = [(200 + (k - kc) * v * a, 150 + (k - kc) * v * b) for a, b in u]
        shapes = [circle(x + rng.normal(0, 0.4), y + rng.normal(0, 0.4)) for x, y in balls]
        which = [0, 1]
        if abs(k - kc) < merged / 2:
            which = [k % 2]
        which = list(rng.permutation(which))
        frames.append([shapes[w] for w in which])
        order.append(which)
    steps = run(frames)
    first = {order[3][j]: id_of(steps[3], j) for j in range(2)}
    assert sorted(first.values()) == [1, 2]
    for k in range(3, n):
        if k == kc:
            continue  # the two are in one place: either match is right
        for j, ball in enumerate(order[k]):
            assert id_of(steps[k], j) == first[ball], (k, steps[k])
    assert events(steps, "appeared") == [(2, 1), (2, 2)]
    assert not events(steps, "ended")


@pytest.mark.parametrize("hidden", [1, 8, 15])
def test_an_occlusion_is_bridged(hidden):
    v, start = 5.0, 10
    frames = [[] if start <= k < start + hidden else [circle(20 + v * k, 100)] for k in range(40)]
    steps = run(frames)
    assert events(steps, "lost") == [(start, 1)]
    assert events(steps, "found") == [(start + hidden, 1)]
    assert not events(steps, "ended") and not events(steps, "appeared")[1:]
    for k in range(start, start + hidden):  # coasting where the ball is
        (t,) = steps[k]["tracks"]
        assert t["state"] == "lost" and t["match"] is None
        assert math.dist((t["x"], t["y"]), (20 + v * k, 100)) < 0.5
    t = steps[-1]["tracks"][0]
    assert (t["id"], t["state"], t["match"]) == (1, "confirmed", 0)
    assert t["vx"] == pytest.approx(v * FPS, abs=1) and t["vy"] == pytest.approx(0, abs=1)


@pytest.mark.parametrize("max_lost", [0, 3, 15])
def test_a_track_lost_too_long_ends_and_its_object_comes_back_new(max_lost):
    frames = [[circle(50 + 2 * k, 60)] for k in range(10)] + [[]] * (max_lost + 1)
    frames += [[circle(50 + 2 * k, 60)] for k in range(len(frames), len(frames) + 5)]
    steps = run(frames, max_lost=max_lost)
    assert events(steps, "ended") == [(10 + max_lost, 1)]
    assert events(steps, "lost") == ([] if max_lost == 0 else [(10, 1)])
    assert all(not s["tracks"] for s in steps[10 + max_lost:10 + max_lost + 3])
    assert events(steps, "appeared") == [(2, 1), (len(frames) - 3, 2)]


def test_a_track_that_leaves_the_frame_ends_there():
    frames = [[circle(150 + 10 * k, 50)] if 150 + 10 * k < 200 else [] for k in range(12)]
    steps = run(frames, frame=(200, 100))
    assert events(steps, "ended") == [(5, 1)] and not events(steps, "lost")
    assert events(run(frames), "lost") == [(5, 1)]  # without the frame: lost, waiting


@pytest.mark.parametrize("confirm, appears", [(1, [(3, 2)]), (3, [])])
def test_false_fits_make_no_track_unless_asked(confirm, appears):
    frames = [[circle(10 + 3 * k, 10)] for k in range(8)]
    frames[3].append(circle(150, 90))
    frames[5].append(circle(160, 30))
    frames[6].append(circle(160, 30))  # twice in a row: still fewer than three
    steps = run(frames, confirm=confirm)
    got = [x for x in events(steps, "appeared") if x[1] != 1]
    assert got[:1] == appears


def test_velocity_comes_from_the_frame_times():
    rng = np.random.default_rng(1)
    times = np.cumsum(rng.uniform(0.02, 0.06, 30))  # a variable frame rate
    frames = [[circle(10 + 80 * t, 20 + 40 * t)] for t in times]
    t = run(frames, times=times)[-1]["tracks"][0]
    assert t["vx"] == pytest.approx(80, abs=3) and t["vy"] == pytest.approx(40, abs=3)
    with pytest.raises(ValueError, match="not a finite number"):
        qt.Tracker().update([], math.nan)
    tr = qt.Tracker()
    tr.update([], 1.0)
    with pytest.raises(ValueError, match=r"frame times must increase: 1.0 s after 1.0 s"):
        tr.update([], 1.0)


def test_an_ellipse_keeps_its_axes_across_the_angle_wrap():
    # The same ellipse, its major axis near vertical, given as theta just below pi/2, just
    # above -pi/2, or with the axes swapped.
    forms = [dict(a=30, b=15, theta=1.56), dict(a=30, b=15, theta=-1.56), dict(a=15, b=30, theta=-0.01)]
    frames = [[{"shape": "ellipse", "x": 100.0 + k, "y": 80.0, **forms[k % 3], "inliers": 40,
                "warning": None}] for k in range(12)]
    for step in run(frames)[2:]:
        (t,) = step["tracks"]
        assert (t["a"], t["b"]) == (30.0, 15.0) and "r" not in t
        assert abs(abs(t["theta"]) - math.pi / 2) < 0.05


@pytest.mark.parametrize("bad, message", [
    (dict(gate=0), "gate must be a positive number"),
    (dict(size_change=1), "size_change must be above 1"),
    (dict(confirm=0), "confirm must be a whole number"),
    (dict(max_lost=2.5), "max_lost must be a whole number"),
    (dict(position_gain=1.5), "position_gain must be in"),
    (dict(frame=(0, 10)), "frame must be"),
])
def test_bad_parameters(bad, message):
    with pytest.raises(ValueError, match=message):
        qt.Tracker(**bad)


# --------------------------------------------------------------------------
# The matching


def brute_force(pairs):
    """(most pairs, least cost) over every matching, found the slow way."""
    rows = sorted({p[0] for p in pairs})
    cost = {(r, c): v for r, c, v in pairs}
    cols = sorted({p[1] for p in pairs})
    best = (0, 0.0)
    for pick in itertools.product([None, *cols], repeat=len(rows)):
        used = [c for c in pick if c is not None]
        if len(used) != len(set(used)) or any(c is not None and (r, c) not in cost for r, c in zip(rows, pick)):
            continue
        total = sum(cost[(r, c)] for r, c in zip(rows, pick) if c is not None)
        best = max(best, (len(used), -total))
    return best


@pytest.mark.parametrize("solver", ["search", "scipy", "own"])
@pytest.mark.parametrize("seed", range(6))
def test_matching_is_exact(solver, seed, monkeypatch):
    rng = np.random.default_rng(seed)
    n, m = int(rng.integers(2, 6)), int(rng.integers(2, 7))
    pairs = [(r, c, float(rng.uniform(0, 3))) for r in range(n) for c in range(m) if rng.random() < 0.6]
    if solver == "scipy":
        pytest.importorskip("scipy")
        monkeypatch.setattr(_matching, "_SMALL", 0)
    elif solver == "own":
        monkeypatch.setattr(_matching, "_SMALL", 0)
        monkeypatch.setattr(_matching, "_lsa", False)
    got = tracks.match_pairs(pairs)
    cost = {(r, c): v for r, c, v in pairs}
    assert len({r for r, _ in got}) == len({c for _, c in got}) == len(got)
    total = sum(cost[p] for p in got)
    count, neg = brute_force(pairs)
    assert len(got) == count and total == pytest.approx(-neg)


def test_small_groups_never_look_for_scipy(monkeypatch):
    # SciPy's import is slow: it is looked up only for a group too large to search.
    monkeypatch.setattr(_matching, "_lsa", None)
    test_identities_survive_a_crossing(math.pi / 2, 4)
    assert _matching._lsa is None


# --------------------------------------------------------------------------
# In video


W, H, N, BAR = 240, 160, 30, (176, 184)


def balls(k):
    """Ball 0 goes right along y = 80 behind the bar; ball 1 crosses it going down-right."""
    return [(20 + 7 * k, 80.0), (60 + 5 * k, 10 + 5 * k)]


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    av = pytest.importorskip("av")
    path = tmp_path_factory.mktemp("tracks") / "two.mp4"
    y, x = np.mgrid[0:H, 0:W].astype(np.float64)
    with av.open(str(path), "w") as c:
        s = c.add_stream("libx264" if "libx264" in av.codecs_available else "mpeg4", rate=FPS)
        s.width, s.height, s.pix_fmt, s.bit_rate = W, H, "yuv420p", 4_000_000
        s.options = {"g": "6", "crf": "16"} if s.name == "libx264" else {"g": "6"}
        for k in range(N):
            img = np.empty((H, W, 3))
            img[:] = (0.25, 0.5, 0.22)
            for bx, by in balls(k):
                a = np.clip(12.5 - np.hypot(x - bx, y - by), 0, 1)[..., None]
                img = img * (1 - a) + np.array([0.93, 0.45, 0.10]) * a
            img[:, BAR[0]:BAR[1]] = (0.2, 0.3, 0.8)
            c.mux(s.encode(av.VideoFrame.from_ndarray(np.clip(img * 255, 0, 255).astype(np.uint8), format="rgb24")))
        c.mux(s.encode(None))
    return path


WINDOW = qt.Window((0.15, 0.7), (0.3, 1.0), (0.15, 0.95))


def tracked(clip, **kw):
    from quorvane_tools import video

    result = video.track_video(clip, WINDOW, ["circle", "circle"], radius=(8, 16), seed=2, track=True, **kw)
    return video.dumps(result), result


def test_video_tracks_follow_the_balls(clip):
    _, result = tracked(clip)
    owner = {}
    for f in result["frames"]:
        here = balls(f["index"])
        if math.dist(*here) < 30:
            continue  # one blob: the fits lie between the two
        for t in f["tracks"]:
            if t["state"] != "confirmed":
                continue
            d = [math.dist((t["x"], t["y"]), b) for b in here]
            ball = int(np.argmin(d))
            assert d[ball] < 3, (f["index"], t)
            assert owner.setdefault(t["id"], ball) == ball  # an id stays on its ball
    assert sorted(owner) == [1, 2]
    from quorvane_tools import video

    defaults = video.track_video(clip, WINDOW, ["circle", "circle"], radius=(8, 16), seed=2, track={})
    assert video.dumps(defaults) == video.dumps(result)  # no keywords: the default tracker


def test_video_tracks_are_the_same_however_split(clip, tmp_path, capsys):
    distributed = pytest.importorskip("distributed")
    from quorvane_tools import cli

    reference, _ = tracked(clip)
    assert tracked(clip, chunk=4)[0] == reference
    assert tracked(clip, out=tmp_path / "one.mp4")[0] == reference  # tracked as the frames come
    loopback = dict(host="127.0.0.1", dashboard_address="127.0.0.1:0", silence_logs=40)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, **loopback) as cluster, \
            distributed.Client(cluster) as client:
        assert tracked(clip, client=client, chunk=6)[0] == reference
        assert tracked(clip, client=client, chunk=6, out=tmp_path / "two.mp4")[0] == reference
    argv = ["video", str(clip), "--hue", "0.15", "0.7", "--chroma", "0.3", "1", "--intensity", "0.15",
            "0.95", "--fit", "circle", "--fit", "circle", "--radius", "8", "16", "--seed", "2",
            "--track", "--json", str(tmp_path / "t.json"), "--out", str(tmp_path / "plain.mp4")]
    assert cli.main(argv) == 0
    assert (tmp_path / "t.json").read_text() == reference
    assert cli.main(argv[:-5] + ["--json", str(tmp_path / "u.json"), "--out", str(tmp_path / "notrack.mp4")]) == 0
    assert "tracks" not in json.loads((tmp_path / "u.json").read_text())["frames"][0]
    # The ids and trails are drawn, by one process and by the cluster's tasks: the annotated
    # frames differ from those without tracks near the balls, not elsewhere.
    import av

    def frame(path, k):
        with av.open(str(path)) as c:
            return next(itertools.islice(c.decode(video=0), k, None)).to_ndarray(format="rgb24").astype(int)

    k = 20
    x, y = (int(v) for v in balls(k)[0])
    box = np.s_[max(y - 40, 0):y + 40, max(x - 60, 0):x + 20]
    bare = frame(tmp_path / "notrack.mp4", k)
    for name in ("plain.mp4", "one.mp4", "two.mp4"):
        diff = np.abs(frame(tmp_path / name, k) - bare)
        near = diff[box]
        elsewhere = (diff.sum() - near.sum()) / (diff.size - near.size)
        assert near.mean() > 3 * elsewhere, name
    capsys.readouterr()


def test_bad_tracker_options_are_one_line(clip):
    from quorvane_tools import video

    with pytest.raises(video.VideoError, match="track: max_lost must be"):
        video.track_video(clip, WINDOW, "circle", track={"max_lost": -1})
    with pytest.raises(video.VideoError, match="track: .*unexpected keyword"):
        video.track_video(clip, WINDOW, "circle", track={"speed": 3})
