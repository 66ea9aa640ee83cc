# quorvane's NumPy-level code, run in the module's namespace, where np and NamedTuple are set (numpy_level.cpp).
class LCHBounds(NamedTuple):
    M: 'np.ndarray'
    i: 'tuple'
    c: 'tuple'
LCHBounds.__annotations__ = {'M': 'np.ndarray', 'i': 'tuple', 'c': 'tuple'}


def _numpy_level(msg):
    from math import isfinite

    def real(limit, name, k):
        """limit[k], refused unless it is a real number (has __float__ or __index__)."""
        value = limit[k]
        kind = type(value)
        if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
            raise TypeError(msg["not_real"] % (name, k, kind.__name__))
        return value

    def check_matrix(M, scaled):
        """Entries finite and, once scaled, inside 32 bits (real parts judged as doubles)."""
        values = M.real.astype(np.float64)
        with memoryview(values) as view:
            if view.format != "d" or view.nbytes > 9 * 8:
                raise TypeError(msg["not_float64"])
        for value in values.ravel().tolist():
            if not isfinite(value):
                raise ValueError(msg["non_finite"])
            if scaled and not -2147483648.0 <= value <= 2147483647.0:
                raise ValueError(msg["out_of_range"])

    def calculate_lch_bounds(hue_limit, chroma_limit, intensity_limit, rgb_bits):
        theta1 = real(hue_limit, "hue_limit", 0)
        theta2 = real(hue_limit, "hue_limit", 1)
        c1 = real(chroma_limit, "chroma_limit", 0) / np.cos((theta2 - theta1) / 2)
        c2 = real(chroma_limit, "chroma_limit", 1) / np.cos((theta2 - theta1) / 2)
        i1 = real(intensity_limit, "intensity_limit", 0)
        i2 = real(intensity_limit, "intensity_limit", 1)
        array = np.array
        s3 = np.sqrt(3)
        T1 = array([[1, -0.5, -0.5], [0, s3 / 2, -s3 / 2], [1 / 3, 1 / 3, 1 / 3]])
        row0 = [np.sin(theta2), -np.cos(theta2), 0]
        row1 = [-np.sin(theta1), np.cos(theta1), 0]
        sin_w = np.sin(theta2 - theta1)
        T2 = array([row0, row1, [0, 0, sin_w]])
        if not sin_w:
            raise ValueError(msg["zero_width"])
        T2 /= sin_w
        M = T2 @ T1
        check_matrix(M, False)
        if rgb_bits is not None:
            M *= 1 << rgb_bits
            M = np.round(M)
            check_matrix(M, True)
            M = M.astype(np.int32)
            scale = 1 << (rgb_bits << 1)
            c1, c2, i1, i2 = [int(round(x * scale)) for x in (c1, c2, i1, i2)]
        return LCHBounds(M.flatten(), (i1, i2), (c1, c2))

    end = object()

    def unpack(bounds):
        """M, i, c = bounds, with the module's messages."""
        if type(bounds) is tuple or type(bounds) is list:
            n = len(bounds)
            if n > 3:
                raise ValueError(msg["too_many_to_unpack"] % 3)
            if n < 3:
                raise ValueError(msg["need_more_to_unpack"] % (n, "" if n == 1 else "s"))
            return bounds
        items = iter(bounds)
        parts = []
        for k in range(3):
            parts.append(next(items, end))
            if parts[k] is end:
                raise ValueError(msg["need_more_to_unpack"] % (k, "" if k == 1 else "s"))
        if next(items, end) is not end:
            raise ValueError(msg["too_many_to_unpack"] % 3)
        return parts

    def window_test(t, i, c, keys):
        """The six strict tests of the pixel kernels, in their order."""
        a, b, v = keys
        mask = (t[a] > 0) & (t[b] > 0)
        mask &= (t[v] > i[0]) & (t[v] < i[1])
        mask &= (t[a] + t[b]) < c[1]
        mask &= (t[a] + t[b]) > c[0]
        return mask

    columns = [(slice(None), k) for k in range(3)]

    def mask_image_py(image, bounds):
        M, i, c = unpack(bounds)
        M = M.reshape(3, 3)
        shape = image.shape
        pixels = image.reshape(-1, 3).astype(np.int32)
        mask = window_test((M @ pixels.T).T, i, c, columns)
        return mask.reshape(shape[:-1]).astype(np.uint8) * 255

    def mask_color(color, bounds):
        M, i, c = unpack(bounds)
        M = M.reshape(3, 3)
        color = np.array(color).astype(np.int32)
        return window_test((M @ color.T).T, i, c, (0, 1, 2))

    def prepare_image_call(image, bounds, buffer):
        """The default buffer; the bounds, an LCHBounds as bounds._asdict() unless `fields`."""
        if buffer is None:
            buffer = np.zeros(image.shape[:-1], dtype=np.uint8)
        fields = False
        if isinstance(bounds, LCHBounds):
            # The caller reads the fields of an instance of the class itself.
            fields = type(bounds) is lch_bounds and len(bounds) >= 3
            if not fields:
                bounds = bounds._asdict()
        return buffer, bounds, fields

    lch_bounds = LCHBounds
    return calculate_lch_bounds, mask_image_py, mask_color, prepare_image_call
