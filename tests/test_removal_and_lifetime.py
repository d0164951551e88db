"""remove_trace_profile's contract, profiler lifetime, and what happens when
code run from inside the hook turns against the trace."""

import sys
import threading

import pytest

import spantree_C
from conftest import run_python
from tracer_harness import Delivery, names


def leaf():
    return 1


def started(delivery=None, **kw):
    args = dict(threshold_ns=0, is_async=False, max_depth=0) | kw
    return spantree_C.set_trace_profile(
        delivery or Delivery(), None, args["threshold_ns"], args["is_async"], args["max_depth"])


@pytest.mark.parametrize("bad", [42, "profiler", object(), spantree_C])
def test_removing_with_a_non_profiler_removes_the_hook_then_raises(bad):
    delivery = Delivery()
    profiler = started(delivery)
    with pytest.raises(TypeError, match="set_trace_profile"):
        spantree_C.remove_trace_profile(bad)
    assert sys.getprofile() is None
    assert delivery.calls == []
    spantree_C.remove_trace_profile(profiler)
    assert len(delivery.calls) == 1


@pytest.mark.parametrize("args", [(), (None, None), ("a", "b", "c")])
def test_wrong_argument_count_removes_the_hook_then_raises_type_error(args):
    started()
    with pytest.raises(TypeError):
        spantree_C.remove_trace_profile(*args)
    assert sys.getprofile() is None


def test_keywords_are_ignored():
    delivery = Delivery()
    profiler = spantree_C.set_trace_profile(delivery, None, 0, False, 0, unused=1)
    leaf()
    spantree_C.remove_trace_profile(profiler, unused=2)
    assert names(delivery.records) == ["leaf"]


@pytest.mark.parametrize(
    "args, error",
    [
        ((), TypeError),
        ((print, None, "0", False, 0), TypeError),
        ((print, None, 2**63, False, 0), OverflowError),
        ((print, None, 0, False, 2**63), OverflowError),
        ((print, None, 0, False, 1.5), TypeError),
        ((print, None, 0, False, 0, 0), TypeError),
    ],
)
def test_bad_arguments_leave_the_hook_untouched(args, error):
    sys.setprofile(None)
    with pytest.raises(error):
        spantree_C.set_trace_profile(*args)
    assert sys.getprofile() is None


class CallbackError(Exception):
    pass


def test_callback_exception_reaches_the_caller_after_complete_delivery():
    seen = []

    def callback(context, records):
        seen.append(list(records))
        raise CallbackError

    profiler = spantree_C.set_trace_profile(callback, None, 0, False, 0)
    leaf()
    try:
        spantree_C.remove_trace_profile(profiler)
    except CallbackError:
        raised = True
    assert raised
    assert sys.getprofile() is None
    assert names(seen[0]) == ["leaf"]


def test_non_callable_callback_raises_type_error_after_removal():
    profiler = spantree_C.set_trace_profile(42, None, 0, False, 0)
    with pytest.raises(TypeError):
        spantree_C.remove_trace_profile(profiler)
    assert sys.getprofile() is None


def test_profiler_made_by_its_type_is_empty_and_refused():
    profiler_type = type(started())
    spantree_C.remove_trace_profile(None)

    class Subclass(profiler_type):
        pass

    for empty in (profiler_type(), Subclass()):
        started()
        with pytest.raises(ValueError):
            spantree_C.remove_trace_profile(empty)
        assert sys.getprofile() is None
        del empty  # destroying an empty profiler is harmless


def test_removed_profiler_ignores_events_from_the_thread_it_still_hooks():
    delivery = Delivery()
    ready, removed, done = threading.Event(), threading.Event(), threading.Event()
    holder = []

    def worker():
        holder.append(started(delivery))
        leaf()
        ready.set()
        removed.wait()
        for _ in range(100):
            leaf()
        done.set()
        # This thread's hook is still the removed profiler; the thread ends
        # with it installed.

    thread = threading.Thread(target=worker)
    thread.start()
    ready.wait()
    spantree_C.remove_trace_profile(holder[0])
    snapshot = list(delivery.records)
    removed.set()
    done.wait()
    thread.join()
    assert delivery.records == snapshot
    assert "leaf" in names(snapshot)
    spantree_C.remove_trace_profile(holder.pop())
    assert len(delivery.calls) == 2 and delivery.calls[1][1] == snapshot


def test_replaced_hook_stops_the_first_profiler_harmlessly():
    first, second = Delivery(), Delivery()
    a = started(first)
    leaf()
    b = started(second)
    leaf()
    spantree_C.remove_trace_profile(b)
    assert first.calls == []
    assert names(second.records) == ["leaf"]
    del a  # never delivered; destroyed with an open chain


# Built-ins bound to a class whose metaclass intercepts attribute lookups run
# Python code from inside the hook when the tracer asks for __qualname__.
METACLASS_PRELUDE = """
    import gc, sys
    import spantree_C

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                return ON_QUALNAME(cls)
            return super().__getattribute__(name)

    class D(dict, metaclass=Meta):
        pass

    deliveries = []
    def callback(context, records):
        deliveries.append(list(records))
"""


@pytest.mark.parametrize(
    "on_qualname, expected",
    [
        ("lambda cls: 'Custom'", "Custom.fromkeys"),
        ("lambda cls: 1 / 0", "fromkeys"),
        ("lambda cls: 42", "fromkeys"),
    ],
)
def test_builtin_name_falls_back_when_qualname_lookup_fails(on_qualname, expected):
    proc = run_python(METACLASS_PRELUDE + f"""
    ON_QUALNAME = {on_qualname}
    gc.disable()
    p = spantree_C.set_trace_profile(callback, None, 0, False, 0)
    D.fromkeys([1])
    ok = sys.exc_info() == (None, None, None)
    spantree_C.remove_trace_profile(p)
    print(ok, [r.split("\\x00")[0] for r in deliveries[0]])
    """)
    assert proc.stdout.strip() == f"True {['__getattribute__', expected, 'exc_info']!r}"


@pytest.mark.parametrize("max_depth", [0, 2])
def test_hook_survives_removal_and_last_reference_dropped_inside_lookup(max_depth):
    proc = run_python(METACLASS_PRELUDE + f"""
    holder = []
    def ON_QUALNAME(cls):
        if holder:
            spantree_C.remove_trace_profile(holder.pop())
        return "Custom"

    gc.disable()
    holder.append(spantree_C.set_trace_profile(callback, None, 0, False, {max_depth}))
    def traced():
        len("x")
        D.fromkeys([1])   # removal and the last reference go during this event
        len("y")
    traced()
    print(len(deliveries), [r and r.split("\\x00")[0] for r in deliveries[0]])
    """)
    # `traced` is still open (None); the interrupted built-in leaves no record
    # and nothing after the removal is seen.
    assert proc.stdout.strip() == "1 ['list.append', None, 'len', '__getattribute__']"
