// comb for the package: C(n, k) element by element over two uint64 arrays of
// one shape, exact, with the interpreter lock released.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "caches.hpp"
#include "combinatorial/lookup.hpp"
#include "parallel.hpp"

namespace core {

inline constexpr std::size_t comb_grain = std::size_t{1} << 16;
// Arrays at least this long may build a table for their bounds; shorter ones
// use a table only if one already covers them.
inline constexpr std::size_t comb_table_size = 64;

// C(n[i], k[i]) for i in [begin, end) through the checked lookup of `table`;
// returns the first index whose coefficient is 2^64 or more, or end.
inline std::size_t settle_coefficients(const std::uint64_t* n, const std::uint64_t* k, std::size_t begin,
                                       std::size_t end, const combinatorial::TableView& table, std::uint64_t* out) {
  for (std::size_t i = begin; i < end; ++i) {
    const auto ni = static_cast<std::int64_t>(n[i]), ki = static_cast<std::int64_t>(k[i]);  // covers() compares unsigned
    const std::uint64_t value = table.covers(ni, ki) ? static_cast<std::uint64_t>(table.row(ki)[ni])
                                                     : combinatorial::binom(n[i], k[i]);
    if (value == combinatorial::binom_saturated && combinatorial::binom_overflows(n[i], k[i])) return i;
    out[i] = value;
  }
  return end;
}

inline py::array comb(const py::array& n_arg, const py::array& k_arg, int workers) {
  const py::array n_array = readable<std::uint64_t>(n_arg, "n", "uint64");
  const py::array k_array = readable<std::uint64_t>(k_arg, "k", "uint64");
  const std::vector<py::ssize_t> shape = shape_of(n_array);
  if (shape != shape_of(k_array)) throw std::invalid_argument("n and k must have the same shape");
  py::array result(py::dtype::of<std::uint64_t>(), shape);
  const auto* const n = static_cast<const std::uint64_t*>(n_array.data());
  const auto* const k = static_cast<const std::uint64_t*>(k_array.data());
  auto* const out = static_cast<std::uint64_t*>(result.mutable_data());
  const auto size = static_cast<std::size_t>(n_array.size());
  std::size_t bad = size;
  {
    const py::gil_scoped_release unlocked;
    std::uint64_t max_n = 0, max_k = 0;
    for (std::size_t i = 0; i < size; ++i) {
      max_n = std::max(max_n, n[i]);
      max_k = std::max(max_k, std::min(k[i], n[i]));
    }
    // Rows above max_n would hold only zeros, so k is bounded by n as well.
    std::shared_ptr<const CoefficientTable> table;
    const bool fits = max_n <= static_cast<std::uint64_t>(combinatorial::max_table_cells) &&
                      combinatorial::table_cells_needed(static_cast<std::int64_t>(max_n),
                                                        static_cast<std::int64_t>(max_k)) >= 0;
    if (fits && size >= comb_table_size) {
      table = table_covering(static_cast<std::int64_t>(max_n), static_cast<std::int64_t>(max_k));
    }
    const combinatorial::TableView view = table ? table->view() : combinatorial::TableView{};
    bad = first_offender(size, workers, comb_grain, [&](std::size_t begin, std::size_t end) {
      const combinatorial::CoefficientCells cells{view.cells, view.stride, static_cast<std::uint64_t>(view.max_n),
                                                  static_cast<std::uint64_t>(view.max_k)};
      if (table && combinatorial::lookup_coefficients(n + begin, k + begin, end - begin, cells, out + begin)) {
        return end;
      }
      return settle_coefficients(n, k, begin, end, view, out);
    });
  }
  if (bad != size) {
    throw_binomial_overflow(n[bad], k[bad], shape.empty() ? "" : " at index " + format_index(bad, shape));
  }
  return result;
}

}  // namespace core
