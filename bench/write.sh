#!/usr/bin/env bash
# Benchmark of write_image against dd and openssl on the same bytes.
#
#   bench/write.sh [runs]        (default 3 runs; BENCH_IMAGE=path to use another image)
#
# Builds a native Release helper in build-release, takes the cached 1 GiB
# image of bench/make-image.sh, and writes it onto a preallocated file (and
# onto a loop device when one can be attached), printing medians and ratios:
#   write_image skipReadback   vs  dd bs=4M conv=notrunc oflag=dsync alone (the
#                                  helper hashes the image beside its writes)
#   write_image with readback  vs  the same dd + openssl dgst -sha256 TARGET
#   user CPU of write_image skipReadback  vs  openssl dgst -sha256 IMG
#   peak resident memory of write_image
# The helper opens the target with O_DSYNC (write-through), as oflag=dsync does.
# On a block device the helper's readback drops the device's cache before it
# reads (so it reads the medium); the reference does the same with
# blockdev --flushbufs before hashing the target.
set -euo pipefail
runs="${1:-3}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

source "$root/bench/lib.sh"
bench_setup write-bench "${BENCH_IMAGE:-$(bash bench/make-image.sh)/image.img}"

check_helper_answer() {
  local last
  last=$(tail -n 1 "$work/stdout.txt")
  if ! grep -q '"ok":true' <<<"$last" || ! grep -q "\"sourceSha256\":\"$image_sha\"" <<<"$last"; then
    echo "write_image did not succeed: $last" >&2
    exit 1
  fi
  if grep -q '"observedSha256"' <<<"$last" && ! grep -q "\"observedSha256\":\"$image_sha\"" <<<"$last"; then
    echo "write_image read back other bytes: $last" >&2
    exit 1
  fi
}

request() {
  printf '{"id":"b","sessionId":"bench","command":"write_image","payload":{"imagePath":"%s","osDevicePath":"%s","taskId":"b","skipReadback":%s}}' \
    "$img" "$1" "$2"
}

bench_target() {
  local target="$1" label="$2" drop=""
  [[ -b "$target" ]] && drop="blockdev --flushbufs '$target' && "
  local -a dd_e dd_u ddv_e ddv_u wi_e wi_u wi_m wv_e wv_u wv_m os_u
  for ((i = 0; i < runs; i++)); do
    read -r e u _ < <(measure "$work" dd if="$img" of="$target" bs=4M conv=notrunc oflag=dsync status=none)
    dd_e+=("$e"); dd_u+=("$u")
    read -r e u m < <(measure "$work" "$helper" --request "$(request "$target" true)")
    check_helper_answer
    wi_e+=("$e"); wi_u+=("$u"); wi_m+=("$m")
    read -r e u _ < <(measure "$work" bash -c "dd if='$img' of='$target' bs=4M conv=notrunc oflag=dsync status=none && ${drop}openssl dgst -sha256 '$target' >/dev/null")
    ddv_e+=("$e"); ddv_u+=("$u")
    read -r e u m < <(measure "$work" "$helper" --request "$(request "$target" false)")
    check_helper_answer
    wv_e+=("$e"); wv_u+=("$u"); wv_m+=("$m")
    read -r e u _ < <(measure "$work" openssl dgst -sha256 "$img")
    os_u+=("$u")
  done
  local m_dd m_wi m_ddv m_wv u_wi u_os peak_wi peak_wv
  m_dd=$(printf '%s\n' "${dd_e[@]}" | median)
  m_wi=$(printf '%s\n' "${wi_e[@]}" | median)
  m_ddv=$(printf '%s\n' "${ddv_e[@]}" | median)
  m_wv=$(printf '%s\n' "${wv_e[@]}" | median)
  u_wi=$(printf '%s\n' "${wi_u[@]}" | median)
  u_os=$(printf '%s\n' "${os_u[@]}" | median)
  peak_wi=$(printf '%s\n' "${wi_m[@]}" | sort -g | tail -n 1)
  peak_wv=$(printf '%s\n' "${wv_m[@]}" | sort -g | tail -n 1)
  echo
  echo "== $label: $target ($runs runs, $((size / 1048576)) MiB image; medians of elapsed seconds)"
  printf '%-50s %9s %9s %8s\n' "" "baseline" "helper" "ratio"
  ratio_line "dd oflag=dsync  vs  write_image skipReadback" "$m_dd" "$m_wi" 1.05
  ratio_line "dd + openssl(target)  vs  write_image readback" "$m_ddv" "$m_wv" 1.05
  ratio_line "user s: openssl dgst(img)  vs  skipReadback" "$u_os" "$u_wi" 1.10
  awk -v a="$peak_wi" -v b="$peak_wv" 'BEGIN {printf "%-50s %9.1f %9.1f           (goal < 32 MiB)\n", "peak RSS MiB: skipReadback, readback", a / 1024, b / 1024}'
  echo "all elapsed: dd ${dd_e[*]} | skip ${wi_e[*]} | dd+verify ${ddv_e[*]} | readback ${wv_e[*]}"
}

# Both targets are exactly the image's size, so hashing the whole target
# hashes the written range.
bench_file_and_loop bench_target
