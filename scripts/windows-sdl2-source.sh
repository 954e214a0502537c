#!/usr/bin/env bash
# Fetches and unpacks Debian's SDL2 source package, the same version as the
# installed libsdl2-dev, for the Windows build.
#
#   scripts/windows-sdl2-source.sh dir
#
# Uses a private apt configuration under dir/apt: the machine's own Debian
# entry (the one for this release, from /etc/apt/sources.list or
# /etc/apt/sources.list.d/*.sources) with the source type instead of the binary
# one. The system's sources, lists and cache are left as they are. Leaves the
# unpacked tree at dir/src and prints its path.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 dir" >&2; exit 2; }
mkdir -p "$1"
dir="$(cd "$1" && pwd)"
codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
[ -n "$codename" ] || { echo "no VERSION_CODENAME in /etc/os-release" >&2; exit 3; }
version="$(dpkg-query -W -f='${Version}' libsdl2-dev 2>/dev/null || true)"
[ -n "$version" ] || { echo "libsdl2-dev is not installed (scripts/setup.sh installs it)" >&2; exit 3; }
command -v dpkg-source > /dev/null || { echo "dpkg-source is missing (package dpkg-dev)" >&2; exit 3; }

apt="$dir/apt"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d"
: > "$apt/sources.list"
: > "$apt/sources.list.d/debian-src.sources"

# One-line entries: "deb [options] uri suite components" for this release.
if [ -f /etc/apt/sources.list ]; then
  awk -v c="$codename" '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i == c) { $1 = "deb-src"; print; next } }' \
    /etc/apt/sources.list >> "$apt/sources.list"
fi
# deb822 stanzas: those whose Suites name this release, with Types: deb-src.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk -v c="$codename" '
    function flush() {
      if (n && types ~ /(^|[ \t])deb($|[ \t])/ && suites ~ ("(^|[ \t])" c "($|[ \t])")) {
        for (i = 1; i <= n; i++) print lines[i]
        print ""
      }
      n = 0; types = ""; suites = ""
    }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]*#/ { next }
    {
      if ($1 == "Types:") { types = $0; sub(/^Types:/, "", types); lines[++n] = "Types: deb-src"; next }
      if ($1 == "Suites:") { suites = $0; sub(/^Suites:/, "", suites) }
      lines[++n] = $0
    }
    END { flush() }' "$f" >> "$apt/sources.list.d/debian-src.sources"
done
if [ ! -s "$apt/sources.list" ] && [ ! -s "$apt/sources.list.d/debian-src.sources" ]; then
  echo "no Debian entry for $codename in the system's apt sources" >&2
  exit 3
fi

opts=(
  -o "Dir::Etc::SourceList=$apt/sources.list"
  -o "Dir::Etc::SourceParts=$apt/sources.list.d"
  -o "Dir::State::Lists=$apt/lists"
  -o "Dir::State::Status=/var/lib/dpkg/status"
  -o "Dir::Cache=$apt/cache"
  -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
  -o "APT::Sandbox::User=$(id -un)"
  -o "Debug::NoLocking=1"
)
apt-get "${opts[@]}" -q update > "$apt/update.log" 2>&1 || { cat "$apt/update.log" >&2; exit 3; }
rm -rf "$dir/download" "$dir/src"
mkdir -p "$dir/download"
(cd "$dir/download" && apt-get "${opts[@]}" -q source "libsdl2=$version") > "$apt/source.log" 2>&1 ||
  { cat "$apt/source.log" >&2; exit 3; }
tree="$(find "$dir/download" -mindepth 1 -maxdepth 1 -type d -name 'libsdl2-*' | head -n 1)"
[ -n "$tree" ] && [ -f "$tree/CMakeLists.txt" ] || { echo "no unpacked SDL2 tree in $dir/download" >&2; exit 3; }
mv "$tree" "$dir/src"
echo "$dir/src"
