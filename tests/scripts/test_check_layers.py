#!/usr/bin/env python3
"""The layer check over small trees written for each case: an include against
the layer order fails naming its file and line, the includes the order allows
pass, and the real src/ passes."""
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SCRIPT = os.path.join(ROOT, "scripts", "check_layers.py")


def run_check(src):
    return subprocess.run([sys.executable, SCRIPT, src], capture_output=True, text=True)


def write_tree(top, files):
    for rel, text in files.items():
        path = os.path.join(top, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)


# One header in every layer, each including nothing.
BASE = {
    "core/memarena.h": "#pragma once\n",
    "target/n3d_framebuffer.h": "#pragma once\n",
    "container/n3d_io.h": "#pragma once\n",
    "image/texel.h": "#pragma once\n",
    "raster/n3d_raster.h": "#pragma once\n",
    "n3d/n3d.h": "#pragma once\n",
    "host/sdl2_host.h": "#pragma once\n#include <SDL.h>\n",
    "vexil/demosys.h": "#pragma once\n",
    "tools/demo.h": "#pragma once\n",
}


class CheckLayers(unittest.TestCase):
    def test_real_source_tree_passes(self):
        r = run_check(os.path.join(ROOT, "src"))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(r.stdout, "")

    def test_includes_against_the_order_fail_naming_file_and_line(self):
        # (file, its text, why); the offending include is always on line 3.
        cases = [
            ("core/cycles_measure.cpp", '#include "core/memarena.h"\n\n#include "host/sdl2_host.h"\n',
             "core includes the host"),
            ("image/n2d.h", '#pragma once\n\n#include "n3d/n3d.h"\n', "image includes the renderer"),
            ("target/n3d_framebuffer.cpp", '#include "target/n3d_framebuffer.h"\n\n#include "image/texel.h"\n',
             "the frame-context records include the image layer above them"),
            ("target/n3d_clear.cpp", '#include "core/memarena.h"\n\n#include "container/n3d_io.h"\n',
             "one piece below the image layer includes the other"),
            ("raster/n3d_tri.cpp", '#include "image/texel.h"\n\n#include "n3d/n3d.h"\n',
             "a rasterizer includes the renderer above it"),
            ("raster/n3d_tri2.cpp", '#include "image/texel.h"\n\n#include "container/n3d_io.h"\n',
             "a rasterizer includes the file container"),
            ("host/sdl2_host.cpp", '#include "host/sdl2_host.h"\n\n#include "vexil/demosys.h"\n',
             "the host includes the demo system"),
            ("vexil/vexil.cpp", '#include "host/sdl2_host.h"\n\n#include "tools/demo.h"\n',
             "the demo system includes the tools"),
            ("vexil/vexil_scene.cpp", '#include "vexil/demosys.h"\n\n  #  include "tools/demo.h"\n',
             "spaces around the hash"),
            ("vexil/vexil_image.cpp", '#include "vexil/demosys.h"\n\n#include <SDL_surface.h>\n',
             "SDL outside the host"),
        ]
        for rel, text, why in cases:
            with self.subTest(why=why), tempfile.TemporaryDirectory() as top:
                src = os.path.join(top, "src")
                write_tree(src, dict(BASE, **{rel: text}))
                r = run_check(src)
                self.assertEqual(r.returncode, 1, why)
                self.assertIn(f"src/{rel}:3: ", r.stdout, why)
                self.assertEqual(len(r.stdout.splitlines()), 1, f"{why}: only the bad line\n{r.stdout}")

    def test_includes_down_the_order_pass(self):
        files = dict(BASE)
        files.update({
            "image/n2d.h": '#include "core/memarena.h"\n#include "target/n3d_framebuffer.h"\n',
            "image/palette.cpp": '#include "container/n3d_io.h"\n#include "texel.h"\n',  # beside the file
            "raster/n3d_tri.cpp": '#include "image/texel.h"\n#include "target/n3d_framebuffer.h"\n',
            "n3d/n3d.cpp": '#include "raster/n3d_raster.h"\n#include "container/n3d_io.h"\n',
            "host/valkyrie_context.h": '#include "image/texel.h"\n#include "n3d/n3d.h"\n',
            "vexil/vexil.cpp": '#include "host/sdl2_host.h"\n#include "n3d/n3d.h"\n',
            "tools/demo.cpp": '#include "vexil/demosys.h"\n#include "host/sdl2_host.h"\n',
            "app/sdl2_main.cpp": '#include <SDL.h>\n#include "vexil/demosys.h"\n#include "tools/demo.h"\n',
            "core/io.cpp": '#include <stdio.h>\n#include "stb/outside_src.h"\n// #include "host/sdl2_host.h"\n',
        })
        with tempfile.TemporaryDirectory() as top:
            src = os.path.join(top, "src")
            write_tree(src, files)
            r = run_check(src)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_a_folder_outside_every_layer_fails(self):
        with tempfile.TemporaryDirectory() as top:
            src = os.path.join(top, "src")
            write_tree(src, dict(BASE, **{"audio/mixer.cpp": '#include "core/memarena.h"\n'}))
            r = run_check(src)
            self.assertEqual(r.returncode, 1)
            self.assertIn("src/audio/mixer.cpp:1: folder \"audio\" belongs to no layer", r.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
