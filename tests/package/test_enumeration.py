"""combinations and iter_combinations against itertools and unrank."""
import itertools
import math

import numpy as np
import pytest

import combinatorial as c


def lex_rows(n, k):
    rows = list(itertools.combinations(range(n), k))
    return np.array(rows, dtype=np.uint16).reshape(len(rows), k)


@pytest.mark.parametrize("n", [0, 1, 2, 5, 9])
def test_every_slice_end_against_itertools_and_unrank(n):
    for k in range(n + 2):
        count = math.comb(n, k)
        full = lex_rows(n, k) if k <= n else np.empty((0, k), np.uint16)
        for start, stop in {(0, None), (0, count), (1, count), (0, max(count - 1, 0)), (count, count),
                            (count // 2, count)}:
            if start > count:
                continue
            end = count if stop is None else stop
            got = c.combinations(n, k, start=start, stop=stop)
            assert got.dtype == np.uint16 and got.shape == (end - start, k)
            assert (got == full[start:end]).all()
            colex = c.combinations(n, k, order="colex", start=start, stop=stop)
            assert colex.shape == got.shape
            if k <= n:
                assert (colex == c.unrank(np.arange(start, end), n, k, order="colex")).all()


def test_large_slices_split_across_threads_match_one_thread():
    for order in ("lex", "colex"):
        start = 123_456
        one = c.combinations(40, 6, order=order, start=start, stop=start + 600_000, workers=1)
        assert (c.combinations(40, 6, order=order, start=start, stop=start + 600_000, workers=2) == one).all()
        assert (c.rank(one, 40, order=order) == np.arange(start, start + 600_000)).all()
    out = np.zeros((5, 3), np.uint16)
    assert c.combinations(30, 3, start=100, stop=105, out=out) is out and (out == lex_rows(30, 3)[100:105]).all()


def test_chunks_concatenate_to_the_whole():
    chunks = c.iter_combinations(12, 5, order="colex", start=7, chunk_rows=100)
    assert len(chunks) == math.ceil((math.comb(12, 5) - 7) / 100) == len(list(chunks))
    whole = np.concatenate(list(chunks))
    assert (whole == c.combinations(12, 5, order="colex", start=7)).all()
    first, second = list(c.iter_combinations(6, 3, chunk_rows=15))
    assert first.shape == (15, 3) and second.shape == (5, 3) and not np.shares_memory(first, second)


@pytest.mark.parametrize("call, error", [
    (lambda: c.combinations(5, 2, start=4, stop=3), "start = 4 is after stop = 3"),
    (lambda: c.combinations(5, 2, stop=11), r"stop = 11 is beyond C\(5, 2\) = 10"),
    (lambda: c.combinations(5, -1), "negative"),
    (lambda: c.combinations(2**32 + 1, 2), str(2**32 + 1)),
    (lambda: c.combinations(5, 2, order="lexicographic"), '"lex" or "colex"'),
    (lambda: c.iter_combinations(5, 2, chunk_rows=0), "at least 1"),
])
def test_refusals(call, error):
    with pytest.raises(ValueError, match=error):
        call()


def test_refusals_of_types_size_and_memory():
    with pytest.raises(TypeError):
        c.combinations(5.0, 2)
    with pytest.raises(OverflowError, match=r"C\(200, 100\)"):
        c.combinations(200, 100)
    with pytest.raises(MemoryError, match="rows of 4 vertices"):
        c.combinations(65536, 4, stop=2**58)
    out = np.full((3, 2), 7, np.uint16)
    with pytest.raises(ValueError, match=r"\(4, 2\) is expected"):
        c.combinations(5, 2, stop=4, out=out)
    assert (out == 7).all()
