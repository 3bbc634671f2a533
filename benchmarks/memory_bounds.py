"""Peak memory of single calls that once built gigabytes of coefficient table.

Each case runs in a fresh child process, which reports the wall time of its
call and how far the call raised the process's peak resident set. The bound
is the table limit twice over: a rebuild holds the old rows while it fills
the new ones. Exits non-zero when a case gives a wrong result.

    python benchmarks/memory_bounds.py
"""
import json
import math
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

TABLE_LIMIT_MB = 32
BOUND_MB = 2 * TABLE_LIMIT_MB


def descending(n):
    return np.arange(n - 1, -1, -1, dtype=np.uint16)[None, :]


def colex_rank_long_row(m):
    return m.rank_combs_sorted(descending(16000), 16000, True).tolist() == [0]


def colex_rank_long_rows_twice(m):
    m.rank_combs_sorted(descending(16000), 16000, True)
    return m.rank_combs_sorted(descending(15999), 16000, True).tolist() == [0]


def bench_near_k_equals_n(m):
    out = np.zeros(16000, np.uint16)
    m.unrank_colex_bench(np.array([5], np.int64), 16000, 15998, False, False, 0, out)
    # Colex rank 5 is C(n, k) - 6 for the missing pair {a, b}: C(b, 2) + a = C(16000, 2) - 6.
    return out.tolist() == [v for v in range(15999, -1, -1) if v not in (15993, 15999)] + [0, 0]


def comb_refused_2d(m):
    try:
        m.comb(np.zeros((2, 2), np.uint64), np.zeros((2, 2), np.uint64), 16000, 16000)
    except ValueError:
        return True
    return False


def lex_rank_large_n(m):
    n = 3_800_000
    row = np.array([[0, 1, 2]], np.uint16)
    return m.rank_combs_sorted(row, n, False).tolist() == [math.comb(n, 3) - 1 - (math.comb(n - 1, 3) + math.comb(n - 2, 2) + math.comb(n - 3, 1))]


def comb_huge_bounds(m):
    n = np.array([20000, 19999, 10, 5], np.uint64)
    k = np.array([3, 19997, 20, 2], np.uint64)
    got = m.comb(n, k, 20000, 10**9).tolist()
    return got == [math.comb(int(a), int(b)) for a, b in zip(n, k)]


CASES = {
    "rank_combs_sorted, one colex row of 16000": colex_rank_long_row,
    "the same, then a row of 15999": colex_rank_long_rows_twice,
    "unrank_colex_bench(n=16000, k=15998), one rank": bench_near_k_equals_n,
    "comb(2-D N, 2-D K, 16000, 16000) refused": comb_refused_2d,
    "rank_combs_sorted lex, n=3.8M, k=3, one row": lex_rank_large_n,
    "comb(N, K, 20000, 10**9)": comb_huge_bounds,
}


def child(name):
    import _combinatorial as m
    m.comb(np.zeros(1, np.uint64), np.zeros(1, np.uint64))  # the binding's one-time NumPy set-up
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    value = CASES[name](m)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    json.dump({"seconds": seconds, "increase": (after - before) * 1024, "value": value}, sys.stdout)



def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        return child(sys.argv[2])
    print(f"peak memory per call, each in a fresh process; bound {BOUND_MB} MB "
          f"(a {TABLE_LIMIT_MB} MB table rebuilt while the old one is held)")
    print(f"  {'case':<52}{'time':>10}{'peak +MB':>10}")
    failed = False
    for name in CASES:
        done = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--child", name],
                              capture_output=True, text=True)
        if done.returncode != 0:
            print(f"  {name:<52} failed:\n{done.stderr}")
            failed = True
            continue
        report = json.loads(done.stdout)
        mb = report["increase"] / 1e6
        ok = report["value"] is True
        failed |= not ok
        verdict = ("PASS" if mb <= BOUND_MB else "over") + ("" if ok else ", WRONG RESULT")
        print(f"  {name:<52}{report['seconds'] * 1e3:8.1f}ms{mb:10.1f}  {verdict}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
