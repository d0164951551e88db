// The call log: what the hooks keep of every finished call that passes the
// filter, until remove_trace_profile() turns it into record strings.
//
// Building a record string inside a hook costs the traced program the time
// it takes, and that time lands in the durations of the calls still open.
// So a hook only appends a few numbers and one strong reference to the log,
// and the text is built once the trace is over.
//
// Rules:
//  - Every logged call owns one reference: the code object of a Python call
//    or of a coroutine, the name of a built-in (looked up when the call
//    returned, so a later change of its __qualname__ cannot change it), or
//    none for an await.
//  - The log lives in fixed-size blocks of plain memory from the object
//    domain; a block that cannot be allocated loses the call being logged,
//    and the next call tries again.
//  - A zero-filled CallLog is an empty log: the profiler that holds it is
//    allocated zeroed and never constructed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <assert.h>
#include <stdint.h>
#include <sys/mman.h>

#include "common/call_log_api.h"
#include "record_text.h"

namespace {

class CallLog {
 public:
  // Calls per block: 160 KiB blocks.
  static constexpr int64_t kCallsPerBlock = 4096;
  struct Block {
    Block* next;
    LoggedCall calls[kCallsPerBlock];
  };

  // Logs a finished call; `name` is stolen. False when no block could be
  // allocated for it: the call is not logged and `name` is released.
  bool append(int64_t index, int64_t parent_index, int64_t start_ns, int64_t duration_ns,
              PyObject* name) {
    if (tail_ == limit_ && !add_block()) [[unlikely]] {
      Py_XDECREF(name);
      return false;
    }
    *tail_++ = {index, parent_index, start_ns, duration_ns, name};
    if (index >= end_) end_ = index + 1;
    return true;
  }

  // One past the highest index logged: the length of the records list.
  int64_t end() const { return end_; }

  // New reference: a list of end() Nones, for convert_into(), or null with
  // an exception set.
  PyObject* empty_records() const;
  // Turns the log into record strings, each placed at its index in
  // `records` (from empty_records()), block by block, releasing each block
  // as soon as it is done. A record whose text cannot be built stays None
  // and is counted in `lost`. The log is empty afterwards.
  void convert_into(PyObject* records, int64_t* lost);

  // Releases every block and every reference the log holds.
  void clear();

  // For a reader that takes the log block by block: the calls of the first
  // block (their number in *count), null when the log is empty; and the
  // release of that block with the references its calls hold.
  const LoggedCall* first_block(int64_t* count) const {
    if (!first_) return nullptr;
    *count = end_of(first_) - first_->calls;
    return first_->calls;
  }
  void release_first_block() {
    LoggedCall* end = end_of(first_);
    release(detach_first(), end);
  }

  // Calls `visit` on every logged call, in log order, while it returns true.
  template <typename Visit>
  bool for_each(Visit visit) const {
    for (Block* block = first_; block; block = block->next) {
      for (const LoggedCall* call = block->calls; call < end_of(block); ++call)
        if (!visit(*call)) return false;
    }
    return true;
  }

 private:
  bool add_block();
  // The calls logged in `block`.
  LoggedCall* end_of(Block* block) const {
    return block == last_ ? tail_ : block->calls + kCallsPerBlock;
  }
  // Takes the first block out of the log; the caller releases it.
  Block* detach_first();
  static void release(Block* block, LoggedCall* end);

  Block* first_;
  Block* last_;
  LoggedCall* tail_;   // where the next call goes in `last_`
  LoggedCall* limit_;  // the end of `last_`
  int64_t end_;
};

bool CallLog::add_block() {
  auto* block = static_cast<Block*>(PyObject_Malloc(sizeof(Block)));
  if (!block) return false;
  block->next = nullptr;
  if (last_) {
    last_->next = block;
  } else {
    first_ = block;
  }
  last_ = block;
  tail_ = block->calls;
  limit_ = block->calls + kCallsPerBlock;
  return true;
}

CallLog::Block* CallLog::detach_first() {
  Block* block = first_;
  first_ = block->next;
  if (!first_) {
    last_ = nullptr;
    tail_ = limit_ = nullptr;
  }
  return block;
}

void CallLog::release(Block* block, LoggedCall* end) {
  for (LoggedCall* call = block->calls; call < end; ++call) Py_XDECREF(call->name);
  // The allocator may keep a freed block in its heap, where the record
  // strings (from their own arenas) never reuse it: the block's whole pages
  // are handed back to the system first, so that converting a log costs no
  // more memory at any moment than the records it has built so far.
  constexpr uintptr_t kPage = 4096;
  const auto first = (reinterpret_cast<uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<uintptr_t>(block) + sizeof(Block)) & ~(kPage - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  PyObject_Free(block);
}

// New reference: the record text of `call`, or null with an exception set.
PyObject* record_of(const LoggedCall& call) {
  return record_text(naming_of(call.name), call.start_ns, call.duration_ns, call.parent_index);
}

PyObject* CallLog::empty_records() const {
  PyObject* records = PyList_New(static_cast<Py_ssize_t>(end_));
  if (!records) return nullptr;
  for (Py_ssize_t i = 0; i < end_; ++i) PyList_SET_ITEM(records, i, Py_None);
  return records;
}

void CallLog::convert_into(PyObject* records, int64_t* lost) {
  assert(PyList_GET_SIZE(records) == end_);
  // Releasing a block's references can run Python code (a weak reference's
  // callback on a code object): the block is out of the log by then, so
  // the log stays whole whatever that code does.
  while (first_) {
    LoggedCall* end = end_of(first_);
    for (const LoggedCall* call = first_->calls; call < end; ++call) {
      PyObject* record = record_of(*call);
      if (!record) {
        PyErr_Clear();
        ++*lost;
        continue;
      }
      // No index is logged twice, so its slot still holds None.
      assert(PyList_GET_ITEM(records, call->index) == Py_None);
      PyList_SET_ITEM(records, static_cast<Py_ssize_t>(call->index), record);
    }
    release(detach_first(), end);
  }
}

void CallLog::clear() {
  while (first_) release_first_block();
  end_ = 0;
}

}  // namespace
