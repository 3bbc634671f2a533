// Ranking: combinations -> their colex or lex ranks, over rows of k vertices.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__SSE4_1__)
#include <smmintrin.h>
#endif

#include "combinatorial/binomial.hpp"
#include "combinatorial/cpu.hpp"
#include "combinatorial/order.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

// Reads C(m, j) straight from a table's cells; the table must cover every
// (m, j) asked for. Holding the block's address keeps it in a register:
// stores of ranks could otherwise alias it. Always inlined, also into the
// AVX-512 body, which GCC would not otherwise inline a default-target
// function into. A window of columns from `base` on (see coefficient_window)
// reads the same way with its own cells, stride and base.
struct TableCoefficients {
  const Cell* cells;
  std::size_t stride;
  std::uint64_t base = 0;
  static TableCoefficients of(const TableView& table) noexcept { return {table.cells, table.stride}; }
  [[gnu::always_inline]] Rank operator()(std::int64_t m, std::int64_t j) const noexcept {
    return static_cast<Rank>(
        cells[static_cast<std::size_t>(j) * stride + (static_cast<std::size_t>(m) - base)]);
  }
};

// C(m, j) through the checked lookup: any m >= 0, whatever the table covers.
struct CheckedCoefficients {
  TableView table;
  Rank operator()(std::int64_t m, std::int64_t j) const noexcept {
    return static_cast<Rank>(table(m, j));
  }
};

// The order a well-formed row keeps: strictly decreasing, strictly
// increasing, or strictly increasing except that pairs may come either way.
enum class RowCheck { decreasing, increasing, increasing_or_any_pair };

// Whether the `size` values from `v`, read as rows of k, are all below
// `limit` (at most vertex_limit<V>) and each row is in the order that Check
// asks for. Does not allocate. With SSE4.1 it compares eight neighbouring
// pairs of 16-bit vertices at a time, masking the pairs that straddle two
// rows; wider vertices take the plain loop.
template <RowCheck Check, typename V>
bool rows_well_formed(const V* v, std::size_t size, std::size_t k,
                      std::uint64_t limit) noexcept {
  if (k == 0) return true;
  constexpr bool decreasing = Check == RowCheck::decreasing;
  const bool pairs_any_order = Check == RowCheck::increasing_or_any_pair && k == 2;
  const auto pair_ok = [pairs_any_order](V a, V b) {
    return pairs_any_order ? a != b : decreasing ? a > b : a < b;
  };
  bool ok = true;
  V largest = 0;
  std::size_t i = 0;
#if defined(__SSE4_1__)
  if constexpr (sizeof(V) == 2)  // eight 16-bit lanes
  if (k <= 64 && size >= 9) {
    // masks[phase]: lane j compares elements i + j and i + j + 1, which lie
    // in one row unless (phase + j) % k == k - 1, with phase = i % k.
    alignas(16) std::uint16_t masks[64][8];
    for (std::size_t phase = 0; phase < k; ++phase) {
      for (std::size_t j = 0; j < 8; ++j) masks[phase][j] = (phase + j) % k == k - 1 ? 0 : 0xFFFF;
    }
    __m128i bad = _mm_setzero_si128();
    __m128i top = _mm_setzero_si128();
    std::size_t phase = 0;
    const std::size_t step = 8 % k;  // a division per block would dominate the loop
    for (; i + 9 <= size; i += 8) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i + 1));
      __m128i wrong;  // lanes whose pair is out of order
      if (pairs_any_order) {
        wrong = _mm_cmpeq_epi16(a, b);
      } else if (decreasing) {
        wrong = _mm_cmpeq_epi16(_mm_min_epu16(a, b), a);  // a <= b
      } else {
        wrong = _mm_cmpeq_epi16(_mm_min_epu16(a, b), b);  // a >= b
      }
      bad = _mm_or_si128(bad, _mm_and_si128(wrong, _mm_load_si128(reinterpret_cast<const __m128i*>(masks[phase]))));
      top = _mm_max_epu16(top, a);
      phase += step;
      if (phase >= k) phase -= k;
    }
    ok = _mm_testz_si128(bad, bad);
    alignas(16) Vertex lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), top);
    largest = *std::max_element(lanes, lanes + 8);
  }
#endif
  if constexpr (sizeof(V) != 2) {
    // Row by row: a division per element to find the rows' ends would cost
    // more than the comparisons. (16-bit vertices are mostly done above.)
    for (; i + k <= size; i += k) {
      for (std::size_t j = 0; j + 1 < k; ++j) ok &= pair_ok(v[i + j], v[i + j + 1]);
      for (std::size_t j = 0; j < k; ++j) largest = std::max(largest, v[i + j]);
    }
  }
  for (; i < size; ++i) {
    largest = std::max(largest, v[i]);
    if (i + 1 < size && (i + 1) % k != 0) ok &= pair_ok(v[i], v[i + 1]);
  }
  return ok && largest < limit;
}

namespace detail {

template <Order O, RowLayout Layout, std::size_t K, typename V, typename Out, typename Coefficients>
[[gnu::always_inline]] inline void rank_rows_body(const V* first, std::size_t rows,
                                                  std::size_t k, std::uint64_t n, Out* out,
                                                  Coefficients coef) noexcept {
  static_assert(K <= 64, "compile-time sizes are for short rows");
  using R = decltype(coef(0, 0));
  constexpr bool Colex = !is_lex<O>();
  constexpr bool largest_first = Layout == RowLayout::largest_first;
  if constexpr (K != 0) k = K;
  if (k == 0) {
    std::fill(out, out + rows, Out{});
  } else if (k == 1) {
    for (std::size_t i = 0; i < rows; ++i) out[i] = static_cast<Out>(R{first[i]});  // the vertex itself
  } else if (k == 2) {
    // g (g - 1) and a (a + 1) stay below 2^32 for 16-bit vertices; 32-bit
    // unsigned products let the loop vectorise. 32-bit vertices take 64-bit
    // products, below 2^64 for n <= 2^32.
    using Product = std::conditional_t<sizeof(V) == 2, std::uint32_t, std::uint64_t>;
    static_assert(vertex_limit<V> <= 65536 || sizeof(Product) == 8, "pair products must not wrap");
    static_assert(vertex_limit<V> <= (std::uint64_t{1} << 32), "pair ranks take 64-bit products at most");
    const auto lex_pairs = [&](auto nn) {  // C(n, 2) < 2^63 keeps n * a exact in 64 bits
      for (std::size_t i = 0; i < rows; ++i) {
        const Product g0 = first[2 * i], g1 = first[2 * i + 1];
        const Product a = std::min(g0, g1), b = std::max(g0, g1);
        out[i] = static_cast<Out>(nn * a - a * (a + 1) / 2 + b - a - 1);
      }
    };
    if constexpr (Colex) {
      for (std::size_t i = 0; i < rows; ++i) {
        const Product g0 = first[2 * i], g1 = first[2 * i + 1];
        const Product high = largest_first ? g0 : g1, low = largest_first ? g1 : g0;
        out[i] = static_cast<Out>(low + high * (high - 1) / 2);
      }
    } else if (sizeof(V) == 2 && n <= 65536) {
      // The rank is below C(65536, 2) < 2^31 and n a < 2^32: all of it is
      // exact in 32 bits, which vectorise. A bound of the arithmetic, not
      // of the vertices: larger n take 64-bit products.
      lex_pairs(static_cast<std::uint32_t>(n));
    } else {
      lex_pairs(n);
    }
  } else {
    const auto nn = static_cast<std::int64_t>(n);
    const auto kk = static_cast<std::int64_t>(k);
    const R last_rank = Colex ? 0 : coef(nn, kk) - 1;
    for (std::size_t i = 0; i < rows; ++i, first += k) {
      R sum = 0;
      for (std::size_t j = 0; j < k; ++j) {
        const std::int64_t g = first[j];
        // Row position j holds the vertex of weight k - j in the natural
        // layout (colex largest first, lex smallest first), j + 1 otherwise.
        const auto jj = static_cast<std::int64_t>(j);
        const std::int64_t weight = largest_first == Colex ? kk - jj : jj + 1;
        sum += coef(Colex ? g : nn - 1 - g, weight);
      }
      out[i] = static_cast<Out>(Colex ? sum : last_rank - sum);
    }
  }
}

#if COMBINATORIAL_CPU_DISPATCH
template <Order O, RowLayout Layout, std::size_t K, typename Coefficients>
COMBINATORIAL_AVX512 void rank_rows_avx512(const Vertex* first, std::size_t rows, std::size_t k,
                                           std::uint64_t n, std::int64_t* out, Coefficients coef) noexcept {
  rank_rows_body<O, Layout, K>(first, rows, k, n, out, coef);
}
#endif

}  // namespace detail

// Ranks go out through std::int64_t, the dtype of the results callers read
// most; a uint64 result is written through the same pointer, since a rank of
// 2^63 or more as int64 keeps its bits. So Rank and int64 must stay one width.
static_assert(sizeof(Rank) == sizeof(std::int64_t), "rank_rows writes a Rank's bits as int64");

// Ranks `rows` rows of k vertices each, stored back to back from `first`,
// into out, rows laid out as Layout says; lex pairs may come in either order.
// Does not allocate. Vertices of any width V; ranks of the coefficients'
// width, written as Out (int64 holding a Rank's bits, or StoredWideRank).
// Preconditions: every row holds k distinct vertices below n in Layout's
// order (lex pairs in either); C(n, k) below 2^64 (2^128 for WideRank);
// Coefficients reads C(m, j) for 0 <= m <= n and j <= k. K is k when known at
// compile time, 0 when k is given at run time. With AVX-512 the narrow pair
// loops vectorise eight rows at a time; the table reads stay scalar, since
// gathers measured no faster.
template <Order O, RowLayout Layout, std::size_t K, typename V, typename Out, typename Coefficients>
void rank_rows(const V* first, std::size_t rows, std::size_t k, std::uint64_t n, Out* out,
               Coefficients coef) noexcept {
#if COMBINATORIAL_CPU_DISPATCH
  if constexpr (std::is_same_v<V, Vertex> && std::is_same_v<Out, std::int64_t>) {
    if (has_avx512()) return detail::rank_rows_avx512<O, Layout, K>(first, rows, k, n, out, coef);
  }
#endif
  detail::rank_rows_body<O, Layout, K>(first, rows, k, n, out, coef);
}

// rank_rows with the loop unrolled for the common k. Same contract.
template <Order O, RowLayout Layout, typename V, typename Out, typename Coefficients>
void rank_rows_for_k(const V* first, std::size_t rows, std::size_t k, std::uint64_t n, Out* out,
                     Coefficients coef) noexcept {
  switch (k) {
    case 3: return rank_rows<O, Layout, 3>(first, rows, k, n, out, coef);
    case 4: return rank_rows<O, Layout, 4>(first, rows, k, n, out, coef);
    case 5: return rank_rows<O, Layout, 5>(first, rows, k, n, out, coef);
    case 6: return rank_rows<O, Layout, 6>(first, rows, k, n, out, coef);
    case 7: return rank_rows<O, Layout, 7>(first, rows, k, n, out, coef);
    case 8: return rank_rows<O, Layout, 8>(first, rows, k, n, out, coef);
    case 12: return rank_rows<O, Layout, 12>(first, rows, k, n, out, coef);
    default: return rank_rows<O, Layout, 0>(first, rows, k, n, out, coef);
  }
}

// Where ranking rows of k vertices below n reads its coefficients: nowhere
// (k <= 2), a table, a window of a table's columns, or computed one by one
// where a table would exceed max_table_cells.
enum class RankSource { none, table, window, computed };

// Columns a lex window holds: n - max_vertex_count .. n, since vertices are
// below max_vertex_count and lex ranking reads C(n - 1 - v, j) and C(n, k).
inline constexpr std::size_t lex_window_width = max_vertex_count + 1;

// The columns 0..table_n a table for ranking must hold: colex reads up to the
// largest vertex, below max_vertex_count; lex up to n. Does not allocate.
template <Order O>
constexpr std::int64_t rank_table_n(std::uint64_t n) noexcept {
  return static_cast<std::int64_t>(is_lex<O>() ? n : std::min<std::uint64_t>(n, max_vertex_count));
}

// The source ranking (n, k) in `order` takes. Precondition: n < 2^63.
template <Order O>
constexpr RankSource rank_source(std::uint64_t n, std::size_t k) noexcept {
  if (k <= 2) return RankSource::none;
  if (is_lex<O>() && n > max_vertex_count) {
    return lex_window_width * (k + 1) <= static_cast<std::size_t>(max_table_cells) ? RankSource::window
                                                                                    : RankSource::computed;
  }
  return table_cells_needed(rank_table_n<O>(n), static_cast<std::int64_t>(k)) >= 0 ? RankSource::table
                                                                                       : RankSource::computed;
}

}  // namespace combinatorial
