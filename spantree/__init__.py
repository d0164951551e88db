"""Call trees of a running Python program, from the spantree_C tracer.

    with spantree.trace(threshold="100us") as t:
        work()
    print(spantree.summary(t))
    t.save("run.spantree")  # spantree.load("run.spantree") gives the same views
    spantree.write_tree(t, sys.stdout.buffer)

Also ``python -m spantree [options] script.py`` (see spantree.cli).
"""

# The names load their module on first use, so that `python -m spantree`
# starts without the views and what they import: the program's own imports
# show in its trace, and start-up stays short.
_HOMES = {
    "CallTree": "records", "Kind": "traced", "Node": "records", "Record": "records",
    "ThreadTrace": "traced", "decode": "records",
    "chrome_trace": "render", "collapsed_stacks": "render", "format_duration": "render", "text_tree": "render",
    "load": "saved", "parse_threshold": "tracing", "trace": "tracing",
    "summary": "views", "write_collapsed": "views", "write_perfetto": "views", "write_summary": "views",
    "write_tree": "views",
}
__all__ = sorted(_HOMES)


def __getattr__(name):
    if name == "otel":  # needs OpenTelemetry: imported on first use only
        return __import__(f"{__name__}.otel", fromlist=["otel"])
    if name not in _HOMES:
        raise AttributeError(f"module 'spantree' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    globals()[name] = value
    return value


def load_ipython_extension(ipython):
    """`%load_ext spantree` in IPython or Jupyter: the %spantree and
    %%spantree magics (spantree.ipython)."""
    from .ipython import load_ipython_extension

    load_ipython_extension(ipython)


def __dir__():
    return sorted(set(globals()) | set(_HOMES))
