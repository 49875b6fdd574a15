#!/usr/bin/env bash
# Installs what building and testing ZTServer needs beyond a compiler and
# CMake, when it is missing. Safe to run again; needs root (or sudo) only
# when something is actually missing.
set -euo pipefail

# clang and its runtime (libFuzzer, the sanitizers) build the fuzz targets.
# libssl-dev and openssl: TLS and password hashing, and the tests' certificates.
# chromium, chromium-driver and python3-selenium: the web console's browser
# test (headless).
# PostgreSQL (15 on Debian 12) takes the script of ztadmin export-sql in a
# test that starts a server of its own (no cluster of the package is used).
# python3-venv: the Python client's offline install test; python3-psycopg2:
# the bulk-fetch row of bench/compare.sh.
packages=(cmake g++ make libgtest-dev libbenchmark-dev libreadline-dev pkg-config clang
          python3-venv python3-psycopg2
          libclang-rt-dev python3 postgresql libssl-dev openssl chromium chromium-driver
          python3-selenium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
