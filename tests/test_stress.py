"""Stress and scale: many threads tracing at once, millions of records,
deep recursion and long await chains, each built up and torn down in a
fresh interpreter so that a crash or a C stack overflow fails the test.

SPANTREE_STRESS_SCALE (default 1) multiplies durations and counts; at 10 or
more the scale trace records ten million calls.
"""

import asyncio
import gc
import json
import os
import random
import sys
import threading
import time

import pytest

import spantree_C
from conftest import ROOT, run_python
from tracer_harness import Delivery, decode, keys

SCALE = int(os.environ.get("SPANTREE_STRESS_SCALE", "1"))
HUGE = 2**62


def report(**values):
    print(json.dumps(values))


def reported(proc):
    return json.loads(proc.stdout.splitlines()[-1])


# ---------------------------------------------------------------------------
# Threads

# Each worker's functions carry its number in their names and in their file,
# so a record that strays into another thread's trace is told by either.
WORKLOAD = """\
import asyncio

def leaf_{n}(x):
    return len(str(x))

def numbers_{n}(k):
    for i in range(k):
        yield leaf_{n}(i)

def branch_{n}(depth):
    if depth:
        branch_{n}(depth - 1)
        branch_{n}(depth - 1)
    else:
        sum(numbers_{n}(3))

def fails_{n}():
    raise ValueError

def work_{n}():
    branch_{n}(4)
    try:
        fails_{n}()
    except ValueError:
        pass
    return sorted([3, 1, 2], key=leaf_{n})

async def awork_{n}():
    await asyncio.sleep(0)
    work_{n}()
    await asyncio.sleep(0)
"""

# (threshold_ns, is_async, max_depth), taken by worker number.
WORKER_MODES = [(0, False, 0), (HUGE, False, 3), (0, True, 0), (HUGE, False, 0), (HUGE, True, 2)]


def traced_round(n, namespace, mode):
    threshold_ns, is_async, max_depth = mode
    delivery, held = Delivery(), []

    def start():
        held.append(spantree_C.set_trace_profile(delivery, n, threshold_ns, is_async, max_depth))

    if is_async:
        async def main():
            start()
            await namespace[f"awork_{n}"]()
            spantree_C.remove_trace_profile(held.pop())

        asyncio.run(main())
    else:
        start()
        namespace[f"work_{n}"]()
        spantree_C.remove_trace_profile(held.pop())
    assert delivery.calls[0][0] == n
    return delivery.records


def worker(n, deadline, results):
    """Traces its own workload round after round; every round's records must
    name only its own functions and, in synchronous modes, repeat exactly."""
    try:
        own_file = f"<worker {n}>"
        namespace = {}
        exec(compile(WORKLOAD.format(n=n), own_file, "exec"), namespace)
        mode = WORKER_MODES[n % len(WORKER_MODES)]
        first, rounds = None, 0
        while rounds < 2 or time.monotonic() < deadline:
            records = traced_round(n, namespace, mode)
            rows = [decode(r) for r in records if r is not None]
            for row in rows:
                if row.file.startswith("<worker"):
                    assert row.file == own_file and row.name.endswith(f"_{n}"), row
            if first is None:
                first = keys(records)
                expect_records = mode[0] == 0 or mode[2] > 0
                assert any(row.name == f"work_{n}" for row in rows) == expect_records, rows
            elif not mode[1]:
                assert keys(records) == first
            rounds += 1
        results[n] = rounds
    except BaseException as failure:
        results[n] = repr(failure)


def churner(seed, deadline, results):
    """Starts and ends traces every way there is, as fast as it can."""
    rng = random.Random(seed)
    rounds = 0
    try:
        while time.monotonic() < deadline:
            mode = (rng.choice([0, 10_000, HUGE]), rng.random() < 0.3, rng.choice([0, 0, 1, 3]))
            profiler = spantree_C.set_trace_profile(lambda c, r: len(r), None, *mode)
            sorted(range(rng.randrange(50)), key=str)
            action = rng.randrange(6)
            if action == 0:
                spantree_C.remove_trace_profile(profiler)
            elif action == 1:  # replaced by a second trace, never delivered
                spantree_C.set_trace_profile(print, None, *mode)
                spantree_C.remove_trace_profile(None)
            elif action == 2:  # dropped by the interpreter, the handle kept
                sys.setprofile(None)
            elif action == 3:  # a thread that ends with its own trace installed
                helper = threading.Thread(target=lambda: [
                    spantree_C.set_trace_profile(print, None, *mode), len("exiting")])
                helper.start()
                helper.join()
                spantree_C.remove_trace_profile(profiler)
            elif action == 4:  # removed (and delivered) from another thread
                helper = threading.Thread(target=spantree_C.remove_trace_profile, args=(profiler,))
                helper.start()
                helper.join()
                len("after removal elsewhere")
                spantree_C.remove_trace_profile(None)
            else:  # only the thread's profile slot holds it, until cleared
                del profiler
                len("unowned")
                sys.setprofile(None)
                gc.collect()
            rounds += 1
        results[f"churn {seed}"] = rounds
    except BaseException as failure:
        results[f"churn {seed}"] = repr(failure)


def run_threads(workers, churners, seconds):
    sys.setswitchinterval(0.0005)
    gc.disable()  # collections come from the churners, at known moments
    deadline = time.monotonic() + seconds
    results = {}
    threads = [threading.Thread(target=worker, args=(n, deadline, results)) for n in range(workers)]
    threads += [threading.Thread(target=churner, args=(seed, deadline, results)) for seed in range(churners)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    report(results=results, threads=len(threads))


def test_threads_trace_their_own_calls_while_others_start_and_stop_traces():
    workers, churners = 16 * min(SCALE, 4), 4
    proc = run_python(f"import test_stress as t; t.run_threads({workers}, {churners}, {2 * SCALE})",
                      timeout=120 + 10 * SCALE)
    outcome = reported(proc)
    assert outcome["threads"] == workers + churners
    failures = {name: result for name, result in outcome["results"].items() if not isinstance(result, int)}
    assert failures == {}
    assert len(outcome["results"]) == workers + churners
    assert min(outcome["results"].values()) >= 1


# Built-ins bound to a class whose metaclass intercepts attribute lookups run
# Python code inside the hook when it asks for their names: the interpreter
# may switch threads there, in the middle of an event.
class SlowName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            sum(range(20))
        return super().__getattribute__(name)


class Table(dict, metaclass=SlowName):
    pass


async def awaits_tables():
    for key in range(5):
        Table.fromkeys([key])
        await asyncio.sleep(0)


def ended_elsewhere(n, deadline, live, results):
    """Traces calls that switch threads inside the hook, while other threads
    remove its profiler or clear every thread's hook."""
    rng = random.Random(n)
    rounds = 0
    try:
        while rounds < 2 or time.monotonic() < deadline:
            deliveries = []
            mode = (rng.choice([0, HUGE]), rng.random() < 0.5, rng.choice([0, 2]))

            def start():
                live[n] = spantree_C.set_trace_profile(lambda c, r: deliveries.append(list(r)), None, *mode)
                return live[n]

            if mode[1]:
                async def main():
                    profiler = start()
                    await awaits_tables()
                    spantree_C.remove_trace_profile(profiler)

                asyncio.run(main())
            else:
                profiler = start()
                for key in range(20):
                    Table.fromkeys([key])
                spantree_C.remove_trace_profile(profiler)
            for records in deliveries:
                for row in (decode(r) for r in records if r is not None):
                    assert row.parent == -1 or 0 <= row.parent < len(records), records
            rounds += 1
        results[n] = rounds
    except BaseException as failure:
        results[n] = repr(failure)


def ender(seed, deadline, live, results):
    rng = random.Random(seed)
    endings = 0
    while time.monotonic() < deadline:
        if rng.random() < 0.2:
            threading.setprofile_all_threads(None)
        elif live:
            spantree_C.remove_trace_profile(rng.choice(list(live.values())))
        endings += 1
        time.sleep(0.0005)
    results[f"ender {seed}"] = endings


def run_ended_elsewhere(workers, enders, seconds):
    sys.setswitchinterval(0.00001)
    deadline = time.monotonic() + seconds
    live, results = {}, {}
    threads = [threading.Thread(target=ended_elsewhere, args=(n, deadline, live, results)) for n in range(workers)]
    threads += [threading.Thread(target=ender, args=(seed, deadline, live, results)) for seed in range(enders)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    report(results=results)


def test_traces_ended_from_other_threads_in_the_middle_of_events():
    proc = run_python(f"import test_stress as t; t.run_ended_elsewhere(8, 2, {1.5 * SCALE})",
                      timeout=120 + 10 * SCALE)
    results = reported(proc)["results"]
    assert len(results) == 10
    assert all(isinstance(result, int) and result >= 1 for result in results.values()), results


# ---------------------------------------------------------------------------
# Scale

def trace_many(calls):
    """One trace of `calls` recorded calls, made and measured as the
    benchmark does; reports the records' shape and the peak RSS growth and
    the records' own size, per record."""
    sys.path.insert(0, str(ROOT / "bench"))
    import run as bench

    records, growth = bench.trace_tiny_calls(calls)
    code = bench.tiny.__code__
    expected = f"tiny\x00{code.co_filename}\x00{code.co_firstlineno}\x01"
    shaped = all(r.startswith(expected) and r.endswith("\x01-1") for r in records)
    report(records=len(records), shaped=shaped, rss=growth / len(records),
           own=bench.records_own_size(records) / len(records),
           debug=hasattr(sys, "gettotalrefcount"), counted=sys.getallocatedblocks() > 0)


def test_millions_of_records_cost_little_more_than_their_strings():
    # Ten million in the release run; the sanitizer and debug runs, several
    # times slower and hungrier, take a million unless scaled up.
    release = sys.getallocatedblocks() > 0 and not hasattr(sys, "gettotalrefcount")
    calls = 10_000_000 if release or SCALE >= 10 else 1_000_000
    outcome = reported(run_python(f"import test_stress as t; t.trace_many({calls})", timeout=600))
    assert outcome["records"] == calls and outcome["shaped"]
    if not outcome["counted"]:
        pytest.skip("the sanitizer's allocator pads every block: RSS says nothing of the tracer")
    own = outcome["own"]
    if outcome["debug"]:
        own += 3 * 8  # the debug allocator's guard words around every block
    assert outcome["rss"] <= 1.2 * own, outcome


# ---------------------------------------------------------------------------
# Depth

RECURSION = 50_000 * SCALE
AWAITS = 5_000 * SCALE

# Run in a fresh interpreter ahead of one of its calls. Coroutines are driven
# by hand, suspending once at the bottom of the chain, so no event loop runs.
DEPTH_CHILD = """
import json, sys
import spantree_C
from tracer_harness import Delivery, decode

def shape(delivery, released, name):
    # The delivered records as (name, parent) rows, whether the rows named
    # `name` form one chain, each under the one before, and whether the
    # profiler is gone (it held a reference to the callback: the caller
    # compares reference counts taken in its own frame, as what a call
    # adds to them differs between interpreter versions).
    records = delivery.calls[0][1] if delivery.calls else []
    rows = [r and (decode(r).name, decode(r).parent) for r in records]
    chain = [i for i, row in enumerate(rows) if row and row[0] == name]
    chained = all(rows[i][1] == previous for previous, i in zip([-1] + chain, chain))
    print(json.dumps(dict(length=len(rows), chain=len(chain), chained=chained, nones=rows.count(None),
                          first=rows[0] if rows else None, last=rows[-1] if rows else None,
                          released=released)))

class Ending:
    # Where and how the trace ends; decided before it starts, so that
    # deciding adds no calls to it.
    def __init__(self, ending, held):
        self.removing = ending.startswith("removed")
        self.at_bottom = ending.endswith("at the bottom")
        self.held = held

    def __call__(self):
        if self.removing:
            spantree_C.remove_trace_profile(self.held.pop())
        else:
            self.held.clear()
            sys.setprofile(None)

def recurse(n, end):
    if n:
        return recurse(n - 1, end)
    if end.at_bottom:
        end()

def deep_recursion(depth, max_depth, ending):
    sys.setrecursionlimit(depth + 1000)
    delivery, held = Delivery(), []
    end = Ending(ending, held)
    references = sys.getrefcount(delivery)
    held.append(spantree_C.set_trace_profile(delivery, None, 0, False, max_depth))
    recurse(depth, end)
    if held:
        end()
    released = sys.getrefcount(delivery) == references
    shape(delivery, released, "recurse")

class Suspend:
    def __await__(self):
        yield

async def chain(n, end):
    if n:
        return await chain(n - 1, end)
    await Suspend()
    if end.at_bottom:
        end()
    return n

async def main(depth, max_depth, delivery, end):
    end.held.append(spantree_C.set_trace_profile(delivery, None, 0, True, max_depth))
    result = await chain(depth, end)
    if end.held:
        end()
    return result

def await_chain(depth, max_depth, ending):
    sys.setrecursionlimit(4 * depth + 1000)
    delivery = Delivery()
    references = sys.getrefcount(delivery)
    coroutine = main(depth, max_depth, delivery, Ending(ending, []))
    coroutine.send(None)
    try:
        coroutine.send(None)
    except StopIteration as stop:
        assert stop.value == 0
    del coroutine
    released = sys.getrefcount(delivery) == references
    shape(delivery, released, "chain")
"""


@pytest.mark.parametrize("max_depth", [0, 3], ids=["threshold", "depth3"])
@pytest.mark.parametrize("ending", ["removed after unwinding", "removed at the bottom",
                                    "dropped at the bottom"])
def test_deep_recursion_is_traced_and_torn_down(ending, max_depth):
    outcome = reported(run_python(DEPTH_CHILD + f"deep_recursion({RECURSION}, {max_depth}, {ending!r})"))
    assert outcome["released"]
    if ending == "dropped at the bottom":
        assert outcome["length"] == 0
        return
    assert outcome["chained"] and outcome["first"] == ["list.append", -1]
    # Indices: 0 the start's append, then one per level of the recursion,
    # then the ending's own call and its pop of the handle.
    levels = RECURSION + 1
    if ending == "removed after unwinding":
        recorded = levels if max_depth == 0 else max_depth
        assert outcome["chain"] == recorded and outcome["nones"] == 1
        assert outcome["last"] == ["list.pop", recorded + 1] and outcome["length"] == recorded + 3
    elif max_depth == 0:
        # Every level is still open: None.
        assert outcome["nones"] == levels + 1 and outcome["chain"] == 0
        assert outcome["last"] == ["list.pop", levels + 1] and outcome["length"] == levels + 3
    else:
        assert outcome["length"] == 1


@pytest.mark.parametrize("max_depth", [0, 3], ids=["threshold", "depth3"])
@pytest.mark.parametrize("ending", ["removed at the end", "dropped at the end",
                                    "removed at the bottom", "dropped at the bottom"])
def test_long_await_chain_is_traced_and_torn_down(ending, max_depth):
    outcome = reported(run_python(DEPTH_CHILD + f"await_chain({AWAITS}, {max_depth}, {ending!r})"))
    assert outcome["released"]
    if ending.startswith("dropped"):
        assert outcome["length"] == 0
        return
    # The chain's coroutines sit at indices 0.. in order, each under the last.
    assert outcome["chained"] and outcome["first"] == ["chain", -1]
    assert outcome["chain"] == (AWAITS + 1 if max_depth == 0 else max_depth)
