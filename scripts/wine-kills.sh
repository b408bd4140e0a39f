#!/usr/bin/env bash
# Installations killed part-way under wine64: an update of about 100 MB
# (306 files, six of 10-14 MB, the rest of 1 KB-400 KB, in five folders) is
# installed by build/win64/src/setup.exe over the other version of the
# same product (every file at the same path, with other bytes), and the
# setup's Wine process is killed with SIGKILL at several points spread over
# the installation's duration, measured first. After each kill every file
# under its own name must be, byte for byte, the old or the new version,
# never a mix, a truncated file or nothing; only temporary files of the
# setup ("stw" + 8 hex digits + ".tmp", beside the files or in a staging
# folder "stw" + 8 hex digits, which folders of many files get) may be
# extra.
# Then the same installer runs again, not killed: it must succeed, leave
# every file of its version, no temporary file or staging folder and nothing of
# the killed run in the temporary folder, and its log must list every file
# once. Kills alternate direction (2.0 over 1.0, then 1.0 over 2.0, ...),
# so every kill meets an installation of the other version.
#
#   scripts/wine-kills.sh
#   KILL_POINTS="0.2 0.4 0.6 0.8 0.9" scripts/wine-kills.sh   # fractions of the duration
#
# The process killed is the wine64 process started for setup.exe: under
# wine64 a program started from the shell is that Unix process itself (its
# threads are the Windows threads), so `kill -9` ends the setup at once, as
# a power cut ends a program, while the wineserver and the prefix live on.
#
# Same environment as the other wine-*.sh scripts (scripts/lib-wine.sh:
# STW_WIN64_BUILD, STW_HOST_BUILD, STW_E2E_DIR, STW_CACHE); work folder and
# prefix under $STW_E2E_DIR (default build/wine). Prints one line per check
# and "N passed, M failed"; non-zero when a check failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib-wine.sh
source "$root/scripts/lib-wine.sh"
wine_paths
work=$wine_dir/kills
prefix=$wine_dir/kills-prefix
pakbuild=$host_build/tools/pakbuild
setup_exe=$win_build/src/setup.exe
points=${KILL_POINTS:-0.1 0.25 0.4 0.55 0.7 0.85}

# shellcheck source=scripts/lib-checks.sh
source "$root/scripts/lib-checks.sh"
xvfb_pid=""
setup_pid=""
cleanup() {
  if [ -n "$setup_pid" ]; then kill -9 "$setup_pid" 2>/dev/null || true; fi
  stop_all
}
trap cleanup EXIT
start=$SECONDS

# ---------------------------------------------------------------- the two versions

build_tools setup
make_wine_template
if [ -d "$prefix" ]; then WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true; fi
rm -rf "$prefix" "$prefix.home" "$work"
mkdir -p "$work"
rm -f "$work/reg-failures"

# Files of text-like content (words of a vocabulary drawn per version, so
# that they compress about 2.5:1 and decoding takes real time), the same
# names and nearly the same sizes in both versions, other bytes. Writes
# WORK/vN/..., WORK/vN.json and WORK/vN.md5 (md5 and path per file).
python3 - "$work" <<'EOF'
import hashlib, json, os, random, sys
work = sys.argv[1]
layout = random.Random(7)
folders = ["bin", "data", "data/big", "doc/en", "doc/de"]
files = [(f"data/big/part{i}.pak", 10_000_000 + layout.randrange(4_000_000)) for i in range(6)]
for i in range(300):
    files.append((f"{folders[i % 5]}/item{i:03d}.{['dll', 'dat', 'txt', 'cfg'][i % 4]}",
                  1000 + int(layout.paretovariate(1.2) * 20_000) % 400_000))
# The uninstaller is the same in both versions: the file compared is the
# product's, whatever rule the setup applies to its own uninstaller.
uninstaller = os.path.join(work, "UnStowa32.exe")
with open(uninstaller, "wb") as f:
    f.write(random.Random(3).randbytes(5000))
for version, seed in (("1.0", 1), ("2.0", 2)):
    name = "v" + version[0]
    rng = random.Random(seed)
    words = [bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 9))) for _ in range(3000)]
    entries = [{"name": "UnStowa32.exe", "source": uninstaller}, {"name": "UnStowaXP.exe", "source": uninstaller}]
    tree = {"folders": {}, "items": []}
    sums = []
    for rel, size in files:
        n = size + rng.randrange(64)
        data = (b" ".join(rng.choices(words, k=n // 5 + 1)) + b"\n")[:n]
        path = os.path.join(work, name, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        sums.append(f"{hashlib.md5(data).hexdigest()} {rel}")
        entries.append({"name": rel.rsplit("/", 1)[-1], "source": path})
        node = tree
        for part in rel.split("/")[:-1]:
            node = node["folders"].setdefault(part, {"folders": {}, "items": []})
        # Always written: the update replaces every file, whatever its time.
        node["items"].append({"file": len(entries) - 1, "overwrite": 0})

    def folder(n, node):
        return {"name": n, "folders": [folder(k, node["folders"][k]) for k in sorted(node["folders"])],
                "items": node["items"]}
    manifest = {
        "publisher": "Stowa Test Works", "productKey": "Stowa Kills", "version": version, "userType": 3,
        "folders": {"APPFOLDER": ["%PROGRAMFILES%\\Stowa Kills", "%LOCALAPPDATAROOT%\\Stowa Kills"],
                    "APPMENU": ["%PROGRAMSMENU%\\Stowa Kills", "%PROGRAMSMENU%\\Stowa Kills"]},
        "files": entries,
        "components": [{"name": "Everything", "description": "All files", "selected": True,
                        "folders": [folder("%APPFOLDER%", tree)]}],
        "uninstall": {"shortcut": 0},
        # Fast to build (a test, not a benchmark); decoding costs about the same.
        "build": {"preset": 0, "dictSize": 1 << 20},
    }
    with open(os.path.join(work, name + ".json"), "w") as f:
        json.dump(manifest, f, indent=1)
    with open(os.path.join(work, name + ".md5"), "w") as f:
        f.write("\n".join(sums) + "\n")
EOF
# Both packages at once, one per core; setup.exe is named the installer
# file, so the placeholder front does.
for v in v1 v2; do
  nice -n 10 "$pakbuild" build "$work/$v.json" "$work/$v.exe" --placeholder-front >"$work/pakbuild-$v.out" 2>&1 &
done
wait -n && wait -n || { cat "$work"/pakbuild-*.out >&2; echo "pakbuild failed" >&2; exit 1; }
files=$(wc -l <"$work/v1.md5")
bytes=$(du -sb "$work/v2" | cut -f1)

cp -a --reflink=auto "$cache/wine-template" "$prefix"
wine_env "$prefix"
start_xvfb >/dev/null
# One persistent server; Wine's background services started with their
# streams detached.
"$wineserver" -p 2>/dev/null || true
"$wine64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
user=$(basename "$(find "$prefix/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n1)")
temp="C:\\users\\$user\\AppData\\Local\\Temp"
mkdir -p "$(unix_path "$temp")"
temp_listing() { (cd "$(unix_path "$temp")" && find . -mindepth 1 | LC_ALL=C sort); }
temp_before=$(temp_listing)
app='C:\Program Files\Stowa Kills'
app_dir=$(unix_path "$app")
echo "$files files, $((bytes / 1000000)) MB per version; prefix $prefix ($((SECONDS - start)) s to prepare)"

# ---------------------------------------------------------------- runs and states

# setup.exe with the installer of version N; waits, or kills the process
# after the given seconds. Sets $code, $elapsed (seconds from start to the
# end, or to the kill) and $killed (1 when the kill met a running setup).
run() {  # version (1/2), kill after seconds or ""
  local out=$work/run-$((++runs)).out s
  s=$(date +%s.%N)
  killed=0
  if [ -n "$2" ]; then
    "$wine64" "$setup_exe" "$(z_path "$work/v$1.exe")" /silent </dev/null >"$out" 2>&1 &
    setup_pid=$!
    sleep "$2"
    if kill -0 "$setup_pid" 2>/dev/null; then
      kill -9 "$setup_pid"
      killed=1
    fi
  else
    # A hung setup fails the run instead of the whole script waiting.
    timeout -s KILL 120 "$wine64" "$setup_exe" "$(z_path "$work/v$1.exe")" /silent </dev/null >"$out" 2>&1 &
    setup_pid=$!
  fi
  set +e
  # (stderr: bash would report the killed job there.)
  wait "$setup_pid" 2>/dev/null
  code=$?
  set -e
  elapsed=$(echo "$(date +%s.%N) - $s" | bc)
  setup_pid=""
}
runs=0

# The installed tree against both versions: prints "new old temporary"
# counts (staging folders count as temporary files), then one line per
# file that is neither (or is missing) and per name that does not belong.
classify() {  # new version (1/2)
  python3 - "$app_dir" "$work/v$1.md5" "$work/v$((3 - $1)).md5" "$work/UnStowa32.exe" <<'EOF'
import hashlib, os, re, sys
app, new_list, old_list, uninstaller = sys.argv[1:5]
def sums(path):
    return {rel: md5 for md5, rel in (line.split(" ", 1) for line in open(path).read().splitlines())}
new, old = sums(new_list), sums(old_list)
counts, bad = {"new": 0, "old": 0, "temporary": 0}, []
for rel in sorted(new):
    path = os.path.join(app, rel)
    if not os.path.isfile(path):
        bad.append(f"missing: {rel}")
        continue
    with open(path, "rb") as f:
        md5 = hashlib.md5(f.read()).hexdigest()
    if md5 == new[rel]:
        counts["new"] += 1
    elif md5 == old[rel]:
        counts["old"] += 1
    else:
        bad.append(f"neither version: {rel} ({os.path.getsize(path)} bytes)")
temp = re.compile(r"stw[0-9A-Fa-f]{8}\.tmp")
staging = re.compile(r"stw[0-9A-Fa-f]{8}")
for dirpath, dirs, names in os.walk(app):
    counts["temporary"] += sum(1 for d in dirs if staging.fullmatch(d))
    for n in names:
        rel = os.path.relpath(os.path.join(dirpath, n), app)
        if rel in new or rel in ("Stowa.log", "UnStowa.exe"):
            continue
        if temp.fullmatch(n):
            counts["temporary"] += 1
        else:
            bad.append(f"a name that does not belong: {rel}")
with open(os.path.join(app, "UnStowa.exe"), "rb") as f, open(uninstaller, "rb") as g:
    if f.read() != g.read():
        bad.append("UnStowa.exe is not the package's uninstaller")
print(counts["new"], counts["old"], counts["temporary"])
print("\n".join(bad[:20]))
EOF
}

# The log's lines naming the product's files: each file exactly once, and
# no temporary file.
log_check() {
  python3 - "$app_dir/Stowa.log" "$app" "$work/v1.md5" <<'EOF'
import collections, sys
log, app, names = sys.argv[1:4]
lines = collections.Counter(l.rstrip("\r") for l in open(log, encoding="utf-8", errors="replace").read().split("\n"))
want = [app + "\\" + rel.replace("/", "\\") for rel in
        (l.split(" ", 1)[1] for l in open(names).read().splitlines())] + [app + "\\UnStowa.exe"]
bad = [f"{lines[p]} times: {p}" for p in want if lines[p] != 1]
bad += [f"a temporary file: {l}" for l in lines if l.lower().endswith(".tmp") and "\\stw" in l.lower()]
print("\n".join(bad[:20]))
EOF
}

# A full installation of version N over whatever is there: it must end
# with every file of that version and nothing else.
complete() {  # version, what it follows
  run "$1" ""
  expect_eq "exit code after $2" 0 "$code"
  local c
  mapfile -t c < <(classify "$1")
  expect_eq "every file of version $1.0, no temporary file left (new old temporary)" "$files 0 0" "${c[0]}"
  [ -z "${c[1]-}" ] || fail "nothing but the product's files" "${c[@]:1}"
  local l
  l=$(log_check)
  if [ -z "$l" ]; then pass "Stowa.log lists every file once"; else fail "Stowa.log lists every file once" "$l"; fi
  expect_eq "nothing of an earlier run left in the temporary folder" "$temp_before" "$(temp_listing)"
}

# ---------------------------------------------------------------- the runs

scenario="first installation (1.0)"
complete 1 "a first installation"
scenario="update (2.0 over 1.0), not killed"
complete 2 "the update"
duration=$elapsed
echo "a full update takes $duration s (from the start of setup.exe to its end)"

version=1  # the next installer: the other version than the one installed
kills=0
mixed=0
for f in $points; do
  after=$(echo "scale=2; $f * $duration / 1" | bc | sed 's/^\./0./')
  scenario="$version.0 over $((3 - version)).0, killed after $after s"
  run "$version" "$after"
  if [ "$killed" = 0 ]; then
    # Ended before the kill (exit code $code): nothing was interrupted;
    # the state must be complete, and the next points use the new time.
    echo "        (setup.exe ended after $elapsed s, before the kill)"
    duration=$elapsed
  else
    kills=$((kills + 1))
  fi
  mapfile -t c < <(classify "$version")
  read -r n_new n_old n_tmp <<<"${c[0]}"
  echo "        after the kill: $n_new new, $n_old old, $n_tmp temporary file(s)"
  if [ -z "${c[1]-}" ]; then
    pass "every file is the old or the new version, byte for byte"
  else
    fail "every file is the old or the new version, byte for byte" "${c[@]:1}"
  fi
  [ "$n_new" -eq 0 ] || [ "$n_old" -eq 0 ] || mixed=$((mixed + 1))
  scenario="$version.0 again after the kill"
  complete "$version" "the killed run"
  # The runs after a kill are full runs of the same kind: their time keeps
  # the points inside the installation on a machine whose speed varies.
  duration=$elapsed
  version=$((3 - version))
done

scenario="kills"
expect_true "at least 5 kills met a running setup ($kills)" [ "$kills" -ge 5 ]
expect_true "at least one kill left old and new files side by side ($mixed)" [ "$mixed" -ge 1 ]
if [ -s "$work/reg-failures" ]; then
  scenario="reg.exe"
  fail "reg.exe failed" "$(cat "$work/reg-failures")"
fi
echo "$passed passed, $failed failed ($((SECONDS - start)) s)"
[ "$failed" -eq 0 ]
