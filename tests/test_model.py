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
import os
import sys

from hypothesis import HealthCheck, given, settings, strategies as st

import spantree_C
from tracing import Delivery, decode

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
