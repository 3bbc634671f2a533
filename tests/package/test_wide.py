"""Ranks past 2^64 and vertices past 65,536, against Python integers.

The oracles here use math.comb and Python ints only; uint128 arrays are
packed and read with this file's own helpers, not with the package's.
"""
import itertools
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

try:
    import combinatorial as c
except ModuleNotFoundError as error:  # only a missing package skips, not a broken one
    if error.name != "combinatorial":
        raise
    pytest.skip("the package combinatorial is not installed", allow_module_level=True)

U128 = np.dtype([("hi", "<u8"), ("lo", "<u8")])
WORD = 2**64 - 1
ORDERS = ("lex", "colex")


def lex_rank(row, n):
    """Rows of k vertices before this one in lex order: C(n, k) - 1 - the rows after it."""
    s, k = sorted(row), len(row)
    return math.comb(n, k) - 1 - sum(math.comb(n - 1 - s[i - 1], k - i + 1) for i in range(1, k + 1))


def colex_rank(row):
    return sum(math.comb(v, i + 1) for i, v in enumerate(sorted(row)))


def oracle_rank(row, n, order):
    return lex_rank(row, n) if order == "lex" else colex_rank(row)


def pack(values, shape=None):
    values = [int(v) for v in values]
    array = np.empty(len(values), U128)
    array["hi"], array["lo"] = [v >> 64 for v in values], [v & WORD for v in values]
    return array.reshape(shape if shape is not None else len(values))


def ints(array):
    """The values of an array the package returned, as Python ints in C order."""
    array = np.asarray(array)
    if array.dtype == U128:
        return [int(h) << 64 | int(l) for h, l in zip(array["hi"].ravel().tolist(), array["lo"].ravel().tolist())]
    return [int(v) for v in array.ravel().tolist()]


def rule(count):
    """The dtype of ranks below `count`, or None where they do not fit 128 bits."""
    for dtype, limit in ((np.dtype(np.int64), 2**63), (np.dtype(np.uint64), 2**64), (U128, 2**128)):
        if count <= limit:
            return dtype
    return None


def largest_n(k, limit):
    """The largest n <= 2^32 with C(n, k) <= limit, by bisection on math.comb."""
    low, high = k, 2**32
    while low < high:
        middle = (low + high + 1) // 2
        low, high = (middle, high) if math.comb(middle, k) <= limit else (low, middle - 1)
    return low


# (n, k) on both sides of each width: C(n, k) <= 2^63, 2^64, 2^128 and just above; and (n, n - k),
# subsets of more than half the vertices, where n is small enough for rows of n - k vertices.
CROSSINGS = sorted({(n + step, k) for limit in (2**63, 2**64, 2**128) for k in (3, 5, 10, 33)
                    for n in [largest_n(k, limit)] if n < 2**32 for step in (0, 1)})
CROSSINGS += [(n, n - k) for n, k in CROSSINGS if n <= 1000 and n - k > k]


def test_oracles_agree_with_itertools():
    for n, k in ((0, 0), (5, 0), (6, 3), (9, 4), (8, 8)):
        lex = list(itertools.combinations(range(n), k))
        assert [lex_rank(row, n) for row in lex] == list(range(len(lex)))
        colex = sorted(lex, key=lambda row: row[::-1])
        assert [colex_rank(row) for row in colex] == list(range(len(colex)))


def test_the_dtype_is_the_one_numpy_sorts_numerically():
    assert c.uint128 == U128 and "uint128" in c.__all__ and "to_int" in c.__all__


@pytest.mark.parametrize("n, k", CROSSINGS)
@pytest.mark.parametrize("order", ORDERS)
def test_ranks_at_every_width_boundary(n, k, order):
    count, dtype = math.comb(n, k), rule(math.comb(n, k))
    first, last = list(range(k)), list(range(n - k, n))
    if dtype is None:
        for call in (lambda: c.rank([first], n, order=order), lambda: c.unrank([0], n, k, order=order),
                     lambda: c.combinations(n, k, stop=1)):
            with pytest.raises(OverflowError, match=rf"\b{n}\b.*\b{k}\b"):
                call()
        with pytest.raises(OverflowError, match=rf"\b{n}\b"):
            c.faces([0], n, k + 1)
        assert c.sample(n, k, 3, rng=1).shape == (3, k)  # rows drawn as rows, whatever C(n, k) is
        return
    ranks = c.rank([first, last, last[::-1]], n, order=order)
    assert ranks.dtype == dtype and ints(ranks) == [0, count - 1, count - 1]
    vertices = np.uint16 if n <= 65536 else np.uint32
    rows = c.unrank(pack([0, count - 1, count // 3]), n, k, order=order)
    assert rows.dtype == vertices and rows[:2].tolist() == [first, last]
    assert oracle_rank(rows[2].tolist(), n, order) == count // 3
    assert (c.unrank([count - 1, 0], n, k, order=order) == rows[1::-1]).all()  # from Python ints
    for start in (0, count // 2, count - 2):  # slices at the start, the middle and the end
        rows = c.combinations(n, k, order=order, start=start, stop=start + 2)
        assert rows.dtype == vertices and [oracle_rank(r, n, order) for r in rows.tolist()] == [start, start + 1]
    # The faces of k-subsets are the (k - 1)-subsets; ranks of k + 1 vertices have these faces.
    up = rule(math.comb(n, k + 1))
    if up is not None:  # the last (k + 1)-subset in either order
        got = c.faces([math.comb(n, k + 1) - 1], n, k + 1, order=order)
        row = list(range(n - k - 1, n))
        assert got.dtype == dtype
        assert ints(got) == [oracle_rank(row[:j] + row[j + 1:], n, order) for j in range(k + 1)]


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("n, k", [(40, 20), (68, 37), (120, 60), (130, 60), (1000, 10), (20000, 6), (10**6, 4), (2**32, 4)])
def test_cofaces_and_faces_against_the_oracle(n, k, order):
    rng = np.random.default_rng(n + k)
    rows = [sorted(int(v) for v in rng.choice(min(n, 2**20), k, replace=False)) for _ in range(3)]
    rows.append(list(range(n - k, n)))
    ranks = [oracle_rank(r, n, order) for r in rows]
    wanted_faces = [[oracle_rank(r[:j] + r[j + 1:], n, order) for j in range(k)] for r in rows]
    got = c.faces(pack(ranks), n, k, order=order)
    assert got.dtype == rule(math.comb(n, k - 1)) and ints(got) == sum(wanted_faces, [])
    assert ints(c.faces(ranks, n, k, order=order, dtype=object)) == sum(wanted_faces, [])
    if n - k <= 200:
        missing = [[v for v in range(n) if v not in r] for r in rows]
        wanted = [oracle_rank(sorted(r + [v]), n, order) for r, m in zip(rows, missing) for v in m]
        cofaces = c.cofaces(ranks, n, k, order=order)
        assert cofaces.dtype == rule(math.comb(n, k + 1)) and ints(cofaces) == wanted


def cases_of_wide_ranks():
    """(n, k) with 2^64 < C(n, k) <= 2^128, and ranks below it."""
    return st.sampled_from([(1000, 10), (130, 65), (200, 30), (20000, 6), (4801281, 3), (2**32, 4), (132496420, 5)]
                           ).flatmap(lambda nk: st.tuples(st.just(nk), st.lists(
                               st.integers(0, math.comb(*nk) - 1), min_size=1, max_size=6)))


@settings(max_examples=150, deadline=None)
@given(cases_of_wide_ranks(), st.sampled_from(ORDERS), st.sampled_from(["uint128", "object", "list"]))
def test_unrank_then_rank_round_trips_past_2_to_64(case, order, form):
    (n, k), ranks = case
    given_ranks = {"uint128": pack(ranks), "object": np.array(ranks, object), "list": ranks}[form]
    rows = c.unrank(given_ranks, n, k, order=order)
    assert rows.dtype == (np.uint16 if n <= 65536 else np.uint32)
    values = rows.astype(np.int64).tolist()
    assert all(r == sorted(set(r)) and r[-1] < n for r in values)
    assert [oracle_rank(r, n, order) for r in values] == ranks
    back = c.rank(rows[:, ::-1], n, order=order)
    assert back.dtype == U128 and ints(back) == ranks
    assert c.to_int(back).tolist() == ranks
    assert c.rank(rows, n, order=order, dtype=object).tolist() == ranks


def test_np_sort_and_unique_of_ranks_follow_numeric_order():
    rng = np.random.default_rng(3)
    n, k = 1000, 10
    # Equal high words with low words on both sides of 2^63, which a signed comparison would misorder.
    his = [0, 1, 7, int(rng.integers(2**13))]
    los = [0, 1, 2**63 - 1, 2**63, 2**64 - 1] + [int(v) for v in rng.integers(0, 2**64, 4, dtype=np.uint64)]
    expected = [h << 64 | lo for h in his for lo in los]
    expected += expected[:9] + [int(v) for v in rng.integers(0, 2**63, 20)]
    rng.shuffle(expected)
    rows = c.unrank(pack(expected), n, k).tolist()
    assert [lex_rank(r, n) for r in rows] == expected
    ranks = c.rank(rows, n)
    assert ranks.dtype == U128 and ints(ranks) == expected
    assert ints(np.sort(ranks)) == sorted(expected)
    assert ints(np.unique(ranks)) == sorted(set(expected))
    assert ints(ranks[np.argsort(ranks, kind="stable")]) == sorted(expected)
    place = np.searchsorted(np.sort(ranks), ranks)
    assert [sorted(expected).index(v) for v in expected] == place.tolist()


def test_vertices_at_65535_65536_and_near_2_to_32():
    for n, dtype in ((65535, np.uint16), (65536, np.uint16), (65537, np.uint32), (2**32, np.uint32)):
        k = 3
        last = [n - 3, n - 2, n - 1]
        count = math.comb(n, k)
        rows = c.unrank([0, count - 1], n, k)
        assert rows.dtype == dtype and rows.tolist() == [[0, 1, 2], last]
        assert c.combinations(n, k, start=count - 1).tolist() == [last]
        assert c.combinations(n, k, stop=1).dtype == dtype
        for order in ORDERS:
            assert ints(c.rank(np.array([last[::-1]], np.uint64), n, order=order)) == [oracle_rank(last, n, order)]
        chunks = list(c.iter_combinations(n, k, start=count - 3, chunk_rows=2))
        assert [ch.dtype for ch in chunks] == [dtype, dtype] and np.concatenate(chunks)[-1].tolist() == last
        drawn = c.sample(n, k, 50, rng=1)
        assert drawn.dtype == dtype and (np.diff(drawn.astype(np.int64), axis=1) > 0).all() and (drawn < n).all()
        assert c.sample(n, k, 50, rng=1, replace=True).dtype == dtype
        out = np.zeros((2, k), dtype)
        assert c.unrank([0, count - 1], n, k, out=out) is out and out.tolist() == [[0, 1, 2], last]
    # A vertex equal to n is refused, wherever n is.
    for n in (65535, 65536, 2**32):
        with pytest.raises(ValueError, match=rf"\b{n}\b"):
            c.rank(np.array([[0, 1, n]], np.uint64), n)


@pytest.mark.parametrize("call", [
    lambda n, out: c.unrank([0], n, 2, out=out),
    lambda n, out: c.combinations(n, 2, stop=1, out=out),
    lambda n, out: c.sample(n, 2, 1, rng=1, out=out),
    lambda n, out: c.rank([[0, 1]], n),
    lambda n, out: c.faces([0], n, 2),
    lambda n, out: c.cofaces([0], n, 2),
    lambda n, out: c.iter_combinations(n, 2),
])
def test_n_beyond_2_to_32_is_refused_naming_it(call):
    for n in (2**32 + 1, 2**40, 2**64):
        out = np.full((1, 2), 7, np.uint32)
        with pytest.raises(ValueError, match=str(n)):
            call(n, out)
        assert (out == 7).all()


@pytest.mark.parametrize("n, k, out_dtype", [(10, 2, np.uint32), (70000, 2, np.uint16), (70000, 2, np.int32)])
def test_out_of_another_vertex_dtype_is_refused(n, k, out_dtype):
    for call in (lambda out: c.unrank([0, 1], n, k, out=out), lambda out: c.combinations(n, k, stop=2, out=out),
                 lambda out: c.sample(n, k, 2, rng=1, out=out)):
        out = np.full((2, k), 7, out_dtype)
        with pytest.raises(TypeError):
            call(out)
        assert (out == 7).all()


def test_comb_is_exact_for_two_ints_and_picks_its_array_dtype_by_value():
    for n, k in ((68, 34), (2**64, 1), (2**64, 2), (10**4, 5000), (2**200, 3), (2**64, 2000)):  # to 109,000 bits
        value = c.comb(n, k)
        assert type(value) is int and value == math.comb(n, k)
    for n, k in ((2**64, 20000), (10**30, 2**31), (2**70, 2**64)):  # millions of bits and more: refused at once
        with pytest.raises(OverflowError, match=rf"C\({n}, {k}\)"):
            c.comb(n, k)
    narrow = c.comb([67, 10], [33, 3])
    assert narrow.dtype == np.uint64 and narrow.tolist() == [math.comb(67, 33), 120]
    pairs = [(68, 34), (10, 3), (200, 30), (2**64, 2), (130, 65)]
    wide = c.comb(np.array([p[0] for p in pairs], object), [p[1] for p in pairs])
    assert wide.dtype == U128 and ints(wide) == [math.comb(*p) for p in pairs]
    n = np.arange(60, 140).reshape(-1, 1)
    grid = c.comb(n[:70], [[0, 20, 35]])  # C(129, 35) < 2^128
    assert grid.dtype == U128 and ints(grid) == [math.comb(a, b) for a in range(60, 130) for b in (0, 20, 35)]


@pytest.mark.parametrize("n, k, index", [
    ([5, 2**128], 1, (1,)),  # exactly 2^128
    ([[10, 300], [400, 5]], [[2, 150], [200, 2]], (0, 1)),
    ([100, 140, 134], [[50], [70]], (1, 1)),  # C(140, 50) is just below 2^128
])
def test_comb_of_arrays_past_2_to_128_names_the_first_element(n, k, index):
    with pytest.raises(OverflowError) as caught:
        c.comb(n, k)
    assert caught.value.index == index


def test_dtype_choices_and_too_narrow_dtypes():
    rows = [[0, 1, 2], [7, 8, 9]]
    last_faces = [lex_rank(r, 10) for r in ([8, 9], [7, 9], [7, 8])]
    for dtype in (np.int64, "int64", int, np.uint64, "u8", c.uint128, object):
        got = c.rank(rows, 10, dtype=dtype)
        assert got.dtype == np.dtype(dtype) and ints(got) == [0, 119]
        assert ints(c.faces([119], 10, 3, dtype=dtype)) == last_faces
        assert np.dtype(dtype) == c.cofaces([0], 10, 3, dtype=dtype).dtype
    assert c.rank(rows, 10, dtype=object).tolist() == [0, 119]  # Python ints
    for n, k, narrow in ((67, 33, "int64"), (68, 34, "int64"), (68, 34, "uint64"), (1000, 10, "uint64")):
        with pytest.raises(OverflowError, match=rf"{n}.*{k}.*{narrow}"):
            c.rank([list(range(k))], n, dtype=narrow)
        with pytest.raises(OverflowError, match=narrow):
            c.faces([0], n, k + 1, dtype=narrow)
        with pytest.raises(OverflowError, match=narrow):
            c.cofaces([0], n, k - 1, dtype=narrow)
    for dtype in (object, c.uint128):  # no dtype holds ranks past 2^128
        with pytest.raises(OverflowError, match="200.*100"):
            c.rank([list(range(100))], 200, dtype=dtype)
    for dtype in (np.int32, np.uint16, np.float64, "U3", np.dtype([("hi", ">u8"), ("lo", ">u8")]), "foo", 3):
        for call in (lambda: c.rank(rows, 10, dtype=dtype), lambda: c.faces([0], 10, 3, dtype=dtype),
                     lambda: c.cofaces([0], 10, 3, dtype=dtype)):
            with pytest.raises(TypeError):
                call()


def test_to_int_of_every_form():
    big = [0, 1, 2**63, 2**64 - 1, 2**64, 2**127 + 5, 2**128 - 1]
    got = c.to_int(pack(big, (7,)))
    assert got.dtype == object and got.tolist() == big and all(type(v) is int for v in got.tolist())
    assert c.to_int(pack(big[:6], (2, 3))).tolist() == [big[:3], big[3:6]]
    assert c.to_int(pack(big)[::-2]).tolist() == big[::-2]  # strided
    for dtype in (np.int8, np.uint16, np.int64, np.uint64, ">u4"):
        values = np.arange(6, dtype=dtype).reshape(2, 3)
        assert c.to_int(values).tolist() == [[0, 1, 2], [3, 4, 5]]
    assert c.to_int(np.array(2**100, object)).shape == ()
    assert c.to_int([2**100, 5]).tolist() == [2**100, 5]
    assert c.to_int(7).tolist() == 7


BAD_STRUCTURES = [
    np.dtype([("hi", ">u8"), ("lo", ">u8")]),
    np.dtype([("lo", "<u8"), ("hi", "<u8")]),
    np.dtype([("a", "<u8"), ("b", "<u8")]),
    np.dtype([("hi", "<u4"), ("lo", "<u4")]),
    np.dtype([("hi", "<i8"), ("lo", "<u8")]),
    np.dtype([("hi", "<u8"), ("lo", "<u8"), ("x", "u1")]),
    np.dtype({"names": ["hi", "lo"], "formats": ["<u8", "<u8"], "offsets": [0, 8], "itemsize": 24}),
    np.dtype("V16"),
]


@pytest.mark.parametrize("dtype", BAD_STRUCTURES, ids=str)
def test_arrays_that_are_not_uint128_are_refused_and_nothing_is_written(dtype):
    bad = np.zeros(2, dtype)
    out = np.full((2, 3), 7, np.uint16)
    calls = (lambda: c.unrank(bad, 10, 3, out=out), lambda: c.faces(bad, 10, 3), lambda: c.cofaces(bad, 10, 3),
             lambda: c.to_int(bad), lambda: c.rank(np.zeros((2, 3), dtype), 10), lambda: c.comb(bad, 2))
    for call in calls:
        with pytest.raises(TypeError):
            call()
    assert (out == 7).all()


@pytest.mark.parametrize("ranks, n, k, index, named", [
    (np.array([0, 2**100, 5], object), 1000, 10, (1,), 2**100),
    (np.array([[1, -2**70]], object), 1000, 10, (0, 1), -2**70),
    (np.array([[1, -1]], object), 1000, 10, (0, 1), -1),
    ([5, math.comb(1000, 10)], 1000, 10, (1,), math.comb(1000, 10)),
    (pack([3, 2**127, math.comb(1000, 10)], (3,)), 1000, 10, (1,), 2**127),
    (pack([0, 2**64, 2, 3], (2, 2))[:, ::-1], 5, 2, (0, 0), 2**64),  # read through its strides
    (pack([0, 1, 2, 3], (2, 2))[:, ::-1], 3, 2, (1, 0), 3),
])
def test_ranks_out_of_range_name_value_and_index_and_write_nothing(ranks, n, k, index, named):
    out = np.full(np.shape(ranks) + (k,), 7, np.uint16)
    for call in (lambda: c.unrank(ranks, n, k, out=out), lambda: c.faces(ranks, n, k),
                 lambda: c.cofaces(ranks, n, k)):
        with pytest.raises(ValueError) as caught:
            call()
        assert f"rank {named} at index" in str(caught.value) and caught.value.index == index
    assert (out == 7).all()


def test_object_arrays_of_non_integers_are_refused():
    out = np.full((2, 10), 7, np.uint16)
    for ranks in (np.array([2**70, 2.5], object), np.array([2**70, None], object), np.array([True, 2**70], object)):
        with pytest.raises(TypeError):
            c.unrank(ranks, 1000, 10, out=out)
        assert (out == 7).all()


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("n, k", [(1000, 10), (100, 51)])
def test_slices_with_starts_past_2_to_64(n, k, order):
    count = math.comb(n, k)
    for start in (0, 5, 2**63, 2**64 - 2, 2**70 + 3, count - 4):
        rows = c.combinations(n, k, order=order, start=start, stop=start + 4)
        assert [oracle_rank(r, n, order) for r in rows.tolist()] == list(range(start, start + 4))
        chunks = c.iter_combinations(n, k, order=order, start=start, stop=start + 4, chunk_rows=3)
        assert len(chunks) == 2 and (np.concatenate(list(chunks)) == rows).all()
    assert c.combinations(n, k, start=count, stop=count).shape == (0, k)
    out = np.full((1, k), 7, np.uint16)
    for kwargs, named in (({"start": count + 1}, str(count + 1)), ({"stop": count + 1}, str(count + 1)),
                          ({"start": 2**70 + 1, "stop": 2**70}, str(2**70 + 1))):
        with pytest.raises(ValueError, match=named):
            c.combinations(n, k, order=order, out=out, **kwargs)
        assert (out == 7).all()


def test_samples_of_wide_counts_are_distinct_and_uniform():
    # (1000, 10): ranks past 2^64. The smallest vertex of a uniform 10-subset is v
    # with probability C(999 - v, 9) / C(1000, 10).
    n, k, size = 1000, 10, 40_000
    rows = c.sample(n, k, size, rng=11)
    assert rows.dtype == np.uint16 and len({tuple(r) for r in rows.tolist()}) == size
    assert (np.diff(rows.astype(np.int64), axis=1) > 0).all()
    seen = np.bincount(rows[:, 0], minlength=n)
    expected = np.array([size * math.comb(n - 1 - v, k - 1) / math.comb(n, k) for v in range(n)])
    cells = np.searchsorted(np.cumsum(expected), np.arange(0, size, size / 40))  # about 40 cells of equal mass
    edges = np.unique(np.append(cells, n))
    observed = np.add.reduceat(seen, edges[:-1])
    wanted = np.add.reduceat(expected, edges[:-1])
    chi2 = float(((observed - wanted) ** 2 / wanted).sum())
    assert chi2 < 2 * len(wanted) + 30  # far beyond the 0.9999 quantile for about 40 degrees of freedom
    again = c.sample(n, k, 100, rng=np.random.default_rng(11))
    assert (again == c.sample(n, k, 100, rng=11)).all()
    assert c.sample(10**6, 4, 1000, rng=2).dtype == np.uint32  # C(10^6, 4) is past 2^64
