#!/usr/bin/python3
"""Independent IMA ADPCM reference for the music decoder's tests.

Usage: ima_reference.py STEREO_CODES OUT_PCM

STEREO_CODES holds one byte per stereo frame (low nibble left, high nibble
right; an even number of frames). Each channel is packed into a mono stream,
high nibble first, as audioop expects, decoded by audioop.adpcm2lin from state
(0, 0), and OUT_PCM receives the left samples then the right samples as
little-endian signed 16-bit values.
"""
import sys
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import audioop


def pack_mono(codes):
    return bytes((codes[i] << 4) | codes[i + 1] for i in range(0, len(codes), 2))


def main():
    frames = open(sys.argv[1], "rb").read()
    if len(frames) % 2:
        sys.exit("frame count must be even")
    left = [b & 15 for b in frames]
    right = [b >> 4 for b in frames]
    out = b""
    for codes in (left, right):
        pcm, _state = audioop.adpcm2lin(pack_mono(codes), 2, None)
        if sys.byteorder != "little":
            pcm = audioop.byteswap(pcm, 2)
        out += pcm
    open(sys.argv[2], "wb").write(out)


if __name__ == "__main__":
    main()
