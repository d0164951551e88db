"""Measures what spantree.otel costs after a block: emitting its records as spans.

    PYTHONPATH=build/release:. python3.14 bench/otel_emit.py [--rounds N]

Each case traces a block of `records` calls at threshold 0 and times the
block's exit (end of the trace, decoding, choosing the longest records and
emitting the spans) against an SDK tracer provider with no processor, or
with a simple processor into an in-memory exporter. The bare SDK line is
start_span/end with the same attributes and nothing else: the floor that any
emitter built on the SDK pays per span; "spantree.trace alone" is the exit of
a plain trace of as many records (ending it and decoding the records), which
span_tree pays too. Medians over the rounds.
"""

import argparse
import statistics
import time

from opentelemetry import trace as otel_trace
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

import spantree.otel

CASES = [(1_000, 1_000), (10_000, 10_000), (100_000, 1_000)]


def leaf():
    pass


def calls(count):
    for _ in range(count - 1):
        leaf()


def provider(processor):
    result = TracerProvider()
    if processor:
        result.add_span_processor(SimpleSpanProcessor(InMemorySpanExporter()))
    return result


def time_exit(records, limit, processor):
    """Seconds spent leaving the block, and the spans it emitted."""
    sdk = provider(processor)
    block = spantree.otel.span_tree(threshold=0, name="block", tracer_provider=sdk, max_spans=limit)
    with block:
        calls(records)
        started = time.perf_counter()
    elapsed = time.perf_counter() - started
    sdk.shutdown()
    return elapsed, block.emitted


def time_trace_exit(records):
    """Seconds spent leaving a plain spantree.trace block of as many records
    (ending the trace and decoding it), which span_tree pays as well."""
    with spantree.trace(threshold=0):
        calls(records)
        started = time.perf_counter()
    return time.perf_counter() - started


def time_bare_sdk(count):
    """Seconds per span for start_span/end alone, with the same attributes."""
    tracer = provider(False).get_tracer("bench")
    parent = otel_trace.set_span_in_context(tracer.start_span("block"))
    attributes = {"spantree.kind": "call", "code.function.name": "leaf", "code.file.path": __file__,
                  "code.line.number": 1, "thread.id": 1, "thread.name": "MainThread"}
    started = time.perf_counter()
    for start in range(count):
        span = tracer.start_span("leaf", parent, attributes=attributes, start_time=start,
                                 record_exception=False, set_status_on_exception=False)
        span.end(end_time=start + 1)
    return (time.perf_counter() - started) / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    print(f"bare SDK start_span/end: {statistics.median(time_bare_sdk(10_000) for _ in range(rounds)) * 1e6:.1f} us per span")
    for records in sorted({records for records, _ in CASES}):
        elapsed = statistics.median(time_trace_exit(records) for _ in range(rounds))
        print(f"spantree.trace alone  {records:>7} records: {elapsed * 1e3:7.1f} ms, "
              f"{elapsed / records * 1e6:5.1f} us per record")
    for processor in (False, True):
        for records, limit in CASES:
            runs = [time_exit(records, limit, processor) for _ in range(rounds)]
            elapsed = statistics.median(run[0] for run in runs)
            emitted = runs[0][1]
            print(f"{'in-memory exporter' if processor else 'no processor':18}  {records:>7} records, "
                  f"limit {limit:>6}: {emitted:>6} spans in {elapsed * 1e3:7.1f} ms, "
                  f"{elapsed / records * 1e6:5.1f} us per record, {elapsed / emitted * 1e6:6.1f} us per span")


if __name__ == "__main__":
    main()
