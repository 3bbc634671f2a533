"""The package's functions over Dask arrays, for work past one machine.

Every function returns a lazy ``dask.array.Array`` whose blocks are computed
by the in-memory function of the same name, one thread per block (dask runs
the blocks in parallel). Argument errors are raised on the client when the
array is built; errors about values inside the data are raised when it is
computed, with the same type and message as in memory, the index of the
offending element counted in the whole array.

combinations
    All k-combinations, or a slice of them, each block built from its rank range.
sample
    A uniform random sample, reproducible from a seed.
comb, rank, unrank, faces, cofaces
    As in `combinatorial`, block by block.

`comb`, `rank`, `unrank`, `combinations` and `sample` take
``repetition=True`` for k-multisets, as in memory.

A Dask array's dtype is fixed before any block is computed, so it is taken
from the arguments alone: vertices are uint16 for n <= 65536 and uint32
above, ranks follow C(n, k) (int64, uint64 or `combinatorial.uint128`, or
the `dtype` asked for), and `comb`, whose in-memory dtype follows the
values, is uint64 unless another dtype is asked for.

Import it explicitly, ``import combinatorial.dask``; it needs the extra
``combinatorial[dask]``.
"""

from __future__ import annotations

import math
import operator
from typing import Any, TypeVar

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

try:
    import dask
    import dask.array
    from dask.array import Array
except ModuleNotFoundError as error:  # only a missing dask, not a broken one
    if error.name is None or error.name.split(".")[0] != "dask":
        raise
    raise ImportError(
        "combinatorial.dask needs dask: install the extra with pip install 'combinatorial[dask]'"
    ) from error

from . import _core
from ._binomial import comb as _comb
from ._convert import dtype_arg, fixed_width, integer_array, seed_sequence, subset_family
from ._enumeration import combinations as _combinations
from ._enumeration import sample as _sample
from ._ranking import rank as _rank
from ._ranking import unrank as _unrank
from ._simplices import cofaces as _cofaces
from ._simplices import faces as _faces

UINT64 = np.dtype(np.uint64)
OBJECT = np.dtype(object)
UINT128: np.dtype[Any] = _core.uint128
WORD = (1 << 64) - 1

# dask.array is only partly typed: its functions are called untyped.
da: Any = dask.array

__all__ = ["cofaces", "comb", "combinations", "faces", "rank", "sample", "unrank"]

# Rows per block by default: 2 MB of uint16 (4 MB of uint32) per vertex,
# small enough for any worker, large enough that a block's work dwarfs its
# scheduling.
DEFAULT_ROWS = 1 << 20

# A graph of more blocks than this takes longer to build and schedule than
# the work is worth (and a sample draws every block's count on the client:
# 2^22 blocks took 11 minutes and 6 GB there); asking for it is almost
# certainly a mistake.
MAX_BLOCKS = 1 << 17

BlockInfo = dict[Any, dict[str, Any]]
T = TypeVar("T")


# --- Errors named in the whole array -------------------------------------
#
# Each block calls the core with its place in the whole array (its origin),
# which the core adds to the index that an error names.


def _starts(block_info: BlockInfo | None, key: int | None) -> tuple[int, ...]:
    """Where the block of argument `key` (None: the output) begins in its whole array.

    Unknown (NaN) chunk sizes leave it unknown: errors then name the index in the block.
    """
    if block_info is None or key not in block_info:
        return ()
    firsts = [first for first, _ in block_info[key]["array-location"]]
    if any(first != first for first in firsts):  # NaN
        return ()
    return tuple(int(first) for first in firsts)


def _ranks(block: NDArray[Any]) -> NDArray[Any]:
    return fixed_width(block, "ranks")


def _computed(result: T | None) -> T:
    """A core result for converted input, which is never None."""
    assert result is not None
    return result


def _as_dask(value: Any, name: str) -> Array:
    """A Dask array as it is; anything else read as the in-memory functions read it, in one
    chunk if it holds Python ints beyond 64 bits, whose size dask cannot estimate, or nothing,
    which dask's sizing divides by."""
    if isinstance(value, Array):
        integer_array(np.empty(0, value.dtype), name)  # its dtype refused on the client, before its shape
        return value
    array = integer_array(value, name)
    wrapped: Array = da.from_array(array, chunks=-1 if array.dtype.kind == "O" or array.size == 0 else "auto")
    return wrapped


# --- Chunks ----------------------------------------------------------------


def _row_count(chunks: object, name: str = "chunks") -> int:
    """A positive count of rows per block."""
    rows = _core.count(chunks, name)
    if rows == 0:
        raise ValueError(f"{name} must be at least 1 row")
    return rows


def _check_blocks(rows: int, per_block: int) -> None:
    blocks = -(-rows // per_block)
    if blocks > MAX_BLOCKS:
        raise ValueError(
            f"{rows:,} rows in blocks of {per_block:,} make {blocks:,} blocks, more than "
            f"{MAX_BLOCKS:,}: ask for larger chunks or fewer rows"
        )


def _row_chunks(chunks: Any, rows: int, k: int, dtype: np.dtype[Any]) -> tuple[int, ...]:
    """The row chunks of a (rows, k) array of vertices from a row count or dask-style `chunks`."""
    asked = chunks
    if isinstance(asked, dict):  # by axis, as dask takes it; a missing axis is one chunk
        asked = (asked.get(0, asked.get(-2, -1)), asked.get(1, asked.get(-1, -1)))
    if not isinstance(asked, (list, tuple)) or len(asked) == 1:
        asked = (asked[0] if isinstance(asked, (list, tuple)) else asked, -1)
    if len(asked) != 2:
        raise ValueError(f"chunks must be for the rows, or for both axes, not {len(asked)} axes")
    per_block, last = asked
    if isinstance(per_block, (bool, np.bool_)):
        raise TypeError("chunks must be a row count or dask-style chunks, not a bool")
    if isinstance(per_block, str) and per_block == "auto":  # sized here, to count blocks before dask does
        per_block = max(1, dask.utils.parse_bytes(dask.config.get("array.chunk-size")) // max(1, dtype.itemsize * k))
    if isinstance(per_block, (int, np.integer)) and per_block != -1:
        # More rows per block than there are make one block, and dask takes no counts past 2^63.
        per_block = min(_row_count(per_block), max(rows, 1))
        _check_blocks(rows, per_block)
    normal = da.core.normalize_chunks((per_block, last), shape=(rows, k), dtype=dtype)
    if normal[1] != (k,):
        raise ValueError(f"the last axis, the {k} vertices of each row, must be one chunk, not {normal[1]}")
    if sum(normal[0]) != rows:  # dask takes explicit chunks as given
        raise ValueError(f"chunks of {sum(normal[0]):,} rows in all, for {rows:,} rows")
    return tuple(int(c) for c in normal[0])


def _one_chunk_last(array: Array) -> Array:
    """`array` with its last axis, the vertices of each row, in one chunk."""
    if len(array.chunks[-1]) > 1:
        whole: Array = da.rechunk(array, {array.ndim - 1: -1})
        return whole
    return array


def _map_blocks(function: Any, *args: Any, **options: Any) -> Array:
    result: Array = da.map_blocks(function, *args, **options)
    return result


def _meta(dtype: np.dtype[Any], ndim: int) -> NDArray[Any]:
    return np.empty((0,) * ndim, dtype=dtype)


# --- Block by block ----------------------------------------------------------


def _index_text(index: tuple[int, ...]) -> str:
    """An index as the core writes it: "5" on one axis, "(1, 2)" otherwise."""
    return str(index[0]) if len(index) == 1 else "(" + ", ".join(map(str, index)) + ")"


def _words(values: NDArray[Any]) -> tuple[NDArray[np.uint64], NDArray[np.uint64]]:
    """The high and low 64-bit words of uint64 or uint128 values."""
    if values.dtype == UINT128:
        return values["hi"], values["lo"]
    return np.zeros(values.shape, UINT64), values


def _count_text(family: str, n: int, k: int) -> str:
    """The count of rows of (n, k), as messages write it."""
    return f"C({n} + {k} - 1, {k})" if family == "multisets" else f"C({n}, {k})"


def _as_dtype(
    values: NDArray[Any], dtype: np.dtype[Any], family: str, n: NDArray[Any], k: NDArray[Any],
    origin: tuple[int, ...],
) -> NDArray[Any]:
    """A block of coefficients (uint64 or uint128, as the core gives them) in the array's `dtype`.

    A value that `dtype` cannot hold is an OverflowError naming its (n, k)
    and its index in the whole array, the first one in C order of the block.
    """
    if values.dtype == dtype:
        return values
    if dtype == OBJECT:
        return _computed(_core.to_int(values))
    if dtype == UINT128:  # uint64 widened
        wide = np.zeros(values.shape, UINT128)
        wide["lo"] = values
        return wide
    hi, lo = _words(values)
    too_large = (hi != 0) | (lo > np.iinfo(dtype).max)
    if too_large.any():
        local = np.unravel_index(int(np.argmax(too_large)), values.shape)
        index = tuple(int(i) + (origin[axis] if axis < len(origin) else 0) for axis, i in enumerate(local))
        nv, kv = (operator.index(np.broadcast_to(a, values.shape)[local]) for a in (n, k))
        error = OverflowError(
            f"{_count_text(family, nv, kv)} at index {_index_text(index)} does not fit {dtype}, the dtype of "
            "this Dask array: ask for dtype=combinatorial.uint128 (values below 2^128) or dtype=object"
        )
        error.index = index  # type: ignore[attr-defined]
        raise error
    return lo.astype(dtype)


def _comb_block(
    n: NDArray[Any], k: NDArray[Any], family: str, dtype: np.dtype[Any], workers: int | None,
    block_info: BlockInfo | None = None,
) -> NDArray[Any]:
    # Negative values are named in their own array, overflows in the broadcast one.
    origins = (_starts(block_info, None), _starts(block_info, 0), _starts(block_info, 1))
    # A 0-d block may come as a NumPy scalar: as an array it gets an array back, not a Python int.
    n, k = integer_array(n, "n"), integer_array(k, "k")
    result = _core.comb(family, n, k, workers, origins)
    assert isinstance(result, np.ndarray)
    return _as_dtype(result, dtype, family, n, k, origins[0])


def comb(
    n: ArrayLike | Any, k: ArrayLike | Any, *, repetition: bool = False, dtype: DTypeLike | None = None,
    workers: int | None = 1,
) -> Array:
    """C(n, k) over Dask arrays, broadcast like a ufunc.

    In memory, `combinatorial.comb` picks uint64 or uint128 from the values
    it computes; a Dask array's dtype must be known before, so it is uint64
    unless `dtype` asks for another.

    Parameters
    ----------
    n, k : dask.array.Array or array_like of int
        Non-negative integers; arrays that are not Dask arrays are wrapped.
    repetition : bool, optional
        Count k-multisets, C(n + k - 1, k), as in `combinatorial.comb`.
    dtype : {None, uint64, uint128, int64, object}, optional
        The dtype of the result: None (the default) for uint64;
        `combinatorial.uint128` for values below 2^128; object for Python
        ints.
    workers : int, optional
        Threads per block, as in `combinatorial.comb`; 1 by default, as dask
        already runs blocks in parallel.

    Returns
    -------
    dask.array.Array
        The broadcast shape and chunks, also for two scalars (0-d), of
        `dtype`.

    Raises
    ------
    TypeError
        On the client, for arrays of non-integers and a `dtype` other than
        those above.
    OverflowError, ValueError
        When computed, as `combinatorial.comb`, the index counted in the
        whole array; also OverflowError for a value that `dtype` does not
        hold (2^64 or more by default).

    Examples
    --------
    >>> import dask.array as da
    >>> import combinatorial.dask as cd
    >>> cd.comb(da.arange(6, chunks=4), 2).compute()
    array([ 0,  0,  1,  3,  6, 10], dtype=uint64)
    >>> cd.comb(da.from_array([10, 68, 200]), [3, 34, 20], dtype=object).compute().tolist()
    [120, 28453041475240576740, 1613587787967350073386147640]
    >>> cd.comb(da.arange(5, chunks=2), 2, repetition=True).compute()
    array([ 0,  1,  3,  6, 10], dtype=uint64)
    """
    family = subset_family(repetition)
    n_array, k_array = _as_dask(n, "n"), _as_dask(k, "k")
    _comb(np.zeros(0, n_array.dtype), np.zeros(0, k_array.dtype), repetition=repetition, workers=workers)
    # The dtypes ranks take (checked by the core), uint64 by default.
    wanted = dtype_arg(dtype)
    result_dtype = UINT64 if wanted is None else _core.rank_dtype(family, 0, 0, wanted)
    try:
        np.broadcast_shapes(n_array.shape, k_array.shape)
    except ValueError:  # the blocks alone would not see it, and some would combine
        raise ValueError(
            f"n and k cannot be broadcast together: shapes {n_array.shape} and {k_array.shape}"
        ) from None
    # Blocks must meet block for block: chunks are unified along the axes the
    # arrays share, and the result's are those of whichever is not 1 long there.
    ndim = max(n_array.ndim, k_array.ndim)
    axes = tuple(range(ndim))
    _, (n_array, k_array) = da.core.unify_chunks(
        n_array, axes[ndim - n_array.ndim:], k_array, axes[ndim - k_array.ndim:]
    )
    chunks = tuple(
        next((a.chunks[axis - ndim + a.ndim] for a in (n_array, k_array)
              if axis >= ndim - a.ndim and a.shape[axis - ndim + a.ndim] != 1), (1,))
        for axis in axes
    )
    return _map_blocks(
        _comb_block, n_array, k_array, family, result_dtype, workers, chunks=chunks, dtype=result_dtype,
        meta=_meta(result_dtype, ndim),
    )


def _rank_block(
    combs: NDArray[Any], family: str, n: int, order: str, assume_sorted: bool, dtype: np.dtype[Any],
    workers: int | None, block_info: BlockInfo | None = None,
) -> NDArray[Any]:
    origin = _starts(block_info, 0)[:-1]
    ranks = _core.rank(family, fixed_width(combs, "combs"), n, order, assume_sorted, dtype, workers, origin)
    return _computed(ranks)[..., np.newaxis]


def rank(
    combs: ArrayLike | Any, n: int, *, order: str = "lex", assume_sorted: bool = False, repetition: bool = False,
    dtype: DTypeLike | None = None, workers: int | None = 1,
) -> Array:
    """Ranks of k-combinations held in a Dask array, as `combinatorial.rank`.

    Parameters
    ----------
    combs : dask.array.Array or array_like of int, shape (..., k)
        One combination per row of the last axis, which is rechunked to one
        chunk if it is split.
    n : int
        Number of elements to choose from, at most 2^32.
    order, assume_sorted, repetition, dtype
        As in `combinatorial.rank`.
    workers : int, optional
        Threads per block; 1 by default, as dask already runs blocks in parallel.

    Returns
    -------
    dask.array.Array, shape (...)
        The chunks of `combs` without the last axis; of `dtype`, by default
        int64 when C(n, k) <= 2^63, uint64 when C(n, k) <= 2^64, uint128
        when C(n, k) <= 2^128 (C(n + k - 1, k) with `repetition`).

    Raises
    ------
    OverflowError, TypeError, ValueError
        On the client, for C(n, k) more than 2^128 or than `dtype` holds,
        bad arguments or a non-integer dtype; when computed, for a bad row,
        named by its index in the whole array (the first bad row of a block,
        from whichever block fails first).

    Examples
    --------
    >>> import combinatorial as cb
    >>> import combinatorial.dask as cd
    >>> cd.rank(cd.combinations(5, 3, chunks=4), 5).compute()
    array([0, 1, 2, 3, 4, 5, 6, 7, 8, 9])
    >>> wide = cd.rank(cd.combinations(1000, 10, start=2**70, stop=2**70 + 3, chunks=2), 1000)
    >>> wide.dtype == cb.uint128
    True
    >>> [r - 2**70 for r in cb.to_int(wide.compute())]
    [0, 1, 2]
    """
    array = _as_dask(combs, "combs")
    # Its dtype and the arguments checked before its shape; the probe's dtype
    # is the one every block is asked for.
    width = array.shape[-1] if array.ndim else 0
    probe = _rank(
        np.zeros((0, width), array.dtype), n, order=order, assume_sorted=assume_sorted, repetition=repetition,
        dtype=dtype, workers=workers,
    )
    if array.ndim == 0:
        raise ValueError("combs must have at least one axis, the last holding each combination")
    array = _one_chunk_last(array)
    # The last axis is kept with length 1 and indexed away, a view: dropping
    # it in map_blocks would copy every block of combs first.
    ranks = _map_blocks(
        _rank_block, array, subset_family(repetition), n, order, assume_sorted, probe.dtype, workers,
        chunks=array.chunks[:-1] + ((1,),), dtype=probe.dtype, meta=_meta(probe.dtype, array.ndim),
    )
    result: Array = ranks[..., 0]
    return result


def _unrank_block(
    ranks: NDArray[Any], family: str, n: int, k: int, order: str, workers: int | None,
    block_info: BlockInfo | None = None,
) -> NDArray[Any]:
    return _computed(_core.unrank(family, _ranks(ranks), n, k, order, None, workers, _starts(block_info, 0)))


def unrank(
    ranks: ArrayLike | Any, n: int, k: int, *, order: str = "lex", repetition: bool = False, workers: int | None = 1
) -> Array:
    """The k-combinations with the ranks held in a Dask array, as `combinatorial.unrank`.

    Parameters
    ----------
    ranks : dask.array.Array or array_like of int
        Ranks in [0, C(n, k)) (in [0, C(n + k - 1, k)) with `repetition`),
        any shape: any integer dtype, uint128, or Python ints of any size.
    n, k, order, repetition
        As in `combinatorial.unrank`.
    workers : int, optional
        Threads per block; 1 by default, as dask already runs blocks in parallel.

    Returns
    -------
    dask.array.Array of uint16 or uint32, shape ``ranks.shape + (k,)``
        The chunks of `ranks` and one chunk of k vertices; uint16 when
        n <= 65536 (n + k - 1 <= 65536 with `repetition`), uint32 above.

    Raises
    ------
    OverflowError, TypeError, ValueError
        On the client, for bad arguments; when computed, for a rank outside
        [0, C(n, k)), named by its index in the whole array.

    Examples
    --------
    >>> import dask.array as da
    >>> import combinatorial.dask as cd
    >>> rows = cd.unrank(da.arange(10, chunks=4), 5, 3, order="colex")
    >>> rows.chunks
    ((4, 4, 2), (3,))
    >>> rows[3:5].compute()
    array([[1, 2, 3],
           [0, 1, 4]], dtype=uint16)
    """
    array = _as_dask(ranks, "ranks")
    vertices = _unrank(np.zeros(0, array.dtype), n, k, order=order, repetition=repetition, workers=workers).dtype
    k = _core.count(k, "k")  # checked: as an int, for the chunks
    return _map_blocks(
        _unrank_block, array, subset_family(repetition), n, k, order, workers,
        new_axis=array.ndim, chunks=array.chunks + ((k,),), dtype=vertices, meta=_meta(vertices, array.ndim + 1),
    )


def _faces_block(
    ranks: NDArray[Any], n: int, k: int, order: str, dtype: np.dtype[Any], workers: int | None, up: bool,
    block_info: BlockInfo | None = None,
) -> NDArray[Any]:
    function = _core.cofaces if up else _core.faces
    return _computed(function(_ranks(ranks), n, k, order, dtype, workers, _starts(block_info, 0)))


def _neighbours(
    ranks: ArrayLike | Any, n: int, k: int, order: str, dtype: DTypeLike | None, workers: int | None, up: bool
) -> Array:
    array = _as_dask(ranks, "ranks")
    probe = (_cofaces if up else _faces)(np.zeros(0, array.dtype), n, k, order=order, dtype=dtype, workers=workers)
    width = probe.shape[-1]
    return _map_blocks(
        _faces_block, array, n, k, order, probe.dtype, workers, up,
        new_axis=array.ndim, chunks=array.chunks + ((width,),), dtype=probe.dtype,
        meta=_meta(probe.dtype, array.ndim + 1),
    )


def faces(
    ranks: ArrayLike | Any, n: int, k: int, *, order: str = "lex", dtype: DTypeLike | None = None, workers: int | None = 1
) -> Array:
    """Ranks of the faces of k-subsets given by ranks in a Dask array, as `combinatorial.faces`.

    Parameters
    ----------
    ranks : dask.array.Array or array_like of int
        Ranks of k-subsets, any shape: any integer dtype, uint128, or Python
        ints of any size.
    n, k, order, dtype
        As in `combinatorial.faces`.
    workers : int, optional
        Threads per block; 1 by default, as dask already runs blocks in parallel.

    Returns
    -------
    dask.array.Array, shape ``ranks.shape + (k,)``
        The chunks of `ranks` and one chunk of k faces; of `dtype`, by
        default int64 when C(n, k - 1) <= 2^63, uint64 when
        C(n, k - 1) <= 2^64, uint128 when C(n, k - 1) <= 2^128.

    Raises
    ------
    OverflowError, TypeError, ValueError
        On the client, for bad arguments; when computed, for a rank outside
        [0, C(n, k)), named by its index in the whole array.

    Examples
    --------
    >>> import dask.array as da
    >>> import combinatorial.dask as cd
    >>> cd.faces(da.from_array([0, 9], chunks=1), 5, 3).compute()
    array([[4, 1, 0],
           [9, 8, 7]])
    """
    return _neighbours(ranks, n, k, order, dtype, workers, up=False)


def cofaces(
    ranks: ArrayLike | Any, n: int, k: int, *, order: str = "lex", dtype: DTypeLike | None = None, workers: int | None = 1
) -> Array:
    """Ranks of the cofaces of k-subsets given by ranks in a Dask array, as `combinatorial.cofaces`.

    Parameters
    ----------
    ranks, n, k, order, dtype, workers
        As in `faces`.

    Returns
    -------
    dask.array.Array, shape ``ranks.shape + (n - k,)``
        The chunks of `ranks` and one chunk of n - k cofaces; of `dtype`,
        by default int64 when C(n, k + 1) <= 2^63, uint64 when
        C(n, k + 1) <= 2^64, uint128 when C(n, k + 1) <= 2^128.

    Raises
    ------
    OverflowError, TypeError, ValueError
        As `faces`.

    Examples
    --------
    >>> import dask.array as da
    >>> import combinatorial.dask as cd
    >>> cd.cofaces(da.from_array([0, 9], chunks=1), 5, 2).compute()
    array([[0, 1, 2],
           [5, 8, 9]])
    """
    return _neighbours(ranks, n, k, order, dtype, workers, up=True)


# --- Enumeration ---------------------------------------------------------------


def _combinations_block(
    n: int, k: int, order: str, repetition: bool, start: int, block_info: BlockInfo | None = None
) -> NDArray[Any]:
    assert block_info is not None
    first, last = block_info[None]["array-location"][0]
    return _combinations(n, k, order=order, repetition=repetition, start=start + first, stop=start + last, workers=1)


def combinations(
    n: int, k: int, *, order: str = "lex", repetition: bool = False, start: int = 0, stop: int | None = None,
    chunks: Any = DEFAULT_ROWS,
) -> Array:
    """The k-combinations with ranks in [start, stop) as a lazy Dask array.

    Each block is built where it is computed, from its own range of ranks:
    the graph holds one small task per block and no data.

    Parameters
    ----------
    n, k, order, repetition, start, stop
        As in `combinatorial.combinations`: `start` and `stop` are Python
        ints of any size.
    chunks : int, tuple or "auto", optional
        Rows per block (2^20 by default), or dask-style chunks for the row
        axis or for both axes; the last axis is always one chunk.

    Returns
    -------
    dask.array.Array of uint16 or uint32, shape (stop - start, k)
        uint16 when n <= 65536 (n + k - 1 <= 65536 with `repetition`),
        uint32 above.

    Raises
    ------
    OverflowError
        If the count of rows is more than 2^128.
    ValueError
        As `combinatorial.combinations`, for chunks that split the last axis,
        more than 2^17 blocks, and more than 2^63 - 1 rows.

    Examples
    --------
    >>> import combinatorial.dask as cd
    >>> rows = cd.combinations(5, 3, start=2, chunks=3)
    >>> rows.chunks
    ((3, 3, 2), (3,))
    >>> rows[:4].compute()
    array([[0, 1, 4],
           [0, 2, 3],
           [0, 2, 4],
           [0, 3, 4]], dtype=uint16)
    >>> cd.combinations(3, 2, repetition=True, chunks=4).compute()[2:]
    array([[0, 2],
           [1, 1],
           [1, 2],
           [2, 2]], dtype=uint16)
    """
    family = subset_family(repetition)
    n, k, order, start, stop, _, _ = _core.slice_arguments(family, n, k, order, start, stop, 1, 1)
    if stop - start > np.iinfo(np.intp).max:  # ranks past 2^64 make slices longer than any shape
        raise ValueError(f"stop - start = {stop - start} is more rows than an array can have (2^63 - 1)")
    vertices = _core.vertex_dtype(family, n, k)
    row_chunks = _row_chunks(chunks, stop - start, k, vertices)
    return _map_blocks(
        _combinations_block, n, k, order, family == "multisets", start, chunks=(row_chunks, (k,)), dtype=vertices,
        meta=_meta(vertices, 2),
    )


# --- Sampling ----------------------------------------------------------------------
#
# Without repeats, the ranks [0, N) are cut into one contiguous stratum per
# block, and block b draws c_b distinct ranks uniformly inside stratum b.
# A uniform s-subset of [0, N) meets the strata in counts that follow the
# multivariate hypergeometric law, and given those counts its parts in the
# strata are independent uniform subsets of them. So drawing the counts from
# that law on the client, then each part on its own worker, gives exactly a
# uniform s-subset. The counts come from binary splits: the draws landing in
# the left half of a range of strata follow the univariate hypergeometric law,
# and given them each half is split the same way.


def _round_up(p: int, q: int) -> float:
    """The smallest float of at least p / q, for p / q < 2^1023."""
    value = p / q  # correctly rounded
    a, b = value.as_integer_ratio()
    return math.nextafter(value, math.inf) if a * q < p * b else value


def _product(values: list[int]) -> int:
    """Product by pairs, so that the big multiplications are balanced."""
    while len(values) > 1:
        values = [math.prod(values[i : i + 2]) for i in range(0, len(values), 2)]
    return values[0] if values else 1


# Bound on the error of one term of a log-ratio sum: the four logarithms of
# floats below 2^128, each within a few ulps of at most 88.8, and three
# roundings of sums below 180 stay under 3e-13.
SLACK_PER_TERM = 1e-12


class _Hypergeometric:
    """The law of the good items among `draws` taken without replacement from good + bad.

    Draws are exact, by rejection from a hat over f(x) / f(m), m the mode: 1
    on [m - t, m + t], and past each end a geometric tail whose ratio is that
    of f at the end. The law is log-concave (f(x + 1) / f(x) falls as x
    grows), so the ratios further out are smaller and the hat lies above f.
    The test u * hat(x) <= f(x) / f(m) is made on logarithms summed in floats
    with a proven error bound, and in exact integer arithmetic when the two
    sides are closer than that bound. Work per draw grows with the standard
    deviation only, so populations up to 2^128 cost what small ones do.
    """

    def __init__(self, good: int, bad: int, draws: int) -> None:
        self.good, self.bad, self.draws = good, bad, draws
        self.low, self.high = max(0, draws - bad), min(draws, good)
        total = good + bad
        self.mode = (draws + 1) * (good + 1) // (total + 2)
        self.tails: list[tuple[int, int, float, float, float]] = []  # (end, step, height there, ratio, mass)
        self.left = self.right = self.mode
        if self.low == self.high:
            return
        sd = math.sqrt(draws * good / total * (bad / total) * ((total - draws) / (total - 1)))
        # t near 1.1 sd makes the hat smallest for a bell; f falls by at least a
        # factor 1 - 1/(2 sd) per step there, so its ratio rounds to below 1.
        reach = max(1, int(1.1 * sd))
        self.left, self.right = max(self.low, self.mode - reach), min(self.high, self.mode + reach)
        if self.right < self.high:
            value, slack = self.log_f(self.right)
            height, ratio = math.exp(value + slack + 1e-15), _round_up(self.above(self.right), self.below(self.right))
            self.tails.append((self.right, 1, height, ratio, height * ratio / (1.0 - ratio)))
        if self.left > self.low:
            value, slack = self.log_f(self.left)
            height, ratio = math.exp(value + slack + 1e-15), _round_up(self.below(self.left - 1), self.above(self.left - 1))
            self.tails.append((self.left, -1, height, ratio, height * ratio / (1.0 - ratio)))

    def above(self, y: int) -> int:
        """With `below`: f(y + 1) / f(y) = above(y) / below(y)."""
        return (self.good - y) * (self.draws - y)

    def below(self, y: int) -> int:
        return (y + 1) * (self.bad - self.draws + y + 1)

    def log_f(self, x: int) -> tuple[float, float]:
        """log f(x) / f(mode), and a bound on its error."""
        a, b = min(x, self.mode), max(x, self.mode)
        if a == b:
            return 0.0, 0.0
        i = np.arange(b - a, dtype=np.float64)  # offsets from exact Python ints keep relative precision
        terms = (np.log(float(self.good - a) - i) + np.log(float(self.draws - a) - i)) - (
            np.log(float(a + 1) + i) + np.log(float(self.bad - self.draws + a + 1) + i)
        )
        # Pairwise summation errs by at most (log2(count) + 2) ulps of the sum of magnitudes.
        value, magnitude = float(terms.sum()), float(np.abs(terms).sum())
        slack = SLACK_PER_TERM * (b - a) + 1e-15 * (math.log2(b - a) + 2) * magnitude
        return (value if x > self.mode else -value), slack

    def exact_f(self, x: int) -> tuple[int, int]:
        """f(x) / f(mode) as a fraction."""
        a, b = min(x, self.mode), max(x, self.mode)
        up, down = _product([self.above(y) for y in range(a, b)]), _product([self.below(y) for y in range(a, b)])
        return (up, down) if x >= self.mode else (down, up)

    def hat(self, x: int) -> tuple[float, float, int]:
        """The hat at x as height * ratio^steps."""
        for end, step, height, ratio, _ in self.tails:
            if (x - end) * step > 0:
                return height, ratio, (x - end) * step
        return 1.0, 1.0, 0

    def draw(self, rng: np.random.Generator, *, exact: bool = False) -> int:
        """One draw; `exact` makes every test in integers, to test that path."""
        if self.low == self.high:
            return self.low
        middle = self.right - self.left + 1
        mass = middle + sum(tail[4] for tail in self.tails)
        while True:
            pick = rng.random() * mass
            if pick < middle:
                x = self.left + int(rng.integers(middle))
            else:
                end, step, _, ratio, tail_mass = self.tails[0]
                if pick - middle >= tail_mass and len(self.tails) > 1:
                    end, step, _, ratio, _ = self.tails[1]
                x = end + step * int(rng.geometric(1.0 - ratio))  # P(j steps) is proportional to ratio^j
                if not self.low <= x <= self.high:
                    continue
            u = rng.random()
            if u == 0.0:
                return x
            height, ratio, steps = self.hat(x)
            log_hat = math.log(height) + steps * math.log(ratio)
            value, slack = self.log_f(x)
            lhs = math.log(u) + log_hat
            slack = math.inf if exact else slack + 1e-15 * (abs(lhs) + abs(log_hat)) + 1e-300
            if lhs < value - slack:
                return x
            if lhs > value + slack:
                continue
            # Too close for floats: u * height * ratio^steps <= p / q, in integers.
            (un, ud), (hn, hd), (rn, rd) = u.as_integer_ratio(), height.as_integer_ratio(), ratio.as_integer_ratio()
            p, q = self.exact_f(x)
            if un * hn * rn**steps * q <= p * ud * hd * rd**steps:
                return x


def _bound(total: int, size: int, per_block: int, block: int) -> int:
    """Where stratum `block` begins: each has about total * per_block / size ranks."""
    return total * min(block * per_block, size) // size


def _stratum_counts(rng: np.random.Generator, bounds: list[int], draws: int) -> list[int]:
    """How many of `draws` distinct uniform ranks fall in each stratum, exactly."""
    counts = [0] * (len(bounds) - 1)
    pending = [(0, len(counts), draws)]
    while pending:
        first, last, count = pending.pop()
        if last - first == 1 or count == 0:
            counts[first] = count
            continue
        middle = (first + last) // 2
        left = _Hypergeometric(bounds[middle] - bounds[first], bounds[last] - bounds[middle], count).draw(rng)
        pending += [(first, middle, left), (middle, last, count - left)]
    return counts


def _distinct(rng: np.random.Generator, population: int, count: int) -> NDArray[Any]:
    """`count` distinct uniform values below `population` (< 2^128), in random order, by the core's sampler.

    uint64 below 2^64, uint128 from there on.
    """
    return _core.distinct_ranks(int(rng.integers(0, 2**64, dtype=np.uint64)), population, count)


def _uint128(hi: NDArray[np.uint64], lo: NDArray[np.uint64]) -> NDArray[Any]:
    values = np.empty(hi.shape, UINT128)
    values["hi"], values["lo"] = hi, lo
    return values


def _plus(values: NDArray[Any], offset: int) -> NDArray[Any]:
    """values (uint64 or uint128) + offset as uint128, for sums below 2^128."""
    hi, lo = _words(values)
    low = lo + np.uint64(offset & WORD)  # wraps: the carry is where it became smaller
    return _uint128(hi + np.uint64(offset >> 64) + (low < lo), low)


Seed = tuple[Any, tuple[int, ...], int]


def _seed(rng: object) -> Seed:
    """The root SeedSequence of a sample as (entropy, spawn key of its next child, pool size), which pickle small."""
    sequence = seed_sequence(rng)
    return sequence.entropy, tuple(sequence.spawn_key) + (sequence.n_children_spawned,), sequence.pool_size


def _generator(seed: Seed, index: int) -> np.random.Generator:
    """Child `index` of the root seed, as SeedSequence.spawn would make it, without changing the root."""
    entropy, key, pool_size = seed
    child = np.random.SeedSequence(entropy, spawn_key=key[:-1] + (key[-1] + index,), pool_size=pool_size)
    return np.random.default_rng(child)


def _sample_block(
    n: int, k: int, repetition: bool, total: int, size: int, per_block: int, seed: Seed,
    block_info: BlockInfo | None = None,
) -> NDArray[Any]:
    assert block_info is not None
    block = int(block_info[None]["chunk-location"][0])
    first, last = block_info[None]["array-location"][0]
    low, high = _bound(total, size, per_block, block), _bound(total, size, per_block, block + 1)
    rng, count = _generator(seed, block + 1), last - first
    if high - 1 > WORD:
        ranks = _plus(_distinct(rng, high - low, count), low)
    else:
        ranks = _distinct(rng, high - low, count) + np.uint64(low)
    return _unrank(ranks, n, k, repetition=repetition, workers=1)


def _sample_repeats_block(
    n: int, k: int, repetition: bool, seed: Seed, block_info: BlockInfo | None = None
) -> NDArray[Any]:
    assert block_info is not None
    block = int(block_info[None]["chunk-location"][0])
    first, last = block_info[None]["array-location"][0]
    return _sample(n, k, last - first, rng=_generator(seed, block + 1), replace=True, repetition=repetition, workers=1)


def sample(
    n: int, k: int, size: int, *, rng: Any = None, replace: bool = False, repetition: bool = False,
    chunks: int = DEFAULT_ROWS,
) -> Array:
    """A lazy uniform random sample of k-combinations (or k-multisets) of {0, ..., n - 1}.

    Parameters
    ----------
    n, k : int
        The vertex count (at most 2^32) and the size of each combination.
    size : int
        Rows of the sample.
    rng : None, int, sequence of int, numpy.random.SeedSequence or numpy.random.Generator, optional
        The seed. The same seed and chunks give the same sample wherever the
        blocks run; None takes fresh entropy; a Generator is advanced.
    replace : bool, optional
        Whether rows may repeat (each row then independent and uniform).
    repetition : bool, optional
        Draw k-multisets, rows whose vertices may repeat, as in
        `combinatorial.sample`.
    chunks : int, optional
        Rows per block, 2^20 by default. Without repeats, it is the mean
        number: the block sizes are drawn with the sample.

    Returns
    -------
    dask.array.Array of uint16 or uint32, shape (size, k)
        Rows smallest vertex first, uint16 when n <= 65536 (n + k - 1 <= 65536
        with `repetition`), uint32 above. Without repeats block b holds the
        sampled ranks of the b-th slice of the ranks in random order, so blocks
        come in order of rank: the whole array is a uniform sample, but a
        slice of its rows is not; ask for the size wanted instead.

    Raises
    ------
    ValueError
        Without repeats, if size > C(n, k) or C(n, k) is more than 2^128;
        if k > n; for more than 2^17 blocks.
    TypeError
        For an `rng` of another kind.

    Notes
    -----
    Without repeats, the ranks are cut into one slice per block, about
    C(n, k) * chunks / size ranks each. How many sampled ranks fall in each
    slice follows the multivariate hypergeometric law; the client draws these
    counts exactly, by splitting the slices in halves and drawing the
    univariate hypergeometric count of each left half, with an exact rejection
    sampler that works for populations up to 2^128. Given the counts, each
    block draws its own count of distinct ranks uniformly in its slice, from
    its own child of the seed (``SeedSequence.spawn``), and unranks them. The
    slices are disjoint, so no row repeats across blocks, and the result is
    exactly a uniform sample of `size` distinct combinations.

    Examples
    --------
    >>> import combinatorial.dask as cd
    >>> rows = cd.sample(10, 3, 6, rng=7, chunks=3)
    >>> rows.shape
    (6, 3)
    >>> (rows.compute() == cd.sample(10, 3, 6, rng=7, chunks=3).compute()).all()
    np.True_
    >>> cd.sample(70, 35, 4, replace=True, chunks=3).chunks
    ((3, 1), (35,))
    """
    family = subset_family(repetition)
    n, k, size, replace, total = _core.sample_arguments(family, n, k, size, replace)
    per_block = min(_row_count(chunks), max(size, 1))  # as for combinations
    _check_blocks(size, per_block)
    if total is None and not replace and size:
        raise ValueError(
            f"{_count_text(family, n, k)} is more than 2^128: without repeats the sample is drawn by rank, which "
            "must fit 128 bits; use replace=True, or combinatorial.sample in memory"
        )
    seed = _seed(rng)  # once every argument is checked, so that a failed call leaves a Generator as it was
    vertices = _core.vertex_dtype(family, n, k)
    meta = _meta(vertices, 2)
    if size == 0:
        empty: Array = da.zeros((0, k), dtype=vertices, chunks=(1, -1))
        return empty
    if replace:
        row_chunks = da.core.normalize_chunks((per_block, -1), shape=(size, k))
        return _map_blocks(
            _sample_repeats_block, n, k, family == "multisets", seed, chunks=row_chunks, dtype=vertices, meta=meta
        )
    assert total is not None
    blocks = -(-size // per_block)
    bounds = [_bound(total, size, per_block, b) for b in range(blocks + 1)]
    counts = _stratum_counts(_generator(seed, 0), bounds, size)
    return _map_blocks(
        _sample_block, n, k, family == "multisets", total, size, per_block, seed, chunks=(tuple(counts), (k,)),
        dtype=vertices, meta=meta,
    )
