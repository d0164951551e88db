"""Two runs compared, function by function: what got slower, what got faster,
what is new and what is gone.

A function is matched by its name and its file's path as the views show it:
relative to the run's working directory when the file lies under it, so two
checkouts in different directories compare; not by line, which edits move.
Built-ins match by name, and the time spent suspended is one row. Each run's
rows come from the native reader's per-function totals (Reader.functions),
with nothing per call in Python.
"""

import os

from .render import format_duration
from .traced import KINDS_BY_CODE, Kind, SlotFields
from .views import DEFAULT_MIN_SHARE, _text, read

SORT_KEYS = ("total", "self", "calls")
DEFAULT_TOP = 30


class Totals(SlotFields):
    """A function's calls, total and self time (ns) in one run."""

    __slots__ = ("calls", "total_ns", "self_ns")

    def __init__(self, calls=0, total_ns=0, self_ns=0):
        self.calls, self.total_ns, self.self_ns = calls, total_ns, self_ns


class Change(SlotFields):
    """A function in either run: `label` names it; `before` or `after` is None
    where the function is new or gone."""

    __slots__ = ("key", "label", "before", "after")

    def __init__(self, key, label, before, after):
        self.key, self.label, self.before, self.after = key, label, before, after

    def delta(self, field):
        return getattr(self.after or _NONE, field) - getattr(self.before or _NONE, field)


_NONE = Totals()


def shown_path(file, cwd):
    """A file's path as a diff names it: relative to `cwd` when under it."""
    if cwd and os.path.isabs(file):
        relative = os.path.relpath(file, cwd)
        if not relative.startswith(os.pardir + os.sep) and relative != os.pardir:
            return relative
    return file


def _identity(kind, name, file, cwd):
    """(key, label) of a function of the reader's kind code."""
    kind = KINDS_BY_CODE[kind]
    if kind is Kind.BUILTIN:
        return ("built-in", name), f"{name}  <built-in>"
    if kind is Kind.AWAIT:
        return ("await",), "[await]  (suspended)"
    path = shown_path(file, cwd)
    return ("code", name, path), f"{name}  {path}"


def function_totals(views, cwd):
    """{key: (label, Totals)} over the ThreadViews `views` of one run."""
    rows = {}
    for view in views:
        for kind, name, file, _line, calls, total, self_ns, _longest in view.reader.functions():
            key, label = _identity(kind, name, file, cwd)
            _, row = rows.setdefault(key, (label, Totals()))
            row.calls += calls
            row.total_ns += total
            row.self_ns += self_ns
    return rows


def changes(before, after, cwd_before=None, cwd_after=None):
    """A Change per function of either run (ThreadViews of each), in no order."""
    old, new = function_totals(before, cwd_before), function_totals(after, cwd_after)
    found = []
    for key in old.keys() | new.keys():
        label = (new.get(key) or old.get(key))[0]
        found.append(Change(key, label, old.get(key, (None, None))[1], new.get(key, (None, None))[1]))
    return found


_FIELDS = {"total": "total_ns", "self": "self_ns", "calls": "calls"}


def _sorted(found, sort):
    if sort not in _FIELDS:
        raise ValueError(f"sort must be one of {', '.join(SORT_KEYS)}, not {sort!r}")
    field = _FIELDS[sort]
    return sorted(found, key=lambda c: (-abs(c.delta(field)), -c.delta(field), c.label))


def _signed(ns):
    return ("+" if ns > 0 else "") + format_duration(ns)


def _percent(before, delta):
    if not before:
        return ""
    percent = 100 * delta / before
    return f"{percent:+.1f}%" if abs(percent) < 1000 else f"{percent:+,.0f}%"


def _cell(row, field, show):
    return "-" if row is None else show(getattr(row, field))


def _columns(change, field, percent=True):
    """`before → after`, the change and (with `percent`) its percentage of one
    measure; new and gone functions say so in place of the percentage."""
    shown = format_duration if field != "calls" else "{:,}".format
    delta = change.delta(field)
    text = (f"{_cell(change.before, field, shown):>9} → {_cell(change.after, field, shown):<9}"
            f"{f'{delta:+,}' if field == 'calls' else _signed(delta):>10}")
    if not percent:
        return text
    if change.before is None:
        return f"{text}{'new':>9}"
    if change.after is None:
        return f"{text}{'gone':>9}"
    return f"{text}{_percent(getattr(change.before, field), delta):>9}"


_SPAN = f"{'before → after':^21}{'change':>10}"
HEADER = (f"{'calls':^31}  {'total':^40}  {'self':^40}  function\n"
          f"{_SPAN}  {_SPAN}{'%':>9}  {_SPAN}{'%':>9}")


def table(found, sort="total", top=DEFAULT_TOP):
    """The diff's lines: one per function, sorted by the absolute change of
    `sort` (total, self or calls), the `top` first (None for all)."""
    rows = _sorted(found, sort)
    shown, rest = (rows, []) if top is None else (rows[:top], rows[top:])
    lines = [HEADER]
    for change in shown:
        lines.append(f"{_columns(change, 'calls', False)}  {_columns(change, 'total_ns')}  "
                     f"{_columns(change, 'self_ns')}  {change.label}")
    if rest:
        lines.append(f"… {len(rest):,} more function{'s' if len(rest) > 1 else ''}: "
                     f"{_signed(sum(c.delta('self_ns') for c in rest))} self time")
    return lines


def _busy(views):
    return sum(v.busy_ns for v in views)


def _summary_line(before, after, found):
    traced_before, traced_after = _busy(before), _busy(after)
    calls_before = sum(c.before.calls for c in found if c.before)
    calls_after = sum(c.after.calls for c in found if c.after)
    new = sum(c.before is None for c in found)
    gone = sum(c.after is None for c in found)
    delta = traced_after - traced_before
    percent = _percent(traced_before, delta)
    return (f"traced {format_duration(traced_before)} → {format_duration(traced_after)} "
            f"({_signed(delta)}{', ' + percent if percent else ''}); "
            f"{calls_before:,} → {calls_after:,} calls; {len(found):,} functions, {new:,} new, {gone:,} gone")


def _paired_threads(before, after):
    """(name, before views, after views) per thread name, when both runs have
    several threads and the same names; else nothing."""
    names_before = sorted(v.thread.name for v in before)
    names_after = sorted(v.thread.name for v in after)
    if len(before) < 2 or names_before != names_after:
        return []
    order = sorted(after, key=lambda v: -v.busy_ns)
    pairs = []
    for name in dict.fromkeys(v.thread.name for v in order):
        pairs.append((name, [v for v in before if v.thread.name == name], [v for v in after if v.thread.name == name]))
    return pairs


def diff(before, after, *, sort="total", top=DEFAULT_TOP):
    """The diff of two traces (spantree.trace or spantree.load objects) as
    text: totals on the first line, then a row per function sorted by the
    absolute change of `sort`; with the same thread names on both sides and
    several threads, a table per thread follows."""
    cwds = (getattr(before, "cwd", None), getattr(after, "cwd", None))
    views_before, views_after = read(before), read(after)
    found = changes(views_before, views_after, *cwds)
    lines = [_summary_line(views_before, views_after, found)]
    lines += _settings_note(before, after)
    lines += table(found, sort, top)
    for name, one, other in _paired_threads(views_before, views_after):
        part = changes(one, other, *cwds)
        lines += ["", f"thread {name}: {_summary_line(one, other, part)}"]
        lines += table(part, sort, top)
    return "\n".join(lines) + "\n"


def _settings_note(before, after):
    """A line saying that the runs kept different calls, if they did."""
    def kept(t):
        if t.depth is not None:
            return f"calls at most {t.depth} deep"
        return f"calls of at least {format_duration(t.threshold_ns)}"

    one, other = kept(before), kept(after)
    if one == other and before.coroutines == after.coroutines:
        return []
    return [f"note: the runs kept different calls: {one}{', coroutine-aware' if before.coroutines else ''} "
            f"before, {other}{', coroutine-aware' if after.coroutines else ''} after"]


def write_diff(before, after, out, **options):
    """`diff` written to the binary file `out` as UTF-8."""
    _text(out, diff(before, after, **options))


def _note(change):
    if change.before is None:
        return "  [new]"
    delta = change.delta("total_ns")
    percent = _percent(change.before.total_ns, delta)
    return f"  [total {_signed(delta)}{', ' + percent if percent else ''}]"


def write_tree(before, after, out, *, min_share=DEFAULT_MIN_SHARE):
    """The after run's folded call tree (as `views.write_tree` writes it),
    each line ending with the change of its function's total time over the
    whole run ("[total +2.00 ms, +40.0%]", or "[new]"), after the totals."""
    from .views import write_tree as folded

    cwds = (getattr(before, "cwd", None), getattr(after, "cwd", None))
    views_before, views_after = read(before), read(after)
    found = {change.key: change for change in changes(views_before, views_after, *cwds)}
    _text(out, _summary_line(views_before, views_after, list(found.values())) + "\n")

    def notes(view):
        return [_note(found[_identity(kind, name, file, cwds[1])[0]]).encode("utf-8", "surrogatepass")
                for kind, name, file, *_ in view.reader.functions()]

    folded(views_after, out, min_share=min_share, notes=notes)
