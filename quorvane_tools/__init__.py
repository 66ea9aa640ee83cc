"""Tools on top of the ``quorvane`` extension: see a picture's colours in the library's model,
choose a colour window from a region, and find the shapes in one call.

    import quorvane_tools as qt
    img = qt.load_image("coffee.png")
    s = qt.suggest_window(img, (250, 120, 70, 40))       # a box on the object
    found = qt.find_shapes(img, s.window, ["ellipse"], radius=(20, 150), seed=1)
    print(found.shapes[0].describe())

The names below are loaded from their modules on first use, so that importing the package (and
starting the ``quorvane`` command) costs only what is used: video, live streams and tracks
import nothing until they are asked for, and none of them imports PyAV, Dask or SciPy before
it needs them.
"""

import importlib as _importlib
import pkgutil as _pkgutil
import sys as _sys
import types as _types

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

# Developer builds put the private native helpers in a quorvane_tools folder of their own.
__path__ = _pkgutil.extend_path(__path__, __name__)

# Each public name and the module that defines it.
_EXPORTS = {
    "._arrays": ("ImageError", "as_rgb", "atomic_output", "load_image", "region_mask"),
    ".shapes": ("FITS", "Found", "Shape", "find_shapes", "inliers_of", "seed_c_generator"),
    ".draw": ("annotate", "contrast_tint"),
    ".color": ("Suggestion", "Window", "in_window", "lch", "selected_fraction", "suggest_window"),
    ".video": ("VideoError", "VideoTaskError", "frame_seed", "track_video"),
    ".live": ("Live", "LiveError", "live"),
    ".tracks": ("Tracker",),
}
_WHERE = {name: module for module, names in _EXPORTS.items() for name in names}
# Modules that are attributes of the package once imported (quorvane_tools.video, ...).
_SUBMODULES = ("cli", "color", "draw", "live", "shapes", "tracks", "tune", "video")

__all__ = [
    "FITS", "Found", "Shape", "find_shapes", "inliers_of", "seed_c_generator",
    "annotate", "contrast_tint",
    "ImageError", "Suggestion", "Window", "as_rgb", "atomic_output", "in_window", "lch",
    "load_image", "region_mask", "selected_fraction", "suggest_window",
    "VideoError", "VideoTaskError", "frame_seed", "track_video",
    "Live", "LiveError", "live",
    "Tracker",
]


def __getattr__(name: str):
    """A public name, a submodule or ``__version__``, imported on first use and then kept."""
    if name == "__version__":  # one release for both packages: pyproject.toml's version
        from quorvane import __version__ as value
    elif name in _WHERE:
        value = getattr(_importlib.import_module(_WHERE[name], __name__), name)
    elif name in _SUBMODULES:
        value = _importlib.import_module(f".{name}", __name__)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted({*globals(), *__all__, "__version__"})


class _Package(_types.ModuleType):
    """The package's module type: ``live`` is the function ``live.live`` even once the module
    of that name is imported (the import system then binds the module to its package's
    attribute of the same name, where the eager imports used to bind the function after it)."""

    @property
    def live(self):
        return self.__dict__.get("_live") or _importlib.import_module(".live", __name__).live

    @live.setter
    def live(self, value):
        if not isinstance(value, _types.ModuleType):  # a stand-in set by a caller is kept
            self.__dict__["_live"] = value

    def __reduce__(self):  # pickled by name, as modules are (Dask sends functions that use it)
        return _importlib.import_module, (self.__name__,)


_sys.modules[__name__].__class__ = _Package


if TYPE_CHECKING:  # the names as type checkers and editors see them
    from quorvane import __version__

    from ._arrays import ImageError, as_rgb, atomic_output, load_image, region_mask
    from .color import Suggestion, Window, in_window, lch, selected_fraction, suggest_window
    from .draw import annotate, contrast_tint
    from .live import Live, LiveError, live
    from .shapes import FITS, Found, Shape, find_shapes, inliers_of, seed_c_generator
    from .tracks import Tracker
    from .video import VideoError, VideoTaskError, frame_seed, track_video
