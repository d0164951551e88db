// What the text views write about a node: its label, indentation and share.
#pragma once

#include "sink.h"
#include "string_table.h"
#include "trace.h"

namespace {

StringView basename_of(StringView file) {
  size_t i = file.n;
  while (i > 0 && file.p[i - 1] != '/') --i;
  return {file.p + i, file.n - i};
}

void put_string(Sink& out, const Trace* r, uint32_t id) {
  StringView s = r->strings[id];
  put_text(out, s.p, s.n);
}

void put_location(Sink& out, const Trace* r, uint32_t node) {
  StringView base = basename_of(r->strings[r->file[node]]);
  put_text(out, base.p, base.n);
  out.put(':');
  out.number(r->line[node]);
}

// The label of a node; `count` above one adds " ×count" after the name.
void put_label(Sink& out, const Trace* r, uint32_t node, size_t count) {
  uint8_t kind = r->kind[node];
  if (kind == kPlaceholder) {
    out.put("[unknown]  #");
    out.number(node_index(r, node));
    out.put(r->coroutines ? " left no record (still open at the end, or a coroutine dropped, or a call "
                            "dropped as the clock stepped back)"
                          : " left no record (still open at the end, or dropped as the clock stepped back)");
    return;
  }
  if (kind == kAwait)
    out.put("[await]");
  else
    put_string(out, r, r->name[node]);
  if (count > 1) {
    out.put(" \xC3\x97");
    out.grouped(count);
  }
  switch (kind) {
    case kAwait:
      out.put("  (suspended)");
      break;
    case kBuiltin:
      out.put("  <built-in>");
      break;
    default:
      out.put("  ");
      put_location(out, r, node);
      if (kind == kCoroutine) out.put("  (coroutine)");
  }
}

// Indentation stops growing at kMaxIndent levels; deeper lines show their depth.
constexpr uint32_t kMaxIndent = 40;

void put_indent(Sink& out, uint32_t depth) {
  if (depth <= kMaxIndent) {
    out.repeat(' ', 2 * depth);
    return;
  }
  out.repeat(' ', 2 * kMaxIndent);
  out.put('[');
  out.number(depth);
  out.put("] ");
}

void put_share(Sink& out, double share) {
  put_right(out, 6, [share](char* text, size_t size) {
    return static_cast<size_t>(snprintf(text, size, "%.1f%%", share));
  });
}

}  // namespace
