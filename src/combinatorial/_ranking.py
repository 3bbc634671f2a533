"""Ranking and unranking of k-combinations in lex and colex order."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _core
from ._convert import fixed_width

__all__ = ["rank", "unrank"]


def rank(
    combs: ArrayLike,
    n: int,
    *,
    order: str = "lex",
    assume_sorted: bool = False,
    workers: int | None = None,
) -> NDArray[np.int64] | NDArray[np.uint64]:
    """Rank k-combinations of {0, ..., n - 1}.

    Parameters
    ----------
    combs : array_like of int, shape (..., k)
        One combination per row of the last axis: k distinct vertices below
        `n`, in any order within the row. The array is read in place, never
        modified or copied, whatever its integer dtype and strides.
    n : int
        Number of elements to choose from, at most 65536 (vertices are 16-bit).
    order : {"lex", "colex"}, keyword-only
        "lex" ranks in the order of ``itertools.combinations(range(n), k)``;
        "colex" compares the largest vertices first, so that the ranks of
        combinations of vertices below m do not depend on n.
    assume_sorted : bool, keyword-only
        Promise that every row is strictly increasing, which skips the sort.
        The promise is still checked.
    workers : int or None, keyword-only
        Threads to use: None for every core the process may use, a negative
        count for all but ``-workers - 1`` of them (at least one).

    Returns
    -------
    numpy.ndarray of int64 or uint64, shape (...)
        The rank of each row, in [0, C(n, k)). The dtype is int64 when
        C(n, k) <= 2^63 and uint64 otherwise.

    Raises
    ------
    ValueError
        For n above the vertex count `n` allows and for a row with a vertex that is negative or not
        below `n`, a repeated vertex, or (`assume_sorted`) out of order; the
        message names the first such row and its vertices.
    OverflowError
        If C(n, k) is 2^64 or more, when not every rank fits 64 bits.
    TypeError
        For non-integer vertices or arguments of the wrong type.

    See Also
    --------
    unrank : the inverse.
    comb : C(n, k), the number of ranks.

    Examples
    --------
    >>> from combinatorial import rank
    >>> rank([[0, 1, 2], [3, 1, 0], [1, 2, 3]], 5)
    array([0, 1, 6])
    >>> rank([[0, 1, 2], [3, 1, 0], [1, 2, 3]], 5, order="colex")
    array([0, 1, 3])
    >>> rank(list(range(34, 67)), 67)  # C(67, 33) > 2^63: uint64
    array(14226520737620288369, dtype=uint64)
    """
    # The core takes ndarrays of integers as they are; anything else it
    # hands back to be converted here first.
    result = _core.rank(combs, n, order, assume_sorted, workers, ())
    if result is None:
        result = _core.rank(fixed_width(combs, "combs"), n, order, assume_sorted, workers, ())
        assert result is not None
    return result


def unrank(
    ranks: ArrayLike,
    n: int,
    k: int,
    *,
    order: str = "lex",
    out: NDArray[np.uint16] | None = None,
    workers: int | None = None,
) -> NDArray[np.uint16]:
    """The k-combinations of {0, ..., n - 1} with the given ranks.

    Parameters
    ----------
    ranks : array_like of int
        Ranks in [0, C(n, k)), of any shape and integer dtype, read in
        place whatever their strides.
    n : int
        Number of elements to choose from, at most 65536 (vertices are 16-bit).
    k : int
        Size of each combination, at most `n`.
    order : {"lex", "colex"}, keyword-only
        The order the ranks count in, as for `rank`.
    out : numpy.ndarray of uint16, optional, keyword-only
        Where to write the result: a writable C-contiguous uint16 array of
        shape ``ranks.shape + (k,)``.
    workers : int or None, keyword-only
        Threads to use, as for `rank`.

    Returns
    -------
    numpy.ndarray of uint16, shape ``ranks.shape + (k,)``
        Each combination with its smallest vertex first, whatever the order,
        so that ``unrank(rank(c, n), n, k)`` is `c` with its rows sorted.
        This is `out` when given.

    Raises
    ------
    ValueError
        For n above the vertex count `n` allows, k > n, a rank outside [0, C(n, k)) (named with its
        index), or an `out` of the wrong shape or read-only.
    OverflowError
        If C(n, k) is 2^64 or more.
    TypeError
        For non-integer ranks, arguments of the wrong type, or an `out` that
        is not a C-contiguous uint16 ndarray.

    Notes
    -----
    Every argument is checked before anything is written: after an
    exception, `out` is as it was.

    Examples
    --------
    >>> import numpy as np
    >>> from combinatorial import rank, unrank
    >>> unrank([0, 6, 9], 5, 3)
    array([[0, 1, 2],
           [1, 2, 3],
           [2, 3, 4]], dtype=uint16)
    >>> unrank(3, 5, 3, order="colex")
    array([1, 2, 3], dtype=uint16)
    >>> out = np.empty((2, 2), dtype=np.uint16)
    >>> unrank([0, 9], 5, 2, out=out) is out
    True
    >>> out
    array([[0, 1],
           [3, 4]], dtype=uint16)
    >>> unrank(rank([[4, 0, 2], [1, 3, 2]], 5), 5, 3)
    array([[0, 2, 4],
           [1, 2, 3]], dtype=uint16)
    """
    result = _core.unrank(ranks, n, k, order, out, workers, ())
    if result is None:
        result = _core.unrank(fixed_width(ranks, "ranks"), n, k, order, out, workers, ())
        assert result is not None
    return result
