#include "web_page.h"

namespace vxpoll {

const std::string& WebPageHtml()
{
    static const std::string text = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>VX42B power system</title>
<link rel="stylesheet" href="style.css">
<script src="chart.js"></script>
<script src="app.js" defer></script>
</head>
<body>
<header>
  <h1>VX42B power system</h1>
  <div id="status" class="status stale">connecting…</div>
</header>
<main>
  <section id="alarms-section">
    <h2>Alarms <span id="alarm-count" class="count"></span></h2>
    <div id="alarms"><p class="muted">No data yet.</p></div>
  </section>
  <section id="plots-section">
    <div class="section-head">
      <h2>History</h2>
      <div class="ranges" role="group" aria-label="Time range">
        <button type="button" data-range="6h" aria-pressed="true">6 h</button>
        <button type="button" data-range="24h" aria-pressed="false">24 h</button>
        <button type="button" data-range="7d" aria-pressed="false">7 days</button>
      </div>
    </div>
    <p id="plots-note" class="muted" hidden></p>
    <div class="plots">
      <figure><figcaption>DC output voltage</figcaption><div class="plot"><canvas id="plot-dc_voltage"></canvas></div></figure>
      <figure><figcaption>DC output current</figcaption><div class="plot"><canvas id="plot-dc_current"></canvas></div></figure>
      <figure><figcaption>Battery currents</figcaption><div class="plot"><canvas id="plot-battery_current"></canvas></div></figure>
      <figure><figcaption>AC input voltages</figcaption><div class="plot tall"><canvas id="plot-ac_voltage"></canvas></div></figure>
    </div>
  </section>
  <section>
    <h2>Values</h2>
    <div id="devices" class="devices"><p class="muted">No data yet.</p></div>
  </section>
  <section>
    <h2>Line</h2>
    <table id="line" class="kv"></table>
  </section>
</main>
<footer>Read-only: this page changes nothing on the power system. Data: <a href="api/state">api/state</a>,
<a href="api/history">api/history</a>, <a href="metrics">metrics</a>.</footer>
</body>
</html>
)html";
    return text;
}

const std::string& WebPageScript()
{
    static const std::string text = R"js('use strict';
// Polls the gateway's own API; every text from it goes in as text, never as
// markup. The server sends labels and formatted values: the page lays them out.
const STATE_EVERY_MS = 2000;
const HISTORY_EVERY_MS = {'6h': 15000, '24h': 60000, '7d': 300000};
const COLORS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf', '#7f7f7f'];
const CHARTS = ['dc_voltage', 'dc_current', 'battery_current', 'ac_voltage'];
const charts = {};
let range = '6h';
let historyTimer = null;

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  for (const c of children) node.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return node;
}

function two(n) { return String(n).padStart(2, '0'); }

function todayText() {
  const d = new Date();
  return d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate());
}

// "17:05:35" today, "8 Dec 17:05:35" on another day, with the year when not this one.
function whenText(localIso) {
  if (!localIso) return '–';
  const day = localIso.slice(0, 10), time = localIso.slice(11, 19);
  if (day === todayText()) return time;
  const [y, m, d] = day.split('-').map(Number);
  const date = new Date(y, m - 1, d);
  const opts = {day: 'numeric', month: 'short'};
  if (y !== new Date().getFullYear()) opts.year = 'numeric';
  return date.toLocaleDateString('en-GB', opts) + ' ' + time;
}

function kvRows(rows) {
  return rows.map(r => el('tr', {'data-field': r.field, 'class': r.alert ? 'alert' : ''},
    el('th', {}, r.label), el('td', {}, r.text)));
}

function itemTable(items) {
  const table = el('table', {'class': 'items'});
  table.append(el('thead', {}, el('tr', {}, el('th', {}, items.item), ...items.columns.map(c => el('th', {}, c.label)))));
  const body = el('tbody');
  for (const row of items.rows) {
    body.append(el('tr', {'data-item': row.label},
      el('th', {'data-label': items.item}, items.item + ' ' + row.label),
      ...row.cells.map((c, k) => el('td', {'data-field': c.field, 'data-label': items.columns[k].label,
                                           'class': c.alert ? 'alert' : ''}, c.text))));
  }
  table.append(body);
  return el('div', {'class': 'scroll'}, table);
}

function folded(title, rows) {
  if (!rows.length) return '';
  return el('details', {}, el('summary', {}, title + ' (' + rows.length + ')'), el('table', {'class': 'kv'}, ...kvRows(rows)));
}

// While the line is down every value and alarm shown is old: greyed, with its time.
function lineDown(state) {
  return state.line.state === 'down' && state.line.reason !== 'starting';
}

function noReplyText(line) {
  const why = {'port closed': ', port closed', 'frame errors': ', replies refused'}[line.reason] || '';
  return 'no reply since ' + whenText(line.since) + ' (' + line.since_s + ' s)' + why;
}

function staleText(state) {
  const asOf = state.line.last_complete ? 'as of ' + whenText(state.line.last_complete) + ', ' : '';
  return 'Stale: ' + asOf + noReplyText(state.line) + '.';
}

function renderDevices(state) {
  const box = document.getElementById('devices');
  box.replaceChildren();
  const stale = lineDown(state);
  for (const d of state.devices) {
    const v = d.view || {title: d.device_type + ' ' + d.data_id, values: [], settings: [], other: []};
    const card = el('article', {'class': stale ? 'device stale' : 'device', 'data-id': d.data_id, 'data-type': d.device_type});
    const n = d.alarms.length;
    const mark = n ? el('span', {'class': 'badge'}, n + (n > 1 ? ' alarms' : ' alarm')) : '';
    card.append(el('h3', {}, v.title + ' ', mark));
    if (!d.fields) {
      card.append(el('p', {'class': 'muted'}, d.decode_error ? 'cannot read its record: ' + d.decode_error : 'no record yet'));
      box.append(card);
      continue;
    }
    if (v.values.length) card.append(el('table', {'class': 'kv'}, ...kvRows(v.values)));
    if (v.items && v.items.rows.length) card.append(itemTable(v.items));
    const settings = folded('Settings', v.settings);
    const other = folded('User-defined values', v.other);
    if (settings) card.append(settings);
    if (other) card.append(other);
    card.append(el('p', {'class': 'muted small'}, (stale ? 'stale, last updated ' : 'updated ') + whenText(d.time)));
    box.append(card);
  }
}

function renderAlarms(state) {
  const box = document.getElementById('alarms');
  const alarms = state.alarms.slice().sort((a, b) => a.level - b.level || (a.since < b.since ? -1 : 1));
  document.getElementById('alarm-count').textContent = alarms.length ? '(' + alarms.length + ')' : '';
  const stale = lineDown(state);
  const note = stale ? [el('p', {'class': 'stale-note'}, staleText(state))] : [];
  if (alarms.length === 0) {
    box.replaceChildren(...note, el('p', {'class': stale ? 'muted' : 'ok'}, 'No alarms present.'));
    return;
  }
  const list = el('ul', {'class': stale ? 'alarm-list stale' : 'alarm-list'});
  for (const a of alarms) {
    // The device's own words and code stay one hover or long press away.
    const own = [a.name, a.text].filter((t, k, all) => t && all.indexOf(t) === k).join(': ');
    const where = a.item ? a.source + ', ' + a.item : a.source;
    list.append(el('li', {'class': 'alarm level-' + a.level, 'data-key': a.key, 'data-code': a.code,
                          'title': own + ' [' + a.key + ' ' + a.code + ']'},
      el('span', {'class': 'level'}, 'Level ' + a.level),
      el('span', {'class': 'what'}, a.title || a.label || a.name || a.text),
      el('span', {'class': 'where'}, where),
      el('span', {'class': 'since'}, 'since ' + whenText(a.since))));
  }
  box.replaceChildren(...note, list);
}

function renderLine(state) {
  const l = state.line;
  const mean = l.round_duration.count ? l.round_duration.sum_s / l.round_duration.count : 0;
  const errors = Object.entries(l.frame_errors).filter(([, n]) => n > 0);
  const rows = [];
  if (l.state) {
    rows.push(['Line', l.state === 'up' ? 'up since ' + whenText(l.since) : lineDown(state) ? 'down: ' + noReplyText(l) : 'waiting for the first round']);
    rows.push(['Last reply', l.last_reply ? whenText(l.last_reply) : 'none yet']);
  }
  rows.push(
    ['Port', l.port ? l.port + (l.baud ? ' at ' + l.baud + ' baud' : '') : '–'],
    ['Rounds complete', l.rounds_complete], ['Rounds abandoned', l.rounds_abandoned],
    ['Reply time-outs', l.timeouts],
    ['Frame errors', errors.length ? errors.map(([k, n]) => k + ': ' + n).join(', ') : 0],
    ['Last round took', Number(state.round_duration_s).toFixed(2) + ' s'], ['Mean round', mean.toFixed(2) + ' s']);
  document.getElementById('line').replaceChildren(...rows.map(([k, v]) => el('tr', {}, el('th', {}, k), el('td', {}, v))));
}

// kind: 'live', 'stale' (no data yet) or 'down' (no reply from the power system).
function setStatus(text, kind) {
  const s = document.getElementById('status');
  s.textContent = text;
  s.className = 'status ' + kind;
}

async function refreshState() {
  try {
    const response = await fetch('api/state', {cache: 'no-store'});
    if (!response.ok) throw new Error('HTTP ' + response.status);
    const state = await response.json();
    renderAlarms(state);
    renderDevices(state);
    renderLine(state);
    document.body.dataset.round = state.round;
    document.body.dataset.line = state.line.state || '';
    if (lineDown(state))
      setStatus(noReplyText(state.line), 'down');
    else if (state.round)
      setStatus('round ' + state.round + ' at ' + state.round_time.slice(11, 19), 'live');
    else
      setStatus('waiting for the first round', 'stale');
  } catch (e) {
    setStatus('no answer from the gateway (' + e.message + ')', 'stale');
  }
}

let spanSeconds = 0;
function timeLabel(seconds) {
  const d = new Date(seconds * 1000);
  let hm = two(d.getHours()) + ':' + two(d.getMinutes());
  if (range === '7d') return d.toLocaleDateString('en-GB', {weekday: 'short', day: 'numeric'});
  if (spanSeconds < 600) hm += ':' + two(d.getSeconds());
  return hm;
}

function tickOptions() {
  return {callback: timeLabel, maxTicksLimit: narrow() ? 4 : 8, maxRotation: 0};
}

// The longer ranges tick on whole local hours (every 3 or 6) or at midnight.
function alignedTicks(axis) {
  if (range === '6h') return;
  const ticks = [];
  const d = new Date(axis.min * 1000);
  d.setMinutes(0, 0, 0);
  if (range === '7d') d.setHours(0);
  const every = narrow() ? 6 : 3;
  for (; d.getTime() / 1000 <= axis.max; range === '7d' ? d.setDate(d.getDate() + 1) : d.setHours(d.getHours() + 1)) {
    const t = d.getTime() / 1000;
    if (t >= axis.min && (range === '7d' || d.getHours() % every === 0)) ticks.push({value: t});
  }
  axis.ticks = ticks;
}

function narrow() { return window.innerWidth < 600; }

function fade(color) { return color + '33'; }

// The last hours come as samples, each series null where another device's
// sample stood: those are left out, and only a silence of a minute or more
// breaks the line. The longer ranges come in buckets, null where one is empty.
function samples(times, values, bucketed) {
  if (bucketed) return times.map((t, i) => ({x: t, y: values[i]}));
  const out = [];
  let last = null;
  times.forEach((t, i) => {
    if (values[i] === null) return;
    if (last !== null && t - last > 60) out.push({x: (t + last) / 2, y: null});
    out.push({x: t, y: values[i]});
    last = t;
  });
  return out;
}

function datasetsOf(history, series) {
  const sets = [];
  series.forEach((s, k) => {
    const color = COLORS[k % COLORS.length];
    const band = Array.isArray(s.min) && Array.isArray(s.max);
    const points = values => samples(history.times, values, band);
    if (band) {
      // The bucket's range as a shaded band behind its mean.
      sets.push({label: s.name + ' min', band: true, data: points(s.min), borderWidth: 0, pointRadius: 0, borderColor: fade(color), backgroundColor: fade(color), fill: false});
      sets.push({label: s.name + ' max', band: true, data: points(s.max), borderWidth: 0, pointRadius: 0, borderColor: fade(color), backgroundColor: fade(color), fill: '-1'});
    }
    // A value between gaps has no line to be seen on: it gets a dot.
    const data = points(s.values);
    const y = i => data[i] && data[i].y !== null;
    const lone = i => y(i) && !y(i - 1) && !y(i + 1);
    const few = data.length < 60;
    sets.push({label: s.name, data, borderColor: color, backgroundColor: color, borderWidth: 1.5,
               pointRadius: ctx => few || lone(ctx.dataIndex) ? 2 : 0, fill: false});
  });
  return sets;
}

function drawCharts(history) {
  // The longer ranges span their whole width; the last hours follow the samples.
  const first = history.from, last = history.to;
  const times = history.times;
  spanSeconds = last !== undefined ? last - first : times.length ? times[times.length - 1] - times[0] : 0;
  for (const id of CHARTS) {
    const series = history.series.filter(s => s.chart === id);
    const datasets = datasetsOf(history, series);
    const unit = series.length ? series[0].unit : '';
    if (charts[id]) {
      const c = charts[id];
      c.data.datasets = datasets;
      c.options.scales.x.min = first;
      c.options.scales.x.max = last;
      c.options.scales.y.title.text = unit;
      c.options.scales.x.ticks = tickOptions();
      c.update('none');
      continue;
    }
    charts[id] = new Chart(document.getElementById('plot-' + id), {
      type: 'line',
      data: {datasets},
      options: {
        animation: false, parsing: false, normalized: true, spanGaps: false, maintainAspectRatio: false,
        interaction: {mode: 'nearest', intersect: false},
        scales: {
          x: {type: 'linear', bounds: 'data', min: first, max: last, ticks: tickOptions(), afterBuildTicks: alignedTicks},
          y: {title: {display: true, text: unit}, ticks: {maxTicksLimit: 6}},
        },
        plugins: {
          legend: {position: 'bottom', labels: {boxWidth: 10, font: {size: 11}, filter: item => !item.text.endsWith(' min') && !item.text.endsWith(' max')}},
          tooltip: {filter: item => !item.dataset.band},
        },
      },
    });
  }
}

async function refreshHistory() {
  if (typeof Chart === 'undefined') {
    const note = document.getElementById('plots-note');
    note.textContent = 'The chart library is not installed on the gateway (libjs-chart.js).';
    note.hidden = false;
    return;
  }
  const asked = range;
  try {
    const response = await fetch('api/history?range=' + asked, {cache: 'no-store'});
    if (!response.ok) throw new Error((await response.text()).trim() || 'HTTP ' + response.status);
    const data = await response.json();
    if (asked !== range) return;
    const note = document.getElementById('plots-note');
    note.textContent = data.note || '';
    note.hidden = !data.note;
    document.body.dataset.range = data.range;
    drawCharts(data);
  } catch (e) {
    const note = document.getElementById('plots-note');
    note.textContent = 'No history from the gateway: ' + e.message;
    note.hidden = false;
  }
}

function pickRange(next) {
  range = next;
  // The range stays in the address, so that a bookmark or a reload keeps it.
  window.history.replaceState(null, '', next === '6h' ? location.pathname : '#' + next);
  for (const b of document.querySelectorAll('.ranges button')) b.setAttribute('aria-pressed', String(b.dataset.range === next));
  if (historyTimer) clearInterval(historyTimer);
  historyTimer = setInterval(refreshHistory, HISTORY_EVERY_MS[next]);
  refreshHistory();
}

for (const b of document.querySelectorAll('.ranges button')) b.addEventListener('click', () => pickRange(b.dataset.range));
refreshState();
setInterval(refreshState, STATE_EVERY_MS);
pickRange(HISTORY_EVERY_MS[location.hash.slice(1)] ? location.hash.slice(1) : '6h');
)js";
    return text;
}

const std::string& WebPageStyle()
{
    static const std::string text =
        R"css(* { box-sizing: border-box; }
body { font: 14px/1.4 system-ui, sans-serif; margin: 0; color: #222; background: #f4f5f7; }
header { display: flex; flex-wrap: wrap; gap: 6px 12px; align-items: center; justify-content: space-between; padding: 10px 16px; background: #243447; color: #fff; }
h1 { font-size: 20px; margin: 0; }
h2 { font-size: 16px; margin: 18px 0 8px; }
h3 { font-size: 14px; margin: 0 0 6px; }
main { padding: 0 16px 16px; max-width: 1600px; }
.status { padding: 3px 10px; border-radius: 10px; font-size: 13px; }
.status.live { background: #2e7d32; }
.status.stale { background: #b26a00; }
.status.down { background: #c62828; font-weight: 600; }
.stale { opacity: .5; filter: grayscale(1); }
.stale-note { color: #c62828; margin: 0 0 6px; }
.section-head { display: flex; flex-wrap: wrap; align-items: baseline; gap: 4px 16px; }
.ranges { display: inline-flex; border: 1px solid #243447; border-radius: 6px; overflow: hidden; }
.ranges button { font: inherit; border: 0; padding: 4px 12px; background: #fff; color: #243447; cursor: pointer; }
.ranges button + button { border-left: 1px solid #243447; }
.ranges button[aria-pressed="true"] { background: #243447; color: #fff; }
.devices { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(400px, 100%), 1fr)); gap: 12px; align-items: start; }
.device { background: #fff; border-radius: 6px; padding: 10px 12px; box-shadow: 0 1px 2px rgba(0,0,0,.15); min-width: 0; }
.scroll { overflow-x: auto; max-width: 100%; }
table { border-collapse: collapse; }
.kv th { text-align: left; font-weight: normal; color: #555; padding: 1px 12px 1px 0; vertical-align: top; }
.kv td { font-variant-numeric: tabular-nums; overflow-wrap: anywhere; }
tr.alert td, td.alert { color: #b00020; font-weight: 600; }
.items { margin-top: 8px; font-size: 13px; width: 100%; }
.items th, .items td { padding: 2px 6px; border-bottom: 1px solid #eee; text-align: right; font-variant-numeric: tabular-nums; }
.items thead th { font-weight: 600; color: #555; vertical-align: bottom; white-space: normal; }
.items thead th:first-child, .items tbody th { text-align: left; white-space: nowrap; }
.items tbody th { font-weight: normal; }
details { margin-top: 8px; }
summary { cursor: pointer; color: #555; }
details .kv { margin-top: 4px; font-size: 13px; }
.alarm-list { list-style: none; margin: 0; padding: 0; background: #fff; border-radius: 6px; box-shadow: 0 1px 2px rgba(0,0,0,.15); }
.alarm { display: flex; flex-wrap: wrap; align-items: baseline; gap: 2px 12px; padding: 6px 10px; border-bottom: 1px solid #eee; border-left: 4px solid #b26a00; }
.alarm.level-1 { border-left-color: #b00020; }
.alarm.level-2 { border-left-color: #e65100; }
.alarm .level { font-size: 12px; font-weight: 600; padding: 0 6px; border-radius: 8px; background: #b26a00; color: #fff; white-space: nowrap; }
.alarm.level-1 .level { background: #b00020; }
.alarm.level-2 .level { background: #e65100; }
.alarm .what { font-weight: 600; flex: 1 1 14em; min-width: 0; overflow-wrap: anywhere; }
.alarm .where { color: #444; }
.alarm .since { color: #666; white-space: nowrap; font-variant-numeric: tabular-nums; }
.badge { background: #b00020; color: #fff; border-radius: 8px; padding: 0 6px; font-size: 12px; }
.ok { color: #2e7d32; }
.muted { color: #777; }
.small { font-size: 11px; margin: 6px 0 0; }
.plots { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(440px, 100%), 1fr)); gap: 12px; }
figure { margin: 0; background: #fff; border-radius: 6px; padding: 8px; box-shadow: 0 1px 2px rgba(0,0,0,.15); min-width: 0; }
figcaption { font-weight: 600; margin-bottom: 4px; }
.plot { position: relative; height: 240px; }
.plot.tall { height: 280px; }
footer { padding: 10px 16px; color: #777; font-size: 12px; }
@media (max-width: 600px) {
  header { padding: 8px 12px; }
  h1 { font-size: 17px; }
  main { padding: 0 10px 10px; }
  .plot { height: 260px; }
  .plot.tall { height: 340px; }
  /* Item tables become one small card per channel or module. */
  .items thead { display: none; }
  .items, .items tbody, .items tr, .items th, .items td { display: block; }
  .items tr { border: 1px solid #e4e4e4; border-radius: 4px; margin-bottom: 6px; padding: 2px 6px; }
  .items tbody th { font-weight: 600; border: 0; }
  .items td { display: flex; justify-content: space-between; gap: 12px; border: 0; text-align: right; }
  .items td::before { content: attr(data-label); color: #555; text-align: left; }
}
)css";
    return text;
}

}  // namespace vxpoll
