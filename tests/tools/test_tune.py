"""The `quorvane tune` server, without a browser: refusals, query checks, the endpoints."""

import http.client
import io
import json
import threading

import numpy as np
import pytest

import quorvane as qv

qt = pytest.importorskip("quorvane_tools")
Image = pytest.importorskip("PIL.Image")
from quorvane_tools.tune import check_host  # noqa: E402
from quorvane_tools.tune.server import TuneApp, TuneServer, allowed_hosts, mask_png  # noqa: E402

WINDOW = "hue=0.1,0.9&chroma=0.3,1&intensity=0.1,0.95"


def scene():
    """A small picture: orange disc on green, a white bar."""
    y, x = np.mgrid[0:120, 0:160]
    img = np.zeros((120, 160, 3), np.uint8)
    img[...] = (60, 140, 50)
    img[(x - 70) ** 2 + (y - 60) ** 2 < 30**2] = (235, 120, 30)
    img[10:20, 100:150] = (240, 240, 240)
    return img


@pytest.fixture(scope="module")
def server():
    srv = TuneServer(TuneApp(scene(), "scene.png"), "127.0.0.1", 0)
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.shutdown()
    srv.server_close()


def get(server, target, host=None, method="GET", body=None, headers=()):
    conn = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=10)
    try:
        conn.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
        if host is not False:
            conn.putheader("Host", host or f"127.0.0.1:{server.server_port}")
        for k, v in headers:
            conn.putheader(k, v)
        if body is not None:
            conn.putheader("Content-Length", str(len(body)))
        conn.endheaders(body)
        r = conn.getresponse()
        if r.status == 200:
            assert r.getheader("Cross-Origin-Resource-Policy") == "same-origin"
            assert "default-src 'none'" in r.getheader("Content-Security-Policy")
        return r.status, r.getheader("Content-Type"), r.read()
    finally:
        conn.close()


@pytest.mark.parametrize(
    "host, ok",
    [
        (None, True),
        ("localhost:{port}", True),
        ("LOCALHOST:{port}", True),
        ("evil.example:{port}", False),  # a rebound name pointing at 127.0.0.1
        ("127.0.0.1:1", False),
        ("127.0.0.1", False),
        ("127.0.0.2:{port}", False),
        (False, False),  # no Host at all
    ],
)
def test_host_header(server, host, ok):
    if isinstance(host, str):
        host = host.format(port=server.server_port)
    status, _, body = get(server, "/api/info", host=host)
    if ok:
        assert status == 200 and json.loads(body)["width"] == 160
    else:
        assert status == 421 and b"address it was started on" in body


def test_host_rules_for_other_binds():
    assert allowed_hosts("::1", 8000) == {"[::1]:8000", "localhost:8000"}
    assert allowed_hosts("0.0.0.0", 8000) is None  # any IP literal, no names


@pytest.mark.parametrize(
    "target",
    [
        "/server.py",
        "/static/tune.js",
        "/../tune/server.py",
        "/%2e%2e/%2e%2e/quorvane_tools/tune/server.py",
        "/tune.js/../../__init__.py",
        "//etc/passwd",
        "/etc/passwd",
        "/index.html%00",
        "/image.png/../server.py",
    ],
)
def test_only_page_files_are_served(server, target):
    status, _, body = get(server, target)
    assert status == 404 and b"import" not in body


@pytest.mark.parametrize(
    "target, ctype, marker",
    [
        ("/", "text/html", b'id="flags"'),
        ("/?box=1,2,3,4", "text/html", b'id="flags"'),
        ("/tune.js", "text/javascript", b"api/update"),
        ("/tune.css", "text/css", b"#stage"),
        ("/image.png", "image/png", b"\x89PNG"),
    ],
)
def test_page_files(server, target, ctype, marker):
    status, got, body = get(server, target)
    assert status == 200 and got.startswith(ctype) and marker in body


@pytest.mark.parametrize(
    "kw, status",
    [
        (dict(method="POST", body=b"x"), 405),
        (dict(method="PUT", body=b""), 405),
        (dict(body=b"hello"), 413),
        (dict(headers=[("Transfer-Encoding", "chunked")]), 413),
    ],
)
def test_methods_and_bodies_refused(server, kw, status):
    assert get(server, "/api/info", **kw)[0] == status


def test_long_target_refused(server):
    assert get(server, "/api/update?hue=" + "1" * 3000)[0] == 414


@pytest.mark.parametrize(
    "query, reason",
    [
        ("chroma=0,1&intensity=0,1", "hue is missing"),
        ("hue=0.9,0.1&chroma=0,1&intensity=0,1", "hue needs A < B"),
        ("hue=0,3.2&chroma=0,1&intensity=0,1", "hue needs A < B"),
        ("hue=0,0&chroma=0,1&intensity=0,1", "hue needs A < B"),
        ("hue=nan,1&chroma=0,1&intensity=0,1", "must lie in"),
        ("hue=0,inf&chroma=0,1&intensity=0,1", "must lie in"),
        ("hue=-100,-99&chroma=0,1&intensity=0,1", "must lie in"),
        ("hue=a,b&chroma=0,1&intensity=0,1", "comma-separated numbers"),
        ("hue=0,1,2&chroma=0,1&intensity=0,1", "2 comma-separated"),
        ("hue=0,1&chroma=1,0&intensity=0,1", "chroma needs its lower limit"),
        ("hue=0,1&chroma=0,1&intensity=0,1e9", "must lie in"),
        (WINDOW + "&colour=red", "unknown query field"),
        (WINDOW + "&hue=0,1", "given twice"),
        (WINDOW + "&fit=square", "fit must be one of"),
        (WINDOW + "&fit=circle&radius=50,10", "MIN <= MAX"),
        (WINDOW + "&fit=circle&radius=0,10", "must lie in"),
        (WINDOW + "&fit=circle&radius=1.5,10", "comma-separated numbers"),
        (WINDOW + "&seed=-1", "must lie in"),
        (WINDOW + "&points=2", "points must be 0 or 1"),
        ("hue=" + "1" * 70 + ",2&chroma=0,1&intensity=0,1", "longer than"),
        ("&".join(f"f{i}=1" for i in range(20)), "too many query fields"),
    ],
)
def test_bad_update_queries(server, query, reason):
    status, ctype, body = get(server, "/api/update?" + query)
    assert (status, ctype.split(";")[0]) == (400, "text/plain")
    assert reason in body.decode()


@pytest.mark.parametrize(
    "query, reason",
    [
        ("", "box is missing"),
        ("box=200,0,10,10", "lies outside"),
        ("box=0,0,0,10", "positive width"),
        ("box=0,0,10,10&outside=-50,-50,10,10", "lies outside"),
        ("box=0,0,10", "4 comma-separated"),
    ],
)
def test_bad_suggest_queries(server, query, reason):
    status, _, body = get(server, "/api/suggest?" + query)
    assert status == 400 and reason in body.decode()


def test_suggest_clips_and_rounds(server):
    status, _, body = get(server, "/api/suggest?box=55,45,30,30&outside=-10,-10,40,40")
    assert status == 200
    s = json.loads(body)
    assert s["outside"] == [0, 0, 30, 30]
    for pair in s["window"].values():
        assert all(round(v, 4) == v for v in pair)
    assert s["flags"] == qt.Window(*(tuple(p) for p in s["window"].values())).flags()


@pytest.mark.parametrize("fit", ["none", "line", "line2", "circle", "ellipse"])
def test_update_matches_the_library(server, fit):
    query = f"{WINDOW}&fit={fit}&radius=10,60&seed=5"
    status, ctype, body = get(server, "/api/update?" + query)
    assert status == 200 and ctype == "application/json"
    u = json.loads(body)
    window = qt.Window((0.1, 0.9), (0.3, 1.0), (0.1, 0.95))
    mask = qv.mask_image(scene(), window.bounds())
    assert u["flags"] == window.flags()
    assert u["count"] == int(mask.sum()) and 0 < u["count"] < mask.size
    fits = () if fit == "none" else (fit,)
    radius = (10, 60) if fit in ("circle", "ellipse") else None
    found = qt.find_shapes(scene(), window, fits, radius=radius, seed=5)
    assert [s for s in u["shapes"] if s["found"]] == [
        {**json.loads(json.dumps(s.to_dict())), "found": True, "text": s.describe()} for s in found.shapes if s.found
    ]
    assert len(u["shapes"]) == len(fits)
    assert u["fit_flags"] == ("" if fit == "none" else f"--fit {fit}" + (" --radius 10 60" if radius else "") + " --seed 5")
    assert np.array_equal(np.array(u["points"]).reshape(-1, 2), found.points)

    status, ctype, png = get(server, "/api/mask?" + WINDOW)
    assert (status, ctype) == (200, "image/png")
    assert np.array_equal(np.asarray(Image.open(io.BytesIO(png))), mask)


@pytest.mark.parametrize("shape", [(1, 1), (7, 13), (3, 8), (5, 17)])
def test_mask_png(shape):
    mask = (np.random.default_rng(1).random(shape) < 0.5).astype(np.uint8) * 3
    im = Image.open(io.BytesIO(mask_png(mask, (1, 2, 3, 40))))
    assert im.mode == "P" and im.info["transparency"] == b"\x00\x28"
    assert im.getpalette()[:6] == [0, 0, 0, 1, 2, 3]
    assert np.array_equal(np.asarray(im), mask != 0)


def test_circle_found_on_the_disc(server):
    u = json.loads(get(server, "/api/update?" + WINDOW + "&fit=circle&radius=10,60&seed=1")[2])
    (c,) = u["shapes"]
    assert c["found"] and abs(c["x"] - 70) <= 2 and abs(c["y"] - 60) <= 2 and abs(c["r"] - 30) <= 2


def test_values_are_rounded_to_the_flags(server):
    u = json.loads(get(server, "/api/update?hue=0.100004,0.9&chroma=0.3,1&intensity=0.1,0.95")[2])
    assert u["window"]["hue"] == [0.1, 0.9]


# ---------------------------------------------------------------- the command


def run_cli(capsys, *argv):
    from quorvane_tools.cli import main

    try:
        code = main(["tune", *argv])
    except SystemExit as e:
        code = e.code
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize(
    "argv, message",
    [
        (["{missing}", "--no-browser"], "quorvane: error: "),
        (["{garbage}", "--no-browser"], "quorvane: error: "),
        (["{image}", "--host", "0.0.0.0"], "--allow-remote"),
        (["{image}", "--host", "example.org"], "needs an IP address"),
        (["{image}", "--port", "70000"], "invalid port"),
    ],
)
def test_bad_command_lines(tmp_path, capsys, argv, message):
    from PIL import Image

    Image.fromarray(scene()).save(tmp_path / "scene.png")
    (tmp_path / "garbage.png").write_bytes(b"not a picture")
    paths = dict(missing=tmp_path / "nope.png", garbage=tmp_path / "garbage.png", image=tmp_path / "scene.png")
    code, out, err = run_cli(capsys, *(a.format(**paths) for a in argv))
    assert code == 2 and out == ""
    assert message in err and "Traceback" not in err
    if message.startswith("quorvane: error"):
        assert err.count("\n") == 1


def test_remote_host_needs_the_flag_and_warns():
    assert check_host("127.0.0.1", False) == ("127.0.0.1", None)
    assert check_host("localhost", False) == ("127.0.0.1", None)
    host, warning = check_host("0.0.0.0", True)
    assert host == "0.0.0.0" and "warning" in warning


def test_the_command_serves_until_interrupted(tmp_path):
    import signal
    import subprocess
    import sys
    import urllib.request

    Image.fromarray(scene()).save(tmp_path / "scene.png")
    # A shell that starts a job in the background without job control makes it ignore
    # SIGINT, and its children inherit that: the command must see Ctrl+C as a terminal
    # user would, so it starts with the default disposition.
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "quorvane_tools", "tune", str(tmp_path / "scene.png"), "--no-browser"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
    finally:
        signal.signal(signal.SIGINT, before)
    try:
        line = proc.stdout.readline()
        assert "(160 x 120) at http://127.0.0.1:" in line
        url = line.rsplit(" ", 1)[1].strip()
        with urllib.request.urlopen(url + "api/info", timeout=10) as r:
            assert json.load(r)["name"] == "scene.png"
    finally:
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0 and err == ""


@pytest.mark.parametrize("name", ["TuneApp", "TuneServer"])
def test_the_examples_in_the_docstrings_run(name):
    import doctest

    from quorvane_tools.tune import server

    tests = doctest.DocTestFinder().find(getattr(server, name), name, module=False, globs={})
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for t in tests:
        runner.run(t)
    assert runner.failures == 0 and runner.tries > 0
