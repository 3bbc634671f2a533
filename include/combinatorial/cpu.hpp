// Runtime choice of code paths: the shipped build targets x86-64-v2, and
// the kernels that gain from newer instructions carry a second body compiled
// for x86-64-v3 (BMI2 shifts, AVX2) or x86-64-v4 (AVX-512), taken when the
// processor has it.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define COMBINATORIAL_CPU_DISPATCH 1
#define COMBINATORIAL_AVX512 [[gnu::target("arch=x86-64-v4")]]
#define COMBINATORIAL_X86_64_V3 [[gnu::target("arch=x86-64-v3")]]
#else
#define COMBINATORIAL_CPU_DISPATCH 0
#endif

namespace combinatorial {

// Whether the AVX-512 bodies may run here. Does not allocate.
inline bool has_avx512() noexcept {
#if COMBINATORIAL_CPU_DISPATCH
  static const bool supported = __builtin_cpu_supports("x86-64-v4");
  return supported;
#else
  return false;
#endif
}

// Whether the x86-64-v3 bodies may run here. Does not allocate.
inline bool has_x86_64_v3() noexcept {
#if COMBINATORIAL_CPU_DISPATCH
  static const bool supported = __builtin_cpu_supports("x86-64-v3");
  return supported;
#else
  return false;
#endif
}

}  // namespace combinatorial
