"""Multisets (repetition=True) and k-permutations against itertools, math.comb, math.perm and Python ints.

The rank oracles here share nothing with the package: permutations by their
Lehmer code, multisets through the bijection c_i -> c_i + i onto subsets.
"""
import itertools
import math
from collections import Counter
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import combinatorial as c

ORDERS = ("lex", "colex")
U128 = np.dtype([("hi", "<u8"), ("lo", "<u8")])


def multisets(n, k, order="lex"):
    rows = list(itertools.combinations_with_replacement(range(n), k))
    return sorted(rows, key=lambda r: r[::-1]) if order == "colex" else rows


def multiset_count(n, k):
    return math.comb(n + k - 1, k) if n else int(k == 0)


def lehmer_rank(row, n):
    """Position in itertools.permutations(range(n), k): digit i counts the unused values below row[i]."""
    k = len(row)
    return sum((v - sum(u < v for u in row[:i])) * math.perm(n - i - 1, k - i - 1) for i, v in enumerate(row))


def multiset_rank(row, n, order):
    """The rank of the k-subset {c_i + i} of n + k - 1 vertices."""
    k = len(row)
    if k == 0:
        return 0
    s, m = [v + i for i, v in enumerate(sorted(row))], n + k - 1
    if order == "colex":
        return sum(math.comb(v, i + 1) for i, v in enumerate(s))
    return math.comb(m, k) - 1 - sum(math.comb(m - 1 - v, k - i) for i, v in enumerate(s))


def as_rows(rows, k):
    return np.array(rows, dtype=np.uint16).reshape(len(rows), k)


def ints(array):
    array = np.asarray(array)
    if array.dtype == U128:
        return [int(h) << 64 | int(lo) for h, lo in zip(array["hi"].ravel().tolist(), array["lo"].ravel().tolist())]
    return [int(v) for v in array.ravel().tolist()]


def rule(count):
    for dtype, limit in ((np.dtype(np.int64), 2**63), (np.dtype(np.uint64), 2**64), (U128, 2**128)):
        if count <= limit:
            return dtype
    return None


def test_oracles_agree_with_itertools():
    for n in range(6):
        for k in range(n + 2):
            rows = list(itertools.permutations(range(n), k))
            assert [lehmer_rank(r, n) for r in rows] == list(range(len(rows)))
            for order in ORDERS:
                rows = multisets(n, k, order)
                assert [multiset_rank(r, n, order) for r in rows] == list(range(len(rows)))


def test_new_functions_are_public():
    new = {"perm", "permutations", "iter_permutations", "rank_permutations", "unrank_permutations",
           "sample_permutations"}
    assert new <= set(c.__all__)


@pytest.mark.parametrize("n", range(7))
@pytest.mark.parametrize("order", ORDERS)
def test_small_multisets_against_itertools(n, order):
    for k in range(n + 3):
        whole = as_rows(multisets(n, k, order), k)
        count = len(whole)
        assert c.comb(n, k, repetition=True) == count
        got = c.combinations(n, k, order=order, repetition=True)
        assert got.dtype == np.uint16 and got.shape == whole.shape and (got == whole).all()
        assert c.rank(whole[:, ::-1], n, order=order, repetition=True).tolist() == list(range(count))
        assert (c.unrank(np.arange(count), n, k, order=order, repetition=True) == whole).all()
        first, last = count // 3, count - count // 4
        assert (c.combinations(n, k, order=order, repetition=True, start=first, stop=last) == whole[first:last]).all()
        chunks = c.iter_combinations(n, k, order=order, repetition=True, start=first, chunk_rows=4)
        assert len(chunks) == -(-(count - first) // 4) and "repetition=True" in repr(chunks)
        if len(chunks):
            assert (np.concatenate(list(chunks)) == whole[first:]).all()


@pytest.mark.parametrize("n", range(7))
def test_small_permutations_against_itertools(n):
    assert c.perm(n) == math.perm(n) and (c.permutations(n) == as_rows(list(itertools.permutations(range(n))), n)).all()
    for k in range(n + 2):
        whole = as_rows(list(itertools.permutations(range(n), k)), k)
        count = len(whole)
        assert c.perm(n, k) == count
        got = c.permutations(n, k)
        assert got.dtype == np.uint16 and got.shape == whole.shape and (got == whole).all()
        ranks = c.rank_permutations(whole, n)
        assert ranks.dtype == np.int64 and ranks.tolist() == list(range(count))
        if k <= n:
            assert (c.unrank_permutations(np.arange(count), n, k) == whole).all()
        first, last = count // 3, count - count // 4
        assert (c.permutations(n, k, start=first, stop=last) == whole[first:last]).all()
        chunks = c.iter_permutations(n, k, start=first, chunk_rows=5)
        assert len(chunks) == -(-(count - first) // 5) and f"iter_permutations({n}, {k}" in repr(chunks)
        if len(chunks):
            assert (np.concatenate(list(chunks)) == whole[first:]).all()


def test_perm_and_comb_with_repetition_broadcast_like_comb():
    n, k = np.arange(30).reshape(-1, 1), [0, 1, 2, 5, 13, 31]
    got = c.perm(n, k)
    assert got.dtype == np.uint64 and got.tolist() == [[math.perm(a, b) for b in k] for a in range(30)]
    assert c.perm(np.arange(21)).tolist() == [math.factorial(a) for a in range(21)]
    wide = c.perm(np.array([10, 40], np.int8), [3, 15])
    assert wide.dtype == U128 and ints(wide) == [720, math.perm(40, 15)]
    assert type(c.perm(np.int64(6))) is int and c.perm(2**70, 2) == math.perm(2**70, 2)
    multi = c.comb(n, k, repetition=True)
    assert multi.dtype == np.uint64 and multi.tolist() == [[multiset_count(a, b) for b in k] for a in range(30)]
    assert c.comb(2**64, 3, repetition=True) == math.comb(2**64 + 2, 3)
    with pytest.raises(OverflowError, match=r"P\(35, 35\)") as caught:
        c.perm([5, 35], 35)
    assert caught.value.index == (1,)
    for args, error in (((-1, 0), ValueError), ((5, 1.5), TypeError), ((True,), TypeError), (([3, -2], 1), ValueError)):
        with pytest.raises(error):
            c.perm(*args)


def largest_n(count, limit, top):
    """The largest n <= top with count(n) <= limit, by bisection."""
    low, high = 1, top
    while low < high:
        middle = (low + high + 1) // 2
        low, high = (middle, high) if count(middle) <= limit else (low, middle - 1)
    return low


def crossings():
    cases = [("permutations", 20, 20), ("permutations", 21, 21), ("permutations", 34, 34), ("permutations", 35, 35)]
    for limit in (2**63, 2**64, 2**128):
        for k in (2, 3, 10):
            n = largest_n(lambda n: math.perm(n, k), limit, 2**32)
            cases += [("permutations", n + step, k) for step in (0, 1) if n + step <= 2**32]
            n = largest_n(lambda n: math.comb(n + k - 1, k), limit, 2**32 - k + 1)
            cases += [("multisets", n + step, k) for step in (0, 1) if n + step + k - 1 <= 2**32]
    return sorted(set(cases))


# Each family's calls and oracle, behind one interface; multiset rows are ranked reversed (any order is taken).
FAMILIES = {
    "permutations": SimpleNamespace(
        count=math.perm, width=lambda n, k: n, orders=("lex",),
        ends=lambda n, k: [list(range(k)), list(range(n - 1, n - 1 - k, -1))],
        rank=lambda rows, n, order: c.rank_permutations(rows, n),
        unrank=lambda ranks, n, k, order: c.unrank_permutations(ranks, n, k),
        slice=lambda n, k, order, start: c.permutations(n, k, start=start),
        oracle=lambda row, n, order: lehmer_rank(row, n)),
    "multisets": SimpleNamespace(
        count=multiset_count, width=lambda n, k: n + k - 1, orders=ORDERS,
        ends=lambda n, k: [[0] * k, [n - 1] * k],
        rank=lambda rows, n, order: c.rank(np.asarray(rows)[:, ::-1], n, order=order, repetition=True),
        unrank=lambda ranks, n, k, order: c.unrank(ranks, n, k, order=order, repetition=True),
        slice=lambda n, k, order, start: c.combinations(n, k, order=order, repetition=True, start=start),
        oracle=multiset_rank),
}


def vertex_dtype(width):
    return np.dtype(np.uint16 if width <= 65536 else np.uint32)


@pytest.mark.parametrize("family, n, k", crossings())
def test_ranks_and_vertices_at_every_width_boundary(family, n, k):
    f = FAMILIES[family]
    count = f.count(n, k)
    for order in f.orders:
        if rule(count) is None:
            for call in (lambda: f.rank(f.ends(n, k), n, order), lambda: f.unrank([0], n, k, order)):
                with pytest.raises(OverflowError, match=rf"\b{n}\b"):
                    call()
            continue
        ranks = f.rank(f.ends(n, k), n, order)
        assert ranks.dtype == rule(count) and ints(ranks) == [0, count - 1]
        rows = f.unrank(np.array([count - 1, count // 3, 0], object), n, k, order)
        assert rows.dtype == vertex_dtype(f.width(n, k))
        assert [f.oracle(r, n, order) for r in rows.tolist()] == [count - 1, count // 3, 0]
        tail = f.slice(n, k, order, count - 2)
        assert [f.oracle(r, n, order) for r in tail.tolist()] == [count - 2, count - 1]
        assert ints(f.rank(tail, n, order)) == [count - 2, count - 1]


WIDE = [("permutations", 40, 15), ("permutations", 2**32, 3), ("permutations", 70000, 6), ("permutations", 30, 30),
        ("multisets", 1000, 10), ("multisets", 65536, 7), ("multisets", 2**32 - 2, 3)]


@settings(max_examples=80, deadline=None)
@given(st.sampled_from(WIDE).flatmap(lambda case: st.tuples(st.just(case), st.sampled_from(FAMILIES[case[0]].orders),
       st.lists(st.integers(0, FAMILIES[case[0]].count(*case[1:]) - 1), min_size=1, max_size=5))))
def test_wide_ranks_round_trip_against_python_ints(case):
    (family, n, k), order, ranks = case
    f = FAMILIES[family]
    rows = f.unrank(ranks, n, k, order)
    values = rows.astype(np.int64).tolist()
    well_formed = (lambda r: len(set(r)) == k) if family == "permutations" else (lambda r: r == sorted(r))
    assert rows.dtype == vertex_dtype(f.width(n, k)) and all(max(r) < n and well_formed(r) for r in values)
    assert [f.oracle(r, n, order) for r in values] == ranks
    back = f.rank(rows, n, order)
    assert back.dtype == U128 and ints(back) == ranks
    if family == "permutations":
        assert c.rank_permutations(rows, n, dtype=object).tolist() == ranks


def test_multiset_vertex_dtype_follows_n_plus_k_minus_1():
    for n, k, dtype in ((65535, 2, np.uint16), (65536, 1, np.uint16), (65536, 2, np.uint32), (65537, 1, np.uint32)):
        assert c.combinations(n, k, repetition=True, stop=2).dtype == dtype
        assert c.unrank([0], n, k, repetition=True).dtype == dtype
        assert c.sample(n, k, 3, rng=1, repetition=True).dtype == dtype
        assert c.unrank_permutations([0], n, k).dtype == (np.uint16 if n <= 65536 else np.uint32)


def test_multiset_rows_in_any_order_and_assume_sorted():
    rows = as_rows(multisets(7, 4), 4)
    shuffled = np.random.default_rng(5).permuted(rows, axis=1)
    for order in ORDERS:
        expected = [multiset_rank(r, 7, order) for r in rows.tolist()]
        assert c.rank(shuffled, 7, order=order, repetition=True).tolist() == expected
        assert c.rank(rows, 7, order=order, repetition=True, assume_sorted=True).tolist() == expected
        reversed_fortran = np.asfortranarray(rows[:, ::-1].astype(np.int8))  # read through its strides
        assert c.rank(reversed_fortran, 7, order=order, repetition=True).tolist() == expected


REFUSALS = [  # (call given a (2, 2) uint16 out, error, message, index)
    (lambda out: c.rank_permutations([[0, 1], [2, 2]], 3), ValueError, r"row 1 .*\[2, 2\].*repeats vertex 2", (1,)),
    (lambda out: c.rank_permutations([[0, 1], [1, 3]], 3), ValueError, r"row 1 .*vertex 3, which is not below", (1,)),
    (lambda out: c.rank([[[0, 0], [0, 3]]], 3, repetition=True), ValueError, r"row \(0, 1\) .*vertex 3", (0, 1)),
    (lambda out: c.rank([[0, 0], [1, 0]], 3, repetition=True, assume_sorted=True), ValueError,
     r"row 1 .*\[1, 0\].*non-decreasing", (1,)),
    (lambda out: c.unrank_permutations([0, 6], 3, 2, out=out), ValueError, r"rank 6 at index 1 is not below P\(3, 2\)",
     (1,)),
    (lambda out: c.unrank([[0], [10]], 4, 2, repetition=True, out=out.reshape(2, 1, 2)), ValueError,
     r"rank 10 at index \(1, 0\)", (1, 0)),
]


@pytest.mark.parametrize("call, error, message, index", REFUSALS)
def test_bad_rows_and_ranks_name_value_and_index_and_write_nothing(call, error, message, index):
    out = np.full((2, 2), 7, np.uint16)
    with pytest.raises(error, match=message) as caught:
        call(out)
    assert caught.value.index == index and (out == 7).all()


@pytest.mark.parametrize("call, shape, dtype, error, message", [
    (lambda out: c.combinations(3, 2, repetition=True, order="lexicographic", out=out), (6, 2), np.uint16, ValueError,
     '"lex" or "colex"'),
    (lambda out: c.unrank([0], 3, 2, repetition=True, order="revlex", out=out), (1, 2), np.uint16, ValueError,
     '"lex" or "colex"'),
    (lambda out: c.permutations(3, 2, out=out), (5, 2), np.uint16, ValueError, r"\(6, 2\)"),
    (lambda out: c.permutations(3, 2, out=out), (6, 2), np.uint32, TypeError, "out"),
    (lambda out: c.permutations(3, 2, stop=7, out=out), (7, 2), np.uint16, ValueError, "stop = 7"),
    (lambda out: c.unrank_permutations([0], 3, 4, out=out), (1, 4), np.uint16, ValueError, "k = 4"),
    (lambda out: c.unrank_permutations([0], 3, 2, out=out), (1, 2), np.int16, TypeError, "out"),
    (lambda out: c.combinations(65536, 2, repetition=True, stop=2, out=out), (2, 2), np.uint16, TypeError, "out"),
    (lambda out: c.combinations(2**32, 2, repetition=True, stop=1, out=out), (1, 2), np.uint32, ValueError,
     str(2**32 + 1)),
    (lambda out: c.sample(4, 2, 11, repetition=True, out=out), (11, 2), np.uint16, ValueError,
     r"more than the C\(4 \+ 2 - 1, 2\) = 10"),
    (lambda out: c.sample_permutations(4, 2, 13, out=out), (13, 2), np.uint16, ValueError,
     r"more than the P\(4, 2\) = 12"),
    (lambda out: c.sample_permutations(3, 4, 1, out=out), (1, 4), np.uint16, ValueError, "k = 4"),
    (lambda out: c.sample_permutations(5, 2, 3, out=out), (4, 2), np.uint16, ValueError, "out"),
    (lambda out: c.sample(5, 2, 3, repetition=True, out=out), (3, 2), np.uint32, TypeError, "out"),
])
def test_refusals_leave_out_untouched(call, shape, dtype, error, message):
    out = np.full(shape, 7, dtype)
    with pytest.raises(error, match=message):
        call(out)
    assert (out == 7).all()


def test_a_failed_sample_leaves_the_generator_as_it_was():
    rng = np.random.default_rng(1)
    state = rng.bit_generator.state
    for call in (lambda: c.sample_permutations(5, 2, 3, rng=rng, out=np.zeros((4, 2), np.uint16)),
                 lambda: c.sample(5, 2, 16, rng=rng, repetition=True)):
        with pytest.raises(ValueError):
            call()
    assert rng.bit_generator.state == state


def test_results_do_not_depend_on_workers():
    start, stop = 10**5, 10**5 + 400_000
    rows = c.permutations(12, 6, start=start, stop=stop, workers=1)
    assert (c.rank_permutations(rows, 12, workers=4) == np.arange(start, stop)).all()
    multi = c.combinations(40, 6, repetition=True, order="colex", stop=400_000, workers=1)
    assert (c.rank(multi, 40, order="colex", repetition=True, workers=4) == np.arange(400_000)).all()
    calls = [
        lambda w: c.permutations(12, 6, start=start, stop=stop, workers=w),
        lambda w: c.combinations(40, 6, repetition=True, order="colex", stop=400_000, workers=w),
        lambda w: c.unrank_permutations(np.arange(start, stop), 12, 6, workers=w),
        lambda w: c.unrank(np.arange(400_000), 40, 6, repetition=True, workers=w),
        lambda w: c.sample_permutations(100, 5, 300_000, rng=3, workers=w),
        lambda w: c.sample(30, 6, 300_000, rng=3, repetition=True, workers=w),
        lambda w: c.perm(np.arange(300_000) % 300, np.arange(300_000) % 9, workers=w),
    ]
    for call in calls:
        assert (call(1) == call(4)).all()


def chi2_test(seen, law):
    """As in test_dask: cells pooled until each expects 5; Wilson and Hilferty's limit, p about 1e-4."""
    stat, dof, expected, observed = 0.0, -1, 0.0, 0
    for x in sorted(law):
        expected, observed = expected + law[x], observed + seen.get(x, 0)
        if expected >= 5:
            stat, dof, expected, observed = stat + (observed - expected) ** 2 / expected, dof + 1, 0.0, 0
    limit = dof * (1 - 2 / (9 * dof) + 3.72 * math.sqrt(2 / (9 * dof))) ** 3 if dof > 0 else 0.0
    return set(seen) <= set(law) and stat <= limit + 1e-9


@pytest.mark.parametrize("draw, everything", [
    (lambda size, **kw: c.sample(4, 2, size, repetition=True, **kw), multisets(4, 2)),
    (lambda size, **kw: c.sample_permutations(4, 2, size, **kw), list(itertools.permutations(range(4), 2))),
])
def test_samplers_are_uniform_with_and_without_replacement(draw, everything):
    count, rng = len(everything), np.random.default_rng(2024)
    uniform = {row: 6000 / count for row in everything}
    assert chi2_test(Counter(map(tuple, draw(6000, rng=rng, replace=True).tolist())), uniform)
    firsts = Counter(tuple(draw(3, rng=rng)[0].tolist()) for _ in range(6000))  # any prefix of a sample is uniform
    assert chi2_test(firsts, uniform)
    assert sorted(map(tuple, draw(count, rng=rng).tolist())) == sorted(everything)
    assert (draw(5, rng=9) == draw(5, rng=np.random.default_rng(9))).all()


def test_samples_past_2_to_128_are_valid_and_distinct():
    assert math.perm(50, 30) > 2**128 and multiset_count(1000, 20) > 2**128
    perms = c.sample_permutations(50, 30, 2000, rng=4)
    assert all(len(set(r)) == 30 and max(r) < 50 for r in perms.tolist()) and len(np.unique(perms, axis=0)) == 2000
    bags = c.sample(1000, 20, 2000, rng=4, repetition=True)
    assert (np.diff(bags.astype(np.int64), axis=1) >= 0).all() and (bags < 1000).all()
    assert len(np.unique(bags, axis=0)) == 2000 and (c.sample(1000, 20, 2000, rng=4, repetition=True) == bags).all()
    # Rows with a repeated vertex: a binomial count, p = 1 - C(1000, 20) / C(1019, 20).
    p = 1 - math.comb(1000, 20) / multiset_count(1000, 20)
    repeats = int((np.diff(bags.astype(np.int64), axis=1) == 0).any(axis=1).sum())
    assert abs(repeats - 2000 * p) < 5 * math.sqrt(2000 * p * (1 - p))


def test_dask_with_repetition_matches_memory():
    da = pytest.importorskip("dask.array")
    dask = pytest.importorskip("dask")
    import combinatorial.dask as cd
    with dask.config.set(scheduler="synchronous"):
        for order in ORDERS:
            whole = c.combinations(6, 3, order=order, repetition=True)
            rows = cd.combinations(6, 3, order=order, repetition=True, chunks=7)
            assert rows.dtype == whole.dtype and (rows.compute() == whole).all()
            ranks = cd.rank(rows[:, ::-1], 6, order=order, repetition=True)
            assert (ranks.compute() == np.arange(56)).all()
            back = cd.unrank(da.arange(56, chunks=9), 6, 3, order=order, repetition=True)
            assert (back.compute() == whole).all()
        counts = cd.comb(da.arange(8, chunks=3), 3, repetition=True).compute()
        assert (counts == c.comb(np.arange(8), 3, repetition=True)).all()
        assert cd.combinations(65536, 2, repetition=True, stop=3).dtype == np.uint32
        for replace in (False, True):
            drawn = cd.sample(6, 3, 40, rng=5, replace=replace, repetition=True, chunks=9).compute()
            assert drawn.dtype == np.uint16 and (np.diff(drawn.astype(int), axis=1) >= 0).all() and (drawn < 6).all()
            assert replace or len({tuple(r) for r in drawn.tolist()}) == 40
            assert (cd.sample(6, 3, 40, rng=5, replace=replace, repetition=True, chunks=9).compute() == drawn).all()
        full = cd.sample(6, 3, 56, rng=1, repetition=True, chunks=10).compute()
        assert sorted(map(tuple, full.tolist())) == multisets(6, 3)
        with pytest.raises(ValueError, match=r"rank 56 at index 1") as caught:
            cd.unrank(da.from_array(np.array([0, 56, 3]), chunks=1), 6, 3, repetition=True).compute()
        assert caught.value.index == (1,)
