#!/usr/bin/env bash
# Start-up benchmark of the wizard: how long from the program's start until
# the start page is ready, for a package of 10,000 files.
#
#   bash bench/startup.sh          (from the repository root; RUNS=10 by default)
#
# 1. writes 10,000 small files (1 to 4 KiB of text) in 100 folders of 5
#    components, a readme and a licence, and builds build/bench-startup/
#    startup.exe with pakbuild;
# 2. times, as whole processes (farm-bench, pair by pair), `setup-host
#    --start-page`, which opens the package, reads the whole definition,
#    extracts readme and licence, runs the start-up sequence and builds the
#    setup window's start page headless, then exits; against `pakbuild
#    inspect`, which reads the same definition and prints it as JSON, as
#    the yardstick of the reading alone;
# 3. prints the median and its share of the 300 ms goal.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
HOST=$ROOT/build/host
WORK=$ROOT/build/bench-startup
RUNS=${RUNS:-10}

if [ ! -x "$HOST/tools/pakbuild" ] || [ ! -x "$HOST/tools/setup-host" ]; then
  cmake -S . -B "$HOST" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$HOST" pakbuild setup-host >/dev/null

rm -rf "$WORK"
mkdir -p "$WORK/files"
python3 - "$WORK" <<'PY'
import json, os, random, sys
work = sys.argv[1]
random.seed(7)
words = "setup wizard package folder component licence readme install file window".split()
files = [{"name": n, "source": "files/" + n} for n in ("UnStowa32.exe", "UnStowaXP.exe")]
for n in ("UnStowa32.exe", "UnStowaXP.exe"):
    open(os.path.join(work, "files", n), "wb").write(os.urandom(4096))
components = []
for c in range(5):
    folders = []
    for f in range(20):
        items = []
        for i in range(100):
            name = f"c{c}f{f:02d}i{i:03d}.txt"
            text = " ".join(random.choice(words) for _ in range(random.randint(150, 600)))
            open(os.path.join(work, "files", name), "w").write(text)
            files.append({"name": name, "source": "files/" + name})
            items.append({"file": name})
        folders.append({"name": f"folder{f:02d}", "items": items})
    components.append({"name": f"Component {c}", "description": f"Part {c} of the benchmark product",
                       "optional": c > 0, "selected": True,
                       "folders": [{"name": "%APPFOLDER%", "folders": folders, "withItems": False}]})
open(os.path.join(work, "files", "readme.txt"), "w").write("Readme of the start-up benchmark.\n" * 50)
open(os.path.join(work, "files", "licence.txt"), "w").write("Licence of the start-up benchmark.\n" * 50)
manifest = {
    "publisher": "Bench Works", "productKey": "Startup Bench", "version": "1.0", "releaseDate": "2026-12-07",
    "welcomeLine": "10,000 files.", "userType": 3,
    "readme": {"name": "readme.txt", "source": "files/readme.txt"},
    "licence": {"name": "licence.txt", "source": "files/licence.txt"},
    "folders": {"APPFOLDER": ["%PROGRAMFILES%\\Startup Bench", "%LOCALAPPDATAROOT%\\Startup Bench"]},
    "files": files, "components": components,
}
json.dump(manifest, open(os.path.join(work, "startup.json"), "w"))
PY
# setup-host reads it: the placeholder front, as no Windows program runs here.
"$HOST/tools/pakbuild" build "$WORK/startup.json" "$WORK/startup.exe" --placeholder-front >/dev/null
count=$("$HOST/tools/pakbuild" inspect "$WORK/startup.exe" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["PackageFileNames"]))')
echo "package: $count files, $(du -k "$WORK/startup.exe" | cut -f1) KiB"

# The program's own figure, for the record.
"$HOST/tools/setup-host" --machine "$WORK/machine" "$WORK/startup.exe" --start-page
farm-bench -n "$RUNS" --timeout 300 \
  --vs "sh -c 'exec $HOST/tools/pakbuild inspect $WORK/startup.exe >/dev/null'" \
  -- "$HOST/tools/setup-host" --machine "$WORK/machine" "$WORK/startup.exe" --start-page | tee "$WORK/result.txt"

# 4. Under wine64 (when the Windows build is there): from the start of
#    setup.exe until its window is on screen, found by the test driver that
#    starts beside it; against the same for DriverTarget.exe, a plain
#    window of the same class, as the yardstick of Wine's own start of a
#    windowed program. Alternating, RUNS times each; medians.
WIN=$ROOT/build/win64
if [ -x "$WIN/src/setup.exe" ] && [ -f "$WIN/tests/wine/WizardDriver.exe" ] && command -v Xvfb >/dev/null; then
  cache=${STW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/stowa-build}
  wine64=/usr/lib/wine/wine64
  wineserver=/usr/lib/wine/wineserver
  # shellcheck source=scripts/lib-wine.sh
  source "$ROOT/scripts/lib-wine.sh"
  make_wine_template
  prefix=$WORK/wine-prefix
  rm -rf "$prefix" "$prefix.home"
  cp -a --reflink=auto "$cache/wine-template" "$prefix"
  cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  printf 'window\n' >"$WORK/window.drv"
  printf 'window\nclick BtnExit\ngone\n' >"$WORK/exit.drv"
  xvfb_pid=""
  (
    wine_session "$prefix"
    "$wineserver" -p
    "$wine64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
    drv() { "$wine64" "$WIN/tests/wine/WizardDriver.exe" "$(echo "$1" | tr / '\\')" >/dev/null 2>&1 </dev/null; }
    ms() { echo $((($(date +%s%N) - $1) / 1000000)); }
    setup=() target=()
    for _ in $(seq 1 "$RUNS"); do
      t=$(date +%s%N)
      "$wine64" "$WIN/src/setup.exe" "Z:$(echo "$WORK/startup.exe" | tr / '\\')" </dev/null >/dev/null 2>&1 &
      pid=$!
      drv "Z:$WORK/window.drv"
      setup+=("$(ms "$t")")
      drv "Z:$WORK/exit.drv"
      wait "$pid" || true
      t=$(date +%s%N)
      "$wine64" "$WIN/tests/wine/DriverTarget.exe" </dev/null >/dev/null 2>&1 &
      pid=$!
      drv "Z:$WORK/window.drv"
      target+=("$(ms "$t")")
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    done
    median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
    s=$(median "${setup[@]}")
    d=$(median "${target[@]}")
    echo "wine64: setup.exe window after ${s} ms (median of ${setup[*]})"
    echo "wine64: a plain window after ${d} ms (median of ${target[*]})"
    echo "wine64: ratio $(awk -v a="$s" -v b="$d" 'BEGIN {printf "%.2f", a / b}'), $(awk -v a="$s" 'BEGIN {printf "%.2f", a / 300}')x the 300 ms goal"
  ) | tee -a "$WORK/result.txt"
fi
