"""Ranking and unranking of k-combinations in lex and colex order."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _core
from ._validation import (
    INT64,
    INT64_MAX,
    UINT16,
    UINT64,
    check_flag,
    check_integer,
    check_n,
    check_order,
    MAX_N,
    check_out,
    clip_to_64_bits,
    integer_array,
    resolve_workers,
)

__all__ = ["rank", "unrank"]


def _vertex_array(combs: ArrayLike) -> NDArray[np.uint16] | NDArray[np.int64]:
    """``combs`` as the uint16 or int64 C-contiguous array _core reads, copied only when it must be."""
    array = integer_array(combs, "combs")
    if array.ndim == 0:
        raise ValueError("combs must have at least one axis, the last holding each combination")
    dtype = array.dtype
    if dtype == UINT16 or dtype == INT64:
        # carray also asks for writeable: read-only arrays pass through require.
        return array if array.flags.carray else np.require(array, dtype, ["C", "A"])
    if dtype.kind == "O":
        array = clip_to_64_bits(array)
        dtype = array.dtype
    if dtype.kind == "u" and dtype.itemsize == 8:
        # Values of 2^63 or more, never vertices, clip to a value that is
        # none either, instead of wrapping to a negative one.
        clipped: NDArray[np.int64] = np.empty(array.shape, INT64)
        np.minimum(array, INT64_MAX, out=clipped, casting="unsafe")
        return clipped
    if dtype.kind == "u" and dtype.itemsize <= 2:
        return array.astype(UINT16, order="C")
    return array.astype(INT64, order="C")


def _rank_array(ranks: ArrayLike) -> NDArray[np.uint64] | NDArray[np.int64]:
    """``ranks`` as the uint64 or int64 C-contiguous array _core reads, copied only when it must be."""
    array = integer_array(ranks, "ranks")
    dtype = array.dtype
    if dtype == INT64 or dtype == UINT64:
        return array if array.flags.carray else np.require(array, dtype, ["C", "A"])
    if dtype.kind == "O":
        return clip_to_64_bits(array)
    if dtype.kind == "u":
        return array.astype(UINT64, order="C")
    return array.astype(INT64, order="C")


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
        `n`, in any order within the row. The array is read, never modified
        or copied when it is a C-contiguous uint16 or int64 array.
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
        For n > 65536 and for a row with a vertex that is negative or not
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
    # The common call takes as few Python steps as possible: _core checks
    # the order, n and the array's layout itself.
    if not (type(n) is int and 0 <= n <= MAX_N):
        n = check_n(n)
    if type(assume_sorted) is not bool:
        assume_sorted = check_flag(assume_sorted, "assume_sorted")
    threads = resolve_workers(workers)
    if type(combs) is np.ndarray and (combs.dtype is UINT16 or combs.dtype is INT64) and combs.ndim:
        array = combs
    else:
        array = _vertex_array(combs)
    return _core.rank(array, n, check_order(order), assume_sorted, threads)


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
        Ranks in [0, C(n, k)), of any shape and integer dtype.
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
        For n > 65536, k > n, a rank outside [0, C(n, k)) (named with its
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
    if not (type(n) is int and type(k) is int and 0 <= k <= n <= MAX_N):
        n = check_n(n)
        k = check_integer(k, "k")
        if k > n:
            raise ValueError(f"k = {k} is larger than n = {n}")
    threads = resolve_workers(workers)
    if type(ranks) is np.ndarray and (ranks.dtype is UINT64 or ranks.dtype is INT64):
        array = ranks  # _core copies it only if it is strided or overlaps out
    else:
        array = _rank_array(ranks)
    shape = array.shape + (k,)
    if out is None:
        out = np.empty(shape, dtype=UINT16)
    elif type(out) is not np.ndarray or out.shape != shape:
        out = check_out(out, shape)
    _core.unrank(array, n, k, check_order(order), out, threads)
    return out
