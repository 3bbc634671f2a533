// k-permutations of {0..n-1}: rows of k distinct vertices in any order,
// ranked in lex order, the order of itertools.permutations(range(n), k).
//
// A row's rank in mixed radix: vertex i has n - i choices (the vertices not
// before it), and its digit d_i = v_i - #{j < i : v_j < v_i} counts the
// choices below it, so r = sum_i d_i P(n-1-i, k-1-i). Unranking takes the
// digits from the low end, dividing by n-k+1, ..., n-1, and places each
// vertex as the d_i-th one not used yet.
//
// Since P(n, k) >= k! and 35! > 2^128, a row that has a rank has at most 34
// vertices: ranking and unranking work on short rows only, and keep them in
// fixed arrays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>
#if defined(__SSSE3__)
#include <tmmintrin.h>
#endif
#if defined(__SSE4_1__) && defined(__POPCNT__)
#include <nmmintrin.h>
#include <smmintrin.h>
#endif

#include "combinatorial/types.hpp"

namespace combinatorial {

// P(n, k) = n (n - 1) ... (n - k + 1) below 2^128 exactly, 0 for k > n,
// with `overflow` set (and 2^128 - 1 returned) where it is 2^128 or more.
// Does not allocate; at most 128 steps, since every factor but a last 1 is
// at least 2.
constexpr WideRank perm_wide(std::uint64_t n, std::uint64_t k, bool& overflow) noexcept {
  overflow = false;
  if (k > n) return 0;
  WideRank v = 1;
  for (std::uint64_t j = 0; j < k; ++j) {
    if (__builtin_mul_overflow(v, static_cast<WideRank>(n - j), &v)) {
      overflow = true;
      return ~WideRank{0};
    }
  }
  return v;
}

namespace detail {

// The most vertices in a row with a rank below 2^128: 34! < 2^128 <= 35!.
inline constexpr std::int64_t max_ranked_columns = 34;

constexpr bool perm_overflows(std::uint64_t n, std::uint64_t k) {
  bool overflow = false;
  perm_wide(n, k, overflow);
  return overflow;
}
static_assert(!perm_overflows(34, 34) && perm_overflows(35, 35), "rows with ranks have at most 34 vertices");

// The weight of column i: P(n-1-i, k-1-i), the rows that share the columns
// before it, per choice of vertex i. Precondition: 1 <= k <= n, k <= 34,
// P(n, k) fits R.
template <typename R>
void permutation_weights(std::int64_t n, std::int64_t k, R* weight) noexcept {
  weight[k - 1] = 1;
  for (std::int64_t i = k - 2; i >= 0; --i) weight[i] = weight[i + 1] * static_cast<R>(n - 1 - i);
}

// One row's rank; `repeat` set where a vertex repeats (the rank is then
// meaningless, but computed without UB: unsigned arithmetic wraps).
template <typename R, typename V, std::int64_t K>
R rank_permutation_row(const V* row, std::int64_t k, const R* weight, bool& repeat) noexcept {
  const std::int64_t width = K > 0 ? K : k;
  R rank = 0;
  bool same = false;
  for (std::int64_t i = 0; i < width; ++i) {
    const V v = row[i];
    std::uint64_t below = 0;
    for (std::int64_t j = 0; j < i; ++j) {
      below += row[j] < v;
      same |= row[j] == v;
    }
    rank += static_cast<R>(std::uint64_t{v} - below) * weight[i];
  }
  repeat = same;
  return rank;
}

template <typename R, typename V, typename Out, std::int64_t K>
std::size_t rank_rows_fixed(const V* rows, std::size_t count, std::int64_t k, const R* weight, Out* out) noexcept {
  const auto width = static_cast<std::size_t>(k);
  for (std::size_t r = 0; r < count; ++r, rows += width) {
    bool repeat = false;
    const R rank = rank_permutation_row<R, V, K>(rows, k, weight, repeat);
    if (repeat) return r;
    out[r] = stored_rank<Out>(rank);
  }
  return count;
}

// Division by a fixed divisor d <= 2^32 - 1 through its reciprocal
// inv = floor((2^64 - 1) / d). For x < 2^64, x inv / 2^64 lies in
// (x/d - 1, x/d], since 2^64/d - inv <= 1: the high word of the product is
// the quotient or one less, which one comparison of the remainder settles.
struct Divisor {
  std::uint64_t d = 1, inv = ~std::uint64_t{0};
  Divisor() = default;
  explicit Divisor(std::uint64_t divisor) noexcept : d(divisor), inv(~std::uint64_t{0} / divisor) {}

  std::uint64_t divide(std::uint64_t x, std::uint64_t& remainder) const noexcept {
    auto q = static_cast<std::uint64_t>(static_cast<unsigned __int128>(x) * inv >> 64);
    std::uint64_t rem = x - q * d;
    const bool over = rem >= d;
    q += over;
    rem -= over ? d : 0;
    remainder = rem;
    return q;
  }

  // A 128-bit x: the high word, then the low word in two 32-bit halves, each
  // step's dividend (remainder < d <= 2^32 - 1, then 32 new bits) below 2^64.
  WideRank divide(WideRank x, std::uint64_t& remainder) const noexcept {
    const auto hi = static_cast<std::uint64_t>(x >> 64);
    const auto lo = static_cast<std::uint64_t>(x);
    if (hi == 0) return divide(lo, remainder);
    std::uint64_t rem = 0;
    const std::uint64_t q2 = divide(hi, rem);
    const std::uint64_t q1 = divide(rem << 32 | lo >> 32, rem);   // below 2^32
    const std::uint64_t q0 = divide(rem << 32 | (lo & 0xFFFFFFFFu), rem);
    remainder = rem;
    return static_cast<WideRank>(q2) << 64 | (q1 << 32 | q0);
  }
};

// Writes the row of Lehmer digits d[0..k): vertex i is the d_i-th (from 0)
// vertex not among those before it. With the used vertices sorted, s_0 <
// s_1 < ..., u_j = s_j - j unused vertices lie below s_j, so the d-th unused
// vertex is d + #{j : u_j <= d}; inserting it puts d at that place and
// lowers the u_j after it by one, as their index grows. Each step updates
// every slot the same way, without branches (an insertion's length depends
// on the data and mispredicts); slots not filled yet hold 2^32 - 1 less the
// steps so far, above every digit still to come (d_i <= n-1-i <= 2^32-1-i).
template <typename V, std::int64_t K>
void place_digits(const std::uint32_t* d, std::int64_t k, V* row) noexcept {
  const std::int64_t width = K > 0 ? K : k;
  std::uint32_t u[max_ranked_columns], next[max_ranked_columns];
  for (std::int64_t j = 0; j < width; ++j) u[j] = ~std::uint32_t{0};
  u[0] = d[0];
  row[0] = static_cast<V>(d[0]);
  for (std::int64_t i = 1; i < width; ++i) {
    const std::uint32_t di = d[i];
    std::uint32_t at = 0;
    for (std::int64_t j = 0; j < width; ++j) at += u[j] <= di;
    row[i] = static_cast<V>(di + at);
    // Slot j > at takes u_{j-1} - 1, slot at takes d_i: u_{j-1} > d_i
    // exactly for j > at.
    next[0] = u[0] <= di ? u[0] : di;
    for (std::int64_t j = 1; j < width; ++j) {
      next[j] = u[j - 1] > di ? u[j - 1] - 1 : u[j] <= di ? u[j] : di;
    }
    std::memcpy(u, next, static_cast<std::size_t>(width) * sizeof(std::uint32_t));
  }
}

#if defined(__SSE4_1__) && defined(__POPCNT__)
// The same with the slots in the lanes of registers, 16-bit lanes for
// 16-bit vertices (2^16 - 1 less the steps so far is above every digit to
// come there too) and 32-bit ones for wider vertices.
template <typename V, std::int64_t K>
void place_digits_in_lanes(const std::uint32_t* d, std::int64_t k, V* row) noexcept {
  constexpr bool narrow = sizeof(V) == 2;
  constexpr std::int64_t lanes = narrow ? 8 : 4;
  constexpr std::int64_t max_registers = (max_ranked_columns + lanes - 1) / lanes;
  const std::int64_t width = K > 0 ? K : k;
  const std::int64_t registers = (width + lanes - 1) / lanes;
  const auto at_most = [](__m128i a, __m128i b) {  // a <= b, unsigned
    return narrow ? _mm_cmpeq_epi16(_mm_max_epu16(a, b), b) : _mm_cmpeq_epi32(_mm_max_epu32(a, b), b);
  };
  __m128i u[max_registers];
  for (std::int64_t r = 0; r < registers; ++r) u[r] = _mm_set1_epi32(-1);
  u[0] = narrow ? _mm_insert_epi16(u[0], static_cast<int>(d[0]), 0) : _mm_insert_epi32(u[0], static_cast<int>(d[0]), 0);
  row[0] = static_cast<V>(d[0]);
  const __m128i one = narrow ? _mm_set1_epi16(1) : _mm_set1_epi32(1);
  for (std::int64_t i = 1; i < width; ++i) {
    const __m128i di = narrow ? _mm_set1_epi16(static_cast<short>(d[i])) : _mm_set1_epi32(static_cast<int>(d[i]));
    __m128i below[max_registers];
    int count = 0;
    for (std::int64_t r = 0; r < registers; ++r) {
      below[r] = at_most(u[r], di);
      count += _mm_popcnt_u32(static_cast<unsigned>(_mm_movemask_epi8(below[r])));
    }
    const auto at = static_cast<std::uint32_t>(count / static_cast<int>(sizeof(V)));
    row[i] = static_cast<V>(d[i] + at);
    // Slot j > at takes u_{j-1} - 1, slot at takes d_i: u_{j-1} > d_i
    // exactly for j > at. From the top register down, so that each shift
    // reads its neighbour's old lanes.
    for (std::int64_t r = registers - 1; r >= 0; --r) {
      const __m128i before = r == 0 ? _mm_slli_si128(u[0], sizeof(V)) : _mm_alignr_epi8(u[r], u[r - 1], 16 - sizeof(V));
      const __m128i kept = _mm_blendv_epi8(di, u[r], below[r]);
      const __m128i lowered = narrow ? _mm_sub_epi16(before, one) : _mm_sub_epi32(before, one);
      u[r] = _mm_blendv_epi8(lowered, kept, at_most(before, di));
    }
  }
}
inline constexpr bool has_digit_lanes = true;
#else
template <typename V, std::int64_t K>
void place_digits_in_lanes(const std::uint32_t*, std::int64_t, V*) noexcept {}
inline constexpr bool has_digit_lanes = false;
#endif

template <typename R, typename V, std::int64_t K>
void unrank_rows_fixed(const R* ranks, std::size_t count, std::int64_t k, const Divisor* radix, V* out) noexcept {
  const std::int64_t width = K > 0 ? K : k;
  for (std::size_t r = 0; r < count; ++r, out += width) {
    R x = ranks[r];
    std::uint32_t d[max_ranked_columns];
    for (std::int64_t i = width - 1; i >= 1; --i) {
      std::uint64_t rem = 0;
      x = radix[i].divide(x, rem);
      d[i] = static_cast<std::uint32_t>(rem);
    }
    d[0] = static_cast<std::uint32_t>(x);  // below n <= 2^32
    if constexpr (has_digit_lanes) {
      place_digits_in_lanes<V, K>(d, k, out);
    } else {
      place_digits<V, K>(d, k, out);
    }
  }
}

}  // namespace detail

// Ranks rows [0, count) of k vertices (each below n) into out; returns the
// index of the first row that repeats a vertex (count when none), having
// written the ranks of the rows before it. Does not allocate.
// Preconditions: 1 <= k <= n, P(n, k) fits R (so k <= 34), every vertex
// below n.
template <typename R, typename V, typename Out>
std::size_t rank_permutation_rows(const V* rows, std::size_t count, std::int64_t n, std::int64_t k,
                                  Out* out) noexcept {
  R weight[detail::max_ranked_columns];
  detail::permutation_weights(n, k, weight);
  switch (k) {
    case 2: return detail::rank_rows_fixed<R, V, Out, 2>(rows, count, k, weight, out);
    case 3: return detail::rank_rows_fixed<R, V, Out, 3>(rows, count, k, weight, out);
    case 4: return detail::rank_rows_fixed<R, V, Out, 4>(rows, count, k, weight, out);
    case 5: return detail::rank_rows_fixed<R, V, Out, 5>(rows, count, k, weight, out);
    case 6: return detail::rank_rows_fixed<R, V, Out, 6>(rows, count, k, weight, out);
    default: return detail::rank_rows_fixed<R, V, Out, 0>(rows, count, k, weight, out);
  }
}

// The rows of ranks [0, count), each below P(n, k). Does not allocate.
// Preconditions: 1 <= k <= n, P(n, k) fits R (so k <= 34).
template <typename R, typename V>
void unrank_permutation_rows(const R* ranks, std::size_t count, std::int64_t n, std::int64_t k, V* out) noexcept {
  detail::Divisor radix[detail::max_ranked_columns];  // column i has n - i choices
  for (std::int64_t i = 1; i < k; ++i) radix[i] = detail::Divisor(static_cast<std::uint64_t>(n - i));
  switch (k) {
    case 2: return detail::unrank_rows_fixed<R, V, 2>(ranks, count, k, radix, out);
    case 3: return detail::unrank_rows_fixed<R, V, 3>(ranks, count, k, radix, out);
    case 4: return detail::unrank_rows_fixed<R, V, 4>(ranks, count, k, radix, out);
    case 5: return detail::unrank_rows_fixed<R, V, 5>(ranks, count, k, radix, out);
    case 6: return detail::unrank_rows_fixed<R, V, 6>(ranks, count, k, radix, out);
    default: return detail::unrank_rows_fixed<R, V, 0>(ranks, count, k, radix, out);
  }
}

// Enumeration. Under a fixed prefix of p = k - t columns, the last t columns
// run through the t-permutations of the m = n - p vertices the prefix leaves
// unused, in lex order: the lex list of t-permutations of {0..m-1}, the same
// for every prefix, mapped through the sorted unused vertices (a monotone
// map keeps the order). So one table, built once per call, supplies every
// block of P(m, t) rows; between blocks a successor step moves the prefix.
// Rows of up to 32 16-bit vertices are stored as 16-byte chunks as the
// subsets' enumeration does (the chunk with the changing columns last,
// rows of k < 8 spilling into the next row and the last rows going through
// a scratch buffer); where m <= 8 the unused vertices fit one register and a
// byte shuffle maps a table entry in one instruction. With t = 1 no table is
// needed: the last column counts up, skipping the prefix's vertices.
namespace detail {

// Table bounds: entries (16 bytes each as shuffles), columns, and m, which
// keeps indices in bytes and lets a 64-bit set mark the used ones.
inline constexpr std::int64_t perm_table_entries = 8192;
inline constexpr std::int64_t perm_table_max_t = 7;
inline constexpr std::int64_t perm_table_max_m = 64;
// Entries mapped at a time where no shuffle does it: 4 KiB of chunks.
inline constexpr std::size_t perm_map_batch = 256;

// P(m, t) for m <= 64, t <= 7 (below 2^42).
constexpr std::uint64_t small_perm(std::int64_t m, std::int64_t t) noexcept {
  std::uint64_t v = 1;
  for (std::int64_t j = 0; j < t; ++j) v *= static_cast<std::uint64_t>(m - j);
  return v;
}

// The table columns for `rows` rows of (n, k): the most, up to 7, whose
// table fits and costs little beside the rows it serves; 1 when none does.
inline std::int64_t permutation_table_columns(std::int64_t n, std::int64_t k, std::size_t rows) noexcept {
  for (std::int64_t t = std::min(k, perm_table_max_t); t >= 2; --t) {
    const std::int64_t m = n - k + t;
    if (m > perm_table_max_m) continue;
    const std::uint64_t entries = small_perm(m, t);
    if (entries <= static_cast<std::uint64_t>(perm_table_entries) && entries * 4 <= rows) return t;
  }
  return 1;
}

// The t-permutations of {0..m-1} in lex order, t bytes each. Allocates
// P(m, t) t bytes. Preconditions: 2 <= t <= 7, t <= m <= 64.
inline std::vector<std::uint8_t> permutation_table(std::int64_t m, std::int64_t t) {
  std::vector<std::uint8_t> table(small_perm(m, t) * static_cast<std::uint64_t>(t));
  std::uint8_t entry[perm_table_max_t] = {};
  std::uint64_t used = 0;
  std::size_t at = 0;
  // Depth-first, smallest choice first: lex order.
  const auto fill = [&](auto& self, std::int64_t column) -> void {
    if (column == t) {
      std::memcpy(table.data() + at, entry, static_cast<std::size_t>(t));
      at += static_cast<std::size_t>(t);
      return;
    }
    for (std::int64_t x = 0; x < m; ++x) {
      if (used >> x & 1) continue;
      used |= std::uint64_t{1} << x;
      entry[column] = static_cast<std::uint8_t>(x);
      self(self, column + 1);
      used &= ~(std::uint64_t{1} << x);
    }
  };
  fill(fill, 0);
  return table;
}

// Scratch of the successor step: two rows' worth of vertices.
template <typename V>
struct SuccessorScratch {
  std::vector<V> sorted, pool;
};

// Steps c, a k-permutation of n, to the next one in lex order. Scanning from
// the right, position i can grow when some vertex not in c[0..i) lies above
// c[i]: one unused by the row, or one of c[i+1..k). While the scan fails,
// each c[i] passed exceeds both, so c[i+1..k) is decreasing and its maximum
// is the last vertex passed. At the first success c[i] takes the smallest
// candidate above it, and c[i+1..k) the smallest vertices left, ascending.
// O(k log k); allocates 2k vertices (kept in scratch across calls).
// Precondition: c is not the last row.
template <typename V>
void permutation_successor(V* c, std::int64_t n, std::int64_t k, SuccessorScratch<V>& scratch) {
  std::vector<V>& sorted = scratch.sorted;
  sorted.assign(c, c + k);
  std::sort(sorted.begin(), sorted.end());
  // The largest vertex the row leaves unused, -1 for none.
  std::int64_t top = n - 1;
  for (std::int64_t s = k - 1; s >= 0 && static_cast<std::int64_t>(sorted[static_cast<std::size_t>(s)]) == top; --s) {
    --top;
  }
  std::int64_t i = k - 1, right_max = -1;
  for (; i >= 0; --i) {
    const auto v = static_cast<std::int64_t>(c[i]);
    if (std::max(top, right_max) > v) break;
    right_max = v;
  }
  const auto old = static_cast<std::int64_t>(c[i]);
  // Smallest of c[i+1..k) above old: they increase from the right.
  std::int64_t w = n;
  for (std::int64_t j = k - 1; j > i; --j) {
    if (static_cast<std::int64_t>(c[j]) > old) {
      w = c[j];
      break;
    }
  }
  // Smallest unused vertex above old.
  {
    std::int64_t v = old + 1;
    auto at = std::upper_bound(sorted.begin(), sorted.end(), static_cast<V>(old));
    for (; at != sorted.end() && static_cast<std::int64_t>(*at) == v; ++at) ++v;
    w = std::min(w, v);  // v = n where none
  }
  c[i] = static_cast<V>(w);
  // The vertices of c[i..k) but w, ascending, merged with the unused ones
  // but w: the smallest k - 1 - i fill the rest of the row.
  std::vector<V>& pool = scratch.pool;
  pool.clear();
  bool placed_old = false;
  for (std::int64_t j = k - 1; j > i; --j) {
    const auto v = static_cast<std::int64_t>(c[j]);
    if (!placed_old && old < v) {
      pool.push_back(static_cast<V>(old));
      placed_old = true;
    }
    if (v != w) pool.push_back(c[j]);
  }
  if (!placed_old) pool.push_back(static_cast<V>(old));
  std::size_t from_pool = 0, from_sorted = 0;
  std::int64_t unused = 0;
  const auto next_unused = [&] {
    for (;; ++unused) {
      while (from_sorted < sorted.size() && static_cast<std::int64_t>(sorted[from_sorted]) < unused) ++from_sorted;
      if (unused == w) continue;
      if (from_sorted < sorted.size() && static_cast<std::int64_t>(sorted[from_sorted]) == unused) continue;
      return;
    }
  };
  next_unused();
  for (std::int64_t j = i + 1; j < k; ++j) {
    const bool take_pool = from_pool < pool.size() && (unused >= n || static_cast<std::int64_t>(pool[from_pool]) < unused);
    if (take_pool) {
      c[j] = pool[from_pool++];
    } else {
      c[j] = static_cast<V>(unused++);
      next_unused();
    }
  }
}

// One 16-byte chunk of a row: eight 16-bit vertices.
using PermutationChunk = Vertex __attribute__((vector_size(16)));

#if defined(__SSSE3__)
inline constexpr bool has_byte_shuffle = true;
#else
inline constexpr bool has_byte_shuffle = false;
#endif

// Writes rows block by block. W > 0: rows of 8(W-1) < k <= 8W 16-bit
// vertices stored as W chunks, the last at lanes off.. holding the
// changing columns; W = 0: any row, copied vertex by vertex.
template <typename V, std::int64_t W>
class PermutationBlocks {
  static constexpr bool chunked = W > 0;

 public:
  // Preconditions: first is a valid row (copied, so it may lie in the
  // output); 1 <= t <= 7, and t >= 2 only where m = n - k + t <= 64 and
  // P(m, t) <= perm_table_entries; chunked: V is Vertex, 2 <= k <= 8 W.
  PermutationBlocks(const V* first, std::int64_t n, std::int64_t k, std::int64_t t)
      : n_(n), k_(k), t_(t), p_(k - t), off_(k > 8 ? k - 8 : 0), row_(first, first + k) {
    if (t_ >= 2) {
      m_ = n - p_;
      total_ = small_perm(m_, t_);
      table_ = permutation_table(m_, t_);
      if constexpr (chunked) {
        shuffled_ = has_byte_shuffle && m_ <= 8;
        if (shuffled_) {
          build_shuffles();
        } else {
          mapped_.assign(8 * perm_map_batch, Vertex{0});
        }
      }
    }
    start_block();
  }

  // Writes the next `rows` rows at out; chunked with k < 8, also up to 7
  // values past them. Precondition: the rows exist.
  void write(std::size_t rows, V* out) {
    const auto width = static_cast<std::size_t>(k_);
    while (rows > 0) {
      std::size_t len = 0;
      if (t_ >= 2) {
        if (at_ == total_) next_block();
        len = static_cast<std::size_t>(std::min<std::uint64_t>(total_ - at_, rows));
        write_entries(len, out);
        at_ += len;
      } else {
        if (next_ == n_) next_block();
        const std::int64_t end = skip_ < sorted_prefix_size() ? static_cast<std::int64_t>(scratch_.sorted[skip_]) : n_;
        len = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(end - next_), rows));
        write_run(len, out);
        next_ += static_cast<std::int64_t>(len);
        last_ = next_ - 1;
        // Past the prefix's vertices that end the run.
        while (skip_ < sorted_prefix_size() && static_cast<std::int64_t>(scratch_.sorted[skip_]) == next_) {
          ++skip_;
          ++next_;
        }
      }
      rows -= len;
      out += len * width;
    }
  }

 private:
  std::size_t sorted_prefix_size() const noexcept { return static_cast<std::size_t>(p_); }

  // Sets up the block of row_: its unused vertices and place in the table
  // (t >= 2) or the run of its last column (t = 1).
  void start_block() {
    std::vector<V>& sorted = scratch_.sorted;
    sorted.assign(row_.begin(), row_.begin() + p_);
    std::sort(sorted.begin(), sorted.end());
    if (t_ >= 2) {
      // n <= p + 64 here: the walk is short beside a row.
      unused_.clear();
      std::size_t s = 0;
      for (std::int64_t v = 0; v < n_; ++v) {
        if (s < sorted.size() && static_cast<std::int64_t>(sorted[s]) == v) {
          ++s;
        } else {
          unused_.push_back(static_cast<V>(v));
        }
      }
      // The table entry of the tail: the rank of its indices among the
      // t-permutations of {0..m-1}.
      std::uint64_t rank = 0;
      std::int64_t index[perm_table_max_t];
      for (std::int64_t j = 0; j < t_; ++j) {
        index[j] = std::lower_bound(unused_.begin(), unused_.end(), row_[static_cast<std::size_t>(p_ + j)]) -
                   unused_.begin();
        std::int64_t digit = index[j];
        for (std::int64_t i = 0; i < j; ++i) digit -= index[i] < index[j];
        rank += static_cast<std::uint64_t>(digit) * small_perm(m_ - 1 - j, t_ - 1 - j);
      }
      at_ = rank;
      if constexpr (chunked) {
        if (shuffled_) {
          alignas(16) Vertex lanes[8] = {};
          for (std::int64_t j = 0; j < m_; ++j) lanes[j] = unused_[static_cast<std::size_t>(j)];
          std::memcpy(&unused_lanes_, lanes, sizeof(lanes));
        }
      }
    } else {
      next_ = row_[static_cast<std::size_t>(k_ - 1)];
      skip_ = static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), static_cast<V>(next_)) -
                                       sorted.begin());
    }
    if constexpr (chunked) load_fixed();
  }

  // From the block's last row to the first row of the next block.
  void next_block() {
    if (t_ >= 2) {
      // The last entry: the t largest unused vertices, descending.
      for (std::int64_t j = 0; j < t_; ++j) {
        row_[static_cast<std::size_t>(p_ + j)] = unused_[static_cast<std::size_t>(m_ - 1 - j)];
      }
    } else {
      row_[static_cast<std::size_t>(k_ - 1)] = static_cast<V>(last_);
    }
    permutation_successor(row_.data(), n_, k_, scratch_);
    start_block();
  }

  // The row without its changing columns, as the chunks to store.
  void load_fixed() noexcept {
    alignas(16) Vertex rest[8 * (W > 0 ? W : 1)] = {};
    std::memcpy(rest, row_.data(), static_cast<std::size_t>(k_) * sizeof(Vertex));
    for (std::int64_t q = p_; q < k_; ++q) rest[q] = 0;
    for (std::int64_t w = 0; w + 1 < W; ++w) std::memcpy(&fixed_[w], rest + 8 * w, 16);
    std::memcpy(&fixed_[W - 1], rest + off_, 16);
  }

  // A byte shuffle per entry: lane p - off + j takes unused vertex
  // table[j] (bytes 2x, 2x + 1); other lanes 0x80, which gives 0.
  void build_shuffles() {
    shuffles_.resize(total_);
    const auto lane0 = p_ - off_;
    for (std::uint64_t r = 0; r < total_; ++r) {
      alignas(16) std::uint8_t bytes[16];
      std::memset(bytes, 0x80, sizeof(bytes));
      for (std::int64_t j = 0; j < t_; ++j) {
        const std::uint8_t x = table_[r * static_cast<std::uint64_t>(t_) + static_cast<std::uint64_t>(j)];
        bytes[2 * (lane0 + j)] = static_cast<std::uint8_t>(2 * x);
        bytes[2 * (lane0 + j) + 1] = static_cast<std::uint8_t>(2 * x + 1);
      }
      std::memcpy(&shuffles_[r], bytes, 16);
    }
  }

  // Stores `len` rows whose last chunk's changing lanes come from
  // changing(r), zero elsewhere.
  template <typename Changing>
  void store_rows(std::size_t len, V* out, Changing changing) const noexcept {
    const auto width = static_cast<std::size_t>(k_);
    PermutationChunk fixed[W];
    std::memcpy(fixed, fixed_, sizeof(fixed));
    const auto last_offset = static_cast<std::size_t>(off_);
    for (std::size_t r = 0; r < len; ++r) {
      for (std::int64_t w = 0; w + 1 < W; ++w) std::memcpy(out + 8 * w, &fixed[w], 16);
      const PermutationChunk chunk = fixed[W - 1] | changing(r);
      std::memcpy(out + last_offset, &chunk, 16);
      out += width;
    }
  }

  // Rows for table entries at_, at_ + 1, ...
  void write_entries(std::size_t len, V* out) {
    const auto t = static_cast<std::size_t>(t_);
    const std::uint8_t* entry = table_.data() + at_ * t;
    if constexpr (chunked) {
#if defined(__SSSE3__)
      if (shuffled_) {
        const auto lanes = reinterpret_cast<__m128i>(unused_lanes_);
        const PermutationChunk* shuffle = shuffles_.data() + at_;
        store_rows(len, out, [&](std::size_t r) {
          return reinterpret_cast<PermutationChunk>(
              _mm_shuffle_epi8(lanes, reinterpret_cast<__m128i>(shuffle[r])));
        });
        return;
      }
#endif
      // Mapped a batch at a time into chunks whose other lanes stay 0.
      const auto lane0 = static_cast<std::size_t>(p_ - off_);
      const auto width = static_cast<std::size_t>(k_);
      for (std::size_t begin = 0; begin < len; begin += perm_map_batch) {
        const std::size_t batch = std::min(perm_map_batch, len - begin);
        Vertex* const lanes = mapped_.data();
        for (std::size_t r = 0; r < batch; ++r, entry += t) {
          for (std::size_t j = 0; j < t; ++j) lanes[8 * r + lane0 + j] = unused_[entry[j]];
        }
        store_rows(batch, out + begin * width, [lanes](std::size_t r) {
          PermutationChunk chunk;
          std::memcpy(&chunk, lanes + 8 * r, 16);
          return chunk;
        });
      }
    } else {
      const auto p = static_cast<std::size_t>(p_);
      for (std::size_t r = 0; r < len; ++r, entry += t) {
        std::memcpy(out, row_.data(), p * sizeof(V));
        for (std::size_t j = 0; j < t; ++j) out[p + j] = unused_[entry[j]];
        out += p + t;
      }
    }
  }

  // Rows whose last column runs next_, next_ + 1, ...
  void write_run(std::size_t len, V* out) const noexcept {
    if constexpr (chunked) {
      PermutationChunk step = {};
      step[k_ - 1 - off_] = 1;
      const PermutationChunk start = step * static_cast<Vertex>(next_);
      store_rows(len, out, [&](std::size_t r) { return start + step * static_cast<Vertex>(r); });
    } else {
      const auto p = static_cast<std::size_t>(p_);
      for (std::size_t r = 0; r < len; ++r) {
        std::memcpy(out, row_.data(), p * sizeof(V));
        out[p] = static_cast<V>(next_ + static_cast<std::int64_t>(r));
        out += p + 1;
      }
    }
  }

  std::int64_t n_, k_, t_, p_, m_ = 0;
  std::int64_t off_;               // where the last chunk starts
  std::vector<V> row_;             // the block's first row, then its last
  SuccessorScratch<V> scratch_;    // .sorted holds the prefix, sorted
  // t >= 2: the table, its next entry and size, the unused vertices.
  std::vector<std::uint8_t> table_;
  std::uint64_t at_ = 0, total_ = 0;
  std::vector<V> unused_;
  // t = 1: the last column's next value, the last one written, and the
  // first prefix vertex at or above next_.
  std::int64_t next_ = 0, last_ = 0;
  std::size_t skip_ = 0;
  // Chunked.
  bool shuffled_ = false;
  PermutationChunk unused_lanes_ = {};
  std::vector<PermutationChunk> shuffles_;
  std::vector<Vertex> mapped_;  // 8 lanes per entry, those not changing 0
  PermutationChunk fixed_[W > 0 ? W : 1] = {};
};

template <typename V, std::int64_t W>
void write_permutation_blocks(const V* first, std::int64_t n, std::int64_t k, std::size_t rows, V* out) {
  PermutationBlocks<V, W> writer(first, n, k, permutation_table_columns(n, k, rows));
  if constexpr (W == 1) {
    // Each row's store runs up to 8 - k vertices past it: the last rows go
    // through scratch.
    const auto width = static_cast<std::size_t>(k);
    const std::size_t spill = (7 + width) / width - 1;  // at most 3
    const std::size_t direct = rows > spill ? rows - spill : 0;
    writer.write(direct, out);
    Vertex scratch[32];
    writer.write(rows - direct, scratch);
    std::memcpy(out + direct * width, scratch, (rows - direct) * width * sizeof(V));
  } else {
    writer.write(rows, out);
  }
}

}  // namespace detail

// From the row at `first` (a valid k-permutation), writes `rows` rows to
// out: that row and the rows - 1 that follow it in lex order, and nothing
// outside out[0, rows k), so threads may fill neighbouring ranges.
// Allocates a table of at most 8192 entries of up to 7 bytes (56 KiB) and,
// for 16-bit rows, 16 bytes of byte shuffle per entry (128 KiB at most) or
// 4 KiB of mapped entries; and three rows' worth of vertices (3k) for the
// steps between blocks; std::bad_alloc on failure.
// Preconditions: 1 <= k <= n <= vertex_limit<V>; the rows exist (no wrap
// past the last); out holds rows k values and may start at `first` but not
// overlap it otherwise.
template <typename V>
void enumerate_permutations(const V* first, std::int64_t n, std::int64_t k, std::size_t rows, V* out) {
  if (rows == 0) return;
  if (k == 1) {
    const V v = first[0];
    for (std::size_t r = 0; r < rows; ++r) out[r] = static_cast<V>(v + r);
    return;
  }
  if constexpr (std::is_same_v<V, Vertex>) {
    switch ((k + 7) / 8) {
      case 1: return detail::write_permutation_blocks<V, 1>(first, n, k, rows, out);
      case 2: return detail::write_permutation_blocks<V, 2>(first, n, k, rows, out);
      case 3: return detail::write_permutation_blocks<V, 3>(first, n, k, rows, out);
      case 4: return detail::write_permutation_blocks<V, 4>(first, n, k, rows, out);
      default: break;
    }
  }
  detail::write_permutation_blocks<V, 0>(first, n, k, rows, out);
}

}  // namespace combinatorial
