// Enumeration: from one combination, the rows that follow it in lex or colex
// order, every row smallest vertex first, without unranking each row.
//
// Both orders come in blocks where only a few columns change. In colex, the
// first t columns of the rows that share columns t..k-1 run through the
// colex list of t-subsets of {0..c_t - 1}, which is the first C(c_t, t)
// entries of the colex list of all t-subsets, whatever the rest of the row.
// In lex, the last t columns under a prefix ending in p run through the
// t-subsets of {p+1..n-1}, the last C(n-1-p, t) entries of the lex list of
// t-subsets of {k-t..n-1}. So one table of t-subsets, built once, supplies
// every block: a row is a table entry ORed into the fixed columns and stored
// with a few 16-byte stores, and a successor step (constant cost on average)
// sets up the next block. Blocks are about (n / k)^t rows long. With t = 1
// no table is needed: the running column counts up in a register.
//
// A row of k >= 8 vertices is stored as whole 16-byte chunks that all lie
// inside it, overlapping where k is not a multiple of 8: the chunk holding
// the changing columns (the first 8 vertices in colex, the last 8 in lex)
// goes last, so its values win where chunks overlap. Shorter rows take one
// chunk that runs into the next row, which overwrites it; the last rows go
// through a scratch buffer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "combinatorial/family.hpp"
#include "combinatorial/order.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

namespace detail {

// One 16-byte chunk of a row: eight vertices, as every index below counts them.
using VertexChunk = Vertex __attribute__((vector_size(16)));
static_assert(sizeof(VertexChunk) == 8 * sizeof(Vertex), "rows are stored as chunks of eight vertices");

// Rows of up to 8 * enumerate_max_chunks vertices are built in registers.
inline constexpr std::int64_t enumerate_max_chunks = 4;
// Table bounds: entries (32 KiB of stack), columns, and vertices per column.
inline constexpr std::int64_t enumerate_table_entries = 2048;
inline constexpr std::int64_t enumerate_table_max_t = 8;
inline constexpr std::int64_t enumerate_table_max_m = 64;

// Lex step: the rightmost vertex below its largest possible value n - k + i
// grows by one, the ones after it follow consecutively. Precondition: the
// row is not the last one.
template <typename T>
void lex_successor(T* c, std::int64_t n, std::int64_t k) noexcept {
  std::int64_t i = k - 1;
  while (c[i] == n - k + i) --i;
  const auto v = static_cast<std::int64_t>(c[i]) + 1 - i;
  for (; i < k; ++i) c[i] = static_cast<T>(v + i);
}

// Colex step: the leftmost vertex with room above it grows by one, the ones
// before it restart at 0, 1, ... Precondition: the row is not the last one.
template <typename T>
void colex_successor(T* c, std::int64_t n, std::int64_t k) noexcept {
  std::int64_t i = 0;
  while (c[i] + 1 == (i + 1 < k ? static_cast<std::int64_t>(c[i + 1]) : n)) ++i;
  ++c[i];
  for (std::int64_t j = 0; j < i; ++j) c[j] = static_cast<T>(j);
}

template <Order O, typename T>
void successor(T* c, std::int64_t n, std::int64_t k) noexcept {
  constexpr bool Lex = is_lex<O>();
  if constexpr (Lex) {
    lex_successor(c, n, k);
  } else {
    colex_successor(c, n, k);
  }
}

// C(m, q) for m <= enumerate_table_max_m, q <= enumerate_table_max_t, by
// Pascal's rule (all below 2^33).
struct SmallBinomials {
  std::uint64_t c[enumerate_table_max_m + 1][enumerate_table_max_t + 1];
  SmallBinomials() noexcept {
    for (std::int64_t m = 0; m <= enumerate_table_max_m; ++m) {
      c[m][0] = 1;
      for (std::int64_t q = 1; q <= enumerate_table_max_t; ++q) {
        c[m][q] = m == 0 ? 0 : c[m - 1][q - 1] + c[m - 1][q];
      }
    }
  }
  std::uint64_t operator()(std::int64_t m, std::int64_t q) const noexcept { return c[m][q]; }
};

// The t-subsets of {0..m-1} in colex order, in lanes 0..t-1 of each entry.
// Built in place from the (t-1)-subsets: the entries with largest element v
// are the first C(v, t-1) entries of the (t-1)-list with v added, so writing
// from the back never overwrites an entry still to be read. Vector loads and
// stores only, so that no load waits on narrower stores. Preconditions:
// 1 <= t <= 8, m <= enumerate_table_max_m, C(m, t) <= the entries' room.
inline void build_colex_table(VertexChunk* entries, std::int64_t m, std::int64_t t,
                              const SmallBinomials& binom) noexcept {
  VertexChunk v = {};
  VertexChunk unit = {};
  unit[0] = 1;
  for (std::int64_t j = 0; j < m - t + 1; ++j, v += unit) entries[j] = v;  // 1-subsets
  for (std::int64_t q = 2; q <= t; ++q) {
    VertexChunk lane = {};
    lane[q - 1] = 1;
    for (std::int64_t top = m - t + q - 1; top >= q - 1; --top) {
      const VertexChunk add = lane * static_cast<Vertex>(top);
      VertexChunk* block = entries + binom(top, q);
      for (auto j = static_cast<std::int64_t>(binom(top, q - 1)) - 1; j >= 0; --j) {
        block[j] = entries[j] + add;
      }
    }
  }
}

// The lex list of t-subsets of {n-m..n-1} from the colex list of t-subsets
// of {0..m-1}: x -> n-1-x turns one into the other reversed, with each
// entry's order reversed too. Entries end up in lanes lane0..lane0+t-1.
inline void colex_table_to_lex(VertexChunk* entries, std::uint64_t count, std::int64_t n,
                               std::int64_t t, std::int64_t lane0) noexcept {
  VertexChunk pick = {}, keep = {};
  for (std::int64_t p = 0; p < 8; ++p) {
    const bool in = p >= lane0 && p < lane0 + t;
    pick[p] = static_cast<Vertex>(in ? t - 1 - (p - lane0) : 0);
    keep[p] = in ? std::numeric_limits<Vertex>::max() : Vertex{0};
  }
  VertexChunk top = {};
  top += static_cast<Vertex>(n - 1);
  const auto reflect = [&](VertexChunk e) { return (top - __builtin_shuffle(e, pick)) & keep; };
  for (std::uint64_t i = 0, j = count - 1; i <= j && j < count; ++i, --j) {
    const VertexChunk a = entries[i], b = entries[j];
    entries[i] = reflect(b);
    entries[j] = reflect(a);
  }
}

struct NoTable {};

struct Table {
  SmallBinomials binom;
  VertexChunk entries[enumerate_table_entries];
};

// Writes rows block by block. W chunks hold a row of k vertices (2 <= k <=
// 8 W); the last of them, at lanes off_t.., holds the changing columns.
// Tabled: t >= 2 columns come from a table; otherwise the one running column
// counts up. Multisets: the rows are subsets of n + k - 1, stored with
// column i less i, one vector subtraction per chunk stored.
template <Order O, std::int64_t W, bool Tabled, Family F = Family::subsets>
class BlockRows {
  static constexpr bool Lex = is_lex<O>();
 public:
  // Preconditions: first is a valid row (it is copied, so it may lie in the
  // output); Tabled: 2 <= t <= min(k, 8), m = n - k + t <= 64 and C(m, t)
  // <= enumerate_table_entries; otherwise t = 1.
  BlockRows(const Vertex* first, std::int64_t n, std::int64_t k, std::int64_t t) noexcept
      : n_(n), k_(k), t_(t), col_(Lex ? k - t : 0), off_t_(Lex && k > 8 ? k - 8 : 0) {
    std::memcpy(c_, first, static_cast<std::size_t>(k) * sizeof(Vertex));
    if constexpr (Tabled) {
      const std::int64_t m = n - k + t;
      total_ = table_.binom(m, t);
      build_colex_table(table_.entries, m, t, table_.binom);
      if (Lex) colex_table_to_lex(table_.entries, total_, n, t, col_ - off_t_);
      // Position of first's changing columns in the table: their rank.
      std::uint64_t sum = 0;
      for (std::int64_t q = 0; q < t; ++q) {
        sum += Lex ? table_.binom(n - 1 - c_[col_ + q], t - q) : table_.binom(c_[q], q + 1);
      }
      at_ = Lex ? total_ - 1 - sum : sum;
      end_ = Lex || t == k ? total_ : table_.binom(c_[t], t);
    } else {
      at_ = c_[col_];
      end_ = Lex ? static_cast<std::uint64_t>(n) : c_[1];
      step_[col_ - off_t_] = 1;
    }
    load_fixed();
  }

  // Writes the next `rows` rows at out; where k < 8, also up to 7 values
  // past them. Precondition: the rows exist.
  void write(std::size_t rows, Vertex* out) noexcept {
    const auto width = static_cast<std::size_t>(k_);
    std::size_t offset[W];
    for (std::int64_t w = 0; w + 1 < W; ++w) {
      offset[w] = static_cast<std::size_t>(Lex ? 8 * w : k_ - 8 * (w + 1));
    }
    offset[W - 1] = static_cast<std::size_t>(off_t_);
    // Column i of the row in each lane of each chunk, for multisets' shift;
    // lanes past the row belong to the next row, which overwrites them.
    VertexChunk shift[W] = {};
    if constexpr (F == Family::multisets) {
      for (std::int64_t w = 0; w < W; ++w) {
        for (std::int64_t p = 0; p < 8; ++p) shift[w][p] = static_cast<Vertex>(offset[w] + static_cast<std::size_t>(p));
      }
    }
    while (rows > 0) {
      if (at_ == end_) next_block();
      const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(end_ - at_, rows));
      VertexChunk fixed[W];
      std::memcpy(fixed, fixed_, sizeof(fixed));
      for (std::int64_t w = 0; w + 1 < W; ++w) fixed[w] -= shift[w];
      if constexpr (Tabled) {
        const VertexChunk* entry = table_.entries + at_;
        for (std::size_t r = 0; r < len; ++r) {
          for (std::int64_t w = 0; w + 1 < W; ++w) std::memcpy(out + offset[w], &fixed[w], 16);
          VertexChunk changing = fixed[W - 1] | entry[r];
          if constexpr (F == Family::multisets) changing -= shift[W - 1];
          std::memcpy(out + offset[W - 1], &changing, 16);
          out += width;
        }
      } else {
        VertexChunk changing = fixed[W - 1] + step_ * static_cast<Vertex>(at_) - shift[W - 1];
        for (std::size_t r = 0; r < len; ++r) {
          for (std::int64_t w = 0; w + 1 < W; ++w) std::memcpy(out + offset[w], &fixed[w], 16);
          std::memcpy(out + offset[W - 1], &changing, 16);
          changing += step_;
          out += width;
        }
      }
      rows -= len;
      at_ += len;
    }
  }

 private:
  // The row without its changing columns, as the chunks to store.
  void load_fixed() noexcept {
    alignas(16) Vertex rest[8 * W];
    std::memcpy(rest, c_, sizeof(rest));
    for (std::int64_t q = 0; q < t_; ++q) rest[col_ + q] = 0;
    for (std::int64_t w = 0; w + 1 < W; ++w) {
      std::memcpy(&fixed_[w], rest + (Lex ? 8 * w : k_ - 8 * (w + 1)), 16);
    }
    std::memcpy(&fixed_[W - 1], rest + off_t_, 16);
  }

  // Steps from the block's last row, whose changing columns are as large as
  // the block allows, to the first row of the next block.
  void next_block() noexcept {
    if constexpr (Tabled) {
      const std::int64_t top = Lex ? n_ : c_[t_];  // t < k, or no block would follow
      for (std::int64_t q = 0; q < t_; ++q) c_[col_ + q] = static_cast<Vertex>(top - t_ + q);
      successor<O>(c_, n_, k_);
      at_ = Lex ? total_ - table_.binom(n_ - 1 - c_[col_ - 1], t_) : 0;
      end_ = Lex ? total_ : table_.binom(c_[t_], t_);
    } else {
      c_[col_] = static_cast<Vertex>(end_ - 1);
      successor<O>(c_, n_, k_);
      at_ = c_[col_];
      end_ = Lex ? static_cast<std::uint64_t>(n_) : c_[1];
    }
    load_fixed();
  }

  std::int64_t n_, k_, t_;
  std::int64_t col_;    // first changing column
  std::int64_t off_t_;  // where the chunk with the changing columns starts
  // Tabled: the next entry and the block's end; else the running column's
  // next value and its bound.
  std::uint64_t at_ = 0, end_ = 0, total_ = 0;
  VertexChunk step_ = {};
  VertexChunk fixed_[W];
  alignas(16) Vertex c_[8 * W] = {};
  std::conditional_t<Tabled, Table, NoTable> table_;
};

// For any k: each row is the previous one, copied, with its running column
// one higher or, at the end of a block, the successor step applied.
template <Order O, typename V>
void write_rows_by_copy(const V* first, std::int64_t n, std::int64_t k,
                        std::size_t rows, V* out) noexcept {
  constexpr bool Lex = is_lex<O>();
  const std::int64_t j = Lex ? k - 1 : 0;
  const auto width = static_cast<std::size_t>(k);
  std::memmove(out, first, width * sizeof(V));
  for (std::size_t r = 1; r < rows; ++r) {
    V* o = out + r * width;
    std::memcpy(o, o - width, width * sizeof(V));
    if (static_cast<std::int64_t>(o[j]) + 1 < (Lex ? n : static_cast<std::int64_t>(o[1]))) {
      ++o[j];
    } else {
      successor<O>(o, n, k);
    }
  }
}

// The number of table columns for (n, k): the most, up to 8, whose table
// fits and costs little beside the rows it serves; 1 when none does.
inline std::int64_t table_columns(std::int64_t n, std::int64_t k, std::size_t rows) noexcept {
  const SmallBinomials binom;
  for (std::int64_t t = std::min(k, enumerate_table_max_t); t >= 2; --t) {
    const std::int64_t m = n - k + t;
    if (m > enumerate_table_max_m) continue;
    const std::uint64_t entries = binom(m, t);
    if (entries <= enumerate_table_entries && entries * 8 <= rows) return t;
  }
  return 1;
}

// One writer in a frame of its own (a table takes 37 KiB of stack): every
// row but the last few straight into out, those, whose stores would pass
// its end, through a scratch buffer.
template <Order O, std::int64_t W, bool Tabled, Family F>
[[gnu::noinline]] void write_blocks(const Vertex* first, std::int64_t n, std::int64_t k,
                                    std::int64_t t, std::size_t rows, Vertex* out) noexcept {
  BlockRows<O, W, Tabled, F> writer(first, n, k, t);
  const auto width = static_cast<std::size_t>(k);
  const std::size_t spill = k < 8 ? (7 + width) / width - 1 : 0;  // at most 3
  const std::size_t direct = rows > spill ? rows - spill : 0;
  writer.write(direct, out);
  Vertex scratch[32];
  writer.write(rows - direct, scratch);
  std::memcpy(out + direct * width, scratch, (rows - direct) * width * sizeof(Vertex));
}

template <Order O, std::int64_t W, Family F = Family::subsets>
void enumerate_in_registers(const Vertex* first, std::int64_t n, std::int64_t k,
                            std::size_t rows, Vertex* out) noexcept {
  const std::int64_t t = table_columns(n, k, rows);
  if (t >= 2) {
    write_blocks<O, W, true, F>(first, n, k, t, rows, out);
  } else {
    write_blocks<O, W, false, F>(first, n, k, 1, rows, out);
  }
}

template <Order O>
void enumerate(const Vertex* first, std::int64_t n, std::int64_t k, std::size_t rows,
               Vertex* out) noexcept {
  if (rows == 0 || k == 0) return;
  if (k == 1) {
    // Both orders are first[0], first[0] + 1, ...
    const Vertex v = first[0];
    for (std::size_t r = 0; r < rows; ++r) out[r] = static_cast<Vertex>(v + r);
    return;
  }
  switch ((k + 7) / 8) {
    case 1: return enumerate_in_registers<O, 1>(first, n, k, rows, out);
    case 2: return enumerate_in_registers<O, 2>(first, n, k, rows, out);
    case 3: return enumerate_in_registers<O, 3>(first, n, k, rows, out);
    case 4: return enumerate_in_registers<O, 4>(first, n, k, rows, out);
    default: return write_rows_by_copy<O>(first, n, k, rows, out);
  }
}

}  // namespace detail

// Writes `rows` consecutive combinations in order O, k vertices each,
// smallest first, starting with `first` itself: as enumerate_lex below for
// lex, with the colex rank for colex. Vertices of any width: WideVertex rows
// are copied row to row and stepped (pairs in lex, the common wide case,
// as a run of the second column per first vertex).
template <Order O, typename V>
void enumerate_rows(const V* first, std::int64_t n, std::int64_t k, std::size_t rows, V* out) noexcept {
  if constexpr (std::is_same_v<V, Vertex>) {
    detail::enumerate<O>(first, n, k, rows, out);
  } else {
    if (rows == 0 || k == 0) return;
    if (k == 1) {
      const V v = first[0];
      for (std::size_t r = 0; r < rows; ++r) out[r] = static_cast<V>(v + r);
    } else if (k == 2 && is_lex<O>()) {
      V a = first[0], b = first[1];
      for (std::size_t r = 0; r < rows;) {
        // Rows (a, b), (a, b + 1), ..., (a, n - 1), then (a + 1, a + 2).
        const std::size_t run = std::min<std::size_t>(rows - r, static_cast<std::size_t>(n - b));
        for (std::size_t i = 0; i < run; ++i, ++r) {
          out[2 * r] = a;
          out[2 * r + 1] = static_cast<V>(b + i);
        }
        ++a;
        b = static_cast<V>(a + 1);
      }
    } else {
      detail::write_rows_by_copy<O>(first, n, k, rows, out);
    }
  }
}

// The k-multisets of n from the subsets of n + k - 1 that stand for them:
// `rows` consecutive rows in order O from the subset `first` (n here is
// n + k - 1), each stored with column i less i. Rows of up to 32 16-bit
// vertices are shifted as they are stored (multisets_shifted_as_stored);
// others are enumerated as subsets and shifted after, a second pass over
// them, which callers keep in cache by asking for a piece at a time.
// Preconditions as for enumerate_rows.
template <typename V>
constexpr bool multisets_shifted_as_stored(std::int64_t k) noexcept {
  return std::is_same_v<V, Vertex> && k >= 2 && k <= 8 * detail::enumerate_max_chunks;
}

template <Order O, typename V>
void enumerate_multiset_rows(const V* first, std::int64_t n, std::int64_t k, std::size_t rows, V* out) noexcept {
  if constexpr (std::is_same_v<V, Vertex>) {
    if (rows != 0 && multisets_shifted_as_stored<V>(k)) {
      switch ((k + 7) / 8) {
        case 1: return detail::enumerate_in_registers<O, 1, Family::multisets>(first, n, k, rows, out);
        case 2: return detail::enumerate_in_registers<O, 2, Family::multisets>(first, n, k, rows, out);
        case 3: return detail::enumerate_in_registers<O, 3, Family::multisets>(first, n, k, rows, out);
        default: return detail::enumerate_in_registers<O, 4, Family::multisets>(first, n, k, rows, out);
      }
    }
  }
  enumerate_rows<O>(first, n, k, rows, out);
  shift_rows<Shift::to_multisets>(out, rows, static_cast<std::size_t>(k));
}

// Writes `rows` consecutive combinations in lex order, k vertices each,
// smallest first, starting with `first` itself, and nothing outside
// out[0, rows * k), so threads may fill neighbouring ranges. Does not
// allocate; uses up to 40 KiB of stack. Preconditions: 0 <= k <= n <=
// max_vertex_count; `first` is strictly increasing and below n; its lex rank
// plus rows is at most C(n, k); out holds rows * k values and may start at
// `first` but not overlap it otherwise.
inline void enumerate_lex(const Vertex* first, std::int64_t n, std::int64_t k,
                          std::size_t rows, Vertex* out) noexcept {
  detail::enumerate<Order::lex>(first, n, k, rows, out);
}

// The same in colex order, rows still smallest vertex first. Does not
// allocate. Preconditions as for enumerate_lex, with the colex rank.
inline void enumerate_colex(const Vertex* first, std::int64_t n, std::int64_t k,
                            std::size_t rows, Vertex* out) noexcept {
  detail::enumerate<Order::colex>(first, n, k, rows, out);
}

}  // namespace combinatorial
