"""What the shipped shared objects depend on and export."""

import re
import subprocess

import pytest

import spantree_C
import spantree_reader_C
from conftest import BUILD

SANITIZER_RUNTIMES = {"libasan.so.8", "libubsan.so.1"}


def sanitized_build():
    cache = (BUILD / "CMakeCache.txt").read_text()
    return re.search(r"^SANITIZE:BOOL=ON$", cache, re.M) is not None


def needed(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out))


def exported(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path],
                         capture_output=True, text=True, check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.split()[1] in "TDBRVW"}


@pytest.mark.parametrize("module", [spantree_C, spantree_reader_C], ids=lambda m: m.__name__)
def test_native_module_links_libc_alone_and_exports_only_its_init(module):
    path = module.__file__
    libs = needed(path)
    if sanitized_build():
        # The sanitizer runtimes bring libc with them.
        assert libs - SANITIZER_RUNTIMES <= {"libc.so.6"}
    else:
        assert libs == {"libc.so.6"}
    if not sanitized_build():
        assert exported(path) == {f"PyInit_{module.__name__}"}


def build_type():
    return re.search(r"^CMAKE_BUILD_TYPE:STRING=(\w*)$", (BUILD / "CMakeCache.txt").read_text(), re.M)[1]


def calls_assert(path):
    out = subprocess.run(["nm", "-D", "--undefined-only", path],
                         capture_output=True, text=True, check=True).stdout
    return "__assert_fail" in out


def test_assertions_run_in_test_debug_and_sanitizer_builds_only():
    import spantree_testing_C

    assert calls_assert(spantree_testing_C.__file__)
    checked = sanitized_build() or build_type() == "Debug"
    assert calls_assert(spantree_C.__file__) == checked
