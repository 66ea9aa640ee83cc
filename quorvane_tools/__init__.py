"""Tools on top of the ``quorvane`` extension: see a picture's colours in the library's model,
choose a colour window from a region, and find the shapes in one call.

    import quorvane_tools as qt
    img = qt.load_image("coffee.png")
    s = qt.suggest_window(img, (250, 120, 70, 40))       # a box on the object
    found = qt.find_shapes(img, s.window, ["ellipse"], radius=(20, 150), seed=1)
    print(found.shapes[0].describe())
"""

import pkgutil as _pkgutil

# Developer builds put the private native helpers in a quorvane_tools folder of their own.
__path__ = _pkgutil.extend_path(__path__, __name__)

from quorvane import __version__  # one release for both packages: pyproject.toml's version
from ._arrays import ImageError, as_rgb, atomic_output, load_image, region_mask
from .shapes import FITS, Found, Shape, find_shapes, inliers_of, seed_c_generator
from .draw import annotate, contrast_tint
from .color import Suggestion, Window, in_window, lch, selected_fraction, suggest_window
from .video import VideoError, VideoTaskError, frame_seed, track_video
from .live import Live, LiveError, live
from .tracks import Tracker

__all__ = [
    "FITS", "Found", "Shape", "find_shapes", "inliers_of", "seed_c_generator",
    "annotate", "contrast_tint",
    "ImageError", "Suggestion", "Window", "as_rgb", "atomic_output", "in_window", "lch",
    "load_image", "region_mask", "selected_fraction", "suggest_window",
    "VideoError", "VideoTaskError", "frame_seed", "track_video",
    "Live", "LiveError", "live",
    "Tracker",
]
