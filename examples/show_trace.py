"""Traces examples/workload.py's main() with spantree_C and prints each trace
as an indented call tree with durations.

    python3.14 examples/show_trace.py [--threshold NS] [--depth N]
"""

import argparse
import pathlib
import sys

import spantree_C

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import workload  # noqa: E402


def decode(record):
    described, start, duration, parent = record.split("\x01")
    name, file, line = described.split("\x00")
    return name, file, int(line), int(start), int(duration), int(parent)


def print_tree(records, out=sys.stdout):
    children = {}
    for index, record in enumerate(records):
        if record is not None:
            children.setdefault(decode(record)[5], []).append(index)

    def show(index, level):
        name, file, line, _, duration, _ = decode(records[index])
        where = file if line == 0 else f"{pathlib.Path(file).name}:{line}"
        out.write(f"{'  ' * level}{name}  ({where})  {duration / 1e3:,.1f} µs\n")
        for child in children.get(index, []):
            show(child, level + 1)

    for root in children.get(-1, []):
        show(root, 0)


def trace(threshold_ns=0, max_depth=0):
    delivered = []
    profiler = spantree_C.set_trace_profile(
        lambda context, records: delivered.append(records), None, threshold_ns, False, max_depth)
    workload.main()
    spantree_C.remove_trace_profile(profiler)
    return delivered[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threshold", type=int, default=20_000, help="shortest call kept, in ns")
    parser.add_argument("--depth", type=int, default=3, help="deepest level kept in depth mode")
    args = parser.parse_args()
    print(f"== threshold mode: calls of at least {args.threshold} ns")
    print_tree(trace(threshold_ns=args.threshold))
    print(f"\n== depth mode: calls at most {args.depth} levels deep")
    print_tree(trace(max_depth=args.depth))


if __name__ == "__main__":
    main()
