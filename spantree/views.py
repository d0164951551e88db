"""Views of a whole trace, written as they are produced.

Each function takes the traced threads — an ended `spantree.trace`, one
ThreadTrace, or a sequence of them — and writes bytes, in chunks of at most
512 KiB, to `out`: anything with a `write` method taking bytes (a binary file,
sys.stdout.buffer, a gzip.GzipFile, an io.BytesIO). The records are read and
every view is produced by the native reader (spantree_reader_C); Python only
arranges threads and headers.

    write_summary   where the time went: one row per function
    write_tree      the call tree, folded to stay readable, or complete
    write_perfetto  Chrome Trace Event JSON, one track per thread
    write_collapsed collapsed stacks for flame-graph tools

A negative duration (the wall clock stepped back during a call) counts as 0
in every sum and self time; the longest-call column and Perfetto's args keep
the measured value.
"""

import os

import spantree_reader_C

from .traced import KINDS_BY_CODE, Kind, SlotFields, ThreadTrace
from .render import describe, format_duration

DEFAULT_MIN_SHARE = 0.005
DEFAULT_TOP = 30
SORT_KEYS = ("self", "total", "calls", "max")


class ThreadView:
    """One thread's records as read by the native reader.

    `reader.columns()` gives its arrays for tools that draw the tree themselves:
    a dict of bytes objects in native byte order, one entry per node (the
    list's indices, then placeholders for parent indices past its end), to be
    read with `array.array(code, data)` or `memoryview(data).cast(code)`:

        kind 'B' (0 placeholder, 1 call, 2 built-in, 3 coroutine, 4 await,
        5 empty slot), name 'I' and file 'I' (ids into `reader.strings()`),
        line 'q', start 'q' (wall-clock ns), duration 'q' (ns), parent 'q'
        (node id, -1 at the top), depth 'I', index 'q' (the record index a
        node stands for), function 'I' (one id per name, file and line;
        0xFFFFFFFF for placeholders), first_child 'I' (nodes + 1 offsets into
        children), children 'I', roots 'I', order 'I' (pre-order). A
        placeholder's start and duration span its children, from the
        earliest start to the latest end (no view counts that time).

    `reader.preorder(base_ns)` gives kind, name, file, line, start (ns after
    base_ns), duration and depth of every node in pre-order, with name and
    file 0xFFFFFFFF for placeholders: the arrays a drawing reads as they are.
    """

    __slots__ = ("thread", "reader")

    def __init__(self, thread, reader):
        self.thread = thread  # ThreadTrace
        self.reader = reader  # spantree_reader_C.Reader

    @property
    def busy_ns(self):
        return self.reader.top_ns


def read(source):
    """ThreadViews of a trace, a ThreadTrace, a sequence of them, or ThreadViews."""
    if isinstance(source, (ThreadTrace, ThreadView)):
        source = (source,)
    elif hasattr(source, "threads"):
        source = source.threads
    views = []
    for item in source:
        if isinstance(item, ThreadView):
            views.append(item)
        elif isinstance(item, ThreadTrace):
            # A thread read from a saved trace comes with its reader.
            reader = getattr(item, "reader", None)
            if reader is None:
                reader = spantree_reader_C.Reader(item.records, item.coroutines)
            views.append(ThreadView(item, reader))
        else:
            raise TypeError(f"expected ThreadTrace objects, got {type(item).__name__}")
    return views


def _busiest_first(views):
    return sorted(views, key=lambda v: -v.busy_ns)


def _text(out, text):
    # A raw file may take part of what it is given.
    data = memoryview(text.encode("utf-8", "backslashreplace"))
    while data:
        count = out.write(data)
        data = data[count if isinstance(count, int) else len(data):]


def _thread_header(view):
    thread = view.thread
    return (f"thread {thread.name} (native id {thread.native_id}): {view.reader.count:,} records, "
            f"{format_duration(view.busy_ns)}\n")


def write_tree(source, out, *, full=False, min_share=DEFAULT_MIN_SHARE, notes=None):
    """The call tree, one section per thread, busiest first.

    Folded (the default): consecutive sibling calls of one function share a
    line ("fib ×951") with their count, total, self time and longest call;
    below a folded line, the calls of its members gather by function. Lines
    under `min_share` of the whole trace are left out and counted on one
    "… n shorter calls" line. With `full`, every record has its line, as
    `text_tree` writes it. Either way, indentation stops growing at
    spantree_reader_C.MAX_INDENT levels and deeper lines show their depth.
    `notes`, a function of a ThreadView, gives bytes per function of its
    reader (in the order of `functions()`) to end the folded tree's lines."""
    views = read(source)
    if not 0 <= min_share <= 1:
        raise ValueError(f"min_share must be between 0 and 1, not {min_share}")
    whole = sum(v.busy_ns for v in views)
    several = len(views) > 1
    for number, view in enumerate(_busiest_first(views)):
        if several:
            _text(out, ("\n" if number else "") + _thread_header(view))
        if full:
            _text(out, f"{'time':>10}  {'share':>6}  call\n")
        else:
            _text(out, f"{'total':>10}{'self':>10}  {'share':>6}  call\n")
        view.reader.write_tree(out.write, whole, min_share, full, None if notes is None else notes(view))


def write_collapsed(source, out):
    """Collapsed stacks ("a;b;c <self-time-ns>"), each thread's in turn, as
    `collapsed_stacks` writes them."""
    for view in read(source):
        view.reader.write_collapsed(out.write)


def write_perfetto(source, out, *, pid=None, process_name=None):
    """Chrome Trace Event JSON that Perfetto opens (also gzip-compressed).

    One track per thread (tid = its native id, named by a thread_name event),
    all on one time axis: ts and dur are microseconds since the earliest
    record of any thread, whose wall-clock start in ns is under otherData.
    Every record is one complete ("X") event; await records have category
    "await"; calls carry their file and line under args. A negative duration
    becomes dur 0 with the measured value under args.duration_ns."""
    import json

    views = read(source)
    pid = os.getpid() if pid is None else pid
    starts = [v.reader.first_start for v in views if v.reader.first_start is not None]
    base = min(starts, default=0)
    meta = []
    if process_name:
        meta.append({"ph": "M", "name": "process_name", "pid": pid, "args": {"name": process_name}})
    for view in views:
        meta.append({"ph": "M", "name": "thread_name", "pid": pid, "tid": view.thread.native_id,
                     "args": {"name": view.thread.name}})
    head = ",\n".join(json.dumps(m, separators=(",", ":")) for m in meta)
    _text(out, '{"traceEvents":[\n' + head)
    first = not meta
    for view in views:
        if view.reader.write_chrome(out.write, pid, view.thread.native_id, base, first):
            first = False
    _text(out, f'\n],"displayTimeUnit":"ms","otherData":{{"clock":"CLOCK_REALTIME","start_ns":{base}}}}}\n')


class FunctionRow(SlotFields):
    """One function of the summary. `total_ns` counts a call made inside
    another call of the same function once; `self_ns` is the calls' durations
    less their recorded children's; `longest_ns` is the longest single call
    as measured."""

    __slots__ = ("kind", "name", "file", "line", "calls", "total_ns", "self_ns", "longest_ns")

    def __init__(self, kind, name, file, line, calls=0, total_ns=0, self_ns=0, longest_ns=None):
        self.kind, self.name, self.file, self.line = kind, name, file, line
        self.calls, self.total_ns, self.self_ns, self.longest_ns = calls, total_ns, self_ns, longest_ns


def _key(kind, name, file, line):
    # Built-ins by name; a coroutine and a call of one function share a row.
    if kind is Kind.BUILTIN:
        return ("built-in", name)
    if kind is Kind.AWAIT:
        return ("await",)
    return ("code", name, file, line)


def functions(source):
    """FunctionRows totalled over every thread of `source`, in no order."""
    rows = {}
    for view in read(source):
        for kind, name, file, line, calls, total, self_ns, longest in view.reader.functions():
            kind = KINDS_BY_CODE[kind]
            row = rows.setdefault(_key(kind, name, file, line), FunctionRow(kind, name, file, line))
            if kind is Kind.COROUTINE:
                row.kind = kind
            row.calls += calls
            row.total_ns += total
            row.self_ns += self_ns
            row.longest_ns = longest if row.longest_ns is None else max(row.longest_ns, longest)
    return list(rows.values())


_SORTS = {
    "self": lambda r: r.self_ns,
    "total": lambda r: r.total_ns,
    "calls": lambda r: r.calls,
    "max": lambda r: r.longest_ns,
}


def _table(rows, whole, sort, top):
    if sort not in _SORTS:
        raise ValueError(f"sort must be one of {', '.join(SORT_KEYS)}, not {sort!r}")
    rows = sorted(rows, key=lambda r: (-_SORTS[sort](r), r.name, r.file, r.line))
    shown, rest = (rows, []) if top is None else (rows[:top], rows[top:])
    lines = [f"{'calls':>11}{'total':>11}{'self':>11}{'longest':>11}{'share':>8}  function"]
    for row in shown:
        share = f"{100 * row.self_ns / whole:.1f}%" if whole > 0 else ""
        lines.append(f"{row.calls:>11,}{format_duration(row.total_ns):>11}{format_duration(row.self_ns):>11}"
                     f"{format_duration(row.longest_ns):>11}{share:>8}  {describe(row)}")
    if rest:
        lines.append(f"… {len(rest):,} more function{'s' if len(rest) > 1 else ''}: "
                     f"{sum(r.calls for r in rest):,} calls, "
                     f"{format_duration(sum(r.self_ns for r in rest))} self time")
    return lines


def summary(source, *, sort="self", top=DEFAULT_TOP, per_thread=False):
    """Where the time went, as text: one row per function (name, file:line;
    built-ins by name) with its calls, total time (recursion counted once),
    self time, longest call and self time's share of the trace, sorted by
    `sort` (self, total, calls or max), the `top` first (None for all). In a
    coroutine-aware trace the time spent suspended is the [await] row. With
    `per_thread`, a table per thread follows, busiest first."""
    views = read(source)
    whole = sum(v.busy_ns for v in views)
    rows = functions(views)
    calls = sum(r.calls for r in rows)
    threads = f" on {len(views)} threads" if len(views) > 1 else ""
    order = {"self": "self time", "total": "total time", "calls": "calls", "max": "longest call"}.get(sort, sort)
    lines = [f"{calls:,} calls of {len(rows):,} functions{threads}, {format_duration(whole)} traced; "
             f"by {order}"]
    lines += _table(rows, whole, sort, top)
    if per_thread:
        for view in _busiest_first(views):
            lines += ["", _thread_header(view).rstrip("\n")]
            lines += _table(functions([view]), whole, sort, top)
    return "\n".join(lines) + "\n"


def write_summary(source, out, **options):
    """`summary` written to `out` as UTF-8."""
    _text(out, summary(source, **options))
