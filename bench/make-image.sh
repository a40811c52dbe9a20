#!/usr/bin/env bash
# Builds a realistic 1 GiB test image (like an OS image: a partition table,
# long zero runs, compressible text, binaries, some incompressible data) and
# its .xz files, single- and multi-block. Cached in $1 (default
# ~/.cache/disk-helper/bench); prints the folder.
set -euo pipefail
dir="${1:-${XDG_CACHE_HOME:-$HOME/.cache}/disk-helper/bench}"
mkdir -p "$dir"
img="$dir/image.img"
if [[ ! -f "$dir/.complete" ]]; then
  python3 - "$img" <<'PY'
import os, random, sys
path = sys.argv[1]
size = 1 << 30
mib = 1 << 20
rng = random.Random(1234)
text = " ".join(rng.choice(["kernel", "module", "firmware", "boot", "config", "overlay", "usr", "lib",
                            "share", "doc", "bin", "etc", "0x1f", "rpi", "=", "\n"]) for _ in range(600000)).encode()
binaries = b""
for root in ("/usr/bin", "/usr/lib/x86_64-linux-gnu"):
    for name in sorted(os.listdir(root)):
        p = os.path.join(root, name)
        if os.path.isfile(p) and not os.path.islink(p):
            with open(p, "rb") as f:
                binaries += f.read(4 * mib)
        if len(binaries) > 96 * mib:
            break
with open(path, "wb") as out:
    written = 0
    layout = [("zero", 8), ("text", 64), ("bin", 96), ("zero", 200), ("random", 64), ("text", 96),
              ("bin", 96), ("zero", 300), ("random", 32)]
    for kind, n in layout:
        for _ in range(n):
            if kind == "zero":
                block = bytes(mib)
            elif kind == "random":
                block = rng.randbytes(mib)
            elif kind == "text":
                off = rng.randrange(0, len(text) - mib)
                block = text[off:off + mib]
            else:
                off = rng.randrange(0, len(binaries) - mib)
                block = binaries[off:off + mib]
            out.write(block)
            written += mib
    out.write(bytes(size - written))
PY
  # An MBR with a FAT32 boot partition and a Linux root partition, like a
  # Raspberry Pi OS image.
  printf 'label: dos\nstart=8192, size=524288, type=c\nstart=532480, type=83\n' | sfdisk -q "$img"
  xz -T1 -6 -k -c "$img" > "$dir/image.img.xz"
  xz -T2 -6 --block-size=64MiB -k -c "$img" > "$dir/image-multiblock.img.xz"
  touch "$dir/.complete"
fi
echo "$dir"
