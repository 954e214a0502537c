#!/usr/bin/python3
"""Independent PNG reader and box reducer for the bitmap tests.

Usage:
  pil_reference.py dump IN_PNG OUT_RAW     the decoded pixels as raw bytes
  pil_reference.py reduce2 IN_PNG OUT_RAW  the image reduced 2:1 by Pillow's box reduce

Prints "MODE WIDTH HEIGHT" of the written pixels on standard output.
"""
import sys

from PIL import Image


def main():
    cmd, src, dst = sys.argv[1:4]
    img = Image.open(src)
    img.load()
    if cmd == "reduce2":
        img = img.reduce(2)
    elif cmd != "dump":
        sys.exit("unknown command " + cmd)
    with open(dst, "wb") as f:
        f.write(img.tobytes())
    print(img.mode, img.width, img.height)


if __name__ == "__main__":
    main()
