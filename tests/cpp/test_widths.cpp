// The kernels at wide widths: 128-bit ranks, 32-bit vertices, computed
// coefficients, against Pascal's triangle in 128 bits and brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/coefficients.hpp"
#include "combinatorial/enumerate.hpp"
#include "combinatorial/rank.hpp"
#include "combinatorial/sample.hpp"
#include "combinatorial/unrank.hpp"

namespace cb = combinatorial;
using cb::Order;
using cb::RowLayout;
using cb::WideRank;
using cb::WideVertex;

namespace {

// C(m, j) for m <= 400 by Pascal's rule in 128 bits, with a flag per cell
// for 2^128 or more (an overflowing sum, or a term that overflowed).
struct Pascal {
  static constexpr int size = 401;
  std::vector<WideRank> value = std::vector<WideRank>(size * size, 0);
  std::vector<bool> beyond = std::vector<bool>(size * size, false);
  Pascal() {
    for (int m = 0; m < size; ++m) {
      value[m * size] = 1;
      for (int j = 1; j <= m; ++j) {
        const int a = (m - 1) * size + j - 1, b = (m - 1) * size + j;
        WideRank sum = 0;
        beyond[m * size + j] = beyond[a] || beyond[b] || __builtin_add_overflow(value[a], value[b], &sum);
        value[m * size + j] = sum;
      }
    }
  }
};

const Pascal& pascal() {
  static const Pascal table;
  return table;
}

TEST(Widths, BinomWideIsExactOrFlagsOverflow) {
  for (std::uint64_t m = 0; m < Pascal::size; ++m) {
    for (std::uint64_t j = 0; j <= m + 1; ++j) {
      bool overflow = false;
      const WideRank got = cb::binom_wide(m, j, overflow);
      const bool beyond = j <= m && pascal().beyond[m * Pascal::size + j];
      ASSERT_EQ(overflow, beyond) << m << " " << j;
      if (!beyond) {
        ASSERT_TRUE(got == (j <= m ? pascal().value[m * Pascal::size + j] : 0)) << m << " " << j;
      }
    }
  }
}

TEST(Widths, ComputedCoefficientsMatchBinomWideUpTo2To32) {
  const std::int64_t ms[] = {0, 1, 2, 3, 5, 1000, 65535, 65536, 65537, 1'000'000, (std::int64_t{1} << 32) - 1,
                             std::int64_t{1} << 32};
  for (const std::int64_t m : ms) {
    for (std::int64_t j = 0; j <= 6; ++j) {
      const WideRank exact = cb::binom_wide(static_cast<std::uint64_t>(m), static_cast<std::uint64_t>(j));
      EXPECT_TRUE(cb::computed_coefficient<WideRank>(m, j) == exact) << m << " " << j;
      const std::uint64_t narrow = cb::computed_coefficient<cb::Rank>(m, j);
      EXPECT_EQ(narrow, exact >> 64 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(exact)) << m << " " << j;
    }
  }
}

// The computed search against a scan, at the ends of its range and in between.
TEST(Widths, ComputedSearchFindsTheLargestVertex) {
  std::mt19937_64 rng(7);
  const cb::ComputedSource<WideRank> source;
  for (std::int64_t j = 2; j <= 7; ++j) {
    for (int trial = 0; trial < 300; ++trial) {
      const std::int64_t hi = 20 + static_cast<std::int64_t>(rng() % 380), lo = j - 1;
      const WideRank top = source(hi + 1, j);
      const WideRank r = trial < 2 ? (trial == 0 ? WideRank{0} : top - 1) : (WideRank{rng()} << 64 | rng()) % top;
      std::int64_t want = lo;
      while (want < hi && source(want + 1, j) <= r) ++want;
      const auto [v, c] = source.largest_at_most(j, r, lo, hi);
      ASSERT_EQ(v, want) << j << " " << hi;
      ASSERT_TRUE(c == source(v, j));
    }
  }
}

// Ranks of rows at any width by their defining sums, as Python would.
WideRank colex_rank(const std::vector<std::uint64_t>& row) {
  WideRank sum = 0;
  for (std::size_t i = 0; i < row.size(); ++i) sum += cb::binom_wide(row[i], i + 1);
  return sum;
}

template <typename R, typename V>
void round_trips(std::int64_t n, std::int64_t k, std::size_t size) {
  SCOPED_TRACE(::testing::Message() << "n = " << n << ", k = " << k);
  std::mt19937_64 rng(n * 31 + k);
  const WideRank count = cb::binom_wide(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k));
  std::vector<R> ranks(size);
  for (auto& r : ranks) r = static_cast<R>((WideRank{rng()} << 64 | rng()) % count);
  ranks[0] = 0;
  ranks[1] = static_cast<R>(count - 1);
  const cb::ComputedSource<R> computed;
  const cb::BasicCoefficientTable<cb::CellOf<R>> table(n, k);
  const auto source = cb::TableSource<R, cb::CellOf<R>>::of(table.view());
  cb::BasicColexBucketIndex<R, V> index;
  index.build(table.view(), n, k);
  for (const Order order : {Order::colex, Order::lex}) {
    std::vector<V> by_search(size * static_cast<std::size_t>(k)), by_table(by_search.size()),
        by_index(by_search.size());
    cb::with_order(order, [&](auto o) {
      cb::unrank_any<o.value, RowLayout::smallest_first>(computed, ranks.data(), size, n, k, by_search.data());
      cb::unrank_any<o.value, RowLayout::smallest_first>(source, ranks.data(), size, n, k, by_table.data());
      cb::unrank_batch_any<o.value, RowLayout::smallest_first>(source, &index, ranks.data(), size, n, k,
                                                               by_index.data());
    });
    ASSERT_EQ(by_search, by_table);
    ASSERT_EQ(by_search, by_index);
    std::vector<cb::StoredWideRank> back(size);
    cb::with_order(order, [&](auto o) {
      cb::rank_rows_for_k<o.value, RowLayout::smallest_first>(by_search.data(), size, static_cast<std::size_t>(k),
                                                              static_cast<std::uint64_t>(n), back.data(), computed);
    });
    for (std::size_t i = 0; i < size; ++i) {
      ASSERT_TRUE(static_cast<WideRank>(back[i]) == static_cast<WideRank>(ranks[i])) << i;
      std::vector<std::uint64_t> row(by_search.begin() + static_cast<std::ptrdiff_t>(i) * k,
                                     by_search.begin() + static_cast<std::ptrdiff_t>(i + 1) * k);
      ASSERT_TRUE(std::is_sorted(row.begin(), row.end()) && row.back() < static_cast<std::uint64_t>(n));
      if (order == Order::colex) {
        ASSERT_TRUE(colex_rank(row) == static_cast<WideRank>(ranks[i]));
      }
    }
  }
}

TEST(Widths, UnrankAndRankRoundTripAtEveryWidth) {
  round_trips<WideRank, cb::Vertex>(1000, 10, 20000);     // 128-bit ranks, bucket index
  round_trips<WideRank, cb::Vertex>(132, 66, 3000);       // the widest index: C(134, 67) > 2^128
  round_trips<cb::Rank, WideVertex>(100'000, 3, 20000);   // 32-bit vertices
  round_trips<WideRank, WideVertex>(70'000, 9, 20000);    // both
}

TEST(Widths, WideRowsEnumerateInOrder) {
  for (const Order order : {Order::lex, Order::colex}) {
    for (const std::int64_t k : {1, 2, 3}) {
      const std::int64_t n = 70'000;
      const WideRank start = cb::binom_wide(n, static_cast<std::uint64_t>(k)) - 5000;
      std::vector<WideVertex> rows(5000 * static_cast<std::size_t>(k)), one(static_cast<std::size_t>(k));
      const cb::ComputedSource<cb::Rank> source;
      const auto first = static_cast<cb::Rank>(start);
      cb::with_order(order, [&](auto o) {
        cb::unrank_any<o.value, RowLayout::smallest_first>(source, &first, 1, n, k, rows.data());
        cb::enumerate_rows<o.value>(rows.data(), n, k, 5000, rows.data());
        for (std::size_t i = 0; i < 5000; ++i) {
          const cb::Rank r = first + i;
          cb::unrank_any<o.value, RowLayout::smallest_first>(source, &r, 1, n, k, one.data());
          ASSERT_TRUE(std::equal(one.begin(), one.end(), rows.begin() + static_cast<std::ptrdiff_t>(i) * k)) << i;
        }
      });
    }
  }
}

TEST(Widths, WideSamplesAreDistinctSortedRowsAndRanks) {
  cb::detail::RowScratch<WideVertex> scratch;
  cb::RandomStream rng = cb::stream(3, 0);
  for (const std::int64_t k : {1, 5, 69'998, 70'000}) {  // draws kept, and draws left out
    std::vector<WideVertex> row(static_cast<std::size_t>(k));
    for (int trial = 0; trial < 3; ++trial) {
      cb::detail::draw_row(rng, 70'000, k, scratch, row.data());
      ASSERT_TRUE(std::adjacent_find(row.begin(), row.end(), std::greater_equal<>()) == row.end());
      ASSERT_LT(row.back(), 70'000u);
    }
  }
  const WideRank count = cb::binom_wide(1000, 10);
  std::vector<WideRank> ranks(50'000);
  cb::sample_distinct_ranks(5, count, ranks.size(), ranks.data());
  ASSERT_EQ(std::set<WideRank>(ranks.begin(), ranks.end()).size(), ranks.size());
  ASSERT_TRUE(std::all_of(ranks.begin(), ranks.end(), [&](WideRank r) { return r < count; }));
  // The top bit of the count's width is set about as often as a uniform draw sets it.
  const WideRank half = WideRank{1} << 77;  // count is between 2^77 and 2^78
  const auto high = std::count_if(ranks.begin(), ranks.end(), [&](WideRank r) { return r >= half; });
  const double expected = static_cast<double>(count - half) / static_cast<double>(count) * 50'000;
  EXPECT_NEAR(static_cast<double>(high), expected, 5 * std::sqrt(expected));
}

}  // namespace
