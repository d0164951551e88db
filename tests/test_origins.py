"""Whose code each file is and the label it is shown by, decided from the
interpreter's paths (spantree.origins), on made-up file layouts."""

import os
import sys

import pytest

from spantree.origins import BUILTIN, IMPORT, LIBRARY, OWN, Origins
from spantree.tracing import parse_own

STDLIB = "/usr/lib/python3.14"
ZIP = "/usr/lib/python314.zip"
SITE = "/usr/local/lib/python3.14/dist-packages"
DEBIAN = "/usr/lib/python3/dist-packages"
VENV = "/home/u/venv/lib/python3.14/site-packages"
PROJECT = "/home/u/project"
PLUGINS = "/home/u/plugins"


def origins(own_paths=(), own_packages=(), modules=None):
    # The interpreter's roots when `app.py` in PROJECT started; PLUGINS is
    # the folder the program added to sys.path itself.
    return Origins(roots=[PROJECT, ZIP, STDLIB, f"{STDLIB}/lib-dynload", SITE, DEBIAN, VENV, PLUGINS],
                   libraries=[ZIP, STDLIB, SITE, VENV], modules=modules, own_paths=own_paths,
                   own_packages=own_packages, cwd=PROJECT)


def describe(origins, files):
    classes, labels, modules = origins.describe(files)
    return list(zip(classes, labels, modules))


@pytest.mark.parametrize("file, expected", [
    # The standard library, by its path under the root holding it; a package's body by its package.
    (f"{STDLIB}/json/__init__.py", (LIBRARY, "json/__init__.py", "json")),
    (f"{STDLIB}/json/decoder.py", (LIBRARY, "json/decoder.py", "json.decoder")),
    (f"{STDLIB}/lib-dynload/_json.cpython-314-x86_64-linux-gnu.so",
     (LIBRARY, "_json.cpython-314-x86_64-linux-gnu.so", "_json")),
    (f"{ZIP}/csv.py", (LIBRARY, "csv.py", "csv")),
    # Installed packages: the interpreter's site folder, Debian's, a venv's.
    (f"{SITE}/sympy/core/mul.py", (LIBRARY, "sympy/core/mul.py", "sympy.core.mul")),
    (f"{DEBIAN}/pygments/lexer.py", (LIBRARY, "pygments/lexer.py", "pygments.lexer")),
    (f"{VENV}/flask/app.py", (LIBRARY, "flask/app.py", "flask.app")),
    # A packages folder no root names is a library's all the same.
    ("/opt/tool/lib/site-packages/yaml/__init__.py", (LIBRARY, "yaml/__init__.py", "yaml")),
    # Frozen modules, the import machinery, built-ins and the wait's empty file.
    ("<frozen os>", (LIBRARY, "<frozen os>", "os")),
    ("<frozen importlib._bootstrap>", (IMPORT, "<frozen importlib._bootstrap>", "importlib._bootstrap")),
    ("<frozen importlib._bootstrap_external>",
     (IMPORT, "<frozen importlib._bootstrap_external>", "importlib._bootstrap_external")),
    ("<built-in>", (BUILTIN, "<built-in>", "")),
    ("", (BUILTIN, "", "")),
    # The program's own: relative to the current folder, wherever its root.
    (f"{PROJECT}/app.py", (OWN, "app.py", "app")),
    (f"{PROJECT}/src/app/models.py", (OWN, "src/app/models.py", "src.app.models")),
    ("src/app/views.py", (OWN, "src/app/views.py", "src.app.views")),
    (f"{PLUGINS}/extra.py", (OWN, "extra.py", "extra")),
    # Under no root: by its name alone, unless another file shares it.
    ("/srv/elsewhere/tool.py", (OWN, "tool.py", "")),
    ("/srv/elsewhere/__init__.py", (OWN, "elsewhere/__init__.py", "")),
    # A file string no file system takes is named all the same.
    ("/srv/\ud800.py", (OWN, "\ud800.py", "")),
    # Code compiled from a string is what a library generates, mostly.
    ("<string>", (LIBRARY, "<string>", "")),
    # Code typed in is the program's own: an IPython cell, the interpreter's input.
    ("<ipython-input-3-6e1f2a>", (OWN, "<ipython-input-3-6e1f2a>", "")),
    ("<stdin>", (OWN, "<stdin>", "")),
])
def test_each_file_is_classed_and_named_from_the_interpreters_paths(file, expected):
    assert describe(origins(), [file]) == [expected]


@pytest.mark.parametrize("own_paths, own_packages, file, kind", [
    # The package of a -m module is the program's own though installed: all of it, not others.
    ((), ("sphinx",), f"{DEBIAN}/sphinx/cmd/build.py", OWN),
    ((), ("sphinx",), f"{DEBIAN}/sphinx/__init__.py", OWN),
    ((), ("sphinx",), f"{DEBIAN}/sphinxcontrib/x.py", LIBRARY),
    ((), ("sphinx.cmd",), f"{DEBIAN}/sphinx/util.py", LIBRARY),
    # --own PATH: a folder or one file, even inside a library.
    ((f"{SITE}/sympy",), (), f"{SITE}/sympy/core/mul.py", OWN),
    ((f"{SITE}/sympy/core/mul.py",), (), f"{SITE}/sympy/core/add.py", LIBRARY),
    ((f"{SITE}/sympy/core/mul.py",), (), f"{SITE}/sympy/core/mul.py", OWN),
    ((f"{SITE}/sym",), (), f"{SITE}/sympy/core/mul.py", LIBRARY),
    # Never the built-ins or the import machinery.
    (("/",), ("importlib",), "<frozen importlib._bootstrap>", IMPORT),
])
def test_own_paths_and_packages_override_the_library(own_paths, own_packages, file, kind):
    assert describe(origins(own_paths, own_packages), [file])[0][0] == kind


def test_the_imported_module_settles_which_root_a_file_came_from():
    # A folder inside a package put on sys.path: the deepest root would say
    # "helpers.py", the program imported it as pkg.helpers.
    inner = f"{PROJECT}/pkg"
    file = f"{inner}/helpers.py"
    layout = Origins(roots=[PROJECT, inner], libraries=[], cwd="/srv")
    assert describe(layout, [file]) == [(OWN, "helpers.py", "helpers")]
    layout = Origins(roots=[PROJECT, inner], libraries=[], cwd="/srv", modules={file: "pkg.helpers"})
    assert describe(layout, [file]) == [(OWN, "pkg/helpers.py", "pkg.helpers")]
    # A module imported under a name its path does not bear (os.path) is named by its path.
    layout = origins(modules={f"{STDLIB}/posixpath.py": "os.path"})
    assert describe(layout, [f"{STDLIB}/posixpath.py"]) == [(LIBRARY, "posixpath.py", "posixpath")]


def test_labels_never_repeat_for_different_files_nor_show_a_bare_init():
    files = [f"{STDLIB}/json/__init__.py", f"{DEBIAN}/simplejson/__init__.py",
             # One relative path under two roots, and one basename in two packages.
             f"{SITE}/util/helpers.py", f"{VENV}/util/helpers.py",
             f"{SITE}/a/helpers.py", f"{SITE}/b/helpers.py",
             # A package folder itself on sys.path.
             f"{PLUGINS}/__init__.py"]
    labels = origins().describe(files)[1]
    assert labels == ["json/__init__.py", "simplejson/__init__.py",
                      "dist-packages/util/helpers.py", "site-packages/util/helpers.py",
                      "a/helpers.py", "b/helpers.py", "plugins/__init__.py"]
    # A file whose name would be empty, beside the wait's empty file, is its path.
    assert origins().describe(["", "/"])[1] == ["", "/"]
    # One file string given twice is one file, one label.
    assert origins().describe([f"{SITE}/a/helpers.py"] * 2)[1] == ["a/helpers.py"] * 2
    # A package installed in a venv inside the project, claimed as own, is
    # named from its root all the same.
    venv = f"{PROJECT}/.venv/lib/python3.14/site-packages"
    layout = Origins(roots=[PROJECT, venv], libraries=[venv], own_packages=["sympy"], cwd=PROJECT)
    assert describe(layout, [f"{venv}/sympy/core/mul.py", f"{PROJECT}/app.py"]) == [
        (OWN, "sympy/core/mul.py", "sympy.core.mul"), (OWN, "app.py", "app")]
    assert origins().describe(["/srv/a/tool.py", "/srv/b/tool.py", "/opt/b/tool.py"])[1] == [
        "a/tool.py", "srv/b/tool.py", "opt/b/tool.py"]
    # Paths that differ only far up still part, at the longest by the whole path.
    clash = ["/x/lib/site-packages/m.py", "/y/lib/site-packages/m.py"]
    assert origins().describe(clash)[1] == ["x/lib/site-packages/m.py", "y/lib/site-packages/m.py"]


def test_own_values_are_paths_when_they_exist_or_look_like_one_else_package_names(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "src").mkdir()
    (tmp_path / "tool.py").write_text("")
    paths, packages = parse_own(["src", "./tool.py", "sphinx", "sympy.core"])
    assert paths == (str(tmp_path / "src"), str(tmp_path / "tool.py"))
    assert packages == ("sphinx", "sympy.core")
    for bad, message in [("missing/dir", "no such file or folder"), ("missing.py", "no such file or folder"),
                         ("not-a-name", "neither an existing path nor a package name"),
                         ("", "empty name")]:
        with pytest.raises(ValueError, match=message):
            parse_own([bad])
    with pytest.raises(TypeError):
        parse_own([3])


def test_the_running_interpreter_classes_its_own_standard_library_and_this_file():
    import json

    layout = Origins.now(own_paths=[os.path.dirname(__file__)])
    found = describe(layout, [json.__file__, __file__, pytest.__file__])
    assert found[0] == (LIBRARY, "json/__init__.py", "json")
    assert found[1][0] == OWN
    assert found[2][:2] == (LIBRARY, "pytest/__init__.py")


def test_a_trace_names_files_from_sys_path_at_its_start_and_what_the_program_added(tmp_path, monkeypatch):
    import importlib
    import json

    import spantree

    for folder, module in (("early", "first_mod"), ("late", "second_mod")):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / f"{module}.py").write_text("def run():\n    return 1\n")
    monkeypatch.syspath_prepend(str(tmp_path / "early"))
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path / "elsewhere")
    with spantree.trace(own=["json"]) as t:
        importlib.import_module("first_mod").run()
        # The program drops one root and adds another.
        sys.path.remove(str(tmp_path / "early"))
        sys.path.append(str(tmp_path / "late"))
        importlib.import_module("second_mod").run()
    sys.path.remove(str(tmp_path / "late"))
    for name in ("first_mod", "second_mod"):
        sys.modules.pop(name)
    found = describe(t.origins(), [str(tmp_path / "early" / "first_mod.py"), str(tmp_path / "late" / "second_mod.py"),
                                   json.__file__, json.decoder.__file__])
    assert found == [(OWN, "first_mod.py", "first_mod"), (OWN, "second_mod.py", "second_mod"),
                     (OWN, "json/__init__.py", "json"), (OWN, "json/decoder.py", "json.decoder")]
    with pytest.raises(ValueError, match="neither an existing path nor a package name"):
        spantree.trace(own=["no such thing"])
