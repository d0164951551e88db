"""What tracing child processes costs: the command on a program that starts
none, with and without --no-children, and a program that starts Python
children through subprocess and by os.fork, traced with and without them.

    PYTHONPATH=build/release:. python bench/children.py [--rounds N]

Each configuration runs in a fresh process, interleaved over the rounds;
medians of wall time, the output written to /dev/null.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

PROGRAMS = {
    "no child": "def f():\n    pass\nf()\n",
    "20 Python subprocesses": ("import subprocess, sys\nfor _ in range(20):\n"
                               "    subprocess.run([sys.executable, '-c', 'pass'], check=True)\n"),
    "50 forks": ("import os\nfor _ in range(50):\n    pid = os.fork()\n    if pid == 0:\n        os._exit(0)\n"
                 "    os.waitpid(pid, 0)\n"),
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    rounds = parser.parse_args().rounds
    with tempfile.TemporaryDirectory() as folder:
        times = {}
        for round in range(rounds):
            for name, program in PROGRAMS.items():
                path = os.path.join(folder, "prog.py")
                with open(path, "w") as file:
                    file.write(program)
                for mode, extra in (("python", None), ("--no-children", ["--no-children"]), ("children", [])):
                    command = [sys.executable, path] if extra is None else [
                        sys.executable, "-m", "spantree", *extra, "-o", os.devnull, path]
                    start = time.perf_counter()
                    subprocess.run(command, check=True, cwd=folder)
                    times.setdefault((name, mode), []).append(time.perf_counter() - start)
    print(f"{rounds} rounds, load average {os.getloadavg()[0]:.1f}")
    for name in PROGRAMS:
        row = [f"{mode} {statistics.median(times[name, mode]) * 1000:.0f} ms"
               for mode in ("python", "--no-children", "children")]
        print(f"{name}: " + ", ".join(row))


if __name__ == "__main__":
    main()
