"""Shapes, memory layouts, dtypes, threads and the errors of the module."""

import os
import platform
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import tulo_cellular as tc
from conftest import random_points, same_bits

CHUNK = tc.info()["chunk"]


@pytest.mark.parametrize("count", [0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 3 * CHUNK + 2])
def test_same_bytes_for_any_thread_count_and_size(count):
    pts = random_points(count, seed=count).astype(np.float32)
    one = tc.basis(pts, threads=1)
    assert one.shape == (count, 2) and one.dtype == np.float32
    for threads in (0, None, 2, 7):
        assert same_bits(one, tc.basis(pts, threads=threads))
    rgba = tc.texture(pts, octaves=2, threads=1)
    assert same_bits(rgba, tc.texture(pts, octaves=2, threads=7))


def test_layouts_and_dtypes_give_the_float32_result():
    base = random_points(600, seed=3).astype(np.float32)
    expected = tc.basis(base)
    fortran = np.asfortranarray(base)
    readonly = base.copy()
    readonly.setflags(write=False)
    strided = np.repeat(base, 2, axis=0)[::2]
    # float32 at an odd byte offset: copied, never read as misaligned floats.
    unaligned = np.frombuffer(b"\0" + base.tobytes(), dtype=np.uint8)[1:].view(np.float32).reshape(-1, 3)
    assert not unaligned.flags.aligned
    for variant in (fortran, readonly, strided, unaligned, base.astype(np.float64), base.tolist()):
        assert same_bits(expected, tc.basis(variant))
    # float64 input is rounded to float32 first, exactly as numpy rounds it.
    wide = random_points(100, seed=4)
    assert same_bits(tc.basis(wide), tc.basis(wide.astype(np.float32)))
    ints = np.arange(30, dtype=np.int64).reshape(10, 3)
    assert same_bits(tc.basis(ints), tc.basis(ints.astype(np.float32)))


def test_leading_shapes_are_kept():
    pts = random_points(2 * 3 * 5, seed=5).astype(np.float32).reshape(2, 3, 5, 3)
    F, delta, ids = tc.basis(pts, n=3, offsets=True, ids=True)
    assert F.shape == (2, 3, 5, 3) and delta.shape == (2, 3, 5, 3, 3) and ids.shape == (2, 3, 5, 3)
    assert same_bits(F.reshape(-1, 3), tc.basis(pts.reshape(-1, 3), n=3))
    assert tc.texture(pts).shape == (2, 3, 5, 4) and tc.value(pts).shape == (2, 3, 5)
    assert tc.basis(np.zeros(3, np.float32)).shape == (2,)


RAGGED = [[1.0, 2.0, 3.0]] * 100_000 + [[1.0, 2.0]]


@pytest.mark.parametrize(
    "call,error,words",
    [
        (lambda: tc.basis(np.zeros((4, 2))), ValueError, "(4, 2)"),
        (lambda: tc.basis(np.float32(1.0)), ValueError, "()"),
        (lambda: tc.basis(np.zeros((2, 3), dtype=complex)), TypeError, "complex"),
        (lambda: tc.basis(np.array([[1, 2, None]], dtype=object)), TypeError, "object"),
        (lambda: tc.basis(RAGGED), ValueError, "inhomogeneous"),
        (lambda: tc.basis(np.broadcast_to(np.zeros(3, np.float32), (10**10, 3))), MemoryError, "allocate"),
        (lambda: tc.basis(np.zeros((2, 3)), metric="taxicab"), ValueError, "chebyshev"),
        (lambda: tc.basis(np.zeros((2, 3)), metric=6), ValueError, "superquadratic"),
        (lambda: tc.basis(np.zeros((2, 3)), metric=2**70), ValueError, "superquadratic"),
        (lambda: tc.basis(np.zeros((2, 3)), metric=2.0), TypeError, "metric"),
        (lambda: tc.basis(np.zeros((2, 3)), n=0), ValueError, "n must"),
        (lambda: tc.basis(np.zeros((2, 3)), n=tc.MAX_N + 1), ValueError, "1..135"),
        (lambda: tc.basis(np.zeros((2, 3)), n=True), TypeError, "n must"),
        (lambda: tc.basis(np.zeros((2, 3)), n=2.5), TypeError, "n must"),
        (lambda: tc.basis(np.zeros((2, 3)), offsets=1), TypeError, "offsets"),
        (lambda: tc.basis(np.zeros((2, 3)), threads=-1), ValueError, "threads"),
        (lambda: tc.basis(np.zeros((2, 3)), threads=257), ValueError, "1..256"),
        (lambda: tc.basis(np.zeros((2, 3)), threads=2**70), ValueError, "1..256"),
        (lambda: tc.basis(np.zeros((2, 3)), threads=True), TypeError, "threads"),
        (lambda: tc.basis(np.zeros((2, 3)), weights=(1, 2)), ValueError, "weights"),
        (lambda: tc.basis(np.zeros((2, 3)), weights=["1", "2", "3"]), TypeError, "weights"),
        (lambda: tc.basis(np.zeros((2, 3)), weights=(True, 1, 1)), TypeError, "weights"),
        (lambda: tc.basis(np.zeros((2, 3)), metrc=1), TypeError, "metrc"),
        (lambda: tc.texture(np.zeros((2, 3)), octaves=6), ValueError, "octaves"),
        (lambda: tc.texture(np.zeros((2, 3)), octaves=2.0), TypeError, "octaves"),
        (lambda: tc.value(np.zeros((2, 3)), octaves=-1), ValueError, "octaves"),
        (lambda: tc.value(np.zeros((2, 3)), gain="0.5"), TypeError, "gain"),
        (lambda: tc.texture(np.zeros((2, 3)), color1=(1, 2)), ValueError, "color1"),
        (lambda: tc.texture(np.zeros((2, 3)), color1=(1, 2, 3, 4, 5)), ValueError, "3 or 4"),
        (lambda: tc.basis(np.zeros((2, 3)), period=-1), ValueError, "period"),
        (lambda: tc.basis(np.zeros((2, 3)), period=(1, 2, 3, 4)), ValueError, "period"),
        (lambda: tc.basis(np.zeros((2, 3)), period=2.5), TypeError, "period"),
        (lambda: tc.basis(np.zeros((2, 3)), period=tc.MAX_PERIOD + 1), ValueError, "67108863"),
        (lambda: tc.basis(np.zeros((2, 3)), seed=-1), ValueError, "seed"),
        (lambda: tc.basis(np.zeros((2, 3)), seed=2**32), ValueError, "4294967295"),
        (lambda: tc.basis(np.zeros((2, 3)), out=np.zeros((2, 3), np.float32)), ValueError, "shape (2, 2)"),
        (lambda: tc.basis(np.zeros((2, 3)), out=np.zeros((2, 2))), TypeError, "float32"),
        (lambda: tc.basis(np.zeros((2, 3)), out=np.zeros((2, 4), np.float32)[:, ::2]), ValueError, "C-contiguous"),
        (lambda: tc.basis(np.zeros((2, 3)), ids=True, out=np.zeros((2, 2), np.float32)), TypeError, "tuple of 2"),
        (lambda: tc.value(np.zeros((2, 3)), out=np.zeros(3, np.float32)), ValueError, "shape (2,)"),
        (lambda: tc.basis(np.zeros((2, 3)), progress=5), TypeError, "progress"),
        (lambda: tc.tile_grid((4, 4), (0, 3)), ValueError, "period"),
        (lambda: tc.tile_grid((4, 4), (3, 3), periods=9), ValueError, "periods"),
        (lambda: tc.grid((2, 3, 4, 5)), ValueError, "shape"),
        (lambda: tc.grid((2, 3.5)), TypeError, "shape"),
        (lambda: tc.grid((2, 3), spacing=(1, 2)), ValueError, "spacing"),
    ],
)
def test_bad_input_raises_a_clear_error(call, error, words):
    with pytest.raises(error) as raised:
        call()
    assert words in str(raised.value)
    assert len(str(raised.value)) < 400, "a message of unreasonable length"


def test_numpy_integers_stand_for_numbers():
    pts = random_points(50, seed=6).astype(np.float32)
    assert same_bits(tc.basis(pts, metric=2, threads=1), tc.basis(pts, metric=np.int64(2), threads=np.int32(1)))
    with pytest.raises(TypeError):
        tc.basis(pts, metric=True)


def test_grid_points():
    # Each coordinate as origin + index * spacing in double precision, rounded
    # to float32 (a float32 product would differ in the last bits).
    shape, origin, spacing = (7, 300, 500), (-20.1, 0.3, 1e4 / 3), (40 / 1024, 0.1, 3.7e-3)
    k, j, i = np.meshgrid(*(np.arange(n, dtype=np.float64) for n in shape), indexing="ij")
    expected = np.stack([origin[0] + i * spacing[0], origin[1] + j * spacing[1], origin[2] + k * spacing[2]], -1)
    assert same_bits(tc.grid(shape, origin, spacing), expected.astype(np.float32))
    g = tc.grid((2, 3), origin=(1.0, 2.0, 3.0), spacing=0.5)
    assert g.shape == (2, 3, 3) and g.dtype == np.float32
    assert g[1, 2].tolist() == [2.0, 2.5, 3.0]  # x from the last axis, y from the first
    v = tc.grid((2, 2, 2), spacing=(1.0, 10.0, 100.0))
    assert v[1, 0, 1].tolist() == [1.0, 0.0, 100.0]


def test_info():
    i = tc.info()
    assert i["kernel"] in ("avx512", "avx2", "neon", "portable") and i["threads"] >= 1
    assert i["max_n"] == tc.MAX_N == 135
    assert re.fullmatch(r"\d+\.\d+(\.\d+)?", i["version"]) and i["chunk"] > 0


@pytest.mark.parametrize("cap", ["portable", "PORTABLE"] + (["sse2"] if platform.machine() in ("x86_64", "AMD64") else []))
def test_the_kernel_cap_is_read_when_the_module_loads(cap):
    env = dict(os.environ, TULO_CELLULAR_MAX_ISA=cap)
    out = subprocess.run([sys.executable, "-c", "import tulo_cellular as t; print(t.info()['kernel'])"], env=env,
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "portable" and out.stderr == ""


def test_a_python_thread_runs_during_a_large_call():
    pts = random_points(1_000_000, seed=9).astype(np.float32)
    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.001)

    t = threading.Thread(target=tick)
    t.start()
    try:
        time.sleep(0.01)
        start = time.monotonic()
        tc.texture(pts, octaves=2, threads=1)
        end = time.monotonic()
    finally:
        stop.set()
        t.join()
    # The other thread ran in the middle of the call: it could not, had the
    # call held the GIL throughout.
    margin = (end - start) / 5
    assert any(start + margin < s < end - margin for s in stamps)


def test_calls_from_several_python_threads_give_the_same_bytes():
    pts = random_points(3 * CHUNK + 5, seed=11).astype(np.float32)
    expected = tc.basis(pts, metric=3)
    results = [None] * 4

    def work(k):
        results[k] = tc.basis(pts, metric=3, threads=1 + k)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same_bits(expected, r) for r in results)


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs POSIX signals")
def test_ctrl_c_stops_a_long_call():
    pts = random_points(3_000_000, seed=12).astype(np.float32)
    start = time.monotonic()
    tc.texture(pts, octaves=5, threads=1)
    full = time.monotonic() - start
    timer = threading.Timer(full / 10, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        tc.texture(pts, octaves=5, threads=1)
    stopped = time.monotonic() - start
    timer.join()
    assert stopped < full / 2, f"a call of {full:.2f} s took {stopped:.2f} s to stop"


def _call_with_default_threads(seed):
    pts = random_points(3 * CHUNK + 7, seed=seed).astype(np.float32)
    return tc.basis(pts).tobytes(), tc.basis(pts).tobytes()


def test_a_forked_pool_of_workers_calls_with_the_default_threads():
    # The parent's pool has run before the fork; each forked worker calls
    # twice, with the default threads (the second call hung when the child
    # inherited the parent's pool).
    import multiprocessing

    tc.basis(random_points(3 * CHUNK, seed=30).astype(np.float32))
    with multiprocessing.get_context("fork").Pool(2) as workers:
        pending = workers.map_async(_call_with_default_threads, [31, 32, 33, 34])
        results = pending.get(timeout=60)
    for seed, (first, second) in zip([31, 32, 33, 34], results):
        expected = tc.basis(random_points(3 * CHUNK + 7, seed=seed).astype(np.float32), threads=1).tobytes()
        assert first == expected and second == expected


@pytest.mark.parametrize("metric,octaves", [(1, 0), (3, 4), (5, 2)])
def test_a_tile_beside_itself_is_the_texture_over_two_periods(metric, octaves):
    one = tc.tile_grid((6, 10), (3, 2), depth=0.7)
    two = tc.tile_grid((6, 10), (3, 2), depth=0.7, periods=2)
    assert same_bits(one, two[:6, :10])
    for seed in (0, 9):
        t1 = tc.texture(one, metric=metric, octaves=octaves, period=(3, 2), seed=seed)
        t2 = tc.texture(two, metric=metric, octaves=octaves, period=(3, 2), seed=seed)
        assert same_bits(np.tile(t1, (2, 2, 1)), t2)


def test_seeds_keep_the_plugins_pattern_at_zero_and_change_it_otherwise():
    pts = random_points(5000, seed=40).astype(np.float32)
    plain = tc.basis(pts)
    assert same_bits(plain, tc.basis(pts, seed=0, period=0))
    assert same_bits(tc.texture(pts, octaves=2), tc.texture(pts, octaves=2, seed=0))
    seeded = tc.basis(pts, seed=1)
    assert np.mean(seeded[:, 0] == plain[:, 0]) < 0.01
    assert same_bits(seeded, tc.basis(pts, seed=1, threads=1))


def test_out_arrays_are_written_in_place(tmp_path):
    pts = random_points(3 * CHUNK + 3, seed=41).astype(np.float32)
    expected, ids = tc.basis(pts, ids=True)
    mapped = np.lib.format.open_memmap(tmp_path / "f.npy", mode="w+", dtype=np.float32, shape=expected.shape)
    out_ids = np.empty_like(ids)
    got, got_ids = tc.basis(pts, ids=True, out=(mapped, out_ids))
    assert np.shares_memory(got, mapped) and np.shares_memory(got_ids, out_ids)
    assert same_bits(np.asarray(mapped), expected) and same_bits(out_ids, ids)
    rgba = np.full((len(pts), 4), 7, np.float32)
    assert same_bits(tc.texture(pts, out=rgba), tc.texture(pts)) and same_bits(rgba, tc.texture(pts))


def test_progress_is_reported_and_can_stop_the_call():
    pts = random_points(2_000_000, seed=42).astype(np.float32)
    seen = []
    tc.value(pts, octaves=3, threads=1, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (len(pts), len(pts)) and len(seen) >= 2
    assert all(a[0] <= b[0] for a, b in zip(seen, seen[1:]))

    class Enough(Exception):
        pass

    def stop(done, total):
        raise Enough()

    with pytest.raises(Enough):
        tc.value(pts, octaves=3, threads=2, progress=stop)
