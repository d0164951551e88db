"""Small web applications served on 127.0.0.1 for the middleware tests.

    python web_apps.py asgi|wsgi SETTINGS_JSON

SETTINGS_JSON is the middleware's settings, or null for the bare
application. Prints the port once listening, then serves until killed.

Each path has a function of its own, so that a trace shows whose work it
holds: /alpha and /beta sleep for ?sleep= seconds (default 0), then compute;
/fail raises.
"""

import json
import socket
import sys
import time


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def alpha_work():
    return fib(20)


def beta_work():
    return fib(20)


def starlette_app():
    import asyncio

    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    async def alpha(request):
        await asyncio.sleep(float(request.query_params.get("sleep", 0)))
        return PlainTextResponse(f"alpha {alpha_work()}")

    async def beta(request):
        await asyncio.sleep(float(request.query_params.get("sleep", 0)))
        return PlainTextResponse(f"beta {beta_work()}")

    async def fail(request):
        raise RuntimeError("the application failed")

    return Starlette(routes=[Route("/alpha", alpha), Route("/beta", beta), Route("/fail", fail)])


def flask_app():
    from flask import Flask, request

    app = Flask("web_apps")

    @app.route("/alpha")
    def alpha():
        time.sleep(float(request.args.get("sleep", 0)))
        return f"alpha {alpha_work()}"

    @app.route("/beta")
    def beta():
        time.sleep(float(request.args.get("sleep", 0)))
        return f"beta {beta_work()}"

    @app.route("/fail")
    def fail():
        raise RuntimeError("the application failed")

    return app


def serve_asgi(settings):
    import uvicorn

    app = starlette_app()
    if settings is not None:
        from spantree.asgi import SpantreeMiddleware

        app = SpantreeMiddleware(app, **settings)
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(64)
    print(sock.getsockname()[1], flush=True)
    uvicorn.Server(uvicorn.Config(app, log_level="critical", lifespan="off")).run(sockets=[sock])


def serve_wsgi(settings):
    from socketserver import ThreadingMixIn
    from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

    class Server(ThreadingMixIn, WSGIServer):
        daemon_threads = True

    class Quiet(WSGIRequestHandler):
        def log_message(self, *args):
            pass

    app = flask_app()
    if settings is not None:
        from spantree.wsgi import SpantreeMiddleware

        app.wsgi_app = SpantreeMiddleware(app.wsgi_app, **settings)
    server = make_server("127.0.0.1", 0, app, server_class=Server, handler_class=Quiet)
    print(server.server_port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    {"asgi": serve_asgi, "wsgi": serve_wsgi}[sys.argv[1]](json.loads(sys.argv[2]))
