"""Measures spantree_C against the floor of its design and a peer.

    python3.14 bench/run.py [--rounds N] [--quick] [--compare BUILD]

Every (configuration, workload) pair runs in a fresh interpreter, interleaved
over the rounds in a shuffled order; the table gives medians. `clock` is a
hook that only reads CLOCK_REALTIME once per event: every tracer hook must,
so it is the floor the ratios are taken against. `--quick` runs tiny sizes
once, to prove the benchmark still works. Times are those of the traced
program alone; the removal (turning the call log into records) is timed
apart. `--compare BUILD` adds every-call tracing by the tracer built in
BUILD, in the same rounds.
"""

import argparse
import json
import os
import pathlib
import random
import resource
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
BUILD = pathlib.Path(os.environ.get("SPANTREE_BUILD", HERE.parent / "build" / "release"))

CONFIGS = {
    "untraced": "no hook",
    "noop": "no-op C hook (dispatch floor)",
    "clock": "hook reading CLOCK_REALTIME (clock floor)",
    "cprofile": "cProfile",
    "nothing": "spantree, threshold above every call",
    "all": "spantree, threshold 0 (every call)",
    "depth3": "spantree, depth 3",
    "async-all": "spantree, coroutine-aware, threshold 0",
}
ASYNC_ONLY = {"async-all"}
NAMES = ["recursive", "object_oriented", "asyncio", "generators", "threads"]


def on_new_threads(install):
    """Runs install() in every thread started from now on, at its first event,
    the way spantree reaches other threads; returns the function that stops it."""
    import threading

    def first_event(frame, event, arg):
        install()

    threading.setprofile(first_event)
    return lambda: threading.setprofile(None)
COMPARED = os.environ.get("SPANTREE_BENCH_COMPARE")
if COMPARED:
    CONFIGS["all-compared"] = f"spantree built in {pathlib.Path(COMPARED).name}, every call"


def run_child(config, workload, size):
    """Runs one workload under one configuration; returns the seconds the
    program took and those the removal took."""
    sys.path[:0] = [COMPARED if config == "all-compared" else str(BUILD), str(HERE)]
    import workloads

    fn = workloads.WORKLOADS[workload]
    if config in ("noop", "clock"):
        import bench_floor_C

        def start():
            on_new_threads(lambda: bench_floor_C.install(config))
            bench_floor_C.install(config)

        stop = lambda: bench_floor_C.install(None)  # noqa: E731
    elif config == "cprofile":
        import cProfile

        profiler = cProfile.Profile()
        start, stop = profiler.enable, profiler.disable
    elif config == "untraced":
        start = stop = lambda: None
    else:
        import spantree_C

        threshold, is_async, depth = {
            "nothing": (2**62, False, 0), "all": (0, False, 0), "all-compared": (0, False, 0),
            "depth3": (0, False, 3), "async-all": (0, True, 0),
        }[config]
        # Every thread through the package's capture, which delivers without decoding.
        sys.path.insert(0, str(HERE.parent))
        from spantree import threadcapture

        holder = []

        def start():
            holder.append(threadcapture.begin((threshold, is_async, depth)))
            holder.append(spantree_C.set_trace_profile(lambda c, r: None, None, threshold, is_async, depth))

        def stop():
            spantree_C.remove_trace_profile(holder.pop())
            holder.pop().end()
    began = time.perf_counter()
    start()
    fn(size)
    ended = time.perf_counter()
    stop()
    return ended - began, time.perf_counter() - ended


def count_calls(workload, size):
    sys.path[:0] = [str(BUILD), str(HERE)]
    import bench_floor_C
    import workloads

    on_new_threads(lambda: bench_floor_C.install("count"))
    bench_floor_C.install("count")
    workloads.WORKLOADS[workload](size)
    bench_floor_C.install(None)
    return bench_floor_C.calls()


def tiny():
    pass


def trace_tiny_calls(calls):
    """Traces `calls` calls of tiny() with threshold 0 in this process;
    returns the records and the peak RSS growth in bytes."""
    sys.path[:0] = [str(BUILD)]
    import spantree_C

    kept = []
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    profiler = spantree_C.set_trace_profile(lambda c, r: kept.append(r), None, 0, False, 0)
    for _ in range(calls):
        tiny()
    spantree_C.remove_trace_profile(profiler)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return kept[0], after - before


def records_own_size(records):
    """Bytes the records' strings and list slots take."""
    return sum(map(sys.getsizeof, records)) + 8 * len(records)


def measure_memory(calls):
    """Peak RSS growth per record over a trace of `calls` recorded calls,
    and what the records' own strings and list slots take."""
    records, growth = trace_tiny_calls(calls)
    return {"rss_per_record": growth / len(records),
            "own_per_record": records_own_size(records) / len(records)}


def child(args):
    if args[0] == "count":
        print(json.dumps(count_calls(args[1], float(args[2]))))
    elif args[0] == "memory":
        print(json.dumps(measure_memory(int(args[1]))))
    else:
        print(json.dumps(run_child(args[0], args[1], float(args[2]))))


def spawn(*args):
    out = subprocess.run([sys.executable, __file__, "--child", *map(str, args)],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one round")
    parser.add_argument("--compare", help="a build directory of the tracer to compare with")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.compare:
        os.environ["SPANTREE_BENCH_COMPARE"] = str(pathlib.Path(args.compare).resolve())
        CONFIGS["all-compared"] = f"spantree built in {args.compare}, every call"
    if args.child:
        return child(args.child)

    size, rounds, memory_calls = (1 / 64, 1, 20_000) if args.quick else (1.0, args.rounds, 1_000_000)
    import workloads  # noqa: F401  (fails early if the benchmark is broken)

    names = NAMES
    calls = {w: spawn("count", w, size) for w in names}
    pairs = [(c, w) for c in CONFIGS for w in names if c not in ASYNC_ONLY or w == "asyncio"]
    times = {pair: [] for pair in pairs}
    for _ in range(rounds):
        random.shuffle(pairs)
        for config, workload in pairs:
            times[(config, workload)].append(spawn(config, workload, size))
    median = {pair: statistics.median(s[0] for s in samples) for pair, samples in times.items()}
    removal = {pair: statistics.median(s[1] for s in samples) for pair, samples in times.items()}

    print(f"median of {rounds} round(s); ratio = time / clock floor; "
          "ns/call = (time - untraced) / call events")
    header = "| configuration | " + " | ".join(names) + " |"
    print(header)
    print("|" + "---|" * (len(names) + 1))
    for config, label in CONFIGS.items():
        cells = []
        for w in names:
            if (config, w) not in median:
                cells.append("")
                continue
            t, floor, bare = median[(config, w)], median[("clock", w)], median[("untraced", w)]
            per_call = (t - bare) / calls[w] * 1e9
            cells.append(f"{t:.3f} s, {t / floor:.2f}x, {per_call:.0f} ns")
        print(f"| {label} | " + " | ".join(cells) + " |")
    print("\nremoval, ns per call event (every call kept): " + "; ".join(
        f"{config} {w} {removal[(config, w)] / calls[w] * 1e9:.0f}"
        for config in ("all", "all-compared") for w in names if (config, w) in removal))
    print("\ncall events per workload: " + ", ".join(f"{w} {calls[w]:,}" for w in names))
    memory = spawn("memory", memory_calls)
    print(f"memory, threshold 0, {memory_calls:,} recorded calls: "
          f"{memory['rss_per_record']:.0f} B/record peak RSS growth; "
          f"the records' own strings and list slots: {memory['own_per_record']:.0f} B/record "
          f"({memory['rss_per_record'] / memory['own_per_record'] - 1:+.0%})")


if __name__ == "__main__":
    main()
