"""The reader taking a profiler's call log (Reader.from_profiler) against the
reader of the record strings: from one trace, the test build turns the log
into the strings remove_trace_profile() would deliver without taking it
(log_records), then the reader takes the log; every view of the two readers
must match byte for byte, times included. Also: the interface's version
check, a profiler whose log was taken, and memory running out mid-read."""

import io
import re
import sys
import warnings

import pytest
from hypothesis import HealthCheck, given, settings

import failing_allocator_C as allocator
import spantree
import spantree_C
import spantree_testing_C as tracer
from conftest import run_python
from spantree import html, threadcapture, tracing, views
from spantree_reader_C import Reader
from test_model import MODES as SYNC_MODES, drive, load, programs, stopper
from tracer_harness import Delivery

RANDOM_PROGRAMS = 60


def everything(reader):
    """Every output of a reader, as comparable values."""
    def written(write):
        out = io.BytesIO()
        write(out.write)
        return out.getvalue()

    base = reader.first_start or 0
    whole = reader.top_ns
    return {
        "chrome": written(lambda w: reader.write_chrome(w, 1, 2, base, True)),
        "collapsed": written(reader.write_collapsed),
        "grouped": written(lambda w: reader.write_tree(w, whole, 0.0, 0)),
        "grouped-collapsed": written(lambda w: reader.write_collapsed(w, True)),
        "folded": written(lambda w: reader.write_tree(w, whole, 0.0, 2)),
        "folded-cut": written(lambda w: reader.write_tree(w, whole, 0.05, 2)),
        "full": written(lambda w: reader.write_tree(w, whole, 0.0, 1)),
        "functions": reader.functions(), "records": reader.records(), "columns": reader.columns(),
        "strings": reader.strings(), "preorder": reader.preorder(base),
        "numbers": (reader.slots, reader.count, reader.first_start, reader.top_ns),
        "record_strings": reader.record_strings(),
    }


def assert_same(from_strings, from_log, what):
    a, b = everything(from_strings), everything(from_log)
    differing = [name for name in a if a[name] != b[name]]
    assert not differing, f"{what}: the log's reader differs in {differing}"


def check_profiler(profiler, coroutines, what):
    """Closes the profiler's trace, then compares its log read both ways."""
    tracer.close_trace_profile(profiler)
    strings = tracer.log_records(profiler)
    from_log = Reader.from_profiler(profiler, coroutines)
    assert from_log.record_strings() == strings, what
    assert_same(Reader(strings, coroutines), from_log, what)
    return strings


# --- random programs, every mode

def check_async_programs(seeds):
    """Every placement of the random asyncio programs, on the scripted clock
    stepping back and forth, the hook replaced in some placements."""
    import test_async_random as t

    class KeptTrace(t.Trace):
        """Keeps its profiler; ends by closing it (or by losing its hook)."""

        class tracer:  # what a program's own end step calls
            remove_trace_profile = tracer.close_trace_profile

        def begin(self):
            self.kept = tracer.set_trace_profile(self.delivery, self.context, *t.MODES[self.mode])
            self.held.append(self.kept)

    t.SHIFT_CLOCK = tracer.shift_clock
    compared = 0
    for seed in seeds:
        for mode, start, end, replace, steps in t.placements(seed):
            trace = KeptTrace(mode, replace)
            tracer.set_clock(1_700_000_000_000_000_000, t.TICK_NS)
            try:
                t.run_program(t.with_clock_shifts(seed, steps), trace, start, end)
            finally:
                tracer.set_clock(None)
            strings = check_profiler(trace.kept, t.MODES[mode][1], f"program {seed} in {mode}")
            compared += any(strings)
    assert compared > len(seeds)


def test_random_asyncio_programs_read_from_the_log_as_from_the_strings_in_every_mode():
    run_python(f"import test_call_log_reader as t; t.check_async_programs(range({RANDOM_PROGRAMS}))",
               timeout=60 + 2 * RANDOM_PROGRAMS)


@settings(max_examples=40, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(program=programs)
def test_random_call_trees_read_from_the_log_as_from_the_strings_in_every_mode(program):
    namespace = load(program)
    for mode, (threshold_ns, max_depth, _) in SYNC_MODES.items():
        held, kept = [], []

        def start():
            held.append(tracer.set_trace_profile(Delivery(), None, threshold_ns, False, max_depth))
            kept.append(held[-1])

        drive(namespace, start, stopper(held, tracer.close_trace_profile))
        check_profiler(kept[0], False, mode)


# --- threads and coroutines through the package

def traced_with_test_build(monkeypatch, program, **options):
    """The trace of `program` by the test build; `t.handed_over` maps the
    reader of each thread that handed its log over (at its end or the
    trace's) to the strings of that log, less the calls the hand-over
    leaves out, which the reader was checked against."""
    monkeypatch.setattr(tracing, "spantree_C", tracer)
    monkeypatch.setattr(threadcapture, "spantree_C", tracer)
    handed_over = {}
    read_log = threadcapture._read_log

    def checked(profiler, since_ns):
        strings = tracer.log_records(profiler)
        if since_ns is not None:
            threadcapture._drop_calls_since(strings, since_ns)
        reader = read_log(profiler, since_ns)
        assert reader.record_strings() == strings
        assert_same(Reader(strings, False), reader, "a thread's hand-over")
        handed_over[reader] = strings
        return reader

    monkeypatch.setattr(threadcapture, "_read_log", checked)
    with spantree.trace(threshold=0, **options) as t:
        program()
    t.handed_over = handed_over
    return t


def threads_program():
    import threading

    def work(n):
        return sorted(range(n, 0, -1))

    workers = [threading.Thread(target=work, args=(k * 50,), name=f"w{k}") for k in range(3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    work(10)


def coroutine_program():
    import asyncio

    async def leaf(k):
        await asyncio.sleep(0)
        return k

    async def main():
        return sum(await asyncio.gather(*(leaf(k) for k in range(3))))

    asyncio.run(main())


@pytest.mark.parametrize("program, coroutines", [(threads_program, False), (coroutine_program, True)])
def test_a_trace_of_threads_or_coroutines_gives_every_view_as_its_strings_would(monkeypatch, program, coroutines):
    t = traced_with_test_build(monkeypatch, program, coroutines=coroutines)
    from_strings = []
    for thread in t.threads:
        if thread._profiler is not None:
            strings = check_profiler(thread._profiler, coroutines, thread.name)
        elif thread._reader is not None:  # a thread the capture handed over, checked then
            strings = t.handed_over[thread._reader]
        else:  # a coroutine-aware trace merges its profilers' records lists
            strings = thread.records
        from_strings.append(spantree.ThreadTrace(thread.name, thread.native_id, strings, coroutines))
    assert len(t.threads) == (4 if program is threads_program else 1)
    assert len(t.handed_over) == (3 if program is threads_program else 0)
    # The log was taken by check_profiler: give the package's threads readers of it anew.
    for thread, twin in zip(t.threads, from_strings):
        object.__setattr__(thread, "_profiler", None)
        object.__setattr__(thread, "_reader", Reader(twin.records, coroutines))
    for write in (views.write_perfetto, views.write_summary, views.write_collapsed, views.write_tree):
        outputs = [io.BytesIO(), io.BytesIO()]
        write(t, outputs[0], **({"pid": 1} if write is views.write_perfetto else {}))
        write(from_strings, outputs[1], **({"pid": 1} if write is views.write_perfetto else {}))
        assert outputs[0].getvalue() == outputs[1].getvalue(), write.__name__
    assert html.page_data(t.threads) == html.page_data(from_strings)
    assert t.raw == from_strings[0].records


def test_a_trace_reads_its_log_once_and_builds_strings_only_when_asked():
    def work():
        return sorted([3, 1, 2])

    with spantree.trace(threshold=0, threads=False) as t:
        work()
    (thread,) = t.threads
    assert thread._reader is None and thread._records is None
    summary = spantree.summary(t)
    assert "sorted" in summary and thread._records is None
    reader = thread.reader
    assert views.read(t)[0].reader is reader
    assert [r.name for r in t.tree.records if r] == ["work", "sorted"]
    assert t.raw == reader.record_strings() and t.raw is thread.records
    assert thread == spantree.ThreadTrace(thread.name, thread.native_id, t.raw)


# --- the interface, and a profiler whose log was taken

def test_a_profiler_whose_log_was_taken_refuses_removal_and_a_second_taking():
    delivery = Delivery()
    profiler = spantree_C.set_trace_profile(delivery, None, 0, False, 0)
    sorted([2, 1])
    reader = Reader.from_profiler(profiler)  # closes the trace; the hook stays, ignoring events
    sorted([2, 1])
    assert sys.getprofile() is profiler
    with pytest.raises(RuntimeError, match=r"call log was taken by spantree_reader_C.Reader.from_profiler"):
        spantree_C.remove_trace_profile(profiler)
    assert sys.getprofile() is None and delivery.calls == []  # removed all the same, nothing delivered
    with pytest.raises(RuntimeError, match="taken already"):
        Reader.from_profiler(profiler)
    assert [r[0] for r in reader.records() if r] == ["sorted"]


def test_a_profiler_removed_first_is_read_from_its_delivered_strings():
    delivery = Delivery()
    profiler = spantree_C.set_trace_profile(delivery, None, 0, False, 0)
    sorted([2, 1])
    spantree_C.remove_trace_profile(profiler)
    assert_same(Reader(delivery.records), Reader.from_profiler(profiler), "after removal")


def profiler_type():
    profiler = tracer.set_trace_profile(Delivery(), None, 0, False, 0)
    tracer.remove_trace_profile(profiler)
    return type(profiler)


@pytest.mark.parametrize("interface, error, message", [
    (tracer.call_log_api_of_version(2), ImportError,
     r"different builds: the tracer's call log interface is version 2, this reader reads version 1"),
    (tracer.call_log_api_of_version(0), ImportError, "version 0"),
    (tracer._call_log_api, ValueError, "not made by set_trace_profile"),
    (spantree_C._call_log_api, TypeError, "must be a profiler returned by set_trace_profile"),
    (html, ValueError, "PyCapsule_GetPointer"),
])
def test_the_reader_refuses_an_interface_of_another_build_or_a_profiler_not_made_by_the_tracer(
        interface, error, message):
    class Other(profiler_type()):
        _call_log_api = interface

    with pytest.raises(error, match=message):
        Reader.from_profiler(Other())
    with pytest.raises(TypeError, match="needs a profiler from spantree_C.set_trace_profile"):
        Reader.from_profiler(object())


# --- memory running out while reading

# As in test_out_of_memory: CPython 3.13 does not survive injected failures.
survives_failures = pytest.mark.skipif(sys.version_info[:2] == (3, 13),
                                       reason="CPython 3.13 does not survive injected allocation failures")

def check_memory_failures_while_reading():
    """Fails the n-th raw allocation of a read, for n = 1, 2, ... until one
    read succeeds: each failure is a MemoryError and drops every reference
    the log held."""
    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    code = fib.__code__
    baseline = sys.getrefcount(code)
    failures = 0
    for n in range(1, 200):
        profiler = tracer.set_trace_profile(Delivery(), None, 0, False, 0)
        fib(14)
        len("")
        tracer.close_trace_profile(profiler)
        assert sys.getrefcount(code) > baseline + 1000
        allocator.arm(n, 0, True)
        try:
            reader = Reader.from_profiler(profiler)
        except MemoryError:
            failures += 1
            reader = None
        finally:
            allocator.disarm()
        del profiler
        if reader is not None:
            assert reader.count == 1220 and reader.functions()[0][:5] == (1, "fib", code.co_filename,
                                                                         code.co_firstlineno, 1219)
            break
        assert sys.getrefcount(code) == baseline, n
    else:
        raise AssertionError("no read succeeded")
    assert failures >= 10
    print(failures)


@survives_failures
def test_memory_running_out_while_reading_a_log_is_a_memory_error_that_keeps_nothing():
    proc = run_python("import test_call_log_reader as t; t.check_memory_failures_while_reading()")
    assert int(proc.stdout) >= 10


@survives_failures
def test_the_out_of_memory_warning_comes_when_the_log_is_taken():
    def nest(n):
        return n and nest(n - 1)

    profiler = tracer.set_trace_profile(Delivery(), None, 0, False, 0)
    allocator.arm(1, tracer.node_size())  # deeper than the spare nodes go
    try:
        nest(20)
    finally:
        allocator.disarm()
    tracer.close_trace_profile(profiler)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        reader = Reader.from_profiler(profiler)
    (warning,) = caught
    assert re.fullmatch(r"spantree: memory ran out during the trace: [1-9]\d* calls were not traced "
                        r"and 0 records were lost", str(warning.message))
    assert sum(r is not None and r[0] == "nest" for r in reader.records()) < 21
