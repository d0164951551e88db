"""What the records of each supported CPython have in common and where they part.

CPython 3.13, 3.14 and 3.15 give the same profile events for generators,
throw, close, cancellation, async generators and built-in calls, so the
traces of the same program are the same on all three: the first table pins
that. Where the standard library itself runs different code, the records
follow it: the second table pins each such difference to the versions that
show it, so it fails on the others.
"""

import asyncio
import io
import os
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT
from tracer_harness import decode, trace

VERSION = sys.version_info[:2]


def shape(records):
    """(name, parent index) of every record, None kept: the exact tree."""
    return [None if r is None else (decode(r).name, decode(r).parent) for r in records]


# ---------------------------------------------------------------------------
# Programs whose events, and so records, are the same on every version


def gen():
    yield 1
    yield 2


def gen_with_finally():
    try:
        yield 1
    finally:
        pass


def gen_catching():
    try:
        yield 1
    except ValueError:
        yield 2


def delegating_gen():
    yield from gen_catching()


class Suspend:
    def __await__(self):
        yield


async def suspends():
    await Suspend()


async def catches():
    try:
        await Suspend()
    except (ValueError, asyncio.CancelledError):
        return 2


async def delegates():
    return await catches()


async def agen():
    try:
        yield 1
    except ValueError:
        yield 2


def drive(coroutine):
    """Runs a coroutine that never suspends, without an event loop."""
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("suspended")


def started(factory):
    started_one = factory()
    started_one.send(None)
    return started_one


def closes_started_generator():
    g = gen()
    next(g)
    g.close()


def closes_generator_in_finally():
    g = gen_with_finally()
    next(g)
    g.close()


def throws_caught_into_generator():
    g = gen_catching()
    next(g)
    g.throw(ValueError)


def throws_uncaught_into_generator():
    g = gen()
    next(g)
    try:
        g.throw(ValueError)
    except ValueError:
        pass


def throws_through_yield_from():
    g = delegating_gen()
    next(g)
    g.throw(ValueError)
    g.close()


def generator_expression():
    sum(x for x in range(2))


def closes_suspended_coroutine():
    started(suspends).close()


def cancels_suspended_coroutine():
    # What a task does to the coroutine it cancels.
    try:
        started(delegates).throw(asyncio.CancelledError())
    except StopIteration:
        pass


def throws_uncaught_into_coroutine():
    try:
        started(suspends).throw(ValueError)
    except ValueError:
        pass


def closes_awaiting_coroutine():
    started(delegates).close()


def async_generator_athrow_and_aclose():
    async def main():
        g = agen()
        await g.__anext__()
        await g.athrow(ValueError)
        await g.aclose()
    drive(main())


def built_in_calls():
    items = []
    len(items)
    items.append(1)
    list.append(items, 2)
    sorted(items, key=abs)
    print("", end="", file=io.StringIO())
    try:
        int("x")
    except ValueError:
        pass
    "a".upper()


PLAIN = {  # program: records of a plain trace
    closes_started_generator: [
        ('closes_started_generator', -1), ('next', 0), ('gen', 1), ('generator.close', 0),
        ('gen', 3)],
    closes_generator_in_finally: [
        ('closes_generator_in_finally', -1), ('next', 0), ('gen_with_finally', 1),
        ('generator.close', 0), ('gen_with_finally', 3)],
    throws_caught_into_generator: [
        ('throws_caught_into_generator', -1), ('next', 0), ('gen_catching', 1),
        ('generator.throw', 0), ('gen_catching', 3), ('gen_catching', -1)],
    throws_uncaught_into_generator: [
        ('throws_uncaught_into_generator', -1), ('next', 0), ('gen', 1), ('generator.throw', 0),
        ('gen', 3)],
    throws_through_yield_from: [
        ('throws_through_yield_from', -1), ('next', 0), ('delegating_gen', 1), ('gen_catching', 2),
        ('generator.throw', 0), ('gen_catching', 4), ('generator.close', 0), ('gen_catching', 6),
        ('delegating_gen', 6)],
    generator_expression: [
        ('generator_expression', -1), ('sum', 0), ('<genexpr>', 1), ('<genexpr>', 1),
        ('<genexpr>', 1)],
    closes_suspended_coroutine: [
        ('closes_suspended_coroutine', -1), ('started', 0), ('coroutine.send', 1), ('suspends', 2),
        ('__await__', 3), ('coroutine.close', 0), ('__await__', 5), ('suspends', 5)],
    cancels_suspended_coroutine: [
        ('cancels_suspended_coroutine', -1), ('started', 0), ('coroutine.send', 1),
        ('delegates', 2), ('catches', 3), ('__await__', 4), ('coroutine.throw', 0),
        ('__await__', 6), ('catches', 6), ('delegates', 6)],
    throws_uncaught_into_coroutine: [
        ('throws_uncaught_into_coroutine', -1), ('started', 0), ('coroutine.send', 1),
        ('suspends', 2), ('__await__', 3), ('coroutine.throw', 0), ('__await__', 5),
        ('suspends', 5)],
    closes_awaiting_coroutine: [
        ('closes_awaiting_coroutine', -1), ('started', 0), ('coroutine.send', 1), ('delegates', 2),
        ('catches', 3), ('__await__', 4), ('coroutine.close', 0), ('__await__', 6), ('catches', 6),
        ('delegates', 6)],
    async_generator_athrow_and_aclose: [
        ('async_generator_athrow_and_aclose', -1), ('drive', 0), ('coroutine.send', 1),
        ('main', 2), ('agen', 3), ('async_generator.athrow', 3), ('agen', 3),
        ('async_generator.aclose', 3), ('agen', 3)],
    built_in_calls: [
        ('built_in_calls', -1), ('len', 0), ('list.append', 0), ('list.append', 0), ('sorted', 0),
        ('print', 0), ('str.upper', 0)],
}
COROUTINE_AWARE = {  # program: records of a coroutine-aware trace
    closes_suspended_coroutine: [
        ('suspends', -1), ('__await__', 0), ('[await]', 0)],
    cancels_suspended_coroutine: [
        ('delegates', -1), ('catches', 0), ('__await__', 1)],
    throws_uncaught_into_coroutine: [
        ('suspends', -1), ('__await__', 0), ('[await]', 0)],
    closes_awaiting_coroutine: [
        ('delegates', -1), ('catches', 0), ('__await__', 1)],
    async_generator_athrow_and_aclose: [
        ('main', -1), ('agen', 0), ('async_generator.athrow', 0), ('agen', 0),
        ('async_generator.aclose', 0), ('agen', 0)],
}


@pytest.mark.parametrize("program, is_async, expected", [
    pytest.param(program, is_async, records, id=f"{program.__name__}-{mode}")
    for is_async, mode, table in [(False, "plain", PLAIN), (True, "coroutine-aware", COROUTINE_AWARE)]
    for program, records in table.items()
])
def test_same_records_on_every_version(program, is_async, expected):
    assert shape(trace(program, is_async=is_async)) == expected


# ---------------------------------------------------------------------------
# Where the standard library runs different code, the records follow it


def on_new_loop(main):
    """Runs main() on a fresh event loop, as a plain trace sees it."""
    loop = asyncio.new_event_loop()
    try:
        loop.run_until_complete(main())
    finally:
        loop.close()


async def nothing():
    pass


def creates_task():
    async def main():
        await asyncio.get_running_loop().create_task(nothing())
    on_new_loop(main)


def runs_task_group():
    async def main():
        async with asyncio.TaskGroup() as group:
            group.create_task(nothing())
    on_new_loop(main)


def runs_loop_with_timer():
    async def main():
        await asyncio.sleep(0.001)
    on_new_loop(main)


def called_under(records, parent, child):
    """Whether some record named `child` hangs under a record named `parent`."""
    rows = shape(records)
    return any(row and row[0] == child and row[1] >= 0 and rows[row[1]] and rows[row[1]][0] == parent
               for row in rows)


@pytest.mark.parametrize("program, parent, child, versions", [
    # 3.13 registers every task in a WeakSet from Python; later versions keep
    # the tasks in C.
    (creates_task, "create_task", "add", {(3, 13)}),
    # 3.14 introduced the awaited-by links between tasks that asyncio's
    # introspection shows; a task group makes one per child task.
    (runs_task_group, "create_task", "future_add_to_awaited_by", {(3, 14), (3, 15)}),
    # 3.15's event loop keeps its deadline strictly increasing with
    # math.ulp in every iteration.
    (runs_loop_with_timer, "_run_once", "ulp", {(3, 15)}),
    # 3.14 deprecated the event loop policies; new_event_loop reaches the
    # policy through a private function there.
    (runs_loop_with_timer, "new_event_loop", "get_event_loop_policy", {(3, 13)}),
    (runs_loop_with_timer, "new_event_loop", "_get_event_loop_policy", {(3, 14), (3, 15)}),
], ids=lambda v: v.__name__ if callable(v) else None)
def test_records_follow_the_standard_library_of_each_version(program, parent, child, versions):
    assert called_under(trace(program), parent, child) == (VERSION in versions)


# ---------------------------------------------------------------------------
# Versions outside the supported ones


def tool_env():
    """The environment without the sanitizer runtime, for the build tools."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}


@pytest.mark.parametrize("args, env, message", [
    (["3.12"], {}, "bootstrap: CPython 3.12 is not supported (supported: 3.13 3.14 3.15)"),
    (["3.16"], {}, "bootstrap: CPython 3.16 is not supported (supported: 3.13 3.14 3.15)"),
    # An interpreter of one's own must be the version it stands for.
    (["3.15"], {"PYTHON315": sys.executable} if VERSION != (3, 15) else {"PYTHON315": "/bin/false"},
     "is not a CPython 3.15"),
])
def test_bootstrap_refuses_other_versions(args, env, message):
    proc = subprocess.run([str(ROOT / "tools" / "bootstrap"), *args], env=tool_env() | env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0 and message in proc.stderr, proc.stderr


@pytest.mark.skipif(not shutil.which("python3") or shutil.which("cmake") is None,
                    reason="needs a host python3 and cmake")
def test_cmake_names_an_unsupported_interpreter(tmp_path):
    # Shims such as pyenv's choose an interpreter by the environment: ask the
    # one chosen for its real path.
    host, host_version = subprocess.run(
        ["python3", "-c", "import sys; print(sys.executable, '%d.%d.%d' % sys.version_info[:3])"],
        env=tool_env(), capture_output=True, text=True, check=True).stdout.split()
    if host_version.rsplit(".", 1)[0] in ("3.13", "3.14", "3.15"):
        pytest.skip(f"the host's python3 is {host_version}, a supported version")
    proc = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={host}"],
                          env=tool_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode != 0
    assert "spantree builds for CPython 3.13, 3.14, 3.15" in proc.stderr, proc.stderr
    assert f"is Python {host_version}" in " ".join(proc.stderr.split())
