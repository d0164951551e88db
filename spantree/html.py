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

from .records import decode

# Kind codes of the `kind` column, by position.
KINDS = ("call", "built-in", "coroutine", "await", "unknown")
_KIND_CODES = {name: code for code, name in enumerate(KINDS)}
UNKNOWN_CODE = _KIND_CODES["unknown"]
_COROUTINE = _KIND_CODES["coroutine"]
UNKNOWN_NAME = "[unknown]"

COLUMNS = ("start", "duration", "depth", "name", "file", "line", "kind")
SUMMARY_COLUMNS = ("name", "file", "line", "kind", "calls", "total", "self", "longest")


def page_data(threads):
    """The trace in the compact, columnar form the page reads.

    `threads` is a sequence of ThreadTrace. Returns a dict:

    - ``strings``: every name and file once; the name and file columns hold
      indices into it.
    - ``base_ns``: wall-clock start of the earliest record (0 if none).
    - ``threads``: per thread, in the given order, ``name``, ``native_id``,
      ``coroutines`` and ``columns``: equal-length ``array.array`` columns,
      one entry per call in pre-order (a parent before its children,
      siblings in the order they were called):
        ``start``     ns since ``base_ns``,
        ``duration``  ns as measured (negative if the clock stepped back),
        ``depth``     0 at the top,
        ``name``, ``file``  string indices,
        ``line``      first line of the function, 0 for built-ins and waits,
        ``kind``      index into KINDS.
      A record whose parent left no record (a call still open at the end,
      a coroutine the threshold dropped) hangs under an ``unknown`` entry
      at depth 0 that spans its children.
    - ``summary``: one row per function over all threads, sorted by self
      time, as columns ``name``, ``file``, ``line``, ``kind`` (as above),
      ``calls``, ``total`` (ns; a recursive call inside another call of the
      same function counts once), ``self`` (a call's duration less its
      recorded children's, summed) and ``longest`` (the longest call).
      Negative durations count as 0; waits are a row of their own, so time
      spent suspended is no one's self time.
    """
    strings, ids = [], {}

    def intern(text):
        index = ids.get(text)
        if index is None:
            index = ids[text] = len(strings)
            strings.append(text)
        return index

    trees = [decode(thread.records, coroutines=thread.coroutines) for thread in threads]
    base_ns = min((r.start_ns for tree in trees for r in tree.records if r is not None), default=0)
    functions = {}
    out = []
    for thread, tree in zip(threads, trees):
        columns = {name: array.array("B" if name == "kind" else "q") for name in COLUMNS}
        starts, durations, depths, names, files, lines, kinds = (columns[name].append for name in COLUMNS)
        path = []        # the summary key of each open call, by depth (None for a placeholder)
        open_calls = {}  # summary key -> calls of that function open on the path
        for node, depth in tree.walk():
            while len(path) > depth:
                key = path.pop()
                if key is not None:
                    open_calls[key] -= 1
            record = node.record
            if record is None:
                start = min(c.record.start_ns for c in node.children)
                duration = max(c.record.end_ns for c in node.children) - start
                name, file, line, kind, key = UNKNOWN_NAME, "", 0, UNKNOWN_CODE, None
            else:
                start, duration, name, file, line = (record.start_ns, record.duration_ns, record.name,
                                                     record.file, record.line)
                kind = _KIND_CODES[record.kind]
                key = (name, file, line)
                _count_call(functions, key, kind, record, node.children, open_calls.get(key))
                open_calls[key] = open_calls.get(key, 0) + 1
            path.append(key)
            starts(start - base_ns)
            durations(duration)
            depths(depth)
            names(intern(name))
            files(intern(file))
            lines(line)
            kinds(kind)
        out.append({"name": thread.name, "native_id": thread.native_id,
                    "coroutines": bool(thread.coroutines), "columns": columns})

    ranked = sorted(functions.items(), key=lambda item: (-item[1][3], item[0]))
    summary = {name: array.array("q") for name in SUMMARY_COLUMNS}
    for (name, file, line), (kind, calls, total, self_ns, longest) in ranked:
        for column, value in zip(SUMMARY_COLUMNS, (intern(name), intern(file), line, kind,
                                                   calls, total, self_ns, longest)):
            summary[column].append(value)
    return {"strings": strings, "base_ns": base_ns, "threads": out, "summary": summary}


def _count_call(functions, key, kind, record, children, open_already):
    """Adds one call to its function's summary row [kind, calls, total, self, longest]."""
    duration = max(record.duration_ns, 0)
    row = functions.get(key)
    if row is None:
        row = functions[key] = [kind, 0, 0, 0, 0]
    elif kind == _COROUTINE:
        row[0] = kind
    row[1] += 1
    if not open_already:
        row[2] += duration
    row[3] += max(duration - sum(max(c.record.duration_ns, 0) for c in children if c.record), 0)
    row[4] = max(row[4], duration)


# Narrowest little-endian typed array that holds a column, as the page's
# script names them, with the array typecode that writes it.
_WIDTHS = (("u8", "B", 0, 2**8 - 1), ("u16", "H", 0, 2**16 - 1), ("i32", "i", -2**31, 2**31 - 1),
           ("u32", "I", 0, 2**32 - 1))
_EXACT_DOUBLE = 2**53


def _encode_column(values):
    """A column as {"type", "data"}: the bytes of the narrowest typed array
    holding it, base64. Beyond 32 bits a column goes as doubles, exact to
    2**53 (a hundred days in ns)."""
    low, high = (min(values), max(values)) if values else (0, 0)
    for name, code, least, most in _WIDTHS:
        if least <= low and high <= most and array.array(code).itemsize == int(name[1:]) // 8:
            packed = array.array(code, values)
            break
    else:
        if not -_EXACT_DOUBLE <= low <= high <= _EXACT_DOUBLE:
            raise ValueError(f"a value of {max(-low, high)} is too large for the page")
        name, packed = "f64", array.array("d", values)
    if sys.byteorder == "big":
        packed.byteswap()
    return {"type": name, "data": base64.b64encode(packed.tobytes()).decode("ascii")}


def _document(data, title, note):
    """The page's data as JSON safe to place inside a script element."""
    document = {
        "title": title, "note": note, "kinds": KINDS, "strings": data["strings"], "base_ns": data["base_ns"],
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
