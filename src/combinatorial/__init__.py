"""k-combinations and k-permutations of {0, ..., n - 1} over NumPy arrays.

n goes up to 2^32: vertices are uint16 for n <= 65536 and uint32 above
(for k-multisets, n + k - 1 <= 65536 and above). Ranks are int64 where the
count of rows (C(n, k), C(n + k - 1, k) or P(n, k)) is at most 2^63,
uint64 where it is at most 2^64 and `uint128` where it is at most 2^128;
results are exact, and whatever does not fit raises OverflowError instead
of wrapping. The functions on combinations take ``repetition=True`` for
k-multisets, the rows of ``itertools.combinations_with_replacement``.

comb, perm
    Binomial coefficients C(n, k) (C(n + k - 1, k) with repetition) and
    falling factorials P(n, k) = n! / (n - k)!, broadcast like a ufunc.
rank
    Ranks of combinations in lex or colex order.
unrank
    Combinations from their ranks.
rank_permutations, unrank_permutations
    Ranks of k-permutations in the order of ``itertools.permutations``, and
    the k-permutations of ranks.
uint128, to_int
    The NumPy dtype of ranks past 2^64, a pair of 64-bit words ("hi", "lo")
    that ``np.sort``, ``np.unique`` and ``==`` take in numeric order; any
    ranks as Python ints.
combinations, iter_combinations
    All k-combinations, or any slice of them, as arrays or in chunks.
permutations, iter_permutations
    All k-permutations, or any slice of them, as arrays or in chunks.
sample, sample_permutations
    Uniform random k-subsets (or k-multisets) and k-permutations, distinct
    or not, whatever their count is.
faces, cofaces
    Ranks of the (k - 1)-subsets inside and the (k + 1)-subsets around
    k-subsets given by rank: simplices of a complex.
combinatorial.dask
    The functions on combinations over Dask arrays, past one machine;
    import it explicitly.

Examples
--------
>>> import numpy as np
>>> import combinatorial as cb
>>> ranks = cb.rank([[999999, 3, 2, 1], [4, 5, 6, 7], [0, 1, 2, 3], [1, 2, 3, 999999]], 10**6, order="colex")
>>> ranks.dtype == cb.uint128   # C(10^6, 4) is about 4.2e22
True
>>> cb.to_int(np.unique(ranks))   # sorted in numeric order, repeats dropped
array([0, 69, 41666250001458331250004], dtype=object)
>>> cb.unrank(np.sort(ranks)[-1:], 10**6, 4, order="colex")
array([[     1,      2,      3, 999999]], dtype=uint32)
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from . import _core
from ._binomial import comb, perm
from ._enumeration import (
    combinations,
    iter_combinations,
    iter_permutations,
    permutations,
    sample,
    sample_permutations,
)
from ._ranking import rank, rank_permutations, to_int, unrank, unrank_permutations
from ._simplices import cofaces, faces

# np.dtype([("hi", "<u8"), ("lo", "<u8")]): the value hi * 2^64 + lo. Fields
# compare in order, so NumPy's sorts follow numeric order.
uint128 = _core.uint128

try:
    __version__ = version("combinatorial")
except PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "cofaces",
    "comb",
    "combinations",
    "faces",
    "iter_combinations",
    "iter_permutations",
    "perm",
    "permutations",
    "rank",
    "rank_permutations",
    "sample",
    "sample_permutations",
    "to_int",
    "uint128",
    "unrank",
    "unrank_permutations",
]
