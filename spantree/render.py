"""The views of one CallTree as Python values: an indented text tree,
collapsed stacks for flame-graph tools and a Chrome Trace Event document for
Perfetto, each written by the native reader that decoded the tree; and the
duration format every Python view uses."""

import io
import os

from .traced import Kind


def format_duration(ns):
    """A duration for people: "870 ns", "12.3 us", "4.56 ms", "1.20 s"."""
    magnitude = abs(ns)
    if magnitude < 1_000:
        return f"{ns} ns"
    for scale, unit in ((1_000, "us"), (1_000_000, "ms")):
        if magnitude < scale * 1_000:
            return f"{ns / scale:.{1 if magnitude >= scale * 10 else 2}f} {unit}"
    return f"{ns / 1e9:.2f} s"


def _where(record):
    label = getattr(record, "label", None) or os.path.basename(record.file)
    return f"{label}:{record.line}"


def describe(record):
    """A function for people: "name  file.py:line", with "(coroutine)" after a
    coroutine's; built-ins by name, await records as the suspension they are.
    `record` is anything with kind, name, file and line."""
    match record.kind:
        case Kind.IMPORT:
            label = getattr(record, "label", None)
            return f"{record.name}  {label}" if label else record.name
        case Kind.AWAIT:
            return "[await]  (suspended)"
        case Kind.BUILTIN:
            return f"{record.name}  <built-in>"
        case Kind.COROUTINE:
            return f"{record.name}  {_where(record)}  (coroutine)"
    return f"{record.name}  {_where(record)}"


def _reader(tree):
    if tree.reader is None:
        raise TypeError("the views of a CallTree are written by the reader that decoded it: "
                        "make the tree with spantree.decode")
    return tree.reader


def _written(write_to):
    out = io.BytesIO()
    write_to(out.write)
    return out.getvalue()


def text_tree(tree):
    """One line per node: duration, share of its parent's duration (of all
    top-level records for the top), then the indented name and file:line.
    Indentation stops growing at spantree_reader_C.MAX_INDENT levels."""
    reader = _reader(tree)
    body = _written(lambda write: reader.write_tree(write, 0, 0.0, 1, None, False))
    return f"{'time':>10}  {'share':>6}  call\n" + body.decode("utf-8", "surrogatepass")


def chrome_trace(tree, *, pid=1, tid=1, process_name=None, thread_name=None):
    """A Chrome Trace Event document (a dict to dump as JSON) that Perfetto opens.

    Every record is one complete ("X") event on the one track of the traced
    thread, with ts and dur in microseconds since the earliest record (the
    wall-clock start in ns is kept under otherData), and its index and its
    parent's under args; await records are events of their own, category
    "await". A negative duration (the clock stepped back) becomes dur 0, with
    the measured value under args. Placeholders have no event; their
    children keep their own times.
    """
    import json

    reader = _reader(tree)
    base_ns = reader.first_start if reader.first_start is not None else 0
    events = []
    for name, value in (("process_name", process_name), ("thread_name", thread_name)):
        if value:
            events.append({"name": name, "ph": "M", "ts": 0, "dur": 0, "pid": pid, "tid": tid,
                           "args": {"name": value}})
    written = _written(lambda write: reader.write_chrome(write, 0, 0, base_ns, True, True))
    events += ({"name": event["name"], "cat": event["cat"], "ph": "X", "ts": float(event["ts"]),
                "dur": float(event["dur"]), "pid": pid, "tid": tid, "args": event["args"]}
               for event in json.loads(b"[" + written + b"]"))
    return {"traceEvents": events, "displayTimeUnit": "ms",
            "otherData": {"clock": "CLOCK_REALTIME", "start_ns": base_ns}}


def collapsed_stacks(tree):
    """Collapsed stacks, one "a;b;c <self-time-ns>" line per distinct stack.

    Self time is a record's duration less its children's; stacks that come
    out at zero or below (placeholders, or children outlasting their parent
    because the clock stepped) are left out. Lines keep the order in which
    their stacks first appear. A stack stops at MAX_STACK_FRAMES frames: what
    runs deeper is counted on one "[deeper]" frame there, so that output stays
    linear in the trace's size."""
    reader = _reader(tree)
    return _written(lambda write: reader.write_collapsed(write, False, False)).decode("utf-8", "surrogatepass")
