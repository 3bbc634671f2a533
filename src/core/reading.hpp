// Reading the caller's arrays block by block: ranks and rows of vertices,
// in place where they already are what the kernels take, otherwise gathered
// through their strides into a small buffer per block. Extra memory is one
// block per thread, whatever the layout of the input.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "combinatorial/types.hpp"
#include "combinatorial/unrank.hpp"
#include "numpy.hpp"

namespace core {

using combinatorial::Rank;
using combinatorial::Vertex;

// Elements per gathered block: 32 KiB of uint64, well inside L1 and L2.
inline constexpr std::size_t block_items = 4096;

// Ranks of an array of any integer dtype and layout, read as R (Rank or
// WideRank): in place for C-contiguous, aligned uint64 (or int64 once
// checked non-negative) when R is Rank; gathered otherwise, negatives and
// values too wide for R becoming its largest value, outside every count.
template <typename R = Rank>
class RankReader {
  static_assert(sizeof(Rank) == sizeof(std::int64_t), "int64 ranks are read in place as Rank");
  static constexpr bool narrow = std::is_same_v<R, Rank>;

 public:
  explicit RankReader(const ArrayView& ranks) noexcept
      : ranks_(ranks),
        in_place_(narrow && (ranks.is_plain<Rank>() || ranks.is_plain<std::int64_t>())),
        is_signed_(ranks.element == Element::i64) {}

  // The first index in [begin, end) whose rank is outside [0, count), or end.
  std::size_t first_outside(std::size_t begin, std::size_t end, R count) const noexcept {
    if constexpr (narrow) {
      if (in_place_) {
        return is_signed_ ? combinatorial::first_rank_outside(data<std::int64_t>(), begin, end, count)
                          : combinatorial::first_rank_outside(data<Rank>(), begin, end, count);
      }
    }
    std::array<R, block_items> buffer;
    for (std::size_t at = begin; at < end; at += block_items) {
      const std::size_t size = std::min(block_items, end - at);
      gather(ranks_, at, size, buffer.data());
      const std::size_t bad = combinatorial::first_rank_outside(buffer.data(), 0, size, count);
      if (bad != size) return at + bad;
    }
    return end;
  }

  // Calls body(ranks, size, at) for consecutive blocks of [begin, end), each
  // a plain array of checked ranks starting at element `at`.
  template <typename Body>
  void for_blocks(std::size_t begin, std::size_t end, Body body) const {
    if (in_place_) {
      // Checked non-negative, so signed ranks read as unsigned.
      return body(reinterpret_cast<const R*>(ranks_.data) + begin, end - begin, begin);
    }
    std::array<R, block_items> buffer;
    for (std::size_t at = begin; at < end; at += block_items) {
      const std::size_t size = std::min(block_items, end - at);
      gather(ranks_, at, size, buffer.data());
      body(static_cast<const R*>(buffer.data()), size, at);
    }
  }

 private:
  template <typename T>
  const T* data() const noexcept {
    return reinterpret_cast<const T*>(ranks_.data);
  }
  const ArrayView& ranks_;
  bool in_place_;
  bool is_signed_;
};

}  // namespace core
