#!/usr/bin/env bash
# Builds the seed corpus of the fuzzers: one small installer file per
# manifest in fuzz/seeds/, written by pakbuild and checked to read back.
#
#   fuzz/make-corpus.sh OUTDIR [PAKBUILD]
#
# PAKBUILD defaults to $PAKBUILD, else build/tools/pakbuild. Only the
# installer files go into OUTDIR: the fuzzers' input is the installer file,
# and volume files beyond it (from a manifest with a volume size) stay in
# OUTDIR/.scratch.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:?usage: make-corpus.sh OUTDIR [PAKBUILD]}
pakbuild=${2:-${PAKBUILD:-$root/build/tools/pakbuild}}
if [ ! -x "$pakbuild" ]; then
  echo "make-corpus.sh: no pakbuild at $pakbuild (build it first: cmake -G Ninja -B build && ninja -C build pakbuild)" >&2
  exit 1
fi

mkdir -p "$out"
scratch="$out/.scratch"
rm -rf "$scratch"
mkdir -p "$scratch"

# A seed bigger than this slows every mutation down for nothing: the
# fuzzer needs the structure, not the bulk.
max_seed=8192
count=0
for manifest in "$here"/seeds/*.json; do
  name=$(basename "$manifest" .json)
  exe="$scratch/$name.exe"
  "$pakbuild" build "$manifest" "$exe" --placeholder-front >/dev/null
  # Every seed must be a package the reader accepts in full, or it seeds
  # nothing but the first error path. (Files in later volumes are read from
  # the volume files beside it.)
  "$pakbuild" inspect "$exe" >/dev/null
  "$pakbuild" extract "$exe" --by-index "$scratch/$name.files" >/dev/null
  size=$(stat -c %s "$exe")
  if [ "$size" -gt "$max_seed" ]; then
    echo "make-corpus.sh: seed $name is $size bytes, more than $max_seed" >&2
    exit 1
  fi
  cp "$exe" "$out/$name.exe"
  echo "seed $name: $size bytes"
  count=$((count + 1))
done
echo "$count seeds in $out"
