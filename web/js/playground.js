// The playground page: controls and the URL hash hold the look (js/look.js);
// Web Workers, one per core the browser reports, each with its own instance
// of the module (js/worker.js), render bands of rows of each frame, a
// quarter-resolution frame first, then the full one; a change cancels the
// frame in flight. The page keeps an instance of its own for probes and
// for the pictures of passes, which need the whole frame.
//
// For tests and "Download PNG": window.tuloPlayground.frame() gives the
// last full frame's 8-bit straight-alpha bytes as computed, and the canvas
// carries data-state="rendering" while a frame is in flight, "done" once
// the full frame is shown ("error" when the page cannot render).

import { missingSupport, compile, Playground } from './module.js';
import * as L from './look.js';
import { encodePng } from './png.js';

const QUARTER = 4;           // the first frame's pixels, in pixels of the full frame
const BAND_SAMPLES = 16384;  // samples a worker computes at a time: a change waits at most that long
const MAX_WORKERS = 16;
const PAN_STEP = 0.1;        // of the view's width, per arrow key
const ZOOM_STEP = 1.25;      // per + or - key
const FLY_SPEED = 0.1;       // the view's width in depth per second

const $ = (id) => document.getElementById(id);
const canvas = $('frame');
const context = canvas.getContext('2d');

let look = L.copyLook(L.DEFAULTS);
let playground = null;  // the page's own instance
let workers = [];       // {worker, busy}
let kernel = '';
let current = null;     // the frame in flight: {id, look, stages, job}
let frames = 0;
let lastFrame = null;   // the last full frame: {width, height, rgba}
let waiting = [];       // frame() promises waiting for the next full frame
let hashNotes = [], fileNotes = [], nanNote = '';
let flying = null;      // {last: time of the last depth step}
const timing = { compiled: 0, ready: 0, firstFrame: 0, frames: 0, lastFrameMs: 0, workerMsPerSample: 0, samples: 0 };

// ---- Fields ----------------------------------------------------------------

const FIELD_NAMES = Object.keys(L.FIELDS);

function message(name, text, kind = 'error') {
  const el = $(`m-${name}`);
  if (!el) return;
  el.textContent = text;
  el.classList.toggle('advice', kind === 'advice');
  const input = $(`f-${name}`);
  if (input) input.setAttribute('aria-invalid', text && kind === 'error' ? 'true' : 'false');
}

function linearToHex(rgb) {
  return '#' + rgb.slice(0, 3).map((c) => {
    const v = Math.min(Math.max(c, 0), 1);
    const s = v <= 0.0031308 ? 12.92 * v : 1.055 * Math.pow(v, 1 / 2.4) - 0.055;
    return Math.round(s * 255).toString(16).padStart(2, '0');
  }).join('');
}

function hexToLinear(hex) {
  return [1, 3, 5].map((i) => {
    const s = parseInt(hex.slice(i, i + 2), 16) / 255;
    const v = s <= 0.04045 ? s / 12.92 : Math.pow((s + 0.055) / 1.055, 2.4);
    return Number(v.toPrecision(4));
  });
}

const WEIGHT_HINTS = ['x, y, z factors', 'x, y, z factors', 'x, y, z factors', 'an offset x, y, z', 'x, y, z exponents'];

// Shows the look in every field (but the one being typed in, which holds
// it already), with advice on values that show little.
function showLook(except = '') {
  for (const name of FIELD_NAMES) {
    if (name !== except) $(`f-${name}`).value = L.FIELDS[name].format(look[name]);
    message(name, '');
  }
  $('f-show').value = look.show;
  $('f-depth-slider').value = String(look.depth);
  $('p-color1').value = linearToHex(look.color1);
  $('p-color2').value = linearToHex(look.color2);
  $('h-weights').textContent = WEIGHT_HINTS[look.metric - 1];
  const colours = look.show === 'color';
  for (const id of ['f-color1', 'f-color2', 'p-color1', 'p-color2', 'f-colorspace']) $(id).disabled = !colours;
  for (const id of ['f-normal', 'f-up']) $(id).disabled = look.view !== 'slice';
  for (const [name, text] of Object.entries(L.advice(look))) message(name, text, 'advice');
}

// A new look: the hash and the fields follow it, and a frame starts.
function changed(next, { except = '', quarter = true } = {}) {
  look = next;
  history.replaceState(null, '', `#${L.toHash(look)}`);
  showLook(except);
  requestFrame({ quarter });
}

function onField(name) {
  const el = $(`f-${name}`);
  let value;
  try {
    value = L.FIELDS[name].parse(el.value.trim());
  } catch (e) {
    message(name, `${e.message}: the picture keeps the last good value`);
    return;
  }
  const next = { ...L.copyLook(look), [name]: value };
  if (L.crossCheck(next).up) {
    message(name, name === 'up' ? 'must not be parallel to the normal' : 'must not be parallel to the up direction');
    return;
  }
  changed(next, { except: name });
}

for (const name of FIELD_NAMES) {
  const el = $(`f-${name}`);
  el.addEventListener(el.tagName === 'SELECT' ? 'change' : 'input', () => onField(name));
}

$('f-show').addEventListener('change', () => changed({ ...L.copyLook(look), show: $('f-show').value }));

$('f-depth-slider').addEventListener('input', () => {
  changed({ ...L.copyLook(look), depth: Number($('f-depth-slider').value) });
});

for (const which of ['color1', 'color2']) {
  $(`p-${which}`).addEventListener('input', () => {
    const rgb = hexToLinear($(`p-${which}`).value);
    changed({ ...L.copyLook(look), [which]: [...rgb, look[which][3]] });
  });
}

// ---- Notes -----------------------------------------------------------------

function showNotes() {
  const parts = [];
  if (hashNotes.length) parts.push(`Ignored in the link: ${hashNotes.join('; ')}.`);
  if (fileNotes.length) parts.push(`Skipped in the params file: ${fileNotes.join('; ')}.`);
  if (nanNote) parts.push(nanNote);
  $('notes').textContent = parts.join(' ');
  $('notes').hidden = parts.length === 0;
}

function applyHash() {
  const { look: next, ignored } = L.fromHash(location.hash, L.DEFAULTS);
  hashNotes = ignored;
  fileNotes = [];
  showNotes();
  changed(next);
}

window.addEventListener('hashchange', applyHash);

// ---- Frames ----------------------------------------------------------------

function requestFrame({ quarter = true } = {}) {
  if (!workers.length) return;
  const [w, h] = look.size;
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  const small = w < 2 * QUARTER || h < 2 * QUARTER;
  current = { id: ++frames, look: L.copyLook(look), stages: quarter && !small ? ['quarter', 'full'] : ['full'] };
  canvas.dataset.state = 'rendering';
  startStage();
}

function startStage() {
  const f = current;
  const stage = f.stages.shift();
  const [W, H] = f.look.size;
  const width = stage === 'quarter' ? Math.ceil(W / QUARTER) : W;
  const height = stage === 'quarter' ? Math.ceil(H / QUARTER) : H;
  const samples = stage === 'quarter' ? 1 : f.look.samples;
  const pass = L.PASSES.includes(f.look.show);
  const rows = Math.max(1, Math.floor(BAND_SAMPLES / (width * samples)));
  const bands = [];
  for (let y = 0; y < height; y += rows) bands.push([y, Math.min(height, y + rows)]);
  const n = width * height;
  f.job = {
    stage, width, height, samples, pass, bands, pending: bands.length, started: performance.now(), workerMs: 0, nan: 0,
    settings: L.settings(f.look, width, height, samples),
    rgba: pass ? null : new Uint8ClampedArray(4 * n),
    f1: pass ? new Float32Array(n) : null, f2: pass ? new Float32Array(n) : null, id: pass ? new Uint32Array(n) : null,
  };
  dispatch();
}

function dispatch() {
  const job = current && current.job;
  if (!job) return;
  for (const w of workers) {
    if (w.busy || !job.bands.length) continue;
    const [y0, y1] = job.bands.shift();
    w.busy = true;
    w.worker.postMessage({
      type: 'band', frame: current.id, stage: job.stage, settings: job.settings, width: job.width, y0, y1, pass: job.pass,
    });
  }
}

function onBand(w, m) {
  w.busy = false;
  const job = current && current.job;
  if (job && m.frame === current.id && m.stage === job.stage) {
    job.workerMs += m.ms;
    const at = m.y0 * job.width;
    if (job.pass) {
      job.f1.set(m.f1, at);
      job.f2.set(m.f2, at);
      job.id.set(m.id, at);
    } else {
      job.rgba.set(m.rgba, 4 * at);
      job.nan += m.nan;
      if (job.stage === 'full') context.putImageData(new ImageData(m.rgba, job.width, m.y1 - m.y0), 0, m.y0);
    }
    if (--job.pending === 0) finishStage();
  }
  dispatch();
}

function finishStage() {
  const f = current, job = f.job;
  const ms = performance.now() - job.started;
  let rgba = job.rgba;
  if (job.pass) {
    playground.settings = job.settings;
    rgba = playground.passPicture(job.f1, job.f2, job.id);
  }
  if (job.stage === 'quarter') {
    const small = document.createElement('canvas');
    small.width = job.width;
    small.height = job.height;
    small.getContext('2d').putImageData(new ImageData(rgba, job.width, job.height), 0, 0);
    context.clearRect(0, 0, canvas.width, canvas.height);
    context.imageSmoothingEnabled = false;
    context.drawImage(small, 0, 0, job.width * QUARTER, job.height * QUARTER);
    startStage();
    return;
  }
  if (job.pass) context.putImageData(new ImageData(rgba, job.width, job.height), 0, 0);
  current = null;
  lastFrame = { width: job.width, height: job.height, rgba, hash: L.toHash(f.look) };
  const samples = job.width * job.height * job.samples;
  Object.assign(timing, { frames: timing.frames + 1, lastFrameMs: ms, workerMsPerSample: job.workerMs / samples, samples });
  if (!timing.firstFrame) timing.firstFrame = performance.now();
  nanNote = job.nan > 0
    ? `${(100 * job.nan / samples).toPrecision(3)}% of the samples are NaN (drawn magenta): a gain of 0 with a value of 0, or negative Euclidian weights.`
    : '';
  showNotes();
  showStatus();
  canvas.dataset.state = 'done';
  const resolve = waiting;
  waiting = [];
  resolve.forEach((r) => r(copyFrame()));
  if (flying) flyStep();
}

function copyFrame() {
  return { width: lastFrame.width, height: lastFrame.height, rgba: new Uint8Array(lastFrame.rgba), hash: lastFrame.hash };
}

function showStatus() {
  const [w, h] = look.size;
  $('status').textContent = `${w} x ${h}, ${look.samples} sample${look.samples > 1 ? 's' : ''} a pixel: `
    + `${timing.lastFrameMs.toFixed(0)} ms a frame on ${workers.length} worker${workers.length > 1 ? 's' : ''}, `
    + `kernel ${kernel} (WebAssembly SIMD). First frame ${timing.firstFrame.toFixed(0)} ms after the page started loading.`;
}

function failed(text) {
  canvas.dataset.state = 'error';
  $('status').textContent = text;
}

// ---- Probes ----------------------------------------------------------------

// Probes pixel (x, y) of the frame at its centre, as cellular-preview --probe.
function probe(x, y) {
  if (!playground) return;
  const [w, h] = look.size;
  playground.settings = L.settings(look, w, h, look.samples);
  const line = playground.probe(x + 0.5, y + 0.5);
  $('probe-line').textContent = line;
  if (!line) {
    $('probe').textContent = `Pixel ${x}, ${y} lies off the sphere.`;
    return;
  }
  const v = line.split(' ').map((word) => word.split('/')[0]);
  $('probe').textContent = `Pixel ${x}, ${y}: point ${v[0]}, ${v[1]}, ${v[2]}; t ${v[4]}; `
    + `r ${v[6]}, g ${v[8]}, b ${v[10]}, a ${v[12]} (linear, as the plugin returns them; with their float bits below).`;
}

// ---- Panning, zooming, depth -------------------------------------------------

// Tidy numbers for the link: the centre to a tenth of a pixel, the scale to
// four significant digits.
function tidyCenter(c, scale, width) {
  const decimals = Math.max(0, Math.ceil(-Math.log10(scale / width / 10)));
  return c.map((v) => Number(v.toFixed(Math.min(decimals, 15))));
}

function panBy(dxPixels, dyPixels, from = look.center) {
  const [w] = look.size;
  const perPixel = look.scale / w;
  const center = [from[0] - dxPixels * perPixel, from[1] + dyPixels * perPixel];
  changed({ ...L.copyLook(look), center: tidyCenter(center, look.scale, w) });
}

// Zooms by `factor` (above 1: out) keeping the point at (u, v) of the view
// in place, u and v from -0.5 to 0.5 right and up of its centre.
function zoomAt(factor, u = 0, v = 0) {
  const [w, h] = look.size;
  const scale = Number((look.scale * factor).toPrecision(4));
  if (!(scale > 0) || !Number.isFinite(scale)) return;
  const d = look.scale - scale;
  const center = [look.center[0] + u * d, look.center[1] + v * d * (h / w)];
  changed({ ...L.copyLook(look), scale, center: tidyCenter(center, scale, w) });
}

function viewPosition(clientX, clientY) {
  const rect = canvas.getBoundingClientRect();
  return { u: (clientX - rect.left) / rect.width - 0.5, v: 0.5 - (clientY - rect.top) / rect.height, rect };
}

const pointers = new Map();
let drag = null, pinch = null, pendingMove = null;

canvas.addEventListener('pointerdown', (e) => {
  canvas.setPointerCapture(e.pointerId);
  pointers.set(e.pointerId, { x: e.clientX, y: e.clientY });
  if (pointers.size === 1) {
    drag = { x: e.clientX, y: e.clientY, center: [...look.center], moved: false };
  } else if (pointers.size === 2) {
    const [a, b] = [...pointers.values()];
    pinch = { distance: Math.hypot(a.x - b.x, a.y - b.y), scale: look.scale };
    drag = null;
  }
});

canvas.addEventListener('pointermove', (e) => {
  if (!pointers.has(e.pointerId)) return;
  pointers.set(e.pointerId, { x: e.clientX, y: e.clientY });
  if (pendingMove) return;
  // One change a display frame, however many events arrive.
  pendingMove = requestAnimationFrame(() => {
    pendingMove = null;
    if (pinch && pointers.size === 2) {
      const [a, b] = [...pointers.values()];
      const distance = Math.hypot(a.x - b.x, a.y - b.y);
      if (distance > 0) zoomAt(pinch.scale * (pinch.distance / distance) / look.scale);
    } else if (drag) {
      const p = pointers.values().next().value;
      const rect = canvas.getBoundingClientRect();
      const toPixels = canvas.width / rect.width;
      const dx = (p.x - drag.x) * toPixels, dy = (p.y - drag.y) * toPixels;
      if (!drag.moved && Math.hypot(p.x - drag.x, p.y - drag.y) < 4) return;
      drag.moved = true;
      canvas.classList.add('dragging');
      panBy(dx, dy, drag.center);
    }
  });
});

function pointerEnd(e) {
  if (!pointers.has(e.pointerId)) return;
  pointers.delete(e.pointerId);
  canvas.classList.remove('dragging');
  if (drag && !drag.moved && e.type === 'pointerup') {
    const rect = canvas.getBoundingClientRect();
    const x = Math.floor((e.clientX - rect.left) / rect.width * canvas.width);
    const y = Math.floor((e.clientY - rect.top) / rect.height * canvas.height);
    if (x >= 0 && x < canvas.width && y >= 0 && y < canvas.height) probe(x, y);
  }
  if (pointers.size < 2) pinch = null;
  if (pointers.size === 0) drag = null;
}
canvas.addEventListener('pointerup', pointerEnd);
canvas.addEventListener('pointercancel', pointerEnd);

canvas.addEventListener('wheel', (e) => {
  e.preventDefault();
  const { u, v } = viewPosition(e.clientX, e.clientY);
  const lines = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? 800 : 1;
  zoomAt(Math.exp(e.deltaY * lines * 0.0015), u, v);
}, { passive: false });

canvas.addEventListener('keydown', (e) => {
  const [w] = look.size;
  const step = PAN_STEP * w;
  const keys = {
    ArrowLeft: () => panBy(step, 0), ArrowRight: () => panBy(-step, 0),
    ArrowUp: () => panBy(0, step), ArrowDown: () => panBy(0, -step),
    '+': () => zoomAt(1 / ZOOM_STEP), '=': () => zoomAt(1 / ZOOM_STEP), '-': () => zoomAt(ZOOM_STEP),
    PageUp: () => changed({ ...L.copyLook(look), depth: Number((look.depth + look.scale / 50).toPrecision(6)) }),
    PageDown: () => changed({ ...L.copyLook(look), depth: Number((look.depth - look.scale / 50).toPrecision(6)) }),
    Enter: () => probe(Math.floor(canvas.width / 2), Math.floor(canvas.height / 2)),
  };
  if (keys[e.key]) {
    e.preventDefault();
    keys[e.key]();
  }
});

function flyStep() {
  const now = performance.now();
  const seconds = Math.min(0.1, (now - flying.last) / 1000);
  flying.last = now;
  const depth = Number((look.depth + FLY_SPEED * look.scale * Math.max(seconds, 1 / 60)).toPrecision(8));
  changed({ ...L.copyLook(look), depth }, { quarter: false });
}

$('fly').addEventListener('click', () => {
  flying = flying ? null : { last: performance.now() };
  $('fly').setAttribute('aria-pressed', flying ? 'true' : 'false');
  $('fly').textContent = flying ? 'Stop flying' : 'Fly through depth';
  if (flying && !current) flyStep();
});

// ---- Sharing -----------------------------------------------------------------

$('copy-params').addEventListener('click', async () => {
  const text = L.toParams(look);
  const area = $('params-text');
  area.value = text;
  area.hidden = false;
  try {
    await navigator.clipboard.writeText(text);
    $('share-message').textContent = 'Copied. Render it with cellular-preview --params FILE -o out.png.';
  } catch (e) {
    area.select();
    $('share-message').textContent = 'The browser did not allow copying: select the text above and copy it.';
  }
});

$('download-png').addEventListener('click', async () => {
  const frame = await window.tuloPlayground.frame();
  const linear = look.show !== 'color' || look.colorspace === 'linear';
  const blob = await encodePng(frame, { linear, texts: [['Software', 'tulo cellular texture playground'], ['params', L.toParams(look)]] });
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = 'cellular.png';
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
});

function loadParams(text, name) {
  try {
    const { look: next, skipped } = L.fromParams(text);
    fileNotes = skipped;
    hashNotes = [];
    showNotes();
    $('share-message').textContent = `Loaded ${name}.`;
    changed(next);
  } catch (e) {
    $('share-message').textContent = `${name}: ${e.message}`;
  }
}

$('load-params').addEventListener('change', async () => {
  const file = $('load-params').files[0];
  if (file) loadParams(await file.text(), file.name);
  $('load-params').value = '';
});

document.addEventListener('dragover', (e) => {
  e.preventDefault();
  document.body.classList.add('dropping');
});
document.addEventListener('dragleave', () => document.body.classList.remove('dropping'));
document.addEventListener('drop', async (e) => {
  e.preventDefault();
  document.body.classList.remove('dropping');
  const file = e.dataTransfer.files[0];
  if (file) loadParams(await file.text(), file.name);
});

$('controls').addEventListener('submit', (e) => e.preventDefault());

// ---- Start -----------------------------------------------------------------

window.tuloPlayground = {
  // The last full frame: {width, height, rgba, hash}, its bytes and the
  // look it shows; now, or when the frame in flight is done.
  frame() {
    return new Promise((resolve) => {
      if (!current && lastFrame) resolve(copyFrame());
      else waiting.push(resolve);
    });
  },
  // The linear float pixels (RGBA, straight alpha) that the current look's
  // full frame encodes, computed on the page's own instance: for tests
  // that compare every bit (colour and the value t only).
  pixels() {
    const [w, h] = look.size;
    playground.settings = L.settings(look, w, h, look.samples);
    return { width: w, height: h, rgba: playground.pixels(0, h, w) };
  },
  // Where the time goes: milliseconds since the page started loading
  // (compiled, ready, firstFrame), of the last full frame (lastFrameMs),
  // and a worker's milliseconds per sample in it; full frames shown.
  timing() {
    return { ...timing, workers: workers.length, kernel };
  },
};

function startWorker(compiled) {
  return new Promise((resolve, reject) => {
    const worker = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
    const w = { worker, busy: false };
    worker.onmessage = (e) => {
      if (e.data.type === 'ready') {
        kernel = e.data.kernel;
        worker.onmessage = (m) => (m.data.type === 'band' ? onBand(w, m.data) : failed(`A worker failed: ${m.data.message}`));
        resolve(w);
      } else {
        reject(new Error(e.data.message));
      }
    };
    worker.onerror = (e) => reject(new Error(e.message || 'the worker could not start'));
    worker.postMessage({ type: 'init', module: compiled });
  });
}

async function start() {
  const missing = missingSupport();
  if (missing) {
    $('support').textContent = `This browser cannot run the playground: it has no ${missing}. `
      + 'Current Chrome, Edge, Firefox and Safari (2023 or later) have it.';
    $('support').hidden = false;
    failed('Not supported by this browser.');
    return;
  }
  applyHash();
  try {
    const compiled = await compile(await fetch(new URL('../tulo_playground.wasm', import.meta.url)));
    timing.compiled = performance.now();
    playground = await Playground.create(compiled);
    const asked = Number(new URLSearchParams(location.search).get('workers'));
    const count = Math.min(MAX_WORKERS, asked >= 1 ? Math.floor(asked) : navigator.hardwareConcurrency || 2);
    workers = await Promise.all(Array.from({ length: count }, () => startWorker(compiled)));
    timing.ready = performance.now();
  } catch (e) {
    failed(`The module could not be started: ${e.message}`);
    return;
  }
  requestFrame();
}

start();
