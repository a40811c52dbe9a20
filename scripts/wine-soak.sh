#!/usr/bin/env bash
# Runs the Windows build's whole test suite under Wine again and again, each
# time on a brand-new Wine prefix and an empty cache folder, and reports every
# run: the proof that the suite does not depend on a warm prefix.
#   scripts/wine-soak.sh [RUNS] [BUILD]     (defaults: 10 runs of build-win)
# LOAD=N   keeps N busy loops running beside every run (a loaded machine);
# COLD=1   also forgets what Wine left outside the prefix (its desktop and MIME
#          entries) and drops the kernel's page cache, as on a machine where
#          Wine has just been installed.
# CLASH=1  pads every process's first heap growth by 256 MiB, so that a heap
#          lands where Windows' shared user data page must go about once in
#          thirty process starts instead of once in thousands: the start
#          failure that Wine's preloader prevents, made frequent.
# Logs of failed runs stay in BUILD/soak-logs. Exits non-zero when a run failed.
set -uo pipefail
cd "$(dirname "$0")/.."
runs="${1:-10}"
build="${2:-build-win}"
[[ -f "$build/CTestTestfile.cmake" ]] || { echo "wine-soak: build $build first" >&2; exit 2; }
logs="$build/soak-logs"
mkdir -p "$logs"

busy=()
stop_load() { ((${#busy[@]})) && kill "${busy[@]}" 2>/dev/null; busy=(); }
trap stop_load EXIT

forget_wine() {
  rm -rf "$HOME/.local/share/applications/wine" "$HOME"/.local/share/applications/wine-* \
    "$HOME/.local/share/mime" "$HOME/.local/share/desktop-directories" "$HOME/.config/menus"
  sync
  echo 3 2>/dev/null >/proc/sys/vm/drop_caches || true
}

# Ends the prefix's Wine server and removes the prefix with the server's
# folder (Debian's Wine keeps its name in the prefix), leaving the servers of
# other prefixes alone.
remove_prefix() {
  local prefix="$1"
  [[ -d "$prefix" ]] || return 0
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null
  local server
  server="$(cat "$prefix/wineserver" 2>/dev/null || true)"
  [[ -n "$server" && "$server" != */* ]] && rm -rf "${TMPDIR:-/tmp}/$server"
  rm -rf "$prefix" "$prefix.lock"
}

failed=0
for ((i = 1; i <= runs; i++)); do
  remove_prefix "$PWD/$build/wineprefix"
  [[ "${COLD:-0}" == 1 ]] && forget_wine
  cache="$(mktemp -d "${TMPDIR:-/tmp}/disk-helper-soak.XXXXXX")"
  for ((j = 0; j < ${LOAD:-0}; j++)); do
    (while :; do :; done) &
    busy+=($!)
  done
  t0=$SECONDS
  log="$logs/run-$i.log"
  clash=()
  [[ "${CLASH:-0}" == 1 ]] && clash=(GLIBC_TUNABLES=glibc.malloc.top_pad=268435456)
  if env "${clash[@]}" XDG_CACHE_HOME="$cache" ctest --test-dir "$build" -j 2 --output-on-failure >"$log" 2>&1; then
    echo "run $i: passed ($((SECONDS - t0)) s)"
    rm -f "$log"
  else
    failed=$((failed + 1))
    echo "run $i: FAILED ($((SECONDS - t0)) s), log in $log"
    grep -E "Failed|printed nothing|could not be started|Failure" "$log" | head -20
  fi
  stop_load
  rm -rf "$cache"
done
echo "wine-soak: $((runs - failed)) of $runs runs passed"
((failed == 0))
