#!/usr/bin/env bash
# Makes the demo's binary inputs (not kept in the repository): two small
# programs standing in for the product and its uninstaller, and a data file
# big enough to show compression and progress.
set -euo pipefail
cd "$(dirname "$0")/files"
[ -f demo.exe ] || head -c 200000 /usr/bin/cmake > demo.exe
[ -f UnStowa32.exe ] || head -c 60000 /usr/bin/xz > UnStowa32.exe
[ -f big.dat ] || { for i in $(seq 1 4000); do echo "line $i of the demo data: $((i * 7919 % 10007))"; done; } > big.dat
