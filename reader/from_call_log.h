// Reading a profiler's call log straight into the reader's per-slot arrays,
// with no record strings in between (the interface: call_log_api.h).
//
// Each distinct object a logged call refers to is looked at once, and its
// function interned: the name, file and line its record text would carry,
// by the naming rules of common/record_format.h, so that the arrays equal
// those parse_records() makes of the strings. The log's blocks are released
// one by one as their calls land in the arrays, whose pages count only once
// written (Array::zeroed): the log and the arrays are never both whole.
//
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/call_log_api.h"
#include "common/record_format.h"
#include "common/ref.h"

#include "containers.h"
#include "parse.h"
#include "string_table.h"
#include "trace.h"

namespace {

class CallLogReader {
 public:
  // Calls that started at `until_ns` or later, the last ones logged, are
  // left out (drop_calls_from).
  CallLogReader(Trace* r, int64_t until_ns) noexcept : r_(r), interner_(r->strings), until_ns_(until_ns) {}

  // Fills the per-slot arrays from the blocks of `log`, which it releases as
  // it goes; false with an exception set.
  bool read(const CallLogApi* api, TakenLog* log) {
    const size_t slots = static_cast<size_t>(r_->slots);
    if (!r_->kind.resize(slots) || !r_->func.zeroed(slots) || !r_->start.zeroed(slots) ||
        !r_->duration.zeroed(slots) || !r_->parent.zeroed(slots))
      return false;
    if (slots) memset(r_->kind.data(), kEmpty, slots);
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
        const uint32_t func = function_named_by(call->name);
        if (func == kNone) return false;
        r_->func[i] = func;
        r_->kind[i] = r_->functions[func].kind;
        r_->start[i] = call->start_ns;
        r_->duration[i] = call->duration_ns;
        r_->parent[i] = call->parent_index;
        ++r_->count;
      }
    }
    dropped_ = drop_calls_from(r_, until_ns_);
    return number_by_first_use();
  }

 private:
  uint32_t intern(PyObject* text, int role) {
    return interner_.intern(text, 0, PyUnicode_GET_LENGTH(text), role);
  }
  uint32_t intern(const char* text, int role) {
    Ref<> str = Ref<>::steal(PyUnicode_FromString(text));
    return str ? intern(str.get(), role) : kNone;
  }
  // The function of (name, file, line), by the kind its fields give.
  uint32_t function(uint32_t name, uint32_t file, int64_t line) {
    if (name == kNone || file == kNone) return kNone;
    return intern_function(r_, functions_, name, file, line, kind_of(r_, name, file, line));
  }

  // The function of a record named by `naming` (record_format.h): its strs,
  // or the literals its kind has instead.
  uint32_t function_named(const RecordNaming& naming) {
    const uint32_t name = naming.name ? intern(naming.name, 0) : intern(kAwaitName, 0);
    if (name == kNone) return kNone;
    const uint32_t file =
        naming.file ? intern(naming.file, 1) : intern(naming.kind == kBuiltin ? kBuiltinFile : "", 1);
    return function(name, file, naming.line);
  }

  // The function of what a logged call names (a code object, a built-in's
  // name or null), looked at once; kNone with an exception set when memory
  // runs out. Objects are known by address: every object the log refers to
  // lives as long as its entries, and the log was made before the reading
  // started, so an address freed by a released block is never that of a
  // later entry's object.
  uint32_t function_named_by(PyObject* object) {
    if (!object) {
      if (await_ == kNone) await_ = function_named(naming_of(nullptr));
      return await_;
    }
    if (object == last_object_) return last_function_;
    bool added;
    const uint32_t id = index_.find_or_add(
        mix(reinterpret_cast<uintptr_t>(object)),
        [this, object](uint32_t other) { return objects_[other] == object; },
        static_cast<uint32_t>(objects_.size()), &added);
    if (id == kNone) return kNone;
    if (added) {
      const uint32_t func = function_named(naming_of(object));
      // A failure past find_or_add() leaves an id without its entry: the
      // read ends there, so nothing looks it up.
      if (func == kNone || !objects_.push(object) || !function_of_object_.push(func)) return kNone;
    }
    last_object_ = object;
    return last_function_ = function_of_object_[id];
  }

  // The log is read in the order calls finished, the strings in slot order:
  // renumbers strings and functions as the strings' reader numbers them, by
  // first use in slot order (a record's name before its file), so that
  // every id matches too.
  bool number_by_first_use() {
    Array<uint32_t> string_id, function_id;
    if (!string_id.resize(r_->strings.size()) || !function_id.resize(r_->functions.size()))
      return false;
    for (size_t id = 0; id < string_id.size(); ++id) string_id[id] = kNone;
    for (size_t id = 0; id < function_id.size(); ++id) function_id[id] = kNone;
    StringTable strings;
    Array<Function> functions;
    auto renumber_string = [&](uint32_t id) {
      if (string_id[id] == kNone) {
        StringView string = r_->strings[id];
        string_id[id] = strings.intern(string.p, string.n);
      }
      return string_id[id];
    };
    for (size_t i = 0; i < static_cast<size_t>(r_->slots); ++i) {
      if (r_->kind[i] == kEmpty) {
        r_->func[i] = kNone;
        continue;
      }
      uint32_t& func = r_->func[i];
      if (function_id[func] == kNone) {
        Function fn = r_->functions[func];
        fn.name = renumber_string(fn.name);
        fn.file = fn.name == kNone ? kNone : renumber_string(fn.file);
        if (fn.file == kNone) return false;
        function_id[func] = static_cast<uint32_t>(functions.size());
        if (!functions.push(fn)) return false;
      }
      func = function_id[func];
    }
    // Every string and function read names a record, unless its records were left out.
    assert(dropped_ || (strings.size() == r_->strings.size() && functions.size() == r_->functions.size()));
    r_->strings.swap(strings);
    r_->functions.swap(functions);
    return true;
  }

  Trace* r_;
  Interner interner_;
  HashIndex functions_;              // (name, file, line) -> function id
  HashIndex index_;                  // object address -> id into objects_
  Array<PyObject*> objects_;         // borrowed, by id; compared, never dereferenced
  Array<uint32_t> function_of_object_;
  PyObject* last_object_ = nullptr;
  uint32_t last_function_ = kNone;
  uint32_t await_ = kNone;
  int64_t until_ns_;
  bool dropped_ = false;  // calls left out: their strings and functions are renumbered away
};

}  // namespace
