"""python -m spantree: runs a Python program under the tracer and writes its calls.

    python -m spantree [--threshold T | --depth N] [--coroutines]
                       [--format summary|tree|perfetto|collapsed] [--full]
                       [--min-share P] [--sort KEY] [--top N] [--per-thread]
                       [-o FILE[.gz]] (script.py | -m module) [args...]

Without --format it writes the summary, then the folded tree.
"""

import argparse
import builtins
import importlib.machinery
import importlib.util
import io
import os
import sys
import threading
import types

from .tracing import trace

DEFAULT_THRESHOLD = "100us"
# The views' defaults, repeated to keep their module out of the start-up.
DEFAULT_MIN_SHARE = 0.005
DEFAULT_TOP = 30


def _percent(text):
    """A share in percent, "0.5" or "0.5%"."""
    try:
        value = float(text.removesuffix("%"))
    except ValueError:
        value = -1.0
    if not 0 <= value <= 100:
        raise argparse.ArgumentTypeError(f"expected a percentage from 0 to 100, not {text!r}")
    return value


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number above 0, not {text!r}")
    return value


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
    parser.add_argument("--format", choices=("summary", "tree", "perfetto", "collapsed"),
                        help="where the time went by function, the call tree, Chrome Trace Event "
                             "JSON for ui.perfetto.dev, or collapsed stacks for flame graphs "
                             "(default: the summary, then the tree)")
    parser.add_argument("--full", action="store_true",
                        help="the tree with a line for every recorded call, nothing folded or left out")
    parser.add_argument("--min-share", type=_percent, default=100 * DEFAULT_MIN_SHARE, metavar="P",
                        help="leave out tree lines under P%% of the trace, and count them "
                             f"(default {100 * DEFAULT_MIN_SHARE:g}%%)")
    parser.add_argument("--sort", choices=("self", "total", "calls", "max"), default="self",
                        help="summary order: self time (default), total time, calls or longest call")
    parser.add_argument("--top", type=_positive, default=DEFAULT_TOP, metavar="N",
                        help=f"summary rows (default {DEFAULT_TOP})")
    parser.add_argument("--per-thread", action="store_true",
                        help="the summary of each thread after the whole trace's")
    parser.add_argument("-o", dest="output", metavar="FILE",
                        help="write there instead of stdout; a name ending in .gz is gzip-compressed")
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


def _write(tracer, options, target, out):
    """Writes the chosen view of the trace to the binary file `out`."""
    from . import views

    threads = views.read(tracer)
    if options.format == "perfetto":
        return views.write_perfetto(threads, out, pid=os.getpid(), process_name=f"python {target}")
    if options.format == "collapsed":
        return views.write_collapsed(threads, out)
    from .render import format_duration

    if tracer.depth is not None:
        limit = f"calls at most {tracer.depth} levels deep"
    else:
        limit = f"calls of at least {format_duration(tracer.threshold_ns)}"
    mode = ", coroutine-aware" if tracer.coroutines else ""
    count = sum(view.reader.count for view in threads)
    out.write(f"spantree: {target}: {count:,} records, {limit}{mode}\n".encode("utf-8", "backslashreplace"))
    if options.format in (None, "summary"):
        views.write_summary(threads, out, sort=options.sort, top=options.top, per_thread=options.per_thread)
    if options.format is None:
        out.write(b"\n")
    if options.format in (None, "tree"):
        views.write_tree(threads, out, full=options.full, min_share=options.min_share / 100)


def _open_output(path):
    """The binary file the trace goes to; a .gz name gets gzip compression."""
    if path is None:
        return sys.stdout.buffer
    file = open(path, "wb")
    if not path.endswith(".gz"):
        return file
    import gzip

    return gzip.GzipFile(filename=os.path.basename(path[:-3]), mode="wb", fileobj=file, mtime=0)


def _close_output(out):
    if out is sys.stdout.buffer:
        out.flush()
        return
    inner = getattr(out, "fileobj", None)
    out.close()
    if inner is not None:
        inner.close()


def main(argv=None):
    parser = _parser()
    options = parser.parse_args(argv)
    if (options.module is None) == (options.script is None):
        parser.error("give a script or -m module")
    if options.module == []:
        parser.error("argument -m: expected a module name")
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
        out = _open_output(options.output)
    except OSError as exc:
        parser.error(f"can't write {options.output!r}: {exc}")
    try:
        status = _run(code, module, tracer)
        sys.stdout.flush()
        _write(tracer, options, target, out)
    finally:
        _close_output(out)
    return status
