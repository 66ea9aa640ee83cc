"""Edge points along bit-reversed scan lines, and run-list denoising."""

import numpy as np
import pytest

import quorvane as q

EX1 = q.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))


def rev16(n):
    return int(f"{n:016b}"[::-1], 2)


def scan_reference(fg, cap, row_count, column_count):
    """Pixel-by-pixel scan of a boolean (rows, columns) array."""
    h, w = fg.shape
    if h == 0 or w == 0:
        return []
    lines = [[(x, rev16(i) * h >> 16) for x in range(w)] for i in range(min(row_count, 65536))]
    lines += [[(rev16(j) * w >> 16, y) for y in range(h)] for j in range(min(column_count, 65536))]
    pts = []
    for line in lines:
        inside = False
        for x, y in line:
            if fg[y, x] != inside:
                if len(pts) == cap:
                    return pts
                pts.append((x, y))
                inside = not inside
        if inside:
            if len(pts) == cap:
                return pts
            pts.append(line[-1])
    return pts


def edge(image, cap, row_count, column_count, bounds=None):
    """Runs a scan into a list of `cap` rows; rows past the count must stay untouched."""
    ps = np.full((cap, 2), -1, np.int32)
    if bounds is None:
        n = q.simple_edge(image, ps, row_count, column_count)
    else:
        n = q.simple_edge_hsv(image, ps, bounds, row_count, column_count)
    assert (ps[n:] == -1).all()
    return [tuple(p) for p in ps[:n].tolist()]


@pytest.mark.parametrize("n, lines", [(480, [0, 240, 120, 360, 60, 300, 180, 420, 30, 270]),
                                      (7, [0, 3, 1, 5, 0, 4, 2, 6, 0, 3])])
def test_scan_lines_follow_bit_reversal(n, lines):
    assert edge(np.ones((n, 1), np.uint8), 20, 10, 0) == [(0, y) for y in lines for _ in "se"]
    assert edge(np.ones((1, n), np.uint8), 20, 0, 10) == [(x, 0) for x in lines for _ in "se"]


@pytest.mark.parametrize("value", [1, 255])
@pytest.mark.parametrize("fg, rc, cc, expected", [
    (range(10), 1, 0, [(0, 0), (9, 0)]), ([5], 1, 0, [(5, 0), (6, 0)]), ([9], 1, 0, [(9, 0), (9, 0)]),
    ([2, 3, 4], 1, 0, [(2, 0), (5, 0)]), ([2, 3, 4], 0, 1, []), (range(10), -1, -(2**31), []),
    ([0, 1, 4, 7, 8, 9], 1, 0, [(0, 0), (2, 0), (4, 0), (5, 0), (7, 0), (9, 0)]),
])
def test_runs_of_one_row(value, fg, rc, cc, expected):
    mask = np.zeros((1, 10), np.uint8)
    mask[0, list(fg)] = value
    assert edge(mask, 8, rc, cc) == expected


@pytest.mark.parametrize("fg, cap, cc, expected", [
    ([1, 2, 6, 7], 3, 0, [(1, 0), (3, 0), (6, 0)]), ([1, 2, 6, 7], 3, 4, [(1, 0), (3, 0), (6, 0)]),
    ([6, 7, 8, 9], 1, 0, [(6, 0)]), ([5, 6, 7, 8, 9], 3, 2, [(5, 0), (9, 0), (5, 0)]),
])
def test_full_list_stops_the_scan(fg, cap, cc, expected):
    mask = np.zeros((3, 10), np.uint8)
    mask[:, fg] = 1
    assert edge(mask, cap, 1, cc) == expected


def test_counts_above_65536_scan_65536_lines():
    mask = np.array([[0, 1, 1], [1, 0, 1]], np.uint8)
    clamped = edge(mask, 400000, 65536, 65536)
    assert len(clamped) == 32768 * 6 + 65536 * 2
    assert edge(mask, 400000, 65537, 2**31 - 1) == clamped
    assert edge(mask, 400000, 2**31 - 1, 0) == clamped[: 32768 * 6]


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0), None])
def test_image_without_pixels_yields_nothing(shape):
    for image, bounds in [(shape and np.zeros(shape, np.uint8), None),
                          (shape and np.zeros((*shape, 3), np.uint8), EX1._asdict())]:
        assert edge(image, 4, 65536, 65536, bounds) == []


@pytest.mark.parametrize("seed", range(4))
def test_scan_matches_reference(seed, srand, libc_rand):
    srand(seed)
    rng = np.random.default_rng(libc_rand())
    for _ in range(6):
        h, w = int(rng.integers(1, 40)), int(rng.integers(1, 100))
        mask = rng.integers(0, 256, (h, w), dtype=np.uint8) * (rng.random((h, w)) < rng.random())
        rc, cc = int(rng.integers(-2, 2 * h + 3)), int(rng.integers(-2, 2 * w + 3))
        full = scan_reference(mask != 0, -1, rc, cc)
        for cap in (len(full), int(rng.integers(0, len(full) + 2)), len(full) + 3):
            assert edge(mask, cap, rc, cc) == full[:cap]


@pytest.mark.parametrize("seed", range(3))
def test_rgb_scan_agrees_with_scan_of_mask(seed, srand, libc_rand):
    srand(seed)
    rng = np.random.default_rng(libc_rand())
    blocks = rng.integers(0, 256, (30, 40, 3), dtype=np.uint8)
    image = np.ascontiguousarray(blocks.repeat(rng.integers(1, 5), 0).repeat(rng.integers(1, 5), 1))
    mask = q.mask_image(image, EX1)
    assert 0 < mask.sum() < mask.size
    for rc, cc, cap in [(70, 90, 100000), (200, 10, 57), (5, 5, 0)]:
        want = edge(mask, cap, rc, cc)
        assert edge(image, cap, rc, cc, EX1._asdict()) == want


def photo(name, h, w):
    """A crop of a scikit-image photograph, tiled up to (h, w) with an odd-sized offset."""
    data = pytest.importorskip("skimage.data")
    img = getattr(data, name)()[..., :3]
    reps = (-(-h // img.shape[0]) + 1, -(-w // img.shape[1]) + 1, 1)
    return np.ascontiguousarray(np.tile(img, reps)[7 : 7 + h, 3 : 3 + w])


def random_blocks(rng, h, w):
    blocks = rng.integers(0, 256, (h // 5 + 1, w // 3 + 1, 3), dtype=np.uint8)
    return np.ascontiguousarray(blocks.repeat(5, 0).repeat(3, 1)[:h, :w])


# Shapes cover the column groups (whole columns in a stack buffer up to 8192
# rows, pieces beyond) and rows classified in pieces beyond 16384 pixels.
@pytest.mark.parametrize("source, shape, lines", [
    ("coffee", (1080, 1920), [(64, 64, 10**6), (33, 17, 10**6), (64, 64, 1001), (1, 9, 77)]),
    ("astronaut", (511, 777), [(700, 900, 10**6), (3, 13, 10**6)]),
    ("chelsea", (1, 1301), [(5, 3000, 10**5)]), ("chelsea", (1301, 1), [(3000, 5, 10**5)]),
    ("random", (8193, 3), [(9, 11, 10**5), (2, 1, 5)]), ("random", (8192, 5), [(4, 9, 10**5)]),
    ("random", (2, 16500), [(3, 40, 10**5), (3, 0, 9)]), ("random", (300, 641), [(64, 64, 10**5)]), ("random", (37, 29), [(100, 70000, 10**6)]),
])
def test_rgb_scan_agrees_with_mask_scan_on_photos_and_odd_shapes(source, shape, lines, srand, libc_rand):
    srand(len(source) + shape[0])
    rng = np.random.default_rng(libc_rand())
    image = random_blocks(rng, *shape) if source == "random" else photo(source, *shape)
    for bounds in (EX1, q.calculate_lch_bounds((0.3, 1.9), (0.05, 0.5), (0.2, 0.8))):
        mask = q.mask_image(image, bounds)
        for rc, cc, cap in lines:
            assert edge(image, cap, rc, cc, bounds._asdict()) == edge(mask, cap, rc, cc)
    assert edge(mask, 10**6, 12, 12) == scan_reference(mask != 0, -1, 12, 12)


def test_strided_views_scan_like_their_copies():
    image = photo("astronaut", 301, 403)
    mask = q.mask_image(image, EX1)
    for view in (np.s_[::2, ::3], np.s_[::-1, 5:], np.s_[3:, ::-2]):  # packed copies for the scan
        part = image[view]
        assert edge(part, 9999, 40, 40, EX1._asdict()) == edge(part.copy(), 9999, 40, 40, EX1._asdict())
    for view in (np.s_[::2, 5:], np.s_[::-1, 3:-2]):  # a mask row must be contiguous
        assert edge(mask[view], 9999, 40, 40) == edge(mask[view].copy(), 9999, 40, 40)


def aliased_scan_reference(buf, h, w, bpp, ps_at, cap, rc, cc, bounds=None):
    """The scan over a buffer that also holds the point list: each pixel is
    read when the scan reaches it, after the points before it are written."""
    def fg(x, y):
        px = buf[(y * w + x) * bpp : (y * w + x + 1) * bpp]
        return bool(q.mask_color(px, bounds)) if bounds else px[0] != 0

    lines = [[(x, rev16(i) * h >> 16) for x in range(w)] for i in range(rc)]
    lines += [[(rev16(j) * w >> 16, y) for y in range(h)] for j in range(cc)]
    ps = buf[ps_at : ps_at + 8 * cap].view(np.int32).reshape(-1, 2)
    o = 0
    for line in lines:
        inside = False
        for point in line:
            if fg(*point) != inside:
                if o == cap:
                    return o
                ps[o], o, inside = point, o + 1, not inside
        if inside:
            if o == cap:
                return o
            ps[o], o = line[-1], o + 1
    return o


@pytest.mark.parametrize("bpp", [1, 3])
@pytest.mark.parametrize("ps_at, cap", [(0, 6), (8, 40), (24, 40), (60, 40), (200, 4)])
@pytest.mark.parametrize("seed", range(3))
def test_point_list_overlapping_the_image_sees_its_own_writes(bpp, ps_at, cap, seed, srand, libc_rand):
    srand(seed)
    rng = np.random.default_rng(libc_rand())
    h, w = 9, 13
    start = rng.integers(0, 256, h * w * bpp + 400, dtype=np.uint8)
    start[rng.random(len(start)) < 0.5] = 0
    want, got = start.copy(), start.copy()
    bounds = EX1 if bpp == 3 else None
    n = aliased_scan_reference(want, h, w, bpp, ps_at, cap, 6, 7, bounds)
    shape = (h, w, 3) if bpp == 3 else (h, w)
    image, ps = got[: h * w * bpp].reshape(shape), got[ps_at : ps_at + 8 * cap].view(np.int32).reshape(-1, 2)
    if bpp == 3:
        assert q.simple_edge_hsv(image, ps, EX1._asdict(), 6, 7) == n
    else:
        assert q.simple_edge(image, ps, 6, 7) == n
    assert np.array_equal(got, want)


DENOISE_EXAMPLE = [(2, 0), (5, 0), (6, 0), (9, 0), (1, 4), (2, 4), (0, 8), (10, 8)]
IMIN, IMAX = -(2**31), 2**31 - 1


@pytest.mark.parametrize("rows, d, expected", [
    (DENOISE_EXAMPLE, 3, [(2, 0), (9, 0), (0, 8), (10, 8)]),
    ([(2, 0), (9, 0)], 7, [(2, 0), (9, 0)]), ([(2, 0), (9, 0)], 8, []),
    ([(2, 0), (9, 0), (3, 5)], 3, [(2, 0), (9, 0)]), ([(2, 0)], 3, []),
    ([(0, 0), (5, 0), (8, 0), (20, 0)], 3, [(0, 0), (5, 0), (8, 0), (20, 0)]),
    ([(0, 0), (0, 5), (0, 8), (0, 20)], 4, [(0, 0), (0, 20)]),
    ([(0, 0), (8, 0), (3, 0), (5, 0)], 1, [(0, 0), (5, 0)]), ([(9, 0), (2, 0)], -7, [(9, 0), (2, 0)]),
    ([(IMIN, 0), (IMAX, 0)], 5, []), ([(0, 0), (IMAX, 0), (IMIN, 0), (7, 0)], 2, [(0, 0), (7, 0)]),
])
def test_denoise(rows, d, expected):
    ps = np.array(rows, np.int32).reshape(-1, 2)
    out = np.full(ps.shape, -1, np.int32)
    n = q.simple_denoise(ps, out, d)
    assert out[:n].tolist() == [list(p) for p in expected] and (out[n:] == -1).all()
    same = ps.copy()
    assert q.simple_denoise(same, same, d) == n
    assert np.array_equal(same[:n], out[:n]) and np.array_equal(same[n:], ps[n:])


def test_denoise_output_too_small_is_refused_before_writing():
    ps = np.array(DENOISE_EXAMPLE, np.int32)
    out = np.full((3, 2), -1, np.int32)
    with pytest.raises(ValueError) as e:
        q.simple_denoise(ps, out, 3)
    assert str(e.value) == "_ps_out has room for 3 points but the kept segments need 4"
    assert (out == -1).all()
    assert q.simple_denoise(ps, np.zeros((4, 2), np.int32), 3) == 4


@pytest.mark.parametrize("ps_in, ps_out, axis", [
    ((0, 2), None, None), ((0, 0), (0, 0), None),
    ((3, 0), (3, 2), 1), ((3, 0), (0, 2), 1),
    ((3, 2), (0, 2), 0), ((3, 2), (0, 0), 1), ((3, 2), None, 1), ((3, 2), (3, 0), 1),
])
def test_denoise_first_element_checks(ps_in, ps_out, axis):
    out = ps_out and np.full(ps_out, -1, np.int32)
    if axis is None:
        assert q.simple_denoise(np.zeros(ps_in, np.int32), out, 3) == 0
        return
    with pytest.raises(IndexError) as e:
        q.simple_denoise(np.ones(ps_in, np.int32), out, 3)
    assert str(e.value) == f"Out of bounds on buffer access (axis {axis})"
