"""Exact matching of tracks to shapes: the most pairs, then the least total cost."""

from __future__ import annotations

import math

_SMALL = 4  # groups with at most this many tracks (and twice as many shapes) are searched
_lsa = None  # scipy.optimize.linear_sum_assignment once looked up; False: SciPy is missing


def match_pairs(pairs) -> list:
    """From candidate pairs (row, column, cost), the matching with the most pairs and, among
    those, the least total cost: (row, column) pairs sorted by row. Rows and columns that no
    candidate links are solved apart; a group of at most four rows or columns by trying
    every matching, a larger one as a linear assignment (SciPy's, else the one here)."""
    if not pairs:
        return []
    rows = {p[0] for p in pairs}
    cols = {p[1] for p in pairs}
    if len(rows) == len(cols) == len(pairs):
        return sorted((r, c) for r, c, _ in pairs)  # no row or column wanted twice
    out = []
    for group in _groups(pairs):
        g_rows = {p[0] for p in group}
        g_cols = {p[1] for p in group}
        if len(g_rows) == 1 or len(g_cols) == 1:
            best = min(group, key=lambda p: (p[2], p[0], p[1]))
            out.append((best[0], best[1]))
        elif min(len(g_rows), len(g_cols)) <= _SMALL and max(len(g_rows), len(g_cols)) <= 2 * _SMALL:
            out += _search(group)
        else:
            out += _solve(group)
    return sorted(out)


def _groups(pairs):
    """The candidate pairs split into connected groups (rows and columns linked by pairs)."""
    parent = {}

    def find(n):
        while parent.setdefault(n, n) != n:
            parent[n] = parent[parent[n]]
            n = parent[n]
        return n

    for r, c, _ in pairs:
        a, b = find(2 * r), find(2 * c + 1)
        if a != b:
            parent[a] = b
    groups = {}
    for p in pairs:
        groups.setdefault(find(2 * p[0]), []).append(p)
    return list(groups.values())


def _search(group):
    """Every matching of a small group tried; the best (most pairs, then least cost)."""
    options = {}
    for r, c, cost in group:
        options.setdefault(r, []).append((c, cost))
    rows = sorted(options)
    n = len(rows)
    best = [(-1, 0.0), []]
    chosen = []

    def visit(k, used, count, total):
        if count + (n - k) < best[0][0]:
            return  # cannot reach as many pairs as the best so far
        if k == n:
            if (count, -total) > best[0]:
                best[0], best[1] = (count, -total), list(chosen)
            return
        r = rows[k]
        for c, cost in options[r]:
            if c not in used:
                chosen.append((r, c))
                used.add(c)
                visit(k + 1, used, count + 1, total + cost)
                used.discard(c)
                chosen.pop()
        visit(k + 1, used, count, total)

    visit(0, set(), 0, 0.0)
    return best[1]


def _solve(group):
    """A larger group as a linear assignment, the pairs that are not candidates priced above
    any set of candidates, so that the most pairs come first."""
    global _lsa
    rows = sorted({p[0] for p in group})
    cols = sorted({p[1] for p in group})
    ri = {r: k for k, r in enumerate(rows)}
    ci = {c: k for k, c in enumerate(cols)}
    big = 1.0 + 2 * sum(p[2] for p in group) + len(group)
    m = [[big] * len(cols) for _ in rows]
    for r, c, cost in group:
        m[ri[r]][ci[c]] = cost
    if _lsa is None:
        try:
            from scipy.optimize import linear_sum_assignment as found
        except ImportError:
            found = False
        _lsa = found
    if _lsa:
        import numpy as np

        a, b = _lsa(np.array(m))
        pairs = zip(a.tolist(), b.tolist())
    else:
        pairs = _hungarian(m)
    return [(rows[a], cols[b]) for a, b in pairs if m[a][b] < big]


def _hungarian(cost):
    """Least-cost assignment of a rectangular matrix (a list of rows): shortest augmenting
    paths with potentials, O(n^2 m); (row, column) pairs covering the smaller side."""
    flip = len(cost) > len(cost[0])
    a = [list(col) for col in zip(*cost)] if flip else cost
    n, m = len(a), len(a[0])
    inf = math.inf
    u, v = [0.0] * (n + 1), [0.0] * (m + 1)
    p, way = [0] * (m + 1), [0] * (m + 1)
    for row in range(1, n + 1):
        p[0], j0 = row, 0
        minv, used = [inf] * (m + 1), [False] * (m + 1)
        while True:
            used[j0] = True
            i0, delta, j1 = p[j0], inf, 0
            ai, ui = a[i0 - 1], u[i0]
            for j in range(1, m + 1):
                if not used[j]:
                    cur = ai[j - 1] - ui - v[j]
                    if cur < minv[j]:
                        minv[j], way[j] = cur, j0
                    if minv[j] < delta:
                        delta, j1 = minv[j], j
            for j in range(m + 1):
                if used[j]:
                    u[p[j]] += delta
                    v[j] -= delta
                else:
                    minv[j] -= delta
            j0 = j1
            if p[j0] == 0:
                break
        while j0:
            j1 = way[j0]
            p[j0] = p[j1]
            j0 = j1
    pairs = [(p[j] - 1, j - 1) for j in range(1, m + 1) if p[j]]
    return sorted((c, r) for r, c in pairs) if flip else sorted(pairs)
