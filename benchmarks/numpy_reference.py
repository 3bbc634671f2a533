"""What a NumPy user would write instead of _combinatorial, vectorised over all items.

Every function reads a uint64 table with table[p][m] = C(m, p), made once by
binomial_table and kept, as a user would keep it. Combinations are rows of
uint16 vertices: colex ones largest vertex first, lex ones smallest first.
"""
import math

import numpy as np


def binomial_table(n, k):
    """table[p][m] = C(m, p) for 0 <= p <= k and 0 <= m <= n, exact."""
    return np.array([[math.comb(m, p) for m in range(n + 1)] for p in range(k + 1)],
                    dtype=np.uint64)


def _unrank_colex_consuming(table, rest, out):
    # Row p is non-decreasing in m, so one searchsorted per position finds, for
    # all ranks at once, the largest m with C(m, p) <= r. Overwrites rest.
    k = out.shape[1]
    for p in range(k, 1, -1):
        row = table[p]
        vertex = np.searchsorted(row, rest, side="right") - 1
        out[:, k - p] = vertex
        rest -= row[vertex]
    out[:, k - 1] = rest
    return out


def unrank_colex(table, ranks, out):
    """Writes the combinations of the colex ranks into out, an (N, k) uint16 array."""
    return _unrank_colex_consuming(table, ranks.copy(), out)


def unrank_lex(table, ranks, out):
    """Writes the combinations of the lex ranks into out, an (N, k) uint16 array.

    The mirror image {n-1-c} of the combination of lex rank r has colex rank
    C(n, k) - 1 - r, and its largest vertex is the mirror of the smallest.
    """
    n, k = table.shape[1] - 1, out.shape[1]
    _unrank_colex_consuming(table, (table[k, n] - 1) - ranks, out)
    np.subtract(n - 1, out, out=out)
    return out


def rank_colex(table, rows):
    """uint64 colex ranks of rows, largest vertex first: sum of C(row[j], k - j)."""
    k = rows.shape[1]
    ranks = table[k][rows[:, 0]]
    for j in range(1, k):
        ranks += table[k - j][rows[:, j]]
    return ranks


def rank_lex(table, rows):
    """uint64 lex ranks of rows, smallest vertex first, through the mirror image."""
    n, k = table.shape[1] - 1, rows.shape[1]
    return (table[k, n] - 1) - rank_colex(table, (n - 1) - rows)


def comb(table, n, k):
    """C(n[i], k[i]) element-wise, 0 where k[i] > n[i]."""
    return table[k, n]
