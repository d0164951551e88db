"""Tracing a block of code, or one coroutine: on the calling thread, and on
every other thread that runs Python code meanwhile."""

import sys
import time

import spantree_C

_UNITS = {"ns": 1, "us": 1_000, "µs": 1_000, "ms": 1_000_000, "s": 1_000_000_000}
_SPACE = " \t\n\r\f\v"
_DIGITS = frozenset("0123456789")
_INT64_MAX = 2**63 - 1


def _split_duration(text):
    """(digits before the point, digits after it, unit) of "1.5ms"-like text, or None."""
    text = text.strip(_SPACE)
    unit = next((u for u in ("ns", "us", "µs", "ms", "s") if text.endswith(u)), "ns")
    number = text.removesuffix(unit).rstrip(_SPACE) if text.endswith(unit) else text
    whole, point, fraction = number.partition(".")
    if not (whole or fraction) or not _DIGITS.issuperset(whole + fraction):
        return None
    return whole, fraction, unit


def parse_threshold(value):
    """Nanoseconds from an int (taken as nanoseconds) or a string such as
    "250us", "1.5ms", "2s", "500ns" or "500" (nanoseconds)."""
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(f"threshold must be nanoseconds (int) or a string such as '1ms', not {value!r}")
    if isinstance(value, str):
        parts = _split_duration(value)
        if parts is None:
            raise ValueError(f"bad threshold {value!r}: expected a number with a unit ns, us, ms or s, "
                             "such as '250us'")
        whole, fraction, unit = parts
        ns, rest = divmod(int(whole + fraction or "0") * _UNITS[unit], 10 ** len(fraction))
        if rest:
            raise ValueError(f"bad threshold {value!r}: not a whole number of nanoseconds")
        value = ns
    if not 0 <= value <= _INT64_MAX:
        raise ValueError(f"threshold {value} ns is out of range (0 to {_INT64_MAX})")
    return value


def _check_depth(depth):
    if isinstance(depth, bool) or not isinstance(depth, int):
        raise TypeError(f"depth must be an int, not {depth!r}")
    if not 1 <= depth <= sys.maxsize:
        raise ValueError(f"depth must be at least 1 and at most {sys.maxsize}, not {depth}")
    return depth


# The running trace that gives way to a trace started on its thread, if any.
_giving_way = None


def _is_trace_profiler(hook):
    return type(hook).__qualname__ == "TraceProfiler" and type(hook).__module__ == "pyvarnex.ext"


class trace:
    """Traces the calling thread, and with `threads` every other thread,
    between entering and leaving the block.

        with spantree.trace(threshold="100us") as t:
            work()
        print(spantree.text_tree(t.tree))

    Records calls that lasted at least `threshold` (nanoseconds, or a string
    such as "250us"; default 0, every call), or, with `depth`, calls at most
    `depth` levels below the block. With `coroutines`, the first coroutine
    entered while nothing else is open is followed across its suspensions,
    with the coroutines it awaits and the calls they make; use `run` to trace
    one coroutine from a wrapper. A trace object is used once.

    A thread has one profile hook: the trace refuses to start where another
    is installed, and if the traced code replaces or removes the hook, the
    records end there (`hook_lost` says how, `hook_lost_ns` when).

    With `threads` (the default), every other thread that runs Python code
    during the block is traced too, from its first event on, with the same
    settings and a profiler of its own: threads started in the block from
    their start, threads already running from wherever they are (the calls
    they are inside have no record; what they call next does; a profile
    function such a thread had set is replaced). A thread that sets a profile
    function of its own during the trace keeps it, and its trace stops there.
    One trace of every thread runs at a time.
    `threads` lists every thread's records, the calling thread first; `tree`
    and `raw` are the calling thread's. With `threads=False` only the calling
    thread is traced and no other thread is touched.
    """

    def __init__(self, threshold=None, depth=None, *, coroutines=False, threads=True):
        if threshold is not None and depth is not None:
            raise ValueError("give a threshold or a depth, not both")
        self.threshold_ns = parse_threshold(threshold if threshold is not None else 0)
        self.depth = None if depth is None else _check_depth(depth)
        self.coroutines = bool(coroutines)
        self.all_threads = bool(threads)
        self._capture = None
        self._profiler = None
        self._started = False
        self._raw = None
        self._tree = None
        self._threads = None
        self.hook_lost = None
        self.hook_lost_ns = None
        self.start_ns = None
        self.gave_way = False

    # A trace that wraps code it did not write (a test runner's, around each
    # test) sets this: a trace the code starts on the same thread then ends
    # it early, keeping nothing (`gave_way`), and runs as it would alone.
    gives_way = False

    def __enter__(self):
        global _giving_way
        if self._started:
            raise RuntimeError("a trace object is used once")
        installed = sys.getprofile()
        if _giving_way is not None and installed is not None and installed is _giving_way._profiler:
            _giving_way._give_way()
            installed = sys.getprofile()
        if installed is not None:
            what = "another spantree trace" if _is_trace_profiler(installed) else repr(installed)
            raise RuntimeError(f"this thread already has a profile function ({what}); "
                               "a thread runs one profiler at a time")
        self._started = True
        self.start_ns = time.time_ns()
        settings = (self.threshold_ns, self.coroutines, self.depth or 0)
        if self.all_threads:
            from . import threadcapture

            # This reaches the calling thread too; its own hook replaces it next.
            self._capture = threadcapture.begin(settings)
        try:
            self._profiler = spantree_C.set_trace_profile(self._deliver, None, *settings)
        except BaseException:
            if self._capture is not None:
                self._capture.end()
            raise
        if self.gives_way:
            _giving_way = self
        return self

    def _give_way(self):
        global _giving_way
        _giving_way = None
        spantree_C.remove_trace_profile(self._profiler)
        self._profiler = None
        if self._capture is not None:
            self._capture.end()
            self._capture = None
        self.gave_way = True

    def __exit__(self, *exc_info):
        global _giving_way
        if self.gave_way and self._threads is None:
            self._threads = ()
            return False
        if self._profiler is None:
            raise RuntimeError("the trace is not running (start it with a with statement)")
        if _giving_way is self:
            _giving_way = None
        installed = self._profiler.thread_hook
        if installed is not self._profiler:
            self.hook_lost = "removed" if installed is None else f"replaced by {installed!r}"
            # None when the hook was lost before it saw any event.
            self.hook_lost_ns = self._profiler.last_event_ns or None
        # The removal comes first: whatever runs before it is traced.
        spantree_C.remove_trace_profile(self._profiler)
        self._profiler = None
        # Imported only now: starting a trace of this thread alone loads
        # nothing the traced code would otherwise load itself.
        import threading

        from .traced import ThreadTrace

        thread = threading.current_thread()
        threads = [ThreadTrace(thread.name, threading.get_native_id(), self._raw, self.coroutines)]
        if self._capture is not None:
            # Ending the capture may clear every thread's profile function, so
            # it comes before the traced code's own function is put back.
            threads += self._capture.end()
            self._capture = None
        if self.hook_lost and callable(installed) and not _is_trace_profiler(installed):
            # The profile function the traced code installed outlives the trace.
            sys.setprofile(installed)
        self._threads = tuple(threads)
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

    def save(self, file):
        """Writes the ended trace to the file at path `file` (whole or not at
        all), for `spantree.load` or `spantree view` to read later."""
        self._check_done()
        from .saved import save

        save(self, file)

    def _check_done(self):
        if self._threads is None:
            raise RuntimeError("the trace has not ended yet" if self._started else "the trace has not run")
