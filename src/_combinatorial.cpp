// The Python module _combinatorial: argument conversion, checks of user
// input, table preparation and registration. The kernels it calls live in
// include/combinatorial and check nothing themselves.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "combinatorial/binomial.hpp"
#include "combinatorial/search.hpp"

namespace py = pybind11;
using combinatorial::BC;

namespace {

[[noreturn]] void throw_binomial_overflow(std::uint64_t n, std::uint64_t k) {
  throw std::overflow_error("C(" + std::to_string(n) + ", " + std::to_string(k) +
                            ") is 2^64 or more and does not fit 64 bits");
}

}  // namespace

std::uint64_t comb4(std::uint16_t n, std::uint16_t k) {
  const auto value = static_cast<std::uint64_t>(BC(n, k));
  if (value == combinatorial::binom_saturated && combinatorial::binom_overflows(n, k)) {
    throw_binomial_overflow(n, k);
  }
  return value;
}

PYBIND11_MODULE(_combinatorial, m) {
  m.doc() = "Combinatorial module";
  m.def("comb", &comb4);

  // The scalar searches validate nothing: every int64 argument has a defined
  // result, and lookups outside the table go through the saturating binom.
  m.def("get_max_vertex", [](std::int64_t r, std::int64_t k, std::int64_t n, bool guess,
                             std::uint64_t /*extra*/) {
    return guess ? combinatorial::get_max_vertex<true, true, false, 0>(r, k, n)
                 : combinatorial::get_max_vertex<true, false, false, 0>(r, k, n);
  });
  m.def("find_k", [](std::int64_t r, std::int64_t k) { return combinatorial::find_k(r, k); });
  m.def("get_max", [](std::int64_t r, std::int64_t k, std::int64_t n) {
    return combinatorial::get_max<false>(n, combinatorial::wrapping_add(k, -1),
                                         combinatorial::CoefficientAtMost<true>{r, k});
  });
}
