// Ranking: combinations -> their colex or lex ranks, over rows of k vertices.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "combinatorial/binomial.hpp"

namespace combinatorial {

// Reads C(m, j) straight from the rows of BC as they are when constructed;
// the caller makes BC cover every (m, j) it asks for. Holding the block's
// address keeps it in a register: stores of ranks could otherwise alias it.
struct TableCoefficients {
  const long* cells = BC.row(0);
  std::size_t stride = static_cast<std::size_t>(BC.max_n + 2);
  std::uint64_t operator()(std::int64_t m, std::int64_t j) const noexcept {
    return static_cast<std::uint64_t>(cells[static_cast<std::size_t>(j) * stride + static_cast<std::size_t>(m)]);
  }
};

// C(m, j) through the checked lookup: any m >= 0, with or without a table.
struct CheckedCoefficients {
  std::uint64_t operator()(std::int64_t m, std::int64_t j) const noexcept {
    return static_cast<std::uint64_t>(BC(m, j));
  }
};

// Ranks `rows` rows of k vertices each, stored back to back from `first`,
// into out. Colex rows are largest vertex first, lex rows smallest first,
// except lex pairs, which may come in either order.
// Returns false when some row is not k distinct vertices below n in that
// order; the ranks written are then meaningless. Reads of the table stay
// within 0..min(n, 65536) (colex) or 0..n (lex) even for such rows, since
// every index is clamped before it is used. Does not allocate.
// Preconditions: C(n, k) < 2^63 when k >= 2; Coefficients can read C(m, j)
// for those bounds and every j <= k. K is k when known at compile time,
// 0 when k is given at run time.
template <bool Colex, std::size_t K, typename Coefficients>
bool rank_rows(const std::uint16_t* first, std::size_t rows, std::size_t k, std::uint64_t n,
               std::int64_t* out, Coefficients coef) noexcept {
  static_assert(K <= 64, "compile-time sizes are for short rows");
  if constexpr (K != 0) k = K;
  const std::uint64_t vertex_limit = std::min<std::uint64_t>(n, 65536);  // vertices are 16-bit
  bool ok = true;
  if (k == 0) {
    std::fill(out, out + rows, 0);
    return true;
  }
  if (k == 1) {
    for (std::size_t i = 0; i < rows; ++i) {
      ok &= first[i] < vertex_limit;
      out[i] = first[i];
    }
    return ok;
  }
  if (k == 2) {
    const auto nn = static_cast<std::int64_t>(n);  // C(n, 2) < 2^63 keeps n * a exact
    for (std::size_t i = 0; i < rows; ++i, first += 2) {
      const std::int64_t g0 = first[0], g1 = first[1];
      if constexpr (Colex) {
        ok &= (static_cast<std::uint64_t>(g0) < vertex_limit) & (g1 < g0);
        out[i] = g1 + g0 * (g0 - 1) / 2;
      } else {
        const std::int64_t a = std::min(g0, g1), b = std::max(g0, g1);
        ok &= (static_cast<std::uint64_t>(b) < vertex_limit) & (a != b);
        out[i] = nn * a - a * (a + 1) / 2 + b - a - 1;
      }
    }
    return ok;
  }
  const auto nn = static_cast<std::int64_t>(n);
  // Colex: the index is the vertex itself, at most 65535; lex: n - 1 - vertex.
  const std::int64_t top = Colex ? static_cast<std::int64_t>(vertex_limit) - 1 : nn - 1;
  const auto kk = static_cast<std::int64_t>(k);
  const std::uint64_t last_rank = Colex ? 0 : coef(nn, kk) - 1;
  for (std::size_t i = 0; i < rows; ++i, first += k) {
    std::uint64_t sum = 0;
    std::int64_t previous = Colex ? top + 1 : -1;
    for (std::size_t j = 0; j < k; ++j) {
      const std::int64_t g = first[j];
      ok &= Colex ? g < previous : g > previous;
      previous = g;
      const std::int64_t clamped = std::min(g, std::max<std::int64_t>(top, 0));
      sum += coef(Colex ? clamped : top - clamped, kk - static_cast<std::int64_t>(j));
    }
    ok &= Colex || previous <= top;
    out[i] = static_cast<std::int64_t>(Colex ? sum : last_rank - sum);
  }
  return ok;
}

}  // namespace combinatorial
