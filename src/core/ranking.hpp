// rank and unrank for the package: checks, then the kernels over ranges of
// the batch on several threads, with the interpreter lock released.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "arguments.hpp"
#include "caches.hpp"
#include "combinatorial/messages.hpp"
#include "combinatorial/rank.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"
#include "reading.hpp"

namespace core {

using combinatorial::Order;
using combinatorial::RowLayout;

// Items per thread below which a batch is not split: starting a thread costs
// tens of microseconds.
inline constexpr std::size_t unrank_grain = std::size_t{1} << 15;
inline constexpr std::size_t rank_grain = std::size_t{1} << 15;

inline std::string rows_text(std::uint64_t rows, std::uint64_t k) {
  return grouped(rows) + " rows of " + to_string(k) + " vertices";
}

// The index of the first rank outside [0, C(n, k)), or ranks.size. Ranks
// are read at width R, which holds count.
template <typename R>
std::size_t first_bad_rank(const ArrayView& ranks, WideRank count, int workers) {
  const RankReader<R> reader(ranks);
  return first_offender(ranks.size, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
    return reader.first_outside(begin, end, static_cast<R>(count));
  });
}

// Refuses rank `bad`, naming it as passed and its index. Needs the
// interpreter lock (the rank may be a Python int).
[[noreturn]] inline void throw_bad_rank(const ArrayView& ranks, std::size_t bad, std::uint64_t n, std::uint64_t k,
                                        WideRank count, const Origin& origin) {
  const Value value = value_at(ranks, bad);
  // "{}" holds the place of the index, which the raised error fills in.
  throw_at(ErrorKind::value,
           combinatorial::rank_outside_text(value.text(), value.negative, "{}", n, k, count_text(count)), bad,
           ranks.shape, origin);
}

// The bucket index for a batch of `size` ranks at widths R and V, where the
// source is a table and the batch is worth one; null otherwise.
template <typename R, typename V, typename Source>
std::shared_ptr<const combinatorial::BasicColexBucketIndex<R, V>> wide_index_for(const Source& source, std::int64_t n,
                                                                                std::int64_t k, std::size_t size) {
  if constexpr (combinatorial::HasRows<Source>) {
    if (combinatorial::unrank_any_wants_index<R>(n, k, size)) {
      const combinatorial::BasicTableView<combinatorial::CellOf<R>> table{
          source.cells, source.stride, n, k};  // the rows it reads, within what the source covers
      return index_for<combinatorial::BasicColexBucketIndex<R, V>>(table, n, k);
    }
  }
  return nullptr;
}

// Unranks checked ranks, read at width R, into rows of k vertices of type
// V, smallest first: the tuned kernels for the narrow widths, unrank_any
// over a table or computed coefficients otherwise.
template <typename R, typename V>
void unrank_rows(const ArrayView& ranks, std::uint64_t n, std::uint64_t k, Order order, V* out, int workers) {
  const std::size_t size = ranks.size;
  if (size == 0 || k == 0) return;
  const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
  const RankReader<R> reader(ranks);
  if constexpr (combinatorial::is_narrow<R, V>) {
    const auto table = table_covering(nn, combinatorial::unrank_table_k(nn, kk));
    std::shared_ptr<const combinatorial::ColexBucketIndex> index;
    if (combinatorial::unrank_wants_index(nn, kk, size)) index = index_for(table->view(), nn, kk);
    combinatorial::with_order(order, [&](auto o) {
      parallel_for(size, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
        reader.for_blocks(begin, end, [&](const Rank* block, std::size_t count, std::size_t at) {
          combinatorial::unrank_batch<o.value, RowLayout::smallest_first>(table->view(), index.get(), block, count,
                                                                          nn, kk, out + at * k);
        });
      });
    });
  } else {
    with_coefficients<R>(nn, kk, [&](const auto& source) {
      const auto index = wide_index_for<R, V>(source, nn, kk, size);
      combinatorial::with_order(order, [&](auto o) {
        parallel_for(size, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
          reader.for_blocks(begin, end, [&](const R* block, std::size_t count, std::size_t at) {
            combinatorial::unrank_batch_any<o.value, RowLayout::smallest_first>(source, index.get(), block, count,
                                                                                nn, kk, out + at * k);
          });
        });
      });
    });
  }
}

// The k vertices of each rank, smallest first, into `out` or a new uint16
// (n <= 65536) or uint32 array of shape ranks.shape + (k,). Checks
// everything before the first write.
inline nb::object unrank(nb::handle ranks_arg, nb::handle n_arg, nb::handle k_arg, nb::handle order_arg,
                         nb::handle out_arg, nb::handle workers_arg, nb::handle origin_arg) {
  if (!is_readable(ranks_arg)) return not_implemented();
  const Order order = parse_order(order_arg);
  const auto [n, k] = parse_n_k(n_arg, k_arg);
  const int workers = parse_workers(workers_arg);
  const Origin origin = parse_origin(origin_arg);
  nb::object keep[2];
  ArrayView ranks = view_of(ranks_arg, "ranks", keep);
  const WideRank count = combination_count(n, k);
  Shape shape = ranks.shape;
  shape.push_back(static_cast<npy_intp>(k));
  return combinatorial::with_widths(needs_wide_ranks(count), n, [&](auto rank_zero, auto vertex_zero) {
    using R = decltype(rank_zero);
    using V = decltype(vertex_zero);
    nb::object out = result_array<V>(out_arg, shape, rows_text(ranks.size, k));
    // Ranks that out overlaps would be overwritten before they are read.
    nb::object copy;
    if (!out_arg.is_none() && ranks.objects == nullptr &&
        may_overlap(reinterpret_cast<PyArrayObject*>(out.ptr()), reinterpret_cast<PyArrayObject*>(ranks_arg.ptr()))) {
      copy = nb::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(ranks_arg.ptr()), NPY_CORDER));
      if (!copy.is_valid()) throw nb::python_error();
      ranks = view_of(copy, "ranks");
    }
    V* const dest = data_of<V>(out);
    std::size_t bad = ranks.size;
    {
      const nb::gil_scoped_release unlocked;
      bad = first_bad_rank<R>(ranks, count, workers);
      if (bad == ranks.size) unrank_rows<R>(ranks, n, k, order, dest, workers);
    }
    if (bad != ranks.size) throw_bad_rank(ranks, bad, n, k, count, origin);
    return out;
  });
}

// What is wrong with a row of k vertices as given; empty when nothing.
// Sorted rows must be strictly increasing; others are sorted first.
inline std::string row_problem(const std::vector<Value>& row, std::uint64_t n, bool assume_sorted) {
  for (const Value& v : row) {
    if (v.negative) return "has vertex " + v.text() + ", which is negative";
    if (v.magnitude >= n) return combinatorial::vertex_not_below_text(v.text(), n);
  }
  std::vector<std::uint64_t> sorted;
  for (const Value& v : row) sorted.push_back(v.magnitude);
  std::sort(sorted.begin(), sorted.end());
  const auto repeat = std::adjacent_find(sorted.begin(), sorted.end());
  if (repeat != sorted.end()) return combinatorial::repeated_vertex_text(to_string(*repeat));
  if (assume_sorted) {
    for (std::size_t j = 0; j < row.size(); ++j) {
      if (row[j].magnitude != sorted[j]) return "is not strictly increasing";
    }
  }
  return {};
}

// Sorts a row of K vertices in place by compare-exchanges that compile to
// conditional moves: rows in random order would mispredict most branches of
// a comparison sort.
template <std::size_t K, typename V>
void sort_short_row(V* row) noexcept {
  V v[K];
  std::copy(row, row + K, v);
  for (std::size_t pass = 0; pass < K; ++pass) {
    for (std::size_t j = pass % 2; j + 1 < K; j += 2) {
      const V a = v[j], b = v[j + 1];
      const bool swap = b < a;
      v[j] = swap ? b : a;
      v[j + 1] = swap ? a : b;
    }
  }
  std::copy(v, v + K, row);
}

// Sorts a row in place: the network above for short rows, insertion sort for
// longer ones, std::sort beyond.
template <typename V>
void sort_row(V* row, std::size_t k) noexcept {
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
    const V v = row[i];
    std::size_t j = i;
    for (; j > 0 && row[j - 1] > v; --j) row[j] = row[j - 1];
    row[j] = v;
  }
}

// Ranks rows [begin, end) of `combs` (rows of k along its last axis) into
// out, or returns the first malformed row's index (end when all are well
// formed). Sorted C-contiguous rows of V are read in place; others are
// gathered block by block into a buffer, checked, sorted there. The input
// is never modified. Ranks go out as Out: int64 holding a Rank's bits, or
// StoredWideRank.
template <Order O, typename V, typename Coefficients, typename Out>
std::size_t rank_range(const ArrayView& combs, std::size_t begin, std::size_t end, std::size_t k, std::uint64_t n,
                       bool assume_sorted, Coefficients coef, Out* out) {
  using combinatorial::RowCheck;
  const bool in_place = assume_sorted && combs.is_plain<V>();
  const std::size_t block_rows = std::max<std::size_t>(1, block_items / k);
  std::vector<std::uint64_t> wide;  // the elements as gathered
  std::vector<V> narrow;
  for (std::size_t at = begin; at < end; at += block_rows) {
    const std::size_t rows = std::min(block_rows, end - at);
    const V* vertices = reinterpret_cast<const V*>(combs.data) + at * k;
    if (!in_place) {
      wide.resize(rows * k);
      narrow.resize(rows * k);
      gather(combs, at * k, rows * k, wide.data());
      bool in_range = true;
      for (std::size_t i = 0; i < rows * k; ++i) {
        in_range &= wide[i] < n;  // negatives were made 2^64 - 1
        narrow[i] = static_cast<V>(wide[i]);
      }
      if (!in_range) return at;  // the exact row is found afterwards
      if (!assume_sorted) {
        for (std::size_t r = 0; r < rows; ++r) sort_row(narrow.data() + r * k, k);
      }
      vertices = narrow.data();
    }
    if (!combinatorial::rows_well_formed<RowCheck::increasing>(vertices, rows * k, k, n)) return at;
    combinatorial::rank_rows_for_k<O, RowLayout::smallest_first>(vertices, rows, k, n, out + at, coef);
  }
  return end;
}

// Ranks every row at rank width R and vertex width V: the narrow widths
// read coefficients as rank_source says, others from a table or computed.
template <Order O, typename R, typename V, typename Out>
std::size_t rank_all(const ArrayView& combs, std::size_t rows, std::size_t k, std::uint64_t n, bool assume_sorted,
                     Out* out, int workers) {
  using combinatorial::RankSource;
  const auto rank_rows = [&](auto coef) {
    return first_offender(rows, workers, rank_grain, [&](std::size_t begin, std::size_t end) {
      return rank_range<O, V>(combs, begin, end, k, n, assume_sorted, coef, out);
    });
  };
  if constexpr (combinatorial::is_narrow<R, V>) {
    if (combinatorial::rank_source<O>(n, k) == RankSource::table) {
      const auto table = table_covering(combinatorial::rank_table_n<O>(n), static_cast<std::int64_t>(k));
      return rank_rows(combinatorial::TableCoefficients::of(table->view()));
    }
    return rank_rows(combinatorial::CheckedCoefficients{});
  } else {
    return with_coefficients<R>(static_cast<std::int64_t>(n), static_cast<std::int64_t>(k),
                                [&](const auto& source) { return rank_rows(source); });
  }
}

// The vertices of row `row` of combs as given.
inline std::vector<Value> row_values(const ArrayView& combs, std::size_t row, std::size_t k) {
  std::vector<Value> values;
  for (std::size_t j = 0; j < k; ++j) values.push_back(value_at(combs, row * k + j));
  return values;
}

// The ranks of the rows along the last axis of combs, in either order, in
// the dtype parse_rank_dtype gives. A malformed row fails the whole call.
inline nb::object rank(nb::handle combs_arg, nb::handle n_arg, nb::handle order_arg, nb::handle sorted_arg,
                       nb::handle dtype_arg, nb::handle workers_arg, nb::handle origin_arg) {
  if (!is_readable(combs_arg)) return not_implemented();
  const Order order = parse_order(order_arg);
  const std::uint64_t n = parse_vertex_count(n_arg);
  const bool assume_sorted = parse_flag(sorted_arg, "assume_sorted");
  const int workers = parse_workers(workers_arg);
  const Origin origin = parse_origin(origin_arg);
  nb::object keep[2];
  const ArrayView combs = view_of(combs_arg, "combs", keep);
  if (combs.ndim() < 1) throw std::invalid_argument("combs must have at least one axis, the last holding each combination");
  const auto k = static_cast<std::size_t>(combs.shape.back());
  const WideRank count = combination_count(n, k);
  const RankDtype dtype = parse_rank_dtype(dtype_arg, count, n, k);
  const Shape shape(combs.shape.begin(), combs.shape.end() - 1);
  std::size_t rows = 1;
  for (const npy_intp extent : shape) rows *= static_cast<std::size_t>(extent);
  RankResult result(dtype, shape, "the ranks of " + grouped(rows) + " rows");
  std::size_t bad = rows;
  if (k == 0) {
    result.write([&](auto* out) { std::fill(out, out + rows, std::remove_pointer_t<decltype(out)>{}); });
    return result.finish();
  }
  combinatorial::with_widths(needs_wide_ranks(count), n, [&](auto rank_zero, auto vertex_zero) {
    using R = decltype(rank_zero);
    using V = decltype(vertex_zero);
    result.write([&](auto* out) {
      using Out = std::remove_pointer_t<decltype(out)>;
      if constexpr (sizeof(Out) >= sizeof(R)) {  // the dtype rule never gives narrower
        const nb::gil_scoped_release unlocked;
        bad = combinatorial::with_order(
            order, [&](auto o) { return rank_all<o.value, R, V>(combs, rows, k, n, assume_sorted, out, workers); });
      }
    });
  });
  if (bad != rows) {
    // The block that failed holds the first malformed row.
    for (; bad < rows && row_problem(row_values(combs, bad, k), n, assume_sorted).empty(); ++bad) {
    }
    if (bad == rows) throw std::logic_error("rank: a malformed row was detected but not found");
    const std::vector<Value> row = row_values(combs, bad, k);
    std::string text = "row {} of combs, [";
    for (std::size_t j = 0; j < k; ++j) text += (j ? ", " : "") + row[j].text();
    throw_at(ErrorKind::value, text + "], " + row_problem(row, n, assume_sorted), bad, shape, origin);
  }
  return result.finish();
}

}  // namespace core
