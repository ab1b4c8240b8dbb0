"""Timings of bakes against their two limits, the computation and the disk
(minimums of repeated runs, each in a fresh store that is deleted after it):

    PYTHONPATH=build/python /usr/bin/python3 bench/bake_bench.py DIR [--size N] [--repeat R] [what ...]

what (default all but cluster):
  compute       basis (n=2) over the grid's points, already in memory
  disk          the bake's bytes (F1 and F2: 8 per point) written to a file in DIR, then flushed
  bake          cellular-bake's work with local threads (default threads)
  bake:T        the same with T local threads (the library's threads per task: cores // T)
  cluster       the same on a LocalCluster of two worker processes of one thread each
DIR must be on the disk to measure; it needs room for one store (8 N^3 bytes).
Each line gives the least wall-clock time and the least CPU time of this
process (all its threads; a cluster's workers are other processes).
"""

import argparse
import logging
import os
import shutil
import sys
import time

import numpy as np

import tulo_cellular as tc


def timed(call, repeat):
    """The least wall-clock and the least CPU seconds (this process's threads) of `repeat` calls."""
    best, cpu = float("inf"), float("inf")
    for _ in range(repeat):
        start, used = time.perf_counter(), time.process_time()
        call()
        best = min(best, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - used)
    return best, cpu


def main():
    p = argparse.ArgumentParser()
    p.add_argument("dir")
    p.add_argument("--size", type=int, default=512)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--chunks", type=int, default=None, help="chunk side (default the bake's)")
    p.add_argument("--metric", type=int, default=1, help="the look's metric, for basis and the bake (default 1)")
    p.add_argument("what", nargs="*", default=["compute", "disk", "bake"])
    a = p.parse_intermixed_args()
    shape = (a.size,) * 3
    count = a.size ** 3
    chunks = None if a.chunks is None else (a.chunks,) * 3
    store = os.path.join(a.dir, "bench.zarr")
    print(f"tulo_cellular {tc.__version__}, kernel {tc.info()['kernel']}, {len(os.sched_getaffinity(0))} cores; "
          f"{a.size}^3 = {count / 1e6:.1f} M points, F1 and F2 ({8 * count / 2**30:.2f} GiB), metric {a.metric}; "
          f"minimum of {a.repeat}")

    def report(name, seconds):
        wall, cpu = seconds
        print(f"{name:28s} {wall:8.2f} s  {count / wall / 1e6:7.1f} M points/s  {8 * count / wall / 1e6:7.0f} MB/s  "
              f"CPU {cpu:6.2f} s", flush=True)

    def bake(**kw):
        shutil.rmtree(store, ignore_errors=True)
        try:
            tc.bake(store, shape, passes="F1,F2", chunks=chunks, metric=a.metric, quiet=True, **kw)
        finally:
            shutil.rmtree(store, ignore_errors=True)

    for what in a.what:
        if what == "compute":
            points = tc.grid(shape)
            report("basis in memory", timed(lambda: tc.basis(points, metric=a.metric), a.repeat))
            del points
        elif what == "disk":
            block = np.random.default_rng(1).random(1 << 20).astype(np.float32).tobytes()  # 4 MiB
            path = os.path.join(a.dir, "bench.bytes")

            def write():
                with open(path, "wb") as f:
                    for _ in range(8 * count // len(block)):
                        f.write(block)
                    f.flush()
                    os.fsync(f.fileno())
                os.remove(path)

            report("write the bytes", timed(write, a.repeat))
        elif what.startswith("bake"):
            threads = int(what.split(":")[1]) if ":" in what else None
            report(what, timed(lambda: bake(threads=threads), a.repeat))
        elif what == "cluster":
            from distributed import Client, LocalCluster

            with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
                              silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
                report("cluster (2 processes)", timed(lambda: bake(client=client), a.repeat))
        else:
            sys.exit(f"unknown: {what}")


if __name__ == "__main__":
    main()
