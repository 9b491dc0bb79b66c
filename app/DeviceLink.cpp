// The links of the application's own open devices: a registry from PAPPL's
// device to the scheme's LinkEnd (filled by open, emptied by close), and
// the writes and timed reads that the schemes and the links share.
//
// A link writes to the descriptor itself, not through papplDeviceWrite:
// the job's byte count (DeviceOutputSink compares PAPPL's device metrics
// with what it handed over) must not see a status question.
#include "app/DeviceLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

namespace tavel {
namespace {

void PauseMs(int ms) {
  if (ms <= 0) return;
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&t, &t) < 0 && errno == EINTR) {
  }
}

ssize_t WriteOnce(const LinkEnd& end, const void* data, size_t length) {
  return end.socket ? send(end.fd, data, length, MSG_NOSIGNAL) : write(end.fd, data, length);
}

class CFdLink : public IPrinterLink {
 public:
  CFdLink(pappl_device_t* device, LinkEnd* end) : m_device(device), m_end(end) {}
  const LinkEnd& End() const { return *m_end; }

  bool Send(const uint8_t* data, size_t length) override {
    // PAPPL's buffer goes out through the scheme's write first.
    papplDeviceFlush(m_device);
    if (m_end->lost) return false;
    int error = 0;
    return WriteAll(m_end, data, length, &error);
  }

  long Receive(uint8_t* buffer, size_t size, int timeoutMs) override {
    return ReadWithin(m_end, buffer, size, timeoutMs);
  }

 private:
  pappl_device_t* m_device;
  LinkEnd* m_end;
};

std::mutex g_lock;
std::map<pappl_device_t*, std::unique_ptr<CFdLink>> g_links;

}  // namespace

bool WriteAll(LinkEnd* end, const void* data, size_t length, int* error) {
  if (end->fd < 0) {
    *error = ENOTCONN;
    end->lost = true;
    return false;
  }
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    const size_t n = std::min(end->chunk, length - done);
    size_t sent = 0;
    while (sent < n) {
      const ssize_t w = WriteOnce(*end, p + done + sent, n - sent);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        *error = w < 0 ? errno : EIO;
        end->lost = true;
        return false;
      }
      sent += static_cast<size_t>(w);
    }
    done += n;
    PauseMs(end->pauseMs);
  }
  return true;
}

long ReadWithin(LinkEnd* end, void* buffer, size_t size, int timeoutMs) {
  if (end->fd < 0) return -1;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    const long left = std::max<long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
    struct pollfd p = {end->fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) return 0;
    // A hangup with bytes still to read: read them first, the end comes next.
    if (!(p.revents & POLLIN)) return -1;
    const ssize_t n = read(end->fd, buffer, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n > 0 ? static_cast<long>(n) : -1;
  }
}

int ConnectWithin(int family, int protocol, const struct sockaddr* address, unsigned size,
                  long limitMs, bool* noSocket) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  if (noSocket) *noSocket = fd < 0;
  if (fd < 0) return -1;
  int error = 0;
  if (connect(fd, address, size) < 0) {
    error = errno;
    if (error == EINPROGRESS) {
      struct pollfd p = {fd, POLLOUT, 0};
      int ready;
      while ((ready = poll(&p, 1, static_cast<int>(limitMs))) < 0 && errno == EINTR) {
      }
      socklen_t length = sizeof error;
      if (ready <= 0) error = ready == 0 ? ETIMEDOUT : errno;
      else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
    }
  }
  if (error == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) error = errno;
  if (error) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

void RegisterLink(pappl_device_t* device, LinkEnd* end) {
  std::unique_ptr<CFdLink> link(new (std::nothrow) CFdLink(device, end));
  std::lock_guard<std::mutex> hold(g_lock);
  if (link) g_links[device] = std::move(link);
}

void ForgetLink(pappl_device_t* device) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_links.erase(device);
}

std::string LinkFailure(pappl_device_t* device) {
  std::lock_guard<std::mutex> hold(g_lock);
  const auto found = g_links.find(device);
  return found == g_links.end() ? "" : found->second->End().failure;
}

IPrinterLink* DeviceLink(pappl_device_t* device) {
  std::lock_guard<std::mutex> hold(g_lock);
  const auto found = g_links.find(device);
  return found == g_links.end() ? nullptr : found->second.get();
}

}  // namespace tavel
