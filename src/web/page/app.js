// The live page: fills itself from /api/state, /api/calls and /api/stats,
// then follows /api/events.  Everything that came over the air or from the
// settings is put in as text (textContent), never as markup.
'use strict';

const $ = (id) => document.getElementById(id);
const systems = new Map();   // "source|sys" -> system
const calls = new Map();     // "source|sys|channel" -> call_start record
const channels = new Map();  // "source|sys|channel" -> channel
let events = [];
let stats = [];
let skew = 0;                // server clock less this browser's, ms
const query = { unit: '', channel: '', offset: 0, limit: 20 };
let historyTimer = null;

const EVENT_TYPES = new Set(['SAM', 'HEAD', 'RQE', 'MOVE', 'BCAST', 'control_channel', 'TIMEOUT']);
const worthSeeing = (r) => EVENT_TYPES.has(r.type) || r.emergency === true;

function cell(tr, text, cls) {
  const td = document.createElement('td');
  td.textContent = text === undefined || text === null ? '' : String(text);
  if (cls) td.className = cls;
  tr.appendChild(td);
  return td;
}

function clear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
}

const sysKey = (r) => (r.source || '') + '|' + r.sys;
const chanKey = (r) => sysKey(r) + '|' + r.channel;
const sysText = (r) => (r.sys === null || r.sys === undefined ? '-' : r.sys);
const clockText = (t) => (t ? new Date(t).toLocaleTimeString() : '');
const mhz = (f) => (typeof f === 'number' ? f.toFixed(4) + ' MHz' : '');

// "(12) 345 Taxi base": a party with its name when the aliases give one.
function party(td, prefix, ident, name) {
  td.textContent = '(' + prefix + ') ' + ident;
  if (name) {
    const s = document.createElement('span');
    s.className = 'name';
    s.textContent = ' ' + name;
    td.appendChild(s);
  }
}

// "0:07", or "4.2 s" for a call shorter than a minute that has ended.
function seconds(s, tenths) {
  if (tenths && s < 60) return s.toFixed(1) + ' s';
  s = Math.max(0, Math.round(s));
  const m = Math.floor(s / 60);
  return m + ':' + String(s % 60).padStart(2, '0');
}

function perMinute(st, what) {
  if (!st || !st.seconds) return '';
  return Math.round(st[what] * 60 / st.seconds);
}

function drawSystems() {
  const body = $('systems').tBodies[0];
  clear(body);
  for (const y of systems.values()) {
    const tr = document.createElement('tr');
    cell(tr, y.source || 'this receiver');
    cell(tr, y.sys);
    cell(tr, y.name === null ? '' : y.name, 'sysname');
    cell(tr, mhz(y.cch_freq), 'num');
    cell(tr, perMinute(y.stats, 'passed'), 'num');
    cell(tr, perMinute(y.stats, 'failed'), 'num');
    cell(tr, clockText(y.last_heard), 'num');
    body.appendChild(tr);
  }
}

function drawNow() {
  const body = $('now').tBodies[0];
  clear(body);
  const now = Date.now() + skew;
  for (const c of calls.values()) {
    const tr = document.createElement('tr');
    tr.dataset.channel = c.channel;
    cell(tr, sysText(c));
    cell(tr, c.channel, 'num');
    cell(tr, mhz(c.freq), 'num');
    party(cell(tr, ''), c.prefix, c.ident2, c.ident2_name);
    party(cell(tr, ''), c.prefix, c.ident1, c.ident1_name);
    cell(tr, c.followed ? 'yes' : 'no');
    cell(tr, seconds((now - Date.parse(c.time)) / 1000), 'num duration');
    body.appendChild(tr);
  }
  $('now-none').hidden = calls.size > 0;
}

function drawBoard() {
  const board = $('board');
  clear(board);
  const list = [...channels.values()].sort((a, b) => a.channel - b.channel);
  for (const c of list) {
    const d = document.createElement('div');
    d.className = 'chan' + (c.busy ? ' busy' : '');
    d.dataset.channel = c.channel;
    const b = document.createElement('b');
    b.textContent = 'Ch ' + c.channel;
    const s = document.createElement('small');
    s.textContent = mhz(c.freq) + (c.busy ? ' busy' : ' idle') + ', ' + c.calls + ' call' +
                    (c.calls === 1 ? '' : 's');
    d.append(b, s);
    board.appendChild(d);
  }
}

function details(r) {
  const skip = new Set(['time', 'offset', 'sys', 'type', 'source']);
  const parts = [];
  for (const [k, v] of Object.entries(r)) {
    if (!skip.has(k)) parts.push(k + '=' + (Array.isArray(v) ? v.join(' ') : v));
  }
  return parts.join('  ');
}

function drawEvents() {
  const body = $('events').tBodies[0];
  clear(body);
  for (const r of events) {
    const tr = document.createElement('tr');
    if (r.emergency === true || r.type === 'RQE') tr.className = 'emergency';
    cell(tr, clockText(r.time), 'num');
    cell(tr, sysText(r));
    cell(tr, r.type);
    cell(tr, details(r));
    body.appendChild(tr);
  }
}

function drawChart() {
  const canvas = $('chart');
  const ratio = window.devicePixelRatio || 1;
  const w = canvas.clientWidth || 640, h = canvas.clientHeight || 180;
  canvas.width = w * ratio;
  canvas.height = h * ratio;
  const g = canvas.getContext('2d');
  g.scale(ratio, ratio);
  g.clearRect(0, 0, w, h);
  const points = stats.slice(-60).map((s) => ({
    calls: s.seconds ? s.calls * 60 / s.seconds : 0,
    passed: perMinute(s, 'passed') || 0,
    failed: perMinute(s, 'failed') || 0,
  }));
  g.fillStyle = '#777';
  g.font = '11px sans-serif';
  if (!points.length) {
    g.fillText('No minute of statistics yet.', 10, 20);
    return;
  }
  const left = 40, bottom = h - 16, top = 10, width = w - left - 40;
  const maxCalls = Math.max(1, ...points.map((p) => p.calls));
  const maxWords = Math.max(1, ...points.map((p) => p.passed + p.failed));
  const step = width / points.length;
  g.fillText(String(Math.round(maxWords)), 2, top + 8);
  g.fillText(String(Math.round(maxCalls)), left + width + 4, top + 8);
  g.fillStyle = '#4f7cc4';
  points.forEach((p, i) => {
    const bh = (bottom - top) * p.calls / maxCalls;
    g.fillRect(left + i * step + step * 0.2, bottom - bh, step * 0.6, bh);
  });
  for (const [what, color] of [['passed', '#2e7d32'], ['failed', '#c62828']]) {
    g.strokeStyle = color;
    g.lineWidth = 2;
    g.beginPath();
    points.forEach((p, i) => {
      const x = left + i * step + step / 2, y = bottom - (bottom - top) * p[what] / maxWords;
      if (i) g.lineTo(x, y); else g.moveTo(x, y);
    });
    g.stroke();
  }
  g.strokeStyle = '#999';
  g.lineWidth = 1;
  g.beginPath();
  g.moveTo(left, bottom);
  g.lineTo(left + width, bottom);
  g.stroke();
}

async function getJSON(url) {
  const res = await fetch(url, { cache: 'no-store' });
  if (!res.ok) throw new Error(url + ': ' + res.status);
  return res.json();
}

async function loadHistory() {
  const p = new URLSearchParams({ offset: query.offset, limit: query.limit });
  if (query.unit !== '') p.set('unit', query.unit);
  if (query.channel !== '') p.set('channel', query.channel);
  const page = await getJSON('/api/calls?' + p);
  const body = $('history').tBodies[0];
  clear(body);
  for (const c of page.calls) {
    const tr = document.createElement('tr');
    cell(tr, clockText(c.time), 'num');
    cell(tr, sysText(c));
    cell(tr, c.channel, 'num');
    cell(tr, mhz(c.freq), 'num');
    party(cell(tr, ''), c.prefix, c.ident2, c.ident2_name);
    party(cell(tr, ''), c.prefix, c.ident1, c.ident1_name);
    cell(tr, seconds(c.duration, true), 'num');
    cell(tr, c.ended);
    cell(tr, c.followed ? 'yes' : 'no');
    const td = cell(tr, '');
    if (c.file) {
      const a = document.createElement('audio');
      a.controls = true;
      a.preload = 'metadata';
      a.src = '/recordings/' + encodeURIComponent(c.file.split(/[\\/]/).pop());
      td.appendChild(a);
    }
    body.appendChild(tr);
  }
  const last = Math.min(page.total, query.offset + page.calls.length);
  $('page').textContent = page.total ? (query.offset + 1) + '-' + last + ' of ' + page.total : 'no calls';
  $('newer').disabled = query.offset === 0;
  $('older').disabled = last >= page.total;
}

function historySoon() {
  if (historyTimer) return;
  historyTimer = setTimeout(() => {
    historyTimer = null;
    loadHistory().catch(() => {});
  }, 500);
}

async function loadStats() {
  stats = (await getJSON('/api/stats')).stats;
  drawChart();
}

async function loadState() {
  const s = await getJSON('/api/state');
  skew = Date.parse(s.time) - Date.now();
  systems.clear();
  calls.clear();
  channels.clear();
  for (const y of s.systems) systems.set(sysKey(y), y);
  for (const c of s.calls) calls.set(chanKey(c), c);
  for (const c of s.channels) channels.set(chanKey(c), c);
  events = s.events;
  drawSystems();
  drawNow();
  drawBoard();
  drawEvents();
}

function onRecord(r) {
  if (r.sys !== null) {
    const key = sysKey(r);
    let y = systems.get(key);
    if (!y) {
      y = { source: r.source || '', sys: r.sys, name: null, cch_freq: null, stats: null };
      for (const o of systems.values()) if (o.source === y.source) y.stats = o.stats;
      systems.set(key, y);
    }
    y.last_heard = r.time;
    y.last_offset = r.offset;
    if (r.type === 'identity') {
      y.name = r.name;
      y.cch_freq = r.cch_freq;
    }
  }
  if (r.type === 'call_start') {
    calls.set(chanKey(r), r);
    const c = channels.get(chanKey(r)) || { source: r.source || '', sys: r.sys, channel: r.channel, calls: 0 };
    c.freq = r.freq;
    c.busy = true;
    c.calls++;
    channels.set(chanKey(r), c);
    drawNow();
    drawBoard();
  } else if (r.type === 'call_end') {
    calls.delete(chanKey(r));
    const c = channels.get(chanKey(r));
    if (c) c.busy = false;
    drawNow();
    drawBoard();
    historySoon();
  } else if (r.type === 'stats') {
    for (const y of systems.values()) if (y.source === (r.source || '')) y.stats = r;
    loadStats().catch(() => {});
  }
  if (worthSeeing(r)) {
    events.unshift(r);
    events.length = Math.min(events.length, 200);
    drawEvents();
  }
  drawSystems();
}

function follow() {
  const es = new EventSource('/api/events');
  es.onopen = () => {
    $('link').textContent = 'live';
    $('link').className = 'link up';
  };
  es.onerror = () => {
    $('link').textContent = 'reconnecting';
    $('link').className = 'link down';
  };
  es.onmessage = (m) => onRecord(JSON.parse(m.data));
  // Records were dropped while this page fell behind: start again from the state.
  es.addEventListener('skipped', () => {
    loadState().catch(() => {});
    historySoon();
  });
}

function setFilter(unit, channel) {
  query.unit = unit.trim();
  query.channel = channel.trim();
  query.offset = 0;
  loadHistory().catch(() => {});
}

$('filter').addEventListener('submit', (ev) => {
  ev.preventDefault();
  setFilter($('f-unit').value, $('f-channel').value);
});
$('f-clear').addEventListener('click', () => {
  $('f-unit').value = '';
  $('f-channel').value = '';
  setFilter('', '');
});
$('newer').addEventListener('click', () => {
  query.offset = Math.max(0, query.offset - query.limit);
  loadHistory().catch(() => {});
});
$('older').addEventListener('click', () => {
  query.offset += query.limit;
  loadHistory().catch(() => {});
});
setInterval(() => {
  $('clock').textContent = new Date(Date.now() + skew).toLocaleTimeString();
  if (calls.size) drawNow();
}, 1000);
window.addEventListener('resize', drawChart);

Promise.all([loadState(), loadHistory(), loadStats()]).catch(() => {}).then(follow);
