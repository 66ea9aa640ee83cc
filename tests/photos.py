"""scikit-image's photographs as files, and shapes measured in them without quorvane (OpenCV)."""

import math

import numpy as np


def save(image, path):
    from PIL import Image

    Image.fromarray(image).save(path)
    return str(path)


def crema_ellipse(coffee):
    """((x, y), [minor, major semi-axis], angle) of cv2.fitEllipse on the crema's outline.

    The liquid is yellow (Lab b > 178) or, in the rim's shadow, saturated (HSV S > 205, H <= 20);
    the cup's inner wall is paler and its rim white, so the component holding the crema's
    middle stops at the liquid's edge (checked by eye)."""
    import cv2

    lab, hsv = cv2.cvtColor(coffee, cv2.COLOR_RGB2LAB), cv2.cvtColor(coffee, cv2.COLOR_RGB2HSV)
    liquid = ((lab[..., 2] > 178) & (lab[..., 0] > 110)) | (
        (hsv[..., 1] > 205) & (hsv[..., 0] <= 20) & (hsv[..., 2] > 80))
    liquid = cv2.morphologyEx(liquid.astype(np.uint8), cv2.MORPH_OPEN, np.ones((5, 5), np.uint8))
    _, labels = cv2.connectedComponents(liquid)
    crema = (labels == labels[145, 287]).astype(np.uint8)
    crema = cv2.morphologyEx(crema, cv2.MORPH_CLOSE, np.ones((15, 15), np.uint8))
    contours, _ = cv2.findContours(crema, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    (x, y), (w, h), angle = cv2.fitEllipse(max(contours, key=cv2.contourArea))
    return (x, y), sorted((w / 2, h / 2)), angle


def rocket_sides(rocket):
    """(angle in degrees in [-90, 90), x at y = 280) of the left and right side of the rocket's
    body: per row the strongest rise (left) and fall (right) of the horizontal Sobel gradient
    near each side, fitted as x = k y + d by least squares without points 1.5 px off."""
    import cv2

    grey = cv2.cvtColor(rocket, cv2.COLOR_RGB2GRAY).astype(np.float64)
    gx = cv2.Sobel(grey, cv2.CV_64F, 1, 0, ksize=3)
    ys = np.arange(190, 380)
    sides = []
    for lo, hi, sign in ((311, 318, 1), (327, 334, -1)):
        xs = lo + np.argmax(sign * gx[ys, lo:hi], axis=1)
        keep = np.ones(len(ys), bool)
        for _ in range(4):
            k, d = np.polyfit(ys[keep], xs[keep], 1)
            keep = np.abs(xs - (k * ys + d)) < 1.5
        sides.append(((math.degrees(math.atan2(1.0, k)) + 90) % 180 - 90, k * 280 + d))
    return sides
