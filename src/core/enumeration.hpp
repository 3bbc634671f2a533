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
#include "combinatorial/family.hpp"
#include "combinatorial/permutations.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"
#include "ranking.hpp"

namespace core {

// Rows per thread below which a slice is not split.
inline constexpr std::size_t enumerate_grain = std::size_t{1} << 17;

// Rows enumerated at a time where a kernel may rework what it wrote
// (multisets' shift, on rows it cannot shift as it stores them): small
// enough that the piece is still in cache.
inline constexpr std::size_t reworked_piece = std::size_t{1} << 13;

// A checked slice of a family's rows: ranks [start, stop), stop at most the
// count, below 2^128.
struct Slice {
  Rows rows;
  WideRank start, stop;
};

// The family, n, k, start and stop checked, with stop None meaning the count
// (0 for subsets and permutations with k > n).
inline Slice parse_slice(Family family, nb::handle n_arg, nb::handle k_arg, nb::handle start_arg,
                         nb::handle stop_arg) {
  const Rows rows = parse_rows(family, n_arg, k_arg, KBound::any);
  const WideRank count = rows.count;
  const WideInteger start = parse_wide_integer(start_arg, "start");
  const WideInteger stop =
      stop_arg.is_none() ? WideInteger{count, false, count_text(count)} : parse_wide_integer(stop_arg, "stop");
  if (stop.beyond_128_bits || stop.value > count) {
    throw std::invalid_argument("stop = " + stop.text() + " is beyond " + rows.count_name() + " = " + count_text(count));
  }
  if (start.beyond_128_bits || start.value > stop.value) {
    throw std::invalid_argument("start = " + start.text() + " is after stop = " + stop.text());
  }
  return {rows, start.value, stop.value};
}

// The checked arguments of a lazy slice, for iter_combinations and the Dask
// layer: (n, k, order, start, stop, chunk_rows, workers).
inline nb::tuple slice_arguments(nb::handle family_arg, nb::handle n_arg, nb::handle k_arg, nb::handle order_arg,
                                 nb::handle start_arg, nb::handle stop_arg, nb::handle chunk_rows_arg,
                                 nb::handle workers_arg) {
  const Family family = parse_family(family_arg);
  check_order(family, parse_order(order_arg));
  const Slice slice = parse_slice(family, n_arg, k_arg, start_arg, stop_arg);
  const Integer chunk_rows = parse_integer(chunk_rows_arg, "chunk_rows");
  if (chunk_rows.value == 0) throw std::invalid_argument("chunk_rows must be at least 1");
  const int workers = parse_workers(workers_arg);
  return nb::make_tuple(slice.rows.n, slice.rows.k, nb::borrow(order_arg), python_int(slice.start),
                        python_int(slice.stop), python_int(chunk_rows.exact), workers);
}

// The rows of a family with ranks in [start, stop), into `out` or a new
// (stop - start, k) array of uint16 or uint32 (as the kernels' n needs).
// Each thread's range is unranked at its first row and enumerated from
// there. Checks everything before the first write.
inline nb::object combinations(nb::handle family_arg, nb::handle n_arg, nb::handle k_arg, nb::handle order_arg,
                               nb::handle start_arg, nb::handle stop_arg, nb::handle out_arg, nb::handle workers_arg) {
  const Family family = parse_family(family_arg);
  const combinatorial::Order order = parse_order(order_arg);
  check_order(family, order);
  const auto [rows, start, stop] = parse_slice(family, n_arg, k_arg, start_arg, stop_arg);
  const std::uint64_t k = rows.k;
  const int workers = parse_workers(workers_arg);
  const WideRank span = stop - start;
  if (span > static_cast<WideRank>(NPY_MAX_INTP)) {
    check_memory(~std::uint64_t{0}, 1, rows_text(~std::uint64_t{0}, k));  // more rows than memory, certainly
  }
  const auto size = static_cast<std::uint64_t>(span);
  // The kernels' width follows the count, which lex unranking subtracts from, not the ranks asked for.
  return combinatorial::with_widths(needs_wide_ranks(rows.count), rows.kernel_n, [&](auto rank_zero, auto vertex_zero) {
    using R = decltype(rank_zero);
    using V = decltype(vertex_zero);
    nb::object out =
        result_array<V>(out_arg, {static_cast<npy_intp>(size), static_cast<npy_intp>(k)}, rows_text(size, k));
    if (size == 0 || k == 0) return out;
    V* const dest = data_of<V>(out);
    const nb::gil_scoped_release unlocked;  // re-taken before out is returned: it is declared after out
    const auto nn = static_cast<std::int64_t>(rows.kernel_n), kk = static_cast<std::int64_t>(k);
    // Each piece of each thread's range: its first row unranked, the rest
    // enumerated from it, then finished.
    const auto each_piece = [&](std::size_t piece, auto unrank_first, auto enumerate, auto finish) {
      combinatorial::with_order(order, [&](auto o) {
        parallel_for(static_cast<std::size_t>(size), workers, enumerate_grain, [&](std::size_t begin, std::size_t end) {
          for (std::size_t count = 0, at = begin; at < end; at += count) {
            count = std::min(piece, end - at);
            V* const first = dest + at * k;
            unrank_first(o, static_cast<R>(start + at), first);
            enumerate(o, first, count);
            finish(first, count);
          }
        });
      });
    };
    const auto subsets = [&](auto family, std::size_t piece, auto finish) {
      const auto enumerate = [&](auto o, V* first, std::size_t count) {
        if constexpr (decltype(family)::value == Family::multisets) {
          combinatorial::enumerate_multiset_rows<decltype(o)::value>(first, nn, kk, count, first);
        } else {
          combinatorial::enumerate_rows<decltype(o)::value>(first, nn, kk, count, first);
        }
      };
      if constexpr (combinatorial::is_narrow<R, V>) {
        const auto table = table_covering(nn, combinatorial::unrank_table_k(nn, kk));
        each_piece(
            piece,
            [&](auto o, const Rank& rank, Vertex* first) {
              combinatorial::unrank_batch<decltype(o)::value, RowLayout::smallest_first>(table->view(), nullptr, &rank,
                                                                                          1, nn, kk, first);
            },
            enumerate, finish);
      } else {
        with_coefficients<R>(nn, kk, [&](const auto& source) {
          each_piece(
              piece,
              [&](auto o, const R& rank, V* first) {
                combinatorial::unrank_any<decltype(o)::value, RowLayout::smallest_first>(source, &rank, 1, nn, kk,
                                                                                          first);
              },
              enumerate, finish);
        });
      }
    };
    const std::size_t whole = ~std::size_t{0};
    const auto nothing = [](V*, std::size_t) {};
    switch (family) {
      case Family::subsets: subsets(combinatorial::FamilyTag<Family::subsets>{}, whole, nothing); break;
      case Family::multisets:
        subsets(combinatorial::FamilyTag<Family::multisets>{},
                combinatorial::multisets_shifted_as_stored<V>(kk) ? whole : reworked_piece, nothing);
        break;
      case Family::permutations:
        each_piece(
            whole,
            [&](auto, const R& rank, V* first) { combinatorial::unrank_permutation_rows<R>(&rank, 1, nn, kk, first); },
            [&](auto, V* first, std::size_t count) { combinatorial::enumerate_permutations(first, nn, kk, count, first); },
            nothing);
        break;
    }
    return out;
  });
}

}  // namespace core
