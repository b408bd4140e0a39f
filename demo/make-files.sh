#!/usr/bin/env bash
# Makes the demo's binary inputs (not kept in the repository): two small
# programs standing in for the product and its uninstaller, and a data file
# big enough to show compression and progress, and a TrueType font (a
# renamed copy of Debian's DejaVu Sans, so that no system knows its face).
set -euo pipefail
cd "$(dirname "$0")/files"
[ -f demo.exe ] || head -c 200000 /usr/bin/cmake > demo.exe
[ -f UnStowa32.exe ] || head -c 60000 /usr/bin/xz > UnStowa32.exe
[ -f big.dat ] || { for i in $(seq 1 4000); do echo "line $i of the demo data: $((i * 7919 % 10007))"; done; } > big.dat
[ -f demo-sans.ttf ] || python3 ../../tests/wine/make-test-font.py /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf \
  demo-sans.ttf StowaDemo
