#!/usr/bin/env bash
# The long form of the crash test: hundreds of SIGKILLs (and simulated
# power failures) under a multi-client editing load, each followed by the
# offline check and a comparison with what the clients were told.
#   scripts/crash-test.sh [KILLS] [SEED]      (default 200 kills)
set -euo pipefail
cd "$(dirname "$0")/.."
kills="${1:-200}"
seed="${2:-$RANDOM}"
ZT_TARGETS="protocol_tests" scripts/build.sh >/dev/null
echo "crash test: $kills kills per form, seed $seed"
ZT_CRASH_KILLS="$kills" ZT_CRASH_SEED="$seed" \
  "${BUILD_DIR:-build}/tests/protocol_tests" --gtest_filter='CrashTest.*' |
  grep -E '^(process crash|power loss)|OK \]|FAILED|Failure'
