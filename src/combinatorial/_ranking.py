"""Ranking and unranking of k-combinations (with or without repetition) and of k-permutations."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

from . import _core
from ._convert import Ranks, Vertices, dtype_arg, fixed_width, integer_array, subset_family

__all__ = ["rank", "rank_permutations", "to_int", "unrank", "unrank_permutations"]


def _rank(
    family: str, rows: ArrayLike, name: str, n: int, order: str, assume_sorted: bool, dtype: DTypeLike | None,
    workers: int | None,
) -> Ranks:
    # The core takes ndarrays of integers as they are; anything else it
    # hands back to be converted here first.
    wanted = dtype_arg(dtype)
    result = _core.rank(family, rows, n, order, assume_sorted, wanted, workers, ())
    if result is None:
        result = _core.rank(family, fixed_width(rows, name), n, order, assume_sorted, wanted, workers, ())
        assert result is not None
    return result


def _unrank(
    family: str, ranks: ArrayLike, n: int, k: int, order: str, out: Vertices | None, workers: int | None
) -> Vertices:
    result = _core.unrank(family, ranks, n, k, order, out, workers, ())
    if result is None:
        result = _core.unrank(family, fixed_width(ranks, "ranks"), n, k, order, out, workers, ())
        assert result is not None
    return result


def rank(
    combs: ArrayLike,
    n: int,
    *,
    order: str = "lex",
    assume_sorted: bool = False,
    repetition: bool = False,
    dtype: DTypeLike | None = None,
    workers: int | None = None,
) -> Ranks:
    """Rank k-combinations of {0, ..., n - 1}, with or without repetition.

    Parameters
    ----------
    combs : array_like of int, shape (..., k)
        One combination per row of the last axis: k distinct vertices below
        `n` (repeats allowed with `repetition`), in any order within the
        row. The array is read in place, never modified or copied, whatever
        its integer dtype and strides.
    n : int
        Number of elements to choose from, at most 2^32.
    order : {"lex", "colex"}, keyword-only
        "lex" ranks in the order of ``itertools.combinations(range(n), k)``
        (of ``itertools.combinations_with_replacement`` with `repetition`);
        "colex" compares the largest vertices first, so that the ranks of
        combinations of vertices below m do not depend on n.
    assume_sorted : bool, keyword-only
        Promise that every row is strictly increasing (non-decreasing with
        `repetition`), which skips the sort. The promise is still checked.
    repetition : bool, keyword-only
        Rank k-multisets: rows of k vertices below `n` that may repeat, of
        which there are C(n + k - 1, k). Read as a truth value.
    dtype : {None, int64, uint64, uint128, object}, keyword-only
        The dtype of the ranks. None picks the narrowest that holds every
        rank: int64 when the count (C(n, k), or C(n + k - 1, k) with
        `repetition`) is at most 2^63, uint64 when it is at most 2^64,
        `uint128` when it is at most 2^128. Naming one makes ranks of
        several (n, k) share it; object gives Python ints.
    workers : int or None, keyword-only
        Threads to use: None for every core the process may use, a negative
        count for all but ``-workers - 1`` of them (at least one).

    Returns
    -------
    numpy.ndarray, shape (...)
        The rank of each row, in [0, C(n, k)) (in [0, C(n + k - 1, k)) with
        `repetition`), of `dtype`.

    Raises
    ------
    ValueError
        For n > 2^32 and for a row with a vertex that is negative or not
        below `n`, a repeated vertex (without `repetition`), or
        (`assume_sorted`) out of order; the message names the first such row
        and its vertices.
    OverflowError
        If the count is more than 2^128, or more than `dtype` holds (naming
        n, k and the dtype).
    TypeError
        For non-integer vertices, arguments of the wrong type, or a `dtype`
        other than those above.

    See Also
    --------
    unrank : the inverse.
    comb : C(n, k), the number of ranks.
    rank_permutations : ranks of k-permutations.
    to_int : ranks of any dtype as Python ints.

    Examples
    --------
    >>> from combinatorial import rank, to_int, uint128
    >>> rank([[0, 1, 2], [3, 1, 0], [1, 2, 3]], 5)
    array([0, 1, 6])
    >>> rank([[0, 1, 2], [3, 1, 0], [1, 2, 3]], 5, order="colex")
    array([0, 1, 3])
    >>> rank(list(range(34, 67)), 67)  # C(67, 33) > 2^63: uint64
    array(14226520737620288369, dtype=uint64)
    >>> rank([[0, 1, 2]], 5, dtype="uint64")
    array([0], dtype=uint64)

    Past 2^64 ranks are `uint128`, a pair of 64-bit words:

    >>> ranks = rank([[0, 1, 2, 3, 4, 5, 6, 7, 8, 9], list(range(990, 1000))], 1000)
    >>> ranks.dtype == uint128
    True
    >>> to_int(ranks)
    array([0, 263409560461970212832399], dtype=object)
    >>> rank([list(range(990, 1000))], 1000, dtype=object)
    array([263409560461970212832399], dtype=object)

    With repetition, the order of ``itertools.combinations_with_replacement``:

    >>> import itertools
    >>> list(itertools.combinations_with_replacement(range(3), 2))
    [(0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2)]
    >>> rank([[0, 0], [2, 1], [2, 2]], 3, repetition=True)
    array([0, 4, 5])
    """
    return _rank(subset_family(repetition), combs, "combs", n, order, assume_sorted, dtype, workers)


def unrank(
    ranks: ArrayLike,
    n: int,
    k: int,
    *,
    order: str = "lex",
    repetition: bool = False,
    out: Vertices | None = None,
    workers: int | None = None,
) -> Vertices:
    """The k-combinations of {0, ..., n - 1}, with or without repetition, with the given ranks.

    Parameters
    ----------
    ranks : array_like of int
        Ranks in [0, C(n, k)) (in [0, C(n + k - 1, k)) with `repetition`),
        of any shape: any integer dtype, `uint128`, an object array or a
        list of Python ints of any size. Arrays are read in place whatever
        their strides.
    n : int
        Number of elements to choose from, at most 2^32.
    k : int
        Size of each combination, at most `n` without `repetition`.
    order : {"lex", "colex"}, keyword-only
        The order the ranks count in, as for `rank`.
    repetition : bool, keyword-only
        Unrank k-multisets, as `rank` ranks them. Read as a truth value.
    out : numpy.ndarray, optional, keyword-only
        Where to write the result: a writable C-contiguous array of shape
        ``ranks.shape + (k,)`` and of the vertex dtype (see Returns).
    workers : int or None, keyword-only
        Threads to use, as for `rank`.

    Returns
    -------
    numpy.ndarray of uint16 or uint32, shape ``ranks.shape + (k,)``
        Each combination with its smallest vertex first, whatever the order,
        so that ``unrank(rank(c, n), n, k)`` is `c` with its rows sorted.
        uint16 when n <= 65536 (n + k - 1 <= 65536 with `repetition`),
        uint32 above. This is `out` when given.

    Raises
    ------
    ValueError
        For n > 2^32, k > n without `repetition`, a rank outside the count
        (named with its index), or an `out` of the wrong shape or read-only.
    OverflowError
        If the count is more than 2^128.
    TypeError
        For non-integer ranks, a structured array other than `uint128`,
        arguments of the wrong type, or an `out` that is not a C-contiguous
        ndarray of the vertex dtype.

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
    >>> unrank([263409560461970212832399], 1000, 10)   # a rank past 2^64
    array([[990, 991, 992, 993, 994, 995, 996, 997, 998, 999]], dtype=uint16)
    >>> unrank([0, 1], 100_000, 2)   # n > 65536: uint32 vertices
    array([[0, 1],
           [0, 2]], dtype=uint32)
    >>> unrank([0, 4, 5], 3, 2, repetition=True)
    array([[0, 0],
           [1, 2],
           [2, 2]], dtype=uint16)
    """
    return _unrank(subset_family(repetition), ranks, n, k, order, out, workers)


def rank_permutations(
    rows: ArrayLike, n: int, *, dtype: DTypeLike | None = None, workers: int | None = None
) -> Ranks:
    """Rank k-permutations of {0, ..., n - 1} in the order of ``itertools.permutations``.

    Parameters
    ----------
    rows : array_like of int, shape (..., k)
        One k-permutation per row of the last axis: k distinct vertices
        below `n`, in the order they come. Read in place, never modified or
        copied, whatever its integer dtype and strides.
    n : int
        Number of elements to arrange, at most 2^32.
    dtype : {None, int64, uint64, uint128, object}, keyword-only
        The dtype of the ranks, as for `rank`; None picks it by
        P(n, k) = n! / (n - k)!: int64 up to 2^63, uint64 up to 2^64,
        `uint128` up to 2^128.
    workers : int or None, keyword-only
        Threads to use, as for `rank`.

    Returns
    -------
    numpy.ndarray, shape (...)
        The rank of each row in ``itertools.permutations(range(n), k)``, in
        [0, P(n, k)), of `dtype`.

    Raises
    ------
    ValueError
        For n > 2^32 and for a row with a vertex that is negative or not
        below `n`, or a repeated vertex; the message names the first such
        row and its vertices.
    OverflowError
        If P(n, k) is more than 2^128, or more than `dtype` holds.
    TypeError
        For non-integer vertices, arguments of the wrong type, or a `dtype`
        other than those above.

    See Also
    --------
    unrank_permutations : the inverse.
    perm : P(n, k), the number of ranks.

    Examples
    --------
    >>> import itertools
    >>> from combinatorial import rank_permutations
    >>> list(itertools.permutations(range(3), 2))
    [(0, 1), (0, 2), (1, 0), (1, 2), (2, 0), (2, 1)]
    >>> rank_permutations([[0, 1], [1, 0], [2, 1]], 3)
    array([0, 2, 5])
    >>> rank_permutations([3, 2, 1, 0], 4)   # one row: a 0-d array
    array(23)
    """
    return _rank("permutations", rows, "rows", n, "lex", False, dtype, workers)


def unrank_permutations(
    ranks: ArrayLike, n: int, k: int, *, out: Vertices | None = None, workers: int | None = None
) -> Vertices:
    """The k-permutations of {0, ..., n - 1} with the given ranks in the order of ``itertools.permutations``.

    Parameters
    ----------
    ranks : array_like of int
        Ranks in [0, P(n, k)), of any shape: any integer dtype, `uint128`,
        an object array or a list of Python ints of any size.
    n : int
        Number of elements to arrange, at most 2^32.
    k : int
        Length of each permutation, at most `n`.
    out : numpy.ndarray, optional, keyword-only
        Where to write the result: a writable C-contiguous array of shape
        ``ranks.shape + (k,)`` and of the vertex dtype of `n` (uint16 for
        n <= 65536, uint32 above).
    workers : int or None, keyword-only
        Threads to use, as for `rank`.

    Returns
    -------
    numpy.ndarray of uint16 or uint32, shape ``ranks.shape + (k,)``
        Each permutation's vertices in order; uint16 when n <= 65536,
        uint32 above. This is `out` when given.

    Raises
    ------
    ValueError
        For n > 2^32, k > n, a rank outside [0, P(n, k)) (named with its
        index), or an `out` of the wrong shape or read-only.
    OverflowError
        If P(n, k) is more than 2^128.
    TypeError
        For non-integer ranks, arguments of the wrong type, or an `out` that
        is not a C-contiguous ndarray of the vertex dtype.

    See Also
    --------
    rank_permutations : the inverse.
    permutations : every k-permutation, or a slice of them, in order.

    Notes
    -----
    Every argument is checked before anything is written: after an
    exception, `out` is as it was.

    Examples
    --------
    >>> from combinatorial import unrank_permutations
    >>> unrank_permutations([0, 2, 5], 3, 2)
    array([[0, 1],
           [1, 0],
           [2, 1]], dtype=uint16)
    >>> unrank_permutations(23, 4, 4)
    array([3, 2, 1, 0], dtype=uint16)
    """
    return _unrank("permutations", ranks, n, k, "lex", out, workers)


def to_int(ranks: ArrayLike) -> NDArray[np.object_]:
    """Ranks (or coefficients) of any integer dtype as an object array of Python ints.

    `uint128` values hi * 2^64 + lo become one int each, so that they take
    part in Python arithmetic, ``int()`` and formatting like any other.

    Parameters
    ----------
    ranks : array_like of int
        An array of any integer dtype, `uint128`, an object array of
        integers, or anything that converts to one.

    Returns
    -------
    numpy.ndarray of object, the shape of `ranks`
        The same values as Python ints.

    Raises
    ------
    TypeError
        For non-integers, or a structured array other than `uint128`.

    Examples
    --------
    >>> import numpy as np
    >>> from combinatorial import comb, to_int, uint128
    >>> to_int(comb([70, 10], [35, 3]))
    array([112186277816662845432, 120], dtype=object)
    >>> wide = np.array([(1, 0), (0, 7)], dtype=uint128)   # 2^64 and 7
    >>> to_int(wide)
    array([18446744073709551616, 7], dtype=object)
    >>> to_int(np.arange(3, dtype=np.int8))
    array([0, 1, 2], dtype=object)
    """
    result = _core.to_int(ranks)
    if result is None:  # not an ndarray the core reads: converted first
        result = _core.to_int(integer_array(ranks, "ranks"))
        assert result is not None
    return result
