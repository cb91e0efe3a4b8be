#include "store/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "common/huge_pages.hpp"

namespace torrelm::store {
namespace {

Unexpected<FileError> failed(const char* what) {
  const int code = errno;
  return Unexpected{FileError{code, std::string(what) + ": " + std::strerror(code)}};
}

std::unique_ptr<std::uint64_t[]> aligned_buffer(std::size_t bytes) {
  // Left unset, as the bytes are written over at once (setting a large buffer first would cost as
  // much as reading it), but for the last word, so that no byte past the end is left unset.
  const std::size_t words = bytes / sizeof(std::uint64_t) + 1;
  auto buffer = std::make_unique_for_overwrite<std::uint64_t[]>(words);
  prefer_huge_pages(buffer.get(), words * sizeof(std::uint64_t));
  buffer[words - 1] = 0;
  return buffer;
}

}  // namespace

Expected<FileBytes, FileError> FileBytes::of(int fd, bool map, Cancel cancel) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return failed("fstat");
  if (!S_ISREG(status.st_mode)) {
    return Unexpected{FileError{EINVAL, "not a regular file"}};
  }
  if (static_cast<std::uint64_t>(status.st_size) > std::numeric_limits<std::size_t>::max() / 2) {
    return Unexpected{FileError{EFBIG, "too large for this machine's memory"}};
  }
  FileBytes file;
  file.size_ = static_cast<std::size_t>(status.st_size);
  if (file.size_ == 0) return file;
  if (map) {
    void* at = ::mmap(nullptr, file.size_, PROT_READ, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) return failed("mmap");
    file.data_ = static_cast<const std::uint8_t*>(at);
    file.mapped_ = true;
    return file;
  }
  file.buffer_ = aligned_buffer(file.size_);
  auto* out = reinterpret_cast<std::uint8_t*>(file.buffer_.get());
  file.data_ = out;
  std::size_t filled = 0;
  while (filled < file.size_) {
    constexpr std::size_t kRun = std::size_t{1} << 22;
    const std::size_t want = std::min(kRun, file.size_ - filled);
    const ssize_t got = ::pread(fd, out + filled, want, static_cast<off_t>(filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      return failed("read");
    }
    if (got == 0) return Unexpected{FileError{EIO, "the file shrank while it was read"}};
    filled += static_cast<std::size_t>(got);
    cancel.step(static_cast<std::size_t>(got) / 1024);
  }
  return file;
}

FileBytes FileBytes::copy_of(std::span<const std::uint8_t> bytes) {
  FileBytes file;
  file.size_ = bytes.size();
  if (bytes.empty()) return file;
  file.buffer_ = aligned_buffer(bytes.size());
  std::memcpy(file.buffer_.get(), bytes.data(), bytes.size());
  file.data_ = reinterpret_cast<const std::uint8_t*>(file.buffer_.get());
  return file;
}

FileBytes::FileBytes(FileBytes&& other) noexcept
    : data_(other.data_),
      size_(other.size_),
      mapped_(other.mapped_),
      buffer_(std::move(other.buffer_)) {
  other.data_ = nullptr;
  other.size_ = 0;
  other.mapped_ = false;
}

FileBytes::~FileBytes() {
  if (mapped_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

Expected<bool, FileError> write_file(int fd, std::uint64_t size,
                                     const std::function<void(std::span<std::uint8_t>)>& fill) {
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
      size > std::numeric_limits<std::size_t>::max() / 2) {
    return Unexpected{FileError{EFBIG, "too large to write"}};
  }
  const auto length = static_cast<std::size_t>(size);
  if (length == 0) {
    fill({});
    return true;
  }
  // Blocks are reserved before the mapping is written: a page of a sparse file that finds the
  // disk full would stop the process with SIGBUS instead of failing here with ENOSPC.
  const int reserved = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (reserved != 0) {
    errno = reserved;
    return failed("posix_fallocate");
  }
  void* at = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (at == MAP_FAILED) return failed("mmap");
  struct Unmap {
    void* at;
    std::size_t length;
    ~Unmap() { ::munmap(at, length); }
  } unmap{at, length};
  fill({static_cast<std::uint8_t*>(at), length});
  return true;
}

}  // namespace torrelm::store
