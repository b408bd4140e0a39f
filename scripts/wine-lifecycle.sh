#!/usr/bin/env bash
# The whole life of a product under wine64, as a person and a deployment
# tool see it: installer files written by the host pakbuild with the real
# front (build/win64/src/front/front.exe) and the real uninstaller
# (UnStowa32.exe) are started by themselves, with /silent and through the
# wizard; the product is updated, and removed by the command its uninstall
# entry names. After every removal the prefix's files and registry are
# compared with a snapshot taken before the first installation.
#
#   scripts/wine-lifecycle.sh                  # all groups
#   LIFE_ONLY=silent,shared scripts/wine-lifecycle.sh
#
# Prints one line per check and "N passed, M failed"; non-zero when a check
# failed. scripts/test.sh runs it in its win64 stage.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib-wine.sh
source "$root/scripts/lib-wine.sh"
wine_paths
work=$wine_dir/lifecycle
prefix=$wine_dir/lifecycle-prefix
pakbuild=$host_build/tools/pakbuild
front=$win_build/src/front/front.exe
unstowa=$win_build/src/uninstaller/UnStowa32.exe
driver=$win_build/tests/wine/WizardDriver.exe
helpers=$win_build/tests/wine
only() { [ -z "${LIFE_ONLY:-}" ] || [[ ",$LIFE_ONLY," == *",$1,"* ]]; }

# shellcheck source=scripts/lib-checks.sh
source "$root/scripts/lib-checks.sh"
# shellcheck source=scripts/lib-state.sh
source "$root/scripts/lib-state.sh"
xvfb_pid=""

# ---------------------------------------------------------------- packages

# The demo product (its files, shortcuts, registry entries and file type)
# with the real uninstaller, edited by a jq filter: name, filter. Without
# its font: a font goes to the system's font folder for every program and is
# not logged, so it stays when the product is removed.
package() {
  jq --arg d "$root/demo/" --arg u "$unstowa" \
    '(.files[].source, .readme.source, .licence.source) |= ($d + .)
    | (.files[] | select(.name == "UnStowa32.exe" or .name == "UnStowaXP.exe") | .source) = $u
    | .components[0].folders |= map(select(.name != "%FONTS%"))
    | .finish.flags = 0 | '"$2" "$root/demo/demo.json" >"$work/$1.json"
  installer "$1"
}
# The installer file of $work/NAME.json, with the real front.
installer() {  # name
  "$pakbuild" build "$work/$1.json" "$work/$1.exe" --front "$front" >/dev/null
}

# ---------------------------------------------------------------- the prefix's state

# The user's temporary folder, listed.
temp_listing() { (cd "$(unix_path "$temp")" && find . -mindepth 1 | LC_ALL=C sort); }

last_out=""
runs=0
run_front() {  # installer (Linux path), switches... ; sets $code
  last_out=$work/run-$((++runs)).out
  set +e
  timeout 120 "$wine64" "$(z_path "$1")" "${@:2}" </dev/null >"$last_out" 2>&1
  code=$?
  set -e
  settle
}

# The product removed by its QuietUninstallString, the prefix restarted:
# files and registry must be as in the snapshot `clean`.
removed_clean() {  # product key, snapshot name, what came before
  quiet_uninstall "$1" 32
  expect_eq "uninstall exit code" 0 "$code"
  restart
  expect_eq "nothing left in the temporary folder after the restart" "$temp_before" "$(temp_listing)"
  snapshot "$2"
  same_state "files and registry as before $3" clean "$2"
}

# ---------------------------------------------------------------- set-up

trap stop_all EXIT
start=$SECONDS
build_tools setup front unstowa wine_helpers
make_wine_template
if [ -d "$prefix" ]; then WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true; fi
rm -rf "$prefix" "$prefix.home" "$work"
mkdir -p "$work"
rm -f "$work/reg-failures"
cp -a --reflink=auto "$cache/wine-template" "$prefix"
wine_env "$prefix"
start_xvfb >/dev/null
serve
user=$(basename "$(find "$prefix/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1)")
temp="C:\\users\\$user\\AppData\\Local\\Temp"
mkdir -p "$(unix_path "$temp")"
app='C:\Program Files\Stowa Demo'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Stowa Demo'
demo() { printf '%s\n' "$root/demo/files/$1"; }
demo/make-files.sh

package v1 '.'
# The update: a newer program, new notes, one file more.
printf 'the notes of version 2\r\n' >"$work/notes2.txt"
head -c 200000 /usr/bin/cmake | tail -c 100000 >"$work/demo2.exe"
jq --arg n "$work/notes2.txt" --arg e "$work/demo2.exe" \
  '.version = "2.0" | (.files[] | select(.name == "notes.txt") | .source) = $n
   | (.files[] | select(.name == "demo.exe")) |= (.source = $e | .version = "2.0.0.0")
   | .files += [{"name": "changes.txt", "source": $n}]
   | .components[0].folders[0].items += [{"file": "changes.txt"}]' "$work/v1.json" >"$work/v2.json"
installer v2
# Another product into the same folder: its own program, registry key and
# log (Stowa2.log), the uninstaller shared.
printf 'the other product\r\n' >"$work/other.txt"
jq --arg o "$work/other.txt" \
  '.productKey = "Stowa Other" | .fileTypes = [] | .readme = null | .licence = null
   | .files = [.files[] | select(.name == "UnStowa32.exe" or .name == "UnStowaXP.exe")] + [{"name": "other.txt", "source": $o}]
   | .folders.APPMENU = ["%PROGRAMSMENU%\\Stowa Other", "%PROGRAMSMENU%\\Stowa Other"]
   | .components = [{"name": "Other", "description": "The other product", "selected": true,
                     "folders": [{"name": "%APPFOLDER%", "items": [{"file": "other.txt"}]}]}]
   | .registry = [{"root": "HKEY_AUTO", "keys": [{"name": "Software\\Stowa Demo Works\\Stowa Other", "wholeKey": true,
                   "values": [{"name": "InstallFolder", "string": "%APPFOLDER%"}]}]}]
   | .finish = {"flags": 0} | del(.mainExecutable) | .uninstall = {"shortcut": 0}' "$work/v1.json" >"$work/other.json"
installer other
echo "prefix $prefix, user $user, display $DISPLAY ($((SECONDS - start)) s to prepare)"

snapshot clean
temp_before=$(temp_listing)

# ---------------------------------------------------------------- the installer file by itself

if only silent; then
  scenario="installer file, silent"
  run_front "$work/v1.exe" /silent
  expect_eq "exit code" 0 "$code"
  expect_true "demo.exe installed" same_file "$(demo demo.exe)" "$app\\demo.exe"
  expect_true "big.dat installed" same_file "$(demo big.dat)" "$app\\data\\big.dat"
  expect_true "the uninstaller is the package's UnStowa32.exe" same_file "$unstowa" "$app\\UnStowa.exe"
  expect_eq "nothing left in the temporary folder" "$temp_before" "$(temp_listing)"

  scenario="uninstall, silent"
  removed_clean "Stowa Demo" removed "the installation"
fi

# ---------------------------------------------------------------- the user's arguments

if only arguments; then
  # The front passes its arguments on as they came: a folder with spaces
  # arrives as one argument.
  scenario="installer file, arguments"
  run_front "$work/v1.exe" /APPFOLDER 'C:\Stowa Demo Copy' /silent
  expect_eq "exit code" 0 "$code"
  expect_true "demo.exe installed in the folder given" same_file "$(demo demo.exe)" 'C:\Stowa Demo Copy\demo.exe'
  expect_false "not in the default folder" exists "$app"
  expect_eq "InstallLocation" 'C:\Stowa Demo Copy' "$(reg_value "$uninstall_key" InstallLocation 32)"
  removed_clean "Stowa Demo" removed-arguments "the installation"
fi

# ---------------------------------------------------------------- through the wizard

if only wizard; then
  scenario="installer file, wizard"
  cat >"$work/wizard.drv" <<'DRV'
window
click BtnInstall
visible BtnLicenseYes
click BtnLicenseYes
gone
DRV
  set +e
  "$wine64" "$(z_path "$work/v1.exe")" </dev/null >"$work/wizard-front.out" 2>&1 &
  front_pid=$!
  timeout 120 "$wine64" "$driver" "$(z_path "$work/wizard.drv")" </dev/null >"$work/wizard-driver.out" 2>&1
  driver_code=$?
  wait $front_pid
  code=$?
  set -e
  settle
  expect_eq "the driver clicked Install and accepted the licence" 0 "$driver_code"
  expect_eq "exit code" 0 "$code"
  expect_true "demo.exe installed" same_file "$(demo demo.exe)" "$app\\demo.exe"
  expect_eq "nothing left in the temporary folder" "$temp_before" "$(temp_listing)"
  removed_clean "Stowa Demo" removed-wizard "the installation"
fi

# ---------------------------------------------------------------- the uninstaller's questions

if only boxes; then
  scenario="uninstaller, with its questions"
  run_front "$work/v1.exe" /silent
  expect_eq "installed: exit code" 0 "$code"
  snapshot installed
  # No at the question: nothing removed, 1602 (under Wine its low byte, 66).
  printf 'box no remove Stowa Demo Works Stowa Demo 1.0 and all of its components?\n' >"$work/no.drv"
  printf 'box yes remove Stowa Demo Works Stowa Demo 1.0 and all of its components?\nbox ok was removed from this computer.\n' \
    >"$work/yes.drv"
  for answer in no yes; do
    set +e
    timeout 120 "$wine64" "$driver" "$(z_path "$work/$answer.drv")" </dev/null >"$work/$answer-driver.out" 2>&1 &
    driver_pid=$!
    uninstall_by UninstallString "Stowa Demo" 32
    wait $driver_pid
    driver_code=$?
    set -e
    expect_eq "the driver answered $answer" 0 "$driver_code"
    if [ "$answer" = no ]; then
      expect_eq "No: exit code 1602 (66 under Wine)" 66 "$code"
      snapshot declined
      same_state "No: nothing removed" installed declined
    else
      expect_eq "Yes: exit code" 0 "$code"
      restart
      snapshot removed-boxes
      same_state "Yes: files and registry as before the installation" clean removed-boxes
    fi
  done
fi

# ---------------------------------------------------------------- an update

if only update; then
  scenario="update"
  run_front "$work/v1.exe" /silent
  expect_eq "version 1: exit code" 0 "$code"
  run_front "$work/v2.exe" /silent
  expect_eq "version 2: exit code" 0 "$code"
  expect_true "demo.exe of version 2" same_file "$work/demo2.exe" "$app\\demo.exe"
  expect_true "changes.txt added" same_file "$work/notes2.txt" "$app\\changes.txt"
  expect_eq "DisplayVersion" "2.0" "$(reg_value "$uninstall_key" DisplayVersion 32)"
  expect_eq "one log" "Stowa.log" "$(cd "$(unix_path "$app")" && ls Stowa*.log | tr '\n' ' ' | sed 's/ $//')"
  removed_clean "Stowa Demo" removed-update "the first installation"
fi

# ---------------------------------------------------------------- two products in one folder

if only shared; then
  scenario="two products, one folder"
  run_front "$work/v1.exe" /silent
  expect_eq "the demo: exit code" 0 "$code"
  run_front "$work/other.exe" /silent
  expect_eq "the other product: exit code" 0 "$code"
  expect_true "the other product's log is Stowa2.log" exists "$app\\Stowa2.log"
  expect_eq "UnStowa.exe counted twice" 2 \
    "$(reg_value 'HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs' "$app\\UnStowa.exe" 32)"
  quiet_uninstall "Stowa Other" 32
  expect_eq "the other product removed: exit code" 0 "$code"
  expect_false "other.txt removed" exists "$app\\other.txt"
  expect_false "Stowa2.log removed" exists "$app\\Stowa2.log"
  expect_false "the other product's uninstall entry removed" key_exists \
    'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Stowa Other' 32
  expect_true "the demo's program stays" same_file "$(demo demo.exe)" "$app\\demo.exe"
  expect_true "the demo's log stays" exists "$app\\Stowa.log"
  expect_true "the shared uninstaller stays" same_file "$unstowa" "$app\\UnStowa.exe"
  expect_eq "UnStowa.exe counted once" 1 \
    "$(reg_value 'HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs' "$app\\UnStowa.exe" 32)"
  expect_eq "the demo's registry value stays" "$app" "$(reg_value 'HKLM\Software\Stowa Demo Works\Stowa Demo' InstallFolder 32)"
  # Then the demo, by the shared uninstaller.
  removed_clean "Stowa Demo" removed-shared "both installations"
fi

# ---------------------------------------------------------------- the setup's exit code

if only exitcode; then
  scenario="exit code passed on"
  run_front "$work/v1.exe" /silent
  expect_eq "version 1: exit code" 0 "$code"
  # The update cannot replace the running program: the setup asks for a
  # restart (3010, of which Wine passes on the low byte, 194), and so does
  # the front.
  rm -f "$work/ready" "$work/release"
  "$wine64" "$helpers/HoldOpen.exe" "$app\\demo.exe" "$(z_path "$work/ready")" "$(z_path "$work/release")" 60 none \
    </dev/null >"$work/hold.out" 2>&1 &
  hold_pid=$!
  for _ in $(seq 1 200); do [ -e "$work/ready" ] && break; sleep 0.05; done
  run_front "$work/v2.exe" /silent
  touch "$work/release"
  wait "$hold_pid" || true
  expect_eq "the front's exit code is the setup's 3010 (194 under Wine)" 194 "$code"
  expect_eq "nothing left in the temporary folder" "$temp_before" "$(temp_listing)"
fi

if [ -s "$work/reg-failures" ]; then
  scenario="reg.exe"
  fail "reg.exe failed" "$(cat "$work/reg-failures")"
fi
echo "$passed passed, $failed failed ($((SECONDS - start)) s)"
[ "$failed" -eq 0 ]
