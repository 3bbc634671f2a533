// The unranking kernels against brute force: combinations enumerated directly
// and ranks recomputed with binom(), which test_binomial.cpp checks on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/complement.hpp"
#include "combinatorial/unrank_colex.hpp"
#include "combinatorial/unrank_lex.hpp"
#include "combinatorial/unrank.hpp"
#include "combinatorial/unrank_pairs.hpp"

using combinatorial::BC;
using combinatorial::binom;
using Row = std::vector<std::uint16_t>;

namespace {

constexpr std::uint16_t sentinel = 0xBEEF;

std::uint64_t count_of(std::int64_t n, std::int64_t k) {
  return binom(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k));
}

// Every k-subset of {0..n-1}, smallest vertex first, in lex order.
std::vector<Row> lex_combinations(int n, int k) {
  std::vector<Row> all;
  Row c(static_cast<std::size_t>(k));
  for (int i = 0; i < k; ++i) c[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(i);
  if (k > n) return all;
  while (true) {
    all.push_back(c);
    int i = k - 1;
    while (i >= 0 && c[static_cast<std::size_t>(i)] == n - k + i) --i;
    if (i < 0) return all;
    ++c[static_cast<std::size_t>(i)];
    for (int j = i + 1; j < k; ++j) {
      c[static_cast<std::size_t>(j)] = static_cast<std::uint16_t>(c[static_cast<std::size_t>(j - 1)] + 1);
    }
  }
}

// The same subsets, largest vertex first, in colex order.
std::vector<Row> colex_combinations(int n, int k) {
  std::vector<Row> all = lex_combinations(n, k);
  for (Row& c : all) std::reverse(c.begin(), c.end());
  std::sort(all.begin(), all.end());  // colex compares largest vertices first
  return all;
}

// Colex rank of a row written largest first, after checking the row.
std::uint64_t colex_rank(const std::uint16_t* row, std::size_t k, std::int64_t n) {
  std::uint64_t sum = 0;
  for (std::size_t j = 0; j < k; ++j) {
    EXPECT_LT(row[j], n);
    if (j > 0) {
      EXPECT_LT(row[j], row[j - 1]);
    }
    sum += binom(row[j], k - j);
  }
  return sum;
}

// Lex rank of a row written smallest first, after checking the row.
std::uint64_t lex_rank(const std::uint16_t* row, std::size_t k, std::int64_t n) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < k; ++i) {
    EXPECT_LT(row[i], n);
    if (i > 0) {
      EXPECT_GT(row[i], row[i - 1]);
    }
    sum += binom(static_cast<std::uint64_t>(n - 1 - row[i]), k - i);
  }
  return count_of(n, static_cast<std::int64_t>(k)) - 1 - sum;
}

std::size_t width_of(std::int64_t k) { return k <= 1 ? 1 : static_cast<std::size_t>(k); }

// One colex member over the ranks, into a buffer with a guard element.
template <bool Checked, bool Guess, bool Gallop, std::size_t Probes, typename Rank>
Row run_colex(const std::vector<Rank>& ranks, std::int64_t n, std::int64_t k) {
  Row out(ranks.size() * width_of(k) + 1, sentinel);
  combinatorial::unrank_colex<Checked, Guess, Gallop, Probes>(ranks.data(), ranks.data() + ranks.size(), n,
                                                               k, out.data());
  EXPECT_EQ(out.back(), sentinel) << "wrote past its output";
  out.pop_back();
  return out;
}

std::string member_name(std::size_t i) {
  return std::string(i & 16 ? "checked" : "direct") + (i & 8 ? " guess" : "") + (i & 4 ? " gallop" : "") +
         " probes=" + std::to_string(i & 3);
}

// Every member, index i = Checked * 16 + Guess * 8 + Gallop * 4 + Probes. The
// direct members run over a table covering exactly (n, k); the checked ones
// over a table far too small, so that their values are computed.
template <typename Rank, std::size_t... I>
std::vector<Row> run_all_members(const std::vector<Rank>& ranks, std::int64_t n, std::int64_t k,
                                 std::index_sequence<I...>) {
  std::vector<Row> results(sizeof...(I));
  BC.precompute(n, k);
  ((results[I] = (I & 16) ? Row{} : run_colex<false, (I & 8) != 0, (I & 4) != 0, (I & 3)>(ranks, n, k)), ...);
  BC.precompute(std::min<std::int64_t>(n, 3), 1);
  ((results[I] = (I & 16) ? run_colex<true, (I & 8) != 0, (I & 4) != 0, (I & 3)>(ranks, n, k) : results[I]),
   ...);
  return results;
}

template <typename Rank>
void expect_every_member_writes(const std::vector<Rank>& ranks, std::int64_t n, std::int64_t k,
                                const Row& expected) {
  const std::vector<Row> results = run_all_members(ranks, n, k, std::make_index_sequence<32>{});
  for (std::size_t i = 0; i < results.size(); ++i) {
    ASSERT_EQ(results[i], expected) << member_name(i) << ", n = " << n << ", k = " << k;
  }
}

// Colex ranks where the searches are hardest, with their neighbours: for
// vertices w at every position p, the row with w at p and the lower positions
// at their smallest (remainder C(w, p) there) and the row with w - 1 at p and
// the lower positions at their largest (remainder C(w, p) - 1), the upper
// positions at their smallest, largest or random.
std::vector<std::int64_t> boundary_ranks(std::int64_t n, std::int64_t k, std::size_t ws, std::mt19937_64& rng) {
  std::set<std::uint64_t> ranks;
  const std::uint64_t count = count_of(n, k);
  const auto add = [&](std::uint64_t r) {
    for (std::uint64_t d : {r - 1, r, r + 1}) {
      if (d < count) ranks.insert(d);
    }
  };
  add(count - 1);
  for (std::int64_t p = 1; p <= k; ++p) {
    const std::int64_t lo = p - 1, hi = n - 1 - (k - p);
    std::vector<std::int64_t> candidates;
    for (std::int64_t w = lo; w <= std::min(hi, lo + 4); ++w) candidates.push_back(w);
    for (std::int64_t w = std::max(lo, hi - 4); w <= hi; ++w) candidates.push_back(w);
    for (std::size_t i = 0; i < ws; ++i) {
      candidates.push_back(lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1)));
    }
    for (const std::int64_t w : candidates) {
      for (int variant = 0; variant < 2; ++variant) {
        if (variant == 1 && w < p) continue;
        // Ascending vertices of positions 1..p.
        std::vector<std::int64_t> lower;
        for (std::int64_t i = 0; i < p; ++i) lower.push_back(variant == 0 ? (i == p - 1 ? w : i) : w - p + i);
        const std::int64_t top = lower.back();
        for (int upper_kind = 0; upper_kind < 3; ++upper_kind) {
          std::vector<std::int64_t> c = lower;
          for (std::int64_t j = 0; j < k - p; ++j) {
            if (upper_kind == 0) c.push_back(top + 1 + j);
            if (upper_kind == 1) c.push_back(n - (k - p) + j);
          }
          if (upper_kind == 2) {
            std::set<std::int64_t> upper;
            while (static_cast<std::int64_t>(upper.size()) < k - p) {
              upper.insert(top + 1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n - 1 - top)));
            }
            c.insert(c.end(), upper.begin(), upper.end());
          }
          std::uint64_t r = 0;
          for (std::size_t i = 0; i < c.size(); ++i) r += binom(static_cast<std::uint64_t>(c[i]), i + 1);
          add(r);
        }
      }
    }
  }
  return {ranks.begin(), ranks.end()};
}

}  // namespace

TEST(UnrankColex, GallopTraceForRank100OfPairsOf20) {
  // The reader records every position compared: e+1, e+2, e+4, e+8, e+16
  // (C(17, 2) = 136 > 100), the bracket [8, 20], then bisection at 14, 17, 15.
  struct RecordingPairs {
    std::vector<std::int64_t>* seen;
    std::uint64_t operator()(std::int64_t m) const noexcept {
      seen->push_back(m);
      return binom(static_cast<std::uint64_t>(m), 2);
    }
  };
  std::vector<std::int64_t> seen;
  seen.reserve(64);
  EXPECT_EQ(combinatorial::detail::gallop(RecordingPairs{&seen}, 100, 1, 20), 14);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{2, 3, 5, 9, 17, 14, 17, 15}));

  BC.precompute(20, 2);
  EXPECT_EQ((run_colex<false, false, true, 0>(std::vector<std::int64_t>{100}, 20, 2)), (Row{14, 9}));
}

TEST(UnrankColex, GallopAndBisectionFindTheLargestFittingIndexEverywhere) {
  // Every start e and every remainder r on a row of pairs: the answer is the
  // largest m in [e, n] with C(m, 2) <= r, whenever C(e, 2) <= r.
  struct Pairs {
    std::uint64_t operator()(std::int64_t m) const noexcept { return binom(static_cast<std::uint64_t>(m), 2); }
  };
  for (std::int64_t n = 2; n <= 40; ++n) {
    for (std::int64_t e = 1; e <= n; ++e) {
      for (std::uint64_t r = binom(static_cast<std::uint64_t>(e), 2); r < binom(static_cast<std::uint64_t>(n + 1), 2) + 3;
           ++r) {
        std::int64_t want = e;
        while (want < n && binom(static_cast<std::uint64_t>(want + 1), 2) <= r) ++want;
        ASSERT_EQ(combinatorial::detail::gallop(Pairs{}, r, e, n), want) << n << " " << e << " " << r;
        ASSERT_EQ(combinatorial::detail::bisect(Pairs{}, r, e, n), want) << n << " " << e << " " << r;
      }
    }
  }
}

TEST(UnrankColex, EveryMemberEnumeratesSmallSets) {
  for (int n = 0; n <= 11; ++n) {
    for (int k = 0; k <= n; ++k) {
      const std::vector<Row> combos = colex_combinations(n, k);
      std::vector<std::int64_t> ranks(combos.size());
      Row expected;
      for (std::size_t r = 0; r < combos.size(); ++r) {
        ranks[r] = static_cast<std::int64_t>(r);
        if (k <= 1) {
          expected.push_back(static_cast<std::uint16_t>(r));  // the rank itself
        } else {
          expected.insert(expected.end(), combos[r].begin(), combos[r].end());
        }
      }
      expect_every_member_writes(ranks, n, k, expected);
      // Unsigned ranks, as the module's entry points pass them.
      const std::vector<std::uint64_t> unsigned_ranks(ranks.begin(), ranks.end());
      expect_every_member_writes(unsigned_ranks, n, k, expected);
    }
  }
}

TEST(UnrankColex, EveryMemberOnBoundaryAndRandomRanks) {
  std::mt19937_64 rng(2024);
  const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
      {65535, 2}, {65535, 3}, {65535, 4}, {1000, 3}, {200, 5}, {60, 12}, {20, 2}, {5, 3}, {67, 8}, {40, 20}};
  for (const auto& [n, k] : cases) {
    std::vector<std::int64_t> ranks = boundary_ranks(n, k, 200, rng);
    const std::uint64_t count = count_of(n, k);
    for (int i = 0; i < 2000; ++i) ranks.push_back(static_cast<std::int64_t>(rng() % count));
    BC.precompute(n, k);
    const Row expected = run_colex<false, false, false, 0>(ranks, n, k);
    for (std::size_t i = 0; i < ranks.size(); ++i) {
      ASSERT_EQ(colex_rank(expected.data() + i * static_cast<std::size_t>(k), static_cast<std::size_t>(k), n),
                static_cast<std::uint64_t>(ranks[i]))
          << "n = " << n << ", k = " << k << ", rank " << ranks[i];
    }
    expect_every_member_writes(ranks, n, k, expected);
  }
}

TEST(UnrankColex, PairAndTripleBoundariesAtTheWidestGuessedRange) {
  // C(w, p) - 1, C(w, p), C(w, p) + 1 for every w, at n = 65535, where the
  // guesses are closest to their limits.
  for (const std::int64_t k : {2, 3}) {
    const std::int64_t n = 65535;
    std::vector<std::int64_t> ranks;
    for (std::int64_t w = k; w < n; ++w) {
      const auto c = static_cast<std::int64_t>(count_of(w, k));
      ranks.insert(ranks.end(), {c - 1, c, c + 1});
    }
    ranks.push_back(static_cast<std::int64_t>(count_of(n, k)) - 1);
    BC.precompute(n, k);
    const Row expected = run_colex<false, false, false, 0>(ranks, n, k);
    for (std::size_t i = 0; i < ranks.size(); ++i) {
      ASSERT_EQ(colex_rank(expected.data() + i * static_cast<std::size_t>(k), static_cast<std::size_t>(k), n),
                static_cast<std::uint64_t>(ranks[i]));
    }
    expect_every_member_writes(ranks, n, k, expected);
  }
}

TEST(UnrankColex, KnownRows) {
  BC.precompute(5, 3);
  EXPECT_EQ((run_colex<false, false, false, 0>(std::vector<std::int64_t>{7, 0, 9}, 5, 3)),
            (Row{4, 3, 0, 2, 1, 0, 4, 3, 2}));
  // r = 6 = C(4, 2): the pair guess is 3, one probe finds C(4, 2) <= 6 and
  // leaves it to the search, which must still reach 4.
  BC.precompute(20, 2);
  EXPECT_EQ((run_colex<false, true, false, 1>(std::vector<std::int64_t>{6}, 20, 2)), (Row{4, 0}));
  EXPECT_EQ((run_colex<false, true, true, 1>(std::vector<std::int64_t>{6}, 20, 2)), (Row{4, 0}));
  const std::int64_t n = 65535;
  const auto top = static_cast<std::int64_t>(count_of(n, 2)) - 1;
  const auto next = static_cast<std::int64_t>(count_of(n - 1, 2));
  expect_every_member_writes(std::vector<std::int64_t>{top, next}, n, 2, Row{65534, 65533, 65534, 0});
  expect_every_member_writes(std::vector<std::int64_t>{}, n, 2, Row{});
  expect_every_member_writes(std::vector<std::int64_t>{3, 0, 65534}, n, 1, Row{3, 0, 65534});
  expect_every_member_writes(std::vector<std::int64_t>{0, 0}, n, 0, Row{0, 0});
}

template <bool Checked>
Row run_lex(const std::vector<std::uint64_t>& ranks, std::uint64_t n, std::uint64_t k) {
  Row out(ranks.size() * k + 1, sentinel);
  combinatorial::unrank_lex<Checked>(ranks.data(), ranks.data() + ranks.size(), n, k, out.data());
  EXPECT_EQ(out.back(), sentinel) << "wrote past its output";
  out.pop_back();
  return out;
}

TEST(UnrankLex, TraceOfRank7OfTriplesOf5) {
  BC.precompute(5, 3);
  EXPECT_EQ(run_lex<false>({7}, 5, 3), (Row{1, 2, 4}));
  EXPECT_EQ(run_lex<true>({7}, 5, 3), (Row{1, 2, 4}));
  EXPECT_EQ(run_lex<false>({0, 9}, 5, 3), (Row{0, 1, 2, 2, 3, 4}));
  EXPECT_EQ(run_lex<true>({7}, 5, 2), (Row{2, 3}));
  EXPECT_EQ(run_lex<false>({0, 1, 2, 3, 4, 5}, 4, 2), (Row{0, 1, 0, 2, 0, 3, 1, 2, 1, 3, 2, 3}));
  EXPECT_EQ(run_lex<true>({0, 0}, 5, 0), Row{});
}

TEST(UnrankLex, BothMembersEnumerateSmallSetsWhateverTheTable) {
  const std::vector<std::pair<std::int64_t, std::int64_t>> extents = {{0, 0}, {1, 1}, {4, 2}, {12, 12}, {200, 40}};
  for (int n = 0; n <= 12; ++n) {
    for (int k = 0; k <= n; ++k) {
      const std::vector<Row> combos = lex_combinations(n, k);
      std::vector<std::uint64_t> ranks(combos.size());
      Row expected;
      for (std::size_t r = 0; r < combos.size(); ++r) {
        ranks[r] = r;
        expected.insert(expected.end(), combos[r].begin(), combos[r].end());
      }
      const auto nn = static_cast<std::uint64_t>(n), kk = static_cast<std::uint64_t>(k);
      BC.precompute(n, k);
      ASSERT_EQ(run_lex<false>(ranks, nn, kk), expected) << n << " " << k;
      for (const auto& [tn, tk] : extents) {
        BC.precompute(tn, tk);
        ASSERT_EQ(run_lex<true>(ranks, nn, kk), expected) << n << " " << k << " table " << tn << " " << tk;
      }
    }
  }
}

TEST(UnrankLex, CheckedMemberMatchesDirectForLargerSetsWhateverTheTable) {
  std::mt19937_64 rng(99);
  const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
      {65536, 1}, {65536, 3}, {65536, 4}, {5000, 5}, {300, 8}, {67, 33}, {68, 30}, {40, 20}, {7, 7}};
  for (const auto& [n, k] : cases) {
    const std::uint64_t count = count_of(n, k);
    std::vector<std::uint64_t> ranks = {0, count - 1, count / 2};
    for (int i = 0; i < 1000; ++i) ranks.push_back(rng() % count);
    const auto nn = static_cast<std::uint64_t>(n), kk = static_cast<std::uint64_t>(k);
    BC.precompute(n, k);
    const Row direct = run_lex<false>(ranks, nn, kk);
    for (std::size_t i = 0; i < ranks.size(); ++i) {
      ASSERT_EQ(lex_rank(direct.data() + i * kk, kk, n), ranks[i]) << n << " " << k;
    }
    for (const auto& [tn, tk] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {0, 0}, {n / 2, k / 2}, {n - 1, k}, {n, k - 1}, {n + 3, k + 2}}) {
      BC.precompute(tn, tk);
      ASSERT_EQ(run_lex<true>(ranks, nn, kk), direct) << n << " " << k << " table " << tn << " " << tk;
    }
  }
}

TEST(UnrankLex, PairsAtFullWidthOnEveryFirstVertexBoundary) {
  // The first and last two pairs that begin with each a, at n = 65536.
  const std::uint64_t n = 65536;
  std::vector<std::uint64_t> ranks;
  Row expected;
  std::uint64_t start = 0;  // rank of (a, a + 1)
  for (std::uint64_t a = 0; a + 1 < n; ++a) {
    const std::uint64_t length = n - 1 - a;
    const std::pair<std::uint64_t, std::uint64_t> picks[] = {{0, a + 1}, {1, a + 2}, {length - 2, n - 2}, {length - 1, n - 1}};
    for (const auto& [offset, b] : picks) {
      if (offset >= length || b <= a) continue;
      ranks.push_back(start + offset);
      expected.insert(expected.end(), {static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b)});
    }
    start += length;
  }
  ASSERT_EQ(start, count_of(65536, 2));
  EXPECT_EQ(run_lex<false>(ranks, n, 2), expected);
  EXPECT_EQ(run_lex<true>(ranks, n, 2), expected);
}

TEST(Complement, BothDirectionsAgainstBruteForce) {
  std::mt19937_64 rng(5);
  for (std::int64_t n = 0; n <= 70; ++n) {
    for (int trial = 0; trial < 40; ++trial) {
      std::vector<bool> in(static_cast<std::size_t>(n));
      const std::uint64_t density = rng() % 5;  // empty, sparse, dense, full
      for (std::size_t v = 0; v < in.size(); ++v) in[v] = density == 0 ? false : density == 4 ? true : rng() % 4 < density;
      Row taken_up, missing_up;
      for (std::size_t v = 0; v < in.size(); ++v) (in[v] ? taken_up : missing_up).push_back(static_cast<std::uint16_t>(v));
      const Row taken_down(taken_up.rbegin(), taken_up.rend());
      const Row missing_down(missing_up.rbegin(), missing_up.rend());

      Row out(static_cast<std::size_t>(n) + 2, sentinel);
      std::uint16_t* end = combinatorial::write_complement<false>(taken_up.data(), taken_up.size(), n, out.data());
      ASSERT_EQ(end - out.data(), static_cast<std::ptrdiff_t>(missing_up.size()));
      ASSERT_EQ(Row(out.data(), end), missing_up);
      ASSERT_EQ(*end, sentinel);

      std::fill(out.begin(), out.end(), sentinel);
      end = combinatorial::write_complement<true>(taken_down.data(), taken_down.size(), n, out.data());
      ASSERT_EQ(end - out.data(), static_cast<std::ptrdiff_t>(missing_down.size()));
      ASSERT_EQ(Row(out.data(), end), missing_down);
      ASSERT_EQ(*end, sentinel);
    }
  }
}

TEST(Complement, ComplementedUnrankingGivesTheSameCombination) {
  // rank(A) = C(n, k) - 1 - rank(complement of A) in both orders: unranking the
  // complement rank and complementing reproduces the direct unranking.
  for (int n = 1; n <= 12; ++n) {
    for (int k = 0; k <= n; ++k) {
      const int rest = n - k;
      const std::uint64_t count = count_of(n, k);
      BC.precompute(n, n);
      for (std::uint64_t r = 0; r < count; ++r) {
        const std::uint64_t c = count - 1 - r;
        Row taken(static_cast<std::size_t>(std::max(rest, 1)));
        Row via(static_cast<std::size_t>(k) + 1, sentinel);
        // Colex, written largest first.
        combinatorial::unrank_colex<true, false, false, 0>(&c, &c + 1, n, rest, taken.data());
        std::uint16_t* end =
            combinatorial::write_complement<true>(taken.data(), static_cast<std::size_t>(rest), n, via.data());
        ASSERT_EQ(end - via.data(), k);
        if (k >= 1) {  // k = 1 writes the rank, which is then the vertex
          Row direct(static_cast<std::size_t>(k));
          combinatorial::unrank_colex<true, false, false, 0>(&r, &r + 1, n, k, direct.data());
          ASSERT_EQ(Row(via.data(), end), direct) << n << " " << k << " " << r;
        }
        // Lex, written smallest first.
        std::fill(via.begin(), via.end(), sentinel);
        combinatorial::unrank_lex<true>(&c, &c + 1, static_cast<std::uint64_t>(n),
                                        static_cast<std::uint64_t>(rest), taken.data());
        end = combinatorial::write_complement<false>(taken.data(), static_cast<std::size_t>(rest), n, via.data());
        ASSERT_EQ(end - via.data(), k);
        Row direct(static_cast<std::size_t>(k));
        combinatorial::unrank_lex<true>(&r, &r + 1, static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k),
                                        direct.data());
        ASSERT_EQ(Row(via.data(), end), direct) << n << " " << k << " " << r;
      }
    }
  }
}

// The baseline bodies and the ones chosen for this processor must write the
// same vertices: on a machine with x86-64-v3 or AVX-512 only the latter run
// through the module, so the former are run here directly.
TEST(UnrankDispatch, BaselineBodiesAgreeWithTheDispatchedOnes) {
  std::mt19937_64 rng(17);
  for (const auto& [n, k] : std::vector<std::pair<std::int64_t, std::int64_t>>{
           {1000, 3}, {200, 5}, {60, 12}, {40, 7}, {65536, 2}}) {
    BC.precompute(n, k);
    combinatorial::ColexBucketIndex index;
    if (k >= 3) index.build(n, k);
    std::vector<std::uint64_t> ranks(1001);
    for (auto& r : ranks) r = rng() % count_of(n, k);
    ranks.front() = 0;
    ranks.back() = count_of(n, k) - 1;
    const auto width = static_cast<std::size_t>(k);
    for (const bool lex : {false, true}) {
      Row dispatched(ranks.size() * width), baseline(ranks.size() * width);
      const std::uint64_t* const first = ranks.data();
      const std::uint64_t* const last = first + ranks.size();
      using combinatorial::Order, combinatorial::RowLayout;
      const combinatorial::TableView table = BC.view();
      if (k == 2) {
        lex ? combinatorial::unrank_pairs<Order::lex, RowLayout::smallest_first>(first, last, n, dispatched.data())
            : combinatorial::unrank_pairs<Order::colex, RowLayout::largest_first>(first, last, n, dispatched.data());
        lex ? combinatorial::detail::unrank_pairs_body<Order::lex, RowLayout::smallest_first>(first, last, n,
                                                                                              baseline.data())
            : combinatorial::detail::unrank_pairs_body<Order::colex, RowLayout::largest_first>(first, last, n,
                                                                                               baseline.data());
      } else {
        lex ? combinatorial::unrank_colex_indexed<Order::lex, RowLayout::smallest_first, 0>(table, first, last, n, k,
                                                                                           index, dispatched.data())
            : combinatorial::unrank_colex_indexed<Order::colex, RowLayout::largest_first, 0>(table, first, last, n, k,
                                                                                             index, dispatched.data());
        lex ? combinatorial::detail::unrank_colex_indexed_body<Order::lex, RowLayout::smallest_first, 0>(
                  table, first, last, n, k, index, baseline.data())
            : combinatorial::detail::unrank_colex_indexed_body<Order::colex, RowLayout::largest_first, 0>(
                  table, first, last, n, k, index, baseline.data());
      }
      Row plain(ranks.size() * width);
      lex ? combinatorial::unrank_lex<false>(first, last, static_cast<std::uint64_t>(n),
                                             static_cast<std::uint64_t>(k), plain.data())
          : combinatorial::unrank_colex<false, false, false, 0>(first, last, n, k, plain.data());
      // The other layout, through the batch entry, with and without the index.
      Row other(ranks.size() * width), other_plain(ranks.size() * width), flipped(plain);
      for (std::size_t at = 0; at < flipped.size(); at += width) {
        std::reverse(flipped.begin() + static_cast<std::ptrdiff_t>(at),
                     flipped.begin() + static_cast<std::ptrdiff_t>(at + width));
      }
      const combinatorial::ColexBucketIndex* indexed = k >= 3 ? &index : nullptr;
      if (lex) {
        combinatorial::unrank_batch<Order::lex, RowLayout::largest_first>(table, indexed, first, ranks.size(), n, k,
                                                                          other.data());
        combinatorial::unrank_batch<Order::lex, RowLayout::largest_first>(table, nullptr, first, ranks.size(), n, k,
                                                                          other_plain.data());
      } else {
        combinatorial::unrank_batch<Order::colex, RowLayout::smallest_first>(table, indexed, first, ranks.size(), n,
                                                                             k, other.data());
        combinatorial::unrank_batch<Order::colex, RowLayout::smallest_first>(table, nullptr, first, ranks.size(), n,
                                                                             k, other_plain.data());
      }
      EXPECT_EQ(other, flipped) << n << " " << k << " lex " << lex;
      EXPECT_EQ(other_plain, flipped) << n << " " << k << " lex " << lex;
      EXPECT_EQ(dispatched, plain) << n << " " << k << " lex " << lex;
      EXPECT_EQ(baseline, plain) << n << " " << k << " lex " << lex;
    }
  }
}
