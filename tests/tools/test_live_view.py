"""quorvane live --view and --track on real streams and files made here (loopback only): the
tune page on the newest frame, windows sent back from the page, the tracks of `video --track`."""

import importlib
import io
import json
import math
import os
import shutil
import threading

import numpy as np
import pytest

av = pytest.importorskip("av")
import quorvane_tools as qt  # noqa: E402
from quorvane_tools import cli  # noqa: E402

import livestreams  # noqa: E402
from livestreams import WINDOW, MjpegServer, jpegs  # noqa: E402
from test_live import W, frames, mjpeg, write_clip  # noqa: E402, F401  (frames: mjpeg's fixture)

live_module = importlib.import_module("quorvane_tools.live")

# --------------------------------------------------------------------------
# --view: the tune page on the stream


@pytest.fixture
def viewed(mjpeg):  # noqa: F811
    pytest.importorskip("PIL")
    said = []
    stream = qt.live(mjpeg.url, W, ["circle"], radius=(5, 30), log=said.append)
    server = live_module.view_server(stream, "127.0.0.1", 0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield stream, server, said
    finally:
        server.shutdown()
        server.server_close()
        stream.close()


def get(server, path, host=None):
    import http.client

    c = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=10)
    c.request("GET", path, headers={"Host": host or f"127.0.0.1:{server.server_port}"})
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, body


def test_view_shows_the_newest_frame_and_sends_the_window_on(viewed):
    import re

    from PIL import Image

    stream, server, said = viewed
    records = iter(stream.results())
    for _ in range(5):
        result = next(records)
        server.app.show(result)
    status, page = get(server, "/")
    token = re.search(rb'data-token="([0-9a-f]{32})"', page).group(1).decode()
    assert status == 200 and b'"hue&quot;: [0.2, 0.75]' in page.replace(b"{&quot;", b'"')
    status, png = get(server, f"/live/{token}/frame/1.png")
    shown = np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))
    assert status == 200 and np.array_equal(shown, result.frame.rgb())  # the newest searched frame
    # The page's answers are computed on the frame it shows.
    status, body = get(server, "/api/update?hue=0.2,0.75&chroma=0.35,1&intensity=0.15,0.95&fit=circle&radius=5,30")
    (circle,) = json.loads(body)["shapes"]  # (the page seeds its fit its own way)
    assert abs(circle["x"] - result.record["shapes"][0]["x"]) <= 2
    assert abs(circle["y"] - result.record["shapes"][0]["y"]) <= 2
    # A window from the page: used from the next frame on (this one selects nothing orange).
    assert get(server, f"/live/{token}/window/2.0000,2.5000/0.3500,1.0000/0.1500,0.9500") == (200, b"ok\n")
    assert next(records).record["shapes"] == [] and "window from the view" in said[-1]
    assert get(server, f"/live/{token}/window/5,1/0,1/0,1")[1].startswith(b"refused: hue")
    # Without the page's token, or from another name for this machine: nothing.
    assert get(server, "/live/0123456789abcdef0123456789abcdef/window/0,1/0,1/0,1")[0] == 404
    assert get(server, f"/live/{token}/frame/2.png", host="rebound.test:80")[0] == 421
    assert stream.window == qt.Window((2.0, 2.5), (0.35, 1.0), (0.15, 0.95))


def test_view_in_a_browser(viewed):
    webdriver = pytest.importorskip("selenium.webdriver")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not (chromium and driver_path):
        pytest.skip("needs headless Chromium: apt-get install chromium chromium-driver")
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    stream, server, said = viewed
    stop = threading.Event()

    def search():  # the search loop of `quorvane live`, bounded
        for k, result in enumerate(stream.results()):
            server.app.show(result)
            if stop.is_set() or k > 600:
                return

    loop = threading.Thread(target=search, daemon=True)
    loop.start()
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(arg)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    driver = webdriver.Chrome(service=Service(driver_path, env=env), options=options)
    try:
        driver.get(server.url)
        wait = WebDriverWait(driver, 30)
        # The page takes the stream's window, and its picture follows the stream.
        wait.until(lambda d: d.find_element(By.ID, "flags").text
                   == "--hue 0.2 0.75 --chroma 0.35 1 --intensity 0.15 0.95")
        src = lambda d: d.find_element(By.ID, "picture").get_attribute("src")  # noqa: E731
        first = wait.until(lambda d: "/frame/" in src(d) and src(d))
        wait.until(lambda d: src(d) != first)
        assert stream.window == W  # nothing sent until the user changes something
        field = driver.find_element(By.ID, "hue-1")
        field.send_keys(Keys.CONTROL, "a")
        field.send_keys("0.7", Keys.ENTER)
        wait.until(lambda d: stream.window.hue == (0.2, 0.7))
        assert "--hue 0.2 0.7 " in driver.find_element(By.ID, "flags").text
    finally:
        driver.quit()
        stop.set()
        loop.join(10)


# --------------------------------------------------------------------------
# --track: the tracks of `video --track`, on frames as they come


def two_balls(n, size=None):
    """Two balls going round the middle half a turn apart, a turn in 200 frames (a stream's loop)."""
    img = np.full((240, 320, 3), livestreams.GROUND, np.uint8)
    y, x = np.ogrid[:240, :320]
    for a in (2 * math.pi * n / 200, 2 * math.pi * n / 200 + math.pi):
        img[(x - 160 - 80 * math.cos(a)) ** 2 + (y - 120 - 60 * math.sin(a)) ** 2 <= 144] = livestreams.BALL
    return img


def test_tracks_through_a_stream(capsys):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(livestreams, "picture", two_balls)
        frames = jpegs(200)
    with MjpegServer(fps=15, frames=frames, limit=30) as server:
        rc = cli.main(["live", server.url, *WINDOW, "--fit", "circle", "--fit", "circle", "--radius", "8", "20",
                       "--track", "--stop-after", "40"])
    out, err = capsys.readouterr()
    records = [json.loads(line) for line in out.splitlines()]
    assert rc == 0 and len(records) == 40 and ", 2 tracks; latency" in err.splitlines()[-1], err
    # Both balls confirmed in the third frame, then followed to the end, never lost.
    events = [(k, e["event"], e["id"]) for k, r in enumerate(records) for e in r["events"]]
    assert events == [(2, "appeared", 1), (2, "appeared", 2)]
    for a, b in zip(records[2:], records[3:]):  # no id jumps to the other ball, 120 px away
        for s, t in zip(a["tracks"], b["tracks"]):
            assert math.dist((s["x"], s["y"]), (t["x"], t["y"])) < 3 * (b["frame"] - a["frame"]) + 6
    # Pixels per second of the capture times (the demuxer's own times say 25 frames a second).
    a, b = records[25], records[39]
    for s, t in zip(a["tracks"], b["tracks"]):
        moved = math.dist((s["x"], s["y"]), (t["x"], t["y"])) / (b["time"] - a["time"])
        assert 0.75 < math.hypot(t["vx"], t["vy"]) / moved < 1.33, (t, moved)


@pytest.mark.parametrize("track", [True, {"confirm": 2, "max_lost": 4}])
def test_a_file_has_the_tracks_of_video_and_the_view_draws_them(tmp_path, track):
    # A file's velocities come from its own timestamps, however fast it is read.
    Image = pytest.importorskip("PIL.Image")
    path = write_clip(tmp_path / "two.mkv", [two_balls(3 * n) for n in range(24)])
    with qt.live(path, W, ["circle", "circle"], radius=(8, 20), track=track) as stream:
        server = live_module.view_server(stream, "127.0.0.1", 0)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        results = list(stream.results())
        server.app.show(results[-1])
        png = get(server, f"/live/{server.app.token}/frame/1.png")[1]
        mask = json.loads(get(server, "/api/update?hue=0.2,0.75&chroma=0.35,1&intensity=0.15,0.95&fit=none")[1])
        server.shutdown()
        server.server_close()
    video = qt.track_video(path, W, ["circle", "circle"], radius=(8, 20), track=track)["frames"]
    assert [(r.record["tracks"], r.record["events"]) for r in results] == [(f["tracks"], f["events"]) for f in video]
    assert {e["id"] for f in video for e in f["events"]} == {1, 2}
    # The view's picture: ids and trails drawn; the page's mask is still that of the frame.
    last, plain = results[-1], results[-1].frame.rgb()
    drawn = qt.tracks.draw_tracks(plain.copy(), last.record["tracks"], last.trails)
    assert len(last.trails[1]) == sum(bool(r.record["tracks"]) for r in results) > 10
    assert np.array_equal(np.asarray(Image.open(io.BytesIO(png))), drawn) and not np.array_equal(drawn, plain)
    assert mask["count"] == np.count_nonzero(W.mask(plain))


def test_shapes_with_null_numbers_are_not_tracked():  # live's JSON carries NaN as null
    shapes = [{"shape": "circle", "x": None, "y": 5.0, "r": 3.0},
              {"shape": "ellipse", "x": 9.0, "y": 9.0, "a": None, "b": 2.0, "theta": 0.0}]
    assert qt.Tracker(confirm=1).update(shapes, 0.0) == {"tracks": [], "events": []}
