"""Repeated traces leave nothing behind: no memory blocks, and under the
debug interpreter no references."""

import pytest

import spantree_C
from tracer_harness import assert_no_growth


def nested(levels, at_bottom):
    if levels:
        return nested(levels - 1, at_bottom)
    return at_bottom()


def workload():
    total = 0
    for i in range(20):
        total += len(str(i))
    nested(5, lambda: None)
    return total


def balanced(max_depth):
    profiler = spantree_C.set_trace_profile(lambda c, r: None, None, 0, False, max_depth)
    workload()
    spantree_C.remove_trace_profile(profiler)


def ended_deep_inside_calls(max_depth):
    holder = [spantree_C.set_trace_profile(lambda c, r: None, None, 0, False, max_depth)]
    workload()
    nested(8, lambda: spantree_C.remove_trace_profile(holder[0]))


def replaced_without_removal(max_depth):
    spantree_C.set_trace_profile(lambda c, r: None, None, 0, False, max_depth)
    nested(4, lambda: spantree_C.set_trace_profile(lambda c, r: None, None, 0, False, max_depth))
    spantree_C.remove_trace_profile(None)


def failing_callback(max_depth):
    def callback(context, records):
        raise RuntimeError(len(records))

    profiler = spantree_C.set_trace_profile(callback, None, 0, False, max_depth)
    workload()
    try:
        spantree_C.remove_trace_profile(profiler)
    except RuntimeError:
        pass


def delivered_twice_and_kept(max_depth):
    kept = []
    profiler = spantree_C.set_trace_profile(lambda c, r: kept.append(r), None, 0, False, max_depth)
    workload()
    spantree_C.remove_trace_profile(profiler)
    spantree_C.remove_trace_profile(profiler)
    assert kept[0] is kept[1]


SCENARIOS = [balanced, ended_deep_inside_calls, replaced_without_removal, failing_callback,
             delivered_twice_and_kept]


@pytest.mark.parametrize("max_depth", [0, 3])
@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda f: f.__name__)
def test_repeated_traces_leak_nothing(scenario, max_depth):
    assert_no_growth(lambda: scenario(max_depth), rounds=100)
