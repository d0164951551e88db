"""python -m spantree, or the installed spantree command: runs a Python
program under the tracer and writes its calls.

    spantree [--threshold T | --depth N] [--coroutines] [--main-thread]
             [--format summary|tree|perfetto|collapsed|html|spantree] [--full]
             [--min-share P] [--sort KEY] [--top N] [--per-thread]
             [-o FILE[.gz]] (script.py | -m module) [args...]

Without --format it writes the summary, then the folded tree.
`spantree view FILE` and `spantree diff BEFORE AFTER` read saved traces
(spantree/subcommands.py).

The program must run as it would under python alone. Before it starts, this
module has imported only os, sys and the tracer (which is why the options are
parsed here rather than by argparse); renderers load after it ends. Every
option, the program and the output's directory are checked before it starts,
and nothing is written until it has ended: the output streams to a duplicate
of file descriptor 1 taken at the start, or to a temporary file renamed over
FILE once complete.

Exit status: the program's own (as python gives it) when the trace was
written; 2 for a usage error, when nothing ran; and when the program
succeeded but its trace could not be written, 120 (a write error, as python
gives when it cannot flush its output at exit) or 130 (interrupted).
"""

import os
import sys

from .tracing import trace

DEFAULT_THRESHOLD = "100us"
FORMATS = ("summary", "tree", "perfetto", "collapsed", "html", "spantree")
SORT_KEYS = ("self", "total", "calls", "max")
# The views' defaults, repeated to keep their module out of the start-up.
DEFAULT_MIN_SHARE = 0.5  # percent
DEFAULT_TOP = 30
# Machine formats never share standard output with the program's own prints.
DEFAULT_FILES = {"perfetto": "spantree.json", "collapsed": "spantree.folded", "html": "spantree.html",
                 "spantree": "trace.spantree"}
# `spantree view FILE` and `spantree diff BEFORE AFTER` (spantree/subcommands.py).
SUBCOMMANDS = ("view", "diff")
SAVED_SUFFIX = ".spantree"
STATUS_WRITE_FAILED = 120
STATUS_INTERRUPTED = 130

USAGE = """\
usage: {prog} [-h] [--threshold T | --depth N] [--coroutines] [--main-thread]
       {pad} [--format {{summary,tree,perfetto,collapsed,html,spantree}}] [--full] [--min-share P]
       {pad} [--sort {{self,total,calls,max}}] [--top N] [--per-thread]
       {pad} [-o FILE] (script.py | -m module) [args ...]
       {prog} view FILE [options] | {prog} diff BEFORE AFTER [options]"""

HELP = """
Runs a Python program like python does, traces every thread it runs from
start to end and writes their call trees.

options:
  -h, --help       show this help and exit
  --threshold T    shortest call kept: nanoseconds or a number with ns, us, ms
                   or s (default {threshold})
  --depth N        keep calls at most N levels deep instead, whatever their
                   duration
  --coroutines     coroutine-aware: follow the first coroutine the program runs
                   (main in asyncio.run(main())) across its awaits, and record
                   the waits; each thread follows its own first coroutine
  --main-thread    trace the main thread alone, leaving the program's other
                   threads untouched
  --format F       without it: the summary, then the folded tree (on standard
                   output); summary: where the time went, by function;
                   tree: the call tree, repeated calls folded, short ones
                   counted; perfetto: Chrome Trace Event JSON for ui.perfetto.dev
                   (default file {perfetto}); collapsed: stacks for flame
                   graphs (default file {collapsed}); html: a self-contained
                   page with a timeline, a flame graph and the summary
                   (default file {html}); spantree: the whole trace in one
                   compact file, for view and diff below (default file
                   {spantree}; chosen by -o NAME.spantree too)
  --full           the tree with a line for every recorded call, nothing
                   folded or left out
  --min-share P    leave out tree lines under P% of the trace, and count
                   them (default {min_share:g}%)
  --sort KEY       summary order: self (default), total, calls or max
  --top N          summary rows (default {top})
  --per-thread     the summary of each thread after the whole trace's
  -o FILE          write there instead ("-" for standard output; a name ending
                   in .gz is compressed)
  -m module        run a library module as a script, like python -m

subcommands (a program named view or diff runs as ./view):
  view FILE        a view of a saved trace, byte for byte as the run that
                   saved it would have written it: takes --format, --full,
                   --min-share, --sort, --top, --per-thread and -o
  diff BEFORE AFTER
                   two saved traces compared function by function: calls,
                   total and self time, new and gone functions (--sort
                   total|self|calls, --top N, --format tree, -o FILE)
  A file that is not a whole saved trace is one line on stderr, status 2.

Exit status: the program's; 2 for a usage error; when the program succeeded
but the trace could not be written, {failed} (write error) or {interrupted}
(interrupted).
"""

# Options that take a value, and flags, by their long or only name.
VALUED = {"--threshold": "threshold", "--depth": "depth", "--format": "format", "--min-share": "min_share",
          "--sort": "sort", "--top": "top", "-o": "output"}
FLAGS = {"--coroutines": "coroutines", "--main-thread": "main_thread", "--full": "full",
         "--per-thread": "per_thread", "--help": "help", "-h": "help"}


class UsageError(Exception):
    pass


class Options:
    threshold = None
    depth = None
    format = None
    full = False
    min_share = DEFAULT_MIN_SHARE
    sort = "self"
    top = DEFAULT_TOP
    per_thread = False
    output = None
    coroutines = False
    main_thread = False
    help = False
    module = None
    script = None
    args = ()


def _long_option(word):
    """The long option `word` names, allowing an unambiguous prefix as argparse does."""
    if word in VALUED or word in FLAGS:
        return word
    found = [name for name in (*VALUED, *FLAGS) if name.startswith("--") and name.startswith(word)]
    if len(found) != 1:
        raise UsageError(f"ambiguous option: {word} could match {', '.join(found)}" if found
                         else f"unrecognized argument: {word}")
    return found[0]


def _take_option(word, words, options):
    """Sets the option `word` names, taking its value from `words` unless
    given as --name=value or -oFILE; returns the option's name."""
    if word.startswith("--"):
        name, glued, value = word.partition("=")
        name = _long_option(name)
    else:
        name, value = word[:2], word[2:]
        glued = bool(value)
    if name in FLAGS and not glued:
        setattr(options, FLAGS[name], True)
    elif name in VALUED:
        if not glued:
            if not words:
                raise UsageError(f"argument {name}: expected one argument")
            value = words.pop(0)
        setattr(options, VALUED[name], value)
    else:
        raise UsageError(f"unrecognized argument: {word}")
    return name


def parse_args(argv):
    """The options, the program and its arguments, as python reads `[options] script args`:
    options end at the script, at -m (whose module may be glued: -mtimeit) or at --."""
    options = Options()
    seen = set()
    words = list(argv)
    while words:
        word = words.pop(0)
        if word == "--":
            if not words:
                raise UsageError("give a script or -m module")
            word = words.pop(0)
        elif word.startswith("-m"):
            name = word[2:] or (words.pop(0) if words else "")
            if not name:
                raise UsageError("argument -m: expected a module name")
            options.module, options.args = name, words
            break
        elif word.startswith("-") and word != "-":
            seen.add(_take_option(word, words, options))
            continue
        options.script, options.args = word, words
        break
    if options.help:
        return options
    if {"--threshold", "--depth"} <= seen:
        raise UsageError("argument --depth: not allowed with argument --threshold")
    for name, value, choices in (("--format", options.format, FORMATS), ("--sort", options.sort, SORT_KEYS)):
        if value is not None and value not in choices:
            raise UsageError(f"argument {name}: invalid choice: {value!r} (choose from {', '.join(choices)})")
    options.min_share = _number("--min-share", options.min_share, float, 0, 100, "a percentage from 0 to 100")
    options.top = _number("--top", options.top, int, 1, sys.maxsize, "a whole number above 0")
    if options.script is None and options.module is None:
        raise UsageError("give a script or -m module")
    return options


def _number(name, text, kind, low, high, what):
    """The option's value as `kind`, from `low` to `high`; "0.5%" reads as 0.5."""
    try:
        value = kind(str(text).removesuffix("%") if kind is float else text)
    except ValueError:
        value = None
    if value is None or not low <= value <= high:
        raise UsageError(f"argument {name}: expected {what}, not {text!r}")
    return value


def make_trace(options):
    """The trace the options ask for; a bad threshold or depth is a usage error."""
    depth = None
    if options.depth is not None:
        try:
            depth = int(options.depth)
        except ValueError:
            raise UsageError(f"argument --depth: invalid int value: {options.depth!r}") from None
    threshold = None if depth is not None else options.threshold
    if depth is None and threshold is None:
        threshold = DEFAULT_THRESHOLD
    try:
        return trace(threshold, depth, coroutines=options.coroutines, threads=not options.main_thread)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


class Destination:
    """Where the trace goes, settled before the program runs, which may
    change directory or close its standard output.

    `fd` is a duplicate of file descriptor 1 when the trace goes to standard
    output; otherwise `path` is absolute and `named` tells that the path was
    chosen here, not given."""

    def __init__(self, options):
        self.fd = self.path = None
        self.named = False
        output = options.output
        if output is None and options.format in DEFAULT_FILES:
            output, self.named = DEFAULT_FILES[options.format], True
        if output in (None, "-"):
            try:
                self.fd = os.dup(1)
            except OSError:
                raise UsageError("standard output is closed: give -o FILE") from None
            return
        # A link is followed: the file it names is the one replaced.
        self.path = os.path.realpath(output)
        self.shown = output
        folder = os.path.dirname(self.path)
        if os.path.isdir(self.path):
            raise UsageError(f"can't write {output!r}: it is a directory")
        if os.path.exists(self.path):
            if not os.access(self.path, os.W_OK):
                raise UsageError(f"can't write {output!r}: permission denied")
            if not os.path.isfile(self.path):
                return  # a device or a pipe, written in place
        if not os.path.isdir(folder) or not os.access(folder, os.W_OK | os.X_OK):
            raise UsageError(f"can't write {output!r}: {folder!r} is not a writable directory")

    def name(self):
        return "standard output" if self.path is None else repr(self.shown)

    def write(self, render):
        """Calls render(file) with a binary file object for the destination.

        A regular file appears whole or not at all: it is written under a
        temporary name in the same directory, then renamed over the old one;
        any failure removes it. Others (a device, a pipe) are written in place.
        On standard output, the trace starts on a line of its own."""
        if self.path is None:
            with open(self.fd, "wb") as out:
                if not _ends_line(self.fd):
                    out.write(b"\n")
                render(out)
            return
        import stat

        try:
            mode = os.stat(self.path).st_mode
        except FileNotFoundError:
            mode = None
        if mode is not None and not stat.S_ISREG(mode):
            with open(self.path, "wb") as out:
                self._render_into(out, render)
            return
        write_whole(self.path, lambda out: self._render_into(out, render), mode)

    def _render_into(self, out, render):
        if not self.path.endswith(".gz"):
            render(out)
            return
        import gzip

        with gzip.GzipFile(fileobj=out, mode="wb", filename=os.path.basename(self.path[:-3]), mtime=0) as zipped:
            render(zipped)


def write_whole(path, render, mode=None):
    """Calls render(file) with a binary file that becomes the regular file at
    `path` once render returns: it is written under a temporary name in the
    same directory and renamed over `path`, keeping its permissions (`mode`,
    its st_mode if known); any failure removes it and leaves `path` as it was."""
    import stat
    import tempfile

    if mode is None:
        try:
            mode = os.stat(path).st_mode
        except FileNotFoundError:
            pass
    folder, base = os.path.split(path)
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{base}.", suffix=".part")
    try:
        with open(fd, "wb") as out:
            render(out)
        os.chmod(temporary, stat.S_IMODE(mode) if mode is not None else 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _ends_line(fd):
    """Whether the output behind `fd` is empty or ends with a newline, as
    far as can be told: only a regular file can be read back."""
    import stat

    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        return False
    if info.st_size == 0:
        return True
    try:
        # Output is usually opened for writing only: read it through a file
        # descriptor of its own.
        reader = os.open(f"/proc/self/fd/{fd}", os.O_RDONLY)
    except OSError:
        return False
    try:
        return os.pread(reader, 1, info.st_size - 1) == b"\n"
    finally:
        os.close(reader)


def _script_main(path, args):
    """The code and __main__ module of a script, with sys.argv and sys.path[0] set as python sets them."""
    from _frozen_importlib_external import SourceFileLoader
    from io import open_code

    with open_code(path) as file:
        source = file.read()
    path, given = os.path.abspath(path), path
    code = compile(source, path, "exec", dont_inherit=True)
    module = type(sys)("__main__")
    module.__dict__.update(__file__=path, __cached__=None, __builtins__=__builtins__,
                           __loader__=SourceFileLoader("__main__", path))
    if not sys.flags.safe_path:
        sys.path[0] = os.path.dirname(path)
    sys.argv = [given, *args]
    return code, module


def _module_main(name, args):
    """The code and __main__ module of `python -m name`; a package runs its __main__ submodule."""
    # python -m searches the current directory first, whatever started this command.
    if not sys.flags.safe_path:
        sys.path[0] = os.getcwd()
    import importlib.util

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
    module = type(sys)("__main__")
    module.__dict__.update(__file__=found.origin, __cached__=found.cached, __builtins__=__builtins__,
                           __loader__=found.loader, __package__=found.parent, __spec__=found)
    sys.argv = [found.origin, *args]
    return code, module


def _exit_status(exc):
    """The process status python gives an uncaught SystemExit, printing a non-integer code."""
    if exc.code is None:
        return 0
    if isinstance(exc.code, int):
        return exc.code
    # Printed where the program left sys.stderr, as python does.
    try:
        print(exc.code, file=sys.stderr)
    except Exception:
        pass
    return 1


def _run(code, module, tracer):
    """Runs the program under the tracer; returns its exit status.

    Calling the module's code as a function runs it with its globals as its
    locals, as exec does, but without a built-in call (exec) above the
    program in the trace."""
    program = type(_run)(code, module.__dict__)
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
    try:
        sys.excepthook(type(failure), failure, failure.__traceback__)
    except Exception:
        pass
    return STATUS_INTERRUPTED if isinstance(failure, KeyboardInterrupt) else 1


def _limit(tracer):
    """What the trace kept, in words: its threshold or depth, and its mode."""
    from .render import format_duration

    if tracer.depth is not None:
        limit = f"calls at most {tracer.depth} level{'s' if tracer.depth > 1 else ''} deep"
    else:
        limit = f"calls of at least {format_duration(tracer.threshold_ns)}"
    return limit + (", coroutine-aware" if tracer.coroutines else "")


def _render(tracer, options, target, out, pid=None, process=None):
    """Writes the chosen view of the trace to the binary file `out`; `pid` is
    the traced process's (this one's by default), `process` what a saved
    trace keeps of it."""
    if options.format == "spantree":
        from . import saved

        saved.write(tracer, out, process)
        return
    if options.format == "html":
        from .html import html

        html(tracer.threads, out, title=f"spantree: {target}", note=_limit(tracer))
        return
    from . import views

    threads = views.read(tracer)
    if options.format == "perfetto":
        views.write_perfetto(threads, out, pid=pid or os.getpid(), process_name=f"python {target}")
        return
    if options.format == "collapsed":
        views.write_collapsed(threads, out)
        return
    count = sum(view.reader.count for view in threads)
    where = "" if len(threads) == 1 else f" in {len(threads)} threads"
    out.write(f"spantree: {target}: {count:,} records{where}, {_limit(tracer)}\n".encode("utf-8", "backslashreplace"))
    if options.format in (None, "summary"):
        views.write_summary(threads, out, sort=options.sort, top=options.top, per_thread=options.per_thread)
    if options.format is None:
        out.write(b"\n")
    if options.format in (None, "tree"):
        views.write_tree(threads, out, full=options.full, min_share=options.min_share / 100)


class Messages:
    """Writes this command's own one-line messages to a duplicate of file
    descriptor 2, whatever the program did to sys.stderr."""

    def __init__(self):
        try:
            self.fd = os.dup(2)
        except OSError:
            self.fd = None

    def say(self, text):
        if self.fd is None:
            return
        try:
            os.write(self.fd, f"spantree: {text}\n".encode(errors="backslashreplace"))
        except OSError:
            pass


def _hook_report(tracer, start_ns):
    from .render import format_duration

    after = format_duration(max((tracer.hook_lost_ns or start_ns) - start_ns, 0))
    return (f"spantree's profile hook was {tracer.hook_lost} {after} after the program started: "
            "the trace has no calls after that, and calls still open then show as [unknown]")


def _flush_program_output():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass


def _prog_name():
    if os.path.basename(sys.argv[0]) == "__main__.py":
        return "python -m spantree"
    return os.path.basename(sys.argv[0]) or "spantree"


def _usage_error(prog, message):
    print(USAGE.format(prog=prog, pad=" " * len(prog)), file=sys.stderr)
    print(f"{prog}: error: {message}", file=sys.stderr)
    return 2


def main(argv=None):
    prog = _prog_name()
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in SUBCOMMANDS:
        from .subcommands import COMMANDS

        return COMMANDS[argv[0]](prog, argv[1:])
    try:
        options = parse_args(argv)
        if options.format is None and (options.output or "").endswith(SAVED_SUFFIX):
            options.format = "spantree"
        if options.help:
            print(USAGE.format(prog=prog, pad=" " * len(prog)))
            print(HELP.format(threshold=DEFAULT_THRESHOLD, failed=STATUS_WRITE_FAILED,
                              min_share=DEFAULT_MIN_SHARE, top=DEFAULT_TOP,
                              interrupted=STATUS_INTERRUPTED, **DEFAULT_FILES), end="")
            return 0
        tracer = make_trace(options)
        destination = Destination(options)
    except UsageError as exc:
        return _usage_error(prog, str(exc))

    target = options.script if options.module is None else f"-m {options.module}"
    try:
        if options.module is None:
            code, module = _script_main(options.script, options.args)
        else:
            code, module = _module_main(options.module, options.args)
    except ImportError as exc:
        print(f"spantree: {exc}", file=sys.stderr)
        return 1
    except SyntaxError as exc:
        sys.excepthook(type(exc), exc.with_traceback(None), None)
        return 1
    except OSError as exc:
        print(f"spantree: can't open {target!r}: {exc}", file=sys.stderr)
        return 2

    messages = Messages()
    import time

    start_ns = time.time_ns()
    process = {"command": [options.script] if options.module is None else ["-m", options.module],
               "target": target, "cwd": os.getcwd(), "start_ns": start_ns}
    process["command"] += options.args
    status = None
    try:
        status = _run(code, module, tracer)
        _flush_program_output()
        if tracer.hook_lost:
            # A profile function the program left behind would watch the rendering.
            sys.setprofile(None)
            messages.say(_hook_report(tracer, start_ns))
        if options.format == "spantree":
            from .saved import process_of

            process = process_of(tracer, exit_status=status, **process)
        destination.write(lambda out: _render(tracer, options, target, out, process=process))
    except KeyboardInterrupt:
        messages.say(f"interrupted: the trace was not written to {destination.name()}"
                     if destination.path else "interrupted: the trace on standard output is incomplete")
        return status or STATUS_INTERRUPTED
    except BrokenPipeError:
        # The reader stopped reading: like a Unix tool, stop quietly. Standard
        # output now goes nowhere, so that python's own flush at exit is quiet too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
        return status
    except OSError as exc:
        messages.say(f"can't write the trace to {destination.name()}: {exc.strerror or exc}")
        return status or STATUS_WRITE_FAILED
    if destination.named:
        messages.say(f"wrote the {options.format} trace to {destination.shown}")
    return status
