"""Timings of the Python module (medians of repeated calls, in one process):
basis for a million random float32 points with 1 and 2 threads, an image
slice, ids and offsets against the distances alone, the texture with
octaves, and the overhead of a one-point call.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py

TULO_CELLULAR_MAX_ISA (portable, avx2, avx512) caps the kernel, as for the library.
"""

import statistics
import time

import numpy as np

import tulo_cellular as tc


def call_seconds(call, repeat):
    """The times of `repeat` calls, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def median_seconds(call, repeat):
    return statistics.median(call_seconds(call, repeat))


def least_seconds(call, repeat):
    """The fastest of repeated calls: for ratios on a noisy machine."""
    return min(call_seconds(call, repeat))


def main():
    print(f"tulo_cellular {tc.__version__}, kernel {tc.info()['kernel']}, {tc.info()['threads']} threads available")
    rng = np.random.default_rng(1)
    million = ((rng.random((1_000_000, 3)) * 2 - 1) * 100).astype(np.float32)
    slice_ = tc.grid((1000, 1000), origin=(-25, -25, 0.37), spacing=0.05)
    for metric in (1, 2, 3):
        for threads in (1, 2):
            s = median_seconds(lambda: tc.basis(million, metric=metric, threads=threads), 15)
            print(f"basis, 1e6 random points, metric {metric}, {threads} thread(s): {s * 1e3:7.2f} ms")
    s = median_seconds(lambda: tc.basis(slice_, threads=2), 15)
    print(f"basis, 1000x1000 image slice, metric 1, 2 threads:   {s * 1e3:7.2f} ms")
    big_slice = tc.grid((2048, 2048, 1), spacing=0.02)
    for name, points in (("2048x2048 slice", big_slice), ("1e6 random points", million)):
        alone = least_seconds(lambda: tc.basis(points, threads=1), 15)
        for what in ("ids", "offsets"):
            s = least_seconds(lambda: tc.basis(points, threads=1, **{what: True}), 15)
            print(f"basis, {name}, {what}, 1 thread (fastest of 15): {s * 1e3:7.2f} ms, {s / alone:.2f}x the distances alone")
    s = median_seconds(lambda: tc.texture(million, octaves=5, threads=2), 5)
    print(f"texture, 1e6 random points, octaves 5, 2 threads:    {s * 1e3:7.2f} ms")
    one = np.zeros((1, 3), np.float32)
    for _ in range(1000):
        tc.basis(one)
    n = 20000
    s = median_seconds(lambda: [tc.basis(one) for _ in range(n)], 5) / n
    print(f"one-point basis call: {s * 1e6:.2f} us")


if __name__ == "__main__":
    main()
