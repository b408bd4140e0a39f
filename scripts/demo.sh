#!/usr/bin/env bash
# The main job: build the demo installer with the package builder (the
# installer front, then the package with the product and its uninstaller),
# show what it holds, extract its files, install it silently on a simulated
# machine, then live the product's whole life under wine64: the installer
# file started by itself, an update, the removal by the command of its
# uninstall entry (showing what is left), and the wizard.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=OFF >/dev/null
ninja -C build/host pakbuild setup-host >/dev/null
# The Windows programs: the setup, the front that carries it, the
# uninstaller. 64-bit, to run under wine64 here; a publisher ships the
# 32-bit release build (build/win32, same targets).
cmake -S . -B build/win64 -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=ON \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64-w64-mingw32.cmake" >/dev/null
ninja -C build/win64 setup front unstowa WizardDriver >/dev/null
pakbuild=build/host/tools/pakbuild
front=build/win64/src/front/front.exe
out=out/demo
rm -rf "$out"
mkdir -p "$out"
demo/make-files.sh
cp -f build/win64/src/uninstaller/UnStowa32.exe demo/files/UnStowa32.exe
installer=$out/stowa-demo-1.0.exe
echo "== build"
"$pakbuild" build demo/demo.json "$installer" --front "$front"
# Version 2.0 of the product, for the update: a newer program.
head -c 300000 /usr/bin/cmake | tail -c 150000 >"$out/demo-2.exe"
jq --arg d "$top/demo/" --arg e "$top/$out/demo-2.exe" \
  '(.files[].source, .readme.source, .licence.source) |= ($d + .) | .version = "2.0"
   | (.files[] | select(.name == "demo.exe")) |= (.source = $e | .version = "2.0.0.0")' demo/demo.json >"$out/demo-2.json"
"$pakbuild" build "$out/demo-2.json" "$out/stowa-demo-2.0.exe" --front "$front" >/dev/null
echo "== inspect (full JSON in $out/inspect.json)"
"$pakbuild" inspect "$installer" > "$out/inspect.json"
python3 - "$out/inspect.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
print(f"{d['AppName']}, released {d['ReleaseDateText']}, user type {d['UserType']}")
t = len(d['TempFileNames'])
print("support files:", ", ".join(d['TempFileNames']))
def walk(folder, path, out):
    for f in folder.get('Folders', []):
        p = f['Name'] if not path else path + '\\' + f['Name']
        for e in f['Files']:
            out.append((p, e['DataIndex']))
        walk(f, p, out)
for c in d['Components']:
    flags = ("optional" if c['Optional'] else "required") + (", selected" if c['Selected'] else "")
    print(f"component {c['Name']} ({flags}): {c['Description']}")
    files = []
    walk(c['RootFolder'], '', files)
    for folder, i in files:
        name = d['PackageFileNames'][i - t]
        print(f"  {folder}\\{name}: {d['FileSizes'][i]} bytes, {d['FileStoredSizes'][i]} stored, "
              f"CRC {d['FileChecksums'][i]}")
print("file types:", ", ".join(x['DisplayText'] for x in d['FileTypes']))
PY
echo "== extract"
"$pakbuild" extract "$installer" --by-index "$out/extracted"
cmp demo/files/demo.exe "$out/extracted/4" && cmp demo/files/big.dat "$out/extracted/6"
echo "extracted files are byte-identical to their sources"

echo "== silent installation on a simulated machine (out/demo/machine)"
machine=$out/machine
rm -rf "$machine"
set +e
build/host/tools/setup-host --machine "$machine" "$installer" /silent
code=$?
set -e
[ $code -eq 0 ] || { echo "setup-host failed with exit code $code" >&2; exit 1; }
app="$machine/C/Program Files/Stowa Demo"
echo "files:"
(cd "$app" && find . -type f | sort | sed 's|^\./|  C:\\Program Files\\Stowa Demo\\|; s|/|\\|g')
echo "log (C:\\Program Files\\Stowa Demo\\Stowa.log):"
sed 's/\r$//; s/^/  /' "$app/Stowa.log"
echo "uninstall entry (HKLM, 32-bit view: $machine/registry.txt):"
awk '/Uninstall\\Stowa Demo$/ {on=1; next} /^key/ {on=0} on {print "  " $0}' "$machine/registry.txt"

echo "== the product's life under wine64 (out/demo/wine-prefix)"
cache=${STW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/stowa-build}
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# shellcheck source=scripts/lib-wine.sh
source "$top/scripts/lib-wine.sh"
# shellcheck source=scripts/lib-checks.sh
source "$top/scripts/lib-checks.sh"
# shellcheck source=scripts/lib-state.sh
source "$top/scripts/lib-state.sh"
make_wine_template
prefix=$top/$out/wine-prefix
work=$top/$out/life
rm -rf "$prefix" "$prefix.home" "$work"
mkdir -p "$work"
cp -a --reflink=auto "$cache/wine-template" "$prefix"
xvfb_pid=""
(
  wine_session "$prefix"
  serve
  snapshot before
  app="C:\\Program Files\\Stowa Demo"
  key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Stowa Demo'
  run() {  # what, program, arguments...
    set +e
    "$wine64" "${@:2}" </dev/null >"$work/run.out" 2>&1
    local c=$?
    set -e
    settle
    echo "$1: exit code $c"
    [ $c -eq 0 ] || { echo "$1 failed" >&2; exit 1; }
  }
  run "stowa-demo-1.0.exe /silent (the installer file by itself)" "Z:$(echo "$top/$installer" | tr / '\\')" /silent
  echo "files:"
  (cd "$(unix_path "$app")" && find . -type f | sort | sed 's|^\./|  C:\\Program Files\\Stowa Demo\\|; s|/|\\|g')
  echo "log: C:\\Program Files\\Stowa Demo\\Stowa.log ($(wc -l <"$(unix_path "$app\\Stowa.log")") lines)"
  echo "uninstall entry:"
  "$wine64" reg query "$key" /reg:32 </dev/null | tr -d '\r' | grep -v '^$' | sed 's/^/  /'
  run "stowa-demo-2.0.exe /silent (the update)" "Z:$(echo "$top/$out/stowa-demo-2.0.exe" | tr / '\\')" /silent
  echo "DisplayVersion now $(reg_value "$key" DisplayVersion 32); demo.exe is version 2's: $(same_file "$top/$out/demo-2.exe" "$app\\demo.exe" && echo yes || echo no)"
  echo "QuietUninstallString: $(reg_value "$key" QuietUninstallString 32)"
  quiet_uninstall "Stowa Demo" 32
  echo "the uninstaller: exit code $code"
  [ "$code" -eq 0 ] || { echo "the uninstaller failed" >&2; exit 1; }
  restart
  snapshot after
  left=$(state_diff before after)
  # The font is the one thing that stays on purpose: fonts are installed
  # for every program of the system and are not logged.
  rest=$(grep -v -e 'Fonts/demo-sans.ttf' -e 'CurrentVersion\\\\Fonts\] "StowaDemo Sans' <<<"$left" || true)
  echo "left behind ($(wc -l <"$work/before.files") files and folders, $(wc -l <"$work/before.reg") registry keys and values compared):"
  if [ -z "$left" ]; then echo "  nothing"; else sed 's/^/  /' <<<"$left"; fi
  [ -z "$rest" ] || { echo "more than the font was left behind" >&2; exit 1; }
)

echo "== the wizard under wine64, worked by tests/wine/WizardDriver.exe (out/demo/shots)"
prefix=$top/$out/wizard-prefix
shots=$top/$out/shots
rm -rf "$prefix" "$prefix.home" "$shots"
mkdir -p "$shots"
cp -a --reflink=auto "$cache/wine-template" "$prefix"
# The window's fonts (Tahoma and the others) where Windows has them.
cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
cat >"$top/$out/wizard.drv" <<'DRV'
window
shot start
click BtnComponents
visible TreeComponents
shot components
click BtnProceed
visible BtnLicenseYes
shot licence
click BtnLicenseYes
gone
DRV
xvfb_pid=""
(
  wine_session "$prefix"
  set +e
  "$wine64" "Z:$(echo "$top/$installer" | tr / '\\')" </dev/null >"$top/$out/wizard-setup.out" 2>&1 &
  setup_pid=$!
  "$wine64" build/win64/tests/wine/WizardDriver.exe "Z:$(echo "$top/$out/wizard.drv" | tr / '\\')" \
    "Z:$(echo "$shots" | tr / '\\')" </dev/null | grep -v '^ '
  driver=$?
  wait $setup_pid
  code=$?
  set -e
  [ "$driver" -eq 0 ] && [ "$code" -eq 0 ] || { echo "the wizard run failed (driver $driver, setup $code)" >&2; exit 1; }
  echo "installed through the wizard: $(find "$prefix/drive_c/Program Files/Stowa Demo" -type f | wc -l) files"
)
for f in "$shots"/*.bmp; do convert "$f" "${f%.bmp}.png" && rm "$f"; done
# The README's pictures: the start page and the components page, small.
mkdir -p "$top/docs"
convert "$shots/start.png" -resize 75% "$top/docs/wizard-start.png"
convert "$shots/components.png" -resize 75% "$top/docs/wizard-components.png"
echo "screenshots: $(cd "$shots" && ls *.png | tr '\n' ' ')"
