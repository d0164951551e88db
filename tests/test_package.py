"""The spantree package: decoding, the call tree, tracing helpers, renderers,
and a pip install into a fresh virtual environment."""

import asyncio
import gc
import json
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import time
import zipfile

import pytest

import spantree
import spantree_reader_C
from conftest import BUILD, ROOT
from spantree import Kind, decode

# Every record kind, an index that holds no record and a negative duration.
KNOWN = [
    "main\x00/srv/app.py\x0010\x011000000000\x0130000000\x01-1",
    "fetch\x00/srv/app.py\x005\x011001000000\x0120000000\x010",
    "len\x00<built-in>\x000\x011001500000\x011000\x011",
    "[await]\x00\x000\x011002000000\x0118000000\x011",
    None,
    "late\x00/srv/app.py\x0020\x011025000000\x012000000\x014",
    "clock\x00/srv/app.py\x0030\x011028000000\x01-500\x010",
]


def shape(nodes):
    """Names and nesting: [(name, or index of a placeholder, [children...])]."""
    return [(n.record.name if n.record else n.index, shape(n.children)) for n in nodes]


@pytest.mark.parametrize("text, fields", [
    ("len\x00<built-in>\x000\x01100\x0150\x01-1", ("len", "<built-in>", 0, 100, 50, -1, Kind.BUILTIN)),
    ("[await]\x00\x000\x01100\x0150\x013", ("[await]", "", 0, 100, 50, 3, Kind.AWAIT)),
    ("größe_函数\x00/tmp/ü.py\x007\x01100\x01-20\x010",
     ("größe_函数", "/tmp/ü.py", 7, 100, -20, 0, Kind.CALL)),
    # A name made by hand can hold the separators; the fields are split from the right.
    ("a\x00b\x01c\x00f.py\x001\x012\x013\x01-1", ("a\x00b\x01c", "f.py", 1, 2, 3, -1, Kind.CALL)),
])
def test_each_record_kind_decodes_to_its_fields(text, fields):
    record = decode([None, text]).records[1]
    assert (record.name, record.file, record.line, record.start_ns, record.duration_ns,
            record.parent, record.kind) == fields


@pytest.mark.parametrize("text", [
    "f\x00a.py\x001\x012\x013",           # a field missing
    "f\x00a.py\x001\x01+2\x013\x01-1",    # a sign other than minus
    "f\x00a.py\x001\x01٣\x013\x01-1",     # a non-ASCII digit
    "f\x00a.py\x001\x012\x013\x012",      # its own parent
    42,
])
def test_malformed_record_is_reported_with_its_index(text):
    with pytest.raises(ValueError, match=r"^record 2 is malformed"):
        decode(["f\x00a.py\x001\x012\x013\x01-1", None, text])


def test_coroutines_are_told_by_their_awaits_and_by_the_top_of_a_coroutine_aware_trace():
    assert [r and r.kind for r in decode(KNOWN).records] == [
        Kind.CALL, Kind.COROUTINE, Kind.BUILTIN, Kind.AWAIT, None, Kind.CALL, Kind.CALL]
    assert decode(KNOWN, coroutines=True).records[0].kind is Kind.COROUTINE


@pytest.mark.parametrize("records, expected", [
    # remove_trace_profile inside `outer`: its slot is None, `inner` hangs under a placeholder.
    ([None, "inner\x00a.py\x001\x010\x011\x010"], [(0, [("inner", [])])]),
    # A coroutine dropped by the threshold between recorded neighbours.
    (["top\x00a.py\x001\x010\x0110\x01-1", None, "call\x00a.py\x002\x011\x011\x011",
      "next\x00a.py\x003\x015\x011\x010"], [("top", [("next", [])]), (1, [("call", [])])]),
])
def test_tree_is_rebuilt_with_placeholders_for_empty_parent_slots(records, expected):
    assert shape(decode(records).roots) == expected


def test_very_deep_tree_decodes_and_renders_without_recursion():
    depth = sys.getrecursionlimit() + 500
    tree = decode([f"f\x00a.py\x001\x01{i}\x01{depth - i}\x01{i - 1}" for i in range(depth)])
    assert spantree.text_tree(tree).count("\n") == depth + 1
    # One line per stack up to the deepest kept, and one for everything below it.
    assert spantree.collapsed_stacks(tree).count("\n") == spantree_reader_C.MAX_STACK_FRAMES + 1
    assert len(spantree.chrome_trace(tree)["traceEvents"]) == depth


def test_text_tree_of_a_known_trace():
    assert spantree.text_tree(decode(KNOWN, coroutines=True)).splitlines() == [
        "      time   share  call",
        "   30.0 ms  100.0%  main  app.py:10  (coroutine)",
        "   20.0 ms   66.7%    fetch  app.py:5  (coroutine)",
        "   1.00 us    0.0%      len  <built-in>",
        "   18.0 ms   90.0%      [await]  (suspended)",
        "   -500 ns            clock  app.py:30",
        "                    [unknown]  #4 left no record (still open when the trace ended, or a coroutine the "
        "threshold dropped, or a call dropped as the clock stepped back)",
        "   2.00 ms            late  app.py:20",
    ]


def test_collapsed_stacks_of_a_known_trace_hold_self_times():
    assert spantree.collapsed_stacks(decode(KNOWN)).splitlines() == [
        "main (app.py:10) 10000000",
        "main (app.py:10);fetch (app.py:5) 1999000",
        "main (app.py:10);fetch (app.py:5);len 1000",
        "main (app.py:10);fetch (app.py:5);[await] 18000000",
        "[unknown];late (app.py:20) 2000000",
    ]


def check_chrome_trace(document):
    """What Perfetto relies on: the keys of every event, one thread, and X
    events nested wholly inside the event of their parent record."""
    events = json.loads(json.dumps(document))["traceEvents"]
    assert all({"ph", "ts", "dur", "pid", "tid", "name"} <= e.keys() and e["dur"] >= 0 for e in events)
    assert len({(e["pid"], e["tid"]) for e in events}) == 1
    complete = [e for e in events if e["ph"] == "X"]
    by_index = {e["args"]["index"]: e for e in complete}
    for event in complete:
        if parent := by_index.get(event["args"]["parent"]):
            assert parent["ts"] <= event["ts"] + 1e-6
            assert event["ts"] + event["dur"] <= parent["ts"] + parent["dur"] + 1e-6
    return complete


def test_chrome_trace_of_a_known_trace():
    document = spantree.chrome_trace(decode(KNOWN), pid=7, tid=8, thread_name="MainThread")
    assert document["traceEvents"][0] == {"name": "thread_name", "ph": "M", "ts": 0, "dur": 0,
                                          "pid": 7, "tid": 8, "args": {"name": "MainThread"}}
    complete = check_chrome_trace(document)
    assert [(e["name"], e["cat"], e["ts"], e["dur"]) for e in complete] == [
        ("main", "call", 0, 30000), ("fetch", "coroutine", 1000, 20000), ("len", "built-in", 1500, 1),
        ("[await]", "await", 2000, 18000), ("clock", "call", 28000, 0), ("late", "call", 25000, 2000)]
    assert complete[4]["args"]["duration_ns"] == -500


@pytest.mark.parametrize("value, ns", [
    (1234, 1234), ("500ns", 500), ("250us", 250_000), ("250µs", 250_000), ("1.5ms", 1_500_000),
    ("2s", 2_000_000_000), (" 7 ", 7), ("1.", 1), (".5us", 500), ("0", 0), ("3 ms", 3_000_000),
])
def test_threshold_accepts_nanoseconds_and_durations_with_units(value, ns):
    assert spantree.parse_threshold(value) == ns


@pytest.mark.parametrize("value, error", [
    ("ms", ValueError), ("-1ms", ValueError), ("1e3", ValueError), ("0.5ns", ValueError),
    ("10000000000s", ValueError), (1.5, TypeError), (True, TypeError), (-1, ValueError), ("1.2.3ms", ValueError),
    (".", ValueError), ("٣ms", ValueError), ("1\u00a0ms", ValueError),
])
def test_bad_threshold_is_refused(value, error):
    with pytest.raises(error, match="threshold"):
        spantree.parse_threshold(value)


def leaf():
    return 1


def middle():
    leaf()
    return leaf()


@pytest.fixture
def no_gc():
    gc.disable()
    yield
    gc.enable()


@pytest.mark.parametrize("options, expected", [
    ({}, [("middle", [("leaf", []), ("leaf", [])])]),
    ({"depth": 1}, [("middle", [])]),
    ({"threshold": "10s"}, []),
])
def test_trace_block_gives_records_and_tree(no_gc, options, expected):
    with spantree.trace(**options) as traced:
        middle()
    assert shape(traced.tree.roots) == expected


async def sleeper():
    await asyncio.sleep(0.002)
    return "done"


def test_run_traces_one_coroutine_from_a_wrapper(no_gc):
    traced = spantree.trace(coroutines=True)
    assert asyncio.run(traced.run(sleeper())) == "done"
    (top,) = traced.tree.roots
    assert (top.record.name, top.record.kind) == ("sleeper", Kind.COROUTINE)
    (sleep,) = [c for c in top.children if c.record.name == "sleep"]
    waits = [c.record for c in sleep.children if c.record.kind is Kind.AWAIT]
    assert len(waits) == 1 and waits[0].duration_ns >= 1_500_000
    check_chrome_trace(spantree.chrome_trace(traced.tree))


def glibc_versions(shared_object):
    out = subprocess.run(["objdump", "-T", shared_object], capture_output=True, text=True, check=True).stdout
    return {tuple(map(int, v)) for v in re.findall(r"\bGLIBC_(\d+)\.(\d+)\b", out)}


def check_wheel(wheel, unpacked):
    """The wheel is for this interpreter and its manylinux tag names a glibc
    that provides every symbol version its shared objects import."""
    abi = f"cp{sys.version_info.major}{sys.version_info.minor}{'d' if hasattr(sys, 'gettotalrefcount') else ''}"
    match = re.fullmatch(rf"spantree-[^-]+-cp\d+-{abi}-manylinux_(\d+)_(\d+)_x86_64\.whl", wheel.name)
    assert match, wheel.name
    tagged = (int(match[1]), int(match[2]))
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(unpacked)
    imported = set().union(*(glibc_versions(so) for so in unpacked.glob("*.so")))
    assert len(list(unpacked.glob("*.so"))) == 4
    assert tagged in imported and max(imported) == tagged, (tagged, sorted(imported))


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="pip, cmake and the compiler would all run with the preloaded "
                           "AddressSanitizer runtime; the release run checks the install")
@pytest.mark.parametrize("source", ["checkout", "wheel"])
def test_install_into_a_fresh_venv_brings_modules_package_and_command(tmp_path, source):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "SPANTREE_BUILD")}
    env |= {"PIP_NO_CACHE_DIR": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_INPUT": "1"}

    def run(*command):
        proc = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, f"{command}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
        return proc.stdout

    if source == "wheel":
        wheel = pathlib.Path(run(sys.executable, str(ROOT / "tools" / "build_wheel.py"),
                                 "--outdir", str(tmp_path / "dist"),
                                 "--build-dir", str(tmp_path / "build")).strip())
        check_wheel(wheel, tmp_path / "unpacked")
        install = [str(wheel)]
    else:
        install = [f"--config-settings=build-dir={tmp_path / 'build'}", str(ROOT)]

    venv = tmp_path / "venv"
    # Debian's interpreter has no ensurepip; pip comes from the system site-packages.
    run(sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv))
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "--no-build-isolation", "--no-index", *install)
    assert run(python, "-c", textwrap.dedent(f"""
        import sys
        assert not {{{str(ROOT)!r}, {str(BUILD)!r}}} & set(sys.path), sys.path
        import lockmeter_C, threaddump_C, spantree_C, spantree
        import importlib.util
        modules = (lockmeter_C, threaddump_C, spantree_C, spantree)
        test_only = ("spantree_testing_C", "bench_floor_C", "failing_allocator_C")
        print(all(m.__file__.startswith(sys.prefix) for m in modules),
              any(importlib.util.find_spec(name) for name in test_only),
              "%d.%d" % sys.version_info[:2])
    """)) == f"True False {sys.version_info.major}.{sys.version_info.minor}\n"
    (tmp_path / "prog.py").write_text("def work():\n    return sorted(range(5))\n\nwork()\n")
    stacks = run(python, "-m", "spantree", "--threshold", "0", "--format", "collapsed", "-o", "-", "prog.py")
    assert "<module> (prog.py:1);work (prog.py:1);sorted " in stacks
    # The installed command runs -m modules from the current directory, as python -m does.
    stacks = run(str(venv / "bin" / "spantree"), "--threshold", "0", "--format", "collapsed", "-o", "-", "-m", "prog")
    assert "<module> (prog.py:1);work (prog.py:1);sorted " in stacks
    assert "    work  prog.py:1\n" in run(str(venv / "bin" / "spantree"), "--threshold", "0", "prog.py")
    # A Python child of the program is reached through the installed .pth line,
    # which imports nothing while no run names its spool.
    assert run(python, "-c", "import sys; print('spantree' in sys.modules)") == "False\n"
    (tmp_path / "parent.py").write_text("import subprocess, sys\nsubprocess.run([sys.executable, 'prog.py'], check=True)\n")
    tree = run(python, "-m", "spantree", "--threshold", "0", "--format", "tree", "--full", "parent.py")
    assert tree.count("\nprocess ") == 2 and "    work  prog.py:1\n" in tree.split("\nprocess ")[2]
    # The HTML view's script and style are package data, inlined into the page.
    run(python, "-m", "spantree", "--format", "html", "-o", "page.html", "prog.py")
    assert "window.spantree" in (tmp_path / "page.html").read_text(encoding="utf-8")


@pytest.mark.parametrize("options, error", [
    ({"depth": 0}, "depth must be at least 1"),
    ({"depth": 2**63}, "depth must be at least 1 and at most"),
    ({"threshold": -1}, "threshold -1 ns is out of range"),
])
def test_trace_refuses_what_the_command_line_refuses(options, error):
    with pytest.raises(ValueError, match=error):
        spantree.trace(**options)


def test_trace_refuses_to_start_over_another_profile_function(no_gc):
    with spantree.trace() as outer:
        with pytest.raises(RuntimeError, match=r"already has a profile function \(another spantree trace\)"):
            spantree.trace().__enter__()
        middle()
    assert shape(outer.tree.roots)[-1] == ("middle", [("leaf", []), ("leaf", [])])
    assert outer.hook_lost is None

    def profile(*event):
        pass

    sys.setprofile(profile)
    try:
        with pytest.raises(RuntimeError, match=r"profile function \(<function .*profile at"):
            spantree.trace().__enter__()
    finally:
        sys.setprofile(None)


def test_exit_without_enter_is_a_clear_error_and_leaves_the_hook_alone():
    def profile(*event):
        pass

    sys.setprofile(profile)
    try:
        with pytest.raises(RuntimeError, match="the trace is not running"):
            spantree.trace().__exit__(None, None, None)
        assert sys.getprofile() is profile
    finally:
        sys.setprofile(None)


def test_traced_code_that_changes_the_hook_keeps_its_own_and_the_trace_says_when(no_gc):
    events = []
    before = time.time_ns()
    with spantree.trace() as traced:
        middle()
        sys.setprofile(lambda *event: events.append(event))
        middle()
    try:
        assert sys.getprofile() is not None
    finally:
        sys.setprofile(None)
    assert events and traced.hook_lost.startswith("replaced by <function ")
    assert before < traced.hook_lost_ns < time.time_ns()
    # The first middle() is whole, the second is missing.
    assert [n.record.name for n in traced.tree.roots if n.record] == ["middle"]

    with spantree.trace() as traced:
        sys.setprofile(None)
        middle()
    assert traced.hook_lost == "removed" and not any(traced.records)


def test_importing_the_package_loads_no_submodule_until_a_name_is_used(subprocess_python):
    proc = subprocess_python("""
        import sys
        import spantree
        print(sorted(m for m in sys.modules if m.startswith("spantree")))
        print(spantree.Kind.CALL, spantree.format_duration(1500), "trace" in dir(spantree))
    """)
    assert proc.stdout == "['spantree']\ncall 1.50 us True\n"


def test_a_negative_top_level_duration_takes_no_share_of_the_top():
    # The clock stepped back during the first call: the other two split the top.
    records = [f"{name}\x00f.py\x001\x01{start}\x01{duration}\x01-1"
               for name, start, duration in [("a", 10, -10), ("b", 20, 30), ("c", 60, 30)]]
    lines = spantree.text_tree(decode(records)).splitlines()[1:]
    assert [line.split()[:2] for line in lines] == [["-10", "ns"], ["30", "ns"], ["30", "ns"]]
    assert [line[12:18].strip() for line in lines] == ["", "50.0%", "50.0%"]


def test_views_load_without_dataclasses_and_thread_traces_stay_read_only(subprocess_python):
    # What the command imports after the program ends delays its output: the
    # views keep off dataclasses (and inspect, which it imports).
    proc = subprocess_python("""
        import sys
        import spantree.views
        print("dataclasses" in sys.modules, "inspect" in sys.modules)
        trace = spantree.ThreadTrace("main", 7, [None])
        try:
            trace.records = []
        except AttributeError:
            print("read-only")
        print(trace == spantree.ThreadTrace("main", 7, [None]), trace == spantree.ThreadTrace("main", 8, [None]))
    """)
    assert proc.stdout == "False False\nread-only\nTrue False\n"
