"""Whose code each file of a trace is, and the name it is shown by.

Every distinct file string of a trace is decided once, here, after the
traced program has ended; the native reader gets the answers as one class
byte, one display label and one dotted module name per file
(`Reader.set_files`) and never asks again.

    OWN       the program's own code
    LIBRARY   the standard library, site- and dist-packages, <frozen …>,
              code compiled from a string (<string>), but not code typed
              in (an IPython cell's <ipython-input-…>, <stdin>: own)
    BUILTIN   "<built-in>" (and the empty file of a wait)
    IMPORT    importlib's bootstrap, the machinery every import runs through

Which files are the program's own is read from the interpreter's own
paths: a file under the standard library (sysconfig's stdlib and
platstdlib), a site- or dist-packages folder (purelib, platlib, the site
module's folders, any folder of that name) or frozen into the interpreter is
a library's; any other file is the program's. Paths and packages named as
own (the traced script's folder, the package of a `-m` module, --own)
override that.

The roots that names are read against are sys.path as it was when the trace
started, followed by the entries the program added by the time the views are
written: a module is found through the root it was imported from, and a
program that extends sys.path (a plugin folder, a vendored tree) imports
from roots only the later sys.path holds. The modules the program imported
(sys.modules, read at the same time) settle a file's root exactly where a
file lies under several roots; the deepest root holding it decides for the
rest.
"""

import os
import sys

OWN, LIBRARY, BUILTIN, IMPORT = range(4)
CLASS_NAMES = ("own", "library", "built-in", "import")

BUILTIN_FILE = "<built-in>"
IMPORT_FILES = ("<frozen importlib._bootstrap>", "<frozen importlib._bootstrap_external>")
# How the code a person types is named: terminal IPython's cells, the
# interactive interpreter's input.
INTERACTIVE_FILES = ("<ipython-input-", "<stdin>")
_FROZEN = "<frozen "
_LIBRARY_FOLDERS = ("site-packages", "dist-packages")


def library_folders():
    """The interpreter's library folders: its standard library and the
    folders installed packages go to."""
    import site
    import sysconfig

    paths = sysconfig.get_paths()
    folders = [paths.get(key) for key in ("stdlib", "platstdlib", "purelib", "platlib")]
    try:
        folders += site.getsitepackages()
    except AttributeError:  # an old virtualenv's site module lacks it
        pass
    if site.ENABLE_USER_SITE:
        folders.append(site.getusersitepackages())
    # The standard library zipped beside its folder (python314.zip).
    beside = os.path.dirname(paths.get("stdlib", ""))
    folders += [entry for entry in sys.path if entry.endswith(".zip") and os.path.dirname(entry) == beside]
    return [folder for folder in folders if folder]


def _within(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _parts(path):
    return [part for part in path.split(os.sep) if part]


class Origins:
    """Decides files once each: `describe(files)` gives the class, label and
    module of every file, cached by path across calls.

    `roots` are the import roots in order (sys.path at the start, then
    what the program added); `libraries` the library folders; `modules` a
    mapping of file paths to the dotted names the program imported them
    by; `own_paths` and `own_packages` what counts as the program's own
    whatever its folder; `cwd` the folder own code is named relative to."""

    def __init__(self, *, roots, libraries, modules=None, own_paths=(), own_packages=(), cwd=None):
        self.cwd = os.path.abspath(cwd or os.getcwd())
        self.roots = [self._absolute(root) for root in dict.fromkeys(roots) if isinstance(root, str)]
        # Folders are matched as written and with their links resolved.
        self.libraries = _with_real_paths(self._absolute(folder) for folder in libraries)
        self.own_paths = _with_real_paths(self._absolute(path) for path in own_paths)
        self.modules = {self._absolute(file): name for file, name in (modules or {}).items()}
        self.own_packages = tuple(own_packages)
        self._decided = {}

    @classmethod
    def now(cls, *, started_path=None, own_paths=(), own_packages=(), cwd=None):
        """Origins read from the running interpreter: the roots of
        `started_path` (sys.path as it was when the program started, and as
        it ended) and what the present sys.path adds, the library folders
        and the modules imported so far."""
        cwd = cwd or os.getcwd()
        roots = [root or cwd for root in list(started_path or ()) + sys.path if isinstance(root, str)]
        modules = {}
        for name, module in list(sys.modules.items()):
            file = getattr(module, "__file__", None)
            if isinstance(file, str) and name != "__main__":
                modules.setdefault(file, name)
        return cls(roots=roots, libraries=library_folders(), modules=modules, own_paths=own_paths,
                   own_packages=own_packages, cwd=cwd)

    def _absolute(self, path):
        return os.path.normpath(os.path.join(self.cwd, os.fspath(path)))

    def describe(self, files):
        """(classes, labels, modules) of `files`, a list of file strings:
        bytes of class codes and two lists of str, in the same order. No two
        different files get one label."""
        decided = [self._decide(file) for file in files]
        classes = bytes(entry[0] for entry in decided)
        labels = _unique_labels([entry[3] for entry in decided], [entry[1] for entry in decided])
        return classes, labels, [entry[2] for entry in decided]

    def _decide(self, file):
        """(class, label, module, absolute path) of one file, cached."""
        entry = self._decided.get(file)
        if entry is None:
            entry = self._decided[file] = self._classify(file)
        return entry

    def _classify(self, file):
        if file in (BUILTIN_FILE, ""):
            return BUILTIN, file, "", file
        if file.startswith(_FROZEN) and file.endswith(">"):
            module = file[len(_FROZEN):-1]
            if not all(part.isidentifier() for part in module.split(".")):
                module = ""
            return (IMPORT if file in IMPORT_FILES else LIBRARY), file, module, file
        if file.startswith(INTERACTIVE_FILES):
            # Code typed in: an IPython cell, the interactive interpreter's input.
            return OWN, file, "", file
        if file.startswith("<"):
            # Code compiled from a string: mostly what a library generates
            # (a named tuple's or a data class's methods, a template).
            return LIBRARY, file, "", file
        path = self._absolute(file)
        root, module = self._root_of(path)
        real = _real_path(path)
        if self._is_own(path, real, module):
            kind = OWN
        elif self._installed(path) or self._installed(real):
            kind = LIBRARY
        else:
            kind = OWN
        # An installed package claimed as own is still named from its root.
        if kind == OWN and _within(path, self.cwd) and not self._installed(path):
            label = os.path.relpath(path, self.cwd)
        elif root is not None:
            label = os.path.relpath(path, root)
        else:
            # Under no root: the file's name, made longer where another shares it.
            label = os.path.basename(path) or path
        if os.path.basename(label) == label and label.startswith("__init__."):
            # A package's body is shown by its package's folder.
            label = os.path.join(os.path.basename(os.path.dirname(path)), label)
        return kind, label, module, path

    def _installed(self, path):
        """Whether `path` lies in the standard library or a packages folder."""
        return any(_within(path, folder) for folder in self.libraries) or any(
            part in _LIBRARY_FOLDERS for part in _parts(os.path.dirname(path)))

    def _is_own(self, path, real, module):
        if any(_within(p, own) for own in self.own_paths for p in (path, real)):
            return True
        return bool(module) and any(module == package or module.startswith(package + ".")
                                    for package in self.own_packages)

    def _root_of(self, path):
        """(root, dotted module name) of a file: the root its module was
        imported from when sys.modules names it, else the deepest root that
        holds it; (None, "") when none does."""
        name = self.modules.get(path)
        if name is not None:
            root = _root_for_module(path, name)
            if root is not None:
                return root, name
        holding = [root for root in self.roots if _within(path, root) and root != path]
        if not holding:
            # A library outside sys.path is named from its packages folder.
            parts = _parts(path)
            folders = [at for at, part in enumerate(parts[:-1]) if part in _LIBRARY_FOLDERS]
            if not folders:
                return None, ""
            holding = [os.sep + os.sep.join(parts[:folders[-1] + 1])]
        root = max(holding, key=len)
        return root, _module_name(os.path.relpath(path, root))


def _module_name(relative):
    """The dotted name a file at `relative` under a root imports as, or ""."""
    parts = relative.split(os.sep)
    stem, dot, suffix = parts[-1].partition(".")
    if not dot or (suffix != "py" and not suffix.endswith(("so", "pyd"))):
        return ""
    parts = parts[:-1] if stem == "__init__" else parts[:-1] + [stem]
    if not parts or not all(part.isidentifier() for part in parts):
        return ""
    return ".".join(parts)


def _root_for_module(path, name):
    """The root `path` was imported from as module `name`, or None when the
    path does not end as that module's would (a module installed under
    another name, such as os.path)."""
    parts = path.split(os.sep)
    names = name.split(".")
    if parts[-1].partition(".")[0] == "__init__":
        tail = len(names) + 1
    else:
        tail = len(names)
    if len(parts) <= tail or _module_name(os.sep.join(parts[-tail:])) != name:
        return None
    return os.sep.join(parts[:-tail]) or os.sep


def _real_path(path):
    """The path with its links resolved, or as it is when the system cannot
    take it (a name that is no valid file name, such as a lone surrogate)."""
    try:
        return os.path.realpath(path)
    except (OSError, ValueError):
        return path


def _with_real_paths(folders):
    folders = list(folders)
    return list(dict.fromkeys(folders + [_real_path(folder) for folder in folders]))


def _unique_labels(paths, labels):
    """The labels, with those that files of different `paths` share
    lengthened by the folders above them, one at a time, until they differ
    (at the longest, a file's whole path)."""
    labels = list(labels)
    while True:
        holders = {}
        for path, label in zip(paths, labels):
            holders.setdefault(label, set()).add(path)
        clashing = {label for label, held in holders.items() if len(held) > 1}
        if not clashing:
            return labels
        for index, label in enumerate(labels):
            # Pseudo-files ("<built-in>", "") are named as they are.
            if label in clashing and os.path.isabs(paths[index]):
                labels[index] = _lengthened(paths[index], label)


def _lengthened(file, label):
    """`label`, a tail of the path `file`, with one more folder in front."""
    parts = _parts(os.path.normpath(file))
    shown = len(_parts(label))
    if shown >= len(parts) or label.startswith(("..", os.sep)):
        return os.path.normpath(file)
    return os.sep.join(parts[-shown - 1:])
