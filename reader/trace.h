// The trace as the reader holds it: per-node arrays, the call tree as
// arrays of node ids, and what the views read about a node.
//
// Node ids: 0..slots-1 are the list's indices (a None slot that records name
// as their parent is a placeholder node); slots.. are placeholders for parent
// indices past the end of the list, in ascending order of that index.
#pragma once

#include "common/record_format.h"

#include "containers.h"
#include "string_table.h"

namespace {

// What a record names: one per distinct (name, file, line).
struct Function {
  uint32_t name, file;
  int64_t line;
  uint8_t kind;  // kCall, kBuiltin, kCoroutine (a call that was a coroutine anywhere) or kAwait
};

struct GroupedTree;

struct Trace {
  Py_ssize_t slots = 0;  // length of the records list
  Py_ssize_t count = 0;  // records (slots holding one)
  bool coroutines = false;
  // Per node id. A record's name, file and line are its function's: a node
  // holds only the function's id (kNone for placeholders and empty slots).
  Array<uint8_t> kind;  // Kind (common/record_format.h)
  Array<uint32_t> func, depth;
  Array<int64_t> start, duration, parent;
  Array<uint32_t> first_child;  // node count + 1 entries into `children`
  Array<uint32_t> children;
  Array<uint32_t> roots;
  Array<uint32_t> order;        // every node in pre-order
  Array<int64_t> extra;         // the index value of each placeholder past the list
  StringTable strings;          // names and files, as UTF-8 (lone surrogates in their three-byte form)
  Array<Function> functions;
  // Derived once the tree is built (build_tree).
  bool has_records = false;
  int64_t first_start = 0;  // the earliest start among the records
  int64_t top_ns = 0;       // the time of the top of the tree: roots and placeholders' children
  int64_t top_record_ns = 0;  // the time of the records at the top
  // Files (grouping.h): per string id, its file id (kNone for other strings),
  // its class, label and module (empty until set_files); the file ids' strings.
  Array<uint32_t> file_index;
  Array<uint8_t> file_class;
  Array<uint32_t> file_label, file_module;
  Array<uint32_t> files;
  GroupedTree* grouped[2] = {};  // owned (drop_grouped): with grouping off and on, built on demand
};

size_t node_count(const Trace* r) { return r->kind.size(); }

// The function of a record's node.
const Function& function_of(const Trace* r, uint32_t node) {
  assert(r->func[node] != kNone);
  return r->functions[r->func[node]];
}

// A node's name, file and line, its function's: kNone (line 0) for a node
// that holds no record.
uint32_t name_of(const Trace* r, uint32_t node) {
  return r->func[node] == kNone ? kNone : r->functions[r->func[node]].name;
}
uint32_t file_of(const Trace* r, uint32_t node) {
  return r->func[node] == kNone ? kNone : r->functions[r->func[node]].file;
}
int64_t line_of(const Trace* r, uint32_t node) {
  return r->func[node] == kNone ? 0 : r->functions[r->func[node]].line;
}

// The id of function (name, file, line) in `index` (a HashIndex kept by
// whoever reads the records), added with `kind` if new; kNone on memory
// failure.
uint32_t intern_function(Trace* r, HashIndex& index, uint32_t name, uint32_t file, int64_t line,
                         uint8_t kind) {
  bool added;
  const uint32_t id = index.find_or_add(
      mix((static_cast<uint64_t>(name) << 32 | file) ^ mix(static_cast<uint64_t>(line))),
      [r, name, file, line](uint32_t f) {
        const Function& fn = r->functions[f];
        return fn.name == name && fn.file == file && fn.line == line;
      },
      static_cast<uint32_t>(r->functions.size()), &added);
  if (id == kNone || !added) return id;
  return r->functions.push({name, file, line, kind}) ? id : kNone;
}

// drop_calls_from()'s `until_ns` that leaves every slot in.
constexpr int64_t kKeepEveryCall = INT64_MAX;

// Leaves out the last slots of the records while they are empty or hold a
// call that started at `until_ns` or later: the calls a thread made from
// then on are its last, and the calls open then left empty slots. Returns
// whether a call was left out.
bool drop_calls_from(Trace* r, int64_t until_ns) {
  if (until_ns == kKeepEveryCall) return false;
  const Py_ssize_t count = r->count;
  while (r->slots > 0) {
    const size_t last = static_cast<size_t>(r->slots - 1);
    if (r->kind[last] != kEmpty) {
      if (r->start[last] < until_ns) break;
      --r->count;
    }
    --r->slots;
  }
  return r->count != count;
}

// The index a node stands for: its slot, or the parent index past the list.
int64_t node_index(const Trace* r, uint32_t node) {
  return node < r->slots ? node : r->extra[node - static_cast<size_t>(r->slots)];
}

bool is_record(const Trace* r, uint32_t node) {
  uint8_t k = r->kind[node];
  return k != kPlaceholder && k != kEmpty;
}

// A duration as the views count it: a negative one (the clock stepped back)
// as zero.
int64_t clamped(int64_t ns) { return ns < 0 ? 0 : ns; }

int compare_int64(const void* a, const void* b) {
  int64_t x = *static_cast<const int64_t*>(a), y = *static_cast<const int64_t*>(b);
  return (x > y) - (x < y);
}

// The node a record hangs under, kNone at the top.
uint32_t parent_node(const Trace* r, uint32_t node) {
  int64_t p = r->parent[node];
  if (p == -1) return kNone;
  if (p < r->slots) return static_cast<uint32_t>(p);
  auto found = static_cast<const int64_t*>(
      bsearch(&p, r->extra.data(), r->extra.size(), sizeof(int64_t), compare_int64));
  assert(found);
  return static_cast<uint32_t>(r->slots + (found - r->extra.data()));
}

// Sum of the durations of a node's recorded children (negatives as zero); a
// sum past 2**63 ns (292 years) stays at the largest value.
int64_t children_ns(const Trace* r, uint32_t node) {
  int64_t sum = 0;
  for (uint32_t c = r->first_child[node]; c < r->first_child[node + 1]; ++c)
    if (__builtin_add_overflow(sum, clamped(r->duration[r->children[c]]), &sum)) return INT64_MAX;
  return sum;
}

// A record's time outside its children, zero where they outlast it.
int64_t self_ns(const Trace* r, uint32_t node) {
  int64_t self = r->duration[node] - children_ns(r, node);
  return self < 0 ? 0 : self;
}

}  // namespace
