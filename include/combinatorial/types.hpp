// The widths the kernels assume, named once: a rank, a vertex, the bound on
// the vertex count that a vertex's width allows, and a cell of a coefficient
// table; each in a narrow form (64-bit ranks, 16-bit vertices), for which
// the tuned kernels are written, and a wide one (128-bit ranks, 32-bit
// vertices) that the same templates take where the narrow one does not fit.
//
// What stays std::uint64_t: n and k; counts and sizes of things held in
// memory; C(n, k) as a count, the bound that ranks are checked against;
// binom() and the coefficients a caller asks for as values (comb's results).
// What is Rank (or WideRank, where ranks are wide): every rank read, written or computed, and every value of
// rank arithmetic, such as the coefficients summed into a rank and the
// remainders left while unranking one. Code that relies on a width without
// naming it (16-bit lanes, 32-bit products of vertices, int64 results that
// hold a Rank's bits) says so with a static_assert where it does.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

namespace combinatorial {

// A rank of a combination, below C(n, k) < 2^64.
using Rank = std::uint64_t;

// A rank below C(n, k) < 2^128, where C(n, k) does not fit 64 bits.
using WideRank = unsigned __int128;

// A vertex of {0, ..., n - 1}.
using Vertex = std::uint16_t;

// A vertex where n is above what a Vertex can name.
using WideVertex = std::uint32_t;

// The most vertices a vertex type V can name: n <= vertex_limit<V>.
template <typename V>
inline constexpr std::uint64_t vertex_limit = std::uint64_t{std::numeric_limits<V>::max()} + 1;

// The most vertices a Vertex can name: n <= max_vertex_count.
inline constexpr std::uint64_t max_vertex_count = vertex_limit<Vertex>;

// The most vertices the package takes, 2^32: every vertex a WideVertex.
inline constexpr std::uint64_t max_wide_vertex_count = vertex_limit<WideVertex>;

// A WideRank as arrays of ranks hold it (the package's uint128 dtype): the
// high word first, so that comparing the fields in order, as NumPy sorts a
// structured dtype, is comparing the numbers. Converts both ways, so that
// kernels write and read back through it as through a WideRank.
struct StoredWideRank {
  std::uint64_t hi = 0, lo = 0;
  StoredWideRank() = default;
  constexpr StoredWideRank(WideRank value) noexcept  // NOLINT: implicit, as a rank's storage
      : hi(static_cast<std::uint64_t>(value >> 64)), lo(static_cast<std::uint64_t>(value)) {}
  constexpr operator WideRank() const noexcept { return static_cast<WideRank>(hi) << 64 | lo; }
};
static_assert(sizeof(StoredWideRank) == 16, "a stored wide rank is two 64-bit words, no padding");

// A cell of a table of C(m, j): the bits of binom() held signed, as the
// table type has always stored them; readers take them back as unsigned, so
// a saturated cell compares above every rank.
using Cell = long;
static_assert(sizeof(Cell) == sizeof(Rank), "a cell holds every coefficient a rank is summed from");

// A cell of a table for wide ranks: C(m, j) exact below 2^128, saturated above.
using WideCell = WideRank;

// The widths of the ranks and vertices of the k-subsets of n: the narrow
// ones wherever they suffice, since the kernels are fastest there. The one
// place that chooses them; with_widths() calls body(rank, vertex) with
// values of the chosen types. `wide_ranks`: C(n, k) is 2^64 or more.
template <typename Body>
decltype(auto) with_widths(bool wide_ranks, std::uint64_t n, Body&& body) {
  const bool wide_vertices = n > max_vertex_count;
  if (wide_ranks) {
    return wide_vertices ? body(WideRank{}, WideVertex{}) : body(WideRank{}, Vertex{});
  }
  return wide_vertices ? body(Rank{}, WideVertex{}) : body(Rank{}, Vertex{});
}

// A rank of any width as Out stores it: int64 and uint64 results hold a
// rank below 2^64 as its 64 bits, StoredWideRank holds any. Ranks computed
// at 128 bits whose results fit 64 bits go out through the same call.
template <typename Out, typename R>
constexpr Out stored_rank(R rank) noexcept {
  if constexpr (std::is_same_v<Out, StoredWideRank>) {
    return StoredWideRank(rank);
  } else {
    return static_cast<Out>(static_cast<std::uint64_t>(rank));  // below 2^64 by the caller's guarantee
  }
}

// A rank that stored_rank wrote, read back at width R (no sign extension).
template <typename R, typename Out>
constexpr R loaded_rank(Out stored) noexcept {
  if constexpr (std::is_same_v<Out, StoredWideRank>) {
    return static_cast<R>(static_cast<WideRank>(stored));
  } else {
    return static_cast<R>(static_cast<std::uint64_t>(stored));
  }
}

// The cell of a table for ranks of type R: Cell holds a Rank's bits.
template <typename R>
using CellOf = std::conditional_t<std::is_same_v<R, WideRank>, WideCell, Cell>;

// Whether a kernel's types are the narrow ones, which have tuned kernels of their own.
template <typename R, typename V>
inline constexpr bool is_narrow = std::is_same_v<R, Rank> && std::is_same_v<V, Vertex>;

}  // namespace combinatorial
