#!/usr/bin/env bash
# Takes screenshots of the production while it plays in a real X11 window on
# a virtual screen (Xvfb), at the given times in seconds after the program's
# start, into PNG files for review, then lets the production play to its end.
#
#   scripts/screenshot.sh [-b build_dir] [-o out_dir] [-g WxH] [-k] time...
#
# build_dir (default build/release) holds quillfern and assets/vexil/le;
# out_dir (default build_dir/screenshots) receives the shots and the program's
# output in quillfern.log. -k ends the program after the last shot instead of
# letting it finish (the captured audio is then cut short). The music goes to
# SDL's disk audio driver (out_dir/audio.raw), which plays at real speed, unless
# SDL_AUDIODRIVER says otherwise.
#
# A loaded machine takes a shot later than asked, so each shot is named by the
# time it was actually taken: shot-<asked>-at-<clock>.png, where <clock> is the
# audio the player had written by then (frames of the disk file / 22050 s: the
# production's clock, plus the few buffers of silence written while it loaded).
# With another audio driver there is no such file and <clock> is the time since
# the program's start instead, marked "wall". A small window manager (matchbox) runs on the virtual screen so the
# program's desktop-full-screen window gets the whole screen, as on a desktop.
# Needs Xvfb, matchbox-window-manager and ImageMagick's import (scripts/setup.sh
# installs them).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/release"
out=""
geometry="640x480"
kill_after=0
usage="usage: $0 [-b build_dir] [-o out_dir] [-g WxH] [-k] time..."
while getopts "b:o:g:k" opt; do
  case "$opt" in
    b) build="$(cd "$OPTARG" && pwd)" ;;
    o) out="$OPTARG" ;;
    g) geometry="$OPTARG" ;;
    k) kill_after=1 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -eq 0 ]; then
  echo "$usage" >&2
  exit 2
fi
[ -n "$out" ] || out="$build/screenshots"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
for tool in Xvfb matchbox-window-manager import; do
  command -v "$tool" > /dev/null || { echo "$tool is not installed (scripts/setup.sh installs it)" >&2; exit 3; }
done
[ -x "$build/quillfern" ] || { echo "no program at $build/quillfern: build first" >&2; exit 3; }

# A display number nobody uses.
display=""
for n in $(seq 91 160); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 3; }

xvfb_pid=""
wm_pid=""
prog_pid=""
cleanup() {
  if [ -n "$prog_pid" ] && kill -0 "$prog_pid" 2> /dev/null; then
    kill -TERM "$prog_pid" 2> /dev/null || true
    for _ in $(seq 50); do kill -0 "$prog_pid" 2> /dev/null || break; sleep 0.1; done
    kill -KILL "$prog_pid" 2> /dev/null || true
  fi
  if [ -n "$wm_pid" ]; then kill -TERM "$wm_pid" 2> /dev/null || true; wait "$wm_pid" 2> /dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill -TERM "$xvfb_pid" 2> /dev/null || true; wait "$xvfb_pid" 2> /dev/null || true; fi
}
trap cleanup EXIT

Xvfb ":$display" -screen 0 "${geometry}x24" -nolisten tcp > "$out/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  kill -0 "$xvfb_pid" 2> /dev/null || { echo "Xvfb did not start (see $out/xvfb.log)" >&2; exit 3; }
  sleep 0.05
done

DISPLAY=":$display" matchbox-window-manager -use_titlebar no > "$out/wm.log" 2>&1 &
wm_pid=$!
sleep 0.3

audio_driver="${SDL_AUDIODRIVER:-disk}"
audio_file="${SDL_DISKAUDIOFILE:-$out/audio.raw}"
rm -f "$audio_file"
start=$(date +%s.%N)
(
  cd "$build"
  export DISPLAY=":$display" SDL_VIDEODRIVER=x11
  export SDL_AUDIODRIVER="$audio_driver" SDL_DISKAUDIOFILE="$audio_file"
  exec ./quillfern
) > "$out/quillfern.log" 2>&1 &
prog_pid=$!

# The clock a shot is stamped with, read just before it is taken.
clock_now() {
  if [ "$audio_driver" = disk ]; then
    local bytes=0
    [ -e "$audio_file" ] && bytes=$(stat -c %s "$audio_file")
    awk -v b="$bytes" 'BEGIN { printf "%.2f", b / 4 / 22050 }'
  else
    awk -v s="$start" -v n="$(date +%s.%N)" 'BEGIN { printf "%.2fwall", n - s }'
  fi
}

for t in $(printf '%s\n' "$@" | sort -g); do
  wait_s=$(awk -v s="$start" -v t="$t" -v n="$(date +%s.%N)" 'BEGIN { d = s + t - n; printf "%.3f", (d > 0 ? d : 0) }')
  sleep "$wait_s"
  kill -0 "$prog_pid" 2> /dev/null || { echo "the program ended before the shot at $t s (see $out/quillfern.log)" >&2; break; }
  clock=$(clock_now)
  file="$out/shot-$t-at-$clock.png"
  import -display ":$display" -window root "$file"
  echo "$file"
done

# Unless told otherwise the production plays to its end, so the audio is whole.
if [ "$kill_after" -eq 0 ]; then
  status=0
  wait "$prog_pid" || status=$?
  prog_pid=""
  echo "quillfern ended with status $status (output in $out/quillfern.log)"
fi
