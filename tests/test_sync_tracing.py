"""Synchronous tracing: record format, index allocation and both filters."""

import sys
import threading
import time

import pytest

import spantree_C
import spantree_testing_C
from tracer_harness import Delivery, decode, keys, names, scripted_clock, trace

HERE = __file__


def leaf():
    return 1


def middle():
    leaf()
    return len("ab")


def top():
    middle()
    leaf()


def line_of(fn):
    return fn.__code__.co_firstlineno


def test_python_and_builtin_records_byte_for_byte():
    before = time.time_ns()
    records = trace(top)
    after = time.time_ns()
    assert len(records) == 5
    # Python functions: co_name, file, first line; built-ins: qualname, "<built-in>", 0.
    expected = [
        ("top", HERE, line_of(top), -1),
        ("middle", HERE, line_of(middle), 0),
        ("leaf", HERE, line_of(leaf), 1),
        ("len", "<built-in>", 0, 1),
        ("leaf", HERE, line_of(leaf), 0),
    ]
    for text, (name, file, line, parent) in zip(records, expected):
        record = decode(text)
        assert text == (
            f"{name}\x00{file}\x00{line}\x01{record.start}\x01{record.duration}\x01{parent}"
        )
        assert before <= record.start <= after
        assert 0 <= record.duration <= after - record.start
    top_record, middle_record = decode(records[0]), decode(records[1])
    assert top_record.start <= middle_record.start
    assert middle_record.start + middle_record.duration <= top_record.start + top_record.duration
    assert records[0].endswith("\x01-1")


def test_builtin_method_named_by_qualname():
    box = []
    assert names(trace(lambda: box.append(1))) == ["<lambda>", "list.append"]


def test_non_ascii_names_and_files():
    namespace = {}
    exec(compile("def fünf_ŝ():\n    return 5\n", "dätei_✓\U0001f600.py", "exec"), namespace)
    fn = namespace["fünf_ŝ"]
    record = decode(trace(fn)[0])
    assert (record.name, record.file, record.line) == ("fünf_ŝ", "dätei_✓\U0001f600.py", 1)


def test_callback_gets_context_and_the_profilers_own_list():
    delivery = Delivery()
    context = object()
    profiler = spantree_C.set_trace_profile(delivery, context, 0, False, 0)
    leaf()
    spantree_C.remove_trace_profile(profiler)
    spantree_C.remove_trace_profile(profiler)
    (first_context, first), (second_context, second) = delivery.calls
    assert first_context is context and second_context is context
    assert first is second and names(first) == ["leaf"]


def test_trace_without_calls_delivers_empty_list():
    delivery = Delivery()
    profiler = spantree_C.set_trace_profile(delivery, None, 0, False, 0)
    spantree_C.remove_trace_profile(profiler)
    assert delivery.records == []


def test_profile_slot_holds_the_profiler_until_removed():
    profiler = spantree_C.set_trace_profile(Delivery(), None, 0, False, 0)
    installed = sys.getprofile()
    spantree_C.remove_trace_profile(None)
    assert installed is profiler
    assert sys.getprofile() is None
    assert type(profiler).__name__ == "TraceProfiler"
    assert type(profiler).__module__ == "pyvarnex.ext"


MS = 1_000_000
TICK = 1_000  # what the scripted clock advances per event


def slow():
    spantree_testing_C.shift_clock(20 * MS)


def quick_then_slow():
    leaf()
    leaf()
    slow()
    leaf()


@pytest.mark.parametrize("threshold_ns, kept", [
    # shift_clock lasts 20 ms and a tick, slow() two ticks more, the whole
    # eleven ticks more; a leaf a tick.
    (20 * MS + TICK, ["quick_then_slow", "slow", "shift_clock"]),
    (20 * MS + TICK + 1, ["quick_then_slow", "slow"]),
    (20 * MS + 3 * TICK + 1, ["quick_then_slow"]),
    (TICK, ["quick_then_slow", "leaf", "leaf", "slow", "shift_clock", "leaf"]),
    (TICK + 1, ["quick_then_slow", "slow", "shift_clock"]),
])
def test_threshold_keeps_exactly_the_calls_that_last_long_enough(threshold_ns, kept):
    with scripted_clock(7 * MS, TICK):
        records = trace(quick_then_slow, threshold_ns=threshold_ns, tracer=spantree_testing_C)
    # Dropped calls leave no gaps: their indices were handed out again.
    assert names(records) == kept
    rows = [decode(r) for r in records]
    assert rows[0].start == 7 * MS and rows[0].duration == 20 * MS + 11 * TICK
    assert all(row.duration >= threshold_ns for row in rows)
    assert [row.parent for row in rows] == [-1] + [kept.index(parent) for parent in [
        {"leaf": "quick_then_slow", "slow": "quick_then_slow", "shift_clock": "slow"}[name]
        for name in kept[1:]]]


@pytest.mark.parametrize("threshold", [0, -1, -(2**63)])
def test_zero_or_negative_threshold_records_every_call(threshold):
    assert names(trace(top, threshold_ns=threshold)) == ["top", "middle", "leaf", "len", "leaf"]


def test_threshold_above_every_call_records_nothing():
    assert trace(top, threshold_ns=2**63 - 1) == []


@pytest.mark.parametrize(
    "max_depth, expected",
    [
        (1, [("top", -1)]),
        (2, [("top", -1), ("middle", 0), ("leaf", 0)]),
        (3, [("top", -1), ("middle", 0), ("leaf", 1), ("len", 1), ("leaf", 0)]),
    ],
)
def test_depth_mode_records_levels_up_to_max_depth(max_depth, expected):
    # A threshold no call reaches shows that depth mode ignores it.
    records = trace(top, max_depth=max_depth, threshold_ns=2**63 - 1)
    assert [(r.name, r.parent) for r in map(decode, records)] == expected


def test_depth_mode_at_depth_one_records_every_top_level_call():
    def body():
        leaf()
        middle()

    def run():
        body()
        leaf()

    records = trace(run, max_depth=1)
    assert keys(records) == [("run", HERE, line_of(run), -1)]
    records = trace(lambda: (leaf(), middle(), leaf()), max_depth=2)
    assert [(r.name, r.parent) for r in map(decode, records)] == [
        ("<lambda>", -1), ("leaf", 0), ("middle", 0), ("leaf", 0)]


def raises():
    raise ValueError("boom")


def catches():
    try:
        raises()
    except ValueError:
        pass
    try:
        len(5)  # a built-in that raises: a C_EXCEPTION event
    except TypeError:
        pass


def test_exceptions_python_and_builtin_are_recorded():
    assert [(r.name, r.parent) for r in map(decode, trace(catches))] == [
        ("catches", -1), ("raises", 0), ("len", 0)]


def generator():
    yield 1
    yield 2


def consume():
    for _ in generator():
        pass


def test_each_generator_resumption_is_a_record():
    # Three resumptions: two yields and the final StopIteration return.
    assert [(r.name, r.parent) for r in map(decode, trace(consume))] == [
        ("consume", -1), ("generator", 0), ("generator", 0), ("generator", 0)]


def test_removal_inside_nested_calls_leaves_none_at_open_indices():
    delivery = Delivery()

    def inner():
        return 1

    def outer():
        inner()
        spantree_C.remove_trace_profile(profiler)

    def outermost():
        outer()

    profiler = spantree_C.set_trace_profile(delivery, None, 0, False, 0)
    outermost()
    records = delivery.records
    assert records[:2] == [None, None]
    assert (decode(records[2]).name, decode(records[2]).parent) == ("inner", 1)
    assert len(records) == 3


def test_return_of_the_installing_function_is_ignored():
    delivery = Delivery()

    def start():
        return spantree_C.set_trace_profile(delivery, None, 0, False, 0)

    profiler = start()  # its return event finds only the root open
    leaf()
    spantree_C.remove_trace_profile(profiler)
    assert keys(delivery.records) == [("leaf", HERE, line_of(leaf), -1)]


def test_only_the_calling_thread_is_traced():
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            leaf()
            time.sleep(0.0005)

    worker = threading.Thread(target=busy)
    worker.start()
    try:
        records = trace(lambda: [time.sleep(0.001) for _ in range(20)])
    finally:
        stop.set()
        worker.join()
    assert set(names(records)) == {"<lambda>", "sleep"}




def test_builtin_names_repeat_exactly_and_follow_a_reassigned_qualname():
    class Box(list):
        pass

    box = Box()

    def run():
        for _ in range(2):
            len("x")
            [].copy()
            {}.copy()
            bytes.fromhex("00")
            bytearray.fromhex("00")
        box.append(1)
        Box.__qualname__ = "Renamed"
        box.append(2)

    found = names(trace(run))
    assert found[1:11] == ["len", "list.copy", "dict.copy", "bytes.fromhex", "bytearray.fromhex"] * 2
    assert found[11].endswith("<locals>.Box.append")
    assert found[12] == "Renamed.append"
