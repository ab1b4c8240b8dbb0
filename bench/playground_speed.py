"""The playground's speed in headless Chromium, and the native portable
kernel's on the same image.

    TULO_CELLULAR_MAX_ISA=portable PYTHONPATH=build/python /usr/bin/python3 bench/playground_speed.py

For 512 x 512 Euclidian slices (unit weights, gain 0.5), octaves 0 and 5:
- frame times with two workers (the full frame, after its quarter-resolution
  one), over frames at alternating depths 0 and 0.001;
- a worker's time per sample with one worker, against the native library's
  texture for arrays (the module's path) on one thread for the same points,
  with the kernel TULO_CELLULAR_MAX_ISA caps it to (portable: the portable
  kernel the module runs), and the module's texture alone under node
  (bench/playground_module_speed.mjs), without the page's own work;
- the time to the first full frame after a fresh load (a new browser
  profile each time: nothing cached), with the module's compile and the
  workers' start.
Each figure is the minimum of the repeats: the machine is shared and noisy.
Needs the wasm build (cmake --workflow --preset wasm) and build/python.
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "web", "tests"))

from chromium import Browser, start_site  # noqa: E402

SIZE = 512
LOOK = "metric=1&weights=1,1,1&gain=0.5&size=512x512&center=0,0&scale=20&view=slice&samples=1"


def page_frames(browser, url, octaves, repeats):
    """Minimum full-frame time and worker time per sample over `repeats` frames."""
    browser.driver.get(f"{url}#{LOOK}&octaves={octaves}&depth=0")
    browser.wait_state(("done",), timeout=300)
    best_frame = best_sample = float("inf")
    for i in range(repeats):
        browser.show(f"{LOOK}&octaves={octaves}&depth={'0.001' if i % 2 == 0 else '0'}")
        t = browser.driver.execute_script("return window.tuloPlayground.timing()")
        best_frame = min(best_frame, t["lastFrameMs"])
        best_sample = min(best_sample, t["workerMsPerSample"] * 1e6)
    return best_frame, best_sample


def native_per_sample(octaves, repeats):
    """Nanoseconds per sample of the native texture for arrays on one thread,
    on the points of the same image (pixel centres, as the page forms them)."""
    import tulo_cellular as tc
    i = np.arange(SIZE) + 0.5
    x = ((i / SIZE - 0.5) * 20.0).astype(np.float32)
    y = ((0.5 - i / SIZE) * 20.0 * SIZE / SIZE).astype(np.float32)
    points = np.zeros((SIZE, SIZE, 3), np.float32)
    points[..., 0] = x[None, :]
    points[..., 1] = y[:, None]
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        tc.texture(points, metric=1, weights=(1, 1, 1), octaves=octaves, gain=0.5, color1=(0.95, 0.85, 0.55, 1),
                   color2=(0.08, 0.12, 0.22, 1), threads=1)
        best = min(best, time.perf_counter() - start)
    return best * 1e9 / SIZE / SIZE, tc.info()["kernel"]


def main():
    parser = argparse.ArgumentParser(description="The playground's speed in headless Chromium")
    parser.add_argument("--repeats", type=int, default=10)
    parser.add_argument("--loads", type=int, default=5)
    parser.add_argument("--site", default=os.path.join(ROOT, "build-wasm", "site"))
    args = parser.parse_args()
    server, url = start_site(args.site)
    try:
        for workers in (2, 1):
            browser = Browser()
            try:
                for octaves in (0, 5):
                    frame, sample = page_frames(browser, f"{url}?workers={workers}", octaves, args.repeats)
                    print(f"page, {workers} worker(s), octaves {octaves}: frame {frame:.1f} ms, "
                          f"{sample:.0f} ns a sample in a worker", flush=True)
            finally:
                browser.close()
        for octaves in (0, 5):
            ns, kernel = native_per_sample(octaves, args.repeats)
            print(f"native texture for arrays, kernel {kernel}, one thread, octaves {octaves}: {ns:.0f} ns a sample",
                  flush=True)
        subprocess.run(["node", os.path.join(ROOT, "bench", "playground_module_speed.mjs"),
                        os.path.join(args.site, "tulo_playground.wasm")], check=True)
        first = []
        for _ in range(args.loads):
            browser = Browser()
            try:
                browser.driver.get(f"{url}#{LOOK}&octaves=0&depth=0")
                browser.wait_state(("done",), timeout=300)
                first.append(browser.driver.execute_script("return window.tuloPlayground.timing()"))
            finally:
                browser.close()
        best = min(first, key=lambda t: t["firstFrame"])
        print(f"first frame after a fresh load: {best['firstFrame']:.0f} ms (module compiled at {best['compiled']:.0f} ms,"
              f" {best['workers']} workers ready at {best['ready']:.0f} ms); of {args.loads} loads,"
              f" {min(t['firstFrame'] for t in first):.0f}-{max(t['firstFrame'] for t in first):.0f} ms")
    finally:
        server.shutdown()


if __name__ == "__main__":
    main()
