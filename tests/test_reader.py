"""The native reader (spantree_reader_C) against the pure-Python decoder and
renderers, on random and hand-made record lists."""

import array
import io
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import ROOT

sys.path.insert(0, str(ROOT))
import spantree  # noqa: E402
import spantree_reader_C  # noqa: E402
from record_model import decode as model_decode  # noqa: E402
from spantree import Kind, ThreadTrace, views  # noqa: E402
from tracing import assert_no_growth  # noqa: E402

I64 = st.integers(-(2**63), 2**63 - 1)
# Every width of str: ASCII, Latin-1, the BMP (lone surrogates included) and astral.
TEXT = st.one_of(
    st.text(st.characters(max_codepoint=0x7F), max_size=8),
    st.text(st.characters(max_codepoint=0xFF), max_size=8),
    st.text(st.characters(max_codepoint=0xFFFF), max_size=8),
    st.text(max_size=8),
)
NAME = st.one_of(TEXT, st.sampled_from(["f", "[await]", "a\x00b", "x\x01y", "a;b\nc", ""]))
FILE = st.one_of(TEXT.filter(lambda s: "\x00" not in s),
                 st.sampled_from(["<built-in>", "", "/srv/app.py", "/other/app.py", "dir/é.py"]))


def record_text(name, file, line, start, duration, parent):
    return f"{name}\x00{file}\x00{line}\x01{start}\x01{duration}\x01{parent}"


@st.composite
def record_lists(draw, numbers=I64, valid=True):
    """Record lists of every kind with None slots, placeholders (parents that
    hold no record, inside or past the list) and, unless `valid`, parent
    cycles and malformed strings."""
    size = draw(st.integers(0, 24))
    slots = []
    for index in range(size):
        if draw(st.integers(0, 5)) == 0:
            slots.append(None)
            continue
        kind = draw(st.sampled_from(["call", "built-in", "await"]))
        name = "[await]" if kind == "await" else draw(NAME)
        file = {"call": None, "built-in": "<built-in>", "await": ""}[kind] or draw(FILE)
        line = 0 if kind != "call" else draw(st.one_of(st.integers(0, 60), st.integers(0, 2**63 - 1)))
        # Parents before the index make a forest; later ones and far ones make
        # placeholders, and (when not valid) cycles.
        upper = size + 3 if not valid else index - 1
        parent = draw(st.one_of(st.just(-1), st.integers(-1, max(upper, -1)), st.integers(size, 2**63 - 1)))
        if parent == index:
            parent = -1
        slots.append(record_text(name, file, line, draw(numbers), draw(numbers), parent))
    if not valid and slots and draw(st.booleans()):
        index = draw(st.integers(0, len(slots) - 1))
        text = slots[index] or "f\x00a\x001\x012\x013\x01-1"
        cut = draw(st.integers(0, len(text)))
        slots[index] = draw(st.one_of(
            st.just(text[:cut] + draw(st.sampled_from(["\x00", "\x01", "-", "+", "9" * 20, "٣", " "])) + text[cut:]),
            st.just(text[:cut] + text[cut + 1:]),
            st.sampled_from([42, b"f\x00a\x001\x012\x013\x01-1", "f\x00a\x00-1\x012\x013\x01-1",
                             f"f\x00a\x001\x01{2**63}\x013\x01-1", f"f\x00a\x001\x012\x013\x01{-(2**63)}"]),
        ))
    return slots


def outcome(decoder, records, coroutines):
    try:
        return decoder(records, coroutines=coroutines)
    except ValueError as exc:
        return ("ValueError", str(exc))


@settings(max_examples=600, suppress_health_check=[HealthCheck.too_slow])
@given(record_lists(valid=False), st.booleans())
def test_reader_agrees_with_the_python_decoder_on_any_list(records, coroutines):
    assert outcome(spantree.decode, records, coroutines) == outcome(model_decode, records, coroutines)


def bare(records, coroutines=False):
    """A thread's view whose reader has not been told whose code its files are."""
    return views.ThreadView(ThreadTrace("t", 1, records, coroutines), spantree_reader_C.Reader(records, coroutines))


def written(write_to):
    out = io.BytesIO()
    write_to(out)
    return out.getvalue()


def python_text(text):
    return text.encode("utf-8", "backslashreplace")


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(record_lists(numbers=st.integers(-(10**12), 10**13)), st.booleans())
def test_native_tree_and_stacks_match_the_python_renderers(records, coroutines):
    tree = model_decode(records, coroutines=coroutines)
    # Files by their base names, as the Python renderers show them: a reader not told the files' labels.
    thread = bare(records, coroutines)
    full = written(lambda out: views.write_tree(thread, out, full=True))
    assert full == python_text(spantree.text_tree(tree))
    assert written(lambda out: views.write_collapsed(thread, out)) == python_text(spantree.collapsed_stacks(tree))


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(record_lists(numbers=st.integers(-(10**12), 10**13)), st.booleans())
def test_summary_rows_are_the_sums_over_the_decoded_records(records, coroutines):
    tree = model_decode(records, coroutines=coroutines)
    expected = {}
    # Recursion counted once: a record adds to its function's total only when
    # no record above it belongs to the same function.
    stack_funcs = {}
    for node, _ in tree.walk():
        above = stack_funcs.pop(node.index, ())
        record = node.record
        key = None if record is None else (record.name, record.file, record.line)
        for child in node.children:
            stack_funcs[child.index] = above + ((key,) if key else ())
        if record is None:
            continue
        row = expected.setdefault(key, [0, 0, 0, None])
        row[0] += 1
        if key not in above:
            row[1] += max(record.duration_ns, 0)
        children = sum(max(c.record.duration_ns, 0) for c in node.children if c.record)
        row[2] += max(max(record.duration_ns, 0) - children, 0)
        row[3] = record.duration_ns if row[3] is None else max(row[3], record.duration_ns)
    rows = views.functions(ThreadTrace("t", 1, records, coroutines))
    assert {(r.name, r.file, r.line): [r.calls, r.total_ns, r.self_ns, r.longest_ns] for r in rows} == expected


def chain(depth, *, name="f", start=0, step=10):
    """A call chain `depth` deep: each call lasts `step` ns longer than the one it makes."""
    return [record_text(name, "/src/chain.py", 3, start + i, step * (depth - i), i - 1) for i in range(depth)]


def test_malformed_record_names_its_index_and_a_non_list_is_refused():
    with pytest.raises(ValueError, match=r"^record 1 is malformed: .*got 'f\\x00a\.py\\x001'$"):
        spantree_reader_C.Reader([chain(1)[0], "f\x00a.py\x001"])
    with pytest.raises(ValueError, match="^record 0 is not reachable from the top: its parents form a cycle"):
        spantree_reader_C.Reader([record_text("a", "a.py", 1, 0, 1, 1), record_text("b", "b.py", 1, 0, 1, 0)])
    with pytest.raises(TypeError, match="records must be a list"):
        spantree_reader_C.Reader(42)


def fib_records():
    """fib(4) by hand: the tree of calls the recursion makes, with exact times."""
    records = []

    def call(n, parent, start):
        index = len(records)
        records.append(None)
        duration = 10
        at = start + 5
        for k in (n - 1, n - 2) if n >= 2 else ():
            at, child = call(k, index, at)
            duration += child
        records[index] = record_text("fib", "/src/fib.py", 1, start, duration, parent)
        return start + duration, duration

    call(4, -1, 1000)
    return records


def test_summary_counts_recursion_once_and_self_time_per_call():
    (row,) = views.functions(ThreadTrace("t", 1, fib_records()))
    # fib(4) makes 9 calls of 10 ns self each; the outermost lasts them all.
    assert (row.calls, row.total_ns, row.self_ns, row.longest_ns) == (9, 90, 90, 90)
    text = spantree.summary(bare(fib_records()))
    assert text.splitlines()[1] == "9 calls of 1 functions, 90 ns traced; by self time"
    assert text.splitlines()[3].split() == ["9", "90", "ns", "90", "ns", "90", "ns", "100.0%", "fib", "fib.py:1"]


@pytest.mark.parametrize("sort, first", [("self", "b"), ("total", "a"), ("calls", "c"), ("max", "a")])
def test_summary_sorts_and_cuts_at_top_with_what_was_left_out(sort, first):
    records = [record_text("a", "/m.py", 1, 0, 1000, -1),
               record_text("b", "/m.py", 2, 0, 600, 0),
               *[record_text("c", "/m.py", 3, 700 + i, 50, 0) for i in range(4)]]
    text = spantree.summary(bare(records), sort=sort, top=1)
    lines = text.splitlines()
    assert lines[3].endswith(f"  {first}  m.py:{'abc'.index(first) + 1}")
    assert lines[4].startswith("… 2 more functions: ")
    assert len(lines) == 5


def test_await_time_is_its_own_summary_row_and_not_self_time():
    records = [record_text("main", "/a.py", 1, 0, 100, -1),
               record_text("[await]", "", 0, 10, 70, 0)]
    rows = {r.kind: r for r in views.functions(ThreadTrace("t", 1, records, True))}
    assert (rows[Kind.COROUTINE].self_ns, rows[Kind.AWAIT].self_ns) == (30, 70)
    assert "[await]  (suspended)" in spantree.summary(ThreadTrace("t", 1, records, True))


def tree_lines(records, **options):
    return written(lambda out: views.write_tree(bare(records), out, **options)).decode().splitlines()


def test_folded_tree_shares_lines_among_siblings_and_gathers_their_calls():
    lines = tree_lines(fib_records(), min_share=0, show_all=True)
    labels = [line[30:] for line in lines[1:]]
    assert labels == [
        "fib  fib.py:1",
        "  fib ×2  fib.py:1  (longest 50 ns)",
        "    fib ×4  fib.py:1  (longest 30 ns)",
        "      fib ×2  fib.py:1  (longest 10 ns)",
    ]
    # fib(3) and fib(2) under the top: 50 + 30 ns total, 20 ns self.
    assert lines[2][:30].split() == ["80", "ns", "20", "ns", "88.9%"]
    # Grouped, the recursion is one line holding every call's self time.
    assert [line[30:] for line in tree_lines(fib_records(), min_share=0)[1:]] == ["fib  fib.py:1  recursive, 4 deep"]
    assert tree_lines(fib_records())[1][:30].split() == ["90", "ns", "90", "ns", "100.0%"]


def test_folded_tree_gathers_siblings_by_function_heaviest_first_and_counts_what_it_cuts():
    records = [record_text("main", "/m.py", 1, 0, 10_000, -1)]
    for i, (name, ns) in enumerate([("a", 2000), ("a", 2000), ("b", 3000), ("a", 1000)]):
        records.append(record_text(name, "/m.py", 2, 10 + i, ns, 0))
    for i in range(7):
        records.append(record_text("tiny", "/m.py", 3, 9000 + i, 10, 0))
    for show_all in (False, True):
        lines = tree_lines(records, min_share=0.01, show_all=show_all)
        assert [line[30:] for line in lines[1:]] == [
            "main  m.py:1",
            "  a ×3  m.py:2  (longest 2.00 us)",
            "  b  m.py:2",
            "  … 7 shorter calls, 70 ns",
        ]
        assert len(tree_lines(records, min_share=0)) == len(lines)  # tiny ×7 folds into one line instead
    full = [line[20:] for line in tree_lines(records, full=True)[1:6]]
    assert full == ["main  m.py:1", "  a  m.py:2", "  a  m.py:2", "  b  m.py:2", "  a  m.py:2"]  # call order


def test_negative_durations_count_as_zero_and_keep_their_measured_value():
    records = [record_text("main", "/m.py", 1, 0, 1000, -1), record_text("skew", "/m.py", 2, 5, -300, 0)]
    rows = {r.name: r for r in views.functions(ThreadTrace("t", 1, records))}
    assert (rows["main"].self_ns, rows["skew"].total_ns, rows["skew"].self_ns, rows["skew"].longest_ns) == (
        1000, 0, 0, -300)
    events = perfetto_events([ThreadTrace("t", 1, records)])
    (skew,) = [e for e in events if e.get("name") == "skew"]
    assert (skew["dur"], skew["args"]["duration_ns"]) == (0, -300)


def perfetto_events(threads, **options):
    import json

    return json.loads(written(lambda out: views.write_perfetto(threads, out, pid=7, **options)))["traceEvents"]


def test_perfetto_has_one_track_per_thread_on_one_time_axis():
    main = ThreadTrace("MainThread", 100, chain(3, start=5_000, step=1000))
    worker = ThreadTrace("worker-1", 200, [record_text("job", "/w.py", 9, 2_500, 700, -1)])
    idle = ThreadTrace("idle", 300, [])
    events = perfetto_events([main, worker, idle], process_name="python app.py")
    meta = [(e["name"], e.get("tid"), e["args"]["name"]) for e in events if e["ph"] == "M"]
    assert meta == [("process_name", None, "python app.py"), ("thread_name", 100, "MainThread"),
                    ("thread_name", 200, "worker-1"), ("thread_name", 300, "idle")]
    calls = [(e["tid"], e["name"], e["ts"], e["dur"], e["args"]["line"]) for e in events if e["ph"] == "X"]
    assert calls == [(100, "f", 2.5, 3, 3), (100, "f", 2.501, 2, 3), (100, "f", 2.502, 1, 3), (200, "job", 0, 0.7, 9)]
    assert all(e["pid"] == 7 for e in events)


def test_tree_and_summary_cover_every_thread_busiest_first():
    main = views.ThreadView(ThreadTrace("MainThread", 100, chain(2, step=100)), spantree_reader_C.Reader(chain(2, step=100)))
    worker_records = [record_text("job", "/w.py", 9, 0, 5000, -1), None]
    worker = views.ThreadView(ThreadTrace("worker-1", 200, worker_records), spantree_reader_C.Reader(worker_records))
    lines = written(lambda out: views.write_tree([main, worker], out)).decode().splitlines()
    headers = [line for line in lines if line.startswith("thread ")]
    assert headers == ["thread worker-1 (native id 200): 1 records, 5.00 us",
                       "thread MainThread (native id 100): 2 records, 200 ns"]
    assert lines.index(headers[0]) < [i for i, line in enumerate(lines) if "job  w.py:9" in line][0] < lines.index(
        headers[1])
    text = spantree.summary([main, worker], per_thread=True)
    assert text.splitlines()[1] == "3 calls of 2 functions on 2 threads, 5.20 us traced; by self time"
    assert text.count("\nthread ") == 2 and text.index("worker-1") < text.index("MainThread")
    # A single thread's output has no thread header.
    assert "thread " not in written(lambda out: views.write_tree(main, out)).decode()


WRITERS = {
    "full tree": lambda thread, out: views.write_tree(thread, out, full=True),
    "folded tree": lambda thread, out: views.write_tree(thread, out, min_share=0),
    "collapsed": views.write_collapsed,
    "perfetto": views.write_perfetto,
    "summary": views.write_summary,
}


@pytest.mark.parametrize("view", WRITERS)
def test_deep_chain_output_is_linear_in_depth(view):
    sizes = {}
    for depth in (25_000, 50_000):
        sizes[depth] = len(written(lambda out: WRITERS[view](ThreadTrace("t", 1, chain(depth)), out)))
    assert sizes[50_000] <= 2.1 * sizes[25_000]
    assert sizes[50_000] < 400 * 50_000


class ChunkRecorder:
    def __init__(self, short=False):
        self.chunks, self.short = [], short

    def write(self, data):
        # A raw file may take part of what it is given; the writer sends the rest.
        taken = bytes(data[:len(data) // 2 + 1]) if self.short else bytes(data)
        self.chunks.append(taken)
        return len(taken)


@pytest.mark.parametrize("short", [False, True])
def test_writers_hand_over_bounded_chunks_and_finish_short_writes(short):
    thread = ThreadTrace("t", 1, chain(30_000))
    recorder = ChunkRecorder(short)
    views.write_perfetto(thread, recorder)
    assert len(recorder.chunks) > 2
    assert max(map(len, recorder.chunks)) <= 512 * 1024
    assert b"".join(recorder.chunks) == written(lambda out: views.write_perfetto(thread, out))


def test_a_failing_write_raises_its_own_error():
    class Full:
        def write(self, data):
            raise OSError(28, "No space left on device")

    with pytest.raises(OSError, match="No space left"):
        views.write_collapsed(ThreadTrace("t", 1, chain(10)), Full())
    with pytest.raises(TypeError, match="write must be callable"):
        spantree_reader_C.Reader(chain(2)).write_collapsed(None)


def test_columns_describe_the_tree():
    records = [*chain(3), None, record_text("late", "/l.py", 4, 9, 1, 3), record_text("far", "/f.py", 5, 9, 1, 99)]
    reader = spantree_reader_C.Reader(records)
    columns = reader.columns()
    strings = reader.strings()
    col = {name: array.array(code, columns[name]) for name, code in [
        ("kind", "B"), ("name", "I"), ("line", "q"), ("parent", "q"), ("depth", "I"), ("index", "q"),
        ("order", "I"), ("roots", "I"), ("first_child", "I"), ("children", "I"), ("start", "q"),
        ("duration", "q")]}
    assert list(col["index"]) == [0, 1, 2, 3, 4, 5, 99]
    assert list(col["kind"]) == [1, 1, 1, 0, 1, 1, 0]
    assert [strings[i] for i in col["name"][:3]] == ["f", "f", "f"]
    assert list(col["parent"]) == [-1, 0, 1, -1, 3, 6, -1]
    assert list(col["roots"]) == [0, 3, 6] and list(col["order"]) == [0, 1, 2, 3, 4, 6, 5]
    assert list(col["depth"]) == [0, 1, 2, 0, 1, 1, 0]
    assert list(col["children"][col["first_child"][0]:col["first_child"][1]]) == [1]
    assert list(col["duration"][:3]) == [30, 20, 10]
    # Placeholders span their children.
    assert [(col["start"][i], col["duration"][i]) for i in (3, 6)] == [(9, 1), (9, 1)]
    assert (reader.count, reader.first_start, reader.top_ns) == (5, 0, 32)


def test_reading_and_writing_leaves_nothing_behind():
    records = fib_records() + [None, "x\x00\U0001f600.py\x001\x010\x01-5\x015"]
    sink = io.BytesIO()

    def scenario():
        reader = spantree_reader_C.Reader(records, True)
        for write in (lambda: reader.write_tree(sink.write, 100, 0.0, False),
                      lambda: reader.write_tree(sink.write, 100, 0.0, True), lambda: reader.write_collapsed(sink.write),
                      lambda: reader.write_chrome(sink.write, 1, 2, 0, True)):
            write()
        reader.functions(), reader.records(), reader.columns(), reader.preorder(0)
        sink.seek(0)
        sink.truncate()
        with pytest.raises(ValueError):
            spantree_reader_C.Reader(records + ["bad"])

    assert_no_growth(scenario, rounds=100)
