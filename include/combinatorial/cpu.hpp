// Runtime choice of AVX-512 code paths: the shipped build targets x86-64-v2,
// and the kernels that gain from wider vectors carry a second body compiled
// for x86-64-v4, taken when the processor has it.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define COMBINATORIAL_AVX512_DISPATCH 1
#define COMBINATORIAL_AVX512 [[gnu::target("arch=x86-64-v4")]]
#else
#define COMBINATORIAL_AVX512_DISPATCH 0
#endif

namespace combinatorial {

// Whether the AVX-512 bodies may run here. Does not allocate.
inline bool has_avx512() noexcept {
#if COMBINATORIAL_AVX512_DISPATCH
  static const bool supported = __builtin_cpu_supports("x86-64-v4");
  return supported;
#else
  return false;
#endif
}

}  // namespace combinatorial
