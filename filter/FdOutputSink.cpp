#include "filter/FdOutputSink.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>

// A short write is completed and an interrupted one retried; a write that
// fails or makes no progress ends it.
bool CFdOutputSink::Write(const void* data, size_t length, size_t* written, int* error) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(m_fd, p + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *written = done;
      *error = n < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  *written = done;
  if (m_fd == 1) std::fflush(stdout);
  return true;
}
