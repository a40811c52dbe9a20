#!/usr/bin/env bash
# Seed corpus for fuzz_boot_reader, written to $1: the boot tests' disk
# images (made by src/boot/make_fixtures.sh) as sparse sector records (an
# 8-byte little-endian LBA, then the sector) holding every non-zero sector,
# and the images shorter than a sector as they are.
set -euo pipefail
out="$1"
here="$(cd "$(dirname "$0")" && pwd)"
images="$(mktemp -d)"
trap 'rm -rf "$images"' EXIT
mkdir -p "$out"
bash "$here/../src/boot/make_fixtures.sh" "$images"
python3 - "$images" "$out" <<'PY'
import os, struct, sys

images, out = sys.argv[1], sys.argv[2]
for name in sorted(os.listdir(images)):
    if not name.endswith(".img"):
        continue
    path = os.path.join(images, name)
    size = os.path.getsize(path)
    seed = os.path.join(out, name[:-4] + ".seed")
    with open(path, "rb") as f:
        if size <= 512:
            with open(seed, "wb") as s:
                s.write(f.read())
            continue
        records = []
        offset = 0
        fd = f.fileno()
        while offset < size:
            try:
                offset = os.lseek(fd, offset, os.SEEK_DATA)
            except OSError:
                break
            end = os.lseek(fd, offset, os.SEEK_HOLE)
            offset -= offset % 512
            f.seek(offset)
            while offset < end:
                sector = f.read(512)
                if any(sector):
                    records.append(struct.pack("<Q", offset // 512) + sector)
                offset += 512
        with open(seed, "wb") as s:
            s.write(b"".join(records))
PY
