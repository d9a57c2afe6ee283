#!/usr/bin/env bash
# Runs the page suites of tests/integration (and the Windows-only pages of tests/wine) against
# the real DLL under Wine: the GoogleTest programs of a Linux build start tools/wine-host.sh
# as their host, which runs npkeystrand.exe of the Windows build with the DLL as its plug-in.
# Their checks stay those of Linux, openssl included. tests/wine/pages.list says which suites
# run and which tests are skipped, each once with the Wine function and the reason; every
# test is reported as passed, failed or skipped, and the run ends with the counts.
#
#   tools/run-wine-tests.sh [LINUX_BUILD [WINDOWS_BUILD]]   (default build/default build/windows)
#
# NPK_WINE_PAGES names another list. With NPK_WINE_RUN_SKIPPED=1 the skipped tests run too, and each is reported as still failing
# or as passing now, so that the list can shrink when Wine grows.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=$(cd "${1:-$root/build/default}" && pwd)
windows_build=$(cd "${2:-$root/build/windows}" && pwd)
list=${NPK_WINE_PAGES:-$root/tests/wine/pages.list}
report_dir=$linux_build/test-output/wine
mkdir -p "$report_dir"

export WINEPREFIX=${WINEPREFIX:-$root/build/wine-prefix}
"$root/tools/wine-prefix.sh" || { echo "cannot make the Wine prefix $WINEPREFIX" >&2; exit 1; }
export NPK_WINE_EXE=$windows_build/bin/npkeystrand.exe
export NPK_PLUGIN=$windows_build/bin/npKeystrand.Standard.x86.dll
export NPK_HOST=$root/tools/wine-host.sh
export NPK_SOURCE_DIR=$root NPK_BINARY_DIR=$linux_build
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY
for f in "$NPK_WINE_EXE" "$NPK_PLUGIN"; do
  [ -f "$f" ] || { echo "missing: $f (make windows)" >&2; exit 1; }
done

# One Wine server for the whole run instead of one per page.
wineserver -p
trap 'wineserver -k 2>/dev/null' EXIT

suites=()
declare -A skip_reason=()
declare -A skip_used=()
skip_order=()
while IFS= read -r line; do
  line=${line%%#*}
  [[ $line =~ ^[[:space:]]*$ ]] && continue
  read -r kind rest <<<"$line"
  case $kind in
    suite) suites+=("$rest") ;;
    skip)
      name=$(sed 's/[[:space:]]*|.*//' <<<"$rest")
      skip_reason[$name]=$(sed 's/^[^|]*|[[:space:]]*//; s/[[:space:]]*|[[:space:]]*/: /' <<<"$rest")
      skip_order+=("$name") ;;
    *) echo "$list: unknown line: $line" >&2; exit 1 ;;
  esac
done <"$list"

passed=0; failed=0; skipped=0
failures=()
summary=$report_dir/summary.txt
: >"$summary"
note() { printf '%s\n' "$*" | tee -a "$summary"; }

for suite in "${suites[@]}"; do
  binary=$linux_build/bin/$suite
  if [ ! -x "$binary" ]; then
    note "FAIL $suite: not built ($binary)"
    failed=$((failed + 1)); failures+=("$suite"); continue
  fi
  mapfile -t tests < <("$binary" --gtest_list_tests | awk '/^[^ ]/{s=$1} /^  /{print s $1}')
  filter=""
  run=()
  for t in "${tests[@]}"; do
    reason=""
    for pattern in "${skip_order[@]}"; do
      # shellcheck disable=SC2053
      if [[ $t == $pattern ]]; then reason=${skip_reason[$pattern]}; skip_used[$pattern]=1; break; fi
    done
    if [ -n "$reason" ]; then
      # Tests "in process" run no page under Wine: running them would prove nothing here.
      if [ "${NPK_WINE_RUN_SKIPPED:-0}" = 1 ] && [[ $reason != "in process"* ]]; then
        if "$binary" --gtest_filter="$t" >"$report_dir/skipped.log" 2>&1; then
          reason="$reason [passes now: delete its line]"
        else
          reason="$reason [still fails]"
        fi
      fi
      note "SKIP $t -- $reason"
      skipped=$((skipped + 1))
    else
      run+=("$t")
    fi
  done
  [ ${#run[@]} -eq 0 ] && continue
  filter=$(IFS=:; echo "${run[*]}")
  log=$report_dir/$suite.log
  echo "== $suite (${#run[@]} tests under Wine)"
  "$binary" --gtest_filter="$filter" --gtest_color=no >"$log" 2>&1
  for t in "${run[@]}"; do
    if grep -q "^\[       OK \] $t (" "$log"; then
      note "PASS $t"; passed=$((passed + 1))
    else
      note "FAIL $t (see $log)"; failed=$((failed + 1)); failures+=("$t")
    fi
  done
done

# A skip line that names no test any more would hide nothing and mislead the next reader.
for pattern in "${skip_order[@]}"; do
  if [ -z "${skip_used[$pattern]:-}" ]; then
    note "FAIL $list: the skip line for $pattern matches no test"
    failed=$((failed + 1)); failures+=("$list: $pattern")
  fi
done

# The 32-bit sizes, in the Windows build and as the DLL itself accepts its tables.
echo "== npk-sizes32.exe"
if wine "$windows_build/bin/npk-sizes32.exe" "$NPK_PLUGIN" >"$report_dir/sizes32.log" 2>&1; then
  note "PASS Sizes32 ($(tail -1 "$report_dir/sizes32.log" | tr -d '\r'))"; passed=$((passed + 1))
else
  note "FAIL Sizes32 (see $report_dir/sizes32.log)"; failed=$((failed + 1)); failures+=(Sizes32)
fi

echo
echo "Wine run: the report is $summary; screenshots of the picker are in $report_dir"
if [ ${#failures[@]} -gt 0 ]; then
  printf 'failed: %s\n' "${failures[@]}"
fi
echo "wine: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
