#!/usr/bin/env bash
# Coverage-guided fuzzing of the kernels alone (no Python): every
# fuzz/kernels/fuzz_*.cpp is a CMake target of a tree configured with
# -DQUORVANE_FUZZ=ON (clang, libFuzzer, AddressSanitizer +
# UndefinedBehaviorSanitizer, the module's flags: -O3, -ffp-contract=off),
# linked with the kernel library, and run for an equal share of the time.
#
#   fuzz/kernels/run.sh SECONDS [SEED]       fuzz every target; SEED defaults to 1
#   fuzz/kernels/run.sh replay TARGET FILE... run saved inputs once (TARGET: e.g. fuzz_scan)
#
# Prints one line per target with its executions, then the total. Exit
# status 0: no finding; 1: a target found a crash, a sanitizer report, a
# failed check, a hang (one input over 20 s) or excessive memory; the input
# is saved in $FUZZ_OUT as TARGET-crash-* (or -timeout-*, -oom-*) and the
# target's log is printed. 2: bad usage.
#
# Environment:
#   FUZZ_BUILD   the CMake build directory (default build/fuzz-kernels); kept, so
#                a second run rebuilds only what changed
#   FUZZ_OUT     where failing inputs go (default $FUZZ_BUILD/findings)
#   FUZZ_CORPUS  keep each target's corpus in FUZZ_CORPUS/TARGET across runs
#                (default: a fresh corpus per run)
#   CXX          clang++ to use (default clang++; Debian's clang is installed
#                with apt-get when missing)
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
usage() {
  echo "usage: $0 SECONDS [SEED] | $0 replay TARGET FILE...  (see the comment at the top of $0)" >&2
  exit 2
}
[ $# -ge 1 ] || usage
case "$1" in -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;; esac
replay=0
if [ "$1" = replay ]; then
  [ $# -ge 3 ] || usage
  replay=1
else
  [[ "$1" =~ ^[0-9]+$ && "$1" -gt 0 && ( $# -lt 2 || "$2" =~ ^[0-9]+$ ) && $# -le 2 ]] || usage
fi

cxx="${CXX:-clang++}"
[[ "$(basename "$cxx")" == clang* ]] || cxx=clang++
probe() {
  local dir
  dir="$(mktemp -d)"
  printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' >"$dir/p.cpp"
  "$cxx" -fsanitize=fuzzer,address,undefined "$dir/p.cpp" -o "$dir/p" >/dev/null 2>&1
  local rc=$?
  rm -rf "$dir"
  return $rc
}
if ! command -v "$cxx" >/dev/null 2>&1 || ! probe; then
  echo "installing clang and its libFuzzer runtime with apt-get" >&2
  apt-get update -qq >&2
  apt-get install -y -qq clang >&2
  if ! probe; then
    major="$("$cxx" -dumpversion | cut -d. -f1)"
    apt-get install -y -qq "libclang-rt-$major-dev" >&2 || apt-get install -y -qq "libclang-common-$major-dev" >&2
  fi
  probe || { echo "$0: $cxx cannot build libFuzzer targets" >&2; exit 1; }
fi

build="$(realpath -m "${FUZZ_BUILD:-$here/build/fuzz-kernels}")"
out="$(realpath -m "${FUZZ_OUT:-$build/findings}")"
mkdir -p "$build" "$out"
config=(-DCMAKE_BUILD_TYPE=Release -DQUORVANE_FUZZ=ON -DCMAKE_CXX_COMPILER="$(command -v "$cxx")")
command -v ninja >/dev/null 2>&1 && [ ! -f "$build/Makefile" ] && config+=(-G Ninja)
echo "building the kernel fuzz targets in $build" >&2
if ! { cmake -S "$here" -B "$build" "${config[@]}" && cmake --build "$build" -j 2; } >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  echo "$0: the build failed (log: $build/build.log)" >&2
  exit 1
fi
targets=()
for src in "$here"/fuzz/kernels/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done

common=(-timeout=20 -rss_limit_mb=2048 -print_final_stats=1)
if [ "$replay" = 1 ]; then
  name="$2"
  shift 2
  [ -x "$build/$name" ] || { echo "$0: no target $name (have: ${targets[*]})" >&2; exit 2; }
  exec "$build/$name" "${common[@]}" -runs=1 "$@"
fi

seconds="$1" seed="${2:-1}"
share=$(( seconds / ${#targets[@]} ))
[ "$share" -ge 1 ] || share=1
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
echo "fuzzing ${#targets[@]} kernel targets for ${share}s each, seed $seed (ASan+UBSan, $("$cxx" --version | head -1))" >&2
total=0
for name in "${targets[@]}"; do
  if [ -n "${FUZZ_CORPUS:-}" ]; then corpus="$FUZZ_CORPUS/$name"; else corpus="$logs/corpus-$name"; fi
  mkdir -p "$corpus"
  log="$logs/$name.log"
  if ! "$build/$name" "${common[@]}" -seed="$seed" -max_total_time="$share" \
      -artifact_prefix="$out/$name-" "$corpus" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "$name: FAILED; input saved under $out/$name-*; replay with: $0 replay $name FILE" >&2
    exit 1
  fi
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  printf '%-16s %12d executions\n' "$name" "${runs:-0}"
  total=$(( total + ${runs:-0} ))
done
printf '%-16s %12d executions\n' total "$total"
