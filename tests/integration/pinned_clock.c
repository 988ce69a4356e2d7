/* Preloaded into the program by a test: the wall clock stands still at the
 * time in PINNED_REALTIME (seconds since the epoch, and a fraction), so that
 * two programs started side by side read the very same millisecond. Every
 * other clock runs as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

int clock_gettime(clockid_t clock, struct timespec* now) {
  static clock_gettime_fn real;
  const char* pinned = getenv("PINNED_REALTIME");
  if (clock == CLOCK_REALTIME && pinned != NULL) {
    double seconds = strtod(pinned, NULL);
    now->tv_sec = (time_t)seconds;
    now->tv_nsec = (long)((seconds - (double)now->tv_sec) * 1e9);
    return 0;
  }
  if (real == NULL) real = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
  return real(clock, now);
}
