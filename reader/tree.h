// The call tree rebuilt from the parsed records: children, roots and a
// pre-order with depths, placeholders for parents that left no record,
// the kinds only the tree shows (coroutines), function ids, and the totals
// the views read.
#pragma once

#include "containers.h"
#include "trace.h"

namespace {

// A placeholder spans its children, from the earliest start to the latest
// end, so that a drawing can show it; no view counts its time.
void span_children(Trace* r, uint32_t node) {
  uint32_t first = r->first_child[node], last = r->first_child[node + 1];
  assert(first < last);
  int64_t start = INT64_MAX;
  __int128 end = INT64_MIN;
  for (uint32_t c = first; c < last; ++c) {
    uint32_t child = r->children[c];
    if (r->start[child] < start) start = r->start[child];
    __int128 child_end = static_cast<__int128>(r->start[child]) + r->duration[child];
    if (child_end > end) end = child_end;
  }
  // Only a span past 2**63 ns (292 years) does not fit: it stays the largest.
  __int128 duration = end - start;
  r->start[node] = start;
  r->duration[node] = duration > INT64_MAX ? INT64_MAX : static_cast<int64_t>(duration);
}

// The values the views and the Python type read about the whole tree,
// computed once.
void derive_totals(Trace* r) {
  for (Py_ssize_t i = 0; i < r->slots; ++i)
    if (is_record(r, static_cast<uint32_t>(i)) && (!r->has_records || r->start[i] < r->first_start)) {
      r->first_start = r->start[i];
      r->has_records = true;
    }
  // Sums past 2**63 ns (292 years) stay at the largest value.
  auto add = [](int64_t* sum, int64_t ns) {
    if (__builtin_add_overflow(*sum, ns, sum)) *sum = INT64_MAX;
  };
  for (size_t i = 0; i < r->roots.size(); ++i) {
    uint32_t node = r->roots[i];
    if (is_record(r, node)) {
      add(&r->top_ns, clamped(r->duration[node]));
      add(&r->top_record_ns, clamped(r->duration[node]));
    } else {
      add(&r->top_ns, children_ns(r, node));
    }
  }
}

bool build_tree(Trace* r) {
  size_t slots = static_cast<size_t>(r->slots);
  for (size_t i = 0; i < slots; ++i)
    if (is_record(r, i) && r->parent[i] >= r->slots && !r->extra.push(r->parent[i])) return false;
  if (r->extra.size()) qsort(r->extra.data(), r->extra.size(), sizeof(int64_t), compare_int64);
  size_t unique = 0;
  for (size_t i = 0; i < r->extra.size(); ++i)
    if (!unique || r->extra[unique - 1] != r->extra[i]) r->extra[unique++] = r->extra[i];
  r->extra.resize(unique);
  size_t nodes = slots + unique;
  if (nodes >= kNone) {
    PyErr_SetString(PyExc_MemoryError, "too many records");
    return false;
  }
  if (!r->kind.resize(nodes) || !r->name.resize(nodes) || !r->file.resize(nodes) ||
      !r->line.resize(nodes) || !r->start.resize(nodes) || !r->duration.resize(nodes) ||
      !r->parent.resize(nodes) || !r->first_child.resize(nodes + 1) ||
      !r->children.resize(static_cast<size_t>(r->count)) || !r->depth.resize(nodes) ||
      !r->order.reserve(nodes))
    return false;
  for (size_t i = slots; i < nodes; ++i) r->kind[i] = kPlaceholder;

  // Children in index order, counted first then placed.
  for (uint32_t i = 0; i < slots; ++i)
    if (is_record(r, i)) {
      uint32_t p = parent_node(r, i);
      if (p != kNone) {
        ++r->first_child[p + 1];
        if (r->kind[p] == kEmpty) r->kind[p] = kPlaceholder;
      }
    }
  for (size_t i = 0; i < nodes; ++i) r->first_child[i + 1] += r->first_child[i];
  Array<uint32_t> fill;
  if (!fill.append(r->first_child.data(), nodes)) return false;
  for (uint32_t i = 0; i < slots; ++i)
    if (is_record(r, i)) {
      uint32_t p = parent_node(r, i);
      if (p == kNone) {
        if (!r->roots.push(i)) return false;
      } else {
        r->children[fill[p]++] = i;
      }
    } else if (r->kind[i] == kPlaceholder && !r->roots.push(i)) {
      return false;
    }
  for (size_t i = slots; i < nodes; ++i)
    if (!r->roots.push(static_cast<uint32_t>(i))) return false;
  for (uint32_t i = 0; i < nodes; ++i)
    if (r->kind[i] == kPlaceholder) span_children(r, i);

  // Kinds: a call with an await under it, or at the top of a coroutine-aware
  // trace, is a coroutine.
  for (uint32_t i = 0; i < slots; ++i) {
    if (!is_record(r, i)) continue;
    uint32_t p = parent_node(r, i);
    if (r->kind[i] == kAwait && p != kNone && r->kind[p] == kCall)
      r->kind[p] = kCoroutine;
    else if (r->coroutines && p == kNone && r->kind[i] == kCall)
      r->kind[i] = kCoroutine;
  }

  // Pre-order with depths; what no root reaches lies on a parent cycle.
  Array<uint32_t> stack;
  for (size_t i = r->roots.size(); i-- > 0;)
    if (!stack.push(r->roots[i])) return false;
  while (stack.size()) {
    uint32_t node = stack.pop();
    r->order.push(node);
    for (uint32_t c = r->first_child[node + 1]; c-- > r->first_child[node];) {
      r->depth[r->children[c]] = r->depth[node] + 1;
      if (!stack.push(r->children[c])) return false;
    }
  }
  size_t placeholders = 0;
  for (size_t i = 0; i < nodes; ++i) placeholders += r->kind[i] == kPlaceholder;
  if (r->order.size() != static_cast<size_t>(r->count) + placeholders) {
    Array<uint8_t> seen;
    if (!seen.resize(nodes)) return false;
    for (size_t i = 0; i < r->order.size(); ++i) seen[r->order[i]] = 1;
    size_t stray = 0;
    while (!is_record(r, static_cast<uint32_t>(stray)) || seen[stray]) ++stray;
    PyErr_Format(PyExc_ValueError, "record %zu is not reachable from the top: its parents form a cycle",
                 stray);
    return false;
  }
  derive_totals(r);
  return true;
}

// Function ids: one per (name, file, line) among the records.
bool build_functions(Trace* r) {
  size_t nodes = node_count(r);
  if (!r->func.resize(nodes)) return false;
  HashIndex index;
  for (uint32_t i = 0; i < nodes; ++i) {
    if (!is_record(r, i)) {
      r->func[i] = kNone;
      continue;
    }
    uint64_t h = mix((static_cast<uint64_t>(r->name[i]) << 32 | r->file[i]) ^ mix(r->line[i]));
    bool added;
    uint32_t name = r->name[i], file = r->file[i];
    int64_t line = r->line[i];
    uint32_t id = index.find_or_add(
        h,
        [r, name, file, line](uint32_t f) {
          const Function& fn = r->functions[f];
          return fn.name == name && fn.file == file && fn.line == line;
        },
        static_cast<uint32_t>(r->functions.size()), &added);
    if (id == kNone) return false;
    if (added && !r->functions.push({name, file, line, r->kind[i]})) return false;
    if (r->kind[i] == kCoroutine) r->functions[id].kind = kCoroutine;
    r->func[i] = id;
  }
  return true;
}

}  // namespace
