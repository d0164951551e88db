"""python -m spantree: runs a Python program under the tracer and writes its calls.

    python -m spantree [--threshold T | --depth N] [--coroutines]
                       [--format tree|perfetto|collapsed|html] [-o FILE]
                       (script.py | -m module) [args...]
"""

import argparse
import builtins
import importlib.machinery
import importlib.util
import io
import json
import os
import sys
import threading
import types

from .render import chrome_trace, collapsed_stacks, format_duration, text_tree
from .tracing import trace

DEFAULT_THRESHOLD = "100us"


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m spantree",
        description="Runs a Python program like python does, traces its main thread from start "
                    "to end and writes the call tree.")
    limit = parser.add_mutually_exclusive_group()
    limit.add_argument("--threshold", default=DEFAULT_THRESHOLD, metavar="T",
                       help="shortest call kept: nanoseconds or a number with ns, us, ms or s "
                            f"(default {DEFAULT_THRESHOLD})")
    limit.add_argument("--depth", type=int, metavar="N",
                       help="keep calls at most N levels deep instead, whatever their duration")
    parser.add_argument("--coroutines", action="store_true",
                        help="coroutine-aware: follow the first coroutine the program runs (main in "
                             "asyncio.run(main())) across its awaits, and record the waits")
    parser.add_argument("--format", choices=("tree", "perfetto", "collapsed", "html"), default="tree",
                        help="indented text tree (default), Chrome Trace Event JSON for "
                             "ui.perfetto.dev, collapsed stacks for flame graphs, or a "
                             "self-contained HTML page (timeline, flame graph, summary; needs -o)")
    parser.add_argument("-o", dest="output", metavar="FILE", help="write there instead of stdout")
    parser.add_argument("-m", dest="module", nargs=argparse.REMAINDER, metavar="module [args]",
                        help="run a library module as a script, like python -m")
    parser.add_argument("script", nargs="?", help="the program to run")
    parser.add_argument("args", nargs=argparse.REMAINDER, help="its arguments")
    return parser


def _script_main(path, args):
    """The code and __main__ module of a script, with sys.argv and sys.path[0] set as python sets them."""
    with io.open_code(path) as file:
        source = file.read()
    path, given = os.path.abspath(path), path
    code = compile(source, path, "exec", dont_inherit=True)
    module = types.ModuleType("__main__")
    module.__dict__.update(__file__=path, __cached__=None, __builtins__=builtins,
                           __loader__=importlib.machinery.SourceFileLoader("__main__", path))
    sys.path[0] = os.path.dirname(path)
    sys.argv = [given, *args]
    return code, module


def _module_main(name, args):
    """The code and __main__ module of `python -m name`; a package runs its __main__ submodule."""
    found = importlib.util.find_spec(name)
    if found is not None and found.submodule_search_locations is not None:
        found = importlib.util.find_spec(f"{name}.__main__")
        if found is None:
            raise ImportError(f"{name!r} is a package and cannot be directly executed")
    if found is None:
        raise ImportError(f"No module named {name!r}")
    code = found.loader.get_code(found.name)
    if code is None:
        raise ImportError(f"No code object available for {name!r}")
    module = types.ModuleType("__main__")
    module.__dict__.update(__file__=found.origin, __cached__=found.cached, __builtins__=builtins,
                           __loader__=found.loader, __package__=found.parent, __spec__=found)
    sys.argv = [found.origin, *args]
    return code, module


def _exit_status(exc):
    """The process status python gives an uncaught SystemExit, printing a non-integer code."""
    if exc.code is None:
        return 0
    if isinstance(exc.code, int):
        return exc.code
    print(exc.code, file=sys.stderr)
    return 1


def _run(code, module, tracer):
    """Runs the program under the tracer; returns its exit status.

    Calling the module's code as a function runs it with its globals as its
    locals, as exec does, but without a built-in call (exec) above the
    program in the trace."""
    program = types.FunctionType(code, module.__dict__)
    sys.modules["__main__"] = module
    failure = None
    with tracer:
        try:
            program()
        except BaseException as exc:
            failure = exc
    if failure is None:
        return 0
    if isinstance(failure, SystemExit):
        return _exit_status(failure)
    # The traceback starts with this function's own frame; python's starts at the program.
    failure = failure.with_traceback(failure.__traceback__.tb_next)
    sys.excepthook(type(failure), failure, failure.__traceback__)
    return 130 if isinstance(failure, KeyboardInterrupt) else 1


def _limit(tracer):
    if tracer.depth is not None:
        limit = f"calls at most {tracer.depth} levels deep"
    else:
        limit = f"calls of at least {format_duration(tracer.threshold_ns)}"
    return limit + (", coroutine-aware" if tracer.coroutines else "")


def _render(tracer, options, target):
    if options.format == "html":
        from .html import html
        return html(tracer.threads, title=f"spantree: {target}", note=_limit(tracer))
    tree = tracer.tree
    if options.format == "perfetto":
        document = chrome_trace(tree, pid=os.getpid(), tid=threading.get_native_id(),
                                process_name=f"python {target}", thread_name="MainThread")
        return json.dumps(document) + "\n"
    if options.format == "collapsed":
        return collapsed_stacks(tree)
    count = sum(record is not None for record in tree.records)
    return f"spantree: {target}: {count} records, {_limit(tracer)}\n" + text_tree(tree)


def main(argv=None):
    parser = _parser()
    options = parser.parse_args(argv)
    if (options.module is None) == (options.script is None):
        parser.error("give a script or -m module")
    if options.module == []:
        parser.error("argument -m: expected a module name")
    if options.format == "html" and options.output is None:
        parser.error("--format html writes a file: give -o FILE")
    threshold = None if options.depth is not None else options.threshold
    try:
        tracer = trace(threshold, options.depth, coroutines=options.coroutines)
    except ValueError as exc:
        parser.error(str(exc))

    target = options.script if options.module is None else f"-m {options.module[0]}"
    try:
        if options.module is None:
            code, module = _script_main(options.script, options.args)
        else:
            code, module = _module_main(options.module[0], options.module[1:])
    except ImportError as exc:
        print(f"spantree: {exc}", file=sys.stderr)
        return 1
    except SyntaxError as exc:
        sys.excepthook(type(exc), exc.with_traceback(None), None)
        return 1
    except OSError as exc:
        print(f"spantree: can't open {target!r}: {exc}", file=sys.stderr)
        return 2

    # The output is opened before the program runs, which may change directory.
    try:
        out = sys.stdout if options.output is None else open(options.output, "w", encoding="utf-8")
    except OSError as exc:
        parser.error(f"can't write {options.output!r}: {exc}")
    try:
        status = _run(code, module, tracer)
        out.write(_render(tracer, options, target))
        out.flush()
    finally:
        if options.output is not None:
            out.close()
    return status
