"""Large batches of unrank_combs, which take the bucket-indexed and closed-form
paths, checked against Python and against ranking."""
import math

import numpy as np
import pytest

import _combinatorial as m


def boundary_ranks(n, k, limit=400):
    """Ranks where a search is hardest: C(w, k) - 1 and C(w, k), for w spread up to n."""
    count = math.comb(n, k)
    ranks = {0, count - 1}
    for w in np.unique(np.linspace(k, n - 1, limit).astype(int)):
        c = math.comb(int(w), k)
        ranks.update(r for r in (c - 1, c, c + 1) if 0 <= r < count)
    return ranks


def python_colex(rank, k, n):
    """Vertices of the colex rank, largest first: each the largest v with C(v, p) <= rest."""
    vertices = []
    for p in range(k, 0, -1):
        lo, hi = p - 1, n  # C(lo, p) = 0 <= rank < C(hi, p)
        while hi - lo > 1:
            mid = (lo + hi) // 2
            lo, hi = (mid, hi) if math.comb(mid, p) <= rank else (lo, mid)
        vertices.append(lo)
        rank -= math.comb(lo, p)
    return vertices


@pytest.mark.parametrize("n, k", [(1000, 3), (200, 5), (60, 12), (65535, 3), (65535, 4), (300, 7),
                                  (66, 33), (67, 33), (20000, 4), (1000, 6), (40, 8), (65536, 2),
                                  (65535, 2), (3, 2), (100, 10)])
def test_batches_match_python_and_rank_back(n, k):
    count = math.comb(n, k)
    rng = np.random.default_rng(n + 7 * k)
    ranks = np.array(sorted(boundary_ranks(n, k)) + [int(x) for x in rng.integers(0, count, 12000, dtype=np.uint64)],
                     dtype=np.uint64)
    for colex in (True, False):
        out = np.zeros((len(ranks), k), np.uint16)
        m.unrank_combs(ranks, n, k, colex, out)
        if colex:
            assert (np.diff(out.astype(np.int64), axis=1) < 0).all()
        else:
            assert (np.diff(out.astype(np.int64), axis=1) > 0).all()
        assert int(out.max()) < n
        if count <= 2**63:
            assert (m.rank_combs_sorted(out, n, colex) == ranks.astype(np.int64)).all()
        for i in list(range(0, len(ranks), max(1, len(ranks) // 300))):
            r = int(ranks[i])
            if colex:
                assert out[i].tolist() == python_colex(r, k, n), (r, i)
            else:
                mirrored = python_colex(count - 1 - r, k, n)
                assert out[i].tolist() == [n - 1 - v for v in mirrored], (r, i)


def test_small_calls_after_a_large_one_reuse_the_same_answers():
    n, k = 500, 4
    count = math.comb(n, k)
    ranks = np.random.default_rng(1).integers(0, count, 20000, dtype=np.uint64)
    big = np.zeros((len(ranks), k), np.uint16)
    m.unrank_combs(ranks, n, k, True, big)
    for i in range(0, 50):
        small = np.zeros((1, k), np.uint16)
        m.unrank_combs(ranks[i:i + 1], n, k, True, small)
        assert (small[0] == big[i]).all()
    # A larger k on the same n needs a fresh index.
    out = np.zeros((len(ranks), k + 1), np.uint16)
    m.unrank_combs(ranks, n, k + 1, True, out)
    assert (m.rank_combs_sorted(out, n, True) == ranks.astype(np.int64)).all()


def test_bench_beyond_the_table_cap_unranks_complements():
    n, k = 20000, 19998  # a table for (n, k) would exceed the cap
    count = math.comb(n, k)
    ranks = np.array([0, 1, count // 2, count - 1], np.int64)
    reference = np.zeros((4, k), np.uint16)
    m.unrank_combs(ranks.astype(np.uint64), n, k, True, reference)
    for use_guess in (False, True):
        for gallop in (False, True):
            for probes in range(4):
                out = np.zeros((4, k), np.uint16)
                m.unrank_colex_bench(ranks, n, k, use_guess, gallop, probes, out)
                assert (out == reference).all()
    assert (m.rank_combs_sorted(reference, n, True) == ranks).all()


def test_unrank_combs_k_with_a_huge_k_max_builds_only_what_it_reads():
    # k_max far beyond the table cap: results never depend on it.
    n = 65536
    ks = np.array([65535, 3, 2, 65536 - 4], np.uint16)
    ranks = np.array([5, 12345, 777, 99], np.uint64)
    out = np.zeros(int(ks.astype(np.int64).sum()), np.uint16)
    m.unrank_combs_k(ranks, n, ks, 2**64 - 1, True, out)
    at = 0
    for rank, k in zip(ranks, ks):
        k = int(k)
        row = out[at:at + k]
        assert (np.diff(row.astype(np.int64)) > 0).all() and int(row[-1]) < n
        assert m.rank_combs_unsorted([row.tolist()], n, True).tolist() == [int(rank)]
        at += k
