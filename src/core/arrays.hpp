// Conversion and checks shared by the core's entry functions: arrays taken in
// place, the order argument, counts of combinations and the messages that
// name an offending element by its index.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/order.hpp"

namespace core {

namespace py = pybind11;
using std::to_string;

// Vertices are stored in 16 bits.
inline constexpr std::uint64_t max_vertex_count = 65536;

inline combinatorial::Order parse_order(const std::string& order) {
  if (order == "lex") return combinatorial::Order::lex;
  if (order == "colex") return combinatorial::Order::colex;
  throw std::invalid_argument("order must be \"lex\" or \"colex\", not \"" + order + "\"");
}

inline void check_vertex_count(std::uint64_t n) {
  if (n > max_vertex_count) {
    throw std::invalid_argument("n = " + to_string(n) +
                                " is too large: vertices are 16-bit, so n must be at most 65536");
  }
}

[[noreturn]] inline void throw_binomial_overflow(std::uint64_t n, std::uint64_t k, const std::string& where = "") {
  throw std::overflow_error("C(" + to_string(n) + ", " + to_string(k) + ")" + where +
                            " is 2^64 or more and does not fit 64 bits");
}

// C(n, k), the number of k-combinations of n; OverflowError beyond 64 bits.
inline std::uint64_t combination_count(std::uint64_t n, std::uint64_t k) {
  if (combinatorial::binom_overflows(n, k)) throw_binomial_overflow(n, k);
  return combinatorial::binom(n, k);
}

// The index of flat element i of an array of the given shape: a plain number
// for one axis, a tuple otherwise.
inline std::string format_index(std::size_t i, const std::vector<py::ssize_t>& shape) {
  if (shape.size() == 1) return to_string(i);
  std::vector<std::size_t> at(shape.size());
  for (std::size_t axis = shape.size(); axis-- > 0;) {
    const auto extent = static_cast<std::size_t>(shape[axis]);
    at[axis] = extent ? i % extent : 0;
    i = extent ? i / extent : 0;
  }
  std::string text = "(";
  for (std::size_t axis = 0; axis < at.size(); ++axis) {
    if (axis) text += ", ";
    text += to_string(at[axis]);
  }
  return text + ")";
}

inline std::vector<py::ssize_t> shape_of(const py::array& array, std::size_t drop_last = 0) {
  std::vector<py::ssize_t> shape(array.shape(), array.shape() + array.ndim() - static_cast<py::ssize_t>(drop_last));
  return shape;
}

// Whether `array` holds elements of type T, C-contiguous and aligned, so that
// it may be used in place.
template <typename T>
bool is_plain(const py::array& array) {
  return py::isinstance<py::array_t<T>>(array) && (array.flags() & py::array::c_style) &&
         (array.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_);
}

[[noreturn]] inline void throw_wrong_array(const char* name, const char* expected) {
  throw py::type_error(std::string(name) + " must be a C-contiguous, aligned array of " + expected);
}

// An input array of element type T as the kernels read it: the array itself
// when C-contiguous and aligned, otherwise a C-contiguous copy for the call
// (as NumPy's ufuncs buffer strided input). Any other element type is a
// TypeError: the Python layer converts dtypes.
template <typename T>
py::array readable(const py::array& array, const char* name, const char* expected) {
  if (is_plain<T>(array)) return array;
  if (!py::isinstance<py::array_t<T>>(array)) throw_wrong_array(name, expected);
  // NumPy leaves an unaligned array as it is unless alignment is asked for too.
  return py::array_t<T, py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_>(array);
}

// Refuses an out array that does not hold exactly `rows` combinations of k.
inline void check_out_size(const py::array& out, std::uint64_t rows, std::uint64_t k) {
  std::uint64_t needed = 0;
  if (__builtin_mul_overflow(rows, k, &needed) || static_cast<std::uint64_t>(out.size()) != needed) {
    throw std::invalid_argument("out holds " + to_string(out.size()) + " elements, but " + to_string(rows) +
                                " combinations of " + to_string(k) + " vertices are to be written");
  }
}

// Whether two arrays share any byte of memory.
inline bool overlap(const py::array& a, const py::array& b) {
  const auto a0 = reinterpret_cast<std::uintptr_t>(a.data()), b0 = reinterpret_cast<std::uintptr_t>(b.data());
  const auto an = static_cast<std::uintptr_t>(a.nbytes()), bn = static_cast<std::uintptr_t>(b.nbytes());
  return an && bn && a0 < b0 + bn && b0 < a0 + an;
}

}  // namespace core
