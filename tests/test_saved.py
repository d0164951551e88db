"""Saved traces: every view of a loaded trace is the direct run's byte for
byte, the records come back exactly, bad files are one clear line, and
`spantree diff` compares two runs."""

import asyncio
import io
import json
import os
import random
import struct
import subprocess
import sys
import threading
import types
import zlib

import pytest

import spantree
from spantree import cli, diff, saved
from spantree_reader_C import Reader

from test_cli import ENV, spantree_cli


def record(name, file, line, start, duration, parent):
    return f"{name}\0{file}\0{line}\1{start}\1{duration}\1{parent}"


# Every shape the reader knows: an empty slot named as a parent, a parent
# index past the end, a negative duration, a built-in, an await, names that
# are not ASCII (a lone surrogate too), a separator inside a name.
HANDMADE = [
    record("main", "/w/app.py", 10, 1_000, 9_000, -1),
    record("work", "/w/app.py", 20, 1_100, 3_000, 0),
    None,
    record("len", "<built-in>", 0, 1_200, 50, 1),
    record("[await]", "", 0, 1_500, 100, 0),
    record("f\u00e9\ud800;x", "/w/\u00fcn\u00ef.py", 5, 2_000, -5, 9),
    record("g\0h", "/w/app.py", 30, 2_100, 50, 2),
    record("work", "/w/app.py", 20, 4_200, 700, 0),
]


def handmade_trace(records=HANDMADE, coroutines=True, **settings):
    threads = (spantree.ThreadTrace("MainThread", 101, records, coroutines),
               spantree.ThreadTrace("side", 102, records[:2], coroutines))
    return types.SimpleNamespace(threads=threads, threshold_ns=settings.get("threshold_ns", 0),
                                 depth=settings.get("depth"), coroutines=coroutines)


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def traced_threads():
    def worker():
        fib(12)

    with spantree.trace() as t:
        thread = threading.Thread(target=worker, name="worker")
        thread.start()
        fib(14)
        thread.join()
    return t


def traced_coroutines():
    async def nap():
        await asyncio.sleep(0.001)

    async def main():
        await asyncio.gather(nap(), nap())
        await nap()

    t = spantree.trace(coroutines=True)
    asyncio.run(t.run(main()))
    return t


def traced_depth():
    with spantree.trace(depth=3) as t:
        fib(10)
    return t


TRACES = {"handmade": handmade_trace, "threads": traced_threads, "coroutines": traced_coroutines,
          "depth": traced_depth}

# The command's view options, each against every trace.
VIEWS = [
    {}, {"format": "summary", "sort": "total", "top": 3, "per_thread": True}, {"format": "summary", "sort": "max"},
    {"format": "tree"}, {"format": "tree", "full": True}, {"format": "tree", "min_share": 0},
    {"format": "perfetto"}, {"format": "collapsed"}, {"format": "html"},
    {"show_all": True}, {"format": "tree", "show_all": True}, {"format": "collapsed", "grouped": True},
    {"format": "html", "show_all": True},
]

PROCESS = {"pid": 4242, "command": ["app.py", "--fast"], "target": "app.py", "cwd": "/w", "python": "3.14.0",
           "host": "box", "start_ns": 1, "exit_status": 0}


def process_of(trace):
    return dict(PROCESS, threshold_ns=trace.threshold_ns, depth=trace.depth, coroutines=trace.coroutines)


def saved_bytes(trace):
    out = io.BytesIO()
    saved.write(trace, out, process_of(trace))
    return out.getvalue()


def render(trace, **chosen):
    options = cli.Options()
    for name, value in chosen.items():
        setattr(options, name, value)
    out = io.BytesIO()
    cli._render(trace, options, "app.py", out, pid=PROCESS["pid"])
    return out.getvalue()


@pytest.fixture(scope="module", params=sorted(TRACES))
def trace_pair(request):
    trace = TRACES[request.param]()
    return trace, saved.parse(saved_bytes(trace))


@pytest.mark.parametrize("chosen", VIEWS, ids=lambda c: "-".join(f"{k}={v}" for k, v in c.items()) or "default")
def test_every_view_of_a_loaded_trace_is_the_direct_runs(trace_pair, chosen):
    trace, loaded = trace_pair
    assert render(loaded, **chosen) == render(trace, **chosen)


def test_loaded_records_threads_and_settings_are_the_traces(trace_pair):
    trace, loaded = trace_pair
    assert [(t.name, t.native_id, t.coroutines) for t in loaded.threads] == \
        [(t.name, t.native_id, t.coroutines) for t in trace.threads]
    assert [t.records for t in loaded.threads] == [t.records for t in trace.threads]
    assert (loaded.threshold_ns, loaded.depth, loaded.coroutines, loaded.target, loaded.pid) == \
        (trace.threshold_ns, trace.depth, trace.coroutines, "app.py", 4242)
    # Saving what was loaded gives the same file.
    assert saved_bytes(loaded) == saved_bytes(trace)


def test_api_save_and_load_whole_or_nothing(tmp_path):
    with spantree.trace(threshold=0) as t:
        fib(10)
    path = tmp_path / "run.spantree"
    t.save(path)
    loaded = spantree.load(path)
    assert loaded.raw == t.raw and loaded.tree == t.tree
    assert loaded.command == sys.argv and loaded.cwd == os.getcwd() and loaded.start_ns == t.start_ns
    # A failed save leaves the old file as it was, and no temporary file.
    before = path.read_bytes()
    with pytest.raises(TypeError):
        saved.save(types.SimpleNamespace(threads=[object()], threshold_ns=0, depth=None, coroutines=False), path)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["run.spantree"]


def test_files_are_compact():
    with spantree.trace(threshold=0) as t:
        fib(20)
    assert len(saved_bytes(t)) <= 12 * len(t.raw)


# --- bad files

def sections(data):
    """(offset, tag) of each section of a saved trace, and the file's end."""
    at, found = saved._HEADER.size, []
    while at < len(data):
        tag, length, _ = saved._SECTION.unpack_from(data, at)
        found.append((at, tag))
        at += saved._SECTION.size + length
    return found


def sealed(data):
    """`data` with every section's checksum made right again."""
    data = bytearray(data)
    for at, _ in sections(data):
        _, length, _ = saved._SECTION.unpack_from(data, at)
        payload = bytes(data[at + saved._SECTION.size:at + saved._SECTION.size + length])
        struct.pack_into("<I", data, at + 12, zlib.crc32(payload))
    return bytes(data)


def newer(data):
    header = saved._HEADER.pack(saved.MAGIC, 7, 0)[:16]
    return header + struct.pack("<I", zlib.crc32(header)) + data[saved._HEADER.size:]


def with_process(data, **changes):
    at, _ = sections(data)[0]
    _, length, _ = saved._SECTION.unpack_from(data, at)
    start = at + saved._SECTION.size
    process = json.loads(data[start:start + length]) | changes
    payload = json.dumps(process).encode()
    return data[:at] + saved._section(b"PROC", payload) + data[start + length:]


BAD = {
    "empty": (lambda data: b"", "the file is empty"),
    "foreign": (lambda data: b"#!/bin/sh\necho hello, world\n", "not a spantree trace file"),
    "gzip": (lambda data: zlib.compress(data), "not a spantree trace file"),
    "header cut": (lambda data: data[:9], "truncated: the file ends inside its header"),
    "newer": (newer, "written by a newer spantree (format version 7"),
    "end cut": (lambda data: data[:-saved._SECTION.size], "truncated: the file ends before its end section"),
    "section cut": (lambda data: data[:len(data) // 2], "truncated"),
    "flipped": (lambda data: data[:300] + bytes([data[300] ^ 0x40]) + data[301:], "corrupted"),
    "process field": (lambda data: with_process(data, depth="deep"), "'depth' is missing or malformed"),
    "records": (lambda data: sealed(data[:-40] + b"\xff" * 20 + data[-20:]), "corrupted: thread"),
}


@pytest.mark.parametrize("name", sorted(BAD))
def test_a_bad_file_is_one_line_exit_2_and_nothing_written(tmp_path, name):
    mangle, message = BAD[name]
    good = saved_bytes(handmade_trace())
    (tmp_path / "bad.spantree").write_bytes(mangle(good))
    (tmp_path / "good.spantree").write_bytes(good)
    for args in (["view", "bad.spantree", "-o", "out.txt"], ["view", "bad.spantree"],
                 ["diff", "good.spantree", "bad.spantree", "-o", "out.txt"]):
        proc = spantree_cli(tmp_path, *args)
        assert proc.returncode == 2, proc.stderr
        assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("spantree: bad.spantree: "), proc.stderr
        assert message in proc.stderr and "Traceback" not in proc.stderr
        assert proc.stdout == "" and not (tmp_path / "out.txt").exists()


def test_fuzzed_files_fail_cleanly():
    """Every truncation at a section boundary, and bytes flipped anywhere
    (also with the checksums made right, to reach the JSON, zlib and the
    reader's checks), give a SavedTraceError or a trace whose every view
    renders: never another exception or a crash."""
    good = saved_bytes(handmade_trace())
    bounds = {at + offset for at, _ in sections(good) for offset in (0, 1, 4, 12, 16, 17)}
    for cut in sorted(cut for cut in bounds | {len(good) - 1} if cut < len(good)):
        with pytest.raises(saved.SavedTraceError):
            saved.parse(good[:cut])
    rng = random.Random(24)
    for _ in range(400):
        data = bytearray(good)
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        for candidate in (bytes(data), sealed(data)):
            try:
                loaded = saved.parse(candidate)
            except saved.SavedTraceError:
                continue
            for chosen in VIEWS:
                render(loaded, **chosen)


def test_fuzzed_packs_are_refused_or_read():
    """Reader.unpack on packs with bytes flipped or cut anywhere: a ValueError
    or a reader whose views all write; run in a child, where a crash fails
    the test rather than the run."""
    from conftest import run_python

    run_python(f"""
        import io, random
        from spantree_reader_C import Reader
        pack = Reader({HANDMADE!r}, True).pack()
        rng = random.Random(7)
        candidates = [pack[:n] for n in range(len(pack))]
        for _ in range(3000):
            data = bytearray(pack)
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            candidates.append(bytes(data))
        accepted = 0
        for data in candidates:
            try:
                reader = Reader.unpack(data)
            except ValueError:
                continue
            except MemoryError:
                continue
            accepted += 1
            out = io.BytesIO()
            reader.write_tree(out.write, 1000, 0.0, False)
            reader.write_tree(out.write, 1000, 0.0, True)
            reader.write_collapsed(out.write)
            reader.write_chrome(out.write, 1, 1, 0, True)
            reader.functions(), reader.record_strings(), reader.columns(), reader.preorder(0)
        assert Reader.unpack(pack).record_strings() == {HANDMADE!r}
        print(accepted)
    """)


@pytest.mark.parametrize("pack, problem", [
    (b"\x02", "unknown flags"),
    (b"\x00\x05", "claims more than it holds in the records"),
    (b"\x00\x00\x01\x02\xc3", "claims more than it holds in the string table"),
    (b"\x00\x00\x01\x80", "ends inside the string lengths"),
    (b"\x00\x00\x01\x02\xc3\x28\x00", "not UTF-8"),
    (b"\x00\x00\x02\x01\x01aa\x00", "a string twice"),
    (b"\x00\x01\x01\x01a\x01\x00\x02\x00\x01", "names a string past the table"),
    (b"\x00\x01\x01\x01a\x01\x00\x00\x00\x02", "names a function past the table"),
    (b"\x00\x01\x01\x01a\x01\x00\x00\x00\x01\x00\x00\x00", "parent is itself"),
    (b"\x00\x01\x01\x01a\x01\x00\x00\x00\x01\x00\x00\x01\x00", "bytes past"),
    (b"\x00\x01\x01\x01a\x01\x00\x00\x00\x01\x00\x00\x80", "ends inside the parent column"),
    (b"\x00" + b"\xff" * 10, "out-of-range number"),
])
def test_unpack_names_what_is_wrong(pack, problem):
    with pytest.raises(ValueError, match=problem):
        Reader.unpack(pack)


# --- the command

PROGRAM = """\
import sys

def slow():
    return sum(range({n}))

def fast():
    return 1

for _ in range(3):
    slow()
{extra}
sys.exit(3)
"""


def test_the_command_saves_and_views(tmp_path):
    (tmp_path / "prog.py").write_text(PROGRAM.format(n=10_000, extra="fast()"))
    proc = spantree_cli(tmp_path, "--threshold", "0", "-o", "run.spantree", "prog.py", "a b")
    assert proc.returncode == 3, proc.stderr
    loaded = saved.load(tmp_path / "run.spantree")
    assert (loaded.command, loaded.target, loaded.exit_status, loaded.cwd) == \
        (["prog.py", "a b"], "prog.py", 3, str(tmp_path))
    assert loaded.python == sys.version.split()[0] and loaded.threshold_ns == 0
    view = spantree_cli(tmp_path, "view", "run.spantree", "--format", "tree", "--full")
    assert view.returncode == 0 and view.stdout.startswith("spantree: prog.py: ")
    assert "slow  prog.py:3" in view.stdout and view.stderr == ""
    # --format spantree without -o names its file.
    proc = spantree_cli(tmp_path, "--format", "spantree", "prog.py")
    assert "wrote the spantree trace to trace.spantree" in proc.stderr
    assert saved.load(tmp_path / "trace.spantree").threads


def test_a_program_named_like_a_subcommand_runs_with_a_path(tmp_path):
    (tmp_path / "view").write_text("print('the view program ran')\n")
    proc = spantree_cli(tmp_path, "./view")
    assert proc.returncode == 0 and "the view program ran" in proc.stdout
    proc = spantree_cli(tmp_path, "view", "view")
    assert proc.returncode == 2 and "view: not a spantree trace file" in proc.stderr


@pytest.mark.parametrize("args, message", [
    (["view"], "give one saved trace"),
    (["view", "a", "b"], "unrecognized arguments: b"),
    (["view", "--threshold", "1ms", "a"], "--threshold: not allowed with view"),
    (["diff", "a"], "give two saved traces"),
    (["diff", "--sort", "max", "a", "b"], "invalid choice for diff: 'max'"),
    (["diff", "--format", "html", "a", "b"], "invalid choice for diff: 'html'"),
])
def test_subcommand_usage_errors(tmp_path, args, message):
    # LeakSanitizer's exit-time scan crashes in some of these short processes
    # under the sysroot's newer C library (its tracer thread faults, depending
    # on the heap's layout): the leak scan is left to the runs that allocate.
    env = ({**ENV, "ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"}
           if "ASAN_OPTIONS" in os.environ else ENV)
    proc = subprocess.run([sys.executable, "-m", "spantree", *args], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 2 and message in proc.stderr


# --- diff

def app(root, slow_ns, fast_calls, extra=False, threads=("MainThread",)):
    """A trace of one program in checkout `root`: main calls slow (whose own
    time is slow_ns), and fast `fast_calls` times; `extra` adds a new helper."""
    file = f"{root}/app.py"
    records = [record("main", file, 1, 0, 10_000_000, -1), record("slow", file, 5, 10, slow_ns + 1_000, 0),
               record("inner", file, 9, 20, 1_000, 1)]
    records += [record("fast", file, 12, 100 + i, 100, 0) for i in range(fast_calls)]
    if extra:
        records.append(record("helper", file, 20, 5_000, 2_000, 0))
    else:
        records.append(record("old", file, 20, 5_000, 3_000, 0))
    return types.SimpleNamespace(threads=[spantree.ThreadTrace(name, 7, records) for name in threads],
                                 threshold_ns=0, depth=None, coroutines=False, cwd=root)


def test_diff_matches_functions_across_checkouts_and_marks_new_and_gone():
    before = app("/home/a/v1", slow_ns=1_000_000, fast_calls=4)
    after = app("/srv/b/v2", slow_ns=3_000_000, fast_calls=6, extra=True)
    text = diff.diff(before, after)
    lines = text.splitlines()
    assert lines[0] == "traced 10.0 ms → 10.0 ms (0 ns, +0.0%); 8 → 10 calls; 6 functions, 1 new, 1 gone"
    rows = {line.split("  ")[-1].strip(): line for line in lines[3:]}
    assert set(rows) == {"app.py"} or len(lines) == 9
    labels = [line[line.rindex("  ", 0, line.rindex("  ")) + 2:] for line in lines[3:]]
    # Sorted by the absolute change of total time: slow +2 ms, main 0 after the others.
    assert labels[0] == "slow  app.py"
    assert "1.00 ms → 3.00 ms" in lines[3] and "+2.00 ms" in lines[3] and "+200.0%" in lines[3]
    assert any(line.endswith("helper  app.py") and " new " in line for line in lines)
    assert any(line.endswith("old  app.py") and " gone " in line for line in lines)
    assert any(line.endswith("fast  app.py") and line.lstrip().startswith("4 → 6") for line in lines)


def test_diff_sorts_by_self_time_to_lead_with_the_slower_code():
    before = app("/a", slow_ns=1_000_000, fast_calls=0)
    after = app("/a", slow_ns=1_000_000, fast_calls=0)
    # inner's own code got 5 ms slower, slow's 0.5 ms; main only contains them.
    after.threads[0].records[:3] = [record("main", "/a/app.py", 1, 0, 15_500_000, -1),
                                    record("slow", "/a/app.py", 5, 10, 6_501_000, 0),
                                    record("inner", "/a/app.py", 9, 20, 5_001_000, 1)]
    by_total = diff.diff(before, after, sort="total").splitlines()[3:6]
    by_self = diff.diff(before, after, sort="self").splitlines()[3:6]
    assert [line.split("  ")[-2].strip() for line in by_total] == ["main", "slow", "inner"]
    assert [line.split("  ")[-2].strip() for line in by_self] == ["inner", "slow", "main"]
    assert "+5.00 ms" in by_self[0] and "+500.0 us" in by_self[1]


def test_diff_goes_thread_by_thread_when_both_runs_have_the_same_threads():
    names = ("MainThread", "worker")
    text = diff.diff(app("/a", 1_000, 1, threads=names), app("/a", 2_000, 1, threads=names))
    assert [line.split(":")[0] for line in text.splitlines() if line.startswith("thread ")] == \
        ["thread MainThread", "thread worker"]
    assert "thread " not in diff.diff(app("/a", 1_000, 1, threads=names), app("/a", 2_000, 1))


def test_diff_command(tmp_path):
    for name, n in (("before", 1_000), ("after", 2_000_000)):
        (tmp_path / "prog.py").write_text(PROGRAM.format(n=n, extra="fast()" if name == "after" else ""))
        spantree_cli(tmp_path, "--threshold", "0", "-o", f"{name}.spantree", "prog.py")
    proc = spantree_cli(tmp_path, "diff", "before.spantree", "after.spantree", "--top", "3")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("traced ") and "1 new" in lines[0]
    assert lines[3].endswith("slow  prog.py") or lines[3].endswith("<module>  prog.py")
    assert lines[-1].startswith("… ")
    tree = spantree_cli(tmp_path, "diff", "--format", "tree", "before.spantree", "after.spantree")
    assert tree.returncode == 0 and "slow ×3  prog.py:3" in tree.stdout
