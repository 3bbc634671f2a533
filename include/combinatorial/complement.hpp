// Combinations through their complements: a k-subset of {0..n-1} with k > n/2
// is unranked as its (n - k)-subset complement, which keeps tables small.
//
// Complementing reverses both orders: in colex, A < B when the largest element
// of A ^ B lies in B, and the complements have the same symmetric difference,
// with that element now in A's complement; lex likewise with the smallest. So
// rank(A) = C(n, k) - 1 - rank(complement of A), in colex and in lex.
#pragma once

#include <cstddef>
#include <cstdint>

#include "combinatorial/types.hpp"

namespace combinatorial {

// Writes the n - count vertices of {0..n-1} missing from `taken`, largest
// first when Descending (taken must then be decreasing), else smallest first
// (taken increasing). Returns the end of the written run. Does not allocate.
template <bool Descending>
Vertex* write_complement(const Vertex* taken, std::size_t count, std::int64_t n, Vertex* out) noexcept {
  const Vertex* const taken_end = taken + count;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int64_t v = Descending ? n - 1 - i : i;
    if (taken != taken_end && *taken == v) {
      ++taken;
    } else {
      *out++ = static_cast<Vertex>(v);
    }
  }
  return out;
}

}  // namespace combinatorial
