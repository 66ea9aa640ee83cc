"""quorvane live and quorvane_tools.live on real streams made here (loopback only): HTTP MJPEG,
MPEG-TS over UDP, a stream that stops and comes back, a slow consumer, an MQTT broker, files.

Each frame spells its own number in the place of its ball (livestreams.ball_at), so what was
searched, skipped or lost is read from the frames themselves. Every network test is bounded in
frames and in seconds."""

import importlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

av = pytest.importorskip("av")
import quorvane_tools as qt  # noqa: E402
from quorvane_tools import cli  # noqa: E402

from livestreams import WINDOW, MjpegServer, MpegTsSender, free_udp_port, jpegs, number_of, picture  # noqa: E402

live_module = importlib.import_module("quorvane_tools.live")
W = qt.Window((0.2, 0.75), (0.35, 1.0), (0.15, 0.95))
FIT = ["--fit", "circle", "--radius", "5", "30"]
HERE = Path(__file__).resolve().parents[1]  # the shared helpers (livestreams.py)


@pytest.fixture(scope="module")
def frames():
    return jpegs(200)


@pytest.fixture
def mjpeg(frames):
    with MjpegServer(fps=30, frames=frames, limit=30) as server:
        yield server


def seen(record):
    """The frame number (mod 200) spelled by the ball a record found."""
    (c,) = record["shapes"]
    return number_of(c["x"], c["y"])


def take(stream, n, pause=0.0):
    out = []
    for record in stream:
        out.append(record)
        if len(out) == n:
            break
        time.sleep(pause)
    return out


def test_mjpeg_stream_every_frame_accounted_for(mjpeg):
    with qt.live(mjpeg.url, W, ["circle"], radius=(5, 30), open_timeout=5, read_timeout=2) as stream:
        records = take(stream, 40)
    assert list(records[0]) == ["frame", "time", "stream_time", "latency_ms", "dropped", "stages_ms", "shapes"]
    assert set(records[0]["stages_ms"]) >= {"wait", "convert", "mask", "edges", "fit"}
    numbers = [r["frame"] for r in records]
    assert numbers == sorted(set(numbers)) and numbers[0] == 0
    # The capture's count and the producer's, read from the pixels, advance together.
    first = seen(records[0])
    for r in records:
        assert seen(r) == (first + r["frame"]) % 200, r
        assert r["dropped"] == r["frame"] - records.index(r)
        assert r["latency_ms"] >= 0 and r["time"] > 1e9


def test_a_slow_consumer_gets_the_newest_frame(mjpeg):
    lags = []
    with qt.live(mjpeg.url, W, ["circle"], radius=(5, 30), open_timeout=5) as stream:
        for k, r in enumerate(stream):
            lags.append((mjpeg.n - 1 - seen(r)) % 200)  # frames sent since the searched one
            if k == 14:
                break
            time.sleep(0.1)  # a consumer three frame times slow
        summary = stream.summary()
    assert summary["dropped"] >= 15 and summary["searched"] == 15
    # Queued frames would put the record 2 more frames behind at every step (about 30 by the
    # end); the newest frame keeps it within a frame or two of the producer.
    assert max(lags[3:]) <= 6, lags


def test_mpegts_over_udp():
    port = free_udp_port()
    got = {}

    def consume():
        try:
            with qt.live(f"udp://127.0.0.1:{port}", W, ["circle"], radius=(5, 30),
                         open_timeout=10, read_timeout=3) as stream:
                got["records"] = take(stream, 20)
        except Exception as e:
            got["error"] = e

    t = threading.Thread(target=consume)
    t.start()
    time.sleep(0.3)
    with MpegTsSender(port, limit=15) as sender:
        t.join(20)
    assert sender.error is None and "error" not in got, got
    records = got["records"]
    first = seen(records[0])
    assert [(seen(r) - first) % 200 for r in records] == [r["frame"] for r in records]


def test_a_stream_that_stops_and_comes_back(mjpeg):
    said = []
    with qt.live(mjpeg.url, W, ["circle"], radius=(5, 30), open_timeout=3, read_timeout=1,
                 log=said.append) as stream:
        before = take(stream, 10)
        mjpeg.pause(1.5)
        after = take(stream, 10)
        assert stream.summary()["reconnects"] >= 1
    assert any("stream lost" in s for s in said) and any("reconnected" in s for s in said), said
    assert after[0]["frame"] > before[-1]["frame"] and mjpeg.clients >= 2
    # The frame count goes on across the reconnection, as the pixels do.
    assert [r["frame"] for r in after] == list(range(after[0]["frame"], after[0]["frame"] + 10))
    assert [seen(r) for r in after] == [(seen(after[0]) + k) % 200 for k in range(10)]


def test_retry_for_gives_up(mjpeg):
    with qt.live(mjpeg.url, W, ["circle"], radius=(5, 30), read_timeout=0.5, retry_for=1.0,
                 log=lambda s: None) as stream:
        take(stream, 3)
        mjpeg.pause(60)
        with pytest.raises(qt.LiveError, match="did not come back within 1 s"):
            take(stream, 1000)


def write_clip(path, pictures):
    with av.open(str(path), "w") as c:
        s = c.add_stream("mpeg4", rate=24)
        s.width, s.height, s.pix_fmt = 320, 240, "yuv420p"
        s.bit_rate = 2_000_000
        for p in pictures:
            c.mux(s.encode(av.VideoFrame.from_ndarray(p, format="rgb24")))
        c.mux(s.encode(None))
    return path


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    return write_clip(tmp_path_factory.mktemp("live") / "clip.mkv", [picture(n) for n in range(30)])


@pytest.mark.parametrize("every", [1, 4])
def test_a_file_gives_every_frame_and_the_records_of_video(clip, every):
    with qt.live(clip, W, ["circle"], radius=(5, 30), seed=3, every=every) as stream:
        records = list(stream)
    assert [r["frame"] for r in records] == list(range(0, 30, every))
    assert [seen(r) for r in records] == [r["frame"] for r in records]
    video = qt.track_video(clip, W, ["circle"], radius=(5, 30), seed=3)
    assert [r["shapes"] for r in records] == [f["shapes"] for f in video["frames"]][::every]


def test_records_published_over_udp_and_mqtt(mjpeg, mosquitto, capsys):
    mqtt = pytest.importorskip("paho.mqtt.client")
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("127.0.0.1", 0))
    rx.settimeout(5)
    received, subscribed = [], threading.Event()
    sub = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
    sub.on_connect = lambda c, u, f, r, p: c.subscribe("quorvane/test", qos=1)
    sub.on_subscribe = lambda *a: subscribed.set()
    sub.on_message = lambda c, u, m: received.append(m.payload.decode())
    sub.connect("127.0.0.1", mosquitto)
    sub.loop_start()
    try:
        assert subscribed.wait(5)
        rc = cli.main(["live", mjpeg.url, *WINDOW, *FIT, "--stop-after", "12",
                       "--publish", f"udp://127.0.0.1:{rx.getsockname()[1]}",
                       "--publish", f"mqtt://127.0.0.1:{mosquitto}/quorvane/test?qos=1"])
        out, err = capsys.readouterr()
        datagrams = [rx.recv(65536).decode() for _ in range(12)]
        deadline = time.monotonic() + 5
        while len(received) < 12 and time.monotonic() < deadline:
            time.sleep(0.05)
    finally:
        sub.loop_stop()
        rx.close()
    lines = out.splitlines()
    assert rc == 0 and len(lines) == 12 and datagrams == lines and received == lines
    frames = [json.loads(x)["frame"] for x in lines]
    # the newest frame wins: on a busy machine a frame may be skipped, never repeated or reordered
    assert frames == sorted(set(frames))
    assert "12 frames searched of" in err.splitlines()[-1] and "p99" in err


@pytest.fixture(scope="module")
def mosquitto(tmp_path_factory):
    exe = shutil.which("mosquitto") or ("/usr/sbin/mosquitto" if os.path.exists("/usr/sbin/mosquitto") else None)
    if exe is None:
        pytest.skip("mosquitto is not installed (apt-get install mosquitto; .ci/run does)")
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    conf = tmp_path_factory.mktemp("mqtt") / "mosquitto.conf"
    conf.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    proc = subprocess.Popen([exe, "-c", str(conf)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 5
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                if time.monotonic() > deadline or proc.poll() is not None:
                    pytest.skip("mosquitto did not start")
                time.sleep(0.05)
        yield port
    finally:
        proc.terminate()
        proc.wait(5)


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.mark.parametrize(
    "source, extra, message",
    [
        ("http://127.0.0.1:{closed}/x.mjpg", [], "cannot open it"),
        ("{text}", [], "cannot open it"),
        ("/dev/video97", [], "/dev/video97: no such camera"),
        ("97", [], "97: no such camera"),
        ("ftp://127.0.0.1/x", [], "unknown kind of stream"),
        ("{missing}", [], "no such file, camera or stream"),
        ("{clip}", ["--publish", "udp://127.0.0.1"], "give udp://HOST:PORT"),
        ("{clip}", ["--publish", "mqtt://127.0.0.1:{closed}/t"], "cannot reach the MQTT broker"),
        ("{clip}", ["--box", "900", "900", "10", "10"], "outside"),
        ("{clip}", ["--option", "novalue"], "KEY=VALUE"),
        ("{clip}", ["--track-option", "speed=3"], "--track-option speed=3: no such tracker option"),
        ("{clip}", ["--track-option", "max_lost=-1"], "--track-option: max_lost must be a whole number"),
        ("{clip}", ["--track-option", "gate=wide"], "gate=wide: give a number"),
    ],
)
def test_bad_sources_are_one_line(tmp_path, capsys, clip, source, extra, message):
    if "mqtt" in " ".join(extra):
        pytest.importorskip("paho.mqtt")
    (tmp_path / "notes.txt").write_text("not a video\n")
    names = {"closed": closed_port(), "text": tmp_path / "notes.txt", "clip": clip,
             "missing": tmp_path / "missing.mp4"}
    window = [] if "--box" in extra else WINDOW
    argv = ["live", source.format(**names), *window, *FIT, "--open-timeout", "3",
            *(a.format(**names) for a in extra)]
    try:
        rc = cli.main(argv)
    except SystemExit as e:  # argparse's own refusals
        rc = e.code
    out, err = capsys.readouterr()
    assert rc == 2 and out == "" and err.count("\n") == 1 and message in err, err
    assert err.startswith("quorvane: error: ") and "Traceback" not in err


def _command(*argv):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")])))
    return subprocess.Popen([sys.executable, "-m", "quorvane_tools", "live", *argv], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


@pytest.mark.parametrize("how", ["ctrl-c", "closed pipe"])
def test_ends_cleanly(mjpeg, how):
    with _command(mjpeg.url, *WINDOW, *FIT, "--stop-after", "900") as proc:
        try:
            for _ in range(5):
                assert json.loads(proc.stdout.readline())["shapes"]
            if how == "ctrl-c":
                proc.send_signal(signal.SIGINT)
                _, err = proc.communicate(timeout=15)
            else:
                proc.stdout.close()
                err = proc.stderr.read()
                proc.wait(15)
        finally:
            if proc.poll() is None:
                proc.kill()
    assert proc.returncode == (0 if how == "ctrl-c" else 141), err
    assert "Traceback" not in err and "error" not in err, err
    if how == "ctrl-c":
        assert "frames searched of" in err.splitlines()[-1] and "p99" in err


def test_a_slow_reader_of_standard_output_gets_fresh_records(mjpeg):
    # A pipe's buffer would queue records in front of a slow reader; the command waits for the
    # reader before it takes the next (newest) frame.
    with _command(mjpeg.url, *WINDOW, *FIT, "--stop-after", "900") as proc:
        try:
            lags = []
            for _ in range(15):
                record = json.loads(proc.stdout.readline())
                lags.append((mjpeg.n - 1 - seen(record)) % 200)  # frames sent since this one
                time.sleep(0.1)  # three frame times
        finally:
            proc.kill()
            proc.communicate()
    assert max(lags[3:]) <= 8, lags  # one sleep and a frame; a queue would be dozens behind


def test_the_per_frame_step_is_the_find_search():
    frame = live_module.Frame(7, time.time(), time.perf_counter(), None, picture(7))
    frame._rgb, frame.picture = picture(7), None
    record, found = live_module.search_frame(frame, W, ("circle",), {"radius": (5, 30)}, 1, 2)
    expect = qt.find_shapes(picture(7), W, ["circle"], radius=(5, 30), seed=qt.frame_seed(1, 7))
    assert record["shapes"] == expect.to_dict()["shapes"] and record["dropped"] == 2
    assert np.array_equal(found.mask, expect.mask)


@pytest.mark.parametrize("name", [n for n in live_module.__all__ if ">>>" in getattr(live_module, n).__doc__])
def test_the_examples_in_the_docstrings_run(name):
    import doctest

    tests = doctest.DocTestFinder().find(getattr(live_module, name), name, module=False, globs={})
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for t in tests:
        runner.run(t)
    assert runner.failures == 0 and runner.tries > 0
