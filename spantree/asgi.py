"""ASGI middleware: traces a request on request (with a secret) or one in N
(sampling); see spantree.web for the two modes.

    from spantree.asgi import SpantreeMiddleware
    app = SpantreeMiddleware(app, secret=os.environ["SPANTREE_SECRET"])
    app = SpantreeMiddleware(app, sample_every=100, directory="traces", keep_slower_than="200ms")

A traced request is traced coroutine-aware from the application's
coroutine for that request: its awaits show as waits, and the tasks it
spawns, like every other request's, run on the loop untraced. The profile
hook belongs to the loop's thread, so while one request is traced, another
that asks to be traced runs untraced, answered with an ``x-spantree``
header saying so; so does every other request served meanwhile.
"""

import threading
import time

from . import web


class SpantreeMiddleware:
    def __init__(self, app, **settings):
        """`settings` as spantree.web.Settings takes them; with none, every
        request goes straight to `app`."""
        self.app = app
        self.settings = web.Settings(**settings)
        self._tracing = set()  # idents of the threads (event loops) with a request being traced

    async def __call__(self, scope, receive, send):
        settings = self.settings
        if scope["type"] != "http" or not settings.enabled:
            return await self.app(scope, receive, send)
        asked = settings.secret is not None and self._asked(scope)
        sampled = not asked and settings.sampler is not None and settings.sampler.take()
        if not (asked or sampled):
            if self._tracing and threading.get_ident() in self._tracing:
                return await self.app(scope, receive, _with_status(send, web.BUSY))
            return await self.app(scope, receive, send)
        refused = web.refusal(self._tracing)
        if refused:
            return await self.app(scope, receive, _with_status(send, refused))
        if asked:
            return await self._on_request(scope, receive, send)
        return await self._sampled(scope, receive, send)

    async def _traced(self, tracer, awaitable):
        """Awaits `awaitable` under `tracer`, this thread marked as tracing meanwhile."""
        thread = threading.get_ident()
        self._tracing.add(thread)
        try:
            await tracer.run(awaitable)
        finally:
            self._tracing.discard(thread)

    def _asked(self, scope):
        """Whether the request carries the secret, in its header or query;
        the common case, a request with neither, costs a scan of its header
        names and a substring test."""
        name = web.TRIGGER_HEADER.encode("ascii")
        for key, value in scope.get("headers", ()):
            if key == name:  # ASGI gives header names in lower case
                return self.settings.matches(value)
        query = scope.get("query_string", b"")
        return (web.TRIGGER_PARAMETER + "=").encode("ascii") in query and self.settings.query_matches(query)

    async def _on_request(self, scope, receive, send):
        """Runs the request with its response held back, then answers with
        the trace's page; if the application fails, its response so far is
        sent as it was, and its error raised."""
        held = []

        async def hold(message):
            held.append(message)

        tracer = self.settings.trace(coroutines=True)
        try:
            await self._traced(tracer, self.app(scope, receive, hold))
        except BaseException:
            for message in held:
                await send(message)
            raise
        status = next((m["status"] for m in held if m["type"] == "http.response.start"), "never started")
        body = web.page(tracer, scope.get("method", ""), scope.get("path", ""), status)
        await send({"type": "http.response.start", "status": 200, "headers": [
            (b"content-type", b"text/html; charset=utf-8"), (b"content-length", str(len(body)).encode()),
            (b"cache-control", b"no-store"), (web.STATUS_HEADER.encode(), web.TRACED.encode())]})
        await send({"type": "http.response.body", "body": body})

    async def _sampled(self, scope, receive, send):
        tracer = self.settings.trace(coroutines=True)
        start = time.perf_counter_ns()
        try:
            await self._traced(tracer, self.app(scope, receive, send))
        finally:
            self.settings.sampler.done(tracer, time.perf_counter_ns() - start, scope.get("method", ""),
                                       scope.get("path", ""))


def _with_status(send, status):
    """`send` with the response's start carrying the x-spantree header."""
    header = (web.STATUS_HEADER.encode(), status.encode())

    async def sending(message):
        if message["type"] == "http.response.start":
            message = {**message, "headers": [*message.get("headers", ()), header]}
        await send(message)

    return sending
