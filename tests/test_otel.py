"""spantree.otel: call trees emitted as OpenTelemetry spans, checked with the
real SDK (in-memory exporter) and over the wire (the OTLP/HTTP exporter
sending to a local receiver)."""

import asyncio
import gc
import os
import sys
import time
import warnings

import pytest

from conftest import ROOT

try:
    with warnings.catch_warnings(action="ignore", category=DeprecationWarning):
        # Debian's protobuf 4.21 calls datetime.utcfromtimestamp() on import.
        from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
        from otlp_receiver import Receiver, attributes
    from opentelemetry import trace as otel_trace
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
    from opentelemetry.sdk.trace.sampling import ALWAYS_OFF

    import spantree.otel
    MISSING = None
except ImportError as error:
    MISSING = f"OpenTelemetry SDK, OTLP/HTTP exporter or proto package not importable ({error}); " \
              "tools/bootstrap installs them into the sysroot"

DROPPED = "spantree.spans.dropped"
needs_sdk = pytest.mark.skipif(MISSING is not None, reason=MISSING or "")


@pytest.mark.skipif(not os.environ.get("CI") or os.environ.get("PYTHON314"),
                    reason="only CI, whose bootstrap installs OpenTelemetry, insists on it")
def test_ci_runs_the_opentelemetry_tests():
    assert MISSING is None, MISSING


def test_importing_spantree_leaves_opentelemetry_alone(subprocess_python):
    proc = subprocess_python("""
        import sys
        import spantree
        loaded = sorted(m for m in sys.modules if m.split(".")[0] == "opentelemetry")
        assert not loaded, loaded
        assert "spantree.otel" not in sys.modules
    """)
    assert proc.stderr == ""


def test_without_opentelemetry_the_error_names_what_to_install(subprocess_python):
    proc = subprocess_python("""
        import sys
        sys.modules["opentelemetry"] = None  # as if it were not installed
        import spantree
        spantree.otel
    """, check=False)
    assert proc.returncode == 1
    assert proc.stderr.strip().splitlines()[-1] == (
        "ImportError: spantree.otel needs OpenTelemetry: install opentelemetry-api and opentelemetry-sdk "
        "(Debian: python3-opentelemetry-api python3-opentelemetry-sdk)")


# The traced program. Durations come from sleeps, so the shapes hold under
# the sanitizers and the debug interpreter too.

def leaf():
    return 1


def middle():
    leaf()
    return leaf()


def slow():
    time.sleep(0.003)
    return leaf()


def fails():
    slow()
    raise KeyError("missing")


async def waits():
    await asyncio.sleep(0.003)
    return "done"


@pytest.fixture
def exporter():
    """An in-memory exporter behind an SDK tracer provider (`exporter.provider`)."""
    gc.disable()
    memory = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(memory))
    memory.provider = provider
    yield memory
    gc.enable()
    provider.shutdown()


def finished(exporter):
    """The spans exported so far and the one without a parent."""
    spans = exporter.get_finished_spans()
    (top,) = [s for s in spans if s.parent is None]
    return spans, top


def by_name(spans):
    """{name: [span, ...]} in start order."""
    result = {}
    for span in sorted(spans, key=lambda s: s.start_time):
        result.setdefault(span.name, []).append(span)
    return result


def shape(spans, parent_id):
    """The span tree below `parent_id` as [(name, [children...])], in start order."""
    children = sorted((s for s in spans if s.parent is not None and s.parent.span_id == parent_id),
                      key=lambda s: (s.start_time, s.name))
    return [(s.name, shape(spans, s.context.span_id)) for s in children]


def check_nested_in_time(spans):
    """Every span starts no earlier and ends no later than its parent."""
    by_id = {s.context.span_id: s for s in spans}
    for span in spans:
        if span.parent is not None and (parent := by_id.get(span.parent.span_id)):
            assert parent.start_time <= span.start_time <= span.end_time <= parent.end_time, span.name


@needs_sdk
def test_sync_block_without_a_current_span_gets_a_span_named_after_it(exporter):
    with spantree.otel.span_tree(threshold=0, name="block", tracer_provider=exporter.provider) as block:
        middle()
    spans, top = finished(exporter)
    assert top.name == "block" and top.instrumentation_scope.name == "spantree"
    assert shape(spans, top.context.span_id) == [("middle", [("leaf", []), ("leaf", [])])]
    assert {s.context.trace_id for s in spans} == {top.context.trace_id}
    check_nested_in_time(spans)
    assert (block.emitted, block.dropped) == (3, 0) and DROPPED not in top.attributes
    leaf_span = by_name(spans)["leaf"][0]
    assert dict(leaf_span.attributes) == {
        "spantree.kind": "call", "code.function.name": "leaf", "code.file.path": __file__,
        "code.line.number": leaf.__code__.co_firstlineno,
        "thread.id": leaf_span.attributes["thread.id"], "thread.name": "MainThread"}
    assert leaf_span.attributes["thread.id"] == __import__("threading").get_native_id()


@needs_sdk
def test_threshold_keeps_slow_calls_and_marks_built_ins(exporter):
    started = time.time_ns()
    with spantree.otel.span_tree(threshold="1ms", name="block", tracer_provider=exporter.provider):
        middle()
        slow()
    ended = time.time_ns()
    spans, top = finished(exporter)
    assert shape(spans, top.context.span_id) == [("slow", [("sleep", [])])]
    check_nested_in_time(spans)
    named = by_name(spans)
    sleep, slow_span = named["sleep"][0], named["slow"][0]
    assert dict(sleep.attributes) | {"thread.id": 0} == {
        "spantree.kind": "built-in", "code.function.name": "sleep", "thread.id": 0, "thread.name": "MainThread"}
    assert sleep.end_time - sleep.start_time >= 3_000_000
    assert started <= top.start_time <= slow_span.start_time and slow_span.end_time <= top.end_time <= ended


@needs_sdk
def test_block_inside_a_current_span_emits_its_children(exporter):
    tracer = exporter.provider.get_tracer("app")
    with tracer.start_as_current_span("request") as request:
        with spantree.otel.span_tree(threshold=0, tracer_provider=exporter.provider):
            middle()
        assert otel_trace.get_current_span() is request
    spans = exporter.get_finished_spans()
    assert [s.name for s in spans if s.parent is None] == ["request"]
    assert shape(spans, request.context.span_id) == [("middle", [("leaf", []), ("leaf", [])])]


@needs_sdk
def test_coroutine_decorator_gives_the_coroutine_its_awaits(exporter):
    @spantree.otel.traced(threshold=0, tracer_provider=exporter.provider)
    async def handler():
        return await waits()

    assert asyncio.run(handler()) == "done"
    spans, top = finished(exporter)
    assert top.name.endswith("handler")
    tree = shape(spans, top.context.span_id)
    (handler_span,) = tree
    assert handler_span[0] == "handler"
    (waits_span,) = [child for child in handler_span[1] if child[0] == "waits"]
    (sleep_span,) = [child for child in waits_span[1] if child[0] == "sleep"]
    assert ("await sleep", []) in sleep_span[1]
    named = by_name(spans)
    assert named["handler"][0].attributes["spantree.kind"] == "coroutine"
    wait = named["await sleep"][0]
    assert dict(wait.attributes) | {"thread.id": 0} == {"spantree.kind": "await", "thread.id": 0,
                                                         "thread.name": "MainThread"}
    assert wait.end_time - wait.start_time >= 2_500_000
    check_nested_in_time(spans)


@needs_sdk
def test_sync_decorator_keeps_result_and_each_call_is_its_own_block(exporter):
    @spantree.otel.traced(threshold=0, tracer_provider=exporter.provider)
    def compute(n):
        return middle() + n

    assert [compute(1), compute(2)] == [2, 3]
    spans = exporter.get_finished_spans()
    tops = [s for s in spans if s.parent is None]
    assert [s.name for s in tops] == [compute.__qualname__] * 2
    for top in tops:
        assert shape(spans, top.context.span_id) == [("compute", [("middle", [("leaf", []), ("leaf", [])])])]


def long_call():
    time.sleep(0.003)


def short_call():
    pass


@needs_sdk
@pytest.mark.parametrize("limit", [1000, 16, 6, 3, 1, 0])
def test_span_limit_keeps_the_longest_and_counts_the_rest(exporter, limit):
    with spantree.otel.span_tree(threshold=0, name="block", max_spans=limit,
                                 tracer_provider=exporter.provider) as block:
        for _ in range(3):
            long_call()
        for _ in range(10):
            short_call()
    records = [r for r in block.trace.tree.records if r is not None]
    assert sorted(r.name for r in records) == ["long_call"] * 3 + ["short_call"] * 10 + ["sleep"] * 3
    spans, top = finished(exporter)
    spans = [s for s in spans if s is not top]
    longest = sorted((r.duration_ns for r in records), reverse=True)[:limit]
    assert sorted((s.end_time - s.start_time for s in spans), reverse=True) == longest
    assert (block.emitted, block.dropped) == (len(longest), 16 - len(longest))
    assert top.attributes.get(DROPPED) == (block.dropped or None)
    # A span whose parent record was left out hangs under the block.
    by_start = {s.start_time: s for s in spans}
    for record in records:
        if (span := by_start.get(record.start_ns)) is not None:
            parent = block.trace.tree.records[record.parent] if record.parent >= 0 else None
            expected = by_start.get(parent.start_ns) if parent is not None else None
            assert span.parent.span_id == (expected or top).context.span_id


@needs_sdk
def test_exception_in_the_block_is_recorded_and_passes_through(exporter):
    with pytest.raises(KeyError, match="missing"):
        with spantree.otel.span_tree(threshold="1ms", name="block", tracer_provider=exporter.provider):
            fails()
    spans, top = finished(exporter)
    assert top.status.status_code is otel_trace.StatusCode.ERROR
    assert [e.name for e in top.events] == ["exception"]
    assert shape(spans, top.context.span_id) == [("fails", [("slow", [("sleep", [])])])]


@needs_sdk
def test_unsampled_block_is_not_traced(exporter):
    provider = TracerProvider(sampler=ALWAYS_OFF)
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    with spantree.otel.span_tree(threshold=0, tracer_provider=provider) as block:
        hook = sys.getprofile()
        middle()
    assert hook is None and block.emitted == 0
    assert exporter.get_finished_spans() == ()


@needs_sdk
def test_nested_blocks_trace_once_and_leave_no_hook(exporter):
    with spantree.otel.span_tree(threshold=0, name="outer", tracer_provider=exporter.provider) as outer:
        assert sys.getprofile() is not None
        with spantree.otel.span_tree(threshold=0, name="inner", tracer_provider=exporter.provider) as inner:
            middle()
        middle()
    assert sys.getprofile() is None
    assert inner.emitted == 0
    spans, top = finished(exporter)
    assert top.name == "outer" and "inner" not in by_name(spans)
    assert [name for name, _ in shape(spans, top.context.span_id)].count("middle") == 2
    assert outer.emitted == len(spans) - 1


@needs_sdk
def test_blocks_on_concurrent_threads_each_trace_their_own_thread(exporter):
    import threading

    both_inside = threading.Barrier(2, timeout=30)
    failures = []

    def request(name):
        try:
            with spantree.otel.span_tree(threshold=0, name=name, tracer_provider=exporter.provider):
                both_inside.wait()
                middle()
        except BaseException as exc:
            failures.append(exc)

    workers = [threading.Thread(target=request, args=(name,), name=name) for name in ("one", "two")]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []
    spans = exporter.get_finished_spans()
    tops = {s.name: s for s in spans if s.parent is None}
    assert tops.keys() == {"one", "two"}
    for name, top in tops.items():
        below = [s for s in spans if s.context.trace_id == top.context.trace_id and s.parent is not None]
        assert {s.attributes["thread.name"] for s in below} == {name}
        assert [n for n, _ in shape(spans, top.context.span_id)].count("middle") == 1


@needs_sdk
def test_concurrent_traced_tasks_on_one_loop_trace_one_at_a_time(exporter):
    @spantree.otel.traced(threshold=0, tracer_provider=exporter.provider)
    async def first():
        return await waits()

    @spantree.otel.traced(threshold=0, tracer_provider=exporter.provider)
    async def second():
        return await waits()

    async def both():
        return await asyncio.gather(first(), second())

    assert asyncio.run(both()) == ["done", "done"]
    assert sys.getprofile() is None
    spans = exporter.get_finished_spans()
    tops = {s.name.rsplit(".", 1)[-1]: s for s in spans if s.parent is None}
    # `second` starts while `first` is traced: its block span is made, its calls are not traced.
    assert sorted(tops) == ["first", "second"]
    assert [name for name, _ in shape(spans, tops["first"].context.span_id)] == ["first"]
    assert shape(spans, tops["second"].context.span_id) == []


class FailingProcessor(SimpleSpanProcessor if MISSING is None else object):
    def on_end(self, span):
        if span.name == "middle":
            raise OSError("collector gone")


@needs_sdk
def test_failing_emission_is_logged_and_leaves_the_block_alone(exporter, caplog):
    exporter.provider.add_span_processor(FailingProcessor(InMemorySpanExporter()))

    @spantree.otel.traced(threshold=0, tracer_provider=exporter.provider)
    def work():
        return middle()

    assert work() == 1
    (message,) = [r for r in caplog.records if r.name == "spantree.otel"]
    assert "emitting the spans of" in message.getMessage() and "collector gone" in message.exc_text
    # The block's own span still ends.
    assert [s.name for s in exporter.get_finished_spans() if s.parent is None] == [work.__qualname__]


@needs_sdk
@pytest.mark.parametrize("options, error, message", [
    ({"max_spans": -1}, ValueError, "max_spans"),
    ({"max_spans": "10"}, TypeError, "max_spans"),
    ({"threshold": "soon"}, ValueError, "threshold"),
    ({"threshold": "1ms", "depth": 2}, ValueError, "threshold or a depth"),
    ({"name": 3}, TypeError, "name"),
])
def test_bad_options_are_refused(options, error, message):
    with pytest.raises(error, match=message):
        spantree.otel.span_tree(**options)


@needs_sdk
def test_decorator_refuses_bad_options_and_generators():
    with pytest.raises(ValueError, match="max_spans"):
        spantree.otel.traced(max_spans=-5)
    with pytest.raises(TypeError, match="generator function"):
        @spantree.otel.traced
        def numbers():
            yield 1


def wire_view(span_id, trace_id, parent_id, name, start, end, attributes):
    return (span_id, trace_id, parent_id, name, start, end, tuple(sorted(attributes.items())))


@needs_sdk
def test_same_spans_arrive_over_otlp_http(exporter, monkeypatch):
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    with Receiver() as receiver:
        exporter.provider.add_span_processor(
            SimpleSpanProcessor(OTLPSpanExporter(endpoint=f"{receiver.endpoint}/v1/traces", timeout=10)))
        with spantree.otel.span_tree(threshold="1ms", name="block", tracer_provider=exporter.provider):
            middle()
            slow()
        local = exporter.get_finished_spans()
        received = receiver.wait_for(lambda spans: len(spans) >= len(local))
        assert not receiver.rejected
    assert len(local) == 3
    assert {scope for _, scope, _ in received} == {"spantree"}
    expected = {wire_view(s.context.span_id, s.context.trace_id, s.parent.span_id if s.parent else 0,
                          s.name, s.start_time, s.end_time, dict(s.attributes)) for s in local}
    arrived = {wire_view(int.from_bytes(s.span_id), int.from_bytes(s.trace_id),
                         int.from_bytes(s.parent_span_id) if s.parent_span_id else 0,
                         s.name, s.start_time_unix_nano, s.end_time_unix_nano, attributes(s.attributes))
               for _, _, s in received}
    assert arrived == expected


@needs_sdk
def test_example_service_sends_its_call_trees(subprocess_python):
    with Receiver() as receiver:
        proc = subprocess_python(
            f"import runpy, sys; sys.argv = ['otel_service.py', '2']; "
            f"runpy.run_path({str(ROOT / 'examples' / 'otel_service.py')!r}, run_name='__main__')",
            env={"OTEL_EXPORTER_OTLP_ENDPOINT": receiver.endpoint, "NO_PROXY": "127.0.0.1"})
        received = receiver.wait_for(lambda spans: len(spans) >= 2)
    assert proc.stdout.splitlines() == ["order 0: 800 cents, lowest stock 4", "order 1: 2000 cents, lowest stock 4"]
    assert {resource["service.name"] for resource, _, _ in received} == {"spantree-example"}
    spans = [span for _, _, span in received]
    requests = [s for s in spans if s.name == "POST /orders"]
    assert len(requests) == 2
    for request in requests:
        handlers = [s for s in spans if s.parent_span_id == request.span_id]
        assert [s.name for s in handlers] == ["handle_order"]
        below = {s.name for s in spans if s.parent_span_id == handlers[0].span_id}
        assert {"load_prices", "stock_level"} <= below
