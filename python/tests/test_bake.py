"""Bakes into Zarr stores: the bits of one basis call whatever the chunks, the
workers and the stops on the way; the exports read back; the errors."""

import contextlib
import io
import json
import logging
import os
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import zarr
from distributed import Client, LocalCluster

import tulo_cellular as tc
from tulo_cellular import _bake as tb
from conftest import same_bits

ALL = ",".join(tb.PASSES)
LOOK = dict(metric=4, weights=(0.5, 1.0, 2.0), octaves=2, gain=0.75, color1=(0.9, 0.8, 0.1), color2=(0.05, 0.3, 0.6))
BAKE_COMMAND = os.environ.get("TULO_BAKE_COMMAND")


@pytest.fixture(scope="module")
def client():
    """Two worker processes on this machine, stopped with the module's tests."""
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as c:
        yield c


def expected(shape, origin, spacing, passes, metric=1, weights=(1, 1, 1), octaves=0, gain=0.5,
             color1=tc._COLOR1, color2=tc._COLOR2, tile=None, **extra):
    """Each pass from one call over the whole grid (or tile)."""
    if tile:
        points = tc.tile_grid(shape, extra["period"], depth=origin[2], periods=tile)
    else:
        points = tc.grid(shape, origin, spacing)
    F, delta, ids = tc.basis(points, n=2, metric=metric, weights=weights, offsets=True, ids=True, **extra)
    shading = dict(metric=metric, weights=weights, octaves=octaves, gain=gain, **extra)
    every = {"F1": F[..., 0], "F2": F[..., 1], "F2-F1": F[..., 1] - F[..., 0], "id": ids[..., 0],
             "offset": delta[..., 0, :], "t": tc.value(points, **shading),
             "rgba": tc.texture(points, color1=color1, color2=color2, **shading)}
    return {p: every[p] for p in passes.split(",")}


def assert_store_holds(path, want):
    root = zarr.open_group(str(path), mode="r")
    assert sorted(k for k in root.array_keys()) == sorted(want)
    for name, values in want.items():
        assert same_bits(root[name][...], values), f"pass {name} differs"
    assert not [f for _, _, files in os.walk(path) for f in files if f.endswith(".partial")]


def done_markers(path):
    folder = os.path.join(path, tb.kDoneFolder)
    return len(os.listdir(folder)) if os.path.isdir(folder) else 0


@pytest.mark.parametrize(
    "where,shape,origin,spacing,chunks,passes,look",
    [
        # Chunks that do not divide the shape: edge chunks on every axis.
        ("threads", (20, 30, 40), (-3.3, 0.1, 7.0), 0.37, (7, 16, 9), ALL, LOOK),
        ("cluster", (20, 30, 40), (-3.3, 0.1, 7.0), 0.37, (7, 16, 9), ALL, LOOK),
        # One chunk, and chunks of a single point along x.
        ("cluster", (9, 10, 11), (0.0, 0.0, 0.0), (0.3, 0.2, 0.1), (9, 10, 11), "F1,F2", {}),
        ("threads", (9, 10, 11), (0.0, 0.0, 0.0), (0.3, 0.2, 0.1), (3, 4, 1), "F2-F1,id", dict(metric=3)),
        # A slice: z is the origin's; per-axis and negative spacing.
        ("threads", (64, 96), (-20.0, -20.0, 0.5), (40 / 1024, -0.05, 1.0), (10, 33), ALL,
         dict(metric=5, weights=(2, 2, 2), octaves=3, gain=0.25)),
        ("cluster", (64, 96), (1e4 / 3, 2.0, -7.25), 0.021, (64, 20), "t,rgba,offset", dict(metric=2, octaves=5)),
        # Periods and seeds, recorded and passed to every call.
        ("cluster", (20, 30, 40), (-3.3, 0.1, 7.0), 0.37, (7, 16, 9), ALL, dict(LOOK, period=(3, 5, 2), seed=7)),
        ("threads", (64, 96), (-20.0, -20.0, 0.5), 0.1, (10, 33), "F1,F2,t", dict(period=(4, 6), seed=2**32 - 1,
                                                                                    octaves=3)),
        # Seamless tiles: tile_grid's points, two periods of an image, one of a volume.
        ("threads", (24, 32), (0.0, 0.0, 0.75), 1.0, (7, 10), ALL, dict(LOOK, tile=2, period=(3, 2))),
        ("cluster", (6, 8, 10), (0.0, 0.0, 0.0), 1.0, (5, 5, 5), "F1,F2-F1,rgba", dict(tile=1, period=(2, 3, 4),
                                                                                       octaves=2, seed=9)),
    ],
)
def test_a_bake_equals_one_basis_call(tmp_path, request, where, shape, origin, spacing, chunks, passes, look):
    client = request.getfixturevalue("client") if where == "cluster" else None
    result = tc.bake(tmp_path / "b.zarr", shape, origin, spacing, passes=passes, chunks=chunks, client=client,
                     quiet=True, **look)
    assert result.computed == result.chunks and result.skipped == 0
    assert result.points == np.prod(shape) * look.get("tile", 1) ** len(shape)
    assert_store_holds(tmp_path / "b.zarr", expected(shape, origin, spacing, passes, **look))
    record = json.load(open(tmp_path / "b.zarr" / ".zattrs"))[tb.kRecordKey]
    period = list(look.get("period", ())) + [0] * (3 - len(look.get("period", ())))
    assert (record["chunks"], record["period"], record["seed"]) == (list(chunks), period, look.get("seed", 0))


def test_a_killed_worker_gives_the_same_store(tmp_path, client):
    path = str(tmp_path / "k.zarr")
    shape, chunks, look = (48, 48, 48), (16, 16, 16), dict(metric=4, octaves=5)
    pids = client.run(os.getpid)
    outcome = {}

    def work():
        try:
            outcome["result"] = tb.bake(path, shape, (0.5, 1.5, 2.5), 0.3, passes="t,F1", chunks=chunks,
                                        client=client, quiet=True, **look)
        except BaseException as e:  # reported below
            outcome["error"] = e

    baker = threading.Thread(target=work)
    baker.start()
    deadline = time.monotonic() + 60
    while done_markers(path) < 2 and time.monotonic() < deadline and baker.is_alive():
        time.sleep(0.005)
    victim, pid = next(iter(pids.items()))
    busy = client.processing().get(victim, ())
    done_at_kill = done_markers(path)
    os.kill(pid, signal.SIGKILL)
    baker.join(120)
    assert not baker.is_alive() and "error" not in outcome, outcome.get("error")
    assert busy and done_at_kill < outcome["result"].chunks, "the worker was not killed in the middle of the bake"
    assert outcome["result"].computed == outcome["result"].chunks == done_markers(path)
    assert_store_holds(path, expected(shape, (0.5, 1.5, 2.5), 0.3, "t,F1", **look))
    client.wait_for_workers(2, timeout=60)


def bake_command(args, **kw):
    command = [BAKE_COMMAND] if BAKE_COMMAND else [sys.executable, "-m", "tulo_cellular.bake"]
    return subprocess.Popen(command + args, stderr=subprocess.PIPE, text=True, **kw)


@pytest.mark.parametrize("signum,code", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGKILL, -9)])
def test_a_stopped_bake_resumes_computing_only_the_missing_chunks(tmp_path, signum, code):
    path = str(tmp_path / "r.zarr")
    shape, chunks = (40, 40, 40), (8, 8, 8)
    args = [path, "--shape", "40,40,40", "--chunks", "8,8,8", "--passes", "F1,F2-F1,rgba", "--metric", "5",
            "--octaves", "5", "--threads", "2", "--quiet"]
    run = bake_command(args)
    deadline = time.monotonic() + 60
    while done_markers(path) < 20 and time.monotonic() < deadline and run.poll() is None:
        time.sleep(0.002)
    run.send_signal(signum)
    assert run.wait(60) == code, run.stderr.read()
    if code > 0:
        assert "--resume" in run.stderr.read()
    done = done_markers(path)
    total = 5 ** 3
    assert 0 < done < total, f"stopped with {done} of {total} chunks done"
    # A chunk without its marker is not trusted, whatever its file holds.
    root = zarr.open_group(path, mode="r")
    marked = set(os.listdir(os.path.join(path, tb.kDoneFolder)))
    unmarked = next(f"{i}.{j}.{k}" for i in range(5) for j in range(5) for k in range(5) if f"{i}.{j}.{k}" not in marked)
    with open(os.path.join(path, "F1", unmarked), "wb") as f:
        f.write(b"\x01" * (root["F1"].nbytes // total // 2))
    result = tc.bake(path, shape, passes="F1,F2-F1,rgba", metric=5, octaves=5, chunks=chunks, resume=True, quiet=True)
    assert (result.computed, result.skipped, result.chunks) == (total - done, done, total)
    assert_store_holds(path, expected(shape, (0, 0, 0), 1.0, "F1,F2-F1,rgba", metric=5, octaves=5))
    # Resuming a finished bake computes nothing.
    again = tc.bake(path, shape, passes="F1,F2-F1,rgba", metric=5, octaves=5, chunks=chunks, resume=True, quiet=True)
    assert (again.computed, again.skipped) == (0, total)


def sample_vdb(grid, index):
    return grid.getConstAccessor().getValue(tuple(int(v) for v in index))


@pytest.mark.parametrize("shape,origin,spacing", [((6, 9, 13), (-1.25, 3.5, 10.0), (0.5, 0.25, 2.0)),
                                                  ((9, 13), (2.0, -4.0, 0.75), 0.125)])
def test_the_vdb_export_reads_back_at_known_points(tmp_path, shape, origin, spacing):
    import pyopenvdb as vdb

    passes = "F1,F2-F1,t,rgba,offset,id"
    chunks = (4, 5, 6)[-len(shape):]
    tc.bake(tmp_path / "v.zarr", shape, origin, spacing, passes=passes, chunks=chunks, vdb=tmp_path / "v.vdb",
            quiet=True, **LOOK)
    want = expected(shape, origin, spacing, passes, **LOOK)
    grids, meta = vdb.readAll(str(tmp_path / "v.vdb"))
    grids = {g.name: g for g in grids}
    assert sorted(grids) == sorted(["F1", "F2-F1", "t", "Cd", "alpha", "offset"])
    points = tc.grid(shape, origin, spacing)
    step = np.broadcast_to(np.asarray(spacing, np.float64), (3,))
    volume = len(shape) == 3
    for g in grids.values():
        assert np.allclose(g.transform.voxelSize(), step)
        assert json.loads(g["tulo_cellular.bake"])["shape"] == list(shape)
    # Corners and points off every diagonal: an export with its axes
    # reversed, or its origin elsewhere, reads other values there.
    where = [(0, 0, 0), (1, 2, 3), (3, 1, 2), (2, 7, 11), (5, 8, 12)]
    for at in [w[-len(shape):] for w in where] + [tuple(n - 1 for n in shape)]:
        kji = at if volume else (0,) + at
        world = points[at].astype(np.float64)
        ijk = g.transform.worldToIndexCellCentered(tuple(world))
        assert ijk == kji[::-1], f"point {at} at {world} maps to voxel {ijk}"
        for name in ("F1", "F2-F1", "t"):
            assert same_bits(np.float32(sample_vdb(grids[name], ijk)), want[name][at])
        assert same_bits(np.array(sample_vdb(grids["offset"], ijk), np.float32), want["offset"][at])
        assert same_bits(np.array(sample_vdb(grids["Cd"], ijk), np.float32), want["rgba"][at][:3])
        assert same_bits(np.float32(sample_vdb(grids["alpha"], ijk)), want["rgba"][at][3])


def test_the_exr_export_reads_back_through_openexr(tmp_path):
    reader = os.environ.get("TULO_EXR_READER")
    if not reader:
        pytest.skip("TULO_EXR_READER is not set (run the tests through CTest)")
    shape = (37, 50)
    tc.bake(tmp_path / "e.zarr", shape, (-3.0, 2.0, 0.5), 0.11, passes=ALL, chunks=(8, 16), exr=tmp_path / "e.exr",
            quiet=True, **LOOK)
    want = expected(shape, (-3.0, 2.0, 0.5), 0.11, ALL, **LOOK)
    listing = subprocess.run([reader, str(tmp_path / "e.exr")], capture_output=True, text=True, check=True).stdout
    names = ["A", "B", "F1", "F2", "F2-F1", "G", "R", "id", "offset.X", "offset.Y", "offset.Z", "t"]
    assert listing.split("\n")[:-2] == [f"{n} {0 if n == 'id' else 2}" for n in names]
    assert listing.split("\n")[-2] == "window 0 0 49 36"

    def channel(name, dtype):
        raw = subprocess.run([reader, str(tmp_path / "e.exr"), name], capture_output=True, check=True).stdout
        return np.frombuffer(raw, dtype=dtype).reshape(shape)

    rgba = want["rgba"]
    for name, values in [("F1", want["F1"]), ("F2", want["F2"]), ("F2-F1", want["F2-F1"]), ("t", want["t"]),
                         ("id", want["id"]), ("offset.X", want["offset"][..., 0]), ("offset.Z", want["offset"][..., 2]),
                         ("R", rgba[..., 0] * rgba[..., 3]), ("B", rgba[..., 2] * rgba[..., 3]), ("A", rgba[..., 3])]:
        assert same_bits(channel(name, values.dtype), values), f"channel {name} differs"
    record = subprocess.run([reader, str(tmp_path / "e.exr"), "--attribute", "tulo_cellular.bake"],
                            capture_output=True, text=True, check=True).stdout
    assert json.loads(record)["metric"] == 4


def run_main(argv):
    """cellular-bake's exit code and message, run in this process."""
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        try:
            code = tb.main(argv)
        except SystemExit as e:
            code = e.code
    return code, err.getvalue()


def _unwritable(tmp_path):
    if os.geteuid() == 0:
        return "/sys/x.zarr"  # read-only to root too
    folder = tmp_path / "locked"
    folder.mkdir(mode=0o500)
    return str(folder / "x.zarr")


def _prepare(kind, tmp_path):
    """The OUT path of a bad-input row."""
    out = tmp_path / "out.zarr"
    if kind == "file":
        out.write_text("not a store")
    elif kind == "folder":
        out.mkdir()
        (out / "notes.txt").write_text("mine")
    elif kind == "zarr":
        zarr.open_group(str(out), mode="w").create("F1", shape=(4, 4), dtype="f4")
    elif kind == "ours":
        assert run_main([str(out), "--shape", "4,8,8", "--chunks", "4,4,4", "--quiet"])[0] == 0
    elif kind == "missing-parent":
        out = tmp_path / "no" / "out.zarr"
    elif kind == "unwritable":
        return _unwritable(tmp_path)
    return str(out)


def _listing(path):
    if not os.path.lexists(path):
        return None
    if not os.path.isdir(path):
        return open(path, "rb").read()
    return sorted((os.path.relpath(os.path.join(d, f), path), os.path.getsize(os.path.join(d, f)))
                  for d, _, files in os.walk(path) for f in files)


@pytest.mark.parametrize(
    "kind,args,words",
    [
        ("new", ["--shape", "0,10,10"], "shape must be 1 or more"),
        ("new", ["--shape", "-4,10"], "shape must be 1 or more"),
        ("new", ["--shape", "10"], "has 1 numbers"),
        ("new", ["--shape", "4,4,4", "--chunks", "4,0,4"], "chunks must be 1 or more"),
        ("new", ["--shape", "4,4,4", "--chunks", "4,4"], "chunks must be 3 numbers"),
        ("new", ["--shape", "4,4", "--spacing", "0"], "spacing must not be 0"),
        ("new", ["--shape", "4,4", "--spacing", "1,0,1"], "spacing must not be 0"),
        ("new", ["--shape", "4,4", "--spacing", "nan"], "finite"),
        ("new", ["--shape", "4,4", "--passes", "F1,F3"], "passes must be some of"),
        ("new", ["--shape", "4,4", "--metric", "6"], "superquadratic"),
        ("new", ["--shape", "4,4", "--metric", "taxicab"], "metric must be"),
        ("new", ["--shape", "4,4", "--octaves", "6"], "octaves"),
        ("new", ["--shape", "4,4", "--seed", "-1"], "seed must be 0 or more"),
        ("new", ["--shape", "4,4", "--period", "-1,2"], "period must be 0 or more"),
        ("new", ["--shape", "4,4", "--origin", "-1,-2,-3", "--spacing", "-.5,0,1"], "spacing must not be 0"),
        ("new", ["--shape", "4,4,4", "--exr", "x.exr"], "EXR holds a 2-D bake"),
        ("new", ["--shape", "4,4", "--vdb", "/nowhere/x.vdb"], "/nowhere is not a folder"),
        ("new", ["--shape", "4,4", "--threads", "2", "--scheduler", "tcp://127.0.0.1:9"], "--threads"),
        ("new", ["--shape", "100000,100000,100000"], "GB free"),
        ("file", ["--shape", "4,4"], "not a folder: not a bake store"),
        ("folder", ["--shape", "4,4"], "is not a bake store"),
        ("zarr", ["--shape", "4,4"], "is not a bake store"),
        ("missing-parent", ["--shape", "4,4"], "is not a folder"),
        ("unwritable", ["--shape", "4,4"], "cannot write into"),
        ("ours", ["--shape", "4,8,8", "--chunks", "4,4,4"], "--resume"),
        ("ours", ["--shape", "4,8,8", "--chunks", "4,4,4", "--resume", "--metric", "2"],
         "metric: the store has 1, asked 2"),
        ("ours", ["--shape", "4,8,9", "--chunks", "4,4,4", "--resume"], "shape: the store has [4, 8, 8], asked [4, 8, 9]"),
        ("ours", ["--shape", "4,8,8", "--resume", "--passes", "F1"], "passes: the store has"),
        ("ours", ["--shape", "4,8,8", "--chunks", "4,4,4", "--resume", "--seed", "5"], "seed: the store has 0, asked 5"),
        ("ours", ["--shape", "4,8,8", "--chunks", "4,4,4", "--resume", "--period", "0,0,2"],
         "period: the store has [0, 0, 0], asked [0, 0, 2]"),
        ("new", ["--shape", "4,4", "--tile"], "a tile needs a period along each of its axes (x, y)"),
        ("new", ["--shape", "4,4", "--tile", "--period", "2,2", "--spacing", "0.5"], "a tile places its own points"),
        ("new", ["--shape", "4,4", "--tile", "--period", "2,2", "--periods", "9"], "periods must be"),
        ("new", ["--shape", "4,4", "--tile", "--period", "2,9000"], "period must be"),
        ("new", ["--shape", "4,4", "--periods", "2"], "--periods is for a --tile"),
    ],
)
def test_bad_input_is_refused_before_any_work(tmp_path, monkeypatch, kind, args, words):
    out = _prepare(kind, tmp_path)
    before = _listing(out)
    monkeypatch.chdir(tmp_path)
    code, message = run_main([out, "--quiet"] + args)
    assert code == 2 and words in message, message
    assert message.startswith("cellular-bake: ") and message.count("\n") == 1 and len(message) < 400
    assert _listing(out) == before, "a refused bake changed the path"


def test_a_failed_write_leaves_only_whole_chunks_marked(tmp_path):
    # Files above 64 KiB cannot be written: the 4 x 64 x 64 chunks of F1 can.
    path = str(tmp_path / "w.zarr")
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, resource.RLIM_INFINITY))
    run = bake_command([path, "--shape", "8,64,128", "--chunks", "4,64,64", "--passes", "F1,rgba", "--quiet"],
                       preexec_fn=limit)
    assert run.wait(60) == 1
    message = run.stderr.read()
    assert "failed" in message and "--resume" in message, message
    assert done_markers(path) == 0
    result = tc.bake(path, (8, 64, 128), passes="F1,rgba", chunks=(4, 64, 64), resume=True, quiet=True)
    assert result.computed == 4
    assert_store_holds(path, expected((8, 64, 128), (0, 0, 0), 1.0, "F1,rgba"))


@pytest.mark.parametrize("where", ["threads", "cluster"])
def test_progress_counts_every_point_with_the_time_left(tmp_path, request, capsys, where):
    client = request.getfixturevalue("client") if where == "cluster" else None
    tc.bake(tmp_path / "p.zarr", (12, 40), chunks=(5, 16), client=client)
    bar = capsys.readouterr().err.split("\r")[-1]
    # The last state of the bar: every point counted, elapsed<left shown.
    assert "bake 9 chunks: 100%" in bar and "480/480" in bar and "<00:00" in bar, bar
    tc.bake(tmp_path / "q.zarr", (12, 40), chunks=(5, 16), client=client, quiet=True)
    assert capsys.readouterr().err == ""
