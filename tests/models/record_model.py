"""The pure-Python decoder of record strings that the native reader must agree
with on every input: every rule written out plainly, with no concern for speed."""

import re

from spantree import CallTree, Kind, Node, Record

_INTEGER = re.compile(r"-?[0-9]+")


def _fields(index, text):
    """Splits one record string into its six fields, or raises ValueError naming the index.

    The fields are split from the right: the numbers and the file name cannot
    hold the separators, a name made by hand could."""
    if isinstance(text, str):
        described, *numbers = text.rsplit("\x01", 3)
        name, *location = described.rsplit("\x00", 2)
        if len(numbers) == 3 and len(location) == 2 and all(
                _INTEGER.fullmatch(n) for n in (location[1], *numbers)):
            line, start, duration, parent = map(int, (location[1], *numbers))
            fit = all(-2**63 <= n < 2**63 for n in (line, start, duration, parent))
            if fit and line >= 0 and parent >= -1 and parent != index:
                return name, location[0], line, start, duration, parent
    raise ValueError(
        f"record {index} is malformed: expected "
        f"'name\\x00file\\x00line\\x01start\\x01duration\\x01parent', got {text!r}")


def _kind_from_text(name, file, line):
    if line == 0 and file == "<built-in>":
        return Kind.BUILTIN
    if line == 0 and file == "" and name == "[await]":
        return Kind.AWAIT
    return Kind.CALL


def decode(records, *, coroutines=False):
    """The CallTree of a records list, or a ValueError naming the first bad record."""
    fields = {index: _fields(index, text) for index, text in enumerate(records) if text is not None}
    kinds = {index: _kind_from_text(*f[:3]) for index, f in fields.items()}
    for index, kind in kinds.items():
        parent = fields[index][5]
        if kind is Kind.AWAIT and kinds.get(parent) is Kind.CALL:
            kinds[parent] = Kind.COROUTINE
        elif coroutines and parent == -1 and kind is Kind.CALL:
            kinds[index] = Kind.COROUTINE
    decoded = [None] * len(records)
    for index, f in fields.items():
        decoded[index] = Record(index, *f, kinds[index])

    children = {}
    for record in decoded:
        if record is not None:
            children.setdefault(record.parent, []).append(record.index)
    placeholders = sorted(p for p in children if p != -1 and p not in fields)
    root_indices = sorted(children.get(-1, []) + placeholders)

    # Children are built before their parents; indices reachable from no root
    # lie on a parent cycle, which no tracer produces.
    order, stack = [], list(root_indices)
    while stack:
        index = stack.pop()
        order.append(index)
        stack.extend(children.get(index, ()))
    if len(order) != len(fields) + len(placeholders):
        stray = min(set(fields) - set(order))
        raise ValueError(f"record {stray} is not reachable from the top: its parents form a cycle")
    nodes = {}
    for index in reversed(order):
        record = decoded[index] if index in fields else None
        nodes[index] = Node(index, record, tuple(nodes.pop(c) for c in children.get(index, ())))
    return CallTree(tuple(decoded), tuple(nodes[i] for i in root_indices), coroutines)
