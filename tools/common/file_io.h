// File descriptors for the tools: one that closes itself, and reading a
// stretch of a file in full.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace runfiles {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes it now; false (errno set) when the close reports an error.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

// Reads exactly `size` bytes at `offset`; false at the end of the file
// (errno EIO) or on an error (errno as the read set it).
bool ReadAt(int fd, std::int64_t offset, std::uint8_t* bytes, std::size_t size);

}  // namespace runfiles
