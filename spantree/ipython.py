"""IPython and Jupyter magics, loaded with ``%load_ext spantree``:

    %spantree [options] STATEMENT
    %%spantree [options]
    CELL

options: --threshold T | --depth N, --coroutines, --main-thread,
         --format summary|tree|html|perfetto|collapsed, -o FILE, -v NAME

In a terminal the magics print the summary and the folded tree; in a
notebook they show the trace's HTML page inline, in a sandboxed iframe.
`-v NAME` keeps the ended trace in the variable NAME.

A cell with top-level ``await`` runs coroutine-aware on IPython's own loop
runner in a terminal. In a notebook the kernel's event loop runs the cell
and is busy with it, so the magic cannot run the coroutine: it says to trace
inside the coroutine instead.
"""

import ast
import html as markup
import inspect
import io
import sys
import types

from IPython.core.error import UsageError
from IPython.core.magic import Magics, line_cell_magic, magics_class

from . import cli

FRAME_HEIGHT = 640  # px, the inline page's
TEXT_FORMATS = ("summary", "tree")
AWAIT_IN_KERNEL = ("this cell awaits, and the kernel's own event loop runs it, so the magic cannot trace it: "
                   "use spantree.trace(coroutines=True) inside the coroutine (`with spantree.trace("
                   "coroutines=True) as t:` in its body, or `await spantree.trace(coroutines=True).run(coro)`)")


def load_ipython_extension(ipython):
    ipython.register_magics(SpantreeMagics)


def _in_kernel(shell):
    """Whether a kernel (a notebook's) runs the shell, rather than a terminal."""
    return getattr(shell, "kernel", None) is not None


# Threads of these packages are the shell's own (its history writer, a
# kernel's message and heartbeat threads): their work is not the cell's.
SHELL_PACKAGES = ("IPython", "ipykernel", "jupyter_client", "zmq", "tornado")


def _shell_threads():
    import threading

    return {thread.native_id for thread in threading.enumerate()
            if type(thread).__module__.partition(".")[0] in SHELL_PACKAGES}


class _Shown:
    """What the views read of a trace: its threads less the shell's own."""

    def __init__(self, tracer, hidden):
        self.threads = tuple(t for t in tracer.threads if t.native_id not in hidden)
        self.threshold_ns, self.depth, self.coroutines = tracer.threshold_ns, tracer.depth, tracer.coroutines
        self.origins = tracer.origins  # whose code each file is, as the trace decides it


def _loop_running():
    import asyncio

    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True


def inline_frame(page):
    """The page inside an iframe of its own: the page travels in `srcdoc`
    (escaped for an attribute), so it needs no server and no network; the
    sandbox lets its script run apart from the notebook's page, and its keys
    go to the frame that has the focus."""
    return (f'<iframe srcdoc="{markup.escape(page, quote=True)}" sandbox="allow-scripts" '
            f'title="spantree trace" style="width:100%;height:{FRAME_HEIGHT}px;border:1px solid #ccc">'
            "</iframe>")


@magics_class
class SpantreeMagics(Magics):
    @line_cell_magic
    def spantree(self, line, cell=None):
        """Traces a statement (%spantree) or a cell (%%spantree) and shows
        where its time went.

        %spantree [options] STATEMENT
        %%spantree [options]

        Options:
          --threshold T  shortest call kept: nanoseconds or a number with
                         ns, us, ms or s (default 100us)
          --depth N      keep calls at most N levels deep instead
          --coroutines   coroutine-aware (a cell with top-level await always is)
          --main-thread  trace the cell's thread alone, not the others that
                         run meanwhile (the shell's own are never shown)
          --format F     summary, tree, html, perfetto or collapsed; by
                         default the summary and tree in a terminal, the
                         HTML page inline in a notebook
          -o FILE        write the trace to FILE
          -v NAME        keep the ended trace (a spantree.trace) in NAME
        """
        opts, statement = self.parse_options(line, "o:v:", "threshold=", "depth=", "coroutines", "main-thread",
                                             "format=",
                                             posix=False, strict=False)
        source = statement if cell is None else cell
        if not source.strip():
            raise UsageError("nothing to trace: give a statement (%spantree STATEMENT) or a cell (%%spantree)")
        options = self._options(opts)
        shell = self.shell
        source = shell.transform_cell(source)
        try:
            code = compile(source, shell.compile.cache(source, shell.execution_count), "exec",
                           flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT, dont_inherit=True)
        except SyntaxError:
            shell.showsyntaxerror()
            return
        awaits = bool(code.co_flags & inspect.CO_COROUTINE)
        if awaits and _loop_running():
            raise UsageError(AWAIT_IN_KERNEL)
        if sys.getprofile() is not None:
            raise UsageError("this thread already has a profile function: a thread runs one profiler at a time")
        options.coroutines = options.coroutines or awaits
        tracer = self._trace(options)
        destination = None
        if options.output is not None or options.format in cli.DEFAULT_FILES and not self._inline(options):
            try:
                destination = cli.Destination(options)
            except cli.UsageError as exc:
                raise UsageError(str(exc)) from None
        # Called as a function, the code runs with the namespace as its
        # locals, as exec does, with no built-in call above it in the trace.
        program = types.FunctionType(code, shell.user_ns)
        hidden = _shell_threads()
        failure = None
        try:
            if awaits:
                shell.loop_runner(tracer.run(program()))
            else:
                with tracer:
                    program()
        except BaseException as exc:
            failure = exc
        if options.variable:
            shell.user_ns[options.variable] = tracer
        self._show(_Shown(tracer, hidden), options, destination, "cell" if cell is not None else statement.strip())
        if failure is not None:
            raise failure.with_traceback(failure.__traceback__.tb_next)

    def _options(self, opts):
        options = cli.Options()
        for name in ("threshold", "depth", "format"):
            value = opts.get(name)
            if value is not None:
                setattr(options, name, value)
        options.coroutines = "coroutines" in opts
        options.main_thread = "main-thread" in opts
        options.output = opts.get("o")
        options.variable = opts.get("v")
        if options.variable is not None and not options.variable.isidentifier():
            raise UsageError(f"-v takes a variable name, not {options.variable!r}")
        if options.format is not None and options.format not in cli.FORMATS:
            raise UsageError(f"--format must be one of {', '.join(cli.FORMATS)}, not {options.format!r}")
        if options.threshold is not None and options.depth is not None:
            raise UsageError("give --threshold or --depth, not both")
        return options

    def _trace(self, options):
        try:
            return cli.make_trace(options)
        except cli.UsageError as exc:
            raise UsageError(str(exc)) from None

    def _inline(self, options):
        return options.output is None and options.format in (None, "html") and _in_kernel(self.shell)

    def _show(self, tracer, options, destination, target):
        if destination is not None:
            destination.write(lambda out: cli._render(tracer, options, target, out))
            print(f"spantree: wrote the {options.format or 'summary and tree'} trace to {destination.shown}")
        elif self._inline(options):
            from IPython.display import display

            from .html import html

            page = html(tracer, title=f"spantree: {target}", note=cli._limit(tracer))
            display({"text/html": inline_frame(page),
                     "text/plain": f"spantree: {target}: the trace's page (shown where HTML is)"}, raw=True)
        else:
            out = io.BytesIO()
            cli._render(tracer, options, target, out)
            print(out.getvalue().decode("utf-8", "replace"), end="")
