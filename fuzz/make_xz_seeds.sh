#!/usr/bin/env bash
# .xz seeds for fuzz_xz, made with the real xz tool. Each seed starts with the
# two bytes that choose the decoder's input window (window size minus one,
# little-endian). Small seeds show each accepted and refused feature once;
# large ones, longer than their window, make the decoder refill it inside
# blocks and across block boundaries, single-block and multi-block (sizes in
# the block headers, as the threaded decoder reads them).
set -euo pipefail
mkdir -p "$1"
cd "$1"

# seed NAME WINDOW FILE: the window prefix, then FILE.
seed() {
  local minus_one=$(($2 - 1))
  printf "\\$(printf '%03o' $((minus_one & 255)))\\$(printf '%03o' $((minus_one >> 8)))" > "$1"
  cat "$3" >> "$1"
}

seq 1 200 > plain.txt
: > empty.txt
for check in none crc32 crc64 sha256; do xz -T1 -c --check=$check plain.txt > check-$check.xz; done
xz -T1 -c --x86 --lzma2 plain.txt > bcj.xz
xz -T2 -c --block-size=256 plain.txt > multi-block.xz
xz -T1 -c empty.txt > empty.xz
cat check-crc64.xz check-crc32.xz > two-streams.xz
{ cat check-crc64.xz; printf '\0\0\0\0'; } > padded.xz
xz -T1 -c --format=lzma plain.txt > legacy.lzma
for f in check-*.xz bcj.xz multi-block.xz empty.xz two-streams.xz padded.xz legacy.lzma; do
  seed "$f.seed" 8192 "$f"
done
seed tiny-window.seed 1 multi-block.xz

# About 100 KB that does not compress (a fixed key stream, so the seeds are
# the same on every machine) between compressible text: about 110 KB of .xz.
{
  seq 1 3000
  head -c 100000 /dev/zero | openssl enc -aes-128-ctr -nosalt -K 00112233445566778899aabbccddeeff -iv 00000000000000000000000000000000
  seq 1 3000
} > large.bin
xz -T1 -c large.bin > large-one-block.xz
xz -T2 -c --block-size=40KiB large.bin > large-blocks.xz
seed large-one-block.seed 4096 large-one-block.xz
seed large-blocks.seed 65536 large-blocks.xz
seed large-blocks-odd-window.seed 1000 large-blocks.xz
rm -f ./*.xz legacy.lzma plain.txt empty.txt large.bin
