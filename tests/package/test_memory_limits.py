"""Calls in a process with a memory limit, as in a container: MemoryError, never a crash."""
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(bool(os.environ.get("COMBINATORIAL_SANITIZED")),
                                reason="the sanitizers' shadow memory does not fit an address-space limit")

CHILD = """
import resource, numpy as np, combinatorial as cb
def vm_bytes():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
limit = vm_bytes() + {headroom}
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
{body}
print("done")
"""


def run_limited(body, headroom=512 << 20):
    code = CHILD.format(headroom=headroom, body=textwrap.dedent(body))
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip().endswith("done")
    return child.stdout


def test_results_that_do_not_fit_raise_memory_error():
    # Inputs of a few bytes broadcast to billions of elements: each call
    # either fits (its result alone; the input is not copied) or raises
    # MemoryError, before or while allocating, and the process goes on.
    run_limited("""
        calls = [  # (call, bytes of its result)
            (lambda: cb.rank(np.broadcast_to(np.array([0, 1, 2], np.int64), (10**8, 3)), 100), 8 * 10**8),
            (lambda: cb.unrank(np.broadcast_to(np.int64(0), (2 * 10**8,)), 100, 1), 4 * 10**8),
            (lambda: cb.faces(np.broadcast_to(np.int64(0), (2 * 10**8,)), 100, 1), 16 * 10**8),
            (lambda: cb.cofaces(np.broadcast_to(np.int64(0), (10**8,)), 5, 2), 24 * 10**8),
            (lambda: cb.unrank(np.broadcast_to(np.int64(0), (2 * 10**9,)), 100, 5), 2 * 10**10),
            (lambda: cb.sample(1000, 5, 10**8), 10**9),
            (lambda: cb.combinations(60, 12, stop=10**8), 24 * 10**8),
        ]
        for number, (call, nbytes) in enumerate(calls):
            try:
                result = call()
            except MemoryError:
                assert nbytes > 300 << 20, f"call {number} fits, yet raised MemoryError"
            else:
                assert nbytes < 512 << 20, f"call {number} should not fit"
                del result
        out = np.full((3, 2), 7, np.uint16)
        assert cb.unrank([0, 1, 2], 5, 2, out=out) is out and out.tolist() == [[0, 1], [0, 2], [0, 3]]
    """)


def test_broadcast_input_is_ranked_within_a_limit_its_copy_would_exceed():
    # The result takes 80 MB; an int64 copy of the rows would take 240 MB more.
    out = run_limited("""
        ranks = cb.rank(np.broadcast_to(np.arange(3), (10**7, 3)), 100)
        print(ranks.shape, int(ranks[-1]))
    """, headroom=200 << 20)
    assert "(10000000,) 0" in out
