// The operator page: one panel per unit, filled from the station's state
// as Server-Sent Events bring it (/events, one JSON document per change).
// A scanner types the serial and Enter into the panel's field; the verdict
// stays on the panel until the next scan.
#include "serve/page.h"

#include <cstring>

namespace serve {

namespace {

const char kHtml[] = R"HTML(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>rfprobe</title><link rel="stylesheet" href="page.css"></head>
<body>
<header><h1>rfprobe</h1><span id="plan"></span><span id="station"></span></header>
<div id="lost" hidden>Lost the station: no runs can be started or watched from here until it is back.
The page reconnects by itself.</div>
<main id="panels"></main>
<section id="recent"><h2>Last units</h2>
<table><thead><tr><th>Serial</th><th>Unit</th><th>Verdict</th><th>Record</th><th>Ended (UTC)</th></tr></thead>
<tbody id="history"></tbody></table></section>
<script src="page.js"></script>
</body></html>
)HTML";

const char kCss[] = R"CSS(body { font-family: sans-serif; margin: 0; background: #f4f4f4; color: #111; }
header { display: flex; gap: 2em; align-items: baseline; padding: .5em 1em; background: #222; color: #eee; }
header h1 { margin: 0; font-size: 1.4em; }
#lost { background: #b00; color: #fff; font-size: 1.6em; padding: .6em 1em; font-weight: bold; }
#panels { display: flex; flex-wrap: wrap; gap: 1em; padding: 1em; }
.panel { background: #fff; border: 1px solid #bbb; border-radius: 6px; padding: .8em; width: 30em;
         position: relative; min-height: 22em; }
.panel h2 { margin: 0 0 .4em 0; font-size: 1.2em; }
.panel input { font-size: 1.4em; width: 14em; }
.panel button { font-size: 1.2em; margin-left: .5em; }
.state { margin: .4em 0; font-weight: bold; }
.message { color: #a40; min-height: 1.2em; }
table.steps { border-collapse: collapse; width: 100%; font-size: .9em; }
table.steps td { border-top: 1px solid #ddd; padding: 2px 4px; vertical-align: top; }
.v-PASS { color: #070; } .v-FAIL { color: #c00; } .v-ERROR { color: #a60; }
.overlay { display: none; font-size: 5.5em; font-weight: bold; color: #fff; text-align: center;
           border-radius: 6px; margin: .1em 0; letter-spacing: .05em; }
.panel.done .overlay { display: block; }
.overlay.PASS { background: #1a9c2a; } .overlay.FAIL { background: #d01818; }
.overlay.ERROR { background: #f0a000; }
#recent { padding: 0 1em 1em 1em; }
#recent table { border-collapse: collapse; background: #fff; }
#recent td, #recent th { border: 1px solid #ccc; padding: 2px 8px; }
)CSS";

const char kJs[] = R"JS('use strict';
// The token of a station that listens beyond this machine comes with the
// page's address (?token=...) and goes with every request.
const token = new URLSearchParams(location.search).get('token') || '';
const panels = [];

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

function build(units) {
  const main = document.getElementById('panels');
  units.forEach((u, i) => {
    const p = el('div', 'panel');
    p.id = 'unit-' + i;
    p.appendChild(el('h2', '', u.label + (u.label !== u.iface ? ' (' + u.iface + ')' : '')));
    const input = el('input', 'serial');
    input.placeholder = 'scan a serial';
    input.autocomplete = 'off';
    input.addEventListener('keydown', ev => {
      if (ev.key !== 'Enter') return;
      const serial = input.value.trim();
      input.value = '';
      post('start', {unit: i, serial: serial}).then(r => {
        if (r.error) panels[i].message.textContent = r.error;
      });
    });
    const stop = el('button', 'stop', 'Stop');
    stop.addEventListener('click', () => post('stop', {unit: i}));
    const row = el('div');
    row.appendChild(input);
    row.appendChild(stop);
    p.appendChild(row);
    const state = el('div', 'state');
    const message = el('div', 'message');
    const overlay = el('div', 'overlay');
    const steps = el('table', 'steps');
    p.appendChild(state);
    p.appendChild(overlay);
    p.appendChild(message);
    p.appendChild(steps);
    main.appendChild(p);
    panels.push({root: p, input: input, stop: stop, state: state, message: message,
                 overlay: overlay, steps: steps});
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

function show(s) {
  document.getElementById('plan').textContent = 'plan ' + s.plan;
  document.getElementById('station').textContent = 'station ' + s.station;
  if (!panels.length) build(s.units);
  s.units.forEach((u, i) => {
    const p = panels[i];
    p.root.classList.toggle('running', u.state === 'running');
    p.root.classList.toggle('done', u.state === 'done');
    p.root.dataset.state = u.state;
    p.root.dataset.verdict = u.verdict || '';
    p.overlay.className = 'overlay ' + (u.verdict || '');
    p.overlay.textContent = u.verdict || '';
    p.stop.disabled = u.state !== 'running' || u.stopping;
    let st = '';
    if (u.state === 'running')
      st = u.serial + ': step ' + u.steps.length + ' of ' + s.plan_steps +
           (u.stopping ? ', stopping' : '');
    else if (u.state === 'done')
      st = u.serial + ': ' + u.verdict + (u.record ? ', record ' + u.record : '');
    else st = 'ready';
    p.state.textContent = st;
    p.message.textContent = u.message;
    p.steps.textContent = '';
    u.steps.forEach(x => {
      const tr = el('tr');
      tr.appendChild(el('td', '', x.line));
      tr.appendChild(el('td', '', x.command + (x.args ? ' ' + x.args : '')));
      tr.appendChild(el('td', '', x.measured.map(measured).join('; ') || x.error));
      tr.appendChild(el('td', x.verdict ? 'v-' + x.verdict : '', x.verdict || '\u2026'));
      p.steps.appendChild(tr);
    });
  });
  const h = document.getElementById('history');
  h.textContent = '';
  s.history.forEach(d => {
    const tr = el('tr');
    [d.serial, d.unit, d.verdict, d.record, d.ended_at].forEach((t, k) =>
      tr.appendChild(el('td', k === 2 ? 'v-' + t : '', t)));
    h.appendChild(tr);
  });
}

function connect() {
  const es = new EventSource('events' + (token ? '?token=' + encodeURIComponent(token) : ''));
  const lost = document.getElementById('lost');
  es.onmessage = ev => {
    lost.hidden = true;
    document.body.dataset.connected = '1';
    show(JSON.parse(ev.data));
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
