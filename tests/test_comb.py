"""comb: the five overloads, how a call reaches each, and exactness."""
import math
import random

import numpy as np
import pytest

import _combinatorial as m

U64 = np.uint64
MAX64 = 2**64 - 1


def u64(values):
    return np.array(values, dtype=U64)


def test_each_overload_on_known_values():
    assert m.comb(u64([5, 6]), u64([2, 3])).tolist() == [10, 20]
    assert m.comb(u64([4, 5]), 2).tolist() == [6, 10]
    assert m.comb(5, u64([0, 1, 2, 5, 6])).tolist() == [1, 5, 10, 1, 0]
    assert m.comb(10, 3) == 120
    assert m.comb(u64([5, 6]), u64([2, 3]), 10, 5).tolist() == [10, 20]
    for result in [m.comb(u64([5]), u64([9])), m.comb(u64([5]), 9), m.comb(5, u64([9])),
                   m.comb(u64([5]), u64([9]), 10, 10)]:
        assert result.dtype == U64 and result.tolist() == [0]


# (arguments, expected result or exception, message)
RESOLUTION = [
    ((u64([10, 20]), 3), [120, 1140], None),
    ((3, u64([1, 3, 4])), [3, 1, 0], None),
    ((np.array([10, 20]), np.array([3, 2], np.int32)), [120, 190], None),
    (([10, 20], [3, 2]), [120, 190], None),
    ((np.array([10, 20]), 3), ValueError, "N adn K must match."),
    (([10, 20], 3), ValueError, "N adn K must match."),
    ((3, [10, 20]), ValueError, "N adn K must match."),
    ((u64([10, 20]), 65536), ValueError, "N adn K must match."),
    ((np.array([10]), 3), ValueError, "incorrect number of dimensions: 0; expected 1"),
    ((65536, 3), ValueError, "array has incorrect number of dimensions: 0; expected 1"),
    ((10.0, 3), ValueError, "array has incorrect number of dimensions: 0; expected 1"),
    ((np.uint64(10), 3), ValueError, "array has incorrect number of dimensions: 0; expected 1"),
    ((np.zeros((2, 3), U64), np.zeros(6, U64)), ValueError, "incorrect number of dimensions: 2; expected 1"),
    ((u64([5, 6]), u64([2])), ValueError, "N adn K must match."),
    ((1, 2, 3), TypeError, None),
    (("a", "b"), TypeError, None),
]


@pytest.mark.parametrize("args, expected, message", RESOLUTION)
def test_overload_resolution(args, expected, message):
    if isinstance(expected, list):
        result = m.comb(*args)
        assert isinstance(result, np.ndarray) and result.dtype == U64
        assert result.tolist() == expected
    else:
        with pytest.raises(expected, match=message):
            m.comb(*args)


def test_scalars():
    assert type(m.comb(65535, 3)) is int
    assert m.comb(True, True) == 1
    with pytest.raises(TypeError):
        m.comb(n=1, k=2)


def test_strided_and_empty_arrays():
    base = np.arange(40, dtype=U64)
    view = base[::3]
    assert m.comb(view, 2).tolist() == [math.comb(int(v), 2) for v in view]
    backwards = base[::-2]
    assert m.comb(backwards, base[:20]).tolist() == [math.comb(int(a), int(b)) for a, b in zip(backwards, base[:20])]
    assert m.comb(6, base[::7]).tolist() == [math.comb(6, int(v)) for v in base[::7]]
    assert m.comb(view, view[::-1], 40, 40).tolist() == [math.comb(int(a), int(b)) for a, b in zip(view, view[::-1])]
    empty = np.zeros(0, U64)
    for result in [m.comb(empty, empty), m.comb(empty, 3), m.comb(3, empty), m.comb(empty, empty, 10, 3)]:
        assert result.shape == (0,) and result.dtype == U64


def random_pairs(rng, count):
    """(n, k) spread across the boundary where C(n, k) stops fitting 64 bits."""
    pairs = []
    for _ in range(count):
        k = rng.randrange(0, 70)
        edge = 2 * k + 1
        while math.comb(edge, k) < 2**64 and edge < 2**64:
            edge *= 2
        n = rng.randrange(k, min(max(k + 1, edge), 2**64))
        pairs.append(rng.choice([(n, k), (n, n - k)]))
    return pairs


@pytest.mark.parametrize("form", ["comb1", "comb2", "comb3", "comb5"])
def test_exact_or_overflow_against_math_comb(form):
    for n, k in random_pairs(random.Random(11), 600):
        truth = math.comb(n, k)
        if form == "comb1":
            call = lambda: m.comb(u64([n]), u64([k]))  # noqa: E731
        elif form == "comb2":
            if k > 65535:
                continue
            call = lambda: m.comb(u64([n]), k)  # noqa: E731
        elif form == "comb3":
            if n > 65535:
                continue
            call = lambda: m.comb(n, u64([k]))  # noqa: E731
        else:
            call = lambda: m.comb(u64([n]), u64([k]), min(n, 300), min(k, 20))  # noqa: E731
        if truth < 2**64:
            assert call().tolist() == [truth], (n, k)
        else:
            with pytest.raises(OverflowError, match=f"C\\({n}, {k}\\)"):
                call()


def test_overflow_anywhere_gives_no_partial_result():
    n = u64([10, 20, 68, 30])
    k = u64([3, 4, 34, 5])
    with pytest.raises(OverflowError, match="C\\(68, 34\\)"):
        m.comb(n, k)
    with pytest.raises(OverflowError, match="C\\(68, 34\\)"):
        m.comb(n, k, 100, 40)
    with pytest.raises(OverflowError, match="C\\(65535, 6\\)"):
        m.comb(u64([65535, 65535]), 6)


def test_every_uint64_n():
    n = u64([MAX64, 2**63, 2**63 + 5])
    assert m.comb(n, u64([1, 1, 1])).tolist() == [MAX64, 2**63, 2**63 + 5]
    assert m.comb(n, u64([0, 2**63, 2**63 + 4])).tolist() == [1, 1, 2**63 + 5]
    assert m.comb(n, 0).tolist() == [1, 1, 1]
    with pytest.raises(OverflowError):
        m.comb(n, 2)
    assert m.comb(u64([2**32]), 2).tolist() == [math.comb(2**32, 2)]
    assert m.comb(n, u64([1, 1, 1]), 10, 2).tolist() == [MAX64, 2**63, 2**63 + 5]


def test_table_form_bounds():
    n, k = u64([100, 7]), u64([3, 9])
    # Elements outside the stated bounds still get their true value.
    assert m.comb(n, k, 10, 5).tolist() == [161700, 0]
    with pytest.raises(ValueError, match="must be below 2\\^63"):
        m.comb(n, k, 2**63, 3)
    with pytest.raises(ValueError, match="must be below 2\\^63"):
        m.comb(n, k, 3, MAX64)
    # Bounds whose table would exceed the memory bound answer element by element.
    assert m.comb(n, k, 2**20, 2**20).tolist() == [161700, 0]
    assert m.comb(u64([20000, 19999, 10]), u64([3, 19997, 20]), 20000, 10**9).tolist() == [
        math.comb(20000, 3), math.comb(19999, 19997), 0]
    with pytest.raises(OverflowError, match="C\\(20000, 100\\)"):
        m.comb(u64([20000]), u64([100]), 20000, 10**9)
    # After refused bounds the module still answers from whatever table it has.
    assert m.comb(n, k, 200, 4).tolist() == [161700, 0]


def test_table_form_checks_dimensions_before_any_table():
    with pytest.raises(ValueError, match="incorrect number of dimensions: 2; expected 1"):
        m.comb(np.zeros((2, 2), U64), np.zeros((2, 2), U64), 16000, 16000)


def test_inputs_are_not_modified():
    n = u64([10, 20, 30])
    k = u64([1, 2, 3])
    m.comb(n, k, 30, 3)
    assert n.tolist() == [10, 20, 30] and k.tolist() == [1, 2, 3]


@pytest.mark.parametrize("size", [7, 8, 1000, 2**17 + 13])
def test_table_form_on_long_arrays(size):
    # Long contiguous arrays take the vectorised lookup; elements outside the
    # table (n or k above the bounds, k > n, n beyond 2^63) must still come out
    # exact wherever they sit.
    rng = np.random.default_rng(size)
    n = rng.integers(0, 90, size + 1, dtype=U64)
    k = rng.integers(0, 12, size + 1, dtype=U64)
    for at, (ni, ki) in zip(rng.integers(0, size + 1, 6), [(200, 3), (50, 30), (5, 9), (2**63 + 7, 1),
                                                            (MAX64, 0), (80, 11)]):
        n[at], k[at] = ni, ki
    n, k = n[1:], k[1:]  # contiguous, but not on a 64-byte boundary
    expected = [math.comb(int(a), int(b)) for a, b in zip(n, k)]
    assert m.comb(n, k, 80, 10).tolist() == expected
    for at in {0, size // 2, size - 1}:
        big_n, big_k = n.copy(), k.copy()
        big_n[at], big_k[at] = 70, 35
        with pytest.raises(OverflowError, match="C\\(70, 35\\)"):
            m.comb(big_n, big_k, 80, 40)


def bits(values):
    """Each value as the uint64 that NumPy's cast makes of it."""
    return [int(v) % 2**64 for v in values]


@pytest.mark.parametrize("size", [7, 1000, 2**17 + 13])
def test_table_form_reads_int64_as_their_uint64_bits(size):
    # int64 arrays are read in place, inside the table and outside it (n or k
    # above the bounds, negative values, which the cast makes huge).
    rng = np.random.default_rng([size, 64])
    n = rng.integers(-3, 130, size, dtype=np.int64)
    k = rng.integers(-3, 12, size, dtype=np.int64)
    negative = n < 0
    k[negative] = rng.choice([0, 1, -1, -2], int(negative.sum()))  # C(n, k) stays below 2^64
    expected = [math.comb(a, b) for a, b in zip(bits(n), bits(k))]
    assert max(expected) < 2**64
    assert m.comb(n, k, 120, 10).tolist() == expected


def test_table_form_int64_arrays_of_every_layout():
    n_values = [-1, -2, 0, 1, 5, 17, 40, 99, -3, 62]
    k_values = [1, -2, 0, 3, 2, 17, 6, 4, 0, 31]
    expected = [math.comb(a, b) for a, b in zip(bits(n_values), bits(k_values))]

    class Sub(np.ndarray):
        pass

    def forms(values):
        plain = np.array(values, np.int64)
        spread = np.zeros(3 * len(values), np.int64)
        spread[::3] = values
        readonly = plain.copy()
        readonly.flags.writeable = False
        return {
            "plain": plain,
            "strided": spread[::3],
            "reversed": plain[::-1].copy()[::-1],
            "unaligned": unaligned_int64(values),
            "big-endian": plain.astype(">i8"),
            "longlong": plain.astype(np.longlong),
            "subclass": plain.view(Sub),
            "read-only": readonly,
        }

    for (name, n), k in zip(forms(n_values).items(), forms(k_values).values()):
        before_n, before_k = n.tolist(), k.tolist()
        result = m.comb(n, k, 64, 8)
        assert type(result) is np.ndarray and result.dtype == U64, name
        assert result.tolist() == expected, name
        assert not np.shares_memory(result, n) and not np.shares_memory(result, k), name
        assert n.tolist() == before_n and k.tolist() == before_k, name


def unaligned_int64(values):
    raw = np.zeros(8 * len(values) + 1, np.uint8)
    array = raw[1:].view(np.int64)
    array[:] = values
    assert not array.flags.aligned
    return array


def test_table_form_int64_errors_as_for_uint64():
    two_d = np.zeros((2, 3), np.int64)
    with pytest.raises(ValueError, match="^N adn K must match.$"):
        m.comb(np.array([5, 6]), np.array([2]), 10, 5)
    with pytest.raises(ValueError, match="incorrect number of dimensions: 2; expected 1"):
        m.comb(two_d, np.zeros(6, np.int64), 10, 5)
    with pytest.raises(ValueError, match="incorrect number of dimensions: 0; expected 1"):
        m.comb(np.array(5), np.array(2), 10, 5)
    with pytest.raises(ValueError, match="must be below 2\\^63"):
        m.comb(np.array([5]), np.array([2]), 2**63, 5)
    with pytest.raises(OverflowError, match="C\\(70, 35\\)"):
        m.comb(np.array([10, 70]), np.array([3, 35]), 80, 40)
    with pytest.raises(OverflowError, match=f"C\\({2**64 - 1}, 2\\)"):
        m.comb(np.array([-1]), np.array([2]), 80, 40)


def test_table_form_signature():
    # The same text whether an argument arrives as uint64 or int64.
    assert ("5. comb(arg0: numpy.ndarray[numpy.uint64], arg1: numpy.ndarray[numpy.uint64], "
            "arg2: int, arg3: int) -> numpy.ndarray[numpy.uint64]") in m.comb.__doc__
