"""Decoding of the tracer's record strings and the call tree rebuilt from them.

A record string reads

    name U+0000 file U+0000 line U+0001 start_ns U+0001 duration_ns U+0001 parent

and sits at its own index in the records list; None marks an index where
nothing was stored.
"""

import array
from dataclasses import dataclass, field

# Kind and ThreadTrace are also importable from here, their home before traced.py.
from .traced import KINDS_BY_CODE, Kind, ThreadTrace  # noqa: F401


@dataclass(frozen=True, slots=True)
class Record:
    """One decoded record. `parent` is the index of the enclosing record, -1 at the top."""

    index: int
    name: str
    file: str
    line: int
    start_ns: int
    duration_ns: int
    parent: int
    kind: Kind

    @property
    def end_ns(self):
        return self.start_ns + self.duration_ns


@dataclass(frozen=True, slots=True)
class Node:
    """A place in the call tree. `record` is None for a placeholder: an index that
    records point to as their parent but that holds no record itself."""

    index: int
    record: Record | None
    children: tuple["Node", ...]


@dataclass(frozen=True, slots=True)
class CallTree:
    """Decoded records by index (None kept) and the roots of the tree built
    from them. `reader` is the native reader (spantree_reader_C.Reader) that
    decoded them, which writes the tree's views (spantree.text_tree,
    chrome_trace, collapsed_stacks); it takes no part in equality."""

    records: tuple[Record | None, ...]
    roots: tuple[Node, ...]
    coroutines: bool = False
    reader: object = field(default=None, compare=False, repr=False)

    def walk(self):
        """Yields (node, depth) in pre-order, without recursion (traces can be deep)."""
        stack = [(root, 0) for root in reversed(self.roots)]
        while stack:
            node, depth = stack.pop()
            yield node, depth
            stack.extend((child, depth + 1) for child in reversed(node.children))


def decode(records, *, coroutines=False):
    """Decodes a records list as delivered by the tracer into a CallTree.

    `coroutines` tells that the list comes from a coroutine-aware trace. A
    coroutine's record has the same form as a call's, so a record is called a
    coroutine only where the trace shows it: when await records hang under it,
    or, in a coroutine-aware trace, when it is at the top (the tracer follows
    one coroutine there and ignores plain calls). Any other coroutine, one that
    never waited, comes out as a call.

    Every field must be there: a record that is not a str of that form, or
    whose numbers do not fit in 64 bits, whose line is negative, or which
    names itself or an index below -1 as its parent, is a ValueError naming
    its index. The records are parsed by the native reader (spantree_reader_C).

    A record whose parent index holds no record (a call still open when the
    trace ended, or a coroutine the threshold dropped) hangs under a
    placeholder Node for that index, which becomes a root itself.
    """
    import spantree_reader_C

    return tree_of(spantree_reader_C.Reader(records, coroutines), coroutines)


def tree_of(reader, coroutines=False):
    """The CallTree of the records a spantree_reader_C.Reader has read."""
    decoded = [None if f is None else Record(index, *f[:6], KINDS_BY_CODE[f[6]])
               for index, f in enumerate(reader.records())]
    # The reader's tree: node ids are the list's indices, then placeholders
    # for parent indices past its end; children are built before parents.
    columns = reader.columns()
    index, first, children, order, roots = (
        array.array(code, columns[name]) for name, code in
        [("index", "q"), ("first_child", "I"), ("children", "I"), ("order", "I"), ("roots", "I")])
    nodes = [None] * len(index)
    for node in reversed(order):
        record = decoded[node] if node < len(decoded) else None
        nodes[node] = Node(index[node], record, tuple(nodes[c] for c in children[first[node]:first[node + 1]]))
    return CallTree(tuple(decoded), tuple(nodes[r] for r in roots), coroutines, reader)
