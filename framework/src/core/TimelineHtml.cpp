/*
 * TimelineHtml.cpp - a recording as one self-contained page: inline style
 * and script, no network. The events travel as JSON in a non-executed
 * script element; the page's script builds an SVG of lanes from them:
 * one per processor (callbacks by nesting, the device-wide lock, spin
 * locks), one of requests from arrival to completion, one per USB pipe,
 * and a marker wherever the verifier reported.
 *
 * The x-axis is the order of the events: every event one unit, and a gap
 * wherever virtual time moves, labelled with the new time; virtual time
 * does not move while tasks run, so the order within one time is the
 * step. When the script has drawn the lanes it sets data-lanes (the
 * processor lanes) on #timeline; when it fails it sets data-error.
 */
#include <cstdio>
#include <fstream>

#include "core/Timeline.h"

namespace fx {

namespace {

/* Text inside an element or an attribute. */
std::string EscapeHtml(const std::string &Text)
{
    std::string Out;
    for (char C : Text) {
        switch (C) {
        case '&': Out += "&amp;"; break;
        case '<': Out += "&lt;"; break;
        case '>': Out += "&gt;"; break;
        case '"': Out += "&quot;"; break;
        case '\'': Out += "&#39;"; break;
        default: Out += C;
        }
    }
    return Out;
}

/* A JSON string that is also safe inside a script element: no '<', '>'
   or '&' appears in it (so no "</script>" can end the element early). */
void AppendJsonString(std::string &Out, const std::string &Text)
{
    Out += '"';
    for (char C : Text) {
        auto U = static_cast<unsigned char>(C);
        if (C == '"' || C == '\\') {
            Out += '\\';
            Out += C;
        } else if (U < 0x20 || C == '<' || C == '>' || C == '&') {
            char Buf[8];
            std::snprintf(Buf, sizeof Buf, "\\u%04x", static_cast<unsigned>(U));
            Out += Buf;
        } else {
            Out += C;
        }
    }
    Out += '"';
}

const char kStyle[] = R"CSS(
body { font: 13px sans-serif; margin: 0; color: #222; background: #fafafa; }
header { padding: 8px 12px; background: #2d3e50; color: #fff; }
header h1 { font-size: 16px; margin: 0 0 4px 0; }
header .summary { font-size: 12px; opacity: 0.85; }
.controls { padding: 6px 12px; }
.controls button { margin-right: 4px; }
#chart { overflow: auto; border-top: 1px solid #ccc; border-bottom: 1px solid #ccc; background: #fff; max-height: 70vh; }
#details { margin: 6px 12px; padding: 6px; background: #fff; border: 1px solid #ddd; min-height: 2em; white-space: pre-wrap; }
#reports { margin: 6px 12px; }
#reports li { color: #a00; }
.error { color: #a00; margin: 12px; }
svg text { font: 11px sans-serif; pointer-events: none; }
svg .label { font-weight: bold; }
svg .tick { stroke: #ddd; }
svg .ticktext { fill: #666; font-size: 10px; }
svg .lanebg0 { fill: #f4f6f8; }
svg .lanebg1 { fill: #ffffff; }
svg .cb-passive { fill: #8fb8e8; stroke: #4a78b0; }
svg .cb-dispatch { fill: #f3b87a; stroke: #b8702a; }
svg .cb-other { fill: #d0d0d0; stroke: #888; }
svg .lock-spin { fill: #c6a3e0; stroke: #7a4aa0; }
svg .lock-device { fill: #a8a8a8; stroke: #555; }
svg .request { fill: #a6dca0; stroke: #4a9a40; }
svg .transfer { fill: #8fd6d0; stroke: #2a8a80; }
svg .open { stroke-dasharray: 3 2; }
svg .report { stroke: #d00; stroke-width: 2; }
svg .reporthead { fill: #d00; }
)CSS";

const char kScript[] = R"JS(
(function () {
  'use strict';
  var root = document.getElementById('timeline');
  function fail(e) {
    root.setAttribute('data-error', String((e && e.message) || e));
    var p = document.createElement('pre');
    p.className = 'error';
    p.textContent = 'The timeline could not be drawn: ' + String((e && e.stack) || e);
    root.appendChild(p);
  }
  window.addEventListener('error', function (ev) { fail(ev.error || ev.message); });
  var SVG = 'http://www.w3.org/2000/svg';
  var CB = 0, CE = 1, LA = 2, LR = 3, RA = 4, RC = 5, TS = 6, TC = 7, RP = 8;
  var ROW = 18, LEFT = 170, TOP = 24, GAP = 3, MAXROWS = 16;
  var IRQL = { 0: 'PASSIVE_LEVEL', 1: 'APC_LEVEL', 2: 'DISPATCH_LEVEL' };

  function fmtTime(t) { return (t / 10000).toFixed(4) + ' ms'; }

  function build(d) {
    var ev = d.events, n = ev.length, pos = new Array(n), ticks = [], changes = 0, i;
    for (i = 0; i < n; i++) {
      if (i === 0 || ev[i][1] !== ev[i - 1][1]) { changes++; ticks.push({ i: i, t: ev[i][1] }); }
      pos[i] = i + changes * GAP;
    }
    var cpus = Math.max(1, d.processors);
    for (i = 0; i < n; i++) if (ev[i][3] + 1 > cpus && (ev[i][0] === CB || ev[i][0] === LA)) cpus = ev[i][3] + 1;
    var lanes = {}, order = [];
    function lane(key, title, cls) {
      if (!lanes[key]) { lanes[key] = { key: key, title: title, cls: cls, spans: [] }; order.push(key); }
      return lanes[key];
    }
    for (i = 0; i < cpus; i++) lane('cpu' + i, 'processor ' + i, 'processor');
    function cpuLane(c) { return c < 0 ? lane('world', "the world's thread", 'world') : lane('cpu' + c, 'processor ' + c, 'processor'); }
    var openCb = {}, openLock = {}, openReq = {}, openXfer = {}, cbStack = {}, lockStack = {}, reports = [];
    function when(e) { return fmtTime(e[1]) + ', step ' + e[2]; }
    for (i = 0; i < n; i++) {
      var e = ev[i], k = e[0], L, s, st;
      if (k === CB) {
        L = cpuLane(e[3]);
        st = cbStack[L.key] = cbStack[L.key] || [];
        s = { b: i, e: -1, sub: 'cb', row: st.length, label: e[7],
              cls: e[4] === 0 ? 'cb-passive' : e[4] === 2 ? 'cb-dispatch' : 'cb-other',
              tip: e[7] + ' at ' + (IRQL[e[4]] || 'IRQL ' + e[4]) + (e[5] ? ', under the device-wide lock' : '') +
                   '\ncalled from ' + e[8] + '\nbegins ' + when(e) + ' on ' + L.title };
        st.push(e[6]);
        L.spans.push(s);
        openCb[e[6]] = { s: s, L: L };
      } else if (k === CE) {
        var o = openCb[e[6]];
        if (o) {
          o.s.e = i;
          o.s.tip += '\nends ' + when(e);
          st = cbStack[o.L.key];
          st.splice(st.lastIndexOf(e[6]), 1);
          delete openCb[e[6]];
        }
      } else if (k === LA) {
        L = cpuLane(e[3]);
        var key = e[6] + (e[5] ? 'd' : 's');
        if (e[5]) {
          s = { b: i, e: -1, sub: 'dev', row: 0, label: 'device-wide lock', cls: 'lock-device' };
        } else {
          st = lockStack[L.key] = lockStack[L.key] || [];
          s = { b: i, e: -1, sub: 'spin', row: st.length, label: e[7], cls: 'lock-spin' };
          st.push(key);
        }
        s.tip = e[7] + '\nacquired at ' + e[8] + '\n' + when(e) + ' on ' + L.title;
        L.spans.push(s);
        openLock[key] = { s: s, L: L };
      } else if (k === LR) {
        var lk = e[6] + (e[5] ? 'd' : 's'), ol = openLock[lk];
        if (ol) {
          ol.s.e = i;
          ol.s.tip += '\nreleased ' + when(e);
          if (!e[5]) { st = lockStack[ol.L.key]; st.splice(st.lastIndexOf(lk), 1); }
          delete openLock[lk];
        }
      } else if (k === RA) {
        s = { b: i, e: -1, sub: 'pack', label: e[7], cls: 'request', tip: 'request ' + e[7] + '\narrives ' + when(e) };
        lane('requests', 'requests', 'requests').spans.push(s);
        openReq[e[6]] = s;
      } else if (k === RC) {
        s = openReq[e[6]];
        if (s) { s.e = i; s.tip += '\ncompleted ' + when(e) + ' with status ' + e[8]; s.label += ' ' + e[8]; delete openReq[e[6]]; }
      } else if (k === TS) {
        s = { b: i, e: -1, sub: 'pack', label: e[8], cls: 'transfer', tip: e[7] + ': ' + e[8] + '\nsubmitted ' + when(e) };
        lane('pipe:' + e[7], 'USB ' + e[7], 'pipe').spans.push(s);
        openXfer[e[6]] = s;
      } else if (k === TC) {
        s = openXfer[e[6]];
        if (s) { s.e = i; s.tip += '\ncompleted ' + when(e) + ': ' + e[8]; delete openXfer[e[6]]; }
      } else if (k === RP) {
        reports.push({ i: i, tip: e[7] + ': ' + e[8] + '\n' + when(e) + (e[3] >= 0 ? ' on processor ' + e[3] : '') });
      }
    }
    /* Rows: a processor lane has its callbacks (by nesting), the device-wide
       lock, then its spin locks (by nesting); the others pack their spans. */
    order.forEach(function (key) {
      var L = lanes[key], cb = 1, spin = 1;
      if (L.cls === 'processor' || L.cls === 'world') {
        L.spans.forEach(function (s) {
          if (s.sub === 'cb') cb = Math.max(cb, s.row + 1);
          if (s.sub === 'spin') spin = Math.max(spin, s.row + 1);
        });
        L.spans.forEach(function (s) { if (s.sub === 'dev') s.row = cb; if (s.sub === 'spin') s.row += cb + 1; });
        L.rows = cb + 1 + spin;
      } else {
        var ends = [];
        L.spans.forEach(function (s) {
          var end = s.e < 0 ? Infinity : s.e, r;
          for (r = 0; r < ends.length && ends[r] >= s.b; r++) {}
          if (r === ends.length && ends.length >= MAXROWS) r = MAXROWS - 1;
          ends[r] = end;
          s.row = r;
        });
        L.rows = Math.max(1, ends.length);
      }
    });
    return { d: d, pos: pos, ticks: ticks, lanes: order.map(function (k) { return lanes[k]; }), reports: reports,
             last: n ? pos[n - 1] : 0, cpus: cpus };
  }

  function el(name, attrs, parent) {
    var x = document.createElementNS(SVG, name);
    for (var a in attrs) x.setAttribute(a, attrs[a]);
    if (parent) parent.appendChild(x);
    return x;
  }
  function text(parent, x, y, s, cls) {
    var t = el('text', { x: x, y: y }, parent);
    if (cls) t.setAttribute('class', cls);
    t.textContent = s;
    return t;
  }

  function draw(m, unit) {
    var chart = document.getElementById('chart');
    while (chart.firstChild) chart.removeChild(chart.firstChild);
    var width = LEFT + (m.last + GAP + 4) * unit + 20, y = TOP, height = TOP;
    m.lanes.forEach(function (L) { height += L.rows * ROW + 6; });
    var svg = el('svg', { width: width, height: height + 4, xmlns: SVG }, chart);
    function X(p) { return LEFT + p * unit; }
    var details = document.getElementById('details');
    m.lanes.forEach(function (L, li) {
      var g = el('g', { 'class': 'lane ' + L.cls, 'data-lane': L.key }, svg);
      el('rect', { x: 0, y: y, width: width, height: L.rows * ROW + 4, 'class': 'lanebg' + (li % 2) }, g);
      text(g, 4, y + 13, L.title, 'label');
      L.spans.forEach(function (s) {
        var x0 = X(m.pos[s.b]), x1 = s.e < 0 ? X(m.last + GAP) : X(m.pos[s.e]);
        var w = Math.max(3, x1 - x0), ry = y + 2 + s.row * ROW;
        var r = el('rect', { x: x0, y: ry, width: w, height: ROW - 3, rx: 2,
                             'class': 'span ' + s.cls + (s.e < 0 ? ' open' : '') }, g);
        var tip = s.tip + (s.e < 0 ? '\nstill open when the recording ended' : '');
        el('title', {}, r).textContent = tip;
        r.addEventListener('click', function () { details.textContent = tip; });
        var chars = Math.floor((w - 4) / 6.2);
        if (chars >= 3) {
          var label = s.label.length > chars ? s.label.slice(0, chars - 1) + '\u2026' : s.label;
          text(g, x0 + 2, ry + 11, label);
        }
      });
      y += L.rows * ROW + 6;
    });
    var axis = el('g', { 'class': 'axis' }, svg), lastLabel = -1e9;
    m.ticks.forEach(function (t) {
      var x = X(m.pos[t.i]) - unit * GAP / 2;
      el('line', { x1: x, y1: TOP - 4, x2: x, y2: height, 'class': 'tick' }, axis);
      if (x - lastLabel > 80) { text(axis, x + 2, 12, fmtTime(t.t), 'ticktext'); lastLabel = x; }
    });
    m.reports.forEach(function (r) {
      var x = X(m.pos[r.i]);
      var line = el('line', { x1: x, y1: TOP - 6, x2: x, y2: height, 'class': 'report' }, svg);
      el('title', {}, line).textContent = r.tip;
      var head = el('polygon', { points: (x - 5) + ',' + (TOP - 12) + ' ' + (x + 5) + ',' + (TOP - 12) + ' ' + x + ',' + (TOP - 4),
                                 'class': 'reporthead' }, svg);
      el('title', {}, head).textContent = r.tip;
      head.addEventListener('click', function () { details.textContent = r.tip; });
    });
  }

  try {
    var data = JSON.parse(document.getElementById('timeline-data').textContent);
    var model = build(data), unit = 8;
    var summary = document.getElementById('summary');
    summary.textContent = data.events.length + ' events on ' + model.cpus + (model.cpus === 1 ? ' processor' : ' processors') +
      (data.dropped ? '; ' + data.dropped + ' more not recorded' : '') + '; ' + model.reports.length + ' verifier reports';
    var list = document.getElementById('reports');
    model.reports.forEach(function (r) { var li = document.createElement('li'); li.textContent = r.tip; list.appendChild(li); });
    draw(model, unit);
    document.getElementById('zoom-in').addEventListener('click', function () { unit = Math.min(64, unit * 1.5); draw(model, unit); });
    document.getElementById('zoom-out').addEventListener('click', function () { unit = Math.max(0.25, unit / 1.5); draw(model, unit); });
    root.setAttribute('data-lanes', String(model.cpus));
  } catch (e) {
    fail(e);
  }
})();
)JS";

} // namespace

std::string TimelineHtml(const TimelineRecording &Recording, const std::string &Title, int Processors)
{
    std::string Json = "{\"processors\":" + std::to_string(Processors < 1 ? 1 : Processors) +
                       ",\"dropped\":" + std::to_string(Recording.Dropped()) + ",\"events\":[";
    bool First = true;
    for (const TimelineEvent &E : Recording.Events()) {
        if (!First) Json += ",\n";
        First = false;
        Json += "[" + std::to_string(static_cast<int>(E.Kind)) + "," + std::to_string(E.Time) + "," +
                std::to_string(E.Step) + "," + std::to_string(E.Cpu) + "," + std::to_string(E.Irql) + "," +
                (E.Flag ? "1" : "0") + ",";
        AppendJsonString(Json, std::to_string(E.Id));
        Json += ",";
        AppendJsonString(Json, E.Name);
        Json += ",";
        AppendJsonString(Json, E.Detail);
        Json += "]";
    }
    Json += "]}";
    std::string T = EscapeHtml(Title);
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + T + "</title>\n<style>" +
           kStyle + "</style>\n</head>\n<body>\n<div id=\"timeline\">\n<header><h1>" + T +
           "</h1><div class=\"summary\" id=\"summary\"></div></header>\n"
           "<div class=\"controls\"><button id=\"zoom-in\" type=\"button\">zoom in</button>"
           "<button id=\"zoom-out\" type=\"button\">zoom out</button> "
           "hover or click a bar for its details; red markers are verifier reports</div>\n"
           "<div id=\"chart\"></div>\n<pre id=\"details\"></pre>\n<ul id=\"reports\"></ul>\n</div>\n"
           "<script type=\"application/json\" id=\"timeline-data\">" +
           Json + "</script>\n<script>" + kScript + "</script>\n</body>\n</html>\n";
}

bool WriteTimelineHtml(const TimelineRecording &Recording, const std::string &Title, int Processors,
                       const std::string &Path)
{
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    if (!Out) return false;
    Out << TimelineHtml(Recording, Title, Processors);
    Out.close();
    return static_cast<bool>(Out);
}

} // namespace fx
