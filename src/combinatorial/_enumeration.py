"""All k-combinations or k-permutations, or any slice of them, as arrays; and random samples."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from typing import Any

from . import _core
from ._convert import Vertices, seed_from, subset_family

__all__ = ["combinations", "iter_combinations", "iter_permutations", "permutations", "sample", "sample_permutations"]


def combinations(
    n: int,
    k: int,
    *,
    order: str = "lex",
    repetition: bool = False,
    start: int = 0,
    stop: int | None = None,
    out: Vertices | None = None,
    workers: int | None = None,
) -> Vertices:
    """The k-combinations of {0, ..., n - 1}, with or without repetition, with ranks in [start, stop).

    The first row is unranked; the others follow by successor steps, whole
    runs of a column at a time, at about the speed memory is written.

    Parameters
    ----------
    n, k : int
        The vertex count (at most 2^32) and the size of each combination.
    order : {"lex", "colex"}, optional
        Lex is the order of ``itertools.combinations(range(n), k)``, or of
        ``itertools.combinations_with_replacement(range(n), k)`` with
        `repetition`.
    repetition : bool, optional
        Produce k-multisets, rows of k vertices that may repeat, of which
        there are C(n + k - 1, k). Read as a truth value.
    start, stop : int, optional
        The ranks to produce, Python ints of any size; `stop` defaults to
        the count, C(n, k) or C(n + k - 1, k).
    out : numpy.ndarray, optional
        A writable C-contiguous array of shape (stop - start, k) and of the
        vertex dtype (see Returns) to write into; it is returned.
    workers : int, optional
        Threads for large slices, as in SciPy: None (the default) or -1 for
        every usable core. The rows do not depend on it.

    Returns
    -------
    numpy.ndarray of uint16 or uint32
        Shape (stop - start, k), every row smallest vertex first; uint16
        when n <= 65536 (n + k - 1 <= 65536 with `repetition`), uint32
        above. k > n without `repetition` gives shape (0, k).

    Raises
    ------
    OverflowError
        If the count is more than 2^128.
    ValueError
        For negative or non-integer arguments (TypeError for non-integers),
        start > stop, stop past the count, n > 2^32, an unknown order.
    MemoryError
        If the result is larger than the memory available, before anything
        is allocated.

    See Also
    --------
    iter_combinations : the same rows in chunks of bounded size.
    unrank : combinations of arbitrary ranks.

    Examples
    --------
    >>> from combinatorial import combinations
    >>> combinations(4, 2)
    array([[0, 1],
           [0, 2],
           [0, 3],
           [1, 2],
           [1, 3],
           [2, 3]], dtype=uint16)
    >>> combinations(4, 2, order="colex", start=2, stop=5)
    array([[1, 2],
           [0, 3],
           [1, 3]], dtype=uint16)
    >>> combinations(1000, 10, start=2**70, stop=2**70 + 2)   # ranks past 2^64
    array([[  0,  64, 168, 176, 295, 343, 445, 458, 940, 965],
           [  0,  64, 168, 176, 295, 343, 445, 458, 940, 966]], dtype=uint16)
    >>> combinations(3, 2, repetition=True)   # itertools.combinations_with_replacement
    array([[0, 0],
           [0, 1],
           [0, 2],
           [1, 1],
           [1, 2],
           [2, 2]], dtype=uint16)
    """
    return _core.combinations(subset_family(repetition), n, k, order, start, stop, out, workers)


def permutations(
    n: int,
    k: int | None = None,
    *,
    start: int = 0,
    stop: int | None = None,
    out: Vertices | None = None,
    workers: int | None = None,
) -> Vertices:
    """The k-permutations of {0, ..., n - 1} with ranks in [start, stop), in the order of ``itertools.permutations``.

    Parameters
    ----------
    n : int
        The vertex count, at most 2^32.
    k : int, optional
        The length of each permutation; `n` by default, every ordering of
        all n vertices.
    start, stop : int, optional
        The ranks to produce, Python ints of any size; `stop` defaults to
        P(n, k) = n! / (n - k)!.
    out : numpy.ndarray, optional
        A writable C-contiguous array of shape (stop - start, k) and of the
        vertex dtype of `n` (uint16 for n <= 65536, uint32 above) to write
        into; it is returned.
    workers : int, optional
        Threads for large slices, as in `combinations`. The rows do not
        depend on it.

    Returns
    -------
    numpy.ndarray of uint16 or uint32
        Shape (stop - start, k), rows ``itertools.permutations(range(n), k)``
        gives from its `start`-th on; uint16 when n <= 65536, uint32 above.
        k > n gives shape (0, k).

    Raises
    ------
    OverflowError
        If P(n, k) is more than 2^128.
    ValueError
        For negative arguments, start > stop, stop > P(n, k), n > 2^32, an
        `out` of another shape.
    TypeError
        For non-integer arguments, an `out` of another dtype or layout.
    MemoryError
        If the result is larger than the memory available, before anything
        is allocated.

    See Also
    --------
    iter_permutations : the same rows in chunks of bounded size.
    unrank_permutations : permutations of arbitrary ranks.

    Examples
    --------
    >>> from combinatorial import permutations
    >>> permutations(3)
    array([[0, 1, 2],
           [0, 2, 1],
           [1, 0, 2],
           [1, 2, 0],
           [2, 0, 1],
           [2, 1, 0]], dtype=uint16)
    >>> permutations(4, 2, start=3, stop=6)
    array([[1, 0],
           [1, 2],
           [1, 3]], dtype=uint16)
    """
    return _core.combinations("permutations", n, n if k is None else k, "lex", start, stop, out, workers)


class RowChunks:
    """The rows of `combinations` or `permutations` in consecutive chunks; its length is the number of chunks."""

    def __init__(
        self, family: str, n: int, k: int, order: str, start: int, stop: int, chunk_rows: int, workers: int
    ) -> None:
        self.family, self.n, self.k, self.order = family, n, k, order
        self.start, self.stop, self.chunk_rows, self.workers = start, stop, chunk_rows, workers

    @property
    def chunk_count(self) -> int:
        """The number of chunks, exact however large."""
        return -(-(self.stop - self.start) // self.chunk_rows)

    def __len__(self) -> int:
        count = self.chunk_count
        if count > sys.maxsize:  # len() cannot say more; chunk_count can
            raise OverflowError(f"{count} chunks are more than len() can return; chunk_count holds the number")
        return count

    def __iter__(self) -> Iterator[Vertices]:
        for first in range(self.start, self.stop, self.chunk_rows):
            last = min(first + self.chunk_rows, self.stop)
            yield _core.combinations(self.family, self.n, self.k, self.order, first, last, None, self.workers)

    def __repr__(self) -> str:
        if self.family == "permutations":
            call = f"iter_permutations({self.n}, {self.k}"
        else:
            call = f"iter_combinations({self.n}, {self.k}, order={self.order!r}"
            call += ", repetition=True" if self.family == "multisets" else ""
        return f"{call}, start={self.start}, stop={self.stop}, chunk_rows={self.chunk_rows}): {self.chunk_count} chunks"


def iter_combinations(
    n: int,
    k: int,
    *,
    order: str = "lex",
    repetition: bool = False,
    start: int = 0,
    stop: int | None = None,
    chunk_rows: int = 1 << 20,
    workers: int | None = None,
) -> RowChunks:
    """The rows of `combinations` as consecutive chunks of at most `chunk_rows` rows.

    Each chunk is a fresh (rows, k) array of the vertex dtype of
    `combinations` that the caller may keep; memory stays at about one chunk
    whatever the count is. The object returned knows its number of chunks,
    so progress bars such as ``tqdm`` show it.

    Parameters
    ----------
    n, k, order, repetition, start, stop, workers
        As in `combinations`.
    chunk_rows : int, optional
        The most rows per chunk, at least 1.

    Returns
    -------
    RowChunks
        An iterable of arrays with ``len()``, the number of chunks (its
        ``chunk_count`` holds it when it passes what ``len()`` can return).

    Examples
    --------
    >>> from combinatorial import iter_combinations
    >>> chunks = iter_combinations(5, 3, chunk_rows=4)
    >>> len(chunks)
    3
    >>> [chunk.shape for chunk in chunks]
    [(4, 3), (4, 3), (2, 3)]
    >>> len(iter_combinations(5, 3, repetition=True, chunk_rows=4))   # C(7, 3) = 35 rows
    9
    """
    return _chunks(subset_family(repetition), n, k, order, start, stop, chunk_rows, workers)


def _chunks(
    family: str, n: int, k: int, order: str, start: int, stop: int | None, chunk_rows: int, workers: int | None
) -> RowChunks:
    return RowChunks(family, *_core.slice_arguments(family, n, k, order, start, stop, chunk_rows, workers))


def iter_permutations(
    n: int,
    k: int | None = None,
    *,
    start: int = 0,
    stop: int | None = None,
    chunk_rows: int = 1 << 20,
    workers: int | None = None,
) -> RowChunks:
    """The rows of `permutations` as consecutive chunks of at most `chunk_rows` rows.

    Each chunk is a fresh (rows, k) array (uint16, or uint32 for n > 65536)
    that the caller may keep; memory stays at about one chunk whatever
    P(n, k) is. The object returned knows its number of chunks, so progress
    bars such as ``tqdm`` show it.

    Parameters
    ----------
    n, k, start, stop, workers
        As in `permutations`.
    chunk_rows : int, optional
        The most rows per chunk, at least 1.

    Returns
    -------
    RowChunks
        An iterable of arrays with ``len()``, the number of chunks.

    Examples
    --------
    >>> from combinatorial import iter_permutations
    >>> chunks = iter_permutations(4, 2, chunk_rows=5)
    >>> len(chunks)
    3
    >>> [chunk.shape for chunk in chunks]
    [(5, 2), (5, 2), (2, 2)]
    >>> len(iter_permutations(20, chunk_rows=2**40))   # 20! rows
    2212712
    """
    return _chunks("permutations", n, n if k is None else k, "lex", start, stop, chunk_rows, workers)


def sample(
    n: int,
    k: int,
    size: int,
    *,
    rng: Any = None,
    replace: bool = False,
    repetition: bool = False,
    out: Vertices | None = None,
    workers: int | None = None,
) -> Vertices:
    """Uniformly random k-subsets (or k-multisets) of {0, ..., n - 1}.

    Works whatever C(n, k) is, 2^128 and far beyond included: where it fits
    128 bits, distinct uniform ranks are drawn and unranked; beyond, rows
    are drawn directly (Floyd's algorithm) and repeats are redrawn.

    Parameters
    ----------
    n, k : int
        The vertex count (at most 2^32) and the size of each subset.
    size : int
        How many subsets to draw.
    rng : numpy.random.Generator or seed, optional
        A Generator, or anything ``numpy.random.default_rng`` accepts; one
        64-bit value is drawn from it. The same seed gives the same rows.
    replace : bool, optional
        If False (the default), the rows are distinct. Read as a truth
        value, as ``numpy.random.Generator.choice`` reads it.
    repetition : bool, optional
        Draw uniform k-multisets, rows whose vertices may repeat, among the
        C(n + k - 1, k) of them; `replace` still says whether whole rows may
        repeat. Read as a truth value.
    out : numpy.ndarray, optional
        A writable C-contiguous array of shape (size, k) and of the vertex
        dtype (see Returns) to write into; it is returned. Reusing one saves
        the first touch of fresh pages, which can cost as much as drawing
        the rows.
    workers : int, optional
        Threads, as in SciPy: None (the default) or -1 for every usable
        core. The rows do not depend on it.

    Returns
    -------
    numpy.ndarray of uint16 or uint32
        Shape (size, k), every row smallest vertex first, the rows in random
        order, so that any prefix of a sample is itself a uniform sample.
        uint16 when n <= 65536 (n + k - 1 <= 65536 with `repetition`),
        uint32 above.

    Raises
    ------
    ValueError
        If ``replace`` is False and `size` is more than the count; for
        negative arguments, k > n without `repetition`, n > 2^32, a size of
        2^63 rows or more, an `out` of another shape.
    TypeError
        For non-integer arguments, an `out` of another dtype or layout.
    MemoryError
        If the result is larger than the memory available, before anything
        is allocated.

    Examples
    --------
    >>> from combinatorial import sample
    >>> rows = sample(100, 20, 3, rng=42)   # C(100, 20) is about 5.4e20
    >>> rows.shape, rows.dtype
    ((3, 20), dtype('uint16'))
    >>> bool((sample(100, 20, 3, rng=42) == rows).all())
    True
    >>> sorted(map(tuple, sample(4, 2, 6, rng=1).tolist()))
    [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    >>> import numpy as np
    >>> out = np.empty((3, 20), np.uint16)
    >>> sample(100, 20, 3, rng=42, out=out) is out and bool((out == rows).all())
    True
    >>> sample(10**6, 3, 2, rng=1).dtype   # n > 65536: uint32 vertices
    dtype('uint32')
    >>> sorted(map(tuple, sample(3, 2, 6, rng=1, repetition=True).tolist()))
    [(0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2)]
    """
    return _core.sample(subset_family(repetition), n, k, size, seed_from(rng), replace, out, workers)


def sample_permutations(
    n: int,
    k: int,
    size: int,
    *,
    rng: Any = None,
    replace: bool = False,
    out: Vertices | None = None,
    workers: int | None = None,
) -> Vertices:
    """Uniformly random k-permutations of {0, ..., n - 1}.

    Works whatever P(n, k) is, 2^128 and far beyond included.

    Parameters
    ----------
    n, k : int
        The vertex count (at most 2^32) and the length of each permutation.
    size : int
        How many permutations to draw.
    rng : numpy.random.Generator or seed, optional
        A Generator, or anything ``numpy.random.default_rng`` accepts, as in
        `sample`. The same seed gives the same rows.
    replace : bool, optional
        If False (the default), the rows are distinct. Read as a truth
        value.
    out : numpy.ndarray, optional
        A writable C-contiguous array of shape (size, k) and of the vertex
        dtype of `n` (uint16 for n <= 65536, uint32 above) to write into;
        it is returned.
    workers : int, optional
        Threads, as in `sample`. The rows do not depend on it.

    Returns
    -------
    numpy.ndarray of uint16 or uint32
        Shape (size, k), each row k distinct vertices in random order, the
        rows in random order; uint16 when n <= 65536, uint32 above.

    Raises
    ------
    ValueError
        If ``replace`` is False and `size` is more than P(n, k); for
        negative arguments, k > n, n > 2^32, a size of 2^63 rows or more,
        an `out` of another shape.
    TypeError
        For non-integer arguments, an `out` of another dtype or layout.
    MemoryError
        If the result is larger than the memory available, before anything
        is allocated.

    Examples
    --------
    >>> from combinatorial import sample_permutations
    >>> rows = sample_permutations(50, 30, 3, rng=42)   # P(50, 30) is about 1.3e46, past 2^128
    >>> rows.shape, rows.dtype
    ((3, 30), dtype('uint16'))
    >>> sorted(map(tuple, sample_permutations(3, 2, 6, rng=1).tolist()))
    [(0, 1), (0, 2), (1, 0), (1, 2), (2, 0), (2, 1)]
    """
    return _core.sample("permutations", n, k, size, seed_from(rng), replace, out, workers)
