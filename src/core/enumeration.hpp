// combinations for the package: a slice [start, stop) of all k-combinations,
// each range of rows unranked once at its first row and then enumerated.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "arrays.hpp"
#include "caches.hpp"
#include "combinatorial/enumerate.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"

namespace core {

// Rows per thread below which a slice is not split.
inline constexpr std::size_t enumerate_grain = std::size_t{1} << 17;

// Writes the combinations with ranks in [start, stop) into out, rows smallest
// vertex first. Checks everything before the first write.
inline void combinations(std::uint64_t n, std::uint64_t k, const std::string& order_name, std::uint64_t start,
                         std::uint64_t stop, py::array& out, int workers) {
  const combinatorial::Order order = parse_order(order_name);
  if (!is_plain<std::uint16_t>(out)) throw_wrong_array("out", "uint16");
  auto* const dest = static_cast<std::uint16_t*>(out.mutable_data());  // "array is not writeable" here
  check_vertex_count(n);
  const std::uint64_t count = k > n ? 0 : combination_count(n, k);
  if (start > stop || stop > count) {
    throw std::invalid_argument("ranks [" + to_string(start) + ", " + to_string(stop) + ") are not within [0, C(" +
                                to_string(n) + ", " + to_string(k) + ") = " + to_string(count) + ")");
  }
  const std::uint64_t rows = stop - start;
  check_out_size(out, rows, k);
  if (rows == 0 || k == 0) return;
  const py::gil_scoped_release unlocked;
  const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
  const auto table = table_covering(nn, combinatorial::unrank_table_k(nn, kk));
  parallel_for(static_cast<std::size_t>(rows), workers, enumerate_grain, [&](std::size_t begin, std::size_t end) {
    using combinatorial::Order, combinatorial::RowLayout;
    std::uint16_t* const first = dest + begin * k;
    const std::uint64_t rank = start + begin;
    if (order == Order::lex) {
      combinatorial::unrank_batch<Order::lex, RowLayout::smallest_first>(table->view(), nullptr, &rank, 1, nn, kk,
                                                                         first);
      combinatorial::enumerate_lex(first, nn, kk, end - begin, first);
    } else {
      combinatorial::unrank_batch<Order::colex, RowLayout::smallest_first>(table->view(), nullptr, &rank, 1, nn,
                                                                           kk, first);
      combinatorial::enumerate_colex(first, nn, kk, end - begin, first);
    }
  });
}

}  // namespace core
