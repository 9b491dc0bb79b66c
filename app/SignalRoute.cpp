// SIGTERM, SIGINT and SIGHUP reach the server's main thread and no other.
// PAPPL's handlers only note the signal; its main loop sees the note when
// its poll() is interrupted. A process-directed signal goes to any thread
// that does not block it, so with job and client threads running, one of
// them could take it and the main loop slept on until its next timeout
// (up to half a minute), past the time systemctl stop allows. Every thread
// the process starts is therefore started with these signals blocked (a
// new thread takes its creator's mask); the main thread keeps them.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>

namespace {

using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*start)(void*), void* arg) {
  static const Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  if (!create) return EAGAIN;
  sigset_t stop, old;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, &old);
  const int result = create(thread, attr, start, arg);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return result;
}
