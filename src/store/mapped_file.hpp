// A file read into memory: mapped read-only where the system can (its pages then shared by every
// process that maps the same file, and kept alive by the mapping even after the file is replaced
// or removed), or copied into a buffer of its own. Either way the bytes start at an address
// aligned for any element a container holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "common/cancel.hpp"
#include "common/expected.hpp"

namespace torrelm::store {

struct FileError {
  int code;  // errno
  std::string message;
};

class FileBytes {
 public:
  // The whole of the regular file open on `fd` (which the caller keeps and closes): mapped when
  // `map`, else read into a buffer (the read counts its work on `cancel`). A file that changes
  // size while it is read is refused.
  static Expected<FileBytes, FileError> of(int fd, bool map, Cancel cancel = {});

  // Bytes of a buffer copied from `bytes`, aligned as a mapping is.
  static FileBytes copy_of(std::span<const std::uint8_t> bytes);

  std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }
  bool mapped() const noexcept { return mapped_; }

  FileBytes(FileBytes&& other) noexcept;
  FileBytes& operator=(FileBytes&&) = delete;
  FileBytes(const FileBytes&) = delete;
  ~FileBytes();

 private:
  FileBytes() = default;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
  std::unique_ptr<std::uint64_t[]> buffer_;
};

// Makes the empty file open on `fd` `size` bytes long and has `fill` write them in place, through
// a writable mapping (no buffer of the file's size beside the data being written). The caller
// flushes the file to disk.
Expected<bool, FileError> write_file(int fd, std::uint64_t size,
                                     const std::function<void(std::span<std::uint8_t>)>& fill);

}  // namespace torrelm::store
