#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/faces.hpp"

using combinatorial::binom;
using combinatorial::Order;

namespace {

using Subset = std::vector<std::uint16_t>;
constexpr std::uint64_t untouched = 0xDEADBEEFDEADBEEF;

const auto coef = [](std::int64_t m, std::int64_t j) {
  return binom(static_cast<std::uint64_t>(m), static_cast<std::uint64_t>(j));
};

// The rank by its defining sum.
std::uint64_t rank_of(const Subset& c, std::uint64_t n, Order order) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < c.size(); ++i) {
    sum += order == Order::colex ? binom(c[i], i + 1) : binom(n - 1 - c[i], c.size() - i);
  }
  return order == Order::colex ? sum : binom(n, c.size()) - 1 - sum;
}

// Every k-subset of {0..n-1} from the bits of 0..2^n - 1, sorted into the
// order: lex on the vertices, colex on them largest first.
std::vector<Subset> all_subsets(std::size_t n, std::size_t k, Order order) {
  std::vector<Subset> all;
  for (std::uint32_t bits = 0; bits < (1u << n); ++bits) {
    Subset c;
    for (std::uint16_t v = 0; v < n; ++v) if (bits >> v & 1) c.push_back(v);
    if (c.size() == k) all.push_back(c);
  }
  std::sort(all.begin(), all.end(), [order](const Subset& a, const Subset& b) {
    return order == Order::lex ? a < b : std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
  });
  return all;
}

// k distinct random vertices below n, smallest first.
Subset random_subset(std::mt19937_64& rng, std::size_t n, std::size_t k) {
  Subset all(n);
  std::iota(all.begin(), all.end(), std::uint16_t{0});
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(k);
  std::sort(all.begin(), all.end());
  return all;
}

// The kernel on all rows at once against each face or coface built as a set
// and ranked by the sum; guard cells catch writes past the end.
void check(const std::vector<Subset>& rows, std::size_t k, std::uint64_t n, Order order, bool faces) {
  Subset flat;
  std::vector<std::uint64_t> want;
  for (const Subset& c : rows) {
    flat.insert(flat.end(), c.begin(), c.end());
    // Faces drop each vertex of the row, cofaces add each vertex missing from it.
    const Subset candidates = [&] {
      if (faces) return c;
      Subset missing;
      for (std::uint32_t v = 0; v < n; ++v) {
        if (!std::binary_search(c.begin(), c.end(), static_cast<std::uint16_t>(v))) {
          missing.push_back(static_cast<std::uint16_t>(v));
        }
      }
      return missing;
    }();
    for (const std::uint16_t vertex : candidates) {
      Subset f = c;
      const auto at = std::lower_bound(f.begin(), f.end(), vertex);
      faces ? f.erase(at) : f.insert(at, vertex);
      want.push_back(rank_of(f, n, order));
    }
  }
  std::vector<std::uint64_t> got(want.size() + 4, untouched);
  const std::size_t count = rows.size();
  if (faces && order == Order::colex) combinatorial::face_ranks<Order::colex>(flat.data(), count, k, n, coef, got.data());
  if (faces && order == Order::lex) combinatorial::face_ranks<Order::lex>(flat.data(), count, k, n, coef, got.data());
  if (!faces && order == Order::colex) combinatorial::coface_ranks<Order::colex>(flat.data(), count, k, n, coef, got.data());
  if (!faces && order == Order::lex) combinatorial::coface_ranks<Order::lex>(flat.data(), count, k, n, coef, got.data());
  want.insert(want.end(), 4, untouched);
  ASSERT_EQ(got, want) << (faces ? "faces" : "cofaces") << " n " << n << " k " << k << " lex " << (order == Order::lex);
}

}  // namespace

TEST(FaceRanks, EverySubsetOfSmallSets) {
  for (std::size_t n = 0; n <= 9; ++n) {
    for (std::size_t k = 0; k <= n; ++k) {
      for (Order order : {Order::colex, Order::lex}) {
        const std::vector<Subset> all = all_subsets(n, k, order);
        for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(rank_of(all[i], n, order), i);  // the oracle itself
        check(all, k, n, order, true);
        check(all, k, n, order, false);
      }
    }
  }
}

// Largest vertices, and ranks near 2^64, where the binomials the functor
// covers include saturated ones that must never be read: faces need
// C(n, k - 1) below 2^64, cofaces C(n, k + 1), and 68 choose 38 and 39 are the
// first that fit.
TEST(FaceRanks, SampledRows) {
  ASSERT_TRUE(combinatorial::binom_overflows(68, 34));
  std::mt19937_64 rng(7);
  struct Case { std::size_t n, k, rows; bool faces; };
  for (const Case& c : {Case{65536, 3, 200, true}, Case{65536, 3, 2, false}, Case{67, 33, 50, true},
                        Case{67, 33, 50, false}, Case{68, 39, 50, true}, Case{68, 38, 50, false}}) {
    std::vector<Subset> rows(2, Subset(c.k));
    std::iota(rows[0].begin(), rows[0].end(), std::uint16_t{0});
    std::iota(rows[1].begin(), rows[1].end(), static_cast<std::uint16_t>(c.n - c.k));
    for (std::size_t i = 0; i < c.rows; ++i) rows.push_back(random_subset(rng, c.n, c.k));
    for (Order order : {Order::colex, Order::lex}) check(rows, c.k, c.n, order, c.faces);
  }
}
