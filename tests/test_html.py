"""The HTML view: the columnar data behind it, the page that carries it, and
the page opened in headless Chromium and checked through its own script.

The browser comes from tools/chromium (Debian's package, installed when
missing); the browser tests are skipped, saying why, only where it cannot be
had. SPANTREE_UPDATE_DOCS=1 also writes the example's screenshot to
docs/html-view.png for the README.
"""

import array
import base64
import io
import json
import os
import random
import re
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from browser import Browser
from conftest import BUILD, ROOT
from record_model import decode as model_decode
from test_reader import record_lists

sys.path.insert(0, str(ROOT))
from spantree import ThreadTrace  # noqa: E402
from spantree.html import KINDS, UNKNOWN_NAME, html, page_data  # noqa: E402
from spantree.html import _encode_column as encode_column  # noqa: E402
from spantree.origins import Origins  # noqa: E402

MS = 1_000_000
BASE = 1_700_000_000 * 1_000_000_000


def record(name, file, line, start_ms, duration_ns, parent):
    return f"{name}\x00{file}\x00{line}\x01{BASE + int(start_ms * MS)}\x01{duration_ns}\x01{parent}"


# The main thread's coroutine-aware trace: every kind of record, an index that
# holds none (a call open at the end, so `late` hangs under a placeholder) and a
# negative duration.
MAIN = [
    record("main", "/srv/app.py", 10, 0, 30 * MS, -1),
    record("fetch", "/srv/app.py", 5, 1, 20 * MS, 0),
    record("len", "<built-in>", 0, 1.5, 1000, 1),
    record("[await]", "", 0, 2, 18 * MS, 1),
    None,
    record("late", "/srv/app.py", 20, 25, 2 * MS, 4),
    record("clock", "/srv/app.py", 30, 28, -500, 0),
]
# A worker thread that starts later, with recursion.
WORKER = [
    record("walk", "/srv/tree.py", 3, 5, 10 * MS, -1),
    record("walk", "/srv/tree.py", 3, 6, 6 * MS, 0),
    record("leaf", "/srv/tree.py", 9, 7, 1 * MS, 1),
    record("leaf", "/srv/tree.py", 9, 13, 1 * MS, 0),
]
THREADS = [ThreadTrace("MainThread", 101, MAIN, True), ThreadTrace("worker", 202, WORKER)]

# (thread, depth, name, kind, start ms after the first record, duration ns) in pre-order.
CALLS = [
    (0, 0, "main", "coroutine", 0, 30 * MS), (0, 1, "fetch", "coroutine", 1, 20 * MS),
    (0, 2, "len", "built-in", 1.5, 1000), (0, 2, "[await]", "await", 2, 18 * MS),
    (0, 1, "clock", "call", 28, -500), (0, 0, "[unknown]", "unknown", 25, 2 * MS),
    (0, 1, "late", "call", 25, 2 * MS),
    (1, 0, "walk", "call", 5, 10 * MS), (1, 1, "walk", "call", 6, 6 * MS),
    (1, 2, "leaf", "call", 7, 1 * MS), (1, 1, "leaf", "call", 13, 1 * MS),
]
# name, where, calls, total, self, longest (ns), by self time. The recursive
# walk counts its 10 ms once in total; main's self time takes nothing off for
# the clock's negative duration; waits are their own row.
SUMMARY = [
    ("[await]", "", 0, 1, 18 * MS, 18 * MS, 18 * MS),
    ("main", "/srv/app.py", 10, 1, 30 * MS, 10 * MS, 30 * MS),
    ("walk", "/srv/tree.py", 3, 2, 10 * MS, 8 * MS, 10 * MS),
    ("late", "/srv/app.py", 20, 1, 2 * MS, 2 * MS, 2 * MS),
    ("leaf", "/srv/tree.py", 9, 2, 2 * MS, 2 * MS, 1 * MS),
    ("fetch", "/srv/app.py", 5, 1, 20 * MS, 2 * MS - 1000, 20 * MS),
    ("len", "<built-in>", 0, 1, 1000, 1000, 1000),
    ("clock", "/srv/app.py", 30, 1, 0, 0, 0),
]


def calls_of(data):
    strings = data["strings"]
    rows = []
    for number, thread in enumerate(data["threads"]):
        c = thread["columns"]
        rows += [(number, c["depth"][i], strings[c["name"][i]], KINDS[c["kind"][i]], c["start"][i] / MS,
                  c["duration"][i]) for i in range(len(c["start"]))]
    return rows


def test_page_data_holds_every_call_in_pre_order_on_one_time_axis():
    data = page_data(THREADS)
    assert data["base_ns"] == BASE
    assert calls_of(data) == CALLS
    assert [(t["name"], t["native_id"], t["coroutines"]) for t in data["threads"]] == [
        ("MainThread", 101, True), ("worker", 202, False)]
    lines = [data["strings"][i] + f":{line}" for t in data["threads"]
             for i, line in zip(t["columns"]["file"], t["columns"]["line"])]
    assert lines[:4] == ["/srv/app.py:10", "/srv/app.py:5", "<built-in>:0", ":0"]
    # Names and files are shared: each string is stored once.
    assert len(data["strings"]) == len(set(data["strings"])) == 9 + 4


def test_summary_counts_recursion_once_and_negative_durations_as_nothing():
    data = page_data(THREADS)
    s, strings = data["summary"], data["strings"]
    rows = [(strings[s["name"][i]], strings[s["file"][i]], s["line"][i], s["calls"][i], s["total"][i],
             s["self"][i], s["longest"][i]) for i in range(len(s["calls"]))]
    assert rows == SUMMARY
    assert [KINDS[k] for k in s["kind"]] == ["await", "coroutine", "call", "call", "call", "coroutine",
                                             "built-in", "call"]


def test_page_data_of_nothing():
    data = page_data([])
    assert (data["strings"], data["base_ns"], data["threads"]) == ([], 0, [])
    assert all(len(column) == 0 for column in data["summary"].values())
    (thread,) = page_data([ThreadTrace("T", 1, [None, None])])["threads"]
    assert all(len(column) == 0 for column in thread["columns"].values())


def model_page_data(threads):
    """page_data computed record by record from the pure-Python decoder's tree."""
    strings, ids = [], {}

    def intern(text):
        if text not in ids:
            ids[text] = len(strings)
            strings.append(text)
        return ids[text]

    trees = [model_decode(thread.records, coroutines=thread.coroutines) for thread in threads]
    files = list(dict.fromkeys(r.file for tree in trees for r in tree.records if r is not None))
    label = dict(zip(files, Origins.now().describe(files)[1]))
    base_ns = min((r.start_ns for tree in trees for r in tree.records if r is not None), default=0)
    functions, out = {}, []
    for thread, tree in zip(threads, trees):
        columns = {name: [] for name in ("start", "duration", "depth", "name", "file", "line", "kind")}
        path, open_calls = [], {}  # the function of each open call by depth; open calls by function
        for node, depth in tree.walk():
            while len(path) > depth:
                key = path.pop()
                if key is not None:
                    open_calls[key] -= 1
            record = node.record
            if record is None:
                start = min(c.record.start_ns for c in node.children)
                duration = max(c.record.end_ns for c in node.children) - start
                values, key = (UNKNOWN_NAME, "", 0, KINDS.index("unknown")), None
            else:
                start, duration = record.start_ns, record.duration_ns
                key = (record.name, label[record.file], record.line)
                values = (*key, KINDS.index(record.kind))
                row = functions.setdefault(key, [values[3], 0, 0, 0, 0])
                if record.kind == "coroutine":
                    row[0] = values[3]
                clamped = max(duration, 0)
                row[1] += 1
                row[2] += 0 if open_calls.get(key) else clamped
                row[3] += max(clamped - sum(max(c.record.duration_ns, 0) for c in node.children), 0)
                row[4] = max(row[4], clamped)
                open_calls[key] = open_calls.get(key, 0) + 1
            path.append(key)
            for column, value in zip(columns, (start - base_ns, duration, depth, intern(values[0]),
                                               intern(values[1]), values[2], values[3])):
                columns[column].append(value)
        out.append({"name": thread.name, "native_id": thread.native_id, "coroutines": bool(thread.coroutines),
                    "columns": columns})
    ranked = sorted(functions.items(), key=lambda item: (-item[1][3], item[0]))
    summary = {column: [] for column in ("name", "file", "line", "kind", "calls", "total", "self", "longest")}
    for (name, file, line), row in ranked:
        for column, value in zip(summary, (intern(name), intern(file), line, *row)):
            summary[column].append(value)
    return {"strings": strings, "base_ns": base_ns, "threads": out, "summary": summary}


def as_lists(data):
    """page_data with its arrays as lists, to compare with the model's, less the grouping."""
    return {"strings": data["strings"][:len(strings_of_calls(data))], "base_ns": data["base_ns"],
            "summary": {k: list(v) for k, v in data["summary"].items()},
            "threads": [{**{k: v for k, v in t.items() if k != "grouped"},
                         "columns": {k: list(v) for k, v in t["columns"].items()}} for t in data["threads"]]}


def strings_of_calls(data):
    """The strings the calls' columns use: the first ones in the table."""
    used = {i for t in data["threads"] for column in ("name", "file") for i in t["columns"][column]}
    return data["strings"][:max(used, default=-1) + 1]


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(record_lists(numbers=st.integers(-(10**12), 10**13)), st.booleans()), max_size=3))
def test_page_data_agrees_with_the_decoded_tree_on_any_threads(threads):
    threads = [ThreadTrace(f"T{n}", n, records, coroutines) for n, (records, coroutines) in enumerate(threads)]
    assert as_lists(page_data(threads)) == model_page_data(threads)


def test_a_placeholder_spans_its_children_beyond_64_bit_ends():
    top = 2**63 - 100
    records = [None, f"a\x00/a.py\x001\x01{top - 50}\x01200\x010", f"b\x00/b.py\x002\x01{top}\x01-7\x010"]
    columns = page_data([ThreadTrace("T", 1, records)])["threads"][0]["columns"]
    assert list(columns["start"]) == [0, 0, 50] and list(columns["duration"]) == [200, 200, -7]


def test_starts_too_far_apart_for_the_page_are_a_clear_error():
    records = [f"a\x00/a.py\x001\x01{-(2**62)}\x011\x01-1", f"b\x00/b.py\x001\x01{2**62}\x011\x01-1"]
    with pytest.raises(ValueError, match=r"record 1 starts 2\*\*63 ns or more away"):
        page_data([ThreadTrace("T", 1, records)])


@pytest.mark.parametrize("values, kind", [
    ([], "u8"), ([0, 255], "u8"), ([0, 256], "u16"), ([0, 65536], "i32"), ([-1, 5], "i32"),
    ([0, 2**31], "u32"), ([-2**31 - 1, 0], "f64"), ([0, 2**40], "f64"), ([-2**53, 2**53], "f64"),
])
def test_columns_take_the_narrowest_array_that_holds_them_exactly(values, kind):
    encoded = encode_column(array.array("q", values))
    assert encoded["type"] == kind
    decoded = array.array({"u8": "B", "u16": "H", "i32": "i", "u32": "I", "f64": "d"}[kind])
    decoded.frombytes(base64.b64decode(encoded["data"]))
    if sys.byteorder == "big":
        decoded.byteswap()
    assert list(decoded) == values


def test_a_value_beyond_exact_doubles_is_refused():
    with pytest.raises(ValueError, match="too large"):
        encode_column(array.array("q", [0, 2**53 + 1]))


HOSTILE = "</script><script>window.pwned = 1</script><!-- \u2028 \U0001f600"


def embedded(page):
    """The JSON data carried by a page."""
    match = re.search(r'<script type="application/json" id="spantree-data">(.*?)</script>', page, re.S)
    return json.loads(match[1])


def test_page_is_the_same_returned_or_written_to_a_path_or_a_text_or_binary_file(tmp_path):
    page = html(THREADS, title="a <b> & c", note="calls of at least 1 us")
    assert html(THREADS, tmp_path / "a.html", title="a <b> & c", note="calls of at least 1 us") is None
    with open(tmp_path / "b.html", "w", encoding="utf-8") as file:
        html(THREADS, file, title="a <b> & c", note="calls of at least 1 us")
    binary = io.BytesIO()
    html(THREADS, binary, title="a <b> & c", note="calls of at least 1 us")
    assert (tmp_path / "a.html").read_text(encoding="utf-8") == (tmp_path / "b.html").read_text(
        encoding="utf-8") == binary.getvalue().decode("utf-8") == page
    assert "<title>a &lt;b&gt; &amp; c</title>" in page
    assert not re.search(r"<!--(title|style|script|data)-->", page)
    data = embedded(page)
    assert (data["title"], data["note"], data["kinds"]) == ("a <b> & c", "calls of at least 1 us", list(KINDS))


def test_names_cannot_break_out_of_the_page():
    page = html([ThreadTrace("Main</script>", 1, [f"{HOSTILE}\x00/x.py\x001\x0110\x0120\x01-1"])])
    # Two script elements, each closed once: the data's and the viewer's.
    assert page.count("</script") == 2 and page.count("<script") == 2
    data = embedded(page)
    assert HOSTILE in data["strings"] and data["threads"][0]["name"] == "Main</script>"


def test_page_needs_nothing_from_outside():
    page = html(THREADS)
    assert not re.search(r"""(src|href)\s*=|@import|url\(|https?://""", page)


# ---------------------------------------------------------------------------
# In the browser


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    found = subprocess.run([str(ROOT / "tools" / "chromium")], capture_output=True, text=True, env=env,
                           timeout=1200)
    if found.returncode != 0:
        pytest.skip(f"headless Chromium cannot be had here: {found.stderr.strip()}")
    directory = tmp_path_factory.mktemp("chromium")
    opened = Browser(found.stdout.strip(), directory / "profile", directory / "browser.log")
    yield opened
    opened.close()


def open_page(browser, path):
    """Opens a page, checks that it started cleanly and fetched nothing; returns the seconds taken."""
    seconds = browser.open(path.as_uri())
    assert browser.evaluate("spantree.error") is None
    assert browser.requests() == [path.as_uri()]
    return seconds


def canvas_point(browser, canvas_id, x, y):
    """Viewport coordinates of a point given in a canvas's own coordinates,
    the canvas scrolled into view first."""
    box = browser.evaluate(f"""(canvas => {{
        canvas.scrollIntoView({{block: "nearest"}});
        const b = canvas.getBoundingClientRect();
        return [b.left, b.top];
    }})(document.getElementById('{canvas_id}'))""")
    return box[0] + x, box[1] + y


def click_bar(browser, bar, clicks=1):
    browser.click(*canvas_point(browser, "timeline", bar["x"] + bar["w"] / 2, bar["y"] + 8), clicks)


def click_frame(browser, frame):
    browser.click(*canvas_point(browser, "flame", frame["x"] + frame["w"] / 2, frame["y"] + 8))


def table_rows(browser):
    return browser.evaluate(
        "[...document.querySelectorAll('#summary tbody tr')].map(tr => [...tr.cells].map(td => td.textContent))")


def click_element(browser, selector):
    x, y = browser.evaluate(
        f"(b => [b.left + b.width / 2, b.top + b.height / 2])(document.querySelector({json.dumps(selector)})"
        ".getBoundingClientRect())")
    browser.click(x, y)


def view_span(browser):
    view = browser.evaluate("spantree.timeline.view()")
    return view["t1"] - view["t0"]


def test_known_trace_shows_its_lanes_bars_and_table(browser, tmp_path):
    page = tmp_path / "known.html"
    html(THREADS, page, title="known")
    open_page(browser, page)
    lanes = browser.evaluate("spantree.timeline.lanes()")
    assert [(lane["name"], lane["nativeId"], lane["calls"], lane["depth"]) for lane in lanes] == [
        ("MainThread", 101, 7, 3), ("worker", 202, 4, 3)]
    bars = browser.evaluate("spantree.timeline.bars()")
    assert sorted((b["lane"], b["depth"], b["name"], b["kind"]) for b in bars) == sorted(c[:4] for c in CALLS)
    # The whole trace spans 30 ms from main's start: bars sit where their times say.
    width = browser.evaluate("spantree.timeline.view().width")
    for bar in bars:
        (_, _, _, _, start, duration), = [c for c in CALLS if c[:3] == (bar["lane"], bar["depth"], bar["name"])
                                          and abs(c[4] * width / 30 - bar["x"]) < 1]
        assert bar["w"] == pytest.approx(max(max(duration, 0) * width / (30 * MS), 1), abs=0.5)
    assert [row[0] for row in table_rows(browser)] == [row[0] for row in SUMMARY]
    assert table_rows(browser)[2] == ["walk", "/srv/tree.py:3", "2", "10.0 ms", "8.00 ms", "10.0 ms", "19.0%"]
    browser.screenshot(tmp_path / "known.png")
    assert (tmp_path / "known.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_click_on_a_bar_tells_what_it_is_and_a_double_click_zooms_to_it(browser, tmp_path):
    page = tmp_path / "known.html"
    html(THREADS, page)
    open_page(browser, page)
    bars = {b["name"]: b for b in browser.evaluate("spantree.timeline.bars()")}
    click_bar(browser, bars["fetch"])
    details = browser.evaluate("document.getElementById('details').textContent")
    assert details.splitlines()[:4] == ["fetch  (coroutine)", "/srv/app.py:5", "duration 20.0 ms, self 2.00 ms",
                                        "share 66.7% of main, 62.5% of the thread's time"]
    browser.mouse("mouseMoved", *canvas_point(browser, "timeline", bars["[unknown]"]["x"] + 2, bars["[unknown]"]["y"] + 8))
    assert browser.evaluate("document.getElementById('tooltip').textContent").startswith(
        "[unknown]  left no record: a call still open when the trace ended, or a coroutine the threshold dropped")

    assert view_span(browser) == pytest.approx(30 * MS)
    click_bar(browser, bars["late"], clicks=2)
    assert view_span(browser) == pytest.approx(2.2 * MS, rel=0.01)
    assert [b["name"] for b in browser.evaluate("spantree.timeline.bars()") if b["lane"] == 0] == [
        "main", "[unknown]", "late"]


@pytest.mark.parametrize("keys, span_ms", [("w", 24), ("ww", 19.2), ("ws", 30), ("wwa0", 30)])
def test_keys_zoom_and_pan_the_timeline(browser, tmp_path, keys, span_ms):
    page = tmp_path / "known.html"
    html(THREADS, page)
    open_page(browser, page)
    start = browser.evaluate("spantree.timeline.view().t0")
    for key in keys:
        browser.key(key)
    view = browser.evaluate("spantree.timeline.view()")
    assert view["t1"] - view["t0"] == pytest.approx(span_ms * MS)
    if keys == "wwa0":
        assert view["t0"] == pytest.approx(start)


def test_the_wheel_zooms_about_the_pointer_and_pans_sideways(browser, tmp_path):
    page = tmp_path / "known.html"
    html(THREADS, page)
    open_page(browser, page)
    width = browser.evaluate("spantree.timeline.view().width")
    # The pointer a fifth of the way in: the time under it stays there.
    browser.wheel(*canvas_point(browser, "timeline", width / 5, 60), -200)
    view = browser.evaluate("spantree.timeline.view()")
    assert view["t1"] - view["t0"] < 30 * MS * 0.7
    assert view["t0"] + (view["t1"] - view["t0"]) / 5 == pytest.approx(6 * MS, abs=30 * MS / width)
    browser.wheel(*canvas_point(browser, "timeline", width / 5, 60), 0, width / 10)
    panned = browser.evaluate("spantree.timeline.view()")
    assert panned["t0"] - view["t0"] == pytest.approx((view["t1"] - view["t0"]) / 10)


def test_a_summary_row_picks_out_its_function_in_both_pictures(browser, tmp_path):
    page = tmp_path / "known.html"
    html(THREADS, page)
    open_page(browser, page)
    click_element(browser, "#summary tbody tr:nth-child(3)")
    assert browser.evaluate("[...document.querySelectorAll('#summary tr.highlighted')].map(tr => tr.cells[0].textContent)") == ["walk"]
    assert {b["name"] for b in browser.evaluate("spantree.timeline.bars()") if not b["dimmed"]} == {"walk"}
    click_element(browser, "#summary tbody tr:nth-child(3)")
    assert not any(b["dimmed"] for b in browser.evaluate("spantree.timeline.bars()"))


def test_a_click_in_the_flame_graph_zooms_into_that_frame(browser, tmp_path):
    page = tmp_path / "known.html"
    html(THREADS, page)
    open_page(browser, page)
    frames = browser.evaluate("spantree.flame.frames()")
    width = frames[0]["w"]
    merged = {(f["label"], f["calls"], f["total"]) for f in frames}
    assert {("all 2 threads", 0, 42 * MS), ("walk", 1, 10 * MS), ("walk", 1, 6 * MS), ("leaf", 1, 1 * MS)} <= merged
    (fetch,) = [f for f in frames if f["label"] == "fetch"]
    assert fetch["w"] == pytest.approx(width * 20 / 42)

    click_frame(browser, fetch)
    assert browser.evaluate("spantree.flame.focus()") == {
        "label": "fetch", "path": ["all 2 threads", "MainThread (101)", "main", "fetch"]}
    frames = {f["label"]: f for f in browser.evaluate("spantree.flame.frames()")}
    assert frames["fetch"]["w"] == pytest.approx(width)
    assert frames["[await]"]["w"] == pytest.approx(width * 18 / 20)
    assert "walk" not in frames
    click_frame(browser, frames["MainThread (101)"])
    assert browser.evaluate("spantree.flame.focus().label") == "MainThread (101)"
    click_element(browser, "#flame-path button:first-child")
    assert browser.evaluate("spantree.flame.focus().label") == "all 2 threads"


def test_summary_sorts_by_the_column_clicked(browser, tmp_path):
    page = tmp_path / "known.html"
    html(THREADS, page)
    open_page(browser, page)
    click_element(browser, "th[data-key=calls]")
    assert [row[0] for row in table_rows(browser)[:3]] == ["walk", "leaf", "[await]"]
    click_element(browser, "th[data-key=calls]")
    assert [row[0] for row in table_rows(browser)[-2:]] == ["walk", "leaf"]
    click_element(browser, "th[data-key=name]")
    assert [row[0] for row in table_rows(browser)] == sorted((row[0] for row in SUMMARY), key=str.lower)


@pytest.mark.parametrize("threads, about", [
    ([], "0 calls in 0 threads, the trace holds no records"),
    ([ThreadTrace("MainThread", 7, [None])], "0 calls in 1 thread, the trace holds no records"),
    ([ThreadTrace("Main</script>", 7, [f"{HOSTILE}\x00/x.py\x001\x0110\x0120\x01-1"])],
     "1 call in 1 thread, 20 ns of wall-clock time"),
    # Lines past 2**31 travel as unsigned 32-bit numbers; both calls are one function.
    ([ThreadTrace("T", 7, [f"big\x00/x.py\x003000000000\x0110\x0120\x01-1",
                           f"big\x00/x.py\x003000000000\x0140\x015\x01-1"])],
     "2 calls in 1 thread, 35 ns of wall-clock time"),
])
def test_empty_and_hostile_traces_open_cleanly(browser, tmp_path, threads, about):
    page = tmp_path / "odd.html"
    html(threads, page)
    open_page(browser, page)
    assert browser.evaluate("document.getElementById('about').textContent") == about
    assert browser.evaluate("typeof window.pwned") == "undefined"
    names = [b["name"] for b in browser.evaluate("spantree.timeline.bars()")]
    assert names == [r[:r.index("\x00")] for t in threads for r in t.records if r]
    assert [row[0] for row in table_rows(browser)] == list(dict.fromkeys(names))
    if names:
        # The row and the calls are one function to the page too.
        click_element(browser, "#summary tbody tr")
        assert [b["name"] for b in browser.evaluate("spantree.timeline.bars()") if not b["dimmed"]] == names


def test_a_deep_chain_scrolls_instead_of_growing_the_page(browser, tmp_path):
    depth = 50_000
    chain = [f"f{i % 7}\x00/x.py\x00{i % 7}\x01{BASE + i}\x01{2 * (depth - i)}\x01{i - 1}" for i in range(depth)]
    page = tmp_path / "deep.html"
    html([ThreadTrace("MainThread", 1, chain)], page)
    open_page(browser, page)
    assert browser.evaluate("spantree.timeline.lanes()[0].depth") == depth
    assert browser.evaluate("document.documentElement.scrollHeight") < 3000
    view = browser.evaluate("spantree.timeline.view()")
    shown = [b["depth"] for b in browser.evaluate("spantree.timeline.bars()")]
    assert shown == list(range(len(shown))) and 0 < len(shown) <= view["height"] / 17
    for _ in range(3):
        browser.key("ArrowDown")
    assert browser.evaluate("spantree.timeline.bars()")[0]["depth"] > 0
    frames = browser.evaluate("spantree.flame.frames()")
    assert 0 < len(frames) <= browser.evaluate("document.getElementById('flame').clientHeight") / 17 + 1
    click_frame(browser, frames[10])
    assert len(browser.evaluate("spantree.flame.focus().path")) == 11


def test_example_program_page(browser, tmp_path):
    page = tmp_path / "app.html"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]))
    proc = subprocess.run([sys.executable, "-m", "spantree", "--coroutines", "--format", "html", "-o", str(page),
                           "examples/app.py"], cwd=ROOT, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    browser.send("Emulation.setDeviceMetricsOverride", session=True, width=1000, height=660, deviceScaleFactor=1,
                 mobile=False)
    try:
        open_page(browser, page)
        assert browser.evaluate("document.title") == "spantree: examples/app.py"
        assert browser.evaluate("document.getElementById('about').textContent").endswith(
            "calls of at least 100.0 us, coroutine-aware")
        bars = browser.evaluate("spantree.timeline.bars()")
        # Other short calls (gather) pass the threshold when the machine is slow.
        assert [(b["depth"], b["name"], b["kind"]) for b in bars
                if b["depth"] == 0 or b["name"] in ("read_settings", "fetch", "[await]") and b["depth"] == 1] == [
            (0, "main", "coroutine"), (1, "read_settings", "call"), (1, "fetch", "call"), (1, "fetch", "call"),
            (1, "[await]", "await")]
        names = [row[0] for row in table_rows(browser)]
        assert names[0] == "[await]" and {"main", "read_settings", "fetch", "sleep"} <= set(names)
        click_bar(browser, [b for b in bars if b["name"] == "fetch"][0])
        assert browser.evaluate("spantree.timeline.selected()").startswith("fetch  (call)\n")
        browser.mouse("mouseMoved", 0, 0)
        shot = browser.screenshot(tmp_path / "app.png")
    finally:
        browser.send("Emulation.setDeviceMetricsOverride", session=True, width=1200, height=800,
                     deviceScaleFactor=1, mobile=False)
    if os.environ.get("SPANTREE_UPDATE_DOCS"):
        (ROOT / "docs").mkdir(exist_ok=True)
        shutil.copyfile(shot, ROOT / "docs" / "html-view.png")


def test_html_without_an_output_file_goes_to_a_file_of_its_own(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]))
    (tmp_path / "prog.py").write_text("print('ran')\n")
    proc = subprocess.run([sys.executable, "-m", "spantree", "--format", "html", "prog.py"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "ran\n", "spantree: wrote the html trace to spantree.html\n")
    assert "window.spantree" in (tmp_path / "spantree.html").read_text(encoding="utf-8")


# ---------------------------------------------------------------------------
# Scale


def synthetic(count, seed=1, functions=300, files=40, max_depth=30):
    """Record strings of a random call tree of `count` calls, as the tracer orders them."""
    rng = random.Random(seed)
    names = [(f"function_{i}", f"/srv/project/module_{i % files}.py", 10 + 7 * i) for i in range(functions)]
    records = [None] * count
    stack = []
    clock = BASE
    made = 0
    while made < count or stack:
        clock += rng.randrange(50, 3000)
        if made < count and len(stack) < max_depth and (not stack or rng.random() < 0.55):
            stack.append((made, clock, rng.choice(names)))
            made += 1
        else:
            index, start, (name, file, line) = stack.pop()
            parent = stack[-1][0] if stack else -1
            records[index] = f"{name}\x00{file}\x00{line}\x01{start}\x01{clock - start}\x01{parent}"
    return records


def test_a_million_calls_make_a_small_page_that_opens_quickly(browser, tmp_path):
    # A million in the release run; the sanitizer and debug interpreters,
    # several times slower at building the page, take a tenth of it.
    release = sys.getallocatedblocks() > 0 and not hasattr(sys, "gettotalrefcount")
    count = 1_000_000 if release else 100_000
    page = tmp_path / "big.html"
    html([ThreadTrace("MainThread", 1, synthetic(count))], page)
    size = page.stat().st_size
    assert size < 60_000_000 * count / 1_000_000
    seconds = open_page(browser, page)
    timings = browser.evaluate("spantree.timings")
    print(f"{count} calls: {size / 1e6:.1f} MB, {size / count:.1f} B per call, opened in {seconds:.2f} s "
          f"({', '.join(f'{step} {ms:.0f} ms' for step, ms in timings.items())})")
    assert seconds < 5
    lanes = browser.evaluate("spantree.timeline.lanes()")
    assert [(lane["calls"], lane["depth"]) for lane in lanes] == [(count, 30)]
    # Drawing visits at most a pixel's worth of bars per row, however many calls there are.
    bars = browser.evaluate("spantree.timeline.bars().length")
    visible_rows = browser.evaluate("Math.ceil(spantree.timeline.view().height / 17)")
    assert 0 < bars <= visible_rows * browser.evaluate("spantree.timeline.view().width")
    span = view_span(browser)
    browser.key("w")
    assert view_span(browser) == pytest.approx(span * 0.8)


def test_the_flame_graph_and_summary_follow_the_grouping_and_a_switch_shows_every_frame(browser, tmp_path):
    # The program's own main parses JSON; the library's frames lead back to
    # its object hook, a callback; its own work follows.
    json_dir = os.path.dirname(json.__file__)
    records = [
        record("main", "/srv/app.py", 1, 0, 30 * MS, -1),
        record("loads", f"{json_dir}/__init__.py", 299, 1, 20 * MS, 0),
        record("decode", f"{json_dir}/decoder.py", 333, 1.1, 19 * MS, 1),
        record("raw_decode", f"{json_dir}/decoder.py", 344, 1.2, 18 * MS, 2),
        record("hook", "/srv/app.py", 10, 2, 5 * MS, 3),
        record("work", "/srv/app.py", 20, 22, 5 * MS, 0),
    ]
    page = tmp_path / "grouped.html"
    html([ThreadTrace("MainThread", 1, records)], page)
    open_page(browser, page)

    def shown():
        labels = {frame["label"] for frame in browser.evaluate("spantree.flame.frames()")}
        return labels, {row[0]: row[1] for row in table_rows(browser)}

    frames, rows = shown()
    assert browser.evaluate("spantree.flame.grouped()") is True
    assert {"main", "loads", "hook", "work"} <= frames and not {"decode", "raw_decode"} & frames
    assert rows["loads"] == "json/__init__.py:299" and "decode" not in rows
    assert "hides 2 frames; the hottest: raw_decode (json/decoder.py:344)" in browser.evaluate(
        "spantree.flame.describe('loads')")
    # The timeline keeps every call.
    assert {b["name"] for b in browser.evaluate("spantree.timeline.bars()")} >= {"decode", "raw_decode"}

    click_element(browser, "#every-frame")
    frames, rows = shown()
    assert browser.evaluate("spantree.flame.grouped()") is False
    assert {"main", "loads", "decode", "raw_decode", "hook", "work"} <= frames
    assert rows["raw_decode"] == "json/decoder.py:344"
    click_element(browser, "#every-frame")
    assert shown()[0] == frames - {"decode", "raw_decode"}

    # Opened with every frame, as --show-all asks.
    html([ThreadTrace("MainThread", 1, records)], page, grouped=False)
    open_page(browser, page)
    assert browser.evaluate("spantree.flame.grouped()") is False
    assert browser.evaluate("document.getElementById('every-frame').checked") is True
