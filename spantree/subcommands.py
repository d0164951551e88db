"""`spantree view FILE` and `spantree diff BEFORE AFTER`: the views of a saved
trace, and two saved traces compared. The first word names the subcommand, so
a program named `view` or `diff` runs as `spantree ./view`.

Their options are the main command's view options, parsed by its parser;
what is wrong with a file is one line naming it, with exit status 2, and
then nothing is written.
"""

import os
import sys

from . import cli

VIEW_USAGE = """\
usage: {prog} view [-h] [--format {{summary,tree,perfetto,collapsed,html,spantree}}] [--full]
       {pad}      [--min-share P] [--sort {{self,total,calls,max}}] [--top N] [--per-thread]
       {pad}      [-o FILE] FILE"""

VIEW_HELP = """
Writes a view of a trace saved with -o NAME.spantree, exactly as the run that
saved it would have written it with the same options (see {prog} --help).
"""

DIFF_USAGE = """\
usage: {prog} diff [-h] [--sort {{total,self,calls}}] [--top N] [--format {{summary,tree}}]
       {pad}      [--min-share P] [-o FILE] BEFORE AFTER"""

DIFF_HELP = """
Compares two saved traces function by function: calls, total and self time
before → after, the change and its percentage. Functions match by name and
by their file's path relative to each run's directory; new and gone ones are
marked. Totals come first; runs with the same thread names also get a table
per thread.

options:
  --sort KEY     order by the absolute change of total (default), self or calls
  --top N        rows shown (default {top}); the rest are counted
  --format tree  the after run's call tree, each line with the change of its
                 function's total time
  -o FILE        write there instead of standard output
"""

DIFF_FORMATS = ("summary", "tree")
DIFF_SORTS = ("total", "self", "calls")
# Options of the main command that choose how a program runs, not how its trace is shown.
TRACING_OPTIONS = ("--threshold", "--depth", "--coroutines", "--main-thread")


def _split(words):
    """(option words, file names, option names given) of a subcommand's arguments."""
    scratch = cli.Options()
    options, files, given = [], [], set()
    words = list(words)
    while words:
        word = words.pop(0)
        if word == "--":
            files += words
            break
        if not word.startswith("-") or word == "-":
            files.append(word)
            continue
        following, left = words[:1], len(words)
        given.add(cli._take_option(word, words, scratch))
        options.append(word)
        if len(words) < left:  # the option took the next word as its value
            options += following
    return options, files, given


def _options(words, command):
    """The parsed options and file names of `view` or `diff`."""
    option_words, files, given = _split(words)
    for name in sorted(given.intersection(TRACING_OPTIONS)):
        raise cli.UsageError(f"argument {name}: not allowed with {command}: the trace is already made")
    # The main parser checks each value; the file stands where the script would.
    options = cli.parse_args([*option_words, "--", "FILE"])
    return options, files, given


def _load(path, messages):
    from .saved import SavedTraceError, load

    try:
        return load(path)
    except SavedTraceError as exc:
        messages.say(str(exc))
    except IsADirectoryError:
        messages.say(f"{path}: is a directory")
    except OSError as exc:
        messages.say(f"{path}: can't read it: {exc.strerror or exc}")
    return None


def _write(destination, render, messages, what):
    """Writes through `destination` as the main command does; the exit status."""
    try:
        if destination.path is None:
            # Nothing else is on standard output: the view starts at once.
            with open(destination.fd, "wb") as out:
                render(out)
        else:
            destination.write(render)
    except KeyboardInterrupt:
        messages.say("interrupted")
        return cli.STATUS_INTERRUPTED
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
        return 0
    except OSError as exc:
        messages.say(f"can't write to {destination.name()}: {exc.strerror or exc}")
        return 1
    if destination.named:
        messages.say(f"wrote the {what} to {destination.shown}")
    return 0


def view(prog, words):
    try:
        options, files, _ = _options(words, "view")
        if options.help:
            print(VIEW_USAGE.format(prog=prog, pad=" " * len(prog)))
            print(VIEW_HELP.format(prog=prog), end="")
            return 0
        if len(files) != 1:
            raise cli.UsageError("give one saved trace" if not files else f"unrecognized arguments: {' '.join(files[1:])}")
        destination = cli.Destination(options)
    except cli.UsageError as exc:
        return _usage(prog, VIEW_USAGE, exc)
    messages = cli.Messages()
    trace = _load(files[0], messages)
    if trace is None:
        return 2
    return _write(destination, lambda out: cli._render(trace, options, trace.target, out, pid=trace.pid,
                                                       process=trace.process()), messages, f"{options.format} view")


def diff(prog, words):
    try:
        options, files, given = _options(words, "diff")
        if options.help:
            print(DIFF_USAGE.format(prog=prog, pad=" " * len(prog)))
            print(DIFF_HELP.format(top=cli.DEFAULT_TOP), end="")
            return 0
        if len(files) != 2:
            raise cli.UsageError("give two saved traces, BEFORE and AFTER")
        if options.format is not None and options.format not in DIFF_FORMATS:
            raise cli.UsageError(f"argument --format: invalid choice for diff: {options.format!r} "
                                 f"(choose from {', '.join(DIFF_FORMATS)})")
        sort = options.sort if "--sort" in given else "total"
        if sort not in DIFF_SORTS:
            raise cli.UsageError(f"argument --sort: invalid choice for diff: {sort!r} "
                                 f"(choose from {', '.join(DIFF_SORTS)})")
        destination = cli.Destination(options)
    except cli.UsageError as exc:
        return _usage(prog, DIFF_USAGE, exc)
    messages = cli.Messages()
    before = _load(files[0], messages)
    after = before and _load(files[1], messages)
    if after is None:
        return 2
    from . import diff as diffs

    def render(out):
        if options.format == "tree":
            diffs.write_tree(before, after, out, min_share=options.min_share / 100)
        else:
            diffs.write_diff(before, after, out, sort=sort, top=options.top)

    return _write(destination, render, messages, "diff")


def _usage(prog, usage, exc):
    print(usage.format(prog=prog, pad=" " * len(prog)), file=sys.stderr)
    print(f"{prog}: error: {exc}", file=sys.stderr)
    return 2


COMMANDS = {"view": view, "diff": diff}
