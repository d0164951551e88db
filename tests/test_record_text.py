"""The tracer builds record strings itself; they must be exactly what
PyUnicode_FromFormat makes of the record formats."""

import ctypes

from hypothesis import given, settings, strategies as st

import spantree_testing_C as records

FROM_FORMAT = ctypes.pythonapi.PyUnicode_FromFormat
FROM_FORMAT.restype = ctypes.py_object

I64 = st.integers(-(2**63), 2**63 - 1)
I32 = st.integers(-(2**31), 2**31 - 1)
# Every width of str: ASCII, Latin-1, the BMP (surrogates included) and astral.
TEXT = st.one_of(
    st.text(st.characters(max_codepoint=0x7F)),
    st.text(st.characters(max_codepoint=0xFF)),
    st.text(st.characters(max_codepoint=0xFFFF)),
    st.text(),
)


def from_format(fmt, *args):
    converted = []
    for kind, value in args:
        converted.append({"U": ctypes.py_object, "c": ctypes.c_int, "s": ctypes.c_char_p,
                          "i": ctypes.c_int, "L": ctypes.c_longlong}[kind](value))
    return FROM_FORMAT(fmt.encode(), *converted)


def tail(start, duration, parent):
    return [("c", 1), ("L", start), ("c", 1), ("L", duration), ("c", 1), ("L", parent)]


@settings(max_examples=400)
@given(TEXT, TEXT, I32, I64, I64, I64)
def test_call_and_header_records(name, file, line, start, duration, parent):
    expected = from_format("%U%c%U%c%i%c%lld%c%lld%c%lld", ("U", name), ("c", 0), ("U", file),
                           ("c", 0), ("i", line), *tail(start, duration, parent))
    assert records.call_record(name, file, line, start, duration, parent) == expected
    # A coroutine's record, its header (name, file, line) followed by the
    # times, is built as a call record of its code.
    header = from_format("%U%c%U%c%i", ("U", name), ("c", 0), ("U", file), ("c", 0), ("i", line))
    assert expected == from_format("%U%c%lld%c%lld%c%lld", ("U", header), *tail(start, duration, parent))


@settings(max_examples=200)
@given(TEXT, I64, I64, I64)
def test_builtin_and_await_records(name, start, duration, parent):
    assert records.builtin_record(name, start, duration, parent) == from_format(
        "%U%c%s%c%i%c%lld%c%lld%c%lld", ("U", name), ("c", 0), ("s", b"<built-in>"), ("c", 0),
        ("i", 0), *tail(start, duration, parent))
    assert records.await_record(start, duration, parent) == from_format(
        "%s%c%c%i%c%lld%c%lld%c%lld", ("s", b"[await]"), ("c", 0), ("c", 0), ("i", 0),
        *tail(start, duration, parent))


def test_extremes_and_widths_side_by_side():
    for name in ["", "a", "é", "\u20ac", "\U0001f600", "a\U0001f600é"]:
        for value in [0, -1, 1, 2**63 - 1, -(2**63), 10**18, -(10**18)]:
            assert records.builtin_record(name, value, -value if value > -(2**63) else value,
                                          value) == from_format(
                "%U%c%s%c%i%c%lld%c%lld%c%lld", ("U", name), ("c", 0), ("s", b"<built-in>"),
                ("c", 0), ("i", 0),
                *tail(value, -value if value > -(2**63) else value, value))
