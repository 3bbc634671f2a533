# Types of the low-level module _combinatorial. Every parameter is positional.
# Input arrays are converted for the call (uint64 ranks and coefficients,
# uint16 vertices); out arrays must already be C-contiguous uint16.
from collections.abc import Sequence
from typing import Any, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

# One-axis input of comb: an integer array or a sequence of ints, never a scalar.
_Coefficients = NDArray[np.integer[Any]] | Sequence[int]
_Item = TypeVar("_Item", bound=Sequence[int] | NDArray[np.integer[Any]])

def rank_combs_sorted(combs: ArrayLike, n: int, colex: bool, /) -> NDArray[np.int64]: ...
def rank_combs_unsorted(combs: list[_Item], n: int, colex: bool, /) -> NDArray[np.uint64]: ...
def unrank_combs(
    ranks: ArrayLike, n: int, k: int, colex: bool, out: NDArray[np.uint16], /
) -> None: ...
def unrank_combs_k(
    ranks: ArrayLike, n: int, ks: ArrayLike, k_max: int, colex: bool, out: NDArray[np.uint16], /
) -> None: ...
@overload
def comb(n: int, k: int, /) -> int: ...
# An array beside an int is read in place only as uint64: anything else is
# converted to match the other argument, a 0-d array, and refused.
@overload
def comb(n: NDArray[np.uint64], k: int, /) -> NDArray[np.uint64]: ...
@overload
def comb(n: int, k: NDArray[np.uint64], /) -> NDArray[np.uint64]: ...
@overload
def comb(n: _Coefficients, k: _Coefficients, /) -> NDArray[np.uint64]: ...
@overload
def comb(
    n: _Coefficients, k: _Coefficients, n_max: int, k_max: int, /
) -> NDArray[np.uint64]: ...
def unrank_colex_bench(
    ranks: ArrayLike,
    n: int,
    k: int,
    use_guess: bool,
    gallop: bool,
    probes: int,
    out: NDArray[np.uint16],
    /,
) -> None: ...
def get_max_vertex(r: int, k: int, n: int, guess: bool, extra: int, /) -> int: ...
def find_k(r: int, k: int, /) -> int: ...
def get_max(r: int, k: int, n: int, /) -> int: ...
