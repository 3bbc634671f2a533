"""The package combinatorial as installed, against itertools, math.comb and Python ints."""
import itertools
import math
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

try:
    import combinatorial as c
    from combinatorial._core import resolve_workers
except ModuleNotFoundError as error:  # only a missing package skips, not a broken one
    if error.name != "combinatorial":
        raise
    pytest.skip("the package combinatorial is not installed", allow_module_level=True)

ORDERS = {
    "lex": lambda n, k: list(itertools.combinations(range(n), k)),
    "colex": lambda n, k: sorted(itertools.combinations(range(n), k), key=lambda t: t[::-1]),
}


def oracle_rank(row, n, order):
    s, k = sorted(int(v) for v in row), len(row)
    if order == "colex":
        return sum(math.comb(v, j + 1) for j, v in enumerate(s))
    return math.comb(n, k) - 1 - sum(math.comb(n - 1 - v, k - j) for j, v in enumerate(s))


def test_package_surface():
    assert {"comb", "rank", "unrank"} <= set(c.__all__)
    assert isinstance(c.__version__, str) and c.__version__
    assert all(getattr(c, name).__doc__ for name in c.__all__)


@pytest.mark.parametrize("n, k", [(0, 0), (5, 2), (3, 5), (64, 32), (67, 33), (65535, 2),
                                  (np.uint8(10), np.int64(3)), (2**64, 0), (2**64, 2**65), (2**70, 2**70)])
def test_comb_of_two_scalars_is_an_exact_int(n, k):
    value = c.comb(n, k)
    assert type(value) is int and value == math.comb(int(n), int(k))


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, ">i4", np.int64, np.uint64])
def test_comb_broadcasts_like_a_ufunc(dtype):
    n = np.arange(67, dtype=dtype).reshape(-1, 1)
    k = [0, 1, 2, 30, 33, 70]
    got = c.comb(n, k)
    assert got.dtype == np.uint64 and got.shape == (67, 6)
    assert got.tolist() == [[math.comb(a, b) for b in k] for a in range(67)]
    assert c.comb(n[::3, 0], 2).tolist() == [math.comb(a, 2) for a in range(0, 67, 3)]
    zero_d = c.comb(np.array(5), 2)
    assert isinstance(zero_d, np.ndarray) and zero_d.shape == () and zero_d == 10
    # Python ints beyond int64 (NumPy makes floats of these) and beyond uint64.
    assert c.comb([2**63, 5], [1, 2]).tolist() == [2**63, 10]
    assert c.comb([2**70, 5], [2**71, 2]).tolist() == [0, 10]


@pytest.mark.parametrize("n, k, named", [
    ([[10, 300], [400, 5]], [[2, 150], [200, 2]], r"C\(300, 150\) at index \(0, 1\)"),
    ([2**128], 1, rf"C\({2**128}, 1\) at index 0"),
    ([5, 2**70], 2, rf"C\({2**70}, 2\) at index 1"),
])
def test_comb_overflow_names_the_first_pair(n, k, named):
    with pytest.raises(OverflowError, match=named):
        c.comb(n, k)


@pytest.mark.parametrize("n, k, error", [
    (True, 1, TypeError), (1, np.bool_(True), TypeError), (np.array([True]), 1, TypeError),
    (1.5, 1, TypeError), ([1.5], 1, TypeError), ("3", 1, TypeError), (object(), 1, TypeError),
    (-1, 0, ValueError), (3, -1, ValueError), (np.array([3, -2], np.int8), 1, ValueError),
    ([2**70, -1], 1, ValueError),
])
def test_comb_refusals(n, k, error):
    with pytest.raises(error):
        c.comb(n, k)


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("n, k", [(0, 0), (1, 1), (5, 0), (6, 1), (7, 2), (8, 3), (9, 5), (10, 10)])
def test_every_small_combination_round_trips(order, n, k):
    expected = ORDERS[order](n, k)
    combs = np.array(expected, dtype=np.uint16).reshape(len(expected), k)
    shuffled = combs[:, ::-1]  # another order within rows, and not contiguous
    before = shuffled.copy()
    ranks = c.rank(shuffled, n, order=order)
    assert ranks.dtype == np.int64 and ranks.tolist() == list(range(len(expected)))
    assert (shuffled == before).all()
    assert (c.rank(combs, n, order=order, assume_sorted=True) == ranks).all()
    back = c.unrank(ranks, n, k, order=order)
    assert back.dtype == np.uint16 and (back == combs).all()


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.uint32, np.int64, np.uint64, ">u2", object])
def test_shapes_and_input_dtypes(dtype):
    rows = [[[0, 5, 8, 1], [2, 3, 4, 7]], [[8, 7, 6, 5], [1, 0, 3, 2]]]
    combs = np.array(rows, dtype=dtype)
    for order in ORDERS:
        ranks = c.rank(combs, 9, order=order)
        assert ranks.shape == (2, 2)
        assert ranks.tolist() == [[oracle_rank(r, 9, order) for r in pair] for pair in rows]
        back = c.unrank(ranks.astype(dtype), 9, 4, order=order)
        assert back.shape == (2, 2, 4) and (back == np.sort(np.array(rows), axis=-1)).all()
    assert c.rank(np.asfortranarray(combs), 9).tolist() == c.rank(combs, 9).tolist()


def unaligned(values, dtype):
    """``values`` one byte past an aligned address, as arrays rebuilt from a byte stream (Dask's) can be."""
    dtype = np.dtype(dtype)
    array = np.zeros(len(values) * dtype.itemsize + 1, np.uint8)[1:].view(dtype)
    array[:] = values
    assert not array.flags.aligned
    return array


@pytest.mark.parametrize("dtype, vertex_dtype", [(np.uint64, np.uint16), (np.int64, np.int64)])
def test_unaligned_arrays_of_the_dtypes_read_in_place(dtype, vertex_dtype):
    # Read in place, such arrays would go through misaligned pointers, which
    # vectorized loops may fault on; a bad rank takes the checking loop's error path.
    ranks = np.arange(0, math.comb(30, 4), 7)
    rows = c.unrank(ranks, 30, 4)
    assert c.unrank(unaligned(ranks, dtype), 30, 4).tolist() == rows.tolist()
    assert c.faces(unaligned(ranks, dtype), 30, 4).tolist() == c.faces(ranks, 30, 4).tolist()
    assert c.cofaces(unaligned(ranks, dtype), 30, 4).tolist() == c.cofaces(ranks, 30, 4).tolist()
    assert c.rank(unaligned(rows.ravel(), vertex_dtype).reshape(rows.shape), 30).tolist() == ranks.tolist()
    n, k = ranks % 60 + 5, ranks % 5
    assert c.comb(unaligned(n, dtype), unaligned(k, dtype)).tolist() == [math.comb(*p) for p in zip(n, k)]
    bad = unaligned(np.append(ranks, math.comb(30, 4)), dtype)
    with pytest.raises(ValueError, match=rf"at index {len(ranks)} is not below C\(30, 4\)"):
        c.unrank(bad, 30, 4)


def test_ranks_are_uint64_only_beyond_2_63():
    last = list(range(34, 67))  # the last lex combination
    assert c.rank([list(range(33, 66))], 66).dtype == np.int64
    ranks = c.rank([last], 67)
    assert ranks.dtype == np.uint64 and ranks.tolist() == [math.comb(67, 33) - 1]
    assert c.unrank(ranks, 67, 33).tolist() == [last]
    assert c.rank([list(range(34))], 68).dtype == c.uint128  # C(68, 34) > 2^64
    for call in (lambda: c.rank([list(range(100))], 200), lambda: c.unrank([0], 200, 100)):
        with pytest.raises(OverflowError, match=r"200.*100"):
            call()


@settings(max_examples=200, deadline=None)
@given(st.data(), st.integers(1, 80), st.sampled_from(list(ORDERS)))
def test_unrank_then_rank_is_identity(data, n, order):
    k = data.draw(st.integers(0, n).filter(lambda k: math.comb(n, k) < 2**64))
    ranks = data.draw(st.lists(st.integers(0, math.comb(n, k) - 1), min_size=1, max_size=8))
    rows = c.unrank(np.array(ranks, dtype=np.uint64), n, k, order=order)
    assert all(list(r) == sorted(set(r)) and (k == 0 or r[-1] < n) for r in rows.tolist())
    assert [oracle_rank(r, n, order) for r in rows] == ranks
    assert c.rank(rows, n, order=order).tolist() == ranks


@pytest.mark.parametrize("row, kwargs, message", [
    ([0, 1, 9], {}, r"\[0, 1, 9\].*9, which is not below n = 9"),
    ([0, -1, 2], {}, r"\[0, -1, 2\].*-1, which is negative"),
    ([3, 3, 1], {}, r"\[3, 3, 1\].*repeats vertex 3"),
    ([2, 1, 0], {"assume_sorted": True}, r"\[2, 1, 0\].*not strictly increasing"),
])
def test_rank_refuses_bad_rows_by_index(row, kwargs, message):
    combs = np.zeros((2, 2, 3), dtype=np.int64) + [0, 1, 2]
    combs[1, 0] = row
    before = combs.copy()
    with pytest.raises(ValueError, match=r"row \(1, 0\) of combs, " + message):
        c.rank(combs, 9, **kwargs)
    assert (combs == before).all()


@pytest.mark.parametrize("args, kwargs, error", [
    (([[0, 1]], 2**32 + 1), {}, ValueError), (([[0, 1]], -1), {}, ValueError),
    ((np.array([[0, 65537]], np.uint32), 10), {}, ValueError),
    (([[0, 1]], True), {}, TypeError), (([[1.5, 2]], 4), {}, TypeError), ((3, 4), {}, ValueError),
    (([[0, 1]], 4), {"assume_sorted": "yes"}, TypeError), (([[0, 1]], 4), {"order": "Lex"}, ValueError),
])
def test_rank_argument_refusals(args, kwargs, error):
    with pytest.raises(error, match=str(2**32 + 1) if args[1] == 2**32 + 1 else None):
        c.rank(*args, **kwargs)


@pytest.mark.parametrize("ranks, n, k, error, message", [
    ([0, 10, 1], 5, 2, ValueError, r"rank 10 at index 1 is not below C\(5, 2\) = 10"),
    ([[0, 1], [-1, 2]], 5, 2, ValueError, r"rank -1 at index \(1, 0\) is negative"),
    ([0, 1, 2], 2**32 + 1, 2, ValueError, str(2**32 + 1)),
    ([0, 1, 2], 3, 5, ValueError, "k = 5 is larger than n = 3"),
    ([0, 1, 2], 200, 100, OverflowError, r"C\(200, 100\)"),
])
def test_unrank_refusals_write_nothing(ranks, n, k, error, message):
    out = np.full(np.shape(ranks) + (k,), 7777, dtype=np.uint16)
    with pytest.raises(error, match=message):
        c.unrank(ranks, n, k, out=out)
    assert (out == 7777).all()


@pytest.mark.parametrize("out, error, message", [
    ([[0, 0]] * 3, TypeError, "ndarray"),
    (np.zeros((3, 2), np.int32), TypeError, "uint16"),
    (np.zeros((3, 2), np.uint16, order="F"), TypeError, "C-contiguous"),
    (np.zeros((3, 4), np.uint16)[:, ::2], TypeError, "C-contiguous"),
    (np.zeros((2, 3), np.uint16), ValueError, r"\(3, 2\) is expected"),
    (np.zeros((3, 2), np.uint16).view(), ValueError, "not writeable"),
])
def test_unrank_refuses_bad_out(out, error, message):
    if message == "not writeable":
        out.flags.writeable = False
    before = np.array(out).copy()
    with pytest.raises(error, match=message):
        c.unrank([0, 1, 2], 5, 2, out=out)
    assert (np.array(out) == before).all()


def test_unrank_into_out_that_overlaps_ranks():
    buffer = np.zeros(8, dtype=np.uint16)
    ranks = buffer.view(np.uint64)  # two ranks, both 0, in the memory of out
    out = buffer.reshape(2, 4)
    assert c.unrank(ranks, 10, 4, out=out) is out
    assert out.tolist() == [[0, 1, 2, 3]] * 2


def test_workers_values():
    ranks = np.arange(0, math.comb(40, 5), 3, dtype=np.int64)  # enough for threads to split
    expected = c.unrank(ranks, 40, 5, workers=1)
    for workers in (None, 2, -1, -2, -10**6, np.int32(3), 10**20):
        assert (c.unrank(ranks, 40, 5, workers=workers) == expected).all()
        assert (c.rank(expected, 40, workers=workers) == ranks).all()
    usable = len(os.sched_getaffinity(0))
    assert [resolve_workers(w) for w in (None, 3, -1, -2, -10**6)] == [
        -1, 3, usable, max(1, usable - 1), 1]  # None: all usable cores, counted by _core
    for workers, error in ((0, ValueError), (True, TypeError), (1.5, TypeError), ("2", TypeError)):
        for call in (lambda: c.unrank(ranks, 40, 5, workers=workers),
                     lambda: c.rank(expected, 40, workers=workers)):
            with pytest.raises(error):
                call()


@pytest.mark.parametrize("order", ["Lex", "", None, 1, "colex "])
def test_unknown_order_names_both(order):
    for call in (lambda: c.rank([[0, 1]], 4, order=order), lambda: c.unrank([0], 4, 2, order=order)):
        with pytest.raises(ValueError, match='"lex" or "colex"'):
            call()


def test_negative_ranks_are_refused_even_where_c_n_k_exceeds_2_to_63():
    # C(67, 33) > 2^63: a negative int64 read as unsigned would fall below it.
    ranks = np.array([0, -5 * 10**18], np.int64)
    out = np.full((2, 33), 7, np.uint16)
    for call in (lambda: c.unrank(ranks, 67, 33, out=out), lambda: c.faces(ranks, 67, 33)):
        with pytest.raises(ValueError, match=r"rank -5000000000000000000 at index 1 is negative"):
            call()
    assert (out == 7).all()


@pytest.mark.parametrize("call, error, index", [
    (lambda: c.unrank([[0, 1], [99, 2]], 5, 2), ValueError, (1, 0)),
    (lambda: c.rank(np.array([[[0, 1], [1, 1]]]), 4), ValueError, (0, 1)),
    (lambda: c.faces(np.array([0, 10]), 5, 2), ValueError, (1,)),
    (lambda: c.comb([[10, 300], [400, 5]], [[2, 150], [200, 2]]), OverflowError, (0, 1)),
    (lambda: c.comb(np.array([3, -1], np.int8), [[1], [2]]), ValueError, (1,)),  # in n's own shape
    (lambda: c.comb([2**70, 2**130], [2**70, 1]), OverflowError, (1,)),
])
def test_errors_carry_the_index_of_the_element_they_name(call, error, index):
    with pytest.raises(error) as caught:
        call()
    assert caught.value.index == index
    assert (f"index {index[0]}" if len(index) == 1 else str(index)) in str(caught.value)


@pytest.mark.parametrize("call", [
    lambda out: c.unrank([0, 1, 2], 5, 2, out=out),
    lambda out: c.combinations(5, 2, stop=3, out=out),
])
def test_a_wrong_out_gets_one_message_whatever_its_shape(call):
    for dtype, error in ((np.int32, TypeError), (np.uint16, ValueError)):
        texts = set()
        for shape in ((3, 2), (2, 3), (6,)):
            out = np.zeros(shape, dtype)
            if dtype == np.uint16 and shape == (3, 2):
                out.flags.writeable = False
            with pytest.raises(error) as caught:
                call(out)
            texts.add(str(caught.value).split(" has shape")[0])
            assert (out == 0).all()
        assert len(texts) == (1 if dtype == np.int32 else 2)  # read-only, or of another shape


def test_inputs_of_every_layout_read_as_their_copies():
    rng = np.random.default_rng(5)
    ranks = rng.integers(0, math.comb(30, 4), 4000)
    rows = c.unrank(ranks, 30, 4)
    buffer = np.zeros(ranks.size * 8 + 1, np.uint8)
    unaligned = buffer[1:].view(np.int64)
    unaligned[:] = ranks
    layouts = [ranks[::-1], np.broadcast_to(ranks[:1], (3, 4000)), unaligned,
               np.asfortranarray(ranks.reshape(40, 100)), ranks.astype(np.uint32)[::3]]
    for view in layouts:
        expected = np.ascontiguousarray(view).astype(np.int64)
        assert (c.unrank(view, 30, 4) == c.unrank(expected, 30, 4)).all()
        assert (c.faces(view, 30, 4) == c.faces(expected, 30, 4)).all()
    for view in (rows[::-1, ::-1], np.broadcast_to(rows[:1], (5, 4)), rows.astype(">i4")):
        assert (c.rank(view, 30) == c.rank(np.ascontiguousarray(view).astype(np.uint16), 30)).all()
    n = np.arange(60)[::-2]
    assert c.comb(n[:, None], np.arange(5)[None, ::-1]).tolist() == [
        [math.comb(int(a), b) for b in range(4, -1, -1)] for a in n]


@pytest.mark.parametrize("call, named", [
    (lambda: c.unrank([2**70], 5, 2), rf"rank {2**70} at index 0 is not below"),
    (lambda: c.unrank([3, -2**70], 5, 2), rf"rank {-2**70} at index 1 is negative"),
    (lambda: c.faces([1, 2**90], 5, 2), rf"rank {2**90} at index 1"),
    (lambda: c.rank([[0, 2**80]], 5), rf"has vertex {2**80}, which is not below n = 5"),
    (lambda: c.rank(np.array([[0, 2**63]], np.uint64), 5), rf"has vertex {2**63}, which"),
    (lambda: c.rank(np.array([[0, -2**63]], np.int64), 5), rf"has vertex {-2**63}, which is negative"),
])
def test_messages_name_the_value_passed_however_large(call, named):
    with pytest.raises(ValueError, match=named):
        call()


@pytest.mark.parametrize("call, named, index", [
    (lambda: c.unrank([3, 2**64 + 5], 5, 2), "rank 18446744073709551621 at index 1 is not", (1,)),
    (lambda: c.unrank([[1], [-2**100]], 5, 2), f"rank {-2**100} at index (1, 0) is negative", (1, 0)),
    (lambda: c.unrank([0, 2**63, -1], 10, 2), "rank 9223372036854775808 at index 1", (1,)),  # int64 would hold 2^63 - 1
    (lambda: c.faces(2**70, 5, 2), f"rank {2**70} at index () is not", ()),
    (lambda: c.cofaces([[0], [2**64]], 5, 2), f"rank {2**64} at index (1, 0)", (1, 0)),
    (lambda: c.rank([[0, 1], [2**64, -3]], 5), f"[{2**64}, -3], has vertex {2**64}, which is not below", (1,)),
    (lambda: c.rank([[0, 1], [4, -2**80]], 5), f"[4, {-2**80}], has vertex {-2**80}, which is negative", (1,)),
])
def test_values_beyond_64_bits_are_named_as_passed(call, named, index):
    with pytest.raises(ValueError) as error:
        call()
    assert named in str(error.value) and error.value.index == index


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_object_arrays_take_what_has_index_and_check_types_before_values():
    objects = np.array([5, Index(6), np.int64(7)], object)
    assert c.comb(objects, np.array([2], ">i4")).tolist() == [10, 15, 21]  # the converted path, too
    assert (c.unrank(np.array([Index(3)], object), 10, 5) == c.unrank([3], 10, 5)).all()
    assert c.faces(Index(2), 5, 2).shape == (2,)
    for call in (lambda: c.comb(np.array([53, -1, True], object), 28),
                 lambda: c.unrank(np.array([-1, 2.5], object), 10, 2)):
        with pytest.raises(TypeError, match="must hold integers"):
            call()
