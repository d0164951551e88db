// The Chrome Trace Event view: one complete ("X") event object per record.
#pragma once

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

const char* const kCategory[] = {"", "call", "built-in", "coroutine", "await", ""};

bool write_chrome(Sink& out, const Trace* r, long long pid, long long tid, int64_t base_ns,
                  bool first) {
  char ids[64];
  int ids_n = snprintf(ids, sizeof ids, ",\"pid\":%lld,\"tid\":%lld", pid, tid);
  for (size_t i = 0; i < r->order.size() && out.ok(); ++i) {
    uint32_t node = r->order[i];
    if (!is_record(r, node)) continue;
    out.put(first ? "{\"ph\":\"X\",\"name\":\"" : ",\n{\"ph\":\"X\",\"name\":\"");
    first = false;
    StringView name = r->strings[r->name[node]];
    put_json(out, name.p, name.n);
    out.put("\",\"cat\":\"");
    out.put(kCategory[r->kind[node]]);
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
    if (located || r->duration[node] < 0) {
      out.put(",\"args\":{");
      if (located) {
        out.put("\"file\":\"");
        StringView file = r->strings[r->file[node]];
        put_json(out, file.p, file.n);
        out.put("\",\"line\":");
        out.number(r->line[node]);
      }
      if (r->duration[node] < 0) {
        out.put(located ? ",\"duration_ns\":" : "\"duration_ns\":");
        out.number(r->duration[node]);
      }
      out.put('}');
    }
    out.put('}');
  }
  return !first;
}

}  // namespace
