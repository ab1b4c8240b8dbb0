"""Exports of a bake store: an OpenVDB file (3-D or 2-D) and an EXR (2-D).

Both read the store chunk row by chunk row and write to a temporary beside
the final name, renamed into place once complete, so an export stopped half
way leaves no file under the final name.

OpenVDB: one grid per pass, named as the pass: a float grid for ``t``,
``F1``, ``F2``, ``F2-F1``, a vec3 grid for ``offset``, and for ``rgba`` a
vec3 grid ``Cd`` (r, g, b) and a float grid ``alpha``. ``id`` has no grid
(a 32-bit id has no exact float). Voxel (i, j, k) is the grid point of x
index i, y index j, z index k (the store's ``[k, j, i]``), and the grids'
transform puts its centre at origin + (i, j, k) * spacing: voxel size =
spacing, the first voxel's centre at the origin. A 2-D bake is the slice
k = 0. Every grid carries the bake's record as the string metadata
``tulo_cellular.bake``. OpenVDB's writer takes whole grids: the export
holds each grid in memory (sparse where values equal the background, 0).

EXR: one scanline image, uncompressed, data window (0, 0) to (width - 1,
height - 1), row y = the store's row y. Channels: ``t``, ``R``/``G``/``B``/
``A`` for ``rgba`` (colour times alpha, as EXR readers expect), ``F1``,
``F2``, ``F2-F1``, ``id`` (32-bit unsigned), ``offset.X/Y/Z``; the bake's
record as the string attribute ``tulo_cellular.bake``.
"""

import json
import os
import struct
import uuid

import numpy as np

_VDB_FLOAT = ("t", "F1", "F2", "F2-F1")


def _open(path):
    import zarr

    from ._bake import kRecordKey

    root = zarr.open_group(zarr.DirectoryStore(path), mode="r")
    return root, dict(root.attrs[kRecordKey])


def _placement(record):
    """The grid's first point and spacing along x, y, z; for a tile, whose
    centres are floats placed for exactness, its first centre and the mean
    step (the points lie within half a float step of that regular grid)."""
    if not record.get("tile"):
        return record["origin"], record["spacing"]
    from ._bake import _tile_line

    shape, period, tile = record["shape"], record["period"], record["tile"]
    origin, spacing = list(record["origin"]), [0.0, 0.0, 0.0]
    for axis in range(len(shape)):
        pixels = shape[len(shape) - 1 - axis] // tile
        line = _tile_line(pixels, period[axis], max(tile, 2)).astype(np.float64)  # two points at least
        origin[axis] = float(line[0])
        spacing[axis] = float(line[-1] - line[0]) / (len(line) - 1)
    if len(shape) == 2:
        spacing[2] = spacing[0]
    return origin, spacing


def _rows(record):
    """Slices of the grid's first axis, one chunk row each."""
    size, step = record["shape"][0], record["chunks"][0]
    return [slice(s, min(s + step, size)) for s in range(0, size, step)]


def _temporary(target):
    folder, name = os.path.split(os.path.abspath(target))
    return os.path.join(folder, f".{name}.{uuid.uuid4().hex}.partial")


def _replace(temporary, target):
    with open(temporary, "rb+") as f:
        os.fsync(f.fileno())
    os.replace(temporary, target)


def write_vdb(path, target):
    import pyopenvdb as vdb

    root, record = _open(path)
    origin, spacing = _placement(record)
    matrix = [[spacing[0], 0.0, 0.0, 0.0], [0.0, spacing[1], 0.0, 0.0], [0.0, 0.0, spacing[2], 0.0],
              [origin[0], origin[1], origin[2], 1.0]]
    meta = json.dumps(record, separators=(",", ":"))
    grids = {}

    def grid(name, kind):
        if name not in grids:
            g = kind()
            g.name = name
            g.transform = vdb.createLinearTransform(matrix)
            g["tulo_cellular.bake"] = meta
            grids[name] = g
        return grids[name]

    three_d = len(record["shape"]) == 3
    for rows in _rows(record):
        for name in record["passes"]:
            if name == "id":
                continue
            block = root[name][rows]
            # The store is indexed [z, y, x] (a slice [y, x]: the rows are
            # along y); a grid is filled from an array indexed [x, y, z].
            ijk = (0, 0, rows.start) if three_d else (0, rows.start, 0)
            if not three_d:
                block = block[np.newaxis]
            if name in _VDB_FLOAT:
                parts = [(name, vdb.FloatGrid, block)]
            elif name == "offset":
                parts = [(name, vdb.Vec3SGrid, block)]
            else:  # rgba
                parts = [("Cd", vdb.Vec3SGrid, block[..., :3]), ("alpha", vdb.FloatGrid, block[..., 3])]
            for grid_name, kind, data in parts:
                data = np.ascontiguousarray(np.swapaxes(data, 0, 2))
                grid(grid_name, kind).copyFromArray(data, ijk=ijk)
    temporary = _temporary(target)
    try:
        vdb.write(temporary, grids=list(grids.values()))
        _replace(temporary, target)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)


# EXR's pixel types and the header's attribute encodings (OpenEXR file layout).
kExrUint, kExrFloat = 0, 2


def _attribute(name, kind, payload):
    return name.encode() + b"\0" + kind.encode() + b"\0" + struct.pack("<i", len(payload)) + payload


def _exr_channels(passes):
    """(channel name, pixel type, pass, component) sorted as EXR lists channels."""
    channels = []
    for name in passes:
        if name == "rgba":
            channels += [(c, kExrFloat, name, i) for i, c in enumerate("RGBA")]
        elif name == "offset":
            channels += [(f"offset.{c}", kExrFloat, name, i) for i, c in enumerate("XYZ")]
        else:
            channels.append((name, kExrUint if name == "id" else kExrFloat, name, None))
    return sorted(channels, key=lambda c: c[0].encode())


def write_exr(path, target):
    root, record = _open(path)
    height, width = record["shape"]
    channels = _exr_channels(record["passes"])
    chlist = b"".join(c.encode() + b"\0" + struct.pack("<iB3xii", kind, 0, 1, 1) for c, kind, _, _ in channels) + b"\0"
    window = struct.pack("<iiii", 0, 0, width - 1, height - 1)
    header = b"".join([
        b"\x76\x2f\x31\x01", struct.pack("<I", 2),
        _attribute("channels", "chlist", chlist),
        _attribute("compression", "compression", b"\0"),
        _attribute("dataWindow", "box2i", window),
        _attribute("displayWindow", "box2i", window),
        _attribute("lineOrder", "lineOrder", b"\0"),
        _attribute("pixelAspectRatio", "float", struct.pack("<f", 1.0)),
        _attribute("screenWindowCenter", "v2f", struct.pack("<ff", 0.0, 0.0)),
        _attribute("screenWindowWidth", "float", struct.pack("<f", 1.0)),
        _attribute("tulo_cellular.bake", "string", json.dumps(record, separators=(",", ":")).encode()),
        b"\0",
    ])
    line = 8 + width * 4 * len(channels)
    first = len(header) + 8 * height
    temporary = _temporary(target)
    try:
        with open(temporary, "wb") as f:
            f.write(header)
            f.write((first + line * np.arange(height, dtype=np.uint64)).astype("<u8").tobytes())
            for rows in _rows(record):
                blocks = {name: root[name][rows] for name in record["passes"]}
                if "rgba" in blocks:  # colour times alpha
                    rgba = blocks["rgba"]
                    blocks["rgba"] = np.concatenate([rgba[..., :3] * rgba[..., 3:], rgba[..., 3:]], axis=-1)
                n = rows.stop - rows.start
                out = np.empty((n, line), dtype=np.uint8)
                out[:, 0:4] = np.arange(rows.start, rows.stop, dtype="<i4")[:, None].view(np.uint8)
                out[:, 4:8] = np.array([line - 8], dtype="<i4").view(np.uint8)
                at = 8
                for _, kind, name, part in channels:
                    data = blocks[name] if part is None else blocks[name][..., part]
                    out[:, at:at + 4 * width] = np.ascontiguousarray(data, dtype="<u4" if kind == kExrUint else "<f4") \
                        .view(np.uint8).reshape(n, 4 * width)
                    at += 4 * width
                f.write(out.tobytes())
        _replace(temporary, target)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
