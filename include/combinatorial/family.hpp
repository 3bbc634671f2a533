// The families of rows: what a row of k vertices of {0..n-1} may be, how
// many rows there are, and which kernels serve them. Adding a family means
// adding it here and to each `with_family` switch in the core.
//
//   subsets       k distinct vertices, smallest first    itertools.combinations
//   multisets     k vertices with repeats, non-decreasing itertools.combinations_with_replacement
//   permutations  k distinct vertices in any order        itertools.permutations
//
// Lex order is the order of the itertools function beside each; subsets
// and multisets have colex order as well.
//
// Multisets are subsets in disguise: c_0 <= ... <= c_{k-1} below n maps to
// c_0 + 0 < c_1 + 1 < ... < c_{k-1} + k - 1 below n + k - 1, a bijection
// that keeps lex and colex order, since it shifts each column by a constant.
// So multisets run on the subsets' kernels over n + k - 1 vertices, with
// their rows shifted on the way in and out.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "combinatorial/binomial.hpp"
#include "combinatorial/permutations.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

enum class Family { subsets, multisets, permutations };

template <Family F>
struct FamilyTag {
  static constexpr Family value = F;
};

// Calls body(FamilyTag<f>{}), so that code for each family is compiled apart.
template <typename Body>
decltype(auto) with_family(Family family, Body&& body) {
  switch (family) {
    case Family::subsets: return body(FamilyTag<Family::subsets>{});
    case Family::multisets: return body(FamilyTag<Family::multisets>{});
    case Family::permutations: return body(FamilyTag<Family::permutations>{});
  }
  __builtin_unreachable();
}

// The n of the subsets a family's rows run on: n + k - 1 for multisets with
// k >= 1, n otherwise; `overflow` set where that passes 2^64 - 1.
constexpr std::uint64_t subset_vertex_count(Family family, std::uint64_t n, std::uint64_t k, bool& overflow) noexcept {
  overflow = false;
  if (family != Family::multisets || k == 0) return n;
  std::uint64_t sum = 0;
  overflow = __builtin_add_overflow(n, k - 1, &sum);
  return sum;
}

// The number of rows: C(n, k), C(n + k - 1, k) or P(n, k), exactly below
// 2^128, with `overflow` set (and 2^128 - 1 returned) from there on. Does
// not allocate.
//
// For multisets m = n + k - 1 may pass 64 bits (k near 2^64); then
// C(m, k) = C(m, n - 1) is m for n = 2 and m (m - 1) / 2 for n = 3, which
// may still fit, and at least C(2^64, 3) > 2^128 for n > 3.
constexpr WideRank family_count(Family family, std::uint64_t n, std::uint64_t k, bool& overflow) noexcept {
  overflow = false;
  if (family == Family::permutations) return perm_wide(n, k, overflow);
  if (family == Family::subsets) return binom_wide(n, k, overflow);
  if (k == 0) return 1;
  if (n <= 1) return n;
  const std::uint64_t m = subset_vertex_count(family, n, k, overflow);
  if (!overflow) return binom_wide(m, k, overflow);
  const WideRank wide_m = static_cast<WideRank>(n) + (k - 1);
  overflow = n > 3 || (n == 3 && wide_m >> 65 != 0);
  if (overflow) return ~WideRank{0};
  return n == 2 ? wide_m : (wide_m % 2 == 0 ? wide_m / 2 * (wide_m - 1) : (wide_m - 1) / 2 * wide_m);
}

// Rows of k-subsets of n + k - 1 turned in place into the k-multisets of n
// they stand for (column i less i), or back (`Shift::to_subsets`). Column
// offsets repeat every k vertices; a pattern of whole rows as long as a few
// vectors lets the loop run over plain arrays. Does not allocate.
enum class Shift { to_multisets, to_subsets };

template <Shift S, typename V>
void shift_rows(V* rows, std::size_t count, std::size_t k) noexcept {
  if (k <= 1 || count == 0) return;
  constexpr std::size_t pattern_vertices = 256;
  if (k > pattern_vertices) {
    for (std::size_t r = 0; r < count; ++r) {
      for (std::size_t i = 0; i < k; ++i) {
        rows[r * k + i] = static_cast<V>(S == Shift::to_multisets ? rows[r * k + i] - i : rows[r * k + i] + i);
      }
    }
    return;
  }
  const std::size_t pattern_rows = pattern_vertices / k;
  const std::size_t length = pattern_rows * k;
  V pattern[pattern_vertices];
  for (std::size_t j = 0; j < length; ++j) pattern[j] = static_cast<V>(j % k);
  const std::size_t total = count * k;
  std::size_t at = 0;
  for (; at + length <= total; at += length) {
    V* const chunk = rows + at;
    for (std::size_t j = 0; j < length; ++j) {
      chunk[j] = static_cast<V>(S == Shift::to_multisets ? chunk[j] - pattern[j] : chunk[j] + pattern[j]);
    }
  }
  for (std::size_t j = 0; at + j < total; ++j) {
    rows[at + j] = static_cast<V>(S == Shift::to_multisets ? rows[at + j] - pattern[j] : rows[at + j] + pattern[j]);
  }
}

}  // namespace combinatorial
