"""The grouped tree: imports as one line, library internals folded into the
call the program made, recursion folded, siblings heaviest first; the
summary's split of the trace and the self-time legend. Hand-made traces, the
files classed as Python would class them."""

import array
import io
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import ROOT

sys.path.insert(0, str(ROOT))
import spantree_reader_C  # noqa: E402
from spantree import ThreadTrace, views  # noqa: E402

BOOT, EXTERNAL = "<frozen importlib._bootstrap>", "<frozen importlib._bootstrap_external>"
# path: (class, label, module); classes 0 own, 1 library, 2 built-in, 3 import machinery.
FILES = {
    "/app/app.py": (0, "app.py", ""),
    "/app/helpers.py": (0, "helpers.py", "helpers"),
    BOOT: (3, BOOT, "importlib._bootstrap"),
    EXTERNAL: (3, EXTERNAL, "importlib._bootstrap_external"),
    "<built-in>": (2, "<built-in>", ""),
    "/lib/json/__init__.py": (1, "json/__init__.py", "json"),
    "/lib/json/decoder.py": (1, "json/decoder.py", "json.decoder"),
    "/lib/json/scanner.py": (1, "json/scanner.py", "json.scanner"),
    "/lib/statistics.py": (1, "statistics.py", "statistics"),
    "/lib/fractions.py": (1, "fractions.py", "fractions"),
    "/lib/_ext.so": (1, "_ext.so", ""),
    "/lib/a/util.py": (1, "a/util.py", "a.util"),
    "/lib/b/util.py": (1, "b/util.py", "b.util"),
}


def call(name, file, line, ns, *children):
    return (name, file, line, ns, children)


def builtin(name, ns, *children):
    return (name, "<built-in>", 0, ns, children)


def own(name, line, ns, *children):
    return call(name, "/app/app.py", line, ns, *children)


def records_of(*roots):
    """Records of call trees (name, file, line, ns, children), indices in pre-order."""
    records, clock = [], [0]

    def walk(node, parent):
        name, file, line, ns, children = node
        index = len(records)
        records.append(None)
        start = clock[0]
        for child in children:
            walk(child, index)
        records[index] = f"{name}\x00{file}\x00{line}\x01{start}\x01{ns}\x01{parent}"
        clock[0] += 1

    for root in roots:
        walk(root, -1)
    return records


def reader_of(records, files=FILES):
    reader = spantree_reader_C.Reader(records)
    names = reader.files()
    reader.set_files(bytes(files[f][0] for f in names), [files[f][1] for f in names], [files[f][2] for f in names])
    return reader


def text_of(write):
    out = io.BytesIO()
    write(out.write)
    return out.getvalue().decode()


def tree(records, mode=0):
    """The labels of the tree's lines (mode 0 grouped, 2 every frame), indented."""
    text = text_of(lambda w: reader_of(records).write_tree(w, 0, 0.0, mode))
    return [line[30:] for line in text.splitlines()]


def imported(module_file, ns, *body):
    """The machinery of one import, as CPython runs it, down to the module's body."""
    return call("_find_and_load", BOOT, 1, ns, call("_find_and_load_unlocked", BOOT, 2, ns - 1, call(
        "_load_unlocked", BOOT, 3, ns - 2, call("exec_module", EXTERNAL, 4, ns - 3, call(
            "_call_with_frames_removed", BOOT, 5, ns - 4, builtin("exec", ns - 5, call(
                "<module>", module_file, 1, ns - 6, *body)))))))


def chain(names, ns):
    """A chain of own calls, each 10 ns longer than the next."""
    node = None
    for depth, name in reversed(list(enumerate(names))):
        node = own(name, 10 + "fghi".index(name), ns + 10 * (len(names) - depth), *(() if node is None else (node,)))
    return node


CASES = {
    "imports nested three deep, the body's own calls under its import": (
        own("<module>", 1, 1000, imported("/lib/json/__init__.py", 300, imported("/lib/json/decoder.py", 200, imported(
            "/lib/json/scanner.py", 100, call("compile", "/lib/json/scanner.py", 9, 20)))), own("main", 10, 600)),
        ["<module>  app.py:1",
         "  main  app.py:10",
         "  import json",
         "    import json.decoder",
         "      import json.scanner"]),
    "an import without a body names a file below it, or says so": (
        own("<module>", 1, 1000, call("_find_and_load", BOOT, 1, 300, call("loader", "/lib/_ext.so", 3, 200)),
            call("_find_and_load", BOOT, 1, 100, builtin("create_dynamic", 90))),
        ["<module>  app.py:1",
         "  import  _ext.so",
         "  import (module not recorded)"]),
    "a library chain leads back to own code through a callback": (
        own("main", 10, 1000, call("loads", "/lib/json/__init__.py", 299, 800, call(
            "decode", "/lib/json/decoder.py", 333, 790, call("raw_decode", "/lib/json/decoder.py", 344, 780, call(
                "hook", "/app/app.py", 5, 100), builtin("scanstring", 500)))), builtin("len", 50)),
        ["main  app.py:10",
         "  loads  json/__init__.py:299  (+3 frames, hottest scanstring  <built-in>)",
         "    hook  app.py:5",
         "  len  <built-in>"]),
    "library code that leads to no own code is one line": (
        own("main", 10, 1000, call("mean", "/lib/statistics.py", 470, 900, call(
            "_sum", "/lib/statistics.py", 150, 800, *[call("__add__", "/lib/fractions.py", 600, 70) for _ in range(10)]))),
        ["main  app.py:10",
         "  mean  statistics.py:470  (+11 frames, hottest _sum  statistics.py:150)"]),
    "direct recursion is one line": (
        chain("fffff", 100),
        ["f  app.py:10  recursive, 5 deep"]),
    "mutual recursion of two is one line": (
        chain("fgfgfgfg", 100),
        ["f  app.py:10  recursive, 4 deep"]),
    "a cycle of three repeated three times is one line": (
        chain("fghfghfgh", 100),
        ["f  app.py:10  recursive, 3 deep"]),
    "a cycle of four does not fold": (
        chain("fghifghifghi", 100),
        [f"{'  ' * depth}{name}  app.py:{10 + 'fghi'.index(name)}" for depth, name in enumerate("fghifghifghi")]),
    "two calls do not make a recursion": (
        chain("ff", 100),
        ["f  app.py:10", "  f  app.py:10"]),
    "recursion through a library folds": (
        own("f", 10, 1000, call("map", "/lib/statistics.py", 1, 900, own("f", 10, 800, call(
            "map", "/lib/statistics.py", 1, 700, own("f", 10, 600, call("map", "/lib/statistics.py", 1, 500, own(
                "f", 10, 400, call("map", "/lib/statistics.py", 1, 300)))))))),
        ["f  app.py:10  recursive, 4 deep"]),
    "one base name in two packages keeps two labels": (
        own("main", 10, 1000, call("load", "/lib/a/util.py", 1, 300), call("load", "/lib/b/util.py", 1, 600)),
        ["main  app.py:10",
         "  load  b/util.py:1",
         "  load  a/util.py:1"]),
}


@pytest.mark.parametrize("case", CASES)
def test_grouped_tree(case):
    root, expected = CASES[case]
    assert tree(records_of(root)) == expected


def summary_lines(records, **options):
    reader = reader_of(records)
    view = views.ThreadView(ThreadTrace("t", 1, records), reader)
    return views.summary([view], **options).splitlines()


IMPORTS_AND_WORK = own("<module>", 1, 1000, imported("/lib/json/__init__.py", 300, imported(
    "/lib/json/decoder.py", 200, own("helper", 30, 50))), own("main", 10, 600, call(
        "mean", "/lib/statistics.py", 470, 400, builtin("sum", 300)), builtin("len", 100)))


def test_summary_splits_the_trace_and_shows_imports_as_rows():
    lines = summary_lines(records_of(IMPORTS_AND_WORK))
    # Time under an import is import time, the own helper an import ran included.
    assert lines[0] == ("time in imports 300 ns (30.0%), own code 200 ns (20.0%), libraries 100 ns (10.0%), "
                        "built-ins 400 ns (40.0%)")
    rows = [line[54:] for line in lines[3:]]
    # A library call holds the frames it hides; an import, its machinery and body.
    assert rows[:2] == ["mean  statistics.py:470", "import json.decoder"]
    assert lines[3].split()[:5] == ["1", "400", "ns", "400", "ns"]
    assert {"import json", "helper  app.py:30", "len  <built-in>"} <= set(rows)
    assert not [row for row in rows if "frozen" in row or "exec" in row]
    # Every function, machinery included, on request.
    every = [line[54:] for line in summary_lines(records_of(IMPORTS_AND_WORK), show_all=True)[3:]]
    assert "_find_and_load  <frozen importlib._bootstrap>:1" in every and "import json" not in every


@pytest.mark.parametrize("settings, legend", [
    ({"threshold_ns": 0}, None),
    ({"threshold_ns": 100_000}, "self*: includes the calls shorter than 100.0 us, which the trace leaves out"),
    ({"depth": 3}, "self*: includes the calls deeper than 3 levels, which the trace leaves out"),
])
def test_self_time_is_marked_where_it_holds_calls_the_trace_left_out(settings, legend):
    records = records_of(IMPORTS_AND_WORK)
    lines = summary_lines(records, **settings)
    view = views.ThreadView(ThreadTrace("t", 1, records), reader_of(records))
    out = io.BytesIO()
    views.write_tree([view], out, **settings)
    tree_lines = out.getvalue().decode().splitlines()
    if legend is None:
        assert not [line for line in lines + tree_lines if "self*" in line]
        assert lines[2].split()[2] == "self" and tree_lines[0].split()[1] == "self"
    else:
        assert lines[2] == legend and tree_lines[0] == legend
        assert lines[3].split()[2] == "self*" and tree_lines[1].split()[1] == "self*"


COLUMNS = {"depth": "I", "kind": "B", "cls": "B", "name": "I", "file": "I", "line": "q", "count": "I", "total": "q",
           "self": "q", "longest": "q", "hidden": "I", "deep": "I", "hot_name": "I", "hot_file": "I", "hot_line": "q"}
NAMES = st.sampled_from(["f", "g", "h", "_find_and_load", "<module>", "exec"])


@st.composite
def call_trees(draw, ns=None, depth=0):
    """A call tree whose children fit in their caller's time, over every class of file."""
    ns = draw(st.integers(0, 10_000)) if ns is None else ns
    file = draw(st.sampled_from(sorted(FILES)))
    name = draw(NAMES)
    line = 0 if file == "<built-in>" else draw(st.integers(1, 3))
    children, left = [], ns
    for _ in range(draw(st.integers(0, 3)) if depth < 7 else 0):
        part = draw(st.integers(0, left))
        left -= part
        children.append(draw(call_trees(part, depth + 1)))
    return (name, file, line, ns, tuple(children))


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(call_trees(), min_size=1, max_size=3), st.booleans())
def test_grouping_keeps_every_nanosecond(roots, grouping):
    records = records_of(*roots)
    reader = reader_of(records)
    top = reader.top_ns
    assert sum(reader.split().values()) == top
    columns = {name: array.array(COLUMNS[name], data) for name, data in reader.grouped(grouping=grouping).items()}
    assert sum(columns["self"]) == top
    assert sum(t for t, d in zip(columns["total"], columns["depth"]) if d == 0) == top
    # A line's children fit in it: the lines are a tree of the trace's time.
    depth, total = columns["depth"], columns["total"]
    for i in range(len(depth)):
        inner = 0
        for j in range(i + 1, len(depth)):
            if depth[j] <= depth[i]:
                break
            inner += total[j] if depth[j] == depth[i] + 1 else 0
        assert inner + columns["self"][i] == total[i]
    summary = sum(row[6] for row in reader.functions(grouped=True))
    assert summary == top
    assert all(s in range(4) for s in columns["cls"])
