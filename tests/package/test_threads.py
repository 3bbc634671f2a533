"""Calls from many Python threads at once, and threaded calls in a forked child."""
import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import combinatorial as c

# Batches above the size at which _core splits work across threads.
BIG = 300_000


def mixed_calls():
    """(name, call) pairs with different (n, k) and orders, each above the threshold."""
    rng = np.random.default_rng(11)
    calls = []
    for n, k, order in ((200, 5, "lex"), (60, 12, "colex"), (1000, 3, "colex"), (40, 6, "lex"), (65535, 2, "lex")):
        ranks = rng.integers(0, math.comb(n, k), size=BIG, dtype=np.uint64)
        rows = c.unrank(ranks, n, k, order=order, workers=1)
        calls += [
            (f"unrank {n} {k} {order}", lambda w, r=ranks, n=n, k=k, o=order: c.unrank(r, n, k, order=o, workers=w)),
            (f"rank {n} {k} {order}", lambda w, x=rows[:, ::-1], n=n, o=order: c.rank(x, n, order=o, workers=w)),
            (f"faces {n} {k} {order}", lambda w, r=ranks, n=n, k=k, o=order: c.faces(r, n, k, order=o, workers=w)),
        ]
    calls.append(("combinations", lambda w: c.combinations(30, 12, order="colex", start=10**6, stop=10**6 + BIG,
                                                           workers=w)))
    calls.append(("comb", lambda w: c.comb(np.arange(BIG) % 3000, np.arange(BIG) % 7, workers=w)))
    calls.append(("sample", lambda w: c.sample(100, 20, BIG // 4, rng=5, workers=w)))
    return calls


def test_eight_threads_of_mixed_calls_match_single_threaded_results():
    calls = mixed_calls()
    expected = [call(1) for _, call in calls]
    failures = []

    def worker(offset):
        for i in range(len(calls)):
            name, call = calls[(i + offset) % len(calls)]
            if not np.array_equal(call(None), expected[(i + offset) % len(calls)]):
                failures.append(name)

    threads = [threading.Thread(target=worker, args=(t * 3,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


# Run in a fresh interpreter: there the parent has no other thread when it
# forks. In the test process, threads that other tests leave (Dask's) or that
# run beside this one make fork unsafe, and CPython 3.15 refuses it under -W error.
FORK_SCRIPT = """
import math
import multiprocessing
import numpy as np
import combinatorial as c

BIG = %d


def child(queue):
    ranks = np.arange(0, math.comb(200, 5), 7, dtype=np.uint64)[:BIG]
    rows = c.unrank(ranks, 200, 5, workers=2)
    queue.put(bool((c.rank(rows, 200, workers=2) == ranks).all()))


if __name__ == "__main__":
    ranks = np.arange(BIG, dtype=np.uint64)
    assert (c.rank(c.unrank(ranks, 200, 5, workers=2), 200, workers=2) == ranks).all()
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    process = context.Process(target=child, args=(queue,))
    process.start()
    process.join(timeout=120)
    if process.is_alive():
        process.kill()
        raise SystemExit("the forked child hung")
    assert process.exitcode == 0 and queue.get(timeout=5) is True
    print("child ok")
""" % BIG


def test_a_forked_child_makes_threaded_calls_after_its_parent_did():
    result = subprocess.run([sys.executable, "-W", "error", "-c", FORK_SCRIPT], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0 and result.stdout == "child ok\n", result.stderr


@pytest.mark.parametrize("workers", [1, 2, -1, 64, None])
def test_results_do_not_depend_on_workers(workers):
    for name, call in mixed_calls()[::4]:
        assert np.array_equal(call(workers), call(1)), name


BUSY_FORK_SCRIPT = """
import contextlib, os, signal, threading
import numpy as np
import combinatorial as c

stop = threading.Event()


def busy():
    # Two large tables in turn, so that a fork often finds one being built
    # and the cache's lock held.
    while not stop.is_set():
        for n, k in ((60000, 60), (3000, 1000)):
            with contextlib.suppress(OverflowError):  # raised once the table is built
                c.comb(np.full(64, n, np.uint64), np.full(64, k, np.uint64))


thread = threading.Thread(target=busy)
thread.start()
try:
    for _ in range(10):
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)  # a hang ends the child instead of the test
            ok = (c.rank([[0, 1, 2]], 10).tolist() == [0] and c.unrank([5], 10, 3).tolist() == [[0, 1, 7]]
                  and c.combinations(10, 3).shape == (120, 3))
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, "a forked child failed or hung"
finally:
    stop.set()
    thread.join()
print("children ok")
"""


def test_children_forked_while_a_thread_builds_tables_can_call_everything():
    # In a fresh interpreter, whose only other thread is the busy one; the
    # warning about fork() with threads is the point here, not an error.
    result = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", BUSY_FORK_SCRIPT],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and result.stdout == "children ok\n", result.stderr
