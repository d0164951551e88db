"""The hooks log finished calls and the first removal turns the log into the
records: removal at any point of a trace delivers exactly what the model
predicts from the events seen until then, a profiler dropped without removal
lets go of everything it logged, a built-in keeps the name it had when its
call returned, and a log block that cannot be allocated costs the calls it
could not hold and nothing else."""

import gc
import re
import threading
import warnings
import weakref

import pytest

import failing_allocator_C as allocator
import spantree_C
import spantree_testing_C
from test_model import replay
from tracer_harness import Delivery, assert_no_growth, decode, scripted_clock

# name: (threshold_ns, is_async, max_depth); the clock ticks 10 ns a read.
MODES = {
    "threshold-0": (0, False, 0),
    "threshold-25": (25, False, 0),
    "depth-2": (2**62, False, 2),
    "coroutine-threshold-0": (0, True, 0),
    "coroutine-threshold-25": (25, True, 0),
    "coroutine-depth-3": (2**62, True, 3),
}
BLOCK_SIZE = spantree_testing_C.log_block_size()
BLOCK_CALLS = spantree_testing_C.log_block_calls()
LOSS = re.compile(r"spantree: memory ran out during the trace: (\d+) calls were not traced "
                  r"and (\d+) records were lost")


class Checkpoints:
    """checkpoint() calls `action(profiler)` at every call: the removal at
    the chosen one, id() at the others, so every run sees the same events
    up to the removal."""

    def __init__(self, at=None, remove=spantree_testing_C.remove_trace_profile):
        self.at, self.remove, self.seen, self.profiler = at, remove, 0, None

    def __call__(self):
        self.seen += 1
        (self.remove if self.seen == self.at else id)(self.profiler)


class Pause:
    def __await__(self):
        yield


def leaf(points):
    points()
    return len("x")


def middle(points):
    leaf(points)
    points()
    sorted((3, 1, 2))
    leaf(points)


async def child(points):
    middle(points)
    await Pause()
    points()
    leaf(points)


async def parent(points):
    await child(points)
    points()
    await child(points)
    middle(points)


def run_coroutine(coroutine):
    while True:
        try:
            coroutine.send(None)
        except StopIteration:
            return


def program(is_async, points):
    if is_async:
        run_coroutine(parent(points))
    else:
        middle(points)
        points()
        middle(points)


def run_logged(mode, points, delivery, log, last_removal):
    """Runs the program under a logged trace on the scripted clock, then
    calls remove_trace_profile(last_removal(points.profiler))."""
    threshold_ns, is_async, max_depth = MODES[mode]
    gc.disable()
    try:
        with scripted_clock(1000, 10):
            points.profiler = spantree_testing_C.set_logged_trace_profile(
                log, delivery, None, threshold_ns, is_async, max_depth)
            try:
                program(is_async, points)
            finally:
                spantree_testing_C.remove_trace_profile(last_removal(points.profiler))
    finally:
        gc.enable()


def removed_at(mode, at):
    """Runs the program under a logged trace removed at checkpoint `at` and
    again at the end; returns the deliveries, the records the model makes
    of the log, and the checkpoints passed."""
    points, delivery, log = Checkpoints(at), Delivery(), []
    run_logged(mode, points, delivery, log, lambda profiler: profiler)
    return delivery.calls, replay(log, *MODES[mode]), points.seen


@pytest.mark.parametrize("mode", MODES)
def test_removal_at_every_checkpoint_delivers_what_the_model_predicts(mode):
    *_, checkpoints = removed_at(mode, None)
    assert checkpoints > 5
    delivered = 0
    for at in [*range(1, checkpoints + 1), None]:
        calls, expected, _ = removed_at(mode, at)
        # The second removal, after the program, delivers the same list.
        assert len(calls) == (2 if at else 1) and calls[0][1] is calls[-1][1], at
        assert calls[0][1] == expected, (at, calls[0][1], expected)
        delivered += sum(record is not None for record in expected)
    assert delivered > checkpoints


@pytest.mark.parametrize("mode", MODES)
def test_removal_from_another_thread_delivers_the_events_seen_until_then(mode):
    *_, checkpoints = removed_at(mode, None)
    for at in range(1, checkpoints + 1):
        delivery, log, cut = Delivery(), [], []

        def remove_elsewhere(profiler):
            # The traced thread waits meanwhile: no event is logged until
            # the removal is done.
            def remove():
                cut.append(len(log))
                spantree_testing_C.remove_trace_profile(profiler)

            remover = threading.Thread(target=remove)
            remover.start()
            remover.join()

        points = Checkpoints(at, remove_elsewhere)
        run_logged(mode, points, delivery, log, lambda profiler: None)
        assert delivery.records == replay(log[:cut[0]], *MODES[mode]), at


def fresh_function():
    """A function with a code object of its own, and a weak reference to it."""
    namespace = {}
    exec("def traced_fn(n):\n    return [len('ab') for _ in range(n)]\n", namespace)
    function = namespace["traced_fn"]
    return function, weakref.ref(function.__code__)


@pytest.mark.parametrize("removed", [True, False], ids=["removed", "dropped"])
@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "coroutine"])
def test_the_log_lets_go_of_every_reference(removed, is_async):
    function, code = fresh_function()

    def calls():
        for _ in range(3):  # more calls than one block holds
            function(BLOCK_CALLS // 2)

    async def coroutine():
        calls()

    delivery = Delivery()
    profiler = spantree_C.set_trace_profile(delivery, None, 0, is_async, 0)
    run_coroutine(coroutine()) if is_async else calls()
    if removed:
        spantree_C.remove_trace_profile(profiler)
        assert len(delivery.records) > 3 * BLOCK_CALLS // 2
    else:
        spantree_C.remove_trace_profile(None)  # the hook goes, the profiler stays unremoved
        assert delivery.calls == []
    del function, profiler
    gc.collect()  # the function and its globals refer to each other
    assert code() is None


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "coroutine"])
def test_a_profiler_dropped_without_removal_leaks_nothing(is_async):
    def scenario():
        spantree_C.set_trace_profile(Delivery(), None, 0, is_async, 0)
        program(is_async, globals)
        # Replacing the hook releases the profiler with its log.
        spantree_C.remove_trace_profile(None)

    assert_no_growth(scenario, rounds=100)


def test_a_builtin_keeps_the_name_it_had_when_its_call_returned():
    class Renamed(list):
        pass

    items, before = Renamed(), Renamed.__qualname__
    delivery = Delivery()
    profiler = spantree_C.set_trace_profile(delivery, None, 0, False, 0)
    try:
        items.append(1)
        Renamed.__qualname__ = "AfterTheCall"
    finally:
        spantree_C.remove_trace_profile(profiler)
    names = [decode(r).name for r in delivery.records if r is not None]
    assert f"{before}.append" in names
    assert not any("AfterTheCall" in name for name in names)


def traced_loops(loops, fail_at=None):
    """Records of `loops` calls of leaf() under a threshold-0 trace on the
    scripted clock, the fail_at-th log block failing; with the warning's
    counts and the block allocations counted and failed."""
    delivery = Delivery()
    gc.disable()
    try:
        with warnings.catch_warnings(record=True) as caught, scripted_clock(0, 1):
            warnings.simplefilter("always")
            profiler = spantree_testing_C.set_trace_profile(delivery, None, 0, False, 0)
            allocator.arm(fail_at or 2**62, BLOCK_SIZE)
            try:
                for _ in range(loops):
                    leaf(globals)
            finally:
                counts = allocator.disarm()
                spantree_testing_C.remove_trace_profile(profiler)
    finally:
        gc.enable()
    losses = [LOSS.fullmatch(str(w.message)).groups() for w in caught]
    assert len(losses) <= 1
    return delivery.records, tuple(map(int, losses[0])) if losses else (0, 0), counts


@pytest.mark.parametrize("fail_at", [1, 2, 3])
def test_a_log_block_that_cannot_be_allocated_loses_one_call_only(fail_at):
    loops = BLOCK_CALLS - 1  # three calls a loop, and arm() itself: three blocks
    full, loss, (blocks, failed) = traced_loops(loops)
    assert loss == (0, 0) and failed == 0 and blocks == 3
    found, loss, (_, failed) = traced_loops(loops, fail_at)
    assert failed == 1 and loss == (0, 1)
    assert len(found) == len(full)
    missing = [i for i, (a, b) in enumerate(zip(found, full)) if a != b]
    # The call that would have opened the failed block: the first one to
    # finish after (fail_at - 1) full blocks.
    assert len(missing) == 1 and found[missing[0]] is None
    finished_before = sorted(range(len(full)), key=lambda i: sum(map(int, full[i].split("\1")[1:3])))
    assert missing[0] == finished_before[(fail_at - 1) * BLOCK_CALLS]
