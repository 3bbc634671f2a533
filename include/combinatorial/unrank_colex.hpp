// Colex unranking: rank -> the k vertices of the combination with that colex
// rank, largest vertex first.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/cpu.hpp"
#include "combinatorial/order.hpp"
#include "combinatorial/search.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

namespace detail {

// C(m, p) for one position p: a direct read of row p, or the checked lookup.
template <bool CheckedLookup>
struct RowReader {
  const TableView* table;
  std::int64_t p;
  const Cell* row = CheckedLookup ? nullptr : table->row(p);
  Rank operator()(std::int64_t m) const noexcept {
    return static_cast<Rank>(CheckedLookup ? (*table)(m, p) : row[m]);
  }
};

// The largest index in [lo, hi] whose coefficient is <= r, given that the one
// at lo is. Top-down halving, as get_max does. R is the rank's width.
template <typename R = Rank, typename Reader>
std::int64_t bisect(const Reader& coef, std::type_identity_t<R> r, std::int64_t lo, std::int64_t hi) noexcept {
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
template <typename R = Rank, typename Reader>
std::int64_t gallop(const Reader& coef, std::type_identity_t<R> r, std::int64_t e, std::int64_t n) noexcept {
  std::int64_t h = 1;
  std::int64_t q = e + 1;
  while (q < n && coef(q) <= r) {
    h *= 2;
    q = e + h;
  }
  const std::int64_t lo = std::max(e, q / 2);
  return bisect<R>(coef, r, lo, std::min(n, lo + h));
}

}  // namespace detail

// Writes, for each rank in [first, last), the vertices of the colex
// combination with that rank: k values, largest first (one value, the rank
// itself, when k <= 1). Does not allocate.
// Preconditions: 0 <= rank < C(n, k) < 2^64; without CheckedLookup, the table
// covers (n, k); with UseGuess, n <= 65535, where find_k is a lower bound at
// positions 2 and 3. The members differ in speed only: the start of each
// search (p - 1, or find_k at positions 2 and 3), LinearProbes entries above
// the start compared one by one, then a bisection or a gallop up to n.
template <bool CheckedLookup, bool UseGuess, bool Gallop, std::size_t LinearProbes,
          typename RankIt, typename OutIt>
void unrank_colex(const TableView& table, RankIt first, RankIt last, std::int64_t n, std::int64_t k,
                  OutIt out) {
  static_assert(LinearProbes <= 3, "one to three probes settle positions 2 and 3 with the guess");
  static_assert(sizeof(*first) == sizeof(Rank), "ranks are read whole, as Rank");
  for (; first != last; ++first) {
    auto r = static_cast<Rank>(*first);
    if (k <= 1) {
      *out++ = static_cast<Vertex>(r);
      continue;
    }
    for (std::int64_t p = k; p >= 2; --p) {
      const detail::RowReader<CheckedLookup> coef{&table, p};
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
      *out++ = static_cast<Vertex>(v);
      r -= coef(v);
    }
    *out++ = static_cast<Vertex>(r);
  }
}

// The same over the shared table BC.
template <bool CheckedLookup, bool UseGuess, bool Gallop, std::size_t LinearProbes,
          typename RankIt, typename OutIt>
void unrank_colex(RankIt first, RankIt last, std::int64_t n, std::int64_t k, OutIt out) {
  unrank_colex<CheckedLookup, UseGuess, Gallop, LinearProbes>(BC.view(), first, last, n, k, out);
}

}  // namespace combinatorial

namespace combinatorial {

// A bucket index over rows 2..k of a table for one n: bucket b of row p holds the
// vertex for the value b << shift[p], the largest m with C(m, p) <= b << shift,
// so the vertex for any r lies in [start[p][b], start[p][b + 1]] with
// b = r >> shift[p]. Where C(m, p) grows by more than one bucket per vertex,
// which is where uniformly random ranks mostly land, that bracket holds at
// most one step. Rows get up to 2^bits + 1 entries: few for small k, so that
// the index stays in the first-level cache, more for large k, whose lower
// positions see small remainders where buckets would otherwise be wide.
//
// Templated on the widths of ranks (R) and vertices (V): one index type per
// pair, built from a table of R's cells.
template <typename R, typename V>
struct BasicColexBucketIndex {
  using rank_type = R;
  using Table = BasicTableView<CellOf<R>>;
  static constexpr int bucket_bits(std::int64_t size) noexcept {
    return size <= 3 ? 13 : size <= 6 ? 14 : 16;
  }

  // Bits of bucket numbers for (n, k). The wide kernels serve n in the
  // tens of thousands and more, where buckets of 2^16 or fewer are too coarse
  // for the small remainders of the lower positions: there rows get about
  // 2n buckets, up to 2^18 (measured at (20000, 6): 75 -> 35 ns a rank).
  static constexpr int index_bits(std::int64_t n, std::int64_t size) noexcept {
    if constexpr (std::is_same_v<R, Rank> && std::is_same_v<V, Vertex>) {
      return bucket_bits(size);
    } else {
      return std::min(18, std::max(bucket_bits(size), static_cast<int>(std::bit_width(static_cast<std::uint64_t>(n))) + 1));
    }
  }

  std::int64_t n = -1;
  std::int64_t k = -1;
  std::vector<int> shift;
  std::vector<std::vector<V>> start;

  // Builds the index for (n, k): O(k (2^bits + n)). Allocates. Precondition:
  // the table covers (n, k), 2 <= k <= n - k, C(n, k) < 2^bits(R),
  // n <= vertex_limit<V>.
  void build(const Table& table, std::int64_t vertex_count, std::int64_t size) {
    n = -1;  // not valid until built
    shift.assign(static_cast<std::size_t>(size + 1), 0);
    start.assign(static_cast<std::size_t>(size + 1), {});
    for (std::int64_t p = 2; p <= size; ++p) {
      const auto* row = table.row(p);
      const auto total = static_cast<R>(row[vertex_count]);  // C(n, p) <= C(n, k)
      const auto high = static_cast<std::uint64_t>(total >> 63 >> 1);  // 0 for 64-bit ranks
      const int bits = high ? 64 + static_cast<int>(std::bit_width(high))
                            : static_cast<int>(std::bit_width(static_cast<std::uint64_t>(total) | 1));
      const int s = std::max(0, bits - index_bits(vertex_count, size));
      const auto buckets = static_cast<std::uint64_t>(((total - 1) >> s) + 2);
      std::vector<V>& vertex_at = start[static_cast<std::size_t>(p)];
      vertex_at.resize(buckets);
      std::int64_t m = p - 1;
      for (std::uint64_t b = 0; b < buckets; ++b) {
        const R value = R{b} << s;  // b <= 2^16 + 1 and s <= bits(R) - 13: no overflow
        while (m + 1 < vertex_count && static_cast<R>(row[m + 1]) <= value) ++m;
        vertex_at[b] = static_cast<V>(m);
      }
      shift[static_cast<std::size_t>(p)] = s;
    }
    n = vertex_count;
    k = size;
  }

  // The same over the shared table BC.
  void build(std::int64_t vertex_count, std::int64_t size)
    requires std::is_same_v<R, Rank>
  {
    build(BC.view(), vertex_count, size);
  }
};

using ColexBucketIndex = BasicColexBucketIndex<Rank, Vertex>;

// The largest k for which 2 <= k <= n - k and C(n, k) < 2^64 can both hold:
// C(2k, k) >= 2^64 from k = 34 on; for ranks of R, C(2k, k) >= 2^128 from
// k = 67 on.
inline constexpr std::int64_t max_index_size = 33;
template <typename R>
inline constexpr std::int64_t max_index_size_of = std::is_same_v<R, WideRank> ? 66 : max_index_size;

namespace detail {

// The vertex for r at position p by bisection over its whole bucket, for the
// few remainders that one step does not settle. Kept out of line and cold so
// that the hot loop holds no values for it in registers.
template <typename R, typename C, typename V>
[[gnu::noinline, gnu::cold]] std::int64_t bisect_bucket(const C* row, const V* start, int shift, R r) noexcept {
  const auto b = static_cast<std::size_t>(r >> shift);
  const auto coef = [row](std::int64_t m) { return static_cast<R>(row[m]); };
  return bisect<R>(coef, r, start[b], start[b + 1]);
}

template <Order O, RowLayout Layout, std::size_t K, typename Table, typename R, typename V, typename RankIt,
          typename OutIt>
[[gnu::always_inline]] inline void unrank_colex_indexed_body(const Table& table, RankIt first, RankIt last,
                                                             std::int64_t n, std::int64_t k,
                                                             const BasicColexBucketIndex<R, V>& index, OutIt out) {
  constexpr bool Lex = is_lex<O>();
  using C = CellOf<R>;
  using Out = std::remove_reference_t<decltype(*out)>;
  constexpr std::int64_t max_size = max_index_size_of<R>;
  static_assert(sizeof(*first) == sizeof(R), "ranks are read whole, as R");
  static_assert(K == 0 || (K >= 2 && static_cast<std::int64_t>(K) <= max_size), "k fits the index");
  constexpr bool short_rows = K != 0 && K <= 6;  // measured: unrolled positions pay off there
  // Ranks in flight: enough to overlap their lookups, few enough for the
  // registers (measured: 4 for k = 3, 8 up to 6, 16 beyond).
  constexpr std::size_t lanes = K == 3 ? 4 : short_rows ? 8 : 16;
  if constexpr (K != 0) k = static_cast<std::int64_t>(K);
  const auto width = static_cast<std::size_t>(k);
  // Local copies: stores of vertices could otherwise alias the index.
  const C* rows[max_size + 1];
  const V* starts[max_size + 1];
  int shifts[max_size + 1];
  for (std::int64_t p = 2; p <= k; ++p) {
    rows[p] = table.row(p);
    starts[p] = index.start[static_cast<std::size_t>(p)].data();
    shifts[p] = index.shift[static_cast<std::size_t>(p)];
  }
  const R last_rank = static_cast<R>(table.row(k)[n]) - 1;
  // The slot of position p (k down to 1, the vertex found for C(v, p)) in a
  // row: colex finds vertices largest first, lex (through n - 1 - v)
  // smallest first.
  constexpr bool reversed = (Layout == RowLayout::smallest_first) != Lex;
  const auto slot = [k](std::int64_t p) { return static_cast<std::size_t>(reversed ? p - 1 : k - p); };
  const auto vertex = [n](std::int64_t v) { return static_cast<Out>(Lex ? n - 1 - v : v); };
  // The vertex at position p for remainder r: one bucket lookup and one step,
  // with a bisection in the bucket's bracket when the step does not settle it.
  // Remainders come as R or, where they are known to fit, as Rank.
  const auto find = [&](std::int64_t p, auto r) {
    using A = decltype(r);
    const C* row = rows[p];
    const auto b = static_cast<std::size_t>(r >> shifts[p]);
    std::int64_t v = starts[p][b];
    v += static_cast<A>(row[v + 1]) <= r;
    if (__builtin_expect(static_cast<A>(row[v + 1]) <= r, 0)) {
      v = detail::bisect_bucket(row, starts[p], shifts[p], r);
    }
    return v;
  };
  // Wide ranks: positions p <= split have C(n, p) < 2^64, so their
  // remainders (below C(n, p)) and the cells they read (at most C(n, p))
  // fit 64 bits; they run in 64-bit arithmetic on the cells' low words,
  // which halves their cost (at (1000, 10), positions 7 down to 2).
  std::int64_t split = k;
  if constexpr (!std::is_same_v<R, Rank>) {
    split = 1;
    while (split < k && static_cast<R>(table.row(split + 1)[n]) >> 64 == 0) ++split;
  }
  R r[lanes];
  for (; last - first >= static_cast<std::ptrdiff_t>(lanes); first += lanes, out += lanes * width) {
    for (std::size_t l = 0; l < lanes; ++l) {
      r[l] = Lex ? last_rank - static_cast<R>(first[l]) : static_cast<R>(first[l]);
    }
    const auto position = [&](std::int64_t p, auto& remainders) {
      using A = std::remove_reference_t<decltype(remainders[0])>;
#pragma GCC unroll 16
      for (std::size_t l = 0; l < lanes; ++l) {
        const std::int64_t v = find(p, remainders[l]);
        out[l * width + slot(p)] = vertex(v);
        remainders[l] -= static_cast<A>(rows[p][v]);
      }
    };
    if constexpr (std::is_same_v<R, Rank>) {
      if constexpr (short_rows) {
#pragma GCC unroll 8
        for (std::int64_t p = k; p >= 2; --p) position(p, r);
      } else {
        for (std::int64_t p = k; p >= 2; --p) position(p, r);
      }
      for (std::size_t l = 0; l < lanes; ++l) out[l * width + slot(1)] = vertex(static_cast<std::int64_t>(r[l]));
    } else {
      for (std::int64_t p = k; p > split; --p) position(p, r);
      Rank low[lanes];
      for (std::size_t l = 0; l < lanes; ++l) low[l] = static_cast<Rank>(r[l]);
      for (std::int64_t p = split; p >= 2; --p) position(p, low);
      for (std::size_t l = 0; l < lanes; ++l) out[l * width + slot(1)] = vertex(static_cast<std::int64_t>(low[l]));
    }
  }
  for (; first != last; ++first, out += width) {
    R rest = Lex ? last_rank - static_cast<R>(*first) : static_cast<R>(*first);
    for (std::int64_t p = k; p >= 2; --p) {
      const std::int64_t v = find(p, rest);
      out[slot(p)] = vertex(v);
      rest -= static_cast<R>(rows[p][v]);
    }
    out[slot(1)] = vertex(static_cast<std::int64_t>(rest));
  }
}

#if COMBINATORIAL_CPU_DISPATCH
// With BMI2 the shift to each bucket number is a single shrx, not a shift
// through cl; measured about 12% faster at (1000, 3).
template <Order O, RowLayout Layout, std::size_t K, typename Table, typename R, typename V, typename RankIt,
          typename OutIt>
COMBINATORIAL_X86_64_V3 void unrank_colex_indexed_v3(const Table& table, RankIt first, RankIt last,
                                                     std::int64_t n, std::int64_t k,
                                                     const BasicColexBucketIndex<R, V>& index, OutIt out) {
  unrank_colex_indexed_body<O, Layout, K>(table, first, last, n, k, index, out);
}
#endif

}  // namespace detail

// Colex unranking of the ranks in [first, last) through a bucket index, 4 to
// 16 ranks at a time so that their lookups overlap. Writes k vertices per
// rank in the given layout. In lex order each rank r becomes D = C(n, k) - 1 -
// r, whose colex vertices q give the lex vertices n - 1 - q. K is k when
// known at compile time, which lets the lanes unroll, and the positions too
// for short rows; 0 when k comes at run time. Does not allocate.
// Preconditions: 2 <= k <= n - k; index built for n and at least k from the
// same coefficients; the table (anything with row(j), a TableView or a
// TableSource) covers (n, k); 0 <= rank < C(n, k) < 2^bits(R);
// n <= vertex_limit<V>.
template <Order O, RowLayout Layout, std::size_t K, typename Table, typename R, typename V, typename RankIt,
          typename OutIt>
void unrank_colex_indexed(const Table& table, RankIt first, RankIt last, std::int64_t n, std::int64_t k,
                          const BasicColexBucketIndex<R, V>& index, OutIt out) {
#if COMBINATORIAL_CPU_DISPATCH
  if (has_x86_64_v3()) {
    return detail::unrank_colex_indexed_v3<O, Layout, K>(table, first, last, n, k, index, out);
  }
#endif
  detail::unrank_colex_indexed_body<O, Layout, K>(table, first, last, n, k, index, out);
}

}  // namespace combinatorial
