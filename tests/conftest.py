"""Puts the built modules on sys.path and offers helpers shared by the tests."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("SPANTREE_BUILD", ROOT / "build" / "release"))
sys.path.insert(0, str(BUILD))


def run_python(code, *, env=None, timeout=120, check=True):
    """Runs `code` in a fresh interpreter that sees the built modules.

    Returns the CompletedProcess; with check, a non-zero exit fails the test
    and shows what the child printed.
    """
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = os.pathsep.join(
        [str(BUILD), str(ROOT / "tests")] + ([child_env["PYTHONPATH"]] if child_env.get("PYTHONPATH") else [])
    )
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
