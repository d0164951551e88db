"""Puts the built modules and the package on sys.path, and offers the set-up
the tests share: child interpreters that see them, and the browser."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TESTS = ROOT / "tests"
BUILD = pathlib.Path(os.environ.get("SPANTREE_BUILD", ROOT / "build" / "release"))
# The built native modules and the package's sources, ahead of anything
# installed; the tests' own helpers and models import from TESTS.
sys.path[:0] = [str(BUILD), str(ROOT), str(TESTS)]


def package_env(*extra):
    """os.environ with PYTHONPATH naming, in order, the built modules, the
    package and the directories `extra`: what a child interpreter sees."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, (BUILD, ROOT, *extra))))


def run_python(code, *, env=None, timeout=120, check=True):
    """Runs `code` in a fresh interpreter that sees the built modules, the
    package and the tests' helpers.

    Returns the CompletedProcess; with check, a non-zero exit fails the test
    and shows what the child printed.
    """
    child_env = package_env(TESTS, *filter(None, [os.environ.get("PYTHONPATH")]))
    if env:
        child_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env, capture_output=True, text=True, timeout=timeout,
    )
    if check and proc.returncode != 0:
        pytest.fail(
            f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
        )
    return proc


@pytest.fixture
def subprocess_python():
    return run_python


@pytest.fixture(scope="session")
def browser(tmp_path_factory):
    """One headless Chromium with one page for the whole run (tests/browser.py);
    a test that takes it is skipped, saying why, where none can be had."""
    from browser import Browser, BrowserError, find_chromium

    try:
        executable = find_chromium()
    except BrowserError as error:
        pytest.skip(str(error))
    directory = tmp_path_factory.mktemp("chromium")
    opened = Browser(executable, directory / "profile", directory / "browser.log")
    yield opened
    opened.close()
