// The console's page: every view is drawn from the JSON API with DOM
// calls; every value is put in with textContent, never as markup.
'use strict';

const state = {
  session: null,      // /api/session's answer
  view: 'overview',
  tables: [],         // /api/tables's answer (for the browse view's choices)
  browse: { table: '', offset: 0, limit: 100, sort: '', desc: false, filters: [], page: null, row: null },
  samples: [],        // one per second: {t, counts: {group: n}, sums: {group: s}}
  series: { rate: {}, latency: {} },
};
const kGroups = ['session', 'navigation', 'row_lock', 'editing', 'find_sort', 'field_info', 'selection'];
const kColours = ['#1f6feb', '#d29922', '#8250df', '#1a7f37', '#cf222e', '#0a7ea4', '#6e7781'];
const kKeepSeconds = 300;

function $(id) { return document.getElementById(id); }
function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}
function clear(e) { while (e.firstChild) e.removeChild(e.firstChild); }
function status(text, bad) {
  const s = $('status');
  s.textContent = text || '';
  s.className = bad ? 'error' : '';
}

async function api(path, options) {
  const opts = Object.assign({ credentials: 'same-origin', headers: {} }, options || {});
  if (opts.method === 'POST' && state.session && state.session.token) {
    opts.headers['X-Console-Token'] = state.session.token;
    opts.headers['Content-Type'] = 'application/x-www-form-urlencoded';
  }
  const response = await fetch(path, opts);
  let body = null;
  try { body = await response.json(); } catch (e) { body = { error: 'unreadable answer' }; }
  if (response.status === 401 && state.session && state.session.logins) showLogin();
  if (!response.ok) throw new Error((body && body.error) || ('HTTP ' + response.status));
  return body;
}

function form(pairs) {
  const p = new URLSearchParams();
  for (const [k, v] of pairs) p.append(k, v);
  return p.toString();
}

// ---- Session and login ------------------------------------------------------
async function loadSession() {
  state.session = await api('/api/session');
  const s = state.session;
  $('who').textContent = s.logged_in ? (s.user ? 'user ' + s.user : 'open console') +
      (s.may_write ? ' (may edit)' : ' (read only)') : '';
  $('logout').hidden = !(s.logins && s.logged_in);
  if (s.logins && !s.logged_in) { showLogin(); return false; }
  $('login').hidden = true;
  return true;
}

function showLogin() {
  for (const v of document.querySelectorAll('.view')) v.hidden = true;
  $('login').hidden = false;
}

async function logIn(event) {
  event.preventDefault();
  try {
    const response = await fetch('/api/login', {
      method: 'POST', credentials: 'same-origin',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: form([['user', $('login-user').value], ['password', $('login-password').value]]),
    });
    const body = await response.json();
    if (!response.ok) throw new Error(body.error || 'login failed');
    $('login-password').value = '';
    status('');
    if (await loadSession()) route();
  } catch (e) { status(e.message, true); }
}

async function logOut() {
  try { await api('/api/logout', { method: 'POST', body: '' }); } catch (e) { /* gone already */ }
  await loadSession();
}

// ---- Views ------------------------------------------------------------------
function route() {
  const hash = decodeURIComponent(location.hash.slice(1) || 'overview');
  const [view, arg] = hash.split('/');
  state.view = ['overview', 'tables', 'browse', 'sessions', 'log'].includes(view) ? view : 'overview';
  for (const a of document.querySelectorAll('#nav a')) {
    a.classList.toggle('active', a.dataset.view === state.view);
  }
  for (const v of document.querySelectorAll('.view')) v.hidden = v.id !== 'view-' + state.view;
  status('');
  if (state.view === 'tables') showTables();
  if (state.view === 'browse') showBrowse(arg);
  if (state.view === 'sessions') showSessions();
  if (state.view === 'log') showLog();
  if (state.view === 'overview') drawOverview();
}

// ---- Overview: /metrics sampled every second ---------------------------------
function parseMetrics(text) {
  const samples = [];
  for (const line of text.split('\n')) {
    if (!line || line[0] === '#') continue;
    const m = /^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([^}]*)\})?\s+(\S+)/.exec(line);
    if (!m) continue;
    const labels = {};
    if (m[3]) {
      for (const part of m[3].matchAll(/([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"/g)) labels[part[1]] = part[2];
    }
    samples.push({ name: m[1], labels, value: Number(m[4]) });
  }
  return samples;
}

function metric(samples, name, labels) {
  for (const s of samples) {
    if (s.name !== name) continue;
    let ok = true;
    for (const k in labels || {}) if (s.labels[k] !== labels[k]) ok = false;
    if (ok) return s.value;
  }
  return undefined;
}

async function sample() {
  try {
    const [metricsText, health] = await Promise.all([
      fetch('/metrics', { credentials: 'same-origin' }).then(r => r.text()),
      fetch('/health', { credentials: 'same-origin' }).then(r => r.text().then(t => ({ ok: r.ok, text: t }))),
    ]);
    const m = parseMetrics(metricsText);
    const point = { t: Date.now(), counts: {}, sums: {}, metrics: m, health };
    for (const g of kGroups) {
      point.counts[g] = metric(m, 'ztserver_request_duration_seconds_count', { group: g }) || 0;
      point.sums[g] = metric(m, 'ztserver_request_duration_seconds_sum', { group: g }) || 0;
    }
    const previous = state.samples[state.samples.length - 1];
    state.samples.push(point);
    if (previous) {
      const seconds = Math.max((point.t - previous.t) / 1000, 0.001);
      for (const g of kGroups) {
        const dn = Math.max(point.counts[g] - previous.counts[g], 0);
        const ds = Math.max(point.sums[g] - previous.sums[g], 0);
        push(state.series.rate, g, dn / seconds);
        push(state.series.latency, g, dn > 0 ? 1000 * ds / dn : 0);
      }
    }
    while (state.samples.length > 2) state.samples.shift();
    if (state.view === 'overview') drawOverview();
  } catch (e) { /* the next second tries again */ }
}

function push(series, group, value) {
  const list = series[group] || (series[group] = []);
  list.push(value);
  while (list.length > kKeepSeconds) list.shift();
}

function drawChart(canvas, series) {
  const ctx = canvas.getContext('2d');
  const w = canvas.width, h = canvas.height, pad = 34;
  ctx.clearRect(0, 0, w, h);
  let max = 0, points = 0, latest = 0;
  for (const g of kGroups) {
    for (const v of series[g] || []) max = Math.max(max, v);
    points = Math.max(points, (series[g] || []).length);
    const list = series[g] || [];
    if (list.length) latest += list[list.length - 1];
  }
  max = max > 0 ? max * 1.1 : 1;
  ctx.strokeStyle = '#d5dbe1';
  ctx.fillStyle = '#5d6b78';
  ctx.font = '11px sans-serif';
  for (let i = 0; i <= 4; i++) {
    const y = pad / 2 + (h - pad) * i / 4;
    ctx.beginPath(); ctx.moveTo(pad, y); ctx.lineTo(w - 4, y); ctx.stroke();
    ctx.fillText((max * (4 - i) / 4).toPrecision(3), 2, y + 4);
  }
  ctx.fillText('-5 min', pad, h - 4);
  ctx.fillText('now', w - 26, h - 4);
  kGroups.forEach((g, k) => {
    const list = series[g] || [];
    if (list.length < 2) return;
    ctx.strokeStyle = kColours[k];
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    list.forEach((v, i) => {
      const x = pad + (w - pad - 4) * (kKeepSeconds - list.length + i) / (kKeepSeconds - 1);
      const y = pad / 2 + (h - pad) * (1 - v / max);
      if (i === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
    });
    ctx.stroke();
  });
  // What the tests read: how many points, and the sum of the latest values.
  canvas.dataset.points = String(points);
  canvas.dataset.latest = String(latest);
}

function card(parent, label, value) {
  const c = el('div', null, 'card');
  c.appendChild(el('div', label, 'label'));
  c.appendChild(el('div', value, 'value'));
  parent.appendChild(c);
}

function formatSeconds(s) {
  s = Math.floor(s);
  const d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  return (d ? d + 'd ' : '') + (h ? h + 'h ' : '') + m + 'm ' + (s % 60) + 's';
}

function formatBytes(n) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
  return (i ? n.toFixed(1) : String(n)) + ' ' + units[i];
}

function drawOverview() {
  const point = state.samples[state.samples.length - 1];
  drawChart($('chart-rate'), state.series.rate);
  drawChart($('chart-latency'), state.series.latency);
  const legend = $('chart-legend');
  if (!legend.firstChild) {
    kGroups.forEach((g, k) => {
      const s = el('span', g);
      const i = el('i');
      i.style.background = kColours[k];
      s.insertBefore(i, s.firstChild);
      legend.appendChild(s);
    });
  }
  if (!point) return;
  const m = point.metrics;
  const cards = $('overview-cards');
  clear(cards);
  card(cards, 'Health', point.health.ok ? 'ok' : point.health.text.trim());
  card(cards, 'Uptime', formatSeconds(metric(m, 'ztserver_uptime_seconds') || 0));
  card(cards, 'Connections', metric(m, 'ztserver_connections'));
  card(cards, 'Open recordsets', metric(m, 'ztserver_recordsets_open'));
  card(cards, 'Row locks held', metric(m, 'ztserver_row_locks_held'));
  let rate = 0;
  for (const g of kGroups) { const l = state.series.rate[g] || []; if (l.length) rate += l[l.length - 1]; }
  card(cards, 'Requests/s', rate.toFixed(1));
  card(cards, 'Log syncs', metric(m, 'ztserver_log_syncs_total'));
  card(cards, 'Log records', metric(m, 'ztserver_log_records_total'));
  card(cards, 'Commit failures', metric(m, 'ztserver_log_commit_failures_total'));
  card(cards, 'Clean last shutdown', metric(m, 'ztserver_recovery_clean_shutdown') === 1 ? 'yes' : 'no');
  card(cards, 'Replayed log records', metric(m, 'ztserver_recovery_replayed_records'));
  const files = $('overview-files');
  clear(files);
  const head = files.createTHead().insertRow();
  head.appendChild(el('th', 'File'));
  head.appendChild(el('th', 'Size'));
  const body = files.createTBody();
  for (const s of m) {
    if (s.name !== 'ztserver_file_size_bytes') continue;
    const row = body.insertRow();
    row.appendChild(el('td', s.labels.file || JSON.stringify(s.labels)));
    row.appendChild(el('td', formatBytes(s.value)));
  }
}

// ---- Tables -----------------------------------------------------------------
async function loadTables() {
  const answer = await api('/api/tables');
  state.tables = answer.tables;
  return answer.tables;
}

async function showTables() {
  const list = $('tables-list');
  try {
    const tables = await loadTables();
    clear(list);
    for (const t of tables) {
      const box = el('div', null, 'table-card');
      const title = el('h3');
      const link = el('a', t.name);
      link.href = '#browse/' + encodeURIComponent(t.name);
      title.appendChild(link);
      title.appendChild(el('span', '  ' + (t.rows >= 0 ? t.rows + ' rows' : 'cannot be opened')));
      box.appendChild(title);
      const grid = el('table', null, 'grid');
      const head = grid.createTHead().insertRow();
      for (const h of ['Column', 'Type', 'Size', 'Key']) head.appendChild(el('th', h));
      const body = grid.createTBody();
      for (const c of t.columns) {
        const row = body.insertRow();
        row.appendChild(el('td', c.name));
        row.appendChild(el('td', c.type));
        row.appendChild(el('td', c.size));
        row.appendChild(el('td', c.key ? 'key' : ''));
      }
      box.appendChild(grid);
      list.appendChild(box);
    }
  } catch (e) { status(e.message, true); }
}

// ---- Browse -----------------------------------------------------------------
async function showBrowse(table) {
  if (!state.tables.length) {
    try { await loadTables(); } catch (e) { status(e.message, true); return; }
  }
  const select = $('browse-table');
  clear(select);
  for (const t of state.tables) select.appendChild(el('option', t.name));
  const b = state.browse;
  if (table && table !== b.table) {
    Object.assign(b, { table, offset: 0, sort: '', desc: false, filters: [], row: null });
  }
  if (!b.table && state.tables.length) b.table = state.tables[0].name;
  select.value = b.table;
  $('row-add').hidden = !(state.session && state.session.may_write);
  drawFilters();
  await fetchPage();
}

function columnsOf(table) {
  const t = state.tables.find(x => x.name === table);
  return t ? t.columns : [];
}

function drawFilters() {
  const box = $('filters');
  clear(box);
  state.browse.filters.forEach((f, i) => {
    const line = el('div', null, 'filter');
    const column = el('select');
    column.className = 'filter-column';
    for (const c of columnsOf(state.browse.table)) column.appendChild(el('option', c.name));
    column.value = f.column || (columnsOf(state.browse.table)[0] || {}).name || '';
    f.column = column.value;
    column.onchange = () => { f.column = column.value; };
    const op = el('select');
    op.className = 'filter-op';
    for (const o of ['=', '<>', '<', '<=', '>', '>=']) op.appendChild(el('option', o));
    op.value = f.op || '=';
    f.op = op.value;
    op.onchange = () => { f.op = op.value; };
    const value = el('input');
    value.className = 'filter-value';
    value.value = f.value || '';
    value.oninput = () => { f.value = value.value; };
    const remove = el('button', 'Remove');
    remove.onclick = () => { state.browse.filters.splice(i, 1); drawFilters(); };
    line.append(column, op, value, remove);
    box.appendChild(line);
  });
}

async function fetchPage() {
  const b = state.browse;
  if (!b.table) return;
  const q = [['table', b.table], ['offset', b.offset], ['limit', b.limit]];
  if (b.sort) { q.push(['sort', b.sort]); q.push(['order', b.desc ? 'desc' : 'asc']); }
  for (const f of b.filters) {
    if (!f.value) continue;
    q.push(['fc', f.column], ['fo', f.op], ['fv', f.value]);
  }
  const started = performance.now();
  try {
    b.page = await api('/api/rows?' + form(q));
    drawPage();
    const ms = performance.now() - started;
    $('browse-grid').dataset.ms = ms.toFixed(1);
  } catch (e) { status(e.message, true); }
}

function drawPage() {
  const b = state.browse, page = b.page;
  $('browse-title').textContent = page.table;
  const grid = $('browse-grid');
  clear(grid);
  const head = grid.createTHead().insertRow();
  page.columns.forEach((c) => {
    const th = el('th', c.name + (b.sort === c.name ? (b.desc ? ' \u25bc' : ' \u25b2') : ''));
    th.dataset.column = c.name;
    th.onclick = () => {
      if (b.sort === c.name) b.desc = !b.desc; else { b.sort = c.name; b.desc = false; }
      b.offset = 0;
      fetchPage();
    };
    head.appendChild(th);
  });
  const body = grid.createTBody();
  page.rows.forEach((values, i) => {
    const row = body.insertRow();
    values.forEach((v) => {
      const td = el('td', v === null ? 'null' : v, v === null ? 'null' : '');
      row.appendChild(td);
    });
    row.onclick = () => showRow(i);
  });
  const last = Math.min(page.offset + page.rows.length, page.total);
  $('page-info').textContent = page.total ? (page.offset + 1) + '\u2013' + last + ' of ' + page.total : 'no rows';
  $('page-prev').disabled = page.offset <= 0;
  $('page-next').disabled = last >= page.total;
  status(page.truncated ? 'The answer was cut at its size bound' : '');
}

function keyColumn() {
  const page = state.browse.page;
  const i = page.columns.findIndex(c => c.key);
  return i >= 0 ? i : -1;
}

// A row's full values; editable when the user may write. index -1: a new row.
function showRow(index) {
  const b = state.browse, page = b.page;
  b.row = index;
  const values = index >= 0 ? page.rows[index] : page.columns.map(() => '');
  const grid = $('row-fields');
  clear(grid);
  const writable = state.session && state.session.may_write;
  const body = grid.createTBody();
  page.columns.forEach((c, k) => {
    const row = body.insertRow();
    row.appendChild(el('th', c.name));
    const td = row.insertCell();
    if (writable) {
      const input = el('textarea');
      input.rows = 1;
      input.value = values[k] === null ? '' : values[k];
      input.dataset.column = c.name;
      input.dataset.original = input.value;
      td.appendChild(input);
    } else {
      td.textContent = values[k] === null ? 'null' : values[k];
    }
  });
  $('row-save').hidden = !writable;
  $('row-delete').hidden = !writable || index < 0;
  $('row-detail').hidden = false;
}

async function edit(pairs) {
  try {
    await api('/api/edit', { method: 'POST', body: form(pairs) });
    status('Done');
    $('row-detail').hidden = true;
    await fetchPage();
  } catch (e) { status('The server refused: ' + e.message, true); }
}

function saveRow() {
  const b = state.browse, page = b.page, k = keyColumn();
  if (k < 0) { status('This table has no key column: rows cannot be told apart', true); return; }
  const inputs = [...document.querySelectorAll('#row-fields textarea')];
  const pairs = [['table', page.table], ['key', page.columns[k].name]];
  if (b.row < 0) {
    pairs.unshift(['action', 'add']);
    pairs.push(['keyvalue', inputs[k].value]);
    for (const input of inputs) if (input.value !== '') pairs.push(['c', input.dataset.column], ['v', input.value]);
  } else {
    pairs.unshift(['action', 'set']);
    pairs.push(['keyvalue', page.rows[b.row][k]]);
    for (const input of inputs) {
      if (input.value !== input.dataset.original) pairs.push(['c', input.dataset.column], ['v', input.value]);
    }
    if (pairs.length === 4) { status('Nothing changed'); return; }
  }
  edit(pairs);
}

function deleteRow() {
  const b = state.browse, page = b.page, k = keyColumn();
  if (k < 0) { status('This table has no key column: rows cannot be told apart', true); return; }
  edit([['action', 'delete'], ['table', page.table], ['key', page.columns[k].name],
        ['keyvalue', page.rows[b.row][k]]]);
}

// ---- Sessions and log -------------------------------------------------------
async function showSessions() {
  try {
    const answer = await api('/api/sessions');
    const grid = $('sessions-grid');
    clear(grid);
    const head = grid.createTHead().insertRow();
    for (const h of ['Address', 'Connected', 'Requests', 'User', 'TLS', 'Console', 'Recordsets', 'Row locks', 'Waiting']) {
      head.appendChild(el('th', h));
    }
    const body = grid.createTBody();
    for (const s of answer.sessions) {
      const row = body.insertRow();
      for (const v of [s.peer, formatSeconds(s.connected_seconds), s.requests, s.user, s.tls ? 'yes' : '',
                       s.console ? 'yes' : '', s.recordsets, s.row_locks,
                       s.waiting ? 'waiting' : (s.running_job ? 'long request' : '')]) {
        row.appendChild(el('td', v));
      }
    }
  } catch (e) { status(e.message, true); }
}

async function showLog() {
  try {
    const answer = await api('/api/log?lines=300');
    $('log-lines').textContent = answer.lines.join('\n');
  } catch (e) { status(e.message, true); }
}

// ---- Start ------------------------------------------------------------------
async function start() {
  $('login-form').addEventListener('submit', logIn);
  $('logout').onclick = logOut;
  $('browse-table').onchange = () => { location.hash = '#browse/' + encodeURIComponent($('browse-table').value); };
  $('filter-add').onclick = () => { state.browse.filters.push({ column: '', op: '=', value: '' }); drawFilters(); };
  $('browse-apply').onclick = () => { state.browse.offset = 0; fetchPage(); };
  $('page-prev').onclick = () => { state.browse.offset = Math.max(0, state.browse.offset - state.browse.limit); fetchPage(); };
  $('page-next').onclick = () => { state.browse.offset += state.browse.limit; fetchPage(); };
  $('row-add').onclick = () => showRow(-1);
  $('row-save').onclick = saveRow;
  $('row-delete').onclick = deleteRow;
  $('row-close').onclick = () => { $('row-detail').hidden = true; };
  window.addEventListener('hashchange', route);
  try {
    if (await loadSession()) route();
  } catch (e) { status(e.message, true); }
  sample();
  setInterval(sample, 1000);
}

document.addEventListener('DOMContentLoaded', start);
