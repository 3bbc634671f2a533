"""faces and cofaces against subsets listed by itertools, in both orders."""
import itertools
import math

import numpy as np
import pytest

import combinatorial as c

LISTS = {
    "lex": lambda n, k: list(itertools.combinations(range(n), k)),
    "colex": lambda n, k: sorted(itertools.combinations(range(n), k), key=lambda t: t[::-1]),
}


@pytest.mark.parametrize("order", ["lex", "colex"])
@pytest.mark.parametrize("n", [0, 1, 2, 5, 7])
def test_every_face_and_coface_of_every_subset(n, order):
    for k in range(n + 1):
        subsets = LISTS[order](n, k)
        position = {size: {s: i for i, s in enumerate(LISTS[order](n, size))} for size in (k - 1, k + 1)
                    if 0 <= size <= n}
        ranks = np.arange(len(subsets), dtype=np.uint64)
        got_faces, got_cofaces = c.faces(ranks, n, k, order=order), c.cofaces(ranks, n, k, order=order)
        assert got_faces.shape == (len(subsets), k) and got_cofaces.shape == (len(subsets), n - k)
        for r, s in enumerate(subsets):
            assert got_faces[r].tolist() == [position[k - 1][s[:j] + s[j + 1:]] for j in range(k)]
            missing = [v for v in range(n) if v not in s]
            assert got_cofaces[r].tolist() == [position[k + 1][tuple(sorted(s + (v,)))] for v in missing]


def test_shapes_dtypes_and_ends_of_the_range():
    zeros = np.zeros((2, 2), np.int64)
    assert c.faces(zeros, 5, 0).shape == (2, 2, 0) and c.cofaces(zeros[:, :1], 5, 5).shape == (2, 1, 0)
    assert c.cofaces(zeros, 5, 0).tolist() == [[[0, 1, 2, 3, 4]] * 2] * 2
    assert c.faces(3, 5, 1).tolist() == [0] and c.faces(3, 5, 1).dtype == np.int64
    # C(68, 38) fits 64 bits, above 2^63, and C(68, 37) does not: uint128.
    last = math.comb(68, 39) - 1
    assert c.faces([0, last], 68, 39).dtype == np.uint64
    assert c.faces([0], 68, 38).dtype == c.uint128 and c.cofaces([0], 68, 32).dtype == c.uint128
    # C(132, 69) and C(132, 63) fit 128 bits, C(132, 68) and C(132, 64) do not.
    with pytest.raises(OverflowError, match=r"C\(132, 68\)"):
        c.faces([0], 132, 69)
    with pytest.raises(OverflowError, match=r"C\(132, 64\)"):
        c.cofaces([0], 132, 63)
    for order in ("lex", "colex"):
        top = math.comb(60, 12) - 1
        got = c.faces([0, top], 60, 12, order=order)
        rows = c.unrank([0, top], 60, 12, order=order)
        want = [[c.rank(np.delete(row, j), 60, order=order) for j in range(12)] for row in rows]
        assert got.tolist() == want


@pytest.mark.parametrize("call", [c.faces, c.cofaces])
def test_refusals(call):
    with pytest.raises(ValueError, match=r"rank 10 at index \(1, 0\) is not below C\(5, 2\) = 10"):
        call([[0], [10]], 5, 2)
    with pytest.raises(ValueError, match="rank -1 at index 0 is negative"):
        call([-1], 5, 2)
    for n, k, error in ((5, 6, ValueError), (2**32 + 1, 2, ValueError), (5, -1, ValueError), (5, 2.0, TypeError)):
        with pytest.raises(error):
            call([0], n, k)
    with pytest.raises(ValueError, match="lex"):
        call([0], 5, 2, order="revlex")


def test_cofaces_refuse_a_result_beyond_memory_before_allocating():
    with pytest.raises(MemoryError, match="bytes"):
        c.cofaces(np.zeros(10**6, np.uint64), 65536, 3)
