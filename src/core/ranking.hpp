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
#include "combinatorial/family.hpp"
#include "combinatorial/messages.hpp"
#include "combinatorial/permutations.hpp"
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
[[noreturn]] inline void throw_bad_rank(const ArrayView& ranks, std::size_t bad, const Rows& rows,
                                        const Origin& origin) {
  const Value value = value_at(ranks, bad);
  // "{}" holds the place of the index, which the raised error fills in.
  throw_at(ErrorKind::value,
           combinatorial::rank_outside_text(value.text(), value.negative, "{}", rows.count_name(),
                                            count_text(rows.count)),
           bad, ranks.shape, origin);
}

// Permutations have one order, itertools'; refuses the other.
inline void check_order(Family family, Order order) {
  if (family == Family::permutations && order != Order::lex) {
    throw std::invalid_argument("permutations are ranked in lex order only, the order of itertools.permutations");
  }
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

// Calls body(unrank) with unrank(ranks, count, out), which writes the rows
// of `count` checked ranks of the family (rows of k vertices of type V,
// multisets and subsets smallest first) and may be called from several
// threads at once. What a batch of `size` ranks is worth, the coefficient
// table and the bucket index, is built once, here: the tuned kernels for
// the narrow widths, unrank_any over a table or computed coefficients
// otherwise. Multisets are the subsets of n + k - 1, shifted back batch by
// batch while the rows are in cache; permutations have a kernel of their own.
template <typename R, typename V, typename Body>
void with_unranker(const Rows& rows, Order order, std::size_t size, Body&& body) {
  const std::uint64_t k = rows.k;
  const auto nn = static_cast<std::int64_t>(rows.kernel_n), kk = static_cast<std::int64_t>(k);
  if (rows.family == Family::permutations) {
    return body([&](const R* ranks, std::size_t count, V* out) {
      combinatorial::unrank_permutation_rows<R>(ranks, count, nn, kk, out);
    });
  }
  const auto finish = [&](V* out, std::size_t count) {
    if (rows.family == Family::multisets) {
      combinatorial::shift_rows<combinatorial::Shift::to_multisets>(out, count, k);
    }
  };
  if constexpr (combinatorial::is_narrow<R, V>) {
    const auto table = table_covering(nn, combinatorial::unrank_table_k(nn, kk));
    std::shared_ptr<const combinatorial::ColexBucketIndex> index;
    if (combinatorial::unrank_wants_index(nn, kk, size)) index = index_for(table->view(), nn, kk);
    body([&](const Rank* ranks, std::size_t count, Vertex* out) {
      combinatorial::with_order(order, [&](auto o) {
        combinatorial::unrank_batch<o.value, RowLayout::smallest_first>(table->view(), index.get(), ranks, count, nn,
                                                                        kk, out);
      });
      finish(out, count);
    });
  } else {
    with_coefficients<R>(nn, kk, [&](const auto& source) {
      const auto index = wide_index_for<R, V>(source, nn, kk, size);
      body([&](const R* ranks, std::size_t count, V* out) {
        combinatorial::with_order(order, [&](auto o) {
          combinatorial::unrank_batch_any<o.value, RowLayout::smallest_first>(source, index.get(), ranks, count, nn,
                                                                              kk, out);
        });
        finish(out, count);
      });
    });
  }
}

// Unranks checked ranks, read at width R, into rows of the family.
template <typename R, typename V>
void unrank_family(const ArrayView& ranks, const Rows& rows, Order order, V* out, int workers) {
  if (ranks.size == 0 || rows.k == 0) return;
  const RankReader<R> reader(ranks);
  with_unranker<R, V>(rows, order, ranks.size, [&](const auto& unrank) {
    parallel_for(ranks.size, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
      reader.for_blocks(begin, end, [&](const R* block, std::size_t count, std::size_t at) {
        unrank(block, count, out + at * rows.k);
      });
    });
  });
}

// The k vertices of each rank, smallest first, into `out` or a new uint16
// (n <= 65536) or uint32 array of shape ranks.shape + (k,). Checks
// everything before the first write.
inline nb::object unrank(nb::handle family_arg, nb::handle ranks_arg, nb::handle n_arg, nb::handle k_arg,
                         nb::handle order_arg, nb::handle out_arg, nb::handle workers_arg, nb::handle origin_arg) {
  if (!is_readable(ranks_arg)) return not_implemented();
  const Family family = parse_family(family_arg);
  const Order order = parse_order(order_arg);
  check_order(family, order);
  const Rows rows = parse_rows(family, n_arg, k_arg, KBound::at_most_n, Counting::any);
  const std::uint64_t k = rows.k;
  const int workers = parse_workers(workers_arg);
  const Origin origin = parse_origin(origin_arg);
  nb::object keep[2];
  ArrayView ranks = view_of(ranks_arg, "ranks", keep);
  rows.require_countable();
  const WideRank count = rows.count;
  Shape shape = ranks.shape;
  shape.push_back(static_cast<npy_intp>(k));
  return combinatorial::with_widths(needs_wide_ranks(count), rows.kernel_n, [&](auto rank_zero, auto vertex_zero) {
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
      if (bad == ranks.size) unrank_family<R>(ranks, rows, order, dest, workers);
    }
    if (bad != ranks.size) throw_bad_rank(ranks, bad, rows, origin);
    return out;
  });
}

// What is wrong with a row of k vertices of a family as given; empty when
// nothing. Subsets and permutations must not repeat a vertex; with
// assume_sorted, subsets must be strictly increasing and multisets
// non-decreasing, as given.
inline std::string row_problem(const std::vector<Value>& row, std::uint64_t n, Family family, bool assume_sorted) {
  for (const Value& v : row) {
    if (v.negative) return "has vertex " + v.text() + ", which is negative";
    if (v.magnitude >= n) return combinatorial::vertex_not_below_text(v.text(), n);
  }
  std::vector<std::uint64_t> sorted;
  for (const Value& v : row) sorted.push_back(v.magnitude);
  std::sort(sorted.begin(), sorted.end());
  const auto repeat = std::adjacent_find(sorted.begin(), sorted.end());
  if (family != Family::multisets && repeat != sorted.end()) {
    return combinatorial::repeated_vertex_text(to_string(*repeat));
  }
  if (assume_sorted) {
    for (std::size_t j = 0; j < row.size(); ++j) {
      if (row[j].magnitude != sorted[j]) {
        return family == Family::multisets ? "is not non-decreasing" : "is not strictly increasing";
      }
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
// formed). Sorted C-contiguous rows of subsets are read in place; others are
// gathered block by block into a buffer, checked against n, and there sorted
// (subsets and multisets), shifted onto the subsets of n + k - 1
// (multisets), and ranked. The input is never modified. Ranks go out as Out:
// int64 holding a Rank's bits, or StoredWideRank.
template <Family F, Order O, typename R, typename V, typename Coefficients, typename Out>
std::size_t rank_range(const ArrayView& combs, std::size_t begin, std::size_t end, const Rows& rows,
                       bool assume_sorted, Coefficients coef, Out* out) {
  using combinatorial::RowCheck;
  const std::size_t k = rows.k;
  const std::uint64_t n = rows.n;
  const bool in_place = F == Family::subsets && assume_sorted && combs.is_plain<V>();
  const std::size_t block_rows = std::max<std::size_t>(1, block_items / k);
  std::vector<std::uint64_t> wide;  // the elements as gathered
  std::vector<V> narrow;
  for (std::size_t at = begin; at < end; at += block_rows) {
    const std::size_t count = std::min(block_rows, end - at);
    const V* vertices = reinterpret_cast<const V*>(combs.data) + at * k;
    if (!in_place) {
      wide.resize(count * k);
      narrow.resize(count * k);
      gather(combs, at * k, count * k, wide.data());
      bool in_range = true;
      for (std::size_t i = 0; i < count * k; ++i) {
        in_range &= wide[i] < n;  // negatives were made 2^64 - 1
        narrow[i] = static_cast<V>(wide[i]);
      }
      if (!in_range) return at;  // the exact row is found afterwards
      if (F != Family::permutations && !assume_sorted) {
        for (std::size_t r = 0; r < count; ++r) sort_row(narrow.data() + r * k, k);
      }
      if constexpr (F == Family::multisets) {
        combinatorial::shift_rows<combinatorial::Shift::to_subsets>(narrow.data(), count, k);
      }
      vertices = narrow.data();
    }
    if constexpr (F == Family::permutations) {
      if (k > n) return at;  // no row of more than n distinct vertices
      const std::size_t repeat = combinatorial::rank_permutation_rows<R>(
          vertices, count, static_cast<std::int64_t>(n), static_cast<std::int64_t>(k), out + at);
      if (repeat != count) return at + repeat;
    } else {
      if (!combinatorial::rows_well_formed<RowCheck::increasing>(vertices, count * k, k, rows.kernel_n)) return at;
      combinatorial::rank_rows_for_k<O, RowLayout::smallest_first>(vertices, count, k, rows.kernel_n, out + at, coef);
    }
  }
  return end;
}

// Ranks every row at rank width R and vertex width V: the narrow widths
// read coefficients as rank_source says, others from a table or computed;
// permutations need none.
template <Family F, Order O, typename R, typename V, typename Out>
std::size_t rank_all(const ArrayView& combs, std::size_t size, const Rows& rows, bool assume_sorted, Out* out,
                     int workers) {
  using combinatorial::RankSource;
  const auto rank_rows = [&](auto coef) {
    return first_offender(size, workers, rank_grain, [&](std::size_t begin, std::size_t end) {
      return rank_range<F, O, R, V>(combs, begin, end, rows, assume_sorted, coef, out);
    });
  };
  const std::uint64_t n = rows.kernel_n, k = rows.k;
  if constexpr (F == Family::permutations) {
    return rank_rows(nullptr);
  } else if constexpr (combinatorial::is_narrow<R, V>) {
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

// The ranks of the rows along the last axis of combs, rows of the family,
// in either order, in the dtype parse_rank_dtype gives. A malformed row
// fails the whole call.
inline nb::object rank(nb::handle family_arg, nb::handle combs_arg, nb::handle n_arg, nb::handle order_arg,
                       nb::handle sorted_arg, nb::handle dtype_arg, nb::handle workers_arg, nb::handle origin_arg) {
  if (!is_readable(combs_arg)) return not_implemented();
  const Family family = parse_family(family_arg);
  const Order order = parse_order(order_arg);
  check_order(family, order);
  const bool assume_sorted = parse_flag(sorted_arg, "assume_sorted");
  if (family == Family::permutations && assume_sorted) {
    throw std::invalid_argument("assume_sorted does not apply to permutations, whose rows are in any order");
  }
  // n first, as before the array is looked at.
  parse_vertex_count(n_arg);
  const int workers = parse_workers(workers_arg);
  const Origin origin = parse_origin(origin_arg);
  nb::object keep[2];
  const ArrayView combs = view_of(combs_arg, "combs", keep);
  if (combs.ndim() < 1) throw std::invalid_argument("combs must have at least one axis, the last holding each combination");
  const auto k = static_cast<std::size_t>(combs.shape.back());
  const Rows rows = parse_rows(family, n_arg, nb::int_(k), KBound::any);
  const RankDtype dtype = parse_rank_dtype(dtype_arg, rows);
  const Shape shape(combs.shape.begin(), combs.shape.end() - 1);
  std::size_t size = 1;
  for (const npy_intp extent : shape) size *= static_cast<std::size_t>(extent);
  RankResult result(dtype, shape, "the ranks of " + grouped(size) + " rows");
  std::size_t bad = size;
  if (k == 0) {
    result.write([&](auto* out) { std::fill(out, out + size, std::remove_pointer_t<decltype(out)>{}); });
    return result.finish();
  }
  combinatorial::with_widths(needs_wide_ranks(rows.count), rows.kernel_n, [&](auto rank_zero, auto vertex_zero) {
    using R = decltype(rank_zero);
    using V = decltype(vertex_zero);
    result.write([&](auto* out) {
      using Out = std::remove_pointer_t<decltype(out)>;
      if constexpr (sizeof(Out) >= sizeof(R)) {  // the dtype rule never gives narrower
        const nb::gil_scoped_release unlocked;
        bad = combinatorial::with_family(family, [&](auto f) {
          return combinatorial::with_order(order, [&](auto o) {
            return rank_all<decltype(f)::value, o.value, R, V>(combs, size, rows, assume_sorted, out, workers);
          });
        });
      }
    });
  });
  if (bad != size) {
    // The block that failed holds the first malformed row.
    const auto problem = [&](std::size_t row) { return row_problem(row_values(combs, row, k), rows.n, family, assume_sorted); };
    for (; bad < size && problem(bad).empty(); ++bad) {
    }
    if (bad == size) throw std::logic_error("rank: a malformed row was detected but not found");
    const std::vector<Value> row = row_values(combs, bad, k);
    std::string text = std::string("row {} of ") + (family == Family::permutations ? "rows" : "combs") + ", [";
    for (std::size_t j = 0; j < k; ++j) text += (j ? ", " : "") + row[j].text();
    throw_at(ErrorKind::value, text + "], " + problem(bad), bad, shape, origin);
  }
  return result.finish();
}

}  // namespace core
