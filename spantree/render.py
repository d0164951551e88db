"""Renderers of a CallTree: an indented text tree, Chrome Trace Event JSON for
Perfetto, and collapsed stacks for flame-graph tools."""

import os

from spantree_reader_C import MAX_INDENT, MAX_STACK_FRAMES

from .traced import Kind

UNKNOWN = "[unknown]"
DEEPER = "[deeper]"


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


def _label(node, coroutines):
    if node.record is None:
        dropped = "a coroutine dropped, or a call dropped" if coroutines else "dropped"
        why = f"still open at the end, or {dropped} as the clock stepped back"
        return f"{UNKNOWN}  #{node.index} left no record ({why})"
    return describe(node.record)


def _indent(depth):
    """Two spaces a level, up to MAX_INDENT levels; deeper lines show their
    depth instead, so that a deep chain's output stays linear in its size."""
    if depth <= MAX_INDENT:
        return "  " * depth
    return f"{'  ' * MAX_INDENT}[{depth}] "


def _share(record, parent_ns):
    if record is None or parent_ns is None or record.duration_ns < 0 or parent_ns <= 0:
        return ""
    return f"{100 * record.duration_ns / parent_ns:.1f}%"


def text_tree(tree):
    """One line per node: duration, share of its parent's duration (of all
    top-level records for the top), then the indented name and file:line.
    Indentation stops growing at MAX_INDENT levels."""
    lines = [f"{'time':>10}  {'share':>6}  call"]
    # A negative duration (the clock stepped back) takes no share of the top.
    top_ns = sum(max(root.record.duration_ns, 0) for root in tree.roots if root.record)
    parent_durations = {}
    for node, depth in tree.walk():
        parent_ns = top_ns if depth == 0 else parent_durations.pop(node.index)
        for child in node.children:
            parent_durations[child.index] = node.record.duration_ns if node.record else None
        duration = format_duration(node.record.duration_ns) if node.record else ""
        share = _share(node.record, parent_ns)
        lines.append(f"{duration:>10}  {share:>6}  {_indent(depth)}{_label(node, tree.coroutines)}")
    return "\n".join(lines) + "\n"


def chrome_trace(tree, *, pid=1, tid=1, process_name=None, thread_name=None):
    """A Chrome Trace Event document (a dict to dump as JSON) that Perfetto opens.

    Every record is one complete ("X") event on the one track of the traced
    thread, with ts and dur in microseconds since the earliest record (the
    wall-clock start in ns is kept under otherData); await records are
    events of their own, category "await". A negative duration (the clock
    stepped back) becomes dur 0, with the measured value under args.
    Placeholders have no event; their children keep their own times.
    """
    records = [node.record for node, _ in tree.walk() if node.record]
    base_ns = min((r.start_ns for r in records), default=0)
    events = []
    for name, value in (("process_name", process_name), ("thread_name", thread_name)):
        if value:
            events.append({"name": name, "ph": "M", "ts": 0, "dur": 0, "pid": pid, "tid": tid,
                           "args": {"name": value}})
    for record in records:
        args = {"index": record.index, "parent": record.parent}
        if record.kind in (Kind.CALL, Kind.COROUTINE):
            args |= {"file": record.file, "line": record.line}
        if record.duration_ns < 0:
            args["duration_ns"] = record.duration_ns
        events.append({
            "name": record.name, "cat": str(record.kind), "ph": "X",
            "ts": (record.start_ns - base_ns) / 1000, "dur": max(record.duration_ns, 0) / 1000,
            "pid": pid, "tid": tid, "args": args,
        })
    return {"traceEvents": events, "displayTimeUnit": "ms",
            "otherData": {"clock": "CLOCK_REALTIME", "start_ns": base_ns}}


def _frame(node):
    record = node.record
    if record is None:
        return UNKNOWN
    if record.kind in (Kind.CALL, Kind.COROUTINE):
        frame = f"{record.name} ({_where(record)})"
    else:
        frame = record.name
    return frame.replace(";", ",").replace("\n", " ")


def collapsed_stacks(tree):
    """Collapsed stacks, one "a;b;c <self-time-ns>" line per distinct stack.

    Self time is a record's duration less its children's; stacks that come
    out at zero or below (placeholders, or children outlasting their parent
    because the clock stepped) are left out. Lines keep the order in which
    their stacks first appear. A stack stops at MAX_STACK_FRAMES frames: what
    runs deeper is counted on one "[deeper]" frame there, so that output stays
    linear in the trace's size."""
    totals = {}
    stacks = {}
    for node, _ in tree.walk():
        parent_stack, frames = stacks.pop(node.index, (None, 0))
        if parent_stack is None:
            stack, frames = _frame(node), 1
        elif frames == MAX_STACK_FRAMES:
            stack, frames = f"{parent_stack};{DEEPER}", frames + 1
        elif frames < MAX_STACK_FRAMES:
            stack, frames = f"{parent_stack};{_frame(node)}", frames + 1
        else:
            stack = parent_stack
        for child in node.children:
            stacks[child.index] = stack, frames
        if node.record is not None:
            children_ns = sum(max(c.record.duration_ns, 0) for c in node.children if c.record)
            totals[stack] = totals.get(stack, 0) + max(node.record.duration_ns - children_ns, 0)
    return "".join(f"{stack} {ns}\n" for stack, ns in totals.items() if ns > 0)
