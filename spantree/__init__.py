"""Call trees of a running Python program, from the spantree_C tracer.

    with spantree.trace(threshold="100us") as t:
        work()
    print(spantree.text_tree(t.tree))

Also ``python -m spantree [options] script.py`` (see spantree.cli).
"""

from .records import CallTree, Kind, Node, Record, ThreadTrace, decode
from .render import chrome_trace, collapsed_stacks, format_duration, text_tree
from .tracing import parse_threshold, trace

__all__ = [
    "CallTree", "Kind", "Node", "Record", "ThreadTrace", "chrome_trace", "collapsed_stacks", "decode",
    "format_duration", "parse_threshold", "text_tree", "trace",
]


def __getattr__(name):
    # spantree.otel needs OpenTelemetry, so it is imported on first use only.
    if name == "otel":
        import importlib
        return importlib.import_module(".otel", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
