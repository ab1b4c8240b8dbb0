"""Bakes: the basis and the texture over a large regular grid, chunk by chunk, into a Zarr store.

``tulo_cellular.bake(...)`` in Python, ``cellular-bake`` (``python3 -m
tulo_cellular.bake``) on the command line.

A bake is a grid (the points of ``tulo_cellular.grid(shape, origin, spacing)``,
or of ``tulo_cellular.tile_grid(...)`` for a seamless tile), a look (metric, weights, octaves, gain, colours, period, seed) and the passes
wanted. Each pass is one array of the store, named as the pass, of the grid's
shape (with a last axis of 3 for ``offset``, of 4 for ``rgba``):

=========  ==========  ===================================================
pass       dtype       value at each point
=========  ==========  ===================================================
``t``      float32     ``value(points, ...)``: the blend factor
``rgba``   float32     ``texture(points, ...)``: r, g, b and alpha
``F1``     float32     ``basis(points, n=2, ...)[..., 0]``
``F2``     float32     ``basis(points, n=2, ...)[..., 1]``
``F2-F1``  float32     F2 minus F1, one float32 subtraction
``id``     uint32      the id of the nearest feature point
``offset`` float32     the offset to the nearest feature point (x, y, z)
=========  ==========  ===================================================

Contract:

- Bits. Every chunk computes its own points with ``grid``'s formula (origin
  + index * spacing in double precision, rounded to float32; a tile takes
  its slice of ``tile_grid``'s coordinates along each axis), so the store
  holds exactly what one ``basis`` / ``value`` / ``texture`` call over the
  whole grid returns, whatever the chunk shape, the workers or the bake's
  history (stops and resumes).
- Chunks. A chunk is one file per pass (uncompressed), written to a
  temporary beside its final name, flushed to disk and renamed into place;
  a chunk counts as done only once a marker for it exists in the store's
  ``.bake-done`` folder, created after every pass of the chunk is in place.
  A resume computes exactly the chunks without a marker and never reads a
  chunk file it did not mark.
- Record. The store's attributes (``tulo_cellular.bake``) record the grid,
  the chunks, the passes and the look; writing into a store whose record
  differs is refused, naming each difference.
- Work. Dask: local threads by default, or the cluster of a
  ``distributed.Client``. Each task is one chunk. Dask's threads are the
  parallelism: a task calls the library on one thread (on a cluster too,
  where several worker processes may share a machine without knowing it),
  except when a local bake has fewer chunks than threads, whose tasks
  share the idle cores.

Errors found before any work (bad arguments, an existing path that is not a
bake store, a store of another bake, an unwritable folder, too little free
space for the chunks still to write) raise :class:`BakeError` (a
``ValueError``) or ``TypeError``; the command exits with code 2 for them,
1 for a failure while working (a failed write, a full disk, a lost
cluster), 128 + the signal when stopped by one (130 for Ctrl-C); whatever
stops a bake, the chunks marked done are complete and ``--resume`` goes on.
"""

import argparse
import dataclasses
import functools
import itertools
import json
import math
import operator
import os
import shutil
import signal
import sys
import time
import uuid

import numpy as np

from . import _COLOR1, _COLOR2, _UNIT, __version__, _core, basis, texture, value

#: The passes a bake can write, in the order the store and the files list them.
PASSES = ("t", "rgba", "F1", "F2", "F2-F1", "id", "offset")

#: Each pass's dtype and trailing axes.
_LAYOUT = {
    "t": ("<f4", ()),
    "rgba": ("<f4", (4,)),
    "F1": ("<f4", ()),
    "F2": ("<f4", ()),
    "F2-F1": ("<f4", ()),
    "id": ("<u4", ()),
    "offset": ("<f4", (3,)),
}

#: The attribute of the store's root group that marks a store of ours and
#: holds the bake's record.
kRecordKey = "tulo_cellular.bake"
#: The record's format; a store of another format is not resumed.
kFormat = 1
#: The folder of the store that holds one empty file per finished chunk.
kDoneFolder = ".bake-done"
#: The chunk's side when none is given, for a slice and a volume: one to two
#: million points a chunk, large enough that the scheduler's cost per task
#: vanishes beside the computation, small enough that a few tasks in flight
#: per core stay far below a worker's memory (a task holds about 24 bytes a
#: point for the cheapest passes).
kChunkSide = {2: 1024, 3: 128}

_METRICS = {"euclidian": 1, "euclidean": 1, "manhattan": 2, "chessboard": 3, "chebyshev": 3, "minkowski": 4,
            "superquadratic": 5}


class BakeError(ValueError):
    """A bake that cannot start: bad arguments, or a store it may not write."""


@dataclasses.dataclass(frozen=True)
class BakeResult:
    """What a bake did: the store's chunks, those computed now and those
    found done, the points computed and the seconds taken."""

    path: str
    chunks: int
    computed: int
    skipped: int
    points: int
    seconds: float


# ---------------------------------------------------------------------------
# The plan: the grid, the chunks, the passes and the look, resolved once.


@dataclasses.dataclass(frozen=True)
class _Plan:
    shape: tuple
    origin: tuple  # x, y, z
    spacing: tuple  # x, y, z
    chunks: tuple
    passes: tuple
    metric: int
    weights: tuple
    octaves: int
    gain: float
    color1: tuple
    color2: tuple
    period: tuple  # cells along x, y, z; 0 is none
    seed: int
    tile: int  # 0: origin + index * spacing; N: N periods of a seamless tile, shape / N pixels each

    def tile_line(self, dim):
        """The coordinates of a tile's pixel centres along the grid's axis `dim`."""
        axis = len(self.shape) - 1 - dim
        return _tile_line(self.shape[dim] // self.tile, self.period[axis], self.tile)

    def record(self):
        """The record kept in the store, as JSON types."""
        r = dataclasses.asdict(self)
        r = {k: list(v) if isinstance(v, tuple) else v for k, v in r.items()}
        return {"format": kFormat, **r}

    def extra(self):
        """period= and seed= for the module's calls, only where they are not the defaults."""
        extra = {}
        if any(self.period):
            extra["period"] = self.period
        if self.seed:
            extra["seed"] = self.seed
        return extra

    def grid_chunks(self):
        """The number of chunks along each axis."""
        return tuple(-(-s // c) for s, c in zip(self.shape, self.chunks))

    def block(self, index):
        """The slices of the grid that chunk `index` covers."""
        return tuple(slice(i * c, min((i + 1) * c, s)) for i, c, s in zip(index, self.chunks, self.shape))

    def chunk_bytes(self):
        """The bytes of one chunk of every pass (edge chunks are stored whole)."""
        points = math.prod(self.chunks)
        return sum(points * np.dtype(_LAYOUT[p][0]).itemsize * math.prod(_LAYOUT[p][1]) for p in self.passes)


def _fail(message):
    raise BakeError(message)


def _integers(value, what, count, minimum):
    """A tuple of whole numbers, as many as one of `count` says, each at least `minimum`."""
    items = tuple(value) if np.iterable(value) and not isinstance(value, str) else (value,)
    try:
        if any(isinstance(v, (bool, np.bool_)) for v in items):
            raise TypeError
        items = tuple(operator.index(v) for v in items)
    except TypeError:
        raise TypeError(f"{what} must be whole numbers, got {value!r:.80}") from None
    if len(items) not in count:
        _fail(f"{what} must be {' or '.join(map(str, count))} numbers, got {len(items)}")
    if any(v < minimum for v in items):
        _fail(f"{what} must be {minimum} or more, got {value!r:.80}")
    return items


def _reals(value, what, count):
    """A tuple of real numbers as Python floats, as many as one of `count` says."""
    a = np.asarray(value)
    if a.dtype.kind not in "fiu":
        raise TypeError(f"{what} must be real numbers, got {value!r:.80}")
    a = a.astype(np.float64).reshape(-1)
    if a.size not in count:
        _fail(f"{what} must be {' or '.join(map(str, count))} numbers, got {a.size}")
    return tuple(float(v) for v in a)


def _default_chunks(shape):
    return (kChunkSide[len(shape)],) * len(shape)


@functools.lru_cache(maxsize=8)
def _tile_line(pixels, period, periods):
    """tile_grid's coordinates along one axis (read-only)."""
    line = _core.tile_coordinates(pixels, period, periods)
    line.setflags(write=False)
    return line


def _plan(shape, origin, spacing, chunks, passes, metric, weights, octaves, gain, color1, color2, period, seed,
          tile=None):
    shape = _integers(shape, "shape", (2, 3), 1)
    origin = _reals(origin, "origin", (3,))
    spacing = _reals(spacing, "spacing", (1, 3))
    spacing = spacing * 3 if len(spacing) == 1 else spacing
    if not all(math.isfinite(v) for v in origin + spacing):
        _fail(f"origin and spacing must be finite, got origin {origin} and spacing {spacing}")
    if any(s == 0 for s in spacing):
        _fail(f"spacing must not be 0 along any axis (x, y, z), got {spacing}")
    chunks = _default_chunks(shape) if chunks is None else _integers(chunks, "chunks", (len(shape),), 1)
    if isinstance(passes, str):
        passes = passes.split(",")
    passes = tuple(passes)
    unknown = [p for p in passes if p not in PASSES]
    if unknown or not passes:
        _fail(f"passes must be some of {', '.join(PASSES)}; got {', '.join(map(str, passes)) or 'none'}")
    passes = tuple(p for p in PASSES if p in passes)
    if isinstance(metric, str):
        if metric.lower() not in _METRICS:
            _fail(f"metric must be 1-5 or one of {', '.join(_METRICS)}, got {metric!r:.40}")
        metric = _METRICS[metric.lower()]
    else:
        (metric,) = _integers(metric, "metric", (1,), 1)
    weights = _reals(weights, "weights", (3,))
    (octaves,) = _integers(octaves, "octaves", (1,), 0)
    (gain,) = _reals(gain, "gain", (1,))
    color1 = _reals(color1, "color1", (3, 4))
    color2 = _reals(color2, "color2", (3, 4))
    period = (0, 0, 0) if period is None else _integers(period, "period", (1, 2, 3), 0)
    period = period * 3 if len(period) == 1 else period + (0,) * (3 - len(period))
    (seed,) = _integers(seed, "seed", (1,), 0)
    if seed >= 1 << 32:
        _fail(f"seed must be below 2**32, got {seed}")
    if tile is None:
        tile = 0
    else:
        # tile_grid(shape, period, depth=origin z, periods=tile): the tile
        # places its own points.
        (tile,) = _integers(tile, "tile", (1,), 1)
        if any(origin[:len(shape)]) or spacing != (1.0, 1.0, 1.0):
            _fail("a tile places its own points: give no spacing, and no origin but an image's z (its depth)")
        if not all(period[:len(shape)]):
            _fail(f"a tile needs a period along each of its axes (x, y{', z' if len(shape) == 3 else ''}), "
                  f"got {list(period)}")
        try:
            for axis in range(len(shape)):
                _tile_line(shape[len(shape) - 1 - axis], period[axis], tile)
        except ValueError as e:
            _fail(f"tile: {e}")
        shape = tuple(s * tile for s in shape)
    chunks = tuple(min(c, s) for c, s in zip(chunks, shape))
    plan = _Plan(shape, origin, spacing, chunks, passes, metric, weights, octaves, gain, color1, color2, period, seed,
                 tile)
    # The module's own checks (metric and octaves in range, period and seed
    # supported), on one point, before any work.
    try:
        _compute(dataclasses.replace(plan, passes=PASSES), np.zeros((1, 3), np.float32), 1)
    except ValueError as e:
        _fail(str(e))
    return plan


# ---------------------------------------------------------------------------
# One chunk: its points, its passes, its files.


def _block_points(plan, sel):
    """The float32 points of the grid under `sel`, exactly as grid() (or tile_grid()) makes them."""
    sizes = tuple(s.stop - s.start for s in sel)
    points = np.empty(sizes + (3,), dtype=np.float32)
    for axis in range(3):
        dim = len(sizes) - 1 - axis  # x runs along the last axis
        if dim < 0:
            points[..., axis] = np.float32(plan.origin[axis])
            continue
        if plan.tile:
            line = plan.tile_line(dim)[sel[dim]]
        else:
            index = np.arange(sel[dim].start, sel[dim].stop, dtype=np.float64)
            line = (np.float64(plan.origin[axis]) + index * np.float64(plan.spacing[axis])).astype(np.float32)
        view = [1] * len(sizes)
        view[dim] = sizes[dim]
        points[..., axis] = line.reshape(view)
    return points


def _compute(plan, points, threads):
    """The plan's passes at `points`, by name."""
    look = dict(metric=plan.metric, weights=plan.weights, threads=threads, **plan.extra())
    out = {}
    if {"F1", "F2", "F2-F1", "id", "offset"} & set(plan.passes):
        found = basis(points, n=2, offsets="offset" in plan.passes, ids="id" in plan.passes, **look)
        F = found[0] if isinstance(found, tuple) else found
        out["F1"] = F[..., 0]
        out["F2"] = F[..., 1]
        out["F2-F1"] = F[..., 1] - F[..., 0]
        if "offset" in plan.passes:
            out["offset"] = found[1][..., 0, :]
        if "id" in plan.passes:
            out["id"] = found[-1][..., 0]
    shading = dict(look, octaves=plan.octaves, gain=plan.gain)
    if "t" in plan.passes:
        out["t"] = value(points, **shading)
    if "rgba" in plan.passes:
        out["rgba"] = texture(points, color1=plan.color1, color2=plan.color2, **shading)
    return {p: out[p] for p in plan.passes}


def _chunk_key(index):
    return ".".join(map(str, index))


def _fsync_folder(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@functools.lru_cache(maxsize=None)
def _durable_store():
    """Zarr's directory store (each file written to a temporary and renamed
    into place), its files flushed to disk before the rename. Made on first
    use: zarr loads only when a bake runs."""
    import zarr

    class DurableStore(zarr.DirectoryStore):
        @staticmethod
        def _tofile(a, fn):
            with open(fn, mode="wb") as f:
                f.write(a)
                f.flush()
                os.fsync(f.fileno())

    return DurableStore


def _store(path):
    return _durable_store()(path)


def _bake_chunk(path, plan, index, threads=1):
    """Computes and writes chunk `index` of every pass, then marks it done,
    calling the library on `threads` threads. Returns the number of points.
    Runs on any worker: it needs only the path."""
    import zarr

    sel = plan.block(index)
    results = _compute(plan, _block_points(plan, sel), threads)
    store = _store(path)
    for name, data in results.items():
        zarr.open_array(store, mode="r+", path=name)[sel] = data
        _fsync_folder(os.path.join(path, name))
    done = os.path.join(path, kDoneFolder)
    with open(os.path.join(done, _chunk_key(index)), "wb") as f:
        os.fsync(f.fileno())
    _fsync_folder(done)
    return math.prod(s.stop - s.start for s in sel)


# ---------------------------------------------------------------------------
# The store: created, or checked against the plan, before any work.


def _describe(v):
    return json.dumps(v) if not isinstance(v, str) else v


def _differences(recorded, plan):
    wanted = plan.record()
    return [f"{k}: the store has {_describe(recorded.get(k))}, asked {_describe(wanted[k])}"
            for k in wanted if recorded.get(k) != wanted[k]]


def _read_record(path):
    """The record of the bake store at `path`; None if there is nothing at `path` or an empty folder."""
    if not os.path.lexists(path):
        return None
    if not os.path.isdir(path):
        _fail(f"{path} exists and is not a folder: not a bake store")
    try:
        with open(os.path.join(path, ".zattrs"), encoding="utf-8") as f:
            record = json.load(f).get(kRecordKey)
    except (OSError, ValueError, AttributeError):
        record = None
    if record is None:
        if not os.listdir(path):
            return None
        _fail(f"{path} exists and is not a bake store (no {kRecordKey} record); remove it or choose another path")
    if not isinstance(record, dict) or record.get("format") != kFormat:
        _fail(f"{path} is a bake store of another format ({_describe(record)[:80]})")
    return record


def _done_chunks(path, plan):
    """The indices of the chunks marked done in the store at `path`."""
    done = set()
    folder = os.path.join(path, kDoneFolder)
    for key in os.listdir(folder) if os.path.isdir(folder) else ():
        try:
            index = tuple(int(k) for k in key.split("."))
        except ValueError:
            continue
        if len(index) == len(plan.shape) and all(0 <= i < n for i, n in zip(index, plan.grid_chunks())):
            done.add(index)
    return done


def _check_store(path, plan, resume):
    """Checks that the bake may write at `path`; returns whether a store of
    this bake is there already. Writes nothing."""
    record = _read_record(path)
    if record is not None:
        if not resume:
            _fail(f"{path} is a bake store already: --resume (resume=True) continues it; remove it to start over")
        diff = _differences(record, plan)
        if diff:
            _fail(f"{path} holds another bake; it differs in " + "; ".join(diff))
        return True
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        _fail(f"cannot create {path}: {parent} is not a folder")
    # Whether the folder can be written is known only by writing (root
    # passes every permission check, not a read-only mount's).
    made = not os.path.lexists(path)
    try:
        if made:
            os.mkdir(path)
        probe = os.path.join(path, f".probe-{uuid.uuid4().hex}")
        with open(probe, "wb"):
            pass
        os.remove(probe)
    except OSError as e:
        _fail(f"cannot write into {path}: {e.strerror or e}")
    finally:
        if made and os.path.isdir(path):
            os.rmdir(path)
    return False


def _create_store(path, plan, existing):
    """Creates the store, or the arrays a stopped creation left out; checks the arrays there."""
    import zarr

    made = not os.path.lexists(path)
    try:
        os.makedirs(os.path.join(path, kDoneFolder), exist_ok=True)
        root = zarr.open_group(_store(path), mode="a")
        if not existing:
            root.attrs[kRecordKey] = plan.record()
        for name in plan.passes:
            dtype, tail = _LAYOUT[name]
            shape, chunks = plan.shape + tail, plan.chunks + tail
            if name in root:
                a = root[name]
                if a.shape != shape or a.chunks != chunks or a.dtype != np.dtype(dtype):
                    _fail(f"{path}/{name} is {a.shape} {a.dtype} in chunks {a.chunks}, not the record's")
                continue
            fill = 0 if dtype == "<u4" else float("nan")
            root.create(name, shape=shape, chunks=chunks, dtype=dtype, compressor=None, fill_value=fill,
                        write_empty_chunks=True)
    except OSError as e:
        if made:
            shutil.rmtree(path, ignore_errors=True)
        _fail(f"cannot write into {path}: {e.strerror or e}")


def _remove_partials(path, plan):
    """Removes temporaries that a stopped writer left (never a chunk's final name)."""
    for name in plan.passes:
        folder = os.path.join(path, name)
        for entry in os.listdir(folder) if os.path.isdir(folder) else ():
            if entry.endswith(".partial"):
                try:
                    os.remove(os.path.join(folder, entry))
                except FileNotFoundError:
                    pass


def _check_space(path, plan, missing):
    need = missing * plan.chunk_bytes()
    free = shutil.disk_usage(path if os.path.isdir(path) else os.path.dirname(os.path.abspath(path))).free
    if need > free:
        _fail(f"{path}: the {missing} chunks to write need {need / 1e9:.3g} GB, the disk has {free / 1e9:.3g} GB free")


# ---------------------------------------------------------------------------
# Running the chunks.


def _bar(total, quiet, chunks):
    from tqdm import tqdm

    return tqdm(total=total, disable=quiet, unit="pt", unit_scale=True, dynamic_ncols=True, file=sys.stderr,
                desc=f"bake {chunks} chunks", smoothing=0.1, mininterval=0.5)


def _run_local(path, plan, missing, threads, bar):
    import warnings

    import dask
    from dask.callbacks import Callback

    cores = len(os.sched_getaffinity(0))
    workers = min(cores if not threads else threads, len(missing))
    library = max(1, cores // workers)
    tasks = [dask.delayed(_bake_chunk, pure=False)(path, plan, index, library,
                                                    dask_key_name=f"chunk-{_chunk_key(index)}") for index in missing]

    def posttask(key, result, dsk, state, worker):
        bar.update(result)

    with Callback(posttask=posttask), warnings.catch_warnings():
        # Local threads were asked for, whatever distributed.Client the process has.
        warnings.filterwarnings("ignore", "Running on a single-machine scheduler", UserWarning)
        dask.compute(*tasks, scheduler="threads", num_workers=workers)


def _run_cluster(client, path, plan, missing, bar):
    from distributed import as_completed

    futures = client.map(_bake_chunk, [path] * len(missing), [plan] * len(missing), missing, pure=False,
                         key=[f"chunk-{_chunk_key(i)}-{uuid.uuid4().hex[:8]}" for i in missing])
    try:
        for future in as_completed(futures):
            bar.update(future.result())
    except BaseException:
        client.cancel(futures)
        raise


def bake(path, shape, origin=(0.0, 0.0, 0.0), spacing=1.0, *, passes=("F1", "F2"), metric="euclidian", weights=_UNIT,
         octaves=0, gain=0.5, color1=_COLOR1, color2=_COLOR2, period=None, seed=0, tile=None, chunks=None,
         client=None, threads=None, resume=False, quiet=False, vdb=None, exr=None):
    """Bakes passes of the basis and the texture over a grid into the Zarr store at `path`.

    The grid is ``tulo_cellular.grid(shape, origin, spacing)`` (shape: 2 or 3
    sizes, z, y, x order as numpy's; origin and spacing: x, y, z, spacing
    one number or three), or with tile=N (periods, 1-8) the seamless tile
    ``tulo_cellular.tile_grid(shape, period, depth=origin[2], periods=N)``
    (a grid of shape * N). passes: some of PASSES, a list or a comma-separated
    string. The look (metric, weights, octaves, gain, color1, color2, period,
    seed) is as for ``basis``, ``value`` and ``texture``. chunks: sizes in the
    grid's order (default 128 along each axis, 1024 for a slice).

    client: a ``distributed.Client`` to bake on its cluster; otherwise Dask's
    local threads, ``threads`` of them (None or 0: one per core). resume:
    continue the store at `path`, computing only the chunks not marked done
    (refused if the store records another grid, look, chunk shape or passes).
    quiet: no progress bar. vdb, exr: also export the store to an OpenVDB
    file (a 3-D bake; 2-D as one slice) or an EXR (a 2-D bake).

    Returns a BakeResult; raises BakeError or TypeError before any work for
    bad arguments or a store it may not write.
    """
    start = time.monotonic()
    plan = _plan(shape, origin, spacing, chunks, passes, metric, weights, octaves, gain, color1, color2, period, seed,
                 tile)
    if threads is not None:
        if client is not None:
            _fail("threads sets Dask's local threads; with a cluster its workers have their own")
        (threads,) = _integers(threads, "threads", (1,), 0)
    if exr is not None and len(plan.shape) != 2:
        _fail(f"an EXR holds a 2-D bake; this one has shape {plan.shape} (use vdb=)")
    path = os.path.abspath(os.fspath(path))  # workers may run elsewhere than here
    for target in (vdb, exr):
        if target is not None:
            _check_output(os.fspath(target))
    existing = _check_store(path, plan, resume)
    done = _done_chunks(path, plan) if existing else set()
    total = math.prod(plan.grid_chunks())
    _check_space(path, plan, total - len(done))
    _create_store(path, plan, existing)
    _remove_partials(path, plan)
    missing = [i for i in itertools.product(*(range(n) for n in plan.grid_chunks())) if i not in done]
    points = sum(math.prod(s.stop - s.start for s in plan.block(i)) for i in missing)
    with _bar(points, quiet, len(missing)) as bar:
        if missing and client is not None:
            _run_cluster(client, path, plan, missing, bar)
        elif missing:
            _run_local(path, plan, missing, threads, bar)
    _remove_partials(path, plan)
    if vdb is not None:
        from ._export import write_vdb

        write_vdb(path, os.fspath(vdb))
    if exr is not None:
        from ._export import write_exr

        write_exr(path, os.fspath(exr))
    return BakeResult(path, total, len(missing), total - len(missing), points, time.monotonic() - start)


def _check_output(target):
    """An export's path: its folder must exist and be writable, and it must not be a folder."""
    if os.path.isdir(target):
        _fail(f"cannot write {target}: it is a folder")
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        _fail(f"cannot write {target}: {folder} is not a folder")
    probe = os.path.join(folder, f".probe-{uuid.uuid4().hex}")
    try:
        with open(probe, "wb"):
            pass
        os.remove(probe)
    except OSError as e:
        _fail(f"cannot write {target}: {e.strerror or e}")


# ---------------------------------------------------------------------------
# The command.


def _numbers(kind, low, high):
    def parse(text):
        try:
            values = [kind(v) for v in text.split(",")]
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not {low}{'' if low == high else f' to {high}'} "
                                             f"comma-separated {'whole numbers' if kind is int else 'numbers'}")
        if not low <= len(values) <= high:
            raise argparse.ArgumentTypeError(f"'{text}' has {len(values)} numbers, not {low}"
                                             f"{'' if low == high else f' to {high}'}")
        return values
    return parse


def _metric(text):
    return int(text) if text.lstrip("-").isdigit() else text


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"cellular-bake: {message}\n")


def _parser():
    p = _Parser(prog="cellular-bake", description="Bakes passes of the cellular basis and texture over a 2-D or 3-D "
                "grid, chunk by chunk, into a Zarr store (one array per pass), on local threads or a Dask cluster.",
                epilog="Exit codes: 0 done; 2 a bad option or a store that cannot be written, found before any work; "
                "1 a failure while working (chunks marked done are kept: --resume continues); 128 + the signal "
                "when stopped by one (130 for Ctrl-C).")
    p.add_argument("out", metavar="OUT.zarr", help="the store: a new path, an empty folder, or with --resume a store "
                   "of the same bake")
    g = p.add_argument_group("grid (the points of tulo_cellular.grid(shape, origin, spacing))")
    g.add_argument("--shape", required=True, type=_numbers(int, 2, 3), metavar="[NZ,]NY,NX",
                   help="points along each axis, numpy's order: x runs along the last")
    g.add_argument("--origin", type=_numbers(float, 3, 3), default=[0.0, 0.0, 0.0], metavar="X,Y,Z",
                   help="the first point (default 0,0,0)")
    g.add_argument("--spacing", type=_numbers(float, 1, 3), default=[1.0], metavar="S|SX,SY,SZ",
                   help="the distance between points (default 1)")
    g.add_argument("--tile", action="store_true",
                   help="the points of tulo_cellular.tile_grid(shape, period, depth=origin z, periods): a seamless "
                   "tile of --shape pixels a period (--period along each of its axes; no --spacing)")
    g.add_argument("--periods", type=int, metavar="N", help="with --tile: the periods along each axis, 1-8 (default 1)")
    g.add_argument("--chunks", type=_numbers(int, 2, 3), metavar="[CZ,]CY,CX",
                   help="points of a chunk along each axis, the shape's order (default 128 each, 1024 for a slice)")
    g = p.add_argument_group("look (the preview's option names)")
    g.add_argument("--passes", default="F1,F2", metavar="P,P,...", help=f"some of {','.join(PASSES)} (default F1,F2)")
    g.add_argument("--metric", type=_metric, default=1, metavar="N",
                   help="1 Euclidian, 2 Manhattan, 3 Chessboard, 4 Minkowski, 5 Superquadratic (or the name)")
    g.add_argument("--weights", type=_numbers(float, 3, 3), default=list(_UNIT), metavar="X,Y,Z",
                   help="metric weights (default 1,1,1), as basis() takes them")
    g.add_argument("--octaves", type=int, default=0, metavar="N", help="finer octaves for t and rgba, 0-5 (default 0)")
    g.add_argument("--gain", type=float, default=0.5, metavar="G", help="gain for t and rgba (default 0.5)")
    g.add_argument("--color1", type=_numbers(float, 3, 4), default=list(_COLOR1), metavar="R,G,B[,A]",
                   help="colour where t is 1 (linear)")
    g.add_argument("--color2", type=_numbers(float, 3, 4), default=list(_COLOR2), metavar="R,G,B[,A]",
                   help="colour where t is 0 (linear)")
    g.add_argument("--period", type=_numbers(int, 2, 3), metavar="PX,PY[,PZ]",
                   help="lattice cells after which the pattern repeats along x, y (and z); 0 none (default)")
    g.add_argument("--seed", type=int, default=0, metavar="N", help="the pattern's seed, 0 to 2^32-1 (default 0)")
    g = p.add_argument_group("work and output")
    g.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler (tcp://HOST:PORT); default local threads")
    g.add_argument("--threads", type=int, metavar="N", help="local threads (default 0: one per core)")
    g.add_argument("--resume", action="store_true", help="continue the store's bake: only the missing chunks")
    g.add_argument("--vdb", metavar="OUT.vdb", help="also an OpenVDB file: a float grid per float pass")
    g.add_argument("--exr", metavar="OUT.exr", help="also an EXR of a 2-D bake: a channel per pass")
    g.add_argument("--quiet", action="store_true", help="no progress bar and no summary line")
    g.add_argument("--version", action="version", version=f"cellular-bake {__version__}")
    return p


class _Stopped(BaseException):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _on_signal(signum, frame):
    raise _Stopped(signum)


def _joined_negatives(parser, argv):
    """argv with each option's value that starts with a minus sign (-8,-8,-8,
    -1.5) joined to its option, which argparse would take for an option."""
    takes_value = {s for a in parser._actions if a.option_strings and a.nargs is None for s in a.option_strings}
    out = []
    for arg in argv:
        if out and out[-1] in takes_value and len(arg) > 1 and arg[0] == "-" and (arg[1].isdigit() or arg[1] == "."):
            out[-1] = f"{out[-1]}={arg}"
        else:
            out.append(arg)
    return out


def main(argv=None):
    """The command cellular-bake; returns its exit code."""
    parser = _parser()
    args = parser.parse_args(_joined_negatives(parser, sys.argv[1:] if argv is None else list(argv)))
    if args.periods is not None and not args.tile:
        print("cellular-bake: --periods is for a --tile", file=sys.stderr)
        return 2
    args.tile = (1 if args.periods is None else args.periods) if args.tile else None
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _on_signal)

    def say(message):
        print(f"cellular-bake: {message}", file=sys.stderr)

    client = None
    try:
        if args.scheduler is not None:
            if args.threads is not None:
                say("--threads sets the local threads; with --scheduler the workers have their own")
                return 2
            # The arguments first: a connection may take its whole timeout.
            _plan(args.shape, args.origin, args.spacing, args.chunks, args.passes, args.metric, args.weights,
                  args.octaves, args.gain, args.color1, args.color2, args.period, args.seed, args.tile)
            try:
                from distributed import Client

                client = Client(args.scheduler, timeout="10s")
            except (OSError, ValueError, TypeError) as e:
                say(f"cannot reach the scheduler {args.scheduler}: {e}")
                return 2
        result = bake(args.out, args.shape, args.origin, args.spacing, passes=args.passes, metric=args.metric,
                      weights=args.weights, octaves=args.octaves, gain=args.gain, color1=args.color1,
                      color2=args.color2, period=args.period, seed=args.seed, tile=args.tile, chunks=args.chunks,
                      client=client,
                      threads=args.threads, resume=args.resume, quiet=args.quiet, vdb=args.vdb, exr=args.exr)
    except (BakeError, TypeError) as e:
        say(str(e))
        return 2
    except KeyboardInterrupt:
        say("stopped; the chunks marked done are kept: --resume continues")
        return 128 + signal.SIGINT
    except _Stopped as e:
        say(f"stopped by signal {e.signum}; the chunks marked done are kept: --resume continues")
        return 128 + e.signum
    except Exception as e:  # a failure while working: a write, a worker, the cluster
        say(f"failed: {type(e).__name__}: {e}; the chunks marked done are kept: --resume continues")
        return 1
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        rate = result.points / result.seconds if result.seconds > 0 else 0.0
        say(f"{result.path}: {result.computed} chunks computed, {result.skipped} found done, of {result.chunks}; "
            f"{result.points} points in {result.seconds:.2f} s ({rate / 1e6:.1f} M points/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
