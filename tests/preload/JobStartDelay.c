/* Preloaded into the printer application by tests: every job thread that
 * PAPPL starts waits a while before it begins. PAPPL marks a printer busy
 * only once that thread runs, so this holds open, for every job, the moment
 * in which another request can start a second job on the same printer. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

/* Long against a thread start, short against a test's time. */
#define START_DELAY_NS 150000000L

typedef void *(*entry_fn)(void *);
typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, entry_fn, void *);

struct delayed {
  entry_fn entry;
  void *arg;
};

static void *start_late(void *p) {
  struct delayed d = *(struct delayed *)p;
  struct timespec pause = {0, START_DELAY_NS};
  free(p);
  nanosleep(&pause, NULL);
  return d.entry(d.arg);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, entry_fn entry, void *arg) {
  create_fn real;
  entry_fn job_entry;
  struct delayed *d;
  /* POSIX's way from dlsym's object pointer to a function pointer. */
  *(void **)(&real) = dlsym(RTLD_NEXT, "pthread_create");
  *(void **)(&job_entry) = dlsym(RTLD_DEFAULT, "_papplJobProcess");
  if (!real) return -1;
  if (!job_entry || entry != job_entry || !(d = malloc(sizeof *d)))
    return real(thread, attr, entry, arg);
  d->entry = entry;
  d->arg = arg;
  return real(thread, attr, start_late, d);
}
