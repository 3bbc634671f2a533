"""Binomial coefficients, exact in 64 bits."""

from __future__ import annotations

import math
from typing import Any, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _core
from ._validation import INT64, UINT64, format_index, integer_array, resolve_workers

__all__ = ["comb"]

_LIMIT = 2**64


def _exact(n: int, k: int) -> int | None:
    """C(n, k) for non-negative Python ints, or None when it is 2^64 or more.

    C(n, j) grows with j up to n / 2, so with j = min(k, n - k): j > 64 means
    n >= 130 and C(n, j) >= C(130, 65) > 2^64; and for n >= 2^64 only j <= 1
    can fit (C(n, 2) > 2^64 already). So math.comb only ever multiplies
    at most 64 factors.
    """
    if k > n:
        return 0
    j = min(k, n - k)
    if j > 64 or (j > 1 and n >= _LIMIT):
        return None
    value = math.comb(n, j)
    return value if value < _LIMIT else None


def _overflow(n: int, k: int, where: str = "") -> OverflowError:
    return OverflowError(f"C({n}, {k}){where} is 2^64 or more and does not fit 64 bits")


def _check_signs(array: NDArray[Any], name: str) -> None:
    """Refuses a negative element of a signed or object array, naming the first one."""
    if array.dtype.kind in "iO" and array.size and array.min() < 0:
        flat = int(np.argmax(array.reshape(-1) < 0))
        value = int(array.reshape(-1)[flat])
        raise ValueError(f"{name} has {value}{format_index(flat, array.shape)}, which is negative")


def _as_uint64(array: NDArray[Any], shape: tuple[int, ...]) -> NDArray[np.uint64]:
    """``array`` broadcast to ``shape`` as C-contiguous uint64, copied only when it must be."""
    flags = array.flags
    if array.shape == shape and flags.c_contiguous and flags.aligned:
        if array.dtype == UINT64:
            return array
        if array.dtype == INT64:
            return array.view(UINT64)  # no negatives left: the same values
    result = np.empty(shape, dtype=UINT64)
    np.copyto(result, array, casting="unsafe")
    return result


def _comb_objects(n: NDArray[Any], k: NDArray[Any], shape: tuple[int, ...]) -> NDArray[np.uint64]:
    """Element by element, for arrays holding integers beyond 64 bits."""
    n_all = np.broadcast_to(n, shape).reshape(-1)
    k_all = np.broadcast_to(k, shape).reshape(-1)
    result = np.empty(n_all.size, dtype=UINT64)
    for i in range(n_all.size):
        ni, ki = int(n_all[i]), int(k_all[i])
        value = _exact(ni, ki)
        if value is None:
            raise _overflow(ni, ki, format_index(i, shape))
        result[i] = value
    return result.reshape(shape)


@overload
def comb(  # type: ignore[overload-overlap]
    n: int | np.integer[Any], k: int | np.integer[Any], *, workers: int | None = None
) -> int: ...
@overload
def comb(n: ArrayLike, k: ArrayLike, *, workers: int | None = None) -> NDArray[np.uint64]: ...


def comb(n: ArrayLike, k: ArrayLike, *, workers: int | None = None) -> int | NDArray[np.uint64]:
    """Number of k-combinations of n elements, C(n, k), broadcast like a ufunc.

    Parameters
    ----------
    n, k : int or array_like of int
        Non-negative integers of any integer dtype, broadcast against each
        other. Python ints of any size are accepted.

    Returns
    -------
    int or numpy.ndarray of uint64
        A Python int when `n` and `k` are both integer scalars, otherwise an
        array of the broadcast shape. C(n, k) is 0 where k > n.
    workers : int, optional
        Threads for large arrays, as in SciPy: None (the default) or -1 for
        every usable core, a negative count back from them, a positive count
        as is.

    Raises
    ------
    OverflowError
        For the first (n, k), in C order of the broadcast shape, whose
        coefficient is 2^64 or more.
    ValueError
        If a value is negative.
    TypeError
        For bools and non-integers (floats, strings, other objects).

    See Also
    --------
    math.comb : the same for one pair of Python ints, without the 64-bit limit.

    Examples
    --------
    >>> from combinatorial import comb
    >>> comb(10, 3)
    120
    >>> comb([5, 6, 7], 2)
    array([10, 15, 21], dtype=uint64)
    >>> comb([[4], [5]], [0, 2, 6])
    array([[ 1,  6,  0],
           [ 1, 10,  0]], dtype=uint64)
    >>> comb(67, 33)
    14226520737620288370
    >>> comb(68, 34)
    Traceback (most recent call last):
        ...
    OverflowError: C(68, 34) is 2^64 or more and does not fit 64 bits
    """
    if (
        isinstance(n, (int, np.integer))
        and isinstance(k, (int, np.integer))
        and not isinstance(n, bool)
        and not isinstance(k, bool)
    ):
        ni, ki = int(n), int(k)
        if ni < 0 or ki < 0:
            name, negative = ("n", ni) if ni < 0 else ("k", ki)
            raise ValueError(f"{name} = {negative} is negative")
        value = _exact(ni, ki)
        if value is None:
            raise _overflow(ni, ki)
        return value
    n_array = integer_array(n, "n")
    k_array = integer_array(k, "k")
    shape = n_array.shape
    if k_array.shape != shape:
        shape = np.broadcast(n_array, k_array).shape
    _check_signs(n_array, "n")
    _check_signs(k_array, "k")
    if n_array.dtype.kind == "O" or k_array.dtype.kind == "O":
        return _comb_objects(n_array, k_array, shape)
    threads = resolve_workers(workers)
    return _core.comb(_as_uint64(n_array, shape), _as_uint64(k_array, shape), threads)
