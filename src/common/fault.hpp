// A broken invariant met inside an operation: an internal fault. The core throws it only for
// that; expected failures (bad build input, bad bytes) are values. The module boundary turns it
// into PanicException and leaves every index untouched.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace torrelm {

// Where a fault was detected. SourceLocation where the standard library has it; the
// compiler builtins it rests on otherwise (clang before 15 with libstdc++), so that the core
// builds with the toolchains of the fuzzing and sanitizer jobs too.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE()) noexcept {
    SourceLocation here;
    here.file_ = file;
    here.line_ = line;
    return here;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr unsigned line() const noexcept { return line_; }

 private:
  const char* file_ = "";
  unsigned line_ = 0;
};
#endif

struct InternalFault : std::logic_error {
  InternalFault(const std::string& what, SourceLocation at) : std::logic_error(what), where(at) {}
  SourceLocation where;
};

[[noreturn]] void throw_out_of_bounds(std::size_t len, std::size_t index, SourceLocation where);

// Guarded read: every read by node id or position in the index goes through here, because an
// index restored from bytes may be inconsistent in any way.
template <class Sequence>
decltype(auto) checked_at(const Sequence& items, std::size_t index,
                          SourceLocation where = SourceLocation::current()) {
  if (index >= items.size()) throw_out_of_bounds(items.size(), index, where);
  return items[index];
}

}  // namespace torrelm
