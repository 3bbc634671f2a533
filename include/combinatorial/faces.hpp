// Faces and cofaces by rank: from the vertices of k-subsets of {0..n-1}, the
// ranks of the (k-1)-subsets that drop one vertex and of the (k+1)-subsets
// that add one, in the same order, each row in O(k) resp. O(n) table reads.
//
// Write x_i = c_i (colex) or n - 1 - c_i (lex) for the vertices c_0 < ... <
// c_{k-1}. A subset's rank is a sum of one term per vertex, C(x_i, w) with a
// weight w that depends only on the vertex's position (colex: i + 1; lex:
// k - i, the sum then taken from C(n, k) - 1). Dropping c_j leaves the
// vertices before it in place and moves those after it down one position;
// adding v moves those after v up one. So each face or coface is a prefix sum
// at one weight plus a suffix sum at another, and walking the row carries both
// along instead of ranking every result afresh.
//
// Exactness: every coefficient read is 0 or a term of the rank of some subset
// the row or one of its results is, so it lies below C(n, k), C(n, k - 1) or
// C(n, k + 1), all below 2^w for ranks of w bits (64 or 128) by the
// caller's guarantee; a table that saturates at 2^w still returns it
// exactly. The sums in between may wrap, but they only add and subtract, so
// they are exact modulo 2^w, and the final values, being ranks, lie in
// [0, 2^w): unsigned wrap-around gives them exactly.
//
// Vertices come as any V, ranks go out as any Out that a rank of the
// coefficients' type R converts to and from (StoredWideRank for 128 bits).
#pragma once

#include <cstddef>
#include <cstdint>

#include "combinatorial/order.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

// For `count` rows of k vertices each, smallest first, writes the ranks in
// order O of their k faces to out, count * k values row by row; column j drops
// the j-th smallest vertex. Does not allocate.
// Preconditions: each row strictly increasing with vertices below n; k <= n;
// C(n, k) and C(n, k - 1) below 2^w; coef(m, j) gives C(m, j) (0 when
// j > m) for 0 <= m <= n, 0 <= j <= k wherever it is below 2^w.
template <Order O, typename Coefficients, typename V, typename Out>
void face_ranks(const V* rows, std::size_t count, std::size_t k, std::uint64_t n, Coefficients coef,
                Out* out) noexcept {
  using R = decltype(coef(0, 0));
  if (k == 0) return;
  constexpr bool colex = !is_lex<O>();
  const auto kk = static_cast<std::int64_t>(k);
  const auto top = static_cast<std::int64_t>(n) - 1;
  // Face of c_j: vertices before j keep position i (colex weight i + 1, lex
  // (k - 1) - i), those after drop to i - 1 (colex weight i, lex k - i).
  const auto kept = [&](V c, std::int64_t i) {
    return colex ? coef(c, i + 1) : coef(top - c, kk - 1 - i);
  };
  const auto moved = [&](V c, std::int64_t i) {
    return colex ? coef(c, i) : coef(top - c, kk - i);
  };
  const R last = colex ? 0 : coef(top + 1, kk - 1) - 1;
  for (std::size_t r = 0; r < count; ++r, rows += k, out += k) {
    // Forward: out[j] = sum of kept terms before j.
    R prefix = 0;
    for (std::size_t j = 0; j + 1 < k; ++j) {
      out[j] = stored_rank<Out>(prefix);
      prefix += kept(rows[j], static_cast<std::int64_t>(j));
    }
    out[k - 1] = stored_rank<Out>(prefix);
    // Backward: add the moved terms after j.
    R suffix = 0;
    for (std::size_t j = k - 1;; --j) {
      const auto here = loaded_rank<R>(out[j]);  // written above as an R
      out[j] = stored_rank<Out>(colex ? here + suffix : last - here - suffix);
      if (j == 0) break;
      suffix += moved(rows[j], static_cast<std::int64_t>(j));
    }
  }
}

// For `count` rows of k vertices each, smallest first, writes the ranks in
// order O of their n - k cofaces to out, count * (n - k) values row by row;
// column j adds the j-th smallest vertex missing from the row. Does not
// allocate.
// Preconditions: each row strictly increasing with vertices below n; k <= n;
// C(n, k) and C(n, k + 1) below 2^w; coef(m, j) gives C(m, j) (0 when
// j > m) for 0 <= m <= n, 0 <= j <= k + 1 wherever it is below 2^w.
template <Order O, typename Coefficients, typename V, typename Out>
void coface_ranks(const V* rows, std::size_t count, std::size_t k, std::uint64_t n, Coefficients coef,
                  Out* out) noexcept {
  using R = decltype(coef(0, 0));
  if (k >= n) return;
  constexpr bool colex = !is_lex<O>();
  const auto kk = static_cast<std::int64_t>(k);
  const auto nn = static_cast<std::int64_t>(n);
  const auto top = nn - 1;
  // Adding v with p vertices below it: those before keep position i (colex
  // weight i + 1, lex (k + 1) - i), v takes position p, those after rise to
  // i + 1 (colex weight i + 2, lex k - i).
  const auto kept = [&](V c, std::int64_t i) {
    return colex ? coef(c, i + 1) : coef(top - c, kk + 1 - i);
  };
  const auto moved = [&](V c, std::int64_t i) {
    return colex ? coef(c, i + 2) : coef(top - c, kk - i);
  };
  const R last = colex ? 0 : coef(nn, kk + 1) - 1;
  for (std::size_t r = 0; r < count; ++r, rows += k) {
    // base: the terms of the row's vertices for the current gap p, all moved
    // at p = 0; lex folds them into last - sum.
    R sum = 0;
    for (std::size_t i = 0; i < k; ++i) sum += moved(rows[i], static_cast<std::int64_t>(i));
    R base = colex ? sum : last - sum;
    std::int64_t v = 0;
    for (std::int64_t p = 0;; ++p) {
      // The gap below c_p (below n after the last vertex): each coface there
      // adds one term at weight p + 1 (colex) or k + 1 - p (lex).
      const std::int64_t end = p < kk ? std::int64_t{rows[p]} : nn;
      if (colex) {
        for (; v < end; ++v) *out++ = stored_rank<Out>(base + coef(v, p + 1));
      } else {
        for (; v < end; ++v) *out++ = stored_rank<Out>(base - coef(top - v, kk + 1 - p));
      }
      if (p == kk) break;
      // c_p passes from the moved terms to the kept ones.
      const R change = kept(rows[p], p) - moved(rows[p], p);
      base = colex ? base + change : base - change;
      v = end + 1;
    }
  }
}

}  // namespace combinatorial
