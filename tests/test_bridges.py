"""lockmeter_C and threaddump_C: finding the agent library and forwarding to it.

The bridges scan the loaded objects once, while their shared object is
loaded, so every case runs in a fresh interpreter that loads what it needs
(the stand-in agent built next to the modules) before importing them.
"""

import json
import re
import shutil
import subprocess
import sysconfig
import textwrap

import pytest

from conftest import BUILD, ROOT, run_python

AGENT = BUILD / "libvarnex_profiler_agent.so"
ENTRY_POINTS = ("init_py_gil_interceptor", "deinit_py_gil_interceptor", "dump_threads")
NOT_FOUND = "cpython module can not found varnex_profiler_agent.so loaded\n"
SANITIZED = "SANITIZE:BOOL=ON" in (BUILD / "CMakeCache.txt").read_text()

# Run in each child ahead of its own code. The stand-in's record of what it
# received lives in exported variables, reached through ctypes.
CHILD_HELPERS = """
import ctypes, json, os, sys

def load_agent(path):
    return ctypes.CDLL(str(path), mode=ctypes.RTLD_GLOBAL)

def agent_var(agent, name, kind=ctypes.c_int64):
    return kind.in_dll(agent, name)

def calls(agent):
    return [agent_var(agent, name).value for name in ("init_calls", "deinit_calls", "dump_calls")]

def outcome(call):
    try:
        return eval(call)
    except Exception as exc:
        return type(exc).__name__

def lookup(bridge):
    get_symbol_addr = ctypes.CDLL(bridge.__file__).get_symbol_addr
    get_symbol_addr.restype, get_symbol_addr.argtypes = ctypes.c_void_p, [ctypes.c_char_p]
    return get_symbol_addr

def report(**values):
    print(json.dumps(values))
"""


def run_bridges(body, **params):
    """Runs body in a fresh interpreter, with params bound as globals; returns
    (the values the child passed to report(), its standard error)."""
    bound = "".join(f"{name} = {value!r}\n" for name, value in params.items())
    proc = run_python(bound + CHILD_HELPERS + textwrap.dedent(body))
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


def dlsym_failed(name):
    return f"dlsym find {name} function failed, error message: [^\n]*{name}[^\n]*\n"


@pytest.mark.parametrize("module, expected, messages", [
    ("lockmeter_C", {
        "lockmeter_C.init_gil_interceptor()": -1,
        "lockmeter_C.init_gil_interceptor(object(), 1, 2, 3, 4, 5, 6)": -1,
        "lockmeter_C.init_gil_interceptor('not', 'parsed')": -1,
        "lockmeter_C.deinit_gil_interceptor(1, 2)": -1,
        "lockmeter_C.deinit_gil_interceptor(flag=1)": "TypeError",
    }, 2),
    ("threaddump_C", {
        "threaddump_C.dump_all_threads_stack(1, 2)": -1,
        "threaddump_C.dump_all_threads_stack(1)": "TypeError",
        "threaddump_C.dump_all_threads_stack('1', 2)": "TypeError",
    }, 1),
])
def test_without_agent_import_reports_and_calls_return_minus_one(module, expected, messages):
    results, stderr = run_bridges("""
        globals()[MODULE] = __import__(MODULE)
        report(**{call: outcome(call) for call in CALLS})
    """, MODULE=module, CALLS=list(expected))
    assert results == expected
    assert stderr == NOT_FOUND * messages


def test_calls_reach_the_agent_exactly():
    numbers = [[2**63 - 1, -2**63, 2**31 - 1, -2**31, 1, -1], [-2**63, 2**63 - 1, -2**31, 2**31 - 1, -1, 1]]
    agent_results = [0, 5, -1, 2**31 - 1, -2**31]
    dumps = [[1, 2], [2**31 - 1, -2**63], [-2**31, 2**63 - 1]]
    results, stderr = run_bridges("""
        agent = load_agent(AGENT)
        import lockmeter_C, threaddump_C
        obj = ["passed through"]
        refs = sys.getrefcount(obj)
        init = []
        for args in NUMBERS:
            lockmeter_C.init_gil_interceptor(obj, *args)
            init.append([agent_var(agent, f"init_{k}", ctypes.c_int64 if k in "ab" else ctypes.c_int).value
                         for k in "abcdef"])
        same_object = agent_var(agent, "init_object").value == id(obj)
        returned = []
        for value in RESULTS:
            agent_var(agent, "init_result", ctypes.c_int).value = value
            agent_var(agent, "deinit_result", ctypes.c_int).value = value
            returned.append([lockmeter_C.init_gil_interceptor(None, 0, 0, 0, 0, 0, 0),
                             lockmeter_C.deinit_gil_interceptor(1, "ignored")])
        sys.stdout.flush()
        dumped = [[threaddump_C.dump_all_threads_stack(fd, arg), agent_var(agent, "dump_fd", ctypes.c_int).value,
                   agent_var(agent, "dump_arg").value] for fd, arg in DUMPS]
        report(init=init, same_object=same_object, refs_kept=sys.getrefcount(obj) - refs, returned=returned,
               dumped=dumped, calls=calls(agent), agent=ctypes.cast(agent.dump_threads, ctypes.c_void_p).value,
               exported=ctypes.c_void_p.in_dll(ctypes.CDLL(threaddump_C.__file__), "dump_threads_function").value,
               found=lookup(threaddump_C)(b"dump_threads"), missing=lookup(threaddump_C)(b"no_such_entry"))
    """, AGENT=str(AGENT), NUMBERS=numbers, RESULTS=agent_results, DUMPS=dumps)
    assert results.pop("init") == numbers
    assert results.pop("returned") == [[value, value] for value in agent_results]
    assert results.pop("dumped") == [[0, fd, arg] for fd, arg in dumps]
    assert results.pop("calls") == [len(numbers) + len(agent_results), len(agent_results), len(dumps)]
    agent = results["agent"]
    assert agent is not None
    assert results == {"same_object": True, "refs_kept": 0, "agent": agent, "exported": agent, "found": agent,
                       "missing": None}
    assert re.fullmatch(dlsym_failed("no_such_entry"), stderr)


def test_refused_arguments_raise_and_never_reach_the_agent():
    expected = {
        "lockmeter_C.init_gil_interceptor()": "TypeError",
        "lockmeter_C.init_gil_interceptor(None, 0, 0, 0, 0, 0)": "TypeError",
        "lockmeter_C.init_gil_interceptor(None, '0', 0, 0, 0, 0, 0)": "TypeError",
        "lockmeter_C.init_gil_interceptor(None, 0, 0, 0.5, 0, 0, 0)": "TypeError",
        "lockmeter_C.init_gil_interceptor(None, 2**63, 0, 0, 0, 0, 0)": "OverflowError",
        "lockmeter_C.init_gil_interceptor(None, 0, 0, 0, 0, 0, 0, flag=1)": "TypeError",
        "lockmeter_C.deinit_gil_interceptor(flag=1)": "TypeError",
        "threaddump_C.dump_all_threads_stack(1)": "TypeError",
        "threaddump_C.dump_all_threads_stack(None, 2)": "TypeError",
        "threaddump_C.dump_all_threads_stack(2**31, 0)": "OverflowError",
        "threaddump_C.dump_all_threads_stack(a=1, b=2)": "TypeError",
    }
    results, stderr = run_bridges("""
        agent = load_agent(AGENT)
        import lockmeter_C, threaddump_C
        report(outcomes={call: outcome(call) for call in CALLS}, calls=calls(agent))
    """, AGENT=str(AGENT), CALLS=list(expected))
    assert results == {"outcomes": expected, "calls": [0, 0, 0]}
    assert stderr == ""


@pytest.mark.parametrize("name, matches", [
    ("libvarnex_profiler_agent.so.1", True),
    ("varnex_profiler_agent.d/libstand_in.so", True),
    ("libvarnex_profiler_agent_1.so", False),
    ("libvarnex_profiler_agentso", False),
], ids=["versioned", "marker-in-directory", "underscore", "no-dot"])
def test_agent_is_recognised_by_the_marker_in_its_path(tmp_path, name, matches):
    copy = tmp_path / name
    copy.parent.mkdir(exist_ok=True)
    shutil.copy(AGENT, copy)
    results, stderr = run_bridges("""
        agent = load_agent(COPY)
        import lockmeter_C
        agent_var(agent, "init_result", ctypes.c_int).value = 7
        report(result=lockmeter_C.init_gil_interceptor(None, 0, 0, 0, 0, 0, 0), calls=calls(agent))
    """, COPY=str(copy))
    if matches:
        assert (results, stderr) == ({"result": 7, "calls": [1, 0, 0]}, "")
    else:
        assert (results, stderr) == ({"result": -1, "calls": [0, 0, 0]}, NOT_FOUND * 2)


@pytest.mark.parametrize("order", [("a", "b"), ("b", "a")])
def test_last_loaded_matching_agent_wins(tmp_path, order):
    copies = {"a": tmp_path / "a" / "libvarnex_profiler_agent.so", "b": tmp_path / "b" / "libvarnex_profiler_agent.so.2"}
    for copy in copies.values():
        copy.parent.mkdir()
        shutil.copy(AGENT, copy)
    results, stderr = run_bridges("""
        agents = {key: load_agent(COPIES[key]) for key in ORDER}
        import lockmeter_C, threaddump_C
        lockmeter_C.init_gil_interceptor(None, 0, 0, 0, 0, 0, 0)
        lockmeter_C.deinit_gil_interceptor()
        threaddump_C.dump_all_threads_stack(-1, 0)
        report(**{key: calls(agent) for key, agent in agents.items()})
    """, COPIES={key: str(path) for key, path in copies.items()}, ORDER=list(order))
    first, last = order
    assert results == {first: [0, 0, 0], last: [1, 1, 1]}
    assert stderr == ""


@pytest.mark.parametrize("missing", ENTRY_POINTS)
def test_missing_entry_point_is_reported_and_only_its_function_fails(missing):
    results, stderr = run_bridges("""
        agent = load_agent(AGENT)
        import lockmeter_C, threaddump_C
        report(results=[lockmeter_C.init_gil_interceptor(None, 0, 0, 0, 0, 0, 0),
                        lockmeter_C.deinit_gil_interceptor(),
                        threaddump_C.dump_all_threads_stack(-1, 0)], calls=calls(agent))
    """, AGENT=str(BUILD / f"libvarnex_profiler_agent.lacking_{missing}.so"))
    absent = [entry == missing for entry in ENTRY_POINTS]
    assert results == {"results": [-1 if a else 0 for a in absent], "calls": [0 if a else 1 for a in absent]}
    assert re.fullmatch(dlsym_failed(missing), stderr)


def test_each_bridge_answers_from_its_own_load_time_scan():
    # Loaded with RTLD_GLOBAL, the first bridge's get_symbol_addr is visible
    # to the second, which must still use its own copy and its own scan.
    results, stderr = run_bridges("""
        sys.setdlopenflags(os.RTLD_NOW | os.RTLD_GLOBAL)
        import threaddump_C
        agent = load_agent(AGENT)
        import lockmeter_C
        report(init=lockmeter_C.init_gil_interceptor(None, 0, 0, 0, 0, 0, 0),
               dump=threaddump_C.dump_all_threads_stack(-1, 0),
               lookups=[lookup(lockmeter_C)(b"dump_threads"), lookup(threaddump_C)(b"dump_threads")],
               agent=ctypes.cast(agent.dump_threads, ctypes.c_void_p).value)
    """, AGENT=str(AGENT))
    assert results == {"init": 0, "dump": -1, "lookups": [results["agent"], None], "agent": results["agent"]}
    assert stderr == NOT_FOUND * 2


@pytest.mark.parametrize("module, exported", [
    ("lockmeter_C", {"PyInit_lockmeter_C", "get_symbol_addr"}),
    ("threaddump_C", {"PyInit_threaddump_C", "get_symbol_addr", "dump_threads_function"}),
])
def test_shared_object_exports_and_needs_only_what_it_should(module, exported):
    if not (shutil.which("nm") and shutil.which("readelf")):
        pytest.skip("needs binutils")
    path = BUILD / (module + sysconfig.get_config_var("EXT_SUFFIX"))
    defined = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    names = {line.split()[-1] for line in defined.stdout.splitlines()}
    dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True)
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic.stdout))
    if SANITIZED:
        # The sanitizers add their runtimes and one ODR marker per exported variable.
        names = {name for name in names if not name.startswith("__odr_asan.")}
        needed = {lib for lib in needed if not re.match(r"lib(asan|ubsan)\.so", lib)}
    assert names == exported
    assert needed == {"libc.so.6"}


def test_demo_shows_forwarding_and_the_thread_dump():
    demo = ROOT / "examples" / "bridges_demo.py"
    proc = run_python(f"import runpy, sys; sys.argv[1:] = [{str(AGENT)!r}]; runpy.run_path({str(demo)!r}, run_name='__main__')")
    assert "init_gil_interceptor -> 3\n  agent saw numbers" in proc.stdout
    assert "agent saw our object: True\n" in proc.stdout
    assert re.search(r"^Current thread 0x[0-9a-f]{16} \(most recent call first\):\n  File .* in show_thread_dump$",
                     proc.stdout, re.M)
    assert re.search(r"^  File .* in parked_worker$", proc.stdout, re.M)
    assert "dump_all_threads_stack -> 0 (agent saw fd 1, arg 0)\n" in proc.stdout
    assert proc.stderr == ""
