// The live page: the newest reading from the events stream, the charts from the history API.
// Everything it loads comes from the poller itself.
'use strict';

const FIELDS = [
  ['import_power_w', 'Import power'], ['export_power_w', 'Export power'],
  ['import_high_wh', 'Import, high tariff'], ['import_low_wh', 'Import, low tariff'],
  ['export_high_wh', 'Export, high tariff'], ['export_low_wh', 'Export, low tariff'],
  ['import_diff_wh', 'Import since last'], ['export_diff_wh', 'Export since last'],
  ['gas_m3', 'Gas'], ['gas_diff_m3', 'Gas since last'], ['tariff', 'Tariff'],
  ['extern1', 'Pulses, input 1'], ['extern2', 'Pulses, input 2'],
];
const HOUR = 3600e3;
const PERIODS = { hour: { span: HOUR, every: 0 }, day: { span: 24 * HOUR, every: 60 },
                  week: { span: 7 * 24 * HOUR, every: 600 } };
let period = 'hour';
let lastHour = [];          // [time ms, import W, export W] of the live readings
let newestTime = 0;         // ms, of the newest reading
let interval = 10;          // s, the device's
let connected = null;
let powerChart = null;
let energyChart = null;
let capacityChart = null;
let lastState = null;       // the newest state message
let lastQuarter = null;     // the newest quarter-hour

const $ = (id) => document.getElementById(id);
const kw = (w) => (w / 1000).toFixed(3);
const clock = (ms) => new Date(ms).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
const day = (ms) => new Date(ms).toLocaleDateString([], { month: 'short', day: 'numeric' });
const iso = (ms) => new Date(ms).toISOString().replace(/\.\d+Z$/, '+00:00');

function buildFields() {
  const list = $('fields');
  for (const [name, label] of FIELDS) {
    const item = document.createElement('div');
    item.innerHTML = '<dt></dt><dd><span class="value">–</span> <span class="unit"></span></dd>';
    item.querySelector('dt').textContent = label;
    item.querySelector('.value').id = 'value-' + name;
    item.querySelector('.unit').id = 'unit-' + name;
    list.appendChild(item);
  }
}

function showReading(state) {
  if (state.status !== 'ok') {
    $('reading-time').textContent = 'The last poll failed (' + state.time + ').';
    return;
  }
  const units = state.units || {};
  for (const [name] of FIELDS) {
    const v = state[name];
    $('value-' + name).textContent = v === undefined || v === null ? '–' :
      name === 'tariff' ? (v ? 'low' : 'high') : String(v);
    $('unit-' + name).textContent = name === 'tariff' ? '' : (units[name] || '');
  }
  lastState = state;
  showWarning();
  const has = (v) => typeof v === 'number';
  if (has(state.capacity_threshold_w))
    $('capacity-threshold').textContent = kw(state.capacity_threshold_w);
  $('capacity-headroom').textContent =
    has(state.capacity_headroom_w) ? kw(state.capacity_headroom_w) : '–';
  if (has(state.billed_peak_w)) $('billed-peak').textContent = kw(state.billed_peak_w);
  newestTime = Date.parse(state.time);
  $('reading-time').textContent = 'Reading of ' + new Date(newestTime).toLocaleString();
  if (typeof state.import_power_w === 'number') {
    lastHour.push([newestTime, state.import_power_w, state.export_power_w || 0]);
    lastHour = lastHour.filter((p) => p[0] > newestTime - HOUR);
    if (period === 'hour') drawPower(lastHour);
  }
  updateNotice();
}

function showQuarter(q) {
  lastQuarter = q;
  showWarning();
  const has = (v) => typeof v === 'number';
  $('quarter-average').textContent = has(q.average_power_w) ? kw(q.average_power_w) : '–';
  $('quarter-forecast').textContent = has(q.forecast_power_w) ? kw(q.forecast_power_w) : '–';
  const peak = q.month_peak ? q.month_peak.average_power_w : null;
  $('month-peak').textContent = has(peak) ? kw(peak) : '–';
  const meter = $('peak-meter');
  let text = 'Quarter-hour ' + clock(Date.parse(q.start)) + ' to ' + clock(Date.parse(q.end)) + ': ';
  if (has(q.forecast_power_w) && has(peak) && peak > 0) {
    const share = q.forecast_power_w / peak;
    meter.max = Math.max(1, share);
    meter.value = share;
    text += share >= 1 ? 'on course for a new peak of the month (' + kw(q.forecast_power_w) + ' kW).'
                       : Math.floor(share * 100) + '% of the month\'s peak.';
  } else {
    meter.value = 0;
    text += has(q.forecast_power_w) ? 'the month has no peak yet.' : 'not enough readings yet.';
  }
  meter.textContent = text;
  $('quarter-summary').textContent = text;
}

// The banner while the quarter-hour is on course for a new peak: the minutes left and what to
// switch off, from the newest reading. Its text changes only when what it says does, so a
// screen reader announces it at the start and at each new figure, not at every reading.
function showWarning() {
  const banner = $('peak-warning');
  const state = lastState;
  if (!state || state.peak_warning !== true) {
    banner.hidden = true;
    banner.textContent = '';
    return;
  }
  let minutes = '';
  if (lastQuarter && Date.parse(lastQuarter.end) > Date.parse(state.time)) {
    const left = Math.floor((Date.parse(lastQuarter.end) - Date.parse(state.time)) / 60e3);
    minutes = left < 1 ? 'in less than a minute'
                       : 'in the ' + left + (left === 1 ? ' minute' : ' minutes') + ' left';
  }
  const headroom = state.capacity_headroom_w;
  const power = state.import_power_w;
  const within = (minutes ? ' ' + minutes : '') + '.';
  let act = 'Switch off what you can' + within;
  let why = '';
  if (typeof headroom === 'number' && headroom >= 0) {
    act = 'Draw no more than ' + (headroom / 1000).toFixed(1) + ' kW extra' + within;
  } else if (typeof headroom === 'number' && (typeof power !== 'number' || -headroom <= power)) {
    act = 'Switch off ' + (-headroom / 1000).toFixed(1) + ' kW' + within;
  } else if (typeof headroom === 'number') {
    // More than is drawn: the quarter passes the threshold whatever is done, but every kW
    // switched off still lowers the new peak.
    act = 'Switch off all you can (' + (power / 1000).toFixed(1) + ' kW now)' + within;
    why = ' Even at 0 kW this quarter-hour sets a new peak; less now keeps it lower.';
  }
  const lead = 'Peak warning: this quarter-hour is on course for a new capacity peak. ';
  if (banner.textContent !== lead + act + why) {
    banner.textContent = '';
    const figures = document.createElement('span');
    figures.className = 'figures';
    figures.textContent = act;
    banner.append(lead, figures, why);
  }
  banner.hidden = false;
}

// The twelve months as bars, with the 2.5 kW floor and the billed mean as lines, a table and a
// summary for those who do not see the chart, and the cost when the poller has a price.
function showCapacity(c) {
  const has = (v) => typeof v === 'number';
  $('capacity-threshold').textContent = has(c.capacity_threshold_w) ? kw(c.capacity_threshold_w) : '–';
  $('capacity-headroom').textContent = has(c.capacity_headroom_w) ? kw(c.capacity_headroom_w) : '–';
  $('billed-peak').textContent = has(c.billed_peak_w) ? kw(c.billed_peak_w) : '–';
  const months = c.months || [];
  const body = $('capacity-table').querySelector('tbody');
  body.textContent = '';
  for (const m of months) {
    const row = body.insertRow();
    row.insertCell().textContent = m.month;
    row.insertCell().textContent = has(m.peak_w) ? kw(m.peak_w) : 'missing';
    row.insertCell().textContent = has(m.counted_w) ? kw(m.counted_w) : 'missing';
  }
  const counted = months.filter((m) => has(m.counted_w));
  let summary = months.length + ' months, ' + c.months_counted + ' counted (a month with no ' +
    'complete quarter-hour is missing). Each counts at no less than 2.500 kW.';
  if (has(c.billed_peak_w))
    summary += ' Billed peak, the mean of the counted months: ' + kw(c.billed_peak_w) + ' kW.';
  if (counted.length) {
    const top = counted.reduce((a, b) => (b.counted_w > a.counted_w ? b : a));
    summary += ' Highest: ' + kw(top.counted_w) + ' kW in ' + top.month + '.';
  }
  $('capacity-summary').textContent = summary;
  const cost = $('capacity-cost');
  if (has(c.capacity_price_eur_per_kw_year) && has(c.year_cost_eur)) {
    cost.textContent = 'At ' + c.capacity_price_eur_per_kw_year.toFixed(2) + ' EUR per kW per year: ' +
      c.year_cost_eur.toFixed(2) + ' EUR for the year at the billed peak; this month\'s peak ' +
      'adds ' + (c.month_above_floor_eur || 0).toFixed(2) + ' EUR above the 2.5 kW floor.';
    cost.hidden = false;
  } else {
    cost.hidden = true;
  }
  if (!window.Chart) return;
  const level = (v) => months.map(() => v);
  const set = { labels: months.map((m) => m.month), datasets: [
    { type: 'bar', label: 'Counted peak (kW)',
      data: months.map((m) => (has(m.counted_w) ? m.counted_w / 1000 : null)),
      backgroundColor: '#d9480f', order: 2 },
    { type: 'line', label: 'Floor (2.5 kW)', data: level(2.5), borderColor: '#495057',
      borderDash: [6, 4], pointRadius: 0, borderWidth: 2, order: 1 },
    { type: 'line', label: 'Billed peak (kW)',
      data: level(has(c.billed_peak_w) ? c.billed_peak_w / 1000 : null),
      borderColor: '#1971c2', pointRadius: 0, borderWidth: 2, order: 0 }] };
  if (capacityChart) { capacityChart.data = set; capacityChart.update(); return; }
  capacityChart = new Chart($('capacity-chart'), { data: set,
    options: { animation: false, maintainAspectRatio: false,
               scales: { y: { beginAtZero: true, title: { display: true, text: 'kW' } } } } });
}

async function pollCapacity() {
  try { showCapacity(await getJson('/api/v1/capacity')); } catch (e) { /* no reading yet */ }
}

function updateNotice() {
  const notice = $('notice');
  let text = '';
  if (connected === false) text = 'The device is not connected to the poller.';
  else if (newestTime && Date.now() - newestTime > Math.max(3 * interval, 30) * 1000)
    text = 'The newest reading is old: it was taken at ' + new Date(newestTime).toLocaleString() + '.';
  notice.textContent = text;
  notice.hidden = !text;
}

async function getJson(url) {
  const response = await fetch(url, { cache: 'no-store' });
  if (!response.ok) throw new Error(url + ': ' + response.status);
  return response.json();
}

async function pollDevice() {
  try {
    const device = await getJson('/api/v1/device');
    connected = device.connected;
    if (device.settings) interval = device.settings.interval;
    $('device').textContent = 'Device ' + (device.serial || '(no serial)') + ', firmware ' +
      (device.firmware || '?') + ', on ' + (device.port || '?') +
      (device.connected ? '' : ' (not connected)');
  } catch (e) {
    connected = false;
    $('device').textContent = 'The poller does not answer.';
  }
  updateNotice();
}

function drawPower(points) {
  if (!window.Chart) return;
  const data = (i) => points.map((p) => ({ x: p[0], y: p[i] }));
  if (!powerChart) {
    powerChart = new Chart($('power-chart'), {
      type: 'line',
      data: { datasets: [
        { label: 'Import (W)', data: [], borderColor: '#d9480f', pointRadius: 0, borderWidth: 2 },
        { label: 'Export (W)', data: [], borderColor: '#2f9e44', pointRadius: 0, borderWidth: 2 }] },
      options: { animation: false, parsing: false, maintainAspectRatio: false,
                 scales: { x: { type: 'linear', ticks: { callback: (v) => clock(v), maxTicksLimit: 7 } },
                           y: { beginAtZero: true, title: { display: true, text: 'W' } } } },
    });
  }
  powerChart.data.datasets[0].data = data(1);
  powerChart.data.datasets[1].data = data(2);
  powerChart.update();
  if (points.length) {
    const highest = Math.max(...points.map((p) => p[1]));
    const last = points[points.length - 1];
    $('power-summary').textContent = points.length + ' readings from ' + clock(points[0][0]) +
      ' to ' + clock(last[0]) + '. Import now ' + last[1] + ' W, highest ' + highest +
      ' W; export now ' + last[2] + ' W.';
  }
}

async function history(span, every) {
  const to = Date.now();
  let url = '/api/v1/readings?from=' + encodeURIComponent(iso(to - span)) + '&to=' +
    encodeURIComponent(iso(to + 60e3));
  if (every) url += '&every=' + every;
  return (await getJson(url)).filter((r) => r.status === 'ok');
}

async function choosePeriod(name) {
  period = name;
  for (const b of document.querySelectorAll('.periods button'))
    b.setAttribute('aria-pressed', String(b.dataset.period === name));
  if (name === 'hour') {
    try {
      const rows = await history(HOUR, 0);
      const seen = new Set(lastHour.map((p) => p[0]));
      for (const r of rows)
        if (!seen.has(Date.parse(r.time)))
          lastHour.push([Date.parse(r.time), r.import_power_w, r.export_power_w || 0]);
      lastHour.sort((a, b) => a[0] - b[0]);
    } catch (e) { /* no history: the live readings alone */ }
    drawPower(lastHour);
    return;
  }
  try {
    const rows = await history(PERIODS[name].span, PERIODS[name].every);
    drawPower(rows.map((r) => [Date.parse(r.time), r.import_power_w, r.export_power_w || 0]));
  } catch (e) {
    $('power-summary').textContent = 'The history cannot be read.';
  }
}

// The 30 days up to today from the history's day totals: a day with a gap in its readings, and
// today until it is over, have none.
async function drawEnergy() {
  const date = (d) => d.getFullYear() + '-' + String(d.getMonth() + 1).padStart(2, '0') + '-' +
    String(d.getDate()).padStart(2, '0');
  const today = new Date();
  const first = new Date(today.getFullYear(), today.getMonth(), today.getDate() - 29);
  let days;
  try {
    days = (await getJson('/api/v1/energy/days?from=' + date(first) + '&to=' + date(today))).days;
  } catch (e) { return; }
  const has = (v) => typeof v === 'number';
  const values = days.map((d) => [Date.parse(d.start), has(d.import_wh) ? d.import_wh / 1000 : null,
                                  has(d.export_wh) ? d.export_wh / 1000 : null]);
  const body = $('energy-table').querySelector('tbody');
  body.textContent = '';
  for (const [k, imp, exp] of values) {
    const row = body.insertRow();
    row.insertCell().textContent = day(k);
    row.insertCell().textContent = imp === null ? '–' : imp.toFixed(2);
    row.insertCell().textContent = exp === null ? '–' : exp.toFixed(2);
  }
  const complete = values.filter((v) => v[1] !== null);
  if (!complete.length || !window.Chart) return;
  const total = complete.reduce((s, v) => s + v[1], 0);
  $('energy-summary').textContent = complete.length + ' whole days of ' + values.length + ': ' +
    total.toFixed(1) + ' kWh imported in all, ' + (total / complete.length).toFixed(1) +
    ' kWh a day on average.';
  const labels = values.map((v) => day(v[0]));
  const set = { labels, datasets: [
    { label: 'Import (kWh)', data: values.map((v) => v[1]), backgroundColor: '#d9480f' },
    { label: 'Export (kWh)', data: values.map((v) => v[2]), backgroundColor: '#2f9e44' }] };
  if (energyChart) { energyChart.data = set; energyChart.update(); return; }
  energyChart = new Chart($('energy-chart'), { type: 'bar', data: set,
    options: { animation: false, maintainAspectRatio: false,
               scales: { y: { beginAtZero: true, title: { display: true, text: 'kWh' } } } } });
}

// The firmware: the version the device runs, a notice when the firmware server lists another,
// the upgrade's progress from the event stream, and the button that asks the poller to install
// it. The token is kept for this browser session only (sessionStorage), never on disk.
const TOKEN_KEY = 'kdr31-upgrade-token';
let firmware = null;

function showFirmware(state) {
  firmware = state;
  $('firmware-version').textContent = 'Firmware: ' + (state.installed ? 'V' + state.installed : '–');
  const notice = $('firmware-notice');
  notice.textContent = state.update_available && state.listed
    ? 'Firmware V' + state.listed + ' is available (this KDR31 runs V' + state.installed + ').' : '';
  notice.hidden = !notice.textContent;
  const upgrade = state.upgrade;
  const running = !!(upgrade && upgrade.running);
  $('upgrade-box').hidden = !upgrade;
  if (upgrade) {
    const bar = $('upgrade-progress');
    if (typeof upgrade.percent === 'number') bar.value = upgrade.percent;
    else bar.removeAttribute('value');
    let text = running ? (upgrade.label || 'Upgrade asked for') :
      upgrade.outcome === 'done' ? 'Upgraded to V' + (upgrade.target || state.installed) + '.' :
      'The last upgrade ended: ' + (upgrade.message || upgrade.outcome) + '.';
    if (running && typeof upgrade.percent === 'number') text += ' (' + upgrade.percent + '%)';
    $('upgrade-status').textContent = text;
  }
  const button = $('upgrade-button');
  button.hidden = !state.upgrade_over_http || !state.update_available || running;
  button.textContent = 'Install firmware V' + (state.listed || '');
  if (running) $('upgrade-form').hidden = true;
}

async function pollFirmware() {
  try { showFirmware(await getJson('/api/v1/firmware')); } catch (e) { /* an older poller */ }
}

function askForUpgrade() {
  if (!firmware) return;
  $('upgrade-question').textContent = 'Are you sure to download latest firmware V' +
    firmware.listed + ' and upload to KDR31';
  $('upgrade-token').value = sessionStorage.getItem(TOKEN_KEY) || '';
  $('upgrade-form').hidden = false;
  $('upgrade-answer').hidden = true;
  $('upgrade-token').focus();
}

async function requestUpgrade(event) {
  event.preventDefault();
  const token = $('upgrade-token').value.trim();
  const answer = $('upgrade-answer');
  answer.textContent = 'Asking the poller…';
  answer.hidden = false;
  let status = 0;
  let body = {};
  try {
    const response = await fetch('/api/v1/firmware/upgrade', {
      method: 'POST', cache: 'no-store', headers: { Authorization: 'Bearer ' + token } });
    status = response.status;
    body = await response.json().catch(() => ({}));
  } catch (e) { /* the poller does not answer */ }
  if (status === 401) {
    sessionStorage.removeItem(TOKEN_KEY);
    answer.textContent = 'The token was refused.';
    $('upgrade-token').value = '';
    $('upgrade-token').focus();
    return;
  }
  if (status >= 200 && status < 300) sessionStorage.setItem(TOKEN_KEY, token);
  $('upgrade-form').hidden = true;
  answer.textContent = body.message || body.error ||
    (status ? 'The poller answered ' + status + '.' : 'The poller does not answer.');
  pollFirmware();
}

function startFirmware() {
  $('upgrade-button').addEventListener('click', askForUpgrade);
  $('upgrade-form').addEventListener('submit', requestUpgrade);
  $('upgrade-cancel').addEventListener('click', () => { $('upgrade-form').hidden = true; });
  pollFirmware();
  setInterval(pollFirmware, 5000);
}

function listen() {
  const events = new EventSource('/api/v1/events');
  events.addEventListener('reading', (e) => showReading(JSON.parse(e.data)));
  events.addEventListener('quarter', (e) => showQuarter(JSON.parse(e.data)));
  events.addEventListener('capacity', (e) => showCapacity(JSON.parse(e.data)));
  events.addEventListener('upgrade', (e) => showFirmware(JSON.parse(e.data)));
  events.onerror = () => {
    connected = connected && events.readyState !== EventSource.CLOSED;
    // A refused stream is not retried by the browser: the poller refuses one while this
    // address holds its share, as it does for a moment after the page is reloaded.
    if (events.readyState === EventSource.CLOSED) setTimeout(listen, 5000);
  };
}

function start() {
  buildFields();
  for (const b of document.querySelectorAll('.periods button'))
    b.addEventListener('click', () => choosePeriod(b.dataset.period));
  listen();
  pollDevice();
  setInterval(pollDevice, 5000);
  setInterval(updateNotice, 1000);
  choosePeriod('hour');
  drawEnergy();
  pollCapacity();
  // The months change when a quarter-hour sets a new peak, which no event tells.
  setInterval(pollCapacity, 60e3);
  startFirmware();
}

document.addEventListener('DOMContentLoaded', start);
