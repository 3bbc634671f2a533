// Pairs (k = 2) in closed form, in both orders, with no table: the fast path
// of pair unranking, vectorised where the processor allows.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "combinatorial/cpu.hpp"
#include "combinatorial/order.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

namespace detail {

// Colex: the larger vertex v is the largest with C(v, 2) = v (v - 1) / 2 <= r,
// v = floor((1 + sqrt(8r + 1)) / 2). For r < C(65536, 2) < 2^31, 8r + 1 is an
// exact double and its square root is correctly rounded; sqrt(8r + 1) is
// never within an ulp of an odd integer it does not equal, so v is exact, and
// one comparison guards it all the same.
// Lex: the first vertex a = n - 2 - floor(sqrt(x) / 2 - 1 / 2) with
// x = 8 (C(n, 2) - r) - 7 < 2^35, exact by the same argument.
// Written in unsigned arithmetic with plain truncations, a form that GCC
// vectorises; every truncated value is non-negative, so truncation is floor.
template <Order O, RowLayout Layout>
[[gnu::always_inline]] inline void unrank_pairs_body(const Rank* first, const Rank* last, std::int64_t n,
                                                    Vertex* out) noexcept {
  static_assert(max_vertex_count <= 65536, "the closed forms are shown exact for n <= 65536");
  constexpr std::size_t low = Layout == RowLayout::smallest_first ? 0 : 1, high = 1 - low;
  const auto nn = static_cast<std::uint64_t>(n);
  const std::uint64_t count = nn * (nn - 1) / 2;
  for (; first != last; ++first, out += 2) {
    const Rank r = *first;
    if constexpr (is_lex<O>()) {
      const auto x = static_cast<double>(static_cast<std::int64_t>(8 * (count - r) - 7));
      const auto f = static_cast<std::uint64_t>(static_cast<std::int64_t>(std::sqrt(x) * 0.5 - 0.5));
      const std::uint64_t a = nn - 2 - f;
      out[low] = static_cast<Vertex>(a);
      out[high] = static_cast<Vertex>(r + a + 1 + (nn - a) * (nn - a - 1) / 2 - count);
    } else {
      const auto root = std::sqrt(8.0 * static_cast<double>(static_cast<std::int64_t>(r)) + 1.0);
      auto v = static_cast<std::uint64_t>(static_cast<std::int64_t>((1.0 + root) * 0.5));
      v -= v * (v - 1) / 2 > r;
      out[high] = static_cast<Vertex>(v);
      out[low] = static_cast<Vertex>(r - v * (v - 1) / 2);
    }
  }
}

#if COMBINATORIAL_CPU_DISPATCH
template <Order O, RowLayout Layout>
COMBINATORIAL_AVX512 void unrank_pairs_avx512(const Rank* first, const Rank* last, std::int64_t n,
                                              Vertex* out) noexcept {
  unrank_pairs_body<O, Layout>(first, last, n, out);
}
#endif

}  // namespace detail

// Writes the two vertices of each pair rank in [first, last) in order O, laid
// out as Layout says. Does not allocate. Preconditions: 2 <= n <=
// max_vertex_count, 0 <= rank < C(n, 2). Uses AVX-512 when the processor has
// it (the shipped build targets x86-64-v2), which converts and roots eight
// ranks at once.
template <Order O, RowLayout Layout>
void unrank_pairs(const Rank* first, const Rank* last, std::int64_t n, Vertex* out) noexcept {
#if COMBINATORIAL_CPU_DISPATCH
  if (has_avx512()) return detail::unrank_pairs_avx512<O, Layout>(first, last, n, out);
#endif
  detail::unrank_pairs_body<O, Layout>(first, last, n, out);
}

}  // namespace combinatorial
