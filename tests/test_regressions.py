"""Faults found by fuzzing, one test each.

Each call runs in a child process: the faults read out of bounds or hit
undefined behaviour, which kills a sanitized interpreter, and the suite should
report that as a failure rather than die with it.
"""
import json
import os
import subprocess
import sys
import textwrap

import _combinatorial as m

PRELUDE = """
import json, sys
import numpy as np
import _combinatorial as m

def sentinel(size):
    return ((np.arange(size, dtype=np.uint64) * 40503 + 48879) % 65536).astype(np.uint16)

def unaligned(dtype, values):
    # An array of `values` one byte past an aligned address.
    dt = np.dtype(dtype)
    raw = np.zeros(len(values) * dt.itemsize + 1, np.uint8)
    arr = raw[1:].view(dt)
    arr[:] = values
    assert not arr.flags.aligned
    return arr

def attempt(call):
    try:
        return {"result": call()}
    except Exception as e:
        return {"error": type(e).__name__, "message": str(e)}
"""


def run_isolated(body):
    """Runs body after PRELUDE in a fresh interpreter; returns the JSON it prints last."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.abspath(m.__file__)),
                                         env.get("PYTHONPATH", "")])
    code = PRELUDE + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, (
        f"the call killed the interpreter (exit status {proc.returncode}):\n{proc.stderr[-4000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- unrank_combs_k reads ranks that an empty array does not have ----------------------------


def test_unrank_combs_k_reads_no_ranks_from_an_empty_two_dimensional_array():
    # ranks of shape (3, 0) hold no element, yet the first axis says 3: the
    # call must not unrank three ranks read from beyond the array (here the
    # rest of the row-major buffer it is a view of).
    outcome = run_isolated("""
        base = np.arange(6, dtype=np.uint64).reshape(3, 2)
        ranks = base[:, :0]
        assert ranks.shape == (3, 0) and ranks.size == 0 and ranks.flags.c_contiguous
        out = sentinel(8)
        before = out.copy()
        outcome = attempt(lambda: m.unrank_combs_k(ranks, 10, np.array([1, 1, 1], np.uint16), 3, True, out))
        outcome["changed"] = out.tolist() != before.tolist()
        outcome["out"] = out.tolist()
        print(json.dumps(outcome))
    """)
    assert not outcome["changed"], f"wrote {outcome['out'][:3]} for ranks that do not exist ({outcome})"
    assert outcome.get("error") in (None, "ValueError", "IndexError"), outcome


def test_unrank_combs_k_reads_no_ranks_from_a_list_of_empty_lists():
    # The same through conversion: [[], [], []] becomes a fresh (3, 0) array,
    # and reading three ranks from it reads past its allocation.
    outcome = run_isolated("""
        out = sentinel(70)
        before = out.copy()
        ks = np.array([20, 20, 20], np.uint16)
        outcome = attempt(lambda: m.unrank_combs_k([[], [], []], 40, ks, 20, False, out))
        outcome["changed"] = out.tolist() != before.tolist()
        print(json.dumps(outcome))
    """)
    assert not outcome["changed"], outcome
    assert outcome.get("error") in (None, "ValueError", "IndexError", "OverflowError"), outcome


# --- arrays that are not aligned for their element type ---------------------------------------
# An unaligned but otherwise matching array is used in place, and the module
# reads or writes its uint16 / uint64 elements through misaligned pointers:
# undefined behaviour, reported by the sanitizers (the release build on x86
# happens to get the values right). Copying such inputs, and refusing or
# handling such outs, would both do.


def test_unaligned_out_of_unrank_combs():
    outcome = run_isolated("""
        out = unaligned(np.uint16, [0] * 6)
        outcome = attempt(lambda: m.unrank_combs(np.array([7, 8], np.uint64), 5, 3, True, out))
        outcome["out"] = out.tolist()
        print(json.dumps(outcome))
    """)
    # Colex ranks 7 and 8 of 3-subsets of 5 vertices, largest vertex first.
    assert outcome.get("error") in (None, "TypeError", "ValueError"), outcome
    if "error" not in outcome:
        assert outcome["out"] == [4, 3, 0, 4, 3, 1]


def test_unaligned_out_of_unrank_combs_k_and_the_bench():
    outcome = run_isolated("""
        out_k = unaligned(np.uint16, [0] * 5)
        out_b = unaligned(np.uint16, [0] * 4)
        k = attempt(lambda: m.unrank_combs_k(np.array([7, 7], np.uint64), 5, np.array([3, 2], np.uint16), 3, False, out_k))
        b = attempt(lambda: m.unrank_colex_bench(np.array([43902, 16384]), 65535, 2, False, False, 0, out_b))
        print(json.dumps({"k": k, "k_out": out_k.tolist(), "bench": b, "bench_out": out_b.tolist()}))
    """)
    assert outcome["k"].get("error") in (None, "TypeError", "ValueError"), outcome
    assert outcome["bench"].get("error") in (None, "TypeError", "ValueError"), outcome
    if "error" not in outcome["k"]:
        assert outcome["k_out"] == [1, 2, 4, 2, 3]
    if "error" not in outcome["bench"]:
        assert outcome["bench_out"] == [296, 242, 181, 94]


def test_unaligned_input_arrays():
    outcome = run_isolated("""
        results = {
            "comb": attempt(lambda: m.comb(unaligned(np.uint64, [5, 6, 7]), unaligned(np.uint64, [2, 3, 7])).tolist()),
            "comb2": attempt(lambda: m.comb(unaligned(np.uint64, [5, 6]), 2).tolist()),
            "sorted": attempt(lambda: m.rank_combs_sorted(unaligned(np.uint16, [4, 3, 0, 4, 3, 1]).reshape(2, 3), 5, True).tolist()),
            "unrank": attempt(lambda: (lambda out: (m.unrank_combs(unaligned(np.uint64, [7, 8]), 5, 3, True, out), out.tolist())[1])(np.zeros(6, np.uint16))),
            "bench": attempt(lambda: (lambda out: (m.unrank_colex_bench(unaligned(np.int64, [7]), 5, 3, True, True, 1, out), out.tolist())[1])(np.zeros(3, np.uint16))),
            "ks": attempt(lambda: (lambda out: (m.unrank_combs_k(np.array([7], np.uint64), 5, unaligned(np.uint16, [3]), 3, True, out), out.tolist())[1])(np.zeros(3, np.uint16))),
        }
        print(json.dumps(results))
    """)
    assert outcome == {
        "comb": {"result": [10, 20, 1]},
        "comb2": {"result": [10, 15]},
        "sorted": {"result": [7, 8]},
        "unrank": {"result": [4, 3, 0, 4, 3, 1]},
        "bench": {"result": [4, 3, 0]},
        "ks": {"result": [0, 3, 4]},
    }


# --- unrank_colex_bench with a k that wraps around n ------------------------------------------


def test_bench_k_just_above_2_63_has_no_signed_overflow():
    # k = 2^63 + 5 > n = 7: n - k wraps in unsigned arithmetic, the call takes
    # the complement branch, and n - (int64)k overflows int64. With no ranks
    # there is nothing to unrank; any refusal must name the k given, not the
    # wrapped negative one.
    k = 2**63 + 5
    outcome = run_isolated(f"""
        out = sentinel(4)
        before = out.copy()
        outcome = attempt(lambda: m.unrank_colex_bench(np.zeros(0, np.int64), 7, {k}, False, False, 0, out))
        outcome["changed"] = out.tolist() != before.tolist()
        print(json.dumps(outcome))
    """)
    assert not outcome["changed"], outcome
    assert outcome.get("error") in (None, "ValueError"), outcome
    if "error" in outcome:
        assert str(k) in outcome["message"], outcome


# --- unrank_colex_bench building a table for nothing ------------------------------------------


def test_bench_without_ranks_builds_no_table_for_k_above_n():
    # With k > n no rank is valid, so only an empty call gets past the checks,
    # and it then builds the (n + 2) x (k + 2) table: 1.6 GB for n = 10,
    # k = 2^24. Hostile input must not cost memory in proportion to k. The
    # table is kept as the cache, so it shows in the resident size after the
    # call (the peak size is no use: a child inherits its parent's).
    outcome = run_isolated("""
        import os
        def resident_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 2**20
        before = resident_mb()
        outcome = attempt(lambda: m.unrank_colex_bench(np.zeros(0, np.int64), 10, 2**24, False, False, 0, np.zeros(4, np.uint16)))
        outcome["grew_mb"] = resident_mb() - before
        print(json.dumps(outcome))
    """)
    assert outcome.get("error") in (None, "ValueError"), outcome
    assert outcome["grew_mb"] < 256, f"an empty call grew the process by {outcome['grew_mb']} MB"
