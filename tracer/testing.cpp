// spantree_testing_C: the tracer built for the tests. It is the shipped
// tracer's source, compiled with SPANTREE_TESTING (a scripted clock, see
// clock.h) and with its assertions on, plus functions that let the tests
// reach inside:
//  - the record builders, to compare their text with PyUnicode_FromFormat's
//    over inputs no trace can produce;
//  - the scripted clock, for exact durations and a clock that steps back;
//  - an event log: every event the hook of a trace gets, in order, with the
//    time the hook reads for it, for a model of the record algorithm to
//    replay.
// Its own state is a single thread's: tests drive it from one thread.

#include "spantree.cpp"

namespace {

// call_record(name, file, line, start, duration, parent) -> str
PyObject* testing_call_record(PyObject*, PyObject* args) {
  PyObject* name;
  PyObject* file;
  int line;
  long long start, duration, parent;
  if (!PyArg_ParseTuple(args, "UUiLLL", &name, &file, &line, &start, &duration, &parent))
    return nullptr;
  return python_call_record(name, file, line, start, duration, parent);
}

// builtin_record(name, start, duration, parent) -> str
PyObject* testing_builtin_record(PyObject*, PyObject* args) {
  PyObject* name;
  long long start, duration, parent;
  if (!PyArg_ParseTuple(args, "ULLL", &name, &start, &duration, &parent)) return nullptr;
  return builtin_call_record(name, start, duration, parent);
}

// await_record(suspended, wait, coroutine_index) -> str
PyObject* testing_await_record(PyObject*, PyObject* args) {
  long long suspended, wait, index;
  if (!PyArg_ParseTuple(args, "LLL", &suspended, &wait, &index)) return nullptr;
  return await_record(suspended, wait, index);
}

// set_clock(start_ns, tick_ns): from now on the tracer's n-th clock read
// returns start_ns + n * tick_ns (plus any shift_clock() made meanwhile).
// set_clock(None) puts the wall clock back.
PyObject* testing_set_clock(PyObject*, PyObject* args) {
  PyObject* start;
  long long tick = 0;
  if (!PyArg_ParseTuple(args, "O|L", &start, &tick)) return nullptr;
  if (start == Py_None) {
    scripted_clock = ScriptedClock{};
    Py_RETURN_NONE;
  }
  const long long start_ns = PyLong_AsLongLong(start);
  if (start_ns == -1 && PyErr_Occurred()) return nullptr;
  scripted_clock = ScriptedClock{.scripted = true, .next_ns = start_ns, .tick_ns = tick};
  Py_RETURN_NONE;
}

// shift_clock(ns): moves the scripted clock by `ns` (backwards when
// negative) from its next read on.
PyObject* testing_shift_clock(PyObject*, PyObject* arg) {
  const long long shift = PyLong_AsLongLong(arg);
  if (shift == -1 && PyErr_Occurred()) return nullptr;
  if (!scripted_clock.scripted) {
    PyErr_SetString(PyExc_RuntimeError, "shift_clock() needs a clock set by set_clock()");
    return nullptr;
  }
  scripted_clock.next_ns += shift;
  Py_RETURN_NONE;
}

// clock_reads() -> int: reads of the scripted clock since set_clock().
PyObject* testing_clock_reads(PyObject*, PyObject*) {
  return PyLong_FromLongLong(scripted_clock.reads);
}

// node_size() -> int: the bytes a call's node takes, to aim allocation
// failures at nodes.
PyObject* testing_node_size(PyObject*, PyObject*) {
  return PyLong_FromSsize_t(FrameNode_Type.tp_basicsize);
}

// log_block_size() -> int: the bytes a block of the call log takes, to aim
// allocation failures at log blocks.
PyObject* testing_log_block_size(PyObject*, PyObject*) {
  return PyLong_FromSize_t(sizeof(CallLog::Block));
}

// log_block_calls() -> int: the calls a block of the call log holds.
PyObject* testing_log_block_calls(PyObject*, PyObject*) {
  return PyLong_FromLongLong(CallLog::kCallsPerBlock);
}

// The event log: the list events are appended to, owned, and the hook of
// the trace whose events are logged.
struct EventLog {
  PyObject* entries;
  Py_tracefunc hook;
};
constinit EventLog event_log{};

// New reference: the log entry of one event, (what, frame address, code,
// built-in name, time) with None for what the event has not and for the
// time when the clock is not scripted. A C event's frame is its caller's.
PyObject* log_entry(PyFrameObject* frame, int what, PyObject* arg) {
  Ref<> code = is_python_event(what)
                   ? Ref<>::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)))
                   : Ref<>::borrow(Py_None);
  Ref<> name = is_python_event(what) ? Ref<>::borrow(Py_None) : Ref<>::steal(builtin_name(arg));
  Ref<> time = scripted_clock.scripted ? Ref<>::steal(PyLong_FromLongLong(scripted_clock.next_ns))
                                       : Ref<>::borrow(Py_None);
  if (!code || !name || !time) return nullptr;
  return Py_BuildValue("(iNOOO)", what, PyLong_FromVoidPtr(frame), code.get(), name.get(),
                       time.get());
}

// Logs the event, then hands it to the trace's own hook.
int logging_hook(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  {
    ErrorScope errors;
    Ref<> entry = Ref<>::steal(log_entry(frame, what, arg));
    if (entry) PyList_Append(event_log.entries, entry.get());
  }
  return event_log.hook(obj, frame, what, arg);
}

// set_logged_trace_profile(entries, callback, context, threshold_ns,
// is_async, max_depth): set_trace_profile() whose hook also logs every
// event it gets, from its own return on, into list `entries`, until the
// trace is removed or replaced.
PyObject* testing_set_logged_trace_profile(PyObject*, PyObject* args) {
  PyObject* entries;
  if (PyTuple_GET_SIZE(args) < 1 || !PyList_Check(entries = PyTuple_GET_ITEM(args, 0))) {
    PyErr_SetString(PyExc_TypeError, "set_logged_trace_profile() needs a list to log into");
    return nullptr;
  }
  Ref<> trace_args = Ref<>::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
  if (!trace_args) return nullptr;
  Ref<> profiler = Ref<>::steal(set_trace_profile(nullptr, trace_args.get(), nullptr));
  if (!profiler) return nullptr;
  auto* traced = reinterpret_cast<TraceProfiler*>(profiler.get());
  Py_XSETREF(event_log.entries, Py_NewRef(entries));
  event_log.hook = hook_for(traced->is_async, traced->max_depth);
  PyEval_SetProfile(logging_hook, profiler.get());
  return profiler.release();
}

// call_log_api_of_version(version) -> capsule: the call log interface under
// another version number, as a tracer from another build would offer it.
// The capsule owns its copy of the table.
PyObject* testing_call_log_api_of_version(PyObject*, PyObject* arg) {
  const unsigned long version = PyLong_AsUnsignedLong(arg);
  if (version == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  auto* other = static_cast<CallLogApi*>(PyMem_Malloc(sizeof(CallLogApi)));
  if (!other) return PyErr_NoMemory();
  *other = call_log_api;
  other->version = static_cast<uint32_t>(version);
  PyObject* capsule = PyCapsule_New(other, kCallLogApiName, [](PyObject* self) {
    PyMem_Free(PyCapsule_GetPointer(self, kCallLogApiName));
  });
  if (!capsule) PyMem_Free(other);
  return capsule;
}

// log_records(profiler) -> list: the records list that removing the
// profiler would deliver, built from its call log without taking it: the
// strings' path and the reader's, from one trace.
PyObject* testing_log_records(PyObject*, PyObject* arg) {
  TraceProfiler* profiler = as_profiler(arg, "log_records");
  if (!profiler) return nullptr;
  Ref<> records = Ref<>::steal(profiler->log.empty_records());
  if (!records) return nullptr;
  const bool built = profiler->log.for_each([&records](const LoggedCall& call) {
    PyObject* record = record_of(call);
    if (record) PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(call.index), record);
    return record != nullptr;
  });
  return built ? records.release() : nullptr;
}

PyMethodDef testing_methods[] = {
    {"call_record", testing_call_record, METH_VARARGS, nullptr},
    {"builtin_record", testing_builtin_record, METH_VARARGS, nullptr},
    {"await_record", testing_await_record, METH_VARARGS, nullptr},
    {"set_clock", testing_set_clock, METH_VARARGS, nullptr},
    {"shift_clock", testing_shift_clock, METH_O, nullptr},
    {"clock_reads", testing_clock_reads, METH_NOARGS, nullptr},
    {"set_logged_trace_profile", testing_set_logged_trace_profile, METH_VARARGS, nullptr},
    {"node_size", testing_node_size, METH_NOARGS, nullptr},
    {"log_block_size", testing_log_block_size, METH_NOARGS, nullptr},
    {"log_block_calls", testing_log_block_calls, METH_NOARGS, nullptr},
    {"call_log_api_of_version", testing_call_log_api_of_version, METH_O, nullptr},
    {"log_records", testing_log_records, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constinit PyModuleDef testing_module = module_definition("spantree_testing_C");

}  // namespace

PyMODINIT_FUNC PyInit_spantree_testing_C() {
  PyObject* module = create_module(&testing_module);
  if (module && PyModule_AddFunctions(module, testing_methods) < 0) Py_CLEAR(module);
  return module;
}
