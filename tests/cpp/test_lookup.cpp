#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/lookup.hpp"

using combinatorial::BC;
using combinatorial::binom;

namespace {

// Runs the lookup over n, k and checks every covered element against binom(),
// every other against 0, and the returned flag against what escaped.
void check_lookup(const std::vector<std::uint64_t>& n, const std::vector<std::uint64_t>& k,
                  std::uint64_t max_n, std::uint64_t max_j) {
  BC.precompute(static_cast<std::int64_t>(max_n), static_cast<std::int64_t>(max_j));
  const combinatorial::CoefficientCells table{BC.row(0), static_cast<std::size_t>(max_n + 2), max_n, max_j};
  std::vector<std::uint64_t> out(n.size() + 1, 12345);
  const bool clean = combinatorial::lookup_coefficients(n.data(), k.data(), n.size(), table, out.data() + 1);
  bool escaped = false;
  for (std::size_t i = 0; i < n.size(); ++i) {
    const bool inside = n[i] <= max_n && k[i] <= max_j;
    const std::uint64_t truth = inside ? binom(n[i], k[i]) : 0;
    escaped |= !inside || truth == combinatorial::binom_saturated;
    ASSERT_EQ(out[i + 1], truth) << "n = " << n[i] << ", k = " << k[i];
  }
  EXPECT_EQ(out[0], 12345u);
  EXPECT_EQ(clean, !escaped);
}

}  // namespace

TEST(Lookup, KnownValuesAndEscapes) {
  check_lookup({5, 6, 10, 0, 3}, {2, 3, 5, 0, 4}, 10, 5);  // 3 < 4 gives 0, covered
  check_lookup({11, 5}, {2, 2}, 10, 5);                    // n above the table
  check_lookup({10, 5}, {6, 2}, 10, 5);                    // k above the table
  check_lookup({100, 70}, {50, 35}, 100, 50);              // saturated cell
}

TEST(Lookup, LongRandomRunsMatchBinom) {
  // Long enough for the vector body, its streaming stores and a tail.
  std::mt19937_64 rng(7);
  for (const std::size_t size : {9u, 1000u, (1u << 17) + 5u}) {
    std::vector<std::uint64_t> n(size), k(size);
    for (std::size_t i = 0; i < size; ++i) {
      n[i] = rng() % 140;
      k[i] = rng() % 70;
    }
    n[size / 2] = ~std::uint64_t{0};
    check_lookup(n, k, 130, 64);
  }
}
