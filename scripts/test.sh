#!/usr/bin/env bash
# The project's one test command (CI runs it through .ci/run).
#
#   1. machine setup (idempotent)
#   2. host build + unit tests
#   3. host build with AddressSanitizer/UndefinedBehaviorSanitizer + tests
#   4. 64-bit Windows build + the same tests under wine64
#   5. 32-bit Windows release build (compiles and links only: 32-bit
#      programs cannot execute on these machines)
#   6. every Windows program imports only DLLs that come with Windows
#
# A failed step does not stop the others (a step whose build failed skips
# its tests), so one run shows every problem; the exit status is non-zero
# when any step failed. Build trees live in build/<name>, the Wine prefix of
# the run in build/wine. Sized for 2 cores: well under 10 minutes when the
# build trees are fresh.
#
# Arguments, for local use, pick stages: host asan win64 win32 imports
# (default: all; the machine setup always runs).
set -euo pipefail

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(host asan win64 win32 imports)
for s in "${stages[@]}"; do
  case $s in
    host | asan | win64 | win32 | imports) ;;
    *)
      echo "unknown stage '$s' (host asan win64 win32 imports)" >&2
      exit 2
      ;;
  esac
done
want() { [[ " ${stages[*]} " == *" $1 "* ]]; }

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cache=${STW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/stowa-build}
jobs=${STW_JOBS:-2}
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# shellcheck source=scripts/lib-wine.sh
source "$root/scripts/lib-wine.sh"
run_prefix=$root/build/wine/prefix

# ---------------------------------------------------------------- steps

results=()  # "name<TAB>seconds<TAB>status"
failed=0

# Runs one step in a subshell with errexit, so that the first failing
# command ends the step but not the script; the status is left in
# `step_rc`. errexit is ignored in any command whose status is tested
# (`if`, `||`), even where set again inside, so steps are never called
# that way.
step_rc=0
step() {  # name, function [args...]
  local name=$1
  shift
  printf '\n======== %s ========\n' "$name"
  local start=$SECONDS
  set +e
  (
    set -e
    "$@"
  )
  step_rc=$?
  set -e
  local status=ok
  if [ "$step_rc" -ne 0 ]; then
    status="FAILED (exit $step_rc)"
    failed=1
  fi
  results+=("$name"$'\t'"$((SECONDS - start))"$'\t'"$status")
}
skip() {  # name, reason
  printf '\n======== %s ========\nskipped: %s\n' "$1" "$2"
  results+=("$1"$'\t'"0"$'\t'"skipped ($2)")
  failed=1
}

summary() {
  printf '\n======== summary ========\n'
  local line name secs status
  for line in "${results[@]}"; do
    IFS=$'\t' read -r name secs status <<<"$line"
    printf '  %-44s %5d s  %s\n' "$name" "$secs" "$status"
  done
  printf '  %-44s %5d s\n' "total" "$SECONDS"
}

# Whatever happens, no Wine session of this run outlives it (the X server
# is stopped by the step that started it).
cleanup() {
  local rc=$?
  if [ -d "$run_prefix" ]; then
    WINEPREFIX=$run_prefix "$wineserver" -k >/dev/null 2>&1 || true
  fi
  summary
  if [ "$rc" -eq 0 ] && [ "$failed" -eq 0 ]; then
    echo "ALL PASSED"
  else
    echo "FAILED"
    [ "$rc" -ne 0 ] || rc=1
  fi
  exit "$rc"
}
trap cleanup EXIT

# ---------------------------------------------------------------- helpers

configure_and_build() {  # dir, cmake args...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@"
  ninja -C "$dir" -j"$jobs"
}

run_ctest() {  # build dir
  ctest --test-dir "$1" -j"$jobs" --output-on-failure --no-tests=error
}



xvfb_pid=""

# Allowed imports: DLLs that every supported Windows has. Anything else
# (libstdc++-6.dll, libwinpthread-1.dll, liblzma-5.dll, ...) would make the
# program fail to start on a clean machine.
system_dlls=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll
  comctl32.dll comdlg32.dll shlwapi.dll version.dll msvcrt.dll ntdll.dll uxtheme.dll
  winspool.drv rpcrt4.dll userenv.dll netapi32.dll mpr.dll wintrust.dll crypt32.dll
  imm32.dll winmm.dll ws2_32.dll bcrypt.dll secur32.dll setupapi.dll msimg32.dll "

# setup.exe runs from a downloads folder, often elevated: before its first
# instruction Windows loads its static imports, looking beside the program
# first for any DLL it does not keep loaded itself. So setup.exe imports
# such "known" DLLs only and loads the others from the system folder.
known_dlls=" kernel32.dll user32.dll advapi32.dll shell32.dll msvcrt.dll gdi32.dll ole32.dll oleaut32.dll
  comdlg32.dll shlwapi.dll "
# One space between names, none but spaces around them: a name at a line's
# end would not match " name ".
# shellcheck disable=SC2086
system_dlls=" $(printf '%s ' $system_dlls)"
# shellcheck disable=SC2086
known_dlls=" $(printf '%s ' $known_dlls)"

check_imports() {  # build dirs...
  local bad=0 count=0 exe dll dlls lower
  while IFS= read -r -d '' exe; do
    count=$((count + 1))
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    if [ -z "$dlls" ]; then
      echo "  ${exe#"$root"/}: no import table found" >&2
      bad=1
      continue
    fi
    for dll in $dlls; do
      lower=${dll,,}
      case $lower in
        api-ms-win-*) continue ;;
      esac
      if [[ $system_dlls != *" $lower "* ]]; then
        echo "  ${exe#"$root"/} imports $dll, which is not part of Windows" >&2
        bad=1
      elif [[ ( ${exe##*/} == setup.exe || ${exe##*/} == UnStowa32.exe || ${exe##*/} == front.exe ) && $known_dlls != *" $lower "* ]]; then
        echo "  ${exe#"$root"/} imports $dll, which Windows would look for beside it first" >&2
        bad=1
      fi
    done
    # On a Remote Desktop server a program not marked as aware of it gets
    # a private copy of the Windows folder instead of the real one.
    if [[ ${exe##*/} == setup.exe && $(x86_64-w64-mingw32-objdump -p "$exe") != *TERMINAL_SERVICE_AWARE* ]]; then
      echo "  ${exe#"$root"/} is not marked as aware of Remote Desktop servers" >&2
      bad=1
    fi
    echo "  checked: ${exe#"$root"/} ($(echo $dlls | tr ' ' ','))"
  done < <(find "$@" -name '*.exe' -not -path '*/CMakeFiles/*' -print0 | sort -z)
  if [ "$count" -eq 0 ]; then
    echo "no Windows programs found in $*" >&2
    return 1
  fi
  return "$bad"
}

# ---------------------------------------------------------------- stages

machine_setup() { bash "$root/scripts/setup-machine.sh"; }

host_build() { configure_and_build "$root/build/host" -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=ON; }

# -O1 keeps the sanitized tests fast while the stacks stay readable; the
# Debug configuration keeps assertions on.
asan_build() {
  configure_and_build "$root/build/asan" -DSTW_SANITIZE=ON -DSTW_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
}
asan_tests() {
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  run_ctest "$root/build/asan"
}

win64_build() {
  configure_and_build "$root/build/win64" -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake"
}

win64_tests() {
  make_wine_template
  if [ -d "$run_prefix" ]; then
    WINEPREFIX=$run_prefix "$wineserver" -k >/dev/null 2>&1 || true
  fi
  rm -rf "$run_prefix" "$run_prefix.home"
  mkdir -p "$(dirname "$run_prefix")"
  cp -a --reflink=auto "$cache/wine-template" "$run_prefix"
  wine_env "$run_prefix"
  # The Wine session and the X server end with this step, pass or fail.
  trap '"$wineserver" -k >/dev/null 2>&1 || true; [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true' EXIT
  # A Wine session keeps the display it started with: let any session that
  # started without one (a program run by a build step) end first.
  "$wineserver" -w
  start_xvfb
  # One persistent wineserver for the whole run (a test then costs 0.1-0.2 s
  # instead of ~2 s). Wine's background services are started here with
  # their standard streams detached: started by the first test, they would
  # inherit ctest's output pipe and, never exiting, hang ctest.
  "$wineserver" -p
  "$wine64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
  run_ctest "$root/build/win64"
  STW_CACHE=$cache bash "$root/scripts/wine-e2e.sh"
  STW_CACHE=$cache bash "$root/scripts/wine-wizard.sh"
  STW_CACHE=$cache bash "$root/scripts/wine-lifecycle.sh"
}

win32_build() {
  configure_and_build "$root/build/win32" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake"
}

step "machine setup" machine_setup
[ "$step_rc" -eq 0 ] || exit 1

if want host; then
  step "host build" host_build
  if [ "$step_rc" -eq 0 ]; then
    step "host tests" run_ctest "$root/build/host"
  else
    skip "host tests" "build failed"
  fi
fi

if want asan; then
  step "host ASan/UBSan build" asan_build
  if [ "$step_rc" -eq 0 ]; then
    step "host ASan/UBSan tests" asan_tests
  else
    skip "host ASan/UBSan tests" "build failed"
  fi
fi

win_builds_ok=1
if want win64; then
  step "win64 build" win64_build
  if [ "$step_rc" -eq 0 ]; then
    step "win64 tests under wine64" win64_tests
  else
    win_builds_ok=0
    skip "win64 tests under wine64" "build failed"
  fi
fi

if want win32; then
  step "win32 release build (compile and link only)" win32_build
  [ "$step_rc" -eq 0 ] || win_builds_ok=0
fi

if want imports; then
  if [ "$win_builds_ok" = 1 ]; then
    dirs=()
    for d in "$root/build/win64" "$root/build/win32"; do
      [ -d "$d" ] && dirs+=("$d")
    done
    step "imports of the Windows programs" check_imports "${dirs[@]}"
  else
    skip "imports of the Windows programs" "a Windows build failed"
  fi
fi
