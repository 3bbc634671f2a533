"""Conversion of the public functions' arguments into what ``_core`` reads.

Nothing here checks a value: ``_core`` checks every argument and array, once,
and writes every message that names one. This module only turns array-likes
into ndarrays of integers (which ``_core`` reads in place, whatever their
strides), refuses what holds no integers at all, and puts the exact value
back into a message about an integer that had to be clipped to 64 bits.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any, TypeGuard, TypeVar

import numpy as np
from numpy.typing import NDArray

T = TypeVar("T")

INT64 = np.dtype(np.int64)
UINT64 = np.dtype(np.uint64)

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1


def is_integer_scalar(value: object) -> bool:
    """Whether ``value`` is one integer (a Python int or a NumPy integer), not a bool."""
    return (type(value) is int or isinstance(value, (int, np.integer))) and not isinstance(value, (bool, np.bool_))


def integer_array(value: object, name: str) -> NDArray[Any]:
    """``value`` as an ndarray of integers in native byte order, without copying an ndarray that is one.

    Integers that fit no 64-bit dtype give an object array of Python ints.
    Bools, floats, strings and other objects are refused with TypeError,
    even where NumPy would cast them.
    """
    array = value if type(value) is np.ndarray else np.asarray(value)
    kind = array.dtype.kind
    if kind == "i" or kind == "u":
        return array if array.dtype.isnative else array.astype(array.dtype.newbyteorder("="))
    if kind == "f" and not isinstance(value, np.ndarray):
        # NumPy turns a list mixing negatives and values of 2^63 or more into
        # floats; looked at as objects, they may all be ints.
        array = np.asarray(value, dtype=object)
        kind = "O"
    if kind == "O":
        return _object_integers(array, name)
    if kind == "b":
        raise TypeError(f"{name} must hold integers, not bools")
    what = "strings" if kind in "US" else array.dtype.name
    raise TypeError(f"{name} must hold integers, not {what}")


def _object_integers(array: NDArray[Any], name: str) -> NDArray[Any]:
    """An object array of integers as int64 or uint64 where they fit, else as Python ints."""
    values = []
    for item in array.flat:
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, (int, np.integer)):
            raise TypeError(f"{name} must hold integers, not {type(item).__name__}")
        values.append(int(item))
    low = min(values, default=0)
    high = max(values, default=0)
    if low >= INT64_MIN and high <= INT64_MAX:
        return np.array(values, dtype=INT64).reshape(array.shape)
    if low >= 0 and high <= UINT64_MAX:
        return np.array(values, dtype=UINT64).reshape(array.shape)
    result = np.empty(array.shape, dtype=object)
    result.flat[:] = values
    return result


def fixed_width(value: object, name: str) -> tuple[NDArray[Any], NDArray[Any] | None]:
    """``value`` as an ndarray of 64-bit or narrower integers, for ranks and vertices.

    Python ints beyond 64 bits are clipped to the ends of int64 or uint64,
    where they are still out of range for every check ``_core`` makes of a
    vertex or a rank (below n, below C(n, k) < 2^64), so the same error is
    raised. The exact values come second where any was clipped (else None),
    for `exact_names` to put back into the message.
    """
    array = integer_array(value, name)
    if array.dtype.kind != "O":
        return array, None
    values = [int(v) for v in array.flat]
    if min(values, default=0) >= 0:
        clipped = [min(v, UINT64_MAX) for v in values]
        return np.array(clipped, dtype=UINT64).reshape(array.shape), array
    clipped = [min(max(v, INT64_MIN), INT64_MAX) for v in values]
    return np.array(clipped, dtype=INT64).reshape(array.shape), array


def readable(value: object, name: str) -> tuple[NDArray[Any], NDArray[Any] | None]:
    """``value`` as ``_core`` reads it, and its exact values where they had to be clipped."""
    return (value, None) if is_readable(value) else fixed_width(value, name)


def exact_names(call: Callable[[], T], array: NDArray[Any], exact: NDArray[Any] | None, origin: tuple[int, ...] = ()) -> T:
    """call(), with an error that names an element of `array` naming it as it was passed, in `exact`.

    The element is the one at the error's index (less `origin`, where the
    block `array` begins in a larger array): a rank, or a row of vertices.
    """
    try:
        return call()
    except ValueError as error:
        index = getattr(error, "index", None)
        if exact is None or index is None:
            raise
        at = tuple(i - o for i, o in zip(index, origin)) + tuple(index[len(origin):])
        text = str(error)
        if exact.ndim == len(at):  # a rank
            text = text.replace(f"rank {array[at]} at", f"rank {exact[at]} at", 1)
        else:  # a row of vertices, and the vertex it names
            clipped, passed = [int(v) for v in array[at]], [int(v) for v in exact[at]]
            text = text.replace(f"[{', '.join(map(str, clipped))}]", f"[{', '.join(map(str, passed))}]", 1)
            named = re.search(r"has vertex (-?\d+),", text)
            if named and int(named[1]) in clipped:
                j = clipped.index(int(named[1]))
                text = text.replace(f"has vertex {clipped[j]},", f"has vertex {passed[j]},", 1)
        renamed = ValueError(text)
        renamed.index = index  # type: ignore[attr-defined]
        raise renamed from None


def is_readable(value: object) -> TypeGuard[NDArray[np.integer[Any]]]:
    """Whether ``_core`` reads ``value`` as it is: an ndarray of integers in native byte order."""
    return type(value) is np.ndarray and value.dtype.kind in "iu" and value.dtype.isnative


def generator(rng: object) -> np.random.Generator:
    """``rng`` as a Generator, read as ``numpy.random.default_rng`` reads it, bools refused.

    A bool is almost always a mistaken positional argument, not the seed 0 or 1.
    """
    if isinstance(rng, np.random.Generator):
        return rng
    if isinstance(rng, (bool, np.bool_)):
        raise TypeError("rng must be None, a seed, a SeedSequence, a BitGenerator or a Generator, not a bool")
    try:
        return np.random.default_rng(rng)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"rng must be None, a seed, a SeedSequence, a BitGenerator or a Generator, not {type(rng).__name__}"
        ) from None


def seed_sequence(rng: object) -> np.random.SeedSequence:
    """The root SeedSequence for ``rng``: itself, one made from a seed, or entropy drawn from a generator."""
    if isinstance(rng, np.random.SeedSequence):
        return rng
    if rng is None or isinstance(rng, (int, np.integer, list, tuple, np.ndarray)) and not isinstance(rng, (bool, np.bool_)):
        try:
            return np.random.SeedSequence(rng)
        except TypeError:
            pass  # refused below with the message every layer gives
    entropy = generator(rng).integers(0, 2**64, size=4, dtype=np.uint64).tolist()  # advances it, as drawing does
    return np.random.SeedSequence(entropy)


def seed_from(rng: Any) -> Any:
    """A function drawing one 64-bit seed from ``rng``, a Generator or anything default_rng takes.

    ``_core`` calls it once every argument has been checked, so that a call
    that fails leaves a Generator's state as it was.
    """
    return lambda: int(generator(rng).integers(0, 2**64, dtype=np.uint64))
