#!/usr/bin/env bash
# The helper's main job on a built-in example: a whole flashing job on a small
# Raspberry-Pi-like image it makes itself, with a plain file as the target:
# first the two-step way (extract the .xz, write the plain image), then the
# same card in one request that decodes the .xz while writing it.
#   scripts/example.sh              target is a file in a temporary folder
#   scripts/example.sh /dev/sdX     target is a device YOU name: it is overwritten!
# Installs what is missing (native packages only) and builds the helper first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --native >/dev/null
cmake -S . -B build-example -G Ninja -DCMAKE_BUILD_TYPE=Release -DDISK_HELPER_TESTS=OFF >/dev/null
cmake --build build-example >/dev/null
helper="$PWD/build-example/disk-helper"

work="$(mktemp -d "${TMPDIR:-/tmp}/disk-helper-example.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export PATH="/usr/sbin:/sbin:$PATH"

# A 96 MiB image: MBR, a 64 MiB FAT32 boot partition with the Raspberry Pi
# boot files, and a small Linux root partition.
boot="$work/boot.fat"
truncate -s 64M "$boot"
mkfs.vfat -F 32 -s 1 -n BOOTFS "$boot" >/dev/null
printf 'arm_64bit=1\n' > "$work/config.txt"
printf 'console=serial0,115200 root=PARTUUID=feedf00d-02 rootwait\n' > "$work/cmdline.txt"
head -c 300000 /dev/urandom > "$work/start4.elf"
head -c 5000 /dev/urandom > "$work/fixup4.dat"
head -c 900000 /dev/urandom > "$work/kernel8.img"
mcopy -i "$boot" "$work/config.txt" "$work/cmdline.txt" "$work/start4.elf" "$work/fixup4.dat" "$work/kernel8.img" ::/
mmd -i "$boot" ::/overlays
image="$work/raspios.img"
truncate -s 96M "$image"
printf 'label: dos\nlabel-id: 0xfeedf00d\nstart=8192, size=131072, type=c\nstart=139264, type=83\n' | sfdisk -q "$image"
dd if="$boot" of="$image" bs=512 seek=8192 conv=notrunc status=none
xz -T1 -k -c "$image" > "$image.xz"
rm -f "$image" "$boot"

target="${1:-$work/target.img}"
if [[ -z "${1:-}" ]]; then truncate -s 96M "$target"; fi

field() { python3 -c 'import json,sys; d=json.loads(sys.stdin.read().splitlines()[-1]); print(d.get("payload",{}).get(sys.argv[1],""))' "$1"; }
run() {
  local request="{\"id\":\"$1\",\"sessionId\":\"example\",\"command\":\"$2\",\"payload\":$3}"
  printf "\n$ disk-helper --request '%s'\n" "$request" >&2
  local out
  out=$("$helper" --request "$request")
  printf '%s\n' "$out" >&2
  printf '%s\n' "$out"
}

echo "Example flashing job: image $image.xz -> target $target" >&2
run 1 health '{}' >/dev/null
run 2 image_validate_xz "{\"imagePath\":\"$image.xz\"}" >/dev/null
run 3 image_uncompressed_size "{\"imagePath\":\"$image.xz\"}" >/dev/null
sha=$(run 4 image_extract_xz "{\"imagePath\":\"$image.xz\",\"outputPath\":\"$image\"}" | field sha256)
bytes=$(stat -c %s "$image")
written=$(run 5 write_image "{\"imagePath\":\"$image\",\"osDevicePath\":\"$target\",\"taskId\":\"example\"}")
observed=$(printf '%s\n' "$written" | field observedSha256)
run 6 verify_hash "{\"osDevicePath\":\"$target\",\"bytesTotal\":$bytes}" >/dev/null
run 7 verify_boot "{\"osDevicePath\":\"$target\",\"expectedSha256\":\"$sha\",\"observedSha256\":\"$observed\",\"verifiedBytes\":$bytes,\"imageBytes\":$bytes}" >/dev/null
run 8 read_sectors "{\"osDevicePath\":\"$target\",\"startLba\":0,\"sectorCount\":1}" >/dev/null

# What Windows does when it mounts a fresh card: it rewrites the FSInfo
# sector's free-cluster count. The classification tells that from corruption.
copy="$work/mounted-copy.img"
cp --sparse=always "$target" "$copy"
printf '\x00\x10\x00\x00' | dd of="$copy" bs=1 seek=$(( (8192 + 1) * 512 + 488 )) conv=notrunc status=none
run 9 classify_mismatch "{\"imagePath\":\"$image\",\"osDevicePath\":\"$copy\",\"bytesTotal\":$bytes}" >/dev/null

# The same card in one request: write_image decodes the .xz while writing it.
# Without a device of yours the card is a second file, compared byte for byte
# with the first; a device is simply written again.
echo >&2
echo "The same flash in one request, straight from $image.xz:" >&2
target2="$target"
if [[ -z "${1:-}" ]]; then target2="$work/target-xz.img"; truncate -s 96M "$target2"; fi
direct=$(run 10 write_image "{\"imagePath\":\"$image.xz\",\"decompress\":\"xz\",\"osDevicePath\":\"$target2\",\"taskId\":\"example\"}")
direct_sha=$(printf '%s\n' "$direct" | field sourceSha256)
direct_observed=$(printf '%s\n' "$direct" | field observedSha256)
if [[ "$direct_sha" != "$sha" || "$direct_observed" != "$sha" ]]; then
  echo "The one-request write differs from the extracted image ($direct_sha, read back $direct_observed; expected $sha)" >&2
  exit 1
fi
if [[ "$target2" != "$target" ]] && ! cmp -s "$target" "$target2"; then
  echo "The two cards differ: $(cmp "$target" "$target2" 2>&1 || true)" >&2
  exit 1
fi
echo >&2
echo "Both ways wrote the same card (SHA-256 $sha)." >&2
echo "Done. Each command answered with one JSON line; write_image also printed progress lines." >&2
