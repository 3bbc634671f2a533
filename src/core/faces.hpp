// faces and cofaces for the package: the ranks of the (k - 1)-subsets inside
// and the (k + 1)-subsets around each k-subset, from its rank. Each rank is
// unranked once, block by block, and its faces or cofaces follow from
// differences of coefficients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "arguments.hpp"
#include "caches.hpp"
#include "combinatorial/faces.hpp"
#include "combinatorial/rank.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"
#include "ranking.hpp"
#include "reading.hpp"

namespace core {

// Which of the two a call computes.
enum class Neighbours { faces, cofaces };

// Ranks per piece of work: 2^14, fewer where each has many cofaces, so that
// a piece stays short enough to notice an interrupt soon.
constexpr std::size_t faces_grain(std::uint64_t width) noexcept {
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(1 << 14, (1 << 22) / (width + 1))));
}

template <Neighbours Which, Order O, typename Coefficients, typename Out>
void neighbours_range(const combinatorial::TableView& table, const combinatorial::ColexBucketIndex* index,
                      const RankReader<>& reader, std::size_t begin, std::size_t end, std::int64_t n, std::int64_t k,
                      Coefficients coef, Out* out) {
  constexpr std::size_t block = 1024;
  const auto width = static_cast<std::size_t>(Which == Neighbours::faces ? k : n - k);
  std::vector<Vertex> rows(block * static_cast<std::size_t>(k));
  reader.for_blocks(begin, end, [&](const Rank* ranks, std::size_t size, std::size_t first) {
    for (std::size_t at = 0; at < size; at += block) {
      const std::size_t count = std::min(block, size - at);
      combinatorial::unrank_batch<O, RowLayout::smallest_first>(table, index, ranks + at, count, n, k, rows.data());
      Out* const dest = out + (first + at) * width;
      if constexpr (Which == Neighbours::faces) {
        combinatorial::face_ranks<O>(rows.data(), count, static_cast<std::size_t>(k), static_cast<std::uint64_t>(n),
                                     coef, dest);
      } else {
        combinatorial::coface_ranks<O>(rows.data(), count, static_cast<std::size_t>(k),
                                       static_cast<std::uint64_t>(n), coef, dest);
      }
    }
  });
}

// Cofaces of k-subsets with k > n - k, through complements: the complement
// of S + {v} is comp(S) - {v}, a face of comp(S), and in either order a
// subset's rank is C(n, size) - 1 minus its complement's. So each rank is
// flipped, its (n - k)-subset complement unranked, its faces ranked and
// flipped back: O(n - k) per row instead of O(n). Column j stays the one
// that adds (drops, for the complement) the j-th smallest missing vertex.
template <Order O, typename Coefficients, typename Out>
void cofaces_by_complement_range(const combinatorial::TableView& table, const combinatorial::ColexBucketIndex* index,
                                 const RankReader<>& reader, std::size_t begin, std::size_t end, std::int64_t n,
                                 std::int64_t k, Rank count, Rank coface_count, Coefficients coef, Out* out) {
  constexpr std::size_t block = 1024;
  const std::int64_t rest = n - k;
  const auto width = static_cast<std::size_t>(rest);
  std::vector<Vertex> rows(block * width);
  std::vector<Rank> flipped(block);
  reader.for_blocks(begin, end, [&](const Rank* ranks, std::size_t size, std::size_t first) {
    for (std::size_t at = 0; at < size; at += block) {
      const std::size_t rows_now = std::min(block, size - at);
      for (std::size_t i = 0; i < rows_now; ++i) flipped[i] = count - 1 - ranks[at + i];
      combinatorial::unrank_batch<O, RowLayout::smallest_first>(table, index, flipped.data(), rows_now, n, rest,
                                                                rows.data());
      Out* const dest = out + (first + at) * width;
      combinatorial::face_ranks<O>(rows.data(), rows_now, width, static_cast<std::uint64_t>(n), coef, dest);
      for (std::size_t i = 0; i < rows_now * width; ++i) {
        dest[i] = combinatorial::stored_rank<Out>(coface_count - 1 - combinatorial::loaded_rank<Rank>(dest[i]));
      }
    }
  });
}

template <Order O, typename Out>
void cofaces_by_complement(const RankReader<>& reader, std::size_t size, std::int64_t n, std::int64_t k, int workers,
                           Out* out) {
  const std::int64_t rest = n - k;
  const auto count = static_cast<Rank>(combinatorial::binom(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k)));
  const auto coface_count =
      static_cast<Rank>(combinatorial::binom(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k + 1)));
  const auto unrank_table = table_covering(n, combinatorial::unrank_table_k(n, rest));
  std::shared_ptr<const combinatorial::ColexBucketIndex> index;
  if (combinatorial::unrank_wants_index(n, rest, size)) index = index_for(unrank_table->view(), n, rest);
  const auto run = [&](auto coef) {
    parallel_for(size, workers, faces_grain(static_cast<std::uint64_t>(rest)), [&](std::size_t begin, std::size_t end) {
      cofaces_by_complement_range<O>(unrank_table->view(), index.get(), reader, begin, end, n, k, count, coface_count,
                                     coef, out);
    });
  };
  if (combinatorial::table_cells_needed(n, rest + 1) >= 0) {
    const auto table = table_covering(n, rest + 1);
    run(combinatorial::TableCoefficients::of(table->view()));
  } else {
    run(combinatorial::CheckedCoefficients{});
  }
}

template <Neighbours Which, Order O, typename Out>
void neighbours_all(const RankReader<>& reader, std::size_t size, std::int64_t n, std::int64_t k, int workers,
                    Out* out) {
  if (Which == Neighbours::cofaces && k > n - k) return cofaces_by_complement<O>(reader, size, n, k, workers, out);
  const auto unrank_table = table_covering(n, combinatorial::unrank_table_k(n, k));
  std::shared_ptr<const combinatorial::ColexBucketIndex> index;
  if (combinatorial::unrank_wants_index(n, k, size)) index = index_for(unrank_table->view(), n, k);
  // Coefficients up to C(m, k + 1) from a table where one fits, computed otherwise.
  const auto run = [&](auto coef) {
    const auto width = static_cast<std::uint64_t>(Which == Neighbours::faces ? k : n - k);
    parallel_for(size, workers, faces_grain(width), [&](std::size_t begin, std::size_t end) {
      neighbours_range<Which, O>(unrank_table->view(), index.get(), reader, begin, end, n, k, coef, out);
    });
  };
  if (combinatorial::table_cells_needed(n, k + 1) >= 0) {
    const auto table = table_covering(n, k + 1);
    run(combinatorial::TableCoefficients::of(table->view()));
  } else {
    run(combinatorial::CheckedCoefficients{});
  }
}

// The generic path, for wide ranks or vertices: blocks of ranks unranked
// into rows of V, their faces or cofaces ranked from the same source of
// coefficients. Cofaces of k > n - k go through the complements, as
// cofaces_by_complement does, which keeps the rows at n - k vertices
// (k may be near 2^32). Rows per block stay within 2^20 vertices.
template <Neighbours Which, Order O, typename R, typename V, typename Out>
void neighbours_any(const RankReader<R>& reader, std::size_t size, std::int64_t n, std::int64_t k, int workers,
                    Out* out) {
  const bool complement = Which == Neighbours::cofaces && k > n - k;
  const std::int64_t row_k = complement ? n - k : k;  // the vertices of the rows unranked
  const auto width = static_cast<std::size_t>(Which == Neighbours::faces ? k : n - k);
  const auto count = static_cast<R>(combinatorial::binom_wide(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k)));
  const auto coface_count =
      static_cast<R>(combinatorial::binom_wide(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k + 1)));
  const std::size_t block = std::max<std::size_t>(
      1, std::min<std::size_t>(1024, (std::size_t{1} << 20) / static_cast<std::size_t>(row_k + 1)));
  with_coefficients<R>(n, complement ? row_k : k + 1, [&](const auto& source) {
    const auto index = wide_index_for<R, V>(source, n, row_k, size);
    parallel_for(size, workers, faces_grain(width), [&](std::size_t begin, std::size_t end) {
      std::vector<V> rows(block * static_cast<std::size_t>(row_k));
      std::vector<R> flipped(complement ? block : 0);
      reader.for_blocks(begin, end, [&](const R* ranks, std::size_t in_block, std::size_t first) {
        for (std::size_t at = 0; at < in_block; at += block) {
          const std::size_t now = std::min(block, in_block - at);
          const R* these = ranks + at;
          if (complement) {
            // A subset's rank is C(n, size) - 1 minus its complement's, in either order.
            for (std::size_t i = 0; i < now; ++i) flipped[i] = count - 1 - these[i];
            these = flipped.data();
          }
          combinatorial::unrank_batch_any<O, RowLayout::smallest_first>(source, index.get(), these, now, n, row_k,
                                                                        rows.data());
          Out* const dest = out + (first + at) * width;
          if (Which == Neighbours::faces || complement) {
            combinatorial::face_ranks<O>(rows.data(), now, static_cast<std::size_t>(row_k),
                                         static_cast<std::uint64_t>(n), source, dest);
          } else {
            combinatorial::coface_ranks<O>(rows.data(), now, static_cast<std::size_t>(k),
                                           static_cast<std::uint64_t>(n), source, dest);
          }
          if (complement) {
            for (std::size_t i = 0; i < now * width; ++i) {
              dest[i] = combinatorial::stored_rank<Out>(coface_count - 1 - combinatorial::loaded_rank<R>(dest[i]));
            }
          }
        }
      });
    });
  });
}

// The ranks, in the same order, of the faces (Which = faces: k columns, the
// j-th dropping the j-th smallest vertex) or cofaces (n - k columns, the j-th
// adding the j-th smallest missing vertex) of each k-subset rank, in the
// dtype parse_rank_dtype gives for C(n, k -/+ 1).
template <Neighbours Which>
nb::object neighbours(nb::handle ranks_arg, nb::handle n_arg, nb::handle k_arg, nb::handle order_arg,
                      nb::handle dtype_arg, nb::handle workers_arg, nb::handle origin_arg) {
  if (!is_readable(ranks_arg)) return not_implemented();
  const Order order = parse_order(order_arg);
  const Rows rows = parse_rows(Family::subsets, n_arg, k_arg, KBound::at_most_n, Counting::any);
  const std::uint64_t n = rows.n, k = rows.k;
  const int workers = parse_workers(workers_arg);
  const Origin origin = parse_origin(origin_arg);
  nb::object keep[2];
  const ArrayView ranks = view_of(ranks_arg, "ranks", keep);
  rows.require_countable();
  const WideRank count = rows.count;
  // The size of the subsets in the result, and so the rule for its dtype.
  constexpr bool faces = Which == Neighbours::faces;
  const std::uint64_t result_k = faces ? (k == 0 ? 0 : k - 1) : k + 1;
  const WideRank result_count = faces && k == 0 ? 0 : combination_count(n, result_k);
  const RankDtype dtype =
      parse_rank_dtype(dtype_arg, result_count, count_name(Family::subsets, n, result_k), "combinations");
  const std::uint64_t width = faces ? k : n - k;
  Shape shape = ranks.shape;
  shape.push_back(static_cast<npy_intp>(width));
  RankResult result(dtype, shape,
                    "the " + to_string(width) + (faces ? " faces of " : " cofaces of ") + to_string(ranks.size) + " ranks");
  const bool wide = needs_wide_ranks(count) || needs_wide_ranks(result_count);
  std::size_t bad = ranks.size;
  combinatorial::with_widths(wide, n, [&](auto rank_zero, auto vertex_zero) {
    using R = decltype(rank_zero);
    using V = decltype(vertex_zero);
    result.write([&](auto* out) {
      {  // ranks computed at width R, results stored as Out, which holds them
        const nb::gil_scoped_release unlocked;
        bad = first_bad_rank<R>(ranks, count, workers);
        if (bad == ranks.size && ranks.size != 0 && width != 0) {
          const RankReader<R> reader(ranks);
          const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
          combinatorial::with_order(order, [&](auto o) {
            if constexpr (combinatorial::is_narrow<R, V>) {
              neighbours_all<Which, o.value>(reader, ranks.size, nn, kk, workers, out);
            } else {
              neighbours_any<Which, o.value, R, V>(reader, ranks.size, nn, kk, workers, out);
            }
          });
        }
      }
    });
  });
  if (bad != ranks.size) throw_bad_rank(ranks, bad, rows, origin);
  return result.finish();
}

}  // namespace core
