// Where the kernels for any widths read C(m, j): the cells of a table, or
// values computed exactly where a table would pass the 32 MB bound. Every
// source gives
//   R operator()(m, j)              C(m, j), exact below 2^bits(R), saturated
//                                   above (0 for j > m);
//   largest_at_most(j, r, lo, hi)   the largest m in [lo, hi] with
//                                   C(m, j) <= r, given C(lo, j) <= r, and
//                                   C(m, j) itself, as a pair;
// so that searching, the costly step of unranking, is chosen with the source.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "combinatorial/binomial.hpp"
#include "combinatorial/types.hpp"
#include "combinatorial/unrank_colex.hpp"

namespace combinatorial {

// A table's cells: one read per coefficient, searches by galloping up from
// lo. R is Rank over Cell, WideRank over WideCell.
// Precondition: the table covers every (m, j) asked for.
template <typename R, typename C>
struct TableSource {
  static_assert(sizeof(R) == sizeof(C), "a cell holds a rank's bits");
  const C* cells;
  std::size_t stride;

  static TableSource of(const BasicTableView<C>& table) noexcept { return {table.cells, table.stride}; }

  [[gnu::always_inline]] R operator()(std::int64_t m, std::int64_t j) const noexcept {
    return static_cast<R>(cells[static_cast<std::size_t>(j) * stride + static_cast<std::size_t>(m)]);
  }

  // Row j, indexed by m, as the bucket index reads it.
  const C* row(std::int64_t j) const noexcept { return cells + static_cast<std::size_t>(j) * stride; }

  std::pair<std::int64_t, R> largest_at_most(std::int64_t j, R r, std::int64_t lo, std::int64_t hi) const noexcept {
    const C* const row = cells + static_cast<std::size_t>(j) * stride;
    const auto coef = [row](std::int64_t m) { return static_cast<R>(row[m]); };
    const std::int64_t v = detail::gallop<R>(coef, r, lo, hi);
    return {v, coef(v)};
  }
};

// A source whose coefficients lie in a table's rows, which the bucket index reads.
template <typename Source>
concept HasRows = requires(const Source& source) { source.row(0); };

// C(m, j) as a value of R, saturated at the largest R: closed forms for
// j <= 3, binom() or binom_wide() beyond. Does not allocate.
// Precondition: 0 <= m <= 2^32.
template <typename R>
constexpr R computed_coefficient(std::int64_t m, std::int64_t j) noexcept {
  if (j > m || j < 0) return 0;
  const auto um = static_cast<std::uint64_t>(m);
  if (j == 0) return 1;
  if (j == 1) return um;
  if (j == 2) return um * (um - 1) / 2;  // m (m - 1) < 2^64 for m <= 2^32
  if (j == 3) {
    // C(m, 3) = P / 3 with P = (m (m - 1) / 2) (m - 2), a multiple of 3, so
    // the quotient is P times the inverse of 3 modulo 2^w, exact whatever P
    // carries out of w bits as long as the quotient fits: no division, and
    // no branch on m % 3, which random vertices would mispredict.
    const std::uint64_t pairs = um * (um - 1) / 2;
    if constexpr (std::is_same_v<R, WideRank>) {
      constexpr WideRank inverse_of_3 = ~WideRank{0} / 3 * 2 + 1;  // 0xAA...AB
      return WideRank{pairs} * (um - 2) * inverse_of_3;  // P < 2^95
    } else {
      constexpr std::uint64_t inverse_of_3 = 0xAAAAAAAAAAAAAAABull;
      constexpr std::int64_t largest_fitting = 4'801'280;  // C(4801281, 3) >= 2^64
      if (m > largest_fitting) return ~R{0};
      return pairs * (um - 2) * inverse_of_3;
    }
  }
  if constexpr (std::is_same_v<R, WideRank>) {
    return binom_wide(um, static_cast<std::uint64_t>(j));
  } else {
    return binom(um, static_cast<std::uint64_t>(j));
  }
}

// Coefficients computed one by one, for tables past the bound (n of
// millions). Searches start at the root of the continuous approximation
// C(m, j) ~ (m - (j - 1) / 2)^j / j!, off by a step or two, and gallop from
// there: a few evaluations instead of a bisection over all of [lo, hi].
template <typename R>
struct ComputedSource {
  R operator()(std::int64_t m, std::int64_t j) const noexcept { return computed_coefficient<R>(m, j); }

  std::pair<std::int64_t, R> largest_at_most(std::int64_t j, R r, std::int64_t lo, std::int64_t hi) const noexcept {
    if (j == 1) {
      const auto v = static_cast<std::int64_t>(std::min<R>(r, static_cast<R>(hi)));
      return {v, static_cast<R>(v)};
    }
    const double rank = static_cast<double>(r);
    // The guess, clamped to [lo, hi]; NaN or infinity fall to an end.
    const auto clamped = [lo, hi](double root) {
      return root >= static_cast<double>(hi) ? hi : root > static_cast<double>(lo) ? static_cast<std::int64_t>(root) : lo;
    };
    // j = 2 and 3: the guess is within a step or two of the answer (the
    // roots are correctly rounded and m <= 2^32), and neighbours follow from
    // C(m + 1, j) = C(m, j) + C(m, j - 1), so a few additions settle it.
    if (j == 2 || j == 3) {
      std::int64_t g = clamped(j == 2 ? std::sqrt(2 * rank) + 0.5 : std::cbrt(6 * rank) + 1);
      R c = computed_coefficient<R>(g, j);
      while (c > r) c = computed_coefficient<R>(--g, j);  // stops at lo at the latest
      for (; g < hi; ++g) {
        R next = 0;
        if (__builtin_add_overflow(c, computed_coefficient<R>(g, j - 1), &next) || next > r) break;
        c = next;
      }
      return {g, c};
    }
    const auto value = [j](std::int64_t m) { return computed_coefficient<R>(m, j); };
    const std::int64_t g = clamped(std::exp((std::log(rank) + std::lgamma(static_cast<double>(j) + 1)) /
                                            static_cast<double>(j)) +
                                   static_cast<double>(j - 1) / 2);
    const auto found = [&](std::int64_t v) { return std::pair<std::int64_t, R>{v, value(v)}; };
    if (value(g) <= r) {  // the answer is in [g, hi]: gallop up
      std::int64_t step = 1;
      std::int64_t below = g;
      while (below < hi) {
        const std::int64_t next = std::min(hi, below + step);
        if (value(next) > r) return found(detail::bisect<R>(value, r, below, next - 1));
        below = next;
        step *= 2;
      }
      return found(hi);
    }
    // The answer is in [lo, g - 1]: gallop down to a value at most r.
    std::int64_t step = 1;
    std::int64_t above = g;  // value(above) > r
    for (;;) {
      const std::int64_t next = std::max(lo, above - step);
      if (next == lo || value(next) <= r) return found(detail::bisect<R>(value, r, next, above - 1));
      above = next;
      step *= 2;
    }
  }
};

// Calls body(source) with the coefficient source for (max_n, max_k) at rank
// width R: a table from `table_for(max_n, max_k)` (a shared pointer to a
// BasicCoefficientTable of R's cell type) where one fits the bound, else
// ComputedSource. The one choice between them.
template <typename R, typename TableFor, typename Body>
decltype(auto) with_source(std::int64_t max_n, std::int64_t max_k, TableFor table_for, Body&& body) {
  using C = std::conditional_t<std::is_same_v<R, WideRank>, WideCell, Cell>;
  if (table_cells_needed<C>(max_n, max_k) >= 0) {
    const auto table = table_for(max_n, max_k);
    return body(TableSource<R, C>::of(table->view()));
  }
  return body(ComputedSource<R>{});
}

}  // namespace combinatorial
