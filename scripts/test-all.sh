#!/usr/bin/env bash
# Builds both targets and runs every test: the native suite, the same suite
# under Wine for the Windows build, the sanitizer suite, the image tests under
# ThreadSanitizer, the static checks and a short fuzz run. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
step() { printf '\n== %s ==\n' "$*"; }
timed() { local t0=$SECONDS; "$@"; echo "(took $((SECONDS - t0)) s)"; }
trap 'echo "(all steps: $SECONDS s)"' EXIT

step "setup: Debian packages, and the Windows-only libraries when not cached"
timed scripts/setup.sh

step "native build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timed cmake --build build -j "$jobs"
timed ctest --test-dir build --output-on-failure -j "$jobs"

step "Windows build (mingw-w64) and tests under Wine"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timed cmake --build build-win -j "$jobs"
timed ctest --test-dir build-win --output-on-failure -j 2

step "native build with AddressSanitizer and UndefinedBehaviorSanitizer, tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDISK_HELPER_SANITIZE=ON >/dev/null
timed cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  timed ctest --test-dir build-asan --output-on-failure -j "$jobs"

step "image and write tests with ThreadSanitizer (the threaded XZ decoder and the read-ahead and write-behind pipes)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDISK_HELPER_TSAN=ON >/dev/null
timed cmake --build build-tsan -j "$jobs" --target image_tests write_tests
TSAN_OPTIONS=halt_on_error=1 timed ctest --test-dir build-tsan -R "image_tests|write_tests" --output-on-failure

step "static checks (the .clang-format layout, clang-tidy over the POSIX and the Windows backend)"
timed bash -c "git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror"
JOBS="$jobs" timed scripts/clang-tidy.sh build build-win

if [[ -x fuzz/run ]]; then
  step "fuzz smoke run"
  timed fuzz/run "${FUZZ_SECONDS:-20}"
fi
