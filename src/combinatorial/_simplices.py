"""Faces and cofaces of simplices, by rank."""

from __future__ import annotations

from numpy.typing import ArrayLike, DTypeLike

from . import _core
from ._convert import Ranks, dtype_arg, fixed_width

__all__ = ["faces", "cofaces"]


def faces(
    ranks: ArrayLike, n: int, k: int, *, order: str = "lex", dtype: DTypeLike | None = None, workers: int | None = None
) -> Ranks:
    """Ranks of the faces of k-subsets given by their ranks.

    A face of a k-subset (a simplex) drops one of its vertices. Each rank is
    unranked once and its faces follow from differences of binomial
    coefficients, without ranking every face afresh.

    Parameters
    ----------
    ranks : array_like of int
        Ranks of k-subsets of {0, ..., n - 1} in `order`, any shape: any
        integer dtype, `uint128`, or Python ints of any size.
    n, k : int
        The vertex count (at most 2^32) and the subsets' size.
    order : {"lex", "colex"}, optional
        The order of the ranks given and returned.
    dtype : {None, int64, uint64, uint128, object}, optional
        The dtype of the ranks returned, as for `rank`; None picks it from
        the number of subsets returned (see Returns).
    workers : int, optional
        Threads for large batches, as in SciPy: None (the default) or -1 for
        every usable core.

    Returns
    -------
    numpy.ndarray
        Shape ``ranks.shape + (k,)``: column j holds the rank of the face
        without the j-th smallest vertex, a (k - 1)-subset. By default
        int64 when C(n, k - 1) <= 2^63, uint64 when C(n, k - 1) <= 2^64,
        `uint128` when C(n, k - 1) <= 2^128. For k = 1 every face is the
        empty set, rank 0.

    Raises
    ------
    ValueError
        For a rank outside [0, C(n, k)), named with its index; k > n;
        n > 2^32; an unknown order.
    OverflowError
        If C(n, k) or C(n, k - 1) is more than 2^128, or C(n, k - 1) more
        than `dtype` holds.
    TypeError
        For non-integer ranks, a structured array other than `uint128`, a
        `dtype` other than those above.

    See Also
    --------
    cofaces : the (k + 1)-subsets around each subset.

    Examples
    --------
    >>> from combinatorial import faces, rank
    >>> faces(rank([[0, 2, 3]], 5), 5, 3)   # {2, 3}, {0, 3}, {0, 2}
    array([[7, 2, 1]])
    >>> rank([[2, 3], [0, 3], [0, 2]], 5)
    array([7, 2, 1])
    >>> faces([1], 5, 2, dtype=object)   # {0, 2}: {2}, {0}
    array([[2, 0]], dtype=object)

    On 20,000 points both the 6-subsets (about 8.9e22) and the 5-subsets
    (about 2.7e19) outnumber 2^64, so their ranks are `uint128`:

    >>> import math
    >>> from combinatorial import uint128
    >>> top = rank([list(range(19994, 20000))], 20000)   # the last 6-subset
    >>> top.dtype == uint128 and faces(top, 20000, 6).dtype == uint128
    True
    >>> faces(top, 20000, 6, dtype=object)[0, 0] == math.comb(20000, 5) - 1   # the last 5-subset
    True
    """
    wanted = dtype_arg(dtype)
    result = _core.faces(ranks, n, k, order, wanted, workers, ())
    if result is None:  # not an ndarray of integers: converted first
        result = _core.faces(fixed_width(ranks, "ranks"), n, k, order, wanted, workers, ())
        assert result is not None
    return result


def cofaces(
    ranks: ArrayLike, n: int, k: int, *, order: str = "lex", dtype: DTypeLike | None = None, workers: int | None = None
) -> Ranks:
    """Ranks of the cofaces of k-subsets given by their ranks.

    A coface of a k-subset (a simplex) adds one vertex that it lacks. Each
    rank is unranked once and its n - k cofaces follow from differences of
    binomial coefficients.

    Parameters
    ----------
    ranks : array_like of int
        Ranks of k-subsets of {0, ..., n - 1} in `order`, any shape: any
        integer dtype, `uint128`, or Python ints of any size.
    n, k : int
        The vertex count (at most 2^32) and the subsets' size.
    order : {"lex", "colex"}, optional
        The order of the ranks given and returned.
    dtype : {None, int64, uint64, uint128, object}, optional
        The dtype of the ranks returned, as for `rank`; None picks it from
        the number of subsets returned (see Returns).
    workers : int, optional
        Threads for large batches, as in SciPy: None (the default) or -1 for
        every usable core.

    Returns
    -------
    numpy.ndarray
        Shape ``ranks.shape + (n - k,)``: column j holds the rank of the
        coface that adds the j-th smallest vertex missing from the subset, a
        (k + 1)-subset. By default int64 when C(n, k + 1) <= 2^63, uint64
        when C(n, k + 1) <= 2^64, `uint128` when C(n, k + 1) <= 2^128.

    Raises
    ------
    ValueError
        For a rank outside [0, C(n, k)), named with its index; k > n;
        n > 2^32; an unknown order.
    OverflowError
        If C(n, k) or C(n, k + 1) is more than 2^128, or C(n, k + 1) more
        than `dtype` holds.
    TypeError
        For non-integer ranks, a structured array other than `uint128`, a
        `dtype` other than those above.
    MemoryError
        If the result is larger than the memory available, before anything
        is allocated.

    See Also
    --------
    faces : the (k - 1)-subsets inside each subset.

    Examples
    --------
    >>> from combinatorial import cofaces, rank
    >>> cofaces(rank([[1, 3]], 5), 5, 2)   # {0, 1, 3}, {1, 2, 3}, {1, 3, 4}
    array([[1, 6, 8]])
    >>> rank([[0, 1, 3], [1, 2, 3], [1, 3, 4]], 5)
    array([1, 6, 8])
    """
    wanted = dtype_arg(dtype)
    result = _core.cofaces(ranks, n, k, order, wanted, workers, ())
    if result is None:
        result = _core.cofaces(fixed_width(ranks, "ranks"), n, k, order, wanted, workers, ())
        assert result is not None
    return result
