#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ (or $BUILD_DIR)
# and runs each for FUZZ_SECONDS (default 60) from its seed corpus with the
# command dictionary. New inputs go to build-fuzz/corpus/<target>; a finding
# stops the run with the target's report and a crash-* file there.
#   scripts/fuzz.sh                    every target, a minute each
#   FUZZ_SECONDS=1800 scripts/fuzz.sh request_fuzzer
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(receive_fuzzer request_fuzzer damaged_file_fuzzer admin_fuzzer log_fuzzer
  users_file_fuzzer)
scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_FUZZ=ON \
  -DZT_BUILD_TESTS=OFF >/dev/null
build_args=()
for t in "${targets[@]}"; do build_args+=(--target "$t"); done
cmake --build "$build_dir" -j "$(nproc)" "${build_args[@]}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
for t in "${targets[@]}"; do
  name="${t%_fuzzer}"
  corpus="$build_dir/corpus/$name"
  mkdir -p "$corpus"
  echo "== $t for ${seconds}s"
  (cd "$corpus" && "../../fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
     -dict="$OLDPWD/fuzz/commands.dict" -print_final_stats=1 . "$OLDPWD/fuzz/corpus/$name" 2>&1 |
     grep -E "^#[0-9]+[[:space:]]+DONE|stat::|ERROR|SUMMARY|^Done|crash-|leak-" || true)
  if ls "$corpus"/crash-* "$corpus"/leak-* "$corpus"/timeout-* "$corpus"/oom-* >/dev/null 2>&1; then
    echo "$t: finding in $corpus" >&2
    exit 1
  fi
done
