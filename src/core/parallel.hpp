// Splitting a batch across threads: plain std::threads over contiguous
// ranges, started for the call and joined before it returns, so that nothing
// outlives a call (a forked child inherits no pool). A process-wide budget of
// the cores the process may use bounds the threads of all concurrent calls.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace core {

// The cores this process may run on (its affinity mask), at least 1.
inline int usable_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Slots for running threads, one per usable core, shared by every call.
class ThreadBudget {
 public:
  static ThreadBudget& instance() {
    static ThreadBudget budget;
    return budget;
  }

  // Takes up to `wanted` slots and returns how many it took (possibly 0).
  int take(int wanted) noexcept {
    int free = free_.load(std::memory_order_relaxed);
    while (free > 0) {
      const int got = std::min(free, wanted);
      if (free_.compare_exchange_weak(free, free - got, std::memory_order_acquire)) return got;
    }
    return 0;
  }
  void give_back(int slots) noexcept { free_.fetch_add(slots, std::memory_order_release); }

 private:
  ThreadBudget() : free_(usable_cores()) {
    // A child forked while other threads held slots starts with all of them.
    pthread_atfork(nullptr, nullptr, [] { instance().free_.store(usable_cores()); });
  }
  std::atomic<int> free_;
};

// Runs body(begin, end) over [0, size) split into contiguous ranges, on the
// calling thread and up to workers - 1 others, each range at least `grain`
// items long, so small batches stay on one thread. A negative `workers`
// counts back from the usable cores (-1: all of them). The first exception
// a range throws is rethrown once all have finished.
template <typename Body>
void parallel_for(std::size_t size, int workers, std::size_t grain, Body body) {
  const std::size_t useful = size / std::max<std::size_t>(grain, 1);
  if (useful <= 1 || workers == 1) return body(std::size_t{0}, size);
  if (workers < 0) workers = std::max(1, usable_cores() + 1 + workers);
  const int wanted = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(workers, 1)), useful));
  if (wanted <= 1) return body(std::size_t{0}, size);
  ThreadBudget& budget = ThreadBudget::instance();
  const int slots = budget.take(wanted);
  const int threads = std::max(slots, 1);
  std::vector<std::exception_ptr> errors(static_cast<std::size_t>(threads));
  const auto run = [&](int t) {
    const auto share = [&](int i) {
      const auto parts = static_cast<std::size_t>(threads), at = static_cast<std::size_t>(i);
      return at * (size / parts) + std::min(at, size % parts);
    };
    const std::size_t begin = share(t), end = share(t + 1);
    try {
      body(begin, end);
    } catch (...) {
      errors[static_cast<std::size_t>(t)] = std::current_exception();
    }
  };
  std::vector<std::thread> started;
  try {
    for (int t = 1; t < threads; ++t) started.emplace_back(run, t);
  } catch (...) {
    // Threads that could not start leave their ranges to this one.
    for (int t = static_cast<int>(started.size()) + 1; t < threads; ++t) run(t);
  }
  run(0);
  for (std::thread& thread : started) thread.join();
  budget.give_back(slots);
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

// The first index of [0, size) at which find(begin, end) reports an
// offender (find returns end for none), or size; ranges run in parallel.
template <typename Find>
std::size_t first_offender(std::size_t size, int workers, std::size_t grain, Find find) {
  std::atomic<std::size_t> first{size};
  parallel_for(size, workers, grain, [&](std::size_t begin, std::size_t end) {
    const std::size_t at = find(begin, end);
    if (at == end) return;
    std::size_t seen = first.load();
    while (at < seen && !first.compare_exchange_weak(seen, at)) {
    }
  });
  return first.load();
}

}  // namespace core
