"""python -m spantree: runs a program as python would and writes its trace,
whatever way the program ends."""

import json
import os
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
    proc = spantree_cli(tmp_path, "--depth", 2, "--format", "tree", "--full", "prog.py", program=SYNC)
    assert proc.stdout.splitlines()[1] == "spantree: prog.py: 3 records, calls at most 2 levels deep"
    assert tree_labels(proc.stdout.split("\n", 1)[1]) == [
        "<module>  prog.py:1", "  outer  prog.py:6", "  print  <built-in>"]


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
    assert tree_labels(proc.stdout)[0] == "main  prog.py:6  (coroutine)"


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


RECURSIVE = """\
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

fib(15)
"""


def test_default_output_is_the_summary_then_the_folded_tree(tmp_path):
    proc = spantree_cli(tmp_path, "--threshold", 0, "prog.py", program=RECURSIVE)
    assert proc.returncode == 0, proc.stderr
    summary, tree = proc.stdout.split("\n\n")
    lines = summary.splitlines()
    assert lines[0] == "spantree: prog.py: 1,974 records, calls of at least 0 ns"
    assert lines[1].startswith("1,974 calls of 2 functions, ")
    assert lines[3].split()[0] == "1,973" and lines[3].endswith("  fib  prog.py:1")
    # fib(15) recurses 15 levels: one folded line a level, not one per call.
    assert len(tree.splitlines()) <= 17 and "fib ×2  prog.py:1" in tree


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
])
def test_view_options_are_checked_before_the_program_runs(tmp_path, args, message):
    proc = spantree_cli(tmp_path, *args, "prog.py", program="print('ran')\n")
    assert (proc.returncode, proc.stdout) == (2, "")
    assert message in proc.stderr
