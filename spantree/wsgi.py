"""WSGI middleware: traces a request on request (with a secret) or one in N
(sampling); see spantree.web for the two modes.

    from spantree.wsgi import SpantreeMiddleware
    app.wsgi_app = SpantreeMiddleware(app.wsgi_app, secret=os.environ["SPANTREE_SECRET"])

A traced request is traced on its own thread, from the application's call
to the end of its response body: a sampled request's body is gathered
before it is sent, so that its iteration is part of the trace.
"""

import sys
import time

from . import web


class SpantreeMiddleware:
    def __init__(self, app, **settings):
        """`settings` as spantree.web.Settings takes them; with none, every
        request goes straight to `app`."""
        self.app = app
        self.settings = web.Settings(**settings)

    def __call__(self, environ, start_response):
        settings = self.settings
        if not settings.enabled:
            return self.app(environ, start_response)
        asked = settings.secret is not None and self._asked(environ)
        if not (asked or settings.sampler is not None and settings.sampler.take()):
            return self.app(environ, start_response)
        if sys.getprofile() is not None:
            return self.app(environ, _with_status(start_response, web.PROFILED))
        if asked:
            return self._on_request(environ, start_response)
        return self._sampled(environ, start_response)

    def _asked(self, environ):
        given = environ.get("HTTP_X_SPANTREE")
        if given is not None:
            return self.settings.matches(given.encode("latin-1"))
        query = environ.get("QUERY_STRING", "")
        return web.TRIGGER_PARAMETER + "=" in query and self.settings.query_matches(query.encode("latin-1"))

    def _run(self, tracer, environ, start_response):
        """The application's response body, produced under `tracer`."""
        with tracer:
            result = self.app(environ, start_response)
            try:
                return list(result)
            finally:
                close = getattr(result, "close", None)
                if close is not None:
                    close()

    def _on_request(self, environ, start_response):
        started = []

        def hold(status, headers, exc_info=None):
            started[:] = [status]
            return lambda data: None

        tracer = self.settings.trace(coroutines=False)
        self._run(tracer, environ, hold)
        status = started[0] if started else "never started"
        body = web.page(tracer, environ.get("REQUEST_METHOD", ""), environ.get("PATH_INFO", ""), status)
        start_response("200 OK", [("Content-Type", "text/html; charset=utf-8"), ("Content-Length", str(len(body))),
                                  ("Cache-Control", "no-store"), (web.STATUS_HEADER, web.TRACED)])
        return [body]

    def _sampled(self, environ, start_response):
        tracer = self.settings.trace(coroutines=False)
        start = time.perf_counter_ns()
        try:
            return self._run(tracer, environ, start_response)
        finally:
            self.settings.sampler.done(tracer, time.perf_counter_ns() - start, environ.get("REQUEST_METHOD", ""),
                                       environ.get("PATH_INFO", ""))


def _with_status(start_response, status):
    def starting(status_line, headers, exc_info=None):
        return start_response(status_line, [*headers, (web.STATUS_HEADER, status)], exc_info)

    return starting
