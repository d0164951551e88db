"""Every traced thread in one output, built from the one-tree renderers:
a Perfetto document with one track per thread, a text tree with one section
per thread, and the collapsed stacks of all threads."""

from .records import decode
from .render import chrome_trace, collapsed_stacks, text_tree


def _busy_ns(tree):
    return sum(max(root.record.duration_ns, 0) for root in tree.roots if root.record)


def _trees(threads):
    return [(thread, decode(thread.records, coroutines=thread.coroutines)) for thread in threads]


def threads_text(threads):
    """One text tree per thread, the busiest (most time in its top-level
    records) first; a single thread gives its tree alone."""
    trees = _trees(threads)
    if len(trees) == 1:
        return text_tree(trees[0][1])
    trees.sort(key=lambda pair: _busy_ns(pair[1]), reverse=True)
    sections = []
    for thread, tree in trees:
        count = sum(record is not None for record in tree.records)
        sections.append(f"\nthread {thread.name} (native id {thread.native_id}): {count} records\n"
                        + text_tree(tree))
    return "".join(sections)


def threads_chrome_trace(threads, *, pid, process_name):
    """A Chrome Trace Event document with one track (tid = native id, named by
    a thread_name event) per thread, all on the time axis of the earliest record."""
    documents = [chrome_trace(tree, pid=pid, tid=thread.native_id, thread_name=thread.name,
                              process_name=process_name if index == 0 else None)
                 for index, (thread, tree) in enumerate(_trees(threads))]
    starts = [d["otherData"]["start_ns"] for d in documents
              if any(e["ph"] == "X" for e in d["traceEvents"])]
    base_ns = min(starts, default=0)
    events = []
    for document in documents:
        shift_us = (document["otherData"]["start_ns"] - base_ns) / 1000
        for event in document["traceEvents"]:
            if event["ph"] == "X":
                event["ts"] += shift_us
            events.append(event)
    return {"traceEvents": events, "displayTimeUnit": "ms",
            "otherData": {"clock": "CLOCK_REALTIME", "start_ns": base_ns}}


def threads_collapsed(threads):
    """The collapsed stacks of every thread, one thread after another (the
    flame-graph tools add up equal stacks)."""
    return "".join(collapsed_stacks(tree) for _, tree in _trees(threads))
