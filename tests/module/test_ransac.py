import ctypes
import math

import numpy as np
import pytest

import quorvane as qv

LIBC = ctypes.CDLL(None)
ZERO_LINE = {"px": 0, "py": 0, "nx": 0, "ny": 0}
ZERO_ELLIPSE = {"x": 0.0, "y": 0.0, "a": 0.0, "b": 0.0, "theta": 0.0}
MASK_SHORT = "_ms has %d entries but _ps has %d points"
SMALL = np.array([(1, 2), (3, 7), (4, 4)], np.int32)
ROW = np.array([(x, 5) for x in range(10)], np.int32)


def pts(seq):
    return np.array(seq, dtype=np.int32).reshape(-1, 2)


def first_rand(seed):
    """The generator state the next fit starts from after srand(seed)."""
    LIBC.srand(seed)
    value = LIBC.rand() & 0xFFFFFFFF
    LIBC.srand(seed)
    return value


def draw_samples(i, n, m, count):
    samples = []
    for _ in range(count):
        sample = []
        for _ in range(m):
            while i % n in sample:
                i = (i * 1664525 + 1013904223) % 2**32
            sample.append(i % n)
            i = (i * 1664525 + 1013904223) % 2**32
        samples.append(sample)
    return samples


def ref_line(ps, state, count, delta, slope_limit):
    """Line fit for small coordinates, where no integer expression wraps."""
    def band(line, x, y):
        px, py, nx, ny = line
        s = int(delta * math.sqrt(nx * nx + ny * ny))
        return -s <= nx * (x - px) + ny * (y - py) <= s

    best, best_score = (0, 0, 0, 0), 0
    for i, j in draw_samples(state, len(ps), 2, count):
        (x0, y0), (x1, y1) = ps[i], ps[j]
        nx, ny = y1 - y0, x0 - x1
        if (nx, ny) == (0, 0) or nx * nx <= slope_limit**2 * (nx * nx + ny * ny):
            continue
        score = sum(band((x0, y0, nx, ny), x, y) for x, y in ps)
        if score > best_score:
            best, best_score = (x0, y0, nx, ny), score
    return dict(zip(ZERO_LINE, best)), [int(band(best, x, y)) for x, y in ps]


@pytest.mark.parametrize("seed", range(12))
def test_line_matches_reference_draw_for_draw(seed):
    # Few distinct coordinates: duplicate rows, redraws and ties are frequent.
    data = np.random.default_rng(seed).integers(0, 6, size=(9, 2)).tolist()
    ms = np.full(12, 7, np.uint8)
    expected = ref_line(data, first_rand(seed), 25, 1, 0.2)
    assert (qv.ransac_line(pts(data), ms, 25, 1, 0.2), ms[:9].tolist()) == expected
    assert ms[9:].tolist() == [7, 7, 7]


@pytest.mark.parametrize("seed", range(4))
def test_line_tie_keeps_first_candidate(seed):
    data = [(k, 2 * k) for k in range(5)] + [(100 + k, 50 - 3 * k) for k in range(5)]
    samples = draw_samples(first_rand(seed), 10, 2, 200)
    i, j = next(s for s in samples if (s[0] < 5) == (s[1] < 5))  # both points on one line
    (x0, y0), (x1, y1) = data[i], data[j]
    result = qv.ransac_line(pts(data), np.zeros(10, np.uint8), 200, 0, 0.0)
    assert result == {"px": x0, "py": y0, "nx": y1 - y0, "ny": x0 - x1}


@pytest.mark.parametrize(
    "fit, data, args",
    [
        ("ransac_line", SMALL, (0, 2, 0.0)),
        ("ransac_line", SMALL, (-3, 2, 0.0)),
        ("ransac_line", SMALL, (50, -1, 0.0)),  # empty band
        ("ransac_line", SMALL, (50, 2, 1.0)),  # every slope discarded
        ("ransac_line", ROW, (50, 2, 0.0)),  # only horizontal candidates
        ("ransac_line", SMALL[:1], (50, 2, 0.0)),  # fewer points than a sample
        ("ransac_line", pts([]), (50, 2, 0.0)),
        ("ransac_line2", SMALL, (0, 0.5, 1)),
        ("ransac_line2", SMALL, (50, 0.5, 1)),
        ("ransac_line2", pts([(0, 0), (0, 5), (1, 0), (1, 5)]), (50, 1.5, 1)),
        ("ransac_line2", ROW, (50, 0.0, 1)),  # both lines on one row score 0
    ],
)
def test_fit_without_candidate_marks_everything(fit, data, args):
    ms = np.full(len(data) + 2, 9, np.uint8)
    result = getattr(qv, fit)(data, ms, *args)
    assert result == (ZERO_LINE if fit == "ransac_line" else (ZERO_LINE, ZERO_LINE))
    assert ms.tolist() == [1] * len(data) + [9, 9]


# The second case has only long samples: ncos * ncos needs more than 32 bits.
@pytest.mark.parametrize("xs, gap", [(range(21), 10), (range(0, 5000, 1000), 50)])
def test_line2_parallel_rows(xs, gap):
    data = pts([(x, 0) for x in xs] + [(x, gap) for x in xs])
    ms = np.zeros(len(data) + 1, np.uint8)
    LIBC.srand(3)
    l1, l2 = qv.ransac_line2(data, ms, 1000, 0.99, 1)
    assert (l1["nx"], l2["nx"], {l1["py"], l2["py"]}) == (0, 0, {0, gap})
    assert ms.tolist() == [1] * len(data) + [0]


@pytest.mark.parametrize("fit", ["ransac_line", "ransac_line2"])
def test_short_mask_is_refused(fit):
    ms = np.full(2, 5, np.uint8)
    with pytest.raises(ValueError) as err:
        getattr(qv, fit)(SMALL, ms, 10, 1, 1)
    assert (str(err.value), ms.tolist()) == (MASK_SHORT % (2, 3), [5, 5])


@pytest.mark.parametrize(
    "fit, args",
    [
        ("ransac_line", (SMALL, np.zeros(3, np.uint8), 5, 1, 0.0)),
        ("ransac_line", (SMALL[:1], np.zeros(1, np.uint8), 5, 1, 0.0)),
        ("ransac_line2", (SMALL, np.zeros(3, np.uint8), 5, 0.0, 1)),
        ("ransac_circle", (SMALL, 0, 1, 10, 1)),
        ("ransac_circle", (SMALL[:2], 5, 1, 10, 1)),
        ("ransac_ellipse", (SMALL, 5, 1, 10, 2.0, 1)),
    ],
)
def test_one_rand_call_per_fit(fit, args):
    LIBC.srand(11)
    expected = [LIBC.rand(), LIBC.rand()][1]
    LIBC.srand(11)
    getattr(qv, fit)(*args)
    assert LIBC.rand() == expected


CIRCLE5 = pts([(15, 10), (10, 15), (5, 10)])
# delta 6 > r 5: the two points at the small circle's centre stay outside its
# ring, so it scores 3 and loses to the circle through 4 points.
TWO_CIRCLES = pts([(15, 10), (10, 15), (5, 10), (10, 10), (10, 10)]
                  + [(220, 200), (200, 220), (180, 200), (200, 180)])


@pytest.mark.parametrize(
    "data, count, min_r, max_r, delta, expected",
    [
        (CIRCLE5, 1, 5, 5, 0, (10, 10, 5)),  # radius limits are inclusive
        (CIRCLE5, 20, 6, 50, 0, (0, 0, 0)),
        (CIRCLE5, 20, 1, 4, 0, (0, 0, 0)),
        (CIRCLE5, 20, 1, 50, -1, (0, 0, 0)),  # empty ring
        (CIRCLE5, 0, 1, 50, 1, (0, 0, 0)),
        (CIRCLE5[:2], 20, 1, 50, 1, (0, 0, 0)),
        (pts([(0, 0), (5, 5), (10, 10)]), 20, 0, 50, 1, (0, 0, 0)),  # collinear
        (pts([(3, 4), (3, 4), (7, 1)]), 20, 0, 50, 1, (0, 0, 0)),  # repeated point
        (pts([(420, 240), (320, 340), (220, 240)]), 1, 1, 500, 1, (320, 240, 100)),
        (TWO_CIRCLES, 2000, 5, 20, 6, (200, 200, 20)),
    ],
)
def test_circle_cases(data, count, min_r, max_r, delta, expected):
    LIBC.srand(5)
    assert qv.ransac_circle(data, count, min_r, max_r, delta) == dict(zip("xyr", expected))


@pytest.mark.parametrize(
    "data, ratio, expected",
    [
        ([(10, 0), (-10, 0), (0, 5), (0, -5), (6, 4)], 1.0, (0.0, 0.0, 10.0, 5.0, 0.0)),
        # Origin outside: a is the shorter semi-axis, theta about -pi/2.
        ([(20, 10), (0, 10), (10, 15), (10, 5), (16, 14)], 3.0,
         (10.0, 10.000000000000002, 5.0, 10.0, -1.5707963267948961)),
    ],
)
def test_ellipse_through_five_points_is_exact(data, ratio, expected):
    result = qv.ransac_ellipse(pts(data), 1, 1, 20, ratio, 3)
    assert result == dict(zip(ZERO_ELLIPSE, expected))


# 60 points of one rotated ellipse. With delta 0 only points exactly on a
# candidate's conic count, so the winner depends on every rounding step.
ROTATED = pts([(round(200 + 64 * math.cos(t) - 24 * math.sin(t)),
                round(150 + 48 * math.cos(t) + 32 * math.sin(t)))
               for t in (k * math.pi / 30 for k in range(60))])


@pytest.mark.parametrize(
    "seed, expected",
    [
        (0, (200.44495591833106, 151.38958581414514, 41.04023412326973, 78.34070276234804,
             -0.9379217229204602)),
        (7, (198.8371467811133, 141.84227905689264, 33.67825640000361, 78.43038685133628,
             -0.9767909079472076)),
    ],
)
def test_ellipse_rounding_is_exact(seed, expected):
    LIBC.srand(seed)
    assert qv.ransac_ellipse(ROTATED, 40, 5, 500, 5.0, 0) == dict(zip(ZERO_ELLIPSE, expected))


ELLIPSE5 = [(20, 10), (0, 10), (10, 15), (10, 5), (16, 14)]


@pytest.mark.parametrize(
    "data, min_r, max_r, ratio",
    [
        ([(0, 0), (20, 0), (10, 5), (10, -5), (16, 4)], 1, 50, 3.0),  # every sample has the origin
        ([(5, 3), (5, -3), (-5, 3), (-5, -3), (4, 0)], 0, 50, 3.0),  # hyperbola
        (ELLIPSE5, 20, 1, 3.0),
        (ELLIPSE5, 1, 50, -1.0),
        (ELLIPSE5[:4], 1, 50, 3.0),
    ],
)
def test_ellipse_without_candidate(data, min_r, max_r, ratio):
    assert qv.ransac_ellipse(pts(data), 50, min_r, max_r, ratio, 1) == ZERO_ELLIPSE


def noisy(x, y, a, b, theta, rng):
    t = rng.uniform(0, 2 * math.pi, 400)
    u, v = a * np.cos(t), b * np.sin(t)
    s, c = math.sin(theta), math.cos(theta)
    on = np.stack([x + u * c - v * s, y + u * s + v * c], 1) + rng.integers(-1, 2, (400, 2))
    return np.vstack([on, rng.uniform(0, 600, (150, 2))]).round().astype(np.int32)


def test_noisy_shapes_with_outliers_are_recovered():
    rng = np.random.default_rng(2)
    LIBC.srand(2)
    c = qv.ransac_circle(noisy(320, 240, 100, 100, 0, rng), 300, 20, 300, 2)
    assert max(abs(c["x"] - 320), abs(c["y"] - 240), abs(c["r"] - 100)) <= 2
    e = qv.ransac_ellipse(noisy(300, 200, 120, 60, 0.5, rng), 1000, 20, 300, 3.0, 2)
    short, long = sorted((e["a"], e["b"]))
    assert max(abs(e["x"] - 300), abs(e["y"] - 200), abs(short - 60), abs(long - 120)) <= 3
