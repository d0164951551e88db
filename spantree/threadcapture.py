"""Tracing every thread of the process: a spantree_C profiler per thread,
installed from inside the thread at its first event.

spantree_C installs its hook on the calling thread only. A Python profile
function (`ThreadCapture.start`), handed to the threads that start during
the trace (threading.setprofile) and to those already running
(threading.setprofile_all_threads), runs in each thread at its next event
and replaces itself there with the tracer's hook; the trace's end delivers
every profiler's records from the thread that ends it.

A thread that ends during the trace delivers its records as it ends (see
_ThreadEnd), so that nothing keeps its Thread object or its profiler alive:
what stays is its name, native id and records, and of a thread that made no
recorded call, a count.

An audit hook notes each profile function that something other than this
module sets, on whichever thread: such a thread is left alone at the end. If
none is left running, the end removes every thread's hook at once, the only
way the interpreter offers to reach another thread's; otherwise the hooks of
threads still running stay, ignoring their events, until those threads end.
"""

import sys
import threading
from _thread import get_ident
from _weakref import ref as weak_ref  # what threading loads; weakref itself is not

import spantree_C

_changing = set()  # idents of the threads on which this module is changing the profile function
_running = None  # the ThreadCapture in progress: one at a time
_audit_added = False


def _note_foreign_profile(event, args):
    """Audit hook, added once and for good (audit hooks cannot be removed):
    remembers the threads whose profile function someone else set, by a
    weak reference to their Thread."""
    capture = _running
    if event == "sys.setprofile" and capture is not None and get_ident() not in _changing:
        capture.foreign[get_ident()] = weak_ref(threading.current_thread())


class _Changing:
    """`with changing:` marks the profile-function changes made inside, on
    this thread, as this module's own. A set of idents rather than a
    thread-local: it also serves while a thread's locals are being torn down."""

    def __enter__(self):
        _changing.add(get_ident())

    def __exit__(self, *exc_info):
        _changing.discard(get_ident())


changing = _Changing()


def _keep(box, records):
    """The tracer's callback: the records land in the list given as context,
    so a profiler left on a running thread keeps nothing else alive."""
    box.append(records)


class _Capture:
    """One traced thread: a weak reference to its Thread while it runs, then
    the name it had when it ended; its native id and profiler, and the list
    its records are delivered into."""

    __slots__ = ("thread", "ident", "name", "native_id", "profiler", "box", "entries", "entry")

    def __init__(self, thread, settings):
        self.thread = weak_ref(thread)
        self.ident = get_ident()
        self.name = thread.name
        self.native_id = threading.get_native_id()
        self.box = []  # records lists, one per profiler the thread ran in turn
        # Whether each of them followed an event loop's coroutine (see eventloops).
        self.entries = []
        self.entry = False
        self.profiler = spantree_C.set_trace_profile(_keep, self.box, *settings)

    def records(self, owner):
        """The thread's records, once its last profiler has delivered them;
        notes in `owner` the coroutines it followed by hand."""
        if not owner.settings[1]:
            return self.box[0]
        from . import eventloops

        eventloops.unfollow(self.ident)
        self.entries.append(self.entry)
        owner.followed_by_hand += [(self.current_name(), *followed) for followed
                                   in eventloops.followed_by_hand(self.box, self.entries)]
        return eventloops.merge(self.box, self.entries)

    def current_name(self):
        thread = self.thread and self.thread()
        return self.name if thread is None else thread.name


class _ThreadEnd:
    """Kept in a threading.local of the capture, so that it is released as
    its thread ends (when the thread's locals are torn down, on that thread,
    before join() returns) or when the capture itself goes. It holds the
    Thread until then, to read its last name."""

    __slots__ = ("owner", "capture", "thread")

    def __init__(self, owner, capture, thread):
        self.owner, self.capture, self.thread = owner, capture, thread

    def __del__(self):
        # Read first, without a call event: the time of this very call,
        # from which on the records are this module's own.
        profiler = self.capture.profiler
        since = None if profiler is None else profiler.last_event_ns
        self.owner.thread_ended(self.capture, self.thread, since)


class ThreadCapture:
    """The profilers of every thread but the one that owns the trace.

    The lock orders each thread's start against the end: a thread is either
    captured before the end, or finds the capture over and only removes
    `start` from itself.
    """

    def __init__(self, settings):
        self.owner_ident = threading.get_ident()
        self.settings = settings  # threshold_ns, is_async, max_depth
        self.captures = {}  # id -> _Capture, in the order the threads were first seen
        self.quiet = 0  # threads that ended without a recorded call
        self.ends = threading.local()  # a _ThreadEnd per captured thread
        self.foreign = {}  # ident -> weak reference to the Thread, for threads whose profile function is not ours
        self.followed_by_hand = []  # see trace.followed_by_hand
        self.failures = []  # why threads could not be traced
        self.lock = threading.Lock()
        self.running = True
        self.previous_hook = threading.getprofile()

    def start(self, frame, event, arg):
        """Profile function of a thread not yet traced, called at its first event."""
        ident = threading.get_ident()
        # The thread got here through this very function, so whatever was set before is gone.
        self.foreign.pop(ident, None)
        try:
            with changing:
                sys.setprofile(None)
                if ident == self.owner_ident:
                    return  # reached by setprofile_all_threads just before the owner's own hook
                thread = threading.current_thread()
                with self.lock:
                    if self.running:
                        capture = _Capture(thread, self.settings)
                        self.captures[id(capture)] = capture
                        self.ends.end = _ThreadEnd(self, capture, thread)
                        if self.settings[1]:
                            from . import eventloops

                            eventloops.follow(lambda entering: self.next_profiler(capture, entering))
        except Exception as exc:
            # The thread goes untraced rather than the exception reaching its code.
            self.failures.append(exc)

    def next_profiler(self, capture, entering):
        """Starts the next profiler of a thread in a coroutine-aware trace,
        as an event loop starts to run a coroutine (`entering`) or has run it."""
        with changing:
            with self.lock:
                profiler = capture.profiler
                if not self.running or profiler is None or profiler.thread_hook is not profiler:
                    return  # the end delivers it, or its hook is someone else's now
                spantree_C.remove_trace_profile(profiler)
                capture.entries.append(capture.entry)
                capture.entry = entering
                capture.profiler = spantree_C.set_trace_profile(_keep, capture.box, *self.settings)

    def thread_ended(self, capture, thread, since):
        """Delivers the records of a thread that ends during the capture,
        on that thread, less those of calls made from `since` on (this
        module's own), and lets go of its Thread and profiler; a thread
        without a recorded call is only counted."""
        try:
            with changing:
                with self.lock:
                    if not self.running or capture.profiler is None:
                        return  # the end delivers it, or has
                    profiler, capture.profiler = capture.profiler, None
                capture.name, capture.thread = thread.name, None
                # Also removes the hook from the ending thread.
                spantree_C.remove_trace_profile(profiler)
                _drop_calls_since(capture.box[-1], since)
                capture.box = [capture.records(self)]
                if not any(capture.box[0]):
                    with self.lock:
                        self.captures.pop(id(capture), None)
                        self.quiet += 1
        except Exception as exc:
            self.failures.append(exc)

    def end(self):
        """Stops the capture; returns a ThreadTrace per captured thread that
        made a recorded call, in the order the threads were first seen (the
        others are counted in `quiet`)."""
        global _running
        with self.lock:
            self.running = False
            captures, self.captures = list(self.captures.values()), {}
        try:
            with changing:
                # Removal from this thread delivers the records and makes the
                # profiler ignore any event still reaching it.
                for capture in captures:
                    if capture.profiler is not None:
                        spantree_C.remove_trace_profile(capture.profiler)
                        capture.profiler = None
                        capture.box = [capture.records(self)]
                        capture.name = capture.current_name()
                # The owning thread's own hook is the trace's business, done by now.
                if not any(_is_alive(thread) for ident, thread in self.foreign.items()
                           if ident != self.owner_ident):
                    threading.setprofile_all_threads(None)
                threading.setprofile(self.previous_hook)
        finally:
            if _running is self:
                _running = None
            # Releases the _ThreadEnd of every thread still running.
            self.ends = None
        if self.failures:
            import warnings

            warnings.warn(f"spantree: {len(self.failures)} thread(s) could not be traced: "
                          f"{self.failures[0]!r}", RuntimeWarning, stacklevel=3)
        from .traced import ThreadTrace  # not before: the traced program's imports come first

        coroutines = bool(self.settings[1])
        traces = [ThreadTrace(c.name, c.native_id, c.box[0], coroutines) for c in captures if any(c.box[0])]
        self.quiet += len(captures) - len(traces)
        return traces


    def stop_in_child(self, keep_records):
        """Called in a forked child, where only the forking thread runs: no
        thread starts its trace from now on and, unless `keep_records`, the
        profilers of the threads the child does not have are let go."""
        global _running
        self.lock = threading.Lock()  # another thread may have held it at the fork
        self.running = False
        self.ends = None
        if _running is self:
            _running = None
        profilers = [c.profiler for c in self.captures.values() if c.profiler is not None]
        with changing:
            # The forking thread's own profiler, if it is one of these (read
            # without a call event).
            if profilers and any(profilers[0].thread_hook is p for p in profilers):
                spantree_C.remove_trace_profile(None)
            threading.setprofile(self.previous_hook)
        if not keep_records:
            self.captures = {}
        # Otherwise end() delivers them, when the block ends in the child.


def _drop_calls_since(records, since_ns):
    """Removes the records of the calls made from `since_ns` on: the last
    ones, as nothing else runs on the thread then. Their calls are still
    open when the records are made, so most are empty slots."""
    end = len(records)
    while end and (records[end - 1] is None or int(records[end - 1].split("\x01")[1]) >= since_ns):
        end -= 1
    del records[end:]


def _is_alive(reference):
    thread = reference()
    return thread is not None and thread.is_alive()


def begin(settings):
    """Starts tracing every other thread with `settings`; returns the
    ThreadCapture to end."""
    global _running, _audit_added
    if _running is not None:
        raise RuntimeError("another trace of every thread is running; "
                           "give threads=False to trace this thread alone")
    if not _audit_added:
        sys.addaudithook(_note_foreign_profile)
        _audit_added = True
    capture = ThreadCapture(settings)
    _running = capture
    with changing:
        threading.setprofile_all_threads(capture.start)
    return capture
