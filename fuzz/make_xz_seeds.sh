#!/usr/bin/env bash
# Small .xz seeds for fuzz_xz, made with the real xz tool: each accepted and
# refused feature once, on inputs a few hundred bytes long.
set -euo pipefail
mkdir -p "$1"
cd "$1"
seq 1 200 > plain.txt
: > empty.txt
for check in none crc32 crc64 sha256; do xz -T1 -c --check=$check plain.txt > check-$check.xz; done
xz -T1 -c --x86 --lzma2 plain.txt > bcj.xz
xz -T2 -c --block-size=256 plain.txt > multi-block.xz
xz -T1 -c empty.txt > empty.xz
cat check-crc64.xz check-crc32.xz > two-streams.xz
{ cat check-crc64.xz; printf '\0\0\0\0'; } > padded.xz
xz -T1 -c --format=lzma plain.txt > legacy.lzma
rm -f plain.txt empty.txt
