"""What the ASGI and WSGI middleware (spantree.asgi, spantree.wsgi) share:
their settings, the trigger's check, the page and the sampled traces' folder.

Two modes, each off unless configured:

- on request: a request whose ``X-Spantree`` header or ``spantree`` query
  parameter carries the configured secret is traced, and answered with the
  trace's HTML page instead of its response. The secret is compared in
  constant time; without a secret the mode is off.
- sampling: one request in `sample_every` is traced and, if it lasted at
  least `keep_slower_than`, saved as NAME.spantree into `directory` (files
  private to the user, at most `keep` of them, the oldest removed first).

Every traced request is traced on its own thread alone (threads=False): the
request's thread under WSGI, under ASGI the request's own coroutine,
coroutine-aware, on the event loop's thread.
"""

import hmac
import itertools
import os
import re
import sys
import time

TRIGGER_HEADER = "x-spantree"
TRIGGER_PARAMETER = "spantree"
# The response header that says what became of the request's trace.
STATUS_HEADER = "x-spantree"
TRACED = "traced"
BUSY = "untraced: another request is being traced on this thread"
PROFILED = "untraced: this thread already has a profile function"
SUFFIX = ".spantree"


def _duration(name, value):
    from .tracing import parse_threshold

    try:
        return parse_threshold(value)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name}: {exc}") from None


class Settings:
    """The middleware's configuration, checked when the application starts.

    `secret` (str) turns on tracing on request; `sample_every` (N, with
    `directory`) turns on sampling. `threshold` is the shortest call kept
    (nanoseconds or a string such as "250us"; default 100us), for both modes.
    """

    def __init__(self, *, secret=None, sample_every=None, directory=None, threshold="100us",
                 keep_slower_than=0, keep=100):
        if secret is not None and (not isinstance(secret, str) or not secret):
            raise ValueError("secret must be a non-empty string (or None: no tracing on request)")
        self.secret = None if secret is None else secret.encode("utf-8")
        self.threshold_ns = _duration("threshold", threshold)
        if sample_every is not None:
            if isinstance(sample_every, bool) or not isinstance(sample_every, int) or sample_every < 1:
                raise ValueError(f"sample_every must be a whole number from 1, not {sample_every!r}")
            if directory is None:
                raise ValueError("sampling needs a directory for its traces")
            if isinstance(keep, bool) or not isinstance(keep, int) or keep < 1:
                raise ValueError(f"keep must be a whole number from 1, not {keep!r}")
        self.sampler = None if sample_every is None else Sampler(
            sample_every, os.fspath(directory), _duration("keep_slower_than", keep_slower_than), keep)

    @property
    def enabled(self):
        return self.secret is not None or self.sampler is not None

    def matches(self, given):
        """Whether `given` (bytes) is the secret, compared in constant time."""
        return self.secret is not None and hmac.compare_digest(given, self.secret)

    def query_matches(self, query):
        """Whether the query string (bytes) carries the secret."""
        from urllib.parse import parse_qsl

        # Latin-1 both ways keeps every byte, escaped or not, as it came.
        for name, value in parse_qsl(query.decode("latin-1"), keep_blank_values=True, encoding="latin-1"):
            if name == TRIGGER_PARAMETER:
                return self.matches(value.encode("latin-1"))
        return False

    def trace(self, coroutines):
        from .tracing import trace

        return trace(self.threshold_ns, coroutines=coroutines, threads=False)


def refusal(tracing_threads):
    """Why a request to be traced on this thread runs untraced, or None."""
    if sys.getprofile() is None:
        return None
    import threading

    return BUSY if threading.get_ident() in tracing_threads else PROFILED


def page(tracer, method, path, status):
    """The trace's HTML page, as bytes."""
    from .cli import _limit
    from .html import html

    return html(tracer, title=f"spantree: {method} {path}",
                note=f"{_limit(tracer)}; the response was {status}").encode("utf-8")


class Sampler:
    """Picks one request in `every`, and keeps the traces of those slower
    than `slower_than_ns` in `directory`: at most `keep` files, named by
    the time they were saved so that the oldest sort first."""

    def __init__(self, every, directory, slower_than_ns, keep):
        self.every, self.directory, self.slower_than_ns, self.keep = every, directory, slower_than_ns, keep
        self._count = itertools.count(1)

    def take(self):
        return next(self._count) % self.every == 0

    def done(self, tracer, elapsed_ns, method, path):
        """Saves the ended trace if it was slow enough; returns its path or
        None. A trace that cannot be saved is a warning on the "spantree"
        logger, never the request's failure."""
        if elapsed_ns < self.slower_than_ns:
            return None
        try:
            return self._save(tracer, method, path)
        except OSError as exc:
            import logging

            logging.getLogger("spantree").warning("can't save the trace of %s %s in %s: %s", method, path,
                                                  self.directory, exc.strerror or exc)
            return None

    def _save(self, tracer, method, path):
        from .saved import process_of, write

        os.makedirs(self.directory, mode=0o700, exist_ok=True)
        label = re.sub(r"[^A-Za-z0-9_.-]+", "_", f"{method}{path}").strip("_")[:80]
        name = os.path.join(self.directory, f"{time.time_ns():020d}-{label}{SUFFIX}")
        part = f"{name}.part"
        fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            with open(fd, "wb") as out:
                write(tracer, out, process_of(tracer, target=f"{method} {path}", command=[method, path]))
            os.replace(part, name)
        except BaseException:
            try:
                os.unlink(part)
            except OSError:
                pass
            raise
        self._prune()
        return name

    def _prune(self):
        names = sorted(n for n in os.listdir(self.directory) if n.endswith(SUFFIX) and n[:20].isdigit())
        for old in names[:max(len(names) - self.keep, 0)]:
            try:
                os.unlink(os.path.join(self.directory, old))
            except FileNotFoundError:
                pass  # another process sharing the folder removed it first
