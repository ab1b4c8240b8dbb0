// The look and the view the playground shows, under cellular-preview's
// option names: their defaults, the check of each value as text, the URL
// hash that holds them, the params file that cellular-preview --params
// reads, and the module's settings block. No DOM here.

import { SETTINGS, SHOWS } from './module.js';

export const METRICS = ['Euclidian', 'Manhattan', 'Chessboard', 'Minkowski', 'Superquadratic'];
export const SAMPLES = [1, 4, 16];
export const PASSES = ['F1', 'F2', 'F2-F1', 'id'];

// Largest frame side the page renders (the preview allows 16384: a frame of
// that size would need a gigabyte in the browser).
export const MAX_SIDE = 4096;

export const DEFAULTS = Object.freeze({
  metric: 1,
  weights: [1, 1, 1],
  octaves: 0,
  gain: 0.5,
  color1: [0.95, 0.85, 0.55, 1],
  color2: [0.08, 0.12, 0.22, 1],
  size: [512, 512],
  center: [0, 0],
  scale: 20,
  depth: 0,
  view: 'slice',
  normal: [0, 0, 1],
  up: [0, 1, 0],
  samples: 1,
  colorspace: 'srgb',
  show: 'color', // 'color', 't' (the preview's --raw) or a pass (--pass NAME)
});

export function copyLook(look) {
  return JSON.parse(JSON.stringify(look));
}

// A decimal number as strtod reads one, finite: no hex, no inf or nan, no
// blanks (so that the page and the preview take every text alike).
const DECIMAL = /^[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$/;

function number(text) {
  if (!DECIMAL.test(text)) throw new Error(`'${text}' is not a number`);
  const v = Number(text);
  if (!Number.isFinite(v)) throw new Error(`'${text}' is beyond the range of numbers`);
  return v;
}

function numbers(text, min, max) {
  const parts = text.split(',');
  if (parts.length < min || parts.length > max) {
    throw new Error(`needs ${min}${min === max ? '' : ` or ${max}`} comma-separated numbers`);
  }
  return parts.map((p) => number(p.trim()));
}

function whole(text, lo, hi) {
  if (!/^[+-]?\d+$/.test(text)) throw new Error(`'${text}' is not a whole number`);
  const v = Number(text);
  if (v < lo || v > hi) throw new Error(`'${text}' is outside ${lo}..${hi}`);
  return v;
}

function oneOf(text, choices) {
  const hit = choices.find((c) => String(c) === text);
  if (hit === undefined) throw new Error(`expected ${choices.join(', ')}, got '${text}'`);
  return hit;
}

function direction(text) {
  const v = numbers(text, 3, 3);
  if (v.every((c) => c === 0)) throw new Error('is not a direction (all zero)');
  return v;
}

// The shortest text that reads back to the same double (-0 kept).
export function text(v) {
  return Object.is(v, -0) ? '-0' : String(v);
}

// Each option: its text from a value, and the value from a text (throws an
// Error whose message says what is wrong).
export const FIELDS = {
  metric: { parse: (t) => whole(t, 1, 5), format: text },
  weights: { parse: (t) => numbers(t, 3, 3), format: (v) => v.map(text).join(',') },
  octaves: { parse: (t) => whole(t, 0, 5), format: text },
  gain: { parse: number, format: text },
  color1: { parse: (t) => { const v = numbers(t, 3, 4); return v.length === 3 ? [...v, 1] : v; }, format: (v) => v.map(text).join(',') },
  color2: { parse: (t) => { const v = numbers(t, 3, 4); return v.length === 3 ? [...v, 1] : v; }, format: (v) => v.map(text).join(',') },
  size: {
    parse: (t) => {
      const m = /^(\d+)x(\d+)$/.exec(t);
      if (!m) throw new Error(`expected WxH, got '${t}'`);
      return [whole(m[1], 1, MAX_SIDE), whole(m[2], 1, MAX_SIDE)];
    },
    format: (v) => `${v[0]}x${v[1]}`,
  },
  center: { parse: (t) => numbers(t, 2, 2), format: (v) => v.map(text).join(',') },
  scale: {
    parse: (t) => {
      const v = number(t);
      if (!(v > 0)) throw new Error('must be a positive number');
      return v;
    },
    format: text,
  },
  depth: { parse: number, format: text },
  view: { parse: (t) => oneOf(t, ['slice', 'sphere']), format: String },
  normal: { parse: direction, format: (v) => v.map(text).join(',') },
  up: { parse: direction, format: (v) => v.map(text).join(',') },
  samples: { parse: (t) => oneOf(t, SAMPLES), format: String },
  colorspace: { parse: (t) => oneOf(t, ['srgb', 'linear']), format: String },
};

// Whether the slice is turned away from the XY plane (the preview's
// --normal and --up); the sphere is never turned.
export function oriented(look) {
  return look.view === 'slice' && (look.normal.join() !== '0,0,1' || look.up.join() !== '0,1,0');
}

// What is wrong with the look as a whole, by field: {} when nothing.
export function crossCheck(look) {
  const errors = {};
  if (look.view === 'slice') {
    const [nx, ny, nz] = look.normal, [ux, uy, uz] = look.up;
    const cx = uy * nz - uz * ny, cy = uz * nx - ux * nz, cz = ux * ny - uy * nx;
    const size = Math.sqrt((nx * nx + ny * ny + nz * nz) * (ux * ux + uy * uy + uz * uz));
    if (!(Math.sqrt(cx * cx + cy * cy + cz * cz) > 1e-9 * size)) errors.up = 'must not be parallel to the normal';
  }
  return errors;
}

// Advice on values the shader takes but that show little: none stops a render.
export function advice(look) {
  const out = {};
  if (!(look.gain > 0)) out.gain = `a gain of ${text(look.gain)} cuts every value above ${text(look.gain)}: transparent holes`;
  if (look.metric === 1 && look.weights.some((w) => w < 0)) {
    out.weights = 'negative Euclidian weights make NaN distances (drawn magenta)';
  }
  return out;
}

// The URL hash: every option, the preview's names, '&' between entries.
export function toHash(look) {
  const parts = Object.keys(FIELDS).map((name) => `${name}=${FIELDS[name].format(look[name])}`);
  if (look.show === 't') parts.push('raw');
  else if (look.show !== 'color') parts.push(`pass=${look.show}`);
  return parts.join('&');
}

// The look of a hash (entries not named keep `base`'s values), and a note
// for every entry that was ignored.
export function fromHash(hash, base = DEFAULTS) {
  const look = copyLook(base);
  const ignored = [];
  let show = 'color';
  for (const entry of hash.replace(/^#/, '').split('&')) {
    if (entry === '') continue;
    const eq = entry.indexOf('=');
    let name = eq < 0 ? entry : entry.slice(0, eq), value = eq < 0 ? null : entry.slice(eq + 1);
    try {
      name = decodeURIComponent(name);
      if (value !== null) value = decodeURIComponent(value);
    } catch (e) {
      ignored.push(`${entry} (not readable)`);
      continue;
    }
    if (name === 'raw' && (value === null || value === '1')) {
      show = 't';
    } else if (name === 'pass' && PASSES.includes(value)) {
      show = value;
    } else if (name === 'pass') {
      ignored.push(`${entry} (expected ${PASSES.join(', ')})`);
    } else if (Object.hasOwn(FIELDS, name) && value !== null) {
      try {
        look[name] = FIELDS[name].parse(value);
      } catch (e) {
        ignored.push(`${entry} (${name} ${e.message})`);
      }
    } else {
      ignored.push(`${entry} (unknown)`);
    }
  }
  look.show = show;
  if (crossCheck(look).up) {
    ignored.push(`normal=${FIELDS.normal.format(look.normal)} and up=${FIELDS.up.format(look.up)} (parallel)`);
    const fallback = crossCheck({ ...look, normal: base.normal, up: base.up }).up ? DEFAULTS : base;
    look.normal = [...fallback.normal];
    look.up = [...fallback.up];
  }
  return { look, ignored };
}

// The params file that cellular-preview --params reads and renders to the
// same picture (with -o NAME.png): every option written out, so that it
// holds whatever the preview's defaults.
export function toParams(look) {
  const lines = ['# cellular-preview options from the playground (read back with --params)'];
  const option = (name) => lines.push(`--${name} ${FIELDS[name].format(look[name])}`);
  ['metric', 'weights', 'octaves', 'gain'].forEach(option);
  if (look.show === 't') {
    lines.push('--raw');
  } else {
    option('color1');
    option('color2');
    if (look.show === 'color') option('colorspace');
  }
  ['size', 'center', 'scale', 'depth', 'view'].forEach(option);
  if (oriented(look)) ['normal', 'up'].forEach(option);
  option('samples');
  if (PASSES.includes(look.show)) lines.push(`--pass ${look.show}`);
  return lines.join('\n') + '\n';
}

// cellular-preview options the page has no use for, with how many values
// each takes: skipped, and named in a note.
const SKIPPED = {
  '--sheet': 1, '--sweep': 1, '--cell': 1, '--ramp': 1, '--frames': 1, '-o': 1, '--output': 1,
  '--save-params': 1, '--threads': 1, '--background': 1, '--probe': 1, '--points': 1, '--compare': 2,
  '--library': 1, '--params': 1, '--quiet': 0, '--help': 0, '-h': 0, '--version': 0, '--straight-alpha': 0,
  '--passes': 0,
};

// The words of a params file as cellular-preview reads them: one option per
// line, # starts a comment, a value may be quoted to hold spaces.
function words(fileText) {
  const out = [];
  fileText.replace(/^\uFEFF/, '').split('\n').forEach((raw, index) => {
    const line = raw.replace(/\r$/, '');
    let word = '', inWord = false, quoted = false;
    for (let k = 0; k <= line.length; ++k) {
      const c = k < line.length ? line[k] : '\n';
      if (quoted) {
        if (c === '"') quoted = false;
        else if (c === '\n') throw new Error(`line ${index + 1}: unterminated quote`);
        else word += c;
      } else if (c === '"') {
        quoted = inWord = true;
      } else if (c === '#' || c === '\n' || /\s/.test(c)) {
        if (inWord) out.push({ word, line: index + 1 });
        word = '';
        inWord = false;
        if (c === '#') break;
      } else {
        word += c;
        inWord = true;
      }
    }
  });
  return out;
}

// The look of a params file, over the defaults as the preview starts from
// them; notes for what was skipped. Throws on a value the preview would
// refuse too (naming the line).
export function fromParams(fileText) {
  const look = copyLook(DEFAULTS);
  const skipped = [];
  const tokens = words(fileText);
  let colorsGiven = false, raw = false;
  for (let i = 0; i < tokens.length; ++i) {
    let { word: arg, line } = tokens[i];
    let value = null;
    if (arg.startsWith('--') && arg.includes('=')) {
      value = arg.slice(arg.indexOf('=') + 1);
      arg = arg.slice(0, arg.indexOf('='));
    }
    const take = () => {
      if (value !== null) return value;
      if (i + 1 >= tokens.length) throw new Error(`line ${line}: option ${arg} needs a value`);
      return tokens[++i].word;
    };
    const name = arg.replace(/^--/, '');
    if (arg === '--raw') {
      raw = true;
    } else if (arg === '--pass') {
      const v = take();
      if (!PASSES.includes(v)) {
        skipped.push(`--pass ${v} (the page shows ${PASSES.join(', ')})`);
        continue;
      }
      look.show = v;
    } else if (arg.startsWith('--') && Object.hasOwn(FIELDS, name)) {
      const v = take();
      if ((name === 'depth' || name === 'scale') && v.includes(':')) {
        skipped.push(`--${name} ${v} (a range, for --frames)`);
        continue;
      }
      try {
        look[name] = FIELDS[name].parse(v);
      } catch (e) {
        throw new Error(`line ${line}: option ${arg}: ${e.message}`);
      }
      if (name === 'color1' || name === 'color2') colorsGiven = true;
    } else if (Object.hasOwn(SKIPPED, arg)) {
      const values = [];
      for (let k = 0; k < SKIPPED[arg]; ++k) values.push(take());
      skipped.push([arg, ...values].join(' '));
    } else {
      throw new Error(`line ${line}: unknown option '${arg}'`);
    }
  }
  if (raw && colorsGiven) throw new Error('--raw sets the colours: the file gives --color1 or --color2 too');
  if (raw) look.show = 't';
  if (look.view === 'sphere' && (look.normal.join() !== '0,0,1' || look.up.join() !== '0,1,0')) {
    throw new Error('--normal and --up orient a slice, not the sphere');
  }
  const errors = crossCheck(look);
  if (errors.up) throw new Error(`--up ${errors.up}`);
  return { look, skipped };
}

// The module's settings block for the look, at a frame size and sample count.
export function settings(look, width, height, samples) {
  const s = {
    metric: look.metric, octaves: look.octaves, gain: look.gain,
    width, height, scale: look.scale, depth: look.depth, samples,
    view: look.view === 'sphere' ? 1 : 0,
    oriented: oriented(look) ? 1 : 0,
    show: SHOWS.indexOf(look.show),
    colorspace: look.colorspace === 'linear' ? 1 : 0,
  };
  ['X', 'Y', 'Z'].forEach((axis, i) => {
    s[`weight${axis}`] = look.weights[i];
    s[`normal${axis}`] = look.normal[i];
    s[`up${axis}`] = look.up[i];
  });
  ['R', 'G', 'B', 'A'].forEach((channel, i) => {
    s[`color1${channel}`] = look.color1[i];
    s[`color2${channel}`] = look.color2[i];
  });
  s.centerX = look.center[0];
  s.centerY = look.center[1];
  return Float64Array.from(SETTINGS, (name) => s[name]);
}
