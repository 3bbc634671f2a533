"""Unranking: unrank_combs, unrank_combs_k and the colex members behind unrank_colex_bench.

Every result is checked against an oracle that shares nothing with the module:
itertools.combinations for the orders themselves, and ranks recomputed from the
written vertices with math.comb (or tables of math.comb values, for large batches).
"""
import functools
import itertools
import math
import os
import random

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _combinatorial as m

SANITIZED = os.environ.get("COMBINATORIAL_SANITIZED") == "1"
# Dense sweeps over every boundary are thinned under the sanitizers.
DENSE_STEP = 5 if SANITIZED else 1
RANDOM_RANKS = 300 if SANITIZED else 3000

# Every (use_guess, gallop, probes) selection of unrank_colex_bench.
SELECTIONS = [(g, l, p) for g in (False, True) for l in (False, True) for p in range(4)]
ORDERS = pytest.mark.parametrize("colex", [True, False], ids=["colex", "lex"])
SLACK = 5  # sentinel elements after the expected output, which must stay as they were


def sentinel_out(size):
    """A uint16 array of a recognisable pattern, to see what a call wrote."""
    return ((np.arange(size, dtype=np.uint64) * 40503 + 48879) % 65536).astype(np.uint16)


def u64(values):
    return np.array(list(values), dtype=np.uint64)


def i64(values):
    return np.array(list(values), dtype=np.int64)


def unrank(ranks, n, k, colex):
    """unrank_combs into a sentinel-filled array; returns the rows it wrote."""
    ranks = np.asarray(ranks, dtype=np.uint64)
    width = max(k, 1) if colex else k
    out = sentinel_out(ranks.size * width + SLACK)
    tail = out[ranks.size * width:].copy()
    m.unrank_combs(ranks, n, k, colex, out)
    assert np.array_equal(out[ranks.size * width:], tail), "wrote past its output"
    return out[:ranks.size * width].reshape(ranks.size, width)


def unrank_k(ranks, n, ks, k_max, colex):
    """unrank_combs_k into a sentinel-filled array; returns the combinations as tuples."""
    ranks = np.asarray(ranks, dtype=np.uint64)
    ks = np.asarray(ks, dtype=np.uint16)
    total = int(ks.astype(np.int64).sum())
    out = sentinel_out(total + SLACK)
    tail = out[total:].copy()
    m.unrank_combs_k(ranks, n, ks, k_max, colex, out)
    assert np.array_equal(out[total:], tail), "wrote past its output"
    bounds = np.concatenate([[0], np.cumsum(ks.astype(np.int64))])
    return [tuple(out[bounds[i]:bounds[i + 1]].tolist()) for i in range(ks.size)]


def unrank_k_rows(ranks, n, k, k_max, colex):
    """unrank_combs_k with one size for every rank, as an (N, k) array."""
    ranks = np.asarray(ranks, dtype=np.uint64)
    out = sentinel_out(ranks.size * k + SLACK)
    tail = out[ranks.size * k:].copy()
    m.unrank_combs_k(ranks, n, np.full(ranks.size, k, dtype=np.uint16), k_max, colex, out)
    assert np.array_equal(out[ranks.size * k:], tail), "wrote past its output"
    return out[:ranks.size * k].reshape(ranks.size, k)


def bench(ranks, n, k, use_guess, gallop, probes):
    ranks = np.asarray(ranks, dtype=np.int64)
    width = max(k, 1)
    out = sentinel_out(ranks.size * width + SLACK)
    tail = out[ranks.size * width:].copy()
    m.unrank_colex_bench(ranks, n, k, use_guess, gallop, probes, out)
    assert np.array_equal(out[ranks.size * width:], tail), "wrote past its output"
    return out[:ranks.size * width].reshape(ranks.size, width)


def ordered_combinations(n, k, colex):
    combos = list(itertools.combinations(range(n), k))
    return sorted(combos, key=lambda c: c[::-1]) if colex else combos


def colex_rank(ascending):
    return sum(map(math.comb, ascending, range(1, len(ascending) + 1)))


def lex_rank(ascending, n):
    k = len(ascending)
    return math.comb(n, k) - 1 - sum(map(math.comb, [n - 1 - c for c in ascending], range(k, 0, -1)))


@functools.lru_cache(maxsize=None)
def comb_column(n, p):
    """C(v, p) for v = 0..n - 1 as uint64; only asked for where every value fits."""
    assert math.comb(n - 1, p) < 2**64
    return np.array([math.comb(v, p) for v in range(n)], dtype=np.uint64)


def colex_ranks(rows, n):
    """Colex ranks of rows written largest vertex first, after checking that every row
    is strictly decreasing with vertices below n. Exact: each term and each sum is a
    rank of a valid combination, below 2^64."""
    rows = np.asarray(rows, dtype=np.int64)
    k = rows.shape[1]
    assert (rows >= 0).all() and (rows < n).all()
    assert (np.diff(rows, axis=1) < 0).all()
    total = np.zeros(rows.shape[0], dtype=np.uint64)
    for j in range(k):
        total += comb_column(n, k - j)[rows[:, j]]
    return total


def lex_ranks(rows, n):
    """Lex ranks of rows written smallest vertex first, after the same checks."""
    rows = np.asarray(rows, dtype=np.int64)
    k = rows.shape[1]
    assert (rows >= 0).all() and (rows < n).all()
    assert (np.diff(rows, axis=1) > 0).all()
    total = np.zeros(rows.shape[0], dtype=np.uint64)
    for i in range(k):
        total += comb_column(n, k - i)[n - 1 - rows[:, i]]
    return np.uint64(math.comb(n, k) - 1) - total


# --- every combination of small sets ------------------------------------------------


@ORDERS
@pytest.mark.parametrize("n", range(13))
def test_unrank_combs_enumerates_every_combination_in_order(n, colex):
    for k in range(n + 1):
        combos = ordered_combinations(n, k, colex)
        rows = unrank(np.arange(len(combos)), n, k, colex).tolist()
        if colex and k <= 1:
            expected = [[r] for r in range(len(combos))]  # the rank itself, also for k = 0
        elif colex:
            expected = [list(c[::-1]) for c in combos]
        else:
            expected = [list(c) for c in combos]  # k = 0: one empty row
        assert rows == expected, (n, k)


@ORDERS
@pytest.mark.parametrize("n", range(13))
def test_unrank_combs_k_enumerates_every_combination_smallest_first(n, colex):
    for k in range(n + 1):
        combos = ordered_combinations(n, k, colex)
        for k_max in {0, k, n}:
            got = unrank_k(np.arange(len(combos)), n, [k] * len(combos), k_max, colex)
            assert got == combos, (n, k, k_max)


@ORDERS
@pytest.mark.parametrize("n", range(13))
def test_unrank_combs_k_mixed_sizes_in_one_call(n, colex):
    items = [(k, r, c) for k in range(n + 1) for r, c in enumerate(ordered_combinations(n, k, colex))]
    random.Random(n).shuffle(items)
    for k_max in (0, n // 2, n):
        got = unrank_k([r for _, r, _ in items], n, [k for k, _, _ in items], k_max, colex)
        assert got == [c for _, _, c in items]


@pytest.mark.parametrize(
    "ranks, n, k, colex, expected",
    [
        ([7], 5, 3, True, [4, 3, 0]),
        ([0, 7, 9], 5, 3, True, [2, 1, 0, 4, 3, 0, 4, 3, 2]),
        ([0, 7, 9], 5, 3, False, [0, 1, 2, 1, 2, 4, 2, 3, 4]),
        ([0, 5], 4, 2, True, [1, 0, 3, 2]),
        ([0, 5], 4, 2, False, [0, 1, 2, 3]),
        ([0, 1, 2, 3, 4, 5], 4, 2, False, [0, 1, 0, 2, 0, 3, 1, 2, 1, 3, 2, 3]),
        ([7], 5, 2, False, [2, 3]),
        ([3, 0, 4], 5, 1, True, [3, 0, 4]),
        ([3, 0, 4], 5, 1, False, [3, 0, 4]),
        ([0, 0, 0], 5, 0, True, [0, 0, 0]),
        ([0, 0, 0], 5, 0, False, []),
        ([], 5, 3, True, []),
        ([], 5, 3, False, []),
    ],
)
def test_unrank_combs_known_values(ranks, n, k, colex, expected):
    assert unrank(u64(ranks), n, k, colex).ravel().tolist() == expected


@pytest.mark.parametrize(
    "ranks, ks, n, colex, expected",
    [
        ([7, 7], [3, 2], 5, True, [0, 3, 4, 1, 4]),
        ([7, 7], [3, 2], 5, False, [1, 2, 4, 2, 3]),
        ([1, 0, 3], [2, 0, 1], 4, True, [0, 2, 3]),
        ([1, 0, 3], [2, 0, 1], 4, False, [0, 2, 3]),
        ([0, 0, 0], [0, 0, 0], 4, True, []),
        ([], [], 4, False, []),
    ],
)
def test_unrank_combs_k_known_values(ranks, ks, n, colex, expected):
    got = unrank_k(u64(ranks), n, ks, 2, colex)
    assert [v for c in got for v in c] == expected


# --- the colex members ------------------------------------------------------------------


def boundary_colex_ranks(n, k, rng, ws_per_position):
    """Ranks whose remainder at some position p sits on a coefficient boundary, and
    their neighbours. For a vertex w: the combination with w at position p and the
    positions below at their smallest (remainder C(w, p) there), and the one with
    w - 1 at p and the positions below at their largest (remainder C(w, p) - 1).
    The positions above take their smallest, their largest or random vertices."""
    rows = []
    for p in range(1, k + 1):
        candidates = set(range(p - 1, p + 4)) | set(range(n - k + p - 4, n - k + p))
        candidates |= set(rng.sample(range(p - 1, n - k + p), min(ws_per_position, n - k + 1)))
        for w in sorted(c for c in candidates if p - 1 <= c <= n - 1 - (k - p)):
            lowers = [list(range(p - 1)) + [w]]
            if w >= p:
                lowers.append(list(range(w - p, w)))
            for lower in lowers:
                top = lower[-1]
                uppers = [list(range(top + 1, top + 1 + k - p)), list(range(n - (k - p), n))]
                if n - top - 1 >= k - p:
                    uppers.append(sorted(rng.sample(range(top + 1, n), k - p)))
                for upper in uppers:
                    rows.append((lower + upper)[::-1])
    ranks = colex_ranks(np.array(rows, dtype=np.int64).reshape(-1, k), n).astype(object)
    count = math.comb(n, k)
    near = {int(r) + d for r in ranks for d in (-1, 0, 1)}
    return sorted(r for r in near if 0 <= r < count)


def top_boundary_ranks(n, k, step):
    """C(w, k) - 1, C(w, k) and C(w, k) + 1 for w = k - 1 .. n - 1 (every step-th w, the
    last always), and C(n, k) - 1; all below 2^63 for the sizes asked for."""
    count = math.comb(n, k)
    assert count < 2**63
    values = comb_column(n, k).astype(np.int64)
    values = np.concatenate([values[k - 1::step], values[-1:]])
    ranks = np.concatenate([values - 1, values, values + 1, [count - 1]])
    return np.unique(ranks[(ranks >= 0) & (ranks < count)])


def guess_band_ranks(n, k, seed):
    """Ranks a little off C(w, k) for every w: the single-precision guesses at
    positions 2 and 3 round the rank, so their errors live in such bands."""
    band = {2: 300, 3: 1 << 27}[k]
    values = comb_column(n, k).astype(np.int64)[k:]
    offsets = np.random.default_rng(seed).integers(-band, band + 1, size=(2, values.size))
    ranks = (values + offsets).ravel()[::DENSE_STEP]
    return ranks[(ranks >= 0) & (ranks < math.comb(n, k))]


def hard_and_random_colex_ranks(n, k, seed):
    rng = random.Random(seed)
    count = math.comb(n, k)
    ranks = set(range(min(count, 50))) | set(range(max(0, count - 50), count))
    ranks |= {rng.randrange(count) for _ in range(RANDOM_RANKS)}
    if k >= 2:
        ranks |= set(boundary_colex_ranks(n, k, rng, 40 if SANITIZED else 300))
        if n > 1000 and k <= 3:
            ranks |= set(top_boundary_ranks(n, k, DENSE_STEP).tolist())
            ranks |= set(guess_band_ranks(n, k, seed).tolist())
    return i64(sorted(ranks))


@pytest.mark.parametrize(
    "n, k",
    [(65535, 2), (65535, 3), (65535, 4), (1000, 3), (200, 5), (60, 12), (20, 2), (5, 3), (4, 2),
     (2, 2), (3, 3), (67, 8), (65535, 1), (300, 0)],
)
def test_every_colex_member_unranks_hard_and_random_ranks(n, k):
    ranks = hard_and_random_colex_ranks(n, k, seed=n * 100 + k)
    reference = unrank(ranks, n, k, colex=True)
    if k <= 1:
        assert np.array_equal(reference[:, 0], ranks)
    else:
        assert np.array_equal(colex_ranks(reference, n), ranks.astype(np.uint64))
    for use_guess, gallop, probes in SELECTIONS + [(True, True, 100), (False, False, 100)]:
        got = bench(ranks, n, k, use_guess, gallop, probes)
        assert np.array_equal(got, reference), (use_guess, gallop, probes)
    # The checked member, behind unrank_combs_k, with a table of any extent.
    if k >= 2:
        for k_max in (1, k):
            assert np.array_equal(unrank_k_rows(ranks, n, k, k_max, colex=True)[:, ::-1], reference)


@pytest.mark.parametrize("use_guess, gallop, probes", SELECTIONS + [(True, False, 100)])
@pytest.mark.parametrize(
    "ranks, n, k, expected",
    [
        ([7], 5, 3, [4, 3, 0]),
        ([0, 9], 5, 3, [2, 1, 0, 4, 3, 2]),
        ([6], 20, 2, [4, 0]),  # C(4, 2): the pair guess falls one short
        ([100], 20, 2, [14, 9]),
        ([math.comb(65535, 2) - 1, math.comb(65534, 2)], 65535, 2, [65534, 65533, 65534, 0]),
        ([math.comb(65535, 3) - 1], 65535, 3, [65534, 65533, 65532]),
        ([math.comb(65535, 4) - 1], 65535, 4, [65534, 65533, 65532, 65531]),
        ([5, 0, 9], 10, 1, [5, 0, 9]),
        ([0, 0], 10, 0, [0, 0]),
        ([], 10, 3, []),
    ],
)
def test_colex_members_known_values(ranks, n, k, expected, use_guess, gallop, probes):
    assert bench(i64(ranks), n, k, use_guess, gallop, probes).ravel().tolist() == expected


# --- full width: n = 65536, and lex pairs by their closed form -----------------------------


def test_lex_pairs_at_full_width_on_every_first_vertex_boundary():
    n = 65536
    a = np.unique(np.concatenate([np.arange(0, n - 1, DENSE_STEP), [n - 3, n - 2]])).astype(np.int64)
    starts = a * (n - 1) - a * (a - 1) // 2  # rank of (a, a + 1): sum of n - 1 - b for b < a
    lengths = n - 1 - a  # pairs that begin with a
    ranks = np.concatenate([starts, starts + 1, starts + lengths - 1, starts + lengths - 2])
    firsts = np.concatenate([a, a, a, a])
    seconds = np.concatenate([a + 1, a + 2, np.full_like(a, n - 1), np.full_like(a, n - 2)])
    keep = (seconds > firsts) & (seconds < n)
    ranks, firsts, seconds = ranks[keep], firsts[keep], seconds[keep]
    assert int(ranks.max()) == math.comb(n, 2) - 1
    expected = np.stack([firsts, seconds], axis=1)
    rows = unrank(ranks, n, 2, colex=False)
    assert np.array_equal(rows, expected)
    assert np.array_equal(lex_ranks(rows, n), ranks.astype(np.uint64))
    assert np.array_equal(unrank_k_rows(ranks, n, 2, 2, colex=False), expected)


def test_lex_pairs_at_full_width_on_random_ranks():
    n = 65536
    ranks = np.random.default_rng(11).integers(0, math.comb(n, 2), size=20 * RANDOM_RANKS, dtype=np.int64)
    rows = unrank(ranks, n, 2, colex=False)
    assert np.array_equal(lex_ranks(rows, n), ranks.astype(np.uint64))


@pytest.mark.parametrize("k", [2, 3, 4])
def test_colex_at_full_width_on_top_boundaries(k):
    n = 65536
    ranks = top_boundary_ranks(n, k, DENSE_STEP if k == 2 else 7 * DENSE_STEP).astype(np.uint64)
    rows = unrank(ranks, n, k, colex=True)
    assert np.array_equal(colex_ranks(rows, n), ranks)
    assert rows[-1].tolist() == list(range(n - 1, n - 1 - k, -1))
    assert np.array_equal(unrank_k_rows(ranks, n, k, k, colex=True)[:, ::-1], rows)


@pytest.mark.parametrize("n, k", [(65536, 3), (65536, 4), (5000, 5), (300, 8)])
def test_lex_on_first_vertex_boundaries(n, k):
    # The combinations (a, a + 1, ...) and (a, n - k + 1, ..., n - 1): the first and
    # the last that begin with a, for a spread of a.
    a_values = sorted(set(range(0, 60)) | set(range(n - k - 60, n - k + 1))
                      | set(random.Random(k).sample(range(n - k), 100)))
    rows = []
    for a in a_values:
        rows.append([a] + list(range(a + 1, a + k)))
        rows.append([a] + list(range(n - k + 1, n)))
    ranks = [lex_rank(row, n) for row in rows]
    ranks += [r + d for r in ranks for d in (-1, 1) if 0 <= r + d < math.comb(n, k)]
    got = unrank(u64(ranks), n, k, colex=False)
    assert got[:len(rows)].tolist() == rows
    assert np.array_equal(lex_ranks(got, n), u64(ranks))
    assert np.array_equal(unrank_k_rows(u64(ranks), n, k, 1, colex=False), got)


# --- large k, through the complement ---------------------------------------------------


@ORDERS
@pytest.mark.parametrize(
    "n, k",
    [(65536, 65533), (65536, 65534), (65536, 65535), (65536, 65536), (40000, 39996),
     (67, 33), (67, 34), (66, 33), (66, 34), (5, 3), (3, 2), (2, 2), (1, 1)],
)
def test_large_k_round_trips(n, k, colex):
    count = math.comb(n, k)
    assert count < 2**64
    rng = random.Random(n + k)
    picked = {0, 1, 2, count // 2, count - 3, count - 2, count - 1}
    picked |= {rng.randrange(count) for _ in range(4 if n > 1000 else 60)}
    ranks = sorted(r for r in picked if 0 <= r < count)
    ranks_array = u64(ranks)
    rows = unrank(ranks_array, n, k, colex)
    ascending = rows[:, ::-1] if colex and k >= 2 else rows
    if colex and k <= 1:
        assert rows[:, 0].tolist() == ranks
    else:
        assert (np.diff(ascending.astype(np.int64), axis=1) > 0).all()
        assert ascending.min() >= 0 and ascending.max() < n
        rank_of = colex_rank if colex else functools.partial(lex_rank, n=n)
        assert [rank_of(row) for row in ascending.tolist()] == ranks
        assert ascending[0].tolist() == list(range(k))
        assert ascending[-1].tolist() == list(range(n - k, n))
    if k < 65536:  # ks holds uint16 sizes
        for k_max in {0, 2, min(k, n - k)}:
            got = unrank_k_rows(ranks_array, n, k, k_max, colex)
            assert np.array_equal(got, ascending), k_max


# --- property: round trips over the whole range ---------------------------------------------


@functools.lru_cache(maxsize=None)
def largest_n_for(k):
    """The largest n <= 65536 with C(n, k) < 2^64."""
    lo, hi = k, 65536
    if math.comb(hi, k) < 2**64:
        return hi
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if math.comb(mid, k) < 2**64 else (lo, mid)
    return lo


@st.composite
def sizes_and_ranks(draw):
    small = draw(st.integers(0, 34))
    complement = draw(st.booleans())
    # Long rows are ranked in Python, so their n stays moderate.
    n = draw(st.integers(small, min(largest_n_for(small), 3000 if complement else 65536)))
    k = n - small if complement else small
    count = math.comb(n, k)
    ranks = draw(st.lists(st.integers(0, count - 1) | st.sampled_from([0, count - 1]), max_size=6))
    return n, k, ranks


@settings(max_examples=60 if SANITIZED else 300, deadline=None, database=None)
@given(sizes_and_ranks(), st.integers(0, 40))
def test_round_trip_property(case, k_max):
    n, k, ranks = case
    ranks_array = u64(ranks)
    colex_rows = unrank(ranks_array, n, k, colex=True)
    lex_rows = unrank(ranks_array, n, k, colex=False)
    if k <= 1:
        assert colex_rows[:, 0].tolist() == ranks
        assert lex_rows.ravel().tolist() == (ranks if k == 1 else [])
        assert np.array_equal(unrank_k_rows(ranks_array, n, k, k_max, colex=True), lex_rows)
    else:
        colex_ascending = colex_rows[:, ::-1]
        for rows in (colex_ascending, lex_rows):
            assert (np.diff(rows.astype(np.int64), axis=1) > 0).all()
            assert rows.size == 0 or rows.max() < n
        assert [colex_rank(r) for r in colex_ascending.tolist()] == ranks
        assert [lex_rank(r, n) for r in lex_rows.tolist()] == ranks
        assert np.array_equal(unrank_k_rows(ranks_array, n, k, k_max, colex=True), colex_ascending)
    assert np.array_equal(unrank_k_rows(ranks_array, n, k, k_max, colex=False), lex_rows)


# --- how ranks are read ------------------------------------------------------------------


@ORDERS
def test_two_dimensional_ranks_are_read_in_row_major_order(colex):
    n, k = 30, 4
    flat = u64(random.Random(3).sample(range(math.comb(n, k)), 24))
    expected = unrank(flat, n, k, colex)
    for ranks in (flat.reshape(4, 6), np.asfortranarray(flat.reshape(4, 6)), flat.reshape(2, 3, 4)):
        assert np.array_equal(unrank(ranks, n, k, colex), expected)
    if colex:
        for selection in SELECTIONS[::5]:
            got = bench(np.asfortranarray(flat.astype(np.int64).reshape(6, 4)), n, k, *selection)
            assert np.array_equal(got, expected)


@ORDERS
def test_strided_rank_and_size_views_are_read_as_their_elements(colex):
    n = 25
    base = u64(random.Random(5).sample(range(math.comb(n, 3)), 40))
    view = base[::3]
    assert not view.flags.c_contiguous
    assert np.array_equal(unrank(view, n, 3, colex), unrank(view.copy(), n, 3, colex))
    sizes = np.array([3, 9, 3, 9, 3, 9, 3, 9, 3, 9, 3, 9, 3, 9], dtype=np.uint16)[::2]
    assert np.array_equal(unrank_k(view[:7], n, sizes, 3, colex), unrank_k(view[:7].copy(), n, sizes.copy(), 3, colex))
    if colex:
        got = bench(base.astype(np.int64)[::3], n, 3, True, True, 1)
        assert np.array_equal(got, unrank(view.copy(), n, 3, colex))


@ORDERS
def test_unrank_combs_k_reads_as_many_ranks_as_the_first_dimension(colex):
    ranks = u64([5, 1, 7, 2, 0, 9]).reshape(3, 2)
    got = unrank_k(ranks, 5, [3, 2, 2], 3, colex)
    expected_first = unrank_k(u64([5, 1, 7]), 5, [3, 2, 2], 3, colex)
    assert got == expected_first


def test_zero_dimensional_ranks():
    # unrank_combs takes it as one rank; unrank_combs_k wants a first dimension.
    assert unrank(np.array(7, dtype=np.uint64), 5, 3, True).ravel().tolist() == [4, 3, 0]
    out = sentinel_out(10)
    before = out.copy()
    with pytest.raises(IndexError):
        m.unrank_combs_k(np.array(7, dtype=np.uint64), 5, np.array([3], dtype=np.uint16), 3, True, out)
    assert np.array_equal(out, before)


def test_out_of_natural_shape_is_filled_as_one_flat_run():
    ranks = u64([0, 9, 7])
    out = np.zeros((3, 3), dtype=np.uint16)
    m.unrank_combs(ranks, 5, 3, True, out)
    assert out.tolist() == [[2, 1, 0], [4, 3, 2], [4, 3, 0]]
    out = np.zeros((2, 2, 3), dtype=np.uint16)
    m.unrank_combs(ranks, 5, 3, False, out)
    assert out.ravel().tolist() == [0, 1, 2, 2, 3, 4, 1, 2, 4, 0, 0, 0]


def test_results_do_not_depend_on_the_table_earlier_calls_left():
    n, k = 300, 4
    ranks = u64(random.Random(9).sample(range(math.comb(n, k)), 200))
    expected_colex = unrank(ranks, n, k, True)
    expected_lex = unrank(ranks, n, k, False)
    assert np.array_equal(colex_ranks(expected_colex, n), ranks)
    assert np.array_equal(lex_ranks(expected_lex, n), ranks)
    earlier_calls = [
        lambda: m.unrank_combs_k(u64([0]), 10, np.array([3], np.uint16), 2, True, sentinel_out(3)),
        lambda: m.unrank_combs_k(u64([0]), 2000, np.array([3], np.uint16), 60, False, sentinel_out(3)),
        lambda: m.unrank_colex_bench(i64([0]), 5, 2, False, False, 0, sentinel_out(2)),
        lambda: m.unrank_colex_bench(i64([0]), 65535, 4, False, False, 0, sentinel_out(4)),
        lambda: m.unrank_combs(u64([0]), 65536, 4, True, sentinel_out(4)),
        lambda: m.unrank_combs(u64([0]), 299, 4, False, sentinel_out(4)),
        lambda: m.unrank_combs(u64([0]), 301, 3, False, sentinel_out(3)),
    ]
    for earlier in earlier_calls:
        earlier()
        assert np.array_equal(unrank(ranks, n, k, True), expected_colex)
        earlier()
        assert np.array_equal(unrank(ranks, n, k, False), expected_lex)
        earlier()
        assert np.array_equal(bench(ranks, n, k, True, True, 2), expected_colex)


# --- out sharing memory with the input ---------------------------------------------------
#
# Ranks and sizes are checked before anything is written, so they must also be
# the ones unranked: when out shares memory with them, the call has to refuse
# or give the same result as with a separate copy. The buffer extends past out
# so that a write beyond out lands in memory this test owns and can inspect.


def aliased_case(function, colex, n, k, count, ranks_alias=True):
    """The call and its expected rows; ranks (or ks) live in the bytes of out."""
    slack = 64
    width = max(k, 1) if colex else k
    buffer = np.zeros((count * width + slack + 3) // 4 * 4, dtype=np.uint16)  # whole uint64s
    out = buffer[:count * width]
    ranks = [(i + 1) % math.comb(n, k) for i in range(count)]
    expected = unrank(u64(ranks), n, k, colex)
    if function == "unrank_combs_k" and colex:
        expected = expected[:, ::-1]
    if ranks_alias:
        shared = buffer.view(np.uint64)[:count]
        shared[:] = ranks
        ks = np.full(count, k, dtype=np.uint16)
    else:
        shared = u64(ranks)
        ks = buffer[:count]
        ks[:] = k
    calls = {
        "unrank_combs": lambda: m.unrank_combs(shared, n, k, colex, out),
        "unrank_combs_k": lambda: m.unrank_combs_k(shared, n, ks, k, colex, out),
        "unrank_colex_bench": lambda: m.unrank_colex_bench(shared.view(np.int64), n, k, False, False, 0, out),
    }
    return calls[function], buffer, out, expected


@pytest.mark.parametrize(
    "function, colex, n, k, ranks_alias",
    [
        ("unrank_combs", True, 10, 8, True),
        ("unrank_combs", False, 10, 8, True),
        ("unrank_combs", True, 10, 5, True),
        ("unrank_combs", False, 12, 5, True),
        ("unrank_combs_k", True, 10, 8, True),
        ("unrank_combs_k", False, 10, 8, True),
        ("unrank_colex_bench", True, 10, 5, True),
        ("unrank_combs_k", True, 4, 3, False),
        ("unrank_combs_k", False, 4, 3, False),
    ],
)
def test_out_sharing_memory_with_the_input(function, colex, n, k, ranks_alias):
    call, buffer, out, expected = aliased_case(function, colex, n, k, 6, ranks_alias)
    before = buffer.copy()
    try:
        call()
    except ValueError as error:
        assert "shares memory" in str(error)
        assert np.array_equal(buffer, before)
        return
    assert np.array_equal(buffer[out.size:], before[out.size:]), "wrote past the end of out"
    assert np.array_equal(out.reshape(expected.shape), expected)


# --- refused input -------------------------------------------------------------------------

C68_34 = math.comb(68, 34)
COUNT_65535_2 = math.comb(65535, 2)


def call_unrank(ranks, n, k, colex):
    return lambda out: m.unrank_combs(u64(ranks), n, k, colex, out)


def call_unrank_k(ranks, n, ks, k_max, colex):
    return lambda out: m.unrank_combs_k(u64(ranks), n, np.array(ks, dtype=np.uint16), k_max, colex, out)


def call_bench(ranks, n, k, use_guess=True, gallop=True, probes=1):
    return lambda out: m.unrank_colex_bench(i64(ranks), n, k, use_guess, gallop, probes, out)


REFUSALS = [
    # (call, size of out, exception, message)
    pytest.param(call_unrank([10], 5, 3, True), 30, ValueError,
                 r"rank 10 at index 0 is not below C\(5, 3\) = 10", id="colex-rank-equal-to-count"),
    pytest.param(call_unrank([10], 5, 3, False), 30, ValueError, r"rank 10 at index 0", id="lex-rank-equal-to-count"),
    pytest.param(call_unrank([2**64 - 1], 5, 3, True), 30, ValueError, r"rank 18446744073709551615 at index 0",
                 id="colex-rank-2^64-1"),
    pytest.param(call_unrank([2**64 - 1], 65536, 2, False), 30, ValueError, r"rank 18446744073709551615",
                 id="lex-pair-rank-2^64-1"),
    pytest.param(call_unrank([0, 5, 9, 10], 5, 3, True), 30, ValueError, r"rank 10 at index 3",
                 id="colex-bad-rank-last"),
    pytest.param(call_unrank([0, 5, 9, 10], 5, 3, False), 30, ValueError, r"rank 10 at index 3",
                 id="lex-bad-rank-last"),
    pytest.param(call_unrank([0, 1, 2**63], 66, 63, True), 600, ValueError, r"rank 9223372036854775808 at index 2",
                 id="complement-bad-rank-last"),
    pytest.param(call_unrank([0, 1, math.comb(65536, 2)], 65536, 65534, False), 3 * 65534 + 10, ValueError,
                 r"rank 2147450880 at index 2 is not below C\(65536, 65534\) = 2147450880",
                 id="complement-rank-equal-to-count"),
    pytest.param(call_unrank([0, 0, 1], 5, 0, True), 30, ValueError, r"rank 1 at index 2 is not below C\(5, 0\) = 1",
                 id="colex-k0-rank-1"),
    pytest.param(lambda out: m.unrank_combs(i64([3, -1]), 5, 3, True, out), 30, ValueError,
                 r"rank 18446744073709551615 at index 1", id="negative-int64-ranks"),
    pytest.param(call_unrank([0], 3, 4, True), 30, ValueError, r"rank 0 at index 0 is not below C\(3, 4\) = 0",
                 id="colex-k-above-n"),
    pytest.param(call_unrank([0], 3, 4, False), 30, ValueError, r"C\(3, 4\) = 0", id="lex-k-above-n"),
    pytest.param(call_unrank([0], 3, 2**64 - 1, True), 30, ValueError, r"is not below", id="huge-k"),
    pytest.param(call_unrank([0, 1], 65537, 2, True), 30, ValueError, r"n = 65537 is too large", id="colex-n-65537"),
    pytest.param(call_unrank([0, 1], 65537, 2, False), 30, ValueError, r"n = 65537", id="lex-n-65537"),
    pytest.param(call_unrank([0], 2**64 - 1, 1, False), 30, ValueError, r"too large", id="n-2^64-1"),
    pytest.param(call_unrank([0, 1], 68, 34, True), 100, OverflowError, r"C\(68, 34\)", id="colex-overflow"),
    pytest.param(call_unrank([0, 1], 68, 34, False), 100, OverflowError, r"C\(68, 34\)", id="lex-overflow"),
    pytest.param(call_unrank([0], 65536, 6, True), 100, OverflowError, r"C\(65536, 6\)", id="overflow-65536-6"),
    pytest.param(call_unrank([0, 1], 1000, 990, False), 100, OverflowError, r"C\(1000, 990\)",
                 id="overflow-large-k"),
    pytest.param(call_unrank([0, 1, 2, 3], 5, 3, True), 11, ValueError, r"out holds 11 elements, but 12",
                 id="colex-out-one-short"),
    pytest.param(call_unrank([0, 1, 2, 3], 5, 3, False), 11, ValueError, r"out holds 11", id="lex-out-one-short"),
    pytest.param(call_unrank([0, 0, 0], 5, 0, True), 2, ValueError, r"out holds 2", id="colex-k0-out-one-short"),
    pytest.param(call_unrank([0, 1, 2], 5, 1, False), 2, ValueError, r"out holds 2", id="lex-k1-out-one-short"),
    pytest.param(call_unrank([0, 1], 10, 7, True), 13, ValueError, r"out holds 13", id="complement-out-one-short"),
    # unrank_combs_k
    pytest.param(call_unrank_k([7, 10], 5, [2, 3], 3, True), 30, ValueError,
                 r"rank 10 at index 1 is not below C\(5, 3\) = 10", id="k-colex-bad-rank-last"),
    pytest.param(call_unrank_k([7, 10], 5, [2, 3], 3, False), 30, ValueError, r"rank 10 at index 1",
                 id="k-lex-bad-rank-last"),
    pytest.param(call_unrank_k([0, 2**64 - 1], 5, [2, 3], 3, True), 30, ValueError, r"rank 18446744073709551615",
                 id="k-rank-2^64-1"),
    pytest.param(call_unrank_k([0, 0], 5, [2, 6], 3, True), 30, ValueError, r"C\(5, 6\) = 0", id="k-above-n"),
    pytest.param(call_unrank_k([0, 1], 5, [2, 0], 3, False), 30, ValueError, r"rank 1 at index 1 is not below C\(5, 0\) = 1",
                 id="k-size-0-rank-1"),
    pytest.param(call_unrank_k([0, 0], 65537, [2, 2], 3, True), 30, ValueError, r"n = 65537", id="k-n-65537"),
    pytest.param(call_unrank_k([0, 0], 68, [2, 34], 3, True), 100, OverflowError, r"C\(68, 34\)", id="k-overflow"),
    pytest.param(call_unrank_k([1, 2, 3], 10, [2, 2], 3, True), 30, ValueError, r"ks holds 2 sizes, but there are 3",
                 id="k-ks-too-short"),
    pytest.param(call_unrank_k([1, 2], 10, [3, 2], 3, True), 4, ValueError, r"out holds 4 elements, but 5",
                 id="k-out-one-short"),
    pytest.param(call_unrank_k([1, 2], 10, [3, 8], 3, False), 10, ValueError, r"out holds 10", id="k-complement-out-short"),
    # unrank_colex_bench
    pytest.param(call_bench([0, 1, -1], 5, 3), 30, ValueError, r"rank -1 at index 2 is negative", id="bench-negative"),
    pytest.param(call_bench([0, 1, -(2**63)], 5, 3), 30, ValueError, r"at index 2 is negative",
                 id="bench-most-negative"),
    pytest.param(call_bench([0, 1, 10], 5, 3), 30, ValueError, r"rank 10 at index 2", id="bench-rank-equal-to-count"),
    pytest.param(call_bench([COUNT_65535_2], 65535, 2), 30, ValueError, r"is not below", id="bench-pair-count"),
    pytest.param(call_bench([2**63 - 1], 65535, 2), 30, ValueError, r"is not below", id="bench-int64-max"),
    pytest.param(call_bench([0], 65536, 2), 30, ValueError, r"^n is too large; overflow detected!$", id="bench-n-65536"),
    pytest.param(call_bench([0], 3, 4), 30, ValueError, r"C\(3, 4\) = 0", id="bench-k-above-n"),
    pytest.param(call_bench([0], 68, 34), 100, OverflowError, r"C\(68, 34\)", id="bench-overflow"),
    pytest.param(call_bench([0, 1, 2, 3], 5, 3), 11, ValueError, r"out holds 11", id="bench-out-one-short"),
    pytest.param(call_bench([0, 0], 5, 0), 1, ValueError, r"out holds 1", id="bench-k0-out-one-short"),
]


@pytest.mark.parametrize("call, size, error, message", REFUSALS)
def test_refused_input_leaves_out_untouched(call, size, error, message):
    out = sentinel_out(size)
    before = out.copy()
    with pytest.raises(error, match=message):
        call(out)
    assert np.array_equal(out, before)


def test_bench_refuses_n_65536_before_looking_at_out():
    out = sentinel_out(10)
    out.flags.writeable = False
    with pytest.raises(ValueError, match=r"^n is too large; overflow detected!$"):
        m.unrank_colex_bench(i64([0]), 65536, 2, False, False, 0, out)


def test_bench_accepts_n_65535():
    assert bench(i64([0, 1]), 65535, 2, True, False, 0).tolist() == [[1, 0], [2, 0]]


GOOD_CALLS = {
    "unrank_combs": call_unrank([1, 2], 6, 3, True),
    "unrank_combs-lex": call_unrank([1, 2], 6, 3, False),
    "unrank_combs_k": call_unrank_k([1, 2], 6, [3, 2], 3, True),
    "unrank_colex_bench": call_bench([1, 2], 6, 3),
}

BAD_OUTS = {
    "int64": lambda: np.arange(40, dtype=np.int64),
    "uint32": lambda: np.arange(40, dtype=np.uint32),
    "int16": lambda: np.arange(40, dtype=np.int16),
    "float64": lambda: np.arange(40, dtype=np.float64),
    "big-endian-uint16": lambda: np.arange(40, dtype=">u2"),
    "strided-uint16": lambda: np.arange(80, dtype=np.uint16)[::2],
    "fortran-uint16": lambda: np.asfortranarray(np.arange(40, dtype=np.uint16).reshape(8, 5)),
    "list": lambda: list(range(40)),
}


@pytest.mark.parametrize("kind", BAD_OUTS)
@pytest.mark.parametrize("function", GOOD_CALLS)
def test_out_of_another_kind_is_refused_and_left_unchanged(function, kind):
    out = BAD_OUTS[kind]()
    base = out.base if isinstance(out, np.ndarray) and out.base is not None else out
    before = base.copy()
    with pytest.raises(TypeError):
        GOOD_CALLS[function](out)
    if isinstance(base, np.ndarray):
        assert np.array_equal(base, before)
    else:
        assert base == before


@pytest.mark.parametrize("function", GOOD_CALLS)
def test_read_only_out_is_refused(function):
    out = sentinel_out(40)
    before = out.copy()
    out.flags.writeable = False
    with pytest.raises(ValueError, match="array is not writeable"):
        GOOD_CALLS[function](out)
    assert np.array_equal(out, before)


@pytest.mark.parametrize("function", GOOD_CALLS)
def test_c_contiguous_uint16_outs_are_written(function):
    for out in (np.zeros(40, dtype=np.uint16), np.zeros((8, 5), dtype=np.uint16),
                np.zeros((2, 40), dtype=np.uint16)[1], np.zeros(6, dtype=np.uint16)):
        GOOD_CALLS[function](out)
        assert out.any()
