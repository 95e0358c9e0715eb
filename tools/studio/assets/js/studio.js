// The studio page: controls on the left, the live image and the measured
// lobe on the right. The whole look lives in the page's URL, so a link
// reproduces it. Frames are pulled one at a time: after a change the first
// pass, then one pass after another until the sample target; a change
// aborts the request in flight (the server stops its render), so no stale
// frame is ever waited for.
//
// Whatever a link holds, the page starts: its entries are checked by the
// server first, the valid ones apply, and the unknown or refused ones are
// named together in one message. The address only ever holds checked
// values; a refused typed value stays marked in its field, and while any
// field is marked, Save and Export say why they are unavailable.
//
// The image scales to the space it has (or 1:1, zoomed and panned by hand);
// material changes can be undone and redone; a snapshot (A) of a look stays
// to compare the current one against.
import { Controls } from './controls.js';
import { download, drawDiffScale, showFigures, toFalseColour } from './display.js';
import { History } from './history.js';
import { drawColourBar, drawHeatMap, drawPlane, peakOf } from './lobe.js';
import { Stage, STAGE_DEFAULTS } from './stage.js';
import { Viewport } from './viewport.js';

const $ = (id) => document.getElementById(id);
const DEFAULT_VIEW = { view: 'side', w: '400', h: '300', spp: '64', gain: '4', vt: '45', vp: '0',
  name: 'glintWeave1', ...STAGE_DEFAULTS };
const VIEW_KEYS = Object.keys(DEFAULT_VIEW);

const VIEW_FIELDS = { w: 'width', h: 'height', spp: 'spp' };  // typed view values: key -> field id

const clientId = (crypto.randomUUID ? crypto.randomUUID()
  : Math.random().toString(36).slice(2) + Date.now().toString(36)).replace(/[^A-Za-z0-9_-]/g, '');

let info = null;
let controls = null;
const view = { ...DEFAULT_VIEW };
let generation = 0;
let frameAbort = null;
let lobeAbort = null;
let lobeTimer = 0;
let lastFrame = null;
let viewport = null;
let current = null;   // the latest frame as it came: { image, key, gen }
let snapshot = null;  // A: { pairs, preset, image, key, gen }
let steps = null;     // undo and redo of material changes
let stage = null;     // the stage's controls
const viewProblems = new Map();  // view key -> the refused typed value's reason

function status(text) { $('status').textContent = text; }

function materialPairs() { return controls.changed(); }

function query(extra = []) {
  const p = new URLSearchParams();
  for (const [k, v] of materialPairs()) p.append(k, v);
  for (const k of VIEW_KEYS) p.append(k, view[k]);
  for (const [k, v] of extra) p.append(k, v);
  return p;
}

function updateUrl() {
  const p = new URLSearchParams();
  for (const [k, v] of materialPairs()) p.append(k, v);
  for (const k of VIEW_KEYS) if (view[k] !== DEFAULT_VIEW[k]) p.append(k, view[k]);
  const s = p.toString();
  history.replaceState(null, '', s ? '?' + s : location.pathname);
}

// The server's reason for refusing each of `pairs`, by key; empty when all
// are valid. Each pair is checked on its own, so every problem comes back.
async function checkPairs(pairs) {
  const p = new URLSearchParams();
  for (const [k, v] of pairs) p.append(k, v);
  const res = await fetch('/api/check?' + p);
  if (!res.ok) throw new Error(`the studio cannot check values (HTTP ${res.status})`);
  const reasons = new Map();
  for (const { field, error } of (await res.json()).problems) {
    if (!reasons.has(field)) reasons.set(field, error);
  }
  return reasons;
}

async function checkOne(key, value) {
  return (await checkPairs([[key, value]])).get(key) || '';
}

// Every marked field with the reason it was refused.
function problemList() {
  const list = [];
  for (const [name, why] of controls.problems) list.push({ name, why });
  for (const [key, why] of viewProblems) list.push({ name: VIEW_FIELDS[key] || key, why });
  return list;
}

// Save and Export stay clickable while a field is marked, but only say why
// they are unavailable: a file of the last valid look, while another one is
// on screen, would be a silently wrong file.
function unavailableReason() {
  const list = problemList();
  if (!list.length) return '';
  const names = list.map((p) => p.name).join(', ');
  return `Unavailable while ${list.length === 1 ? 'this field is' : 'these fields are'} invalid: ${names}`;
}

function updateAvailability() {
  const reason = unavailableReason();
  for (const id of ['save-png', 'save-exr', 'export-ma', 'export-mi']) {
    const b = $(id);
    b.classList.toggle('unavailable', reason !== '');
    b.title = reason || b.dataset.title || '';
  }
  if (!reason) {
    $('save-error').textContent = '';
    if ($('files-error').dataset.unavailable) $('files-error').textContent = '';
    delete $('files-error').dataset.unavailable;
  }
}

// Shows a refused parameter next to its control or view field, or above the
// image.
function showError(field, message) {
  if (stage && stage.showError(field, message || '')) return;
  if (field && controls.input(field)) {
    controls.mark(field, message || '');
    $('view-error').textContent = '';
  } else if (field && VIEW_FIELDS[field]) {
    markView(field, message || '');
  } else {
    $('view-error').textContent = message || '';
  }
}

function markView(key, message) {
  if (message) viewProblems.set(key, message);
  else viewProblems.delete(key);
  const field = $(VIEW_FIELDS[key] || 'material-name');
  field.classList.toggle('invalid', message !== '');
  field.setAttribute('aria-invalid', message ? 'true' : 'false');
  if (VIEW_FIELDS[key]) field.title = message;
  if (key === 'name') $('name-error').textContent = message;
  $('view-error').textContent = [...viewProblems].filter(([k]) => k !== 'name').map(([, m]) => m).join('; ');
  updateAvailability();
}

// What an image's pixels mean: a frame can be compared with a snapshot only
// when both show the same view at the same size.
function viewKey() { return `${view.view} ${view.w}x${view.h}`; }

// The shown image: the current frame, A, or A left of the split and the
// current frame right of it; the difference view in false colour when asked.
function display() {
  if (!current) return;
  const compare = $('compare').value;
  const comparable = snapshot && snapshot.image && snapshot.key === current.key;
  let image = current.image;
  if (comparable && compare === 'a') image = snapshot.image;
  if (comparable && compare === 'split') {
    const w = image.width, h = image.height;
    const cut = Math.round(w * Number($('split').value) / 1000);
    const mixed = new ImageData(new Uint8ClampedArray(image.data), w, h);
    for (let y = 0; y < h; ++y) {
      const row = y * w * 4;
      mixed.data.set(snapshot.image.data.subarray(row, row + cut * 4), row);
      if (cut > 0 && cut < w) mixed.data.set([255, 255, 255, 255], row + cut * 4);
    }
    image = mixed;
  }
  const falseColour = view.view === 'diff' && $('false-colour').checked;
  if (falseColour) image = toFalseColour(image);
  const canvas = $('image');
  if (canvas.width !== image.width || canvas.height !== image.height) {
    canvas.width = image.width;
    canvas.height = image.height;
    viewport.contentChanged();
  }
  canvas.getContext('2d').putImageData(image, 0, 0);
  canvas.dataset.shows = comparable && compare !== 'off' ? compare : 'current';
  $('diff-scale').hidden = !falseColour;
  if (falseColour) drawDiffScale($('diff-scale'), view.gain);
}

function drawFrame(buffer, headers, gen) {
  const w = Number(headers.get('X-Frame-Width'));
  const h = Number(headers.get('X-Frame-Height'));
  const canvas = $('image');
  const pixels = new Uint8ClampedArray(buffer);
  if (pixels.length !== w * h * 4) return false;
  current = { image: new ImageData(pixels, w, h), key: viewKey(), gen };
  // A snapshot refines with the look it was taken of, until that changes.
  if (snapshot && snapshot.gen === gen) {
    snapshot.image = current.image;
    snapshot.key = current.key;
  }
  showFigures($('diff-figures'), headers, view.view === 'diff');
  updateCompare();
  display();
  const passes = headers.get('X-Frame-Passes');
  const samples = Number(headers.get('X-Frame-Samples'));
  const target = Number(headers.get('X-Frame-Target'));
  $('counter').textContent = `pass ${passes} · ${samples} / ${target} samples`;
  canvas.dataset.samples = String(samples);
  canvas.dataset.passes = passes;
  lastFrame = { samples, target };
  return samples >= target;
}

function panelLabels() {
  const names = { maya: ['Maya'], mentalray: ['mental ray'], side: ['Maya', 'mental ray'],
                  diff: [`|Maya − mental ray| × ${view.gain}`] }[view.view] || [];
  $('panel-labels').replaceChildren(...names.map((n) => {
    const s = document.createElement('span');
    s.style.width = view.w + 'px';
    s.style.textAlign = 'center';
    s.textContent = n;
    return s;
  }));
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function refine(gen) {
  let retry = 0;
  while (gen === generation) {
    frameAbort = new AbortController();
    let res;
    try {
      res = await fetch('/api/frame?' + query([['client', clientId]]), { signal: frameAbort.signal });
    } catch (e) {
      if (gen !== generation) return;
      status('connection lost; retrying');
      await sleep(1000);
      continue;
    }
    if (gen !== generation) return;
    if (res.status === 400) {
      const e = await res.json();
      showError(e.field, e.error);
      status('');
      return;
    }
    if (res.status === 409) return;
    if (res.status === 503) {
      status('the studio is busy; waiting');
      await sleep(Math.min(2000, 200 * ++retry));
      continue;
    }
    if (!res.ok) {
      const e = await res.json().catch(() => ({ error: res.statusText }));
      showError(null, e.error);
      status('');
      return;
    }
    const buffer = await res.arrayBuffer();
    if (gen !== generation) return;
    $('view-error').textContent = [...viewProblems.values()].join('; ');
    retry = 0;
    const done = drawFrame(buffer, res.headers, gen);
    status(done ? 'done' : 'refining');
    if (done) return;
  }
}

async function measureLobe() {
  if (lobeAbort) lobeAbort.abort();
  lobeAbort = new AbortController();
  let lobe;
  try {
    const res = await fetch('/api/lobe?' + query(), { signal: lobeAbort.signal });
    if (!res.ok) return;
    lobe = await res.json();
  } catch (e) {
    return;
  }
  drawHeatMap($('lobe-maya'), lobe, 'maya');
  drawHeatMap($('lobe-mentalray'), lobe, 'mentalray');
  drawColourBar($('lobe-bar'), lobe);
  drawPlane($('lobe-plane'), lobe, Number(view.vt));
  $('lobe-scale').textContent = `peak ${peakOf(lobe).toPrecision(3)}; heat maps on a log scale over three decades`;
  $('lobe').dataset.measured = String(Number($('lobe').dataset.measured || 0) + 1);
}

// A look, for the history: the material's changed inputs and the preset.
function lookNow() {
  return JSON.stringify({ pairs: materialPairs(), preset: $('preset').value });
}

function applyLook(look) {
  const { pairs, preset } = JSON.parse(look);
  controls.setAll(pairs);
  $('preset').value = preset;
}

// ---- A/B: a snapshot of a look to compare against -----------------------------

function takeSnapshot() {
  snapshot = { pairs: materialPairs(), preset: $('preset').value,
    image: current ? current.image : null, key: current ? current.key : '', gen: generation };
  $('restore').disabled = false;
  if ($('compare').value === 'off') $('compare').value = 'split';
  updateCompare();
  display();
}

function restoreSnapshot() {
  if (!snapshot) return;
  controls.setAll(snapshot.pairs);
  $('preset').value = snapshot.preset;
  steps.record();
  changed();
}

function updateCompare() {
  const select = $('compare');
  select.disabled = !snapshot;
  $('split').hidden = select.value !== 'split' || !snapshot;
  let note = '';
  if (snapshot && current && snapshot.key !== current.key) note = `A shows ${snapshot.key || 'nothing yet'}: keep a new A`;
  $('compare-note').textContent = note;
}

function changed({ lobe = true } = {}) {
  updateUrl();
  panelLabels();
  generation += 1;
  if (frameAbort) frameAbort.abort();
  refine(generation);
  if (lobe) {
    clearTimeout(lobeTimer);
    lobeTimer = setTimeout(measureLobe, 60);
  }
}

function applyPreset(name) {
  controls.reset();
  const preset = info.presets.find((p) => p.name === name);
  if (preset) for (const [k, v] of Object.entries(preset.settings)) controls.set(k, v);
}

// Sets every input from a query string (the form the server writes).
function applyMaterialQuery(text) {
  controls.reset();
  for (const [k, v] of new URLSearchParams(text)) controls.set(k, v);
}

// Runs `action` unless a field is marked; then says why instead, in `note`.
function whenValid(note, action) {
  return () => {
    const reason = unavailableReason();
    if (!reason) { action(); return; }
    const list = problemList();
    note.textContent = `Unavailable while ${list.length === 1 ? 'this field is' : 'these fields are'} ` +
      `invalid: ${list.map((p) => p.why).join('; ')}`;
    if (note === $('files-error')) note.dataset.unavailable = '1';
  };
}

async function openScene(file) {
  $('files-error').textContent = '';
  const text = await file.text();
  const res = await fetch('/api/import?' + new URLSearchParams({ file: file.name }),
    { method: 'POST', body: text, headers: { 'Content-Type': 'text/plain' } });
  const body = await res.json().catch(() => ({ error: res.statusText }));
  if (!res.ok) { $('files-error').textContent = body.error; return; }
  const list = body.materials;
  const select = $('scene-materials');
  select.replaceChildren(...list.map((m, i) => new Option(`${m.name} (${m.host})`, String(i))));
  select.hidden = list.length < 2;
  const load = (m) => {
    applyMaterialQuery(m.query);
    $('preset').value = '';
    steps.record();
    // Exported files are named after the material: take the scene's name
    // when the studio takes it as one.
    checkOne('name', m.name).then((why) => {
      if (why) return;
      view.name = m.name;
      $('material-name').value = m.name;
      markView('name', '');
      updateUrl();
    }).catch(() => {});
    // A connected input keeps its stored value here; say which ones are.
    $('files-error').textContent = m.connected.length
      ? `${m.name}: connected in the scene, stored values used: ${m.connected.join(', ')}` : '';
    changed();
  };
  select.onchange = () => load(list[Number(select.value)]);
  if (list.length) load(list[0]);
}

function wire() {
  const preset = $('preset');
  preset.append(new Option('(custom)', ''));
  for (const p of info.presets) preset.append(new Option(p.name, p.name));
  preset.addEventListener('change', () => { if (preset.value) { applyPreset(preset.value); changed(); } });

  preset.addEventListener('change', () => steps.record());
  const setView = (key, value, opts) => { view[key] = String(value); changed(opts); };
  const diffBar = () => $('diff-bar').classList.toggle('off', view.view !== 'diff');
  $('view').value = view.view;
  $('view').addEventListener('change', () => {
    setView('view', $('view').value, { lobe: false });
    // The figures are the difference view's: gone at once with it.
    if (view.view !== 'diff') showFigures($('diff-figures'), new Headers(), false);
    diffBar();
  });
  diffBar();
  $('false-colour').addEventListener('change', display);
  $('compare').addEventListener('change', () => { updateCompare(); display(); });
  $('split').addEventListener('input', display);
  $('snapshot').addEventListener('click', takeSnapshot);
  $('restore').addEventListener('click', restoreSnapshot);
  $('fit').addEventListener('click', () => viewport.fit());
  $('one').addEventListener('click', () => viewport.actualSize());
  const name = $('material-name');
  name.value = view.name;
  let nameTicket = 0;
  name.addEventListener('change', async () => {
    const text = name.value.trim();
    const mine = ++nameTicket;
    let reason;
    try {
      reason = await checkOne('name', text);
    } catch (e) {
      reason = e.message;
    }
    if (mine !== nameTicket) return;
    markView('name', reason);
    if (!reason) { view.name = text; updateUrl(); }
  });
  const gainPos = (g) => Math.round(1000 * Math.log(g / info.limits.minGain) / Math.log(info.limits.maxGain / info.limits.minGain));
  const posGain = (p) => info.limits.minGain * Math.pow(info.limits.maxGain / info.limits.minGain, p / 1000);
  $('gain').value = gainPos(Number(view.gain));
  $('gain-value').textContent = view.gain;
  $('gain').addEventListener('input', () => {
    const g = Number.parseFloat(posGain(Number($('gain').value)).toPrecision(3));
    $('gain-value').textContent = String(g);
    setView('gain', g, { lobe: false });
  });
  for (const [id, key, max] of [['width', 'w', info.limits.maxWidth], ['height', 'h', info.limits.maxHeight],
                                ['spp', 'spp', info.limits.maxTarget]]) {
    $(id).max = max;
    $(id).value = view[key];
    let ticket = 0;
    $(id).addEventListener('change', async () => {
      const text = $(id).value.trim();
      const mine = ++ticket;
      let reason;
      try {
        reason = await checkOne(key, text);
      } catch (e) {
        reason = e.message;
      }
      if (mine !== ticket) return;
      markView(key, reason);
      if (!reason) setView(key, text, { lobe: false });
    });
  }
  for (const key of ['vt', 'vp']) {
    $(key).value = view[key];
    $(key + '-value').textContent = view[key] + '°';
    $(key).addEventListener('input', () => {
      $(key + '-value').textContent = $(key).value + '°';
      view[key] = $(key).value;
      updateUrl();
      clearTimeout(lobeTimer);
      lobeTimer = setTimeout(measureLobe, 30);
    });
  }
  for (const format of ['png', 'exr']) {
    $('save-' + format).addEventListener('click', whenValid($('save-error'),
      () => download('/api/image?' + query([['client', clientId], ['format', format]]), $('save-error'))));
  }
  $('save-exr').disabled = !info.exr;
  if (!info.exr) $('save-exr').dataset.title = 'this build cannot write OpenEXR';
  for (const format of ['ma', 'mi']) {
    const button = $('export-' + format);
    button.disabled = !info.sceneFiles;
    if (!info.sceneFiles) button.dataset.title = 'this build has no scene file writers';
    button.addEventListener('click', whenValid($('files-error'),
      () => download('/api/export?' + query([['format', format]]), $('files-error'))));
  }
  updateAvailability();
  $('open-scene').disabled = !info.sceneFiles;
  $('open-scene').addEventListener('change', () => {
    const file = $('open-scene').files[0];
    if (file) openScene(file);
    $('open-scene').value = '';
  });
}

// The link's entries the page takes (material inputs and view settings),
// checked by the server; the rest is named in one message. Returns whether
// the link set any material input.
async function applyLink(search) {
  const ignored = [];
  const seen = new Set();
  const candidates = [];
  for (const [k, v] of new URLSearchParams(search)) {
    if (seen.has(k)) {
      ignored.push(`${k} is given more than once (the first applies)`);
      continue;
    }
    seen.add(k);
    if (VIEW_KEYS.includes(k) || controls.input(k)) {
      candidates.push([k, v]);
    } else {
      const near = info.inputs.find((i) => i.name.toLowerCase() === k.toLowerCase());
      ignored.push(`unknown parameter '${k}'${near ? ` (did you mean ${near.name}?)` : ''}`);
    }
  }
  const reasons = candidates.length ? await checkPairs(candidates) : new Map();
  let hasMaterial = false;
  for (const [k, v] of candidates) {
    if (reasons.has(k)) ignored.push(reasons.get(k));
    else if (VIEW_KEYS.includes(k)) view[k] = v;
    else hasMaterial = controls.set(k, v) || hasMaterial;
  }
  if (ignored.length) {
    $('link-problems').textContent = ignored.join('; ');
    $('link-note').hidden = false;
  }
  return hasMaterial;
}

async function main() {
  viewport = new Viewport($('viewport'), $('stage'), $('image'), $('zoom'), {
    orbit: (dx, dy, done) => stage && stage.orbit(dx, dy, done),
    dolly: (factor) => stage && stage.dolly(factor),
  });
  info = await (await fetch('/api/inputs')).json();
  $('scene').textContent = `scene: ${info.scene}`;
  controls = new Controls($('controls'), info.inputs, {
    onChange: (name) => { $('preset').value = ''; steps.record(name); changed(); },
    check: checkOne,
    onProblems: updateAvailability,
  });
  $('link-dismiss').addEventListener('click', () => { $('link-note').hidden = true; });
  const hasMaterial = await applyLink(location.search);
  steps = new History({ look: lookNow, apply: applyLook, changed, undoButton: $('undo'),
    redoButton: $('redo') });
  wire();
  stage = new Stage(info, view, { changed, query, clientId });
  // A bare address starts from the preview's default look.
  if (!hasMaterial) {
    applyPreset(info.defaultPreset);
    $('preset').value = info.defaultPreset;
  } else {
    $('preset').value = '';
  }
  steps.start();
  updateCompare();
  window.studio = { clientId, get lastFrame() { return lastFrame; } };
  changed();
}

main().catch((e) => status('failed to start: ' + e));
