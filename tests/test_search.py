"""The inverse binomial search from Python: get_max, get_max_vertex and find_k."""
import math
import os
import random
import subprocess
import sys
import textwrap

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import _combinatorial as m

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
TWO_64 = 2**64
HUGE = TWO_64  # stands for any coefficient of 2^64 or more

# The closed-form guess for this rank overshoots the answer 8421444 by one.
OVERSHOOT_RANK = 35460363733288


def as_int64(u):
    """The int64 whose bits are the unsigned 64-bit value u."""
    return u - TWO_64 if u > INT64_MAX else u


def coefficient(v, k):
    """C(v, k) for k >= 1: 0 when v < k, HUGE when 2^64 or more."""
    if v < k:
        return 0
    if min(k, v - k) > 64:  # at least C(130, 65) > 2^64
        return HUGE
    return min(math.comb(v, k), HUGE)


def largest_vertex(r, k, n):
    """Largest v in [k - 1, n] with C(v, k) <= r, r taken as unsigned 64-bit."""
    r %= TWO_64
    lo, hi = k - 1, n
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if coefficient(mid, k) <= r:
            lo = mid
        else:
            hi = mid - 1
    return lo


def with_guess(r, k, n):
    """get_max_vertex(r, k, n, True, _): searched from find_k(r, k), which is
    kept even when its own coefficient already exceeds r."""
    s = m.find_k(r, k)
    if coefficient(s, k) > r % TWO_64:
        return s + 1
    return largest_vertex(r, k, n) + 1


# --- values worth pinning down ---------------------------------------------


@pytest.mark.parametrize(
    "r, k, n, expected",
    [
        (10, 2, 100, 5),
        (9, 2, 100, 4),
        (120, 3, 100, 10),
        (119, 3, 100, 9),
        (0, 3, 10, 2),  # nothing above the lower end k - 1
        (10, 2, 4, 4),  # capped at n
        (5, 3, 1, 1),  # n below k - 1 comes back unchanged
        (-1, 2, 100, 100),  # -1 is the largest unsigned rank
        (OVERSHOOT_RANK, 2, 10_000_000, 8421444),
        (2**63, 2, 10**12, 4294967296),  # above 2^63: compared as unsigned
        (TWO_64 - 2, 2, 10**12, 6074001000),
        (TWO_64 - 1, 2, 10**12, 6074001000),  # C(6074001001, 2) >= 2^64
        (TWO_64 - 1, 3, 10**9, 4801280),
    ],
)
def test_get_max_values(r, k, n, expected):
    r = as_int64(r)
    if n >= k - 1:
        assert expected == largest_vertex(r, k, n)
    assert m.get_max(r, k, n) == expected
    assert m.get_max_vertex(r, k, n, False, 0) == expected + 1


@pytest.mark.parametrize(
    "r, k, n, guess, expected",
    [
        (0, 3, 10, False, 3),
        (10, 3, 20, False, 6),  # C(5, 3) = 10: the tie goes to the larger vertex
        (10, 3, 20, True, 6),
        (6, 2, 10, True, 5),
        (3, 1, 10, True, 4),
        (5, 2, 2, True, 3),  # the guess 3 is above n = 2: n + 1
        (10, 2, 100, False, 6),
        (10, 2, 100, True, 6),
        (120, 3, 100, True, 11),
        (10, 2, 4, False, 5),
        (OVERSHOOT_RANK, 2, 10_000_000, False, 8421445),
        (OVERSHOOT_RANK, 2, 10_000_000, True, 8421446),  # the guess is kept
    ],
)
def test_get_max_vertex_values(r, k, n, guess, expected):
    assert m.get_max_vertex(r, k, n, guess, 0) == expected


@pytest.mark.parametrize(
    "r, k, expected",
    [
        (0, 0, -1), (0, 1, 0), (0, 3, 2), (0, 5, 4),
        (10, 1, 10), (-5, 1, -5), (INT64_MAX, 1, INT64_MAX),
        (1, 2, 1), (3, 2, 2), (4, 2, 3), (6, 2, 3), (7, 2, 4), (10, 2, 4), (1000, 2, 45),
        (1, 3, 1), (4, 3, 2), (5, 3, 3), (21, 3, 5), (120, 3, 8), (1000, 3, 18),
        (972, 3, 17), (2304, 3, 23),  # 6r = 18^3, 24^3: one below the cube root
        (10, 4, 3), (10, 0, -1), (10, -3, -4), (INT64_MAX, 40, 39),
        (-1, 2, INT64_MIN), (-1000, 2, INT64_MIN), (INT64_MIN, 2, INT64_MIN),
        (OVERSHOOT_RANK, 2, 8421445),
    ],
)
def test_find_k_values(r, k, expected):
    assert m.find_k(r, k) == expected


@pytest.mark.parametrize("extra", [0, 1, 12345, 2**63, TWO_64 - 1])
@pytest.mark.parametrize("guess", [False, True])
def test_fifth_argument_is_ignored(guess, extra):
    expected = 8421446 if guess else 8421445
    assert m.get_max_vertex(OVERSHOOT_RANK, 2, 10_000_000, guess, extra) == expected


# --- against math.comb -------------------------------------------------------


@st.composite
def searches(draw):
    """(r, k, n) with k in 1..40 and n in [k - 1, about 10^7]; r as int64, often
    next to a coefficient C(w, k), sometimes at or above 2^63 (negative)."""
    k = draw(st.integers(1, 40))
    n = draw(st.one_of(st.integers(k - 1, k + 200), st.integers(k - 1, 10_000_000)))
    u = draw(
        st.one_of(
            st.integers(0, TWO_64 - 1),
            st.integers(0, 1000),
            st.integers(2**63 - 1000, 2**63 + 1000),
            st.integers(TWO_64 - 1000, TWO_64 - 1),
            st.builds(lambda w, d: coefficient(w, k) + d,
                      st.integers(k - 1, n + 2), st.integers(-2, 2)),
        )
    )
    u = min(max(u, 0), TWO_64 - 1)
    return as_int64(u), k, n


SEARCH_SETTINGS = settings(max_examples=400, deadline=None, derandomize=True)


@SEARCH_SETTINGS
@given(case=searches(), extra=st.integers(0, TWO_64 - 1))
@example(case=(OVERSHOOT_RANK, 2, 10_000_000), extra=0)
@example(case=(-1, 3, 10_000_000), extra=0)
@example(case=(-(2**63), 2, 10_000_000), extra=TWO_64 - 1)
def test_search_matches_math_comb(case, extra):
    r, k, n = case
    truth = largest_vertex(r, k, n)
    assert m.get_max(r, k, n) == truth
    assert m.get_max_vertex(r, k, n, False, extra) == truth + 1


@SEARCH_SETTINGS
@given(case=searches())
@example(case=(OVERSHOOT_RANK, 2, 10_000_000))
@example(case=(-1, 3, 10_000_000))
def test_search_from_the_guess(case):
    r, k, n = case
    s = m.find_k(r, k)
    result = m.get_max_vertex(r, k, n, True, 0)
    if coefficient(s, k) <= r % TWO_64:  # the guess is not above the answer
        assert result == largest_vertex(r, k, n) + 1
    assert result == with_guess(r, k, n)


def _extremes():
    values = {0, INT64_MIN, INT64_MAX}
    for j in range(64):
        for d in (-1, 0, 1):
            values.update({2**j + d, -(2**j) - d})
    return sorted(v for v in values if INT64_MIN <= v <= INT64_MAX)


EXTREMES = _extremes()


@st.composite
def extreme_searches(draw):
    """(r, k, n) anywhere in int64 with k >= 1 and n >= k - 1."""
    k = draw(st.one_of(st.integers(1, 40), st.sampled_from([x for x in EXTREMES if x >= 1]),
                       st.integers(1, INT64_MAX)))
    n = draw(st.one_of(st.sampled_from([x for x in EXTREMES if x >= k - 1]),
                       st.integers(k - 1, INT64_MAX), st.integers(k - 1, min(k + 100, INT64_MAX))))
    r = draw(st.one_of(st.sampled_from(EXTREMES), st.integers(INT64_MIN, INT64_MAX)))
    return r, k, n


@SEARCH_SETTINGS
@given(case=extreme_searches())
@example(case=(INT64_MAX, 1, INT64_MAX))
@example(case=(INT64_MIN, 1, INT64_MAX))
@example(case=(-2, 2, INT64_MAX))
@example(case=(5, INT64_MAX, INT64_MAX))
def test_search_with_extreme_arguments(case):
    r, k, n = case
    truth = largest_vertex(r, k, n)
    assert m.get_max(r, k, n) == truth
    if truth < INT64_MAX:  # one above INT64_MAX is not an int64
        assert m.get_max_vertex(r, k, n, False, 0) == truth + 1
        assert m.get_max_vertex(r, k, n, True, 0) == with_guess(r, k, n)


# --- the guess that colex unranking starts from --------------------------------


def _find_k_ranks(k):
    rng = random.Random(20 + k)
    limit = math.comb(65535, k)
    ranks = {rng.randrange(1, limit) for _ in range(20000)}
    ranks.update(range(1, 2000))
    for w in [*range(k, 65536, 61), 65534, 65535]:
        c = math.comb(w, k)
        ranks.update(r for r in (c - 1, c, c + 1) if 1 <= r < limit)
    return sorted(ranks)


@pytest.mark.parametrize("k, slack", [(2, 1), (3, 2)])
def test_find_k_is_at_most_the_vertex_and_close_below(k, slack):
    for r in _find_k_ranks(k):
        v = largest_vertex(r, k, 65535)
        g = m.find_k(r, k)
        assert v - slack <= g <= v, (r, k, g, v)


# --- argument handling --------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda: m.find_k(10, k=2),
        lambda: m.find_k(10.0, 2),
        lambda: m.find_k(10, 2.0),
        lambda: m.find_k(10),
        lambda: m.find_k(2**63, 2),
        lambda: m.find_k(INT64_MIN - 1, 2),
        lambda: m.get_max(10, 2, 2**63),
        lambda: m.get_max(10, -(2**63) - 1, 100),
        lambda: m.get_max(TWO_64 - 1, 2, 100),
        lambda: m.get_max(10, 2),
        lambda: m.get_max(10, 2, 100.0),
        lambda: m.get_max_vertex(10, 2, 100, True, -1),
        lambda: m.get_max_vertex(10, 2, 100, True, TWO_64),
        lambda: m.get_max_vertex(10, 2, 100, True, 0.0),
        lambda: m.get_max_vertex(10, 2, 100, "yes", 0),
        lambda: m.get_max_vertex(2**63, 2, 100, True, 0),
        lambda: m.get_max_vertex(10, 2, 100, True),
        lambda: m.get_max_vertex(10, 2, 100, guess=True, extra=0),
    ],
)
def test_refused_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_guess_flag_converts_like_a_truth_value():
    # The two settings differ for this rank, so each conversion is visible.
    with_flag = m.get_max_vertex(OVERSHOOT_RANK, 2, 10_000_000, True, 0)
    without_flag = m.get_max_vertex(OVERSHOOT_RANK, 2, 10_000_000, False, 0)
    assert with_flag != without_flag
    assert m.get_max_vertex(OVERSHOOT_RANK, 2, 10_000_000, 1, 0) == with_flag
    assert m.get_max_vertex(OVERSHOOT_RANK, 2, 10_000_000, 0, 0) == without_flag
    assert m.get_max_vertex(10, 2, 100, 1, 0) == m.get_max_vertex(10, 2, 100, True, 0) == 6


def test_results_are_plain_ints():
    for value in (m.find_k(10, 2), m.get_max(10, 2, 100), m.get_max_vertex(10, 2, 100, True, 0),
                  m.find_k(-1, 2), m.get_max(-1, 2, INT64_MAX)):
        assert type(value) is int


# --- extreme arguments in a separate process -----------------------------------

# Every int64 extreme in each argument position, the others from a small set.
# A crash, a hang or (in the sanitized build) undefined behaviour fails it.
_EXTREME_SCRIPT = textwrap.dedent(
    """
    import _combinatorial as m

    INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
    extremes = EXTREMES
    base = [INT64_MIN, -1, 0, 1, 2, 3, 41, INT64_MAX]
    unsigned = sorted({0, 2**64 - 1} | {2**j + d for j in range(64) for d in (-1, 0, 1)}
                      - {2**64})

    def check(value):
        assert type(value) is int, value

    calls = 0
    for x in extremes:
        for a in base:
            check(m.find_k(x, a))
            check(m.find_k(a, x))
            calls += 2
            for b in base:
                for args in ((x, a, b), (a, x, b), (a, b, x)):
                    check(m.get_max(*args))
                    check(m.get_max_vertex(*args, False, 0))
                    check(m.get_max_vertex(*args, True, 0))
                    calls += 3
    for extra in unsigned:
        for args in ((INT64_MIN, 2, INT64_MAX), (-1, 3, INT64_MAX), (10, 2, 100)):
            check(m.get_max_vertex(*args, False, extra))
            check(m.get_max_vertex(*args, True, extra))
            calls += 2
    print(calls)
    """
)


def test_extreme_arguments_finish_cleanly():
    result = subprocess.run(
        [sys.executable, "-c", _EXTREME_SCRIPT.replace("EXTREMES", repr(EXTREMES))],
        capture_output=True, text=True, timeout=60, env=os.environ.copy(),
    )
    assert result.returncode == 0, result.stderr[-4000:]
    assert int(result.stdout) > 200_000
