// The trace as the reader holds it: per-node arrays, the call tree as
// arrays of node ids, and what the views read about a node.
//
// Node ids: 0..slots-1 are the list's indices (a None slot that records name
// as their parent is a placeholder node); slots.. are placeholders for parent
// indices past the end of the list, in ascending order of that index.
#pragma once

#include "containers.h"
#include "string_table.h"

namespace {

enum Kind : uint8_t { kPlaceholder = 0, kCall = 1, kBuiltin = 2, kCoroutine = 3, kAwait = 4, kEmpty = 5 };

struct Function {
  uint32_t name, file;
  int64_t line;
  uint8_t kind;  // kCall, kBuiltin, kCoroutine (a call that was a coroutine anywhere) or kAwait
};

struct Trace {
  Py_ssize_t slots = 0;  // length of the records list
  Py_ssize_t count = 0;  // records (slots holding one)
  bool coroutines = false;
  // Per node id.
  Array<uint8_t> kind;
  Array<uint32_t> name, file, func, depth;
  Array<int64_t> line, start, duration, parent;
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
};

size_t node_count(const Trace* r) { return r->kind.size(); }

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

// Sum of the durations of a node's recorded children (negatives as zero).
int64_t children_ns(const Trace* r, uint32_t node) {
  int64_t sum = 0;
  for (uint32_t c = r->first_child[node]; c < r->first_child[node + 1]; ++c)
    sum += clamped(r->duration[r->children[c]]);
  return sum;
}

// A record's time outside its children, zero where they outlast it.
int64_t self_ns(const Trace* r, uint32_t node) {
  int64_t self = r->duration[node] - children_ns(r, node);
  return self < 0 ? 0 : self;
}

}  // namespace
