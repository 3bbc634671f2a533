// Lex unranking: rank -> the k vertices of the combination with that lex
// rank, smallest vertex first.
#pragma once

#include <cmath>
#include <cstdint>

#include "combinatorial/binomial.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

// Writes, for each rank in [first, last), the k vertices of the lex
// combination with that rank, smallest first; nothing when k = 0. Does not
// allocate. Preconditions: 0 <= rank < C(n, k) < 2^64, n <= max_vertex_count;
// without CheckedLookup, the table covers (n, k).
//
// k = 2 is a closed form: the first vertex a is the one for which
// C(n - a, 2) >= C(n, 2) - r > C(n - a - 1, 2); with x = 8 (C(n, 2) - r) - 7,
// f = floor(sqrt(x) / 2 - 1 / 2) = n - 2 - a. For n <= 65536, x < 2^35 is an
// exact double and its square root is correctly rounded, so a is exact.
// Other k: with D = C(n, k) - 1 - r and q_i = n - 1 - c_i, D = sum C(q_i, k - i),
// so each q_i is the largest m with C(m, k - i) <= D, found by bisection.
template <bool CheckedLookup, typename RankIt, typename OutIt>
void unrank_lex(const TableView& table, RankIt first, RankIt last, std::uint64_t n, std::uint64_t k,
                OutIt out) {
  static_assert(sizeof(*first) == sizeof(Rank), "ranks are read whole, as Rank");
  const auto coef = [&table](std::int64_t m, std::int64_t j) -> Rank {
    return static_cast<Rank>(CheckedLookup ? table(m, j) : table.row(j)[m]);
  };
  if (k == 2) {
    static_assert(max_vertex_count <= 65536, "the closed form is shown exact for n <= 65536");
    const std::uint64_t pairs = n * (n - 1) >> 1;
    for (; first != last; ++first) {
      const auto r = static_cast<Rank>(*first);
      const double x = static_cast<double>(4 * n * (n - 1) - 7 - 8 * r);
      const double f = std::floor(std::sqrt(x) * 0.5 - 0.5);
      const auto a = static_cast<std::uint64_t>(static_cast<double>(n - 2) - f);
      const std::uint64_t b = r + a + 1 + ((n - a) * (n - a - 1) >> 1) - pairs;
      *out++ = static_cast<Vertex>(a);
      *out++ = static_cast<Vertex>(b);
    }
    return;
  }
  const auto nn = static_cast<std::int64_t>(n);
  const auto kk = static_cast<std::int64_t>(k);
  const std::uint64_t total = coef(nn, kk);
  for (; first != last; ++first) {
    Rank d = total - 1 - static_cast<Rank>(*first);
    for (std::int64_t j = kk; j >= 1; --j) {
      // Largest m in [0, n - 1] with C(m, j) <= d; C is non-decreasing in m.
      std::int64_t lo = 0, hi = nn - 1, best = 0;
      while (lo <= hi) {
        const std::int64_t mid = (lo + hi) >> 1;
        const Rank c = coef(mid, j);
        if (c == d) {
          best = mid;
          while (best + 1 <= nn - 1 && coef(best + 1, j) == d) ++best;
          break;
        }
        if (c < d) {
          best = mid;
          lo = mid + 1;
        } else {
          hi = mid - 1;
        }
      }
      *out++ = static_cast<Vertex>(nn - 1 - best);
      d -= coef(best, j);
    }
  }
}

// The same over the shared table BC.
template <bool CheckedLookup, typename RankIt, typename OutIt>
void unrank_lex(RankIt first, RankIt last, std::uint64_t n, std::uint64_t k, OutIt out) {
  unrank_lex<CheckedLookup>(BC.view(), first, last, n, k, out);
}

}  // namespace combinatorial
