"""The low-level module and the package refuse the same input in the same
words, and the low-level module's words are fixed: each text below must come
out of both, character for character."""
import re

import numpy as np
import pytest

import _combinatorial as m
import combinatorial as c


def ranks(*values):
    return np.array(values, dtype=np.uint64)


def vertices(size):
    return np.zeros(size, dtype=np.uint16)


CASES = [
    pytest.param(
        OverflowError, "C(68, 34) is 2^64 or more and does not fit 64 bits",
        lambda: m.unrank_combs(ranks(0), 68, 34, True, vertices(34)),
        None,  # the package's ranks go to 128 bits: see PACKAGE_BOUNDS
        id="overflow",
    ),
    pytest.param(
        ValueError, "n = 70000 is too large: vertices are 16-bit, so n must be at most 65536",
        lambda: m.unrank_combs(ranks(0), 70000, 2, True, vertices(2)),
        None,  # the package's vertices go to 32 bits: see PACKAGE_BOUNDS
        id="too-many-vertices",
    ),
    pytest.param(
        ValueError, "rank 10 at index 1 is not below C(5, 3) = 10",
        lambda: m.unrank_combs(ranks(0, 10), 5, 3, False, vertices(6)),
        lambda: c.unrank([0, 10], 5, 3),
        id="rank-not-below",
    ),
    pytest.param(
        ValueError, "rank -1 at index 2 is negative",
        lambda: m.unrank_colex_bench(np.array([0, 1, -1]), 5, 3, False, False, 0, vertices(9)),
        lambda: c.unrank(np.array([0, 1, -1]), 5, 3),
        id="rank-negative",
    ),
    pytest.param(
        ValueError, "row 0 of combs, [1, 2, 9], has vertex 9, which is not below n = 5",
        lambda: m.rank_combs_sorted(np.array([[1, 2, 9]], dtype=np.uint16), 5, False),
        lambda: c.rank([[1, 2, 9]], 5),
        id="vertex-not-below",
    ),
    pytest.param(
        ValueError, "row 0 of combs, [1, 1], repeats vertex 1",
        lambda: m.rank_combs_sorted(np.array([[1, 1]], dtype=np.uint16), 5, False),
        lambda: c.rank([[1, 1]], 5),
        id="repeated-vertex",
    ),
]


@pytest.mark.parametrize("error, text, low_level, package", CASES)
def test_both_modules_word_it_alike(error, text, low_level, package):
    for call in (low_level, package):
        if call is None:
            continue
        with pytest.raises(error, match=f"^{re.escape(text)}$"):
            call()


# The same refusals where the package's bounds are wider, in the same form.
PACKAGE_BOUNDS = [
    (OverflowError, "C(300, 150) is 2^128 or more: its ranks do not fit 128 bits", lambda: c.unrank([0], 300, 150)),
    (ValueError, "n = 4294967297 is too large: vertices are 32-bit, so n must be at most 4294967296",
     lambda: c.unrank([0], 2**32 + 1, 2)),
]


@pytest.mark.parametrize("error, text, call", PACKAGE_BOUNDS)
def test_package_bounds_worded_alike(error, text, call):
    with pytest.raises(error, match=f"^{re.escape(text)}$"):
        call()
