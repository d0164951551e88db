"""Synchronous traces of random call trees against a pure-Python model of
the record algorithm.

Each generated program runs once under a plain sys.setprofile hook that
captures the event sequence, and once under spantree_C in every synchronous
mode; a program may end its trace anywhere, inside nested calls. The model
replays the captured events (a node pushed per call, popped per return,
recorded when the filter keeps it, its index given back when not, None
left where a call is still open) and must predict the records exactly,
apart from their times.
"""

import gc
import inspect
import os
import sys

from hypothesis import HealthCheck, given, settings, strategies as st

import spantree_C
from tracer_harness import Delivery, decode

SCALE = int(os.environ.get("SPANTREE_STRESS_SCALE", "1"))
HUGE = 2**63 - 1

# name: (threshold_ns, max_depth, keeps(level)). Depth modes get a threshold
# that would drop everything: depth mode must not look at it. A threshold of
# 0 keeps every call (the wall clock is taken not to step back meanwhile).
MODES = {
    "threshold-0": (0, 0, lambda level: True),
    "threshold-huge": (HUGE, 0, lambda level: False),
    **{f"depth-{d}": (HUGE, d, lambda level, d=d: level <= d) for d in range(1, 5)},
}

PRELUDE = """\
class Boom(Exception):
    pass

class CheckedMeta(type):
    def __instancecheck__(cls, obj):
        return True

class Checked(metaclass=CheckedMeta):
    pass

class Key:
    def __hash__(self):
        return 1

    def __eq__(self, other):
        return True

KEYS = (3, 1, 2)
TABLE = {1: 2}
SINK = []
"""

# Statements that call built-ins; some of them call back into Python code
# (a metaclass's __instancecheck__, a key's __hash__ and __eq__) or raise.
LEAVES = {
    "len": ["len(KEYS)"],
    "isinstance": ["isinstance(KEYS, tuple)"],
    "isinstance-hook": ["isinstance(1, Checked)"],
    "append": ["SINK.append(1)"],
    "get": ["TABLE.get(1)"],
    "get-hashing": ["TABLE.get(Key())"],
    "len-fails": ["try:", "    len(5)", "except TypeError:", "    pass"],
}
# Ends the trace, wherever it stands; it runs on untraced afterwards.
STOP = ["STOP()"]


def statements():
    """A statement: a built-in leaf, or a call of a new function with a body
    of statements, raising Boom at its end or not, its call site catching
    Boom or not."""
    leaf = st.sampled_from(sorted(LEAVES) * 4 + ["stop"]).map(lambda name: ("leaf", name))

    def extend(inner):
        body = st.lists(inner, max_size=4)
        return st.one_of(
            st.tuples(st.sampled_from(["call", "method", "closure", "key"]), body,
                      st.booleans(), st.booleans()),
            st.tuples(st.just("generator"), body, st.integers(0, 3),
                      st.sampled_from(["for", "sum", "list"]), st.booleans()),
            # recursion depth, raising at the bottom or not, the level that catches
            st.tuples(st.just("recursion"), body, st.integers(0, 8), st.booleans(),
                      st.integers(0, 8)),
        )

    return st.recursive(leaf, extend, max_leaves=30)


programs = st.lists(statements(), min_size=1, max_size=5)


def indented(lines, by=4):
    return [" " * by + line for line in lines]


class Source:
    """Python source for a generated program: module-level functions, the
    methods of class Obj, and main()."""

    def __init__(self, program):
        self.functions, self.methods, self.count = [], [], 0
        main = self.function("def main():", program, False)
        methods = ["class Obj:"] + (indented(self.methods) or ["    pass"])
        self.text = "\n".join([PRELUDE, *self.functions, *methods, "OBJ = Obj()", *main, ""])

    def name(self, prefix):
        self.count += 1
        return f"{prefix}{self.count}"

    def block(self, body, raises=False, tail=()):
        lines = [line for statement in body for line in self.statement(statement)]
        if raises:
            lines.append("raise Boom")
        return lines + list(tail) or ["pass"]

    def function(self, header, body, raises, tail=()):
        return [header, *indented(self.block(body, raises, tail))]

    @staticmethod
    def guarded(lines, guard):
        if not guard:
            return lines
        return ["try:", *indented(lines), "except Boom:", "    pass"]

    def statement(self, statement):
        kind = statement[0]
        if kind == "leaf":
            return LEAVES.get(statement[1], STOP)
        if kind == "generator":
            _, body, yields, consumer, guard = statement
            name = self.name("g")
            loop = [f"for i in range({yields}):", *indented(self.block(body, tail=["yield i"]))]
            self.functions += [f"def {name}():", *indented(loop)]
            use = {"for": [f"for _ in {name}():", "    pass"], "sum": [f"sum({name}())"],
                   "list": [f"list({name}())"]}[consumer]
            return self.guarded(use, guard)
        if kind == "recursion":
            _, body, depth, raises, catching = statement
            name = self.name("r")
            self.functions += [
                f"def {name}(n):",
                "    if n == 0:", *indented(self.block(body, raises), 8),
                "        return",
                f"    if n == {catching}:",
                "        try:", f"            {name}(n - 1)", "        except Boom:", "            pass",
                "    else:", f"        {name}(n - 1)",
            ]
            return [f"{name}({depth})"]
        _, body, raises, guard = statement
        if kind == "call":
            name = self.name("f")
            self.functions += self.function(f"def {name}():", body, raises)
            return self.guarded([f"{name}()"], guard)
        if kind == "method":
            name = self.name("m")
            self.methods += self.function(f"def {name}(self):", body, raises)
            return self.guarded([f"OBJ.{name}()"], guard)
        if kind == "closure":
            name = self.name("c")
            return self.function(f"def {name}():", body, raises) + self.guarded([f"{name}()"], guard)
        assert kind == "key"
        name = self.name("k")
        self.functions += self.function(f"def {name}(v):", body, raises, tail=["return v"])
        return self.guarded([f"sorted(KEYS, key={name})"], guard)


def load(program):
    source = Source(program).text
    namespace = {}
    exec(compile(source, "<model program>", "exec"), namespace)
    return namespace


def stopper(held, remove):
    """A function that ends the trace whose handle `held` holds, once."""
    def stop():
        if held:
            remove(held.pop())
    return stop


def drive(namespace, start=lambda: None, stop=stopper([], None)):
    """Runs main() between start() and stop(), stop() being also what the
    program calls to end the trace early. Both traces start and end in this
    same shape so that their set-up calls give the same events."""
    namespace["STOP"] = stop
    gc.disable()
    try:
        start()
        try:
            namespace["main"]()
        except namespace["Boom"]:
            pass
        stop()
    finally:
        gc.enable()


def capture(namespace):
    """The profile events of one run: (event, name, file, line)."""
    events = []

    def hook(frame, event, arg):
        if event.startswith("c_"):
            events.append((event, arg.__qualname__, "<built-in>", 0))
        else:
            code = frame.f_code
            events.append((event, code.co_name, code.co_filename, code.co_firstlineno))

    held = []
    drive(namespace, lambda: held.append(sys.setprofile(hook)), stopper(held, sys.setprofile))
    return events


def traced(namespace, threshold_ns, max_depth):
    delivery, held = Delivery(), []
    drive(namespace, lambda: held.append(spantree_C.set_trace_profile(delivery, None, threshold_ns, False, max_depth)),
          stopper(held, spantree_C.remove_trace_profile))
    return delivery.records


def model(events, keeps):
    """The records the events make, as (name, file, line, parent) or None."""
    open_calls = [-1]  # indices of the open calls; the root's is -1
    next_index, records = 0, []
    for event, *described in events:
        if event in ("call", "c_call"):
            open_calls.append(next_index)
            next_index += 1
        elif len(open_calls) > 1:  # a return with only the root open is ignored
            index = open_calls.pop()
            if keeps(len(open_calls)):  # the level of the call that returned
                records += [None] * (index + 1 - len(records))
                records[index] = (*described, open_calls[-1])
            else:
                next_index -= 1
    return records


def check_times_nest(records):
    rows = [r and decode(r) for r in records]
    for row in rows:
        if row and row.parent >= 0 and rows[row.parent]:
            parent = rows[row.parent]
            assert parent.start <= row.start
            assert row.start + row.duration <= parent.start + parent.duration


@settings(max_examples=100 * SCALE, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(program=programs)
def test_random_call_trees_match_the_model_in_every_mode(program):
    namespace = load(program)
    drive(namespace)  # warm up anything done on first use
    events = capture(namespace)
    assert capture(namespace) == events, "the program is not deterministic"
    for mode, (threshold_ns, max_depth, keeps) in MODES.items():
        records = traced(namespace, threshold_ns, max_depth)
        found = [None if r is None else decode(r).key for r in records]
        assert found == model(events, keeps), (mode, Source(program).text)
        if mode == "threshold-0":
            check_times_nest(records)


# ---------------------------------------------------------------------------
# The tracer's record algorithm in every mode, coroutine-aware ones included,
# replayed over the events its hook got (logged by the test build), with the
# times it read. What it builds must be the tracer's records, character for
# character.

CALL, RETURN, C_CALL, C_RETURN, C_EXCEPTION = 0, 3, 4, 5, 6
CALLS, RETURNS = {CALL, C_CALL}, {RETURN, C_RETURN, C_EXCEPTION}


class Node:
    """An open call, or a coroutine across its suspensions (frame set)."""

    def __init__(self, parent, index, start, frame=None, code=None):
        self.parent, self.index, self.start = parent, index, start
        self.frame, self.code = frame, code
        self.children = []  # coroutine nodes
        self.times = [start] if code is not None else []


def text(name, file, line, start, duration, parent):
    return f"{name}\0{file}\0{line}\1{start}\1{duration}\1{parent}"


class TracerModel:
    """Feed it the logged events with event(), then end(); `records` is
    what the trace delivers."""

    def __init__(self, threshold_ns, is_async, max_depth):
        self.threshold, self.is_async, self.max_depth = threshold_ns, is_async, max_depth
        self.root = self.current = Node(None, -1, 0)
        self.next_index, self.depth, self.records = 0, 0, []

    def keeps(self, duration, level):
        return level <= self.max_depth if self.max_depth > 0 else duration >= self.threshold

    def place(self, index, record):
        self.records += [None] * (index + 1 - len(self.records))
        assert self.records[index] is None, f"index {index} handed out twice"
        self.records[index] = record

    def enter(self, node):
        self.current, self.depth = node, self.depth + 1

    def leave(self):
        self.current, self.depth = self.current.parent, self.depth - 1

    def event(self, what, frame, code, name, now):
        if self.is_async:
            self.async_event(what, frame, code, name, now)
        elif what in CALLS:
            self.push_plain(now)
        elif what in RETURNS and self.current is not self.root:
            self.close_plain(what, code, name, now)

    def push_plain(self, now):
        self.enter(Node(self.current, self.next_index, now))
        self.next_index += 1

    def close_plain(self, what, code, name, now):
        node, level = self.current, self.depth
        self.leave()
        duration = now - node.start
        if not self.keeps(duration, level):
            # The last index goes back only if no record sits at or past it.
            if self.next_index > len(self.records):
                self.next_index -= 1
        elif what == RETURN:
            self.place(node.index, text(code.co_name, code.co_filename, code.co_firstlineno,
                                        node.start, duration, self.current.index))
        else:
            self.place(node.index, text(name, "<built-in>", 0, node.start, duration, self.current.index))

    def async_event(self, what, frame, code, name, now):
        call = what in CALLS
        if not call and (what not in RETURNS or self.current is self.root):
            return
        is_coroutine = what in (CALL, RETURN) and bool(code.co_flags & inspect.CO_COROUTINE)
        current = self.current
        if call:
            if is_coroutine:
                self.coroutine_called(frame, code, now)
            elif current is not self.root:
                self.closing_sweep()
                self.push_plain(now)
        elif current.code is not None:
            if is_coroutine:  # a suspension or the end: the node stays where it is
                current.times.append(now)
                self.leave()
        elif not is_coroutine:
            self.close_plain(what, code, name, now)

    @staticmethod
    def same_coroutine(node, frame, code):
        return node.code is code and node.frame == frame

    def push_coroutine(self, frame, code, now):
        node = Node(self.current, self.next_index, now, frame, code)
        self.current.children.append(node)
        self.next_index += 1
        self.enter(node)

    def record_coroutine(self, node, parent_index, level):
        start, duration = node.times[0], node.times[-1] - node.times[0]
        if not self.keeps(duration, level):
            return False
        code = node.code
        self.place(node.index, text(code.co_name, code.co_filename, code.co_firstlineno,
                                    start, duration, parent_index))
        return True

    def closing_sweep(self):
        level, parent = self.depth + 1, self.current
        while parent.children:
            child = parent.children.pop()
            if not self.record_coroutine(child, parent.index, level):
                return
            parent = child

    def coroutine_called(self, frame, code, now):
        if self.current is self.root:
            if not self.root.children:  # the first coroutine at the top is followed
                return self.push_coroutine(frame, code, now)
            top = self.root.children[-1]
            if not self.same_coroutine(top, frame, code):
                return
            self.enter(top)
        elif not self.same_coroutine(self.current, frame, code):
            self.closing_sweep()
            return self.push_coroutine(frame, code, now)
        node = self.current
        if node.children:  # a resumed chain: down to the innermost coroutine
            return self.enter(node.children[-1])
        if len(node.times) < 2:
            return
        suspended = node.times[-1]
        if self.keeps(now - suspended, self.depth + 1):
            self.place(self.next_index, text("[await]", "", 0, suspended, now - suspended, node.index))
            self.next_index += 1
            node.times.pop()

    def end(self):
        """The removal: a coroutine-aware trace's final sweep."""
        if not self.is_async:
            return
        self.current, self.depth = self.root, 0
        parent_index, node = -1, self.root
        while True:
            if node is not self.root and not self.record_coroutine(node, parent_index, self.depth):
                return
            if not node.children:
                return
            parent_index, node = node.index, node.children.pop()
            self.depth += 1


def replay(log, threshold_ns, is_async, max_depth):
    """The records the model makes of a logged trace that was then removed."""
    model = TracerModel(threshold_ns, is_async, max_depth)
    for what, frame, code, name, now in log:
        model.event(what, frame, code, name, now)
    model.end()
    return model.records
