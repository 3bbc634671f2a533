// sample for the package: uniform random k-subsets as rows, from one 64-bit
// seed. Where C(n, k) fits 64 bits, ranks are drawn and unranked; beyond,
// rows are drawn directly. Randomness comes in fixed blocks of positions, so
// the rows do not depend on how many threads write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "caches.hpp"
#include "combinatorial/sample.hpp"
#include "combinatorial/unrank.hpp"
#include "parallel.hpp"
#include "ranking.hpp"

namespace core {

// The checked arguments of a sample: rows.count is the count where
// rows.countable (below 2^128), so that ranks can be drawn and unranked.
struct SampleArguments {
  Rows rows;
  Integer size;
  bool replace;
};

inline SampleArguments parse_sample(Family family, nb::handle n_arg, nb::handle k_arg, nb::handle size_arg,
                                    nb::handle replace_arg) {
  const Rows rows = parse_rows(family, n_arg, k_arg, KBound::at_most_n, Counting::any);
  const Integer size = parse_integer(size_arg, "size");
  const bool replace = parse_truth(replace_arg);
  // size beyond 64 bits is below 2^128 only if its 128-bit value says so.
  const WideInteger wide_size = parse_wide_integer(size_arg, "size");
  if (!replace && rows.countable && (wide_size.beyond_128_bits || wide_size.value > rows.count)) {
    throw std::invalid_argument("a sample of " + size.text() + " distinct " + family_noun(family) +
                                " is more than the " + rows.count_name() + " = " + count_text(rows.count) +
                                " there are");
  }
  if (size.beyond_64_bits || size.value > static_cast<std::uint64_t>(NPY_MAX_INTP)) {
    throw std::invalid_argument("size = " + size.text() + " is more rows than an array can have (2^63 - 1)");
  }
  return {rows, size, replace};
}

// What a sample allocates at its peak besides its rows: where ranks are
// drawn their array and the distinct sampler's (a shuffle table of all
// count values where the sample is dense, else hash bit maps); rows drawn
// directly keep hashes and flags per row and redraw in rounds of rows. The
// rows themselves count unless they go into `out`.
inline std::uint64_t sample_bytes(const Integer& size, std::uint64_t k, bool replace, bool countable,
                                  WideRank count, bool rows_in_out, std::size_t vertex_bytes = sizeof(Vertex)) {
  if (k == 0) return 0;  // rows of nothing: no bytes, no ranks drawn
  const unsigned __int128 rows = size.value;
  unsigned __int128 bytes = rows_in_out ? 0 : rows * k * vertex_bytes;
  if (countable) {
    const bool wide = needs_wide_ranks(count);
    bytes += rows * (wide ? sizeof(WideRank) : sizeof(Rank));
    // Wide counts are never dense; their lists hold 16-byte ranks.
    const std::uint64_t narrow_count = wide ? ~std::uint64_t{0} : static_cast<std::uint64_t>(count);
    if (!replace) bytes += combinatorial::distinct_ranks_bytes(narrow_count, static_cast<std::size_t>(size.value)) * (wide ? 2 : 1);
  } else if (!replace) {
    bytes += rows * 13 + rows * k * vertex_bytes / 2;  // hashes, flags, and a later round's rows
  }
  return bytes > ~std::uint64_t{0} ? ~std::uint64_t{0} : static_cast<std::uint64_t>(bytes);
}

// `count` distinct uniform values below `population` (below 2^128), in
// random order, as sample draws its ranks: for the Dask layer's blocks.
// uint64 where the population is below 2^64, else uint128.
inline nb::object distinct_ranks(nb::handle seed_arg, nb::handle population_arg, nb::handle count_arg) {
  const std::uint64_t seed = nb::cast<std::uint64_t>(seed_arg);
  const WideInteger population = parse_wide_integer(population_arg, "population");
  const Integer count = parse_integer(count_arg, "count");
  if (population.beyond_128_bits || count.beyond_64_bits || count.value > population.value ||
      count.value > static_cast<std::uint64_t>(NPY_MAX_INTP)) {
    throw std::invalid_argument(count.text() + " distinct values are more than the " + population.text() +
                                " below the population, or than an array holds");
  }
  const auto size = static_cast<std::size_t>(count.value);
  return combinatorial::with_widths(needs_wide_ranks(population.value), 0, [&](auto rank_zero, auto) {
    using R = decltype(rank_zero);
    using Stored = std::conditional_t<std::is_same_v<R, Rank>, Rank, StoredWideRank>;
    const Integer as_size{count.value, false, count.exact};
    check_memory(sample_bytes(as_size, 1, false, true, population.value, true), 1,
                 "a sample of " + grouped(count.value) + " ranks and its working memory");
    nb::object out = new_array<Stored>({static_cast<npy_intp>(size)});
    Stored* const dest = data_of<Stored>(out);
    const nb::gil_scoped_release unlocked;  // re-taken before out is returned: it is declared after out
    StopPoll poll;
    if constexpr (std::is_same_v<R, Rank>) {
      combinatorial::sample_distinct_ranks(seed, static_cast<Rank>(population.value), size, dest,
                                           [&] { return poll(); });
    } else {
      std::vector<WideRank> ranks(size);
      combinatorial::sample_distinct_ranks(seed, population.value, size, ranks.data(), [&] { return poll(); });
      std::copy(ranks.begin(), ranks.end(), dest);
    }
    if (poll.stopped()) throw Interrupted{};
    return out;
  });
}

// (n, k, size, replace, the count or None where it is 2^128 or more),
// checked as sample checks them, for the Dask layer.
inline nb::tuple sample_arguments(nb::handle family_arg, nb::handle n_arg, nb::handle k_arg, nb::handle size_arg,
                                  nb::handle replace_arg) {
  const auto [rows, size, replace] = parse_sample(parse_family(family_arg), n_arg, k_arg, size_arg, replace_arg);
  nb::object count = rows.countable ? python_int(rows.count) : nb::none();
  return nb::make_tuple(rows.n, rows.k, nb::steal(PyLong_FromString(size.exact.c_str(), nullptr, 10)), replace, count);
}

// Rows [begin, end) of a sample drawn as rows, where the count is 2^128 or
// more: subsets and multisets (the subsets of n + k - 1, shifted) by draw_row,
// permutations by their own draw.
template <typename V>
void draw_rows_with_replacement(const Rows& rows, std::uint64_t seed, std::size_t begin, std::size_t end, V* out) {
  const auto nn = static_cast<std::int64_t>(rows.kernel_n), kk = static_cast<std::int64_t>(rows.k);
  if (rows.family == Family::permutations) {
    combinatorial::sample_rows_with_replacement<Family::permutations>(seed, nn, kk, begin, end, out);
    return;
  }
  combinatorial::sample_rows_with_replacement<Family::subsets>(seed, nn, kk, begin, end, out);
  if (rows.family == Family::multisets) {
    combinatorial::shift_rows<combinatorial::Shift::to_multisets>(out, end - begin, rows.k);
  }
}

// `size` uniform rows of a family as (size, k) rows of uint16 or uint32 (as
// the kernels' n needs), into `out` or a new array, in random order;
// distinct unless `replace`. Where the count is below 2^128 ranks are drawn
// and unranked, else rows are drawn directly. `seed_arg` is called for the
// 64-bit seed once everything is checked.
inline nb::object sample(nb::handle family_arg, nb::handle n_arg, nb::handle k_arg, nb::handle size_arg,
                         nb::handle seed_arg, nb::handle replace_arg, nb::handle out_arg, nb::handle workers_arg) {
  const auto [rows, size, replace] = parse_sample(parse_family(family_arg), n_arg, k_arg, size_arg, replace_arg);
  const std::uint64_t k = rows.k;
  const int workers = parse_workers(workers_arg);
  const std::string rows_named = rows_text(size.value, k);
  return combinatorial::with_widths(false, rows.kernel_n, [&](auto, auto vertex_zero) {
    using V = decltype(vertex_zero);
    check_memory(sample_bytes(size, k, replace, rows.countable, rows.count, !out_arg.is_none(), sizeof(V)), 1,
                 rows_named + (out_arg.is_none() ? " and the working memory of their sample"
                                                 : ": the working memory of their sample"));
    nb::object out = result_array<V>(out_arg, {static_cast<npy_intp>(size.value), static_cast<npy_intp>(k)}, rows_named);
    // Drawn once everything is checked: a failed call leaves the generator as it was.
    const std::uint64_t seed = nb::cast<std::uint64_t>(seed_arg());
    if (size.value == 0 || k == 0) return out;
    V* const dest = data_of<V>(out);
    const nb::gil_scoped_release unlocked;  // re-taken before out is returned: it is declared after out
    const auto count = static_cast<std::size_t>(size.value);
    // Ranges of whole blocks of randomness per thread.
    const auto by_blocks = [&](auto body) {
      const std::size_t blocks = (count + combinatorial::sample_block - 1) / combinatorial::sample_block;
      parallel_for(blocks, workers, 1, [&](std::size_t first, std::size_t last) {
        body(first * combinatorial::sample_block, std::min(count, last * combinatorial::sample_block));
      });
    };
    if (!rows.countable) {
      const auto nn = static_cast<std::int64_t>(rows.kernel_n), kk = static_cast<std::int64_t>(k);
      if (replace) {
        by_blocks([&](std::size_t begin, std::size_t end) {
          draw_rows_with_replacement(rows, seed, begin, end, dest + begin * k);
        });
        return out;
      }
      StopPoll poll;
      // Distinct subsets of n + k - 1 are distinct multisets of n.
      if (rows.family == Family::permutations) {
        combinatorial::sample_distinct_rows<Family::permutations>(seed, nn, kk, count, dest, [&] { return poll(); });
      } else {
        combinatorial::sample_distinct_rows<Family::subsets>(seed, nn, kk, count, dest, [&] { return poll(); });
      }
      if (poll.stopped()) throw Interrupted{};
      if (rows.family == Family::multisets) {
        parallel_for(count, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
          combinatorial::shift_rows<combinatorial::Shift::to_multisets>(dest + begin * k, end - begin, k);
        });
      }
      return out;
    }
    // Ranks drawn at the narrowest width that holds the count, then unranked.
    combinatorial::with_widths(needs_wide_ranks(rows.count), rows.kernel_n, [&](auto rank_zero, auto) {
      using R = decltype(rank_zero);
      const auto total = static_cast<R>(rows.count);
      // Every rank is written before it is read: no zeroing pass over them.
      const auto ranks = std::make_unique_for_overwrite<R[]>(count);
      if (replace) {
        by_blocks([&](std::size_t begin, std::size_t end) {
          combinatorial::sample_ranks_with_replacement(seed, total, begin, end, ranks.get() + begin);
        });
      } else {
        StopPoll poll;
        combinatorial::sample_distinct_ranks(seed, total, count, ranks.get(), [&] { return poll(); });
        if (poll.stopped()) throw Interrupted{};
      }
      // Any bijection of ranks and rows keeps a sample uniform; colex unranks fastest.
      with_unranker<R, V>(rows, rows.family == Family::permutations ? Order::lex : Order::colex, count,
                          [&](const auto& unrank) {
                            parallel_for(count, workers, unrank_grain, [&](std::size_t begin, std::size_t end) {
                              unrank(ranks.get() + begin, end - begin, dest + begin * k);
                            });
                          });
    });
    return out;
  });
}

}  // namespace core
