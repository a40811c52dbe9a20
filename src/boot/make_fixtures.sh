#!/usr/bin/env bash
# Disk images for the boot reader and report tests, written to $1. Partition
# tables come from sfdisk, FAT32 file systems from mkfs.vfat, their files from
# mtools; the few damaged layouts that no tool makes (a looping chain, an
# overlong chain, an end marker mid-directory, a lower-case short name) are
# patched into tool-made file systems. Images are sparse: a 1,048,577-sector
# root partition costs no disk space.
set -euo pipefail
out="$(cd "$1" && pwd)"
work="$out/work"
mkdir -p "$work"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C

boot_start=8192
boot_sectors=81920   # 40 MiB: enough clusters for FAT32 with 512-byte clusters
root_start=$((boot_start + boot_sectors))
root_large=1048577   # just above 512 MiB
root_exact=1048576   # exactly 512 MiB

# new_fat NAME: an empty FAT32 file system with a volume label, one sector per
# cluster so that the root directory spreads over several clusters.
new_fat() {
  truncate -s $((boot_sectors * 512)) "$work/$1.fat"
  mkfs.vfat -F 32 -s 1 -n BOOTFS "$work/$1.fat" >/dev/null
}

# put FAT FILE... : copy files (relative to $work/files, the working folder
# from here on) into the root directory.
put() {
  local fat="$1"; shift
  mcopy -i "$work/$fat.fat" "$@" ::/
}

# image NAME FAT TABLE: a sparse disk image with the sfdisk TABLE and FAT
# placed at the boot partition's start.
image() {
  local name="$1" fat="$2" table="$3" size=0 line start count
  while read -r line; do
    [[ $line =~ start=([0-9]+),\ size=([0-9]+) ]] || continue
    start=${BASH_REMATCH[1]} count=${BASH_REMATCH[2]}
    (( start + count > size )) && size=$((start + count))
  done <<<"$table"
  rm -f "$out/$name"
  truncate -s $(( (size + 2048) * 512 )) "$out/$name"
  sfdisk -q "$out/$name" <<<"$table" >/dev/null
  if [[ -n "$fat" ]]; then
    dd if="$work/$fat.fat" of="$out/$name" bs=1M seek=$((boot_start * 512)) oflag=seek_bytes \
       conv=notrunc,sparse status=none
  fi
}

pi_table="label: dos
start=$boot_start, size=$boot_sectors, type=c
start=$root_start, size=$root_large, type=83"

# The files of a Raspberry Pi boot partition.
mkdir -p "$work/files/overlays"
cd "$work/files"
for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
  echo "device tree $i" > "bcm2711-rpi-variant-$i.dtb"   # long names: LFN entries and ~N aliases
done
echo "arm_64bit=1" > config.txt
echo "console=serial0,115200 root=PARTUUID=0-02 rootwait" > cmdline.txt
echo "firmware" > start4.elf
echo "fixup" > fixup4.dat
echo "kernel" > kernel8.img
echo "overlay" > overlays/vc4-kms-v3d.dtbo
echo "notes" > notes.txt
echo "Raspberry Pi reference" > issue.txt

new_fat pi
put pi bcm2711-rpi-variant-*.dtb notes.txt config.txt cmdline.txt start4.elf fixup4.dat kernel8.img overlays issue.txt
mdel -i "$work/pi.fat" ::/notes.txt   # a deleted entry ahead of the boot files

image pi.img pi "$pi_table"
image root-exact.img pi "label: dos
start=$boot_start, size=$boot_sectors, type=c
start=$root_start, size=$root_exact, type=83"
image no-root.img pi "label: dos
start=$boot_start, size=$boot_sectors, type=c"
image gpt.img "" "label: gpt
start=$boot_start, size=$boot_sectors, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B
start=$root_start, size=$root_large, type=0FC63DAF-8483-4772-8E79-3D69C72EE4E4"

# One boot file missing each (its entry is deleted, so deleted names are
# seen not to count).
for missing in config.txt cmdline.txt start4.elf fixup4.dat kernel8.img; do
  cp --sparse=always "$work/pi.fat" "$work/missing.fat"
  mdel -i "$work/missing.fat" "::/$missing"
  image "missing-${missing%%[0-9.]*}.img" missing "$pi_table"
done
new_fat empty
image empty-boot.img empty "$pi_table"

# Damage that no tool makes, patched into tool-made file systems.
patch() { python3 - "$@" <<'PY'
import struct, sys

op, path = sys.argv[1], sys.argv[2]
with open(path, "r+b") as f:
    data = bytearray(f.read(512))
    f.seek(0)
    def u16(o): return struct.unpack_from("<H", data, o)[0]
    def u32(o): return struct.unpack_from("<I", data, o)[0]
    spc, reserved, fats, spf, root = data[0x0D], u16(0x0E), data[0x10], u32(0x24), u32(0x2C)
    fat = reserved * 512
    data_start = (reserved + fats * spf) * 512
    def cluster_at(n): return data_start + (n - 2) * spc * 512
    def entry(n):
        f.seek(fat + n * 4)
        return struct.unpack("<I", f.read(4))[0] & 0x0FFFFFFF
    def set_entry(n, v):
        f.seek(fat + n * 4)
        f.write(struct.pack("<I", v))
    chain = [root]
    while entry(chain[-1]) < 0x0FFFFFF8:
        chain.append(entry(chain[-1]))
    def find_entry(name):
        for c in chain:
            f.seek(cluster_at(c))
            block = f.read(spc * 512)
            for o in range(0, len(block), 32):
                if block[o:o + 11] == name:
                    return cluster_at(c) + o
        raise SystemExit("no entry " + name.decode())
    if op == "loop":
        # The last cluster of the root directory points back to the first.
        assert len(chain) > 1
        set_entry(chain[-1], root)
    elif op == "long-chain":
        # The root directory's free slots and 300 more clusters filled with
        # short-name entries, then one cluster with the boot files: those
        # lie beyond cluster 256.
        first = 60000
        extra = list(range(first, first + 301))
        prev = chain[-1]
        for c in extra:
            set_entry(prev, c)
            prev = c
        set_entry(prev, 0x0FFFFFFF)
        serial = 0
        for c in chain + extra[:-1]:
            f.seek(cluster_at(c))
            block = bytearray(f.read(spc * 512))
            for o in range(0, len(block), 32):
                if block[o] == 0:
                    block[o:o + 32] = b"F%05d  TXT\x20" % serial + bytes(20)
                    serial += 1
            f.seek(cluster_at(c))
            f.write(block)
        f.seek(cluster_at(extra[-1]))
        f.write(b"".join(n + b"\x20" + bytes(20) for n in
                         (b"CONFIG  TXT", b"CMDLINE TXT", b"START4  ELF", b"FIXUP4  DAT", b"KERNEL8 IMG")))
    elif op == "end-marker":
        # An entry starting with 0x00 in the middle: the directory ends there.
        f.seek(find_entry(b"CONFIG  TXT"))
        f.write(b"\x00")
    elif op == "lowercase":
        # A short name stored in lower case.
        f.seek(find_entry(b"CONFIG  TXT"))
        f.write(b"config  txt")
    else:
        raise SystemExit("unknown op " + op)
PY
}

for op in loop long-chain end-marker lowercase; do
  if [[ $op == long-chain ]]; then cp --sparse=always "$work/empty.fat" "$work/$op.fat"
  else cp --sparse=always "$work/pi.fat" "$work/$op.fat"; fi
  patch "$op" "$work/$op.fat"
  image "$op.img" "$op" "$pi_table"
done

# A Pi image without the 0x55AA signature, and one whose boot sector claims
# 256 bytes per sector.
cp --sparse=always "$out/pi.img" "$out/no-signature.img"
printf '\0\0' | dd of="$out/no-signature.img" bs=1 seek=510 conv=notrunc status=none
cp --sparse=always "$out/pi.img" "$out/corrupt-boot-sector.img"
printf '\0\1' | dd of="$out/corrupt-boot-sector.img" bs=1 seek=$((boot_start * 512 + 11)) conv=notrunc status=none

# Targets that end early: inside the MBR, after the MBR, and after the FAT.
reserved=$(od -An -tu2 -j14 -N2 "$work/pi.fat" | tr -d ' ')
spf=$(od -An -tu4 -j36 -N4 "$work/pi.fat" | tr -d ' ')
for cut in short-mbr:300 mbr-only:512 no-data-region:$(( (boot_start + reserved + 2 * spf) * 512 )); do
  cp --sparse=always "$out/pi.img" "$out/${cut%%:*}.img"
  truncate -s "${cut##*:}" "$out/${cut%%:*}.img"
done

rm -rf "$work"
