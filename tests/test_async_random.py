"""Random asyncio programs traced in every mode, the trace started and ended
at random places: the records stay well formed, the program computes what it
computes untraced, and repeated runs leave no memory behind."""

import asyncio
import contextlib
import copy
import gc
import inspect
import os
import random
import sys
import time

import pytest

import spantree_C
import spantree_testing_C
from conftest import run_python
from test_model import replay
from tracer_harness import Delivery, decode

PROGRAMS = int(os.environ.get("SPANTREE_RANDOM_PROGRAMS", "100"))
LEAK_PROGRAMS = 16
HUGE = 2**62
# name: (threshold_ns, is_async, max_depth). Depth modes get a threshold that
# would drop everything: depth mode must not look at it.
MODES = {
    "async-threshold-0": (0, True, 0),
    "async-threshold-20us": (20_000, True, 0),
    "async-threshold-huge": (HUGE, True, 0),
    "async-depth-1": (HUGE, True, 1),
    "async-depth-2": (HUGE, True, 2),
    "async-depth-4": (HUGE, True, 4),
    "sync-threshold-0": (0, False, 0),
    "sync-depth-2": (HUGE, False, 2),
}


class Boom(Exception):
    pass


class Trace:
    """One run's trace; without a mode it never starts (the untraced run)."""

    tracer = spantree_C

    def __init__(self, mode=None, replace=False):
        self.mode, self.replace = mode, replace
        self.delivery, self.context, self.held = Delivery(), object(), []

    def begin(self):
        if self.mode:
            threshold, is_async, max_depth = MODES[self.mode]
            self.held.append(spantree_C.set_trace_profile(
                self.delivery, self.context, threshold, is_async, max_depth))

    def end(self):
        """Removes the trace, or replaces its hook and drops it undelivered."""
        if self.held:
            if self.replace:
                sys.setprofile(None)
                self.held.pop()
            else:
                self.tracer.remove_trace_profile(self.held.pop())


ACTIVE = Trace()  # the trace a running program may end from inside
SHIFT_CLOCK = None  # moves the scripted clock of a logged trace


class LoggedTrace(Trace):
    """A trace by the test build, every event its hook gets logged, on the
    scripted clock: the model replays the log."""

    tracer = spantree_testing_C

    def __init__(self, mode, replace=False):
        super().__init__(mode, replace)
        self.log = []

    def begin(self):
        threshold, is_async, max_depth = MODES[self.mode]
        self.held.append(spantree_testing_C.set_logged_trace_profile(
            self.log, self.delivery, self.context, threshold, is_async, max_depth))


def countdown(n):
    while n:
        yield n
        n -= 1


def crunch(n):
    return sum(countdown(n)) + sum(map(abs, range(-n, n))) + len(sorted(str(n)))


async def fetch(steps):
    await asyncio.sleep(0)
    return "fetch", crunch(3), await perform(steps)


async def store(steps):
    try:
        return "store", await perform(steps)
    finally:
        crunch(2)


async def absorbs(steps):
    try:
        return "absorbs", await perform(steps)
    except Boom as caught:
        await asyncio.sleep(0)
        return "absorbed", caught.args


async def hangs(steps):
    """Never finishes: it waits to be cancelled and cleans up with an await."""
    try:
        await perform(steps)
        await asyncio.sleep(10)
    except asyncio.CancelledError:
        crunch(1)
        await asyncio.sleep(0)
        raise


async def recurse(n, steps):
    return (n, await recurse(n - 1, steps)) if n else await perform(steps)


async def ticker(n, steps):
    yield await perform(steps)
    for i in range(1, n):
        await asyncio.sleep(0)
        yield i


CHILDREN = {"fetch": fetch, "store": store, "absorbs": absorbs}


def drive(coroutine, how):
    """Runs a coroutine by hand to its end, or throws into it or closes it
    after its first suspension."""
    try:
        coroutine.send(None)
        if how == "close":
            return coroutine.close()
        if how == "throw":
            coroutine.throw(Boom("thrown"))
        while True:
            coroutine.send(None)
    except StopIteration as stop:
        return "done", stop.value
    except Boom as escaped:
        return "escaped", escaped.args


async def perform(steps):
    results = []
    for step in steps:
        match step:
            case ("calls", n):
                results.append(crunch(n))
            case ("nap", seconds):
                await asyncio.sleep(seconds)
            case ("child", name, sub):
                results.append(await CHILDREN[name](sub))
            case ("recurse", n, sub):
                results.append(await recurse(n, sub))
            case ("task", sub):
                task = asyncio.create_task(fetch(sub))
                await asyncio.sleep(0)
                results.append(await task)
            case ("gather", subs):
                results.append(await asyncio.gather(*map(fetch, subs)))
            case ("group", subs):
                async with asyncio.TaskGroup() as group:
                    tasks = [group.create_task(store(sub)) for sub in subs]
                results.append([task.result() for task in tasks])
            case ("timeout", sub, seconds):
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(hangs(sub), seconds)
            case ("cancel", sub):
                task = asyncio.create_task(hangs(sub))
                await asyncio.sleep(0)
                task.cancel()
                try:
                    await task
                except asyncio.CancelledError:
                    if asyncio.current_task().cancelling():
                        raise  # this task is cancelled too, not only the one it awaits
            case ("agen", n, sub, last):
                async with contextlib.aclosing(ticker(n, sub)) as values:
                    async for value in values:
                        results.append(value)
                        if value == last:
                            break
            case ("drive", name, sub, how):
                results.append(drive(CHILDREN[name](sub), how))
            case ("guard", sub):
                try:
                    results.append(await store(sub))
                except Boom as caught:
                    results.append(("caught", caught.args))
            case ("raise", level):
                raise Boom(level)
            case ("end-here",) if ACTIVE.held:  # from this coroutine's own frame
                if ACTIVE.replace:
                    sys.setprofile(None)
                    ACTIVE.held.pop()
                else:
                    ACTIVE.tracer.remove_trace_profile(ACTIVE.held.pop())
            case ("end-in-call",):
                ACTIVE.end()
            case ("shift-clock", ns):
                SHIFT_CLOCK(ns)
    return results


async def main(steps):
    return await perform(steps)


async def traced_inside(steps, trace, end_at_end):
    trace.begin()
    result = await main(steps)
    if end_at_end:
        trace.end()
    return result


def run_program(steps, trace, start="before-loop", end="at-end"):
    global ACTIVE
    ACTIVE = trace
    gc.disable()
    try:
        if start == "before-loop":
            trace.begin()
            result = asyncio.run(main(steps))
        else:
            result = asyncio.run(traced_inside(steps, trace, end == "at-end"))
        trace.end()  # a trace whose end step never ran ends here
    finally:
        ACTIVE = Trace()
        gc.enable()
    return result


class Planner:
    """Draws a program: nested step lists, bounded in size and depth. In
    coroutines driven by hand only sleep(0) may suspend; Boom is raised only
    where an enclosing step catches it."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.left = self.rng.randint(8, 40)

    def steps(self, level=0, in_loop=True, may_raise=False):
        kinds = ["calls", "yield"] + (["nap"] if in_loop else [])
        if level < 4:
            kinds += ["child", "recurse", "drive", "guard"]
            kinds += ["task", "gather", "group", "timeout", "cancel", "agen"] if in_loop else []
        steps, count = [], self.rng.randint(1, 4)
        while self.left > 0 and len(steps) < count:
            self.left -= 1
            steps.append(self.step(self.rng.choice(kinds), level + 1, in_loop, may_raise))
        if may_raise and self.rng.random() < 0.4:
            steps.append(("raise", level))
        return steps

    def step(self, kind, level, in_loop, may_raise):
        rng, steps = self.rng, self.steps
        match kind:
            case "calls":
                return kind, rng.randint(1, 30)
            case "yield":
                return "nap", 0
            case "nap":
                return kind, rng.choice([0.0002, 0.001, 0.002])
            case "child":
                name = rng.choice(list(CHILDREN))
                return kind, name, steps(level, in_loop, may_raise or name == "absorbs")
            case "drive":
                name = rng.choice(list(CHILDREN))
                return kind, name, steps(level, False, True), rng.choice(["run", "throw", "close"])
            case "recurse":
                return kind, rng.randint(1, 3), steps(level, in_loop, may_raise)
            case "guard":
                return kind, steps(level, in_loop, True)
            case "task" | "cancel":
                return kind, steps(level)
            case "timeout":
                return kind, steps(level), rng.choice([0.0002, 0.001, 0.002])
            case "gather" | "group":
                return kind, tuple(steps(level) for _ in range(rng.randint(1, 3)))
            case "agen":
                n = rng.randint(1, 4)
                return kind, n, steps(level), rng.choice([None, rng.randrange(n)])


def step_lists(steps):
    """The program's step lists, nested ones included."""
    yield steps
    for step in steps:
        for arg in step[1:]:
            if isinstance(arg, list):
                yield from step_lists(arg)
            elif isinstance(arg, tuple):
                for sub in arg:
                    yield from step_lists(sub)


def placements(seed):
    """Every mode, each with its own start, end and way of ending; an end
    step goes into a random step list of the program, before any raise."""
    steps = Planner(seed).steps()
    for mode in MODES:
        rng = random.Random(f"{seed}/{mode}")
        start = rng.choice(["before-loop", "in-wrapper"])
        end = rng.choice(["at-end", "in-coroutine", "in-plain-call"])
        placed = copy.deepcopy(steps)
        if end != "at-end":
            target = rng.choice(list(step_lists(placed)))
            last = len(target) - (1 if target and target[-1][0] == "raise" else 0)
            target.insert(rng.randint(0, last), ("end-here" if end == "in-coroutine" else "end-in-call",))
        yield mode, start, end, rng.random() < 0.25, placed


def coroutine_functions():
    """(name, file, line) of the coroutine functions a program can enter."""
    found = set()
    for name, module in list(sys.modules.items()):
        if name.partition(".")[0] in ("asyncio", "contextlib", __name__):
            for value in list(vars(module).values()):
                for member in [value, *vars(value).values()] if isinstance(value, type) else [value]:
                    code = getattr(getattr(member, "__func__", member), "__code__", None)
                    if code is not None and code.co_flags & inspect.CO_COROUTINE:
                        found.add((code.co_name, code.co_filename, code.co_firstlineno))
    return found


def lineage(rows, index):
    """Indices from a record up to the top; None where a parent slot is empty."""
    path = [index]
    while (parent := rows[path[-1]].parent) != -1:
        assert len(path) <= len(rows), f"parent indices loop: {path[:10]}"
        if rows[parent] is None:
            return None
        path.append(parent)
    return path


def check_records(records, mode, window):
    threshold, is_async, max_depth = MODES[mode]
    rows = [None if text is None else decode(text) for text in records]
    for index, (text, row) in enumerate(zip(records, rows)):
        if row is None:
            continue
        assert text == f"{row.name}\0{row.file}\0{row.line}\1{row.start}\1{row.duration}\1{row.parent}"
        assert row.parent == -1 or 0 <= row.parent < len(rows), (index, row)
        assert row.parent != index, (index, row)
        if row.name == "[await]" or row.file == "<built-in>":
            assert row.line == 0 and row.file == ("" if row.name == "[await]" else "<built-in>"), row
        else:
            assert row.line >= 1, row
        assert window[0] <= row.start <= row.start + row.duration <= window[1], (index, row)
        if max_depth <= 0:
            assert row.duration >= threshold, (index, row)
    if is_async:
        # Only the first coroutine entered at the top is followed.
        assert [row.parent for row in rows if row].count(-1) <= 1, rows
        if threshold == 0 or max_depth > 0:
            assert rows and rows[0] and (rows[0].name, rows[0].parent) == ("main", -1), rows[:1]
    if max_depth > 0:
        coroutines = coroutine_functions()
        for index, row in enumerate(rows):
            path = row and lineage(rows, index)
            if path and len(path) > max_depth:
                # Only a closing sweep records this deep: the chain of
                # coroutines it closes below a node above max_depth.
                chain = [rows[i] for i in path[:len(path) - max_depth + 1]]
                assert is_async and max_depth >= 2 and all(
                    (r.name, r.file, r.line) in coroutines for r in chain), (index, chain)


def check_programs(seeds):
    for seed in seeds:
        expected = run_program(Planner(seed).steps(), Trace())
        for mode, start, end, replace, steps in placements(seed):
            try:
                trace = Trace(mode, replace)
                before = time.time_ns()
                assert run_program(steps, trace, start, end) == expected
                window = (before, time.time_ns())
                assert sys.getprofile() is None
                assert len(trace.delivery.calls) == (0 if replace else 1)
                if not replace:
                    assert trace.delivery.calls[0][0] is trace.context
                    check_records(trace.delivery.records, mode, window)
            except BaseException as failure:
                how = "replaced" if replace else "removed"
                failure.add_note(f"program {seed} in {mode}, started {start}, {how} {end}")
                raise


def with_clock_shifts(seed, steps):
    """The program with up to three steps that shift the scripted clock, by
    up to 50 ticks either way, at random places."""
    rng = random.Random(f"{seed}/clock")
    for _ in range(rng.randint(0, 3)):
        target = rng.choice(list(step_lists(steps)))
        last = len(target) - (1 if target and target[-1][0] == "raise" else 0)
        target.insert(rng.randint(0, last), ("shift-clock", rng.randint(-50, 50) * TICK_NS))
    return steps


TICK_NS = 1000


def check_against_model(seeds):
    """Every placement of every program, traced by the test build on the
    scripted clock (stepping back and forth in some), against the model
    replaying the events the hook got: the records must match exactly,
    times included."""
    global SHIFT_CLOCK
    SHIFT_CLOCK = spantree_testing_C.shift_clock
    compared = 0
    try:
        for seed in seeds:
            for mode, start, end, replace, steps in placements(seed):
                if replace:
                    continue
                trace = LoggedTrace(mode)
                spantree_testing_C.set_clock(1_700_000_000_000_000_000, TICK_NS)
                try:
                    run_program(with_clock_shifts(seed, steps), trace, start, end)
                finally:
                    spantree_testing_C.set_clock(None)
                expected = replay(trace.log, *MODES[mode])
                found = trace.delivery.records
                if found != expected:
                    first = next(i for i, (a, b) in enumerate(zip(found + [0], expected + [0])) if a != b)
                    raise AssertionError(
                        f"program {seed} in {mode}, started {start}, removed {end}: records differ "
                        f"from index {first}: {found[first:first + 3]} != {expected[first:first + 3]}")
                compared += 1
    finally:
        SHIFT_CLOCK = None
    assert compared > 0


def check_no_growth(seeds, warm_up=3, rounds=4):
    runs = [placement for seed in seeds for placement in placements(seed)]

    def run_all_and_count(times):
        for _ in range(times):
            for mode, start, end, replace, steps in runs:
                run_program(steps, Trace(mode, replace), start, end)
        gc.collect()
        return sys.getallocatedblocks(), getattr(sys, "gettotalrefcount", lambda: 0)()

    # A node left behind by every program would cost three blocks a run, in
    # every window alike; the interpreter's own caches settle by a few
    # hundred blocks, less in each window (3.15's more slowly): the quieter
    # of two windows is the one that tells.
    blocks, refs = zip(*(run_all_and_count(times) for times in (warm_up, rounds, rounds)))
    programs = rounds * len(runs)
    assert min(blocks[1] - blocks[0], blocks[2] - blocks[1]) < programs // 2, (blocks, programs)
    assert min(refs[1] - refs[0], refs[2] - refs[1]) < programs // 2, (refs, programs)


def test_random_programs_keep_records_well_formed_and_results_unchanged():
    run_python(f"import test_async_random as t; t.check_programs(range({PROGRAMS}))",
               timeout=60 + PROGRAMS)


def test_random_programs_match_the_model_in_every_mode():
    run_python(f"import test_async_random as t; t.check_against_model(range({PROGRAMS}))",
               timeout=60 + 2 * PROGRAMS)


def test_random_programs_leak_nothing():
    if sys.getallocatedblocks() == 0:
        pytest.skip("this allocator does not count memory blocks")
    run_python(f"import test_async_random as t; t.check_no_growth(range({LEAK_PROGRAMS}))",
               timeout=120)
