"""`quorvane tune IMAGE`: choose a colour window by eye on a local web page."""

from __future__ import annotations

import argparse
import os
import sys
import threading
import webbrowser

from .._arrays import load_image
from ..tune import check_host
from ._errors import CliError
from ._options import add_limit_options, port

DESCRIPTION = """\
Serve a local web page that shows IMAGE with the pixels of a colour window tinted,
and redraws the mask, the edge points and the fitted shapes as you move the limits.

On the page:
  drag a box            suggest a window from the colours inside the box
  shift-drag a box      mark what the window should leave out, then suggest again
  six sliders/fields    hue wedge (radians), chroma band, intensity band
  shape                 fit a line, a pair of lines, a circle or an ellipse
  flags                 the window as options for `quorvane find`, with a copy button,
                        and the whole `quorvane find` command that repeats the page's fit

A link with ?box=X,Y,W,H (and &outside=X,Y,W,H) opens the page with that box chosen,
so a window can be shared as a link.

The server listens on 127.0.0.1 and answers only requests addressed to that address.
To use it on a remote machine, forward the port over SSH instead of opening it:

  ssh -L 8765:127.0.0.1:8765 host          # on your machine
  quorvane tune img.png --port 8765 --no-browser   # on the host; open the printed URL locally

Limits, so that no client can stall the page: requests are answered by a fixed pool of
threads; a suggestion or a fit is computed one at a time per client (IP address) and two at
most over all, and one that would wait more than 5 s is answered 503 with Retry-After. A
connection may idle 30 s between requests and has 10 s to send a request's headers.
"""


def register(subparsers) -> None:
    p = subparsers.add_parser(
        "tune",
        help="pick a colour window by eye on a local web page",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("image", metavar="IMAGE", help="picture to tune on (PNG, JPEG, ...)")
    p.add_argument(
        "--host",
        default="127.0.0.1",
        metavar="ADDR",
        help="IP address to listen on (default 127.0.0.1); an address other than a loopback "
        "one also needs --allow-remote",
    )
    p.add_argument("--port", type=port, default=0, metavar="N", help="port to listen on (default 0: any free port)")
    p.add_argument("--no-browser", action="store_true", help="only print the URL; do not open a browser")
    p.add_argument(
        "--allow-remote",
        action="store_true",
        help="allow a --host that other machines can reach: anyone who reaches it sees the picture",
    )
    add_limit_options(p)
    p.set_defaults(run=run)


def run(args) -> int:
    from ..tune.server import TuneApp, TuneServer  # the server loads when it is started

    host, warning = check_host(args.host, args.allow_remote)
    try:
        image = load_image(args.image, max_pixels=args.max_pixels)
    except ValueError as e:
        raise CliError(str(e)) from None
    app = TuneApp(image, os.path.basename(args.image))
    app.picture()  # encode now, so the first page load is quick
    try:
        server = TuneServer(app, host, args.port)
    except OSError as e:
        raise CliError(f"cannot listen on {host} port {args.port}: {e.strerror or e}") from None
    with server:
        if warning:
            print(warning, file=sys.stderr)
        print(f"quorvane tune: {args.image} ({app.width} x {app.height}) at {server.url}", flush=True)
        print("press Ctrl+C to stop", flush=True)
        if not args.no_browser:
            threading.Thread(target=webbrowser.open, args=(server.url,), daemon=True).start()
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            print("stopped", flush=True)
    return 0
