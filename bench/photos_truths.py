"""How the truths of each built-in photo case are measured, and --measure itself."""

from __future__ import annotations

import json
import math

import cv2
import numpy as np
from photos_cases import CASES_FILE, Case, error, inside, load_cases, picture, rgb, save_cases
from photos_measure import (MEASURES, _keep_fit, _rounded, blobs, circle_of, colour_gradient, contour_ellipse,
                            ellipse_of, fit_circle, measure_conic, measure_line, measures)

# --------------------------------------------------------------------------
# The measuring of each case (rough outlines are read off the picture, in its pixels)


@measures("coffee-crema", "coffee-rim", "coffee-saucer", "coffee-spoon")
def _coffee(case, img):
    rough = {
        "coffee-crema": ellipse_of(287, 143, 83, 48),  # the liquid's edge against the cup's wall
        "coffee-rim": ellipse_of(290, 113, 117, 95),  # the white rim against the wood
        "coffee-saucer": ellipse_of(278, 230, 202, 160),  # the saucer's rim (behind the cup too)
        "coffee-spoon": ellipse_of(366, 283, 40, 42),  # the spoon's bowl
    }[case.name]
    return [measure_conic(img, rough, "ellipse", band=8)]


@measures("rocket-body")
def _rocket_body(case, img):
    # The body's two sides, between the fairing and the launch tower's lowest arms.
    return [measure_line(img, 311, 190, 311, 380), measure_line(img, 332, 190, 332, 380)]


@measures("rocket-pad")
def _rocket_pad(case, img):
    return [measure_line(img, 270, 407.5, 376, 407.5)]  # the plinth's top edge


@measures("rocket-mast")
def _rocket_mast(case, img):
    return [measure_line(img, 444, 128, 445.5, 190, band=3), measure_line(img, 448.5, 128, 449, 190, band=3)]


@measures("astronaut-patch")
def _astronaut_patch(case, img):
    """The patch is blue and purple on the orange suit: Lab b* below 10, holes filled, the part at
    the patch's middle, cv2.fitEllipse, then measured on the gradient in a narrow band."""
    from skimage.color import rgb2lab

    not_orange = (rgb2lab(img)[..., 2] < 10).astype(np.uint8)
    not_orange = cv2.morphologyEx(not_orange, cv2.MORPH_CLOSE, np.ones((7, 7), np.uint8))
    _, lab = cv2.connectedComponents(not_orange)
    part = (lab == lab[380, 170]).astype(np.uint8)
    rough = contour_ellipse(max(blobs(part), key=cv2.contourArea))
    return [measure_conic(img, rough, "ellipse", band=3)]


@measures("chelsea-eye-left", "chelsea-eye-right")
def _chelsea(case, img):
    rough, band = {
        "chelsea-eye-left": (ellipse_of(168, 116, 33, 29), 5),
        "chelsea-eye-right": (ellipse_of(317.5, 136.5, 26.5, 22.5, 90), 3),
    }[case.name]
    return [measure_conic(img, rough, "ellipse", band=band)]


@measures("moto-headlight", "moto-indicator")
def _moto_lights(case, img):
    rough, band = {
        "moto-headlight": (ellipse_of(540, 158.5, 31.5, 22, 90), 4),  # the chrome ring's outer edge
        "moto-indicator": (ellipse_of(477, 188, 12, 12), 4),  # the orange lens
    }[case.name]
    return [measure_conic(img, rough, "ellipse", band=band)]


@measures("moto-shelf")
def _moto_shelf(case, img):
    """The grey front beam of the upper shelf: its top and bottom edges, left of the mirror."""
    return [measure_line(img, 350, 96, 480, 96, band=3), measure_line(img, 350, 106.5, 480, 106.5, band=3)]


@measures("moto-post")
def _moto_post(case, img):
    """The shelf's right upright: its two edges."""
    return [measure_line(img, 695, 70, 688, 285, band=4), measure_line(img, 707, 70, 700, 285, band=4)]


@measures("coins-all", "coins-big")
def _coins(case, img):
    """Every coin: Otsu's threshold after a top-hat (the lighting falls off to the left), each part's enclosing circle measured on the
    grey gradient."""
    flat = cv2.morphologyEx(img, cv2.MORPH_TOPHAT, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (91, 91)))
    _, m = cv2.threshold(cv2.GaussianBlur(flat, (5, 5), 0), 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)
    m = cv2.morphologyEx(m, cv2.MORPH_OPEN, np.ones((5, 5), np.uint8))
    grad = colour_gradient(img)
    truths = []
    for c in blobs(m > 0, min_area=300):
        (x, y), r = cv2.minEnclosingCircle(c)
        truths.append(measure_conic(img, circle_of(x, y, r), "circle", band=5, grad=grad))
    truths.sort(key=lambda t: (round(t["y"] / 60), t["x"]))
    if not case.every:  # one coin: the one the box is on
        truths = [t for t in truths if inside(t, [case.box[:2]])[0]]
    return truths


@measures("ihc-gland")
def _ihc_gland(case, img):
    """The gland: brown (Lab b* above 12), closed over its pale nuclei, the part at its middle,
    cv2.fitEllipse of its contour."""
    from skimage.color import rgb2lab

    brown = (cv2.GaussianBlur(rgb2lab(img)[..., 2], (0, 0), 2) > 12).astype(np.uint8)
    brown = cv2.morphologyEx(brown, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (15, 15)))
    brown = cv2.morphologyEx(brown, cv2.MORPH_OPEN, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (9, 9)))
    _, lab = cv2.connectedComponents(brown)
    part = (lab == lab[400, 318]).astype(np.uint8)
    return [_rounded(contour_ellipse(max(blobs(part), key=cv2.contourArea)))]


@measures("hubble-galaxy-big", "hubble-galaxy-red", "hubble-galaxy-oval", "hubble-galaxy-small",
          "hubble-galaxy-round", "hubble-spiral")
def _hubble(case, img):
    """A galaxy's glow down to a fixed brightness (mean channel 60 of 255, the background is
    about 14): the part holding the box's centre, cv2.fitEllipse of its contour."""
    grey = cv2.GaussianBlur(img.astype(np.float32).mean(axis=2), (0, 0), 1.0)
    x, y, w, h = case.box
    _, lab = cv2.connectedComponents((grey > 60).astype(np.uint8))
    part = (lab == lab[y + h // 2, x + w // 2]).astype(np.uint8)
    c = max(blobs(part, min_area=5), key=cv2.contourArea)
    e = contour_ellipse(c)
    if case.kind == "circle":
        return [_rounded(circle_of(e["x"], e["y"], math.sqrt(e["a"] * e["b"])))]
    return [_rounded(e)]


@measures("retina-disk")
def _retina(case, img):
    """The fundus disk: everything brighter than the black surround, its outline measured on
    the gradient (the notch at the top right left out by the robust fit)."""
    grey = rgb(img).mean(axis=2)
    c = max(blobs(grey > 25), key=cv2.contourArea)
    (x, y), r = cv2.minEnclosingCircle(c)
    return [measure_conic(img, circle_of(x, y, r - 5), "circle", band=10, stations=720)]


@measures("logo-disc-green", "logo-disc-orange")
def _logo(case, img):
    """The logo's coloured disc (inside its opaque white border): the saturated pixels (HSV S
    above 80), closed over the white curve, the contour's circle without the points where the
    curve meets the edge, measured on the gradient."""
    hsv = cv2.cvtColor(rgb(img), cv2.COLOR_RGB2HSV)
    coloured = ((hsv[..., 1] > 80) & (img[..., 3] > 127)).astype(np.uint8)
    coloured = cv2.morphologyEx(coloured, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (25, 25)))
    pts = max(blobs(coloured), key=cv2.contourArea)[:, 0, :].astype(float)
    rough, _ = _keep_fit(pts, fit_circle, lambda m, p: np.hypot(p[:, 0] - m["x"], p[:, 1] - m["y"]) - m["r"])
    return [measure_conic(img, rough, "circle", band=4, stations=720)]


def measure(case: Case) -> list:
    """The case's truths measured afresh from its picture."""
    fn = MEASURES.get(case.name)
    if fn is None:
        raise KeyError(f"no measuring for case {case.name}")
    return fn(case, picture(case))


def _measure_all(selected, update: bool, path=CASES_FILE) -> None:
    changed = 0
    for case in selected:
        new = measure(case)
        old = case.truths
        if len(new) != len(old):
            diff = f"{len(old)} -> {len(new)} truths"
        else:
            diff = f"max change {max((error(a, b) if 'x1' not in b else _segment_change(a, b) for a, b in zip(new, old)), default=0):.2f} px"
        print(f"{case.name}: {diff}")
        for t in new:
            print("    " + json.dumps(t))
        if new != old:
            changed += 1
            case.truths = new
    if update:
        everything = load_cases(path)
        by_name = {c.name: c for c in selected}
        save_cases([by_name.get(c.name, c) for c in everything], path)
        print(f"stored the truths of {len(selected)} cases in {path} ({changed} changed)")


def _segment_change(a, b) -> float:
    return max(math.hypot(a["x1"] - b["x1"], a["y1"] - b["y1"]), math.hypot(a["x2"] - b["x2"], a["y2"] - b["y2"]))
