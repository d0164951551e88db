// The collapsed stacks view: one "a;b;c <self-time-ns>" line per distinct
// stack with positive self time, in the order the stacks first appear.
#pragma once

#include "containers.h"
#include "labels.h"
#include "sink.h"
#include "string_table.h"
#include "trace.h"

namespace {

constexpr uint32_t kMaxStackFrames = 256;

// Frames and stacks are interned: a frame is a label string, a stack is
// (parent stack, frame). Stacks past kMaxStackFrames frames fold into one
// "[deeper]" frame at that depth.
class Collapsed {
 public:
  Collapsed(const Trace* r, Sink& out) : r_(r), out_(out) {}

  bool write() {
    size_t nodes = node_count(r_);
    if (!stack_of_.resize(nodes) || !frame_of_func_.resize(r_->functions.size())) return false;
    for (size_t i = 0; i < frame_of_func_.size(); ++i) frame_of_func_[i] = kNone;
    uint32_t unknown = frames_.intern("[unknown]", 9), deeper = frames_.intern("[deeper]", 8);
    if (unknown == kNone || deeper == kNone) return false;
    for (size_t i = 0; i < r_->order.size(); ++i) {
      uint32_t node = r_->order[i];
      uint32_t parent_stack = r_->depth[node] ? stack_of_[parent_node(r_, node)] : kNone;
      uint32_t id;
      if (parent_stack != kNone && stacks_[parent_stack].frames >= kMaxStackFrames) {
        id = stacks_[parent_stack].frames == kMaxStackFrames ? stack(parent_stack, deeper) : parent_stack;
      } else {
        uint32_t f = is_record(r_, node) ? function_frame(r_->func[node]) : unknown;
        id = f == kNone ? kNone : stack(parent_stack, f);
      }
      if (id == kNone) return false;
      stack_of_[node] = id;
      if (is_record(r_, node)) {
        if (!stacks_[id].seen) {
          stacks_[id].seen = true;
          if (!seen_order_.push(id)) return false;
        }
        stacks_[id].self += self_ns(r_, node);
      }
    }
    Array<uint32_t> path;
    for (size_t i = 0; i < seen_order_.size() && out_.ok(); ++i) {
      const StackEntry& s = stacks_[seen_order_[i]];
      if (s.self <= 0) continue;
      path.clear();
      for (uint32_t at = seen_order_[i]; at != kNone; at = stacks_[at].parent)
        if (!path.push(stacks_[at].frame)) return false;
      for (size_t k = path.size(); k-- > 0;) {
        StringView f = frames_[path[k]];
        put_text(out_, f.p, f.n);
        out_.put(k ? ';' : ' ');
      }
      out_.number(s.self);
      out_.put('\n');
    }
    return true;
  }

 private:
  struct StackEntry {
    uint32_t parent, frame, frames;
    bool seen;
    int64_t self;
  };

  // "name (file.py:line)" for calls and coroutines, the name for the others;
  // semicolons become commas and newlines spaces.
  uint32_t function_frame(uint32_t f) {
    if (frame_of_func_[f] != kNone) return frame_of_func_[f];
    const Function& fn = r_->functions[f];
    label_.clear();
    StringView name = r_->strings[fn.name];
    if (!label_.append(name.p, name.n)) return kNone;
    if (fn.kind == kCall || fn.kind == kCoroutine) {
      StringView base = basename_of(r_->strings[fn.file]);
      char line[32];
      int n = snprintf(line, sizeof line, ":%lld)", static_cast<long long>(fn.line));
      if (!label_.append(" (", 2) || !label_.append(base.p, base.n) ||
          !label_.append(line, static_cast<size_t>(n)))
        return kNone;
    }
    for (size_t i = 0; i < label_.size(); ++i) {
      if (label_[i] == ';') label_[i] = ',';
      if (label_[i] == '\n') label_[i] = ' ';
    }
    return frame_of_func_[f] = frames_.intern(label_.data(), label_.size());
  }

  uint32_t stack(uint32_t parent, uint32_t frame_id) {
    bool added;
    const Array<StackEntry>& stacks = stacks_;
    uint32_t id = stack_index_.find_or_add(
        mix((static_cast<uint64_t>(parent) << 32) | frame_id),
        [&stacks, parent, frame_id](uint32_t other) {
          return stacks[other].parent == parent && stacks[other].frame == frame_id;
        },
        static_cast<uint32_t>(stacks_.size()), &added);
    if (id != kNone && added) {
      uint32_t frames = parent == kNone ? 1 : stacks_[parent].frames + 1;
      if (!stacks_.push({parent, frame_id, frames, false, 0})) return kNone;
    }
    return id;
  }

  const Trace* r_;
  Sink& out_;
  Array<uint32_t> stack_of_;
  Array<uint32_t> frame_of_func_;
  StringTable frames_;  // the labels of frames
  Array<StackEntry> stacks_;
  HashIndex stack_index_;
  Array<uint32_t> seen_order_;
  Array<char> label_;
};

}  // namespace
