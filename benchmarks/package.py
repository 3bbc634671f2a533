"""The package against what a user would otherwise run, side by side in one run.

Sections:
- the price of the layer: each package call against its compiled core on
  the same arrays, with the low-level module beside them, on one million
  items and on one item;
- faces and cofaces against the route through the package itself: unrank,
  then rank each face (np.delete) or coface (np.concatenate and np.sort);

Every result is checked against its reference before it is timed. Times are
medians of back-to-back runs. Exits non-zero only when results differ.

    python benchmarks/package.py [--quick]
"""
import argparse
import math
import statistics
import sys
import time

import numpy as np

import _combinatorial as low
import combinatorial as cb
from combinatorial import _core

SEED = 2026
RESULTS = []  # (section, name, value, unit, target text, met)


def timed(call, repeats):
    """Median seconds of `repeats` back-to-back calls."""
    runs = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        runs.append(time.perf_counter() - start)
    return statistics.median(runs)


def same(a, b, what):
    if not np.array_equal(np.asarray(a), np.asarray(b)):
        raise AssertionError(f"{what}: results differ")


def report(section, name, value, unit, target=None, met=None):
    RESULTS.append((section, name, value, unit, target, met))
    verdict = "" if target is None else f"  {target} {'PASS' if met else 'miss'}"
    print(f"  {name:<58}{value:10.2f} {unit}{verdict}")


def layer_price(count, repeats):
    print(f"\nthe price of the layer: package against _core on the same arrays (workers=1), "
          f"{count:,} items and 1 item")
    n, k = 200, 5
    rng = np.random.default_rng([SEED, n, k])
    ranks = rng.integers(0, math.comb(n, k), size=count, dtype=np.uint64)
    out = np.empty((count, k), np.uint16)
    rows = cb.unrank(ranks, n, k, workers=1)
    shuffled = rng.permuted(rows, axis=1)
    colex_low = np.empty((count, k), np.uint16)
    n_values = rng.integers(0, 2000, size=count, dtype=np.uint64)
    k_values = rng.integers(0, 7, size=count, dtype=np.uint64)

    def both(name, package_call, core_call, low_call=None, check=None):
        for size, label in ((count, f"{count:,}"), (1, "1")):
            p_call, c_call = package_call(size), core_call(size)
            if check is not None and size == count:
                check(p_call(), c_call())
            p, c = timed(p_call, repeats), timed(c_call, repeats)
            extra = ""
            if low_call is not None:
                extra = f", _combinatorial {timed(low_call(size), repeats) * 1e6:.1f} µs"
            if size == count:
                ratio = p / c
                report("layer", f"{name}, {label} items: package / _core", ratio, "×", "≤1.05×", ratio <= 1.05)
                print(f"      package {p * 1e3:.2f} ms, _core {c * 1e3:.2f} ms{extra.replace(' µs', ' µs')}")
            else:
                diff = (p - c) * 1e6
                report("layer", f"{name}, 1 item: package − _core", diff, "µs", "≤2 µs", diff <= 2)

    both("unrank lex (200, 5)",
         lambda s: (lambda: cb.unrank(ranks[:s], n, k, out=out[:s], workers=1)),
         lambda s: (lambda: _core.unrank(ranks[:s], n, k, "lex", out[:s], 1)),
         lambda s: (lambda: low.unrank_combs(ranks[:s], n, k, False, out[:s])),
         check=lambda a, b: same(a, rows, "unrank"))
    both("unrank colex (200, 5)",
         lambda s: (lambda: cb.unrank(ranks[:s], n, k, order="colex", out=out[:s], workers=1)),
         lambda s: (lambda: _core.unrank(ranks[:s], n, k, "colex", out[:s], 1)),
         lambda s: (lambda: low.unrank_combs(ranks[:s], n, k, True, colex_low[:s])))
    both("rank lex (200, 5), sorted rows",
         lambda s: (lambda: cb.rank(rows[:s], n, assume_sorted=True, workers=1)),
         lambda s: (lambda: _core.rank(rows[:s], n, "lex", True, 1)),
         lambda s: (lambda: low.rank_combs_sorted(rows[:s], n, False)),
         check=lambda a, b: same(a, ranks.view(np.int64), "rank"))
    both("rank lex (200, 5), rows in any order",
         lambda s: (lambda: cb.rank(shuffled[:s], n, workers=1)),
         lambda s: (lambda: _core.rank(shuffled[:s], n, "lex", False, 1)),
         check=lambda a, b: same(a, ranks.view(np.int64), "rank unsorted"))
    both("comb, n < 2000, k <= 6",
         lambda s: (lambda: cb.comb(n_values[:s], k_values[:s], workers=1)),
         lambda s: (lambda: _core.comb(n_values[:s], k_values[:s], 1)),
         lambda s: (lambda: low.comb(n_values[:s], k_values[:s])),
         check=lambda a, b: same(a, b, "comb"))


def faces_route(ranks, n, k, order):
    rows = cb.unrank(ranks, n, k, order=order)
    return np.stack([cb.rank(np.delete(rows, j, axis=-1), n, order=order, assume_sorted=True)
                     for j in range(k)], axis=-1)


def cofaces_route(ranks, n, k, order):
    rows = cb.unrank(ranks, n, k, order=order)
    mask = np.ones((len(rows), n), bool)
    np.put_along_axis(mask, rows.astype(np.intp), False, axis=1)
    missing = np.nonzero(mask)[1].reshape(len(rows), n - k).astype(np.uint16)
    return np.stack([cb.rank(np.sort(np.concatenate([rows, missing[:, j:j + 1]], axis=1), axis=1), n,
                             order=order, assume_sorted=True)
                     for j in range(n - k)], axis=-1)


def simplices(count, repeats):
    print(f"\nfaces and cofaces of {count:,} random ranks against the route through the package "
          f"(unrank, then rank each face or coface), default workers")
    for n, k, target, with_cofaces in ((1000, 3, 3, False), (200, 5, 5, True), (60, 12, 5, False)):
        ranks = np.random.default_rng([SEED, n, k, 1]).integers(0, math.comb(n, k), size=count, dtype=np.uint64)
        for order in ("lex", "colex"):
            kinds = [("faces", cb.faces, faces_route)] + ([("cofaces", cb.cofaces, cofaces_route)] if with_cofaces else [])
            for kind, fast, route in kinds:
                expected = route(ranks, n, k, order)
                same(fast(ranks, n, k, order=order), expected, f"{kind} ({n}, {k}) {order}")
                ours = timed(lambda: fast(ranks, n, k, order=order), repeats)
                theirs = timed(lambda: route(ranks, n, k, order), max(1, repeats // 3))
                ratio = theirs / ours
                report("simplices", f"{kind} ({n}, {k}) {order}: route / {kind}", ratio, "×",
                       f"≥{target}×", ratio >= target)
                print(f"      {kind} {ours * 1e9 / count:.1f} ns per rank, route {theirs * 1e9 / count:.1f} ns")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, one run each: a smoke test for CI")
    args = parser.parse_args()
    count, repeats = (20_000, 1) if args.quick else (1_000_000, 9)
    print(f"combinatorial {cb.__version__}, NumPy {np.__version__}, {_core.usable_cores()} usable cores")
    try:
        layer_price(count, repeats)
        simplices(count, repeats)
    except AssertionError as error:
        print(f"results differ: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
