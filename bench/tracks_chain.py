"""The track benchmark's real chain: clips rendered with PyAV and run through
track_video(track=True)."""

from __future__ import annotations

import math

import numpy as np
from tracks_score import FPS, cost, score

import quorvane_tools as qt

# --------------------------------------------------------------------------
# The real chain: rendered clips through track_video(track=True)

ORANGE = np.array([0.93, 0.45, 0.10])
WINDOW = qt.Window((0.15, 0.7), (0.3, 1.0), (0.15, 0.95))


def render(scene, path, rng):
    """The scene as H.264 (MPEG-4 part 2 without libx264): orange balls over textured grass or
    the photograph, the blue bar in front of them."""
    import av

    w, h = scene.size
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    if scene.photo is None:
        grass = np.array([0.25, 0.5, 0.22], np.float32) * (1 + 0.12 * np.sin(x / 7 + y / 11))[..., None]
        base = grass + rng.normal(0, 0.03, (h, w, 3)).astype(np.float32)
        photo = None
    else:
        from skimage import data, transform

        img = getattr(data, scene.photo)()
        big = (int(np.ceil(scene.camera[:, 1].max())) + h + 1, int(np.ceil(scene.camera[:, 0].max())) + w + 1)
        photo = transform.resize(img, big, order=1, anti_aliasing=True).astype(np.float32)
    codec = "libx264" if "libx264" in av.codecs_available else "mpeg4"
    with av.open(str(path), "w") as c:
        s = c.add_stream(codec, rate=int(FPS))
        s.width, s.height, s.pix_fmt, s.bit_rate = w, h, "yuv420p", 4_000_000
        s.options = {"crf": "18", "g": "25"} if codec == "libx264" else {"g": "25"}
        for k in range(scene.frames):
            if photo is not None:
                cx, cy = scene.camera[k]
                ix, iy = int(cx), int(cy)
                img = photo[iy:iy + h, ix:ix + w].copy()
            else:
                img = base.copy()
            for (bx, by), r in zip(scene.pos[k], scene.radius):
                x0, x1 = max(int(bx - r) - 2, 0), min(int(bx + r) + 3, w)
                y0, y1 = max(int(by - r) - 2, 0), min(int(by + r) + 3, h)
                if x0 >= x1 or y0 >= y1:
                    continue
                a = np.clip(r + 0.5 - np.hypot(x[y0:y1, x0:x1] - bx, y[y0:y1, x0:x1] - by), 0, 1)[..., None]
                img[y0:y1, x0:x1] = img[y0:y1, x0:x1] * (1 - a) + ORANGE * a
            if scene.bar is not None:
                img[:, int(scene.bar[0]):int(math.ceil(scene.bar[1]))] = (0.2, 0.3, 0.8)
            rgb = np.clip(img * 255, 0, 255).astype(np.uint8)
            c.mux(s.encode(av.VideoFrame.from_ndarray(rgb, format="rgb24")))
        c.mux(s.encode(None))


def chain(scene, tmp, rng, options, rounds):
    """track_video(track=True) on the rendered scene: (counts, records)."""
    from quorvane_tools import video

    path = tmp / f"{scene.name}.mp4"
    render(scene, path, rng)
    r = scene.radius
    fits = ["circle"] * len(r)
    radius = (max(3, int(r.min() * 0.6)), int(r.max() * 1.5) + 1)
    result = video.track_video(path, WINDOW, fits, radius=radius, seed=1,
                               track=dict(options) if options else True)
    frames = result["frames"]
    dets = [f["shapes"] for f in frames]
    c = score(scene, frames)
    c["us"] = cost(scene, dets, options, rounds)
    c["dets"] = sum(len(d) for d in dets)
    present = scene.present()
    c["false_fits"] = 0
    for k, d in enumerate(dets):
        balls = scene.pos[k, present[k]]
        radii = scene.radius[present[k]]
        for s in d:
            if not len(balls) or (np.hypot(balls[:, 0] - s["x"], balls[:, 1] - s["y"]) > radii).all():
                c["false_fits"] += 1
    return c
