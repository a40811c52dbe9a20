#!/usr/bin/env bash
# Builds static liblzma, libcrypto, libbz2 and libzstd for x86_64-w64-mingw32
# from Debian's source packages. Debian ships none of them for mingw (zlib it
# does: libz-mingw-w64-dev, which scripts/setup.sh installs), so the Windows
# build links these. The result is cached outside the source tree and reused
# by later runs; delete the cache folder to rebuild.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

prefix="${DISK_HELPER_MINGW_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/disk-helper/mingw64}"
stamp="$prefix/.complete-v2"
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
cc=x86_64-w64-mingw32-gcc-posix # as in cmake/mingw-w64-x86_64.cmake

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

echo "mingw dependencies: building libbz2"
apt-get source -qq --download-only bzip2 >/dev/null 2>&1 || apt-get source --download-only bzip2
dpkg-source -x --no-check bzip2_*.dsc bzip2-src >/dev/null
(
  cd bzip2-src
  # The library's sources only, as upstream's Makefile builds libbz2.a.
  printf '%s\n' blocksort huffman crctable randtable compress decompress bzlib |
    xargs -P "$jobs" -I{} "$cc" -O2 -Wall -c {}.c -o {}.o >"$work/bzip2.log" 2>&1 || { cat "$work/bzip2.log"; exit 1; }
  rm -f libbz2.a
  x86_64-w64-mingw32-ar rcs libbz2.a blocksort.o huffman.o crctable.o randtable.o compress.o decompress.o bzlib.o
  mkdir -p "$prefix/lib" "$prefix/include"
  cp libbz2.a "$prefix/lib/"
  cp bzlib.h "$prefix/include/"
)

echo "mingw dependencies: building libzstd"
# The newest source first (a security update, when the mirror has it), else
# the release's own.
if ! apt-get source -qq --download-only libzstd >/dev/null 2>&1; then
  rm -f libzstd_*
  echo "mingw dependencies: libzstd's newest source is not available, building bookworm's"
  apt-get source -qq --download-only libzstd/bookworm >/dev/null 2>&1 || apt-get source --download-only libzstd/bookworm
fi
dpkg-source -x --no-check libzstd_*.dsc zstd-src >/dev/null
(
  cd zstd-src
  # Multithreaded compression uses Windows' own threads there; decoding does
  # not need them. CFLAGS and CPPFLAGS go in through the environment, so that
  # the Makefile's own flags are added to them.
  CFLAGS=-O2 CPPFLAGS="-DZSTD_MULTITHREAD -DNDEBUG" \
    make -C lib -j "$jobs" libzstd.a CC="$cc" AR=x86_64-w64-mingw32-ar >"$work/zstd.log" 2>&1 ||
    { tail -n 100 "$work/zstd.log"; exit 1; }
  mkdir -p "$prefix/lib" "$prefix/include"
  cp lib/libzstd.a "$prefix/lib/"
  cp lib/zstd.h lib/zstd_errors.h lib/zdict.h "$prefix/include/"
)
touch "$stamp"
echo "mingw dependencies: installed in $prefix"
