"""pytest plugin: ``pytest --spantree`` traces each test's call phase and,
after the run, shows the slowest tests with their call trees.

    pytest --spantree [--spantree-top N] [--spantree-threshold T] [--spantree-html DIR]

Installed, spantree registers the plugin with pytest itself; from a checkout,
load it with ``-p spantree.pytest_plugin``. Without --spantree the plugin
only adds its options: no hook of it runs around a test.

A test that starts a spantree trace of its own, or installs a profile
function, runs as it would without the plugin: its trace takes over the
thread (the plugin's trace of that test ends, keeping nothing), its profile
function replaces the plugin's hook; the report names such tests.
"""

import argparse
import os

import pytest

DEFAULT_TOP = 5


def _top(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number above 0, not {text!r}")
    return value


def _threshold(text):
    from .tracing import parse_threshold

    try:
        parse_threshold(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def pytest_addoption(parser):
    group = parser.getgroup("spantree", "call trees of the slowest tests")
    group.addoption("--spantree", action="store_true",
                    help="trace each test's call phase; after the run, show the slowest tests' call trees")
    group.addoption("--spantree-top", type=_top, default=DEFAULT_TOP, metavar="N",
                    help=f"how many of the slowest tests to show (default {DEFAULT_TOP})")
    group.addoption("--spantree-threshold", type=_threshold, default=None, metavar="T",
                    help="shortest call kept: nanoseconds or a number with ns, us, ms or s (default 100us)")
    group.addoption("--spantree-html", default=None, metavar="DIR",
                    help="also write an HTML page of each shown test's trace into DIR")


def pytest_configure(config):
    option = config.option
    if option.spantree:
        config.pluginmanager.register(Recorder(config), "spantree-recorder")
        return
    given = [name for name, value in (("--spantree-top", option.spantree_top != DEFAULT_TOP),
                                      ("--spantree-threshold", option.spantree_threshold is not None),
                                      ("--spantree-html", option.spantree_html is not None)) if value]
    if given:
        raise pytest.UsageError(f"{given[0]} needs --spantree")


class _Test:
    """One test's phases as pytest reported them, and its call phase's trace."""

    __slots__ = ("nodeid", "outcome", "setup", "call", "teardown", "tracer")

    def __init__(self, nodeid, tracer):
        self.nodeid, self.tracer = nodeid, tracer
        self.outcome = None
        self.setup = self.call = self.teardown = 0.0


class Recorder:
    """The active plugin: traces each test's call phase and keeps the
    `top` slowest traces (a heap), so memory stays bounded by what it shows."""

    def __init__(self, config):
        from .cli import DEFAULT_THRESHOLD

        option = config.option
        self.top = option.spantree_top
        self.threshold = option.spantree_threshold or DEFAULT_THRESHOLD
        self.html_dir = option.spantree_html
        self.running = {}  # nodeid: _Test, from its call phase to its teardown's report
        self.setups = {}  # nodeid: seconds, until the call phase starts
        self.slowest = []  # (call seconds, order, _Test), the `top` slowest
        self.order = 0
        self.aside = []  # (nodeid, why)

    @pytest.hookimpl(wrapper=True)
    def pytest_runtest_call(self, item):
        from .tracing import trace

        tracer = trace(self.threshold)
        tracer.gives_way = True
        test = _Test(item.nodeid, tracer)
        runtest = item.runtest

        def traced():
            try:
                tracer.__enter__()
            except RuntimeError as exc:
                test.tracer = None
                self.aside.append((item.nodeid, str(exc).partition(";")[0]))
                return runtest()
            try:
                return runtest()
            finally:
                tracer.__exit__(None, None, None)

        self.running[item.nodeid] = test
        test.setup = self.setups.pop(item.nodeid, 0.0)
        # pytest's own call phase calls item.runtest(): the trace covers that
        # call, from a plain function, and nothing of pytest around it.
        item.runtest = traced
        try:
            return (yield)
        finally:
            del item.runtest
            if tracer.gave_way:
                test.tracer = None
                self.aside.append((item.nodeid, "the test started a trace of its own"))
            elif tracer.hook_lost:
                test.tracer = None
                self.aside.append((item.nodeid, "the test installed a profiler of its own "
                                                f"(the plugin's hook was {tracer.hook_lost})"))

    def pytest_runtest_logreport(self, report):
        if report.when == "setup":
            self.setups[report.nodeid] = report.duration
            return
        test = self.running.get(report.nodeid)
        if test is None:
            self.setups.pop(report.nodeid, None)  # a test that never reached its call phase
            return
        if report.when == "call":
            test.call, test.outcome = report.duration, report.outcome
            return
        test.teardown = report.duration
        del self.running[report.nodeid]
        if test.tracer is None:
            return
        import heapq

        self.order += 1
        entry = (test.call, -self.order, test)
        if len(self.slowest) < self.top:
            heapq.heappush(self.slowest, entry)
        else:
            heapq.heappushpop(self.slowest, entry)

    def pytest_terminal_summary(self, terminalreporter):
        write = terminalreporter.write_line
        tests = [test for _, _, test in sorted(self.slowest, reverse=True)]
        terminalreporter.write_sep("=", f"spantree: the {len(tests)} slowest test{'s' * (len(tests) != 1)}"
                                   if tests else "spantree: no test traced")
        from .cli import _limit
        from .render import format_duration

        if tests:
            write(f"call phases traced, {_limit(tests[0].tracer)}; setup and teardown timed apart")
        import shutil

        screen = max(shutil.get_terminal_size((80, 24)).lines - 4, 8)
        for test in tests:
            write("")
            ns = {name: int(getattr(test, name) * 1e9) for name in ("setup", "call", "teardown")}
            write(f"{test.nodeid} {test.outcome}: call {format_duration(ns['call'])} "
                  f"(setup {format_duration(ns['setup'])}, teardown {format_duration(ns['teardown'])})")
            for line in _cut(_tree(test.tracer), screen):
                write(line)
        if self.aside:
            write("")
        for nodeid, why in self.aside:
            write(f"spantree stepped aside for {nodeid}: {why}")
        if self.html_dir and tests:
            write(f"spantree: wrote {_write_pages(tests, self.html_dir)}")


def _tree(tracer):
    import io

    from .cli import _limit
    from .views import read, write_tree

    threads = read(tracer)
    if not any(view.reader.count for view in threads):
        return [f"no records: no {_limit(tracer)}"]
    out = io.BytesIO()
    write_tree(threads, out)
    return out.getvalue().decode("utf-8", "replace").splitlines()


def _cut(lines, screen):
    """The first `screen` lines, the last one saying how many were left out."""
    if len(lines) <= screen:
        return lines
    left = len(lines) - screen + 1
    return lines[:screen - 1] + [f"… {left} more line{'s' * (left != 1)} (--spantree-html DIR shows the whole trace)"]


def _write_pages(tests, folder):
    import re

    from .cli import _limit
    from .html import html

    os.makedirs(folder, exist_ok=True)
    for rank, test in enumerate(tests, 1):
        name = re.sub(r"[^A-Za-z0-9_.-]+", "_", test.nodeid).strip("_")[:120]
        html(test.tracer, os.path.join(folder, f"{rank:02d}-{name}.html"),
             title=f"pytest {test.nodeid}", note=_limit(test.tracer))
    return f"{len(tests)} page{'s' * (len(tests) != 1)} to {folder}"
