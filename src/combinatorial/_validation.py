"""Argument checks shared by the public functions.

Everything here runs once per call, never once per element: checks of values
inside arrays (ranges, repeats, order) are left to ``_core``, which makes a
pass over the data anyway.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _core

# Vertices are stored as uint16, so they lie in [0, 65536).
MAX_N = 65536

UINT16 = np.dtype(np.uint16)
INT64 = np.dtype(np.int64)
UINT64 = np.dtype(np.uint64)

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1


def check_order(order: object) -> str:
    """``order`` if it is "lex" or "colex"."""
    if isinstance(order, str) and (order == "lex" or order == "colex"):
        return order
    raise ValueError(f'order must be "lex" or "colex", not {order!r}')


def check_integer(value: object, name: str) -> int:
    """``value`` as a non-negative Python int; bools are refused."""
    if type(value) is int and value >= 0:
        return value
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not a bool")
    try:
        result = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if result < 0:
        raise ValueError(f"{name} = {result} is negative")
    return result


def check_n(n: object) -> int:
    """``n`` as an int in [0, 65536]."""
    if type(n) is int and 0 <= n <= MAX_N:
        return n
    result = check_integer(n, "n")
    if result > MAX_N:
        raise ValueError(
            f"n = {result} is too large: vertices are 16-bit, so n must be at most {MAX_N}"
        )
    return result


def usable_cores() -> int:
    """The cores this process may run on (its affinity mask), as _core counts them."""
    return _core.usable_cores()


def resolve_workers(workers: object) -> int:
    """The thread count that ``workers`` asks for, as SciPy reads it.

    None is every usable core, passed on as -1; a positive count is taken as
    is; a negative one counts back from the usable cores (-1 all of them, -2
    all but one), leaving at least one.
    """
    if workers is None:
        return -1  # _core counts the usable cores only when a batch is worth splitting
    if type(workers) is int and 0 < workers <= _MAX_WORKERS:
        return workers
    if isinstance(workers, (bool, np.bool_)) or not isinstance(workers, (int, np.integer)):
        raise TypeError(f"workers must be an int or None, not {type(workers).__name__}")
    count = int(workers)
    if count > 0:
        return min(count, _MAX_WORKERS)
    if count == 0:
        raise ValueError("workers must not be 0: use None or -1 for all cores, 1 for one thread")
    return max(1, usable_cores() + 1 + count)


# More threads than this are never useful; it keeps the count a C int.
_MAX_WORKERS = 1 << 16


def check_flag(value: object, name: str) -> bool:
    """``value`` as a bool; anything else might be a mistaken positional argument."""
    if type(value) is bool:
        return value
    if isinstance(value, np.bool_):
        return bool(value)
    raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


def format_index(flat: int, shape: tuple[int, ...]) -> str:
    """" at index ..." for element ``flat`` of a C-ordered array, as _core words it."""
    if not shape:
        return ""
    index = np.unravel_index(flat, shape)
    if len(shape) == 1:
        return f" at index {int(index[0])}"
    return f" at index {tuple(int(i) for i in index)}"


def integer_array(value: object, name: str) -> NDArray[Any]:
    """``value`` as an ndarray of an integer dtype, without copying an ndarray.

    Integers that fit no 64-bit dtype give an object array of Python ints,
    which the caller handles. Bools, floats, strings and other objects are
    refused with TypeError, even where NumPy would cast them.
    """
    array = value if type(value) is np.ndarray else np.asarray(value)
    kind = array.dtype.kind
    if kind == "i" or kind == "u":
        return array
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


def clip_to_64_bits(array: NDArray[Any]) -> NDArray[Any]:
    """An object array of Python ints as int64, or as uint64 when none is negative.

    Values beyond the range are clipped to its ends, where they are still out
    of range for every check that follows them (vertex below n, rank below
    C(n, k) < 2^64), so the same error is raised; only the value it names differs.
    """
    values = [int(v) for v in array.flat]
    if min(values, default=0) >= 0:
        clipped = [min(v, UINT64_MAX) for v in values]
        return np.array(clipped, dtype=UINT64).reshape(array.shape)
    clipped = [min(max(v, INT64_MIN), INT64_MAX) for v in values]
    return np.array(clipped, dtype=INT64).reshape(array.shape)


def check_out(out: object, shape: tuple[int, ...]) -> NDArray[np.uint16]:
    """``out`` if it can receive uint16 results of ``shape`` in place."""
    if type(out) is np.ndarray and out.dtype == UINT16 and out.shape == shape and out.flags.carray:
        return out  # carray: C-contiguous, aligned and writeable
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy.ndarray of uint16, not {type(out).__name__}")
    if out.dtype != UINT16:
        raise TypeError(f"out must have dtype uint16, not {out.dtype}")
    if not (out.flags.c_contiguous and out.flags.aligned):
        raise TypeError("out must be C-contiguous and aligned, such as a new numpy.empty array")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape}, but shape {shape} is expected")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out


# Results below this size are allocated without asking the system first.
_SMALL_RESULT = 1 << 26


def available_memory() -> int | None:
    """MemAvailable from /proc/meminfo in bytes, or None where there is none."""
    try:
        with open("/proc/meminfo", "rb") as meminfo:
            for line in meminfo:
                if line.startswith(b"MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def check_memory(nbytes: int, what: str) -> None:
    """Refuses a result of ``nbytes`` larger than the memory available, before it is allocated."""
    if nbytes <= _SMALL_RESULT:
        return
    available = available_memory()
    if available is not None and nbytes > available:
        raise MemoryError(
            f"{what} need {nbytes:,} bytes, more than the {available:,} bytes of memory available"
        )
