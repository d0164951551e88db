"""Call trees of a running Python program, from the spantree_C tracer.

    with spantree.trace(threshold="100us") as t:
        work()
    print(spantree.text_tree(t.tree))

Also ``python -m spantree [options] script.py`` (see spantree.cli).

The names below load their modules on first use, so that importing spantree
(as the command line does before the program it runs) imports next to nothing.
"""

_HOMES = {
    "CallTree": "records", "Kind": "records", "Node": "records", "Record": "records",
    "ThreadTrace": "records", "decode": "records",
    "chrome_trace": "render", "collapsed_stacks": "render", "format_duration": "render",
    "text_tree": "render",
    "parse_threshold": "tracing", "trace": "tracing",
}

__all__ = sorted(_HOMES)


def __getattr__(name):
    if name == "otel":  # needs OpenTelemetry: imported on first use only
        return __import__(f"{__name__}.otel", fromlist=["otel"])
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'spantree' has no attribute {name!r}")
    value = getattr(__import__(f"{__name__}.{home}", fromlist=[name]), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted([*globals(), *_HOMES])
