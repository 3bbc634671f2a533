// k-permutation kernels against listings made with std::next_permutation,
// Lehmer ranks computed in 128 bits by Horner's rule over a std::set of the
// vertices used, and round trips where no listing is feasible.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "combinatorial/permutations.hpp"
#include "combinatorial/sample.hpp"

namespace cb = combinatorial;
using cb::Family;
using cb::WideRank;
using Row = std::vector<std::uint64_t>;

namespace {

// Every k-permutation of n in lex order: the k-prefixes of the full
// permutations, in lex order themselves, each repeated (n - k)! times in a run.
std::vector<Row> listing(int n, int k) {
  Row all(static_cast<std::size_t>(n));
  std::iota(all.begin(), all.end(), 0);
  std::vector<Row> rows;
  do {
    const Row prefix(all.begin(), all.begin() + k);
    if (rows.empty() || rows.back() != prefix) rows.push_back(prefix);
  } while (std::next_permutation(all.begin(), all.end()));
  return rows;
}

// The next k-permutation: with the row's unused vertices after it in
// ascending order, reversing them makes the whole the last permutation with
// that prefix, so std::next_permutation steps the prefix.
Row next_row(const Row& row, std::uint64_t n) {
  std::vector<bool> used(n);
  for (const std::uint64_t v : row) used[v] = true;
  Row all = row;
  for (std::uint64_t v = 0; v < n; ++v) {
    if (!used[v]) all.push_back(v);
  }
  std::reverse(all.begin() + static_cast<std::ptrdiff_t>(row.size()), all.end());
  std::next_permutation(all.begin(), all.end());
  return Row(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(row.size()));
}

// r = (...(d_0 (n-1) + d_1)(n-2) + ...) (n-k+1) + d_{k-1}, with d_i the
// vertices below v_i not used before it.
WideRank lehmer_rank(const Row& row, std::uint64_t n) {
  std::set<std::uint64_t> used;
  WideRank r = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const auto below = static_cast<std::uint64_t>(std::distance(used.begin(), used.lower_bound(row[i])));
    r = r * (n - i) + (row[i] - below);
    used.insert(row[i]);
  }
  return r;
}

template <typename V>
std::vector<V> flat(const std::vector<Row>& rows) {
  std::vector<V> out;
  for (const Row& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

template <typename V>
std::vector<V> enumerated(const V* first, std::int64_t n, std::int64_t k, std::size_t rows) {
  std::vector<V> out(rows * static_cast<std::size_t>(k) + 1, V{7});
  cb::enumerate_permutations(first, n, k, rows, out.data());
  EXPECT_EQ(out.back(), V{7}) << "written past the end";
  out.pop_back();
  return out;
}

template <typename R, typename V, typename Out>
void check_listing(const std::vector<Row>& rows, int n, int k) {
  const std::vector<V> vertices = flat<V>(rows);
  std::vector<Out> ranks(rows.size());
  ASSERT_EQ((cb::rank_permutation_rows<R>(vertices.data(), rows.size(), n, k, ranks.data())), rows.size());
  std::vector<R> expected(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_TRUE(cb::loaded_rank<R>(ranks[i]) == i) << i;
    expected[i] = static_cast<R>(i);
  }
  std::vector<V> back(vertices.size());
  cb::unrank_permutation_rows<R>(expected.data(), rows.size(), n, k, back.data());
  ASSERT_EQ(back, vertices);
}

}  // namespace

TEST(Permutations, SmallCasesMatchTheListing) {
  for (int n = 1; n <= 7; ++n) {
    for (int k = 1; k <= n; ++k) {
      SCOPED_TRACE(::testing::Message() << "n = " << n << ", k = " << k);
      const std::vector<Row> rows = listing(n, k);
      check_listing<cb::Rank, cb::Vertex, std::int64_t>(rows, n, k);
      check_listing<WideRank, cb::WideVertex, cb::StoredWideRank>(rows, n, k);
      check_listing<cb::Rank, cb::WideVertex, std::uint64_t>(rows, n, k);
      // Enumeration from every row: every length up to 5 vertices, then
      // the short ones and doubling lengths.
      const std::vector<cb::Vertex> all = flat<cb::Vertex>(rows);
      const std::vector<cb::WideVertex> wide = flat<cb::WideVertex>(rows);
      const auto w = static_cast<std::size_t>(k);
      for (std::size_t s = 0; s < rows.size(); ++s) {
        const std::size_t left = rows.size() - s;
        for (std::size_t len = 1; len <= left; len = n <= 5 || len < 12 ? len + 1 : 2 * len) {
          ASSERT_TRUE(std::equal(all.begin() + s * w, all.begin() + (s + len) * w,
                                 enumerated(all.data() + s * w, n, k, len).begin())) << s << " " << len;
        }
        ASSERT_TRUE(std::equal(all.begin() + s * w, all.end(), enumerated(all.data() + s * w, n, k, left).begin()));
        ASSERT_TRUE(std::equal(wide.begin() + s * w, wide.end(), enumerated(wide.data() + s * w, n, k, left).begin()));
      }
      // The portable digit placement, which builds with vector units skip.
      for (const Row& row : rows) {
        std::uint32_t digits[8];
        std::uint32_t placed[8];
        for (std::size_t i = 0; i < w; ++i) {
          digits[i] = static_cast<std::uint32_t>(row[i] - std::count_if(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(i),
                                                                        [&](std::uint64_t v) { return v < row[i]; }));
        }
        cb::detail::place_digits<std::uint32_t, 0>(digits, k, placed);
        ASSERT_TRUE(std::equal(row.begin(), row.end(), placed));
      }
      // In place: the first row is out[0..k).
      std::vector<cb::Vertex> in_place(all.size());
      std::copy(all.begin(), all.begin() + k, in_place.begin());
      cb::enumerate_permutations(in_place.data(), n, k, rows.size(), in_place.data());
      ASSERT_EQ(in_place, all);
    }
  }
}

TEST(Permutations, RankingStopsAtTheFirstRepeat) {
  // Rows of (9, 4); the repeat in each case sits in `bad_row` at columns (i, j).
  const int cases[][3] = {{0, 0, 1}, {3, 2, 3}, {5, 0, 3}, {7, 1, 2}};
  std::mt19937_64 rng(5);
  for (const auto& [bad_row, i, j] : cases) {
    std::vector<cb::Vertex> rows;
    for (int r = 0; r < 8; ++r) {
      std::vector<cb::Vertex> perm(9);
      std::iota(perm.begin(), perm.end(), cb::Vertex{0});
      std::shuffle(perm.begin(), perm.end(), rng);
      if (r == bad_row) perm[static_cast<std::size_t>(j)] = perm[static_cast<std::size_t>(i)];
      rows.insert(rows.end(), perm.begin(), perm.begin() + 4);
    }
    std::vector<std::int64_t> out(8, -1);
    EXPECT_EQ((cb::rank_permutation_rows<cb::Rank>(rows.data(), 8, 9, 4, out.data())), std::size_t(bad_row));
    for (int r = 0; r < 8; ++r) {
      const Row row(rows.begin() + 4 * r, rows.begin() + 4 * r + 4);
      EXPECT_EQ(out[static_cast<std::size_t>(r)], r < bad_row ? static_cast<std::int64_t>(lehmer_rank(row, 9)) : -1);
    }
  }
}

TEST(Permutations, WideRanksRoundTripAndMatchLehmer) {
  // Past 2^64 (to the largest k a 128-bit rank allows), at the 64-bit limit,
  // and n at 2^32.
  const std::uint64_t big = std::uint64_t{1} << 32;
  const std::uint64_t shapes[][2] = {{40, 15}, {34, 34}, {big, 3}, {big, 4}, {70000, 7}, {21, 20}, {20, 20}};
  std::mt19937_64 rng(3);
  for (const auto& [n, k] : shapes) {
    SCOPED_TRACE(::testing::Message() << "n = " << n << ", k = " << k);
    bool overflow = false;
    const WideRank count = cb::perm_wide(n, k, overflow);
    ASSERT_FALSE(overflow);
    std::vector<WideRank> ranks = {0, count - 1, count / 2, count - n};
    while (ranks.size() < 300) ranks.push_back((WideRank{rng()} << 64 | rng()) % count);
    std::vector<cb::WideVertex> rows(ranks.size() * k);
    cb::unrank_permutation_rows<WideRank>(ranks.data(), ranks.size(), static_cast<std::int64_t>(n),
                                          static_cast<std::int64_t>(k), rows.data());
    std::vector<cb::StoredWideRank> back(ranks.size());
    ASSERT_EQ((cb::rank_permutation_rows<WideRank>(rows.data(), ranks.size(), static_cast<std::int64_t>(n),
                                                    static_cast<std::int64_t>(k), back.data())),
              ranks.size());
    for (std::size_t i = 0; i < ranks.size(); ++i) {
      const Row row(rows.begin() + static_cast<std::ptrdiff_t>(i * k), rows.begin() + static_cast<std::ptrdiff_t>((i + 1) * k));
      ASSERT_TRUE(lehmer_rank(row, n) == ranks[i]) << i;
      ASSERT_TRUE(static_cast<WideRank>(back[i]) == ranks[i]) << i;
    }
    if (count >> 64 == 0) {  // the same through 64-bit ranks and, below 2^16 vertices, 16-bit rows
      std::vector<cb::Rank> narrow(ranks.begin(), ranks.end());
      std::vector<cb::WideVertex> again(rows.size());
      cb::unrank_permutation_rows<cb::Rank>(narrow.data(), narrow.size(), static_cast<std::int64_t>(n),
                                            static_cast<std::int64_t>(k), again.data());
      EXPECT_EQ(again, rows);
    }
    if (n <= 65536) {
      std::vector<cb::Vertex> short_rows(rows.size());
      cb::unrank_permutation_rows<WideRank>(ranks.data(), ranks.size(), static_cast<std::int64_t>(n),
                                            static_cast<std::int64_t>(k), short_rows.data());
      EXPECT_TRUE(std::equal(rows.begin(), rows.end(), short_rows.begin()));
    }
  }
}

// Enumeration from `start` for `rows` rows against stepping the oracle.
template <typename V>
void check_run(const Row& start, std::uint64_t n, std::size_t rows) {
  SCOPED_TRACE(::testing::Message() << "n = " << n << ", k = " << start.size() << ", rows = " << rows);
  const std::vector<V> first(start.begin(), start.end());
  const std::vector<V> got = enumerated(first.data(), static_cast<std::int64_t>(n),
                                        static_cast<std::int64_t>(start.size()), rows);
  Row want = start;
  for (std::size_t r = 0; r < rows; ++r, want = next_row(want, n)) {
    ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin() + static_cast<std::ptrdiff_t>(r * start.size()))) << r;
  }
}

TEST(Permutations, EnumerationCrossesBlocks) {
  // Blocks of 16-bit rows by byte shuffle (10, 10), mapped (20, 5), counted
  // up (1000, 3); 32-bit rows; mapped in two chunks (16, 10); rows past 32
  // vertices.
  check_run<cb::Vertex>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 10, 60000);
  check_run<cb::Vertex>({3, 9, 1, 0, 8, 7, 6, 5, 4, 2}, 10, 30000);
  check_run<cb::Vertex>({0, 19, 18, 2, 7}, 20, 40000);
  check_run<cb::Vertex>({5, 999, 997}, 1000, 5000);
  check_run<cb::WideVertex>({0, 69990}, 70000, 100);
  check_run<cb::WideVertex>({69998, 69999, 69900}, 70000, 300);
  check_run<cb::Vertex>({4, 9, 0, 15, 1, 3, 2, 8, 7, 6}, 16, 5000);
  std::mt19937_64 rng(9);
  Row long_row(38), near_full(300);
  std::iota(long_row.begin(), long_row.end(), 0);
  std::iota(near_full.begin(), near_full.end(), 0);
  std::shuffle(near_full.begin(), near_full.end(), rng);
  near_full.resize(297);
  check_run<cb::Vertex>(long_row, 40, 20000);
  check_run<cb::WideVertex>(near_full, 300, 3000);
  check_run<cb::Vertex>(near_full, 300, 3000);
  // Long rows, k = n and just below.
  Row perm(3000);
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), rng);
  check_run<cb::Vertex>(perm, 3000, 12000);
  check_run<cb::Vertex>(Row(perm.begin(), perm.end() - 3), 3000, 12000);
}

TEST(Permutations, DrawsAreUniformPermutations) {
  // All 12 2-permutations of 4 over 60000 draws: chi-square at p = 0.001.
  cb::detail::RowScratch<cb::Vertex> scratch;
  auto rng = cb::stream(1, 0);
  std::map<std::pair<int, int>, int> tally;
  for (int i = 0; i < 60000; ++i) {
    cb::Vertex row[2];
    cb::draw_permutation_row(rng, 4, 2, scratch, row);
    ++tally[{row[0], row[1]}];
  }
  double chi = 0;
  for (const auto& [pair, c] : tally) chi += (c - 5000.0) * (c - 5000.0) / 5000.0;
  EXPECT_EQ(tally.size(), 12u);
  EXPECT_LT(chi, 31.26);
  for (const auto& [pair, c] : tally) EXPECT_NE(pair.first, pair.second);
  // Long rows and wide vertices: distinct and below n.
  const auto distinct_below = [](const auto& row, std::uint64_t n) {
    const std::set<std::uint64_t> seen(row.begin(), row.end());
    return seen.size() == row.size() && *seen.rbegin() < n;
  };
  for (const auto& [n, k] : {std::pair{1000, 1000}, std::pair{65536, 300}, std::pair{50, 49}}) {
    std::vector<cb::Vertex> row(static_cast<std::size_t>(k));
    cb::draw_permutation_row(rng, n, k, scratch, row.data());
    EXPECT_TRUE(distinct_below(row, static_cast<std::uint64_t>(n))) << n << " " << k;
  }
  cb::detail::RowScratch<cb::WideVertex> wide_scratch;
  for (const auto& [n, k] : {std::pair{70000LL, 5LL}, std::pair{1LL << 32, 3LL}, std::pair{70000LL, 69000LL}}) {
    std::vector<cb::WideVertex> row(static_cast<std::size_t>(k));
    cb::draw_permutation_row(rng, n, k, wide_scratch, row.data());
    EXPECT_TRUE(distinct_below(row, static_cast<std::uint64_t>(n))) << n << " " << k;
  }
}

TEST(SamplePermutations, RowsArePermutationsAndDistinctWhereAsked) {
  // All 60 3-permutations of 5, many of 1000, and past 2^64 of them.
  const std::pair<std::int64_t, std::int64_t> shapes[] = {{5, 3}, {1000, 5}, {40, 15}};
  for (const auto& [n, k] : shapes) {
    const std::size_t size = n == 5 ? 60 : 70000, w = static_cast<std::size_t>(k);
    std::vector<cb::Vertex> distinct(size * w), repeated(size * w);
    cb::sample_distinct_rows<Family::permutations>(4, n, k, size, distinct.data());
    cb::sample_rows_with_replacement<Family::permutations>(4, n, k, 0, size, repeated.data());
    std::set<std::vector<cb::Vertex>> rows;
    for (std::size_t i = 0; i < size; ++i) {
      for (const auto* flat_rows : {&distinct, &repeated}) {
        const std::set<cb::Vertex> seen(flat_rows->begin() + static_cast<std::ptrdiff_t>(i * w),
                                        flat_rows->begin() + static_cast<std::ptrdiff_t>((i + 1) * w));
        ASSERT_TRUE(seen.size() == w && *seen.rbegin() < n) << n << " " << i;
      }
      rows.emplace(distinct.begin() + static_cast<std::ptrdiff_t>(i * w), distinct.begin() + static_cast<std::ptrdiff_t>((i + 1) * w));
    }
    EXPECT_EQ(rows.size(), size) << n;
  }
}
