#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the helper's sources and
# its test support (src/ and tests/), once per backend:
#   - over the native build's compile database (the POSIX backend);
#   - over the mingw cross build's compile database (the Windows backend, every
#     *_win32.cpp), with clang targeting x86_64-w64-mingw32 and reading the
#     headers the cross compiler itself uses: its libstdc++ folders and the
#     mingw-w64 system headers, with clang's own builtin headers in place of
#     GCC's (those are written for GCC's builtins).
# Both build folders must be configured (cmake writes compile_commands.json).
# Exits non-zero on any finding or on a file clang cannot compile.
#   scripts/clang-tidy.sh [native-build-dir [windows-build-dir]]   (JOBS=N)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
native="$(realpath "${1:-build}")"
windows="$(realpath "${2:-build-win}")"
jobs="${JOBS:-$(nproc)}"

for dir in "$native" "$windows"; do
  [[ -f "$dir/compile_commands.json" ]] || { echo "clang-tidy.sh: $dir has no compile_commands.json" >&2; exit 2; }
done

# The cross compiler the Windows build compiles its C++ with, as its compile
# database names it (after a launcher such as ccache).
cross_cxx="$(python3 - "$windows/compile_commands.json" <<'PY'
import json, os, shlex, sys
for entry in json.load(open(sys.argv[1])):
    if not entry["file"].endswith(".cpp"):
        continue
    args = entry.get("arguments") or shlex.split(entry["command"])
    while args and os.path.basename(args[0]) in ("ccache", "sccache"):
        args = args[1:]
    print(args[0])
    break
PY
)"
[[ -x "$cross_cxx" ]] || cross_cxx="$(command -v "$cross_cxx" || true)"
[[ -n "$cross_cxx" ]] || { echo "clang-tidy.sh: no C++ compiler in $windows/compile_commands.json" >&2; exit 2; }
target="$("$cross_cxx" -dumpmachine)"

# clang's builtin headers, from the installation clang-tidy belongs to.
tidy="$(readlink -f "$(command -v clang-tidy)")"
builtin=("$(dirname "$tidy")"/../lib/clang/*/include)
builtin="$(realpath "${builtin[0]}")"

# The cross compiler's include search list, GCC's own builtin folders
# replaced by clang's.
gcc_include="$(realpath -m "$("$cross_cxx" -print-file-name=include)")"
gcc_include_fixed="$(realpath -m "$("$cross_cxx" -print-file-name=include-fixed)")"
cross_args=("-extra-arg=--target=$target" "-extra-arg=-nostdinc")
builtin_added=0
while read -r dir; do
  dir="$(realpath -m "$dir")"
  if [[ "$dir" == "$gcc_include" || "$dir" == "$gcc_include_fixed" ]]; then
    ((builtin_added)) || cross_args+=("-extra-arg=-isystem$builtin")
    builtin_added=1
  else
    cross_args+=("-extra-arg=-isystem$dir")
  fi
done < <("$cross_cxx" -E -x c++ -v - </dev/null 2>&1 | sed -n '/^#include <...> search starts here:/,/^End of search list./p' | sed '1d;$d')
((builtin_added)) || cross_args+=("-extra-arg=-isystem$builtin")

# Findings in the project's own headers count; system and library headers do not.
filter=(-header-filter "^$root/(src|tests)/")
sources=("^$root/src/" "^$root/tests/")

status=0
run() {
  local name="$1" build="$2"
  shift 2
  local log="$build/clang-tidy.log"
  if run-clang-tidy -p "$build" -quiet -j "$jobs" "${filter[@]}" "$@" "${sources[@]}" >"$log" 2>&1; then
    echo "clang-tidy ($name): clean, $(grep -cE "\"file\": \"$root/(src|tests)/" "$build/compile_commands.json") files"
  else
    echo "clang-tidy ($name): findings (whole log in $log)"
    sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E "(warning|error):" | sort -u
    status=1
  fi
}
run native "$native"
run "windows, $target" "$windows" "${cross_args[@]}"
exit "$status"
