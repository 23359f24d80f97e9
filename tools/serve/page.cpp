// The operator page: one panel per unit, filled from the station's state
// as Server-Sent Events bring it (/events, one JSON document per change).
// A scanner types the serial and Enter into whichever panel's field has the
// focus; the verdict stays on the panel until the next scan.
#include "serve/page.h"

#include <cstring>

namespace serve {

namespace {

const char kHtml[] = R"HTML(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>rfprobe</title><link rel="stylesheet" href="page.css"></head>
<body>
<header><h1>rfprobe</h1><span id="plan"></span><span id="station"></span>
<div id="notice" role="alert" aria-live="assertive"></div></header>
<div id="lost" hidden>Lost the station: no runs can be started or watched from here until it is back.
The page reconnects by itself.</div>
<main id="panels"></main>
<section id="recent"><h2>Last units</h2>
<table><thead><tr><th>Serial</th><th>Unit</th><th>Verdict</th><th>Record</th><th>Ended (UTC)</th></tr></thead>
<tbody id="history"></tbody></table></section>
<script src="page.js"></script>
</body></html>
)HTML";

// Every unit on one screen: the grid takes the window's height, each panel
// a cell, and a verdict fills what its panel has left.  The verdicts'
// colours keep 4.5:1 contrast or more.
const char kCss[] = R"CSS(html, body { margin: 0; }
body { font-family: sans-serif; background: #eef0f2; color: #111; }
header { display: flex; gap: 1.5em; align-items: center; height: 2.6rem; padding: 0 1em;
         background: #222; color: #eee; box-sizing: border-box; overflow: hidden; }
header h1 { margin: 0; font-size: 1.3em; }
#notice { margin-left: auto; }
#notice:not(:empty) { background: #ffd400; color: #000; font-weight: bold; font-size: 1.15em;
                      padding: .15em .6em; border-radius: 4px; }
#lost { background: #b00; color: #fff; font-size: 1.6em; padding: .6em 1em; font-weight: bold; }
#panels { display: grid; gap: .5rem; padding: .5rem; box-sizing: border-box; height: calc(100vh - 2.6rem);
          grid-template-columns: repeat(var(--cols, 2), minmax(0, 1fr));
          grid-template-rows: repeat(var(--rows, 1), minmax(0, 1fr)); }
.panel { background: #fff; border: 1px solid #bbb; border-radius: 6px; padding: .5rem; min-width: 0;
         min-height: 0; display: flex; flex-direction: column; gap: .25rem; overflow: hidden; }
.panel .top { display: flex; gap: .4rem; align-items: center; }
.panel h2 { margin: 0; font-size: 1.3em; white-space: nowrap; }
.panel h2 small { font-size: .6em; font-weight: normal; color: #444; }
.panel input { font-size: 1.2em; flex: 1 1 auto; min-width: 4em; }
.panel input:focus { outline: 4px solid #0b5cd5; }
.panel button { font-size: 1.1em; }
.state { font-weight: bold; font-size: 1.05em; }
.attempt { background: #0b3d91; color: #fff; padding: 0 .4em; border-radius: 3px; margin-left: .4em; }
.notice { color: #000; background: #ffd400; font-weight: bold; padding: 0 .3em; }
.notice:empty { display: none; }
.overlay { display: none; flex: 1 1 auto; min-height: 3rem; align-items: center; justify-content: center;
           font-weight: bold; border-radius: 6px; letter-spacing: .05em; container-type: size; }
.overlay span { font-size: min(75cqh, 25cqw); line-height: 1; }
.panel.done .overlay { display: flex; }
.overlay.PASS { background: #1a7f37; color: #fff; }
.overlay.FAIL { background: #c62828; color: #fff; }
.overlay.ERROR { background: #f0a000; color: #000; }
.failing { font-weight: bold; font-size: 1.05em; color: #8b0000; }
.panel.done .steps-box { max-height: 18%; }
.panel[data-verdict=FAIL] .message { display: none; }
.failing:empty, .message:empty { display: none; }
.message { color: #6b3a00; }
.record { font-size: .75em; color: #555; }
.steps-box { flex: 0 1 auto; min-height: 0; overflow: auto; }
.panel.running .steps-box { flex: 1 1 auto; }
table.steps { border-collapse: collapse; width: 100%; font-size: .85em; }
table.steps td { border-top: 1px solid #ddd; padding: 1px 4px; vertical-align: top; }
.v-PASS { color: #0a6b1f; } .v-FAIL { color: #c00; } .v-ERROR { color: #8a4b00; }
#recent { padding: .5em 1em 1em 1em; }
#recent table { border-collapse: collapse; background: #fff; }
#recent td, #recent th { border: 1px solid #ccc; padding: 2px 8px; }
)CSS";

// The scanner's flow: a serial and Enter go to the field that has the
// focus; a scan that starts a unit moves the focus to the next idle unit,
// and a scan that cannot start keeps its serial where the next Enter starts
// it, with a message that is seen and heard.
const char kJs[] = R"JS('use strict';
// The token of a station that listens beyond this machine comes with the
// page's address (?token=...) and goes with every request.
const token = new URLSearchParams(location.search).get('token') || '';
const panels = [];
let planSteps = 0, audio = null, beeps = 0, noticeFor = -1;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function post(path, fields) {
  const body = new URLSearchParams(fields);
  return fetch(path, {method: 'POST', body: body,
                      headers: {'X-Rfprobe-Token': token || '-'}})
    .then(r => r.json().catch(() => ({error: 'the station answered ' + r.status})))
    .catch(() => ({error: 'the station cannot be reached'}));
}

function beep() {
  document.body.dataset.beeps = ++beeps;
  try {
    audio = audio || new AudioContext();
    const o = audio.createOscillator(), g = audio.createGain();
    o.type = 'square';
    o.frequency.value = 880;
    g.gain.value = 0.2;
    o.connect(g);
    g.connect(audio.destination);
    o.start();
    o.stop(audio.currentTime + 0.4);
  } catch (e) { /* no sound here: the message stays */ }
}

// A scan that did not start: on its panel and at the top, and a tone.
function refuse(i, text) {
  panels[i].notice.textContent = text;
  document.getElementById('notice').textContent = text;
  noticeFor = i;
  beep();
}

function clearNotice(i) {
  panels[i].notice.textContent = '';
  document.getElementById('notice').textContent = '';
}

function busy(p) { return p.state === 'running' || p.pending; }

// The next unit after i that can take a scan, or -1.
function idleAfter(i) {
  for (let k = 1; k <= panels.length; k++) {
    const j = (i + k) % panels.length;
    if (!busy(panels[j])) return j;
  }
  return -1;
}

function focusOn(j, serial) {
  const input = panels[j].input;
  if (serial !== undefined) input.value = serial;
  input.focus();
  input.select();
}

function scan(i) {
  const p = panels[i], serial = p.input.value.trim();
  if (busy(p)) {
    const j = idleAfter(i);
    if (j < 0) {
      refuse(i, 'All units are testing: ' + serial + ' was not started; it is kept here, ' +
                'press Enter when a unit is free');
      focusOn(i, serial);
    } else {
      refuse(i, 'unit ' + p.label + ' is still testing ' + p.serial + ': ' + serial +
                ' was not started; it is kept in unit ' + panels[j].label + ', press Enter there');
      p.input.value = '';
      focusOn(j, serial);
    }
    return;
  }
  p.pending = true;
  p.input.value = '';
  const j = idleAfter(i);
  if (j >= 0) focusOn(j);
  post('start', {unit: i, serial: serial}).then(r => {
    p.pending = false;
    if (r.error) {
      refuse(i, r.error);
      focusOn(i, serial);
      return;
    }
    p.state = 'running';
    p.started = serial;
    clearNotice(i);
  });
}

function stop(i) {
  post('stop', {unit: i});
  const j = idleAfter(i);
  focusOn(j >= 0 ? j : i);
}

function build(units) {
  const main = document.getElementById('panels');
  const n = units.length;
  const cols = n <= 2 ? n : n <= 4 ? 2 : n <= 6 ? 3 : n <= 8 ? 4 : Math.ceil(Math.sqrt(2 * n));
  main.style.setProperty('--cols', cols);
  main.style.setProperty('--rows', Math.ceil(n / cols));
  units.forEach((u, i) => {
    const p = el('div', 'panel');
    p.id = 'unit-' + i;
    const top = el('div', 'top');
    const name = el('h2', '', u.label);
    if (u.label !== u.iface) name.appendChild(el('small', '', ' ' + u.iface));
    top.appendChild(name);
    const input = el('input', 'serial');
    input.placeholder = 'scan a serial';
    input.autocomplete = 'off';
    input.addEventListener('keydown', ev => {
      if (ev.key !== 'Enter') return;
      ev.preventDefault();
      scan(i);
    });
    const stopButton = el('button', 'stop', 'Stop');
    stopButton.addEventListener('click', () => stop(i));
    top.appendChild(input);
    top.appendChild(stopButton);
    p.appendChild(top);
    const v = {root: p, input: input, stop: stopButton, label: u.label, state: u.state, serial: '',
               pending: false, t0: 0, status: el('div', 'state'), notice: el('div', 'notice'),
               overlay: el('div', 'overlay'), failing: el('div', 'failing'),
               message: el('div', 'message'), record: el('div', 'record'),
               box: el('div', 'steps-box'), steps: el('table', 'steps')};
    v.box.appendChild(v.steps);
    [v.status, v.notice, v.overlay, v.failing, v.message, v.record, v.box].forEach(e => p.appendChild(e));
    main.appendChild(p);
    panels.push(v);
  });
  if (panels.length) panels[0].input.focus();
}

function num(x) { return x === null ? '' : String(x); }

// The value as the station's line shows it (rounded there, with its unit),
// the limits as the plan gave them.
function measured(m) {
  const lo = m.low !== null, hi = m.high !== null, u = m.unit ? ' ' + m.unit : '';
  let lim = '';
  if (m.verdict === 'FAIL' && lo && m.value < m.low) lim = ' below ' + num(m.low) + u;
  else if (m.verdict === 'FAIL' && hi) lim = ' above ' + num(m.high) + u;
  else if (lo && hi) lim = ' in ' + num(m.low) + '..' + num(m.high) + u;
  else if (lo) lim = ' \u2265 ' + num(m.low) + u;
  else if (hi) lim = ' \u2264 ' + num(m.high) + u;
  return m.name + ' ' + m.shown + lim;
}

function seconds(ms) { return (ms / 1000).toFixed(ms < 10000 ? 1 : 0) + ' s'; }

function statusText(p, u) {
  const retest = u.attempt > 1 ? ' (earlier ' + (u.previous || 'unfinished') + ')' : '';
  if (u.state === 'running')
    return u.serial + ': step ' + u.steps.length + ' of ' + planSteps + ', ' +
           seconds(performance.now() - p.t0) + (u.stopping ? ', stopping' : '') + retest;
  if (u.state === 'done') return u.serial + ': ' + u.verdict + ' in ' + seconds(u.elapsed_ms) + retest;
  return 'ready';
}

// The step that failed, with its figures and its error: what the operator
// reads first after the verdict.
function failingText(u) {
  if (u.state !== 'done' || u.verdict === 'PASS') return '';
  const s = u.steps.find(x => x.verdict === 'FAIL' || x.verdict === 'ERROR');
  if (!s) return '';
  const bad = s.measured.filter(m => m.verdict !== 'PASS').map(measured);
  if (s.error) bad.push(s.error);
  return 'line ' + s.line + ' ' + s.command + (s.args ? ' ' + s.args : '') + ': ' + bad.join('; ');
}

function showUnit(i, u) {
  const p = panels[i];
  // A state sent before this page's scan started the unit is out of date.
  if (p.started) {
    if (u.serial !== p.started || u.state === 'idle') return false;
    p.started = '';
  }
  const freed = busy(p) && !p.pending && u.state !== 'running';
  if (p.state !== u.state) {  // a refusal was about the run before
    p.notice.textContent = '';
    if (noticeFor === i) document.getElementById('notice').textContent = '';
  }
  p.state = u.state;
  p.serial = u.serial;
  if (u.elapsed_ms !== null && u.state === 'running') p.t0 = performance.now() - u.elapsed_ms;
  p.root.classList.toggle('running', u.state === 'running');
  p.root.classList.toggle('done', u.state === 'done');
  p.root.dataset.state = u.state;
  p.root.dataset.verdict = u.verdict || '';
  p.root.dataset.attempt = u.attempt;
  p.overlay.className = 'overlay ' + (u.verdict || '');
  p.overlay.textContent = '';
  if (u.verdict) p.overlay.appendChild(el('span', '', u.verdict));
  p.stop.disabled = u.state !== 'running' || u.stopping;
  p.status.textContent = statusText(p, u);
  if (u.attempt > 1) p.status.appendChild(el('span', 'attempt', 'attempt ' + u.attempt));
  p.failing.textContent = failingText(u);
  p.message.textContent = u.message;
  p.record.textContent = u.record ? 'record ' + u.record : '';
  p.steps.textContent = '';
  u.steps.forEach(x => {
    const tr = el('tr');
    tr.appendChild(el('td', '', x.line));
    tr.appendChild(el('td', '', x.command + (x.args ? ' ' + x.args : '')));
    tr.appendChild(el('td', '', [].concat(x.measured.map(measured), x.error ? [x.error] : []).join('; ')));
    tr.appendChild(el('td', x.verdict ? 'v-' + x.verdict : '', x.verdict || '\u2026'));
    p.steps.appendChild(tr);
  });
  if (u.state === 'running') p.box.scrollTop = p.box.scrollHeight;
  return freed;
}

// A unit came free while the focus is on a busy one (or nowhere): the
// focus, and a serial kept there, go to it.
function refocus(freed) {
  const a = document.activeElement, at = panels.findIndex(p => p.input === a);
  if (at >= 0 && !busy(panels[at])) return;
  const kept = at >= 0 ? a.value.trim() : '';
  if (at >= 0) a.value = '';
  focusOn(freed, kept);
}

function show(s) {
  document.getElementById('plan').textContent = 'plan ' + s.plan;
  document.getElementById('station').textContent = 'station ' + s.station +
      (s.bus_outbox == null ? '' : ' \u00b7 bus outbox: ' + s.bus_outbox + ' waiting');
  planSteps = s.plan_steps;
  if (!panels.length) build(s.units);
  let freed = -1;
  s.units.forEach((u, i) => { if (showUnit(i, u) && freed < 0) freed = i; });
  if (freed >= 0) refocus(freed);
  const h = document.getElementById('history');
  h.textContent = '';
  s.history.forEach(d => {
    const tr = el('tr');
    [d.serial, d.unit, d.verdict, d.record, d.ended_at].forEach((t, k) =>
      tr.appendChild(el('td', k === 2 ? 'v-' + t : '', t)));
    h.appendChild(tr);
  });
}

// The running units' elapsed time, between the station's changes.
setInterval(() => panels.forEach(p => {
  if (p.state === 'running' && p.last) p.status.firstChild.textContent = statusText(p, p.last);
}), 1000);

function connect() {
  const es = new EventSource('events' + (token ? '?token=' + encodeURIComponent(token) : ''));
  const lost = document.getElementById('lost');
  es.onmessage = ev => {
    lost.hidden = true;
    document.body.dataset.connected = '1';
    const s = JSON.parse(ev.data);
    show(s);
    s.units.forEach((u, i) => { panels[i].last = u; });
  };
  es.onerror = () => {
    lost.hidden = false;
    document.body.dataset.connected = '0';
  };
}

connect();
)JS";

const PageFile kFiles[] = {
    {"/", "text/html; charset=utf-8", kHtml},
    {"/page.css", "text/css; charset=utf-8", kCss},
    {"/page.js", "text/javascript; charset=utf-8", kJs},
};

}  // namespace

const PageFile *pageFile(const char *path) {
    for (const PageFile &f : kFiles)
        if (strcmp(f.path, path) == 0) return &f;
    return nullptr;
}

}  // namespace serve
