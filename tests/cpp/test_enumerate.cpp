// Enumeration against brute force: small sets listed by recursion (colex by
// sorting on the reversed rows), larger ones through each output row's rank
// recomputed from its definition with binom(), which test_binomial.cpp checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/enumerate.hpp"

using Row = std::vector<std::uint16_t>;

namespace {

constexpr std::uint16_t sentinel = 0xBEEF;
constexpr std::size_t guard = 40;  // sentinels after every output

std::uint64_t C(std::int64_t n, std::int64_t k) {
  return combinatorial::binom(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k));
}

// Every k-subset of {from..n-1} after `prefix`, in lex order.
void subsets(int n, int k, int from, Row& prefix, std::vector<Row>& all) {
  if (static_cast<int>(prefix.size()) == k) return all.push_back(prefix);
  for (int v = from; v < n; ++v) {
    prefix.push_back(static_cast<std::uint16_t>(v));
    subsets(n, k, v + 1, prefix, all);
    prefix.pop_back();
  }
}

std::vector<std::uint16_t> run(const Row& first, std::int64_t n, std::int64_t k, std::size_t rows,
                               bool lex) {
  std::vector<std::uint16_t> out(rows * static_cast<std::size_t>(k) + guard, sentinel);
  (lex ? combinatorial::enumerate_lex : combinatorial::enumerate_colex)(first.data(), n, k, rows,
                                                                        out.data());
  for (std::size_t i = out.size() - guard; i < out.size(); ++i) EXPECT_EQ(out[i], sentinel);
  out.resize(out.size() - guard);
  return out;
}

// The rank of a row, checked to be strictly increasing and below n.
std::uint64_t rank_of(const std::uint16_t* c, std::int64_t n, std::int64_t k, bool lex) {
  std::uint64_t sum = 0;
  for (std::int64_t i = 0; i < k; ++i) {
    EXPECT_TRUE(c[i] < n && (i == 0 || c[i - 1] < c[i]));
    sum += lex ? C(n - 1 - c[i], k - i) : C(c[i], i + 1);
  }
  return lex ? C(n, k) - 1 - sum : sum;
}

// The row of a rank: in colex each c_i is the largest v with C(v, i + 1) at
// most what is left of the rank; lex through the reflection v -> n-1-v that
// its rank formula expresses.
Row row_at(std::uint64_t r, std::int64_t n, std::int64_t k, bool lex) {
  if (lex) r = C(n, k) - 1 - r;
  Row c(static_cast<std::size_t>(k));
  for (std::int64_t i = k, v = n - 1; i >= 1; r -= C(v, i), --i) {
    while (C(v, i) > r) --v;
    c[static_cast<std::size_t>(i - 1)] = static_cast<std::uint16_t>(v);
  }
  if (lex) {
    std::reverse(c.begin(), c.end());
    for (std::uint16_t& v : c) v = static_cast<std::uint16_t>(n - 1 - v);
  }
  return c;
}

void check_by_rank(std::int64_t n, std::int64_t k, std::uint64_t start, std::size_t rows,
                   bool lex) {
  const std::vector<std::uint16_t> out = run(row_at(start, n, k, lex), n, k, rows, lex);
  for (std::size_t r = 0; r < rows; ++r) {
    ASSERT_EQ(rank_of(out.data() + r * static_cast<std::size_t>(k), n, k, lex), start + r)
        << "n=" << n << " k=" << k << " lex=" << lex << " start=" << start;
  }
}

}  // namespace

TEST(Enumerate, SmallSetsFromEveryStartToTheEnd) {
  // The last runs have 1 to 3 rows: the scratch buffer for the last rows.
  for (int n = 0; n <= 9; ++n) {
    for (int k = 0; k <= n; ++k) {
      std::vector<Row> all;
      Row prefix;
      subsets(n, k, 0, prefix, all);
      for (const bool lex : {true, false}) {
        if (!lex) {
          std::sort(all.begin(), all.end(), [](const Row& a, const Row& b) {
            return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
          });
        }
        for (std::size_t start = 0; start < all.size(); ++start) {
          const std::vector<std::uint16_t> out = run(all[start], n, k, all.size() - start, lex);
          for (std::size_t r = start; r < all.size(); ++r) {
            ASSERT_TRUE(std::equal(all[r].begin(), all[r].end(),
                                   out.begin() + static_cast<std::ptrdiff_t>(r - start) * k))
                << "n=" << n << " k=" << k << " lex=" << lex << " start=" << start;
          }
        }
      }
    }
  }
}

TEST(Enumerate, LargerSetsByRank) {
  // Rows of one to four 16-byte chunks and longer ones; long runs use tables
  // of 2 to 8 columns; n = 65536 has vertex 65535 and the running bound 65536.
  std::mt19937_64 rng(11);
  const std::int64_t cases[][2] = {
      {12, 2},  {40, 2},  {50, 3},  {100, 3},  {40, 6},   {16, 8},    {20, 9},    {20, 10},
      {24, 12}, {30, 12}, {22, 15}, {30, 16},  {26, 17},  {20, 16},   {120, 20},  {100, 30},
      {34, 24}, {36, 25}, {38, 32}, {45, 33},  {47, 40},  {64, 62},   {65536, 1}, {65536, 2},
      {65536, 9}};
  for (const auto& [n, k] : cases) {
    for (const bool lex : {true, false}) {
      const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(C(n, k), 40000));
      check_by_rank(n, k, 0, length, lex);
      check_by_rank(n, k, C(n, k) - length, length, lex);
      const std::size_t rows = 1 + rng() % length;
      check_by_rank(n, k, rng() % (C(n, k) - rows + 1), rows, lex);
    }
  }
}

TEST(Enumerate, EdgeCases) {
  for (const bool lex : {true, false}) {
    // Nothing written for no rows or empty rows; the one row of k = n.
    EXPECT_TRUE(run(Row{0, 1, 2}, 5, 3, 0, lex).empty());
    EXPECT_TRUE(run(Row{}, 0, 0, 1, lex).empty());
    Row all(65536);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint16_t>(i);
    EXPECT_EQ(run(all, 65536, 65536, 1, lex), all);
    // The first row may be the output's, unranked there and extended in place.
    for (const std::int64_t k : {2, 5, 12, 20, 35}) {
      const auto rows = static_cast<std::size_t>(std::min<std::uint64_t>(3000, C(k + 9, k) - 17));
      const Row first = row_at(17, k + 9, k, lex);
      std::vector<std::uint16_t> out(rows * static_cast<std::size_t>(k));
      std::copy(first.begin(), first.end(), out.begin());
      (lex ? combinatorial::enumerate_lex : combinatorial::enumerate_colex)(out.data(), k + 9, k,
                                                                            rows, out.data());
      EXPECT_EQ(out, run(first, k + 9, k, rows, lex)) << "k=" << k;
    }
  }
}
