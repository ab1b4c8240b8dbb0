// A Web Worker of the playground: one instance of the module, fed bands of
// rows by the page (js/playground.js) one at a time.
//
// Messages in:  {type: 'init', module: WebAssembly.Module}
//               {type: 'band', frame, stage, settings, width, y0, y1, pass}
// Messages out: {type: 'ready', kernel} | {type: 'error', message}
//               {type: 'band', frame, stage, y0, y1, ms, rgba, nan} (colour, t)
//               {type: 'band', frame, stage, y0, y1, ms, f1, f2, id} (a pass)

import { Playground } from './module.js';

let playground = null;

self.onmessage = async (event) => {
  const m = event.data;
  try {
    if (m.type === 'init') {
      playground = await Playground.create(m.module);
      self.postMessage({ type: 'ready', kernel: playground.kernel() });
      return;
    }
    const started = performance.now();
    playground.settings = m.settings;
    const head = { type: 'band', frame: m.frame, stage: m.stage, y0: m.y0, y1: m.y1 };
    if (m.pass) {
      const r = playground.passRows(m.y0, m.y1, m.width);
      self.postMessage({ ...head, ms: performance.now() - started, ...r }, [r.f1.buffer, r.f2.buffer, r.id.buffer]);
    } else {
      const r = playground.rows(m.y0, m.y1, m.width);
      self.postMessage({ ...head, ms: performance.now() - started, ...r }, [r.rgba.buffer]);
    }
  } catch (e) {
    self.postMessage({ type: 'error', message: e && e.message ? e.message : String(e) });
  }
};
