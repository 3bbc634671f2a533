// faces and cofaces for the package: the ranks of the (k - 1)-subsets inside
// and the (k + 1)-subsets around each k-subset, from its rank. Each rank is
// unranked once, block by block, and its faces or cofaces follow from
// differences of coefficients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

inline constexpr std::size_t faces_grain = std::size_t{1} << 14;

template <Neighbours Which, Order O, typename Coefficients>
void neighbours_range(const combinatorial::TableView& table, const combinatorial::ColexBucketIndex* index,
                      const RankReader& reader, std::size_t begin, std::size_t end, std::int64_t n, std::int64_t k,
                      Coefficients coef, Rank* out) {
  constexpr std::size_t block = 1024;
  const auto width = static_cast<std::size_t>(Which == Neighbours::faces ? k : n - k);
  std::vector<Vertex> rows(block * static_cast<std::size_t>(k));
  reader.for_blocks(begin, end, [&](const Rank* ranks, std::size_t size, std::size_t first) {
    for (std::size_t at = 0; at < size; at += block) {
      const std::size_t count = std::min(block, size - at);
      combinatorial::unrank_batch<O, RowLayout::smallest_first>(table, index, ranks + at, count, n, k, rows.data());
      Rank* const dest = out + (first + at) * width;
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

template <Neighbours Which, Order O>
void neighbours_all(const RankReader& reader, std::size_t size, std::int64_t n, std::int64_t k, int workers,
                    Rank* out) {
  const auto unrank_table = table_covering(n, combinatorial::unrank_table_k(n, k));
  std::shared_ptr<const combinatorial::ColexBucketIndex> index;
  if (combinatorial::unrank_wants_index(n, k, size)) index = index_for(unrank_table->view(), n, k);
  // Coefficients up to C(m, k + 1) from a table where one fits, computed otherwise.
  const auto run = [&](auto coef) {
    parallel_for(size, workers, faces_grain, [&](std::size_t begin, std::size_t end) {
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

// The ranks, in the same order, of the faces (Which = faces: k columns, the
// j-th dropping the j-th smallest vertex) or cofaces (n - k columns, the j-th
// adding the j-th smallest missing vertex) of each k-subset rank: int64 when
// C(n, k -/+ 1) <= 2^63, uint64 above.
template <Neighbours Which>
nb::object neighbours(nb::handle ranks_arg, nb::handle n_arg, nb::handle k_arg, nb::handle order_arg,
                      nb::handle workers_arg, nb::handle origin_arg) {
  const Order order = parse_order(order_arg);
  const auto [n, k] = parse_n_k(n_arg, k_arg);
  const int workers = parse_workers(workers_arg);
  const Origin origin = parse_origin(origin_arg);
  const ArrayView ranks = view_of(ranks_arg, "ranks");
  const std::uint64_t count = combination_count(n, k);
  // The size of the subsets in the result, and so the rule for its dtype.
  constexpr bool faces = Which == Neighbours::faces;
  const std::uint64_t result_k = faces ? k - 1 : k + 1;
  const std::uint64_t result_count = faces && k == 0 ? 0 : combination_count(n, result_k);
  const std::uint64_t width = faces ? k : n - k;
  Shape shape = ranks.shape;
  shape.push_back(static_cast<npy_intp>(width));
  std::uint64_t cells = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(ranks.size), width, &cells)) cells = ~std::uint64_t{0};
  check_memory(cells, sizeof(Rank),
               "the " + to_string(width) + (faces ? " faces of " : " cofaces of ") + to_string(ranks.size) + " ranks");
  nb::object result = result_count <= (std::uint64_t{1} << 63) ? new_array<std::int64_t>(shape) : new_array<Rank>(shape);
  // Written as Rank either way: below 2^63 its bits are the int64's.
  Rank* const out = data_of<Rank>(result);
  {
    const nb::gil_scoped_release unlocked;
    check_ranks(ranks, n, k, count, workers, origin);
    if (ranks.size != 0 && width != 0) {
      const RankReader reader(ranks);
      const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
      combinatorial::with_order(order, [&](auto o) {
        neighbours_all<Which, o.value>(reader, ranks.size, nn, kk, workers, out);
      });
    }
  }
  return result;
}

}  // namespace core
