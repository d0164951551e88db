// The Chrome Trace Event view: one complete ("X") event object per record.
#pragma once

#include "common/record_format.h"

#include "sink.h"
#include "trace.h"

namespace {

// ns as microseconds with up to three decimals, exactly.
void put_micros(Sink& out, uint64_t ns) {
  out.unsigned_number(ns / 1000);
  unsigned frac = static_cast<unsigned>(ns % 1000);
  if (!frac) return;
  char text[4] = {'.', static_cast<char>('0' + frac / 100), static_cast<char>('0' + frac / 10 % 10),
                  static_cast<char>('0' + frac % 10)};
  size_t n = 4;
  while (text[n - 1] == '0') --n;
  out.put(text, n);
}

// Writes the records in pre-order as comma-separated event objects, a
// comma before the first too unless `first`; returns whether it wrote any.
// With `indices`, each event's args start with its record's index and its
// parent's.
bool write_chrome(Sink& out, const Trace* r, long long pid, long long tid, int64_t base_ns,
                  bool first, bool indices) {
  char ids[64];
  int ids_n = snprintf(ids, sizeof ids, ",\"pid\":%lld,\"tid\":%lld", pid, tid);
  for (size_t i = 0; i < r->order.size() && out.ok(); ++i) {
    uint32_t node = r->order[i];
    if (!is_record(r, node)) continue;
    out.put(first ? "{\"ph\":\"X\",\"name\":\"" : ",\n{\"ph\":\"X\",\"name\":\"");
    first = false;
    const Function& fn = function_of(r, node);
    StringView name = r->strings[fn.name];
    put_json(out, name.p, name.n);
    out.put("\",\"cat\":\"");
    out.put(kKindNames[r->kind[node]]);
    out.put("\",\"ts\":");
    int64_t start = r->start[node];
    if (start >= base_ns) {
      put_micros(out, static_cast<uint64_t>(start) - static_cast<uint64_t>(base_ns));
    } else {
      out.put('-');
      put_micros(out, static_cast<uint64_t>(base_ns) - static_cast<uint64_t>(start));
    }
    out.put(",\"dur\":");
    put_micros(out, static_cast<uint64_t>(clamped(r->duration[node])));
    out.put(ids, static_cast<size_t>(ids_n));
    uint8_t kind = r->kind[node];
    bool located = kind == kCall || kind == kCoroutine;
    bool negative = r->duration[node] < 0;
    if (indices || located || negative) {
      out.put(",\"args\":{");
      const char* comma = "";
      if (indices) {
        out.put("\"index\":");
        out.number(node);
        out.put(",\"parent\":");
        out.number(r->parent[node]);
        comma = ",";
      }
      if (located) {
        out.put(comma);
        out.put("\"file\":\"");
        StringView file = r->strings[fn.file];
        put_json(out, file.p, file.n);
        out.put("\",\"line\":");
        out.number(fn.line);
        comma = ",";
      }
      if (negative) {
        out.put(comma);
        out.put("\"duration_ns\":");
        out.number(r->duration[node]);
      }
      out.put('}');
    }
    out.put('}');
  }
  return !first;
}

}  // namespace
