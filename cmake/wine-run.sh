#!/usr/bin/env bash
# Runs a Windows program of the 64-bit build under wine64: the emulator of
# the cross build, used by test discovery and by ctest.
#
# The Wine prefix comes from the environment (WINEPREFIX); scripts/test.sh
# prepares one per run. There is deliberately no default: falling back to
# ~/.wine would let tests write shortcuts, registry keys and files into a
# developer's own prefix.
set -euo pipefail
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run.sh: WINEPREFIX is not set; point it at a test prefix (scripts/test.sh makes one)" >&2
  exit 125
fi
export WINEPREFIX
# HOME is redirected next to the prefix: a prefix links Desktop, Documents
# and friends to $HOME, and winemenubuilder writes .desktop files there.
export HOME="${STW_WINE_HOME:-${WINEPREFIX%/}.home}"
mkdir -p "$HOME"
# winemenubuilder would turn every saved shortcut into a desktop entry.
export WINEDLLOVERRIDES="winemenubuilder.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# Wine's own diagnostics (fixme:, err:) drown the test output; ask for them
# with WINEDEBUG when chasing a Wine problem.
export WINEDEBUG="${WINEDEBUG:--all}"
# /usr/bin/wine may choose the 32-bit loader, which cannot run here.
# A failure that prints nothing (a program that never reached its main, a
# loader that gave up) is otherwise invisible in ctest's output: say how
# the process ended.
code=0
/usr/lib/wine/wine64 "$@" || code=$?
if [ "$code" -ne 0 ]; then
  echo "wine-run.sh: $(basename "$1") ended with exit code $code (WINEDEBUG=$WINEDEBUG)" >&2
fi
exit "$code"
