#!/usr/bin/env bash
# Scale benchmark of the setup runtime on the simulated machine.
#
#   bash bench/scale.sh          (from the repository root; KEEP=1 keeps the big files)
#
# 1. writes the sources under build/bench-scale (never in the repository):
#    three files of random bytes (AES-128-CTR of zeros with a fixed key, so
#    the same bytes every time) of 1.5, 1.5 and 1.25 GiB, a small text and
#    a small random file; 50,000 small text files; 10,000 small text files;
# 2. builds with pakbuild: big.exe (4.25 GiB, stored, one file; the third
#    file's range crosses 2^32 and the small files lie above it),
#    bigvol.exe (the same in volumes of 2,200,000,000 bytes: .002, .003),
#    many.exe (100,000 file entries in four folders: the 50,000 files, each
#    installed twice, as a file entry names its data by a 16-bit index) and
#    start.exe (10,000 files in 100 folders of 5 components);
# 3. installs with `setup-host --machine DIR PKG /silent` under
#    /usr/bin/time -v: big.exe with processors=2 and 1, bigvol.exe with
#    processors=2 (a package in volumes is read by one worker), many.exe with
#    processors=2 and 1; after each install every installed file is
#    compared with its source (cmp; for many.exe every file's bytes and a
#    SHA-256 over all of them), the log's file lines are counted, and the
#    machine is deleted;
# 4. start-up: `pakbuild read` (open the package, read the whole
#    definition, print one line of counts) of start.exe (10,000 files) and
#    many.exe (100,000 file entries), and `setup-host --start-page` of
#    both, timed as whole processes with /usr/bin/time (a warm-up run,
#    then RUNS runs each; medians of the wall, the largest peak RSS);
# 5. prints the table; deletes the big files unless KEEP=1.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
HOST=${HOST:-$ROOT/build/host}
WORK=$ROOT/build/bench-scale
RUNS=${RUNS:-10}
KEEP=${KEEP:-0}

[ -x /usr/bin/time ] || apt-get install -y time >/dev/null

if [ ! -x "$HOST/tools/pakbuild" ] || [ ! -x "$HOST/tools/setup-host" ] ||
   ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release' "$HOST/CMakeCache.txt" 2>/dev/null; then
  cmake -S . -B "$HOST" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$HOST" pakbuild setup-host >/dev/null
PAKBUILD=$HOST/tools/pakbuild
SETUP=$HOST/tools/setup-host

mkdir -p "$WORK"
RESULTS=$WORK/results.txt
: >"$RESULTS"
row() { printf '%s\n' "$*" | tee -a "$RESULTS"; }

# ---------------------------------------------------------------- 1: sources
GiB=$((1 << 30))
BIG_NAMES=(part1.bin part2.bin part3.bin)
BIG_SIZES=($((3 * GiB / 2)) $((3 * GiB / 2)) $((5 * GiB / 4 + 4093)))
mkdir -p "$WORK/src/big" "$WORK/src/many" "$WORK/src/start"
for i in 0 1 2; do
  f=$WORK/src/big/${BIG_NAMES[$i]}
  if [ "$(stat -c %s "$f" 2>/dev/null || echo 0)" != "${BIG_SIZES[$i]}" ]; then
    head -c "${BIG_SIZES[$i]}" /dev/zero |
      openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' $((i + 1)))" -iv 00000000000000000000000000000000 >"$f.tmp"
    mv "$f.tmp" "$f"
  fi
done
python3 - "$WORK" <<'PY'
import json, os, random, sys
work = sys.argv[1]
words = "setup wizard package folder component licence readme install file window".split()

def write_if_changed(path, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    try:
        with open(path, "rb" if mode == "wb" else "r") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(path, mode) as f:
        f.write(data)

def text(r, lo, hi):
    return " ".join(r.choice(words) for _ in range(r.randint(lo, hi))) + "\n"

def base(key, files):
    return {"publisher": "Scale Works", "productKey": key, "version": "1.0", "releaseDate": "2026-12-08",
            "userType": 3,
            "folders": {"APPFOLDER": ["%PROGRAMFILES%\\" + key, "%LOCALAPPDATAROOT%\\" + key]},
            "files": [{"name": n, "source": "src/uninst.bin", "time": "2026-12-08T12:00:00"}
                      for n in ("UnStowa32.exe", "UnStowaXP.exe")] + files}

r = random.Random(5)
write_if_changed(os.path.join(work, "src", "uninst.bin"), bytes(r.getrandbits(8) for _ in range(5000)))
write_if_changed(os.path.join(work, "src", "big", "tail.txt"), "".join(text(r, 5, 40) for _ in range(2000)))
write_if_changed(os.path.join(work, "src", "big", "tail.bin"), bytes(r.getrandbits(8) for _ in range((1 << 20) + 3)))

# The big package: stored parts in "data", the small files beside.
files = [{"name": n, "source": "src/big/" + n, "compress": False} for n in ("part1.bin", "part2.bin", "part3.bin")]
files += [{"name": "tail.txt", "source": "src/big/tail.txt"},
          {"name": "tail.bin", "source": "src/big/tail.bin", "compress": False}]
for f in files:
    f["time"] = "2026-12-08T12:00:00"
m = base("Scale Big", files)
m["components"] = [{"name": "Program", "withItems": False, "folders": [
    {"name": "%APPFOLDER%", "items": [{"file": "tail.txt"}, {"file": "tail.bin"}],
     "folders": [{"name": "data", "items": [{"file": n} for n in ("part1.bin", "part2.bin", "part3.bin")]}]}]}]
m["build"] = {"threads": 1}  # the builder holds a whole file in memory: one at a time
json.dump(m, open(os.path.join(work, "big.json.new"), "w"), indent=1)
m["build"]["volumeSize"] = 2200000000
json.dump(m, open(os.path.join(work, "bigvol.json.new"), "w"), indent=1)

# 100,000 file entries: 50,000 files in folders a, b and again in c, d.
r = random.Random(7)
files = []
for i in range(50000):
    write_if_changed(os.path.join(work, "src", "many", f"f{i}.txt"), f"file {i}\n" + text(r, 5, 120))
    files.append({"name": f"f{i}.txt", "source": f"src/many/f{i}.txt", "time": "2026-12-08T12:00:00"})
m = base("Scale Many", files)
folders = []
for k, first in (("a", 0), ("b", 25000), ("c", 0), ("d", 25000)):
    folders.append({"name": k, "items": [{"dataIndex": 2 + first + i} for i in range(25000)]})
m["components"] = [{"name": "Program", "withItems": False,
                   "folders": [{"name": "%APPFOLDER%", "withItems": False, "folders": folders}]}]
m["build"] = {"dictSize": 65536}  # tiny files: the encoder is set up once per file
json.dump(m, open(os.path.join(work, "many.json.new"), "w"))

# 10,000 files in 100 folders of 5 components, as bench/startup.sh has them.
r = random.Random(9)
files, components = [], []
for c in range(5):
    folders = []
    for f in range(20):
        items = []
        for i in range(100):
            n = f"c{c}f{f:02d}i{i:03d}.txt"
            write_if_changed(os.path.join(work, "src", "start", n), text(r, 150, 600))
            files.append({"name": n, "source": "src/start/" + n, "time": "2026-12-08T12:00:00"})
            items.append({"file": n})
        folders.append({"name": f"folder{f:02d}", "items": items})
    components.append({"name": f"Component {c}", "optional": c > 0, "selected": True,
                       "folders": [{"name": "%APPFOLDER%", "folders": folders, "withItems": False}]})
m = base("Scale Start", files)
m["components"] = components
json.dump(m, open(os.path.join(work, "start.json.new"), "w"))

for n in ("big", "bigvol", "many", "start"):
    new, old = os.path.join(work, n + ".json.new"), os.path.join(work, n + ".json")
    if os.path.exists(old) and open(old).read() == open(new).read():
        os.remove(new)
    else:
        os.replace(new, old)
PY

# ---------------------------------------------------------------- 2: packages
declare -A BUILD_S
build() {  # NAME: rebuilt only when the manifest or pakbuild changed
  local n=$1
  if [ ! -f "$WORK/$n.exe" ] || [ "$WORK/$n.json" -nt "$WORK/$n.exe" ] || [ "$PAKBUILD" -nt "$WORK/$n.exe" ]; then
    local s
    s=$(date +%s.%N)
    "$PAKBUILD" build "$WORK/$n.json" "$WORK/$n.exe" --placeholder-front >"$WORK/build-$n.txt"
    BUILD_S[$n]="built in $(echo "$(date +%s.%N) - $s" | bc) s"
  else
    BUILD_S[$n]="kept from an earlier run"
  fi
}
for n in big bigvol many start; do build "$n"; done
pkgsize() { cat "$WORK/$1".exe "$WORK/$1".0[0-9][0-9] 2>/dev/null | wc -c; }

# ---------------------------------------------------------------- 3: installs
declare -A WALL RSS CPU VERDICT
install() {  # LABEL PACKAGE PROCESSORS
  local label=$1 pkg=$2 n=$3 dir=$WORK/machine
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "processors=$n" >"$dir/machine.txt"
  sync
  local s e
  s=$(date +%s.%N)
  /usr/bin/time -v -o "$WORK/time-$label.txt" "$SETUP" --machine "$dir" "$WORK/$pkg.exe" /silent \
    2>"$WORK/setup-$label.log" || { echo "setup-host failed ($label):" >&2; cat "$WORK/setup-$label.log" >&2; exit 1; }
  e=$(date +%s.%N)
  WALL[$label]=$(echo "$e - $s" | bc)
  RSS[$label]=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$WORK/time-$label.txt")
  CPU[$label]=$(awk -F': ' '/Percent of CPU/ {print $2}' "$WORK/time-$label.txt")
}
verify_big() {  # LABEL
  local app="$WORK/machine/C/Program Files/Scale Big" bad=0 n
  for n in part1.bin part2.bin part3.bin; do cmp -s "$WORK/src/big/$n" "$app/data/$n" || { echo "DIFFERENT: $n" >&2; bad=1; }; done
  for n in tail.txt tail.bin; do cmp -s "$WORK/src/big/$n" "$app/$n" || { echo "DIFFERENT: $n" >&2; bad=1; }; done
  cmp -s "$WORK/src/uninst.bin" "$app/UnStowa.exe" || { echo "DIFFERENT: UnStowa.exe" >&2; bad=1; }
  # The log: each of the 6 files once, and nothing else in the folder.
  local logged files
  logged=$(tr -d '\r' <"$app/Stowa.log" | sed '/^%%%$/q' | grep -c '^C:\\Program Files\\Scale Big\\' || true)
  files=$(find "$app" -type f | wc -l)
  [ "$logged" = 6 ] && [ "$files" = 7 ] || { echo "log names $logged files, folder holds $files" >&2; bad=1; }
  VERDICT[$1]=$([ "$bad" = 0 ] && echo "all 6 files identical (cmp), log 6 lines" || echo FAILED)
}
verify_many() {  # LABEL
  VERDICT[$1]=$(python3 - "$WORK" <<'PY'
import hashlib, os, sys
work = sys.argv[1]
app = os.path.join(work, "machine", "C", "Program Files", "Scale Many")
bad, count = 0, 0
want, got = hashlib.sha256(), hashlib.sha256()
for k, first in (("a", 0), ("b", 25000), ("c", 0), ("d", 25000)):
    names = sorted(os.listdir(os.path.join(app, k)), key=lambda n: int(n[1:-4]))
    if names != [f"f{first + i}.txt" for i in range(25000)]:
        bad += 1
    for n in names:
        src = open(os.path.join(work, "src", "many", n), "rb").read()
        dst = open(os.path.join(app, k, n), "rb").read()
        want.update(src)
        got.update(dst)
        bad += src != dst
        count += 1
log = open(os.path.join(app, "Stowa.log"), encoding="utf-8", errors="replace", newline="").read().split("\r\n")
logged = [l for l in log[:log.index("%%%")] if l.startswith("C:\\Program Files\\Scale Many\\")]
ok = bad == 0 and want.digest() == got.digest() and len(logged) == 100001 and len(set(logged)) == len(logged)
print(f"{count} files, all identical, SHA-256 {got.hexdigest()[:12]} of all equal, log {len(logged)} lines"
      if ok else f"FAILED: {bad} differ, {count} files, log {len(logged)} lines")
PY
)
}
cleanup_machine() { rm -rf "$WORK/machine"; }

install big-2 big 2; verify_big big-2; cleanup_machine
install big-1 big 1; verify_big big-1; cleanup_machine
install bigvol-2 bigvol 2; verify_big bigvol-2; cleanup_machine
install many-2 many 2; verify_many many-2; cleanup_machine
install many-1 many 1; verify_many many-1; cleanup_machine

# ---------------------------------------------------------------- 4: start-up
declare -A START START_RSS
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
startup() {  # LABEL COMMAND...
  local label=$1
  shift
  "$@" >"$WORK/out-$label.txt"
  local i
  for ((i = 0; i < RUNS; ++i)); do
    /usr/bin/time -f '%e %M' -o "$WORK/t.txt" "$@" >/dev/null
    cat "$WORK/t.txt"
  done >"$WORK/bench-$label.txt"
  START[$label]=$(awk '{print $1 * 1000}' "$WORK/bench-$label.txt" | median)
  START_RSS[$label]="peak $(awk '{print $2}' "$WORK/bench-$label.txt" | sort -n | tail -1 | awk '{printf "%.1f", $1 / 1024}') MiB"
}
startup read-10k "$PAKBUILD" read "$WORK/start.exe"
startup read-100k "$PAKBUILD" read "$WORK/many.exe"
startup page-10k "$SETUP" --machine "$WORK/machine-start" "$WORK/start.exe" --start-page
startup page-100k "$SETUP" --machine "$WORK/machine-start" "$WORK/many.exe" --start-page
rm -rf "$WORK/machine-start"

# ---------------------------------------------------------------- 5: the table
MiB() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
LZMA_DICT_MIB=8
row "date:                    $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
row "packages:                big.exe $(pkgsize big) bytes (${BUILD_S[big]}); bigvol.exe+.002+.003 $(pkgsize bigvol) bytes (${BUILD_S[bigvol]})"
row "                         many.exe $(pkgsize many) bytes (${BUILD_S[many]}); start.exe $(pkgsize start) bytes (${BUILD_S[start]})"
for l in big-2 big-1 bigvol-2 many-2 many-1; do
  lim=$((64 + LZMA_DICT_MIB * ${l##*-}))
  [ "${l%-*}" = many ] && lim=64  # its dictionary: 64 KiB a worker
  [ "$l" = bigvol-2 ] && lim=$((64 + LZMA_DICT_MIB))  # one worker
  rss=$(MiB "${RSS[$l]}")
  verdict=$(awk -v r="$rss" -v m="$lim" 'BEGIN {print (r < m) ? "MET" : "MISSED"}')
  row "$(printf 'install %-9s %7.2f s wall, CPU %5s, peak RSS %6s MiB (limit %d) %-6s  %s' "$l:" "${WALL[$l]}" "${CPU[$l]}" "$rss" "$lim" "$verdict" "${VERDICT[$l]}")"
done
for l in read-10k read-100k page-10k page-100k; do
  row "$(printf 'start-up %-10s %7.1f ms median wall (%s runs), %s; %s' "$l:" "${START[$l]}" "$RUNS" "${START_RSS[$l]}" "$(head -c 120 "$WORK/out-$l.txt" | tr '\n' ' ')")"
done
awk -v t="${START[read-10k]}" 'BEGIN {printf "start-up target:         read of 10,000 files %.1f ms < 50 ms  %s\n", t, (t < 50) ? "MET" : "MISSED"}' | tee -a "$RESULTS"

if [ "$KEEP" != 1 ]; then
  rm -rf "$WORK/src/big" "$WORK/big.exe" "$WORK/bigvol.exe" "$WORK"/bigvol.0[0-9][0-9]
fi
fail=0
for l in big-2 big-1 bigvol-2 many-2 many-1; do case ${VERDICT[$l]} in FAILED*) fail=1 ;; esac; done
exit "$fail"
