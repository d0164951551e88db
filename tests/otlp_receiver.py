"""A minimal OTLP/HTTP trace receiver for tests: binds 127.0.0.1 on an
ephemeral port, decodes each export request with the OpenTelemetry proto
package and keeps the spans; it shuts itself down after `lifetime` seconds
even if the test never stops it."""

import gzip
import http.server
import threading

from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import (
    ExportTraceServiceRequest, ExportTraceServiceResponse)


class Receiver:
    def __init__(self, lifetime=60.0):
        self.requests = []
        self.rejected = []
        self._arrived = threading.Condition()
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                if self.headers.get("Content-Encoding") == "gzip":
                    body = gzip.decompress(body)
                if self.path != "/v1/traces" or self.headers.get("Content-Type") != "application/x-protobuf":
                    receiver.rejected.append((self.path, self.headers.get("Content-Type")))
                    self.send_error(404)
                    return
                request = ExportTraceServiceRequest.FromString(body)
                reply = ExportTraceServiceResponse().SerializeToString()
                self.send_response(200)
                self.send_header("Content-Type", "application/x-protobuf")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)
                with receiver._arrived:
                    receiver.requests.append(request)
                    receiver._arrived.notify_all()

            def log_message(self, *args):
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.endpoint = f"http://127.0.0.1:{self._server.server_address[1]}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._deadline = threading.Timer(lifetime, self._server.shutdown)
        self._deadline.daemon = True

    def __enter__(self):
        self._thread.start()
        self._deadline.start()
        return self

    def __exit__(self, *exc_info):
        self._deadline.cancel()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def spans(self):
        """(resource attributes, scope name, span) for every span received so far."""
        with self._arrived:
            requests = list(self.requests)
        return [(attributes(resource_spans.resource.attributes), scope_spans.scope.name, span)
                for request in requests for resource_spans in request.resource_spans
                for scope_spans in resource_spans.scope_spans for span in scope_spans.spans]

    def wait_for(self, predicate, timeout=30.0):
        """Waits until predicate(spans()) is true; returns the spans either way."""
        with self._arrived:  # a re-entrant lock: spans() takes it again
            self._arrived.wait_for(lambda: predicate(self.spans()), timeout)
        return self.spans()


def attributes(key_values):
    """A dict from a list of OTLP KeyValue messages (the scalar kinds)."""
    result = {}
    for item in key_values:
        kind = item.value.WhichOneof("value")
        result[item.key] = getattr(item.value, kind) if kind else None
    return result
