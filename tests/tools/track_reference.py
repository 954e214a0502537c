#!/usr/bin/env python3
"""Decodes a controller-track file with Python's struct module, independently of
the system's readers, and prints its fields one a line (floats as repr).

usage: track_reference.py track2|track <file> <little|big>
  track2: max_pos, keys_count, pos, then max_pos x keys_count floats
  track:  ps_count, keys_count, ticks_per_key, loops, then ps_count x keys_count
          floats, ps_count floats ps_min, ps_count floats ps_max
The file must hold exactly that many bytes."""
import struct
import sys


def main():
    kind, path, order = sys.argv[1], sys.argv[2], sys.argv[3]
    bo = "<" if order == "little" else ">"
    data = open(path, "rb").read()
    if kind == "track2":
        max_pos, keys_count, pos = struct.unpack_from(bo + "3I", data, 0)
        n = max_pos * keys_count
        header = [max_pos, keys_count, pos]
        off = 12
    else:
        ps_count, keys_count, ticks, loops = struct.unpack_from(bo + "4I", data, 0)
        n = ps_count * keys_count + 2 * ps_count
        header = [ps_count, keys_count, ticks, loops]
        off = 16
    if len(data) != off + 4 * n:
        print("size %d, expected %d" % (len(data), off + 4 * n))
        return 1
    values = struct.unpack_from(bo + "%df" % n, data, off)
    for h in header:
        print(h)
    for v in values:
        print(repr(v))
    return 0


if __name__ == "__main__":
    sys.exit(main())
