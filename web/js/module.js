// The playground's WebAssembly module (web/module.cpp) for JavaScript: its
// instantiation, with the few system calls it may make answered here, and
// its C functions wrapped. Used by the page's workers, by the page itself
// (probes, pass pictures) and by the tests under node; nothing here touches
// the DOM or fetches anything.

// The settings block, in the order of enum Setting in web/module.cpp.
export const SETTINGS = [
  'metric', 'weightX', 'weightY', 'weightZ', 'octaves', 'gain',
  'color1R', 'color1G', 'color1B', 'color1A', 'color2R', 'color2G', 'color2B', 'color2A',
  'width', 'height', 'centerX', 'centerY', 'scale', 'depth', 'view',
  'normalX', 'normalY', 'normalZ', 'upX', 'upY', 'upZ', 'oriented',
  'samples', 'show', 'colorspace',
];

// What the frame shows, numbered as enum Show in web/module.cpp.
export const SHOWS = ['color', 't', 'F1', 'F2', 'F2-F1', 'id'];

// A tiny module that only validates where WebAssembly SIMD is supported:
// one function returning i8x16.splat(i32.const 0).
const SIMD_PROBE = new Uint8Array([
  0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, // magic, version
  0x01, 0x05, 0x01, 0x60, 0x00, 0x01, 0x7b,       // type: () -> v128
  0x03, 0x02, 0x01, 0x00,                         // one function of that type
  0x0a, 0x08, 0x01, 0x06, 0x00, 0x41, 0x00, 0xfd, 0x0f, 0x0b, // i32.const 0; i8x16.splat; end
]);

// '' when this engine can run the module, else what it lacks.
export function missingSupport() {
  if (typeof WebAssembly !== 'object') return 'WebAssembly';
  try {
    if (!WebAssembly.validate(SIMD_PROBE)) return 'WebAssembly SIMD';
  } catch (e) {
    return 'WebAssembly SIMD';
  }
  return '';
}

// Compiles the module from its bytes or from a fetch() response.
export async function compile(source) {
  if (typeof Response !== 'undefined' && source instanceof Response) {
    if (!source.ok) throw new Error(`the module could not be loaded: HTTP ${source.status}`);
    // Streaming compilation needs the server to say application/wasm.
    if ((source.headers.get('Content-Type') || '').startsWith('application/wasm')) {
      return WebAssembly.compileStreaming(source);
    }
    return WebAssembly.compile(await source.arrayBuffer());
  }
  return WebAssembly.compile(source);
}

// The module's imports: it reads no environment, writes only to standard
// error (never in normal use: forwarded to the console as an error) and
// never exits.
function imports(memoryOf) {
  const ENOSYS = 52;
  let line = '';
  return {
    env: { emscripten_notify_memory_growth() {} },
    wasi_snapshot_preview1: {
      environ_sizes_get(countAt, sizeAt) {
        const view = new DataView(memoryOf().buffer);
        view.setUint32(countAt, 0, true);
        view.setUint32(sizeAt, 0, true);
        return 0;
      },
      environ_get() { return 0; },
      fd_write(fd, iovs, iovsLength, writtenAt) {
        const memory = memoryOf().buffer;
        const view = new DataView(memory);
        let written = 0;
        for (let i = 0; i < iovsLength; ++i) {
          const at = view.getUint32(iovs + 8 * i, true), length = view.getUint32(iovs + 8 * i + 4, true);
          line += new TextDecoder().decode(new Uint8Array(memory, at, length));
          written += length;
        }
        for (let end = line.indexOf('\n'); end >= 0; end = line.indexOf('\n')) {
          console.error(`tulo_playground (fd ${fd}): ${line.slice(0, end)}`);
          line = line.slice(end + 1);
        }
        view.setUint32(writtenAt, written, true);
        return 0;
      },
      fd_close() { return ENOSYS; },
      fd_seek() { return ENOSYS; },
      proc_exit(code) { throw new Error(`tulo_playground exited with code ${code}`); },
    },
  };
}

// One instance of the module with its C functions as methods. Arrays handed
// back are copies, safe to keep or transfer.
export class Playground {
  static async create(compiled) {
    let instance = null;
    instance = await WebAssembly.instantiate(compiled, imports(() => instance.exports.memory));
    return new Playground(instance);
  }

  constructor(instance) {
    this.exports = instance.exports;
    this.exports._initialize();
    const count = this.exports.tulo_playground_setting_count();
    if (count !== SETTINGS.length) {
      throw new Error(`the module has ${count} settings, this page ${SETTINGS.length}: page and module do not match`);
    }
  }

  get memory() { return this.exports.memory.buffer; }

  text(at) {
    const bytes = new Uint8Array(this.memory, at);
    return new TextDecoder().decode(bytes.subarray(0, bytes.indexOf(0)));
  }

  // Writes the settings block from an array of SETTINGS.length numbers.
  set settings(values) {
    new Float64Array(this.memory, this.exports.tulo_playground_settings(), SETTINGS.length).set(values);
  }

  kernel() { return this.text(this.exports.tulo_playground_kernel()); }

  // Rows [y0, y1) as 8-bit RGBA, and how many samples were NaN.
  rows(y0, y1, width) {
    const at = this.exports.tulo_playground_rows(y0, y1);
    if (at === 0) throw new Error('the module refused the settings');
    return {
      rgba: new Uint8ClampedArray(this.memory.slice(at, at + width * (y1 - y0) * 4)),
      nan: this.exports.tulo_playground_nan_samples(),
    };
  }

  // Rows [y0, y1) as the linear float RGBA pixels that rows() encodes.
  pixels(y0, y1, width) {
    const at = this.exports.tulo_playground_pixels(y0, y1);
    if (at === 0) throw new Error('the module refused the settings');
    return new Float32Array(this.memory.slice(at, at + 16 * width * (y1 - y0)));
  }

  // Rows [y0, y1) of a basis pass: F1, F2 and the id at each pixel.
  passRows(y0, y1, width) {
    const at = this.exports.tulo_playground_pass_rows(y0, y1);
    if (at === 0) throw new Error('the module refused the settings');
    const n = width * (y1 - y0);
    return {
      f1: new Float32Array(this.memory.slice(at, at + 4 * n)),
      f2: new Float32Array(this.memory.slice(at + 4 * n, at + 8 * n)),
      id: new Uint32Array(this.memory.slice(at + 8 * n, at + 12 * n)),
    };
  }

  // The whole frame's pass picture from its values, as 8-bit RGBA.
  passPicture(f1, f2, id) {
    const n = f1.length;
    const at = this.exports.tulo_playground_input(12 * n);
    new Float32Array(this.memory, at, n).set(f1);
    new Float32Array(this.memory, at + 4 * n, n).set(f2);
    new Uint32Array(this.memory, at + 8 * n, n).set(id);
    const out = this.exports.tulo_playground_pass_picture();
    if (out === 0) throw new Error('the module refused the settings');
    return new Uint8ClampedArray(this.memory.slice(out, out + 4 * n));
  }

  // cellular-preview --probe's line for the frame's point at (fx, fy)
  // pixels from the top left; '' off the sphere.
  probe(fx, fy) { return this.text(this.exports.tulo_playground_probe(fx, fy)); }

  // The plugin's r, g, b, a at points (x, y, z a point, a Float32Array).
  shade(points) {
    const count = points.length / 3;
    const at = this.exports.tulo_playground_input(points.byteLength);
    new Float32Array(this.memory, at, points.length).set(points);
    const out = this.exports.tulo_playground_shade(count);
    if (out === 0) throw new Error('the module refused the settings');
    return new Float32Array(this.memory.slice(out, out + 16 * count));
  }
}
