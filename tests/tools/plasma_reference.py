#!/usr/bin/env python3
"""Plasma frame computed with numpy in single precision, independently of the
system's code, plus the sine table, the plasma byte table and its colours.

usage: plasma_reference.py <w> <h> <t> <speeds|none> <out_pixels> <out_margin> <out_tables>
  speeds: four comma-separated factors knob x 2 x slider for ps2, ps3, ps6, ps7
  out_pixels: w x h little-endian uint16 ARGB1555 pixels, row by row
  out_margin: w x h bytes, 1 where a colour index came from a value within
              1e-3 of an integer (single-precision rounding of the trigonometry
              can move such an index either way), else 0
  out_tables: 320 int8 sine entries, 256 table bytes, 256 uint16 colours"""
import math
import sys

import numpy as np

f32 = np.float32


def tables():
    sine = np.array([int(math.sin(i / 256.0 * 2.0 * math.pi) * 127.0) for i in range(320)], dtype=np.int8)
    table = np.array([int(255.0 * (1.0 + math.sin(math.pi * i / 255.0))) & 255 for i in range(256)], dtype=np.uint8)
    lut = np.zeros(256, dtype=np.uint16)
    for i in range(256):
        v = f32(i) / f32(255)
        r = int(f32(31) * (f32(0.34) + (f32(0.10) - f32(0.34)) * v))
        g = int(f32(31) * (f32(0.05) + (f32(0.0) - f32(0.05)) * v))
        b = int(f32(31) * (f32(0.44) + (f32(0.07) - f32(0.44)) * v))
        lut[i] = 0x8000 | r << 10 | g << 5 | b
    return sine, table, lut


def main():
    w, h = int(sys.argv[1]), int(sys.argv[2])
    t = f32(float(sys.argv[3]))
    ps0, ps1, ps2, ps3, ps4, ps5, ps6, ps7 = (f32(0.01), f32(0.1), f32(0.2), f32(1.0) / f32(3.0), f32(0.3),
                                              f32(0.6), f32(1.0) / f32(3.0), f32(0.2))
    if sys.argv[4] != "none":
        k = [f32(float(x)) for x in sys.argv[4].split(",")]
        ps2, ps3, ps6, ps7 = ps2 * k[0], ps3 * k[1], ps6 * k[2], ps7 * k[3]
    pi = f32(math.pi)
    sine, table, lut = tables()

    xs = np.arange(w, dtype=f32)[None, :] / f32(w) - f32(0.5)
    ys = np.arange(h, dtype=f32)[:, None] / f32(h) - f32(0.5)
    s1 = np.sin(np.sin(f32(2) * ps0 * t * pi) + xs)
    s2 = np.sin(np.cos(f32(2) * ps1 * t * pi) + ys)
    a = np.sin(ps2 * t) + s1
    b = np.cos(ps3 * t) + s2
    c = np.cos(ps6 * t) + (ps4 + s1)
    d = np.sin(ps7 * t) + (ps5 + s2)
    ra = f32(255) * np.sqrt(a * a + b * b)
    rc = f32(255) * np.sqrt(c * c + d * d)
    i0 = np.trunc(np.sin(f32(150) * s1 + t)).astype(np.int64) + (np.trunc(ra).astype(np.int64) & 255)
    i1 = np.trunc(np.cos(f32(50) * s2 + t)).astype(np.int64) + (np.trunc(rc).astype(np.int64) & 255)
    i0 = table[table[i0 & 255]]
    i1 = table[table[i1 & 255]]
    c0 = lut[i0].astype(np.int64)
    c1 = lut[i1].astype(np.int64)
    r = np.minimum(((c0 >> 10) & 31) + ((c1 >> 10) & 31), 31)
    g = np.minimum(((c0 >> 5) & 31) + ((c1 >> 5) & 31), 31)
    bl = np.minimum((c0 & 31) + (c1 & 31), 31)
    px = (0x8000 | r << 10 | g << 5 | bl).astype("<u2")

    def near(v):
        v = v.astype(np.float64)
        fr = v - np.floor(v)
        return np.minimum(fr, 1.0 - fr) < 1e-3

    margin = (near(ra) | near(rc)).astype(np.uint8)
    px = np.broadcast_to(px, (h, w))
    margin = np.broadcast_to(margin, (h, w))
    open(sys.argv[5], "wb").write(np.ascontiguousarray(px).tobytes())
    open(sys.argv[6], "wb").write(np.ascontiguousarray(margin).tobytes())
    open(sys.argv[7], "wb").write(sine.tobytes() + table.tobytes() + lut.astype("<u2").tobytes())
    return 0


if __name__ == "__main__":
    sys.exit(main())
