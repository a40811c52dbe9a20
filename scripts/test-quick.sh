#!/usr/bin/env bash
# The edit-compile-test loop: the native build and its tests only (no Windows
# build, no sanitizers, no static checks, no fuzzing). Installs the native
# packages if they are missing. Extra arguments go to ctest, for example
#   scripts/test-quick.sh -R image_tests
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --native
jobs="$(nproc)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" "$@"
