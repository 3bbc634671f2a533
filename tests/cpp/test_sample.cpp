// Sampling kernels: ranges, distinct sorted rows, determinism, pieces split
// at block boundaries, exhaustion, chi-square uniformity with fixed seeds,
// and samples without repeats against the rounds that define them, replayed
// one candidate at a time with std::set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/sample.hpp"

using combinatorial::Family;
using combinatorial::sample_block;
using Row = std::vector<std::uint16_t>;
using Tally = std::map<std::uint64_t, std::size_t>;

namespace {

// Whether the tallies of `cells` equally likely values pass a chi-square
// test at p = 0.001 (limits for 14 and 19 degrees of freedom).
bool uniform(const Tally& tally, std::size_t cells) {
  std::size_t total = 0;
  for (const auto& [value, c] : tally) total += c;
  const double expected = static_cast<double>(total) / static_cast<double>(cells);
  double sum = 0;
  for (const auto& [value, c] : tally) {
    sum += (static_cast<double>(c) - expected) * (static_cast<double>(c) - expected) / expected;
  }
  return tally.size() == cells && sum < (cells == 15 ? 36.12 : 43.82);
}

std::uint64_t count_of(std::int64_t n, std::int64_t k) {
  const auto un = static_cast<std::uint64_t>(n), uk = static_cast<std::uint64_t>(k);
  return combinatorial::binom_overflows(un, uk) ? 0 : combinatorial::binom(un, uk);
}

std::vector<std::uint64_t> ranks(std::uint64_t seed, std::uint64_t count, std::size_t size) {
  std::vector<std::uint64_t> out(size + 1, 7);
  combinatorial::sample_distinct_ranks(seed, count, size, out.data());
  EXPECT_EQ(out.back(), 7u);  // nothing past the end
  out.pop_back();
  EXPECT_EQ(std::set<std::uint64_t>(out.begin(), out.end()).size(), size);
  for (const std::uint64_t r : out) EXPECT_LT(r, count);
  return out;
}

// Rows of a sample, checked sorted, below n and, without repeats, distinct.
std::vector<Row> rows(std::uint64_t seed, std::int64_t n, std::int64_t k, std::size_t size,
                      bool distinct) {
  const auto width = static_cast<std::size_t>(k);
  std::vector<std::uint16_t> flat(size * width + 1, 7);
  if (distinct) {
    combinatorial::sample_distinct_rows<Family::subsets>(seed, n, k, size, flat.data());
  } else {
    combinatorial::sample_rows_with_replacement<Family::subsets>(seed, n, k, 0, size, flat.data());
  }
  EXPECT_EQ(flat.back(), 7u);
  std::vector<Row> all;
  for (auto at = flat.begin(); all.size() < size; at += k) {
    all.emplace_back(at, at + k);
    for (std::size_t j = 0; j < width; ++j) {
      EXPECT_TRUE(all.back()[j] < n && (j == 0 || all.back()[j - 1] < all.back()[j]));
    }
  }
  if (distinct) {
    EXPECT_EQ(std::set<Row>(all.begin(), all.end()).size(), size);
  }
  return all;
}

std::uint64_t mask_of(const Row& r) {
  std::uint64_t mask = 0;
  for (const std::uint16_t v : r) mask |= std::uint64_t{1} << v;
  return mask;
}

// The rounds of a sample without repeats: round one draws each block's
// entries, later rounds what a block lacks plus a margin; every candidate is
// judged in order against the set of kept ones. total = 0 stands for a
// population of 2^64 or more.
template <typename T, typename Draw>
std::vector<T> reference_rounds(std::uint64_t seed, std::size_t size, std::uint64_t total,
                                Draw draw) {
  const std::size_t blocks = (size + sample_block - 1) / sample_block;
  const auto length = [&](std::size_t b) { return std::min(sample_block, size - b * sample_block); };
  std::vector<combinatorial::RandomStream> rng;
  std::vector<std::vector<T>> kept(blocks);
  std::set<T> taken;
  std::vector<std::pair<std::size_t, T>> candidates;
  for (std::size_t b = 0; b < blocks; ++b) {
    rng.push_back(combinatorial::stream(seed, b));
    for (std::size_t i = 0; i < length(b); ++i) candidates.emplace_back(b, draw(rng[b]));
  }
  while (true) {
    for (const auto& [b, v] : candidates) {
      if (kept[b].size() < length(b) && taken.insert(v).second) kept[b].push_back(v);
    }
    if (taken.size() == size) break;
    candidates.clear();
    for (std::size_t b = 0; b < blocks; ++b) {
      const std::size_t lack = length(b) - kept[b].size(), t = taken.size();
      const std::size_t margin = total == 0 ? 0 : std::min(lack * t / (total - t), 4 * lack + 64);
      for (std::size_t j = 0; lack > 0 && j < lack + 2 * margin + 2; ++j) {
        candidates.emplace_back(b, draw(rng[b]));
      }
    }
  }
  std::vector<T> all;
  for (const auto& block : kept) all.insert(all.end(), block.begin(), block.end());
  return all;
}

}  // namespace

TEST(Sample, StreamsAndBoundedDraws) {
  auto a = combinatorial::stream(5, 3), b = combinatorial::stream(5, 3);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(a.next(), b.next());
  std::set<std::uint64_t> firsts;
  for (std::uint64_t s = 0; s < 16; ++s) firsts.insert(combinatorial::stream(s / 4, s % 4).next());
  EXPECT_EQ(firsts.size(), 16u);
  Tally tally;
  for (int i = 0; i < 40000; ++i) {
    EXPECT_EQ(combinatorial::bounded(a, 1), 0u);
    EXPECT_LT(combinatorial::bounded(a, ~std::uint64_t{0}), ~std::uint64_t{0});
    // 2^63 + 1 rejects nearly half of all 64-bit values.
    EXPECT_LE(combinatorial::bounded(a, (std::uint64_t{1} << 63) + 1), std::uint64_t{1} << 63);
    ++tally[combinatorial::bounded(a, 20)];
  }
  EXPECT_TRUE(uniform(tally, 20));
}

TEST(Sample, DistinctRanksFollowTheirRounds) {
  // Sparse and dense, one block and several, few repeats and many.
  const std::pair<std::uint64_t, std::size_t> cases[] = {
      {1000000000000ULL, 200000}, {1000000, 1000}, {100000, 30000}, {450004, 150000}, {30, 9}};
  for (const auto& [count, size] : cases) {
    const auto draw = [count](auto& rng) { return combinatorial::bounded(rng, count); };
    EXPECT_EQ(ranks(99, count, size), reference_rounds<std::uint64_t>(99, size, count, draw))
        << "count=" << count << " size=" << size;
  }
}

TEST(Sample, DistinctRanksAreFixedBySeedAndUniformAtEachPosition) {
  // Shuffles (count <= 3 size, exhaustion included) and draws.
  const std::pair<std::uint64_t, std::size_t> cases[] = {
      {1, 1}, {9, 3}, {70000, 70000}, {200000, 70000}, {5000000, 2000}, {1ULL << 62, 100000}};
  for (const auto& [count, size] : cases) {
    EXPECT_EQ(ranks(3, count, size), ranks(3, count, size));
    EXPECT_TRUE(size < 1000 || ranks(3, count, size) != ranks(4, count, size));
  }
  EXPECT_TRUE(ranks(3, 10, 0).empty());
  // First and last of 5 (drawn) or 8 (shuffled) of 20, over 4000 seeds.
  for (const std::size_t size : {5, 8}) {
    Tally first, last;
    for (std::uint64_t seed = 0; seed < 4000; ++seed) {
      const std::vector<std::uint64_t> s = ranks(seed, 20, size);
      ++first[s.front()];
      ++last[s.back()];
    }
    EXPECT_TRUE(uniform(first, 20) && uniform(last, 20)) << size;
  }
}

TEST(Sample, WithRepeatsPiecesSplitAtBlocksGiveTheWhole) {
  const std::size_t size = 3 * sample_block + 17, k = 4;
  const std::size_t cuts[] = {0, sample_block, 3 * sample_block, size};
  std::vector<std::uint64_t> whole(size), pieces(size);
  std::vector<std::uint16_t> flat(size * k), flat_pieces(size * k);
  combinatorial::sample_ranks_with_replacement(8, 1000, 0, size, whole.data());
  combinatorial::sample_rows_with_replacement<Family::subsets>(8, 30, k, 0, size, flat.data());
  for (int p = 0; p < 3; ++p) {
    combinatorial::sample_ranks_with_replacement(8, 1000, cuts[p], cuts[p + 1],
                                                 pieces.data() + cuts[p]);
    combinatorial::sample_rows_with_replacement<Family::subsets>(8, 30, k, cuts[p], cuts[p + 1],
                                                                 flat_pieces.data() + cuts[p] * k);
  }
  EXPECT_EQ(whole, pieces);
  EXPECT_EQ(flat, flat_pieces);
  EXPECT_LT(*std::max_element(whole.begin(), whole.end()), 1000u);
}

TEST(Sample, RowsOfEveryShapeAreSortedSubsets) {
  // Sorted draws, dense scans, left-out vertices, long rows, k = n.
  const std::int64_t shapes[][2] = {{1000, 5},  {100, 20},      {100, 70}, {65536, 1000},
                                    {65536, 40}, {65536, 65535}, {7, 1},    {5, 5}};
  for (const auto& [n, k] : shapes) {
    const std::size_t size = k > 100 ? 20 : 3000, count = count_of(n, k);
    rows(2, n, k, size, false);
    const std::size_t distinct = count == 0 ? size : std::min<std::size_t>(size, count);
    EXPECT_EQ(rows(2, n, k, distinct, true), rows(2, n, k, distinct, true));
  }
}

TEST(Sample, RowsAreUniformAndDistinctRowsFollowTheirRounds) {
  // The 20 3-subsets and the 15 4-subsets (drawn as the 2 left out) of 6,
  // and the last of 5 distinct rows over 4000 seeds.
  for (const std::int64_t k : {3, 4}) {
    Tally tally;
    for (const Row& r : rows(11, 6, k, 30000, false)) ++tally[mask_of(r)];
    EXPECT_TRUE(uniform(tally, count_of(6, k))) << k;
  }
  Tally last;
  for (std::uint64_t seed = 0; seed < 4000; ++seed) ++last[mask_of(rows(seed, 6, 3, 5, true)[4])];
  EXPECT_TRUE(uniform(last, 20));
  rows(6, 6, 3, 20, true);  // all of them
  // Beyond 2^64 subsets, and several blocks with many repeats.
  const std::int64_t shapes[][2] = {{100, 20}, {40, 4}};
  for (const auto& [n, k] : shapes) {
    const std::size_t size = n == 40 ? 70000 : 1000;
    combinatorial::detail::RowScratch<combinatorial::Vertex> bits;
    const auto draw = [&](auto& rng) {
      Row r(static_cast<std::size_t>(k));
      combinatorial::detail::draw_row(rng, n, k, bits, r.data());
      return r;
    };
    EXPECT_EQ(rows(21, n, k, size, true), reference_rounds<Row>(21, size, count_of(n, k), draw));
  }
}
