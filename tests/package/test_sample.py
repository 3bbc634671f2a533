"""sample: valid, distinct, reproducible and uniform rows, whatever C(n, k) is."""
import math

import numpy as np
import pytest

import combinatorial as c


@pytest.mark.parametrize("n, k, size", [(6, 3, 20), (1000, 5, 200_000), (100, 20, 100_000), (65536, 1000, 50),
                                        (10, 0, 1), (10, 10, 1), (30, 1, 30)])
def test_rows_are_sorted_valid_distinct_and_reproducible(n, k, size):
    rows = c.sample(n, k, size, rng=7)
    assert rows.shape == (size, k) and rows.dtype == np.uint16
    assert (np.diff(rows.astype(np.int64), axis=1) > 0).all() and (rows < n).all()
    assert len(np.unique(rows, axis=0)) == size
    assert (c.sample(n, k, size, rng=np.random.default_rng(7), workers=1) == rows).all()
    assert not (size > 5 and (c.sample(n, k, size, rng=8) == rows).all())


def test_with_replacement_draws_beyond_the_count():
    rows = c.sample(5, 2, 1000, rng=1, replace=True)
    assert len(np.unique(rows, axis=0)) == 10
    big = c.sample(100, 20, 70_000, rng=2, replace=True)
    assert (c.sample(100, 20, 70_000, rng=2, replace=True, workers=1) == big).all()


def test_prefixes_and_full_draws_are_uniform():
    # Chi-square over the C(6, 3) = 20 subsets, for single draws and for the
    # first row of samples of five; fixed seeds keep it deterministic.
    rng = np.random.default_rng(2024)
    firsts = np.array([c.rank(c.sample(6, 3, 5, rng=rng)[:1], 6)[0] for _ in range(4000)])
    counts = np.bincount(firsts, minlength=20)
    chi2 = ((counts - 200.0) ** 2 / 200.0).sum()
    assert chi2 < 43.8  # the 0.999 quantile of chi-square with 19 degrees of freedom
    everything = c.sample(6, 3, 20, rng=3)
    assert sorted(map(tuple, everything.tolist())) == sorted(map(tuple, c.combinations(6, 3).tolist()))


def test_refusals():
    with pytest.raises(ValueError, match=r"more than the C\(6, 3\) = 20"):
        c.sample(6, 3, 21)
    for args, error in (((5, 6, 1), ValueError), ((-5, 2, 1), ValueError), ((5, 2, -1), ValueError),
                        ((2**32 + 1, 2, 1), ValueError), ((5, 2, 1.5), TypeError)):
        with pytest.raises(error):
            c.sample(*args)
    assert math.comb(100, 20) > 2**64 and c.sample(100, 20, 0).shape == (0, 20)
    for size in (2**63, 2**64, 2**70):  # more rows than any array has, named as passed, in both layers
        with pytest.raises(ValueError, match=f"size = {size} is more rows"):
            c.sample(7, 2, size, replace=True)
    assert c.sample(7, 0, 2**40, replace=True).shape == (2**40, 0)  # rows of nothing cost nothing


def test_rng_and_replace_are_read_alike_by_both_layers():
    dask_array = pytest.importorskip("dask.array")
    import combinatorial.dask as cd
    for sample in (c.sample, lambda *a, **kw: cd.sample(*a, **kw).compute()):
        with pytest.raises(TypeError, match="bool"):
            sample(10, 3, 5, rng=True)
        legacy = sample(10, 3, 5, rng=np.random.RandomState(3))
        assert legacy.shape == (5, 3)
        assert (sample(10, 3, 5, rng=4, replace=1) == sample(10, 3, 5, rng=4, replace=True)).all()
        assert (sample(10, 3, 5, rng=4, replace=[]) == sample(10, 3, 5, rng=4, replace=False)).all()
    assert isinstance(dask_array.Array, type)


def test_small_calls_check_workers_and_huge_chunk_counts_print():
    for workers, error in ((0, ValueError), ("bad", TypeError)):
        with pytest.raises(error):
            c.comb(5, 2, workers=workers)
    chunks = c.iter_combinations(67, 33, chunk_rows=1)
    assert chunks.chunk_count == math.comb(67, 33) and str(math.comb(67, 33)) in repr(chunks)
    with pytest.raises(OverflowError, match="chunk_count"):
        len(chunks)


@pytest.mark.parametrize("n, k, size, replace", [(1000, 5, 5000, False), (100, 20, 300, False), (9, 3, 50, True)])
def test_sample_into_out_is_the_fresh_sample(n, k, size, replace):
    out = np.full((size, k), 7, np.uint16)
    assert c.sample(n, k, size, rng=5, replace=replace, out=out) is out
    assert (out == c.sample(n, k, size, rng=5, replace=replace)).all()


def test_sample_refuses_a_bad_out_and_writes_nothing():
    rng = np.random.default_rng(1)
    state = rng.bit_generator.state
    for out, error in ((np.zeros((4, 3), np.uint16), ValueError), (np.zeros((5, 3), np.int16), TypeError),
                       (np.zeros((3, 5), np.uint16).T, TypeError), ([[0] * 3] * 5, TypeError)):
        before = np.array(out, copy=True)
        with pytest.raises(error, match="out"):
            c.sample(10, 3, 5, rng=rng, out=out)
        assert (np.asarray(out) == before).all()
    assert rng.bit_generator.state == state
