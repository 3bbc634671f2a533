// Colex unranking: rank -> the k vertices of the combination with that colex
// rank, largest vertex first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

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

namespace combinatorial {

// A bucket index over rows 2..k of BC for one n: bucket b of row p holds the
// vertex for the value b << shift[p], the largest m with C(m, p) <= b << shift,
// so the vertex for any r lies in [start[p][b], start[p][b + 1]] with
// b = r >> shift[p]. Rows get at most 2^14 + 1 entries; where C(m, p) grows
// by more than one bucket per vertex, which is where uniformly random ranks
// mostly land, that bracket holds at most one step.
struct ColexBucketIndex {
  static constexpr int bucket_bits = 14;

  std::int64_t n = -1;
  std::int64_t k = -1;
  std::vector<int> shift;
  std::vector<std::vector<std::uint16_t>> start;

  // Builds the index for (n, k): O(k (2^14 + n)). Precondition: BC covers
  // (n, k), 2 <= k <= n - k, C(n, k) < 2^64, n <= 65536.
  void build(std::int64_t vertex_count, std::int64_t size) {
    n = -1;  // not valid until built
    shift.assign(static_cast<std::size_t>(size + 1), 0);
    start.assign(static_cast<std::size_t>(size + 1), {});
    for (std::int64_t p = 2; p <= size; ++p) {
      const long* row = BC.row(p);
      const auto total = static_cast<std::uint64_t>(row[vertex_count]);  // C(n, p) <= C(n, k)
      const int bits = 64 - __builtin_clzll(total | 1);
      const int s = std::max(0, bits - bucket_bits);
      const std::uint64_t buckets = ((total - 1) >> s) + 2;
      std::vector<std::uint16_t>& vertex_at = start[static_cast<std::size_t>(p)];
      vertex_at.resize(buckets);
      std::int64_t m = p - 1;
      for (std::uint64_t b = 0; b < buckets; ++b) {
        const std::uint64_t value = b << s;  // b <= 2^14 + 1 and s <= 50: no overflow
        while (m + 1 < vertex_count && static_cast<std::uint64_t>(row[m + 1]) <= value) ++m;
        vertex_at[b] = static_cast<std::uint16_t>(m);
      }
      shift[static_cast<std::size_t>(p)] = s;
    }
    n = vertex_count;
    k = size;
  }
};

// Colex unranking of the ranks in [first, last) through a bucket index, eight
// ranks at a time so that their lookups overlap. Writes k vertices per rank,
// largest first. With Lex, ranks are lex ranks instead: each becomes
// D = C(n, k) - 1 - r, whose colex vertices q give the lex vertices n - 1 - q,
// smallest first. Does not allocate.
// Preconditions: 2 <= k <= n - k; index built for (n, k') with k' >= k; BC
// covers (n, k); 0 <= rank < C(n, k) < 2^64; n <= 65536.
template <bool Lex, typename RankIt, typename OutIt>
void unrank_colex_indexed(RankIt first, RankIt last, std::int64_t n, std::int64_t k,
                          const ColexBucketIndex& index, OutIt out) {
  static_assert(sizeof(*first) == 8, "ranks are 64-bit");
  constexpr std::size_t lanes = 8;
  const std::uint64_t last_rank = static_cast<std::uint64_t>(BC.row(k)[n]) - 1;
  const auto width = static_cast<std::size_t>(k);
  const auto vertex = [n](std::int64_t v) {
    return static_cast<std::uint16_t>(Lex ? n - 1 - v : v);
  };
  // One position p of `count` ranks whose remainders are r[0..count).
  const auto position = [&](std::int64_t p, std::uint64_t* r, std::size_t count, OutIt dest) {
    const long* row = BC.row(p);
    const std::uint16_t* vertex_at = index.start[static_cast<std::size_t>(p)].data();
    const int s = index.shift[static_cast<std::size_t>(p)];
    for (std::size_t l = 0; l < count; ++l) {
      const std::uint64_t rl = r[l];
      const std::uint64_t b = rl >> s;
      std::int64_t v = vertex_at[b];
      v += static_cast<std::uint64_t>(row[v + 1]) <= rl;
      const std::int64_t hi = vertex_at[b + 1];
      if (v < hi && static_cast<std::uint64_t>(row[v + 1]) <= rl) {
        v = detail::bisect(detail::RowReader<false>{row, p}, rl, v + 1, hi);
      }
      dest[l * width + static_cast<std::size_t>(k - p)] = vertex(v);
      r[l] = rl - static_cast<std::uint64_t>(row[v]);
    }
  };
  std::uint64_t r[lanes];
  while (first != last) {
    const std::size_t count = std::min<std::size_t>(lanes, static_cast<std::size_t>(last - first));
    for (std::size_t l = 0; l < count; ++l) {
      const auto rank = static_cast<std::uint64_t>(first[l]);
      r[l] = Lex ? last_rank - rank : rank;
    }
    if (count == lanes) {
      for (std::int64_t p = k; p >= 2; --p) position(p, r, lanes, out);
    } else {
      for (std::int64_t p = k; p >= 2; --p) position(p, r, count, out);
    }
    for (std::size_t l = 0; l < count; ++l) out[l * width + width - 1] = vertex(static_cast<std::int64_t>(r[l]));
    first += static_cast<std::ptrdiff_t>(count);
    out += static_cast<std::ptrdiff_t>(count * width);
  }
}

}  // namespace combinatorial
