"""Tracing a block of code, or one coroutine, on the calling thread."""

import re
import threading
from decimal import Decimal

import spantree_C

_UNITS = {"ns": 1, "us": 1_000, "µs": 1_000, "ms": 1_000_000, "s": 1_000_000_000}
_DURATION = re.compile(r"\s*([0-9]+(?:\.[0-9]*)?|\.[0-9]+)\s*(ns|us|µs|ms|s)?\s*", re.ASCII)
_INT64_MAX = 2**63 - 1


def parse_threshold(value):
    """Nanoseconds from an int (taken as nanoseconds) or a string such as
    "250us", "1.5ms", "2s", "500ns" or "500" (nanoseconds)."""
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(f"threshold must be nanoseconds (int) or a string such as '1ms', not {value!r}")
    if isinstance(value, str):
        match = _DURATION.fullmatch(value)
        if not match:
            raise ValueError(f"bad threshold {value!r}: expected a number with a unit ns, us, ms or s, "
                             "such as '250us'")
        ns = Decimal(match[1]) * _UNITS[match[2] or "ns"]
        if ns != ns.to_integral_value():
            raise ValueError(f"bad threshold {value!r}: not a whole number of nanoseconds")
        value = int(ns)
    if not -_INT64_MAX <= value <= _INT64_MAX:
        raise ValueError(f"threshold {value} ns is out of range")
    return value


def _check_depth(depth):
    if isinstance(depth, bool) or not isinstance(depth, int):
        raise TypeError(f"depth must be an int, not {depth!r}")
    if depth < 1:
        raise ValueError(f"depth must be at least 1, not {depth}")
    return depth


class trace:
    """Traces the calling thread between entering and leaving the block.

        with spantree.trace(threshold="100us") as t:
            work()
        print(spantree.text_tree(t.tree))

    Records calls that lasted at least `threshold` (nanoseconds, or a string
    such as "250us"; default 0, every call), or, with `depth`, calls at most
    `depth` levels below the block. With `coroutines`, the first coroutine
    entered while nothing else is open is followed across its suspensions,
    with the coroutines it awaits and the calls they make; use `run` to trace
    one coroutine from a wrapper. A trace object is used once.
    """

    def __init__(self, threshold=None, depth=None, *, coroutines=False):
        if threshold is not None and depth is not None:
            raise ValueError("give a threshold or a depth, not both")
        self.threshold_ns = parse_threshold(threshold if threshold is not None else 0)
        self.depth = None if depth is None else _check_depth(depth)
        self.coroutines = bool(coroutines)
        self._profiler = None
        self._started = False
        self._raw = None
        self._tree = None
        self._threads = None

    def __enter__(self):
        if self._started:
            raise RuntimeError("a trace object is used once")
        self._started = True
        self._profiler = spantree_C.set_trace_profile(
            self._deliver, None, self.threshold_ns, self.coroutines, self.depth or 0)
        return self

    def __exit__(self, *exc_info):
        # The removal comes first: whatever runs before it is traced.
        spantree_C.remove_trace_profile(self._profiler)
        self._profiler = None
        from .records import ThreadTrace

        thread = threading.current_thread()
        self._threads = (ThreadTrace(thread.name, threading.get_native_id(), self._raw, self.coroutines),)
        return False

    def _deliver(self, context, records):
        self._raw = records

    async def run(self, awaitable):
        """Awaits `awaitable` under this trace and returns its result.

        The trace starts in this wrapper coroutine, before the awaited
        coroutine is first entered, and ends after it has finished; with
        `coroutines` that coroutine is the top of the tree:

            t = spantree.trace(coroutines=True)
            asyncio.run(t.run(main()))
        """
        with self:
            return await awaitable

    @property
    def raw(self):
        """The records list as the tracer delivered it."""
        self._check_done()
        return self._raw

    @property
    def threads(self):
        """The records of every traced thread (ThreadTrace), the thread that
        started the trace first."""
        self._check_done()
        return self._threads

    @property
    def tree(self):
        """The decoded records and call tree (a CallTree), decoded on first use:
        the views in spantree.views read the records without it."""
        self._check_done()
        if self._tree is None:
            from .records import decode

            self._tree = decode(self._raw, coroutines=self.coroutines)
        return self._tree

    @property
    def records(self):
        return self.tree.records

    def _check_done(self):
        if self._threads is None:
            raise RuntimeError("the trace has not ended yet" if self._started else "the trace has not run")
