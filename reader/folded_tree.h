// The folded tree view: consecutive calls of one function under one parent
// share a line (" ×count", their total, self and longest time), and so do
// the children of such a line, merged by function; lines below the cut
// (min_share of whole_ns) fold into one "… n shorter calls" line per level.
#pragma once

#include "containers.h"
#include "labels.h"
#include "sink.h"
#include "trace.h"

namespace {

// A run of sibling nodes of one function shown as one line. Its members are a
// slice of `children` or `roots` (consecutive siblings) or of the tree's
// `grouped` array (the children of a folded line, gathered by function).
struct Group {
  const uint32_t* members;
  uint32_t count;
  uint32_t depth;
  int64_t total, self, longest;
  bool left_out;  // a "… n shorter calls" line: count calls, `total` ns
};

// Fills in a group's times: total and self over its members, the longest
// call; a placeholder member counts its children's time.
void measure(const Trace* r, Group* g) {
  g->total = g->self = 0;
  g->longest = INT64_MIN;
  for (uint32_t i = 0; i < g->count; ++i) {
    uint32_t node = g->members[i];
    if (is_record(r, node)) {
      g->total += clamped(r->duration[node]);
      g->self += self_ns(r, node);
      if (r->duration[node] > g->longest) g->longest = r->duration[node];
    } else {
      g->total += children_ns(r, node);
    }
  }
}

class FoldedTree {
 public:
  // `notes`, if not null, is a tuple of bytes by function id, written at the
  // end of each line of that function.
  FoldedTree(const Trace* r, Sink& out, int64_t whole_ns, double min_share, PyObject* notes)
      : r_(r), out_(out), cut_(min_share * static_cast<double>(whole_ns)), whole_(whole_ns), notes_(notes) {}

  bool write() {
    if (!grouped_.resize(node_count(r_)) || !slot_.resize(r_->functions.size())) return false;
    for (size_t i = 0; i < slot_.size(); ++i) slot_[i] = kNone;
    if (!push_runs(r_->roots.data(), static_cast<uint32_t>(r_->roots.size()), 0)) return false;
    while (stack_.size() && out_.ok()) {
      Group g = stack_.pop();
      line(g);
      if (!g.left_out && !push_children(g)) return false;
    }
    return true;
  }

 private:
  void line(const Group& g) {
    if (g.left_out) {
      out_.repeat(' ', 30);
      put_indent(out_, g.depth);
      out_.put("\xE2\x80\xA6 ");
      out_.grouped(g.count);
      out_.put(g.count == 1 ? " shorter call, " : " shorter calls, ");
      char text[48];
      out_.put(text, format_duration(text, sizeof text, g.total));
      out_.put('\n');
      return;
    }
    uint32_t first = g.members[0];
    bool record = is_record(r_, first);
    put_right(out_, 10, [&](char* text, size_t size) { return format_duration(text, size, g.total); });
    put_right(out_, 10, [&](char* text, size_t size) {
      return record ? format_duration(text, size, g.self) : 0;
    });
    out_.put("  ");
    if (whole_ > 0)
      put_share(out_, 100.0 * static_cast<double>(g.total) / static_cast<double>(whole_));
    else
      out_.repeat(' ', 6);
    out_.put("  ");
    put_indent(out_, g.depth);
    put_label(out_, r_, first, g.count);
    if (g.count > 1) {
      char text[48];
      out_.put("  (longest ");
      out_.put(text, format_duration(text, sizeof text, g.longest));
      out_.put(')');
    }
    if (notes_ && record) {
      PyObject* note = PyTuple_GET_ITEM(notes_, r_->func[first]);
      out_.put(PyBytes_AS_STRING(note), static_cast<size_t>(PyBytes_GET_SIZE(note)));
    }
    out_.put('\n');
  }

  // Pushes the groups of consecutive siblings in members[0, n), in reverse so
  // that they pop in order, after the line for those left out.
  bool push_runs(const uint32_t* members, uint32_t n, uint32_t depth) {
    size_t mark = pending_.size();
    for (uint32_t i = 0; i < n;) {
      uint32_t j = i + 1;
      uint32_t f = r_->func[members[i]];
      if (f != kNone)
        while (j < n && r_->func[members[j]] == f) ++j;
      if (!add(members + i, j - i, depth)) return false;
      i = j;
    }
    return flush_pending(mark, depth);
  }

  bool add(const uint32_t* members, uint32_t n, uint32_t depth) {
    Group g{members, n, depth, 0, 0, 0, false};
    measure(r_, &g);
    return pending_.push(g);
  }

  // Moves the groups gathered since `mark` to the stack, the cut ones folded
  // into one "left out" line that comes last.
  bool flush_pending(size_t mark, uint32_t depth) {
    Group out{nullptr, 0, depth, 0, 0, 0, true};
    size_t kept = mark;
    for (size_t i = mark; i < pending_.size(); ++i) {
      Group g = pending_[i];
      if (static_cast<double>(g.total) < cut_) {
        out.count += g.count;
        out.total += g.total;
      } else {
        pending_[kept++] = g;
      }
    }
    if (out.count && !stack_.push(out)) return false;
    for (size_t i = kept; i-- > mark;)
      if (!stack_.push(pending_[i])) return false;
    pending_.resize(mark);
    return true;
  }

  // Pushes the lines under group g, one level deeper.
  //
  // A single call's children are consecutive in `children`: its runs are
  // the lines. The children of a folded line (several calls of one function)
  // are merged instead: one line per function called from any of them, in
  // order of the function's first appearance, each line the slice of
  // `grouped_` holding that function's calls from every member, in order.
  // The slices are placed by a counting sort:
  //   1. count the children per function, giving each function met a slot
  //      (`slot_[f]`, its place in `seen`) and a count in `counts_`;
  //   2. turn the counts into each function's first place in `grouped_`;
  //   3. place every child at its function's next place, so that each
  //      count ends as the end of its function's slice;
  //   4. make a group of each slice and reset the slots for the next merge.
  // Every node is placed in `grouped_` at most once (a node is the member
  // of exactly one line), so it holds every node at most and never moves:
  // the groups pushed point into it until the end.
  bool push_children(const Group& g) {
    if (g.count == 1) {
      uint32_t node = g.members[0];
      uint32_t begin = r_->first_child[node], end = r_->first_child[node + 1];
      return push_runs(r_->children.data() + begin, end - begin, g.depth + 1);
    }
    size_t mark = pending_.size();
    size_t base = counts_.size();
    Array<uint32_t> seen;
    for (uint32_t m = 0; m < g.count; ++m) {  // 1.
      uint32_t node = g.members[m];
      for (uint32_t c = r_->first_child[node]; c < r_->first_child[node + 1]; ++c) {
        uint32_t f = r_->func[r_->children[c]];
        if (slot_[f] == kNone) {
          slot_[f] = static_cast<uint32_t>(seen.size());
          if (!seen.push(f) || !counts_.push(0)) return false;
        }
        ++counts_[base + slot_[f]];
      }
    }
    if (!seen.size()) return true;
    const uint32_t* begin = grouped_.data() + used_;
    for (size_t k = 0; k < seen.size(); ++k) {  // 2.
      uint32_t n = counts_[base + k];
      counts_[base + k] = static_cast<uint32_t>(used_);
      used_ += n;
    }
    for (uint32_t m = 0; m < g.count; ++m) {  // 3.
      uint32_t node = g.members[m];
      for (uint32_t c = r_->first_child[node]; c < r_->first_child[node + 1]; ++c) {
        uint32_t child = r_->children[c];
        grouped_[counts_[base + slot_[r_->func[child]]]++] = child;
      }
    }
    for (size_t k = 0; k < seen.size(); ++k) {  // 4.
      const uint32_t* end = grouped_.data() + counts_[base + k];
      if (!add(begin, static_cast<uint32_t>(end - begin), g.depth + 1)) return false;
      begin = end;
      slot_[seen[k]] = kNone;
    }
    counts_.resize(base);
    return flush_pending(mark, g.depth + 1);
  }

  const Trace* r_;
  Sink& out_;
  double cut_;
  int64_t whole_;
  Array<uint32_t> grouped_;  // the members of merged lines, slice after slice
  size_t used_ = 0;          // how much of grouped_ the slices take
  Array<uint32_t> slot_;     // per function: its place among the functions being merged, or kNone
  Array<uint32_t> counts_;   // per function being merged: its count, then where its slice ends
  Array<Group> stack_;       // lines still to write, the next on top
  Array<Group> pending_;     // the groups of one level, before the cut
  PyObject* notes_;          // borrowed
};

}  // namespace
