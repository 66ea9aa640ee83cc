"""Time of one `quorvane tune` redraw on a 1080p picture, single core.

    python3 bench/bench_tune.py [--rounds N]

A redraw is what the page asks for after a slider moves: api/update (mask, edge
points, fit, JSON) and api/mask (the mask as a PNG overlay). Both are timed in-process, once
through the application object alone and once over HTTP to a server on 127.0.0.1
(request, response and JSON included, no browser). The picture is the coffee photo
scaled to 1920 x 1080, the window the one suggested from a box on the crema. The
page stays interactive while a redraw takes under 50 ms. Prints a markdown table.
"""

import datetime
import http.client
import threading

import numpy as np

import quorvane_tools as qt
from benchutil import best_per_call, cpu_name, setup
from quorvane_tools.tune.server import TuneApp, TuneServer

W, H = 1920, 1080
TARGET_MS = 50.0


def picture():
    from PIL import Image
    from skimage import data

    return np.ascontiguousarray(np.asarray(Image.fromarray(data.coffee()).resize((W, H), Image.BICUBIC)))


def main():
    args = setup(__doc__)
    image = picture()
    sx, sy = W / 600, H / 400
    box = (round(250 * sx), round(120 * sy), round(70 * sx), round(40 * sy))
    outside = (0, 0, round(150 * sx), round(150 * sy))
    windows = {
        "crema": qt.suggest_window(image, box, outside).window,  # a small share of the picture
        "warm": qt.Window((0.0, 1.0), (0.05, 1.0), (0.05, 0.95)),  # most of it, many edges
    }
    app = TuneApp(image, "coffee-1080p.png")
    server = TuneServer(app, "127.0.0.1", 0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    conn = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=30)

    def fetch(target):
        conn.request("GET", target)
        r = conn.getresponse()
        body = r.read()
        assert r.status == 200, (target, r.status, body[:200])
        return body

    rows = []
    for name, window in windows.items():
        q = "&".join(f"{k}={lo:.4f},{hi:.4f}" for k, (lo, hi) in zip(("hue", "chroma", "intensity"), window))
        fields = dict(kv.split("=") for kv in q.split("&"))
        rows += time_window(app, fetch, name, q, fields, args.rounds)
    conn.close()
    server.shutdown()
    server.server_close()

    # A window no redraw has seen: the mask comes from the library, not from the cache.
    def uncached():
        app._masks.clear()
        app.mask(fields)

    t_mask = best_per_call(uncached, args.rounds, 5)

    print(f"quorvane tune redraw, {W} x {H} picture, one core; {cpu_name()}; {datetime.date.today()}")
    for name, window in windows.items():
        print(f"window {name}: {window.flags()}")
    print()
    print("| window | fit | pixels selected | edge points | update + mask, in-process (ms) | over HTTP (ms) | shape |")
    print("|---|---|---:|---:|---:|---:|---|")
    for name, fit, count, points, t1, t2, shape in rows:
        print(f"| {name} | {fit} | {count} | {points} | {t1:.1f} | {t2:.1f} | {shape} |")
    print()
    print(f"mask overlay alone, uncached: {t_mask * 1e3:.1f} ms")
    worst = max(r[5] for r in rows)
    verdict = "met" if worst < TARGET_MS else "MISSED"
    print(f"slowest redraw over HTTP {worst:.1f} ms; target under {TARGET_MS:.0f} ms: {verdict}")


def time_window(app, fetch, name, q, fields, rounds):
    rows = []
    for fit, radius in (("none", None), ("line", None), ("line2", None), ("circle", (40, 400)), ("ellipse", (40, 400))):
        f = dict(fields, fit=fit)
        extra = f"&fit={fit}"
        if radius:
            f["radius"] = f"{radius[0]},{radius[1]}"
            extra += f"&radius={radius[0]},{radius[1]}"
        u = app.update(f)

        def direct(f=f):
            app.update(f)
            app.mask(fields)

        def http_round(extra=extra):
            fetch(f"/api/update?{q}{extra}")
            fetch(f"/api/mask?{q}")

        t_direct = best_per_call(direct, rounds, 5)
        t_http = best_per_call(http_round, rounds, 5)
        shape = next((s["text"] for s in u["shapes"] if s["found"]), "-")
        rows.append((name, fit, u["count"], len(u["points"]) // 2, t_direct * 1e3, t_http * 1e3, shape))
    return rows


if __name__ == "__main__":
    main()
