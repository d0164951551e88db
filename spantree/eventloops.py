"""Coroutine-aware traces of programs that run event loops: a profiler for
each coroutine an event loop runs.

A coroutine-aware profiler follows the first coroutine it sees at the top of
its thread, and nothing else that runs there. While a coroutine-aware trace
runs, BaseEventLoop.run_until_complete (through which asyncio.run and
asyncio.Runner.run run their coroutine too) gives the coroutine it runs a
profiler of its own on its thread, and the thread another one once it
returns: a thread's records are those of its profilers in turn (`merge`).

The method is replaced only while such a trace runs, and only once
asyncio.base_events is loaded: at the trace's start, or at the first audited
event after that (creating an event loop makes one, before it can run).
Loops of other classes are not followed. A program that imports no asyncio
pays one check per audited event.
"""

import sys
from _thread import get_ident

_switches = {}  # thread ident -> switch(entering) of that thread's profilers
_original = None  # BaseEventLoop.run_until_complete, kept for a call still in the replacement
_replaced = False
_loop_own = ()  # code of the coroutines a loop runs to close itself
_audit_added = False


def follow(switch):
    """Calls switch(True) on the calling thread as an event loop starts to
    run a coroutine there (switch(None) for the coroutines a loop runs to
    close itself, whose records are left out), and switch(False) once it
    returns, until `unfollow`."""
    global _audit_added
    _switches[get_ident()] = switch
    if not _audit_added:
        # Audit hooks cannot be removed: this one stays, and checks a dict.
        sys.addaudithook(_watch)
        _audit_added = True
    _replace()


def unfollow(ident=None):
    """Ends `follow` for a thread (the calling one by default); the last puts
    the method back."""
    global _replaced
    _switches.pop(get_ident() if ident is None else ident, None)
    if _switches or not _replaced:
        return
    loop_class = sys.modules["asyncio.base_events"].BaseEventLoop
    if loop_class.__dict__.get("run_until_complete") is _run_until_complete:
        loop_class.run_until_complete = _original
    _replaced = False


def _replace():
    global _original, _replaced, _loop_own
    if _replaced:
        return
    loop_class = getattr(sys.modules.get("asyncio.base_events"), "BaseEventLoop", None)
    if loop_class is None:
        return
    _replaced = True
    # Reading __code__ is itself an audited event: _replaced is set by now.
    _loop_own = (loop_class.shutdown_asyncgens.__code__, loop_class.shutdown_default_executor.__code__)
    _original = loop_class.run_until_complete
    _run_until_complete.__doc__ = _original.__doc__
    loop_class.run_until_complete = _run_until_complete


def _watch(event, args):
    if _switches and not _replaced:
        _replace()


def _run_until_complete(self, future):
    switch = _switches.get(get_ident())
    if switch is None:
        return _original(self, future)
    switch(None if getattr(future, "cr_code", None) in _loop_own else True)
    try:
        return _original(self, future)
    finally:
        switch(False)


_run_until_complete.__name__ = _run_until_complete.__qualname__ = "run_until_complete"


def merge(delivered, entries):
    """One records list from those of a thread's profilers in turn: the
    parent indices of each list move past the lists before it. Lists
    without a record, and those of a loop closing itself, are left out."""
    kept = [records for records, entry in zip(delivered, entries) if entry is not None and any(records)]
    if not kept:
        return []
    merged = kept[0]
    for records in kept[1:]:
        offset = len(merged)
        for record in records:
            if record is not None:
                head, _, parent = record.rpartition("\x01")
                if parent != "-1":
                    record = f"{head}\x01{int(parent) + offset}"
            merged.append(record)
    return merged


def followed_by_hand(delivered, entries):
    """(name, file, line, duration_ns) of each coroutine a profiler followed
    outside an event loop's run: one per profiler, where others may have
    gone unseen."""
    followed = []
    for records, entry in zip(delivered, entries):
        if entry is not False:
            continue
        for record in records:
            if record is not None and record.endswith("\x01-1"):
                name, file, rest = record.split("\x00")
                line, start, duration, parent = rest.split("\x01")
                followed.append((name, file, int(line), int(duration)))
                break
    return followed
