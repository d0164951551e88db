"""What a trace delivers, per thread, and the kinds of record in it.

Kept free of heavy imports: the command line loads it, with the views, in
the moment between the traced program's end and the first line of output.
"""

import enum


class Kind(enum.StrEnum):
    CALL = "call"
    BUILTIN = "built-in"
    COROUTINE = "coroutine"
    AWAIT = "await"
    IMPORT = "import"  # a module's import, machinery and body as one (grouped views)


# The kinds by the native reader's codes (0 is a placeholder, 5 an empty slot).
KINDS_BY_CODE = {1: Kind.CALL, 2: Kind.BUILTIN, 3: Kind.COROUTINE, 4: Kind.AWAIT, 6: Kind.IMPORT}


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
    """The records of one traced thread, as the tracer delivered them.

    `name` and `native_id` are the thread's (`threading.Thread.name`,
    `threading.get_native_id()`); `coroutines` tells that the trace was
    coroutine-aware. Read-only; equal when every field is."""

    __slots__ = ("name", "native_id", "records", "coroutines")

    def __init__(self, name, native_id, records, coroutines=False):
        for field, value in zip(self.__slots__, (name, native_id, records, coroutines)):
            object.__setattr__(self, field, value)

    def __setattr__(self, name, value):
        raise AttributeError(f"ThreadTrace is read-only: cannot set {name!r}")

    __delattr__ = __setattr__

    def __repr__(self):  # a records list can be long
        return (f"ThreadTrace(name={self.name!r}, native_id={self.native_id!r}, "
                f"records=<{len(self.records)} slots>, coroutines={self.coroutines!r})")
