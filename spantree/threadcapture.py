"""Tracing every thread of the process: a spantree_C profiler per thread,
installed from inside the thread at its first event.

spantree_C installs its hook on the calling thread only. A Python profile
function (`ThreadCapture.start`), handed to the threads that start during
the trace (threading.setprofile) and to those already running
(threading.setprofile_all_threads), runs in each thread at its next event
and replaces itself there with the tracer's hook; the trace's end delivers
every profiler's records from the thread that ends it.

An audit hook notes each profile function that something other than this
module sets, on whichever thread: such a thread is left alone at the end. If
none is left running, the end removes every thread's hook at once, the only
way the interpreter offers to reach another thread's; otherwise the hooks of
threads still running stay, ignoring their events, until those threads end.
"""

import os
import sys
import threading

import spantree_C

from .tracing import _no_delivery

_own = threading.local()  # `changing` is set while this module changes the thread's profile function
_running = None  # the ThreadCapture in progress: one at a time
_audit_added = False


def _note_foreign_profile(event, args):
    """Audit hook, added once and for good (audit hooks cannot be removed):
    remembers the threads whose profile function someone else set."""
    capture = _running
    if event == "sys.setprofile" and capture is not None and not getattr(_own, "changing", False):
        capture.foreign[threading.get_ident()] = threading.current_thread()


class _Changing:
    """`with changing:` marks the profile-function changes made inside, on
    this thread, as this module's own."""

    def __enter__(self):
        _own.changing = True

    def __exit__(self, *exc_info):
        _own.changing = False


changing = _Changing()


class _Capture:
    """One traced thread: its thread object, native id and profiler."""

    __slots__ = ("thread", "native_id", "profiler")

    def __init__(self, settings):
        self.thread = threading.current_thread()
        self.native_id = threading.get_native_id()
        self.profiler = spantree_C.set_trace_profile(_no_delivery, None, *settings)


class ThreadCapture:
    """The profilers of every thread but the one that owns the trace.

    The lock orders each thread's start against the end: a thread is either
    captured before the end, or finds the capture over and only removes
    `start` from itself.
    """

    def __init__(self, settings):
        self.owner_ident = threading.get_ident()
        self.settings = settings  # threshold_ns, is_async, max_depth
        self.captures = []
        self.foreign = {}  # ident -> thread, for threads whose profile function is not ours
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
                with self.lock:
                    if self.running:
                        self.captures.append(_Capture(self.settings))
        except Exception as exc:
            # The thread goes untraced rather than the exception reaching its code.
            self.failures.append(exc)

    def end(self):
        """Stops the capture; returns a ThreadTrace per captured thread, in
        the order the threads were first seen."""
        global _running
        with self.lock:
            self.running = False
            captures, self.captures = self.captures, []
        try:
            with changing:
                # Closing from this thread makes the profiler ignore any event
                # still reaching it; its call log waits for a view.
                for capture in captures:
                    spantree_C.close_trace_profile(capture.profiler)
                # The owning thread's own hook is the trace's business, done by now.
                if not any(thread.is_alive() for ident, thread in self.foreign.items()
                           if ident != self.owner_ident):
                    threading.setprofile_all_threads(None)
                threading.setprofile(self.previous_hook)
        finally:
            _running = None
        if self.failures:
            import warnings

            warnings.warn(f"spantree: {len(self.failures)} thread(s) could not be traced: "
                          f"{self.failures[0]!r}", RuntimeWarning, stacklevel=3)
        from .traced import ThreadTrace  # not before: the traced program's imports come first

        coroutines = bool(self.settings[1])
        return [ThreadTrace.from_profiler(c.thread.name, c.native_id, c.profiler, coroutines) for c in captures]


def _after_fork_in_child():
    # The child has only the forking thread; a lock another thread held at
    # the fork would never be released there.
    if _running is not None:
        _running.lock = threading.Lock()


os.register_at_fork(after_in_child=_after_fork_in_child)


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
