// The complete tree view.
#pragma once

#include "labels.h"
#include "sink.h"
#include "trace.h"

namespace {

// The complete tree, one line per node, as spantree.text_tree writes it
// (without its header line).
void write_full_tree(Sink& out, const Trace* r) {
  for (size_t i = 0; i < r->order.size() && out.ok(); ++i) {
    uint32_t node = r->order[i];
    bool record = is_record(r, node);
    put_right(out, 10, [r, node, record](char* text, size_t size) {
      return record ? format_duration(text, size, r->duration[node]) : 0;
    });
    out.put("  ");
    bool has_share = false;
    int64_t parent_ns = 0;
    if (r->depth[node] == 0) {
      has_share = true;
      parent_ns = r->top_record_ns;  // a negative duration takes no share of it
    } else {
      uint32_t p = parent_node(r, node);
      has_share = is_record(r, p);
      parent_ns = r->duration[p];
    }
    if (record && has_share && r->duration[node] >= 0 && parent_ns > 0)
      // As Python divides 100 * duration by parent_ns: one rounding, barring ties.
      put_share(out, static_cast<double>(static_cast<long double>(r->duration[node]) * 100 /
                                         static_cast<long double>(parent_ns)));
    else
      out.repeat(' ', 6);
    out.put("  ");
    put_indent(out, r->depth[node]);
    put_label(out, r, node, 1);
    out.put('\n');
  }
}

}  // namespace
