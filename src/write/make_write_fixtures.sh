#!/usr/bin/env bash
# Test images for the write and mismatch tests, made with real tools: a disk
# image laid out like a Raspberry Pi OS image (MBR from sfdisk with a FAT32
# boot partition of type 0x0c and a Linux partition of type 0x83), its
# SHA-256 from sha256sum, the FAT32 file system on its own, and smaller
# images whose one partition holds FAT16 or FAT12.
set -euo pipefail
dir="$1"
cd "$dir"
export MTOOLS_SKIP_CHECK=1

# The boot file system is made apart, filled with mtools, then placed into
# the disk image at the partition's start.
boot_start=8192      # sectors
boot_sectors=81920   # 40 MiB
root_start=$((boot_start + boot_sectors))
truncate -s $((boot_sectors * 512)) boot.fat
mkfs.vfat -F 32 -n BOOTFS boot.fat >/dev/null
printf 'console=serial0,115200 console=tty1 root=PARTUUID=0badcafe-02 rootfstype=ext4 rootwait\n' > cmdline.txt
printf '[all]\narm_64bit=1\ndtoverlay=vc4-kms-v3d\n' > config.txt
head -c 700001 /dev/urandom > kernel8.img
mcopy -i boot.fat cmdline.txt config.txt kernel8.img ::/
rm -f cmdline.txt config.txt kernel8.img

# 50 MiB and three sectors, so the last 4 MiB chunk is a short one.
truncate -s $((50 * 1024 * 1024 + 3 * 512)) pi.img
printf 'label: dos\nstart=%d, size=%d, type=c\nstart=%d, type=83\n' "$boot_start" "$boot_sectors" "$root_start" |
  sfdisk -q pi.img
dd if=boot.fat of=pi.img bs=512 seek=$boot_start conv=notrunc status=none
# Some incompressible bytes where a root file system would start.
head -c $((3 * 1024 * 1024 + 123)) /dev/urandom | dd of=pi.img bs=512 seek=$root_start conv=notrunc status=none
sha256sum pi.img | cut -c1-64 > pi.img.sha256
# The same image compressed, for the commands that start from an .xz file.
xz -T1 -0 -k pi.img
# In 1 MiB blocks that give both sizes (as xz -T writes them), which decode
# on several threads; and copies with one byte flipped: in the block that
# starts at 20 MiB of decoded data (and in the first and the last block, so
# the write stops in its first or its last chunk), in the index's CRC32 (just
# before the 12-byte footer), and in the footer's backward size field.
xz -T2 -0 --block-size=1MiB -c pi.img > pi-blocks.img.xz
# For each block: where its decoded bytes start, and the file offset of the middle of its data.
xz --robot --list -vv pi-blocks.img.xz |
  awk -F'\t' '/^block/ {print $6, $5 + $12 + int($14 / 2)}' > blocks.txt
python3 - pi-blocks.img.xz blocks.txt <<'PY'
import sys
source, listing = sys.argv[1], sys.argv[2]
blocks = [tuple(map(int, line.split())) for line in open(listing)]
middle_of = {decoded_at: byte for decoded_at, byte in blocks}
original = open(source, "rb").read()
for name, at in (("pi-damaged-first.img.xz", blocks[0][1]), ("pi-damaged.img.xz", middle_of[20971520]),
                 ("pi-damaged-last.img.xz", blocks[-1][1]), ("pi-index.img.xz", len(original) - 13),
                 ("pi-footer.img.xz", len(original) - 7)):
    data = bytearray(original)
    data[at] ^= 0x01
    open(name, "wb").write(data)
# The one-block image with a byte flipped in the middle of its data: its
# check, at the very end of the decoded bytes, is the only one that fails.
one = bytearray(open("pi.img.xz", "rb").read())
one[len(one) // 2] ^= 0x01
open("pi-damaged-one.img.xz", "wb").write(one)
PY
rm -f blocks.txt

# The image's first 12 MiB and three sectors (its table and its boot
# partition's start, the kernel's random bytes included), in every format the
# helper decodes, each made by its own tool: gzip, bzip2, zstd (with its
# content checksum, the tool's default), zip and xz in 1 MiB blocks; a gzip
# of two members (cut at 5 MiB), as parallel compressors and
# `cat a.gz b.gz` make them; a gzip whose length field says one byte more
# than the image holds; a zip holding a note and a folder beside the image;
# and one whose central directory gives every size and offset in ZIP64 form
# (Python's zipfile, told that anything over 1000 bytes needs it); a zstd
# frame whose window is too large to decode; and zips the helper refuses.
head -c $((12 * 1024 * 1024 + 3 * 512)) pi.img > small.img
gzip -1 -c small.img > small.img.gz
bzip2 -1 -c small.img > small.img.bz2
zstd -q -1 -c small.img > small.img.zst
xz -T2 -0 --block-size=1MiB -c small.img > small.img.xz
{ head -c 5M small.img | gzip -1; tail -c +$((5 * 1024 * 1024 + 1)) small.img | gzip -1; } > small-members.img.gz
# Through a pipe zstd cannot shrink the window to the input: this frame asks
# for 512 MiB.
head -c 100000 small.img | zstd -q --long=29 -c > wide-window.zst
# Zips the helper refuses: an encrypted entry, and one compressed with bzip2
# (method 12).
zip -q -P secret small-encrypted.zip small.img
zip -q -Z bzip2 small-bzip2.zip small.img
python3 - <<'PY'
import shutil, struct, zipfile
data = bytearray(open("small.img.gz", "rb").read())
data[-4:] = struct.pack("<I", (struct.unpack("<I", data[-4:])[0] + 1) % 2**32)
open("small-size.img.gz", "wb").write(data)
with zipfile.ZipFile("small.zip", "w", compression=zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    z.writestr("README.txt", "Write small.img to a card.\n")
    z.writestr("images/", "")
    z.write("small.img", "images/small.img")
zipfile.ZIP64_LIMIT = 1000
with zipfile.ZipFile("small64.zip", "w", compression=zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    z.write("small.img", "small.img")
PY

# fat_image NAME BITS SECTORS TYPE: an MBR image whose one partition, of type
# byte TYPE, holds a FAT of BITS bits made by mkfs.vfat, with a file long
# enough that the chain of its first clusters lies in the FAT's first sector.
fat_image() {
  local name="$1" bits="$2" sectors="$3" type="$4" start=2048
  truncate -s $((sectors * 512)) "$name.fat"
  mkfs.vfat -F "$bits" -n BOOTFS "$name.fat" >/dev/null
  head -c 10000 /dev/urandom > start.elf
  mcopy -i "$name.fat" start.elf ::/
  truncate -s $(((start + sectors) * 512)) "$name.img"
  printf 'label: dos\nstart=%d, size=%d, type=%s\n' "$start" "$sectors" "$type" | sfdisk -q "$name.img"
  dd if="$name.fat" of="$name.img" bs=512 seek=$start conv=notrunc status=none
  rm -f "$name.fat" start.elf
}
fat_image fat16 16 32768 e  # 16 MiB: 8167 clusters of 2 KiB
fat_image fat12 12 8192 1   # 4 MiB: 2036 clusters of 2 KiB

# A used card of 64 MiB that holds a GPT: its primary copy at the start, its
# backup in the last sectors.
truncate -s 64M gpt-old.img
printf 'label: gpt\n,10M\n,\n' | sfdisk -q gpt-old.img
