"""combinatorial.dask on a local cluster of two worker processes, against math.comb, itertools and the in-memory functions."""
import itertools
import math
import os
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

if os.environ.get("COMBINATORIAL_SANITIZED"):
    # The cluster's worker processes die under the preloaded sanitizer
    # runtime; the kernels they call are covered by the rest of that run.
    pytest.skip("no LocalCluster in the sanitized run", allow_module_level=True)

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
try:
    import combinatorial as c
    import combinatorial.dask as cd
except ModuleNotFoundError as error:  # only a missing package skips, not a broken one
    if error.name != "combinatorial":
        raise
    pytest.skip("the package combinatorial is not installed", allow_module_level=True)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


def chi2_test(seen, law):
    """True unless the counts `seen` stray from the expected counts `law` with probability below about 1e-4.

    Cells are pooled in order until each expects at least 5; the limit is
    Wilson and Hilferty's for the chi-square quantile.
    """
    stat, dof, expected, observed = 0.0, -1, 0.0, 0
    for x in sorted(law):
        expected, observed = expected + law[x], observed + seen.get(x, 0)
        if expected >= 5:
            stat, dof, expected, observed = stat + (observed - expected) ** 2 / expected, dof + 1, 0.0, 0
    limit = dof * (1 - 2 / (9 * dof) + 3.72 * math.sqrt(2 / (9 * dof))) ** 3 if dof > 0 else 0.0
    return set(seen) <= set(law) and stat <= limit + 1e-9


def test_without_dask_the_import_names_the_extra():
    code = "import sys; sys.modules['dask'] = None; import combinatorial.dask"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode and "ImportError: combinatorial.dask needs dask" in run.stderr
    assert "combinatorial[dask]" in run.stderr


def test_every_combination_of_40_choose_6_ranks_to_its_position(client):
    rows = cd.combinations(40, 6)
    assert rows.dtype == np.uint16 and rows.chunks[1] == (6,) and max(rows.chunks[0]) == 2**20
    ranks = cd.rank(rows, 40)
    assert ranks.dtype == np.int64 and ranks.chunks == rows.chunks[:1]
    assert (ranks == da.arange(math.comb(40, 6), chunks=ranks.chunks)).all().compute()


def test_a_reduction_over_all_rows_matches_counting(client):
    rows = cd.combinations(40, 6, order="colex", chunks=500_000)
    divisible = ((rows.sum(axis=1, dtype=np.uint32) % 7) == 0).sum().compute()
    # Subsets of {0..39} by size and vertex sum mod 7, one element at a time.
    ways = [[0] * 7 for _ in range(7)]
    ways[0][0] = 1
    for v in range(40):
        for size in range(6, 0, -1):
            for r in range(7):
                ways[size][(r + v) % 7] += ways[size - 1][r]
    assert divisible == ways[6][0]
    assert rows.sum(dtype=np.uint64).compute() == math.comb(39, 5) * sum(range(40))


CALLS = {  # a dask input, and the same call in dask and in memory
    "unrank": (lambda: da.arange(4800, chunks=700).reshape(48, 100).rechunk(25), lambda m, x: m.unrank(x, 20, 4)),
    "faces": (lambda: da.arange(4800, chunks=1100), lambda m, x: m.faces(x, 20, 4, order="colex")),
    "cofaces": (lambda: da.arange(4800, chunks=1100), lambda m, x: m.cofaces(x, 20, 4)),
    "rank": (lambda: cd.unrank(da.arange(6000, chunks=1100).reshape(3, 2000), 40, 3).rechunk((2, 900, 2)),
             lambda m, x: m.rank(x, 40)),
    "comb": (lambda: da.arange(4000, chunks=900).reshape(100, 40) % 50 + 10, lambda m, x: m.comb(x, 34)),
}


@pytest.mark.parametrize("name", CALLS)
def test_an_error_in_one_block_names_its_index_in_the_whole_array(client, name):
    make, call = CALLS[name]
    good = make()
    where = da.arange(good.size).reshape(good.shape) == good.size * 4 // 5 + 7  # past the first block
    bad = da.where(where, 300 if name == "comb" else 5000, good)  # C(300, 34) > 2^128
    assert (call(cd, good).compute() == call(c, good.compute())).all()
    with pytest.raises((ValueError, OverflowError)) as expected:
        call(c, bad.compute())
    with pytest.raises(type(expected.value)) as got:
        call(cd, bad).compute()
    assert str(got.value) == str(expected.value)


def test_chunks_and_dtypes_of_every_result():
    ranks = da.arange(10, chunks=4)
    big = da.from_array(np.array([2**63, 0], np.uint64), chunks=1)
    cases = [
        (cd.combinations(10, 3, chunks=50), ((50, 50, 20), (3,)), np.uint16),
        (cd.combinations(10, 3, start=5, stop=9, chunks=((1, 3), (3,))), ((1, 3), (3,)), np.uint16),
        (cd.unrank(ranks, 10, 3), ((4, 4, 2), (3,)), np.uint16),
        (cd.rank(cd.unrank(ranks, 10, 3).rechunk((4, 1)), 10), ((4, 4, 2),), np.int64),
        (cd.rank(da.zeros((2, 33), dtype=np.uint16, chunks=1), 67), ((1, 1),), np.uint64),
        (cd.faces(ranks, 66, 34), ((4, 4, 2), (34,)), np.int64),  # C(66, 33) < 2^63
        (cd.faces(ranks, 67, 35), ((4, 4, 2), (35,)), np.uint64),
        (cd.cofaces(big, 67, 33), ((1, 1), (34,)), np.uint64),
        (cd.cofaces(ranks, 10, 10), ((4, 4, 2), (0,)), np.int64),
        (cd.comb(da.arange(8, chunks=3).reshape(8, 1), da.arange(5, chunks=2)), ((3, 3, 2), (2, 2, 1)), np.uint64),
        (cd.sample(10, 3, 7, rng=1, replace=True, chunks=3), ((3, 3, 1), (3,)), np.uint16),
        (cd.sample(10, 3, 0, rng=1), ((0,), (3,)), np.uint16),
        (cd.rank(da.zeros((2, 34), dtype=np.uint16, chunks=1), 68), ((1, 1),), c.uint128),
        (cd.rank(da.zeros((2, 3), dtype=np.uint16, chunks=1), 10, dtype=object), ((1, 1),), object),
        (cd.unrank(big, 10**6, 4), ((1, 1), (4,)), np.uint32),
        (cd.faces(ranks, 20000, 6), ((4, 4, 2), (6,)), c.uint128),
        (cd.cofaces(ranks, 30, 3, dtype=c.uint128), ((4, 4, 2), (27,)), c.uint128),
        (cd.combinations(70000, 2, stop=5, chunks=2), ((2, 2, 1), (2,)), np.uint32),
        (cd.combinations(1000, 10, start=2**70, stop=2**70 + 5, chunks=2), ((2, 2, 1), (10,)), np.uint16),
        (cd.sample(70000, 3, 7, rng=1, replace=True, chunks=3), ((3, 3, 1), (3,)), np.uint32),
        (cd.comb(da.arange(8, chunks=3), 2, dtype=c.uint128), ((3, 3, 2),), c.uint128),
    ]
    for array, chunks, dtype in cases:
        assert array.chunks == chunks and array.dtype == dtype and array._meta.dtype == dtype
        assert array._meta.ndim == len(chunks)
    assert (cd.cofaces(big, 67, 33).compute() == c.cofaces(big.compute(), 67, 33)).all()


def test_comb_of_zero_d_blocks_is_an_array():
    n, k = (da.from_array(np.array(v, t), chunks=()) for v, t in ((56, np.uint32), (25, np.int16)))
    result = cd.comb(n, k).compute(scheduler="synchronous")
    assert result.dtype == np.uint64 and result.shape == () and int(result) == math.comb(56, 25)


@pytest.mark.parametrize("call, error, message", [
    (lambda: cd.combinations(10, 3, chunks=(5, 2)), ValueError, "last axis"),
    (lambda: cd.combinations(10, 3, chunks=0), ValueError, "at least 1"),
    (lambda: cd.combinations(66, 33, chunks=2**20), ValueError, "blocks"),
    (lambda: cd.combinations(200, 100), OverflowError, r"C\(200, 100\)"),
    (lambda: cd.combinations(2**32, 3, chunks=2**100), ValueError, "more rows than an array can have"),
    (lambda: cd.rank(da.zeros((2, 100), dtype=np.uint16), 200), OverflowError, r"C\(200, 100\)"),
    (lambda: cd.rank(da.zeros((2, 33), dtype=np.uint16), 67, dtype=np.int64), OverflowError, "int64"),
    (lambda: cd.faces(da.arange(3), 1000, 10, dtype=np.uint64), OverflowError, "uint64"),
    (lambda: cd.cofaces(da.arange(3), 10, 3, dtype=np.int32), TypeError, "int32"),
    (lambda: cd.comb(da.arange(3), 2, dtype=np.float64), TypeError, "float64"),
    (lambda: cd.unrank(da.zeros(3, dtype=[("hi", ">u8"), ("lo", ">u8")]), 10, 3), TypeError, ">u8"),
    (lambda: cd.unrank(da.arange(3), 2**32 + 1, 3), ValueError, str(2**32 + 1)),
    (lambda: cd.rank(da.zeros((2, 3)), 10), TypeError, "float64"),
    (lambda: cd.unrank(da.arange(3), 10, 3, order="lax"), ValueError, "order"),
    (lambda: cd.faces(da.arange(3), 3, 4), ValueError, "larger"),
    (lambda: cd.comb(da.ones(3), 2), TypeError, "float64"),
    (lambda: cd.unrank(da.arange(3), 10, 3, workers=0), ValueError, "workers"),
    (lambda: cd.sample(200, 100, 5), ValueError, "replace=True"),
    (lambda: cd.sample(10, 3, 121), ValueError, "120"),
    (lambda: cd.sample(3, 5, 1, replace=True), ValueError, "larger"),
    (lambda: cd.sample(10, 3, 5, rng=1.5), TypeError, "rng"),
    (lambda: cd.sample(10, 3, 5, rng=True), TypeError, "bool"),
    (lambda: cd.sample(3, 0, 2**64, replace=True, chunks=2**70), ValueError, "size = 18446744073709551616 is more"),
    (lambda: cd.rank(da.zeros((), dtype=[("a", "<u2")]), 5), TypeError, "combs"),  # its dtype before its shape
])
def test_refusals_on_the_client(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_samples_are_reproducible_distinct_and_by_slice(client):
    rows = cd.sample(20, 5, 10_000, rng=12, chunks=1000)  # 15,504 combinations
    again = cd.sample(20, 5, 10_000, rng=np.random.SeedSequence(12), chunks=1000)
    assert rows.chunks == again.chunks and len(rows.chunks[0]) == 10 and sum(rows.chunks[0]) == 10_000
    x = rows.compute()
    assert (x == again.compute()).all() and (x[:, :-1] < x[:, 1:]).all()
    ranks = c.rank(x, 20)
    assert len(set(ranks.tolist())) == 10_000
    ends = np.cumsum(rows.chunks[0])
    for b, block in enumerate(np.split(ranks, ends[:-1])):  # block b draws from the b-th tenth of the ranks
        assert (block >= 15504 * b // 10).all() and (block < 15504 * (b + 1) // 10).all()
    assert not (cd.sample(20, 5, 10_000, rng=13, chunks=1000).compute() == x).all()
    huge = cd.sample(67, 33, 3000, rng=5, chunks=1000).compute()  # C(67, 33) > 2^63
    assert len(set(c.rank(huge, 67).tolist())) == 3000
    repeats = cd.sample(70, 35, 3000, rng=5, replace=True, chunks=1000)
    r = repeats.compute()
    assert (r == cd.sample(70, 35, 3000, rng=5, replace=True, chunks=1000).compute()).all()
    assert not (r[:1000] == r[1000:2000]).all()  # each block has its own stream


def test_sample_without_repeats_is_uniform_over_subsets():
    # The blocks of sample(..., 3 rows, chunks=1) from 10 ranks, their union a uniform 3-subset.
    rng = np.random.default_rng(4)
    seen = {}
    for _ in range(6000):
        bounds = [cd._bound(10, 3, 1, b) for b in range(4)]
        counts = cd._stratum_counts(rng, bounds, 3)
        drawn = [cd._distinct(rng, bounds[b + 1] - bounds[b], counts[b]) + bounds[b] for b in range(3)]
        subset = tuple(sorted(int(r) for part in drawn for r in part))
        seen[subset] = seen.get(subset, 0) + 1
    assert chi2_test(seen, {s: 6000 / 120 for s in itertools.combinations(range(10), 3)})


HYPERGEOMETRIC = [(5, 7, 6), (1, 1, 1), (50, 50, 50), (2000, 3000, 2500), (10, 1000, 30), (1000, 10, 990),
                  (10**15, 3 * 10**15, 400), (2**63, 2**63 - 1, 60), (2**127, 2**127 - 5, 60)]


@pytest.mark.parametrize("good, bad, draws", HYPERGEOMETRIC)
def test_hypergeometric_hat_covers_the_law(good, bad, draws):
    law = cd._Hypergeometric(good, bad, draws)
    f = {x: math.comb(good, x) * math.comb(bad, draws - x) for x in range(law.low, law.high + 1)}
    assert law.mode in f and f[law.mode] == max(f.values())
    for x in range(law.low, law.high + 1, max(1, (law.high - law.low) // 300)):
        height, ratio, steps = law.hat(x)
        assert Fraction(height) * Fraction(ratio) ** steps >= Fraction(f[x], f[law.mode])
        p, q = law.exact_f(x)
        assert Fraction(p, q) == Fraction(f[x], f[law.mode])
        value, slack = law.log_f(x)
        assert abs(value - (math.log(f[x]) - math.log(f[law.mode]))) <= slack


@pytest.mark.parametrize("good, bad, draws", HYPERGEOMETRIC)
@pytest.mark.parametrize("exact", [False, True])
def test_hypergeometric_draws_follow_the_law(good, bad, draws, exact):
    law, rng, trials = cd._Hypergeometric(good, bad, draws), np.random.default_rng(good % 1000 + draws), 3000
    seen = {}
    for _ in range(trials):
        x = law.draw(rng, exact=exact)
        seen[x] = seen.get(x, 0) + 1
    total = math.comb(good + bad, draws)
    assert chi2_test(seen, {x: trials * math.comb(good, x) * math.comb(bad, draws - x) / total
                            for x in range(max(0, draws - bad), min(draws, good) + 1)})


@settings(max_examples=100, deadline=None)
@given(st.integers(0, 2**128), st.integers(0, 2**128), st.data())
def test_hypergeometric_stays_in_its_support(good, bad, data):
    draws = data.draw(st.integers(0, min(good + bad, 2**36)))
    x = cd._Hypergeometric(good, bad, draws).draw(np.random.default_rng(good ^ bad))
    assert max(0, draws - bad) <= x <= min(draws, good)


def test_sample_blocks_from_the_core_and_bounded_graphs():
    rows = cd.sample(60, 6, 400_000, rng=3, chunks=100_000).compute()
    ranks = c.rank(rows, 60)
    assert np.unique(ranks).size == 400_000 and rows.dtype == np.uint16
    with pytest.raises(ValueError, match="blocks"):
        cd.sample(60, 30, 2**40, chunks=2**18)  # 2^22 blocks: refused before any work


def test_unknown_chunks_name_the_index_in_the_block():
    ranks = da.from_array(np.array([0, 1, 99, 3]), chunks=2)
    unknown = ranks[ranks >= 0]  # NaN chunk sizes
    with pytest.raises(ValueError, match=r"rank 99 at index 0 is not below"):
        cd.unrank(unknown, 5, 2).compute(scheduler="synchronous")


@pytest.mark.parametrize("n_chunks, k_chunks", [(1, (2, 3)), ((2, 1), (3, 2)), (-1, 1)])
def test_comb_meets_blocks_of_any_chunking(n_chunks, k_chunks):
    n = np.arange(30, 33).reshape(3, 1) if n_chunks == (2, 1) else np.arange(30, 33)
    k = np.arange(6).reshape(2, 3) if k_chunks != (3, 2) else np.arange(6).reshape(3, 2)
    lazy = cd.comb(da.from_array(n, chunks=n_chunks), da.from_array(k, chunks=k_chunks))
    with dask.config.set(scheduler="synchronous"):
        got = lazy.compute()
    assert lazy.shape == got.shape and got.tolist() == c.comb(n, k).tolist()


@pytest.mark.parametrize("n, k", [(da.arange(4, chunks=2), np.ones((5, 2), int)),
                                  (da.arange(10, chunks=2), da.arange(3, chunks=1))])
def test_comb_refuses_shapes_that_do_not_broadcast(n, k):
    with pytest.raises(ValueError, match=r"cannot be broadcast together: shapes \((4|10),\)"):
        cd.comb(n, k)


def test_array_likes_read_as_in_memory():
    with dask.config.set(scheduler="synchronous"):
        # Python ints beyond 64 bits, which dask cannot chunk by size, and lists NumPy makes floats of.
        assert cd.comb([2**70, 5], 2**70).compute().tolist() == [1, 0]
        assert cd.unrank([2**63, 0], 67, 33).compute().shape == (2, 33)
        assert cd.cofaces(([], []), 10, 3).compute().shape == (2, 0, 7)
        assert cd.rank(np.zeros((1, 0, 1, 2, 34), int), 40).compute().shape == (1, 0, 1, 2)  # dask's sizing fails
        with pytest.raises(ValueError, match=f"rank {2**66} at index 3 "):
            cd.unrank(da.from_array(np.array([0, 1, 2, 2**66], object), chunks=2), 5, 2).compute()


class Index:
    def __index__(self):
        return 2


def test_checked_counts_of_any_integer_type_size_the_chunks():
    with dask.config.set(scheduler="synchronous"):
        assert cd.unrank(da.arange(4, chunks=2), 5, Index()).compute().tolist() == [[0, 1], [0, 2], [0, 3], [0, 4]]
        # More rows per block than 2^63, which dask cannot take, are one block.
        assert cd.combinations(4, 2, chunks=2**100).chunks == ((6,), (2,))
        assert cd.sample(4, 3, 3, rng=1, replace=True, chunks=2**70).chunks == ((3,), (3,))
        assert (cd.sample(9, 3, 5, rng=4, chunks=2**70).compute() == cd.sample(9, 3, 5, rng=4, chunks=5).compute()).all()


def test_a_failed_sample_leaves_the_generator_as_it_was():
    rng = np.random.default_rng(1)
    state = rng.bit_generator.state
    with pytest.raises(ValueError, match="2\\^128"):
        cd.sample(200, 100, 2, rng=rng)
    assert rng.bit_generator.state == state


def test_wide_ranks_and_vertices_block_by_block():
    n, k, start = 1000, 10, 2**70
    with dask.config.set(scheduler="synchronous"):
        rows = cd.combinations(n, k, start=start, stop=start + 7, chunks=3)
        ranks = cd.rank(rows, n)
        got = ranks.compute()
        assert ranks.dtype == got.dtype == c.uint128 and c.to_int(got).tolist() == list(range(start, start + 7))
        blocks = da.from_array(got, chunks=2)
        assert (cd.unrank(blocks, n, k).compute() == rows.compute()).all()
        assert (cd.faces(blocks, n, k).compute() == c.faces(got, n, k)).all()
        assert cd.cofaces(blocks, n, k, dtype=object).compute().tolist() == c.cofaces(got, n, k, dtype=object).tolist()
        bad = got.copy()
        bad[5] = (2**63, 0)  # 2^127, past C(1000, 10)
        with pytest.raises(ValueError, match=f"rank {2**127} at index 5 ") as caught:
            cd.unrank(da.from_array(bad, chunks=2), n, k).compute()
        assert caught.value.index == (5,)
        wide = [0, 5, 2**40, math.comb(10**6, 4) - 1]
        vertices = cd.unrank(da.from_array(np.array(wide, object), chunks=2), 10**6, 4)
        assert vertices.dtype == np.uint32 and (vertices.compute() == c.unrank(wide, 10**6, 4)).all()


def test_comb_dtype_is_fixed_before_the_blocks_run():
    n = np.arange(60, 75)
    k = np.where(n == 70, 35, 2)  # C(70, 35) alone is past 2^64 (and below 2^128)
    lazy = da.from_array(n, chunks=4)
    want = [math.comb(int(a), int(b)) for a, b in zip(n, k)]
    with dask.config.set(scheduler="synchronous"):
        with pytest.raises(OverflowError, match=r"C\(70, 35\) at index 10 .*uint64") as caught:
            cd.comb(lazy, k).compute()  # uint64 unless asked otherwise
        assert caught.value.index == (10,)
        wide = cd.comb(lazy, k, dtype=c.uint128)
        assert wide.dtype == c.uint128 and c.to_int(wide.compute()).tolist() == want
        exact = cd.comb(lazy, k, dtype=object)
        assert exact.dtype == object and exact.compute().tolist() == want
        with pytest.raises(OverflowError) as caught:  # C(64, 2) fits int64; C(70, 35) does not
            cd.comb(lazy, k, dtype=np.int64).compute()
        assert caught.value.index == (10,)
        assert cd.comb(lazy[:10], k[:10], dtype="int64").compute().tolist() == want[:10]
        grid = cd.comb(da.from_array(np.array([[68], [10]]), chunks=1), da.from_array(np.array([34, 3]), chunks=1))
        with pytest.raises(OverflowError, match=r"C\(68, 34\) at index \(0, 0\)"):
            grid.compute()


def test_samples_without_repeats_past_2_to_64():
    for n, k, chunks in ((1000, 10, 1000), (68, 34, 10)):  # strata past 2^64; strata below it, ranks past it
        total = math.comb(n, k)
        rows = cd.sample(n, k, 3000, rng=5, chunks=chunks)
        with dask.config.set(scheduler="synchronous"):
            x = rows.compute()
            assert (x == cd.sample(n, k, 3000, rng=5, chunks=chunks).compute()).all()
        ranks = c.to_int(c.rank(x, n)).tolist()
        assert x.dtype == np.uint16 and len(set(ranks)) == 3000
        first = 0
        for b, size in enumerate(rows.chunks[0]):  # block b draws from the b-th slice of the ranks
            low, high = total * chunks * b // 3000, total * min(chunks * (b + 1), 3000) // 3000
            assert all(low <= r < high for r in ranks[first:first + size])
            first += size


def test_distinct_draws_are_uniform_and_in_random_order():
    rng = np.random.default_rng(8)
    seen = {}
    for _ in range(6000):
        drawn = tuple(c.to_int(cd._distinct(rng, 10, 3)).tolist())
        seen[drawn] = seen.get(drawn, 0) + 1
    assert chi2_test(seen, {t: 6000 / 720 for t in itertools.permutations(range(10), 3)})
    for population in (3 * 2**63, 2**128 - 1, 2**64 + 1):  # strata past 2^64: 128-bit ranks
        values = c.to_int(cd._distinct(rng, population, 30_000)).tolist()
        assert len(set(values)) == 30_000 and all(0 <= v < population for v in values)
        upper = sum(v >= population // 2 for v in values)  # the upper half of the population
        assert abs(upper - 15_000) < 5 * math.sqrt(7500)
