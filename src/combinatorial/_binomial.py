"""Binomial coefficients and falling factorials, exact, broadcast without copies."""

from __future__ import annotations

from typing import Any, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _core
from ._convert import integer_array, is_integer_scalar, subset_family

__all__ = ["comb", "perm"]

Counts: TypeAlias = NDArray[np.uint64] | NDArray[np.void]


def _operand(value: object, name: str) -> object:
    """An integer as it is, anything else as an integer ndarray (object for Python ints beyond 64 bits)."""
    return value if is_integer_scalar(value) else integer_array(value, name)


def _count(family: str, n: object, k: object, workers: int | None) -> int | Counts:
    # Integers and ndarrays of integers go to the core as they are; it hands
    # anything else back to be converted here first.
    result = _core.comb(family, n, k, workers, ())
    if result is None:
        result = _core.comb(family, _operand(n, "n"), _operand(k, "k"), workers, ())
        assert result is not None
    return result


@overload
def comb(  # type: ignore[overload-overlap]
    n: int | np.integer[Any], k: int | np.integer[Any], *, repetition: bool = False, workers: int | None = None
) -> int: ...
@overload
def comb(n: ArrayLike, k: ArrayLike, *, repetition: bool = False, workers: int | None = None) -> Counts: ...


def comb(n: ArrayLike, k: ArrayLike, *, repetition: bool = False, workers: int | None = None) -> int | Counts:
    """Number of k-combinations of n elements, C(n, k), broadcast like a ufunc.

    Parameters
    ----------
    n, k : int or array_like of int
        Non-negative integers of any integer dtype, broadcast against each
        other. Python ints of any size are accepted.
    repetition : bool, optional
        Count k-multisets instead (combinations with repetition, those of
        ``itertools.combinations_with_replacement``): C(n + k - 1, k). Read
        as a truth value.
    workers : int, optional
        Threads for large arrays, as in SciPy: None (the default) or -1 for
        every usable core, a negative count back from them, a positive count
        as is.

    Returns
    -------
    int or numpy.ndarray of uint64 or uint128
        The exact Python int when `n` and `k` are both integer scalars, as
        ``math.comb`` gives it, for any value of up to 2^17 bits (some
        39,000 digits).
        Otherwise an array of the broadcast shape: uint64 when every value is
        below 2^64, else `uint128` when every value is below 2^128. C(n, k) is
        0 where k > n; with `repetition`, C(n + k - 1, k) is 0 only where
        n = 0 < k.

    Raises
    ------
    OverflowError
        For arrays, for the first (n, k), in C order of the broadcast shape,
        whose coefficient is 2^128 or more. For two integers, where C(n, k)
        certainly has more than 2^17 bits (a lower bound of its size passes
        that; up to about 1.4 times as many bits may still be computed), as
        ``math.comb`` would take seconds to hours, uninterruptibly.
    ValueError
        If a value is negative.
    TypeError
        For bools and non-integers (floats, strings, other objects).

    See Also
    --------
    perm : the number of k-permutations.
    to_int : an array of uint128 values as Python ints.

    Examples
    --------
    >>> from combinatorial import comb, to_int, uint128
    >>> comb(10, 3)
    120
    >>> comb([5, 6, 7], 2)
    array([10, 15, 21], dtype=uint64)
    >>> comb([[4], [5]], [0, 2, 6])
    array([[ 1,  6,  0],
           [ 1, 10,  0]], dtype=uint64)
    >>> comb(67, 33)
    14226520737620288370
    >>> comb(200, 100)
    90548514656103281165404177077484163874504589675413336841320
    >>> wide = comb([10, 68], [3, 34])   # C(68, 34) is 2^64 or more
    >>> wide.dtype == uint128
    True
    >>> to_int(wide)
    array([120, 28453041475240576740], dtype=object)

    With repetition, as many as ``itertools.combinations_with_replacement``
    gives:

    >>> comb(4, 2, repetition=True)
    10
    >>> comb([0, 1, 4], 2, repetition=True)
    array([ 0,  1, 10], dtype=uint64)
    """
    return _count(subset_family(repetition), n, k, workers)


@overload
def perm(  # type: ignore[overload-overlap]
    n: int | np.integer[Any], k: int | np.integer[Any] | None = None, *, workers: int | None = None
) -> int: ...
@overload
def perm(n: ArrayLike, k: ArrayLike | None = None, *, workers: int | None = None) -> Counts: ...


def perm(n: ArrayLike, k: ArrayLike | None = None, *, workers: int | None = None) -> int | Counts:
    """Number of k-permutations of n elements, n! / (n - k)!, broadcast like a ufunc.

    Parameters
    ----------
    n, k : int or array_like of int
        Non-negative integers of any integer dtype, broadcast against each
        other. Python ints of any size are accepted. `k` defaults to `n`,
        which counts every ordering of all n elements.
    workers : int, optional
        Threads for large arrays, as in `comb`.

    Returns
    -------
    int or numpy.ndarray of uint64 or uint128
        The exact Python int when `n` and `k` are both integer scalars (or
        `k` is None), as ``math.perm`` gives it, for values of up to 2^17
        bits. Otherwise an array of the broadcast shape, uint64 or `uint128`
        by its values as in `comb`. P(n, k) is 0 where k > n.

    Raises
    ------
    OverflowError, ValueError, TypeError
        As `comb`.

    See Also
    --------
    comb : the number of k-combinations.
    permutations : the k-permutations themselves.

    Examples
    --------
    >>> from combinatorial import perm, to_int
    >>> perm(5, 2), perm(4), perm(2, 3)
    (20, 24, 0)
    >>> perm([3, 4, 5], 2)
    array([ 6, 12, 20], dtype=uint64)
    >>> perm([[4], [5]], [0, 2, 6])
    array([[ 1, 12,  0],
           [ 1, 20,  0]], dtype=uint64)
    >>> to_int(perm([10, 40], [3, 15]))   # P(40, 15) is 2^64 or more
    array([720, 52601652673686724608000], dtype=object)
    """
    return _count("permutations", n, n if k is None else k, workers)
