# The checks of the end-to-end scripts under Wine and the helpers they
# share: one line per check, paths of the prefix, registry queries.
# Sourced by scripts/wine-e2e.sh and scripts/wine-wizard.sh, which set
# `prefix`, `work` and `wine64` first.

# ---------------------------------------------------------------- checks

passed=0
failed=0
scenario=""
pass() {
  passed=$((passed + 1))
  printf 'ok    %s: %s\n' "$scenario" "$1"
}
fail() {  # description, details...
  failed=$((failed + 1))
  printf 'FAIL  %s: %s\n' "$scenario" "$1"
  shift
  local d
  for d in "$@"; do printf '        %s\n' "$d"; done
}
expect_eq() {  # description, expected, actual
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1" "expected: $2" "actual:   $3"; fi
}
expect_true() {  # description, command...
  local d=$1
  shift
  if "$@"; then pass "$d"; else fail "$d" "not true: $*"; fi
}
expect_false() {  # description, command...
  local d=$1
  shift
  if "$@"; then fail "$d" "true: $*"; else pass "$d"; fi
}

# ---------------------------------------------------------------- Wine helpers

# C:\a\b -> the file in the prefix.
unix_path() {
  local p=${1//\\//}
  local drive=${p%%:*}
  printf '%s/drive_%s%s' "$prefix" "${drive,,}" "${p#?:}"
}
# A file of the Linux file system as Wine's Z: drive shows it.
z_path() {
  local p=${1//\//\\}
  printf 'Z:%s' "$p"
}
exists() { [ -e "$(unix_path "$1")" ]; }
same_file() {  # Linux file, Windows path
  cmp -s "$1" "$(unix_path "$2")"
}


# `reg query ARGS...`, its output in $reg_out: 0 found, 1 absent (Wine's
# reg.exe says "Unable to find", on standard output). Wine's reg.exe has
# once failed in CI for a value that was there: any other failure is tried
# again and, when it stays, recorded in $work/reg-failures, which fails the
# run, so that no absence check passes because reg.exe broke.
reg_query() {
  local attempt rc
  for attempt in 1 2 3; do
    rc=0
    reg_out=$("$wine64" reg query "$@" </dev/null 2>"$work/reg.err") || rc=$?
    [ "$rc" -ne 0 ] || return 0
    [[ ${reg_out,,} != *"unable to find"* ]] || return 1
    grep -qi 'unable to find' "$work/reg.err" && return 1
    sleep 1
  done
  echo "reg query $*: exit code $rc: $(grep -v ':fixme:' "$work/reg.err" | head -3)" >>"$work/reg-failures"
  return 1
}

# The data of one value: `reg query` prints "    NAME    TYPE    DATA".
# Returns 1 when the key or value does not exist.
reg_get() {  # key, value, view (32/64)
  local line
  reg_query "$1" /v "$2" /reg:"$3" || return 1
  while IFS= read -r line; do
    line=${line%$'\r'}
    if [[ $line =~ ^"    "(.*)"    "(REG_[A-Z_]+)"    "(.*)$ ]] || [[ $line =~ ^"    "(.*)"    "(REG_[A-Z_]+)"    "?$ ]]; then
      if [[ ${BASH_REMATCH[2]} == REG_DWORD ]]; then
        printf '%d' "${BASH_REMATCH[3]}"
      else
        printf '%s' "${BASH_REMATCH[3]-}"
      fi
      return 0
    fi
  done <<<"$reg_out"
  return 1
}
reg_value() {  # key, value, view: the data, or <missing>
  reg_get "$@" || printf '<missing>'
}
lines_of() {  # Linux file: its lines without CR, or <missing>
  if [ -f "$1" ]; then tr -d '\r' <"$1"; else printf '<missing>'; fi
}
wait_for_line() {  # Linux file, exact line, seconds
  local _
  for _ in $(seq 1 $(($3 * 10))); do
    [ -f "$1" ] && tr -d '\r' <"$1" | grep -qxF -- "$2" && return 0
    sleep 0.1
  done
  return 1
}
key_exists() {  # key, view
  reg_query "$1" /reg:"$2"
}
value_exists() {  # key, value, view
  reg_get "$@" >/dev/null
}


# ---------------------------------------------------------------- the run

# Ends the prefix's wineserver and the run's X server (the EXIT trap).
stop_all() {
  if [ -n "${prefix:-}" ] && [ -d "$prefix" ]; then WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true; fi
  if [ -n "${xvfb_pid:-}" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}

# The host's pakbuild and the given targets of the Windows build.
build_tools() {  # win64 targets...
  if [ ! -x "$pakbuild" ]; then
    cmake -S "$root" -B "$host_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=ON >/dev/null
  fi
  ninja -C "$host_build" pakbuild >/dev/null
  ninja -C "$win_build" "$@" >/dev/null
}
