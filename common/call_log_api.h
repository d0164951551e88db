// The call log's C-level interface: what spantree_C hands to its own reader
// (spantree_reader_C) so that the reader builds its arrays from a
// profiler's call log, with no record strings in between.
//
// The tracer publishes one CallLogApi in a capsule named kCallLogApiName,
// reachable as spantree_C._call_log_api and as every profiler's
// `_call_log_api` attribute (the reader asks the profiler, so a profiler of
// the tracer's test build is read through that build's table). Both modules
// are built together from this header; a reader refuses a table whose
// version is not the one it was built with. The version changes with any
// change to this header's types or to the meaning of their fields.
//
// A taken log belongs to the reader: next_block() hands its blocks over one
// by one, releasing each previous block (its memory and the references its
// calls hold) first, so the log shrinks as the reader's arrays grow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

namespace {

constexpr uint32_t kCallLogApiVersion = 1;
constexpr const char kCallLogApiName[] = "spantree_C._call_log_api";

// A finished call. Its record takes slot `index` of the records list; its
// text is python_call_record's of a code object (a Python call or a
// coroutine), builtin_call_record's of a str (a built-in's name), or
// await_record's when `name` is null.
struct LoggedCall {
  int64_t index;
  int64_t parent_index;
  int64_t start_ns;
  int64_t duration_ns;
  // Owned by the log: a code object, a str, or null.
  PyObject* name;
};
static_assert(sizeof(LoggedCall) == 40, "a logged call takes five words");

struct TakenLog {
  int64_t end;  // one past the highest index logged: the records list's length
  void* state;  // the tracer's: the blocks not yet handed over
};

struct CallLogApi {
  uint32_t version;  // kCallLogApiVersion
  // Closes the trace of `profiler` (a profiler from set_trace_profile()) as
  // remove_trace_profile() does, without removing any hook or delivering
  // anything, warns of what running out of memory cost it, and takes its
  // log into *log: returns 1. When the profiler's records were built
  // already (by remove_trace_profile()), returns 0 with *records a new
  // reference to that list. -1 with an exception set on failure (the log
  // stays the profiler's). Once its log is taken, the profiler refuses
  // remove_trace_profile() and a second taking.
  int (*take)(PyObject* profiler, TakenLog* log, PyObject** records);
  // Releases the block handed over last, then hands over the next one: its
  // calls in *calls, their number returned; 0 once the log is exhausted.
  // Releasing references can run Python code (a weak reference's callback).
  int64_t (*next_block)(TakenLog* log, const LoggedCall** calls);
  // Releases what is left of a taken log; a released log stays empty.
  void (*release)(TakenLog* log);
};

}  // namespace
