#!/usr/bin/env bash
# Install benchmark of the setup runtime on the simulated machine.
#
#   bash bench/run.sh            (from the repository root; REPEATS=3 by default)
#
# 1. assembles a payload (>= 300 MB, >= 2,000 files) from files of installed
#    Debian packages (bench/payload.py), hard-linked into build/bench/payload;
# 2. writes build/bench/bench.json and builds build/bench/bench.exe with pakbuild;
# 3. installs it silently with setup-host on a fresh machine with processors=2
#    and with processors=1, REPEATS times each, alternating; wall time (from
#    the start to the end of setup-host) and peak RSS (/usr/bin/time -v);
# 4. compresses every payload file on its own with
#    `xz --format=raw --lzma1=preset=6,dict=8MiB` and times `xz -d` (one
#    process, one thread) decoding them into a fresh tree, REPEATS times,
#    between the installs; for information also decoding them in memory,
#    writing nothing (bench/rawdecode.cpp, liblzma);
# 5. prints the figures and checks that every installed file is byte-identical
#    to the payload.
# Times: the median of the repeats (the best in brackets); RSS: the largest.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
HOST=$ROOT/build/host
WORK=$ROOT/build/bench
REPEATS=${REPEATS:-3}
DECODE_REPEATS=${DECODE_REPEATS:-5}
JOBS=$(nproc)

[ -x /usr/bin/time ] || apt-get install -y time >/dev/null
command -v xz >/dev/null || apt-get install -y xz-utils >/dev/null

# Release build of the host tools.
if [ ! -x "$HOST/tools/pakbuild" ] || [ ! -x "$HOST/tools/setup-host" ] ||
   ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release' "$HOST/CMakeCache.txt" 2>/dev/null; then
  cmake -S . -B "$HOST" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTW_TESTS=OFF >/dev/null
fi
ninja -C "$HOST" pakbuild setup-host >/dev/null

mkdir -p "$WORK"
# ---------------------------------------------------------------- 1, 2: payload and package
read -r FILES BYTES < <(python3 bench/payload.py "$WORK")
# Built again only when the manifest or pakbuild changed (payload.py keeps
# an unchanged manifest's date; the payload is links to unchanged files).
if [ ! -f "$WORK/bench.exe" ] || [ "$WORK/bench.json" -nt "$WORK/bench.exe" ] ||
   [ "$HOST/tools/pakbuild" -nt "$WORK/bench.exe" ]; then
  t0=$(date +%s.%N)
  # setup-host reads it: the placeholder front, as no Windows program runs here.
  "$HOST/tools/pakbuild" build "$WORK/bench.json" "$WORK/bench.exe.tmp" --placeholder-front >/dev/null
  mv "$WORK/bench.exe.tmp" "$WORK/bench.exe"
  echo "package built in $(echo "$(date +%s.%N) - $t0" | bc) s" >&2
fi
PKG=$(stat -c %s "$WORK/bench.exe")

# ---------------------------------------------------------------- 4 (first half): the xz reference data
g++ -O2 -std=c++20 -o "$WORK/rawdecode" bench/rawdecode.cpp -llzma
mkdir -p "$WORK/xz"
: >"$WORK/xz.list"
while read -r rel; do
  printf '%s\t%s\n' "$WORK/payload/$rel" "$WORK/xz/$rel.lzma" >>"$WORK/xz.list"
done <"$WORK/payload.list"
# Compress what is missing or older than its source, on all cores.
cut -f1,2 "$WORK/xz.list" | while IFS=$'\t' read -r src dst; do
  [ "$dst" -nt "$src" ] || printf '%s\0%s\0' "$src" "$dst"
done | xargs -0 -r -n2 -P"$JOBS" sh -c 'mkdir -p "$(dirname "$2")" &&
  xz --format=raw --lzma1=preset=6,dict=8MiB -c "$1" >"$2.tmp" && mv "$2.tmp" "$2"' sh

# What `xz -d` decodes (files whose raw stream is smaller) and what it would
# only copy (stored in the package too); paths relative to the payload.
: >"$WORK/xz-packed.list"
: >"$WORK/xz-stored.list"
while read -r rel; do
  if [ "$(stat -c %s "$WORK/xz/$rel.lzma")" -lt "$(stat -c %s "$WORK/payload/$rel")" ]; then
    printf '%s.lzma\0' "$rel" >>"$WORK/xz-packed.list"
  else
    printf '%s\0' "$rel" >>"$WORK/xz-stored.list"
  fi
done <"$WORK/payload.list"

# ---------------------------------------------------------------- 3: the installs
declare -A WALLS RSSES CPUS SECS USERS SYSS
# Every install gets a machine folder of its own; all are deleted only at the
# end: ext4 passes over inodes freed in the last 30 s when it allocates new
# ones, which would charge a deletion just before a run to that run.
if [ -d "$WORK/machines" ]; then rm -rf "$WORK/machines"; date +%s >"$WORK/deleted.stamp"; fi
if [ -f "$WORK/deleted.stamp" ]; then
  wait_s=$(($(cat "$WORK/deleted.stamp") + 35 - $(date +%s)))
  if [ "$wait_s" -gt 0 ]; then echo "waiting ${wait_s} s for ext4 to stop passing over freed inodes" >&2; sleep "$wait_s"; fi
fi
LAST_MACHINE=()
install_once() {  # N: processors of the machine
  local n=$1 dir=$WORK/machines/p$1-$2
  mkdir -p "$dir"
  LAST_MACHINE[$n]=$dir
  echo "processors=$n" >"$dir/machine.txt"
  sync
  local s e
  s=$(date +%s.%N)
  /usr/bin/time -v -o "$WORK/time-$n.txt" "$HOST/tools/setup-host" --machine "$dir" "$WORK/bench.exe" /silent \
    2>"$WORK/setup-$n.log" || { echo "setup-host failed with $n processors:" >&2; cat "$WORK/setup-$n.log" >&2; exit 1; }
  e=$(date +%s.%N)
  WALLS[$n]+="$(echo "$e - $s" | bc) "
  CPUS[$n]+="$(awk -F': ' '/Percent of CPU/ {sub("%", "", $2); print $2}' "$WORK/time-$n.txt") "
  RSSES[$n]+="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$WORK/time-$n.txt") "
  # CPU seconds (user + system): the work itself, whatever the wall clock
  # of a shared virtual machine loses to other guests.
  SECS[$n]+="$(awk -F': ' '/User time|System time/ {t += $2} END {print t}' "$WORK/time-$n.txt") "
  USERS[$n]+="$(awk -F': ' '/User time/ {print $2}' "$WORK/time-$n.txt") "
  SYSS[$n]+="$(awk -F': ' '/System time/ {print $2}' "$WORK/time-$n.txt") "
}
verify() {  # N
  local dir="${LAST_MACHINE[$1]}/C/Program Files/Stowa Bench" bad=0
  while read -r rel; do
    cmp -s "$WORK/payload/$rel" "$dir/$rel" || { echo "DIFFERENT: $rel ($1 processors)" >&2; bad=$((bad + 1)); }
  done <"$WORK/payload.list"
  echo "$bad"
}
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
# Each install starts from the same state: the machine of the run before is
# verified (last round only) and deleted, its data written out, and the
# next run waits until ext4 has stopped passing over the freed inodes. Runs
# that pile up gigabytes of earlier installs measure the file system's
# growing bookkeeping, not the setup.
settle() {
  rm -rf "$WORK/machines"
  sync
  sleep 35
}
# The reference run: `xz -d`, one process, one thread, decodes the raw
# streams into files of a fresh tree (hard links of the streams, made before
# the clock starts), then the stored files are copied there with one `cp`:
# the same bytes written into the same number of new files as the install.
XZWALLS=""
xz_once() {
  local dir=$WORK/machines/xz
  mkdir -p "$dir"
  (cd "$WORK/payload" && find . -mindepth 1 -type d -print0) | (cd "$dir" && xargs -0 -r mkdir -p)
  (cd "$WORK/xz" && xargs -0 -r -a "$WORK/xz-packed.list" cp -l --parents -t "$dir")
  sync
  local s e
  s=$(date +%s.%N)
  (cd "$dir" && xargs -0 -r -a "$WORK/xz-packed.list" \
     xz -d -k -T1 --format=raw --lzma1=preset=6,dict=8MiB --suffix=.lzma &&
   cd "$WORK/payload" && xargs -0 -r -a "$WORK/xz-stored.list" cp --parents -t "$dir")
  e=$(date +%s.%N)
  XZWALLS+="$(echo "$e - $s" | bc) "
}
BAD2=0
BAD1=0
for ((r = 0; r < REPEATS; ++r)); do
  install_once 2 "$r"
  [ "$r" -lt $((REPEATS - 1)) ] || BAD2=$(verify 2)
  settle
  install_once 1 "$r"
  [ "$r" -lt $((REPEATS - 1)) ] || BAD1=$(verify 1)
  settle
  xz_once
  settle
done
date +%s >"$WORK/deleted.stamp"

# ---------------------------------------------------------------- 4: single-threaded decoding
DEC=$("$WORK/rawdecode" "$WORK/xz.list" "$DECODE_REPEATS")

# ---------------------------------------------------------------- 5: the figures
python3 - "$FILES" "$BYTES" "$PKG" "${WALLS[2]}" "${WALLS[1]}" "${RSSES[2]}" "${RSSES[1]}" "$DEC" "$BAD2" "$BAD1" "${CPUS[2]}" "${CPUS[1]}" "$LOAD_BEFORE" "$(cut -d' ' -f1-3 /proc/loadavg)" "${SECS[2]}" "${SECS[1]}" "${USERS[2]}" "${USERS[1]}" "${SYSS[2]}" "${SYSS[1]}" "$XZWALLS" <<'EOF'
import statistics, sys
files, size, pkg = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
w2 = [float(x) for x in sys.argv[4].split()]
w1 = [float(x) for x in sys.argv[5].split()]
r2 = max(int(x) for x in sys.argv[6].split())
r1 = max(int(x) for x in sys.argv[7].split())
dec = dict(kv.split("=") for kv in sys.argv[8].split())
bad2, bad1 = int(sys.argv[9]), int(sys.argv[10])
c2, c1 = sys.argv[11].split(), sys.argv[12].split()
m2, m1 = statistics.median(w2), statistics.median(w1)
dmed, dbest = float(dec["median"]), float(dec["best"])
MiB = 1 << 20
print(f"payload:                 {size / MiB:.1f} MiB in {files} files")
print(f"package:                 {pkg / MiB:.1f} MiB ({100 * pkg / size:.1f} % of the payload)")
print(f"xz reference:            {int(dec['packed']) / MiB:.1f} MiB, {dec['stored']} files stored (not smaller)")
print(f"install, 2 workers:      {m2:.2f} s median (best {min(w2):.2f}; runs {' '.join(f'{x:.2f}' for x in w2)}; CPU {' '.join(c + '%' for c in c2)})")
print(f"install, 1 worker:       {m1:.2f} s median (best {min(w1):.2f}; runs {' '.join(f'{x:.2f}' for x in w1)}; CPU {' '.join(c + '%' for c in c1)})")
sp = m1 / m2
print(f"speed-up 1w/2w:          {sp:.2f}x (medians; best/best {min(w1) / min(w2):.2f}x)   target >= 1.70  {'MET' if sp >= 1.7 else 'MISSED'}")
x = [float(v) for v in sys.argv[21].split()]
xmed = statistics.median(x)
print(f"xz -d, 1 thread:         {xmed:.2f} s median (best {min(x):.2f}; runs {' '.join(f'{v:.2f}' for v in x)}) = {size / MiB / xmed:.0f} MiB/s into {files} new files")
q2 = m2 / (xmed / 2)
q1 = m1 / xmed
print(f"install / (xz -d / 2):   {q2:.2f} (2 workers; 1 worker: install / xz -d = {q1:.2f}; best runs {min(w2) / (min(x) / 2):.2f} and {min(w1) / min(x):.2f})   target <= 1.15  {'MET' if q2 <= 1.15 and q1 <= 1.15 else 'MISSED'}")
print(f"decode in memory:        {dmed:.2f} s median (best {dbest:.2f}) = {size / MiB / dmed:.0f} MiB/s, nothing written (liblzma in one process)")
print(f"install / (memory / 2):  {m2 / (dmed / 2):.2f} (2 workers), install / memory {m1 / dmed:.2f} (1 worker)")
s2, s1 = [float(x) for x in sys.argv[15].split()], [float(x) for x in sys.argv[16].split()]
print(f"install CPU s / memory:  {statistics.median(s2) / dmed:.2f} (2 workers, {statistics.median(s2):.2f} s), {statistics.median(s1) / dmed:.2f} (1 worker, {statistics.median(s1):.2f} s)")
u2, u1, k2, k1 = ([float(x) for x in sys.argv[i].split()] for i in (17, 18, 19, 20))
print(f"  user / system seconds: 2 workers {' '.join(f'{u:.2f}/{k:.2f}' for u, k in zip(u2, k2))}; 1 worker {' '.join(f'{u:.2f}/{k:.2f}' for u, k in zip(u1, k1))}")
print(f"  user s / memory:       {statistics.median(u2) / dmed:.2f} (2 workers), {statistics.median(u1) / dmed:.2f} (1 worker)")
lim2, lim1 = 64 * 1024 + 2 * 8 * 1024, 64 * 1024 + 8 * 1024
print(f"peak RSS, 2 workers:     {r2 / 1024:.1f} MiB (limit {lim2 / 1024:.0f})  {'MET' if r2 < lim2 else 'MISSED'}")
print(f"peak RSS, 1 worker:      {r1 / 1024:.1f} MiB (limit {lim1 / 1024:.0f})  {'MET' if r1 < lim1 else 'MISSED'}")
print(f"installed files:         {'all ' + str(files) + ' byte-identical' if bad2 == bad1 == 0 else f'{bad2} + {bad1} DIFFER'} (both machines, every file compared)")
print(f"load average:            {sys.argv[13]} before the installs, {sys.argv[14]} after (other work on the machine)")
sys.exit(1 if bad2 or bad1 else 0)
EOF
