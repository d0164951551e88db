"""python -m spantree: runs a program as python would and writes its trace,
whatever way the program ends."""

import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from conftest import ROOT, package_env

SYNC = """\
import sys

def inner():
    return sum(range(10))

def outer():
    return inner() + inner()

print("argv", sys.argv[1:], __name__, outer())
"""

ASYNC = """\
import asyncio

async def helper():
    await asyncio.sleep(0.002)

async def main():
    await helper()
    await helper()

asyncio.run(main())
"""

THREADED = """\
import os
import threading
from concurrent.futures import ThreadPoolExecutor

both = threading.Barrier(2, timeout=30)

def work(n):
    return sum(range(n))

def report():
    os.write(2, f"{threading.current_thread().name} {threading.get_native_id()}\\n".encode())

def task(n):
    report()
    both.wait()
    return work(n)

report()
with ThreadPoolExecutor(2, thread_name_prefix="pool") as pool:
    print(list(pool.map(task, [1000] * 4)))
"""


ENV = package_env()


def spantree_cli(cwd, *args, program=None, command=(sys.executable, "-m", "spantree"), **options):
    if program is not None:
        (cwd / "prog.py").write_text(program)
    options.setdefault("capture_output", "stdout" not in options)
    return subprocess.run([*command, *map(str, args)], cwd=cwd, env=ENV, text=True, timeout=120, **options)


def trace_part(stdout):
    """The text trace at the end of standard output, from its "spantree:" header line."""
    return stdout[stdout.index("\nspantree: ") + 1:]


# The complete tree alone, which the tests read line by line.
FULL_TREE = ("--format", "tree", "--full")


def tree_labels(text):
    """The indented labels of a text trace, without its two header lines and its time columns."""
    return [line[20:] for line in text.splitlines()[2:]]


def test_sync_script_runs_like_python_and_its_stacks_are_written(tmp_path):
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "collapsed", "-o", "out.txt",
                        "prog.py", "a", "--depth", "3", program=SYNC)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "argv ['a', '--depth', '3'] __main__ 90\n", "")
    stacks = [line.rsplit(" ", 1)[0] for line in (tmp_path / "out.txt").read_text().splitlines()]
    assert "<module> (prog.py:1);outer (prog.py:6);inner (prog.py:3);sum" in stacks
    assert all(stack.startswith("<module> (prog.py:1)") for stack in stacks)


def test_depth_counts_levels_from_the_program_itself(tmp_path):
    proc = spantree_cli(tmp_path, "--depth", 2, "--format", "tree", "--full", "prog.py", program=SYNC)
    assert trace_part(proc.stdout).splitlines()[0] == "spantree: prog.py: 3 records, calls at most 2 levels deep"
    assert tree_labels(trace_part(proc.stdout)) == [
        "<module>  prog.py:1", "  outer  prog.py:6", "  print  <built-in>"]
    proc = spantree_cli(tmp_path, "--depth", 1, "prog.py")
    assert trace_part(proc.stdout).splitlines()[0] == "spantree: prog.py: 1 records, calls at most 1 level deep"


def test_asyncio_run_script_has_main_as_its_top_coroutine(tmp_path):
    proc = spantree_cli(tmp_path, "--coroutines", "--threshold", 0, "--format", "perfetto",
                        "-o", "trace.json", "prog.py", program=ASYNC)
    assert proc.returncode == 0, proc.stderr
    events = [e for e in json.loads((tmp_path / "trace.json").read_text())["traceEvents"] if e["ph"] == "X"]
    top = events[0]
    assert (top["name"], top["cat"], top["args"]["line"]) == ("main", "coroutine", 6)
    assert all(top["ts"] <= e["ts"] and e["ts"] + e["dur"] <= top["ts"] + top["dur"] for e in events)
    assert [e["name"] for e in events if e["name"] in ("main", "helper")] == ["main", "helper", "helper"]
    assert sum(e["cat"] == "await" and e["dur"] >= 1500 for e in events) == 2

    proc = spantree_cli(tmp_path, "--coroutines", "--format", "tree", "--full", "prog.py")
    assert tree_labels(trace_part(proc.stdout))[0] == "main  prog.py:6  (coroutine)"


def test_uncaught_exception_prints_its_traceback_and_the_trace_is_still_written(tmp_path):
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "tree", "--full", "-o", "out.txt", "prog.py",
                        program="def fail():\n    raise ValueError('boom')\n\nfail()\n")
    assert proc.returncode == 1
    assert proc.stderr.startswith("Traceback (most recent call last):\n"
                                  f'  File "{tmp_path / "prog.py"}", line 4, in <module>\n')
    assert proc.stderr.endswith("ValueError: boom\n")
    assert tree_labels((tmp_path / "out.txt").read_text()) == ["<module>  prog.py:1", "  fail  prog.py:1"]


@pytest.mark.parametrize("ending, status, stderr", [
    ("sys.exit(3)", 3, ""),
    ("sys.exit()", 0, ""),
    ("sys.exit('bye')", 1, "bye\n"),
])
def test_system_exit_passes_its_status_and_the_trace_is_still_written(tmp_path, ending, status, stderr):
    program = f"import sys\nlen('x')\n{ending}\nprint('not reached')\n"
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "tree", "--full", "prog.py", program=program)
    assert (proc.returncode, proc.stderr) == (status, stderr)
    assert tree_labels(trace_part(proc.stdout))[:2] == ["<module>  prog.py:1", "  len  <built-in>"]


@pytest.mark.parametrize("module, spec_name, file", [
    (["-m", "pkg.tool"], "pkg.tool", "tool.py"),
    (["-m", "pkg"], "pkg.__main__", "__main__.py"),
    (["-mpkg.tool"], "pkg.tool", "tool.py"),
])
def test_dash_m_runs_a_module_or_a_package_as_main(tmp_path, module, spec_name, file):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    for name in ("tool.py", "__main__.py"):
        (tmp_path / "pkg" / name).write_text(
            "import os, sys\n\ndef work():\n    return len(sys.argv)\n\n"
            "print(__name__, __spec__.name, os.path.basename(sys.argv[0]), sys.argv[1:], work())\n")
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "collapsed", "-o", "-", *module, "x", "-o", "y")
    program_output, *stacks = proc.stdout.splitlines()
    assert program_output == f"__main__ {spec_name} {file} ['x', '-o', 'y'] 4"
    # The program's own files are named from the current directory.
    assert f"<module> (pkg/{file}:1);work (pkg/{file}:3);len" in [s.rsplit(" ", 1)[0] for s in stacks]


@pytest.mark.parametrize("args, status, message", [
    ([], 2, "give a script or -m module"),
    (["--threshold", "fast", "prog.py"], 2, "bad threshold 'fast'"),
    (["--threshold", "1ms", "--depth", "2", "prog.py"], 2, "not allowed with"),
    (["missing.py"], 2, "can't open 'missing.py'"),
    (["-m", "no_such_module_here"], 2, "No module named 'no_such_module_here'"),
    (["-o", "out.txt", "-m", "no_such_package.tool"], 2, "No module named 'no_such_package'"),
    (["--depth", "99999999999999999999", "-o", "out.txt", "prog.py"], 2, "depth must be at least 1 and at most"),
    (["-o", "out.txt", "--depth", "0", "prog.py"], 2, "depth must be at least 1"),
    (["-o", "out.txt", "--depth", "two", "prog.py"], 2, "invalid int value: 'two'"),
    (["-o", "out.txt", "--threshold", "-5", "prog.py"], 2, "bad threshold '-5'"),
    (["-o", "out.txt", "--format", "svg", "prog.py"], 2, "invalid choice: 'svg'"),
    (["-o", "out.txt", "--bogus", "prog.py"], 2, "unrecognized argument: --bogus"),
    (["-o", "no/such/dir/out.txt", "prog.py"], 2, "is not a writable directory"),
    (["-o", ".", "prog.py"], 2, "it is a directory"),
    (["-o"], 2, "argument -o: expected one argument"),
    (["--own"], 2, "argument --own: expected one argument"),
])
def test_usage_errors_run_nothing_and_touch_no_file(tmp_path, args, status, message):
    (tmp_path / "out.txt").write_text("previous trace\n")
    proc = spantree_cli(tmp_path, *args, program="print('ran')\n")
    assert (proc.returncode, proc.stdout) == (status, "")
    assert message in proc.stderr and "Traceback" not in proc.stderr
    assert (tmp_path / "out.txt").read_text() == "previous trace\n"


@pytest.mark.parametrize("ending", [
    "sys.stdout.close()",
    "os.close(1)",
    "sys.stdout = sys.stderr = None",
    "os.dup2(os.open(os.devnull, os.O_RDONLY), 1)",
])
def test_the_trace_reaches_stdout_whatever_the_program_did_to_it(tmp_path, ending):
    proc = spantree_cli(tmp_path, *FULL_TREE, "--threshold", 0, "prog.py",
                        program=f"import os, sys\nprint('out', flush=True)\n{ending}\n")
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.startswith("out\n")
    assert tree_labels(trace_part(proc.stdout))[0] == "<module>  prog.py:1"


def test_json_tool_closing_stdout_keeps_its_output_and_the_trace(tmp_path):
    (tmp_path / "data.json").write_text('{"a": [1]}')
    proc = spantree_cli(tmp_path, "-m", "json.tool", "--compact", "data.json")
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.startswith('{"a":[1]}\n\nspantree: -m json.tool: ')


@pytest.mark.parametrize("fmt, default", [("perfetto", "spantree.json"), ("collapsed", "spantree.folded")])
def test_machine_formats_go_to_a_file_of_their_own(tmp_path, fmt, default):
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", fmt, "prog.py",
                        program="import os\nos.mkdir('sub')\nos.chdir('sub')\n" + SYNC)
    assert proc.returncode == 0
    assert proc.stdout == "argv [] __main__ 90\n"
    assert proc.stderr == f"spantree: wrote the {fmt} trace to {default}\n"
    written = (tmp_path / default).read_text()
    if fmt == "perfetto":
        assert "outer" in {e["name"] for e in json.loads(written)["traceEvents"]}
    else:
        assert all(line.startswith("<module> (prog.py:1)") for line in written.splitlines())


def test_header_starts_on_a_line_of_its_own(tmp_path):
    program = "print('no newline', end='')\n"
    assert spantree_cli(tmp_path, "prog.py", program=program).stdout.startswith("no newline\nspantree: prog.py: ")
    # Where it can be read back, a program's output that ends a line gets no blank line.
    with open(tmp_path / "stdout.txt", "w") as stdout:
        spantree_cli(tmp_path, "prog.py", program="print('line')\n", stdout=stdout)
    assert (tmp_path / "stdout.txt").read_text().startswith("line\nspantree: prog.py: ")


def test_a_closed_pipe_ends_quietly(tmp_path):
    # A small output, then a trace far larger than a pipe's buffer.
    (tmp_path / "prog.py").write_text("print(0)\nfor i in range(20_000):\n    len('x')\n")
    with subprocess.Popen([sys.executable, "-m", "spantree", "--threshold", "0", "prog.py"], cwd=tmp_path,
                          env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdout.readline() == b"0\n"
        proc.stdout.close()
        assert proc.stderr.read() == b""
        assert proc.wait(timeout=120) == 0


@pytest.mark.parametrize("ending, status", [("", 120), ("raise SystemExit(3)", 3)])
def test_a_write_error_is_one_line_and_the_status_says_who_failed(tmp_path, ending, status):
    proc = spantree_cli(tmp_path, "-o", "/dev/full", "prog.py", program=f"len('x')\n{ending}\n")
    assert proc.returncode == status
    assert proc.stderr == "spantree: can't write the trace to '/dev/full': No space left on device\n"


def test_interrupted_writing_leaves_the_previous_file_whole(tmp_path):
    (tmp_path / "out.folded").write_text("previous trace\n")
    # The program arranges a Ctrl-C for the moment the stacks are being built.
    program = ("import os, signal, spantree.views as views\n"
               "write_collapsed = views.write_collapsed\n"
               "def interrupted(threads, out, **options):\n"
               "    write_collapsed(threads, out, **options)\n"
               "    os.kill(os.getpid(), signal.SIGINT)\n"
               "    out.write(sum(range(10**6)) * b'x')\n"
               "views.write_collapsed = interrupted\n")
    proc = spantree_cli(tmp_path, "--format", "collapsed", "-o", "out.folded", "prog.py", program=program)
    assert (proc.returncode, proc.stderr) == (-signal.SIGINT,
                                              "spantree: interrupted: the trace was not written to 'out.folded'\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.folded", "prog.py"]
    assert (tmp_path / "out.folded").read_text() == "previous trace\n"


SIGNALLED = """\
import atexit, os, signal, sys, time

def work():
    return sum(range(1000))

def ready():
    open("ready.part", "w").close()

def wait_for_the_signal():
    ready()
    os.rename("ready.part", "ready")
    time.sleep(60)

atexit.register(lambda: print("atexit ran", flush=True))
print("handler", signal.getsignal(signal.SIGTERM) == signal.SIG_DFL, flush=True)
work()
try:
    {ending}
finally:
    print("finally ran", flush=True)
"""


@pytest.mark.parametrize("ending, signum, after", [
    ("raise KeyboardInterrupt", signal.SIGINT, "finally ran\natexit ran\n"),
    ("os.kill(os.getpid(), signal.SIGINT); time.sleep(5)", signal.SIGINT, "finally ran\natexit ran\n"),
    # SIGTERM ends python at once: no finally block, no atexit function.
    ("wait_for_the_signal()", signal.SIGTERM, ""),
], ids=["raised", "sigint", "sigterm"])
def test_a_signal_ends_the_command_as_it_ends_python_with_the_trace_written(tmp_path, ending, signum, after):
    (tmp_path / "out.txt").write_text("previous trace\n")
    (tmp_path / "prog.py").write_text(SIGNALLED.format(ending=ending))
    with subprocess.Popen([sys.executable, "-m", "spantree", "--threshold", "0", *FULL_TREE, "-o", "out.txt",
                           "prog.py"], cwd=tmp_path, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as proc:
        if signum == signal.SIGTERM:
            while not (tmp_path / "ready").exists():
                assert proc.poll() is None, proc.communicate()
                time.sleep(0.01)
            proc.terminate()
        stdout, stderr = proc.communicate(timeout=60)
    assert proc.returncode == -signum, stderr
    # The handler is this command's, not the default, and the program sees it so.
    assert stdout == "handler False\n" + after
    assert ("KeyboardInterrupt" in stderr) == (signum == signal.SIGINT) and stderr.count("Traceback") <= 1
    labels = [label.split()[0] for label in tree_labels((tmp_path / "out.txt").read_text())]
    # Under SIGTERM, the trace ends where the program was: inside wait_for_the_signal.
    assert "work" in labels and ("ready" in labels) == (signum == signal.SIGTERM)


def test_a_program_with_its_own_sigterm_handler_keeps_it(tmp_path):
    program = ("import signal, sys\n"
               "def stop(signum, frame):\n    sys.exit(3)\n"
               "signal.signal(signal.SIGTERM, stop)\n"
               "signal.raise_signal(signal.SIGTERM)\n")
    proc = spantree_cli(tmp_path, "--threshold", 0, *FULL_TREE, "-o", "out.txt", "prog.py", program=program)
    assert (proc.returncode, proc.stderr) == (3, "")
    assert "stop" in (tmp_path / "out.txt").read_text()


def test_sigterm_while_the_trace_is_written_abandons_it(tmp_path):
    (tmp_path / "out.folded").write_text("previous trace\n")
    program = ("import os, signal, spantree.views as views\n"
               "write_collapsed = views.write_collapsed\n"
               "def terminated(threads, out, **options):\n"
               "    write_collapsed(threads, out, **options)\n"
               "    os.kill(os.getpid(), signal.SIGTERM)\n"
               "    out.write(sum(range(10**6)) * b'x')\n"
               "views.write_collapsed = terminated\n")
    proc = spantree_cli(tmp_path, "--format", "collapsed", "-o", "out.folded", "prog.py", program=program)
    assert (proc.returncode, proc.stderr) == (-signal.SIGTERM,
                                              "spantree: interrupted: the trace was not written to 'out.folded'\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.folded", "prog.py"]
    assert (tmp_path / "out.folded").read_text() == "previous trace\n"


def test_os_exit_leaves_no_file(tmp_path):
    proc = spantree_cli(tmp_path, "-o", "out.txt", "prog.py", program="import os\nos._exit(5)\n")
    assert (proc.returncode, proc.stderr) == (5, "")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["prog.py"]


def test_output_replaces_a_file_whole_keeps_its_mode_and_follows_no_chdir(tmp_path):
    (tmp_path / "out.txt").write_text("previous trace\n")
    (tmp_path / "out.txt").chmod(0o640)
    proc = spantree_cli(tmp_path, *FULL_TREE, "--threshold", 0, "-o", "out.txt", "prog.py",
                        program="import os\nos.mkdir('sub')\nos.chdir('sub')\nlen('x')\n")
    assert (proc.returncode, proc.stderr) == (0, "")
    assert tree_labels((tmp_path / "out.txt").read_text())[:3] == [
        "<module>  prog.py:1", "  mkdir  <built-in>", "  chdir  <built-in>"]
    assert (tmp_path / "out.txt").stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.txt", "prog.py", "sub"]


def test_gz_output_is_compressed(tmp_path):
    import gzip

    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "collapsed", "-o", "out.folded.gz", "prog.py",
                        program=SYNC)
    assert proc.returncode == 0
    assert "<module> (prog.py:1);outer (prog.py:6);inner (prog.py:3);sum" in \
        gzip.decompress((tmp_path / "out.folded.gz").read_bytes()).decode()


def test_before_the_program_starts_nothing_is_imported_that_python_does_not_import(tmp_path):
    (tmp_path / "first.py").write_text("import sys\nprint(' '.join(sorted(sys.modules)))\n")

    def modules(*command):
        proc = subprocess.run(command, cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=120)
        return set(proc.stdout.splitlines()[0].split())

    ours = {"spantree", "spantree.cli", "spantree.defaults", "spantree.tracing", "spantree_C"}
    plain, plain_m = modules(sys.executable, "first.py"), modules(sys.executable, "-m", "first")
    spantree = (sys.executable, "-m", "spantree", "--main-thread", "--no-children")
    assert modules(*spantree, "-m", "first") - plain_m == ours
    # What python -m itself loads (runpy and its imports) is there for a script too.
    assert modules(*spantree, "first.py") - plain - (plain_m - plain) == ours
    # Tracing children loads the package's module that leaves them the spool, and no other.
    assert modules(*spantree[:-1], "first.py") - plain - (plain_m - plain) == ours | {"spantree.children"}
    # Tracing every thread also needs threading, where new threads get their hook.
    (tmp_path / "threading_only.py").write_text(
        "import sys\nbefore = set(sys.modules)\nimport threading\nprint(' '.join(set(sys.modules) - before))\n")
    threading_modules = modules(sys.executable, "threading_only.py")
    extra = modules(sys.executable, "-m", "spantree", "-m", "first") - plain_m
    assert "threading" in extra and extra - threading_modules == ours | {"spantree.threadcapture", "spantree.children"}


def test_the_installed_command_runs_modules_from_the_current_directory(tmp_path):
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "spantree").write_text("import sys\nfrom spantree.cli import main\nsys.exit(main())\n")
    (tmp_path / "mod.py").write_text("import sys\nprint('mod', sys.argv[1:])\n")
    proc = spantree_cli(tmp_path, "-m", "mod", "a", command=(sys.executable, "bin/spantree"))
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.startswith("mod ['a']\n\nspantree: -m mod: ")
    assert spantree_cli(tmp_path, command=(sys.executable, "bin/spantree")).stderr.startswith("usage: spantree ")


HOOKS = """\
import sys
events = []

def work():
    return sum(range(10))

work()
{change}
work()
print(len(events) > 0 if events else 'no events')
"""


@pytest.mark.parametrize("change, how, printed", [
    ("sys.setprofile(lambda *event: events.append(event))", "replaced by <function <lambda> at", "True"),
    ("sys.setprofile(None)", "removed", "no events"),
])
def test_a_program_that_changes_the_profile_hook_is_told_where_the_trace_ends(tmp_path, change, how, printed):
    proc = spantree_cli(tmp_path, *FULL_TREE, "--threshold", 0, "prog.py", program=HOOKS.format(change=change))
    assert proc.returncode == 0 and proc.stdout.startswith(printed + "\n")
    (line,) = proc.stderr.splitlines()
    assert line.startswith(f"spantree: spantree's profile hook was {how}")
    assert line.endswith(" after the program started: the trace has no calls after that, "
                         "and calls still open then show as [unknown]")
    labels = tree_labels(trace_part(proc.stdout))
    assert labels[:3] == ["[unknown]  #0 left no record (still open when the trace ended, or a coroutine the "
                          "threshold dropped, or a call dropped as the clock stepped back)",
                          "  work  prog.py:4", "    sum  <built-in>"]
    assert labels.count("  work  prog.py:4") == 1


@pytest.mark.parametrize("program", [
    "import pickle\n\nclass Point:\n    x = 1\n\n"
    "assert pickle.loads(pickle.dumps(Point())).__class__ is Point\nprint('pickled')\n",
    "import multiprocessing as mp\n\ndef square(x):\n    return x * x\n\n"
    "if __name__ == '__main__':\n    with mp.get_context('spawn').Pool(1) as pool:\n"
    "        print('pickled', pool.map(square, [3]))\n",
])
def test_main_module_classes_pickle_and_spawned_children_find_main(tmp_path, program):
    proc = spantree_cli(tmp_path, "prog.py", program=program)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.startswith("pickled")


def test_profilers_that_share_the_thread_keep_the_trace_whole_and_a_second_trace_is_refused(tmp_path):
    program = ("import cProfile\n\ndef work():\n    return sum(range(10))\n\n"
               "cProfile.run('work()', 'stats.out')\nwork()\n"
               "import spantree\nspantree.trace().__enter__()\n")
    proc = spantree_cli(tmp_path, *FULL_TREE, "--depth", 2, "prog.py", program=program)
    assert proc.returncode == 1
    assert proc.stderr.endswith("RuntimeError: this thread already has a profile function "
                                "(another spantree trace); a thread runs one profiler at a time\n")
    labels = tree_labels(trace_part(proc.stdout))
    import cProfile

    # cProfile.run lives in cProfile.py up to 3.14, in a package of its own
    # from 3.15; a file is named by its module's path.
    package = os.path.basename(cProfile.run.__code__.co_filename) == "__init__.py"
    where = cProfile.run.__module__.replace(".", "/") + ("/__init__.py" if package else ".py")
    assert [label.split(":")[0] for label in labels if "work" in label or "run" in label] == [
        f"  run  {where}", "  work  prog.py"]


def test_output_through_a_link_replaces_the_file_it_names(tmp_path):
    (tmp_path / "real.txt").write_text("previous trace\n")
    (tmp_path / "link.txt").symlink_to("real.txt")
    proc = spantree_cli(tmp_path, "-o", "link.txt", "prog.py", program="len('x')\n")
    assert proc.returncode == 0
    assert (tmp_path / "link.txt").is_symlink()
    assert (tmp_path / "real.txt").read_text().startswith("spantree: prog.py: ")


def threads_seen(stderr):
    """{name: native id} of the threads the THREADED program reported, its main thread first."""
    return dict(line.split() for line in stderr.splitlines())


def test_every_thread_gets_a_perfetto_track_named_by_its_thread_with_its_own_calls(tmp_path):
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "perfetto", "-o", "trace.json",
                        "prog.py", program=THREADED)
    assert (proc.returncode, proc.stdout) == (0, "[499500, 499500, 499500, 499500]\n"), proc.stderr
    seen = {name: int(tid) for name, tid in threads_seen(proc.stderr).items()}
    assert seen.keys() == {"MainThread", "pool_0", "pool_1"}
    events = json.loads((tmp_path / "trace.json").read_text())["traceEvents"]
    named = {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"}
    assert named == {tid: name for name, tid in seen.items()}
    assert len({e["pid"] for e in events}) == 1
    work = [e for e in events if e["name"] == "work"]
    assert len(work) == 4 and {e["tid"] for e in work} == {seen["pool_0"], seen["pool_1"]}
    # One time axis: every worker's calls lie within the main thread's <module>.
    (module,) = [e for e in events if e["name"] == "<module>" and e["args"]["file"].endswith("prog.py")]
    assert all(module["ts"] <= e["ts"] and e["ts"] + e["dur"] <= module["ts"] + module["dur"] for e in work)


def test_text_tree_shows_each_thread_with_the_work_under_the_workers(tmp_path):
    proc = spantree_cli(tmp_path, *FULL_TREE, "--threshold", 0, "prog.py", program=THREADED)
    assert proc.returncode == 0, proc.stderr
    names = threads_seen(proc.stderr)
    sections, current = {}, None
    for line in proc.stdout.splitlines()[2:]:
        current = next((name for name in names if name in line), current)
        if current is not None:
            sections.setdefault(current, []).append(line)
    assert sections.keys() == names.keys()
    def calls(name, function):
        return sum(bool(re.search(rf"(^|\s){function}\s", line)) for line in sections[name])

    assert calls("pool_0", "work") + calls("pool_1", "work") == 4
    assert calls("pool_0", "work") and calls("pool_1", "work")
    assert calls("MainThread", "work") == 0 and calls("MainThread", "<module>")


def test_main_thread_option_traces_the_main_thread_alone(tmp_path):
    proc = spantree_cli(tmp_path, "--main-thread", "--threshold", 0, "--format", "perfetto",
                        "-o", "trace.json", "prog.py", program=THREADED)
    assert proc.returncode == 0, proc.stderr
    events = json.loads((tmp_path / "trace.json").read_text())["traceEvents"]
    assert [e["args"]["name"] for e in events if e["name"] == "thread_name"] == ["MainThread"]
    assert {e["tid"] for e in events if "tid" in e} == {int(threads_seen(proc.stderr)["MainThread"])}
    assert "task" not in {e["name"] for e in events}


RECURSIVE = """\
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

fib(15)
"""


def test_default_output_is_the_summary_then_the_folded_tree(tmp_path):
    proc = spantree_cli(tmp_path, "--threshold", 0, "prog.py", program=RECURSIVE)
    assert proc.returncode == 0, proc.stderr
    summary, tree = trace_part(proc.stdout).split("\n\n")
    lines = summary.splitlines()
    assert lines[0] == "spantree: prog.py: 1,974 records, calls of at least 0 ns"
    assert lines[1].startswith("time in own code ") and lines[1].endswith(" (100.0%)")
    assert lines[2].startswith("1,974 calls of 2 functions, ")
    assert lines[4].split()[0] == "1,973" and lines[4].endswith("  fib  prog.py:1")
    # fib(15) recurses 15 levels: one line for all of it, heaviest first.
    assert tree.splitlines()[1:] == [tree.splitlines()[1][:30] + "<module>  prog.py:1",
                                     tree.splitlines()[2][:30] + "  fib  prog.py:1  recursive, 15 deep"]


@pytest.mark.parametrize("args, output, expected", [
    (["--format", "perfetto"], "trace.json.gz", '"name":"fib"'),
    (["--format", "collapsed"], "prog.folded.gz", "<module> (prog.py:1);fib (prog.py:1) "),
    (["--format", "summary", "--sort", "calls", "--top", "1"], "summary.txt.gz", "… 1 more function: 1 calls"),
])
def test_gz_outputs_are_compressed_and_read_back(tmp_path, args, output, expected):
    import gzip

    proc = spantree_cli(tmp_path, "--threshold", 0, *args, "-o", output, "prog.py", program=RECURSIVE)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    text = gzip.decompress((tmp_path / output).read_bytes()).decode()
    assert expected in text
    if output.endswith(".json.gz"):
        assert sum(e["ph"] == "X" for e in json.loads(text)["traceEvents"]) == 1974


@pytest.mark.parametrize("args, message", [
    (["--min-share", "120"], "expected a percentage from 0 to 100, not '120'"),
    (["--top", "0"], "expected a whole number above 0, not '0'"),
    (["--sort", "name"], "invalid choice: 'name'"),
    (["--own", "no/such/folder"], "argument --own: no such file or folder: 'no/such/folder'"),
    (["--own", "not-a-package"], "argument --own: 'not-a-package' is neither an existing path nor a package name"),
    (["--grouped"], "argument --grouped: only with --format collapsed"),
    (["--format", "tree", "--grouped"], "argument --grouped: only with --format collapsed"),
])
def test_view_options_are_checked_before_the_program_runs(tmp_path, args, message):
    proc = spantree_cli(tmp_path, *args, "prog.py", program="print('ran')\n")
    assert (proc.returncode, proc.stdout) == (2, "")
    assert message in proc.stderr


def test_own_is_repeatable_and_the_program_adds_its_script_folder_or_module_package(tmp_path, monkeypatch):
    from spantree.cli import own_code, parse_args

    monkeypatch.chdir(tmp_path)
    (tmp_path / "lib").mkdir()
    options = parse_args(["--own", "lib", "--own=sympy", "--ow", "docutils.parsers", "prog.py", "--own", "x"])
    assert options.own == ("lib", "sympy", "docutils.parsers") and options.args == ["--own", "x"]
    assert own_code(options) == ("lib", "sympy", "docutils.parsers", str(tmp_path))
    assert own_code(parse_args(["-m", "sphinx.cmd.build", "-b", "html"])) == ("sphinx",)
    # A script whose folder is missing is reported as the script, later.
    assert own_code(parse_args(["gone/prog.py"])) == ()


@pytest.mark.parametrize("grouped", [False, True])
def test_collapsed_stacks_hold_every_frame_unless_grouped_on_request(tmp_path, grouped):
    program = "import colorsys\n\ndef work():\n    return colorsys.rgb_to_hsv(0.2, 0.4, 0.6)\n\nwork()\n"
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "collapsed", "-o", "-",
                        *(["--grouped"] if grouped else []), "prog.py", program=program)
    assert proc.returncode == 0, proc.stderr
    # Lines of the standard library differ between versions.
    stacks = [re.sub(r"colorsys\.py:\d+", "colorsys.py", line.rsplit(" ", 1)[0]) for line in proc.stdout.splitlines()]
    frames = {frame for stack in stacks for frame in stack.split(";")}
    # The library call the program made shows either way; what it calls only in every frame.
    assert "<module> (prog.py:1);work (prog.py:3);rgb_to_hsv (colorsys.py)" in stacks
    assert ("<module> (prog.py:1);work (prog.py:3);rgb_to_hsv (colorsys.py);max" in stacks) is not grouped
    assert ("import colorsys" in frames) is grouped
    assert any(frame.startswith("_find_and_load ") for frame in frames) is not grouped


@pytest.mark.parametrize("show_all", [False, True])
def test_show_all_puts_every_frame_back_in_the_tree(tmp_path, show_all):
    program = "import colorsys\n\nfor _ in range(3):\n    colorsys.rgb_to_hsv(0.2, 0.4, 0.6)\n"
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "tree", "--min-share", 0,
                        *(["--show-all"] if show_all else []), "prog.py", program=program)
    assert proc.returncode == 0, proc.stderr
    labels = [line.split("%  ", 1)[1] for line in trace_part(proc.stdout).splitlines()[2:]]
    calls = [label.split()[0] for label in labels]
    assert ("import" in calls) is not show_all
    assert ("_find_and_load" in calls) is show_all
    # Repeated calls fold either way.
    assert [label.split()[:2] for label in labels if "rgb_to_hsv" in label] == [["rgb_to_hsv", "×3"]]


# ---------------------------------------------------------------------------
# The option table, read in this process


@pytest.mark.parametrize("argv, expected", [
    # Glued values, --name=value and unambiguous prefixes, as argparse reads them.
    (["-ofile", "--thr=1ms", "--co", "x.py", "-o", "y"],
     dict(output="file", threshold="1ms", coroutines=True, script="x.py", args=["-o", "y"])),
    (["--min-share", "5%", "--top=3", "--sort", "total", "--per", "-mtimeit", "-n", "1"],
     dict(min_share=0.05, top=3, sort="total", per_thread=True, module="timeit", args=["-n", "1"])),
    (["--format", "tree", "--format=html", "--", "-x.py"], dict(format="html", script="-x.py", args=[])),
    (["--he"], dict(help=True, script=None)),
    # Defaults come from the table.
    (["x.py"], dict(threshold=None, depth=None, format=None, full=False, min_share=0.005, sort="self", top=30,
                    output=None, main_thread=False, help=False)),
])
def test_options_are_read_as_argparse_reads_them(argv, expected):
    from spantree.cli import parse_args

    options = parse_args(argv)
    assert {name: getattr(options, name) for name in expected} == expected


@pytest.mark.parametrize("argv, message", [
    (["--t", "1", "x.py"], "ambiguous option: --t could match --threshold, --top"),
    (["--=1", "x.py"], "unrecognized argument: --"),
    (["--full=1", "x.py"], "unrecognized argument: --full=1"),
    (["-h=1"], "unrecognized argument: -h=1"),
    (["--depth", "1", "--thr", "1", "x.py"], "argument --depth: not allowed with argument --threshold"),
    (["--sort"], "argument --sort: expected one argument"),
    (["--min-share", "nan", "x.py"], "argument --min-share: expected a percentage from 0 to 100, not 'nan'"),
    (["--top", "1.0", "x.py"], "argument --top: expected a whole number above 0, not '1.0'"),
    (["-m"], "argument -m: expected a module name"),
    (["--"], "give a script or -m module"),
])
def test_bad_options_are_told_in_one_line(argv, message):
    from spantree.cli import UsageError, parse_args

    with pytest.raises(UsageError) as error:
        parse_args(argv)
    assert str(error.value) == message


def test_every_option_in_the_table_is_in_the_usage_and_the_help_and_its_default_is_the_views():
    import inspect

    from spantree import cli, views

    usage, text = cli.usage("spantree"), cli.help_text("spantree")
    assert text.startswith(usage + "\n\n") and usage.startswith("usage: spantree [-h] [--threshold T | --depth N]")
    for option in cli.ALL_OPTIONS:
        assert f"[{option.usage()}" in usage.replace("| ", "[")
        assert "\n  " + ", ".join(option.names) in text
    assert max(map(len, usage.splitlines())) <= len("usage: spantree ") + cli.USAGE_WIDTH
    # One unit for the share: the percentage the help shows reads as the views' own default.
    shown = re.search(r"\(default ([0-9.]+)%\)", text).group(1)
    defaults = {**inspect.signature(views.write_tree).parameters, **inspect.signature(views.summary).parameters}
    assert cli.parse_args(["--min-share", shown, "x.py"]).min_share == defaults["min_share"].default
    assert f"summary rows (default {defaults['top'].default})" in text
    options = cli.parse_args(["x.py"])
    assert (options.min_share, options.top, options.sort) == tuple(
        defaults[name].default for name in ("min_share", "top", "sort"))


FORKING = """\
import os, signal, sys, time

def before():
    return len("before")

def in_child():
    time.sleep(0.3)  # the parent ends and writes its trace meanwhile
    return len("child")

def in_parent():
    return len("parent")

before()
pid = os.fork()
(in_child if pid == 0 else in_parent)()
if pid == 0:
    # SIGTERM kills a child at once, as under python (a pool terminates its workers so).
    with open("child.txt", "w") as file:
        file.write(str(signal.getsignal(signal.SIGTERM) == signal.SIG_DFL))
    sys.exit(5)
print("parent")
"""


@pytest.mark.parametrize("output", ["-o", None])
def test_a_forked_child_that_outlives_the_parent_writes_nothing(tmp_path, output):
    # Standard output stays open until the child has ended too.
    args = ["-o", "out.txt"] if output else []
    proc = spantree_cli(tmp_path, "--threshold", 0, *FULL_TREE, "--no-children", *args, "prog.py", program=FORKING)
    assert proc.returncode == 0 and proc.stderr == ""
    trace = (tmp_path / "out.txt").read_text() if output else trace_part(proc.stdout)
    assert proc.stdout.count("spantree: prog.py") == (0 if output else 1)
    assert proc.stdout.startswith("parent\n") and (tmp_path / "child.txt").read_text() == "True"
    labels = [label.split()[0] for label in tree_labels(trace)]
    assert {"before", "in_parent"} <= set(labels) and "in_child" not in labels


@pytest.mark.parametrize("module, status, message", [
    ("pkg", 0, ""),
    ("pkg.tool", 0, ""),
    ("pkg.missing", 1, "spantree: No module named 'pkg.missing'\n"),
])
def test_dash_m_imports_the_package_under_the_trace(tmp_path, module, status, message):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text(
        "import sys, time\n\ndef setting_up():\n    time.sleep(0.05)\n\nARGV0 = sys.argv[0]\nsetting_up()\n")
    for name in ("__main__", "tool"):
        (tmp_path / "pkg" / f"{name}.py").write_text("import pkg\nprint(pkg.ARGV0)\n")
    proc = spantree_cli(tmp_path, "--threshold", "1ms", *FULL_TREE, "-o", "out.txt", "-m", module)
    assert (proc.returncode, proc.stderr) == (status, message)
    assert proc.stdout == ("" if status else "-m\n"), "python -m's sys.argv[0] while it finds the module"
    labels = [label.split()[0] for label in tree_labels((tmp_path / "out.txt").read_text())]
    assert labels.count("setting_up") == 1 and labels.count("sleep") == 1


def test_coroutine_driven_by_hand_is_named_with_its_share_of_the_run(tmp_path):
    program = ("import asyncio, time, types\n"
               "@types.coroutine\ndef pause():\n    yield\n"
               "async def abandoned():\n    time.sleep(0.002)\n    await pause()\n"
               "async def main():\n    await asyncio.sleep(0.01)\n"
               "abandoned().send(None)\n"
               "asyncio.run(main())\nasyncio.run(main())\n")
    proc = spantree_cli(tmp_path, "--coroutines", *FULL_TREE, "prog.py", program=program)
    assert proc.returncode == 0
    assert re.fullmatch(r"spantree: MainThread: outside an event loop, the trace followed one coroutine only, "
                        r"abandoned \(prog.py:5\), \S+ ms or \d+\.\d% of the run; to trace the others, run each "
                        r"with asyncio.run or loop.run_until_complete\n", proc.stderr), proc.stderr
    tops = [label for label in tree_labels(trace_part(proc.stdout)) if not label.startswith(" ")]
    assert [label.split()[0] for label in tops] == ["abandoned", "main", "main"]


def test_the_profile_module_fails_inside_a_trace_and_the_note_says_where_the_trace_ended(tmp_path):
    program = "import profile\nprofile.run('sum(range(10))')\n"
    proc = spantree_cli(tmp_path, "--format", "summary", "prog.py", program=program)
    assert proc.returncode == 1
    assert "AssertionError: ('Bad return'" in proc.stderr
    assert re.search(r"\nspantree: spantree's profile hook was (removed|replaced by .*) [0-9.]+ \S*s after the "
                     r"program started: the trace has no calls after that", proc.stderr), proc.stderr
    assert "\nspantree: prog.py: " in proc.stdout


def test_a_report_job_shows_its_own_code_first(tmp_path):
    # Its time goes mostly into csv, statistics, fractions and json, and their imports.
    (tmp_path / "report.py").write_text((ROOT / "examples" / "report.py").read_text())
    proc = spantree_cli(tmp_path, "report.py")
    assert proc.returncode == 0, proc.stderr
    summary, tree = trace_part(proc.stdout).split("\n\n")
    own = ("make_sales", "read_sales", "by_region", "summarize", "top_products")
    first = "\n".join(tree.splitlines()[:30])
    assert all(f"{name}  report.py:" in first for name in own if name != "by_region")
    # An own function's row holds its own self time alone (library calls have rows of their
    # own), so the first own row is the heaviest own function: within the first ten rows.
    rows = summary.splitlines()[5:]
    assert [i for i, row in enumerate(rows) if "  report.py:" in row][0] < 10
    assert "_find_and_load" not in summary and "import json" in summary
