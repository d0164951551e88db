"""Tracing the program's child processes into the command's one output.

The command (the parent) makes a spool directory private to the run and
names it, with the trace's settings, in the environment variable
SPANTREE_CHILDREN, which every child inherits. A child traces itself and,
as it ends, leaves its trace in the spool as a saved trace; the parent
reads them all once the program has ended (`Spool.collect`), and removes
the spool.

A child starts its trace:

- forked (os.fork, multiprocessing's fork start method, the workers of its
  forkserver): in the at-fork handler below, afresh, after the trace it
  inherited has stopped (spantree.tracing's own at-fork handler);
- spawned (a Python process started with the variable set): from the `.pth`
  line an installed package puts in its site directory, or, from a checkout,
  from the `sitecustomize` the parent writes into the spool and puts first on
  the children's PYTHONPATH; either calls `start_from_environment` before the
  program runs.

A traced child writes its trace when it ends: at exit, in os._exit (wrapped
for this), or on SIGTERM where it has no handler of its own (then it dies by
SIGTERM). Each child first leaves a marker (PID.started, its command line),
so that the parent can name a child that ended without a trace. Files are
made with mode 0600 in the 0700 spool; a trace is written under a temporary
name and renamed to PID.spantree once whole.

Multiprocessing's helper processes (the forkserver, the resource tracker)
are not traced; the forkserver's forked workers are.
"""

import os
import sys

import _signal

ENVIRONMENT = "SPANTREE_CHILDREN"
# How long the parent waits, once the program has ended, for the children
# that started a trace to write it, in seconds.
WAIT_S = 5.0
SITE_FOLDER = "site"
STARTED = ".started"
TRACE = ".spantree"
# What `-c` runs in multiprocessing's helper processes.
_HELPERS = ("from multiprocessing.forkserver import main", "from multiprocessing.resource_tracker import main")

SITECUSTOMIZE = '''\
"""Starts the trace of a child process of a spantree run, then runs the
sitecustomize module this one shadows, if there is one."""


def _start():
    import sys

    here = __file__.rpartition("/")[0]
    saved = sys.path[:]
    sys.path[:0] = {package_path!r}
    try:
        from spantree import children
    except ImportError:  # another Python, or the package is gone
        children = None
    finally:
        sys.path[:] = saved
    if children is not None:
        children.start_from_environment()
    sys.path[:] = [entry for entry in sys.path if entry != here]
    # The import system takes whatever sys.modules holds under this name
    # once this module has run: the shadowed module if there is one.
    this = sys.modules.pop("sitecustomize")
    try:
        import sitecustomize  # noqa: F401
    except BaseException as exc:
        sys.modules.setdefault("sitecustomize", this)
        if not isinstance(exc, ImportError) or exc.name != "sitecustomize":
            raise


_start()
'''


# ---------------------------------------------------------------------------
# The child's side


class _Child:
    """What this process knows of its own trace as a child."""

    pid = None  # the process whose trace `trace` is: a forked child inherits this object
    trace = None
    command = None  # its command line, as the parent shows it
    spool = None
    settings = None
    status = None  # the exit status, once known
    os_exit = None  # the real os._exit
    forks_handled = False
    fork_mask = None  # the signal mask as it was before a fork, while SIGTERM is blocked across it


_child = _Child()


def _settings(value):
    """(threshold_ns, depth, coroutines, threads, spool) from the variable."""
    version, threshold, depth, coroutines, threads, spool = value.split(",", 5)
    if version != "1":
        raise ValueError(value)
    return int(threshold), int(depth) or None, coroutines == "1", threads == "1", spool


def environment_value(tracer, spool):
    return (f"1,{tracer.threshold_ns},{tracer.depth or 0},{int(tracer.coroutines)},"
            f"{int(tracer.all_threads)},{spool}")


def _helper():
    """Whether this process is one of multiprocessing's helpers."""
    argv = list(getattr(sys, "orig_argv", ()))
    at = argv.index("-c") + 1 if "-c" in argv else len(argv)
    # 3.14 and later put `import sys;` before the helper's import.
    return at < len(argv) and any(helper in argv[at] for helper in _HELPERS)


def start_from_environment(forked=False):
    """Starts this process's trace as a child of a traced run, if the
    environment names one (and this is no multiprocessing helper: a forked
    child of one is traced)."""
    value = os.environ.get(ENVIRONMENT)
    if not value or _child.pid == os.getpid():
        return
    try:
        settings = _settings(value)
    except ValueError:
        return
    # Imported first, so that its at-fork handler, which stops the trace a
    # forked child inherits, runs before this module's starts a new one.
    from . import tracing  # noqa: F401

    _handle_forks()
    if forked or not _helper():
        _start(settings, forked)


def _handle_forks():
    if not _child.forks_handled:
        _child.forks_handled = True
        os.register_at_fork(before=_before_fork, after_in_parent=_restore_mask, after_in_child=_start_in_forked_child)


def _before_fork():
    """Loads the saved-trace writer once in a process that forks, rather
    than in each of its forked children as they end; and blocks SIGTERM
    across the fork, so that a child terminated at once (a pool's idle
    worker) gets it only once its trace has started and its handler can
    write that trace."""
    _child.fork_mask = None
    if ENVIRONMENT in os.environ:
        from . import saved  # noqa: F401

        _child.fork_mask = _signal.pthread_sigmask(_signal.SIG_BLOCK, {_signal.SIGTERM})


def _restore_mask():
    if _child.fork_mask is not None:
        _signal.pthread_sigmask(_signal.SIG_SETMASK, _child.fork_mask)


def _start_in_forked_child():
    try:
        start_from_environment(forked=True)
    finally:
        _restore_mask()


def _start(settings, forked):
    from .tracing import trace

    *tracing, spool = settings
    threshold, depth, coroutines, threads = tracing
    _child.pid, _child.spool, _child.settings, _child.status = os.getpid(), spool, settings, None
    _child.trace = None
    # A forked child runs the program it was forked from: its interpreter and
    # that program's arguments.
    _child.command = [_command()[0], *sys.argv] if forked else _command()
    try:
        _write_private(os.path.join(spool, f"{os.getpid()}{STARTED}"), "\0".join(_child.command).encode(
            "utf-8", "surrogateescape"))
    except OSError:
        _child.pid = None
        return  # no spool to write to: the parent is gone or never had one
    tracer = trace(threshold=None if depth else threshold, depth=depth, coroutines=coroutines, threads=threads)
    tracer._keeps_records_in_child = False
    try:
        tracer.__enter__()
    except RuntimeError:  # another profiler is installed: the marker names the child as untraced
        return
    _child.trace = tracer
    if _child.os_exit is None:
        import atexit

        _child.os_exit = os._exit
        os._exit = _os_exit
        exit_function = sys.exit

        def exit(status=None):
            _note_exit(exit_function, status)

        sys.exit = exit
        atexit.register(_at_exit)
    try:
        # (A child the command forks has SIGTERM's default back by now.)
        if _signal.getsignal(_signal.SIGTERM) == _signal.SIG_DFL:
            _signal.signal(_signal.SIGTERM, _terminated)
    except ValueError:
        pass  # not the main thread


def _command():
    return list(getattr(sys, "orig_argv", sys.argv))


def _note_exit(exit_function, status):
    """sys.exit in a traced child: notes the status python will end with."""
    if _child.pid == os.getpid():
        _child.status = status if status is None or isinstance(status, int) else 1
    exit_function(status)


def _os_exit(status):
    end(status, keep_blocked=True)
    _child.os_exit(status)


def _at_exit():
    status = _child.status
    if status is None and getattr(sys, "last_exc", None) is not None:
        status = 1  # an uncaught exception
    end(status or 0)


def _terminated(signum, frame):
    end(-_signal.SIGTERM, keep_blocked=True)
    _signal.signal(_signal.SIGTERM, _signal.SIG_DFL)
    os.kill(os.getpid(), _signal.SIGTERM)
    _signal.pthread_sigmask(_signal.SIG_UNBLOCK, {_signal.SIGTERM})
    _child.os_exit(128 + _signal.SIGTERM)


def end(status, keep_blocked=False):
    """Ends this child's trace and leaves it in the spool with its exit
    status; does nothing where this process traces no child of a run, or
    has ended its trace already. SIGTERM is blocked meanwhile, and stays
    blocked with `keep_blocked`, for a process about to end."""
    tracer = _child.trace
    if _child.pid != os.getpid() or tracer is None:
        return
    _child.trace = None
    # SIGTERM (multiprocessing's terminate) waits until the trace is written.
    blocked = _signal.pthread_sigmask(_signal.SIG_BLOCK, {_signal.SIGTERM})
    try:
        tracer.__exit__(None, None, None)
        from .saved import process_of, write

        command = _child.command
        process = process_of(tracer, command=command, target=" ".join(command), exit_status=status)
        path = os.path.join(_child.spool, f"{os.getpid()}{TRACE}")
        part = f"{path}.part"
        try:
            with open(_open_private(part), "wb") as out:
                write(tracer, out, process)
            os.rename(part, path)
        except BaseException:
            _unlink(part)
            raise
    except Exception:
        pass  # the parent names this child as ended without a trace
    finally:
        if not keep_blocked:
            _signal.pthread_sigmask(_signal.SIG_SETMASK, blocked)


def _open_private(path):
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def _write_private(path, data):
    fd = _open_private(path)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# The parent's side


class Missing:
    """A child that started a trace and left none: `reason` says why."""

    def __init__(self, pid, command, reason):
        self.pid, self.command, self.reason = pid, command, reason


class Spool:
    """The run's spool directory, and the environment that names it."""

    def __init__(self, path, environment):
        self.path = path
        self.environment = environment  # the variables it changed, as they were

    @classmethod
    def create(cls, tracer, say):
        """Makes the spool, sets the children's environment, and lets this
        process's forked children trace themselves; None (with one line
        through `say`) if the spool cannot be made."""
        base = os.environ.get("TMPDIR") or "/tmp"
        path = os.path.join(base, f"spantree-{os.getpid()}-{os.urandom(6).hex()}")
        try:
            os.mkdir(path, 0o700)
            os.chmod(path, 0o700)
            package_path = _package_path()
            if package_path:
                site = os.path.join(path, SITE_FOLDER)
                os.mkdir(site, 0o700)
                _write_private(os.path.join(site, "sitecustomize.py"),
                               SITECUSTOMIZE.format(package_path=package_path).encode())
        except OSError as exc:
            say(f"can't make a spool directory in {base} ({exc.strerror or exc}): "
                "the program's child processes are not traced")
            _remove(path)
            return None
        environment = {name: os.environ.get(name) for name in (ENVIRONMENT, "PYTHONPATH")}
        os.environ[ENVIRONMENT] = environment_value(tracer, path)
        if package_path:
            os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (site, os.environ.get("PYTHONPATH"))))
        _handle_forks()
        return cls(path, environment)

    def collect(self, wait_s=WAIT_S):
        """The children's saved traces, and the children that left none
        (Missing), in the order they started; waits up to `wait_s` for
        those still running."""
        started, done = self._listing()
        if not started:
            return []  # a program without children loads nothing more
        import time

        from .saved import SavedTraceError, load

        deadline = time.monotonic() + wait_s
        while True:
            running = [pid for pid in started if pid not in done and _alive(pid)]
            if not running or time.monotonic() >= deadline:
                break
            time.sleep(0.02)
            started, done = self._listing()
        found = []
        for pid in sorted(started, key=lambda pid: started[pid]):
            command = self._command(pid)
            if pid in done:
                try:
                    found.append(load(os.path.join(self.path, f"{pid}{TRACE}")))
                    continue
                except (OSError, SavedTraceError) as exc:
                    reason = f"its trace is unreadable ({exc})"
            elif pid in running:
                reason = f"still running after {wait_s:g} s: not traced to its end"
            else:
                reason = "ended without a trace (killed, or crashed)"
            found.append(Missing(pid, command, reason))
        return found

    def _listing(self):
        started, done = {}, set()
        try:
            entries = list(os.scandir(self.path))
        except OSError:
            entries = []  # the program removed it: its children are not shown
        for entry in entries:
            name, _, suffix = entry.name.partition(".")
            if not name.isdigit():
                continue
            if "." + suffix == STARTED:
                try:
                    started[int(name)] = entry.stat().st_mtime_ns
                except OSError:
                    pass
            elif "." + suffix == TRACE:
                done.add(int(name))
        return started, done

    def _command(self, pid):
        try:
            with open(os.path.join(self.path, f"{pid}{STARTED}"), "rb") as marker:
                return marker.read().decode("utf-8", "surrogateescape").split("\0")
        except OSError:
            return []

    def remove(self):
        """Removes the spool and puts the environment back as it was."""
        for name, value in self.environment.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        _remove(self.path)


def _package_path():
    """The directories the sitecustomize puts on a child's path to import
    this package and its tracer: none where an installed package's .pth line
    starts the children's trace."""
    import spantree_C

    package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if os.path.exists(os.path.join(package, "spantree-children.pth")):
        return []
    tracer = os.path.dirname(os.path.abspath(spantree_C.__file__))
    return [package] if tracer == package else [package, tracer]


def _alive(pid):
    """Whether process `pid` runs (a zombie does not)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            return stat.read().rpartition(b")")[2].split()[0] != b"Z"
    except OSError:
        return False


def _remove(path):
    """Removes the directory `path` and everything in it, as far as it can."""
    try:
        entries = list(os.scandir(path))
    except OSError:
        entries = []
    for entry in entries:
        if entry.is_dir(follow_symlinks=False):
            _remove(entry.path)
        else:
            _unlink(entry.path)
    try:
        os.rmdir(path)
    except OSError:
        pass
