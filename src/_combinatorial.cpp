// The Python module _combinatorial: argument conversion, checks of user
// input, table preparation and registration. The kernels it calls live in
// include/combinatorial and check nothing themselves, so every limit they rely
// on is checked here, before anything is written.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/lookup.hpp"
#include "combinatorial/messages.hpp"
#include "combinatorial/rank.hpp"
#include "combinatorial/search.hpp"
#include "combinatorial/types.hpp"
#include "combinatorial/unrank.hpp"

namespace py = pybind11;
using combinatorial::BC;
using combinatorial::Rank;
using combinatorial::Vertex;
using std::to_string;

// The module's arrays are uint64 ranks and uint16 vertices, and the kernels
// read and write them in place: a wider Rank or Vertex needs conversions
// here, not other dtypes.
static_assert(std::is_same_v<Rank, std::uint64_t>, "the module's ranks are uint64");
static_assert(std::is_same_v<Vertex, std::uint16_t>, "the module's vertices are uint16");

// Input arrays are read as flat runs of elements, so they are taken
// C-contiguous: a strided view is copied for the call rather than misread.
using RankArray = py::array_t<Rank, py::array::c_style | py::array::forcecast>;
using SignedRankArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using VertexArray = py::array_t<Vertex, py::array::c_style | py::array::forcecast>;
// The sizes of unrank_combs_k: uint16, whatever a vertex is.
using SizeArray = py::array_t<std::uint16_t, py::array::c_style | py::array::forcecast>;
// comb reads its arrays element by element through their strides, in place.
using CoefficientArray = py::array_t<std::uint64_t, py::array::forcecast>;
using SignedResult = py::array_t<std::int64_t, py::array::forcecast>;
using UnsignedResult = py::array_t<std::uint64_t, py::array::forcecast>;

// An array argument of comb's table form. The cast of an int64 array, NumPy's
// default integer, to uint64 keeps every bit, so such an array is viewed as
// uint64 in place: copying both inputs cost more than the lookup itself.
struct TableFormArray {
  CoefficientArray array;
};

namespace pybind11::detail {

template <>
struct type_caster<TableFormArray> {
  // Named as the cast array is, so that signatures and overload order stay.
  PYBIND11_TYPE_CASTER(TableFormArray, handle_type_name<CoefficientArray>::name);

  bool load(handle src, bool convert) {
    // Only where the cast would run, so that the pass without conversions
    // still takes nothing but uint64 arrays.
    if (convert && array_t<std::int64_t>::check_(src)) {
      const auto& api = npy_api::get();
      // A plain ndarray view, as the cast gives for subclasses too.
      const auto view = reinterpret_steal<object>(
          api.PyArray_View_(src.ptr(), dtype::of<std::uint64_t>().release().ptr(),
                            reinterpret_cast<PyObject*>(api.PyArray_Type_)));
      if (view) {
        value.array = CoefficientArray::ensure(view);
        if (value.array) return true;
      }
      PyErr_Clear();  // the cast below settles it
    }
    make_caster<CoefficientArray> cast;
    if (!cast.load(src, convert)) return false;
    value.array = cast_op<CoefficientArray&&>(std::move(cast));
    return true;
  }
};

}  // namespace pybind11::detail

namespace {

using combinatorial::check_vertex_count;
using combinatorial::combination_count;
using combinatorial::throw_binomial_overflow;

// C(m, j) for any unsigned m, through the table where it covers (m, j).
std::uint64_t coefficient(std::uint64_t m, std::uint64_t j) {
  if (m > static_cast<std::uint64_t>(INT64_MAX)) return combinatorial::binom(m, j);
  return static_cast<std::uint64_t>(BC(static_cast<std::int64_t>(m), static_cast<std::int64_t>(j)));
}

// Checks a coefficient found by any route: the saturated value means C(n, k)
// does not fit, except where it is exact (k or n - k at most 1).
std::uint64_t exact_or_throw(std::uint64_t value, std::uint64_t n, std::uint64_t k) {
  if (value == combinatorial::binom_saturated && combinatorial::binom_overflows(n, k)) {
    throw_binomial_overflow(n, k);
  }
  return value;
}

// A rank as the caller's array holds it, int64 or uint64.
template <typename Stored>
[[noreturn]] void throw_bad_rank(Stored rank, std::size_t index, std::uint64_t n, std::uint64_t k,
                                 std::uint64_t count) {
  throw std::invalid_argument(
      combinatorial::rank_outside_text(to_string(rank), rank < 0, to_string(index), n, k, count));
}

// Refuses the first rank outside [0, count).
template <typename Stored>
void check_ranks(const Stored* ranks, std::size_t size, std::uint64_t n, std::uint64_t k,
                 std::uint64_t count) {
  const std::size_t bad = combinatorial::first_rank_outside(ranks, 0, size, count);
  if (bad != size) throw_bad_rank(ranks[bad], bad, n, k, count);
}

// items * per_item, or a ValueError when the product does not fit.
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

// The writable buffer of out. A read-only out fails here with ValueError
// "array is not writeable"; a misaligned one is refused as well, since the
// kernels store whole uint16 values.
Vertex* writable_vertices(VertexArray& out) {
  Vertex* const dest = out.mutable_data();
  if (!(out.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) {
    throw std::invalid_argument("out is not aligned for uint16 elements");
  }
  return dest;
}

// The array itself when its elements are aligned, otherwise an aligned copy
// for the call: the kernels read whole elements.
template <typename Array>
Array aligned(const Array& array) {
  if (array.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) return array;
  Array copy = Array::ensure(array.attr("copy")());
  if (!copy) throw py::error_already_set();  // a null handle, with the error (MemoryError) set
  return copy;
}

// Makes BC cover (n, k) unless it already does.
void ensure_table(std::int64_t n, std::int64_t k) {
  if (!BC.covers(n, k)) BC.precompute(n, k);
}

// Refuses an out array that overlaps an input: the kernels read each rank
// while writing earlier results, so overlapping memory would feed them
// values that were never checked.
void check_no_overlap(const VertexArray& out, const py::array& input, const char* name) {
  const auto out_begin = reinterpret_cast<std::uintptr_t>(out.data());
  const auto in_begin = reinterpret_cast<std::uintptr_t>(input.data());
  const auto out_bytes = static_cast<std::uintptr_t>(out.nbytes());
  const auto in_bytes = static_cast<std::uintptr_t>(input.nbytes());
  if (out_bytes && in_bytes && out_begin < in_begin + in_bytes && in_begin < out_begin + out_bytes) {
    throw std::invalid_argument(std::string("out shares memory with ") + name +
                                ", which would be overwritten while it is read");
  }
}

}  // namespace

void unrank_combranks_array(const RankArray& ranks_arg, std::uint64_t n, std::uint64_t k, bool colex,
                            VertexArray& out) {
  const RankArray ranks = aligned(ranks_arg);
  Vertex* const dest = writable_vertices(out);
  check_vertex_count(n);
  const std::uint64_t count = combination_count(n, k);
  check_no_overlap(out, ranks_arg, "ranks");
  const Rank* const first = ranks.data();
  const auto size = static_cast<std::size_t>(ranks.size());
  check_ranks(first, size, n, k, count);
  const std::uint64_t per_rank = colex ? std::max<std::uint64_t>(k, 1) : k;
  check_out_size(out, needed_slots(size, per_rank));
  if (size == 0) return;

  const auto nn = static_cast<std::int64_t>(n);
  const auto kk = static_cast<std::int64_t>(k);
  if (colex && k == 0) {
    std::fill(dest, dest + size, Vertex{0});  // one 0 per rank, the rank itself
    return;
  }
  ensure_table(nn, combinatorial::unrank_table_k(nn, kk));
  // The bucket index is kept for later calls, and serves any smaller k.
  static combinatorial::ColexBucketIndex index;
  const combinatorial::ColexBucketIndex* use_index = nullptr;
  if (k >= 3 && !combinatorial::unranks_complement(nn, kk)) {
    const bool indexed = index.n == nn && index.k >= kk;
    if (indexed || combinatorial::unrank_wants_index(nn, kk, size)) {
      if (!indexed) index.build(BC.view(), nn, kk);
      use_index = &index;
    }
  }
  using combinatorial::Order, combinatorial::RowLayout;
  colex ? combinatorial::unrank_batch<Order::colex, RowLayout::largest_first>(BC.view(), use_index, first, size,
                                                                              nn, kk, dest)
        : combinatorial::unrank_batch<Order::lex, RowLayout::smallest_first>(BC.view(), use_index, first, size,
                                                                             nn, kk, dest);
}

void unrank_combranks_array_full_k(const RankArray& ranks_arg, std::uint64_t n, const SizeArray& ks_arg,
                                   std::uint64_t k_max, bool colex, VertexArray& out) {
  const RankArray ranks = aligned(ranks_arg);
  const SizeArray ks = aligned(ks_arg);
  Vertex* const dest = writable_vertices(out);
  const auto size = static_cast<std::size_t>(ranks.shape(0));  // a 0-d array fails here
  if (static_cast<std::size_t>(ranks.size()) < size) {
    throw std::invalid_argument("ranks holds " + to_string(ranks.size()) +
                                " elements, fewer than the " + to_string(size) +
                                " of its first axis");
  }
  check_vertex_count(n);
  if (static_cast<std::size_t>(ks.size()) < size) {
    throw std::invalid_argument("ks holds " + to_string(ks.size()) + " sizes, but there are " +
                                to_string(size) + " ranks");
  }
  check_no_overlap(out, ranks_arg, "ranks");
  check_no_overlap(out, ks_arg, "ks");
  const Rank* const rank = ranks.data();
  const std::uint16_t* const sizes = ks.data();

  // Every combination is checked before any is written. counts[k] caches
  // C(n, k) for the sizes met, since binom costs up to 64 steps.
  std::vector<std::uint64_t> counts;
  std::size_t total = 0;
  std::uint64_t rows_read = 0;  // the most table rows one combination reads
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint16_t k = sizes[i];
    if (k >= counts.size()) counts.resize(k + 1u, combinatorial::binom_saturated);
    if (counts[k] == combinatorial::binom_saturated) counts[k] = combination_count(n, k);
    if (rank[i] >= counts[k]) throw_bad_rank(rank[i], i, n, k, counts[k]);
    rows_read = std::max<std::uint64_t>(rows_read, std::min<std::uint64_t>(k, n - k));
    total += k;  // at most 2^16 per rank: cannot overflow
  }
  check_out_size(out, total);

  // The checked lookup gives the same values with any table; rows beyond
  // those read (at most 33, since complements keep k <= n - k) only cost.
  const auto nn = static_cast<std::int64_t>(n);
  BC.precompute(nn, static_cast<std::int64_t>(std::min(k_max, rows_read)));
  using combinatorial::Lookup, combinatorial::Order, combinatorial::RowLayout;
  const combinatorial::TableView table = BC.view();
  Vertex* at = dest;
  for (std::size_t i = 0; i < size; ++i) {
    const std::int64_t k = sizes[i];
    at = colex ? combinatorial::unrank_one<Order::colex, RowLayout::smallest_first, Lookup::checked>(table, rank[i],
                                                                                                   nn, k, at)
               : combinatorial::unrank_one<Order::lex, RowLayout::smallest_first, Lookup::checked>(table, rank[i],
                                                                                                 nn, k, at);
  }
}

namespace {

std::string format_vertices(const Vertex* first, std::size_t count) {
  std::string text = "[";
  for (std::size_t j = 0; j < count; ++j) text += (j ? ", " : "") + to_string(first[j]);
  return text + "]";
}

// Why a row is not k distinct vertices below n in the order the mode expects;
// empty when it is.
std::string row_problem(const Vertex* g, std::size_t k, std::uint64_t n, bool colex) {
  for (std::size_t j = 0; j < k; ++j) {
    if (g[j] >= n) return combinatorial::vertex_not_below_text(to_string(g[j]), n);
  }
  for (std::size_t j = 1; j < k; ++j) {
    if (colex && g[j] >= g[j - 1]) {
      return "is not strictly decreasing, as colex rows must be (largest vertex first)";
    }
    if (!colex && k == 2 && g[0] == g[1]) return combinatorial::repeated_vertex_text(to_string(g[0]));
    if (!colex && k != 2 && g[j] <= g[j - 1]) {
      return "is not strictly increasing, as lex rows must be (smallest vertex first)";
    }
  }
  return {};
}

// Raises the ValueError for the first malformed row among rows
// [from, from + count), which hold one.
[[noreturn]] void throw_first_malformed_row(const Vertex* first, std::size_t from,
                                            std::size_t count, std::size_t k, std::uint64_t n,
                                            bool colex) {
  for (std::size_t i = from; i < from + count; ++i) {
    const std::string problem = row_problem(first + i * k, k, n, colex);
    if (!problem.empty()) {
      throw std::invalid_argument("row " + to_string(i) + " of combs, " +
                                  format_vertices(first + i * k, k) + ", " + problem);
    }
  }
  throw std::logic_error("rank_combs_sorted: a malformed row was detected but not found");
}

// Whether rows [from, from + count) are well formed: colex rows strictly
// decreasing, lex rows strictly increasing, lex pairs in either order.
bool rows_well_formed(const Vertex* first, std::size_t from, std::size_t count, std::size_t k,
                      std::uint64_t limit, bool colex) {
  using combinatorial::RowCheck;
  const Vertex* const block = first + from * k;
  return colex ? combinatorial::rows_well_formed<RowCheck::decreasing>(block, count * k, k, limit)
               : combinatorial::rows_well_formed<RowCheck::increasing_or_any_pair>(block, count * k, k, limit);
}

// Ranks every row with coefficients from coef. Each block of rows is checked
// just before it is ranked, while it is in cache, unless the caller checked
// them all already. A malformed row fails the whole call: no partial result
// is returned.
template <typename Coefficients>
void rank_checked_rows(const Vertex* first, std::size_t rows, std::size_t k, std::uint64_t n,
                       bool colex, bool checked, std::int64_t* out, Coefficients coef) {
  using combinatorial::Order, combinatorial::RowLayout;
  const std::uint64_t limit = std::min<std::uint64_t>(n, combinatorial::max_vertex_count);
  constexpr std::size_t block_rows = 2048;
  for (std::size_t done = 0; done < rows; done += block_rows) {
    const std::size_t count = std::min(block_rows, rows - done);
    if (!checked && !rows_well_formed(first, done, count, k, limit, colex)) {
      throw_first_malformed_row(first, done, count, k, n, colex);
    }
    const Vertex* const block = first + done * k;
    colex ? combinatorial::rank_rows_for_k<Order::colex, RowLayout::largest_first>(block, count, k, n, out + done, coef)
          : combinatorial::rank_rows_for_k<Order::lex, RowLayout::smallest_first>(block, count, k, n, out + done, coef);
  }
}

// The lex window last built, kept for later calls.
struct LexWindow {
  std::uint64_t base = 0;
  std::size_t k = 0;
  std::vector<combinatorial::Cell> cells;
};

}  // namespace

SignedResult rank_combs_sorted(VertexArray combs_arg, std::uint64_t n, bool colex) {
  const VertexArray combs = aligned(combs_arg);
  const auto k = static_cast<std::size_t>(combs.shape(1));  // fewer than two axes fail here
  if (n > static_cast<std::uint64_t>(INT64_MAX)) {
    throw std::invalid_argument("n = " + to_string(n) + " is too large: it must be below 2^63");
  }
  // One rank per group of k elements: the product of every axis but the second.
  auto rows = static_cast<std::size_t>(combs.shape(0));
  for (py::ssize_t axis = 2; axis < combs.ndim(); ++axis) rows *= static_cast<std::size_t>(combs.shape(axis));
  const std::uint64_t count = combination_count(n, k);
  if (count > (std::uint64_t{1} << 63)) {
    throw std::overflow_error("C(" + to_string(n) + ", " + to_string(k) + ") = " + to_string(count) +
                              " is more than 2^63: its ranks do not fit int64");
  }

  const Vertex* const first = combs.data();
  SignedResult result(static_cast<py::ssize_t>(rows));
  std::int64_t* const out = result.mutable_data();
  if (rows == 0 || k == 0) {
    std::fill(out, out + rows, 0);
    return result;
  }
  using combinatorial::RankSource;
  const combinatorial::Order order = colex ? combinatorial::Order::colex : combinatorial::Order::lex;
  const auto [source, table_n] = combinatorial::with_order(order, [&](auto o) {
    return std::pair{combinatorial::rank_source<o.value>(n, k), combinatorial::rank_table_n<o.value>(n)};
  });
  const auto kk = static_cast<std::int64_t>(k);
  const std::uint64_t window_base = n - (combinatorial::lex_window_width - 1);
  static LexWindow window;
  const bool ready = source == RankSource::window ? !window.cells.empty() && window.base == window_base && window.k >= k
                     : source == RankSource::table ? BC.covers(table_n, kk)
                                                   : true;
  // Every row is checked before any table is built.
  const bool checked = !ready;
  if (checked && !rows_well_formed(first, 0, rows, k, std::min<std::uint64_t>(n, combinatorial::max_vertex_count), colex)) {
    throw_first_malformed_row(first, 0, rows, k, n, colex);
  }
  if (source == RankSource::window) {
    if (!ready) {
      std::vector<combinatorial::Cell>().swap(window.cells);  // freed before the new window is filled
      window.cells = combinatorial::coefficient_window(window_base, combinatorial::lex_window_width, k);
      window.base = window_base;
      window.k = k;
    }
    rank_checked_rows(first, rows, k, n, colex, checked, out,
                      combinatorial::TableCoefficients{window.cells.data(), combinatorial::lex_window_width,
                                                       window.base});
  } else if (source == RankSource::table) {
    if (!ready) BC.precompute(table_n, kk);
    rank_checked_rows(first, rows, k, n, colex, checked, out, combinatorial::TableCoefficients::of(BC.view()));
  } else {
    rank_checked_rows(first, rows, k, n, colex, checked, out, combinatorial::CheckedCoefficients{BC.view()});
  }
  return result;
}

UnsignedResult rank_combs_unsorted(py::list combs, std::uint64_t n, bool colex) {
  // A snapshot of the items, so that conversions running Python code cannot
  // resize the list under the loop.
  const auto items = py::reinterpret_steal<py::tuple>(PyList_AsTuple(combs.ptr()));
  if (!items) throw py::error_already_set();
  UnsignedResult result(static_cast<py::ssize_t>(items.size()));
  Rank* const out = result.mutable_data();
  std::size_t i = 0;
  for (const py::handle item : items) {
    auto v = py::cast<std::vector<Vertex>>(item);
    const std::size_t k = v.size();
    if (colex) {
      std::sort(v.begin(), v.end(), std::greater<>());
    } else {
      std::sort(v.begin(), v.end());
    }
    const auto repeat = std::adjacent_find(v.begin(), v.end());
    const Vertex largest = k == 0 ? 0 : colex ? v.front() : v.back();
    if (repeat != v.end() || (k > 0 && largest >= n)) {
      throw std::invalid_argument(
          "item " + to_string(i) + " of combs, " + format_vertices(v.data(), k) +
          ", " +
          (repeat != v.end() ? combinatorial::repeated_vertex_text(to_string(*repeat))
                             : combinatorial::vertex_not_below_text(to_string(largest), n)));
    }
    const std::uint64_t count = combination_count(n, k);
    Rank sum = 0;
    for (std::size_t j = 0; j < k; ++j) {
      sum += colex ? coefficient(v[j], k - j) : coefficient(n - 1 - v[j], k - j);
    }
    out[i++] = colex ? sum : count - 1 - sum;
  }
  return result;
}

namespace {

// Coefficients for `count` elements into a new array; element(i) gives (n, k).
template <typename Element>
UnsignedResult coefficients(std::size_t count, Element element) {
  UnsignedResult result(static_cast<py::ssize_t>(count));
  std::uint64_t* const out = result.mutable_data();
  for (std::size_t i = 0; i < count; ++i) {
    const auto [n, k] = element(static_cast<py::ssize_t>(i));
    out[i] = exact_or_throw(coefficient(n, k), n, k);
  }
  return result;
}

void check_same_size(const CoefficientArray& N, const CoefficientArray& K) {
  if (N.size() != K.size()) throw std::invalid_argument("N adn K must match.");
}

}  // namespace

UnsignedResult comb1(const CoefficientArray& N_arg, const CoefficientArray& K_arg) {
  const CoefficientArray N = aligned(N_arg);
  const CoefficientArray K = aligned(K_arg);
  check_same_size(N, K);
  const auto n = N.unchecked<1>();
  const auto k = K.unchecked<1>();
  return coefficients(static_cast<std::size_t>(N.size()),
                      [&](py::ssize_t i) { return std::pair{n(i), k(i)}; });
}

UnsignedResult comb2(const CoefficientArray& N_arg, std::uint16_t k) {
  const CoefficientArray N = aligned(N_arg);
  const auto n = N.unchecked<1>();
  return coefficients(static_cast<std::size_t>(N.size()),
                      [&](py::ssize_t i) { return std::pair<std::uint64_t, std::uint64_t>{n(i), k}; });
}

UnsignedResult comb3(std::uint16_t n, const CoefficientArray& K_arg) {
  const CoefficientArray K = aligned(K_arg);
  const auto k = K.unchecked<1>();
  return coefficients(static_cast<std::size_t>(K.size()),
                      [&](py::ssize_t i) { return std::pair<std::uint64_t, std::uint64_t>{n, k(i)}; });
}

std::uint64_t comb4(std::uint16_t n, std::uint16_t k) { return exact_or_throw(coefficient(n, k), n, k); }

UnsignedResult comb5(const TableFormArray& N_arg, const TableFormArray& K_arg, std::uint64_t n_max,
                     std::uint64_t k_max) {
  const CoefficientArray N = aligned(N_arg.array);
  const CoefficientArray K = aligned(K_arg.array);
  check_same_size(N, K);
  if (n_max > static_cast<std::uint64_t>(INT64_MAX) || k_max > static_cast<std::uint64_t>(INT64_MAX)) {
    throw std::invalid_argument("table bounds n_max = " + to_string(n_max) + ", k_max = " +
                                to_string(k_max) + " must be below 2^63");
  }
  const auto n = N.unchecked<1>();  // arrays of other dimensions fail here, before any table is built
  const auto k = K.unchecked<1>();
  // Rows above n_max hold only zeros: elements there take the checked lookup,
  // which gives the same 0, instead of rows that cost memory for nothing.
  k_max = std::min(k_max, n_max);
  const auto table_n = static_cast<std::int64_t>(n_max), table_k = static_cast<std::int64_t>(k_max);
  // Bounds whose table would exceed the limit get no table: every element
  // then takes the checked lookup, with the same results.
  const bool tabled = BC.cells_needed(table_n, table_k) >= 0;
  if (tabled) ensure_table(table_n, table_k);
  const auto count = static_cast<std::size_t>(N.size());
  UnsignedResult result(static_cast<py::ssize_t>(count));
  std::uint64_t* const out = result.mutable_data();
  const combinatorial::CoefficientCells table{BC.row(0), static_cast<std::size_t>(BC.max_n + 2),
                                              n_max, k_max};
  const auto contiguous = [](const CoefficientArray& a) {
    return a.size() < 2 || a.strides(0) == static_cast<py::ssize_t>(sizeof(std::uint64_t));
  };
  if (tabled && contiguous(N) && contiguous(K) &&
      combinatorial::lookup_coefficients(N.data(), K.data(), count, table, out)) {
    return result;
  }
  // Strided inputs, elements outside the table or saturated, and every
  // element when there is no table: one by one, with the checked lookup and
  // the overflow check.
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t ni = n(static_cast<py::ssize_t>(i)), ki = k(static_cast<py::ssize_t>(i));
    const std::uint64_t value = tabled && (ni <= n_max) && (ki <= k_max)
                                    ? static_cast<std::uint64_t>(table.cells[ki * table.stride + ni])
                                    : coefficient(ni, ki);
    out[i] = value == combinatorial::binom_saturated ? exact_or_throw(value, ni, ki) : value;
  }
  return result;
}

namespace {

// Members over ranks as stored: int64 for the caller's array, Rank for a
// complement's.
template <typename Stored>
using ColexMember = void (*)(const Stored*, const Stored*, std::int64_t, std::int64_t, Vertex*);

template <typename Stored, bool UseGuess, bool Gallop, std::size_t Probes>
void colex_member(const Stored* first, const Stored* last, std::int64_t n, std::int64_t k, Vertex* out) {
  combinatorial::unrank_colex<false, UseGuess, Gallop, Probes>(first, last, n, k, out);
}

template <typename Stored, bool UseGuess, bool Gallop>
constexpr std::array<ColexMember<Stored>, 4> colex_members_by_probes = {
    &colex_member<Stored, UseGuess, Gallop, 0>, &colex_member<Stored, UseGuess, Gallop, 1>,
    &colex_member<Stored, UseGuess, Gallop, 2>, &colex_member<Stored, UseGuess, Gallop, 3>};

// The member that the three selection arguments pick; probes of 3 or more select 3.
template <typename Stored>
ColexMember<Stored> select_colex_member(bool use_guess, bool gallop, std::uint64_t probes) {
  const auto& members = use_guess ? (gallop ? colex_members_by_probes<Stored, true, true>
                                            : colex_members_by_probes<Stored, true, false>)
                                  : (gallop ? colex_members_by_probes<Stored, false, true>
                                            : colex_members_by_probes<Stored, false, false>);
  return members[std::min<std::uint64_t>(probes, 3)];
}

}  // namespace

void unrank_colex_bench(const SignedRankArray& ranks_arg, std::uint64_t n, std::uint64_t k,
                        bool use_guess, bool gallop, std::uint64_t probes, VertexArray& out) {
  const SignedRankArray ranks = aligned(ranks_arg);
  // The bound of the guessed searches (find_k), checked for every member: not
  // the vertex bound.
  if (n > 65535) throw std::invalid_argument("n is too large; overflow detected!");
  Vertex* const dest = writable_vertices(out);
  const std::uint64_t count = combination_count(n, k);
  check_no_overlap(out, ranks_arg, "ranks");
  const std::int64_t* const first = ranks.data();
  const auto size = static_cast<std::size_t>(ranks.size());
  check_ranks(first, size, n, k, count);
  check_out_size(out, needed_slots(size, std::max<std::uint64_t>(k, 1)));
  if (size == 0) return;  // also covers k > n, where no rank is valid

  const auto nn = static_cast<std::int64_t>(n);
  const auto kk = static_cast<std::int64_t>(k);
  if (k >= 2 && k > n - k) {
    // The member unranks the complements, whose table is small.
    ensure_table(nn, nn - kk);
    const ColexMember<Rank> member = select_colex_member<Rank>(use_guess, gallop, probes);
    Vertex* at = dest;
    for (std::size_t i = 0; i < size; ++i) {
      at = combinatorial::unrank_by_complement<combinatorial::RowLayout::largest_first>(
          static_cast<Rank>(first[i]), count, nn, kk, at,
          [&](Rank r, std::int64_t rest, Vertex* taken) {
            member(&r, &r + 1, nn, rest, taken);  // largest first
            std::reverse(taken, taken + rest);
          });
    }
    return;
  }
  ensure_table(nn, kk);
  select_colex_member<std::int64_t>(use_guess, gallop, probes)(first, first + size, nn, kk, dest);
}

PYBIND11_MODULE(_combinatorial, m) {
  m.doc() = "Combinatorial module";

  // Output arrays are never converted: a copy would receive the results and
  // be thrown away. Anything but a C-contiguous uint16 ndarray is a TypeError.
  const auto in = py::arg();
  const auto out = py::arg().noconvert();
  m.def("rank_combs_sorted", &rank_combs_sorted);
  m.def("rank_combs_unsorted", &rank_combs_unsorted);
  m.def("unrank_combs", &unrank_combranks_array, in, in, in, in, out);
  m.def("unrank_combs_k", &unrank_combranks_array_full_k, in, in, in, in, in, out);
  // Overload order decides which form a call reaches, first without and then
  // with conversion of the arguments.
  m.def("comb", &comb1);
  m.def("comb", &comb2);
  m.def("comb", &comb3);
  m.def("comb", &comb4);
  m.def("comb", &comb5);
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
                                         combinatorial::CoefficientAtMost<true>{r, k, BC.view()});
  });
}
