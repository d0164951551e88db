// The tracer's clock: wall-clock nanoseconds, read once per event.
//
// The shipped module reads CLOCK_REALTIME and nothing else. The test build
// (SPANTREE_TESTING) can swap in a scripted clock so that tests get exact
// durations and can step time backwards wherever they choose: while
// scripted, the n-th read returns start + n * tick plus every shift made so
// far. The test build is one thread's affair, so its state is plain.
#pragma once

#include <stdint.h>
#include <time.h>

namespace {

inline int64_t wall_clock_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

#ifdef SPANTREE_TESTING

struct ScriptedClock {
  bool scripted = false;
  int64_t next_ns = 0;  // what the next read returns
  int64_t tick_ns = 0;  // added after every read
  int64_t reads = 0;    // reads since the script was set
};

constinit ScriptedClock scripted_clock;

inline int64_t now_ns() {
  if (!scripted_clock.scripted) return wall_clock_ns();
  const int64_t now = scripted_clock.next_ns;
  scripted_clock.next_ns += scripted_clock.tick_ns;
  ++scripted_clock.reads;
  return now;
}

#else

inline int64_t now_ns() { return wall_clock_ns(); }

#endif

}  // namespace
