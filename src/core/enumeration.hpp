// combinations for the package: a slice [start, stop) of all k-combinations,
// each range of rows unranked once at its first row and then enumerated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>

#include "arguments.hpp"
#include "caches.hpp"
#include "combinatorial/enumerate.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"
#include "ranking.hpp"

namespace core {

// Rows per thread below which a slice is not split.
inline constexpr std::size_t enumerate_grain = std::size_t{1} << 17;

// A checked slice of the k-combinations of n: ranks [start, stop), stop at
// most C(n, k).
struct Slice {
  std::uint64_t n, k;
  Rank start, stop;
};

// n, k, start and stop checked, with stop None meaning C(n, k) (0 for k > n).
inline Slice parse_slice(nb::handle n_arg, nb::handle k_arg, nb::handle start_arg, nb::handle stop_arg) {
  const std::uint64_t n = parse_vertex_count(n_arg);
  const Integer k = parse_integer(k_arg, "k");
  const std::uint64_t count = k.beyond_64_bits || k.value > n ? 0 : combination_count(n, k.value);
  const Integer start = parse_integer(start_arg, "start");
  const Integer stop = stop_arg.is_none() ? Integer{count, false, to_string(count)} : parse_integer(stop_arg, "stop");
  if (stop.beyond_64_bits || stop.value > count) {
    throw std::invalid_argument("stop = " + stop.text() + " is beyond C(" + to_string(n) + ", " + k.text() +
                                ") = " + to_string(count));
  }
  if (start.beyond_64_bits || start.value > stop.value) {
    throw std::invalid_argument("start = " + start.text() + " is after stop = " + stop.text());
  }
  return {n, k.beyond_64_bits ? 0 : k.value, start.value, stop.value};
}

// The checked arguments of a lazy slice, for iter_combinations and the Dask
// layer: (n, k, order, start, stop, chunk_rows, workers).
inline nb::tuple slice_arguments(nb::handle n_arg, nb::handle k_arg, nb::handle order_arg, nb::handle start_arg,
                                 nb::handle stop_arg, nb::handle chunk_rows_arg, nb::handle workers_arg) {
  parse_order(order_arg);
  const Slice slice = parse_slice(n_arg, k_arg, start_arg, stop_arg);
  const Integer chunk_rows = parse_integer(chunk_rows_arg, "chunk_rows");
  if (chunk_rows.value == 0) throw std::invalid_argument("chunk_rows must be at least 1");
  const int workers = parse_workers(workers_arg);
  return nb::make_tuple(slice.n, slice.k, nb::borrow(order_arg), slice.start, slice.stop,
                        nb::steal(PyLong_FromString(chunk_rows.exact.c_str(), nullptr, 10)), workers);
}

// The combinations with ranks in [start, stop), rows smallest vertex first,
// into `out` or a new (stop - start, k) uint16 array. Checks everything
// before the first write.
inline nb::object combinations(nb::handle n_arg, nb::handle k_arg, nb::handle order_arg, nb::handle start_arg,
                               nb::handle stop_arg, nb::handle out_arg, nb::handle workers_arg) {
  const combinatorial::Order order = parse_order(order_arg);
  const auto [n, k, start, stop] = parse_slice(n_arg, k_arg, start_arg, stop_arg);
  const int workers = parse_workers(workers_arg);
  const std::uint64_t rows = stop - start;
  nb::object out =
      result_array<Vertex>(out_arg, {static_cast<npy_intp>(rows), static_cast<npy_intp>(k)}, rows_text(rows, k));
  if (rows == 0 || k == 0) return out;
  Vertex* const dest = data_of<Vertex>(out);
  {
    const nb::gil_scoped_release unlocked;
    const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
    const auto table = table_covering(nn, combinatorial::unrank_table_k(nn, kk));
    combinatorial::with_order(order, [&](auto o) {
      parallel_for(static_cast<std::size_t>(rows), workers, enumerate_grain, [&](std::size_t begin, std::size_t end) {
        Vertex* const first = dest + begin * k;
        const Rank rank = start + begin;
        combinatorial::unrank_batch<o.value, RowLayout::smallest_first>(table->view(), nullptr, &rank, 1, nn, kk,
                                                                        first);
        combinatorial::enumerate_rows<o.value>(first, nn, kk, end - begin, first);
      });
    });
  }
  return out;
}

}  // namespace core
