// Reading a profiler's call log straight into the reader's per-slot arrays,
// with no record strings in between (the interface: call_log_api.h).
//
// Each distinct object a logged call refers to is interned once: a code
// object's co_name, co_filename and co_firstlineno, a built-in's name with
// file "<built-in>" and line 0, and "[await]" with file "" and line 0 for a
// wait: the fields its record text would carry, so that the arrays equal
// those parse_records() makes of the strings. The log's blocks are released
// one by one as their calls land in the arrays, whose pages count only once
// written (Array::zeroed): the log and the arrays are never both whole.
//
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/call_log_api.h"
#include "common/ref.h"

#include "containers.h"
#include "parse.h"
#include "string_table.h"
#include "trace.h"

namespace {

// What one referenced object names: interned ids and the line.
struct Named {
  uint32_t name, file;
  int64_t line;
};

class CallLogReader {
 public:
  explicit CallLogReader(Trace* r) noexcept : r_(r), interner_(r->strings) {}

  // Fills the per-slot arrays from the blocks of `log`, which it releases as
  // it goes; false with an exception set.
  bool read(const CallLogApi* api, TakenLog* log) {
    const size_t slots = static_cast<size_t>(r_->slots);
    if (!r_->kind.resize(slots) || !r_->name.zeroed(slots) || !r_->file.zeroed(slots) ||
        !r_->line.zeroed(slots) || !r_->start.zeroed(slots) || !r_->duration.zeroed(slots) ||
        !r_->parent.zeroed(slots))
      return false;
    memset(r_->kind.data(), kEmpty, slots);
    const LoggedCall* calls;
    while (int64_t count = api->next_block(log, &calls)) {
      for (const LoggedCall* call = calls; call < calls + count; ++call) {
        const int64_t i = call->index;
        if (i < 0 || i >= r_->slots || r_->kind[i] != kEmpty || call->parent_index < -1 ||
            call->parent_index == i) {
          PyErr_Format(PyExc_SystemError, "the call log holds a bad entry at index %lld",
                       static_cast<long long>(i));
          return false;
        }
        const Named* named = named_by(call->name);
        if (!named) return false;
        r_->name[i] = named->name;
        r_->file[i] = named->file;
        r_->line[i] = named->line;
        r_->start[i] = call->start_ns;
        r_->duration[i] = call->duration_ns;
        r_->parent[i] = call->parent_index;
        r_->kind[i] = kind_of(r_, named->name, named->file, named->line);
        ++r_->count;
      }
    }
    return number_strings_by_first_use();
  }

 private:
  uint32_t intern(PyObject* text, int role) {
    return interner_.intern(text, 0, PyUnicode_GET_LENGTH(text), role);
  }
  uint32_t intern(const char* text, int role) {
    Ref<> str = Ref<>::steal(PyUnicode_FromString(text));
    return str ? intern(str.get(), role) : kNone;
  }

  // The log is read in the order calls finished, the strings in slot order:
  // renumbers the strings as the strings' reader numbers them, by first use
  // in slot order, name before file, so that ids match too.
  bool number_strings_by_first_use() {
    Array<uint32_t> renumbered;
    if (!renumbered.resize(r_->strings.size())) return false;
    for (size_t id = 0; id < renumbered.size(); ++id) renumbered[id] = kNone;
    StringTable strings;
    for (size_t i = 0; i < static_cast<size_t>(r_->slots); ++i) {
      if (r_->kind[i] == kEmpty) continue;
      uint32_t* ids[] = {&r_->name[i], &r_->file[i]};
      for (uint32_t* id : ids) {
        if (renumbered[*id] == kNone) {
          StringView string = r_->strings[*id];
          if ((renumbered[*id] = strings.intern(string.p, string.n)) == kNone) return false;
        }
        *id = renumbered[*id];
      }
    }
    // Every string interned names a record.
    assert(strings.size() == r_->strings.size());
    r_->strings.swap(strings);
    return true;
  }

  // Borrowed: what `object` (a logged call's code object, built-in name or
  // null) names; null with an exception set when memory runs out. Objects
  // are known by address: every object the log refers to lives as long as
  // its entries, and the log was made before the reading started, so an
  // address freed by a released block is never that of a later entry's
  // object.
  const Named* named_by(PyObject* object) {
    if (!object) {
      if (await_.name == kNone) {
        await_ = {intern("[await]", 0), intern("", 1), 0};
        if (await_.name == kNone || await_.file == kNone) {
          await_.name = kNone;
          return nullptr;
        }
      }
      return &await_;
    }
    if (object == last_object_) return &named_[last_];
    const auto address = reinterpret_cast<uintptr_t>(object);
    bool added;
    const uint32_t id = index_.find_or_add(
        mix(address), [this, object](uint32_t other) { return objects_[other] == object; },
        static_cast<uint32_t>(objects_.size()), &added);
    if (id == kNone) return nullptr;
    if (added) {
      Named named;
      if (PyCode_Check(object)) {
        auto* code = reinterpret_cast<PyCodeObject*>(object);
        named = {intern(code->co_name, 0), intern(code->co_filename, 1), code->co_firstlineno};
      } else {
        if (builtin_file_ == kNone && (builtin_file_ = intern("<built-in>", 1)) == kNone) return nullptr;
        named = {intern(object, 0), builtin_file_, 0};
      }
      // A failure past find_or_add() leaves an id without its entry: the
      // read ends there, so nothing looks it up.
      if (named.name == kNone || named.file == kNone || !objects_.push(object) ||
          !named_.push(named))
        return nullptr;
    }
    last_object_ = object;
    last_ = id;
    return &named_[id];
  }

  Trace* r_;
  Interner interner_;
  HashIndex index_;          // object address -> id into objects_ and named_
  Array<PyObject*> objects_; // borrowed, by id; compared, never dereferenced
  Array<Named> named_;
  PyObject* last_object_ = nullptr;
  uint32_t last_ = 0;
  Named await_{kNone, kNone, 0};
  uint32_t builtin_file_ = kNone;
};

}  // namespace
