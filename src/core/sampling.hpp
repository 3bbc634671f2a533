// sample for the package: uniform random k-subsets as rows, from one 64-bit
// seed. Where C(n, k) fits 64 bits, ranks are drawn and unranked; beyond,
// rows are drawn directly. Randomness comes in fixed blocks of positions, so
// the rows do not depend on how many threads write them.
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
#include "combinatorial/sample.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"

namespace core {

// Writes `size` uniform k-subsets of {0..n-1} into out, smallest vertex
// first, in random order; distinct unless `replace`.
inline void sample(std::uint64_t n, std::uint64_t k, std::uint64_t size, std::uint64_t seed, bool replace,
                   py::array& out, int workers) {
  if (!is_plain<std::uint16_t>(out)) throw_wrong_array("out", "uint16");
  auto* const dest = static_cast<std::uint16_t*>(out.mutable_data());  // "array is not writeable" here
  check_vertex_count(n);
  if (k > n) throw std::invalid_argument("k = " + to_string(k) + " is larger than n = " + to_string(n));
  const bool countable = !combinatorial::binom_overflows(n, k);
  const std::uint64_t count = countable ? combinatorial::binom(n, k) : 0;
  if (!replace && countable && size > count) {
    throw std::invalid_argument("a sample of " + to_string(size) + " distinct combinations is more than the C(" +
                                to_string(n) + ", " + to_string(k) + ") = " + to_string(count) + " there are");
  }
  check_out_size(out, size, k);
  if (size == 0 || k == 0) return;
  const py::gil_scoped_release unlocked;
  const auto nn = static_cast<std::int64_t>(n), kk = static_cast<std::int64_t>(k);
  const auto rows = static_cast<std::size_t>(size);
  // Ranges of whole blocks of randomness per thread.
  const auto by_blocks = [&](auto body) {
    const std::size_t blocks = (rows + combinatorial::sample_block - 1) / combinatorial::sample_block;
    parallel_for(blocks, workers, 1, [&](std::size_t first, std::size_t last) {
      body(first * combinatorial::sample_block, std::min(rows, last * combinatorial::sample_block));
    });
  };
  if (!countable) {
    if (replace) {
      by_blocks([&](std::size_t begin, std::size_t end) {
        combinatorial::sample_rows_with_replacement(seed, nn, kk, begin, end, dest + begin * k);
      });
    } else {
      combinatorial::sample_distinct_rows(seed, nn, kk, rows, dest);
    }
    return;
  }
  std::vector<std::uint64_t> ranks(rows);
  if (replace) {
    by_blocks([&](std::size_t begin, std::size_t end) {
      combinatorial::sample_ranks_with_replacement(seed, count, begin, end, ranks.data() + begin);
    });
  } else {
    combinatorial::sample_distinct_ranks(seed, count, rows, ranks.data());
  }
  const auto table = table_covering(nn, combinatorial::unrank_table_k(nn, kk));
  std::shared_ptr<const combinatorial::ColexBucketIndex> index;
  if (combinatorial::unrank_wants_index(nn, kk, rows)) index = index_for(table->view(), nn, kk);
  parallel_for(rows, workers, std::size_t{1} << 15, [&](std::size_t begin, std::size_t end) {
    combinatorial::unrank_batch<combinatorial::Order::colex, combinatorial::RowLayout::smallest_first>(
        table->view(), index.get(), ranks.data() + begin, end - begin, nn, kk, dest + begin * k);
  });
}

}  // namespace core
