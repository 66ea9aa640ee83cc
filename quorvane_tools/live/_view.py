"""--view: the tune page on the live stream."""

from __future__ import annotations

import io
import json
import re
import threading
import uuid

import numpy as np

# Runs after tune.js: keeps the picture on the newest searched frame, shows the live window in
# the page's fields once, and sends the window on to the stream when the user changes it.
LIVE_JS = r"""// quorvane live --view: the tune page on the newest frame of the stream.
"use strict";
(() => {
  const me = document.currentScript;
  const token = me.dataset.token;
  const live = JSON.parse(me.dataset.window);
  const $ = (id) => document.getElementById(id);
  const LIMITS = ["hue", "chroma", "intensity"];
  let adopted = false;
  let touched = false;
  let frame = 0;
  const set = (w) => {
    for (const k of LIMITS)
      for (const i of [0, 1]) {
        const f = $(`${k}-${i}`);
        f.value = String(w[k][i]);
        f.dispatchEvent(new Event("change"));
      }
  };
  const value = (k, i) => Number($(`${k}-${i}`).value).toFixed(4);
  const send = () => {
    if (!touched) return;
    const path = LIMITS.map((k) => `${value(k, 0)},${value(k, 1)}`).join("/");
    fetch(`live/${token}/window/${path}`, { cache: "no-store" }).catch(() => {});
  };
  for (const el of document.querySelectorAll("#limits input"))
    for (const kind of ["input", "change"])
      el.addEventListener(kind, (ev) => {
        if (!ev.isTrusted) return;
        touched = true;
        setTimeout(send, 0);
      });
  // A box drawn on the picture suggests a window: send it on once the page has it.
  $("stage").addEventListener("pointerup", (ev) => {
    if (ev.isTrusted) {
      touched = true;
      setTimeout(send, 400);
    }
  });
  const picture = $("picture");
  const next = () => {
    if (!adopted && Number(document.body.dataset.updates || 0) >= 1) {
      adopted = true;
      set(live);
    }
    if (document.body.dataset.busy !== "1") {
      frame += 1;
      picture.src = `live/${token}/frame/${frame}.png`;
    }
    setTimeout(next, 200);
  };
  // A new picture: redraw the mask and the shapes on it.
  picture.addEventListener("load", () => {
    if (adopted) $("hue-0").dispatchEvent(new Event("change"));
  });
  setTimeout(next, 200);
})();
"""


def view_server(stream, host: str = "127.0.0.1", port: int = 0):
    """The tune page on a live stream, served with tune's host checks, headers and limits.

    Parameters
    ----------
    stream : Live
        The stream shown. The search then takes the page's fitting lock (they share the C
        library's generator).
    host : str, default "127.0.0.1"
    port : int, default 0
        0 picks a free port.

    Returns
    -------
    TuneServer
        Start it with ``serve_forever`` on a thread and give it each searched frame with
        ``server.app.show(result)``. The page's picture is the newest of them (pinned when
        the page asks for it, so that the page's mask and shapes are computed on the frame
        it shows); a window changed on the page is used by the stream from the next frame on.
    """
    from ..tune.server import BadRequest, TuneApp, TuneServer, parse_window

    class LiveApp(TuneApp):
        def __init__(self, stream, name):
            super().__init__(stream.first_rgb, name)
            self.stream = stream
            self.token = uuid.uuid4().hex  # in the page only: other sites cannot send windows
            self.latest = (self.image, None, None)  # the newest frame, its tracks and trails
            self._frame_lock = threading.Lock()

        def show(self, result) -> None:
            """A searched frame, from the search loop."""
            rgb = result.frame.rgb()
            if rgb.shape == self.image.shape:
                self.latest = (rgb, result.record.get("tracks"), result.trails)

        def pin(self) -> bytes:
            """The newest frame becomes the page's picture; returns it as PNG (with the tracks'
            ids and trails drawn when the stream is tracked: the page's mask and shapes are
            still computed on the frame itself)."""
            from ..tracks import draw_tracks

            with self._frame_lock:
                image, tracks, trails = self.latest
                if not (image.flags.c_contiguous and image.flags.writeable):
                    image = np.array(image, order="C")
                self.image = image
                self._png = None
                with self._masks_lock:
                    self._masks.clear()
                if tracks:
                    from PIL import Image

                    out = io.BytesIO()
                    Image.fromarray(draw_tracks(image.copy(), tracks, trails)).save(
                        out, format="PNG", compress_level=1)
                    self._png = out.getvalue()
                return self.picture()

        def static(self, path: str):
            if path in ("/", "/index.html"):
                html, ctype = super().static(path)
                window = json.dumps(self.stream.window.to_dict()).replace('"', "&quot;")
                tag = (f'<script src="live/{self.token}/live.js" data-token="{self.token}" '
                       f'data-window="{window}"></script>\n</body>').encode()
                return html.replace(b"</body>", tag, 1), ctype
            prefix = f"/live/{self.token}/"
            if not path.startswith(prefix):
                return super().static(path)
            rest = path[len(prefix):]
            if rest == "live.js":
                return LIVE_JS.encode(), "text/javascript; charset=utf-8"
            if re.fullmatch(r"frame/\d{1,12}\.png", rest):
                return self.pin(), "image/png"
            m = re.fullmatch(r"window/([^/]{1,40})/([^/]{1,40})/([^/]{1,40})", rest)
            if m:
                try:
                    w = parse_window(dict(zip(("hue", "chroma", "intensity"), m.groups())))
                    if w != self.stream.window:
                        self.stream.set_window(w)
                        if self.stream.log is not None:
                            self.stream.log(f"window from the view, from frame {self.stream.decoded} on: {w.flags()}")
                except (BadRequest, ValueError) as e:
                    return f"refused: {e}\n".encode(), "text/plain; charset=utf-8"
                return b"ok\n", "text/plain; charset=utf-8"
            return None

        def info(self) -> dict:
            return {**super().info(), "live": True}

    app = LiveApp(stream, f"{stream.source.text} (live)")
    server = TuneServer(app, host, port)
    stream.fit_lock = app._fit_lock
    return server
