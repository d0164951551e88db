"use strict";
// The trace viewer of spantree's HTML page. It reads the columnar trace that
// the page carries (see spantree.html.page_data), then draws a timeline with
// one lane per thread, a flame graph and a sortable summary table. Bars are
// drawn on canvases, never as one element per call, and only those that fall
// in view are visited, so a million calls stay responsive.
//
// window.spantree exposes the view's state for the page's tests.
(function () {
  const KIND = { CALL: 0, BUILTIN: 1, COROUTINE: 2, AWAIT: 3, UNKNOWN: 4, IMPORT: 5, LIBRARY: 6, RECURSION: 7 };
  const LIBRARY_CLASS = 1; // a grouped line's file is a library's (spantree.html.CLASSES)
  const AXIS = 22;          // height of the time axis above the lanes
  const LANE_HEADER = 20;   // height of a lane's thread header
  const ROW = 17;           // height of one depth level, timeline and flame graph
  const SUMMARY_ROWS = 500; // rows of the summary table shown at once
  const FONT = '11px "DejaVu Sans", "Segoe UI", Helvetica, Arial, sans-serif';

  const api = (window.spantree = { ready: false, error: null, loadMs: null });

  // ---------------------------------------------------------------- helpers

  function formatDuration(ns) {
    const magnitude = Math.abs(ns);
    if (magnitude < 1e3) return `${Math.round(ns)} ns`;
    for (const [scale, unit] of [[1e3, "us"], [1e6, "ms"]]) {
      if (magnitude < scale * 1e3) return `${(ns / scale).toFixed(magnitude >= scale * 10 ? 1 : 2)} ${unit}`;
    }
    return `${(ns / 1e9).toFixed(2)} s`;
  }

  function percent(part, whole) {
    return whole > 0 ? `${((100 * part) / whole).toFixed(1)}%` : "";
  }

  // A column as written by the renderer: little-endian bytes of a typed array, in base64.
  const ARRAY_TYPES = { u8: Uint8Array, u16: Uint16Array, u32: Uint32Array, i32: Int32Array, f64: Float64Array };
  function decodeColumn(column) {
    if (Uint8Array.fromBase64) return new ARRAY_TYPES[column.type](Uint8Array.fromBase64(column.data).buffer);
    const text = atob(column.data);
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    return new ARRAY_TYPES[column.type](bytes.buffer);
  }

  // Entries in a column without decoding it (kinds are bytes: one per entry).
  function columnLength(column) {
    const padding = column.data.endsWith("==") ? 2 : column.data.endsWith("=") ? 1 : 0;
    return (column.data.length / 4) * 3 - padding;
  }

  // First position in a row whose call, or an earlier one, ends after `time`:
  // the calls before it all ended by then. `reach` is the row's running
  // maximum of call ends, so this holds even where calls of one depth
  // overlap (a placeholder beside the call it interrupts, a clock step).
  function firstEndingAfter(reach, time) {
    let low = 0, high = reach.length;
    while (low < high) {
      const mid = (low + high) >>> 1;
      if (reach[mid] > time) high = mid;
      else low = mid + 1;
    }
    return low;
  }

  // Last position in `row` (sorted by start) whose call starts at or before `time`, or -1.
  function lastStartingBefore(thread, row, time) {
    let low = 0, high = row.length;
    while (low < high) {
      const mid = (low + high) >>> 1;
      if (thread.start[row[mid]] <= time) low = mid + 1;
      else high = mid;
    }
    return low - 1;
  }

  // ------------------------------------------------------------ the trace

  // An open-addressed table of ids by triples of 32-bit integers, for at
  // most `capacity` keys: `find(a, b, c, fresh)` returns the triple's id,
  // which is `fresh` the first time. A Map of a million string keys costs seconds.
  function tableOfIds(capacity) {
    let size = 1024;
    while (size < capacity * 2) size *= 2;
    const mask = size - 1;
    const ids = new Int32Array(size).fill(-1);
    const keys = new Int32Array(size * 3);
    return function find(a, b, c, fresh) {
      a |= 0; b |= 0; c |= 0; // compared as stored: lines may come as unsigned 32-bit
      let hash = Math.imul(a, 0x9e3779b1) ^ Math.imul(b, 0x85ebca6b) ^ Math.imul(c, 0xc2b2ae35);
      hash = Math.imul(hash ^ (hash >>> 16), 0x7feb352d);
      for (let slot = (hash ^ (hash >>> 15)) & mask; ; slot = (slot + 1) & mask) {
        const id = ids[slot];
        if (id < 0) {
          keys[slot * 3] = a; keys[slot * 3 + 1] = b; keys[slot * 3 + 2] = c;
          return (ids[slot] = fresh);
        }
        if (keys[slot * 3] === a && keys[slot * 3 + 1] === b && keys[slot * 3 + 2] === c) return id;
      }
    };
  }

  // Function ids by (name, file, line), shared by the calls and the summary's rows.
  let functionCount = 0;
  let findFunction = null;
  function functionId(name, file, line) {
    const id = findFunction(name, file, line, functionCount);
    if (id === functionCount) functionCount++;
    return id;
  }

  function loadThread(source, index) {
    const c = source.columns;
    const start = Float64Array.from(decodeColumn(c.start));
    const measured = decodeColumn(c.duration);
    const n = start.length;
    const dur = new Float64Array(n);
    for (let i = 0; i < n; i++) dur[i] = measured[i] > 0 ? measured[i] : 0;
    const thread = {
      index, name: source.name, nativeId: source.native_id, coroutines: source.coroutines, n,
      start, dur, measured, depth: decodeColumn(c.depth), nameId: decodeColumn(c.name),
      fileId: decodeColumn(c.file), line: decodeColumn(c.line), kind: decodeColumn(c.kind),
      parent: new Int32Array(n), self: new Float64Array(n), fid: new Int32Array(n),
      rows: [], total: 0, first: Infinity, last: -Infinity,
    };
    if (source.grouped) thread.grouped = loadGrouped(source.grouped);
    // Pre-order: a call's parent is the latest call one level up.
    const open = [];
    const counts = [];
    for (let i = 0; i < n; i++) {
      const d = thread.depth[i];
      open[d] = i;
      const parent = d > 0 ? open[d - 1] : -1;
      thread.parent[i] = parent;
      thread.self[i] += dur[i];
      if (parent >= 0) thread.self[parent] -= dur[i];
      else thread.total += dur[i];
      counts[d] = (counts[d] || 0) + 1;
      thread.fid[i] = functionId(thread.nameId[i], thread.fileId[i], thread.line[i]);
      if (start[i] < thread.first) thread.first = start[i];
      if (start[i] + dur[i] > thread.last) thread.last = start[i] + dur[i];
    }
    for (let i = 0; i < n; i++) {
      if (thread.self[i] < 0 || thread.kind[i] === KIND.UNKNOWN) thread.self[i] = 0;
    }
    // Each depth's calls by start (pre-order already has them so, but for
    // calls under a placeholder), with the running maximum of their ends.
    thread.rows = counts.map((count) => new Int32Array(count));
    const filled = new Array(counts.length).fill(0);
    for (let i = 0; i < n; i++) {
      const d = thread.depth[i];
      thread.rows[d][filled[d]++] = i;
    }
    thread.reach = thread.rows.map((row) => {
      if (row.some((r, k) => k > 0 && start[r] < start[row[k - 1]])) row.sort((a, b) => start[a] - start[b] || a - b);
      const reach = new Float64Array(row.length);
      let most = -Infinity;
      row.forEach((r, k) => (reach[k] = most = Math.max(most, start[r] + dur[r])));
      return reach;
    });
    return thread;
  }

  // A thread's grouped tree: its lines in pre-order, as the reader folded them.
  function loadGrouped(columns) {
    const g = Object.fromEntries(Object.entries(columns).map(([k, v]) => [k, decodeColumn(v)]));
    g.n = g.kind.length;
    g.fid = new Int32Array(g.n);
    for (let i = 0; i < g.n; i++) g.fid[i] = functionId(g.name[i], g.file[i], g.line[i]);
    return g;
  }

  function loadTrace(doc) {
    const lengths = [doc.summary, doc.grouped_summary, ...doc.threads.flatMap((t) => [t.columns, t.grouped])]
      .filter(Boolean).map((columns) => columnLength(columns.kind));
    findFunction = tableOfIds(lengths.reduce((sum, n) => sum + n, 0) + 1);
    const threads = doc.threads.map(loadThread);
    const first = Math.min(...threads.map((t) => t.first));
    const last = Math.max(...threads.map((t) => t.last));
    const records = threads.reduce((sum, t) => sum + t.n, 0);
    return {
      title: doc.title, note: doc.note, kinds: doc.kinds, strings: doc.strings, threads, records,
      first: Number.isFinite(first) ? first : 0, last: Number.isFinite(last) ? last : 0,
      summary: decodeColumns(doc.summary),
      groupedSummary: doc.grouped_summary ? decodeColumns(doc.grouped_summary) : null,
      grouped: Boolean(doc.grouped && doc.grouped_summary),
    };
  }

  function decodeColumns(columns) {
    return Object.fromEntries(Object.entries(columns).map(([k, v]) => [k, decodeColumn(v)]));
  }

  let trace = null;

  // What a call is, in words, for the tooltip and the details line.
  function describeCall(thread, r) {
    const strings = trace.strings;
    const name = strings[thread.nameId[r]];
    const kind = thread.kind[r];
    const lines = [];
    if (kind === KIND.UNKNOWN) {
      lines.push(`${name}  left no record: a call still open when the trace ended` +
        (thread.coroutines ? ", or a coroutine the threshold dropped" : ""));
      lines.push(`spans its calls: ${formatDuration(thread.dur[r])}`);
    } else {
      const where = kind === KIND.BUILTIN ? "<built-in>" : kind === KIND.AWAIT ? "suspended"
        : `${strings[thread.fileId[r]]}:${thread.line[r]}`;
      lines.push(`${name}  (${trace.kinds[kind]})`, where);
      const measured = thread.measured[r] < 0 ? ` (measured ${formatDuration(thread.measured[r])}: the clock stepped back)` : "";
      lines.push(`duration ${formatDuration(thread.dur[r])}${measured}, self ${formatDuration(thread.self[r])}`);
      const parent = thread.parent[r];
      const shares = [];
      if (parent >= 0) shares.push(`${percent(thread.dur[r], thread.dur[parent])} of ${strings[thread.nameId[parent]]}`);
      shares.push(`${percent(thread.dur[r], thread.total)} of the thread's time`);
      lines.push(`share ${shares.join(", ")}`);
    }
    lines.push(`starts at ${formatDuration(thread.start[r] - trace.first)}, thread ${thread.name} (${thread.nativeId})`);
    return lines.join("\n");
  }

  // --------------------------------------------------------------- colours

  const colours = new Map();
  function colourOf(nameId, kind) {
    const key = nameId * 8 + kind;
    let colour = colours.get(key);
    if (colour === undefined) {
      const spread = (nameId * 2654435761) >>> 0;
      const light = 62 + (spread >>> 8) % 14;
      switch (kind) {
        case KIND.COROUTINE: colour = `hsl(${185 + spread % 45}, 55%, ${light}%)`; break;
        case KIND.BUILTIN: colour = `hsl(${35 + spread % 20}, 12%, ${light + 8}%)`; break;
        case KIND.UNKNOWN: colour = "#dadada"; break;
        case KIND.IMPORT: colour = `hsl(${255 + spread % 30}, 28%, ${light + 6}%)`; break;
        case KIND.LIBRARY: colour = `hsl(${200 + spread % 30}, 14%, ${light + 6}%)`; break;
        default: colour = `hsl(${spread % 55}, 72%, ${light}%)`;
      }
      colours.set(key, colour);
    }
    return colour;
  }

  let awaitPattern = null;
  function awaitFill(ctx) {
    if (!awaitPattern) {
      const tile = document.createElement("canvas");
      tile.width = tile.height = 6;
      const t = tile.getContext("2d");
      t.fillStyle = "#eceff2";
      t.fillRect(0, 0, 6, 6);
      t.strokeStyle = "#b7c0c9";
      t.lineWidth = 1.5;
      t.beginPath();
      t.moveTo(-1, 7); t.lineTo(7, -1);
      t.moveTo(-4, 4); t.lineTo(4, -4);
      t.moveTo(2, 10); t.lineTo(10, 2);
      t.stroke();
      awaitPattern = ctx.createPattern(tile, "repeat");
    }
    return awaitPattern;
  }

  // A label cut to fit `width` pixels, or "" when nothing readable fits.
  let charWidth = 6.5;
  function fitLabel(text, width) {
    const room = Math.floor((width - 6) / charWidth);
    if (room < 3) return "";
    return text.length <= room ? text : `${text.slice(0, room - 1)}\u2026`;
  }

  function paintBar(ctx, nameId, kind, x, y, w, label) {
    ctx.fillStyle = kind === KIND.AWAIT ? awaitFill(ctx) : colourOf(nameId, kind);
    ctx.fillRect(x, y + 1, w, ROW - 2);
    if ((kind === KIND.COROUTINE || kind === KIND.UNKNOWN || kind === KIND.AWAIT) && w > 3) {
      ctx.strokeStyle = kind === KIND.COROUTINE ? "hsl(200, 55%, 32%)" : "#8f99a3";
      ctx.setLineDash(kind === KIND.UNKNOWN ? [3, 2] : []);
      ctx.strokeRect(x + 0.5, y + 1.5, w - 1, ROW - 3);
      ctx.setLineDash([]);
    }
    if (label && w > 20) {
      const text = fitLabel(label, w);
      if (text) {
        ctx.fillStyle = kind === KIND.AWAIT ? "#4a535c" : "#1d2228";
        ctx.fillText(text, x + 3, y + ROW / 2 + 0.5);
      }
    }
  }

  // A thin bar at the right edge saying which part of a taller content is in view.
  function paintScrollMark(ctx, width, top, height, scrolled, content) {
    const room = height - top;
    if (content <= room) return;
    const length = Math.max((room * room) / content, 12);
    ctx.fillStyle = "rgba(29, 34, 40, 0.35)";
    ctx.fillRect(width - 5, top + (scrolled / (content - room)) * (room - length), 4, length);
  }

  // Canvas sized to its element's width and the given CSS height, sharp on any pixel ratio.
  function fitCanvas(canvas, height) {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(canvas.clientWidth, 200);
    canvas.style.height = `${height}px`;
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
    const ctx = canvas.getContext("2d");
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.font = FONT;
    ctx.textBaseline = "middle";
    charWidth = ctx.measureText("abcdefghijklmnopqrstuvwxyz_").width / 27;
    return { ctx, width, height };
  }

  const tooltip = document.getElementById("tooltip");
  function showTooltip(event, text) {
    if (!text) {
      tooltip.hidden = true;
      return;
    }
    tooltip.textContent = text;
    tooltip.hidden = false;
    const box = tooltip.getBoundingClientRect();
    const x = event.clientX + 14 + box.width > window.innerWidth ? event.clientX - box.width - 10 : event.clientX + 14;
    const y = event.clientY + 16 + box.height > window.innerHeight ? event.clientY - box.height - 10 : event.clientY + 16;
    tooltip.style.left = `${Math.max(0, x)}px`;
    tooltip.style.top = `${Math.max(0, y)}px`;
  }

  let highlighted = -1; // function id picked in the summary table, -1 for none

  // Redraws are batched into the next animation frame.
  const pending = new Set();
  function redraw(draw) {
    if (pending.size === 0) {
      requestAnimationFrame(() => {
        const draws = [...pending];
        pending.clear();
        draws.forEach((d) => d());
      });
    }
    pending.add(draw);
  }

  // -------------------------------------------------------------- timeline

  const timeline = {
    canvas: document.getElementById("timeline"), ctx: null, width: 0, height: 0,
    t0: 0, t1: 1, scrollY: 0, lanes: [], contentHeight: 0, selected: null,
  };

  function layoutTimeline() {
    let top = 0;
    timeline.lanes = trace.threads.map((thread) => {
      const lane = { thread, top, height: LANE_HEADER + Math.max(thread.rows.length, 1) * ROW + 4 };
      top += lane.height;
      return lane;
    });
    timeline.contentHeight = AXIS + top;
    const most = Math.max(240, Math.round(window.innerHeight * 0.5));
    Object.assign(timeline, fitCanvas(timeline.canvas, Math.min(Math.max(timeline.contentHeight, 80), most)));
    scrollTimeline(0);
  }

  function fullSpan() {
    const span = trace.last - trace.first;
    return span > 0 ? [trace.first, trace.last] : [trace.first, trace.first + 1000];
  }

  function setWindow(t0, t1) {
    const [first, last] = fullSpan();
    const full = last - first;
    let span = Math.min(Math.max(t1 - t0, 10), full * 1.05);
    const slack = full * 0.025;
    t0 = Math.min(Math.max(t0, first - slack), last + slack - span);
    timeline.t0 = t0;
    timeline.t1 = t0 + span;
    redraw(drawTimeline);
  }

  function resetTimeline() {
    const [first, last] = fullSpan();
    setWindow(first, last);
    timeline.scrollY = 0;
  }

  function zoomTimeline(factor, atX) {
    const { t0, t1, width } = timeline;
    const at = t0 + ((t1 - t0) * atX) / width;
    setWindow(at - (at - t0) * factor, at + (t1 - at) * factor);
  }

  function panTimeline(pixels) {
    const shift = ((timeline.t1 - timeline.t0) * pixels) / timeline.width;
    setWindow(timeline.t0 + shift, timeline.t1 + shift);
  }

  function scrollTimeline(pixels) {
    const most = Math.max(0, timeline.contentHeight - timeline.height);
    timeline.scrollY = Math.min(Math.max(timeline.scrollY + pixels, 0), most);
    redraw(drawTimeline);
  }

  // Calls `visit(thread, r, x, y, w)` for each bar in view. Bars thinner than
  // a pixel that would land on a pixel already drawn in their row are skipped,
  // so a row costs at most its width in pixels, whatever the zoom.
  function visibleBars(visit) {
    const { t0, t1, width, height, scrollY } = timeline;
    const scale = width / (t1 - t0);
    for (const lane of timeline.lanes) {
      const laneTop = AXIS + lane.top - scrollY;
      if (laneTop >= height || laneTop + lane.height <= AXIS) continue;
      const thread = lane.thread;
      for (let d = 0; d < thread.rows.length; d++) {
        const y = laneTop + LANE_HEADER + d * ROW;
        if (y + ROW <= AXIS) continue;
        if (y >= height) break;
        const row = thread.rows[d];
        let drawnTo = -1;
        for (let i = firstEndingAfter(thread.reach[d], t0); i < row.length; i++) {
          const r = row[i];
          const s = thread.start[r];
          if (s >= t1) break;
          let x0 = (s - t0) * scale;
          let x1 = (s + thread.dur[r] - t0) * scale;
          if (x0 < 0) x0 = 0;
          if (x1 > width) x1 = width;
          if (x1 - x0 < 1) {
            if (x0 < drawnTo) continue;
            x1 = x0 + 1;
          }
          drawnTo = x1;
          visit(thread, r, x0, y, x1 - x0);
        }
      }
    }
  }

  // A step of 1, 2 or 5 times a power of ten, about `spacing` pixels apart.
  function tickStep(span, width, spacing) {
    const rough = (span * spacing) / width;
    const power = 10 ** Math.floor(Math.log10(rough));
    return [1, 2, 5, 10].map((m) => m * power).find((step) => step >= rough);
  }

  function drawTimeline() {
    const { ctx, width, height, t0, t1, scrollY } = timeline;
    ctx.clearRect(0, 0, width, height);
    const scale = width / (t1 - t0);
    const step = tickStep(t1 - t0, width, 110);
    const firstTick = Math.ceil((t0 - trace.first) / step) * step + trace.first;

    ctx.fillStyle = "#edf0f3";
    for (const lane of timeline.lanes) {
      const top = AXIS + lane.top - scrollY;
      if (top < height && top + LANE_HEADER > 0) ctx.fillRect(0, top, width, LANE_HEADER);
    }
    ctx.strokeStyle = "#eef0f2";
    ctx.beginPath();
    for (let t = firstTick; t < t1; t += step) {
      const x = Math.round((t - t0) * scale) + 0.5;
      ctx.moveTo(x, AXIS);
      ctx.lineTo(x, height);
    }
    ctx.stroke();

    const strings = trace.strings;
    const dimming = highlighted >= 0;
    visibleBars((thread, r, x, y, w) => {
      ctx.globalAlpha = dimming && thread.fid[r] !== highlighted ? 0.25 : 1;
      paintBar(ctx, thread.nameId[r], thread.kind[r], x, y, w, w > 20 ? strings[thread.nameId[r]] : "");
    });
    ctx.globalAlpha = 1;

    for (const lane of timeline.lanes) {
      const top = AXIS + lane.top - scrollY;
      if (top >= height || top + LANE_HEADER <= 0) continue;
      const t = lane.thread;
      ctx.fillStyle = "#1d2228";
      const mode = t.coroutines ? ", coroutine-aware" : "";
      const calls = t.n === 1 ? "1 call" : `${t.n.toLocaleString("en")} calls`;
      ctx.fillText(`${t.name}  (native id ${t.nativeId}), ${calls}${mode}`, 6, top + LANE_HEADER / 2);
    }

    const selected = timeline.selected;
    if (selected) {
      const { thread, r } = selected;
      const lane = timeline.lanes[thread.index];
      const y = AXIS + lane.top - scrollY + LANE_HEADER + thread.depth[r] * ROW;
      const x0 = Math.max((thread.start[r] - t0) * scale, -2);
      const x1 = Math.min((thread.start[r] + thread.dur[r] - t0) * scale, width + 2);
      if (x1 >= 0 && x0 <= width) {
        ctx.strokeStyle = "#111";
        ctx.lineWidth = 2;
        ctx.strokeRect(x0, y + 1, Math.max(x1 - x0, 2), ROW - 2);
        ctx.lineWidth = 1;
      }
    }

    paintScrollMark(ctx, width, AXIS, height, scrollY, timeline.contentHeight - AXIS);
    ctx.fillStyle = "#fff";
    ctx.fillRect(0, 0, width, AXIS);
    ctx.strokeStyle = "#c9cfd6";
    ctx.fillStyle = "#5d6670";
    ctx.beginPath();
    ctx.moveTo(0, AXIS - 0.5);
    ctx.lineTo(width, AXIS - 0.5);
    for (let t = firstTick; t < t1; t += step) {
      const x = Math.round((t - t0) * scale) + 0.5;
      ctx.moveTo(x, AXIS - 6);
      ctx.lineTo(x, AXIS);
      ctx.fillText(formatDuration(t - trace.first), x + 3, AXIS / 2 - 1);
    }
    ctx.stroke();
  }

  // The call under a point of the canvas, as {thread, r}, or null.
  function callAt(x, y) {
    if (y < AXIS) return null;
    const content = y - AXIS + timeline.scrollY;
    const lane = timeline.lanes.find((l) => content >= l.top && content < l.top + l.height);
    if (!lane) return null;
    const thread = lane.thread;
    const d = Math.floor((content - lane.top - LANE_HEADER) / ROW);
    if (d < 0 || d >= thread.rows.length) return null;
    const { t0, t1, width } = timeline;
    const perPixel = (t1 - t0) / width;
    const time = t0 + x * perPixel;
    const row = thread.rows[d];
    const reach = thread.reach[d];
    // Thin bars are drawn a pixel wide: accept a pixel either side. The
    // latest start wins, as it is drawn on top.
    for (let i = lastStartingBefore(thread, row, time + perPixel); i >= 0 && reach[i] >= time - perPixel; i--) {
      const r = row[i];
      if (thread.start[r] + thread.dur[r] >= time - perPixel) return { thread, r };
    }
    return null;
  }

  const details = document.getElementById("details");
  function selectCall(call) {
    timeline.selected = call;
    details.textContent = call ? describeCall(call.thread, call.r) : "Click a bar to see its details.";
    redraw(drawTimeline);
  }

  function zoomToCall(call) {
    const { thread, r } = call;
    const margin = Math.max(thread.dur[r] * 0.05, 50);
    setWindow(thread.start[r] - margin, thread.start[r] + thread.dur[r] + margin);
  }

  function offset(event, canvas) {
    const box = canvas.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  }

  function bindTimeline() {
    const canvas = timeline.canvas;
    let drag = null;
    canvas.addEventListener("wheel", (event) => {
      event.preventDefault();
      const [x] = offset(event, canvas);
      if (event.shiftKey) scrollTimeline(event.deltaY || event.deltaX);
      else if (Math.abs(event.deltaX) > Math.abs(event.deltaY)) panTimeline(event.deltaX);
      else zoomTimeline(Math.exp(event.deltaY * 0.002), x);
    }, { passive: false });
    canvas.addEventListener("mousedown", (event) => {
      const [x, y] = offset(event, canvas);
      drag = { x, y, t0: timeline.t0, t1: timeline.t1, scrollY: timeline.scrollY, moved: false };
      canvas.focus();
    });
    window.addEventListener("mouseup", (event) => {
      if (drag && !drag.moved && event.target === canvas) {
        const [x, y] = offset(event, canvas);
        selectCall(callAt(x, y));
      }
      drag = null;
    });
    canvas.addEventListener("mousemove", (event) => {
      const [x, y] = offset(event, canvas);
      if (drag && (drag.moved || Math.abs(x - drag.x) + Math.abs(y - drag.y) > 3)) {
        drag.moved = true;
        const shift = ((drag.t1 - drag.t0) * (drag.x - x)) / timeline.width;
        setWindow(drag.t0 + shift, drag.t1 + shift);
        timeline.scrollY = drag.scrollY;
        scrollTimeline(drag.y - y);
        showTooltip(event, "");
        return;
      }
      const call = callAt(x, y);
      canvas.style.cursor = call ? "pointer" : "default";
      showTooltip(event, call ? describeCall(call.thread, call.r) : "");
    });
    canvas.addEventListener("mouseleave", (event) => showTooltip(event, ""));
    canvas.addEventListener("dblclick", (event) => {
      const call = callAt(...offset(event, canvas));
      if (call) {
        selectCall(call);
        zoomToCall(call);
      }
    });
    const keys = {
      w: () => zoomTimeline(0.8, timeline.width / 2), "+": () => zoomTimeline(0.8, timeline.width / 2),
      "=": () => zoomTimeline(0.8, timeline.width / 2),
      s: () => zoomTimeline(1.25, timeline.width / 2), "-": () => zoomTimeline(1.25, timeline.width / 2),
      a: () => panTimeline(-timeline.width / 8), ArrowLeft: () => panTimeline(-timeline.width / 8),
      d: () => panTimeline(timeline.width / 8), ArrowRight: () => panTimeline(timeline.width / 8),
      ArrowUp: () => scrollTimeline(-ROW * 3), ArrowDown: () => scrollTimeline(ROW * 3),
      0: resetTimeline, Home: resetTimeline,
      Escape: () => selectCall(null),
    };
    const onKey = (event) => {
      const action = keys[event.key.length === 1 ? event.key.toLowerCase() : event.key];
      if (!action || event.ctrlKey || event.metaKey || event.altKey) return;
      event.preventDefault();
      action();
    };
    canvas.addEventListener("keydown", onKey);
    // Keys also work before anything has focus, but not while the flame graph has it.
    document.addEventListener("keydown", (event) => {
      if (document.activeElement === document.body || document.activeElement === null) onKey(event);
    });
  }

  // ------------------------------------------------------------ flame graph

  // Stacks merged: node 0 is everything; with several threads, each thread
  // is a node under it; calls with the same function under the same node
  // merge into one node.
  const flame = {
    canvas: document.getElementById("flame"), ctx: null, width: 0, height: 0, scrollY: 0,
    nodes: null, focus: 0, drawn: [],
  };

  // The flame graph follows the grouping (the reader's grouped tree, each
  // line a frame) or shows every frame (calls merged by stack).
  const view = { grouped: false };

  function makeNodes(most) {
    const nodes = {
      count: 0, grouped: view.grouped, parent: new Int32Array(most), fid: new Int32Array(most),
      kind: new Int8Array(most), thread: new Int32Array(most), record: new Int32Array(most),
      height: new Int32Array(most), total: new Float64Array(most), self: new Float64Array(most),
      calls: new Float64Array(most),
    };
    nodes.add = (parent, fid, kind, thread, record) => {
      const id = nodes.count++;
      nodes.parent[id] = parent; nodes.fid[id] = fid; nodes.kind[id] = kind;
      nodes.thread[id] = thread; nodes.record[id] = record;
      return id;
    };
    nodes.add(-1, -1, -1, -1, -1);
    return nodes;
  }

  function buildFlame() {
    const nodes = view.grouped ? groupedNodes() : mergedNodes();
    // Nodes are made after their parents: one backward pass adds up the
    // thread and root totals and the heights.
    const { count, parent, total, height } = nodes;
    for (let id = count - 1; id > 0; id--) {
      const p = parent[id];
      if (nodes.kind[p] < 0) total[p] += total[id];
      if (height[id] + 1 > height[p]) height[p] = height[id] + 1;
    }
    // Children as one array cut by childStart, each node's by size.
    const childStart = new Int32Array(count + 1);
    for (let id = 1; id < count; id++) childStart[parent[id] + 1]++;
    for (let id = 0; id < count; id++) childStart[id + 1] += childStart[id];
    const childList = new Int32Array(Math.max(count - 1, 0));
    const filled = childStart.slice(0, count);
    for (let id = 1; id < count; id++) childList[filled[parent[id]]++] = id;
    const bySize = (a, b) => total[b] - total[a];
    for (let id = 0; id < count; id++) {
      if (childStart[id + 1] - childStart[id] > 1) childList.subarray(childStart[id], childStart[id + 1]).sort(bySize);
    }
    Object.assign(nodes, { childStart, childList });
    flame.nodes = nodes;
  }

  // Every frame: calls with the same function under the same node merge.
  function mergedNodes() {
    const several = trace.threads.length > 1;
    // At most one node per call, per thread and the root.
    const most = trace.records + trace.threads.length + 1;
    const nodes = makeNodes(most);
    const findNode = tableOfIds(most);
    function child(parent, fid, kind, thread, record) {
      const id = findNode(parent, fid, 0, nodes.count);
      return id === nodes.count ? nodes.add(parent, fid, kind, thread, record) : id;
    }
    for (const thread of trace.threads) {
      const top = several ? nodes.add(0, -1, -1, thread.index, -1) : 0;
      const path = [];
      const { depth, fid: fids, kind: kinds, dur, self } = thread;
      for (let r = 0; r < thread.n; r++) {
        const d = depth[r];
        const node = child(d > 0 ? path[d - 1] : top, fids[r], kinds[r], thread.index, r);
        if (kinds[r] === KIND.COROUTINE) nodes.kind[node] = KIND.COROUTINE;
        nodes.total[node] += dur[r];
        nodes.self[node] += self[r];
        nodes.calls[node] += 1;
        path[d] = node;
      }
    }
    return nodes;
  }

  // Grouped: one node per line of each thread's grouped tree, as the reader folded it.
  function groupedNodes() {
    const several = trace.threads.length > 1;
    const nodes = makeNodes(trace.threads.reduce((sum, t) => sum + t.grouped.n + 1, 1));
    for (const thread of trace.threads) {
      const top = several ? nodes.add(0, -1, -1, thread.index, -1) : 0;
      const path = [];
      const g = thread.grouped;
      for (let r = 0; r < g.n; r++) {
        const d = g.depth[r];
        const node = nodes.add(d > 0 ? path[d - 1] : top, g.fid[r], g.kind[r], thread.index, r);
        nodes.total[node] = Math.max(g.total[r], 0);
        nodes.self[node] = Math.max(g.self[r], 0);
        nodes.calls[node] = g.calls[r];
        path[d] = node;
      }
    }
    return nodes;
  }

  // The page strings of a frame's name and file, and its line.
  function frameSource(id) {
    const n = flame.nodes;
    const thread = trace.threads[n.thread[id]];
    const r = n.record[id];
    if (n.grouped) return { name: thread.grouped.name[r], file: thread.grouped.file[r], line: thread.grouped.line[r] };
    return { name: thread.nameId[r], file: thread.fileId[r], line: thread.line[r] };
  }

  function frameLabel(id) {
    const n = flame.nodes;
    if (id === 0) return trace.threads.length > 1 ? `all ${trace.threads.length} threads` : "all";
    const thread = trace.threads[n.thread[id]];
    if (n.record[id] < 0) return `${thread.name} (${thread.nativeId})`;
    const name = trace.strings[frameSource(id).name];
    if (n.kind[id] === KIND.RECURSION) {
      return `${name}  recursive, ${thread.grouped.deep[n.record[id]].toLocaleString("en")} deep`;
    }
    return name;
  }

  function frameWhere(id) {
    const n = flame.nodes;
    const r = n.record[id];
    if (r < 0) return id === 0 ? "" : "thread";
    switch (n.kind[id]) {
      case KIND.BUILTIN: return "<built-in>";
      case KIND.AWAIT: return "suspended";
      case KIND.UNKNOWN: return "left no record";
    }
    const { file, line } = frameSource(id);
    if (file < 0 || !trace.strings[file]) return "";
    return n.kind[id] === KIND.IMPORT ? trace.strings[file] : `${trace.strings[file]}:${line}`;
  }

  // What a grouped line folds away: the frames it hides and the hottest of them.
  function frameHides(id) {
    const n = flame.nodes;
    if (!n.grouped || n.record[id] < 0) return "";
    const g = trace.threads[n.thread[id]].grouped;
    const r = n.record[id];
    if (!g.hidden[r]) return "";
    const frames = g.hidden[r] === 1 ? "1 frame" : `${g.hidden[r].toLocaleString("en")} frames`;
    if (g.hot_name[r] < 0) return `hides ${frames}`;
    const where = g.hot_file[r] >= 0 ? ` (${trace.strings[g.hot_file[r]]}:${g.hot_line[r]})` : "";
    return `hides ${frames}; the hottest: ${trace.strings[g.hot_name[r]]}${where}`;
  }

  // The colour a frame is painted in: a library's calls muted in the grouped graph.
  function frameKind(id) {
    const n = flame.nodes;
    const kind = n.kind[id];
    if (!n.grouped) return kind;
    if (kind === KIND.RECURSION) return KIND.CALL;
    const g = trace.threads[n.thread[id]].grouped;
    return kind === KIND.CALL && g.class[n.record[id]] === LIBRARY_CLASS ? KIND.LIBRARY : kind;
  }

  function pathTo(id) {
    const path = [];
    for (let node = id; node >= 0; node = flame.nodes.parent[node]) path.push(node);
    return path.reverse();
  }

  function layoutFlame() {
    const rows = flame.nodes.height[0] + 1;
    const most = Math.max(200, Math.round(window.innerHeight * 0.45));
    Object.assign(flame, fitCanvas(flame.canvas, Math.min(Math.max(rows * ROW, 60), most)));
    scrollFlame(0);
  }

  function scrollFlame(pixels) {
    const rows = pathTo(flame.focus).length + flame.nodes.height[flame.focus];
    const most = Math.max(0, rows * ROW - flame.height);
    flame.scrollY = Math.min(Math.max(flame.scrollY + pixels, 0), most);
    redraw(drawFlame);
  }

  function drawFlame() {
    const { ctx, width, height, scrollY, focus } = flame;
    const nodes = flame.nodes;
    ctx.clearRect(0, 0, width, height);
    flame.drawn = [];
    const dimming = highlighted >= 0;
    const place = (id, x, w, row, faded) => {
      const y = row * ROW - scrollY;
      if (y + ROW <= 0 || y >= height) return;
      const kind = nodes.kind[id];
      ctx.globalAlpha = faded ? 0.5 : dimming && nodes.fid[id] !== highlighted ? 0.25 : 1;
      if (kind < 0) {
        ctx.fillStyle = "#cfd6de";
        ctx.fillRect(x, y + 1, w, ROW - 2);
        ctx.fillStyle = "#1d2228";
        const text = fitLabel(`${frameLabel(id)}  ${formatDuration(nodes.total[id])}`, w);
        if (text) ctx.fillText(text, x + 3, y + ROW / 2 + 0.5);
      } else {
        paintBar(ctx, frameSource(id).name, frameKind(id), x, y, w, w > 20 ? frameLabel(id) : "");
      }
      flame.drawn.push({ id, x, y, w });
    };
    const ancestors = pathTo(focus);
    ancestors.pop();
    ancestors.forEach((id, row) => place(id, 0, width, row, true));
    const scale = nodes.total[focus] > 0 ? width / nodes.total[focus] : 0;
    const stack = [[focus, 0, width, ancestors.length]];
    while (stack.length) {
      const [id, x, w, row] = stack.pop();
      place(id, x, w, row, false);
      if ((row + 1) * ROW - scrollY >= height) continue;
      let next = x;
      for (let c = nodes.childStart[id]; c < nodes.childStart[id + 1]; c++) {
        const child = nodes.childList[c];
        const cw = nodes.total[child] * scale;
        if (cw >= 0.5) stack.push([child, next, cw, row + 1]);
        next += cw;
      }
    }
    ctx.globalAlpha = 1;
    paintScrollMark(ctx, width, 0, height, scrollY, (ancestors.length + 1 + nodes.height[focus]) * ROW);
  }

  function frameAt(x, y) {
    const hit = flame.drawn.find((f) => x >= f.x && x < f.x + Math.max(f.w, 1) && y >= f.y && y < f.y + ROW);
    return hit ? hit.id : -1;
  }

  function describeFrame(id) {
    const n = flame.nodes;
    const lines = [n.kind[id] >= 0 ? `${frameLabel(id)}  (${trace.kinds[n.kind[id]]})` : frameLabel(id)];
    if (frameWhere(id)) lines.push(frameWhere(id));
    if (frameHides(id)) lines.push(frameHides(id));
    lines.push(`total ${formatDuration(n.total[id])}, ${percent(n.total[id], n.total[0])} of all` +
      (flame.focus !== 0 ? `, ${percent(n.total[id], n.total[flame.focus])} of the zoomed frame` : ""));
    if (id !== 0 && n.record[id] >= 0) {
      const calls = n.calls[id] === 1 ? "1 call" : `${n.calls[id].toLocaleString("en")} calls`;
      lines.push(`self ${formatDuration(n.self[id])}, ${calls} ${n.grouped ? "on this line" : "merged"}`);
    }
    return lines.join("\n");
  }

  const flamePath = document.getElementById("flame-path");
  function zoomFlame(id) {
    flame.focus = id;
    flame.scrollY = 0;
    flamePath.replaceChildren(...pathTo(id).map((node) => {
      const button = document.createElement("button");
      button.textContent = frameLabel(node);
      button.title = describeFrame(node);
      button.addEventListener("click", () => zoomFlame(node));
      return button;
    }));
    scrollFlame(0);
  }

  function bindFlame() {
    const canvas = flame.canvas;
    canvas.addEventListener("click", (event) => {
      const id = frameAt(...offset(event, canvas));
      if (id >= 0 && id !== flame.focus) zoomFlame(id);
    });
    canvas.addEventListener("mousemove", (event) => {
      const id = frameAt(...offset(event, canvas));
      canvas.style.cursor = id >= 0 ? "pointer" : "default";
      showTooltip(event, id >= 0 ? describeFrame(id) : "");
    });
    canvas.addEventListener("mouseleave", (event) => showTooltip(event, ""));
    canvas.addEventListener("wheel", (event) => {
      event.preventDefault();
      scrollFlame(event.deltaY);
    }, { passive: false });
    canvas.addEventListener("keydown", (event) => {
      if (event.key === "Escape" || event.key === "0") zoomFlame(0);
      else if (event.key === "ArrowUp") scrollFlame(-ROW * 3);
      else if (event.key === "ArrowDown") scrollFlame(ROW * 3);
      else return;
      event.preventDefault();
    });
  }

  // --------------------------------------------------------------- summary

  const summary = { rows: [], key: "self", ascending: false, selfTotal: 0 };

  function buildSummary() {
    const s = view.grouped ? trace.groupedSummary : trace.summary;
    const strings = trace.strings;
    const n = s.calls.length;
    summary.rows = [];
    summary.selfTotal = 0;
    for (let i = 0; i < n; i++) summary.selfTotal += s.self[i];
    for (let i = 0; i < n; i++) {
      const kind = s.kind[i];
      const file = strings[s.file[i]];
      summary.rows.push({
        name: strings[s.name[i]], kind, file,
        where: kind === KIND.BUILTIN ? "<built-in>" : kind === KIND.AWAIT ? "(suspended)"
          : kind === KIND.IMPORT ? file : `${file}:${s.line[i]}`,
        calls: s.calls[i], total: s.total[i], self: s.self[i], longest: s.longest[i],
        share: summary.selfTotal > 0 ? s.self[i] / summary.selfTotal : 0,
        fid: functionId(s.name[i], s.file[i], s.line[i]),
      });
    }
  }

  const table = document.getElementById("summary");
  function renderSummary() {
    const { key, ascending } = summary;
    const sign = ascending ? 1 : -1;
    const byText = key === "name" || key === "where";
    summary.rows.sort((a, b) => {
      const order = byText ? a[key].localeCompare(b[key]) : a[key] - b[key];
      return order !== 0 ? sign * order : b.self - a.self;
    });
    for (const th of table.tHead.rows[0].cells) {
      th.classList.toggle("sorted", th.dataset.key === key);
      th.classList.toggle("ascending", th.dataset.key === key && ascending);
    }
    const shown = summary.rows.slice(0, SUMMARY_ROWS);
    const body = document.createElement("tbody");
    for (const row of shown) {
      const tr = body.insertRow();
      tr.dataset.fid = row.fid;
      tr.classList.toggle("highlighted", row.fid === highlighted);
      const cells = [
        [row.name, "name"], [row.where, "where"], [row.calls.toLocaleString("en"), "num"],
        [formatDuration(row.total), "num"], [formatDuration(row.self), "num"],
        [formatDuration(row.longest), "num"], [percent(row.self, summary.selfTotal), "num"],
      ];
      for (const [text, kind] of cells) {
        const td = tr.insertCell();
        td.textContent = text;
        td.className = kind;
      }
      tr.cells[0].title = row.name;
      tr.cells[1].title = row.kind === KIND.BUILTIN || row.kind === KIND.AWAIT ? row.where : row.file;
    }
    table.tBodies[0].replaceWith(body);
    const note = document.getElementById("summary-note");
    const left = summary.rows.slice(SUMMARY_ROWS);
    if (left.length) {
      const leftSelf = left.reduce((sum, row) => sum + row.self, 0);
      note.textContent = `${SUMMARY_ROWS} of ${summary.rows.length.toLocaleString("en")} functions shown; ` +
        `the other ${left.length.toLocaleString("en")} hold ${formatDuration(leftSelf)} ` +
        `(${percent(leftSelf, summary.selfTotal)}) of self time.`;
    } else {
      note.textContent = `${summary.rows.length.toLocaleString("en")} functions, ` +
        `${formatDuration(summary.selfTotal)} of self time in all. Share is the part of it each holds.`;
    }
  }

  function bindSummary() {
    table.tHead.addEventListener("click", (event) => {
      const key = event.target.dataset && event.target.dataset.key;
      if (!key) return;
      if (summary.key === key) summary.ascending = !summary.ascending;
      else Object.assign(summary, { key, ascending: key === "name" || key === "where" });
      renderSummary();
    });
    table.addEventListener("click", (event) => {
      const tr = event.target.closest("tbody tr");
      if (!tr) return;
      const fid = Number(tr.dataset.fid);
      highlighted = highlighted === fid ? -1 : fid;
      for (const row of table.tBodies[0].rows) row.classList.toggle("highlighted", Number(row.dataset.fid) === highlighted);
      redraw(drawTimeline);
      redraw(drawFlame);
    });
  }

  // ---------------------------------------------------------------- grouping

  // The switch between the grouped flame graph and summary and every frame;
  // the timeline always shows every call.
  const everyFrame = document.getElementById("every-frame");
  function showGrouped(grouped) {
    view.grouped = grouped && Boolean(trace.groupedSummary);
    everyFrame.checked = !view.grouped;
    buildFlame();
    layoutFlame();
    zoomFlame(0);
    buildSummary();
    renderSummary();
  }

  // ------------------------------------------------------------------ start

  // Milliseconds each step of opening the page took, for the tests' figures.
  const timings = (api.timings = {});
  function timed(step, work) {
    const began = performance.now();
    const result = work();
    timings[step] = performance.now() - began;
    return result;
  }

  function start() {
    const doc = timed("parse", () => JSON.parse(document.getElementById("spantree-data").textContent));
    trace = timed("load", () => loadTrace(doc));
    document.getElementById("title").textContent = trace.title;
    const threads = trace.threads.length === 1 ? "1 thread" : `${trace.threads.length} threads`;
    const calls = trace.records === 1 ? "1 call" : `${trace.records.toLocaleString("en")} calls`;
    const about = [`${calls} in ${threads}`];
    if (trace.records) about.push(`${formatDuration(trace.last - trace.first)} of wall-clock time`);
    else about.push("the trace holds no records");
    if (trace.note) about.push(trace.note);
    document.getElementById("about").textContent = about.join(", ");

    view.grouped = trace.grouped;
    everyFrame.checked = !view.grouped;
    everyFrame.disabled = !trace.groupedSummary;
    timed("flame", buildFlame);
    timed("summary", () => {
      buildSummary();
      renderSummary();
    });
    layoutTimeline();
    resetTimeline();
    layoutFlame();
    zoomFlame(0);
    bindTimeline();
    bindFlame();
    bindSummary();
    everyFrame.addEventListener("change", () => showGrouped(!everyFrame.checked));
    window.addEventListener("resize", () => {
      layoutTimeline();
      layoutFlame();
      redraw(drawTimeline);
    });
  }

  // What the page's tests read and drive.
  Object.assign(api, {
    formatDuration,
    timeline: {
      view: () => ({ t0: timeline.t0 - trace.first, t1: timeline.t1 - trace.first, scrollY: timeline.scrollY,
        width: timeline.width, height: timeline.height }),
      lanes: () => timeline.lanes.map((lane) => ({ name: lane.thread.name, nativeId: lane.thread.nativeId,
        calls: lane.thread.n, depth: lane.thread.rows.length, top: AXIS + lane.top, height: lane.height })),
      bars: () => {
        const bars = [];
        visibleBars((thread, r, x, y, w) => bars.push({
          lane: thread.index, name: trace.strings[thread.nameId[r]], kind: trace.kinds[thread.kind[r]],
          depth: thread.depth[r], self: thread.self[r], x, y, w,
          dimmed: highlighted >= 0 && thread.fid[r] !== highlighted,
        }));
        return bars;
      },
      selected: () => (timeline.selected ? describeCall(timeline.selected.thread, timeline.selected.r) : null),
      draw: drawTimeline,
    },
    flame: {
      focus: () => ({ label: frameLabel(flame.focus), path: pathTo(flame.focus).map(frameLabel) }),
      grouped: () => flame.nodes.grouped,
      describe: (label) => {
        const hit = flame.drawn.find(({ id }) => frameLabel(id) === label);
        return hit ? describeFrame(hit.id) : null;
      },
      frames: () => flame.drawn.map(({ id, x, y, w }) => ({
        label: frameLabel(id), kind: id && flame.nodes.kind[id] >= 0 ? trace.kinds[flame.nodes.kind[id]] : "",
        total: flame.nodes.total[id], self: flame.nodes.self[id], calls: flame.nodes.calls[id], x, y, w,
      })),
      draw: drawFlame,
    },
  });

  try {
    start();
    timed("draw", () => {
      drawTimeline();
      drawFlame();
    });
    api.ready = true;
  } catch (error) {
    api.error = String(error && error.stack ? error.stack : error);
    const failure = document.getElementById("failure");
    failure.hidden = false;
    failure.textContent = `This page could not show the trace: ${error}`;
  }
  api.loadMs = performance.now();
})();
