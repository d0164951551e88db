"""The pytest plugin, driven through pytest itself in a child process on a
small suite of tests that pass, fail, skip, print and trace themselves."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import BUILD, ROOT

SUITE = '''
import sys, time, pytest

def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

@pytest.fixture
def slow_fixture():
    time.sleep(0.05)
    yield
    time.sleep(0.03)

def test_a_fast():
    assert fib(5) == 5

def test_b_slowest(slow_fixture):
    print("printed by the slowest test")
    assert step0(24) == 46368

def test_c_fails():
    print("printed by the failing test")
    step0(22)
    assert False, "meant to fail"

def test_d_skips():
    pytest.skip("meant to skip")

def test_e_own_trace():
    import spantree
    with spantree.trace() as t:
        fib(12)
    assert any(r.name == "fib" for r in t.records)

def test_f_own_profiler():
    seen = []
    sys.setprofile(lambda frame, event, arg: seen.append(event))
    fib(3)
    sys.setprofile(None)
    assert "call" in seen

def test_g_after():
    fib(15)
''' + "".join(
    # A chain of distinct functions, so that the grouped tree of the slow tests outgrows the screen.
    f"\ndef step{i}(n):\n    return step{i + 1}(n)\n" for i in range(12)) + "\ndef step12(n):\n    return fib(n)\n"


def run_pytest(folder, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]), COLUMNS="120", LINES="14")
    env.pop("PYTEST_ADDOPTS", None)
    return subprocess.run([sys.executable, "-m", "pytest", "-p", "spantree.pytest_plugin", "-p", "no:cacheprovider",
                           "-p", "no:randomly", *args], cwd=folder, env=env, capture_output=True, text=True,
                          timeout=120)


@pytest.fixture
def suite(tmp_path):
    (tmp_path / "test_suite.py").write_text(SUITE)
    return tmp_path


def report_of(output):
    """The plugin's section of pytest's output: headers of shown tests, and the rest."""
    section = output.partition("spantree: the ")[2].partition("short test summary")[0]
    headers = re.findall(r"^test_suite\.py::(\w+) (\w+): call", section, re.M)
    return section, headers


def test_slowest_tests_are_shown_with_their_trees_and_pages(suite):
    proc = run_pytest(suite, "--spantree", "--spantree-top", "2", "--spantree-html", "pages")
    assert proc.returncode == 1, proc.stderr
    assert re.search(r"1 failed, 5 passed, 1 skipped", proc.stdout)
    section, headers = report_of(proc.stdout)
    assert headers == [("test_b_slowest", "passed"), ("test_c_fails", "failed")], proc.stdout
    # Setup and teardown are timed apart from the call, which the fixture's sleeps stay out of.
    line = re.search(r"test_b_slowest passed: call (.*) \(setup (.*), teardown (.*)\)", section)
    assert line.group(2).endswith("ms") and float(line.group(2).split()[0]) >= 50
    assert "sleep" not in section
    # Each tree is cut to the screen (14 lines, less the heading).
    blocks = section.split("\ntest_suite.py::")[1:]
    assert re.search(r"test_b_slowest  test_suite\.py:\d+\n(.*\n)*.*step0  test_suite\.py:\d+", blocks[0])
    assert [len(block.partition("\n\n")[0].splitlines()) for block in blocks] == [1 + 10, 1 + 10]
    assert "more lines (--spantree-html DIR shows the whole trace)" in blocks[0]
    # Capture is pytest's: the failing test's print shows in its failure, the other's nowhere.
    assert "printed by the failing test" in proc.stdout
    assert "printed by the slowest test" not in proc.stdout
    # Tests that trace themselves or install a profiler ran as usual and are named.
    assert "stepped aside for test_suite.py::test_e_own_trace: the test started a trace of its own" in section
    assert "stepped aside for test_suite.py::test_f_own_profiler: the test installed a profiler" in section
    pages = sorted(os.listdir(suite / "pages"))
    assert pages == ["01-test_suite.py_test_b_slowest.html", "02-test_suite.py_test_c_fails.html"]
    assert "test_b_slowest" in (suite / "pages" / pages[0]).read_text()


def test_exit_on_first_failure_and_no_capture(suite):
    proc = run_pytest(suite, "--spantree", "-x", "-s", "--spantree-top", "9")
    assert proc.returncode == 1
    section, headers = report_of(proc.stdout)
    # Slowest first; the fast test's place depends on the machine's load.
    assert headers[0] == ("test_b_slowest", "passed")
    assert {name for name, _ in headers} == {"test_b_slowest", "test_c_fails", "test_a_fast"}
    # With -s the test's print reaches the terminal, before the report.
    assert proc.stdout.index("printed by the slowest test") < proc.stdout.index("spantree: the 3 slowest")


@pytest.mark.parametrize("args, error", [
    (["--spantree-html", "x"], "--spantree-html needs --spantree"),
    (["--spantree-top", "3"], "--spantree-top needs --spantree"),
    (["--spantree", "--spantree-top", "0"], "argument --spantree-top: expected a whole number above 0, not '0'"),
    (["--spantree", "--spantree-threshold", "5xs"], "argument --spantree-threshold: bad threshold '5xs'"),
])
def test_bad_options_are_pytest_usage_errors(suite, args, error):
    proc = run_pytest(suite, *args)
    assert proc.returncode == 4
    assert error in proc.stderr
    assert "Traceback" not in proc.stderr + proc.stdout


def test_idle_plugin_reports_nothing_and_traces_nothing(suite):
    (suite / "test_idle.py").write_text(textwrap.dedent('''
        import sys
        def test_no_hook(request):
            assert sys.getprofile() is None
            assert "spantree_C" not in sys.modules
            # Loaded, the plugin has hooks at start-up only (its cost: bench/integrations.py).
            hooks = request.config.hook
            plugin = request.config.pluginmanager.get_plugin("spantree.pytest_plugin")
            assert plugin is not None
            around = [name for name in dir(hooks) if name.startswith(("pytest_runtest", "pytest_pyfunc"))
                      and any(impl.plugin is plugin or "spantree" in impl.plugin_name
                              for impl in getattr(hooks, name).get_hookimpls())]
            assert around == []
    '''))
    proc = run_pytest(suite, "test_idle.py")
    assert proc.returncode == 0, proc.stdout
    assert "spantree" not in proc.stdout + proc.stderr


def test_threshold_and_empty_trees(suite):
    proc = run_pytest(suite, "--spantree", "--spantree-threshold", "1ms", "--spantree-top", "9", "-k", "a_fast")
    section, headers = report_of(proc.stdout)
    assert headers == [("test_a_fast", "passed")]
    assert "call phases traced, calls of at least 1.00 ms" in section
    assert "no records: no calls of at least 1.00 ms" in section


@pytest.mark.parametrize("threads", [True, False])
def test_a_trace_that_gives_way_ends_when_the_code_starts_its_own(threads):
    import spantree

    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    outer = spantree.trace(threads=threads)
    outer.gives_way = True
    with outer:
        fib(3)
        with spantree.trace(threads=threads) as inner:
            fib(4)
        fib(3)
    assert outer.gave_way and outer.threads == ()
    assert [r.name for r in inner.records].count("fib") == 9
    assert sys.getprofile() is None
    # Once ended, it no longer gives way: the next trace finds the thread free.
    with spantree.trace(threads=threads) as after:
        fib(2)
    assert not after.gave_way and [r.name for r in after.records].count("fib") == 3
