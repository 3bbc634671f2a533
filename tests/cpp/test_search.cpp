#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "combinatorial/search.hpp"

using combinatorial::find_k;
using combinatorial::get_max;
using combinatorial::get_max_vertex;
using i64 = std::int64_t;
using u64 = std::uint64_t;
using u128 = unsigned __int128;

namespace {

constexpr i64 int64_min = std::numeric_limits<i64>::min();
constexpr i64 int64_max = std::numeric_limits<i64>::max();
constexpr u128 two_to_64 = static_cast<u128>(1) << 64;

// Exact C(v, k) capped at 2^64, in 128-bit arithmetic; 0 for v < k or v < 0.
// Every intermediate C(v - m + j, j) is at most the final value, so the loop
// can stop as soon as it reaches 2^64.
u128 exact_binom(i64 v, i64 k) {
  if (k < 0 || v < 0 || k > v) return 0;
  const u64 n = static_cast<u64>(v);
  u64 m = static_cast<u64>(k);
  if (m > n - m) m = n - m;
  u128 c = 1;
  for (u64 j = 1; j <= m; ++j) {
    c = c * (n - m + j) / j;
    if (c >= two_to_64) return two_to_64;
  }
  return c;
}

// Largest v in [k - 1, n] with C(v, k) <= r, r read as unsigned; k >= 1 and
// n >= k - 1. Bisection over exact coefficients.
i64 largest_vertex(u64 r, i64 k, i64 n) {
  u64 lo = static_cast<u64>(k - 1), hi = static_cast<u64>(n);  // C(lo, k) = 0 <= r
  while (lo < hi) {
    const u64 mid = lo + (hi - lo + 1) / 2;
    if (exact_binom(static_cast<i64>(mid), k) <= r) lo = mid; else hi = mid - 1;
  }
  return static_cast<i64>(lo);
}

// The extreme int64 values: both ends, 0, and every power of two with its
// neighbours, with either sign.
std::vector<i64> extreme_values() {
  std::vector<i64> values{int64_min, int64_min + 1, int64_max - 1, int64_max, 0};
  for (int j = 0; j < 63; ++j) {
    const i64 p = i64{1} << j;
    for (const i64 d : {i64{-1}, i64{0}, i64{1}}) {
      values.push_back(p + d);
      values.push_back(-(p + d));
    }
  }
  return values;
}

struct FindKCase {
  i64 r, k, guess;
};

}  // namespace

TEST(FindK, ClosedFormValues) {
  const FindKCase cases[] = {
      // r = 0 starts at k - 1 for every k.
      {0, 0, -1}, {0, 1, 0}, {0, 2, 1}, {0, 3, 2}, {0, 5, 4}, {0, -7, -8},
      // k = 1 is exact.
      {10, 1, 10}, {-5, 1, -5}, {int64_max, 1, int64_max}, {int64_min, 1, int64_min},
      // Pairs.
      {1, 2, 1}, {3, 2, 2}, {4, 2, 3}, {6, 2, 3}, {7, 2, 4}, {10, 2, 4}, {1000, 2, 45},
      // Triples.
      {1, 3, 1}, {4, 3, 2}, {5, 3, 3}, {21, 3, 5}, {120, 3, 8}, {1000, 3, 18},
      // 6r a perfect cube: the guess is one below its cube root.
      {972, 3, 17}, {2304, 3, 23}, {7776, 3, 35},
      // Every other k starts at k - 1.
      {10, 4, 3}, {int64_max, 40, 39}, {10, 0, -1}, {10, -3, -4}, {-10, 6, 5},
      // A negative r has no real square root.
      {-1, 2, int64_min}, {-1000, 2, int64_min}, {int64_min, 2, int64_min},
      // Single precision is too coarse here: the guess is one above the
      // answer 8421444.
      {35460363733288, 2, 8421445},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(find_k(c.r, c.k), c.guess) << "r = " << c.r << ", k = " << c.k;
  }
}

namespace {

// The largest v with C(v, k) <= r for k = 2 or 3 and r < C(65536, k), from a
// floating-point root corrected with exact 64-bit coefficients (v <= 65536
// keeps v (v - 1) (v - 2) below 2^48).
i64 small_vertex(u64 r, i64 k) {
  const auto coefficient = [k](u64 v) {
    if (v < static_cast<u64>(k)) return u64{0};
    return k == 2 ? v * (v - 1) / 2 : v * (v - 1) * (v - 2) / 6;
  };
  const double root = k == 2 ? std::sqrt(2.0 * static_cast<double>(r))
                             : std::cbrt(6.0 * static_cast<double>(r));
  u64 v = std::min<u64>(static_cast<u64>(root), 65536);
  while (v < 65536 && coefficient(v + 1) <= r) ++v;
  while (coefficient(v) > r) --v;
  return static_cast<i64>(v);
}

// find_k(r, k) must lie in [v - slack, v] for the true vertex v of every
// r in [1, C(65535, k) - 1]; colex unranking starts its search there.
void expect_guess_brackets_vertex(i64 k, i64 slack) {
  const u64 limit = static_cast<u64>(exact_binom(65535, k));  // r < limit
  const auto check = [&](u64 r) {  // false, with a failure added, on the first miss
    const i64 v = small_vertex(r, k);
    const i64 g = find_k(static_cast<i64>(r), k);
    if (g <= v && g >= v - slack) return true;
    ADD_FAILURE() << "find_k(" << r << ", " << k << ") = " << g << ", vertex " << v;
    return false;
  };
  // The oracle itself, against the exact search, on a sample.
  std::mt19937_64 rng(static_cast<u64>(1000 + k));
  std::uniform_int_distribution<u64> anywhere(1, limit - 1);
  for (int i = 0; i < 2000; ++i) {
    const u64 r = anywhere(rng);
    ASSERT_EQ(small_vertex(r, k), largest_vertex(r, k, 65535)) << r;
  }
  // Around every coefficient C(w, k), where the answer steps.
  for (i64 w = k; w <= 65535; ++w) {
    const u64 c = static_cast<u64>(exact_binom(w, k));
    for (const u64 r : {c - 1, c, c + 1}) {
      if (r >= 1 && r < limit && !check(r)) return;
    }
  }
  for (int i = 0; i < 2000000; ++i) {
    if (!check(anywhere(rng))) return;
  }
  // Small ranks, where the relative rounding matters most.
  for (u64 r = 1; r <= 100000; ++r) {
    if (!check(r)) return;
  }
}

}  // namespace

TEST(FindK, PairGuessIsTheVertexOrOneBelow) { expect_guess_brackets_vertex(2, 1); }

TEST(FindK, TripleGuessIsTheVertexOrUpToTwoBelow) { expect_guess_brackets_vertex(3, 2); }

TEST(GetMax, FalseAtLowerEndReturnsIt) {
  const std::vector<i64> ends = extreme_values();
  for (const i64 lo : ends) {
    for (const i64 hi : {int64_min, i64{-1}, i64{0}, i64{5}, int64_max}) {
      int calls = 0;
      const i64 got = get_max(hi, lo, [&](i64) { ++calls; return false; });
      ASSERT_EQ(got, lo) << "lo = " << lo << ", hi = " << hi;
      ASSERT_EQ(calls, 1);
    }
  }
}

TEST(GetMax, UpperEndBelowLowerEndReturnsUpperEnd) {
  const std::pair<i64, i64> ranges[] = {  // {hi, lo}
      {-5, 3}, {0, 1}, {int64_min, int64_max}, {int64_min, int64_min + 1},
      {int64_max - 1, int64_max}, {-1, 0}, {int64_min, 0}};
  for (const auto& [hi, lo] : ranges) {
    EXPECT_EQ(get_max(hi, lo, [](i64) { return true; }), hi) << "lo = " << lo << ", hi = " << hi;
  }
}

TEST(GetMax, SmallRangesAgainstBruteForce) {
  for (i64 lo = -6; lo <= 6; ++lo) {
    for (i64 hi = -6; hi <= 6; ++hi) {
      for (i64 t = -8; t <= 8; ++t) {  // pred true up to t
        bool outside = false;
        const auto pred = [&](i64 v) {
          if (v < lo || (hi >= lo && v > hi)) outside = true;
          return v <= t;
        };
        i64 want = lo;
        if (t >= lo) want = hi < lo ? hi : std::min(t, hi);
        ASSERT_EQ(get_max(hi, lo, pred), want) << lo << " " << hi << " " << t;
        ASSERT_FALSE(outside) << "probed outside [" << lo << ", " << hi << "], t = " << t;
      }
    }
  }
}

TEST(GetMax, WholeInt64RangeFindsEveryThreshold) {
  std::vector<i64> thresholds = extreme_values();
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) thresholds.push_back(static_cast<i64>(rng()));
  for (const i64 t : thresholds) {
    const auto pred = [t](i64 v) { return v <= t; };
    ASSERT_EQ(get_max(int64_max, int64_min, pred), t) << "t = " << t;
    if (t != int64_min) {
      ASSERT_EQ(get_max(int64_max, int64_min + 1, pred), t) << "t = " << t;
    }
    ASSERT_EQ(get_max(int64_max - 1, int64_min, pred), std::min(t, int64_max - 1)) << "t = " << t;
  }
}

TEST(GetMax, RandomRangesAcrossTheInt64Range) {
  std::mt19937_64 rng(12);
  for (int i = 0; i < 200000; ++i) {
    i64 a = static_cast<i64>(rng()), b = static_cast<i64>(rng());
    if (i % 4 == 1) a = int64_min;
    if (i % 4 == 2) b = int64_max;
    const i64 lo = std::min(a, b), hi = std::max(a, b);
    // A threshold inside [lo, hi]: lo + an offset below the range's length.
    const u64 length = static_cast<u64>(hi) - static_cast<u64>(lo);
    const u64 offset = length == ~u64{0} ? rng() : rng() % (length + 1);
    const i64 t = static_cast<i64>(static_cast<u64>(lo) + offset);
    bool outside = false;
    const auto pred = [&](i64 v) {
      if (v < lo || v > hi) outside = true;
      return v <= t;
    };
    ASSERT_EQ(get_max(hi, lo, pred), t) << lo << " " << hi << " " << t;
    ASSERT_FALSE(outside) << lo << " " << hi << " " << t;
  }
}

namespace {

struct VertexCase {
  i64 r, k, n, without_guess, with_guess;
};

template <bool CheckedLookup, bool UseGuess>
i64 vertex(i64 r, i64 k, i64 n) {
  return get_max_vertex<CheckedLookup, UseGuess, false, 0>(r, k, n);
}

}  // namespace

TEST(GetMaxVertex, KnownValues) {
  const VertexCase cases[] = {
      {0, 3, 10, 3, 3},
      {10, 3, 20, 6, 6},  // C(5, 3) = 10 = r: the tie goes to the larger vertex
      {6, 2, 10, 5, 5},
      {3, 1, 10, 4, 4},
      {5, 2, 2, 3, 3},  // capped at n: n + 1
      {10, 2, 100, 6, 6},
      {120, 3, 100, 11, 11},
      {10, 2, 4, 5, 5},
      {-1, 2, 100, 101, 101},  // -1 is the largest unsigned rank
      // The guess 8421445 is above the answer 8421444 and is not corrected.
      {35460363733288, 2, 10000000, 8421445, 8421446},
  };
  for (const auto& c : cases) {
    EXPECT_EQ((vertex<true, false>(c.r, c.k, c.n)), c.without_guess) << c.r << " " << c.k << " " << c.n;
    EXPECT_EQ((vertex<true, true>(c.r, c.k, c.n)), c.with_guess) << c.r << " " << c.k << " " << c.n;
  }
}

namespace {

// Result of get_max_vertex<_, UseGuess = true>: one above the guess when the
// guess already fails, otherwise the same as without the guess.
i64 expected_with_guess(u64 r, i64 k, i64 n) {
  const i64 s = find_k(static_cast<i64>(r), k);
  if (exact_binom(s, k) > r) return s + 1;
  return largest_vertex(r, k, n) + 1;
}

}  // namespace

TEST(GetMaxVertex, TableAndCheckedLookupsAgreeWithExactSearch) {
  constexpr i64 max_n = 70, max_k = 8;
  combinatorial::BC.precompute(max_n, max_k);
  for (i64 k = 1; k <= max_k; ++k) {
    for (i64 n = k - 1; n <= max_n; ++n) {
      std::vector<u64> ranks;
      for (u64 r = 0; r <= 300; ++r) ranks.push_back(r);
      for (i64 w = k; w <= n + 1; ++w) {
        const u64 c = static_cast<u64>(exact_binom(w, k));
        for (const u64 r : {c - 1, c, c + 1}) ranks.push_back(r);
      }
      for (const u64 r : ranks) {
        const i64 plain = largest_vertex(r, k, n) + 1;
        const i64 guessed = expected_with_guess(r, k, n);
        const auto rr = static_cast<i64>(r);
        ASSERT_EQ((vertex<true, false>(rr, k, n)), plain) << r << " " << k << " " << n;
        ASSERT_EQ((vertex<false, false>(rr, k, n)), plain) << r << " " << k << " " << n;
        ASSERT_EQ((vertex<true, true>(rr, k, n)), guessed) << r << " " << k << " " << n;
        // Row reads need the table to cover the guess as well.
        if (find_k(rr, k) <= max_n) {
          ASSERT_EQ((vertex<false, true>(rr, k, n)), guessed) << r << " " << k << " " << n;
        }
        if (r > 0 && r < static_cast<u64>(exact_binom(n + 1, k))) {
          ASSERT_EQ(guessed, plain) << r << " " << k << " " << n;
        }
      }
    }
  }
}

TEST(GetMaxVertex, LargeArgumentsAgreeWithExactSearch) {
  std::mt19937_64 rng(13);
  const std::vector<i64> extremes = extreme_values();
  for (int i = 0; i < 30000; ++i) {
    const i64 k = 1 + static_cast<i64>(rng() % 40);
    // Ranks anywhere in the unsigned range, or next to a coefficient; the
    // all-ones rank 2^64 - 1 is left to its own test.
    u64 r = rng() >> (rng() % 64);
    if (i % 3 == 0) {
      const i64 w = k + static_cast<i64>(rng() % 100000);
      r = static_cast<u64>(exact_binom(w, k)) - 1 + rng() % 3;
    }
    if (r == ~u64{0}) r -= 1;
    i64 n = k - 1 + static_cast<i64>(rng() % (i % 2 ? 10000000 : u64{1} << 62));
    if (i % 7 == 0) n = int64_max - static_cast<i64>(rng() % 3);
    if (i % 11 == 0) n = std::max(k - 1, extremes[rng() % extremes.size()]);
    const auto rr = static_cast<i64>(r);
    const i64 want = largest_vertex(r, k, n);
    if (want == int64_max) continue;  // one above it does not fit int64
    ASSERT_EQ((vertex<true, false>(rr, k, n)), want + 1) << r << " " << k << " " << n;
    ASSERT_EQ((vertex<true, true>(rr, k, n)), expected_with_guess(r, k, n)) << r << " " << k << " " << n;
  }
}

TEST(GetMaxVertex, AllOnesRankIsBelowEverySaturatedCoefficient) {
  // r = 2^64 - 1 is below every coefficient of 2^64 or more, so the search
  // must stop where C(v, k) first reaches 2^64, not run on to n.
  const u64 all_ones = ~u64{0};
  const struct { i64 k, n; } cases[] = {{2, 10000000000}, {3, 100000000}, {4, 1000000}, {10, 10000}, {2, int64_max}};
  for (const auto& c : cases) {
    const i64 want = largest_vertex(all_ones, c.k, c.n);
    ASSERT_LT(want, c.n);
    EXPECT_EQ((vertex<true, false>(-1, c.k, c.n)), want + 1) << "k = " << c.k << ", n = " << c.n;
    EXPECT_EQ((vertex<true, true>(-1, c.k, c.n)), want + 1) << "k = " << c.k << ", n = " << c.n;
  }
  // One below it behaves.
  EXPECT_EQ((vertex<true, false>(-2, 2, 10000000000)), largest_vertex(all_ones - 1, 2, 10000000000) + 1);
}

TEST(GetMaxVertex, OneAboveTheLargestInt64Wraps) {
  // Every vertex up to n = INT64_MAX passes, and n + 1 wraps to INT64_MIN
  // rather than overflowing.
  for (const i64 r : {int64_max, i64{-1}, i64{-2}, int64_min}) {
    EXPECT_EQ((vertex<true, false>(r, 1, int64_max)), int64_min) << r;
    EXPECT_EQ((vertex<true, true>(r, 1, int64_max)), int64_min) << r;
  }
  EXPECT_EQ((vertex<true, true>(5, int64_max, int64_max)), int64_min);
}
