# The compiled core: the one place that checks the package's arguments and
# arrays. It reads ndarrays of any integer dtype in native byte order (and
# of `uint128`), in place whatever their strides; `origin` shifts the index
# that an error names (a block's place in a larger array), () for none.
# Functions that take arrays return None for an argument that is neither an
# integer nor an ndarray it reads: the caller converts it and calls again.
# `family` is the kind of row: "subsets", "multisets" or "permutations"
# (whose order is "lex" only).
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

Origin = tuple[int, ...]
Ranks = NDArray[np.int64] | NDArray[np.uint64] | NDArray[np.void] | NDArray[np.object_]
Vertices = NDArray[np.uint16] | NDArray[np.uint32]

uint128: np.dtype[np.void]

def rank_dtype(family: object, n: object, k: object, dtype: np.dtype[Any] | None, /) -> np.dtype[Any]: ...
def vertex_dtype(family: object, n: object, k: object, /) -> np.dtype[Any]: ...
def to_int(ranks: object, /) -> NDArray[np.object_] | None: ...
def comb(
    family: object, n: object, k: object, workers: object, origin: Origin | tuple[Origin, Origin, Origin], /
) -> int | NDArray[np.uint64] | NDArray[np.void] | None: ...
def rank(
    family: object, combs: object, n: object, order: object, assume_sorted: object, dtype: np.dtype[Any] | None,
    workers: object, origin: Origin, /,
) -> Ranks | None: ...
def unrank(
    family: object, ranks: object, n: object, k: object, order: object, out: object, workers: object,
    origin: Origin, /,
) -> Vertices | None: ...
def faces(
    ranks: object, n: object, k: object, order: object, dtype: np.dtype[Any] | None, workers: object,
    origin: Origin, /,
) -> Ranks | None: ...
def cofaces(
    ranks: object, n: object, k: object, order: object, dtype: np.dtype[Any] | None, workers: object,
    origin: Origin, /,
) -> Ranks | None: ...
def combinations(
    family: object, n: object, k: object, order: object, start: object, stop: object, out: object, workers: object,
    /,
) -> Vertices: ...
def slice_arguments(
    family: object, n: object, k: object, order: object, start: object, stop: object, chunk_rows: object,
    workers: object, /,
) -> tuple[int, int, str, int, int, int, int]: ...
def sample(
    family: object, n: object, k: object, size: object, seed: Callable[[], int], replace: object, out: object,
    workers: object, /,
) -> Vertices: ...
def resolve_workers(workers: object, /) -> int: ...
def usable_cores() -> int: ...
def sample_arguments(
    family: object, n: object, k: object, size: object, replace: object, /
) -> tuple[int, int, int, bool, int | None]: ...
def count(value: object, name: str, /) -> int: ...
def distinct_ranks(seed: int, population: object, count: object, /) -> NDArray[np.uint64]: ...
