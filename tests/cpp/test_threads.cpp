// The core's shared caches under threads: readers unrank with tables and
// indexes they hold while other threads force new generations of both.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "combinatorial/unrank.hpp"
#include "core/caches.hpp"
#include "core/parallel.hpp"

namespace {

using combinatorial::Order;
using combinatorial::RowLayout;

struct Case {
  std::int64_t n, k;
  std::vector<std::uint64_t> ranks;
  std::vector<std::uint16_t> expected;
};

std::vector<std::uint16_t> unrank_with_cache(const Case& c, bool indexed) {
  const auto table = core::table_covering(c.n, combinatorial::unrank_table_k(c.n, c.k));
  std::shared_ptr<const combinatorial::ColexBucketIndex> index;
  if (indexed && c.k >= 3 && !combinatorial::unranks_complement(c.n, c.k)) {
    index = core::index_for(table->view(), c.n, c.k);
  }
  std::vector<std::uint16_t> out(c.ranks.size() * static_cast<std::size_t>(c.k));
  core::parallel_for(c.ranks.size(), 2, 64, [&](std::size_t begin, std::size_t end) {
    combinatorial::unrank_batch<Order::lex, RowLayout::smallest_first>(
        table->view(), index.get(), c.ranks.data() + begin, end - begin, c.n, c.k,
        out.data() + begin * static_cast<std::size_t>(c.k));
  });
  return out;
}

}  // namespace

TEST(Threads, ReadersKeepTheirTablesWhileOthersRebuild) {
  std::mt19937_64 rng(3);
  // Sizes whose tables cannot all be covered by one within the bound, so
  // that requests keep replacing the cached table and index.
  std::vector<Case> cases;
  for (const auto& [n, k] : std::vector<std::pair<std::int64_t, std::int64_t>>{
           {65536, 33}, {3000, 600}, {200, 5}, {60, 12}, {1000, 3}, {70, 60}}) {
    Case c{n, k, {}, {}};
    const std::uint64_t count = combinatorial::binom(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k));
    for (int i = 0; i < 300; ++i) c.ranks.push_back(rng() % count);
    const combinatorial::CoefficientTable own(n, combinatorial::unrank_table_k(n, k));
    c.expected.resize(c.ranks.size() * static_cast<std::size_t>(k));
    combinatorial::unrank_batch<Order::lex, RowLayout::smallest_first>(own.view(), nullptr, c.ranks.data(),
                                                                       c.ranks.size(), n, k, c.expected.data());
    cases.push_back(std::move(c));
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 12; ++round) {
        const Case& c = cases[static_cast<std::size_t>(round + t) % cases.size()];
        if (unrank_with_cache(c, (round + t) % 2 == 0) != c.expected) ++wrong;
      }
    });
  }
  threads.emplace_back([] {  // a rebuilder that only asks for tables
    for (int round = 0; round < 40; ++round) core::table_covering(round % 2 ? 65536 : 4000, round % 2 ? 20 : 900);
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(Threads, BudgetIsReturnedAndErrorsReachTheCaller) {
  const int cores = core::usable_cores();
  EXPECT_THROW(core::parallel_for(1000, 4, 10,
                                  [](std::size_t begin, std::size_t) {
                                    if (begin > 0) throw std::runtime_error("range failed");
                                  }),
               std::runtime_error);
  EXPECT_EQ(core::ThreadBudget::instance().take(cores + 5), cores);  // every slot came back
  core::ThreadBudget::instance().give_back(cores);
}
