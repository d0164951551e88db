"""The %spantree magics in terminal IPython and in a notebook executed by a
real kernel (ipykernel, driven by nbclient)."""

import html
import json
import os
import re
import sys

import pytest

from conftest import BUILD, ROOT, run_python

pytest.importorskip("IPython", reason="IPython is not installed for this interpreter")

FIB = "def fib(n):\n    return n if n < 2 else fib(n - 1) + fib(n - 2)"

TERMINAL = '''
import json, sys
from IPython.terminal.interactiveshell import TerminalInteractiveShell

sys.stderr = sys.stdout  # usage errors go to stderr: keep them in order
shell = TerminalInteractiveShell.instance(colors="nocolor")
for cell in json.loads(sys.argv[1]):
    print("=== " + cell.splitlines()[0], flush=True)
    shell.run_cell(cell, store_history=True)
    sys.stdout.flush()
'''


def run_terminal(cells, tmp_path):
    script = tmp_path / "shell.py"
    script.write_text(TERMINAL)
    import subprocess

    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]), IPYTHONDIR=str(tmp_path / "ipy"))
    proc = subprocess.run([sys.executable, str(script), json.dumps(cells)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    # The output of each cell, by its first line.
    return {head: body for head, body in re.findall(r"^=== (.*)\n((?:(?!=== ).*\n)*)", proc.stdout, re.M)}


def test_terminal_magics(tmp_path):
    out = run_terminal([
        "%load_ext spantree",
        FIB,
        "%spantree -v t fib(18)",
        "print(type(t).__name__, sorted({r.name for r in t.records}))",
        "%%spantree --threshold 1ms --format tree --main-thread\nx = fib(19)\ny = 2",
        "print('after the cell', x, y)",
        "import asyncio\nasync def work():\n    await asyncio.sleep(0.01)\n    return fib(15)",
        "%spantree -v a await work()",
        "print('awaited coroutine-aware:', a.coroutines, sorted({r.name for r in a.records}))",
        "%spantree 1/0",
        "%spantree --format html -o page.html fib(12)",
        "import spantree, sys\nwith spantree.trace():\n    %spantree fib(2)",
    ], tmp_path)
    assert out["%spantree -v t fib(18)"].startswith("spantree: fib(18): ")
    summary, _, tree = out["%spantree -v t fib(18)"].partition("\n\n")
    assert re.search(r"^ +\d+ .* fib  <ipython-input-\d+-\w+>:1$", summary, re.M)
    assert re.search(r"^ .*100\.0%  <module>  .*\n.*  fib  <ipython-input", tree, re.M)
    assert out["print(type(t).__name__, sorted({r.name for r in t.records}))"] == "trace ['<module>', 'fib']\n"
    cell = out["%%spantree --threshold 1ms --format tree --main-thread"]
    assert cell.startswith("spantree: cell: ") and "calls of at least 1.00 ms" in cell and "thread" not in cell
    assert out["print('after the cell', x, y)"] == "after the cell 4181 2\n"
    assert "coroutine-aware" in out["%spantree -v a await work()"]
    assert "[await]" in out["%spantree -v a await work()"]
    assert out["print('awaited coroutine-aware:', a.coroutines, sorted({r.name for r in a.records}))"] == (
        "awaited coroutine-aware: True ['<module>', '[await]', 'fib', 'sleep', 'work']\n")
    # A failing statement: its trace, then its own error, with its line.
    failed = out["%spantree 1/0"]
    assert failed.index("spantree: 1/0") < failed.index("ZeroDivisionError")
    assert "----> 1 1/0" in failed
    assert out["%spantree --format html -o page.html fib(12)"] == "spantree: wrote the html trace to page.html\n"
    assert (tmp_path / "page.html").read_text().startswith("<!DOCTYPE html>")
    assert "UsageError: this thread already has a profile function" in out["import spantree, sys"]


USAGE_ERRORS = [
    ("%spantree --bogus 1", "UsageError: option --bogus not recognized"),
    ("%spantree --depth x fib(2)", "UsageError: argument --depth: invalid int value: 'x'"),
    ("%spantree --threshold 1ms --depth 2 fib(2)", "UsageError: give --threshold or --depth, not both"),
    ("%spantree --threshold 5xs fib(2)", "UsageError: bad threshold '5xs'"),
    ("%spantree --format nope fib(2)", "UsageError: --format must be one of summary, tree, perfetto"),
    ("%spantree", "UsageError: nothing to trace"),
    ("%spantree -v 1x fib(2)", "UsageError: -v takes a variable name, not '1x'"),
    ("%spantree -o /no/such/dir/x.html --format html fib(2)", "UsageError: can't write '/no/such/dir/x.html'"),
]


def test_terminal_usage_errors(tmp_path):
    out = run_terminal(["%load_ext spantree", FIB, *(line for line, _ in USAGE_ERRORS)], tmp_path)
    for line, error in USAGE_ERRORS:
        assert out[line].startswith(error), out[line]
        assert "Traceback" not in out[line]


def test_frame_escapes_the_page():
    code = '''
        from spantree.ipython import inline_frame
        page = '<p title="a&amp;b">it\\'s <b>\\u00e9</b></p><script>x = "</iframe>"</script>'
        frame = inline_frame(page)
        import html, re
        found = re.fullmatch(r'<iframe srcdoc="([^"]*)" sandbox="allow-scripts" [^<>]*></iframe>', frame)
        assert found and html.unescape(found.group(1)) == page, frame
    '''
    run_python(code, env={"PYTHONPATH": os.pathsep.join([str(BUILD), str(ROOT)])})


# Under the sanitizers the kernel's own libraries (zmq's context among them)
# leave a few allocations at its exit; leaks of ours are checked in process.
KERNEL_SANITIZER = ({"ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"}
                    if "ASAN_OPTIONS" in os.environ else {})


@pytest.fixture
def kernel_name(tmp_path, monkeypatch):
    """A kernel description that runs this interpreter with the built modules."""
    for module in ("nbclient", "nbformat", "ipykernel", "zmq"):
        pytest.importorskip(module, exc_type=ImportError,
                            reason=f"{module} does not import on Python {sys.version_info[0]}.{sys.version_info[1]} here")
    kernel_dir = tmp_path / "jupyter" / "kernels" / "spantree-test"
    kernel_dir.mkdir(parents=True)
    kernel_dir.joinpath("kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "spantree test", "language": "python",
        "env": {"PYTHONPATH": os.pathsep.join([str(BUILD), str(ROOT)]), "IPYTHONDIR": str(tmp_path / "ipy"),
                **KERNEL_SANITIZER},
    }))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path / "jupyter"))
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path / "runtime"))
    monkeypatch.setenv("JUPYTER_DATA_DIR", str(tmp_path / "data"))
    monkeypatch.setenv("JUPYTER_PLATFORM_DIRS", "1")
    return "spantree-test"


def test_notebook_magics(kernel_name, tmp_path):
    import nbformat
    from nbclient import NotebookClient

    cells = [
        "%load_ext spantree",
        FIB,
        "%%spantree -v t --main-thread\nfib(17)",
        "print(len(t.threads), sorted({r.name for r in t.records}))",
        "%spantree --format summary fib(16)",
        "import asyncio\n%spantree await asyncio.sleep(0)",
        "%spantree --depth 0 fib(2)",
    ]
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(c) for c in cells])
    NotebookClient(notebook, kernel_name=kernel_name, timeout=120, allow_errors=True,
                   resources={"metadata": {"path": str(tmp_path)}}).execute()
    outputs = [cell.outputs for cell in notebook.cells]

    # The page, inline: an iframe whose srcdoc is the whole page, nothing fetched from elsewhere.
    (shown,) = outputs[2]
    frame = shown["data"]["text/html"]
    page = html.unescape(re.fullmatch(r'<iframe srcdoc="([^"]*)" sandbox="allow-scripts" [^<>]*></iframe>',
                                      frame).group(1))
    assert page.startswith("<!DOCTYPE html>") and "spantree: cell" in page
    assert not re.search(r"""(src|href)=["']?(https?:)?//""", page)
    data = json.loads(re.search(r'<script type="application/json" id="spantree-data">(.*?)</script>',
                                page, re.S).group(1))
    assert "fib" in data["strings"]
    assert outputs[3][0]["text"] == "1 ['<module>', 'fib']\n"
    summary = outputs[4][0]["text"]
    assert summary.startswith("spantree: fib(16): ") and re.search(r"  fib  .*:1$", summary, re.M)
    # Usage errors in IPython's own style: one line on the cell's stderr.
    assert [(o["name"], o["text"].partition(":")[0]) for o in outputs[5] + outputs[6]] == [
        ("stderr", "UsageError")] * 2
    assert "use spantree.trace(coroutines=True) inside the coroutine" in outputs[5][0]["text"]
    assert "depth must be at least 1" in outputs[6][0]["text"]
