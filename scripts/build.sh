#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR), with extra CMake
# arguments passed through: scripts/build.sh -DZT_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
scripts/install-deps.sh
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
