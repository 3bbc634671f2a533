// The widths the kernels assume, named once: a rank, a vertex, the bound on
// the vertex count that a vertex's width allows.
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

}  // namespace combinatorial
