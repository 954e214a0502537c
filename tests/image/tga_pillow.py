#!/usr/bin/python3
"""Independent reader and writer of 8-bit colour-mapped TGA files for the TGA tests.

Usage:
  tga_pillow.py check TGA RAW   Pillow reads TGA; it must be mode P and match RAW
  tga_pillow.py write TGA RAW   Pillow writes RAW as an uncompressed mode P TGA

RAW holds: width and height as two little-endian u16, the colour count as a
little-endian u16, count x (R, G, B), then width x height indices, top row first.
Prints "ok" on success; a mismatch is described and exits 1.
"""
import struct
import sys

from PIL import Image


def read_raw(path):
    with open(path, "rb") as f:
        data = f.read()
    w, h, n = struct.unpack_from("<HHH", data, 0)
    palette = list(data[6:6 + 3 * n])
    pixels = list(data[6 + 3 * n:6 + 3 * n + w * h])
    return w, h, palette, pixels


def main():
    cmd, tga, raw = sys.argv[1:4]
    w, h, palette, pixels = read_raw(raw)
    if cmd == "write":
        img = Image.new("P", (w, h))
        img.putpalette(palette)
        img.putdata(pixels)
        img.save(tga, format="TGA")
    elif cmd == "check":
        img = Image.open(tga)
        img.load()
        if img.format != "TGA" or img.mode != "P":
            sys.exit("format %s mode %s" % (img.format, img.mode))
        if img.size != (w, h):
            sys.exit("size %r, expected %r" % (img.size, (w, h)))
        got = img.getpalette()[:len(palette)]
        if got != palette:
            sys.exit("palette %r, expected %r" % (got[:24], palette[:24]))
        got_pixels = list(img.getdata())
        if got_pixels != pixels:
            bad = next(i for i in range(len(pixels)) if got_pixels[i] != pixels[i])
            sys.exit("pixel %d is %d, expected %d" % (bad, got_pixels[bad], pixels[bad]))
    else:
        sys.exit("unknown command " + cmd)
    print("ok")


if __name__ == "__main__":
    main()
