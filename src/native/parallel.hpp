// Batches answered on every core: work items taken in turn by the calling thread (which released
// the interpreter lock and watches for signals) and by helper threads of its own.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/cancel.hpp"

namespace torrelm::native {

// Runs work(i, cancel) for every i in [0, count), on up to hardware_concurrency() threads, each
// item once. Call without the interpreter lock; `cancel` is the caller's (run_released's). The
// first exception any item throws (Cancelled included) stops the others at their next look at
// their Cancel and is rethrown here once every thread has finished.
template <class Work>
void run_parallel(std::size_t count, Cancel cancel, Work&& work) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr failure;
  std::mutex failure_lock;
  const auto fail = [&](std::exception_ptr error) {
    const std::lock_guard lock(failure_lock);
    if (!failure) failure = error;
    stop.store(true, std::memory_order_relaxed);
  };
  const auto drain = [&](Cancel& mine) {
    try {
      for (std::size_t i; !stop.load(std::memory_order_relaxed) &&
                          (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
        // The core takes its Cancel by value: the steps of an item are lost when it returns, and
        // a batch of items each shorter than Cancel::kInterval steps would never look at the hook.
        // A look per item costs a clock read (the caller's) or a flag read (a helper's).
        mine.check();
        work(i, mine);
      }
    } catch (...) {
      fail(std::current_exception());
    }
  };
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t helpers = std::min(cores, count) > 0 ? std::min(cores, count) - 1 : 0;
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  // A helper stops when the caller's watch, or any item, has said so.
  const Cancel::Hook stopped = [](void* flag) noexcept {
    return static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
  };
  std::mutex running_lock;
  std::condition_variable finished;
  std::size_t running = 0;
  for (std::size_t t = 0; t < helpers; ++t) {
    running_lock.lock();
    ++running;  // before the thread starts, which may finish at once
    running_lock.unlock();
    try {
      threads.emplace_back([&] {
        Cancel mine(stopped, &stop);
        drain(mine);
        const std::lock_guard lock(running_lock);
        --running;
        finished.notify_one();
      });
    } catch (const std::system_error&) {
      // No more threads to be had: those there are do the rest.
      const std::lock_guard lock(running_lock);
      --running;
      break;
    }
  }
  drain(cancel);
  // The helpers may still be at long items: the caller keeps looking at its Cancel meanwhile, so
  // that Ctrl-C stops a batch as soon as it would stop a single call.
  try {
    std::unique_lock lock(running_lock);
    while (running > 0) {
      finished.wait_for(lock, std::chrono::milliseconds(5));
      if (running == 0) break;
      lock.unlock();
      cancel.check();
      lock.lock();
    }
  } catch (...) {
    fail(std::current_exception());
  }
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace torrelm::native
