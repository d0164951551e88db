"""python -m spantree, or the installed spantree command: runs a Python
program under the tracer and writes its calls. Its options are the table
OPTIONS below, from which the usage, the help, the parser and the defaults
come; `spantree --help` shows them.

Without --format it writes the summary, then the folded tree.
`spantree view FILE` and `spantree diff BEFORE AFTER` read saved traces
(spantree/subcommands.py).
The program's child processes are traced too, unless --no-children: they
leave their traces in a spool the command makes before the program starts
and reads once it has ended (spantree/children.py, spantree/processes.py).

The program must run as it would under python alone. Before it starts, this
module has imported only os, sys, the tracer and the defaults (which is why
the options are parsed here rather than by argparse); renderers load after it
ends. Every option, the program and the output's directory are checked before
it starts, and nothing is written until it has ended: the output streams to a
duplicate of file descriptor 1 taken at the start, or to a temporary file
renamed over FILE once complete.

Exit status: the program's own (as python gives it) when the trace was
written; 2 for a usage error, when nothing ran; and when the program
succeeded but its trace could not be written, 120 (a write error, as python
gives when it cannot flush its output at exit).

Signals end the command as they end python: a KeyboardInterrupt that
reaches the top (Ctrl-C, or raised by the program) has the trace written,
then python's finalization run, then the process killed by SIGINT. SIGTERM,
where the program leaves it to the default (which ends python at once), is
handled by this module: the trace stops where the program is, is written
(the program's unflushed output is lost, as under python), and the process
ends by SIGTERM. Either signal again while the trace is being written
abandons it (a file keeps its old content) and ends the process the same way.
"""

import _signal
import os
import sys

from .defaults import (DEFAULT_FILES, DEFAULT_MIN_SHARE, DEFAULT_SORT, DEFAULT_THRESHOLD, DEFAULT_TOP, FORMATS,
                       SORT_KEYS)
from .tracing import trace

STATUS_USAGE = 2
STATUS_WRITE_FAILED = 120
# Statuses below 0 end the command by that signal, as a parent sees it.
KILLED_BY_SIGINT = -_signal.SIGINT
KILLED_BY_SIGTERM = -_signal.SIGTERM
# `spantree view FILE` and `spantree diff BEFORE AFTER` (spantree/subcommands.py).
SUBCOMMANDS = ("view", "diff")
SAVED_SUFFIX = ".spantree"


class UsageError(Exception):
    pass


def _number(name, text, kind, low, high, what):
    """The option's value as `kind`, from `low` to `high`; "0.5%" reads as 0.5."""
    try:
        value = kind(text.removesuffix("%") if kind is float else text)
    except ValueError:
        value = None
    if value is None or not low <= value <= high:
        raise UsageError(f"argument {name}: expected {what}, not {text!r}")
    return value


def _fraction(name, text):
    """A percentage from 0 to 100, as the fraction the views take."""
    return _number(name, text, float, 0, 100, "a percentage from 0 to 100") / 100


def _count(name, text):
    return _number(name, text, int, 1, sys.maxsize, "a whole number above 0")


class Option:
    """One row of the command's options.

    `names`: its spellings, the first shown in the usage; `dest`: the
    attribute of Options it sets; `value`: the name of its value in the
    usage and help, None for a flag; `default`: the attribute's value when the
    option is not given; `help`: its text in --help, wrapped by hand and
    formatted with HELP_VALUES; `choices`: the values it accepts, or `read`:
    a function of (name, text) giving the value or raising UsageError. A
    value given without either stays text: the tracer judges the threshold,
    the depth and what is own code (make_trace), Destination the output.
    With `repeat`, every value given is kept, in a tuple."""

    def __init__(self, names, dest, value=None, help="", *, default=None, choices=None, read=None, repeat=False):
        self.names, self.dest, self.value, self.help = names, dest, value, help
        self.default = False if value is None else () if repeat else default
        self.choices, self.read, self.repeat = choices, read, repeat

    def usage(self):
        shown = self.value if self.choices is None else "{" + ",".join(self.choices) + "}"
        return self.names[0] if self.value is None else f"{self.names[0]} {shown}"


# The options in the order the usage and the help show them, and the parser
# checks their values; each group starts a line of the usage: what to trace,
# what to write, and where to write it.
OPTIONS = (
    (
        Option(("-h", "--help"), "help", help="show this help and exit"),
        Option(("--threshold",), "threshold", "T", """\
shortest call kept: nanoseconds or a number with ns, us, ms
or s (default {threshold})"""),
        Option(("--depth",), "depth", "N", """\
keep calls at most N levels deep instead, whatever their
duration"""),
        Option(("--coroutines",), "coroutines", help="""\
coroutine-aware: follow each coroutine an event loop runs
(main in asyncio.run(main())) across its awaits, and record
the waits; outside event loops, a thread's first coroutine"""),
        Option(("--main-thread",), "main_thread", help="""\
trace the main thread alone, leaving the program's other
threads untouched"""),
        Option(("--no-children",), "no_children", help="""\
trace this process alone: no forked child, multiprocessing
worker or Python subprocess"""),
    ),
    (
        Option(("--format",), "format", "F", """\
without it: the summary, then the folded tree (on standard
output); summary: where the time went, by function;
tree: the call tree, repeated calls folded, short ones
counted; perfetto: Chrome Trace Event JSON for ui.perfetto.dev
(default file {perfetto}); collapsed: stacks for flame
graphs (default file {collapsed}); html: a self-contained
page with a timeline, a flame graph and the summary
(default file {html}); spantree: the whole trace in one
compact file, for view and diff below (default file
{spantree}; chosen by -o NAME.spantree too)""", choices=FORMATS),
        Option(("--full",), "full", help="""\
the tree with a line for every recorded call, nothing
folded or left out"""),
        Option(("--min-share",), "min_share", "P", """\
leave out tree lines under P% of the trace, and count
them (default {min_share:g}%)""", default=DEFAULT_MIN_SHARE, read=_fraction),
        Option(("--sort",), "sort", "KEY", "summary order: self (default), total, calls or max",
               default=DEFAULT_SORT, choices=SORT_KEYS),
        Option(("--top",), "top", "N", "summary rows (default {top})", default=DEFAULT_TOP, read=_count),
        Option(("--per-thread",), "per_thread", help="the summary of each thread after the whole trace's"),
        Option(("--show-all",), "show_all", help="""\
every frame in the tree, summary and page: imports, library
internals and recursion unfolded (repeated calls still fold)"""),
        Option(("--grouped",), "grouped", help="""\
with --format collapsed: the stacks of the grouped tree
rather than of every frame"""),
        Option(("--own",), "own", "NAME", """\
count NAME, a folder, a file or an installed package, as
the program's own code (repeatable); the script's folder and
the package of -m module are its own already""", repeat=True),
    ),
    (
        Option(("-o",), "output", "FILE", """\
write there instead ("-" for standard output; a name ending
in .gz is compressed)"""),
    ),
)
# Options that exclude each other, the second right after the first in
# OPTIONS: the usage shows them as one choice.
EXCLUSIVE = ("--threshold", "--depth")
# -m is no option: it ends them, and the program's arguments follow.
PROGRAM = "(script.py | -m module) [args ...]"
PROGRAM_HELP = ("-m module", "run a library module as a script, like python -m")

ALL_OPTIONS = tuple(option for group in OPTIONS for option in group)
BY_NAME = {name: option for option in ALL_OPTIONS for name in option.names}
HELP_VALUES = {"threshold": DEFAULT_THRESHOLD, "min_share": DEFAULT_MIN_SHARE * 100, "top": DEFAULT_TOP,
               **DEFAULT_FILES}
# Columns of the usage's option list, after "usage: PROG ".
USAGE_WIDTH = 76
# The column where the help texts start: after two spaces, the option's
# name padded, and two spaces.
HELP_COLUMN = 19

DESCRIPTION = """\
Runs a Python program like python does, traces every thread it runs from
start to end and writes their call trees."""

SUBCOMMANDS_HELP = """\
subcommands (a program named view or diff runs as ./view):
  view FILE        a view of a saved trace, byte for byte as the run that
                   saved it would have written it: takes --format, --full,
                   --show-all, --grouped, --min-share, --sort, --top,
                   --per-thread and -o
  diff BEFORE AFTER
                   two saved traces compared function by function: calls,
                   total and self time, new and gone functions (--sort
                   total|self|calls, --top N, --format tree, -o FILE)
  A file that is not a whole saved trace is one line on stderr, status 2."""

EXIT_STATUS = f"""\
Exit status: the program's; {STATUS_USAGE} for a usage error; {STATUS_WRITE_FAILED} when the program
succeeded but the trace could not be written. A KeyboardInterrupt that
reaches the top, or SIGTERM, ends it by that signal once the trace is written."""


def usage(prog):
    """The usage lines: each group of options wrapped at USAGE_WIDTH, the
    exclusive options as one choice, the program on the last line."""
    lines = []
    for group in OPTIONS:
        words = []
        for option in group:
            if option.names[0] == EXCLUSIVE[1]:
                words[-1] = f"{words[-1][:-1]} | {option.usage()}]"
            else:
                words.append(f"[{option.usage()}]")
        if group is OPTIONS[-1]:
            words.append(PROGRAM)
        line = words.pop(0)
        for word in words:
            if len(line) + 1 + len(word) > USAGE_WIDTH:
                lines.append(line)
                line = word
            else:
                line += " " + word
        lines.append(line)
    indent = " " * len(f"usage: {prog} ")
    subcommands = f"{' ' * len('usage: ')}{prog} view FILE [options] | {prog} diff BEFORE AFTER [options]"
    return f"usage: {prog} " + ("\n" + indent).join(lines) + "\n" + subcommands


def help_text(prog):
    """The whole --help text."""
    rows = [(", ".join(option.names) + (f" {option.value}" if option.value else ""),
             option.help.format(**HELP_VALUES)) for option in ALL_OPTIONS]
    rows.append(PROGRAM_HELP)
    entries = [f"  {shown:<{HELP_COLUMN - 4}}  " + text.replace("\n", "\n" + " " * HELP_COLUMN)
               for shown, text in rows]
    return "\n".join([usage(prog), "", DESCRIPTION, "", "options:", *entries, "", SUBCOMMANDS_HELP, "", EXIT_STATUS, ""])


class Options:
    """The parsed command line: an attribute per option, and the program."""

    def __init__(self):
        for option in ALL_OPTIONS:
            setattr(self, option.dest, option.default)
        self.module = self.script = None
        self.args = ()


def _long_option(word):
    """The long option `word` names, allowing an unambiguous prefix as argparse does."""
    if word in BY_NAME:
        return word
    # A bare "--" (of "--=value") starts every long option but names none.
    found = [name for name in BY_NAME if name.startswith("--") and name.startswith(word)] if word != "--" else []
    if len(found) != 1:
        raise UsageError(f"ambiguous option: {word} could match {', '.join(found)}" if found
                         else f"unrecognized argument: {word}")
    return found[0]


def _take_option(word, words, given):
    """Reads the option `word` names into `given`, under its last name: its
    text, taken from `words` unless given as --name=value or -oFILE, or True
    for a flag."""
    if word.startswith("--"):
        name, glued, value = word.partition("=")
        name = _long_option(name)
    else:
        name, value = word[:2], word[2:]
        glued = bool(value)
    option = BY_NAME.get(name)
    if option is None or option.value is None and glued:
        raise UsageError(f"unrecognized argument: {word}")
    if option.value is None:
        value = True
    elif not glued:
        if not words:
            raise UsageError(f"argument {name}: expected one argument")
        value = words.pop(0)
    key = option.names[-1]
    given[key] = given.get(key, ()) + (value,) if option.repeat else value


def parse_args(argv):
    """The options, the program and its arguments, as python reads `[options] script args`:
    options end at the script, at -m (whose module may be glued: -mtimeit) or at --."""
    options = Options()
    given = {}
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
            _take_option(word, words, given)
            continue
        options.script, options.args = word, words
        break
    if "--help" in given:
        options.help = True
        return options
    if set(EXCLUSIVE) <= given.keys():
        raise UsageError(f"argument {EXCLUSIVE[1]}: not allowed with argument {EXCLUSIVE[0]}")
    for option in ALL_OPTIONS:
        name = option.names[-1]
        if name not in given:
            continue
        value = given[name]
        if option.choices is not None and value not in option.choices:
            raise UsageError(f"argument {name}: invalid choice: {value!r} (choose from {', '.join(option.choices)})")
        setattr(options, option.dest, option.read(name, value) if option.read else value)
    if options.grouped and options.format != "collapsed":
        raise UsageError("argument --grouped: only with --format collapsed")
    if options.script is None and options.module is None:
        raise UsageError("give a script or -m module")
    return options


def own_code(options):
    """What --own names, with the program's own: the script's folder, or
    the top package of the -m module (all of sphinx for -m sphinx.cmd)."""
    if options.module is not None:
        return (*options.own, options.module.split(".")[0])
    if options.script is None:  # code run from elsewhere (IPython's magics)
        return options.own
    folder = os.path.dirname(os.path.abspath(options.script))
    # A script that cannot be opened is reported as such, later.
    return (*options.own, folder) if os.path.isdir(folder) else options.own


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
        tracer = trace(threshold, depth, coroutines=options.coroutines, threads=not options.main_thread,
                       own=own_code(options))
    except ValueError as exc:
        if str(exc).startswith("own:"):
            raise UsageError(f"argument --own: {str(exc).removeprefix('own: ')}") from None
        raise UsageError(str(exc)) from None
    # A forked child writes nothing: what it inherited is let go at the fork.
    tracer._keeps_records_in_child = False
    return tracer


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


class MainModuleError(Exception):
    """The module given to -m cannot run; python says why in one line."""


def _check_module(name, args):
    """Sets sys.path[0] and sys.argv as python -m does while it finds the
    module, and checks what can be known without importing anything: that
    the top-level name exists. A package and its parents are imported by
    _module_main, under the trace."""
    # python -m searches the current directory first, whatever started this command.
    if not sys.flags.safe_path:
        sys.path[0] = os.getcwd()
    sys.argv = ["-m", *args]
    import importlib.util

    top = name.partition(".")[0]
    try:
        # For a name without a dot, this imports nothing.
        found = importlib.util.find_spec(top)
    except (ImportError, ValueError) as exc:
        raise UsageError(f"-m {name}: {exc}") from None
    if found is None:
        raise UsageError(f"No module named {top!r}")


def _module_main(name):
    """The code and __main__ module of `python -m name`, as python finds
    them: importing the parent packages (and a package, to run its
    __main__ submodule)."""
    import importlib.util

    try:
        found = importlib.util.find_spec(name)
    except (ImportError, AttributeError, TypeError, ValueError) as exc:
        raise MainModuleError(f"Error while finding module specification for {name!r} "
                              f"({type(exc).__name__}: {exc})") from None
    if found is not None and found.submodule_search_locations is not None:
        if name == "__main__" or name.endswith(".__main__"):
            raise MainModuleError("Cannot use package as __main__ module")
        try:
            return _module_main(f"{name}.__main__")
        except MainModuleError as exc:
            raise MainModuleError(f"{exc}; {name!r} is a package and cannot be directly executed") from None
    if found is None:
        raise MainModuleError(f"No module named {name!r}")
    code = found.loader.get_code(found.name)
    if code is None:
        raise MainModuleError(f"No code object available for {name!r}")
    module = type(sys)("__main__")
    module.__dict__.update(__file__=found.origin, __cached__=found.cached, __builtins__=__builtins__,
                           __loader__=found.loader, __package__=found.parent, __spec__=found)
    sys.argv[0] = found.origin
    return code, module


_Function = type(_check_module)


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


def _run(tracer, code=None, module=None, module_name=None):
    """Runs the program under the tracer, from its code and __main__ module
    or, with `module_name`, from the module python -m would find, found
    under the tracer; returns its exit status.

    Calling the module's code as a function runs it with its globals as its
    locals, as exec does, but without a built-in call (exec) above the
    program in the trace."""
    failure = None
    with tracer:
        try:
            if module_name is not None:
                code, module = _module_main(module_name)
            sys.modules["__main__"] = module
            _Function(code, module.__dict__)()
        except BaseException as exc:
            failure = exc
    if failure is None:
        return 0
    if isinstance(failure, SystemExit):
        return _exit_status(failure)
    if isinstance(failure, MainModuleError):
        print(f"spantree: {failure}", file=sys.stderr)
        return 1
    # The traceback starts with this function's own frame; python's starts at the program.
    failure = failure.with_traceback(failure.__traceback__.tb_next)
    try:
        sys.excepthook(type(failure), failure, failure.__traceback__)
    except Exception:
        pass
    return KILLED_BY_SIGINT if isinstance(failure, KeyboardInterrupt) else 1


def _limit(tracer):
    """What the trace kept, in words: its threshold or depth, and its mode."""
    from .render import format_duration

    if tracer.depth is not None:
        limit = f"calls at most {tracer.depth} level{'s' if tracer.depth > 1 else ''} deep"
    else:
        limit = f"calls of at least {format_duration(tracer.threshold_ns)}"
    return limit + (", coroutine-aware" if tracer.coroutines else "")


def _settings(tracer):
    """What the views need to know of what the trace left out, to say what self time includes."""
    return {"threshold_ns": tracer.threshold_ns, "depth": tracer.depth}


def _render(tracer, options, target, out, pid=None, process=None, children=()):
    """Writes the chosen view of the trace to the binary file `out`; `pid` is
    the traced process's (this one's by default), `process` what the command
    knows of it (a saved trace keeps it), `children` the saved traces of its
    child processes and the children that left none (children.Missing)."""
    if options.format == "spantree":
        from . import saved

        saved.write(tracer, out, process, children)
        return
    pid = pid or os.getpid()
    if children:
        from .processes import render_processes

        render_processes(_render_one, tracer, options, target, out, pid, process, children)
        return
    _render_one(tracer, options, target, out, pid)


def _render_one(tracer, options, target, out, pid):
    """Writes the chosen view of one process's trace."""
    if options.format == "html":
        from .html import html

        html(tracer, out, title=f"spantree: {target}", note=_limit(tracer), grouped=not options.show_all)
        return
    from . import views

    threads = views.read(tracer)
    if options.format == "perfetto":
        views.write_perfetto(threads, out, pid=pid, process_name=f"python {target}")
        return
    if options.format == "collapsed":
        views.write_collapsed(threads, out, grouped=options.grouped)
        return
    count = sum(view.reader.count for view in threads)
    where = "" if len(threads) == 1 else f" in {len(threads)} threads"
    out.write(f"spantree: {target}: {count:,} records{where}, {_limit(tracer)}\n".encode("utf-8", "backslashreplace"))
    if options.format in (None, "summary"):
        views.write_summary(threads, out, sort=options.sort, top=options.top, per_thread=options.per_thread,
                            show_all=options.show_all, **_settings(tracer))
    if options.format is None:
        out.write(b"\n")
    if options.format in (None, "tree"):
        views.write_tree(threads, out, full=options.full, min_share=options.min_share,
                         show_all=options.show_all, **_settings(tracer))


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


def _hand_driven_report(tracer, start_ns):
    """A line per coroutine that a coroutine-aware trace followed outside an
    event loop's run, where it sees one coroutine per thread and no other."""
    if not tracer.followed_by_hand:
        return []
    import time

    from .render import format_duration

    run_ns = max(time.time_ns() - start_ns, 1)
    return [f"{thread}: outside an event loop, the trace followed one coroutine only, {name} "
            f"({os.path.basename(file)}:{line}), {format_duration(duration)} or {100 * duration / run_ns:.1f}% "
            "of the run; to trace the others, run each with asyncio.run or loop.run_until_complete"
            for thread, name, file, line, duration in tracer.followed_by_hand]


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
    print(usage(prog), file=sys.stderr)
    print(f"{prog}: error: {message}", file=sys.stderr)
    return STATUS_USAGE


def main(argv=None):
    prog = _prog_name()
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in SUBCOMMANDS:
        from .subcommands import COMMANDS

        return _end(COMMANDS[argv[0]](prog, argv[1:]))
    try:
        options = parse_args(argv)
        if options.format is None and (options.output or "").endswith(SAVED_SUFFIX):
            options.format = "spantree"
        if options.help:
            print(help_text(prog), end="")
            return 0
        tracer = make_trace(options)
        destination = Destination(options)
    except UsageError as exc:
        return _usage_error(prog, str(exc))

    target = options.script if options.module is None else f"-m {options.module}"
    code = module = None
    try:
        if options.module is None:
            code, module = _script_main(options.script, options.args)
        else:
            _check_module(options.module, options.args)
    except UsageError as exc:
        return _usage_error(prog, str(exc))
    except SyntaxError as exc:
        sys.excepthook(type(exc), exc.with_traceback(None), None)
        return 1
    except OSError as exc:
        print(f"spantree: can't open {target!r}: {exc}", file=sys.stderr)
        return STATUS_USAGE

    import time

    ending = Ending(tracer, destination, options, target, time.time_ns())
    ending.install()
    if not options.no_children:
        from . import children

        ending.spool = children.Spool.create(tracer, ending.messages.say)
    ending.program_runs = True
    status = _run(tracer, code, module, options.module)
    ending.program_runs = False
    if tracer.forked:
        # A child of the program: its own trace goes to the spool, for the
        # parent to write.
        if ending.spool is not None:
            children.end(status)
        return _end(ending.quit(status))
    _flush_program_output()
    return _end(ending.quit(ending.write(status)))


class Abandoned(BaseException):
    """SIGTERM again while the trace is being written."""


def _end(status):
    """Returns the exit status, or ends the process by the signal a
    negative status names."""
    if status == KILLED_BY_SIGTERM:
        _die_by(_signal.SIGTERM)
    if status == KILLED_BY_SIGINT:
        # Out of main, python sees an uncaught KeyboardInterrupt: it
        # finalizes as it would have for the program, then kills itself by
        # SIGINT. Only the hook that would print it again (the program's
        # traceback is printed already) is quieted. Python 3.13 tells the
        # exception by its exact type: no subclass.
        program_hook = sys.excepthook
        interrupt = KeyboardInterrupt()

        def quiet(kind, value, traceback):
            if value is not interrupt:
                program_hook(kind, value, traceback)

        sys.excepthook = quiet
        raise interrupt
    return status


def _die_by(signum):
    _signal.signal(signum, _signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    os._exit(128 + signum)  # the signal is blocked


class Ending:
    """Writes the trace once the program has ended, or when SIGTERM ends it.

    The SIGTERM handler goes in just before the program starts, only where
    SIGTERM has its default action (not where it was ignored), and only on
    the main thread, as signal handlers must; the program sees it through
    signal.getsignal in place of SIG_DFL, and a handler of its own replaces
    it. It ends the trace where the program is, with its other threads
    still running, and writes it from the handler: nothing in the program
    runs after the signal (no finally block, no atexit function), as under
    python."""

    def __init__(self, tracer, destination, options, target, start_ns):
        self.tracer, self.destination, self.options, self.target = tracer, destination, options, target
        self.start_ns = start_ns
        self.cwd = os.getcwd()
        self.messages = Messages()
        self.program_runs = False
        self.writing = False
        self.installed = False
        self.spool = None  # children.Spool, where the program's children leave their traces

    def process(self):
        """What a saved trace keeps of the program, as the command knows it."""
        options = self.options
        command = [options.script] if options.module is None else ["-m", options.module]
        return {"command": [*command, *options.args], "target": self.target, "cwd": self.cwd,
                "start_ns": self.start_ns}

    def install(self):
        try:
            if _signal.getsignal(_signal.SIGTERM) == _signal.SIG_DFL:
                _signal.signal(_signal.SIGTERM, self.terminated)
                self.installed = True
        except ValueError:
            return  # not the main thread
        # A forked child (a pool's worker) gets SIGTERM's default back at
        # once: the handler runs only when the main thread runs Python code,
        # and a worker is terminated wherever it waits.
        os.register_at_fork(after_in_child=self.quit)

    def quit(self, status=None):
        """Puts SIGTERM's default back, unless the program installed its own."""
        try:
            if self.installed and _signal.getsignal(_signal.SIGTERM) == self.terminated:
                _signal.signal(_signal.SIGTERM, _signal.SIG_DFL)
        except ValueError:
            pass  # a child forked from another thread than the main one
        return status

    def terminated(self, signum, frame):
        """SIGTERM handler: writes the trace, then dies by SIGTERM."""
        if self.writing:
            raise Abandoned
        try:
            if not self.tracer.forked:
                if self.program_runs:
                    self.program_runs = False
                    self.tracer.__exit__(None, None, None)
                self.write(KILLED_BY_SIGTERM)
        finally:
            # Nothing of this reaches the program, which python would not resume.
            _die_by(_signal.SIGTERM)

    def write(self, status):
        """Writes the trace after a program that ended with `status`; returns
        the status the command ends with."""
        tracer, destination, messages = self.tracer, self.destination, self.messages
        self.writing = True
        try:
            if tracer.hook_lost:
                # A profile function the program left behind would watch the rendering.
                sys.setprofile(None)
                messages.say(_hook_report(tracer, self.start_ns))
            for note in _hand_driven_report(tracer, self.start_ns):
                messages.say(note)
            process = {**self.process(), "exit_status": status}
            if self.options.format == "spantree":
                from .saved import process_of

                process = process_of(tracer, **process)
            found = self.spool.collect() if self.spool is not None else ()
            destination.write(lambda out: _render(tracer, self.options, self.target, out, process=process,
                                                  children=found))
        except (KeyboardInterrupt, Abandoned) as exc:
            messages.say(f"interrupted: the trace was not written to {destination.name()}"
                         if destination.path else "interrupted: the trace on standard output is incomplete")
            return KILLED_BY_SIGINT if isinstance(exc, KeyboardInterrupt) else KILLED_BY_SIGTERM
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
        finally:
            self.writing = False
            if self.spool is not None:
                self.spool.remove()
        if destination.named:
            messages.say(f"wrote the {self.options.format} trace to {destination.shown}")
        return status
