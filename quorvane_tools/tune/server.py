"""The web server behind `quorvane tune`: one picture, a fixed set of page files and
four small endpoints that run the library on the picture.

    GET /               the page (index.html); tune.js and tune.css beside it
    GET /image.png      the picture, encoded once at start
    GET /api/info       {"name", "width", "height", "radius": [min, max]}
    GET /api/suggest    ?box=X,Y,W,H[&outside=X,Y,W,H]  -> a window suggested from the box
    GET /api/update     ?hue=A,B&chroma=C,D&intensity=E,F[&fit=...&radius=MIN,MAX&seed=N&box=X,Y,W,H]
                        (no hue and chroma: a window of intensity alone; a box names the
                        object the fit looks at, as `quorvane find --box` does)
                        -> count of selected pixels, flags, fitted shapes, edge points
    GET /api/mask       ?hue=A,B&chroma=C,D&intensity=E,F -> the mask as a PNG overlay: a
                        1-bit palette picture, selected pixels tinted and translucent, the
                        others transparent

Nothing in a request reaches the file system: page files are read from the package
once, into memory, and looked up in a fixed table. Requests must carry the Host the
server was bound to (a page on another site that points its own name at 127.0.0.1
cannot talk to the server), may not have a body, and every query value is checked;
a bad one gets 400 with the reason as plain text.

The work is in five modules: ``query`` (the query values and their refusals), ``app`` (TuneApp,
the picture and what the endpoints compute, the mask's PNG, the JSON), ``limits`` (the
server's limits and HeavyGate), ``handler`` (one request: host check, headers, endpoints) and
``serving`` (TuneServer: the loop over the connections and the pool of workers). This module
names them all in one place. Each module looks names up in the module that defines them: to
replace one in a test, patch it there (``quorvane_tools.tune.handler.parse_query``).
"""

from __future__ import annotations

from .app import FITS, STATIC, TINT, TuneApp, _chunk, _finite, _json, _plain, mask_png
from .handler import SECURITY_HEADERS, TuneHandler, _is_ip_literal_host, _Reply, allowed_hosts
from .limits import (
    BACKLOG,
    HEADER_TIMEOUT,
    HEAVY,
    HEAVY_SLOTS,
    HEAVY_WAIT,
    HEAVY_WAITING,
    IDLE_TIMEOUT,
    MAX_CONNECTIONS,
    MAX_HEAD,
    MAX_TARGET,
    POOL_SIZE,
    RETRY_AFTER,
    WRITE_TIMEOUT,
    Busy,
    HeavyGate,
)
from .query import (
    BAND_RANGE,
    DECIMALS,
    HUE_RANGE,
    MAX_FIELDS,
    MAX_VALUE,
    MIN_WIDTH,
    BadRequest,
    _numbers,
    parse_box,
    parse_query,
    parse_window,
)
from .serving import _HEAD_END, TuneServer, _Connection

# The public classes are shown, and pickled, under this module's name, as before the split.
for _cls in (BadRequest, Busy, HeavyGate, TuneApp, TuneHandler, TuneServer):
    _cls.__module__ = __name__
del _cls

__all__ = ["BadRequest", "Busy", "HeavyGate", "TuneApp", "TuneHandler", "TuneServer", "allowed_hosts",
           "mask_png", "parse_box", "parse_query", "parse_window"]
