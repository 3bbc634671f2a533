// The core's only process-wide state: caches of coefficient tables and
// bucket indexes. Each entry is immutable once built and held by
// std::shared_ptr; a call takes its own reference under the lock and reads
// without it, so a newer entry never frees memory that a running call reads.
// Every table stays within max_table_cells; several generations may be alive
// while their readers finish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "combinatorial/binomial.hpp"
#include "combinatorial/unrank_colex.hpp"

namespace core {

using combinatorial::CoefficientTable;
using combinatorial::ColexBucketIndex;

// A table covering (n, k). Grows to cover what it covered before as well
// when that fits the bound, so that alternating requests do not rebuild it.
// Precondition: table_cells_needed(n, k) >= 0.
inline std::shared_ptr<const CoefficientTable> table_covering(std::int64_t n, std::int64_t k) {
  static std::mutex mutex;
  static std::shared_ptr<const CoefficientTable> current;
  const std::lock_guard<std::mutex> lock(mutex);
  if (current && current->view().covers(n, k)) return current;
  if (current) {
    const std::int64_t wide_n = std::max(n, current->view().max_n), wide_k = std::max(k, current->view().max_k);
    if (combinatorial::table_cells_needed(wide_n, wide_k) >= 0) {
      n = wide_n;
      k = wide_k;
    }
  }
  current = std::make_shared<const CoefficientTable>(n, k);
  return current;
}

// A bucket index for n serving every size up to k, built from any table that
// covers (n, k). Precondition: as ColexBucketIndex::build.
inline std::shared_ptr<const ColexBucketIndex> index_for(const combinatorial::TableView& table, std::int64_t n,
                                                         std::int64_t k) {
  static std::mutex mutex;
  static std::shared_ptr<const ColexBucketIndex> current;
  const std::lock_guard<std::mutex> lock(mutex);
  if (current && current->n == n && current->k >= k) return current;
  auto fresh = std::make_shared<ColexBucketIndex>();
  fresh->build(table, n, k);
  current = std::move(fresh);
  return current;
}

}  // namespace core
