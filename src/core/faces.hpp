// faces and cofaces for the package: the ranks of the (k - 1)-subsets inside
// and the (k + 1)-subsets around each k-subset, from its rank. Each rank is
// unranked once, block by block, and its faces or cofaces follow from
// differences of coefficients.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "caches.hpp"
#include "combinatorial/faces.hpp"
#include "combinatorial/rank.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"
#include "ranking.hpp"

namespace core {

// Which of the two a call computes.
enum class Neighbours { faces, cofaces };

inline constexpr std::size_t faces_grain = std::size_t{1} << 14;

template <Neighbours Which, combinatorial::Order O, typename Coefficients>
void neighbours_range(const combinatorial::TableView& table, const combinatorial::ColexBucketIndex* index,
                      const std::uint64_t* ranks, std::size_t begin, std::size_t end, std::int64_t n, std::int64_t k,
                      Coefficients coef, std::uint64_t* out) {
  constexpr std::size_t block = 1024;
  const auto width = static_cast<std::size_t>(Which == Neighbours::faces ? k : n - k);
  std::vector<std::uint16_t> rows(block * static_cast<std::size_t>(k));
  for (std::size_t at = begin; at < end; at += block) {
    const std::size_t count = std::min(block, end - at);
    combinatorial::unrank_batch<O, combinatorial::RowLayout::smallest_first>(table, index, ranks + at, count, n, k,
                                                                             rows.data());
    if constexpr (Which == Neighbours::faces) {
      combinatorial::face_ranks<O>(rows.data(), count, static_cast<std::size_t>(k), static_cast<std::uint64_t>(n),
                                   coef, out + at * width);
    } else {
      combinatorial::coface_ranks<O>(rows.data(), count, static_cast<std::size_t>(k),
                                     static_cast<std::uint64_t>(n), coef, out + at * width);
    }
  }
}

template <Neighbours Which, combinatorial::Order O>
void neighbours_all(const std::uint64_t* ranks, std::size_t size, std::int64_t n, std::int64_t k, int workers,
                    std::uint64_t* out) {
  const auto unrank_table = table_covering(n, combinatorial::unrank_table_k(n, k));
  std::shared_ptr<const combinatorial::ColexBucketIndex> index;
  if (combinatorial::unrank_wants_index(n, k, size)) index = index_for(unrank_table->view(), n, k);
  // Coefficients up to C(m, k + 1) from a table where one fits, computed otherwise.
  const auto run = [&](auto coef) {
    parallel_for(size, workers, faces_grain, [&](std::size_t begin, std::size_t end) {
      neighbours_range<Which, O>(unrank_table->view(), index.get(), ranks, begin, end, n, k, coef, out);
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
py::array neighbours(const py::array& ranks_arg, std::uint64_t n, std::uint64_t k, const std::string& order_name,
                     int workers) {
  const combinatorial::Order order = parse_order(order_name);
  const bool signed_ranks = py::isinstance<py::array_t<std::int64_t>>(ranks_arg);
  const py::array ranks = signed_ranks ? readable<std::int64_t>(ranks_arg, "ranks", "uint64 or int64")
                                       : readable<std::uint64_t>(ranks_arg, "ranks", "uint64 or int64");
  check_vertex_count(n);
  if (k > n) throw std::invalid_argument("k = " + to_string(k) + " is larger than n = " + to_string(n));
  const std::uint64_t count = combination_count(n, k);
  // The size of the subsets in the result, and so the rule for its dtype.
  const bool faces = Which == Neighbours::faces;
  const std::uint64_t result_k = faces ? k - 1 : k + 1;
  const std::uint64_t result_count = faces && k == 0 ? 0 : combination_count(n, result_k);
  std::vector<py::ssize_t> shape = shape_of(ranks);
  const auto size = static_cast<std::size_t>(ranks.size());
  shape.push_back(static_cast<py::ssize_t>(faces ? k : n - k));
  py::array result = result_count <= (std::uint64_t{1} << 63) ? py::array(py::dtype::of<std::int64_t>(), shape)
                                                             : py::array(py::dtype::of<std::uint64_t>(), shape);
  auto* const out = static_cast<std::uint64_t*>(result.mutable_data());
  const std::vector<py::ssize_t> rank_shape = shape_of(ranks);
  {
    const py::gil_scoped_release unlocked;
    const auto check = [&](const auto* values) {
      const std::size_t bad = first_offender(size, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
        return combinatorial::first_rank_outside(values, begin, end, count);
      });
      if (bad != size) throw_bad_rank(values[bad], bad, rank_shape, n, k, count);
    };
    signed_ranks ? check(static_cast<const std::int64_t*>(ranks.data()))
                 : check(static_cast<const std::uint64_t*>(ranks.data()));
    if (size == 0 || shape.back() == 0) return result;
    const auto* first = static_cast<const std::uint64_t*>(ranks.data());  // non-negative once checked
    const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
    if (order == combinatorial::Order::colex) {
      neighbours_all<Which, combinatorial::Order::colex>(first, size, nn, kk, workers, out);
    } else {
      neighbours_all<Which, combinatorial::Order::lex>(first, size, nn, kk, workers, out);
    }
  }
  return result;
}

}  // namespace core
