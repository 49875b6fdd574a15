#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR), with extra CMake
# arguments passed through: scripts/build.sh -DZT_SANITIZE=ON.
# ZT_TARGETS="ztserver ztcli" builds only those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
scripts/install-deps.sh
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
targets=()
for t in ${ZT_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}"
