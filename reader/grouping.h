// The grouped tree: what the default views show of a trace, where the program's
// own code comes first.
//
// Python classes every distinct file once (set_files): the program's own code,
// library, built-in or import machinery, with the label a view shows for it
// and, under a sys.path root, its module name. From the classes, one
// iterative pass over the records in pre-order builds a tree of lines:
//
//   - an import: `_find_and_load` and the machinery under it down to the
//     module's body (`<module>`) are one line, named by the body's module;
//     imports the body triggers nest beneath it as lines of their own;
//   - a library call: a run of library frames entered from the program's own
//     code (or from a built-in it called) is one line, the first frame of the
//     run, with the frames it hides counted and the hottest of them named;
//     own code the run leads back to nests beneath it;
//   - recursion: calls of one function, or of a cycle of at most three,
//     repeated at least three times down a chain, are one line;
//   - anything else is a line of its own.
//
// Folding is decided when a node is reached, looking a bounded number of
// lines up, so the pass is linear. Lines then gather by what they show (one
// line per function among the children of a line) and siblings are ordered
// heaviest first. The same builder with grouping off gives the plain folded
// tree: every record a line, gathered and ordered the same way.
//
#pragma once

#include "collapsed.h"
#include "containers.h"
#include "labels.h"
#include "parse.h"
#include "sink.h"
#include "trace.h"

namespace {

constexpr uint8_t kOwnCode = 0, kLibraryCode = 1, kBuiltinCode = 2, kImportCode = 3;
constexpr uint32_t kMaxCycle = 3;    // functions in a folded cycle
constexpr uint32_t kFoldRepeats = 3;  // repetitions of the cycle before it folds

// The shares of the summary's first line.
enum Share { kShareImport, kShareOwn, kShareLibrary, kShareBuiltin, kShareWaiting, kShares };

// A node of the grouped tree before lines gather.
struct LineNode {
  uint32_t rep;          // the record it starts at
  uint32_t up;           // parent as created, kNone at the top
  uint32_t alias;        // itself, or the recursion line it folded into
  uint32_t parent;       // resolved parent (after finish)
  uint32_t depth;        // resolved depth (after finish)
  uint32_t name, file;   // string ids shown; file kNone for none
  uint32_t hidden;       // records folded in beyond the line's own calls
  uint32_t calls;        // calls of the line's function (recursion: every level)
  uint32_t deep;         // recursion: calls deep
  uint32_t hot;          // hottest hidden record by self time, kNone for none
  uint32_t key;          // what gathers lines among siblings (after finish)
  uint32_t cycle[kMaxCycle];       // recursion: the functions of its cycle, from its top
  uint32_t cycle_line[kMaxCycle];  // recursion: the lines its first cycle was created as
  int64_t total, self, hot_self;
  uint8_t kind, cls, period;
  bool opens;            // calls under it were made by the program's own code
  bool in_import;        // the line runs under an import
};

struct GroupedTree {
  bool grouping = false;
  Array<LineNode> nodes;
  Array<uint32_t> first_child;  // nodes + 2 offsets: the last node is the virtual top
  Array<uint32_t> children;
  uint32_t keys = 0;            // size of the key space
  int64_t shares[kShares] = {};
};

void drop_grouped(Trace* r) {
  for (GroupedTree*& g : r->grouped) {
    if (!g) continue;
    g->~GroupedTree();
    PyMem_Free(g);
    g = nullptr;
  }
}

// --- files

// The distinct files of the records in order of first appearance, with each
// string's file index (kNone for strings that name no file).
bool collect_files(Trace* r) {
  if (r->file_index.size()) return true;
  size_t strings = r->strings.size();
  Array<uint32_t> index, files;
  if (!index.resize(strings)) return false;
  for (size_t i = 0; i < strings; ++i) index[i] = kNone;
  for (size_t i = 0; i < r->order.size(); ++i) {
    uint32_t node = r->order[i];
    if (!is_record(r, node) || r->kind[node] == kAwait) continue;
    uint32_t f = file_of(r, node);
    if (index[f] != kNone) continue;
    index[f] = static_cast<uint32_t>(files.size());
    if (!files.push(f)) return false;
  }
  r->file_index.swap(index);
  r->files.swap(files);
  return true;
}

// Whether the interned string `id` is the ASCII `s`.
bool is_string(const Trace* r, uint32_t id, const char* s) { return r->strings.is(id, {s, strlen(s)}); }

// The class of a node's code: built-ins by their kind, calls by their file's.
uint8_t code_class(const Trace* r, uint32_t node) {
  uint8_t kind = r->kind[node];
  if (kind == kBuiltin) return kBuiltinCode;
  if (kind != kCall && kind != kCoroutine) return kOwnCode;
  uint32_t f = file_of(r, node);
  return f < r->file_class.size() ? r->file_class[f] : kOwnCode;
}


// --- building

class GroupBuilder {
 public:
  GroupBuilder(Trace* r, GroupedTree* g) : r_(r), g_(g) {}

  bool build() {
    size_t n = node_count(r_);
    if (!line_of_.resize(n) || !state_.resize(n) || !module_import_.resize(r_->strings.size())) return false;
    for (size_t i = 0; i < module_import_.size(); ++i) module_import_[i] = kNone;
    for (size_t i = 0; i < r_->order.size(); ++i)
      if (!visit(r_->order[i])) return false;
    return name_imports() && finish();
  }

 private:
  // State per record: bit 0, it lies on an import chain above the module's
  // body; then its place in a folded cycle: the function's position in the
  // cycle plus one (0: on none) in bits 1-2, and from bit 3 the number of
  // times the cycle has started from the recursion's top down to it.
  static constexpr uint32_t kOnChain = 1;
  static uint32_t place(uint32_t phase, uint32_t steps) { return (phase + 1) << 1 | steps << 3; }
  static int32_t phase_of(uint32_t state) { return static_cast<int32_t>((state >> 1) & 3) - 1; }
  static uint32_t steps_of(uint32_t state) { return state >> 3; }

  LineNode& at(uint32_t line) { return g_->nodes[line]; }

  // A record's place in a folded cycle (phase -1 for none): its own, or that
  // of the line it was created in (records folded in before the cycle was found).
  uint32_t place_at(uint32_t node) {
    uint32_t own = state_[node] & ~kOnChain;
    return phase_of(own) >= 0 ? own : state_[at(line_of_[node]).rep] & ~kOnChain;
  }

  bool visit(uint32_t node) {
    uint32_t p = r_->depth[node] ? parent_node(r_, node) : kNone;
    // The line the parent was created in decides what opens under it; the
    // line it now belongs to (a recursion may have folded it) holds the node.
    uint32_t made = p == kNone ? kNone : line_of_[p];
    uint32_t up = made == kNone ? kNone : at(made).alias;
    uint8_t kind = r_->kind[node];
    if (!g_->grouping || kind == kPlaceholder || kind == kAwait) return add(node, up, kind, kOwnCode);
    uint8_t cls = code_class(r_, node);
    if (cls == kImportCode && is_string(r_, name_of(r_, node), "_find_and_load")) {
      if (!add(node, up, kImportLine, cls)) return false;
      at(line_of_[node]).opens = false;
      state_[node] = kOnChain;
      return true;
    }
    if (p != kNone && (state_[p] & kOnChain)) {
      // The machinery of an import, down to its module's body.
      LineNode& line = at(up);
      bool body = is_string(r_, name_of(r_, node), "<module>");
      if (body && line.kind == kImportLine && line.name == kNone) {
        line.name = file_of(r_, node);  // resolved to "import module" once every file is known
        line.opens = cls == kOwnCode;
      } else if (line.file == kNone && (cls == kOwnCode || cls == kLibraryCode)) {
        line.file = file_of(r_, node);
      }
      merge(node, up, p);
      state_[node] = body ? 0 : kOnChain;
      return true;
    }
    if (cls == kOwnCode) return add_call(node, p, up, kind, cls);
    if (made == kNone || at(made).opens) {
      if (cls == kBuiltinCode) return add(node, up, kind, cls);
      return add_call(node, p, up, kind, kLibraryCode);
    }
    merge(node, up, p);
    return true;
  }

  bool add(uint32_t node, uint32_t up, uint8_t kind, uint8_t cls) {
    LineNode line = {};
    line.rep = node;
    line.up = up;
    line.alias = static_cast<uint32_t>(g_->nodes.size());
    line.depth = up == kNone ? 0 : at(up).depth + 1;
    line.name = kind == kImportLine ? kNone : name_of(r_, node);
    line.file = kind == kImportLine ? kNone : file_of(r_, node);
    line.calls = 1;
    line.hot = kNone;
    line.total = is_record(r_, node) ? clamped(r_->duration[node]) : children_ns(r_, node);
    line.self = is_record(r_, node) ? self_ns(r_, node) : 0;
    line.kind = kind;
    line.cls = cls;
    line.opens = kind != kImportLine && (cls == kOwnCode || cls == kBuiltinCode);
    line.in_import = kind == kImportLine || (up != kNone && at(up).in_import);
    if (g_->nodes.size() >= kNone - 1) {
      PyErr_SetString(PyExc_MemoryError, "too many records");
      return false;
    }
    line_of_[node] = line.alias;
    count_share(node, line.self, line.in_import);
    return g_->nodes.push(line);
  }

  // A record (child of p) whose time goes into p's line `into` (resolved); it
  // belongs to the line p was created in, and keeps p's place in a folded cycle.
  void merge(uint32_t node, uint32_t into, uint32_t p) {
    LineNode& line = at(into);
    int64_t self = self_ns(r_, node);
    line_of_[node] = line_of_[p];
    uint32_t at_p = place_at(p);
    if (phase_of(at_p) >= 0) state_[node] = at_p;
    line.self += self;
    ++line.hidden;
    if (line.hot == kNone || self > line.hot_self) {
      line.hot = node;
      line.hot_self = self;
    }
    count_share(node, self, line.in_import);
  }

  void count_share(uint32_t node, int64_t self, bool in_import) {
    if (!is_record(r_, node)) return;
    Share share = kShareOwn;
    if (in_import)
      share = kShareImport;
    else if (r_->kind[node] == kAwait)
      share = kShareWaiting;
    else if (r_->kind[node] == kBuiltin)
      share = kShareBuiltin;
    else if (code_class(r_, node) != kOwnCode)
      share = kShareLibrary;
    g_->shares[share] += self;
  }

  // A call of the program's own code or a library call: a line of its own,
  // unless it continues or completes a recursion.
  bool add_call(uint32_t node, uint32_t p, uint32_t up, uint8_t kind, uint8_t cls) {
    uint32_t f = r_->func[node];
    if (up != kNone && at(up).period) {
      LineNode& rec = at(up);
      uint32_t at_p = place_at(p);
      int32_t phase = phase_of(at_p);
      uint32_t next = phase < 0 ? kNone : (static_cast<uint32_t>(phase) + 1) % rec.period;
      if (next != kNone && rec.cycle[next] == f) {
        uint32_t steps = steps_of(at_p) + (next == 0);
        state_[node] = place(next, steps);
        line_of_[node] = rec.cycle_line[next];
        int64_t self = self_ns(r_, node);
        rec.self += self;
        ++rec.calls;
        if (steps > rec.deep) rec.deep = steps;
        count_share(node, self, rec.in_import);
        return true;
      }
    }
    if (!add(node, up, kind, cls)) return false;
    fold_recursion(line_of_[node]);
    return true;
  }

  uint32_t call_key(uint32_t line) {
    const LineNode& l = at(line);
    bool foldable = l.alias == line && !l.period && (l.kind == kCall || l.kind == kCoroutine);
    return foldable ? r_->func[l.rep] : kNone;
  }

  // Folds a chain ending at the new line `last` whose functions repeat with a
  // period of at most kMaxCycle, kFoldRepeats times, into its top line.
  void fold_recursion(uint32_t last) {
    uint32_t chain[kMaxCycle * kFoldRepeats];
    uint32_t keys[kMaxCycle * kFoldRepeats];
    uint32_t length = 0;
    for (uint32_t line = last; line != kNone && length < kMaxCycle * kFoldRepeats; line = at(line).up) {
      uint32_t key = call_key(line);
      if (key == kNone) break;
      chain[length] = line;
      keys[length++] = key;
    }
    for (uint32_t k = 1; k <= kMaxCycle; ++k) {
      uint32_t span = k * kFoldRepeats;
      if (span > length) return;
      bool periodic = true;
      for (uint32_t i = 0; i + k < span && periodic; ++i) periodic = keys[i] == keys[i + k];
      if (!periodic) continue;
      uint32_t top = chain[span - 1];
      LineNode& rec = at(top);
      rec.period = static_cast<uint8_t>(k);
      rec.deep = kFoldRepeats;
      for (uint32_t j = 0; j < k; ++j) {
        rec.cycle[j] = keys[span - 1 - j];
        rec.cycle_line[j] = chain[span - 1 - j];
      }
      state_[rec.rep] = place(0, 1);
      for (uint32_t i = 0; i + 1 < span; ++i) {
        LineNode& folded = at(chain[i]);
        folded.alias = top;
        rec.self += folded.self;
        rec.hidden += folded.hidden;
        rec.calls += folded.calls;
        if (folded.hot != kNone && (rec.hot == kNone || folded.hot_self > rec.hot_self)) {
          rec.hot = folded.hot;
          rec.hot_self = folded.hot_self;
        }
        state_[folded.rep] = place((span - 1 - i) % k, (span - 1 - i) / k + 1);
      }
      return;
    }
  }

  // Imports get their names: "import module", or from a file below them, or none.
  bool name_imports() {
    for (size_t i = 0; i < g_->nodes.size(); ++i) {
      LineNode& line = g_->nodes[i];
      if (line.kind != kImportLine) continue;
      uint32_t body = line.name;
      if (body == kNone) {
        // Shown with a file a record below it names, if any.
        line.name = line.file == kNone ? fixed_name(&unnamed_, "import (module not recorded)")
                                       : fixed_name(&bare_, "import");
      } else {
        uint32_t module = body < r_->file_module.size() ? r_->file_module[body] : kNone;
        bool named = module != kNone && r_->strings[module].n;
        line.name = named ? module_name(module) : fixed_name(&bare_, "import");
        line.file = named ? kNone : body;
      }
      if (line.name == kNone) return false;
    }
    return true;
  }

  // The string id of "import <module>", added once per module.
  uint32_t module_name(uint32_t module) {
    uint32_t& cached = module_import_[module];
    if (cached != kNone) return cached;
    StringView m = r_->strings[module];
    Array<char> text;
    if (!text.append("import ", 7) || !text.append(m.p, m.n)) return kNone;
    return cached = r_->strings.intern(text.data(), text.size());
  }

  uint32_t fixed_name(uint32_t* cached, const char* text) {
    if (*cached == kNone) *cached = r_->strings.intern(text, strlen(text));
    return *cached;
  }

  // Resolves parents, depths and keys, and lays the live lines out as a tree
  // in creation order (a pre-order), under a virtual top line.
  bool finish() {
    uint32_t n = static_cast<uint32_t>(g_->nodes.size());
    uint32_t functions = static_cast<uint32_t>(r_->functions.size());
    uint32_t strings = static_cast<uint32_t>(r_->strings.size());
    g_->keys = functions * 2 + strings;
    if (!g_->first_child.resize(static_cast<size_t>(n) + 2)) return false;
    for (uint32_t i = 0; i < n; ++i) {
      LineNode& line = at(i);
      if (line.alias != i) continue;
      line.parent = line.up == kNone ? kNone : at(line.up).alias;
      line.depth = line.parent == kNone ? 0 : at(line.parent).depth + 1;
      if (line.kind == kImportLine)
        line.key = functions + line.name;
      else if (line.kind == kPlaceholder)
        line.key = kNone;
      else if (line.period)
        line.key = functions + strings + r_->func[line.rep];
      else
        line.key = r_->func[line.rep];
      ++g_->first_child[(line.parent == kNone ? n : line.parent) + 1];
    }
    for (uint32_t i = 0; i <= n; ++i) g_->first_child[i + 1] += g_->first_child[i];
    if (!g_->children.resize(g_->first_child[n + 1])) return false;
    Array<uint32_t> fill;
    if (!fill.append(g_->first_child.data(), n + 1)) return false;
    for (uint32_t i = 0; i < n; ++i) {
      const LineNode& line = at(i);
      if (line.alias == i) g_->children[fill[line.parent == kNone ? n : line.parent]++] = i;
    }
    return true;
  }

  Trace* r_;
  GroupedTree* g_;
  Array<uint32_t> line_of_;       // per record: its line as created
  Array<uint32_t> state_;         // per record: kOnChain and its place in a cycle
  Array<uint32_t> module_import_;  // per module string: its "import module" string
  uint32_t bare_ = kNone, unnamed_ = kNone;
};

// The grouped tree of a mode (grouping on or off), built on first use.
GroupedTree* grouped_tree(Trace* r, bool grouping) {
  GroupedTree*& g = r->grouped[grouping];
  if (g) return g;
  if (!collect_files(r)) return nullptr;
  auto* fresh = static_cast<GroupedTree*>(PyMem_Malloc(sizeof(GroupedTree)));
  if (!fresh) {
    PyErr_NoMemory();
    return nullptr;
  }
  new (fresh) GroupedTree;
  fresh->grouping = grouping;
  GroupBuilder builder(r, fresh);
  if (!builder.build()) {
    fresh->~GroupedTree();
    PyMem_Free(fresh);
    return nullptr;
  }
  return g = fresh;
}

// --- lines: the grouped tree with siblings gathered by key, heaviest first

struct Line {
  uint32_t first;  // its first line node (the label's), kNone for a "left out" line
  uint32_t depth, count, hidden, calls, deep, hot;
  int64_t total, self, longest, hot_self;
};

class LineWriter {
 public:
  LineWriter(const Trace* r, const GroupedTree* g, double cut_ns) : r_(r), g_(g), cut_(cut_ns) {}

  // Calls emit(line) for every line in pre-order; false on memory failure.
  template <typename Emit>
  bool write(Emit emit) {
    uint32_t n = static_cast<uint32_t>(g_->nodes.size());
    if (!pool_.resize(n) || !slot_.resize(g_->keys)) return false;
    for (size_t i = 0; i < slot_.size(); ++i) slot_[i] = kNone;
    uint32_t top = n;
    if (!gather(&top, 1, 0)) return false;
    while (stack_.size()) {
      Pending item = stack_[stack_.size() - 1];
      stack_.resize(stack_.size() - 1);
      if (!emit(item.line)) return false;
      if (item.line.first != kNone && !gather(pool_.data() + item.begin, item.line.count, item.line.depth + 1))
        return false;
    }
    return true;
  }

 private:
  struct Pending {
    Line line;
    uint32_t begin;  // members at pool_[begin, begin + count)
  };

  // Gathers the children of parents[0, np) by key, measures each gathering,
  // and pushes them heaviest first, after one line for those under the cut.
  bool gather(const uint32_t* parents, uint32_t np, uint32_t depth) {
    size_t mark = pending_.size();
    size_t seen_mark = seen_.size();
    size_t alone_mark = alone_.size();
    for (uint32_t m = 0; m < np; ++m) {
      uint32_t p = parents[m];
      for (uint32_t c = g_->first_child[p]; c < g_->first_child[p + 1]; ++c) {
        uint32_t child = g_->children[c];
        uint32_t key = g_->nodes[child].key;
        if (key == kNone || slot_[key] == kNone) {
          uint32_t item = static_cast<uint32_t>(pending_.size());
          if (key != kNone) slot_[key] = item;
          if (!pending_.push({{child, depth, 0, 0, 0, 0, kNone, 0, 0, INT64_MIN, 0}, 0}) ||
              !(key != kNone ? seen_.push(key) : alone_.push(item)))
            return false;
        }
        ++pending_[key == kNone ? pending_.size() - 1 : slot_[key]].line.count;
      }
    }
    // Members placed contiguously in the pool, then measured.
    for (size_t i = mark; i < pending_.size(); ++i) {
      pending_[i].begin = static_cast<uint32_t>(used_);
      used_ += pending_[i].line.count;
      pending_[i].line.count = 0;
    }
    size_t next_alone = alone_mark;  // lines without a key come in the same order again
    for (uint32_t m = 0; m < np; ++m) {
      uint32_t p = parents[m];
      for (uint32_t c = g_->first_child[p]; c < g_->first_child[p + 1]; ++c) {
        uint32_t child = g_->children[c];
        uint32_t key = g_->nodes[child].key;
        Pending& item = pending_[key == kNone ? alone_[next_alone++] : slot_[key]];
        pool_[item.begin + item.line.count++] = child;
        add_member(item.line, child);
      }
    }
    for (size_t i = seen_mark; i < seen_.size(); ++i) slot_[seen_[i]] = kNone;
    seen_.resize(seen_mark);
    alone_.resize(alone_mark);
    // Cut, order and push.
    Line out = {kNone, depth, 0, 0, 0, 0, kNone, 0, 0, 0, 0};
    size_t kept = mark;
    for (size_t i = mark; i < pending_.size(); ++i) {
      if (static_cast<double>(pending_[i].line.total) < cut_) {
        out.count += pending_[i].line.count;
        out.total += pending_[i].line.total;
      } else {
        pending_[kept++] = pending_[i];
      }
    }
    if (kept > mark) qsort(pending_.data() + mark, kept - mark, sizeof(Pending), heavier_first);
    if (out.count && !stack_.push({out, 0})) return false;
    for (size_t i = kept; i-- > mark;)
      if (!stack_.push(pending_[i])) return false;
    pending_.resize(mark);
    return true;
  }

  void add_member(Line& line, uint32_t member) {
    const LineNode& node = g_->nodes[member];
    line.total += node.total;
    line.self += node.self;
    line.hidden += node.hidden;
    line.calls += node.calls;
    if (node.deep > line.deep) line.deep = node.deep;
    int64_t duration = is_record(r_, node.rep) ? r_->duration[node.rep] : node.total;
    if (duration > line.longest) line.longest = duration;
    if (node.hot != kNone && (line.hot == kNone || node.hot_self > line.hot_self)) {
      line.hot = node.hot;
      line.hot_self = node.hot_self;
    }
  }

  static int heavier_first(const void* a, const void* b) {
    const Line& x = static_cast<const Pending*>(a)->line;
    const Line& y = static_cast<const Pending*>(b)->line;
    if (x.total != y.total) return x.total > y.total ? -1 : 1;
    return (x.first > y.first) - (x.first < y.first);
  }

  const Trace* r_;
  const GroupedTree* g_;
  double cut_;
  Array<uint32_t> pool_;
  size_t used_ = 0;
  Array<uint32_t> slot_;  // per key: its pending item while gathering
  Array<uint32_t> seen_;   // keys given a slot while gathering
  Array<uint32_t> alone_;  // pending items of lines without a key (placeholders)
  Array<Pending> pending_;
  Array<Pending> stack_;
};

// --- the text of a line

void put_line_label(Sink& out, const Trace* r, const GroupedTree* g, const Line& line) {
  const LineNode& node = g->nodes[line.first];
  if (node.kind != kImportLine) {
    put_label(out, r, node.rep, node.period ? 1 : line.count);
  } else {
    put_string(out, r, node.name);
    if (line.count > 1) {
      out.put(" \xC3\x97");
      out.grouped(line.count);
    }
    if (node.file != kNone) {
      out.put("  ");
      StringView label = file_label(r, node.file);
      put_text(out, label.p, label.n);
    }
  }
  if (node.period) {
    out.put("  recursive, ");
    out.grouped(line.deep);
    out.put(" deep");
    if (line.count > 1) {
      out.put(", ");
      out.grouped(line.count);
      out.put(" times");
    }
  }
  if (line.hidden && node.kind != kImportLine) {
    out.put("  (+");
    out.grouped(line.hidden);
    out.put(line.hidden == 1 ? " frame, hottest " : " frames, hottest ");
    put_label(out, r, line.hot, 1);
    out.put(')');
  }
}

// The folded tree, grouped or not; false with an exception set.
// `notes`, if not null, is a tuple of bytes by function id, written at the
// end of each line whose first node is a record of that function.
bool write_grouped_tree(Sink& out, Trace* r, int64_t whole, double min_share, bool grouping,
                        PyObject* notes = nullptr) {
  GroupedTree* g = grouped_tree(r, grouping);
  if (!g) return false;
  LineWriter writer(r, g, min_share * static_cast<double>(whole));
  return writer.write([&](const Line& line) {
    if (line.first == kNone) {
      out.repeat(' ', 30);
      put_indent(out, line.depth);
      out.put("\xE2\x80\xA6 ");
      out.grouped(line.count);
      out.put(line.count == 1 ? " shorter call, " : " shorter calls, ");
      char text[48];
      out.put(text, format_duration(text, sizeof text, line.total));
      out.put('\n');
      return out.ok();
    }
    bool record = is_record(r, g->nodes[line.first].rep);
    put_right(out, 10, [&](char* text, size_t size) { return format_duration(text, size, line.total); });
    put_right(out, 10, [&](char* text, size_t size) {
      return record ? format_duration(text, size, line.self) : 0;
    });
    out.put("  ");
    if (whole > 0)
      put_share(out, 100.0 * static_cast<double>(line.total) / static_cast<double>(whole));
    else
      out.repeat(' ', 6);
    out.put("  ");
    put_indent(out, line.depth);
    put_line_label(out, r, g, line);
    if (line.count > 1 && !g->nodes[line.first].period) {
      char text[48];
      out.put("  (longest ");
      out.put(text, format_duration(text, sizeof text, line.longest));
      out.put(')');
    }
    const LineNode& node = g->nodes[line.first];
    if (notes && record && node.kind != kImportLine) {
      PyObject* note = PyTuple_GET_ITEM(notes, r->func[node.rep]);
      out.put(PyBytes_AS_STRING(note), static_cast<size_t>(PyBytes_GET_SIZE(note)));
    }
    out.put('\n');
    return out.ok();
  });
}

// Collapsed stacks of the grouped tree: a frame per line as created, named
// as the line is ("import json", or the function).
bool write_grouped_collapsed(Collapsed& collapsed, Trace* r) {
  GroupedTree* g = grouped_tree(r, true);
  if (!g) return false;
  Array<uint32_t> stack_of;
  if (!stack_of.resize(g->nodes.size()) || !collapsed.prepare()) return false;
  for (uint32_t i = 0; i < g->nodes.size(); ++i) {
    const LineNode& line = g->nodes[i];
    if (line.alias != i) continue;
    uint32_t frame;
    if (line.kind == kImportLine) {
      StringView name = r->strings[line.name];
      frame = collapsed.text_frame(name.p, name.n);
    } else if (line.kind == kPlaceholder) {
      frame = collapsed.text_frame("[unknown]", 9);
    } else {
      frame = collapsed.function_frame(r->func[line.rep]);
    }
    uint32_t id = frame == kNone ? kNone : collapsed.stack_under(line.parent == kNone ? kNone : stack_of[line.parent], frame);
    if (id == kNone || (line.self > 0 && !collapsed.add_self(id, line.self))) return false;
    stack_of[i] = id;
  }
  return collapsed.emit();
}

}  // namespace
