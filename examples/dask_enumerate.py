"""Every 7-subset of {0, ..., 49} on a Dask cluster: how many have a vertex sum divisible by 7.

    python examples/dask_enumerate.py                       # a local cluster of 2 worker processes
    python examples/dask_enumerate.py --workers 4           # of 4
    python examples/dask_enumerate.py tcp://scheduler:8786  # a running cluster

The C(50, 7) = 99,884,400 rows are built on the workers, block by block,
from their ranks; only one count per block comes back. The same count is then
made in this process alone over `combinatorial.iter_combinations`, and the
two rates are compared. Needs the extra ``combinatorial[dask]``.
"""

from __future__ import annotations

import argparse
import importlib
import math
import sys
import time
from collections.abc import Iterable, Iterator
from typing import TypeVar

import dask
import distributed
import numpy as np
from numpy.typing import NDArray

import combinatorial
import combinatorial.dask as cd

N, K, MODULUS = 50, 7, 7
# Vertex sums reach 7 * 49 = 343; a table lookup is cheaper than a remainder.
DIVISIBLE = np.arange(N * K) % MODULUS == 0
SLICE = 16384  # rows, 224 kB
T = TypeVar("T")


def count_divisible(rows: NDArray[np.uint16]) -> int:
    """Rows whose vertex sum is divisible by 7."""
    # Whole columns added in place, a slice of rows at a time: the slice
    # stays in the core's cache across the 7 passes, so two processes do not
    # compete for memory bandwidth.
    count, sums = 0, np.empty(SLICE, dtype=np.uint16)
    for first in range(0, len(rows), SLICE):
        part = rows[first : first + SLICE]
        total = sums[: len(part)]
        np.copyto(total, part[:, 0])
        for column in range(1, part.shape[1]):
            np.add(total, part[:, column], out=total)
        count += int(np.count_nonzero(DIVISIBLE[total]))
    return count


def block_count(rows: NDArray[np.uint16]) -> NDArray[np.int64]:
    # A (1, 1) block, not a dropped axis, which dask would copy the rows for.
    return np.array([[count_divisible(rows)]], dtype=np.int64)


def by_counting() -> int:
    """The same number from subset counts by size and sum mod 7, one vertex at a time."""
    ways = [[0] * MODULUS for _ in range(K + 1)]
    ways[0][0] = 1
    for v in range(N):
        for size in range(K, 0, -1):
            for r in range(MODULUS):
                ways[size][(r + v) % MODULUS] += ways[size - 1][r]
    return ways[K][0]


def bar(items: Iterable[T], count: int) -> Iterator[T]:
    """`items` passed through, with a text progress bar on stderr."""
    done = 0
    for done, item in enumerate(items, 1):
        yield item
        filled = 40 * done // count
        print(f"\r[{'#' * filled}{'.' * (40 - filled)}] {done}/{count} blocks", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)


def on_cluster(client: distributed.Client, chunk_rows: int) -> tuple[int, float]:
    rows = cd.combinations(N, K, chunks=chunk_rows)
    counts = rows.map_blocks(block_count, chunks=((1,) * rows.numblocks[0], (1,)), dtype=np.int64)
    start = time.perf_counter()
    # One future per block: the bar moves as each finishes, and the counts
    # come straight here instead of travelling between workers to be summed.
    futures = distributed.futures_of(client.persist(counts))
    for _ in bar(distributed.as_completed(futures), len(futures)):
        pass
    total = sum(int(count.sum()) for count in client.gather(futures))
    return total, time.perf_counter() - start


def in_one_process(chunk_rows: int) -> tuple[int, float]:
    start = time.perf_counter()
    chunks = combinatorial.iter_combinations(N, K, chunk_rows=chunk_rows, workers=1)
    total = sum(count_divisible(chunk) for chunk in bar(chunks, len(chunks)))
    return total, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scheduler", nargs="?", help="address of a running scheduler, e.g. tcp://scheduler:8786")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    # 2^21 rows of 14 bytes stay below the 32 MB above which malloc always maps
    # fresh pages, and make few enough blocks that scheduling them costs little.
    parser.add_argument("--chunk-rows", type=int, default=1 << 21, help="rows per block (default 2^21)")
    args = parser.parse_args()
    rows = math.comb(N, K)

    if args.scheduler:
        client = distributed.Client(args.scheduler)
        cluster = None
    else:
        # Dask starts workers with MALLOC_TRIM_THRESHOLD_ set, which hands freed
        # memory back at once: every block's rows would then land on fresh
        # pages, a third more time. Our workers keep it for the next block.
        # The blocks are alike and few, so all are handed out at once.
        dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
                         "distributed.scheduler.worker-saturation": math.inf})
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)
        client = distributed.Client(cluster)
    try:
        # Workers import the package and run a small block before the clock starts.
        client.run(importlib.import_module, "combinatorial.dask")
        client.compute(cd.combinations(N, K, stop=1000).map_blocks(block_count, chunks=((1,), (1,)), dtype=np.int64)).result()
        workers = len(client.scheduler_info()["workers"])
        print(f"{rows:,} rows of C({N}, {K}) on {workers} workers, blocks of {args.chunk_rows:,} rows")
        cluster_total, cluster_time = on_cluster(client, args.chunk_rows)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    print("The same in this process alone, over iter_combinations(workers=1):")
    single_total, single_time = in_one_process(args.chunk_rows)

    expected = by_counting()
    assert cluster_total == single_total == expected, (cluster_total, single_total, expected)
    print(f"{expected:,} of {rows:,} combinations have a vertex sum divisible by {MODULUS}")
    print(f"cluster:      {cluster_time:6.2f} s, {rows / cluster_time:13,.0f} rows/s")
    print(f"one process:  {single_time:6.2f} s, {rows / single_time:13,.0f} rows/s")
    print(f"speed-up:     {single_time / cluster_time:.2f}x")


if __name__ == "__main__":
    main()
