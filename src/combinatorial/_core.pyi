# The compiled core: the one place that checks the package's arguments and
# arrays. It reads ndarrays of any integer dtype in native byte order, in
# place whatever their strides; `origin` shifts the index that an error
# names (a block's place in a larger array), () for none.
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

Origin = tuple[int, ...]

def comb(n: object, k: object, workers: object, origin: Origin | tuple[Origin, Origin, Origin], /) -> int | NDArray[np.uint64]: ...
def rank(
    combs: NDArray[np.integer[Any]], n: object, order: object, assume_sorted: object, workers: object,
    origin: Origin, /,
) -> NDArray[np.int64] | NDArray[np.uint64]: ...
def unrank(
    ranks: NDArray[np.integer[Any]], n: object, k: object, order: object, out: object, workers: object,
    origin: Origin, /,
) -> NDArray[np.uint16]: ...
def faces(
    ranks: NDArray[np.integer[Any]], n: object, k: object, order: object, workers: object, origin: Origin, /
) -> NDArray[np.int64] | NDArray[np.uint64]: ...
def cofaces(
    ranks: NDArray[np.integer[Any]], n: object, k: object, order: object, workers: object, origin: Origin, /
) -> NDArray[np.int64] | NDArray[np.uint64]: ...
def combinations(
    n: object, k: object, order: object, start: object, stop: object, out: object, workers: object, /
) -> NDArray[np.uint16]: ...
def slice_arguments(
    n: object, k: object, order: object, start: object, stop: object, chunk_rows: object, workers: object, /
) -> tuple[int, int, str, int, int, int, int]: ...
def sample(
    n: object, k: object, size: object, seed: Callable[[], int], replace: object, workers: object, /
) -> NDArray[np.uint16]: ...
def resolve_workers(workers: object, /) -> int: ...
def usable_cores() -> int: ...
def sample_arguments(n: object, k: object, size: object, replace: object, /) -> tuple[int, int, int, bool, int | None]: ...
def count(value: object, name: str, /) -> int: ...
