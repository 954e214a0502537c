#!/usr/bin/env python3
"""Checks the Windows program from the outside, with the cross toolchain's objdump.

  check_program.py exports <objdump> <quillfern.exe>
      The export table holds exactly NvOptimusEnablement and
      AmdPowerXpressRequestHighPerformance, each a 32-bit value 1 in a data
      section of the file.
  check_program.py zip <quillfern.zip>
      The zip holds the program, SDL2.dll and the three packs, at the places
      the program looks for them.
  check_program.py packs <quillfern.zip> <pack dir>...
      The zip's three packs are, byte for byte, pak0.vxf .. pak2.vxf of each
      pack dir (another build's assets/vexil/le: both builds ship the same
      production).
  check_program.py generated <quillfern.zip> <generator> <sample dir> <font>
      The zip's three packs are what the sample generator writes when run
      afresh into a directory of its own.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

PACKS = ["pak0.vxf", "pak1.vxf", "pak2.vxf"]

WANTED = {"NvOptimusEnablement", "AmdPowerXpressRequestHighPerformance"}


def fail(msg):
    print(msg)
    sys.exit(1)


def check_exports(objdump, exe):
    headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    sections = subprocess.run([objdump, "-h", exe], check=True, capture_output=True, text=True).stdout
    m = re.search(r"^ImageBase\s+([0-9a-fA-F]+)", headers, re.M)
    if not m:
        fail("no ImageBase in the headers")
    image_base = int(m.group(1), 16)

    eat = {}
    part = re.search(r"Export Address Table -- Ordinal Base \d+\n(.*?)\n\n", headers, re.S)
    if not part:
        fail("no export address table")
    for line in part.group(1).splitlines():
        m = re.match(r"\s*\[\s*(\d+)\]\s+\+base\[\s*\d+\]\s+([0-9a-fA-F]+)\s+Export RVA", line)
        if m:
            eat[int(m.group(1))] = int(m.group(2), 16)
    names = {}
    part = re.search(r"\[Ordinal/Name Pointer\] Table\n(.*?)\n\n", headers, re.S)
    if not part:
        fail("no export name table")
    for line in part.group(1).splitlines():
        m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)", line)
        if m:
            names[m.group(2)] = int(m.group(1))
    if set(names) != WANTED:
        fail("exports are %s, not %s" % (sorted(names), sorted(WANTED)))

    table = []
    for m in re.finditer(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+\S+\n\s+(.*)$",
                         sections, re.M):
        table.append((m.group(1), int(m.group(3), 16) - image_base, int(m.group(2), 16), int(m.group(4), 16),
                      m.group(5)))
    with open(exe, "rb") as f:
        data = f.read()
    for name in sorted(WANTED):
        rva = eat.get(names[name])
        if rva is None:
            fail("%s has no address" % name)
        where = [s for s in table if s[1] <= rva and rva + 4 <= s[1] + s[2]]
        if not where:
            fail("%s at RVA %#x lies in no section" % (name, rva))
        sec_name, sec_rva, _, file_off, flags = where[0]
        if "CODE" in flags or "CONTENTS" not in flags:
            fail("%s lies in %s (%s), not in a data section of the file" % (name, sec_name, flags))
        (value,) = struct.unpack_from("<I", data, file_off + rva - sec_rva)
        if value != 1:
            fail("%s is %d, not 1" % (name, value))
        print("%s = 1 in %s" % (name, sec_name))


def check_zip(path):
    with zipfile.ZipFile(path) as z:
        got = sorted(n for n in z.namelist() if not n.endswith("/"))
    want = sorted(["quillfern.exe", "SDL2.dll", "assets/vexil/le/pak0.vxf", "assets/vexil/le/pak1.vxf",
                   "assets/vexil/le/pak2.vxf"])
    if got != want:
        fail("the zip holds %s, not %s" % (got, want))
    print("zip holds %s" % ", ".join(got))


def check_packs(zip_path, dirs):
    with zipfile.ZipFile(zip_path) as z:
        shipped = {p: z.read("assets/vexil/le/" + p) for p in PACKS}
    for d in dirs:
        for p in PACKS:
            path = os.path.join(d, p)
            if not os.path.isfile(path):
                fail("%s is missing" % path)
            with open(path, "rb") as f:
                data = f.read()
            got = shipped[p]
            if data != got:
                differ = sum(1 for a, b in zip(data, got) if a != b) + abs(len(data) - len(got))
                first = next((i for i, (a, b) in enumerate(zip(data, got)) if a != b), min(len(data), len(got)))
                fail("%s in the zip (%d bytes) differs from %s (%d bytes) in %d bytes, first at offset %d" %
                     (p, len(got), path, len(data), differ, first))
            print("%s in the zip is %s (%d bytes)" % (p, path, len(data)))


def check_generated(zip_path, generator, sample_dir, font):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "assets", "vexil", "le")
        r = subprocess.run([generator, sample_dir, out, os.path.join(tmp, "work"), font], capture_output=True,
                           text=True)
        if r.returncode != 0:
            fail("%s exited with %d: %s" % (generator, r.returncode, r.stderr))
        check_packs(zip_path, [out])


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "exports":
        check_exports(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "zip":
        check_zip(sys.argv[2])
    elif len(sys.argv) >= 4 and sys.argv[1] == "packs":
        check_packs(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) == 6 and sys.argv[1] == "generated":
        check_generated(*sys.argv[2:])
    else:
        fail(__doc__)
