"""The program's child processes in the command's one output: forked
children, multiprocessing workers under each start method, Python
subprocesses and their own children, each under its own pid."""

import json
import re
import os
import signal
import subprocess
import sys

import pytest

from conftest import package_env

ENV = package_env()

POOL = """\
import multiprocessing, sys

def started(barrier):
    # Both workers are running (and traced) before either takes a task: a
    # worker still starting when the other has done every task would be
    # terminated before its trace began.
    barrier.wait()

def work(n):
    return sum(range(n))

if __name__ == "__main__":
    context = multiprocessing.get_context(sys.argv[1])
    with context.Pool(2, initializer=started, initargs=(context.Barrier(2),)) as pool:
        print(sum(pool.map(work, [1000] * 8)))
"""

FORK = """\
import os, sys

def in_child():
    return len("child")

def in_parent():
    return len("parent")

pid = os.fork()
if pid == 0:
    in_child()
    if sys.argv[1] == "os._exit":
        os._exit(7)
    sys.exit(5)
in_parent()
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""

NESTED = """\
import subprocess, sys

def {name}():
    return len({name!r})

{name}()
{then}
"""


def run(tmp_path, *args, program=None, env=None, **options):
    """Runs the command with its spool under tmp_path/spool, which every run leaves empty."""
    if program is not None:
        (tmp_path / "prog.py").write_text(program)
    spool = tmp_path / "spool"
    spool.mkdir(exist_ok=True)
    proc = subprocess.run([sys.executable, "-m", "spantree", *map(str, args)], cwd=tmp_path,
                          env={**ENV, "TMPDIR": str(spool), **(env or {})}, capture_output=True, text=True,
                          timeout=120, **options)
    assert list(spool.iterdir()) == [], "the spool is removed"
    return proc


def perfetto(tmp_path, *args, **options):
    """(the run, {pid: process name}, {pid: names of its calls}) of a Perfetto trace."""
    proc = run(tmp_path, "--threshold", 0, "--format", "perfetto", "-o", "out.json", *args, **options)
    events = json.loads((tmp_path / "out.json").read_text())["traceEvents"]
    names = {e["pid"]: e["args"]["name"] for e in events if e["name"] == "process_name"}
    calls = {}
    for event in events:
        if event["ph"] == "X":
            calls.setdefault(event["pid"], set()).add(event["name"])
    return proc, names, calls


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_pool_workers_under_each_start_method_have_their_calls_under_their_own_pids(tmp_path, method):
    proc, names, calls = perfetto(tmp_path, "prog.py", method, program=POOL)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "3996000\n", "")
    assert set(names) == set(calls), "a named process per pid with calls"
    parent = [pid for pid, name in names.items() if name == "python prog.py " + method]
    assert len(parent) == 1 and "work" not in calls[parent[0]]
    workers = [pid for pid in calls if "work" in calls[pid]]
    assert 1 <= len(workers) <= 2 and parent[0] not in workers
    # The two workers; multiprocessing's helpers (the forkserver, the resource tracker) are not traced.
    assert len(names) == 3
    assert not any("forkserver import" in name or "resource_tracker" in name for name in names.values())


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_multiprocessing_helpers_are_neither_listed_nor_waited_for(tmp_path, method):
    # A helper that were waited for outlives the program: it would be listed as still running.
    proc = run(tmp_path, "--format", "summary", "prog.py", method, program=POOL)
    headings = [line for line in proc.stdout.splitlines() if line.startswith("process ")]
    assert proc.returncode == 0 and len(headings) == 3, headings
    # A pool ends its workers by SIGTERM.
    assert all(line.endswith(("exit status 0", "killed by SIGTERM")) for line in headings), headings
    assert not any("forkserver import" in line or "resource_tracker" in line for line in headings)


EARLY_KILL = """\
import os, signal, time
pid = os.fork()
if pid == 0:
    time.sleep(5)
    os._exit(0)
os.kill(pid, signal.SIGTERM)  # at once, while the child may still be starting its trace
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


def test_a_child_terminated_as_it_starts_is_listed_as_killed(tmp_path):
    for _ in range(3):
        proc = run(tmp_path, "--format", "summary", "prog.py", program=EARLY_KILL)
        headings = [line for line in proc.stdout.splitlines() if line.startswith("process ")]
        assert proc.stdout.startswith("-15\n") and len(headings) == 2, proc.stdout
        assert headings[1].endswith("killed by SIGTERM")


@pytest.mark.parametrize("ending, status", [("sys.exit", 5), ("os._exit", 7)])
def test_a_forked_child_is_traced_afresh_from_the_fork_to_its_end(tmp_path, ending, status):
    proc = run(tmp_path, "--threshold", 0, "--format", "tree", "--full", "prog.py", ending, program=FORK)
    assert (proc.returncode, proc.stdout.splitlines()[0], proc.stderr) == (0, str(status), "")
    sections = proc.stdout.split("\nprocess ")[1:]
    assert len(sections) == 2
    parent, child = sections
    assert parent.startswith(tuple("0123456789")) and ": python prog.py " + ending + ", exit status 0\n" in parent
    assert f", exit status {status}\n" in child.splitlines()[0] + "\n"
    assert "in_parent" in parent and "in_child" not in parent
    # The child's trace starts at the fork: nothing the parent ran before it.
    assert "in_child" in child and "in_parent" not in child and "<module>" not in child


def test_python_subprocesses_and_their_children_are_traced_non_python_ones_untouched(tmp_path):
    (tmp_path / "grandchild.py").write_text(NESTED.format(name="in_grandchild", then=""))
    (tmp_path / "child.py").write_text(NESTED.format(
        name="in_child", then="subprocess.run([sys.executable, 'grandchild.py'], check=True)"))
    program = NESTED.format(name="in_parent", then="subprocess.run([sys.executable, 'child.py'], check=True)\n"
                            "subprocess.run(['/bin/sh', '-c', 'echo shell $0'], check=True)\n"
                            "subprocess.run([sys.executable, '-I', '-c', 'print(1)'], check=True)\n")
    proc, names, calls = perfetto(tmp_path, "prog.py", program=program)
    assert proc.returncode == 0 and proc.stdout == "shell /bin/sh\n1\n"
    by_function = {name: [pid for pid in calls if name in calls[pid]] for name in
                   ("in_parent", "in_child", "in_grandchild")}
    assert all(len(pids) == 1 for pids in by_function.values()), by_function
    assert len({pids[0] for pids in by_function.values()}) == 3
    # The shell and the isolated interpreter (-I) are not traced.
    assert len(names) == 3 and sorted(n.split()[-1] for n in names.values()) == [
        "child.py", "grandchild.py", "prog.py"]


KILLED = """\
import os, signal, subprocess, sys, time

with subprocess.Popen([sys.executable, "-c", "import sys, time\\nprint('up', flush=True)\\ntime.sleep(60)"],
                      stdout=subprocess.PIPE) as child:
    child.stdout.readline()
    child.send_signal(getattr(signal, sys.argv[1]))
print(child.wait())
"""


@pytest.mark.parametrize("signal_name, shown", [
    ("SIGKILL", "ended without a trace (killed, or crashed)"),
    ("SIGTERM", "killed by SIGTERM"),
])
def test_a_killed_child_is_named_and_one_terminated_writes_its_trace_first(tmp_path, signal_name, shown):
    proc = run(tmp_path, "--threshold", "1ms", "--format", "summary", "prog.py", signal_name, program=KILLED)
    signum = getattr(signal, signal_name)
    assert (proc.returncode, proc.stdout.splitlines()[0], proc.stderr) == (0, str(-signum), "")
    child = proc.stdout.split("\nprocess ")[2]
    assert child.splitlines()[0].endswith(shown)
    # A child that wrote its trace has its summary; one killed has only its line.
    assert ("calls of" in child) == (signal_name == "SIGTERM")


def test_no_children_keeps_one_process_and_the_environment_as_it_was(tmp_path):
    program = ("import os, subprocess, sys\nprint(os.environ.get('SPANTREE_CHILDREN') is not None)\n"
               "subprocess.run([sys.executable, '-c', 'pass'])\n")
    proc = run(tmp_path, "--no-children", "--format", "summary", "prog.py", program=program)
    assert proc.returncode == 0 and proc.stdout.startswith("False\n\nspantree: prog.py: ")
    assert "\nprocess " not in proc.stdout
    proc = run(tmp_path, "--format", "summary", "prog.py", program=program)
    assert proc.stdout.startswith("True\n\nprocess ") and proc.stdout.count("\nprocess ") == 2


def test_an_unusable_spool_directory_is_one_warning_and_the_parent_trace(tmp_path):
    program = "import subprocess, sys\nsubprocess.run([sys.executable, '-c', 'pass'])\n"
    proc = run(tmp_path, "--format", "summary", "prog.py", program=program, env={"TMPDIR": str(tmp_path / "none")})
    assert proc.returncode == 0 and proc.stdout.startswith("\nspantree: prog.py: ") and "\nprocess " not in proc.stdout
    assert proc.stderr == (f"spantree: can't make a spool directory in {tmp_path / 'none'} (No such file or "
                           "directory): the program's child processes are not traced\n")


def test_a_saved_trace_holds_every_process_and_view_shows_them_as_the_run_did(tmp_path):
    (tmp_path / "prog.py").write_text(FORK)
    proc = run(tmp_path, "--threshold", 0, "-o", "run.spantree", "prog.py", "sys.exit")
    assert proc.returncode == 0
    import spantree

    saved = spantree.load(tmp_path / "run.spantree")
    assert saved.exit_status == 0 and [child.exit_status for child in saved.children] == [5]
    assert saved.children[0].pid != saved.pid
    view = subprocess.run([sys.executable, "-m", "spantree", "view", "run.spantree", "--format", "tree", "--full"], cwd=tmp_path,
                          env=ENV, capture_output=True, text=True, timeout=120)
    sections = view.stdout.split("\nprocess ")
    assert view.returncode == 0 and view.stdout.startswith("process ") and len(sections) == 2
    assert "in_child" in sections[1] and "in_child" not in sections[0]


def test_library_traces_reach_children_only_when_asked(tmp_path):
    import spantree

    (tmp_path / "spool").mkdir()
    child = [sys.executable, "-c", "def in_child():\n    pass\nin_child()"]
    before = dict(os.environ)
    with spantree.trace(threads=False) as alone:
        subprocess.run(child, env=ENV, check=True)
        assert dict(os.environ) == before
    assert alone.children is None
    os.environ["TMPDIR"] = str(tmp_path / "spool")
    try:
        with spantree.trace(threads=False, children=True) as t:
            subprocess.run(child, env={**os.environ, "PYTHONPATH": os.environ["PYTHONPATH"] + os.pathsep + ENV["PYTHONPATH"]},
                           check=True)
    finally:
        del os.environ["TMPDIR"]
    assert dict(os.environ) == before and list((tmp_path / "spool").iterdir()) == []
    [traced] = t.children
    assert not hasattr(traced, "reason"), traced.reason
    assert traced.exit_status == 0 and any("in_child" in thread.records[i] for thread in traced.threads
                                           for i in range(len(thread.records)) if thread.records[i])


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_the_spool_is_removed_when_a_signal_ends_the_command(tmp_path, signum):
    (tmp_path / "prog.py").write_text("import subprocess, sys, time\nsubprocess.run([sys.executable, '-c', 'pass'])\n"
                                      "print('ready', flush=True)\ntime.sleep(60)\n")
    (tmp_path / "spool").mkdir()
    with subprocess.Popen([sys.executable, "-m", "spantree", "--format", "summary", "-o", "out.txt", "prog.py"],
                          cwd=tmp_path, env={**ENV, "TMPDIR": str(tmp_path / "spool")}, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as proc:
        assert proc.stdout.readline() == "ready\n"
        proc.send_signal(signum)
        proc.wait(timeout=60)
    assert proc.returncode == -signum and list((tmp_path / "spool").iterdir()) == []
    assert (tmp_path / "out.txt").read_text().count("process ") == 2


def test_the_html_page_groups_each_process_lanes_under_its_pid(tmp_path):
    (tmp_path / "prog.py").write_text(FORK)
    proc = run(tmp_path, "--threshold", 0, "--format", "html", "-o", "page.html", "prog.py", "os._exit")
    assert proc.returncode == 0
    page = (tmp_path / "page.html").read_text()
    lanes = re.findall(r'"name": ?"(\d+): MainThread"', page)
    assert len(lanes) == 2 and lanes[0] != lanes[1]


def test_the_parent_names_each_child_that_left_no_readable_trace(tmp_path):
    from spantree.children import Missing, Spool

    ended = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    dead, running, unreadable = int(ended.stdout), os.getpid(), 1
    for pid, command in ((dead, ["python", "dead.py"]), (running, ["python", "running.py"]),
                         (unreadable, ["python", "bad.py"])):
        (tmp_path / f"{pid}.started").write_bytes("\0".join(command).encode())
    (tmp_path / f"{unreadable}.spantree").write_bytes(b"SPANTREE\r\n\x1a\n")
    (tmp_path / "site").mkdir()
    found = {child.pid: child for child in Spool(tmp_path, {}).collect(wait_s=0.1)}
    assert all(isinstance(child, Missing) for child in found.values())
    assert {pid: (child.command[1], child.reason.split(" (")[0]) for pid, child in found.items()} == {
        dead: ("dead.py", "ended without a trace"),
        running: ("running.py", "still running after 0.1 s: not traced to its end"),
        unreadable: ("bad.py", "its trace is unreadable"),
    }


def test_a_child_still_runs_the_sitecustomize_the_spool_shadows(tmp_path):
    (tmp_path / "own").mkdir()
    (tmp_path / "own" / "sitecustomize.py").write_text("MARK = 'their own'\n")
    program = ("import subprocess, sys\nsubprocess.run([sys.executable, '-c', "
               "'import sitecustomize; print(sitecustomize.MARK)'], check=True)\n")
    env = {"PYTHONPATH": ENV["PYTHONPATH"] + os.pathsep + str(tmp_path / "own")}
    proc = run(tmp_path, "--format", "summary", "prog.py", program=program, env=env)
    assert proc.returncode == 0 and proc.stdout.startswith("their own\n")
    assert proc.stdout.count("\nprocess ") == 2
