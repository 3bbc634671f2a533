"""Typed use of the package and of the low-level module, checked with mypy --strict.

Run it with ``python examples/typed_usage.py`` once the package is installed.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import _combinatorial
import combinatorial


# Vertices are uint16 up to n = 65536 and uint32 above; ranks int64, uint64,
# uint128 (a structured dtype, hence np.void) or Python ints (dtype=object).
Vertices = NDArray[np.uint16] | NDArray[np.uint32]
Ranks = NDArray[np.int64] | NDArray[np.uint64] | NDArray[np.void] | NDArray[np.object_]


def triangles(n: int) -> Vertices:
    """Every 3-subset of n vertices, in lex order."""
    count: int = combinatorial.comb(n, 3)
    return combinatorial.unrank(np.arange(count), n, 3)


def colex_ranks(combs: Vertices, n: int) -> Ranks:
    return combinatorial.rank(combs, n, order="colex", workers=-1)


def main() -> None:
    per_row: NDArray[np.uint64] | NDArray[np.void] = combinatorial.comb(np.arange(8), [[2], [3]])
    wide: Ranks = combinatorial.rank([[0, 1, 2, 3, 4, 5]], 20000, dtype=combinatorial.uint128)
    exact: NDArray[np.object_] = combinatorial.to_int(wide)
    faces = triangles(6)
    ranks = colex_ranks(faces, 6)
    out = np.empty(faces.shape, dtype=np.uint16)
    back = combinatorial.unrank(ranks, 6, 3, order="colex", out=out, workers=1)
    assert back is out and (np.sort(back, axis=0) == np.sort(faces, axis=0)).all()

    # Multisets (combinations with repetition) and k-permutations.
    multisets: int = combinatorial.comb(6, 3, repetition=True)
    arrangements: int = combinatorial.perm(6, 3)
    counts: NDArray[np.uint64] | NDArray[np.void] = combinatorial.perm(np.arange(8), 3)
    bags: Vertices = combinatorial.combinations(6, 3, repetition=True)
    bag_ranks: Ranks = combinatorial.rank(bags[:, ::-1], 6, repetition=True)
    ordered: Vertices = combinatorial.permutations(6, 3, start=10, stop=20)
    ordered_ranks: Ranks = combinatorial.rank_permutations(ordered, 6, dtype=np.uint64)
    again: Vertices = combinatorial.unrank_permutations(ordered_ranks, 6, 3, workers=1)
    drawn: Vertices = combinatorial.sample_permutations(6, 3, 5, rng=np.random.default_rng(1))
    chunk_shapes = [chunk.shape for chunk in combinatorial.iter_permutations(6, 3, chunk_rows=50)]
    assert (again == ordered).all() and len(bag_ranks) == multisets and drawn.shape == (5, 3)
    print(arrangements, counts[-1], chunk_shapes)

    # The low-level module: colex rows largest vertex first, positional flags.
    low: int = _combinatorial.comb(64, 32)
    sizes: NDArray[np.uint64] = _combinatorial.comb(np.arange(8, dtype=np.uint64), 2)
    lex: NDArray[np.int64] = _combinatorial.rank_combs_sorted(faces, 6, False)
    unsorted: NDArray[np.uint64] = _combinatorial.rank_combs_unsorted([[2, 0, 1], [5, 4, 3]], 6, True)
    print(combinatorial.__version__, per_row[1, 7], exact[0], low, sizes[-1], lex[-1], unsorted)


if __name__ == "__main__":
    main()
