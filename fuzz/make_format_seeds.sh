#!/usr/bin/env bash
# Seeds for fuzz_formats, made with each format's own tool. Each seed starts
# with the byte that chooses the format (0: detected) and the one that
# chooses the read buffer. Small files show each format, several members,
# frames or streams, a zip of several entries, and damaged copies.
set -euo pipefail
mkdir -p "$1"
cd "$1"
seq 1 3000 > plain.txt
head -c 3000 /dev/zero > zeros.bin
gzip -c plain.txt > a.gz
{ gzip -c plain.txt; gzip -c zeros.bin; } > members.gz
bzip2 -c plain.txt > a.bz2
{ bzip2 -c plain.txt; bzip2 -c zeros.bin; } > streams.bz2
zstd -q -c plain.txt > a.zst
zstd -q -c --no-check zeros.bin > nocheck.zst
cat a.zst nocheck.zst > frames.zst
xz -c plain.txt > a.xz
zip -q one.zip plain.txt
zip -q -0 stored.zip plain.txt
zip -q several.zip plain.txt zeros.bin
python3 - <<'PY'
for name in ("a.gz", "a.bz2", "a.zst", "one.zip"):
    data = bytearray(open(name, "rb").read())
    data[len(data) // 2] ^= 0x55
    open("damaged-" + name, "wb").write(data)
PY
for f in a.gz members.gz a.bz2 streams.bz2 a.zst nocheck.zst frames.zst a.xz one.zip stored.zip several.zip damaged-*; do
  { printf '\0\100'; cat "$f"; } > "$f.seed"
done
rm -f plain.txt zeros.bin a.gz members.gz a.bz2 streams.bz2 a.zst nocheck.zst frames.zst a.xz one.zip stored.zip \
  several.zip damaged-a.gz damaged-a.bz2 damaged-a.zst damaged-one.zip
