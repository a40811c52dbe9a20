#!/usr/bin/env bash
# Benchmarks the image commands of a native Release build against reference
# tools on the 1 GiB image of bench/make-image.sh: the median wall time of
# several interleaved runs, the ratio to the reference, and peak resident
# memory (/usr/bin/time -f %M).
#
#   bench/image.sh            # 5 runs of each command
#   RUNS=9 bench/image.sh     # more runs
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
build=${BUILD_DIR:-$root/build-release}
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDISK_HELPER_TESTS=OFF > /dev/null
cmake --build "$build" --target disk-helper > /dev/null
helper=$build/disk-helper
cache=$("$root/bench/make-image.sh")
img=$cache/image.img
xzimg=$cache/image.img.xz
multixz=$cache/image-multiblock.img.xz
work=$(mktemp -d "${TMPDIR:-/tmp}/disk-helper-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

request() {  # command, payload
  printf '{"id":"b","sessionId":"s","command":"%s","payload":%s}' "$1" "$2"
}

# run_once NAME CMD...: runs CMD (through bash -c when it is one string with
# a redirection), appends "seconds peak_kib" to $work/NAME.
run_once() {
  local name=$1; shift
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/$name.mem" "$@" > "$work/$name.out"
  t1=$(date +%s%N)
  echo "$(( (t1 - t0) / 1000000 )) $(cat "$work/$name.mem")" >> "$work/$name.runs"
}

median() {  # column number, file
  sort -n -k"$1","$1" "$2" | awk -v c="$1" '{v[NR]=$c} END {print v[int((NR+1)/2)]}'
}

check_ok() {  # file with the helper's response line
  grep -q '"ok":true' "$1" || { echo "helper failed: $(cat "$1")" >&2; exit 1; }
}

# pair LABEL GOAL HELPER_REQUEST REFERENCE_SCRIPT
pair() {
  local label=$1 goal=$2 req=$3 ref=$4
  rm -f "$work/h.runs" "$work/r.runs"
  for ((i = 0; i < runs; i++)); do
    run_once h "$helper" --request "$req"
    check_ok "$work/h.out"
    run_once r bash -c "$ref"
  done
  local hm rm_ hk rk
  hm=$(median 1 "$work/h.runs"); rm_=$(median 1 "$work/r.runs")
  hk=$(median 2 "$work/h.runs"); rk=$(median 2 "$work/r.runs")
  printf '%-30s %9.3f %9.3f %7.3fx (goal %s) %8.1f %8.1f\n' "$label" \
    "$(echo "$hm / 1000" | bc -l)" "$(echo "$rm_ / 1000" | bc -l)" "$(echo "$hm / $rm_" | bc -l)" "$goal" \
    "$(echo "$hk / 1024" | bc -l)" "$(echo "$rk / 1024" | bc -l)"
}

dict=$(xz --robot --list -vv "$xzimg" | awk -F'\t' '/^block/ {print $NF; exit}')
size=$(stat -c %s "$img")
echo "image: $img ($size bytes); $xzimg ($(stat -c %s "$xzimg") bytes, $dict); $runs runs each"
# The multi-block image's largest block (compressed and decoded) and its
# dictionary give the threaded decoder's memory bound.
read -r blocks comp_max uncomp_max dict_bytes < <(xz --robot --list -vv "$multixz" | awk -F'\t' '
  /^block/ {n++; if ($7 > c) c = $7; if ($8 > u) u = $8; if ($15 > m) m = $15} END {print n, c, u, m}')
threads=$(nproc); (( threads > 8 )) && threads=8
bound=$(( (threads * (dict_bytes + comp_max + uncomp_max) >> 20) + 20 ))
echo "multi-block: $blocks blocks, largest $((comp_max >> 20)) MiB compressed, $((uncomp_max >> 20)) MiB decoded"
echo "memory goals: verify_hash < 20 MiB; single-block XZ < dictionary + 20 MiB;" \
  "multi-block XZ < $threads threads x (dictionary + compressed + decoded block) + 20 MiB = $bound MiB"
printf '%-30s %9s %9s %8s %18s %8s %8s\n' command helper_s ref_s ratio "" helper_MiB ref_MiB
pair verify_hash 1.0 "$(request verify_hash "{\"osDevicePath\":\"$img\",\"bytesTotal\":$size}")" \
  "openssl dgst -sha256 '$img'"
pair image_extract_xz 1.0 "$(request image_extract_xz "{\"imagePath\":\"$xzimg\",\"outputPath\":\"$work/out.img\"}")" \
  "xz -dc -T1 '$xzimg' > '$work/ref.img'"
pair "image_extract_xz multi-block" 0.65 \
  "$(request image_extract_xz "{\"imagePath\":\"$multixz\",\"outputPath\":\"$work/out.img\"}")" \
  "xz -dc -T1 '$multixz' > '$work/ref.img'"
pair "extract multi-block vs xz -T2" 1.0 \
  "$(request image_extract_xz "{\"imagePath\":\"$multixz\",\"outputPath\":\"$work/out.img\"}")" \
  "xz -dc -T2 '$multixz' > '$work/ref.img'"
pair image_uncompressed_size 1.05 "$(request image_uncompressed_size "{\"imagePath\":\"$xzimg\"}")" \
  "xz -dc -T1 '$xzimg' > /dev/null"
pair image_validate_xz - "$(request image_validate_xz "{\"imagePath\":\"$xzimg\"}")" \
  "xz -dc -T1 '$xzimg' > /dev/null"
# Both leave long zero runs as holes, but xz does not commit its output to
# storage and the helper does. The same work for both:
pair "extract (ref + sync)" - \
  "$(request image_extract_xz "{\"imagePath\":\"$xzimg\",\"outputPath\":\"$work/out.img\"}")" \
  "xz -dc -T1 '$xzimg' > '$work/ref.img' && sync '$work/ref.img'"
