"""python -m spantree: runs a program as python would and writes its trace,
whatever way the program ends."""

import json
import os
import re
import subprocess
import sys

import pytest

from conftest import BUILD, ROOT

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


def spantree_cli(cwd, *args, program=None):
    if program is not None:
        (cwd / "prog.py").write_text(program)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]))
    return subprocess.run([sys.executable, "-m", "spantree", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def tree_labels(text):
    """The indented labels of a text tree, without its two header lines and its time columns."""
    return [line[20:] for line in text.splitlines()[2:]]


def test_sync_script_runs_like_python_and_its_stacks_are_written(tmp_path):
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "collapsed", "-o", "out.txt",
                        "prog.py", "a", "--depth", "3", program=SYNC)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "argv ['a', '--depth', '3'] __main__ 90\n", "")
    stacks = [line.rsplit(" ", 1)[0] for line in (tmp_path / "out.txt").read_text().splitlines()]
    assert "<module> (prog.py:1);outer (prog.py:6);inner (prog.py:3);sum" in stacks
    assert all(stack.startswith("<module> (prog.py:1)") for stack in stacks)


def test_depth_counts_levels_from_the_program_itself(tmp_path):
    proc = spantree_cli(tmp_path, "--depth", 2, "prog.py", program=SYNC)
    assert proc.stdout.splitlines()[1] == "spantree: prog.py: 3 records, calls at most 2 levels deep"
    assert tree_labels(proc.stdout.split("\n", 1)[1]) == [
        "<module>  prog.py:1", "  outer  prog.py:6", "  print  <built-in>"]


def test_asyncio_run_script_has_main_as_its_top_coroutine(tmp_path):
    proc = spantree_cli(tmp_path, "--coroutines", "--threshold", 0, "--format", "perfetto",
                        "-o", "trace.json", "prog.py", program=ASYNC)
    assert proc.returncode == 0, proc.stderr
    events = [e for e in json.loads((tmp_path / "trace.json").read_text())["traceEvents"] if e["ph"] == "X"]
    (top,) = [e for e in events if e["args"]["parent"] == -1]
    assert (top["name"], top["cat"], top["args"]["line"]) == ("main", "coroutine", 6)
    assert [e["name"] for e in events if e["args"]["parent"] == top["args"]["index"]] == ["helper", "helper"]
    assert sum(e["cat"] == "await" and e["dur"] >= 1500 for e in events) == 2

    proc = spantree_cli(tmp_path, "--coroutines", "prog.py")
    assert tree_labels(proc.stdout)[0] == "main  prog.py:6  (coroutine)"


def test_uncaught_exception_prints_its_traceback_and_the_trace_is_still_written(tmp_path):
    proc = spantree_cli(tmp_path, "--threshold", 0, "-o", "out.txt", "prog.py",
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
    proc = spantree_cli(tmp_path, "--threshold", 0, "prog.py", program=program)
    assert (proc.returncode, proc.stderr) == (status, stderr)
    assert tree_labels(proc.stdout)[:2] == ["<module>  prog.py:1", "  len  <built-in>"]


@pytest.mark.parametrize("module, spec_name, file", [
    ("pkg.tool", "pkg.tool", "tool.py"),
    ("pkg", "pkg.__main__", "__main__.py"),
])
def test_dash_m_runs_a_module_or_a_package_as_main(tmp_path, module, spec_name, file):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    for name in ("tool.py", "__main__.py"):
        (tmp_path / "pkg" / name).write_text(
            "import os, sys\n\ndef work():\n    return len(sys.argv)\n\n"
            "print(__name__, __spec__.name, os.path.basename(sys.argv[0]), sys.argv[1:], work())\n")
    proc = spantree_cli(tmp_path, "--threshold", 0, "--format", "collapsed", "-m", module, "x", "-o", "y")
    program_output, *stacks = proc.stdout.splitlines()
    assert program_output == f"__main__ {spec_name} {file} ['x', '-o', 'y'] 4"
    assert f"<module> ({file}:1);work ({file}:3);len" in [s.rsplit(" ", 1)[0] for s in stacks]


@pytest.mark.parametrize("args, status, message", [
    ([], 2, "give a script or -m module"),
    (["--threshold", "fast", "prog.py"], 2, "bad threshold 'fast'"),
    (["--threshold", "1ms", "--depth", "2", "prog.py"], 2, "not allowed with"),
    (["missing.py"], 2, "can't open 'missing.py'"),
    (["-m", "no_such_module_here"], 1, "No module named 'no_such_module_here'"),
])
def test_usage_errors_run_nothing(tmp_path, args, status, message):
    proc = spantree_cli(tmp_path, *args, program="print('ran')\n")
    assert (proc.returncode, proc.stdout) == (status, "")
    assert message in proc.stderr


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
    proc = spantree_cli(tmp_path, "--threshold", 0, "prog.py", program=THREADED)
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
                        "prog.py", program=THREADED)
    assert proc.returncode == 0, proc.stderr
    events = json.loads(proc.stdout.split("\n", 1)[1])["traceEvents"]
    assert [e["args"]["name"] for e in events if e["name"] == "thread_name"] == ["MainThread"]
    assert {e["tid"] for e in events} == {int(threads_seen(proc.stderr)["MainThread"])}
    assert "task" not in {e["name"] for e in events}
