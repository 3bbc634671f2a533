// The widths the kernels assume, named once: a rank, a vertex, the bound on
// the vertex count that a vertex's width allows, and a cell of a coefficient
// table.
//
// What stays std::uint64_t: n and k; counts and sizes of things held in
// memory; C(n, k) as a count, the bound that ranks are checked against;
// binom() and the coefficients a caller asks for as values (comb's results).
// What is Rank: every rank read, written or computed, and every value of
// rank arithmetic, such as the coefficients summed into a rank and the
// remainders left while unranking one. Code that relies on a width without
// naming it (16-bit lanes, 32-bit products of vertices, int64 results that
// hold a Rank's bits) says so with a static_assert where it does.
#pragma once

#include <cstdint>
#include <limits>

namespace combinatorial {

// A rank of a combination, below C(n, k) < 2^64.
using Rank = std::uint64_t;

// A vertex of {0, ..., n - 1}.
using Vertex = std::uint16_t;

// The most vertices a Vertex can name: n <= max_vertex_count.
inline constexpr std::uint64_t max_vertex_count = std::uint64_t{std::numeric_limits<Vertex>::max()} + 1;

// A cell of a table of C(m, j): the bits of binom() held signed, as the
// table type has always stored them; readers take them back as unsigned, so
// a saturated cell compares above every rank.
using Cell = long;
static_assert(sizeof(Cell) == sizeof(Rank), "a cell holds every coefficient a rank is summed from");

}  // namespace combinatorial
