#!/usr/bin/env bash
# The setup wizard in real windows under wine64: packages made by the host
# pakbuild are installed by build/win64/src/setup.exe without /silent, and
# tests/wine/WizardDriver.exe works the window from outside (clicks,
# typing, tree state icons, message boxes) and takes a screenshot of every
# page. Then the files and the registry of the prefix are checked.
#
#   scripts/wine-wizard.sh            # all scenarios, at 96 and at 144 dpi
#   WIZARD_ONLY=install,exit scripts/wine-wizard.sh
#
# The screenshots go to $STW_E2E_DIR/wizard/shots (default build/wine), as
# PNG files named <dpi>-<page>.png. Prints one line per check and
# "N passed, M failed"; non-zero when a check failed. scripts/test.sh runs
# it in its win64 stage after the silent end-to-end tests.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib-wine.sh
source "$root/scripts/lib-wine.sh"
wine_paths
work=$wine_dir/wizard
shots=${STW_SHOTS:-$work/shots}
prefix=""
driver=$win_build/tests/wine/WizardDriver.exe
pakbuild=$host_build/tools/pakbuild
only() { [ -z "${WIZARD_ONLY:-}" ] || [[ ",$WIZARD_ONLY," == *",$1,"* ]]; }

# shellcheck source=scripts/lib-checks.sh
source "$root/scripts/lib-checks.sh"
xvfb_pid=""

# ---------------------------------------------------------------- packages

# The demo product with its sources found from anywhere, edited by a jq
# filter: name, filter. The installer files carry the real front (setup.exe
# is still started on them directly, to drive it and read its exit code).
package() {
  jq --arg d "$root/demo/" '(.files[].source, .readme.source, .licence.source) |= ($d + .)
    | .finish.flags = 0 | '"$2" "$root/demo/demo.json" >"$work/$1.json"
  "$pakbuild" build "$work/$1.json" "$work/$1.exe" --front "$win_build/src/front/front.exe" >/dev/null
}

# The backdrop's picture: a 96 x 64 BMP of 24 bits, a yellow disc in a
# dark ring on magenta, the colour of its bottom-left pixel, which a
# transparent picture leaves out.
make_picture() {  # path
  python3 - "$1" <<'PY'
import struct, sys
w, h = 96, 64
rows = []
for y in range(h - 1, -1, -1):  # rows are stored from the bottom
    row = bytearray()
    for x in range(w):
        d = ((x - 48) ** 2 + (y - 32) ** 2) ** 0.5
        row += bytes((0x20, 0xD0, 0xF0) if d < 24 else (0x40, 0x20, 0x10) if d < 29 else (0xFF, 0x00, 0xFF))
    row += bytes(-len(row) % 4)
    rows.append(bytes(row))
data = b"".join(rows)
head = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
open(sys.argv[1], "wb").write(head + info + data)
PY
}

make_packages() {
  "$root/demo/make-files.sh" >/dev/null
  # Waits on the completion page.
  package licence '.finish.flags = 128'
  # Three optional components: A needs B; C stands alone.
  package chain 'del(.licence, .readme) | .components = [
      {name: "Program", description: "The program", folders: [{name: "%APPFOLDER%", items: [{file: "demo.exe"}]}]},
      {name: "Alpha", description: "Needs Beta", optional: true, selected: false, dependencies: [2],
       folders: [{name: "%APPFOLDER%", items: [{file: "notes.txt"}]}]},
      {name: "Beta", description: "Needed by Alpha", optional: true, selected: false,
       folders: [{name: "%APPFOLDER%", folders: [{name: "data", items: [{file: "big.dat"}]}], withItems: false}]},
      {name: "Gamma", description: "On its own", optional: true, selected: false,
       folders: [{name: "%APPFOLDER%", folders: [{name: "fonts", items: [{file: "demo-sans.ttf"}]}], withItems: false}]}]'
  # Two file types; the user type is the user's choice.
  package advanced 'del(.licence) | .fileTypes += [{install: true, description: "Stowa demo text",
      extension: ".stwtext", actions: [{verb: "Open", target: "demo.exe", parameters: "\"%1\""}]}]'
  # A portable installation beside the one on the disk, on any drive.
  package portable 'del(.licence) | .portable = {mode: 1, markerMode: 1, showAllDrives: 1, folder: "StowaDemo"}'
  package newer 'del(.licence) | .releaseDate = "2026-12-05" | .version = "1.1"'
  # For all users only, its program a recorder of who started it.
  package elevate 'del(.licence) | .userType = 1 | .finish.flags = 4
    | .files |= map(if .name == "demo.exe" then .source = "'"$win_build"'/tests/wine/StwWho.exe" else . end)'
  # The backdrop: dark blue (0x800000 is blue 0x80) down to black, the
  # picture transparent, both texts with shadows.
  make_picture "$work/backdrop.bmp"
  package backdrop 'del(.licence) | .background = {enabled: true,
      image: {name: "backdrop.bmp", source: "'"$work"'/backdrop.bmp"},
      topText: "Stowa Demo 1.0", bottomText: "Copyright 2026 Stowa Demo Works & Friends",
      topColor: 8388608, bottomColor: 0, topShadowColor: 0, bottomShadowColor: 0,
      imageTransparent: 1, topShadow: 1, bottomShadow: 1,
      topFont: {name: "Tahoma", color: 16777215, size: 28, style: 3},
      bottomFont: {name: "Tahoma", color: 12648447, size: 14, style: 0}}'
  # Needs the framework 4.8 (only a download address for it) and a
  # prerequisite whose installer (a recorder that takes its time) is
  # carried in the package; the file it writes is its installed-condition.
  package requirements '.finish.flags = 128 | del(.licence) | .dotNet = {versions: 32, level: 10,
      url: "https://example.invalid/dotnetfx.html"}
    | .prerequisites = [{lines: ["Stowa Test Runtime", "", "1", "", "StwRecord.exe",
        "--sleep 2500 C:\\stw-runtime.txt installed", "", "", "", "C:\\stw-runtime.txt"],
      installer: {name: "StwRecord.exe", source: "'"$win_build"'/tests/wine/StwRecord.exe"}}]'
}

# ---------------------------------------------------------------- one run

# Runs setup.exe on a package with a driver script (standard input) and
# keeps both exit codes: name, package, switches...
drive() {
  local name=$1 pkg=$2
  shift 2
  cat >"$work/$name.drv"
  local out=$work/$name.out
  set +e
  timeout 120 "$wine64" "${SETUP_PROGRAM:-$win_build/src/setup.exe}" "$(z_path "$work/$pkg.exe")" "$@" </dev/null >"$out.setup" 2>&1 &
  local setup_pid=$!
  timeout 110 "$wine64" "$driver" "$(z_path "$work/$name.drv")" "$(z_path "$shots/raw")" </dev/null >"$out" 2>&1
  driver_code=$?
  wait "$setup_pid"
  code=$?
  set -e
  if [ "$driver_code" -eq 0 ]; then
    pass "the driver's $(grep -c . "$work/$name.drv") steps"
  else
    fail "the driver's steps" "$(grep -v '^ ' "$out" | tail -5)" "setup: $(tail -3 "$out.setup")"
  fi
}

# The screenshots of the last run, as PNG files of the DPI's set.
collect_shots() {  # dpi
  local f
  for f in "$shots"/raw/*.bmp; do
    [ -e "$f" ] || continue
    convert "$f" "$shots/$1-$(basename "${f%.bmp}").png"
    rm -f "$f"
  done
}

new_prefix() {  # dpi
  if [ -n "$prefix" ] && [ -d "$prefix" ]; then WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true; fi
  prefix=$wine_dir/wizard-prefix-$1
  rm -rf "$prefix" "$prefix.home"
  cp -a --reflink=auto "$cache/wine-template" "$prefix"
  # The window's fonts (Tahoma and the others) are where Windows has them.
  cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
  wine_env "$prefix"
  "$wineserver" -p
  "$wine64" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f </dev/null >/dev/null 2>&1
  "$wine64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
  user=$(basename "$(find "$prefix/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1)")
}

app='C:\Program Files\Stowa Demo'

# ---------------------------------------------------------------- scenarios

scenarios() {  # dpi
  local dpi=$1
  if only install; then
    new_prefix "$dpi"
    scenario="$dpi dpi: install with a licence"
    drive install licence <<'EOF'
window
visible BtnInstall
visible LabelHint
shot start
alt BtnInstall r
visible MemoLicense
contains MemoLicense Stowa Demo
shot readme
click BtnBack
visible BtnInstall
click BtnInstall
visible BtnLicenseYes
caption BtnLicenseYes I &accept
contains MemoLicense licence
hidden BtnPrint
shot licence
click BtnLicenseYes
visible BtnDone
caption LabelDone Stowa Demo 1.0 has been installed.
shot done
click BtnDone
gone
EOF
    expect_eq "exit code" 0 "$code"
    expect_true "demo.exe is installed" same_file "$root/demo/files/demo.exe" "$app\\demo.exe"
    expect_true "big.dat is installed" same_file "$root/demo/files/big.dat" "$app\\data\\big.dat"
    expect_true "the log is written" exists "$app\\Stowa.log"
    expect_eq "the uninstall entry" "Stowa Demo 1.0" \
      "$(reg_value 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Stowa Demo' DisplayName 32)"
    collect_shots "$dpi"

    scenario="$dpi dpi: an update shows the earlier installation's notes"
    drive update newer <<'EOF'
window
caption LabelNote1 Stowa Demo 1.0 is installed on this computer.
caption LabelNote2 This setup installs a newer release.
shot update
click BtnExit
gone
EOF
    expect_eq "exit code (1602, its low byte)" 66 "$code"
    collect_shots "$dpi"
  fi

  if only components && [ "$dpi" = 96 ]; then
    new_prefix "$dpi"
    scenario="$dpi dpi: components with a dependency"
    drive components chain <<'EOF'
window
click BtnComponents
visible TreeComponents
tree-count TreeComponents 3
tree-text TreeComponents 0 Alpha
tree-state TreeComponents 0 1
tree-click TreeComponents 0
tree-state TreeComponents 0 2
tree-state TreeComponents 1 4
tree-state TreeComponents 2 1
contains LabelLicense Space needed
shot components
click BtnBack
visible BtnInstall
click BtnComponents
tree-state TreeComponents 0 1
tree-state TreeComponents 1 1
tree-select TreeComponents 2
key TreeComponents space
tree-state TreeComponents 2 2
caption MemoComponent On its own
tree-click TreeComponents 0
tree-state TreeComponents 1 4
click BtnProceed
gone
EOF
    expect_eq "exit code" 0 "$code"
    expect_true "Alpha's file" exists "$app\\notes.txt"
    expect_true "Beta's file, which Alpha needs" exists "$app\\data\\big.dat"
    expect_true "Gamma's file" exists "$app\\fonts\\demo-sans.ttf"
    collect_shots "$dpi"
  fi

  if only advanced; then
    new_prefix "$dpi"
    scenario="$dpi dpi: the advanced path"
    drive advanced advanced <<'EOF'
window
click BtnAdvanced
visible BtnUserCurrent
shot usertype
click BtnUserCurrent
visible EditRow1
focus EditRow1
shot folders
post-click BtnBrowse1
dialog
title Application folder
caption BtnOK OK
shot browse
type Edit C:\windows\system32\nothing
click BtnOK
main
caption EditRow1 C:\windows\system32\nothing
type EditRow1 Q:\Nowhere\Demo
post-click BtnProceed
box ok not valid
type EditRow1 C:\Custom\Demo
click BtnProceed
visible CheckType1
check CheckType1 1
shot filetypes
toggle CheckType2
check CheckType2 0
click BtnProceed
visible TreeComponents
visible CheckComponentsDetail
toggle CheckComponentsDetail
tree-children TreeComponents 0 4
shot detail
click BtnBack
visible CheckType1
click BtnProceed
visible TreeComponents
click BtnProceed
gone
EOF
    expect_eq "exit code" 0 "$code"
    expect_true "the program is in the folder typed" exists 'C:\Custom\Demo\demo.exe'
    expect_false "nothing in the user's default folder" exists "C:\\users\\$user\\AppData\\Local\\Stowa Demo\\demo.exe"
    expect_true "the chosen file type is registered for the user" \
      key_exists 'HKCU\Software\Classes\.stwdemo' 64
    expect_false "the unchecked one is not" key_exists 'HKCU\Software\Classes\.stwtext' 64
    collect_shots "$dpi"
  fi

  if only portable; then
    new_prefix "$dpi"
    scenario="$dpi dpi: a portable installation"
    drive portable portable <<'EOF'
window
caption BtnComponents &Portable
click BtnComponents
visible ListDrive
check CheckAllDrives 1
list-count ListDrive 2
list-text ListDrive 0 0 C:
caption EditFolder StowaDemo
type EditFolder Portable\Demo
shot portable
click BtnProceed
visible TreeComponents
click BtnProceed
gone
EOF
    expect_eq "exit code" 0 "$code"
    expect_true "the program is in the portable folder" same_file "$root/demo/files/demo.exe" 'C:\Portable\Demo\demo.exe'
    expect_true "the marker of a fixed drive" exists 'C:\Portable\Demo\RemovableDrive.sys'
    expect_false "no log" exists 'C:\Portable\Demo\Stowa.log'
    expect_false "no uninstall entry" key_exists 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Stowa Demo' 64
    expect_false "nothing on the disk's default folder" exists "$app\\demo.exe"
    collect_shots "$dpi"
  fi

  if only stopped; then
    new_prefix "$dpi"
    scenario="$dpi dpi: an error stops the installation"
    # A file where a folder of the product goes: the workers cannot make it.
    mkdir -p "$(unix_path "$app")"
    echo "in the way" >"$(unix_path "$app\\data")"
    drive stopped newer <<'EOF'
window
post-click BtnInstall
sleep 1500
shot error
box no could not be created
visible BtnDone
caption LabelDone The installation was stopped.
caption BtnDone OK
shot stopped
click BtnDone
gone
EOF
    expect_eq "exit code (1603, its low byte)" 67 "$code"
    expect_true "the file in the way is left alone" grep -q "in the way" "$(unix_path "$app\\data")"
    collect_shots "$dpi"
  fi

  if only background && [ "$dpi" = 96 ]; then
    new_prefix "$dpi"
    scenario="$dpi dpi: the backdrop behind the wizard"
    # The gradient's rows: band i of N = 768 / 4 = 192 has blue
    # (192 - i) x 0x80 / 192: row 2 (band 0) 0x80, row 384 (band 96) 0x40,
    # row 766 (band 191) 0; row 16 (band 4) 0x7D shows where the picture's
    # magenta is left out. The disc's centre is yellow.
    drive background backdrop <<'EOF'
window
visible BtnInstall
backdrop
screen
visible Image
bounds Image 16 16 96 64
caption LabelTop Stowa Demo 1.0
visible LabelTopShadow
caption LabelBottom Copyright 2026 Stowa Demo Works & Friends
visible LabelBottomShadow
front
pixel 2 2 0x000080
pixel 2 384 0x000040
pixel 2 766 0x000000
pixel 16 16 0x00007D
pixel 64 48 0xF0D020
mouse 20 700
sleep 300
front
shot backdrop
main
click BtnExit
gone
nobackdrop
EOF
    expect_eq "exit code (1602, its low byte)" 66 "$code"
    collect_shots "$dpi"
  fi

  if only requirements && [ "$dpi" = 96 ]; then
    new_prefix "$dpi"
    scenario="$dpi dpi: the framework and a prerequisite before the installation"
    # The framework's values go where a 32-bit program reads them.
    local ndp='HKLM\Software\Microsoft\NET Framework Setup\NDP\v4\Client'
    drive requirements requirements <<EOF
window
click BtnInstall
visible LabelDone
caption LabelDone This product needs the Microsoft .NET Framework 4.8, which is not installed on this computer.
caption LabelReboot You can download it from this address:
caption Label3rdPartyURL https://example.invalid/dotnetfx.html
visible BtnProceed
visible BtnAbort
hidden BtnBack
shot dotnet
click BtnProceed
sleep 300
visible LabelDone
caption LabelDone This product needs the Microsoft .NET Framework 4.8, which is not installed on this computer.
run reg.exe add "$ndp" /v Install /t REG_DWORD /d 1 /f /reg:32
run reg.exe add "$ndp" /v Release /t REG_DWORD /d 528040 /f /reg:32
click BtnProceed
caption LabelDone This product needs Stowa Test Runtime, which is not installed on this computer.
caption LabelReboot Its installer is running. Press Next when it has finished.
hidden Label3rdPartyURL
shot prerequisite
timeout 30000
visible BtnDone
caption LabelDone Stowa Demo 1.0 has been installed.
timeout
click BtnDone
gone
EOF
    expect_eq "exit code" 0 "$code"
    expect_true "the prerequisite's installer ran" grep -q installed "$(unix_path 'C:\stw-runtime.txt')"
    expect_true "demo.exe is installed after both" same_file "$root/demo/files/demo.exe" "$app\\demo.exe"
    collect_shots "$dpi"
  fi

  if only print && [ "$dpi" = 96 ]; then
    new_prefix "$dpi"
    scenario="$dpi dpi: printing the licence"
    # A PostScript printer whose port is a file of this machine: what the
    # setup prints lands there, and its glyphs spell the printed lines.
    local printed=$work/printed.ps
    rm -f "$printed"
    printf 'add-printer %s\n' "$printed" >"$work/printer.drv"
    expect_true "a printer is installed" "$wine64" "$driver" "$(z_path "$work/printer.drv")"
    drive print licence <<'EOF'
window
click BtnInstall
visible BtnLicenseYes
visible BtnPrint
caption BtnPrint &Print
shot print
click BtnPrint
click BtnLicenseNo
gone
EOF
    expect_eq "exit code (1602, its low byte)" 66 "$code"
    expect_true "the licence's first line is printed" grep -qF "$(head -n1 "$root/demo/files/licence.txt")" \
      <(python3 "$root/tests/e2e/ps_text.py" "$printed")
    expect_true "the job is titled by the window's caption and an empty title" \
      grep -qa "^%%Title: Stowa Demo Works Stowa Demo 1.0 Setup - .\?$" "$printed"
    collect_shots "$dpi"
  fi

  if only elevation && [ "$dpi" = 96 ]; then
    scenario="$dpi dpi: the elevated copy installs, the first starts the program"
    new_prefix "$dpi"
    who=$work/elevate-who.txt
    rm -f "$who"
    # setup-limited.exe: an administrator without elevation, so the
    # installation for all users asks for the rights; the copy it starts
    # replays the Install button, installs and hands the program back.
    export STW_WHO_LOG
    STW_WHO_LOG=$(z_path "$who")
    SETUP_PROGRAM=$win_build/tests/wine/setup-limited.exe drive elevate elevate /noadmin <<'EOF'
window
visible BtnInstall
shot elevate-start
click BtnInstall
gone
EOF
    expect_eq "exit code: the child's" 0 "$code"
    expect_true "the elevated copy installed demo.exe" same_file "$win_build/tests/wine/StwWho.exe" "$app\\demo.exe"
    # Started, not waited for: it may write a moment after the setup ended.
    wait_for_line "$who" "instance=first args=" 10 || true
    expect_eq "the finished program was started once, by the first instance" "instance=first args=" "$(lines_of "$who")"
    unset STW_WHO_LOG
    expect_eq "the handshake: the child finished" 42 \
      "$(reg_value 'HKLM\Software\Orvane\Carrovit' Result 32)"
    expect_eq "the program's path was taken by the first instance" "<missing>" \
      "$(reg_value 'HKLM\Software\Orvane\Carrovit' FinishedExe 32)"
    collect_shots "$dpi"
  fi

  if only exit; then
    scenario="$dpi dpi: exit without installing"
    new_prefix "$dpi"
    drive exit licence <<'EOF'
window
sysmenu 1
box ok Pakvestor
click BtnExit
gone
EOF
    expect_eq "exit code (1602, its low byte)" 66 "$code"
    expect_false "nothing installed" exists "$app\\demo.exe"
  fi
}

# ---------------------------------------------------------------- set-up

trap stop_all EXIT
start=$SECONDS
build_tools setup front WizardDriver StwRecord StwWho setup-limited
make_wine_template
rm -rf "$work"
mkdir -p "$work" "$shots/raw"
rm -f "$work/reg-failures"
start_xvfb >/dev/null
make_packages
for dpi in 96 144; do
  echo "at $dpi dpi, display $DISPLAY"
  scenarios "$dpi"
done

scenario="registry queries"
if [ -s "$work/reg-failures" ]; then
  fail "every reg query answered" "$(cat "$work/reg-failures")"
fi
echo "screenshots: $shots"
echo "($((SECONDS - start)) s)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
