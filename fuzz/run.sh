#!/usr/bin/env bash
# Builds the fuzzers, makes their seed corpus and runs both, side by side
# (one per core), for the given number of seconds each (default 600).
#
#   fuzz/run.sh [seconds]
#
# Exits non-zero when either fuzzer finds a crash, a sanitizer report, a
# leak, a timeout, an out-of-memory or a broken promise; the input that did
# it is under build/fuzz/artifacts/<target>/ and the log under
# build/fuzz/logs/. The corpora grow in build/fuzz/corpus/<target>/ and are
# kept between runs. Set STW_FUZZ_BUILD to use another build folder.
set -euo pipefail

seconds=${1:-600}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${STW_FUZZ_BUILD:-$root/build/fuzz}
targets=(fuzz_definition fuzz_extract)

CC=clang CXX=clang++ cmake -G Ninja -S "$root" -B "$build" -DSTW_FUZZ=ON -DSTW_TESTS=OFF >/dev/null
ninja -C "$build" "${targets[@]}" pakbuild

seeds="$build/seeds"
"$here/make-corpus.sh" "$seeds" "$build/tools/pakbuild"

# Room for the largest seed and as much again for the mutations to grow
# into, but no more: longer inputs only make each execution slower.
largest=$(find "$seeds" -maxdepth 1 -type f -printf '%s\n' | sort -n | tail -1)
max_len=$((largest * 2 > 8192 ? largest * 2 : 8192))

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
  cp -n "$seeds"/*.exe "$corpus"/
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
