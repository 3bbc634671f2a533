// Element-wise coefficients read from a table of C(m, j), eight at a time
// with AVX-512 gathers where the processor has them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "combinatorial/cpu.hpp"

#if COMBINATORIAL_CPU_DISPATCH
#include <immintrin.h>
#endif

namespace combinatorial {

// A table of C(m, j) for m <= max_n, j <= max_j: row j starts at j * stride.
// max_j and stride stay below 2^32.
struct CoefficientCells {
  const long* cells;
  std::size_t stride;
  std::uint64_t max_n;
  std::uint64_t max_j;
};

namespace detail {

// True when element i escapes the table: outside it, or saturated.
inline bool lookup_one(const std::uint64_t* n, const std::uint64_t* k, std::size_t i,
                       const CoefficientCells& table, std::uint64_t* out) noexcept {
  const bool inside = (n[i] <= table.max_n) & (k[i] <= table.max_j);
  const auto value = inside ? static_cast<std::uint64_t>(table.cells[k[i] * table.stride + n[i]]) : 0;
  out[i] = value;
  return !inside | (value == ~std::uint64_t{0});
}

#if COMBINATORIAL_CPU_DISPATCH
COMBINATORIAL_AVX512 inline bool lookup_coefficients_avx512(const std::uint64_t* n, const std::uint64_t* k,
                                                            std::size_t size, const CoefficientCells& table,
                                                            std::uint64_t* out) noexcept {
  const __m512i max_n = _mm512_set1_epi64(static_cast<long long>(table.max_n));
  const __m512i max_j = _mm512_set1_epi64(static_cast<long long>(table.max_j));
  const __m512i stride = _mm512_set1_epi64(static_cast<long long>(table.stride));
  const __m512i saturated = _mm512_set1_epi64(-1);
  bool escaped = false;
  std::size_t i = 0;
  // Large outputs bypass the cache: streaming stores skip reading the lines
  // they replace. They need a 64-byte boundary, reached one by one.
  const bool stream = size >= (std::size_t{1} << 17);
  while (stream && i < size && reinterpret_cast<std::uintptr_t>(out + i) % 64 != 0) {
    escaped |= lookup_one(n, k, i, table, out);
    ++i;
  }
  __mmask8 escapes = 0;
  for (; i + 8 <= size; i += 8) {
    const __m512i nv = _mm512_loadu_si512(n + i);
    const __m512i kv = _mm512_loadu_si512(k + i);
    const __mmask8 inside = _mm512_cmple_epu64_mask(nv, max_n) & _mm512_cmple_epu64_mask(kv, max_j);
    // k <= max_j < 2^32 in the lanes read, so a 32 x 32 -> 64-bit product is exact.
    const __m512i at = _mm512_add_epi64(_mm512_maskz_mul_epu32(inside, kv, stride), nv);
    const __m512i value = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), inside, at, table.cells, 8);
    if (stream) {
      _mm512_stream_si512(reinterpret_cast<__m512i*>(out + i), value);
    } else {
      _mm512_storeu_si512(out + i, value);
    }
    escapes |= static_cast<__mmask8>(~inside | _mm512_cmpeq_epu64_mask(value, saturated));
  }
  _mm_sfence();
  escaped |= escapes != 0;
  for (; i < size; ++i) escaped |= lookup_one(n, k, i, table, out);
  return !escaped;
}
#endif

}  // namespace detail

// Writes C(n[i], k[i]) for each i < size whose (n, k) the table covers, and 0
// for the others. Returns true when every element was covered and none
// saturated; otherwise the caller settles the escaped ones. Does not allocate.
inline bool lookup_coefficients(const std::uint64_t* n, const std::uint64_t* k, std::size_t size,
                                const CoefficientCells& table, std::uint64_t* out) noexcept {
#if COMBINATORIAL_CPU_DISPATCH
  if (has_avx512()) return detail::lookup_coefficients_avx512(n, k, size, table, out);
#endif
  bool escaped = false;
  for (std::size_t i = 0; i < size; ++i) escaped |= detail::lookup_one(n, k, i, table, out);
  return !escaped;
}

}  // namespace combinatorial
