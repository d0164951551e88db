"""Tracing every thread: each thread's records under its own name and native
id, whatever the thread's life, and nothing left installed afterwards."""

import asyncio
import gc
import sys
import threading
import time
import types
from concurrent.futures import ThreadPoolExecutor

import pytest

import spantree
import spantree_C
from spantree import Kind, threadcapture


def work(n):
    return sum(range(n))


def spin(until):
    """Calls work() until `until` is set."""
    while not until.is_set():
        work(100)


def decoded(thread):
    return spantree.decode(thread.records, coroutines=thread.coroutines)


def names_in(thread):
    return {record.name for record in decoded(thread).records if record is not None}


def depths(thread):
    return [depth for node, depth in decoded(thread).walk() if node.record is not None]


def by_name(traced):
    return {thread.name: thread for thread in traced.threads}


def pool_program():
    """Runs work() four times in a pool of two, two at a time, so that both
    workers take part; returns the (name, native id) of the workers."""
    seen = set()
    both = threading.Barrier(2, timeout=30)

    def task(n):
        seen.add((threading.current_thread().name, threading.get_native_id()))
        both.wait()
        return work(n)

    with ThreadPoolExecutor(2, thread_name_prefix="pool") as pool:
        assert list(pool.map(task, [1000] * 4)) == [499500] * 4
    return seen


def test_pool_workers_each_have_their_work_under_their_own_name_and_native_id():
    with spantree.trace() as traced:
        workers = pool_program()
    main, *others = traced.threads
    assert (main.name, main.native_id) == ("MainThread", threading.get_native_id())
    assert main.records is traced.raw
    assert "work" not in names_in(main)
    assert {(t.name, t.native_id) for t in others} == workers
    for thread in others:
        assert {"task", "work", "sum"} <= names_in(thread)
        tree = decoded(thread)
        assert None not in tree.records, "the worker ended inside the trace: every call closed"
        assert all(r.parent == -1 or tree.records[r.parent] is not None for r in tree.records)


def work_depth():
    """How deep work() runs in a pool worker (0 at the top): the pool's own
    frames above it differ between interpreter versions."""
    with spantree.trace() as traced:
        pool_program()
    tree = decoded(traced.threads[1])
    return next(depth for node, depth in tree.walk() if node.record and node.record.name == "work")


@pytest.mark.parametrize("options, check", [
    # The workers made no recorded call: they are counted, not listed.
    ({"threshold": "10s"}, lambda thread, work_at: False),
    ({"depth": 2}, lambda thread, work_at: thread.records and max(depths(thread)) == 1),
    # Down to work() but not to the sum() it calls.
    ("to work", lambda thread, work_at: max(depths(thread)) == work_at and "work" in names_in(thread)
     and "sum" not in names_in(thread)),
], ids=["threshold", "depth-2", "depth-to-work"])
def test_threshold_and_depth_mean_the_same_on_every_thread(options, check):
    work_at = work_depth()
    if options == "to work":
        options = {"depth": work_at + 1}
    with spantree.trace(**options) as traced:
        pool_program()
    quiet = options == {"threshold": "10s"}
    assert (len(traced.threads), traced.quiet_threads) == ((1, 2) if quiet else (3, 0))
    assert all(check(thread, work_at) for thread in traced.threads[1:])


def test_threads_ended_before_the_trace_ends_keep_their_records():
    def short(n):
        return work(n)

    with spantree.trace() as traced:
        for i in range(3):
            thread = threading.Thread(target=short, args=(500,), name=f"short-{i}")
            thread.start()
            thread.join()
        del thread
        gc.collect()
    assert [t.name for t in traced.threads] == ["MainThread", "short-0", "short-1", "short-2"]
    for thread in traced.threads[1:]:
        tree = decoded(thread)
        assert [n.record.name for n, _ in tree.walk()].count("short") == 1
        assert None not in tree.records


def test_finished_threads_are_let_go_while_the_trace_runs_and_keep_their_last_name(subprocess_python):
    proc = subprocess_python("""
        import gc, threading, weakref
        import spantree

        def work(n):
            return sum(range(n))

        def renamed():
            work(10)
            threading.current_thread().name = "renamed"

        with spantree.trace(threshold=0) as traced:
            before = len(threading._dangling)
            threads = [threading.Thread(target=renamed if i == 3 else work, args=() if i == 3 else (10,),
                                        name=f"t{i}") for i in range(5)]
            for thread in threads:
                thread.payload = bytearray(1 << 20)
                thread.start()
                thread.join()
            gone = [weakref.ref(thread) for thread in threads]
            del threads, thread
            gc.collect()
            assert [ref() for ref in gone] == [None] * 5, "a finished thread is let go"
            assert len(threading._dangling) == before
        names = [t.name for t in traced.threads]
        assert names == ["MainThread", "t0", "t1", "t2", "renamed", "t4"], names
        for thread in traced.threads[1:]:
            assert None not in thread.records, thread.records
            assert not any("threadcapture" in r for r in thread.records), "the capture's own calls are left out"
        print("ok")
    """)
    assert proc.stdout == "ok\n"


def test_many_short_threads_without_a_recorded_call_are_counted_in_bounded_memory(subprocess_python):
    proc = subprocess_python("""
        import io, resource, threading
        import spantree

        def rss_mb():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

        def short_threads(count):
            for _ in range(count):
                thread = threading.Thread(target=len, args=("x",))
                thread.start()
                thread.join()

        short_threads(200)
        base = rss_mb()
        with spantree.trace(threshold="10s") as traced:
            short_threads(5000)
        grown = rss_mb() - base
        assert (len(traced.threads), traced.quiet_threads) == (1, 5000), (len(traced.threads), traced.quiet_threads)
        assert grown < 8, f"{grown:.1f} MB for 5000 finished threads"
        out = io.BytesIO()
        spantree.write_tree(traced, out)
        tree = out.getvalue().decode()
        assert tree.count("thread ") == 1 and tree.endswith("\\n… 5,000 more threads made no recorded call\\n"), tree
        summary = spantree.summary(traced, per_thread=True)
        assert summary.count("thread ") == 1 and "\\n… 5,000 more threads made no recorded call\\n" in summary
        print("ok")
    """, timeout=120)
    assert proc.stdout == "ok\n"


def test_daemon_thread_running_at_the_end_gives_its_closed_calls_and_runs_on_untraced():
    stop, started, after = threading.Event(), threading.Event(), []

    def daemon():
        work(100)
        started.set()
        spin(stop)
        after.append(sys.getprofile())

    with spantree.trace() as traced:
        thread = threading.Thread(target=daemon, name="busy", daemon=True)
        thread.start()
        started.wait()
    (busy,) = [t for t in traced.threads if t.name == "busy"]
    snapshot = list(busy.records)
    # daemon and spin are open at the end: their slots stay empty, and what
    # they called hangs under placeholders.
    assert "work" in names_in(busy) and not {"daemon", "spin"} & names_in(busy)
    assert None in busy.records
    assert any(node.record is None for node in decoded(busy).roots)
    time.sleep(0.01)
    stop.set()
    thread.join()
    assert busy.records == snapshot, "a delivered profiler ignores later events"
    assert after == [None], "nothing is left installed on the thread"


def test_thread_with_its_own_profile_function_keeps_it_and_the_others_are_still_traced():
    own_events, ended, after = [], threading.Event(), []

    def own(frame, event, arg):
        own_events.append(event)

    def independent():
        work(10)
        sys.setprofile(own)
        work(10)
        ended.wait()
        after.append(sys.getprofile())
        sys.setprofile(None)

    with spantree.trace() as traced:
        thread = threading.Thread(target=independent, name="own")
        thread.start()
        workers = pool_program()
        while not own_events:
            time.sleep(0.001)
    counted = len(own_events)
    ended.set()
    thread.join()
    assert after == [own] and len(own_events) > counted, "the thread's own function stays and runs"
    threads = by_name(traced)
    assert threads.keys() == {"MainThread", "own"} | {name for name, _ in workers}
    # Its trace holds what ran before its own function replaced the tracer's hook.
    assert "work" in names_in(threads["own"]) and "setprofile" not in names_in(threads["own"])
    assert all("work" in names_in(threads[name]) for name, _ in workers)


def test_thread_already_running_is_traced_from_its_next_event_and_a_blocked_one_is_released():
    stop, blocked, started, profile_after = threading.Event(), threading.Event(), threading.Event(), []

    def sleeper():
        started.set()
        blocked.wait()
        profile_after.append(sys.getprofile())

    running = threading.Thread(target=spin, args=(stop,), name="running")
    idle = threading.Thread(target=sleeper, name="idle")
    running.start()
    idle.start()
    started.wait()
    try:
        with spantree.trace() as traced:
            time.sleep(0.02)
            stop.set()
            running.join()
    finally:
        stop.set()
        blocked.set()
        idle.join()
    threads = by_name(traced)
    assert threads.keys() == {"MainThread", "running"}, "the idle thread made no call during the trace"
    tree = decoded(threads["running"])
    # spin was running when the trace began: it has no record, and what it
    # called next hangs at the top.
    assert "spin" not in names_in(threads["running"])
    assert any(node.record.name == "work" for node in tree.roots)
    assert profile_after == [None], "the function that would have started its trace is gone"


def test_coroutine_aware_mode_follows_each_threads_first_coroutine():
    async def fetch(i):
        await asyncio.sleep(0.002)
        return i

    async def main(n):
        return sum(await asyncio.gather(*(fetch(i) for i in range(n))))

    def loop(n):
        return asyncio.run(main(n))

    with spantree.trace(coroutines=True) as traced:
        threads = [threading.Thread(target=loop, args=(n,), name=f"loop-{n}") for n in (2, 3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert [t.coroutines for t in traced.threads] == [True] * 3
    for thread in traced.threads[1:]:
        (top,) = decoded(thread).roots
        assert (top.record.name, top.record.kind) == ("main", Kind.COROUTINE)
        waits = [c.record for c in top.children if c.record and c.record.kind is Kind.AWAIT]
        assert waits and sum(w.duration_ns for w in waits) >= 1_500_000


def test_each_event_loop_run_is_followed_on_every_thread_and_the_loop_is_left_as_it_was():
    async def setup():
        await asyncio.sleep(0.002)

    async def main(n):
        return sum(await asyncio.gather(*(asyncio.sleep(0.002, i) for i in range(n))))

    def two_runs():
        asyncio.run(setup())
        with asyncio.Runner() as runner:
            runner.run(main(3))
        loop = asyncio.new_event_loop()
        loop.run_until_complete(setup())
        loop.close()

    original = asyncio.BaseEventLoop.run_until_complete
    with spantree.trace(coroutines=True) as traced:
        assert asyncio.BaseEventLoop.run_until_complete is not original
        thread = threading.Thread(target=two_runs, name="worker")
        thread.start()
        two_runs()
        thread.join()
    assert asyncio.BaseEventLoop.run_until_complete is original
    assert [t.name for t in traced.threads] == ["MainThread", "worker"]
    for thread in traced.threads:
        roots = decoded(thread).roots
        assert [(n.record.name, n.record.kind) for n in roots] == [
            ("setup", Kind.COROUTINE), ("main", Kind.COROUTINE), ("setup", Kind.COROUTINE)]
        # The tasks main gathers are awaits of it.
        assert any(c.record.kind is Kind.AWAIT for c in roots[1].children)
    assert traced.followed_by_hand == []


def test_main_thread_alone_touches_no_other_thread():
    seen = []

    def look():
        seen.append(sys.getprofile())
        work(10)

    with spantree.trace(threads=False) as traced:
        thread = threading.Thread(target=look)
        thread.start()
        thread.join()
    assert seen == [None]
    assert [t.name for t in traced.threads] == ["MainThread"]
    assert "work" not in names_in(traced.threads[0])
    assert threading.getprofile() is None


def test_a_second_trace_of_every_thread_is_refused_while_one_runs():
    refusals = []

    def nested_all_threads():
        sys.setprofile(None)  # a thread that gave up its hook still may not start a second capture
        try:
            with spantree.trace():
                pass
        except RuntimeError as exc:
            refusals.append(str(exc))

    with spantree.trace() as outer:
        with pytest.raises(RuntimeError, match="already has a profile function"):
            spantree.trace().__enter__()
        nested = threading.Thread(target=nested_all_threads)
        nested.start()
        nested.join()
        assert len(refusals) == 1 and "threads=False" in refusals[0]
        thread = threading.Thread(target=work, args=(10,), name="still")
        thread.start()
        thread.join()
    assert "work" in names_in(by_name(outer)["still"]), "the refusal leaves the running trace intact"
    with spantree.trace() as again:
        pool_program()
    assert len(again.threads) == 3, "a new trace of every thread can start once the first has ended"


def test_sixteen_threads_started_and_joined_in_a_loop_leave_nothing_behind(subprocess_python):
    # In a child: a crash is a failed test, and the sanitizers see a process of its own.
    proc = subprocess_python("""
        import threading
        import spantree
        from tracer_harness import assert_no_growth

        def work(n):
            return sum(range(n))

        def round_of_sixteen():
            with spantree.trace() as traced:
                threads = [threading.Thread(target=work, args=(200,)) for _ in range(16)]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
            assert len(traced.threads) == 17
            for thread in traced.threads[1:]:
                assert None not in thread.records
                assert sum(r.startswith("work\\0") for r in thread.records) == 1, thread.records

        assert_no_growth(round_of_sixteen, rounds=25)
        assert threading.getprofile() is None
        print("ok")
    """)
    assert proc.stdout == "ok\n"


def test_fork_while_another_thread_starts_its_trace_leaves_the_child_a_trace_it_can_end(subprocess_python):
    proc = subprocess_python("""
        import os
        import threading
        import spantree

        def work(n):
            return sum(range(n))

        with spantree.trace() as traced:
            thread = threading.Thread(target=work, args=(100,), name="worker")
            thread.start()
            thread.join()
            # As if another thread were starting its trace at the fork.
            capture = traced._capture
            capture.lock.acquire()
            pid = os.fork()
            if pid:
                capture.lock.release()
        names = [t.name for t in traced.threads]
        assert names == ["MainThread", "worker"], names
        if pid == 0:
            os._exit(0 if threading.getprofile() is None else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        print("ok")
    """, timeout=20)
    assert proc.stdout == "ok\n"


@pytest.mark.parametrize("coroutines", [False, True])
def test_a_forked_child_leaving_the_block_holds_the_calls_made_before_the_fork(subprocess_python, coroutines):
    proc = subprocess_python(f"""
        import json, os, sys, threading
        import spantree

        def before():
            return len("before")

        def in_child():
            return len("child")

        def names(thread):
            return [r.split("\\0")[0] for r in thread.records if r]

        async def body():
            before()
            pid = os.fork()
            if pid == 0:
                in_child()
                threading.Thread(target=in_child, name="child-thread").start()
            return pid

        read_end, write_end = os.pipe()
        with spantree.trace(threshold=0, coroutines={coroutines}) as traced:
            worker = threading.Thread(target=before, name="worker")
            worker.start()
            worker.join()
            try:
                body().send(None)
            except StopIteration as stop:
                pid = stop.value
        main = names(traced.threads[0])
        if pid == 0:
            os.write(write_end, json.dumps([[t.name for t in traced.threads], main, sys.getprofile() is None,
                                            threading.getprofile() is None]).encode())
            os._exit(0)
        os.close(write_end)
        threads, child_main, unhooked, no_start = json.loads(os.read(read_end, 1 << 16))
        os.waitpid(pid, 0)
        # A coroutine-aware trace records no plain call of a thread without a coroutine.
        assert threads == ["MainThread"] + ["worker"] * (not {coroutines}), threads
        assert "before" in child_main and "in_child" not in child_main, child_main
        assert unhooked and no_start
        print("ok")
    """, timeout=30)
    assert proc.stdout == "ok\n"


def test_thread_whose_profiler_cannot_start_runs_untraced_and_the_trace_says_so(monkeypatch):
    def refuse(*args):
        raise MemoryError("no room for a profiler")

    monkeypatch.setattr(threadcapture, "spantree_C", types.SimpleNamespace(
        set_trace_profile=refuse, remove_trace_profile=spantree_C.remove_trace_profile))
    results = []
    with pytest.warns(RuntimeWarning, match=r"1 thread\(s\) could not be traced: MemoryError"):
        with spantree.trace() as traced:
            thread = threading.Thread(target=lambda: results.append(work(100)))
            thread.start()
            thread.join()
    assert results == [4950]
    assert [t.name for t in traced.threads] == ["MainThread"]
