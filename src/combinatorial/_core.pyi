# The compiled core. It takes its arrays as they are, C-contiguous and of the
# dtypes below; the Python layer converts and checks everything else.
import numpy as np
from numpy.typing import NDArray

def comb(n: NDArray[np.uint64], k: NDArray[np.uint64], workers: int, /) -> NDArray[np.uint64]: ...
def usable_cores() -> int: ...
def rank(
    combs: NDArray[np.uint16] | NDArray[np.int64],
    n: int,
    order: str,
    assume_sorted: bool,
    workers: int,
    /,
) -> NDArray[np.int64] | NDArray[np.uint64]: ...
def unrank(
    ranks: NDArray[np.uint64] | NDArray[np.int64],
    n: int,
    k: int,
    order: str,
    out: NDArray[np.uint16],
    workers: int,
    /,
) -> None: ...
def faces(
    ranks: NDArray[np.uint64] | NDArray[np.int64], n: int, k: int, order: str, workers: int, /
) -> NDArray[np.int64] | NDArray[np.uint64]: ...
def cofaces(
    ranks: NDArray[np.uint64] | NDArray[np.int64], n: int, k: int, order: str, workers: int, /
) -> NDArray[np.int64] | NDArray[np.uint64]: ...
def combinations(
    n: int, k: int, order: str, start: int, stop: int, out: NDArray[np.uint16], workers: int, /
) -> None: ...
def sample(
    n: int, k: int, size: int, seed: int, replace: bool, out: NDArray[np.uint16], workers: int, /
) -> None: ...
