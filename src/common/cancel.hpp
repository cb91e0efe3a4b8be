// Cancel: how long native work learns that its caller wants it to stop.
//
// Work that can run long (a walk over a large or oddly shaped index, propagation, decoding)
// counts its steps on a Cancel and, every kInterval steps, asks the hook whether to stop. The core
// knows nothing of signals or interpreters: each boundary supplies its own hook (the Python module
// checks for pending signals). A hook that says stop makes step() throw Cancelled; everything the
// work held is released on the way out, as for any other exception, and what it was reading is
// left as it was. The default Cancel never stops.
#pragma once

#include <cstddef>
#include <exception>

namespace torrelm {

// The work was stopped by its caller's hook. The hook itself records why (for the module, the
// Python exception that a signal handler raised stays set).
struct Cancelled : std::exception {
  const char* what() const noexcept override { return "cancelled by the caller"; }
};

class Cancel {
 public:
  // Returns true when the work should stop. Called from the thread doing the work.
  using Hook = bool (*)(void* context) noexcept;

  // A few thousand cheap steps (one visited node, one merged entry) between two looks at the
  // hook: the hook's cost disappears, and a stop still comes within well under a millisecond.
  static constexpr std::size_t kInterval = 4096;

  constexpr Cancel() noexcept = default;
  constexpr Cancel(Hook hook, void* context) noexcept : hook_(hook), context_(context) {}

  // Counts `steps` steps of work; may throw Cancelled.
  void step(std::size_t steps = 1) {
    if (steps < countdown_) {
      countdown_ -= steps;
      return;
    }
    countdown_ = kInterval;
    if (hook_ != nullptr && hook_(context_)) throw Cancelled();
  }

  // Asks the hook now, whatever the count.
  void check() {
    countdown_ = kInterval;
    if (hook_ != nullptr && hook_(context_)) throw Cancelled();
  }

 private:
  Hook hook_ = nullptr;
  void* context_ = nullptr;
  std::size_t countdown_ = kInterval;
};

}  // namespace torrelm
