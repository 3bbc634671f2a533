// The Python module _combinatorial: argument conversion, checks of user
// input, table preparation and registration. The kernels it calls live in
// include/combinatorial and check nothing themselves.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "combinatorial/binomial.hpp"

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
}
