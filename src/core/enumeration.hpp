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
// most C(n, k) < 2^128.
struct Slice {
  std::uint64_t n, k;
  WideRank start, stop;
};

// n, k, start and stop checked, with stop None meaning C(n, k) (0 for k > n).
inline Slice parse_slice(nb::handle n_arg, nb::handle k_arg, nb::handle start_arg, nb::handle stop_arg) {
  const std::uint64_t n = parse_vertex_count(n_arg);
  const Integer k = parse_integer(k_arg, "k");
  const WideRank count = k.beyond_64_bits || k.value > n ? 0 : combination_count(n, k.value);
  const WideInteger start = parse_wide_integer(start_arg, "start");
  const WideInteger stop =
      stop_arg.is_none() ? WideInteger{count, false, count_text(count)} : parse_wide_integer(stop_arg, "stop");
  if (stop.beyond_128_bits || stop.value > count) {
    throw std::invalid_argument("stop = " + stop.text() + " is beyond C(" + to_string(n) + ", " + k.text() +
                                ") = " + count_text(count));
  }
  if (start.beyond_128_bits || start.value > stop.value) {
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
  return nb::make_tuple(slice.n, slice.k, nb::borrow(order_arg), python_int(slice.start), python_int(slice.stop),
                        python_int(chunk_rows.exact), workers);
}

// The combinations with ranks in [start, stop), rows smallest vertex first,
// into `out` or a new (stop - start, k) array of uint16 (n <= 65536) or
// uint32. Checks everything before the first write.
inline nb::object combinations(nb::handle n_arg, nb::handle k_arg, nb::handle order_arg, nb::handle start_arg,
                               nb::handle stop_arg, nb::handle out_arg, nb::handle workers_arg) {
  const combinatorial::Order order = parse_order(order_arg);
  const auto [n, k, start, stop] = parse_slice(n_arg, k_arg, start_arg, stop_arg);
  const int workers = parse_workers(workers_arg);
  const WideRank span = stop - start;
  if (span > static_cast<WideRank>(NPY_MAX_INTP)) {
    check_memory(~std::uint64_t{0}, 1, rows_text(~std::uint64_t{0}, k));  // more rows than memory, certainly
  }
  const auto rows = static_cast<std::uint64_t>(span);
  // The kernels' width follows C(n, k), which lex unranking subtracts from, not the ranks asked for.
  const bool wide = k <= n && needs_wide_ranks(combination_count(n, k));
  return combinatorial::with_widths(wide, n, [&](auto rank_zero, auto vertex_zero) {
    using R = decltype(rank_zero);
    using V = decltype(vertex_zero);
    nb::object out =
        result_array<V>(out_arg, {static_cast<npy_intp>(rows), static_cast<npy_intp>(k)}, rows_text(rows, k));
    if (rows == 0 || k == 0) return out;
    V* const dest = data_of<V>(out);
    const nb::gil_scoped_release unlocked;  // re-taken before out is returned: it is declared after out
    const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
    // Each range of rows: its first unranked, the rest enumerated from it.
    const auto each_range = [&](auto unrank_first) {
      combinatorial::with_order(order, [&](auto o) {
        parallel_for(static_cast<std::size_t>(rows), workers, enumerate_grain, [&](std::size_t begin, std::size_t end) {
          V* const first = dest + begin * k;
          const R rank = static_cast<R>(start + begin);
          unrank_first(o, rank, first);
          combinatorial::enumerate_rows<o.value>(first, nn, kk, end - begin, first);
        });
      });
    };
    if constexpr (combinatorial::is_narrow<R, V>) {
      const auto table = table_covering(nn, combinatorial::unrank_table_k(nn, kk));
      each_range([&](auto o, const Rank& rank, Vertex* first) {
        combinatorial::unrank_batch<decltype(o)::value, RowLayout::smallest_first>(table->view(), nullptr, &rank, 1,
                                                                                    nn, kk, first);
      });
    } else {
      with_coefficients<R>(nn, kk, [&](const auto& source) {
        each_range([&](auto o, const R& rank, V* first) {
          combinatorial::unrank_any<decltype(o)::value, RowLayout::smallest_first>(source, &rank, 1, nn, kk, first);
        });
      });
    }
    return out;
  });
}

}  // namespace core
