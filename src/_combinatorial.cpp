// The Python module _combinatorial: argument conversion, checks of user
// input, table preparation and registration. The kernels it calls live in
// include/combinatorial and check nothing themselves, so every limit they rely
// on is checked here, before anything is written.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/complement.hpp"
#include "combinatorial/search.hpp"
#include "combinatorial/unrank_colex.hpp"
#include "combinatorial/unrank_lex.hpp"

namespace py = pybind11;
using combinatorial::BC;
using std::to_string;

// Input arrays are read as flat runs of elements, so they are taken
// C-contiguous: a strided view is copied for the call rather than misread.
using RankArray = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>;
using SignedRankArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using VertexArray = py::array_t<std::uint16_t, py::array::c_style | py::array::forcecast>;

namespace {

// Vertices are stored in 16 bits.
constexpr std::uint64_t max_vertex_count = 65536;

[[noreturn]] void throw_binomial_overflow(std::uint64_t n, std::uint64_t k) {
  throw std::overflow_error("C(" + to_string(n) + ", " + to_string(k) +
                            ") is 2^64 or more and does not fit 64 bits");
}

void check_vertex_count(std::uint64_t n) {
  if (n > max_vertex_count) {
    throw std::invalid_argument("n = " + to_string(n) +
                                " is too large: vertices are 16-bit, so n must be at most 65536");
  }
}

// C(n, k), the number of k-combinations and so the bound of valid ranks.
std::uint64_t combination_count(std::uint64_t n, std::uint64_t k) {
  if (combinatorial::binom_overflows(n, k)) throw_binomial_overflow(n, k);
  return combinatorial::binom(n, k);
}

template <typename Rank>
[[noreturn]] void throw_bad_rank(Rank rank, std::size_t index, std::uint64_t n, std::uint64_t k,
                                 std::uint64_t count) {
  if (rank < 0) {
    throw std::invalid_argument("rank " + to_string(rank) + " at index " + to_string(index) +
                                " is negative");
  }
  throw std::invalid_argument("rank " + to_string(rank) + " at index " + to_string(index) +
                              " is not below C(" + to_string(n) + ", " + to_string(k) +
                              ") = " + to_string(count));
}

// Refuses the first rank outside [0, count). One branch-free pass over the
// ranks; the offender is looked for only once a bad rank is known to exist.
template <typename Rank>
void check_ranks(const Rank* ranks, std::size_t size, std::uint64_t n, std::uint64_t k,
                 std::uint64_t count) {
  const auto bad = [count](Rank r) {
    if constexpr (std::is_signed_v<Rank>) {
      return (r < 0) | (static_cast<std::uint64_t>(r) >= count);
    } else {
      return r >= count;
    }
  };
  bool any_bad = false;
  for (std::size_t i = 0; i < size; ++i) any_bad |= bad(ranks[i]);
  if (!any_bad) return;
  const std::size_t index = static_cast<std::size_t>(std::find_if(ranks, ranks + size, bad) - ranks);
  throw_bad_rank(ranks[index], index, n, k, count);
}

// out * per_item, or a ValueError when the product does not fit.
std::size_t needed_slots(std::size_t items, std::uint64_t per_item) {
  std::size_t slots = 0;
  if (__builtin_mul_overflow(items, per_item, &slots)) {
    throw std::invalid_argument("the output of " + to_string(items) + " combinations of " +
                                to_string(per_item) + " vertices does not fit in memory");
  }
  return slots;
}

void check_out_size(const VertexArray& out, std::size_t needed) {
  if (static_cast<std::size_t>(out.size()) < needed) {
    throw std::invalid_argument("out holds " + to_string(out.size()) + " elements, but " +
                                to_string(needed) + " vertices are to be written");
  }
}

// Makes BC cover (n, k) unless it already does.
void ensure_table(std::int64_t n, std::int64_t k) {
  if (!BC.covers(n, k)) BC.precompute(n, k);
}

// The table that the checked lookup is best served by for (n, k_max): as much
// of it as the cap allows. Results read through BC(m, j) never depend on it.
void rebuild_table_within_cap(std::int64_t n, std::int64_t k_max) {
  const std::int64_t rows_within_cap = combinatorial::max_table_cells / (n + 2) - 2;
  BC.precompute(n, std::min({k_max, n, rows_within_cap}));
}

// Unranks a k-subset with k > n - k through its (n - k)-subset complement, so
// that the table needs only n - k + 1 rows. `count` is C(n, k).
template <bool Colex, bool CheckedLookup>
std::uint16_t* unrank_by_complement(std::uint64_t rank, std::uint64_t count, std::int64_t n,
                                    std::int64_t k, std::uint16_t* out) {
  const std::uint64_t complement_rank = count - 1 - rank;
  const std::int64_t rest = n - k;  // < 33 whenever C(n, k) fits 64 bits
  std::uint16_t taken[64];
  if (rest > 0) {
    if constexpr (Colex) {
      combinatorial::unrank_colex<CheckedLookup, false, false, 0>(&complement_rank, &complement_rank + 1,
                                                                   n, rest, taken);
    } else {
      combinatorial::unrank_lex<CheckedLookup>(&complement_rank, &complement_rank + 1,
                                               static_cast<std::uint64_t>(n),
                                               static_cast<std::uint64_t>(rest), taken);
    }
  }
  return combinatorial::write_complement<Colex>(taken, static_cast<std::size_t>(rest), n, out);
}

}  // namespace

void unrank_combranks_array(const RankArray& ranks, std::uint64_t n, std::uint64_t k, bool colex,
                            VertexArray& out) {
  std::uint16_t* const dest = out.mutable_data();  // a read-only out fails here
  check_vertex_count(n);
  const std::uint64_t count = combination_count(n, k);
  const std::uint64_t* const first = ranks.data();
  const auto size = static_cast<std::size_t>(ranks.size());
  check_ranks(first, size, n, k, count);
  const std::uint64_t per_rank = colex ? std::max<std::uint64_t>(k, 1) : k;
  check_out_size(out, needed_slots(size, per_rank));
  if (size == 0) return;

  const auto nn = static_cast<std::int64_t>(n);
  const auto kk = static_cast<std::int64_t>(k);
  if (k >= 2 && k > n - k) {
    ensure_table(nn, nn - kk);
    std::uint16_t* at = dest;
    for (std::size_t i = 0; i < size; ++i) {
      at = colex ? unrank_by_complement<true, false>(first[i], count, nn, kk, at)
                 : unrank_by_complement<false, false>(first[i], count, nn, kk, at);
    }
    return;
  }
  ensure_table(nn, kk);
  if (colex) {
    combinatorial::unrank_colex<false, false, false, 0>(first, first + size, nn, kk, dest);
  } else {
    combinatorial::unrank_lex<false>(first, first + size, n, k, dest);
  }
}

void unrank_combranks_array_full_k(const RankArray& ranks, std::uint64_t n, const VertexArray& ks,
                                   std::uint64_t k_max, bool colex, VertexArray& out) {
  std::uint16_t* const dest = out.mutable_data();  // a read-only out fails here
  const auto size = static_cast<std::size_t>(ranks.shape(0));  // a 0-d array fails here
  check_vertex_count(n);
  if (static_cast<std::size_t>(ks.size()) < size) {
    throw std::invalid_argument("ks holds " + to_string(ks.size()) + " sizes, but there are " +
                                to_string(size) + " ranks");
  }
  const std::uint64_t* const rank = ranks.data();
  const std::uint16_t* const sizes = ks.data();

  // Every combination is checked before any is written. counts[k] caches
  // C(n, k) for the sizes met, since binom costs up to 64 steps.
  std::vector<std::uint64_t> counts;
  std::size_t total = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint16_t k = sizes[i];
    if (k >= counts.size()) counts.resize(k + 1u, combinatorial::binom_saturated);
    if (counts[k] == combinatorial::binom_saturated) counts[k] = combination_count(n, k);
    if (rank[i] >= counts[k]) throw_bad_rank(rank[i], i, n, k, counts[k]);
    total += k;  // at most 2^16 per rank: cannot overflow
  }
  check_out_size(out, total);

  const auto nn = static_cast<std::int64_t>(n);
  rebuild_table_within_cap(nn, static_cast<std::int64_t>(std::min<std::uint64_t>(k_max, n)));
  std::uint16_t* at = dest;
  for (std::size_t i = 0; i < size; ++i) {
    const std::int64_t k = sizes[i];
    const std::uint64_t* const r = rank + i;
    if (k >= 2 && k > nn - k) {
      // Colex complements come out largest first; reversed below like the rest.
      std::uint16_t* const end = colex ? unrank_by_complement<true, true>(*r, counts[k], nn, k, at)
                                       : unrank_by_complement<false, true>(*r, counts[k], nn, k, at);
      if (colex) std::reverse(at, end);
    } else if (colex && k >= 2) {
      combinatorial::unrank_colex<true, false, false, 0>(r, r + 1, nn, k, at);
      std::reverse(at, at + k);
    } else if (colex && k == 1) {
      *at = static_cast<std::uint16_t>(*r);
    } else if (!colex) {
      combinatorial::unrank_lex<true>(r, r + 1, n, static_cast<std::uint64_t>(k), at);
    }
    at += k;
  }
}

std::uint64_t comb4(std::uint16_t n, std::uint16_t k) {
  const auto value = static_cast<std::uint64_t>(BC(n, k));
  if (value == combinatorial::binom_saturated && combinatorial::binom_overflows(n, k)) {
    throw_binomial_overflow(n, k);
  }
  return value;
}

namespace {

template <bool UseGuess, bool Gallop, std::size_t Probes>
void run_colex_member(const std::int64_t* first, const std::int64_t* last, std::int64_t n,
                      std::int64_t k, std::uint16_t* out) {
  combinatorial::unrank_colex<false, UseGuess, Gallop, Probes>(first, last, n, k, out);
}

template <bool UseGuess, bool Gallop>
void run_colex_member(std::uint64_t probes, const std::int64_t* first, const std::int64_t* last,
                      std::int64_t n, std::int64_t k, std::uint16_t* out) {
  switch (std::min<std::uint64_t>(probes, 3)) {
    case 0: return run_colex_member<UseGuess, Gallop, 0>(first, last, n, k, out);
    case 1: return run_colex_member<UseGuess, Gallop, 1>(first, last, n, k, out);
    case 2: return run_colex_member<UseGuess, Gallop, 2>(first, last, n, k, out);
    default: return run_colex_member<UseGuess, Gallop, 3>(first, last, n, k, out);
  }
}

}  // namespace

void unrank_colex_bench(const SignedRankArray& ranks, std::uint64_t n, std::uint64_t k,
                        bool use_guess, bool gallop, std::uint64_t probes, VertexArray& out) {
  if (n > 65535) throw std::invalid_argument("n is too large; overflow detected!");
  std::uint16_t* const dest = out.mutable_data();  // a read-only out fails here
  const std::uint64_t count = combination_count(n, k);
  const std::int64_t* const first = ranks.data();
  const auto size = static_cast<std::size_t>(ranks.size());
  check_ranks(first, size, n, k, count);
  check_out_size(out, needed_slots(size, std::max<std::uint64_t>(k, 1)));

  const auto nn = static_cast<std::int64_t>(n);
  const auto kk = static_cast<std::int64_t>(k);
  BC.precompute(nn, kk);
  const std::int64_t* const last = first + size;
  if (use_guess) {
    gallop ? run_colex_member<true, true>(probes, first, last, nn, kk, dest)
           : run_colex_member<true, false>(probes, first, last, nn, kk, dest);
  } else {
    gallop ? run_colex_member<false, true>(probes, first, last, nn, kk, dest)
           : run_colex_member<false, false>(probes, first, last, nn, kk, dest);
  }
}

PYBIND11_MODULE(_combinatorial, m) {
  m.doc() = "Combinatorial module";

  // Output arrays are never converted: a copy would receive the results and
  // be thrown away. Anything but a C-contiguous uint16 ndarray is a TypeError.
  const auto in = py::arg();
  const auto out = py::arg().noconvert();
  m.def("unrank_combs", &unrank_combranks_array, in, in, in, in, out);
  m.def("unrank_combs_k", &unrank_combranks_array_full_k, in, in, in, in, in, out);
  m.def("comb", &comb4);
  m.def("unrank_colex_bench", &unrank_colex_bench, in, in, in, in, in, in, out);

  // The scalar searches validate nothing: every int64 argument has a defined
  // result, and lookups outside the table go through the saturating binom.
  m.def("get_max_vertex", [](std::int64_t r, std::int64_t k, std::int64_t n, bool guess,
                             std::uint64_t /*extra*/) {
    return guess ? combinatorial::get_max_vertex<true, true, false, 0>(r, k, n)
                 : combinatorial::get_max_vertex<true, false, false, 0>(r, k, n);
  });
  m.def("find_k", [](std::int64_t r, std::int64_t k) { return combinatorial::find_k(r, k); });
  m.def("get_max", [](std::int64_t r, std::int64_t k, std::int64_t n) {
    return combinatorial::get_max<false>(n, combinatorial::wrapping_add(k, -1),
                                         combinatorial::CoefficientAtMost<true>{r, k});
  });
}
