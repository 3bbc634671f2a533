// comb for the package: C(n, k) for two integers, exact, or element by
// element over two integer arrays broadcast against each other, read in
// place whatever their strides, with the interpreter lock released.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "caches.hpp"
#include "combinatorial/lookup.hpp"
#include "parallel.hpp"
#include "reading.hpp"

namespace core {

inline constexpr std::size_t comb_grain = std::size_t{1} << 16;
// Arrays at least this long may build a table for their bounds; shorter ones
// use a table only if one already covers them.
inline constexpr std::size_t comb_table_size = 64;

inline bool is_integer_scalar(nb::handle value) {
  return (PyLong_Check(value.ptr()) || PyArray_IsScalar(value.ptr(), Integer)) && !is_bool(value);
}

// C(n, k) of two non-negative integers of any size, or nullopt when it is
// 2^128 or more. With m = min(k, n - k): C(n, m) = 1, n, n (n - 1) / 2 for
// m = 0, 1, 2, and C(n, m) >= C(n, 3) > 2^128 for m >= 3 once n >= 2^64, so
// n beyond 64 bits needs Python's arithmetic for m <= 2 only.
inline std::optional<WideRank> exact_comb(const Integer& n, const Integer& k) {
  if (!n.beyond_64_bits) {
    if (k.beyond_64_bits || k.value > n.value) return 0;
    bool overflow = false;
    const WideRank value = combinatorial::binom_wide(n.value, k.value, overflow);
    if (overflow) return std::nullopt;
    return value;
  }
  const nb::object n_int = python_int(n.exact), k_int = python_int(k.exact);
  const int above = PyObject_RichCompareBool(k_int.ptr(), n_int.ptr(), Py_GT);
  if (above < 0) throw nb::python_error();
  if (above) return 0;
  nb::object rest = nb::steal(PyNumber_Subtract(n_int.ptr(), k_int.ptr()));
  if (!rest.is_valid()) throw nb::python_error();
  const int k_smaller = PyObject_RichCompareBool(k_int.ptr(), rest.ptr(), Py_LT);
  if (k_smaller < 0) throw nb::python_error();
  const nb::object m = k_smaller ? k_int : rest;
  const long long small_m = PyLong_AsLongLong(m.ptr());  // -1 with an error set when huge
  if (small_m == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (small_m == 0) return 1;
  if (small_m > 2) return std::nullopt;
  nb::object value = n_int;
  if (small_m == 2) {
    nb::object below = nb::steal(PyNumber_Subtract(n_int.ptr(), nb::int_(1).ptr()));
    if (!below.is_valid()) throw nb::python_error();
    nb::object product = nb::steal(PyNumber_Multiply(n_int.ptr(), below.ptr()));
    if (!product.is_valid()) throw nb::python_error();
    value = nb::steal(PyNumber_Rshift(product.ptr(), nb::int_(1).ptr()));
    if (!value.is_valid()) throw nb::python_error();
  }
  const int beyond = PyObject_RichCompareBool(value.ptr(), two_to_128(), Py_GE);
  if (beyond < 0) throw nb::python_error();
  if (beyond) return std::nullopt;
  return wide_value(value.ptr());
}

// The most bits comb computes for two integers: math.comb's product takes
// about a second at this size and grows quadratically past it (2^20 bits
// took 30 s here), and the call cannot be interrupted.
inline constexpr double max_comb_bits = 131072;  // 2^17

// C(n, k) exactly as a Python int, as math.comb gives it, for any n and k
// whose coefficient has at most about max_comb_bits bits (m = min(k, n - k);
// refused where a lower bound of log2 C(n, m) passes it), OverflowError
// beyond; n past 10^308 counts as infinitely many bits.
inline nb::object comb_of_integers(nb::handle n_arg, nb::handle k_arg, const std::string& counted) {
  const Integer n = parse_integer(n_arg, "n"), k = parse_integer(k_arg, "k");
  if (!n.beyond_64_bits && !k.beyond_64_bits) {
    if (k.value > n.value) return nb::int_(0);
    if (!combinatorial::binom_overflows(n.value, k.value)) {
      return nb::steal(PyLong_FromUnsignedLongLong(combinatorial::binom(n.value, k.value)));
    }
  }
  const nb::object n_int = python_int(n.exact), k_int = python_int(k.exact);
  const int above = PyObject_RichCompareBool(k_int.ptr(), n_int.ptr(), Py_GT);
  if (above < 0) throw nb::python_error();
  if (above) return nb::int_(0);
  nb::object rest = nb::steal(PyNumber_Subtract(n_int.ptr(), k_int.ptr()));
  if (!rest.is_valid()) throw nb::python_error();
  const int k_smaller = PyObject_RichCompareBool(k_int.ptr(), rest.ptr(), Py_LT);
  if (k_smaller < 0) throw nb::python_error();
  const nb::object m = k_smaller ? k_int : rest;
  // n >= 2m, so C(n, m) >= 2^m; and C(n, m) = prod (n - i) / m! >= (n - m + 1)^m / m!, whose
  // logarithm keeps its precision however large n is (lgamma(n + 1) - lgamma(n - m + 1) does not).
  const double nd = PyLong_AsDouble(n_int.ptr()), md = PyLong_AsDouble(m.ptr());  // inf past 10^308
  if (PyErr_Occurred()) PyErr_Clear();
  const double bits = md > max_comb_bits ? md : md * std::log2(nd - md + 1) - std::lgamma(md + 1) / std::log(2.0);
  if (!(bits <= max_comb_bits)) {  // NaN and infinity too
    throw std::overflow_error(counted + " has more than 2^17 bits, more than comb computes exactly");
  }
  nb::object math = nb::module_::import_("math");
  return math.attr("comb")(n_int, k_int);
}

// P(n, k) exactly as a Python int, as math.perm gives it, for any n and k
// whose value has at most max_comb_bits bits (refused where the lower bound
// k log2(n - k + 1) passes it), OverflowError beyond.
inline nb::object perm_of_integers(nb::handle n_arg, nb::handle k_arg) {
  const Integer n = parse_integer(n_arg, "n"), k = parse_integer(k_arg, "k");
  if (!n.beyond_64_bits && !k.beyond_64_bits) {
    if (k.value > n.value) return nb::int_(0);
    bool overflow = false;
    const WideRank value = combinatorial::perm_wide(n.value, k.value, overflow);
    if (!overflow) return python_int(value);
  }
  const nb::object n_int = python_int(n.exact), k_int = python_int(k.exact);
  const int above = PyObject_RichCompareBool(k_int.ptr(), n_int.ptr(), Py_GT);
  if (above < 0) throw nb::python_error();
  if (above) return nb::int_(0);
  nb::object rest = nb::steal(PyNumber_Subtract(n_int.ptr(), k_int.ptr()));
  if (!rest.is_valid()) throw nb::python_error();
  const double kd = PyLong_AsDouble(k_int.ptr()), rest_d = PyLong_AsDouble(rest.ptr());  // inf past 10^308
  if (PyErr_Occurred()) PyErr_Clear();
  const double bits = kd > max_comb_bits ? kd : kd * std::log2(rest_d + 1);
  if (!(bits <= max_comb_bits)) {
    throw std::overflow_error("P(" + n.text() + ", " + k.text() + ") has more than 2^17 bits, more than perm " +
                              "computes exactly");
  }
  nb::object math = nb::module_::import_("math");
  return math.attr("perm")(n_int, k_int);
}

// A family's count of two non-negative integers as an exact Python int:
// C(n, k), C(n + k - 1, k) (1 for n = k = 0) or P(n, k).
inline nb::object count_of_integers(Family family, nb::handle n_arg, nb::handle k_arg) {
  switch (family) {
    case Family::subsets: {
      const Integer n = parse_integer(n_arg, "n"), k = parse_integer(k_arg, "k");
      return comb_of_integers(n_arg, k_arg, count_name(family, n.text(), k.text()));
    }
    case Family::multisets: {
      const Integer n = parse_integer(n_arg, "n"), k = parse_integer(k_arg, "k");
      if (n.value == 0 || k.value == 0) return nb::int_(k.value == 0 ? 1 : 0);
      nb::object top = nb::steal(PyNumber_Add(python_int(n.exact).ptr(), python_int(k.exact).ptr()));
      if (!top.is_valid()) throw nb::python_error();
      top = nb::steal(PyNumber_Subtract(top.ptr(), nb::int_(1).ptr()));
      if (!top.is_valid()) throw nb::python_error();
      return comb_of_integers(top, python_int(k.exact), count_name(family, n.text(), k.text()));
    }
    case Family::permutations: return perm_of_integers(n_arg, k_arg);
  }
  __builtin_unreachable();
}

// A family's count of two integers of any size below 2^128, or nullopt.
inline std::optional<WideRank> exact_count(Family family, const Integer& n, const Integer& k) {
  if (family == Family::subsets) return exact_comb(n, k);
  if (!n.beyond_64_bits && !k.beyond_64_bits) {
    bool overflow = false;
    const WideRank value = combinatorial::family_count(family, n.value, k.value, overflow);
    if (overflow) return std::nullopt;
    return value;
  }
  nb::object value;
  try {
    value = count_of_integers(family, python_int(n.exact), python_int(k.exact));
  } catch (const std::overflow_error&) {
    return std::nullopt;  // more than 2^17 bits
  }
  const int beyond = PyObject_RichCompareBool(value.ptr(), two_to_128(), Py_GE);
  if (beyond < 0) throw nb::python_error();
  if (beyond) return std::nullopt;
  return wide_value(value.ptr());
}

// `array` seen with the axes of `shape`: stride 0 along axes it lacks or
// stretches, as NumPy broadcasts. Precondition: the shapes broadcast.
inline ArrayView broadcast_to(const ArrayView& array, const Shape& shape) {
  ArrayView view = array;
  const std::size_t missing = shape.size() - array.shape.size();
  view.shape = shape;
  view.strides.assign(shape.size(), 0);
  for (std::size_t axis = missing; axis < shape.size(); ++axis) {
    if (array.shape[axis - missing] == shape[axis]) view.strides[axis] = array.strides[axis - missing];
  }
  view.size = 1;
  for (const npy_intp extent : shape) view.size *= static_cast<std::size_t>(extent);
  return view;
}

inline Shape broadcast_shape(const Shape& a, const Shape& b) {
  Shape shape(std::max(a.size(), b.size()), 1);
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const npy_intp x = i < a.size() ? a[a.size() - 1 - i] : 1, y = i < b.size() ? b[b.size() - 1 - i] : 1;
    if (x != y && x != 1 && y != 1) {
      throw std::invalid_argument("n and k cannot be broadcast together: shapes " + shape_text(a) + " and " +
                                  shape_text(b));
    }
    shape[shape.size() - 1 - i] = x == 1 ? y : x;
  }
  return shape;
}

[[noreturn]] inline void throw_negative(const char* name, const std::string& value, std::size_t flat,
                                        const Shape& shape, const Origin& origin) {
  throw_at(ErrorKind::value, std::string(name) + " has " + value + (shape.empty() ? "" : " at index {}") +
                                 ", which is negative",
           flat, shape, origin);
}

// Refuses the first negative element of a numeric operand, in its own shape.
inline void refuse_negatives(const ArrayView& array, const char* name, const Origin& origin) {
  const bool is_signed = array.element == Element::i8 || array.element == Element::i16 ||
                         array.element == Element::i32 || array.element == Element::i64;
  if (!is_signed) return;
  std::array<std::uint64_t, block_items> buffer;
  for (std::size_t at = 0; at < array.size; at += block_items) {
    const std::size_t size = std::min(block_items, array.size - at);
    gather(array, at, size, buffer.data());
    const auto found = std::find(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size), ~std::uint64_t{0});
    if (found != buffer.begin() + static_cast<std::ptrdiff_t>(size)) {
      const auto flat = at + static_cast<std::size_t>(found - buffer.begin());
      throw_negative(name, value_at(array, flat).text(), flat, array.shape, origin);
    }
  }
}

[[noreturn]] inline void throw_overflow_at(Family family, const std::string& n, const std::string& k,
                                           std::size_t flat, const Shape& shape, const Origin& origin) {
  throw_at(ErrorKind::overflow,
           count_name(family, n, k) + (shape.empty() ? "" : " at index {}") +
               " is 2^128 or more and does not fit 128 bits",
           flat, shape, origin);
}

// The coefficients as the narrowest array that holds them all: uint64, or
// uint128 where one is 2^64 or more.
inline nb::object coefficient_array(const std::vector<WideRank>& values, const Shape& shape) {
  const bool wide = std::any_of(values.begin(), values.end(), [](WideRank v) { return v >> 64 != 0; });
  if (!wide) {
    nb::object result = new_array<std::uint64_t>(shape);
    std::copy(values.begin(), values.end(), data_of<std::uint64_t>(result));
    return result;
  }
  nb::object result = new_array<StoredWideRank>(shape);
  std::copy(values.begin(), values.end(), data_of<StoredWideRank>(result));
  return result;
}

// C(n[i], k[i]) for i in [begin, end) through the checked lookup of `table`;
// returns the first index whose coefficient is 2^64 or more, or end.
inline std::size_t settle_coefficients(Family family, const std::uint64_t* n, const std::uint64_t* k,
                                       std::size_t size, const combinatorial::TableView& table, std::uint64_t* out) {
  if (family != Family::subsets) {
    for (std::size_t i = 0; i < size; ++i) {
      bool overflow = false;
      const WideRank value = combinatorial::family_count(family, n[i], k[i], overflow);
      if (overflow || value >> 64 != 0) return i;
      out[i] = static_cast<std::uint64_t>(value);
    }
    return size;
  }
  for (std::size_t i = 0; i < size; ++i) {
    const auto ni = static_cast<std::int64_t>(n[i]), ki = static_cast<std::int64_t>(k[i]);  // covers() compares unsigned
    const std::uint64_t value = table.covers(ni, ki) ? static_cast<std::uint64_t>(table.row(ki)[ni])
                                                     : combinatorial::binom(n[i], k[i]);
    if (value == combinatorial::binom_saturated && combinatorial::binom_overflows(n[i], k[i])) return i;
    out[i] = value;
  }
  return size;
}

// Object arrays (Python ints beyond 64 bits), element by element with the
// interpreter lock held.
inline nb::object comb_of_objects(Family family, nb::handle n_arg, nb::handle k_arg, const Origin& origin,
                                  const Origin& n_origin, const Origin& k_origin) {
  nb::object operands[2];
  const char* names[2] = {"n", "k"};
  nb::handle args[2] = {n_arg, k_arg};
  Shape shapes[2];
  for (int i = 0; i < 2; ++i) {
    operands[i] = nb::steal(PyArray_FromAny(args[i].ptr(), PyArray_DescrFromType(NPY_OBJECT), 0, 0, 0, nullptr));
    if (!operands[i].is_valid()) throw nb::python_error();
    auto* array = reinterpret_cast<PyArrayObject*>(operands[i].ptr());
    shapes[i].assign(PyArray_DIMS(array), PyArray_DIMS(array) + PyArray_NDIM(array));
  }
  const Shape shape = broadcast_shape(shapes[0], shapes[1]);
  // Every element's type is checked before any value, as for the other functions' object arrays.
  nb::object items[2];
  for (int i = 0; i < 2; ++i) {
    nb::object flat = nb::steal(PyArray_Ravel(reinterpret_cast<PyArrayObject*>(operands[i].ptr()), NPY_CORDER));
    if (!flat.is_valid()) throw nb::python_error();
    items[i] = nb::steal(PyArray_ToList(reinterpret_cast<PyArrayObject*>(flat.ptr())));
    if (!items[i].is_valid()) throw nb::python_error();
    for (nb::handle item : nb::borrow<nb::list>(items[i])) {
      if (is_bool(item) || !PyIndex_Check(item.ptr())) {
        type_error(std::string(names[i]) + " must hold integers, not " + python_type_name(item));
      }
    }
  }
  std::vector<Integer> values[2];
  for (int i = 0; i < 2; ++i) {
    std::size_t at = 0;
    for (nb::handle item : nb::borrow<nb::list>(items[i])) {
      nb::object number = nb::steal(PyNumber_Index(item.ptr()));
      if (!number.is_valid()) throw nb::python_error();
      const int negative = PyObject_RichCompareBool(number.ptr(), nb::int_(0).ptr(), Py_LT);
      if (negative < 0) throw nb::python_error();
      if (negative) {
        throw_negative(names[i], nb::borrow<nb::str>(nb::str(number)).c_str(), at, shapes[i], i ? k_origin : n_origin);
      }
      values[i].push_back(parse_integer(number, names[i]));
      ++at;
    }
  }
  ArrayView index_n, index_k;  // flat positions through the broadcast
  index_n.shape = shapes[0];
  index_k.shape = shapes[1];
  Shape strides_n(shapes[0].size()), strides_k(shapes[1].size());
  for (int i = 0; i < 2; ++i) {
    ArrayView& view = i == 0 ? index_n : index_k;
    view.strides.assign(view.shape.size(), 0);
    npy_intp step = 1;
    for (std::size_t axis = view.shape.size(); axis-- > 0;) {
      view.strides[axis] = step;
      step *= view.shape[axis];
    }
  }
  const ArrayView bn = broadcast_to(index_n, shape), bk = broadcast_to(index_k, shape);
  std::vector<WideRank> coefficients(bn.size);
  for (std::size_t i = 0; i < bn.size; ++i) {
    const Integer& n = values[0][static_cast<std::size_t>(offset_of(bn, i))];
    const Integer& k = values[1][static_cast<std::size_t>(offset_of(bk, i))];
    const std::optional<WideRank> value = exact_count(family, n, k);
    if (!value) throw_overflow_at(family, n.text(), k.text(), i, shape, origin);
    coefficients[i] = *value;
  }
  return coefficient_array(coefficients, shape);
}

// C(n[i], k[i]) for i in [begin, end) into out as 128-bit values; returns the
// first index whose coefficient is 2^128 or more, or end.
inline std::size_t settle_wide_coefficients(Family family, const std::uint64_t* n, const std::uint64_t* k,
                                            std::size_t size, StoredWideRank* out) noexcept {
  for (std::size_t i = 0; i < size; ++i) {
    bool overflow = false;
    const WideRank value = combinatorial::family_count(family, n[i], k[i], overflow);
    if (overflow) return i;
    out[i] = value;
  }
  return size;
}

// A family's count (C(n, k), C(n + k - 1, k), P(n, k)): a Python int for
// two integers, else an array of the broadcast shape, uint64 where every
// value fits 64 bits, else uint128; OverflowError naming the first (n, k)
// in C order whose value is 2^128 or more.
inline nb::object comb(nb::handle family_arg, nb::handle n_arg, nb::handle k_arg, nb::handle workers_arg,
                       nb::handle origin_arg) {
  const bool n_scalar = is_integer_scalar(n_arg), k_scalar = is_integer_scalar(k_arg);
  if ((!n_scalar && !is_readable(n_arg)) || (!k_scalar && !is_readable(k_arg))) return not_implemented();
  const Family family = parse_family(family_arg);
  const int workers = parse_workers(workers_arg);
  if (n_scalar && k_scalar) return count_of_integers(family, n_arg, k_arg);
  // () or, for a block of a larger array, the origins of the result, n and k:
  // a negative value is named in its own array, an overflow in the result.
  Origin origin, n_origin, k_origin;
  if (nb::len(origin_arg) == 3) {
    const nb::tuple origins = nb::borrow<nb::tuple>(origin_arg);
    origin = parse_origin(origins[0]);
    n_origin = parse_origin(origins[1]);
    k_origin = parse_origin(origins[2]);
  }
  // One integer beside an array broadcasts as a 0-d array.
  const auto as_array = [](nb::handle value) {
    if (PyArray_Check(value.ptr())) return nb::borrow(value);
    nb::object array = nb::steal(PyArray_FromAny(value.ptr(), nullptr, 0, 0, 0, nullptr));
    if (!array.is_valid()) throw nb::python_error();
    return array;
  };
  const nb::object n_array = as_array(n_arg), k_array = as_array(k_arg);
  const auto is_objects = [](const nb::object& a) {
    return PyArray_TYPE(reinterpret_cast<PyArrayObject*>(a.ptr())) == NPY_OBJECT;
  };
  if (is_objects(n_array) || is_objects(k_array)) {
    // The other operand is checked as any integer operand is, and its values
    // (uint128 included) become Python ints, before the two are paired.
    const auto as_objects = [&](const nb::object& array, const char* name) {
      return is_objects(array) ? array : object_array_of(view_of(array, name));
    };
    return comb_of_objects(family, as_objects(n_array, "n"), as_objects(k_array, "k"), origin, n_origin, k_origin);
  }
  const ArrayView n_view = view_of(n_array, "n"), k_view = view_of(k_array, "k");
  refuse_negatives(n_view, "n", n_origin);
  refuse_negatives(k_view, "k", k_origin);
  const Shape shape = broadcast_shape(n_view.shape, k_view.shape);
  const ArrayView n_all = broadcast_to(n_view, shape), k_all = broadcast_to(k_view, shape);
  check_memory(n_all.size, sizeof(std::uint64_t), "the coefficients of " + grouped(n_all.size) + " elements");
  nb::object result = new_array<std::uint64_t>(shape);
  auto* const out = data_of<std::uint64_t>(result);
  const std::size_t size = n_all.size;
  const bool in_place = n_all.is_plain<std::uint64_t>() && k_all.is_plain<std::uint64_t>();
  std::size_t bad = size;
  {
    const nb::gil_scoped_release unlocked;
    // Calls body(n, k, count, at) for blocks of [begin, end) as uint64.
    const auto for_blocks = [&](std::size_t begin, std::size_t end, auto body) {
      if (in_place) {
        return body(reinterpret_cast<const std::uint64_t*>(n_all.data) + begin,
                    reinterpret_cast<const std::uint64_t*>(k_all.data) + begin, end - begin, begin);
      }
      std::array<std::uint64_t, block_items> n_block, k_block;
      for (std::size_t at = begin; at < end; at += block_items) {
        const std::size_t count = std::min(block_items, end - at);
        gather(n_all, at, count, n_block.data());
        gather(k_all, at, count, k_block.data());
        const std::size_t found = body(n_block.data(), k_block.data(), count, at);
        if (found != at + count) return found;
      }
      return end;
    };
    std::shared_ptr<const CoefficientTable> table;
    if (family == Family::subsets && size >= comb_table_size) {
      std::uint64_t max_n = 0, max_k = 0;
      for_blocks(0, size, [&](const std::uint64_t* n, const std::uint64_t* k, std::size_t count, std::size_t at) {
        for (std::size_t i = 0; i < count; ++i) {
          max_n = std::max(max_n, n[i]);
          max_k = std::max(max_k, std::min(k[i], n[i]));  // rows above n hold only zeros
        }
        return at + count;
      });
      const bool fits = max_n <= static_cast<std::uint64_t>(combinatorial::max_table_cells) &&
                        combinatorial::table_cells_needed(static_cast<std::int64_t>(max_n),
                                                          static_cast<std::int64_t>(max_k)) >= 0;
      if (fits) table = table_covering(static_cast<std::int64_t>(max_n), static_cast<std::int64_t>(max_k));
    }
    const combinatorial::TableView view = table ? table->view() : combinatorial::TableView{};
    const combinatorial::CoefficientCells cells{view.cells, view.stride, static_cast<std::uint64_t>(view.max_n),
                                                static_cast<std::uint64_t>(view.max_k)};
    bad = first_offender(size, workers, comb_grain, [&](std::size_t begin, std::size_t end) {
      return for_blocks(begin, end, [&](const std::uint64_t* n, const std::uint64_t* k, std::size_t count, std::size_t at) {
        if (table && combinatorial::lookup_coefficients(n, k, count, cells, out + at)) return at + count;
        return at + settle_coefficients(family, n, k, count, view, out + at);
      });
    });
  }
  if (bad == size) return result;
  // One coefficient is 2^64 or more: all of them again, as uint128.
  result = nb::object();
  check_memory(size, sizeof(StoredWideRank), "the coefficients of " + grouped(size) + " elements");
  nb::object wide = new_array<StoredWideRank>(shape);
  auto* const wide_out = data_of<StoredWideRank>(wide);
  {
    const nb::gil_scoped_release unlocked;
    bad = first_offender(size, workers, comb_grain, [&](std::size_t begin, std::size_t end) {
      std::array<std::uint64_t, block_items> n_block, k_block;
      for (std::size_t at = begin; at < end; at += block_items) {
        const std::size_t count = std::min(block_items, end - at);
        gather(n_all, at, count, n_block.data());
        gather(k_all, at, count, k_block.data());
        const std::size_t found =
            settle_wide_coefficients(family, n_block.data(), k_block.data(), count, wide_out + at);
        if (found != count) return at + found;
      }
      return end;
    });
  }
  if (bad != size) {
    throw_overflow_at(family, value_at(n_all, bad).text(), value_at(k_all, bad).text(), bad, shape, origin);
  }
  return wide;
}

}  // namespace core
