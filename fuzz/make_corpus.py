#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora: corpus/ in the layout shader_fuzzer.cpp
reads, and differential_corpus/ in the one differential_fuzzer.cpp reads, a
handful of meaningful inputs each."""
import os
import struct

def params(c1=(1, .8, .3, 1), c2=(.1, .2, .5, 1), metric=1, w=(1, 1, 1), octaves=2, gain=.6):
    return struct.pack("<4f4fi3fif", *c1, *c2, metric, *w, octaves, gain)

def offset(off):
    # The fuzzer folds the raw word u into u % 2049 - 1024 (and 0 stays 0).
    return struct.pack("<I", 0 if off == 0 else off + 1024)

def seed(p, point, off=0, control=0, tags=b""):
    return p + struct.pack("<3f", *point) + offset(off) + bytes([control]) + tags

nan, inf = float("nan"), float("inf")
all_tags = (struct.pack("<i", 1) * 600) + struct.pack("<4f", .5, .25, .75, 1) * 8
seeds = {
    "plain": seed(params(), (1.5, -2.0, 0.3)),
    "connected-after": seed(params(), (0.1, 0.2, 0.3), 64, 0, all_tags),
    "connected-before": seed(params(metric=3), (4.0, -1.0, 2.5), -64, 0, all_tags),
    "null-answer": seed(params(metric=2), (0.5, 0.5, 0.5), 128, 4, all_tags),
    "null-handle": seed(params(metric=4), (7.0, 1.0, -3.0), 64, 1, all_tags),
    "missing-operation": seed(params(metric=5), (7.0, 1.0, -3.0), -100, 2, all_tags),
    "nan-point-gain-zero": seed(params(gain=0.0), (nan, 0.0, 0.0)),
    "huge-point": seed(params(octaves=9), (3.0e38, -1.0e7, 5.3e9)),
    "odd-weights": seed(params(metric=-7, w=(-1.0, 0.0, inf), octaves=-3, gain=-1.0), (0.0, 0.0, 0.0)),
}
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)


# differential_fuzzer: metric, octaves, three weight choices (special index
# in bits 3-7, ulp move in the low bits; 0xF0 and up: a raw float follows),
# point kind and its data, gain kind, raw gain, caller's mode.
def diff_seed(metric, octaves, weights, kind, kind_data, gain_kind=0, gain=0.5, mode=0):
    return (bytes([metric, octaves, *weights, kind]) + kind_data + bytes([gain_kind]) +
            struct.pack("<f", gain) + bytes([mode]))

unit = [0x03, 0x03, 0x03]  # special 0 (1.0), no move
diff_seeds = {
    "raw-point": diff_seed(0, 0, unit, 0, struct.pack("<3f", 1.5, -2.0, 0.3)),
    "feature-point": diff_seed(1, 2, unit, 1, bytes([3, 250, 7, 1, 0x1B, 3])),
    "midway": diff_seed(2, 0, [0x6B, 0x13, 0x03], 2, bytes([5, 9, 200, 7, 3])),
    "cube-edge": diff_seed(3, 1, unit, 3, bytes([3]) + struct.pack("<2f", 0.5, 0.5) + bytes([2, 3, 255, 3, 4, 3])),
    "lattice-limit": diff_seed(0, 5, unit, 4, bytes([1, 5])),
    "near-previous": diff_seed(4, 3, [0x73, 0x7B, 0x83], 5, bytes([9, 3])),
    "threshold-gain": diff_seed(0, 0, unit, 0, struct.pack("<3f", 7.0, 1.0, -3.0), gain_kind=1),
    "ftz-daz-up-traps": diff_seed(1, 4, [0x1B, 0x23, 0x03], 0, struct.pack("<3f", 0.01, 0.02, 0.03), mode=0x7B),
}
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "differential_corpus")
os.makedirs(here, exist_ok=True)
for name, data in diff_seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
