// rank and unrank for the package: checks, then the kernels over ranges of
// the batch on several threads, with the interpreter lock released.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "arrays.hpp"
#include "caches.hpp"
#include "combinatorial/rank.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"

namespace core {

// Items per thread below which a batch is not split: starting a thread costs
// tens of microseconds.
inline constexpr std::size_t unrank_grain = std::size_t{1} << 15;
inline constexpr std::size_t rank_grain = std::size_t{1} << 15;

// The ValueError for a rank outside [0, count), named with its index.
template <typename Rank>
[[noreturn]] void throw_bad_rank(Rank rank, std::size_t index, const std::vector<py::ssize_t>& shape,
                                 std::uint64_t n, std::uint64_t k, std::uint64_t count) {
  const std::string where = "rank " + to_string(rank) + " at index " + format_index(index, shape);
  if (rank < 0) throw std::invalid_argument(where + " is negative");
  throw std::invalid_argument(where + " is not below C(" + to_string(n) + ", " + to_string(k) + ") = " +
                              to_string(count));
}

template <typename Rank>
void unrank_checked(const Rank* ranks, const std::vector<py::ssize_t>& shape, std::size_t size, std::uint64_t n,
                    std::uint64_t k, combinatorial::Order order, std::uint16_t* out, int workers) {
  const std::uint64_t count = combination_count(n, k);
  const std::size_t bad = first_offender(size, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
    return combinatorial::first_rank_outside(ranks, begin, end, count);
  });
  if (bad != size) throw_bad_rank(ranks[bad], bad, shape, n, k, count);
  if (size == 0 || k == 0) return;
  const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
  const auto table = table_covering(nn, combinatorial::unrank_table_k(nn, kk));
  const combinatorial::TableView& view = table->view();
  std::shared_ptr<const combinatorial::ColexBucketIndex> index;
  if (combinatorial::unrank_wants_index(nn, kk, size)) index = index_for(view, nn, kk);
  // Ranks were checked to be non-negative, so signed ones read as unsigned.
  const auto* first = reinterpret_cast<const std::uint64_t*>(ranks);
  parallel_for(size, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
    using combinatorial::Order, combinatorial::RowLayout;
    std::uint16_t* const at = out + begin * k;
    if (order == Order::colex) {
      combinatorial::unrank_batch<Order::colex, RowLayout::smallest_first>(view, index.get(), first + begin,
                                                                           end - begin, nn, kk, at);
    } else {
      combinatorial::unrank_batch<Order::lex, RowLayout::smallest_first>(view, index.get(), first + begin,
                                                                         end - begin, nn, kk, at);
    }
  });
}

// Writes the k vertices of each rank into out, smallest first, in either
// order. Checks everything before the first write.
inline void unrank(const py::array& ranks_arg, std::uint64_t n, std::uint64_t k, const std::string& order_name,
                   py::array& out, int workers) {
  const combinatorial::Order order = parse_order(order_name);
  const bool signed_ranks = py::isinstance<py::array_t<std::int64_t>>(ranks_arg);
  py::array ranks = signed_ranks ? readable<std::int64_t>(ranks_arg, "ranks", "uint64 or int64")
                                 : readable<std::uint64_t>(ranks_arg, "ranks", "uint64 or int64");
  if (!is_plain<std::uint16_t>(out)) throw_wrong_array("out", "uint16");
  auto* const dest = static_cast<std::uint16_t*>(out.mutable_data());  // "array is not writeable" here
  check_vertex_count(n);
  if (k > n) throw std::invalid_argument("k = " + to_string(k) + " is larger than n = " + to_string(n));
  const auto size = static_cast<std::size_t>(ranks.size());
  check_out_size(out, size, k);
  // Ranks that out overlaps would be overwritten before they are read.
  if (overlap(out, ranks)) ranks = py::array::ensure(ranks.attr("copy")());
  const std::vector<py::ssize_t> shape = shape_of(ranks);
  const py::gil_scoped_release unlocked;
  if (signed_ranks) {
    unrank_checked(static_cast<const std::int64_t*>(ranks.data()), shape, size, n, k, order, dest, workers);
  } else {
    unrank_checked(static_cast<const std::uint64_t*>(ranks.data()), shape, size, n, k, order, dest, workers);
  }
}

// What is wrong with a row of k vertices, read as given; empty when nothing.
// Sorted rows must be strictly increasing; others are sorted first.
template <typename Vertex>
std::string row_problem(const Vertex* row, std::size_t k, std::uint64_t n, bool assume_sorted) {
  for (std::size_t j = 0; j < k; ++j) {
    if constexpr (std::is_signed_v<Vertex>) {
      if (row[j] < 0) return "has vertex " + to_string(row[j]) + ", which is negative";
    }
    if (static_cast<std::uint64_t>(row[j]) >= n) {
      return "has vertex " + to_string(row[j]) + ", which is not below n = " + to_string(n);
    }
  }
  std::vector<Vertex> sorted(row, row + k);
  std::sort(sorted.begin(), sorted.end());
  const auto repeat = std::adjacent_find(sorted.begin(), sorted.end());
  if (repeat != sorted.end()) return "repeats vertex " + to_string(*repeat);
  if (assume_sorted && !std::equal(sorted.begin(), sorted.end(), row)) return "is not strictly increasing";
  return {};
}

// The index of the first of `rows` rows of k that row_problem() refuses.
template <typename Vertex>
std::size_t first_bad_in_block(const Vertex* block, std::size_t rows, std::size_t k, std::uint64_t n,
                               bool assume_sorted) {
  for (std::size_t r = 0; r < rows; ++r) {
    if (!row_problem(block + r * k, k, n, assume_sorted).empty()) return r;
  }
  throw std::logic_error("rank: a malformed row was detected but not found");
}

// Sorts a row of K vertices in place by compare-exchanges that compile to
// conditional moves: rows in random order would mispredict most branches of
// a comparison sort.
template <std::size_t K>
void sort_short_row(std::uint16_t* row) noexcept {
  std::uint16_t v[K];
  std::copy(row, row + K, v);
  for (std::size_t pass = 0; pass < K; ++pass) {
    for (std::size_t j = pass % 2; j + 1 < K; j += 2) {
      const std::uint16_t a = v[j], b = v[j + 1];
      const bool swap = b < a;
      v[j] = swap ? b : a;
      v[j + 1] = swap ? a : b;
    }
  }
  std::copy(v, v + K, row);
}

// Sorts a row in place: the network above for short rows, insertion sort for
// longer ones, std::sort beyond.
inline void sort_row(std::uint16_t* row, std::size_t k) noexcept {
  switch (k) {
    case 0: case 1: return;
    case 2: return sort_short_row<2>(row);
    case 3: return sort_short_row<3>(row);
    case 4: return sort_short_row<4>(row);
    case 5: return sort_short_row<5>(row);
    case 6: return sort_short_row<6>(row);
    case 7: return sort_short_row<7>(row);
    case 8: return sort_short_row<8>(row);
    default: break;
  }
  if (k > 32) return std::sort(row, row + k);
  for (std::size_t i = 1; i < k; ++i) {
    const std::uint16_t v = row[i];
    std::size_t j = i;
    for (; j > 0 && row[j - 1] > v; --j) row[j] = row[j - 1];
    row[j] = v;
  }
}

// Ranks rows [begin, end) into out, or returns the first malformed row's
// index (end when every row is well formed). Rows other than sorted uint16
// ones are copied block by block into a buffer, converted and sorted there;
// the input is never modified.
template <combinatorial::Order O, typename Vertex, typename Coefficients>
std::size_t rank_range(const Vertex* combs, std::size_t begin, std::size_t end, std::size_t k, std::uint64_t n,
                       bool assume_sorted, Coefficients coef, std::int64_t* out) {
  using combinatorial::RowCheck, combinatorial::RowLayout;
  const std::size_t block_rows = std::max<std::size_t>(1, 8192 / k);
  std::vector<std::uint16_t> buffer;
  for (std::size_t at = begin; at < end; at += block_rows) {
    const std::size_t rows = std::min(block_rows, end - at);
    const Vertex* const block = combs + at * k;
    const std::uint16_t* vertices = nullptr;
    if constexpr (std::is_same_v<Vertex, std::uint16_t>) {
      vertices = block;
    }
    if (!std::is_same_v<Vertex, std::uint16_t> || !assume_sorted) {
      buffer.resize(rows * k);
      bool in_range = true;
      for (std::size_t i = 0; i < rows * k; ++i) {
        const Vertex v = block[i];
        in_range &= static_cast<std::uint64_t>(v) < n;  // negative values wrap above n
        buffer[i] = static_cast<std::uint16_t>(v);
      }
      if (!in_range) return at + first_bad_in_block(block, rows, k, n, assume_sorted);
      if (!assume_sorted) {
        for (std::size_t r = 0; r < rows; ++r) sort_row(buffer.data() + r * k, k);
      }
      vertices = buffer.data();
    }
    if (!combinatorial::rows_well_formed<RowCheck::increasing>(vertices, rows * k, k, n)) {
      return at + first_bad_in_block(block, rows, k, n, assume_sorted);
    }
    combinatorial::rank_rows_for_k<O, RowLayout::smallest_first>(vertices, rows, k, n, out + at, coef);
  }
  return end;
}

template <combinatorial::Order O, typename Vertex>
std::size_t rank_all(const Vertex* combs, std::size_t rows, std::size_t k, std::uint64_t n, bool assume_sorted,
                     std::int64_t* out, int workers) {
  using combinatorial::RankSource;
  const auto kk = static_cast<std::int64_t>(k);
  const auto rank_rows = [&](auto coef) {
    return first_offender(rows, workers, rank_grain, [&](std::size_t begin, std::size_t end) {
      return rank_range<O>(combs, begin, end, k, n, assume_sorted, coef, out);
    });
  };
  if (combinatorial::rank_source(O, n, k) == RankSource::table) {
    const auto table = table_covering(combinatorial::rank_table_n(O, n), kk);
    return rank_rows(combinatorial::TableCoefficients::of(table->view()));
  }
  return rank_rows(combinatorial::CheckedCoefficients{});
}

// The ranks of the rows along the last axis of combs, in either order: int64
// when C(n, k) <= 2^63, uint64 above. A malformed row fails the whole call.
inline py::array rank(const py::array& combs_arg, std::uint64_t n, const std::string& order_name, bool assume_sorted,
                      int workers) {
  const combinatorial::Order order = parse_order(order_name);
  const bool signed_vertices = py::isinstance<py::array_t<std::int64_t>>(combs_arg);
  const py::array combs = signed_vertices ? readable<std::int64_t>(combs_arg, "combs", "uint16 or int64")
                                          : readable<std::uint16_t>(combs_arg, "combs", "uint16 or int64");
  if (combs.ndim() < 1) throw std::invalid_argument("combs must have at least one axis, the vertices of a row");
  check_vertex_count(n);
  const auto k = static_cast<std::size_t>(combs.shape(combs.ndim() - 1));
  const std::uint64_t count = combination_count(n, k);
  const std::vector<py::ssize_t> shape = shape_of(combs, 1);
  std::size_t rows = 1;
  for (const py::ssize_t extent : shape) rows *= static_cast<std::size_t>(extent);
  py::array result = count <= (std::uint64_t{1} << 63) ? py::array(py::dtype::of<std::int64_t>(), shape)
                                                      : py::array(py::dtype::of<std::uint64_t>(), shape);
  // Ranks below 2^64 are written with the bits of int64 either way.
  auto* const out = static_cast<std::int64_t*>(result.mutable_data());
  if (k == 0) {
    std::fill(out, out + rows, 0);
    return result;
  }
  std::size_t bad = rows;
  {
    const py::gil_scoped_release unlocked;
    const auto run = [&](const auto* vertices) {
      return order == combinatorial::Order::colex
                 ? rank_all<combinatorial::Order::colex>(vertices, rows, k, n, assume_sorted, out, workers)
                 : rank_all<combinatorial::Order::lex>(vertices, rows, k, n, assume_sorted, out, workers);
    };
    bad = signed_vertices ? run(static_cast<const std::int64_t*>(combs.data()))
                          : run(static_cast<const std::uint16_t*>(combs.data()));
  }
  if (bad != rows) {
    const auto describe = [&](const auto* vertices) {
      const auto* row = vertices + bad * k;
      std::string text = "[";
      for (std::size_t j = 0; j < k; ++j) {
        if (j) text += ", ";
        text += to_string(row[j]);
      }
      return text + "], " + row_problem(row, k, n, assume_sorted);
    };
    throw std::invalid_argument("row " + format_index(bad, shape) + " of combs, " +
                                (signed_vertices ? describe(static_cast<const std::int64_t*>(combs.data()))
                                                 : describe(static_cast<const std::uint16_t*>(combs.data()))));
  }
  return result;
}

}  // namespace core
