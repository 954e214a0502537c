#!/usr/bin/env bash
# Builds every fuzz target with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer over the whole system) and runs each for a given
# time over its corpus.
#   fuzz/run.sh [seconds per target] [target ...]    (default 60 s, all targets)
#   fuzz/run.sh --ci                                 (about 10 s each over the committed corpus only)
# Environment: QF_FUZZ_BUILD (build directory, default build/fuzz),
# QF_FUZZ_PARALLEL (targets run at the same time, default 4),
# QF_FUZZ_WORK (where new corpus inputs and findings go, default <build>/work).
# A finding leaves its input as <work>/<target>/crash-*, leak-* or timeout-*
# and makes the script exit 1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

ci=0
seconds=60
if [ "${1:-}" = "--ci" ]; then
  ci=1
  seconds=10
  shift
elif [ -n "${1:-}" ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi

build=${QF_FUZZ_BUILD:-$root/build/fuzz}
work=${QF_FUZZ_WORK:-$build/work}
parallel=${QF_FUZZ_PARALLEL:-4}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQF_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null

# The configure step lists every target (one per resource kind of the runtime's
# table, then the others).
mapfile -t all_targets <"$build/fuzz/targets.txt"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
ninja -C "$build" $(printf 'fuzz_%s ' "${targets[@]}")

# The CI pass is repeatable: a fixed seed and a fixed number of runs (about
# 10 s of each target on this kind of machine) give the same inputs every
# time, so a red pass is always a real regression, never a lucky draw.
ci_runs() {
  case $1 in
    pack) echo 240000 ;; stencil) echo 720000 ;; texture) echo 720000 ;;
    palette_animation) echo 1200000 ;; palette) echo 1700000 ;; rle_image) echo 550000 ;;
    image) echo 560000 ;; madpack) echo 720000 ;; font) echo 420000 ;;
    sequence) echo 210000 ;; ini) echo 130000 ;; scene_args) echo 300000 ;;
    unpack) echo 55000 ;; tga) echo 1900000 ;; asset_file) echo 120000 ;;
    music) echo 650000 ;; production) echo 25000 ;; *) echo 100000 ;;
  esac
}

run_one() {
  local t=$1
  local out="$work/$t"
  mkdir -p "$out/corpus"
  local dict=()
  [ -f "$root/fuzz/dict/$t.dict" ] && dict=(-dict="$root/fuzz/dict/$t.dict")
  # New inputs go to the first directory: the work corpus, never the committed
  # one. The CI pass starts from the committed corpus alone every time.
  [ $ci -eq 0 ] || rm -rf "$out/corpus" "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-*
  mkdir -p "$out/corpus"
  local corpora=("$out/corpus" "$root/fuzz/corpus/$t")
  local budget=(-max_total_time="$seconds")
  [ $ci -eq 0 ] || budget=(-seed=1 -runs="$(ci_runs "$t")")
  (
    cd "$out"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/fuzz/fuzz_$t" "${budget[@]}" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix="$out/" "${dict[@]}" "${corpora[@]}" >"$out/log.txt" 2>&1
  )
}

status=0
pids=()
names=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  if [ ${#pids[@]} -ge "$parallel" ]; then
    if ! wait "${pids[0]}"; then status=1; echo "FINDING in ${names[0]}: see $work/${names[0]}/log.txt"; fi
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  if ! wait "${pids[$i]}"; then status=1; echo "FINDING in ${names[$i]}: see $work/${names[$i]}/log.txt"; fi
done

printf '%-18s %12s %8s %s\n' target executions seconds result
for t in "${targets[@]}"; do
  log="$work/$t/log.txt"
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  secs=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | grep -o 'in [0-9]*' | grep -o '[0-9]*' || true)
  result=ok
  ls "$work/$t"/crash-* "$work/$t"/leak-* "$work/$t"/timeout-* "$work/$t"/oom-* >/dev/null 2>&1 && result=FINDING
  grep -q 'ERROR: libFuzzer\|SUMMARY: .*Sanitizer\|runtime error' "$log" && result=FINDING
  printf '%-18s %12s %8s %s\n' "$t" "${execs:-?}" "${secs:-?}" "$result"
  [ "$result" = ok ] || status=1
done
exit $status
