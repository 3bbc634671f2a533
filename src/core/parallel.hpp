// Splitting a batch across threads: plain std::threads over contiguous
// ranges, started for the call and joined before it returns, so that nothing
// outlives a call (a forked child inherits no pool). A process-wide budget of
// the cores the process may use bounds the threads of all concurrent calls.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
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

// How a long call learns that it should stop: a check the module installs
// at import (Ctrl-C, polled with the interpreter lock briefly re-taken), and
// a flag that its threads read between pieces of work. Without an installed
// check (the C++ tests) calls never stop early.
using StopCheck = bool (*)();

inline StopCheck& installed_stop_check() noexcept {
  static StopCheck check = nullptr;
  return check;
}

// Thrown once every thread of a call has stopped, when the check asked it to.
struct Interrupted {};

// The calling thread's side of a call's cancellation: polls the installed
// check at most every poll_interval, between pieces of work.
class StopPoll {
 public:
  static constexpr auto poll_interval = std::chrono::milliseconds(20);

  // Whether the call should stop; true once, then for good.
  bool operator()() {
    if (stopped_) return true;
    const StopCheck check = installed_stop_check();
    if (check == nullptr) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + poll_interval;
    stopped_ = check();
    return stopped_;
  }
  bool stopped() const noexcept { return stopped_; }

 private:
  std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + poll_interval;
  bool stopped_ = false;
};

// Runs body(begin, end) over [0, size) split into contiguous ranges, on the
// calling thread and up to workers - 1 others, each range at least `grain`
// items long, so small batches stay on one thread. Each range is worked in
// pieces of at most `grain` items, between which every thread sees whether
// the call was interrupted; the calling thread polls for it. A negative
// `workers` counts back from the usable cores (-1: all of them). The first
// exception a range throws is rethrown once all have finished; an interrupt
// throws Interrupted. Where body returns a value, a thread stops at the
// first piece whose result is below that piece's end (an offender found).
template <typename Body>
void parallel_for(std::size_t size, int workers, std::size_t grain, Body body) {
  grain = std::max<std::size_t>(grain, 1);
  std::atomic<bool> cancelled{false};
  StopPoll poll;
  const auto work = [&](std::size_t begin, std::size_t end, bool polls) {
    for (std::size_t at = begin; at < end; at += grain) {
      if (cancelled.load(std::memory_order_relaxed)) return;
      if (polls && poll()) {
        cancelled.store(true, std::memory_order_relaxed);
        return;
      }
      const std::size_t last = std::min(end, at + grain);
      if constexpr (std::is_void_v<decltype(body(at, last))>) {
        body(at, last);
      } else {
        if (body(at, last) != last) return;  // later pieces of this range cannot come first
      }
    }
  };
  const std::size_t useful = size / grain;
  if (workers < 0) workers = useful <= 1 ? 1 : std::max(1, usable_cores() + 1 + workers);
  const int wanted = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(workers, 1)), useful));
  if (wanted <= 1) {
    work(0, size, true);
    if (poll.stopped()) throw Interrupted{};
    return;
  }
  ThreadBudget& budget = ThreadBudget::instance();
  const int slots = budget.take(wanted);
  const int threads = std::max(slots, 1);
  std::vector<std::exception_ptr> errors(static_cast<std::size_t>(threads));
  int finished = 0;  // ranges done, under `done`
  std::mutex done;
  std::condition_variable ended;
  const auto run = [&](int t) {
    const auto share = [&](int i) {
      const auto parts = static_cast<std::size_t>(threads), at = static_cast<std::size_t>(i);
      return at * (size / parts) + std::min(at, size % parts);
    };
    try {
      work(share(t), share(t + 1), t == 0);
    } catch (...) {
      errors[static_cast<std::size_t>(t)] = std::current_exception();
      cancelled.store(true, std::memory_order_relaxed);  // the call fails: the others need not finish
    }
    const std::lock_guard<std::mutex> lock(done);
    ++finished;
    ended.notify_one();
  };
  std::vector<std::thread> started;
  try {
    for (int t = 1; t < threads; ++t) started.emplace_back(run, t);
  } catch (...) {
    // Threads that could not start leave their ranges to this one.
    for (int t = static_cast<int>(started.size()) + 1; t < threads; ++t) run(t);
  }
  run(0);
  // The calling thread keeps polling while the others finish their ranges.
  for (std::unique_lock<std::mutex> lock(done); finished < threads;) {
    if (ended.wait_for(lock, StopPoll::poll_interval, [&] { return finished == threads; })) break;
    lock.unlock();
    if (!cancelled.load(std::memory_order_relaxed) && poll()) cancelled.store(true, std::memory_order_relaxed);
    lock.lock();
  }
  for (std::thread& thread : started) thread.join();
  budget.give_back(slots);
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  if (poll.stopped()) throw Interrupted{};
}

// The first index of [0, size) at which find(begin, end) reports an
// offender (find returns end for none), or size; ranges run in parallel.
template <typename Find>
std::size_t first_offender(std::size_t size, int workers, std::size_t grain, Find find) {
  std::atomic<std::size_t> first{size};
  parallel_for(size, workers, grain, [&](std::size_t begin, std::size_t end) {
    const std::size_t at = find(begin, end);
    if (at == end) return end;
    std::size_t seen = first.load();
    while (at < seen && !first.compare_exchange_weak(seen, at)) {
    }
    return at;
  });
  return first.load();
}

}  // namespace core
