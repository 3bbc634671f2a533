"""Faces and cofaces of simplices, by rank."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _core
from ._convert import fixed_width

__all__ = ["faces", "cofaces"]


def faces(
    ranks: ArrayLike, n: int, k: int, *, order: str = "lex", workers: int | None = None
) -> NDArray[np.int64] | NDArray[np.uint64]:
    """Ranks of the faces of k-subsets given by their ranks.

    A face of a k-subset (a simplex) drops one of its vertices. Each rank is
    unranked once and its faces follow from differences of binomial
    coefficients, without ranking every face afresh.

    Parameters
    ----------
    ranks : array_like of int
        Ranks of k-subsets of {0, ..., n - 1} in `order`, any shape.
    n, k : int
        The vertex count (at most 65536) and the subsets' size.
    order : {"lex", "colex"}, optional
        The order of the ranks given and returned.
    workers : int, optional
        Threads for large batches, as in SciPy: None (the default) or -1 for
        every usable core.

    Returns
    -------
    numpy.ndarray
        Shape ``ranks.shape + (k,)``: column j holds the rank of the face
        without the j-th smallest vertex, a (k - 1)-subset. int64 when
        C(n, k - 1) <= 2^63, uint64 above. For k = 1 every face is the empty
        set, rank 0.

    Raises
    ------
    ValueError
        For a rank outside [0, C(n, k)), named with its index; k > n; n above
        the vertex count `n` allows; an unknown order.
    OverflowError
        If C(n, k) or C(n, k - 1) is 2^64 or more.

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
    """
    result = _core.faces(ranks, n, k, order, workers, ())
    if result is None:  # not an ndarray of integers: converted first
        result = _core.faces(fixed_width(ranks, "ranks"), n, k, order, workers, ())
        assert result is not None
    return result


def cofaces(
    ranks: ArrayLike, n: int, k: int, *, order: str = "lex", workers: int | None = None
) -> NDArray[np.int64] | NDArray[np.uint64]:
    """Ranks of the cofaces of k-subsets given by their ranks.

    A coface of a k-subset (a simplex) adds one vertex that it lacks. Each
    rank is unranked once and its n - k cofaces follow from differences of
    binomial coefficients.

    Parameters
    ----------
    ranks : array_like of int
        Ranks of k-subsets of {0, ..., n - 1} in `order`, any shape.
    n, k : int
        The vertex count (at most 65536) and the subsets' size.
    order : {"lex", "colex"}, optional
        The order of the ranks given and returned.
    workers : int, optional
        Threads for large batches, as in SciPy: None (the default) or -1 for
        every usable core.

    Returns
    -------
    numpy.ndarray
        Shape ``ranks.shape + (n - k,)``: column j holds the rank of the
        coface that adds the j-th smallest vertex missing from the subset, a
        (k + 1)-subset. int64 when C(n, k + 1) <= 2^63, uint64 above.

    Raises
    ------
    ValueError
        For a rank outside [0, C(n, k)), named with its index; k > n; n above
        the vertex count `n` allows; an unknown order.
    OverflowError
        If C(n, k) or C(n, k + 1) is 2^64 or more.
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
    result = _core.cofaces(ranks, n, k, order, workers, ())
    if result is None:
        result = _core.cofaces(fixed_width(ranks, "ranks"), n, k, order, workers, ())
        assert result is not None
    return result
