"""The command's views of a program and its child processes, in one output.

The summary and the tree get a section per process, headed by its pid,
command line and exit status; Perfetto a process per pid, named by its
command line; the collapsed stacks start with the process; the HTML page
has the lanes of each process together, named by its pid. A child that left
no trace has its header and the reason.
"""

import os
import shlex

from .traced import ThreadTrace
from .views import ThreadView, read


class Process:
    """One process of the output: `trace` (its threads) or None, with
    `reason` saying why it has none."""

    def __init__(self, pid, command, exit_status, trace=None, target=None, reason=None):
        self.pid, self.command, self.exit_status = pid, command, exit_status
        self.trace, self.target, self.reason = trace, target, reason

    @property
    def name(self):
        return _child_command(self.command)


def status_text(status):
    """An exit status in words, as a parent sees it."""
    if status is None:
        return "exit status unknown"
    if status < 0:
        import signal

        try:
            return f"killed by {signal.Signals(-status).name}"
        except ValueError:
            return f"killed by signal {-status}"
    return f"exit status {status}"


# A heading shows this much of a command line; `python -c` programs can be long.
COMMAND_SHOWN = 160


def _child_command(command):
    """A command line as one line: the interpreter by its file name, a long
    one cut at COMMAND_SHOWN characters."""
    if not command:
        return "(command line unknown)"
    text = shlex.join([os.path.basename(command[0]), *command[1:]]).replace("\n", "\\n")
    return text if len(text) <= COMMAND_SHOWN else text[:COMMAND_SHOWN - 1] + "…"


def processes(tracer, target, pid, process, children):
    """Process entries of the program (first) and its children."""
    found = [Process(pid, ["python", *process["command"]], process.get("exit_status"), tracer, target)]
    for child in children:
        shown = f"pid {child.pid}"
        if getattr(child, "reason", None) is not None:
            found.append(Process(child.pid, child.command, None, target=shown, reason=child.reason))
        else:
            found.append(Process(child.pid, child.command, child.exit_status, child, shown))
    return found


def render_processes(render_one, tracer, options, target, out, pid, process, children):
    """Writes the chosen view of the program and its children; `render_one`
    writes one process's view (the command's own, for a single process)."""
    found = processes(tracer, target, pid, process, children)
    traced = [p for p in found if p.trace is not None]
    if options.format == "html":
        from .html import html

        from .cli import _limit

        lanes = []
        for p in traced:
            for view in read(p.trace):
                lanes.append(ThreadView(ThreadTrace(f"{p.pid}: {view.thread.name}", view.thread.native_id, (),
                                                    view.thread.coroutines), view.reader))
                lanes[-1].labels = view.labels  # each process's files, as its reader names them
        html(lanes, out, title=f"spantree: {target} and {len(found) - 1} child process"
             f"{'es' if len(found) > 2 else ''}", note=_limit(tracer), grouped=not options.show_all)
        return
    if options.format == "perfetto":
        from .views import write_perfetto_processes

        write_perfetto_processes([(p.pid, p.name, p.trace) for p in traced], out)
        return
    if options.format == "collapsed":
        for p in traced:
            # A frame of its own above each stack; ";" separates frames.
            frame = f"{p.name} [{p.pid}]".replace(";", ",") + ";"
            render_one(p.trace, options, p.target, _Prefixed(out, frame.encode("utf-8", "backslashreplace")), p.pid)
        return
    for number, p in enumerate(found):
        head = f"{'' if number == 0 else chr(10)}process {p.pid}: {_child_command(p.command)}, "
        head += f"{status_text(p.exit_status)}\n" if p.reason is None else f"{p.reason}\n"
        out.write(head.encode("utf-8", "backslashreplace"))
        if p.trace is not None:
            render_one(p.trace, options, p.target, out, p.pid)


class _Prefixed:
    """A binary file that starts every line written to `out` with `prefix`."""

    def __init__(self, out, prefix):
        self.out, self.prefix = out, prefix
        self.at_line_start = True

    def write(self, data):
        data = bytes(data)
        lines = data.split(b"\n")
        pieces = []
        for number, line in enumerate(lines):
            if number:
                pieces.append(b"\n")
                self.at_line_start = True
            if line:
                if self.at_line_start:
                    pieces.append(self.prefix)
                pieces.append(line)
                self.at_line_start = False
        self.out.write(b"".join(pieces))
        return len(data)
