// Unranking a batch: which kernel runs for which (n, k), decided here once for
// every caller. Complements for k > n / 2, the closed form for pairs, a bucket
// index for large batches, and the plain searches otherwise.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "combinatorial/binomial.hpp"
#include "combinatorial/coefficients.hpp"
#include "combinatorial/complement.hpp"
#include "combinatorial/order.hpp"
#include "combinatorial/types.hpp"
#include "combinatorial/unrank_colex.hpp"
#include "combinatorial/unrank_lex.hpp"
#include "combinatorial/unrank_pairs.hpp"

namespace combinatorial {

// How coefficients are read: straight from the table's rows, which must
// cover what is read, or through the checked lookup, valid for any table.
enum class Lookup { direct, checked };

// Batches of at least this many ranks (k >= 3) pay for a bucket index once
// and then find most vertices with one lookup and one comparison.
inline constexpr std::size_t index_threshold = 8192;

// Whether (n, k) is unranked through its (n - k)-subset complement, which
// keeps tables small: k > n / 2 (pairs and smaller keep their own forms).
constexpr bool unranks_complement(std::int64_t n, std::int64_t k) noexcept { return k >= 2 && k > n - k; }

// The rows 0..table_k of a table for n that unranking (n, k) reads: at most
// 33 whenever C(n, k) < 2^64. Does not allocate.
constexpr std::int64_t unrank_table_k(std::int64_t n, std::int64_t k) noexcept {
  return unranks_complement(n, k) ? n - k : k;
}

// Whether a batch of `size` ranks of (n, k) takes the bucket index.
constexpr bool unrank_wants_index(std::int64_t n, std::int64_t k, std::size_t size) noexcept {
  return k >= 3 && !unranks_complement(n, k) && size >= index_threshold;
}

// The first index in [begin, end) whose rank lies outside [0, count), or end.
// Ranks come as the caller stores them, signed or unsigned; signed ones are
// refused when negative, whatever count is. One branch-free pass, in a form
// that vectorises; the offender is looked for only once one is known to
// exist. Does not allocate.
template <typename Stored>
std::size_t first_rank_outside(const Stored* ranks, std::size_t begin, std::size_t end,
                               std::conditional_t<sizeof(Stored) == 16, WideRank, std::uint64_t> count) noexcept {
  using Unsigned = decltype(count);
  const auto outside = [count](Stored r) {
    if constexpr (std::is_signed_v<Stored>) {
      if (r < 0) return true;
    }
    return static_cast<Unsigned>(r) >= count;
  };
  std::uint64_t bad = 0;
  for (std::size_t i = begin; i < end; ++i) {
    bad |= static_cast<Unsigned>(ranks[i]) >= count ? ~std::uint64_t{0} : 0;
    if constexpr (std::is_signed_v<Stored>) bad |= ranks[i] < 0 ? ~std::uint64_t{0} : 0;
  }
  if (!bad) return end;
  for (std::size_t i = begin; i < end; ++i) {
    if (outside(ranks[i])) return i;
  }
  return end;
}

// Writes the k vertices of the k-subset with the given rank, k > n - k, as
// the complement of the (n - k)-subset of rank count - 1 - rank, where count
// is C(n, k). `unrank(r, size, taken)` writes the vertices of the size-subset
// of rank r in order O, smallest first. Returns the end of the written row.
// Does not allocate.
template <RowLayout Layout, typename Unrank>
Vertex* unrank_by_complement(Rank rank, std::uint64_t count, std::int64_t n, std::int64_t k, Vertex* out,
                             Unrank unrank) {
  const std::int64_t rest = n - k;  // at most 33 whenever C(n, k) fits 64 bits
  Vertex taken[max_index_size + 1];
  if (rest > 0) unrank(count - 1 - rank, rest, taken);
  if constexpr (Layout == RowLayout::largest_first) {
    std::reverse(taken, taken + rest);
    return write_complement<true>(taken, static_cast<std::size_t>(rest), n, out);
  } else {
    return write_complement<false>(taken, static_cast<std::size_t>(rest), n, out);
  }
}

namespace detail {

// The plain searches over [first, last), k >= 1, rows in Layout.
template <Order O, RowLayout Layout, Lookup L>
void unrank_plain(const TableView& table, const Rank* first, const Rank* last, std::int64_t n, std::int64_t k,
                  Vertex* out) {
  constexpr bool checked = L == Lookup::checked;
  if constexpr (!is_lex<O>()) {
    unrank_colex<checked, false, false, 0>(table, first, last, n, k, out);
  } else {
    unrank_lex<checked>(table, first, last, static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k), out);
  }
  // Colex finds vertices largest first, lex smallest first.
  constexpr bool natural = (Layout == RowLayout::largest_first) == !is_lex<O>();
  if constexpr (!natural) {
    const auto width = static_cast<std::size_t>(k);
    for (Vertex* row = out; row != out + (last - first) * k; row += width) std::reverse(row, row + width);
  }
}

// The indexed kernel with k fixed at compile time for the common sizes.
template <Order O, RowLayout Layout, typename Table, typename R, typename V>
void unrank_indexed(const Table& table, const R* first, const R* last, std::int64_t n, std::int64_t k,
                    const BasicColexBucketIndex<R, V>& index, V* out) {
  switch (k) {
    case 3: return unrank_colex_indexed<O, Layout, 3>(table, first, last, n, k, index, out);
    case 4: return unrank_colex_indexed<O, Layout, 4>(table, first, last, n, k, index, out);
    case 5: return unrank_colex_indexed<O, Layout, 5>(table, first, last, n, k, index, out);
    case 6: return unrank_colex_indexed<O, Layout, 6>(table, first, last, n, k, index, out);
    case 8: return unrank_colex_indexed<O, Layout, 8>(table, first, last, n, k, index, out);
    case 12: return unrank_colex_indexed<O, Layout, 12>(table, first, last, n, k, index, out);
    default: return unrank_colex_indexed<O, Layout, 0>(table, first, last, n, k, index, out);
  }
}

}  // namespace detail

// Writes the k vertices of one rank in order O, laid out as Layout says, and
// returns the end of the row; nothing for k = 0. Does not allocate.
// Preconditions: 0 <= rank < C(n, k) < 2^64, n <= max_vertex_count; with
// Lookup::direct the table covers (n, unrank_table_k(n, k)).
template <Order O, RowLayout Layout, Lookup L>
Vertex* unrank_one(const TableView& table, Rank rank, std::int64_t n, std::int64_t k, Vertex* out) {
  if (unranks_complement(n, k)) {
    const auto count = static_cast<std::uint64_t>(table(n, n - k));
    return unrank_by_complement<Layout>(rank, count, n, k, out,
                                        [&](Rank r, std::int64_t size, Vertex* taken) {
                                          detail::unrank_plain<O, RowLayout::smallest_first, L>(table, &r, &r + 1,
                                                                                               n, size, taken);
                                        });
  }
  if (k >= 1) detail::unrank_plain<O, Layout, L>(table, &rank, &rank + 1, n, k, out);
  return out + k;
}

// Writes the k vertices of each rank in [first, first + size) in order O,
// rows laid out as Layout says, k values per rank (none for k = 0). The
// index, when given, serves batches for which unrank_wants_index() holds.
// Does not allocate.
// Preconditions: 0 <= rank < C(n, k) < 2^64; n <= max_vertex_count; the
// table covers (n, unrank_table_k(n, k)); index null or built for n and at
// least k from the same coefficients.
template <Order O, RowLayout Layout>
void unrank_batch(const TableView& table, const ColexBucketIndex* index, const Rank* first, std::size_t size,
                  std::int64_t n, std::int64_t k, Vertex* out) {
  const Rank* const last = first + size;
  if (k == 0) return;
  if (k == 1) {
    std::copy(first, last, out);  // the vertex is the rank in both orders
    return;
  }
  if (unranks_complement(n, k)) {
    for (; first != last; ++first) out = unrank_one<O, Layout, Lookup::direct>(table, *first, n, k, out);
    return;
  }
  if (k == 2) return unrank_pairs<O, Layout>(first, last, n, out);
  if (index != nullptr) return detail::unrank_indexed<O, Layout>(table, first, last, n, k, *index, out);
  detail::unrank_plain<O, Layout, Lookup::direct>(table, first, last, n, k, out);
}

// Writes the k vertices of each rank in [first, first + size) in order O,
// rows laid out as Layout says, k values per rank: the search for ranks and
// vertices of any width, where unrank_batch's tuned kernels do not apply. Each
// vertex comes from the source's search, with the vertex above it as the
// bound: colex finds vertices largest first, C(v, p) <= r; lex finds the
// colex vertices q of C(n, k) - 1 - r and writes n - 1 - q. Does not
// allocate.
// Preconditions: 0 <= rank < C(n, k) < 2^bits(R); 0 <= k <= n <=
// vertex_limit<V>; the source reads C(m, j) for m <= n, j <= k.
template <Order O, RowLayout Layout, typename R, typename V, typename Source>
void unrank_any(const Source& source, const R* first, std::size_t size, std::int64_t n, std::int64_t k, V* out) {
  if (k == 0) return;
  constexpr bool Lex = is_lex<O>();
  // The slot of position p (k down to 1) in a row, as unrank_colex_indexed places it.
  constexpr bool reversed = (Layout == RowLayout::smallest_first) != Lex;
  const auto width = static_cast<std::size_t>(k);
  const R last_rank = Lex ? source(n, k) - 1 : 0;
  for (std::size_t i = 0; i < size; ++i, out += width) {
    R r = Lex ? last_rank - first[i] : first[i];
    std::int64_t above = n;  // the vertex found before, n at first
    for (std::int64_t p = k; p >= 2; --p) {
      const auto [v, coefficient] = source.largest_at_most(p, r, p - 1, above - 1);
      out[reversed ? p - 1 : k - p] = static_cast<V>(Lex ? n - 1 - v : v);
      r -= coefficient;
      above = v;
    }
    const auto v = static_cast<std::int64_t>(r);
    out[reversed ? 0 : k - 1] = static_cast<V>(Lex ? n - 1 - v : v);
  }
}

// Whether a batch of `size` ranks of (n, k) at any widths, read from a
// table, takes the bucket index: as unrank_wants_index, for k up to what an
// index of R holds.
template <typename R>
constexpr bool unrank_any_wants_index(std::int64_t n, std::int64_t k, std::size_t size) noexcept {
  return unrank_wants_index(n, k, size) && k <= max_index_size_of<R>;
}

// unrank_any, or the bucket index where one is given (built for n and at
// least k from the table that `source` reads). Same contract as unrank_any.
template <Order O, RowLayout Layout, typename R, typename V, typename Source>
void unrank_batch_any(const Source& source, const BasicColexBucketIndex<R, V>* index, const R* first,
                      std::size_t size, std::int64_t n, std::int64_t k, V* out) {
  if constexpr (HasRows<Source>) {
    if (index != nullptr) return detail::unrank_indexed<O, Layout>(source, first, first + size, n, k, *index, out);
  }
  unrank_any<O, Layout>(source, first, size, n, k, out);
}

}  // namespace combinatorial
