// The report page's own style sheet and script, inline in every page (no
// file, font or script is fetched).
#include "upgrade/pages/report_assets.h"

const char REPORT_PAGE_STYLE[] = R"css(
:root{--ink:#1b1f23;--mute:#5b6470;--line:#d8dde3;--band:#f3f5f7}
*{box-sizing:border-box;-webkit-print-color-adjust:exact;print-color-adjust:exact}
body{font:14px/1.45 system-ui,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;color:var(--ink);margin:0 auto;max-width:1120px;padding:14px 24px 40px}
h1{font-size:22px;margin:6px 0 2px}h2{font-size:17px;margin:26px 0 8px;border-bottom:1px solid var(--line);padding-bottom:3px}h3{font-size:15px;margin:16px 0 6px}
.sub,.note{color:var(--mute)}.sub{margin:0 0 10px}.note{font-size:12px;margin:2px 0 6px}
.big{font-size:26px;font-weight:600;margin:4px 0}.big b{font-size:30px}
ul.tallies{display:flex;flex-wrap:wrap;gap:6px 26px;list-style:none;padding:0;margin:4px 0 10px}ul.tallies b{font-size:20px;margin-right:4px}
table{border-collapse:collapse}
table.facts th{text-align:left;font-weight:600;padding:2px 16px 2px 0;vertical-align:top;color:var(--mute);white-space:nowrap}
table.facts td{padding:2px 0;overflow-wrap:anywhere}
table.counts td,table.counts th{padding:1px 14px 1px 0;text-align:left}table.counts td.n{text-align:right}
table.grid{width:100%;font-size:13px}
table.grid th,table.grid td{border-bottom:1px solid var(--line);padding:3px 6px;text-align:left;vertical-align:top;white-space:nowrap}
table.grid td.long{white-space:normal;overflow-wrap:anywhere;min-width:8em}
table.grid th{cursor:pointer;user-select:none;background:var(--band);position:sticky;top:0;white-space:nowrap}
table.grid.fixed th{cursor:default}table.grid th[aria-sort=ascending]::after{content:" \25B2"}table.grid th[aria-sort=descending]::after{content:" \25BC"}
td.num{text-align:right}code{font-size:12px}
.sw{display:inline-block;width:10px;height:10px;margin-right:6px;border-radius:2px;vertical-align:-1px;border:1px solid rgba(0,0,0,.15)}
.legend{display:flex;flex-wrap:wrap;gap:2px 16px;font-size:12px;color:var(--mute);margin:4px 0 8px}
.tools{display:flex;flex-wrap:wrap;gap:8px;align-items:center;margin:6px 0}.tools input{flex:1;min-width:220px;max-width:440px;padding:4px 8px;font:inherit}
.halt{background:#fdecea;border-left:4px solid #c8102e;padding:6px 10px;margin:8px 0}
.stop{background:#f2f2f2;border-left:4px solid #777;padding:6px 10px;margin:8px 0}
.two{display:grid;grid-template-columns:1fr 1fr;gap:18px}
svg{width:100%;height:auto;display:block;margin:4px 0}svg text{font-family:inherit}
svg .lbl{font-size:12px;fill:var(--ink)}svg .small{font-size:10px;fill:var(--mute)}svg .lbl.behind{fill:#b3261e;font-weight:600}
svg .lane{fill:var(--band)}svg .gap{fill:#fff1c2;opacity:.8}svg .gap.folded{fill:#e6dcc0;opacity:1}
svg .chk{opacity:.6}svg .axis{stroke:#8a939d}svg .wavemark{stroke:#333;stroke-dasharray:3 3}
svg .before{fill:#9aa5b1}svg .after{fill:#2e9e44}svg .after.behind{fill:#e8793a}svg .hist{fill:#4a7ab5}
section.run{border-top:3px solid var(--line);margin-top:30px}
h2#cards,h2#fleet{break-before:page}
@page{size:A4;margin:12mm 10mm}
@media print{body{max-width:none;padding:0;font-size:10px}.tools input,.tools button{display:none}h2,h3{break-after:avoid}svg,.headline,table.facts{break-inside:avoid}table.grid{font-size:9px}table.grid th{position:static}thead{display:table-header-group}tr{break-inside:avoid}section.run{break-before:page}}
)css";

const char REPORT_PAGE_SCRIPT[] = R"js(
(function () {
"use strict";
var data = JSON.parse(document.getElementById("report-data").textContent);
var rules = {}, order = {};
data.verdict_table.forEach(function (v, i) { rules[v.verdict] = v; order[v.verdict] = i; });
var RANK = {failed: 0, not_started: 1, applied: 2, skipped: 3};
var PAGE = 100;
function ipKey(t) {
  var p = String(t || "").split(".");
  return p.length === 4 ? ((+p[0] * 256 + +p[1]) * 256 + +p[2]) * 256 + +p[3] : -1;
}
function verKey(t) { var m = /^(\d+)\.(\d+)$/.exec(t || ""); return m ? +m[1] * 1000 + +m[2] : -1; }
function keyOf(type, text, raw) {
  if (type === "ip") return ipKey(text);
  if (type === "ver") return verKey(text);
  if (type === "num") return raw === null || raw === undefined ? -1 : +raw;
  if (type === "verdict") return order[raw];
  return String(text).toLowerCase();
}
function fileName(p) { return String(p).split(/[\\/]/).pop(); }
function label(v) { return rules[v] ? rules[v].label : v; }
function finish(columns, list) {
  list.forEach(function (r, n) {
    r.index = n;
    r.keys = columns.map(function (c, k) { return keyOf(c, r.cells[k], r.raws[k]); });
    r.text = r.cells.join("\u0001").toLowerCase();
  });
  return list;
}
function grid(name, columns, rows) {
  var table = document.querySelector('table[data-grid="' + name + '"]');
  var tools = document.querySelector('div.tools[data-grid="' + name + '"]');
  if (!table || !tools) return;
  var input = tools.querySelector("input"), shown = tools.querySelector(".shown");
  var prev = tools.querySelector(".prev"), next = tools.querySelector(".next");
  var all = tools.querySelector(".all");
  var heads = table.tHead.rows[0].cells;
  var st = {key: -1, desc: false, page: 0, all: false, view: rows, printing: false};
  function render() {
    var n = st.view.length, pages = Math.max(1, Math.ceil(n / PAGE));
    if (st.page >= pages) st.page = pages - 1;
    if (st.page < 0) st.page = 0;
    var from = st.all ? 0 : st.page * PAGE, to = st.all ? n : Math.min(n, from + PAGE);
    var body = document.createElement("tbody");
    for (var i = from; i < to; i++) {
      var r = st.view[i], tr = document.createElement("tr");
      tr.setAttribute("data-verdict", r.verdict);
      for (var k = 0; k < r.cells.length; k++) {
        var td = document.createElement("td");
        if (columns[k] === "verdict") {
          var sw = document.createElement("i");
          sw.className = "sw v-" + r.verdict;
          td.appendChild(sw);
        }
        if (columns[k] === "num" || columns[k] === "long") td.className = columns[k];
        td.appendChild(document.createTextNode(r.cells[k]));
        tr.appendChild(td);
      }
      body.appendChild(tr);
    }
    table.replaceChild(body, table.tBodies[0]);
    shown.textContent = n === 0 ? "no row matches" :
      (from + 1) + "\u2013" + to + " of " + n + (n !== rows.length ? " (of " + rows.length + ")" : "");
    prev.disabled = st.all || st.page === 0;
    next.disabled = st.all || to >= n;
    all.disabled = n <= PAGE;
    all.textContent = st.all ? "Pages" : "Show all";
  }
  function apply() {
    var q = input.value.trim().toLowerCase();
    var v = q ? rows.filter(function (r) { return r.text.indexOf(q) >= 0; }) : rows.slice();
    if (st.key >= 0) {
      var k = st.key, d = st.desc ? -1 : 1;
      v.sort(function (a, b) {
        var x = a.keys[k], y = b.keys[k], c = x < y ? -1 : x > y ? 1 : 0;
        return c ? c * d : a.index - b.index;
      });
    }
    st.view = v;
    st.page = 0;
    render();
  }
  input.addEventListener("input", apply);
  prev.addEventListener("click", function () { st.page--; render(); });
  next.addEventListener("click", function () { st.page++; render(); });
  all.addEventListener("click", function () { st.all = !st.all; render(); });
  Array.prototype.forEach.call(heads, function (th, k) {
    function sort() {
      st.desc = st.key === k ? !st.desc : false;
      st.key = k;
      Array.prototype.forEach.call(heads, function (h) { h.removeAttribute("aria-sort"); });
      th.setAttribute("aria-sort", st.desc ? "descending" : "ascending");
      apply();
    }
    th.tabIndex = 0;
    th.addEventListener("click", sort);
    th.addEventListener("keydown", function (e) {
      if (e.key === "Enter" || e.key === " ") { e.preventDefault(); sort(); }
    });
  });
  // A printed page holds every row of a table of a reasonable size.
  window.addEventListener("beforeprint", function () {
    if (!st.all && st.view.length <= 3000) { st.all = st.printing = true; render(); }
  });
  window.addEventListener("afterprint", function () {
    if (st.printing) { st.all = st.printing = false; render(); }
  });
  tools.hidden = false;
  var note = document.querySelector('p.static[data-grid="' + name + '"]');
  if (note) note.hidden = true;
  render();
}

var cards = [];
data.reports.forEach(function (rep, r) {
  rep.cards.forEach(function (c, i) {
    cards.push({
      r: r, i: i, verdict: c.verdict, rank: RANK[rules[c.verdict].tally], ip: ipKey(c.ip),
      cells: [c.ip, c.mac, c.before === null ? "unknown" : c.version_before,
              c.after === null ? "unknown" : c.after, label(c.verdict), c.message || "",
              String(c.seconds), c.wave === null ? "" : String(c.wave), rep.site],
      raws: [null, null, null, null, c.verdict, null, c.seconds, c.wave, null]
    });
  });
});
cards.sort(function (a, b) { return a.rank - b.rank || a.ip - b.ip || a.r - b.r || a.i - b.i; });
var cardCols = ["ip", "text", "ver", "ver", "verdict", "long", "num", "num", "long"];
grid("cards", cardCols, finish(cardCols, cards));

function sighted(h) { return data.reports[h[0]].cards[h[1]]; }
var behind = data.fleet.behind.map(function (e) {
  var c = sighted(e.row);
  return {verdict: e.verdict,
          cells: [e.site, e.ip, e.mac === null ? "" : e.mac, e.version === null ? "unknown" : e.version,
                  label(e.verdict), c.message || "", fileName(data.reports[e.row[0]].path), e.ended],
          raws: [null, null, null, null, e.verdict, null, null, null]};
});
var behindCols = ["long", "ip", "text", "ver", "verdict", "long", "long", "text"];
grid("behind", behindCols, finish(behindCols, behind));

var fleet = data.fleet.entries.map(function (e) {
  var story = e.history.map(function (h) {
    var c = sighted(h);
    return c.ended + " " + data.reports[h[0]].site + " " + c.ip + " " + label(c.verdict);
  }).join(" \u00b7 ");
  return {verdict: e.verdict,
          cells: [e.mac === null ? "" : e.mac, e.ip, e.site, e.version === null ? "unknown" : e.version,
                  label(e.verdict), e.ended, String(e.history.length), story],
          raws: [null, null, null, null, e.verdict, null, e.history.length, null]};
});
var fleetCols = ["text", "ip", "long", "ver", "verdict", "text", "num", "long"];
grid("fleet", fleetCols, finish(fleetCols, fleet));
})();
)js";
