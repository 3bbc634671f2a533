// The refusals that both Python modules make, worded once, so that the
// low-level module and the package's core say the same thing about the same
// input. No Python here: both modules turn std::invalid_argument into
// ValueError and std::overflow_error into OverflowError themselves. The
// low-level module's texts are fixed, so these must not change by a
// character.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "combinatorial/binomial.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

// C(n, k) is 2^64 or more; n and k as the caller wrote them, which for the
// core may be beyond 64 bits.
[[noreturn]] inline void throw_binomial_overflow(const std::string& n, const std::string& k) {
  throw std::overflow_error("C(" + n + ", " + k + ") is 2^64 or more and does not fit 64 bits");
}

[[noreturn]] inline void throw_binomial_overflow(std::uint64_t n, std::uint64_t k) {
  throw_binomial_overflow(std::to_string(n), std::to_string(k));
}

// C(n, k), the number of k-combinations of n and so the bound of their
// ranks; the overflow above when it is 2^64 or more.
inline std::uint64_t combination_count(std::uint64_t n, std::uint64_t k) {
  if (binom_overflows(n, k)) throw_binomial_overflow(n, k);
  return binom(n, k);
}

// n is above vertex_limit<V>; n as the caller wrote it.
template <typename V = Vertex>
[[noreturn]] inline void throw_too_many_vertices(const std::string& n) {
  throw std::invalid_argument("n = " + n + " is too large: vertices are " +
                              std::to_string(std::numeric_limits<V>::digits) + "-bit, so n must be at most " +
                              std::to_string(vertex_limit<V>));
}

inline void check_vertex_count(std::uint64_t n) {
  if (n > max_vertex_count) throw_too_many_vertices(std::to_string(n));
}

// A rank outside [0, count): the rank as the caller's array holds it, its
// index as the module names indices, and the count as `counted` names it.
inline std::string rank_outside_text(const std::string& rank, bool negative, const std::string& index,
                                     const std::string& counted, const std::string& count) {
  const std::string where = "rank " + rank + " at index " + index;
  if (negative) return where + " is negative";
  return where + " is not below " + counted + " = " + count;
}

// The same for count = C(n, k).
inline std::string rank_outside_text(const std::string& rank, bool negative, const std::string& index,
                                     std::uint64_t n, std::uint64_t k, const std::string& count) {
  return rank_outside_text(rank, negative, index, "C(" + std::to_string(n) + ", " + std::to_string(k) + ")", count);
}

inline std::string rank_outside_text(const std::string& rank, bool negative, const std::string& index,
                                     std::uint64_t n, std::uint64_t k, std::uint64_t count) {
  return rank_outside_text(rank, negative, index, n, k, std::to_string(count));
}

// What is wrong with a row that holds vertex v, n or above, or holds v twice.
inline std::string vertex_not_below_text(const std::string& v, std::uint64_t n) {
  return "has vertex " + v + ", which is not below n = " + std::to_string(n);
}

inline std::string repeated_vertex_text(const std::string& v) { return "repeats vertex " + v; }

}  // namespace combinatorial
