#!/usr/bin/env bash
# End-to-end silent installations under wine64: packages made by the host
# pakbuild are installed by the real build/win64/src/setup.exe in a fresh
# copy of the template Wine prefix, and the files, the installation log
# (byte for byte) and the registry of the prefix are checked.
#
#   scripts/wine-e2e.sh
#
# Prints one line per check and "N passed, M failed" last; the exit status
# is non-zero when a check failed. scripts/test.sh runs it in its win64
# stage after ctest. It shares scripts/lib-wine.sh with test.sh for the
# template prefix, the Wine environment and the X server, and keeps one persistent
# wineserver and one Xvfb for the whole run.
#
# Wine facts the expectations allow for: an exit code reaches the shell as
# its low byte (3010 reads 194, 1603 reads 67); setup.exe of this build is a
# 64-bit program, so %PROGRAMFILES% is C:\Program Files (the 32-bit build
# gets C:\Program Files (x86) on a 64-bit Windows).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cache=${STW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/stowa-build}
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
win_build=${STW_WIN64_BUILD:-$root/build/win64}
host_build=${STW_HOST_BUILD:-$root/build/host}
work=$root/build/wine/e2e
prefix=$root/build/wine/e2e-prefix

# ---------------------------------------------------------------- shared code

# shellcheck source=scripts/lib-wine.sh
source "$root/scripts/lib-wine.sh"
xvfb_pid=""

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

last_out=""
run_setup() {  # package (Linux path, or a network path \\server\share\...), switches... ; sets $code, output in $last_out
  last_out=$work/setup-$((++setup_runs)).out
  set +e
  local package=$1
  [[ $package == '\\'* ]] || package=$(z_path "$1")  # a network path stays as it is
  timeout 60 "$wine64" "$win_build/src/setup.exe" "$package" "${@:2}" </dev/null >"$last_out" 2>&1
  code=$?
  set -e
}
setup_runs=0

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
key_exists() {  # key, view
  reg_query "$1" /reg:"$2"
}
value_exists() {  # key, value, view
  reg_get "$@" >/dev/null
}

# Another process holds a file open (tests/wine/HoldOpen.exe) until
# release_file; hold_code is its exit code.
hold_pid=""
hold_file() {  # Windows path, sharing (none/read)
  rm -f "$work/ready" "$work/release"
  "$wine64" "$hold_exe" "$1" "$(z_path "$work/ready")" "$(z_path "$work/release")" 60 "$2" \
    </dev/null >"$work/hold.out" 2>&1 &
  hold_pid=$!
  local _
  for _ in $(seq 1 200); do
    [ -e "$work/ready" ] && return 0
    kill -0 "$hold_pid" 2>/dev/null || break
    sleep 0.05
  done
  return 1
}
release_file() {
  touch "$work/release"
  set +e
  wait "$hold_pid"
  hold_code=$?
  set -e
}

# ---------------------------------------------------------------- packages

pakbuild=$host_build/tools/pakbuild
build_package() {  # manifest, output
  "$pakbuild" build "$1" "$2" >/dev/null
}
# The base manifest with jq edits applied: manifest name, jq filter.
variant() {
  jq "$2" "$work/base.json" >"$work/$1.json"
  build_package "$work/$1.json" "$work/$1.exe"
}
# The product's menu and folder defaults under its product key.
keyed() {  # product key
  printf '.productKey = "%s" | .folders.APPFOLDER = ["%%PROGRAMFILES%%\\\\%s", "%%LOCALAPPDATAROOT%%\\\\%s"]' "$1" "$1" "$1"
  printf ' | .folders.APPMENU = ["%%PROGRAMSMENU%%\\\\%s", "%%PROGRAMSMENU%%\\\\%s"]' "$1" "$1"
}

make_sources() {
  mkdir -p "$work/src"
  head -c 5000 /dev/urandom >"$work/src/UnStowa32.exe"
  head -c 5000 /dev/urandom >"$work/src/UnStowaXP.exe"
  # shellcheck disable=SC2046
  printf 'line %d of the program, which compresses well\r\n' $(seq 1 5000) >"$work/src/app.exe"
  truncate -s 200000 "$work/src/app.exe"
  head -c 70000 /dev/urandom >"$work/src/random.bin"
  : >"$work/src/empty.txt"
  head -c 1234 "$work/src/app.exe" >"$work/src/notes.txt"
  head -c 3000 "$work/src/random.bin" | od -An -tx1 >"$work/src/new.txt"
  cat >"$work/base.json" <<EOF
{
  "publisher": "Test Works", "webAddress": "https://example.invalid", "productKey": "Test Product",
  "supportAddress": "https://example.invalid/help", "version": "2.5", "releaseDate": "2025-12-09",
  "welcomeLine": "Welcome line", "userType": 3,
  "folders": {"APPFOLDER": ["%PROGRAMFILES%\\\\Test Product", "%LOCALAPPDATAROOT%\\\\Test Product"],
              "APPMENU": ["%PROGRAMSMENU%\\\\Test Product", "%PROGRAMSMENU%\\\\Test Product"]},
  "files": [
    {"name": "UnStowa32.exe", "source": "src/UnStowa32.exe", "version": "1.0.0.0"},
    {"name": "UnStowaXP.exe", "source": "src/UnStowaXP.exe"},
    {"name": "app.exe", "source": "src/app.exe", "version": "2.5.0.7"},
    {"name": "random.bin", "source": "src/random.bin"},
    {"name": "empty.txt", "source": "src/empty.txt"},
    {"name": "notes.txt", "source": "src/notes.txt"},
    {"name": "new.txt", "source": "src/new.txt"}
  ],
  "components": [
    {"name": "Program", "description": "The program", "withItems": false, "folders": [
      {"name": "%APPFOLDER%", "items": [
        {"file": "app.exe"}, {"file": "random.bin", "overwrite": 1}, {"file": "empty.txt", "overwrite": 2}]}]},
    {"name": "Notes", "optional": true, "selected": false, "dependencies": [0], "folders": [
      {"name": "%APPFOLDER%", "items": [{"file": "notes.txt"}]}]}
  ]
}
EOF
}

# ---------------------------------------------------------------- expected log

crlf() { printf '%s\r\n' "$@"; }
# The log of a first installation of the base product (selected component
# "Program" with its four files) under a product key.
expected_log() {  # package, scope (ALL/CURRENT), product key, version, app folder, menu folder, registry root
  local pkg=$1 scope=$2 key=$3 version=$4 app=$5 menu=$6 hive=$7
  local -a s
  mapfile -t s < <("$pakbuild" inspect "$pkg" | jq -r '.InterfaceStrings[]')
  crlf "; Pakvestor Installation Log" "; Please do not delete or alter this file." \
    "; It is needed whenever you want to update or uninstall Test Works $key $version" \
    "; It lists the files, registry values, file types and registrations" \
    "; that this installation made, for the uninstaller and later setups."
  crlf 4 "$scope" "Test Works $key $version" 2025 12 9 "Test Works" "$key" "$version"
  local i
  for i in 61 62 63 64 65 66 67; do crlf "${s[$i]}"; done
  crlf "" 2 "%APPFOLDER%" "${s[32]}" "$app" "%APPMENU%" "${s[34]}" "$menu"
  crlf 2 Program S Notes ""
  crlf "$app\\UnStowa.exe" "$app\\app.exe" "$app\\random.bin" "$app\\empty.txt" "%%%"
  local name
  for name in DisplayName DisplayVersion EstimatedSize HelpLink InstallDate InstallLocation NoModify NoRepair \
    Publisher UninstallString URLInfoAbout URLInfoUpdate URLUpdateInfo VersionMajor VersionMinor; do
    printf '%s\\%s\t%s\r\n' "$hive" "$uninstall_key" "$name"
  done
  printf '%s\\%s\t%s\r\n' "$hive" "$handshake_key" "$key"
  crlf "%%%" "%%%" "%%%"
}
# Several workers write the files at once and each is logged when it is
# done, so the order of the file lines changes from run to run (one worker
# logs them in package order). This puts the file lines, the block of lines
# under the application folder before the first "%%%", in sorted order and
# leaves every other byte as it is.
normalized_log() {  # log file, application folder
  FOLDER="$2\\" awk '
    function flush(   i, j, t) {
      for (i = 1; i < n; i++)
        for (j = i; j > 0 && buf[j - 1] > buf[j]; j--) { t = buf[j]; buf[j] = buf[j - 1]; buf[j - 1] = t }
      for (i = 0; i < n; i++) print buf[i]
      n = 0
      done = 1
    }
    !done && index($0, ENVIRON["FOLDER"]) == 1 { buf[n++] = $0; next }
    !done && n > 0 { flush() }
    { print }
    END { if (!done && n > 0) flush() }
  ' "$1"
}
same_log() {  # expected log file, installed log file, application folder
  cmp -s <(normalized_log "$1" "$3") <(normalized_log "$2" "$3")
}
# The installed log against the expected one, with the first differences
# shown when they differ.
expect_log() {  # expected log file, application folder (Windows path)
  local installed
  installed=$(unix_path "$2\\Stowa.log")
  if same_log "$1" "$installed" "$2"; then
    pass "Stowa.log byte for byte (file lines in any order)"
  else
    fail "Stowa.log byte for byte (file lines in any order)" \
      "$(diff <(normalized_log "$1" "$2" | cat -A) <(normalized_log "$installed" "$2" | cat -A) | head -n 10)"
  fi
}
log_line() {  # log (Windows path), line number from 0
  sed -n "$(($2 + 1))p" "$(unix_path "$1")" | tr -d '\r'
}
log_count() {  # log (Windows path), exact line
  local n
  n=$(tr -d '\r' <"$(unix_path "$1")" | grep -cxF -- "$2" || true)
  printf '%s' "$n"
}
uninstall_key=""  # set per product below
handshake_key='Software\Orvane\Carrovit'
uninstall_of() { printf 'Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s' "$1"; }
shared_key='Software\Microsoft\Windows\CurrentVersion\SharedDLLs'

# ---------------------------------------------------------------- set-up

stop_all() {
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true
  fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap stop_all EXIT

start=$SECONDS
if [ ! -x "$pakbuild" ]; then
  cmake -S "$root" -B "$host_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=ON >/dev/null
fi
ninja -C "$host_build" pakbuild >/dev/null
ninja -C "$win_build" setup HoldOpen >/dev/null
hold_exe=$win_build/tests/wine/HoldOpen.exe

make_wine_template
if [ -d "$prefix" ]; then WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true; fi
rm -rf "$prefix" "$prefix.home" "$work"
mkdir -p "$work"
rm -f "$work/reg-failures"
cp -a --reflink=auto "$cache/wine-template" "$prefix"
wine_env "$prefix"
start_xvfb >/dev/null
"$wineserver" -p
"$wine64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
user=$(basename "$(find "$prefix/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1)")
programs="C:\\users\\$user\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"
local_data="C:\\users\\$user\\AppData\\Local"
make_sources
today=$(date +%Y%m%d)
echo "prefix $prefix, user $user, display $DISPLAY ($((SECONDS - start)) s to prepare)"

# ---------------------------------------------------------------- (1) all users

scenario="all users"
variant p1 '.'
app='C:\Program Files\Test Product'
uninstall_key=$(uninstall_of "Test Product")
run_setup "$work/p1.exe" /silent
expect_eq "exit code" 0 "$code"
expect_true "UnStowa.exe is UnStowa32.exe of the package" same_file "$work/src/UnStowa32.exe" "$app\\UnStowa.exe"
expect_true "app.exe installed" same_file "$work/src/app.exe" "$app\\app.exe"
expect_true "random.bin installed" same_file "$work/src/random.bin" "$app\\random.bin"
expect_true "empty.txt installed (empty)" same_file "$work/src/empty.txt" "$app\\empty.txt"
expect_false "notes.txt of the unselected component not installed" exists "$app\\notes.txt"
expect_false "no stw* file left in the folder" compgen -G "$(unix_path "$app")/[sS][tT][wW]*"
expected_log "$work/p1.exe" ALL "Test Product" 2.5 "$app" "$programs\\Test Product" HKEY_LOCAL_MACHINE \
  >"$work/p1.expected.log"
expect_log "$work/p1.expected.log" "$app"
cp "$(unix_path "$app\\Stowa.log")" "$work/p1.installed.log"
expect_eq "Carrovit value names the log" "$app\\Stowa.log" "$(reg_value "HKLM\\$handshake_key" "Test Product" 32)"
u="HKLM\\$uninstall_key"
expect_eq "DisplayName" "Test Product 2.5" "$(reg_value "$u" DisplayName 32)"
expect_eq "UninstallString" "\"$app\\UnStowa.exe\" \"$app\\Stowa.log\"" "$(reg_value "$u" UninstallString 32)"
expect_eq "NoModify" 1 "$(reg_value "$u" NoModify 32)"
expect_eq "NoRepair" 1 "$(reg_value "$u" NoRepair 32)"
expect_eq "EstimatedSize (KiB)" $(((5000 + 200000 + 70000) / 1024)) "$(reg_value "$u" EstimatedSize 32)"
date_now=$(reg_value "$u" InstallDate 32)
if [ "$date_now" = "$today" ] || [ "$date_now" = "$(date +%Y%m%d)" ]; then pass "InstallDate is today"; else
  fail "InstallDate is today" "expected: $today" "actual:   $date_now"
fi
expect_eq "InstallLocation" "$app" "$(reg_value "$u" InstallLocation 32)"
expect_eq "DisplayVersion" 2.5 "$(reg_value "$u" DisplayVersion 32)"
expect_eq "VersionMajor (DWORD)" 2 "$(reg_value "$u" VersionMajor 32)"
expect_eq "VersionMinor (DWORD)" 5 "$(reg_value "$u" VersionMinor 32)"
expect_eq "Publisher" "Test Works" "$(reg_value "$u" Publisher 32)"
expect_eq "HelpLink" "https://example.invalid/help" "$(reg_value "$u" HelpLink 32)"
expect_eq "URLInfoUpdate" "https://example.invalid/help" "$(reg_value "$u" URLInfoUpdate 32)"
expect_eq "URLUpdateInfo" "https://example.invalid/help" "$(reg_value "$u" URLUpdateInfo 32)"
expect_eq "URLInfoAbout" "https://example.invalid" "$(reg_value "$u" URLInfoAbout 32)"
expect_false "no DisplayIcon" value_exists "$u" DisplayIcon 32
expect_false "the 64-bit view has no uninstall entry" key_exists "$u" 64
expect_false "the 64-bit view has no Carrovit value" value_exists "HKLM\\$handshake_key" "Test Product" 64
expect_eq "SharedDLLs count of UnStowa.exe" 1 "$(reg_value "HKLM\\$shared_key" "$app\\UnStowa.exe" 32)"
# The exported key, as Windows tools read it (UTF-16LE with a BOM).
"$wine64" reg export "$u" "$(z_path "$work/uninstall.reg")" /y /reg:32 </dev/null >/dev/null 2>&1 || true
exported=$(iconv -f UTF-16LE -t UTF-8 "$work/uninstall.reg" 2>/dev/null | tr -d '\r' || true)
expect_true "reg export shows VersionMinor as a DWORD" grep -qxF '"VersionMinor"=dword:00000005' <<<"$exported"

# ---------------------------------------------------------------- (4) reinstall

scenario="reinstall of the same release"
# Held the way Windows holds a running program: readable, not writable.
expect_true "app.exe held open by another process (sharing reading)" hold_file "$app\\app.exe" read
run_setup "$work/p1.exe" /silent
release_file
expect_eq "exit code (nothing needed rewriting)" 0 "$code"
expect_eq "holder released normally" 0 "$hold_code"
expect_true "Stowa.log unchanged (file lines in any order)" \
  same_log "$work/p1.installed.log" "$(unix_path "$app\\Stowa.log")" "$app"
expect_eq "SharedDLLs count of UnStowa.exe unchanged" 1 "$(reg_value "HKLM\\$shared_key" "$app\\UnStowa.exe" 32)"
expect_false "no renames at restart" value_exists 'HKLM\System\CurrentControlSet\Control\Session Manager' \
  PendingFileRenameOperations 64
expect_true "app.exe still the package's" same_file "$work/src/app.exe" "$app\\app.exe"

# ---------------------------------------------------------------- (5) second product, same folder

scenario="second product in the same folder"
variant p5 '.productKey = "Other Product"'
run_setup "$work/p5.exe" /silent
expect_eq "exit code" 0 "$code"
expect_true "Stowa2.log written" exists "$app\\Stowa2.log"
expect_true "Stowa.log of the first product unchanged (file lines in any order)" \
  same_log "$work/p1.installed.log" "$(unix_path "$app\\Stowa.log")" "$app"
expect_eq "Stowa2.log names the product" "Other Product" "$(log_line "$app\\Stowa2.log" 12)"
expect_eq "Carrovit value of the second product" "$app\\Stowa2.log" "$(reg_value "HKLM\\$handshake_key" "Other Product" 32)"
expect_eq "Carrovit value of the first product kept" "$app\\Stowa.log" "$(reg_value "HKLM\\$handshake_key" "Test Product" 32)"
expect_eq "SharedDLLs count of the shared uninstaller" 2 "$(reg_value "HKLM\\$shared_key" "$app\\UnStowa.exe" 32)"
expect_eq "uninstall entry of the second product" "\"$app\\UnStowa.exe\" \"$app\\Stowa2.log\"" \
  "$(reg_value "HKLM\\$(uninstall_of "Other Product")" UninstallString 32)"

# ---------------------------------------------------------------- (2) current user

scenario="current user"
variant p2 "$(keyed "User Product")"
uapp="$local_data\\User Product"
uninstall_key=$(uninstall_of "User Product")
run_setup "$work/p2.exe" /silent /usercurrent
expect_eq "exit code" 0 "$code"
expect_true "app.exe in the user's local app data" same_file "$work/src/app.exe" "$uapp\\app.exe"
expect_false "nothing in Program Files" exists 'C:\Program Files\User Product'
expect_eq "log scope line" CURRENT "$(log_line "$uapp\\Stowa.log" 6)"
expected_log "$work/p2.exe" CURRENT "User Product" 2.5 "$uapp" "$programs\\User Product" HKEY_CURRENT_USER \
  >"$work/p2.expected.log"
expect_log "$work/p2.expected.log" "$uapp"
expect_eq "HKCU Carrovit value" "$uapp\\Stowa.log" "$(reg_value "HKCU\\$handshake_key" "User Product" 32)"
expect_eq "HKCU DisplayName" "User Product 2.5" "$(reg_value "HKCU\\$uninstall_key" DisplayName 32)"
expect_eq "HKCU InstallLocation" "$uapp" "$(reg_value "HKCU\\$uninstall_key" InstallLocation 32)"
expect_false "no HKLM uninstall entry (32-bit view)" key_exists "HKLM\\$uninstall_key" 32
expect_false "no HKLM uninstall entry (64-bit view)" key_exists "HKLM\\$uninstall_key" 64
expect_false "no HKLM Carrovit value" value_exists "HKLM\\$handshake_key" "User Product" 32
expect_eq "HKCU SharedDLLs count" 1 "$(reg_value "HKCU\\$shared_key" "$uapp\\UnStowa.exe" 32)"
expect_false "no HKLM SharedDLLs count" value_exists "HKLM\\$shared_key" "$uapp\\UnStowa.exe" 32

# ---------------------------------------------------------------- (3) update

scenario="update"
variant p3a "$(keyed "Update Product")"
# Newer release, obsolete files removed (option bit 1): random.bin dropped, new.txt added.
variant p3b "$(keyed "Update Product") | .version = \"2.6\" | .releaseDate = \"2026-03-19\" | .setupOptions = {\"bits\": 1}
  | .components[0].folders[0].items |= (map(select(.file != \"random.bin\")) + [{\"file\": \"new.txt\"}])"
tapp='C:\Apps\TP'
uninstall_key=$(uninstall_of "Update Product")
run_setup "$work/p3a.exe" /silent /APPFOLDER "$tapp"
expect_eq "first release: exit code" 0 "$code"
expect_true "first release: random.bin installed" exists "$tapp\\random.bin"
run_setup "$work/p3b.exe" /silent
expect_eq "update: exit code" 0 "$code"
expect_true "new.txt added" same_file "$work/src/new.txt" "$tapp\\new.txt"
expect_false "random.bin dropped" exists "$tapp\\random.bin"
expect_true "app.exe kept" same_file "$work/src/app.exe" "$tapp\\app.exe"
expect_false "the earlier folder was taken over (nothing in the default folder)" exists 'C:\Program Files\Update Product'
expect_false "no Stowa2.log" exists "$tapp\\Stowa2.log"
expect_eq "log version line" 2.6 "$(log_line "$tapp\\Stowa.log" 13)"
expect_eq "log release year/month/day" "2026 3 19" \
  "$(log_line "$tapp\\Stowa.log" 8) $(log_line "$tapp\\Stowa.log" 9) $(log_line "$tapp\\Stowa.log" 10)"
expect_eq "log lists random.bin no more" 0 "$(log_count "$tapp\\Stowa.log" "$tapp\\random.bin")"
expect_eq "log lists new.txt once" 1 "$(log_count "$tapp\\Stowa.log" "$tapp\\new.txt")"
expect_eq "log lists the DisplayName value once" 1 \
  "$(log_count "$tapp\\Stowa.log" "$(printf 'HKEY_LOCAL_MACHINE\\%s\tDisplayName' "$uninstall_key")")"
expect_eq "SharedDLLs count of UnStowa.exe stays 1" 1 "$(reg_value "HKLM\\$shared_key" "$tapp\\UnStowa.exe" 32)"
expect_eq "Carrovit value" "$tapp\\Stowa.log" "$(reg_value "HKLM\\$handshake_key" "Update Product" 32)"
expect_eq "DisplayVersion" 2.6 "$(reg_value "HKLM\\$uninstall_key" DisplayVersion 32)"
expect_eq "VersionMinor" 6 "$(reg_value "HKLM\\$uninstall_key" VersionMinor 32)"

# ---------------------------------------------------------------- (6) folder override

scenario="folder override"
variant p6 "$(keyed "Override Product")"
oapp='C:\Tools\X'
run_setup "$work/p6.exe" /silent /APPFOLDER "$oapp"
expect_eq "exit code" 0 "$code"
expect_true "app.exe in the folder given" same_file "$work/src/app.exe" "$oapp\\app.exe"
expect_true "Stowa.log in the folder given" exists "$oapp\\Stowa.log"
expect_eq "log folder line" "$oapp" "$(log_line "$oapp\\Stowa.log" 25)"
expect_false "nothing in the default folder" exists 'C:\Program Files\Override Product'
expect_eq "InstallLocation" "$oapp" "$(reg_value "HKLM\\$(uninstall_of "Override Product")" InstallLocation 32)"

# ---------------------------------------------------------------- (7) file in use

scenario="file in use"
variant p7 "$(keyed "Busy Product")"
bapp='C:\Program Files\Busy Product'
mkdir -p "$(unix_path "$bapp")"
printf 'the running program' >"$(unix_path "$bapp\\app.exe")"
expect_true "app.exe held open by another process (no sharing)" hold_file "$bapp\\app.exe" none
run_setup "$work/p7.exe" /silent
release_file
expect_eq "exit code 3010 (194 under Wine)" 194 "$code"
expect_eq "holder released normally" 0 "$hold_code"
expect_eq "the file in use keeps its content" "the running program" "$(cat "$(unix_path "$bapp\\app.exe")")"
pending=$("$wine64" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations \
  </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^    PendingFileRenameOperations    REG_MULTI_SZ    //p' || true)
# REG_MULTI_SZ as `reg query` prints it: entries joined by \0; pairs of
# source and target, the target marked "!" when it is replaced.
mapfile -t entries < <(printf '%s' "$pending" | sed 's/\\0/\n/g')
staged=""
for ((i = 0; i + 1 < ${#entries[@]}; i += 2)); do
  target=${entries[i + 1]#!}
  if [ "${target,,}" = "\\??\\${bapp,,}\\app.exe" ]; then staged=${entries[i]#\\??\\}; fi
done
if [ -n "$staged" ]; then pass "PendingFileRenameOperations names app.exe"; else
  fail "PendingFileRenameOperations names app.exe" "value: $pending"
fi
if [ -n "$staged" ] && same_file "$work/src/app.exe" "$staged"; then
  pass "the file waiting for the restart holds the new app.exe"
else
  fail "the file waiting for the restart holds the new app.exe" "source: ${staged:-none}"
fi
expect_false "no SharedDLLs count for app.exe" value_exists "HKLM\\$shared_key" "$bapp\\app.exe" 32
expect_true "the other files installed" same_file "$work/src/random.bin" "$bapp\\random.bin"

# ---------------------------------------------------------------- (8a) a drive's root

scenario="drive root"
variant p9 "$(keyed "Root Product")"
mkdir -p "$prefix/drive_d"
ln -sfn ../drive_d "$prefix/dosdevices/d:"
run_setup "$work/p9.exe" /silent /APPFOLDER 'D:\'
expect_eq "exit code" 0 "$code"
expect_true "app.exe in D:\\" same_file "$work/src/app.exe" 'D:\app.exe'
expect_true "D:\\Stowa.log" exists 'D:\Stowa.log'
expect_eq "log folder line" 'D:' "$(log_line 'D:\Stowa.log' 25)"
expect_eq "InstallLocation" 'D:' "$(reg_value "HKLM\\$(uninstall_of "Root Product")" InstallLocation 32)"

# ---------------------------------------------------------------- (8b) unreachable share

scenario="installer on an unreachable share"
t0=$SECONDS
run_setup '\\nosuch\dist\setup.exe' /silent /suppressmsgboxes
expect_eq "exit code 1603 (67 under Wine)" 67 "$code"
expect_true "finished without waiting ($((SECONDS - t0)) s)" test $((SECONDS - t0)) -lt 20
expect_true "the message names the file (stderr)" grep -qF 'Unable to open the file \\nosuch\dist\setup.exe' "$last_out"

# ---------------------------------------------------------------- (8) damaged package

scenario="damaged package"
variant p8 "$(keyed "Broken Product")"
dapp='C:\Program Files\Broken Product'
read -r offset stored < <("$pakbuild" inspect "$work/p8.exe" |
  jq -r '(.PackageFileNames | index("app.exe")) as $i | "\(.FileOffsets[$i]) \(.FileStoredSizes[$i])"')
at=$((offset + (stored > 1000 ? 500 : stored / 2)))
printf '\x13\x37\x13\x37\x13\x37' | dd of="$work/p8.exe" bs=1 seek="$at" conv=notrunc status=none
t0=$SECONDS
run_setup "$work/p8.exe" /silent /suppressmsgboxes
expect_eq "exit code 1603 (67 under Wine), no box waiting for an answer" 67 "$code"
expect_true "finished without waiting ($((SECONDS - t0)) s)" test $((SECONDS - t0)) -lt 20
expect_true "the error names the file (stderr)" grep -q "app.exe could not be read" "$last_out"
expect_false "nothing under app.exe's name" exists "$dapp\\app.exe"
expect_false "no stw* temporary file left in the folder" compgen -G "$(unix_path "$dapp")/[sS][tT][wW]*"
expect_false "no uninstall entry" key_exists "HKLM\\$(uninstall_of "Broken Product")" 32

# ---------------------------------------------------------------- (9) an edited earlier log

scenario="an edited earlier log"
variant p10a "$(keyed "Log Product") | .setupOptions = {\"bits\": 1}"
variant p10b "$(keyed "Log Product") | .setupOptions = {\"bits\": 1} | .version = \"2.6\" | .releaseDate = \"2026-03-19\""
lapp='C:\Program Files\Log Product'
run_setup "$work/p10a.exe" /silent
expect_eq "first release: exit code" 0 "$code"
# Files outside the product, each named by the log in another way; a link
# inside the application folder leads to one of them.
mkdir -p "$(unix_path 'C:\Program Files\Other')" "$(unix_path 'C:\Outside')"
for v in 'C:\windows\system32\victim.dll' 'C:\Program Files\Other\x.txt' 'C:\Outside\inner.txt'; do
  printf 'not the product' >"$(unix_path "$v")"
done
printf 'not the product' >"$work/outside.txt"
ln -s "$(unix_path 'C:\Outside')" "$(unix_path "$lapp\linked")"
printf 'obsolete' >"$(unix_path "$lapp\legit.txt")"
log_file=$(unix_path "$lapp\Stowa.log")
extra=$(printf '%s\r\n' 'C:\windows\system32\victim.dll' "$lapp/../Other/x.txt" "$lapp\..\Other\x.txt" \
  '\\nosuch\share\x' "$(z_path "$work/outside.txt")" "$lapp\linked\inner.txt" "$lapp\\legit.txt")$'\n'
# The lines go in before the end of the file section (the first "%%%").
EXTRA=$extra awk 'BEGIN { ORS = "" } !done && $0 == "%%%\r" { print ENVIRON["EXTRA"]; done = 1 } { print $0 "\n" }' \
  "$log_file" >"$work/edited.log"
cp "$work/edited.log" "$log_file"
run_setup "$work/p10b.exe" /silent
expect_eq "update: exit code" 0 "$code"
expect_true "the system folder's file stays" exists 'C:\windows\system32\victim.dll'
expect_true "a file reached through .. with / stays" exists 'C:\Program Files\Other\x.txt'
expect_true "a file on Z: stays" test -e "$work/outside.txt"
if exists "$lapp\linked\inner.txt"; then pass "a file reached through a link stays"; else
  fail "a file reached through a link stays" "Wine showed the link as a plain folder"
fi
expect_false "the product's own obsolete file goes" exists "$lapp\legit.txt"

# ---------------------------------------------------------------- (10) a damaged support file

scenario="a damaged support file"
printf 'HOOKS-DLL-MARKER %.0s0123456789' $(seq 1 40) >"$work/src/hooks.dll"
jq '. + {supportDll: {name: "hooks.dll", source: "src/hooks.dll", compress: false}}' "$work/base.json" \
  | jq "$(keyed "Hooks Product")" >"$work/p11.json"
build_package "$work/p11.json" "$work/p11.exe"
at=$(grep -abo 'HOOKS-DLL-MARKER' "$work/p11.exe" | head -n1 | cut -d: -f1)
printf 'h' | dd of="$work/p11.exe" bs=1 seek="$((at + 100))" conv=notrunc status=none
run_setup "$work/p11.exe" /silent /suppressmsgboxes
expect_eq "exit code 1603 (67 under Wine)" 67 "$code"
expect_true "the error names the support file (stderr)" grep -q "hooks.dll could not be read" "$last_out"
expect_false "nothing installed" exists 'C:\Program Files\Hooks Product'

# ---------------------------------------------------------------- (11) renames that cannot succeed

scenario="a folder at a file's name"
variant p12 "$(keyed "Folder Product")"
fapp='C:\Program Files\Folder Product'
mkdir -p "$(unix_path "$fapp\app.exe")"
run_setup "$work/p12.exe" /silent /suppressmsgboxes
expect_eq "exit code 1603 (67 under Wine), not 3010" 67 "$code"
expect_true "the error names the file (stderr)" grep -qF "$fapp\app.exe could not be created" "$last_out"
pending=$("$wine64" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations \
  </dev/null 2>/dev/null | tr -d '\r' || true)
expect_false "nothing scheduled for the restart" grep -qiF 'Folder Product' <<<"$pending"
expect_false "no stw* temporary file left in the folder" compgen -G "$(unix_path "$fapp")/[sS][tT][wW]*"

scenario="a link at a file's name"
variant p13 "$(keyed "Link Product")"
kapp='C:\Program Files\Link Product'
mkdir -p "$(unix_path "$kapp")"
printf 'the system file' >"$(unix_path 'C:\windows\system32\victim2.dll')"
ln -s "$(unix_path 'C:\windows\system32\victim2.dll')" "$(unix_path "$kapp\app.exe")"
run_setup "$work/p13.exe" /silent /suppressmsgboxes
expect_eq "the file the link names is untouched" "the system file" \
  "$(cat "$(unix_path 'C:\windows\system32\victim2.dll')")"
if [ -L "$(unix_path "$kapp\app.exe")" ]; then
  expect_eq "kept as a link: exit code 1603 (67 under Wine)" 67 "$code"
else
  expect_true "replaced by the package's file" same_file "$work/src/app.exe" "$kapp\app.exe"
fi

scenario="registry queries"
if [ -s "$work/reg-failures" ]; then
  fail "every reg query answered" "$(cat "$work/reg-failures")"
fi

echo "($((SECONDS - start)) s)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
