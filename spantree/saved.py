"""A trace kept in a file: every thread's records and what the program was,
to view any way later or to compare with another run.

    t.save("run.spantree")            # a spantree.trace, once it has ended
    t = spantree.load("run.spantree")  # the same views: t.threads, t.tree, ...

The file (format version 1, integers little-endian):

    header   b"SPANTREE\\r\\n\\x1a\\n", version u32, CRC-32 of the 16 bytes before it
    section  tag (4 bytes), payload length u64, CRC-32 of the payload, payload
    ...

Sections follow in this order, and a file ends with its END section:

    PROC  a process: JSON of what it was (`PROCESS_FIELDS`); the THRD
          sections after it, up to the next PROC, are its threads
    THRD  a thread: JSON length u32, JSON of its name and native id (and the
          reader's per-file data where it has any), the length of its pack
          u64, then the pack (`spantree_reader_C.Reader.pack`, laid out in
          reader/saved.h) compressed with zlib
    END.  nothing: the file is complete

Reading checks every checksum, length and field before it uses them; the
reader checks the pack itself. What is wrong with a file is a SavedTraceError
(a ValueError) naming the file.
"""

import json
import os
import struct
import sys
import zlib

import spantree_reader_C

from .traced import ThreadTrace

MAGIC = b"SPANTREE\r\n\x1a\n"
VERSION = 1
SUFFIX = ".spantree"
_HEADER = struct.Struct("<12sII")
_SECTION = struct.Struct("<4sQI")
_THREAD_JSON = struct.Struct("<I")
_PACK_SIZE = struct.Struct("<Q")
# zlib expands data at most about 1032 times: a claimed size beyond that is
# not believed, and nothing is allocated for it.
_MOST_EXPANSION = 1100
_COMPRESSION = 1  # the packs are delta-coded already: the fast level costs little size

# What a process section says, with the types each field must have.
PROCESS_FIELDS = {
    "pid": int, "command": list, "target": str, "cwd": str, "python": str, "host": str, "start_ns": int,
    "exit_status": (int, type(None)), "threshold_ns": int, "depth": (int, type(None)), "coroutines": bool,
}


class SavedTraceError(ValueError):
    """A file that is not a whole, readable saved trace."""


class SavedThread(ThreadTrace):
    """A thread of a saved trace: its reader is rebuilt from the file, and its
    records list only when asked for (`records`)."""

    __slots__ = ("reader", "_records")

    def __init__(self, name, native_id, reader, coroutines=False):
        for field, value in (("name", name), ("native_id", native_id), ("coroutines", coroutines),
                             ("reader", reader), ("_records", None)):
            object.__setattr__(self, field, value)

    @property
    def records(self):
        """The records list as the tracer delivered it: record strings at their
        indices, None where it had none."""
        if self._records is None:
            object.__setattr__(self, "_records", self.reader.record_strings())
        return self._records

    def _fields(self):
        return (self.name, self.native_id, self.records, self.coroutines)

    def __repr__(self):
        return (f"SavedThread(name={self.name!r}, native_id={self.native_id!r}, "
                f"records=<{self.reader.count} records>, coroutines={self.coroutines!r})")


class SavedTrace:
    """A trace read from a file: what `spantree.trace` gives once it has
    ended (`threads`, `raw`, `tree`, `records`, `threshold_ns`, `depth`,
    `coroutines`), and what the program was: `pid`, `command` (its command
    line), `target` (as headers name it), `cwd`, `python` (its version),
    `host`, `start_ns` (wall clock) and `exit_status`."""

    hook_lost = None
    hook_lost_ns = None

    def __init__(self, process, threads):
        for name in PROCESS_FIELDS:
            setattr(self, name, process[name])
        self.threads = tuple(threads)
        self._tree = None

    @property
    def raw(self):
        """The first thread's records list (the thread that ran the trace)."""
        return self.threads[0].records if self.threads else []

    @property
    def tree(self):
        if self._tree is None:
            from .records import decode

            self._tree = decode(self.raw, coroutines=self.coroutines)
        return self._tree

    @property
    def records(self):
        return self.tree.records

    def process(self):
        return {name: getattr(self, name) for name in PROCESS_FIELDS}

    def save(self, file):
        """Writes this trace to `file` as `spantree.trace.save` does."""
        save(self, file)


def process_of(trace, **given):
    """What a trace's process was, as its file says: `given` fields (the
    command line gives its own), the rest from this process."""
    import socket
    import time

    process = {
        "pid": os.getpid(), "command": list(sys.argv), "target": " ".join(sys.argv) or "python",
        "cwd": os.getcwd(), "python": sys.version.split()[0], "host": socket.gethostname(),
        "start_ns": getattr(trace, "start_ns", None) or time.time_ns(), "exit_status": None,
        "threshold_ns": trace.threshold_ns, "depth": trace.depth, "coroutines": trace.coroutines,
    }
    process.update(given)
    return process


def _section(tag, payload):
    return _SECTION.pack(tag, len(payload), zlib.crc32(payload)) + payload


def write(trace, out, process=None):
    """Writes `trace` (an ended spantree.trace or a SavedTrace) to the binary
    file `out`, with `process` (a dict of PROCESS_FIELDS; by default
    `process_of(trace)`)."""
    from .views import read

    if process is None:
        process = trace.process() if isinstance(trace, SavedTrace) else process_of(trace)
    out.write(_HEADER.pack(MAGIC, VERSION, zlib.crc32(_HEADER.pack(MAGIC, VERSION, 0)[:16])))
    out.write(_section(b"PROC", json.dumps(process, separators=(",", ":")).encode()))
    for view in read(trace):
        about = {"name": view.thread.name, "native_id": view.thread.native_id}
        files = getattr(view.reader, "file_data", None)
        if files is not None:
            about["files"] = _jsonable(files())
        head = json.dumps(about, separators=(",", ":")).encode()
        pack = view.reader.pack()
        out.write(_section(b"THRD", b"".join((_THREAD_JSON.pack(len(head)), head, _PACK_SIZE.pack(len(pack)),
                                                zlib.compress(pack, _COMPRESSION)))))
    out.write(_section(b"END.", b""))


def _jsonable(files):
    """The reader's per-file data (the arguments of its set_files) as JSON
    values: bytes become {"bytes": [ints]}."""
    return [{"bytes": list(item)} if isinstance(item, bytes) else item for item in files]


def _from_json(item):
    if isinstance(item, dict) and isinstance(item.get("bytes"), list):
        return bytes(item["bytes"])
    return item


def save(trace, file):
    """Writes `trace` to the path `file`, whole or not at all (as the command
    writes every output: under a temporary name, renamed when complete)."""
    from .cli import write_whole

    write_whole(os.path.realpath(file), lambda out: write(trace, out))


def load(file):
    """The SavedTrace in the file at path `file`; SavedTraceError (naming the
    file and what is wrong) if it is not a whole saved trace, OSError if it
    cannot be read."""
    with open(file, "rb") as source:
        data = source.read()
    try:
        return parse(data)
    except SavedTraceError as exc:
        raise SavedTraceError(f"{os.fsdecode(file)}: {exc}") from None


def parse(data):
    """The SavedTrace in the bytes of a file."""
    data = memoryview(data)
    if not data:
        raise SavedTraceError("the file is empty")
    if len(data) < _HEADER.size:
        if MAGIC.startswith(bytes(data[:len(MAGIC)])):
            raise SavedTraceError("truncated: the file ends inside its header")
        raise SavedTraceError("not a spantree trace file")
    magic, version, check = _HEADER.unpack_from(data)
    if magic != MAGIC:
        raise SavedTraceError("not a spantree trace file")
    if zlib.crc32(data[:16]) != check:
        raise SavedTraceError("corrupted: the header's checksum does not match")
    if version > VERSION:
        raise SavedTraceError(f"written by a newer spantree (format version {version}; "
                              f"this one reads version {VERSION} and older)")
    if version < 1:
        raise SavedTraceError(f"corrupted: format version {version}")
    process, threads, ended = None, [], False
    at = _HEADER.size
    number = 0
    while at < len(data):
        number += 1
        if ended:
            raise SavedTraceError("corrupted: data after the end section")
        if len(data) - at < _SECTION.size:
            raise SavedTraceError(f"truncated: the file ends inside section {number}'s header")
        tag, length, check = _SECTION.unpack_from(data, at)
        at += _SECTION.size
        if length > len(data) - at:
            raise SavedTraceError(f"truncated: section {number} claims {length:,} bytes, {len(data) - at:,} follow")
        payload = data[at:at + length]
        at += length
        if zlib.crc32(payload) != check:
            raise SavedTraceError(f"corrupted: section {number}'s checksum does not match")
        if tag == b"PROC":
            if process is not None:
                raise SavedTraceError("holds several processes, which this version of spantree cannot show")
            process = _process(payload)
        elif tag == b"THRD":
            if process is None:
                raise SavedTraceError(f"corrupted: section {number} is a thread before any process")
            threads.append(_thread(payload, process["coroutines"], len(threads) + 1))
        elif tag == b"END.":
            ended = True
        else:
            raise SavedTraceError(f"corrupted: section {number} has an unknown tag {bytes(tag)!r}")
    if not ended:
        raise SavedTraceError("truncated: the file ends before its end section")
    if process is None:
        raise SavedTraceError("corrupted: no process in the file")
    return SavedTrace(process, threads)


def _json(payload, what):
    try:
        value = json.loads(bytes(payload).decode("utf-8", "surrogatepass"))
    except (UnicodeDecodeError, ValueError):
        value = None
    if not isinstance(value, dict):
        raise SavedTraceError(f"corrupted: {what} is not a JSON object")
    return value


def _process(payload):
    process = _json(payload, "the process section")
    for name, kind in PROCESS_FIELDS.items():
        value = process.get(name)
        if name not in process or not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise SavedTraceError(f"corrupted: the process section's {name!r} is missing or malformed")
    if not all(isinstance(word, str) for word in process["command"]):
        raise SavedTraceError("corrupted: the process section's 'command' is malformed")
    return process


def _thread(payload, coroutines, number):
    what = f"thread {number}"
    if len(payload) < _THREAD_JSON.size:
        raise SavedTraceError(f"corrupted: {what}'s section is too short")
    (head,) = _THREAD_JSON.unpack_from(payload)
    start = _THREAD_JSON.size + head
    if len(payload) - start < _PACK_SIZE.size:
        raise SavedTraceError(f"corrupted: {what}'s section is too short")
    about = _json(payload[_THREAD_JSON.size:start], f"{what}'s header")
    name, native_id = about.get("name"), about.get("native_id")
    if not isinstance(name, str) or not isinstance(native_id, int) or isinstance(native_id, bool):
        raise SavedTraceError(f"corrupted: {what}'s header lacks its name or native id")
    (size,) = _PACK_SIZE.unpack_from(payload, start)
    compressed = payload[start + _PACK_SIZE.size:]
    if size > _MOST_EXPANSION * len(compressed) + 64:
        raise SavedTraceError(f"corrupted: {what} claims {size:,} bytes in {len(compressed):,}")
    try:
        inflate = zlib.decompressobj()
        pack = inflate.decompress(compressed, size + 1)
        ended = inflate.eof and not inflate.unused_data
        if ended and len(pack) == size:
            reader = spantree_reader_C.Reader.unpack(pack)
    except zlib.error:
        ended = False
    except MemoryError:
        raise SavedTraceError(f"{what} is too large to load in the memory available") from None
    except ValueError as exc:
        raise SavedTraceError(f"corrupted: {what}: {exc}") from None
    if not ended or len(pack) != size:
        raise SavedTraceError(f"corrupted: {what}'s records do not decompress")
    if reader.coroutines != coroutines:
        raise SavedTraceError(f"corrupted: {what}'s mode differs from its process's")
    files = about.get("files")
    if files is not None:
        _set_files(reader, files, what)
    return SavedThread(name, native_id, reader, coroutines)


def _set_files(reader, files, what):
    setter = getattr(reader, "set_files", None)
    if setter is None:
        return  # per-file data this version does not show
    if not isinstance(files, list):
        raise SavedTraceError(f"corrupted: {what}'s file data is malformed")
    try:
        setter(*map(_from_json, files))
    except (TypeError, ValueError) as exc:
        raise SavedTraceError(f"corrupted: {what}'s file data: {exc}") from None
