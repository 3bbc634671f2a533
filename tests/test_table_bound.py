"""Requests whose tables would once have taken gigabytes: the results against
Python's integers, whichever route the module now takes."""
import math

import numpy as np
import pytest

import _combinatorial as m


def colex_rank(row):
    return sum(math.comb(c, i + 1) for i, c in enumerate(sorted(row)))


def lex_rank(row, n):
    k = len(row)
    return math.comb(n, k) - 1 - sum(math.comb(n - 1 - c, k - i) for i, c in enumerate(sorted(row)))


@pytest.mark.parametrize("row", [range(15999, -1, -1), range(15998, -1, -1), range(15999, 0, -1),
                                 [v for v in range(15999, -1, -1) if v != 7000]])
def test_long_colex_rows(row):
    row = list(row)
    got = m.rank_combs_sorted(np.array([row], np.uint16), 16000, True)
    assert got.tolist() == [colex_rank(row)]


def test_bench_unranks_through_the_complement_when_k_exceeds_half_of_n():
    n, k = 16000, 15998
    count = math.comb(n, k)
    for rank in (0, 5, count // 3, count - 1):
        out = np.zeros(k, np.uint16)
        m.unrank_colex_bench(np.array([rank], np.int64), n, k, True, True, 2, out)
        assert colex_rank(out.tolist()) == rank and (np.diff(out.astype(np.int64)) < 0).all()


@pytest.mark.parametrize("n", [65537, 100_000, 3_000_001, 3_800_000])
def test_lex_rows_with_n_above_65536(n):
    rng = np.random.default_rng(n)
    for k in (3, 4):
        if math.comb(n, k) > 2**63:
            continue
        rows = np.sort(np.stack([rng.choice(65536, k, replace=False) for _ in range(50)]), axis=1)
        rows[0] = np.arange(65536 - k, 65536)
        got = m.rank_combs_sorted(rows.astype(np.uint16), n, False)
        assert got.tolist() == [lex_rank(r.tolist(), n) for r in rows]


def test_lex_window_refuses_bad_rows_before_building():
    rows = np.array([[0, 1, 2], [5, 5, 6]], np.uint16)
    with pytest.raises(ValueError, match="row 1 of combs"):
        m.rank_combs_sorted(rows, 3_000_001, False)
