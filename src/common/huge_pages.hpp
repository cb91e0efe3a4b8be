// Asking the kernel to back a large array with huge pages. A walk that jumps across tens of
// megabytes misses the TLB at nearly every jump on 4 KiB pages; 2 MiB pages cover the whole array
// with a few dozen entries. Only a hint: where transparent huge pages are off, nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace torrelm {

// Call before the array is first written: pages already touched stay small until the kernel
// gets round to merging them.
inline void prefer_huge_pages(const void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) {
    (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace torrelm
