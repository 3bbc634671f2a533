// The inverse binomial search behind colex unranking: the largest vertex v
// with C(v, k) <= r, and the closed-form first guess for it.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "combinatorial/binomial.hpp"

namespace combinatorial {

// x + d with two's-complement wrap-around, so that arguments at the ends of
// the int64 range have a defined result instead of signed overflow.
constexpr std::int64_t wrapping_add(std::int64_t x, std::int64_t d) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(x) + static_cast<std::uint64_t>(d));
}

// A first guess for the largest v with C(v, k) <= r. Pure; does not allocate.
// k = 1: r itself, exact. k = 2: ceil((sqrt(8r + 1) + 1) / 2) - 1, the largest
// v with C(v, 2) < r in exact arithmetic, so one below the answer when
// r = C(w, 2). k = 3: ceil(cbrt(6r)) - 1, for which C(g, 3) <= g^3 / 6 < r,
// one or two below the answer. Both are computed in single precision, which
// keeps them lower bounds for r < C(65535, k); beyond that the k = 2 guess
// may exceed the answer by one. Other k (and r = 0): k - 1, where C is 0.
inline std::int64_t find_k(std::int64_t r, std::int64_t k) noexcept {
  if (r == 0) return wrapping_add(k, -1);
  if (k == 2) {
    float f = static_cast<float>(r) * 8.0f;
    f = f + 1.0f;
    const float s = std::sqrt(f);
    // A negative r has no square root: the guess is then the most negative
    // int64, stated here rather than left to a NaN-to-integer conversion.
    if (std::isnan(s)) return std::numeric_limits<std::int64_t>::min();
    const double d = (static_cast<double>(s) + 1.0) * 0.5;
    return static_cast<std::int64_t>(std::ceil(d) - 1.0);  // |d| < 2^34
  }
  if (k == 3) {
    const float c = std::ceil(std::cbrt(static_cast<float>(r) * 6.0f));  // |c| < 2^22
    return static_cast<std::int64_t>(static_cast<double>(c) - 1.0);
  }
  if (k == 1) return r;
  return wrapping_add(k, -1);
}

// The largest v in [lo, hi] with pred(v), for pred true on [lo, t] and false
// above t; lo when pred(lo) is false; hi when hi < lo. Top-down halving: the
// candidates are always [pos - count, pos], and among equal coefficients the
// largest vertex that satisfies pred wins. Calls pred about log2(hi - lo)
// times and never above hi. The interval length is kept unsigned, so any two
// int64 bounds are valid. The first template parameter is unused.
template <bool Unused = false, typename Pred>
constexpr std::int64_t get_max(std::int64_t hi, std::int64_t lo, Pred pred) {
  if (!pred(lo)) return lo;
  if (hi <= lo) return hi;
  std::int64_t pos = hi;
  std::uint64_t count = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  while (count > 0) {
    const std::uint64_t step = count / 2;
    const std::int64_t mid = wrapping_add(pos, -static_cast<std::int64_t>(step));  // >= lo
    if (!pred(mid)) {
      pos = mid - 1;  // mid > lo here, since step < count
      count = count - step - 1;
    } else {
      count = step;
    }
  }
  return pos;
}

// pred(v) = C(v, k) <= r, both as unsigned 64-bit values. CheckedLookup reads
// the checked lookup table(v, k), valid for every v; otherwise row k of the
// table is read directly and must cover every v searched. A saturated coefficient
// stands for 2^64 or more and exceeds every r, 2^64 - 1 included: no C(v, k)
// with v < 2^63 equals 2^64 - 1 exactly.
template <bool CheckedLookup>
struct CoefficientAtMost {
  std::int64_t r;
  std::int64_t k;
  TableView table;
  bool operator()(std::int64_t v) const noexcept {
    const auto c = static_cast<std::uint64_t>(CheckedLookup ? table(v, k) : table.row(k)[v]);
    return c <= static_cast<std::uint64_t>(r) && c != binom_saturated;
  }
};

// One more than the largest v in [start, n] with C(v, k) <= r, where start is
// find_k(r, k) with UseGuess and k - 1 otherwise; start + 1 if the start
// already fails. Plain bisection only: galloping and probes belong to the
// unranking kernels. Results wrap at the ends of the int64 range.
template <bool CheckedLookup, bool UseGuess, bool Gallop, unsigned LinearProbes>
std::int64_t get_max_vertex(const TableView& table, std::int64_t r, std::int64_t k, std::int64_t n) {
  static_assert(!Gallop, "get_max_vertex searches by plain bisection");
  static_assert(LinearProbes == 0, "get_max_vertex compares no entries one by one");
  const std::int64_t start = UseGuess ? find_k(r, k) : wrapping_add(k, -1);
  return wrapping_add(get_max(n, start, CoefficientAtMost<CheckedLookup>{r, k, table}), 1);
}

// The same over the shared table BC.
template <bool CheckedLookup, bool UseGuess, bool Gallop, unsigned LinearProbes>
std::int64_t get_max_vertex(std::int64_t r, std::int64_t k, std::int64_t n) {
  return get_max_vertex<CheckedLookup, UseGuess, Gallop, LinearProbes>(BC.view(), r, k, n);
}

}  // namespace combinatorial
