#!/usr/bin/env bash
# Install benchmark under wine64, the setup against a peer installer.
#
#   bash bench/wine.sh                 (from anywhere; REPEATS=3 by default)
#   PAYLOAD_EVERY=4 bash bench/wine.sh (every 4th file of the payload only)
#   PAYLOAD_GROUP=gz-man bash bench/wine.sh (one group of bench/payload.py's:
#                                      1,174 small files, 984 in one folder)
#
# 1. payload: bench/payload.py's (build/h-wine/bench/payload, hard links),
#    or every PAYLOAD_EVERY-th file of it, or of its group PAYLOAD_GROUP;
# 2. ours: the package written by the host pakbuild from the same manifest
#    bench/run.sh uses (preset 6, 8 MiB dictionary), installed by the win64
#    setup.exe with `setup.exe <package> /silent` (the package has the
#    placeholder front: setup.exe is named the file, as the front would);
# 3. the peer: the same tree packed by NSIS's makensis (amd64-unicode,
#    `SetCompressor lzma`, 8 MiB dictionary, solid and not solid; an
#    uninstaller and an uninstall entry written, like ours), installed with
#    `/S` into the same folder, C:\Program Files\Stowa Bench;
# 4. each install starts from the same prefix state (a copy of the template
#    prefix made once; before each run the Wine server is stopped, the
#    registry files are put back and every path the run before added is
#    deleted, then `sync` and SETTLE seconds for ext4 to stop passing over
#    the freed inodes, see bench/README.md), with a fresh persistent
#    wineserver; runs alternate (ours, solid, plain; the order rotates each
#    round), REPEATS rounds; wall time from the start to the end of the
#    wine64 process, its CPU share, and the wineserver's CPU seconds;
# 5. the ideal pool time: bench/pakdecode.cpp built for win64 decodes every
#    range of the same package in memory, one thread, under wine64
#    (DECODE_REPEATS passes, median), divided by the workers (the
#    processors, as the setup uses);
#    the floor of the file system: bench/writefloor.cpp, in every round like
#    an installer, writes the payload's files (read into memory first, not
#    timed) with as many threads as workers, two ways: straight under their
#    names (direct: the fewest calls) and with the setup's calls (staged:
#    temporary file, rename through the handle), its process and wineserver
#    CPU seconds measured over the writing alone; the floor is the faster;
#    the bound: what no installer can beat on these cores with these calls,
#    the longest of the ideal pool time, the floor's wall time, and decode
#    CPU + floor CPU (process and wineserver) spread over every core;
# 6. one more run of ours and of the faster peer under `strace -f -c` (the
#    wine64 process and, attached, its wineserver): system calls per
#    installed file;
# 7. every installed file of the last round is compared with the payload.
# With BASE_SETUP=path/to/another/setup.exe, that build runs in every round
# too ("base", with the same package), for a before-and-after in one run.
# Prints the figures; exit status non-zero when an install failed or a file
# differs. Builds what it needs in build/h-wine (STW_WIN64_BUILD and
# STW_HOST_BUILD move the builds; STW_WINE_BENCH the work folder).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
: "${STW_WIN64_BUILD:=$root/build/h-wine/win64}"
: "${STW_HOST_BUILD:=$root/build/h-wine/host}"
# shellcheck source=scripts/lib-wine.sh
source "$root/scripts/lib-wine.sh"
wine_paths
WORK=${STW_WINE_BENCH:-$root/build/h-wine/bench}
REPEATS=${REPEATS:-3}
DECODE_REPEATS=${DECODE_REPEATS:-3}
SETTLE=${SETTLE:-35}
EVERY=${PAYLOAD_EVERY:-1}
GROUP=${PAYLOAD_GROUP:-}
WORKERS=$(nproc)
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)

missing=()
command -v makensis >/dev/null || missing+=(nsis)
command -v strace >/dev/null || missing+=(strace)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

# ---------------------------------------------------------------- builds
if [ ! -f "$win_build/build.ninja" ]; then
  cmake -S "$root" -B "$win_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" >/dev/null
fi
nice -n 10 ninja -C "$win_build" -j2 setup >/dev/null
if [ ! -f "$host_build/build.ninja" ]; then
  cmake -S "$root" -B "$host_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=OFF >/dev/null
fi
nice -n 10 ninja -C "$host_build" -j2 pakbuild >/dev/null
pakbuild=$host_build/tools/pakbuild
setup_exe=$win_build/src/setup.exe
# The decoder of the ideal time, for Windows (static, no DLL but the
# system's) and for the host (for comparison).
lzma_win=$cache/lzma-x86_64-w64-mingw32
if [ ! -x "$WORK/pakdecode.exe" ] || [ bench/pakdecode.cpp -nt "$WORK/pakdecode.exe" ]; then
  nice -n 10 x86_64-w64-mingw32-g++-posix -O2 -std=c++20 -DLZMA_API_STATIC -I"$lzma_win/include" -static \
    -o "$WORK/pakdecode.exe" bench/pakdecode.cpp "$lzma_win/lib/liblzma.a"
fi
if [ ! -x "$WORK/writefloor.exe" ] || [ bench/writefloor.cpp -nt "$WORK/writefloor.exe" ]; then
  nice -n 10 x86_64-w64-mingw32-g++-posix -O2 -std=c++20 -municode -static -o "$WORK/writefloor.exe" bench/writefloor.cpp
fi
if [ ! -x "$WORK/pakdecode" ] || [ bench/pakdecode.cpp -nt "$WORK/pakdecode" ]; then
  nice -n 10 g++ -O2 -std=c++20 -o "$WORK/pakdecode" bench/pakdecode.cpp -llzma
fi

# ---------------------------------------------------------------- payload and packages
read -r FILES BYTES < <(python3 bench/payload.py "$WORK" 2>/dev/null)
D=$WORK
if [ "$EVERY" -gt 1 ] || [ -n "$GROUP" ]; then
  # Every EVERY-th file of the payload or of its group GROUP (in
  # payload.list order, so every group keeps its share), hard-linked into
  # a tree of its own for NSIS, with a manifest like payload.py's.
  D=$WORK/every-$EVERY${GROUP:+-$GROUP}
  read -r FILES BYTES < <(python3 - "$WORK" "$D" "$EVERY" "$GROUP" <<'EOF'
import json, os, shutil, sys
work, out, every, group = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
full = json.load(open(os.path.join(work, "bench.json")))
rels = [r for r in open(os.path.join(work, "payload.list")).read().splitlines()
        if not group or r.startswith(group + "/")][::every]
if os.path.exists(os.path.join(out, "payload")):
    shutil.rmtree(os.path.join(out, "payload"))
files, tree, size = [], {"folders": {}, "items": []}, 0
for rel in rels:
    src, dst = os.path.join(work, "payload", rel), os.path.join(out, "payload", rel)
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    os.link(src, dst)
    size += os.path.getsize(dst)
    files.append({"name": rel.rsplit("/", 1)[-1], "source": dst})
    node = tree
    for part in rel.split("/")[:-1]:
        node = node["folders"].setdefault(part, {"folders": {}, "items": []})
    node["items"].append({"file": len(files) - 1})
files += [f for f in full["files"] if f["name"] in ("UnStowa32.exe", "UnStowaXP.exe")]
def folder(name, node):
    return {"name": name, "folders": [folder(n, node["folders"][n]) for n in sorted(node["folders"])],
            "items": node["items"]}
full["files"] = files
full["components"][0]["folders"] = [folder("%APPFOLDER%", tree)]
text = json.dumps(full, indent=1)
path = os.path.join(out, "bench.json")
if not os.path.exists(path) or open(path).read() != text:
    open(path, "w").write(text)
open(os.path.join(out, "payload.list"), "w").write("".join(r + "\n" for r in rels))
print(len(rels), size)
EOF
)
fi

build_log=$WORK/build.log
: >"$build_log"
# Ours: rebuilt when the manifest changed (payload.py keeps an unchanged
# manifest's date); `rm $D/bench.exe` to force it.
if [ ! -f "$D/bench.exe" ] || [ "$D/bench.json" -nt "$D/bench.exe" ]; then
  (
    s=$(date +%s)
    nice -n 10 "$pakbuild" build "$D/bench.json" "$D/bench.exe.tmp" --placeholder-front >>"$build_log" 2>&1
    mv "$D/bench.exe.tmp" "$D/bench.exe"
    echo "ours: package built in $(($(date +%s) - s)) s" >>"$build_log"
  ) &
fi
# The peer, solid and not: rebuilt when the script or the file list changed.
for v in solid plain; do
  if [ $v = solid ]; then compressor='SetCompressor /SOLID lzma'; else compressor='SetCompressor lzma'; fi
  cat >"$D/peer-$v.nsi.new" <<EOF
; The benchmark payload as an NSIS installer (written by bench/wine.sh).
Unicode true
Target amd64-unicode
$compressor
SetCompressorDictSize 8
Name "Stowa Bench Peer"
OutFile "peer-$v.exe"
InstallDir "\$PROGRAMFILES64\\Stowa Bench"
RequestExecutionLevel admin
ShowInstDetails nevershow
AutoCloseWindow true
Section
  SetOutPath "\$INSTDIR"
  File /r "$D/payload/*"
  WriteUninstaller "\$INSTDIR\\uninstall.exe"
  SetRegView 64
  WriteRegStr HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Stowa Bench Peer" "DisplayName" "Stowa Bench Peer"
  WriteRegStr HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Stowa Bench Peer" "UninstallString" '"\$INSTDIR\\uninstall.exe"'
SectionEnd
Section Uninstall
  SetRegView 64
  DeleteRegKey HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Stowa Bench Peer"
  RMDir /r "\$INSTDIR"
SectionEnd
EOF
  mv "$D/peer-$v.nsi.new" "$D/peer-$v.nsi"
  stamp=$(cat "$D/payload.list" "$D/peer-$v.nsi" | sha1sum | cut -c1-40)
  if [ ! -f "$D/peer-$v.exe" ] || [ "$(cat "$D/peer-$v.stamp" 2>/dev/null)" != "$stamp" ]; then
    (
      s=$(date +%s)
      rm -f "$D/peer-$v.exe" "$D/peer-$v.stamp"
      (cd "$D" && nice -n 10 makensis -V2 "peer-$v.nsi") >>"$build_log" 2>&1
      echo "$stamp" >"$D/peer-$v.stamp"
      echo "peer ($v): installer built in $(($(date +%s) - s)) s" >>"$build_log"
    ) &
  fi
done
wait
cat "$build_log" >&2
for f in bench.exe peer-solid.exe peer-plain.exe; do
  [ -f "$D/$f" ] || { echo "$D/$f was not built" >&2; exit 1; }
done
PKG=$(stat -c %s "$D/bench.exe")
# The ranges of the package's file data, for the ideal time.
if [ ! -f "$D/ranges.txt" ] || [ "$D/bench.exe" -nt "$D/ranges.txt" ]; then
  "$pakbuild" inspect "$D/bench.exe" | jq -r '.LzmaProperties,
    ([.FileOffsets, .FileStoredSizes, .FileSizes, .FileChecksums] | transpose[]
     | select(.[0] >= 0 and .[0] < 9000000000000000000) | map(tostring) | join(" "))' >"$D/ranges.txt.new"
  mv "$D/ranges.txt.new" "$D/ranges.txt"
fi

# ---------------------------------------------------------------- the prefix
prefix=$WORK/prefix
make_wine_template
if [ -d "$prefix" ]; then WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true; fi
rm -rf "$prefix" "$prefix.home"
cp -a --reflink=auto "$cache/wine-template" "$prefix"
wine_env "$prefix"
xvfb_pid=""
trap '"$wineserver" -k >/dev/null 2>&1 || true; [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true' EXIT
start_xvfb >/dev/null
serve() {
  "$wineserver" -p 2>/dev/null || true
  "$wine64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
  # This prefix's server: the one whose environment names it.
  wspid=""
  local p
  for p in $(pgrep -f '^/usr/lib/wine/wineserver' || true); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then wspid=$p; fi
  done
}
z_path() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }  # a Linux path as Wine's Z: drive shows it
cpu_of() {  # pid: user + system seconds so far
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat" 2>/dev/null || echo 0
}
serve
"$wineserver" -k
"$wineserver" -w
mkdir -p "$WORK/base"
cp "$prefix"/*.reg "$WORK/base/"
listing() { (cd "$prefix" && find . -mindepth 1 | LC_ALL=C sort); }
listing >"$WORK/base.list"
app=$prefix/drive_c/Program\ Files/Stowa\ Bench

# The prefix as it was before the first run: the registry files back,
# whatever a run added deleted; then the wait for ext4 and a new server.
reset_prefix() {
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w
  cp "$WORK/base/"*.reg "$prefix/"
  local added
  added=$(listing | LC_ALL=C comm -13 "$WORK/base.list" -)
  if [ -n "$added" ]; then
    (cd "$prefix" && printf '%s\n' "$added" | tr '\n' '\0' | xargs -0 rm -rf)
    sync
    sleep "$SETTLE"
  fi
  serve
}

# ---------------------------------------------------------------- the runs
declare -A WALLS CPUS SERVER
declare -A FLOOR_CPU
FAILED=0
# The floor: the writing timed by the program itself, the wineserver's CPU
# over the writing alone (the reading before it asks the server too).
run_floor() {  # direct | staged
  local mode=$1 sync=$WORK/floor-sync out=$WORK/run-$1.out code=0
  reset_prefix
  sync
  rm -rf "$sync"
  mkdir -p "$sync"
  "$wine64" "$WORK/writefloor.exe" "$(z_path "$D/payload")" "$(z_path "$D/payload.list")" \
    'C:\Program Files\Stowa Bench' "$WORKERS" "$mode" "$(z_path "$sync")" </dev/null >"$out" 2>&1 &
  local pid=$!
  while [ ! -e "$sync/ready" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  local w0
  w0=$(cpu_of "$wspid")
  touch "$sync/go"
  wait "$pid" || code=$?
  local w1
  w1=$(cpu_of "$wspid")
  if [ "$code" -ne 0 ] || ! grep -q '^files=' "$out"; then
    echo "$mode: exit code $code: $(tr -d '\r' <"$out")" >&2
    FAILED=1
    return
  fi
  local line
  line=$(grep '^files=' "$out" | tr -d '\r')
  WALLS[$mode]+="$(sed 's/.* seconds=\([0-9.]*\).*/\1/' <<<"$line") "
  FLOOR_CPU[$mode]+="$(sed 's/.* cpu=\([0-9.]*\).*/\1/' <<<"$line") "
  SERVER[$mode]+="$(echo "$w1 - $w0" | bc) "
  echo "$mode: $line; wineserver $(echo "$w1 - $w0" | bc) s CPU" >&2
}
run_one() {  # ours | solid | plain | base | direct | staged, [strace]
  if [ "$1" = direct ] || [ "$1" = staged ]; then
    run_floor "$1"
    return
  fi
  local what=$1 out=$WORK/run-$1.out t=$WORK/time-$1.txt
  local -a cmd
  if [ "$what" = ours ]; then
    cmd=("$wine64" "$setup_exe" "$(z_path "$D/bench.exe")" /silent)
  elif [ "$what" = base ]; then
    cmd=("$wine64" "$BASE_SETUP" "$(z_path "$D/bench.exe")" /silent)
  else
    cmd=("$wine64" "$(z_path "$D/peer-$what.exe")" /S)
  fi
  reset_prefix
  sync
  if [ "${2:-}" = strace ]; then
    [ -n "$wspid" ] || { echo "no wineserver found for $prefix" >&2; exit 1; }
    strace -f -c -o "$WORK/strace-server-$what.txt" -p "$wspid" 2>/dev/null &
    local tracer=$!
    sleep 1
    strace -f -c -o "$WORK/strace-$what.txt" "${cmd[@]}" </dev/null >"$out" 2>&1 || FAILED=1
    kill -INT "$tracer"
    wait "$tracer" || true
    return
  fi
  local w0 s e code=0
  w0=$(cpu_of "$wspid")
  s=$(date +%s.%N)
  /usr/bin/time -f '%U %S' -o "$t" "${cmd[@]}" </dev/null >"$out" 2>&1 || code=$?
  e=$(date +%s.%N)
  if [ "$code" -ne 0 ]; then
    echo "$what: exit code $code" >&2
    FAILED=1
  fi
  local wall
  wall=$(echo "$e - $s" | bc)
  WALLS[$what]+="$wall "
  CPUS[$what]+="$(awk -v w="$wall" '{ printf "%.0f", 100 * ($1 + $2) / w }' "$t") "
  SERVER[$what]+="$(echo "$(cpu_of "$wspid") - $w0" | bc) "
  echo "$what: $wall s (exit code $code; user/system s $(cat "$t"); load $(cut -d' ' -f1 /proc/loadavg))" >&2
}
verify() {  # what: the number of payload files that differ from the installed ones
  local bad=0 rel
  while read -r rel; do
    cmp -s "$D/payload/$rel" "$app/$rel" || bad=$((bad + 1))
  done <"$D/payload.list"
  echo "$bad"
}
declare -A BAD
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
order=(ours solid plain direct staged)
[ -z "${BASE_SETUP:-}" ] || order+=(base)
for ((r = 0; r < REPEATS; ++r)); do
  for ((k = 0; k < ${#order[@]}; ++k)); do
    what=${order[$(((r + k) % ${#order[@]}))]}
    run_one "$what"
    [ "$r" -lt $((REPEATS - 1)) ] || BAD[$what]=$(verify)
  done
done
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# The ideal: one thread decoding the package's data under wine64.
reset_prefix
DEC=$("$wine64" "$WORK/pakdecode.exe" "$(z_path "$D/bench.exe")" "$(z_path "$D/ranges.txt")" "$DECODE_REPEATS" </dev/null 2>&1 | tr -d '\r')
HOSTDEC=$("$WORK/pakdecode" "$D/bench.exe" "$D/ranges.txt" "$DECODE_REPEATS")
echo "decode under wine64: $DEC; natively: $HOSTDEC" >&2

# The faster peer (median), then the system calls of one run each.
PEER=$(python3 -c 'import statistics, sys; s, p = (statistics.median(map(float, a.split())) for a in sys.argv[1:]); print("solid" if s <= p else "plain")' \
  "${WALLS[solid]}" "${WALLS[plain]}")
run_one ours strace
run_one "$PEER" strace
reset_prefix

# ---------------------------------------------------------------- the figures
status=0
src_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$win_build/CMakeCache.txt")
if git -C "$src_dir" rev-parse --git-dir >/dev/null 2>&1; then
  changed=$(git -C "$src_dir" status --porcelain -- src | wc -l)
  SOURCE="$(git -C "$src_dir" log -1 --format=%h) ($changed uncommitted changes under src/)"
elif [ -f "$src_dir/.commit" ]; then
  SOURCE="$(cat "$src_dir/.commit") (an export of it, $src_dir)"
else
  SOURCE="$src_dir"
fi
python3 - "$FILES" "$BYTES" "$PKG" "$(stat -c %s "$D/peer-solid.exe")" "$(stat -c %s "$D/peer-plain.exe")" \
  "${WALLS[ours]}" "${WALLS[solid]}" "${WALLS[plain]}" "${CPUS[ours]}" "${CPUS[solid]}" "${CPUS[plain]}" \
  "${SERVER[ours]}" "${SERVER[solid]}" "${SERVER[plain]}" "$DEC" "$HOSTDEC" "$WORKERS" "$PEER" \
  "$WORK/strace-ours.txt" "$WORK/strace-server-ours.txt" "$WORK/strace-$PEER.txt" "$WORK/strace-server-$PEER.txt" \
  "${BAD[ours]}" "${BAD[solid]}" "${BAD[plain]}" "$LOAD_BEFORE" "$LOAD_AFTER" "$SOURCE" "$EVERY${GROUP:+ $GROUP}" \
  "${WALLS[base]:-}" "${BASE_SETUP:-}" "${BAD[base]:-0}" "${CPUS[base]:-}" "${SERVER[base]:-}" \
  "$(nproc)" "${WALLS[direct]}" "${FLOOR_CPU[direct]}" "${SERVER[direct]}" "${BAD[direct]}" \
  "${WALLS[staged]}" "${FLOOR_CPU[staged]}" "${SERVER[staged]}" "${BAD[staged]}" <<'EOF' || status=$?
import statistics, sys
a = sys.argv
files, size, pkg, solid_size, plain_size = int(a[1]), int(a[2]), int(a[3]), int(a[4]), int(a[5])
walls = {k: [float(x) for x in a[i].split()] for k, i in (("ours", 6), ("solid", 7), ("plain", 8))}
cpus = {k: a[i].split() for k, i in (("ours", 9), ("solid", 10), ("plain", 11))}
server = {k: [float(x) for x in a[i].split()] for k, i in (("ours", 12), ("solid", 13), ("plain", 14))}
dec = dict(kv.split("=") for kv in a[15].split())
hostdec = dict(kv.split("=") for kv in a[16].split())
workers, peer = int(a[17]), a[18]
bad = {"ours": int(a[23]), "solid": int(a[24]), "plain": int(a[25])}
MiB = 1 << 20
med = {k: statistics.median(v) for k, v in walls.items()}
def subset(every, group=""):
    if every == "1":
        return f" (group {group} of bench/payload.py's)" if group else ""
    return f" (every {every}th file of bench/payload.py's" + (f" group {group})" if group else ")")
print(f"source:                  {a[28]}")
print(f"payload:                 {size / MiB:.1f} MiB in {files} files"
      + subset(*a[29].split(" ", 1)))
print(f"packages:                ours {pkg / MiB:.1f} MiB; peer solid {solid_size / MiB:.1f} MiB, not solid {plain_size / MiB:.1f} MiB")
names = {"ours": "ours (setup.exe /silent)", "solid": "peer, solid (/S)", "plain": "peer, not solid (/S)"}
base = [float(x) for x in a[30].split()]
if base:
    walls["base"], names["base"], cpus["base"] = base, "base (BASE_SETUP)", a[33].split()
    med["base"] = statistics.median(base)
    server["base"] = [float(x) for x in a[34].split()]
    bad["base"] = int(a[32])
for k in ("ours", "solid", "plain") + (("base",) if base else ()):
    w = walls[k]
    print(f"{names[k] + ':':25s}{med[k]:6.2f} s median, min {min(w):.2f} (runs {' '.join(f'{x:.2f}' for x in w)};"
          f" CPU {' '.join(c + '%' for c in cpus[k])}; wineserver {statistics.median(server[k]):.2f} s CPU)")
if base:
    print(f"base:                    {a[31]}; ours / base {med['ours'] / med['base']:.2f} (medians; min/min"
          f" {min(walls['ours']) / min(base):.2f})")
dmed, dbest = float(dec["median"]), float(dec["best"])
ideal = dmed / workers
print(f"decode, 1 thread, wine64: {dmed:.2f} s median (best {dbest:.2f}) = {size / MiB / dmed:.0f} MiB/s in memory;"
      f" natively {float(hostdec['median']):.2f} s")
print(f"ideal pool time:         {ideal:.2f} s (decode / {workers} workers)")
r1 = med["ours"] / ideal
print(f"ours / ideal:            {r1:.2f} (medians; min/best {min(walls['ours']) / (dbest / workers):.2f})   target <= 1.25  {'MET' if r1 <= 1.25 else 'MISSED'}")
r2 = med[peer] / med["ours"]
print(f"peer / ours:             {r2:.2f} (peer {'solid' if peer == 'solid' else 'not solid'}, the faster; medians;"
      f" min/min {min(walls[peer]) / min(walls['ours']):.2f})   target >= 2.5  {'MET' if r2 >= 2.5 else 'MISSED'}")
cores = int(a[35])
floors = {}
for mode, i, label in (("direct", 36, "floor, direct writes:"), ("staged", 40, "floor, the setup's calls:")):
    w = [float(x) for x in a[i].split()]
    fcpu = statistics.median(float(x) for x in a[i + 1].split())
    fsrv = statistics.median(float(x) for x in a[i + 2].split())
    bad[mode] = int(a[i + 3])
    names[mode] = f"floor (writefloor.exe {mode})"
    floors[mode] = (statistics.median(w), fcpu, fsrv)
    print(f"{label:25s}{floors[mode][0]:6.2f} s median, min {min(w):.2f} (runs {' '.join(f'{x:.2f}' for x in w)};"
          f" process {fcpu:.2f} s CPU, wineserver {fsrv:.2f} s CPU)")
best = min(floors, key=lambda m: floors[m][0])
fmed, fcpu, fsrv = floors[best]
spread = (dmed + fcpu + fsrv) / cores
bound = max(ideal, fmed, spread)
print(f"bound on {cores} cores:        {bound:.2f} s = max(ideal {ideal:.2f}, floor {fmed:.2f} ({best}),"
      f" (decode {dmed:.2f} + floor CPU {fcpu + fsrv:.2f}) / {cores} = {spread:.2f})")
print(f"ours / bound:            {med['ours'] / bound:.2f} (medians; min/bound {min(walls['ours']) / bound:.2f});"
      f" wineserver CPU of ours {statistics.median(server['ours']):.2f} s against the floor's {fsrv:.2f}")

def syscalls(path):
    # strace -c: "% time  seconds  usecs/call  calls  [errors]  syscall".
    calls = {}
    for line in open(path):
        f = line.split()
        if len(f) >= 5 and f[0][0].isdigit() and f[-1] != "total":
            calls[f[-1]] = int(f[3])
    return calls, sum(calls.values())

def show(label, proc, srv):
    p, pt = syscalls(proc)
    s, st = syscalls(srv)
    parts = " ".join(f"{n} {p.get(n, 0) / files:.1f}" for n in ("newfstatat", "getdents64", "openat"))
    sparts = " ".join(f"{n} {s.get(n, 0) / files:.1f}" for n in ("newfstatat", "getdents64", "openat"))
    print(f"{label:25s}process: {parts}, all {pt / files:.1f}; wineserver: {sparts}, all {st / files:.1f}")

print("system calls per file (strace -f -c, one run each):")
show("  ours:", a[19], a[20])
show(f"  peer ({peer}):", a[21], a[22])
for k in bad:
    if bad[k]:
        print(f"installed files:         {names[k]}: {bad[k]} of {files} DIFFER from the payload")
if not any(bad.values()):
    print(f"installed files:         all {files} byte-identical (last round, ours, both peers and both floors)")
print(f"load average:            {a[26]} before the runs, {a[27]} after (other work on the machine)")
sys.exit(1 if any(bad.values()) else 0)
EOF
[ "$FAILED" -eq 0 ] || { echo "an install failed (see $WORK/run-*.out)" >&2; exit 1; }
exit $status
