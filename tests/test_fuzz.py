"""Fuzzing every module function with random and hostile arguments.

Each call gets arguments built from one shared pool of awkward values: every
NumPy dtype, every layout (strided, reversed, Fortran, read-only, unaligned,
0-d to 3-d, empty), Python lists of mixed types, numpy scalars and integers
around every width boundary. The checker then demands that

- only the documented exceptions come out (ValueError, TypeError, IndexError,
  OverflowError, MemoryError, and the cast RuntimeError of rank_combs_unsorted);
- inputs and the buffers they are views of are left exactly as they were;
- `out` sits in a larger sentinel-filled buffer: the guard elements around it
  never change, and after a failed call nothing in the buffer changes at all;
- where the arguments are plain enough to predict, the call succeeds exactly
  when every limit holds, and its results match math.comb;
- no call takes longer than a few seconds or grows the process by more than
  half a gigabyte.

The campaign runs in a child process, so that a crash or a sanitizer report
is reported with the call that caused it instead of taking pytest down. The
child is then restarted after that call, skipping later calls that share the
crashing call's traits (unaligned arrays, empty arrays of several axes), so
that one fault does not hide the others. Every call draws from its own
generator seeded by (seed, call number), so any call can be rebuilt alone:

    PYTHONPATH=build/release python tests/test_fuzz.py replay SEED CALL

Environment: COMBINATORIAL_FUZZ_SECONDS (default 60, in either build) and
COMBINATORIAL_FUZZ_SEED (default fixed; "random" picks one and prints it).
"""
import json
import math
import mmap
import os
import re
import secrets
import struct
import subprocess
import sys
import time
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np

SANITIZED = os.environ.get("COMBINATORIAL_SANITIZED") == "1"
DEFAULT_SEED = 20261208
DEFAULT_SECONDS = 60.0
# A single call slower than this is reported as a hang.
CALL_SECONDS = 5.0
# A single call that grows the process by more than this is reported too.
CALL_MEGABYTES = 512
# The child is killed when it makes no progress for this long.
STALL_SECONDS = 60.0
MAX_CRASHES = 8
MAX_REPORTS = 12

TWO_63, TWO_64 = 2**63, 2**64
INT64_MIN, INT64_MAX = -TWO_63, TWO_63 - 1
MAX_OUT = 1 << 22  # larger outputs are not asked for; the out is then too small

FUNCTIONS = ["unrank_combs", "unrank_combs_k", "unrank_colex_bench", "rank_combs_sorted",
             "rank_combs_unsorted", "comb", "get_max_vertex", "find_k", "get_max"]
WEIGHTS = np.array([4, 3, 3, 3, 3, 4, 1, 1, 1], dtype=float)
WEIGHTS /= WEIGHTS.sum()

ALLOWED = (ValueError, TypeError, IndexError, OverflowError, MemoryError)

# What the child shares while it runs: the call under way, whether it finished,
# the calls skipped and the calls made per function.
PROGRESS = struct.Struct("<3q" + "q" * len(FUNCTIONS))

# --- the shared pool of hostile values ---------------------------------------------------------

EDGE_INTS = sorted({
    0, 1, 2, 3, 4, 5, 7, 31, 32, 33, 34, 63, 64, 65, 66, 67, 68, 255, 256, 1000, 4093, 4094,
    65533, 65534, 65535, 65536, 65537, 2**24, 2**27, 2**28, 2**31 - 1, 2**31, 2**31 + 1,
    2**32 - 1, 2**32, 2**32 + 1, 2**62 - 1, 2**62, 2**62 + 1, TWO_63 - 2, TWO_63 - 1, TWO_63,
    TWO_63 + 1, TWO_64 - 2, TWO_64 - 1, TWO_64, TWO_64 + 1, 2**100})
NEGATIVE_INTS = [-1, -2, -3, -65535, -65536, -65537, -2**31, -2**31 - 1, -2**32, -2**62,
                 -TWO_63 + 1, -TWO_63, -TWO_63 - 1, -TWO_64, -2**100]

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
          np.uint64, np.float16, np.float32, np.float64, np.longdouble, np.complex64,
          np.complex128, np.clongdouble, object, "U24", "S24", "datetime64[s]", "timedelta64[ms]",
          "V8", [("a", "<u2"), ("b", "<u8")], ">u8", ">i8", ">u2", ">f8"]
LAYOUTS = ["c", "c", "c", "strided", "reversed", "fortran", "readonly", "unaligned", "broadcast"]


class Index:
    """An integer reachable only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class Sub(np.ndarray):
    """An ndarray subclass, which the module must take like a plain array."""


class ListSub(list):
    """A list subclass, which rank_combs_unsorted must take like a list."""


def hostile_scalars():
    return [None, 1.0, 2.5, -0.0, math.nan, math.inf, -math.inf, "5", b"5", "", [], [3], (3,), {},
            {3}, 1 + 0j, Fraction(7, 2), Decimal("3"), object(), True, False, np.float64(3.0),
            np.float32(2.0**70), np.float16(7), np.int8(-1), np.uint16(65535), np.int64(-5),
            np.int64(7), np.uint64(TWO_64 - 1), np.bool_(True), np.array(7), np.array([7]),
            np.array([], np.uint64), np.datetime64(5, "s"), Index(5), Index(TWO_64), Index(-1),
            np.longdouble(3), np.complex64(2)]


def junk_elements():
    return [0, 3, 7, TWO_64, 2**70, -1, 2.5, None, "3", b"x", [1, 2], [[1]], np.int64(3),
            np.uint16(4), np.float32(1.5), True, (1, 2), Index(3), math.nan, 1j]


def pick(g, seq):
    return seq[int(g.integers(len(seq)))]


def chance(g, p):
    return g.random() < p


def any_int(g):
    roll = g.random()
    if roll < 0.5:
        return pick(g, EDGE_INTS)
    if roll < 0.62:
        return pick(g, NEGATIVE_INTS)
    if roll < 0.8:
        return pick(g, EDGE_INTS) + int(g.integers(-3, 4))
    return int.from_bytes(g.bytes(8), "little") >> int(g.integers(0, 64))  # any width


def int_arg(g, typical=None, p_typical=0.7):
    """A value for an integer parameter: usually a typical one, else anything."""
    roll = g.random()
    if typical is not None and roll < p_typical:
        return typical
    if roll < 0.93:
        return any_int(g)
    return pick(g, hostile_scalars())


def flag_arg(g):
    if chance(g, 0.88):
        return bool(g.integers(2))
    return pick(g, [0, 1, 2, -1, None, np.bool_(True), np.bool_(False), 0.0, 1.5, "yes", "",
                    [], np.array([True]), np.array([True, False]), np.int64(1), Index(1), math.nan])


# What a scalar becomes as a parameter: an int, REFUSED, or UNKNOWN.
REFUSED, UNKNOWN = "refused", "unknown"


def param_value(x, lo, hi):
    if isinstance(x, (bool, int, np.integer)):
        v = int(x)
    elif isinstance(x, Index):
        v = x.value
    elif isinstance(x, (float, str, bytes, list, tuple, dict, set, complex)) or x is None:
        return REFUSED
    else:
        return UNKNOWN
    return v if lo <= v <= hi else REFUSED


def flag_value(x):
    if isinstance(x, (bool, np.bool_)):
        return bool(x)
    if x is None:
        return False
    if isinstance(x, (int, float)):
        return bool(x)
    return UNKNOWN


def u64_param(x):
    return param_value(x, 0, TWO_64 - 1)


def i64_param(x):
    return param_value(x, INT64_MIN, INT64_MAX)


# --- arrays --------------------------------------------------------------------------------------


def wrap(v, bits, signed):
    v %= 1 << bits
    if signed and v >= 1 << (bits - 1):
        v -= 1 << bits
    return v


def typed(values, dtype, g):
    """values (Python ints) as a 1-D array of dtype, integers wrapped like a C cast."""
    dt = np.dtype(dtype)
    if dt.names:
        arr = np.zeros(len(values), dt)
        arr["a"] = [v % 65536 for v in values]
        arr["b"] = [v % TWO_64 for v in values]
        return arr
    if dt.kind in "iu":
        return np.array([wrap(v, 8 * dt.itemsize, dt.kind == "i") for v in values], dtype=dt)
    if dt.kind == "b":
        return np.array([v != 0 for v in values], dtype=dt)
    if dt.kind == "f":
        exact = np.longdouble if dt.itemsize > 8 else float
        return np.array([exact(v) for v in values], dtype=dt)
    if dt.kind == "c":
        imag = 0.0 if chance(g, 0.7) else 1.5
        return np.array([complex(float(v), imag) for v in values], dtype=dt)
    if dt.kind == "O":
        junk = junk_elements()
        items = [v if chance(g, 0.9) else pick(g, junk) for v in values]
        arr = np.empty(len(items), dtype=object)
        arr[:] = items
        return arr
    if dt.kind == "U":
        return np.array([str(v) for v in values], dtype=dt)
    if dt.kind == "S":
        return np.array([str(v).encode() for v in values], dtype=dt)
    # datetime, timedelta and raw void: the bits of int64 values
    return np.array([wrap(v, 64, True) for v in values], dtype="<i8").view(dt)


def exact_float_limit(dt):
    return 2 ** (np.finfo(dt).nmant + 1)


class Arr:
    """An argument built from Python ints, with what is needed to predict its conversion."""

    def __init__(self, obj, values, kind, dtype=None, base=None, shape=None):
        self.obj = obj
        self.values = values  # in C order
        self.kind = kind  # "array", "list" (of ints), "junk"
        self.dtype = None if dtype is None else np.dtype(dtype)
        self.base = base
        self.shape = shape

    def converted(self, target):
        """The values as the module sees them with target dtype, REFUSED or UNKNOWN."""
        t = np.dtype(target)
        bits, signed = 8 * t.itemsize, t.kind == "i"
        lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
        if self.kind == "list":
            return self.values if all(lo <= v <= hi for v in self.values) else REFUSED
        if self.kind != "array" or self.dtype.names:
            return UNKNOWN
        k = self.dtype.kind
        if k in "iu":
            src = [wrap(v, 8 * self.dtype.itemsize, k == "i") for v in self.values]
            return [wrap(v, bits, signed) for v in src]
        if k == "b":
            return [int(v != 0) for v in self.values]
        if k == "f":
            limit = min(exact_float_limit(self.dtype), hi + 1)
            if all(0 <= v < limit for v in self.values):
                return list(self.values)
        return UNKNOWN


def nest(values, shape):
    if len(shape) == 0:
        return values[0]
    if len(shape) == 1:
        return list(values)
    step = len(values) // shape[0] if shape[0] else 0
    return [nest(values[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def random_shape(g, size):
    """A shape with `size` elements: 1-d mostly, else 0-d (size 1), 2-d or 3-d."""
    roll = g.random()
    if size == 1 and roll < 0.1:
        return ()
    if roll < 0.65:
        return (size,)
    divisors = [d for d in range(1, size + 1) if size % d == 0] or [0]
    a = pick(g, divisors) if size else int(g.integers(0, 3))
    b = size // a if a else 0
    if roll < 0.9:
        return (a, b)
    return (a, b, 1) if chance(g, 0.5) else (1, a, b)


def place(g, arr, shape, layout):
    """arr laid out with shape in layout, as a view of a larger base. Returns (view, base)."""
    dt, size = arr.dtype, arr.size
    pre, post = int(g.integers(0, 4)), int(g.integers(0, 4))
    if layout == "broadcast" and size > 1:
        view = np.broadcast_to(arr[:1].reshape((1,) * len(shape)), shape)
        return view, arr
    if layout == "unaligned" and dt.itemsize > 1 and dt.kind not in "OV":
        raw = np.zeros(pre + 1 + size * dt.itemsize + post, np.uint8)
        view = raw[pre + 1:pre + 1 + size * dt.itemsize].view(dt).reshape(shape)
        view[...] = arr.reshape(shape)
        return view, raw
    if layout == "strided":
        step = int(g.integers(2, 4))
        base = np.zeros(pre + size * step + post, dt)
        view = base[pre:pre + size * step:step].reshape(shape)
    elif layout == "reversed":
        base = np.zeros(pre + size + post, dt)
        view = base[pre:pre + size][::-1].reshape(shape)
    elif layout == "fortran":
        base = np.zeros(pre + size + post, dt)
        view = base[pre:pre + size].reshape(shape[::-1]).T
    else:
        base = np.zeros(pre + size + post, dt)
        view = base[pre:pre + size].reshape(shape)
    view[...] = arr.reshape(shape)
    if layout == "readonly":
        view.flags.writeable = False
    return view, base


def array_arg(g, values, dtype, shape=None, p_plain=0.55):
    """values as an argument: usually an array of dtype, else any dtype, layout or list."""
    values = list(values)
    if shape is None:
        shape = random_shape(g, len(values))
    roll = g.random()
    if roll < 0.88:
        if roll < p_plain:
            dt, layout = np.dtype(dtype), "c"
        else:
            dt, layout = np.dtype(pick(g, DTYPES)), pick(g, LAYOUTS)
        if layout == "broadcast" and values:
            values = [values[0]] * len(values)
        with np.errstate(all="ignore"):
            arr = typed(values, dt, g)
            view, base = place(g, arr, shape, layout)
        if layout == "c" and chance(g, 0.05):
            view = view.view(Sub)
        return Arr(view, values, "array", dt, base, shape)
    if roll < 0.95 and all(isinstance(v, int) for v in values):
        obj = nest(values, shape) if shape else values[0]
        if isinstance(obj, list) and chance(g, 0.2):
            obj = tuple(obj)
        return Arr(obj, values, "list" if shape else "junk", shape=shape)
    junk = junk_elements()
    if chance(g, 0.6):
        return Arr([v if chance(g, 0.6) else pick(g, junk) for v in values], values, "junk")
    return Arr(pick(g, hostile_scalars()), values, "junk")


# --- out arrays ----------------------------------------------------------------------------------

SENTINEL = 0xA55A


class Out:
    """An out argument inside a sentinel-filled buffer."""

    def __init__(self, obj, raw, proper, readonly):
        self.obj = obj
        # Written through misaligned pointers, or refused: either is fine.
        self.unaligned = isinstance(obj, np.ndarray) and not obj.flags.aligned
        self.raw = raw  # the whole buffer as bytes (uint8), including the out
        self.proper = proper  # a writable-or-not C-contiguous native uint16 ndarray
        self.readonly = readonly
        if proper:
            start = obj.__array_interface__["data"][0] - raw.__array_interface__["data"][0]
            self.start, self.stop = start, start + obj.nbytes
        self.before = None  # taken just before the call
        self.size = obj.size if isinstance(obj, np.ndarray) else None

    def written(self, count):
        return self.raw[self.start:self.start + 2 * count].copy().view(np.uint16)

    def tail_problem(self, count):
        """Whether anything past the first `count` vertices of out changed."""
        tail = slice(self.start + 2 * count, self.stop)
        if not np.array_equal(self.raw[tail], self.before[tail]):
            return f"wrote past the {count} vertices it had to write"
        return None


def alias_into(g, out, values, dtype):
    """An input array of dtype inside out's buffer, usually overlapping out,
    else in its guards; with whether it overlaps. (None, False) if it cannot."""
    dt = np.dtype(dtype)
    nbytes = len(values) * dt.itemsize
    if not out.proper or nbytes == 0 or nbytes > out.raw.size:
        return None, False
    lo, hi = 0, out.raw.size - nbytes
    if out.stop > out.start and chance(g, 0.7):
        lo, hi = max(lo, out.start - nbytes + 1), min(hi, out.stop - 1)
        if hi < lo:
            return None, False
    offset = int(g.integers(lo, hi + 1))
    if chance(g, 0.7) and offset - offset % dt.itemsize >= lo:
        offset -= offset % dt.itemsize
    arr = out.raw[offset:offset + nbytes].view(dt)
    arr[:] = typed(values, dt, g)
    overlaps = offset < out.stop and out.start < offset + nbytes and out.stop > out.start
    return Arr(arr, list(values), "array", dt), overlaps


def sentinel_buffer(size, g):
    pattern = (np.arange(size, dtype=np.uint64) * 40503 + SENTINEL) % 65536
    return pattern.astype(np.uint16) ^ np.uint16(int(g.integers(65536)))


def out_arg(g, needed):
    """An out for `needed` vertices: usually fitting, sometimes short, often odd."""
    if needed is None or needed > MAX_OUT:
        size = int(g.integers(0, 40))
    else:
        size = max(0, needed + pick(g, [0, 0, 0, 0, 0, 1, 3, -1, -2]))
    pre, post = int(g.integers(0, 9)), int(g.integers(1, 9))
    kind = g.choice(["flat", "rows", "3d", "0d", "subclass", "readonly", "unaligned", "strided",
                     "fortran", "reversed", "dtype", "list", "scalar"],
                    p=[.42, .14, .04, .03, .03, .05, .05, .05, .04, .02, .07, .03, .03])
    if kind == "0d":
        size = 1
    buf = sentinel_buffer(pre + 3 * size + post + 2, g)
    flat = buf[pre:pre + size]
    if kind == "rows" and size:
        width = pick(g, [d for d in range(1, min(size, 64) + 1) if size % d == 0])
        obj = flat.reshape(size // width, width)
    elif kind == "3d" and size:
        obj = flat.reshape(1, size, 1) if chance(g, 0.5) else flat.reshape(size, 1, 1)
    elif kind == "0d":
        obj = flat.reshape(())
    elif kind == "subclass":
        obj = flat.view(Sub)
    elif kind == "readonly":
        obj = flat.reshape(-1)
        obj.flags.writeable = False
    elif kind == "unaligned":
        raw = np.frombuffer(bytearray(buf.tobytes()), np.uint8).copy()
        obj = raw[2 * pre + 1:2 * pre + 1 + 2 * size].view(np.uint16)
        return Out(obj, raw, True, False)
    elif kind == "strided":
        obj = buf[pre:pre + 2 * size:2]
    elif kind == "fortran" and size:
        width = pick(g, [d for d in range(1, size + 1) if size % d == 0])
        obj = flat.reshape(width, size // width).T
    elif kind == "reversed":
        obj = flat[::-1]
    elif kind == "dtype":
        dt = np.dtype(pick(g, [np.int16, np.uint8, np.uint32, np.int64, np.float32, ">u2", np.bool_]))
        typed_buf = sentinel_buffer(pre + size + post, g).astype(dt)
        return Out(typed_buf[pre:pre + size], typed_buf.view(np.uint8), False, False)
    elif kind == "list":
        obj = [0] * size
    elif kind == "scalar":
        obj = pick(g, hostile_scalars())
    else:
        obj = flat
    raw = buf.view(np.uint8)
    proper = (isinstance(obj, np.ndarray) and obj.dtype == np.dtype(np.uint16)
              and obj.dtype.isnative and obj.flags.c_contiguous)
    readonly = proper and not obj.flags.writeable
    return Out(obj, raw, proper, readonly)


# --- oracles -------------------------------------------------------------------------------------


def C(n, k):
    """C(n, k), or TWO_64 for any value of 2^64 or more: from m = min(k, n - k) = 34
    on, C(n, m) >= C(68, 34) > 2^64, which keeps huge arguments cheap."""
    if not 0 <= k <= n:
        return 0
    m_ = min(k, n - k)
    return TWO_64 if m_ >= 34 else min(math.comb(n, m_), TWO_64)


def colex_rank(ascending):
    return sum(C(c, i + 1) for i, c in enumerate(ascending))


def lex_rank(ascending, n):
    k = len(ascending)
    return C(n, k) - 1 - sum(C(n - 1 - c, k - i) for i, c in enumerate(ascending))


def largest_vertex(r, k, lo, n):
    """Largest v in [lo, n] with C(v, k) <= r (r unsigned), given C(lo, k) <= r."""
    r %= TWO_64
    while lo < n:
        mid = (lo + n + 1) // 2
        if C(mid, k) <= r:
            lo = mid
        else:
            n = mid - 1
    return lo


def as_int64(v):
    return wrap(v, 64, True)


def check_rows(rows, n, ranks, colex, descending, limit_python=40):
    """Each row has distinct vertices below n in the stated order and ranks back to its rank."""
    if len(rows) == 0:
        return None
    arr = np.asarray(rows, dtype=np.int64)
    if arr.shape[1] == 0:
        return None
    if arr.max() >= n:
        return f"wrote vertex {int(arr.max())}, not below n = {n}"
    if arr.shape[1] > 1:
        d = np.diff(arr, axis=1)
        if not ((d < 0).all() if descending else (d > 0).all()):
            bad = int(np.nonzero((d >= 0) if descending else (d <= 0))[0][0])
            return f"row {bad} written as {arr[bad].tolist()}, not strictly {'de' if descending else 'in'}creasing"
    step = max(1, len(rows) // limit_python)
    if arr.shape[1] > 1000:
        step = max(step, len(rows) // 2 + 1)
    for i in range(0, len(rows), step):
        row = arr[i].tolist()
        asc = row[::-1] if descending else row
        got = colex_rank(asc) if colex else lex_rank(asc, n)
        if got != ranks[i]:
            return f"rank {ranks[i]} unranked to {row[:40]}, which ranks back to {got}"
    return None


# --- calls ---------------------------------------------------------------------------------------


class Call:
    def __init__(self, name, args, inputs, out=None, oracle=None, n=None):
        self.name = name
        self.args = args
        self.inputs = inputs  # Arr records and plain values whose state must not change
        self.out = out
        self.oracle = oracle  # (result, exception) -> problem text or None
        # Every vertex an unranking call writes is below n, whatever else is unknown.
        self.vertex_bound = n if isinstance(n, int) and 0 <= n < TWO_64 else None


def batch_len(g, big=False):
    roll = g.random()
    if roll < 0.88:
        return pick(g, [0, 1, 1, 1, 2, 2, 3, 4, 5, 8, 13])
    if roll < 0.97 or not big:
        return int(g.integers(14, 300))
    return int(g.integers(8190, 9000))


def combination_size(g):
    """(n, k) for the unranking and ranking functions, from plain to hostile."""
    roll = g.random()
    if roll < 0.35:
        n = int(g.integers(0, 71))
        return n, int(g.integers(0, n + 3))
    if roll < 0.5:
        n = pick(g, [65536, 65535, 65534, 10000, 2000, 1000, 500, 100])
        return n, max(0, pick(g, [0, 1, 2, 3, 4, 5, n - 1, n, n - 2, n - 3, n + 1]))
    if roll < 0.62:
        n = int(g.integers(0, 300)) if chance(g, 0.7) else pick(g, [65536, 65535, 1000])
        return n, max(0, n - int(g.integers(0, 35)))
    if roll < 0.72:
        n = int(g.integers(60, 72))
        return n, n // 2 + int(g.integers(-4, 5))
    if roll < 0.8:
        # k that wraps around n in unsigned arithmetic
        n = int(g.integers(0, 70)) if chance(g, 0.7) else pick(g, [65535, 65536])
        return n, pick(g, [n + TWO_63, TWO_64 - n, TWO_63 + n // 2 + 1, TWO_64 - 1 - n, n + 2**32, TWO_63 - n])
    return int_arg(g, None), int_arg(g, None)


def count_of(n, k):
    if isinstance(n, int) and isinstance(k, int) and 0 <= n < TWO_64 and 0 <= k < TWO_64:
        return C(n, k) if k <= n else 0
    return None


def rank_values(g, count, length, p_bad=0.03):
    values = []
    for _ in range(length):
        if count is None or count == 0 or chance(g, p_bad):
            edges = [0, 1, TWO_63 - 1, TWO_63, TWO_64 - 1, 2**32]
            if count is not None:
                edges += [count, count + 1, count - 1, 2 * count]
            values.append(max(0, pick(g, edges)))
        elif chance(g, 0.2):
            values.append(pick(g, [0, count - 1, count // 2, max(0, count - 2)]))
        else:
            values.append(int(g.integers(0, 2**62)) * 4 % count if count > 1 else 0)
    return values


def unranked_problem(exc, out, needed, ranks, n, k, colex):
    """What is wrong with the outcome of a valid call that unranks `ranks` into
    `needed` slots of out, k per rank; None when nothing is. Colex rows come
    largest first, and with k <= 1 colex unranking writes each rank itself."""
    if exc is not None:
        return f"valid call raised {type(exc).__name__}: {exc}"
    written = out.written(needed)
    if out.tail_problem(needed):
        return out.tail_problem(needed)
    if not ranks:
        return None
    if colex and k <= 1:
        if written.tolist() != [r % 65536 for r in ranks]:
            return f"k = {k}: wrote {written.tolist()[:20]} instead of the ranks"
        return None
    rows = written.reshape(len(ranks), k).tolist() if k else [[]] * len(ranks)
    return check_rows(rows, n, ranks, colex, descending=colex)


def gen_unrank_combs(g):
    n, k = combination_size(g)
    colex = flag_arg(g)
    count = count_of(n, k)
    big = count is not None and isinstance(k, int) and 3 <= k <= 33 and k <= n - k
    length = batch_len(g, big)
    ranks = array_arg(g, rank_values(g, count, length), np.uint64)
    nv, kv, cv = u64_param(n), u64_param(k), flag_value(colex)
    width = None
    if isinstance(kv, int) and cv in (True, False):
        width = max(kv, 1) if cv else kv
    needed = None if width is None else len(ranks.values) * width
    out = out_arg(g, needed)
    alias, aliased = alias_into(g, out, ranks.values, np.uint64) if chance(g, 0.05) else (None, False)
    ranks = alias or ranks
    converted = ranks.converted(np.uint64)

    def oracle(result, exc):
        if UNKNOWN in (nv, kv, cv) or converted is UNKNOWN:
            return None
        if REFUSED in (nv, kv) or converted is REFUSED or not out.proper:
            return expect(exc, {TypeError})
        if out.unaligned and type(exc) in (TypeError, ValueError):
            return None
        if out.readonly:
            return expect(exc, {ValueError})
        problems = {ValueError} if aliased else set()
        total = C(nv, kv) if kv <= nv else 0
        if nv > 65536:
            problems.add(ValueError)
        if total >= TWO_64:
            problems.add(OverflowError)
        elif any(r >= total for r in converted):
            problems.add(ValueError)
        if needed > out.size:
            problems.add(ValueError)
        if problems:
            return expect(exc, problems)
        return unranked_problem(exc, out, needed, converted, nv, kv, cv)

    return Call("unrank_combs", [ranks.obj, n, k, colex, out.obj], [ranks, n, k, colex], out, oracle, n)


def gen_unrank_combs_k(g):
    n, k = combination_size(g)
    colex = flag_arg(g)
    length = batch_len(g)
    sizes = []
    for _ in range(length):
        if isinstance(n, int) and 0 <= n <= 70000 and chance(g, 0.92):
            top = min(n, 65535)
            sizes.append(pick(g, [int(g.integers(0, top + 1)), min(top, 3), max(0, top - 2), k if isinstance(k, int) else 0]))
        else:
            sizes.append(pick(g, [0, 1, 2, 33, 34, 65535, 65536, 70000]))
    sizes = [s if isinstance(s, int) else 0 for s in sizes]
    if chance(g, 0.05) and sizes:
        sizes = sizes[:-1]  # too few sizes
    rank_list = []
    for s in (sizes + [0] * length)[:length]:
        rank_list += rank_values(g, count_of(n, s % 65536), 1)
    shape = None
    if chance(g, 0.06):
        shape = pick(g, [(length, 0), (length, 1), (0, length), (length, 2)])
        rank_list = rank_list[:1] * (math.prod(shape)) if rank_list else [0] * math.prod(shape)
    ranks = array_arg(g, rank_list, np.uint64, shape=shape)
    ks = array_arg(g, sizes, np.uint16)
    k_max = int_arg(g, pick(g, [0, 1, 2, 3, 5, 10, 33]))
    nv = u64_param(n)
    kmv, cv = u64_param(k_max), flag_value(colex)
    sizes_conv = ks.converted(np.uint16)
    ranks_conv = ranks.converted(np.uint64)
    needed = sum(sizes_conv[:length]) if isinstance(sizes_conv, list) else None
    out = out_arg(g, needed)
    alias, aliased = None, False
    if chance(g, 0.06) and shape is None:
        if chance(g, 0.5):
            alias, aliased = alias_into(g, out, sizes, np.uint16)
            ks, sizes_conv = (alias, alias.converted(np.uint16)) if alias else (ks, sizes_conv)
        else:
            alias, aliased = alias_into(g, out, rank_list, np.uint64)
            ranks, ranks_conv = (alias, alias.converted(np.uint64)) if alias else (ranks, ranks_conv)

    def oracle(result, exc):
        if UNKNOWN in (nv, kmv, cv) or UNKNOWN in (sizes_conv, ranks_conv):
            return None
        if REFUSED in (nv, kmv) or REFUSED in (sizes_conv, ranks_conv) or not out.proper:
            return expect(exc, {TypeError})
        if out.unaligned and type(exc) in (TypeError, ValueError):
            return None
        if out.readonly:
            return expect(exc, {ValueError})
        shape = np.shape(ranks.obj) if isinstance(ranks.obj, np.ndarray) else ranks.shape
        if len(shape) == 0:
            return expect(exc, {IndexError})
        count = shape[0]  # the ranks are the first `count` elements
        if len(ranks_conv) < count:
            # Fewer elements than the first axis is long: nothing to unrank.
            if exc is not None:
                return expect(exc, {ValueError, IndexError, OverflowError})
            if not np.array_equal(out.raw, out.before):
                return f"wrote combinations for {count} ranks read from an array of shape {shape}, which holds none"
            return None
        ranks_used = ranks_conv[:count]
        problems = {ValueError} if aliased else set()
        if nv > 65536:
            problems.add(ValueError)
        if len(sizes_conv) < count:
            problems.add(ValueError)
        for r, s in zip(ranks_used, sizes_conv):
            total = C(nv, s)
            if total >= TWO_64:
                problems.add(OverflowError)
            elif r >= total:
                problems.add(ValueError)
        used = sum(sizes_conv[:count])
        if used > out.size:
            problems.add(ValueError)
        if problems:
            return expect(exc, problems)
        if exc is not None:
            return f"valid call raised {type(exc).__name__}: {exc}"
        if out.tail_problem(used):
            return out.tail_problem(used)
        written = out.written(used).tolist()
        at = 0
        for i, (r, s) in enumerate(zip(ranks_used, sizes_conv)):
            row, at = written[at:at + s], at + s
            if s > 1000 and i > 2:
                continue
            problem = check_rows([row], nv, [r], cv, descending=False) if s else None
            if problem:
                return f"combination {i} of size {s}: {problem}"
        return None

    return Call("unrank_combs_k", [ranks.obj, n, ks.obj, k_max, colex, out.obj],
                [ranks, n, ks, k_max, colex], out, oracle, n)


def gen_unrank_colex_bench(g):
    n, k = combination_size(g)
    if isinstance(n, int) and n == 65536 and chance(g, 0.7):
        n = 65535
    use_guess, gallop = flag_arg(g), flag_arg(g)
    probes = int_arg(g, int(g.integers(0, 5)), 0.8)
    count = count_of(n, k)
    length = batch_len(g)
    values = rank_values(g, count, length)
    if chance(g, 0.1):
        values = [pick(g, [-1, INT64_MIN, -2]) if chance(g, 0.5) else v for v in values]
    nv, kv = u64_param(n), u64_param(k)
    ranks = array_arg(g, values, np.int64)
    pv, gv, lv = u64_param(probes), flag_value(use_guess), flag_value(gallop)
    needed = None if not isinstance(kv, int) else len(values) * max(kv, 1)
    out = out_arg(g, needed)
    alias, aliased = alias_into(g, out, values, np.int64) if chance(g, 0.05) else (None, False)
    ranks = alias or ranks
    converted = ranks.converted(np.int64)

    def oracle(result, exc):
        if UNKNOWN in (nv, kv, pv, gv, lv) or converted is UNKNOWN:
            return None
        if REFUSED in (nv, kv, pv) or converted is REFUSED or not out.proper:
            return expect(exc, {TypeError})
        if out.unaligned and type(exc) in (TypeError, ValueError):
            return None
        if nv > 65535 or out.readonly:
            return expect(exc, {ValueError})
        problems = {ValueError} if aliased else set()
        total = C(nv, kv) if kv <= nv else 0
        if total >= TWO_64:
            problems.add(OverflowError)
        elif any(r < 0 or r >= total for r in converted):
            problems.add(ValueError)
        if needed > out.size:
            problems.add(ValueError)
        if kv > nv and not problems:
            # No rank is valid, so there is nothing to unrank; the table bounds may be refused.
            return None if exc is None else expect(exc, {ValueError})
        if problems:
            return expect(exc, problems)
        return unranked_problem(exc, out, needed, converted, nv, kv, True)

    return Call("unrank_colex_bench", [ranks.obj, n, k, use_guess, gallop, probes, out.obj],
                [ranks, n, k, use_guess, gallop, probes], out, oracle, n)


def random_combination(g, universe, k, colex):
    vertices = sorted(int(v) for v in g.choice(universe, size=k, replace=False))
    if colex:
        return vertices[::-1]
    if k == 2 and chance(g, 0.5):
        return vertices[::-1]
    return vertices


def gen_rank_combs_sorted(g):
    colex = flag_arg(g)
    cv = flag_value(colex)
    roll = g.random()
    if roll < 0.8:
        n = pick(g, [int(g.integers(0, 71)), int(g.integers(0, 71)), 65535, 65536, 65537, 100, 1000,
                     3_000_000, 2**32, TWO_63 - 1, TWO_63, TWO_64 - 1, int(g.integers(0, 300))])
        universe = min(n, 65536)
        k = pick(g, [int(g.integers(0, min(universe, 9) + 1)), min(universe, 2), min(universe, 3),
                     max(0, universe - int(g.integers(0, 4)))]) if universe else int(g.integers(0, 3))
        if universe > 2000 and k > 64:
            k = int(g.integers(0, 6))
        rows_n = pick(g, [0, 1, 1, 2, 3, 5, 17, 2047, 2049, 4100]) if k <= 64 else int(g.integers(0, 3))
        rows = []
        for _ in range(rows_n):
            if k <= universe:
                rows.append(random_combination(g, universe, k, cv is not False))
            else:
                rows.append([int(v) for v in g.integers(0, 65536, size=k)])
        if rows and k and chance(g, 0.3):
            i, j = int(g.integers(len(rows))), int(g.integers(k))
            rows[i][j] = pick(g, [n % 65536, (n - 1) % 65536, 65535, rows[i][j - 1], rows[i][0] + 1, 0])
        flat = [v for row in rows for v in row]
        shape = (rows_n, k)
        if chance(g, 0.08):
            shape = pick(g, [(len(flat),), (rows_n, k, 1), (1, k, rows_n)] if flat else [(0,), (0, k, 0)])
            if math.prod(shape) != len(flat):
                shape = (rows_n, k)
        combs = array_arg(g, flat, np.uint16, shape=shape, p_plain=0.7)
    else:
        n = int_arg(g, None)
        size = int(g.integers(0, 20))
        combs = array_arg(g, [int(v) for v in g.integers(0, 70, size=size)], np.uint16)
        rows, k = None, None
    nv = u64_param(n)
    converted = combs.converted(np.uint16)

    def oracle(result, exc):
        if UNKNOWN in (nv, cv) or converted is UNKNOWN or rows is None:
            return None
        if REFUSED == nv or converted is REFUSED:
            return expect(exc, {TypeError})
        shape_seen = np.shape(combs.obj) if combs.kind == "list" else combs.shape
        if len(shape_seen) < 2:
            return expect(exc, {IndexError})
        if len(shape_seen) != 2 or shape_seen != (rows_n, k):
            return None
        grid = [converted[i * k:(i + 1) * k] for i in range(rows_n)]
        problems = set()
        if nv >= TWO_63:
            problems.add(ValueError)
        total = C(nv, k)
        if total > TWO_63:
            problems.add(OverflowError)
        for row in grid:
            if len(set(row)) != k or (row and max(row) >= nv):
                problems.add(ValueError)
            elif k > 1 and not (k == 2 and cv is False):
                if row != sorted(row, reverse=cv):
                    problems.add(ValueError)
        if problems:
            return expect(exc, problems)
        if exc is not None:
            return f"valid call raised {type(exc).__name__}: {exc}"
        if not isinstance(result, np.ndarray) or result.dtype != np.int64 or result.shape != (rows_n,):
            return f"returned {type(result).__name__} {getattr(result, 'dtype', '')} {getattr(result, 'shape', '')}"
        got = result.tolist()
        step = max(1, rows_n // 40)
        for i in range(0, rows_n, step):
            asc = sorted(grid[i])
            want = colex_rank(asc) if cv else lex_rank(asc, nv)
            if k == 0:
                want = 0
            if got[i] != want:
                return f"row {i} {grid[i][:20]} ranked {got[i]}, not {want}"
        return None

    return Call("rank_combs_sorted", [combs.obj, n, colex], [combs, n, colex], None, oracle)


def gen_rank_combs_unsorted(g):
    n = int_arg(g, pick(g, [int(g.integers(0, 71)), 65536, 65535, 1000, TWO_64 - 1, 2**32, TWO_63]))
    colex = flag_arg(g)
    nv, cv = u64_param(n), flag_value(colex)
    universe = min(nv, 65536) if isinstance(nv, int) else 70
    items, plain = [], []
    for _ in range(pick(g, [0, 1, 1, 2, 3, 5, 40])):
        roll = g.random()
        if roll < 0.78:
            k = int(g.integers(0, min(universe, 12) + 1)) if universe else 0
            if universe and chance(g, 0.1):
                k = max(0, universe - int(g.integers(0, 3))) if universe <= 300 else k
            vertices = [int(v) for v in g.choice(max(universe, 1), size=min(k, universe), replace=False)] if universe else []
            if vertices and chance(g, 0.15):
                vertices[int(g.integers(len(vertices)))] = pick(g, [vertices[0], nv if isinstance(nv, int) else 5, 65535, 65536, -1])
            vertices = [int(v) for v in g.permutation(vertices)] if vertices else []
            container = pick(g, ["list", "list", "tuple", "array", "range", "bytearray"])
            if container == "tuple":
                item = tuple(vertices)
            elif container == "array":
                dt = pick(g, [np.uint16, np.int64, np.uint8, np.float64, np.int8])
                with np.errstate(all="ignore"):
                    item = typed(vertices, dt, g)
                container = "list" if np.dtype(dt).kind in "u" and all(0 <= v < 2 ** (8 * np.dtype(dt).itemsize) for v in vertices) else "other"
            elif container == "range":
                first = int(g.integers(0, max(universe - len(vertices), 0) + 1))
                vertices = list(range(first, first + len(vertices)))
                item = range(first, first + len(vertices))
            elif container == "bytearray" and all(0 <= v < 256 for v in vertices):
                item = bytearray(vertices)
            else:
                item, container = list(vertices), "list"
            items.append(item)
            plain.append(vertices if container in ("list", "tuple", "range", "bytearray") else None)
        else:
            junk = junk_elements()
            item = pick(g, [[pick(g, junk) for _ in range(int(g.integers(1, 4)))], "12", b"12",
                            None, 5, {1: 2}, {1, 2}, np.zeros((2, 2), np.uint16), 2.5, [[0, 1]],
                            np.uint16(3), iter([1, 2])])
            items.append(item)
            plain.append(None)
    combs = items
    kind = g.random()
    if kind < 0.04:
        combs = ListSub(items)
    elif kind < 0.1:
        combs = pick(g, [tuple(items), None, "ab", np.array([1, 2]), 7])
        plain = None

    def oracle(result, exc):
        if UNKNOWN in (nv, cv):
            return None
        if nv is REFUSED or plain is None:
            return expect(exc, {TypeError})
        if any(p is None for p in plain):
            return None
        ranks = []
        for i, vertices in enumerate(plain):
            if any(not 0 <= v <= 65535 for v in vertices):
                return expect_cast(exc)
            if len(set(vertices)) != len(vertices) or (vertices and max(vertices) >= nv):
                return expect(exc, {ValueError})
            total = C(nv, len(vertices))
            if total >= TWO_64:
                return expect(exc, {OverflowError})
            asc = sorted(vertices)
            ranks.append(colex_rank(asc) if cv else lex_rank(asc, nv))
        if exc is not None:
            return f"valid call raised {type(exc).__name__}: {exc}"
        if not isinstance(result, np.ndarray) or result.dtype != np.uint64 or result.tolist() != ranks:
            return f"returned {result!r}, not {ranks}"
        return None

    return Call("rank_combs_unsorted", [combs, n, colex], [combs, n, colex], None, oracle)


def is_u64_array(x):
    return type(x) is np.ndarray and x.dtype == np.dtype(np.uint64) and x.dtype.isnative


def coefficient_values(g, count, small=True):
    values = []
    for _ in range(count):
        roll = g.random()
        if roll < 0.5:
            values.append(int(g.integers(0, 80)))
        elif roll < 0.75 or small:
            values.append(pick(g, [65535, 65536, 1000, 2**32, TWO_63 - 1, TWO_63, TWO_64 - 1, 0, 1, 2, 67, 68]))
        else:
            values.append(int(g.integers(0, 2**62)) * 4 % TWO_64)
    return values


def gen_comb(g):
    form = g.choice(["ints", "arrays", "array_int", "int_array", "table", "arity"],
                    p=[.22, .25, .15, .15, .18, .05])
    length = batch_len(g)
    n_list = coefficient_values(g, length, small=False)
    k_list = [min(int(g.integers(0, 40)), v) if chance(g, 0.7) else pick(g, [0, 1, 2, 33, 34, 65535, TWO_64 - 1, v // 2, v])
              for v in n_list]
    if chance(g, 0.08) and k_list:
        k_list = k_list[:-1]
    inputs, args = [], []
    if form == "ints":
        n = int_arg(g, pick(g, [int(g.integers(0, 100)), 65535, 65534, 68, 67, 34]))
        k = int_arg(g, pick(g, [int(g.integers(0, 40)), 34, 33, 32767, 65535, 2, 3, 5]))
        args = [n, k]
    elif form == "arrays":
        N, K = array_arg(g, n_list, np.uint64), array_arg(g, k_list, np.uint64)
        args, inputs = [N.obj, K.obj], [N, K]
    elif form == "array_int":
        N = array_arg(g, n_list, np.uint64)
        args, inputs = [N.obj, int_arg(g, int(g.integers(0, 70)))], [N]
    elif form == "int_array":
        K = array_arg(g, k_list, np.uint64)
        args, inputs = [int_arg(g, pick(g, [int(g.integers(0, 100)), 65535, 68])), K.obj], [K]
    elif form == "table":
        N, K = array_arg(g, n_list, np.uint64), array_arg(g, k_list, np.uint64)
        n_max = int_arg(g, pick(g, [int(g.integers(0, 100)), 65535, 1000, max(n_list, default=0)]))
        k_max = int_arg(g, pick(g, [int(g.integers(0, 40)), 34, 5, max(k_list, default=0)]))
        args, inputs = [N.obj, K.obj, n_max, k_max], [N, K]
    else:
        args = [int_arg(g, 5) for _ in range(pick(g, [0, 1, 3, 5]))]
    inputs = inputs + [a for a in args if not isinstance(a, np.ndarray)]

    def values_of(x):
        return [int(v) for v in x.tolist()]

    def coefficients(pairs):
        got = [C(a, b) for a, b in pairs]
        return OverflowError if any(v >= TWO_64 for v in got) else got

    def compare(result, exc, want):
        if want is OverflowError or want is ValueError:
            return expect(exc, {want})
        if exc is not None:
            return f"valid call raised {type(exc).__name__}: {exc}"
        if isinstance(want, int):
            return None if type(result) is int and result == want else f"returned {result!r}, not {want}"
        if not isinstance(result, np.ndarray) or result.dtype != np.uint64 or result.tolist() != want:
            return f"returned {result!r}, not {want}"
        return None

    def oracle(result, exc):
        if form == "arity":
            return expect(exc, {TypeError}) if len(args) != 4 else None
        a = args
        if form == "ints":
            na, ka = a
            if type(na) is int and type(ka) is int and 0 <= na <= 65535 and 0 <= ka <= 65535:
                want = C(na, ka)
                return compare(result, exc, OverflowError if want >= TWO_64 else want)
            return None
        if form in ("arrays", "table") and is_u64_array(a[0]) and is_u64_array(a[1]):
            if form == "table":
                nm, km = a[2], a[3]
                if not (type(nm) is int and type(km) is int and 0 <= nm < TWO_64 and 0 <= km < TWO_64):
                    return None
            if a[0].size != a[1].size or a[0].ndim != 1 or a[1].ndim != 1:
                return expect(exc, {ValueError})
            if form == "table" and (nm >= TWO_63 or km >= TWO_63):
                return expect(exc, {ValueError})
            return compare(result, exc, coefficients(zip(values_of(a[0]), values_of(a[1]))))
        if form == "array_int" and is_u64_array(a[0]) and type(a[1]) is int and 0 <= a[1] <= 65535:
            if a[0].ndim != 1:
                return expect(exc, {ValueError})
            return compare(result, exc, coefficients((v, a[1]) for v in values_of(a[0])))
        if form == "int_array" and is_u64_array(a[1]) and type(a[0]) is int and 0 <= a[0] <= 65535:
            if a[1].ndim != 1:
                return expect(exc, {ValueError})
            return compare(result, exc, coefficients((a[0], v) for v in values_of(a[1])))
        return None

    return Call("comb", args, inputs, None, oracle)


def search_args(g, with_n):
    k = int_arg(g, pick(g, [int(g.integers(-2, 70)), 1, 2, 3, 4, 33, 64, 65, 2**31, 2**62, INT64_MAX, INT64_MIN]), 0.8)
    kv = k if isinstance(k, int) else 2
    v = pick(g, [int(g.integers(0, 100)), 65535, 65536, 3_000_000, 2**32, 2**62])
    base = C(v, kv) if kv >= 1 else 0
    r = int_arg(g, pick(g, [0, 1, 10, as_int64(base), as_int64(base - 1), as_int64(base + 1), INT64_MAX, -1,
                            INT64_MIN, int(g.integers(INT64_MIN, INT64_MAX, endpoint=True))]), 0.8)
    n = int_arg(g, pick(g, [v, v + 1, kv - 1, kv - 2, 100, 65535, 2**31, INT64_MAX, INT64_MIN, -1, 0]), 0.8)
    return (r, k, n) if with_n else (r, k)


def gen_get_max(g):
    r, k, n = search_args(g, True)

    def oracle(result, exc):
        rv, kv, nv = i64_param(r), i64_param(k), i64_param(n)
        if UNKNOWN in (rv, kv, nv):
            return None
        if REFUSED in (rv, kv, nv):
            return expect(exc, {TypeError})
        if exc is not None:
            return f"raised {type(exc).__name__}: {exc}"
        if type(result) is not int:
            return f"returned {result!r}"
        if kv >= 1:
            want = nv if nv <= kv - 1 else largest_vertex(rv, kv, kv - 1, nv)
            if result != want:
                return f"returned {result}, not {want}"
        return None

    return Call("get_max", [r, k, n], [r, k, n], None, oracle)


def gen_get_max_vertex(g):
    r, k, n = search_args(g, True)
    guess = flag_arg(g)
    extra = int_arg(g, int(g.integers(0, 10)), 0.6)

    def oracle(result, exc):
        rv, kv, nv = i64_param(r), i64_param(k), i64_param(n)
        ev, gv = u64_param(extra), flag_value(guess)
        if UNKNOWN in (rv, kv, nv, ev, gv):
            return None
        if REFUSED in (rv, kv, nv, ev):
            return expect(exc, {TypeError})
        if exc is not None:
            return f"raised {type(exc).__name__}: {exc}"
        if type(result) is not int:
            return f"returned {result!r}"
        if kv >= 1:
            start = find_k_reference(rv, kv) if gv else kv - 1
            if start is None:
                return None
            if C(start, kv) > rv % TWO_64:
                want = start + 1
            elif nv <= start:
                want = nv + 1
            else:
                want = largest_vertex(rv, kv, start, nv) + 1
            if result != as_int64(want):
                return f"returned {result}, not {as_int64(want)}"
        return None

    return Call("get_max_vertex", [r, k, n, guess, extra], [r, k, n, guess, extra], None, oracle)


def find_k_reference(r, k):
    """find_k where it is a closed form without floating point; None for the float guesses."""
    if r == 0:
        return as_int64(k - 1)
    if k == 1:
        return r
    if k in (2, 3):
        return None
    return as_int64(k - 1)


def gen_find_k(g):
    r, k = search_args(g, False)

    def oracle(result, exc):
        rv, kv = i64_param(r), i64_param(k)
        if UNKNOWN in (rv, kv):
            return None
        if REFUSED in (rv, kv):
            return expect(exc, {TypeError})
        if exc is not None:
            return f"raised {type(exc).__name__}: {exc}"
        if type(result) is not int or not INT64_MIN <= result <= INT64_MAX:
            return f"returned {result!r}"
        want = find_k_reference(rv, kv)
        if want is not None and result != want:
            return f"returned {result}, not {want}"
        return None

    return Call("find_k", [r, k], [r, k], None, oracle)


GENERATORS = {
    "unrank_combs": gen_unrank_combs,
    "unrank_combs_k": gen_unrank_combs_k,
    "unrank_colex_bench": gen_unrank_colex_bench,
    "rank_combs_sorted": gen_rank_combs_sorted,
    "rank_combs_unsorted": gen_rank_combs_unsorted,
    "comb": gen_comb,
    "get_max_vertex": gen_get_max_vertex,
    "find_k": gen_find_k,
    "get_max": gen_get_max,
}


def generate(seed, index):
    g = np.random.default_rng([seed, index])
    name = FUNCTIONS[int(g.choice(len(FUNCTIONS), p=WEIGHTS))]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return GENERATORS[name](g)


# --- the checker ---------------------------------------------------------------------------------


def expect(exc, types):
    if exc is None:
        return "succeeded, but should have raised " + " or ".join(sorted(t.__name__ for t in types))
    if type(exc) not in types:
        return f"raised {type(exc).__name__} ({exc}), expected " + " or ".join(sorted(t.__name__ for t in types))
    return None


def expect_cast(exc):
    if isinstance(exc, RuntimeError) and str(exc).startswith("Unable to cast Python instance"):
        return None
    return f"raised {type(exc).__name__ if exc else 'nothing'}, expected the cast RuntimeError"


def allowed(name, exc):
    if type(exc) in ALLOWED:
        return True
    return (name == "rank_combs_unsorted" and type(exc) is RuntimeError
            and str(exc).startswith("Unable to cast Python instance"))


def fingerprint(x, depth=0):
    """A comparable picture of x, including the bytes of every array it holds."""
    if isinstance(x, Arr):
        return (fingerprint(x.obj, depth), None if x.base is None else x.base.tobytes())
    if isinstance(x, np.ndarray):
        return ("ndarray", type(x).__name__, x.dtype.str, x.shape, x.strides, x.flags.writeable,
                x.tobytes() if x.dtype.kind != "O" else tuple(map(id, x.ravel().tolist())))
    if isinstance(x, (list, tuple)) and depth < 4:
        return (type(x).__name__, id(x), tuple(fingerprint(v, depth + 1) for v in x))
    if isinstance(x, bytearray):
        return ("bytearray", bytes(x))
    return (type(x).__name__, repr(x))


def describe_value(x, is_out=False):
    if isinstance(x, np.ndarray):
        flags = "".join(c for c, f in (("C", x.flags.c_contiguous), ("F", x.flags.f_contiguous),
                                       ("W", x.flags.writeable), ("A", x.flags.aligned)) if f)
        with np.printoptions(threshold=40, edgeitems=8, linewidth=1000):
            body = np.array2string(x.ravel()) if x.dtype.kind != "V" else repr(x.ravel()[:8].tolist())
        return (f"{type(x).__name__}(dtype={x.dtype.str}, shape={x.shape}, strides={x.strides}, "
                f"flags={flags}" + (", sentinel-filled)" if is_out else f", values={body})"))
    if isinstance(x, (list, tuple)) and len(repr(x)) > 400:
        return repr(x)[:400] + f"... ({len(x)} items)"
    return repr(x)


def describe(call):
    out = call.out.obj if call.out is not None else None
    return f"{call.name}(" + ", ".join(describe_value(a, a is out) for a in call.args) + ")"


def resident_megabytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_SIZE // 2**20


PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def run_call(call, m):
    before = [fingerprint(x) for x in call.inputs]
    if call.out is not None:
        call.out.before = call.out.raw.copy()
    fn = getattr(m, call.name)
    resident = resident_megabytes()
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        start = time.perf_counter()
        try:
            result, exc = fn(*call.args), None
        except Exception as e:  # judged below
            result, exc = None, e
        elapsed = time.perf_counter() - start
    grown = resident_megabytes() - resident
    problems = []
    if elapsed > CALL_SECONDS:
        problems.append(("slow", f"took {elapsed:.1f} s"))
    if grown > CALL_MEGABYTES:
        problems.append(("memory", f"grew the process by {grown} MB"))
    if exc is not None and not allowed(call.name, exc):
        problems.append(("exception", f"raised {type(exc).__name__}: {exc}"))
    if [fingerprint(x) for x in call.inputs] != before:
        problems.append(("input", "an input or the buffer it is a view of changed"))
    out = call.out
    if out is not None:
        if exc is not None or not out.proper:
            if not np.array_equal(out.raw, out.before):
                changed = np.nonzero(out.raw != out.before)[0]
                problems.append(("out", f"{'failed' if exc else 'refused-out'} call changed the out buffer "
                                 f"at bytes {changed[:8].tolist()}"))
        else:
            guards = np.r_[0:out.start, out.stop:out.raw.size]
            if not np.array_equal(out.raw[guards], out.before[guards]):
                changed = guards[out.raw[guards] != out.before[guards]]
                problems.append(("guard", f"wrote outside out (byte offsets {changed[:8].tolist()}, "
                                 f"out is bytes {out.start}..{out.stop})"))
        if exc is None and result is not None:
            problems.append(("result", f"returned {result!r} instead of None"))
        if exc is None and out.proper and call.vertex_bound is not None:
            now = out.raw[out.start:out.stop].copy().view(np.uint16)
            was = out.before[out.start:out.stop].copy().view(np.uint16)
            changed = now[now != was]
            if changed.size and int(changed.max()) >= max(call.vertex_bound, 1):
                problems.append(("vertex", f"wrote {int(changed.max())}, not below n = {call.vertex_bound}"))
    if call.oracle is not None and not problems:
        try:
            problem = call.oracle(result, exc)
        except Exception as e:  # the oracle itself must not hide a finding
            problem = f"oracle failed: {type(e).__name__}: {e}"
        if problem:
            problems.append(("oracle", problem))
    return problems


# --- the campaign ------------------------------------------------------------------------------


def features(call):
    """Traits of a call that a crash can be blamed on, so that later calls avoid them."""
    found = set()
    for a in call.args:
        if isinstance(a, np.ndarray):
            if not a.flags.aligned:
                found.add("unaligned")
            if a.size == 0 and a.ndim >= 2 and max(a.shape) > 0:
                found.add("empty multi-axis")
        elif isinstance(a, (list, tuple)) and a and all(isinstance(v, (list, tuple)) and not v for v in a):
            found.add("empty multi-axis")
    return found


def campaign(seed, seconds, start, progress_path, avoid=()):
    """Runs calls start, start + 1, ... for `seconds`, skipping calls with a
    trait in `avoid`; returns the summary."""
    import _combinatorial as m

    deadline = time.monotonic() + seconds
    with open(progress_path, "r+b") as f:
        progress = mmap.mmap(f.fileno(), PROGRESS.size)
    reports, seen = [], {}
    counts = [0] * len(FUNCTIONS)
    index, skipped = start, 0
    while time.monotonic() < deadline:
        call = generate(seed, index)
        if avoid and features(call) & set(avoid):
            skipped += 1
            index += 1
            continue
        slot = FUNCTIONS.index(call.name)
        counts[slot] += 1
        PROGRESS.pack_into(progress, 0, index, 0, skipped, *counts)
        problems = run_call(call, m)
        if problems:
            kind = (call.name, problems[0][0], re.sub(r"\d+", "#", problems[0][1])[:60])
            seen[kind] = seen.get(kind, 0) + 1
            if seen[kind] == 1 and len(reports) < MAX_REPORTS:
                reports.append(f"call {index} (seed {seed}): {describe(call)}\n  "
                               + "\n  ".join(text for _, text in problems)
                               + f"\n  replay: python tests/test_fuzz.py replay {seed} {index}")
        index += 1
    PROGRESS.pack_into(progress, 0, index, 1, skipped, *counts)
    return {"reports": reports, "repeats": {" / ".join(k): v for k, v in seen.items()}}


def fuzz_settings():
    seconds = float(os.environ.get("COMBINATORIAL_FUZZ_SECONDS", DEFAULT_SECONDS))
    text = os.environ.get("COMBINATORIAL_FUZZ_SEED", "")
    if text == "random":
        seed = secrets.randbits(32)
    else:
        seed = int(text) if text else DEFAULT_SEED
    return seed, seconds


def sanitizer_lines(stderr):
    lines = stderr.splitlines()
    keep = [i for i, line in enumerate(lines)
            if "ERROR: AddressSanitizer" in line or "runtime error" in line or "Fatal Python error" in line
            or "SUMMARY:" in line or "Segmentation fault" in line or "Aborted" in line]
    picked = []
    for i in keep[:3]:
        picked += [line[:240] for line in lines[i:i + 3] if "note: pointer" not in line]
    return "\n    ".join(picked or [line[:240] for line in lines[-15:]])


def test_fuzz_every_function_with_hostile_arguments(tmp_path):
    import _combinatorial as m

    seed, seconds = fuzz_settings()
    print(f"\nfuzz: seed {seed}, {seconds:.0f} s, {'sanitized' if SANITIZED else 'release'} build")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.abspath(m.__file__)),
                                         env.get("PYTHONPATH", "")])
    progress_path = tmp_path / "progress"
    result_path = tmp_path / "summary.json"
    reports, repeats, per_function = [], {}, [0] * len(FUNCTIONS)
    start, crashes, skipped, avoid = 0, 0, 0, set()
    end = time.monotonic() + seconds
    while True:
        remaining = max(1.0, end - time.monotonic())
        progress_path.write_bytes(PROGRESS.pack(-1, 0, 0, *[0] * len(FUNCTIONS)))
        result_path.unlink(missing_ok=True)
        with open(tmp_path / "stderr", "w+") as err:
            proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "child", str(seed),
                                     str(remaining), str(start), str(progress_path), str(result_path),
                                     ",".join(sorted(avoid))],
                                    env=env, stdout=err, stderr=subprocess.STDOUT)
            last, last_change, killed = -1, time.monotonic(), False
            while proc.poll() is None:
                time.sleep(0.2)
                index = PROGRESS.unpack(progress_path.read_bytes())[0]
                if index != last:
                    last, last_change = index, time.monotonic()
                elif time.monotonic() - last_change > STALL_SECONDS:
                    proc.kill()
                    proc.wait()
                    killed = True
            err.seek(0)
            stderr = err.read()
        index, finished, child_skipped, *counts = PROGRESS.unpack(progress_path.read_bytes())
        per_function = [a + b for a, b in zip(per_function, counts)]
        skipped += child_skipped
        if proc.returncode == 0 and finished and result_path.exists():
            summary = json.loads(result_path.read_text())
            reports += summary["reports"]
            for key, value in summary["repeats"].items():
                repeats[key] = repeats.get(key, 0) + value
            break
        if index < 0:
            reports.append(f"the fuzzing process failed before its first call:\n    {stderr[-3000:]}")
            break
        crashes += 1
        what = f"hung for {STALL_SECONDS:.0f} s" if killed else f"died (exit status {proc.returncode})"
        crashed = generate(seed, index)
        blamed = features(crashed) - avoid
        avoid |= blamed
        reports.append(f"call {index} (seed {seed}) {what}: {describe(crashed)}\n"
                       f"    {sanitizer_lines(stderr)}\n"
                       f"  replay: python tests/test_fuzz.py replay {seed} {index}"
                       + (f"\n  later calls with {', '.join(sorted(blamed))} arrays were skipped" if blamed else ""))
        start = index + 1
        if crashes >= MAX_CRASHES or time.monotonic() >= end:
            break
    calls = sum(per_function)
    counts = ", ".join(f"{name} {count}" for name, count in zip(FUNCTIONS, per_function))
    print(f"fuzz: seed {seed}: {calls} calls ({counts}), {crashes} crashes, {skipped} skipped")
    for key, value in sorted(repeats.items()):
        print(f"fuzz: {value} x {key}")
    assert not reports, f"seed {seed}, {calls} calls:\n\n" + "\n\n".join(reports)


def replay(seed, index):
    """Rebuilds one call and runs it here, printing what the checker finds."""
    import _combinatorial as m

    call = generate(seed, index)
    print(describe(call))
    problems = run_call(call, m)
    print("\n".join(text for _, text in problems) or "no problem")


if __name__ == "__main__":
    if sys.argv[1] == "child":
        seed, seconds, start = int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
        avoid = [a for a in sys.argv[7].split(",") if a] if len(sys.argv) > 7 else []
        summary = campaign(seed, seconds, start, sys.argv[5], avoid)
        with open(sys.argv[6], "w") as f:
            json.dump(summary, f)
    elif sys.argv[1] == "replay":
        replay(int(sys.argv[2]), int(sys.argv[3]))
