// The record format: the text of one record, as the tracer writes it and
// the reader parses it, the kinds of record and the rules that name them.
//
// A record is one str:
//
//   name U+0000 file U+0000 line U+0001 start_ns U+0001 duration_ns U+0001 parent
//
// line, start_ns, duration_ns and parent are decimal integers (a leading
// minus when negative) that fit in 64 bits; parent is the index of the
// enclosing record in the records list, -1 at the top. The three numbers
// after the line hold no U+0001 and the line and file no U+0000, so a reader
// splits from the right: a name can hold either separator.
//
// How each kind of call is named (naming_of() below):
//  - a Python function: its code object's co_name, co_filename and
//    co_firstlineno;
//  - a coroutine: the same, from its code object; only the tree tells it
//    apart from a call (a wait hangs under it, or it is the top of a
//    coroutine-aware trace);
//  - a built-in: its __qualname__, else its __name__, else its type's name;
//    the file kBuiltinFile, line 0;
//  - a wait between a coroutine's suspension and its resumption: the name
//    kAwaitName, an empty file, line 0, starting at the suspension, its
//    parent the coroutine's record.
// kind_of_text() reads those rules back from a record's name, file and line.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>
#include <stdint.h>

namespace {

// Ends the name and the file.
constexpr char kNameSeparator = '\0';
// Comes before each of start_ns, duration_ns and parent.
constexpr char kNumberSeparator = '\1';
// Fields separated by kNameSeparator (name, file, line), then by
// kNumberSeparator (start_ns, duration_ns, parent).
constexpr int kNamedFields = 3;
constexpr int kNumberFields = 3;
// The format as an error message spells it, \x00 and \x01 for the separators.
constexpr char kFormatText[] = "name\\x00file\\x00line\\x01start\\x01duration\\x01parent";

constexpr char kBuiltinFile[] = "<built-in>";
constexpr char kAwaitName[] = "[await]";

// The kinds of node the reader tells apart, with the codes its `kind` arrays
// hold. Python's spantree.Kind gives the record kinds the same codes and
// names (a test holds the two together).
enum Kind : uint8_t {
  kPlaceholder = 0,  // an index that records name as their parent but that holds no record
  kCall = 1,
  kBuiltin = 2,
  kCoroutine = 3,
  kAwait = 4,
  kEmpty = 5,  // a slot of the records list that holds no record and that no record names
};
constexpr int kKindCount = 6;
// By code: the names of the record kinds, empty for the nodes that are not records.
constexpr const char* kKindNames[kKindCount] = {"", "call", "built-in", "coroutine", "await", ""};

// Whether text[0, n) (bytes or code units) spells the ASCII `literal`.
template <typename Unit, size_t N>
constexpr bool spells(const Unit* text, size_t n, const char (&literal)[N]) {
  if (n != N - 1) return false;
  for (size_t i = 0; i < n; ++i)
    if (text[i] != static_cast<unsigned char>(literal[i])) return false;
  return true;
}

// The kind a record's text says: kBuiltin, kAwait or kCall (a call the tree
// may yet show to be a coroutine).
template <typename Unit>
constexpr Kind kind_of_text(const Unit* name, size_t name_n, const Unit* file, size_t file_n, int64_t line) {
  if (line != 0) return kCall;
  if (spells(file, file_n, kBuiltinFile)) return kBuiltin;
  if (file_n == 0 && spells(name, name_n, kAwaitName)) return kAwait;
  return kCall;
}

// What names the record of a call: `name` and `file` are borrowed strs, or
// null where the text is a literal (kAwaitName, kBuiltinFile, or empty).
struct RecordNaming {
  Kind kind;  // kCall (a Python function or a coroutine), kBuiltin or kAwait
  PyObject* name;
  PyObject* file;
  int line;
};

// The naming of a traced call from what the tracer keeps of it: the code
// object of a Python function or coroutine, the name (a str) of a built-in,
// or null for a wait.
inline RecordNaming naming_of(PyObject* what) {
  if (!what) return {kAwait, nullptr, nullptr, 0};
  if (PyCode_Check(what)) {
    auto* code = reinterpret_cast<PyCodeObject*>(what);
    return {kCall, code->co_name, code->co_filename, code->co_firstlineno};
  }
  return {kBuiltin, what, nullptr, 0};
}

}  // namespace
