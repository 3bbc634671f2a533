"""Conversion of the public functions' arguments into what ``_core`` reads.

Nothing here checks a value: ``_core`` checks every argument and array, once,
and writes every message that names one. This module only turns array-likes
into ndarrays of integers (which ``_core`` reads in place, whatever their
strides) and refuses what holds no integers at all.
"""

from __future__ import annotations

from typing import Any, TypeAlias

import numpy as np
from numpy.typing import DTypeLike, NDArray

# What the core returns for ranks (int64, uint64, uint128 or Python ints)
# and for vertices (uint16 up to n = 65536, uint32 above).
Ranks: TypeAlias = NDArray[np.int64] | NDArray[np.uint64] | NDArray[np.void] | NDArray[np.object_]
Vertices: TypeAlias = NDArray[np.uint16] | NDArray[np.uint32]


def subset_family(repetition: object) -> str:
    """The family ``_core`` takes for k-subsets, with `repetition` read as a truth value."""
    return "multisets" if repetition else "subsets"


def is_integer_scalar(value: object) -> bool:
    """Whether ``value`` is one integer (a Python int or a NumPy integer), not a bool."""
    return (type(value) is int or isinstance(value, (int, np.integer))) and not isinstance(value, (bool, np.bool_))


def integer_array(value: object, name: str) -> NDArray[Any]:
    """``value`` as an ndarray of integers in native byte order, without copying an ndarray that is one.

    Integers that fit no 64-bit dtype give an object array, which ``_core``
    reads element by element (anything with ``__index__``; bools and other
    objects refused there). Structured arrays go as they are: ``_core`` reads
    those of ``uint128`` and refuses the others (other fields, another byte
    order) with TypeError. Arrays of bools, floats, strings and other dtypes
    are refused with TypeError, even where NumPy would cast them.
    """
    array = value if type(value) is np.ndarray else np.asarray(value)
    kind = array.dtype.kind
    if kind == "i" or kind == "u":
        return array if array.dtype.isnative else array.astype(array.dtype.newbyteorder("="))
    if kind == "V" and array.dtype.names is not None:
        return array
    if kind == "f" and not isinstance(value, np.ndarray):
        # NumPy turns a list mixing negatives and values of 2^63 or more into
        # floats; looked at as objects, they may all be ints.
        array = np.asarray(value, dtype=object)
        kind = "O"
    if kind == "O":
        return array
    if kind == "b":
        raise TypeError(f"{name} must hold integers, not bools")
    what = "strings" if kind in "US" else array.dtype.name
    raise TypeError(f"{name} must hold integers, not {what}")


def fixed_width(value: object, name: str) -> NDArray[Any]:
    """``value`` as an ndarray of integers for ranks and vertices: object arrays hold Python ints of any size.

    ``_core`` reads object arrays through a converted copy and names their
    values as passed.
    """
    return integer_array(value, name)


def dtype_arg(dtype: DTypeLike | None) -> np.dtype[Any] | None:
    """The ``dtype`` argument of the functions that return ranks, as ``_core`` takes it: None stays None."""
    return None if dtype is None else np.dtype(dtype)


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
