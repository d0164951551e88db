"""Saved traces: file size per recorded call, loading time per call, and
`spantree diff` of two million-call traces.

    python3.14 bench/saved.py [--rounds N] [--quick]

Traces fib(27) (635,621 calls) and a mix of standard-library work with every
call kept, saves each, and reads it back `rounds` times (medians, and the
fastest load); then times
the `spantree diff` command on two saved traces of fib(28) (1,028,457 calls
each) in a fresh process, start-up included. `--quick` uses small programs,
to prove the benchmark works.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = pathlib.Path(os.environ.get("SPANTREE_BUILD", ROOT / "build" / "release"))
sys.path[:0] = [str(BUILD), str(ROOT)]

import spantree  # noqa: E402
from spantree import saved  # noqa: E402


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def stdlib_mix(rounds):
    """Work spread over the standard library: JSON, regular expressions,
    statistics, CSV, text wrapping, dates, difflib and decimal arithmetic."""
    import csv
    import datetime
    import decimal
    import difflib
    import io
    import json
    import re
    import statistics as stats
    import textwrap

    words = re.compile(r"\w+")
    for i in range(rounds):
        doc = {"id": i, "tags": [f"t{k}" for k in range(5)], "score": i / 7}
        json.loads(json.dumps(doc))
        words.findall(f"alpha beta {i} gamma-delta")
        stats.mean([i, i + 1, i + 3])
        out = io.StringIO()
        csv.writer(out).writerow([i, "x", 2.5])
        next(csv.reader(io.StringIO(out.getvalue())))
        textwrap.fill("lorem ipsum dolor sit amet " * 3, width=30)
        datetime.date(2024, 1, 1 + i % 28).isoformat()
        difflib.SequenceMatcher(None, "kitten", f"sitting{i % 3}").ratio()
        decimal.Decimal(i) / decimal.Decimal(7)


def measure(label, work, rounds):
    with spantree.trace(threshold=0) as t:
        work()
    calls = sum(len(thread.records) for thread in t.threads)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "run.spantree")
        began = time.perf_counter()
        t.save(path)
        save_s = time.perf_counter() - began
        size = os.path.getsize(path)
        loads = []
        for _ in range(rounds):
            began = time.perf_counter()
            spantree.load(path)
            loads.append(time.perf_counter() - began)
    load_s, best_s = statistics.median(loads), min(loads)
    print(f"{label:<14}{calls:>11,}{size / 1e6:>9.2f} MB{size / calls:>9.2f} B"
          f"{save_s / calls * 1e6:>10.3f} us{load_s / calls * 1e6:>10.3f} us{best_s / calls * 1e6:>10.3f} us")


def diff_command(n, rounds):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT)]))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    with tempfile.TemporaryDirectory() as tmp:
        program = pathlib.Path(tmp, "prog.py")
        program.write_text("import sys\n\ndef fib(n):\n    return n if n < 2 else fib(n - 1) + fib(n - 2)\n\n"
                           "fib(int(sys.argv[1]))\n")
        for name in ("before", "after"):
            subprocess.run([sys.executable, "-m", "spantree", "--threshold", "0", "-o", f"{name}.spantree",
                            str(program), str(n)], cwd=tmp, env=env, check=True)
        argv = [sys.executable, "-m", "spantree", "diff", "before.spantree", "after.spantree"]
        subprocess.run(argv, cwd=tmp, env=env, check=True, stdout=subprocess.DEVNULL)  # untimed
        times = []
        for _ in range(rounds):
            began = time.perf_counter()
            subprocess.run(argv, cwd=tmp, env=env, check=True, stdout=subprocess.DEVNULL)
            times.append(time.perf_counter() - began)
        calls = 2 * fib_value(n + 1) - 1
    print(f"spantree diff of two traces of {calls:,} calls each: {statistics.median(times):.2f} s wall "
          f"(median of {rounds}, start-up included)")


def fib_value(n):
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n, mix, diff_n, rounds = (12, 20, 12, 1) if args.quick else (27, 2_000, 28, args.rounds)
    print(f"{'trace':<14}{'calls':>11}{'file':>12}{'per call':>11}{'save/call':>13}{'load/call':>13}"
          f"{'fastest':>13}")
    measure(f"fib({n})", lambda: fib(n), rounds)
    measure("stdlib mix", lambda: stdlib_mix(mix), rounds)
    diff_command(diff_n, rounds)
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
