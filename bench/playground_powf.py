"""How often the playground's WebAssembly module and the native library
differ for metrics 4 and 5, which go through the C library's powf (musl's
in the module, glibc's natively): the value t at many random points, its
difference in units in the last place, and the 8-bit bytes the page and the
preview would write for it (the value as grey, linear, and the default
colours, sRGB).

    PYTHONPATH=build/python /usr/bin/python3 bench/playground_powf.py [--points N]

Needs the native build (build/python) and the wasm build
(build-wasm/site/tulo_playground.wasm, cmake --workflow --preset wasm).
"""

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
import tulo_cellular as tc

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The module's t at the points of a float32 file (x, y, z each), as float32:
# r of white over black is t itself (web/js/module.js does the rest).
NODE_SCRIPT = r"""
import fs from 'node:fs';
import { compile, Playground, SETTINGS } from '%(module_js)s';
const [wasm, pointsFile, outFile, metric, wx, wy, wz, octaves, gain] = process.argv.slice(2);
const p = await Playground.create(await compile(fs.readFileSync(wasm)));
const s = { metric: +metric, weightX: +wx, weightY: +wy, weightZ: +wz, octaves: +octaves, gain: +gain,
  color1R: 1, color1G: 1, color1B: 1, color1A: 1, color2R: 0, color2G: 0, color2B: 0, color2A: 1,
  width: 1, height: 1, centerX: 0, centerY: 0, scale: 1, depth: 0, view: 0,
  normalX: 0, normalY: 0, normalZ: 1, upX: 0, upY: 1, upZ: 0, oriented: 0, samples: 1, show: 0, colorspace: 0 };
p.settings = SETTINGS.map((n) => s[n]);
const buffer = fs.readFileSync(pointsFile);
const points = new Float32Array(buffer.buffer, buffer.byteOffset, buffer.byteLength / 4);
const n = points.length / 3, t = new Float32Array(n), chunk = 1 << 16;
for (let i = 0; i < n; i += chunk) {
  const rgba = p.shade(points.subarray(3 * i, 3 * Math.min(n, i + chunk)));
  for (let j = 0; j < rgba.length / 4; ++j) t[i + j] = rgba[4 * j];
}
fs.writeFileSync(outFile, new Uint8Array(t.buffer));
"""

CONFIGS = [
    (4, (0.01, 0.01, 0.01)), (4, (1.0, 1.0, 1.0)), (4, (0.3, -0.7, 1.9)),
    (5, (0.5, 0.5, 0.5)), (5, (2.0, 1.0, 3.0)), (5, (0.3, 2.7, 1.6)), (5, (1.7, 0.45, 3.3)),
]
GAIN = 0.5
COLOR1 = np.array([0.95, 0.85, 0.55], np.float32)  # the preview's default colours
COLOR2 = np.array([0.08, 0.12, 0.22], np.float32)


def srgb_bytes(c):
    """The preview's encoding (tools/preview/pixel_encoding.cpp) in float32."""
    c = np.clip(c, np.float32(0), np.float32(1)).astype(np.float32)
    e = np.where(c <= np.float32(0.0031308), np.float32(12.92) * c,
                 np.float32(1.055) * np.power(c, np.float32(1 / 2.4), dtype=np.float32) - np.float32(0.055))
    return np.floor(e.astype(np.float32) * np.float32(255) + 0.5).astype(np.int32)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=1 << 22)
    parser.add_argument("--wasm", default=os.path.join(ROOT, "build-wasm/site/tulo_playground.wasm"))
    args = parser.parse_args()
    rng = np.random.default_rng(29)
    points = rng.uniform(-40, 40, size=(args.points, 3)).astype(np.float32)
    total = differing = 0
    with tempfile.TemporaryDirectory() as tmp:
        points_file, out_file, script = (os.path.join(tmp, n) for n in ("points.f32", "t.f32", "t.mjs"))
        points.tofile(points_file)
        with open(script, "w") as f:
            f.write(NODE_SCRIPT % {"module_js": os.path.join(ROOT, "web/js/module.js")})
        print("metric weights octaves: points, t differing (largest ULPs), grey bytes differing, colour bytes differing")
        for metric, weights in CONFIGS:
            for octaves in (0, 5):
                subprocess.run(["node", script, args.wasm, points_file, out_file, str(metric), *map(str, weights),
                                str(octaves), str(GAIN)], check=True)
                wasm = np.fromfile(out_file, np.float32)
                native = tc.value(points, metric=metric, weights=weights, octaves=octaves, gain=GAIN)
                a, b = wasm.view(np.int32), native.view(np.int32)
                diff = a != b
                ulps = np.abs(a[diff].astype(np.int64) - b[diff].astype(np.int64))
                grey = np.floor(np.clip(wasm, 0, 1) * np.float32(255) + 0.5) != np.floor(np.clip(native, 0, 1) * np.float32(255) + 0.5)
                def colour(t):
                    s = (np.float32(1) - t).astype(np.float32)
                    return srgb_bytes((COLOR2[None, :] * s[:, None] + COLOR1[None, :] * t[:, None]).astype(np.float32))
                colour_diff = np.any(colour(wasm[diff]) != colour(native[diff]), axis=1) if diff.any() else np.zeros(0, bool)
                total += len(points)
                differing += int(diff.sum())
                print(f"{metric} {weights} {octaves}: {len(points)}, {int(diff.sum())} ({int(ulps.max()) if diff.any() else 0}),"
                      f" {int(grey.sum())}, {int(colour_diff.sum())}", flush=True)
    print(f"all: {differing} of {total} values differ")


if __name__ == "__main__":
    sys.exit(main())
