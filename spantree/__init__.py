"""Call trees of a running Python program, from the spantree_C tracer.

    with spantree.trace(threshold="100us") as t:
        work()
    print(spantree.summary(t))
    spantree.write_tree(t, sys.stdout.buffer)

Also ``python -m spantree [options] script.py`` (see spantree.cli).
"""

from .records import CallTree, Kind, Node, Record, ThreadTrace, decode
from .render import chrome_trace, collapsed_stacks, format_duration, text_tree
from .tracing import parse_threshold, trace
from .views import summary, write_collapsed, write_perfetto, write_summary, write_tree

__all__ = [
    "CallTree", "Kind", "Node", "Record", "ThreadTrace", "chrome_trace", "collapsed_stacks", "decode",
    "format_duration", "parse_threshold", "summary", "text_tree", "trace", "write_collapsed",
    "write_perfetto", "write_summary", "write_tree",
]
