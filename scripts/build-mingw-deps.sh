#!/usr/bin/env bash
# Builds static liblzma and libcrypto for x86_64-w64-mingw32 from Debian's
# source packages. Debian ships neither library for mingw, so the Windows
# build links these. The result is cached outside the source tree and reused
# by later runs; delete the cache folder to rebuild.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

prefix="${DISK_HELPER_MINGW_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/disk-helper/mingw64}"
stamp="$prefix/.complete-v1"
if [[ -f "$stamp" ]]; then
  echo "mingw dependencies: cached in $prefix"
  exit 0
fi

if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  cat >/etc/apt/sources.list.d/disk-helper-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  apt-get update -qq
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p "$prefix"
jobs="$(nproc)"

echo "mingw dependencies: building liblzma"
apt-get source -qq --download-only xz-utils >/dev/null 2>&1 || apt-get source --download-only xz-utils
dpkg-source -x --no-check xz-utils_*.dsc xz-src >/dev/null
cmake -S xz-src -B xz-build -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build xz-build --target liblzma -j "$jobs" >/dev/null
cmake --install xz-build --component liblzma_Development >/dev/null 2>&1 || cmake --install xz-build >/dev/null 2>&1 || true
# Older xz CMake files have no install rules for the library alone.
if [[ ! -f "$prefix/lib/liblzma.a" ]]; then
  mkdir -p "$prefix/lib" "$prefix/include"
  cp xz-build/liblzma.a "$prefix/lib/"
  cp -r xz-src/src/liblzma/api/lzma xz-src/src/liblzma/api/lzma.h "$prefix/include/"
fi

echo "mingw dependencies: building libcrypto"
apt-get source -qq --download-only openssl/bookworm >/dev/null 2>&1 || apt-get source --download-only openssl/bookworm
dpkg-source -x --no-check openssl_*.dsc openssl-src >/dev/null
(
  cd openssl-src
  ./Configure mingw64 no-shared no-asm no-tests no-engine no-module no-legacy \
    --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix" --libdir=lib >/dev/null
  # The compiler's warnings about OpenSSL's own sources are noise here; the
  # log is shown when the build fails.
  make -j "$jobs" build_generated >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; exit 1; }
  make -j "$jobs" libcrypto.a >>"$work/openssl.log" 2>&1 || { tail -n 100 "$work/openssl.log"; exit 1; }
  mkdir -p "$prefix/lib" "$prefix/include"
  cp libcrypto.a "$prefix/lib/"
  cp -r include/openssl "$prefix/include/"
)
touch "$stamp"
echo "mingw dependencies: installed in $prefix"
