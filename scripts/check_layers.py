#!/usr/bin/env python3
"""Checks that the include lines of src/ run one way through the layers:

    core -> n3d/target, n3d/io -> image -> n3d/raster -> n3d -> host -> vexil
    -> tools -> host/app (the program)

A file may include headers of its own folder and of the layers its layer lists
below. SDL's headers belong to the host and the program alone. Every include
against that direction is printed as "path:line: ..." and the script exits 1;
a folder of src/ that belongs to no layer fails the same way.

    scripts/check_layers.py [src directory]     (default: src/ of this tree)
"""
import os
import re
import sys

# Each layer and the layers below it that its files may include. The two small
# pieces of the renderer under the image layer stand side by side: neither
# includes the other.
LAYERS = {
    "core": (),
    "n3d/target": ("core",),
    "n3d/io": ("core",),
    "image": ("core", "n3d/target", "n3d/io"),
    "n3d/raster": ("core", "n3d/target", "image"),
    "n3d": ("core", "n3d/target", "n3d/io", "image", "n3d/raster"),
    "host": ("core", "n3d/target", "n3d/io", "image", "n3d/raster", "n3d"),
    "vexil": ("core", "n3d/target", "n3d/io", "image", "n3d/raster", "n3d", "host"),
    "tools": ("core", "n3d/target", "n3d/io", "image", "n3d/raster", "n3d", "host", "vexil"),
    "host/app": ("core", "n3d/target", "n3d/io", "image", "n3d/raster", "n3d", "host", "vexil", "tools"),
}
SDL_LAYERS = ("host", "host/app")
SOURCE_SUFFIXES = (".h", ".hpp", ".inl", ".cpp", ".cc")

QUOTED = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
ANGLED = re.compile(r"^\s*#\s*include\s*<(SDL[^>]*)>")


def layer_of(folder):
    """The layer a folder of src/ (relative, '/'-separated) belongs to: the
    longest layer path it lies in, or None."""
    best = None
    for name in LAYERS:
        if folder == name or folder.startswith(name + "/"):
            if best is None or len(name) > len(best):
                best = name
    return best


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
