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
    <h2>Last hours</h2>
    <p id="plots-note" class="muted" hidden></p>
    <div class="plots">
      <figure><figcaption>DC voltage</figcaption><div class="plot"><canvas id="plot-dc_voltage"></canvas></div></figure>
      <figure><figcaption>DC current</figcaption><div class="plot"><canvas id="plot-dc_current"></canvas></div></figure>
      <figure><figcaption>Battery currents</figcaption><div class="plot"><canvas id="plot-battery_current"></canvas></div></figure>
      <figure><figcaption>AC voltages</figcaption><div class="plot"><canvas id="plot-ac_voltage"></canvas></div></figure>
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
// Polls the gateway's own API; every text from it goes in as text, never as markup.
const STATE_EVERY_MS = 2000;
const HISTORY_EVERY_MS = 15000;
const COLORS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf', '#7f7f7f'];
const TYPE_NAMES = {'vx42b-ac': 'AC distribution', 'vx42b-dc': 'DC distribution', 'vx42b-rc': 'Rectifiers'};
const HIDDEN = new Set(['data_id', 'ttime']);
const charts = {};

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  for (const c of children) node.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return node;
}

function num(v) {
  if (v === null || v === undefined) return '–';
  if (typeof v !== 'number') return String(v);
  return Number.isInteger(v) ? String(v) : v.toFixed(Math.abs(v) >= 100 ? 1 : 2);
}

function show(v, unit) {
  const text = Array.isArray(v) ? v.map(num).join(', ') : num(v);
  return unit ? text + ' ' + unit : text;
}

function fieldRows(fields, units, skip) {
  const rows = [];
  for (const [name, value] of Object.entries(fields)) {
    if (HIDDEN.has(name) || name === skip) continue;
    rows.push(el('tr', {'data-field': name}, el('th', {}, name), el('td', {}, show(value, units[name]))));
  }
  return rows;
}

function itemTable(items, units, label) {
  if (!Array.isArray(items) || items.length === 0) return null;
  // The announced counts are in the raw data (api/state); the table keeps to values and states.
  const names = Object.keys(items[0]).filter(n => !n.endsWith('_count'));
  const table = el('table', {'class': 'items'});
  table.append(el('tr', {}, el('th', {}, label), ...names.map(n => el('th', {}, units[n] ? n + ' (' + units[n] + ')' : n))));
  items.forEach((item, k) => {
    table.append(el('tr', {}, el('th', {}, String(k + 1)), ...names.map(n => el('td', {'data-field': n}, show(item[n])))));
  });
  return table;
}

// While the line is down every value and alarm shown is old: greyed, with its time.
function lineDown(state) {
  return state.line.state === 'down' && state.line.reason !== 'starting';
}

function noReplyText(line) {
  const why = {'port closed': ', port closed', 'frame errors': ', replies refused'}[line.reason] || '';
  return 'no reply since ' + line.since.slice(11, 19) + ' (' + line.since_s + ' s)' + why;
}

function staleText(state) {
  const asOf = state.line.last_complete ? 'as of ' + state.line.last_complete.slice(11, 19) + ', ' : '';
  return 'Stale: ' + asOf + noReplyText(state.line) + '.';
}

function renderDevices(state) {
  const box = document.getElementById('devices');
  box.replaceChildren();
  const stale = lineDown(state);
  for (const d of state.devices) {
    const card = el('article', {'class': stale ? 'device stale' : 'device', 'data-id': d.data_id, 'data-type': d.device_type});
    const alarmMark = d.alarms.length ? el('span', {'class': 'badge'}, d.alarms.length + ' alarm' + (d.alarms.length > 1 ? 's' : '')) : '';
    card.append(el('h3', {}, (TYPE_NAMES[d.device_type] || d.device_type) + ' ' + d.data_id + ' ', alarmMark));
    if (!d.fields) {
      card.append(el('p', {'class': 'muted'}, d.decode_error || 'no record yet'));
      box.append(card);
      continue;
    }
    const itemsName = Array.isArray(d.fields.channels) ? 'channels' : Array.isArray(d.fields.modules) ? 'modules' : null;
    card.append(el('table', {'class': 'kv'}, ...fieldRows(d.fields, d.units, itemsName)));
    if (itemsName) {
      const t = itemTable(d.fields[itemsName], d.units, itemsName === 'channels' ? 'channel' : 'module');
      if (t) card.append(el('div', {'class': 'scroll'}, t));
    }
    card.append(el('p', {'class': 'muted small'}, (stale ? 'stale, last updated ' : 'updated ') + d.time));
    box.append(card);
  }
}

function renderAlarms(state) {
  const box = document.getElementById('alarms');
  document.getElementById('alarm-count').textContent = state.alarms.length ? '(' + state.alarms.length + ')' : '';
  const stale = lineDown(state);
  const note = stale ? [el('p', {'class': 'stale-note'}, staleText(state))] : [];
  if (state.alarms.length === 0) {
    box.replaceChildren(...note, el('p', {'class': stale ? 'muted' : 'ok'}, 'No alarms present.'));
    return;
  }
  const table = el('table', {'class': stale ? 'alarms stale' : 'alarms'},
    el('tr', {}, ...['Device', 'Key', 'Code', 'Alarm', 'Since'].map(h => el('th', {}, h))));
  for (const a of state.alarms) {
    table.append(el('tr', {'class': 'alarm', 'data-key': a.key},
      el('td', {}, a.device_type + ' ' + a.data_id), el('td', {}, a.key), el('td', {}, a.code),
      el('td', {}, a.text), el('td', {}, a.since)));
  }
  box.replaceChildren(...note, table);
}

function renderLine(state) {
  const l = state.line;
  const mean = l.round_duration.count ? l.round_duration.sum_s / l.round_duration.count : 0;
  const errors = Object.entries(l.frame_errors).filter(([, n]) => n > 0);
  const rows = [
    ['Line', l.state === 'up' ? 'up since ' + l.since.slice(11, 19) : lineDown(state) ? 'down: ' + noReplyText(l) : 'waiting for the first round'],
    ['Last reply', l.last_reply ? l.last_reply.slice(11, 23) : 'none yet'],
    ['Rounds complete', l.rounds_complete], ['Rounds abandoned', l.rounds_abandoned],
    ['Reply time-outs', l.timeouts],
    ['Frame errors', errors.length ? errors.map(([k, n]) => k + ': ' + n).join(', ') : 0],
    ['Last round', num(state.round_duration_s) + ' s'], ['Mean round', num(mean) + ' s'],
  ];
  if (l.stats) for (const [k, v] of Object.entries(l.stats)) rows.push([k.replace(/_/g, ' '), num(v)]);
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
    document.body.dataset.line = state.line.state;
    if (lineDown(state))
      setStatus(noReplyText(state.line), 'down');
    else if (state.line.state === 'up')
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
  const withSeconds = spanSeconds < 600 ? {second: '2-digit'} : {};
  return d.toLocaleTimeString([], {hour: '2-digit', minute: '2-digit', hour12: false, ...withSeconds});
}

function drawCharts(history) {
  const times = history.times;
  spanSeconds = times.length ? times[times.length - 1] - times[0] : 0;
  for (const id of ['dc_voltage', 'dc_current', 'battery_current', 'ac_voltage']) {
    const series = history.series.filter(s => s.chart === id);
    const datasets = series.map((s, k) => ({
      label: s.name,
      data: history.times.map((t, i) => ({x: t, y: s.values[i]})).filter(p => p.y !== null),
      borderColor: COLORS[k % COLORS.length],
      backgroundColor: COLORS[k % COLORS.length],
      borderWidth: 1.5,
      pointRadius: history.times.length < 60 ? 2 : 0,
    }));
    const unit = series.length ? series[0].unit : '';
    if (charts[id]) {
      charts[id].data.datasets = datasets;
      charts[id].update('none');
      continue;
    }
    charts[id] = new Chart(document.getElementById('plot-' + id), {
      type: 'line',
      data: {datasets},
      options: {
        animation: false, parsing: false, normalized: true, spanGaps: false, maintainAspectRatio: false,
        scales: {
          x: {type: 'linear', ticks: {callback: timeLabel, maxTicksLimit: 8}},
          y: {title: {display: !!unit, text: unit}},
        },
        plugins: {legend: {position: 'bottom', labels: {boxWidth: 12}}},
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
  try {
    const response = await fetch('api/history', {cache: 'no-store'});
    if (!response.ok) throw new Error('HTTP ' + response.status);
    drawCharts(await response.json());
  } catch (e) {
    setStatus('no history from the gateway (' + e.message + ')', 'stale');
  }
}

refreshState();
refreshHistory();
setInterval(refreshState, STATE_EVERY_MS);
setInterval(refreshHistory, HISTORY_EVERY_MS);
)js";
    return text;
}

const std::string& WebPageStyle()
{
    static const std::string text =
        R"css(body { font: 14px/1.4 system-ui, sans-serif; margin: 0; color: #222; background: #f4f5f7; }
header { display: flex; align-items: center; justify-content: space-between; padding: 10px 20px; background: #243447; color: #fff; }
h1 { font-size: 20px; margin: 0; }
h2 { font-size: 16px; margin: 18px 0 8px; }
h3 { font-size: 14px; margin: 0 0 6px; }
main { padding: 0 20px 20px; }
.status { padding: 3px 10px; border-radius: 10px; font-size: 13px; }
.status.live { background: #2e7d32; }
.status.stale { background: #b26a00; }
.status.down { background: #c62828; font-weight: 600; }
.stale { opacity: .5; filter: grayscale(1); }
.stale-note { color: #c62828; margin: 0 0 6px; }
.devices { display: grid; grid-template-columns: repeat(auto-fill, minmax(380px, 1fr)); gap: 12px; }
.scroll { overflow-x: auto; }
.device { background: #fff; border-radius: 6px; padding: 10px 12px; box-shadow: 0 1px 2px rgba(0,0,0,.15); }
table { border-collapse: collapse; }
.kv th { text-align: left; font-weight: normal; color: #555; padding: 1px 12px 1px 0; }
.kv td { font-variant-numeric: tabular-nums; }
.items { margin-top: 6px; font-size: 12px; }
.items th, .items td { padding: 1px 6px; border-bottom: 1px solid #eee; text-align: right; }
.alarms { background: #fff; width: 100%; }
.alarms th, .alarms td { text-align: left; padding: 4px 8px; border-bottom: 1px solid #eee; }
.alarm td { color: #b00020; }
.badge { background: #b00020; color: #fff; border-radius: 8px; padding: 0 6px; font-size: 12px; }
.ok { color: #2e7d32; }
.muted { color: #777; }
.small { font-size: 11px; margin: 4px 0 0; }
.plots { display: grid; grid-template-columns: repeat(auto-fill, minmax(420px, 1fr)); gap: 12px; }
figure { margin: 0; background: #fff; border-radius: 6px; padding: 8px; box-shadow: 0 1px 2px rgba(0,0,0,.15); }
figcaption { font-weight: 600; margin-bottom: 4px; }
.plot { position: relative; height: 220px; }
footer { padding: 10px 20px; color: #777; font-size: 12px; }
)css";
    return text;
}

}  // namespace vxpoll
