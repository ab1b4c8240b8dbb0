// The module's texture alone under node, without the page's own work
// (forming points from the view, averaging, encoding): nanoseconds a sample
// of Playground.shade on the points of bench/playground_speed.py's image,
// fastest of 15 calls, octaves 0 and 5.
//
//   node bench/playground_module_speed.mjs build-wasm/site/tulo_playground.wasm

import fs from 'node:fs';
import { compile, Playground, SETTINGS } from '../web/js/module.js';

const SIZE = 512;
const playground = await Playground.create(await compile(fs.readFileSync(process.argv[2])));
const points = new Float32Array(SIZE * SIZE * 3);
for (let j = 0, k = 0; j < SIZE; ++j) {
  for (let i = 0; i < SIZE; ++i) {
    points[k++] = Math.fround(((i + 0.5) / SIZE - 0.5) * 20);
    points[k++] = Math.fround((0.5 - (j + 0.5) / SIZE) * 20);
    points[k++] = 0;
  }
}
for (const octaves of [0, 5]) {
  const look = {
    metric: 1, weightX: 1, weightY: 1, weightZ: 1, octaves, gain: 0.5,
    color1R: 0.95, color1G: 0.85, color1B: 0.55, color1A: 1, color2R: 0.08, color2G: 0.12, color2B: 0.22, color2A: 1,
    width: SIZE, height: SIZE, centerX: 0, centerY: 0, scale: 20, depth: 0, view: 0,
    normalX: 0, normalY: 0, normalZ: 1, upX: 0, upY: 1, upZ: 0, oriented: 0, samples: 1, show: 0, colorspace: 0,
  };
  playground.settings = SETTINGS.map((name) => look[name]);
  let best = Infinity;
  for (let r = 0; r < 15; ++r) {
    const start = performance.now();
    playground.shade(points);
    best = Math.min(best, performance.now() - start);
  }
  console.log(`module under node, texture alone, octaves ${octaves}: ${((best * 1e6) / SIZE / SIZE).toFixed(0)} ns a sample`);
}
