#include "app/Listeners.h"

#include <cups/cups.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tavel {
namespace {

// The addresses the listening sockets of this process are bound to.
std::vector<sockaddr_storage> OwnListeners() {
  std::vector<sockaddr_storage> bound;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return bound;
  const int own = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (!end || *end || end == e->d_name || fd == own || fd < 0 || fd > 1 << 20) continue;
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
        !listening)
      continue;
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&addr), &length) == 0)
      bound.push_back(addr);
  }
  closedir(dir);
  return bound;
}

bool SameAddress(const sockaddr_storage& a, const http_addr_t& b) {
  if (a.ss_family != b.addr.sa_family) return false;
  if (a.ss_family == AF_INET) {
    const sockaddr_in& x = reinterpret_cast<const sockaddr_in&>(a);
    return x.sin_port == b.ipv4.sin_port && x.sin_addr.s_addr == b.ipv4.sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6) {
    const sockaddr_in6& x = reinterpret_cast<const sockaddr_in6&>(a);
    return x.sin6_port == b.ipv6.sin6_port &&
           std::memcmp(&x.sin6_addr, &b.ipv6.sin6_addr, sizeof x.sin6_addr) == 0;
  }
  return false;
}

// The error binding the address gives now (0: it could be had).
int BindError(const http_addr_t& addr) {
  const int family = addr.addr.sa_family;
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  const int rc = bind(fd, &addr.addr, static_cast<socklen_t>(httpAddrLength(&addr)));
  const int error = rc == 0 ? 0 : errno;
  close(fd);
  return error;
}

}  // namespace

bool NoListenerConflict(const char* host, int port, std::string* why) {
  const std::string service = std::to_string(port);
  http_addrlist_t* list = httpAddrGetList(host, AF_UNSPEC, service.c_str());
  if (!list) {
    *why = std::string("Unable to find the address of \"") + (host ? host : "*") + "\".";
    return false;
  }
  const std::vector<sockaddr_storage> bound = OwnListeners();
  bool all = true;
  for (http_addrlist_t* a = list; a && all; a = a->next) {
    bool ours = false;
    for (const sockaddr_storage& b : bound) ours = ours || SameAddress(b, a->addr);
    // Taken by another program: that one serves this address, and it may
    // be another server on the same state file.
    const int error = ours ? 0 : BindError(a->addr);
    if (error != EADDRINUSE) continue;
    char text[256];
    httpAddrString(&a->addr, text, sizeof text);
    *why = std::string("Unable to listen on ") + text + " port " + service + ": " +
           std::strerror(error) + ".";
    all = false;
  }
  httpAddrFreeList(list);
  return all;
}

}  // namespace tavel
