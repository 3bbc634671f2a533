// Random samples: uniform ranks below a count, or uniform rows of a family
// drawn directly whatever the count of rows is, with or without repeats:
// k-subsets of {0..n-1} (smallest vertex first) or k-permutations.
//
// Randomness is counter-based: output positions fall in fixed blocks of
// sample_block, and block b draws only from stream(seed, b), as many values
// as the rules below say, which depend on nothing else. So the output does
// not depend on how blocks are shared among threads; the kernels with
// repeats take ranges of whole blocks for that.
//
// Without repeats (but for ranks taking a third of their population or more,
// which a partial shuffle draws) a sample is filled in rounds. In round one every block
// draws its entries; in each later round every block still short draws what
// it lacks plus a margin. The candidates of a round are judged in order,
// blocks in order and draws in order within a block: a candidate is skipped
// if its block is full, dropped if it equals an entry kept before it, and
// otherwise kept, in its block's next position. Uniformity: what happens to
// a candidate, and so where later ones go, depends only on what happened to
// those before it, and given that, a kept candidate is uniform over the
// values not kept yet while the chance of a drop depends only on how many
// are kept. So every ordered sample of distinct values is equally likely,
// and every prefix of a sample is a uniform sample of its own size.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "combinatorial/binomial.hpp"
#include "combinatorial/family.hpp"
#include "combinatorial/permutations.hpp"
#include "combinatorial/types.hpp"

namespace combinatorial {

// Output positions per block of randomness.
inline constexpr std::size_t sample_block = 65536;

// Asked between blocks of work whether a long draw should end early (its
// caller was interrupted): the sample it leaves is then incomplete.
struct NeverStop {
  constexpr bool operator()() const noexcept { return false; }
};

// The SplitMix64 output function: a bijection of 64-bit values whose outputs
// on a counter pass the usual statistical batteries.
constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// A SplitMix64 sequence: the i-th output is mix64(start + i * gamma), a
// function of its counter, so a stream costs nothing to set up.
struct RandomStream {
  static constexpr std::uint64_t gamma = 0x9E3779B97F4A7C15ULL;  // odd
  std::uint64_t state;
  std::uint64_t next() noexcept {
    state += gamma;
    return mix64(state);
  }
};

// The stream of block `block` under `seed`: counters start at block * 2^40
// past a seed-dependent origin, so for one seed, blocks below 2^24 never
// share a counter until one has used 2^40 draws. Does not allocate.
constexpr RandomStream stream(std::uint64_t seed, std::uint64_t block) noexcept {
  return RandomStream{mix64(seed ^ 0x6A09E667F3BCC909ULL) + (block << 40) * RandomStream::gamma};
}

// A uniform value in [0, range), exactly (Lemire's multiply-and-reject):
// x * range / 2^64 for a uniform 64-bit x maps 2^64 inputs onto range
// outputs; rejecting the (2^64 mod range) values of x whose low product word
// falls below that count leaves each output exactly floor(2^64 / range)
// inputs. The remainder is computed only when the low word is below range.
// Precondition: range >= 1. Does not allocate.
inline std::uint64_t bounded(RandomStream& rng, std::uint64_t range) noexcept {
  unsigned __int128 product = static_cast<unsigned __int128>(rng.next()) * range;
  auto low = static_cast<std::uint64_t>(product);
  if (low < range) {
    const std::uint64_t threshold = (0 - range) % range;  // 2^64 mod range
    while (low < threshold) {
      product = static_cast<unsigned __int128>(rng.next()) * range;
      low = static_cast<std::uint64_t>(product);
    }
  }
  return static_cast<std::uint64_t>(product >> 64);
}

// A uniform value in [0, range) for a range of up to 2^128, exactly: draws
// of the bit width of range - 1, the high word first, kept when below range
// (each is, with probability above a half). Precondition: range >= 1. Does
// not allocate.
template <typename T>
  requires std::is_same_v<T, WideRank>  // not for other integers, which take the 64-bit draw
WideRank bounded(RandomStream& rng, T range) noexcept {
  if (range >> 64 == 0) return bounded(rng, static_cast<std::uint64_t>(range));
  const auto top = static_cast<std::uint64_t>((range - 1) >> 64);  // not 0
  const std::uint64_t mask = ~std::uint64_t{0} >> __builtin_clzll(top);
  for (;;) {
    const WideRank high = rng.next() & mask;
    const WideRank value = high << 64 | rng.next();
    if (value < range) return value;
  }
}

namespace detail {

// Slots for open addressing with linear probing, at most two thirds full.
inline std::size_t hash_slots_for(std::size_t entries) noexcept {
  std::size_t slots = 16;
  while (2 * slots < 3 * entries) slots *= 2;
  return slots;
}

// 2^bits bits indexed by the top bits of a 64-bit hash. Allocates 2^bits / 8
// bytes, zeroed; std::bad_alloc on failure.
class HashBits {
 public:
  explicit HashBits(unsigned bits)
      : shift_(64 - bits),
        words_(std::size_t{1} << (bits - 6)),
        map_(std::make_unique<std::uint64_t[]>(words_)) {}

  // Sets the bit of hash h and says whether it was set already.
  bool test_and_set(std::uint64_t h) noexcept {
    const std::uint64_t b = h >> shift_;
    std::uint64_t& word = map_[b >> 6];
    const std::uint64_t mask = std::uint64_t{1} << (b & 63);
    const bool was_set = (word & mask) != 0;
    word |= mask;
    return was_set;
  }
  bool test(std::uint64_t h) const noexcept {
    const std::uint64_t b = h >> shift_;
    return (map_[b >> 6] >> (b & 63) & 1) != 0;
  }
  void clear() noexcept { std::memset(map_.get(), 0, words_ * sizeof(std::uint64_t)); }

 private:
  unsigned shift_;
  std::size_t words_;
  std::unique_ptr<std::uint64_t[]> map_;
};

// Bits for a sample of `entries`: 16 or more per entry, so that few values
// hit a bit set by another, and twice that while the map stays within 4 MiB,
// where it still sits in the caches: each hit costs a pass through the exact
// set, and halving them saved a sixth of sample(1000, 5, 10**6) (a map of 8
// MiB or more cost more in cache misses than it saved).
inline unsigned hash_bits_for(std::size_t entries) noexcept {
  unsigned bits = 12;
  while ((std::size_t{1} << bits) < 16 * entries) ++bits;
  return bits < 25 ? bits + 1 : bits;
}

// Fibonacci hashing of a rank: a bijection whose top bits spread any set.
inline std::uint64_t rank_hash(Rank v) noexcept { return (v + 1) * RandomStream::gamma; }

// A wide rank's words folded (the high one mixed) and hashed as above.
inline std::uint64_t rank_hash(WideRank v) noexcept {
  return rank_hash(static_cast<std::uint64_t>(v) ^ mix64(static_cast<std::uint64_t>(v >> 64)));
}

// A set of ranks of type R, each stored plus one so that 0 marks a free
// slot (ranks are below the largest R). Allocates 12 to 24 bytes per entry
// it is sized for (twice that for wide ranks), zeroed; std::bad_alloc on
// failure.
template <typename R = Rank>
class RankSet {
 public:
  explicit RankSet(std::size_t entries)
      : mask_(hash_slots_for(entries) - 1),
        shift_(static_cast<unsigned>(__builtin_clzll(mask_ + 1)) + 1),
        slots_(std::make_unique<R[]>(mask_ + 1)) {}

  // Adds v and says whether it was new. Precondition: no more entries than
  // sized for.
  bool insert(R v) noexcept {
    const R key = v + 1;
    for (auto i = static_cast<std::size_t>(rank_hash(v) >> shift_);; i = (i + 1) & mask_) {
      if (slots_[i] == key) return false;
      if (slots_[i] == 0) {
        slots_[i] = key;
        return true;
      }
    }
  }

 private:
  std::size_t mask_;
  unsigned shift_;
  std::unique_ptr<R[]> slots_;
};

// A row of k vertices with its hash.
template <typename V>
struct RowRef {
  std::uint64_t hash;
  const V* row;
};

// A set of rows, found by hash and compared in full; the rows themselves
// stay where they are. Allocates 24 to 48 bytes per entry it is sized for,
// zeroed; std::bad_alloc on failure.
template <typename V>
class RowSet {
 public:
  RowSet(std::size_t entries, std::int64_t k)
      : width_(static_cast<std::size_t>(k)),
        mask_(hash_slots_for(entries) - 1),
        shift_(static_cast<unsigned>(__builtin_clzll(mask_ + 1)) + 1),
        slots_(std::make_unique<RowRef<V>[]>(mask_ + 1)) {}

  // Adds r and says whether it was new. Precondition: no more entries than
  // sized for; r.row stays valid while the set is used.
  bool insert(RowRef<V> r) noexcept {
    for (auto i = static_cast<std::size_t>(r.hash >> shift_);; i = (i + 1) & mask_) {
      RowRef<V>& s = slots_[i];
      if (s.row == nullptr) {
        s = r;
        return true;
      }
      if (s.hash == r.hash && std::memcmp(s.row, r.row, width_ * sizeof(V)) == 0) {
        return false;
      }
    }
  }

 private:
  std::size_t width_;
  std::size_t mask_;
  unsigned shift_;
  std::unique_ptr<RowRef<V>[]> slots_;
};

// Judges candidates 0..m-1 of a round in order (see the top of the file).
// Candidates that repeat no earlier value come in runs, keep_run(begin, end);
// the caller keeps each unless its block is full (full(i)). A candidate that
// may repeat one is skipped when full(i), dropped when it equals an entry
// kept before (for_each_kept visits those of earlier rounds) or a candidate
// kept earlier in the round, and otherwise passed on as a run of one.
// hash_of(i) and item_of(i) give the candidate's 64-bit hash and the item
// that make_exact(entries) sets hold; `seen` has a bit for the hash of every
// value drawn so far and gets those of the candidates.
//
// This avoids a table of every value, far larger than the caches. A
// candidate whose hash bit is set already may repeat an earlier value; the
// hashes with such a hit are marked in `hot`, which has fewer bits, so a few
// other hashes share the marks. Only values with marked hashes can repeat one
// another, and those, kept entries and candidates, go through an exact set
// of their own, small. With no hit at all every candidate is new. Allocates
// that set and lists of the values in it when there are hits.
template <typename HashOf, typename ItemOf, typename ForEachKept, typename Full, typename KeepRun,
          typename MakeExact, typename Stop>
void judge_candidates(std::size_t m, HashBits& seen, HashBits& hot, HashOf hash_of,
                      ItemOf item_of, ForEachKept for_each_kept, Full full, KeepRun keep_run,
                      MakeExact make_exact, Stop& should_stop) {
  hot.clear();
  bool hit = false;
  for (std::size_t i = 0; i < m; ++i) {
    if (i % sample_block == 0 && should_stop()) return;
    const std::uint64_t h = hash_of(i);
    if (seen.test_and_set(h)) {
      hot.test_and_set(h);
      hit = true;
    }
  }
  if (!hit) {
    if (m > 0) keep_run(std::size_t{0}, m);
    return;
  }
  std::vector<decltype(item_of(std::size_t{0}))> kept_suspects;
  for_each_kept([&](std::uint64_t h, auto item) {
    if (hot.test(h)) kept_suspects.push_back(item);
  });
  std::vector<std::size_t> suspects;
  for (std::size_t i = 0; i < m; ++i) {
    if (hot.test(hash_of(i))) suspects.push_back(i);
  }
  auto exact = make_exact(kept_suspects.size() + suspects.size());
  for (const auto& item : kept_suspects) exact.insert(item);
  std::size_t begin = 0;
  for (const std::size_t i : suspects) {
    if (begin < i) keep_run(begin, i);
    if (!full(i) && exact.insert(item_of(i))) keep_run(i, i + 1);
    begin = i + 1;
  }
  if (begin < m) keep_run(begin, m);
}

// Fill state of a sample without repeats: per block, its stream and how many
// entries it has kept. Allocates 16 bytes per block.
class BlockFill {
 public:
  BlockFill(std::uint64_t seed, std::size_t size)
      : size_(size),
        blocks_((size + sample_block - 1) / sample_block),
        rng_(std::make_unique<RandomStream[]>(blocks_)),
        filled_(std::make_unique<std::size_t[]>(blocks_)) {
    for (std::size_t b = 0; b < blocks_; ++b) rng_[b] = stream(seed, b);
  }
  std::size_t blocks() const noexcept { return blocks_; }
  std::size_t begin(std::size_t b) const noexcept { return b * sample_block; }
  std::size_t length(std::size_t b) const noexcept {
    return std::min(size_ - begin(b), sample_block);
  }
  std::size_t& filled(std::size_t b) noexcept { return filled_[b]; }
  bool full(std::size_t b) const noexcept { return filled_[b] == length(b); }
  RandomStream& rng(std::size_t b) noexcept { return rng_[b]; }
  std::size_t kept() const noexcept {
    std::size_t sum = 0;
    for (std::size_t b = 0; b < blocks_; ++b) sum += filled_[b];
    return sum;
  }
  // Draws for a block lacking `lack` entries in a later round: the lack plus
  // twice the repeats expected when a share taken / total of values is taken
  // (total 0: beyond 64 bits, no repeats to expect), plus two; capped, as
  // the margin only saves rounds.
  static std::size_t draws_for(std::size_t lack, std::uint64_t taken, std::uint64_t total) noexcept {
    std::size_t expected = 0;
    if (total != 0) {
      expected = static_cast<std::size_t>(std::min<unsigned __int128>(
          static_cast<unsigned __int128>(lack) * taken / (total - taken), 4 * lack + 64));
    }
    return lack + 2 * expected + 2;
  }

 private:
  std::size_t size_, blocks_;
  std::unique_ptr<RandomStream[]> rng_;
  std::unique_ptr<std::size_t[]> filled_;
};

// Distinct ranks by drawing and dropping repeats, in rounds (see the top of
// the file). Round one draws in place; what it keeps moves down within its
// block. Allocates 2.3 to 4.5 bytes per entry for the hash bit maps (at
// most 4.5 MiB more for small samples), and lists of the values that may
// repeat and of later rounds.
template <typename R, typename Stop>
void distinct_ranks_by_rejection(std::uint64_t seed, R count, std::size_t size, R* out, Stop& should_stop) {
  const unsigned bits = hash_bits_for(size);
  HashBits seen(bits), hot(bits - 3);
  BlockFill fill(seed, size);
  for (std::size_t b = 0; b < fill.blocks(); ++b) {
    if (should_stop()) return;
    for (std::size_t p = fill.begin(b); p < fill.begin(b) + fill.length(b); ++p) {
      out[p] = bounded(fill.rng(b), count);
    }
  }
  const auto make_exact = [](std::size_t entries) { return RankSet<R>(entries); };
  judge_candidates(
      size, seen, hot, [&](std::size_t i) { return rank_hash(out[i]); },
      [&](std::size_t i) { return out[i]; }, [](auto) {}, [](std::size_t) { return false; },
      [&](std::size_t begin, std::size_t end) {
        while (begin < end) {  // one block at a time
          const std::size_t b = begin / sample_block;
          const std::size_t stop = std::min(end, fill.begin(b) + sample_block);
          const std::size_t to = fill.begin(b) + fill.filled(b);
          if (to != begin) std::memmove(out + to, out + begin, (stop - begin) * sizeof(*out));
          fill.filled(b) += stop - begin;
          begin = stop;
        }
      },
      make_exact, should_stop);
  if (should_stop()) return;
  std::vector<R> drawn;
  std::vector<std::size_t> owner;
  // Beyond 64 bits no repeat is to be expected: draws_for takes 0 for that.
  const std::uint64_t total = count >> 63 >> 1 ? 0 : static_cast<std::uint64_t>(count);
  for (std::size_t kept = fill.kept(); kept < size; kept = fill.kept()) {
    drawn.clear();
    owner.clear();
    for (std::size_t b = 0; b < fill.blocks(); ++b) {
      if (fill.full(b)) continue;
      // kept < count / 3: the share taken stays small.
      const std::size_t draws = BlockFill::draws_for(fill.length(b) - fill.filled(b), kept, total);
      for (std::size_t j = 0; j < draws; ++j) {
        drawn.push_back(bounded(fill.rng(b), count));
        owner.push_back(b);
      }
    }
    judge_candidates(
        drawn.size(), seen, hot, [&](std::size_t i) { return rank_hash(drawn[i]); },
        [&](std::size_t i) { return drawn[i]; },
        [&](auto visit) {
          for (std::size_t b = 0; b < fill.blocks(); ++b) {
            for (std::size_t p = fill.begin(b); p < fill.begin(b) + fill.filled(b); ++p) {
              visit(rank_hash(out[p]), out[p]);
            }
          }
        },
        [&](std::size_t i) { return fill.full(owner[i]); },
        [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) {
            const std::size_t b = owner[i];
            if (!fill.full(b)) out[fill.begin(b) + fill.filled(b)++] = drawn[i];
          }
        },
        make_exact, should_stop);
    if (should_stop()) return;
  }
}

// Distinct ranks by a partial Fisher-Yates shuffle of 0..count-1: entry i is
// drawn uniformly from the count - i values not taken yet. Allocates count
// values of type T (T holds count - 1).
template <typename T, typename Stop>
void distinct_ranks_by_shuffle(std::uint64_t seed, std::uint64_t count, std::size_t size, Rank* out,
                               Stop& should_stop) {
  const auto values = std::make_unique_for_overwrite<T[]>(static_cast<std::size_t>(count));
  for (std::uint64_t v = 0; v < count; ++v) values[v] = static_cast<T>(v);
  for (std::size_t begin = 0; begin < size; begin += sample_block) {
    if (should_stop()) return;
    RandomStream rng = stream(seed, begin / sample_block);
    const std::size_t end = std::min(size, begin + sample_block);
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint64_t j = i + bounded(rng, count - i);
      const T picked = values[j];
      values[j] = values[i];
      out[i] = picked;
    }
  }
}

// Whether sample_distinct_ranks shuffles all count values instead of
// drawing with repeats dropped.
constexpr bool distinct_ranks_are_dense(std::uint64_t count, std::size_t size) noexcept { return count / 3 <= size; }

}  // namespace detail

// The most that sample_distinct_ranks(seed, count, size, ...) allocates
// besides out, 2^64 - 1 where it is more: the shuffle table, or the two
// hash bit maps and, at 3 bytes per entry, the lists of values that may
// repeat and of later rounds. Does not allocate.
inline std::uint64_t distinct_ranks_bytes(std::uint64_t count, std::size_t size) noexcept {
  if (size == 0) return 0;
  if (detail::distinct_ranks_are_dense(count, size)) {
    return count <= (std::uint64_t{1} << 32) ? 4 * count : count > ~std::uint64_t{0} / 8 ? ~std::uint64_t{0} : 8 * count;
  }
  if (size > std::size_t{1} << 56) return ~std::uint64_t{0};  // no machine has it; bits stay below 64
  const unsigned bits = detail::hash_bits_for(size);
  return (std::uint64_t{1} << (bits - 3)) + (std::uint64_t{1} << (bits - 6)) + std::uint64_t{size} * 3;
}

// Writes `size` distinct ranks in [0, count), each uniform, in random order:
// every prefix is a uniform sample of its size. Depends only on (seed, count,
// size). Where count <= 3 size, a partial Fisher-Yates shuffle of all count
// values (allocates 4 bytes per value, 8 from count > 2^32); otherwise draws
// with repeats dropped (see the top of the file; on average count *
// ln(count / (count - size)) < 1.22 size draws), which allocates 2.3 to 4.5
// bytes per entry (and up to 4.5 MiB more), and more only for the values
// that may repeat.
// Throws std::bad_alloc, possibly after writing part of out; returns early,
// the sample incomplete, once should_stop() says so. Preconditions: 1 <=
// count < 2^64 (or size = 0), size <= count, out holds size values.
template <typename Stop = NeverStop>
void sample_distinct_ranks(std::uint64_t seed, std::uint64_t count, std::size_t size, Rank* out,
                           Stop should_stop = {}) {
  if (size == 0) return;
  if (!detail::distinct_ranks_are_dense(count, size)) {
    detail::distinct_ranks_by_rejection(seed, count, size, out, should_stop);
  } else if (count <= (std::uint64_t{1} << 32)) {
    detail::distinct_ranks_by_shuffle<std::uint32_t>(seed, count, size, out, should_stop);
  } else {
    detail::distinct_ranks_by_shuffle<Rank>(seed, count, size, out, should_stop);
  }
}

// The same for 2^64 <= count < 2^128, wide ranks: always by drawing with
// repeats dropped, as size <= 2^63 < count / 3. Allocates as the rejection
// draws above, with 16-byte lists and exact sets.
template <typename Stop = NeverStop>
void sample_distinct_ranks(std::uint64_t seed, WideRank count, std::size_t size, WideRank* out,
                           Stop should_stop = {}) {
  if (size == 0) return;
  detail::distinct_ranks_by_rejection(seed, count, size, out, should_stop);
}

// Writes the entries at positions [begin, end) of a sample with repeats: each
// rank uniform in [0, count) and independent of the others; R is Rank or
// WideRank. Pieces split at block boundaries give the whole. Does not
// allocate. Preconditions: 1 <= count, begin is a multiple of sample_block,
// out holds end - begin values.
template <typename R>
void sample_ranks_with_replacement(std::uint64_t seed, std::type_identity_t<R> count, std::size_t begin,
                                   std::size_t end, R* out) noexcept {
  for (std::size_t block = begin; block < end; block += sample_block) {
    RandomStream rng = stream(seed, block / sample_block);
    const std::size_t stop = std::min(end, block + sample_block);
    for (std::size_t i = block; i < stop; ++i) *out++ = bounded(rng, count);
  }
}

namespace detail {

// One bit per vertex, n <= max_vertex_count, all clear between rows: 8 KiB,
// on the stack.
using VertexBits = std::uint64_t[max_vertex_count / 64];
static_assert(sizeof(VertexBits) <= 8192, "a bit per vertex must stay small enough for the stack");

// Sorts a row of distinct vertices in place. Short rows by counting, for
// each vertex, the ones below it: its place, found without branches.
template <typename V>
void sort_row(V* row, std::int64_t k) noexcept {
  if (k > 32) {
    std::sort(row, row + k);
    return;
  }
  V v[32];
  std::memcpy(v, row, static_cast<std::size_t>(k) * sizeof(V));
  for (std::int64_t i = 0; i < k; ++i) {
    std::int64_t below = 0;
    for (std::int64_t j = 0; j < k; ++j) below += v[j] < v[i];
    row[below] = v[i];
  }
}

// What draw_row keeps between rows: for 16-bit vertices a bit per vertex
// (8 KiB, no allocation); for wider ones, whose bit map could take 512 MiB,
// a hash set of the draws of one row and the list of them, which allocate
// 24 bytes per vertex drawn (grown as needed; std::bad_alloc on failure).
template <typename V>
struct RowScratch {
  VertexBits bits = {};
};

template <>
struct RowScratch<WideVertex> {
  std::vector<std::uint64_t> slots;  // vertex + 1, 0 for free
  std::vector<WideVertex> drawn;
  std::uint64_t mask = 0;

  // Makes room for d draws, all slots free.
  void reserve(std::int64_t d) {
    const auto wanted = std::bit_ceil(static_cast<std::uint64_t>(2 * d + 2));
    if (slots.size() < wanted) slots.assign(wanted, 0);
    mask = slots.size() - 1;
    drawn.clear();
  }
  // Adds v, or returns false when it is in already.
  bool insert(std::uint64_t v) noexcept {
    for (std::uint64_t i = (v * RandomStream::gamma) >> 32 & mask;; i = (i + 1) & mask) {
      if (slots[i] == v + 1) return false;
      if (slots[i] == 0) {
        slots[i] = v + 1;
        return true;
      }
    }
  }
  // Frees the slots of the draws: O(draws), not O(slots).
  void clear() noexcept {
    for (const WideVertex v : drawn) {
      for (std::uint64_t i = (v * RandomStream::gamma) >> 32 & mask;; i = (i + 1) & mask) {
        if (slots[i] == 0) break;
        slots[i] = 0;  // a run of occupied slots from v's home on: all cleared
      }
    }
    drawn.clear();
  }
};

// A uniform k-subset of {0..n-1} into row, smallest first. Floyd's algorithm
// picks d = min(k, n - k) vertices in d draws: for j = n-d..n-1 it adds a
// uniform t <= j, or j itself if t is already in, which keeps the set a
// uniform subset of {0..j} (each (m+1)-set of {0..j} arises from exactly
// m+1 of the (j+1) * C(j, m) equally likely (set, t) pairs). Where k > n/2
// the d vertices are the ones left out. The row comes out of the bit map by
// a scan where the map is dense or the row long, else by sorting the draws;
// wide vertices always by sorting them. Leaves the scratch clear.
// Preconditions: 1 <= k <= n <= vertex_limit<V>, scratch clear. Does not
// allocate for 16-bit vertices.
inline void draw_row(RandomStream& rng, std::int64_t n, std::int64_t k, RowScratch<Vertex>& scratch,
                     Vertex* row) noexcept {
  std::uint64_t* const bits = scratch.bits;
  const bool left_out = 2 * k > n;
  const std::int64_t d = left_out ? n - k : k;
  for (std::int64_t j = n - d; j < n; ++j) {
    std::uint64_t v = bounded(rng, static_cast<std::uint64_t>(j + 1));
    if (bits[v >> 6] >> (v & 63) & 1) v = static_cast<std::uint64_t>(j);
    bits[v >> 6] |= std::uint64_t{1} << (v & 63);
    if (!left_out) row[j - (n - d)] = static_cast<Vertex>(v);
  }
  if (left_out || n <= 16 * k || (k > 32 && n <= 512 * k)) {
    const std::int64_t words = (n + 63) / 64;
    Vertex* o = row;
    for (std::int64_t w = 0; w < words; ++w) {
      std::uint64_t word = bits[w];
      bits[w] = 0;
      if (left_out) {
        word = ~word;
        if (w == words - 1 && n % 64 != 0) word &= (std::uint64_t{1} << (n % 64)) - 1;
      }
      for (; word != 0; word &= word - 1) {
        *o++ = static_cast<Vertex>(64 * w + __builtin_ctzll(word));
      }
    }
  } else {
    for (std::int64_t i = 0; i < k; ++i) bits[row[i] >> 6] = 0;
    sort_row(row, k);
  }
}

inline void draw_row(RandomStream& rng, std::int64_t n, std::int64_t k, RowScratch<WideVertex>& scratch,
                     WideVertex* row) {
  const bool left_out = 2 * k > n;
  const std::int64_t d = left_out ? n - k : k;
  scratch.reserve(d);
  for (std::int64_t j = n - d; j < n; ++j) {
    std::uint64_t v = bounded(rng, static_cast<std::uint64_t>(j + 1));
    if (!scratch.insert(v)) {
      v = static_cast<std::uint64_t>(j);
      scratch.insert(v);
    }
    scratch.drawn.push_back(static_cast<WideVertex>(v));
  }
  std::vector<WideVertex>& drawn = scratch.drawn;
  std::sort(drawn.begin(), drawn.end());
  if (!left_out) {
    std::copy(drawn.begin(), drawn.end(), row);
  } else {
    WideVertex* o = row;
    std::uint64_t next = 0;
    for (const WideVertex skip : drawn) {
      for (; next < skip; ++next) *o++ = static_cast<WideVertex>(next);
      next = std::uint64_t{skip} + 1;
    }
    for (; next < static_cast<std::uint64_t>(n); ++next) *o++ = static_cast<WideVertex>(next);
  }
  scratch.clear();
}

// Fisher-Yates: entry i swaps with a uniform one of 0..i, from the top down,
// so each of the k! orders is equally likely. Does not allocate.
template <typename V>
void shuffle_row(RandomStream& rng, std::int64_t k, V* row) noexcept {
  for (std::int64_t i = k - 1; i > 0; --i) {
    const auto j = static_cast<std::int64_t>(bounded(rng, static_cast<std::uint64_t>(i + 1)));
    std::swap(row[i], row[j]);
  }
}

}  // namespace detail

// A uniform k-permutation of {0..n-1} into row: a uniform k-subset, then
// shuffled with the same stream, each of its k! orders equally likely.
// Leaves the scratch clear. Preconditions: 1 <= k <= n <= vertex_limit<V>,
// scratch clear. Does not allocate for 16-bit vertices; wide ones allocate
// as draw_row does (std::bad_alloc).
inline void draw_permutation_row(RandomStream& rng, std::int64_t n, std::int64_t k, detail::RowScratch<Vertex>& scratch,
                                 Vertex* row) noexcept {
  detail::draw_row(rng, n, k, scratch, row);
  detail::shuffle_row(rng, k, row);
}

inline void draw_permutation_row(RandomStream& rng, std::int64_t n, std::int64_t k, detail::RowScratch<WideVertex>& scratch,
                                 WideVertex* row) {
  detail::draw_row(rng, n, k, scratch, row);
  detail::shuffle_row(rng, k, row);
}

namespace detail {

// A uniform row of family F (subsets or permutations).
template <Family F, typename V>
void draw_family_row(RandomStream& rng, std::int64_t n, std::int64_t k, RowScratch<V>& scratch, V* row) {
  static_assert(F == Family::subsets || F == Family::permutations, "multisets are drawn as subsets of n + k - 1");
  if constexpr (F == Family::permutations) {
    draw_permutation_row(rng, n, k, scratch, row);
  } else {
    draw_row(rng, n, k, scratch, row);
  }
}

// The number of rows of family F, 0 where it is 2^64 or more.
template <Family F>
std::uint64_t family_count_below_2_64(std::int64_t n, std::int64_t k) noexcept {
  const auto un = static_cast<std::uint64_t>(n), uk = static_cast<std::uint64_t>(k);
  if constexpr (F == Family::permutations) {
    bool overflow = false;
    const WideRank count = perm_wide(un, uk, overflow);
    return overflow || count >> 64 != 0 ? 0 : static_cast<std::uint64_t>(count);
  } else {
    return binom_overflows(un, uk) ? 0 : binom(un, uk);
  }
}

// A 64-bit hash of a row's k vertices, well mixed in its top bits, taking
// as many vertices at a time as fill a 64-bit word.
template <typename V>
std::uint64_t row_hash(const V* row, std::int64_t k) noexcept {
  constexpr auto per_word = static_cast<std::int64_t>(sizeof(std::uint64_t) / sizeof(V));
  std::uint64_t h = static_cast<std::uint64_t>(k);
  std::int64_t i = 0;
  for (; i + per_word <= k; i += per_word) {
    std::uint64_t word;
    std::memcpy(&word, row + i, sizeof(word));
    h = (h ^ word) * RandomStream::gamma;
    h ^= h >> 32;
  }
  for (; i < k; ++i) h = (h ^ row[i]) * RandomStream::gamma;
  return mix64(h);
}

}  // namespace detail

// Writes the rows at positions [begin, end) of a sample with repeats: each a
// uniform row of family F (subsets: k vertices smallest first; or
// permutations), independent of the others, for any count of rows. Pieces
// split at block boundaries give the whole. Uses 8 KiB of stack and does not
// allocate for 16-bit vertices; wide ones allocate a row's draws
// (std::bad_alloc). Preconditions: 0 <= k <= n <= vertex_limit<V>, begin is
// a multiple of sample_block, out holds (end - begin) k values.
template <Family F, typename V>
void sample_rows_with_replacement(std::uint64_t seed, std::int64_t n, std::int64_t k, std::size_t begin,
                                  std::size_t end, V* out) {
  if (k == 0) return;
  detail::RowScratch<V> bits;
  for (std::size_t block = begin; block < end; block += sample_block) {
    RandomStream rng = stream(seed, block / sample_block);
    const std::size_t stop = std::min(end, block + sample_block);
    for (std::size_t i = block; i < stop; ++i, out += k) detail::draw_family_row<F>(rng, n, k, bits, out);
  }
}

// Writes `size` distinct rows of family F (subsets: k vertices smallest
// first; or permutations), each uniform, in random order (every prefix a
// uniform sample), for any count C of rows (C(n, k) or P(n, k)), 2^64 and
// beyond included: rows drawn with repeats dropped (see the top of the
// file). Meant for size well below C: the draws average C ln(C / (C -
// size)); where C < 2^64, sample_distinct_ranks and unranking do the job
// without that cost. Allocates 10.5 to 13 bytes per
// row, and later lists of a round's size; throws std::bad_alloc,
// possibly after writing part of out; returns early, the sample
// incomplete, once should_stop() says so. Preconditions: 0 <= k <= n <=
// vertex_limit<V>, size <= C, out holds size * k values.
template <Family F, typename V, typename Stop = NeverStop>
void sample_distinct_rows(std::uint64_t seed, std::int64_t n, std::int64_t k, std::size_t size, V* out,
                          Stop should_stop = {}) {
  if (k == 0 || size == 0) return;
  using RowRef = detail::RowRef<V>;
  const auto width = static_cast<std::size_t>(k);
  const unsigned bits = detail::hash_bits_for(size);
  detail::HashBits seen(bits), hot(bits - 3);
  detail::BlockFill fill(seed, size);
  std::vector<std::uint64_t> hashes(size);  // of the row at each position
  std::vector<bool> kept_here(size);
  detail::RowScratch<V> vertex_bits;
  for (std::size_t b = 0; b < fill.blocks(); ++b) {
    if (should_stop()) return;
    for (std::size_t p = fill.begin(b); p < fill.begin(b) + fill.length(b); ++p) {
      detail::draw_family_row<F>(fill.rng(b), n, k, vertex_bits, out + p * width);
      hashes[p] = detail::row_hash(out + p * width, k);
    }
  }
  const auto make_exact = [k](std::size_t entries) { return detail::RowSet<V>(entries, k); };
  // Round one keeps rows where they are until all are judged: the exact set
  // points at them.
  detail::judge_candidates(
      size, seen, hot, [&](std::size_t i) { return hashes[i]; },
      [&](std::size_t i) { return RowRef{hashes[i], out + i * width}; }, [](auto) {},
      [](std::size_t) { return false; },
      [&](std::size_t begin, std::size_t end) {
        std::fill(kept_here.begin() + static_cast<std::ptrdiff_t>(begin),
                  kept_here.begin() + static_cast<std::ptrdiff_t>(end), true);
      },
      make_exact, should_stop);
  if (should_stop()) return;
  for (std::size_t b = 0; b < fill.blocks(); ++b) {
    for (std::size_t p = fill.begin(b); p < fill.begin(b) + fill.length(b); ++p) {
      if (!kept_here[p]) continue;
      const std::size_t to = fill.begin(b) + fill.filled(b)++;
      if (to == p) continue;
      std::memcpy(out + to * width, out + p * width, width * sizeof(V));
      hashes[to] = hashes[p];
    }
  }
  const std::uint64_t total = detail::family_count_below_2_64<F>(n, k);
  std::vector<V> drawn;
  std::vector<std::uint64_t> drawn_hashes;
  std::vector<std::size_t> owner;
  for (std::size_t kept = fill.kept(); kept < size; kept = fill.kept()) {
    drawn.clear();
    drawn_hashes.clear();
    owner.clear();
    for (std::size_t b = 0; b < fill.blocks(); ++b) {
      if (fill.full(b)) continue;
      const std::size_t lack = fill.length(b) - fill.filled(b);
      const std::size_t draws = detail::BlockFill::draws_for(lack, kept, total);
      for (std::size_t j = 0; j < draws; ++j) {
        drawn.resize(drawn.size() + width);
        V* row = drawn.data() + drawn.size() - width;
        detail::draw_family_row<F>(fill.rng(b), n, k, vertex_bits, row);
        drawn_hashes.push_back(detail::row_hash(row, k));
        owner.push_back(b);
      }
    }
    detail::judge_candidates(
        owner.size(), seen, hot, [&](std::size_t i) { return drawn_hashes[i]; },
        [&](std::size_t i) { return RowRef{drawn_hashes[i], drawn.data() + i * width}; },
        [&](auto visit) {
          for (std::size_t b = 0; b < fill.blocks(); ++b) {
            for (std::size_t p = fill.begin(b); p < fill.begin(b) + fill.filled(b); ++p) {
              visit(hashes[p], RowRef{hashes[p], out + p * width});
            }
          }
        },
        [&](std::size_t i) { return fill.full(owner[i]); },
        [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) {
            if (fill.full(owner[i])) continue;
            const std::size_t to = fill.begin(owner[i]) + fill.filled(owner[i])++;
            std::memcpy(out + to * width, drawn.data() + i * width, width * sizeof(V));
            hashes[to] = drawn_hashes[i];
          }
        },
        make_exact, should_stop);
    if (should_stop()) return;
  }
}

}  // namespace combinatorial
