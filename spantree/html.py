"""A self-contained HTML page of a trace: a timeline with one lane per thread,
a flame graph and the summary table, drawn on canvases by an inline script.

The page needs nothing but the file: the viewer's script and style
(spantree/viewer/) and the trace's data are written into it.

    html(t.threads, "trace.html", title="python app.py")
"""

import array
import base64
import html as markup
import io
import itertools
import json
import os
import sys
from importlib import resources

from .views import read

# Kind codes of the `kind` column, by position; the last three are lines
# of the grouped tree only.
KINDS = ("call", "built-in", "coroutine", "await", "unknown", "import", "library", "recursion")
# Whose code a grouped line's file is, by the `class` column's codes (spantree.origins).
CLASSES = ("own", "library", "built-in", "import")
_KIND_CODES = {name: code for code, name in enumerate(KINDS)}
UNKNOWN_CODE = _KIND_CODES["unknown"]
_COROUTINE = _KIND_CODES["coroutine"]
UNKNOWN_NAME = "[unknown]"

COLUMNS = ("start", "duration", "depth", "name", "file", "line", "kind")
SUMMARY_COLUMNS = ("name", "file", "line", "kind", "calls", "total", "self", "longest")
GROUPED_COLUMNS = ("depth", "kind", "class", "name", "file", "line", "calls", "total", "self", "longest",
                   "hidden", "deep", "hot_name", "hot_file", "hot_line")


# Typecodes of the reader's pre-order arrays.
_TYPECODES = {"start": "q", "duration": "q", "depth": "I", "name": "I", "file": "I", "line": "q", "kind": "B"}
# The reader's kind codes (0 placeholder, 1 call, 2 built-in, 3 coroutine,
# 4 await; in the grouped tree 6 import, 7 library call, 8 recursion) as the page's.
_PAGE_KINDS = bytes([UNKNOWN_CODE, *range(4), 0xFF, *range(5, 8)]).ljust(256, b"\xff")
# The reader's grouped columns, as the page names them, with their typecodes.
_GROUPED_SOURCES = {"depth": ("depth", "I"), "kind": ("kind", "B"), "class": ("cls", "B"), "name": ("name", "I"),
                    "file": ("file", "I"), "line": ("line", "q"), "calls": ("count", "I"),
                    "total": ("total", "q"), "self": ("self", "q"), "longest": ("longest", "q"),
                    "hidden": ("hidden", "I"), "deep": ("deep", "I"), "hot_name": ("hot_name", "I"),
                    "hot_file": ("hot_file", "I"), "hot_line": ("hot_line", "q")}
# The reader's name and file of a placeholder.
_NO_STRING = 0xFFFFFFFF


def page_data(threads):
    """The trace in the compact, columnar form the page reads.

    `threads` is a trace, or a sequence of ThreadTrace (or of ThreadView,
    already read). Returns a dict:

    - ``strings``: every name and file label once; the name and file
      columns hold indices into it. Files are shown by their labels
      (spantree.origins: `json/__init__.py`, the program's own relative to
      the current folder).
    - ``base_ns``: wall-clock start of the earliest record (0 if none).
    - ``threads``: per thread, in the given order, ``name``, ``native_id``,
      ``coroutines``, ``columns`` and ``grouped``. ``columns`` are
      equal-length ``array.array`` columns, one entry per call in pre-order
      (a parent before its children, siblings in the order they were
      called; typecode ``q``, ``I`` for depth, name and file, ``B`` for
      kind):
        ``start``     ns since ``base_ns``,
        ``duration``  ns as measured (negative if the clock stepped back),
        ``depth``     0 at the top,
        ``name``, ``file``  string indices,
        ``line``      first line of the function, 0 for built-ins and waits,
        ``kind``      index into KINDS.
      A record whose parent left no record (a call still open at the end,
      a coroutine the threshold dropped) hangs under an ``unknown`` entry
      at depth 0 that spans its children.
      ``grouped`` is the tree the text views show by default, as the reader
      grouped it: one entry per line in pre-order, heaviest sibling first,
      with ``depth``, ``kind`` (an import, a library call that hides its
      internals, a recursion folded, or a call as above), ``class`` (index
      into CLASSES), ``name``, ``file``, ``line``, ``calls`` (folded on the
      line), ``total``, ``self``, ``longest`` (ns), ``hidden`` (frames
      folded into the line), ``deep`` (a recursion's depth) and the hottest
      hidden frame's ``hot_name``, ``hot_file`` (string indices, -1 for
      none) and ``hot_line``.
    - ``summary``: one row per function over all threads, sorted by self
      time, as columns ``name``, ``file``, ``line``, ``kind`` (as above),
      ``calls``, ``total`` (ns; a recursive call inside another call of the
      same function counts once), ``self`` (a call's duration less its
      recorded children's, summed) and ``longest`` (the longest call).
      Negative durations count as 0; waits are a row of their own, so time
      spent suspended is no one's self time. ``grouped_summary`` has the
      same columns as the grouping gives them: an ``import`` row per
      module, a library's internals in the call the program made.
    """
    views = read(threads)
    starts = [view.reader.first_start for view in views if view.reader.first_start is not None]
    base_ns = min(starts, default=0)
    strings, ids = [], {}

    def intern(text):
        index = ids.get(text)
        if index is None:
            index = ids[text] = len(strings)
            strings.append(text)
        return index

    labels = {}
    for view in views:
        labels.update(view.labels)

    out = []
    functions, grouped_functions = {}, {}
    for view in views:
        arrays = view.reader.preorder(base_ns)
        arrays["kind"] = arrays["kind"].translate(_PAGE_KINDS)
        columns = {name: array.array(_TYPECODES[name], arrays.pop(name)) for name in COLUMNS}
        _share_strings(columns, view.reader.strings(), labels, intern)
        out.append({"name": view.thread.name, "native_id": view.thread.native_id,
                    "coroutines": bool(view.thread.coroutines), "columns": columns})
        _add_functions(functions, view.reader.functions(), labels)
    # The grouping's strings come after every call's, whose ids they leave as they are.
    for view, thread in zip(views, out):
        thread["grouped"] = _grouped_columns(view, intern)
        _add_functions(grouped_functions, view.reader.functions(grouped=True), labels)
    return {"strings": strings, "base_ns": base_ns, "threads": out,
            "summary": _summary_columns(functions, intern),
            "grouped_summary": _summary_columns(grouped_functions, intern)}


def _add_functions(functions, rows, labels):
    """Adds a thread's summary rows to `functions`, by name, file label and line."""
    for kind, name, file, line, calls, total, self_ns, longest, *_ in rows:
        kind = _PAGE_KINDS[kind]
        row = functions.setdefault((name, labels.get(file, file), line), [kind, 0, 0, 0, 0])
        if kind == _COROUTINE:
            row[0] = kind
        row[1] += calls
        row[2] += total
        row[3] += self_ns
        row[4] = max(row[4], longest)


def _summary_columns(functions, intern):
    ranked = sorted(functions.items(), key=lambda item: (-item[1][3], item[0]))
    summary = {name: array.array("q") for name in SUMMARY_COLUMNS}
    for (name, file, line), (kind, calls, total, self_ns, longest) in ranked:
        for column, value in zip(SUMMARY_COLUMNS, (intern(name), intern(file), line, kind,
                                                   calls, total, self_ns, longest)):
            summary[column].append(value)
    return summary


def _grouped_columns(view, intern):
    """The reader's grouped tree of a thread as the page's columns: names
    and files as page strings (files by their labels), kinds as the page's."""
    reader = view.reader
    arrays = reader.grouped()
    columns = {name: array.array(code, arrays[source]) for name, (source, code) in _GROUPED_SOURCES.items()}
    columns["kind"] = array.array("B", columns["kind"].tobytes().translate(_PAGE_KINDS))
    local, files = reader.strings(), reader.files()
    for column, table in (("name", local), ("hot_name", local), ("file", files), ("hot_file", files)):
        page_ids = {}
        for local_id in dict.fromkeys(columns[column]):
            if local_id == _NO_STRING:
                page_ids[local_id] = intern(UNKNOWN_NAME) if column == "name" else -1
            else:
                text = table[local_id]
                page_ids[local_id] = intern(view.labels.get(text, text) if column.endswith("file") else text)
        columns[column] = array.array("q", map(page_ids.__getitem__, columns[column]))
    return columns


def _share_strings(columns, local, labels, intern):
    """Turns a thread's name and file columns from ids into its reader's
    `local` strings into ids into the page's table, which `intern` fills in
    the order the strings are first met in pre-order; files go by their
    `labels`."""
    names, files = columns["name"], columns["file"]
    both = array.array("I", bytes(8 * len(names)))
    both[0::2], both[1::2] = names, files
    name_ids, file_ids = {}, {}
    for position, local_id in dict.fromkeys(zip(itertools.cycle((0, 1)), both)):
        if position == 0:
            name_ids[local_id] = intern(UNKNOWN_NAME if local_id == _NO_STRING else local[local_id])
        else:
            text = "" if local_id == _NO_STRING else local[local_id]
            file_ids[local_id] = intern(labels.get(text, text))
    if any(local_id != page_id for ids in (name_ids, file_ids) for local_id, page_id in ids.items()):
        columns["name"] = array.array("I", map(name_ids.__getitem__, names))
        columns["file"] = array.array("I", map(file_ids.__getitem__, files))


# Narrowest little-endian typed array that holds a column, as the page's
# script names them, with the array typecode that writes it.
_WIDTHS = (("u8", "B", 0, 2**8 - 1), ("u16", "H", 0, 2**16 - 1), ("i32", "i", -2**31, 2**31 - 1),
           ("u32", "I", 0, 2**32 - 1))
_EXACT_DOUBLE = 2**53


def _encode_column(values):
    """A column (an array.array) as {"type", "data"}: the bytes of the
    narrowest typed array holding it, base64. Beyond 32 bits a column goes as
    doubles, exact to 2**53 (a hundred days in ns)."""
    low, high = (min(values), max(values)) if values else (0, 0)
    for name, code, least, most in _WIDTHS:
        if least <= low and high <= most and array.array(code).itemsize == int(name[1:]) // 8:
            data = _narrowed(values, code)
            break
    else:
        if not -_EXACT_DOUBLE <= low <= high <= _EXACT_DOUBLE:
            raise ValueError(f"a value of {max(-low, high)} is too large for the page")
        name, data = "f64", _narrowed(values, "d")
    return {"type": name, "data": base64.b64encode(data).decode("ascii")}


def _narrowed(values, code):
    """The little-endian bytes of `values` as an array of `code`, which holds
    every value."""
    width, item = array.array(code).itemsize, values.itemsize
    if sys.byteorder == "little" and code not in "fd" and values.typecode not in "fd" and width <= item:
        # Each value's low bytes are the narrower integer's, sign included.
        data = values.tobytes()
        if width == item:
            return data
        narrowed = bytearray(width * len(values))
        for byte in range(width):
            narrowed[byte::width] = data[byte::item]
        return narrowed
    packed = array.array(code, values)
    if sys.byteorder == "big":
        packed.byteswap()
    return packed.tobytes()


def _document(data, title, note, grouped):
    """The page's data as JSON safe to place inside a script element."""
    document = {
        "title": title, "note": note, "kinds": KINDS, "classes": CLASSES, "grouped": grouped,
        "strings": data["strings"], "base_ns": data["base_ns"],
        "threads": [{"name": t["name"], "native_id": t["native_id"], "coroutines": t["coroutines"],
                     "columns": {k: _encode_column(v) for k, v in t["columns"].items()},
                     "grouped": {k: _encode_column(v) for k, v in t["grouped"].items()}}
                    for t in data["threads"]],
        "summary": {k: _encode_column(v) for k, v in data["summary"].items()},
        "grouped_summary": {k: _encode_column(v) for k, v in data["grouped_summary"].items()},
    }
    # "<" only occurs inside JSON strings, where \u003c reads the same; no
    # name can then close the script element or open a comment.
    return json.dumps(document, separators=(",", ":")).replace("<", "\\u003c")


def _asset(name):
    return resources.files(__package__).joinpath("viewer", name).read_text(encoding="utf-8")


def html(threads, file=None, *, title="spantree", note="", grouped=True):
    """Renders `threads` (a trace, or a sequence of ThreadTrace such as a
    trace's ``threads``) as one self-contained HTML page.

    `title` heads the page; `note` is a line under it saying what the trace
    kept (such as "calls of at least 100 us"). The flame graph and the
    summary open grouped as the text views are, or with every frame
    without `grouped`; a switch on the page turns to the other. With `file` (a path, or a
    text or binary file object, which gets UTF-8) the page is written there
    and None returned; without, the page is returned as a string.
    """
    page = _asset("page.html")
    for slot, text in (("title", markup.escape(title)), ("style", _asset("viewer.css")),
                       ("script", _asset("viewer.js")),
                       ("data", _document(page_data(threads), title, note, grouped))):
        page = page.replace(f"<!--{slot}-->", text, 1)
    if file is None:
        return page
    if isinstance(file, (str, os.PathLike)):
        with open(file, "w", encoding="utf-8") as out:
            out.write(page)
    elif isinstance(file, io.TextIOBase):
        file.write(page)
    else:
        file.write(page.encode("utf-8"))
    return None
