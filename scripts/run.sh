#!/usr/bin/env bash
# Builds ZTServer, creates the demo database under demo/ on first run, and
# describes it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
mkdir -p demo
if [ ! -e demo/shop.dat ]; then
  build/ztadmin create demo/shop.dat examples/demo.schema
fi
build/ztadmin describe demo/shop.dat
