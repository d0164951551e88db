"""Drives lockmeter_C and threaddump_C against the stand-in profiler agent.

    python examples/bridges_demo.py [AGENT]

AGENT is the path of an agent library (by default the stand-in
libvarnex_profiler_agent.so of the build directory: $SPANTREE_BUILD, else
build/release). The bridges find the agent among the objects already loaded
when they are imported, so it is loaded first, with its symbols global.
The stand-in records what it receives; this script prints that, then has
the agent dump the stacks of all threads to standard output.
"""

import ctypes
import os
import pathlib
import sys
import threading

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("SPANTREE_BUILD", ROOT / "build" / "release"))
AGENT = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else BUILD / "libvarnex_profiler_agent.so"

agent = ctypes.CDLL(str(AGENT.resolve()), mode=ctypes.RTLD_GLOBAL)
sys.path.insert(0, str(BUILD))
import lockmeter_C  # noqa: E402  (the agent must be loaded before the bridges)
import threaddump_C  # noqa: E402


def recorded(kind, name):
    """The stand-in's exported variable `name`."""
    return kind.in_dll(agent, name)


def show_gil_interceptor():
    interceptor = {"owner": "bridges_demo"}
    recorded(ctypes.c_int, "init_result").value = 3
    result = lockmeter_C.init_gil_interceptor(interceptor, 2**63 - 1, -2**63, 1, 2, 3, 4)
    numbers = [recorded(ctypes.c_int64, f"init_{k}").value for k in "ab"]
    numbers += [recorded(ctypes.c_int, f"init_{k}").value for k in "cdef"]
    print(f"init_gil_interceptor -> {result}")
    print(f"  agent saw numbers {numbers}")
    print(f"  agent saw our object: {recorded(ctypes.c_size_t, 'init_object').value == id(interceptor)}")
    result = lockmeter_C.deinit_gil_interceptor()
    print(f"deinit_gil_interceptor -> {result} (agent calls: {recorded(ctypes.c_int64, 'deinit_calls').value})")


def show_thread_dump():
    parked, release = threading.Event(), threading.Event()

    def parked_worker():
        parked.set()
        release.wait()

    worker = threading.Thread(target=parked_worker, name="parked-worker")
    worker.start()
    parked.wait()
    print(f"dump_all_threads_stack(1, 0), main thread 0x{threading.get_ident():016x},"
          f" worker 0x{worker.ident:016x}:", flush=True)
    # The agent writes straight to file descriptor 1, past sys.stdout's buffer.
    result = threaddump_C.dump_all_threads_stack(1, 0)
    release.set()
    worker.join()
    print(f"dump_all_threads_stack -> {result}"
          f" (agent saw fd {recorded(ctypes.c_int, 'dump_fd').value},"
          f" arg {recorded(ctypes.c_int64, 'dump_arg').value})")


if __name__ == "__main__":
    print(f"agent: {AGENT}")
    show_gil_interceptor()
    show_thread_dump()
