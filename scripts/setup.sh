#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, and builds
# the Windows-only dependencies once (cached outside the tree).
#   scripts/setup.sh           everything: native, Windows cross build, Wine
#   scripts/setup.sh --native  only what the native build and the example need
set -euo pipefail
cd "$(dirname "$0")/.."

native=(build-essential cmake ninja-build pkg-config nlohmann-json3-dev liblzma-dev libssl-dev googletest libgtest-dev
        zlib1g-dev libbz2-dev libzstd-dev
        xz-utils gzip bzip2 zstd zip unzip openssl dosfstools mtools fdisk util-linux python3 time bc)
# wine64-preloader: without it a Wine process now and then dies at start
# (scripts/wine-run says why); Debian only suggests it.
windows=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev wine64 wine64-preloader wine dpkg-dev)
checks=(clang clang-tidy clang-format libclang-rt-14-dev)

want=("${native[@]}")
if [[ "${1:-}" != "--native" ]]; then
  want+=("${windows[@]}" "${checks[@]}")
fi

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ "$(id -u)" -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ "${1:-}" != "--native" ]]; then
  scripts/build-mingw-deps.sh
fi
