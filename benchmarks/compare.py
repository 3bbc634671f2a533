"""The main job: _combinatorial against what one would write in NumPy.

On every workload all methods get the same random ranks and are first checked
to give identical results: each module function against the NumPy way, and the
sixteen unrank_colex_bench members against the colex combinations that
unrank_combs is checked against. Then each is timed (median of a few runs) and
shown in nanoseconds per item with its speed-up over NumPy, in a table and in
a PNG chart. Beside them, the peak memory of one large rank_combs_sorted call
is measured in a fresh process.

The module's timings cover whole calls, with any table rebuild they make
(a table that covers the request is reused). NumPy's
cover the work after its coefficient table is built, once per workload, as a
user would keep it. Both write unrankings into output arrays made beforehand.

Exits non-zero only on results that differ, or on errors. The targets shown
beside the speed-ups are for information.
"""
import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

import _combinatorial as m
import numpy_reference as ref

SEED = 2024
# (n, k, speed-up aimed at for unrank_combs)
WORKLOADS = [(1000, 3, 10), (65535, 2, 10), (200, 5, 6), (60, 12, 6)]
RANK_TARGET = 5
COMB_N_MAX, COMB_K_MAX, COMB_TARGET = 2000, 6, 3
BENCH_MEMBERS = [(guess, gallop, probes)
                 for guess in (False, True) for gallop in (False, True) for probes in range(4)]
MEMORY_ROWS, MEMORY_N, MEMORY_K, MEMORY_LIMIT = 5_000_000, 1000, 3, 1.5
MODULE_FUNCTIONS = ("unrank_combs", "rank_combs_sorted", "unrank_colex_bench", "comb")
RESULTS = Path(__file__).resolve().parent / "results"


class Mismatch(Exception):
    """Methods that should agree gave different results."""


@dataclass(eq=False)
class Case:
    """One timed call and the result it must give."""
    group: str
    name: str
    call: Callable[[], np.ndarray] | None  # None while the module lacks the function
    expected: np.ndarray
    baseline: "Case | None" = None  # the NumPy case that the speed-up is taken over
    target: float | None = None
    seconds: float | None = None

    @property
    def ns_per_item(self):
        return self.seconds * 1e9 / len(self.expected)

    @property
    def speedup(self):
        return self.baseline.seconds / self.seconds


@dataclass
class Memory:
    increase: int  # bytes added to the peak resident set by the call
    result: int  # bytes of the result

    @property
    def ratio(self):
        return self.increase / self.result


class Progress:
    """A plain bar on stderr, drawn only when stderr is a terminal."""
    WIDTH = 30

    def __init__(self, title, total):
        self.title, self.total, self.done = title, total, 0
        self.shown = sys.stderr.isatty()
        self.step(0)

    def step(self, count=1):
        self.done += count
        if self.shown:
            filled = self.WIDTH * self.done // max(self.total, 1)
            bar = "#" * filled + "." * (self.WIDTH - filled)
            sys.stderr.write(f"\r{self.title} [{bar}] {self.done}/{self.total}")
            sys.stderr.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def bind(function, *args, out=None):
    """function(*args) as a call without arguments, or None if function is None.

    With out, the call is function(*args, out) and returns out, so that the
    functions that fill an array look like those that return one.
    """
    if function is None:
        return None
    if out is None:
        return lambda: function(*args)

    def call():
        function(*args, out)
        return out
    return call


def workload_cases(n, k, unrank_target, count):
    """Unranking and ranking in both orders, and the sixteen colex members."""
    group = f"n={n} k={k}"
    table = ref.binomial_table(n, k)
    ranks = np.random.default_rng([SEED, n, k]).integers(
        0, math.comb(n, k), size=count, dtype=np.uint64)
    signed = ranks.view(np.int64)  # every rank is below 2^63
    colex = ref.unrank_colex(table, ranks, np.empty((count, k), np.uint16))
    lex = ref.unrank_lex(table, ranks, np.empty((count, k), np.uint16))
    # Shared by every unranking call: each result is checked as soon as it is written.
    out = np.empty((count, k), np.uint16)

    numpy = {
        "unrank colex": Case(group, "NumPy unrank colex", bind(ref.unrank_colex, table, ranks, out=out), colex),
        "unrank lex": Case(group, "NumPy unrank lex", bind(ref.unrank_lex, table, ranks, out=out), lex),
        "rank colex": Case(group, "NumPy rank colex", bind(ref.rank_colex, table, colex), ranks),
        "rank lex": Case(group, "NumPy rank lex", bind(ref.rank_lex, table, lex), ranks),
    }
    unrank, rank, bench = (getattr(m, name, None)
                           for name in ("unrank_combs", "rank_combs_sorted", "unrank_colex_bench"))
    module = [
        ("unrank_combs colex", bind(unrank, ranks, n, k, True, out=out), colex, "unrank colex", unrank_target),
        ("unrank_combs lex", bind(unrank, ranks, n, k, False, out=out), lex, "unrank lex", unrank_target),
        ("rank_combs_sorted colex", bind(rank, colex, n, True), signed, "rank colex", RANK_TARGET),
        ("rank_combs_sorted lex", bind(rank, lex, n, False), signed, "rank lex", RANK_TARGET),
    ] + [
        (f"unrank_colex_bench guess={guess:d} gallop={gallop:d} probes={probes}",
         bind(bench, signed, n, k, guess, gallop, probes, out=out), colex, "unrank colex", None)
        for guess, gallop, probes in BENCH_MEMBERS
    ]
    return list(numpy.values()) + [
        Case(group, name, call, expected, numpy[baseline], target)
        for name, call, expected, baseline, target in module
    ]


def comb_cases(count):
    """Element-wise coefficients from the table-backed comb."""
    group = f"comb n<={COMB_N_MAX} k<={COMB_K_MAX}"
    rng = np.random.default_rng([SEED, COMB_N_MAX, COMB_K_MAX])
    n = rng.integers(0, COMB_N_MAX + 1, size=count, dtype=np.uint64)
    k = rng.integers(0, COMB_K_MAX + 1, size=count, dtype=np.uint64)
    table = ref.binomial_table(COMB_N_MAX, COMB_K_MAX)
    expected = ref.comb(table, n, k)
    comb = getattr(m, "comb", None)
    numpy = Case(group, "NumPy table[K, N]", bind(ref.comb, table, n, k), expected)
    module = Case(group, f"comb(N, K, {COMB_N_MAX}, {COMB_K_MAX})",
                  bind(comb, n, k, COMB_N_MAX, COMB_K_MAX), expected, numpy, COMB_TARGET)
    # int64, NumPy's default integer, is what NumPy indexes with natively.
    n64, k64 = n.astype(np.int64), k.astype(np.int64)
    numpy64 = Case(group, "NumPy table[K, N], int64", bind(ref.comb, table, n64, k64), expected)
    module64 = Case(group, f"comb(N, K, {COMB_N_MAX}, {COMB_K_MAX}), int64 N and K",
                    bind(comb, n64, k64, COMB_N_MAX, COMB_K_MAX), expected, numpy64, COMB_TARGET)
    return [numpy, module, numpy64, module64]


def check(cases, progress):
    """Runs every case once; raises Mismatch listing those that differ."""
    failures = []
    for case in cases:
        result = np.asarray(case.call())
        progress.step()
        if result.shape != case.expected.shape or not np.array_equal(result, case.expected):
            failures.append(f"{case.group}, {case.name}: {difference(result, case.expected)}")
    if failures:
        raise Mismatch("\n".join(failures))


def difference(result, expected):
    if result.shape != expected.shape:
        return f"shape {result.shape}, expected {expected.shape}"
    i = np.flatnonzero((result != expected).reshape(len(expected), -1).any(axis=1))[0]
    return f"item {i} is {result[i]}, expected {expected[i]}"


def time_cases(cases, repeats, progress):
    """Median of `repeats` back-to-back runs per case, as in a loop: each run
    finds the case's own inputs where its previous run left them. Taking
    rounds over the cases instead was tried; it left each case partly with
    the cache state of the one before it, which skewed the comparison."""
    for case in cases:
        runs = []
        for _ in range(repeats):
            start = time.perf_counter()
            case.call()
            runs.append(time.perf_counter() - start)
            progress.step()
        case.seconds = statistics.median(runs)


def memory_child():
    """In a fresh process: how much one large rank_combs_sorted call raises the peak RSS."""
    import resource

    n, k = MEMORY_N, MEMORY_K
    table = ref.binomial_table(n, k)
    rng = np.random.default_rng([SEED, n, k, MEMORY_ROWS])
    ranks = np.empty(MEMORY_ROWS, np.uint64)
    rows = np.empty((MEMORY_ROWS, k), np.uint16)
    # Made in small chunks, so that no earlier peak hides the call's own.
    chunk = 100_000
    for start in range(0, MEMORY_ROWS, chunk):
        part = slice(start, start + chunk)
        ranks[part] = rng.integers(0, math.comb(n, k), size=len(ranks[part]), dtype=np.uint64)
        ref.unrank_colex(table, ranks[part], rows[part])
    m.rank_combs_sorted(rows[:1], n, True)  # the binding's one-time NumPy set-up
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = m.rank_combs_sorted(rows, n, True)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    json.dump({"increase": (after - before) * 1024,  # ru_maxrss is in KiB on Linux
               "result": result.nbytes,
               "identical": bool(np.array_equal(result, ranks.view(np.int64)))}, sys.stdout)


def measure_memory():
    if not hasattr(m, "rank_combs_sorted"):
        return None
    child = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--memory-child"],
                           capture_output=True, text=True)
    if child.returncode != 0:
        raise RuntimeError(f"memory measurement failed:\n{child.stderr}")
    report = json.loads(child.stdout)
    if not report["identical"]:
        raise Mismatch(f"rank_combs_sorted on {MEMORY_ROWS:,} rows gave wrong ranks")
    return Memory(report["increase"], report["result"])


def verdict(value, target, at_least=True):
    met = value >= target if at_least else value <= target
    return f"{'≥' if at_least else '≤'}{target:g}× {'PASS' if met else 'miss'}"


def print_table(cases, memory):
    groups = dict.fromkeys(case.group for case in cases)
    print("\nnanoseconds per item, the module's and NumPy's; speed-up = NumPy time / module time")
    print(f"{'':<50}{'module':>10}{'NumPy':>10}{'speed-up':>10}  target")
    for group in groups:
        print(group)
        for case in cases:
            if case.group != group or case.baseline is None:
                continue
            numpy = f"{case.baseline.ns_per_item:10.1f}"
            if case.seconds is None:
                print(f"  {case.name:<48}{'-':>10}{numpy}{'-':>10}  not built yet")
                continue
            target = "" if case.target is None else verdict(case.speedup, case.target)
            print(f"  {case.name:<48}{case.ns_per_item:10.1f}{numpy}{case.speedup:9.1f}×  {target}".rstrip())
    print(f"\npeak memory of rank_combs_sorted on {MEMORY_ROWS:,} rows of {MEMORY_K} "
          f"(n={MEMORY_N}, colex), over its int64 result:")
    if memory is None:
        print("  not built yet")
    else:
        print(f"  +{memory.increase / 1e6:.1f} MB for {memory.result / 1e6:.1f} MB: "
              f"{memory.ratio:.2f}×  {verdict(memory.ratio, MEMORY_LIMIT, at_least=False)}")


def write_chart(cases, memory, path):
    """One panel per workload: ns per item on a log scale, speed-ups written beside."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = list(dict.fromkeys(case.group for case in cases))
    bars = [sum(case.group == group for case in cases) for group in groups] + [1]  # + memory
    heights = [max(bars[i:i + 2]) + 3 for i in range(0, len(bars), 2)]
    figure, axes = plt.subplots(len(heights), 2, figsize=(16, sum(heights) * 0.3), squeeze=False,
                                gridspec_kw={"height_ratios": heights})
    for ax, group in zip(axes.flat, groups):
        shown = [case for case in cases if case.group == group and case.seconds is not None]
        ax.barh([case.name for case in shown], [case.ns_per_item for case in shown],
                color=["tab:gray" if case.baseline is None else "tab:blue" for case in shown])
        for y, case in enumerate(shown):
            if case.baseline is not None:
                ax.annotate(f" {case.speedup:.1f}×", (case.ns_per_item, y), va="center", fontsize=8)
        ax.set_xscale("log")
        ax.set_xlim(right=2 * max(case.ns_per_item for case in shown))  # room for the labels
        ax.invert_yaxis()
        ax.tick_params(axis="y", labelsize=8)
        ax.set_xlabel("ns per item (grey: NumPy)")
        ax.set_title(group)
    ax = axes.flat[len(groups)]
    ax.set_title(f"peak memory of rank_combs_sorted, {MEMORY_ROWS:,} rows")
    if memory is not None:
        ax.barh(["rank_combs_sorted"], [memory.ratio], color="tab:blue")
        ax.set_xlabel("peak increase / int64 result size")
        ax.axvline(MEMORY_LIMIT, color="tab:red", linestyle="--", label=f"target ≤{MEMORY_LIMIT:g}×")
        ax.legend()
    else:
        ax.text(0.5, 0.5, "not built yet", ha="center", transform=ax.transAxes)
    for ax in axes.flat[len(groups) + 1:]:
        ax.set_visible(False)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=90)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="short run for CI: 20 000 items per workload, one run each")
    parser.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child()

    count, repeats = (20_000, 1) if args.quick else (1_000_000, 7)
    print(f"{count:,} items per workload, median of {repeats} run(s), NumPy {np.__version__}")
    for name in MODULE_FUNCTIONS:
        if not hasattr(m, name):
            print(f"{name}: not built yet, its rows are skipped")

    try:
        # Memory first: a child process starts out with its parent's peak
        # RSS as its own, which must stay below what the child itself needs.
        with Progress("preparing", len(WORKLOADS) + 2) as progress:
            memory = measure_memory()
            progress.step()
            cases = []
            for n, k, unrank_target in WORKLOADS:
                cases += workload_cases(n, k, unrank_target, count)
                progress.step()
            cases += comb_cases(count)
            progress.step()
        runnable = [case for case in cases if case.call is not None]
        with Progress("measuring", len(runnable) * (1 + repeats)) as progress:
            check(runnable, progress)
            time_cases(runnable, repeats, progress)
    except Mismatch as error:
        print(f"results differ:\n{error}", file=sys.stderr)
        return 1

    print_table(cases, memory)
    chart = RESULTS / ("compare-quick.png" if args.quick else "compare.png")
    write_chart(cases, memory, chart)
    print(f"\nchart: {os.path.relpath(chart)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
