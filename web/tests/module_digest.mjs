// The module under node: the digest of a fixed grid of samples equals the
// native library's (shader/determinism_test.cpp: FNV-1a 64 over the result
// colours of 48 x 48 samples over [-30, 30)^2 at z = 1.3, weights
// (1.25, 0.75, 1), three octaves, gain 0.7).
//
//   node web/tests/module_digest.mjs build-wasm/site/tulo_playground.wasm

import fs from 'node:fs';
import { compile, Playground, SETTINGS } from '../js/module.js';

// Metrics 1-3: the digests of every platform. Metrics 4 and 5: glibc's,
// which the module's powf (musl's) matches on this grid; see the README for
// how rarely the two powf differ.
const EXPECTED = {
  1: 0xd3d8306e2c6f287en,
  2: 0xd4c8bcca065753cdn,
  3: 0x656b02d6a5ec6163n,
  4: 0xb6c3e552a4f3cc33n,
  5: 0xf899e18f25466ca4n,
};

const playground = await Playground.create(await compile(fs.readFileSync(process.argv[2])));

const points = new Float32Array(48 * 48 * 3);
for (let j = 0, k = 0; j < 48; ++j) {
  for (let i = 0; i < 48; ++i) {
    points[k++] = Math.fround(-30 + Math.fround(1.25 * i));
    points[k++] = Math.fround(-30 + Math.fround(1.25 * j));
    points[k++] = Math.fround(1.3);
  }
}

let failures = 0;
for (const [metric, expected] of Object.entries(EXPECTED)) {
  const look = {
    metric: Number(metric), weightX: 1.25, weightY: 0.75, weightZ: 1, octaves: 3, gain: 0.7,
    color1R: 1, color1G: 0.75, color1B: 0.25, color1A: 0.5, color2R: 0.125, color2G: 0.25, color2B: 0.625, color2A: 0.75,
    width: 1, height: 1, centerX: 0, centerY: 0, scale: 1, depth: 0, view: 0,
    normalX: 0, normalY: 0, normalZ: 1, upX: 0, upY: 1, upZ: 0, oriented: 0, samples: 1, show: 0, colorspace: 0,
  };
  playground.settings = SETTINGS.map((name) => look[name]);
  let h = 0xcbf29ce484222325n;
  for (const byte of new Uint8Array(playground.shade(points).buffer)) {
    h = ((h ^ BigInt(byte)) * 0x100000001b3n) & 0xffffffffffffffffn;
  }
  const ok = h === expected;
  failures += ok ? 0 : 1;
  console.log(`metric ${metric}: digest 0x${h.toString(16).padStart(16, '0')}${ok ? '' : ` (expected 0x${expected.toString(16)})`}`);
}
console.log(`kernel ${playground.kernel()}`);
process.exit(failures === 0 ? 0 : 1);
