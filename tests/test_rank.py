"""rank_combs_sorted and rank_combs_unsorted against itertools and math.comb."""
import itertools
import math

import numpy as np
import pytest

import _combinatorial as m


def colex_order(n, k):
    return sorted(itertools.combinations(range(n), k), key=lambda c: c[::-1])


def colex_rank(c):
    return sum(math.comb(v, i + 1) for i, v in enumerate(sorted(int(x) for x in c)))


def lex_rank(c, n):
    c = sorted(int(x) for x in c)
    k = len(c)
    return math.comb(n, k) - 1 - sum(math.comb(n - 1 - v, k - i) for i, v in enumerate(c))


@pytest.mark.parametrize("n", range(0, 11))
def test_every_combination_of_small_n_in_both_orders(n):
    for k in range(0, n + 1):
        lex = list(itertools.combinations(range(n), k))
        colex = colex_order(n, k)
        expected = list(range(len(lex)))
        rows_colex = np.array([c[::-1] for c in colex], np.uint16).reshape(len(colex), k)
        rows_lex = np.array(lex, np.uint16).reshape(len(lex), k)
        assert m.rank_combs_sorted(rows_colex, n, True).tolist() == expected
        assert m.rank_combs_sorted(rows_lex, n, False).tolist() == expected
        # Items in any order: reversed, rotated.
        assert m.rank_combs_unsorted([list(c) for c in colex], n, True).tolist() == expected
        assert m.rank_combs_unsorted([list(c)[::-1] for c in lex], n, False).tolist() == expected
        rotated = [list(c[1:] + c[:1]) for c in lex]
        assert m.rank_combs_unsorted(rotated, n, False).tolist() == expected


def test_result_types_and_known_rows():
    pairs = np.array([[1, 0], [2, 0], [2, 1], [3, 0], [3, 1], [3, 2]], np.uint16)
    colex = m.rank_combs_sorted(pairs, 4, True)
    assert colex.dtype == np.int64 and colex.tolist() == [0, 1, 2, 3, 4, 5]
    assert m.rank_combs_sorted(pairs, 4, False).tolist() == [0, 1, 3, 2, 4, 5]  # lex pairs in any order
    unsorted = m.rank_combs_unsorted([[3, 0]], 4, True)
    assert unsorted.dtype == np.uint64 and unsorted.tolist() == [3]
    assert m.rank_combs_unsorted([[3, 0]], 4, False).tolist() == [2]
    assert m.rank_combs_unsorted([[0], [1, 0], [2, 1, 0]], 5, True).tolist() == [0, 0, 0]
    assert m.rank_combs_unsorted([], 3, True).shape == (0,)
    assert m.rank_combs_unsorted([[]], 3, False).tolist() == [0]


def test_shapes():
    assert m.rank_combs_sorted(np.zeros((0, 3), np.uint16), 5, True).shape == (0,)
    # A row of no vertices is the empty combination, rank 0.
    assert m.rank_combs_sorted(np.zeros((4, 0), np.uint16), 5, True).tolist() == [0, 0, 0, 0]
    assert m.rank_combs_sorted(np.zeros((4, 0), np.uint16), 0, False).tolist() == [0, 0, 0, 0]
    with pytest.raises(IndexError, match="invalid axis"):
        m.rank_combs_sorted(np.array([2, 1], np.uint16), 5, True)
    # Three axes: groups of k = shape[1] in row-major order.
    cube = np.array([[[2, 1, 0], [4, 3, 2]]], np.uint16).reshape(1, 3, 2).copy()
    flat = cube.reshape(-1)
    expected = [colex_rank(flat[0:3]), colex_rank(flat[3:6])]
    assert m.rank_combs_sorted(cube, 5, True).tolist() == expected


def test_inputs_of_other_layouts_are_read_correctly():
    rows = np.array([[4, 1, 0], [9, 7, 2], [3, 2, 1]], np.int64)
    expected = [colex_rank(r) for r in rows]
    assert m.rank_combs_sorted(rows, 10, True).tolist() == expected
    assert m.rank_combs_sorted(np.asfortranarray(rows.astype(np.uint16)), 10, True).tolist() == expected
    wide = np.zeros((3, 6), np.uint16)
    wide[:, ::2] = rows
    assert m.rank_combs_sorted(wide[:, ::2], 10, True).tolist() == expected


@pytest.mark.parametrize("n, k, colex", [(65535, 2, True), (65536, 2, True), (65535, 2, False),
                                         (65536, 2, False), (2000, 3, True), (2000, 3, False),
                                         (90, 8, True), (90, 8, False), (65536, 65534, True),
                                         (65536, 65534, False), (30, 1, True), (30, 1, False)])
def test_round_trip_with_unranking(n, k, colex):
    count = math.comb(n, k)
    rng = np.random.default_rng(n * 100 + k)
    ranks = np.unique(np.concatenate([
        rng.integers(0, count, 3000 if k < 100 else 20, dtype=np.uint64),
        np.array([0, count - 1], np.uint64)]))
    out = np.zeros((len(ranks), k), np.uint16)
    m.unrank_combs(ranks, n, k, colex, out)
    assert m.rank_combs_sorted(out, n, colex).tolist() == ranks.astype(np.int64).tolist()
    shuffled = [list(rng.permutation(row)) for row in out[:50]]
    assert m.rank_combs_unsorted(shuffled, n, colex).tolist() == ranks[:50].tolist()


@pytest.mark.parametrize("k", [2, 3])
def test_lex_ranks_match_math_comb_for_large_n(k):
    # n far above the vertices: pairs leave the 32-bit closed form, triples
    # the table.
    rng = np.random.default_rng(3)
    n = 3_000_000  # C(n, 3) is just below 2^63
    rows = np.sort(rng.choice(65536, size=(200, k), replace=True), axis=1).astype(np.uint16)
    rows = rows[(np.diff(rows.astype(np.int64), axis=1) > 0).all(axis=1)]
    assert m.rank_combs_sorted(rows, n, False).tolist() == [lex_rank(r, n) for r in rows]
    assert m.rank_combs_unsorted([list(r) for r in rows], n, False).tolist() == [lex_rank(r, n) for r in rows]


MALFORMED = [
    # rows, n, colex, message
    ([[0, 1]], 4, True, "row 0 .* not strictly decreasing"),
    ([[3, 1], [5, 1]], 4, True, "row 1 .* vertex 5, which is not below n = 4"),
    ([[2, 1, 0], [2, 2, 0]], 5, True, "row 1 .* not strictly decreasing"),
    ([[0, 1, 2], [2, 1, 3]], 5, False, "row 1 .* not strictly increasing"),
    ([[1, 1]], 4, False, "row 0 .* repeats vertex 1"),
    ([[0, 4]], 4, False, "row 0 .* vertex 4"),
    ([[7]], 5, True, "row 0 .* vertex 7"),
    ([[2, 1, 0]], 2, True, "row 0 .* vertex 2"),
    ([[0, 1, 2]], 0, False, "row 0 .* vertex 0"),
]


@pytest.mark.parametrize("rows, n, colex, message", MALFORMED)
def test_malformed_rows_are_refused_and_named(rows, n, colex, message):
    combs = np.array(rows, np.uint16)
    before = combs.copy()
    with pytest.raises(ValueError, match=message):
        m.rank_combs_sorted(combs, n, colex)
    assert (combs == before).all()


@pytest.mark.parametrize("k", range(1, 14))
@pytest.mark.parametrize("colex", [True, False])
def test_a_single_bad_row_is_found_wherever_it_sits(k, colex):
    # Long enough for the vectorised check; the bad row moves across every
    # alignment of rows against eight-lane blocks.
    n = 40
    good = np.arange(k, dtype=np.uint16)[::-1] if colex else np.arange(k, dtype=np.uint16)
    rows = np.tile(good + 3, (67, 1))
    expected = colex_rank(rows[0]) if colex else lex_rank(rows[0], n)
    assert m.rank_combs_sorted(rows, n, colex).tolist() == [expected] * 67
    for index in [0, 1, 2, 5, 31, 32, 33, 64, 65, 66]:
        for column in range(k):
            bad = rows.copy()
            bad[index, column] = 40 if k == 1 else bad[index, (column + 1) % k]
            with pytest.raises(ValueError, match=f"row {index} "):
                m.rank_combs_sorted(bad, n, colex)


def test_refused_bounds():
    with pytest.raises(ValueError, match="below 2\\^63"):
        m.rank_combs_sorted(np.array([[2, 1, 0]], np.uint16), 2**63, True)
    # C(n, k) above 2^63: ranks would not fit int64.
    for n, k in [(2**40, 3), (67, 33), (4_000_000, 3)]:
        with pytest.raises(OverflowError, match=f"C\\({n}, {k}\\)"):
            m.rank_combs_sorted(np.zeros((0, k), np.uint16), n, True)
    assert math.comb(66, 33) < 2**63 < math.comb(67, 33)
    assert m.rank_combs_sorted(np.arange(33, dtype=np.uint16)[::-1].reshape(1, 33).copy(), 66, True).tolist() == [0]


def test_unsorted_refusals():
    with pytest.raises(ValueError, match="item 1 .* repeats vertex 2"):
        m.rank_combs_unsorted([[0, 1], [2, 2]], 5, True)
    with pytest.raises(ValueError, match="item 0 .* vertex 5, which is not below n = 5"):
        m.rank_combs_unsorted([[5, 1]], 5, False)
    with pytest.raises(OverflowError, match="C\\(68, 34\\)"):
        m.rank_combs_unsorted([list(range(34))], 68, True)
    for item in ["ab", [1.5], [-1], [65536], [None]]:
        with pytest.raises(RuntimeError, match="Unable to cast Python instance"):
            m.rank_combs_unsorted([[0], item], 70000, True)
    with pytest.raises(TypeError):
        m.rank_combs_unsorted(((0, 1),), 5, True)
    # n of 2^63 or more is fine where C(n, k) fits: k <= 1.
    assert m.rank_combs_unsorted([[7], []], 2**64 - 1, False).tolist() == [7, 0]


def test_unsorted_takes_any_sequence_and_survives_a_list_that_changes():
    items = [(0, 1), np.array([3, 1], np.uint16), range(2)]
    assert m.rank_combs_unsorted(items, 5, True).tolist() == [0, 4, 0]

    class Shrinking:
        def __init__(self, victim):
            self.victim = victim

        def __len__(self):
            self.victim.clear()
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            return 2

    victim = [[0], [1], [2]]
    victim.insert(1, Shrinking(victim))
    assert m.rank_combs_unsorted(victim, 5, True).tolist() == [0, 2, 1, 2]
