#!/usr/bin/env bash
# The project's one test command (CI runs it through .ci/run).
#
#   machine setup (idempotent), then the stages:
#   host     host Release build + unit tests (all but the Long* suites)
#   long     the long tests, once: the Long* suites (scale, fault injection,
#            ...) on the host Release build, after the host tests; and
#            scripts/wine-kills.sh with the win64 build, after the other
#            Wine scripts (skipped with a note while the script is absent)
#   asan     the test program with AddressSanitizer/UndefinedBehaviorSanitizer
#            (only what its tests run is built) + its tests, Long* left out
#   win64    64-bit Windows build + the same tests under wine64, then
#            scripts/wine-e2e.sh, wine-wizard.sh and wine-lifecycle.sh
#   win32    32-bit Windows release build (compiles and links only: 32-bit
#            programs cannot execute on these machines)
#   imports  every Windows program imports only DLLs that come with Windows
#
# A failed step does not stop the others (a step whose build failed skips
# its tests), so one run shows every problem; the exit status is non-zero
# when any step failed. Build trees live in build/<name>, the Wine prefix of
# the run in build/wine. Sized for 2 cores; the summary at the end gives
# each step's seconds (the build steps take most of the time).
#
# The Wine scripts wait on Wine far more than they compute, and each one
# has its own prefix, X server and wineserver: they run in two lanes side
# by side (the win64 tests then wine-e2e.sh; wine-wizard.sh then
# wine-lifecycle.sh, which must not overlap, as the life-cycle test waits
# until no setup.exe runs anywhere), each lane's output shown when both
# have ended. STW_WINE_LANES=1 runs them one after the other.
#
# Arguments, for local use, pick stages: host long asan win64 win32 imports
# (default: all; the machine setup always runs). STW_JOBS sets the build's
# and ctest's parallelism (default 2).
set -euo pipefail

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(host long asan win64 win32 imports)
for s in "${stages[@]}"; do
  case $s in
    host | long | asan | win64 | win32 | imports) ;;
    *)
      echo "unknown stage '$s' (host long asan win64 win32 imports)" >&2
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
# A step left out on purpose, which does not fail the run.
not_yet() {  # name, reason
  printf '\n======== %s ========\nnot run: %s\n' "$1" "$2"
  results+=("$1"$'\t'"0"$'\t'"not run ($2)")
}

failures=""  # failed checks of the Wine lanes, for the summary
summary() {
  printf '\n======== summary ========\n'
  if [ -n "$failures" ]; then
    printf 'failed in the Wine lanes:\n%s\n\n' "$failures"
  fi
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

configure_and_build() {  # dir, [targets...] --, cmake args...
  local dir=$1 targets=()
  shift
  while [ "$1" != -- ]; do
    targets+=("$1")
    shift
  done
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@"
  ninja -C "$dir" -j"$jobs" "${targets[@]}"
}

run_ctest() {  # build dir, ctest args...
  local dir=$1
  shift
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --no-tests=error "$@"
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

# One ctest entry per test suite (cmake/StwTests.cmake): every suite also
# passes run in one process, and a process start per test costs more than
# many tests do (PlatformTest: 1.6 s as 24 processes, 0.4 s as one).
host_build() { configure_and_build "$root/build/host" -- -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=ON -DSTW_TEST_GROUPS=ON; }
host_tests() { run_ctest "$root/build/host" -LE long; }

# The Long* suites exist only while someone writes them; none is no error.
long_tests() {
  local n
  n=$(ctest --test-dir "$root/build/host" -N -L long | sed -n 's/^Total Tests: //p')
  if [ "${n:-0}" -eq 0 ]; then
    echo "no Long* suites in the test program"
    return 0
  fi
  run_ctest "$root/build/host" -L long
}

# Only the test program and the tools its tests start (its dependencies).
# The test program's own sources at -O0 and every source with line tables
# only (-g1): the reports still name function, file and line, and the build
# is much cheaper than with -O1 -g. The libraries stay at -O1, which keeps
# the sanitized tests fast; the Debug configuration keeps assertions on.
# One ctest entry per suite: a sanitized process start (shadow memory, the
# leak check at its end) is paid once per suite, not once per test.
asan_build() {
  configure_and_build "$root/build/asan" stw_tests -- -DSTW_SANITIZE=ON -DSTW_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DSTW_TEST_OPT=-O0 -DSTW_TEST_GROUPS=ON
}
asan_tests() {
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  run_ctest "$root/build/asan" -LE long
}

# Also one ctest entry per suite: under Wine every process start costs.
win64_build() {
  configure_and_build "$root/build/win64" -- -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=ON -DSTW_TEST_GROUPS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake"
}

# The test program under wine64, in the run's own prefix.
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
  run_ctest "$root/build/win64" && return 0
  # The step has failed; what failed runs once more with Wine's own error
  # messages, so that a failure outside the tests' own checks (a crash
  # before main, the loader) can be told from a test's.
  echo "the failed tests once more, with Wine's error messages:"
  WINEDEBUG=err+all,warn+seh run_ctest "$root/build/win64" --rerun-failed || true
  return 1
}

# Each Wine script makes its own prefix (from the template) and X server.
wine_script() { STW_CACHE=$cache bash "$root/scripts/$1"; }
wine_e2e() { wine_script wine-e2e.sh; }
wine_wizard() { wine_script wine-wizard.sh; }
wine_lifecycle() { wine_script wine-lifecycle.sh; }
wine_kills() { wine_script wine-kills.sh; }

# The scripts build what they need with ninja before they start; two lanes
# must not run ninja in one build tree at once (everything is built already,
# but ninja may still rewrite its logs), so their ninja calls take turns.
lane_bin=$root/build/.lane-bin
make_lane_bin() {
  mkdir -p "$lane_bin"
  printf '#!/bin/sh\nexec flock %q %q "$@"\n' "$lane_bin/ninja.lock" "$(command -v ninja)" >"$lane_bin/ninja"
  chmod +x "$lane_bin/ninja"
}

# Runs "name function" pairs one after the other, in a lane of its own;
# writes "name<TAB>seconds<TAB>exit code" lines to the results file.
lane() {  # results file, name, function, name, function...
  local res=$1 name fn start rc
  shift
  : >"$res"
  while [ $# -gt 0 ]; do
    name=$1 fn=$2
    shift 2
    printf '\n======== %s ========\n' "$name"
    start=$SECONDS
    set +e
    (
      set -e
      "$fn"
    )
    rc=$?
    printf '%s\t%s\t%s\n' "$name" "$((SECONDS - start))" "$rc" >>"$res"
  done
}
# Takes a lane's results into the summary.
lane_results() {  # results file
  local name secs rc
  while IFS=$'\t' read -r name secs rc; do
    if [ "$rc" -eq 0 ]; then
      results+=("$name"$'\t'"$secs"$'\t'"ok")
    else
      results+=("$name"$'\t'"$secs"$'\t'"FAILED (exit $rc)")
      failed=1
    fi
  done <"$1"
}

# The Wine steps of the win64 stage, two lanes side by side.
wine_lanes() {
  local lanes=${STW_WINE_LANES:-2} dir=$root/build/lanes
  rm -rf "$dir"
  mkdir -p "$dir"
  local a=("win64 tests under wine64" win64_tests "wine-e2e.sh" wine_e2e)
  local b=("wine-wizard.sh" wine_wizard "wine-lifecycle.sh" wine_lifecycle)
  local start=$SECONDS
  if [ "$lanes" -le 1 ]; then
    lane "$dir/a.res" "${a[@]}" "${b[@]}"
    lane_results "$dir/a.res"
    return
  fi
  make_lane_bin
  echo "running in two lanes: ${a[0]}, ${a[2]} | ${b[0]}, ${b[2]} (output follows when both have ended)"
  PATH=$lane_bin:$PATH lane "$dir/a.res" "${a[@]}" >"$dir/a.log" 2>&1 &
  local pid_a=$!
  PATH=$lane_bin:$PATH lane "$dir/b.res" "${b[@]}" >"$dir/b.log" 2>&1 &
  local pid_b=$!
  wait "$pid_a" || true
  wait "$pid_b" || true
  cat "$dir/a.log" "$dir/b.log"
  # The lanes' output is long: what failed is repeated in the summary.
  failures+=$(grep -hE '^FAIL  |\*\*\*Failed|^wine-run\.sh: ' "$dir/a.log" "$dir/b.log" | head -40 || true)
  lane_results "$dir/a.res"
  lane_results "$dir/b.res"
  results+=("  (both lanes, wall time)"$'\t'"$((SECONDS - start))"$'\t'"")
}

win32_build() {
  configure_and_build "$root/build/win32" -- -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake"
}

step "machine setup" machine_setup
[ "$step_rc" -eq 0 ] || exit 1

# The long stage's host part uses the host build (built here when the host
# stage is not chosen).
if want host || want long; then
  step "host build" host_build
  host_ok=$step_rc
  if want host; then
    if [ "$host_ok" -eq 0 ]; then
      step "host tests" host_tests
    else
      skip "host tests" "build failed"
    fi
  fi
  if want long; then
    if [ "$host_ok" -eq 0 ]; then
      step "long: Long* suites (host)" long_tests
    else
      skip "long: Long* suites (host)" "build failed"
    fi
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

kills=$root/scripts/wine-kills.sh
want_kills=0
if want long; then
  if [ -f "$kills" ]; then
    want_kills=1
  else
    not_yet "long: wine-kills.sh" "scripts/wine-kills.sh does not exist yet"
  fi
fi

win_builds_ok=1
if want win64 || [ "$want_kills" = 1 ]; then
  step "win64 build" win64_build
  win64_ok=$step_rc
  [ "$win64_ok" -eq 0 ] || win_builds_ok=0
  if want win64; then
    if [ "$win64_ok" -eq 0 ]; then
      wine_lanes
    else
      skip "win64 tests and Wine scripts" "build failed"
    fi
  fi
  # After the other Wine scripts, on its own: it ends programs on purpose.
  if [ "$want_kills" = 1 ]; then
    if [ "$win64_ok" -eq 0 ]; then
      step "long: wine-kills.sh" wine_kills
    else
      skip "long: wine-kills.sh" "win64 build failed"
    fi
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
