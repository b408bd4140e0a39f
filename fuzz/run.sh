#!/usr/bin/env bash
# Builds the fuzzers, makes their seed corpus and runs them, side by side
# (one per core), for the given number of seconds each (default 600); the
# targets named after the seconds, or all of them.
#
#   fuzz/run.sh [seconds [target...]]
#
# Exits non-zero when any fuzzer finds a crash, a sanitizer report, a
# leak, a timeout, an out-of-memory or a broken promise; the input that did
# it is under build/fuzz/artifacts/<target>/ and the log under
# build/fuzz/logs/. The corpora grow in build/fuzz/corpus/<target>/ and are
# kept between runs. Set STW_FUZZ_BUILD to use another build folder.
set -euo pipefail

seconds=${1:-600}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${STW_FUZZ_BUILD:-$root/build/fuzz}
targets=("${@:2}")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_definition fuzz_extract fuzz_fontname fuzz_registrydata)

CC=clang CXX=clang++ cmake -G Ninja -S "$root" -B "$build" -DSTW_FUZZ=ON -DSTW_TESTS=OFF >/dev/null
ninja -C "$build" "${targets[@]}" pakbuild

seeds="$build/seeds"
"$here/make-corpus.sh" "$seeds" "$build/tools/pakbuild"

# The font seeds: the hand-made font of fuzz/seeds, and the naming table
# of a real font when the machine has one, behind a directory of its own
# so the glyphs around it do not make every input large.
font_seeds="$build/font-seeds"
rm -rf "$font_seeds"
mkdir -p "$font_seeds"
unhex() { printf '%b' "$(sed 's/#.*//' "$1" | tr -cd '0-9A-Fa-f' | sed 's/../\\x&/g')"; }
for hex in "$here"/seeds/font-*.hex; do
  unhex "$hex" >"$font_seeds/$(basename "$hex" .hex).ttf"
done
be() { od -An -v -tu1 -j"$2" -N"$3" "$1" | awk '{ for (i = 1; i <= NF; i++) v = v * 256 + $i } END { print v + 0 }'; }
be32() { printf '%b' "$(printf '\\x%02x' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)))"; }
real_font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
if [ -f "$real_font" ]; then
  count=$(be "$real_font" 4 2)
  for ((i = 0; i < count; i++)); do
    rec=$((12 + 16 * i))
    [ "$(dd if="$real_font" bs=1 skip=$rec count=4 status=none)" = name ] || continue
    offset=$(be "$real_font" $((rec + 8)) 4)
    length=$(be "$real_font" $((rec + 12)) 4)
    {
      be32 0x00010000
      printf '\x00\x01\x00\x10\x00\x00\x00\x00name'
      be32 "$(be "$real_font" $((rec + 4)) 4)"
      be32 28
      be32 "$length"
      dd if="$real_font" bs=64K iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none
    } >"$font_seeds/$(basename "$real_font" .ttf)-name.ttf"
    break
  done
fi
echo "$(find "$font_seeds" -type f | wc -l) font seeds in $font_seeds"

# The registry seeds: hand-made streams of registry entries.
registry_seeds="$build/registry-seeds"
rm -rf "$registry_seeds"
mkdir -p "$registry_seeds"
for hex in "$here"/seeds/registry-*.hex; do
  unhex "$hex" >"$registry_seeds/$(basename "$hex" .hex).reg"
done

# Room for the largest seed and as much again for the mutations to grow
# into, but no more: longer inputs only make each execution slower.
max_len_of() {
  local largest
  largest=$(find "$1" -maxdepth 1 -type f -printf '%s\n' | sort -n | tail -1)
  echo $((largest * 2 > 8192 ? largest * 2 : 8192))
}

# Undefined behaviour stops the run with a stack; leaks are reported.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:allocator_may_return_null=0}

# By default each target runs in libFuzzer's fork mode with crashes,
# timeouts and out-of-memory cases recorded and passed over, so one bug
# that the fuzzer keeps hitting does not hide the others for the rest of
# the run; STW_FUZZ_MODE=stop runs in-process and stops at the first one.
mode=${STW_FUZZ_MODE:-fork}
case "$mode" in
  fork) mode_flags=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1) ;;
  stop) mode_flags=(-print_final_stats=1) ;;
  *) echo "run.sh: STW_FUZZ_MODE is fork or stop, not $mode" >&2; exit 2 ;;
esac

pids=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  # The artifacts of this run only: what an earlier run found is either
  # kept elsewhere or was fixed.
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts" "$build/logs"
  case $t in
    fuzz_fontname) from=$font_seeds kind=ttf ;;
    fuzz_registrydata) from=$registry_seeds kind=reg ;;
    *) from=$seeds kind=exe ;;
  esac
  cp -n "$from"/*."$kind" "$corpus"/
  max_len=$(max_len_of "$from")
  # Inputs that once broke the reader start every run, so a fix that
  # comes undone shows at once.
  find "$here/crashes-found" -maxdepth 1 -type f ! -name '*.md' -exec cp -n {} "$corpus"/ \;
  echo "running $t for $seconds s ($mode mode, max_len $max_len), log $build/logs/$t.log"
  "$build/fuzz/$t" "$corpus" "${mode_flags[@]}" \
    -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$artifacts/" >"$build/logs/$t.log" 2>&1 &
  pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  rc=0
  wait "${pids[$i]}" || rc=$?
  artifacts="$build/artifacts/$t"
  found=$(find "$artifacts" -type f | wc -l)
  log="$build/logs/$t.log"
  # The last status line: executions, coverage, features, corpus and, in
  # fork mode, the count of ooms/timeouts/crashes.
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  echo "$t: exit $rc, $found artifact(s); $last"
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" | sed "s/^/  /" || true
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    status=1
    echo "$t: FAILED; see $log and $artifacts/" >&2
    # Fork mode keeps no child's report, so each artifact is run once more
    # on its own; the count per distinct cause goes to the triage file.
    triage="$build/logs/$t.triage"
    : >"$triage"
    for a in "$artifacts"/*; do
      [ -f "$a" ] || continue
      cause=$(timeout 60 "$build/fuzz/$t" -rss_limit_mb=2048 -timeout=10 "$a" 2>&1 |
        grep -m1 -E '^(SUMMARY: |broken promise|==[0-9]+==ERROR: libFuzzer|ERROR: libFuzzer)' |
        sed -E 's/==[0-9]+==//' || true)
      echo "${cause:-(does not reproduce alone)}	$(basename "$a")" >>"$triage"
    done
    cut -f1 "$triage" | sort | uniq -c | sed "s/^/  /" >&2
  fi
done
exit $status
