// Binomial coefficients: the exact-or-saturating binom(n, k) and the cached
// table BC that the ranking and unranking kernels read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "combinatorial/types.hpp"

namespace combinatorial {

// The value binom() returns when C(n, k) is 2^64 or more.
inline constexpr std::uint64_t binom_saturated = std::numeric_limits<std::uint64_t>::max();

// a + b, or the largest T when the sum does not fit T (binom_saturated for
// 64 bits).
template <typename T>
constexpr T saturating_add(T a, T b) noexcept {
  T sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? ~T{0} : sum;
}

// C(n, k), exact whenever it is below 2^64, otherwise binom_saturated.
// Does not allocate; at most about 64 steps whatever n and k are.
//
// With m = min(k, n - k) the loop keeps v = C(n - m + j, j) for j = 1..m, and
// C(n - m + j, j) = C(n - m + j - 1, j - 1) * (n - m + j) / j exactly. The
// product of two values below 2^64 fits 128 bits, so every step is exact.
// The sequence never decreases (n - m >= j makes the factor at least 1), so
// the first value of 2^64 or more proves the result is as large, and the loop
// stops there. Each step below saturation at least doubles v when j <= n - m,
// which bounds the steps by 64.
//
// 2^64 - 1 is not C(n, m) for any 2 <= m <= n - 2 (an exhaustive search over
// m = 2..67, the only m with C(2m, m) < 2^64 · m), so binom_saturated is
// unambiguous there; for m <= 1 the value is 1 or n and always exact.
constexpr std::uint64_t binom(std::uint64_t n, std::uint64_t k) noexcept {
  if (k > n) return 0;
  const std::uint64_t m = std::min(k, n - k);
  if (m == 0) return 1;
  std::uint64_t v = n - m + 1;
  for (std::uint64_t j = 2; j <= m; ++j) {
    const unsigned __int128 product = static_cast<unsigned __int128>(v) * (n - m + j);
    const std::uint64_t high = static_cast<std::uint64_t>(product >> 64);
    if (high == 0) {
      v = static_cast<std::uint64_t>(product) / j;  // the common, cheap case
    } else {
      const unsigned __int128 quotient = product / j;
      if (quotient >> 64) return binom_saturated;
      v = static_cast<std::uint64_t>(quotient);
    }
  }
  return v;
}

// True when C(n, k) is 2^64 or more, so that binom(n, k) is not its value.
constexpr bool binom_overflows(std::uint64_t n, std::uint64_t k) noexcept {
  if (k > n) return false;
  const std::uint64_t m = std::min(k, n - k);
  return m >= 2 && binom(n, m) == binom_saturated;
}

// C(n, k) below 2^128 exactly, with `overflow` set (and 2^128 - 1 returned)
// when it is 2^128 or more. Does not allocate; at most about 128 steps.
//
// The same recurrence as binom(), v <- v * f / j with f = n - m + j, but
// v * f may exceed 128 bits where the quotient does not. With v = q j + r,
// v f / j = q f + r f / j, and r f / j is an integer since the other two
// are; r f < j f < 2^96, and q f overflowing proves the result does.
constexpr WideRank binom_wide(std::uint64_t n, std::uint64_t k, bool& overflow) noexcept {
  overflow = false;
  if (k > n) return 0;
  const std::uint64_t m = std::min(k, n - k);
  if (m == 0) return 1;
  WideRank v = n - m + 1;
  for (std::uint64_t j = 2; j <= m; ++j) {
    const std::uint64_t f = n - m + j;
    WideRank scaled = 0;
    if (__builtin_mul_overflow(v / j, static_cast<WideRank>(f), &scaled) ||
        __builtin_add_overflow(scaled, v % j * f / j, &v)) {
      overflow = true;
      return ~WideRank{0};
    }
  }
  return v;
}

// C(n, k) below 2^128, saturated at 2^128 - 1 above: a coefficient that
// compares above every rank. Does not allocate.
constexpr WideRank binom_wide(std::uint64_t n, std::uint64_t k) noexcept {
  bool overflow = false;
  return binom_wide(n, k, overflow);
}

// C(n, k) as a cell of type C holds it: binom()'s bits for Cell, binom_wide()
// for WideCell. Does not allocate.
template <typename C>
constexpr C binom_cell(std::uint64_t n, std::uint64_t k) noexcept {
  if constexpr (std::is_same_v<C, WideCell>) {
    return binom_wide(n, k);
  } else {
    static_assert(std::is_same_v<C, Cell>, "tables hold Cell or WideCell");
    return static_cast<Cell>(binom(n, k));
  }
}

// Largest binomial table that precompute() builds: 32 MB of cells, so
// that a rebuild, which holds the old rows until the new ones are filled,
// peaks at 64 MB. It holds every n <= 65536 with k <= 33 (17.5 MiB), all
// that unranking needs once k > n / 2 goes through the complement.
inline constexpr std::int64_t max_table_bytes = 32'000'000;
template <typename C = Cell>
inline constexpr std::int64_t max_cells_of = max_table_bytes / static_cast<std::int64_t>(sizeof(C));
inline constexpr std::int64_t max_table_cells = max_cells_of<Cell>;

// Cells of type C a table for (n, k) needs, (n + 2) x (k + 2), or -1 when
// that exceeds the 32 MB bound or a bound is negative. Does not allocate.
template <typename C = Cell>
constexpr std::int64_t table_cells_needed(std::int64_t n, std::int64_t k) noexcept {
  constexpr std::int64_t most = max_cells_of<C>;
  if (n < 0 || k < 0 || n > most || k > most) return -1;
  const std::int64_t cells = (n + 2) * (k + 2);  // both factors <= most + 2
  return cells <= most ? cells : -1;
}

// The cells of a table covering exactly 0..n x 0..k: (k + 2) rows of n + 2
// cells, row j holding C(m, j) at m, with a spare row and a spare column of
// zeros so that loops may read one past their last index. Allocates.
// Precondition: table_cells_needed<C>(n, k) >= 0.
//
// Filled by Pascal's rule with saturating addition, O(n * k). A cell equals
// binom_cell() bit for bit: both are exact below 2^64 (2^128 for WideCell),
// and a true value beyond is the sum of two terms of which one saturated or
// whose sum overflows, so the cell saturates exactly when binom_cell() does.
template <typename C = Cell>
std::vector<C> table_cells(std::int64_t n, std::int64_t k) {
  using U = std::conditional_t<std::is_same_v<C, Cell>, std::uint64_t, C>;  // cells are read as unsigned
  std::vector<C> cells(static_cast<std::size_t>(table_cells_needed<C>(n, k)), 0);
  const std::size_t stride = static_cast<std::size_t>(n + 2);
  for (std::int64_t c = 0; c <= n; ++c) cells[static_cast<std::size_t>(c)] = 1;
  for (std::int64_t j = 1; j <= std::min(k, n); ++j) {
    const C* above = cells.data() + static_cast<std::size_t>(j - 1) * stride;
    C* cur = cells.data() + static_cast<std::size_t>(j) * stride;
    for (std::int64_t c = j; c <= n; ++c) {
      cur[c] = static_cast<C>(saturating_add(static_cast<U>(above[c - 1]), static_cast<U>(cur[c - 1])));
    }
  }
  return cells;
}

// A read-only view of a table of C(m, j) for 0 <= m <= max_n and 0 <= j <=
// max_k, row j starting at cells + j * stride, as table_cells() lays it out.
// The kernels take one as their explicit argument; whoever owns the cells
// keeps them alive and unchanged while a view is in use.
template <typename C>
struct BasicTableView {
  using cell_type = C;
  const C* cells = nullptr;
  std::size_t stride = 0;
  std::int64_t max_n = -1;
  std::int64_t max_k = -1;

  // True when row k holds column n; negative arguments are never covered.
  bool covers(std::int64_t n, std::int64_t k) const noexcept {
    return cells != nullptr && static_cast<std::uint64_t>(n) <= static_cast<std::uint64_t>(max_n) &&
           static_cast<std::uint64_t>(k) <= static_cast<std::uint64_t>(max_k);
  }

  // Row k, indexed by m. Precondition: covers(0, k).
  const C* row(std::int64_t k) const noexcept {
    return cells + static_cast<std::size_t>(k) * stride;
  }

  // C(n, k) as binom_cell() gives it, from the cells when covered; 0 when
  // k < 0 or k > n. Does not allocate.
  C operator()(std::int64_t n, std::int64_t k) const noexcept {
    if (covers(n, k)) return row(k)[n];
    if (k < 0 || k > n) return 0;
    return binom_cell<C>(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(k));
  }
};

using TableView = BasicTableView<Cell>;
using WideTableView = BasicTableView<WideCell>;

// An immutable table for (n, k), for sharing between threads: built whole,
// then only read. Allocates on construction.
// Precondition: table_cells_needed<C>(n, k) >= 0.
template <typename C>
class BasicCoefficientTable {
 public:
  BasicCoefficientTable(std::int64_t n, std::int64_t k)
      : cells_(table_cells<C>(n, k)), view_{cells_.data(), static_cast<std::size_t>(n + 2), n, k} {}
  BasicCoefficientTable(const BasicCoefficientTable&) = delete;
  BasicCoefficientTable& operator=(const BasicCoefficientTable&) = delete;
  const BasicTableView<C>& view() const noexcept { return view_; }

 private:
  std::vector<C> cells_;
  BasicTableView<C> view_;
};

using CoefficientTable = BasicCoefficientTable<Cell>;
using WideCoefficientTable = BasicCoefficientTable<WideCell>;

// A cache of C(n, k) for 0 <= n <= max_n, 0 <= k <= max_k, read by the hot
// loops, with binom() answering everything outside it. Cells hold the bits of
// binom() as Cell values; readers compare them as unsigned.
//
// The rows live in one block laid out by table_cells(). FixedN and FixedRows
// size the small always-present block fixed_rows (C(n, k) for k < FixedRows,
// n <= FixedN).
template <std::int64_t FixedN, std::size_t FixedRows, typename T>
class BinomialCoefficientTable {
  static_assert(std::is_same_v<T, Cell>, "cells hold the bits of binom() as Cell, as TableView reads them");
  static_assert(FixedN >= 1 && FixedN <= 64, "fixed block columns must stay exact");
  static_assert(FixedRows >= 1 && FixedRows <= 3, "fixed block holds rows k = 0, 1, 2 at most");

 public:
  using value_type = T;

  std::int64_t max_n = 0;
  std::int64_t max_k = 0;
  T fixed_rows[FixedRows][FixedN + 1];

  BinomialCoefficientTable() noexcept {
    for (std::int64_t n = 0; n <= FixedN; ++n) {
      for (std::size_t k = 0; k < FixedRows; ++k) {
        fixed_rows[k][n] = static_cast<T>(binom(static_cast<std::uint64_t>(n), k));
      }
    }
  }

  // The rows as they are now; valid until the next precompute().
  TableView view() const noexcept {
    if (cells_.empty()) return {};
    return {cells_.data(), static_cast<std::size_t>(max_n + 2), max_n, max_k};
  }

  // True when row k holds column n; negative arguments are never covered.
  bool covers(std::int64_t n, std::int64_t k) const noexcept { return view().covers(n, k); }

  // Row k, indexed by n. Precondition: covers(0, k).
  const T* row(std::int64_t k) const noexcept {
    return cells_.data() + static_cast<std::size_t>(k) * static_cast<std::size_t>(max_n + 2);
  }

  // C(n, k) as binom() gives it, from the table when covered; 0 when k < 0 or
  // k > n. Does not allocate; never changes the table.
  T operator()(std::int64_t n, std::int64_t k) const noexcept { return view()(n, k); }

  // Cells a table for (n, k) needs, or -1 when it exceeds max_table_cells.
  static std::int64_t cells_needed(std::int64_t n, std::int64_t k) noexcept {
    return table_cells_needed(n, k);
  }

  // Replaces the table with one covering exactly 0..n x 0..k, even when the
  // current one covers more. Throws std::invalid_argument for negative bounds,
  // std::length_error beyond max_table_cells and std::bad_alloc; on any throw
  // the previous rows and bounds stay in force.
  void precompute(std::int64_t n, std::int64_t k) {
    if (n < 0 || k < 0) {
      throw std::invalid_argument("binomial table bounds must not be negative: n = " +
                                  std::to_string(n) + ", k = " + std::to_string(k));
    }
    if (cells_needed(n, k) < 0) {
      throw std::length_error("binomial table for n = " + std::to_string(n) + ", k = " +
                              std::to_string(k) + " needs more than " +
                              std::to_string(max_table_cells) + " cells ((n + 2) * (k + 2))");
    }
    std::vector<T> fresh = table_cells(n, k);
    cells_.swap(fresh);
    max_n = n;
    max_k = k;
  }

 private:
  std::vector<T> cells_;
};

// C(m, j) for base <= m <= base + width - 1 and 0 <= j <= k, as binom() gives
// it, into a new block whose row j starts at j * width: a window of the
// table's columns for lookups whose m never leaves it. Allocates width *
// (k + 1) cells. Column base comes from binom(), each later column from the
// one before by Pascal's rule, C(m, j) = C(m - 1, j) + C(m - 1, j - 1), with
// the saturating addition that keeps precompute() equal to binom().
// Preconditions: width >= 1, base + width - 1 < 2^63.
inline std::vector<Cell> coefficient_window(std::uint64_t base, std::size_t width, std::size_t k) {
  std::vector<Cell> cells(width * (k + 1), 1);  // row 0
  for (std::size_t j = 1; j <= k; ++j) {
    Cell* const row = cells.data() + j * width;
    const Cell* const below = row - width;
    row[0] = static_cast<Cell>(binom(base, j));
    for (std::size_t i = 1; i < width; ++i) {
      row[i] = static_cast<Cell>(saturating_add(static_cast<std::uint64_t>(row[i - 1]),
                                                static_cast<std::uint64_t>(below[i - 1])));
    }
  }
  return cells;
}

// The one table every entry point shares. Rebuilt only by precompute(), which
// callers run under the interpreter lock, so no reader overlaps a rebuild.
inline BinomialCoefficientTable<64, 3, Cell> BC;

}  // namespace combinatorial
