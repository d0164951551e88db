"""A small asyncio service that sends its call trees to an OpenTelemetry collector.

    OTEL_EXPORTER_OTLP_ENDPOINT=http://127.0.0.1:4318 python examples/otel_service.py

The service handles a handful of requests. Each request gets a span of the
service's own (as any instrumented service has); inside it, the handler is
decorated with spantree.otel.traced, so its call tree (coroutine-aware,
calls of at least 1 ms) arrives as child spans of the request span. The
exporter is the standard OTLP/HTTP one: it reads OTEL_EXPORTER_OTLP_ENDPOINT
(default http://localhost:4318) and the other standard OTEL_ variables;
OTEL_SERVICE_NAME names the service (default "spantree-example").
"""

import asyncio
import os
import sys
import time

from opentelemetry import trace
from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import BatchSpanProcessor

import spantree.otel

CATALOGUE = {"apple": 3, "pear": 5, "plum": 2}


def load_prices():
    time.sleep(0.002)  # a blocking read: it stalls the event loop, and the trace shows it
    return {name: price * 100 for name, price in CATALOGUE.items()}


async def stock_level(item):
    await asyncio.sleep(0.003)  # a call to a stock service
    return len(item)


def total(prices, order):
    return sum(prices[item] * count for item, count in order.items())


@spantree.otel.traced(threshold="1ms")
async def handle_order(order):
    prices = load_prices()
    levels = [await stock_level(item) for item in order]
    return total(prices, order), min(levels)


async def serve(orders):
    tracer = trace.get_tracer("example-service")
    for number, order in enumerate(orders):
        with tracer.start_as_current_span("POST /orders", attributes={"order.number": number}):
            amount, lowest = await handle_order(order)
            print(f"order {number}: {amount} cents, lowest stock {lowest}")


def main():
    service = os.environ.get("OTEL_SERVICE_NAME", "spantree-example")
    provider = TracerProvider(resource=Resource.create({"service.name": service}))
    provider.add_span_processor(BatchSpanProcessor(OTLPSpanExporter()))
    trace.set_tracer_provider(provider)
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    orders = [{"apple": 2, "plum": 1}, {"pear": 4}, {"apple": 1, "pear": 1, "plum": 6}]
    asyncio.run(serve([orders[i % len(orders)] for i in range(count)]))
    provider.shutdown()  # sends what is still queued


if __name__ == "__main__":
    main()
