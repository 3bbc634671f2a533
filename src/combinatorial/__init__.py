"""k-combinations of {0, ..., n - 1} over NumPy arrays.

Vertices are uint16 and ranks 64-bit; results are exact, and whatever does
not fit 64 bits raises OverflowError instead of wrapping.

comb
    Binomial coefficients C(n, k), broadcast like a ufunc.
rank
    Ranks of combinations in lex or colex order.
unrank
    Combinations from their ranks.
combinations, iter_combinations
    All k-combinations, or any slice of them, as arrays or in chunks.
sample
    Uniform random k-subsets, distinct or not, whatever C(n, k) is.
faces, cofaces
    Ranks of the (k - 1)-subsets inside and the (k + 1)-subsets around
    k-subsets given by rank: simplices of a complex.
combinatorial.dask
    The same over Dask arrays, past one machine; import it explicitly.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from ._binomial import comb
from ._enumeration import combinations, iter_combinations, sample
from ._ranking import rank, unrank
from ._simplices import cofaces, faces

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
    "rank",
    "sample",
    "unrank",
]
