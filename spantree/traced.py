"""What a trace delivers, per thread, and the kinds of record in it.

Kept free of heavy imports: the command line loads it, with the views, in
the moment between the traced program's end and the first line of output.
"""

import enum


class Kind(enum.StrEnum):
    """What a record is, or in the grouped views what a line stands for.
    `code` is its number in the native reader's kind columns
    (spantree_reader_C.KIND_NAMES names the codes the same way)."""

    def __new__(cls, name, code):
        kind = str.__new__(cls, name)
        kind._value_ = name
        kind.code = code
        return kind

    CALL = "call", 1
    BUILTIN = "built-in", 2
    COROUTINE = "coroutine", 3
    AWAIT = "await", 4
    # Lines of the grouped views only: a module's import, machinery and body
    # as one; a library call that hides the library's frames under it; a
    # recursion folded into one line.
    IMPORT = "import", 6
    LIBRARY = "library", 7
    RECURSION = "recursion", 8


KINDS_BY_CODE = {kind.code: kind for kind in Kind}
# The reader's codes for the nodes that are not records: an index that
# records name as their parent but that holds no record, and an empty slot.
PLACEHOLDER_CODE = 0
EMPTY_CODE = 5


class SlotFields:
    """Equality and repr by the fields named in `__slots__`, for small record
    classes that would be dataclasses if importing dataclasses were cheap."""

    __slots__ = ()
    __hash__ = None  # fields may be mutable

    def _fields(self):
        return tuple(getattr(self, field) for field in self.__slots__)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._fields() == other._fields()

    def __repr__(self):
        fields = ", ".join(f"{field}={value!r}" for field, value in zip(self.__slots__, self._fields()))
        return f"{type(self).__name__}({fields})"


class ThreadTrace(SlotFields):
    """The records of one traced thread.

    `name` and `native_id` are the thread's (`threading.Thread.name`,
    `threading.get_native_id()`); `coroutines` tells that the trace was
    coroutine-aware. `records` is the records list as the tracer's
    remove_trace_profile() delivers it. `reader` is the native reader of the
    records (spantree_reader_C.Reader), which every view reads.

    A trace hands its threads over with their records still in the tracer's
    call log (`from_profiler`), where the first use of `reader` reads the
    log straight into the reader's arrays, or with the log read already
    (`from_reader`: threads that ended during the trace, or were still
    running at its end); `records` builds the strings from those only when
    asked. A coroutine-aware trace hands records lists over. Read-only;
    equal when every field is."""

    __slots__ = ("name", "native_id", "_records", "coroutines", "_profiler", "_reader")

    def __init__(self, name, native_id, records, coroutines=False):
        self._set(name=name, native_id=native_id, _records=records, coroutines=coroutines,
                  _profiler=None, _reader=None)

    @classmethod
    def from_profiler(cls, name, native_id, profiler, coroutines=False):
        """A thread whose records are in the call log of `profiler`, a closed
        spantree_C profiler (close_trace_profile)."""
        thread = cls(name, native_id, None, coroutines)
        thread._set(_profiler=profiler)
        return thread

    @classmethod
    def from_reader(cls, name, native_id, reader, coroutines=False):
        """A thread whose records a spantree_reader_C.Reader has read already."""
        thread = cls(name, native_id, None, coroutines)
        thread._set(_reader=reader)
        return thread

    def _set(self, **fields):
        for field, value in fields.items():
            object.__setattr__(self, field, value)

    @property
    def reader(self):
        """The records read by spantree_reader_C: read once from a call log,
        anew from a records list at every use."""
        if self._reader is not None:
            return self._reader
        import spantree_reader_C

        if self._profiler is None:
            return spantree_reader_C.Reader(self._records, self.coroutines)
        self._set(_reader=spantree_reader_C.Reader.from_profiler(self._profiler, self.coroutines),
                  _profiler=None)
        return self._reader

    @property
    def records(self):
        if self._records is None:
            self._set(_records=self.reader.record_strings())
        return self._records

    def _fields(self):
        return self.name, self.native_id, self.records, self.coroutines

    def __setattr__(self, name, value):
        raise AttributeError(f"ThreadTrace is read-only: cannot set {name!r}")

    __delattr__ = __setattr__

    def __repr__(self):  # a records list can be long
        slots = len(self._records) if self._records is not None else self.reader.slots
        return (f"ThreadTrace(name={self.name!r}, native_id={self.native_id!r}, "
                f"records=<{slots} slots>, coroutines={self.coroutines!r})")
