"""End to end: `python -m spantree --threshold 0` writing each view of a
recursive program of 635,621 calls, against `python -m cProfile` on the same
program and the program alone; and the default view of a program whose calls
spread over the standard library (csv, json, statistics, fractions, re,
textwrap, difflib, datetime), every call kept.

    python3.14 bench/endtoend.py [--rounds N] [--quick]

Every command runs in a fresh process, interleaved over the rounds in a
shuffled order; the table gives medians of the CPU time (user + system, the
figure a busy shared machine distorts least), wall time and peak RSS. The
time per recorded call includes the interpreter's start-up, the program, the
tracing and the writing. A second table measures, inside one process, what
reading and writing the records adds to the peak RSS against the records'
own size. `--quick` runs a tiny program once, to prove the benchmark works.
"""

import argparse
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = pathlib.Path(os.environ.get("SPANTREE_BUILD", ROOT / "build" / "release"))

PROGRAM = """\
import sys

def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

fib(int(sys.argv[1]))
"""

STDLIB_PROGRAM = """\
import collections, csv, datetime, difflib, fractions, io, json, re, statistics, sys, textwrap

def rows(n):
    return [{"id": i, "name": f"item{i}", "price": f"{i * 1.5:.2f}",
             "day": datetime.date(2024, 1 + i % 12, 1 + i % 28).isoformat()} for i in range(n)]

def report(n):
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=["id", "name", "price", "day"])
    writer.writeheader()
    writer.writerows(rows(n))
    back = list(csv.DictReader(io.StringIO(out.getvalue())))
    prices = [fractions.Fraction(row["price"]) for row in back]
    stats = {"mean": float(statistics.mean(prices)), "median": float(statistics.median(prices))}
    days = collections.Counter(datetime.date.fromisoformat(row["day"]).weekday() for row in back)
    text = json.dumps({"rows": back, "stats": stats, "days": days})
    words = re.findall(r"[a-z]+[0-9]+", text)
    wrapped = textwrap.fill(" ".join(words), width=60).splitlines()
    diff = list(difflib.unified_diff(wrapped[:200], [line.upper() for line in wrapped[:200]]))
    return len(json.loads(text)["rows"]) + len(diff)

report(int(sys.argv[1]))
"""
STDLIB_SIZE = 4000

VIEWS = ["perfetto", "summary", "collapsed", "tree", "default"]


def commands(out):
    """Label -> argv (after the interpreter) for one round."""
    spantree = ["-m", "spantree", "--threshold", "0"]
    table = {"program alone": [], "cProfile -o": ["-m", "cProfile", "-o", str(out / "prof.out")]}
    for view in VIEWS:
        chosen = [] if view == "default" else ["--format", view]
        table[f"spantree {view}"] = spantree + chosen + ["-o", str(out / f"{view}.out")]
    return table


def run(argv, env):
    """CPU seconds, wall seconds and peak RSS (bytes) of one child process."""
    began = time.perf_counter()
    proc = subprocess.Popen([sys.executable, *argv], env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - began
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode:
        raise SystemExit(f"{argv} exited with {proc.returncode}")
    return usage.ru_utime + usage.ru_stime, elapsed, usage.ru_maxrss * 1024


def calls_of(n):
    return 2 * fib_value(n + 1) - 1


def fib_value(n):
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


def stdlib_calls(size):
    """Runs in a child: the calls the standard-library program makes, every one recorded."""
    sys.path[:0] = [str(BUILD), str(ROOT)]
    import spantree

    code = compile(STDLIB_PROGRAM, "stdlib.py", "exec")
    sys.argv = ["stdlib.py", str(size)]
    with spantree.trace(threshold=0) as t:
        exec(code, {"__name__": "__main__"})
    return sum(len(thread.records) for thread in t.threads)


def post_processing_memory(n):
    """Runs in a child: traces fib(n), then writes each view to /dev/null;
    returns the records' own size and each view's growth of the peak RSS."""
    import resource

    sys.path[:0] = [str(BUILD), str(ROOT)]
    import spantree
    from spantree import views

    def fib(k):
        return k if k < 2 else fib(k - 1) + fib(k - 2)

    with spantree.trace(threshold=0) as t:
        fib(n)
    records = t.raw
    own = sum(map(sys.getsizeof, records)) + 8 * len(records)
    result = {"records": len(records), "own": own}
    with open(os.devnull, "wb") as sink:
        for name, write in [("read", lambda source, out: views.read(source)), ("perfetto", views.write_perfetto),
                            ("summary", views.write_summary), ("collapsed", views.write_collapsed),
                            ("tree", views.write_tree)]:
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
            write(t, sink)
            result[name] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="a tiny program, one round")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--stdlib-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.stdlib_child is not None:
        print(stdlib_calls(args.stdlib_child))
        return
    if args.memory_child is not None:
        import json

        print(json.dumps(post_processing_memory(args.memory_child)))
        return
    n, rounds = (12, 1) if args.quick else (27, args.rounds)
    stdlib_size = 40 if args.quick else STDLIB_SIZE
    calls = calls_of(n)
    # Start-up is measured as users meet it, with the standard library's
    # bytecode compiled: an environment that forbids writing bytecode would
    # make every command compile its imports afresh each time.
    env = {name: value for name, value in os.environ.items() if name != "PYTHONDONTWRITEBYTECODE"}
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD), str(ROOT)])
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp)
        (out / "prog.py").write_text(PROGRAM)
        (out / "empty.py").write_text("")
        (out / "stdlib.py").write_text(STDLIB_PROGRAM)
        table = commands(out)
        jobs = [(label, argv + [str(out / "prog.py"), str(n)]) for label, argv in table.items()]
        # The mix writes its output beside the other's, not over it.
        jobs += [(f"stdlib mix: {label}", [str(out / "stdlib.out") if a == str(out / "default.out") else a
                                           for a in argv] + [str(out / "stdlib.py"), str(stdlib_size)])
                 for label, argv in table.items() if label in ("program alone", "spantree default")]
        jobs += [(f"start-up: {label}", argv + [str(out / "empty.py")])
                 for label, argv in table.items() if label in ("program alone", "cProfile -o", "spantree default")]
        results = {label: [] for label, _ in jobs}
        for label, argv in jobs:  # a round untimed: the bytecode is written, the files cached
            run(argv, env)
        for _ in range(rounds):
            random.shuffle(jobs)
            for label, argv in jobs:
                results[label].append(run(argv, env))
        sizes = {view: (out / f"{view}.out").stat().st_size for view in VIEWS}

    def median(label, field):
        return statistics.median(sample[field] for sample in results[label])

    stdlib = int(subprocess.run([sys.executable, __file__, "--stdlib-child", str(stdlib_size)], capture_output=True,
                                text=True, check=True, env=env).stdout)
    cprofile = median("cProfile -o", 0)
    print(f"fib({n}): {calls:,} calls, every one recorded; stdlib mix: {stdlib:,} calls; "
          f"medians of {rounds}, this machine")
    print(f"{'command':<28}{'CPU':>8}{'per call':>10}{'vs cProfile':>13}{'wall':>8}{'peak RSS':>10}{'output':>10}")
    for label in results:
        cpu, wall, rss = (median(label, field) for field in range(3))
        startup = label.startswith("start-up")
        per_call = "" if startup else f"{cpu / (stdlib if label.startswith('stdlib') else calls) * 1e6:.2f} us"
        view = label.removeprefix("spantree ")
        size = f"{sizes[view] / 1e6:.1f} MB" if view in sizes else ""
        print(f"{label:<28}{cpu * 1e3:>6.0f}ms{per_call:>10}{cpu / cprofile:>12.2f}x{wall * 1e3:>6.0f}ms"
              f"{rss / 2**20:>7.0f} MB{size:>10}")
    if "perfetto" in sizes:
        print(f"perfetto: {sizes['perfetto'] / calls:.0f} bytes per event")

    import json

    proc = subprocess.run([sys.executable, __file__, "--memory-child", str(n)], capture_output=True, text=True,
                          check=True, env=env)
    memory = json.loads(proc.stdout)
    print(f"\npost-processing peak RSS growth in one process, {memory['records']:,} records "
          f"taking {memory['own'] / 2**20:.0f} MB themselves:")
    for name in ("read", "perfetto", "summary", "collapsed", "tree"):
        print(f"  {name:<10}{memory[name] / 2**20:>7.1f} MB  ({memory[name] / memory['own']:.2f} of the records)")


if __name__ == "__main__":
    main()
