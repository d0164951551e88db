"""Hostile callers and hostile traced code: random arguments to every module
function, interrupts and exits raised through a trace, fork, finalizers,
re-entrant callbacks and traced code that replaces the profile hook."""

import collections
import contextlib
import gc
import json
import os
import random
import signal
import sys
import traceback
import warnings

import pytest

import spantree_C
from conftest import BUILD, run_python
from tracer_harness import Delivery, assert_no_growth, decode, keys

SCALE = int(os.environ.get("SPANTREE_STRESS_SCALE", "1"))
HUGE = 2**62
AGENT = BUILD / "libvarnex_profiler_agent.so"


def rows(records):
    """(name, parent) of each record, None kept."""
    return [None if r is None else (decode(r).name, decode(r).parent) for r in records]


# ---------------------------------------------------------------------------
# Random arguments

class Boom(Exception):
    pass


def boom(*args):
    raise Boom("hostile")


def hostile(name, **methods):
    """An instance of a new class `name` with the given special methods."""
    return type(name, (), methods)()


class Int(int):
    def __index__(self):
        raise Boom("never asked: an int is its own index")


class Str(str):
    pass


class Meddling:
    """Drops the thread's profile hook and collects while it is being parsed."""

    def __index__(self):
        sys.setprofile(None)
        gc.collect()
        return 1

    def __bool__(self):
        return self.__index__() == 1


VALUES = [
    0, 1, -1, 2, 7, 2**31 - 1, 2**31, -2**31 - 1, 2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**200, -2**200,
    True, False, 0.0, -0.0, 1.5, float("nan"), float("inf"), 3j, None, "", "0", "1", Str("5"),
    Int(3), Int(2**64), Int(-1), b"1", bytearray(b"1"), [], [1], (), {}, object(),
    hostile("FailingBool", __bool__=boom), hostile("FailingIndex", __index__=boom),
    hostile("FailingInt", __int__=boom, __float__=boom), hostile("FailingLen", __len__=boom),
    hostile("HugeIndex", __index__=lambda self: 2**100), hostile("StrIndex", __index__=lambda self: "3"),
    Meddling(),
    Boom, len, lambda *args: None, boom, spantree_C.set_trace_profile,
    spantree_C.remove_trace_profile, spantree_C,
]
# Drawn for an argument more often than the rest, so that whole argument
# lists that parse come up.
PLAUSIBLE = [0, 1, -1, 7, 2**31 - 1, -2**63, Int(3), True]
# Argument counts drawn per function: around the right one, and far off.
ARGUMENT_COUNTS = {"set_trace_profile": [5] * 6 + list(range(9)), "remove_trace_profile": [1] * 6 + [0, 2, 3],
                   "init_gil_interceptor": [7] * 6 + list(range(10)), "deinit_gil_interceptor": list(range(4)),
                   "dump_all_threads_stack": [2] * 6 + list(range(5))}
REFUSALS = (TypeError, ValueError, OverflowError, Boom)


def fuzz(seed, calls, agent, report_path):
    """Calls every module function `calls` times with random arguments and
    writes what came of it to `report_path`. The agent's thread dump writes
    to whatever descriptor it is given, so 0 and 1 lead nowhere meanwhile."""
    nowhere = os.open(os.devnull, os.O_RDWR)
    os.dup2(nowhere, 0)
    os.dup2(nowhere, 1)
    warnings.simplefilter("ignore")
    if agent:
        import ctypes
        agent = ctypes.CDLL(agent, mode=ctypes.RTLD_GLOBAL)
    import lockmeter_C
    import threaddump_C

    functions = {"set_trace_profile": spantree_C.set_trace_profile,
                 "remove_trace_profile": spantree_C.remove_trace_profile,
                 "init_gil_interceptor": lockmeter_C.init_gil_interceptor,
                 "deinit_gil_interceptor": lockmeter_C.deinit_gil_interceptor,
                 "dump_all_threads_stack": threaddump_C.dump_all_threads_stack}
    profiler_type = type(spantree_C.set_trace_profile(None, None, 0, 0, 0))
    sys.setprofile(None)
    rng = random.Random(seed)
    outcomes = {name: collections.Counter() for name in functions}
    unexpected = []
    made = []  # profilers already delivered, offered again to every function
    for name, function in functions.items():
        for _ in range(calls):
            pool = VALUES + made[-3:]
            args = [rng.choice(PLAUSIBLE if rng.random() < 0.6 else pool)
                    for _ in range(rng.choice(ARGUMENT_COUNTS[name]))]
            kwargs = {rng.choice(["flag", "callback"]): rng.choice(VALUES)} if rng.random() < 0.15 else {}
            try:
                result = function(*args, **kwargs)
            except REFUSALS as error:
                outcomes[name][type(error).__name__] += 1
                continue
            except BaseException as error:
                unexpected.append(f"{name}(*{args!r}, **{kwargs!r}) raised {error!r}")
                continue
            finally:
                sys.setprofile(None)
            if name == "set_trace_profile":
                ok = type(result) is profiler_type
                made.append(result)
                try:  # delivers to the random callback, which may well refuse
                    spantree_C.remove_trace_profile(result)
                except REFUSALS:
                    pass
                except BaseException as error:
                    unexpected.append(f"delivery to {args[0]!r} raised {error!r}")
                sys.setprofile(None)
            elif name == "remove_trace_profile":
                ok = result is None
            else:  # the stand-in agent answers 0; without it the bridges answer -1
                ok = type(result) is int and result == (0 if agent else -1)
            outcomes[name]["returned" if ok else f"returned {result!r}"] += 1
    counts = [ctypes.c_int64.in_dll(agent, f"{entry}_calls").value
              for entry in ("init", "deinit", "dump")] if agent else None
    with open(report_path, "w") as out:
        json.dump(dict(outcomes=outcomes, unexpected=unexpected, agent_calls=counts), out)


@pytest.mark.parametrize("agent", [False, True], ids=["no-agent", "agent"])
def test_module_functions_refuse_random_arguments_cleanly(agent, tmp_path):
    report_path = tmp_path / "report.json"
    calls = 1500 * SCALE
    run_python(f"import test_hostile as t; t.fuzz({int(agent)}, {calls}, "
               f"{str(AGENT) if agent else None!r}, {str(report_path)!r})", timeout=300)
    outcome = json.loads(report_path.read_text())
    assert outcome["unexpected"] == []
    outcomes = outcome["outcomes"]
    for name, counts in outcomes.items():
        assert set(counts) <= {"returned", "TypeError", "ValueError", "OverflowError", "Boom"}, (name, counts)
        assert sum(counts.values()) == calls
        assert counts["returned"] > 0 and counts["TypeError"] > 0, (name, counts)
    for name in ("set_trace_profile", "init_gil_interceptor", "dump_all_threads_stack"):
        if agent or name != "init_gil_interceptor":  # without the agent nothing is parsed
            assert outcomes[name]["OverflowError"] > 0 and outcomes[name]["Boom"] > 0, (name, outcomes[name])
    if agent:
        # Every call that returned reached the agent, and no refused one did.
        assert outcome["agent_calls"] == [outcomes[name]["returned"] for name in
                                          ("init_gil_interceptor", "deinit_gil_interceptor",
                                           "dump_all_threads_stack")]


# ---------------------------------------------------------------------------
# Interrupts and exits

def deepest(raiser):
    raiser()


def middle(raiser):
    deepest(raiser)


def top(raiser):
    middle(raiser)


async def deepest_async(raiser):
    raiser()


async def middle_async(raiser):
    await deepest_async(raiser)


async def top_async(raiser):
    await middle_async(raiser)


INTERRUPTION = KeyboardInterrupt("prepared")


def interrupt():
    raise INTERRUPTION


def signal_interrupt():
    signal.raise_signal(signal.SIGINT)


def leave():
    sys.exit(3)


# raiser: (whether the caller caught what was raised, the built-in that raised it)
RAISERS = {interrupt: (lambda e: e is INTERRUPTION, None),
           signal_interrupt: (lambda e: type(e) is KeyboardInterrupt, "raise_signal"),
           leave: (lambda e: type(e) is SystemExit and e.code == 3, "exit")}


def run_until_raised(raiser, threshold_ns, is_async, max_depth):
    """Runs top(raiser) or its coroutine twin under a trace; returns what it
    raised and the records."""
    delivery = Delivery()
    caught = None
    INTERRUPTION.__traceback__ = None  # raising it again would add to the old one
    gc.disable()
    try:
        profiler = spantree_C.set_trace_profile(delivery, None, threshold_ns, is_async, max_depth)
        try:
            if is_async:
                top_async(raiser).send(None)
            else:
                top(raiser)
        except BaseException as error:
            caught = error
        spantree_C.remove_trace_profile(profiler)
    finally:
        gc.enable()
    return caught, delivery.records


@pytest.mark.parametrize("mode", [(0, False, 0), (HUGE, False, 2), (0, True, 0), (HUGE, True, 2)],
                         ids=["threshold", "depth2", "async", "async-depth2"])
@pytest.mark.parametrize("raiser", RAISERS, ids=lambda f: f.__name__)
def test_interrupts_and_exits_pass_through_unchanged(raiser, mode):
    if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        pytest.skip("SIGINT is handled by someone else here")
    caught, records = run_until_raised(raiser, *mode)
    is_expected, builtin = RAISERS[raiser]
    assert is_expected(caught)
    suffix = "_async" if mode[1] else ""
    chain = [f"top{suffix}", f"middle{suffix}", f"deepest{suffix}", raiser.__name__]
    assert [frame.name for frame in traceback.extract_tb(caught.__traceback__)][-4:] == chain
    expected = [(name, parent) for parent, name in enumerate(chain + [builtin], -1) if name]
    assert rows(records) == expected[:mode[2] or None]


EXIT_CHILD = """
import atexit, json, sys
import spantree_C

def deliver():
    spantree_C.remove_trace_profile(profiler)

def show(context, records):
    print(json.dumps([r and r.split("\\x00")[0] for r in records]))

def ending():
    {ending}

def run():
    ending()

async def run_async():
    ending()

if {delivered}:
    atexit.register(deliver)
profiler = spantree_C.set_trace_profile(show, None, 0, {is_async}, 0)
run_async().send(None) if {is_async} else run()
"""


@pytest.mark.parametrize("delivered", [True, False], ids=["delivered-at-exit", "left-installed"])
@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
@pytest.mark.parametrize("ending, status", [("sys.exit(3)", 3), ("raise KeyboardInterrupt", -signal.SIGINT)],
                         ids=["exit", "interrupt"])
def test_uncaught_exit_ends_the_process_with_the_trace_still_on(ending, status, is_async, delivered):
    proc = run_python(EXIT_CHILD.format(ending=ending, is_async=is_async, delivered=delivered), check=False)
    assert proc.returncode == status, proc.stderr
    assert ("KeyboardInterrupt" in proc.stderr) == (status != 3)
    if not delivered:
        assert proc.stdout == ""
        return
    expected = ["run_async" if is_async else "run", "ending"] + (["exit"] if status == 3 else [])
    # The interpreter may trace its own reporting of the exception after these.
    assert json.loads(proc.stdout.splitlines()[-1])[:len(expected)] == expected


# ---------------------------------------------------------------------------
# Fork

FORK_CHILD = """
import gc, json, os
import spantree_C
from tracer_harness import Delivery

def before_fork():
    return len("before")

def in_child():
    return len("child")

def in_parent():
    return len("parent")

async def side(fn):
    return fn()

def body():
    before_fork()
    pid = os.fork()
    (in_child if pid == 0 else in_parent)()
    return pid

async def body_async():
    before_fork()
    pid = os.fork()
    await side(in_child if pid == 0 else in_parent)
    return pid

def names(records):
    return [r and r.split("\\x00")[0] for r in records]

gc.disable()
threshold_ns, is_async, max_depth = {mode}
delivery = Delivery()
read_end, write_end = os.pipe()
profiler = spantree_C.set_trace_profile(delivery, None, threshold_ns, is_async, max_depth)
if is_async:
    try:
        body_async().send(None)
    except StopIteration as stop:
        pid = stop.value
else:
    pid = body()
spantree_C.remove_trace_profile(profiler)
if pid == 0:
    os.write(write_end, json.dumps(names(delivery.records)).encode())
    os._exit(7)
os.close(write_end)
child = json.loads(os.read(read_end, 1 << 20).decode())
_, status = os.waitpid(pid, 0)
print(json.dumps(dict(status=os.waitstatus_to_exitcode(status), child=child, parent=names(delivery.records))))
"""


@pytest.mark.parametrize("mode", [(0, False, 0), (HUGE, False, 3), (0, True, 0)],
                         ids=["threshold", "depth3", "async"])
def test_fork_inside_a_trace_leaves_each_process_its_own_copy(mode):
    outcome = json.loads(run_python(FORK_CHILD.format(mode=mode)).stdout)
    assert outcome["status"] == 7
    child, parent = outcome["child"], outcome["parent"]
    assert parent[:2] == ["body_async" if mode[1] else "body", "before_fork"]
    # The calls up to the fork are in both copies; after it each has its own.
    fork_at = parent.index("fork")
    assert child[:fork_at + 1] == parent[:fork_at + 1]
    assert "in_child" in child and "in_parent" not in child
    assert "in_parent" in parent and "in_child" not in parent


# ---------------------------------------------------------------------------
# Finalizers and collection

def finalizing():
    return len("finalizing")


class Cyclic:
    action = staticmethod(finalizing)

    def __init__(self):
        self.me = self

    def __del__(self):
        type(self).action()


class Plain:
    def __del__(self):
        finalizing()


def make_garbage():
    Cyclic()
    Plain()


def collecting():
    make_garbage()
    gc.collect(0)


@contextlib.contextmanager
def own_collections(automatic=False):
    """Collections only when asked for (or, automatic, on their own), without
    gc.callbacks that would add calls of their own to the trace."""
    callbacks, was_enabled = gc.callbacks[:], gc.isenabled()
    gc.callbacks.clear()
    gc.enable() if automatic else gc.disable()
    try:
        yield
    finally:
        gc.callbacks[:] = callbacks
        gc.enable() if was_enabled else gc.disable()


# A Plain object's __del__ runs when make_garbage drops it, a Cyclic one's
# inside gc.collect, which finds only this garbage if the caller collected
# everything else before.
FINALIZER_ROWS = [("collecting", -1), ("make_garbage", 0), ("__init__", 1), ("__del__", 1), ("finalizing", 3),
                  ("len", 4), ("collect", 0), ("__del__", 6), ("finalizing", 7), ("len", 8)]


@pytest.mark.parametrize("max_depth", [0, 2, 4])
def test_finalizers_run_by_refcount_and_by_collection_are_nested_calls(max_depth):
    delivery = Delivery()
    gc.collect()
    with own_collections():
        profiler = spantree_C.set_trace_profile(delivery, None, HUGE if max_depth else 0, False, max_depth)
        collecting()
        spantree_C.remove_trace_profile(profiler)
    levels = {-1: 0}
    for index, (_, parent) in enumerate(FINALIZER_ROWS):
        levels[index] = levels[parent] + 1
    kept = [i for i in range(len(FINALIZER_ROWS)) if not max_depth or levels[i] <= max_depth]
    # Dropped calls give their indices back: kept ones are numbered in order.
    renumbered = {old: new for new, old in enumerate(kept)} | {-1: -1}
    assert rows(delivery.records) == [(FINALIZER_ROWS[i][0], renumbered[FINALIZER_ROWS[i][1]]) for i in kept]


def finalizer_restarting_the_trace():
    """A finalizer run by gc.collect ends the trace and starts another one;
    returns both deliveries' rows."""
    first, second, held = Delivery(), Delivery(), [None]

    def restarting():
        finalizing()
        spantree_C.remove_trace_profile(held[0])
        held[0] = spantree_C.set_trace_profile(second, None, 0, False, 0)

    Cyclic.action = staticmethod(restarting)
    try:
        with own_collections():
            held[0] = spantree_C.set_trace_profile(first, None, 0, False, 0)
            collecting()
            finalizing()
            spantree_C.remove_trace_profile(held[0])
    finally:
        Cyclic.action = staticmethod(finalizing)
    return rows(first.records), rows(second.records)


def test_finalizer_that_ends_and_restarts_the_trace_during_collection():
    gc.collect()
    first, second = finalizer_restarting_the_trace()
    # `collecting`, `collect`, `__del__` and `restarting` are open at the removal.
    assert first == [None] + FINALIZER_ROWS[1:6] + [None, None, None, ("finalizing", 8), ("len", 9)]
    # The returns of the calls open before the new trace began find only its
    # root and are ignored.
    assert second == [("finalizing", -1), ("len", 0)]


def test_automatic_collections_running_finalizers_keep_the_tree_sound():
    def churn():
        for _ in range(200):
            make_garbage()
            sorted([3, 1, 2], key=abs)

    thresholds = gc.get_threshold()
    gc.collect()
    gc.set_threshold(5, 1, 1)
    try:
        with own_collections(automatic=True):
            delivery = Delivery()
            profiler = spantree_C.set_trace_profile(delivery, None, 0, False, 0)
            churn()
            spantree_C.remove_trace_profile(profiler)
    finally:
        gc.set_threshold(*thresholds)
    found = keys(delivery.records)
    assert None not in found and all(parent < index for index, (*_, parent) in enumerate(found))
    finalizers = {cls: [i for i, key in enumerate(found) if key[:3] == (
        "__del__", __file__, cls.__del__.__code__.co_firstlineno)] for cls in (Plain, Cyclic)}
    children = collections.defaultdict(list)
    for name, _, _, parent in found:
        children[parent].append(name)
    # A collection may start anywhere, inside another finalizer too, before
    # its call of finalizing.
    for index in finalizers[Plain] + finalizers[Cyclic]:
        assert sorted(set(children[index])) in (["finalizing"], ["__del__", "finalizing"])
        assert children[index].count("finalizing") == 1
    # Plain objects' finalizers run when make_garbage drops them.
    assert [found[found[i][3]][0] for i in finalizers[Plain]] == ["make_garbage"] * 200
    assert children[0].count("make_garbage") == 200
    assert len(finalizers[Cyclic]) > 0


# ---------------------------------------------------------------------------
# Re-entrant callbacks

def leaf():
    return 1


def removed_again_by_its_callback():
    """The callback removes the trace once more; returns its calls."""
    calls, held = [], [None]

    def callback(context, records):
        calls.append((context, records))
        if len(calls) == 1:
            spantree_C.remove_trace_profile(held[0])

    held[0] = spantree_C.set_trace_profile(callback, "ctx", 0, False, 0)
    leaf()
    spantree_C.remove_trace_profile(held[0])
    # The profiler holds the callback, whose closure holds the profiler: a
    # cycle the collector cannot see, as profilers are not tracked by it.
    held.clear()
    return calls


def test_callback_that_removes_again_gets_the_same_list_nested():
    (first_context, first), (second_context, second) = removed_again_by_its_callback()
    assert sys.getprofile() is None
    assert first_context == second_context == "ctx" and first is second
    assert rows(first) == [("leaf", -1)]


def restarted_by_callbacks(traces=3):
    """Each callback starts the next trace; returns what each delivered."""
    deliveries, pending = [], []

    def callback(context, records):
        deliveries.append((context, rows(records)))
        if context < traces:
            pending.append(spantree_C.set_trace_profile(callback, context + 1, 0, False, 0))

    pending.append(spantree_C.set_trace_profile(callback, 1, 0, False, 0))
    while pending:
        leaf()
        spantree_C.remove_trace_profile(pending.pop())
    return deliveries


def test_callback_that_starts_new_traces_chains_them():
    deliveries = restarted_by_callbacks()
    assert sys.getprofile() is None
    # Each trace sees the append that keeps its handle, the caller's next
    # round and the pop of its handle.
    assert deliveries == [(n, [("list.append", -1), ("leaf", -1), ("list.pop", -1)]) for n in (1, 2, 3)]


def test_callback_removing_without_end_raises_recursion_error_cleanly():
    proc = run_python("""
    import sys, spantree_C
    deliveries = []
    def callback(context, records):
        deliveries.append(records)
        spantree_C.remove_trace_profile(profiler)
    profiler = spantree_C.set_trace_profile(callback, None, 0, False, 0)
    len("traced")
    try:
        spantree_C.remove_trace_profile(profiler)
    except RecursionError:
        print(len(deliveries) > 10, all(r is deliveries[0] for r in deliveries), sys.getprofile())
    """)
    assert proc.stdout.split() == ["True", "True", "None"]


# ---------------------------------------------------------------------------
# Traced code that replaces the hook

def before():
    return len("a")


def after():
    return len("b")


def replacing(replacement):
    if type(replacement) is Delivery:
        spantree_C.set_trace_profile(replacement, None, 0, False, 0)
    else:
        sys.setprofile(replacement)


def replaced_run(replacement):
    before()
    replacing(replacement)
    after()


async def replaced_run_async(replacement):
    before()
    replacing(replacement)
    after()


class Recorder:
    def __init__(self):
        self.events = []

    def __call__(self, frame, event, arg):
        self.events.append((event, frame.f_code.co_name))


def run_replaced(replacement, threshold_ns, is_async, max_depth, keep=True):
    """Traces code that replaces the hook with `replacement` (a profile
    function, None, or a Delivery for a trace of its own) and then removes
    the trace; returns its records, or None when the handle was not kept."""
    delivery = Delivery()
    references = sys.getrefcount(delivery)
    gc.disable()
    try:
        held = [spantree_C.set_trace_profile(delivery, None, threshold_ns, is_async, max_depth)]
        if not keep:
            held.clear()
        if is_async:
            try:
                replaced_run_async(replacement).send(None)
            except StopIteration:
                pass
        else:
            replaced_run(replacement)
        replaced_by = sys.getprofile()
        spantree_C.remove_trace_profile(held[0] if held else None)
        if type(replacement) is Delivery:
            spantree_C.remove_trace_profile(replaced_by)
        held.clear()
        assert sys.getrefcount(delivery) == references  # the profiler is gone
    finally:
        gc.enable()
    return delivery.records if keep else None


@pytest.mark.parametrize("mode", [(0, False, 0), (HUGE, False, 2), (0, True, 0)],
                         ids=["threshold", "depth2", "async"])
@pytest.mark.parametrize("replacement", ["None", "python hook", "another trace"])
def test_traced_code_replacing_the_hook_stops_the_trace(replacement, mode):
    hook = {"None": None, "python hook": Recorder(), "another trace": Delivery()}[replacement]
    found = rows(run_replaced(hook, *mode))
    assert sys.getprofile() is None
    if mode[1]:
        assert found == [("replaced_run_async", -1), ("before", 0), ("len", 1)]
    else:
        # replaced_run is still open; replacing and its call were never closed.
        assert found == [None, ("before", 0), ("len", 1)][:mode[2] or None]
    if replacement == "python hook":
        assert ("call", "after") in hook.events and ("return", "after") in hook.events
    elif replacement == "another trace":
        assert rows(hook.records) == [("after", -1), ("len", 0), ("getprofile", -1)]


# ---------------------------------------------------------------------------
# References

def through_interrupt():
    run_until_raised(interrupt, 0, False, 0)
    run_until_raised(signal_interrupt, 0, True, 0)


def dropped_by_traced_code():
    run_replaced(None, 0, False, 0, keep=False)
    run_replaced(Recorder(), 0, True, 0, keep=False)


def replaced_by_traced_code():
    run_replaced(Delivery(), 0, False, 2)
    run_replaced(Recorder(), 0, True, 0)


def callbacks_reentering():
    restarted_by_callbacks()
    removed_again_by_its_callback()


def removed_at_the_bottom_of_a_recursion():
    held = [spantree_C.set_trace_profile(Delivery(), None, 0, False, 0)]

    def recurse(n):
        if n:
            return recurse(n - 1)
        spantree_C.remove_trace_profile(held.pop())

    recurse(500)


@pytest.mark.parametrize("scenario", [through_interrupt, dropped_by_traced_code, replaced_by_traced_code,
                                      callbacks_reentering, finalizer_restarting_the_trace,
                                      removed_at_the_bottom_of_a_recursion], ids=lambda f: f.__name__)
def test_hostile_scenarios_leak_nothing(scenario):
    assert_no_growth(scenario, rounds=100)
