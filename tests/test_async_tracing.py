"""Coroutine-aware tracing: one record per coroutine across its suspensions,
await records, and the closing and final sweeps."""

import asyncio
import gc

import pytest

import spantree_C
import spantree_testing_C
from conftest import run_python
from tracer_harness import Delivery, decode, scripted_clock

HERE = __file__
SLEEP_FILE = asyncio.sleep.__code__.co_filename


def traced_run(coroutine_fn, *, threshold_ns=0, max_depth=0, tracer=spantree_C):
    """Runs coroutine_fn() under asyncio from a wrapper coroutine that starts
    the trace before awaiting it and removes it afterwards."""
    delivery = Delivery()

    async def wrapper():
        profiler = tracer.set_trace_profile(delivery, None, threshold_ns, True, max_depth)
        await coroutine_fn()
        tracer.remove_trace_profile(profiler)

    gc.disable()
    try:
        asyncio.run(wrapper())
    finally:
        gc.enable()
    return delivery.records


def decoded(records):
    return [None if r is None else decode(r) for r in records]


def index_of(records, name, nth=0):
    found = [i for i, r in enumerate(decoded(records)) if r and r.name == name]
    return found[nth]


def children_of(records, parent):
    return [(i, r.name) for i, r in enumerate(decoded(records)) if r and r.parent == parent]


async def sleeps_10ms():
    await asyncio.sleep(0.01)


def test_awaiting_asyncio_sleep_records_coroutines_calls_and_the_wait():
    records = traced_run(sleeps_10ms)
    rows = decoded(records)
    main = rows[0]
    assert (main.name, main.file, main.line, main.parent) == (
        "sleeps_10ms", HERE, sleeps_10ms.__code__.co_firstlineno, -1)
    sleep = rows[1]
    assert (sleep.name, sleep.file, sleep.parent) == ("sleep", SLEEP_FILE, 0)
    awaits = [(i, r) for i, r in enumerate(rows) if r and r.name == "[await]"]
    assert len(awaits) == 1
    await_index, wait = awaits[0]
    assert records[await_index] == f"[await]\x00\x000\x01{wait.start}\x01{wait.duration}\x011"
    assert 9_000_000 <= wait.duration < 1_000_000_000
    # The coroutine records span the wait; the sleep's own calls hang under it.
    assert main.duration >= sleep.duration >= wait.duration
    assert main.start <= sleep.start <= wait.start
    names_under_sleep = [name for _, name in children_of(records, 1)]
    assert "isnan" in names_under_sleep and "call_later" in names_under_sleep
    assert all(r is not None for r in records)


async def child_a():
    await asyncio.sleep(0)


async def child_b():
    await asyncio.sleep(0)


async def awaits_two_children():
    await child_a()
    await child_b()


def test_children_awaited_in_turn_are_both_recorded_under_their_parent():
    records = traced_run(awaits_two_children)
    assert decode(records[0]).name == "awaits_two_children"
    assert [name for _, name in children_of(records, 0)] == ["child_a", "child_b"]
    a, b = decode(records[index_of(records, "child_a")]), decode(records[index_of(records, "child_b")])
    assert a.start + a.duration <= b.start


async def never_suspends():
    sum(range(10))


def test_coroutine_that_never_suspends_spans_call_to_return():
    rows = decoded(traced_run(never_suspends))
    assert [(r.name, r.parent) for r in rows] == [("never_suspends", -1), ("sum", 0)]
    assert rows[0].duration >= rows[1].duration >= 0


async def short_waits_then_long():
    for _ in range(3):
        await asyncio.sleep(0)
    # The event loop moves the clock on 30 ms while the last sleep waits.
    asyncio.get_running_loop().call_soon(spantree_testing_C.shift_clock, 30_000_000)
    await asyncio.sleep(0)


def test_threshold_drops_short_coroutines_and_short_waits():
    # On the scripted clock an event lasts a microsecond: only the shift
    # makes anything last 20 ms.
    with scripted_clock(10**15, 1_000):
        records = traced_run(short_waits_then_long, threshold_ns=20_000_000, tracer=spantree_testing_C)
    rows = decoded(records)
    assert rows[0].name == "short_waits_then_long" and rows[0].parent == -1
    # The three short sleeps were dropped by the closing sweeps: None slots.
    kept = [(i, r.name, r.parent) for i, r in enumerate(rows) if r]
    assert [(name, parent) for _, name, parent in kept] == [
        ("short_waits_then_long", -1), ("sleep", 0), ("[await]", kept[1][0])]
    assert records.count(None) >= 3
    wait = rows[kept[2][0]]
    assert 30_000_000 < wait.duration < 31_000_000
    assert rows[0].start == 10**15 and rows[0].duration > wait.duration


@pytest.mark.parametrize("max_depth, expected", [
    (1, [("sleeps_10ms", -1)]),
    (2, [("sleeps_10ms", -1), ("sleep", 0)]),
])
def test_depth_mode_counts_coroutine_levels(max_depth, expected):
    rows = decoded(traced_run(sleeps_10ms, max_depth=max_depth, threshold_ns=2**62))
    assert [(r.name, r.parent) for r in rows if r] == expected


def test_depth_three_records_await_and_the_sleeps_own_calls():
    rows = decoded(traced_run(sleeps_10ms, max_depth=3))
    assert ("[await]", 1) in [(r.name, r.parent) for r in rows if r]
    assert {r.parent for r in rows if r} == {-1, 0, 1}


def test_only_the_first_top_level_coroutine_is_followed():
    async def first():
        await asyncio.sleep(0)

    async def second():
        await asyncio.sleep(0)

    async def main():
        other = asyncio.ensure_future(second())
        await first()
        await other

    delivery = Delivery()

    async def wrapper():
        profiler = spantree_C.set_trace_profile(delivery, None, 0, True, 0)
        len("plain call while only the root is open")
        await main()
        spantree_C.remove_trace_profile(profiler)

    asyncio.run(wrapper())
    rows = decoded(delivery.records)
    assert rows[0].name == "main"
    names = [r.name for r in rows if r]
    assert "second" not in names and "len" not in names
    assert [name for _, name in children_of(delivery.records, 0)][-1] == "first"


async def agen():
    for i in range(2):
        await asyncio.sleep(0)
        yield i


async def iterates_async_generator():
    async for _ in agen():
        pass


def test_async_generator_resumptions_are_plain_records_and_their_awaits_dropped():
    rows = decoded(traced_run(iterates_async_generator))
    assert rows[0].name == "iterates_async_generator"
    generator_rows = [(i, r) for i, r in enumerate(rows) if r and r.name == "agen"]
    # Each of the two rounds resumes it twice (after the sleep, after the
    # yield), and the last resumption ends it: five plain records.
    assert len(generator_rows) == 5
    assert all(r.parent == 0 for _, r in generator_rows)
    # The sleep coroutine, entered or resumed inside each of the first four,
    # got a node right under it that was dropped with it: a None slot.
    assert not any(r and r.name == "sleep" for r in rows)
    assert [i for i, r in enumerate(rows) if r is None] == [i + 1 for i, _ in generator_rows[:4]]


async def finishes_at_once():
    return 1


def plain_after_resume():
    return 2


async def resumes_into_finished_child():
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    loop.call_soon(future.set_result, None)
    await finishes_at_once()
    await future          # suspends on a future, with no call since the child ended
    plain_after_resume()  # attached below the finished child


def test_resumption_moves_into_a_finished_child():
    records = traced_run(resumes_into_finished_child)
    rows = decoded(records)
    assert rows[0].name == "resumes_into_finished_child"
    child = index_of(records, "finishes_at_once")
    assert rows[child].parent == 0
    plain = rows[index_of(records, "plain_after_resume")]
    assert plain.parent == child
    # The coroutine's next return stamped the child, whose record ends there.
    assert rows[child].start + rows[child].duration >= plain.start + plain.duration


def test_trace_around_asyncio_run_has_main_as_top_coroutine():
    proc = run_python("""
    import asyncio, spantree_C
    from tracer_harness import decode

    async def helper():
        await asyncio.sleep(0.001)

    async def main():
        await helper()
        await asyncio.gather(helper(), helper())

    out = []
    p = spantree_C.set_trace_profile(lambda c, r: out.append(r), None, 0, True, 0)
    asyncio.run(main())
    spantree_C.remove_trace_profile(p)
    rows = [r and decode(r) for r in out[0]]
    top = [r.name for r in rows if r and r.parent == -1]
    print(top, [r.name for r in rows if r and r.parent == 0][:1])
    """)
    assert proc.stdout.strip() == "['main'] ['helper']"


@pytest.mark.parametrize(
    "is_async, coroutine_aware",
    [(0, False), (1, True), ("", False), ("x", True), ([], False), ([0], True), (0.0, False)],
)
def test_is_async_is_reduced_to_its_truth_value(is_async, coroutine_aware):
    delivery = Delivery()
    profiler = spantree_C.set_trace_profile(delivery, None, 0, is_async, 0)
    len("top level")  # coroutine-aware traces ignore plain calls at the top
    spantree_C.remove_trace_profile(profiler)
    assert (delivery.records == []) == coroutine_aware
