"""The ASGI and WSGI middleware under real servers on 127.0.0.1: uvicorn
with a Starlette application, and Flask under the standard library's WSGI
server with a thread per request (tests/web_apps.py)."""

import json
import os
import re
import stat
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

from conftest import BUILD, ROOT

HOSTS = {"asgi": ("uvicorn", "starlette"), "wsgi": ("flask",)}
SECRET = "a secret of this test, 32 bytes."


def _importable(kind):
    missing = [name for name in HOSTS[kind] if _missing(name)]
    return pytest.param(kind, marks=pytest.mark.skipif(
        bool(missing), reason=f"{', '.join(missing)} not importable on this Python"))


def _missing(name):
    try:
        __import__(name)
    except ImportError:
        return True
    return False


KINDS = [_importable("asgi"), _importable("wsgi")]


class Server:
    def __init__(self, kind, settings):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]))
        self.proc = subprocess.Popen([sys.executable, str(ROOT / "tests" / "web_apps.py"), kind, json.dumps(settings)],
                                     env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line:
            pytest.fail(f"the server did not start:\n{self.proc.stderr.read()}")
        self.base = f"http://127.0.0.1:{int(line)}"

    def get(self, path, headers=None):
        """(status, headers with lower-case names, body) of a GET."""
        request = urllib.request.Request(self.base + path, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                return response.status, {k.lower(): v for k, v in response.headers.items()}, response.read()
        except urllib.error.HTTPError as error:
            return error.code, {k.lower(): v for k, v in error.headers.items()}, error.read()

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def serve():
    servers = []

    def start(kind, settings):
        servers.append(Server(kind, settings))
        return servers[-1]

    yield start
    for server in servers:
        server.stop()


def names_in(page):
    """The function names a trace's page holds."""
    data = re.search(rb'<script type="application/json" id="spantree-data">(.*?)</script>', page, re.S).group(1)
    return set(json.loads(data)["strings"])


@pytest.mark.parametrize("kind", KINDS)
def test_on_request(serve, kind):
    server = serve(kind, {"secret": SECRET})
    plain = server.get("/alpha")
    assert plain[0] == 200 and plain[2] == b"alpha 6765" and "x-spantree" not in plain[1]
    for path, headers in (("/alpha", {"X-Spantree": SECRET}), (f"/alpha?spantree={SECRET.replace(' ', '+')}", {})):
        status, head, body = server.get(path, headers)
        assert (status, head["x-spantree"], head["content-type"]) == (200, "traced", "text/html; charset=utf-8")
        assert {"alpha_work", "fib"} <= names_in(body) and "beta_work" not in names_in(body)
        assert b"the response was 200" in body
    # A wrong secret: the normal response, and nothing traced.
    for path, headers in (("/alpha", {"X-Spantree": SECRET[:-1]}), ("/alpha?spantree=guess", {}),
                          ("/alpha", {"X-Spantree": SECRET + "x"})):
        assert server.get(path, headers) == plain[:1] + (server.get(path, headers)[1], b"alpha 6765")
        assert "x-spantree" not in server.get(path, headers)[1]


@pytest.mark.parametrize("kind", KINDS)
def test_failing_application_keeps_its_error_response(serve, kind, tmp_path):
    bare = serve(kind, None).get("/fail")
    assert bare[0] == 500
    server = serve(kind, {"secret": SECRET, "sample_every": 1, "directory": str(tmp_path)})
    sampled = server.get("/fail")
    assert (sampled[0], sampled[2]) == (bare[0], bare[2])
    # The failed request's trace is kept all the same.
    deadline = time.monotonic() + 10
    while not list(tmp_path.glob("*-GET_fail.spantree")) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert len(list(tmp_path.glob("*-GET_fail.spantree"))) == 1
    if kind == "asgi":
        # The raising application's response, held back while traced, is sent as it was.
        traced = server.get("/fail", {"X-Spantree": SECRET})
        assert (traced[0], traced[2]) == (bare[0], bare[2])


@pytest.mark.parametrize("kind", KINDS)
def test_concurrent_requests_trace_their_own(serve, kind):
    server = serve(kind, {"secret": SECRET})
    results = {}

    def fetch(name, path, headers):
        results[name] = server.get(path, headers)

    first = threading.Thread(target=fetch, args=("alpha", "/alpha?sleep=0.5", {"X-Spantree": SECRET}))
    first.start()
    time.sleep(0.2)
    others = [threading.Thread(target=fetch, args=("beta", "/beta?sleep=0.05", {"X-Spantree": SECRET})),
              threading.Thread(target=fetch, args=("plain", "/beta", {}))]
    for thread in others:
        thread.start()
    for thread in (first, *others):
        thread.join()
    alpha = names_in(results["alpha"][2])
    assert "alpha_work" in alpha and "beta_work" not in alpha
    if kind == "wsgi":
        # A thread per request: each traced on its own.
        assert results["beta"][1]["x-spantree"] == "traced"
        beta = names_in(results["beta"][2])
        assert "beta_work" in beta and "alpha_work" not in beta
        assert "x-spantree" not in results["plain"][1]
    else:
        # One event loop: requests served while one is traced run untraced, and say so.
        for name in ("beta", "plain"):
            assert results[name][2] == b"beta 6765"
            assert results[name][1]["x-spantree"] == "untraced: another request is being traced on this thread"
    assert "x-spantree" not in server.get("/beta")[1]


@pytest.mark.parametrize("kind", KINDS)
def test_sampling_keeps_slow_requests_privately_and_boundedly(serve, kind, tmp_path):
    import spantree

    folder = tmp_path / "traces"
    server = serve(kind, {"sample_every": 2, "directory": str(folder), "keep_slower_than": "100ms", "keep": 2,
                          "threshold": "1ms"})
    # Requests 2, 4 and 6 are sampled; 2 is fast and not kept; 4 and 6 are slow,
    # then 8 and 10 are slow too, which leaves 8 and 10 alone. A trace is
    # saved once its response has gone: the folder settles a moment later.
    def settled(wanted):
        deadline = time.monotonic() + 10
        while True:
            files = sorted(folder.iterdir()) if folder.exists() else []
            if wanted(files) or time.monotonic() > deadline:
                return files
            time.sleep(0.02)

    for number in range(1, 11):
        path = "/beta" if number == 2 else "/alpha?sleep=0.12"
        status, head, body = server.get(path)
        assert status == 200 and body in (b"alpha 6765", b"beta 6765")
        # A sampled request's trace ends as its coroutine does, which may be
        # after the client has its response: the next request waits for that.
        time.sleep(0.1)
        assert "x-spantree" not in head
        if number == 6:
            middle = settled(lambda files: len(files) == 2)
            assert len(middle) == 2
    kept = settled(lambda files: not set(files) & set(middle))
    assert len(kept) == 2 and not set(kept) & set(middle)
    assert all(p.name.endswith("-GET_alpha.spantree") for p in kept)
    assert stat.S_IMODE(folder.stat().st_mode) == 0o700
    for path in kept:
        assert stat.S_IMODE(path.stat().st_mode) == 0o600
        saved = spantree.load(path)
        assert saved.target == "GET /alpha"
        assert {r.name for r in saved.records} >= {"alpha_work", "fib"} and "beta_work" not in {
            r.name for r in saved.records}


def test_settings_are_checked(tmp_path):
    from spantree.web import Settings

    for settings, error in (({"secret": ""}, "secret must be a non-empty string"),
                            ({"secret": b"bytes"}, "secret must be a non-empty string"),
                            ({"sample_every": 0, "directory": "d"}, "sample_every must be a whole number"),
                            ({"sample_every": 5}, "sampling needs a directory"),
                            ({"sample_every": 5, "directory": "d", "keep": 0}, "keep must be a whole number"),
                            ({"secret": "s", "threshold": "5xs"}, "threshold: bad threshold"),
                            ({"sample_every": 5, "directory": "d", "keep_slower_than": -1},
                             "keep_slower_than: threshold -1 ns is out of range")):
        with pytest.raises(ValueError, match=re.escape(error)):
            Settings(**settings)
    assert not Settings().enabled
    assert Settings(secret="right").matches(b"right") and not Settings(secret="right").matches(b"wrong")
    assert not Settings().matches(b"")
    assert Settings(secret="s p").query_matches(b"a=1&spantree=s+p") and not Settings(
        secret="s").query_matches(b"xspantree=s&spantree=t")
    # Escaped bytes of any value compare as bytes, and never fail.
    assert Settings(secret="\u20ac").query_matches(b"spantree=%E2%82%AC")
    assert not Settings(secret="s").query_matches(b"spantree=%E2%82%AC%FF\xff")
