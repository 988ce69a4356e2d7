#include "tools/common/file_io.h"

#include <cerrno>

namespace runfiles {

bool ReadAt(int fd, std::int64_t offset, std::uint8_t* bytes, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace runfiles
