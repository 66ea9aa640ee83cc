"""quorvane video / track_video on a generated clip: an orange ball on a known path over
textured grass, passing behind a blue bar."""

import io
import json
import math
import os
import shlex
import subprocess
import sys
import threading
from fractions import Fraction

import numpy as np
import pytest

av = pytest.importorskip("av")
pytest.importorskip("PIL")
qt = pytest.importorskip("quorvane_tools")
from quorvane_tools import cli, video  # noqa: E402
from quorvane_tools._progress import Progress  # noqa: E402

W, H, N, FPS, GOP = 320, 240, 48, 24, 12
BAR = (200, 214)  # columns of the bar
R = 18
WINDOW = ["--hue", "0.15", "0.7", "--chroma", "0.3", "1", "--intensity", "0.15", "0.95"]
FIT = ["--fit", "circle", "--radius", "10", "30", "--seed", "5"]


def ball(i):
    t = i / (N - 1)
    return 10 + 280 * t, 120 + 60 * math.sin(2 * math.pi * t)


def fully_visible(i):
    x, y = ball(i)
    inside = R + 1 <= x <= W - R - 2 and R + 1 <= y <= H - R - 2
    return inside and (x + R + 1 < BAR[0] or x - R - 1 > BAR[1] - 1)


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    path = tmp_path_factory.mktemp("clip") / "ball.mp4"
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:H, 0:W].astype(np.float64)
    grass = np.array([0.25, 0.5, 0.22]) * (1 + 0.12 * np.sin(x / 7 + y / 11))[..., None]
    grass += rng.normal(0, 0.03, (H, W, 3))
    with av.open(str(path), "w") as c:
        s = c.add_stream("libx264" if "libx264" in av.codecs_available else "mpeg4", rate=FPS)
        s.width, s.height, s.pix_fmt, s.bit_rate = W, H, "yuv420p", 4_000_000
        s.options = {"g": str(GOP), "crf": "18"} if s.name == "libx264" else {"g": str(GOP)}
        for i in range(N):
            bx, by = ball(i)
            a = np.clip(R + 0.5 - np.hypot(x - bx, y - by), 0, 1)[..., None]
            img = grass * (1 - a) + np.array([0.93, 0.45, 0.10]) * a
            img[:, BAR[0] : BAR[1]] = (0.2, 0.3, 0.8)
            rgb = np.clip(img * 255, 0, 255).astype(np.uint8)
            c.mux(s.encode(av.VideoFrame.from_ndarray(rgb, format="rgb24")))
        c.mux(s.encode(None))
    return path


def quorvane(capsys, *argv):
    try:
        rc = cli.main(["video", *map(str, argv)])
    except SystemExit as e:  # argparse's refusals
        rc = e.code
    out, err = capsys.readouterr()
    return rc, out, err


def frame_count(path):
    with av.open(str(path)) as c:
        return sum(1 for _ in c.decode(video=0))


@pytest.fixture(scope="module")
def reference(clip, tmp_path_factory):
    """The whole clip in this process, as JSON text (and its annotated video)."""
    d = tmp_path_factory.mktemp("ref")
    argv = ["video", str(clip), *WINDOW, *FIT, "--json", str(d / "ref.json"), "--out", str(d / "a.mp4")]
    assert cli.main(argv) == 0
    assert frame_count(d / "a.mp4") == N and sorted(p.name for p in d.iterdir()) == ["a.mp4", "ref.json"]
    return (d / "ref.json").read_text()


@pytest.mark.parametrize(
    "how, first, last",
    [("window", 0, N), ("box", 10, 30)],  # --box: window suggested on frame 10
)
def test_ball_is_tracked(clip, tmp_path, capsys, reference, how, first, last):
    if how == "window":
        text = reference
    else:
        bx, by = ball(first)
        box = [round(bx) - 8, round(by) - 8, 16, 16]
        rc, _, err = quorvane(
            capsys, clip, "--box", *box, *FIT, "--frames", first, last, "--json", tmp_path / "b.json"
        )
        assert (rc, err) == (0, "")
        text = (tmp_path / "b.json").read_text()
    result = json.loads(text)
    assert list(result) == ["video", "fps", "window", "frames"]
    assert result["fps"] == FPS and set(result["window"]) == {"hue", "chroma", "intensity"}
    assert [f["index"] for f in result["frames"]] == list(range(first, last))
    checked = 0
    for f in result["frames"]:
        i = f["index"]
        assert f["time"] == pytest.approx(i / FPS, abs=1e-6)
        if fully_visible(i):
            (c,) = f["shapes"]
            assert c["shape"] == "circle" and math.dist((c["x"], c["y"]), ball(i)) <= 3, (i, c)
            checked += 1
    assert checked >= (last - first) // 2


def test_same_json_however_split(clip, tmp_path, capsys, reference):
    # In this process, cut at keyframes (--chunk rounds up to them).
    rc, _, err = quorvane(capsys, clip, *WINDOW, *FIT, "--chunk", 5, "--json", tmp_path / "c.json")
    assert (rc, err) == (0, "") and (tmp_path / "c.json").read_text() == reference
    # A range starting between keyframes: the records are those of the whole run.
    part = video.track_video(clip, qt.Window((0.15, 0.7), (0.3, 1), (0.15, 0.95)), "circle",
                             radius=(10, 30), seed=5, frames=(13, 40))
    assert part["frames"] == json.loads(reference)["frames"][13:40]
    # Two worker processes of a local cluster, with the annotated video joined from the tasks.
    out = tmp_path / "annotated.mp4"
    rc, _, err = quorvane(capsys, clip, *WINDOW, *FIT, "--workers", 2, "--chunk", 10,
                          "--json", tmp_path / "w.json", "--out", out)
    assert (rc, err) == (0, "")
    assert (tmp_path / "w.json").read_text() == reference
    assert frame_count(out) == N
    assert sorted(p.name for p in tmp_path.iterdir()) == ["annotated.mp4", "c.json", "w.json"]


def test_failed_task_names_its_range(clip):
    distributed = pytest.importorskip("distributed")
    loopback = {"dashboard_address": "127.0.0.1:0", "worker_dashboard_address": "127.0.0.1:0"}
    window = qt.Window((0, 1), (0, 1), (0, 1))
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=1, **loopback) as client:
        info = video.probe_video(clip)
        job = video._Job(str(clip), 20, 30, info.pts[12:30], 12, info.pts[12], info.time_base, 0,
                         window, {"no_such_keyword": 1}, 0)
        with pytest.raises(video.VideoTaskError, match=r"frames 20\.\.29 failed: TypeError: .*no_such_keyword"):
            video._run_on(client, [job], retries=1, progress=None)
        # Bad input is bad input on a worker too: the same error as in one process.
        job = video._Job("/nonexistent/clip.mp4", 20, 30, tuple(range(10)), 20, None, 1, 0, window, {}, 0)
        with pytest.raises(video.VideoError, match="clip.mp4: cannot open it .*No such file"):
            video._run_on(client, [job], retries=0, progress=None)


@pytest.mark.parametrize(
    "args, message",
    [
        (["{missing}"], "no such file"),
        (["{text}"], "not a video"),
        (["{clip}", "--frames", "40", "60"], "beyond its end (48 frames)"),
        (["{clip}", "--frames", "5", "5"], "START < STOP"),
        (["{clip}", "--box", "1000", "1000", "10", "10"], "outside"),
        (["{clip}", "--hue", "1", "0", "--chroma", "0", "1", "--intensity", "0", "1"], "hue"),
        (["{clip}", "--out", "{dir}/no/such/folder/a.mp4"], "does not exist"),
        (["{clip}", "--out", "{dir}/a.notavideo"], "cannot write a video"),
        (["{clip}", "--workers", "0"], "0 is out of range: give 1 to 256"),
        (["{clip}", "--workers", "99999999999"], "out of range"),
        (["{clip}", "--frames", "0", "99999999999999999999"], "out of range"),
        (["{clip}", "--out", "-"], "not to standard output"),
    ],
)
def test_bad_input_is_one_line_and_writes_nothing(clip, tmp_path, capsys, args, message):
    (tmp_path / "notes.mp4").write_text("not a video\n")
    names = {"missing": tmp_path / "missing.mp4", "text": tmp_path / "notes.mp4", "clip": clip,
             "dir": tmp_path}
    argv = [a.format(**names) for a in args]
    if "--box" not in argv and "--hue" not in argv:
        argv += WINDOW
    rc, out, err = quorvane(capsys, *argv, "--fit", "circle", "--json", tmp_path / "r.json")
    assert rc == 2 and out == ""
    assert err.startswith("quorvane: error: ") and err.count("\n") == 1 and message in err, err
    assert [p.name for p in tmp_path.iterdir()] == ["notes.mp4"]


def test_progress_line():
    s = io.StringIO()
    with Progress(240, "frames", stream=s, enabled=True) as bar:
        bar.update(120)
        assert "120/240 frames" in bar.line() and "left" in bar.line()
        bar.update(120)
    assert "240/240 frames" in s.getvalue() and s.getvalue().endswith("\n")
    quiet = io.StringIO()
    with Progress(10, stream=quiet) as bar:  # not a terminal
        bar.update(10)
    assert quiet.getvalue() == ""


# --------------------------------------------------------------------------
# Real files: timestamps out of order, cut files, variable frame rates, pipes


def ball_frames(times, size=(W, H)):
    """An orange ball moving right, one frame per time (seconds)."""
    y, x = np.mgrid[0:size[1], 0:size[0]]
    for i, _ in enumerate(times):
        img = np.full((size[1], size[0], 3), (40, 90, 50), np.uint8)
        img[(x - 30 - 3 * i) ** 2 + (y - 120) ** 2 < 18 ** 2] = (235, 115, 25)
        yield img


def write(path, times, codec="libx264", bf=0, first_pts=0, gop=12, tb=Fraction(1, 25)):
    with av.open(str(path), "w") as c:
        s = c.add_stream(codec, rate=25)
        s.width, s.height, s.pix_fmt = W, H, "yuv420p"
        s.options = {"g": str(gop), "bf": str(bf)}
        s.codec_context.time_base = tb
        for t, img in zip(times, ball_frames(times)):
            f = av.VideoFrame.from_ndarray(img, format="rgb24")
            f.pts, f.time_base = first_pts + round(t / tb), tb
            c.mux(s.encode(f))
        c.mux(s.encode(None))
    return path


BALL_WINDOW = [*WINDOW, "--fit", "circle", "--radius", "10", "30"]


def records(capsys, path, *more):
    rc, out, err = quorvane(capsys, path, *BALL_WINDOW, "--json", "-", *more)
    return rc, (json.loads(out) if out else None), err


def test_frames_whose_timestamps_come_out_of_order(tmp_path, capsys):
    # H.264 with B-frames in AVI, timestamps from 1: the decoder hands the frames out in order,
    # but carrying the packets' timestamps in decode order.
    path = write(tmp_path / "b.avi", [k / 25 for k in range(90)], bf=3, first_pts=1)
    with av.open(str(path)) as c:
        stamps = [f.pts for f in c.decode(video=0)]
    assert stamps != sorted(stamps) and len(stamps) == 90  # the case itself
    rc, whole, err = records(capsys, path)
    assert (rc, err) == (0, "")
    assert [f["index"] for f in whole["frames"]] == list(range(90))
    assert [f["time"] for f in whole["frames"]] == [round(k / 25, 6) for k in range(90)]
    assert all(abs(f["shapes"][0]["x"] - (30 + 3 * f["index"])) <= 2 for f in whole["frames"][:80])
    rc, part, _ = records(capsys, path, "--frames", 1, 90)
    assert rc == 0 and part["frames"] == whole["frames"][1:]
    rc, chunked, _ = records(capsys, path, "--chunk", 20)
    assert rc == 0 and chunked == whole


@pytest.mark.parametrize("kind", ["mkv", "avi"])
def test_a_cut_file_ends_with_a_notice(tmp_path, capsys, kind):
    full = write(tmp_path / f"full.{kind}", [k / 25 for k in range(60)])
    cut = tmp_path / f"cut.{kind}"
    size = full.stat().st_size
    subprocess.run(f"head -c {size // 2} {full} > {cut}", shell=True, check=True)
    _, whole, _ = records(capsys, full)
    rc, got, err = records(capsys, cut, "--out", tmp_path / "a.mp4")
    assert rc == 3 and err.startswith(f"quorvane: warning: {cut}: ended early: ") and err.count("\n") == 1
    n = len(got["frames"])
    assert 0 < n < 60 and f"holds the {n} frames that decoded" in err and "60 frames" in got["incomplete"]
    assert got["frames"] == whole["frames"][:n]
    assert frame_count(tmp_path / "a.mp4") == n


def test_variable_frame_rate_is_kept(tmp_path, capsys):
    gaps = [0.04, 0.5, 0.04, 1.0, 0.1] * 8
    times = np.round(np.concatenate([[0], np.cumsum(gaps)]), 3).tolist()
    path = write(tmp_path / "vfr.mkv", times, tb=Fraction(1, 1000))
    out = tmp_path / "a.mp4"
    rc, got, _ = records(capsys, path, "--out", out)
    assert rc == 0 and [f["time"] for f in got["frames"]] == times
    with av.open(str(out)) as c:
        assert [round(float(f.time), 3) for f in c.decode(video=0)] == times


def test_a_fifo_is_read_once(tmp_path, capsys):
    path = write(tmp_path / "b.mkv", [k / 25 for k in range(30)])
    _, whole, _ = records(capsys, path)
    fifo = tmp_path / "fifo"

    def feed():
        with open(fifo, "wb") as w:
            try:
                w.write(path.read_bytes())
            except BrokenPipeError:
                pass

    for more, ok in [((), True), (("--workers", 2), False)]:
        os.mkfifo(fifo)
        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        rc, got, err = records(capsys, fifo, *more)
        if not ok:  # refused before reading: let the writer go
            with open(fifo, "rb") as r:
                r.read()
        writer.join(10)
        os.unlink(fifo)
        if ok:
            assert (rc, err) == (0, "") and got["frames"] == whole["frames"]
        else:
            assert rc == 2 and "read only once" in err and err.count("\n") == 1


def test_a_closed_pipe_ends_quietly(clip):
    proc = subprocess.run(
        f"{shlex.quote(sys.executable)} -m quorvane_tools video {clip} {' '.join(WINDOW)} "
        f"--fit circle --json - | head -c 10", shell=True, capture_output=True, text=True, timeout=120,
        executable="/bin/bash",
    )
    assert proc.stdout == '{"video": ' and proc.stderr == ""


def test_a_failed_run_leaves_nothing_behind(clip, tmp_path, monkeypatch):
    distributed = pytest.importorskip("distributed")
    from quorvane_tools.video import _decode

    real = _decode._track_range_here

    def failing(job, *a, **k):
        if job.start >= 24:
            raise RuntimeError("disk on fire")
        return real(job, *a, **k)

    monkeypatch.setattr(_decode, "_track_range_here", failing)
    loopback = {"dashboard_address": "127.0.0.1:0", "worker_dashboard_address": "127.0.0.1:0"}
    with distributed.Client(processes=False, n_workers=2, threads_per_worker=1, **loopback) as client:
        with pytest.raises(video.VideoTaskError, match="disk on fire"):
            video.track_video(clip, qt.Window((0.15, 0.7), (0.3, 1), (0.15, 0.95)), "circle",
                              out=tmp_path / "a.mp4", client=client, chunk=12, retries=0)
    assert list(tmp_path.iterdir()) == []


def test_the_video_is_probed_once_and_frame_start_decoded_once(clip, tmp_path, capsys, monkeypatch):
    from quorvane_tools.cli import video as command
    from quorvane_tools.video import _decode, _runner

    probes, ranges = [], []
    for module in (command, _runner):
        monkeypatch.setattr(module, "probe_video", lambda p, real=video.probe_video: probes.append(p) or real(p))
    monkeypatch.setattr(_decode, "_decode_range", lambda *a, real=_decode._decode_range, **k:
                        ranges.append(a[2:4]) or real(*a, **k))
    monkeypatch.setattr(_runner, "read_frame", None)  # one process: the first range gives frame START
    rc, out, err = quorvane(capsys, clip, "--box", 0, 100, 30, 30, *FIT, "--frames", 13, 20, "--json", "-")
    assert (rc, err) == (0, "") and len(probes) == 1 and ranges == [(13, 20)]
    assert [f["index"] for f in json.loads(out)["frames"]] == list(range(13, 20))


def test_seed_none_leaves_the_generator_as_find_shapes_does(clip, srand):
    """seed=None: no frame is seeded (as find_shapes(seed=None)); a seed: frame i gets frame_seed."""
    window = qt.Window((0.15, 0.7), (0.3, 1), (0.15, 0.95))
    info = video.probe_video(clip)
    first = video.read_frame(info, 0)
    fit = {"radius": (10, 30), "count": 3}  # few samples: the shapes show the generator's state

    def by_frame(seed):
        return video.track_video(clip, window, "circle", frames=(0, 1), seed=seed, **fit)["frames"][0]["shapes"]

    srand(77)
    unseeded = by_frame(None)
    srand(77)
    assert unseeded == qt.find_shapes(first, window, "circle", seed=None, **fit).to_dict()["shapes"]
    assert by_frame(5) == qt.find_shapes(first, window, "circle", seed=video.frame_seed(5, 0), **fit).to_dict()["shapes"]


def test_a_window_of_intensity_alone(clip, capsys):
    rc, out, err = quorvane(capsys, clip, "--intensity", "0.3", "0.9", "--fit", "circle", "--frames", 0, 2)
    assert (rc, err) == (0, "") and out.startswith(f"{clip}: 2 frames at 24 fps; window --intensity 0.3 0.9;")
    result = video.track_video(clip, qt.Window(None, None, (0.3, 0.9)), "circle", frames=(0, 2))
    assert result["window"] == {"hue": None, "chroma": None, "intensity": [0.3, 0.9]}
