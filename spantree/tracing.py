"""Tracing a block of code, or one coroutine: on the calling thread, and on
every other thread that runs Python code meanwhile."""

import os
import sys
import time
from _thread import get_ident

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


def parse_own(values):
    """(paths, packages) of the `own=` values: a value that names an existing
    file or folder, or is written as a path, is a path (made absolute now,
    before the traced code can change directory); any other must be a
    dotted package name. Anything else is a ValueError."""
    if isinstance(values, (str, os.PathLike)):
        values = (values,)
    paths, packages = [], []
    for value in values:
        if not isinstance(value, (str, os.PathLike)):
            raise TypeError(f"own takes paths or package names, not {value!r}")
        text = os.fspath(value)
        if not text:
            raise ValueError("own: an empty name is neither a path nor a package")
        if os.path.exists(text) or os.sep in text or text.startswith(".") or text.endswith(".py"):
            if not os.path.exists(text):
                raise ValueError(f"own: no such file or folder: {text!r}")
            paths.append(os.path.abspath(text))
        elif all(part.isidentifier() for part in text.split(".")):
            packages.append(text)
        else:
            raise ValueError(f"own: {text!r} is neither an existing path nor a package name")
    return tuple(paths), tuple(packages)


def _check_depth(depth):
    if isinstance(depth, bool) or not isinstance(depth, int):
        raise TypeError(f"depth must be an int, not {depth!r}")
    if not 1 <= depth <= sys.maxsize:
        raise ValueError(f"depth must be at least 1 and at most {sys.maxsize}, not {depth}")
    return depth


def _no_delivery(context, records):
    """The profilers' callback, which no one calls: a view reads the call
    log itself (spantree_reader_C.Reader.from_profiler)."""


# The profiler type's full name, as the tracer declares it. The type is
# matched by name, not identity: spantree_C does not export it, and the test
# build of the tracer (spantree_testing_C) defines a type of its own under the
# same name, whose profilers count as spantree traces too.
TRACE_PROFILER_TYPE = "pyvarnex.ext.TraceProfiler"


def _warn(text):
    import warnings

    warnings.warn(f"spantree: {text}", RuntimeWarning, stacklevel=4)


# The running trace that gives way to a trace started on its thread, if any.
_giving_way = None


def _is_trace_profiler(hook):
    kind = type(hook)
    return f"{kind.__module__}.{kind.__qualname__}" == TRACE_PROFILER_TYPE


_open_traces = []  # the traces between __enter__ and __exit__, on any thread


def _stop_in_forked_child():
    """At-fork handler of the child: the traces it inherited stop here."""
    for traced in _open_traces:
        traced._stop_at_fork()


os.register_at_fork(after_in_child=_stop_in_forked_child)


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
    one coroutine from a wrapper. Each coroutine an asyncio event loop runs
    (asyncio.run, asyncio.Runner.run, loop.run_until_complete) is followed
    so, on every thread, as a tree of its own; outside those, a thread's
    first coroutine alone is, and `followed_by_hand` lists those as (thread
    name, name, file, line, duration_ns). A trace object is used once.

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

    The views show the program's own code first and group the libraries'
    (spantree.origins): a file outside the standard library and the
    installed packages is the program's own. `own` names more: paths (a
    folder or a file) and package names, whose files count as the
    program's own wherever they are installed.

    `threads` lists the records of the calling thread, then of every other
    thread that made a recorded call; `quiet_threads` counts the threads that
    made none. `tree` and `raw` are the calling thread's. With
    `threads=False` only the calling thread is traced and no other thread is
    touched.

    In a child forked during the trace, the trace stops at the fork: a block
    the child leaves holds the calls made before the fork (the calls open
    then have no record).

    With `children`, the block's child processes are traced too, as the
    command traces them (see spantree.children), and `children` lists them
    once it has ended: a SavedTrace per child that left its trace, a
    children.Missing (`pid`, `command`, `reason`) per child that did not.
    Meanwhile the environment names the run's spool to them. Without it, the
    trace touches neither os.environ nor any child.
    """

    # Whether a forked child's trace keeps what was recorded before the fork
    # for its block's end; the command sets it false, as it never writes
    # from a child.
    _keeps_records_in_child = True

    def __init__(self, threshold=None, depth=None, *, coroutines=False, threads=True, own=(), children=False):
        if threshold is not None and depth is not None:
            raise ValueError("give a threshold or a depth, not both")
        self._own_paths, self._own_packages = parse_own(own)
        self._started_path = self._started_cwd = self._ended_path = self._origins = None
        self.threshold_ns = parse_threshold(threshold if threshold is not None else 0)
        self.depth = None if depth is None else _check_depth(depth)
        self.coroutines = bool(coroutines)
        self.all_threads = bool(threads)
        self.children = [] if children else None
        self._spool = None
        if children:
            self._keeps_records_in_child = False  # a forked child traces itself afresh
        self._capture = None
        self._profiler = None
        self._started = False
        self._tree = None
        self._threads = None
        self._thread_ident = None
        self._delivered = []  # records lists, one per profiler this thread ran in turn
        self._entries = []  # whether each of them followed an event loop's coroutine
        self._entry = False
        self.followed_by_hand = []
        self.forked = False
        self.quiet_threads = 0
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
        # Where the program's modules come from, as it starts: see origins().
        self._started_path, self._started_cwd = list(sys.path), os.getcwd()
        settings = (self.threshold_ns, self.coroutines, self.depth or 0)
        if self.all_threads:
            from . import threadcapture

            # This reaches the calling thread too; its own hook replaces it next.
            self._capture = threadcapture.begin(settings)
        self._thread_ident = get_ident()
        if self.children is not None:
            from .children import Spool

            self._spool = Spool.create(self, _warn)
        _open_traces.append(self)
        if self.coroutines:
            from . import eventloops

            eventloops.follow(self._next_profiler)
        try:
            self._profiler = spantree_C.set_trace_profile(
                self._deliver if self.coroutines else _no_delivery, None, *settings)
        except BaseException:
            _open_traces.remove(self)
            if self.coroutines:
                eventloops.unfollow()
            if self._capture is not None:
                self._capture.end()
            if self._spool is not None:
                self._spool.remove()
            raise
        if self.gives_way:
            _giving_way = self
        return self

    def _next_profiler(self, entering):
        """Starts the next profiler of a coroutine-aware trace, as an event
        loop starts to run a coroutine (`entering`) or has run it."""
        profiler = self._profiler
        if profiler is None or profiler.thread_hook is not profiler:
            return  # the hook is lost, or the trace over
        spantree_C.remove_trace_profile(profiler)
        self._entries.append(self._entry)
        self._entry = entering
        self._profiler = spantree_C.set_trace_profile(
            self._deliver, None, self.threshold_ns, self.coroutines, self.depth or 0)

    def _stop_at_fork(self):
        """Called in a forked child: removes the hook this trace inherited on
        the forking thread, stops its capture and, unless the records are to
        be kept for the block's end, lets go of every profiler."""
        self.forked = True
        profiler = self._profiler
        if self._thread_ident == get_ident() and profiler is not None and profiler.thread_hook is profiler:
            spantree_C.remove_trace_profile(None)
        if self._capture is not None:
            self._capture.stop_in_child(self._keeps_records_in_child)
            if not self._keeps_records_in_child:
                self._capture = None
        if not self._keeps_records_in_child:
            self._profiler = None

    def _give_way(self):
        """Ends this trace early, keeping nothing, for one the traced code
        starts on its thread."""
        global _giving_way
        _giving_way = None
        profiler, self._profiler = self._profiler, None
        spantree_C.close_trace_profile(profiler)
        _open_traces.remove(self)
        if self.coroutines:
            from . import eventloops

            eventloops.unfollow()
        if self._capture is not None:
            self._capture.end()
            self._capture = None
        if self._spool is not None:
            self._spool.remove()
            self._spool = None
        self.gave_way = True

    def __exit__(self, *exc_info):
        global _giving_way
        if self.gave_way and self._threads is None:
            self._ended_path = list(sys.path)
            self._threads = ()
            return False
        if self.forked and not self._keeps_records_in_child:
            _open_traces.remove(self)
            self._ended_path = list(sys.path)
            self._threads = ()
            return False
        if self._profiler is None:
            raise RuntimeError("the trace is not running (start it with a with statement)")
        if _giving_way is self:
            _giving_way = None
        installed = self._profiler.thread_hook
        if installed is not self._profiler and not self.forked:
            self.hook_lost = "removed" if installed is None else f"replaced by {installed!r}"
            # None when the hook was lost before it saw any event.
            self.hook_lost_ns = self._profiler.last_event_ns or None
        # The removal comes first: whatever runs before it is traced. A
        # coroutine-aware trace's profilers deliver their records lists, to be
        # merged; otherwise the records stay in the profiler's call log until
        # a view reads them.
        profiler, self._profiler = self._profiler, None
        if self.coroutines:
            spantree_C.remove_trace_profile(profiler)
        else:
            spantree_C.close_trace_profile(profiler)
        _open_traces.remove(self)
        self._ended_path = list(sys.path)
        # Imported only now: starting a trace of this thread alone loads
        # nothing the traced code would otherwise load itself.
        import threading

        from .traced import ThreadTrace

        thread = threading.current_thread()
        if self.coroutines:
            from . import eventloops

            eventloops.unfollow()
            self._entries.append(self._entry)
            self.followed_by_hand = [(thread.name, *followed) for followed
                                     in eventloops.followed_by_hand(self._delivered, self._entries)]
            records = eventloops.merge(self._delivered, self._entries)
            threads = [ThreadTrace(thread.name, threading.get_native_id(), records, True)]
        else:
            threads = [ThreadTrace.from_profiler(thread.name, threading.get_native_id(), profiler)]
        if self._capture is not None:
            # Ending the capture may clear every thread's profile function, so
            # it comes before the traced code's own function is put back.
            threads += self._capture.end()
            self.quiet_threads = self._capture.quiet
            self.followed_by_hand += self._capture.followed_by_hand
            self._capture = None
        if self.hook_lost and callable(installed) and not _is_trace_profiler(installed):
            # The profile function the traced code installed outlives the trace.
            sys.setprofile(installed)
        self._threads = tuple(threads)
        if self._spool is not None:
            try:
                self.children = self._spool.collect()
            finally:
                self._spool.remove()
                self._spool = None
        return False

    def _deliver(self, context, records):
        self._delivered.append(records)

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
        """The calling thread's records list, as the tracer's
        remove_trace_profile() delivers it; built on first use."""
        self._check_done()
        return self._threads[0].records

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
            from .records import tree_of

            self._tree = tree_of(self._threads[0].reader, self.coroutines)
        return self._tree

    def origins(self):
        """Whose code each file of the trace is and its label (an
        spantree.origins.Origins), read from the interpreter on first use
        after the trace: sys.path as it was when the trace started, then the
        entries added by its end, are the roots files are named from."""
        self._check_done()
        if self._origins is None:
            from .origins import Origins

            self._origins = Origins.now(started_path=self._started_path + self._ended_path,
                                        own_paths=self._own_paths,
                                        own_packages=self._own_packages, cwd=self._started_cwd)
        return self._origins

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
