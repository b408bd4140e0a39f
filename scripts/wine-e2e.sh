#!/usr/bin/env bash
# End-to-end silent installations under wine64: packages made by the host
# pakbuild are installed by the real build/win64/src/setup.exe in a fresh
# copy of the template Wine prefix, and the files, the installation log
# (byte for byte) and the registry of the prefix are checked.
#
#   scripts/wine-e2e.sh
#   E2E_ONLY=features,portable scripts/wine-e2e.sh   # only these groups
#
# Groups: base (the installations of the base product, in the order they
# build on each other), features (registry data, shortcuts, file types,
# fonts, self-registration, commands, prerequisites and the framework check
# of an all-users installation, and its update), user-features (the same
# for the current user), dotnet (a framework too old), supportdll, elevation
# (the elevated copy of setup-limited.exe), cfa (Controlled Folder Access
# with a stand-in PowerShell), portable, block (a
# compressed block as long as its content). STW_E2E_DIR moves the work
# folder and the prefix (default build/wine), so that two runs can share a
# machine.
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
# shellcheck source=scripts/lib-wine.sh
source "$root/scripts/lib-wine.sh"
wine_paths
work=$wine_dir/e2e
prefix=$wine_dir/e2e-prefix
helpers=$win_build/tests/wine
# Whether a group of scenarios runs: all of them without E2E_ONLY.
only() { [ -z "${E2E_ONLY:-}" ] || [[ ",$E2E_ONLY," == *",$1,"* ]]; }

# ---------------------------------------------------------------- shared code

xvfb_pid=""

# shellcheck source=scripts/lib-checks.sh
source "$root/scripts/lib-checks.sh"

last_out=""
run_setup() {  # package (Linux path, or a network path \\server\share\...), switches... ; sets $code, output in $last_out
  last_out=$work/setup-$((++setup_runs)).out
  set +e
  local package=$1
  [[ $package == '\\'* ]] || package=$(z_path "$1")  # a network path stays as it is
  timeout 60 "$wine64" "${SETUP_PROGRAM:-$win_build/src/setup.exe}" "$package" "${@:2}" </dev/null >"$last_out" 2>&1
  code=$?
  set -e
}
setup_runs=0

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
  "$pakbuild" build "$1" "$2" --front "$win_build/src/front/front.exe" >/dev/null
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
    Publisher QuietUninstallString UninstallString URLInfoAbout URLInfoUpdate URLUpdateInfo VersionMajor VersionMinor; do
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
# ---------------------------------------------------------------- checks of whole texts

# Two texts line by line; the first differing lines are shown, tabs as <TAB>.
expect_text() {  # description, expected text, actual text
  if [ "$2" == "$3" ]; then
    pass "$1"
  else
    local -a d
    mapfile -t d < <(diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/\t/<TAB>/g' | head -n 24)
    fail "$1" "${d[@]}"
  fi
}
# A key and everything below it as `reg query /s` prints it (keys in
# order, values sorted by name), without blank lines and trailing blanks;
# <missing> when the key does not exist.
reg_tree() {  # key, view (32/64)
  if reg_query "$1" /s /reg:"$2"; then
    printf '%s\n' "$reg_out" | tr -d '\r' | sed -e 's/[[:space:]]*$//' -e '/^$/d'
  else
    printf '<missing>'
  fi
}
# One section of an installation log, without its closing "%%%": 1 files,
# 2 registry values, 3 file types, 4 registrations. The header before
# section 1 has 22 fixed lines, then the folder variables (a count and
# three lines each) and the components (a count and two lines each).
log_section() {  # log (Windows path), section number
  local -a l
  mapfile -t l < <(tr -d '\r' <"$(unix_path "$1")")
  local i=22 section=1
  [[ ${l[i]-} =~ ^[0-9]+$ ]] || return 0
  i=$((i + 1 + 3 * l[i]))
  [[ ${l[i]-} =~ ^[0-9]+$ ]] || return 0
  for ((i = i + 1 + 2 * l[i]; i < ${#l[@]}; i++)); do
    if [ "${l[i]}" = "%%%" ]; then
      section=$((section + 1))
    elif [ "$section" -eq "$2" ]; then
      printf '%s\n' "${l[i]}"
    fi
  done
}
# Lines sorted as the log sorts its registry section: by their lower-case
# form, byte by byte (a tab before the value's name sorts before a "\").
sorted_nocase() { awk '{ print tolower($0) "\001" $0 }' | LC_ALL=C sort | cut -d $'\001' -f 2-; }
# The registry log lines of the uninstall entry and the log's value.
uninstall_lines() {  # root as logged, product key, with a DisplayIcon (0/1)
  local -a names=(DisplayName DisplayVersion EstimatedSize HelpLink InstallDate InstallLocation NoModify NoRepair
    Publisher QuietUninstallString UninstallString URLInfoAbout URLInfoUpdate URLUpdateInfo VersionMajor VersionMinor)
  [ "$3" = 0 ] || names+=(DisplayIcon)
  local n
  for n in "${names[@]}"; do printf '%s\\%s\t%s\n' "$1" "$(uninstall_of "$2")" "$n"; done
  printf '%s\\%s\t%s\n' "$1" "$handshake_key" "$2"
}
# Section 1 with its block of files under the application folder sorted,
# as normalized_log does for the whole log (workers finish in any order).
files_section() {  # log (Windows path), application folder
  log_section "$1" 1 | normalized_log /dev/stdin "$2"
}
# Checks every section of an installed log against the expected texts
# (section 1's file block in any order) and that the log has exactly four.
expect_sections() {  # log (Windows path), application folder, section 1, 2, 3, 4 [any-order]
  local log=$1 folder=$2
  if ! exists "$log"; then
    fail "the log exists" "no $log"
    return 0
  fi
  expect_text "log section 1 (files)" "$(printf '%s\n' "$3" | normalized_log /dev/stdin "$folder")" \
    "$(files_section "$log" "$folder")"
  expect_text "log section 2 (registry)" "$4" "$(log_section "$log" 2)"
  expect_text "log section 3 (file types)" "$5" "$(log_section "$log" 3)"
  if [ "${7:-}" = any-order ]; then
    expect_text "log section 4 (registrations, in any order)" "$(printf '%s\n' "$6" | LC_ALL=C sort)" \
      "$(log_section "$log" 4 | LC_ALL=C sort)"
  else
    expect_text "log section 4 (registrations)" "$6" "$(log_section "$log" 4)"
  fi
  expect_eq "log: four sections, the last line closes the fourth" "4 %%%" \
    "$(log_count "$log" "%%%") $(tr -d '\r' <"$(unix_path "$log")" | tail -n 1)"
}
# What a shell link file holds (tests/e2e/lnk.py reads its bytes).
lnk_fields() {  # .lnk (Windows path)
  python3 "$root/tests/e2e/lnk.py" "$(unix_path "$1")" 2>&1 || true
}
# Waits until a file has a line; 0 when it came.
# setup.exe in the background (for a look at what it does while it runs):
# start_setup as run_setup; finish_setup waits and sets $code.
start_setup() {  # package (Linux path), switches...
  last_out=$work/setup-$((++setup_runs)).out
  timeout 60 "$wine64" "$win_build/src/setup.exe" "$(z_path "$1")" "${@:2}" </dev/null >"$last_out" 2>&1 &
  setup_pid=$!
}
finish_setup() {
  set +e
  wait "$setup_pid"
  code=$?
  set -e
}
setup_pid=""
wreg() { "$wine64" reg "$@" </dev/null >/dev/null 2>&1; }  # reg add/delete for the set-up of a scenario

uninstall_key=""  # set per product below
handshake_key='Software\Orvane\Carrovit'
uninstall_of() { printf 'Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s' "$1"; }
shared_key='Software\Microsoft\Windows\CurrentVersion\SharedDLLs'

# ---------------------------------------------------------------- set-up

trap stop_all EXIT
start=$SECONDS
build_tools setup front wine_helpers
hold_exe=$helpers/HoldOpen.exe

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

# The base product's scenarios build on each other: they run as one group.
if only base; then

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
expect_eq "QuietUninstallString" "\"$app\\UnStowa.exe\" \"$app\\Stowa.log\" /silent" "$(reg_value "$u" QuietUninstallString 32)"
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
# Enough other entries that the folder gets a staging folder for the
# temporary files: the file in use must still wait beside its target.
for i in $(seq 70); do printf 'other' >"$(unix_path "$bapp\\other$i.txt")"; done
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
dirname_win() { printf '%s' "${1%\\*}"; }
basename_win() { printf '%s' "${1##*\\}"; }
expect_eq "the file waiting for the restart lies beside app.exe" "${bapp,,}" "$(dirname_win "${staged,,}")"
leftover=$(cd "$(unix_path "$bapp")" && find . -mindepth 1 -maxdepth 1 -iname 'stw*' ! -iname "$(basename_win "$staged")")
expect_eq "no staging folder or other temporary file left" "" "$leftover"
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
# The files written before the stop can be removed again: the log and the
# uninstall entry are saved, and the log does not claim app.exe.
expect_true "an uninstall entry for what was written" key_exists "HKLM\\$(uninstall_of "Broken Product")" 32
expect_eq "the log does not list app.exe" 0 "$(log_count "$dapp\\Stowa.log" "$dapp\\app.exe")"

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

fi  # the base group

# ---------------------------------------------------------------- (12) features, all users

# Builds a package from a manifest written to $work/NAME.json.
build_named() {  # name
  build_package "$work/$1.json" "$work/$1.exe"
}
# A copy of a program with random bytes appended (Windows loads it all the
# same): big enough that a second worker finishes a small file taken after
# it first.
padded_copy() {  # program, copy, MiB
  { cat "$1"; head -c $(($3 << 20)) /dev/urandom; } >"$2"
}
# Backslashes doubled, for a JSON string.
json_path() { printf '%s' "${1//\\/\\\\}"; }

if only features; then
scenario="features (all users)"
fsrc=$work/fsrc
mkdir -p "$fsrc"
cp "$work/src/UnStowa32.exe" "$work/src/UnStowaXP.exe" "$helpers/StwTest.tlb" "$helpers/StwTestSans.ttf" \
  "$helpers/StwPrereq.exe" "$fsrc/"
printf 'the program %d\r\n' $(seq 1 300) >"$fsrc/app.exe"
head -c 766 /dev/urandom >"$fsrc/app.ico"
for f in rec-first rec-second2 rec-path NotRun WaitPrereq; do cp "$helpers/StwRecord.exe" "$fsrc/$f.exe"; done
# Self-registration and the waited queue go in the order in which the
# workers finished the files, not the package's: the first file of each
# pair is far bigger than the one after it, which the other worker (free,
# for the files before are small) takes and finishes first. The dll takes
# 16 MiB and rec-second1 48 MiB, so that rec-second2 and rec-path, taken by
# the worker that finished the dll, are done before rec-second1 too. The
# same holds for the update, whose identity checks read the files in the
# same order. The font comes last: registering it keeps a worker busy for
# a while.
padded_copy "$helpers/SelfRegTest.dll" "$fsrc/SelfRegTest.dll" 16
padded_copy "$helpers/StwRecord.exe" "$fsrc/rec-second1.exe" 48
order=$work/order.txt
notrun=$work/notrun.txt
order_j=$(json_path "$(z_path "$order")")
notrun_j=$(json_path "$(z_path "$notrun")")
cat >"$work/features.json" <<EOF
{
  "publisher": "Test Works", "webAddress": "https://example.invalid", "productKey": "Feature Product",
  "supportAddress": "https://example.invalid/help", "version": "3.1", "releaseDate": "2026-01-15",
  "welcomeLine": "Welcome line", "userType": 3,
  "folders": {"APPFOLDER": ["%PROGRAMFILES%\\\\Feature Product", "%LOCALAPPDATAROOT%\\\\Feature Product"],
              "APPMENU": ["%PROGRAMSMENU%\\\\Feature Product", "%PROGRAMSMENU%\\\\Feature Product"]},
  "files": [
    {"name": "UnStowa32.exe", "source": "fsrc/UnStowa32.exe"},
    {"name": "UnStowaXP.exe", "source": "fsrc/UnStowaXP.exe"},
    {"name": "app.exe", "source": "fsrc/app.exe"},
    {"name": "app.ico", "source": "fsrc/app.ico"},
    {"name": "SelfRegTest.dll", "source": "fsrc/SelfRegTest.dll", "compress": false},
    {"name": "StwTest.tlb", "source": "fsrc/StwTest.tlb"},
    {"name": "rec-first.exe", "source": "fsrc/rec-first.exe", "compress": false},
    {"name": "rec-second1.exe", "source": "fsrc/rec-second1.exe", "compress": false},
    {"name": "rec-second2.exe", "source": "fsrc/rec-second2.exe", "compress": false},
    {"name": "rec-path.exe", "source": "fsrc/rec-path.exe", "compress": false},
    {"name": "StwTestSans.ttf", "source": "fsrc/StwTestSans.ttf"}
  ],
  "components": [
    {"name": "Main", "description": "Everything", "folders": [
      {"name": "%APPFOLDER%", "items": [
        {"file": "app.exe"}, {"file": "app.ico"},
        {"file": "SelfRegTest.dll", "selfRegister": true}, {"file": "StwTest.tlb", "selfRegister": true},
        {"file": "rec-first.exe", "runAfter": true, "runParams": "--sleep 4000 \"$order_j\" first"},
        {"file": "rec-second1.exe", "runAfter": true, "runQueue": true, "runParams": "--sleep 700 \"$order_j\" second 1"},
        {"file": "rec-second2.exe", "runAfter": true, "runQueue": true, "runParams": "\"$order_j\" second 2"},
        {"file": "rec-path.exe", "runAfter": true, "runQueue": true, "runPath": true,
         "runParams": "\"$order_j\" second 3 in %APPFOLDER%"}
      ]},
      {"name": "%APPMENU%", "items": [
        {"shortcut": {"target": "app.exe", "name": "Start App", "description": "Starts the app",
                      "arguments": "--data \"%APPFOLDER%\\\\data\"", "iconFile": "app.ico", "iconIndex": 3}},
        {"url": {"url": "https://example.invalid/stw", "name": "Web Site", "iconFile": "app.ico", "iconIndex": 1}}
      ]},
      {"name": "%DESKTOP%", "items": [{"shortcut": {"target": "app.exe", "iconIndex": 2}}]},
      {"name": "%FONTS%", "items": [{"file": "StwTestSans.ttf"}]}
    ]}
  ],
  "registry": [
    {"root": "HKEY_AUTO", "keys": [{"name": "Software\\\\StwTest\\\\Data", "values": [
      {"default": true, "string": "the default"},
      {"name": "Folder", "string": "%APPFOLDER%\\\\data"},
      {"name": "Count", "dword": 305419896},
      {"name": "Blob", "binary": "00 01 7f 80 ff"},
      {"name": "Kept", "keepExisting": true, "string": "new"},
      {"name": "Fresh", "keepExisting": true, "string": "fresh"},
      {"name": "Later", "logOnly": true}
    ], "keys": [{"name": "Whole", "wholeKey": true, "values": [{"name": "In", "string": "inside"}]}]}]},
    {"root": "HKEY_CLASSES_ROOT", "keys": [{"name": "StwTest.Class", "values": [{"default": true, "string": "StwTest class"}]}]},
    {"root": "HKEY_CURRENT_USER", "keys": [{"name": "Software\\\\StwTest\\\\User", "values": [{"name": "U", "string": "user"}]}]},
    {"root": "HKEY_LOCAL_MACHINE", "keys": [{"name": "Software\\\\StwTest\\\\Machine", "values": [{"name": "M", "dword": 7}]}]},
    {"root": "HKEY_USERS", "keys": [{"name": "Software\\\\StwTest\\\\Profiles", "values": [{"name": "P", "string": "every profile"}]}]}
  ],
  "fileTypes": [
    {"extension": ".stwa", "description": "StwA document", "iconFile": "app.ico", "iconIndex": 1, "actions": [
      {"verb": "open", "target": "app.exe", "parameters": "\"%1\""},
      {"verb": "print", "target": "app.exe", "parameters": "/p \"%1\""}]},
    {"extension": ".stwb", "description": "StwB document", "iconFile": "app.ico", "iconIndex": 2, "actions": [
      {"verb": "open", "target": "app.exe", "parameters": "\"%1\""},
      {"verb": "edit", "target": "app.exe", "parameters": "/e \"%1\""}]}
  ],
  "dotNet": {"versions": 32, "level": 10},
  "prerequisites": [
    {"lines": ["Ready Part", "https://example.invalid/ready", "1", "", "NotRun.exe", "\"$notrun_j\" ran",
               "HKEY_CURRENT_USER\\\\Software\\\\StwTest\\\\Ready", "", "", ""],
     "installer": {"name": "NotRun.exe", "source": "fsrc/NotRun.exe"}},
    {"lines": ["Needed Part", "https://example.invalid/needed", "1", "", "StwPrereq.exe", "X 7",
               "HKEY_CURRENT_USER\\\\Software\\\\StwTest\\\\Prereq", "X", "7", ""],
     "installer": {"name": "StwPrereq.exe", "source": "fsrc/StwPrereq.exe"}},
    {"lines": ["Waited Part", "https://example.invalid/waited", "1", "", "WaitPrereq.exe",
               "--sleep 2000 \"$order_j\" prerequisite", "", "", "", "%APPFOLDER%\\\\app.exe"],
     "installer": {"name": "WaitPrereq.exe", "source": "fsrc/WaitPrereq.exe"}}
  ]
}
EOF
build_named features
fapp='C:\Program Files\Feature Product'
# Wine keeps the machine's shell folders only in the 64-bit registry view,
# which the setup (reading the 32-bit one) does not see: its all-users
# menu and desktop are the user's own, as in (1).
fmenu="$programs\\Feature Product"
fdesk="C:\\users\\$user\\Desktop"
ftemp='C:\StwTemp'
ndp='HKLM\Software\Microsoft\NET Framework Setup\NDP\v4\Client'
# The framework 4.8 (release 528040, the least that counts) in the view the
# setup reads.
wreg add "$ndp" /v Install /t REG_DWORD /d 1 /f /reg:32
wreg add "$ndp" /v Release /t REG_DWORD /d 528040 /f /reg:32
# The first prerequisite is there already; a value the package keeps.
wreg add 'HKCU\Software\StwTest\Ready' /f
wreg add 'HKLM\Software\StwTest\Data' /v Kept /d old /f /reg:32
# An extension that names a program type already.
wreg add 'HKCR\.stwb' /ve /d StwOld.Type /f /reg:32
wreg add 'HKCR\StwOld.Type' /ve /d 'Old type' /f /reg:32
wreg add 'HKCR\StwOld.Type\DefaultIcon' /ve /d 'C:\old.ico,4' /f /reg:32
wreg add 'HKCR\StwOld.Type\shell\open\command' /ve /d 'old.exe "%1"' /f /reg:32
mkdir -p "$(unix_path "$ftemp")"
rm -f "$order" "$notrun"
expect_false "before: the second prerequisite's value is missing" value_exists 'HKCU\Software\StwTest\Prereq' X 32
start_setup "$work/features.exe" /silent /userall /temp "$ftemp"
# The waited prerequisite sleeps 2 s: its copy is in the private folder.
copy=""
for _ in $(seq 1 150); do
  copy=$(compgen -G "$(unix_path "$ftemp")/[sS][tT][wW]*/WaitPrereq.exe" || true)
  if [ -n "$copy" ] || ! kill -0 "$setup_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
finish_setup
expect_eq "exit code (the framework 4.8 is there)" 0 "$code"
expect_true "the prerequisite ran from a copy in the private temporary folder ($ftemp\\stw*)" test -n "$copy"
expect_eq "the temporary folder is empty again" "" "$(find "$(unix_path "$ftemp")" -mindepth 1 | head -n 3)"
expect_false "the prerequisite whose key exists did not run" test -e "$notrun"
expect_eq "the prerequisite whose value was missing ran (X = 7)" 7 "$(reg_value 'HKCU\Software\StwTest\Prereq' X 32)"
order_now=$(lines_of "$order")
expect_text "commands: the waited prerequisite first, then the second queue in the order the files were finished, waited for; the first queue not yet" \
  "$(printf '%s\n' prerequisite "second 2" "second 3 in $fapp" "second 1")" "$order_now"
expect_false "the path queue deleted its file after its command" exists "$fapp\\rec-path.exe"
expect_true "the other command files stay" exists "$fapp\\rec-second2.exe"

# Files, fonts.
expect_true "app.exe installed" same_file "$fsrc/app.exe" "$fapp\\app.exe"
expect_true "the font file in C:\\windows\\Fonts" same_file "$fsrc/StwTestSans.ttf" 'C:\windows\Fonts\StwTestSans.ttf'
fonts_key='Software\Microsoft\Windows NT\CurrentVersion\Fonts'
expect_eq "font value in HKLM (64-bit view): the file name" StwTestSans.ttf \
  "$(reg_value "HKLM\\$fonts_key" "StwTest Sans (TrueType)" 64)"
expect_false "no font value for the current user" value_exists "HKCU\\$fonts_key" "StwTest Sans (TrueType)" 32

# Registry data.
expect_text "HKEY_AUTO: HKLM, 32-bit view (keep-existing kept, log-only not written)" \
  "HKEY_LOCAL_MACHINE\\Software\\StwTest\\Data
    (Default)    REG_SZ    the default
    Blob    REG_BINARY    00017F80FF
    Count    REG_DWORD    0x12345678
    Folder    REG_SZ    $fapp\\data
    Fresh    REG_SZ    fresh
    Kept    REG_SZ    old
HKEY_LOCAL_MACHINE\\Software\\StwTest\\Data\\Whole
    In    REG_SZ    inside" "$(reg_tree 'HKLM\Software\StwTest\Data' 32)"
expect_false "HKEY_AUTO: nothing in the 64-bit view" key_exists 'HKLM\Software\StwTest\Data' 64
expect_false "HKEY_AUTO: nothing under the current user" key_exists 'HKCU\Software\StwTest\Data' 32
expect_eq "HKEY_CLASSES_ROOT: HKCR" "StwTest class" "$(reg_value 'HKCR\StwTest.Class' '' 32)"
expect_false "HKEY_CLASSES_ROOT: not the user's classes" key_exists 'HKCU\Software\Classes\StwTest.Class' 32
expect_eq "HKEY_CURRENT_USER" user "$(reg_value 'HKCU\Software\StwTest\User' U 32)"
expect_eq "HKEY_LOCAL_MACHINE (32-bit view, DWORD)" 7 "$(reg_value 'HKLM\Software\StwTest\Machine' M 32)"
expect_eq "HKEY_USERS: the user's profile" "every profile" "$(reg_value 'HKCU\Software\StwTest\Profiles' P 32)"
expect_eq "HKEY_USERS: the default profile" "every profile" \
  "$(reg_value 'HKEY_USERS\.Default\Software\StwTest\Profiles' P 32)"

# Shortcuts.
expect_text "menu shortcut: named, target, arguments expanded, working folder, icon, description" \
  "header=ok
target=$fapp\\app.exe
idlist={root}\\$fapp\\app.exe
description=Starts the app
workdir=$fapp
arguments=--data \"$fapp\\data\"
icon=$fapp\\app.ico
iconindex=3" "$(lnk_fields "$fmenu\\Start App.lnk" | grep -v '^showcmd=')"
expect_text "desktop shortcut: named after its target, no icon file" \
  "header=ok
target=$fapp\\app.exe
idlist={root}\\$fapp\\app.exe
description=
workdir=$fapp
arguments=
icon=
iconindex=2" "$(lnk_fields "$fdesk\\app.lnk" | grep -v '^showcmd=')"
expect_false "no shortcut under the target's own name in the menu" exists "$fmenu\\app.lnk"
# cat -A shows each CR as ^M and each line's end as $.
expect_text "internet shortcut (CRLF lines)" \
  "$(printf '%s^M$\n' '[InternetShortcut]' 'URL=https://example.invalid/stw' "IconFile=$fapp\\app.ico" 'IconIndex=1')" \
  "$(cat -A "$(unix_path "$fmenu\\Web Site.url")" 2>&1)"
expect_eq "DisplayIcon: the desktop shortcut's target and icon index" "$fapp\\app.exe,2" \
  "$(reg_value "HKLM\\$(uninstall_of "Feature Product")" DisplayIcon 32)"

# File types.
expect_text "new type: .stwa -> stwafile with description, icon, verbs" \
  "HKEY_CLASSES_ROOT\\.stwa
    (Default)    REG_SZ    stwafile
HKEY_CLASSES_ROOT\\stwafile
    (Default)    REG_SZ    StwA document
HKEY_CLASSES_ROOT\\stwafile\\DefaultIcon
    (Default)    REG_SZ    $fapp\\app.ico,1
HKEY_CLASSES_ROOT\\stwafile\\shell
HKEY_CLASSES_ROOT\\stwafile\\shell\\open
HKEY_CLASSES_ROOT\\stwafile\\shell\\open\\command
    (Default)    REG_SZ    \"$fapp\\app.exe\" \"%1\"
HKEY_CLASSES_ROOT\\stwafile\\shell\\print
HKEY_CLASSES_ROOT\\stwafile\\shell\\print\\command
    (Default)    REG_SZ    \"$fapp\\app.exe\" /p \"%1\"" \
  "$(reg_tree 'HKCR\.stwa' 32; reg_tree 'HKCR\stwafile' 32)"
expect_text "existing type: .stwb keeps StwOld.Type, which gets the new values" \
  "HKEY_CLASSES_ROOT\\.stwb
    (Default)    REG_SZ    StwOld.Type
HKEY_CLASSES_ROOT\\StwOld.Type
    (Default)    REG_SZ    StwB document
HKEY_CLASSES_ROOT\\StwOld.Type\\DefaultIcon
    (Default)    REG_SZ    $fapp\\app.ico,2
HKEY_CLASSES_ROOT\\StwOld.Type\\shell
HKEY_CLASSES_ROOT\\StwOld.Type\\shell\\edit
HKEY_CLASSES_ROOT\\StwOld.Type\\shell\\edit\\command
    (Default)    REG_SZ    \"$fapp\\app.exe\" /e \"%1\"
HKEY_CLASSES_ROOT\\StwOld.Type\\shell\\open
HKEY_CLASSES_ROOT\\StwOld.Type\\shell\\open\\command
    (Default)    REG_SZ    \"$fapp\\app.exe\" \"%1\"" \
  "$(reg_tree 'HKCR\.stwb' 32; reg_tree 'HKCR\StwOld.Type' 32)"
expect_false "no stwbfile type made" key_exists 'HKCR\stwbfile' 32

# Self-registration.
expect_eq "SelfRegTest.dll registered itself through regsvr32 (its path)" "$fapp\\SelfRegTest.dll" \
  "$(reg_value 'HKCU\Software\StwTest\SelfReg' Registered 32)"
expect_eq "... once" 1 "$(reg_value 'HKCU\Software\StwTest\SelfReg' Count 32)"
libid='{7BEC42B9-4563-4D5C-AFCC-C6B91E1F0884}'
expect_eq "type library registered: its name" "StwTest type library" "$(reg_value "HKCR\\TypeLib\\$libid\\1.0" '' 64)"
expect_eq "type library registered: its win64 file" "$fapp\\StwTest.tlb" \
  "$(reg_value "HKCR\\TypeLib\\$libid\\1.0\\0\\win64" '' 64)"
helpdir=$(reg_value "HKCR\\TypeLib\\$libid\\1.0\\HELPDIR" '' 64)
expect_eq "type library registered: its help folder is the file's folder" "$fapp" "${helpdir%\\}"

# The log, section by section.
feature_files=$(printf '%s\n' "$fapp\\UnStowa.exe" "$fapp\\app.exe" "$fapp\\app.ico" "$fapp\\rec-first.exe" \
  "$fapp\\SelfRegTest.dll" "$fapp\\StwTest.tlb" "$fapp\\rec-second1.exe" "$fapp\\rec-second2.exe" \
  "$fapp\\rec-path.exe" "$fmenu\\Start App.lnk" "$fdesk\\app.lnk" "$fmenu\\Web Site.url")
feature_registry=$( {
  uninstall_lines HKEY_LOCAL_MACHINE "Feature Product" 1
  printf 'HKEY_AUTO\\Software\\StwTest\\Data\t%s\n' '(Default)' Folder Count Blob Fresh Later
  printf 'HKEY_AUTO\\Software\\StwTest\\Data\\Whole\t%s\n' '*' In
  printf '%s\n' $'HKEY_CLASSES_ROOT\\StwTest.Class\t(Default)' $'HKEY_CURRENT_USER\\Software\\StwTest\\User\tU' \
    $'HKEY_LOCAL_MACHINE\\Software\\StwTest\\Machine\tM' $'HKEY_USERS\\Software\\StwTest\\Profiles\tP'
} | sorted_nocase)
feature_types=$(printf '%s\n' .stwa "" "StwA document" "" "$fapp\\app.ico,1" \
  open "" "\"$fapp\\app.exe\" \"%1\"" print "" "\"$fapp\\app.exe\" /p \"%1\"" % \
  .stwb "Old type" "StwB document" 'C:\old.ico,4' "$fapp\\app.ico,2" \
  open 'old.exe "%1"' "\"$fapp\\app.exe\" \"%1\"" edit "" "\"$fapp\\app.exe\" /e \"%1\"" %)
# In the order the workers finished them: with two workers either order.
feature_registrations=$(printf '%s\n' "$fapp\\StwTest.tlb" "$fapp\\SelfRegTest.dll")
expect_sections "$fapp\\Stowa.log" "$fapp" "$feature_files" "$feature_registry" "$feature_types" "$feature_registrations" \
  any-order
expect_eq "log: the fonts folder is not listed" 0 \
  "$(tr -d '\r' <"$(unix_path "$fapp\\Stowa.log")" | grep -ci 'windows\\fonts' || true)"

# The first queue's command, not waited for, comes last.
expect_true "the first queue's command ran after all (within 15 s)" wait_for_line "$order" first 15
expect_eq "... after the second queue" "$order_now"$'\n'first "$(lines_of "$order")"

# ---------------------------------------------------------------- (13) its update

scenario="features: update"
rm -f "$order"
run_setup "$work/features.exe" /silent /userall /temp "$ftemp"
expect_eq "exit code" 0 "$code"
# Which file the identity checks finish first is not fixed here (the path
# queue's file was deleted, so it is written again): the commands only.
expect_text "the prerequisite's file condition holds now (not run); the second queue again" \
  "$(printf '%s\n' "second 1" "second 2" "second 3 in $fapp")" "$(lines_of "$order" | LC_ALL=C sort)"
expect_eq "the type library is still registered" "$fapp\\StwTest.tlb" \
  "$(reg_value "HKCR\\TypeLib\\$libid\\1.0\\0\\win64" '' 64)"
expect_eq "the existing type keeps its program type" StwOld.Type "$(reg_value 'HKCR\.stwb' '' 32)"
expect_eq "the kept value is still the earlier one" old "$(reg_value 'HKLM\Software\StwTest\Data' Kept 32)"
# The same lines as the first time: the file types name the values found
# before the first installation, not the ones it wrote; registry values
# and registrations the earlier log named stay the product's (in the
# order of the identity checks, which is not fixed).
expect_sections "$fapp\\Stowa.log" "$fapp" "$feature_files" "$feature_registry" "$feature_types" \
  "$feature_registrations" any-order
wait_for_line "$order" first 15 || true
fi  # features

# ---------------------------------------------------------------- (14) features, current user

if only user-features; then
scenario="features (current user)"
usrc=$work/usrc
mkdir -p "$usrc"
cp "$work/src/UnStowa32.exe" "$work/src/UnStowaXP.exe" "$usrc/"
# Another file name than the all-users scenario's, whose copy in the fonts
# folder would be the same file and left as it is.
cp "$helpers/StwTestSans.ttf" "$usrc/StwTestSansU.ttf"
printf 'the user program %d\r\n' $(seq 1 200) >"$usrc/app.exe"
head -c 500 /dev/urandom >"$usrc/app.ico"
cat >"$work/ufeatures.json" <<'EOF'
{
  "publisher": "Test Works", "webAddress": "https://example.invalid", "productKey": "User Feature Product",
  "supportAddress": "https://example.invalid/help", "version": "1.2", "releaseDate": "2026-02-01",
  "welcomeLine": "Welcome line", "userType": 2,
  "folders": {"APPFOLDER": ["%PROGRAMFILES%\\User Feature Product", "%LOCALAPPDATAROOT%\\User Feature Product"],
              "APPMENU": ["%PROGRAMSMENU%\\User Feature Product", "%PROGRAMSMENU%\\User Feature Product"]},
  "files": [
    {"name": "UnStowa32.exe", "source": "usrc/UnStowa32.exe"},
    {"name": "UnStowaXP.exe", "source": "usrc/UnStowaXP.exe"},
    {"name": "app.exe", "source": "usrc/app.exe"},
    {"name": "app.ico", "source": "usrc/app.ico"},
    {"name": "StwTestSansU.ttf", "source": "usrc/StwTestSansU.ttf"}
  ],
  "components": [
    {"name": "Main", "folders": [
      {"name": "%APPFOLDER%", "items": [{"file": "app.exe"}, {"file": "app.ico"}]},
      {"name": "%APPMENU%", "items": [
        {"shortcut": {"target": "app.exe", "name": "User App", "description": "The user's app",
                      "arguments": "/root \"%APPFOLDER%\"", "iconFile": "app.ico", "iconIndex": 5}}]},
      {"name": "%DESKTOP%", "items": [{"shortcut": {"target": "app.exe", "iconIndex": 4}}]},
      {"name": "%FONTS%", "items": [{"file": "StwTestSansU.ttf"}]}
    ]}
  ],
  "registry": [
    {"root": "HKEY_AUTO", "keys": [{"name": "Software\\StwTestU\\Data", "values": [
      {"default": true, "string": "user default"},
      {"name": "Folder", "string": "%APPFOLDER%"},
      {"name": "Count", "dword": 4294967295},
      {"name": "Blob", "binary": "ca fe"},
      {"name": "Kept", "keepExisting": true, "dword": 2},
      {"name": "Later", "logOnly": true}
    ], "keys": [{"name": "Whole", "wholeKey": true}]}]},
    {"root": "HKEY_CLASSES_ROOT", "keys": [{"name": "StwTestU.Class", "values": [{"default": true, "string": "user class"}]}]},
    {"root": "HKEY_USERS", "keys": [{"name": "Software\\StwTestU\\Profiles", "values": [{"name": "P", "string": "mine"}]}]}
  ],
  "fileTypes": [
    {"extension": ".stwc", "description": "StwC document", "iconFile": "app.ico", "iconIndex": 0, "actions": [
      {"verb": "open", "target": "app.exe", "parameters": "\"%1\""}]}
  ]
}
EOF
build_named ufeatures
uapp="$local_data\\User Feature Product"
umenu="$programs\\User Feature Product"
udesk="C:\\users\\$user\\Desktop"
wreg add 'HKCU\Software\StwTestU\Data' /v Kept /t REG_DWORD /d 1 /f
run_setup "$work/ufeatures.exe" /silent
expect_eq "exit code" 0 "$code"
expect_eq "log scope line" CURRENT "$(log_line "$uapp\\Stowa.log" 6)"
expect_text "HKEY_AUTO: the current user (keep-existing kept, log-only not written)" \
  "HKEY_CURRENT_USER\\Software\\StwTestU\\Data
    (Default)    REG_SZ    user default
    Blob    REG_BINARY    CAFE
    Count    REG_DWORD    0xffffffff
    Folder    REG_SZ    $uapp
    Kept    REG_DWORD    0x1
HKEY_CURRENT_USER\\Software\\StwTestU\\Data\\Whole" "$(reg_tree 'HKCU\Software\StwTestU\Data' 32)"
expect_false "HKEY_AUTO: nothing under HKLM (32-bit view)" key_exists 'HKLM\Software\StwTestU' 32
expect_false "HKEY_AUTO: nothing under HKLM (64-bit view)" key_exists 'HKLM\Software\StwTestU' 64
expect_eq "HKEY_CLASSES_ROOT: the user's Software\\Classes" "user class" \
  "$(reg_value 'HKCU\Software\Classes\StwTestU.Class' '' 32)"
expect_false "HKEY_CLASSES_ROOT: not the machine's classes (32-bit view)" \
  key_exists 'HKLM\Software\Classes\StwTestU.Class' 32
expect_false "HKEY_CLASSES_ROOT: not the machine's classes (64-bit view)" \
  key_exists 'HKLM\Software\Classes\StwTestU.Class' 64
expect_eq "HKEY_USERS: the current user only" mine "$(reg_value 'HKCU\Software\StwTestU\Profiles' P 32)"
expect_false "HKEY_USERS: not the default profile" key_exists 'HKEY_USERS\.Default\Software\StwTestU' 32
expect_text "file type in the user's classes" \
  "HKEY_CURRENT_USER\\Software\\Classes\\.stwc
    (Default)    REG_SZ    stwcfile
HKEY_CURRENT_USER\\Software\\Classes\\stwcfile
    (Default)    REG_SZ    StwC document
HKEY_CURRENT_USER\\Software\\Classes\\stwcfile\\DefaultIcon
    (Default)    REG_SZ    $uapp\\app.ico,0
HKEY_CURRENT_USER\\Software\\Classes\\stwcfile\\shell
HKEY_CURRENT_USER\\Software\\Classes\\stwcfile\\shell\\open
HKEY_CURRENT_USER\\Software\\Classes\\stwcfile\\shell\\open\\command
    (Default)    REG_SZ    \"$uapp\\app.exe\" \"%1\"" \
  "$(reg_tree 'HKCU\Software\Classes\.stwc' 32; reg_tree 'HKCU\Software\Classes\stwcfile' 32)"
expect_false "file type not in the machine's classes" key_exists 'HKLM\Software\Classes\.stwc' 32
expect_true "the font file in C:\\windows\\Fonts" same_file "$usrc/StwTestSansU.ttf" 'C:\windows\Fonts\StwTestSansU.ttf'
expect_eq "font value under the current user: the full path" 'C:\windows\Fonts\StwTestSansU.ttf' \
  "$(reg_value "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts" "StwTest Sans (TrueType)" 32)"
expect_false "no machine font value for this file" \
  grep -qiF 'StwTestSansU' <<<"$(reg_tree 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' 64)"
expect_text "menu shortcut in the user's menu" \
  "header=ok
target=$uapp\\app.exe
idlist={root}\\$uapp\\app.exe
description=The user's app
workdir=$uapp
arguments=/root \"$uapp\"
icon=$uapp\\app.ico
iconindex=5" "$(lnk_fields "$umenu\\User App.lnk" | grep -v '^showcmd=')"
expect_eq "desktop shortcut on the user's desktop" "target=$uapp\\app.exe iconindex=4" \
  "$(lnk_fields "$udesk\\app.lnk" | grep -E '^(target|iconindex)=' | paste -sd ' ')"
expect_eq "DisplayIcon (HKCU): the desktop shortcut's target and icon index" "$uapp\\app.exe,4" \
  "$(reg_value "HKCU\\$(uninstall_of "User Feature Product")" DisplayIcon 32)"
ufiles=$(printf '%s\n' "$uapp\\UnStowa.exe" "$uapp\\app.exe" "$uapp\\app.ico" "$umenu\\User App.lnk" "$udesk\\app.lnk")
uregistry=$( {
  uninstall_lines HKEY_CURRENT_USER "User Feature Product" 1
  printf 'HKEY_AUTO\\Software\\StwTestU\\Data\t%s\n' '(Default)' Folder Count Blob Later
  printf '%s\n' $'HKEY_AUTO\\Software\\StwTestU\\Data\\Whole\t*' $'HKEY_CLASSES_ROOT\\StwTestU.Class\t(Default)' \
    $'HKEY_CURRENT_USER\\Software\\StwTestU\\Profiles\tP'
} | sorted_nocase)
utypes=$(printf '%s\n' .stwc "" "StwC document" "" "$uapp\\app.ico,0" open "" "\"$uapp\\app.exe\" \"%1\"" %)
expect_sections "$uapp\\Stowa.log" "$uapp" "$ufiles" "$uregistry" "$utypes" ""
fi  # user-features

# ---------------------------------------------------------------- (15) a framework too old

if only dotnet; then
scenario="framework too old"
cat >"$work/nonet.json" <<'EOF'
{
  "publisher": "Test Works", "productKey": "NoNet Product", "version": "1.0", "userType": 1,
  "folders": {"APPFOLDER": ["%PROGRAMFILES%\\NoNet Product", ""]},
  "files": [{"name": "UnStowa32.exe", "source": "src/UnStowa32.exe"}, {"name": "app.exe", "source": "src/notes.txt"}],
  "components": [{"name": "Main", "folders": [{"name": "%APPFOLDER%", "items": [{"file": "app.exe"}]}]}],
  "dotNet": {"versions": 32, "level": 10}
}
EOF
build_named nonet
ndp='HKLM\Software\Microsoft\NET Framework Setup\NDP\v4\Client'
# 4.7.2 in the view the setup reads; 4.8 in the other one must not count.
wreg add "$ndp" /v Install /t REG_DWORD /d 1 /f /reg:32
wreg add "$ndp" /v Release /t REG_DWORD /d 461808 /f /reg:32
wreg add "$ndp" /v Install /t REG_DWORD /d 1 /f /reg:64
wreg add "$ndp" /v Release /t REG_DWORD /d 528040 /f /reg:64
run_setup "$work/nonet.exe" /silent /suppressmsgboxes
expect_eq "exit code 1603 (67 under Wine)" 67 "$code"
expect_true "the message names the framework (stderr)" \
  grep -qF 'This product needs the Microsoft .NET Framework 4.8, which is not installed on this computer.' "$last_out"
expect_false "no application folder" exists 'C:\Program Files\NoNet Product'
expect_false "no uninstall entry" key_exists "HKLM\\$(uninstall_of "NoNet Product")" 32
expect_false "no log value" value_exists "HKLM\\$handshake_key" "NoNet Product" 32
wreg add "$ndp" /v Release /t REG_DWORD /d 528040 /f /reg:32
fi  # dotnet

# ---------------------------------------------------------------- (15b) the support DLL

if only supportdll; then
scenario="the support DLL"
cat >"$work/hooks.json" <<EOF
{
  "publisher": "Test Works", "productKey": "Hooked Product", "version": "1.0", "userType": 2,
  "folders": {"APPFOLDER": ["", "%LOCALAPPDATAROOT%\\\\Hooked Product"]},
  "supportDll": {"name": "StwSupport.dll", "source": "$(json_path "$helpers")/StwSupport.dll"},
  "files": [{"name": "UnStowa32.exe", "source": "src/UnStowa32.exe"}, {"name": "app.exe", "source": "src/notes.txt"},
            {"name": "extra.txt", "source": "src/notes.txt"}, {"name": "tool.txt", "source": "src/new.txt"}],
  "components": [{"name": "Main", "folders": [{"name": "%APPFOLDER%", "items": [{"file": "app.exe"}]},
                                             {"name": "%TOOLS%", "items": [{"file": "tool.txt"}]}]},
                 {"name": "Extra", "optional": true, "selected": true,
                  "folders": [{"name": "%APPFOLDER%", "items": [{"file": "extra.txt"}]}]}]
}
EOF
build_named hooks
calls=$work/hooks-calls.txt
hooked="$local_data\\Hooked Product"
# Refused: nothing is installed and the run fails.
rm -f "$calls"
STW_SUPPORT_LOG=$(z_path "$calls") STW_SUPPORT_ALLOW=0 run_setup "$work/hooks.exe" /silent /suppressmsgboxes
expect_eq "a refusal: exit code 1603 (67 under Wine)" 67 "$code"
expect_true "the DLL is asked, for the current user" grep -q "^AllowInstallation3 .*portable=0 currentUser=-1" "$calls"
expect_false "nothing installed" exists "$hooked\\app.exe"
# Allowed: the DLL clears the optional component and learns the log's path.
rm -f "$calls"
STW_SUPPORT_LOG=$(z_path "$calls") STW_SUPPORT_SELECT='Extra=-1,0' STW_SUPPORT_INSTALL='%TOOLS%|Tools|C:\StwTools|' \
  run_setup "$work/hooks.exe" /silent /suppressmsgboxes
expect_eq "allowed: exit code" 0 "$code"
expect_true "the folder the DLL added takes the component's file" same_file "$work/src/new.txt" 'C:\StwTools\tool.txt'
expect_true "the program is installed" exists "$hooked\\app.exe"
expect_false "the component the DLL cleared is not" exists "$hooked\\extra.txt"
expect_true "the DLL is told where the log is" grep -qixF "FinishDeployment path=$hooked\\Stowa.log" "$calls"
fi  # supportdll

# ---------------------------------------------------------------- (15c) the elevated second instance

if only elevation; then
scenario="the elevated second instance"
# Only for all users; setup-limited.exe runs with the token of an
# administrator without elevation, so with /noadmin it starts its elevated
# copy ("runas" under Wine: at once, with the same token).
cat >"$work/elevate.json" <<EOF
{
  "publisher": "Test Works", "productKey": "Elevated Product", "version": "1.0", "userType": 1,
  "folders": {"APPFOLDER": ["%PROGRAMFILES%\\\\Elevated Product", ""]},
  "supportDll": {"name": "StwSupport.dll", "source": "$(json_path "$helpers")/StwSupport.dll"},
  "files": [{"name": "UnStowa32.exe", "source": "src/UnStowa32.exe"},
            {"name": "who.exe", "source": "$(json_path "$helpers")/StwWho.exe"}],
  "components": [{"name": "Main", "folders": [{"name": "%APPFOLDER%", "items": [{"file": "who.exe"}]}]}]
}
EOF
build_named elevate
calls=$work/elevate-calls.txt
elevated_app='C:\Program Files\Elevated Product'
# The child refuses (its support DLL says no): its 1603 is the first's.
rm -f "$calls"
SETUP_PROGRAM=$helpers/setup-limited.exe STW_SUPPORT_LOG=$(z_path "$calls") STW_SUPPORT_ALLOW=0 \
  run_setup "$work/elevate.exe" /silent /noadmin /suppressmsgboxes
expect_eq "a refusing child: exit code 1603 (67 under Wine)" 67 "$code"
expect_eq "only the elevated copy asked the DLL" 1 "$(grep -c '^AllowInstallation' "$calls" || true)"
expect_false "nothing installed" exists "$elevated_app\\who.exe"
# The child installs for all users.
rm -f "$calls"
SETUP_PROGRAM=$helpers/setup-limited.exe STW_SUPPORT_LOG=$(z_path "$calls") \
  run_setup "$work/elevate.exe" /silent /noadmin /suppressmsgboxes
expect_eq "exit code" 0 "$code"
expect_true "who.exe is installed" same_file "$helpers/StwWho.exe" "$elevated_app\\who.exe"
expect_eq "the uninstall entry (all users)" "Elevated Product 1.0" \
  "$(reg_value "HKLM\\$(uninstall_of "Elevated Product")" DisplayName 32)"
expect_eq "the child's rights test left its installer file" "$(z_path "$work/elevate.exe")" \
  "$(reg_value "HKLM\\$handshake_key" Stub 32)"
expect_true "the DLL was told where the log is" grep -qixF "FinishDeployment path=$elevated_app\\Stowa.log" "$calls"
fi  # elevation

# ---------------------------------------------------------------- (15d) Controlled Folder Access

if only cfa; then
scenario="Controlled Folder Access"
# A Windows 10 release with the feature on, for this copy of setup.exe
# (Wine's version per program); PowerShell is a recorder in its place.
cfa_dir="$work/O'Brien"
mkdir -p "$cfa_dir"
cp "$win_build/src/setup.exe" "$cfa_dir/setup-cfa.exe"
wreg add 'HKCU\Software\Wine\AppDefaults\setup-cfa.exe' /v Version /d win10 /f
wreg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v ReleaseId /d 2009 /f /reg:64
cfa_key='HKLM\Software\Microsoft\Windows Defender\Windows Defender Exploit Guard\Controlled Folder Access'
wreg add "$cfa_key" /v EnableControlledFolderAccess /t REG_DWORD /d 1 /f /reg:64
wreg add "$cfa_key\\AllowedApplications" /f /reg:64
ps_dir="$prefix/drive_c/windows/system32/WindowsPowerShell/v1.0"
mkdir -p "$ps_dir"
cp "$helpers/StwWho.exe" "$ps_dir/powershell.exe"
jq '.productKey = "Cfa Product" | .folders.APPFOLDER = ["%PROGRAMFILES%\\Cfa Product", ""] | .cfa = {options: 9}' \
  "$work/base.json" >"$work/cfa.json"
build_named cfa
who=$work/cfa-who.txt
rm -f "$who"
SETUP_PROGRAM=$cfa_dir/setup-cfa.exe STW_WHO_LOG=$(z_path "$who") STW_WHO_DEFENDER=1 run_setup "$work/cfa.exe" /silent /userall
expect_eq "exit code" 0 "$code"
expect_true "the product is installed by the second instance" exists 'C:\Program Files\Cfa Product\app.exe'
program=$(z_path "$cfa_dir/setup-cfa.exe")
quoted=${program//\'/\'\'}
ps_line() {  # cmdlet, path as quoted
  printf '%s' "instance= args=-NoProfile -WindowStyle Hidden -Command \"$1 -ControlledFolderAccessAllowedApplications '$2'\""
}
ps_lines=$(lines_of "$who")
expect_eq "PowerShell's first command: the setup allowed, its apostrophe doubled" \
  "$(ps_line Add-MpPreference "$quoted")" "$(sed -n 1p <<<"$ps_lines")"
expect_eq "then the uninstaller beside it" \
  "$(ps_line Add-MpPreference "${quoted%\\*}\\UnStowa.exe")" "$(sed -n 2p <<<"$ps_lines")"
expect_true "the second instance allowed the installed program" \
  grep -qxF "$(ps_line Add-MpPreference 'C:\Program Files\Cfa Product\app.exe')" <<<"$ps_lines"
expect_eq "the setup withdrawn last" "$(ps_line Remove-MpPreference "$quoted")" "$(tail -n 1 <<<"$ps_lines")"
expect_false "... from the allowed applications" value_exists "$cfa_key\\AllowedApplications" "$program" 64
expect_true "the uninstaller stays allowed" value_exists "$cfa_key\\AllowedApplications" "${program%\\*}\\UnStowa.exe" 64
wreg delete 'HKCU\Software\Wine\AppDefaults\setup-cfa.exe' /f
wreg add "$cfa_key" /v EnableControlledFolderAccess /t REG_DWORD /d 0 /f /reg:64
fi  # cfa

# ---------------------------------------------------------------- (16) portable

if only portable; then
scenario="portable"
cat >"$work/portable.json" <<'EOF'
{
  "publisher": "Test Works", "webAddress": "https://example.invalid", "productKey": "Portable Product",
  "version": "1.0", "userType": 3,
  "folders": {"APPFOLDER": ["%PROGRAMFILES%\\Portable Product", "%LOCALAPPDATAROOT%\\Portable Product"],
              "APPMENU": ["%PROGRAMSMENU%\\Portable Product", "%PROGRAMSMENU%\\Portable Product"]},
  "portable": {"mode": 1, "markerMode": 2},
  "files": [
    {"name": "UnStowa32.exe", "source": "src/UnStowa32.exe"},
    {"name": "UnStowaXP.exe", "source": "src/UnStowaXP.exe"},
    {"name": "app.exe", "source": "src/app.exe"},
    {"name": "notes.txt", "source": "src/notes.txt"}
  ],
  "components": [{"name": "Main", "folders": [
    {"name": "%APPFOLDER%", "items": [{"file": "app.exe"}], "folders": [{"name": "docs", "items": [{"file": "notes.txt"}]}]},
    {"name": "%APPMENU%", "items": [{"shortcut": {"target": "app.exe", "name": "Portable App"}},
                                    {"url": {"url": "https://example.invalid", "name": "Portable Site"}}]},
    {"name": "%DESKTOP%", "items": [{"shortcut": {"target": "app.exe"}}]}]}],
  "registry": [
    {"root": "HKEY_AUTO", "keys": [{"name": "Software\\StwTestP", "values": [{"name": "A", "string": "auto"}]}]},
    {"root": "HKEY_CURRENT_USER", "keys": [{"name": "Software\\StwTestP", "values": [{"name": "U", "string": "user"}]}]}
  ]
}
EOF
build_named portable
papp='C:\Portable\Stw'
touch "$work/portable.stamp"
run_setup "$work/portable.exe" /portable "$papp" /silent
expect_eq "exit code" 0 "$code"
expect_text "the folder holds the files and the marker, nothing else" \
  "$(printf '%s\n' RemovableDrive.sys app.exe docs docs/notes.txt)" \
  "$(cd "$(unix_path "$papp")" 2>/dev/null && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort)"
expect_true "app.exe" same_file "$work/src/app.exe" "$papp\\app.exe"
expect_true "docs\\notes.txt" same_file "$work/src/notes.txt" "$papp\\docs\\notes.txt"
marker=$(unix_path "$papp\\RemovableDrive.sys")
expect_eq "RemovableDrive.sys: one line, ended by CR LF" "1 1" \
  "$(tr -cd '\n' <"$marker" | wc -c) $(grep -c $'\r$' "$marker")"
expect_true "... that says the drive is treated as removable" grep -qi 'removable' "$marker"
expect_false "no uninstall entry (HKLM)" key_exists "HKLM\\$(uninstall_of "Portable Product")" 32
expect_false "no uninstall entry (HKCU)" key_exists "HKCU\\$(uninstall_of "Portable Product")" 32
expect_false "no log value (HKLM)" value_exists "HKLM\\$handshake_key" "Portable Product" 32
expect_false "no log value (HKCU)" value_exists "HKCU\\$handshake_key" "Portable Product" 32
expect_false "no registry data: HKLM (32-bit view)" key_exists 'HKLM\Software\StwTestP' 32
expect_false "no registry data: HKLM (64-bit view)" key_exists 'HKLM\Software\StwTestP' 64
expect_false "no registry data: HKCU" key_exists 'HKCU\Software\StwTestP' 32
expect_eq "no shortcut or folder anywhere else on C:" "" \
  "$(find "$prefix/drive_c" -newer "$work/portable.stamp" \( -iname '*.lnk' -o -iname '*.url' -o -iname 'Portable Product' \) \
    -not -path '*/windows/*' | head -n 5)"
fi  # portable

# ---------------------------------------------------------------- (17) a block as long as its content

if only block; then
scenario="compressed block of its own size"
{
  read -r hex
  read -r text
} < <(python3 "$root/tests/e2e/equal_block.py" find 'Software\StwTest\Block' v)
jq --arg hex "$hex" '.productKey = "Block Product" | .folders.APPFOLDER = ["%PROGRAMFILES%\\Block Product", ""]
  | .registryData = {hex: $hex} | .build = {blocks: "compressed"}' "$work/base.json" >"$work/block.json"
build_named block
expect_true "the package holds the registry data compressed to their own length" \
  python3 "$root/tests/e2e/equal_block.py" check "$work/block.exe" "$hex"
run_setup "$work/block.exe" /silent /userall
expect_eq "exit code" 0 "$code"
expect_eq "the value is there" "$text" "$(reg_value 'HKLM\Software\StwTest\Block' v 32)"
expect_eq "the value is logged" 1 \
  "$(tr -d '\r' <"$(unix_path 'C:\Program Files\Block Product\Stowa.log')" | grep -c $'\\\\Software\\\\StwTest\\\\Block\tv$' || true)"
fi  # block

scenario="registry queries"
if [ -s "$work/reg-failures" ]; then
  fail "every reg query answered" "$(cat "$work/reg-failures")"
fi

echo "($((SECONDS - start)) s)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
