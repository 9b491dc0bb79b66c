/* Preloaded into the printer application by tests: an RFCOMM socket
 * becomes the pseudo-terminal named by TAVEL_RFCOMM_PTY (where the virtual
 * printer listens), so the bluetooth:// scheme runs its own code on a
 * machine without Bluetooth. Each connect() appends "AA:BB:CC:DD:EE:FF N"
 * (address, channel) to the file TAVEL_RFCOMM_LOG; while the file named by
 * TAVEL_RFCOMM_ERROR holds an errno number, connections fail with it, as
 * to a printer switched off. Every other socket is left alone. */
#define _GNU_SOURCE
#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

/* The connection result that getsockopt(SO_ERROR) reports, per descriptor. */
#define MAX_FDS 4096
static int pending[MAX_FDS];

typedef int (*socket_fn)(int, int, int);
typedef int (*connect_fn)(int, __CONST_SOCKADDR_ARG, socklen_t);
typedef int (*getsockopt_fn)(int, int, int, void *, socklen_t *);
typedef ssize_t (*send_fn)(int, const void *, size_t, int);

static void *next(const char *name) { return dlsym(RTLD_NEXT, name); }

int socket(int domain, int type, int protocol) {
  const char *pty = getenv("TAVEL_RFCOMM_PTY");
  socket_fn real;
  *(void **)(&real) = next("socket");
  if (domain != AF_BLUETOOTH || protocol != BTPROTO_RFCOMM || !pty)
    return real ? real(domain, type, protocol) : -1;
  int fd = open(pty, O_RDWR | O_NOCTTY | ((type & SOCK_CLOEXEC) ? O_CLOEXEC : 0));
  if (fd < 0) return -1;
  struct termios tio;
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

/* glibc declares the address argument as a union of address types. */
int connect(int fd, __CONST_SOCKADDR_ARG arg, socklen_t size) {
  const struct sockaddr *addr = arg.__sockaddr__;
  connect_fn real;
  *(void **)(&real) = next("connect");
  if (!addr || addr->sa_family != AF_BLUETOOTH || size < sizeof(struct sockaddr_rc))
    return real ? real(fd, arg, size) : -1;
  const struct sockaddr_rc *rc = (const struct sockaddr_rc *)addr;
  const char *log = getenv("TAVEL_RFCOMM_LOG");
  FILE *out = log ? fopen(log, "a") : NULL;
  if (out) {
    const uint8_t *b = rc->rc_bdaddr.b;
    fprintf(out, "%02X:%02X:%02X:%02X:%02X:%02X %d\n", b[5], b[4], b[3], b[2], b[1], b[0],
            rc->rc_channel);
    fclose(out);
  }
  const char *fail = getenv("TAVEL_RFCOMM_ERROR");
  FILE *in = fail ? fopen(fail, "r") : NULL;
  int error = 0;
  if (in) {
    if (fscanf(in, "%d", &error) != 1) error = 0;
    fclose(in);
  }
  /* A non-blocking connect is under way first, as the kernel's is. */
  if (fd >= 0 && fd < MAX_FDS && (fcntl(fd, F_GETFL) & O_NONBLOCK)) {
    pending[fd] = error;
    errno = EINPROGRESS;
    return -1;
  }
  errno = error;
  return error ? -1 : 0;
}

int getsockopt(int fd, int level, int name, void *value, socklen_t *size) {
  getsockopt_fn real;
  *(void **)(&real) = next("getsockopt");
  const int result = real ? real(fd, level, name, value, size) : -1;
  if (result < 0 && errno == ENOTSOCK && level == SOL_SOCKET && name == SO_ERROR && fd >= 0 &&
      fd < MAX_FDS && value && size && *size >= sizeof(int)) {
    *(int *)value = pending[fd];
    *size = sizeof(int);
    return 0;
  }
  return result;
}

/* A pseudo-terminal is no socket: its sends are writes. */
ssize_t send(int fd, const void *data, size_t length, int flags) {
  send_fn real;
  *(void **)(&real) = next("send");
  const ssize_t n = real ? real(fd, data, length, flags) : -1;
  return n < 0 && errno == ENOTSOCK ? write(fd, data, length) : n;
}
