"""Helpers for driving spantree_C from tests: run code under a trace and
decode the record strings it delivers."""

import contextlib
import gc
import sys
from dataclasses import dataclass

import spantree_C
import spantree_testing_C


@dataclass(frozen=True)
class Record:
    name: str
    file: str
    line: int
    start: int
    duration: int
    parent: int

    @property
    def key(self):
        """Everything but the times: what a trace must reproduce exactly."""
        return (self.name, self.file, self.line, self.parent)


def decode(text):
    """Splits one record string into its six fields, checking its shape."""
    described, start, duration, parent = text.split("\x01")
    name, file, line = described.split("\x00")
    return Record(name, file, int(line), int(start), int(duration), int(parent))


class Delivery:
    """A callback that remembers every (context, records) it is called with."""

    def __init__(self):
        self.calls = []

    def __call__(self, context, records):
        self.calls.append((context, records))

    @property
    def records(self):
        assert len(self.calls) == 1, self.calls
        return self.calls[0][1]


def trace(fn, *, threshold_ns=0, is_async=False, max_depth=0, context="ctx", tracer=spantree_C):
    """Runs fn() under a trace on this thread and returns the raw records list.

    Collection is off meanwhile so no finalizer adds events."""
    delivery = Delivery()
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        profiler = tracer.set_trace_profile(delivery, context, threshold_ns, is_async, max_depth)
        try:
            fn()
        finally:
            tracer.remove_trace_profile(profiler)
    finally:
        if gc_was_enabled:
            gc.enable()
    assert delivery.calls[0][0] is context
    return delivery.records


@contextlib.contextmanager
def scripted_clock(start_ns, tick_ns):
    """The test build's clock reads start_ns + n * tick_ns at its n-th read
    (plus the shifts made meanwhile) inside the block."""
    spantree_testing_C.set_clock(start_ns, tick_ns)
    try:
        yield
    finally:
        spantree_testing_C.set_clock(None)


def keys(records):
    """The exact structure of a records list: keys of decoded records, None kept."""
    return [None if r is None else decode(r).key for r in records]


def names(records):
    return [None if r is None else decode(r).name for r in records]


def _counts():
    gc.collect()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return sys.getallocatedblocks(), refs


def assert_no_growth(scenario, rounds=200, windows=3):
    """Runs scenario() over several windows of `rounds` calls and fails if
    memory blocks or (under the debug interpreter) references grew in every
    window: a leak grows each time, while the interpreter's own caches
    (asyncio's take dozens of rounds) settle after the first."""
    scenario()
    growth = []
    before = _counts()
    for _ in range(windows):
        for _ in range(rounds):
            scenario()
        after = _counts()
        growth.append((after[0] - before[0], after[1] - before[1]))
        before = after
    # A leaked node costs three blocks a round and at least one reference.
    assert min(blocks for blocks, _ in growth) < rounds, f"memory blocks grew: {growth}"
    assert min(refs for _, refs in growth) < rounds // 2, f"references grew: {growth}"
