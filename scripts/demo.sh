#!/usr/bin/env bash
# The main job: build the demo installer with the package builder, show
# what it holds, extract its files, then install it silently on a simulated
# machine and show where the files, the log and the uninstall entry went.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=OFF >/dev/null
ninja -C build/host pakbuild setup-host >/dev/null
pakbuild=build/host/tools/pakbuild
out=out/demo
rm -rf "$out"
mkdir -p "$out"
demo/make-files.sh
echo "== build"
"$pakbuild" build demo/demo.json "$out/setup.exe"
echo "== inspect (full JSON in $out/inspect.json)"
"$pakbuild" inspect "$out/setup.exe" > "$out/inspect.json"
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
"$pakbuild" extract "$out/setup.exe" --by-index "$out/extracted"
cmp demo/files/demo.exe "$out/extracted/4" && cmp demo/files/big.dat "$out/extracted/6"
echo "extracted files are byte-identical to their sources"

echo "== silent installation on a simulated machine (out/demo/machine)"
machine=$out/machine
rm -rf "$machine"
set +e
build/host/tools/setup-host --machine "$machine" "$out/setup.exe" /silent
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

echo "== silent installation under wine64 (out/demo/wine-prefix)"
cache=${STW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/stowa-build}
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# shellcheck source=scripts/lib-wine.sh
source "$top/scripts/lib-wine.sh"
cmake -S . -B build/win64 -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=ON \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64-w64-mingw32.cmake" >/dev/null
ninja -C build/win64 setup >/dev/null
make_wine_template
prefix=$top/$out/wine-prefix
rm -rf "$prefix" "$prefix.home"
cp -a --reflink=auto "$cache/wine-template" "$prefix"
xvfb_pid=""
(
  wine_session "$prefix"
  installer="Z:$(echo "$top/$out/setup.exe" | tr / '\\')"
  set +e
  "$wine64" build/win64/src/setup.exe "$installer" /silent </dev/null
  code=$?
  set -e
  [ $code -eq 0 ] || { echo "setup.exe failed with exit code $code" >&2; exit 1; }
  "$wineserver" -w
  app="$prefix/drive_c/Program Files/Stowa Demo"
  echo "files:"
  (cd "$app" && find . -type f | sort | sed 's|^\./|  C:\\Program Files\\Stowa Demo\\|; s|/|\\|g')
  echo "log: C:\\Program Files\\Stowa Demo\\Stowa.log ($(wc -l <"$app/Stowa.log") lines)"
  echo "uninstall entry:"
  "$wine64" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Stowa Demo' /reg:32 </dev/null |
    tr -d '\r' | sed 's/^/  /'
)

echo "== the wizard under wine64, worked by tests/wine/WizardDriver.exe (out/demo/shots)"
ninja -C build/win64 WizardDriver >/dev/null
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
  installer="Z:$(echo "$top/$out/setup.exe" | tr / '\\')"
  set +e
  "$wine64" build/win64/src/setup.exe "$installer" </dev/null >"$top/$out/wizard-setup.out" 2>&1 &
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
