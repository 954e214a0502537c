#!/usr/bin/env python3
"""The layer order of src/, written here once, and its check.

Each top-level folder of src/ is one layer, built as one library (CMakeLists.txt
links each only to layers below it). From the bottom up:

    core       the runtime: arenas, crash path, I/O, cycles, math, PowerPC ops
    target     the render-target records: framebuffers, depth and coverage
               buffers, frame contexts, texel formats
    container  the renderer's asset-file container (marker check, whole files)
    image      bitmaps, palettes, texel conversion, textures, 2D operations
    raster     the fifteen triangle rasterizers and their registry
    n3d        the 3D renderer: draw paths, meshes, pipeline, datapacks
    host       the SDL2 host, the display emulation, music playback
    vexil      the production: demo system, sequence, packs, scenes
    tools      the earlier production, the renderer test bench, tuning tools
    app        the program's entry

A file may include headers of its own folder and of the layers its layer lists
below (target and container stand side by side: neither includes the other).
SDL's headers belong to the host and the program alone. Every include against
that direction is printed as "path:line: ..." and the script exits 1; a folder
of src/ that belongs to no layer fails the same way.

    scripts/check_layers.py [src directory]     (default: src/ of this tree)
"""
import os
import re
import sys

# Each layer and the layers below it that its files may include.
LAYERS = {
    "core": (),
    "target": ("core",),
    "container": ("core",),
    "image": ("core", "target", "container"),
    "raster": ("core", "target", "image"),
    "n3d": ("core", "target", "container", "image", "raster"),
    "host": ("core", "target", "container", "image", "raster", "n3d"),
    "vexil": ("core", "target", "container", "image", "raster", "n3d", "host"),
    "tools": ("core", "target", "container", "image", "raster", "n3d", "host", "vexil"),
    "app": ("core", "target", "container", "image", "raster", "n3d", "host", "vexil", "tools"),
}
SDL_LAYERS = ("host", "app")
SOURCE_SUFFIXES = (".h", ".hpp", ".inl", ".cpp", ".cc")

QUOTED = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
ANGLED = re.compile(r"^\s*#\s*include\s*<(SDL[^>]*)>")


def layer_of(folder):
    """The layer a folder of src/ (relative, '/'-separated) belongs to: its
    top-level folder, or None."""
    top = folder.split("/")[0]
    return top if top in LAYERS else None


def check(src):
    """Returns the list of problems, one printable line each."""
    problems = []
    files = []
    for root, dirs, names in os.walk(src):
        dirs.sort()
        for n in sorted(names):
            if n.endswith(SOURCE_SUFFIXES):
                files.append(os.path.relpath(os.path.join(root, n), src).replace(os.sep, "/"))
    known = set(files)
    for rel in files:
        folder = os.path.dirname(rel)
        layer = layer_of(folder)
        shown = os.path.join(os.path.basename(os.path.normpath(src)), rel).replace(os.sep, "/")
        if layer is None:
            problems.append(f"{shown}:1: folder \"{folder or '.'}\" belongs to no layer "
                            f"(known layers: {', '.join(LAYERS)})")
            continue
        allowed = LAYERS[layer]
        with open(os.path.join(src, rel), errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = ANGLED.match(line)
                if m and layer not in SDL_LAYERS:
                    problems.append(f"{shown}:{number}: {layer} includes <{m.group(1)}>; "
                                    f"only {' and '.join(SDL_LAYERS)} include SDL")
                    continue
                m = QUOTED.match(line)
                if not m:
                    continue
                target = m.group(1)
                # A name next to the including file wins, as the compiler finds it.
                beside = os.path.normpath(os.path.join(folder, target)).replace(os.sep, "/")
                if beside in known:
                    target = beside
                elif target not in known:
                    continue  # not a header of src/ (a generated or outside file)
                target_layer = layer_of(os.path.dirname(target))
                if target_layer == layer or target_layer in allowed:
                    continue
                below = "its own folder" + (" and " + ", ".join(allowed) if allowed else "")
                problems.append(f"{shown}:{number}: {layer} includes \"{m.group(1)}\" of layer "
                                f"{target_layer}, against the layer order; {layer} may include only {below}")
    return problems


def main(argv):
    src = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
    if not os.path.isdir(src):
        print(f"check_layers: no directory {src}", file=sys.stderr)
        return 2
    problems = check(src)
    for p in problems:
        print(p)
    if problems:
        print(f"check_layers: {len(problems)} include(s) against the layer order", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
