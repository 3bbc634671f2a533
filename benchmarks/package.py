"""The package against what a user would otherwise run, side by side in one run.

Sections:
- one-item calls side by side with the last commit on pybind11, built into
  a venv of its own (benchmarks/side_by_side.py), each tree's package
  against its own core, and the peak memory of a broadcast comb in both;
  not with --quick, which times this tree alone;
- the price of the layer: each package call against its compiled core on
  the same arrays, with the low-level module beside them, on one million
  items;
- faces and cofaces against the route through the package itself: unrank,
  then rank each face (np.delete) or coface (np.concatenate and np.sort);
- combinations against np.fromiter over itertools.combinations and against
  unrank(np.arange(rows)), on one core, into a fresh result and into a
  reused out, with NumPy's first touch of fresh pages shown apart;
  iter_combinations over all C(52, 7) rows, its peak memory measured in a
  fresh process;
- sample against the argsort route and rng.choice followed by unrank, the
  same two ways;
- scaling: workers=2 against workers=1 on ten million items, and the
  default against workers=1 on a thousand;
- widths: 128-bit ranks against 64-bit ones (unrank, rank, faces), 32-bit
  vertices against the NumPy route of numpy_reference.py, combinations of
  32-bit vertices from a start past 10^9 against 16-bit ones in bytes per
  second, and batch calls on 64-bit ranks and 16-bit vertices side by side
  with the last commit before 128-bit ranks (not with --quick);
- families: permutations against np.fromiter over itertools.permutations,
  multisets (repetition=True) against combinations of as many rows, ranking
  and unranking of permutations against those of combinations (workers=1),
  sample_permutations against rng.choice followed by unrank_permutations;

Every result is checked against its reference before it is timed. Calls
against a route run on one core (workers=1) and count the least thread CPU
time of several runs, which holds still while other processes load the
machine; where two calls are compared closely (the layer's price), the
median ratio of pairs of runs, also in thread CPU time; for one-item calls
the least of many timeit repeats; scaling over threads in wall-clock
medians, which need the cores free. Exits non-zero only when results differ.

    python benchmarks/package.py [--quick] [--baseline COMMIT] [--only SECTION]
"""
import argparse
import itertools
import json
import math
import os
import resource
import subprocess
import statistics
import sys
import time
from pathlib import Path

# NumPy's BLAS threads, unused here, otherwise spin on the cores the calls use.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import _combinatorial as low
import combinatorial as cb
from combinatorial import _core

import numpy_reference as ref
import side_by_side

SEED = 2026
RESULTS = []  # (section, name, value, unit, target text, met)
BASELINE = "18ce607"  # the last commit whose core was built with pybind11
NARROW = "7d0be5e"  # the last commit before 128-bit ranks and 32-bit vertices


def timed(call, repeats):
    """Median seconds of `repeats` back-to-back calls."""
    runs = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        runs.append(time.perf_counter() - start)
    return statistics.median(runs)


def paired(first, second, repeats, budget):
    """The median ratio first / second over runs that time them back to back, and each one's least time.

    A ratio of two calls made one after the other sees the same load, so
    its median holds still where the times themselves drift. Each goes first
    in half the runs: the second of a pair can pay for the first one's freed
    memory. Short calls get more runs, about `budget` seconds each in all,
    and never fewer than `repeats`. The calls run on this thread alone
    (workers=1), so its CPU time is what they cost: unlike the wall clock,
    it leaves out the time other processes of a shared machine hold the core.
    """
    start = time.thread_time()
    first()
    runs = max(repeats, min(1000, int(budget / max(time.thread_time() - start, 1e-4))))
    ratios, least = [], {first: math.inf, second: math.inf}
    for run in range(runs):
        took = {}
        for call in (first, second) if run % 2 == 0 else (second, first):
            start = time.thread_time()
            call()
            took[call] = time.thread_time() - start
            least[call] = min(least[call], took[call])
        ratios.append(took[first] / max(took[second], 1e-9))
    return statistics.median(ratios), least[first], least[second]


def same(a, b, what):
    if not np.array_equal(np.asarray(a), np.asarray(b)):
        raise AssertionError(f"{what}: results differ")


def report(section, name, value, unit, target=None, met=None):
    RESULTS.append((section, name, value, unit, target, met))
    verdict = "" if target is None else f"  {target} {'PASS' if met else 'miss'}"
    print(f"  {name:<58}{value:10.2f} {unit}{verdict}")


def layer_price(count, repeats, budget):
    print(f"\nthe price of the layer: package against _core on the same {count:,} items (workers=1), "
          f"median ratio of thread CPU times over at least {repeats} back-to-back pairs")
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
        if check is not None:
            check(package_call(), core_call())
        ratio, p, c = paired(package_call, core_call, repeats, budget)
        extra = "" if low_call is None else f", _combinatorial {timed(low_call, repeats) * 1e3:.2f} ms"
        report("layer", f"{name}: package / _core", ratio, "×", "≤1.05×", ratio <= 1.05)
        print(f"      least: package {p * 1e3:.2f} ms, _core {c * 1e3:.2f} ms{extra}")

    both("unrank lex (200, 5)",
         lambda: cb.unrank(ranks, n, k, out=out, workers=1),
         lambda: _core.unrank("subsets", ranks, n, k, "lex", out, 1, ()),
         lambda: low.unrank_combs(ranks, n, k, False, out),
         check=lambda a, b: (same(a, rows, "unrank"), same(b, rows, "_core.unrank")))
    both("unrank lex (200, 5), result allocated",
         lambda: cb.unrank(ranks, n, k, workers=1),
         lambda: _core.unrank("subsets", ranks, n, k, "lex", None, 1, ()),
         check=lambda a, b: (same(a, rows, "unrank"), same(b, rows, "_core.unrank")))
    both("unrank colex (200, 5)",
         lambda: cb.unrank(ranks, n, k, order="colex", out=out, workers=1),
         lambda: _core.unrank("subsets", ranks, n, k, "colex", out, 1, ()),
         lambda: low.unrank_combs(ranks, n, k, True, colex_low))
    both("rank lex (200, 5), sorted rows",
         lambda: cb.rank(rows, n, assume_sorted=True, workers=1),
         lambda: _core.rank("subsets", rows, n, "lex", True, None, 1, ()),
         lambda: low.rank_combs_sorted(rows, n, False),
         check=lambda a, b: (same(a, ranks.view(np.int64), "rank"), same(b, a, "_core.rank")))
    both("rank lex (200, 5), rows in any order",
         lambda: cb.rank(shuffled, n, workers=1),
         lambda: _core.rank("subsets", shuffled, n, "lex", False, None, 1, ()),
         check=lambda a, b: (same(a, ranks.view(np.int64), "rank unsorted"), same(b, a, "_core.rank")))
    both("faces lex (200, 5)",
         lambda: cb.faces(ranks, n, k, workers=1),
         lambda: _core.faces(ranks, n, k, "lex", None, 1, ()),
         check=lambda a, b: same(a, b, "faces"))
    both("comb, n < 2000, k <= 6",
         lambda: cb.comb(n_values, k_values, workers=1),
         lambda: _core.comb("subsets", n_values, k_values, 1, ()),
         lambda: low.comb(n_values, k_values),
         check=lambda a, b: same(a, b, "comb"))


def one_item(quick, baseline):
    """One-item calls of this tree and of `baseline`, each package against its own core, in one table."""
    rounds, repeat = (1, 5) if quick else (7, 20)
    sides = [("this tree", sys.executable)]
    if quick:
        print(f"\none-item calls of this tree only: the side-by-side with {baseline} is skipped with --quick")
    else:
        print(f"\none-item calls side by side with {baseline}"
              + (", the last commit on pybind11" if baseline == BASELINE else ""))
        python, why = side_by_side.baseline_python(baseline, np.__version__)
        if python is None:
            print(f"  side-by-side skipped: {why}")
        else:
            sides.insert(0, (baseline, python))
    best, described = side_by_side.one_item_times(sides, rounds, repeat)
    mine = described["this tree"]["results"]
    for name, description in described.items():
        for case, got in description["results"].items():
            same(got["package"], got["core"], f"{name}: {case}, package against _core")
            same(got["package"], mine[case]["package"], f"{case}: {name} against this tree")
        print(f"  {name}: {description['binding']} core, Python {description['python']}, "
              f"NumPy {description['numpy']}, from {Path(description['file']).parent}")
    old = sides[0][0] if len(sides) == 2 else None
    print(f"  least thread CPU µs per call (workers=1) of {rounds * repeat} timeit repeats"
          + (f", {rounds} rounds asking the trees in turn" if old is not None else ""))
    heading = f"  {'':<31}{'package':>8}{'_core':>8}{'layer':>8}"
    if old is not None:
        groups = [f"-- {name}, {described[name]['binding']} --" for name in (old, "this tree")]
        print(f"  {'':<31}{groups[0]:^24}{groups[1]:^26}{'new package above':^28}")
        heading = (f"  {'':<31}{'package':>8}{'_core':>8}{'layer':>8}  {'package':>8}{'_core':>8}{'layer':>8}"
                   f"  {'old _core':>12}{'new _core':>12}  {'bound':>6}")
    print(heading)
    for case, times in best["this tree"].items():
        new_p, new_c = times["package"] * 1e6, times["core"] * 1e6
        line = f"  {case:<31}"
        if old is None:
            line += f"{new_p:8.3f}{new_c:8.3f}{new_p - new_c:8.3f}"
            RESULTS.append(("one item", f"{case}: package − _core", new_p - new_c, "µs", None, None))
            print(line)
            continue
        old_p, old_c = best[old][case]["package"] * 1e6, best[old][case]["core"] * 1e6
        bound = (old_p - old_c) / 2
        strict, loose = new_p - old_c, new_p - new_c
        verdict = {figure: "PASS" if figure <= bound else "miss" for figure in (strict, loose)}
        line += (f"{old_p:8.3f}{old_c:8.3f}{old_p - old_c:8.3f}  {new_p:8.3f}{new_c:8.3f}{new_p - new_c:8.3f}"
                 f"  {strict:7.3f} {verdict[strict]}{loose:7.3f} {verdict[loose]}  {bound:6.3f}")
        print(line)
        RESULTS.append(("one item", f"{case}: new package − old _core", strict, "µs", f"≤{bound:.3f}",
                        strict <= bound))
        RESULTS.append(("one item", f"{case}: new package − new _core", loose, "µs", f"≤{bound:.3f}",
                        loose <= bound))
    if old is not None:
        print(f"  layer: package − _core; bound: half the old layer. The old scalar comb never reached its "
              f"core: its _core column is\n  the Python function that computed it (_exact).")
        met = sum(1 for r in RESULTS if r[0] == "one item" and r[5])
        total = sum(1 for r in RESULTS if r[0] == "one item")
        print(f"  {met} of {total} figures within their bound")
    comb_memory(sides)


def comb_memory(sides):
    side = side_by_side.COMB_SIDE
    print(f"\npeak resident memory of comb(np.arange({side})[:, None], np.arange({side})[None, :] % 7), "
          f"each in a fresh process")
    for name, python in sides:
        got = side_by_side.comb_memory_of(python)
        if not got["right"]:
            raise AssertionError(f"{name}: the broadcast comb gave wrong values")
        mib, result = got["increase"] / 2**20, got["result"] / 2**20
        target = f"≤{result:.0f} + 16 MiB"
        if name == "this tree":
            report("memory", f"{name}: peak growth", mib, "MiB", target, mib <= result + 16)
        else:
            report("memory", f"{name}: peak growth (the bound, for reference: {target})", mib, "MiB")


def faces_route(ranks, n, k, order):
    rows = cb.unrank(ranks, n, k, order=order, workers=1)
    return np.stack([cb.rank(np.delete(rows, j, axis=-1), n, order=order, assume_sorted=True, workers=1)
                     for j in range(k)], axis=-1)


def cofaces_route(ranks, n, k, order):
    rows = cb.unrank(ranks, n, k, order=order, workers=1)
    mask = np.ones((len(rows), n), bool)
    np.put_along_axis(mask, rows.astype(np.intp), False, axis=1)
    missing = np.nonzero(mask)[1].reshape(len(rows), n - k).astype(np.uint16)
    return np.stack([cb.rank(np.sort(np.concatenate([rows, missing[:, j:j + 1]], axis=1), axis=1), n,
                             order=order, assume_sorted=True, workers=1)
                     for j in range(n - k)], axis=-1)


def simplices(count, repeats):
    print(f"\nfaces and cofaces of {count:,} random ranks against the route through the package "
          f"(unrank, then rank each face or coface), on one core (workers=1, least thread CPU time)")
    for n, k, target, with_cofaces in ((1000, 3, 3, False), (200, 5, 5, True), (60, 12, 5, False)):
        ranks = np.random.default_rng([SEED, n, k, 1]).integers(0, math.comb(n, k), size=count, dtype=np.uint64)
        for order in ("lex", "colex"):
            kinds = [("faces", cb.faces, faces_route)] + ([("cofaces", cb.cofaces, cofaces_route)] if with_cofaces else [])
            for kind, fast, route in kinds:
                expected = route(ranks, n, k, order)
                same(fast(ranks, n, k, order=order), expected, f"{kind} ({n}, {k}) {order}")
                ours = least_cpu(lambda: fast(ranks, n, k, order=order, workers=1), repeats)
                theirs = least_cpu(lambda: route(ranks, n, k, order), max(1, repeats // 3))
                ratio = theirs / ours
                report("simplices", f"{kind} ({n}, {k}) {order}: route / {kind}", ratio, "×",
                       f"≥{target}×", ratio >= target)
                print(f"      {kind} {ours * 1e9 / count:.1f} ns per rank, route {theirs * 1e9 / count:.1f} ns")


def fromiter_route(n, k, rows):
    flat = itertools.chain.from_iterable(itertools.islice(itertools.combinations(range(n), k), rows))
    return np.fromiter(flat, np.uint16, count=rows * k).reshape(rows, k)


def least_cpu(call, repeats):
    """The least thread CPU seconds of `repeats` calls: what the call costs this core, whatever
    other processes do with the machine's cores (their cache traffic aside)."""
    least = math.inf
    for _ in range(repeats):
        start = time.thread_time()
        call()
        least = min(least, time.thread_time() - start)
    return least


def fresh_and_reused(section, what, call, out, route, repeats, target):
    """A call on one core into a fresh result and into a reused `out`, against `route` seconds:
    both ratios judged against `target`, and the first touch of the fresh pages shown."""
    fresh = least_cpu(lambda: call(None), repeats)
    reused = least_cpu(lambda: call(out), repeats)
    touch = least_cpu(lambda: np.empty(out.shape, out.dtype).fill(1), repeats) - least_cpu(lambda: out.fill(1), repeats)
    items = out.shape[0]
    print(f"      {what}: fresh {fresh * 1e9 / items:.2f} ns per row, into out {reused * 1e9 / items:.2f}, "
          f"of which NumPy's first touch of {out.nbytes / 2**20:.0f} MiB of fresh pages "
          f"{max(touch, 0) * 1e9 / items:.2f}; the route {route * 1e9 / items:.1f}")
    for way, seconds in (("fresh", fresh), ("into out", reused)):
        report(section, f"{what}, {way}: route / call", route / seconds, "×", f"≥{target}×", route / seconds >= target)
    return fresh, reused


def enumeration(count, repeats, quick):
    limit = count * 10
    print(f"\ncombinations of min(C(n, k), {limit:,}) rows on one core (workers=1, least thread CPU time of "
          f"{repeats}), into a fresh result and into a reused out, against np.fromiter over itertools "
          f"(timed on fewer rows and scaled) and unrank(np.arange(rows))")
    for n, k, vs_fromiter, vs_unrank in ((40, 6, 100, 3), (100, 3, 50, 2), (30, 12, 50, 3)):
        rows = min(math.comb(n, k), limit)
        sample_rows = min(rows, 200_000 if not quick else 20_000)
        same(cb.combinations(n, k, stop=sample_rows), fromiter_route(n, k, sample_rows), f"combinations ({n}, {k})")
        fromiter = least_cpu(lambda: fromiter_route(n, k, sample_rows), 3) * rows / sample_rows
        out = np.empty((rows, k), np.uint16)
        ranks = np.arange(rows, dtype=np.uint64)
        call = lambda o: cb.combinations(n, k, stop=rows, out=o, workers=1)
        fresh_and_reused("enumeration", f"combinations ({n}, {k}) against fromiter", call, out, fromiter, repeats,
                         vs_fromiter)
        unranked = least_cpu(lambda: cb.unrank(ranks, n, k, out=out, workers=1), repeats)
        reused = least_cpu(lambda: call(out), repeats)
        report("enumeration", f"combinations ({n}, {k}), into out: unrank(arange) into out / call", unranked / reused,
               "×", f"≥{vs_unrank}×", unranked / reused >= vs_unrank)
        wall = timed(lambda: cb.combinations(n, k, stop=rows), repeats)
        print(f"      default workers, fresh result, wall clock: {wall * 1e9 / rows:.2f} ns per row")
    n, k = (52, 7) if not quick else (30, 7)
    child = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--iter-child", str(n), str(k)],
                           capture_output=True, text=True)
    if child.returncode != 0:
        raise AssertionError(f"iter_combinations child failed:\n{child.stderr}")
    result = json.loads(child.stdout)
    if result["rows"] != math.comb(n, k) or not result["consecutive"]:
        raise AssertionError("iter_combinations gave the wrong rows")
    slice_rows = min(math.comb(n, k), limit)
    whole = timed(lambda: cb.combinations(n, k, stop=slice_rows), repeats) / slice_rows
    per_row = result["seconds"] / result["rows"]
    print(f"      iter_combinations({n}, {k}): {result['rows']:,} rows in {len_chunks(n, k)} chunks, "
          f"{per_row * 1e9:.2f} ns per row against combinations' {whole * 1e9:.2f}")
    report("enumeration", f"iter_combinations({n}, {k}): peak above the interpreter", result["increase"] / 1e6,
           "MB", "<100 MB", result["increase"] < 100e6)
    report("enumeration", f"iter_combinations({n}, {k}): speed / combinations' speed", whole / per_row, "×",
           "≥0.8×", whole / per_row >= 0.8)


def len_chunks(n, k):
    return len(cb.iter_combinations(n, k))


def iter_child(n, k):
    """In a fresh process: all rows of (n, k) through iter_combinations, with a check that they follow on."""
    cb.combinations(5, 2)  # the one-time imports and set-up
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    rows, consecutive, previous = 0, True, None
    start = time.perf_counter()
    for chunk in cb.iter_combinations(n, k):
        rows += len(chunk)
        if previous is not None:  # each chunk starts where the last one ended: one lex step on
            consecutive &= bool(cb.rank(chunk[:1], n, assume_sorted=True)[0] ==
                                cb.rank(previous[None, :], n, assume_sorted=True)[0] + 1)
        previous = chunk[-1]
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    json.dump({"rows": rows, "seconds": seconds, "increase": (after - before) * 1024,
               "consecutive": consecutive}, sys.stdout)


def sampling(count, repeats, quick):
    n, k = 1000, 5
    print(f"\nsample({n}, {k}, {count:,}) on one core (workers=1, least thread CPU time of {repeats}), into a "
          f"fresh result and a reused out, against the argsort route (timed on {count // 100:,} rows and "
          f"scaled) and rng.choice without replacement followed by unrank")
    rng = np.random.default_rng(SEED)
    rows = cb.sample(n, k, count, rng=1)
    if len(np.unique(cb.rank(rows, n))) != count:
        raise AssertionError("sample gave repeated rows")
    small = count // 100
    argsort = least_cpu(lambda: np.argsort(rng.random((small, n)), axis=1)[:, :k], 3) * count / small
    choice = least_cpu(lambda: cb.unrank(rng.choice(math.comb(n, k), count, replace=False), n, k, workers=1),
                       max(1, repeats // 3))
    out = np.empty((count, k), np.uint16)
    call = lambda o: cb.sample(n, k, count, rng=1, out=o, workers=1)
    fresh_and_reused("sampling", f"sample({n}, {k}, {count:,}) against argsort", call, out, argsort, repeats, 1000)
    fresh_and_reused("sampling", f"sample({n}, {k}, {count:,}) against choice + unrank", call, out, choice, repeats,
                     1.5)
    wall = timed(lambda: cb.sample(n, k, count, rng=1), repeats)
    print(f"      default workers, fresh result, wall clock: {wall * 1e9 / count:.1f} ns per row")
    wide = timed(lambda: cb.sample(100, 20, count, rng=2), 1)
    distinct = len(np.unique(cb.sample(100, 20, count, rng=2), axis=0)) == count
    print(f"      sample(100, 20, {count:,}): {wide * 1e3:.0f} ms, C(100, 20) = {math.comb(100, 20):.2e}, "
          f"rows distinct: {distinct}")
    if not distinct:
        raise AssertionError("sample(100, 20) gave repeated rows")


def scaling(count, repeats):
    print(f"\nscaling on {count:,} items: workers=2 against workers=1 (this machine has "
          f"{_core.usable_cores()} usable cores), and the default against workers=1 on 1,000 items")
    cases = []
    for n, k in ((200, 5), (60, 12)):
        ranks = np.random.default_rng([SEED, n, k, 2]).integers(0, math.comb(n, k), size=count, dtype=np.uint64)
        out = np.empty((count, k), np.uint16)
        cases.append((f"unrank ({n}, {k})", lambda w, r=ranks, o=out, n=n, k=k: cb.unrank(r, n, k, out=o, workers=w)))
        if k == 12:
            rows = cb.unrank(ranks, n, k)
            cases.append((f"rank ({n}, {k})", lambda w, rows=rows, n=n: cb.rank(rows, n, assume_sorted=True, workers=w)))
    cases.append(("combinations (30, 12)", lambda w: cb.combinations(30, 12, stop=count, workers=w)))
    for name, call in cases:
        same(call(2), call(1), name)
        one, two = timed(lambda: call(1), repeats), timed(lambda: call(2), repeats)
        report("scaling", f"{name}: workers=1 / workers=2", one / two, "×", "≥1.7×", one / two >= 1.7)
    small = np.random.default_rng(SEED).integers(0, math.comb(200, 5), size=1000, dtype=np.uint64)
    one = timed(lambda: cb.unrank(small, 200, 5, workers=1), repeats * 50)
    default = timed(lambda: cb.unrank(small, 200, 5), repeats * 50)
    report("scaling", "unrank (200, 5), 1,000 items: default / workers=1", default / one, "×", "≤1.05×",
           default / one <= 1.05)


def first_touch(shape, dtype, repeats):
    """Seconds NumPy spends on the fresh pages of a new array of `shape` before a call can fill them."""
    out = np.empty(shape, dtype).view(np.uint8)  # bytes: structured dtypes take no fill value
    fresh = least_cpu(lambda: np.empty(shape, dtype).view(np.uint8).fill(1), repeats)
    return max(fresh - least_cpu(lambda: out.fill(1), repeats), 0)


def random_ranks(rng, count, size):
    """`size` uniform ranks below `count`, int64 or, past 2^64, uint128."""
    return wide_ranks(rng, count, size) if count > 2**64 else rng.integers(0, count, size=size, dtype=np.int64)


def wide_ranks(rng, count, size):
    """`size` uniform ranks below `count` (past 2^64) as uint128: random hi and lo words, drawn again
    where they reach `count`."""
    top_hi, top_lo = count >> 64, count & (2**64 - 1)
    ranks = np.empty(size, cb.uint128)
    todo = np.arange(size)
    while len(todo):
        ranks["hi"][todo] = rng.integers(0, top_hi + 1, size=len(todo), dtype=np.uint64)
        ranks["lo"][todo] = rng.integers(0, 2**64, size=len(todo), dtype=np.uint64)
        hi, lo = ranks["hi"][todo], ranks["lo"][todo]
        todo = todo[(hi == top_hi) & (lo >= top_lo)]
    return ranks


def oracle_rank(row, n, order):
    """The rank of one increasing row in Python ints, from the sums that define it."""
    k = len(row)
    if order == "colex":
        return sum(math.comb(int(c), i + 1) for i, c in enumerate(row))
    return math.comb(n, k) - 1 - sum(math.comb(n - 1 - int(c), k - i) for i, c in enumerate(row))


def check_rows(rows, ranks, n, order, what, checked=200):
    """Rows increasing below n everywhere, and the first `checked` of them of the given ranks by the oracle."""
    if not (np.all(np.diff(rows.astype(np.int64), axis=-1) > 0) and int(rows.max()) < n):
        raise AssertionError(f"{what}: rows not increasing below n")
    got = [oracle_rank(row, n, order) for row in rows[:checked]]
    if got != list(cb.to_int(ranks[:checked])):
        raise AssertionError(f"{what}: ranks differ from the oracle")


def widths(count, repeats, quick):
    rng = np.random.default_rng([SEED, 128])
    print(f"\n128-bit ranks against 64-bit ones on {count:,} random items, on one core (workers=1, least thread "
          f"CPU time of {repeats}); ranks of sorted rows (assume_sorted), unranking into a reused out")
    for order in ("lex", "colex"):
        cost = {}
        for n, k in ((200, 10), (1000, 10)):
            total = math.comb(n, k)
            ranks = random_ranks(rng, total, count)
            rows = cb.unrank(ranks, n, k, order=order)
            check_rows(rows, ranks, n, order, f"unrank ({n}, {k}) {order}")
            same(cb.rank(rows, n, order=order, assume_sorted=True), ranks, f"rank ({n}, {k}) {order}")
            out = np.empty_like(rows)
            cost["unrank", n] = least_cpu(lambda: cb.unrank(ranks, n, k, order=order, out=out, workers=1),
                                          repeats) * 1e9 / count
            cost["rank", n] = least_cpu(lambda: cb.rank(rows, n, order=order, assume_sorted=True, workers=1),
                                        repeats) * 1e9 / count
        for kind in ("unrank", "rank"):
            ratio = cost[kind, 1000] / cost[kind, 200]
            report("widths", f"{kind} {order}: 128-bit (1000, 10) / 64-bit (200, 10)", ratio, "×", "≤3×",
                   ratio <= 3)
            print(f"      {kind} {cost[kind, 1000]:.1f} ns per item at 128 bits, {cost[kind, 200]:.1f} at 64")

    print(f"\nfaces of 128-bit ranks against faces of 64-bit ones on {count:,} random ranks (workers=1, least "
          f"thread CPU time of {repeats}), checked against unrank, then rank each face")
    for order in ("lex", "colex"):
        cost = {}
        for n, k in ((200, 6), (20000, 6)):
            total = math.comb(n, k)
            ranks = random_ranks(rng, total, count)
            same(cb.faces(ranks, n, k, order=order), faces_route(ranks, n, k, order), f"faces ({n}, {k}) {order}")
            cost[n] = least_cpu(lambda: cb.faces(ranks, n, k, order=order, workers=1), repeats) * 1e9 / count
        ratio = cost[20000] / cost[200]
        report("widths", f"faces {order}: 128-bit (20000, 6) / 64-bit (200, 6)", ratio, "×", "≤3×", ratio <= 3)
        print(f"      faces {cost[20000]:.1f} ns per rank at 128 bits, {cost[200]:.1f} at 64; of these NumPy's "
              f"first touch of the fresh result {first_touch((count, 6), cb.uint128, repeats) * 1e9 / count:.1f} "
              f"and {first_touch((count, 6), np.int64, repeats) * 1e9 / count:.1f}")

    n, k = 1_000_000, 3
    print(f"\n32-bit vertices: ({n:,}, {k}) on {count:,} random items against the NumPy route of numpy_reference.py "
          f"(searchsorted on C(v, 3) and C(v, 2), fancy indexing; its table made beforehand), on one core "
          f"(workers=1, least thread CPU time of {repeats}), into a reused out; then at the default workers "
          f"({_core.usable_cores()} cores), wall-clock medians, the route being single-threaded")
    table = ref.binomial_table(n, k)
    ranks = rng.integers(0, math.comb(n, k), size=count, dtype=np.int64)
    route_ranks = ranks.astype(np.uint64)
    out, route_out = np.empty((count, k), np.uint32), np.empty((count, k), np.uint32)
    for order in ("lex", "colex"):
        rows = cb.unrank(ranks, n, k, order=order)
        check_rows(rows, ranks, n, order, f"unrank ({n}, {k}) {order}")
        # The route's colex rows come largest vertex first.
        if order == "lex":
            route_unrank = lambda: ref.unrank_lex(table, route_ranks, route_out)
            route_rows, route_rank = rows, lambda: ref.rank_lex(table, rows)
        else:
            route_unrank = lambda: ref.unrank_colex(table, route_ranks, route_out)
            route_rows = np.ascontiguousarray(rows[:, ::-1])
            route_rank = lambda: ref.rank_colex(table, route_rows)
        same(route_unrank(), route_rows, f"the route's unrank ({n}, {k}) {order}")
        same(route_rank(), ranks, f"the route's rank ({n}, {k}) {order}")
        same(cb.rank(rows, n, order=order, assume_sorted=True), ranks, f"rank ({n}, {k}) {order}")
        calls = {
            "unrank": (lambda w: cb.unrank(ranks, n, k, order=order, out=out, workers=w), route_unrank),
            "rank": (lambda w: cb.rank(rows, n, order=order, assume_sorted=True, workers=w), route_rank),
        }
        for kind, (call, route) in calls.items():
            ours, theirs = least_cpu(lambda: call(1), repeats), least_cpu(route, repeats)
            report("widths", f"{kind} {order}, one core: route / {kind}", theirs / ours, "×", "≥10×",
                   theirs / ours >= 10)
            wall, route_wall = timed(lambda: call(None), repeats), timed(route, repeats)
            report("widths", f"{kind} {order}, default workers, wall clock: route / {kind}", route_wall / wall,
                   "×", "≥10×", route_wall / wall >= 10)
            print(f"      {kind} {ours * 1e9 / count:.1f} ns per item on one core, {wall * 1e9 / count:.1f} at "
                  f"default workers; the route {theirs * 1e9 / count:.1f}")

    start, rows = 10**9, 10**5 if quick else 10**7
    print(f"\ncombinations of 32-bit vertices, (100000, 2) from rank {start:,}, {rows:,} rows, against all rows "
          f"of (100, 3), in bytes written per second on one core (workers=1, least thread CPU time of {repeats}), "
          f"into a fresh result and into a reused out")
    wide = lambda o: cb.combinations(100000, 2, start=start, stop=start + rows, out=o, workers=1)
    narrow = lambda o: cb.combinations(100, 3, out=o, workers=1)
    wide_rows, narrow_rows = wide(None), narrow(None)
    same(wide_rows, cb.unrank(np.arange(start, start + rows), 100000, 2), "combinations (100000, 2) from 10^9")
    check_rows(wide_rows[[0, -1]], np.array([start, start + rows - 1]), 100000, "lex", "combinations (100000, 2)")
    same(narrow_rows, fromiter_route(100, 3, math.comb(100, 3)), "combinations (100, 3)")
    for way, wide_out, narrow_out in (("fresh", None, None),
                                      ("into out", np.empty_like(wide_rows), np.empty_like(narrow_rows))):
        # The small table takes under a millisecond a call: more runs for its least.
        wide_speed = wide_rows.nbytes / least_cpu(lambda: wide(wide_out), repeats)
        narrow_speed = narrow_rows.nbytes / least_cpu(lambda: narrow(narrow_out), repeats * 20)
        report("widths", f"combinations, {way}: (100000, 2) / (100, 3) bytes per second", wide_speed / narrow_speed,
               "×", "≥0.5×", wide_speed / narrow_speed >= 0.5)
        print(f"      {wide_speed / 2**30:.2f} GiB/s of uint32 rows ({wide_rows.nbytes / 2**20:.0f} MiB), "
              f"{narrow_speed / 2**30:.2f} GiB/s of uint16 rows ({narrow_rows.nbytes / 2**20:.1f} MiB)")

    unchanged(count, quick)


def unchanged(count, quick, rounds=5, repeat=3, band=1.10):
    """Batch calls on 64-bit ranks and 16-bit vertices in this tree against NARROW, asked in turn."""
    if quick:
        print(f"\nbatch calls side by side with {NARROW}: skipped with --quick")
        return
    print(f"\nbatch calls on 64-bit ranks and 16-bit vertices side by side with {NARROW}, the last commit before "
          f"128-bit ranks, through the package on {count:,} items (workers=1): least thread CPU time of "
          f"{rounds * repeat} calls, {rounds} rounds asking the trees in turn; within {band - 1:.0%} counts as "
          f"unchanged, the noise of a shared machine")
    python, why = side_by_side.baseline_python(NARROW, np.__version__)
    if python is None:
        print(f"  side-by-side skipped: {why}")
        return
    best, described = side_by_side.batch_times([(NARROW, python), ("this tree", sys.executable)], count, rounds,
                                               repeat)
    for case, digest in described["this tree"]["digests"].items():
        if described[NARROW]["digests"][case] != digest:
            raise AssertionError(f"{case}: results differ from {NARROW}")
    for case in described["this tree"]["cases"]:
        new, old = best["this tree"][case], best[NARROW][case]
        report("widths", f"{case}: this tree / {NARROW}", new / old, "×", f"≤{band:.2f}×", new / old <= band)
        print(f"      {new * 1e9 / count:.2f} ns per item, {NARROW} {old * 1e9 / count:.2f}")


def permutations_route(n, k, rows):
    perms = itertools.permutations(range(n), k)
    if rows < math.perm(n, k):  # the whole table needs no islice: its overhead would flatter the call
        perms = itertools.islice(perms, rows)
    return np.fromiter(itertools.chain.from_iterable(perms), np.uint16).reshape(-1, k)


def oracle_permutation_rank(row, n):
    """The rank of one k-permutation in itertools.permutations order, in Python ints."""
    k, used, rank = len(row), [], 0
    for i, v in enumerate(int(v) for v in row):
        rank += (v - sum(u < v for u in used)) * math.perm(n - 1 - i, k - 1 - i)
        used.append(v)
    return rank


def check_permutations(rows, ranks, n, what, checked=200):
    """Rows of distinct vertices below n everywhere, and the first `checked` of them of the given ranks
    by the oracle."""
    ordered = np.sort(rows.astype(np.int64), axis=-1)
    if not (np.all(np.diff(ordered, axis=-1) > 0) and int(rows.max()) < n):
        raise AssertionError(f"{what}: rows not distinct vertices below n")
    if [oracle_permutation_rank(row, n) for row in rows[:checked]] != list(cb.to_int(ranks[:checked])):
        raise AssertionError(f"{what}: ranks differ from the oracle")


def families(count, repeats, quick):
    small = 6, 3
    same(cb.permutations(*small), list(itertools.permutations(range(small[0]), small[1])), "permutations (6, 3)")
    same(cb.unrank_permutations(np.arange(math.perm(*small)), *small), cb.permutations(*small),
         "unrank_permutations (6, 3)")
    same(cb.combinations(*small, repetition=True),
         list(itertools.combinations_with_replacement(range(small[0]), small[1])), "multisets (6, 3)")
    permutation_tables(count * 10, repeats)
    multisets(count * 10, repeats)
    permutation_ranks(count, repeats, 0.05 if quick else 0.5)
    permutation_samples(count, repeats)


def permutation_tables(limit, repeats):
    cores = _core.usable_cores()
    print(f"\npermutations of min(P(n, k), {limit:,}) rows at the default workers ({cores} cores), wall-clock "
          f"medians of {repeats}, into a fresh result and into a reused out, against np.fromiter over "
          f"itertools.permutations (median of {max(1, repeats // 3)}); one core (workers=1, least thread CPU "
          f"time) shown beside")
    for n, k in ((10, None), (20, 5)):
        width = n if k is None else k
        total = math.perm(n, width)
        rows = min(total, limit)
        stop = None if rows == total else rows
        call = lambda o, w=None: cb.permutations(n, k, stop=stop, out=o, workers=w)
        got, expected = call(None), permutations_route(n, width, rows)
        same(got, expected, f"permutations({n}, {k})")
        out = np.empty_like(got)
        route = timed(lambda: permutations_route(n, width, rows), max(1, repeats // 3))
        fresh, reused = timed(lambda: call(None), repeats), timed(lambda: call(out), repeats)
        name = f"permutations({n})" if k is None else f"permutations({n}, {k})"
        name += "" if stop is None else f"[:{rows:,}]"
        for way, seconds in (("fresh", fresh), ("into out", reused)):
            report("families", f"{name}, {way}: fromiter / call", route / seconds, "×", "≥100×",
                   route / seconds >= 100)
        one_fresh, one_reused = least_cpu(lambda: call(None, 1), repeats), least_cpu(lambda: call(out, 1), repeats)
        print(f"      {rows:,} rows, {out.nbytes / 2**20:.0f} MiB: fresh {fresh * 1e3:.2f} ms, into out "
              f"{reused * 1e3:.2f} ms, fromiter {route * 1e3:.0f} ms; one core: fresh {one_fresh * 1e3:.2f} ms, "
              f"into out {one_reused * 1e3:.2f} ms, of which NumPy's first touch of the fresh pages "
              f"{first_touch(out.shape, out.dtype, repeats) * 1e3:.2f} ms")


def multisets(limit, repeats):
    m, n, k = 40, 45, 6
    total = math.comb(n, k)  # = C(m + k - 1, k): as many rows
    rows = min(total, limit)
    stop = None if rows == total else rows
    print(f"\nmultisets against combinations of as many rows: combinations({m}, {k}, repetition=True) and "
          f"combinations({n}, {k}), {rows:,} rows, at the default workers, wall-clock medians of {repeats}")
    multi = lambda o: cb.combinations(m, k, repetition=True, stop=stop, out=o)
    plain = lambda o: cb.combinations(n, k, stop=stop, out=o)
    multi_rows, plain_rows = multi(None), plain(None)
    head = min(rows, 20_000)
    same(multi_rows[:head], list(itertools.islice(itertools.combinations_with_replacement(range(m), k), head)),
         f"multisets ({m}, {k}): first rows")
    same(plain_rows[:head], fromiter_route(n, k, head), f"combinations ({n}, {k}): first rows")
    if stop is None:
        same(multi_rows[-1], [m - 1] * k, f"multisets ({m}, {k}): last row")
        same(plain_rows[-1], range(n - k, n), f"combinations ({n}, {k}): last row")
    if not (np.all(np.diff(multi_rows.astype(np.int16), axis=1) >= 0) and int(multi_rows.max()) < m):
        raise AssertionError(f"multisets ({m}, {k}): rows not nondecreasing below {m}")
    multi_out, plain_out = np.empty_like(multi_rows), np.empty_like(plain_rows)
    for way, multi_o, plain_o in (("fresh", None, None), ("into out", multi_out, plain_out)):
        ours, theirs = timed(lambda: multi(multi_o), repeats), timed(lambda: plain(plain_o), repeats)
        report("families", f"multisets ({m}, {k}), {way}: rows per second / ({n}, {k})'s", theirs / ours, "×",
               "≥0.8×", theirs / ours >= 0.8)
        print(f"      {rows / ours / 1e6:.0f} M rows/s with repetition, {rows / theirs / 1e6:.0f} M without")


def permutation_ranks(count, repeats, budget):
    n, k = 1000, 5
    print(f"\nranking and unranking permutations against combinations, ({n}, {k}) on {count:,} random items, on "
          f"one core (workers=1): median ratio of thread CPU times over at least {repeats} back-to-back pairs; "
          f"combinations ranked from rows in any order, as a user has them, unranking into a reused out")
    rng = np.random.default_rng([SEED, n, k, 3])
    perm_ranks = random_ranks(rng, math.perm(n, k), count)
    perm_rows = cb.unrank_permutations(perm_ranks, n, k)
    check_permutations(perm_rows, perm_ranks, n, f"unrank_permutations ({n}, {k})")
    same(cb.rank_permutations(perm_rows, n), perm_ranks, f"rank_permutations ({n}, {k})")
    comb_ranks = random_ranks(rng, math.comb(n, k), count)
    comb_rows = cb.unrank(comb_ranks, n, k)
    check_rows(comb_rows, comb_ranks, n, "lex", f"unrank ({n}, {k})")
    shuffled = rng.permuted(comb_rows, axis=1)
    same(cb.rank(shuffled, n), comb_ranks, f"rank ({n}, {k}), rows in any order")
    perm_out, comb_out = np.empty_like(perm_rows), np.empty_like(comb_rows)
    ratio, ours, theirs = paired(lambda: cb.unrank_permutations(perm_ranks, n, k, out=perm_out, workers=1),
                                 lambda: cb.unrank(comb_ranks, n, k, out=comb_out, workers=1), repeats, budget)
    report("families", f"unrank_permutations / unrank ({n}, {k})", ratio, "×", "≤2×", ratio <= 2)
    print(f"      least: {ours * 1e9 / count:.1f} ns per item, unrank {theirs * 1e9 / count:.1f}")
    ratio, ours, theirs = paired(lambda: cb.rank_permutations(perm_rows, n, workers=1),
                                 lambda: cb.rank(shuffled, n, workers=1), repeats, budget)
    report("families", f"rank_permutations / rank ({n}, {k}), rows in any order", ratio, "×", "≤2×", ratio <= 2)
    ordered = least_cpu(lambda: cb.rank(comb_rows, n, assume_sorted=True, workers=1), repeats)
    print(f"      least: {ours * 1e9 / count:.1f} ns per item, rank {theirs * 1e9 / count:.1f}; rank of sorted "
          f"rows (assume_sorted) {ordered * 1e9 / count:.1f}, for reference")


def permutation_samples(count, repeats):
    n, k = 1000, 5
    total = math.perm(n, k)
    rng = np.random.default_rng([SEED, n, k, 4])
    print(f"\nsample_permutations({n}, {k}, {count:,}) against rng.choice(P({n}, {k}), {count:,}, replace=False) "
          f"followed by unrank_permutations, at the default workers, wall-clock medians of {repeats} (the route "
          f"{max(1, repeats // 3)}); one core (workers=1, least thread CPU time) shown beside")
    call = lambda o, w=None: cb.sample_permutations(n, k, count, rng=1, out=o, workers=w)
    route = lambda w=None: cb.unrank_permutations(rng.choice(total, count, replace=False), n, k, workers=w)
    drawn = call(None)
    check_permutations(drawn, cb.rank_permutations(drawn, n), n, f"sample_permutations ({n}, {k})")
    if len(np.unique(cb.rank_permutations(drawn, n))) != count:
        raise AssertionError("sample_permutations gave repeated rows")
    same(call(None, 1), drawn, "sample_permutations: workers=1 against the default")
    out = np.empty_like(drawn)
    theirs = timed(route, max(1, repeats // 3))
    for way, o in (("fresh", None), ("into out", out)):
        ours = timed(lambda: call(o), repeats)
        report("families", f"sample_permutations, {way}: route / call", theirs / ours, "×", "≥1.5×",
               theirs / ours >= 1.5)
        print(f"      {ours * 1e9 / count:.1f} ns per row, the route {theirs * 1e9 / count:.1f}")
    one_route = least_cpu(lambda: route(1), max(1, repeats // 3))
    one_fresh, one_reused = least_cpu(lambda: call(None, 1), repeats), least_cpu(lambda: call(out, 1), repeats)
    print(f"      one core: fresh {one_fresh * 1e9 / count:.1f} ns per row, into out {one_reused * 1e9 / count:.1f}, "
          f"the route {one_route * 1e9 / count:.1f}")


SECTIONS = ("one-item", "layer", "simplices", "enumeration", "sampling", "scaling", "widths", "families")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, one run each: a smoke test for CI")
    parser.add_argument("--baseline", default=BASELINE, help=f"the commit to set one-item calls beside "
                        f"(default {BASELINE}); built once into build/baseline/")
    parser.add_argument("--only", choices=SECTIONS, action="append", help="run this section (repeatable)")
    parser.add_argument("--iter-child", nargs=2, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.iter_child:
        return iter_child(*args.iter_child)
    count, repeats = (20_000, 1) if args.quick else (1_000_000, 9)
    wanted = set(args.only or SECTIONS)
    print(f"combinatorial {cb.__version__}, NumPy {np.__version__}, {_core.usable_cores()} usable cores")
    try:
        if "one-item" in wanted:
            one_item(args.quick, args.baseline)
        if "layer" in wanted:
            layer_price(count, 5 * repeats, 0.05 if args.quick else 0.5)  # close ratios: more pairs
        if "simplices" in wanted:
            simplices(count, repeats)
        if "enumeration" in wanted:
            enumeration(count, repeats, args.quick)
        if "sampling" in wanted:
            sampling(count, repeats, args.quick)
        if "scaling" in wanted:
            scaling(count * 10, repeats)
        if "widths" in wanted:
            widths(count, repeats, args.quick)
        if "families" in wanted:
            families(count, repeats, args.quick)
    except AssertionError as error:
        print(f"results differ: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
