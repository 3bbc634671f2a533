// Colex unranking: rank -> the k vertices of the combination with that colex
// rank, largest vertex first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "combinatorial/binomial.hpp"
#include "combinatorial/search.hpp"

namespace combinatorial {

namespace detail {

// C(m, p) for one position p: a direct read of row p, or BC(m, p).
template <bool CheckedLookup>
struct RowReader {
  const long* row;
  std::int64_t p;
  std::uint64_t operator()(std::int64_t m) const noexcept {
    return static_cast<std::uint64_t>(CheckedLookup ? BC(m, p) : row[m]);
  }
};

// The largest index in [lo, hi] whose coefficient is <= r, given that the one
// at lo is. Top-down halving, as get_max does.
template <typename Reader>
std::int64_t bisect(const Reader& coef, std::uint64_t r, std::int64_t lo, std::int64_t hi) noexcept {
  std::int64_t cur = hi;
  std::int64_t count = hi - lo;
  while (count > 0) {
    const std::int64_t half = count / 2;
    if (r < coef(cur - half)) {
      cur = cur - half - 1;
      count = count - half - 1;
    } else {
      count = half;
    }
  }
  return cur;
}

// Exponential steps e+1, e+2, e+4, ... (all below n) until a coefficient
// exceeds r, then bisection in the bracket they leave. The bracket's lower
// end halves the failed position q: q / 2 <= e + h / 2, the last success.
template <typename Reader>
std::int64_t gallop(const Reader& coef, std::uint64_t r, std::int64_t e, std::int64_t n) noexcept {
  std::int64_t h = 1;
  std::int64_t q = e + 1;
  while (q < n && coef(q) <= r) {
    h *= 2;
    q = e + h;
  }
  const std::int64_t lo = std::max(e, q / 2);
  return bisect(coef, r, lo, std::min(n, lo + h));
}

}  // namespace detail

// Writes, for each rank in [first, last), the vertices of the colex
// combination with that rank: k values, largest first (one value, the rank
// itself, when k <= 1). Does not allocate.
// Preconditions: 0 <= rank < C(n, k) < 2^64; without CheckedLookup, BC covers
// (n, k); with UseGuess, n <= 65535, where find_k is a lower bound at
// positions 2 and 3. The members differ in speed only: the start of each
// search (p - 1, or find_k at positions 2 and 3), LinearProbes entries above
// the start compared one by one, then a bisection or a gallop up to n.
template <bool CheckedLookup, bool UseGuess, bool Gallop, std::size_t LinearProbes,
          typename RankIt, typename OutIt>
void unrank_colex(RankIt first, RankIt last, std::int64_t n, std::int64_t k, OutIt out) {
  static_assert(LinearProbes <= 3, "one to three probes settle positions 2 and 3 with the guess");
  static_assert(sizeof(*first) == 8, "ranks are 64-bit");
  for (; first != last; ++first) {
    auto r = static_cast<std::uint64_t>(*first);
    if (k <= 1) {
      *out++ = static_cast<std::uint16_t>(r);
      continue;
    }
    for (std::int64_t p = k; p >= 2; --p) {
      const detail::RowReader<CheckedLookup> coef{CheckedLookup ? nullptr : BC.row(p), p};
      const std::int64_t e =
          UseGuess && (p == 2 || p == 3) ? find_k(static_cast<std::int64_t>(r), p) : p - 1;
      std::int64_t v = -1;
      for (std::size_t s = 1; s <= LinearProbes; ++s) {
        const std::int64_t at = e + static_cast<std::int64_t>(s);
        if (r < coef(at)) {
          v = at - 1;
          break;
        }
      }
      if (v < 0) v = Gallop ? detail::gallop(coef, r, e, n) : detail::bisect(coef, r, e, n);
      *out++ = static_cast<std::uint16_t>(v);
      r -= coef(v);
    }
    *out++ = static_cast<std::uint16_t>(r);
  }
}

}  // namespace combinatorial
