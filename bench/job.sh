#!/usr/bin/env bash
# Benchmark of the whole flashing job from an .xz image, three ways on the
# same target, interleaved, medians of elapsed seconds and peak memory:
#   one write_image with "decompress":"xz" (decode, hash, write, read back)
#   the sequence the desktop application ran before: image_validate_xz,
#     image_uncompressed_size, image_extract_xz to a temporary file, then
#     write_image of that file with readback
#   the shell pipeline xz -dc -T2 | dd bs=4M oflag=dsync, then openssl dgst
#     -sha256 of the target (after dropping a device's cache)
# for the single-block and the multi-block image of bench/make-image.sh, on a
# preallocated file and (as root) on a loop device.
#
#   bench/job.sh [runs]     (default 3)
set -euo pipefail
runs="${1:-3}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
source "$root/bench/lib.sh"
cache="$(bash bench/make-image.sh)"
bench_setup job-bench "$cache/image.img"

request() {  # command, payload
  printf '{"id":"b","sessionId":"bench","command":"%s","payload":%s}' "$1" "$2"
}

# Runs one helper request, failing the benchmark when it does not succeed
# with the image's digest (where it reports one).
helper_ok() {
  local last
  "$helper" --request "$1" >"$work/helper.out"
  last=$(tail -n 1 "$work/helper.out")
  grep -q '"ok":true' <<<"$last" || { echo "helper failed: $last" >&2; exit 1; }
  if grep -q '"observedSha256"' <<<"$last" && ! grep -q "\"observedSha256\":\"$image_sha\",\"sourceSha256\":\"$image_sha\"" <<<"$last"; then
    echo "write_image did not read back the image: $last" >&2
    exit 1
  fi
}

one_request() {  # xz, target
  helper_ok "$(request write_image "{\"imagePath\":\"$1\",\"decompress\":\"xz\",\"osDevicePath\":\"$2\",\"taskId\":\"b\"}")"
}

old_sequence() {  # xz, target
  local plain="$work/extracted.img"
  helper_ok "$(request image_validate_xz "{\"imagePath\":\"$1\"}")"
  helper_ok "$(request image_uncompressed_size "{\"imagePath\":\"$1\"}")"
  helper_ok "$(request image_extract_xz "{\"imagePath\":\"$1\",\"outputPath\":\"$plain\"}")"
  helper_ok "$(request write_image "{\"imagePath\":\"$plain\",\"osDevicePath\":\"$2\",\"taskId\":\"b\",\"bytesTotal\":$size}")"
  rm -f "$plain"
}

shell_pipeline() {  # xz, target
  xz -dc -T2 "$1" | dd of="$2" bs=4M iflag=fullblock conv=notrunc oflag=dsync status=none
  [[ -b "$2" ]] && blockdev --flushbufs "$2"
  [[ "$(openssl dgst -sha256 -r "$2" | cut -c1-64)" == "$image_sha" ]] || { echo "pipeline wrote other bytes" >&2; exit 1; }
}
export -f request helper_ok one_request old_sequence shell_pipeline
export helper work size image_sha

bench_job() {  # xz, target, label
  local -a one_e one_m old_e old_m pipe_e pipe_m
  for ((i = 0; i < runs; i++)); do
    read -r e _ m < <(measure "$work" bash -c 'one_request "$0" "$1"' "$1" "$2")
    one_e+=("$e"); one_m+=("$m")
    read -r e _ m < <(measure "$work" bash -c 'old_sequence "$0" "$1"' "$1" "$2")
    old_e+=("$e"); old_m+=("$m")
    read -r e _ m < <(measure "$work" bash -c 'shell_pipeline "$0" "$1"' "$1" "$2")
    pipe_e+=("$e"); pipe_m+=("$m")
  done
  local one old pipe
  one=$(printf '%s\n' "${one_e[@]}" | median)
  old=$(printf '%s\n' "${old_e[@]}" | median)
  pipe=$(printf '%s\n' "${pipe_e[@]}" | median)
  echo
  echo "== $3 ($runs runs; medians of elapsed seconds; load $(cut -d' ' -f1-3 /proc/loadavg))"
  printf '%-50s %9s %9s %8s\n' "" "baseline" "helper" "ratio"
  ratio_line "old four-request sequence  vs  one write_image" "$old" "$one" 0.5
  ratio_line "xz -T2 | dd + openssl(target)  vs  one write_image" "$pipe" "$one" 1.0
  awk -v a="$(printf '%s\n' "${one_m[@]}" | sort -g | tail -n 1)" -v b="$(printf '%s\n' "${old_m[@]}" | sort -g | tail -n 1)" \
    -v c="$(printf '%s\n' "${pipe_m[@]}" | sort -g | tail -n 1)" \
    'BEGIN {printf "peak RSS MiB: one request %.1f, largest of the sequence %.1f, pipeline %.1f\n", a / 1024, b / 1024, c / 1024}'
  echo "all elapsed: one ${one_e[*]} | sequence ${old_e[*]} | pipeline ${pipe_e[*]}"
}

cp --sparse=never "$img" "$work/target.img"
for xzimg in "$cache/image.img.xz" "$cache/image-multiblock.img.xz"; do
  bench_job "$xzimg" "$work/target.img" "$(basename "$xzimg") onto a file"
done
if [[ "$(id -u)" == 0 ]] && command -v losetup >/dev/null; then
  truncate -s "$size" "$work/loop-backing.img"
  if loop=$(losetup -f --show "$work/loop-backing.img" 2>/dev/null); then
    for xzimg in "$cache/image.img.xz" "$cache/image-multiblock.img.xz"; do
      bench_job "$xzimg" "$loop" "$(basename "$xzimg") onto a loop device"
    done
  else
    loop=""
    echo; echo "(no loop device could be attached; skipped)"
  fi
fi
