#!/usr/bin/env bash
# Benchmark of write_image decoding each compressed format while it writes,
# against the format's own tool piped into dd, on the same bytes.
#
#   bench/formats.sh [runs]      (default 3 runs; BENCH_IMAGE=path to use another image;
#                                 FORMATS="gz zstd" to run only some)
#
# Builds a native Release helper in build-release, takes the cached 1 GiB
# image of bench/make-image.sh, compresses it once per format with the
# format's own tool (gzip -6, bzip2 -9, zstd -3, zip -6: each tool's
# default level; cached beside the image), and writes it onto a preallocated
# file and (as root) a loop device, printing medians and ratios:
#   write_image decompress F, skipReadback  vs  TOOL -dc IMG | dd bs=4M oflag=dsync
# (TOOL: gzip -dc, bzip2 -dc, zstd -dc, unzip -p), with the peak resident
# memory of each. The helper hashes the decoded bytes and checks every
# format's integrity data beside its writes; the reference does neither hash.
set -euo pipefail
runs="${1:-3}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

source "$root/bench/lib.sh"
image_dir="$(bash bench/make-image.sh)"
bench_setup formats-bench "${BENCH_IMAGE:-$image_dir/image.img}"
formats=(${FORMATS:-gz bz2 zstd zip})

# The compressed copies, made once and kept beside the image.
compressed() {
  local f="$1" out="$image_dir/image.img.$1"
  if [[ ! -s "$out" || "$out" -ot "$img" ]]; then
    case "$f" in
      gz) gzip -6 -c "$img" >"$out.tmp" ;;
      bz2) bzip2 -9 -c "$img" >"$out.tmp" ;;
      zstd) zstd -q -3 -T0 -c "$img" >"$out.tmp" ;;
      zip) rm -f "$out.tmp.zip" && (cd "$(dirname "$img")" && zip -q -6 "$out.tmp.zip" "$(basename "$img")") &&
        mv "$out.tmp.zip" "$out.tmp" ;;
    esac
    mv "$out.tmp" "$out"
  fi
  echo "$out"
}

reference() {
  local f="$1" file="$2"
  case "$f" in
    gz) echo "gzip -dc '$file'" ;;
    bz2) echo "bzip2 -dc '$file'" ;;
    zstd) echo "zstd -q -dc '$file'" ;;
    zip) echo "unzip -p '$file'" ;;
  esac
}

request() {
  printf '{"id":"b","sessionId":"bench","command":"write_image","payload":{"imagePath":"%s","osDevicePath":"%s","taskId":"b","skipReadback":true,"decompress":"%s"}}' \
    "$1" "$2" "$3"
}

bench_target() {
  local target="$1" label="$2"
  echo
  echo "== $label: $target ($runs runs, $((size / 1048576)) MiB image; medians of elapsed seconds)"
  printf '%-50s %9s %9s %8s\n' "" "baseline" "helper" "ratio"
  for f in "${formats[@]}"; do
    local file ref
    file="$(compressed "$f")"
    ref="$(reference "$f" "$file") | dd of='$target' bs=4M iflag=fullblock conv=notrunc oflag=dsync status=none"
    local -a ref_e ref_m wi_e wi_m
    ref_e=(); ref_m=(); wi_e=(); wi_m=()
    for ((i = 0; i < runs; i++)); do
      read -r e _ m < <(measure "$work" bash -c "$ref")
      ref_e+=("$e"); ref_m+=("$m")
      read -r e _ m < <(measure "$work" "$helper" --request "$(request "$file" "$target" "$f")")
      last=$(tail -n 1 "$work/stdout.txt")
      if ! grep -q '"ok":true' <<<"$last" || ! grep -q "\"sourceSha256\":\"$image_sha\"" <<<"$last"; then
        echo "write_image ($f) did not succeed: $last" >&2
        exit 1
      fi
      wi_e+=("$e"); wi_m+=("$m")
    done
    local m_ref m_wi peak_ref peak_wi
    m_ref=$(printf '%s\n' "${ref_e[@]}" | median)
    m_wi=$(printf '%s\n' "${wi_e[@]}" | median)
    peak_wi=$(printf '%s\n' "${wi_m[@]}" | sort -g | tail -n 1)
    peak_ref=$(printf '%s\n' "${ref_m[@]}" | sort -g | tail -n 1)
    ratio_line "$f: tool -dc | dd  vs  write_image decompress" "$m_ref" "$m_wi" 1.05
    awk -v a="$peak_ref" -v b="$peak_wi" -v s="$(stat -c %s "$file")" \
      'BEGIN {printf "%-50s %9.1f %9.1f   (compressed %.0f MiB)\n", "   peak RSS MiB: tool (largest process), helper", a / 1024, b / 1024, s / 1048576}'
    echo "   all elapsed: reference ${ref_e[*]} | helper ${wi_e[*]}"
  done
}

bench_file_and_loop bench_target
