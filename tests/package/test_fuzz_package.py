"""Fuzzing the package's public functions, in memory and over Dask, with random and hostile arguments.

Every call of comb, rank, unrank, combinations, iter_combinations, sample,
faces, cofaces, to_int and the combinatorial.dask namesakes of all but to_int (a smaller share: they
are slow; synchronous scheduler) gets arguments from one pool of awkward
values: integers at every boundary of n, k, ranks and sizes, every dtype
(integers of each width and byte order, uint128 for ranks, bools, floats
with NaN, complex, objects holding huge and negative ints, strings,
datetimes, structured arrays that are not uint128),
every layout (0-d, empty, many axes, broadcast, reversed, Fortran, read-only,
unaligned, memory-mapped files, an input inside `out`), and hostile values
for workers, rng, order, start, stop, chunk_rows, replace, assume_sorted and
dtype.
The checker demands that

- only TypeError, ValueError, OverflowError, MemoryError or IndexError come out;
- every outcome is one the arguments justify: a call with nothing wrong
  succeeds, a call with something wrong raises one of the errors its faults
  call for, and a message about a value or an element names the value that
  was passed (and the element's index, the first one in memory);
- results match oracles that share nothing with the package: math.comb,
  itertools, and the Python-int rank formulas (lex: C(n, k) - 1 - sum
  C(n - 1 - c_i, k - i); colex: sum C(c_i, i + 1)), in the dtypes the rules
  give: vertices uint16 up to n = 65536 and uint32 up to 2^32; ranks int64
  up to C(n, k) = 2^63, uint64 up to 2^64, uint128 up to 2^128, or the
  dtype asked for;
- inputs are never modified, and a Generator is left as it was by a call
  that fails;
- `out` sits in a larger sentinel-filled buffer: after a failure nothing in
  it changed, after a success nothing outside `out`;
- calls under a memory limit (RLIMIT_AS 1 GiB above the process, release
  build only: ASan reserves terabytes of address space) that need more raise
  MemoryError instead of crashing, and results too large for any machine are
  refused with MemoryError in every build.

The campaign runs in a child process so that a crash or a sanitizer report
comes with its call; the child is restarted after it. Each call draws from
its own generator seeded by (seed, call number), so one call can be rebuilt:

    python tests/package/test_fuzz_package.py replay SEED CALL

Environment: COMBINATORIAL_PACKAGE_FUZZ_SECONDS (default 60),
COMBINATORIAL_PACKAGE_FUZZ_SEED (default fixed; "random" picks one and prints
it) and COMBINATORIAL_PACKAGE_FUZZ_CALLS (stop after that many calls).
"""
import itertools
import json
import math
import mmap
import os
import re
import resource
import secrets
import struct
import subprocess
import sys
import tempfile
import time
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

try:
    import combinatorial
except ModuleNotFoundError as error:  # only a missing package skips, not a broken one
    if error.name != "combinatorial":
        raise
    pytest.skip("the package combinatorial is not installed", allow_module_level=True)

SANITIZED = os.environ.get("COMBINATORIAL_SANITIZED") == "1"
DEFAULT_SEED = 20261209
DEFAULT_SECONDS = 60.0
CALL_SECONDS = 20.0 if SANITIZED else 5.0  # a slower call is reported as a hang
STALL_SECONDS = 120.0  # the child is killed when no call ends for this long
MAX_CRASHES, MAX_REPORTS = 8, 16

TWO_63, TWO_64, TWO_128 = 2**63, 2**64, 2**128
MAX_N = 2**32  # the most vertices
U128 = np.dtype([("hi", "<u8"), ("lo", "<u8")])
WORD = TWO_64 - 1
HEADROOM = 1 << 30  # address space left to a memory-limited call
SMALL = 1 << 24  # the most bytes a result may need outside the memory-limited calls
LIMITED = 1 << 31  # a memory-limited call needing this much must fail
HUGE = 1 << 40  # more than any machine this runs on has: refused before allocating
ORACLE_WORK = 4000  # math.comb calls an oracle may make
SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") else None  # memory-mapped inputs, off the disk

FUNCTIONS = ["comb", "rank", "unrank", "combinations", "iter_combinations", "sample", "faces", "cofaces", "to_int",
             "dask.comb", "dask.rank", "dask.unrank", "dask.faces", "dask.cofaces", "dask.combinations",
             "dask.sample"]
WEIGHTS = np.array([4, 5, 5, 4, 2, 4, 3, 3, 1, .25, .3, .3, .15, .15, .3, .3])
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, IndexError)

# The call under way, whether the child finished, and the calls made per function.
PROGRESS = struct.Struct("<2q" + "q" * len(FUNCTIONS))

# --- values ------------------------------------------------------------------------------------


class Index:
    """An integer reachable only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class Sub(np.ndarray):
    """An ndarray subclass, to be taken like a plain array."""


BIG = [2**16, 2**31, 2**32, 2**32 + 1, TWO_63 - 1, TWO_63, TWO_64 - 1, TWO_64, TWO_64 + 1, 2**100, TWO_128]
NEGATIVE = [-1, -2, -65536, -TWO_63, -TWO_63 - 1, -TWO_64, -2**100]
REFUSED, UNKNOWN = "refused", "unknown"


def hostile(g):
    return pick(g, [None, 1.0, 2.5, -0.0, math.nan, math.inf, "3", b"3", "", [], [3], (3,), {}, 1j,
                    Fraction(7, 2), Decimal(3), object(), True, False, np.float64(3), np.float32(2.0**70),
                    np.bool_(True), np.array(3), np.array([3]), np.str_("3"), np.datetime64(3, "s"),
                    np.complex64(1)])


def pick(g, seq):
    return seq[int(g.integers(len(seq)))]


def below(g, m):
    """A uniform int in [0, m), m up to 2^64."""
    return int(g.integers(0, m)) if m <= TWO_63 else int.from_bytes(g.bytes(16), "little") % m


def chance(g, p):
    return g.random() < p


def dress(g, v):
    """v as a Python int mostly, else as a NumPy integer or an __index__ object."""
    roll = g.random()
    if roll < 0.88:
        return v
    if roll < 0.93 and -TWO_63 <= v < TWO_63:
        return np.int64(v)
    if roll < 0.96 and 0 <= v < TWO_64:
        return pick(g, [np.uint64, np.uint32, np.uint16])(v) if v < 65536 else np.uint64(v)
    return Index(v)


def int_arg(g, typical, p=0.85):
    if chance(g, p):
        return dress(g, typical)
    roll = g.random()
    return pick(g, BIG) if roll < 0.4 else pick(g, NEGATIVE) if roll < 0.7 else hostile(g)


def as_int(x):
    """An integer parameter as the contract reads it: an int, REFUSED (TypeError) or UNKNOWN."""
    if isinstance(x, (bool, np.bool_)):
        return REFUSED
    if isinstance(x, (int, np.integer)):
        return int(x)
    if isinstance(x, Index):
        return int(x.value)
    if isinstance(x, (np.ndarray, np.generic)) and not isinstance(x, (np.floating, np.complexfloating, np.str_)):
        return UNKNOWN
    return REFUSED


def workers_arg(g, default=None):
    if chance(g, 0.8):
        return default
    return pick(g, [-1, -2, -3, -100, -2**70, 0, 1, 2, 3, 64, 2**16, 2**16 + 1, TWO_63, 2**100, True, False,
                    np.bool_(True), 1.0, 2.5, "2", np.int64(2), np.uint8(1), Index(2), [], math.nan, None])


def order_arg(g):
    if chance(g, 0.9):
        return pick(g, ["lex", "colex"])
    return pick(g, ["Lex", "", "colex ", "lexx", b"lex", None, 0, 1, True, ["lex"], np.str_("colex"), 1.5])


def flag_arg(g):
    if chance(g, 0.88):
        return bool(g.integers(2))
    return pick(g, [np.bool_(True), np.bool_(False), 0, 1, None, "yes", "", [], np.array([True]),
                    np.array([True, False]), 1.5, math.nan])


def rng_arg(g):
    roll = g.random()
    if roll < 0.5:
        return int(g.integers(0, 2**32))
    if roll < 0.7:
        return np.random.default_rng(int(g.integers(2**32)))
    return pick(g, [None, 0, TWO_64, 2**200, -1, -2**70, np.int64(5), [1, 2, 3], [-1], (4, 5),
                    np.random.SeedSequence(9), np.random.PCG64(3), np.array([1, 2], np.uint32), True,
                    np.bool_(False), 1.5, "seed", b"x", object(), np.random.RandomState(1), [1.5]])


def choice_of_n(g):
    roll = g.random()
    if roll < 0.6:
        return int(g.integers(0, 13))
    if roll < 0.85:
        return pick(g, [13, 16, 20, 31, 32, 33, 34, 40, 60, 63, 64, 65, 66, 67, 68, 100, 130, 132, 200, 361, 387, 1000,
                        4093, 20000, 32302, 65534, 65535, 65536])
    if roll < 0.93:
        return pick(g, [65537, 70000, 10**6, 4801281, 132496421, MAX_N - 1, MAX_N])
    return pick(g, [MAX_N + 1, TWO_63, TWO_64, 2**100, -1, -65536]) if chance(g, 0.7) else hostile(g)


def choice_of_k(g, n):
    nv = n if isinstance(n, int) and 0 <= n <= MAX_N else 8
    roll = g.random()
    if roll < 0.65:
        return int(g.integers(0, min(nv, 8) + 1))
    if roll < 0.9:
        return pick(g, [0, 1, 2, 3, 4, 5, 6, 10, 11, nv // 2, nv - 1, nv, nv + 1, nv - 2, 33, 34, 35, 65, 66, 67])
    return pick(g, [TWO_64, 2**100, -1, -TWO_63]) if chance(g, 0.6) else hostile(g)


def dtype_choice(g):
    """A dtype= argument for the functions returning ranks, or None for none passed."""
    if chance(g, 0.75):
        return None
    return pick(g, [np.int64, np.uint64, U128, object, "int64", "u8", int, np.dtype(object),
                    np.int32, np.uint16, "float64", "U4", np.dtype([("hi", ">u8"), ("lo", ">u8")]), "foo", 3, True])


def expect_dtype(e, dtype, count, named=None):
    """The dtype ranks below `count` get, with the reasons `dtype` gives (and C(n, k) = `count`,
    named by the text `named`, whichever is checked first); None where refused."""
    if count >= TWO_128:
        e.add(OverflowError, named)
    if dtype is None:
        return rank_dtype(count)
    try:
        wanted = np.dtype(dtype)
    except TypeError:
        e.add(TypeError)
        return None
    if wanted not in (np.dtype(np.int64), np.dtype(np.uint64), U128, np.dtype(object)):
        e.add(TypeError, "dtype")
        return None
    if count >= TWO_128 or wanted.kind in "iu" and count - 1 > np.iinfo(wanted).max:
        e.add(OverflowError, str(wanted) if count < TWO_128 else None)
        return None
    return wanted


# --- arrays --------------------------------------------------------------------------------------

INT_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
              ">i2", ">u2", ">i4", ">u4", ">i8", ">u8"]
OTHER_DTYPES = [np.bool_, np.float16, np.float32, np.float64, np.longdouble, np.complex64, np.complex128,
                "U12", "S12", "datetime64[s]", "timedelta64[ms]", "V8", "V16", [("a", "<u2"), ("b", "<u8")],
                [("hi", ">u8"), ("lo", ">u8")], [("lo", "<u8"), ("hi", "<u8")], [("hi", "<u8"), ("lo", "<i8")]]
LAYOUTS = ["c", "c", "c", "strided", "reversed", "fortran", "readonly", "unaligned", "broadcast", "memmap",
           "memmap_readonly", "subclass"]


def fits(dtype, low, high):
    info = np.iinfo(dtype)
    return info.min <= low and high <= info.max


class Arg:
    """An array argument, with how the package must see it: kind "ints" (its values, in C order,
    as exact Python ints), "refused" (TypeError) or "unknown"."""

    def __init__(self, obj, kind, values=None, shape=None, keep=(), mixed=False):
        self.obj, self.kind, self.values, self.shape = obj, kind, values, shape
        self.keep = list(keep)  # buffers it views, which must not change
        self.mixed = mixed  # integers but one: in blocks, another element's ValueError may come first


def refused_array(g, values, dt):
    dt = np.dtype(dt)
    if dt.names:
        arr = np.zeros(len(values), dt)
        arr[dt.names[-1]] = [v % 65536 for v in values]
        return arr
    if dt.kind == "b":
        return np.array([v != 0 for v in values], dt)
    if dt.kind in "fc":
        arr = np.array([float(v) for v in values], dt)
        if arr.size and chance(g, 0.3):
            arr[int(g.integers(arr.size))] = np.nan
        return arr
    if dt.kind in "US":
        return np.array([str(v) for v in values], dt)
    if dt.kind == "V":
        return np.frombuffer(bytes(range(256)) * (len(values) * dt.itemsize // 256 + 1), dt, len(values)).copy()
    return np.array([v % TWO_63 for v in values], np.int64).view(dt)


def lay_out(g, arr, shape, layout, tmp):
    """arr (1-D) with `shape` in `layout`, and the buffer it views."""
    size, dt = arr.size, arr.dtype
    if layout == "broadcast" and size > 1 and len(shape) >= 1:
        small = arr[:max(1, shape[-1])].reshape((1,) * (len(shape) - 1) + (max(1, shape[-1]),))[..., :shape[-1]]
        view = np.broadcast_to(small, shape)
        return view, small
    if layout == "unaligned" and dt.itemsize > 1 and dt.kind not in "OV" and not dt.names:
        raw = np.zeros(1 + size * dt.itemsize + int(g.integers(0, 4)), np.uint8)
        view = raw[1:1 + size * dt.itemsize].view(dt).reshape(shape)
        view[...] = arr.reshape(shape)
        return view, raw
    if layout.startswith("memmap") and dt.kind != "O" and size:
        path = os.path.join(tmp, f"m{int(g.integers(1 << 30))}")
        base = np.memmap(path, dtype=dt, mode="w+", shape=(size + 2,))
        base[1:-1] = arr
        if layout == "memmap_readonly":
            base = np.memmap(path, dtype=dt, mode="r", shape=(size + 2,))
        return base[1:-1].reshape(shape), base
    pre, post = int(g.integers(0, 3)), int(g.integers(0, 3))
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
    if layout == "subclass":
        view = view.view(Sub)
    return view, base


def distinct(g, m, k):
    """k distinct ints below m, in random order."""
    if k * 4 >= m:
        return [int(v) for v in g.permutation(m)[:k]]
    seen = {}
    while len(seen) < k:
        for v in g.integers(0, m, size=k).tolist():
            seen.setdefault(v, None)
    return list(seen)[:k]


def nest(values, shape):
    if not shape:
        return values[0]
    step = len(values) // shape[0] if shape[0] else 0
    if len(shape) == 1:
        return list(values)
    return [nest(values[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def wide_array(g, values, shape, tmp):
    """values (all in [0, 2^128)) as a uint128 array of `shape` in any layout, unaligned too."""
    size = len(values)
    flat = np.empty(size, U128)
    flat["hi"], flat["lo"] = [v >> 64 for v in values], [v & WORD for v in values]
    layout = pick(g, LAYOUTS)
    if layout == "unaligned":
        raw = np.zeros(1 + 16 * size, np.uint8)
        view = raw[1:].view(U128).reshape(shape)
        view[...] = flat.reshape(shape)
        base = raw
    else:
        view, base = lay_out(g, flat, shape, layout, tmp)
    got = np.asarray(view)
    return Arg(view, "ints", [int(h) << 64 | int(lo) for h, lo in zip(got["hi"].ravel().tolist(),
                                                                     got["lo"].ravel().tolist())], view.shape, [base])


def make_array(g, values, shape, tmp, lists=True, p_other=0.1, wide=False):
    """values (Python ints, C order) as an argument of `shape`: mostly an integer ndarray of any
    width and layout (uint128 too where `wide`), else an object array, nested lists, another dtype or junk."""
    values = [int(v) for v in values]
    if wide and chance(g, 0.15) and all(0 <= v < TWO_128 for v in values):
        return wide_array(g, values, shape, tmp)
    roll = g.random()
    if roll < 0.7:
        low, high = min(values, default=0), max(values, default=0)
        dts = [d for d in INT_DTYPES if fits(d, low, high)]
        if chance(g, 0.1) or not dts:
            dts = INT_DTYPES  # wrapped, as a C cast would
        dt = np.dtype(pick(g, dts))
        with np.errstate(all="ignore"):
            flat = np.array([v % 2**(8 * dt.itemsize) for v in values], dtype=dt.newbyteorder("=").str.replace("i", "u"))
            flat = flat.view(dt.newbyteorder("=")).astype(dt)
        view, base = lay_out(g, flat, shape, pick(g, LAYOUTS), tmp)
        got = [int(v) for v in np.asarray(view).ravel().tolist()]
        return Arg(view, "ints", got, view.shape, [base])
    if roll < 0.8:
        arr = np.empty(len(values), object)
        arr[:] = [np.int64(v) if chance(g, 0.2) and -TWO_63 <= v < TWO_63 else v for v in values]
        arr = arr.reshape(shape)
        if chance(g, 0.1) and arr.size:
            at, junk = int(g.integers(arr.size)), pick(g, [2.5, None, "3", True, np.float64(1), Index(3)])
            arr.ravel()[at] = junk
            if isinstance(junk, Index):  # an integer by __index__, as a scalar argument is
                values[at] = junk.value
                return Arg(arr, "ints", values, shape, [arr])
            return Arg(arr, "refused", shape=shape, keep=[arr], mixed=True)
        return Arg(arr, "ints", values, shape, [arr])
    if roll < 0.8 + (0.2 - p_other) and lists and shape and 0 not in shape[:-1]:  # [[], []] keeps its shape, [] does not
        obj = nest(values, shape)
        if isinstance(obj, list) and chance(g, 0.2):
            obj = tuple(obj)
        return Arg(obj, "ints", values, shape)
    if roll < 0.97 or not lists:
        with np.errstate(all="ignore"):
            arr = refused_array(g, values, pick(g, OTHER_DTYPES))
        view, base = lay_out(g, arr, shape, pick(g, ["c", "reversed", "readonly"]), tmp)
        return Arg(view, "refused", shape=shape, keep=[base])
    junk = list(values)
    if not junk:
        return Arg(hostile(g), "unknown")
    junk[int(g.integers(len(junk)))] = pick(g, [2.5, None, "3", math.nan, 1j, Fraction(1, 2)])
    return Arg(junk, "refused", shape=(len(junk),), mixed=True)


def random_shape(g, size_cap=20):
    roll = g.random()
    if roll < 0.08:
        return ()
    if roll < 0.55:
        return (int(g.integers(0, size_cap)),)
    if roll < 0.85:
        return (int(g.integers(0, 6)), int(g.integers(0, 6)))
    return tuple(int(x) for x in g.choice([1, 1, 2, 3, 0], int(g.integers(3, 8)), p=[.3, .2, .25, .2, .05]))


def unravel(flat, shape):
    return tuple(int(i) for i in np.unravel_index(flat, shape)) if shape else ()


# --- out arrays ----------------------------------------------------------------------------------


class Out:
    """An out argument inside a sentinel-filled buffer of bytes, for vertices of dtype `vertex`."""

    def __init__(self, obj, raw, needed, vertex):
        self.obj, self.raw = obj, raw
        self.faults = set()  # what the package must refuse it for
        if not isinstance(obj, np.ndarray):
            self.faults.add(TypeError)
        else:
            if obj.dtype != vertex or not obj.dtype.isnative or not obj.flags.c_contiguous or not obj.flags.aligned:
                self.faults.add(TypeError)
            if obj.shape != needed or not obj.flags.writeable:
                self.faults.add(ValueError)
        if isinstance(obj, np.ndarray) and obj.size:
            first = obj.__array_interface__["data"][0] - raw.__array_interface__["data"][0]
            self.start, self.stop = first, first + obj.nbytes
        else:
            self.start = self.stop = 0
        self.before = None


def out_arg(g, needed, tmp, vertex):
    """An out for vertices of dtype `vertex` in shape `needed`: mostly right, else of another shape, dtype or layout."""
    size = math.prod(needed) if len(needed) else 1
    shape = needed
    if chance(g, 0.15):
        shape = pick(g, [(size + 1,), (max(size - 1, 0),), (size,), needed[::-1], needed + (1,), ()])
    count = math.prod(shape) if shape else 1
    pre, post = int(g.integers(0, 9)), int(g.integers(1, 9))
    kind = g.choice(["plain", "subclass", "readonly", "unaligned", "strided", "fortran", "reversed", "dtype",
                     "memmap", "list", "scalar"], p=[.6, .04, .05, .05, .04, .04, .03, .06, .05, .02, .02])
    size = np.dtype(vertex).itemsize
    if kind == "memmap":
        path = os.path.join(tmp, f"o{int(g.integers(1 << 30))}")
        buf = np.memmap(path, dtype=vertex, mode="w+", shape=(pre + 2 * count + post,))
    else:
        buf = np.empty(pre + 2 * count + post, vertex)
    buf[:] = (np.arange(buf.size, dtype=np.uint64) * 40503 + int(g.integers(65536))) % 65536
    raw = buf.view(np.uint8)
    flat = buf[pre:pre + count]
    if kind == "unaligned":
        raw = np.frombuffer(bytearray(buf.tobytes()), np.uint8).copy()
        obj = raw[size * pre + 1:size * pre + 1 + size * count].view(vertex).reshape(shape)
    elif kind == "strided":
        obj = buf[pre:pre + 2 * count:2].reshape(shape)
    elif kind == "fortran" and len(shape) >= 2:
        obj = flat.reshape(shape[::-1]).T
    elif kind == "reversed":
        obj = flat[::-1].reshape(shape)
    elif kind == "dtype":
        others = [np.int16, np.uint8, np.uint16, np.uint32, np.int64, np.float32, ">u2", ">u4", np.bool_]
        dt = np.dtype(pick(g, [d for d in others if np.dtype(d) != vertex]))
        raw = np.frombuffer(bytearray(g.bytes(count * dt.itemsize + 16)), np.uint8).copy()
        obj = raw[8:8 + count * dt.itemsize].view(dt).reshape(shape)
    elif kind == "list":
        obj = np.zeros(shape, vertex).tolist()
    elif kind == "scalar":
        obj = hostile(g)
        obj = 3 if obj is None else obj  # None is no out at all
    else:
        obj = flat.reshape(shape)
        if kind == "readonly":
            obj.flags.writeable = False
        elif kind == "subclass":
            obj = obj.view(Sub)
    return Out(obj, raw, needed, vertex)


# --- oracles -------------------------------------------------------------------------------------


def C(n, k):
    """C(n, k), or TWO_128 for anything of 2^128 or more: from min(k, n - k) = 66 on it always is,
    which keeps huge arguments cheap."""
    if not 0 <= k <= n:
        return 0
    m = min(k, n - k)
    return TWO_128 if m >= 66 else min(math.comb(n, m), TWO_128)


MAX_COMB_BITS = 1 << 17  # the largest C(n, k) of two ints that comb computes


def comb_bits(n, k):
    """log2 C(n, k) for 0 <= k <= n, to well within a bit: a sum of logarithms of the factors, which
    keeps its precision however much larger n is than k (from 2^17 factors on, at least 2^17 bits)."""
    m = min(k, n - k)
    if m > MAX_COMB_BITS:
        return math.inf
    return math.fsum(math.log2(n - i) for i in range(m)) - math.lgamma(m + 1) / math.log(2)


def vertex_dtype(n):
    return np.dtype(np.uint16) if n <= 65536 else np.dtype(np.uint32)


def ints_of(array):
    """An array's values as Python ints in C order, uint128 ones included."""
    array = np.asarray(array)
    if array.dtype == U128:
        return [int(h) << 64 | int(lo) for h, lo in zip(array["hi"].ravel().tolist(), array["lo"].ravel().tolist())]
    return [int(v) for v in array.ravel().tolist()]


def rank_of(row, n, order):
    s, k = sorted(row), len(row)
    if k > 64 and 2 * k > n:  # rows of up to n vertices: through their complement of under 66
        return rank_by_complement(np.setdiff1d(np.arange(n), np.asarray(s, np.int64)).tolist(), n, order)
    if order == "colex":
        return sum(math.comb(v, i + 1) for i, v in enumerate(s))
    return math.comb(n, k) - 1 - sum(math.comb(n - 1 - v, k - i) for i, v in enumerate(s))


def rank_by_complement(complement, n, order):
    """The rank of the subset of {0..n-1} whose complement is `complement` (sorted): complements
    reverse colex order, and the lex rank is the colex rank of the mirrored complement."""
    k = n - len(complement)
    if order == "colex":
        return math.comb(n, k) - 1 - rank_of(complement, n, "colex")
    return rank_of(sorted(n - 1 - v for v in complement), n, "colex")


def complement_of_rank(r, n, k, order):
    """The complement (sorted) of the k-subset of rank r, for k near n."""
    if order == "colex":
        return unrank_of(math.comb(n, k) - 1 - r, n, n - k, "colex")
    return tuple(sorted(n - 1 - v for v in unrank_of(r, n, n - k, "colex")))


def nth_outside(j, sorted_values):
    """The j-th smallest (from 0) non-negative integer not among `sorted_values`."""
    v = j
    for c in sorted_values:
        if c > v:
            break
        v += 1
    return v


def unrank_of(r, n, k, order):
    """The combination of rank r, by search over math.comb."""
    if order == "lex":
        return tuple(sorted(n - 1 - v for v in unrank_of(math.comb(n, k) - 1 - r, n, k, "colex")))
    row, top = [], n - 1
    for i in range(k, 0, -1):
        lo, hi = i - 1, top  # the largest c with C(c, i) <= r
        while lo < hi:
            mid = (lo + hi + 1) // 2
            lo, hi = (mid, hi) if math.comb(mid, i) <= r else (lo, mid - 1)
        row.append(lo)
        r -= math.comb(lo, i)
        top = lo - 1
    return tuple(row[::-1])


def all_rows(n, k, order):
    rows = list(itertools.combinations(range(n), k))
    return rows if order == "lex" else sorted(rows, key=lambda t: t[::-1])


def sampled(count, cost):
    """Indices to check of `count` items costing `cost` each: all, or an even spread within budget."""
    if count == 0:
        return []
    step = max(1, count * max(cost, 1) // ORACLE_WORK)
    picks = list(range(0, count, step))
    return picks + ([count - 1] if picks[-1] != count - 1 else [])


class Expect:
    """What a call may do: the errors its arguments justify, each as (type, text the message must
    hold or None, the element index it must name or None)."""

    def __init__(self):
        self.reasons = []
        self.unknown = False  # some argument's fate is not predicted: any allowed outcome

    def add(self, exc, text=None, index=None):
        self.reasons.append((exc, text, index))

    def integer(self, x, name, upper=None):
        """Reasons for an integer parameter; its value, or None when it is refused or unknown."""
        v = as_int(x)
        if v is UNKNOWN:
            self.unknown = True
        elif v is REFUSED:
            self.add(TypeError, name)
        elif v < 0:
            self.add(ValueError, str(v))
        elif upper is not None and v > upper:
            self.add(ValueError, str(v))
        else:
            return v
        return None

    def order(self, x):
        if isinstance(x, str) and x in ("lex", "colex"):
            return str(x)
        self.add(ValueError, repr(x))
        if not isinstance(x, str):
            self.add(TypeError)
        return None

    def workers(self, x):
        if x is None:
            return
        v = as_int(x)
        if v is UNKNOWN:
            self.unknown = True
        elif v is REFUSED:
            self.add(TypeError, "workers")
        elif v == 0:
            self.add(ValueError, "workers")

    def flag(self, x, name):
        if not isinstance(x, (bool, np.bool_)):
            self.add(TypeError, name)

    def truth(self, x):
        try:
            return bool(x)
        except Exception as e:
            self.add(type(e))
            return None

    def rng(self, x):
        if isinstance(x, (bool, np.bool_)):
            self.add(TypeError, "rng")
        elif isinstance(x, (int, np.integer)) and int(x) < 0 or isinstance(x, list) and any(
                isinstance(v, int) and v < 0 for v in x):
            self.add(ValueError)
        elif isinstance(x, (float, str, bytes)) or type(x) is object:
            self.add(TypeError, "rng")
        elif not (x is None or isinstance(x, (int, np.integer, np.random.Generator, np.random.SeedSequence,
                                             np.random.BitGenerator))
                  or isinstance(x, (list, tuple)) and all(type(v) is int for v in x)
                  or isinstance(x, np.ndarray) and x.dtype.kind == "u"):
            self.unknown = True

    def array(self, arg, name, dask=False):
        if arg.kind == "refused":
            self.add(TypeError, name)
            self.unknown |= dask and arg.mixed
        elif arg.kind != "ints":  # such as a hostile array drawn for a scalar
            self.unknown = True
        return arg.kind == "ints"

    def need(self, nbytes, limited, lazy=False):
        """A result of nbytes: refused when no machine has that much, or under the limit. Sizes
        between would really be allocated (or not, by chance): the call is drawn anew. A lazy (Dask)
        result that large is never computed here, so nothing would refuse it: drawn anew too."""
        if lazy and nbytes > SMALL:
            raise Resize
        if nbytes >= HUGE or limited and nbytes >= LIMITED:
            self.add(MemoryError)
        elif nbytes > SMALL:
            raise Resize


class Resize(Exception):
    """A call drawn too large to run, or of an unpredictable size: drawn again."""


def judge(e, exc, first_only):
    """Whether an exception is one of the outcomes `e` allows: a problem text or None."""
    matching = [r for r in e.reasons if isinstance(exc, r[0])]
    if not matching:
        want = " or ".join(sorted({r[0].__name__ for r in e.reasons})) or "nothing"
        return f"raised {type(exc).__name__} ({str(exc)[:300]}), expected {want}"
    index = getattr(exc, "index", None)
    text = str(exc)
    if index is not None:
        named = [r for r in matching if r[2] is not None]
        if first_only:
            named = named[:1]  # in memory, the first offender in C order
        if not any(tuple(index) == r[2] and (r[1] is None or r[1] in text) for r in named):
            want = "; ".join(f"{r[1]} at {r[2]}" for r in named[:3])
            return f"{type(exc).__name__} names index {tuple(index)}: {text[:300]}; expected {want or 'no index'}"
        return None
    if all(r[1] is not None for r in matching) and not any(r[1] in text for r in matching):
        want = " or ".join(repr(r[1]) for r in matching[:4])
        return f"{type(exc).__name__} message {text[:300]!r} names none of {want}"
    return None


def check_rows(rows, n, k, order, ranks, exact=None):
    """rows (of n's vertex dtype, k columns) strictly increasing, below n, and of the given ranks."""
    if not isinstance(rows, np.ndarray) or rows.dtype != vertex_dtype(n):
        return f"returned {type(rows).__name__} {getattr(rows, 'dtype', '')}, not {vertex_dtype(n)} rows"
    if rows.size != len(ranks) * k:
        return f"returned {rows.size} vertices, not {len(ranks)} rows of {k}"
    flat = rows.reshape(len(ranks), k)
    if k and flat.size:
        wide = flat.astype(np.int64)
        if wide.max() >= n:
            return f"wrote vertex {int(wide.max())}, not below n = {n}"
        if k > 1 and not (np.diff(wide, axis=1) > 0).all():
            bad = int(np.nonzero((np.diff(wide, axis=1) <= 0).any(axis=1))[0][0])
            return f"row {bad} is {wide[bad].tolist()[:20]}, not strictly increasing"
    if exact is not None:
        for i, r in enumerate(ranks):
            if tuple(flat[i].tolist()) != exact[r]:
                return f"rank {r} gave {flat[i].tolist()}, not {list(exact[r])}"
        return None
    for i in sampled(len(ranks), k):
        got = rank_of(flat[i].tolist(), n, order)
        if got != ranks[i]:
            return f"rank {ranks[i]} gave {flat[i].tolist()[:20]}, which ranks back to {got}"
    return None


def rank_dtype(count):
    """The dtype of ranks below `count`, None where they do not fit 128 bits."""
    if count >= TWO_128:
        return None
    return np.dtype(np.int64) if count <= TWO_63 else np.dtype(np.uint64) if count <= TWO_64 else U128


# --- calls ---------------------------------------------------------------------------------------


class Call:
    def __init__(self, name, run, args, expect, check=None, inputs=(), outs=(), generators=(), limited=False):
        self.name, self.args, self.expect, self.check = name, args, expect, check
        # A Dask call is computed too (where small), for what its blocks raise.
        self.run = (lambda: dask_result(run())) if name.startswith("dask.") else run
        self.inputs = list(inputs)  # whatever must be as it was after the call
        self.outs = list(outs)
        self.generators = list(generators)  # left as they were by a failing call
        self.limited = limited
        self.dask = name.startswith("dask.")


def functions(name):
    if name.startswith("dask."):
        import combinatorial.dask as cd
        return getattr(cd, name[5:])
    return getattr(combinatorial, name)


def dask_array(g, arg):
    """arg as a Dask array in random chunks, or as it is (the layer wraps array-likes)."""
    import dask.array as da
    if not isinstance(arg.obj, np.ndarray) or chance(g, 0.15):
        return arg.obj
    chunks = pick(g, ["auto", 1 if arg.obj.size <= 4096 else 64, 2, 3, -1]) if arg.obj.ndim else ()
    if chunks == "auto" and (arg.obj.dtype.kind == "O" or arg.obj.size == 0):
        chunks = -1  # dask cannot size objects, and divides by zero for some empty shapes
    return da.from_array(arg.obj, chunks=chunks)


def dask_result(result, limit=1 << 26):
    """A computed Dask array, or the lazy one when it is too large to compute."""
    import dask.array as da
    if not isinstance(result, da.Array):
        raise AssertionError(f"returned {type(result).__name__}, not a dask array")
    if math.isnan(math.prod(result.shape)) or math.prod(result.shape) * result.dtype.itemsize > limit:
        return result
    return np.asarray(result.compute())  # a 0-d array computes to a NumPy scalar


def gen_comb(g, tmp, limited, dask=False):
    e = Expect()
    form = pick(g, ["ints", "ints", "arrays", "array_int", "int_array", "huge"] + ["limited"] * limited)
    if dask and form in ("ints", "huge"):
        form = "arrays"
    name = "dask.comb" if dask else "comb"
    workers = workers_arg(g, 1 if dask else None)
    e.workers(workers)
    if form == "ints":
        n = int_arg(g, pick(g, [int(g.integers(0, 70)), 65535, 200, 2**64, 2**70, 10**30]))
        k = int_arg(g, pick(g, [int(g.integers(0, 40)), 2, 34, 100, 2**64, 2**70]))
        nv, kv = e.integer(n, "n"), e.integer(k, "k")
        if any(isinstance(x, (Index, list, tuple, np.ndarray)) for x in (n, k)):
            e.unknown = True  # not an integer scalar: read as an array

        def check(result):
            want = math.comb(nv, kv)
            if type(result) is not int or result != want:
                return f"returned {result!r}, not {want}"
        if nv is not None and kv is not None and kv <= nv:
            # The exact int as math.comb gives it, for every value of up to 2^17 bits; OverflowError
            # where a lower bound of its size passes 2^17 bits; either between. Values of many bits
            # are not compared.
            m = min(kv, nv - kv)
            bits = comb_bits(nv, kv)
            bound = m if m > MAX_COMB_BITS else m * math.log2(nv - m + 1) - math.lgamma(m + 1) / math.log(2)
            if bound > MAX_COMB_BITS + 64:
                e.add(OverflowError, f"C({nv}, {kv})")
            elif bits > MAX_COMB_BITS - 64:
                e.unknown = True
            elif bits > 1 << 15:
                check = None
        return Call(name, lambda: functions(name)(n, k, workers=workers), [n, k, workers], e, check)

    def operand(values_pool):
        shape = random_shape(g, 12)
        size = math.prod(shape)
        values = [pick(g, values_pool) for _ in range(size)]
        if chance(g, 0.1) and size:
            values[int(g.integers(size))] = pick(g, NEGATIVE)
        return make_array(g, values, shape, tmp, lists=not dask or chance(g, 0.3))
    n_pool = [*range(0, 70), 65535, 1000, 130, 140]
    k_pool = [*range(0, 36), 60, 65, 66, 70]
    if form in ("huge", "limited"):
        side = 1 << (21 if form == "huge" else 14)
        N = Arg(np.broadcast_to(np.uint16(int(g.integers(0, 40))), (side, 1)), "ints", None, (side, 1))
        K = Arg(np.broadcast_to(np.uint8(int(g.integers(0, 8))), (1, side)), "ints", None, (1, side))
        e.add(MemoryError)
        args = [N, K]
    else:
        N = operand(n_pool + [TWO_64, 2**100, TWO_128]) if form != "int_array" else None
        K = operand(k_pool + [TWO_64]) if form != "array_int" else None
        args = [N if N is not None else int_arg(g, int(g.integers(0, 70))),
                K if K is not None else int_arg(g, int(g.integers(0, 36)))]
    known, shapes, values, negative_scalars = True, [], [], []
    for a, label in zip(args, "nk"):
        if isinstance(a, Arg):
            if not e.array(a, label, dask) or a.values is None:
                known = False
                continue
            shapes.append(a.shape)
            values.append(a.values)
        else:
            v = as_int(a)
            if v is UNKNOWN or isinstance(a, (Index, list, tuple, np.ndarray)):
                e.unknown = True
                known = False
            elif v is REFUSED:
                e.add(TypeError, label)
                known = False
            else:
                if v < 0:
                    negative_scalars.append((label, v))
                shapes.append(())
                values.append([v])
    if not known:  # a negative scalar is refused whatever the other operand holds
        for label, v in negative_scalars:
            e.add(ValueError, f"{label} has {v}", ())
    seen = [a.shape if isinstance(a, Arg) else () for a in args]
    if all(shape is not None for shape in seen):
        try:
            np.broadcast_shapes(*seen)
        except ValueError:  # refused for its shapes before its elements are read
            e.add(ValueError, "broadcast")
    negative = False
    if known:
        for label, vals, shape in zip("nk", values, shapes):
            bad = [i for i, v in enumerate(vals) if v < 0]
            for i in bad[:1] if not dask else bad[:4096]:
                e.add(ValueError, f"{label} has {vals[i]}", unravel(i, shape))
            negative |= bool(bad)
        e.unknown |= negative and dask  # another block's overflow may be found first
        try:
            shape = np.broadcast_shapes(*shapes)
        except ValueError:
            known = False
    # Over Dask the dtype is fixed up front: uint64 unless asked; in memory the values pick it.
    asked = dtype_choice(g) if dask else None
    target = np.dtype(np.uint64)
    if asked is not None:
        target = expect_dtype(e, asked, 0)
    if known and not negative:
        nb = np.broadcast_to(np.array(values[0], object).reshape(shapes[0]), shape).ravel().tolist()
        kb = np.broadcast_to(np.array(values[1], object).reshape(shapes[1]), shape).ravel().tolist()
        want = [C(a, b) for a, b in zip(nb, kb)]
        limit = TWO_128
        if dask and target is not None and target.kind in "iu":
            limit = int(np.iinfo(target).max) + 1
        over = [i for i, w in enumerate(want) if w >= limit]
        for i in over[:1] if not dask else over[:4096]:
            e.add(OverflowError, f"C({nb[i]}, {kb[i]})", unravel(i, shape))
        if dask:
            dtype = target if target is not None else U128
        else:
            dtype = np.dtype(np.uint64) if all(w < TWO_64 for w in want) else U128
        e.need(dtype.itemsize * math.prod(shape), limited, dask)

        def check(result):
            if not isinstance(result, np.ndarray) or result.dtype != dtype or result.shape != shape:
                return f"returned {type(result).__name__} {getattr(result, 'dtype', '')} {getattr(result, 'shape', '')}, not {dtype} of {shape}"
            if dtype == object and not all(type(v) is int for v in result.ravel().tolist()):
                return "returned an object array of other than Python ints"
            if ints_of(result) != want:
                return f"returned {ints_of(result)[:20]}, not {want[:20]}"
    else:
        check = None
    objs = [a.obj if isinstance(a, Arg) else a for a in args]
    kwargs = {"workers": workers}
    if dask:
        objs = [dask_array(g, a) if isinstance(a, Arg) else a for a in args]
        if asked is not None:
            kwargs["dtype"] = asked
    fn = functions(name)
    return Call(name, lambda: fn(objs[0], objs[1], **kwargs), objs + [kwargs], e, check,
                inputs=[a for a in args if isinstance(a, Arg)])


def n_k(g, e, k_upper=True):
    """n and k as arguments, their values where valid, and C(n, k) (None where unknown)."""
    n = choice_of_n(g)
    k = choice_of_k(g, n)
    n, k = (dress(g, x) if type(x) is int else x for x in (n, k))
    nv = e.integer(n, "n", upper=MAX_N)
    kv = e.integer(k, "k")
    if nv is not None and kv is not None and kv > nv and k_upper:
        e.add(ValueError, f"k = {kv}")
    count = C(nv, kv) if nv is not None and kv is not None else None
    return n, k, nv, kv, count


def rank_values(g, count, size):
    """Ranks for C(n, k) = count: mostly valid, some at and past every edge."""
    top = count if count is not None and count < TWO_128 else TWO_128
    edges = [0, 1, top - 1, top, top + 1, TWO_63 - 1, TWO_63, TWO_64 - 1, TWO_64, 2**100, TWO_128 - 1, TWO_128,
             2**200, -1, -TWO_63, -2**100]
    out = []
    for _ in range(size):
        if chance(g, 0.93) and top > 0:
            out.append(below(g, top) if chance(g, 0.7) else pick(g, [0, top - 1]))
        else:
            out.append(pick(g, edges))
    return out


def gen_rank(g, tmp, limited, dask=False):
    e = Expect()
    name = "dask.rank" if dask else "rank"
    order, assume_sorted, workers = order_arg(g), flag_arg(g), workers_arg(g, 1 if dask else None)
    asked = dtype_choice(g)
    ov = e.order(order)
    e.flag(assume_sorted, "assume_sorted")
    e.workers(workers)
    n = choice_of_n(g)
    n = dress(g, n) if type(n) is int else n
    nv = e.integer(n, "n", upper=MAX_N)
    base = nv if nv is not None else 8
    wide_k = [base, base + 1, 34, 5, 33, 0] if base <= 65537 else [34, 5, 33, 0, 66, 70]
    k = int(g.integers(0, min(base, 8) + 1)) if chance(g, 0.85) else pick(g, wide_k)
    lead = random_shape(g, 10) if k < 100 else pick(g, [(1,), (2,), (), (0,), (1, 1)])
    if lead == () and chance(g, 0.7):
        lead = (1,)
    rows = []
    for _ in range(math.prod(lead) if lead else 1):
        row = distinct(g, max(base, k), k)
        if chance(g, 0.6):
            row.sort()
        if k and chance(g, 0.07):
            row[int(g.integers(k))] = pick(g, [base, base + 1, -1, 65536, TWO_64, 2**100, -2**100, row[0]])
        rows.append(row)
    form = "plain"
    if k and nv is not None and not dask and chance(g, 0.04 + 0.1 * limited):
        form = "limited" if limited else "huge"
    if form != "plain":
        count_rows = (1 << 28) if form == "limited" else (1 << 37)
        row = np.arange(k, dtype=np.uint16)
        A = Arg(np.broadcast_to(row, (count_rows, k)), "unknown", None, (count_rows, k))
        e.add(MemoryError)
        if C(base, k) >= TWO_128:
            e.add(OverflowError)
    elif lead == () and chance(g, 0.5):
        A = make_array(g, [pick(g, [0, 3])], (), tmp)  # 0-d: no axis for the vertices
        if A.kind == "ints":
            e.add(ValueError, "axis")
        e.array(A, "combs", dask)
    else:
        A = make_array(g, [v for row in rows for v in row], tuple(lead) + (k,), tmp, lists=not dask or chance(g, .3))
        e.array(A, "combs", dask)
    check = None
    dtype = None
    if nv is not None and A.shape != ():
        dtype = expect_dtype(e, asked, C(nv, k), f"C({nv}, {k})")
    elif asked is not None:
        expect_dtype(e, asked, 0)
    if A.kind == "ints" and nv is not None and A.shape != ():
        lead_shape, got_rows = A.shape[:-1], [A.values[i:i + k] for i in range(0, len(A.values), k)] if k else []
        if not k:
            got_rows = [[] for _ in range(math.prod(lead_shape))]
        strict = assume_sorted is True or isinstance(assume_sorted, np.bool_) and bool(assume_sorted)
        bad = [i for i, r in enumerate(got_rows) if k and (
            any(not 0 <= v < nv for v in r) or len(set(r)) < k or strict and r != sorted(r))]
        for i in bad[:1] if not dask else bad[:4096]:
            e.add(ValueError, "[" + ", ".join(map(str, got_rows[i])) + "]", unravel(i, lead_shape))
        if dtype is not None:
            e.need(dtype.itemsize * len(got_rows), limited, dask)

        def check(result):
            if not isinstance(result, np.ndarray) or result.dtype != dtype or result.shape != lead_shape:
                return f"returned {getattr(result, 'dtype', type(result))} of {getattr(result, 'shape', '')}, not {dtype} of {lead_shape}"
            if dtype == object and not all(type(v) is int for v in result.ravel().tolist()):
                return "returned an object array of other than Python ints"
            flat = ints_of(result)
            for i in sampled(len(got_rows), k):
                want = rank_of(got_rows[i], nv, ov) if k else 0
                if flat[i] != want:
                    return f"row {got_rows[i][:20]} ranked {flat[i]}, not {want}"
    obj = dask_array(g, A) if dask else A.obj
    fn = functions(name)
    kwargs = {"order": order, "assume_sorted": assume_sorted, "workers": workers}
    if asked is not None:
        kwargs["dtype"] = asked
    return Call(name, lambda: fn(obj, n, **kwargs), [obj, n, kwargs], e, check, inputs=[A], limited=limited)


def ranks_arg(g, e, count, tmp, dask, limited, width):
    """The ranks argument of unrank, faces and cofaces, and its values where known."""
    if not dask and width and count is not None and count < TWO_128 and chance(g, 0.03 + 0.1 * limited):
        size = (1 << 30) if limited else (1 << 40)
        e.add(MemoryError)
        return Arg(np.broadcast_to(np.uint64(0), (size,)), "unknown", None, (size,))
    roll = g.random()
    if roll < 0.1 and not dask:
        v = rank_values(g, count, 1)[0]
        return Arg(dress(g, v) if chance(g, 0.8) else hostile(g), "scalar", None, ())
    shape = random_shape(g, 16)
    return make_array(g, rank_values(g, count, math.prod(shape)), shape, tmp, lists=not dask or chance(g, .3),
                      wide=True)


def scalar_kind(e, R):
    """A scalar ranks argument: an integer is a 0-d array of it, anything else is refused."""
    v = as_int(R.obj)  # an __index__ object is an integer, as in an object array
    if v is UNKNOWN or isinstance(R.obj, (list, tuple)):
        e.unknown = True
        return False
    if v is REFUSED:
        e.add(TypeError, "ranks")
        return False
    R.values = [v]
    return True


def rank_faults(e, values, shape, count, dask):
    bad = [i for i, v in enumerate(values) if not 0 <= v < count]
    for i in bad[:1] if not dask else bad[:4096]:
        e.add(ValueError, f"rank {values[i]} at index", unravel(i, shape))
    return not bad


def gen_unrank(g, tmp, limited, dask=False):
    e = Expect()
    name = "dask.unrank" if dask else "unrank"
    order, workers = order_arg(g), workers_arg(g, 1 if dask else None)
    ov = e.order(order)
    e.workers(workers)
    n, k, nv, kv, count = n_k(g, e)
    width = kv if kv is not None else 0
    R = ranks_arg(g, e, count, tmp, dask, limited, width)
    known = scalar_kind(e, R) if R.shape == () and not isinstance(R.obj, np.ndarray) else e.array(R, "ranks", dask)
    out, alias = None, False
    vertex = vertex_dtype(nv) if nv is not None else np.dtype(np.uint16)
    if not dask and R.values is not None and kv is not None and chance(g, 0.5):
        needed = tuple(np.shape(R.obj)) + (kv,) if known else (len(R.values), kv)
        if math.prod(needed) > 1 << 22 or kv > 65536:
            raise Resize
        out = out_arg(g, needed, tmp, vertex)
        for fault in out.faults:
            e.add(fault, "out")
        if not out.faults and len(needed) == 2 and chance(g, 0.15) and R.values and len(R.values) * 8 <= out.raw.size:
            # The ranks inside out's own buffer, over out or in its guards.
            dt = np.dtype(pick(g, [np.uint64, np.int64, np.uint32, np.uint16, np.int16]))
            nbytes = len(R.values) * dt.itemsize
            offset = int(g.integers(0, out.raw.size - nbytes + 1))
            if chance(g, 0.7):
                offset -= offset % dt.itemsize
            view = out.raw[offset:offset + nbytes].view(dt)
            with np.errstate(all="ignore"):
                view[:] = np.array([v % 2**(8 * dt.itemsize) for v in R.values], dt.str.replace("i", "u")).view(dt)
            R = Arg(view, "ints", [int(v) for v in view.tolist()], view.shape)
            alias = True
            out = Out(out.obj, out.raw, (len(R.values), kv), vertex)
    check = None
    if known and count is not None and kv is not None and nv is not None and kv <= nv:
        if count >= TWO_128:
            e.add(OverflowError, f"C({nv}, {kv})")
        shape = tuple(np.shape(R.obj)) if not isinstance(R.obj, (list, tuple)) else R.shape
        if R.values is not None and count < TWO_128:
            rank_faults(e, R.values, shape, count, dask)
            e.need(vertex.itemsize * len(R.values) * kv, limited and out is None, dask)
            exact = all_rows(nv, kv, ov) if count <= 3000 and nv <= 16 else None

            def check(result):
                if out is not None and result is not out.obj:
                    return "did not return out"
                if getattr(result, "shape", None) != shape + (kv,):
                    return f"returned shape {getattr(result, 'shape', None)}, not {shape + (kv,)}"
                return check_rows(result, nv, kv, ov, R.values, exact)
    obj = dask_array(g, R) if dask else R.obj
    fn = functions(name)
    kwargs = {"order": order, "workers": workers}
    if out is not None:
        kwargs["out"] = out.obj
    return Call(name, lambda: fn(obj, n, k, **kwargs), [obj, n, k, order, out.obj if out else None, workers], e,
                check, inputs=[] if alias else [R], outs=[out] if out else [], limited=limited)


def gen_neighbours(g, tmp, limited, up, dask=False):
    e = Expect()
    name = ("dask." if dask else "") + ("cofaces" if up else "faces")
    order, workers = order_arg(g), workers_arg(g, 1 if dask else None)
    asked = dtype_choice(g)
    ov = e.order(order)
    e.workers(workers)
    n, k, nv, kv, count = n_k(g, e)
    width = (nv - kv if up else kv) if nv is not None and kv is not None and kv <= nv else 0
    R = ranks_arg(g, e, count, tmp, dask, limited, width)
    known = scalar_kind(e, R) if R.shape == () and not isinstance(R.obj, np.ndarray) else e.array(R, "ranks", dask)
    check = None
    if known and count is not None and kv <= nv:
        other = C(nv, kv + 1) if up else (C(nv, kv - 1) if kv else 0)
        dtype = expect_dtype(e, asked, other, f"C({nv}, ")
        if count >= TWO_128:
            e.add(OverflowError, f"C({nv}, ")
        shape = tuple(np.shape(R.obj)) if not isinstance(R.obj, (list, tuple)) else R.shape
        if R.values is not None and count < TWO_128:
            rank_faults(e, R.values, shape, count, dask)
        if R.values is not None and count < TWO_128 and dtype is not None:
            e.need(dtype.itemsize * len(R.values) * width, limited, dask)

            def check(result):
                if not isinstance(result, np.ndarray) or result.shape != shape + (width,) or result.dtype != dtype:
                    return f"returned {getattr(result, 'dtype', type(result))} of {getattr(result, 'shape', '')}, not {dtype} of {shape + (width,)}"
                values = ints_of(result) if result.size <= 1 << 20 else None
                # Subsets of more than half the vertices are handled by their complements, of under 66.
                small = min(kv, nv - kv)
                by_complement = kv > small
                for i in sampled(len(R.values) if width else 0, 4 * small * (small + 1) + 16 * small):
                    if by_complement:
                        held = complement_of_rank(R.values[i], nv, kv, ov)
                    else:
                        held = unrank_of(R.values[i], nv, kv, ov)
                    for j in sampled(width, 4 * (small + 1)):
                        if by_complement:  # a coface takes its j-th vertex out of the complement
                            put = held[:j] + held[j + 1:] if up else tuple(sorted(held + (nth_outside(j, held),)))
                            want = rank_by_complement(list(put), nv, ov)
                        else:
                            subset = tuple(sorted(held + (nth_outside(j, held),))) if up else held[:j] + held[j + 1:]
                            want = rank_of(list(subset), nv, ov)
                        got = values[i * width + j] if values is not None else ints_of(result.reshape(-1, width)[i, j])[0]
                        if got != want:
                            what = "complement" if by_complement else "vertices"
                            return f"rank {R.values[i]} ({what} {list(held)[:20]}): column {j} is {got}, not {want}"
    elif asked is not None:
        expect_dtype(e, asked, 0)
    obj = dask_array(g, R) if dask else R.obj
    fn = functions(name)
    kwargs = {"order": order, "workers": workers}
    if asked is not None:
        kwargs["dtype"] = asked
    return Call(name, lambda: fn(obj, n, k, **kwargs), [obj, n, k, kwargs], e, check, inputs=[R], limited=limited)


def slice_args(g, e, count, rows_cap):
    """start and stop for C(n, k) = count, and their values where valid."""
    top = count if count is not None and count < TWO_128 else 10
    start = below(g, top + 1) if chance(g, 0.6) else pick(g, [0, 0, 1, top, top - 1, top + 1])
    stop = None if chance(g, 0.4) else pick(g, [top, start + int(g.integers(0, 40)), top + 1, start - 1])
    if stop is None and chance(g, 0.5) or isinstance(stop, int) and chance(g, 0.3):
        stop = min(start + rows_cap, top) if stop is None else min(stop, start + rows_cap)
    if chance(g, 0.08):
        start = int_arg(g, start, 0)
    if chance(g, 0.08):
        stop = int_arg(g, stop, 0)
    sv = e.integer(start, "start")
    tv = top if stop is None else e.integer(stop, "stop")
    return start, stop, sv, tv


def slice_reasons(e, nv, kv, sv, tv, stop):
    count = C(nv, kv) if kv <= nv else 0
    if count >= TWO_128:
        e.add(OverflowError, f"C({nv}, {kv})")
        return None
    if stop is not None and tv is not None and tv > count:
        e.add(ValueError, f"stop = {tv}")
    elif sv is not None and tv is not None and sv > tv:
        e.add(ValueError, f"start = {sv}")
    elif sv is not None and tv is not None:
        return count
    return None


def enumeration_args(g, e, limited):
    n, k, nv, kv, _ = n_k(g, e, k_upper=False)
    count = C(nv, kv) if nv is not None and kv is not None and kv <= nv else (0 if nv is not None and kv is not None else None)
    cap = pick(g, [300, 300, 300, max(1, SMALL // (4 * max(kv or 1, 1))), 2 * TWO_128])
    if limited:
        cap = LIMITED // max(kv or 1, 1)
    start, stop, sv, tv = slice_args(g, e, count, cap)
    if e.unknown and count is not None and count < TWO_128 and 4 * count * max(kv, 1) > SMALL:
        raise Resize  # a start or stop read as an array: the rows could be all of them
    return n, k, nv, kv, start, stop, sv, tv


def rows_check(nv, kv, ov, first, rows_count):
    if kv > nv:  # no rows; a k beyond any shape gives some width
        return lambda result: None if result.shape[0] == 0 and (kv >= TWO_63 or result.shape == (0, kv)) else (
            f"returned shape {result.shape} for k > n")
    exact = all_rows(nv, kv, ov) if nv <= 16 and C(nv, kv) <= 3000 else None
    return lambda result: check_rows(result, nv, kv, ov, range(first, first + rows_count), exact)


def gen_combinations(g, tmp, limited, dask=False):
    e = Expect()
    name = "dask.combinations" if dask else "combinations"
    order = order_arg(g)
    ov = e.order(order)
    n, k, nv, kv, start, stop, sv, tv = enumeration_args(g, e, limited)
    workers, out, chunks = workers_arg(g), None, None
    if dask:
        chunks = pick(g, [1 << 20, 1, 2, 3, 7, 1000, -1, "auto", (5,), (5, -1), {0: 4}, 0, -2, True, 2.5,
                          (4, 1), ((3, 3, 2),), 2**30, 2**100])
    else:
        e.workers(workers)
    check = None
    count = slice_reasons(e, nv, kv, sv, tv, stop) if nv is not None and kv is not None else None
    if dask and e.unknown and count is not None and count > 4096:
        raise Resize  # a start or stop read as an array: the graph could have a block per few rows of all
    if count is not None:
        rows = tv - sv
        if not dask:
            if chance(g, 0.3) and rows * kv <= 1 << 22 and kv <= 65536:
                out = out_arg(g, (rows, kv), tmp, vertex_dtype(nv))
                for fault in out.faults:
                    e.add(fault, "out")
            else:
                e.need(vertex_dtype(nv).itemsize * rows * kv, limited)
        elif rows >= TWO_63:  # no Dask array has that many rows
            e.add(ValueError, "more rows than an array can have")
        else:
            if chunks == "auto" and rows > 10**6:
                raise Resize
            dask_chunks(e, chunks, rows, kv)
        check = rows_check(nv, kv, ov, sv, rows)
        if dask:
            inner = check

            def check(result):
                if isinstance(result, np.ndarray):
                    return inner(result)
                return None if result.shape == (rows, kv) and result.dtype == vertex_dtype(nv) else f"lazy result {result}"
        elif out is not None:
            inner2 = check

            def check(result):
                return "did not return out" if result is not out.obj else inner2(result)
    elif dask:
        dask_chunks(e, chunks, 1, kv or 0)
    fn = functions(name)
    kwargs = {"order": order, "start": start, "stop": stop}
    kwargs.update({"chunks": chunks} if dask else {"workers": workers})
    if out is not None:
        kwargs["out"] = out.obj
    return Call(name, lambda: fn(n, k, **kwargs), [n, k, kwargs], e, check, outs=[out] if out else [],
                limited=limited)


def dask_chunks(e, chunks, rows, k, whole=True):
    """Reasons for dask's row chunks (`whole`: -1 is one block). Graphs of more than a few
    thousand blocks take long to build and are not asked for."""
    per = None
    if isinstance(chunks, (bool, np.bool_)):
        e.add(TypeError, "chunks")
    elif isinstance(chunks, int):
        if chunks == -1 and whole:
            per = max(rows, 1)
        elif chunks < 0:
            e.add(ValueError, str(chunks))
        elif chunks == 0:
            e.add(ValueError, "chunks")
        else:
            per = chunks
    elif chunks in ((5,), (5, -1)):
        per = 5
    elif chunks == {0: 4}:
        per = 4
    elif chunks == ((3, 3, 2),):
        if rows != 8:
            e.add(ValueError)
    elif chunks == (4, 1) and k >= TWO_63:
        e.unknown = True  # no rows, and a width no array can have
    elif chunks == (4, 1) and k > 1:
        e.add(ValueError, "last axis")
        e.add(ValueError, "blocks")  # too many blocks of 4 is found first
    elif chunks == (4, 1) and k == 1:
        per = 4
    else:
        e.unknown = True
    if per is not None:
        blocks = -(-rows // per)
        if blocks > 1 << 22:
            e.add(ValueError, "blocks")
        elif blocks > 2000:
            raise Resize


def gen_iter(g, tmp, limited):
    e = Expect()
    order, workers = order_arg(g), workers_arg(g)
    ov = e.order(order)
    e.workers(workers)
    n, k, nv, kv, start, stop, sv, tv = enumeration_args(g, e, False)
    chunk_rows = int_arg(g, pick(g, [1, 2, 3, 7, 1 << 20, 100, TWO_63, TWO_64, 2**100]), 0.9)
    cv = e.integer(chunk_rows, "chunk_rows")
    if cv == 0:
        e.add(ValueError, "chunk_rows")
    check = None
    count = slice_reasons(e, nv, kv, sv, tv, stop) if nv is not None and kv is not None else None
    if count is not None and cv:
        rows = tv - sv
        chunks = -(-rows // cv)

        def check(result):
            if result.chunk_count != chunks:
                return f"chunk_count {result.chunk_count}, not {chunks}"
            if chunks <= sys.maxsize and len(result) != chunks:
                return f"len {len(result)}, not {chunks}"
            repr(result)
            if min(cv, rows) * max(kv, 1) * vertex_dtype(nv).itemsize > SMALL:
                return None
            first = sv
            for chunk in itertools.islice(result, 3):
                size = min(cv, tv - first)
                problem = check_rows(chunk, nv, kv, ov, range(first, first + size))
                if problem or chunk.shape != (size, kv):
                    return f"chunk at {first}: {problem or chunk.shape}"
                first += size
    fn = combinatorial.iter_combinations
    return Call("iter_combinations",
                lambda: fn(n, k, order=order, start=start, stop=stop, chunk_rows=chunk_rows, workers=workers),
                [n, k, order, start, stop, chunk_rows, workers], e, check)


def gen_sample(g, tmp, limited, dask=False):
    e = Expect()
    name = "dask.sample" if dask else "sample"
    n, k, nv, kv, count = n_k(g, e)
    cap = count if count is not None and count < 500 else 500
    size = pick(g, [0, 1, 2, 5, int(g.integers(0, cap + 1)), cap, cap + 1]) if chance(g, 0.9) else pick(
        g, [TWO_63, TWO_64 - 1, TWO_64, 2**100, 1 << 30, -1, 2.0, True, None])
    if limited and chance(g, 0.5):
        size = (1 << 30) + int(g.integers(1000))
    replace = pick(g, [False, True, False, True, 0, 1, None, "no", [], np.bool_(True), np.array([True, False]),
                       math.nan])
    rng, workers = rng_arg(g), workers_arg(g, None)
    chunks = pick(g, [1 << 20, 1, 3, 64, 0, -1, True, 2.5, 2**70]) if dask else None
    zv = e.integer(size, "size")
    if e.unknown and zv is not None and zv > SMALL // 16:
        raise Resize  # n or k read as an array: the rows could be of any width
    rv = e.truth(replace)
    e.rng(rng)
    if not dask:
        e.workers(workers)
    check, out = None, None
    if zv is not None and count is not None and kv is not None and rv is not None and kv <= nv:
        vertex = vertex_dtype(nv)
        if not rv and count < TWO_128 and zv > count:
            e.add(ValueError, str(zv))
        elif zv >= TWO_63:  # no array has that many rows, even of no vertices
            e.add(ValueError, f"size = {zv} is more rows than an array can have")
        elif dask and not rv and count >= TWO_128 and zv:
            e.add(ValueError, "2^128")
        if dask:
            dask_chunks(e, chunks, zv, kv, whole=False)
        else:
            per_rank = 8 if count <= TWO_64 else 16 if count < TWO_128 else 0
            e.need(zv * (vertex.itemsize * kv + per_rank) if kv else 0, limited)
        again = None
        if isinstance(rng, int) and not isinstance(rng, bool) and rng >= 0 and zv * kv <= 20000:
            again = rng
        if not dask and zv * max(kv, 1) <= 1 << 20 and kv <= 65536 and chance(g, 0.3):
            out = out_arg(g, (zv, kv), tmp, vertex)
            for fault in out.faults:
                e.add(fault, "out")

        def check(result):
            if out is not None and result is not out.obj:
                return "did not return out"
            if dask and not isinstance(result, np.ndarray):
                return None if result.shape == (zv, kv) and result.dtype == vertex else f"lazy result {result}"
            if not isinstance(result, np.ndarray) or result.shape != (zv, kv) or result.dtype != vertex:
                return f"returned {getattr(result, 'dtype', type(result))} of {getattr(result, 'shape', '')}, not {vertex} of {(zv, kv)}"
            if kv and zv and (result.max() >= nv or kv > 1 and not (np.diff(result.astype(np.int64), axis=1) > 0).all()):
                return f"rows not strictly increasing below {nv}: {result[:4].tolist()}"
            if not rv and len({tuple(r) for r in result.tolist()}) != zv:
                return "rows repeat without replace"
            if again is not None:
                twin = functions(name)(n, k, zv, rng=again, replace=replace,
                                       **({"chunks": chunks} if dask else {"workers": 1}))
                twin = twin.compute() if dask else twin
                if not np.array_equal(twin, result):
                    return f"seed {again} gave other rows on a second call"
            return None
    fn = functions(name)
    kwargs = {"rng": rng, "replace": replace}
    kwargs.update({"chunks": chunks} if dask else {"workers": workers})
    if out is not None:
        kwargs["out"] = out.obj
    gens = [rng] if isinstance(rng, np.random.Generator) else []
    return Call(name, lambda: fn(n, k, size, **kwargs), [n, k, size, kwargs], e, check, generators=gens,
                outs=[out] if out else [], limited=limited)


def gen_to_int(g, tmp, limited):
    e = Expect()
    R = ranks_arg(g, e, pick(g, [10, TWO_63, TWO_64, TWO_128]), tmp, False, False, 0)
    known = scalar_kind(e, R) if R.shape == () and not isinstance(R.obj, np.ndarray) else e.array(R, "ranks")
    e.reasons = [(error, None, index) for error, _, index in e.reasons]  # any text: the core names no argument
    check = None
    if known and R.values is not None:
        shape = tuple(np.shape(R.obj)) if not isinstance(R.obj, (list, tuple)) else R.shape

        def check(result):
            if not isinstance(result, np.ndarray) or result.dtype != object or result.shape != shape:
                return f"returned {getattr(result, 'dtype', type(result))} of {getattr(result, 'shape', '')}, not object of {shape}"
            values = result.ravel().tolist()
            if not all(type(v) is int for v in values) or values != R.values:
                return f"returned {values[:10]}, not {R.values[:10]}"
    return Call("to_int", lambda: combinatorial.to_int(R.obj), [R.obj], e, check, inputs=[R])


GENERATORS = {
    "comb": gen_comb,
    "rank": gen_rank,
    "unrank": gen_unrank,
    "combinations": gen_combinations,
    "iter_combinations": gen_iter,
    "sample": gen_sample,
    "faces": lambda g, tmp, limited: gen_neighbours(g, tmp, limited, False),
    "cofaces": lambda g, tmp, limited: gen_neighbours(g, tmp, limited, True),
    "to_int": gen_to_int,
    "dask.comb": lambda g, tmp, limited: gen_comb(g, tmp, False, True),
    "dask.rank": lambda g, tmp, limited: gen_rank(g, tmp, False, True),
    "dask.unrank": lambda g, tmp, limited: gen_unrank(g, tmp, False, True),
    "dask.faces": lambda g, tmp, limited: gen_neighbours(g, tmp, False, False, True),
    "dask.cofaces": lambda g, tmp, limited: gen_neighbours(g, tmp, False, True, True),
    "dask.combinations": lambda g, tmp, limited: gen_combinations(g, tmp, False, True),
    "dask.sample": lambda g, tmp, limited: gen_sample(g, tmp, False, True),
}


def has_dask():
    try:
        import dask  # noqa: F401
        import combinatorial.dask  # noqa: F401
    except ImportError:
        return False
    return True


def generate(seed, index, tmp, dask=True):
    g = np.random.default_rng([seed, index])
    weights = WEIGHTS * np.array([dask or not f.startswith("dask.") for f in FUNCTIONS])
    name = FUNCTIONS[int(g.choice(len(FUNCTIONS), p=weights / weights.sum()))]
    limited = not SANITIZED and not name.startswith("dask.") and chance(g, 0.06)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for _ in range(100):
            try:
                call = GENERATORS[name](g, tmp, limited)
                break
            except Resize:
                continue
    call.limited = limited
    return call


# --- the checker ---------------------------------------------------------------------------------


def fingerprint(x, depth=0):
    """A comparable picture of x, with the bytes of every array it holds or views."""
    if isinstance(x, Arg):
        return (fingerprint(x.obj, depth), tuple(fingerprint(b, depth + 1) for b in x.keep))
    if isinstance(x, np.ndarray):
        if x.nbytes > SMALL:  # a broadcast view: its base is what holds the bytes
            body = np.asarray(x.base).tobytes() if x.base is not None and x.base.nbytes <= SMALL else None
        elif x.dtype.kind == "O":
            body = tuple((id(v), repr(v)) for v in x.ravel().tolist())
        else:
            body = x.tobytes()
        return ("ndarray", type(x).__name__, x.dtype.str, x.shape, x.strides, x.flags.writeable, body)
    if isinstance(x, (list, tuple)) and depth < 8:
        return (type(x).__name__, id(x), tuple(fingerprint(v, depth + 1) for v in x))
    if isinstance(x, np.random.Generator):
        return ("generator", repr(x.bit_generator.state))
    return (type(x).__name__, repr(x))


def describe_value(x):
    if isinstance(x, np.ndarray):
        flags = "".join(c for c, f in (("C", x.flags.c_contiguous), ("F", x.flags.f_contiguous),
                                       ("W", x.flags.writeable), ("A", x.flags.aligned)) if f)
        with np.printoptions(threshold=30, edgeitems=6, linewidth=1000):
            body = np.array2string(x.ravel()) if x.dtype.kind not in "V" and x.size < 10**6 else "..."
        return (f"{type(x).__name__}(dtype={x.dtype.str}, shape={x.shape}, strides={x.strides}, "
                f"flags={flags}, values={body})")
    if isinstance(x, dict):
        return "{" + ", ".join(f"{k}={describe_value(v)}" for k, v in x.items()) + "}"
    text = repr(x)
    return text if len(text) < 300 else text[:300] + "..."


def describe(call):
    return (f"{call.name}(" + ", ".join(describe_value(a) for a in call.args) + ")"
            + (" under a memory limit" if call.limited else ""))


def address_space():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


def run_call(call):
    before = [fingerprint(x) for x in call.inputs]
    states = [fingerprint(x) for x in call.generators]
    for out in call.outs:
        out.before = out.raw.copy()
    limit = None
    if call.limited:
        limit = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + HEADROOM, limit[1]))
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        began = time.perf_counter()
        try:
            result, exc = call.run(), None
        except Exception as error:  # judged below
            result, exc = None, error
        finally:
            if limit is not None:
                resource.setrlimit(resource.RLIMIT_AS, limit)
        elapsed = time.perf_counter() - began
    problems = []
    if elapsed > CALL_SECONDS:
        problems.append(f"took {elapsed:.1f} s")
    if exc is not None and not isinstance(exc, ALLOWED):
        problems.append(f"raised {type(exc).__name__}: {str(exc)[:400]}")
    if [fingerprint(x) for x in call.inputs] != before:
        problems.append("an input or a buffer it views changed")
    if exc is not None and [fingerprint(x) for x in call.generators] != states:
        problems.append("a failed call advanced the Generator")
    for out in call.outs:
        if exc is not None:
            if not np.array_equal(out.raw, out.before):
                problems.append(f"a failed call changed out's buffer at bytes {np.nonzero(out.raw != out.before)[0][:8].tolist()}")
        else:
            guards = np.r_[0:out.start, out.stop:out.raw.size]
            if not np.array_equal(out.raw[guards], out.before[guards]):
                changed = guards[out.raw[guards] != out.before[guards]]
                problems.append(f"wrote outside out (bytes {changed[:8].tolist()}, out is {out.start}..{out.stop})")
    e = call.expect
    if not problems and isinstance(exc, ALLOWED) and not e.unknown:
        problem = judge(e, exc, not call.dask)
        if problem:
            problems.append(problem)
    elif not problems and exc is None and not e.unknown:
        if e.reasons:
            problems.append("succeeded, but should have raised "
                            + " or ".join(sorted({r[0].__name__ for r in e.reasons})))
        elif call.check is not None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    problem = call.check(result)
                except Exception as error:  # a check that fails is itself a finding
                    problem = f"checking the result raised {type(error).__name__}: {str(error)[:300]}"
            if problem:
                problems.append(problem)
    return problems


# --- the campaign ------------------------------------------------------------------------------


def campaign(seed, seconds, calls, start, progress_path):
    """Runs calls start, start + 1, ... for `seconds` or up to call `calls`; returns the summary."""
    dask = has_dask()
    if dask:
        import dask as dask_module
        dask_module.config.set(scheduler="synchronous")
    deadline = time.monotonic() + seconds
    with open(progress_path, "r+b") as f:
        progress = mmap.mmap(f.fileno(), PROGRESS.size)
    reports, seen = [], {}
    counts = [0] * len(FUNCTIONS)
    index = start
    with tempfile.TemporaryDirectory(dir=SCRATCH) as tmp:
        while time.monotonic() < deadline and index < calls:
            PROGRESS.pack_into(progress, 0, index, 0, *counts)
            try:
                call = generate(seed, index, tmp, dask)
            except Exception as error:  # the campaign's own fault: reported, and the campaign goes on
                reports.append(f"call {index} (seed {seed}) could not be drawn: {type(error).__name__}: {error}")
                index += 1
                continue
            counts[FUNCTIONS.index(call.name)] += 1
            PROGRESS.pack_into(progress, 0, index, 0, *counts)
            problems = run_call(call)
            if problems:
                kind = (call.name, re.sub(r"-?\d+", "#", problems[0])[:70])
                seen[kind] = seen.get(kind, 0) + 1
                if seen[kind] == 1 and len(reports) < MAX_REPORTS:
                    reports.append(f"call {index} (seed {seed}): {describe(call)}\n  " + "\n  ".join(problems)
                                   + f"\n  replay: python tests/package/test_fuzz_package.py replay {seed} {index}")
            for name in os.listdir(tmp):
                os.unlink(os.path.join(tmp, name))
            index += 1
    PROGRESS.pack_into(progress, 0, index, 1, *counts)
    return {"reports": reports, "repeats": {" / ".join(k): v for k, v in seen.items()}}


def fuzz_settings():
    seconds = float(os.environ.get("COMBINATORIAL_PACKAGE_FUZZ_SECONDS", DEFAULT_SECONDS))
    calls = int(os.environ.get("COMBINATORIAL_PACKAGE_FUZZ_CALLS", 2**62))
    text = os.environ.get("COMBINATORIAL_PACKAGE_FUZZ_SEED", "")
    seed = secrets.randbits(32) if text == "random" else int(text) if text else DEFAULT_SEED
    return seed, seconds, calls


def sanitizer_lines(stderr):
    lines = stderr.splitlines()
    keep = [i for i, line in enumerate(lines)
            if "ERROR: AddressSanitizer" in line or "runtime error" in line or "Fatal Python error" in line
            or "SUMMARY:" in line or "Segmentation fault" in line or "Aborted" in line]
    picked = []
    for i in keep[:3]:
        picked += [line[:240] for line in lines[i:i + 4]]
    return "\n    ".join(picked or [line[:240] for line in lines[-15:]])


# make test runs a minute of it in the release and the sanitized builds;
# a plain pytest run leaves it out.
@pytest.mark.skipif("COMBINATORIAL_PACKAGE_FUZZ_SECONDS" not in os.environ,
                    reason="set COMBINATORIAL_PACKAGE_FUZZ_SECONDS to run the package's fuzz campaign")
def test_fuzz_the_package_with_hostile_arguments(tmp_path):
    seed, seconds, calls = fuzz_settings()
    print(f"\npackage fuzz: seed {seed}, {seconds:.0f} s, {'sanitized' if SANITIZED else 'release'} build, "
          f"{'with' if has_dask() else 'without'} dask")
    progress_path, result_path = tmp_path / "progress", tmp_path / "summary.json"
    reports, repeats, per_function = [], {}, [0] * len(FUNCTIONS)
    start, crashes = 0, 0
    began = time.monotonic()
    end = began + seconds
    while True:
        progress_path.write_bytes(PROGRESS.pack(-1, 0, *[0] * len(FUNCTIONS)))
        result_path.unlink(missing_ok=True)
        with open(tmp_path / "stderr", "w+") as err:
            proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "child", str(seed),
                                     str(max(1.0, end - time.monotonic())), str(calls), str(start),
                                     str(progress_path), str(result_path)], stdout=err, stderr=subprocess.STDOUT)
            last, last_change, killed, shown = -1, time.monotonic(), False, time.monotonic()
            while proc.poll() is None:
                time.sleep(0.2)
                index = PROGRESS.unpack(progress_path.read_bytes())[0]
                if time.monotonic() - shown > 600:  # long campaigns show that they go on
                    shown = time.monotonic()
                    print(f"package fuzz: at call {index}, {shown - began:.0f} s", flush=True)
                if index != last:
                    last, last_change = index, time.monotonic()
                elif time.monotonic() - last_change > STALL_SECONDS:
                    proc.kill()
                    proc.wait()
                    killed = True
            err.seek(0)
            stderr = err.read()
        index, finished, *counts = PROGRESS.unpack(progress_path.read_bytes())
        per_function = [a + b for a, b in zip(per_function, counts)]
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
        try:
            with tempfile.TemporaryDirectory() as tmp:
                crashed = describe(generate(seed, index, tmp, has_dask()))
        except Exception as error:
            crashed = f"(not drawn again: {type(error).__name__}: {error})"
        reports.append(f"call {index} (seed {seed}) {what}: {crashed}\n    {sanitizer_lines(stderr)}\n"
                       f"  replay: python tests/package/test_fuzz_package.py replay {seed} {index}")
        start = index + 1
        if crashes >= MAX_CRASHES or time.monotonic() >= end or start >= calls:
            break
    total = sum(per_function)
    elapsed = time.monotonic() - began
    print(f"package fuzz: seed {seed}: {total} calls in {elapsed:.0f} s ({total / max(elapsed, 1e-9):.0f}/s), "
          f"{crashes} crashes; " + ", ".join(f"{f} {c}" for f, c in zip(FUNCTIONS, per_function)))
    for key, value in sorted(repeats.items()):
        print(f"package fuzz: {value} x {key}")
    assert not reports, f"seed {seed}, {total} calls:\n\n" + "\n\n".join(reports)


def replay(seed, index):
    """Rebuilds one call and runs it here, printing what the checker finds."""
    if has_dask():
        import dask
        dask.config.set(scheduler="synchronous")
    with tempfile.TemporaryDirectory() as tmp:
        call = generate(seed, index, tmp, has_dask())
        print(describe(call))
        print("\n".join(run_call(call)) or "no problem")


if __name__ == "__main__":
    if sys.argv[1] == "child":
        summary = campaign(int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), sys.argv[6])
        with open(sys.argv[7], "w") as f:
            json.dump(summary, f)
    elif sys.argv[1] == "replay":
        replay(int(sys.argv[2]), int(sys.argv[3]))
