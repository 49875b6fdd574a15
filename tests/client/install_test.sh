#!/usr/bin/env bash
# The client library as others use it: `cmake --install` into a scratch
# prefix, then a tiny program built against that tree alone, once with
# find_package(ztserver) and once with pkg-config, and run.
#   tests/client/install_test.sh BUILD_DIR [FLAGS]
# FLAGS: what the program needs to link with the installed library (the
# sanitizers' flags when the build used them).
set -euo pipefail
build=$1
flags=${2:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cat >"$tmp/hello.cc" <<'CC'
#include <ztserver/client.h>
int main() {
  const ztserver::Reply value = ztserver::ParseReply("RECORDSETGETFIELDVALUE~1~FAILED");
  const ztserver::Reply failure = ztserver::ParseReply("RECORDSETOPEN~FAILED");
  ztserver::Connection db;
  return value.ok() && failure.failed() && !db.connected() ? 0 : 1;
}
CC
pc_dir=$(dirname "$(find "$tmp/prefix" -name ztserver-client.pc | head -1)")
[ -n "$pc_dir" ] || { echo "no ztserver-client.pc installed"; exit 1; }
# shellcheck disable=SC2046,SC2086
c++ $flags -o "$tmp/hello-pc" "$tmp/hello.cc" $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs --static ztserver-client)
"$tmp/hello-pc"
mkdir "$tmp/project"
cat >"$tmp/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(hello CXX)
find_package(ztserver REQUIRED)
add_executable(hello ../hello.cc)
target_link_libraries(hello PRIVATE ztserver::client)
CMAKE
cmake -S "$tmp/project" -B "$tmp/project/build" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$tmp/project/build" >/dev/null
"$tmp/project/build/hello"
echo "installed client library: built and ran with CMake and with pkg-config"
