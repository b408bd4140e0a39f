# Wine for the tests and the demo: the environment of a prefix, one
# template prefix made once and copied per run, and a private X server.
# Sourced by scripts/test.sh, scripts/wine-e2e.sh and scripts/demo.sh; they
# set `cache`, `wine64` and `wineserver` first.

# The places of the end-to-end scripts (they set `root` first): the cache
# of the template prefix, Wine's programs, the builds and the work folder,
# each one movable by its variable.
wine_paths() {
  cache=${STW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/stowa-build}
  wine64=/usr/lib/wine/wine64
  wineserver=/usr/lib/wine/wineserver
  win_build=${STW_WIN64_BUILD:-$root/build/win64}
  host_build=${STW_HOST_BUILD:-$root/build/host}
  wine_dir=${STW_E2E_DIR:-$root/build/wine}
}

# Inside a subshell: the prefix's environment and an X server, both ended
# when the subshell exits.
wine_session() {  # prefix
  wine_env "$1"
  trap '"$wineserver" -k >/dev/null 2>&1 || true; [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true' EXIT
  start_xvfb >/dev/null
}

# The environment every Wine command of the run shares; cmake/wine-run.sh
# derives the same HOME from WINEPREFIX.
wine_env() {  # prefix
  export WINEPREFIX=$1
  export HOME=${1%/}.home
  export WINEDLLOVERRIDES="winemenubuilder.exe=d"
  export WINEDEBUG=${WINEDEBUG:--all}
  mkdir -p "$HOME"
}

# A prefix takes 5-10 s and ~700 MiB to create, so one template is made
# once per Wine version and copied for each run. It is built under a
# temporary name and renamed, so an interrupted creation is never used.
make_wine_template() {
  local template=$cache/wine-template
  local version
  # The Wine version and the revision of what is set up below.
  version="$("$wine64" --version) template 2"
  [ -f "$template/.stw-ready" ] && [ "$(cat "$template/.stw-ready")" = "$version" ] && return 0
  # Two runs at once must not build the template over each other.
  exec 9>"$cache/wine-template.lock"
  flock 9
  if [ -f "$template/.stw-ready" ] && [ "$(cat "$template/.stw-ready")" = "$version" ]; then
    exec 9>&-
    return 0
  fi
  echo "creating the Wine template prefix ($version)"
  local tmp=$cache/wine-template.new
  rm -rf "$tmp" "$tmp.home"
  (
    wine_env "$tmp"
    "$wine64" wineboot --init </dev/null >"$cache/wine-template.log" 2>&1
    "$wineserver" -w
    # A new prefix links Desktop, Documents, ... to $HOME; real folders keep
    # everything a test writes inside the prefix.
    local link
    for link in "$tmp"/drive_c/users/*/*; do
      if [ -L "$link" ]; then
        rm "$link"
        mkdir "$link"
      fi
    done
    reg() { "$wine64" reg "$@" </dev/null >/dev/null; }
    # A crash ends the test instead of waiting on a dialog nobody sees.
    reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    # One virtual desktop: message boxes and windows open and close in
    # milliseconds instead of seconds, and screenshots show their frames.
    reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
    reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f
    # Windows always has these keys, in both registry views; Wine does not.
    reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs' /f /reg:64
    reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs' /f /reg:32
    reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /f /reg:64
    reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /f /reg:32
    "$wineserver" -w
  )
  rm -rf "$tmp.home"
  echo "$version" >"$tmp/.stw-ready"
  rm -rf "$template"
  mv "$tmp" "$template"
  exec 9>&-
}

start_xvfb() {
  local dfile
  dfile=$(mktemp)
  # -displayfd: the server picks a free display and reports it, so runs on
  # one machine never collide.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dfile" >/dev/null 2>&1 &
  xvfb_pid=$!
  local i
  for i in $(seq 1 100); do
    [ -s "$dfile" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$dfile" ]; then
    echo "Xvfb did not report a display" >&2
    rm -f "$dfile"
    return 1
  fi
  export DISPLAY=":$(head -n1 "$dfile")"
  rm -f "$dfile"
  echo "Xvfb on $DISPLAY (pid $xvfb_pid)"
}
