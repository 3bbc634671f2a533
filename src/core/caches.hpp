// The core's only process-wide state: caches of coefficient tables and
// bucket indexes. Each entry is immutable once built and held by
// std::shared_ptr; a call takes its own reference under the lock and reads
// without it, so a newer entry never frees memory that a running call reads.
// Every table stays within max_table_cells; several generations may be alive
// while their readers finish.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "combinatorial/binomial.hpp"
#include "combinatorial/coefficients.hpp"
#include "combinatorial/unrank_colex.hpp"

namespace core {

using combinatorial::CoefficientTable;
using combinatorial::ColexBucketIndex;

// One cache's entry and the mutex that guards it. A child forked while a
// thread of the parent held the mutex (building an entry, say) would wait on
// it forever, since that thread does not run in the child: the child makes
// the mutex anew and keeps the last complete entry. An entry being built at
// the fork was never published, so the child never reads it.
template <typename Entry>
struct CacheSlot {
  std::mutex mutex;
  std::shared_ptr<const Entry> current;

  static CacheSlot& instance() {
    static CacheSlot* const slot = create();
    return *slot;
  }

 private:
  static CacheSlot* create() {
    created = new CacheSlot;  // never destroyed: threads may outlive static destructors
    pthread_atfork(nullptr, nullptr, [] { new (&created->mutex) std::mutex; });
    return created;
  }
  inline static CacheSlot* created = nullptr;
};

// Creates the caches and their fork handlers, at import: a handler that a
// thread registered while another forked would miss that child.
inline void create_caches() {
  CacheSlot<CoefficientTable>::instance();
  CacheSlot<combinatorial::WideCoefficientTable>::instance();
  CacheSlot<ColexBucketIndex>::instance();
  CacheSlot<combinatorial::BasicColexBucketIndex<combinatorial::WideRank, combinatorial::Vertex>>::instance();
  CacheSlot<combinatorial::BasicColexBucketIndex<combinatorial::WideRank, combinatorial::WideVertex>>::instance();
  CacheSlot<combinatorial::BasicColexBucketIndex<combinatorial::Rank, combinatorial::WideVertex>>::instance();
}

// A table of cells C (Cell, or WideCell for wide ranks) covering (n, k).
// Grows to cover what it covered before as well when that fits the bound,
// so that alternating requests do not rebuild it.
// Precondition: table_cells_needed<C>(n, k) >= 0.
template <typename C = combinatorial::Cell>
std::shared_ptr<const combinatorial::BasicCoefficientTable<C>> table_covering(std::int64_t n, std::int64_t k) {
  using Table = combinatorial::BasicCoefficientTable<C>;
  auto& [mutex, current] = CacheSlot<Table>::instance();
  const std::lock_guard<std::mutex> lock(mutex);
  if (current && current->view().covers(n, k)) return current;
  if (current) {
    const std::int64_t wide_n = std::max(n, current->view().max_n), wide_k = std::max(k, current->view().max_k);
    if (combinatorial::table_cells_needed<C>(wide_n, wide_k) >= 0) {
      n = wide_n;
      k = wide_k;
    }
  }
  current = std::make_shared<const Table>(n, k);
  return current;
}

// Calls body(source) with the coefficient source for reading C(m, j), m <= n
// and j <= k, at rank width R: a cached table where one fits, else computed.
template <typename R, typename Body>
decltype(auto) with_coefficients(std::int64_t n, std::int64_t k, Body&& body) {
  return combinatorial::with_source<R>(
      n, k, [](std::int64_t max_n, std::int64_t max_k) {
        using C = std::conditional_t<std::is_same_v<R, combinatorial::WideRank>, combinatorial::WideCell,
                                     combinatorial::Cell>;
        return table_covering<C>(max_n, max_k);
      },
      std::forward<Body>(body));
}

// A bucket index for n serving every size up to k, built from any table that
// covers (n, k): one cache per pair of widths (ColexBucketIndex for the
// narrow ones). Precondition: as BasicColexBucketIndex::build.
template <typename Index = ColexBucketIndex, typename Table>
std::shared_ptr<const Index> index_for(const Table& table, std::int64_t n, std::int64_t k) {
  auto& [mutex, current] = CacheSlot<Index>::instance();
  const std::lock_guard<std::mutex> lock(mutex);
  if (current && current->n == n && current->k >= k) return current;
  auto fresh = std::make_shared<Index>();
  fresh->build(table, n, k);
  current = std::move(fresh);
  return current;
}

}  // namespace core
