"""quorvane video / track_video on a generated clip: an orange ball on a known path over
textured grass, passing behind a blue bar."""

import io
import json
import math

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
    rc = cli.main(["video", *map(str, argv)])
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


def test_failed_task_names_its_range():
    distributed = pytest.importorskip("distributed")
    loopback = {"dashboard_address": "127.0.0.1:0", "worker_dashboard_address": "127.0.0.1:0"}
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=1, **loopback) as client:
        job = video._Job("/nonexistent/clip.mp4", 20, 30, tuple(range(10)), None, 1, 0,
                         qt.Window((0, 1), (0, 1), (0, 1)), {}, 0)
        with pytest.raises(video.VideoTaskError, match=r"frames 20\.\.29 failed: .*No such file"):
            video._run_on(client, [job], retries=1, progress=None)


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
        (["{clip}", "--workers", "0"], "--workers must be at least 1"),
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
