"""Properties on valid input, checked against Python: math.comb and itertools.

- unranking then ranking, and ranking then unranking, give back what they
  started from, in both orders and through both ranking functions, for any n
  up to 65536 and any k with C(n, k) < 2^63 (k > n / 2 included);
- every overload of comb is math.comb, or OverflowError when that is 2^64 or
  more, for n up to 2^64 - 1;
- get_max is the largest v in [k - 1, n] with C(v, k) <= r.
"""
import functools
import itertools
import math
import os
import random

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import _combinatorial as m

SANITIZED = os.environ.get("COMBINATORIAL_SANITIZED") == "1"
PROPERTIES = settings(max_examples=40 if SANITIZED else 200, deadline=None, derandomize=True,
                      database=None)
TWO_63, TWO_64 = 2**63, 2**64
INT64_MAX = TWO_63 - 1
ORDERS = pytest.mark.parametrize("colex", [True, False], ids=["colex", "lex"])


def binomial(n, k):
    """C(n, k) by math.comb, or None when it is 2^64 or more. Once
    m = min(k, n - k) >= 34, C(n, m) >= C(68, 34) > 2^64, so huge arguments
    never reach math.comb."""
    if not 0 <= k <= n:
        return 0
    m_ = min(k, n - k)
    if m_ >= 34:
        return None
    value = math.comb(n, m_)
    return value if value < TWO_64 else None


def colex_rank(ascending):
    return sum(math.comb(c, i + 1) for i, c in enumerate(ascending))


def lex_rank(ascending, n):
    k = len(ascending)
    return math.comb(n, k) - 1 - sum(math.comb(n - 1 - c, k - i) for i, c in enumerate(ascending))


def python_rank(ascending, n, colex):
    return colex_rank(ascending) if colex else lex_rank(ascending, n)


@functools.lru_cache(maxsize=None)
def enumerated(n, k, colex):
    """Every k-subset of range(n) in rank order, by itertools."""
    combos = list(itertools.combinations(range(n), k))  # lex order already
    return sorted(combos, key=lambda c: c[::-1]) if colex else combos


@functools.lru_cache(maxsize=None)
def largest_side(n):
    """The largest s <= n / 2 with C(n, s) < 2^63: k and n - k up to it are valid."""
    s = 0
    while s < n // 2 and math.comb(n, s + 1) < TWO_63:
        s += 1
    return s


@st.composite
def sizes(draw):
    n = draw(st.one_of(st.integers(0, 72), st.integers(0, 65536),
                       st.sampled_from([65536, 65535, 16400, 2000, 68, 67, 66])))
    side = draw(st.integers(0, largest_side(n)))
    k = draw(st.sampled_from([side, n - side]))
    return n, k


@st.composite
def sizes_and_ranks(draw):
    n, k = draw(sizes())
    count = math.comb(n, k)
    ends = sorted({0, count - 1, count // 2})
    # Long rows are ranked in Python one term per vertex: few of them.
    ranks = draw(st.lists(st.integers(0, count - 1) | st.sampled_from(ends),
                          max_size=12 if k <= 200 else 2))
    return n, k, ranks


def unrank(ranks, n, k, colex):
    width = max(k, 1) if colex else k
    out = np.zeros(len(ranks) * width, np.uint16)
    m.unrank_combs(np.array(ranks, np.uint64), n, k, colex, out)
    return out.reshape(len(ranks), width)[:, :k]


def ascending_rows(rows, colex):
    return [row[::-1] if colex else row for row in rows.tolist()]


@ORDERS
@PROPERTIES
@given(case=sizes_and_ranks(), shuffle_seed=st.integers(0, 2**32))
@example(case=(65536, 65533, [0, math.comb(65536, 3) - 1]), shuffle_seed=0)
@example(case=(66, 33, [math.comb(66, 33) - 1, 0]), shuffle_seed=1)
@example(case=(4, 3, [0, 1, 2, 3]), shuffle_seed=2)
def test_unrank_then_rank_gives_the_ranks_back(case, shuffle_seed, colex):
    n, k, ranks = case
    rows = unrank(ranks, n, k, colex)
    ascending = ascending_rows(rows, colex)
    for rank, combination in zip(ranks, ascending):
        assert len(set(combination)) == k and all(0 <= v < n for v in combination)
        assert combination == sorted(combination)
        assert python_rank(combination, n, colex) == rank
    if math.comb(n, k) <= 300:
        assert [enumerated(n, k, colex)[r] for r in ranks] == [tuple(c) for c in ascending]

    sorted_ranks = m.rank_combs_sorted(rows, n, colex)
    assert sorted_ranks.dtype == np.int64 and sorted_ranks.tolist() == ranks
    rng = random.Random(shuffle_seed)
    shuffled = [rng.sample(c, len(c)) for c in ascending]
    unsorted_ranks = m.rank_combs_unsorted(shuffled, n, colex)
    assert unsorted_ranks.dtype == np.uint64 and unsorted_ranks.tolist() == ranks


@st.composite
def sizes_and_combinations(draw):
    n, k = draw(sizes())
    rng = random.Random(draw(st.integers(0, 2**32)))
    count = draw(st.integers(0, 10 if k <= 200 else 2))
    combinations = [sorted(rng.sample(range(n), k)) for _ in range(count)]
    if count and draw(st.booleans()):
        combinations[0] = list(range(k))  # rank 0 in both orders
    if count and draw(st.booleans()):
        combinations[-1] = list(range(n - k, n))  # the last rank in both orders
    return n, k, combinations


@ORDERS
@PROPERTIES
@given(case=sizes_and_combinations())
@example(case=(65536, 65534, [[v for v in range(65536) if v not in (7, 65535)]]))
@example(case=(66, 33, [list(range(33, 66)), list(range(0, 66, 2))]))
def test_rank_then_unrank_gives_the_combinations_back(case, colex):
    n, k, combinations = case
    ranks = [python_rank(c, n, colex) for c in combinations]
    if math.comb(n, k) <= 300:
        assert ranks == [enumerated(n, k, colex).index(tuple(c)) for c in combinations]

    # rank_combs_sorted takes colex rows largest vertex first.
    rows = np.array([c[::-1] if colex else c for c in combinations], np.uint16).reshape(len(combinations), k)
    assert m.rank_combs_sorted(rows, n, colex).tolist() == ranks
    assert m.rank_combs_unsorted([c[::-1] for c in combinations], n, colex).tolist() == ranks
    assert ascending_rows(unrank(ranks, n, k, colex), colex) == combinations


# --- comb --------------------------------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def last_fitting_n(k):
    """The largest n with C(n, k) < 2^64, for 2 <= k <= 33."""
    lo, hi = 2 * k, TWO_64
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if binomial(mid, k) is not None else (lo, mid)
    return lo


@st.composite
def coefficient_pairs(draw):
    """(n, k) with n up to 2^64 - 1, crowded around where C(n, k) leaves 64 bits."""
    kind = draw(st.integers(0, 3))
    if kind == 0:
        k = draw(st.integers(2, 33))
        n = min(last_fitting_n(k) + draw(st.integers(-2, 2)), TWO_64 - 1)
    elif kind == 1:
        k = draw(st.integers(0, 70))
        n = draw(st.integers(k, 140))
    elif kind == 2:
        n = draw(st.integers(0, TWO_64 - 1) | st.sampled_from([TWO_64 - 1, TWO_63, TWO_63 - 1, 2**32]))
        k = draw(st.integers(0, 3) | st.integers(0, TWO_64 - 1))
    else:
        n = draw(st.integers(0, 65535))
        k = draw(st.integers(0, 8))
    if draw(st.booleans()) and k <= n:
        k = n - k
    return n, k


def expect_coefficients(call, pairs, scalar=False):
    values = [binomial(n, k) for n, k in pairs]
    if None in values:
        with pytest.raises(OverflowError):
            call()
        return
    got = call()
    if scalar:
        assert type(got) is int and got == values[0]
    else:
        assert isinstance(got, np.ndarray) and got.dtype == np.uint64 and got.tolist() == values


@PROPERTIES
@given(pairs=st.lists(coefficient_pairs(), max_size=8), n_max=st.integers(0, 2000), k_max=st.integers(0, 40))
def test_every_overload_of_comb_is_math_comb(pairs, n_max, k_max):
    N = np.array([n for n, _ in pairs], np.uint64)
    K = np.array([k for _, k in pairs], np.uint64)
    expect_coefficients(lambda: m.comb(N, K), pairs)
    # The table form reads elements inside the table from it and the rest around it.
    expect_coefficients(lambda: m.comb(N, K, n_max, k_max), pairs)
    for n, k in pairs:
        if k <= 65535:
            expect_coefficients(lambda: m.comb(N, k), [(v, k) for v in N.tolist()])
        if n <= 65535:
            expect_coefficients(lambda: m.comb(n, K), [(n, v) for v in K.tolist()])
        if n <= 65535 and k <= 65535:
            expect_coefficients(lambda: m.comb(n, k), [(n, k)], scalar=True)


# --- get_max -------------------------------------------------------------------------------------


def coefficient(v, k):
    """C(v, k), with every value of 2^64 or more standing above any rank."""
    value = binomial(v, k)
    return TWO_64 if value is None else value


@st.composite
def searches(draw):
    """(r, k, n) with k >= 1, r >= 0, n >= k - 1: r often a coefficient or next to one."""
    k = draw(st.integers(1, 70) | st.integers(1, INT64_MAX))
    n = draw(st.integers(k - 1, min(k + 300, INT64_MAX)) | st.integers(k - 1, INT64_MAX))
    w = draw(st.integers(k - 1, min(n + 2, INT64_MAX)))
    r = draw(st.integers(0, INT64_MAX)
             | st.builds(lambda d: min(max(coefficient(w, k) + d, 0), INT64_MAX), st.integers(-1, 1)))
    return r, k, n


@PROPERTIES
@given(case=searches())
@example(case=(0, 1, 0))
@example(case=(INT64_MAX, 1, INT64_MAX))
@example(case=(INT64_MAX, 2, INT64_MAX))
@example(case=(math.comb(65535, 3), 3, 65535))
def test_get_max_is_the_largest_vertex_whose_coefficient_fits(case):
    r, k, n = case
    v = m.get_max(r, k, n)
    assert k - 1 <= v <= n
    assert coefficient(v, k) <= r
    assert v == n or coefficient(v + 1, k) > r
    if v < INT64_MAX:
        assert m.get_max_vertex(r, k, n, False, 0) == v + 1
