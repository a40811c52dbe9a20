#!/usr/bin/env bash
# Makes the XZ fixtures of the image tests in $1 with the real xz tool; the
# few files xz cannot produce are derived from its output by patching single
# header fields (with their CRC32 recomputed).
set -euo pipefail
cd "$1"

# About 3 MiB of mixed content: text that compresses well, and bytes that do
# not (LZMA2 stores those as uncompressed chunks).
{
  seq 1 250000
  # openssl stops on SIGPIPE once head has enough.
  { openssl enc -aes-128-ctr -nosalt -pass pass:disk-helper -pbkdf2 < /dev/zero 2> /dev/null || true; } | head -c 1200000
  seq 250000 -3 1
} > plain.bin
sha256sum plain.bin | cut -d' ' -f1 > plain.sha256
: > empty.bin

for check in none crc32 crc64 sha256; do
  xz -T1 -c --check=$check plain.bin > check-$check.xz
done
xz -T1 -c --x86 --lzma2 plain.bin > bcj.xz
xz -T2 -c --block-size=256KiB plain.bin > multi-block.xz
xz -T1 -c empty.bin > empty.xz
xz -T1 -c --check=sha256 empty.bin > empty-sha256.xz
cat check-crc64.xz check-crc32.xz > two-streams.xz
{ cat check-crc64.xz; printf '\0\0\0\0'; } > padded.xz
size=$(stat -c %s check-crc64.xz)
head -c $((size / 2)) check-crc64.xz > truncated-middle.xz
head -c $((size - 1)) check-crc64.xz > truncated-footer.xz
gzip -9 -n -c plain.bin > plain.bin.gz

# One byte flipped in the middle of the last block's compressed data.
blocks=$(xz --robot --list -vv multi-block.xz | grep -c '^block')
if (( blocks < 4 )); then echo "multi-block.xz has only $blocks blocks" >&2; exit 1; fi
read -r offset header data < <(xz --robot --list -vv multi-block.xz | awk -F'\t' '/^block/ {o=$5; h=$12; d=$14} END {print o, h, d}')
cp multi-block.xz flipped-last-block.xz
python3 - flipped-last-block.xz $((offset + header + data / 2)) <<'PY'
import sys
path, at = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, "rb").read())
data[at] ^= 0x55
open(path, "wb").write(data)
PY

# Made with xz -T2, every block header gives both sizes, so the threaded
# decoder hands the blocks to its workers. Derived from it: a byte flipped in
# a middle block; the index's first record changed; a middle block whose
# header drops its uncompressed size (decoded in place amid handed-over
# blocks, still a valid stream); and a first block header that claims 1 PiB
# of decoded data (nothing may be allocated for it).
xz -T1 -c --block-size=256KiB plain.bin > multi-block-nosize.xz
python3 - multi-block.xz <<'PY'
import struct, sys, zlib, subprocess
source = sys.argv[1]
rows = [line.split("\t") for line in subprocess.run(["xz", "--robot", "--list", "-vv", source], check=True,
        capture_output=True, text=True).stdout.splitlines() if line.startswith("block")]
blocks = [(int(r[4]), int(r[11]), int(r[13])) for r in rows]  # offset, header size, data size
data = bytes(open(source, "rb").read())

def vli(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)

def read_vli(buf, pos):
    value, shift = 0, 0
    while True:
        value |= (buf[pos] & 0x7F) << shift
        shift += 7
        pos += 1
        if not buf[pos - 1] & 0x80:
            return value, pos

def header(compressed, uncompressed, filters, size):
    flags = (0x40 if compressed is not None else 0) | (0x80 if uncompressed is not None else 0)
    body = bytes([size // 4 - 1, flags]) + (vli(compressed) if compressed is not None else b"") + \
        (vli(uncompressed) if uncompressed is not None else b"") + filters
    body += bytes(size - 4 - len(body))
    return body + struct.pack("<I", zlib.crc32(body))

def parse(offset):
    size = (data[offset] + 1) * 4
    assert data[offset + 1] == 0xC0, "expected both sizes in the block header"
    compressed, pos = read_vli(data, offset + 2)
    uncompressed, pos = read_vli(data, pos)
    filters = data[pos:pos + 3]
    assert filters[:2] == b"\x21\x01", "expected LZMA2 alone"
    return size, compressed, uncompressed, filters

middle = blocks[len(blocks) // 2]
flipped = bytearray(data)
flipped[middle[0] + middle[1] + middle[2] // 2] ^= 0x55
open("flipped-middle-block.xz", "wb").write(flipped)

backward = struct.unpack("<I", data[-8:-4])[0]
index = len(data) - 12 - (backward + 1) * 4
assert data[index] == 0
_, records = read_vli(data, index + 1)
changed = bytearray(data)
changed[records] ^= 0x04  # the first block's unpadded size
open("flipped-multi-index.xz", "wb").write(changed)

offset = blocks[len(blocks) // 2 + 1][0]
size, compressed, _, filters = parse(offset)
open("mixed-sizes.xz", "wb").write(data[:offset] + header(compressed, None, filters, size) + data[offset + size:])

offset = blocks[0][0]
size, compressed, _, filters = parse(offset)
open("huge-size.xz", "wb").write(data[:offset] + header(compressed, 1 << 50, filters, size + 4) +
                                 data[offset + size:])
PY

# One byte flipped in the index's CRC32 (just before the 12-byte footer), and
# one in the footer's backward size field.
python3 - check-crc64.xz flipped-index.xz flipped-footer.xz <<'PY'
import sys
source, index_path, footer_path = sys.argv[1:]
for path, back in ((index_path, 13), (footer_path, 7)):
    data = bytearray(open(source, "rb").read())
    data[len(data) - back] ^= 0x01
    open(path, "wb").write(data)
PY

# Patches that xz cannot produce: a block header that claims a 1.5 GiB
# dictionary, and a stream header with the reserved check id 0x02.
xz -T1 -c --lzma2=preset=0 plain.bin > large-dictionary.xz
cp check-crc64.xz check-id-2.xz
python3 - large-dictionary.xz check-id-2.xz <<'PY'
import struct, sys, zlib
dict_path, check_path = sys.argv[1], sys.argv[2]

data = bytearray(open(dict_path, "rb").read())
start = 12  # the first block header follows the 12-byte stream header
size = (data[start] + 1) * 4
flags = data[start + 1]
assert flags & 0x03 == 0, "expected a single filter"
pos = start + 2
for bit in (0x40, 0x80):  # skip the optional size fields (VLIs)
    if flags & bit:
        while data[pos] & 0x80:
            pos += 1
        pos += 1
assert data[pos] == 0x21 and data[pos + 1] == 0x01, "expected LZMA2 with one property byte"
data[pos + 2] = 37  # (2 | 1) << (37 / 2 + 11) = 1.5 GiB
crc_at = start + size - 4
data[crc_at:crc_at + 4] = struct.pack("<I", zlib.crc32(bytes(data[start:crc_at])))
open(dict_path, "wb").write(data)

data = bytearray(open(check_path, "rb").read())
data[7] = 0x02
data[8:12] = struct.pack("<I", zlib.crc32(bytes(data[6:8])))
open(check_path, "wb").write(data)
PY

# 10 MiB that decode into more than two 4 MiB write pieces.
head -c $((10 * 1024 * 1024)) /dev/zero | xz -T1 -c > zeros.xz
# 10 MiB with no zero bytes, and an image-like mix: data, 9 MiB of zeros, data,
# then zeros to the end (extraction skips whole 4 MiB runs of zeros).
{ yes 'disk-helper' || true; } | head -c $((10 * 1024 * 1024)) | xz -T1 -c > pattern.xz
{ seq 1 100000; head -c $((9 * 1024 * 1024)) /dev/zero; seq 1 1000; head -c $((5 * 1024 * 1024)) /dev/zero; } > holes.bin
sha256sum holes.bin | cut -d' ' -f1 > holes.sha256
xz -T1 -c holes.bin > holes.xz
