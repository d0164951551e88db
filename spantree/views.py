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

from .defaults import DEFAULT_MIN_SHARE, DEFAULT_SORT, DEFAULT_TOP, SORT_KEYS
from .traced import KINDS_BY_CODE, Kind, SlotFields, ThreadTrace
from .render import describe, format_duration


class ThreadView:
    """One thread's records as read by the native reader.

    `reader.columns()` gives its arrays for tools that draw the tree themselves:
    a dict of bytes objects in native byte order, one entry per node (the
    list's indices, then placeholders for parent indices past its end), to be
    read with `array.array(code, data)` or `memoryview(data).cast(code)`:

        kind 'B' (a Kind's `code`, or traced.PLACEHOLDER_CODE or EMPTY_CODE),
        name 'I' and file 'I' (ids into `reader.strings()`),
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

    `reader.files()` lists the thread's distinct files (index = file id) and
    `reader.set_files(classes, labels, modules)` tells the reader, per file
    id, whose code it is (0 the program's own, 1 library, 2 built-in, 3 import
    machinery), its label and its module name ("" for none). Then
    `reader.grouped(min_ns=0, grouping=True)` gives the lines of the grouped
    tree (the default text tree, without its cut below `min_ns`) in
    pre-order, siblings heaviest first, one entry per line:

        depth 'I', kind 'B' (0 placeholder, 1 call, 2 built-in, 3 coroutine,
        4 await, 6 import, 7 a library call hiding frames, 8 recursion; a
        "… n shorter calls" line has kind 0 and name 0xFFFFFFFF), cls 'B'
        (the class of the line's file), name 'I' (an id into
        `reader.strings()`, read after this call: "import json" and the like
        are added), file 'I' (a file id; 0xFFFFFFFF for none), line 'q',
        count 'I' (calls sharing the line), total 'q', self 'q', longest 'q'
        (ns), hidden 'I' (records folded into the line beyond its calls),
        deep 'I' (a recursion's depth in calls), hot_name 'I', hot_file 'I'
        and hot_line 'q' (the hottest hidden record by self time).

    With `grouping=False` the lines are those of the tree that shows every
    frame: every record a line, gathered and ordered the same way.

    `labels` maps each file string of the thread to the label it is shown
    by (spantree.origins), as the reader was given it.
    """

    __slots__ = ("thread", "reader", "labels")

    def __init__(self, thread, reader):
        self.thread = thread  # ThreadTrace
        self.reader = reader  # spantree_reader_C.Reader
        self.labels = {}

    @property
    def busy_ns(self):
        return self.reader.top_ns


class Views(list):
    """ThreadViews, and the count of threads that made no recorded call
    (listed in none of them)."""

    quiet_threads = 0


def read(source):
    """ThreadViews of a trace, a ThreadTrace, a sequence of them, or ThreadViews.

    The files of the threads read here are classed and named together
    (spantree.origins): by the trace's own settings when `source` is a
    trace, else as the running interpreter tells."""
    origins = source.origins() if hasattr(source, "origins") else None
    views = Views()
    views.quiet_threads = getattr(source, "quiet_threads", 0)
    if isinstance(source, (ThreadTrace, ThreadView)):
        source = (source,)
    elif hasattr(source, "threads"):
        source = source.threads
    fresh = []
    for item in source:
        if isinstance(item, ThreadView):
            views.append(item)
        elif isinstance(item, ThreadTrace):
            views.append(ThreadView(item, item.reader))
            labels = getattr(item, "labels", None)
            if labels is None:
                fresh.append(views[-1])
            else:
                # A thread read from a saved trace: its reader knows its files already.
                views[-1].labels = labels
        else:
            raise TypeError(f"expected ThreadTrace objects, got {type(item).__name__}")
    if fresh:
        _describe_files(fresh, origins)
    return views


def _describe_files(views, origins):
    """Tells each view's reader whose code its files are and how they are
    named, deciding each distinct file once for all the threads, so that no
    two files share a label anywhere in a view."""
    if origins is None:
        from .origins import Origins

        origins = Origins.now()
    files = [view.reader.files() for view in views]
    every = list(dict.fromkeys(file for some in files for file in some))
    classes, labels, modules = origins.describe(every)
    position = {file: at for at, file in enumerate(every)}
    for view, some in zip(views, files):
        at = [position[file] for file in some]
        view.labels = {file: labels[i] for file, i in zip(some, at)}
        view.reader.set_files(bytes(classes[i] for i in at), [labels[i] for i in at], [modules[i] for i in at])


def _busiest_first(views):
    return sorted(views, key=lambda v: -v.busy_ns)


def _sections(views):
    """The views that get a section of their own (those with a record, or
    the first if none has one), and how many threads made no recorded
    call: listed without one, or counted by the trace (`quiet_threads`)."""
    shown = [v for v in views if v.reader.count] or views[:1]
    return shown, len(views) - len(shown) + views.quiet_threads


def _quiet_line(quiet):
    return f"… {quiet:,} more thread{'s' if quiet > 1 else ''} made no recorded call\n" if quiet else ""


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


def self_note(source=None, *, threshold_ns=None, depth=None):
    """The legend of a self-time column, or "" when self time is exactly what
    each call spent outside its recorded callees: at a threshold above 0 it
    includes every callee shorter than the threshold, and in depth mode every
    call deeper than the depth. Settings not given are the trace's own."""
    if threshold_ns is None and depth is None:
        threshold_ns = getattr(source, "threshold_ns", None)
        depth = getattr(source, "depth", None)
    if depth is not None:
        return (f"self*: includes the calls deeper than {depth} level{'s' if depth != 1 else ''}, "
                "which the trace leaves out")
    if threshold_ns:
        return f"self*: includes the calls shorter than {format_duration(threshold_ns)}, which the trace leaves out"
    return ""


# write_tree's modes, as the reader numbers them.
_GROUPED, _FULL, _FOLDED = 0, 1, 2


def write_tree(source, out, *, full=False, show_all=False, min_share=DEFAULT_MIN_SHARE, threshold_ns=None,
               depth=None, notes=None):
    """The call tree, one section per thread, busiest first.

    Grouped (the default): an import is one line ("import json") with the
    imports it triggers beneath it; a run of library frames entered from the
    program's own code is one line, the call the program made, naming how
    many frames it hides and the hottest, with the program's code it leads
    back to beneath it; a recursion (one function, or a cycle of up to three,
    repeated three times or more down a chain) is one line. Sibling calls of
    one function share a line ("fib ×951") with their count, total, self time
    and longest call; below a shared line, the calls of its members gather by
    function; siblings come heaviest first. Lines under `min_share` of the
    whole trace are left out and counted on one "… n shorter calls" line.
    `show_all` keeps every frame, sharing and ordering lines the same way;
    with `full`, every record has its line, in call order, as `text_tree`
    writes it. Either way, indentation stops growing at
    spantree_reader_C.MAX_INDENT levels and deeper lines show their depth.
    The self-time column is marked self* with a legend line when it includes
    calls the trace left out (see `self_note`). `notes`, a function of a
    ThreadView, gives bytes per function of its reader (in the order of
    `functions()`) to end the grouped or folded tree's lines."""
    note = self_note(source, threshold_ns=threshold_ns, depth=depth)
    views, quiet = _sections(read(source))
    if not 0 <= min_share <= 1:
        raise ValueError(f"min_share must be between 0 and 1, not {min_share}")
    whole = sum(v.busy_ns for v in views)
    several = len(views) > 1 or quiet > 0
    if note and not full:
        _text(out, note + "\n")
    for number, view in enumerate(_busiest_first(views)):
        if several:
            _text(out, ("\n" if number else "") + _thread_header(view))
        if full:
            _text(out, f"{'time':>10}  {'share':>6}  call\n")
        else:
            _text(out, f"{'total':>10}{'self*' if note else 'self':>10}  {'share':>6}  call\n")
        mode = _FULL if full else _FOLDED if show_all else _GROUPED
        view.reader.write_tree(out.write, whole, min_share, mode, None if notes is None or full else notes(view))
    if quiet:
        _text(out, "\n" + _quiet_line(quiet))


def write_collapsed(source, out, *, grouped=False):
    """Collapsed stacks ("a;b;c <self-time-ns>"), each thread's in turn, as
    `collapsed_stacks` writes them: every frame; with `grouped`, the stacks
    of the grouped tree `write_tree` shows by default."""
    for view in read(source):
        view.reader.write_collapsed(out.write, grouped)


def write_perfetto(source, out, *, pid=None, process_name=None):
    """Chrome Trace Event JSON that Perfetto opens (also gzip-compressed).

    One track per thread (tid = its native id, named by a thread_name event),
    all on one time axis: ts and dur are microseconds since the earliest
    record of any thread, whose wall-clock start in ns is under otherData.
    Every record is one complete ("X") event; await records have category
    "await"; calls carry their file and line under args. A negative duration
    becomes dur 0 with the measured value under args.duration_ns."""
    write_perfetto_processes([(os.getpid() if pid is None else pid, process_name, source)], out)


def write_perfetto_processes(processes, out):
    """As write_perfetto, for several processes on one time axis:
    `processes` holds (pid, process name or None, traced threads) for each."""
    import json

    processes = [(pid, name, read(source)) for pid, name, source in processes]
    starts = [v.reader.first_start for _, _, views in processes for v in views if v.reader.first_start is not None]
    base = min(starts, default=0)
    meta = []
    for pid, process_name, views in processes:
        if process_name:
            meta.append({"ph": "M", "name": "process_name", "pid": pid, "args": {"name": process_name}})
        for view in views:
            meta.append({"ph": "M", "name": "thread_name", "pid": pid, "tid": view.thread.native_id,
                         "args": {"name": view.thread.name}})
    head = ",\n".join(json.dumps(m, separators=(",", ":")) for m in meta)
    _text(out, '{"traceEvents":[\n' + head)
    first = not meta
    for pid, _, views in processes:
        for view in views:
            if view.reader.write_chrome(out.write, pid, view.thread.native_id, base, first):
                first = False
    _text(out, f'\n],"displayTimeUnit":"ms","otherData":{{"clock":"CLOCK_REALTIME","start_ns":{base}}}}}\n')


class FunctionRow(SlotFields):
    """One function of the summary. `total_ns` counts a call made inside
    another call of the same function once; `self_ns` is the calls' durations
    less their recorded children's; `longest_ns` is the longest single call
    as measured."""

    __slots__ = ("kind", "name", "file", "line", "calls", "total_ns", "self_ns", "longest_ns", "label")

    def __init__(self, kind, name, file, line, calls=0, total_ns=0, self_ns=0, longest_ns=None, label=""):
        self.kind, self.name, self.file, self.line, self.label = kind, name, file, line, label
        self.calls, self.total_ns, self.self_ns, self.longest_ns = calls, total_ns, self_ns, longest_ns


def _key(kind, name, file, line):
    # Built-ins by name; a coroutine and a call of one function share a row.
    if kind is Kind.BUILTIN:
        return ("built-in", name)
    if kind is Kind.AWAIT:
        return ("await",)
    if kind is Kind.IMPORT:
        return ("import", name)
    return ("code", name, file, line)


def functions(source, *, grouped=False):
    """FunctionRows totalled over every thread of `source`, in no order; with
    `grouped`, the functions of the grouped tree: an import per module, and
    a library call with the frames it hides in its self time."""
    rows = {}
    for view in read(source):
        for kind, name, file, line, calls, total, self_ns, longest, label in view.reader.functions(grouped=grouped):
            kind = KINDS_BY_CODE[kind]
            row = rows.setdefault(_key(kind, name, file, line), FunctionRow(kind, name, file, line, label=label))
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


def _table(rows, whole, sort, top, marked=False):
    if sort not in _SORTS:
        raise ValueError(f"sort must be one of {', '.join(SORT_KEYS)}, not {sort!r}")
    rows = sorted(rows, key=lambda r: (-_SORTS[sort](r), r.name, r.file, r.line))
    shown, rest = (rows, []) if top is None else (rows[:top], rows[top:])
    self_head = "self*" if marked else "self"
    lines = [f"{'calls':>11}{'total':>11}{self_head:>11}{'longest':>11}{'share':>8}  function"]
    for row in shown:
        share = f"{100 * row.self_ns / whole:.1f}%" if whole > 0 else ""
        lines.append(f"{row.calls:>11,}{format_duration(row.total_ns):>11}{format_duration(row.self_ns):>11}"
                     f"{format_duration(row.longest_ns):>11}{share:>8}  {describe(row)}")
    if rest:
        lines.append(f"… {len(rest):,} more function{'s' if len(rest) > 1 else ''}: "
                     f"{sum(r.calls for r in rest):,} calls, "
                     f"{format_duration(sum(r.self_ns for r in rest))} self time")
    return lines


# The parts of the trace's time in the summary's first line, as split() names them.
_SPLIT = (("import", "imports"), ("own", "own code"), ("library", "libraries"), ("builtin", "built-ins"),
          ("waiting", "waiting"))


def split(source):
    """The trace's time by where it went, in ns: {"import", "own", "library",
    "builtin", "waiting"}. Time under an import is import time; the rest is
    each call's self time by the class of its file; waiting is the time
    coroutines spent suspended. The parts add up to the traced time."""
    parts = {key: 0 for key, _ in _SPLIT}
    for view in read(source):
        for key, ns in view.reader.split().items():
            parts[key] += ns
    return parts


def split_line(parts):
    """The summary's first line: each non-empty part with its time and share."""
    whole = sum(parts.values())
    shown = [f"{name} {format_duration(parts[key])} ({100 * parts[key] / whole:.1f}%)"
             for key, name in _SPLIT if parts[key] or key == "own"] if whole > 0 else []
    return "time in " + ", ".join(shown) if shown else "no time traced"


def summary(source, *, sort=DEFAULT_SORT, top=DEFAULT_TOP, per_thread=False, show_all=False, threshold_ns=None,
            depth=None):
    """Where the time went, as text. A first line splits the trace (see
    `split`); then one row per function (name, file:line; built-ins by name)
    with its calls, total time (recursion counted once), self time, longest
    call and self time's share of the trace, sorted by `sort` (self, total,
    calls or max), the `top` first (None for all). Rows follow the grouped
    tree: an import is one row ("import json"), with no rows for the import
    machinery, and a library call holds the self time of the frames it hides;
    `show_all` gives a row to every function instead. In a coroutine-aware
    trace the time spent suspended is the [await] row. With `per_thread`, a
    table per thread follows, busiest first. A self* column has a legend
    line (see `self_note`)."""
    note = self_note(source, threshold_ns=threshold_ns, depth=depth)
    views, quiet = _sections(read(source))
    whole = sum(v.busy_ns for v in views)
    grouped = not show_all
    rows = functions(views, grouped=grouped)
    calls = sum(r.calls for r in rows)
    threads = f" on {len(views)} threads" if len(views) > 1 else ""
    order = {"self": "self time", "total": "total time", "calls": "calls", "max": "longest call"}.get(sort, sort)
    lines = [split_line(split(views)),
             f"{calls:,} calls of {len(rows):,} functions{threads}, "
             f"{format_duration(whole)} traced; by {order}"]
    if note:
        lines.append(note)
    lines += _table(rows, whole, sort, top, bool(note))
    if quiet:
        lines.append(_quiet_line(quiet).rstrip("\n"))
    if per_thread:
        for view in _busiest_first(views):
            lines += ["", _thread_header(view).rstrip("\n")]
            lines += _table(functions([view], grouped=grouped), whole, sort, top, bool(note))
    return "\n".join(lines) + "\n"


def write_summary(source, out, **options):
    """`summary` written to `out` as UTF-8."""
    _text(out, summary(source, **options))
