"""Ctrl-C during long calls: KeyboardInterrupt soon after, and the process usable afterwards."""
import math
import os
import signal
import threading
import time

import numpy as np
import pytest

import combinatorial as c

RANKS = np.random.default_rng(1).integers(0, math.comb(67, 33), 5_000_000, dtype=np.uint64)


@pytest.mark.parametrize("call", [
    lambda: c.unrank(RANKS, 67, 33),  # seconds of work, through the complements
    lambda: c.unrank(RANKS, 67, 33, workers=1),
    lambda: c.rank(np.broadcast_to(np.arange(33, dtype=np.uint16), (30_000_000, 33)), 67),
    lambda: c.faces(RANKS, 67, 33),
])
def test_sigint_stops_a_long_call(call):
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.join()
    # Generous against a loaded machine; the polls are 20 ms apart.
    assert time.monotonic() - start < 2.0
    assert c.unrank([5], 10, 3).tolist() == [[0, 1, 7]]
