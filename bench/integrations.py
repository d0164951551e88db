"""What the integrations cost: the pytest plugin loaded but idle, the web
middleware on a request it does not trace, and a sampled request.

    python3.14 bench/integrations.py [--rounds N] [--quick]

- pytest: a suite of 2,000 empty tests run with and without
  `-p spantree.pytest_plugin` (no --spantree), alternately, fastest of
  `rounds` each.
- middleware: the ASGI and WSGI middleware, configured for both modes, in
  front of a minimal application, called in-process for a request without
  the trigger that the sampler passes over, against the application alone
  (ns per request, best of `rounds` batches).
- a sampled request: the Starlette application's /alpha (fib(20), 21,891
  calls) through the ASGI middleware, in-process, untraced and sampled at a
  1 ms threshold, with and without saving its trace.
"""

import argparse
import asyncio
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = pathlib.Path(os.environ.get("SPANTREE_BUILD", ROOT / "build" / "release"))
sys.path[:0] = [str(BUILD), str(ROOT), str(ROOT / "tests")]


def pytest_idle(rounds, tests):
    with tempfile.TemporaryDirectory() as folder:
        pathlib.Path(folder, "test_many.py").write_text(
            f"import pytest\n@pytest.mark.parametrize('n', range({tests}))\ndef test_n(n):\n    pass\n")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]))

        def run(*args):
            start = time.perf_counter()
            subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args], cwd=folder,
                           env=env, check=True, capture_output=True)
            return time.perf_counter() - start

        # Interleaved, so that a change of the machine's load falls on both.
        runs = [(run(), run("-p", "spantree.pytest_plugin")) for _ in range(rounds)]
        without, loaded = min(r[0] for r in runs), min(r[1] for r in runs)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]))
    print(f"pytest, {tests:,} empty tests: {without:.3f} s without the plugin, {loaded:.3f} s with it loaded "
          f"and idle ({100 * (loaded / without - 1):+.1f}%)")
    # The whole of the idle plugin's work, once per run: its import (pytest
    # is loaded already) and its two start-up hooks' few lines.
    code = ("import time, pytest; start = time.perf_counter_ns(); import spantree.pytest_plugin; "
            "print(time.perf_counter_ns() - start)")
    imports = [int(subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                                  text=True).stdout) for _ in range(rounds)]
    print(f"pytest plugin import, once per run: {min(imports) / 1e6:.2f} ms (fastest of {rounds})")


def per_call(call, count, rounds):
    best = None
    for _ in range(rounds):
        start = time.perf_counter_ns()
        for _ in range(count):
            call()
        elapsed = (time.perf_counter_ns() - start) / count
        best = elapsed if best is None else min(best, elapsed)
    return best


def middleware_idle(rounds, count):
    from spantree.asgi import SpantreeMiddleware as Asgi
    from spantree.wsgi import SpantreeMiddleware as Wsgi

    settings = {"secret": "a secret", "sample_every": 10**12, "directory": "unused"}

    async def asgi_app(scope, receive, send):
        return None

    def wsgi_app(environ, start_response):
        return ()

    scope = {"type": "http", "method": "GET", "path": "/items", "query_string": b"page=2&size=50",
             "headers": [(b"host", b"example.org"), (b"user-agent", b"bench"), (b"accept", b"*/*"),
                         (b"accept-encoding", b"gzip"), (b"cookie", b"session=abc")]}
    environ = {"REQUEST_METHOD": "GET", "PATH_INFO": "/items", "QUERY_STRING": "page=2&size=50",
               "HTTP_HOST": "example.org", "HTTP_USER_AGENT": "bench"}
    wrapped = Asgi(asgi_app, **settings)

    def drive(app):
        coroutine = app(scope, None, None)
        try:
            coroutine.send(None)
        except StopIteration:
            pass

    bare_asgi = per_call(lambda: drive(asgi_app), count, rounds)
    with_asgi = per_call(lambda: drive(wrapped), count, rounds)
    wsgi = Wsgi(wsgi_app, **settings)
    bare_wsgi = per_call(lambda: wsgi_app(environ, None), count, rounds)
    with_wsgi = per_call(lambda: wsgi(environ, None), count, rounds)
    print(f"ASGI middleware, untraced request: {with_asgi - bare_asgi:.0f} ns over the application's "
          f"{bare_asgi:.0f} ns")
    print(f"WSGI middleware, untraced request: {with_wsgi - bare_wsgi:.0f} ns over the application's "
          f"{bare_wsgi:.0f} ns")


def sampled_request(rounds):
    import web_apps
    from spantree.asgi import SpantreeMiddleware

    app = web_apps.starlette_app()
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET", "scheme": "http",
             "path": "/alpha", "raw_path": b"/alpha", "query_string": b"", "root_path": "", "headers": [],
             "server": ("127.0.0.1", 80), "client": ("127.0.0.1", 1)}

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        pass

    async def timed(application):
        start = time.perf_counter_ns()
        await application(dict(scope), receive, send)
        return time.perf_counter_ns() - start

    async def median_of(application):
        times = sorted([await timed(application) for _ in range(rounds)])
        return times[len(times) // 2] / 1e6

    with tempfile.TemporaryDirectory() as folder:
        traced = SpantreeMiddleware(app, sample_every=1, directory=folder, threshold="1ms",
                                    keep_slower_than="1000s")
        saved = SpantreeMiddleware(app, sample_every=1, directory=folder, threshold="1ms", keep=rounds)

        async def measure():
            return await median_of(app), await median_of(traced), await median_of(saved)

        bare, sampled, kept = asyncio.run(measure())
        size = max(p.stat().st_size for p in pathlib.Path(folder).iterdir())
    print(f"sampled request (fib(20), 21,891 calls, threshold 1 ms): {bare:.2f} ms untraced, {sampled:.2f} ms "
          f"traced, {kept:.2f} ms traced and saved ({size:,} bytes)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="small runs, to prove the benchmark works")
    options = parser.parse_args()
    rounds = 2 if options.quick else options.rounds
    pytest_idle(rounds, 200 if options.quick else 2000)
    middleware_idle(rounds, 1000 if options.quick else 200_000)
    sampled_request(rounds if options.quick else 5 * rounds)
    print(f"load average: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
