// orna panel: drives the instrument through /api and charts /api/stream.
'use strict';
(function () {
  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);
  const idOf = (name) => name.replace(/_/g, '-');

  // Changes go one after another, in the order the user made them: sent
  // together, they would be applied in whatever order the server takes them.
  let changes = Promise.resolve();
  function api(method, path, body) {
    if (method === 'GET') return request(method, path, body);
    const p = changes.then(() => request(method, path, body));
    changes = p.catch(() => {});
    return p;
  }

  async function request(method, path, body) {
    const init = { method, headers: { 'X-Orna-Token': token } };
    if (body !== undefined) {
      init.headers['Content-Type'] = typeof body === 'string' ? 'text/plain' : 'application/json';
      init.body = typeof body === 'string' ? body : JSON.stringify(body);
    }
    const res = await fetch(path, init);
    if (!res.ok) throw new Error(res.status + ' ' + (await res.text()));
    return res.json();
  }

  // ---- Settings fields ------------------------------------------------------
  let schema = {};
  let state = null;
  const editing = new Set();  // fields typed into and not yet applied

  const labels = {
    amplitude: 'Amplitude', frequency: 'Frequency', bpm: 'Heart rate', pulse_width: 'Pulse width', qrs: 'QRS duration',
    t_wave: 'T wave', iec227: 'IEC 60601-2-27', iec251: 'IEC 60601-2-51',
    pacing_amplitude: 'Amplitude', pacing_width: 'Width', pacing_rate: 'Rate', pacing_mode: 'Mode',
    overshoot: 'Overshoot', dc_offset: 'DC offset', dc_variable: 'Variable offset',
    common_mode: 'Common mode', impedance: 'Input impedance', dynamic_range: 'Dynamic range',
    dynamic_range_frequency: 'Dyn. range freq.', noise: 'Mains noise', noise_amplitude: 'Noise amplitude',
    drift: 'Baseline drift', baseline_reset: 'Baseline reset', freq_scan_ecg: 'ECG rate scan',
    freq_scan_sine: 'Sine scan',
  };
  const numbered = (names) => names.map((n, i) => [i, i + ': ' + n]);
  const choices = {
    pacing_mode: [[0, 'single'], [1, 'double']],
    noise: [[0, 'off'], [1, '50 Hz'], [2, '60 Hz']],
    baseline_reset: [[0, 'off'], [1, '50 Hz'], [2, '60 Hz'], [3, '80 Hz'], [4, '100 Hz']],
    iec227: numbered(['3a ventricular bigeminy', '3b slow alternating ventricular bigeminy',
      '3c rapid alternating ventricular bigeminy', '3d bidirectional systoles',
      '4a tachycardia', '4a tachycardia, double amplitude', '4a tachycardia, half amplitude',
      '4b tachycardia', '4b tachycardia, double amplitude', '4b tachycardia, half amplitude']),
    iec251: numbered(['QRS 2.5 mV, P 0.075 mV', 'QRS 5 mV', 'QRS 3 mV', 'QRS 10 mV, P 0.3 mV',
      'QRS 1.5 mV', 'QRS 5 mV (as 1)']),
  };
  // A value the list does not hold (set by a script): any pacing mode but 0 is double.
  const otherChoice = (name, v) => (name === 'pacing_mode' ? 'double (mode ' + v + ')' : String(v));

  function showResult(name, r) {
    const msg = $('msg-' + idOf(name));
    const input = $(idOf(name));
    if (!msg) return;
    msg.textContent = r.code === 0 ? '' : r.text + ' (' + r.code + ')';
    msg.className = 'msg' + (r.code === 0 ? '' : ' error');
    if (input) input.classList.toggle('refused', r.code !== 0);
  }
  // Being corrected: the refusal no longer speaks for what the field holds.
  const clearResult = (name) => showResult(name, { code: 0 });

  async function apply(values) {
    try {
      const r = await api('POST', '/api/settings', values);
      for (const [name, res] of Object.entries(r.results)) {
        editing.delete(name);
        showResult(name, res);
      }
      if (state) state.settings = r.settings;
      showSettings(r.settings, true);
      return r;
    } catch (e) {
      $('status').textContent = 'error: ' + e.message;
    }
  }

  function addField(box, s) {
    const name = s.name, id = idOf(name);
    const row = document.createElement('div');
    row.className = 'field';
    const label = document.createElement('label');
    label.htmlFor = id;
    label.textContent = labels[name] || name;
    row.appendChild(label);
    let input;
    if (choices[name]) {
      input = document.createElement('select');
      for (const [v, t] of choices[name]) input.add(new Option(t, v));
      input.addEventListener('change', () => apply({ [name]: Number(input.value) }));
    } else if (s.kind === 'boolean') {
      input = document.createElement('input');
      input.type = 'checkbox';
      input.addEventListener('change', () => apply({ [name]: input.checked }));
    } else if (name === 'dynamic_range') {
      // An amplitude switches the overlay on, the box off.
      const span = document.createElement('span');
      span.className = 'combo';
      const on = document.createElement('input');
      on.type = 'checkbox';
      on.id = id + '-on';
      input = document.createElement('input');
      input.type = 'number'; input.step = 'any'; input.value = 1;
      const send = () => apply({ [name]: on.checked ? Number(input.value) : false });
      on.addEventListener('change', send);
      input.addEventListener('change', () => { if (on.checked) send(); else editing.delete(name); });
      input.addEventListener('input', () => { editing.add(name); clearResult(name); });
      span.append(on, input);
      input.id = id;
      row.appendChild(span);
      input = null;
    } else if (name === 'freq_scan_sine') {
      const span = document.createElement('span');
      span.className = 'combo';
      const on = document.createElement('input');
      on.type = 'checkbox';
      on.id = id;
      const parts = ['start', 'stop', 'duration'].map((p, i) => {
        const f = document.createElement('input');
        f.type = 'number'; f.step = 'any'; f.id = id + '-' + p; f.title = p;
        f.value = [0.67, 150, 30][i];
        return f;
      });
      on.addEventListener('change', () =>
        apply({ [name]: on.checked ? parts.map((f) => Number(f.value)) : false }));
      span.append(on, ...parts, ' Hz, Hz, s');
      span.classList.add('wide');
      row.appendChild(span);
    } else {
      input = document.createElement('input');
      input.type = 'number';
      input.step = 'any';
      input.addEventListener('input', () => { editing.add(name); clearResult(name); });
      // 'change' fires on Enter and on leaving the field.
      input.addEventListener('change', () => {
        if (input.value === '') { editing.delete(name); return; }  // refilled once left
        apply({ [name]: Number(input.value) });
      });
      input.addEventListener('keydown', (e) => {
        if (e.key === 'Enter') input.blur();  // leaving the field applies it
        if (e.key === 'Escape') { editing.delete(name); clearResult(name); showSettings(state.settings, true); }
      });
    }
    if (input) { input.id = id; row.appendChild(input); }
    const combo = name === 'dynamic_range' || name === 'freq_scan_sine';  // spans the unit's column
    const unit = document.createElement('span');
    unit.textContent = s.unit || '';
    if (!combo) row.appendChild(unit);
    const range = document.createElement('span');
    range.className = 'range';
    if (s.min !== undefined && !choices[name] && name !== 'freq_scan_sine')
      range.textContent = s.min + ' .. ' + s.max + ' (' + (s.default === false ? 'off' : s.default) + ')';
    else if (name === 'freq_scan_sine') range.textContent = 'Hz, Hz, s';
    else range.textContent = '(' + (s.kind === 'boolean' ? (s.default ? 'on' : 'off') : s.default) + ')';
    if (name === 'dynamic_range') range.textContent = 'mV ' + range.textContent;
    if (name === 'freq_scan_sine') range.textContent = '';  // no room: the title says it
    range.title = 'range and (default)';
    if (name === 'freq_scan_sine') row.title = 'start and stop 0.67 .. 500 Hz, duration 10 .. 180 s';
    row.appendChild(range);
    const msg = document.createElement('span');
    msg.className = 'msg';
    msg.id = 'msg-' + id;
    row.appendChild(msg);
    box.appendChild(row);
  }

  function showSettings(s, force) {
    if (!s) return;
    for (const [name, value] of Object.entries(s)) {
      if (editing.has(name) && !force) continue;
      const el = $(idOf(name));
      // A field being typed into keeps what the user typed.
      if (!el || (document.activeElement === el && !force)) continue;
      if (name === 'dynamic_range') {
        $(idOf(name) + '-on').checked = value !== false;
        if (value !== false) el.value = value;
      } else if (name === 'freq_scan_sine') {
        el.checked = value !== false;
        if (value !== false) ['start', 'stop', 'duration'].forEach((p, i) => { $(idOf(name) + '-' + p).value = value[i]; });
      } else if (el.type === 'checkbox') el.checked = !!value;
      else if (el.tagName === 'SELECT' && name !== 'function') {
        if (![...el.options].some((o) => o.value === String(value))) el.add(new Option(otherChoice(name, value), value));
        el.value = String(value);
      } else if (name !== 'function') el.value = String(value);
    }
    if (s.lead) for (let i = 0; i <= 8; ++i) $('lead-' + i).checked = s.lead.includes(i);
    if (s.function > 0 && document.activeElement !== $('function')) $('function').value = String(s.function);
  }

  // ---- State ----------------------------------------------------------------
  function row(table, k, v) {
    const tr = table.insertRow();
    tr.insertCell().textContent = k;
    tr.insertCell().textContent = v;
  }

  // The monitor's latest reports beside the rate being played.
  function showMonitor(st) {
    const m = st.monitor;
    $('monitor').hidden = !m;
    if (!m) return;
    const s = st.settings || {};
    const rate = s.bpm != null ? s.bpm : (s.frequency != null ? s.frequency * 60 : null);
    $('monitor-played').textContent = st.streaming && rate != null ? 'playing ' + (+rate.toFixed(1)) + ' /min' : 'not playing';
    $('monitor-listening').textContent = 'listening on ' + m.listening + ', ' + m.messages + ' messages';
    const values = $('monitor-values').tBodies[0], alarms = $('monitor-alarms').tBodies[0];
    values.innerHTML = '';
    alarms.innerHTML = '';
    for (const v of m.values) {
      const tr = values.insertRow();
      for (const text of [v.name, v.value + ' ' + v.units, v.time, v.message_id]) tr.insertCell().textContent = text;
    }
    for (const a of m.alarms) {
      const tr = alarms.insertRow();
      tr.className = a.active ? 'alarm-active' : '';
      for (const text of [a.name, a.active ? 'raised' : 'ended', a.time, a.message_id]) tr.insertCell().textContent = text;
    }
  }

  function showState(st) {
    state = st;
    showMonitor(st);
    const status = $('status');
    status.className = 'status' + (st.lost ? ' lost' : st.streaming ? ' streaming' : st.connected ? ' connected' : '');
    status.textContent = st.lost ? 'instrument lost' : st.streaming ? 'streaming' : st.connected ? 'connected, stopped' : 'not connected';
    $('lost').hidden = !st.lost;
    const id = $('identity');
    id.innerHTML = '';
    const idRows = st.connected ? [['port', st.port + (st.virtual ? ' (virtual instrument)' : '')],
      ['serial', st.identity.serial], ['hardware', st.identity.hardware],
      ['firmware', st.identity.firmware_version], ['hardware version', st.identity.hardware_version]] : [];
    idRows.push(['library', st.identity.library_version]);
    for (const [k, v] of idRows) {
      const dt = document.createElement('dt'); dt.textContent = k;
      const dd = document.createElement('dd'); dd.textContent = v === null ? '-' : v;
      id.append(dt, dd);
    }
    const tb = $('link').tBodies[0];
    tb.innerHTML = '';
    const l = st.link;
    row(tb, 'requests', l.requests); row(tb, 'packets', l.packets);
    row(tb, 'sequence errors', l.sequence_errors); row(tb, 'lost', l.lost ? 'yes' : 'no');
    if (l.source !== 'library') row(tb, 'counts from', l.source);
    showSettings(st.settings, false);
    const p = st.scan.progress;
    $('scan-progress').value = p < 0 ? 0 : p;
    $('scan-text').textContent = p < 0 ? 'none running' : Math.round(p * 100) + ' %, ' + st.scan.frequency.toFixed(2) + ' Hz';
    $('record-start').disabled = st.recording.on;
    $('record-stop').disabled = !st.recording.on;
    if (st.recording.on) {
      $('record-msg').textContent = st.recording.full
        ? 'recording full at ' + st.recording.points + ' points (its limit): stop it to keep them'
        : 'recording, ' + st.recording.points + ' points';
      $('record-msg').className = 'msg' + (st.recording.full ? ' error' : '');
    }
  }

  async function poll() {
    try { showState(await api('GET', '/api/state')); } catch (e) { $('status').textContent = 'panel server unreachable'; $('status').className = 'status lost'; }
    setTimeout(poll, 500);
  }

  async function listPorts() {
    const r = await api('GET', '/api/ports');
    const sel = $('port');
    const keep = sel.value;
    sel.innerHTML = '';
    sel.add(new Option('virtual instrument', 'virtual'));
    for (const p of r.ports) {
      const ids = p.vendor_id ? ' ' + p.vendor_id.toString(16).padStart(4, '0') + ':' + p.product_id.toString(16).padStart(4, '0') : '';
      sel.add(new Option(p.path + ids + (p.serial ? ' SN ' + p.serial : ''), p.path));
    }
    if ([...sel.options].some((o) => o.value === keep)) sel.value = keep;
    else if (state && state.connected && !state.virtual) sel.value = state.port;
  }

  // ---- Chart ------------------------------------------------------------------
  // One slot per device pixel column: min, max, first and last value, the
  // first and last time, and whether a pacing pulse fell in it. A column with
  // no data breaks the trace, so a gap is never drawn across.
  const chart = $('chart');
  const ctx = chart.getContext('2d');
  const SLOTS = 8192;
  const col = new Float64Array(SLOTS).fill(-1);
  const cmin = new Float32Array(SLOTS), cmax = new Float32Array(SLOTS), cfirst = new Float32Array(SLOTS), clast = new Float32Array(SLOTS);
  const tfirst = new Float64Array(SLOTS), tlast = new Float64Array(SLOTS);
  const pace = new Uint8Array(SLOTS);
  let pxPerMm = 96 / 25.4, pxPerSec = 25 * pxPerMm, pxPerMv = 10 * pxPerMm;
  let grid = null, gridStep = 0;
  let latestT = null, clockOffset = null, lastSeq = 0, nextDraw = 0;
  const stats = { frames: 0, fps: 0, batches: 0, missed: 0, samples: 0, paceMarks: 0, drawMs: 0 };
  window.panelStats = stats;
  const MAX_JOIN = 0.05;  // s: points further apart are not joined

  function slotFor(c) {
    const k = ((c % SLOTS) + SLOTS) % SLOTS;
    if (col[k] !== c) { col[k] = c; pace[k] = 0; tfirst[k] = NaN; }
    return k;
  }

  function addBatch(b) {
    if (lastSeq && b.seq > lastSeq + 1) stats.missed += b.seq - lastSeq - 1;
    lastSeq = b.seq;
    stats.batches++;
    const t = b.t, v = b.v;
    for (let i = 0; i < t.length; ++i) {
      const k = slotFor(Math.floor(t[i] * pxPerSec));
      const x = v[i];
      if (isNaN(tfirst[k])) { tfirst[k] = t[i]; cfirst[k] = cmin[k] = cmax[k] = x; }
      else { if (x < cmin[k]) cmin[k] = x; if (x > cmax[k]) cmax[k] = x; }
      clast[k] = x; tlast[k] = t[i];
    }
    for (const p of b.p) { pace[slotFor(Math.floor(p * pxPerSec))] = 1; stats.paceMarks++; }
    stats.samples += t.length;
    if (t.length) {
      const end = t[t.length - 1];
      if (latestT === null || end > latestT || end < latestT - 1) latestT = end;
      const est = latestT - performance.now() / 1000;
      if (clockOffset === null || Math.abs(est - clockOffset) > 0.3) clockOffset = est;
      else clockOffset += (est - clockOffset) * 0.05;
    }
  }

  function resize() {
    const dpr = window.devicePixelRatio || 1;
    const w = Math.round(chart.clientWidth * dpr), h = Math.round(chart.clientHeight * dpr);
    if (chart.width === w && chart.height === h && grid) return;
    chart.width = w; chart.height = h;
    pxPerMm = dpr * 96 / 25.4; pxPerSec = 25 * pxPerMm; pxPerMv = 10 * pxPerMm;
    col.fill(-1);  // columns are in device pixels; a new scale starts afresh
    gridStep = 5 * pxPerMm;
    grid = document.createElement('canvas');
    grid.width = w + Math.ceil(gridStep) + 1; grid.height = h;
    const g = grid.getContext('2d');
    g.fillStyle = '#fffafa'; g.fillRect(0, 0, grid.width, h);
    const mid = h / 2;
    for (const [step, color, width] of [[pxPerMm, '#f6d0d0', 1], [5 * pxPerMm, '#e89a9a', 1.2]]) {
      g.strokeStyle = color; g.lineWidth = width; g.beginPath();
      for (let x = 0; x <= grid.width; x += step) { g.moveTo(Math.round(x) + 0.5, 0); g.lineTo(Math.round(x) + 0.5, h); }
      for (let y = mid % step; y <= h; y += step) { g.moveTo(0, Math.round(y) + 0.5); g.lineTo(grid.width, Math.round(y) + 0.5); }
      g.stroke();
    }
  }

  function draw(now) {
    requestAnimationFrame(draw);
    // 30 frames a second are plenty; the schedule carries over so that an
    // uneven frame clock still gets 30 a second, not every third frame.
    if (now < nextDraw - 8) return;
    nextDraw += 1000 / 30;
    if (nextDraw < now - 100) nextDraw = now;  // far behind (a hidden tab): start afresh
    const fpsWindow = now - (stats.since || now);
    if (!stats.since) stats.since = now;
    if (fpsWindow >= 1000) { stats.fps = stats.framesInWindow * 1000 / fpsWindow; stats.framesInWindow = 0; stats.since = now; }
    resize();
    if (latestT === null) return;
    const t0 = performance.now();
    // Right edge follows the clock between batches, a little behind the data.
    let right = now / 1000 + clockOffset - 0.06;
    if (right > latestT) right = latestT;
    const w = chart.width, h = chart.height, mid = h / 2;
    const rightCol = Math.floor(right * pxPerSec);
    const shift = ((rightCol % gridStep) + gridStep) % gridStep;
    ctx.drawImage(grid, -(gridStep - shift) , 0);
    const y = (mv) => mid - mv * pxPerMv;
    ctx.strokeStyle = '#101828'; ctx.lineWidth = Math.max(1, pxPerMm * 0.35); ctx.lineJoin = 'round';
    ctx.beginPath();
    let prev = -1;
    const marks = [];
    for (let x = 0; x < w; ++x) {
      const c = rightCol - (w - 1 - x);
      const k = ((c % SLOTS) + SLOTS) % SLOTS;
      if (col[k] !== c || isNaN(tfirst[k])) { prev = -1; continue; }
      if (prev >= 0 && tfirst[k] - tlast[prev] < MAX_JOIN) ctx.lineTo(x, y(cfirst[k]));
      else ctx.moveTo(x, y(cfirst[k]));
      ctx.lineTo(x, y(cmin[k])); ctx.lineTo(x, y(cmax[k])); ctx.lineTo(x, y(clast[k]));
      if (pace[k]) marks.push(x);
      prev = k;
    }
    ctx.stroke();
    // Pacing pulses: a mark at the top whatever their amplitude.
    ctx.fillStyle = '#d00000'; ctx.strokeStyle = '#d00000'; ctx.lineWidth = 1;
    for (const x of marks) {
      ctx.beginPath(); ctx.moveTo(x - 4, 0); ctx.lineTo(x + 4, 0); ctx.lineTo(x, 8); ctx.closePath(); ctx.fill();
      ctx.beginPath(); ctx.moveTo(x + 0.5, 8); ctx.lineTo(x + 0.5, 4 * pxPerMm); ctx.stroke();
    }
    stats.frames++; stats.framesInWindow = (stats.framesInWindow || 0) + 1;
    stats.drawMs = performance.now() - t0;
    if (stats.frames % 15 === 0)
      $('chart-stats').textContent = stats.fps.toFixed(0) + ' frames/s, ' + stats.samples + ' points, ' +
        stats.missed + ' batches missed, draw ' + stats.drawMs.toFixed(1) + ' ms';
  }

  function openStream() {
    const es = new EventSource('/api/stream?token=' + encodeURIComponent(token));
    es.onmessage = (e) => addBatch(JSON.parse(e.data));
  }

  // ---- Rhythm -----------------------------------------------------------------
  // A rhythm is rendered by the panel and played as output 13's waveform: its
  // fields go together as one value.
  const rhythmOf = (name) => (schema.rhythm ? schema.rhythm.options.find((r) => r.name === name) : null);
  const chosenRhythm = () => $('rhythm-name').value !== 'none';

  function rhythmField(box, name, unit, min, max, def, whole) {
    const row = document.createElement('div');
    row.className = 'field';
    const label = document.createElement('label');
    label.htmlFor = 'rhythm-' + name;
    label.textContent = { bpm: 'Heart rate', amplitude: 'Amplitude', seed: 'Seed' }[name] || name.replace(/_/g, ' ');
    const input = document.createElement('input');
    input.type = 'number'; input.id = 'rhythm-' + name; input.dataset.param = name; input.value = def;
    input.step = whole ? '1' : 'any';
    input.addEventListener('input', () => showRhythmResult({ code: 0 }));
    input.addEventListener('change', () => { if (state && state.streaming) playRhythm(); });
    const u = document.createElement('span');
    u.textContent = unit;
    const range = document.createElement('span');
    range.className = 'range';
    range.textContent = max === undefined ? '(' + def + ')' : min + ' .. ' + max + ' (' + def + ')';
    const msg = document.createElement('span');
    msg.className = 'msg'; msg.id = 'msg-rhythm-' + name;
    row.append(label, input, u, range, msg);
    box.appendChild(row);
  }

  function showRhythmFields() {
    const box = $('rhythm-fields');
    box.innerHTML = '';
    const r = rhythmOf($('rhythm-name').value);
    $('rhythm-description').textContent = r ? r.description : '';
    if (!r) return;
    if (r.bpm) rhythmField(box, 'bpm', '/min', r.bpm.min, r.bpm.max, r.bpm.default, false);
    const a = schema.rhythm.amplitude;
    rhythmField(box, 'amplitude', a.unit, a.min, a.max, a.default, false);
    rhythmField(box, 'seed', '', undefined, undefined, schema.rhythm.seed.default, true);
    for (const p of r.params) rhythmField(box, p.name, p.unit, p.min, p.max, p.default, p.whole);
  }

  function rhythmValue() {
    const name = $('rhythm-name').value;
    if (name === 'none') return 'none';
    const value = { name, params: {} };
    for (const input of $('rhythm-fields').querySelectorAll('input')) {
      const k = input.dataset.param;
      const v = input.value === '' ? null : Number(input.value);
      if (['bpm', 'amplitude', 'seed'].includes(k)) value[k] = v;
      else if (v !== null) value.params[k] = v;
    }
    return value;
  }

  // A refusal shows beside the field it names.
  function showRhythmResult(r) {
    for (const m of document.querySelectorAll('[id^="msg-rhythm"]')) { m.textContent = ''; m.className = 'msg'; }
    for (const i of $('rhythm-fields').querySelectorAll('input')) i.classList.remove('refused');
    if (r.code === 0) return;
    const msg = $('msg-rhythm-' + r.field) || $('msg-rhythm');
    msg.textContent = r.text + ' (' + r.code + ')';
    msg.className = 'msg error';
    const input = $('rhythm-' + r.field);
    if (input) input.classList.add('refused');
  }

  // Renders the rhythm and plays it (output 13 already playing takes it as it is).
  async function playRhythm() {
    const values = { rhythm: rhythmValue() };
    if (!(state && state.streaming && state.settings && state.settings.function === 13)) values.function = 13;
    const r = await apply(values);
    if (!r) return;
    showRhythmResult(r.results.rhythm);
    if (r.results.function) say($('function-msg'), r.results.function);
  }

  const say = (el, r) => { el.textContent = r.text + (r.code === 0 || r.code === 1 ? '' : ' (' + r.code + ')'); el.className = 'msg' + (r.code === 0 || r.code === 1 ? '' : ' error'); };

  // ---- Wiring ---------------------------------------------------------------
  async function init() {
    const list = await api('GET', '/api/schema');
    for (const s of list) schema[s.name] = s;
    document.querySelectorAll('.fields').forEach((box) => {
      for (const name of box.dataset.settings.split(' ')) addField(box, schema[name]);
    });
    const leads = $('leads');
    for (let i = 0; i <= 8; ++i) {
      const l = document.createElement('label');
      const c = document.createElement('input');
      c.type = 'checkbox'; c.id = 'lead-' + i;
      c.addEventListener('change', async () => {
        const on = [];
        for (let j = 0; j <= 8; ++j) if ($('lead-' + j).checked) on.push(j);
        const r = await apply({ lead: on });
        const res = r && r.results.lead;
        $('lead-msg').textContent = res && res.code !== 0 ? res.text + ' (' + res.code + ')' : '';
        $('lead-msg').className = 'msg' + (res && res.code !== 0 ? ' error' : '');
      });
      l.append(c, ' ' + i);
      leads.appendChild(l);
    }
    for (const r of schema.rhythm.options) $('rhythm-name').add(new Option(r.name, r.name));
    $('rhythm-name').addEventListener('change', async () => {
      showRhythmFields();
      showRhythmResult({ code: 0 });
      if (!chosenRhythm()) { const r = await apply({ rhythm: 'none' }); if (r) showRhythmResult(r.results.rhythm); }
      else if (state && state.streaming) playRhythm();
    });
    const startFn = async () => {
      if (chosenRhythm()) return playRhythm();
      const r = await apply({ function: Number($('function').value) });
      if (r) say($('function-msg'), r.results.function);
    };
    $('start').addEventListener('click', startFn);
    $('stop').addEventListener('click', async () => { const r = await apply({ function: 0 }); if (r) say($('function-msg'), r.results.function); });
    $('function').addEventListener('change', () => { if (state && state.streaming) startFn(); });
    $('connect').addEventListener('click', async () => say($('connect-msg'), await api('POST', '/api/connect', { port: $('port').value })));
    $('disconnect').addEventListener('click', async () => say($('connect-msg'), await api('POST', '/api/disconnect', {})));
    $('refresh').addEventListener('click', listPorts);
    $('file').addEventListener('change', async () => {
      const f = $('file').files[0];
      if (f) say($('file-msg'), await api('POST', '/api/file', await f.text()));
    });
    $('record-start').addEventListener('click', async () => {
      $('record-link').hidden = true;
      say($('record-msg'), await api('POST', '/api/record', { on: true, format: $('record-format').value }));
    });
    $('record-stop').addEventListener('click', async () => {
      const r = await api('POST', '/api/record', { on: false });
      say($('record-msg'), r);
      if (r.url) {
        const a = $('record-link');
        a.href = r.url; a.download = 'orna-recording.' + $('record-format').value; a.hidden = false;
        a.click();
      }
    });
    await listPorts();
    showState(await api('GET', '/api/state'));
    if (state.connected) $('port').value = state.virtual ? 'virtual' : state.port;
    openStream();
    setTimeout(poll, 500);
    requestAnimationFrame(draw);
    document.body.dataset.ready = '1';
  }
  init().catch((e) => { $('status').textContent = 'error: ' + e.message; });
})();
