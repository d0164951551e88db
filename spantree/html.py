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
import json
import os
import sys
from importlib import resources

from spantree_reader_C import PLACEHOLDER_NOTE

from .traced import KINDS_BY_CODE, PLACEHOLDER_CODE
from .views import functions, read

# The page's kind names by the reader's codes, which its kind columns hold:
# the record kinds, and "unknown" for a placeholder.
KINDS = tuple("unknown" if code == PLACEHOLDER_CODE else str(KINDS_BY_CODE[code])
              for code in range(len(KINDS_BY_CODE) + 1))
UNKNOWN_NAME = "[unknown]"

COLUMNS = ("start", "duration", "depth", "name", "file", "line", "kind")
SUMMARY_COLUMNS = ("name", "file", "line", "kind", "calls", "total", "self", "longest")


# Typecodes of the reader's pre-order arrays.
_TYPECODES = {"start": "q", "duration": "q", "depth": "I", "name": "I", "file": "I", "line": "q", "kind": "B"}
# The reader's name and file of a placeholder.
_NO_STRING = 0xFFFFFFFF


def page_data(threads):
    """The trace in the compact, columnar form the page reads.

    `threads` is a sequence of ThreadTrace (or of ThreadView, already
    read). Returns a dict:

    - ``strings``: every name and file once; the name and file columns hold
      indices into it.
    - ``base_ns``: wall-clock start of the earliest record (0 if none).
    - ``threads``: per thread, in the given order, ``name``, ``native_id``,
      ``coroutines`` and ``columns``: equal-length ``array.array`` columns,
      one entry per call in pre-order (a parent before its children,
      siblings in the order they were called; typecode ``q``, ``I`` for
      depth, name and file, ``B`` for kind):
        ``start``     ns since ``base_ns``,
        ``duration``  ns as measured (negative if the clock stepped back),
        ``depth``     0 at the top,
        ``name``, ``file``  string indices,
        ``line``      first line of the function, 0 for built-ins and waits,
        ``kind``      the reader's kind code, an index into KINDS.
      A record whose parent left no record (a call still open at the end,
      a coroutine the threshold dropped) hangs under an ``unknown`` entry
      at depth 0 that spans its children.
    - ``summary``: one row per function over all threads, sorted by self
      time, as columns ``name``, ``file``, ``line``, ``kind`` (as above),
      ``calls``, ``total`` (ns; a recursive call inside another call of the
      same function counts once), ``self`` (a call's duration less its
      recorded children's, summed) and ``longest`` (the longest call, as
      measured), as `spantree.views.functions` totals them.
      Negative durations count as 0; waits are a row of their own, so time
      spent suspended is no one's self time.
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

    out = []
    for view in views:
        arrays = view.reader.preorder(base_ns)
        columns = {name: array.array(_TYPECODES[name], arrays.pop(name)) for name in COLUMNS}
        _share_strings(columns, view.reader.strings(), intern)
        out.append({"name": view.thread.name, "native_id": view.thread.native_id,
                    "coroutines": bool(view.thread.coroutines), "columns": columns})

    ranked = sorted(functions(views), key=lambda row: (-row.self_ns, row.name, row.file, row.line))
    summary = {name: array.array("q") for name in SUMMARY_COLUMNS}
    for row in ranked:
        for column, value in zip(SUMMARY_COLUMNS, (intern(row.name), intern(row.file), row.line, row.kind.code,
                                                   row.calls, row.total_ns, row.self_ns, row.longest_ns)):
            summary[column].append(value)
    return {"strings": strings, "base_ns": base_ns, "threads": out, "summary": summary}


def _share_strings(columns, local, intern):
    """Turns a thread's name and file columns from ids into its reader's
    `local` strings into ids into the page's table, which `intern` fills in
    the order the strings are first met in pre-order."""
    names, files = columns["name"], columns["file"]
    both = array.array("I", bytes(8 * len(names)))
    both[0::2], both[1::2] = names, files
    name_ids, file_ids = {}, {}
    for local_id in dict.fromkeys(both):
        if local_id == _NO_STRING:
            name_ids[local_id], file_ids[local_id] = intern(UNKNOWN_NAME), intern("")
        else:
            name_ids[local_id] = file_ids[local_id] = intern(local[local_id])
    if _NO_STRING in name_ids or any(local_id != page_id for local_id, page_id in name_ids.items()):
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


def _document(data, title, note):
    """The page's data as JSON safe to place inside a script element."""
    document = {
        "title": title, "note": note, "kinds": KINDS, "placeholder_note": PLACEHOLDER_NOTE,
        "strings": data["strings"], "base_ns": data["base_ns"],
        "threads": [{"name": t["name"], "native_id": t["native_id"], "coroutines": t["coroutines"],
                     "columns": {k: _encode_column(v) for k, v in t["columns"].items()}}
                    for t in data["threads"]],
        "summary": {k: _encode_column(v) for k, v in data["summary"].items()},
    }
    # "<" only occurs inside JSON strings, where \u003c reads the same; no
    # name can then close the script element or open a comment.
    return json.dumps(document, separators=(",", ":")).replace("<", "\\u003c")


def _asset(name):
    return resources.files(__package__).joinpath("viewer", name).read_text(encoding="utf-8")


def html(threads, file=None, *, title="spantree", note=""):
    """Renders `threads` (a sequence of ThreadTrace, such as a trace's
    ``threads``) as one self-contained HTML page.

    `title` heads the page; `note` is a line under it saying what the trace
    kept (such as "calls of at least 100 us"). With `file` (a path, or a
    text or binary file object, which gets UTF-8) the page is written there
    and None returned; without, the page is returned as a string.
    """
    page = _asset("page.html")
    for slot, text in (("title", markup.escape(title)), ("style", _asset("viewer.css")),
                       ("script", _asset("viewer.js")),
                       ("data", _document(page_data(threads), title, note))):
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
