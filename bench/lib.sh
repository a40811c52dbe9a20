# Shared by the benchmark scripts: the Release helper, the cached image,
# timing and medians. Source it from a script that has set $root.

# Builds the native Release helper in build-release and prints its path.
bench_helper() {
  cmake -S "$root" -B "$root/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDISK_HELPER_TESTS=OFF >/dev/null
  cmake --build "$root/build-release" --target disk-helper >/dev/null
  echo "$root/build-release/disk-helper"
}

# measure WORK CMD...: runs CMD with its output in WORK/stdout.txt and
# WORK/stderr.txt after a sync, and prints "elapsed_s user_s peak_rss_kib".
measure() {
  local work="$1"; shift
  sync
  /usr/bin/time -o "$work/time.txt" -f "%e %U %M" "$@" >"$work/stdout.txt" 2>"$work/stderr.txt"
  tail -n 1 "$work/time.txt"
}

# The median of the numbers on standard input, one per line.
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

# ratio_line LABEL BASELINE HELPER GOAL: one line of seconds and their ratio.
ratio_line() {
  awk -v l="$1" -v a="$2" -v b="$3" -v g="$4" \
    'BEGIN {printf "%-50s %9.2f %9.2f %8.3f  (goal <= %s)\n", l, a, b, b / a, g}'
}

# bench_setup NAME IMAGE: the Release helper ($helper), IMAGE with its size
# and digest ($img, $size, $image_sha), a work folder ($work) removed on exit
# together with the loop device a script attaches as $loop.
bench_setup() {
  command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }
  helper="$(bench_helper)"
  img="$2"
  size=$(stat -c %s "$img")
  image_sha=$(openssl dgst -sha256 -r "$img" | cut -c1-64)
  work="$(mktemp -d "${TMPDIR:-/var/tmp}/$1.XXXXXX")"
  loop=""
  trap 'bench_cleanup' EXIT
}
bench_cleanup() {
  [[ -n "$loop" ]] && losetup -d "$loop" 2>/dev/null || true
  rm -rf "$work"
}

# bench_file_and_loop FUNCTION: runs `FUNCTION TARGET LABEL` on a preallocated
# copy of the image (every run overwrites blocks in place, as on a card),
# then, as root, on a loop device of the image's size ($loop, detached on
# exit). Both targets are exactly the image's size.
bench_file_and_loop() {
  cp --sparse=never "$img" "$work/target.img"
  "$1" "$work/target.img" "file target"
  if [[ "$(id -u)" != 0 ]] || ! command -v losetup >/dev/null; then
    echo; echo "(loop device needs root and losetup; skipped)"
    return
  fi
  truncate -s "$size" "$work/loop-backing.img"
  if loop=$(losetup -f --show "$work/loop-backing.img" 2>/dev/null); then
    "$1" "$loop" "loop device"
  else
    loop=""
    echo; echo "(no loop device could be attached; skipped)"
  fi
}
