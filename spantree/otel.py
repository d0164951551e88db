"""Call trees as OpenTelemetry spans.

    with spantree.otel.span_tree(threshold="1ms"):
        handle(request)

    @spantree.otel.traced(threshold="1ms")
    async def handle(request): ...

When the block ends, every record the trace kept becomes a span, a child of
the span that was current when the block began (or of a new span named after
the block when none was), with the record's start and end times and the code
attributes of OpenTelemetry's semantic conventions. Spans go to the
application's tracer provider (the global one unless one is given); this
module adds no exporter of its own.

This module needs the OpenTelemetry API (and an SDK to send anything); the
rest of the package never imports it.
"""

import functools
import heapq
import inspect
import logging
import sys
import time

try:
    from opentelemetry import context as otel_context
    from opentelemetry import trace as otel_trace
except ImportError:
    raise ImportError("spantree.otel needs OpenTelemetry: install opentelemetry-api and "
                      "opentelemetry-sdk (Debian: python3-opentelemetry-api python3-opentelemetry-sdk)"
                      ) from None

from .records import Kind, tree_of
from .tracing import trace

_log = logging.getLogger(__name__)

DEFAULT_MAX_SPANS = 1000
DEFAULT_THRESHOLD = "1ms"
SCOPE = "spantree"
# Attributes this module sets besides the semantic conventions' own.
KIND_ATTRIBUTE = "spantree.kind"
DROPPED_ATTRIBUTE = "spantree.spans.dropped"


class span_tree:
    """Traces the block and, when it ends, emits its records as spans.

    `threshold`, `depth` and `coroutines` choose the records as in
    spantree.trace; with neither threshold nor depth, calls of at least 1 ms
    are kept. `name` names the span made when no span is current (default:
    the function that made this object). At most `max_spans` records become
    spans, the longest; the number left out is set on the parent span as
    "spantree.spans.dropped".

    The block runs untraced (and emits nothing) when its parent span is not
    sampled, since its spans would be dropped too, and when the thread
    already has a profile hook: an enclosing span_tree covers the block, and
    another profiler is left alone. Like spantree.trace, an object is used
    once.
    """

    def __init__(self, threshold=None, depth=None, *, coroutines=False, name=None,
                 tracer_provider=None, max_spans=DEFAULT_MAX_SPANS):
        if threshold is None and depth is None:
            threshold = DEFAULT_THRESHOLD
        # The block's own thread: its spans belong to the span current there,
        # and blocks on other threads (concurrent requests) trace their own.
        self._trace = trace(threshold, depth, coroutines=coroutines, threads=False)
        if isinstance(max_spans, bool) or not isinstance(max_spans, int):
            raise TypeError(f"max_spans must be an int, not {max_spans!r}")
        if max_spans < 0:
            raise ValueError(f"max_spans must be at least 0, not {max_spans}")
        if name is None:
            name = sys._getframe(1).f_code.co_qualname
        elif not isinstance(name, str):
            raise TypeError(f"name must be a str, not {name!r}")
        self.name = name
        self.max_spans = max_spans
        self._tracer_provider = tracer_provider
        self._entered = False
        self._tracing = False
        self._own_span = None
        self._token = None
        self._parent_context = None
        self.emitted = 0
        self.dropped = 0

    def __enter__(self):
        if self._entered:
            raise RuntimeError("a span_tree object is used once")
        self._entered = True
        self._tracer = otel_trace.get_tracer(SCOPE, tracer_provider=self._tracer_provider)
        parent = otel_trace.get_current_span()
        if not parent.get_span_context().is_valid:
            parent = self._own_span = self._tracer.start_span(self.name)
            self._token = otel_context.attach(otel_trace.set_span_in_context(parent))
        self._parent = parent
        self._parent_context = otel_trace.set_span_in_context(parent)
        if parent.get_span_context().trace_flags.sampled and sys.getprofile() is None:
            try:
                self._trace.__enter__()
            except BaseException as error:
                self._close(type(error), error, time.time_ns())
                raise
            self._tracing = True
        return self

    def __exit__(self, exc_type, exc, traceback):
        end_ns = None
        try:
            if self._tracing:
                self._trace.__exit__(exc_type, exc, traceback)
                end_ns = time.time_ns()
                self._emit()
        except Exception:
            # Observability never changes the outcome of the traced code.
            _log.warning("spantree.otel: emitting the spans of %r failed", self.name, exc_info=True)
        finally:
            self._close(exc_type, exc, end_ns or time.time_ns())
        return False

    def _close(self, exc_type, exc, end_ns):
        """Detaches and ends the span this block made, if it made one."""
        if self._token is not None:
            otel_context.detach(self._token)
            self._token = None
        if self._own_span is not None:
            if exc is not None:
                self._own_span.record_exception(exc)
                self._own_span.set_status(otel_trace.StatusCode.ERROR, f"{exc_type.__name__}: {exc}")
            self._own_span.end(end_time=end_ns)

    @property
    def trace(self):
        """The spantree.trace behind the block, with its records, once the
        block has ended; None when the block ran untraced."""
        return self._trace if self._tracing else None

    def _emit(self):
        threads = self._trace.threads
        if len(threads) == 1:  # the trace has decoded these records already
            threads = [(threads[0], self._trace.tree)]
        else:
            threads = [(thread, tree_of(thread.reader, thread.coroutines)) for thread in threads]
        kept = _longest(threads, self.max_spans)
        self.dropped = sum(1 for _, tree in threads for r in tree.records if r is not None) - len(kept)
        for number, (thread, tree) in enumerate(threads):
            thread_attributes = {"thread.id": thread.native_id, "thread.name": thread.name}
            # Pre-order, so a span's parent exists when it starts; a record
            # left out passes its parent on to its children.
            stack = [(root, self._parent_context, None) for root in reversed(tree.roots)]
            while stack:
                node, context, enclosing = stack.pop()
                record = node.record
                if record is not None and (number, record.index) in kept:
                    span = self._tracer.start_span(
                        _span_name(record, enclosing), context,
                        attributes=_attributes(record) | thread_attributes,
                        start_time=record.start_ns, record_exception=False, set_status_on_exception=False)
                    # A wall clock stepped back can make a negative duration.
                    span.end(end_time=max(record.end_ns, record.start_ns))
                    self.emitted += 1
                    if node.children:
                        context = otel_trace.set_span_in_context(span, self._parent_context)
                stack.extend((child, context, record) for child in reversed(node.children))
        if self.dropped:
            self._parent.set_attribute(DROPPED_ATTRIBUTE, self.dropped)


def _longest(threads, limit):
    """The (thread number, record index) pairs of the `limit` longest records;
    on equal durations the earlier record (a parent before its children)."""
    candidates = [(record.duration_ns, -number, -record.index)
                  for number, (_, tree) in enumerate(threads) for record in tree.records if record is not None]
    if len(candidates) > limit:
        candidates = heapq.nlargest(limit, candidates)
    return {(-number, -index) for _, number, index in candidates}


def _span_name(record, enclosing):
    if record.kind is Kind.AWAIT:
        return f"await {enclosing.name}" if enclosing is not None else "await"
    return record.name


def _attributes(record):
    attributes = {KIND_ATTRIBUTE: str(record.kind)}
    if record.kind is Kind.AWAIT:
        return attributes
    attributes["code.function.name"] = record.name
    if record.kind is not Kind.BUILTIN:
        attributes["code.file.path"] = record.file
        attributes["code.line.number"] = record.line
    return attributes


def traced(threshold=None, depth=None, *, name=None, tracer_provider=None, max_spans=DEFAULT_MAX_SPANS):
    """Decorator: each call of the function runs in a span_tree named after
    it. A coroutine function is traced coroutine-aware, across its awaits.

        @spantree.otel.traced(threshold="1ms")
        async def handle(request): ...

    `@traced` without arguments uses the defaults.
    """
    if callable(threshold) and depth is None:
        return traced()(threshold)
    options = {"threshold": threshold, "depth": depth, "tracer_provider": tracer_provider, "max_spans": max_spans}
    span_tree(**options)  # refuses bad options at decoration time

    def decorate(func):
        if inspect.isgeneratorfunction(func) or inspect.isasyncgenfunction(func):
            raise TypeError(f"traced cannot follow the generator function {func.__qualname__}: "
                            "decorate the function that consumes it")
        block_name = name if name is not None else func.__qualname__
        if inspect.iscoroutinefunction(func):
            @functools.wraps(func)
            async def traced_coroutine(*args, **kwargs):
                with span_tree(**options, coroutines=True, name=block_name):
                    return await func(*args, **kwargs)
            return traced_coroutine

        @functools.wraps(func)
        def traced_call(*args, **kwargs):
            with span_tree(**options, name=block_name):
                return func(*args, **kwargs)
        return traced_call

    return decorate
