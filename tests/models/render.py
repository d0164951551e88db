"""The views of a call tree written plainly in Python: the indented text
tree, collapsed stacks and the Chrome Trace Event document, each the oracle
of the native reader's writer of that view.

They take a CallTree from the record model (models.record_model), which
parses the records itself; the duration format and the limits on indentation
and stack depth are the package's own, as the reader exports them.
"""

import os

from spantree import Kind, format_duration
from spantree_reader_C import MAX_INDENT, MAX_STACK_FRAMES, PLACEHOLDER_NOTE

UNKNOWN = "[unknown]"
DEEPER = "[deeper]"


def _where(record):
    return f"{os.path.basename(record.file)}:{record.line}"


def describe(record):
    """"name  file.py:line", with "(coroutine)" after a coroutine's; built-ins
    by name, await records as the suspension they are."""
    match record.kind:
        case Kind.AWAIT:
            return "[await]  (suspended)"
        case Kind.BUILTIN:
            return f"{record.name}  <built-in>"
        case Kind.COROUTINE:
            return f"{record.name}  {_where(record)}  (coroutine)"
    return f"{record.name}  {_where(record)}"


def _label(node):
    if node.record is None:
        return f"{UNKNOWN}  #{node.index} {PLACEHOLDER_NOTE}"
    return describe(node.record)


def _indent(depth):
    """Two spaces a level, up to MAX_INDENT levels; deeper lines show their depth."""
    if depth <= MAX_INDENT:
        return "  " * depth
    return f"{'  ' * MAX_INDENT}[{depth}] "


def _share(record, parent_ns):
    if record is None or parent_ns is None or record.duration_ns < 0 or parent_ns <= 0:
        return ""
    return f"{100 * record.duration_ns / parent_ns:.1f}%"


def text_tree(tree):
    """One line per node: duration, share of its parent's duration (of all
    top-level records for the top), then the indented label."""
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
        lines.append(f"{duration:>10}  {share:>6}  {_indent(depth)}{_label(node)}")
    return "\n".join(lines) + "\n"


def chrome_trace(tree, *, pid=1, tid=1, process_name=None, thread_name=None):
    """The Chrome Trace Event document: one "X" event per record in
    pre-order, ts and dur in microseconds since the earliest record."""
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
    """One "a;b;c <self-time-ns>" line per distinct stack with positive self
    time, in order of first appearance; stacks stop at MAX_STACK_FRAMES
    frames, deeper calls counted on one "[deeper]" frame there."""
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
