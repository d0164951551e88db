"""Coroutine-aware traces under throws, cancellation, removal at odd
moments and replaced hooks: no node is freed twice, stranded or leaked."""

import asyncio
import gc
import sys

import pytest

import spantree_C
from conftest import run_python
from tracer_harness import Delivery, assert_no_growth, decode

MODES = [dict(threshold_ns=0, max_depth=0), dict(threshold_ns=0, max_depth=2),
         dict(threshold_ns=2**62, max_depth=0)]
MODE_IDS = ["threshold", "depth2", "nothing-kept"]


def start(delivery, mode):
    return spantree_C.set_trace_profile(delivery, None, mode["threshold_ns"], True, mode["max_depth"])


def well_formed(records):
    for index, text in enumerate(records):
        if text is not None:
            parent = decode(text).parent
            assert parent == -1 or 0 <= parent < len(records), (index, text)
            assert parent != index


async def leaf():
    await asyncio.sleep(0)
    return 1


async def catches_cancellation():
    try:
        await asyncio.sleep(10)
    except asyncio.CancelledError:
        len("handled")
        await leaf()
        raise


async def throws_and_cancels():
    task = asyncio.ensure_future(catches_cancellation())
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass
    inner = leaf()
    inner.send(None)
    try:
        inner.throw(ValueError("into a suspended chain"))
    except ValueError:
        pass
    closed = leaf()
    closed.send(None)
    closed.close()
    try:
        await asyncio.wait_for(asyncio.sleep(10), 0.001)
    except TimeoutError:
        pass
    return await leaf()


def run_traced(coroutine_fn, mode, remove=True):
    delivery = Delivery()

    async def wrapper():
        profiler = start(delivery, mode)
        result = await coroutine_fn()
        if remove:
            spantree_C.remove_trace_profile(profiler)
        else:
            sys.setprofile(None)  # the profiler is dropped without its final sweep
        return result

    assert asyncio.run(wrapper()) == 1
    return delivery


@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
def test_throw_close_and_cancellation_keep_the_tree_sound(mode):
    delivery = run_traced(throws_and_cancels, mode)
    well_formed(delivery.records)
    if mode["threshold_ns"] == 0 and mode["max_depth"] == 0:
        assert decode(delivery.records[0]).name == "throws_and_cancels"


@pytest.mark.parametrize("remove", [True, False], ids=["removed", "replaced"])
@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
def test_repeated_coroutine_traces_leak_nothing(mode, remove):
    assert_no_growth(lambda: run_traced(throws_and_cancels, mode, remove), rounds=30, windows=5)


def test_final_sweep_runs_once_and_later_removals_redeliver():
    delivery = run_traced(throws_and_cancels, MODES[0])
    profiler_records = delivery.records
    snapshot = list(profiler_records)
    # The wrapper's profiler is gone; make one to remove twice.
    second = Delivery()

    async def wrapper():
        profiler = start(second, MODES[0])
        await leaf()
        spantree_C.remove_trace_profile(profiler)
        spantree_C.remove_trace_profile(profiler)

    asyncio.run(wrapper())
    (_, first), (_, again) = second.calls
    assert first is again and decode(first[0]).name == "leaf"
    assert snapshot == profiler_records


def plain_removing(holder):
    def inner():
        spantree_C.remove_trace_profile(holder.pop())
    inner()


async def removes_inside_plain_call(holder):
    await leaf()
    plain_removing(holder)


async def removes_inside_itself(holder):
    await leaf()
    spantree_C.remove_trace_profile(holder.pop())


@pytest.mark.parametrize("body", [removes_inside_plain_call, removes_inside_itself])
@pytest.mark.parametrize("mode", MODES[:2], ids=MODE_IDS[:2])
def test_removal_while_the_traced_coroutine_runs(body, mode):
    def run_once():
        delivery = Delivery()
        holder = []

        async def main():
            holder.append(start(delivery, mode))
            await body(holder)

        asyncio.run(main())
        return delivery.records

    rows = [r and decode(r) for r in run_once()]
    # `main` was entered before the trace began: the first coroutine is the body.
    assert rows[0].name == body.__name__ and rows[0].parent == -1
    assert ("leaf", 0) in [(r.name, r.parent) for r in rows if r]
    if body is removes_inside_plain_call:
        # The plain calls still open are closed without records.
        assert "plain_removing" not in [r.name for r in rows if r]
        assert rows[-1] is None or rows[-1].name != "inner"
    assert_no_growth(run_once, rounds=30)


def test_frame_address_reuse_is_not_taken_for_a_resumption():
    ids = {}

    async def first():
        ids["first"] = id(sys._getframe())
        len("first")

    async def second():
        ids["second"] = id(sys._getframe())
        len("second")

    delivery = Delivery()
    gc.disable()
    try:
        profiler = spantree_C.set_trace_profile(delivery, None, 0, True, 0)
        for coroutine_fn in (first, second):
            try:
                coroutine_fn().send(None)
            except StopIteration:
                pass
        spantree_C.remove_trace_profile(profiler)
    finally:
        gc.enable()
    if ids["first"] != ids["second"]:
        pytest.skip("this allocator did not reuse the frame's address")
    rows = [decode(r) for r in delivery.records]
    # Only `first` and its call: `second` is another coroutine at the top.
    assert [(r.name, r.parent) for r in rows] == [
        ("first", -1), ("_getframe", 0), ("id", 0), ("len", 0)]
    assert rows[0].start + rows[0].duration >= rows[1].start + rows[1].duration


@pytest.mark.parametrize("max_depth", [0, 2])
def test_hook_survives_removal_and_last_reference_dropped_in_a_coroutine(max_depth):
    proc = run_python(f"""
    import asyncio, gc, spantree_C

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__" and holder:
                spantree_C.remove_trace_profile(holder.pop())
            return super().__getattribute__(name)

    class D(dict, metaclass=Meta):
        pass

    holder, deliveries = [], []

    async def traced():
        await asyncio.sleep(0)
        D.fromkeys([1])  # removal and the last reference go during this event
        len("after")
        await asyncio.sleep(0)

    async def main():
        holder.append(spantree_C.set_trace_profile(
            lambda c, r: deliveries.append(list(r)), None, 0, True, {max_depth}))
        await traced()

    gc.disable()
    asyncio.run(main())
    print(len(deliveries), deliveries[0][0].split("\\x00")[0])
    """)
    assert proc.stdout.strip() == "1 traced"
