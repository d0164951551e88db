"""The wall clock stepping back during a trace (NTP, an administrator):
no kept record is lost or overwritten, a dropped caller of a kept callee
leaves an empty slot its callee still names, and negative durations reach
the records and the package's views without harm.

The test build of the tracer runs on a scripted clock: the n-th event of a
trace reads START + n * TICK, plus every shift the traced code makes."""

import pytest

import spantree
import spantree_testing_C as tracer
from tracer_harness import Delivery, decode

START, TICK = 5_000_000, 1_000
FORWARD, BACK = 100 * TICK, 1_000 * TICK


def callee():
    tracer.shift_clock(FORWARD)  # lasts long: kept at any threshold reached


def caller():
    callee()
    tracer.shift_clock(-BACK)  # ends before it began


def after():
    pass


def program():
    caller()
    after()


async def coroutine_program():
    program()


class Run:
    """One trace of program() by the test build, with the time its hook read
    at each event (logged beside the trace)."""

    def __init__(self, threshold_ns, is_async, max_depth):
        delivery, log = Delivery(), []
        tracer.set_clock(START, TICK)
        try:
            profiler = tracer.set_logged_trace_profile(log, delivery, None, threshold_ns, is_async,
                                                       max_depth)
            if is_async:
                with pytest.raises(StopIteration):
                    coroutine_program().send(None)
            else:
                program()
            tracer.remove_trace_profile(profiler)
        finally:
            tracer.set_clock(None)
        self.records = delivery.records
        # (name, is a call, time) per event; a built-in's name is its own.
        self.events = [(name or code.co_name, what in (0, 4), now)
                       for what, _, code, name, now in log]

    def span(self, name, nth=0):
        """Start and end time of the nth call of `name`."""
        calls = [i for i, (n, call, _) in enumerate(self.events) if n == name and call]
        begin, level = calls[nth], 0
        for end in range(begin, len(self.events)):
            level += 1 if self.events[end][1] else -1
            if level == 0:
                return self.events[begin][2], self.events[end][2]
        raise AssertionError(f"{name} never returned")

    def record(self, name, parent, nth=0):
        start, end = self.span(name, nth)
        file, line = ("<built-in>", 0) if name == "shift_clock" else (
            __file__, globals()[name].__code__.co_firstlineno)
        return f"{name}\0{file}\0{line}\1{start}\1{end - start}\1{parent}"


def test_a_dropped_caller_of_a_kept_callee_leaves_its_slot_empty():
    # Threshold 0 drops exactly the calls whose duration came out negative:
    # program, caller and the shift back. The shift's index is the last one
    # handed out and goes back; the caller's does not, as callee names it.
    run = Run(0, False, 0)
    assert run.records == [
        None,
        None,
        run.record("callee", 1),
        run.record("shift_clock", 2),
        run.record("after", 0),
    ]


def test_depth_mode_keeps_negative_durations_as_measured():
    run = Run(2**62, False, 3)
    assert run.records == [
        run.record("program", -1),
        run.record("caller", 0),
        run.record("callee", 1),
        # The forward shift ran four levels deep; the shift back reuses its index.
        run.record("shift_clock", 1, nth=1),
        run.record("after", 0),
    ]
    assert [decode(r).duration < 0 for r in run.records] == [True, True, False, True, False]


def test_coroutine_aware_trace_keeps_the_kept_callee_and_its_callees():
    # The coroutine ends at a time before its start: the final sweep drops
    # it, and its slot stays a placeholder too.
    run = Run(0, True, 0)
    assert run.records == [
        None,
        None,
        None,
        run.record("callee", 2),
        run.record("shift_clock", 3),
        run.record("after", 1),
    ]
    # Four levels deep, callee and both shifts are beyond the depth.
    depth_run = Run(2**62, True, 3)
    assert depth_run.records == [
        depth_run.record("coroutine_program", -1),
        depth_run.record("program", 0),
        depth_run.record("caller", 1),
        depth_run.record("after", 1),
    ]
    assert decode(depth_run.records[0]).duration < 0


def test_package_views_take_negative_durations_and_placeholders():
    records = Run(2**62, False, 3).records
    tree = spantree.decode(records)
    text = spantree.text_tree(tree)
    shares = [float(s[:-1]) for line in text.splitlines()[1:] for s in line.split() if s.endswith("%")]
    assert all(0 <= s <= 100 for s in shares), text
    events = [e for e in spantree.chrome_trace(tree)["traceEvents"] if e["ph"] == "X"]
    assert all(e["dur"] >= 0 for e in events)
    assert sorted(e["args"]["duration_ns"] for e in events if "duration_ns" in e["args"]) == sorted(
        decode(r).duration for r in records if decode(r).duration < 0)
    for line in spantree.collapsed_stacks(tree).splitlines():
        assert int(line.rsplit(" ", 1)[1]) > 0, line

    placeholder_tree = spantree.decode(Run(0, False, 0).records)
    assert [n.record is None for n in placeholder_tree.roots] == [True, True]
    assert "left no record" in spantree.text_tree(placeholder_tree)
