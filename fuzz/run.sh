#!/usr/bin/env bash
# Fuzzes all fifteen functions of quorvane (fuzz/fuzz_quorvane.py) under
# AddressSanitizer + UndefinedBehaviorSanitizer.
#
#   fuzz/run.sh SECONDS SEED     fuzz for SECONDS with libFuzzer seed SEED
#   fuzz/run.sh replay FILE...   run saved inputs (crash-*, timeout-*) once
#
# Exit status 0: no finding. Non-zero: a crash, a sanitizer report, a hang
# (one input running longer than 30 s), excessive memory, or a broken
# contract (an unexpected exception type, an output written by a failing
# call, a byte written outside an array, a malformed result). The failing
# input is saved in $FUZZ_OUT as crash-* / timeout-* / oom-*; replay it
# with `fuzz/run.sh replay FILE`.
#
# Environment:
#   PYTHON       interpreter with numpy (default: python3); atheris is
#                installed into it from PyPI when missing
#   FUZZ_BUILD   build directory of the module (default: build/asan, or
#                build/fuzz-plain with FUZZ_PLAIN=1); built or brought up
#                to date here with scripts/dev-build
#   FUZZ_OUT     where failing inputs go (default: build/fuzz)
#   FUZZ_PLAIN=1 ordinary build without sanitizers. libFuzzer then also
#                sees the harness's Python coverage (the sanitizer runtime
#                shadows the coverage hooks otherwise); crashes found this
#                way are replayed under the sanitizers.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
usage() { echo "usage: $0 SECONDS SEED | $0 replay FILE..." >&2; exit 2; }
[ $# -ge 2 ] || usage
if [ "$1" = replay ]; then
  shift
  run_args=(-runs=1 "$@")
else
  [[ "$1" =~ ^[0-9]+$ && "$2" =~ ^[0-9]+$ ]] || usage
  seconds="$1" seed="$2"
  shift 2
  run_args=()
fi

py="${PYTHON:-python3}"
if ! "$py" -c "import atheris" 2>/dev/null; then
  echo "installing atheris into $("$py" -c 'import sys; print(sys.prefix)')" >&2
  "$py" -m pip install -q atheris >&2
fi

plain="${FUZZ_PLAIN:-0}"
if [ "$plain" = 1 ]; then
  build="${FUZZ_BUILD:-$here/build/fuzz-plain}"
  QUORVANE_BUILD_DIR="$build" QUORVANE_CMAKE_ARGS="" "$here/scripts/dev-build" "$py" >/dev/null
else
  build="${FUZZ_BUILD:-$here/build/asan}"
  QUORVANE_BUILD_DIR="$build" \
    QUORVANE_CMAKE_ARGS="-DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo" \
    "$here/scripts/dev-build" "$py" >/dev/null
  # Python's own allocator would hide small heap blocks from ASan.
  export PYTHONMALLOC=malloc
  export LD_PRELOAD="$(gcc -print-file-name=libasan.so)"
  # Failed huge allocations must come back as MemoryError, not abort.
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1"
fi
export PYTHONPATH="$build"

out="$(realpath -m "${FUZZ_OUT:-$here/build/fuzz}")"
mkdir -p "$out"
flags=(-timeout=30 -rss_limit_mb=6144 -max_len=64 -artifact_prefix="$out/" -print_final_stats=1)
if [ ${#run_args[@]} -gt 0 ]; then
  exec "$py" "$here/fuzz/fuzz_quorvane.py" "${flags[@]}" "${run_args[@]}"
fi
corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
echo "fuzzing for ${seconds}s with seed $seed ($([ "$plain" = 1 ] && echo plain || echo ASan+UBSan) build in $build)" >&2
"$py" "$here/fuzz/fuzz_quorvane.py" "${flags[@]}" -seed="$seed" -max_total_time="$seconds" "$@" "$corpus"
